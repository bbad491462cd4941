// The C interface of libes_writer.so over one process-wide Writer: the one place where the writer's
// Status becomes the r0/r1 records (r0 0 on success, 1 with the text in r1 on failure). A returned
// error text stays valid until the next call into the library.
#include <memory>
#include <string>

#include "config.h"
#include "libes_writer.h"
#include "writer.h"

namespace {
std::unique_ptr<eswriter::Writer> g_writer;
std::string g_error;

char* Text(const std::string& s) {
  g_error = s.empty() ? "es writer failed without a reason" : s;
  return &g_error[0];
}

std::string Arg(const char* s) { return s != nullptr ? s : ""; }
}  // namespace

extern "C" {

initialize_return initialize(char* es_url, int is_v8, char* es_index, int bulk_num, char* log_dir, char* log_name) {
  if (!g_writer) g_writer.reset(new eswriter::Writer());
  eswriter::Status st = g_writer->Init(Arg(es_url), is_v8 != 0, Arg(es_index), bulk_num, Arg(log_dir), Arg(log_name));
  if (!st.ok()) return {1, Text(eswriter::MaskCredentials(st.text()))};
  return {0, nullptr};
}

write_msg_return write_msg(char* doc, int len, int64_t typ) {
  if (!g_writer) return {1, Text("es writer is not initialized")};
  eswriter::Status st = g_writer->Write(doc, len, typ);
  if (!st.ok()) return {1, Text(st.text())};
  return {0, nullptr};
}

need_commit_return need_commit(void) {
  if (!g_writer) return {1, Text("es writer is not initialized")};
  eswriter::Status st = g_writer->Commit();
  if (!st.ok()) return {1, Text(st.text())};
  return {0, nullptr};
}
}
