// The writer's metrics against the local endpoint: what the series say after successes, 429s, 503s,
// dropped connections, dead letters and a failed commit, checked against what the endpoint recorded;
// the text checked by promtool; the scrape endpoint and the metrics file while documents go out;
// and the settings that refuse initialize.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "es_endpoint_fixture.h"
#include "metrics.h"
#include "test_support.h"
#include "writer_calls.h"

using testing_es::Endpoint;
using namespace writercalls;

namespace {

// Samples of an exposition text by series name with labels, e.g. es_writer_retries_total{reason="x"}.
std::map<std::string, double> Samples(const std::string& text) {
  std::map<std::string, double> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    out[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return out;
}

// promtool's verdict on an exposition text: empty when it passes.
std::string PromtoolProblems(const std::string& text) {
  const std::string path = testsupport::TempDir("promtool") + "/metrics.prom";
  FILE* f = fopen(path.c_str(), "w");
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  const std::string cmd = "promtool check metrics < " + path + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "promtool does not run";
  std::string said;
  char buf[512];
  while (fgets(buf, sizeof(buf), p) != nullptr) said += buf;
  const int rc = pclose(p);
  return rc == 0 ? "" : "promtool exit " + std::to_string(rc) + ": " + said;
}

std::string MetricsUrl() { return es_writer_metrics_url(); }

std::string Scrape(const std::string& url) {
  testing_es::HttpResult r = testing_es::HttpGet(url);
  EXPECT_EQ(200, r.status) << url;
  return r.body;
}

void WriteDocs(int from, int n) {
  for (int i = from; i < from + n; ++i) ASSERT_EQ(0, Write(Doc(i)).r0);
}

class Metrics : public testing::Test {
 protected:
  Metrics() : dir_(testsupport::TempDir("metrics")) {}
  std::string Url(const std::string& extra = "") const {
    return es_.url() + "?metrics_listen=127.0.0.1:0&backoff_ms=1&backoff_max_ms=5" + extra;
  }

  Endpoint es_;
  std::string dir_;
};

}  // namespace

TEST_F(Metrics, SeriesAgreeWithWhatTheEndpointRecorded) {
  Status s = Init(Url("&on_malformed=deadletter"), 1, "idx", 10, dir_);
  ASSERT_EQ(0, s.r0) << s.text;
  const std::string url = MetricsUrl();
  ASSERT_EQ(0u, url.find("http://127.0.0.1:")) << url;
  const auto before = Samples(Scrape(url));

  int next = 0;
  auto batch = [&](const std::string& fault, int n, bool ok) {
    if (!fault.empty()) es_.Fault(fault);
    WriteDocs(next, n);
    next += n;
    Status c = Commit();
    EXPECT_EQ(ok ? 0 : 1, c.r0) << fault << ": " << c.text;
  };
  batch("", 30, true);
  batch(R"({"fail_next":1,"fail_status":429})", 10, true);
  batch(R"({"fail_next":1,"fail_status":503})", 10, true);
  // libcurl sends a request again by itself once when a reused connection closes without an answer;
  // the second drop, on a fresh connection, is the writer's.
  batch(R"({"drop_next":2})", 10, true);
  batch(R"({"reject_items":3})", 10, true);
  // Two dead letters: an empty document at write, a non-object refused by the engine.
  ASSERT_EQ(0, Write("  ").r0);
  ASSERT_EQ(0, Write("[1,2]").r0);
  batch("", 8, true);
  // A failed commit: the engine refuses the request for good.
  batch(R"({"fail_next":1,"fail_status":400})", 10, false);

  const std::string text = Scrape(url);
  EXPECT_EQ("", PromtoolProblems(text)) << text;
  auto m = Samples(text);
  auto delta = [&](const std::string& k) { return m[k] - before.at(k); };
  const std::string node = "node=\"" + es_.url() + "\",code=";
  auto requests = [&](const std::string& code) {
    const std::string k = "es_writer_bulk_requests_total{" + node + "\"" + code + "\"}";
    return m.count(k) != 0 ? m[k] - (before.count(k) != 0 ? before.at(k) : 0) : 0.0;
  };

  EXPECT_EQ(es_.Count("idx"), delta("es_writer_documents_total{result=\"created\"}"));
  EXPECT_EQ(78, es_.Count("idx"));
  EXPECT_EQ(2, delta("es_writer_documents_total{result=\"dead_lettered\"}"));
  EXPECT_EQ(10, delta("es_writer_documents_total{result=\"failed\"}"));
  EXPECT_EQ(0, delta("es_writer_documents_total{result=\"updated\"}"));
  EXPECT_EQ(90, delta("es_writer_documents_accepted_total"));
  EXPECT_EQ(0, m["es_writer_pending_documents"]);
  EXPECT_EQ(0, m["es_writer_inflight_bulks"]);

  EXPECT_EQ(es_.Stat("bulk_status_200"), requests("200"));
  EXPECT_EQ(1, es_.Stat("bulk_status_429"));
  EXPECT_EQ(es_.Stat("bulk_status_429"), requests("429"));
  EXPECT_EQ(es_.Stat("bulk_status_503"), requests("503"));
  EXPECT_EQ(es_.Stat("bulk_status_400"), requests("400"));
  EXPECT_EQ(2, es_.Stat("bulk_dropped"));
  EXPECT_EQ(1, requests("error"));
  EXPECT_EQ(es_.Stat("bulk_requests") - 1, delta("es_writer_bulk_request_duration_seconds_count"));

  EXPECT_EQ(1, delta("es_writer_retries_total{reason=\"status_429\"}"));
  EXPECT_EQ(1, delta("es_writer_retries_total{reason=\"status_5xx\"}"));
  EXPECT_EQ(1, delta("es_writer_retries_total{reason=\"connection\"}"));
  EXPECT_EQ(1, delta("es_writer_retries_total{reason=\"items_429\"}"));
  EXPECT_EQ(0, delta("es_writer_retries_total{reason=\"timeout\"}"));

  EXPECT_EQ(6, delta("es_writer_commits_total{result=\"ok\"}"));
  EXPECT_EQ(1, delta("es_writer_commits_total{result=\"failed\"}"));
  EXPECT_EQ(7, delta("es_writer_commit_duration_seconds_count"));
  EXPECT_NEAR(static_cast<double>(time(nullptr)), m["es_writer_last_commit_success_timestamp_seconds"], 30);
  EXPECT_GT(delta("es_writer_bulk_bytes_total{stage=\"body\"}"), 90 * 10);
  EXPECT_EQ(delta("es_writer_bulk_bytes_total{stage=\"body\"}"), delta("es_writer_bulk_bytes_total{stage=\"sent\"}"));
  EXPECT_EQ(1, m["es_writer_node_up{node=\"" + es_.url() + "\"}"]);
  EXPECT_EQ(1, m["es_writer_info{version=\"" EVENT_ES_VERSION "\",es_major=\"8\",index=\"idx\"}"]) << text;
}

TEST_F(Metrics, GzipCountsTheBytesAsSent) {
  ASSERT_EQ(0, Init(Url("&gzip=1"), 1, "idx", 100, dir_).r0);
  const auto before = Samples(Scrape(MetricsUrl()));
  WriteDocs(0, 100);
  ASSERT_EQ(0, Commit().r0);
  auto m = Samples(Scrape(MetricsUrl()));
  const double body = m["es_writer_bulk_bytes_total{stage=\"body\"}"] - before.at("es_writer_bulk_bytes_total{stage=\"body\"}");
  const double sent = m["es_writer_bulk_bytes_total{stage=\"sent\"}"] - before.at("es_writer_bulk_bytes_total{stage=\"sent\"}");
  EXPECT_GT(body, 0);
  EXPECT_LT(sent, body / 2) << "similar documents compress well";
}

// A scrape during a commit that waits for a node that is down: it answers at once, shows the node
// down and the documents pending, then up again once the node answers.
TEST_F(Metrics, ScrapesAnswerDuringACommitAndFollowTheNode) {
  ASSERT_EQ(0, Init(Url("&retry_deadline_ms=20000"), 1, "idx", 10, dir_).r0);
  const std::string url = MetricsUrl();
  const std::string up = "es_writer_node_up{node=\"" + es_.url() + "\"}";
  es_.Fault(R"({"down_ms":1500})");
  std::atomic<bool> done{false};
  Status committed{-1, ""};
  std::thread sender([&]() {
    WriteDocs(0, 20);
    committed = Commit();
    done.store(true);
  });
  bool saw_down = false, saw_pending = false;
  while (!done.load()) {
    const auto t0 = std::chrono::steady_clock::now();
    auto m = Samples(Scrape(url));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1)) << "a scrape waited for the sender";
    saw_down = saw_down || m[up] == 0;
    saw_pending = saw_pending || m["es_writer_pending_documents"] > 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  sender.join();
  EXPECT_EQ(0, committed.r0) << committed.text;
  EXPECT_TRUE(saw_down);
  EXPECT_TRUE(saw_pending);
  auto m = Samples(Scrape(url));
  EXPECT_EQ(1, m[up]);
  EXPECT_EQ(0, m["es_writer_pending_documents"]);
  EXPECT_EQ(20, es_.Count("idx"));
}

