// Bulk grouping, background sending with retries, commit and reset, version probe, writer log.
#include "writer.h"

#include "libes_writer.h"
#include "version_probe.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>


#ifndef EVENT_ES_VERSION
#define EVENT_ES_VERSION "unknown"
#endif

namespace eswriter {

namespace {

// More documents per bulk than this only make replies huge; bulk_bytes bounds the body anyway.
const int kMaxBulkNum = 100000;

int64_t UnixMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Percent-encoding of a query parameter's value: everything but the unreserved characters.
std::string UrlEncode(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Writer

Writer::~Writer() {
  Stop();
  StopMetricsFile();
}

void Writer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    cancel_.store(true);
    queue_.clear();
    retry_pool_.reset();
    retry_round_ = 0;
    pool_busy_ = false;
    NoteInflight();
  }
  cv_.notify_all();
  for (std::thread& t : senders_) t.join();
  senders_.clear();
  ready_ = false;
}

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
  if (!st.ok()) return st;
  st = CheckIndexName(index);
  if (!st.ok()) return st;
  if (bulk_num <= 0) {
    return Status::Error("bulk_num " + std::to_string(bulk_num) +
                         " must be greater than 0 (es_bulknum must be a whole number of documents per bulk)");
  }
  const int clamped_bulk_num = bulk_num > kMaxBulkNum ? kMaxBulkNum : bulk_num;
  Stop();  // the senders read config_: replace it only once they are gone
  stop_ = false;
  cancel_.store(false);
  failed_ = false;
  any_failure_.store(false, std::memory_order_relaxed);
  failure_.clear();
  config_ = config;
  log_.Open(log_dir, log_name.empty() ? "cdc_es_write" : log_name);
  dead_.Open(log_dir, log_name.empty() ? "cdc_es_write" : log_name);

  // Every node must report a version that fits the version flag.
  HttpClient probe(config_.options);
  int compat_with = -1;
  for (const Node& node : config_.nodes) {
    EngineVersion v;
    st = ProbeVersion(probe, node, &v);
    if (st.ok()) st = CheckVersionFlag(node, v, is_v8);
    if (!st.ok()) {
      log_.Line("CRIT", "initialize failed: %s", st.text().c_str());
      return st;
    }
    if (!v.known) {
      log_.Line("WARN", "node %s does not let this user read its version (HTTP 403): not checked, es_version v%d is trusted",
                node.display.c_str(), is_v8 ? 8 : 7);
    } else if (compat_with < 0) {
      compat_with = CompatibilityWith(v, is_v8);
    }
  }
  config_.options.compat_with = compat_with > 0 ? compat_with : 0;

  st = StartMetrics(config_.options);
  if (!st.ok()) {
    log_.Line("CRIT", "initialize failed: %s", st.text().c_str());
    return st;
  }
  node_stats_.clear();
  for (const Node& node : config_.nodes) {
    node_stats_.push_back(metrics_.Node(node.display));
    node_stats_.back()->up.store(1, std::memory_order_relaxed);  // it just answered the probe
  }
  metrics_.SetCurrentNodes(node_stats_);
  metrics_.SetInfo(EVENT_ES_VERSION, is_v8 ? 8 : 7, index);
  int64_t never = 0;  // the clock of the stall alert starts at the first initialize
  metrics_.last_commit_success_ms.compare_exchange_strong(never, UnixMillis(), std::memory_order_relaxed);

