// Reading and writing the replay tool's NDJSON event format.
#include "event_json.h"

#include <cctype>
#include <cstdlib>
#include <new>

#include <map>

#include <rapidjson/document.h>
#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace cdchost {

namespace {

const ostrel::EventType kTypes[] = {
    ostrel::EventType::T_UNKNOWN,        ostrel::EventType::T_CREATE_DB,    ostrel::EventType::T_DROP_DB,
    ostrel::EventType::T_CREATE_TABLE,   ostrel::EventType::T_DROP_TABLE,   ostrel::EventType::T_CREATE_INDEX,
    ostrel::EventType::T_ALTER_TABLE,    ostrel::EventType::T_DROP_INDEX,   ostrel::EventType::T_RENAME_TABLE,
    ostrel::EventType::T_TRUNCATE_TABLE, ostrel::EventType::T_INSERT,       ostrel::EventType::T_UPDATE,
    ostrel::EventType::T_DELETE,         ostrel::EventType::T_GTIDSET,
};

// RapidJSON's own allocator returns null when memory runs out, and RapidJSON then writes through it.
// This one throws std::bad_alloc instead, which the tool reports as its own failure (exit 5).
struct ThrowingAllocator {
  static const bool kNeedFree = true;
  void* Malloc(size_t size) {
    if (size == 0) return nullptr;
    void* p = std::malloc(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void* Realloc(void* original, size_t, size_t new_size) {
    if (new_size == 0) {
      std::free(original);
      return nullptr;
    }
    void* p = std::realloc(original, new_size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  static void Free(void* p) { std::free(p); }
  bool operator==(const ThrowingAllocator&) const { return true; }
  bool operator!=(const ThrowingAllocator&) const { return false; }
};

using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<ThrowingAllocator>,
                                            ThrowingAllocator>;
using Value = Document::ValueType;

bool Fail(std::string* err, const std::string& text) {
  *err = text;
  return false;
}

bool ReadString(const Value& obj, const char* key, std::string* out, std::string* err) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) return true;
  if (!it->value.IsString()) return Fail(err, std::string("\"") + key + "\" must be a string");
  out->assign(it->value.GetString(), it->value.GetStringLength());
  return true;
}

template <typename T>
bool ReadUint(const Value& obj, const char* key, T* out, std::string* err) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) return true;
  if (!it->value.IsUint64() || it->value.GetUint64() > static_cast<uint64_t>(static_cast<T>(-1))) {
    return Fail(err, std::string("\"") + key + "\" must be an unsigned integer that fits its field");
  }
  *out = static_cast<T>(it->value.GetUint64());
  return true;
}

bool ReadImages(const Value& obj, const char* key, size_t columns,
                std::vector<std::vector<std::string>>* out, std::string* err) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) return true;
  if (!it->value.IsArray()) return Fail(err, std::string("\"") + key + "\" must be an array of rows");
  size_t r = 0;
  for (const auto& row : it->value.GetArray()) {
    if (!row.IsArray()) return Fail(err, std::string("\"") + key + "\" row " + std::to_string(r) + " is not an array");
    if (row.Size() != columns) {
      return Fail(err, std::string("\"") + key + "\" row " + std::to_string(r) + " has " + std::to_string(row.Size()) +
                           " values for " + std::to_string(columns) + " columns");
    }
    std::vector<std::string> values;
    for (const auto& v : row.GetArray()) {
      if (!v.IsString()) {
        return Fail(err, std::string("\"") + key + "\" row " + std::to_string(r) + " holds a value that is not a string");
      }
      values.emplace_back(v.GetString(), v.GetStringLength());
    }
    out->push_back(std::move(values));
    ++r;
  }
  return true;
}

// Builds the document like Document::Parse, and records for every member of the top-level object
// where its value starts, so that an error about a member can name its true column.
class LocatingHandler {
 public:
  using Stream = rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream>;
  LocatingHandler(Document& doc, const Stream& in, std::map<std::string, size_t>* where)
      : doc_(doc), in_(in), where_(where) {}

