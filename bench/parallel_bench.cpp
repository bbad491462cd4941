// Parallel decoding of a 100,000-block batch with 1 and 2 workers: wall time from Parse until every
// slot is ready (including the workers' 20 ms poll for an assignment) and each worker's CPU time.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <list>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "decoder_control.h"
#include "block_util.h"

namespace {

double ThreadCpuSeconds(std::thread* t) {
  clockid_t cid;
  if (pthread_getcpuclockid(t->native_handle(), &cid) != 0) return 0;
  struct timespec ts;
  clock_gettime(cid, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void RunParallel(benchmark::State& state, const std::vector<cdchost::Block>& blocks) {
  const int workers = static_cast<int>(state.range(0));
  const size_t blocks_n = blocks.size();
  std::list<char*> list;
  for (auto& b : blocks) list.push_back(const_cast<cdchost::Block&>(b).first_mut());
  ostrel::ParallelParseEvent pe(workers);
  pe.Init();
  double busiest = 0, total_cpu = 0, wall = 0;
  for (auto _ : state) {
    std::vector<double> before;
    for (auto* w : pe.ev_works_) before.push_back(ThreadCpuSeconds(w->wrk_thd_));
    auto start = std::chrono::steady_clock::now();
    pe.Parse(list);
    // Sleep a millisecond between looks: on two CPUs a spinning or often-waking waiter would take CPU
    // from a worker. The wall time is thus up to 1 ms long.
    cdchost::WaitReady(pe, blocks_n, 1000);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(secs);
    wall += secs;
    double max_cpu = 0;
    for (size_t w = 0; w < pe.ev_works_.size(); ++w) {
      double cpu = ThreadCpuSeconds(pe.ev_works_[w]->wrk_thd_) - before[w];
      max_cpu = std::max(max_cpu, cpu);
      total_cpu += cpu;
    }
    busiest += max_cpu;
  }
  double n = static_cast<double>(state.iterations());
  state.counters["busiest_worker_cpu_ms"] = busiest / n * 1e3;
  state.counters["all_workers_cpu_ms"] = total_cpu / n * 1e3;
  state.counters["wall_ms"] = wall / n * 1e3;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * blocks_n));
}

void BM_ParallelDecode(benchmark::State& state) {
  std::vector<cdchost::Block> blocks;
  for (size_t i = 0; i < static_cast<size_t>(state.range(1)); ++i) {
    blocks.push_back(cdchost::EncodeEvent(benchutil::NarrowInsert(i % 64), 4096));
  }
  RunParallel(state, blocks);
}

// Inserts of one 1 KB document each, the shape of the whole-path benchmarks: 20,000 blocks are about
// 21 MB, far more than the caches hold, so decoding reads most blocks from memory.
void BM_ParallelDecodeDocs(benchmark::State& state) {
  std::vector<cdchost::Block> blocks;
  for (size_t i = 0; i < static_cast<size_t>(state.range(1)); ++i) {
    blocks.push_back(cdchost::EncodeEvent(benchutil::DocInsert(1024), 0));
  }
  RunParallel(state, blocks);
}

}  // namespace

BENCHMARK(BM_ParallelDecodeDocs)->Args({1, 20000})->Args({2, 20000})
    ->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ParallelDecode)->Args({1, 100000})->Args({2, 100000})->Args({1, 100})->Args({2, 100})
    ->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
