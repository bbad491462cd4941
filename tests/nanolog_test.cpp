// Asynchronous logger: record encoding and line text, level filter, ring and queue buffers, rolling
// files, shutdown, replacement and a no-loss stress run.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <malloc.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logging/NanoLog.h"
#include "test_support.h"

using namespace nanolog;
using testsupport::ListDir;
using testsupport::ReadFile;
using testsupport::Today;

static std::string TempDir() { return testsupport::TempDir("nanolog_test"); }

namespace {

// 2024-05-01 08:00:00.000042 UTC
const uint64_t kMay1 = 1714550400ull * 1000000 + 42;

void SetHeader(NanoLogLine& line, uint64_t ts, uint64_t tid) {
  memcpy(line.m_stack_buffer, &ts, 8);
  memcpy(line.m_stack_buffer + 8, &tid, 8);
  if (line.m_heap_buffer) {
    memcpy(line.m_heap_buffer.get(), &ts, 8);
    memcpy(line.m_heap_buffer.get() + 8, &tid, 8);
  }
}

std::string Text(NanoLogLine& line) {
  std::ostringstream os;
  line.stringify(os);
  return os.str();
}

// Operands after the "] " that ends the prefix, without the newline.
std::string Operands(NanoLogLine& line) {
  std::string t = Text(line);
  size_t at = t.find("] ");
  return t.substr(at + 2, t.size() - at - 3);
}

std::string Touch(const std::string& path, const std::string& content = "") {
  std::ofstream(path) << content;
  return path;
}

}  // namespace

TEST(LogRecord, HasTheFixedSizes) {
  EXPECT_EQ(248u, sizeof(NanoLogLine));
  EXPECT_EQ(256u, sizeof(RingBuffer::Item));
  EXPECT_EQ(256u, sizeof(Buffer::Item));
  NanoLogLine line(LogLevel::INFO, "f", "fn", 1);
  EXPECT_EQ(37u, line.m_bytes_used);
  EXPECT_EQ(224u, line.m_buffer_size);
}

TEST(LogLine, ExactText) {
  NanoLogLine line(LogLevel::WARN, "/src/sink", "writeEvent", 209);
  line << "ddl event not need sync to es";
  SetHeader(line, kMay1, 77);
  EXPECT_EQ("[2024-05-01 08:00:00.000042][WARN][77][/src/sink:writeEvent:209] ddl event not need sync to es\n",
            Text(line));
}

TEST(LogLine, NoOperandsEndsRightAfterThePrefix) {
  NanoLogLine line(LogLevel::INFO, "f.cpp", "Init", 3);
  SetHeader(line, 1000000, 5);
  EXPECT_EQ("[1970-01-01 00:00:01.000000][INFO][5][f.cpp:Init:3] \n", Text(line));
}

TEST(LogLine, LevelNames) {
  struct Case {
    uint8_t level;
    const char* name;
  } cases[] = {{0, "INFO"}, {1, "WARN"}, {2, "CRIT"}, {3, "XXXX"}, {255, "XXXX"}};
  for (const Case& c : cases) {
    EXPECT_STREQ(c.name, to_string(static_cast<LogLevel>(c.level)));
    NanoLogLine line(static_cast<LogLevel>(c.level), "f", "g", 1);
    EXPECT_NE(std::string::npos, Text(line).find(std::string("][") + c.name + "]["));
  }
}

TEST(LogLine, ThreadIdAsTheStandardLibraryPrintsIt) {
  NanoLogLine line(LogLevel::INFO, "f", "g", 1);
  std::ostringstream id;
  id << std::this_thread::get_id();
  EXPECT_NE(std::string::npos, Text(line).find("][" + id.str() + "]["));
}

TEST(LogLine, EveryOperandTypeWithoutSeparators) {
  NanoLogLine line(LogLevel::INFO, "f", "g", 1);
  const char* cptr = "cp";
  char buf[] = "mut";
  char* mptr = buf;
  std::string s = "str";
  line << "a" << int32_t(1) << 'b' << uint32_t(4000000000u) << int64_t(-5) << uint64_t(18446744073709551615ull)
       << 2.5 << 1.0 / 3 << cptr << mptr << s << int32_t(-7);
  EXPECT_EQ("a1b4000000000-5184467440737095516152.50.333333cpmutstr-7", Operands(line));
}

