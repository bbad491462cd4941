// Log records and their line text, the ring and queue buffers, the rolling file writer and the
// logger's background thread.
#include "logging/NanoLog.h"

#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <ostream>

#include "shared/prefetch.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

// The background thread's idle poll. 50 microseconds in every build that ships; the benchmarks build
// a variant with a longer poll only to measure what the poll costs the processes beside it.
#ifndef NANOLOG_IDLE_POLL_US
#define NANOLOG_IDLE_POLL_US 50
#endif

namespace nanolog {

namespace {

const size_t kHeaderBytes = 37;

// How far ahead of its own slot a push claims the cache lines of a later one (see Buffer::push): far
// enough that the lines arrive before that push, near enough that they are still in the core's cache.
const unsigned int kPrefetchSlotsAhead = 4;

uint64_t system_clock_us() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// Time stamps from the CPU's time-stamp counter. On virtual machines a read of the system clock costs
// a statement more than all its other work together (about 50 ns against 17 ns for the counter). The
// background threads pair a counter reading with the system clock every 100 ms and publish a linear
// map; statements extrapolate from the newest one, so a stamp is off by no more than the counter's
// rate error over 100 ms (well under a microsecond). The counter is used only where the kernel itself
// keeps time with it (clocksource "tsc": constant rate, synchronised across CPUs); elsewhere, before
// the first map, and once no map is fresh (no logger running), statements read the system clock.
//
// Threads: any thread calls now_us; calibrate is called by logger background threads (two may run
// while a logger is replaced: one at a time calibrates, the other skips). The map is a sequence lock
// over atomics: readers retry while a writer is in the middle.
class CounterClock {
 public:
  CounterClock() : m_usable(kernel_keeps_time_with_tsc()) { m_busy.clear(); }

  uint64_t now_us() {
    if (m_usable) {
      const uint64_t tsc = read_counter();
      for (int attempt = 0; attempt < 4; ++attempt) {
        const uint32_t seq = m_seq.load(std::memory_order_acquire);
        if ((seq & 1u) != 0) continue;
        const uint64_t base_tsc = m_base_tsc.load(std::memory_order_relaxed);
        const uint64_t base_ns = m_base_ns.load(std::memory_order_relaxed);
        const uint64_t mult = m_mult.load(std::memory_order_relaxed);
        const uint64_t fresh = m_fresh_ticks.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (m_seq.load(std::memory_order_relaxed) != seq) continue;
        const uint64_t ticks = tsc - base_tsc;
        if (mult == 0 || ticks > fresh) break;  // no map yet, or too old to trust
        return (base_ns + static_cast<uint64_t>((static_cast<unsigned __int128>(ticks) * mult) >> 32)) / 1000;
      }
    }
    return system_clock_us();
  }

  // Takes a new pair when the last is 100 ms old. The rate comes from an anchor pair, taken again once
  // it is a second old, so the map follows the rate the system clock keeps (NTP slews it slightly). A
  // pair that the map misses by more than a millisecond means the system clock was stepped (or the
  // machine slept): the map is dropped and built again.
  void calibrate() {
    if (!m_usable) return;
    if (read_counter() - m_last_tsc.load(std::memory_order_relaxed) < m_interval_ticks.load(std::memory_order_relaxed)) {
      return;
    }
    if (m_busy.test_and_set(std::memory_order_acquire)) return;
    uint64_t tsc = 0, ns = 0;
    read_pair(&tsc, &ns);
    const uint64_t anchor_tsc = m_anchor_tsc.load(std::memory_order_relaxed);
    const uint64_t anchor_ns = m_anchor_ns.load(std::memory_order_relaxed);
    bool restart = anchor_tsc == 0 || tsc <= anchor_tsc || ns <= anchor_ns;
    const uint64_t mult = m_mult.load(std::memory_order_relaxed);
    if (!restart && mult != 0) {
      const uint64_t ticks = tsc - m_base_tsc.load(std::memory_order_relaxed);
      const uint64_t predicted =
          m_base_ns.load(std::memory_order_relaxed) +
          static_cast<uint64_t>((static_cast<unsigned __int128>(ticks) * mult) >> 32);
      restart = (predicted > ns ? predicted - ns : ns - predicted) > 1000000;
    }
    if (restart) {
      publish(0, 0, 0, 0);
      m_anchor_tsc.store(tsc, std::memory_order_relaxed);
      m_anchor_ns.store(ns, std::memory_order_relaxed);
      m_interval_ticks.store(0, std::memory_order_relaxed);  // measure again at the next call
    } else if (ns - anchor_ns >= 10000000) {  // a window of 10 ms or more gives a usable rate
      const uint64_t new_mult = static_cast<uint64_t>(
          (static_cast<unsigned __int128>(ns - anchor_ns) << 32) / (tsc - anchor_tsc));
      const uint64_t ticks_per_100ms =
          static_cast<uint64_t>(static_cast<unsigned __int128>(tsc - anchor_tsc) * 100000000 / (ns - anchor_ns));
      publish(tsc, ns, new_mult, ticks_per_100ms * 10);  // a map older than a second is not used
      m_interval_ticks.store(ticks_per_100ms, std::memory_order_relaxed);
      if (ns - anchor_ns >= 1000000000) {
        m_anchor_tsc.store(tsc, std::memory_order_relaxed);
        m_anchor_ns.store(ns, std::memory_order_relaxed);
      }
    }
    m_last_tsc.store(tsc, std::memory_order_relaxed);
    m_busy.clear(std::memory_order_release);
  }

