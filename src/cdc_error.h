// Error-message base shared by every object of the plug-in that can fail.
//
// The layout (virtual-table pointer, then the 4096-byte message buffer) is shared with the host, which
// reads a failure's text through the non-virtual getErr(). Keep exactly this one field.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ostrel {

class ErrorBase {
 public:
  ErrorBase() { memset(errbuf_, 0, sizeof(errbuf_)); }
  virtual ~ErrorBase() {}

  // Replaces the message. At most 4094 characters and the terminator are stored; the last byte of the
  // buffer is never written. Returns the formatter's result (the untruncated length, or < 0).
  int setErr(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    int ret = vsnprintf(errbuf_, sizeof(errbuf_) - 1, fmt, ap);
    va_end(ap);
    return ret;
  }

  // The text stays valid until the next setErr or the end of the object.
  char* getErr() { return errbuf_; }

 private:
  char errbuf_[4096];
};

}  // namespace ostrel
