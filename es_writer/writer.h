// The bulk-indexing writer behind the C interface: the commit period. Init starts a set of settings,
// Write takes documents into the current bulk, Commit hands the last bulk over and waits until every
// document of the period has an outcome. Delivery (delivery.h) does the sending; the writer's log and
// dead-letter file are writer_files.h's; the metrics file is metrics_file.h's.
//
// Threads: Init, Write, Commit and DropPending are called one at a time (the C interface serialises
// them); every field here is theirs alone. Delivery runs its sender threads; the metrics endpoint and
// the metrics file run threads of their own.
// Delivery is at least once: a retried bulk may index a document twice (see doc_id).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "audit.h"
#include "bulk.h"
#include "clock.h"
#include "config.h"
#include "delivery.h"
#include "doc_id.h"
#include "metrics.h"
#include "metrics_file.h"
#include "status.h"
#include "writer_files.h"

namespace eswriter {

class Writer {
 public:
  // clock: not owned, must outlive the writer (tests give a fake one).
  explicit Writer(Clock& clock = RealClock())
      : clock_(clock),
        log_(clock),
        file_(metrics_, log_, clock),
        audit_(metrics_, log_, clock),
        delivery_(metrics_, log_, dead_, file_, audit_, clock) {}
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // An error on bad arguments or a node that does not answer with a fitting version. On a running
  // writer: the same settings change nothing; other settings are refused at once while documents
  // written since the last commit are not committed (they would go to the new target), and re-target
  // an idle writer otherwise.
  Status Init(const std::string& es_url, bool is_v8, const std::string& index, int bulk_num,
              const std::string& log_dir, const std::string& log_name);
  // Copies the document into the current bulk. An error when it is refused or an earlier bulk failed
  // for good; the pending state is then reset.
  Status Write(const char* doc, int len, int64_t typ);
  // Sends what is pending and waits until every document since the last commit has an outcome. An
  // error otherwise; the pending state is then reset.
  Status Commit();
  // Drops what is pending since the last commit (after a failure the caller could not report).
  void DropPending() {
    if (ready_) ResetPending();
  }
  // Waits until the delivery audit has read back every sample taken so far; false after timeout_ms.
  bool WaitAudited(long timeout_ms);
  // The scrape URL of the metrics endpoint, or "" when there is none.
  std::string MetricsUrl() const { return server_.running() ? "http://" + server_.bound() + "/metrics" : ""; }

 private:
  // aws_sigv4's credentials: from aws_credentials_file, else every node's user and password.
  Status Credentials(Config* config);
  // Asks every node for its version and checks it against the flag; sets config->options.compat_with.
  Status Probe(Config* config, bool is_v8);
  // The checks that would make the first bulk fail (preflight.h); what the user may not read is logged.
  Status RunPreflight(const Config& config, const std::string& index);
  // Starts, keeps or stops the scrape endpoint and the metrics file for the options of an Init.
  Status StartMetrics(const Options& o);
  // Hands the current bulk to delivery; the next one to fill takes its place.
  Status Submit();
  // Logs text, drops what is pending and returns text as the error.
  Status Fail(const std::string& text);
  // A document that cannot be sent as it is: set aside in the dead-letter file under
  // on_malformed=deadletter (the stream goes on), else Fail(failure).
  Status Refuse(const char* doc, size_t n, const char* type, const std::string& reason, const std::string& failure);
  void ResetPending();
  void LogSettings(const Config& config, bool is_v8, int bulk_num);

  Clock& clock_;
  Metrics& metrics_ = Metrics::Process();
  WriterLog log_;
  DeadLetterFile dead_;
  MetricsServer server_;
  std::string server_listen_;  // the metrics_listen the server runs for
  MetricsFile file_;
  Audit audit_;
  Delivery delivery_;

  bool ready_ = false;
  std::string settings_;  // the arguments of the Init in force
  Options options_;       // of the Init in force
  std::string index_;
  std::string action_head_;  // {"index":{"_index":"<index>" (or "create"), closed per document
  std::unique_ptr<DocIdSource> doc_ids_;
  size_t bulk_num_ = 0;
  std::unique_ptr<Bulk> current_;
  uint64_t uncommitted_ = 0;  // documents taken by Write since the last commit or reset
  Clock::TimePoint period_start_;
};

}  // namespace eswriter