  bool Null() { return doc_.Null(); }
  bool Bool(bool b) { return doc_.Bool(b); }
  bool Int(int i) { return doc_.Int(i); }
  bool Uint(unsigned i) { return doc_.Uint(i); }
  bool Int64(int64_t i) { return doc_.Int64(i); }
  bool Uint64(uint64_t i) { return doc_.Uint64(i); }
  bool Double(double d) { return doc_.Double(d); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) { return doc_.RawNumber(s, n, copy); }
  bool String(const char* s, rapidjson::SizeType n, bool copy) { return doc_.String(s, n, copy); }
  bool StartObject() {
    ++depth_;
    return doc_.StartObject();
  }
  bool Key(const char* s, rapidjson::SizeType n, bool copy) {
    if (depth_ == 1) where_->emplace(std::string(s, n), in_.Tell());  // just past the key's closing quote
    return doc_.Key(s, n, copy);
  }
  bool EndObject(rapidjson::SizeType n) {
    --depth_;
    return doc_.EndObject(n);
  }
  bool StartArray() {
    ++depth_;
    return doc_.StartArray();
  }
  bool EndArray(rapidjson::SizeType n) {
    --depth_;
    return doc_.EndArray(n);
  }

 private:
  Document& doc_;
  const Stream& in_;
  std::map<std::string, size_t>* where_;
  int depth_ = 0;
};

}  // namespace

bool ParseEventLine(const std::string& line, Event* out, std::string* err) {
  // JSON has no NUL byte outside a string, and the parser would take one for the end of the line.
  const size_t nul = line.find('\0');
  if (nul != std::string::npos) return Fail(err, "column " + std::to_string(nul + 1) + ": a NUL byte, which JSON does not allow");
  Document doc;
  std::map<std::string, size_t> where;  // member -> offset just past its key
  rapidjson::MemoryStream ms(line.data(), line.size());
  LocatingHandler::Stream in(ms);
  rapidjson::ParseResult result;
  auto generate = [&](Document& d) {
    LocatingHandler h(d, in, &where);
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ThrowingAllocator> reader;
    result = reader.Parse<rapidjson::kParseIterativeFlag>(in, h);
    return !result.IsError();
  };
  doc.Populate(generate);
  if (result.IsError()) {
    return Fail(err, "column " + std::to_string(result.Offset() + 1) + ": " + rapidjson::GetParseError_En(result.Code()));
  }
  // Column (from 1) of the value of a top-level member, or of the line's first token without one.
  auto column = [&](const char* key) {
    size_t at = 0;
    auto it = where.find(key);
    if (it != where.end()) {
      at = it->second;
      while (at < line.size() && (line[at] == ':' || isspace(static_cast<unsigned char>(line[at])))) ++at;
    } else {
      while (at < line.size() && isspace(static_cast<unsigned char>(line[at]))) ++at;
    }
    return std::to_string(at + 1);
  };
  auto fail_at = [&](const char* key, const std::string& why) { return Fail(err, "column " + column(key) + ": " + why); };
  if (!doc.IsObject()) return fail_at("", "an event must be a JSON object");
  Event e;
  auto type = doc.FindMember("type");
  if (type == doc.MemberEnd() || !type->value.IsString()) return fail_at("type", "\"type\" (a string) is missing");
  std::string name = type->value.GetString();
  bool known = false;
  for (ostrel::EventType t : kTypes) {
    if (name == ostrel::getEventTypeStr(t)) {
      e.type = t;
      known = true;
    }
  }
  if (!known) return fail_at("type", "unknown event type \"" + name + "\"");
  std::string why;
  const char* at = "";  // the member that the first failure is about
  auto step = [&](const char* key, bool ok) {
    if (!ok) at = key;
    return ok;
  };
  bool ok = step("db", ReadString(doc, "db", &e.db, &why)) && step("table", ReadString(doc, "table", &e.tb, &why)) &&
            step("gtid", ReadString(doc, "gtid", &e.gtid, &why)) && step("sql", ReadString(doc, "sql", &e.sql, &why)) &&
            step("xid", ReadString(doc, "xid", &e.xid, &why)) &&
            step("original_commit_ts", ReadUint(doc, "original_commit_ts", &e.original_commit_ts, &why)) &&
            step("immediate_commit_ts", ReadUint(doc, "immediate_commit_ts", &e.immediate_commit_ts, &why)) &&
            step("original_server_version", ReadUint(doc, "original_server_version", &e.original_server_version, &why)) &&
            step("immediate_server_version", ReadUint(doc, "immediate_server_version", &e.immediate_server_version, &why));
  if (ok) {
    auto cols = doc.FindMember("columns");
    if (cols != doc.MemberEnd()) {
      if (!cols->value.IsArray()) {
        ok = step("columns", Fail(&why, "\"columns\" must be an array of names"));
      } else {
        for (const auto& c : cols->value.GetArray()) {
          if (!c.IsString()) {
            ok = step("columns", Fail(&why, "\"columns\" holds a name that is not a string"));
            break;
          }
          e.col_names.emplace_back(c.GetString(), c.GetStringLength());
        }
      }
    }
  }
  if (ok) {
    e.col_states.assign(e.col_names.size(), 0);
    auto states = doc.FindMember("column_states");
    if (states != doc.MemberEnd()) {
      if (!states->value.IsArray() || states->value.Size() != e.col_names.size()) {
        ok = step("column_states", Fail(&why, "\"column_states\" must be an array with one number per column"));
      } else {
        for (rapidjson::SizeType i = 0; i < states->value.Size() && ok; ++i) {
          if (!states->value[i].IsUint()) {
            ok = step("column_states", Fail(&why, "\"column_states\" holds a value that is not a 32-bit unsigned number"));
          } else {
            e.col_states[i] = states->value[i].GetUint();
          }
        }
      }
    }
  }
  if (ok) ok = step("rows", ReadImages(doc, "rows", e.col_names.size(), &e.rows, &why));
  if (ok) ok = step("olds", ReadImages(doc, "olds", e.col_names.size(), &e.olds, &why));
  if (ok && ostrel::IsDdlType(e.type) && (!e.col_names.empty() || !e.rows.empty())) {
    ok = step(e.col_names.empty() ? "rows" : "columns", Fail(&why, "a " + name + " event carries no columns or rows"));
  }
  if (ok && !ostrel::IsDdlType(e.type) && e.col_names.empty() &&
      (e.type != ostrel::EventType::T_GTIDSET || !e.rows.empty())) {
    ok = step(where.count("columns") ? "columns" : "type", Fail(&why, "a " + name + " event needs at least one column"));
  }
  if (ok && e.type == ostrel::EventType::T_UPDATE && e.olds.size() != e.rows.size()) {
    ok = step(where.count("olds") ? "olds" : "rows",
              Fail(&why, "an UPDATE needs one old image in \"olds\" per row (" + std::to_string(e.rows.size()) + ")"));
  }
  if (ok && e.type != ostrel::EventType::T_UPDATE && !e.olds.empty()) {
    ok = step("olds", Fail(&why, "only an UPDATE carries \"olds\""));
  }
  if (!ok) return fail_at(at, why);
  *out = std::move(e);
  return true;
}

