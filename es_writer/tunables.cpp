// The table of tunables and what applies each of them to Options.
#include "tunables.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "doc_id.h"

namespace eswriter {

namespace {

std::string Assignment(const Tunable& t, const std::string& value) {
  return "es_url option " + std::string(t.name) + "=" + value;
}

template <typename T, T Options::*kField>
Status SetNumber(const Tunable& t, const std::string& value, Options* o) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != 0 || errno != 0 || v < t.min || v > t.max) {
    return Status::Error(Assignment(t, value) + " is not a number from " + std::to_string(t.min) + " to " +
                         std::to_string(t.max));
  }
  o->*kField = static_cast<T>(v);
  return Status::Ok();
}

template <bool Options::*kField>
Status SetBool(const Tunable& t, const std::string& value, Options* o) {
  if (value == "1" || value == "true") {
    o->*kField = true;
  } else if (value == "0" || value == "false") {
    o->*kField = false;
  } else {
    return Status::Error(Assignment(t, value) + " must be 1, 0, true or false");
  }
  return Status::Ok();
}

template <std::string Options::*kField>
Status SetText(const Tunable&, const std::string& value, Options* o) {
  o->*kField = PercentDecode(value);
  return Status::Ok();
}

Status SetOnMalformed(const Tunable& t, const std::string& value, Options* o) {
  if (value == "fail") {
    o->on_malformed = MalformedPolicy::kFail;
  } else if (value == "deadletter") {
    o->on_malformed = MalformedPolicy::kDeadLetter;
  } else {
    return Status::Error(Assignment(t, value) + " must be fail or deadletter");
  }
  return Status::Ok();
}

Status SetDocId(const Tunable&, const std::string& value, Options* o) {
  return DocIdSource::Parse(PercentDecode(value), &o->doc_id, &o->doc_id_pointer);
}

Status SetOpType(const Tunable& t, const std::string& value, Options* o) {
  if (value == "index") {
    o->op_type = OpType::kIndex;
  } else if (value == "create") {
    o->op_type = OpType::kCreate;
  } else {
    return Status::Error(Assignment(t, value) + " must be index or create");
  }
  return Status::Ok();
}

Status SetPipeline(const Tunable& t, const std::string& value, Options* o) {
  const std::string name = PercentDecode(value);
  if (name.empty()) return Status::Error(Assignment(t, value) + " must name an ingest pipeline");
  o->pipeline = name;
  return Status::Ok();
}

Status SetMetricsListen(const Tunable&, const std::string& value, Options* o) {
  const std::string text = PercentDecode(value);
  ListenAddress where;
  Status st = ParseListenAddress(text, &where);
  if (!st.ok()) return st;
  o->metrics_listen = text;
  o->metrics_listen_at = where;
  return Status::Ok();
}

Status SetMetricsFile(const Tunable& t, const std::string& value, Options* o) {
  const std::string path = PercentDecode(value);
  if (path.empty() || path.back() == '/') return Status::Error(Assignment(t, path) + " must name a file");
  o->metrics_file = path;
  return Status::Ok();
}

Status SetPreflight(const Tunable& t, const std::string& value, Options* o) {
  if (value != "on" && value != "off") return Status::Error(Assignment(t, value) + " must be on or off");
  o->preflight = value == "on";
  return Status::Ok();
}

Status SetAuditRate(const Tunable& t, const std::string& value, Options* o) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(value.c_str(), &end);
  if (value.empty() || *end != 0 || errno != 0 || !(v >= 0 && v <= 1)) {
    return Status::Error(Assignment(t, value) + " is not a share from 0 to 1 (0.01: one document in a hundred)");
  }
  o->audit_rate = v;
  return Status::Ok();
}

Status SetSigV4(const Tunable& t, const std::string& value, Options* o) {
  const std::string text = PercentDecode(value);
  const size_t colon = text.find(':');
  const std::string region = text.substr(0, colon);
  const std::string service = colon == std::string::npos ? "es" : text.substr(colon + 1);
  auto word = [](const std::string& w) {
    if (w.empty()) return false;
    for (char c : w) {
      if (!isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    }
    return true;
  };
  if (!word(region) || !word(service)) {
    return Status::Error(Assignment(t, value) + " must be REGION or REGION:SERVICE, e.g. eu-west-1 or us-east-1:aoss");
  }
  o->aws_region = region;
  o->aws_service = service;
  return Status::Ok();
}

const long kMaxMillis = 3600000;  // an hour

}  // namespace

const std::vector<Tunable>& Tunables() {
  static const std::vector<Tunable> table = {
      {"request_timeout_ms", "30000", "30000", 100, kMaxMillis, "time limit of one HTTP request",
       SetNumber<long, &Options::request_timeout_ms>},
      {"connect_timeout_ms", "5000", "5000", 100, 600000, "time limit of a connection attempt",
       SetNumber<long, &Options::connect_timeout_ms>},
      {"retry_deadline_ms", "180000", "180000", 0, 86400000,
       "how long a document is retried after its first failed attempt before the commit fails",
       SetNumber<long, &Options::retry_deadline_ms>},
      {"backoff_ms", "100", "100", 1, 600000, "first wait between retries (exponential, with jitter)",
       SetNumber<long, &Options::backoff_ms>},
      {"backoff_max_ms", "10000", "10000", 1, kMaxMillis, "largest wait between retries",
       SetNumber<long, &Options::backoff_max_ms>},
      {"bulk_bytes", "10485760", "10485760", 1024, 1L << 30, "byte cap of one bulk request",
       SetNumber<size_t, &Options::bulk_bytes>},
      {"inflight", "2", "2", 1, 16, "bulk requests in flight (1: strictly in order)", SetNumber<int, &Options::inflight>},
      {"gzip", "0", "0", 0, 0, "compress request bodies (1/0)", SetBool<&Options::gzip>},
      {"tls_verify", "1", "1", 0, 0, "verify the server certificate and host name (0 turns it off)",
       SetBool<&Options::tls_verify>},
      {"ca_file", nullptr, "system CAs", 0, 0, "CA certificate file for TLS", SetText<&Options::ca_file>},
      {"api_key", nullptr, "", 0, 0, "Authorization: ApiKey <value> instead of the URL's user and password",
       SetText<&Options::api_key>},
      {"on_malformed", "fail", "fail", 0, 0, "malformed documents: fail the commit, or deadletter and go on",
       SetOnMalformed},
      {"doc_id", "none", "none", 0, 0, "where each document's _id comes from: none, a JSON Pointer, or hash",
       SetDocId},
      {"op_type", "index", "index", 0, 0, "the bulk action: index or create", SetOpType},
      {"pipeline", nullptr, "", 0, 0, "name of an ingest pipeline for every bulk request", SetPipeline},
      {"metrics_listen", nullptr, "off", 0, 0, "HOST:PORT on which to serve GET /metrics", SetMetricsListen},
      {"metrics_file", nullptr, "off", 0, 0, "a file rewritten with the metrics text", SetMetricsFile},
      {"preflight", "on", "on", 0, 0, "the checks of initialize: write right, pipeline, write block (on/off)",
       SetPreflight},
      {"audit_rate", "0", "0", 0, 0, "share of acknowledged documents read back to check they are there",
       SetAuditRate},
      {"audit_delay_ms", "2000", "2000", 0, kMaxMillis, "how long after its acknowledgement a sample is read back",
       SetNumber<long, &Options::audit_delay_ms>},
      {"aws_sigv4", nullptr, "off", 0, 0, "sign requests with AWS Signature Version 4: REGION or REGION:SERVICE",
       SetSigV4},
      {"aws_credentials_file", nullptr, "the URL's user and password", 0, 0,
       "an AWS credentials file (access key, secret, session token)", SetText<&Options::aws_credentials_file>},
  };
  return table;
}

Options DefaultOptions() {
  Options o;
  for (const Tunable& t : Tunables()) {
    if (t.default_value != nullptr) (void)t.apply(t, t.default_value, &o);
  }
  return o;
}

Status ApplyTunable(const std::string& key, const std::string& value, Options* o) {
  for (const Tunable& t : Tunables()) {
    if (key == t.name) return t.apply(t, value, o);
  }
  return Status::Error("es_url has an unknown option \"" + key + "\"");
}

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

std::string UrlEncode(const std::string& s, bool keep_slash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (keep_slash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace eswriter
