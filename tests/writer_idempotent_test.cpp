// Idempotent delivery against the local endpoint, for es 7 and es 8: document ids from a JSON Pointer
// or a hash of the document, create-only writes whose re-sends count as delivered, malformed ids
// refused or set aside, the ingest pipeline, and the tunables' refusals.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "es_endpoint_fixture.h"
#include "test_support.h"
#include "writer_calls.h"

using testing_es::Endpoint;
using namespace writercalls;

namespace {

class Idempotent : public testing::TestWithParam<const char*> {
 protected:
  Idempotent() : es_({"--version", GetParam()}), dir_(testsupport::TempDir("idempotent")) {}
  // es_version flag for the endpoint's version.
  int v8() const { return GetParam()[0] == '8' ? 1 : 0; }

  Endpoint es_;
  std::string dir_;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(EsVersions, Idempotent, testing::Values("7.17.9", "8.12.1"));

TEST_P(Idempotent, IdsFromAJsonPointer) {
  struct Case {
    std::string pointer;
    std::string doc;
    std::string id;
  } cases[] = {
      {"/id", R"({"id":"a1","n":1})", "a1"},
      {"/id", R"({"n":{"id":"not this"},"id":42})", "42"},
      {"/id", R"({"id":-7})", "-7"},
      {"/id", R"({"id":"q\"u\\o \u00e9 \u20ac"})", "q\"u\\o \xc3\xa9 \xe2\x82\xac"},
      {"/order/key", R"({"order":{"n":[1,{"key":"no"}],"key":"k9"}})", "k9"},
      {"/a~1b/c~0d", R"({"a/b":{"c~d":"esc"}})", "esc"},
      {"/list/1", R"({"list":["zero","one"]})", "one"},
      // Containers off the path, however deep, are read through.
      {"/id", "{\"deep\":" + std::string(900, '[') + std::string(900, ']') + ",\"id\":\"after\"}", "after"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pointer + " in " + c.doc);
    Status s = Init(es_.url() + "?doc_id=" + c.pointer, v8(), "idx", 10, dir_);
    ASSERT_EQ(0, s.r0) << s.text;
    ASSERT_EQ(0, Write(c.doc).r0);
    ASSERT_EQ(0, Commit().r0);
    const std::vector<std::string> ids = es_.Ids("idx");
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(c.id, ids.back());
    EXPECT_EQ(c.doc, es_.Raw("idx").back());
  }
}

TEST_P(Idempotent, HashIdsFollowTheBytes) {
  ASSERT_EQ(0, Init(es_.url() + "?doc_id=hash", v8(), "idx", 10, dir_).r0);
  const std::string a = R"({"n":1,"s":"same"})";
  const std::string b = R"({"n":2,"s":"same"})";  // one byte changed
  for (const std::string& d : {a, a, b}) ASSERT_EQ(0, Write(d).r0);
  ASSERT_EQ(0, Commit().r0);
  const std::vector<std::string> ids = es_.Ids("idx");
  ASSERT_EQ(2u, ids.size()) << "the same bytes give the same id";
  EXPECT_NE(ids[0], ids[1]);
  for (const std::string& id : ids) {
    EXPECT_EQ(32u, id.size());
    EXPECT_EQ(std::string::npos, id.find_first_not_of("0123456789abcdef")) << id;
  }
  // The second copy replaced the first: the commit summary says so.
  const std::string log = testsupport::WaitForText(dir_, "1 replaced");
  EXPECT_NE(std::string::npos, log.find("commit: 3 documents in 1 bulks, 0 retries, 1 replaced")) << log;
}

