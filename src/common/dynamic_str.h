// Growable heap byte string with explicit length and capacity, used as a reusable scratch buffer.
//
// Owns its block alone (malloc/free); never copied. One thread at a time. After every successful
// operation that writes content, str()[length()] is a NUL, except setStr(nullptr), initStr(nullptr, n)
// and a growing realloc(), which write no terminator. A failed growth keeps block, length and content.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "cdc_error.h"

namespace ostrel {

class DynamicStr : public ErrorBase {
 public:
  static constexpr size_t str_npos = static_cast<size_t>(-1);

  DynamicStr() : str_(nullptr), length_(0), max_length_(0) {}
  virtual ~DynamicStr();
  DynamicStr(const DynamicStr&) = delete;
  DynamicStr& operator=(const DynamicStr&) = delete;

  // First allocation: a block of max(init_alloc, strlen(init_str) + 1) bytes. On a string that
  // already holds a block, that block is released first.
  bool initStr(const char* init_str, size_t init_alloc);
  // REQUIRES: append does not point into this string's block.
  bool appendMem(const void* append, size_t length);
  bool appendMem(const char* append);
  bool appendByte(char ch);
  bool printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Null empties the string and keeps the block untouched (no terminator written).
  // REQUIRES: init_str does not point into this string's block.
  bool setStr(const char* init_str);
  void fillStr(std::string& val);
  std::string toString();
  // Predicate: true when equal.
  bool matchWithLen(const char* str, size_t len);
  size_t findStrWithLen(const char* str, size_t len);
  size_t rfindStrWithLen(const char* str, size_t len);
  bool realloc(size_t length);
  // Drops the last len bytes (clamped to the length); always false.
  bool trunc(size_t len);

  char* str() { return str_; }
  const char* str() const { return str_; }
  size_t length() { return length_; }
  size_t length() const { return length_; }

  bool isValid() { return str_ != nullptr; }
  size_t max_length() { return max_length_; }
  // Counts n more bytes as content after a caller wrote them into the block directly; clamped so that
  // the terminator still fits.
  void addLength(size_t n);

  char* str_;
  size_t length_;
  size_t max_length_;

 private:
  void* crealloc(void* ptr, size_t size);
  bool vprintf(const char* fmt, va_list ap);
  // Grows to max(1.5 x capacity, min_size); true on failure with nothing changed.
  bool grow(size_t min_size);
};

}  // namespace ostrel