  index_ = index;
  action_head_ = std::string("{\"") + (config_.options.op_type == OpType::kCreate ? "create" : "index") +
                 "\":{\"_index\":\"" + index + "\"";
  // The reply keeps only what ClassifyReply reads: a 1,000-item reply shrinks from about 150 KB to 40.
  bulk_path_ = "/_bulk?filter_path=errors,items.*.status,items.*.result,items.*.error";
  if (!config_.options.pipeline.empty()) bulk_path_ += "&pipeline=" + UrlEncode(config_.options.pipeline);
  doc_ids_.reset(new DocIdSource(config_.options));
  conflicts_are_present_ = config_.options.op_type == OpType::kCreate && doc_ids_->enabled();
  bulk_num_ = static_cast<size_t>(clamped_bulk_num);
  if (clamped_bulk_num != bulk_num) {
    log_.Line("WARN", "bulk_num %d is more than %d documents per bulk; using %d", bulk_num, kMaxBulkNum, kMaxBulkNum);
  }
  current_.reset(new Bulk(action_head_));
  docs_ = bulks_ = retries_ = 0;
  updated_ = present_ = dead_lettered_ = 0;
  uncommitted_ = 0;
  metrics_.pending_documents.store(0, std::memory_order_relaxed);
  period_start_ = std::chrono::steady_clock::now();
  for (int i = 0; i < config_.options.inflight; ++i) senders_.emplace_back(&Writer::SenderLoop, this);
  ready_ = true;
  settings_ = settings;
  std::string nodes;
  for (const Node& n : config_.nodes) nodes += (nodes.empty() ? "" : ",") + n.display;
  const Options& o = config_.options;
  const std::string doc_id = o.doc_id == DocIdMode::kNone ? "none" : o.doc_id == DocIdMode::kHash ? "hash" : o.doc_id_pointer;
  log_.Line("INFO",
            "libes_writer %s initialized: nodes %s, index %s, bulk_num %d, bulk_bytes %zu, inflight %d, es v%d, "
            "doc_id %s, op_type %s, pipeline %s",
            EVENT_ES_VERSION, nodes.c_str(), index.c_str(), clamped_bulk_num, o.bulk_bytes, o.inflight, is_v8 ? 8 : 7,
            doc_id.c_str(), o.op_type == OpType::kCreate ? "create" : "index", o.pipeline.empty() ? "none" : o.pipeline.c_str());
  MarkMetricsFile();  // the first file, with the info of these settings
  if (server_.running()) log_.Line("INFO", "metrics served at http://%s/metrics", server_.bound().c_str());
  if (!o.metrics_file.empty()) log_.Line("INFO", "metrics written to %s", o.metrics_file.c_str());
  if (o.compat_with > 0) {
    log_.Line("INFO", "the engine is newer than es v%d: requests ask for its REST compatibility with %d", is_v8 ? 8 : 7,
              o.compat_with);
  }
  return Status::Ok();
}

Status Writer::StartMetrics(const Options& o) {
  if (o.metrics_listen.empty()) {
    server_.Stop();
    server_listen_.clear();
  } else if (!server_.running() || o.metrics_listen != server_listen_) {
    ListenAddress where;
    Status st = ParseListenAddress(o.metrics_listen, &where);
    if (st.ok()) st = server_.Start(where);
    if (!st.ok()) {
      server_listen_.clear();
      return st;
    }
    server_listen_ = o.metrics_listen;
  }
  StopMetricsFile();
  if (!o.metrics_file.empty()) {
    // A directory that cannot take the file refuses the settings before any document.
    Status st = CheckWritable(o.metrics_file);
    if (!st.ok()) return Status::Error("metrics_file " + o.metrics_file + " cannot be written: " + st.text());
    {
      std::lock_guard<std::mutex> lock(file_mu_);
      file_path_ = o.metrics_file;
    }
    file_thread_ = std::thread(&Writer::MetricsFileLoop, this);
  }
  return Status::Ok();
}

void Writer::MarkMetricsFile() {
  std::lock_guard<std::mutex> lock(file_mu_);
  if (file_path_.empty() || file_dirty_) return;
  file_dirty_ = true;
  file_cv_.notify_one();
}

void Writer::StopMetricsFile() {
  if (!file_thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(file_mu_);
    file_stop_ = true;
  }
  file_cv_.notify_one();
  file_thread_.join();
  std::lock_guard<std::mutex> lock(file_mu_);
  file_stop_ = false;
  file_dirty_ = false;
  file_path_.clear();
}

