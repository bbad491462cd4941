// The writer's metrics: counting, the exposition text, the metrics file and the scrape endpoint.
#include "metrics.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace eswriter {

const double Histogram::kBounds[Histogram::kBuckets] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                        0.5,   1,      2.5,   5,    10,    30,    60};

void Histogram::Observe(double seconds) {
  size_t i = 0;
  while (i < kBuckets && seconds > kBounds[i]) ++i;
  counts_[i].fetch_add(1, std::memory_order_relaxed);
  const double us = seconds > 0 ? seconds * 1e6 : 0;
  sum_us_.fetch_add(static_cast<uint64_t>(us + 0.5), std::memory_order_relaxed);
}

void NodeStats::Count(long status) {
  if (status == 0) {
    errors.fetch_add(1, std::memory_order_relaxed);
  } else if (status >= kMinStatus && status <= kMaxStatus) {
    by_status[status - kMinStatus].fetch_add(1, std::memory_order_relaxed);
  } else {
    last_other.store(status, std::memory_order_relaxed);
    other_status.fetch_add(1, std::memory_order_relaxed);
  }
}

Metrics& Metrics::Process() {
  static Metrics* metrics = new Metrics();  // never destroyed: a scrape may come during exit
  return *metrics;
}

NodeStats* Metrics::Node(const std::string& name) {
  MutexLock lock(&mu_);
  for (const auto& n : nodes_) {
    if (n->node == name) return n.get();
  }
  nodes_.emplace_back(new NodeStats(name));
  return nodes_.back().get();
}

void Metrics::SetInfo(const std::string& version, int es_major, const std::string& index) {
  MutexLock lock(&mu_);
  version_ = version;
  es_major_ = es_major;
  index_ = index;
}

void Metrics::SetCurrentNodes(const std::vector<NodeStats*>& nodes) {
  MutexLock lock(&mu_);
  current_ = nodes;
}