TEST(LogLine, ModifiableCharArraysAreCopiedNotReferenced) {
  NanoLogLine line(LogLevel::INFO, "f", "g", 1);
  {
    char scratch[16] = "before";
    line << scratch;
    strcpy(scratch, "after");  // the record must not see this
  }
  char full[3] = {'a', 'b', 'c'};  // no terminator inside the array
  line << full;
  EXPECT_EQ("beforeabc", Operands(line));
}

TEST(LogLine, EmptyAndNullStringsAddNothing) {
  NanoLogLine line(LogLevel::INFO, "f", "g", 1);
  const char* null_ptr = nullptr;
  const char* empty_ptr = "";
  size_t before = line.m_bytes_used;
  line << std::string() << null_ptr << empty_ptr;
  EXPECT_EQ(before, line.m_bytes_used);
  line << "x" << std::string() << null_ptr << "y";
  EXPECT_EQ("xy", Operands(line));
}

TEST(LogLine, StringWithNulIsStoredUpToTheNul) {
  NanoLogLine line(LogLevel::INFO, "f", "g", 1);
  line << std::string("ab\0\x05\x06zz", 7) << 'c';
  EXPECT_EQ("abc", Operands(line));
}

TEST(LogLine, HeapGrowthPrintsTheSame) {
  NanoLogLine line(LogLevel::CRIT, "f", "g", 1);
  std::string want;
  for (int i = 0; i < 20; ++i) {
    line << int64_t(i);
    want += std::to_string(i);
  }
  EXPECT_FALSE(line.m_heap_buffer);
  line << int64_t(20) << int64_t(21);  // 37 + 22 * 9 = 235 > 224
  want += "2021";
  EXPECT_TRUE(line.m_heap_buffer);
  EXPECT_EQ(512u, line.m_buffer_size);
  std::string big(600, 'q');
  line << big;
  want += big;
  EXPECT_EQ(1024u, line.m_buffer_size);  // twice 512 beats the required 837
  line << big;
  want += big;
  EXPECT_EQ(2048u, line.m_buffer_size);
  EXPECT_EQ(want, Operands(line));
  NanoLogLine moved(std::move(line));
  EXPECT_EQ(want, Operands(moved));
}

TEST(LogLevelFilter, FilteredStatementEvaluatesNoOperand) {
  int evaluated = 0;
  auto count = [&]() {
    ++evaluated;
    return int32_t(1);
  };
  EXPECT_TRUE(is_logged(LogLevel::INFO));  // default level logs everything
  set_log_level(LogLevel::WARN);
  LOG_INFO << count();
  EXPECT_EQ(0, evaluated);
  EXPECT_FALSE(is_logged(LogLevel::INFO));
  EXPECT_TRUE(is_logged(LogLevel::CRIT));
  LOG_WARN << count();  // no logger started: the record is dropped
  EXPECT_EQ(1, evaluated);
  set_log_level(LogLevel::INFO);
}

TEST(LogLevelFilter, StatementsBeforeAnyLoggerAreDropped) {
  LOG_INFO << "nobody listens " << int32_t(1);
  LOG_CRIT << "still fine";
  // A logger started afterwards writes only what comes after it: nothing was kept for it.
  std::string dir = TempDir();
  initialize(GuaranteedLogger(), dir, "late", 1);
  LOG_INFO << "the first line";
  std::string text = testsupport::WaitForText(dir, "the first line");
  EXPECT_NE(std::string::npos, text.find("the first line"));
  EXPECT_EQ(std::string::npos, text.find("nobody listens"));
  EXPECT_EQ(std::string::npos, text.find("still fine"));
}

TEST(RingBuffer, OverrunLosesTheOldestAndKeepsSlotOrder) {
  RingBuffer ring(4);
  for (int32_t i = 1; i <= 5; ++i) {
    NanoLogLine line(LogLevel::INFO, "f", "g", 1);
    line << i;
    ring.push(std::move(line));
  }
  std::vector<std::string> got;
  NanoLogLine out(LogLevel::INFO, nullptr, nullptr, 0);
  while (ring.try_pop(out)) got.push_back(Operands(out));
  EXPECT_EQ((std::vector<std::string>{"5", "2", "3", "4"}), got);
}

TEST(RingBuffer, PopOnEmptyLeavesTheRecord) {
  RingBuffer ring(8);
  NanoLogLine out(LogLevel::WARN, "f", "g", 9);
  out << "keep";
  EXPECT_FALSE(ring.try_pop(out));
  EXPECT_EQ("keep", Operands(out));
}

TEST(QueueBuffer, FullBlockStartsTheNextAndIsRemovedOnceRead) {
  QueueBuffer q;
  for (uint32_t i = 0; i < Buffer::size; ++i) {
    NanoLogLine line(LogLevel::INFO, "f", "g", 1);
    line << i;
    q.push(std::move(line));
  }
  EXPECT_EQ(2u, q.m_buffers.size());
  EXPECT_EQ(0u, q.m_write_index.load());
  NanoLogLine out(LogLevel::INFO, nullptr, nullptr, 0);
  for (uint32_t i = 0; i < Buffer::size; ++i) {
    ASSERT_TRUE(q.try_pop(out));
    ASSERT_EQ(std::to_string(i), Operands(out));
  }
  EXPECT_EQ(1u, q.m_buffers.size());
  EXPECT_FALSE(q.try_pop(out));
  NanoLogLine next(LogLevel::INFO, "f", "g", 1);
  next << "next";
  q.push(std::move(next));
  EXPECT_EQ(1u, q.m_write_index.load());
  ASSERT_TRUE(q.try_pop(out));
  EXPECT_EQ("next", Operands(out));
}

namespace {
// Pages of the block's slot array that are not resident (touching them would fault).
size_t PagesNotResident(const Buffer* block) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block->m_buffer) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block->m_buffer) + Buffer::size * sizeof(Buffer::Item)) & ~(page - 1);
  std::vector<unsigned char> resident((end - begin) / page);
  if (mincore(reinterpret_cast<void*>(begin), end - begin, resident.data()) != 0) return resident.size();
  return static_cast<size_t>(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return (r & 1) == 0; }));
}

void PushNumbers(QueueBuffer& q, uint32_t from, uint32_t to) {
  for (uint32_t i = from; i < to; ++i) {
    NanoLogLine line(LogLevel::INFO, "f", "g", 1);
    line << i;
    q.push(std::move(line));
  }
}
}  // namespace

// Producers switch to a block the consumer made and touched ahead of need, whether it keeps up (the
// block being written is half full) or lags a block behind, so that no statement takes its page faults.
TEST(QueueBuffer, ConsumerPreparesTheNextBlockAheadOfNeed) {
  QueueBuffer q;
  EXPECT_EQ(0u, PagesNotResident(q.m_current_write_buffer.load()));  // the first block, at start
  NanoLogLine out(LogLevel::INFO, nullptr, nullptr, 0);

  PushNumbers(q, 0, 10);
  ASSERT_TRUE(q.try_pop(out));
  EXPECT_EQ(nullptr, q.m_spare.load()) << "a consumer that keeps up needs no block yet";
  PushNumbers(q, 10, Buffer::size / 2 + 1);
  ASSERT_TRUE(q.try_pop(out));
  Buffer* spare = q.m_spare.load();
  ASSERT_NE(nullptr, spare);
  EXPECT_EQ(0u, PagesNotResident(spare));
  PushNumbers(q, Buffer::size / 2 + 1, Buffer::size);
  EXPECT_EQ(spare, q.m_current_write_buffer.load());
  EXPECT_EQ(nullptr, q.m_spare.load());

  // Lagging: the consumer is still in the first block while producers fill the second.
  PushNumbers(q, Buffer::size, Buffer::size + Buffer::size / 2);
  ASSERT_TRUE(q.try_pop(out));
  spare = q.m_spare.load();
  ASSERT_NE(nullptr, spare);
  EXPECT_EQ(0u, PagesNotResident(spare));
  PushNumbers(q, Buffer::size + Buffer::size / 2, 2 * Buffer::size);
  EXPECT_EQ(spare, q.m_current_write_buffer.load());

  // Every record is still there, in order.
  uint32_t expect = 3;  // three were read above
  while (q.try_pop(out)) ASSERT_EQ(std::to_string(expect++), Operands(out));
  EXPECT_EQ(2 * Buffer::size, expect);
}

