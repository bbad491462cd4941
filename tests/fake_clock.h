// A clock for the writer's tests that moves only when told to, or when the writer sleeps or waits for
// a deadline: back-off, deadlines and once-a-second paces then take no time and always go the same way.
#pragma once

#include <atomic>
#include <chrono>

#include "clock.h"

namespace testsupport {

class FakeClock : public eswriter::Clock {
 public:
  TimePoint Now() override { return TimePoint(std::chrono::microseconds(now_us_.load())); }
  int64_t UnixMillis() override { return 1700000000000 + now_us_.load() / 1000; }
  // A sleep is time passing.
  void SleepFor(std::chrono::microseconds d) override { now_us_ += d.count(); }
  // Nobody signals in fake time: the deadline comes at once. The wait still lets other threads run.
  void WaitUntil(eswriter::CondVar* cv, eswriter::Mutex* mu, TimePoint deadline) override REQUIRES(mu) {
    const int64_t at = std::chrono::duration_cast<std::chrono::microseconds>(deadline.time_since_epoch()).count();
    int64_t now = now_us_.load();
    while (now < at && !now_us_.compare_exchange_weak(now, at)) {
    }
    cv->WaitFor(mu, std::chrono::microseconds(100));
  }
  void Advance(std::chrono::microseconds d) { now_us_ += d.count(); }

 private:
  std::atomic<int64_t> now_us_{1000000000};
};

}  // namespace testsupport
