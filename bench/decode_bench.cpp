// Decoding one event block with GetEventFromBlock and one ParseEvent, against memcpy of the same
// stream bytes and against a naive decoder that copies every value into a std::string.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "block_format.h"
#include "block_util.h"

namespace {

namespace bf = ostrel::block_format;

enum Shape { kNarrow = 0, kDoc4k = 1, kUpdate100 = 2, kDdl = 3 };
const char* kShapeNames[] = {"narrow_insert", "doc_insert_4k", "update_100_rows", "ddl"};

cdchost::Event MakeShape(int shape) {
  switch (shape) {
    case kNarrow: return benchutil::NarrowInsert();
    case kDoc4k: return benchutil::DocInsert(4096);
    case kUpdate100: return benchutil::WideUpdate(100);
    default: return benchutil::Ddl();
  }
}

// A decoder in the naive style: gathers the chunk payloads into one string, then copies every
// string field into its own std::string.
struct NaiveEvent {
  std::vector<std::string> strings;
  std::vector<uint64_t> numbers;
};

void NaiveDecode(const char* block, bool ddl, NaiveEvent* out) {
  std::string stream;
  uint16_t id;
  uint32_t len;
  const char* chunk = block;
  memcpy(&id, chunk + bf::kChunkIdOffset, 2);
  memcpy(&len, chunk + bf::kChunkLenOffset, 4);
  bool first = true;
  while (id & bf::kChunkLinked) {
    const size_t at = first ? bf::kFirstPayloadOffset : bf::kLaterPayloadOffset;
    stream.append(chunk + at, len - at - bf::kLinkSize);
    int64_t delta;
    memcpy(&delta, chunk + len - bf::kLinkSize, 8);
    chunk += delta;
    memcpy(&id, chunk + bf::kChunkIdOffset, 2);
    memcpy(&len, chunk + bf::kChunkLenOffset, 4);
    first = false;
  }
  const size_t at = first ? bf::kFirstPayloadOffset : bf::kLaterPayloadOffset;
  stream.append(chunk + at, len - at);
  out->strings.clear();
  out->numbers.clear();
  size_t pos = 0;
  auto str = [&]() {
    uint32_t n;
    memcpy(&n, stream.data() + pos, 4);
    out->strings.emplace_back(stream.data() + pos + 4, n);
    pos += 4 + n;
  };
  auto u32 = [&]() {
    uint32_t v;
    memcpy(&v, stream.data() + pos, 4);
    out->numbers.push_back(v);
    pos += 4;
    return v;
  };
  auto u64 = [&]() {
    uint64_t v;
    memcpy(&v, stream.data() + pos, 8);
    out->numbers.push_back(v);
    pos += 8;
  };
  for (int i = 0; i < 4; ++i) str();
  if (ddl) {
    str();
  } else {
    uint32_t n = u32();
    for (uint32_t i = 0; i < n; ++i) str();
    for (uint32_t i = 0; i < n; ++i) u32();
    uint32_t r = u32();
    bool update = static_cast<uint8_t>(block[bf::kTypeOffset]) == static_cast<uint8_t>(ostrel::EventType::T_UPDATE);
    for (uint64_t i = 0; i < static_cast<uint64_t>(r) * n * (update ? 2 : 1); ++i) str();
    str();
  }
  u64();
  u64();
  u32();
  u32();
}

void SetCounters(benchmark::State& state, const cdchost::Event& e, size_t stream_bytes) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream_bytes));
  state.counters["fields"] = static_cast<double>(benchutil::FieldCount(e));
}

// Decodes e, encoded with the given payload per chunk, once per iteration.
void RunDecode(benchmark::State& state, const cdchost::Event& e, size_t chunk) {
  std::string stream = cdchost::EncodeFieldStream(e);
  cdchost::Block b = cdchost::MakeBlock(static_cast<uint8_t>(e.type), stream, chunk);
  ostrel::ParseEvent pe;
  ostrel::SqlEvent ev;
  for (auto _ : state) {
    ostrel::GetEventFromBlock(&pe, b.first(), &ev);
    benchmark::DoNotOptimize(ev.ev_len_);
  }
  SetCounters(state, e, stream.size());
}

// Copies e's field stream once per iteration: the baseline. The source is the stream where the decoder
// reads it, in a single-chunk block, and the destination is 64-byte aligned: memcpy's speed swings by
// up to half with the alignment of its two ends, so both are fixed rather than left to the heap.
void RunMemcpy(benchmark::State& state, const cdchost::Event& e) {
  std::string stream = cdchost::EncodeFieldStream(e);
  cdchost::Block b = cdchost::MakeBlock(static_cast<uint8_t>(e.type), stream, 0);
  const char* src = b.first() + bf::kFirstPayloadOffset;  // after the chunk header and the type byte
  if (memcmp(src, stream.data(), stream.size()) != 0) abort();
  std::unique_ptr<char, decltype(&free)> dst(static_cast<char*>(aligned_alloc(64, (stream.size() + 63) / 64 * 64)), free);
  for (auto _ : state) {
    memcpy(dst.get(), src, stream.size());
    benchmark::DoNotOptimize(dst.get());
    benchmark::ClobberMemory();
  }
  SetCounters(state, e, stream.size());
}

// Arguments: shape, payload bytes per chunk (0: one chunk).
void BM_Decode(benchmark::State& state) {
  RunDecode(state, MakeShape(static_cast<int>(state.range(0))), static_cast<size_t>(state.range(1)));
  state.SetLabel(kShapeNames[state.range(0)]);
}

void BM_NaiveDecode(benchmark::State& state) {
  cdchost::Event e = MakeShape(static_cast<int>(state.range(0)));
  std::string stream = cdchost::EncodeFieldStream(e);
  cdchost::Block b = cdchost::MakeBlock(static_cast<uint8_t>(e.type), stream, static_cast<size_t>(state.range(1)));
  NaiveEvent out;
  bool ddl = ostrel::IsDdlType(e.type);
  for (auto _ : state) {
    NaiveDecode(b.first(), ddl, &out);
    benchmark::DoNotOptimize(out.strings.data());
  }
  SetCounters(state, e, stream.size());
  state.SetLabel(kShapeNames[state.range(0)]);
}

void BM_Memcpy(benchmark::State& state) {
  RunMemcpy(state, MakeShape(static_cast<int>(state.range(0))));
  state.SetLabel(kShapeNames[state.range(0)]);
}

void DecodeArgs(benchmark::internal::Benchmark* b) {
  for (int shape = 0; shape < 4; ++shape) {
    for (int chunk : {0, 4096, 64}) b->Args({shape, chunk});
  }
}

void MemcpyArgs(benchmark::internal::Benchmark* b) {
  for (int shape = 0; shape < 4; ++shape) b->Args({shape, 0});
}

// Column sweep: one row of n columns of 16-byte values, single chunk.
void BM_DecodeColumns(benchmark::State& state) {
  RunDecode(state, benchutil::Columns(static_cast<size_t>(state.range(0))), 0);
}

void BM_MemcpyColumns(benchmark::State& state) {
  RunMemcpy(state, benchutil::Columns(static_cast<size_t>(state.range(0))));
}

}  // namespace

BENCHMARK(BM_Decode)->Apply(DecodeArgs);
BENCHMARK(BM_NaiveDecode)->Apply(DecodeArgs);
BENCHMARK(BM_Memcpy)->Apply(MemcpyArgs);
BENCHMARK(BM_DecodeColumns)->RangeMultiplier(2)->Range(1, 512);
BENCHMARK(BM_MemcpyColumns)->RangeMultiplier(2)->Range(1, 512);
BENCHMARK_MAIN();
