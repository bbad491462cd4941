// Parsing of es_url (nodes and tunables) and the index-name rules of the engine.
#include "config.h"

#include "shared/safe_text.h"
#include "doc_id.h"
#include "metrics.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace eswriter {

namespace {

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

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

Status ParseLong(const std::string& key, const std::string& value, long min, long max, long* out) {
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != 0 || errno != 0 || v < min || v > max) {
    return Status::Error("es_url option " + key + "=" + value + " is not a number from " + std::to_string(min) +
                         " to " + std::to_string(max));
  }
  *out = v;
  return Status::Ok();
}

Status ParseBool(const std::string& key, const std::string& value, bool* out) {
  if (value == "1" || value == "true") {
    *out = true;
  } else if (value == "0" || value == "false") {
    *out = false;
  } else {
    return Status::Error("es_url option " + key + "=" + value + " must be 1, 0, true or false");
  }
  return Status::Ok();
}

Status ParseOption(const std::string& key, const std::string& value, Options* o) {
  long v = 0;
  if (key == "request_timeout_ms") return ParseLong(key, value, 100, 3600000, &o->request_timeout_ms);
  if (key == "connect_timeout_ms") return ParseLong(key, value, 100, 600000, &o->connect_timeout_ms);
  if (key == "retry_deadline_ms") return ParseLong(key, value, 0, 86400000, &o->retry_deadline_ms);
  if (key == "backoff_ms") return ParseLong(key, value, 1, 600000, &o->backoff_ms);
  if (key == "backoff_max_ms") return ParseLong(key, value, 1, 3600000, &o->backoff_max_ms);
  if (key == "bulk_bytes") {
    Status st = ParseLong(key, value, 1024, 1L << 30, &v);
    if (st.ok()) o->bulk_bytes = static_cast<size_t>(v);
    return st;
  }
  if (key == "inflight") {
    Status st = ParseLong(key, value, 1, 16, &v);
    if (st.ok()) o->inflight = static_cast<int>(v);
    return st;
  }
  if (key == "gzip") return ParseBool(key, value, &o->gzip);
  if (key == "tls_verify") return ParseBool(key, value, &o->tls_verify);
  if (key == "ca_file") {
    o->ca_file = PercentDecode(value);
    return Status::Ok();
  }
  if (key == "api_key") {
    o->api_key = PercentDecode(value);
    return Status::Ok();
  }
  if (key == "on_malformed") {
    if (value == "fail") {
      o->on_malformed = MalformedPolicy::kFail;
    } else if (value == "deadletter") {
      o->on_malformed = MalformedPolicy::kDeadLetter;
    } else {
      return Status::Error("es_url option on_malformed=" + value + " must be fail or deadletter");
    }
    return Status::Ok();
  }
  if (key == "doc_id") return DocIdSource::Parse(PercentDecode(value), &o->doc_id, &o->doc_id_pointer);
  if (key == "op_type") {
    if (value == "index") {
      o->op_type = OpType::kIndex;
    } else if (value == "create") {
      o->op_type = OpType::kCreate;
    } else {
      return Status::Error("es_url option op_type=" + value + " must be index or create");
    }
    return Status::Ok();
  }
  if (key == "pipeline") {
    o->pipeline = PercentDecode(value);
    if (o->pipeline.empty()) return Status::Error("es_url option pipeline= must name an ingest pipeline");
    return Status::Ok();
  }
  if (key == "metrics_listen") {
    ListenAddress a;
    Status st = ParseListenAddress(PercentDecode(value), &a);
    if (st.ok()) o->metrics_listen = PercentDecode(value);
    return st;
  }
  if (key == "metrics_file") {
    o->metrics_file = PercentDecode(value);
    if (o->metrics_file.empty() || o->metrics_file.back() == '/') {
      return Status::Error("es_url option metrics_file=" + o->metrics_file + " must name a file");
    }
    return Status::Ok();
  }
  return Status::Error("es_url has an unknown option \"" + key + "\"");
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
                             : ParseOption(key, value, &cfg.options);
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

}  // namespace eswriter
