// Parsing cdc-es-replay's options and adjusting the plug-in parameter text.
#include "replay_options.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace replay {

namespace {

const char kUsageText[] =
    "usage: cdc-es-replay [options] [EVENTS.ndjson ...]\n"
    "  --plugin PATH          plug-in to load (default: libevent_es.so beside this tool)\n"
    "  --param JSON           the plug-in parameter text\n"
    "  --param-file FILE      read the parameter text from FILE\n"
    "  --es-url URL           replace \"es_url\" in the parameters\n"
    "  --log-path DIR         replace \"log_path\" in the parameters\n"
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
    "  --metrics-listen HOST:PORT  serve the writer's metrics there (adds metrics_listen to es_url)\n"
    "  --audit                read every acknowledged document back at the end (adds audit_rate=1 to es_url);\n"
    "                         exit 6 when one is missing or changed\n"
    "  --metrics-hold-ms MS   keep serving them this long after the replay, for a last scrape\n"
    "  --quiet                no progress line\n"
    "  --version              the versions of the tool, the plug-in and its writer library\n";

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

#ifndef EVENT_ES_PLUGIN_FROM_BIN
#define EVENT_ES_PLUGIN_FROM_BIN "."
#endif

// libevent_es.so beside the tool (the build tree), else in the plug-in directory of an install.
std::string DefaultPluginPath(const char* argv0) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv0);
  size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  const std::string beside = dir + "/libevent_es.so";
  if (access(beside.c_str(), F_OK) == 0) return beside;
  return dir + "/" + EVENT_ES_PLUGIN_FROM_BIN + "/libevent_es.so";
}

}  // namespace

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
      return kOk;
    } else if (a == "--version") {
      o->show_version = true;
    } else if (a == "--quiet") {
      o->quiet = true;
    } else if (a == "--audit") {
      o->audit = true;
    } else if (a == "--plugin" || a == "--param" || a == "--param-file" || a == "--es-url" || a == "--log-path" || a == "--udf" ||
               a == "--job" || a == "--channel" || a == "--ack-log" || a == "--metrics-listen") {
      if (!value(&v)) return Usage(a + " needs a value");
      if (a == "--metrics-listen") o->metrics_listen = v;
      if (a == "--ack-log") o->ack_log = v;
      if (a == "--plugin") o->plugin = v;
      if (a == "--param") o->param = v;
      if (a == "--es-url") o->es_url = v;
      if (a == "--log-path") o->log_path = v;
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
               a == "--generate" || a == "--doc-size" || a == "--retries" || a == "--retry-backoff-ms" ||
               a == "--metrics-hold-ms") {
      long min = (a == "--workers" || a == "--batch-size" || a == "--repeat" || a == "--doc-size") ? 1 : 0;
      if (!value(&v) || !ParseNumber(v, min, &n)) {
        return Usage(a + " needs a whole number of at least " + std::to_string(min));
      }
      if (a == "--workers") o->workers = static_cast<int>(std::min(n, 256L));
      if (a == "--batch-size") o->batch_size = static_cast<size_t>(n);
      if (a == "--chunk-size") o->chunk_size = static_cast<size_t>(n);
      if (a == "--repeat") o->repeat = n;
      if (a == "--generate") o->generate = n;
      if (a == "--doc-size") {
        if (static_cast<unsigned long>(n) > kMaxDocSize) {
          return Usage("--doc-size is at most " + std::to_string(kMaxDocSize) + " bytes");
        }
        o->doc_size = static_cast<size_t>(n);
      }
      if (a == "--retries") o->retries = static_cast<int>(std::min(n, 1000000L));
      if (a == "--retry-backoff-ms") o->retry_backoff_ms = n;
      if (a == "--metrics-hold-ms") o->metrics_hold_ms = std::min(n, 3600000L);
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage("unknown option " + a);
    } else {
      o->inputs.push_back(a);
    }
  }
  if (o->show_version) return -1;
  if (o->param.empty()) return Usage("the plug-in parameters are missing (--param or --param-file)");
  if (o->generate < 0 && o->inputs.empty()) return Usage("no input: name NDJSON files or use --generate N");
  if (o->generate >= 0 && !o->inputs.empty()) return Usage("--generate and input files exclude each other");
  if (o->generate > 0 && o->repeat > kMaxGenerated / o->generate) {
    return Usage("--generate times --repeat is at most " + std::to_string(kMaxGenerated) + " rows");
  }
  return -1;
}

bool PrepareParam(Options* o, std::string* err) {
  rapidjson::Document d;
  d.Parse<rapidjson::kParseIterativeFlag>(o->param.c_str());  // no recursion on a hostile parameter file
  if (d.HasParseError()) {
    // The plug-in's own message gives the parser's error as a number: say it in words.
    std::cerr << "cdc-es-replay: the parameter text is not valid JSON: " << rapidjson::GetParseError_En(d.GetParseError())
              << " (column " << d.GetErrorOffset() + 1 << ")\n";
    return true;
  }
  if (!d.IsObject()) return true;
  // Options that become tunables of es_url.
  std::vector<std::pair<std::string, std::string>> tunables;
  if (!o->metrics_listen.empty()) {
    std::string where;
    for (char c : o->metrics_listen) where += c == '[' ? "%5B" : c == ']' ? "%5D" : c == '&' ? "%26" : std::string(1, c);
    tunables.emplace_back("--metrics-listen", "metrics_listen=" + where);
  }
  if (o->audit) tunables.emplace_back("--audit", "audit_rate=1");
  for (const auto& t : tunables) {
    if (o->es_url.empty()) {
      auto url = d.FindMember("es_url");
      if (url == d.MemberEnd() || !url->value.IsString()) {
        *err = t.first + " needs an es_url in the parameters or --es-url";
        return false;
      }
      o->es_url = url->value.GetString();
    }
    o->es_url += (o->es_url.find('?') == std::string::npos ? "?" : "&") + t.second;
  }
  for (const auto& kv : {std::make_pair("es_url", &o->es_url), std::make_pair("log_path", &o->log_path)}) {
    if (kv.second->empty()) continue;
    rapidjson::Value v(kv.second->c_str(), d.GetAllocator());
    auto m = d.FindMember(kv.first);
    if (m != d.MemberEnd()) {
      m->value = v;
    } else {
      d.AddMember(rapidjson::StringRef(kv.first), v, d.GetAllocator());
    }
  }
  if (!o->es_url.empty() || !o->log_path.empty()) {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    d.Accept(w);
    o->param = sb.GetString();
  }
  auto path = d.FindMember("log_path");
  const std::string dir = path != d.MemberEnd() && path->value.IsString() ? path->value.GetString() : "../log";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!std::filesystem::is_directory(dir, ec)) {
    *err = "log_path \"" + dir + "\" is not a directory" + (ec ? " (" + ec.message() + ")" : std::string());
    return false;
  }
  auto name = d.FindMember("log_name");
  if (name != d.MemberEnd() && name->value.IsString()) {
    const std::string n = name->value.GetString();
    if (n.find('/') != std::string::npos || n == "." || n == "..") {
      *err = "log_name \"" + n + "\" must be a file name inside log_path, without '/'";
      return false;
    }
  }
  return true;
}

}  // namespace replay
