// One bulk request: its NDJSON body with the span of every document, and the classification of the
// engine's reply into acknowledged, retryable and refused documents.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace eswriter {

enum class LineBreaks {
  kNone,             // the document is one line already
  kBetweenTokens,    // only outside strings: white space, sent as spaces
  kInsideAString,    // invalid JSON: malformed, never repaired
};

// Where the document's raw line breaks (LF, CR) are.
LineBreaks FindLineBreaks(const char* doc, size_t len);

class Bulk {
 public:
  // action_head: the action line up to its metadata's last member, e.g. {"index":{"_index":"i"
  explicit Bulk(const std::string& action_head) : action_head_(action_head) {}

  // Appends one document as an action line (the head, id_fragment such as ,"_id":"7" or nothing,
  // then "}}") and a payload line. breaks is FindLineBreaks of the document: a raw line break
  // outside its strings is white space to JSON and becomes a space, so a document is always exactly
  // one line with its tokens as they were. REQUIRES: breaks is not kInsideAString (such a document
  // is malformed and never sent).
  void Add(const char* doc, size_t len, const std::string& id_fragment, LineBreaks breaks);
  // Bytes that Add adds for a document of len bytes with this id fragment.
  size_t AddedBytes(size_t len, size_t id_fragment_len) const { return action_head_.size() + id_fragment_len + 4 + len; }
  // Empties the bulk for reuse under this action head, keeping the storage of its body and spans.
  void Reset(const std::string& action_head) {
    action_head_ = action_head;
    body_.clear();
    spans_.clear();
    rejected_since_.clear();
    generation = 0;
  }
  // Room for about this many bytes and documents (a hint: a failure to reserve is ignored).
  void Reserve(size_t bytes, size_t count);
  size_t count() const { return spans_.size(); }
  size_t bytes() const { return body_.size(); }
  const std::string& body() const { return body_; }
  // The document at index i, as sent.
  std::string Doc(size_t i) const { return body_.substr(spans_[i].start, spans_[i].len); }
  // A new bulk with the documents at the given indexes, in that order.
  Bulk Subset(const std::vector<size_t>& indexes) const;
  // Appends the documents of other at the given indexes, in that order. Documents of the retry pool
  // keep the time of their first rejection; rejected_now, when given, is that time for documents
  // rejected for the first time.
  void AddFrom(const Bulk& other, const std::vector<size_t>& indexes,
               const std::chrono::steady_clock::time_point* rejected_now = nullptr);
  // When the document at index i was first rejected for now; REQUIRES: a bulk of the retry pool.
  std::chrono::steady_clock::time_point RejectedSince(size_t i) const { return rejected_since_[i]; }
  bool HasRejectionTimes() const { return !rejected_since_.empty(); }

  uint64_t generation = 0;  // the commit period the bulk belongs to

 private:
  struct Span {
    size_t action;  // offset of the document's action line in body_
    size_t start;   // offset of its payload
    size_t len;     // length of its payload
  };
  // Claims, with write prefetches, the reserved lines that the next document of about len bytes
  // will be copied into.
  void ClaimAhead(size_t len);

  std::string action_head_;
  std::string body_;
  std::vector<Span> spans_;
  std::vector<std::chrono::steady_clock::time_point> rejected_since_;  // per document, in the retry pool only
};


// One refused document.
struct ItemError {
  size_t index = 0;  // position in the bulk
  long status = 0;
  std::string type;
  std::string reason;
};

enum class ReplyKind {
  kDone,       // every item acknowledged, refused or retryable as listed
  kRetryAll,   // transient request-level failure: send the whole bulk again after a back-off
  kSplit,      // too large (413/417): send it in halves
  kFatal,      // permanent request-level failure (auth, bad request, unreadable reply)
};

struct ReplyOutcome {
  ReplyKind kind = ReplyKind::kDone;
  std::vector<size_t> retry;       // items to send again (429 and rejected-execution items)
  std::vector<ItemError> refused;  // permanent item failures
  std::string error;               // text for kRetryAll and kFatal
  std::vector<size_t> present;     // items already in the index (409 under create with ids): delivered
  size_t updated = 0;              // acknowledged items that replaced a document (result "updated")
};

// Classifies an HTTP reply (status 0: no answer, transport_error says why) to a bulk of n documents.
// With conflict_is_present (create with document ids), a 409 version conflict means the document is
// in the index already (an earlier write of ours, or the host's re-send): delivered, not refused.
ReplyOutcome ClassifyReply(long status, const std::string& body, const std::string& transport_error, size_t n,
                           bool conflict_is_present = false);

// The fast path of ClassifyReply: true, with the count of replaced documents, when body is exactly a
// compact filtered reply of n items that all succeeded; false (nothing said) for anything else, which
// the full parse then classifies.
bool ScanCleanReply(const std::string& body, size_t n, size_t* updated);

// True for item error types that mean the document itself is malformed or does not fit the mapping.
bool IsMalformedType(const std::string& type);

// True for a refused item that the document is not to blame for, although its type may say so: the
// request names an ingest pipeline that does not exist, or writes to a data stream with an action it
// does not take (the engine answers both with illegal_argument_exception for every document). Such
// errors fail the commit even under on_malformed=deadletter instead of setting the stream aside.
bool IsSettingsError(const ItemError& e);

// Cuts a reason text to at most n bytes (with an ellipsis) for messages and logs.
std::string Cut(const std::string& text, size_t n);

}  // namespace eswriter