TEST_P(Idempotent, DocumentsWithoutAUsableIdAreRefusedOrSetAside) {
  struct Case {
    std::string doc;
    const char* why;
  } cases[] = {
      {R"({"n":1})", "member /id is missing"},
      {R"({"id":null})", "member /id is null"},
      {R"({"id":1.5})", "member /id is a float"},
      {R"({"id":1e3})", "member /id is a float"},
      {R"({"id":{"a":1}})", "member /id is an object"},
      {R"({"id":[1]})", "member /id is an array"},
      {R"({"id":true})", "member /id is a boolean"},
      {R"({"id":""})", "member /id is an empty string"},
      {"{\"id\":\"" + std::string(513, 'x') + "\"}", "member /id is longer than 512 bytes"},
      {R"({"n": oops, "id":"late"})", "member /id is missing (the document is not valid JSON before it)"},
      {"{\"id\":\"a\xff" "b\"}", "member /id is not valid UTF-8"},
      {"{\"n\":" + std::string(1 << 20, '[') + "]}", "member /id is not found before the document nests deeper than 1000"},
  };
  const int n_cases = static_cast<int>(sizeof(cases) / sizeof(cases[0]));
  ASSERT_EQ(0, Init(es_.url() + "?doc_id=/id", v8(), "idx", 10, dir_).r0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.doc);
    ASSERT_EQ(0, Write(R"({"id":"fine"})").r0);
    Status w = Write(c.doc);
    EXPECT_EQ(1, w.r0);
    EXPECT_NE(std::string::npos, w.text.find("document 2 of this commit has no _id for doc_id=/id: " + std::string(c.why)))
        << w.text;
    EXPECT_EQ(0, Commit().r0);
  }
  EXPECT_EQ(0, es_.Count("idx")) << "nothing of a refused period is sent";

  ASSERT_EQ(0, Init(es_.url() + "?doc_id=/id&on_malformed=deadletter", v8(), "idx", 10, dir_).r0);
  int n = 0;
  for (const Case& c : cases) {
    ASSERT_EQ(0, Write(c.doc).r0) << c.doc;
    ASSERT_EQ(0, Write("{\"id\":" + std::to_string(n++) + "}").r0);
  }
  ASSERT_EQ(0, Commit().r0);
  EXPECT_EQ(n_cases, es_.Count("idx"));
  const std::string summary = std::to_string(n_cases) + " dead-lettered";
  const std::string files = testsupport::WaitForText(dir_, summary);
  EXPECT_NE(std::string::npos, files.find(summary)) << files.substr(0, 2000);
  for (const Case& c : cases) EXPECT_NE(std::string::npos, files.find(c.why)) << c.why;
}

TEST_P(Idempotent, CreateWithAResentCommitStoresEachDocumentOnce) {
  ASSERT_EQ(0, Init(es_.url() + "?doc_id=/id&op_type=create", v8(), "idx", 10, dir_).r0);
  for (int round = 0; round < 2; ++round) {  // the host's re-send of the same batch
    for (int i = 0; i < 25; ++i) ASSERT_EQ(0, Write(Doc(i)).r0);
    Status c = Commit();
    ASSERT_EQ(0, c.r0) << c.text;
  }
  EXPECT_EQ(25, es_.Count("idx"));
  const std::vector<std::string> ids = es_.Ids("idx");
  EXPECT_EQ(25u, std::set<std::string>(ids.begin(), ids.end()).size());
  const std::string log = testsupport::WaitForText(dir_, "25 already present");
  EXPECT_NE(std::string::npos, log.find("0 replaced, 25 already present")) << log;
  EXPECT_GE(es_.Stat("conflicts"), 25);
}

TEST_P(Idempotent, PipelineReachesTheRequest) {
  // A pipeline that does not exist refuses the start, before any document.
  Status s = Init(es_.url() + "?pipeline=enrich%20orders%2Fv2", v8(), "idx", 10, dir_);
  EXPECT_EQ(1, s.r0);
  EXPECT_NE(std::string::npos, s.text.find("ingest pipeline enrich orders/v2 does not exist")) << s.text;
  testing_es::HttpPost(es_.url() + "/_ingest/pipeline/enrich%20orders%2Fv2", "{\"processors\":[]}");
  ASSERT_EQ(0, Init(es_.url() + "?pipeline=enrich%20orders%2Fv2", v8(), "idx", 10, dir_).r0);
  ASSERT_EQ(0, Write(Doc(1)).r0);
  ASSERT_EQ(0, Commit().r0);
  EXPECT_EQ(std::vector<std::string>{"enrich orders/v2"}, es_.Pipelines());
}

TEST(IdempotentTunables, BadValuesRefuseInitialize) {
  const std::string dir = testsupport::TempDir("idempotent");
  struct Case {
    const char* options;
    const char* text;
  } cases[] = {
      {"?doc_id=id", "es_url option doc_id=id must be none, hash or a JSON Pointer such as /id"},
      {"?doc_id=", "es_url option doc_id= must be none"},
      {"?doc_id=/a~2b", "doc_id=/a~2b must be none, hash or a JSON Pointer such as /id (a '~' must be followed by 0 or 1)"},
      {"?doc_id=/a~", "(a '~' must be followed by 0 or 1)"},
      {"?op_type=upsert", "es_url option op_type=upsert must be index or create"},
      {"?pipeline=", "es_url option pipeline= must name an ingest pipeline"},
  };
  for (const Case& c : cases) {
    Status s = Init(std::string("http://127.0.0.1:1") + c.options, 1, "idx", 10, dir);
    EXPECT_EQ(1, s.r0) << c.options;
    EXPECT_NE(std::string::npos, s.text.find(c.text)) << c.options << " -> " << s.text;
  }
}
