// The writer's two files in its log directory: its own log (one line per failed request, retry and
// commit) and the dead-letter file (one JSON record per document set aside under
// on_malformed=deadletter).
//
// Both are opened with O_NOFOLLOW: a link planted at their path is refused, never followed. Every log
// line passes the one masking rule for credentials. Dead-letter records hold whole rows of customer
// data: the file is created 0600, each record is written whole under an exclusive flock (several
// processes may share a log directory) or undone, and a document counts as set aside only once its
// record is written.
//
// Threads: any thread may call; each class serialises its callers with its own mutex.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "clock.h"
#include "status.h"
#include "sync.h"

namespace eswriter {

// <dir>/<name>.<middle><UTC date><ext>, the path of a dated file of the writer.
std::string DatedPath(const std::string& dir, const std::string& name, const std::string& middle,
                      const std::string& date, const char* ext);
// Today's date in UTC, as the file names carry it.
std::string UtcDate();
// The current UTC time as "YYYY-MM-DD HH:MM:SS.uuuuuu".
std::string UtcStamp();

// The writer's own log, <dir>/<name>.<UTC date>.log. Never holds document bodies or credentials. A
// file that cannot be written (or was removed, or is a link) is reported once on standard error and
// opened again a second later; the first line written after that says how many lines were lost.
class WriterLog {
 public:
  // clock: not owned, must outlive the log; it paces the retries of a file that cannot be written.
  explicit WriterLog(Clock& clock = RealClock()) : clock_(clock) {}
  WriterLog(const WriterLog&) = delete;
  WriterLog& operator=(const WriterLog&) = delete;
  ~WriterLog();

  // Where the lines go from now on; the same place again changes nothing.
  void Open(const std::string& dir, const std::string& name) EXCLUDES(mu_);
  void Line(const char* level, const char* fmt, ...) __attribute__((format(printf, 3, 4))) EXCLUDES(mu_);

 private:
  // The file is open and in its place, opened again when it must and may be; false while it cannot be.
  bool Ready(Clock::TimePoint now) REQUIRES(mu_);

  Clock& clock_;
  Mutex mu_;
  std::string dir_ GUARDED_BY(mu_), name_ GUARDED_BY(mu_);
  FILE* log_ GUARDED_BY(mu_) = nullptr;
  std::string log_date_ GUARDED_BY(mu_);
  bool failing_ GUARDED_BY(mu_) = false;  // reported once, retried after a second, lines counted
  uint64_t lost_ GUARDED_BY(mu_) = 0;
  Clock::TimePoint next_try_ GUARDED_BY(mu_);    // when a file that failed is tried again
  Clock::TimePoint next_check_ GUARDED_BY(mu_);  // when the file is next looked for at its path
};

// <dir>/<name>.deadletter.<UTC date>.ndjson: one JSON object per line.
class DeadLetterFile {
 public:
  DeadLetterFile() = default;
  DeadLetterFile(const DeadLetterFile&) = delete;
  DeadLetterFile& operator=(const DeadLetterFile&) = delete;
  ~DeadLetterFile();

  void Open(const std::string& dir, const std::string& name) EXCLUDES(mu_);
  // Appends record (one line of JSON, without its line feed) whole. An error, with nothing of the
  // record left in the file, when it cannot be written whole (no space, no file, a link at the path).
  // A torn record at the file's end (a process killed while writing it) is cut off first.
  Status Append(const std::string& record) EXCLUDES(mu_);
  // Flushes what Append wrote since the last Sync to the disk (fdatasync): a commit reports documents
  // as set aside only once their records are durable.
  Status Sync() EXCLUDES(mu_);

 private:
  // The file of today, opened (or created 0600) when needed; -1 with *err set.
  int FileOfToday(std::string* err) REQUIRES(mu_);

  Mutex mu_;
  std::string dir_ GUARDED_BY(mu_), name_ GUARDED_BY(mu_);
  int fd_ GUARDED_BY(mu_) = -1;
  std::string date_ GUARDED_BY(mu_), path_ GUARDED_BY(mu_);
  bool unsynced_ GUARDED_BY(mu_) = false;
};

// A JSON record of a document set aside: time, index, status, error type, reason and the document.
std::string DeadLetterRecord(const std::string& index, long status, const std::string& type, const std::string& reason,
                             const char* doc, size_t len);

}  // namespace eswriter
