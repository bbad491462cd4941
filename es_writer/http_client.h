// Minimal blocking HTTP client on one libcurl easy handle (keeps its connections alive).
// One instance per thread; not shareable.
#pragma once

#include <atomic>
#include <string>

#include "config.h"

typedef void CURL;

namespace eswriter {

struct HttpResponse {
  long status = 0;          // 0: no HTTP answer (see error)
  std::string body;
  std::string error;        // transport error text when status is 0
  bool timed_out = false;
};

class HttpClient {
 public:
  explicit HttpClient(const Options& options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // abort, when given, is polled during the transfer; the request is cancelled once it reads true.
  HttpResponse Get(const Node& node, const std::string& path, const std::atomic<bool>* abort = nullptr);
  // POSTs an NDJSON body (gzip-compressed when the options ask for it).
  HttpResponse PostNdjson(const Node& node, const std::string& path, const std::string& body,
                          const std::atomic<bool>* abort = nullptr);

 private:
  HttpResponse Perform(const Node& node, const std::string& path, const std::string* body,
                       const std::atomic<bool>* abort);

  const Options options_;
  CURL* curl_;
  std::string compressed_;
};

// Process-wide libcurl set-up; safe to call more than once.
void GlobalHttpInit();

}  // namespace eswriter
