// NDJSON bulk bodies and the classification of bulk replies.
#include "bulk.h"

#include <cstring>

#include <rapidjson/document.h>

#include "shared/prefetch.h"
#include "shared/safe_text.h"

namespace eswriter {

LineBreaks FindLineBreaks(const char* doc, size_t len) {
  if (memchr(doc, '\n', len) == nullptr && memchr(doc, '\r', len) == nullptr) return LineBreaks::kNone;
  bool in_string = false;
  for (size_t i = 0; i < len; ++i) {
    const char c = doc[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character, whatever it is, belongs to the string
        if (i < len && (doc[i] == '\n' || doc[i] == '\r')) return LineBreaks::kInsideAString;
      } else if (c == '"') {
        in_string = false;
      } else if (c == '\n' || c == '\r') {
        return LineBreaks::kInsideAString;
      }
    } else if (c == '"') {
      in_string = true;
    }
  }
  return LineBreaks::kBetweenTokens;
}

void Bulk::Add(const char* doc, size_t len, const std::string& id_fragment, LineBreaks breaks) {
  body_.reserve(body_.size() + AddedBytes(len, id_fragment.size()));  // one growth: a failure changes nothing
  const size_t action = body_.size();
  body_.append(action_head_);
  body_.append(id_fragment);
  body_.append("}}\n", 3);
  size_t start = body_.size();
  body_.append(doc, len);
  if (breaks != LineBreaks::kNone) {
    for (size_t i = start; i < body_.size(); ++i) {
      if (body_[i] == '\n' || body_[i] == '\r') body_[i] = ' ';
    }
  }
  spans_.push_back(Span{action, start, body_.size() - start});
  body_.push_back('\n');
  ClaimAhead(len);
}

void Bulk::ClaimAhead(size_t len) {
  // The next document goes right after this one, into lines that are usually not in this core's
  // cache (a body is up to bulk_bytes, and the one before it was sent from another thread). Claimed
  // now, with a write prefetch, they arrive while the caller works on its next document; otherwise
  // the caller's next locked instruction (the library's lock, a metrics counter) waits for every
  // store of the copy to reach its line. Only the reserved room is touched, a document's size ahead
  // (at least one action line, at most 4 KB, beyond which the hardware's own prefetch keeps up).
  const size_t from = body_.size();
  const size_t want = len + 64 < 4096 ? len + 64 : 4096;
  const size_t to = from + want < body_.capacity() ? from + want : body_.capacity();
  const char* base = body_.data();
  for (size_t at = from & ~static_cast<size_t>(63); at < to; at += 64) ostrel::PrefetchForWrite(base + at);
}

void Bulk::Reserve(size_t bytes, size_t count) {
  try {
    body_.reserve(bytes + bytes / 16);
    spans_.reserve(count);
  } catch (const std::exception&) {
    // only a hint: the bulk grows as it is filled
  }
}

Bulk Bulk::Subset(const std::vector<size_t>& indexes) const {
  Bulk out(action_head_);
  out.generation = generation;
  out.AddFrom(*this, indexes);
  return out;
}

void Bulk::AddFrom(const Bulk& other, const std::vector<size_t>& indexes,
                   const std::chrono::steady_clock::time_point* rejected_now) {
  // Action lines are copied as they are (with their ids); payloads hold no raw line break any more.
  for (size_t i : indexes) {
    const Span& sp = other.spans_[i];
    const size_t action = body_.size();
    body_.append(other.body_, sp.action, sp.start - sp.action);
    const size_t start = body_.size();
    body_.append(other.body_, sp.start, sp.len);
    spans_.push_back(Span{action, start, sp.len});
    body_.push_back('\n');
    if (other.HasRejectionTimes()) {
      rejected_since_.push_back(other.rejected_since_[i]);
    } else if (rejected_now != nullptr) {
      rejected_since_.push_back(*rejected_now);
    }
  }
}

