// Fuzz target: es_url parsing never crashes; a parsed node has a scheme and a host and no user
// information in what is shown; masking hides a plain password that the parser found.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  eswriter::Config cfg;
  eswriter::Status st = eswriter::ParseEsUrl(url, &cfg);
  const std::string masked = eswriter::MaskCredentials(url);
  if (!st.ok()) {
    if (st.text().empty()) abort();
    return 0;
  }
  if (cfg.nodes.empty()) abort();
  for (const eswriter::Node& node : cfg.nodes) {
    if (node.base.compare(0, 7, "http://") != 0 && node.base.compare(0, 8, "https://") != 0) abort();
    if (node.display != node.base) abort();
    const std::string& pw = node.password;
    bool plain = !pw.empty() && !node.user.empty();
    for (char c : pw) plain = plain && isalnum(static_cast<unsigned char>(c));
    for (char c : node.user) plain = plain && isalnum(static_cast<unsigned char>(c));
    if (plain && masked.find(node.user + ":" + pw + "@") != std::string::npos) abort();
  }
  if (cfg.options.inflight < 1 || cfg.options.inflight > 16) abort();
  if (cfg.options.backoff_max_ms < cfg.options.backoff_ms) abort();
  return 0;
}
