// Parallel decoding: partitions, slot reuse, stopping, destruction, and a stress run in which the
// consumer hands out the next batch the moment the last slot of the previous one is ready.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "block_encoder.h"
#include "block_util.h"
#include "decoder_control.h"
#include "test_support.h"

using namespace ostrel;
using cdchost::Block;
using cdchost::Event;

namespace {

// A batch the way the host holds it: blocks plus the list of their first chunks.
struct Batch {
  std::vector<Event> events;
  std::vector<Block> blocks;
  std::list<char*> list;
};

std::unique_ptr<Batch> MakeBatch(std::mt19937_64& rng, size_t n, size_t max_chunk = 0) {
  std::unique_ptr<Batch> b(new Batch());
  cdchost::RandomEventOptions opt;
  opt.max_columns = 8;
  opt.max_rows = 3;
  opt.max_value_len = 40;
  for (size_t i = 0; i < n; ++i) {
    b->events.push_back(cdchost::RandomEvent(rng, opt));
    size_t chunk = max_chunk == 0 ? 0 : rng() % max_chunk;
    b->blocks.push_back(cdchost::EncodeEvent(b->events.back(), chunk, static_cast<cdchost::ChainOrder>(rng() % 3)));
  }
  for (Block& blk : b->blocks) b->list.push_back(blk.first_mut());
  return b;
}

// Consumes the slots strictly in order, as the sink does: sleeps when the next slot is not ready.
// Returns false (with a reason) when a slot does not hold its block's event.
bool ConsumeInOrder(ParallelParseEvent& pe, const Batch& batch, useconds_t poll_us, std::string* why) {
  MemSqlBuf* slots = pe.sql_buf_;
  const size_t n = slots->used_num_;
  if (n != batch.events.size()) {
    *why = "used_num_ " + std::to_string(n) + " for a batch of " + std::to_string(batch.events.size());
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  size_t pos = 0;
  while (pos < n) {
    MemSqlEv* slot = slots->GetElemByPos(pos);
    if (!slot->GetState()) {
      if (std::chrono::steady_clock::now() > deadline) {
        *why = "slot " + std::to_string(pos) + " never became ready";
        return false;
      }
      usleep(poll_us);
      continue;
    }
    if (!cdchost::SameEvent(batch.events[pos], *slot->sql_ev_, why)) {
      *why = "slot " + std::to_string(pos) + ": " + *why;
      return false;
    }
    ++pos;
  }
  return true;
}

void RunBatch(ParallelParseEvent& pe, const Batch& batch) {
  ASSERT_FALSE(pe.Parse(batch.list)) << pe.getErr();
  std::string why;
  ASSERT_TRUE(ConsumeInOrder(pe, batch, 20000, &why)) << why;
}

}  // namespace

TEST(ParallelDecoder, PartitionsGiveWorkerZeroTheRemainder) {
  struct Case {
    int workers;
    size_t blocks;
    std::vector<int> epos;  // end of each worker's range; 0 for a worker that got nothing
  } cases[] = {
      {4, 10, {4, 6, 8, 10}},
      {4, 3, {3, 0, 0, 0}},
      {4, 8, {2, 4, 6, 8}},
      {4, 0, {0, 0, 0, 0}},
      {1, 7, {7}},
      {3, 3, {1, 2, 3}},
  };
  std::mt19937_64 rng(1);
  for (const Case& c : cases) {
    ParallelParseEvent pe(c.workers);
    ASSERT_FALSE(pe.Init());
    auto batch = MakeBatch(rng, c.blocks);
    RunBatch(pe, *batch);
    for (int i = 0; i < c.workers; ++i) {
      EXPECT_EQ(c.epos[i], pe.ev_works_[i]->epos_) << c.blocks << " blocks, worker " << i;
      EXPECT_EQ(i, pe.ev_works_[i]->id_);
    }
  }
}

TEST(ParallelDecoder, SlotsOnlyGrowAndAreReused) {
  std::mt19937_64 rng(2);
  ParallelParseEvent pe(2);
  ASSERT_FALSE(pe.Init());
  auto eight = MakeBatch(rng, 8);
  RunBatch(pe, *eight);
  std::vector<MemSqlEv*> slots = pe.sql_buf_->elems_;
  std::vector<SqlEvent*> records;
  for (MemSqlEv* s : slots) records.push_back(s->sql_ev_);

  auto five = MakeBatch(rng, 5);
  RunBatch(pe, *five);
  EXPECT_EQ(slots, pe.sql_buf_->elems_);  // no slot created or freed
  EXPECT_EQ(5u, pe.sql_buf_->used_num_);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(records[i], pe.sql_buf_->elems_[i]->sql_ev_);
  for (size_t i = 5; i < 8; ++i) {
    // Not visible, and untouched: still the previous batch's events, still flagged ready.
    EXPECT_TRUE(pe.sql_buf_->elems_[i]->GetState());
    std::string why;
    EXPECT_TRUE(cdchost::SameEvent(eight->events[i], *pe.sql_buf_->elems_[i]->sql_ev_, &why)) << why;
  }

  ParallelParseEvent grow(1);
  ASSERT_FALSE(grow.Init());
  RunBatch(grow, *five);
  std::vector<MemSqlEv*> first_five = grow.sql_buf_->elems_;
  RunBatch(grow, *eight);
  ASSERT_EQ(8u, grow.sql_buf_->elems_.size());
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(first_five[i], grow.sql_buf_->elems_[i]);
}

TEST(ParallelDecoder, StopBetweenBatchesDoesNotAffectTheNext) {
  std::mt19937_64 rng(3);
  ParallelParseEvent pe(3);
  ASSERT_FALSE(pe.Init());
  auto a = MakeBatch(rng, 20);
  RunBatch(pe, *a);
  pe.StopParse();
  auto b = MakeBatch(rng, 20);
  RunBatch(pe, *b);
}

TEST(ParallelDecoder, StoppedWorkerLeavesOnlyAPrefixDecoded) {
  // The worker polls every 20 ms, so a stop right after Parse almost always comes before it starts:
  // then nothing is decoded. Whatever the timing, the decoded slots are a prefix of the range.
  std::mt19937_64 rng(4);
  bool saw_nothing_decoded = false;
  for (int attempt = 0; attempt < 5 && !saw_nothing_decoded; ++attempt) {
    ParallelParseEvent pe(1);
    ASSERT_FALSE(pe.Init());
    auto batch = MakeBatch(rng, 50);
    ASSERT_FALSE(pe.Parse(batch->list));
    pe.StopParse();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pe.ev_works_[0]->bpos_.load() != -1 && std::chrono::steady_clock::now() < deadline) usleep(1000);
    ASSERT_EQ(-1, pe.ev_works_[0]->bpos_.load());
    size_t ready = 0;
    while (ready < 50 && pe.sql_buf_->elems_[ready]->GetState()) ++ready;
    for (size_t i = ready; i < 50; ++i) EXPECT_FALSE(pe.sql_buf_->elems_[i]->GetState()) << i;
    saw_nothing_decoded = ready == 0;
  }
  EXPECT_TRUE(saw_nothing_decoded);
}