TEST(QueueBuffer, ConsumerWaitsForASlowProducersSlot) {
  QueueBuffer q;
  unsigned int slow = q.m_write_index.fetch_add(1);  // a producer that took slot 0 and is not done yet
  NanoLogLine b(LogLevel::INFO, "f", "g", 1);
  b << "second";
  q.push(std::move(b));
  NanoLogLine out(LogLevel::INFO, nullptr, nullptr, 0);
  EXPECT_FALSE(q.try_pop(out));
  EXPECT_FALSE(q.try_pop(out));
  NanoLogLine a(LogLevel::INFO, "f", "g", 1);
  a << "first";
  q.m_current_write_buffer.load()->push(std::move(a), slow);
  ASSERT_TRUE(q.try_pop(out));
  EXPECT_EQ("first", Operands(out));
  ASSERT_TRUE(q.try_pop(out));
  EXPECT_EQ("second", Operands(out));
}

TEST(QueueBuffer, BlockIsKeptUntilItsLastPushCompletes) {
  QueueBuffer q;
  for (uint32_t i = 0; i + 1 < Buffer::size; ++i) q.push(NanoLogLine(LogLevel::INFO, "f", "g", 1));
  // The last slot is written but its push has not been counted yet.
  Buffer* first = q.m_current_write_buffer.load();
  unsigned int last = q.m_write_index.fetch_add(1);
  new (&first->m_buffer[last]) Buffer::Item(NanoLogLine(LogLevel::INFO, "f", "g", 1));
  first->m_write_state[last].store(1);
  NanoLogLine out(LogLevel::INFO, nullptr, nullptr, 0);
  for (uint32_t i = 0; i < Buffer::size; ++i) ASSERT_TRUE(q.try_pop(out));
  EXPECT_EQ(1u, q.m_buffers.size());  // not removed while the producer may still use it
  EXPECT_FALSE(q.try_pop(out));
  EXPECT_EQ(1u, q.m_buffers.size());
  first->m_write_state[Buffer::size].fetch_add(1);
  q.m_buffers.push(std::unique_ptr<Buffer>(new Buffer()));  // what the producer's set-up would add
  q.m_current_write_buffer.store(q.m_buffers.back().get());
  q.m_write_index.store(0);
  EXPECT_FALSE(q.try_pop(out));
  EXPECT_EQ(1u, q.m_buffers.size());
}

