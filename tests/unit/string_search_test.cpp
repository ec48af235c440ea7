// string!: comparison on every storage width (case folding, lengths,
// match mode), the search kernel against a plain search, a path step's held
// error and the parse matchers. find, select, paths and comparison across
// types as scripts use them are in the script suite.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "casefold.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "string_test_util.h"

using namespace vel;
using namespace vel::strtest;

namespace {

int sign(int32_t r) { return r == CMP_INCOMPARABLE ? r : (r > 0) - (r < 0); }

}  // namespace

TEST(StringCompare, TextRules) {
  struct Case {
    const char* a;
    const char* b;
    int op;
    int expected;
  } cases[] = {
      {"abc", "ABC", CMP_EQUAL, 0},
      {"abc", "ABC", CMP_STRICT_EQUAL, 1},
      {"abc", "abc", CMP_STRICT_EQUAL, 0},
      {"abc", "abcd", CMP_LESSER, -1},
      {"abd", "abcd", CMP_LESSER, 1},  // the third character decides
      {"abc", "abcd", CMP_EQUAL, 1},
      {"", "", CMP_EQUAL, 0},
      {"", "", CMP_LESSER, 0},
      {"", "a", CMP_LESSER, -1},
      {"a", "", CMP_LESSER, 1},
      {"B", "a", CMP_SORT, 1},
      {"B", "a", CMP_CASE_SORT, -1},
      {"\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", CMP_EQUAL, 0},       // été / ÉTÉ
      {"\xCF\x83\xCF\x82", "\xCE\xA3\xCE\xA3", CMP_EQUAL, 0},         // σς / ΣΣ
      {"\xD0\xB4\xD0\xB0", "\xD0\x94\xD0\x90", CMP_EQUAL, 0},         // да / ДА
      {"\xC3\xA9", "\xC3\x89", CMP_STRICT_EQUAL, 1},
      {"\xC3\xBF", "\xC5\xB8", CMP_EQUAL, 0},                         // ÿ / Ÿ: Latin-1 against UCS-2
      {"a\xF0\x9F\x98\x80", "A\xF0\x9F\x98\x80", CMP_EQUAL, 0},
      {"a\xF0\x9F\x98\x80", "a\xF0\x9F\x98\x81", CMP_LESSER, -1},
  };
  for (const Case& c : cases) {
    for (uint32_t ua : {1u, 2u, 4u}) {
      for (uint32_t ub : {1u, 4u}) {
        Values v;
        Cell a = str(v, c.a, ua), b = str(v, c.b, ub);
        EXPECT_EQ(sign(string::compare(&a, &b, c.op)), c.expected) << c.a << " / " << c.b << " op " << c.op;
      }
    }
  }
}

// The text comparison under the kernel: match mode (the shorter text as a
// prefix), a text slice, a symbol. Across types and identity as scripts
// compare them are in the script suite.
TEST(StringCompare, MatchModeSlicesAndSymbols) {
  Values v;
  Cell abc = str(v, "abc"), ab = str(v, "AB"), empty = str(v, "");
  EXPECT_EQ(string::compare_text(abc, ab, CMP_EQUAL, true), 0);
  EXPECT_EQ(string::compare_text(ab, abc, CMP_EQUAL, true), 1);
  EXPECT_EQ(string::compare_text(ab, abc, CMP_STRICT_EQUAL, true), 1);
  EXPECT_EQ(string::compare_text(abc, empty, CMP_EQUAL, true), 0);
  EXPECT_EQ(string::compare_text(abc, empty, CMP_FIND, true), 1);

  // A text slice compares only its own length.
  Cell slice = str(v, "abX");
  slice.set_type(TypeId(56));
  slice.w3 = 2;
  Cell two = str(v, "ab");
  EXPECT_EQ(string::compare_text(two, slice, CMP_EQUAL, false), 0);

  // A symbol compares by its text.
  Cell sym = symbol::get(symbol::make("Hello"));
  Cell hello = str(v, "hello");
  EXPECT_EQ(string::compare_text(hello, sym, CMP_EQUAL, false), 0);
  EXPECT_NE(string::compare_text(hello, sym, CMP_STRICT_EQUAL, false), 0);
}

