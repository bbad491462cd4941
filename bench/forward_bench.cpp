// Forwarding (Execute) with a writer that discards documents, against memcpy of the same documents,
// both for a freshly decoded batch and for a small batch kept in cache; what reading a line that
// another CPU just wrote costs; and the memory of the steady state: allocations per event and
// resident set over 1,000,000 events.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <thread>

#include <chrono>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "bench_util.h"
#include "decoder_control.h"
#include "test_support.h"
#include "block_util.h"
#include "plugin/event_es/event_es.h"

namespace {

ostrel::CDispatchEvent* Sink() {
  static ostrel::CDispatchEvent* sink = nullptr;
  if (sink == nullptr) {
    char tmpl[] = "/tmp/forward_bench_XXXXXX";
    std::string dir = mkdtemp(tmpl);
    sink = Create();
    std::string param = R"({"log_path":")" + dir + R"(","es_url":"x","es_version":"v8","es_index":"i"})";
    if (sink->Init("ch", "bench", param, "1@b", ostrel::S_Mysql, false)) abort();
  }
  return sink;
}

struct Batch {
  std::vector<cdchost::Block> blocks;
  std::list<char*> list;
  size_t doc_bytes = 0;
};

Batch MakeBatch(size_t doc_size, size_t count) {
  Batch b;
  for (size_t i = 0; i < count; ++i) b.blocks.push_back(cdchost::EncodeEvent(benchutil::DocInsert(doc_size), 0));
  for (auto& blk : b.blocks) b.list.push_back(blk.first_mut());
  b.doc_bytes = doc_size * count;
  return b;
}

size_t BatchCount(size_t doc_size) {
  size_t n = (16u << 20) / doc_size;
  return std::max<size_t>(16, std::min<size_t>(n, 10000));
}

// Documents in a batch that stays in cache.
size_t CachedCount(size_t doc_size) { return doc_size <= 65536 ? 64 : 4; }

void WaitReady(ostrel::ParallelParseEvent& pe) { cdchost::WaitAllReady(pe, 100); }

// Forwards a freshly decoded batch per iteration and times Execute alone (decoding is measured
// elsewhere). With again set it forwards the batch twice and times the second pass: the records were
// then last read by this CPU, not written by a worker on the other one, but the batch is still larger
// than the caches, which tells the transfers between CPUs from the misses of a large batch.
void RunForward(benchmark::State& state, bool again) {
  const size_t doc_size = static_cast<size_t>(state.range(0));
  Batch batch = MakeBatch(doc_size, BatchCount(doc_size));
  ostrel::ParallelParseEvent pe(2);
  pe.Init();
  ostrel::CDispatchEvent* sink = Sink();
  for (auto _ : state) {
    pe.Parse(batch.list);
    WaitReady(pe);
    if (again && sink->Execute("ch", "bench", &pe)) abort();
    auto start = std::chrono::steady_clock::now();
    if (sink->Execute("ch", "bench", &pe)) abort();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch.blocks.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch.doc_bytes));
}

void BM_Forward(benchmark::State& state) { RunForward(state, false); }
void BM_ForwardAgain(benchmark::State& state) { RunForward(state, true); }

// A batch of 64 documents forwarded again and again: its records and documents stay in this core's
// caches, so this is the sink's own cost, without the first read of lines that a worker wrote on the
// other core and without misses to memory.
void BM_ForwardCached(benchmark::State& state) {
  const size_t doc_size = static_cast<size_t>(state.range(0));
  Batch batch = MakeBatch(doc_size, CachedCount(doc_size));
  ostrel::ParallelParseEvent pe(2);
  pe.Init();
  ostrel::CDispatchEvent* sink = Sink();
  pe.Parse(batch.list);
  WaitReady(pe);
  for (auto _ : state) {
    if (sink->Execute("ch", "bench", &pe)) abort();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch.blocks.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch.doc_bytes));
}