void Writer::MetricsFileLoop() {
  bool failing = false;
  auto last = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  std::unique_lock<std::mutex> lock(file_mu_);
  for (;;) {
    file_cv_.wait(lock, [this]() { return file_dirty_ || file_stop_; });
    if (!file_dirty_) return;
    // At most one file a second; a stop writes what is pending at once.
    file_cv_.wait_until(lock, last + std::chrono::seconds(1), [this]() { return file_stop_; });
    file_dirty_ = false;
    const std::string path = file_path_;
    lock.unlock();
    Status st;
    try {
      st = WriteFileAtomically(path, metrics_.Render());
    } catch (const std::exception& e) {
      st = Status::Error(std::string("cannot write metrics file ") + path + ": " + e.what());
    }
    if (!st.ok() && !failing) {
      log_.Line("WARN", "%s; the documents go on, the file is tried again", st.text().c_str());
    } else if (st.ok() && failing) {
      log_.Line("INFO", "metrics file %s is written again", path.c_str());
    }
    failing = !st.ok();
    last = std::chrono::steady_clock::now();
    lock.lock();
    if (failing && !file_stop_) file_dirty_ = true;  // tried again a second later
  }
}

Status Writer::Fail(const std::string& text) {
  log_.Line("CRIT", "%s; pending documents dropped, the batch must be sent again", text.c_str());
  ResetPending();
  return Status::Error(text);
}

Status Writer::Refuse(const char* doc, size_t n, const char* type, const std::string& reason,
                      const std::string& failure) {
  if (config_.options.on_malformed == MalformedPolicy::kDeadLetter) {
    // Set aside only once its record is written: otherwise it would be in neither the index nor the file.
    Status st = dead_.Append(DeadLetterRecord(index_, 0, type, reason, doc, n));
    if (!st.ok()) return Fail(failure + "; it cannot be set aside: " + st.text());
    log_.Line("WARN", "document set aside in the dead-letter file: %s", reason.c_str());
    metrics_.accepted.fetch_add(1, std::memory_order_relaxed);
    metrics_.Count(DocResult::kDeadLettered);
    std::lock_guard<std::mutex> lock(mu_);
    ++dead_lettered_;
    return Status::Ok();
  }
  return Fail(failure);
}

Status Writer::Write(const char* doc, int len, int64_t typ) {
  if (!ready_) return Status::Error("es writer is not initialized");
  if (typ != ES_WRITER_DOC_INDEX) {
    return Fail("document type " + std::to_string(typ) + " is not supported (1: index a new document)");
  }
  if (doc == nullptr || len < 0) return Fail("invalid document: null or negative length");
  if (any_failure_.load(std::memory_order_acquire)) {  // an earlier bulk of this batch failed for good
    std::string failure;
    {
      std::lock_guard<std::mutex> lock(mu_);
      failure = failure_;
    }
    return Fail(failure);
  }
  size_t n = static_cast<size_t>(len);
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
                                 config_.options.doc_id_pointer + ": " + why;
      return Refuse(doc, n, "no_document_id", reason, reason);
    }
  }
  // A bulk closes before a document that would take it past the byte cap (a document larger than
  // the cap goes alone), and after its bulk_num-th document.
  const size_t added = current_->AddedBytes(n, id.size());
  bool ok = true;
  if (current_->count() != 0 && current_->bytes() + added > config_.options.bulk_bytes) ok = Submit();
  if (ok) {
    current_->Add(doc, n, id, breaks);
    ++uncommitted_;
    metrics_.accepted.fetch_add(1, std::memory_order_relaxed);
    metrics_.pending_documents.fetch_add(1, std::memory_order_relaxed);
    if (current_->count() >= bulk_num_) ok = Submit();
  }
  if (!ok) {
    std::string text;
    {
      std::lock_guard<std::mutex> lock(mu_);
      text = failure_;
    }
    return Fail(text);
  }
  return Status::Ok();
}

