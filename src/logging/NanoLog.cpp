// Log records and their line text, the ring and queue buffers, the rolling file writer and the
// logger's background thread.
#include "logging/NanoLog.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <ostream>

// The background thread's idle poll. 50 microseconds in every build that ships; the benchmarks build
// a variant with a longer poll only to measure what the poll costs the processes beside it.
#ifndef NANOLOG_IDLE_POLL_US
#define NANOLOG_IDLE_POLL_US 50
#endif

namespace nanolog {

namespace {

const size_t kHeaderBytes = 37;

uint64_t timestamp_now() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

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
std::atomic<unsigned int> g_epoch{0};
std::atomic<int> g_active_adds[2] = {{0}, {0}};

// REQUIRES: old is no longer reachable through atomic_nanologger. Called by one thread at a time.
void retire(NanoLogger* old) {
  unsigned int slot = g_epoch.fetch_add(1, std::memory_order_seq_cst) & 1u;
  while (g_active_adds[slot].load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
  delete old;
}
}  // namespace

bool NanoLog::operator==(NanoLogLine& logline) {
  // Count in the slot of the current epoch; if a replacement flipped the epoch in between, the count
  // may have gone to a slot nobody waits for any more: take it back and count again.
  unsigned int epoch;
  unsigned int slot;
  for (;;) {
    epoch = g_epoch.load(std::memory_order_seq_cst);
    slot = epoch & 1u;
    g_active_adds[slot].fetch_add(1, std::memory_order_seq_cst);
    if (g_epoch.load(std::memory_order_seq_cst) == epoch) break;
    g_active_adds[slot].fetch_sub(1, std::memory_order_release);
  }
  NanoLogger* logger = atomic_nanologger.load(std::memory_order_seq_cst);
  if (logger != nullptr) logger->add(std::move(logline));
  g_active_adds[slot].fetch_sub(1, std::memory_order_release);
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
  if (m_buffer != nullptr) memset(static_cast<void*>(m_buffer), 0, size * sizeof(Item));
}

bool Buffer::push(NanoLogLine&& logline, unsigned int write_index) {
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
  if (!setup_next_write_buffer()) m_write_index.store(Buffer::size, std::memory_order_release);
}

QueueBuffer::~QueueBuffer() { delete m_spare.exchange(nullptr); }

bool QueueBuffer::setup_next_write_buffer() {
  // A block the consumer has prepared (fully read and reset, or new with its pages touched) saves the
  // filling producer the allocation and the page faults of 8 MiB.
  std::unique_ptr<Buffer> next(m_spare.exchange(nullptr, std::memory_order_acq_rel));
  if (!next) next.reset(new (std::nothrow) Buffer());
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
    while (m_write_index.load(std::memory_order_acquire) >= Buffer::size) {
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
  // Idle moments of the consumer prepare the next write block (see setup_next_write_buffer).
  if (m_read_index == 0 && m_spare.load(std::memory_order_relaxed) == nullptr) prepare_spare();

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
  const time_t now = std::time(nullptr);
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
  while (m_state.load() == State::READY) {
    if (m_buffer_base->try_pop(logline)) {
      m_file_writer.write(logline);
    } else {
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
