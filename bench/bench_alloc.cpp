// Counting operator new for the benchmarks that report allocations per event.
#include <atomic>
#include <cstdlib>
#include <new>

#include "bench_util.h"

namespace {
std::atomic<size_t> g_allocations{0};
void* Allocate(size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return malloc(n == 0 ? 1 : n);
}
}  // namespace

size_t benchutil::Allocations() { return g_allocations.load(std::memory_order_relaxed); }

void* operator new(size_t n) {
  void* p = Allocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) {
  void* p = Allocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
