// A bulk endpoint for benchmarks only: single-threaded, keep-alive HTTP/1.1 on loopback, fast enough
// never to be what a benchmark measures. It serves what the writer relies on and nothing more:
//   GET  /                        the root answer with an 8.x version and X-Elastic-Product
//   POST /_bulk, /<index>/_bulk   action/source line pairs (split with memchr), one item per action in
//                                 order: 201 created, 200 updated (index with a known _id), 409 (create
//                                 with a known _id); filter_path=items.*.status,... keeps only the status
//                                 (and result/error), as the engine does
//   GET  /<index>/_count          documents in the index (distinct _id values plus documents without one)
//   DELETE /<index>               forgets the index
//   GET  /_bench/stats            counters, and the CPU time of this process since the first bulk after
//                                 the last reset
//   POST /_bench/reset            zeroes the counters
// Counters are printed at exit (SIGINT, SIGTERM). Bodies must carry Content-Length (no chunked, no gzip).
//   bulk_endpoint [--port N] [--port-file FILE]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

double CpuSeconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

struct Index {
  uint64_t anonymous = 0;  // documents without an _id
  std::unordered_set<std::string> ids;
  uint64_t count() const { return anonymous + ids.size(); }
};

struct Stats {
  uint64_t requests = 0, bulks = 0, items = 0, created = 0, updated = 0, conflicts = 0, body_bytes = 0;
  double cpu_at_first_bulk = -1;  // CPU seconds of this process when the first bulk arrived
};

Stats g_stats;
std::unordered_map<std::string, Index> g_indices;

// A growable byte buffer with a read offset: appends at the end, consumes from the front.
struct Buffer {
  std::vector<char> data;
  size_t begin = 0, end = 0;

  size_t size() const { return end - begin; }
  const char* head() const { return data.data() + begin; }
  void Consume(size_t n) {
    begin += n;
    if (begin == end) begin = end = 0;
  }
  // Room for at least n more bytes at the end.
  char* Reserve(size_t n) {
    if (data.size() - end < n) {
      if (begin != 0) {  // move what is left to the front first
        memmove(data.data(), data.data() + begin, end - begin);
        end -= begin;
        begin = 0;
      }
      if (data.size() - end < n) data.resize(std::max(data.size() * 2, end + n));
    }
    return data.data() + end;
  }
  void Append(const char* p, size_t n) {
    memcpy(Reserve(n), p, n);
    end += n;
  }
  void Append(std::string_view s) { Append(s.data(), s.size()); }
};

struct Conn {
  int fd;
  Buffer in, out;
  bool continued = false;  // 100 Continue sent for the request at the head of in
  bool want_out = false;   // registered for EPOLLOUT
  bool close_after = false;
};

std::string_view Header(std::string_view headers, std::string_view name) {
  size_t at = 0;
  while ((at = headers.find("\r\n", at)) != std::string_view::npos) {
    at += 2;
    if (headers.size() - at > name.size() && strncasecmp(headers.data() + at, name.data(), name.size()) == 0 &&
        headers[at + name.size()] == ':') {
      size_t v = at + name.size() + 1;
      while (v < headers.size() && headers[v] == ' ') ++v;
      const size_t e = headers.find("\r\n", v);
      return headers.substr(v, e - v);
    }
  }
  return {};
}

void Reply(Conn& c, int status, const char* reason, std::string_view body, bool elastic_header = true) {
  char head[256];
  const int n = snprintf(head, sizeof(head),
                         "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n%s\r\n", status,
                         reason, body.size(), elastic_header ? "X-Elastic-Product: Elasticsearch\r\n" : "");
  c.out.Append(head, static_cast<size_t>(n));
  c.out.Append(body);
}

// The value of "key":"value" in a one-line JSON object, or empty.
std::string_view StringMember(std::string_view line, std::string_view key) {
  const size_t k = line.find(key);
  if (k == std::string_view::npos) return {};
  size_t v = k + key.size();
  while (v < line.size() && (line[v] == ' ' || line[v] == ':')) ++v;
  if (v >= line.size() || line[v] != '"') return {};
  const size_t e = line.find('"', v + 1);
  if (e == std::string_view::npos) return {};
  return line.substr(v + 1, e - v - 1);
}

