// Delivery of the bulks of a commit period: a bounded queue of finished bulks, the sender threads that
// post them to the nodes in turn, the retry pool of documents the engine rejected for now, back-off,
// splitting, dead letters and one deadline rule.
//
// The deadline rule: a document that is still not delivered retry_deadline_ms after its first failed
// attempt (a request that got no answer or a transient status, or an item rejected for now) fails the
// period. Each document carries the time of its first failure through retries, splits and retry
// rounds, so a long batch never shortens the time a late document may take, and a document never
// waits beyond its own deadline.
//
// Threads: Start, Stop, Submit, NextBulk, Drain, Reset, TakeCounts and CountSetAside are the owner's
// (the Writer's caller thread, one call at a time). `inflight` sender threads take bulks from the queue
// and rounds from the pool; a due round goes before the next queued bulk. Everything they share with
// the owner is guarded by mu_. A failure of the period is kept until Reset; the generation number
// tells replies of a period that was reset apart from the current one.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audit.h"
#include "bulk.h"
#include "clock.h"
#include "config.h"
#include "http_client.h"
#include "metrics.h"
#include "metrics_file.h"
#include "reply.h"
#include "status.h"
#include "sync.h"
#include "writer_files.h"

namespace eswriter {

// Where and how one set of settings delivers.
struct Target {
  Config config;
  std::string index;        // named in dead-letter records
  std::string action_head;  // of the pool's bulks
  std::string bulk_path;    // /_bulk with its filter_path and pipeline
  bool conflicts_are_present = false;  // create with ids: a 409 is a document already delivered
  size_t bulk_num = 1;                 // most documents in one retry round
  std::vector<NodeStats*> node_stats;  // per node of config.nodes
};

// What became of the documents of a period so far, for the commit's summary line.
struct PeriodCounts {
  uint64_t docs = 0, bulks = 0, retries = 0;
  uint64_t updated = 0, present = 0, dead_lettered = 0;  // replaced, already present (409), set aside
};

class Delivery {
 public:
  // Not owned, must outlive this.
  Delivery(Metrics& metrics, WriterLog& log, DeadLetterFile& dead, MetricsFile& file, Audit& audit, Clock& clock)
      : metrics_(metrics), log_(log), dead_(dead), file_(file), audit_(audit), clock_(clock) {}
  ~Delivery() { Stop(); }
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  // Starts the senders for target with a clean period. REQUIRES: stopped (Stop, or never started).
  void Start(const Target& target) EXCLUDES(mu_);
  // Cancels what is in flight, drops the queue and the pool, ends the senders.
  void Stop() EXCLUDES(mu_);

  // Hands the finished bulk *bulk over once there is room (`inflight` bulks queued or being sent at
  // most) and puts the bulk to fill next in its place, sized like it: one already sent, emptied (its
  // storage is reused, so a body is not allocated and faulted in again for every bulk), or a new one.
  // The period's failure instead when it failed meanwhile (*bulk is then left as it was).
  Status Submit(std::unique_ptr<Bulk>* bulk) EXCLUDES(mu_);
  // An empty bulk to fill, for the start of a period.
  std::unique_ptr<Bulk> NextBulk() EXCLUDES(mu_);
  // Waits until every document handed over in the period has an outcome; the period's failure when
  // it failed.
  Status Drain() EXCLUDES(mu_);
  // Whether the period failed (no lock: the writer looks before every document).
  bool Failed() const { return failed_flag_.load(std::memory_order_acquire); }
  // The period's failure (empty when it did not fail).
  std::string Failure() EXCLUDES(mu_);
  // Ends the period: cancels and drops what is in flight and what waits for a retry; what had no
  // outcome yet is counted as failed (the host sends the batch again). The next period starts clean.
  void Reset() EXCLUDES(mu_);
  // The period's counts, zeroed for the next period.
  PeriodCounts TakeCounts() EXCLUDES(mu_);
  // A document the writer set aside itself (not through a bulk).
  void CountSetAside() EXCLUDES(mu_);

 private:
  std::unique_ptr<Bulk> Fresh(std::unique_ptr<Bulk> spare, size_t bytes, size_t count);
  void SenderLoop() EXCLUDES(mu_);
  // The next bulk for a sender, waiting for one; false when the senders stop.
  bool NextWork(std::unique_ptr<Bulk>* bulk, bool* round) REQUIRES(mu_);
  std::unique_ptr<Bulk> TakeRetryRound() REQUIRES(mu_);
  // When the pool's next round may go: the back-off of the round, in proportion to how much of the
  // last bulk the engine rejected (a node that took 90% is not overloaded).
  void ScheduleRetryRound() REQUIRES(mu_);
  void FailPeriod(uint64_t gen, const std::string& text) REQUIRES(mu_);
  void NoteInflight() REQUIRES(mu_);

