// Parsing of es_url (nodes and tunables) and the index-name rules of the engine.
#include "config.h"

#include "shared/safe_text.h"
#include "tunables.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace eswriter {

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// A byte of a secret in the shadow of es_url that messages are built from; each run becomes "***".
const char kHidden = '\x01';

// shown is text with every byte of a secret replaced by kHidden (the same length): messages quote it.
Status ParseNode(const std::string& text, const std::string& shown, Node* node) {
  size_t scheme_end = text.find("://");
  if (scheme_end == std::string::npos) {
    return Status::Error("es_url node \"" + shown + "\" has no scheme (expected http:// or https://)");
  }
  std::string scheme = text.substr(0, scheme_end);
  for (char& c : scheme) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (scheme != "http" && scheme != "https") {
    return Status::Error("es_url node \"" + shown + "\" has scheme " + shown.substr(0, scheme_end) +
                         ", expected http or https");
  }
  std::string rest = text.substr(scheme_end + 3);
  // The user information runs to the last '@', as the masking rule reads it: a password may hold '/'
  // ("2024/Winter"), and is then neither taken for a host and a path nor shown in any text.
  const size_t at = rest.rfind('@');
  const size_t host_from = scheme_end + 3 + (at == std::string::npos ? 0 : at + 1);  // in text and shown
  if (at != std::string::npos) {
    std::string userinfo = rest.substr(0, at);
    rest = rest.substr(at + 1);
    size_t colon = userinfo.find(':');
    node->user = PercentDecode(userinfo.substr(0, colon));
    node->password = colon == std::string::npos ? "" : PercentDecode(userinfo.substr(colon + 1));
  }
  size_t path_at = rest.find('/');
  std::string authority = rest.substr(0, path_at);
  std::string path = path_at == std::string::npos ? "" : rest.substr(path_at);
  if (authority.empty() || authority[0] == ':') {
    return Status::Error("es_url node \"" + shown + "\" has no host");
  }
  size_t port_colon = authority.rfind(':');
  if (port_colon != std::string::npos && authority.find(']') == std::string::npos) {
    std::string port = authority.substr(port_colon + 1);
    bool digits = !port.empty() && port.size() <= 5;
    for (char c : port) digits = digits && isdigit(static_cast<unsigned char>(c));
    if (!digits || std::atoi(port.c_str()) < 1 || std::atoi(port.c_str()) > 65535) {
      // The port's place in shown: the authority ends where the port does.
      const size_t port_end = host_from + (path_at == std::string::npos ? rest.size() : path_at);
      return Status::Error("es_url node \"" + shown + "\" has an invalid port \"" +
                           shown.substr(port_end - port.size(), port.size()) + "\"");
    }
  }
  for (char c : authority) {
    if (isspace(static_cast<unsigned char>(c))) {
      return Status::Error("es_url node \"" + shown + "\" has white space in its host");
    }
  }
  while (!path.empty() && path.back() == '/') path.pop_back();
  node->base = scheme + "://" + authority + path;
  node->display = node->base;
  return Status::Ok();
}

// Every run of hidden bytes in a message becomes "***".
std::string Reveal(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != kHidden) {
      out += text[i];
    } else if (i == 0 || text[i - 1] != kHidden) {
      out += "***";
    }
  }
  return out;
}

Status ParseEsUrlShown(const std::string& url, const std::string& shown, Config* out);

}  // namespace

Status ParseEsUrl(const std::string& es_url, Config* out) {
  const std::string url = Trim(es_url);
  if (url.empty()) return Status::Error("es_url is empty");
  // Messages quote the URL's pieces from a shadow in which every byte of a password or api_key, by
  // the one masking rule, is hidden: a split at ',' or '?' inside a password cannot show a piece of it.
  std::string shown = url;
  for (const auto& span : ostrel::secret_mask::SecretSpans(url)) {
    for (size_t i = span.first; i < span.second; ++i) shown[i] = kHidden;
  }
  Status st = ParseEsUrlShown(url, shown, out);
  return st.ok() ? st : Status::Error(Reveal(st.text()));
}