TEST_F(Metrics, OnlyMetricsIsServed) {
  ASSERT_EQ(0, Init(Url(), 1, "idx", 10, dir_).r0);
  std::string base = MetricsUrl();
  base.resize(base.size() - std::string("/metrics").size());
  for (const char* path : {"/", "/metric", "/metrics/x", "/_bulk"}) {
    EXPECT_EQ(404, testing_es::HttpGet(base + path).status) << path;
  }
  EXPECT_EQ(405, testing_es::HttpPost(base + "/metrics", "x").status);
  EXPECT_EQ(200, testing_es::HttpGet(base + "/metrics").status);
}

// Forty clients that trickle their request headers a byte at a time cannot crowd out a scrape from
// another address: each address holds a few connections, and headers that take too long are cut.
TEST_F(Metrics, SlowClientsNeverCrowdOutAScrape) {
  ASSERT_EQ(0, Init(Url(), 1, "idx", 10, dir_).r0);
  const std::string url = MetricsUrl();
  const int port = std::stoi(url.substr(url.rfind(':') + 1));
  std::vector<int> slow;
  for (int i = 0; i < 40; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in from = {}, to = {};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);  // another client on this machine
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&from), sizeof(from)));
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&to), sizeof(to)) == 0) slow.push_back(fd);
  }
  const auto start = std::chrono::steady_clock::now();
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
  int scrapes = 0;
  for (size_t b = 0; std::chrono::steady_clock::now() - start < std::chrono::seconds(5); ++b) {
    for (int fd : slow) send(fd, &request[b % request.size()], 1, MSG_NOSIGNAL);  // one byte each, never done
    EXPECT_EQ(200, testing_es::HttpGet(url).status) << "scrape " << scrapes;
    ++scrapes;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  EXPECT_GE(scrapes, 5);
  // The trickling connections were cut at the header deadline, not kept for as long as they trickle.
  int open = 0;
  for (int fd : slow) {
    char c;
    const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) ++open;
    close(fd);
  }
  EXPECT_EQ(0, open);
}