TEST(QueueBuffer, DestroyingWithUnreadRecordsReleasesThem) {
  // Records with heap operands left unread in the buffer: the heap in use returns to where it was
  // (and LeakSanitizer, in that build, finds nothing).
  auto in_use = []() { return mallinfo2().uordblks; };
  const size_t before = in_use();
  {
    QueueBuffer q;
    for (int i = 0; i < 1000; ++i) {
      NanoLogLine line(LogLevel::INFO, "f", "g", 1);
      line << std::string(300, 'h');
      q.push(std::move(line));
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their allocators keep no count mallinfo2 sees
    EXPECT_GT(in_use(), before + 300 * 1000) << "the records hold their operands on the heap";
#endif
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(in_use(), before + 64 * 1024);
#endif
}

TEST(FileWriter, NamesWithAndWithoutTrailingSlash) {
  std::string dir = TempDir();
  for (std::string d : {dir, dir + "/"}) {
    FileWriter w(d, "sink", 1);
    EXPECT_EQ(dir + "/sink", w.m_name);
  }
  EXPECT_EQ((std::vector<std::string>{"sink." + Today() + ".log.0"}), ListDir(dir));
}

TEST(FileWriter, ResumesTodaysHighestNumberIgnoringOtherDates) {
  std::string dir = TempDir();
  std::string today = Today();
  Touch(dir + "/sink." + today + ".log.3");
  Touch(dir + "/sink." + today + ".log.7", "old line\n");
  Touch(dir + "/sink.2000-04-30.log.9");
  Touch(dir + "/other." + today + ".log.12");
  FileWriter w(dir, "sink", 1);
  EXPECT_EQ(7u, w.m_file_number);
  EXPECT_EQ(0, w.m_bytes_written);
  NanoLogLine line(LogLevel::INFO, "f", "g", 1);
  line << "appended";
  w.write(line);
  w.m_os->flush();
  std::string content = ReadFile(dir + "/sink." + today + ".log.7");
  EXPECT_EQ(0u, content.find("old line\n"));
  EXPECT_NE(std::string::npos, content.find("] appended\n"));
  w.roll_file(false);
  EXPECT_EQ(8u, w.m_file_number);
  EXPECT_EQ(0, access((dir + "/sink." + today + ".log.8").c_str(), F_OK));
}

TEST(FileWriter, RollsAfterTheLineThatExceedsTheSize) {
  std::string dir = TempDir();
  FileWriter w(dir, "roll", 1);
  const uint64_t limit = 1048576;
  EXPECT_EQ(limit, w.m_log_file_roll_size_bytes);
  std::string payload(1000, 'r');
  size_t lines = 0;
  while (w.m_file_number == 0) {
    NanoLogLine line(LogLevel::INFO, "f", "g", 1);
    line << payload;
    w.write(line);
    ++lines;
  }
  NanoLogLine after(LogLevel::INFO, "f", "g", 1);
  after << "first of the next file";
  w.write(after);
  w.m_os->flush();
  std::string first = ReadFile(dir + "/roll." + Today() + ".log.0");
  std::string second = ReadFile(dir + "/roll." + Today() + ".log.1");
  size_t line_len = first.size() / lines;
  EXPECT_GT(first.size(), limit);
  EXPECT_LE(first.size() - line_len, limit);
  EXPECT_NE(std::string::npos, second.find("first of the next file"));
  EXPECT_EQ(0u, second.find('['));
}

TEST(FileWriter, RollSizesOf4096MegabytesAndMoreWork) {
  std::string dir = TempDir();
  FileWriter w(dir, "big", 5000);
  EXPECT_EQ(5000ull * 1048576, w.m_log_file_roll_size_bytes);
}

TEST(FileWriter, NonexistentDirectoryReportsOnceAndGoesOn) {
  testing::internal::CaptureStderr();
  {
    NanoLogger logger(GuaranteedLogger(), "/no/such/dir", "x", 1);
    NanoLogLine line(LogLevel::INFO, "f", "g", 1);
    logger.add(std::move(line));
  }
  std::string err = testing::internal::GetCapturedStderr();
  // The directory at start, then the file at the first line, each once.
  EXPECT_EQ("open log directory /no/such/dir failed 2[No such file or directory]\n"
            "open log file /no/such/dir/x." + Today() + ".log.0 failed 2[No such file or directory]; lines are lost "
            "until it opens, trying every second\n",
            err);
}

namespace {
void WriteLines(FileWriter& w, const char* text, int n) {
  for (int i = 0; i < n; ++i) {
    NanoLogLine line(LogLevel::INFO, "f", "g", 1);
    line << text << int32_t(i);
    w.write(line);
  }
}

// The file writers' retry clock, moved on by the test instead of waiting for a second to pass.
std::atomic<int64_t> g_fake_seconds{1000};
int64_t FakeSeconds() { return g_fake_seconds.load(); }
struct FakeRetryClock {
  FakeRetryClock() { set_retry_clock(&FakeSeconds); }
  ~FakeRetryClock() { set_retry_clock(nullptr); }
  void Advance(int64_t seconds) { g_fake_seconds += seconds; }
};
}  // namespace

// A log directory removed while in use: reported once, and once it is back the writer opens the file
// again (after its back-off of a second) and says how many lines were lost.
TEST(FileWriter, RemovedDirectoryIsReportedAndRecovered) {
  std::string dir = TempDir();
  FakeRetryClock clock;
  testing::internal::CaptureStderr();
  {
    FileWriter w(dir, "gone", 1);
    WriteLines(w, "before ", 3);
    ASSERT_EQ(0, system(("rm -rf " + dir).c_str()));
    clock.Advance(1);  // past the writer's once-a-second look at its file
    WriteLines(w, "while gone ", 5);
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    WriteLines(w, "still backing off ", 1);  // within the second: not opened yet, counted as lost
    clock.Advance(1);  // past the back-off before the next open
    WriteLines(w, "after ", 2);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("was removed while in use")) << err;
  EXPECT_EQ(1u, std::count(err.begin(), err.end(), '\n')) << "reported once: " << err;
  const std::string text = testsupport::ReadDir(dir);
  EXPECT_NE(std::string::npos, text.find("log lines were lost while the log file could not be written")) << text;
  EXPECT_NE(std::string::npos, text.find("] after 0\n"));
  EXPECT_NE(std::string::npos, text.find("] after 1\n"));
  EXPECT_EQ(std::string::npos, text.find("while gone"));
  EXPECT_EQ(std::string::npos, text.find("still backing off"));
}

// A full disk (the file is /dev/full): each line is counted as lost, the failure reported once; when a
// writable file is in place again, the lines go on with the count of what was lost.
TEST(FileWriter, FullDiskIsReportedAndRecovered) {
  std::string dir = TempDir();
  const std::string path = dir + "/full." + Today() + ".log.0";
  ASSERT_EQ(0, symlink("/dev/full", path.c_str()));
  FakeRetryClock clock;
  testing::internal::CaptureStderr();
  {
    FileWriter w(dir, "full", 1);
    WriteLines(w, "lost ", 4);
    ASSERT_EQ(0, unlink(path.c_str()));
    clock.Advance(1);
    WriteLines(w, "kept ", 1);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("write to log file " + path + " failed 28[No space left on device]")) << err;
  EXPECT_EQ(1u, std::count(err.begin(), err.end(), '\n')) << err;
  const std::string text = ReadFile(path);
  EXPECT_NE(std::string::npos, text.find("] 4 log lines were lost while the log file could not be written\n")) << text;
  EXPECT_NE(std::string::npos, text.find("] kept 0\n")) << text;
}

TEST(Logger, ZeroRollSizeCountsAsOneMegabyte) {
  std::string dir = TempDir();
  NanoLogger logger(GuaranteedLogger(), dir, "zero", 0);
  EXPECT_EQ(1048576u, logger.m_file_writer.m_log_file_roll_size_bytes);
  NanoLogger ring(NonGuaranteedLogger(0), dir, "zero_ring", 0);
  EXPECT_EQ(4096u, static_cast<RingBuffer*>(ring.m_buffer_base.get())->m_size);
}

// Stamps come from the CPU's counter once a running logger has mapped it to the system clock: they
// must still agree with the system clock, from every thread, across the map's renewals (every 100 ms).
TEST(LogRecord, TimeStampsFollowTheSystemClock) {
  const std::string dir = TempDir();
  NanoLogger logger(GuaranteedLogger(), dir, "stamps", 1);
  auto system_us = []() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  };
  std::atomic<int> off(0), backwards(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&]() {
      uint64_t last = 0;
      const uint64_t end = system_us() + 700000;
      for (uint64_t before = system_us(); before < end; before = system_us()) {
        NanoLogLine line(LogLevel::INFO, "f", "g", 1);
        const uint64_t after = system_us();
        uint64_t stamp;
        memcpy(&stamp, line.m_stack_buffer, sizeof(stamp));
        // A stamp lies between the clock readings around it, give or take what the map may be off.
        if (stamp + 200 < before || stamp > after + 200) ++off;
        if (stamp + 5 < last) ++backwards;
        last = stamp;
        usleep(200);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, off.load());
  EXPECT_EQ(0, backwards.load());
}

TEST(Logger, EmptyDirectoryMeansTheWorkingDirectory) {
  std::string dir = TempDir();
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(dir.c_str()));
  {
    NanoLogger logger(GuaranteedLogger(), "", "here", 1);
    logger.add(NanoLogLine(LogLevel::INFO, "f", "g", 1));
  }
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_EQ((std::vector<std::string>{"here." + Today() + ".log.0"}), ListDir(dir));
}

TEST(Logger, ShutdownWritesEveryPushedRecord) {
  std::string dir = TempDir();
  for (bool guaranteed : {true, false}) {
    std::string name = guaranteed ? "drain_q" : "drain_r";
    {
      std::unique_ptr<NanoLogger> logger(guaranteed ? new NanoLogger(GuaranteedLogger(), dir, name, 64)
                                                    : new NanoLogger(NonGuaranteedLogger(16), dir, name, 64));
      for (int32_t i = 0; i < 20000; ++i) {
        NanoLogLine line(LogLevel::INFO, "f", "g", 1);
        line << "n=" << i;
        logger->add(std::move(line));
      }
    }
    std::string content = ReadFile(dir + "/" + name + "." + Today() + ".log.0");
    EXPECT_EQ(20000, std::count(content.begin(), content.end(), '\n')) << name;
    EXPECT_NE(std::string::npos, content.find("] n=19999\n")) << name;
  }
}

TEST(Logger, SecondInitializeDrainsTheFirstAndTakesOver) {
  std::string dir = TempDir();
  initialize(GuaranteedLogger(), dir, "first", 1);
  for (int i = 0; i < 1000; ++i) LOG_INFO << "to first " << int32_t(i);
  initialize(GuaranteedLogger(), dir, "second", 1);
  LOG_WARN << "to second";
  initialize(GuaranteedLogger(), dir, "third", 1);  // drains the second
  std::string first = ReadFile(dir + "/first." + Today() + ".log.0");
  std::string second = ReadFile(dir + "/second." + Today() + ".log.0");
  EXPECT_EQ(1000, std::count(first.begin(), first.end(), '\n'));
  EXPECT_NE(std::string::npos, first.find("to first 999\n"));
  EXPECT_EQ(std::string::npos, first.find("to second"));
  EXPECT_NE(std::string::npos, second.find("[WARN]"));
  EXPECT_NE(std::string::npos, second.find(":TestBody:"));
  EXPECT_NE(std::string::npos, second.find("] to second\n"));
}

TEST(Logger, ReplacementWhileOtherThreadsLog) {
  std::string dir = TempDir();
  initialize(GuaranteedLogger(), dir, "swap0", 1);
  std::atomic<bool> stop(false);
  std::vector<std::thread> threads;
  std::atomic<int64_t> logged(0);
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&stop, &logged, t]() {
      int32_t i = 0;
      while (!stop.load()) {
        LOG_INFO << "thread " << t << " line " << i++;
        logged.fetch_add(1);
        if (i % 16 == 0) usleep(1000);  // busy, but slower than the writer drains
      }
    });
  }
  for (int k = 1; k <= 20; ++k) {
    initialize(GuaranteedLogger(), dir, "swap" + std::to_string(k % 3), 1);
    usleep(2000);
  }
  stop.store(true);
  for (auto& th : threads) th.join();
  // Replacing the logger once more drains the last one: every statement is then in exactly one
  // file, whole, and each thread's lines are in its own order.
  initialize(GuaranteedLogger(), dir, "after", 1);
  std::istringstream all(testsupport::ReadDir(dir));
  std::string line;
  int64_t lines = 0;
  std::map<int, std::set<int>> seen;
  while (std::getline(all, line)) {
    size_t at = line.find("] thread ");
    ASSERT_NE(std::string::npos, at) << line;
    int t = -1, i = -1;
    ASSERT_EQ(2, sscanf(line.c_str() + at, "] thread %d line %d", &t, &i)) << line;
    EXPECT_TRUE(seen[t].insert(i).second) << "line " << i << " of thread " << t << " written twice";
    ++lines;
  }
  EXPECT_EQ(logged.load(), lines);
}

