// cdc-es-replay's command line: the options, their parsing and the parameter text they adjust.
#pragma once

#include <string>
#include <vector>

namespace replay {

// Exit codes of the tool, as the README lists them.
enum Exit { kOk = 0, kUsage = 2, kBadInput = 3, kPluginFailure = 4, kToolFailure = 5, kAuditFound = 6 };

// Largest synthetic document, and largest number of synthetic rows (with --repeat) the tool makes.
const size_t kMaxDocSize = 64u << 20;
const long kMaxGenerated = 1000000000000L;

struct Options {
  std::string plugin;
  std::string param;
  std::string es_url;
  std::string log_path;  // replaces "log_path" when not empty
  int workers = 2;
  size_t batch_size = 1000;
  size_t chunk_size = 4096;
  long repeat = 1;
  long generate = -1;  // -1: read the input files
  size_t doc_size = 256;
  int retries = 5;
  long retry_backoff_ms = 1000;
  std::string udf = "replay";
  std::string job = "1@replay";
  std::string channel = "replay";
  bool quiet = false;
  bool show_version = false;
  std::string ack_log;
  std::string metrics_listen;  // adds metrics_listen= to es_url when not empty
  long metrics_hold_ms = 0;    // keeps serving metrics this long after the replay
  bool audit = false;          // adds audit_rate=1 to es_url and waits for the audit at the end
  std::vector<std::string> inputs;
};

// Fills *o from the command line. -1 to go on; otherwise the exit code (the usage text is printed
// for --help and, with the reason, for a usage error).
int ParseArgs(int argc, char** argv, Options* o);

// Puts --es-url and --log-path into the parameter text and creates the log directory that the text names (the
// plug-in's logger does not create it). A text that is not a JSON object is left as it is: the
// plug-in's Init reports what is wrong with it. False with *err when the log directory is not one
// (a regular file, or it cannot be created) or log_name is not a plain file name.
bool PrepareParam(Options* o, std::string* err);

}  // namespace replay
