// The writer library's C interface as the tests call it: each call's status and text in one value.
#pragma once

#include <cstdint>
#include <string>

#include "libes_writer.h"

namespace writercalls {

struct Status {
  int64_t r0;
  std::string text;
};

inline Status Init(const std::string& url, int is_v8, const std::string& index, int bulk_num, const std::string& dir) {
  std::string u = url, i = index, d = dir, n = "cdc_es_write";
  initialize_return r = initialize(&u[0], is_v8, &i[0], bulk_num, &d[0], &n[0]);
  return {r.r0, r.r0 != 0 && r.r1 ? r.r1 : ""};
}

inline Status Write(const std::string& doc, int64_t typ = ES_WRITER_DOC_INDEX) {
  std::string copy = doc;
  write_msg_return r = write_msg(&copy[0], static_cast<int>(copy.size()), typ);
  return {r.r0, r.r0 != 0 && r.r1 ? r.r1 : ""};
}

inline Status Commit() {
  need_commit_return r = need_commit();
  return {r.r0, r.r0 != 0 && r.r1 ? r.r1 : ""};
}

inline std::string Doc(int i, size_t pad = 0) {
  return "{\"id\":" + std::to_string(i) + ",\"pad\":\"" + std::string(pad, 'p') + "\"}";
}

}  // namespace writercalls
