// metrics_file: the metrics text in a file, for textfile collectors (node_exporter reads *.prom).
//
// A thread of its own rewrites the file within a second of a change and at most once a second;
// commits and requests only mark it out of date (any thread), so the disk is never on their path: a
// reader right after a commit sees the file of at most a second before. A stop writes what is pending.
// The file is written through a temporary file of a name of its own beside it and a rename, so a
// reader sees the old file or the new one, never a part, and a link planted beside it is never followed.
#pragma once

#include <string>
#include <thread>

#include "clock.h"
#include "metrics.h"
#include "status.h"
#include "sync.h"
#include "writer_files.h"

namespace eswriter {

// Writes text to path through a temporary file in the same directory and a rename.
Status WriteFileAtomically(const std::string& path, const std::string& text);
// An error when the temporary file of path cannot be made (a missing or read-only directory).
Status CheckWritable(const std::string& path);

class MetricsFile {
 public:
  // Not owned, must outlive this: the metrics it renders, the log its failures go to, the clock.
  MetricsFile(const Metrics& metrics, WriterLog& log, Clock& clock) : metrics_(metrics), log_(log), clock_(clock) {}
  ~MetricsFile() { Stop(); }
  MetricsFile(const MetricsFile&) = delete;
  MetricsFile& operator=(const MetricsFile&) = delete;

  // Stops the file of an earlier Start, then writes path from now on (nothing for ""). An error when
  // the directory cannot take the file.
  Status Start(const std::string& path) EXCLUDES(mu_);
  // Ends the thread after it wrote what was pending.
  void Stop() EXCLUDES(mu_);
  // The file is out of date (any thread; never waits for the disk).
  void Mark() EXCLUDES(mu_);

 private:
  void Loop() EXCLUDES(mu_);

  const Metrics& metrics_;
  WriterLog& log_;
  Clock& clock_;
  Mutex mu_;
  CondVar cv_;
  std::string path_ GUARDED_BY(mu_);  // empty: no thread
  bool dirty_ GUARDED_BY(mu_) = false;
  bool stop_ GUARDED_BY(mu_) = false;
  std::thread thread_;  // started and joined by the caller of Start and Stop
};

}  // namespace eswriter
