// cdc-es-replay: a command-line host that drives libevent_es.so exactly as the CDC server does, fed
// with change events from NDJSON files or a synthetic generator. The options live in
// replay_options, the events in event_source, the batch pipeline in replay_pipeline; the host's
// cdc_assert is host_support's.
//
// Exit codes: 0 done, 2 usage error, 3 bad input, 4 plug-in failure (load, Init, a decoder that does
// not start, or a batch that still failed after its re-sends), 5 the tool's own failure (the ack log
// cannot be written, no memory), 6 the audit (--audit) found a document missing or changed.
#include <dlfcn.h>
#include <link.h>
#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <fstream>
#include <iterator>
#include <iostream>
#include <new>
#include <thread>

#include "plugin/common/dispatch_event.h"
#include "plugin_calls.h"
#include "replay_options.h"
#include "replay_pipeline.h"

#ifndef EVENT_ES_VERSION
#define EVENT_ES_VERSION "unknown"
#endif

namespace {

// The what(1) version string ("@(#)NAME VERSION") in a file, or "" when it has none.
std::string WhatVersion(const std::string& path, const std::string& name) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string marker = "@(#)" + name + " ";
  const size_t at = bytes.find(marker);
  if (at == std::string::npos) return "";
  const size_t end = bytes.find('\0', at);
  return bytes.substr(at + 4, end == std::string::npos ? std::string::npos : end - at - 4);
}

// The tool's version, and those of the plug-in and of the writer library the plug-in loads.
int ShowVersions(const replay::Options& o) {
  std::cout << "cdc-es-replay " << EVENT_ES_VERSION << "\n";
  void* handle = dlopen(o.plugin.c_str(), RTLD_NOW);
  if (handle == nullptr) {
    std::cout << "plug-in " << o.plugin << ": cannot load: " << dlerror() << "\n";
    return replay::kPluginFailure;
  }
  const std::string plugin = WhatVersion(o.plugin, "libevent_es");
  std::cout << "plug-in " << o.plugin << ": " << (plugin.empty() ? "no version string" : plugin) << "\n";
  void* writer = dlopen("libes_writer.so", RTLD_NOW | RTLD_NOLOAD);
  struct link_map* map = nullptr;
  if (writer != nullptr && dlinfo(writer, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
    const std::string version = WhatVersion(map->l_name, "libes_writer");
    std::cout << "writer " << map->l_name << ": " << (version.empty() ? "no version string" : version) << "\n";
  } else {
    std::cout << "writer: not loaded with the plug-in\n";
  }
  return replay::kOk;
}

// Waits for the writer's delivery audit of the whole replay and reports it: kAuditFound when a document
// is missing or changed.
int AwaitAudit() {
  using Wait = int (*)(long, uint64_t*, uint64_t*, uint64_t*);
  auto wait = reinterpret_cast<Wait>(dlsym(RTLD_DEFAULT, "es_writer_audit_wait"));
  if (wait == nullptr) {
    std::cerr << "cdc-es-replay: --audit: the writer library in use has no audit\n";
    return replay::kPluginFailure;
  }
  uint64_t checked = 0, missing = 0, changed = 0;
  const bool done = wait(600000, &checked, &missing, &changed) == 0;
  std::cerr << "cdc-es-replay: audit: " << checked << " documents read back, " << missing << " missing, " << changed
            << " changed" << (done ? "" : " (not every document was read back within 10 minutes)") << "\n";
  if (missing != 0 || changed != 0) return replay::kAuditFound;
  return done ? replay::kOk : replay::kPluginFailure;
}

int Replay(int argc, char** argv) {
  replay::Options o;
  const int rc = replay::ParseArgs(argc, argv, &o);
  if (rc >= 0) return rc;
  if (o.show_version) return ShowVersions(o);
  std::string err;
  if (!replay::PrepareParam(&o, &err)) {
    std::cerr << "cdc-es-replay: " << err << "\n";
    return replay::kUsage;
  }
  // Batches come and go at the same sizes: keep freed memory in the heap for the next one instead of
  // returning it to the kernel and faulting it in again.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);

  replay::Pipeline pipeline(o);
  if (!pipeline.Start(&err)) {
    std::cerr << "cdc-es-replay: the decoder does not start: " << err << "\n";
    return replay::kPluginFailure;
  }

  void* handle = dlopen(o.plugin.c_str(), RTLD_NOW);
  if (handle == nullptr) {
    std::cerr << "cdc-es-replay: cannot load the plug-in " << o.plugin << ": " << dlerror() << "\n";
    return replay::kPluginFailure;
  }
  auto create = reinterpret_cast<ostrel::CDispatchEvent* (*)()>(dlsym(handle, "Create"));
  auto destroy = reinterpret_cast<void (*)(ostrel::CDispatchEvent*)>(dlsym(handle, "Destroy"));
  if (create == nullptr || destroy == nullptr) {
    std::cerr << "cdc-es-replay: " << o.plugin << " has no Create/Destroy entry points\n";
    return replay::kPluginFailure;
  }

  ostrel::CDispatchEvent* sink = create();
  if (!cdchost::InitSink(sink, o.channel, o.udf, o.param, o.job)) {
    std::cerr << "cdc-es-replay: Init failed: " << sink->getErr() << "\n";
    destroy(sink);
    return replay::kPluginFailure;
  }
  // The writer library tells where its metrics are, when it is one that serves them.
  auto metrics_url = reinterpret_cast<const char* (*)()>(dlsym(RTLD_DEFAULT, "es_writer_metrics_url"));
  if (!o.metrics_listen.empty()) {
    const char* url = metrics_url != nullptr ? metrics_url() : "";
    std::cerr << "cdc-es-replay: metrics at " << (*url != 0 ? url : "(the writer library does not say)") << "\n";
  }
  int exit_code = pipeline.Run(sink);
  if (o.audit && exit_code == replay::kOk) exit_code = AwaitAudit();
  if (o.metrics_hold_ms > 0 && !o.metrics_listen.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(o.metrics_hold_ms));
  }
  sink->Close(o.channel, o.udf);
  destroy(sink);
  return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Replay(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "\ncdc-es-replay: out of memory\n";
  } catch (const std::exception& e) {
    std::cerr << "\ncdc-es-replay: " << e.what() << "\n";
  }
  return replay::kToolFailure;
}
