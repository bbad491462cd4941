// HTTP requests to the engine: bulk POSTs with Content-Length and an empty Expect header, the root GET
// of the version probe, TLS and authentication from the node and the options.
#include "http_client.h"

#include <curl/curl.h>
#include <zlib.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace eswriter {

namespace {

struct BodySink {
  std::string* body;
  size_t limit;
  bool too_large = false;
};

// Keeps at most the sink's limit; past it, returning short makes libcurl stop the transfer.
size_t WriteBody(char* ptr, size_t size, size_t nmemb, void* userdata) {
  BodySink* sink = static_cast<BodySink*>(userdata);
  const size_t n = size * nmemb;
  if (sink->body->size() + n > sink->limit) {
    sink->too_large = true;
    return 0;
  }
  sink->body->append(ptr, n);
  return n;
}

int Progress(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const std::atomic<bool>* abort = static_cast<const std::atomic<bool>*>(clientp);
  return abort != nullptr && abort->load() ? 1 : 0;
}

bool Gzip(const std::string& in, std::string* out) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  out->resize(deflateBound(&zs, in.size()));
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(&(*out)[0]);
  zs.avail_out = static_cast<uInt>(out->size());
  int rc = deflate(&zs, Z_FINISH);
  out->resize(zs.total_out);
  deflateEnd(&zs);
  return rc == Z_STREAM_END;
}

}  // namespace

void GlobalHttpInit() {
  static std::once_flag once;
  std::call_once(once, []() { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpClient::HttpClient(const Options& options) : options_(options), curl_(nullptr) {
  GlobalHttpInit();
  curl_ = curl_easy_init();
}

HttpClient::~HttpClient() {
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
}

HttpResponse HttpClient::Get(const Node& node, const std::string& path, const std::atomic<bool>* abort,
                             size_t max_body) {
  return Perform(node, path, nullptr, abort, max_body);
}

HttpResponse HttpClient::PostNdjson(const Node& node, const std::string& path, const std::string& body,
                                    const std::atomic<bool>* abort) {
  return Perform(node, path, &body, abort, kMaxReplyBytes);
}

HttpResponse HttpClient::PostJson(const Node& node, const std::string& path, const std::string& body,
                                  const std::atomic<bool>* abort, size_t max_body) {
  return Perform(node, path, &body, abort, max_body, false);
}

void HttpClient::SetOptions(const Node& node, const std::string& url, void* sink, const std::atomic<bool>* abort) {
  CURL* c = curl_;
  curl_easy_reset(c);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, options_.request_timeout_ms);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, sink);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, abort);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, options_.tls_verify ? 1L : 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, options_.tls_verify ? 2L : 0L);
  if (!options_.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options_.ca_file.c_str());
  if (!node.user.empty() && options_.api_key.empty() && options_.aws_region.empty()) {
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(c, CURLOPT_USERNAME, node.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, node.password.c_str());
  }
}

struct curl_slist* HttpClient::Sign(const Node& node, const std::string& path, const std::string* payload, bool gzip,
                                     const std::string& content_type, struct curl_slist* headers) {
  // The host as the URL names it and the node's path prefix: what the request carries.
  const size_t from = node.base.find("://") + 3;
  const size_t slash = node.base.find('/', from);
  const std::string host = node.base.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
  const std::string prefix = slash == std::string::npos ? "" : node.base.substr(slash);
  std::vector<std::pair<std::string, std::string>> sent = {{"host", host}};
  if (payload != nullptr) sent.emplace_back("content-type", content_type.substr(content_type.find(':') + 2));
  if (gzip) sent.emplace_back("content-encoding", "gzip");
  const AwsCredentials credentials = !options_.aws_credentials.access_key.empty()
                                         ? options_.aws_credentials
                                         : AwsCredentials{node.user, node.password, ""};
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch()).count();
  for (const std::string& h : SignV4(payload != nullptr ? "POST" : "GET", prefix + path, sent,
                                     payload != nullptr ? *payload : std::string(), credentials, options_.aws_region,
                                     options_.aws_service, now_ms)) {
    headers = curl_slist_append(headers, h.c_str());
  }
  return curl_slist_append(headers, ("Host: " + host).c_str());
}

