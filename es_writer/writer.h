// The bulk-indexing writer behind the C interface.
//
// Threads: Init, Write and Commit are called one at a time (the C interface serialises them). Sender threads
// (Options::inflight of them) take finished bulks from a bounded queue and send them, with retries,
// while the caller fills the next bulk. Everything shared is guarded by mu_.
// Documents that the engine rejects for now (429 items) go to one retry pool, sent as a bulk of its
// own after a back-off per retry round; meanwhile the senders go on with new bulks.
// Delivery is at least once: a retried bulk may index a document twice.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bulk.h"
#include "config.h"
#include "doc_id.h"
#include "http_client.h"
#include "metrics.h"
#include "status.h"
#include "writer_files.h"

namespace eswriter {

class Writer {
 public:
  Writer() = default;
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // An error on bad arguments or a node that does not answer with a fitting version. On a running
  // writer: the same settings change nothing; other settings are refused while documents written
  // since the last commit are not committed (they would go to the new target), and re-target an
  // idle writer otherwise.
  Status Init(const std::string& es_url, bool is_v8, const std::string& index, int bulk_num,
              const std::string& log_dir, const std::string& log_name);
  // Copies the document into the current bulk. An error when it is refused or an earlier bulk failed
  // for good; the pending state is then reset.
  Status Write(const char* doc, int len, int64_t typ);
  // Sends what is pending and waits until every document since the last commit is acknowledged.
  // An error otherwise; the pending state is then reset.
  Status Commit();
  // Drops what is pending since the last commit (after a failure the caller could not report).
  void DropPending() {
    if (ready_) ResetPending();
  }
  // The scrape URL of the metrics endpoint, or "" when there is none.
  std::string MetricsUrl() const { return server_.running() ? "http://" + server_.bound() + "/metrics" : ""; }

 private:
  void SenderLoop();
  // REQUIRES: mu_ held. The retry pool's next bulk, when its back-off has passed (else null).
  std::unique_ptr<Bulk> TakeRetryRound();
  // Puts the rejected documents of b into the retry pool (of generation gen). An error when one of
  // them was first rejected longer than retry_deadline_ms ago: each document's retries are timed from
  // its own first rejection.
  Status PoolForRetry(const Bulk& b, const std::vector<size_t>& rejected, uint64_t gen, const std::string& why);
  Status SendBulk(HttpClient& http, Bulk bulk, uint64_t gen);
  // Keeps a bulk that is done with as the spare (see spare_), unless there is one already.
  void Recycle(Bulk&& done);
  // Waits for room in the bounded queue; false when a bulk failed for good meanwhile.
  bool Submit();
  void ResetPending();
  void Stop();
  size_t NextNode();  // index into config_.nodes
  // REQUIRES: mu_ held. Publishes the inflight_bulks gauge.
  void NoteInflight() { metrics_.inflight_bulks.store(static_cast<int64_t>(queue_.size()) + busy_, std::memory_order_relaxed); }
  // REQUIRES: mu_ held. n documents of generation gen reached an outcome (counted in the period and
  // out of pending_documents); nothing when the period was dropped meanwhile.
  bool Settle(uint64_t gen, uint64_t n);
  // The outcomes of one reply: stored documents (created, replaced or already present as out says)
  // and documents set aside in the dead-letter file.
  void SettleReply(uint64_t gen, const ReplyOutcome& out, size_t stored, size_t set_aside);
  // The metrics_file thread rewrites the file within a second of a change and at most once a second;
  // commits and requests only mark it out of date (any thread), so the disk is never on their path.
  void MarkMetricsFile();
  void MetricsFileLoop();
  // Ends the file thread after it wrote what was pending.
  void StopMetricsFile();
  // Starts, keeps or stops the scrape endpoint and checks metrics_file for the options of an Init.
  Status StartMetrics(const Options& o);
  // Sleeps the back-off of the given attempt; false when the batch was cancelled meanwhile.
  bool Backoff(int attempt);
  std::chrono::microseconds BackoffDelay(int attempt) const;
  // REQUIRES: mu_ held. When the retry pool's next round may go: the back-off of the round, in
  // proportion to how much of the last bulk the engine rejected (a node that took 90% is not
  // overloaded), growing only while rounds bring no progress.
  void ScheduleRetryRound();
  // Logs text, drops what is pending and returns text as the error.
  Status Fail(const std::string& text);
  // A document that cannot be sent as it is: set aside in the dead-letter file under
  // on_malformed=deadletter (the stream goes on), else Fail(failure).
  Status Refuse(const char* doc, size_t n, const char* type, const std::string& reason, const std::string& failure);

  Config config_;
  std::string index_;
  std::string action_head_;  // {"index":{"_index":"<index>" (or "create"), closed per document
  std::string bulk_path_;    // /_bulk, with the pipeline when one is set
  std::unique_ptr<DocIdSource> doc_ids_;
  bool conflicts_are_present_ = false;  // create with ids: a 409 means the document is in the index
  size_t bulk_num_ = 0;
  bool ready_ = false;
  std::string settings_;       // the arguments of the Init in force
  uint64_t uncommitted_ = 0;   // documents taken by Write since the last commit or reset
  WriterLog log_;
  DeadLetterFile dead_;

  std::unique_ptr<Bulk> current_;
  std::atomic<size_t> rr_{0};
  std::atomic<bool> cancel_{false};

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::unique_ptr<Bulk>> queue_;
  // A sent bulk kept for its storage (guarded by mu_): the next bulk the host thread fills reuses its
  // body and spans instead of allocating and faulting in a body of the same size again. At most one,
  // so the writer holds no more than one bulk's memory beyond what is in flight.
  std::unique_ptr<Bulk> spare_;
  int busy_ = 0;
  bool stop_ = false;
  uint64_t generation_ = 0;
  bool failed_ = false;
  std::atomic<bool> any_failure_{false};  // failed_, for Write to look at without taking mu_
  std::string failure_;
  std::vector<std::thread> senders_;

  // The retry pool (guarded by mu_): documents rejected for now, each with the time of its first
  // rejection, the round they wait for and when that round may go. A round that is due goes before
  // the queue's next bulk, so rounds make progress however long the host keeps the queue full.
  std::unique_ptr<Bulk> retry_pool_;
  int retry_round_ = 0;
  std::chrono::steady_clock::time_point retry_at_;
  bool pool_busy_ = false;  // a sender has the pool's current round in flight
  double retry_share_ = 1;  // the share of its documents that the last rejecting bulk had rejected

  Metrics& metrics_ = Metrics::Process();
  std::vector<NodeStats*> node_stats_;  // per node of config_.nodes
  MetricsServer server_;
  std::string server_listen_;           // the metrics_listen the server runs for
  std::mutex file_mu_;  // guards the four below
  std::condition_variable file_cv_;
  std::string file_path_;  // the metrics_file the thread writes; empty: no thread
  bool file_dirty_ = false;
  bool file_stop_ = false;
  std::thread file_thread_;

  // Counters since the last commit (guarded by mu_).
  uint64_t docs_ = 0, bulks_ = 0, retries_ = 0;
  uint64_t updated_ = 0, present_ = 0, dead_lettered_ = 0;  // replaced, already present (409), set aside
  std::chrono::steady_clock::time_point period_start_;
};

}  // namespace eswriter
