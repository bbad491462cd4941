// The commit period: Init, Write, Commit and the reset after a failure.
#include "writer.h"

#include "libes_writer.h"
#include "preflight.h"
#include "tunables.h"
#include "version_probe.h"

#include <cctype>

#ifndef EVENT_ES_VERSION
#define EVENT_ES_VERSION "unknown"
#endif

namespace eswriter {

namespace {

// More documents per bulk than this only make replies huge; bulk_bytes bounds the body anyway.
const int kMaxBulkNum = 100000;

}  // namespace

Writer::~Writer() {
  delivery_.Stop();
  audit_.Stop();
  file_.Stop();
}

bool Writer::WaitAudited(long timeout_ms) { return audit_.WaitChecked(std::chrono::milliseconds(timeout_ms)); }

Status Writer::Init(const std::string& es_url, bool is_v8, const std::string& index, int bulk_num,
                    const std::string& log_dir, const std::string& log_name) {
  const std::string settings = es_url + '\n' + (is_v8 ? "8" : "7") + '\n' + index + '\n' + std::to_string(bulk_num) +
                               '\n' + log_dir + '\n' + log_name;
  if (ready_) {
    if (settings == settings_) {
      log_.Line("INFO", "initialize again with the same settings: the writer goes on as it is");
      return Status::Ok();
    }
    if (uncommitted_ != 0) {
      return Status::Error("initialize with other settings refused: " + std::to_string(uncommitted_) +
                           " documents for index " + index_ +
                           " are not committed yet, and the writer library serves one sink per process");
    }
    log_.Line("INFO", "initialize with other settings on an idle writer: index %s is left for the new target",
              index_.c_str());
  }
  // Bad arguments leave a running writer as it is.
  Config config;
  Status st = ParseEsUrl(es_url, &config);
  if (st.ok()) st = CheckIndexName(index);
  if (!st.ok()) return st;
  if (bulk_num <= 0) {
    return Status::Error("bulk_num " + std::to_string(bulk_num) +
                         " must be greater than 0 (es_bulknum must be a whole number of documents per bulk)");
  }
  delivery_.Stop();  // the senders read the settings: replace them only once they are gone
  ready_ = false;
  const std::string name = log_name.empty() ? "cdc_es_write" : log_name;
  log_.Open(log_dir, name);
  dead_.Open(log_dir, name);
  st = Credentials(&config);
  if (st.ok()) st = Probe(&config, is_v8);
  if (st.ok() && config.options.preflight) st = RunPreflight(config, index);
  if (st.ok()) st = StartMetrics(config.options);
  if (!st.ok()) {
    log_.Line("CRIT", "initialize failed: %s", st.text().c_str());
    return st;
  }

  Target target;
  target.config = config;
  target.index = index;
  target.action_head = std::string("{\"") + (config.options.op_type == OpType::kCreate ? "create" : "index") +
                       "\":{\"_index\":\"" + index + "\"";
  // The reply keeps only what ClassifyReply reads: a 1,000-item reply shrinks from about 150 KB to 40.
  // The audit reads the index and id the engine gave each document.
  target.bulk_path = "/_bulk?filter_path=errors,items.*.status,items.*.result,items.*.error";
  if (config.options.audit_rate > 0) target.bulk_path += ",items.*._index,items.*._id";
  if (!config.options.pipeline.empty()) target.bulk_path += "&pipeline=" + UrlEncode(config.options.pipeline);
  doc_ids_.reset(new DocIdSource(config.options));
  target.conflicts_are_present = config.options.op_type == OpType::kCreate && doc_ids_->enabled();
  bulk_num_ = static_cast<size_t>(bulk_num > kMaxBulkNum ? kMaxBulkNum : bulk_num);
  target.bulk_num = bulk_num_;
  for (const Node& node : config.nodes) {
    target.node_stats.push_back(metrics_.Node(node.display));
    target.node_stats.back()->up.store(1, std::memory_order_relaxed);  // it just answered the probe
  }
  metrics_.SetCurrentNodes(target.node_stats);
  metrics_.SetInfo(EVENT_ES_VERSION, is_v8 ? 8 : 7, index);
  int64_t never = 0;  // the clock of the stall alert starts at the first initialize
  metrics_.last_commit_success_ms.compare_exchange_strong(never, clock_.UnixMillis(), std::memory_order_relaxed);
  metrics_.pending_documents.store(0, std::memory_order_relaxed);

  options_ = config.options;
  index_ = index;
  action_head_ = target.action_head;
  audit_.Stop();
  audit_.Start(config);
  delivery_.Start(target);
  current_ = delivery_.NextBulk();
  uncommitted_ = 0;
  period_start_ = clock_.Now();
  ready_ = true;
  settings_ = settings;
  LogSettings(config, is_v8, bulk_num);
  file_.Mark();  // the first file, with the info of these settings
  return Status::Ok();
}

Status Writer::Probe(Config* config, bool is_v8) {
  // Every node must report a version that fits the version flag.
  HttpClient probe(config->options);
  int compat_with = -1;
  for (const Node& node : config->nodes) {
    EngineVersion v;
    Status st = ProbeVersion(probe, node, &v);
    if (st.ok()) st = CheckVersionFlag(node, v, is_v8);
    if (!st.ok()) return st;
    if (!v.known) {
      log_.Line("WARN", "node %s does not let this user read its version (HTTP 403): not checked, es_version v%d is trusted",
                node.display.c_str(), is_v8 ? 8 : 7);
    } else if (compat_with < 0) {
      compat_with = CompatibilityWith(v, is_v8);
    }
  }
  config->options.compat_with = compat_with > 0 ? compat_with : 0;
  return Status::Ok();
}

Status Writer::Credentials(Config* config) {
  Options& o = config->options;
  if (o.aws_region.empty()) return Status::Ok();
  if (!o.aws_credentials_file.empty()) return ReadAwsCredentials(o.aws_credentials_file, &o.aws_credentials);
  for (const Node& node : config->nodes) {
    if (node.user.empty() || node.password.empty()) {
      return Status::Error("aws_sigv4 needs an access key and its secret: as the user and password of node " +
                           node.display + ", or in aws_credentials_file");
    }
  }
  return Status::Ok();
}

Status Writer::RunPreflight(const Config& config, const std::string& index) {
  HttpClient http(config.options);
  std::vector<std::string> not_checked;
  Status st = Preflight(http, config.nodes.front(), config.options, index, &not_checked);
  for (const std::string& what : not_checked) {
    log_.Line("WARN", "preflight: not checked: %s; the user may not read it", what.c_str());
  }
  return st;
}

void Writer::LogSettings(const Config& config, bool is_v8, int bulk_num) {
  if (static_cast<size_t>(bulk_num) != bulk_num_) {
    log_.Line("WARN", "bulk_num %d is more than %d documents per bulk; using %d", bulk_num, kMaxBulkNum, kMaxBulkNum);
  }
  std::string nodes;
  const Options& o = options_;
  for (const Node& n : config.nodes) nodes += (nodes.empty() ? "" : ",") + n.display;
  const std::string doc_id = o.doc_id == DocIdMode::kNone ? "none" : o.doc_id == DocIdMode::kHash ? "hash" : o.doc_id_pointer;
  log_.Line("INFO",
            "libes_writer %s initialized: nodes %s, index %s, bulk_num %zu, bulk_bytes %zu, inflight %d, es v%d, "
            "doc_id %s, op_type %s, pipeline %s",
            EVENT_ES_VERSION, nodes.c_str(), index_.c_str(), bulk_num_, o.bulk_bytes, o.inflight, is_v8 ? 8 : 7,
            doc_id.c_str(), o.op_type == OpType::kCreate ? "create" : "index", o.pipeline.empty() ? "none" : o.pipeline.c_str());
  if (server_.running()) log_.Line("INFO", "metrics served at http://%s/metrics", server_.bound().c_str());
  if (!o.metrics_file.empty()) log_.Line("INFO", "metrics written to %s", o.metrics_file.c_str());
  if (o.compat_with > 0) {
    log_.Line("INFO", "the engine is newer than es v%d: requests ask for its REST compatibility with %d", is_v8 ? 8 : 7,
              o.compat_with);
  }
}

Status Writer::StartMetrics(const Options& o) {
  if (o.metrics_listen.empty()) {
    server_.Stop();
    server_listen_.clear();
  } else if (!server_.running() || o.metrics_listen != server_listen_) {
    Status st = server_.Start(o.metrics_listen_at);
    if (!st.ok()) {
      server_listen_.clear();
      return st;
    }
    server_listen_ = o.metrics_listen;
  }
  return file_.Start(o.metrics_file);
}

Status Writer::Fail(const std::string& text) {
  log_.Line("CRIT", "%s; pending documents dropped, the batch must be sent again", text.c_str());
  ResetPending();
  return Status::Error(text);
}

Status Writer::Refuse(const char* doc, size_t n, const char* type, const std::string& reason,
                      const std::string& failure) {
  if (options_.on_malformed != MalformedPolicy::kDeadLetter) return Fail(failure);
  // Set aside only once its record is written: otherwise it would be in neither the index nor the file.
  Status st = dead_.Append(DeadLetterRecord(index_, 0, type, reason, doc, n));
  if (!st.ok()) return Fail(failure + "; it cannot be set aside: " + st.text());
  log_.Line("WARN", "document set aside in the dead-letter file: %s", reason.c_str());
  metrics_.accepted.fetch_add(1, std::memory_order_relaxed);
  metrics_.Count(DocResult::kDeadLettered);
  delivery_.CountSetAside();
  return Status::Ok();
}

Status Writer::Write(const char* doc, int len, int64_t typ) {
  if (!ready_) return Status::Error("es writer is not initialized");
  if (typ != ES_WRITER_DOC_INDEX) {
    return Fail("document type " + std::to_string(typ) + " is not supported (1: index a new document)");
  }
  if (doc == nullptr || len < 0) return Fail("invalid document: null or negative length");
  if (delivery_.Failed()) return Fail(delivery_.Failure());  // an earlier bulk of this batch failed for good
  const size_t n = static_cast<size_t>(len);
  bool blank = true;
  for (size_t i = 0; i < n && blank; ++i) blank = doc[i] == ' ' || doc[i] == '\t' || doc[i] == '\n' || doc[i] == '\r';
  if (blank) return Refuse(doc, n, "empty_document", "the document is empty", "an empty document was refused");
  const LineBreaks breaks = FindLineBreaks(doc, n);  // looked for once, here
  if (breaks == LineBreaks::kInsideAString) {
    // A raw line break inside a string is invalid JSON; repairing it would change the document.
    const std::string reason = "document " + std::to_string(uncommitted_ + 1) +
                               " of this commit has a raw line break inside a string, which JSON does not allow";
    return Refuse(doc, n, "raw_line_break_in_string", reason, reason);
  }
  // The document's _id, when doc_id asks for one; a document without a usable one is malformed.
  std::string id;
  if (doc_ids_->enabled()) {
    std::string why;
    if (!doc_ids_->Fragment(doc, n, &id, &why)) {
      const std::string reason = "document " + std::to_string(uncommitted_ + 1) + " of this commit has no _id for doc_id=" +
                                 options_.doc_id_pointer + ": " + why;
      return Refuse(doc, n, "no_document_id", reason, reason);
    }
  }
  // A bulk closes before a document that would take it past the byte cap (a document larger than the
  // cap goes alone), and after its bulk_num-th document.
  const size_t added = current_->AddedBytes(n, id.size());
  Status st;
  if (current_->count() != 0 && current_->bytes() + added > options_.bulk_bytes) st = Submit();
  if (!st.ok()) return Fail(st.text());
  current_->Add(doc, n, id, breaks);
  ++uncommitted_;
  metrics_.accepted.fetch_add(1, std::memory_order_relaxed);
  metrics_.pending_documents.fetch_add(1, std::memory_order_relaxed);
  if (current_->count() >= bulk_num_) st = Submit();
  return st.ok() ? st : Fail(st.text());
}

Status Writer::Submit() { return delivery_.Submit(&current_); }

Status Writer::Commit() {
  if (!ready_) return Status::Error("es writer is not initialized");
  const Clock::TimePoint t0 = clock_.Now();
  Status st;
  if (current_->count() != 0) st = Submit();
  if (st.ok()) st = delivery_.Drain();
  // Documents set aside count as delivered only once their records are on the disk.
  if (st.ok()) st = dead_.Sync();
  if (st.ok()) {
    const PeriodCounts c = delivery_.TakeCounts();
    const double secs = std::chrono::duration<double>(clock_.Now() - period_start_).count();
    log_.Line("INFO",
              "commit: %llu documents in %llu bulks, %llu retries, %llu replaced, %llu already present, "
              "%llu dead-lettered, %.3f s",
              static_cast<unsigned long long>(c.docs), static_cast<unsigned long long>(c.bulks),
              static_cast<unsigned long long>(c.retries), static_cast<unsigned long long>(c.updated),
              static_cast<unsigned long long>(c.present), static_cast<unsigned long long>(c.dead_lettered), secs);
    uncommitted_ = 0;
    period_start_ = clock_.Now();
    metrics_.commits_ok.fetch_add(1, std::memory_order_relaxed);
    metrics_.last_commit_success_ms.store(clock_.UnixMillis(), std::memory_order_relaxed);
  } else {
    st = Fail(st.text());
  }
  // Every commit, ok or failed, is observed and marks the metrics file out of date.
  metrics_.commit_duration.Observe(std::chrono::duration<double>(clock_.Now() - t0).count());
  file_.Mark();
  return st;
}

void Writer::ResetPending() {
  delivery_.Reset();
  metrics_.commits_failed.fetch_add(1, std::memory_order_relaxed);
  uncommitted_ = 0;
  period_start_ = clock_.Now();
  current_ = delivery_.NextBulk();
}

}  // namespace eswriter
