// Time as a dependency of the writer: every read of the clocks, every sleep and every wait with a
// deadline goes through a Clock, so that tests can swap in a fake one and test back-off, deadlines,
// the log's one-second retry and the metrics file's pace instantly and deterministically.
#pragma once

#include <chrono>
#include <cstdint>

#include "sync.h"

namespace eswriter {

class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  // Monotonic time, for back-off, deadlines and paces.
  virtual TimePoint Now() = 0;
  // Unix time in milliseconds, for what people read (the last commit's time).
  virtual int64_t UnixMillis() = 0;
  // Sleeps for d (a fake clock just moves on).
  virtual void SleepFor(std::chrono::microseconds d) = 0;
  // Waits on cv with mu held until it is signalled or this clock reaches deadline; may return early
  // (callers wait in a loop on their condition).
  virtual void WaitUntil(CondVar* cv, Mutex* mu, TimePoint deadline) REQUIRES(mu) = 0;
};

// The clock of the machine.
Clock& RealClock();

}  // namespace eswriter