std::string EventToJsonLine(const Event& e) {
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  auto str = [&](const char* k, const std::string& v) {
    w.Key(k);
    w.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
  };
  auto images = [&](const char* k, const std::vector<std::vector<std::string>>& rows) {
    w.Key(k);
    w.StartArray();
    for (const auto& row : rows) {
      w.StartArray();
      for (const auto& v : row) w.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
      w.EndArray();
    }
    w.EndArray();
  };
  w.StartObject();
  w.Key("type");
  w.String(ostrel::getEventTypeStr(e.type));
  str("db", e.db);
  str("table", e.tb);
  str("gtid", e.gtid);
  str("sql", e.sql);
  str("xid", e.xid);
  w.Key("original_commit_ts");
  w.Uint64(e.original_commit_ts);
  w.Key("immediate_commit_ts");
  w.Uint64(e.immediate_commit_ts);
  w.Key("original_server_version");
  w.Uint(e.original_server_version);
  w.Key("immediate_server_version");
  w.Uint(e.immediate_server_version);
  if (!e.col_names.empty()) {
    w.Key("columns");
    w.StartArray();
    for (const auto& c : e.col_names) w.String(c.data(), static_cast<rapidjson::SizeType>(c.size()));
    w.EndArray();
    w.Key("column_states");
    w.StartArray();
    for (uint32_t s : e.col_states) w.Uint(s);
    w.EndArray();
    images("rows", e.rows);
    if (e.type == ostrel::EventType::T_UPDATE) images("olds", e.olds);
  }
  w.EndObject();
  return std::string(sb.GetString(), sb.GetSize());
}

size_t CountForwardedDocs(const Event& e) {
  if (ostrel::IsDdlType(e.type) || e.type == ostrel::EventType::T_GTIDSET) return 0;
  size_t n = 0;
  for (const auto& row : e.rows) {
    int optype = 0;
    for (size_t c = 0; c < e.col_names.size() && c < row.size(); ++c) {
      if (e.col_names[c] != "optype") continue;
      if (row[c] == "'insert'") optype = 1;
      if (row[c] == "'delete'") optype = 2;
      if (row[c] == "'update'") optype = 3;
    }
    if (optype != 1) continue;
    for (size_t c = 0; c < e.col_names.size() && c < row.size(); ++c) {
      if (e.col_names[c] == "doc" && row[c].size() >= 2) ++n;
    }
  }
  return n;
}

}  // namespace cdchost
