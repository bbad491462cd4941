// The version probe of initialize: what each node says it runs, checked against the version flag.
//
// A node is asked GET /. Where the root endpoint is not served (a distribution without it answers 404
// or 405) the node's own entry of GET /_nodes/_local is asked instead. A node that refuses both with
// 403 (a user without the monitor privilege) is not checked: the flag is trusted, and the caller logs
// that once. Elasticsearch 9 and later is served under v8 through the engine's REST compatibility
// with 8 (compat_with).
#pragma once

#include <string>

#include "config.h"
#include "http_client.h"
#include "status.h"

namespace eswriter {

struct EngineVersion {
  bool known = false;       // false: the node did not let us read it (403)
  bool opensearch = false;
  int major = 0;
  std::string number;       // as the node reports it, cut and escaped for messages
};

// Asks the node; an error when it cannot be reached, refuses the credentials or reports no version.
Status ProbeVersion(HttpClient& http, const Node& node, EngineVersion* out);

// An error when the version does not fit the flag: v8 needs Elasticsearch 8 or later, v7 Elasticsearch
// 7 or OpenSearch (which speaks the 7 API).
Status CheckVersionFlag(const Node& node, const EngineVersion& v, bool is_v8);

// The REST compatibility version to ask for with this flag and engine (0: none): 8 for Elasticsearch 9
// and later under v8.
int CompatibilityWith(const EngineVersion& v, bool is_v8);

}  // namespace eswriter
