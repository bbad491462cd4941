// The writer library's one error convention for its internals: an operation that can fail returns a
// Status, which is ok() or carries the text of what went wrong. Only the C interface (c_api.cpp)
// turns it into the r0/r1 records of libes_writer.h.
#pragma once

#include <string>
#include <utility>

namespace eswriter {

class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  static Status Ok() { return Status(); }
  static Status Error(std::string text) { return Status(std::move(text)); }

  bool ok() const { return !failed_; }
  // The reason; empty on success.
  const std::string& text() const { return text_; }

 private:
  explicit Status(std::string text) : failed_(true), text_(std::move(text)) {}

  bool failed_ = false;
  std::string text_;
};

}  // namespace eswriter