bool Writer::Submit() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this]() {
    return failed_ || static_cast<int>(queue_.size()) + busy_ < config_.options.inflight;
  });
  if (failed_) return false;
  current_->generation = generation_;
  docs_ += current_->count();
  ++bulks_;
  const size_t bytes = current_->bytes(), count = current_->count();
  queue_.push_back(std::move(current_));
  NoteInflight();
  std::unique_ptr<Bulk> next = std::move(spare_);
  lock.unlock();
  // The next bulk is one already sent, emptied, or a new one; either way it is sized like this one
  // from the start: no copies while it grows.
  if (next) {
    next->Reset(action_head_);
  } else {
    next.reset(new Bulk(action_head_));
  }
  next->Reserve(bytes, count);
  current_ = std::move(next);
  cv_.notify_all();
  return true;
}

Status Writer::Commit() {
  if (!ready_) return Status::Error("es writer is not initialized");
  struct Timed {  // every commit, ok or failed, is observed and rewrites the metrics file
    Writer* w;
    std::chrono::steady_clock::time_point t0;
    ~Timed() {
      w->metrics_.commit_duration.Observe(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
      w->MarkMetricsFile();
    }
  } timed{this, std::chrono::steady_clock::now()};
  std::string failure;
  if (current_->count() != 0 && !Submit()) {
    std::lock_guard<std::mutex> lock(mu_);
    failure = failure_;
  } else {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this]() { return failed_ || (queue_.empty() && busy_ == 0 && !retry_pool_); });
    if (!failed_) {
      // Documents set aside count as delivered only once their records are on the disk.
      lock.unlock();
      Status synced = dead_.Sync();
      lock.lock();
      if (!synced.ok() && !failed_) {
        failed_ = true;
        failure_ = synced.text();
      }
    }
    if (failed_) {
      failure = failure_;
    } else {
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - period_start_).count();
      log_.Line("INFO",
                "commit: %llu documents in %llu bulks, %llu retries, %llu replaced, %llu already present, "
                "%llu dead-lettered, %.3f s",
                static_cast<unsigned long long>(docs_), static_cast<unsigned long long>(bulks_),
                static_cast<unsigned long long>(retries_), static_cast<unsigned long long>(updated_),
                static_cast<unsigned long long>(present_), static_cast<unsigned long long>(dead_lettered_), secs);
      docs_ = bulks_ = retries_ = 0;
      updated_ = present_ = dead_lettered_ = 0;
      uncommitted_ = 0;
      period_start_ = std::chrono::steady_clock::now();
      metrics_.commits_ok.fetch_add(1, std::memory_order_relaxed);
      metrics_.last_commit_success_ms.store(UnixMillis(), std::memory_order_relaxed);
      return Status::Ok();
    }
  }
  return Fail(failure);
}

void Writer::ResetPending() {
  std::unique_lock<std::mutex> lock(mu_);
  ++generation_;
  cancel_.store(true);
  queue_.clear();
  cv_.notify_all();
  cv_.wait(lock, [this]() { return busy_ == 0; });
  retry_pool_.reset();
  retry_round_ = 0;
  pool_busy_ = false;
  NoteInflight();
  // What had no outcome yet is lost with the period: the host sends the batch again.
  const int64_t lost = metrics_.pending_documents.exchange(0, std::memory_order_relaxed);
  if (lost > 0) metrics_.Count(DocResult::kFailed, static_cast<uint64_t>(lost));
  metrics_.commits_failed.fetch_add(1, std::memory_order_relaxed);
  cancel_.store(false);
  failed_ = false;
  any_failure_.store(false, std::memory_order_relaxed);
  failure_.clear();
  docs_ = bulks_ = retries_ = 0;
  updated_ = present_ = dead_lettered_ = 0;
  uncommitted_ = 0;
  period_start_ = std::chrono::steady_clock::now();
  current_.reset(new Bulk(action_head_));
}

size_t Writer::NextNode() { return rr_.fetch_add(1) % config_.nodes.size(); }

bool Writer::Settle(uint64_t gen, uint64_t n) {
  if (gen != generation_) return false;
  metrics_.pending_documents.fetch_sub(static_cast<int64_t>(n), std::memory_order_relaxed);
  return true;
}

