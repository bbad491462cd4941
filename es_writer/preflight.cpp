// The preflight checks of initialize.
#include "preflight.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "bulk.h"
#include "tunables.h"

namespace eswriter {

namespace {

std::string JsonQuote(const std::string& s) {
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
  return std::string(sb.GetString(), sb.GetSize());
}

bool Parse(const HttpResponse& r, rapidjson::Document* doc) {
  doc->Parse<rapidjson::kParseIterativeFlag>(r.body.data(), r.body.size());
  return !doc->HasParseError() && doc->IsObject();
}

const char* const kSkip = "; preflight=off in es_url skips the checks of initialize";

Status CheckWriteRight(HttpClient& http, const Node& node, const Options& o, const std::string& index,
                       std::vector<std::string>* not_checked) {
  const std::string right = o.op_type == OpType::kCreate ? "create_doc" : "index";
  const std::string body = "{\"index\":[{\"names\":[" + JsonQuote(index) + "],\"privileges\":[\"" + right + "\"]}]}";
  const HttpResponse r = http.PostJson(node, "/_security/user/_has_privileges", body);
  if (r.status == 403) {
    not_checked->push_back("the " + right + " right on index " + index + " (HTTP 403)");
    return Status::Ok();
  }
  rapidjson::Document doc;
  if (r.status != 200 || !Parse(r, &doc)) return Status::Ok();  // no security here: nothing to check
  auto all = doc.FindMember("has_all_requested");
  if (all == doc.MemberEnd() || !all->value.IsBool() || all->value.GetBool()) return Status::Ok();
  auto user = doc.FindMember("username");
  const std::string who = user != doc.MemberEnd() && user->value.IsString() ? Cut(user->value.GetString(), 100) : "?";
  return Status::Error("the user " + who + " has no " + right + " right on index " + Cut(index, 300) + kSkip);
}

Status CheckPipeline(HttpClient& http, const Node& node, const Options& o, std::vector<std::string>* not_checked) {
  if (o.pipeline.empty()) return Status::Ok();
  const HttpResponse r = http.Get(node, "/_ingest/pipeline/" + UrlEncode(o.pipeline));
  if (r.status == 404) return Status::Error("ingest pipeline " + Cut(o.pipeline, 300) + " does not exist" + kSkip);
  if (r.status == 403) not_checked->push_back("ingest pipeline " + Cut(o.pipeline, 300) + " (HTTP 403)");
  return Status::Ok();
}

Status CheckWriteBlock(HttpClient& http, const Node& node, const std::string& index,
                       std::vector<std::string>* not_checked) {
  const HttpResponse r =
      http.Get(node, "/" + UrlEncode(index) + "/_settings?filter_path=*.settings.index.blocks");
  if (r.status == 403) {
    not_checked->push_back("the write block of index " + Cut(index, 300) + " (HTTP 403)");
    return Status::Ok();
  }
  rapidjson::Document doc;
  if (r.status != 200 || !Parse(r, &doc)) return Status::Ok();  // 404: made by the first write
  // The index itself, or a data stream's write index: its newest backing index (.ds-<name>-...-<generation>).
  const rapidjson::Value* target = nullptr;
  std::string name;
  for (auto m = doc.MemberBegin(); m != doc.MemberEnd(); ++m) {
    const std::string key(m->name.GetString(), m->name.GetStringLength());
    const bool backing = key.compare(0, 4, ".ds-") == 0;
    if (doc.MemberCount() == 1 || (backing && key > name)) {
      target = &m->value;
      name = key;
    }
  }
  if (target == nullptr || !target->IsObject()) return Status::Ok();  // an alias over several indices
  // Nested form ({"settings":{"index":{"blocks":{"write":"true"}}}}): filter_path cannot select flat keys.
  const rapidjson::Value* blocks = target;
  for (const char* step : {"settings", "index", "blocks"}) {
    auto m = blocks->FindMember(step);
    if (m == blocks->MemberEnd() || !m->value.IsObject()) return Status::Ok();
    blocks = &m->value;
  }
  for (const char* block : {"write", "read_only", "read_only_allow_delete"}) {
    auto b = blocks->FindMember(block);
    const bool on = b != blocks->MemberEnd() &&
                    ((b->value.IsString() && std::string(b->value.GetString()) == "true") ||
                     (b->value.IsBool() && b->value.GetBool()));
    if (on) {
      return Status::Error("index " + Cut(name, 300) + " is write-blocked (index.blocks." + block + "=true)" + kSkip);
    }
  }
  return Status::Ok();
}

}  // namespace

Status Preflight(HttpClient& http, const Node& node, const Options& options, const std::string& index,
                 std::vector<std::string>* not_checked) {
  Status st = CheckWriteRight(http, node, options, index, not_checked);
  if (st.ok()) st = CheckPipeline(http, node, options, not_checked);
  if (st.ok()) st = CheckWriteBlock(http, node, index, not_checked);
  return st;
}

}  // namespace eswriter
