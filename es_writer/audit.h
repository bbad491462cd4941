// The delivery audit: is every acknowledged document really in the index? A sampled share
// (audit_rate) of the documents the engine acknowledged is remembered with a hash of what was sent, read
// back after audit_delay_ms (_mget, in batches gathered over up to a second, one request in flight) and counted as present, missing
// or changed (changed is not judged when an ingest pipeline rewrites documents). A missing or changed
// document gets one WARN line in the writer's log with its index and id.
//
// Memory is bounded: the samples waiting for their check hold at most kMaxBytes; beyond, a sample is
// dropped and counted. The hash is of the document's canonical form (parsed and written compact), so
// the engine's own formatting of the source it returns is not a change.
//
// Threads: Offer is called by the sender threads; Start, Stop and WaitChecked by the writer's owner;
// a thread of the audit's own reads the samples back. Everything shared is guarded by mu_.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "config.h"
#include "http_client.h"
#include "metrics.h"
#include "status.h"
#include "sync.h"
#include "writer_files.h"

namespace eswriter {

class Audit {
 public:
  static constexpr size_t kMaxBytes = 64u << 20;  // of samples waiting for their check
  static constexpr size_t kBatch = 500;           // documents per _mget
  // A sample waits up to this long past its due time for others to share its _mget (unless a whole
  // batch is due), so a steady stream of acknowledgements costs the engine about one read a second.
  static constexpr std::chrono::milliseconds kGather{1000};

  // Not owned, must outlive this.
  Audit(Metrics& metrics, WriterLog& log, Clock& clock) : metrics_(metrics), log_(log), clock_(clock) {}
  ~Audit() { Stop(); }
  Audit(const Audit&) = delete;
  Audit& operator=(const Audit&) = delete;

  // Audits with these settings from now on (nothing when audit_rate is 0). REQUIRES: stopped.
  void Start(const Config& config) EXCLUDES(mu_);
  // Ends the thread; samples not checked yet are forgotten.
  void Stop() EXCLUDES(mu_);
  bool enabled() const { return rate_ > 0; }
  // The positions, among n acknowledged documents, of those to sample (any sender; one lock per call).
  std::vector<size_t> Draw(size_t n) EXCLUDES(mu_);
  // A sampled document that the engine acknowledged under index and id, with the bytes sent.
  void Offer(const std::string& index, const std::string& id, const char* doc, size_t len) EXCLUDES(mu_);
  // Waits until every sample offered so far is checked (false when timeout passes first).
  bool WaitChecked(Clock::TimePoint::duration timeout) EXCLUDES(mu_);

  // The canonical hash of a JSON text (its compact form), 0 when it is not JSON.
  static uint64_t CanonicalHash(const char* doc, size_t len);

 private:
  struct Sample {
    std::string index, id;
    uint64_t hash;
    Clock::TimePoint due;
  };
  void Loop() EXCLUDES(mu_);
  // Reads one batch back; false when the engine could not be asked (tried again later).
  bool Check(HttpClient& http, const std::vector<Sample>& batch, size_t node);

  Metrics& metrics_;
  WriterLog& log_;
  Clock& clock_;
  Config config_;     // set by Start while the thread does not run
  double rate_ = 0;   // ditto
  std::thread thread_;
  Mutex mu_;
  CondVar cv_;
  std::mt19937_64 rng_ GUARDED_BY(mu_){std::random_device{}()};
  std::deque<Sample> samples_ GUARDED_BY(mu_);
  size_t bytes_ GUARDED_BY(mu_) = 0;
  size_t in_check_ GUARDED_BY(mu_) = 0;  // samples taken by the thread and not counted yet
  bool stop_ GUARDED_BY(mu_) = true;
};

}  // namespace eswriter
