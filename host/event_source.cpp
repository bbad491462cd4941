// Reading the replay tool's input files and generating synthetic insert rows.
#include "event_source.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>

#include "event_json.h"

namespace replay {

int EventSource::NextEvent(cdchost::Event* e, std::string* bad) {
  if (o_.generate >= 0) {
    if (generated_ >= o_.generate * o_.repeat) return 0;
    Synthetic(generated_++, e);
    return 1;
  }
  std::string line;
  for (;;) {
    if (!ReadLine(&line)) return 0;
    if (line.empty() || line.find_first_not_of(" \t\r") == std::string::npos || line[0] == '#') continue;
    std::string err;
    *e = cdchost::Event();
    if (cdchost::ParseEventLine(line, e, &err)) return 1;
    *bad = o_.inputs[file_] + ":" + std::to_string(line_no_) + ":" + err.substr(7);  // "column N: ..." -> "N: ..."
    return -1;
  }
}

bool EventSource::ReadLine(std::string* line) {
  for (;;) {
    if (in_ == nullptr) {
      if (file_ >= o_.inputs.size()) {
        if (++round_ >= o_.repeat) return false;
        file_ = 0;
      }
      const std::string& name = o_.inputs[file_];
      line_no_ = 0;
      if (name == "-") {
        if (round_ > 0) {
          unreadable_ = "-: standard input cannot be read a second time (--repeat)";
          return false;
        }
        in_ = &std::cin;
      } else {
        struct stat st;
        if (stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          unreadable_ = name + ": is a directory";
          return false;
        }
        file_in_.open(name);
        if (!file_in_) {
          unreadable_ = name + ": " + strerror(errno);
          return false;
        }
        in_ = &file_in_;
      }
    }
    errno = 0;
    if (std::getline(*in_, *line)) {
      ++line_no_;
      return true;
    }
    // The end of the input, or a line that could not be read (a read error, or no memory for a huge
    // line): the latter is an error at its position, never the end of the input.
    if (in_->bad()) {
      const int err = errno;
      if (err == ENOMEM) throw std::bad_alloc();  // the tool's own failure, not the input's
      unreadable_ = o_.inputs[file_] + ":" + std::to_string(line_no_ + 1) + ": cannot read the line (" +
                    (err != 0 ? strerror(err) : "out of memory or a read error") + ")";
      return false;
    }
    if (in_ == &file_in_) {
      file_in_.close();
      file_in_.clear();
    }
    in_ = nullptr;
    ++file_;
  }
}

void EventSource::Synthetic(long i, cdchost::Event* e) {
  e->type = ostrel::EventType::T_INSERT;
  e->db = "bench";
  e->tb = "docs";
  e->gtid = "00000000-0000-0000-0000-000000000001:";
  e->gtid += std::to_string(i + 1);
  e->xid = std::to_string(i + 1);
  if (e->col_names.size() != 3) {
    e->col_names = {"id", "optype", "doc"};
    e->col_states = {8, 253, 245};
    e->rows.assign(1, std::vector<std::string>(3));
  }
  std::vector<std::string>& row = e->rows[0];
  row[0] = std::to_string(i);
  row[1] = "'insert'";
  std::string& doc = row[2];
  doc = "'{\"id\":";
  doc += row[0];
  doc += ",\"payload\":\"";
  const size_t closing = 2;
  if (doc.size() - 1 + closing < o_.doc_size) doc.append(o_.doc_size - (doc.size() - 1) - closing, 'x');
  doc += "\"}'";
}

}  // namespace replay
