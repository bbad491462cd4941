// Plug-in boundary: the parameter text, the entry points and the sink's life before Init succeeds.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <random>
#include <string>

#include "plugin/event_es/event_es.h"

using ostrel::CDispatchEvent;
using ostrel::ESConf;

TEST(ESConf, DefaultsForOptionalKeys) {
  ESConf c;
  ASSERT_FALSE(c.parse(R"({"es_url":"u","es_version":"v7","es_index":"i"})")) << c.getErr();
  EXPECT_EQ("../log", c.log_path_);
  EXPECT_EQ("", c.log_name_);
  EXPECT_EQ(500, c.log_size_);
  EXPECT_EQ("u", c.es_url_);
  EXPECT_EQ("v7", c.es_version_);
  EXPECT_EQ("i", c.es_index_);
  EXPECT_EQ(500, c.es_bulknum_);
  EXPECT_STREQ("", c.getErr());
}

TEST(ESConf, EveryKeyRead) {
  ESConf c;
  ASSERT_FALSE(c.parse(R"({"log_path":"/tmp/l","log_name":"n","log_size":"64MB","es_url":"http://h:9200",)"
                       R"("es_version":"V7","es_index":"idx","es_bulknum":"-1","other":1})"));
  EXPECT_EQ("/tmp/l", c.log_path_);
  EXPECT_EQ("n", c.log_name_);
  EXPECT_EQ(64, c.log_size_);
  EXPECT_EQ("http://h:9200", c.es_url_);
  EXPECT_EQ("V7", c.es_version_);  // the version is checked by Init, not here
  EXPECT_EQ("idx", c.es_index_);
  EXPECT_EQ(-1, c.es_bulknum_);
}

TEST(ESConf, NumbersFollowAtoi) {
  struct Case {
    const char* text;
    int want;
  } cases[] = {{"", 0}, {"  42x", 42}, {"+7", 7}, {"abc", 0}, {"-0", 0}};
  for (const Case& k : cases) {
    ESConf c;
    std::string p = std::string(R"({"es_url":"u","es_version":"v7","es_index":"i","log_size":")") + k.text + "\"}";
    ASSERT_FALSE(c.parse(p)) << c.getErr();
    EXPECT_EQ(k.want, c.log_size_) << k.text;
  }
}

TEST(ESConf, FirstOccurrenceOfARepeatedKeyCounts) {
  ESConf c;
  ASSERT_FALSE(c.parse(R"({"es_url":"first","es_url":"second","es_version":"v8","es_index":"i"})"));
  EXPECT_EQ("first", c.es_url_);
}

TEST(ESConf, MissingKeysReportTheFirstProblemOnly) {
  struct Case {
    const char* param;
    const char* message;
  } cases[] = {
      {R"({"es_version":"v7","es_index":"i"})", "miss es_url in the plugin param"},
      {R"({"es_index":"i"})", "miss es_url in the plugin param"},
      {R"({"ES_URL":"u","es_version":"v7","es_index":"i"})", "miss es_url in the plugin param"},
      {R"({"es_url":"u","es_index":"i"})", "miss es_version in the plugin param"},
      {R"({"es_url":"u","es_version":"v7"})", "miss es_index in the plugin param"},
  };
  for (const Case& k : cases) {
    ESConf c;
    EXPECT_TRUE(c.parse(k.param)) << k.param;
    EXPECT_STREQ(k.message, c.getErr()) << k.param;
  }
}

TEST(ESConf, FieldsReadBeforeAMissingKeyStaySet) {
  ESConf c;
  ASSERT_TRUE(c.parse(R"({"log_path":"p","es_url":"u","es_index":"i"})"));
  EXPECT_EQ("p", c.log_path_);
  EXPECT_EQ("u", c.es_url_);
  EXPECT_EQ("", c.es_index_);
}

TEST(ESConf, ParseErrorsNameTheTextAndTheCode) {
  struct Case {
    std::string param;
    std::string message;
  } cases[] = {
      {"", "parse param  failed: 1"},
      {R"({"es_url":"u"} x)", R"(parse param {"es_url":"u"} x failed: 2)"},
      {R"({"es_url":)", R"(parse param {"es_url": failed: 3)"},
  };
  for (const Case& k : cases) {
    ESConf c;
    EXPECT_TRUE(c.parse(k.param));
    EXPECT_EQ(k.message, c.getErr());
  }
}

