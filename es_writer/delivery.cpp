// Delivery of bulks: the queue, the senders, the retry pool, back-off, splits, dead letters and the
// deadline rule.
#include "delivery.h"

#include <algorithm>
#include <climits>
#include <random>

namespace eswriter {

// ---------------------------------------------------------------------------------------------------
// The owner's side

void Delivery::Start(const Target& target) {
  target_ = target;
  health_.reset(new NodeHealth[target_.config.nodes.size()]);
  {
    MutexLock lock(&mu_);
    stop_ = false;
    failed_ = false;
    failure_.clear();
    counts_ = PeriodCounts();
    spare_.reset();  // its action head is the old settings'
    ++generation_;
  }
  cancel_.store(false);
  failed_flag_.store(false, std::memory_order_release);
  for (int i = 0; i < target_.config.options.inflight; ++i) senders_.emplace_back(&Delivery::SenderLoop, this);
}

void Delivery::Stop() {
  {
    MutexLock lock(&mu_);
    stop_ = true;
    cancel_.store(true);
    queue_.clear();
    pool_.reset();
    round_ = 0;
    round_busy_ = false;
    NoteInflight();
  }
  cv_.SignalAll();
  for (std::thread& t : senders_) t.join();
  senders_.clear();
}

Status Delivery::Submit(std::unique_ptr<Bulk>* bulk) {
  const size_t bytes = (*bulk)->bytes(), count = (*bulk)->count();
  std::unique_ptr<Bulk> next;
  {
    MutexLock lock(&mu_);
    while (!failed_ && static_cast<int>(queue_.size()) + busy_ >= target_.config.options.inflight) cv_.Wait(&mu_);
    if (failed_) return Status::Error(failure_);
    (*bulk)->generation = generation_;
    counts_.docs += count;
    ++counts_.bulks;
    queue_.push_back(std::move(*bulk));
    NoteInflight();
    next = std::move(spare_);
  }
  cv_.SignalAll();
  *bulk = Fresh(std::move(next), bytes, count);
  return Status::Ok();
}

std::unique_ptr<Bulk> Delivery::NextBulk() {
  std::unique_ptr<Bulk> next;
  {
    MutexLock lock(&mu_);
    next = std::move(spare_);
  }
  return Fresh(std::move(next), 0, 0);
}

std::unique_ptr<Bulk> Delivery::Fresh(std::unique_ptr<Bulk> spare, size_t bytes, size_t count) {
  // Sized like the bulk before it from the start: no copies while it grows.
  if (spare) {
    spare->Reset(target_.action_head);
  } else {
    spare.reset(new Bulk(target_.action_head));
  }
  spare->Reserve(bytes, count);
  return spare;
}

Status Delivery::Drain() {
  MutexLock lock(&mu_);
  while (!failed_ && (!queue_.empty() || busy_ != 0 || pool_)) cv_.Wait(&mu_);
  return failed_ ? Status::Error(failure_) : Status::Ok();
}

std::string Delivery::Failure() {
  MutexLock lock(&mu_);
  return failure_;
}

void Delivery::Reset() {
  MutexLock lock(&mu_);
  ++generation_;
  cancel_.store(true);
  queue_.clear();
  cv_.SignalAll();
  while (busy_ != 0) cv_.Wait(&mu_);
  pool_.reset();
  round_ = 0;
  round_busy_ = false;
  NoteInflight();
  // What had no outcome yet is lost with the period: the host sends the batch again.
  const int64_t lost = metrics_.pending_documents.exchange(0, std::memory_order_relaxed);
  if (lost > 0) metrics_.Count(DocResult::kFailed, static_cast<uint64_t>(lost));
  cancel_.store(false);
  failed_ = false;
  failed_flag_.store(false, std::memory_order_release);
  failure_.clear();
  counts_ = PeriodCounts();
}

PeriodCounts Delivery::TakeCounts() {
  MutexLock lock(&mu_);
  const PeriodCounts c = counts_;
  counts_ = PeriodCounts();
  return c;
}

void Delivery::CountSetAside() {
  MutexLock lock(&mu_);
  ++counts_.dead_lettered;
}

// ---------------------------------------------------------------------------------------------------
// The senders

void Delivery::NoteInflight() {
  metrics_.inflight_bulks.store(static_cast<int64_t>(queue_.size()) + busy_, std::memory_order_relaxed);
}

void Delivery::FailPeriod(uint64_t gen, const std::string& text) {
  if (gen != generation_ || failed_) return;
  failed_ = true;
  failure_ = text;
  failed_flag_.store(true, std::memory_order_release);
}

void Delivery::SenderLoop() {
  HttpClient http(target_.config.options);
  for (;;) {
    std::unique_ptr<Bulk> bulk;
    bool round = false;
    uint64_t gen = 0;
    {
      MutexLock lock(&mu_);
      if (!NextWork(&bulk, &round)) return;
      gen = bulk->generation;
      ++busy_;
      NoteInflight();
    }
    Status st;
    try {
      st = Send(http, std::move(*bulk), gen);
    } catch (const std::exception& e) {  // nothing may end this thread with an exception
      st = Status::Error(std::string("sending a bulk failed: ") + e.what());
    }
    {
      MutexLock lock(&mu_);
      --busy_;
      NoteInflight();
      if (round && gen == generation_) {
        round_busy_ = false;
        if (pool_) {
          // Documents of this round rejected again, or others that came meanwhile: the next round; the
          // back-off grows only when the engine rejected everything again.
          round_ = rejected_share_ >= 1.0 ? std::min(round_ + 1, 20) : 0;
          ScheduleRetryRound();
        } else {
          round_ = 0;
        }
      }
      if (!st.ok()) FailPeriod(gen, st.text());
    }
    cv_.SignalAll();
  }
}

bool Delivery::NextWork(std::unique_ptr<Bulk>* bulk, bool* round) {
  for (;;) {
    if (stop_) return false;
    *bulk = TakeRetryRound();  // a due round first: new bulks must not starve it
    if (*bulk) {
      *round = true;
      return true;
    }
    if (!queue_.empty()) {
      *bulk = std::move(queue_.front());
      queue_.pop_front();
      return true;
    }
    if (pool_ && !round_busy_) {
      clock_.WaitUntil(&cv_, &mu_, round_at_);
    } else {
      cv_.Wait(&mu_);
    }
  }
}

std::unique_ptr<Bulk> Delivery::TakeRetryRound() {
  if (!pool_ || round_busy_ || clock_.Now() < round_at_) return nullptr;
  std::unique_ptr<Bulk> round;
  if (pool_->count() <= target_.bulk_num) {
    round = std::move(pool_);
  } else {  // more than a bulk's worth: this round takes bulk_num of them, the rest go next
    try {
      std::vector<size_t> first, rest;
      for (size_t i = 0; i < pool_->count(); ++i) (i < target_.bulk_num ? first : rest).push_back(i);
      round.reset(new Bulk(pool_->Subset(first)));
      std::unique_ptr<Bulk> left(new Bulk(pool_->Subset(rest)));
      pool_ = std::move(left);
    } catch (const std::exception&) {  // no memory to split it: the whole pool goes in one round
      round = std::move(pool_);
    }
  }
  round_busy_ = true;
  return round;
}

void Delivery::ScheduleRetryRound() {
  const auto full = BackoffDelay(round_);
  const double share = rejected_share_ < 1.0 ? rejected_share_ : 1.0;
  round_at_ = clock_.Now() + std::chrono::microseconds(static_cast<long>(static_cast<double>(full.count()) * share));
}

std::chrono::microseconds Delivery::BackoffDelay(int attempt) const {
  static thread_local std::mt19937_64 rng(std::random_device{}());
  const Options& o = target_.config.options;
  double delay = static_cast<double>(o.backoff_ms) * static_cast<double>(1ull << std::min(attempt, 20));
  delay = std::min(delay, static_cast<double>(o.backoff_max_ms));
  delay *= 0.5 + 0.5 * std::uniform_real_distribution<double>(0.0, 1.0)(rng);  // jitter
  return std::chrono::microseconds(static_cast<long>(delay * 1000));
}

Status Delivery::Backoff(int attempt) {
  const Clock::TimePoint until = clock_.Now() + BackoffDelay(attempt);
  for (Clock::TimePoint now = clock_.Now(); now < until; now = clock_.Now()) {
    if (cancel_.load()) return Status::Error("cancelled");
    clock_.SleepFor(std::min<std::chrono::microseconds>(
        std::chrono::milliseconds(5), std::chrono::duration_cast<std::chrono::microseconds>(until - now)));
  }
  return cancel_.load() ? Status::Error("cancelled") : Status::Ok();
}

// ---------------------------------------------------------------------------------------------------
// Sending one bulk

Status Delivery::Critical(const std::string& text) {
  log_.Line("CRIT", "%s", text.c_str());
  return Status::Error(text);
}

Status Delivery::Send(HttpClient& http, Bulk bulk, uint64_t gen) {
  std::vector<Bulk> work;
  work.push_back(std::move(bulk));
  while (!work.empty()) {
    Bulk b = std::move(work.back());
    work.pop_back();
    Status st = SendOne(http, &b, gen, &work);
    if (!st.ok()) return st;
    MutexLock lock(&mu_);
    if (spare_ == nullptr) spare_.reset(new (std::nothrow) Bulk(std::move(b)));
  }
  return Status::Ok();
}

namespace {
int64_t Micros(Clock::TimePoint t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}
}  // namespace

size_t Delivery::PickNode() {
  const size_t n = target_.config.nodes.size();
  const size_t start = rr_.fetch_add(1) % n;
  const int64_t now = Micros(clock_.Now());
  size_t soonest = start;
  int64_t soonest_at = INT64_MAX;
  for (size_t k = 0; k < n; ++k) {
    const size_t i = (start + k) % n;
    const int64_t at = health_[i].rest_until_us.load(std::memory_order_relaxed);
    if (at <= now) return i;
    if (at < soonest_at) {
      soonest_at = at;
      soonest = i;
    }
  }
  return soonest;
}

void Delivery::NoteNode(size_t i, const HttpResponse& resp) {
  NodeHealth& h = health_[i];
  if (resp.status != 0) {
    h.failures.store(0, std::memory_order_relaxed);
    h.rest_until_us.store(0, std::memory_order_relaxed);
  } else if (!resp.local && !cancel_.load()) {
    const int failures = std::min(h.failures.fetch_add(1, std::memory_order_relaxed) + 1, 6);
    const int64_t rest_us = std::min<int64_t>(1000000LL << (failures - 1), 30000000LL);
    h.rest_until_us.store(Micros(clock_.Now()) + rest_us, std::memory_order_relaxed);
  }
}

ReplyOutcome Delivery::Post(HttpClient& http, const Bulk& b, const Node** node) {
  const size_t at = PickNode();
  *node = &target_.config.nodes[at];
  const Clock::TimePoint sent_at = clock_.Now();
  HttpResponse resp = http.PostNdjson(**node, target_.bulk_path, b.body(), &cancel_);
  metrics_.bulk_duration.Observe(std::chrono::duration<double>(clock_.Now() - sent_at).count());
  metrics_.body_bytes.fetch_add(b.bytes(), std::memory_order_relaxed);
  metrics_.sent_bytes.fetch_add(resp.sent_bytes, std::memory_order_relaxed);
  NoteNode(at, resp);
  NodeStats* ns = target_.node_stats[at];
  ns->Count(resp.status);
  if (resp.status != 0) {
    ns->up.store(1, std::memory_order_relaxed);
  } else if (!resp.local && !cancel_.load()) {
    ns->up.store(0, std::memory_order_relaxed);
  }
  file_.Mark();
  if (resp.too_large || resp.local) {
    ReplyOutcome out;
    out.kind = ReplyKind::kFatal;
    out.error = resp.error;
    return out;
  }
  // The audit's sample of this bulk is drawn before the reply is read, so that only its ids are taken.
  std::vector<size_t> sample;
  if (audit_.enabled()) sample = audit_.Draw(b.count());
  ReplyOutcome out = ClassifyReply(resp.status, resp.body, resp.error, resp.timed_out, b.count(),
                                   target_.conflicts_are_present, &sample);
  out.sample = std::move(sample);
  return out;
}

Status Delivery::SendOne(HttpClient& http, Bulk* b, uint64_t gen, std::vector<Bulk>* work) {
  for (int attempt = 0;; ++attempt) {
    if (cancel_.load()) return Status::Error("cancelled");
    const Node* node = nullptr;
    const ReplyOutcome out = Post(http, *b, &node);
    switch (out.kind) {
      case ReplyKind::kFatal:
        return Critical("bulk request to node " + node->display + " failed: " + out.error);
      case ReplyKind::kSplit:
        return OnTooLarge(*b, out, *node, gen, work);
      case ReplyKind::kDone:
        return OnAnswer(*b, out, *node, gen);
      case ReplyKind::kRetryAll:
        break;
    }
    log_.Line("WARN", "node %s: %s, retrying %zu documents", node->display.c_str(), out.error.c_str(), b->count());
    metrics_.Retry(out.reason);
    {
      MutexLock lock(&mu_);
      ++counts_.retries;
    }
    b->MarkFailed(clock_.Now());
    Status st = PastDeadline(*b, nullptr, "from node " + node->display + ": " + out.error);
    if (st.ok()) st = Backoff(attempt);
    if (!st.ok()) return st;
  }
}

Status Delivery::PastDeadline(const Bulk& b, const std::vector<size_t>* docs, const std::string& last) {
  if (!b.HasFailed()) return Status::Ok();
  Clock::TimePoint first = Clock::TimePoint::max();
  const size_t n = docs != nullptr ? docs->size() : b.count();
  for (size_t k = 0; k < n; ++k) first = std::min(first, b.FailedSince(docs != nullptr ? (*docs)[k] : k));
  const long deadline_ms = target_.config.options.retry_deadline_ms;
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now() - first).count();
  if (waited < deadline_ms) return Status::Ok();
  return Critical("gave up after the retry deadline of " + std::to_string(deadline_ms) + " ms: " + std::to_string(n) +
                  " documents not delivered " + std::to_string(waited) + " ms after their first failed attempt; last error " +
                  last);
}