 private:
  static uint64_t read_counter() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return 0;
#endif
  }

  void publish(uint64_t base_tsc, uint64_t base_ns, uint64_t mult, uint64_t fresh_ticks) {
    const uint32_t seq = m_seq.load(std::memory_order_relaxed);
    m_seq.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    m_base_tsc.store(base_tsc, std::memory_order_relaxed);
    m_base_ns.store(base_ns, std::memory_order_relaxed);
    m_mult.store(mult, std::memory_order_relaxed);
    m_fresh_ticks.store(fresh_ticks, std::memory_order_relaxed);
    m_seq.store(seq + 2, std::memory_order_release);
  }

  // The reading of the system clock (in nanoseconds, so that a pair is not off by up to a microsecond)
  // with the narrowest pair of counter readings around it.
  static void read_pair(uint64_t* tsc, uint64_t* ns) {
    uint64_t best = ~0ull;
    for (int i = 0; i < 5; ++i) {
      const uint64_t a = read_counter();
      const uint64_t t = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                   std::chrono::system_clock::now().time_since_epoch())
                                                   .count());
      const uint64_t b = read_counter();
      if (b - a < best) {
        best = b - a;
        *tsc = a + (b - a) / 2;
        *ns = t;
      }
    }
  }

  static bool kernel_keeps_time_with_tsc() {
#if !defined(__x86_64__) && !defined(__i386__)
    return false;
#endif
    FILE* f = fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "re");
    if (f == nullptr) return false;
    char name[32] = {0};
    const bool tsc = fgets(name, sizeof(name), f) != nullptr && strncmp(name, "tsc\n", 4) == 0;
    fclose(f);
    return tsc;
  }

  const bool m_usable;
  std::atomic<uint32_t> m_seq{0};
  std::atomic<uint64_t> m_base_tsc{0}, m_base_ns{0}, m_mult{0}, m_fresh_ticks{0};
  // Calibration state, used by the calibrating thread (m_busy held) and read without it only for the
  // cheap "is it time" test.
  std::atomic<uint64_t> m_anchor_tsc{0}, m_anchor_ns{0}, m_last_tsc{0}, m_interval_ticks{0};
  std::atomic_flag m_busy;
};

CounterClock& counter_clock() {
  static CounterClock clock;
  return clock;
}

uint64_t timestamp_now() { return counter_clock().now_us(); }

std::thread::id this_thread_id() {
  static thread_local const std::thread::id id = std::this_thread::get_id();
  return id;
}

void format_timestamp(std::ostream& os, uint64_t timestamp) {
  std::time_t seconds = static_cast<std::time_t>(timestamp / 1000000);
  std::tm gmtime;
  gmtime_r(&seconds, &gmtime);
  char buffer[32];
  strftime(buffer, sizeof(buffer), "%Y-%m-%d %T.", &gmtime);
  char microseconds[16];
  snprintf(microseconds, sizeof(microseconds), "%06llu", static_cast<unsigned long long>(timestamp % 1000000));
  os << '[' << buffer << microseconds << ']';
}

template <typename T>
T read_raw(const char* p) {
  T v;
  memcpy(&v, p, sizeof(T));
  return v;
}

// Type bytes, in the order of the supported operand types.
enum TypeId : uint8_t {
  kChar = 0,
  kUint32 = 1,
  kUint64 = 2,
  kInt32 = 3,
  kInt64 = 4,
  kDouble = 5,
  kLiteral = 6,
  kCString = 7,
};

