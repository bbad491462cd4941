// Streaming decoder and block framing: worked examples, the encode/decode property under every kind of
// cut and chain, reuse without allocation, and the invariant checks.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "block_encoder.h"
#include "block_format.h"
#include "block_util.h"

using namespace ostrel;
using cdchost::Block;
using cdchost::ChainOrder;
using cdchost::Event;
namespace bf = ostrel::block_format;

namespace {

std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

// Feeds stream to a fresh decoder in the pieces that cuts make.
void DecodeStream(ParseEvent& pe, SqlEvent& ev, EventType type, const std::string& stream,
                  const std::vector<size_t>& cuts) {
  ev.Reset();
  ev.type_ = type;
  pe.Init(&ev);
  size_t start = 0;
  for (size_t c : cuts) {
    pe.Parser(stream.data() + start, static_cast<uint32_t>(c - start));
    start = c;
  }
  pe.Parser(stream.data() + start, static_cast<uint32_t>(stream.size() - start));
}

// Byte ranges of the string payloads in the stream, in stream order (mirrors the field layout).
std::vector<std::pair<size_t, size_t>> StringRanges(const Event& e) {
  std::vector<std::pair<size_t, size_t>> ranges;
  size_t pos = 0;
  auto str = [&](const std::string& s) {
    pos += 4;
    ranges.emplace_back(pos, pos + s.size());
    pos += s.size();
  };
  str(e.db);
  str(e.tb);
  str(e.gtid);
  str(e.sql);
  if (IsDdlType(e.type)) {
    str(e.xid);
    return ranges;
  }
  pos += 4;
  for (const auto& n : e.col_names) str(n);
  pos += 4 * e.col_names.size() + 4;
  for (size_t r = 0; r < e.rows.size(); ++r) {
    if (e.type == EventType::T_UPDATE) {
      for (const auto& v : e.olds[r]) str(v);
    }
    for (const auto& v : e.rows[r]) str(v);
  }
  str(e.xid);
  return ranges;
}

size_t ExpectedPieces(const Event& e, const std::vector<size_t>& cuts) {
  size_t total = 0;
  for (const auto& r : StringRanges(e)) {
    total += 1;
    for (size_t c : cuts) total += (c > r.first && c < r.second) ? 1 : 0;
  }
  return total;
}

size_t Pieces(const BufStr& s) { return s.used_num_; }

size_t DecodedPieces(const SqlEvent& ev) {
  size_t total = Pieces(ev.db_name_) + Pieces(ev.tb_name_) + Pieces(ev.gtid_) + Pieces(ev.sql_) + Pieces(ev.xid_);
  for (size_t i = 0; i < ev.col_names_.used_num_; ++i) total += Pieces(*ev.col_names_.elems_[i]);
  for (const RowStrList* rows : {&ev.datas_, &ev.olds_}) {
    for (size_t r = 0; r < rows->used_num_; ++r) {
      for (size_t c = 0; c < rows->elems_[r]->used_num_; ++c) total += Pieces(*rows->elems_[r]->elems_[c]);
    }
  }
  return total;
}

Event Insert2x1() {
  Event e;
  e.type = EventType::T_INSERT;
  e.db = "db";
  e.tb = "t";
  e.gtid = "g:1";
  e.sql = "";
  e.col_names = {"optype", "doc"};
  e.col_states = {15, 245};
  e.rows = {{"'insert'", "'{}'"}};
  e.xid = "x9";
  e.original_commit_ts = 11;
  e.immediate_commit_ts = 12;
  e.original_server_version = 80031;
  e.immediate_server_version = 80032;
  return e;
}

}  // namespace

