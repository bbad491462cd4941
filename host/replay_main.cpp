// cdc-es-replay: a command-line host that drives libevent_es.so exactly as the CDC server does, fed
// with change events from NDJSON files or a synthetic generator.
//
// Exit codes: 0 done, 2 usage error, 3 bad input, 4 plug-in failure (load, Init or a batch that still
// failed after its re-sends).
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iostream>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "block_encoder.h"
#include "block_util.h"
#include "event_json.h"
#include "plugin/common/dispatch_event.h"

namespace ostrel {
// The host's assertion routine, which the plug-in calls when it cannot allocate a string piece.
void cdc_assert(bool cond) {
  if (cond) return;
  fprintf(stderr, "cdc-es-replay: the plug-in could not allocate memory for an event; aborting\n");
  fflush(stderr);
  abort();
}
}  // namespace ostrel

namespace {

enum Exit { kOk = 0, kUsage = 2, kBadInput = 3, kPluginFailure = 4 };

struct Options {
  std::string plugin;
  std::string param;
  std::string es_url;
  int workers = 2;
  size_t batch_size = 1000;
  size_t chunk_size = 4096;
  long repeat = 1;
  long generate = -1;
  size_t doc_size = 256;
  int retries = 5;
  long retry_backoff_ms = 1000;
  std::string udf = "replay";
  std::string job = "1@replay";
  std::string channel = "replay";
  bool quiet = false;
  std::string ack_log;
  std::vector<std::string> inputs;
};

const char kUsageText[] =
    "usage: cdc-es-replay [options] [EVENTS.ndjson ...]\n"
    "  --plugin PATH          plug-in to load (default: libevent_es.so beside this tool)\n"
    "  --param JSON           the plug-in parameter text\n"
    "  --param-file FILE      read the parameter text from FILE\n"
    "  --es-url URL           replace \"es_url\" in the parameters\n"
    "  --workers N            decoder worker threads (default 2)\n"
    "  --batch-size N         events per batch (default 1000)\n"
    "  --chunk-size N         stream bytes per block chunk, 0 for single chunks (default 4096)\n"
    "  --repeat N             replay the input N times (default 1)\n"
    "  --generate N           replay N synthetic insert rows instead of files\n"
    "  --doc-size BYTES       size of a synthetic document (default 256)\n"
    "  --retries N            re-send a failed batch up to N times (default 5)\n"
    "  --retry-backoff-ms MS  wait before the first re-send, doubling after each (default 1000)\n"
    "  --udf NAME, --job ID, --channel NAME   names handed to Init (defaults replay, 1@replay, replay)\n"
    "  --ack-log FILE         append a JSON line per batch that Execute reported done\n"
    "  --quiet                no progress line\n";

int Usage(const std::string& why) {
  std::cerr << "cdc-es-replay: " << why << "\n" << kUsageText;
  return kUsage;
}

bool ParseNumber(const char* text, long min, long* out) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (*text == 0 || *end != 0 || v < min) return false;
  *out = v;
  return true;
}

std::string DefaultPluginPath(const char* argv0) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv0);
  size_t slash = path.rfind('/');
  return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/libevent_es.so";
}

int ParseArgs(int argc, char** argv, Options* o) {
  o->plugin = DefaultPluginPath(argv[0]);
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    long n = 0;
    if (a == "--help" || a == "-h") {
      std::cout << kUsageText;
      exit(kOk);
    } else if (a == "--quiet") {
      o->quiet = true;
    } else if (a == "--plugin" || a == "--param" || a == "--param-file" || a == "--es-url" || a == "--udf" ||
               a == "--job" || a == "--channel" || a == "--ack-log") {
      if (!value(&v)) return Usage(a + " needs a value");
      if (a == "--ack-log") o->ack_log = v;
      if (a == "--plugin") o->plugin = v;
      if (a == "--param") o->param = v;
      if (a == "--es-url") o->es_url = v;
      if (a == "--udf") o->udf = v;
      if (a == "--job") o->job = v;
      if (a == "--channel") o->channel = v;
      if (a == "--param-file") {
        std::ifstream in(v);
        if (!in) return Usage(std::string("cannot read the parameter file ") + v);
        std::stringstream ss;
        ss << in.rdbuf();
        o->param = ss.str();
      }
    } else if (a == "--workers" || a == "--batch-size" || a == "--chunk-size" || a == "--repeat" ||
               a == "--generate" || a == "--doc-size" || a == "--retries" || a == "--retry-backoff-ms") {
      long min = (a == "--workers" || a == "--batch-size" || a == "--repeat" || a == "--doc-size") ? 1 : 0;
      if (!value(&v) || !ParseNumber(v, min, &n)) {
        return Usage(a + " needs a whole number of at least " + std::to_string(min));
      }
      if (a == "--workers") o->workers = static_cast<int>(std::min(n, 256L));
      if (a == "--batch-size") o->batch_size = static_cast<size_t>(n);
      if (a == "--chunk-size") o->chunk_size = static_cast<size_t>(n);
      if (a == "--repeat") o->repeat = n;
      if (a == "--generate") o->generate = n;
      if (a == "--doc-size") o->doc_size = static_cast<size_t>(n);
      if (a == "--retries") o->retries = static_cast<int>(std::min(n, 1000000L));
      if (a == "--retry-backoff-ms") o->retry_backoff_ms = n;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage("unknown option " + a);
    } else {
      o->inputs.push_back(a);
    }
  }
  if (o->param.empty()) return Usage("the plug-in parameters are missing (--param or --param-file)");
  if (o->generate < 0 && o->inputs.empty()) return Usage("no input: name NDJSON files or use --generate N");
  if (o->generate >= 0 && !o->inputs.empty()) return Usage("--generate and input files exclude each other");
  return -1;
}

