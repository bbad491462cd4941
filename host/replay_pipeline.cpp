// The replay tool's batch pipeline: preparation ahead of time, two decoders in turn, re-sends.
#include "replay_pipeline.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <iostream>

#include "decoder_control.h"
#include "event_json.h"
#include "plugin_calls.h"

namespace replay {

using Clock = std::chrono::steady_clock;

Pipeline::Pipeline(const Options& o) : o_(o), source_(o), decoder_a_(o.workers), decoder_b_(o.workers) {
  decoders_[0] = &decoder_a_;
  decoders_[1] = &decoder_b_;
}

Pipeline::~Pipeline() { Drain(); }

bool Pipeline::Start(std::string* err) {
  for (ostrel::ParallelParseEvent* d : decoders_) {
    if (!cdchost::StartDecoder(*d)) {
      *err = d->getErr();
      return false;
    }
  }
  // The first batch is prepared while the plug-in loads and connects.
  pending_ = std::async(std::launch::async, [this]() { return Prepare(); });
  return true;
}

Pipeline::Batch Pipeline::Prepare() {
  Batch p(new PreparedBatch());
  p->blocks.reserve(std::min<size_t>(o_.batch_size, 1 << 16));
  cdchost::Event e;
  while (p->blocks.size() < o_.batch_size) {
    int got = source_.NextEvent(&e, &p->bad);
    // A batch with a bad line, or cut short by a file that cannot be read, is not sent at all.
    if (got < 0 || (got == 0 && !source_.unreadable_.empty())) p->blocks.clear();
    if (got <= 0) break;
    p->blocks.push_back(cdchost::EncodeEvent(e, o_.chunk_size));
    p->docs += cdchost::CountForwardedDocs(e);
  }
  for (cdchost::Block& b : p->blocks) p->list.push_back(b.first_mut());
  return p;
}

bool Pipeline::Parse(int d, const PreparedBatch& p) {
  assigned_[d] = cdchost::HandToDecoder(*decoders_[d], p.list);
  if (assigned_[d]) return true;
  std::cerr << "\ncdc-es-replay: Parse failed: " << decoders_[d]->getErr() << "\n";
  return false;
}

bool Pipeline::Deliver(ostrel::CDispatchEvent* sink, int d, const PreparedBatch& p, int* exit_code) {
  ostrel::ParallelParseEvent& dec = *decoders_[d];
  long backoff = o_.retry_backoff_ms;
  for (int attempt = 0; attempt <= o_.retries; ++attempt) {
    if (attempt > 0 && !Parse(d, p)) {
      *exit_code = kPluginFailure;
      return false;
    }
    // The sink sleeps 20 ms whenever the next slot is not decoded yet; waiting here at a finer grain
    // keeps a batch whose decoding is still under way from paying that sleep.
    cdchost::WaitAllReady(dec, 200);
    if (cdchost::ExecuteBatch(sink, o_.channel, o_.udf, &dec)) return true;
    std::cerr << "\ncdc-es-replay: batch " << batches_ + 1 << " failed (attempt " << attempt + 1 << " of "
              << o_.retries + 1 << "): " << sink->getErr() << "\n";
    cdchost::WaitAllReady(dec);  // the next Parse comes only after the workers are done with this batch
    if (attempt < o_.retries) {
      ++resends_;
      usleep(static_cast<useconds_t>(std::min(backoff, 60000L) * 1000));
      backoff *= 2;
    }
  }
  std::cerr << "cdc-es-replay: giving up on batch " << batches_ + 1 << "\n";
  *exit_code = kPluginFailure;
  return false;
}

void Pipeline::Progress(bool final_line) {
  double secs = std::chrono::duration<double>(Clock::now() - start_).count();
  if (secs <= 0) secs = 1e-9;
  char line[256];
  snprintf(line, sizeof(line), "events %llu (%.0f/s), documents %llu (%.0f/s), batches %llu, re-sends %llu, %.1f s",
           static_cast<unsigned long long>(events_), events_ / secs, static_cast<unsigned long long>(docs_),
           docs_ / secs, static_cast<unsigned long long>(batches_), static_cast<unsigned long long>(resends_), secs);
  if (final_line) {
    std::cerr << (o_.quiet ? "" : "\n") << "cdc-es-replay: done: " << line << "\n";
  } else if (!o_.quiet) {
    std::cerr << "\r[replay] " << line << std::flush;
  }
}

bool Pipeline::WriteAck(size_t n) {
  if (!ack_.is_open()) return true;
  // Events are numbered from 0 in input order; the time is taken right after Execute returned.
  char line[160];
  double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  snprintf(line, sizeof(line), "{\"batch\":%llu,\"first_event\":%llu,\"last_event\":%llu,\"time\":%.6f}\n",
           static_cast<unsigned long long>(batches_ + 1), static_cast<unsigned long long>(events_),
           static_cast<unsigned long long>(events_ + n - 1), now);
  ack_ << line << std::flush;
  if (ack_) return true;
  // The ack log is the host's record of what was delivered: a batch it misses would be sent again.
  std::cerr << "\ncdc-es-replay: cannot write the ack log " << o_.ack_log << " (" << strerror(errno)
            << "); batch " << batches_ + 1 << " was delivered but is not recorded\n";
  return false;
}

void Pipeline::Drain() {
  if (pending_.valid()) pending_.wait();
  for (int d = 0; d < 2; ++d) {
    if (assigned_[d]) cdchost::WaitAllReady(*decoders_[d]);
    cdchost::QuitWorkers(*decoders_[d]);
  }
}

int Pipeline::Run(ostrel::CDispatchEvent* sink) {
  if (!o_.ack_log.empty()) {
    ack_.open(o_.ack_log, std::ios::app);
    if (!ack_) {
      std::cerr << "cdc-es-replay: cannot write the ack log " << o_.ack_log << "\n";
      return kUsage;
    }
  }
  start_ = Clock::now();
  auto last_progress = start_;
  int exit_code = kOk;
  int cur_decoder = 0;
  cur_ = pending_.get();
  if (!cur_->end() && !Parse(cur_decoder, *cur_)) exit_code = kPluginFailure;
  if (exit_code == kOk && !cur_->end()) pending_ = std::async(std::launch::async, [this]() { return Prepare(); });
  while (exit_code == kOk && !cur_->end()) {
    next_ = pending_.get();
    if (!next_->end()) {
      if (!Parse(1 - cur_decoder, *next_)) {
        exit_code = kPluginFailure;
        break;
      }
      pending_ = std::async(std::launch::async, [this]() { return Prepare(); });
    } else {
      cdchost::QuitWorkers(*decoders_[1 - cur_decoder]);  // idle, and no batch is left for it
    }
    if (!Deliver(sink, cur_decoder, *cur_, &exit_code)) break;
    const size_t n = cur_->blocks.size();
    if (!WriteAck(n)) {
      exit_code = kToolFailure;
      break;
    }
    ++batches_;
    events_ += n;
    docs_ += cur_->docs;
    if (Clock::now() - last_progress > std::chrono::milliseconds(500)) {
      Progress(false);
      last_progress = Clock::now();
    }
    cur_ = std::move(next_);
    cur_decoder = 1 - cur_decoder;
  }
  Drain();
  const std::string bad = cur_->end() ? cur_->bad : std::string();
  if (!source_.unreadable_.empty() && exit_code == kOk) {
    std::cerr << (o_.quiet ? "" : "\n") << "cdc-es-replay: cannot read " << source_.unreadable_
              << " (nothing of that batch was sent)\n";
    exit_code = kBadInput;
  }
  if (exit_code == kOk && !bad.empty()) {
    std::cerr << (o_.quiet ? "" : "\n") << "cdc-es-replay: bad input at " << bad << " (nothing of that batch was sent)\n";
    exit_code = kBadInput;
  }
  Progress(true);
  return exit_code;
}

}  // namespace replay