TEST(StreamingDecoder, WorkedDdlStreamOf48Bytes) {
  Event e;
  e.type = EventType::T_CREATE_TABLE;
  e.db = "d";
  e.tb = "";
  e.gtid = "g";
  e.sql = "s";
  e.xid = "x";
  e.original_commit_ts = 1;
  e.immediate_commit_ts = 2;
  e.original_server_version = 3;
  e.immediate_server_version = 4;
  std::string stream = cdchost::EncodeFieldStream(e);
  ASSERT_EQ(48u, stream.size());
  EXPECT_EQ(
      "0100000064"
      "00000000"
      "0100000067"
      "0100000073"
      "0100000078"
      "0100000000000000"
      "0200000000000000"
      "03000000"
      "04000000",
      Hex(stream));
  ParseEvent pe;
  SqlEvent ev;
  DecodeStream(pe, ev, e.type, stream, {});
  std::string why;
  EXPECT_TRUE(cdchost::SameEvent(e, ev, &why)) << why;
  EXPECT_EQ(9, pe.sql_pos_);
}

TEST(StreamingDecoder, WorkedIndexesOfInsertAndUpdate) {
  Event ins = Insert2x1();
  ParseEvent pe;
  SqlEvent ev;
  const std::string ins_stream = cdchost::EncodeFieldStream(ins);
  DecodeStream(pe, ev, ins.type, ins_stream, {});
  EXPECT_EQ(6u, pe.row_step1_);
  EXPECT_EQ(8u, pe.row_step2_);
  EXPECT_EQ(11u, pe.row_step3_);  // values at 10 and 11, xid at 12, last field 16
  EXPECT_EQ(17, pe.sql_pos_);
  std::string why;
  EXPECT_TRUE(cdchost::SameEvent(ins, ev, &why)) << why;

  Event upd = ins;
  upd.type = EventType::T_UPDATE;
  upd.olds = {{"'update'", "'old'"}};
  const std::string upd_stream = cdchost::EncodeFieldStream(upd);
  DecodeStream(pe, ev, upd.type, upd_stream, {});
  EXPECT_EQ(13u, pe.row_step3_);  // old image 10-11, new image 12-13, xid 14, last field 18
  EXPECT_EQ(19, pe.sql_pos_);
  EXPECT_TRUE(pe.rpos_.double_step_);
  EXPECT_TRUE(cdchost::SameEvent(upd, ev, &why)) << why;
}

TEST(StreamingDecoder, UpdateImagesAlternateOldThenNew) {
  Event e;
  e.type = EventType::T_UPDATE;
  e.col_names = {"a"};
  e.col_states = {0};
  e.olds = {{"img0"}, {"img2"}};
  e.rows = {{"img1"}, {"img3"}};
  ParseEvent pe;
  SqlEvent ev;
  const std::string stream = cdchost::EncodeFieldStream(e);
  DecodeStream(pe, ev, e.type, stream, {});
  EXPECT_EQ("img0", cdchost::ToString(*ev.olds_.elems_[0]->elems_[0]));
  EXPECT_EQ("img2", cdchost::ToString(*ev.olds_.elems_[1]->elems_[0]));
  EXPECT_EQ("img1", cdchost::ToString(*ev.datas_.elems_[0]->elems_[0]));
  EXPECT_EQ("img3", cdchost::ToString(*ev.datas_.elems_[1]->elems_[0]));
}

TEST(StreamingDecoder, SplitIntegersAndPrefixesGiveTheSameValues) {
  Event e = Insert2x1();
  std::string stream = cdchost::EncodeFieldStream(e);
  // Inside the first length prefix (1 byte, then 3), and inside the first 8-byte timestamp (3, then 5).
  size_t ts = stream.size() - 24;
  for (const std::vector<size_t>& cuts : std::vector<std::vector<size_t>>{{1}, {ts + 3}, {1, 2, 3, ts + 3, ts + 5}}) {
    ParseEvent pe;
    SqlEvent ev;
    DecodeStream(pe, ev, e.type, stream, cuts);
    std::string why;
    EXPECT_TRUE(cdchost::SameEvent(e, ev, &why)) << why;
  }
}

