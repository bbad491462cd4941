// Fuzz target: sequences of DynamicStr operations keep the content a std::string model holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/dynamic_str.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ostrel::DynamicStr s;
  std::string model;
  size_t i = 0;
  auto take = [&](size_t n) {
    std::string out;
    while (n-- > 0 && i < size) out.push_back(static_cast<char>(data[i++]));
    return out;
  };
  while (i < size) {
    uint8_t op = data[i++];
    size_t n = i < size ? data[i++] : 0;
    switch (op % 8) {
      case 0: {
        std::string piece = take(n);
        if (s.appendMem(piece.data(), piece.size())) abort();
        model += piece;
        break;
      }
      case 1:
        if (s.appendByte(static_cast<char>(n))) abort();
        model.push_back(static_cast<char>(n));
        break;
      case 2:
        s.setStr(nullptr);
        model.clear();
        break;
      case 3: {
        std::string text = take(n);
        text = text.substr(0, text.find('\0'));
        if (s.setStr(text.c_str())) abort();
        model = text;
        break;
      }
      case 4:
        if (s.str() != nullptr && !model.empty()) {
          size_t cut = n % (model.size() + 1);
          s.trunc(cut);
          model.resize(model.size() - cut);
        }
        break;
      case 5:
        if (s.printf("%zu-%s", n, "x")) abort();
        model += std::to_string(n) + "-x";
        break;
      case 6: {
        std::string pat = take(n % 8);
        size_t got = s.findStrWithLen(pat.data(), pat.size());
        size_t rgot = s.rfindStrWithLen(pat.data(), pat.size());
        // Found positions must hold the pattern (the searches compare like strncmp, up to a NUL).
        if (got != ostrel::DynamicStr::str_npos && got + pat.size() > model.size()) abort();
        if (rgot != ostrel::DynamicStr::str_npos && rgot + pat.size() > model.size()) abort();
        if (pat.find('\0') == std::string::npos && !pat.empty() && model.find('\0') == std::string::npos) {
          size_t want = model.find(pat);
          if (got != (want == std::string::npos ? ostrel::DynamicStr::str_npos : want)) abort();
          size_t rwant = model.rfind(pat);
          if (rgot != (rwant == std::string::npos ? ostrel::DynamicStr::str_npos : rwant)) abort();
        }
        break;
      }
      case 7:
        if (s.realloc(n * 7)) abort();
        break;
    }
    if (s.toString() != model) abort();
    if (s.max_length_ != 0 && s.length() >= s.max_length_) abort();
  }
  return 0;
}
