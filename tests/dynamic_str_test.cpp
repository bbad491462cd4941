// Error base and growable string: message limits, growth rule, in-place formatting, searches.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "cdc_error.h"
#include "common/dynamic_str.h"

using ostrel::DynamicStr;
using ostrel::ErrorBase;

TEST(ErrorBase, NewObjectReportsEmptyMessage) {
  ErrorBase e;
  EXPECT_STREQ("", e.getErr());
}

TEST(ErrorBase, LongMessageIsCutAt4094Characters) {
  ErrorBase e;
  std::string big(5000, 'x');
  EXPECT_EQ(5000, e.setErr("%s", big.c_str()));
  EXPECT_EQ(std::string(4094, 'x'), e.getErr());
}

TEST(ErrorBase, SetErrReplacesThePreviousMessage) {
  ErrorBase e;
  e.setErr("first %d", 1);
  e.setErr("second");
  EXPECT_STREQ("second", e.getErr());
}

TEST(DynamicStr, NewStringIsEmptyAndFindsNothing) {
  DynamicStr s;
  EXPECT_EQ(nullptr, s.str());
  EXPECT_EQ(0u, s.length());
  EXPECT_EQ("", s.toString());
  EXPECT_TRUE(s.matchWithLen("", 0));
  EXPECT_EQ(DynamicStr::str_npos, s.findStrWithLen("a", 1));
  EXPECT_EQ(DynamicStr::str_npos, s.rfindStrWithLen("a", 1));
  EXPECT_STREQ("", s.getErr());
}

TEST(DynamicStr, InitStrAllocatesTheLargerOfSizeAndText) {
  DynamicStr a;
  ASSERT_FALSE(a.initStr("", 256));
  EXPECT_EQ(256u, a.max_length_);
  EXPECT_STREQ("", a.str());
  DynamicStr b;
  ASSERT_FALSE(b.initStr("abc", 2));
  EXPECT_EQ(4u, b.max_length_);
  EXPECT_STREQ("abc", b.str());
  EXPECT_EQ(3u, b.length());
}

TEST(DynamicStr, InitStrTwiceDoesNotLeakTheFirstBlock) {
  DynamicStr s;
  ASSERT_FALSE(s.initStr("first", 64));
  ASSERT_FALSE(s.initStr("xy", 8));  // LeakSanitizer would report the first block
  EXPECT_EQ("xy", s.toString());
  EXPECT_EQ(8u, s.max_length_);
}

TEST(DynamicStr, AppendGrowsByHalfOrToTheMinimum) {
  struct Case {
    size_t capacity, length, append, want_capacity;
  } cases[] = {
      {256, 0, 255, 256},  // fits with its terminator
      {256, 0, 256, 384},  // max(384, 257)
      {10, 9, 1, 15},      // max(15, 11)
      {4, 0, 100, 101},    // the minimum wins
  };
  for (const Case& c : cases) {
    DynamicStr s;
    ASSERT_FALSE(s.initStr(nullptr, c.capacity));
    std::string pre(c.length, 'p');
    s.length_ = 0;
    ASSERT_FALSE(s.appendMem(pre.data(), pre.size()));
    ASSERT_EQ(c.capacity, s.max_length_);
    std::string more(c.append, 'm');
    ASSERT_FALSE(s.appendMem(more.data(), more.size()));
    EXPECT_EQ(c.want_capacity, s.max_length_) << c.capacity << "/" << c.length << "+" << c.append;
    EXPECT_EQ(pre + more, s.toString());
    EXPECT_EQ('\0', s.str()[s.length()]);
  }
}

TEST(DynamicStr, AppendOfNothingToANewStringMakesAnEmptyTerminatedString) {
  DynamicStr s;
  ASSERT_FALSE(s.appendMem("", 0));
  EXPECT_EQ(1u, s.max_length_);
  EXPECT_STREQ("", s.str());
}

TEST(DynamicStr, AppendKeepsEmbeddedNulBytes) {
  DynamicStr s;
  ASSERT_FALSE(s.appendMem("a\0b", 3));
  ASSERT_FALSE(s.appendByte('c'));
  EXPECT_EQ(std::string("a\0bc", 4), s.toString());
  std::string out = "old";
  s.fillStr(out);
  EXPECT_EQ(std::string("a\0bc", 4), out);
}

TEST(DynamicStr, SetStrNullEmptiesButKeepsTheBlock) {
  DynamicStr s;
  ASSERT_FALSE(s.setStr("hello"));
  EXPECT_EQ(7u, s.max_length_);
  EXPECT_EQ(5u, s.length());
  char* block = s.str();
  ASSERT_FALSE(s.setStr(nullptr));
  EXPECT_EQ(0u, s.length());
  EXPECT_EQ(block, s.str());
  EXPECT_STREQ("hello", s.str());
  EXPECT_EQ("", s.toString());
}

TEST(DynamicStr, SetStrNullOnANewStringStaysWithoutBlock) {
  DynamicStr s;
  ASSERT_FALSE(s.setStr(nullptr));
  EXPECT_EQ(nullptr, s.str());
}

