// A channel restarted a thousand times in one process: threads, file descriptors and memory return to
// their baseline.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <list>
#include <string>
#include <vector>

#include "block_encoder.h"
#include "block_util.h"
#include "decoder_control.h"
#include "logging/NanoLog.h"
#include "plugin/event_es/event_es.h"
#include "recording_writer.h"
#include "test_support.h"

using namespace ostrel;

using testsupport::CountEntries;
using testsupport::ResidentKb;

// Sanitizers keep freed memory in quarantine and shadow it, so the resident set says nothing about
// leaks there (LeakSanitizer checks those); it is compared only in builds without them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kCompareResidentSet = false;
#else
const bool kCompareResidentSet = true;
#endif

TEST(Lifecycle, ThousandChannelRestartsLeakNothing) {
  char tmpl[] = "/tmp/lifecycle_XXXXXX";
  std::string dir = mkdtemp(tmpl);
  const std::string param = R"({"log_path":")" + dir + R"(","log_name":"cycle","es_url":"u","es_version":"v8","es_index":"i"})";
  cdchost::Event e;
  e.type = EventType::T_INSERT;
  e.col_names = {"optype", "doc"};
  e.col_states = {0, 0};
  e.rows = {{"'insert'", "'{\"k\":1}'"}};
  std::vector<cdchost::Block> blocks;
  for (int i = 0; i < 20; ++i) blocks.push_back(cdchost::EncodeEvent(e, 7));
  std::list<char*> list;
  for (auto& b : blocks) list.push_back(b.first_mut());

  auto cycle = [&]() {
    recwriter::Reset();
    CDispatchEvent* sink = Create();
    ASSERT_FALSE(sink->Init("ch", "udf", param, "1@h", S_Mysql, false)) << sink->getErr();
    ParallelParseEvent pe(1);
    ASSERT_FALSE(pe.Init());
    ASSERT_FALSE(pe.Parse(list));
    ASSERT_FALSE(sink->Execute("ch", "udf", &pe)) << sink->getErr();
    ASSERT_EQ(20u, recwriter::Docs().size());
    sink->Close("ch", "udf");
    Destroy(sink);
  };

  for (int i = 0; i < 50; ++i) cycle();  // warm-up: allocator pools, the logger's first block
  const size_t threads = CountEntries("/proc/self/task");
  const size_t fds = CountEntries("/proc/self/fd");
  const long rss = ResidentKb();
  for (int i = 0; i < 1000; ++i) {
    cycle();
    if (HasFatalFailure()) return;
  }
  // One logger thread stays (the process-wide logger outlives the sinks), as after the warm-up.
  EXPECT_EQ(threads, CountEntries("/proc/self/task"));
  EXPECT_EQ(fds, CountEntries("/proc/self/fd"));
  if (kCompareResidentSet) {
    EXPECT_LT(ResidentKb() - rss, 16 * 1024) << "resident set grew from " << rss << " kB";
  }
  RecordProperty("rss_kb_before", static_cast<int>(rss));
  RecordProperty("rss_kb_after", static_cast<int>(ResidentKb()));
}

TEST(Lifecycle, ThousandDecodersComeAndGo) {
  cdchost::Event e;
  e.type = EventType::T_DELETE;
  e.col_names = {"a"};
  e.col_states = {0};
  e.rows = {{"x"}};
  cdchost::Block b = cdchost::EncodeEvent(e);
  std::list<char*> list(8, b.first_mut());
  auto cycle = [&](int i) {
    ParallelParseEvent pe(1 + i % 2);
    ASSERT_FALSE(pe.Init());
    if (i % 2 == 0) {
      ASSERT_FALSE(pe.Parse(list));
      ASSERT_TRUE(cdchost::WaitAllReady(pe, 500, 60000));
    }
  };
  for (int i = 0; i < 50; ++i) cycle(i);  // warm-up: allocator pools and thread stacks
  const size_t threads = CountEntries("/proc/self/task");
  const long rss = ResidentKb();
  for (int i = 0; i < 1000; ++i) {
    cycle(i);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(threads, CountEntries("/proc/self/task"));
  if (kCompareResidentSet) {
    EXPECT_LT(ResidentKb() - rss, 8 * 1024) << "resident set grew from " << rss << " kB";
  }
}
