// A decoder whose worker threads cannot start reports it through its error text instead of letting
// the exception out, stops the workers it had started, and starts afresh on the next Init.
#include <dlfcn.h>
#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <list>

#include "block_encoder.h"
#include "block_util.h"
#include "decoder_control.h"

namespace {
// Thread creations left before the next one fails (negative: never fail).
std::atomic<int> g_creations_before_failure{-1};
}  // namespace

// Interposes the C library's thread creation for this test program.
extern "C" int pthread_create(pthread_t* t, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
  using Fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_create"));
  int left = g_creations_before_failure.load();
  if (left == 0) return EAGAIN;
  if (left > 0) g_creations_before_failure.store(left - 1);
  return real(t, attr, fn, arg);
}

TEST(DecoderStart, ThreadThatCannotStartIsAnErrorText) {
  ostrel::ParallelParseEvent pe(3);
  g_creations_before_failure.store(1);  // the first worker starts, the second does not
  EXPECT_TRUE(pe.Init());
  EXPECT_NE(nullptr, strstr(pe.getErr(), "cannot start the thread for worker 1 of 3")) << pe.getErr();
  EXPECT_TRUE(pe.ev_works_.empty());
  EXPECT_EQ(nullptr, pe.sql_buf_);
  EXPECT_TRUE(pe.Parse(std::list<char*>()));  // not initialised

  g_creations_before_failure.store(-1);
  ASSERT_FALSE(pe.Init());
  EXPECT_EQ(3u, pe.ev_works_.size());
  cdchost::Event e;
  e.type = ostrel::EventType::T_CREATE_DB;
  cdchost::Block b = cdchost::EncodeEvent(e);
  std::list<char*> list(4, b.first_mut());
  ASSERT_FALSE(pe.Parse(list));
  EXPECT_TRUE(cdchost::WaitAllReady(pe, 500, 60000));
}
