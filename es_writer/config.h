// Writer configuration: the node list and tunables parsed from es_url, and the argument checks.
//
// es_url is one base URL or a comma-separated list ("http://a:9200,https://user:pw@b:9243/prefix"),
// optionally followed by "?key=value&..." tunables that apply to every node.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sigv4.h"
#include "status.h"

namespace eswriter {

struct Node {
  std::string base;     // scheme://host[:port][/prefix], no user information, no trailing '/'
  std::string user;     // percent-decoded
  std::string password; // percent-decoded; never logged or put in an error text
  std::string display;  // base, for messages and logs
};

enum class MalformedPolicy { kFail, kDeadLetter };
enum class DocIdMode { kNone, kPointer, kHash };  // where a document's _id comes from
enum class OpType { kIndex, kCreate };            // the bulk action

// Where metrics_listen points: a numeric IPv4 address or a bracketed IPv6 one, and a port (0: any
// free one).
struct ListenAddress {
  std::string host;  // without brackets
  int port = 0;
  bool ipv6 = false;
};

// The tunables of es_url's query. Their defaults, ranges and meaning are in one table (tunables.h):
// DefaultOptions() gives every field its default; the zeros here are never used as settings.
struct Options {
  long request_timeout_ms = 0;
  long connect_timeout_ms = 0;
  long retry_deadline_ms = 0;
  long backoff_ms = 0;
  long backoff_max_ms = 0;
  size_t bulk_bytes = 0;
  int inflight = 0;
  bool gzip = false;
  bool tls_verify = false;
  std::string ca_file;
  std::string api_key;
  MalformedPolicy on_malformed = MalformedPolicy::kFail;
  DocIdMode doc_id = DocIdMode::kNone;
  std::string doc_id_pointer;  // with kPointer: the JSON Pointer, as given (decoded)
  OpType op_type = OpType::kIndex;
  std::string pipeline;             // ingest pipeline of every bulk request; empty: none
  std::string metrics_listen;       // HOST:PORT of the scrape endpoint as given; empty: none
  ListenAddress metrics_listen_at;  // ... parsed
  std::string metrics_file;         // file rewritten with the metrics text; empty: none
  bool preflight = false;           // the checks of initialize (preflight.h)
  double audit_rate = 0;            // share of acknowledged documents the audit reads back (audit.h)
  long audit_delay_ms = 0;          // ... after this long
  std::string aws_region;           // AWS Signature Version 4 when not empty: the region
  std::string aws_service;          // ... and the service (es, or aoss for serverless)
  std::string aws_credentials_file; // access key, secret and session token; else the URL's user information
  AwsCredentials aws_credentials;   // not a tunable: read from aws_credentials_file by initialize
  // Not a tunable: set by initialize from the version probe. The REST compatibility version to ask
  // for in every request (8 for Elasticsearch 9 under es_version v8), 0 for none.
  int compat_with = 0;
};

struct Config {
  std::vector<Node> nodes;
  Options options;
};

// Parses es_url into nodes and options; the error names the problem (never a password). *out is
// written only on success.
Status ParseEsUrl(const std::string& es_url, Config* out);

// An error when the engine would refuse this index name.
Status CheckIndexName(const std::string& index);

// Copy of text with the password of "scheme://user:password@" replaced by "***".
std::string MaskCredentials(const std::string& text);

// Parses metrics_listen's HOST:PORT; an error names what is wrong.
Status ParseListenAddress(const std::string& text, ListenAddress* out);

}  // namespace eswriter