TEST(ParallelDecoder, DestroyIdleAndBusyDecoders) {
  std::mt19937_64 rng(5);
  std::thread([] {}).join();  // a sanitizer's own thread, if it has one, starts with the first thread
  const size_t threads = testsupport::CountEntries("/proc/self/task");
  {
    ParallelParseEvent idle(4);
    ASSERT_FALSE(idle.Init());
    EXPECT_GE(testsupport::CountEntries("/proc/self/task"), threads + 4);
  }
  EXPECT_EQ(threads, testsupport::CountEntries("/proc/self/task")) << "the idle workers were joined";
  auto batch = MakeBatch(rng, 3000, 64);
  {
    ParallelParseEvent busy(2);
    ASSERT_FALSE(busy.Init());
    ASSERT_FALSE(busy.Parse(batch->list));
    // Once a worker has begun its range, the destructor waits for the range to end.
    ASSERT_TRUE(cdchost::WaitReady(busy, 1, 100, 60000));
  }
  EXPECT_EQ(threads, testsupport::CountEntries("/proc/self/task")) << "the busy workers were joined";
  {
    ParallelParseEvent never_initialised(2);
    EXPECT_EQ(nullptr, never_initialised.sql_buf_);
  }
  EXPECT_EQ(threads, testsupport::CountEntries("/proc/self/task"));
}

TEST(ParallelDecoder, WorkerCountBelowOneIsRefused) {
  for (int n : {0, -3}) {
    ParallelParseEvent pe(n);
    EXPECT_TRUE(pe.Init());
    EXPECT_STRNE("", pe.getErr());
    std::list<char*> empty;
    EXPECT_TRUE(pe.Parse(empty));
    EXPECT_EQ(nullptr, pe.sql_buf_);
  }
  ParallelParseEvent not_started(2);
  std::list<char*> empty;
  EXPECT_TRUE(not_started.Parse(empty));
  EXPECT_STRNE("", not_started.getErr());
}

TEST(ParallelDecoderStress, NextBatchTheMomentTheLastSlotIsReady) {
  // Random sizes (empty and repeated equal sizes included) and chunkings; each batch's list and
  // blocks are freed as soon as the consumer is done, so a worker that touched them late would be
  // caught by the sanitizers.
  std::mt19937_64 rng(6);
  const int kBatchesPerConfig = 400;
  for (int workers = 1; workers <= 4; ++workers) {
    ParallelParseEvent pe(workers);
    ASSERT_FALSE(pe.Init());
    size_t last_size = 0;
    for (int i = 0; i < kBatchesPerConfig; ++i) {
      size_t n;
      switch (rng() % 6) {
        case 0: n = 0; break;
        case 1: n = last_size; break;
        case 2: n = static_cast<size_t>(workers); break;
        default: n = rng() % 300; break;
      }
      last_size = n;
      auto batch = MakeBatch(rng, n, 96);
      ASSERT_FALSE(pe.Parse(batch->list)) << pe.getErr();
      std::string why;
      ASSERT_TRUE(ConsumeInOrder(pe, *batch, 200, &why)) << "workers " << workers << " batch " << i << ": " << why;
      batch.reset();
    }
  }
}
