// The logger against spdlog's asynchronous logger writing equivalent lines to a file: per-statement
// latency on the logging thread (median, p99, p99.9), the logging threads' throughput, and the time
// until everything is in the file, with 1 and 4 logging threads.
//
// A statement is timed with the CPU's counter (fenced reads, converted to ns with a rate measured in
// the same run), not the system clock: on a virtual machine a clock read costs more than a statement,
// and the ratio of two latencies that both carry it says more about the timer than the loggers. The
// timer's own cost (the median of an empty timed region, measured in the same run) is subtracted from
// every latency of both loggers and printed in its own row.
#include <unistd.h>
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "logging/NanoLog.h"

#ifdef HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

inline uint64_t TickBefore() {
  _mm_lfence();
  const uint64_t t = __rdtsc();
  _mm_lfence();
  return t;
}

inline uint64_t TickAfter() {
  unsigned aux;
  const uint64_t t = __rdtscp(&aux);
  _mm_lfence();
  return t;
}

// Nanoseconds per counter tick, against the steady clock over 200 ms.
double NsPerTick() {
  const auto c0 = Clock::now();
  const uint64_t t0 = TickBefore();
  usleep(200000);
  const auto c1 = Clock::now();
  const uint64_t t1 = TickAfter();
  return std::chrono::duration<double, std::nano>(c1 - c0).count() / static_cast<double>(t1 - t0);
}

double g_ns_per_tick = 1.0;
double g_timer_ns = 0.0;  // subtracted from every latency

struct Result {
  double median_ns = 0, p99_ns = 0, p999_ns = 0;
  double producer_per_sec = 0;  // statements per second while the threads were logging
  double drained_per_sec = 0;   // statements per second until all were written
};

// pace_every: 0 for a burst; otherwise each thread sleeps 100 us after every pace_every statements,
// a load the background writer keeps up with.
template <typename LogFn, typename DrainFn>
Result Run(int threads, int per_thread, int pace_every, LogFn log, DrainFn drain) {
  std::vector<std::vector<uint32_t>> lat(threads, std::vector<uint32_t>(per_thread));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> ts;
  Clock::time_point start;
  for (int t = 0; t < threads; ++t) {
    ts.emplace_back([&, t]() {
      ready.fetch_add(1);
      while (!go.load()) {
      }
      for (int i = 0; i < per_thread; ++i) {
        const uint64_t a = TickBefore();
        log(t, i);
        const uint64_t b = TickAfter();
        lat[t][i] = static_cast<uint32_t>(b - a);
        if (pace_every != 0 && i % pace_every == pace_every - 1) std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
  }
  while (ready.load() != threads) {
  }
  start = Clock::now();
  go.store(true);
  for (auto& th : ts) th.join();
  double produced = std::chrono::duration<double>(Clock::now() - start).count();
  drain();
  double drained = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<uint32_t> all;
  for (auto& v : lat) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  Result r;
  auto ns = [](uint32_t ticks) { return std::max(0.0, ticks * g_ns_per_tick - g_timer_ns); };
  r.median_ns = ns(all[all.size() / 2]);
  r.p99_ns = ns(all[all.size() * 99 / 100]);
  r.p999_ns = ns(all[all.size() * 999 / 1000]);
  double total = static_cast<double>(threads) * per_thread;
  r.producer_per_sec = total / produced;
  r.drained_per_sec = total / drained;
  return r;
}

void Print(const char* name, const char* load, int threads, const Result& r) {
  printf("| %-8s | %s | %d | %8.0f | %8.0f | %8.0f | %12.0f | %12.0f |\n", name, load, threads, r.median_ns, r.p99_ns,
         r.p999_ns, r.producer_per_sec, r.drained_per_sec);
}

}  // namespace

int main(int argc, char** argv) {
  const int per_thread = argc > 1 ? atoi(argv[1]) : 200000;
  char tmpl[] = "/tmp/logger_bench_XXXXXX";
  std::string dir = mkdtemp(tmpl);
  g_ns_per_tick = NsPerTick();
  const Result timer = Run(1, per_thread, 0, [](int, int) {}, []() {});
  g_timer_ns = timer.median_ns;
  printf("| logger | load | threads | median ns | p99 ns | p99.9 ns | statements/s logging | statements/s to file |\n");
  printf("|---|---|---|---|---|---|---|---|\n");
  printf("| timer alone (subtracted below) | - | 1 | %8.0f | %8.0f | %8.0f | | |\n", timer.median_ns, timer.p99_ns,
         timer.p999_ns);
  int run = 0;
  for (int pace : {0, 10}) {
    const char* load = pace == 0 ? "burst" : "paced";
    for (int threads : {1, 4}) {
      ++run;
      nanolog::initialize(nanolog::GuaranteedLogger(), dir, "nanolog" + std::to_string(run), 1024);
      Result ours = Run(
          threads, per_thread, pace,
          [](int t, int i) {
            LOG_INFO << "order " << int32_t(i) << " amount " << 12.5 << " customer " << "ada" << ' ' << int32_t(t);
          },
          [&]() { nanolog::initialize(nanolog::GuaranteedLogger(), dir, "drained", 1024); });
      Print("ours", load, threads, ours);
#ifdef HAVE_SPDLOG
      spdlog::init_thread_pool(static_cast<size_t>(threads) * per_thread + 1024, 1);
      auto logger = spdlog::basic_logger_mt<spdlog::async_factory>("spd" + std::to_string(run),
                                                                   dir + "/spdlog" + std::to_string(run) + ".log");
      logger->set_pattern("[%Y-%m-%d %H:%M:%S.%f][%l][%t][%s:%!:%#] %v");
      Result theirs = Run(
          threads, per_thread, pace, [&](int t, int i) { logger->info("order {} amount {} customer {} {}", i, 12.5, "ada", t); },
          [&]() {
            logger->flush();
            spdlog::shutdown();
          });
      Print("spdlog", load, threads, theirs);
      printf("| ratio | %s | %d | %.2f | %.2f | %.2f | %.2f | %.2f |\n", load, threads, ours.median_ns / theirs.median_ns,
             ours.p99_ns / theirs.p99_ns, ours.p999_ns / theirs.p999_ns, ours.producer_per_sec / theirs.producer_per_sec,
             ours.drained_per_sec / theirs.drained_per_sec);
#endif
    }
  }
  return 0;
}