bool IsMalformedType(const std::string& type) {
  return type == "mapper_parsing_exception" || type == "document_parsing_exception" ||
         type == "strict_dynamic_mapping_exception" || type == "illegal_argument_exception" ||
         type == "action_request_validation_exception" || type == "json_parse_exception";
}

bool IsSettingsError(const ItemError& e) {
  if (e.type != "illegal_argument_exception") return false;
  const std::string& r = e.reason;
  return (r.compare(0, 18, "pipeline with id [") == 0 && r.find("] does not exist") != std::string::npos) ||
         r.find("only write ops with an op_type of create are allowed in data streams") != std::string::npos;
}

std::string Cut(const std::string& text, size_t n) {
  // Texts cut here come from the engine: escaped, so that a reply cannot forge a log line.
  if (text.size() <= n) return ostrel::EscapeControls(text);
  return ostrel::EscapeControls(text.substr(0, n)) + "...";
}

namespace {

bool IsRetryableItem(long status, const std::string& type) {
  return status == 429 || type == "es_rejected_execution_exception" || type == "circuit_breaking_exception" ||
         type == "unavailable_shards_exception" || type == "no_shard_available_action_exception" ||
         type == "node_not_connected_exception" || type == "node_disconnected_exception";
}

// "type: reason" of a request-level error body, or a cut of the raw body.
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
  }
  return Cut(body, 200);
}

}  // namespace

bool ScanCleanReply(const std::string& body, size_t n, size_t* updated) {
  // Exactly {"errors":false,"items":[I,I,...]} with I = {"<op>":{M,M}}, M = "status":2xx or
  // "result":"<word>", as the engine writes it under filter_path. Anything else is left to the parser.
  static const char kHead[] = "{\"errors\":false,\"items\":[";
  const char* p = body.data();
  const char* const end = p + body.size();
  const size_t head = sizeof(kHead) - 1;
  if (body.size() < head + 2 || memcmp(p, kHead, head) != 0) return false;
  p += head;
  auto take = [&](const char* lit, size_t len) {
    if (static_cast<size_t>(end - p) < len || memcmp(p, lit, len) != 0) return false;
    p += len;
    return true;
  };
  auto word = [&]() {  // a run of [a-z_] and its closing quote
    const char* start = p;
    while (p < end && ((*p >= 'a' && *p <= 'z') || *p == '_')) ++p;
    return p != start && p < end && *p++ == '"';
  };
  size_t items = 0, replaced = 0;
  if (p < end && *p == ']') {
    ++p;
  } else {
    for (;;) {
      if (!take("{\"", 2) || !word() || !take(":{", 2)) return false;
      bool has_status = false, has_result = false;
      for (;;) {
        if (!has_status && take("\"status\":", 9)) {
          if (end - p < 3 || p[0] != '2' || p[1] < '0' || p[1] > '9' || p[2] < '0' || p[2] > '9') return false;
          p += 3;
          has_status = true;
        } else if (!has_result && take("\"result\":\"", 10)) {
          const char* w = p;
          if (!word()) return false;
          if (p - w == 8 && memcmp(w, "updated", 7) == 0) ++replaced;
          has_result = true;
        } else {
          return false;
        }
        if (take(",", 1)) continue;
        if (take("}}", 2)) break;
        return false;
      }
      if (!has_status) return false;
      ++items;
      if (take(",", 1)) continue;
      if (take("]", 1)) break;
      return false;
    }
  }
  if (!take("}", 1) || p != end || items != n) return false;
  *updated = replaced;
  return true;
}