TEST(StreamingDecoder, ValueCutTwiceIsThreePieces) {
  Event e = Insert2x1();
  e.rows[0][1] = "'0123456789'";
  std::string stream = cdchost::EncodeFieldStream(e);
  size_t at = stream.find("'0123456789'");
  ParseEvent pe;
  SqlEvent ev;
  DecodeStream(pe, ev, e.type, stream, {at + 3, at + 7});
  BufStr* doc = ev.datas_.elems_[0]->elems_[1];
  EXPECT_EQ(3u, doc->used_num_);
  EXPECT_EQ("'0123456789'", cdchost::ToString(*doc));
}

TEST(StreamingDecoder, CutInTheLastValueOfARowKeepsTheNextRowAligned) {
  Event e;
  e.type = EventType::T_INSERT;
  e.col_names = {"a", "b"};
  e.col_states = {0, 0};
  e.rows = {{"r0a", "r0b-long"}, {"r1a", "r1b"}};
  std::string stream = cdchost::EncodeFieldStream(e);
  size_t at = stream.find("r0b-long");
  ParseEvent pe;
  SqlEvent ev;
  DecodeStream(pe, ev, e.type, stream, {at + 2});
  std::string why;
  EXPECT_TRUE(cdchost::SameEvent(e, ev, &why)) << why;
  EXPECT_EQ("r1a", cdchost::ToString(*ev.datas_.elems_[1]->elems_[0]));
}

TEST(StreamingDecoder, RowEventWithoutRowsHasXidAfterTheCount) {
  Event e = Insert2x1();
  e.rows.clear();
  ParseEvent pe;
  SqlEvent ev;
  const std::string stream = cdchost::EncodeFieldStream(e);
  DecodeStream(pe, ev, e.type, stream, {});
  EXPECT_EQ(0u, ev.datas_.used_num_);
  EXPECT_EQ("x9", cdchost::ToString(ev.xid_));
  std::string why;
  EXPECT_TRUE(cdchost::SameEvent(e, ev, &why)) << why;
}

TEST(StreamingDecoder, GtidSetStreamEndingAfterItsSqlHasNoColumns) {
  Event e;
  e.type = EventType::T_GTIDSET;
  e.db = "d";
  e.gtid = "uuid:1-100";
  e.sql = "SET";
  std::string stream = cdchost::EncodeFieldStream(e);
  stream.resize(4 + 1 + 4 + 0 + 4 + 10 + 4 + 3);
  ParseEvent pe;
  SqlEvent ev;
  DecodeStream(pe, ev, e.type, stream, {});
  EXPECT_EQ("uuid:1-100", cdchost::ToString(ev.gtid_));
  EXPECT_EQ("SET", cdchost::ToString(ev.sql_));
  EXPECT_EQ(0u, ev.col_names_.used_num_);
  EXPECT_EQ(0u, ev.datas_.used_num_);
}

TEST(StreamingDecoder, BytesAfterTheLastFieldChangeNothing) {
  for (EventType t : {EventType::T_ALTER_TABLE, EventType::T_INSERT}) {
    Event e = Insert2x1();
    e.type = t;
    if (IsDdlType(t)) {
      e.col_names.clear();
      e.col_states.clear();
      e.rows.clear();
    }
    std::string stream = cdchost::EncodeFieldStream(e) + std::string("\x01\x02\x03\x04\x05\x06\x07", 7);
    ParseEvent pe;
    SqlEvent ev;
    DecodeStream(pe, ev, t, stream, {});
    std::string why;
    EXPECT_TRUE(cdchost::SameEvent(e, ev, &why)) << why;
  }
}

TEST(StreamingDecoder, EmptyPiecesAddNothingInAnyState) {
  Event e = Insert2x1();
  std::string stream = cdchost::EncodeFieldStream(e);
  for (size_t at = 0; at <= stream.size(); ++at) {
    ParseEvent pe;
    SqlEvent ev;
    DecodeStream(pe, ev, e.type, stream, {at, at, at});
    std::string why;
    ASSERT_TRUE(cdchost::SameEvent(e, ev, &why)) << "cut at " << at << ": " << why;
  }
}

