// Document ids from the document: a JSON Pointer lookup that reads events up to the member and stops
// there (no DOM of the document), or XXH3-128 of its bytes.
#include "doc_id.h"

#include <xxhash.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <rapidjson/memorystream.h>
#include <rapidjson/pointer.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "shared/safe_text.h"

namespace eswriter {

namespace {

// Follows the reading of a document event by event and keeps the value at the pointer. Only the
// containers on the pointer's path are remembered (one frame each: whether the current key, or the
// index, matches its token); a container off the path is read through with a depth count alone, so
// the memory does not grow with the document's nesting. The parse stops as soon as the member's value
// has been read, or when the document nests deeper than any engine takes.
class PointerLookup {
 public:
  // Deeper documents are refused by the engines (their parsers stop at 1,000 levels).
  static constexpr size_t kMaxDepth = 1000;

  explicit PointerLookup(const std::vector<std::string>& tokens) : tokens_(tokens) {
    indexes_.reserve(tokens.size());
    for (const std::string& t : tokens) indexes_.push_back(ArrayIndex(t));
    frames_.reserve(tokens.size());
  }

  enum class Found { kNothing, kString, kInteger, kFloat, kNull, kBool, kObject, kArray, kTooDeep };

  bool Null() { return Scalar(Found::kNull, nullptr, 0); }
  bool Bool(bool) { return Scalar(Found::kBool, nullptr, 0); }
  bool Int(int) { return true; }  // numbers come as raw text (kParseNumbersAsStringsFlag)
  bool Uint(unsigned) { return true; }
  bool Int64(int64_t) { return true; }
  bool Uint64(uint64_t) { return true; }
  bool Double(double) { return true; }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    const bool integer = memchr(s, '.', n) == nullptr && memchr(s, 'e', n) == nullptr && memchr(s, 'E', n) == nullptr;
    return Scalar(integer ? Found::kInteger : Found::kFloat, s, n);
  }
  bool String(const char* s, rapidjson::SizeType n, bool) { return Scalar(Found::kString, s, n); }
  bool StartObject() { return Open(Found::kObject, false); }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    if (off_path_ == 0) {
      const std::string& token = tokens_[frames_.size() - 1];
      frames_.back().match = n == token.size() && memcmp(s, token.data(), n) == 0;
    }
    return true;
  }
  bool EndObject(rapidjson::SizeType) { return Close(); }
  bool StartArray() { return Open(Found::kArray, true); }
  bool EndArray(rapidjson::SizeType) { return Close(); }

  Found found = Found::kNothing;
  std::string value;  // the string's characters or the integer's text

 private:
  struct Frame {
    bool array;
    size_t index;  // of the next element, in an array
    bool match;    // the current key or index is this frame's token
  };

  // The token as an array index (decimal digits without a leading zero), or SIZE_MAX.
  static size_t ArrayIndex(const std::string& t) {
    if (t.empty() || t.size() > 18 || (t.size() > 1 && t[0] == '0')) return SIZE_MAX;
    size_t v = 0;
    for (char c : t) {
      if (c < '0' || c > '9') return SIZE_MAX;
      v = v * 10 + static_cast<size_t>(c - '0');
    }
    return v;
  }
  // The value that starts now is on the pointer's path: every open frame is at its token.
  bool OnPath() const {
    if (off_path_ != 0) return false;
    for (size_t i = 0; i < frames_.size(); ++i) {
      const Frame& f = frames_[i];
      if (f.array ? f.index != indexes_[i] : !f.match) return false;
    }
    return true;
  }
  void Advance() {
    if (off_path_ == 0 && !frames_.empty() && frames_.back().array) ++frames_.back().index;
  }
  bool Scalar(Found kind, const char* s, size_t n) {
    if (frames_.size() == tokens_.size() && OnPath()) {
      found = kind;
      if (s != nullptr) value.assign(s, n);
      return false;  // stop: the member is read
    }
    Advance();
    return true;
  }
  bool Open(Found kind, bool array) {
    const bool on_path = OnPath();
    if (on_path && frames_.size() == tokens_.size()) {
      found = kind;
      return false;
    }
    if (++depth_ > kMaxDepth) {
      found = Found::kTooDeep;
      return false;
    }
    if (on_path) {
      frames_.push_back(Frame{array, 0, false});
    } else {
      ++off_path_;
    }
    return true;
  }
  bool Close() {
    --depth_;
    if (off_path_ != 0) {
      --off_path_;
    } else {
      frames_.pop_back();
    }
    Advance();
    return true;
  }

