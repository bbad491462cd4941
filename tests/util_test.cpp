// Free helpers: splitting, trimming, hashes, time, paths, JSON maps, envelopes and table patterns.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <regex>
#include <string>
#include <vector>

#include "common/util.h"

using namespace ostrel;

TEST(Tokenize, Table) {
  struct Case {
    std::string text;
    const char* delim;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a,b,,c", ",", {"a", "b", "c"}},
      {",a,", ",", {"a"}},
      {"", ",", {}},
      {"abc", "", {"abc"}},
      {"a::b::c", "::", {"a", "b", "c"}},
      {"::a", "::", {"", "a"}},
      {"a::", "::", {"a"}},
      {"a::::b", "::", {"a", "", "b"}},
      {"::", "::", {""}},
      {"abc", "::", {"abc"}},
      {"", "::", {}},
      {"aaa", "aa", {"", "a"}},
      {"xabab", "abab", {"x"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.pieces, Tokenize(c.text, c.delim)) << "'" << c.text << "' at '" << c.delim << "'";
  }
}

TEST(SplitKmp, AppendsToExistingPieces) {
  std::vector<std::string> out = {"keep"};
  Split_KMP("--", "a--b", out);
  EXPECT_EQ((std::vector<std::string>{"keep", "a", "b"}), out);
}

TEST(SplitKmp, OverlappingCandidatesAreTakenLeftToRight) {
  std::vector<std::string> out;
  Split_KMP("aba", "ababa_aba", out);  // "ababa": first match at 0, the overlapping one at 2 is skipped
  EXPECT_EQ((std::vector<std::string>{"", "ba_"}), out);
  out.clear();
  Split_KMP("aab", "aaab", out);  // a partial match that falls back through the prefix table
  EXPECT_EQ((std::vector<std::string>{"a"}), out);
}

TEST(SplitKmp, EmptySeparatorGivesTheTextWhole) {
  std::vector<std::string> out;
  Split_KMP("", "abc", out);
  EXPECT_EQ((std::vector<std::string>{"abc"}), out);
  out.clear();
  Split_KMP("", "", out);
  EXPECT_TRUE(out.empty());
  std::vector<int> lps;
  lps_func("", lps);
  EXPECT_TRUE(lps.empty());
}

TEST(LpsFunc, PrefixTable) {
  std::string p = "aabaaab";
  std::vector<int> lps(p.size());
  lps_func(p, lps);
  EXPECT_EQ((std::vector<int>{0, 1, 0, 1, 2, 2, 3}), lps);
}

TEST(Trim, Cases) {
  EXPECT_EQ("ab", Trim("  ab ", " "));
  EXPECT_EQ("", Trim("xxyx", "xy"));
  EXPECT_EQ("", Trim("", " "));
  EXPECT_EQ(" a ", Trim(" a ", ""));
  EXPECT_EQ("a b", Trim("\t a b\n", " \t\n"));
}

TEST(MurmurHash, KnownValuesAndTails) {
  EXPECT_EQ(0xCADC5D00u, doMurmurHashCode("abc", 3));
  EXPECT_EQ(0x98C61B77u, doMurmurHashCode("", 0));
  // Tails of 1 to 3 bytes after a whole block, computed by the reference algorithm.
  auto reference = [](const std::string& s) {
    const unsigned int m = 0x5BD1E995;
    unsigned int h = 0xAD5 ^ static_cast<unsigned int>(s.size());
    size_t i = 0;
    for (; i + 4 <= s.size(); i += 4) {
      unsigned int k = static_cast<unsigned char>(s[i]) | static_cast<unsigned char>(s[i + 1]) << 8 |
                       static_cast<unsigned char>(s[i + 2]) << 16 |
                       static_cast<unsigned int>(static_cast<unsigned char>(s[i + 3])) << 24;
      k *= m;
      k ^= k >> 24;
      k *= m;
      h *= m;
      h ^= k;
    }
    size_t rest = s.size() - i;
    if (rest >= 3) h ^= static_cast<unsigned int>(static_cast<unsigned char>(s[i + 2])) << 16;
    if (rest >= 2) h ^= static_cast<unsigned int>(static_cast<unsigned char>(s[i + 1])) << 8;
    if (rest >= 1) {
      h ^= static_cast<unsigned char>(s[i]);
      h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
  };
  for (const std::string& s : {std::string("abcd"), std::string("abcde"), std::string("abcdef"),
                               std::string("abcdefg"), std::string("\xff\x80\x01", 3), std::string("a")}) {
    EXPECT_EQ(reference(s), doMurmurHashCode(s.data(), static_cast<unsigned short>(s.size()))) << s;
  }
}

TEST(StrHash, IgnoresWhiteSpaceAndOrder) {
  EXPECT_EQ(0xB8565EBEu, calcuateStrHash("abc"));
  EXPECT_EQ(0xB8565EBEu, calcuateStrHash("c b a"));
  EXPECT_EQ(0u, calcuateStrHash(""));
  EXPECT_EQ(0u, calcuateStrHash(" \t\n"));
}

TEST(Time, EpochInUtcAndIncompleteTexts) {
  const char* old_tz = getenv("TZ");
  std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(0, StrTimeToTs("1970-01-01 00:00:00"));
  EXPECT_EQ(86400 + 3661, StrTimeToTs("1970-01-02 01:01:01"));
  EXPECT_EQ(StrTimeToTs("1971-01-01 00:00:00"), StrTimeToTs("1970-13-01 00:00:00"));  // normalised
  EXPECT_EQ(-1, StrTimeToTs("1970-01-01"));
  EXPECT_EQ(-1, StrTimeToTs(""));
  EXPECT_EQ(-1, StrTimeToTs("garbage"));
  if (old_tz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  uint64_t now = GetNowTs();
  EXPECT_NEAR(static_cast<double>(time(nullptr)), static_cast<double>(now), 2.0);
}

TEST(Lower, Bytes) { EXPECT_EQ("abc-xyz\xc3", ConvStrToLower("AbC-XyZ\xc3")); }

TEST(AbsolutePath, ResolvesOrGivesEmpty) {
  char cwd[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  EXPECT_EQ(cwd, ConvertToAbsolutePath("."));
  EXPECT_EQ("", ConvertToAbsolutePath("/no/such/path/here"));
  // A path longer than 2047 characters that exists: nested directories under a temporary root.
  char tmpl[] = "/tmp/abs_path_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  std::string deep = tmpl;
  std::string part(200, 'd');
  while (deep.size() < 2200) {
    deep += "/" + part;
    ASSERT_EQ(0, mkdir(deep.c_str(), 0700)) << deep;
  }
  EXPECT_EQ("", ConvertToAbsolutePath(deep.c_str()));
  std::string cmd = std::string("rm -rf ") + tmpl;
  ASSERT_EQ(0, system(cmd.c_str()));
}

TEST(MapText, RoundTrip) {
  std::map<std::string, std::string> m = {{"b", "2"}, {"a", "1"}, {"k", "v \"q\" \\ \n"}, {"", "empty key"}};
  std::string text;
  EXPECT_FALSE(serializeMapToStr(m, text));
  std::map<std::string, std::string> back;
  char err[1024] = {0};
  ASSERT_FALSE(deserializeDataToMap(text, back, err)) << err;
  EXPECT_EQ(m, back);
}

TEST(MapText, CompactSortedAndEscaped) {
  std::string text;
  serializeMapToStr({}, text);
  EXPECT_EQ("{}", text);
  serializeMapToStr({{"z", "1"}, {"a", std::string("\"\\\n\x01/\x7f\t", 7)}}, text);
  EXPECT_EQ("{\"a\":\"\\\"\\\\\\n\\u0001/\x7f\\t\",\"z\":\"1\"}", text);
  serializeMapToStr({{"k", std::string("a\0b", 3)}}, text);
  EXPECT_EQ("{\"k\":\"a\\u0000b\"}", text);
}

TEST(MapText, MergesIntoExistingEntries) {
  std::map<std::string, std::string> m = {{"keep", "1"}, {"x", "old"}};
  char err[1024] = {0};
  ASSERT_FALSE(deserializeDataToMap(R"({"x":"new","y":"2","y":"3"})", m, err));
  EXPECT_EQ((std::map<std::string, std::string>{{"keep", "1"}, {"x", "new"}, {"y", "3"}}), m);
  ASSERT_FALSE(deserializeDataToMap("{}", m, err));
  EXPECT_EQ(3u, m.size());
}

TEST(MapText, BadTextsFailAndLeaveTheMap) {
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "json parse data failed: 1"},
      {"{", "json parse data failed: 4"},
      {"[\"a\"]", "json data is not an object"},
      {"\"s\"", "json data is not an object"},
      {R"({"a":"1","b":2})", "value of key b is not string"},
      {R"({"a":{"x":"y"}})", "value of key a is not string"},
  };
  for (const Case& c : cases) {
    std::map<std::string, std::string> m = {{"k", "v"}};
    char err[1024] = {0};
    EXPECT_TRUE(deserializeDataToMap(c.text, m, err)) << c.text;
    EXPECT_EQ(c.message, err) << c.text;
    EXPECT_EQ((std::map<std::string, std::string>{{"k", "v"}}), m) << c.text;
  }
}

TEST(Envelope, Messages) {
  struct Case {
    std::string text;
    bool fails;
    std::string message;
    int type;
    std::string data;
  } cases[] = {
      {"", true, "json parse data failed: 1", 0, ""},
      {R"({"type":1})", true, "miss type or data key", 0, ""},
      {R"({"data":"x"})", true, "miss type or data key", 0, ""},
      {R"({"type":1.5,"data":"x"})", true, "type or data is not string", 0, ""},
      {R"({"type":1,"data":5})", true, "type or data is not string", 0, ""},
      {R"({"type":3000000000,"data":"x"})", true, "type or data is not string", 0, ""},
      {R"([1])", true, "json data is not an object", 0, ""},
      {R"({"type":-5,"data":"payload","extra":[1]})", false, "", -5, "payload"},
      {R"({"type":7,"data":"a\u0000b"})", false, "", 7, "a"},
  };
  for (const Case& c : cases) {
    int type = 0;
    std::string data;
    char err[1024] = {0};
    EXPECT_EQ(c.fails, deserializeStrToData(c.text.data(), c.text.size(), type, data, err)) << c.text;
    EXPECT_EQ(c.message, err) << c.text;
    EXPECT_EQ(c.type, type) << c.text;
    EXPECT_EQ(c.data, data) << c.text;
  }
}

TEST(Envelope, UsesTheGivenLengthNotATerminator) {
  const char text[] = R"({"type":2,"data":"d"}garbage)";
  int type = 0;
  std::string data;
  char err[1024] = {0};
  EXPECT_FALSE(deserializeStrToData(text, 21, type, data, err)) << err;
  EXPECT_EQ(2, type);
}

TEST(Patterns, Table) {
  struct Case {
    std::vector<std::string> list;
    const char* schema;
    const char* table;
    bool match;
  } cases[] = {
      {{}, "db", "t", false},
      {{"*"}, "db", "t", true},
      {{"db.*"}, "db", "anything", true},
      {{"db.*"}, "other", "t", false},
      {{"db.t"}, "db", "t", true},
      {{"db.t"}, "db", "t2", false},
      {{"d[.t"}, "d[", "t", true},  // equal to the names: no expression is compiled
      {{"a.b.c"}, "aXb", "c", true},  // cut at the last dot; the schema dot matches any character
      {{"a.b.c"}, "a.b", "c", true},
      {{"db.t_[0-9]+"}, "db", "t_12", true},
      {{"db.t_[0-9]+"}, "db", "t_12x", false},  // whole-name match, not a search
      {{"DB.t"}, "db", "t", false},            // case-sensitive
      {{"x.y", "db.t"}, "db", "t", true},
      {{"db.t", "[bad.y"}, "db", "t", true},  // a later invalid entry is never reached
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.match, StrRegexMatch(c.list, c.schema, c.table, false)) << c.schema << "." << c.table;
    EXPECT_EQ(c.match, StrRegexMatch(c.list, c.schema, c.table, true));
  }
}

TEST(Patterns, InvalidExpressionThatIsReachedThrows) {
  EXPECT_THROW(StrRegexMatch({"[bad.t"}, "db", "t", false), std::regex_error);
}