Status Delivery::OnTooLarge(const Bulk& b, const ReplyOutcome& out, const Node& node, uint64_t gen,
                            std::vector<Bulk>* work) {
  if (b.count() == 1) {
    // Too large even alone: a permanent error of this one document, which follows on_malformed.
    const std::string text = "a document of " + std::to_string(b.Doc(0).size()) + " bytes is larger than node " +
                             node.display + " accepts (" + out.error + ")";
    if (target_.config.options.on_malformed != MalformedPolicy::kDeadLetter) return Critical(text);
    Status st = SetAside(b, 0, 413, "document_too_large", text);
    if (!st.ok()) return Critical(text + "; it cannot be set aside: " + st.text());
    log_.Line("WARN", "document set aside in the dead-letter file: %s", text.c_str());
    Settle(gen, ReplyOutcome(), 0, 1);
    return Status::Ok();
  }
  std::vector<size_t> first, second;
  for (size_t i = 0; i < b.count(); ++i) (i < b.count() / 2 ? first : second).push_back(i);
  log_.Line("WARN", "node %s: %s for %zu documents, sending them in halves", node.display.c_str(), out.error.c_str(),
            b.count());
  metrics_.Retry(RetryReason::kSplit413);
  work->push_back(b.Subset(second));
  work->push_back(b.Subset(first));
  return Status::Ok();
}

