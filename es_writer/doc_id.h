// Where a document's _id comes from (the doc_id tunable): nowhere, a member that a JSON Pointer
// names, or a 128-bit hash of the document's bytes. The id is given as the action line's fragment
// (`,"_id":"..."`, escaped for JSON), so that a bulk copies it as it is.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config.h"
#include "status.h"

namespace eswriter {

// Longest _id the engine takes.
const size_t kMaxIdBytes = 512;

class DocIdSource {
 public:
  // Checks the tunable: none, hash, or a JSON Pointer (RFC 6901) starting with '/'.
  static Status Parse(const std::string& value, DocIdMode* mode, std::string* pointer);

  explicit DocIdSource(const Options& options);

  bool enabled() const { return mode_ != DocIdMode::kNone; }

  // The `,"_id":"..."` fragment of doc into *fragment (empty without doc_id). False when the document
  // has no usable id; *why then says why ("member /id is missing", "member /id is a float").
  bool Fragment(const char* doc, size_t len, std::string* fragment, std::string* why) const;

 private:
  DocIdMode mode_;
  std::string pointer_;                // as configured, for messages
  std::vector<std::string> tokens_;    // unescaped reference tokens
};

}  // namespace eswriter
