// Golden event blocks: bytes written by hand from docs/event-block-format.md, each with the event it
// must decode to. They pin the format independently of our own encoder, so a misreading that the
// decoder and the encoder share fails here; the encoder is then checked against the same bytes.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "block_encoder.h"
#include "block_format.h"
#include "block_util.h"

using namespace ostrel;

namespace {

// Bytes from hex text; white space between byte pairs is ignored.
std::vector<char> FromHex(const char* hex) {
  std::vector<char> out;
  auto nibble = [](char c) { return isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (const char* p = hex; *p != 0;) {
    if (isspace(static_cast<unsigned char>(*p))) {
      ++p;
      continue;
    }
    out.push_back(static_cast<char>(nibble(p[0]) << 4 | nibble(p[1])));
    p += 2;
  }
  return out;
}

std::string Str(const BufStr& s) { return cdchost::ToString(s); }

// Block A: CREATE_TABLE in one chunk.
const char kDdlBlock[] =
    "01 00 37 00 00 00 03"
    "01 00 00 00 64  00 00 00 00  01 00 00 00 67  01 00 00 00 73  01 00 00 00 78"
    "01 00 00 00 00 00 00 00  02 00 00 00 00 00 00 00  03 00 00 00  04 00 00 00";

// Block B: an insert of two rows in one chunk.
const char kInsertBlock[] =
    "01 00 6c 00 00 00 0d"
    "01 00 00 00 73  01 00 00 00 74  03 00 00 00 67 3a 31  00 00 00 00"
    "02 00 00 00  02 00 00 00 69 64  03 00 00 00 64 6f 63  03 00 00 00  f5 00 00 00"
    "02 00 00 00  01 00 00 00 31  02 00 00 00 7b 7d  01 00 00 00 32  02 00 00 00 5b 5d"
    "01 00 00 00 39  10 00 00 00 00 00 00 00  11 00 00 00 00 00 00 00  9f 38 01 00  a0 38 01 00";

// Block C: an update of one row with its old image.
const char kUpdateBlock[] =
    "01 00 50 00 00 00 0e"
    "01 00 00 00 73  01 00 00 00 74  00 00 00 00  00 00 00 00"
    "01 00 00 00  01 00 00 00 76  0c 00 00 40  01 00 00 00  01 00 00 00 61  01 00 00 00 62"
    "00 00 00 00  01 00 00 00 00 00 00 00  02 00 00 00 00 00 00 00  03 00 00 00  04 00 00 00";

// Block D: a GTID set that ends after its SQL text; id 0x7fff (bit 15 clear).
const char kGtidBlock[] =
    "ff 7f 1c 00 00 00 10"
    "00 00 00 00  00 00 00 00  05 00 00 00 75 3a 31 2d 35  00 00 00 00";

// Block E: block B's stream in three chunks, in memory middle (0), last (54), first (101).
const char kChainBlock[] =
    // middle: id 0x8001, len 54, 40 payload bytes, p_delta +54
    "01 80 36 00 00 00"
    "00 02 00 00 00 02 00 00 00 69 64 03 00 00 00 64 6f 63 03 00 00 00 f5 00 00 00 02 00 00 00"
    "01 00 00 00 31 02 00 00 00 7b"
    "36 00 00 00 00 00 00 00"
    // last: id 1, len 47, 41 payload bytes
    "01 00 2f 00 00 00"
    "7d 01 00 00 00 32 02 00 00 00 5b 5d 01 00 00 00 39 10 00 00 00 00 00 00 00"
    "11 00 00 00 00 00 00 00 9f 38 01 00 a0 38 01 00"
    // first: id 0x8001, len 35, type 13, 20 payload bytes, p_delta -101
    "01 80 23 00 00 00 0d"
    "01 00 00 00 73 01 00 00 00 74 03 00 00 00 67 3a 31 00 00 00"
    "9b ff ff ff ff ff ff ff";
const size_t kChainFirstChunk = 101;

struct Decoded {
  ParseEvent pe;
  SqlEvent ev;
};

void Decode(const std::vector<char>& bytes, size_t first, Decoded* d) {
  GetEventFromBlock(&d->pe, bytes.data() + first, &d->ev);
}

void ExpectInsertB(const SqlEvent& ev) {
  EXPECT_EQ(EventType::T_INSERT, ev.type_);
  EXPECT_EQ("s", Str(ev.db_name_));
  EXPECT_EQ("t", Str(ev.tb_name_));
  EXPECT_EQ("g:1", Str(ev.gtid_));
  EXPECT_EQ("", Str(ev.sql_));
  ASSERT_EQ(2u, ev.col_names_.used_num_);
  EXPECT_EQ("id", Str(*ev.col_names_.elems_[0]));
  EXPECT_EQ("doc", Str(*ev.col_names_.elems_[1]));
  ASSERT_EQ(2u, ev.col_states_.used_num_);
  EXPECT_EQ(3u, ev.col_states_.elems_[0]);
  EXPECT_EQ(block_format::kTypeJson, ev.col_states_.elems_[1]);
  ASSERT_EQ(2u, ev.datas_.used_num_);
  EXPECT_EQ("1", Str(*ev.datas_.elems_[0]->elems_[0]));
  EXPECT_EQ("{}", Str(*ev.datas_.elems_[0]->elems_[1]));
  EXPECT_EQ("2", Str(*ev.datas_.elems_[1]->elems_[0]));
  EXPECT_EQ("[]", Str(*ev.datas_.elems_[1]->elems_[1]));
  EXPECT_EQ(0u, ev.olds_.used_num_);
  EXPECT_EQ("9", Str(ev.xid_));
  EXPECT_EQ(16u, ev.original_commit_ts_);
  EXPECT_EQ(17u, ev.immediate_commit_ts_);
  EXPECT_EQ(80031u, ev.original_server_version_);
  EXPECT_EQ(80032u, ev.immediate_server_version_);
  EXPECT_EQ(102u, ev.ev_len_);
}

}  // namespace

TEST(GoldenBlock, DdlEventInOneChunk) {
  const std::vector<char> b = FromHex(kDdlBlock);
  ASSERT_EQ(55u, b.size());
  Decoded d;
  Decode(b, 0, &d);
  EXPECT_EQ(EventType::T_CREATE_TABLE, d.ev.type_);
  EXPECT_EQ("d", Str(d.ev.db_name_));
  EXPECT_EQ("", Str(d.ev.tb_name_));
  EXPECT_EQ("g", Str(d.ev.gtid_));
  EXPECT_EQ("s", Str(d.ev.sql_));
  EXPECT_EQ("x", Str(d.ev.xid_));
  EXPECT_EQ(1u, d.ev.original_commit_ts_);
  EXPECT_EQ(2u, d.ev.immediate_commit_ts_);
  EXPECT_EQ(3u, d.ev.original_server_version_);
  EXPECT_EQ(4u, d.ev.immediate_server_version_);
  EXPECT_EQ(0u, d.ev.col_names_.used_num_);
  EXPECT_EQ(49u, d.ev.ev_len_);
  EXPECT_EQ(9, d.pe.sql_pos_);
}

TEST(GoldenBlock, InsertOfTwoRowsInOneChunk) {
  const std::vector<char> b = FromHex(kInsertBlock);
  ASSERT_EQ(108u, b.size());
  Decoded d;
  Decode(b, 0, &d);
  ExpectInsertB(d.ev);
  EXPECT_EQ(block_format::LastNameIndex(2), d.pe.row_step1_);
  EXPECT_EQ(8u, d.pe.row_step2_);
  EXPECT_EQ(13u, d.pe.row_step3_);
  EXPECT_EQ(19, d.pe.sql_pos_);
}

TEST(GoldenBlock, UpdatePutsTheOldImageInOlds) {
  const std::vector<char> b = FromHex(kUpdateBlock);
  ASSERT_EQ(80u, b.size());
  Decoded d;
  Decode(b, 0, &d);
  EXPECT_EQ(EventType::T_UPDATE, d.ev.type_);
  ASSERT_EQ(1u, d.ev.col_names_.used_num_);
  EXPECT_EQ("v", Str(*d.ev.col_names_.elems_[0]));
  EXPECT_EQ(0x4000000Cu, d.ev.col_states_.elems_[0]);
  EXPECT_TRUE(d.ev.col_states_.IsCurrentTimestampColumn(0));
  ASSERT_EQ(1u, d.ev.olds_.used_num_);
  ASSERT_EQ(1u, d.ev.datas_.used_num_);
  EXPECT_EQ("a", Str(*d.ev.olds_.elems_[0]->elems_[0]));
  EXPECT_EQ("b", Str(*d.ev.datas_.elems_[0]->elems_[0]));
  EXPECT_EQ("", Str(d.ev.xid_));
  EXPECT_EQ(1u, d.ev.original_commit_ts_);
  EXPECT_EQ(2u, d.ev.immediate_commit_ts_);
  EXPECT_EQ(3u, d.ev.original_server_version_);
  EXPECT_EQ(4u, d.ev.immediate_server_version_);
  EXPECT_EQ(9u, d.pe.row_step3_);
  EXPECT_EQ(74u, d.ev.ev_len_);
}

TEST(GoldenBlock, GtidSetEndingAfterItsSqlText) {
  const std::vector<char> b = FromHex(kGtidBlock);
  ASSERT_EQ(28u, b.size());
  Decoded d;
  Decode(b, 0, &d);
  EXPECT_EQ(EventType::T_GTIDSET, d.ev.type_);
  EXPECT_EQ("u:1-5", Str(d.ev.gtid_));
  EXPECT_EQ(0u, d.ev.col_names_.used_num_);
  EXPECT_EQ(0u, d.ev.datas_.used_num_);
  EXPECT_EQ(22u, d.ev.ev_len_);
  SqlEvent again;
  EXPECT_FALSE(GetGtidSetEventFromBlock(&d.pe, b.data(), &again));
  EXPECT_EQ("u:1-5", Str(again.gtid_));
}

TEST(GoldenBlock, ChainOfThreeChunksOutOfOrder) {
  const std::vector<char> b = FromHex(kChainBlock);
  ASSERT_EQ(136u, b.size());
  Decoded d;
  Decode(b, kChainFirstChunk, &d);
  ExpectInsertB(d.ev);
  // The middle/last boundary cuts row 0's "doc" value into "{" and "}"; the other values are whole.
  const BufStr& doc = *d.ev.datas_.elems_[0]->elems_[1];
  ASSERT_EQ(2u, doc.used_num_);
  EXPECT_EQ(std::string("{"), std::string(doc.elems_[0]->str_, doc.elems_[0]->len_));
  EXPECT_EQ(std::string("}"), std::string(doc.elems_[1]->str_, doc.elems_[1]->len_));
  EXPECT_EQ(1u, d.ev.sql_.used_num_);  // a cut length prefix is carried, not a piece
  // Every stored view points into the block: nothing was copied.
  EXPECT_GE(doc.elems_[0]->str_, b.data());
  EXPECT_LT(doc.elems_[1]->str_, b.data() + b.size());
}

// Our encoder writes the same bytes as the hand-written blocks.
TEST(GoldenBlock, EncoderWritesTheGoldenBytes) {
  cdchost::Event ddl;
  ddl.type = EventType::T_CREATE_TABLE;
  ddl.db = "d";
  ddl.gtid = "g";
  ddl.sql = "s";
  ddl.xid = "x";
  ddl.original_commit_ts = 1;
  ddl.immediate_commit_ts = 2;
  ddl.original_server_version = 3;
  ddl.immediate_server_version = 4;

  cdchost::Event ins;
  ins.type = EventType::T_INSERT;
  ins.db = "s";
  ins.tb = "t";
  ins.gtid = "g:1";
  ins.col_names = {"id", "doc"};
  ins.col_states = {3, 245};
  ins.rows = {{"1", "{}"}, {"2", "[]"}};
  ins.xid = "9";
  ins.original_commit_ts = 16;
  ins.immediate_commit_ts = 17;
  ins.original_server_version = 80031;
  ins.immediate_server_version = 80032;

  cdchost::Event upd;
  upd.type = EventType::T_UPDATE;
  upd.db = "s";
  upd.tb = "t";
  upd.col_names = {"v"};
  upd.col_states = {0x4000000C};
  upd.olds = {{"a"}};
  upd.rows = {{"b"}};
  upd.original_commit_ts = 1;
  upd.immediate_commit_ts = 2;
  upd.original_server_version = 3;
  upd.immediate_server_version = 4;

  cdchost::Event gtid;
  gtid.type = EventType::T_GTIDSET;
  gtid.gtid = "u:1-5";

  struct Case {
    const char* name;
    const cdchost::Event* e;
    const char* golden;
    uint16_t id;
  } cases[] = {
      {"ddl", &ddl, kDdlBlock, 1}, {"insert", &ins, kInsertBlock, 1}, {"update", &upd, kUpdateBlock, 1},
      {"gtid", &gtid, kGtidBlock, 0x7fff},
  };
  for (const Case& c : cases) {
    const std::vector<char> want = FromHex(c.golden);
    cdchost::Block got = cdchost::MakeSingleChunkBlock(static_cast<uint8_t>(c.e->type), cdchost::EncodeFieldStream(*c.e), c.id);
    ASSERT_EQ(want.size(), got.size()) << c.name;
    EXPECT_EQ(0, memcmp(want.data(), got.first(), want.size())) << c.name;
  }
}
