// Asynchronous logger: the logging thread packs a statement into a binary record (NanoLogLine) and
// pushes it into a lock-free buffer; one background thread per logger pops the records, formats them
// and appends them to rolling log files.
//
// Statements are written LOG_INFO << a << b; (likewise LOG_WARN, LOG_CRIT). The level check comes
// first, so a filtered statement evaluates none of its operands. A statement made before the first
// initialize(), during a replacement or after the exit-time shutdown is dropped, never crashes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iosfwd>
#include <memory>
#include <queue>
#include <string>
#include <thread>
#include <type_traits>

namespace nanolog {

enum class LogLevel : uint8_t { INFO = 0, WARN = 1, CRIT = 2 };

// One log record: a 37-byte header (time stamp, thread id, file, function, line, level) followed by
// typed operand elements, kept inline up to 224 bytes and on the heap beyond that.
// Built by one thread, moved into a buffer, moved out and printed by the background thread.
class NanoLogLine {
 public:
  // Marks a string whose storage outlives the record, so only its address is stored.
  struct string_literal_t {
    explicit string_literal_t(const char* s) : m_s(s) {}
    const char* m_s;
  };

  NanoLogLine(LogLevel level, const char* file, const char* function, uint32_t line);
  ~NanoLogLine();
  NanoLogLine(NanoLogLine&& other) noexcept;
  NanoLogLine& operator=(NanoLogLine&& other) noexcept;
  NanoLogLine(const NanoLogLine&) = delete;
  NanoLogLine& operator=(const NanoLogLine&) = delete;

  // Writes the record as one line of text, then a newline and a flush (two flushes above WARN).
  void stringify(std::ostream& os);

  NanoLogLine& operator<<(char arg);
  NanoLogLine& operator<<(int32_t arg);
  NanoLogLine& operator<<(uint32_t arg);
  NanoLogLine& operator<<(int64_t arg);
  NanoLogLine& operator<<(uint64_t arg);
  NanoLogLine& operator<<(double arg);
  // Copied up to its first NUL byte; an empty string adds nothing.
  NanoLogLine& operator<<(const std::string& arg);

  // String literals are stored by address.
  template <size_t N>
  NanoLogLine& operator<<(const char (&arg)[N]) {
    encode(string_literal_t(arg));
    return *this;
  }

  // A modifiable char array is never a literal: its bytes may change or go out of scope before the
  // background thread prints them, so they are copied (up to the first NUL or the array's end).
  template <size_t N>
  NanoLogLine& operator<<(char (&arg)[N]) {
    encode_c_string(arg, strnlen(arg, N));
    return *this;
  }

  // Pointer variables are copied; a null or empty string adds nothing.
  template <typename Arg>
  typename std::enable_if<std::is_same<Arg, const char*>::value || std::is_same<Arg, char*>::value,
                          NanoLogLine&>::type
  operator<<(const Arg& arg) {
    encode_c_string(arg);
    return *this;
  }

  size_t m_bytes_used;
  size_t m_buffer_size;
  std::unique_ptr<char[]> m_heap_buffer;
  char m_stack_buffer[256 - 2 * sizeof(size_t) - sizeof(decltype(m_heap_buffer)) - 8];