void Bulk(Conn& c, std::string_view path_index, std::string_view query, std::string_view body) {
  if (g_stats.cpu_at_first_bulk < 0) g_stats.cpu_at_first_bulk = CpuSeconds();
  ++g_stats.bulks;
  g_stats.body_bytes += body.size();
  const bool filtered = query.find("filter_path=") != std::string_view::npos;
  std::string reply;
  reply.reserve(filtered ? body.size() / 8 + 64 : body.size() / 2 + 64);
  reply += filtered ? "{\"errors\":false,\"items\":[" : "{\"took\":1,\"errors\":false,\"items\":[";
  const size_t errors_at = reply.find("false");
  bool errors = false, first = true;
  const char* p = body.data();
  const char* const end = p + body.size();
  Index* last_index = nullptr;
  std::string last_name;
  while (p < end) {
    const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* src_end = nl == nullptr ? nullptr
                                        : static_cast<const char*>(memchr(nl + 1, '\n', static_cast<size_t>(end - nl - 1)));
    if (nl == nullptr || (src_end == nullptr && nl + 1 < end)) {
      Reply(c, 400, "Bad Request",
            R"({"error":{"type":"illegal_argument_exception","reason":"The bulk request must be terminated by a newline [\n]"},"status":400})");
      return;
    }
    std::string_view action(p, static_cast<size_t>(nl - p));
    p = nl + 1;
    if (action.empty()) continue;
    if (src_end == nullptr) break;  // an action line last: nothing to store
    p = src_end + 1;
    const bool create = action.compare(0, 9, "{\"create\"") == 0;
    std::string_view name = StringMember(action, "\"_index\"");
    if (name.empty()) name = path_index;
    if (last_index == nullptr || name != last_name) {
      last_name.assign(name.data(), name.size());
      last_index = &g_indices[last_name];
    }
    const std::string_view id = StringMember(action, "\"_id\"");
    int status = 201;
    if (id.empty()) {
      ++last_index->anonymous;
    } else if (!last_index->ids.emplace(id).second) {
      status = create ? 409 : 200;
    }
    ++g_stats.items;
    const char* op = create ? "create" : "index";
    if (!first) reply += ',';
    first = false;
    reply += "{\"";
    reply += op;
    reply += "\":{";
    if (status == 409) {
      errors = true;
      ++g_stats.conflicts;
      reply += R"("status":409,"error":{"type":"version_conflict_engine_exception","reason":"document already exists"}}})";
      continue;
    }
    if (status == 201) {
      ++g_stats.created;
    } else {
      ++g_stats.updated;
    }
    if (!filtered) {
      reply += "\"_index\":\"";
      reply.append(name.data(), name.size());
      reply += R"(","_id":"bench","_version":1,)";
    }
    reply += status == 201 ? R"("result":"created",)" : R"("result":"updated",)";
    if (!filtered) reply += R"("_shards":{"total":2,"successful":1,"failed":0},"_seq_no":0,"_primary_term":1,)";
    reply += status == 201 ? "\"status\":201}}" : "\"status\":200}}";
  }
  reply += "]}";
  if (errors) reply.replace(errors_at, 5, "true ");
  Reply(c, 200, "OK", reply);
}

std::string StatsJson() {
  const double cpu = g_stats.cpu_at_first_bulk < 0 ? 0 : CpuSeconds() - g_stats.cpu_at_first_bulk;
  char buf[512];
  snprintf(buf, sizeof(buf),
           "{\"requests\":%llu,\"bulks\":%llu,\"items\":%llu,\"created\":%llu,\"updated\":%llu,\"conflicts\":%llu,"
           "\"body_bytes\":%llu,\"cpu_s_since_first_bulk\":%.6f}",
           static_cast<unsigned long long>(g_stats.requests), static_cast<unsigned long long>(g_stats.bulks),
           static_cast<unsigned long long>(g_stats.items), static_cast<unsigned long long>(g_stats.created),
           static_cast<unsigned long long>(g_stats.updated), static_cast<unsigned long long>(g_stats.conflicts),
           static_cast<unsigned long long>(g_stats.body_bytes), cpu);
  return buf;
}

// One request whose head (method, target, headers) and body are complete.
void Handle(Conn& c, std::string_view method, std::string_view target, std::string_view headers,
            std::string_view body) {
  ++g_stats.requests;
  std::string_view path = target, query;
  const size_t q = target.find('?');
  if (q != std::string_view::npos) {
    path = target.substr(0, q);
    query = target.substr(q + 1);
  }
  if (!Header(headers, "Content-Encoding").empty()) {
    Reply(c, 415, "Unsupported Media Type", R"({"error":"the bench endpoint takes no compressed bodies"})");
    return;
  }
  if (method == "GET" && path == "/") {
    Reply(c, 200, "OK",
          R"({"name":"bench","cluster_name":"bench","version":{"number":"8.12.1","build_flavor":"default"},"tagline":"You Know, for Search"})");
    return;
  }
  if (method == "POST" && (path == "/_bulk" || (path.size() > 7 && path.substr(path.size() - 6) == "/_bulk"))) {
    std::string_view index = path == "/_bulk" ? std::string_view() : path.substr(1, path.size() - 7);
    Bulk(c, index, query, body);
    return;
  }
  if (method == "GET" && path == "/_bench/stats") {
    Reply(c, 200, "OK", StatsJson());
    return;
  }
  if (method == "POST" && path == "/_bench/reset") {
    g_stats = Stats();
    Reply(c, 200, "OK", R"({"acknowledged":true})");
    return;
  }
  if (method == "GET" && path.size() > 8 && path.substr(path.size() - 7) == "/_count") {
    const std::string name(path.substr(1, path.size() - 8));
    auto it = g_indices.find(name);
    Reply(c, 200, "OK", "{\"count\":" + std::to_string(it == g_indices.end() ? 0 : it->second.count()) + "}");
    return;
  }
  if (method == "DELETE" && path.size() > 1 && path.find('/', 1) == std::string_view::npos) {
    g_indices.erase(std::string(path.substr(1)));
    Reply(c, 200, "OK", R"({"acknowledged":true})");
    return;
  }
  Reply(c, 404, "Not Found", R"({"error":"not served by the bench endpoint"})");
}

