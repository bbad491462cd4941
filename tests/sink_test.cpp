// The search-engine sink driven as the host drives it, against a recording writer library.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <list>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "block_encoder.h"
#include "block_util.h"
#include "decoder_control.h"
#include "logging/NanoLog.h"
#include "plugin/event_es/event_es.h"
#include "recording_writer.h"
#include "test_support.h"

using namespace ostrel;
using cdchost::Block;
using cdchost::Event;
using testsupport::ListDir;
using testsupport::ReadFile;
using testsupport::Today;

namespace {

std::string TempDir() { return testsupport::TempDir("sink_test"); }

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Waits (the logger writes in the background) until the log file holds `count` copies of `what`.
std::string WaitForLog(const std::string& path, const std::string& what, size_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::string text;
  do {
    text = ReadFile(path);
    if (CountOf(text, what) >= count) break;
    usleep(2000);
  } while (std::chrono::steady_clock::now() < deadline);
  return text;
}

Event Row(EventType type, const std::vector<std::string>& names, const std::vector<std::vector<std::string>>& rows) {
  Event e;
  e.type = type;
  e.db = "shop";
  e.tb = "orders";
  e.col_names = names;
  e.col_states.assign(names.size(), 0);
  e.rows = rows;
  if (type == EventType::T_UPDATE) e.olds = rows;
  return e;
}

Event Ddl() {
  Event e;
  e.type = EventType::T_ALTER_TABLE;
  e.db = "shop";
  e.sql = "ALTER TABLE orders ADD c INT";
  return e;
}

Event GtidSet() {
  Event e;
  e.type = EventType::T_GTIDSET;
  e.gtid = "uuid:1-9";
  return e;
}

// A batch held as the host holds it.
struct Batch {
  std::vector<Block> blocks;
  std::list<char*> list;
  void Add(const Event& e, size_t chunk = 0) {
    blocks.push_back(cdchost::EncodeEvent(e, chunk));
    list.clear();
    for (Block& b : blocks) list.push_back(b.first_mut());
  }
};

class SinkTest : public testing::Test {
 protected:
  void SetUp() override {
    recwriter::Reset();
    dir_ = TempDir();
    sink_ = Create();
  }
  void TearDown() override { Destroy(sink_); }

  std::string Param(const std::string& version = "v7", const std::string& extra = "") {
    return R"({"log_path":")" + dir_ + R"(","es_url":"http://es:9200","es_version":")" + version +
           R"(","es_index":"idx")" + extra + "}";
  }
  void InitOk() { ASSERT_FALSE(sink_->Init("ch", "es1", Param(), "7@host", S_Mysql, false)) << sink_->getErr(); }
  std::string LogPath(const std::string& name = "es1-event_es-7") { return dir_ + "/" + name + "." + Today() + ".log.0"; }

  // Parse + Execute, as the host does per batch.
  bool Run(ParallelParseEvent& pe, Batch& b) {
    EXPECT_FALSE(pe.Parse(b.list)) << pe.getErr();
    return sink_->Execute("ch", "es1", &pe);
  }
  std::vector<std::string> RunDocs(std::initializer_list<Event> events) {
    ParallelParseEvent pe(2);
    EXPECT_FALSE(pe.Init());
    Batch b;
    for (const Event& e : events) b.Add(e);
    EXPECT_FALSE(Run(pe, b)) << sink_->getErr();
    return recwriter::Docs();
  }

  std::string dir_;
  CDispatchEvent* sink_ = nullptr;
};

}  // namespace

TEST_F(SinkTest, InitHandsTheWriterItsArguments) {
  for (const char* v : {"v7", "v8"}) {
    recwriter::Reset();
    CDispatchEvent* s = Create();
    ASSERT_FALSE(s->Init("ch", "es1", Param(v, R"(,"es_bulknum":"64")"), "7@h", S_Mysql, false)) << s->getErr();
    ASSERT_EQ(1u, recwriter::Calls().size());
    const recwriter::Call& c = recwriter::Calls()[0];
    EXPECT_EQ("initialize", c.fn);
    EXPECT_EQ("http://es:9200", c.es_url);
    EXPECT_EQ(std::string(v) == "v8" ? 1 : 0, c.is_v8);
    EXPECT_EQ("idx", c.es_index);
    EXPECT_EQ(64, c.bulk_num);
    EXPECT_EQ(dir_, c.log_dir);
    EXPECT_EQ("cdc_es_write", c.log_name);
    Destroy(s);
  }
  std::string log = WaitForLog(LogPath(), "init ok", 2);
  EXPECT_EQ(2u, CountOf(log, "[INFO]"));
  EXPECT_NE(std::string::npos, log.find(":Init:"));
  EXPECT_NE(std::string::npos, log.find("] event_es plugin udf_name es1 init ok ...\n"));
}