TEST_F(Metrics, CountersOutliveAReinitialize) {
  ASSERT_EQ(0, Init(Url(), 1, "a", 10, dir_).r0);
  const std::string url = MetricsUrl();
  const auto before = Samples(Scrape(url));
  WriteDocs(0, 5);
  ASSERT_EQ(0, Commit().r0);
  // Another index on the idle writer, same endpoint: the server and the counts go on.
  ASSERT_EQ(0, Init(Url(), 1, "b", 10, dir_).r0);
  EXPECT_EQ(url, MetricsUrl());
  WriteDocs(5, 5);
  ASSERT_EQ(0, Commit().r0);
  auto m = Samples(Scrape(url));
  EXPECT_EQ(10, m["es_writer_documents_total{result=\"created\"}"] - before.at("es_writer_documents_total{result=\"created\"}"));
  EXPECT_EQ(1, m.count("es_writer_info{version=\"" EVENT_ES_VERSION "\",es_major=\"8\",index=\"b\"}"));
  EXPECT_EQ(0, m.count("es_writer_info{version=\"" EVENT_ES_VERSION "\",es_major=\"8\",index=\"a\"}"));
  // Without metrics_listen the endpoint goes away.
  ASSERT_EQ(0, Init(es_.url(), 1, "b", 10, dir_).r0);
  EXPECT_EQ("", MetricsUrl());
  EXPECT_EQ(0, testing_es::HttpGet(url).status);
}

TEST_F(Metrics, BadSettingsRefuseInitialize) {
  // A port that is taken.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)));
  ASSERT_EQ(0, listen(fd, 1));
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len);
  const std::string taken = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));

  struct Case {
    std::string option;
    std::string says;
  } cases[] = {
      {"metrics_listen=127.0.0.1", "has no port"},
      {"metrics_listen=127.0.0.1:", "has no valid port"},
      {"metrics_listen=127.0.0.1:65536", "has no valid port"},
      {"metrics_listen=127.0.0.1:http", "has no valid port"},
      {"metrics_listen=localhost:9464", "\"localhost\" is not a numeric IPv4 address"},
      {"metrics_listen=300.1.1.1:9464", "is not a numeric IPv4 address"},
      {"metrics_listen=%5B::1:9464", "with an IPv6 host in brackets"},
      {"metrics_listen=" + taken, "metrics_listen " + taken + ": cannot listen: Address already in use"},
      {"metrics_file=" + dir_ + "/missing/m.prom", "metrics_file " + dir_ + "/missing/m.prom cannot be written"},
      {"metrics_file=" + dir_ + "/", "must name a file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    Status s = Init(es_.url() + "?" + c.option, 1, "idx", 10, dir_);
    EXPECT_EQ(1, s.r0);
    EXPECT_NE(std::string::npos, s.text.find(c.says)) << s.text;
  }
  close(fd);
  // Refused settings leave nothing behind: good ones work after them.
  Status s = Init(Url(), 1, "idx", 10, dir_);
  ASSERT_EQ(0, s.r0) << s.text;
  WriteDocs(0, 3);
  EXPECT_EQ(0, Commit().r0);
}