TEST(LoggerStress, NoRecordLostAcrossBlockBoundaries) {
  // 8 producers x 200,000 records through the guaranteed buffer (dozens of 32768-slot blocks): every
  // record reaches the files exactly once, in per-thread order.
  std::string dir = TempDir();
  initialize(GuaranteedLogger(), dir, "stress", 64);
  const int kThreads = 8;
  const int kPerThread = 200000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t]() {
      for (int32_t i = 0; i < kPerThread; ++i) LOG_INFO << 'T' << int32_t(t) << ' ' << i;
    });
  }
  for (auto& th : threads) th.join();
  initialize(GuaranteedLogger(), dir, "after", 1);  // drains the stress logger

  std::vector<int32_t> next(kThreads, 0);
  size_t total = 0;
  // Files in number order.
  for (uint32_t n = 0;; ++n) {
    std::string path = dir + "/stress." + Today() + ".log." + std::to_string(n);
    if (access(path.c_str(), F_OK) != 0) break;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      size_t at = line.find("] T");
      ASSERT_NE(std::string::npos, at) << line;
      int t = 0, i = 0;
      ASSERT_EQ(2, sscanf(line.c_str() + at + 3, "%d %d", &t, &i)) << line;
      ASSERT_GE(t, 0);
      ASSERT_LT(t, kThreads);
      ASSERT_EQ(next[t], i) << "thread " << t;
      ++next[t];
      ++total;
    }
  }
  EXPECT_EQ(static_cast<size_t>(kThreads) * kPerThread, total);
}
