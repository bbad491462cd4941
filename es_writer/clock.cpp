// The machine's clock for the writer.
#include "clock.h"

#include <thread>

namespace eswriter {

namespace {

class MachineClock : public Clock {
 public:
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
  int64_t UnixMillis() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  void SleepFor(std::chrono::microseconds d) override { std::this_thread::sleep_for(d); }
  void WaitUntil(CondVar* cv, Mutex* mu, TimePoint deadline) override REQUIRES(mu) {
    const auto left = deadline - Now();
    if (left > TimePoint::duration::zero()) cv->WaitFor(mu, std::chrono::duration_cast<std::chrono::microseconds>(left));
  }
};

}  // namespace

Clock& RealClock() {
  static MachineClock* clock = new MachineClock();  // never destroyed: threads may use it at exit
  return *clock;
}

}  // namespace eswriter