TEST(DynamicStr, TruncDropsTrailingBytes) {
  DynamicStr s;
  ASSERT_FALSE(s.setStr("'abc'"));
  EXPECT_FALSE(s.trunc(1));
  EXPECT_EQ("'abc", s.toString());
  EXPECT_EQ(4u, s.length());
  EXPECT_FALSE(s.trunc(100));  // clamped rather than wrapping the length
  EXPECT_EQ(0u, s.length());
}

TEST(DynamicStr, PrintfFitsOrRetriesOnce) {
  for (size_t text_len : {62u, 63u}) {
    DynamicStr s;
    ASSERT_FALSE(s.initStr(nullptr, 100));
    s.length_ = 0;
    std::string pre(36, 'p');
    ASSERT_FALSE(s.appendMem(pre.data(), pre.size()));
    std::string text(text_len, 't');
    ASSERT_FALSE(s.printf("%s", text.c_str()));
    EXPECT_EQ(pre + text, s.toString());
    EXPECT_EQ(text_len == 62 ? 100u : 163u, s.max_length_) << text_len;
  }
}

TEST(DynamicStr, PrintfOnANewStringAndLongTexts) {
  DynamicStr s;
  ASSERT_FALSE(s.printf("%d-%s", 42, "x"));
  EXPECT_EQ("42-x", s.toString());
  std::string big(10000, 'b');
  ASSERT_FALSE(s.printf("%s", big.c_str()));
  EXPECT_EQ("42-x" + big, s.toString());
  EXPECT_EQ('\0', s.str()[s.length()]);
}

TEST(DynamicStr, ReallocOnlyGrowsAndKeepsContent) {
  DynamicStr s;
  ASSERT_FALSE(s.setStr("abc"));
  size_t cap = s.max_length_;
  EXPECT_FALSE(s.realloc(0));
  EXPECT_FALSE(s.realloc(cap));
  EXPECT_EQ(cap, s.max_length_);
  EXPECT_FALSE(s.realloc(1000));
  EXPECT_EQ(1001u, s.max_length_);
  EXPECT_EQ("abc", s.toString());
}

TEST(DynamicStr, Searches) {
  struct Case {
    const char* content;
    const char* pattern;
    size_t find, rfind;
  } cases[] = {
      {"abcabc", "bc", 1, 4},
      {"abcabc", "abc", 0, 3},
      {"abcabc", "abcabc", 0, 0},
      {"abcabc", "abcabcd", DynamicStr::str_npos, DynamicStr::str_npos},
      {"abcabc", "", DynamicStr::str_npos, DynamicStr::str_npos},
      {"abcabc", "x", DynamicStr::str_npos, DynamicStr::str_npos},
      {"aab", "ab", 1, 1},
  };
  for (const Case& c : cases) {
    DynamicStr s;
    ASSERT_FALSE(s.setStr(c.content));
    EXPECT_EQ(c.find, s.findStrWithLen(c.pattern, strlen(c.pattern))) << c.content << " " << c.pattern;
    EXPECT_EQ(c.rfind, s.rfindStrWithLen(c.pattern, strlen(c.pattern))) << c.content << " " << c.pattern;
  }
}

TEST(DynamicStr, MatchWithLenComparesLengthAndBytes) {
  DynamicStr s;
  ASSERT_FALSE(s.setStr("optype"));
  EXPECT_TRUE(s.matchWithLen("optype", 6));
  ASSERT_FALSE(s.setStr("optypes"));
  EXPECT_FALSE(s.matchWithLen("optype", 6));
}

TEST(DynamicStr, ModelAgainstStdString) {
  // A random sequence of operations keeps the same content as a std::string doing the same.
  std::mt19937 rng(7);
  DynamicStr s;
  std::string model;
  for (int step = 0; step < 20000; ++step) {
    switch (rng() % 6) {
      case 0: {
        std::string piece(rng() % 40, static_cast<char>('a' + rng() % 26));
        ASSERT_FALSE(s.appendMem(piece.data(), piece.size()));
        model += piece;
        break;
      }
      case 1:
        ASSERT_FALSE(s.appendByte('z'));
        model += 'z';
        break;
      case 2:
        ASSERT_FALSE(s.setStr(nullptr));
        model.clear();
        break;
      case 3: {
        size_t n = model.empty() ? 0 : rng() % (model.size() + 1);
        if (s.str() != nullptr) {
          s.trunc(n);
          model.resize(model.size() - n);
        }
        break;
      }
      case 4:
        ASSERT_FALSE(s.printf("%u", static_cast<unsigned>(step)));
        model += std::to_string(step);
        break;
      case 5: {
        std::string text(rng() % 30, 'q');
        ASSERT_FALSE(s.setStr(text.c_str()));
        model = text;
        break;
      }
    }
    ASSERT_EQ(model, s.toString()) << "step " << step;
    ASSERT_LT(s.length(), s.max_length_ + (s.max_length_ == 0 ? 1 : 0));
  }
}