// Long needles and haystacks through the skip-table search, against a plain
// reference search, across units and both case modes.
TEST(StringFind, AgreesWithAPlainSearch) {
  std::mt19937 rng(12345);
  // Latin-1 first (ß folds with s and S, ÿ with Ÿ), then UCS-2, then UCS-4.
  const uint32_t alphabet[] = {'a', 's', 'S', 0xDF, 0xFF, 'b', 0x178, 0x3A3, 0x3C3, 0x1F600};
  auto reference = [](const std::vector<uint32_t>& h, const std::vector<uint32_t>& n, bool fold) -> int64_t {
    auto key = [fold](uint32_t c) { return fold ? to_upper_cp(c) : c; };
    for (size_t i = 0; i + n.size() <= h.size(); i++) {
      size_t k = 0;
      while (k < n.size() && key(h[i + k]) == key(n[k])) k++;
      if (k == n.size()) return int64_t(i);
    }
    return -1;
  };
  for (int round = 0; round < 300; round++) {
    uint32_t span = round % 3 == 0 ? 10 : (round % 3 == 1 ? 9 : 6);  // unit 4, 2 or 1 characters
    std::vector<uint32_t> hay(20 + rng() % 400), needle(1 + rng() % 25);
    for (uint32_t& c : hay) c = alphabet[rng() % span];
    for (uint32_t& c : needle) c = alphabet[rng() % span];
    if (hay.size() > needle.size() && rng() % 2) {  // plant it
      size_t at = rng() % (hay.size() - needle.size());
      for (size_t k = 0; k < needle.size(); k++) hay[at + k] = needle[k];
    }
    Values v;
    RootedNode hs(make_string(1)), ns(make_string(1));
    append_code_points(hs, hay.data(), hay.size());
    append_code_points(ns, needle.data(), needle.size());
    Cell h = v.keep(series_cell(TYPE_STRING, hs)), n = v.keep(series_cell(TYPE_STRING, ns));
    for (bool fold : {true, false}) {
      string::FindOptions o;
      o.case_sensitive = !fold;
      Cell r = string::find(h, n, o);
      int64_t want = reference(hay, needle, fold);
      EXPECT_EQ(r.is(TYPE_NONE) ? -1 : r.index(), want) << "round " << round << " fold " << fold;
    }
  }
}

// A path step out of range answers a held error for eval_path to raise and
// leaves the string as it was (what scripts see of string paths is in the
// script suite).
TEST(StringPath, OutOfRangeStepHoldsItsError) {
  Values v;
  Cell s = str(v, "abc");
  Cell path = none_cell();  // only named by the errors
  Cell z = char_cell('Z');
  EXPECT_TRUE(string::eval_path(s, integer_cell(0), &z, path).is(TYPE_UNSET));
  EXPECT_TRUE(take_value_failure());
  EXPECT_EQ(take_held_error().id, ErrId::OUT_OF_RANGE);
  EXPECT_EQ(whole(s), "abc");
}

TEST(StringParse, MatchAndTagAt) {
  Values v;
  Cell s = str(v, "<Tag>rest");
  Cell tag = str(v, "tag", 1, TYPE_TAG);
  EXPECT_TRUE(string::tag_at_q(s, tag));
  EXPECT_TRUE(string::match_q(s, tag, CMP_EQUAL));
  EXPECT_FALSE(string::match_q(s, tag, CMP_STRICT_EQUAL));
  EXPECT_TRUE(string::match_q(s, str(v, "<TAG"), CMP_EQUAL));
  EXPECT_FALSE(string::match_q(s, str(v, "<Tag>rest!"), CMP_EQUAL));
  EXPECT_TRUE(string::match_q(s, char_cell('<'), CMP_STRICT_EQUAL));
  Cell t = s;
  t.w1 = 1;
  EXPECT_TRUE(string::match_q(t, char_cell('t'), CMP_EQUAL));
  EXPECT_FALSE(string::match_q(t, char_cell('t'), CMP_STRICT_EQUAL));
  EXPECT_FALSE(string::match_q(t, integer_cell(1), CMP_EQUAL));
}