// Numbers that the parameter rules read with atoi reach the logger and the writer only as sane
// values, with a warning in the log; keys given twice are named.
TEST_F(SinkTest, NumbersThatLieAreWarnedAbout) {
  struct Case {
    const char* extra;
    uint64_t roll_bytes;
    int bulk_num;
    const char* warning;
  } cases[] = {
      {R"(,"log_size":"-1")", 500ull << 20, 500, "log_size \"-1\" is not a whole number of megabytes from 0 to 1048576; the log rolls at 500 MB"},
      {R"(,"log_size":"99999999")", 500ull << 20, 500, "log_size \"99999999\" is not a whole number"},
      {R"(,"log_size":"64")", 64ull << 20, 500, nullptr},
      {R"(,"es_bulknum":"1e9")", 500ull << 20, 1, "es_bulknum \"1e9\" is not a whole number from 1 to 2147483647; it reads as 1"},
      {R"(,"es_bulknum":"abc")", 500ull << 20, 0, "es_bulknum \"abc\" is not a whole number"},
      {R"(,"es_index":"other")", 500ull << 20, 500, "parameter \"es_index\" is given more than once; the first value is used"},
  };
  int n = 0;
  for (const Case& c : cases) {
    recwriter::Reset();
    const std::string job = std::to_string(100 + n++) + "@h";
    CDispatchEvent* s = Create();
    s->Init("ch", "es1", Param("v8", c.extra), job, S_Mysql, false);
    ASSERT_NE(nullptr, nanolog::nanologger.get());
    EXPECT_EQ(c.roll_bytes, nanolog::nanologger->m_file_writer.m_log_file_roll_size_bytes) << c.extra;
    ASSERT_EQ(1u, recwriter::Calls().size()) << c.extra;
    EXPECT_EQ(c.bulk_num, recwriter::Calls()[0].bulk_num) << c.extra;
    EXPECT_EQ("idx", recwriter::Calls()[0].es_index);
    Destroy(s);
    const std::string log = WaitForLog(LogPath("es1-event_es-" + job.substr(0, job.find('@'))), "init ok", 1);
    if (c.warning != nullptr) {
      EXPECT_NE(std::string::npos, log.find(c.warning)) << log;
    } else {
      EXPECT_EQ(std::string::npos, log.find("[WARN]")) << log;
    }
  }
}

TEST_F(SinkTest, LogFileNameFromUdfAndJob) {
  struct Case {
    const char* job;
    const char* log_name;
    const char* file;
  } cases[] = {
      {"7@anything", "", "es1-event_es-7"},
      {"12", "", "es1-event_es-12"},
      {"@start", "", "es1-event_es-"},
      {"7@x", "mine", "mine"},
  };
  for (const Case& c : cases) {
    std::string extra = *c.log_name ? std::string(R"(,"log_name":")") + c.log_name + "\"" : "";
    CDispatchEvent* s = Create();
    ASSERT_FALSE(s->Init("ch", "es1", Param("v7", extra), c.job, S_Mysql, false)) << s->getErr();
    Destroy(s);
    std::string log = WaitForLog(LogPath(c.file), "init ok", 1);
    EXPECT_EQ(1u, CountOf(log, "init ok")) << c.file;
  }
}

TEST_F(SinkTest, WrongVersionIsRefusedWithoutALogLine) {
  EXPECT_TRUE(sink_->Init("ch", "es1", Param("V8"), "7@h", S_Mysql, false));
  EXPECT_STREQ("es version: V8 is not support, please check", sink_->getErr());
  EXPECT_TRUE(ListDir(dir_).empty());
  EXPECT_TRUE(recwriter::Calls().empty());
}

TEST_F(SinkTest, WriterInitializeFailureIsReportedAndLogged) {
  recwriter::FailCall(1, "node down");
  EXPECT_TRUE(sink_->Init("ch", "es1", Param(), "7@h", S_Mysql, false));
  EXPECT_STREQ("initialize es writer failed node down", sink_->getErr());
  std::string log = WaitForLog(LogPath(), "[CRIT]", 1);
  EXPECT_NE(std::string::npos, log.find("] initialize es writer failed node down\n"));

  recwriter::Reset();
  recwriter::FailCall(1, nullptr);
  CDispatchEvent* s = Create();
  EXPECT_TRUE(s->Init("ch", "es1", Param(), "7@h", S_Mysql, false));
  EXPECT_STREQ("initialize es writer failed (the writer gave no error text)", s->getErr());
  Destroy(s);
}