struct curl_slist* HttpClient::SetBody(const Node& node, const std::string& path, const std::string* body, bool ndjson,
                                       HttpResponse* resp) {
  // Under REST compatibility (Elasticsearch 9 served as 8) both media types name the version.
  const std::string compat = options_.compat_with > 0 ? ";compatible-with=" + std::to_string(options_.compat_with) : "";
  const std::string accept =
      compat.empty() ? "Accept: application/json" : "Accept: application/vnd.elasticsearch+json" + compat;
  struct curl_slist* headers = curl_slist_append(nullptr, accept.c_str());
  if (!options_.api_key.empty()) headers = curl_slist_append(headers, ("Authorization: ApiKey " + options_.api_key).c_str());
  const std::string* payload = body;
  bool gzip = false;
  const std::string type = ndjson ? "x-ndjson" : "json";
  const std::string content_type = compat.empty() ? "Content-Type: application/" + type
                                                  : "Content-Type: application/vnd.elasticsearch+" + type + compat;
  if (body != nullptr) {
    if (options_.gzip && ndjson && Gzip(*body, &compressed_)) {
      payload = &compressed_;
      gzip = true;
      headers = curl_slist_append(headers, "Content-Encoding: gzip");
    }
    headers = curl_slist_append(headers, content_type.c_str());
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip (and no 417)
    curl_easy_setopt(curl_, CURLOPT_POST, 1L);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, payload->data());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload->size()));
    resp->sent_bytes = payload->size();
  }
  if (!options_.aws_region.empty()) headers = Sign(node, path, payload, gzip, content_type, headers);
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
  return headers;
}

HttpResponse HttpClient::Perform(const Node& node, const std::string& path, const std::string* body,
                                 const std::atomic<bool>* abort, size_t max_body, bool ndjson) {
  HttpResponse resp;
  if (curl_ == nullptr) {
    resp.error = "cannot create an HTTP handle";
    return resp;
  }
  CURL* c = curl_;
  // A signed request is sent with its query in the canonical form that was signed.
  const std::string sent_path = options_.aws_region.empty() ? path : CanonicalQueryPath(path);
  const std::string url = node.base + sent_path;
  BodySink sink{&resp.body, max_body};
  SetOptions(node, url, &sink, abort);
  struct curl_slist* headers = SetBody(node, sent_path, body, ndjson, &resp);  // curl copies the header texts
  CURLcode rc = curl_easy_perform(c);
  curl_slist_free_all(headers);
  if (sink.too_large) {
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &resp.status);
    resp.too_large = true;
    resp.body.clear();
    resp.body.shrink_to_fit();
    resp.error = "the reply is larger than " + std::to_string(max_body) + " bytes, which no engine sends";
    return resp;
  }
  if (rc != CURLE_OK) {
    resp.status = 0;
    resp.timed_out = rc == CURLE_OPERATION_TIMEDOUT;
    resp.error = curl_easy_strerror(rc);
    long os_errno = 0;
    curl_easy_getinfo(c, CURLINFO_OS_ERRNO, &os_errno);
    if (rc == CURLE_COULDNT_CONNECT && os_errno == 0) {
      // libcurl keeps no errno when the socket itself could not be made: try one.
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd >= 0) {
        close(fd);
      } else {
        os_errno = errno;
      }
    }
    if (os_errno == EMFILE || os_errno == ENFILE) {
      // Not the node's fault, and retrying will not help: say what it is.
      resp.local = true;
      resp.error = std::string("this process is out of file descriptors (") + strerror(static_cast<int>(os_errno)) +
                   "): no connection could be opened";
    }
    return resp;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &resp.status);
  return resp;
}

}  // namespace eswriter
