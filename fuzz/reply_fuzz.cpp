// Fuzz target: any bulk reply, with any status and document count, classifies without a crash into
// item positions that exist, each at most once, and texts of bounded size; and whatever the fast scan
// of a clean reply takes, the full parse reads the same way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const long kStatuses[] = {0, 200, 201, 400, 401, 413, 429, 500, 502, 503};
  const long status = kStatuses[data[0] % 10];
  const size_t n = data[1] % 8;
  const std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
  eswriter::ReplyOutcome out = eswriter::ClassifyReply(status, body, "transport", data[1] & 8, n);
  std::vector<int> seen(n, 0);
  for (const eswriter::ItemError& e : out.items) {
    if (e.index >= n || seen[e.index]++ != 0) abort();
    // A reason is cut to 300 bytes before its control characters are escaped (at most 4 bytes each).
    if (e.reason.size() > 4 * 300 + 3 || e.type.empty() || e.type.size() > 4 * 100 + 3) abort();
    for (char c : e.reason) {
      if (static_cast<unsigned char>(c) < 0x20) abort();  // no raw control character reaches a log
    }
  }
  if (out.kind != eswriter::ReplyKind::kDone && !out.items.empty()) abort();
  if (out.items.size() + out.present > n) abort();
  if (out.error.size() > 2000) abort();
  size_t updated = 0;
  std::vector<size_t> want;  // every other position's _index and _id, as the audit asks for them
  for (size_t i = data[1] & 16 ? 0 : n; i < n; i += 2) want.push_back(i);
  std::vector<std::string> indexes, ids;
  if (eswriter::ScanCleanReply(body, n, &updated, &want, &indexes, &ids)) {
    // A trailing space is nothing to JSON but keeps the scan out: this is the full parse's reading.
    eswriter::ReplyOutcome full = eswriter::ClassifyReply(200, body + " ", "transport", false, n, false, &want);
    if (full.kind != eswriter::ReplyKind::kDone || !full.items.empty() || full.present != 0 || full.updated != updated) {
      abort();
    }
    if (!want.empty() && (full.ids != ids || full.indexes != indexes)) abort();
  }
  for (char c : out.error) {
    if (static_cast<unsigned char>(c) < 0x20) abort();
  }
  return 0;
}