TEST_F(SinkTest, EmptyBatchCommitsOnce) {
  InitOk();
  ParallelParseEvent pe(3);
  ASSERT_FALSE(pe.Init());
  Batch b;
  EXPECT_FALSE(Run(pe, b)) << sink_->getErr();
  EXPECT_EQ(0u, recwriter::Count("write_msg"));
  EXPECT_EQ(1u, recwriter::Count("need_commit"));
}

TEST_F(SinkTest, DdlAndGtidSetEventsSendNothing) {
  InitOk();
  ParallelParseEvent pe(2);
  ASSERT_FALSE(pe.Init());
  Batch b;
  b.Add(Ddl());
  b.Add(GtidSet());
  b.Add(Ddl(), 5);
  b.Add(GtidSet());
  b.Add(Ddl());
  EXPECT_FALSE(Run(pe, b));
  EXPECT_EQ(0u, recwriter::Count("write_msg"));
  EXPECT_EQ(1u, recwriter::Count("need_commit"));
  std::string log = WaitForLog(LogPath(), "ddl event not need sync to es", 3);
  EXPECT_EQ(3u, CountOf(log, "[WARN]"));
  EXPECT_EQ(3u, CountOf(log, ":writeEvent:"));
}

TEST_F(SinkTest, RowsAreChosenByTheirOptypeNotTheEventKind) {
  InitOk();
  std::vector<std::string> docs =
      RunDocs({Row(EventType::T_DELETE, {"optype", "doc"}, {{"'insert'", "'{\"a\":1}'"}}),
               Row(EventType::T_INSERT, {"optype", "doc"}, {{"'update'", "'{\"b\":2}'"}}),
               Row(EventType::T_INSERT, {"optype", "doc"}, {{"'delete'", "'{\"c\":3}'"}})});
  EXPECT_EQ((std::vector<std::string>{"{\"a\":1}"}), docs);
}

TEST_F(SinkTest, EveryDocColumnInColumnOrder) {
  InitOk();
  RunDocs({Row(EventType::T_INSERT, {"doc", "optype", "id", "doc"}, {{"'first'", "'insert'", "1", "'second'"}})});
  std::vector<recwriter::Call> writes;
  for (const auto& c : recwriter::Calls()) {
    if (c.fn == "write_msg") writes.push_back(c);
  }
  ASSERT_EQ(2u, writes.size());
  EXPECT_EQ("first", writes[0].doc);
  EXPECT_EQ("second", writes[1].doc);
  EXPECT_EQ(1, writes[0].typ);
  EXPECT_EQ(1, writes[1].typ);
}

TEST_F(SinkTest, OptypeMustBeExactlyQuotedInsert) {
  InitOk();
  std::vector<std::string> docs = RunDocs({
      Row(EventType::T_INSERT, {"id", "doc"}, {{"1", "'no optype'"}}),
      Row(EventType::T_INSERT, {"optype", "doc"}, {{"'INSERT'", "'capitals'"}}),
      Row(EventType::T_INSERT, {"optype", "doc"}, {{"insert", "'unquoted'"}}),
      Row(EventType::T_INSERT, {"OPTYPE", "doc"}, {{"'insert'", "'name in capitals'"}}),
      Row(EventType::T_INSERT, {"optype", "DOC"}, {{"'insert'", "'doc name in capitals'"}}),
      Row(EventType::T_INSERT, {"optype", "optype", "doc"}, {{"'insert'", "'delete'", "'last wins'"}}),
      Row(EventType::T_INSERT, {"optype", "optype", "doc"}, {{"'insert'", "'bogus'", "'unrecognised keeps'"}}),
  });
  EXPECT_EQ((std::vector<std::string>{"unrecognised keeps"}), docs);
}