void Writer::SettleReply(uint64_t gen, const ReplyOutcome& out, size_t stored, size_t set_aside) {
  const size_t present = out.present.size();
  const size_t created = stored - out.updated - present;
  std::lock_guard<std::mutex> lock(mu_);
  if (!Settle(gen, stored + set_aside)) return;
  updated_ += out.updated;
  present_ += present;
  dead_lettered_ += set_aside;
  metrics_.Count(DocResult::kCreated, created);
  metrics_.Count(DocResult::kUpdated, out.updated);
  metrics_.Count(DocResult::kAlreadyPresent, present);
  metrics_.Count(DocResult::kDeadLettered, set_aside);
}

std::chrono::microseconds Writer::BackoffDelay(int attempt) const {
  static thread_local std::mt19937_64 rng(std::random_device{}());
  const Options& o = config_.options;
  double delay = static_cast<double>(o.backoff_ms) * static_cast<double>(1ull << std::min(attempt, 20));
  delay = std::min(delay, static_cast<double>(o.backoff_max_ms));
  delay *= 0.5 + 0.5 * std::uniform_real_distribution<double>(0.0, 1.0)(rng);  // jitter
  return std::chrono::microseconds(static_cast<long>(delay * 1000));
}

bool Writer::Backoff(int attempt) {
  auto until = std::chrono::steady_clock::now() + BackoffDelay(attempt);
  while (std::chrono::steady_clock::now() < until) {
    if (cancel_.load()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return !cancel_.load();
}

std::unique_ptr<Bulk> Writer::TakeRetryRound() {
  if (!retry_pool_ || pool_busy_ || std::chrono::steady_clock::now() < retry_at_) return nullptr;
  std::unique_ptr<Bulk> round;
  if (retry_pool_->count() <= bulk_num_) {
    round = std::move(retry_pool_);
  } else {  // more than a bulk's worth: this round takes bulk_num of them, the rest go next
    try {
      std::vector<size_t> first, rest;
      for (size_t i = 0; i < retry_pool_->count(); ++i) (i < bulk_num_ ? first : rest).push_back(i);
      round.reset(new Bulk(retry_pool_->Subset(first)));
      std::unique_ptr<Bulk> left(new Bulk(retry_pool_->Subset(rest)));
      retry_pool_ = std::move(left);
    } catch (const std::exception&) {  // no memory to split it: the whole pool goes in one round
      round = std::move(retry_pool_);
    }
  }
  pool_busy_ = true;
  return round;
}

Status Writer::PoolForRetry(const Bulk& b, const std::vector<size_t>& rejected, uint64_t gen, const std::string& why) {
  const auto now = std::chrono::steady_clock::now();
  const long deadline_ms = config_.options.retry_deadline_ms;
  if (b.HasRejectionTimes()) {
    for (size_t i : rejected) {
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - b.RejectedSince(i)).count();
      if (waited > deadline_ms) {
        return Status::Error("gave up after the retry deadline of " + std::to_string(deadline_ms) + " ms: a document " +
                             "rejected for now since " + std::to_string(waited) + " ms is still rejected (" +
                             std::to_string(rejected.size()) + " of " + std::to_string(b.count()) +
                             " documents of a retry round); last error: " + why);
      }
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (gen != generation_) return Status::Ok();  // the period was dropped meanwhile
  retry_share_ = b.count() == 0 ? 1.0 : static_cast<double>(rejected.size()) / static_cast<double>(b.count());
  if (!retry_pool_) {
    retry_pool_.reset(new Bulk(action_head_));
    retry_pool_->generation = gen;
    if (!pool_busy_) ScheduleRetryRound();
  }
  retry_pool_->AddFrom(b, rejected, &now);
  ++retries_;
  metrics_.Retry(RetryReason::kItems429);
  return Status::Ok();
}

void Writer::ScheduleRetryRound() {
  const auto full = BackoffDelay(retry_round_);
  const double share = retry_share_ < 1.0 ? retry_share_ : 1.0;
  retry_at_ = std::chrono::steady_clock::now() +
              std::chrono::microseconds(static_cast<long>(static_cast<double>(full.count()) * share));
}

void Writer::SenderLoop() {
  HttpClient http(config_.options);
  for (;;) {
    std::unique_ptr<Bulk> bulk;
    bool is_round = false;
    {
      std::unique_lock<std::mutex> lock(mu_);
      for (;;) {
        if (stop_) return;
        bulk = TakeRetryRound();  // a due round first: new bulks must not starve it
        if (bulk) {
          is_round = true;
          break;
        }
        if (!queue_.empty()) {
          bulk = std::move(queue_.front());
          queue_.pop_front();
          break;
        }
        if (retry_pool_ && !pool_busy_) {
          cv_.wait_until(lock, retry_at_);
        } else {
          cv_.wait(lock);
        }
      }
      ++busy_;
      NoteInflight();
    }
    uint64_t gen = bulk->generation;
    Status st;
    try {
      st = SendBulk(http, std::move(*bulk), gen);
    } catch (const std::exception& e) {  // nothing may end this thread with an exception
      st = Status::Error(std::string("sending a bulk failed: ") + e.what());
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      --busy_;
      NoteInflight();
      if (is_round && gen == generation_) {
        pool_busy_ = false;
        if (retry_pool_) {
          // Documents of this round rejected again, or others that came meanwhile: the next round;
          // the back-off grows only when the engine rejected everything again.
          retry_round_ = retry_share_ >= 1.0 ? std::min(retry_round_ + 1, 20) : 0;
          ScheduleRetryRound();
        } else {
          retry_round_ = 0;
        }
      }
      if (!st.ok() && gen == generation_ && !failed_) {
        failed_ = true;
        failure_ = st.text();
        any_failure_.store(true, std::memory_order_release);
      }
    }
    cv_.notify_all();
  }
}

Status Writer::SendBulk(HttpClient& http, Bulk bulk, uint64_t gen) {
  auto Critical = [this](const std::string& text) {
    log_.Line("CRIT", "%s", text.c_str());
    return Status::Error(text);
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(config_.options.retry_deadline_ms);
  std::vector<Bulk> work;
  work.push_back(std::move(bulk));
  while (!work.empty()) {
    Bulk b = std::move(work.back());
    work.pop_back();
    int attempt = 0;
    for (;;) {
      if (cancel_.load()) return Status::Error("cancelled");
      const size_t node_at = NextNode();
      const Node& node = config_.nodes[node_at];
      const auto sent_at = std::chrono::steady_clock::now();
      HttpResponse resp = http.PostNdjson(node, bulk_path_, b.body(), &cancel_);
      metrics_.bulk_duration.Observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - sent_at).count());
      metrics_.body_bytes.fetch_add(b.bytes(), std::memory_order_relaxed);
      metrics_.sent_bytes.fetch_add(resp.sent_bytes, std::memory_order_relaxed);
      NodeStats* ns = node_stats_[node_at];
      ns->Count(resp.status);
      if (resp.status != 0) {
        ns->up.store(1, std::memory_order_relaxed);
      } else if (!resp.local && !cancel_.load()) {
        ns->up.store(0, std::memory_order_relaxed);
      }
      MarkMetricsFile();
      ReplyOutcome out;
      if (resp.too_large || resp.local) {
        out.kind = ReplyKind::kFatal;
        out.error = resp.error;
      } else {
        out = ClassifyReply(resp.status, resp.body, resp.error, b.count(), conflicts_are_present_);
      }
      std::string last;
      if (out.kind == ReplyKind::kFatal) {
        return Critical("bulk request to node " + node.display + " failed: " + out.error);
      }
      if (out.kind == ReplyKind::kSplit) {
        if (b.count() == 1) {
          // Too large even alone: a permanent error of this one document, which follows on_malformed.
          const std::string doc = b.Doc(0);
          const std::string text = "a document of " + std::to_string(doc.size()) + " bytes is larger than node " +
                                   node.display + " accepts (" + out.error + ")";
          if (config_.options.on_malformed != MalformedPolicy::kDeadLetter) return Critical(text);
          Status st = dead_.Append(DeadLetterRecord(index_, resp.status, "document_too_large", text, doc.data(), doc.size()));
          if (!st.ok()) return Critical(text + "; it cannot be set aside: " + st.text());
          log_.Line("WARN", "document set aside in the dead-letter file: %s", text.c_str());
          SettleReply(gen, ReplyOutcome(), 0, 1);
          break;
        }
        std::vector<size_t> first, second;
        for (size_t i = 0; i < b.count(); ++i) (i < b.count() / 2 ? first : second).push_back(i);
        log_.Line("WARN", "node %s: %s for %zu documents, sending them in halves", node.display.c_str(),
                  out.error.c_str(), b.count());
        metrics_.Retry(RetryReason::kSplit413);
        work.push_back(b.Subset(second));
        work.push_back(b.Subset(first));
        break;
      }
      if (out.kind == ReplyKind::kDone) {
        std::vector<ItemError> fatal;
        size_t set_aside = 0;
        std::string not_set_aside;  // why a malformed document could not be set aside
        for (const ItemError& e : out.refused) {
          if (config_.options.on_malformed == MalformedPolicy::kDeadLetter && IsMalformedType(e.type) &&
              !IsSettingsError(e)) {
            const std::string doc = b.Doc(e.index);
            Status st = dead_.Append(DeadLetterRecord(index_, e.status, e.type, e.reason, doc.data(), doc.size()));
            if (st.ok()) {
              ++set_aside;
              log_.Line("WARN", "document set aside in the dead-letter file: status %ld %s: %s", e.status,
                        e.type.c_str(), e.reason.c_str());
              continue;
            }
            if (not_set_aside.empty()) not_set_aside = "; it cannot be set aside: " + st.text();
          }
          fatal.push_back(e);
        }
        // Refused documents stay pending and are lost with the period.
        SettleReply(gen, out, b.count() - out.refused.size() - out.retry.size(), set_aside);
        if (!fatal.empty()) {
          const ItemError& e = fatal.front();
          return Critical(std::to_string(fatal.size()) + " of " + std::to_string(b.count()) + " documents refused by node " +
                 node.display + "; first: status " + std::to_string(e.status) + " " + e.type + ": " + e.reason +
                 not_set_aside);
        }
        if (out.retry.empty()) break;
        // Rejected for now: into the retry pool, sent in a later round; this sender goes on.
        last = std::to_string(out.retry.size()) + " documents rejected for now (429)";
        log_.Line("WARN", "node %s: %s, retrying them in the next round", node.display.c_str(), last.c_str());
        Status pooled = PoolForRetry(b, out.retry, gen, "node " + node.display + ": " + last);
        if (!pooled.ok()) return Critical(pooled.text());
        break;
      } else {
        last = out.error;
        log_.Line("WARN", "node %s: %s, retrying %zu documents", node.display.c_str(), last.c_str(), b.count());
        metrics_.Retry(resp.status == 429  ? RetryReason::kStatus429
                       : resp.status != 0  ? RetryReason::kStatus5xx
                       : resp.timed_out    ? RetryReason::kTimeout
                                           : RetryReason::kConnection);
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        ++retries_;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        return Critical("gave up after the retry deadline of " + std::to_string(config_.options.retry_deadline_ms) +
               " ms (" + std::to_string(attempt + 1) + " attempts); last error from node " + node.display + ": " + last);
      }
      if (!Backoff(attempt++)) return Status::Error("cancelled");
    }
    Recycle(std::move(b));
  }
  return Status::Ok();
}

void Writer::Recycle(Bulk&& done) {
  std::lock_guard<std::mutex> lock(mu_);
  if (spare_ == nullptr) spare_.reset(new (std::nothrow) Bulk(std::move(done)));
}

}  // namespace eswriter
