// string!: comparison (case folding, lengths, match mode, types), the
// search kernel against a plain search, path access and the parse matchers.
// find and select as scripts call them are in the script suite.
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

TEST(StringCompare, AcrossTypesSameAndMatchMode) {
  Values v;
  Cell s = str(v, "Path"), f = str(v, "pATH", 1, TYPE_FILE), blk = v.keep(make_cell(TYPE_INTEGER, 0, 1));
  EXPECT_EQ(string::compare(&s, &f, CMP_EQUAL), 0);
  EXPECT_NE(string::compare(&s, &f, CMP_NOT_EQUAL), CMP_INCOMPARABLE);
  EXPECT_EQ(string::compare(&s, &f, CMP_STRICT_EQUAL), CMP_INCOMPARABLE);
  EXPECT_EQ(string::compare(&s, &f, CMP_LESSER), CMP_INCOMPARABLE);
  EXPECT_EQ(string::compare(&s, &blk, CMP_EQUAL), CMP_INCOMPARABLE);

  Cell same = s;
  EXPECT_EQ(string::compare(&s, &same, CMP_SAME), 0);
  Cell copy = str(v, "Path");
  EXPECT_NE(string::compare(&s, &copy, CMP_SAME), 0);
  same.w1 = 1;
  EXPECT_NE(string::compare(&s, &same, CMP_SAME), 0);

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

TEST(StringPath, PickPokeSelectAndErrors) {
  Values v;
  Cell s = str(v, "abc");
  Cell path = none_cell();  // only named by the errors
  EXPECT_EQ(string::eval_path(s, integer_cell(2), nullptr, path).w2, uint32_t('b'));
  EXPECT_TRUE(string::eval_path(s, integer_cell(9), nullptr, path).is(TYPE_NONE));
  Cell euro = char_cell(0x20AC);
  EXPECT_EQ(string::eval_path(s, integer_cell(3), &euro, path).w2, 0x20ACu);
  EXPECT_EQ(whole(s), "ab\xE2\x82\xAC");
  EXPECT_EQ(string::eval_path(s, str(v, "a"), nullptr, path).w2, uint32_t('b'));
  Cell z = char_cell('Z');
  (void)string::eval_path(s, str(v, "a"), &z, path);
  EXPECT_EQ(whole(s), "aZ\xE2\x82\xAC");
  Cell word = word::make(TYPE_WORD, 0, symbol::make("a"), -1);
  EXPECT_EQ(error_of([&] { (void)string::eval_path(s, word, nullptr, path); }), ErrId::INVALID_PATH);
  EXPECT_EQ(error_of([&] { (void)string::eval_path(s, str(v, "q"), &z, path); }), ErrId::BAD_PATH_SET);
  // Out of range the step answers a held error for eval_path to raise.
  EXPECT_TRUE(string::eval_path(s, integer_cell(0), &z, path).is(TYPE_UNSET));
  EXPECT_TRUE(take_value_failure());
  EXPECT_EQ(take_held_error().id, ErrId::OUT_OF_RANGE);
  EXPECT_EQ(whole(s), "aZ\xE2\x82\xAC");
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
