// Growable byte string: growth rule, in-place formatting and the two searches.
#include "common/dynamic_str.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ostrel {

DynamicStr::~DynamicStr() {
  if (str_ != nullptr) free(str_);
}

void* DynamicStr::crealloc(void* ptr, size_t size) {
  void* block = malloc(size);
  if (ptr == nullptr) return block;
  if (block == nullptr) return nullptr;
  if (length_ != 0) memcpy(block, ptr, length_);
  free(ptr);
  return block;
}

bool DynamicStr::grow(size_t min_size) {
  size_t new_size = (max_length_ * 3) >> 1;
  if (new_size < min_size) new_size = min_size;
  void* block = crealloc(str_, new_size);
  if (block == nullptr) return true;
  str_ = static_cast<char*>(block);
  max_length_ = new_size;
  return false;
}

bool DynamicStr::initStr(const char* init_str, size_t init_alloc) {
  size_t length = init_str == nullptr ? 0 : strlen(init_str);
  size_t size = init_alloc > length + 1 ? init_alloc : length + 1;
  if (str_ != nullptr) {
    free(str_);
    str_ = nullptr;
    length_ = 0;
    max_length_ = 0;
  }
  str_ = static_cast<char*>(malloc(size));
  if (str_ == nullptr) return true;
  length_ = length;
  if (init_str != nullptr) memcpy(str_, init_str, length + 1);
  max_length_ = size;
  return false;
}

bool DynamicStr::appendMem(const void* append, size_t length) {
  if (length_ + length >= max_length_ && grow(length_ + length + 1)) return true;
  if (length != 0) memcpy(str_ + length_, append, length);
  length_ += length;
  str_[length_] = 0;
  return false;
}

bool DynamicStr::appendMem(const char* append) { return appendMem(append, strlen(append)); }

bool DynamicStr::appendByte(char ch) { return appendMem(&ch, 1); }

bool DynamicStr::printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  bool ret = vprintf(fmt, ap);
  va_end(ap);
  return ret;
}

bool DynamicStr::vprintf(const char* fmt, va_list ap) {
  if (max_length_ - length_ <= 63 && realloc(length_ + 64)) return true;
  for (;;) {
    size_t space = max_length_ - length_ - 1;
    va_list cp;
    va_copy(cp, ap);
    int sz = vsnprintf(str_ + length_, space, fmt, cp);
    va_end(cp);
    if (sz < 0) return true;
    if (static_cast<size_t>(sz) < space) {
      length_ += static_cast<size_t>(sz);
      return false;
    }
    if (realloc(length_ + 2 * static_cast<size_t>(sz))) return true;
  }
}

bool DynamicStr::setStr(const char* init_str) {
  if (init_str == nullptr) {
    length_ = 0;
    return false;
  }
  uint32_t n = static_cast<uint32_t>(strlen(init_str) + 1);
  if (n > max_length_ && grow(length_ + n + 1)) return true;
  length_ = n - 1;
  memcpy(str_, init_str, n);
  return false;
}

void DynamicStr::fillStr(std::string& val) {
  if (length_ == 0) {
    val.clear();
    return;
  }
  val.assign(str_, length_);
}

std::string DynamicStr::toString() {
  if (length_ == 0) return std::string();
  return std::string(str_, length_);
}

bool DynamicStr::matchWithLen(const char* str, size_t len) {
  if (len != length_) return false;
  if (len == 0) return true;
  return strncmp(str_, str, len) == 0;
}

size_t DynamicStr::findStrWithLen(const char* str, size_t len) {
  if (len == 0 || len > length_) return str_npos;
  if (len == length_) return strncmp(str_, str, len) == 0 ? 0 : str_npos;
  for (size_t i = 0; i < length_; ++i) {
    if (str_[i] != str[0]) continue;
    if (length_ - i < len) return str_npos;
    if (strncmp(str_ + i, str, len) == 0) return i;
  }
  return str_npos;
}

size_t DynamicStr::rfindStrWithLen(const char* str, size_t len) {
  if (len == 0 || len > length_) return str_npos;
  if (len == length_) return strncmp(str_, str, len) == 0 ? 0 : str_npos;
  for (int i = static_cast<int>(length_ - len); i >= 0; --i) {
    if (str_[i] == str[0] && strncmp(str_ + i, str, len) == 0) return static_cast<size_t>(i);
  }
  return str_npos;
}

bool DynamicStr::realloc(size_t length) {
  if (length == 0 || length <= max_length_) return false;
  return grow(length + 1);
}

bool DynamicStr::trunc(size_t len) {
  if (str_ == nullptr) return false;
  if (len > length_) len = length_;
  length_ -= len;
  str_[length_] = 0;
  return false;
}

void DynamicStr::addLength(size_t n) {
  if (max_length_ == 0) return;
  if (n > max_length_ - 1 - length_) n = max_length_ - 1 - length_;
  length_ += n;
  str_[length_] = 0;
}

}  // namespace ostrel
