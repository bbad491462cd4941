// Minimal blocking HTTP client on one libcurl easy handle (keeps its connections alive).
// One instance per thread; not shareable.
#pragma once

#include <atomic>
#include <string>

#include "config.h"

typedef void CURL;
struct curl_slist;

namespace eswriter {

struct HttpResponse {
  long status = 0;          // 0: no HTTP answer (see error)
  std::string body;
  std::string error;        // transport error text when status is 0, or why the body was cut
  bool timed_out = false;
  bool too_large = false;   // the reply body passed its limit: the transfer was stopped, body is empty
  bool local = false;       // the failure is this process's (no file descriptor left), not the node's
  size_t sent_bytes = 0;    // request body bytes as put on the wire (after gzip)
};

// Largest bulk reply body the writer keeps: a 1,000-item reply is about 150 KB, one with long
// error reasons a few MB; a node that streams more is answered as an unreadable reply.
const size_t kMaxReplyBytes = 64u << 20;

class HttpClient {
 public:
  explicit HttpClient(const Options& options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // abort, when given, is polled during the transfer; the request is cancelled once it reads true.
  // A reply body longer than max_body stops the transfer (too_large).
  HttpResponse Get(const Node& node, const std::string& path, const std::atomic<bool>* abort = nullptr,
                   size_t max_body = kMaxReplyBytes);
  // POSTs an NDJSON body (gzip-compressed when the options ask for it).
  HttpResponse PostNdjson(const Node& node, const std::string& path, const std::string& body,
                          const std::atomic<bool>* abort = nullptr);
  // POSTs a JSON body (a search, a check).
  HttpResponse PostJson(const Node& node, const std::string& path, const std::string& body,
                        const std::atomic<bool>* abort = nullptr, size_t max_body = kMaxReplyBytes);

 private:
  HttpResponse Perform(const Node& node, const std::string& path, const std::string* body,
                       const std::atomic<bool>* abort, size_t max_body, bool ndjson = true);
  // The request's URL, time limits, reply sink, abort flag, TLS and basic credentials.
  void SetOptions(const Node& node, const std::string& url, void* sink, const std::atomic<bool>* abort);
  // The headers and the body (gzip-compressed when asked for) of a POST, or the headers of a GET; the
  // header list is the caller's to free after the transfer.
  struct curl_slist* SetBody(const Node& node, const std::string& path, const std::string* body, bool ndjson,
                             HttpResponse* resp);
  // Adds the headers of an AWS Signature Version 4 of the request to headers (aws_sigv4).
  struct curl_slist* Sign(const Node& node, const std::string& path, const std::string* payload, bool gzip,
                          const std::string& content_type, struct curl_slist* headers);

  const Options options_;
  CURL* curl_;
  std::string compressed_;
};

// Process-wide libcurl set-up; safe to call more than once.
void GlobalHttpInit();

}  // namespace eswriter
