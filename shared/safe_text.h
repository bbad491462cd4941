// Making text safe to print, log or return: one rule for hiding credentials, and the escaping of
// control characters in text that comes from outside the process. Shared by the plug-in and the
// writer library (header only, so that neither links the other).
//
// Credentials: the password of every URL's user information and the value of every api_key, whatever
// bytes they hold, in plain text and in JSON-escaped text ("http:\/\/u:p@h", "\u003a").
// The rule: after each "://", the user information runs to the last '@' before the next "://" (or
// the end of the text), so a password may hold '/', ' ', '"', ',', '?', '#' or '@'; the password is
// what follows its first ':'. An api_key's value runs to the next '&', quote, white space or the end.
// The rule errs towards hiding: a later '@' in the same stretch of text hides more than the password.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace ostrel {
namespace secret_mask {

// Where each byte of the decoded view came from in the original text.
struct DecodedText {
  std::string text;
  std::vector<size_t> from;  // from[i]: offset in the original of decoded byte i; from[size] = end
};

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Undoes the JSON escapes that could hide a separator: "\/", "\\", "\"" and "\uXXXX" below 0x80.
inline DecodedText DecodeEscapes(const std::string& s) {
  DecodedText d;
  d.text.reserve(s.size());
  d.from.reserve(s.size() + 1);
  for (size_t i = 0; i < s.size();) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      const char n = s[i + 1];
      if (n == '/' || n == '\\' || n == '"') {
        d.text.push_back(n);
        d.from.push_back(i);
        i += 2;
        continue;
      }
      if (n == 'u' && i + 6 <= s.size()) {
        int v = 0;
        bool ok = true;
        for (size_t k = 2; k < 6; ++k) {
          const int h = HexDigit(s[i + k]);
          ok = ok && h >= 0;
          v = v * 16 + (h < 0 ? 0 : h);
        }
        if (ok && v < 0x80) {
          d.text.push_back(static_cast<char>(v));
          d.from.push_back(i);
          i += 6;
          continue;
        }
      }
    }
    d.text.push_back(s[i]);
    d.from.push_back(i);
    ++i;
  }
  d.from.push_back(s.size());
  return d;
}

// Byte ranges [begin, end) of the secrets in t, ascending and disjoint.
inline std::vector<std::pair<size_t, size_t>> SecretSpans(const std::string& t) {
  std::vector<std::pair<size_t, size_t>> spans;
  size_t pos = 0;
  for (;;) {
    const size_t scheme = t.find("://", pos);
    if (scheme == std::string::npos) break;
    const size_t user = scheme + 3;
    size_t limit = t.find("://", user);
    if (limit == std::string::npos) limit = t.size();
    const size_t at = limit > user ? t.rfind('@', limit - 1) : std::string::npos;
    if (at != std::string::npos && at >= user) {
      const size_t colon = t.find(':', user);
      if (colon < at) spans.emplace_back(colon + 1, at);
      pos = at + 1;
    } else {
      pos = user;
    }
  }
  for (size_t k = t.find("api_key"); k != std::string::npos; k = t.find("api_key", k + 7)) {
    size_t v = k + 7;
    while (v < t.size() && (t[v] == '"' || t[v] == ' ' || t[v] == ':' || t[v] == '=')) ++v;
    if (v == k + 7) continue;  // not a key followed by its value
    size_t e = v;
    while (e < t.size() && t[e] != '&' && t[e] != '"' && t[e] != ' ' && t[e] != '\t' && t[e] != '\n' && t[e] != ',' &&
           t[e] != '}') {
      ++e;
    }
    if (e > v) spans.emplace_back(v, e);
  }
  // Sort and merge, so that callers can replace from the back.
  std::vector<std::pair<size_t, size_t>> merged;
  std::sort(spans.begin(), spans.end());
  for (const auto& s : spans) {
    if (!merged.empty() && s.first <= merged.back().second) {
      if (s.second > merged.back().second) merged.back().second = s.second;
    } else {
      merged.push_back(s);
    }
  }
  return merged;
}

}  // namespace secret_mask

// A copy of text with every secret replaced by "***".
inline std::string MaskSecrets(const std::string& text) {
  const secret_mask::DecodedText d = secret_mask::DecodeEscapes(text);
  const auto spans = secret_mask::SecretSpans(d.text);
  if (spans.empty()) return text;
  std::string out;
  out.reserve(text.size());
  size_t copied = 0;
  for (const auto& s : spans) {
    const size_t begin = d.from[s.first];
    const size_t end = d.from[s.second];
    out.append(text, copied, begin - copied);
    out.append("***");
    copied = end;
  }
  out.append(text, copied, std::string::npos);
  return out;
}

// A copy of text from outside (an engine's reply, a peer's message) in which every control character
// (below 0x20, and 0x7f) is written as \n, \r, \t or \xHH, so that it cannot break a log line into
// two or drive a terminal. Other bytes, UTF-8 included, are kept.
inline std::string EscapeControls(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c < 0x20 || c == 0x7f) ? 1 : 0;
  if (n == 0) return text;
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 3 * n);
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF): what
// the engine's JSON parser accepts in a name or an id.
inline bool IsValidUtf8(const std::string& text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t n;
    unsigned lo = 0x80, hi = 0xbf;  // the range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
      n = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      n = 2;
      if (c == 0xe0) lo = 0xa0;
      if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      n = 3;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= n || p[1] < lo || p[1] > hi) return false;
    for (size_t k = 2; k <= n; ++k) {
      if (p[k] < 0x80 || p[k] > 0xbf) return false;
    }
    p += n + 1;
  }
  return true;
}

}  // namespace ostrel
