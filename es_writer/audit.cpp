// The delivery audit: samples, their thread, and the read-back with _mget.
#include "audit.h"

#include <xxhash.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "bulk.h"
#include "http_client.h"

namespace eswriter {

namespace {

uint64_t HashOf(const rapidjson::Value& v) {
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  v.Accept(w);
  return XXH3_64bits(sb.GetString(), sb.GetSize());
}

void AppendJsonString(const std::string& s, rapidjson::Writer<rapidjson::StringBuffer>* w) {
  w->String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

}  // namespace

uint64_t Audit::CanonicalHash(const char* doc, size_t len) {
  rapidjson::Document d;
  d.Parse<rapidjson::kParseIterativeFlag>(doc, len);
  return d.HasParseError() ? 0 : HashOf(d);
}

void Audit::Start(const Config& config) {
  config_ = config;
  rate_ = config.options.audit_rate;
  {
    MutexLock lock(&mu_);
    samples_.clear();
    bytes_ = 0;
    in_check_ = 0;
    stop_ = rate_ <= 0;
  }
  if (rate_ > 0) thread_ = std::thread(&Audit::Loop, this);
}

void Audit::Stop() {
  {
    MutexLock lock(&mu_);
    stop_ = true;
  }
  cv_.SignalAll();
  if (thread_.joinable()) thread_.join();
  rate_ = 0;
}

std::vector<size_t> Audit::Draw(size_t n) {
  std::vector<size_t> picked;
  if (rate_ <= 0) return picked;
  if (rate_ >= 1) {
    for (size_t i = 0; i < n; ++i) picked.push_back(i);
    return picked;
  }
  MutexLock lock(&mu_);
  // The gaps between sampled documents are geometric: one draw per sample, not per document.
  std::geometric_distribution<size_t> gap(rate_);
  for (size_t i = gap(rng_); i < n; i += 1 + gap(rng_)) picked.push_back(i);
  return picked;
}

void Audit::Offer(const std::string& index, const std::string& id, const char* doc, size_t len) {
  Sample s{index, id, CanonicalHash(doc, len), clock_.Now() + std::chrono::milliseconds(config_.options.audit_delay_ms)};
  const size_t size = sizeof(Sample) + index.size() + id.size();
  MutexLock lock(&mu_);
  if (stop_) return;
  if (bytes_ + size > kMaxBytes) {
    metrics_.audit_dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  bytes_ += size;
  // Samples fall due in the order they come, so only the first one changes what the thread waits for.
  const bool first = samples_.empty();
  samples_.push_back(std::move(s));
  if (first) cv_.SignalAll();
}

bool Audit::WaitChecked(Clock::TimePoint::duration timeout) {
  const Clock::TimePoint until = clock_.Now() + timeout;
  MutexLock lock(&mu_);
  while ((!samples_.empty() || in_check_ != 0) && !stop_ && clock_.Now() < until) clock_.WaitUntil(&cv_, &mu_, until);
  return samples_.empty() && in_check_ == 0;
}

void Audit::Loop() {
  HttpClient http(config_.options);
  size_t node = 0;
  mu_.Lock();
  while (!stop_) {
    if (samples_.empty()) {
      cv_.Wait(&mu_);
      continue;
    }
    const Clock::TimePoint now = clock_.Now();
    const bool batch_due = samples_.size() >= kBatch && samples_[kBatch - 1].due <= now;
    if (!batch_due && now < samples_.front().due + kGather) {
      clock_.WaitUntil(&cv_, &mu_, samples_.front().due + kGather);
      continue;
    }
    std::vector<Sample> batch;
    while (!samples_.empty() && batch.size() < kBatch && samples_.front().due <= clock_.Now()) {
      bytes_ -= sizeof(Sample) + samples_.front().index.size() + samples_.front().id.size();
      batch.push_back(std::move(samples_.front()));
      samples_.pop_front();
    }
    in_check_ = batch.size();
    mu_.Unlock();
    const bool done = Check(http, batch, node++);
    mu_.Lock();
    in_check_ = 0;
    if (!done) {  // the engine could not be asked: the batch waits a second and goes again
      for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
        it->due = clock_.Now() + std::chrono::seconds(1);
        bytes_ += sizeof(Sample) + it->index.size() + it->id.size();
        samples_.push_front(std::move(*it));
      }
    }
    cv_.SignalAll();
  }
  mu_.Unlock();
}

bool Audit::Check(HttpClient& http, const std::vector<Sample>& batch, size_t node_at) {
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  w.StartObject();
  w.Key("docs");
  w.StartArray();
  for (const Sample& s : batch) {
    w.StartObject();
    w.Key("_index");
    AppendJsonString(s.index, &w);
    w.Key("_id");
    AppendJsonString(s.id, &w);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  const Node& node = config_.nodes[node_at % config_.nodes.size()];
  const HttpResponse r = http.PostJson(node, "/_mget?filter_path=docs.found,docs._source",
                                        std::string(sb.GetString(), sb.GetSize()));
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(r.body.data(), r.body.size());
  auto docs = r.status == 200 && !doc.HasParseError() && doc.IsObject() ? doc.FindMember("docs") : doc.MemberEnd();
  if (r.status != 200 || docs == doc.MemberEnd() || !docs->value.IsArray() || docs->value.Size() != batch.size()) {
    log_.Line("WARN", "audit: reading %zu documents back from node %s failed (%s); trying again", batch.size(),
              node.display.c_str(), r.status == 0 ? r.error.c_str() : ("HTTP " + std::to_string(r.status)).c_str());
    return false;
  }
  const bool judge_changes = config_.options.pipeline.empty();
  for (size_t i = 0; i < batch.size(); ++i) {
    const rapidjson::Value& d = docs->value[static_cast<rapidjson::SizeType>(i)];
    auto found = d.IsObject() ? d.FindMember("found") : d.MemberEnd();
    auto source = d.IsObject() ? d.FindMember("_source") : d.MemberEnd();
    const Sample& s = batch[i];
    metrics_.audit_checked.fetch_add(1, std::memory_order_relaxed);
    if (found == d.MemberEnd() || !found->value.IsBool() || !found->value.GetBool()) {
      metrics_.audit_missing.fetch_add(1, std::memory_order_relaxed);
      log_.Line("WARN", "audit: document %s of index %s is missing", Cut(s.id, 600).c_str(), s.index.c_str());
    } else if (judge_changes && source != d.MemberEnd() && HashOf(source->value) != s.hash) {
      metrics_.audit_changed.fetch_add(1, std::memory_order_relaxed);
      log_.Line("WARN", "audit: document %s of index %s has changed since it was sent", Cut(s.id, 600).c_str(),
                s.index.c_str());
    }
  }
  return true;
}

}  // namespace eswriter
