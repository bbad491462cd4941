// Cache hints shared by the plug-in (the sink's read-ahead, the logger) and the writer library
// (header only, so that neither links the other). A hint never reads or writes memory, so it may
// name any address, including bytes past what is in use (it does not fault).
#pragma once

namespace ostrel {

inline void PrefetchForRead(const void* p) { __builtin_prefetch(p, 0, 3); }

// Asks for the line in a writable state, so that stores into it do not fetch ownership again; a
// read prefetch would leave that to the store. PREFETCHW runs as a no-op on x86 processors that
// lack it.
inline void PrefetchForWrite(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetchw %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p, 1, 3);
#endif
}

}  // namespace ostrel
