// Verdicts on bulk replies: the request's, and each item's.
#include "reply.h"

#include <cstring>

#include <rapidjson/document.h>

#include "bulk.h"

namespace eswriter {

namespace {

// Item error types that mean the document itself is malformed or does not fit the mapping.
bool IsMalformedType(const std::string& type) {
  return type == "mapper_parsing_exception" || type == "document_parsing_exception" ||
         type == "strict_dynamic_mapping_exception" || type == "illegal_argument_exception" ||
         type == "action_request_validation_exception" || type == "json_parse_exception";
}

// A refused item that the document is not to blame for, although its type may say so: the request
// names an ingest pipeline that does not exist, or writes to a data stream with an action it does not
// take (the engine answers both with illegal_argument_exception for every document).
bool IsSettingsError(const std::string& type, const std::string& reason) {
  if (type != "illegal_argument_exception") return false;
  return (reason.compare(0, 18, "pipeline with id [") == 0 && reason.find("] does not exist") != std::string::npos) ||
         reason.find("only write ops with an op_type of create are allowed in data streams") != std::string::npos;
}

}  // namespace

// "type: reason" of a request-level error body, AWS's "message", or a cut of the raw body.
std::string RequestError(const std::string& body) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(body.data(), body.size());  // no recursion on hostile nesting
  if (!doc.HasParseError() && doc.IsObject()) {
    auto err = doc.FindMember("error");
    if (err != doc.MemberEnd()) {
      if (err->value.IsString()) return Cut(err->value.GetString(), 300);
      if (err->value.IsObject()) {
        std::string type, reason;
        auto t = err->value.FindMember("type");
        auto r = err->value.FindMember("reason");
        if (t != err->value.MemberEnd() && t->value.IsString()) type = t->value.GetString();
        if (r != err->value.MemberEnd() && r->value.IsString()) reason = r->value.GetString();
        return Cut(type, 100) + ": " + Cut(reason, 300);
      }
    }
    auto message = doc.FindMember("message");
    if (message != doc.MemberEnd() && message->value.IsString()) return Cut(message->value.GetString(), 300);
  }
  return Cut(body, 200);
}

namespace {


// The type of a request-level error body ("" when it has none).
std::string RequestErrorType(const std::string& body) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(body.data(), body.size());
  if (doc.HasParseError() || !doc.IsObject()) return "";
  auto err = doc.FindMember("error");
  if (err == doc.MemberEnd() || !err->value.IsObject()) return "";
  auto t = err->value.FindMember("type");
  return t != err->value.MemberEnd() && t->value.IsString() ? t->value.GetString() : "";
}

ReplyOutcome Request(ReplyKind kind, RetryReason reason, std::string error) {
  ReplyOutcome out;
  out.kind = kind;
  out.reason = reason;
  out.error = std::move(error);
  return out;
}

// Reads one item ({"<op>":{"status":...,"error":{...}}}) into *e: stored (a 2xx status without an
// error), replaced (stored over a document with the same _id). False when the item is malformed.
bool ReadItem(const rapidjson::Value& item, ItemError* e, bool* stored, bool* replaced) {
  if (!item.IsObject() || item.MemberCount() != 1 || !item.MemberBegin()->value.IsObject()) return false;
  const auto& result = item.MemberBegin()->value;
  auto st = result.FindMember("status");
  e->status = st != result.MemberEnd() && st->value.IsInt() ? st->value.GetInt() : 0;
  e->type.clear();
  e->reason.clear();
  auto err = result.FindMember("error");
  if (err != result.MemberEnd()) {
    if (err->value.IsObject()) {
      auto t = err->value.FindMember("type");
      auto r = err->value.FindMember("reason");
      if (t != err->value.MemberEnd() && t->value.IsString()) e->type = t->value.GetString();
      if (r != err->value.MemberEnd() && r->value.IsString()) e->reason = r->value.GetString();
    } else if (err->value.IsString()) {
      e->reason = err->value.GetString();
    }
  }
  *stored = e->status >= 200 && e->status <= 299 && err == result.MemberEnd();
  auto r = result.FindMember("result");
  *replaced = *stored && r != result.MemberEnd() && r->value.IsString() && strcmp(r->value.GetString(), "updated") == 0;
  return true;
}

}  // namespace

RetryReason ReasonOf(Verdict v) {
  switch (v) {
    case Verdict::kCircuitBreaker: return RetryReason::kItemsCircuitBreaker;
    case Verdict::kUnavailable: return RetryReason::kItemsUnavailable;
    default: return RetryReason::kItems429;
  }
}

