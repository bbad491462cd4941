// cdc-es-replay: a command-line host that drives libevent_es.so exactly as the CDC server does, fed
// with change events from NDJSON files or a synthetic generator. The options live in
// replay_options, the events in event_source, the batch pipeline in replay_pipeline; the host's
// cdc_assert is host_support's.
//
// Exit codes: 0 done, 2 usage error, 3 bad input, 4 plug-in failure (load, Init, a decoder that does
// not start, or a batch that still failed after its re-sends), 5 the tool's own failure (the ack log
// cannot be written, no memory).
#include <dlfcn.h>
#include <malloc.h>

#include <exception>
#include <iostream>
#include <new>

#include "plugin/common/dispatch_event.h"
#include "replay_options.h"
#include "replay_pipeline.h"

namespace {

int Replay(int argc, char** argv) {
  replay::Options o;
  const int rc = replay::ParseArgs(argc, argv, &o);
  if (rc >= 0) return rc;
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
  if (sink->Init(o.channel, o.udf, o.param, o.job, ostrel::S_Mysql, false)) {
    std::cerr << "cdc-es-replay: Init failed: " << sink->getErr() << "\n";
    destroy(sink);
    return replay::kPluginFailure;
  }
  const int exit_code = pipeline.Run(sink);
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
