// The global operator new and delete of a test program, replaced on top of TestAllocate (which the
// including source defines, before this include, as `static void* TestAllocate(size_t n)`; null
// means the allocation fails). Include it in exactly one source of a program.
#pragma once

#include <cstdlib>
#include <new>

void* operator new(size_t n) {
  void* p = TestAllocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) {
  void* p = TestAllocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return TestAllocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return TestAllocate(n); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }
