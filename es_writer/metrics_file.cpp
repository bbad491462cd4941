// The metrics file and its thread.
#include "metrics_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace eswriter {

namespace {

// A new temporary file beside path, made with O_EXCL under a name of its own (never a link planted at
// a fixed name), readable by a textfile collector; its name does not end in .prom, so no collector
// reads it half written. -1 with *err set when it cannot be made.
int MakeTemporary(const std::string& path, std::string* tmp, std::string* err) {
  *tmp = path + ".tmp.XXXXXX";
  const int fd = mkostemp(&(*tmp)[0], O_CLOEXEC);
  if (fd < 0) {
    *err = "cannot write metrics file " + path + ": cannot make a temporary file beside it: " + strerror(errno);
    return -1;
  }
  fchmod(fd, 0644);
  return fd;
}

}  // namespace

Status WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string tmp, err;
  const int fd = MakeTemporary(path, &tmp, &err);
  if (fd < 0) return Status::Error(err);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = n < 0 ? errno : ENOSPC;
      close(fd);
      unlink(tmp.c_str());
      return Status::Error("cannot write metrics file " + tmp + ": " + strerror(e));
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    const int e = errno;
    unlink(tmp.c_str());
    return Status::Error("cannot write metrics file " + tmp + ": " + strerror(e));
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    unlink(tmp.c_str());
    return Status::Error("cannot replace metrics file " + path + ": " + strerror(e));
  }
  return Status::Ok();
}

Status CheckWritable(const std::string& path) {
  std::string tmp, err;
  const int fd = MakeTemporary(path, &tmp, &err);
  if (fd < 0) return Status::Error(err);
  close(fd);
  unlink(tmp.c_str());
  return Status::Ok();
}

Status MetricsFile::Start(const std::string& path) {
  Stop();
  if (path.empty()) return Status::Ok();
  // A directory that cannot take the file refuses the settings before any document.
  Status st = CheckWritable(path);
  if (!st.ok()) return Status::Error("metrics_file " + path + " cannot be written: " + st.text());
  {
    MutexLock lock(&mu_);
    path_ = path;
    dirty_ = false;
    stop_ = false;
  }
  thread_ = std::thread(&MetricsFile::Loop, this);
  return Status::Ok();
}

void MetricsFile::Stop() {
  if (!thread_.joinable()) return;
  {
    MutexLock lock(&mu_);
    stop_ = true;
  }
  cv_.SignalAll();
  thread_.join();
  MutexLock lock(&mu_);
  stop_ = false;
  dirty_ = false;
  path_.clear();
}

void MetricsFile::Mark() {
  MutexLock lock(&mu_);
  if (path_.empty() || dirty_) return;
  dirty_ = true;
  cv_.SignalAll();
}

void MetricsFile::Loop() {
  bool failing = false;
  Clock::TimePoint last = clock_.Now() - std::chrono::seconds(1);
  mu_.Lock();
  for (;;) {
    while (!dirty_ && !stop_) cv_.Wait(&mu_);
    if (!dirty_) break;
    // At most one file a second; a stop writes what is pending at once.
    while (!stop_ && clock_.Now() < last + std::chrono::seconds(1)) clock_.WaitUntil(&cv_, &mu_, last + std::chrono::seconds(1));
    dirty_ = false;
    const std::string path = path_;
    mu_.Unlock();
    Status st;
    try {
      st = WriteFileAtomically(path, metrics_.Render());
    } catch (const std::exception& e) {
      st = Status::Error(std::string("cannot write metrics file ") + path + ": " + e.what());
    }
    if (!st.ok() && !failing) {
      log_.Line("WARN", "%s; the documents go on, the file is tried again", st.text().c_str());
    } else if (st.ok() && failing) {
      log_.Line("INFO", "metrics file %s is written again", path.c_str());
    }
    failing = !st.ok();
    last = clock_.Now();
    mu_.Lock();
    if (failing && !stop_) dirty_ = true;  // tried again a second later
  }
  mu_.Unlock();
}

}  // namespace eswriter