// Reports a buffer allocation failure once per process on standard error.
void report_alloc_failure(const char* what) {
  static std::atomic<bool> reported(false);
  if (!reported.exchange(true)) {
    fprintf(stderr, "nanolog: cannot allocate %s, log records are dropped\n", what);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// NanoLogLine

NanoLogLine::NanoLogLine(LogLevel level, const char* file, const char* function, uint32_t line)
    : m_bytes_used(0), m_buffer_size(sizeof(m_stack_buffer)) {
  char* b = m_stack_buffer;
  uint64_t ts = timestamp_now();
  std::thread::id tid = this_thread_id();
  static_assert(sizeof(tid) == 8, "the header keeps 8 bytes for the thread id");
  memcpy(b, &ts, 8);
  memcpy(b + 8, &tid, 8);
  memcpy(b + 16, &file, 8);
  memcpy(b + 24, &function, 8);
  memcpy(b + 32, &line, 4);
  b[36] = static_cast<char>(level);
  m_bytes_used = kHeaderBytes;
}

NanoLogLine::~NanoLogLine() = default;

NanoLogLine::NanoLogLine(NanoLogLine&& other) noexcept
    : m_bytes_used(other.m_bytes_used),
      m_buffer_size(other.m_buffer_size),
      m_heap_buffer(std::move(other.m_heap_buffer)) {
  memcpy(m_stack_buffer, other.m_stack_buffer, sizeof(m_stack_buffer));
}

NanoLogLine& NanoLogLine::operator=(NanoLogLine&& other) noexcept {
  if (this == &other) return *this;
  m_bytes_used = other.m_bytes_used;
  m_buffer_size = other.m_buffer_size;
  m_heap_buffer = std::move(other.m_heap_buffer);
  memcpy(m_stack_buffer, other.m_stack_buffer, sizeof(m_stack_buffer));
  return *this;
}

char* NanoLogLine::buffer() { return m_heap_buffer ? m_heap_buffer.get() : m_stack_buffer; }

void NanoLogLine::resize_buffer_if_needed(size_t additional_bytes) {
  size_t required_size = m_bytes_used + additional_bytes;
  if (required_size <= m_buffer_size) return;
  if (!m_heap_buffer) {
    m_buffer_size = required_size > 512 ? required_size : 512;
    m_heap_buffer.reset(new char[m_buffer_size]);
    memcpy(m_heap_buffer.get(), m_stack_buffer, m_bytes_used);
    return;
  }
  m_buffer_size = required_size > 2 * m_buffer_size ? required_size : 2 * m_buffer_size;
  std::unique_ptr<char[]> new_heap_buffer(new char[m_buffer_size]);
  memcpy(new_heap_buffer.get(), m_heap_buffer.get(), m_bytes_used);
  m_heap_buffer.swap(new_heap_buffer);
}

template <typename Arg>
void NanoLogLine::encode(Arg arg, uint8_t type_id) {
  resize_buffer_if_needed(1 + sizeof(Arg));
  char* b = buffer() + m_bytes_used;
  b[0] = static_cast<char>(type_id);
  memcpy(b + 1, &arg, sizeof(Arg));
  m_bytes_used += 1 + sizeof(Arg);
}

void NanoLogLine::encode(string_literal_t arg) { encode<const char*>(arg.m_s, kLiteral); }

void NanoLogLine::encode_c_string(const char* arg) {
  if (arg != nullptr) encode_c_string(arg, strlen(arg));
}

void NanoLogLine::encode_c_string(const char* arg, size_t length) {
  if (length == 0) return;
  resize_buffer_if_needed(1 + length + 1);
  char* b = buffer() + m_bytes_used;
  b[0] = static_cast<char>(kCString);
  memcpy(b + 1, arg, length);
  b[1 + length] = 0;  // written rather than copied, so a string cut at an inner NUL still ends here
  m_bytes_used += 1 + length + 1;
}

NanoLogLine& NanoLogLine::operator<<(char arg) {
  encode<char>(arg, kChar);
  return *this;
}
NanoLogLine& NanoLogLine::operator<<(int32_t arg) {
  encode<int32_t>(arg, kInt32);
  return *this;
}
NanoLogLine& NanoLogLine::operator<<(uint32_t arg) {
  encode<uint32_t>(arg, kUint32);
  return *this;
}
NanoLogLine& NanoLogLine::operator<<(int64_t arg) {
  encode<int64_t>(arg, kInt64);
  return *this;
}
NanoLogLine& NanoLogLine::operator<<(uint64_t arg) {
  encode<uint64_t>(arg, kUint64);
  return *this;
}
NanoLogLine& NanoLogLine::operator<<(double arg) {
  encode<double>(arg, kDouble);
  return *this;
}
NanoLogLine& NanoLogLine::operator<<(const std::string& arg) {
  // A type-7 element ends at its first NUL when printed: store only what precedes it.
  encode_c_string(arg.c_str(), strnlen(arg.c_str(), arg.length()));
  return *this;
}

void NanoLogLine::stringify(std::ostream& os) {
  char* b = buffer();
  const char* const end = b + m_bytes_used;
  uint64_t timestamp = read_raw<uint64_t>(b);
  std::thread::id tid = read_raw<std::thread::id>(b + 8);
  const char* file = read_raw<const char*>(b + 16);
  const char* function = read_raw<const char*>(b + 24);
  uint32_t line = read_raw<uint32_t>(b + 32);
  LogLevel level = static_cast<LogLevel>(static_cast<uint8_t>(b[36]));

  format_timestamp(os, timestamp);
  os << '[' << to_string(level) << ']' << '[' << tid << ']' << '[' << (file ? file : "") << ':'
     << (function ? function : "") << ':' << line << "] ";
  stringify(os, b + kHeaderBytes, end);
  os << std::endl;
  if (static_cast<uint8_t>(level) > static_cast<uint8_t>(LogLevel::WARN)) os.flush();
}

void NanoLogLine::stringify(std::ostream& os, char* start, const char* end) {
  while (start < end) {
    uint8_t type_id = static_cast<uint8_t>(*start++);
    switch (type_id) {
      case kChar: os << *start; start += 1; break;
      case kUint32: os << read_raw<uint32_t>(start); start += 4; break;
      case kUint64: os << read_raw<uint64_t>(start); start += 8; break;
      case kInt32: os << read_raw<int32_t>(start); start += 4; break;
      case kInt64: os << read_raw<int64_t>(start); start += 8; break;
      case kDouble: os << read_raw<double>(start); start += 8; break;
      case kLiteral: {
        const char* s = read_raw<const char*>(start);
        if (s != nullptr) os << s;
        start += 8;
        break;
      }
      case kCString: {
        const char* nul = static_cast<const char*>(memchr(start, 0, static_cast<size_t>(end - start)));
        if (nul == nullptr) return;
        os.write(start, nul - start);
        start = const_cast<char*>(nul) + 1;
        break;
      }
      default:
        return;
    }
  }
}

// ---------------------------------------------------------------------------------------------------
// Level filter and hand-over

std::atomic<unsigned int> loglevel{0};

namespace {
// Statements in flight, counted in one of two slots chosen by g_epoch. A replacement swaps the
// logger, flips the epoch and waits for the old slot to drain: statements that start later count in
// the other slot, so the wait cannot be starved by a steady stream of new statements.
// Each epoch's count is spread over cache lines, a thread counting in the line its id hashes to, so
// that statements of different threads do not contend for one line; a replacement waits for all.
constexpr unsigned int kCountLines = 16;
struct alignas(64) ActiveCount {
  std::atomic<int> n{0};
};
std::atomic<unsigned int> g_epoch{0};
ActiveCount g_active_adds[2][kCountLines];

unsigned int count_line() {
  static thread_local const unsigned int line =
      static_cast<unsigned int>(std::hash<std::thread::id>()(std::this_thread::get_id()) % kCountLines);
  return line;
}

bool epoch_drained(unsigned int slot) {
  for (const ActiveCount& c : g_active_adds[slot]) {
    if (c.n.load(std::memory_order_seq_cst) != 0) return false;
  }
  return true;
}

// REQUIRES: old is no longer reachable through atomic_nanologger. Called by one thread at a time.
void retire(NanoLogger* old) {
  unsigned int slot = g_epoch.fetch_add(1, std::memory_order_seq_cst) & 1u;
  while (!epoch_drained(slot)) std::this_thread::yield();
  delete old;
}
}  // namespace

bool NanoLog::operator==(NanoLogLine& logline) {
  // Count in the slot of the current epoch; if a replacement flipped the epoch in between, the count
  // may have gone to a slot nobody waits for any more: take it back and count again.
  const unsigned int line = count_line();
  unsigned int epoch;
  std::atomic<int>* count;
  for (;;) {
    epoch = g_epoch.load(std::memory_order_seq_cst);
    count = &g_active_adds[epoch & 1u][line].n;
    count->fetch_add(1, std::memory_order_seq_cst);
    if (g_epoch.load(std::memory_order_seq_cst) == epoch) break;
    count->fetch_sub(1, std::memory_order_release);
  }
  NanoLogger* logger = atomic_nanologger.load(std::memory_order_seq_cst);
  if (logger != nullptr) logger->add(std::move(logline));
  count->fetch_sub(1, std::memory_order_release);
  return true;
}

void set_log_level(LogLevel level) {
  loglevel.store(static_cast<unsigned int>(level), std::memory_order_release);
}

bool is_logged(LogLevel level) {
  return static_cast<unsigned int>(level) >= loglevel.load(std::memory_order_relaxed);
}

const char* to_string(LogLevel level) {
  switch (level) {
    case LogLevel::INFO: return "INFO";
    case LogLevel::WARN: return "WARN";
    case LogLevel::CRIT: return "CRIT";
  }
  return "XXXX";
}

// ---------------------------------------------------------------------------------------------------
// SpinLock

SpinLock::SpinLock(std::atomic_flag& flag) : m_flag(flag) {
  while (m_flag.test_and_set(std::memory_order_acquire)) {
  }
}

SpinLock::~SpinLock() { m_flag.clear(std::memory_order_release); }

// ---------------------------------------------------------------------------------------------------
// RingBuffer

RingBuffer::RingBuffer(size_t size)
    : m_size(size), m_ring(static_cast<Item*>(malloc(size * sizeof(Item)))), m_write_index(0), m_read_index(0) {
  if (m_ring == nullptr) {
    report_alloc_failure("the log ring buffer");
    return;
  }
  for (size_t i = 0; i < m_size; ++i) new (&m_ring[i]) Item();
}

RingBuffer::~RingBuffer() {
  if (m_ring == nullptr) return;
  for (size_t i = 0; i < m_size; ++i) m_ring[i].~Item();
  free(m_ring);
}

void RingBuffer::push(NanoLogLine&& logline) {
  if (m_ring == nullptr) return;
  unsigned int write_index = m_write_index.fetch_add(1, std::memory_order_relaxed) % m_size;
  Item& item = m_ring[write_index];
  SpinLock spinlock(item.flag);
  item.logline = std::move(logline);
  item.written = 1;
}

bool RingBuffer::try_pop(NanoLogLine& logline) {
  if (m_ring == nullptr) return false;
  Item& item = m_ring[m_read_index % m_size];
  SpinLock spinlock(item.flag);
  if (item.written != 1) return false;
  logline = std::move(item.logline);
  item.written = 0;
  ++m_read_index;
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Buffer

Buffer::Buffer() : m_buffer(static_cast<Item*>(malloc(size * sizeof(Item)))) {
  for (size_t i = 0; i <= size; ++i) m_write_state[i].store(0, std::memory_order_relaxed);
}

Buffer::~Buffer() {
  if (m_buffer == nullptr) return;
  destroy_records();
  free(m_buffer);
}

void Buffer::destroy_records() {
  unsigned int write_count = m_write_state[size].load();
  for (size_t i = 0; i < write_count; ++i) m_buffer[i].~Item();
}

void Buffer::reset() {
  destroy_records();
  for (size_t i = 0; i <= size; ++i) m_write_state[i].store(0, std::memory_order_relaxed);
}

void Buffer::prefault() {
  if (m_buffer == nullptr) return;
  // One system call that populates every page is cheaper than 2048 faults (about 4 ms against 6 ms on
  // this VM), and a consumer that lags must prepare a block faster than producers fill one. Without it,
  // one write per page, through volatile: a memset of zeros right after the malloc may be turned into
  // a calloc by the compiler, which leaves fresh pages untouched. (The slot states need nothing: the
  // constructor has written every one.)
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = reinterpret_cast<uintptr_t>(m_buffer);
  const uintptr_t first_page = (begin + page - 1) & ~(static_cast<uintptr_t>(page) - 1);
  const uintptr_t end = (begin + size * sizeof(Item)) & ~(static_cast<uintptr_t>(page) - 1);
#ifdef MADV_POPULATE_WRITE
  const bool populated =
      end > first_page && madvise(reinterpret_cast<void*>(first_page), end - first_page, MADV_POPULATE_WRITE) == 0;
#else
  const bool populated = false;
#endif
  volatile char* bytes = reinterpret_cast<volatile char*>(m_buffer);
  if (!populated) {
    for (size_t at = 0; at < size * sizeof(Item); at += page) bytes[at] = 0;
  } else {
    bytes[0] = 0;  // the partial pages at both ends
    bytes[size * sizeof(Item) - 1] = 0;
  }
}

bool Buffer::push(NanoLogLine&& logline, unsigned int write_index) {
  // The slots a few pushes on are claimed for writing now, so that their cache lines are this core's
  // by the time a statement fills them. Otherwise every push writes four lines that are in memory or
  // in the cache of the thread that prepared the block, and the locked add below waits for those
  // stores (measured: p99 of one logging thread two thirds of what it was). A hint: nothing is read
  // or written.
  if (write_index + kPrefetchSlotsAhead < size) {
    const char* ahead = reinterpret_cast<const char*>(&m_buffer[write_index + kPrefetchSlotsAhead]);
    for (size_t line = 0; line < sizeof(Item); line += 64) ostrel::PrefetchForWrite(ahead + line);
  }
  new (&m_buffer[write_index]) Item(std::move(logline));
  m_write_state[write_index].store(1, std::memory_order_release);
  return m_write_state[size].fetch_add(1, std::memory_order_acq_rel) + 1 == size;
}

bool Buffer::try_pop(NanoLogLine& logline, unsigned int read_index) {
  if (m_write_state[read_index].load(std::memory_order_acquire) == 0) return false;
  logline = std::move(m_buffer[read_index].logline);
  return true;
}

bool Buffer::all_pushes_done() { return m_write_state[size].load(std::memory_order_acquire) == size; }

// ---------------------------------------------------------------------------------------------------
// QueueBuffer

QueueBuffer::QueueBuffer()
    : m_current_write_buffer(nullptr),
      m_current_read_buffer(nullptr),
      m_write_index(0),
      m_read_index(0),
      m_alloc_failed(false),
      m_spare(nullptr) {
  m_flag.clear();
  m_setup_flag.clear();
  // The first block too is touched here, on the thread that starts the logger, not by its first
  // statements.
  prepare_spare();
  if (!setup_next_write_buffer()) m_write_index.store(Buffer::size, std::memory_order_release);
}

QueueBuffer::~QueueBuffer() { delete m_spare.exchange(nullptr); }

bool QueueBuffer::setup_next_write_buffer() {
  // A block the consumer has prepared (fully read and reset, or new with its pages touched) saves the
  // filling producer the allocation and the page faults of 8 MiB.
  std::unique_ptr<Buffer> next(m_spare.exchange(nullptr, std::memory_order_acq_rel));
  if (!next) {
    // The consumer fell behind with that too (producers filling 8 MiB faster than it can touch 8
    // MiB): this producer touches the block in one go, so that one statement in 32768 waits for it
    // instead of one in 16 taking a page fault.
    next.reset(new (std::nothrow) Buffer());
    if (next) next->prefault();
  }
  if (!next || next->m_buffer == nullptr) {
    report_alloc_failure("a log queue block");
    m_alloc_failed.store(true, std::memory_order_release);
    return false;
  }
  m_current_write_buffer.store(next.get(), std::memory_order_release);
  SpinLock spinlock(m_flag);
  m_buffers.push(std::move(next));
  // Release: a producer whose fetch_add reads this reset also sees the new block.
  m_write_index.store(0, std::memory_order_release);
  return true;
}

void QueueBuffer::push(NanoLogLine&& logline) {
  for (;;) {
    unsigned int write_index = m_write_index.fetch_add(1, std::memory_order_acquire);
    if (write_index < Buffer::size) {
      Buffer* block = m_current_write_buffer.load(std::memory_order_acquire);
      if (block->push(std::move(logline), write_index)) setup_next_write_buffer();
      return;
    }
    // Waiting for the producer that sets up the next block. It may take milliseconds (see
    // setup_next_write_buffer): after a short spin, give the CPU away, to that producer among others.
    for (unsigned int spins = 0; m_write_index.load(std::memory_order_acquire) >= Buffer::size; ++spins) {
      if (spins >= 64) std::this_thread::yield();
      if (m_alloc_failed.load(std::memory_order_acquire)) {
        // The last block could not be replaced: one producer at a time retries, the record is dropped
        // unless a block becomes available.
        if (!m_setup_flag.test_and_set(std::memory_order_acquire)) {
          bool ok = false;
          if (m_alloc_failed.exchange(false, std::memory_order_acq_rel)) ok = setup_next_write_buffer();
          m_setup_flag.clear(std::memory_order_release);
          if (ok) break;
        }
        if (m_alloc_failed.load(std::memory_order_acquire)) return;
      }
    }
  }
}

Buffer* QueueBuffer::get_next_read_buffer() {
  SpinLock spinlock(m_flag);
  return m_buffers.empty() ? nullptr : m_buffers.front().get();
}

void QueueBuffer::remove_read_buffer() {
  m_read_index = 0;
  m_current_read_buffer = nullptr;
  std::unique_ptr<Buffer> done;
  {
    SpinLock spinlock(m_flag);
    done = std::move(m_buffers.front());
    m_buffers.pop();
  }
  // Keep one read block as the next write block; a second one is released.
  done->reset();
  delete m_spare.exchange(done.release(), std::memory_order_acq_rel);
}

bool QueueBuffer::consumer_lags() {
  const Buffer* write_block = m_current_write_buffer.load(std::memory_order_acquire);
  const unsigned int written = m_write_index.load(std::memory_order_relaxed);
  // Reading the block being written: it becomes the spare only after producers have left it, so
  // without a spare (the logger's first block) the next one is made once this one is half full.
  if (m_current_read_buffer == write_block) return written >= Buffer::size / 2;
  // Records still to read in the read block, plus those written into the current write block (blocks
  // in between only add to it): half a block or more, and the producers will need the next block
  // before this one is read.
  const size_t unread = Buffer::size - m_read_index + (written < Buffer::size ? written : Buffer::size);
  return unread >= Buffer::size / 2;
}

void QueueBuffer::prepare_spare() {
  if (m_spare.load(std::memory_order_relaxed) != nullptr) return;
  std::unique_ptr<Buffer> block(new (std::nothrow) Buffer());
  if (!block || block->m_buffer == nullptr) return;
  block->prefault();
  Buffer* expected = nullptr;
  if (m_spare.compare_exchange_strong(expected, block.get(), std::memory_order_acq_rel)) block.release();
}

bool QueueBuffer::try_pop(NanoLogLine& logline) {
  if (m_current_read_buffer == nullptr) m_current_read_buffer = get_next_read_buffer();
  if (m_current_read_buffer == nullptr) return false;
  // The consumer has the next write block ready (see setup_next_write_buffer) even while records keep
  // coming, so that no statement takes the page faults of a fresh block however far the producers run
  // ahead of the file. Only when it lags: a consumer that keeps up finishes its block in time to make
  // it the spare, and a block made for nothing would cost it 8 MiB of page faults every cycle.
  if (m_spare.load(std::memory_order_relaxed) == nullptr && consumer_lags()) prepare_spare();

  if (m_read_index == Buffer::size) {
    // Fully read, but the producer of a late slot may still be finishing its push into it.
    if (!m_current_read_buffer->all_pushes_done()) return false;
    remove_read_buffer();
    m_current_read_buffer = get_next_read_buffer();
    if (m_current_read_buffer == nullptr) return false;
  }

  if (!m_current_read_buffer->try_pop(logline, m_read_index)) return false;
  ++m_read_index;
  if (m_read_index == Buffer::size && m_current_read_buffer->all_pushes_done()) remove_read_buffer();
  return true;
}

// ---------------------------------------------------------------------------------------------------
// FileWriter

namespace {

// What the writing thread knows about its file beyond FileWriter's fixed fields: whether it can be
// written, how many lines were lost meanwhile, and which file the stream is meant to be on. A
// FileWriter is written by one thread (its logger's background thread; a test's own thread), so this
// is kept per thread and belongs to the FileWriter that last wrote from it.
struct FileHealth {
  const FileWriter* owner = nullptr;
  std::string path;        // the file the stream was opened on by this thread ("" before the first look)
  dev_t dev = 0;
  ino_t ino = 0;
  bool failing = false;    // reported on standard error; lines are counted as lost until a reopen works
  uint64_t lost = 0;
  uint64_t since_check = 0;  // lines written since the file was last found in its place
  time_t next_try = 0;
};

thread_local FileHealth t_health;

const time_t kRetrySeconds = 1;

int64_t MonotonicSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::atomic<retry_clock> g_retry_clock{&MonotonicSeconds};

std::string TodaysPath(const std::string& name, uint32_t number) {
  char buff[16] = {0};
  std::time_t now = std::time(nullptr);
  std::tm gmtime;
  gmtime_r(&now, &gmtime);
  strftime(buff, sizeof(buff), "%Y-%m-%d", &gmtime);
  return name + "." + buff + ".log." + std::to_string(number);
}

// The file at path is the one we write (same device and inode as when it was opened by us).
bool StillInPlace(const FileHealth& h) {
  struct stat st;
  return stat(h.path.c_str(), &st) == 0 && st.st_dev == h.dev && st.st_ino == h.ino;
}

void Remember(FileHealth& h, const std::string& path) {
  h.path = path;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    h.dev = st.st_dev;
    h.ino = st.st_ino;
  }
  h.since_check = 0;
}

}  // namespace

void set_retry_clock(retry_clock clock) {
  g_retry_clock.store(clock != nullptr ? clock : &MonotonicSeconds, std::memory_order_relaxed);
}

FileWriter::FileWriter(const std::string& log_directory, const std::string& log_file_name,
                       uint32_t log_file_roll_size_mb)
    : m_file_number(0),
      m_bytes_written(0),
      m_log_file_roll_size_bytes(static_cast<uint64_t>(log_file_roll_size_mb) * 1024 * 1024),
      m_log_directory(log_directory.empty() ? std::string(".") : log_directory),
      m_log_file_name(log_file_name) {
  m_name = m_log_directory;
  if (m_name.back() != '/') m_name += '/';
  m_name += m_log_file_name;
  if (t_health.owner == this) t_health = FileHealth();  // another writer lived at this address before
  roll_file(true);
}

FileWriter::~FileWriter() {
  if (t_health.owner == this) t_health.owner = nullptr;
}


// A file that cannot be opened or written, or that was removed while in use, is reported once on
// standard error and opened again at the next line after a back-off of a second; once writing works
// again, the first line says how many lines were lost meanwhile.
void FileWriter::write(NanoLogLine& logline) {
  FileHealth& h = t_health;
  if (h.owner != this) {
    h = FileHealth();
    h.owner = this;
  }
  const time_t now = static_cast<time_t>(g_retry_clock.load(std::memory_order_relaxed)());
  bool usable = m_os && m_os->is_open() && m_os->good();
  if (usable && h.path.empty()) Remember(h, TodaysPath(m_name, m_file_number));  // opened by the constructor
  if (usable && now >= h.next_try) {
    h.next_try = now + kRetrySeconds;
    if (!StillInPlace(h)) {  // removed or replaced while in use: what went to it since the last look is gone
      h.lost += h.since_check;
      if (!h.failing) fprintf(stderr, "log file %s was removed while in use; opening it again\n", h.path.c_str());
      h.failing = true;
      usable = false;
      h.next_try = now;
    }
  }
  if (!usable) {
    if (now < h.next_try) {
      ++h.lost;
      return;
    }
    const std::string path = TodaysPath(m_name, m_file_number);
    m_os.reset(new std::ofstream());
    m_os->open(path, std::ofstream::out | std::ofstream::app);
    if (!m_os->is_open()) {
      const int err = errno;
      if (!h.failing) {
        fprintf(stderr, "open log file %s failed %d[%s]; lines are lost until it opens, trying every second\n",
                path.c_str(), err, strerror(err));
      }
      h.failing = true;
      h.next_try = now + kRetrySeconds;
      ++h.lost;
      return;
    }
    Remember(h, path);
    m_bytes_written = 0;
    if (h.failing && h.lost > 0) {
      NanoLogLine note(LogLevel::WARN, __FILE__, __func__, __LINE__);
      note << h.lost << " log lines were lost while the log file could not be written";
      note.stringify(*m_os);
    }
    h.failing = false;
    h.lost = 0;
  }
  auto pos = m_os->tellp();
  logline.stringify(*m_os);
  if (!m_os->good()) {  // a full disk or an I/O error: this line and what follows are lost until a reopen
    const int err = errno;
    if (!h.failing) {
      fprintf(stderr, "write to log file %s failed %d[%s]; lines are lost until it can be written, trying every second\n",
              h.path.c_str(), err, strerror(err));
    }
    h.failing = true;
    h.next_try = now + kRetrySeconds;
    ++h.lost;
    return;
  }
  ++h.since_check;
  m_bytes_written += m_os->tellp() - pos;
  if (m_bytes_written > static_cast<std::streamoff>(m_log_file_roll_size_bytes)) {
    roll_file(false);
    if (m_os->is_open()) Remember(h, TodaysPath(m_name, m_file_number));
  }
}

void FileWriter::roll_file(bool need_scan) {
  if (m_os) {
    m_os->flush();
    m_os->close();
  }
  char buff[16] = {0};
  std::time_t now = std::time(nullptr);
  std::tm gmtime;
  gmtime_r(&now, &gmtime);
  strftime(buff, sizeof(buff), "%Y-%m-%d", &gmtime);
  if (need_scan) {
    scan_log_directory(buff);
  } else {
    ++m_file_number;
  }
  m_bytes_written = 0;
  m_os.reset(new std::ofstream());
  std::string log_file_name = m_name;
  log_file_name.append(".").append(buff).append(".log.").append(std::to_string(m_file_number));
  m_os->open(log_file_name, std::ofstream::out | std::ofstream::app);
}

void FileWriter::scan_log_directory(char* buff) {
  DIR* dir = opendir(m_log_directory.c_str());
  if (dir == nullptr) {
    int err = errno;
    fprintf(stderr, "open log directory %s failed %d[%s]\n", m_log_directory.c_str(), err, strerror(err));
    return;
  }
  std::string prefix = m_log_file_name + "." + buff + ".log.";
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) continue;
    uint32_t number = static_cast<uint32_t>(atoi(entry->d_name + prefix.size()));
    if (m_file_number < number) m_file_number = number;
  }
  closedir(dir);
}

