// Placeholder writer: every call fails, so nothing is ever reported as delivered by a build that has
// no real writer.
#include "libes_writer.h"

namespace {
char kNoWriter[] = "no es writer is built: this libes_writer.so is a placeholder that sends nothing";
}

extern "C" {
initialize_return initialize(char*, int, char*, int, char*, char*) { return {1, kNoWriter}; }
write_msg_return write_msg(char*, int, int64_t) { return {1, kNoWriter}; }
need_commit_return need_commit(void) { return {1, kNoWriter}; }
}