TEST(ESConf, ParseErrorMasksUrlPasswords) {
  ESConf c;
  ASSERT_TRUE(c.parse(R"({"es_url":"https://elastic:s3cret@h:9243/p", )"));
  std::string msg = c.getErr();
  EXPECT_EQ(std::string::npos, msg.find("s3cret")) << msg;
  EXPECT_NE(std::string::npos, msg.find("https://elastic:***@h:9243/p")) << msg;
}

TEST(ESConf, WrongShapesAreRefusedWithAMessage) {
  const char* params[] = {
      "[1,2]", "\"text\"", "42", "null",
      R"({"es_url":"u","es_version":"v7","es_index":"i","log_size":500})",
      R"({"es_url":1,"es_version":"v7","es_index":"i"})",
      R"({"es_url":"u","es_version":["v7"],"es_index":"i"})",
      R"({"es_url":"u","es_version":"v7","es_index":{"a":1}})",
      R"({"log_path":null,"es_url":"u","es_version":"v7","es_index":"i"})",
      R"({"es_url":"u","es_version":"v7","es_index":"i","es_bulknum":true})",
  };
  for (const char* p : params) {
    ESConf c;
    EXPECT_TRUE(c.parse(p)) << p;
    EXPECT_STRNE("", c.getErr()) << p;
  }
}

TEST(ESConf, GarbageNeverCrashes) {
  std::mt19937 rng(3);
  std::string junk(1 << 20, '\0');
  for (char& ch : junk) ch = static_cast<char>(rng());
  ESConf c;
  EXPECT_TRUE(c.parse(junk));
  EXPECT_LE(strlen(c.getErr()), 4094u);
  std::string deep(100000, '[');
  EXPECT_TRUE(c.parse(deep));
}

TEST(PluginEntry, CreateAndDestroy) {
  CDispatchEvent* p = Create();
  ASSERT_NE(nullptr, p);
  EXPECT_NE(nullptr, dynamic_cast<ostrel::CEventEs*>(p));
  EXPECT_STREQ("", p->getErr());
  Destroy(p);
  Destroy(nullptr);
}

TEST(PluginEntry, CloseAndAddSkipGtidLeaveTheMessage) {
  CDispatchEvent* p = Create();
  p->Close("ch", "udf");
  p->AddSkipGtid("gtid");
  EXPECT_STREQ("", p->getErr());
  EXPECT_TRUE(p->Init("ch", "udf", "{}", "1@x", ostrel::S_Mysql, false));
  EXPECT_STREQ("miss es_url in the plugin param", p->getErr());
  p->Close("ch", "udf");
  p->AddSkipGtid("gtid");
  EXPECT_STREQ("miss es_url in the plugin param", p->getErr());
  Destroy(p);
}

TEST(PluginEntry, InitRefusesVersionsOtherThanV7AndV8) {
  for (const char* v : {"V8", "v9", "", "v7 "}) {
    CDispatchEvent* p = Create();
    std::string param = std::string(R"({"es_url":"u","es_index":"i","es_version":")") + v + "\"}";
    EXPECT_TRUE(p->Init("ch", "udf", param, "1@x", ostrel::S_Mysql, false));
    EXPECT_EQ(std::string("es version: ") + v + " is not support, please check", p->getErr());
    Destroy(p);
  }
}

TEST(PluginEntry, ExecuteBeforeInitIsRefused) {
  CDispatchEvent* p = Create();
  EXPECT_TRUE(p->Execute("ch", "udf", nullptr));
  EXPECT_STRNE("", p->getErr());
  Destroy(p);
}

TEST(PluginEntry, EntryPointsAreFoundByName) {
  std::string lib = std::string(EVENT_ES_BINARY_DIR) + "/libevent_es.so";
  void* h = dlopen(lib.c_str(), RTLD_NOW);
  ASSERT_NE(nullptr, h) << dlerror();
  auto create = reinterpret_cast<CDispatchEvent* (*)()>(dlsym(h, "Create"));
  auto destroy = reinterpret_cast<void (*)(CDispatchEvent*)>(dlsym(h, "Destroy"));
  ASSERT_NE(nullptr, create);
  ASSERT_NE(nullptr, destroy);
  // The plain names are the functions the library defines, not a look-alike.
  EXPECT_EQ(reinterpret_cast<void*>(&Create), reinterpret_cast<void*>(create));
  EXPECT_EQ(reinterpret_cast<void*>(&Destroy), reinterpret_cast<void*>(destroy));
  CDispatchEvent* p = create();
  ASSERT_NE(nullptr, p);
  EXPECT_NE(nullptr, dynamic_cast<ostrel::CEventEs*>(p));
  EXPECT_TRUE(p->Execute("c", "u", nullptr));  // a working sink that refuses a call before Init
  EXPECT_STRNE("", p->getErr());
  p->Close("c", "u");
  destroy(p);
  dlclose(h);
}