TEST(StreamingDecoder, SameEventWhateverTheCuts) {
  std::mt19937_64 rng(12345);
  cdchost::RandomEventOptions opt;
  opt.max_columns = 64;
  opt.max_rows = 3;
  opt.max_value_len = 3000;
  for (int iter = 0; iter < 300; ++iter) {
    Event e = cdchost::RandomEvent(rng, opt);
    std::string stream = cdchost::EncodeFieldStream(e);
    ParseEvent pe;
    SqlEvent ev;
    std::string why;

    DecodeStream(pe, ev, e.type, stream, {});
    ASSERT_TRUE(cdchost::SameEvent(e, ev, &why)) << "whole: " << why;
    ASSERT_EQ(ExpectedPieces(e, {}), DecodedPieces(ev));

    if (stream.size() < 4000) {
      std::vector<size_t> every;
      for (size_t i = 1; i < stream.size(); ++i) every.push_back(i);
      DecodeStream(pe, ev, e.type, stream, every);
      ASSERT_TRUE(cdchost::SameEvent(e, ev, &why)) << "byte by byte: " << why;
      ASSERT_EQ(ExpectedPieces(e, every), DecodedPieces(ev));
    }
    for (int k = 0; k < 5; ++k) {
      std::vector<size_t> cuts = cdchost::RandomCuts(rng, stream.size(), 12);
      DecodeStream(pe, ev, e.type, stream, cuts);
      ASSERT_TRUE(cdchost::SameEvent(e, ev, &why)) << "random cuts: " << why;
      ASSERT_EQ(ExpectedPieces(e, cuts), DecodedPieces(ev));
    }
  }
}

TEST(StreamingDecoder, EverySingleCutOffset) {
  std::mt19937_64 rng(99);
  cdchost::RandomEventOptions opt;
  opt.max_columns = 6;
  opt.max_value_len = 20;
  for (int iter = 0; iter < 40; ++iter) {
    Event e = cdchost::RandomEvent(rng, opt);
    std::string stream = cdchost::EncodeFieldStream(e);
    ParseEvent pe;
    SqlEvent ev;
    for (size_t at = 1; at < stream.size(); ++at) {
      DecodeStream(pe, ev, e.type, stream, {at});
      std::string why;
      ASSERT_TRUE(cdchost::SameEvent(e, ev, &why)) << "cut at " << at << ": " << why;
      ASSERT_EQ(ExpectedPieces(e, {at}), DecodedPieces(ev));
    }
  }
}

TEST(BlockFraming, SingleChunkOf27Bytes) {
  std::string stream(20, 'z');
  for (uint16_t id : {uint16_t(1), uint16_t(0x7FFF)}) {
    Block b = cdchost::MakeSingleChunkBlock(13, stream, id);
    ASSERT_EQ(27u, b.size());
    ParseEvent pe;
    SqlEvent ev;
    GetEventFromBlock(&pe, b.first(), &ev);
    EXPECT_EQ(21u, ev.ev_len_);
    EXPECT_EQ(EventType::T_INSERT, ev.type_);
  }
}

TEST(BlockFraming, ThreeChunkChainOf100_50_30) {
  std::string stream(145, '\0');
  Block b = cdchost::MakeBlockWithCuts(6, stream, {85, 121});
  uint32_t lens[3];
  const char* chunk = b.first();
  for (int i = 0; i < 3; ++i) {
    memcpy(&lens[i], chunk + bf::kChunkLenOffset, 4);
    int64_t delta = 0;
    if (i < 2) memcpy(&delta, chunk + lens[i] - bf::kLinkSize, 8);
    chunk += delta;
  }
  EXPECT_EQ(100u, lens[0]);
  EXPECT_EQ(50u, lens[1]);
  EXPECT_EQ(30u, lens[2]);
  ParseEvent pe;
  SqlEvent ev;
  GetEventFromBlock(&pe, b.first(), &ev);
  EXPECT_EQ(146u, ev.ev_len_);
  EXPECT_EQ(EventType::T_ALTER_TABLE, ev.type_);
}

