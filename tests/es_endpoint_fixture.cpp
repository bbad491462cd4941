// Test endpoint process control and a tiny HTTP client for checking what arrived.
#include "es_endpoint_fixture.h"

#include <curl/curl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <rapidjson/document.h>

namespace testing_es {

namespace {

size_t Collect(char* p, size_t s, size_t n, void* out) {
  static_cast<std::string*>(out)->append(p, s * n);
  return s * n;
}

HttpResult Request(const std::string& url, const std::string* body) {
  HttpResult r;
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
  struct curl_slist* h = nullptr;
  if (body != nullptr) {
    h = curl_slist_append(h, "Content-Type: application/json");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, h);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body->c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
  }
  if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
  curl_slist_free_all(h);
  curl_easy_cleanup(c);
  return r;
}

}  // namespace

HttpResult HttpGet(const std::string& url) { return Request(url, nullptr); }
HttpResult HttpPost(const std::string& url, const std::string& body) { return Request(url, &body); }

std::string SourcePath(const std::string& rel) {
  return std::string(EVENT_ES_SOURCE_DIR) + "/" + rel;
}

Endpoint::Endpoint(const std::vector<std::string>& extra_args) {
  char tmpl[] = "/tmp/es_port_XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) return;
  close(fd);
  unlink(tmpl);
  std::string port_file = tmpl;
  std::string script = SourcePath("tests/es_endpoint.py");
  std::vector<std::string> args = {"python3", script, "--port-file", port_file};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  pid_ = fork();
  if (pid_ == 0) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    freopen("/dev/null", "w", stdout);
    execvp("python3", argv.data());
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(port_file);
    int port = 0;
    if (in >> port && port > 0) {
      port_ = port;
      unlink(port_file.c_str());
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Endpoint::~Endpoint() { Stop(); }

void Endpoint::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
}

void Endpoint::Fault(const std::string& json) { HttpPost(url() + "/_fault", json); }

namespace {
// A list of strings from the endpoint: the member `list` of the reply to url (a stats list when
// under_stats).
std::vector<std::string> StringList(const std::string& url, const char* list, bool under_stats) {
  std::vector<std::string> out;
  HttpResult r = HttpGet(url);
  rapidjson::Document d;
  d.Parse(r.body.c_str());
  if (d.HasParseError() || !d.IsObject()) return out;
  const rapidjson::Value* v = &d;
  if (under_stats) {
    if (!d.HasMember("stats")) return out;
    v = &d["stats"];
  }
  if (!v->HasMember(list) || !(*v)[list].IsArray()) return out;
  for (const auto& e : (*v)[list].GetArray()) out.emplace_back(e.GetString(), e.GetStringLength());
  return out;
}
}  // namespace

std::vector<std::string> Endpoint::Raw(const std::string& index, size_t from) {
  return StringList(url() + "/" + index + "/_raw?from=" + std::to_string(from), "docs", false);
}

std::vector<std::string> Endpoint::Ids(const std::string& index) {
  return StringList(url() + "/" + index + "/_raw", "ids", false);
}

std::vector<std::string> Endpoint::Pipelines() { return StringList(url() + "/_fault", "pipelines", true); }

long Endpoint::Count(const std::string& index) {
  HttpResult r = HttpGet(url() + "/" + index + "/_count");
  rapidjson::Document d;
  d.Parse(r.body.c_str());
  if (d.HasParseError() || !d.IsObject() || !d.HasMember("count")) return -1;
  return d["count"].GetInt64();
}

long Endpoint::Stat(const std::string& name) {
  HttpResult r = HttpGet(url() + "/_fault");
  rapidjson::Document d;
  d.Parse(r.body.c_str());
  if (d.HasParseError() || !d.IsObject() || !d.HasMember("stats")) return -1;
  const auto& stats = d["stats"];
  if (stats.HasMember(name.c_str()) && stats[name.c_str()].IsInt64()) return stats[name.c_str()].GetInt64();
  if (stats["injected"].HasMember(name.c_str())) return stats["injected"][name.c_str()].GetInt64();
  return 0;
}

}  // namespace testing_es
