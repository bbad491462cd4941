// The version probe: the root endpoint, or the node's own info where the root is not served.
#include "version_probe.h"

#include <cctype>
#include <cstdlib>

#include <rapidjson/document.h>

#include "bulk.h"
#include "reply.h"

namespace eswriter {

namespace {

// The root reply is a small object; a node that sends more is not an engine.
const size_t kMaxRootReplyBytes = 1 << 20;

// The major version of a version text such as "8.12.1"; false when it does not start with a digit.
bool ParseMajor(const std::string& v, int* major) {
  if (v.empty() || !isdigit(static_cast<unsigned char>(v[0]))) return false;
  *major = atoi(v.c_str());
  return true;
}

// The string member key of object o, or "".
std::string Member(const rapidjson::Value& o, const char* key) {
  if (!o.IsObject()) return "";
  auto m = o.FindMember(key);
  return m != o.MemberEnd() && m->value.IsString() ? std::string(m->value.GetString(), m->value.GetStringLength()) : "";
}

// version.number and version.distribution of a root reply, or the version of the first node of a
// nodes-info reply ({"nodes":{"<id>":{"version":"8.19.2"}}}).
void ReadVersion(const std::string& body, bool nodes_info, std::string* number, std::string* distribution) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(body.data(), body.size());  // no recursion on hostile nesting
  if (doc.HasParseError() || !doc.IsObject()) return;
  if (nodes_info) {
    auto nodes = doc.FindMember("nodes");
    if (nodes == doc.MemberEnd() || !nodes->value.IsObject() || nodes->value.MemberCount() == 0) return;
    const rapidjson::Value& node = nodes->value.MemberBegin()->value;
    *number = Member(node, "version");
    *distribution = Member(node, "distribution");
    return;
  }
  auto v = doc.FindMember("version");
  if (v == doc.MemberEnd()) return;
  *number = Member(v->value, "number");
  *distribution = Member(v->value, "distribution");
}

}  // namespace

Status ProbeVersion(HttpClient& http, const Node& node, EngineVersion* out) {
  const std::string who = "node " + node.display;
  HttpResponse resp = http.Get(node, "/", nullptr, kMaxRootReplyBytes);
  bool nodes_info = false;
  if (resp.status == 403 || resp.status == 404 || resp.status == 405) {
    // No root endpoint, or not for this user: the node's own info says the same.
    HttpResponse info = http.Get(node, "/_nodes/_local?filter_path=nodes.*.version,nodes.*.distribution", nullptr,
                                 kMaxRootReplyBytes);
    // The engine's security says not ours to read (a root that is absent or forbidden, and the node's
    // info forbidden): the flag is trusted.
    if (info.status == 403 && RequestError(info.body).rfind("security_exception", 0) == 0) {
      *out = EngineVersion();
      return Status::Ok();
    }
    if (info.status == 200) {
      resp = info;
      nodes_info = true;
    }
  }
  if (resp.status == 0) return Status::Error(who + ": cannot connect: " + resp.error);
  if (resp.status == 401) return Status::Error(who + ": authentication failed (HTTP 401): check the user and password or api_key");
  if (resp.status == 403) return Status::Error(who + ": authorisation failed (HTTP 403): " + RequestError(resp.body));
  if (resp.status != 200) return Status::Error(who + ": the root endpoint answered HTTP " + std::to_string(resp.status));
  if (resp.too_large) return Status::Error(who + ": " + resp.error);
  std::string number, distribution;
  ReadVersion(resp.body, nodes_info, &number, &distribution);
  EngineVersion v;
  v.number = Cut(number, 40);  // quoted in messages: escaped and short
  if (!ParseMajor(number, &v.major)) {
    return Status::Error(who + (nodes_info ? ": the node info reports no version" : ": the root endpoint reports no version.number"));
  }
  v.known = true;
  v.opensearch = distribution == "opensearch";
  *out = v;
  return Status::Ok();
}

Status CheckVersionFlag(const Node& node, const EngineVersion& v, bool is_v8) {
  if (!v.known) return Status::Ok();
  const std::string who = "node " + node.display;
  if (v.opensearch) {
    if (is_v8) return Status::Error(who + " runs OpenSearch " + v.number + ", which speaks the 7 API: use es_version v7");
    return Status::Ok();
  }
  if (is_v8 && v.major < 8) return Status::Error(who + " reports version " + v.number + ", but es_version is v8");
  if (!is_v8 && v.major != 7) return Status::Error(who + " reports version " + v.number + ", but es_version is v7");
  return Status::Ok();
}

int CompatibilityWith(const EngineVersion& v, bool is_v8) { return v.known && !v.opensearch && is_v8 && v.major >= 9 ? 8 : 0; }

}  // namespace eswriter