TEST(BlockFraming, SameEventThroughAnyChain) {
  std::mt19937_64 rng(2024);
  cdchost::RandomEventOptions opt;
  opt.max_columns = 32;
  opt.max_value_len = 500;
  ParseEvent pe;
  SqlEvent ev;
  for (int iter = 0; iter < 400; ++iter) {
    Event e = cdchost::RandomEvent(rng, opt);
    std::string stream = cdchost::EncodeFieldStream(e);
    ChainOrder order = static_cast<ChainOrder>(iter % 3);
    std::vector<size_t> cuts = cdchost::RandomCuts(rng, stream.size(), 10);
    Block b = cdchost::MakeBlockWithCuts(static_cast<uint8_t>(e.type), stream, cuts, order, rng());
    GetEventFromBlock(&pe, b.first(), &ev);
    std::string why;
    ASSERT_TRUE(cdchost::SameEvent(e, ev, &why)) << "order " << iter % 3 << ": " << why;
    ASSERT_EQ(stream.size() + 1, ev.ev_len_);
    ASSERT_EQ(ExpectedPieces(e, cuts), DecodedPieces(ev));
  }
}

TEST(BlockFraming, BackwardLinkDecodesLikeForward) {
  Event e = Insert2x1();
  Block b = cdchost::EncodeEvent(e, 5, ChainOrder::kBackward);
  int64_t delta;
  uint32_t len;
  memcpy(&len, b.first() + bf::kChunkLenOffset, 4);
  memcpy(&delta, b.first() + len - bf::kLinkSize, 8);
  ASSERT_LT(delta, 0);
  ParseEvent pe;
  SqlEvent ev;
  GetEventFromBlock(&pe, b.first(), &ev);
  std::string why;
  EXPECT_TRUE(cdchost::SameEvent(e, ev, &why)) << why;
}

TEST(BlockFraming, GtidSetOnlyEntryPoint) {
  Event ins = Insert2x1();
  Block b = cdchost::EncodeEvent(ins);
  ParseEvent pe;
  SqlEvent ev;
  ev.type_ = EventType::T_DROP_DB;
  ev.ev_len_ = 1234;
  EXPECT_TRUE(GetGtidSetEventFromBlock(&pe, b.first(), &ev));
  EXPECT_EQ(EventType::T_DROP_DB, ev.type_);
  EXPECT_EQ(1234u, ev.ev_len_);

  Event g;
  g.type = EventType::T_GTIDSET;
  g.gtid = "set";
  g.col_names = {"c"};
  g.col_states = {1};
  Block gb = cdchost::EncodeEvent(g, 7);
  EXPECT_FALSE(GetGtidSetEventFromBlock(&pe, gb.first(), &ev));
  std::string why;
  EXPECT_TRUE(cdchost::SameEvent(g, ev, &why)) << why;
}

TEST(DecoderReuse, NoAllocationOnceListsHaveGrown) {
  // Events of one shape (columns, rows, pieces per string) with changing values: after the first
  // decoded events, decoding allocates nothing.
  std::mt19937_64 rng(5);
  auto make = [&](EventType type, bool longest) {
    Event e;
    e.type = type;
    e.db = "shop";
    e.tb = "orders";
    e.gtid = "uuid:" + std::to_string(100 + rng() % 900);
    for (int c = 0; c < 12; ++c) {
      e.col_names.push_back("col" + std::to_string(c));
      e.col_states.push_back(static_cast<uint32_t>(rng()));
    }
    for (int r = 0; r < 3; ++r) {
      std::vector<std::string> row, old;
      for (int c = 0; c < 12; ++c) {
        row.push_back(std::string(longest ? 30 : 1 + rng() % 30, 'v'));
        old.push_back(std::string(longest ? 30 : 1 + rng() % 30, 'o'));
      }
      e.rows.push_back(row);
      if (type == EventType::T_UPDATE) e.olds.push_back(old);
    }
    return e;
  };
  std::vector<Block> warm, steady;
  // Warm-up: the longest values fed byte by byte need the most pieces any later event can need.
  for (int i = 0; i < 2; ++i) warm.push_back(cdchost::EncodeEvent(make(EventType::T_UPDATE, true), 1));
  for (int i = 0; i < 200; ++i) {
    EventType t = i % 2 ? EventType::T_UPDATE : EventType::T_INSERT;
    steady.push_back(cdchost::EncodeEvent(make(t, false), 1 + rng() % 200, static_cast<ChainOrder>(i % 3)));
  }
  ParseEvent pe;
  SqlEvent ev;
  for (Block& b : warm) GetEventFromBlock(&pe, b.first(), &ev);
  size_t before = alloc_counter::Count();
  for (Block& b : steady) GetEventFromBlock(&pe, b.first(), &ev);
  EXPECT_EQ(before, alloc_counter::Count());
}