Status Delivery::OnAnswer(const Bulk& b, const ReplyOutcome& out, const Node& node, uint64_t gen) {
  const bool dead_letters = target_.config.options.on_malformed == MalformedPolicy::kDeadLetter;
  std::vector<const ItemError*> failed;
  std::vector<size_t> transient;
  size_t set_aside = 0, per_verdict[8] = {};
  std::string not_set_aside;  // why a malformed document could not be set aside
  for (const ItemError& e : out.items) {
    ++per_verdict[static_cast<int>(e.verdict)];
    if (IsTransient(e.verdict)) {
      transient.push_back(e.index);
      continue;
    }
    if (dead_letters && e.verdict == Verdict::kMalformed) {
      Status st = SetAside(b, e.index, e.status, e.type, e.reason);
      if (st.ok()) {
        ++set_aside;
        log_.Line("WARN", "document set aside in the dead-letter file: status %ld %s: %s", e.status, e.type.c_str(),
                  e.reason.c_str());
        continue;
      }
      if (not_set_aside.empty()) not_set_aside = "; it cannot be set aside: " + st.text();
    }
    failed.push_back(&e);
  }
  // Documents that failed for good stay pending and are lost with the period.
  Settle(gen, out, b.count() - out.items.size(), set_aside);
  if (audit_.enabled()) OfferToAudit(b, out);
  if (!failed.empty()) {
    const ItemError& e = *failed.front();
    return Critical(std::to_string(failed.size()) + " of " + std::to_string(b.count()) + " documents refused by node " +
                    node.display + "; first: status " + std::to_string(e.status) + " " + e.type + ": " + e.reason +
                    not_set_aside);
  }
  if (transient.empty()) return Status::Ok();
  // Rejected for now: into the retry pool, sent in a later round; this sender goes on.
  std::string why;
  for (Verdict v : {Verdict::kRejected, Verdict::kCircuitBreaker, Verdict::kUnavailable}) {
    const size_t k = per_verdict[static_cast<int>(v)];
    if (k == 0) continue;
    why += std::string(why.empty() ? "" : ", ") + Describe(v) + (k == transient.size() ? "" : ": " + std::to_string(k));
    metrics_.Retry(ReasonOf(v));
  }
  const std::string last = std::to_string(transient.size()) + " documents rejected for now (" + why + ")";
  log_.Line("WARN", "node %s: %s, retrying them in the next round", node.display.c_str(), last.c_str());
  const double share = static_cast<double>(transient.size()) / static_cast<double>(b.count());
  Status st = PastDeadline(b, &transient, "from node " + node.display + ": " + last);
  return st.ok() ? PoolForRetry(b, transient, share, gen) : st;
}