namespace {

Status ParseEsUrlShown(const std::string& url, const std::string& shown, Config* out) {
  Config cfg;
  cfg.options = DefaultOptions();
  std::string nodes_part = url;
  size_t q = url.find('?');
  std::vector<std::string> seen_keys;
  if (q != std::string::npos) {
    nodes_part = url.substr(0, q);
    std::string query = url.substr(q + 1);
    size_t start = 0;
    while (start <= query.size()) {
      size_t amp = query.find('&', start);
      std::string pair = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
      if (!pair.empty()) {
        size_t eq = pair.find('=');
        std::string key = pair.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : pair.substr(eq + 1);
        const std::string shown_pair = shown.substr(q + 1 + start, pair.size());
        const bool repeated = std::find(seen_keys.begin(), seen_keys.end(), key) != seen_keys.end();
        seen_keys.push_back(key);
        Status st = repeated ? Status::Error("es_url has the option \"" + key + "\" more than once")
                             : ApplyTunable(key, value, &cfg.options);
        if (!st.ok()) {
          // The message quotes key and value; quote them from the shadow instead.
          std::string text = st.text();
          const std::string shown_key = shown_pair.substr(0, eq);
          const std::string shown_value = eq == std::string::npos ? "" : shown_pair.substr(eq + 1);
          for (const auto& kv : {std::make_pair(key + "=" + value, shown_key + "=" + shown_value),
                                 std::make_pair("\"" + key + "\"", "\"" + shown_key + "\"")}) {
            size_t at = text.find(kv.first);
            if (at != std::string::npos) text.replace(at, kv.first.size(), kv.second);
          }
          st = Status::Error(text);
        }
        if (!st.ok()) return st;
      }
      if (amp == std::string::npos) break;
      start = amp + 1;
    }
  }
  size_t start = 0;
  while (start <= nodes_part.size()) {
    size_t comma = nodes_part.find(',', start);
    const size_t len = comma == std::string::npos ? nodes_part.size() - start : comma - start;
    const std::string raw = nodes_part.substr(start, len);
    const size_t lead = raw.find_first_not_of(" \t\r\n");
    std::string text = Trim(raw);
    if (text.empty()) {
      return Status::Error("es_url has an empty node in its list");
    }
    Node node;
    Status st = ParseNode(text, shown.substr(start + lead, text.size()), &node);
    if (!st.ok()) return st;
    cfg.nodes.push_back(node);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (cfg.options.backoff_max_ms < cfg.options.backoff_ms) cfg.options.backoff_max_ms = cfg.options.backoff_ms;
  *out = cfg;
  return Status::Ok();
}

}  // namespace

Status CheckIndexName(const std::string& index) {
  if (!ostrel::IsValidUtf8(index)) {
    std::string shown;  // every byte outside printable ASCII as \xHH: the text itself is not UTF-8
    for (unsigned char c : index) {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      shown += c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return Status::Error("es_index \"" + shown + "\" is not valid UTF-8, which the engine refuses");
  }
  const std::string quoted = "es_index \"" + index + "\"";
  if (index.empty()) {
    return Status::Error("es_index is empty");
  }
  if (index.size() > 255) {
    return Status::Error("es_index is longer than 255 bytes");
  }
  if (index == "." || index == "..") {
    return Status::Error(quoted + " is not allowed");
  }
  if (index[0] == '-' || index[0] == '_' || index[0] == '+') {
    return Status::Error(quoted + " must not start with '-', '_' or '+'");
  }
  for (unsigned char c : index) {
    if (c >= 'A' && c <= 'Z') {
      return Status::Error(quoted + " must be lowercase");
    }
    if (c < 0x20 || c == ' ' || c == '\\' || c == '/' || c == '*' || c == '?' || c == '"' || c == '<' ||
        c == '>' || c == '|' || c == ',' || c == '#' || c == ':') {
      return Status::Error(quoted + " contains a character the engine refuses (\\ / * ? \" < > | , # : or white space)");
    }
  }
  return Status::Ok();
}

std::string MaskCredentials(const std::string& text) { return ostrel::MaskSecrets(text); }

Status ParseListenAddress(const std::string& text, ListenAddress* out) {
  const std::string what = "es_url option metrics_listen=" + text;
  ListenAddress a;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return Status::Error(what + " must be HOST:PORT, with an IPv6 host in brackets ([::1]:9464)");
    }
    a.host = text.substr(1, close - 1);
    a.ipv6 = true;
    port = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return Status::Error(what + " has no port: it must be HOST:PORT (127.0.0.1:9464)");
    a.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) > 65535) {
    return Status::Error(what + " has no valid port: it must be a number from 0 (any free port) to 65535");
  }
  a.port = std::stoi(port);
  unsigned char buf[sizeof(struct in6_addr)];
  if (inet_pton(a.ipv6 ? AF_INET6 : AF_INET, a.host.c_str(), buf) != 1) {
    return Status::Error(what + ": \"" + a.host + "\" is not a numeric " + (a.ipv6 ? "IPv6" : "IPv4") +
                         " address (use 127.0.0.1 for this machine only, 0.0.0.0 for every interface)");
  }
  *out = a;
  return Status::Ok();
}

}  // namespace eswriter
