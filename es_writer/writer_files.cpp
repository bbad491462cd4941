// The writer's log and dead-letter file.
#include "writer_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "shared/safe_text.h"

namespace eswriter {

std::string UtcDate() {
  char buff[16] = {0};
  time_t now = time(nullptr);
  struct tm t;
  gmtime_r(&now, &t);
  strftime(buff, sizeof(buff), "%Y-%m-%d", &t);
  return buff;
}

std::string UtcStamp() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm t;
  gmtime_r(&ts.tv_sec, &t);
  char buff[48];
  size_t n = strftime(buff, sizeof(buff), "%Y-%m-%d %H:%M:%S", &t);
  snprintf(buff + n, sizeof(buff) - n, ".%06ld", ts.tv_nsec / 1000);
  return buff;
}

std::string DatedPath(const std::string& dir, const std::string& name, const std::string& middle,
                      const std::string& date, const char* ext) {
  return dir + (!dir.empty() && dir.back() == '/' ? "" : "/") + name + "." + middle + date + ext;
}

namespace {

// Appends to path, creating it with mode; a link at the path is refused (ELOOP), never followed.
// access is O_WRONLY, or O_RDWR for a file whose end is read back.
int OpenForAppend(const std::string& path, mode_t mode, int access = O_WRONLY) {
  return open(path.c_str(), access | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
}

// The log file is still the one at its path (not removed, replaced or turned into a link).
bool SameFile(FILE* file, const std::string& path) {
  struct stat a, b;
  return fstat(fileno(file), &a) == 0 && lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes all of data at the file's end; false with errno set when it could not.
bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// The length of the file up to and including its last line feed (0 when it has none): what is left
// of it once a torn last record is cut off.
off_t WholeLines(int fd, off_t size) {
  std::vector<char> buf(65536);
  off_t end = size;
  while (end > 0) {
    const off_t from = end > static_cast<off_t>(buf.size()) ? end - static_cast<off_t>(buf.size()) : 0;
    const ssize_t n = pread(fd, buf.data(), static_cast<size_t>(end - from), from);
    if (n <= 0) return size;  // cannot read it: leave the file as it is
    for (ssize_t i = n; i > 0; --i) {
      if (buf[static_cast<size_t>(i - 1)] == '\n') return from + i;
    }
    end = from;
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// WriterLog

WriterLog::~WriterLog() {
  if (log_ != nullptr) fclose(log_);
}

void WriterLog::Open(const std::string& dir, const std::string& name) {
  MutexLock lock(&mu_);
  const std::string new_dir = dir.empty() ? "." : dir;
  if (new_dir == dir_ && name == name_) return;
  // Another place: the file of the old one is closed, the next line opens the new one.
  if (log_ != nullptr) fclose(log_);
  log_ = nullptr;
  failing_ = false;
  lost_ = 0;
  next_try_ = next_check_ = Clock::TimePoint();
  dir_ = new_dir;
  name_ = name;
}

void WriterLog::Line(const char* level, const char* fmt, ...) {
  // The line is made before the lock, and every line passes the masking rule: a text that quotes a
  // URL with its password (however the password is written) never reaches the file.
  char small[512];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(small, sizeof(small), fmt, ap);
  va_end(ap);
  if (n < 0) return;
  std::string text;
  if (static_cast<size_t>(n) < sizeof(small)) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    text.resize(static_cast<size_t>(n) + 1);
    va_start(ap, fmt);
    vsnprintf(&text[0], text.size(), fmt, ap);
    va_end(ap);
    text.resize(static_cast<size_t>(n));
  }
  text = ostrel::MaskSecrets(text);

  MutexLock lock(&mu_);
  if (name_.empty()) return;
  const Clock::TimePoint now = clock_.Now();
  if (!Ready(now)) {
    ++lost_;
    return;
  }
  if (failing_ && lost_ > 0) {
    fprintf(log_, "[%s][WARN] %llu lines of this log were lost while it could not be written\n", UtcStamp().c_str(),
            static_cast<unsigned long long>(lost_));
  }
  fprintf(log_, "[%s][%s] %s\n", UtcStamp().c_str(), level, text.c_str());
  if (fflush(log_) != 0 || ferror(log_)) {  // a full disk: this line is lost, and the file is opened again
    if (!failing_) {
      fprintf(stderr, "write to es writer log in %s failed %d[%s]; lines are lost until it can be written\n",
              dir_.c_str(), errno, strerror(errno));
    }
    failing_ = true;
    fclose(log_);
    log_ = nullptr;
    next_try_ = now + std::chrono::seconds(1);
    ++lost_;
    return;
  }
  failing_ = false;
  lost_ = 0;
}

bool WriterLog::Ready(Clock::TimePoint now) {
  const std::string today = UtcDate();
  // A file that cannot be opened or written, or that was removed, is reported once on standard error
  // and opened again after a second; the first line written after that says how many were lost.
  if (log_ != nullptr && now >= next_check_) {
    next_check_ = now + std::chrono::seconds(1);
    const std::string path = DatedPath(dir_, name_, "", log_date_, ".log");
    if (!SameFile(log_, path)) {
      if (!failing_) fprintf(stderr, "es writer log %s was removed while in use; opening it again\n", path.c_str());
      failing_ = true;
      fclose(log_);
      log_ = nullptr;
    }
  }
  if (log_ != nullptr && log_date_ != today) {
    fclose(log_);
    log_ = nullptr;
  }
  if (log_ != nullptr) return true;
  if (now < next_try_) return false;
  const std::string path = DatedPath(dir_, name_, "", today, ".log");
  const int fd = OpenForAppend(path, 0644);
  log_ = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (log_ == nullptr) {
    const int e = errno;
    if (fd >= 0) close(fd);
    if (!failing_) {
      fprintf(stderr, "open es writer log %s failed %d[%s]; lines are lost until it opens, trying every second\n",
              path.c_str(), e, e == ELOOP ? "it is a symbolic link, which is never followed" : strerror(e));
    }
    failing_ = true;
    next_try_ = now + std::chrono::seconds(1);
    return false;
  }
  log_date_ = today;
  return true;
}

// ---------------------------------------------------------------------------------------------------
// DeadLetterFile

DeadLetterFile::~DeadLetterFile() {
  if (fd_ >= 0) close(fd_);
}

void DeadLetterFile::Open(const std::string& dir, const std::string& name) {
  MutexLock lock(&mu_);
  const std::string new_dir = dir.empty() ? "." : dir;
  if (new_dir == dir_ && name == name_) return;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  unsynced_ = false;
  dir_ = new_dir;
  name_ = name;
}

int DeadLetterFile::FileOfToday(std::string* err) {
  const std::string today = UtcDate();
  if (fd_ >= 0 && date_ == today) return fd_;
  if (fd_ >= 0) {
    if (unsynced_) fdatasync(fd_);  // yesterday's records: made durable before the file is left
    close(fd_);
    fd_ = -1;
  }
  unsynced_ = false;
  path_ = DatedPath(dir_, name_, "deadletter.", today, ".ndjson");
  fd_ = OpenForAppend(path_, 0600, O_RDWR);  // read: a torn last record is looked for
  if (fd_ < 0) {
    const int e = errno;
    *err = "cannot open the dead-letter file " + path_ + ": " +
           (e == ELOOP ? std::string("it is a symbolic link, which is never followed") : strerror(e));
    return -1;
  }
  date_ = today;
  return fd_;
}

Status DeadLetterFile::Append(const std::string& record) {
  MutexLock lock(&mu_);
  if (name_.empty()) return Status::Error("the dead-letter file has no place: the writer is not initialized");
  std::string err;
  const int fd = FileOfToday(&err);
  if (fd < 0) return Status::Error(err);
  // Other processes with the same log directory append to the same file: the lock keeps every record
  // whole and lets a failed one be undone without cutting anybody else's.
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return Status::Error("cannot lock the dead-letter file " + path_ + ": " + strerror(errno));
  }
  struct stat st;
  Status result;
  if (fstat(fd, &st) != 0) {
    result = Status::Error("cannot read the size of the dead-letter file " + path_ + ": " + strerror(errno));
  } else {
    off_t size = st.st_size;
    char last = '\n';
    if (size > 0 && pread(fd, &last, 1, size - 1) == 1 && last != '\n') {
      // A record torn by a process killed while writing it: never acknowledged, so cut off, and the
      // next record starts on a line of its own.
      const off_t whole = WholeLines(fd, size);
      if (whole < size && ftruncate(fd, whole) == 0) size = whole;
    }
    std::string line;
    line.reserve(record.size() + 1);
    line.append(record);
    line.push_back('\n');
    if (!WriteAll(fd, line.data(), line.size())) {
      const int e = errno;
      if (ftruncate(fd, size) != 0) {  // the part that was written is undone
        result = Status::Error("a dead-letter record could not be written whole to " + path_ + " (" + strerror(e) +
                               ") nor undone (" + strerror(errno) + ")");
      } else {
        result = Status::Error("cannot write a dead-letter record of " + std::to_string(line.size()) + " bytes to " +
                               path_ + ": " + strerror(e));
      }
    } else {
      unsynced_ = true;
    }
  }
  flock(fd, LOCK_UN);
  return result;
}

Status DeadLetterFile::Sync() {
  MutexLock lock(&mu_);
  if (fd_ < 0 || !unsynced_) return Status::Ok();
  if (fdatasync(fd_) != 0) {
    return Status::Error("cannot flush the dead-letter file " + path_ + " to disk: " + strerror(errno));
  }
  unsynced_ = false;
  return Status::Ok();
}

std::string DeadLetterRecord(const std::string& index, long status, const std::string& type, const std::string& reason,
                             const char* doc, size_t len) {
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  w.StartObject();
  w.Key("time");
  const std::string stamp = UtcStamp();
  w.String(stamp.c_str());
  w.Key("index");
  w.String(index.c_str());
  w.Key("status");
  w.Int64(status);
  w.Key("error_type");
  w.String(type.c_str());
  w.Key("reason");
  w.String(reason.c_str());
  w.Key("document");
  w.String(doc, static_cast<rapidjson::SizeType>(len));
  w.EndObject();
  return std::string(sb.GetString(), sb.GetSize());
}

}  // namespace eswriter