  const std::vector<std::string>& tokens_;
  std::vector<size_t> indexes_;  // each token as an array index, or SIZE_MAX
  std::vector<Frame> frames_;    // the open containers on the path, at most one per token
  size_t off_path_ = 0;          // open containers off the path, inside the last frame
  size_t depth_ = 0;
};

// `,"_id":"<text>"` with text escaped as a JSON string.
void IdFragment(const char* text, size_t n, std::string* fragment) {
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  w.String(text, static_cast<rapidjson::SizeType>(n));
  fragment->assign(",\"_id\":");
  fragment->append(sb.GetString(), sb.GetSize());
}

}  // namespace

Status DocIdSource::Parse(const std::string& value, DocIdMode* mode, std::string* pointer) {
  if (value == "none") {
    *mode = DocIdMode::kNone;
    return Status::Ok();
  }
  if (value == "hash") {
    *mode = DocIdMode::kHash;
    return Status::Ok();
  }
  const std::string refuse = "es_url option doc_id=" + value + " must be none, hash or a JSON Pointer such as /id";
  if (value.empty() || value[0] != '/') return Status::Error(refuse);
  rapidjson::Pointer p(value.c_str(), value.size());
  if (!p.IsValid()) return Status::Error(refuse + " (a '~' must be followed by 0 or 1)");
  *mode = DocIdMode::kPointer;
  *pointer = value;
  return Status::Ok();
}

DocIdSource::DocIdSource(const Options& options) : mode_(options.doc_id), pointer_(options.doc_id_pointer) {
  if (mode_ != DocIdMode::kPointer) return;
  rapidjson::Pointer p(pointer_.c_str(), pointer_.size());
  for (size_t i = 0; i < p.GetTokenCount(); ++i) {
    tokens_.emplace_back(p.GetTokens()[i].name, p.GetTokens()[i].length);
  }
}

bool DocIdSource::Fragment(const char* doc, size_t len, std::string* fragment, std::string* why) const {
  fragment->clear();
  if (mode_ == DocIdMode::kNone) return true;
  if (mode_ == DocIdMode::kHash) {
    const XXH128_hash_t h = XXH3_128bits(doc, len);
    char hex[40];
    snprintf(hex, sizeof(hex), "%016llx%016llx", static_cast<unsigned long long>(h.high64),
             static_cast<unsigned long long>(h.low64));
    fragment->assign(",\"_id\":\"");
    fragment->append(hex, 32);
    fragment->push_back('"');
    return true;
  }
  PointerLookup lookup(tokens_);
  rapidjson::Reader reader;
  rapidjson::MemoryStream ms(doc, len);
  reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag |
               rapidjson::kParseStopWhenDoneFlag>(ms, lookup);
  const std::string member = "member " + pointer_;
  switch (lookup.found) {
    case PointerLookup::Found::kString:
      if (lookup.value.empty()) {
        *why = member + " is an empty string";
        return false;
      }
      if (!ostrel::IsValidUtf8(lookup.value)) {
        // Raw in the action line it would make the engine refuse the whole request, not this document.
        *why = member + " is not valid UTF-8";
        return false;
      }
      if (lookup.value.size() > kMaxIdBytes) {
        *why = member + " is longer than " + std::to_string(kMaxIdBytes) + " bytes";
        return false;
      }
      IdFragment(lookup.value.data(), lookup.value.size(), fragment);
      return true;
    case PointerLookup::Found::kInteger:
      if (lookup.value.size() > kMaxIdBytes) {
        *why = member + " is longer than " + std::to_string(kMaxIdBytes) + " bytes";
        return false;
      }
      IdFragment(lookup.value.data(), lookup.value.size(), fragment);
      return true;
    case PointerLookup::Found::kFloat: *why = member + " is a float"; return false;
    case PointerLookup::Found::kNull: *why = member + " is null"; return false;
    case PointerLookup::Found::kBool: *why = member + " is a boolean"; return false;
    case PointerLookup::Found::kObject: *why = member + " is an object"; return false;
    case PointerLookup::Found::kArray: *why = member + " is an array"; return false;
    case PointerLookup::Found::kTooDeep:
      *why = member + " is not found before the document nests deeper than " +
             std::to_string(PointerLookup::kMaxDepth) + " levels";
      return false;
    case PointerLookup::Found::kNothing: break;
  }
  *why = member + " is missing";
  if (reader.HasParseError() && reader.GetParseErrorCode() != rapidjson::kParseErrorTermination) {
    *why += " (the document is not valid JSON before it)";
  }
  return false;
}

}  // namespace eswriter