 private:
  char* buffer();
  void resize_buffer_if_needed(size_t additional_bytes);
  template <typename Arg>
  void encode(Arg arg);
  template <typename Arg>
  void encode(Arg arg, uint8_t type_id);
  void encode(string_literal_t arg);
  void encode_c_string(const char* arg);
  void encode_c_string(const char* arg, size_t length);
  void stringify(std::ostream& os, char* start, const char* end);
};
static_assert(sizeof(NanoLogLine) == 248, "a record is 248 bytes so that a buffer slot is 256");

// Hands a finished record to the current logger (dropped when there is none).
struct NanoLog {
  bool operator==(NanoLogLine& logline);
  bool operator==(NanoLogLine&& logline) { return *this == logline; }
};

void set_log_level(LogLevel level);
bool is_logged(LogLevel level);
const char* to_string(LogLevel level);

extern std::atomic<unsigned int> loglevel;

// ---------------------------------------------------------------------------------------------------
// Buffers: any number of producers push, exactly one consumer (the background thread) pops.

class BufferBase {
 public:
  virtual ~BufferBase() = default;
  virtual void push(NanoLogLine&& logline) = 0;
  virtual bool try_pop(NanoLogLine& logline) = 0;
};

// Scoped spin lock over an atomic_flag (acquire on lock, release on unlock).
struct SpinLock {
  explicit SpinLock(std::atomic_flag& flag);
  ~SpinLock();
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  std::atomic_flag& m_flag;
};

// Fixed ring of slots; producers overwrite in turn, so records are lost when they run a whole ring
// ahead of the consumer.
class RingBuffer : public BufferBase {
 public:
  struct Item {
    Item() : flag(), written(0), logline(LogLevel::INFO, nullptr, nullptr, 0) { flag.clear(); }

    std::atomic_flag flag;
    char written;
    char padding[256 - sizeof(std::atomic_flag) - sizeof(char) - sizeof(NanoLogLine)];
    NanoLogLine logline;
  };
  static_assert(sizeof(Item) == 256, "ring slots are 256 bytes");

  explicit RingBuffer(size_t size);
  ~RingBuffer() override;
  RingBuffer(const RingBuffer&) = delete;
  RingBuffer& operator=(const RingBuffer&) = delete;

  void push(NanoLogLine&& logline) override;
  bool try_pop(NanoLogLine& logline) override;

  const size_t m_size;
  Item* m_ring;  // null when the slot array could not be allocated: every record is dropped
  std::atomic<unsigned int> m_write_index;
  char pad[64];
  unsigned int m_read_index;
};

// One 32768-slot block of the queue buffer. Slots are constructed only when written.
class Buffer {
 public:
  struct Item {
    explicit Item(NanoLogLine&& nanologline) : logline(std::move(nanologline)) {}
    char padding[8];
    NanoLogLine logline;
  };
  static_assert(sizeof(Item) == 256, "queue slots are 256 bytes");

  static constexpr const size_t size = 32768;

  Buffer();
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // True when this push completed the block (all 32768 pushes done).
  bool push(NanoLogLine&& logline, unsigned int write_index);
  bool try_pop(NanoLogLine& logline, unsigned int read_index);
  // All 32768 pushes have completed: no producer touches the block any more.
  bool all_pushes_done();
  // REQUIRES: no producer or consumer uses the block. Destroys its records and makes it like new.
  void reset();
  // Touches every page of the slot array, so that producers do not take the page faults.
  void prefault();

  Item* m_buffer;  // null when the slot array could not be allocated
  std::atomic<unsigned int> m_write_state[size + 1];

 private:
  void destroy_records();
};

// Growing chain of blocks; never drops a record while memory lasts.
// The consumer removes a fully read block only once every push into it has completed, and keeps one
// block aside for reuse so that a block switch costs the producers neither malloc nor page faults.
class QueueBuffer : public BufferBase {
 public:
  QueueBuffer();
  ~QueueBuffer() override;
  QueueBuffer(const QueueBuffer&) = delete;
  QueueBuffer& operator=(const QueueBuffer&) = delete;

  void push(NanoLogLine&& logline) override;
  bool try_pop(NanoLogLine& logline) override;

  std::queue<std::unique_ptr<Buffer>> m_buffers;
  std::atomic<Buffer*> m_current_write_buffer;
  Buffer* m_current_read_buffer;
  std::atomic<unsigned int> m_write_index;
  std::atomic_flag m_flag;
  unsigned int m_read_index;
  // Set when a new block could not be allocated; the next push retries, records meanwhile dropped.
  std::atomic<bool> m_alloc_failed;
  std::atomic_flag m_setup_flag;
  // One block ready to become the next write block: a fully read one, or one allocated and touched
  // ahead of need (at start, and by the consumer whenever it lags). Exchanged atomically between the
  // consumer and the filling producer.
  std::atomic<Buffer*> m_spare;