TEST_F(SinkTest, WideRowsWithNamesSplitAcrossChunks) {
  // 70 columns: the row type and a document sit past the 64th name, another document before it; the
  // small chunks split names and values into several pieces.
  InitOk();
  std::vector<std::string> names;
  for (int i = 0; i < 70; ++i) names.push_back("c" + std::to_string(i));
  names[3] = "doc";
  names[66] = "optype";
  names[68] = "doc";
  auto row = [&](const std::string& type, const std::string& tag) {
    std::vector<std::string> r(70, "0");
    r[3] = "'{\"early\":\"" + tag + "\"}'";
    r[66] = type;
    r[68] = "'{\"late\":\"" + tag + "\"}'";
    return r;
  };
  for (size_t chunk : {size_t{0}, size_t{16}}) {
    recwriter::Reset();
    ParallelParseEvent pe(2);
    ASSERT_FALSE(pe.Init());
    Batch b;
    b.Add(Row(EventType::T_INSERT, names, {row("'insert'", "a"), row("'delete'", "b"), row("'insert'", "c")}), chunk);
    ASSERT_FALSE(Run(pe, b)) << sink_->getErr();
    EXPECT_EQ((std::vector<std::string>{"{\"early\":\"a\"}", "{\"late\":\"a\"}", "{\"early\":\"c\"}",
                                        "{\"late\":\"c\"}"}),
              recwriter::Docs())
        << "chunk " << chunk;
  }
}

TEST_F(SinkTest, DocLoosesExactlyItsFirstAndLastByte) {
  InitOk();
  RunDocs({Row(EventType::T_INSERT, {"optype", "doc"}, {{"'insert'", "'[1,2]'"}, {"'insert'", "''"}})});
  std::vector<recwriter::Call> writes;
  for (const auto& c : recwriter::Calls()) {
    if (c.fn == "write_msg") writes.push_back(c);
  }
  ASSERT_EQ(2u, writes.size());
  EXPECT_EQ("[1,2]", writes[0].doc);
  EXPECT_EQ(5, writes[0].len);
  EXPECT_EQ("", writes[1].doc);
  EXPECT_EQ(0, writes[1].len);
}

TEST_F(SinkTest, DocShorterThanTwoBytesIsSkippedWithAWarning) {
  InitOk();
  std::vector<std::string> docs = RunDocs(
      {Row(EventType::T_INSERT, {"optype", "doc"}, {{"'insert'", "'"}, {"'insert'", ""}, {"'insert'", "'ok'"}})});
  EXPECT_EQ((std::vector<std::string>{"ok"}), docs);
  std::string log = WaitForLog(LogPath(), "skip doc value shorter than two bytes", 2);
  EXPECT_EQ(2u, CountOf(log, "db: shop, table: orders"));
}

TEST_F(SinkTest, UpdateForwardsTheNewImagesOnly) {
  InitOk();
  Event e = Row(EventType::T_UPDATE, {"optype", "doc"}, {{"'insert'", "'new0'"}, {"'insert'", "'new1'"}});
  e.olds = {{"'insert'", "'old0'"}, {"'insert'", "'old1'"}};
  EXPECT_EQ((std::vector<std::string>{"new0", "new1"}), RunDocs({e}));
}

TEST_F(SinkTest, WriteFailureStopsTheBatchWithoutCommit) {
  InitOk();
  ParallelParseEvent pe(1);
  ASSERT_FALSE(pe.Init());
  Batch b;
  for (int i = 0; i < 5; ++i) {
    b.Add(Row(EventType::T_INSERT, {"optype", "doc"}, {{"'insert'", "'slot" + std::to_string(i) + "'"}}));
  }
  recwriter::FailCall(3, "boom");  // call 1 is initialize, 2 the first slot's document
  ASSERT_FALSE(pe.Parse(b.list));
  // Let the whole batch be decoded so the five slots form one run.
  ASSERT_TRUE(cdchost::WaitReady(pe, 5, 1000, 60000));
  EXPECT_TRUE(sink_->Execute("ch", "es1", &pe));
  EXPECT_STREQ("write msg failed: boom", sink_->getErr());
  EXPECT_EQ((std::vector<std::string>{"slot0", "slot1"}), recwriter::Docs());
  EXPECT_EQ(0u, recwriter::Count("need_commit"));
  EXPECT_EQ(0, static_cast<CEventEs*>(sink_)->sql_buf_len_);
  std::string log = WaitForLog(LogPath(), "[CRIT]", 1);
  EXPECT_NE(std::string::npos, log.find(":writeMsg:"));

  // The failure's message survives later successful calls.
  EXPECT_FALSE(Run(pe, b)) << sink_->getErr();
  EXPECT_STREQ("write msg failed: boom", sink_->getErr());
  sink_->Close("ch", "es1");
  EXPECT_STREQ("write msg failed: boom", sink_->getErr());
}

