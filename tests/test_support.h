// Small helpers the test suites (and benchmarks) share: temporary directories, files, the UTC date of
// log-file names, and process statistics from /proc.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// A new directory under /tmp whose name starts with prefix.
inline std::string TempDir(const std::string& prefix = "event_es_test") {
  std::string tmpl = "/tmp/" + prefix + "_XXXXXX";
  char* d = mkdtemp(&tmpl[0]);
  return d ? d : "";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// Names in dir, without the ones starting with '.', sorted.
inline std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// Every file of dir, concatenated.
inline std::string ReadDir(const std::string& dir) {
  std::string all;
  for (const std::string& name : ListDir(dir)) all += ReadFile(dir + "/" + name);
  return all;
}

// Today's date in UTC as log-file names carry it.
inline std::string Today() {
  char buff[16] = {0};
  time_t now = time(nullptr);
  struct tm t;
  gmtime_r(&now, &t);
  strftime(buff, sizeof(buff), "%Y-%m-%d", &t);
  return buff;
}

inline size_t CountEntries(const std::string& dir) { return ListDir(dir).size(); }

// The files of dir once they hold text (the logger writes in the background), or what they hold
// when the deadline passes first.
inline std::string WaitForText(const std::string& dir, const std::string& text, int timeout_s = 20) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  std::string all = ReadDir(dir);
  while (all.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    usleep(2000);
    all = ReadDir(dir);
  }
  return all;
}

// Resident set size of this process in kB.
inline long ResidentKb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> value;
      return value;
    }
    std::getline(in, key);
  }
  return -1;
}

}  // namespace testsupport
