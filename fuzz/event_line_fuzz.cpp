// Fuzz target: the replay tool's event lines. A line is either refused with "column N: reason", N
// within the line, or read into an event that writes back to a line that reads as the same event.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "event_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  cdchost::Event e;
  std::string err;
  if (!cdchost::ParseEventLine(line, &e, &err)) {
    if (err.compare(0, 7, "column ") != 0) abort();
    const long column = strtol(err.c_str() + 7, nullptr, 10);
    if (column < 1 || static_cast<size_t>(column) > size + 1) abort();
    return 0;
  }
  const std::string again = cdchost::EventToJsonLine(e);
  cdchost::Event e2;
  if (!cdchost::ParseEventLine(again, &e2, &err)) abort();
  if (cdchost::EventToJsonLine(e2) != again) abort();
  if (cdchost::CountForwardedDocs(e) != cdchost::CountForwardedDocs(e2)) abort();
  return 0;
}