void Pin(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

// What reading a line costs right after a thread wrote it: 100,000 cache lines written by a thread on
// CPU 1 (argument 1) or on this thread's CPU 0 (argument 0), then read in a random order, each read
// depending on the last (dependent) or all free to overlap (independent). A decoded record is a few
// dozen such lines, written by whichever worker decoded the slot.
void BM_LineReadAfterWrite(benchmark::State& state) {
  const bool other_core = state.range(0) != 0;
  const bool dependent = state.range(1) != 0;
  if (sysconf(_SC_NPROCESSORS_ONLN) < 2 && other_core) {
    state.SkipWithError("needs two CPUs");
    return;
  }
  constexpr size_t kLines = 100000;
  struct alignas(64) Line {
    size_t next;
    size_t counter;
  };
  std::vector<Line> lines(kLines);
  std::vector<size_t> order(kLines);
  for (size_t i = 0; i < kLines; ++i) order[i] = i;
  std::mt19937_64 rng(7);
  std::shuffle(order.begin(), order.end(), rng);
  for (size_t i = 0; i < kLines; ++i) lines[order[i]].next = order[(i + 1) % kLines];
  cpu_set_t saved;
  pthread_getaffinity_np(pthread_self(), sizeof(saved), &saved);
  Pin(0);
  size_t sink = 0;
  for (auto _ : state) {
    std::thread writer([&] {
      Pin(other_core ? 1 : 0);
      for (Line& l : lines) ++l.counter;
    });
    writer.join();
    auto start = std::chrono::steady_clock::now();
    if (dependent) {
      size_t p = order[0];
      for (size_t i = 0; i < kLines; ++i) p = lines[p].next;
      sink += p;
    } else {
      for (size_t i = 0; i < kLines; ++i) sink += lines[order[i]].next;
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  benchmark::DoNotOptimize(sink);
  pthread_setaffinity_np(pthread_self(), sizeof(saved), &saved);
  state.counters["ns_per_line"] = benchmark::Counter(static_cast<double>(state.iterations() * kLines),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// memcpy of count documents of doc_size bytes, one after another into one buffer, per iteration.
// Manual time pairs it with the timed section of BM_Forward.
void RunMemcpyDocs(benchmark::State& state, size_t doc_size, size_t count, bool manual_time) {
  std::vector<std::string> docs(count, std::string(doc_size, 'x'));
  std::vector<char> dst(doc_size + 1);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (const std::string& d : docs) {
      memcpy(dst.data(), d.data(), d.size());
      benchmark::DoNotOptimize(dst.data());
      benchmark::ClobberMemory();
    }
    if (manual_time) {
      state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * count * doc_size));
}

void BM_MemcpyDocs(benchmark::State& state) {
  const size_t doc_size = static_cast<size_t>(state.range(0));
  RunMemcpyDocs(state, doc_size, BatchCount(doc_size), true);
}

// The baseline of the cached rows: the same number of documents as BM_ForwardCached, copied again and
// again, so they too stay in cache.
void BM_MemcpyDocsCached(benchmark::State& state) {
  const size_t doc_size = static_cast<size_t>(state.range(0));
  RunMemcpyDocs(state, doc_size, CachedCount(doc_size), false);
}

void DocSizes(benchmark::internal::Benchmark* b) {
  for (int64_t s : {64, 256, 1024, 4096, 65536, 1 << 20}) b->Arg(s);
}

// 1,000,000 mixed events through Parse and Execute in batches of 10,000 after a warm-up. Argument 1
// adds DDL events, whose WARN lines make the logger take a new 32768-record block now and then.
void BM_SteadyStateMemory(benchmark::State& state) {
  const int kinds = state.range(0) ? 4 : 3;
  std::vector<cdchost::Block> blocks;
  for (int i = 0; i < 10000; ++i) {
    switch (i % kinds) {
      case 0: blocks.push_back(cdchost::EncodeEvent(benchutil::DocInsert(200 + i % 700), 512)); break;
      case 1: blocks.push_back(cdchost::EncodeEvent(benchutil::NarrowInsert(i), 64)); break;
      case 2: blocks.push_back(cdchost::EncodeEvent(benchutil::WideUpdate(1 + i % 5), 256)); break;
      default: blocks.push_back(cdchost::EncodeEvent(benchutil::Ddl(), 0)); break;
    }
  }
  std::list<char*> list;
  for (auto& b : blocks) list.push_back(b.first_mut());
  ostrel::ParallelParseEvent pe(2);
  pe.Init();
  ostrel::CDispatchEvent* sink = Sink();
  for (auto _ : state) {
    for (int warm = 0; warm < 3; ++warm) {
      pe.Parse(list);
      if (sink->Execute("ch", "bench", &pe)) abort();
    }
    usleep(200000);  // let the logger drain the warm-up's lines
    const long rss_before = testsupport::ResidentKb();
    const size_t allocs_before = alloc_counter::Count();
    for (int round = 0; round < 100; ++round) {
      pe.Parse(list);
      if (sink->Execute("ch", "bench", &pe)) abort();
    }
    const size_t allocs = alloc_counter::Count() - allocs_before;
    usleep(200000);
    state.counters["events"] = 1e6;
    state.counters["allocations_per_event"] = static_cast<double>(allocs) / 1e6;
    state.counters["rss_kb_after_warmup"] = static_cast<double>(rss_before);
    state.counters["rss_kb_growth"] = static_cast<double>(testsupport::ResidentKb() - rss_before);
  }
}

}  // namespace

BENCHMARK(BM_Forward)->Apply(DocSizes)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_ForwardAgain)->Apply(DocSizes)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_ForwardCached)->Apply(DocSizes)->MinTime(0.3);
BENCHMARK(BM_LineReadAfterWrite)->ArgsProduct({{0, 1}, {0, 1}})->UseManualTime()->MinTime(0.3);
BENCHMARK(BM_MemcpyDocs)->Apply(DocSizes)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_MemcpyDocsCached)->Apply(DocSizes)->MinTime(0.3);
BENCHMARK(BM_SteadyStateMemory)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