// The text of a metrics file once it says what pred wants (it is rewritten within a second of a
// change), or the last text seen after 5 s.
template <typename Pred>
std::string WaitForFile(const std::string& path, Pred pred) {
  std::string text;
  for (int i = 0; i < 500; ++i) {
    text = testsupport::ReadFile(path);
    if (pred(text)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return text;
}

// A reader in a loop during a run only ever finds complete files, and the last one has every
// document.
TEST(MetricsFile, IsNeverSeenHalfWritten) {
  Endpoint es;
  const std::string dir = testsupport::TempDir("metrics_file");
  const std::string path = dir + "/es_writer.prom";
  ASSERT_EQ(0, Init(es.url() + "?metrics_file=" + path, 1, "idx", 50, dir).r0);
  const std::string first = WaitForFile(path, [](const std::string& t) { return !t.empty(); });
  // A link planted where a temporary file with a fixed name would go is never followed.
  const std::string victim = dir + "/victim";
  ASSERT_TRUE(testsupport::WriteFile(victim, "keep\n"));
  ASSERT_EQ(0, symlink(victim.c_str(), (path + ".tmp").c_str()));
  const double created = Samples(first)["es_writer_documents_total{result=\"created\"}"];
  es.Fault(R"({"delay_next":1000,"delay_ms":60})");  // a run of a few seconds: several rewrites
  std::atomic<bool> done{false};
  long reads = 0, partial = 0;
  std::set<std::string> seen;
  std::string bad;
  std::thread reader([&]() {
    while (!done.load()) {
      const std::string text = testsupport::ReadFile(path);
      ++reads;
      // The info series comes last: a file that has it, closed by a line break, is complete.
      const bool complete = text.size() > 2 && text.back() == '\n' && text.find("es_writer_info{") != std::string::npos &&
                            text.find("# HELP es_writer_documents_total") == 0;
      if (!complete) {
        ++partial;
        bad = text;
      } else {
        seen.insert(text);
      }
    }
  });
  for (int b = 0; b < 40; ++b) {
    WriteDocs(b * 100, 100);
    ASSERT_EQ(0, Commit().r0);
  }
  done.store(true);
  reader.join();
  EXPECT_GT(reads, 40);
  EXPECT_GE(seen.size(), 2u) << "the file was not rewritten during the run";
  EXPECT_EQ(0, partial) << bad;
  const std::string last = WaitForFile(path, [&](const std::string& t) {
    return Samples(t)["es_writer_documents_total{result=\"created\"}"] - created == 4000;
  });
  EXPECT_EQ("", PromtoolProblems(last));
  EXPECT_EQ(4000, Samples(last)["es_writer_documents_total{result=\"created\"}"] - created);
  EXPECT_EQ(4000, es.Count("idx"));
  for (const std::string& name : testsupport::ListDir(dir)) {
    if (name != "es_writer.prom.tmp") {
      EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
    }
  }
  EXPECT_EQ("keep\n", testsupport::ReadFile(victim));
}

TEST(MetricsText, LabelValuesAreEscaped) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"plain", "plain"}, {"a\"b", "a\\\"b"}, {"a\\b", "a\\\\b"}, {"a\nb", "a\\nb"}, {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, eswriter::EscapeLabel(c.in)) << c.in;
}

TEST(MetricsText, HistogramBucketsIncludeTheirUpperBound) {
  eswriter::Metrics& m = eswriter::Metrics::Process();
  const auto before = Samples(m.Render());
  for (double s : {0.001, 0.0011, 0.05, 60.0, 61.0}) m.commit_duration.Observe(s);
  auto now = Samples(m.Render());
  auto bucket = [&](const char* le) {
    const std::string k = std::string("es_writer_commit_duration_seconds_bucket{le=\"") + le + "\"}";
    return now[k] - before.at(k);
  };
  EXPECT_EQ(1, bucket("0.001"));
  EXPECT_EQ(2, bucket("0.0025"));
  EXPECT_EQ(3, bucket("0.05"));
  EXPECT_EQ(4, bucket("60"));
  EXPECT_EQ(5, bucket("+Inf"));
  EXPECT_EQ(5, now["es_writer_commit_duration_seconds_count"] - before.at("es_writer_commit_duration_seconds_count"));
  EXPECT_NEAR(121.0521, now["es_writer_commit_duration_seconds_sum"] - before.at("es_writer_commit_duration_seconds_sum"), 1e-3);
}
