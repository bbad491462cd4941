// Starts the local es-compatible test endpoint (tests/es_endpoint.py) on loopback and talks to it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_es {

struct HttpResult {
  long status = 0;
  std::string body;
};

HttpResult HttpGet(const std::string& url);
HttpResult HttpPost(const std::string& url, const std::string& body);

class Endpoint {
 public:
  // extra_args are passed to the endpoint, e.g. {"--version", "7.17.9"}.
  explicit Endpoint(const std::vector<std::string>& extra_args = {});
  ~Endpoint();
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  bool ok() const { return port_ != 0; }
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  void Stop();

  // POST /_fault with a JSON object of fault settings.
  void Fault(const std::string& json);
  // Sources stored in the index, exactly as received, from position `from` on.
  std::vector<std::string> Raw(const std::string& index, size_t from = 0);
  // The _id of every stored document, in the order of Raw.
  std::vector<std::string> Ids(const std::string& index);
  // The pipeline parameter of every bulk request that had one.
  std::vector<std::string> Pipelines();
  long Count(const std::string& index);
  // A number from the endpoint's statistics, e.g. "bulk_requests".
  long Stat(const std::string& name);

 private:
  pid_t pid_ = 0;
  int port_ = 0;
};

// Path of a file in the source tree (EVENT_ES_SOURCE_DIR).
std::string SourcePath(const std::string& rel);

}  // namespace testing_es