TEST_F(SinkTest, CommitFailureAndMissingTexts) {
  InitOk();
  ParallelParseEvent pe(2);
  ASSERT_FALSE(pe.Init());
  Batch b;
  b.Add(Row(EventType::T_INSERT, {"optype", "doc"}, {{"'insert'", "'x'"}}));
  recwriter::FailEveryCommit("not acknowledged");
  EXPECT_TRUE(Run(pe, b));
  EXPECT_STREQ("commit msg failed: not acknowledged", sink_->getErr());
  recwriter::FailEveryCommit(nullptr);
  EXPECT_TRUE(Run(pe, b));
  EXPECT_STREQ("commit msg failed: (the writer gave no error text)", sink_->getErr());
  recwriter::Reset();
  recwriter::FailCall(1, nullptr);
  EXPECT_TRUE(Run(pe, b));
  EXPECT_STREQ("write msg failed: (the writer gave no error text)", sink_->getErr());
  std::string log = WaitForLog(LogPath(), "[CRIT]", 3);
  EXPECT_EQ(2u, CountOf(log, ":commitMsg:"));
}

TEST_F(SinkTest, ExecuteWithoutAUsableDecoderIsRefused) {
  InitOk();
  EXPECT_TRUE(sink_->Execute("ch", "es1", nullptr));
  EXPECT_STRNE("", sink_->getErr());
  ParallelParseEvent never_initialised(2);
  EXPECT_TRUE(sink_->Execute("ch", "es1", &never_initialised));
  EXPECT_TRUE(recwriter::Calls().size() == 1);

  // A decoder whose workers the host stopped never decodes the rest of its batch: Execute fails with
  // a text instead of waiting for ever, and does not commit.
  ParallelParseEvent stopped(2);
  ASSERT_FALSE(stopped.Init());
  Batch b;
  for (int i = 0; i < 2000; ++i) b.Add(Row(EventType::T_INSERT, {"optype", "doc"}, {{"'insert'", "'{}'"}}));
  ASSERT_FALSE(stopped.Parse(b.list));
  stopped.StopParse();
  EXPECT_TRUE(sink_->Execute("ch", "es1", &stopped));
  EXPECT_NE(nullptr, strstr(sink_->getErr(), "will never be decoded: the decoder's worker")) << sink_->getErr();
  EXPECT_EQ(0u, recwriter::Count("need_commit"));
}

TEST_F(SinkTest, DocumentsReachTheWriterInBatchOrder) {
  // Thousands of blocks over several batches, 1 to 4 workers, random chunkings and row shapes; every
  // batch is run twice and sends everything twice.
  InitOk();
  std::mt19937_64 rng(42);
  for (int workers = 1; workers <= 4; ++workers) {
    ParallelParseEvent pe(workers);
    ASSERT_FALSE(pe.Init());
    for (int batch = 0; batch < 4; ++batch) {
      Batch b;
      std::vector<std::string> want;
      size_t n = 100 + rng() % 400;
      for (size_t i = 0; i < n; ++i) {
        int kind = static_cast<int>(rng() % 10);
        if (kind == 0) {
          b.Add(Ddl(), rng() % 40);
          continue;
        }
        if (kind == 1) {
          b.Add(GtidSet());
          continue;
        }
        std::vector<std::vector<std::string>> rows;
        size_t r = rng() % 3;
        for (size_t k = 0; k < r; ++k) {
          bool send = rng() % 4 != 0;
          std::string doc = "{\"w\":" + std::to_string(workers) + ",\"b\":" + std::to_string(batch) +
                            ",\"i\":" + std::to_string(i) + ",\"r\":" + std::to_string(k) + "}";
          rows.push_back({send ? "'insert'" : "'delete'", "'" + doc + "'", std::to_string(k)});
          if (send) want.push_back(doc);
        }
        b.Add(Row(EventType::T_INSERT, {"optype", "doc", "id"}, rows), rng() % 64);
      }
      for (int pass = 0; pass < 2; ++pass) {
        recwriter::Reset();
        ASSERT_FALSE(Run(pe, b)) << sink_->getErr();
        ASSERT_EQ(want, recwriter::Docs()) << "workers " << workers << " batch " << batch << " pass " << pass;
        ASSERT_EQ(1u, recwriter::Count("need_commit"));
      }
    }
  }
}

