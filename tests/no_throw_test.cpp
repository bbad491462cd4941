// Nothing thrown inside the writer library or the sink crosses into the host: an allocation that
// fails (here: every one of a megabyte or more, through a replaced operator new) becomes a failure
// with a text, and the library and the sink go on working once memory is back.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "es_endpoint_fixture.h"
#include "plugin/event_es/event_es.h"
#include "test_support.h"
#include "writer_calls.h"

namespace {
std::atomic<size_t> g_fail_from{0};  // allocations of at least this many bytes fail; 0: none

// Large allocations fail while one of these lives.
struct NoLargeAllocations {
  NoLargeAllocations() { g_fail_from.store(1 << 20); }
  ~NoLargeAllocations() { g_fail_from.store(0); }
};
}  // namespace

static void* TestAllocate(size_t n) {
  const size_t limit = g_fail_from.load(std::memory_order_relaxed);
  if (limit != 0 && n >= limit) return nullptr;
  return malloc(n == 0 ? 1 : n);
}

#include "replaced_new.h"

TEST(NoThrow, WriterCallsReportAFailedAllocation) {
  testing_es::Endpoint es;
  ASSERT_TRUE(es.ok());
  const std::string dir = testsupport::TempDir("no_throw");
  ASSERT_EQ(0, writercalls::Init(es.url(), 1, "idx", 10, dir).r0);
  std::string big = "{\"pad\":\"" + std::string(2 << 20, 'x') + "\"}";
  write_msg_return w;
  {
    NoLargeAllocations guard;
    w = write_msg(&big[0], static_cast<int>(big.size()), ES_WRITER_DOC_INDEX);
  }
  EXPECT_EQ(1, w.r0);
  EXPECT_STREQ("es writer ran out of memory; pending documents dropped, the batch must be sent again", w.r1);
  ASSERT_EQ(0, writercalls::Write(writercalls::Doc(1)).r0);
  ASSERT_EQ(0, writercalls::Commit().r0);
  EXPECT_EQ(1, es.Count("idx"));
}

TEST(NoThrow, SinkInitReportsAFailedAllocation) {
  const std::string dir = testsupport::TempDir("no_throw");
  const std::string param = R"({"log_path":")" + dir + R"(","es_url":"http://127.0.0.1:1/)" + std::string(2 << 20, 'p') +
                            R"(","es_version":"v8","es_index":"idx"})";
  ostrel::CDispatchEvent* sink = Create();
  bool failed = false;
  {
    NoLargeAllocations guard;
    failed = sink->Init("ch", "udf", param, "1@h", ostrel::S_Mysql, false);
  }
  EXPECT_TRUE(failed);
  EXPECT_STREQ("init failed: out of memory", sink->getErr());
  Destroy(sink);
}
