// The host's side of the plug-in contract for tests and tools: the assertion routine the plug-in
// calls when a string piece cannot be allocated. It reports and ends the process; it never returns.
#include <cstdio>
#include <cstdlib>

namespace ostrel {

void cdc_assert(bool cond) {
  if (cond) return;
  fprintf(stderr, "cdc_assert: the event-block plug-in could not allocate a string piece; aborting\n");
  fflush(stderr);
  abort();
}

}  // namespace ostrel