void Delivery::OfferToAudit(const Bulk& b, const ReplyOutcome& out) {
  if (out.sample.empty() || out.ids.size() != out.sample.size()) return;
  size_t k = 0;  // out.items is in order: skip the documents that were not acknowledged
  for (size_t j = 0; j < out.sample.size(); ++j) {
    const size_t i = out.sample[j];
    if (out.ids[j].empty()) continue;  // the reply named no id: nothing to read back
    while (k < out.items.size() && out.items[k].index < i) ++k;
    if (k < out.items.size() && out.items[k].index == i) continue;
    const std::string doc = b.Doc(i);
    audit_.Offer(out.indexes[j], out.ids[j], doc.data(), doc.size());
  }
}

Status Delivery::PoolForRetry(const Bulk& b, const std::vector<size_t>& rejected, double share, uint64_t gen) {
  const Clock::TimePoint now = clock_.Now();
  MutexLock lock(&mu_);
  if (gen != generation_) return Status::Ok();  // the period was reset meanwhile
  rejected_share_ = share;
  if (!pool_) {
    pool_.reset(new Bulk(target_.action_head));
    pool_->generation = gen;
    if (!round_busy_) ScheduleRetryRound();
  }
  pool_->AddFrom(b, rejected, &now);
  ++counts_.retries;
  return Status::Ok();
}

Status Delivery::SetAside(const Bulk& b, size_t i, long status, const std::string& type, const std::string& reason) {
  const std::string doc = b.Doc(i);
  return dead_.Append(DeadLetterRecord(target_.index, status, type, reason, doc.data(), doc.size()));
}

void Delivery::Settle(uint64_t gen, const ReplyOutcome& out, size_t answered, size_t set_aside) {
  MutexLock lock(&mu_);
  if (gen != generation_) return;  // the period was reset meanwhile: its documents are counted failed
  metrics_.pending_documents.fetch_sub(static_cast<int64_t>(answered + set_aside), std::memory_order_relaxed);
  counts_.updated += out.updated;
  counts_.present += out.present;
  counts_.dead_lettered += set_aside;
  metrics_.Count(DocResult::kCreated, answered - out.updated - out.present);
  metrics_.Count(DocResult::kUpdated, out.updated);
  metrics_.Count(DocResult::kAlreadyPresent, out.present);
  metrics_.Count(DocResult::kDeadLettered, set_aside);
}

}  // namespace eswriter
