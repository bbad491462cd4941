// Test double of the writer library: records every call and can fail the n-th call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace recwriter {

struct Call {
  std::string fn;  // "initialize", "write_msg" or "need_commit"
  // initialize
  std::string es_url, es_index, log_dir, log_name;
  int is_v8 = 0;
  int bulk_num = 0;
  // write_msg
  std::string doc;
  int len = 0;
  int64_t typ = 0;
};

// Forgets every call and every planned failure.
void Reset();
// Makes call number n (1-based, counted since Reset, all three functions together) fail with status 1
// and text (a null text is returned as a null r1).
void FailCall(size_t n, const char* text);
// Makes every need_commit fail from now on (text as above).
void FailEveryCommit(const char* text);
const std::vector<Call>& Calls();
// The documents passed to write_msg, in order.
std::vector<std::string> Docs();
size_t Count(const std::string& fn);

}  // namespace recwriter
