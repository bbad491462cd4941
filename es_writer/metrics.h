// The writer's counters, gauges and histograms, and their text in the Prometheus exposition format.
//
// Threads: one process-wide set (Metrics::Process()), so counters only grow for the life of the
// process, whatever initialize does. Every value is an atomic updated with relaxed order: a scrape
// reads a copy of them and never takes a lock of the sending path. The only lock here (mu_) guards the
// list of nodes and the info labels, which change at initialize; Render takes it to copy them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "status.h"
#include "sync.h"

struct MHD_Daemon;

namespace eswriter {

// What became of a document that write_msg took.
enum class DocResult { kCreated, kUpdated, kAlreadyPresent, kDeadLettered, kFailed };
constexpr size_t kDocResults = 5;

// Why a request, or some of its documents, went again: the request was answered 429 (a full queue)
// or 429 with a circuit breaker, 502/503/504, not at all, or too late; items were rejected for now by
// a full queue, a circuit breaker or an unavailable shard; the request was too large and split.
enum class RetryReason {
  kStatus429, kStatus5xx, kItems429, kConnection, kTimeout, kSplit413,
  kCircuitBreaker, kItemsCircuitBreaker, kItemsUnavailable,
};
constexpr size_t kRetryReasons = 9;

// A histogram of seconds with fixed buckets from 1 ms to 60 s.
class Histogram {
 public:
  static constexpr size_t kBuckets = 15;
  static const double kBounds[kBuckets];

  void Observe(double seconds);

  std::atomic<uint64_t> counts_[kBuckets + 1] = {};  // per bucket, not cumulative; the last is above 60 s
  std::atomic<uint64_t> sum_us_{0};                   // sum of the observations in microseconds
};

// Requests to one node. Kept for the life of the process once a node was named.
struct NodeStats {
  static constexpr int kMinStatus = 100;
  static constexpr int kMaxStatus = 599;

  explicit NodeStats(const std::string& name) : node(name) {}
  void Count(long status);  // status 0: a connection error or a time-out

  const std::string node;  // the node's URL without credentials
  std::atomic<uint64_t> by_status[kMaxStatus - kMinStatus + 1] = {};
  std::atomic<uint64_t> other_status{0};  // a status outside 100..599 (counted under its own code)
  std::atomic<long> last_other{0};
  std::atomic<uint64_t> errors{0};
  std::atomic<int> up{1};
};

class Metrics {
 public:
  static Metrics& Process();

  // The stats of the node with this name, made on first use. Takes mu_: call at initialize, not per
  // request.
  NodeStats* Node(const std::string& name);
  // The info series: library version, engine major version and index of the settings in force.
  void SetInfo(const std::string& version, int es_major, const std::string& index);
  // Whether the node's up gauge is shown: only the nodes of the settings in force.
  void SetCurrentNodes(const std::vector<NodeStats*>& nodes);

  void Count(DocResult r, uint64_t n = 1) { documents[static_cast<size_t>(r)].fetch_add(n, std::memory_order_relaxed); }
  void Retry(RetryReason r) { retries[static_cast<size_t>(r)].fetch_add(1, std::memory_order_relaxed); }

  // The whole exposition text (format version 0.0.4).
  std::string Render() const;

  std::atomic<uint64_t> documents[kDocResults] = {};
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> retries[kRetryReasons] = {};
  std::atomic<uint64_t> body_bytes{0}, sent_bytes{0};
  std::atomic<uint64_t> commits_ok{0}, commits_failed{0};
  std::atomic<int64_t> last_commit_success_ms{0};  // Unix time in ms; the first initialize until a commit
  std::atomic<int64_t> inflight_bulks{0};
  std::atomic<int64_t> pending_documents{0};
  // The delivery audit: documents read back, found missing, found changed; samples dropped (memory).
  std::atomic<uint64_t> audit_checked{0}, audit_missing{0}, audit_changed{0}, audit_dropped{0};
  Histogram bulk_duration, commit_duration;

 private:
  mutable Mutex mu_;
  std::vector<std::unique_ptr<NodeStats>> nodes_ GUARDED_BY(mu_);  // never shrinks
  std::vector<NodeStats*> current_ GUARDED_BY(mu_);
  std::string version_ GUARDED_BY(mu_), index_ GUARDED_BY(mu_);
  int es_major_ GUARDED_BY(mu_) = 0;
};

// Escapes a label value: backslash, double quote and line feed.
std::string EscapeLabel(const std::string& value);

// Serves GET /metrics with Metrics::Process()'s text from a thread of its own; anything else is 404.
//
// Slow clients cannot crowd a scrape out: a client address holds at most kPerClientConnections
// connections, and a connection whose request headers have not all arrived kHeaderDeadlineMs after it
// was accepted is cut (a trickle of one byte every few seconds resets no clock). A watcher thread of
// the server's own cuts them; the library's thread then closes them.
class MetricsServer {
 public:
  static constexpr unsigned kConnections = 32;
  static constexpr unsigned kPerClientConnections = 8;
  static constexpr int kHeaderDeadlineMs = 3000;

  MetricsServer() = default;
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds and listens on the address; an error names the address and why (in use, not an address).
  Status Start(const ListenAddress& where);
  void Stop();
  bool running() const { return daemon_ != nullptr; }
  // The bound address as host:port (the port chosen by the system when 0 was asked for).
  std::string bound() const { return bound_; }

  // Connections whose request is not complete yet (guarded by mu_): their socket and when they came.
  struct Pending {
    int fd;
    std::chrono::steady_clock::time_point since;
  };
  Mutex mu_;
  CondVar cv_;
  std::map<const void*, Pending> pending_ GUARDED_BY(mu_);  // by connection; removed once served or closed
  bool stop_watch_ GUARDED_BY(mu_) = false;

 private:
  void Watch();  // the watcher thread: cuts connections past the header deadline

  ::MHD_Daemon* daemon_ = nullptr;
  int fd_ = -1;
  std::string bound_;
  std::thread watcher_;
};

}  // namespace eswriter