#ifndef NDEBUG
TEST(DecoderDeathTest, BrokenBlocksAreFatalAssertions) {
  ParseEvent pe;
  SqlEvent ev;
  Block b = cdchost::MakeSingleChunkBlock(13, std::string(20, 'a'));
  memset(b.first_mut() + bf::kChunkIdOffset, 0, 2);
  EXPECT_DEATH(GetEventFromBlock(&pe, b.first(), &ev), "id != 0");

  Block short_chunk = cdchost::MakeSingleChunkBlock(13, "");
  EXPECT_DEATH(GetEventFromBlock(&pe, short_chunk.first(), &ev), "len > 7");

  Block chain = cdchost::MakeBlockWithCuts(13, std::string(40, 'a'), {10});
  uint32_t len;
  memcpy(&len, chain.first() + bf::kChunkLenOffset, 4);
  memset(chain.first_mut() + len - bf::kLinkSize, 0, 8);
  EXPECT_DEATH(GetEventFromBlock(&pe, chain.first(), &ev), "p_delta != 0");

  Event e = Insert2x1();
  e.col_names.clear();
  e.col_states.clear();
  e.rows.clear();
  Block no_cols = cdchost::EncodeEvent(e);
  EXPECT_DEATH(GetEventFromBlock(&pe, no_cols.first(), &ev), "str_len_ != 0");
}
#else
TEST(DecoderRelease, BrokenBlocksDoNotCrashWithoutAssertions) {
  ParseEvent pe;
  SqlEvent ev;
  // A first chunk of 7 bytes: the type is read, no payload.
  Block short_chunk = cdchost::MakeSingleChunkBlock(13, "");
  GetEventFromBlock(&pe, short_chunk.first(), &ev);
  EXPECT_EQ(EventType::T_INSERT, ev.type_);
  EXPECT_EQ(0u, ev.ev_len_);
  EXPECT_EQ(0u, ev.db_name_.used_num_);
  // A linked first chunk too short for its link: decoding stops there, before reading any payload.
  Block chain = cdchost::MakeBlockWithCuts(13, std::string(40, 'a'), {10});
  uint32_t tiny = 9;
  memcpy(chain.first_mut() + bf::kChunkLenOffset, &tiny, 4);
  GetEventFromBlock(&pe, chain.first(), &ev);
  EXPECT_EQ(0u, ev.ev_len_);
  EXPECT_EQ(0u, ev.db_name_.used_num_);
  // A row event that announces no columns: nothing is stored out of bounds and the trailer still
  // lands in its fields.
  Event e = Insert2x1();
  e.col_names.clear();
  e.col_states.clear();
  e.rows.clear();
  Block no_cols = cdchost::EncodeEvent(e);
  GetEventFromBlock(&pe, no_cols.first(), &ev);
  EXPECT_EQ(0u, ev.col_names_.used_num_);
  EXPECT_EQ(0u, ev.datas_.used_num_);
  EXPECT_EQ("x9", cdchost::ToString(ev.xid_));
  EXPECT_EQ(11u, ev.original_commit_ts_);
  EXPECT_EQ(80032u, ev.immediate_server_version_);
  EXPECT_EQ(cdchost::EncodeFieldStream(e).size() + 1, ev.ev_len_);
}
#endif
