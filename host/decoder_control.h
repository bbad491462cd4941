// What every host-side driver of a ParallelParseEvent (the replay tool, tests, benchmarks) needs beyond
// its interface: waiting until the slots of the current batch are decoded, and ending the workers of
// a decoder that gets no more batches without waiting out their 20 ms poll.
//
// Threads: both run on the host thread, the one that calls Parse.
#pragma once

#include <unistd.h>

#include <cstddef>

#include "block_util.h"

namespace cdchost {

// Waits until slots 0 .. count-1 of the current batch are ready, looking every poll_us. With a
// timeout_ms above 0, false once that much time has passed first.
bool WaitReady(ostrel::ParallelParseEvent& pe, size_t count, useconds_t poll_us = 1000, long timeout_ms = 0);

// The same for every slot of the current batch.
inline bool WaitAllReady(ostrel::ParallelParseEvent& pe, useconds_t poll_us = 1000, long timeout_ms = 0) {
  return WaitReady(pe, pe.sql_buf_ != nullptr ? pe.sql_buf_->used_num_ : 0, poll_us, timeout_ms);
}

// Tells the workers to quit and interrupts the poll of the idle ones, so that destroying the decoder
// does not wait for it. Only for a decoder that gets no more batches; a worker in the middle of a
// range still finishes it, and one that misses the interruption ends after its poll.
void QuitWorkers(ostrel::ParallelParseEvent& pe);

}  // namespace cdchost