// ---------------------------------------------------------------------------------------------------
// NanoLogger

NanoLogger::NanoLogger(NonGuaranteedLogger ngl, const std::string& log_directory, const std::string& log_file_name,
                       uint32_t log_file_roll_size_mb)
    : m_state(State::INIT),
      m_buffer_base(new RingBuffer(static_cast<size_t>(ngl.ring_buffer_size_mb > 1 ? ngl.ring_buffer_size_mb : 1) *
                                   1024 * 4)),
      m_file_writer(log_directory, log_file_name, log_file_roll_size_mb > 1 ? log_file_roll_size_mb : 1),
      m_thread(&NanoLogger::pop, this) {
  m_state.store(State::READY, std::memory_order_release);
}

NanoLogger::NanoLogger(GuaranteedLogger, const std::string& log_directory, const std::string& log_file_name,
                       uint32_t log_file_roll_size_mb)
    : m_state(State::INIT),
      m_buffer_base(new QueueBuffer()),
      m_file_writer(log_directory, log_file_name, log_file_roll_size_mb > 1 ? log_file_roll_size_mb : 1),
      m_thread(&NanoLogger::pop, this) {
  m_state.store(State::READY, std::memory_order_release);
}

NanoLogger::~NanoLogger() {
  m_state.store(State::SHUTDOWN);
  m_thread.join();
}

