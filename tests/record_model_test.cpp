// Record model: views, piece strings, reusable lists, state words and event kinds.
#include <gtest/gtest.h>

#include <string>

#include "alloc_counter.h"
#include "block_util.h"
#include "json_event_type.h"

using namespace ostrel;

namespace {
StrWithLen View(const char* s) {
  StrWithLen v;
  v.str_ = s;
  v.len_ = static_cast<uint32_t>(strlen(s));
  return v;
}

std::string Value(BufStr& s) {
  DynamicStr out;
  s.GetStr(&out);
  return out.toString();
}
}  // namespace

TEST(StrWithLen, FindStr) {
  struct Case {
    const char* view;
    const char* pattern;
    uint32_t want;
  } cases[] = {
      {"abc", "", StrWithLen::str_npos},  {"abc", "abc", 0},   {"abc", "abcd", StrWithLen::str_npos},
      {"xabc", "abc", 1},                 {"abcbc", "bc", 1},  {"abcab", "abx", StrWithLen::str_npos},
      {"aaab", "ab", 2},                  {"ab", "b", 1},
  };
  for (const Case& c : cases) {
    StrWithLen v = View(c.view);
    EXPECT_EQ(c.want, v.FindStr(c.pattern)) << c.view << " / " << c.pattern;
  }
}

TEST(StrWithLen, MatchNeedsEqualLength) {
  StrWithLen v = View("abc");
  EXPECT_TRUE(v.Match("abc", 3));
  EXPECT_FALSE(v.Match("ab", 2));
  EXPECT_TRUE(v.Match(std::string("abc")));
  StrWithLen empty;
  EXPECT_TRUE(empty.Match("", 0));
  std::string s = "hello";
  StrWithLen w;
  w.InitStr(s);
  EXPECT_EQ(s.c_str(), w.str_);
  EXPECT_EQ(5u, w.len_);
}

TEST(BufStr, PiecesConcatenateBehindExistingContent) {
  BufStr s;
  StrWithLen a = View("ab"), e = View(""), c = View("cd");
  s.Append(a);
  s.Append(e);
  s.Append(c);
  DynamicStr out;
  out.setStr("x");
  s.GetStr(&out);
  EXPECT_EQ("xabcd", out.toString());
  EXPECT_FALSE(s.Empty());
}

TEST(BufStr, ResetThenAppendReusesThePieceObject) {
  BufStr s;
  StrWithLen a = View("a"), b = View("b");
  s.Append(a);
  StrWithLen* first = s.elems_[0];
  s.Reset();
  size_t before = alloc_counter::Count();
  s.Append(b);
  EXPECT_EQ(before, alloc_counter::Count());
  EXPECT_EQ(first, s.elems_[0]);
  EXPECT_EQ(1u, s.used_num_);
  EXPECT_EQ("b", Value(s));
}

TEST(BufStr, SetCopiesTheOtherStringsPieces) {
  BufStr src, dst;
  StrWithLen a = View("ab"), c = View("c"), z = View("zzz");
  src.Append(a);
  src.Append(c);
  dst.Append(z);
  dst.Set(src);
  EXPECT_EQ("abc", Value(dst));
  EXPECT_EQ(2u, dst.used_num_);
  EXPECT_EQ("abc", Value(src));
  dst.Set(dst);
  EXPECT_EQ("abc", Value(dst));
  BufStr empty;
  dst.Set(empty);
  EXPECT_TRUE(dst.Empty());
}

TEST(NameStrList, ReserveKeepsElementsForReuse) {
  NameStrList l;
  l.Reserve(5);
  for (size_t i = 0; i < 5; ++i) {
    StrWithLen v = View(i % 2 ? "odd" : "even");
    l.GetElemByPos(i)->Append(v);
  }
  l.Reserve(3);
  EXPECT_EQ(3u, l.used_num_);
  EXPECT_EQ(5u, l.elems_.size());
  size_t before = alloc_counter::Count();
  l.Reserve(5);
  EXPECT_EQ(before, alloc_counter::Count());
  EXPECT_EQ("even", Value(*l.GetElemByPos(4)));
  EXPECT_EQ("odd", Value(*l.GetElemByPos(3)));
}

TEST(NameStrList, UpdateElemByPosReplacesTheElement) {
  NameStrList l;
  l.Reserve(2);
  StrWithLen ab = View("ab"), c = View("c"), x = View("xyz");
  l.GetElemByPos(1)->Append(ab);
  l.GetElemByPos(1)->Append(c);
  l.UpdateElemByPos(1, x);
  EXPECT_EQ("xyz", Value(*l.GetElemByPos(1)));
  EXPECT_EQ(1u, l.GetElemByPos(1)->used_num_);
}

TEST(NameStrList, AppendSetsAnAllocatedElement) {
  NameStrList l;
  l.Reserve(2);
  l.Reserve(0);
  BufStr v;
  StrWithLen p = View("val");
  v.Append(p);
  l.Append(1, v);  // allocated though not in use
  l.Reserve(2);
  EXPECT_EQ("val", Value(*l.GetElemByPos(1)));
}

TEST(NameStrList, ResetClearsEveryAllocatedElement) {
  NameStrList l;
  l.Reserve(3);
  StrWithLen v = View("v");
  for (size_t i = 0; i < 3; ++i) l.GetElemByPos(i)->Append(v);
  l.Reserve(1);
  l.Reset();
  EXPECT_EQ(0u, l.used_num_);
  for (BufStr* e : l.elems_) EXPECT_EQ(0u, e->used_num_);
  EXPECT_FALSE(l.is_skip_);
}