ReplyOutcome ClassifyReply(long status, const std::string& body, const std::string& transport_error, size_t n,
                           bool conflict_is_present) {
  ReplyOutcome out;
  if (status == 0) {
    out.kind = ReplyKind::kRetryAll;
    out.error = "no answer: " + transport_error;
    return out;
  }
  if (status == 413 || status == 417) {
    out.kind = ReplyKind::kSplit;
    out.error = "HTTP " + std::to_string(status) + " (request too large)";
    return out;
  }
  if (status == 429 || status == 502 || status == 503 || status == 504) {
    out.kind = ReplyKind::kRetryAll;
    out.error = "HTTP " + std::to_string(status) + " " + RequestError(body);
    return out;
  }
  if (status < 200 || status > 299) {
    out.kind = ReplyKind::kFatal;
    out.error = "HTTP " + std::to_string(status) + " " + RequestError(body);
    return out;
  }

  // The common case, every item stored, without building a document of the reply.
  if (ScanCleanReply(body, n, &out.updated)) return out;

  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(body.data(), body.size());  // no recursion on hostile nesting
  if (doc.HasParseError() || !doc.IsObject()) {
    out.kind = ReplyKind::kFatal;
    out.error = "the bulk reply cannot be parsed: " + Cut(body, 200);
    return out;
  }
  auto items = doc.FindMember("items");
  if (items == doc.MemberEnd() || !items->value.IsArray()) {
    out.kind = ReplyKind::kFatal;
    out.error = "the bulk reply has no items: " + Cut(body, 200);
    return out;
  }
  if (items->value.Size() != n) {
    out.kind = ReplyKind::kFatal;
    out.error = "the bulk reply has " + std::to_string(items->value.Size()) + " items for " + std::to_string(n) +
                " documents sent";
    return out;
  }
  auto errors = doc.FindMember("errors");
  if (errors != doc.MemberEnd() && errors->value.IsBool() && !errors->value.GetBool()) {
    // No item failed; still make sure every item carries a success status.
    bool all_ok = true;
    for (const auto& item : items->value.GetArray()) {
      if (!item.IsObject() || item.MemberCount() != 1 || !item.MemberBegin()->value.IsObject()) {
        all_ok = false;
        break;
      }
      const auto& result = item.MemberBegin()->value;
      auto st = result.FindMember("status");
      if (st == result.MemberEnd() || !st->value.IsInt() || st->value.GetInt() < 200 || st->value.GetInt() > 299) {
        all_ok = false;
        break;
      }
      auto r = result.FindMember("result");
      if (r != result.MemberEnd() && r->value.IsString() && strcmp(r->value.GetString(), "updated") == 0) ++out.updated;
    }
    if (all_ok) return out;
    out.updated = 0;
  }
  size_t i = 0;
  for (const auto& item : items->value.GetArray()) {
    if (!item.IsObject() || item.MemberCount() != 1 || !item.MemberBegin()->value.IsObject()) {
      out.kind = ReplyKind::kFatal;
      out.error = "the bulk reply has a malformed item at position " + std::to_string(i);
      out.retry.clear();
      out.refused.clear();
      out.present.clear();
      out.updated = 0;
      return out;
    }
    const auto& result = item.MemberBegin()->value;
    auto st = result.FindMember("status");
    long item_status = st != result.MemberEnd() && st->value.IsInt() ? st->value.GetInt() : 0;
    std::string type, reason;
    auto err = result.FindMember("error");
    if (err != result.MemberEnd()) {
      if (err->value.IsObject()) {
        auto t = err->value.FindMember("type");
        auto r = err->value.FindMember("reason");
        if (t != err->value.MemberEnd() && t->value.IsString()) type = t->value.GetString();
        if (r != err->value.MemberEnd() && r->value.IsString()) reason = r->value.GetString();
      } else if (err->value.IsString()) {
        reason = err->value.GetString();
      }
    }
    if (item_status >= 200 && item_status <= 299 && err == result.MemberEnd()) {
      auto r = result.FindMember("result");
      if (r != result.MemberEnd() && r->value.IsString() && strcmp(r->value.GetString(), "updated") == 0) ++out.updated;
    } else if (conflict_is_present && item_status == 409 && type == "version_conflict_engine_exception") {
      out.present.push_back(i);
    } else if (IsRetryableItem(item_status, type)) {
      out.retry.push_back(i);
    } else {
      ItemError e;
      e.index = i;
      e.status = item_status;
      e.type = type.empty() ? "unknown" : Cut(type, 100);
      e.reason = Cut(reason, 300);
      out.refused.push_back(e);
    }
    ++i;
  }
  return out;
}

}  // namespace eswriter
