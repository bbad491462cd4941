// Text, hash, time, path, map and pattern helpers.
#include "common/util.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>

#include <boost/tokenizer.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace ostrel {

namespace {
const unsigned int kSeed = 0xAD5;
const unsigned int kMul = 0x5BD1E995;
const int kShift = 24;
const size_t kErrMsgSize = 1024;
const size_t kPathBuffSize = 2048;
}  // namespace

void lps_func(const std::string& txt, std::vector<int>& Lps) {
  const int n = static_cast<int>(txt.length());
  if (n == 0 || Lps.size() < txt.length()) return;
  Lps[0] = 0;
  int len = 0;
  int i = 1;
  while (i < n) {
    if (txt[i] == txt[len]) {
      ++len;
      Lps[i] = len;
      ++i;
    } else if (len != 0) {
      len = Lps[len - 1];
    } else {
      Lps[i] = 0;
      ++i;
    }
  }
}

void Split_KMP(std::string pattern, const std::string& text, std::vector<std::string>& result) {
  const int n = static_cast<int>(text.length());
  const int m = static_cast<int>(pattern.length());
  if (n == 0) return;
  if (m == 0) {
    result.push_back(text);
    return;
  }
  std::vector<int> lps(m);
  lps_func(pattern, lps);

  std::vector<int> found;
  int i = 0;
  int j = 0;
  while (i < n) {
    if (pattern[j] == text[i]) {
      ++i;
      ++j;
    }
    if (j == m) {
      found.push_back(i - m);
      j = 0;
    } else if (i < n && pattern[j] != text[i]) {
      if (j == 0) {
        ++i;
      } else {
        j = lps[j - 1];
      }
    }
  }

  int start = 0;
  for (int p : found) {
    result.push_back(text.substr(start, p - start));
    start = p + m;
  }
  if (start < n) result.push_back(text.substr(start));
}

std::string Trim(const std::string& from, const std::string& chars) {
  size_t start = from.find_first_not_of(chars);
  if (start == std::string::npos) return std::string();
  size_t end = from.find_last_not_of(chars);
  return from.substr(start, end - start + 1);
}

std::vector<std::string> Tokenize(const std::string& str, const char* delim) {
  std::vector<std::string> result;
  if (strlen(delim) > 1) {
    Split_KMP(delim, str, result);
    return result;
  }
  typedef boost::tokenizer<boost::char_separator<char>> tokenizer;
  boost::char_separator<char> sep(delim, nullptr, boost::drop_empty_tokens);
  tokenizer tokens(str, sep);
  for (const std::string& t : tokens) result.push_back(t);
  return result;
}

unsigned int doMurmurHashCode(const void* key, unsigned short len) {
  const unsigned char* data = static_cast<const unsigned char*>(key);
  unsigned int h = kSeed ^ len;
  size_t remaining = len;
  while (remaining >= 4) {
    unsigned int k;
    memcpy(&k, data, 4);
    k *= kMul;
    k ^= k >> kShift;
    k *= kMul;
    h *= kMul;
    h ^= k;
    data += 4;
    remaining -= 4;
  }
  switch (remaining) {
    case 3: h ^= static_cast<unsigned int>(data[2]) << 16; [[fallthrough]];
    case 2: h ^= static_cast<unsigned int>(data[1]) << 8; [[fallthrough]];
    case 1:
      h ^= data[0];
      h *= kMul;
      break;
    default: break;
  }
  h ^= h >> 13;
  h *= kMul;
  h ^= h >> 15;
  return h;
}

uint32_t calcuateStrHash(const std::string& str) {
  uint32_t sum = 0;
  for (char c : str) {
    if (isspace(static_cast<unsigned char>(c))) continue;
    sum += doMurmurHashCode(&c, 1);
  }
  return sum;
}

uint64_t GetNowTs() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec);
}

