// Fuzz target: the plug-in parameter parser never crashes and keeps its message within the buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin/event_es/event_es.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string param(reinterpret_cast<const char*>(data), size);
  ostrel::ESConf conf;
  bool failed = conf.parse(param);
  if (strlen(conf.getErr()) > 4094) abort();
  if (!failed && (conf.es_url_.empty() && param.find("es_url") == std::string::npos)) abort();
  return 0;
}