// Handles every complete request at the head of c.in. False when the connection is to be closed.
bool Process(Conn& c) {
  for (;;) {
    std::string_view in(c.in.head(), c.in.size());
    const size_t head_end = in.find("\r\n\r\n");
    if (head_end == std::string_view::npos) return in.size() < (64u << 10);  // a head this long is not ours
    const std::string_view head = in.substr(0, head_end + 2);
    const size_t sp1 = head.find(' ');
    const size_t sp2 = head.find(' ', sp1 + 1);
    const size_t eol = head.find("\r\n");
    if (sp1 == std::string_view::npos || sp2 == std::string_view::npos || sp2 > eol) return false;
    const std::string_view method = head.substr(0, sp1), target = head.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view headers = head.substr(eol);
    if (!Header(headers, "Transfer-Encoding").empty()) {
      Reply(c, 411, "Length Required", R"({"error":"the bench endpoint needs Content-Length"})");
      c.close_after = true;
      return true;
    }
    const std::string_view length = Header(headers, "Content-Length");
    const size_t body_len = length.empty() ? 0 : strtoull(std::string(length).c_str(), nullptr, 10);
    const size_t total = head_end + 4 + body_len;
    if (in.size() < total) {
      if (!c.continued && Header(headers, "Expect") == "100-continue") {
        c.out.Append("HTTP/1.1 100 Continue\r\n\r\n");
        c.continued = true;
      }
      c.in.Reserve(total - in.size());  // the whole body in one buffer, read straight into it
      return true;
    }
    c.continued = false;
    Handle(c, method, target, headers, in.substr(head_end + 4, body_len));
    if (Header(headers, "Connection") == "close") c.close_after = true;
    c.in.Consume(total);
    if (c.close_after) return true;
  }
}

// Sends what c.out holds; false on a broken connection.
bool Flush(Conn& c) {
  while (c.out.size() != 0) {
    const ssize_t n = send(c.fd, c.out.head(), c.out.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    c.out.Consume(static_cast<size_t>(n));
  }
  return true;
}

void PrintStats() { fprintf(stderr, "bulk_endpoint: %s\n", StatsJson().c_str()); }

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  const char* port_file = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--port") == 0) port = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--port-file") == 0) port_file = argv[i + 1];
  }
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);

  const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(lfd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 || listen(lfd, 128) != 0) {
    perror("bulk_endpoint: bind");
    return 1;
  }
  socklen_t len = sizeof(addr);
  getsockname(lfd, reinterpret_cast<struct sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  if (port_file != nullptr) {
    const std::string tmp = std::string(port_file) + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (f == nullptr) return 1;
    fprintf(f, "%d\n", port);
    fclose(f);
    rename(tmp.c_str(), port_file);  // a reader sees the whole number or nothing
  } else {
    printf("%d\n", port);
    fflush(stdout);
  }

  const int ep = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;  // the listening socket
  epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
  std::unordered_map<int, std::unique_ptr<Conn>> conns;
  auto drop = [&](Conn* c) {
    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    conns.erase(c->fd);
  };
  struct epoll_event events[64];
  while (!g_stop) {
    const int n = epoll_wait(ep, events, 64, 200);
    for (int i = 0; i < n; ++i) {
      if (events[i].data.ptr == nullptr) {
        for (;;) {
          const int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (fd < 0) break;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
          auto c = std::make_unique<Conn>();
          c->fd = fd;
          struct epoll_event cev = {};
          cev.events = EPOLLIN;
          cev.data.ptr = c.get();
          epoll_ctl(ep, EPOLL_CTL_ADD, fd, &cev);
          conns[fd] = std::move(c);
        }
        continue;
      }
      Conn* c = static_cast<Conn*>(events[i].data.ptr);
      bool alive = true;
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        for (;;) {
          char* at = c->in.Reserve(256u << 10);
          const size_t room = c->in.data.size() - c->in.end;
          const ssize_t got = recv(c->fd, at, room, 0);
          if (got < 0 && errno == EINTR) continue;
          if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
          if (got <= 0) {
            alive = false;
            break;
          }
          c->in.end += static_cast<size_t>(got);
          if (static_cast<size_t>(got) < room) break;  // drained for now
        }
        if (alive) alive = Process(*c);
      }
      if (alive) alive = Flush(*c);
      if (alive && c->close_after && c->out.size() == 0) alive = false;
      if (!alive) {
        drop(c);
        continue;
      }
      const bool want_out = c->out.size() != 0;
      if (want_out != c->want_out) {
        struct epoll_event cev = {};
        cev.events = want_out ? static_cast<uint32_t>(EPOLLIN | EPOLLOUT) : static_cast<uint32_t>(EPOLLIN);
        cev.data.ptr = c;
        epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &cev);
        c->want_out = want_out;
      }
    }
  }
  PrintStats();
  return 0;
}
