// Waiting for decoded slots and ending a decoder's workers early.
#include "decoder_control.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstring>

namespace cdchost {

bool WaitReady(ostrel::ParallelParseEvent& pe, size_t count, useconds_t poll_us, long timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (size_t i = 0; i < count; ++i) {
    while (!pe.sql_buf_->GetElemByPos(i)->GetState()) {
      if (timeout_ms > 0 && std::chrono::steady_clock::now() > deadline) return false;
      usleep(poll_us);
    }
  }
  return true;
}

namespace {
void WakeUp(int) {}
}  // namespace

void QuitWorkers(ostrel::ParallelParseEvent& pe) {
  // SIGUSR2 without SA_RESTART ends an idle worker's usleep early; the handler does nothing.
  static const bool installed = [] {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = WakeUp;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGUSR2, &sa, nullptr) == 0;
  }();
  for (ostrel::ParserEvWork* w : pe.ev_works_) w->is_quit_.store(true);
  if (!installed) return;
  for (ostrel::ParserEvWork* w : pe.ev_works_) {
    if (w->wrk_thd_ != nullptr) pthread_kill(w->wrk_thd_->native_handle(), SIGUSR2);
  }
}

}  // namespace cdchost