std::string EscapeLabel(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

const char* const kResultNames[kDocResults] = {"created", "updated", "already_present", "dead_lettered", "failed"};
const char* const kReasonNames[kRetryReasons] = {"status_429",      "status_5xx",            "items_429",
                                                 "connection",      "timeout",               "split_413",
                                                 "circuit_breaker", "items_circuit_breaker", "items_unavailable"};

uint64_t Get(const std::atomic<uint64_t>& v) { return v.load(std::memory_order_relaxed); }

class Text {
 public:
  void Family(const char* name, const char* type, const char* help) {
    out_ += "# HELP es_writer_";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE es_writer_";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  // One sample; labels is empty or the text inside the braces.
  void Sample(const char* name, const std::string& labels, const std::string& value) {
    out_ += "es_writer_";
    out_ += name;
    if (!labels.empty()) {
      out_ += '{';
      out_ += labels;
      out_ += '}';
    }
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }
  void Sample(const char* name, const std::string& labels, uint64_t value) { Sample(name, labels, std::to_string(value)); }
  void Sample(const char* name, const std::string& labels, int64_t value) { Sample(name, labels, std::to_string(value)); }

  void Histo(const char* name, const char* help, const Histogram& h) {
    Family(name, "histogram", help);
    uint64_t counts[Histogram::kBuckets + 1];
    for (size_t i = 0; i <= Histogram::kBuckets; ++i) counts[i] = Get(h.counts_[i]);
    const std::string bucket = std::string(name) + "_bucket";
    uint64_t cumulative = 0;
    for (size_t i = 0; i < Histogram::kBuckets; ++i) {
      cumulative += counts[i];
      char le[32];
      snprintf(le, sizeof(le), "le=\"%g\"", Histogram::kBounds[i]);
      Sample(bucket.c_str(), le, cumulative);
    }
    cumulative += counts[Histogram::kBuckets];
    Sample(bucket.c_str(), "le=\"+Inf\"", cumulative);
    char sum[64];
    snprintf(sum, sizeof(sum), "%.6f", static_cast<double>(Get(h.sum_us_)) / 1e6);
    Sample((std::string(name) + "_sum").c_str(), "", sum);
    Sample((std::string(name) + "_count").c_str(), "", cumulative);
  }

  std::string& str() { return out_; }

 private:
  std::string out_;
};

// The delivery audit's series.
void RenderAudit(const Metrics& m, Text& t) {
  t.Family("audit_documents_total", "counter",
           "Documents the delivery audit read back (checked), and of those found missing or changed.");
  t.Sample("audit_documents_total", "result=\"checked\"", Get(m.audit_checked));
  t.Sample("audit_documents_total", "result=\"missing\"", Get(m.audit_missing));
  t.Sample("audit_documents_total", "result=\"changed\"", Get(m.audit_changed));
  t.Family("audit_dropped_total", "counter", "Audit samples dropped because too many waited for their check.");
  t.Sample("audit_dropped_total", "", Get(m.audit_dropped));
}

}  // namespace

std::string Metrics::Render() const {
  std::vector<NodeStats*> nodes, current;
  std::string version, index;
  int es_major;
  {
    MutexLock lock(&mu_);
    for (const auto& n : nodes_) nodes.push_back(n.get());
    current = current_;
    version = version_;
    index = index_;
    es_major = es_major_;
  }
  Text t;
  t.str().reserve(4096);
  t.Family("documents_total", "counter", "Documents taken by write_msg, by what became of them.");
  for (size_t i = 0; i < kDocResults; ++i) {
    t.Sample("documents_total", std::string("result=\"") + kResultNames[i] + "\"", Get(documents[i]));
  }
  t.Family("documents_accepted_total", "counter", "Documents that write_msg took.");
  t.Sample("documents_accepted_total", "", Get(accepted));

  t.Family("bulk_requests_total", "counter",
           "Bulk requests by node and HTTP status; code \"error\" is a connection error or a time-out.");
  for (const NodeStats* n : nodes) {
    const std::string node = "node=\"" + EscapeLabel(n->node) + "\",code=\"";
    for (int s = NodeStats::kMinStatus; s <= NodeStats::kMaxStatus; ++s) {
      const uint64_t v = Get(n->by_status[s - NodeStats::kMinStatus]);
      if (v != 0) t.Sample("bulk_requests_total", node + std::to_string(s) + "\"", v);
    }
    if (Get(n->other_status) != 0) {
      t.Sample("bulk_requests_total", node + std::to_string(n->last_other.load(std::memory_order_relaxed)) + "\"",
               Get(n->other_status));
    }
    t.Sample("bulk_requests_total", node + "error\"", Get(n->errors));
  }

  t.Family("retries_total", "counter",
           "Requests sent again, or whose rejected documents were sent again, by reason.");
  for (size_t i = 0; i < kRetryReasons; ++i) {
    t.Sample("retries_total", std::string("reason=\"") + kReasonNames[i] + "\"", Get(retries[i]));
  }

  t.Histo("bulk_request_duration_seconds", "Time from sending a bulk request to its complete reply.", bulk_duration);
  t.Histo("commit_duration_seconds", "Time need_commit took, until every pending document was acknowledged.",
          commit_duration);

  t.Family("bulk_bytes_total", "counter", "Bulk request bodies: uncompressed NDJSON (body) and as sent (sent).");
  t.Sample("bulk_bytes_total", "stage=\"body\"", Get(body_bytes));
  t.Sample("bulk_bytes_total", "stage=\"sent\"", Get(sent_bytes));

  t.Family("commits_total", "counter", "Commits by result; failed also counts batches dropped after a failed write.");
  t.Sample("commits_total", "result=\"ok\"", Get(commits_ok));
  t.Sample("commits_total", "result=\"failed\"", Get(commits_failed));

  t.Family("last_commit_success_timestamp_seconds", "gauge",
           "Unix time of the last successful commit (of the first initialize before any).");
  char ts[64];
  snprintf(ts, sizeof(ts), "%.3f", static_cast<double>(last_commit_success_ms.load(std::memory_order_relaxed)) / 1e3);
  t.Sample("last_commit_success_timestamp_seconds", "", ts);

  t.Family("inflight_bulks", "gauge", "Bulks queued or being sent.");
  t.Sample("inflight_bulks", "", inflight_bulks.load(std::memory_order_relaxed));
  t.Family("pending_documents", "gauge", "Documents taken since the last commit that have no outcome yet.");
  t.Sample("pending_documents", "", pending_documents.load(std::memory_order_relaxed));

  RenderAudit(*this, t);

  t.Family("node_up", "gauge", "1 while the node answers; 0 after a connection failure until it answers again.");
  for (const NodeStats* n : current) {
    t.Sample("node_up", "node=\"" + EscapeLabel(n->node) + "\"", static_cast<int64_t>(n->up.load(std::memory_order_relaxed)));
  }
  if (!version.empty()) {
    t.Family("info", "gauge", "The writer's version, the engine's major version and the index, as labels.");
    t.Sample("info",
             "version=\"" + EscapeLabel(version) + "\",es_major=\"" + std::to_string(es_major) + "\",index=\"" +
                 EscapeLabel(index) + "\"",
             "1");
  }
  return std::move(t.str());
}

namespace {

MHD_Result Answer(struct MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* content_type) {
  struct MHD_Response* r =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return MHD_NO;
  MHD_add_response_header(r, "Content-Type", content_type);
  const MHD_Result rc = MHD_queue_response(connection, status, r);
  MHD_destroy_response(r);
  return rc;
}

// Runs on the server's own thread; nothing may be thrown back into the C library. cls is the server.
MHD_Result Serve(void* cls, struct MHD_Connection* connection, const char* url, const char* method, const char*,
                 const char*, size_t* upload_size, void**) {
  try {
    {
      // The request's headers are all here: the header deadline no longer applies to it.
      MetricsServer* server = static_cast<MetricsServer*>(cls);
      MutexLock lock(&server->mu_);
      server->pending_.erase(connection);
    }
    const bool get = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
    if (*upload_size != 0) {
      *upload_size = 0;  // a body is never read: the answer is 404 or 405 below
      return MHD_YES;
    }
    if (strcmp(url, "/metrics") != 0) return Answer(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain");
    if (!get) return Answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", "text/plain");
    return Answer(connection, MHD_HTTP_OK, Metrics::Process().Render(), "text/plain; version=0.0.4");
  } catch (...) {
    return MHD_NO;  // no memory for the text: the connection is closed
  }
}

// Called by the library's thread when a connection is accepted and when it is closed (before its
// socket is closed: a socket in pending_ is still that connection's).
void Notify(void* cls, struct MHD_Connection* connection, void**, enum MHD_ConnectionNotificationCode code) {
  MetricsServer* server = static_cast<MetricsServer*>(cls);
  try {
    MutexLock lock(&server->mu_);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const union MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info != nullptr) {
        server->pending_[connection] = MetricsServer::Pending{info->connect_fd, std::chrono::steady_clock::now()};
      }
    } else {
      server->pending_.erase(connection);
    }
  } catch (...) {
    // no memory to watch it: the connection is served without a header deadline
  }
}

}  // namespace

