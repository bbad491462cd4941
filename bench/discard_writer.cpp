// A writer library that discards every document and commits at once: forwarding benchmarks measure
// the sink alone.
#include <cstdint>

#include "libes_writer.h"

extern "C" {
initialize_return initialize(char*, int, char*, int, char*, char*) { return {0, nullptr}; }
write_msg_return write_msg(char*, int, int64_t) { return {0, nullptr}; }
need_commit_return need_commit(void) { return {0, nullptr}; }
}
