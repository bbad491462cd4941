// What the engine said to one bulk request: one verdict for the request and one for each item that was
// not stored. The same verdict decides what the writer does (retry, split, set aside, fail), which
// retry reason the metrics count and what the log line says, so they can never disagree (a circuit
// breaker is never counted as a full write queue).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "metrics.h"

namespace eswriter {

enum class Verdict {
  kStored,          // created or replaced
  kPresent,         // a 409 under create with ids: an earlier copy is in the index, delivered
  kRejected,        // for now: the write queue is full (429, es_rejected_execution_exception)
  kCircuitBreaker,  // for now: a memory circuit breaker tripped (circuit_breaking_exception)
  kUnavailable,     // for now: a shard or node is unavailable
  kMalformed,       // for good: the document itself is malformed or does not fit the mapping
  kSettings,        // for good: the settings are at fault (no such pipeline, index on a data stream)
  kRefused,         // for good: anything else
};

// Sent again later (from the retry pool), not a failure.
inline bool IsTransient(Verdict v) {
  return v == Verdict::kRejected || v == Verdict::kCircuitBreaker || v == Verdict::kUnavailable;
}
// The metrics' retry reason of a transient verdict.
RetryReason ReasonOf(Verdict v);
// A few words for log lines: "429", "circuit breaker", "shard unavailable", ...
const char* Describe(Verdict v);

// The verdict on one item of a reply that was not stored (its status, error type and reason). With
// conflict_is_present (create with document ids), a 409 version conflict means the document is in the
// index already: delivered, not refused.
Verdict ItemVerdict(long status, const std::string& type, const std::string& reason, bool conflict_is_present);

// One item that was not stored.
struct ItemError {
  size_t index = 0;  // position in the bulk
  Verdict verdict = Verdict::kRefused;
  long status = 0;
  std::string type;    // escaped and cut, as texts from the engine always are
  std::string reason;
};

enum class ReplyKind {
  kDone,      // every item stored, or listed in items
  kRetryAll,  // transient request-level failure: send the whole bulk again after a back-off
  kSplit,     // too large (413/417): send it in halves
  kFatal,     // permanent request-level failure (auth, bad request, unreadable reply)
};

struct ReplyOutcome {
  ReplyKind kind = ReplyKind::kDone;
  RetryReason reason = RetryReason::kStatus5xx;  // for kRetryAll: why
  std::string error;                             // text for kRetryAll, kSplit and kFatal
  size_t updated = 0;                            // stored items that replaced a document
  size_t present = 0;                            // kPresent items (not in items)
  std::vector<ItemError> items;                  // every other item that was not stored, in order
  // For the delivery audit: the _index and _id the reply gives the items at the wanted positions, one
  // per position of want_ids, in its order ("" where the reply has none).
  std::vector<std::string> indexes, ids;
  std::vector<size_t> sample;  // the wanted positions, set by the caller that drew them

  // The positions of the items with a transient verdict.
  std::vector<size_t> Transient() const;
};

// Classifies an HTTP reply to a bulk of n documents. status 0: no answer (transport_error says why,
// timed_out whether the request ran out of time). want_ids: ascending positions whose _index and _id
// are read (nullptr or empty: none).
ReplyOutcome ClassifyReply(long status, const std::string& body, const std::string& transport_error, bool timed_out,
                           size_t n, bool conflict_is_present = false, const std::vector<size_t>* want_ids = nullptr);

// The text of a request-level error body: "type: reason", AWS's "message", or a cut of the raw body
// (escaped, short).
std::string RequestError(const std::string& body);

// The fast path of ClassifyReply: true, with the count of replaced documents, when body is exactly a
// compact filtered reply of n items that all succeeded; false (nothing said) for anything else, which
// the full parse then classifies. With want_ids, items may also carry "_index" and "_id" (strings
// without escapes), and those of the wanted positions go to *indexes and *ids.
bool ScanCleanReply(const std::string& body, size_t n, size_t* updated, const std::vector<size_t>* want_ids = nullptr,
                    std::vector<std::string>* indexes = nullptr, std::vector<std::string>* ids = nullptr);

}  // namespace eswriter
