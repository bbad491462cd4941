// Fuzz target: the map and envelope deserialisers and the tokenizer never crash; a map that was read
// serialises and reads back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "common/util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  char err[1024];
  int type = 0;
  std::string payload;
  if (ostrel::deserializeStrToData(text.data(), text.size(), type, payload, err) && strlen(err) >= sizeof(err)) abort();

  std::map<std::string, std::string> m;
  if (!ostrel::deserializeDataToMap(text, m, err)) {
    std::string again;
    ostrel::serializeMapToStr(m, again);
    std::map<std::string, std::string> back;
    if (ostrel::deserializeDataToMap(again, back, err)) abort();
    if (back != m) abort();
  }

  size_t cut = size == 0 ? 0 : data[0] % 4;
  std::string delim = text.substr(0, std::min(cut, text.size()));
  delim = delim.substr(0, delim.find('\0'));
  std::string rest = text.substr(std::min(cut, text.size()));
  std::vector<std::string> pieces = ostrel::Tokenize(rest, delim.c_str());
  size_t total = 0;
  for (const std::string& p : pieces) total += p.size();
  if (total > rest.size()) abort();
  return 0;
}
