// Recording writer library, linked by sink tests in place of libes_writer.so.
#include "recording_writer.h"

#include <map>
#include <mutex>

#include "libes_writer.h"

namespace recwriter {
namespace {
std::mutex g_mu;
std::vector<Call> g_calls;
std::map<size_t, std::pair<bool, std::string>> g_failures;  // call number -> (has text, text)
bool g_fail_commits = false;
bool g_fail_commits_has_text = false;
std::string g_fail_commits_text;
std::string g_last_text;

// Returns the status and text for the call just recorded.
std::pair<int64_t, char*> Outcome(bool is_commit) {
  auto it = g_failures.find(g_calls.size());
  if (it != g_failures.end()) {
    g_last_text = it->second.second;
    return {1, it->second.first ? const_cast<char*>(g_last_text.c_str()) : nullptr};
  }
  if (is_commit && g_fail_commits) {
    g_last_text = g_fail_commits_text;
    return {1, g_fail_commits_has_text ? const_cast<char*>(g_last_text.c_str()) : nullptr};
  }
  return {0, nullptr};
}
}  // namespace

void Reset() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_calls.clear();
  g_failures.clear();
  g_fail_commits = false;
}

void FailCall(size_t n, const char* text) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_failures[n] = {text != nullptr, text != nullptr ? text : ""};
}

void FailEveryCommit(const char* text) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_fail_commits = true;
  g_fail_commits_has_text = text != nullptr;
  g_fail_commits_text = text != nullptr ? text : "";
}

const std::vector<Call>& Calls() { return g_calls; }

std::vector<std::string> Docs() {
  std::lock_guard<std::mutex> lock(g_mu);
  std::vector<std::string> docs;
  for (const Call& c : g_calls) {
    if (c.fn == "write_msg") docs.push_back(c.doc);
  }
  return docs;
}

size_t Count(const std::string& fn) {
  std::lock_guard<std::mutex> lock(g_mu);
  size_t n = 0;
  for (const Call& c : g_calls) n += c.fn == fn ? 1 : 0;
  return n;
}

}  // namespace recwriter

using recwriter::Call;

extern "C" {

initialize_return initialize(char* es_url, int is_v8, char* es_index, int bulk_num, char* log_dir, char* log_name) {
  std::lock_guard<std::mutex> lock(recwriter::g_mu);
  Call c;
  c.fn = "initialize";
  c.es_url = es_url;
  c.is_v8 = is_v8;
  c.es_index = es_index;
  c.bulk_num = bulk_num;
  c.log_dir = log_dir;
  c.log_name = log_name;
  recwriter::g_calls.push_back(c);
  auto o = recwriter::Outcome(false);
  return {o.first, o.second};
}

write_msg_return write_msg(char* doc, int len, int64_t typ) {
  std::lock_guard<std::mutex> lock(recwriter::g_mu);
  Call c;
  c.fn = "write_msg";
  c.len = len;
  c.typ = typ;
  if (len >= 0) c.doc.assign(doc, static_cast<size_t>(len));
  recwriter::g_calls.push_back(c);
  auto o = recwriter::Outcome(false);
  return {o.first, o.second};
}

need_commit_return need_commit(void) {
  std::lock_guard<std::mutex> lock(recwriter::g_mu);
  Call c;
  c.fn = "need_commit";
  recwriter::g_calls.push_back(c);
  auto o = recwriter::Outcome(true);
  return {o.first, o.second};
}
}