const char* Describe(Verdict v) {
  switch (v) {
    case Verdict::kStored: return "stored";
    case Verdict::kPresent: return "already present";
    case Verdict::kRejected: return "429";
    case Verdict::kCircuitBreaker: return "circuit breaker";
    case Verdict::kUnavailable: return "shard unavailable";
    case Verdict::kMalformed: return "malformed";
    case Verdict::kSettings: return "settings";
    case Verdict::kRefused: return "refused";
  }
  return "refused";
}

Verdict ItemVerdict(long status, const std::string& type, const std::string& reason, bool conflict_is_present) {
  if (conflict_is_present && status == 409 && type == "version_conflict_engine_exception") return Verdict::kPresent;
  if (type == "circuit_breaking_exception") return Verdict::kCircuitBreaker;
  if (type == "unavailable_shards_exception" || type == "no_shard_available_action_exception" ||
      type == "node_not_connected_exception" || type == "node_disconnected_exception") {
    return Verdict::kUnavailable;
  }
  if (status == 429 || type == "es_rejected_execution_exception") return Verdict::kRejected;
  if (IsSettingsError(type, reason)) return Verdict::kSettings;
  if (IsMalformedType(type)) return Verdict::kMalformed;
  return Verdict::kRefused;
}

std::vector<size_t> ReplyOutcome::Transient() const {
  std::vector<size_t> out;
  for (const ItemError& e : items) {
    if (IsTransient(e.verdict)) out.push_back(e.index);
  }
  return out;
}

namespace {

// Reads a compact reply from p onwards; each call advances p only on success.
struct Cursor {
  const char* p;
  const char* end;
  bool Take(const char* lit, size_t len) {
    if (static_cast<size_t>(end - p) < len || memcmp(p, lit, len) != 0) return false;
    p += len;
    return true;
  }
  // A run of [a-z_] and its closing quote.
  bool Word() {
    const char* start = p;
    while (p < end && ((*p >= 'a' && *p <= 'z') || *p == '_')) ++p;
    return p != start && p < end && *p++ == '"';
  }
  // A string without escapes or control characters and its closing quote; into (if any) gets it.
  bool Text(std::string* into) {
    const char* start = p;
    while (p < end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) ++p;
    if (p == end || *p != '"') return false;
    if (into != nullptr) into->assign(start, static_cast<size_t>(p - start));
    ++p;
    return true;
  }
  bool Status2xx() {
    if (end - p < 3 || p[0] != '2' || p[1] < '0' || p[1] > '9' || p[2] < '0' || p[2] > '9') return false;
    p += 3;
    return true;
  }
};

}  // namespace

bool ScanCleanReply(const std::string& body, size_t n, size_t* updated, const std::vector<size_t>* want_ids,
                    std::vector<std::string>* indexes, std::vector<std::string>* ids) {
  // Exactly {"errors":false,"items":[I,I,...]} with I = {"<op>":{M,M}}, M = "status":2xx or
  // "result":"<word>" (and, when ids are wanted, "_index":"<text>" or "_id":"<text>"), as the engine
  // writes it under filter_path. Anything else is left to the parser.
  static const char kHead[] = "{\"errors\":false,\"items\":[";
  const size_t head = sizeof(kHead) - 1;
  if (body.size() < head + 2 || memcmp(body.data(), kHead, head) != 0) return false;
  Cursor c{body.data() + head, body.data() + body.size()};
  const bool ids_too = want_ids != nullptr && !want_ids->empty();
  size_t next_wanted = 0;
  std::vector<std::string> got_indexes, got_ids;
  size_t items = 0, replaced = 0;
  if (!c.Take("]", 1)) {
    for (;;) {
      if (!c.Take("{\"", 2) || !c.Word() || !c.Take(":{", 2)) return false;
      bool has_status = false, has_result = false, has_index = false, has_id = false;
      const bool wanted = ids_too && next_wanted < want_ids->size() && (*want_ids)[next_wanted] == items;
      if (wanted) {
        got_indexes.emplace_back();
        got_ids.emplace_back();
        ++next_wanted;
      }
      for (;;) {
        if (ids_too && !has_index && c.Take("\"_index\":\"", 10)) {
          if (!c.Text(wanted ? &got_indexes.back() : nullptr)) return false;
          has_index = true;
        } else if (ids_too && !has_id && c.Take("\"_id\":\"", 7)) {
          if (!c.Text(wanted ? &got_ids.back() : nullptr)) return false;
          has_id = true;
        } else if (!has_status && c.Take("\"status\":", 9)) {
          if (!c.Status2xx()) return false;
          has_status = true;
        } else if (!has_result && c.Take("\"result\":\"", 10)) {
          const char* w = c.p;
          if (!c.Word()) return false;
          if (c.p - w == 8 && memcmp(w, "updated", 7) == 0) ++replaced;
          has_result = true;
        } else {
          return false;
        }
        if (c.Take(",", 1)) continue;
        if (c.Take("}}", 2)) break;
        return false;
      }
      if (!has_status) return false;
      ++items;
      if (c.Take(",", 1)) continue;
      if (c.Take("]", 1)) break;
      return false;
    }
  }
  if (!c.Take("}", 1) || c.p != c.end || items != n || next_wanted != (ids_too ? want_ids->size() : 0)) return false;
  *updated = replaced;
  if (ids_too) {
    indexes->swap(got_indexes);
    ids->swap(got_ids);
  }
  return true;
}