 private:
  // True while producers write a later block than the one being read, half a block or more ahead.
  bool consumer_lags();
  void prepare_spare();
  // Returns true when a new block was published.
  bool setup_next_write_buffer();
  Buffer* get_next_read_buffer();
  void remove_read_buffer();
};

// ---------------------------------------------------------------------------------------------------
// Logger engine

struct NonGuaranteedLogger {
  explicit NonGuaranteedLogger(uint32_t ring_buffer_size_mb_) : ring_buffer_size_mb(ring_buffer_size_mb_) {}
  uint32_t ring_buffer_size_mb;
};

struct GuaranteedLogger {};

// Appends lines to <dir>/<name>.<UTC date>.log.<n>, starting file n+1 after the line that takes the
// current one past the roll size. Used only by the background thread once the logger runs.
class FileWriter {
 public:
  FileWriter(const std::string& log_directory, const std::string& log_file_name, uint32_t log_file_roll_size_mb);
  ~FileWriter();

  void write(NanoLogLine& logline);
  void roll_file(bool need_scan);
  void scan_log_directory(char* buff);

  uint32_t m_file_number;
  std::streamoff m_bytes_written;
  const uint64_t m_log_file_roll_size_bytes;
  std::string m_name;
  std::unique_ptr<std::ofstream> m_os;
  std::string m_log_directory;
  std::string m_log_file_name;
};

class NanoLogger {
 public:
  enum class State { INIT = 0, READY = 1, SHUTDOWN = 2 };

  NanoLogger(NonGuaranteedLogger ngl, const std::string& log_directory, const std::string& log_file_name,
             uint32_t log_file_roll_size_mb);
  NanoLogger(GuaranteedLogger gl, const std::string& log_directory, const std::string& log_file_name,
             uint32_t log_file_roll_size_mb);
  // Stops the background thread after it has written every record pushed before.
  ~NanoLogger();
  NanoLogger(const NanoLogger&) = delete;
  NanoLogger& operator=(const NanoLogger&) = delete;

  void add(NanoLogLine&& logline);
  void pop();

  std::atomic<State> m_state;
  std::unique_ptr<BufferBase> m_buffer_base;
  FileWriter m_file_writer;
  std::thread m_thread;
};

extern std::unique_ptr<NanoLogger> nanologger;
extern std::atomic<NanoLogger*> atomic_nanologger;

// Starts a new logger and makes it current; the previous one, if any, is drained and destroyed once no
// statement is using it any more. Roll size in MiB; 0 counts as 1.
void initialize(NonGuaranteedLogger ngl, const std::string& log_directory, const std::string& log_file_name,
                uint32_t log_file_roll_size_mb);
void initialize(GuaranteedLogger gl, const std::string& log_directory, const std::string& log_file_name,
                uint32_t log_file_roll_size_mb);

// The clock, in seconds, of a file writer's once-a-second look at its file and of its back-off before
// it opens a file again: the machine's monotonic clock, unless a test sets its own to make those
// instant (nullptr restores the machine's). Not for file names, which carry the UTC date.
using retry_clock = int64_t (*)();
void set_retry_clock(retry_clock clock);

}  // namespace nanolog

#define NANO_LOG(LEVEL) nanolog::NanoLog() == nanolog::NanoLogLine(LEVEL, __FILE__, __func__, __LINE__)
#define LOG_INFO nanolog::is_logged(nanolog::LogLevel::INFO) && NANO_LOG(nanolog::LogLevel::INFO)
#define LOG_WARN nanolog::is_logged(nanolog::LogLevel::WARN) && NANO_LOG(nanolog::LogLevel::WARN)
#define LOG_CRIT nanolog::is_logged(nanolog::LogLevel::CRIT) && NANO_LOG(nanolog::LogLevel::CRIT)
