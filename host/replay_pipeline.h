// cdc-es-replay's pipeline: batches read and encoded on a helper thread, two decoders used in turn,
// and the sink driven batch by batch as the CDC server drives it, with re-sends, progress and the
// ack log.
//
//   helper thread: read + encode batch N+2
//   host thread:   Parse(batch N+1) on decoder B; Execute(batch N) on decoder A; swap A and B
//   workers of B:  pick up batch N+1 within their poll and decode it while Execute(N) is on the network
//
// The sink still sees the batches one at a time and strictly in order, from the host thread.
#pragma once

#include <chrono>
#include <fstream>
#include <future>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "block_encoder.h"
#include "block_util.h"
#include "event_source.h"
#include "plugin/common/dispatch_event.h"
#include "replay_options.h"

namespace replay {

// One batch, read and encoded; end() when the input is exhausted or bad.
struct PreparedBatch {
  bool end() const { return blocks.empty(); }
  std::vector<cdchost::Block> blocks;
  std::list<char*> list;  // the first chunk of every block, as the decoder takes them
  size_t docs = 0;        // documents the sink will forward
  std::string bad;        // the malformed line that ended the input
};

class Pipeline {
 public:
  explicit Pipeline(const Options& o);  // o must outlive the pipeline
  ~Pipeline();                          // waits for the helper thread and every worker
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Starts both decoders and the preparation of the first batch. False with *err when a decoder does
  // not start.
  bool Start(std::string* err);
  // Replays the whole input through sink (Init already done). Returns the exit code.
  int Run(ostrel::CDispatchEvent* sink);

 private:
  using Batch = std::unique_ptr<PreparedBatch>;
  Batch Prepare();
  bool Parse(int d, const PreparedBatch& p);
  // Execute with up to o_.retries re-sends; false when the batch was given up (or a Parse failed).
  bool Deliver(ostrel::CDispatchEvent* sink, int d, const PreparedBatch& p, int* exit_code);
  void Progress(bool final_line);
  // Appends the batch's line to the ack log; false (with the reason printed) when it cannot.
  bool WriteAck(size_t n);
  void Drain();  // nothing may free a batch's blocks while a worker still reads them

  const Options& o_;
  EventSource source_;
  ostrel::ParallelParseEvent decoder_a_, decoder_b_;
  ostrel::ParallelParseEvent* decoders_[2];
  bool assigned_[2] = {false, false};  // the decoder's last Parse handed its batch to the workers
  std::future<Batch> pending_;
  // The batch being delivered and the one behind it. Members, not locals of Run: whatever ends Run (an
  // exception included), they are freed only after the destructor has waited for the workers that
  // may still decode them.
  Batch cur_, next_;
  std::ofstream ack_;
  std::chrono::steady_clock::time_point start_;
  uint64_t events_ = 0, docs_ = 0, batches_ = 0, resends_ = 0;
};

}  // namespace replay