// Replaces es_url in the parameter text and creates its log directory, which the plug-in's logger
// does not create. False with *err when the text is not a JSON object (the plug-in reports details).
bool PrepareParam(Options* o, std::string* err) {
  rapidjson::Document d;
  d.Parse(o->param.c_str());
  if (d.HasParseError() || !d.IsObject()) return true;  // passed on as it is: Init says what is wrong
  if (!o->es_url.empty()) {
    rapidjson::Value v(o->es_url.c_str(), d.GetAllocator());
    if (d.HasMember("es_url")) {
      d["es_url"] = v;
    } else {
      d.AddMember("es_url", v, d.GetAllocator());
    }
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    d.Accept(w);
    o->param = sb.GetString();
  }
  std::string dir = d.HasMember("log_path") && d["log_path"].IsString() ? d["log_path"].GetString() : "../log";
  std::string partial;
  for (size_t i = 0; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') {
      if (!partial.empty()) mkdir(partial.c_str(), 0755);
    }
    if (i < dir.size()) partial += dir[i];
  }
  (void)err;
  return true;
}

// Yields the events to replay, batch by batch.
class EventSource {
 public:
  explicit EventSource(const Options& o) : o_(o) {}

  // The next event into *e (whose storage is reused): 1 got one, 0 at the end of the input (or at a
  // file that cannot be opened: unreadable_), -1 on a malformed line (*bad says where and why).
  int NextEvent(cdchost::Event* e, std::string* bad) {
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

  std::string unreadable_;  // an input file that could not be opened

 private:
  bool ReadLine(std::string* line) {
    for (;;) {
      if (!in_.is_open()) {
        if (file_ >= o_.inputs.size()) {
          if (++round_ >= o_.repeat) return false;
          file_ = 0;
        }
        in_.open(o_.inputs[file_]);
        line_no_ = 0;
        if (!in_) {
          unreadable_ = o_.inputs[file_];
          return false;
        }
      }
      if (std::getline(in_, *line)) {
        ++line_no_;
        return true;
      }
      in_.close();
      in_.clear();
      ++file_;
    }
  }

  // Assigns in place, so a batch of synthetic rows allocates little more than its blocks.
  void Synthetic(long i, cdchost::Event* e) {
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

  const Options& o_;
  long generated_ = 0;
  std::ifstream in_;
  size_t file_ = 0;
  long round_ = 0;
  size_t line_no_ = 0;
};

// One batch, read and encoded; end() when the input is exhausted or bad.
struct PreparedBatch {
  bool end() const { return blocks.empty(); }
  std::vector<cdchost::Block> blocks;
  std::list<char*> list;
  size_t docs = 0;
  std::string bad;  // the malformed line that ended the input
};

// Waits until every slot of the decoder's current batch is decoded, polling every poll_us.
void WaitAllReady(ostrel::ParallelParseEvent& pe, useconds_t poll_us = 1000) {
  for (size_t i = 0; i < pe.sql_buf_->used_num_; ++i) {
    while (!pe.sql_buf_->GetElemByPos(i)->GetState()) usleep(poll_us);
  }
}

void WakeUp(int) {}

// Tells the decoder's workers to quit and interrupts the 20 ms sleep of those that are idle, so that
// destroying the decoder does not wait out their polls. Only for a decoder that gets no more batches;
// a worker in the middle of a range still finishes it first. A worker that misses the interruption
// (it was just about to sleep) ends after its poll, as it would anyway.
void QuitWorkers(ostrel::ParallelParseEvent& pe) {
  static const bool installed = [] {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = WakeUp;  // no SA_RESTART: the worker's usleep returns early
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGUSR2, &sa, nullptr) == 0;
  }();
  for (ostrel::ParserEvWork* w : pe.ev_works_) w->is_quit_.store(true);
  if (!installed) return;
  for (ostrel::ParserEvWork* w : pe.ev_works_) {
    if (w->wrk_thd_ != nullptr) pthread_kill(w->wrk_thd_->native_handle(), SIGUSR2);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int rc = ParseArgs(argc, argv, &o);
  if (rc >= 0) return rc;
  std::string err;
  PrepareParam(&o, &err);
  // Batches come and go at the same sizes: keep freed memory in the heap for the next one instead of
  // returning it to the kernel and faulting it in again.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);

  // A batch is read and encoded on a helper thread while the one before it is forwarded, and batches
  // alternate between two decoders: batch N+1 is handed to its workers before batch N's Execute, so
  // the workers' pick-up poll and the decoding overlap the network instead of adding to it. The
  // events still reach the sink strictly in order, one Execute at a time, from this thread.
  // The first batch is prepared while the plug-in loads and connects.
  EventSource source(o);
  ostrel::ParallelParseEvent decoder(o.workers);
  ostrel::ParallelParseEvent second(o.workers);
  if (decoder.Init() || second.Init()) {
    std::cerr << "cdc-es-replay: " << (decoder.getErr()[0] ? decoder.getErr() : second.getErr()) << "\n";
    return kUsage;
  }
  // Batches live on the heap: the decoder keeps the address of a batch's list while its workers run.
  using Batch = std::unique_ptr<PreparedBatch>;
  auto prepare = [&source, &o]() {
    Batch p(new PreparedBatch());
    p->blocks.reserve(std::min<size_t>(o.batch_size, 1 << 16));
    cdchost::Event e;
    while (p->blocks.size() < o.batch_size) {
      int got = source.NextEvent(&e, &p->bad);
      // A batch with a bad line, or cut short by a file that cannot be read, is not sent at all.
      if (got < 0 || (got == 0 && !source.unreadable_.empty())) p->blocks.clear();
      if (got <= 0) break;
      p->blocks.push_back(cdchost::EncodeEvent(e, o.chunk_size));
      p->docs += cdchost::CountForwardedDocs(e);
    }
    for (cdchost::Block& b : p->blocks) p->list.push_back(b.first_mut());
    return p;
  };
  ostrel::ParallelParseEvent* decoders[2] = {&decoder, &second};
  bool assigned[2] = {false, false};  // the decoder's last Parse handed its batch to the workers
  auto parse = [&](int d, const PreparedBatch& p) {
    assigned[d] = !decoders[d]->Parse(p.list);
    if (assigned[d]) return true;
    std::cerr << "\ncdc-es-replay: Parse failed: " << decoders[d]->getErr() << "\n";
    return false;
  };

  std::future<Batch> pending = std::async(std::launch::async, prepare);

  void* handle = dlopen(o.plugin.c_str(), RTLD_NOW);
  if (handle == nullptr) {
    std::cerr << "cdc-es-replay: cannot load the plug-in " << o.plugin << ": " << dlerror() << "\n";
    return kPluginFailure;
  }
  auto create = reinterpret_cast<ostrel::CDispatchEvent* (*)()>(dlsym(handle, "Create"));
  auto destroy = reinterpret_cast<void (*)(ostrel::CDispatchEvent*)>(dlsym(handle, "Destroy"));
  if (create == nullptr || destroy == nullptr) {
    std::cerr << "cdc-es-replay: " << o.plugin << " has no Create/Destroy entry points\n";
    return kPluginFailure;
  }

  ostrel::CDispatchEvent* sink = create();
  if (sink->Init(o.channel, o.udf, o.param, o.job, ostrel::S_Mysql, false)) {
    std::cerr << "cdc-es-replay: Init failed: " << sink->getErr() << "\n";
    destroy(sink);
    return kPluginFailure;
  }

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto last_progress = start;
  uint64_t events = 0, docs = 0, batches = 0, resends = 0;
  auto progress = [&](bool final_line) {
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    if (secs <= 0) secs = 1e-9;
    char line[256];
    snprintf(line, sizeof(line), "events %llu (%.0f/s), documents %llu (%.0f/s), batches %llu, re-sends %llu, %.1f s",
             static_cast<unsigned long long>(events), events / secs, static_cast<unsigned long long>(docs), docs / secs,
             static_cast<unsigned long long>(batches), static_cast<unsigned long long>(resends), secs);
    if (final_line) {
      std::cerr << (o.quiet ? "" : "\n") << "cdc-es-replay: done: " << line << "\n";
    } else if (!o.quiet) {
      std::cerr << "\r[replay] " << line << std::flush;
    }
  };

  std::ofstream ack;
  if (!o.ack_log.empty()) {
    ack.open(o.ack_log, std::ios::app);
    if (!ack) {
      std::cerr << "cdc-es-replay: cannot write the ack log " << o.ack_log << "\n";
      destroy(sink);
      return kUsage;
    }
  }
  int exit_code = kOk;
  int cur_decoder = 0;
  Batch cur = pending.get();
  if (!cur->end() && !parse(cur_decoder, *cur)) exit_code = kPluginFailure;
  if (exit_code == kOk && !cur->end()) pending = std::async(std::launch::async, prepare);
  Batch next;
  while (exit_code == kOk && !cur->end()) {
    next = pending.get();
    if (!next->end()) {
      if (!parse(1 - cur_decoder, *next)) {
        exit_code = kPluginFailure;
        break;
      }
      pending = std::async(std::launch::async, prepare);
    } else {
      QuitWorkers(*decoders[1 - cur_decoder]);  // idle, and no batch is left for it
    }
    ostrel::ParallelParseEvent& dec = *decoders[cur_decoder];
    long backoff = o.retry_backoff_ms;
    bool done = false;
    for (int attempt = 0; attempt <= o.retries && !done; ++attempt) {
      if (attempt > 0 && !parse(cur_decoder, *cur)) {
        exit_code = kPluginFailure;
        break;
      }
      // The sink sleeps 20 ms whenever the next slot is not decoded yet; waiting here at a finer grain
      // keeps a batch whose decoding is still under way from paying that sleep.
      WaitAllReady(dec, 200);
      if (!sink->Execute(o.channel, o.udf, &dec)) {
        done = true;
        break;
      }
      std::cerr << "\ncdc-es-replay: batch " << batches + 1 << " failed (attempt " << attempt + 1 << " of "
                << o.retries + 1 << "): " << sink->getErr() << "\n";
      WaitAllReady(dec);  // the next Parse comes only after the workers are done with this batch
      if (attempt < o.retries) {
        ++resends;
        usleep(static_cast<useconds_t>(std::min(backoff, 60000L) * 1000));
        backoff *= 2;
      }
    }
    if (exit_code != kOk) break;
    if (!done) {
      std::cerr << "cdc-es-replay: giving up on batch " << batches + 1 << "\n";
      exit_code = kPluginFailure;
      break;
    }
    const size_t n = cur->blocks.size();
    if (ack.is_open()) {
      // Events are numbered from 0 in input order; the time is taken right after Execute returned.
      char line[160];
      double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
      snprintf(line, sizeof(line), "{\"batch\":%llu,\"first_event\":%llu,\"last_event\":%llu,\"time\":%.6f}\n",
               static_cast<unsigned long long>(batches + 1), static_cast<unsigned long long>(events),
               static_cast<unsigned long long>(events + n - 1), now);
      ack << line << std::flush;
    }
    ++batches;
    events += n;
    docs += cur->docs;
    if (Clock::now() - last_progress > std::chrono::milliseconds(500)) {
      progress(false);
      last_progress = Clock::now();
    }
    cur = std::move(next);
    cur_decoder = 1 - cur_decoder;
  }
  // Nothing may free a batch's blocks while a worker still reads them.
  if (pending.valid()) pending.wait();
  for (int d = 0; d < 2; ++d) {
    if (assigned[d]) WaitAllReady(*decoders[d]);
    QuitWorkers(*decoders[d]);
  }
  std::string bad = cur->end() ? cur->bad : std::string();
  if (!source.unreadable_.empty() && exit_code == kOk) {
    std::cerr << (o.quiet ? "" : "\n") << "cdc-es-replay: cannot read " << source.unreadable_ << "\n";
    exit_code = kBadInput;
  }
  if (exit_code == kOk && !bad.empty()) {
    std::cerr << (o.quiet ? "" : "\n") << "cdc-es-replay: bad input at " << bad
              << " (nothing of that batch was sent)\n";
    exit_code = kBadInput;
  }
  progress(true);
  sink->Close(o.channel, o.udf);
  destroy(sink);
  return exit_code;
}