  // Sends a bulk (and the halves of it that a 413 asks for) until every document has an outcome.
  Status Send(HttpClient& http, Bulk bulk, uint64_t gen) EXCLUDES(mu_);
  // Attempts at one bulk until it is answered for good, split (halves onto *work) or fails.
  Status SendOne(HttpClient& http, Bulk* b, uint64_t gen, std::vector<Bulk>* work) EXCLUDES(mu_);
  // Posts b to the next node; counts the request in the metrics. *node: the node it went to.
  ReplyOutcome Post(HttpClient& http, const Bulk& b, const Node** node);
  // The next node in turn that is not resting after failed connections; when all are, the one whose
  // rest ends first.
  size_t PickNode();
  // After a request to node i: an answer ends its rest; no answer (a connection that failed or a
  // request that timed out) makes it rest 1 s, doubling with every further failure up to 30 s, so that
  // requests go to the nodes that answer instead of waiting on one that does not.
  void NoteNode(size_t i, const HttpResponse& resp);
  Status OnTooLarge(const Bulk& b, const ReplyOutcome& out, const Node& node, uint64_t gen, std::vector<Bulk>* work);
  Status OnAnswer(const Bulk& b, const ReplyOutcome& out, const Node& node, uint64_t gen) EXCLUDES(mu_);
  // The deadline rule for the documents at positions docs of b (all of them when docs is null).
  Status PastDeadline(const Bulk& b, const std::vector<size_t>* docs, const std::string& last);
  Status PoolForRetry(const Bulk& b, const std::vector<size_t>& rejected, double share, uint64_t gen) EXCLUDES(mu_);
  // Writes document i of b to the dead-letter file; an error when the record cannot be written.
  Status SetAside(const Bulk& b, size_t i, long status, const std::string& type, const std::string& reason);
  // Offers the sampled documents of b that the engine acknowledged to the delivery audit.
  void OfferToAudit(const Bulk& b, const ReplyOutcome& out);
  // Outcomes of a reply: answered documents (created, replaced or already present, as out counts them)
  // and documents set aside.
  void Settle(uint64_t gen, const ReplyOutcome& out, size_t answered, size_t set_aside) EXCLUDES(mu_);
  Status Backoff(int attempt);
  std::chrono::microseconds BackoffDelay(int attempt) const;
  Status Critical(const std::string& text);

  Metrics& metrics_;
  WriterLog& log_;
  DeadLetterFile& dead_;
  MetricsFile& file_;
  Audit& audit_;
  Clock& clock_;
  // Set by Start while no sender runs; read-only while they do.
  Target target_;
  std::vector<std::thread> senders_;  // the owner's
  std::atomic<size_t> rr_{0};         // node rotation
  struct NodeHealth {
    std::atomic<int64_t> rest_until_us{0};  // on the clock; 0: up
    std::atomic<int> failures{0};           // in a row
  };
  std::unique_ptr<NodeHealth[]> health_;    // per node of target_.config.nodes, made by Start
  std::atomic<bool> cancel_{false};   // polled by requests in flight and back-offs
  std::atomic<bool> failed_flag_{false};

  Mutex mu_;
  CondVar cv_;
  std::deque<std::unique_ptr<Bulk>> queue_ GUARDED_BY(mu_);
  // A sent bulk kept for its storage: the next bulk to fill. At most one, so no more than one bulk's
  // memory is held beyond what is in flight.
  std::unique_ptr<Bulk> spare_ GUARDED_BY(mu_);
  int busy_ GUARDED_BY(mu_) = 0;  // bulks being sent
  bool stop_ GUARDED_BY(mu_) = true;
  uint64_t generation_ GUARDED_BY(mu_) = 0;
  bool failed_ GUARDED_BY(mu_) = false;
  std::string failure_ GUARDED_BY(mu_);
  // The retry pool: documents rejected for now, the round they wait for and when it may go.
  std::unique_ptr<Bulk> pool_ GUARDED_BY(mu_);
  int round_ GUARDED_BY(mu_) = 0;
  Clock::TimePoint round_at_ GUARDED_BY(mu_);
  bool round_busy_ GUARDED_BY(mu_) = false;       // a sender has the pool's round in flight
  double rejected_share_ GUARDED_BY(mu_) = 1;     // of the last bulk with documents rejected for now
  PeriodCounts counts_ GUARDED_BY(mu_);
};

}  // namespace eswriter