ReplyOutcome ClassifyReply(long status, const std::string& body, const std::string& transport_error, bool timed_out,
                           size_t n, bool conflict_is_present, const std::vector<size_t>* want_ids) {
  if (status == 0) {
    return Request(ReplyKind::kRetryAll, timed_out ? RetryReason::kTimeout : RetryReason::kConnection,
                   "no answer: " + transport_error);
  }
  if (status == 413 || status == 417) {
    return Request(ReplyKind::kSplit, RetryReason::kSplit413, "HTTP " + std::to_string(status) + " (request too large)");
  }
  if (status == 429 || status == 502 || status == 503 || status == 504) {
    const RetryReason reason = status != 429                                                   ? RetryReason::kStatus5xx
                               : RequestErrorType(body) == "circuit_breaking_exception" ? RetryReason::kCircuitBreaker
                                                                                          : RetryReason::kStatus429;
    return Request(ReplyKind::kRetryAll, reason, "HTTP " + std::to_string(status) + " " + RequestError(body));
  }
  if (status < 200 || status > 299) {
    return Request(ReplyKind::kFatal, RetryReason::kStatus5xx, "HTTP " + std::to_string(status) + " " + RequestError(body));
  }

  ReplyOutcome out;
  // The common case, every item stored, without building a document of the reply.
  if (ScanCleanReply(body, n, &out.updated, want_ids, &out.indexes, &out.ids)) return out;

  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(body.data(), body.size());  // no recursion on hostile nesting
  if (doc.HasParseError() || !doc.IsObject()) {
    return Request(ReplyKind::kFatal, RetryReason::kStatus5xx, "the bulk reply cannot be parsed: " + Cut(body, 200));
  }
  auto items = doc.FindMember("items");
  if (items == doc.MemberEnd() || !items->value.IsArray()) {
    return Request(ReplyKind::kFatal, RetryReason::kStatus5xx, "the bulk reply has no items: " + Cut(body, 200));
  }
  if (items->value.Size() != n) {
    return Request(ReplyKind::kFatal, RetryReason::kStatus5xx,
                   "the bulk reply has " + std::to_string(items->value.Size()) + " items for " + std::to_string(n) +
                       " documents sent");
  }
  ItemError e;
  size_t next_wanted = 0;
  for (const auto& item : items->value.GetArray()) {
    bool stored = false, replaced = false;
    if (!ReadItem(item, &e, &stored, &replaced)) {
      return Request(ReplyKind::kFatal, RetryReason::kStatus5xx,
                     "the bulk reply has a malformed item at position " + std::to_string(e.index));
    }
    if (want_ids != nullptr && next_wanted < want_ids->size() && (*want_ids)[next_wanted] == e.index) {
      ++next_wanted;
      const auto& meta = item.MemberBegin()->value;
      auto index = meta.FindMember("_index");
      auto id = meta.FindMember("_id");
      out.indexes.push_back(index != meta.MemberEnd() && index->value.IsString() ? index->value.GetString() : "");
      out.ids.push_back(id != meta.MemberEnd() && id->value.IsString() ? id->value.GetString() : "");
    }
    const Verdict v = stored ? Verdict::kStored : ItemVerdict(e.status, e.type, e.reason, conflict_is_present);
    if (v == Verdict::kStored) {
      out.updated += replaced ? 1 : 0;
    } else if (v == Verdict::kPresent) {
      ++out.present;
    } else {
      ItemError kept;
      kept.index = e.index;
      kept.verdict = v;
      kept.status = e.status;
      kept.type = e.type.empty() ? "unknown" : Cut(e.type, 100);
      kept.reason = Cut(e.reason, 300);
      out.items.push_back(std::move(kept));
    }
    ++e.index;
  }
  return out;
}

}  // namespace eswriter