MetricsServer::~MetricsServer() { Stop(); }

void MetricsServer::Watch() {
  MutexLock lock(&mu_);
  while (!stop_watch_) {
    cv_.WaitFor(&mu_, std::chrono::milliseconds(200));
    const auto limit = std::chrono::steady_clock::now() - std::chrono::milliseconds(kHeaderDeadlineMs);
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->second.since < limit) {
        shutdown(it->second.fd, SHUT_RDWR);  // the library reads the end and closes the connection
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }
}

Status MetricsServer::Start(const ListenAddress& where) {
  Stop();
  const std::string shown = (where.ipv6 ? "[" + where.host + "]" : where.host) + ":" + std::to_string(where.port);
  const int fd = socket(where.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Status::Error("metrics_listen " + shown + ": cannot make a socket: " + strerror(errno));
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  struct sockaddr_storage ss;
  memset(&ss, 0, sizeof(ss));
  socklen_t len;
  if (where.ipv6) {
    auto* a = reinterpret_cast<struct sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(where.port));
    inet_pton(AF_INET6, where.host.c_str(), &a->sin6_addr);
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<struct sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(where.port));
    inet_pton(AF_INET, where.host.c_str(), &a->sin_addr);
    len = sizeof(*a);
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&ss), len) != 0 || listen(fd, 64) != 0) {
    const int e = errno;
    close(fd);
    return Status::Error("metrics_listen " + shown + ": cannot listen: " + strerror(e));
  }
  len = sizeof(ss);
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len);
  const int port = where.ipv6 ? ntohs(reinterpret_cast<struct sockaddr_in6*>(&ss)->sin6_port)
                              : ntohs(reinterpret_cast<struct sockaddr_in*>(&ss)->sin_port);
  const unsigned flags = MHD_USE_AUTO | MHD_USE_INTERNAL_POLLING_THREAD | (where.ipv6 ? MHD_USE_IPv6 : 0);
  {
    MutexLock lock(&mu_);
    pending_.clear();
    stop_watch_ = false;
  }
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &Serve, this, MHD_OPTION_LISTEN_SOCKET, fd,
                             MHD_OPTION_CONNECTION_LIMIT, kConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                             kPerClientConnections, MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_NOTIFY_CONNECTION,
                             &Notify, this, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    close(fd);
    return Status::Error("metrics_listen " + shown + ": the HTTP server does not start");
  }
  fd_ = fd;  // closed by MHD_stop_daemon
  watcher_ = std::thread(&MetricsServer::Watch, this);
  bound_ = (where.ipv6 ? "[" + where.host + "]" : where.host) + ":" + std::to_string(port);
  return Status::Ok();
}

void MetricsServer::Stop() {
  if (watcher_.joinable()) {
    {
      MutexLock lock(&mu_);
      stop_watch_ = true;
    }
    cv_.SignalAll();
    watcher_.join();
  }
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  fd_ = -1;
  bound_.clear();
}

}  // namespace eswriter
