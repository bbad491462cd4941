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
#include <mutex>
#include <string>

#include "status.h"

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
  WriterLog() = default;
  WriterLog(const WriterLog&) = delete;
  WriterLog& operator=(const WriterLog&) = delete;
  ~WriterLog();

  // Where the lines go from now on; the same place again changes nothing.
  void Open(const std::string& dir, const std::string& name);
  void Line(const char* level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

 private:
  std::mutex mu_;
  std::string dir_, name_;
  FILE* log_ = nullptr;
  std::string log_date_;
  bool failing_ = false;  // reported once, retried after a second, lines counted
  uint64_t lost_ = 0;
  time_t next_try_ = 0;
  time_t next_check_ = 0;
};

// <dir>/<name>.deadletter.<UTC date>.ndjson: one JSON object per line.
class DeadLetterFile {
 public:
  DeadLetterFile() = default;
  DeadLetterFile(const DeadLetterFile&) = delete;
  DeadLetterFile& operator=(const DeadLetterFile&) = delete;
  ~DeadLetterFile();

  void Open(const std::string& dir, const std::string& name);
  // Appends record (one line of JSON, without its line feed) whole. An error, with nothing of the
  // record left in the file, when it cannot be written whole (no space, no file, a link at the path).
  // A torn record at the file's end (a process killed while writing it) is cut off first.
  Status Append(const std::string& record);
  // Flushes what Append wrote since the last Sync to the disk (fdatasync): a commit reports documents
  // as set aside only once their records are durable.
  Status Sync();

 private:
  // REQUIRES: mu_ held. The file of today, opened (or created 0600) when needed; -1 with *err set.
  int FileOfToday(std::string* err);

  std::mutex mu_;
  std::string dir_, name_;
  int fd_ = -1;
  std::string date_, path_;
  bool unsynced_ = false;
};

// A JSON record of a document set aside: time, index, status, error type, reason and the document.
std::string DeadLetterRecord(const std::string& index, long status, const std::string& type, const std::string& reason,
                             const char* doc, size_t len);

}  // namespace eswriter