TEST_F(SinkTest, LongReadyRunsOfEveryShapeForwardExactlyTheirDocuments) {
  // Whole batches decoded before Execute looks at them: every slot is ready, so each batch is one long
  // run, which the sink reads ahead of itself. Every shape the read-ahead must walk safely comes up:
  // events without rows, DDL and GTID sets, rows wider than what is read ahead with the document
  // before and past that point, names and values split over chunks, empty and long documents, and
  // several rows per event.
  InitOk();
  std::mt19937_64 rng(7);
  ParallelParseEvent pe(2);
  ASSERT_FALSE(pe.Init());
  for (int batch = 0; batch < 3; ++batch) {
    Batch b;
    std::vector<std::string> want;
    for (size_t i = 0; i < 1200; ++i) {
      const int kind = static_cast<int>(rng() % 12);
      if (kind == 0) {
        b.Add(Ddl(), rng() % 2 ? 0 : 24);
        continue;
      }
      if (kind == 1) {
        b.Add(GtidSet());
        continue;
      }
      const size_t width = kind == 2 ? 20 : 2 + rng() % 4;
      std::vector<std::string> names;
      for (size_t c = 0; c < width; ++c) names.push_back("c" + std::to_string(c));
      const size_t doc_col = kind == 2 ? 12 : rng() % width;
      const size_t type_col = (doc_col + 1 + rng() % (width - 1)) % width;
      names[doc_col] = "doc";
      names[type_col] = "optype";
      std::vector<std::vector<std::string>> rows;
      const size_t nrows = kind == 3 ? 0 : 1 + rng() % 3;
      for (size_t r = 0; r < nrows; ++r) {
        std::vector<std::string> row(width, "''");
        const bool send = rng() % 4 != 0;
        const size_t pad = rng() % 8 == 0 ? 3000 : rng() % 64;
        std::string doc = "{\"b\":" + std::to_string(batch) + ",\"i\":" + std::to_string(i) + ",\"r\":" +
                          std::to_string(r) + ",\"p\":\"" + std::string(pad, 'x') + "\"}";
        row[doc_col] = "'" + doc + "'";
        row[type_col] = send ? "'insert'" : "'update'";
        rows.push_back(row);
        if (send) want.push_back(doc);
      }
      const EventType type = kind == 4 ? EventType::T_UPDATE : kind == 5 ? EventType::T_DELETE : EventType::T_INSERT;
      b.Add(Row(type, names, rows), rng() % 3 == 0 ? 16 : 0);
    }
    recwriter::Reset();
    ASSERT_FALSE(pe.Parse(b.list)) << pe.getErr();
    ASSERT_TRUE(cdchost::WaitAllReady(pe, 1000, 20000));
    ASSERT_FALSE(sink_->Execute("ch", "es1", &pe)) << sink_->getErr();
    ASSERT_EQ(want, recwriter::Docs()) << "batch " << batch;
    ASSERT_EQ(1u, recwriter::Count("need_commit"));
  }
}

TEST(SinkLoadedLikeTheHost, DlopenCreateInitExecuteDestroy) {
  recwriter::Reset();
  std::string lib = std::string(EVENT_ES_BINARY_DIR) + "/libevent_es.so";
  void* h = dlopen(lib.c_str(), RTLD_NOW);
  ASSERT_NE(nullptr, h) << dlerror();
  auto create = reinterpret_cast<CDispatchEvent* (*)()>(dlsym(h, "Create"));
  auto destroy = reinterpret_cast<void (*)(CDispatchEvent*)>(dlsym(h, "Destroy"));
  ASSERT_TRUE(create && destroy);
  std::string dir = TempDir();
  CDispatchEvent* s = create();
  std::string param = R"({"log_path":")" + dir + R"(","es_url":"u","es_version":"v8","es_index":"i"})";
  ASSERT_FALSE(s->Init("ch", "udf", param, "3@h", S_Maria, true)) << s->getErr();
  ParallelParseEvent pe(2);
  ASSERT_FALSE(pe.Init());
  Batch b;
  b.Add(Row(EventType::T_INSERT, {"optype", "doc"}, {{"'insert'", "'{}'"}}));
  ASSERT_FALSE(pe.Parse(b.list));
  EXPECT_FALSE(s->Execute("ch", "udf", &pe)) << s->getErr();
  s->Close("ch", "udf");
  destroy(s);
  dlclose(h);
  EXPECT_EQ((std::vector<std::string>{"{}"}), recwriter::Docs());
  EXPECT_EQ(1, recwriter::Calls()[0].is_v8);
}
