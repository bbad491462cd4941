// The C interface of libes_writer.so over one process-wide Writer: the one place where the writer's
// Status becomes the r0/r1 records (r0 0 on success, 1 with the text in r1 on failure).
//
// Threads: the library serves one sink per process, but whatever the host does, calls are serialised
// here (one mutex around each call), and nothing thrown inside the library leaves it: an exception
// becomes a failure with a text. A returned text stays valid until the same thread's next call.
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "config.h"
#include "libes_writer.h"
#include "metrics.h"
#include "writer.h"

#ifndef EVENT_ES_VERSION
#define EVENT_ES_VERSION "unknown"
#endif

namespace {
// The version, as a what(1) string in the file (the C interface has no call for it).
__attribute__((used)) const char kWhatVersion[] = "@(#)libes_writer " EVENT_ES_VERSION;

std::mutex g_mu;
std::unique_ptr<eswriter::Writer> g_writer;  // guarded by g_mu
thread_local std::string g_error;

char* Text(const std::string& s) {
  try {
    g_error = s.empty() ? "es writer failed without a reason" : s;
  } catch (...) {
    g_error.clear();  // no memory for the text: an empty one still reads as a failure
  }
  return &g_error[0];
}

std::string Arg(const char* s) { return s != nullptr ? s : ""; }

// Runs call under the library's lock; an exception becomes a failure, after which the documents
// pending since the last commit are dropped (a bulk may be half built), as after any failure.
template <typename Call>
eswriter::Status Guarded(Call call) {
  std::lock_guard<std::mutex> lock(g_mu);
  std::string text;
  try {
    return call();
  } catch (const std::bad_alloc&) {
    text = "es writer ran out of memory";
  } catch (const std::exception& e) {
    text = std::string("es writer failed: ") + e.what();
  } catch (...) {
    text = "es writer failed with an unknown exception";
  }
  try {
    if (g_writer) g_writer->DropPending();
    text += "; pending documents dropped, the batch must be sent again";
  } catch (...) {
    g_writer.reset();  // cannot even reset: start from nothing at the next initialize
    text += "; the writer was reset, initialize it again";
  }
  return eswriter::Status::Error(text);
}
}  // namespace

extern "C" {

initialize_return initialize(char* es_url, int is_v8, char* es_index, int bulk_num, char* log_dir, char* log_name) {
  eswriter::Status st = Guarded([&]() {
    if (!g_writer) g_writer.reset(new eswriter::Writer());
    return g_writer->Init(Arg(es_url), is_v8 != 0, Arg(es_index), bulk_num, Arg(log_dir), Arg(log_name));
  });
  if (!st.ok()) return {1, Text(eswriter::MaskCredentials(st.text()))};
  return {0, nullptr};
}

write_msg_return write_msg(char* doc, int len, int64_t typ) {
  eswriter::Status st = Guarded([&]() {
    if (!g_writer) return eswriter::Status::Error("es writer is not initialized");
    return g_writer->Write(doc, len, typ);
  });
  if (!st.ok()) return {1, Text(st.text())};
  return {0, nullptr};
}

const char* es_writer_metrics_url(void) {
  static thread_local std::string url;
  std::lock_guard<std::mutex> lock(g_mu);
  try {
    url = g_writer ? g_writer->MetricsUrl() : std::string();
  } catch (...) {
    url.clear();
  }
  return url.c_str();
}

int es_writer_audit_wait(long timeout_ms, uint64_t* checked, uint64_t* missing, uint64_t* changed) {
  bool done = true;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    try {
      if (g_writer) done = g_writer->WaitAudited(timeout_ms);
    } catch (...) {
      done = false;
    }
  }
  const eswriter::Metrics& m = eswriter::Metrics::Process();
  if (checked != nullptr) *checked = m.audit_checked.load(std::memory_order_relaxed);
  if (missing != nullptr) *missing = m.audit_missing.load(std::memory_order_relaxed);
  if (changed != nullptr) *changed = m.audit_changed.load(std::memory_order_relaxed);
  return done ? 0 : 1;
}

need_commit_return need_commit(void) {
  eswriter::Status st = Guarded([&]() {
    if (!g_writer) return eswriter::Status::Error("es writer is not initialized");
    return g_writer->Commit();
  });
  if (!st.ok()) return {1, Text(st.text())};
  return {0, nullptr};
}
}