TEST(ConstIntList, ReserveBringsBackOldWords) {
  ConstIntList l;
  l.Reserve(2);
  EXPECT_EQ(0u, l.GetElemByPos(0));
  EXPECT_EQ(0u, l.GetElemByPos(1));
  l.Append(1, 77);
  l.Reserve(1);
  l.Reserve(2);
  EXPECT_EQ(77u, l.GetElemByPos(1));
  l.Reset();
  EXPECT_EQ(0u, l.used_num_);
}

TEST(ConstIntList, ColumnStateTests) {
  struct Case {
    uint32_t word;
    bool generated, is_float, json, current_ts;
  } cases[] = {
      {0x40000000u | 12, false, false, false, true},  {0x40000000u | 3, false, false, false, false},
      {12, false, false, false, false},               {0x80000000u | 4, true, true, false, false},
      {5, false, false, false, false},                {245, false, false, true, false},
      {0xC0000000u | 7, true, false, false, true},    {0x40000000u | 17, false, false, false, true},
      {0x40000000u | 18, false, false, false, true},  {0x80000000u | 0x40000000u | 245, true, false, true, false},
      {0x00010004u, false, true, false, false},
  };
  ConstIntList l;
  l.Reserve(1);
  for (const Case& c : cases) {
    l.Append(0, c.word);
    EXPECT_EQ(c.generated, l.IsGenerateColumn(0)) << std::hex << c.word;
    EXPECT_EQ(c.is_float, l.IsFloatType(0)) << std::hex << c.word;
    EXPECT_EQ(c.json, l.IsJsonType(0)) << std::hex << c.word;
    EXPECT_EQ(c.current_ts, l.IsCurrentTimestampColumn(0)) << std::hex << c.word;
  }
}

TEST(RowStrList, ReserveGrowsRowsAndColumns) {
  RowStrList rows;
  rows.Reserve(2, 3);
  EXPECT_EQ(2u, rows.used_num_);
  EXPECT_EQ(3u, rows.GetElemByPos(1)->used_num_);
  rows.Reserve(1, 5);
  EXPECT_EQ(1u, rows.used_num_);
  EXPECT_EQ(5u, rows.GetElemByPos(0)->used_num_);
  EXPECT_EQ(2u, rows.elems_.size());
  rows.Reserve(4, 2);
  EXPECT_EQ(4u, rows.used_num_);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(2u, rows.GetElemByPos(i)->used_num_);
  rows.Reset();
  EXPECT_EQ(0u, rows.used_num_);
  for (NameStrList* r : rows.elems_) EXPECT_EQ(0u, r->used_num_);
}

TEST(SqlEvent, ResetKeepsTypeAndEmptiesTheRest) {
  SqlEvent ev;
  ev.type_ = EventType::T_UPDATE;
  StrWithLen v = View("v");
  ev.db_name_.Append(v);
  ev.xid_.Append(v);
  ev.col_names_.Reserve(2);
  ev.col_states_.Reserve(2);
  ev.datas_.Reserve(1, 2);
  ev.olds_.Reserve(1, 2);
  ev.datas_.GetElemByPos(0)->GetElemByPos(1)->Append(v);
  ev.original_commit_ts_ = 1;
  ev.immediate_commit_ts_ = 2;
  ev.original_server_version_ = 3;
  ev.immediate_server_version_ = 4;
  ev.ev_len_ = 5;
  ev.Reset();
  EXPECT_EQ(EventType::T_UPDATE, ev.type_);
  EXPECT_EQ(0u, ev.db_name_.used_num_);
  EXPECT_EQ(0u, ev.xid_.used_num_);
  EXPECT_EQ(0u, ev.col_names_.used_num_);
  EXPECT_EQ(0u, ev.col_states_.used_num_);
  EXPECT_EQ(0u, ev.datas_.used_num_);
  EXPECT_EQ(0u, ev.olds_.used_num_);
  EXPECT_EQ(0u, ev.datas_.elems_[0]->elems_[1]->used_num_);
  EXPECT_EQ(0u, ev.original_commit_ts_ + ev.immediate_commit_ts_ + ev.original_server_version_ +
                    ev.immediate_server_version_ + ev.ev_len_);
}

TEST(EventType, NamesAndDdlClassification) {
  struct Case {
    int32_t value;
    const char* name;
    bool ddl;
  } cases[] = {
      {0, "UNKNOWN", true},        {1, "CREATE_DB", true},     {2, "DROP_DB", true},
      {3, "CREATE_TABLE", true},   {4, "DROP_TABLE", true},    {5, "CREATE_INDEX", true},
      {6, "ALTER_TABLE", true},    {7, "DROP_INDEX", true},    {8, "RENAME_TABLE", true},
      {9, "TRUNCATE_TABLE", true}, {10, "UNKNOWN", true},      {11, "UNKNOWN", true},
      {12, "UNKNOWN", true},       {13, "INSERT", false},      {14, "UPDATE", false},
      {15, "DELETE", false},       {16, "GTIDSET", false},     {17, "UNKNOWN", true},
      {-1, "UNKNOWN", true},       {255, "UNKNOWN", true},     {INT32_MIN, "UNKNOWN", true},
  };
  for (const Case& c : cases) {
    EventType t = static_cast<EventType>(c.value);
    EXPECT_STREQ(c.name, getEventTypeStr(t)) << c.value;
    EXPECT_EQ(c.ddl, IsDdlType(t)) << c.value;
  }
}

#ifndef NDEBUG
TEST(RecordModelDeathTest, PositionsBeyondTheCountAreFatal) {
  NameStrList l;
  l.Reserve(1);
  EXPECT_DEATH(l.GetElemByPos(1), "pos < used_num_");
  ConstIntList c;
  EXPECT_DEATH(c.Append(0, 1), "pos < used_num_");
  EXPECT_DEATH(l.Append(3, *l.GetElemByPos(0)), "pos < elems_.size()");
}
#endif
