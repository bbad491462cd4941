// cdc-es-replay's events: read from NDJSON files (every file, then again for --repeat) or made up
// by the synthetic generator (--generate).
#pragma once

#include <fstream>
#include <istream>
#include <string>

#include "block_encoder.h"
#include "replay_options.h"

namespace replay {

// Not thread-safe: one thread at a time (the pipeline's preparing thread) calls NextEvent.
class EventSource {
 public:
  explicit EventSource(const Options& o) : o_(o) {}  // o must outlive the source

  // The next event into *e (whose storage is reused): 1 got one, 0 at the end of the input or when
  // it cannot be read on (unreadable_ then says where and why), -1 on a malformed line (*bad is
  // "FILE:LINE:COLUMN: reason"). An input named "-" is standard input. Throws std::bad_alloc when
  // memory runs out (the tool's own failure, never the input's).
  int NextEvent(cdchost::Event* e, std::string* bad);

  // An input that could not be opened or read to its end: "FILE: reason" or "FILE:LINE: reason".
  std::string unreadable_;

 private:
  bool ReadLine(std::string* line);
  // Synthetic row i, assigned in place so that a batch allocates little more than its blocks.
  void Synthetic(long i, cdchost::Event* e);

  const Options& o_;
  long generated_ = 0;
  std::ifstream file_in_;
  std::istream* in_ = nullptr;  // file_in_ or std::cin; null between inputs
  size_t file_ = 0;
  long round_ = 0;
  size_t line_no_ = 0;
};

}  // namespace replay
