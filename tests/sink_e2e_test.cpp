// The whole path: host-style driving of the plug-in with the real writer library into the local test
// endpoint.
#include <gtest/gtest.h>

#include <unistd.h>

#include <list>
#include <set>
#include <string>
#include <vector>

#include "block_encoder.h"
#include "block_util.h"
#include "es_endpoint_fixture.h"
#include "plugin/event_es/event_es.h"

using namespace ostrel;
using cdchost::Block;
using cdchost::Event;

TEST(SinkEndToEnd, InsertRowsArriveAndDdlAndGtidSetsAreSkipped) {
  testing_es::Endpoint es({"--version", "7.17.9"});
  ASSERT_TRUE(es.ok());
  char tmpl[] = "/tmp/sink_e2e_XXXXXX";
  std::string dir = mkdtemp(tmpl);
  CDispatchEvent* sink = Create();
  std::string param = R"({"log_path":")" + dir + R"(","es_url":")" + es.url() +
                      R"(","es_version":"v7","es_index":"orders","es_bulknum":"200"})";
  ASSERT_FALSE(sink->Init("ch", "e2e", param, "1@h", S_Mysql, false)) << sink->getErr();
  ParallelParseEvent pe(2);
  ASSERT_FALSE(pe.Init());

  std::set<std::string> want;
  int id = 0;
  for (int batch = 0; batch < 6; ++batch) {
    std::vector<Block> blocks;
    for (int i = 0; i < 600; ++i) {
      Event e;
      if (i % 50 == 7) {
        e.type = EventType::T_ALTER_TABLE;
        e.sql = "ALTER TABLE orders ADD note TEXT";
      } else if (i % 50 == 8) {
        e.type = EventType::T_GTIDSET;
        e.gtid = "uuid:1-" + std::to_string(i);
      } else {
        e.type = EventType::T_INSERT;
        e.db = "shop";
        e.tb = "orders";
        e.col_names = {"id", "optype", "doc"};
        e.col_states = {3, 253, 245};
        std::string doc = "{\"order\":" + std::to_string(id) + ",\"item\":\"widget\"}";
        e.rows = {{std::to_string(id), i % 10 == 3 ? "'update'" : "'insert'", "'" + doc + "'"}};
        if (i % 10 != 3) want.insert(doc);
        ++id;
      }
      blocks.push_back(cdchost::EncodeEvent(e, 48));
    }
    std::list<char*> list;
    for (Block& b : blocks) list.push_back(b.first_mut());
    ASSERT_FALSE(pe.Parse(list));
    ASSERT_FALSE(sink->Execute("ch", "e2e", &pe)) << sink->getErr();
  }
  sink->Close("ch", "e2e");
  Destroy(sink);

  std::vector<std::string> got = es.Raw("orders");
  EXPECT_EQ(want.size(), got.size());
  EXPECT_EQ(want, std::set<std::string>(got.begin(), got.end()));
}