void NanoLogger::add(NanoLogLine&& logline) { m_buffer_base->push(std::move(logline)); }

void NanoLogger::pop() {
  while (m_state.load(std::memory_order_acquire) == State::INIT) usleep(50);
  NanoLogLine logline(LogLevel::INFO, nullptr, nullptr, 0);
  CounterClock& clock = counter_clock();
  clock.calibrate();
  unsigned int since_calibration = 0;
  while (m_state.load() == State::READY) {
    if (m_buffer_base->try_pop(logline)) {
      m_file_writer.write(logline);
      if (++since_calibration == 1024) {
        since_calibration = 0;
        clock.calibrate();
      }
    } else {
      clock.calibrate();
      usleep(NANOLOG_IDLE_POLL_US);
    }
  }
  while (m_buffer_base->try_pop(logline)) m_file_writer.write(logline);
}

// ---------------------------------------------------------------------------------------------------
// Globals

std::unique_ptr<NanoLogger> nanologger;
std::atomic<NanoLogger*> atomic_nanologger{nullptr};

namespace {
// Publishes logger, then retires the previous one once no statement can still be using it.
void replace_logger(NanoLogger* logger) {
  atomic_nanologger.store(logger, std::memory_order_seq_cst);
  NanoLogger* old = nanologger.release();
  nanologger.reset(logger);
  if (old != nullptr) retire(old);
}

// Runs before nanologger's own destructor at exit or unload: later statements find no logger.
struct ExitShutdown {
  ~ExitShutdown() { replace_logger(nullptr); }
} g_exit_shutdown;
}  // namespace

void initialize(NonGuaranteedLogger ngl, const std::string& log_directory, const std::string& log_file_name,
                uint32_t log_file_roll_size_mb) {
  replace_logger(new NanoLogger(ngl, log_directory, log_file_name, log_file_roll_size_mb));
}

void initialize(GuaranteedLogger gl, const std::string& log_directory, const std::string& log_file_name,
                uint32_t log_file_roll_size_mb) {
  replace_logger(new NanoLogger(gl, log_directory, log_file_name, log_file_roll_size_mb));
}

}  // namespace nanolog