int64_t StrTimeToTs(const char* str) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (sscanf(str, "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second) != 6) return -1;
  struct tm t;
  memset(&t, 0, sizeof(t));
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = 0;
  return static_cast<int64_t>(mktime(&t));
}

std::string ConvStrToLower(const std::string& str) {
  std::string out(str);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string ConvertToAbsolutePath(const char* path) {
  // realpath may write up to PATH_MAX bytes: let it allocate, then keep what fits the 2048-byte limit.
  char* resolved = realpath(path, nullptr);
  if (resolved == nullptr) return std::string();
  std::string out;
  if (strlen(resolved) < kPathBuffSize) out = resolved;
  free(resolved);
  return out;
}

void waitForever() {
  for (;;) sleep(10);
}

bool serializeMapToStr(const std::map<std::string, std::string>& key_val, std::string& msg) {
  rapidjson::Document doc;
  doc.SetObject();
  rapidjson::Document::AllocatorType& alloc = doc.GetAllocator();
  for (const auto& kv : key_val) {
    rapidjson::Value key;
    key.SetString(kv.first.data(), static_cast<rapidjson::SizeType>(kv.first.length()), alloc);
    rapidjson::Value val;
    val.SetString(kv.second.data(), static_cast<rapidjson::SizeType>(kv.second.length()), alloc);
    doc.AddMember(key, val, alloc);
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  doc.Accept(writer);
  msg.assign(buffer.GetString(), buffer.GetSize());
  return false;
}

bool deserializeStrToData(const char* msg, size_t msg_len, int& msg_type, std::string& msg_data, char* errmsg) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(msg, msg_len);
  if (doc.HasParseError()) {
    snprintf(errmsg, kErrMsgSize, "json parse data failed: %d", static_cast<int>(doc.GetParseError()));
    return true;
  }
  if (!doc.IsObject()) {
    snprintf(errmsg, kErrMsgSize, "json data is not an object");
    return true;
  }
  auto type_it = doc.FindMember("type");
  auto data_it = doc.FindMember("data");
  if (type_it == doc.MemberEnd() || data_it == doc.MemberEnd()) {
    snprintf(errmsg, kErrMsgSize, "miss type or data key");
    return true;
  }
  if (!data_it->value.IsString() || !type_it->value.IsInt()) {
    snprintf(errmsg, kErrMsgSize, "type or data is not string");
    return true;
  }
  msg_type = type_it->value.GetInt();
  msg_data = data_it->value.GetString();
  return false;
}

bool deserializeDataToMap(const std::string& msg_data, std::map<std::string, std::string>& key_val, char* errmsg) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(msg_data.data(), msg_data.length());
  if (doc.HasParseError()) {
    snprintf(errmsg, kErrMsgSize, "json parse data failed: %d", static_cast<int>(doc.GetParseError()));
    return true;
  }
  if (!doc.IsObject()) {
    snprintf(errmsg, kErrMsgSize, "json data is not an object");
    return true;
  }
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    if (!it->value.IsString()) {
      snprintf(errmsg, kErrMsgSize, "value of key %s is not string", it->name.GetString());
      return true;
    }
  }
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    key_val[it->name.GetString()] = it->value.GetString();
  }
  return false;
}

static bool sRegexMatch(const std::string& l_str, const std::string& r_str) {
  if (l_str == r_str) return true;
  if (l_str == "*") return true;
  std::regex re(l_str, std::regex::ECMAScript);
  return std::regex_match(r_str, re);
}

bool StrRegexMatch(const std::vector<std::string>& dump_tables, const std::string& schema, const std::string& table,
                   bool isOstrel) {
  (void)isOstrel;
  for (const std::string& entry : dump_tables) {
    size_t dot = entry.rfind('.');
    std::string schema_pattern = dot == std::string::npos ? entry : entry.substr(0, dot);
    std::string table_pattern = dot == std::string::npos ? entry : entry.substr(dot + 1);
    if (sRegexMatch(schema_pattern, schema) && sRegexMatch(table_pattern, table)) return true;
  }
  return false;
}

}  // namespace ostrel
