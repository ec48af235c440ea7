// string!: comparison (case folding, lengths, match mode, types), find and
// select with their refinements, path access and the parse matchers.
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

// --- find -------------------------------------------------------------------------------

namespace {

struct FindCase {
  const char* hay;
  int index;
  const char* needle;  // a string value; "#x" is the char x
  std::vector<Ref> refs;
  const char* expected;  // the text from the found position, or <none>
};

void check_finds(const std::vector<FindCase>& cases, ActionId a = ACT_FIND) {
  for (const FindCase& c : cases) {
    for (uint32_t unit : {1u, 2u, 4u}) {
      Values v;
      Cell s = str(v, c.hay, unit);
      s.w1 = uint32_t(c.index);
      Cell value = c.needle[0] == '#' && c.needle[1] ? char_cell(uint8_t(c.needle[1])) : str(v, c.needle);
      Cell r = v.keep(call(a, {s, value}, kFindRefs, c.refs));
      std::string got = r.is(TYPE_CHAR) ? std::string(1, char(r.w2)) : text(r);
      if (r.is(TYPE_STRING)) {
        EXPECT_EQ(r.node(), s.node());
      }
      EXPECT_EQ(got, c.expected) << "unit " << unit << ": " << c.hay << " / " << c.needle;
    }
  }
}

Ref part(int n) { return Ref("part", integer_cell(n)); }
Ref skip(int n) { return Ref("skip", integer_cell(n)); }

}  // namespace

TEST(StringFind, PlainCaseAndDirection) {
  check_finds({
      {"abcabc", 0, "b", {}, "bcabc"},
      {"abcabc", 0, "B", {}, "bcabc"},
      {"abcabc", 0, "B", {"case"}, "<none>"},
      {"abcabc", 0, "B", {"same"}, "<none>"},
      {"abcAbc", 0, "A", {"case"}, "Abc"},
      {"abcabc", 2, "ab", {}, "abc"},
      {"abcabc", 0, "bc", {"tail"}, "abc"},
      {"abcabc", 0, "bc", {"last"}, "bc"},
      {"abcabc", 0, "BC", {"last", "tail"}, ""},
      {"abcabc", 6, "bc", {"reverse"}, "bc"},
      {"abcabc", 4, "bc", {"reverse"}, "bcabc"},
      {"abcabc", 6, "", {}, "<none>"},
      {"abcabc", 0, "", {}, "<none>"},
      {"abcabc", 6, "a", {}, "<none>"},  // at the tail, forwards
      {"abcabc", 0, "a", {"reverse"}, "<none>"},
      {"abcabc", 0, "abcabcd", {}, "<none>"},
      {"abcabc", 0, "#C", {}, "cabc"},
      {"abcabc", 0, "#C", {"case"}, "<none>"},
      {"abcabc", 0, "#c", {"last"}, "c"},
      {"abcabc", 0, "#c", {"tail"}, "abc"},
      {"a12b", 0, "2b", {}, "2b"},
  });
}

TEST(StringFind, MatchPartAndSkip) {
  check_finds({
      {"abcabc", 0, "AB", {"match"}, "abcabc"},
      {"abcabc", 0, "ab", {"match", "tail"}, "cabc"},
      {"abcabc", 0, "bc", {"match"}, "<none>"},
      {"abcabc", 3, "ab", {"reverse", "match"}, "<none>"},
      {"abcdef", 0, "d", {part(3)}, "<none>"},
      {"abcdef", 0, "c", {part(3)}, "cdef"},
      {"abcdef", 0, "cd", {part(3)}, "<none>"},  // must end within the range
      {"abcdef", 0, "e", {part(0)}, "<none>"},
      {"abcdef", 0, "e", {part(-2)}, "<none>"},
      {"abcdef", 0, "e", {part(99)}, "ef"},
      {"abcabc", 0, "a", {part(4), "last"}, "abc"},
      {"abcabc", 5, "c", {part(2), "reverse"}, "<none>"},  // the index itself is not searched
      {"abcabc", 5, "b", {part(2), "reverse"}, "bc"},
      {"a1b2c3", 0, "2", {skip(2)}, "<none>"},
      {"a1b2c3", 0, "c", {skip(2)}, "c3"},
      {"a1b2c3", 1, "3", {skip(2)}, "3"},
      {"a1b2a3", 0, "a", {skip(2), "last"}, "a3"},
      {"a1b2a3", 6, "b", {skip(2), "reverse"}, "b2a3"},
      {"a1b2a3", 6, "1", {skip(2), "reverse"}, "<none>"},
  });
}

// Wildcard matching is not offered: /any and /with raise internal/not-done,
// after the empty-range check and before any other refinement is looked at.
TEST(StringFind, AnyAndWithAreNotDone) {
  Values v;
  Cell s = str(v, "ab*cd");
  Cell at_tail = s;
  at_tail.w1 = 5;
  Cell empty = str(v, "");
  Ref with_string("with", str(v, "%_")), with_bad("with", integer_cell(1));
  struct Case {
    Cell series;
    std::vector<Ref> refs;
    bool not_done;  // else none: nothing to search
  } cases[] = {
      {s, {"any"}, true},
      {s, {with_string}, true},
      {s, {"any", with_string}, true},
      {s, {with_bad}, true},         // the /with argument is never examined
      {s, {"any", skip(0)}, true},   // before /skip's own check
      {at_tail, {"any", "reverse"}, true},
      {at_tail, {"any"}, false},
      {empty, {with_string}, false},
  };
  for (ActionId a : {ACT_FIND, ACT_SELECT}) {
    for (const Case& c : cases) {
      if (c.not_done) {
        EXPECT_EQ(error_of([&] { (void)call(a, {c.series, str(v, "b")}, kFindRefs, c.refs); }), ErrId::NOT_DONE)
            << "action " << int(a) << " index " << c.series.index();
      } else {
        EXPECT_TRUE(call(a, {c.series, str(v, "b")}, kFindRefs, c.refs).is(TYPE_NONE));
      }
    }
  }
}

TEST(StringFind, OtherValueTypesAndErrors) {
  Values v;
  Cell s = str(v, "x12y\xC3\xBF");
  EXPECT_EQ(text(call(ACT_FIND, {s, integer_cell(12)}, kFindRefs, {})), "12y\xC3\xBF");
  // Ÿ (UCS-2) folds onto ÿ stored as Latin-1.
  EXPECT_EQ(text(call(ACT_FIND, {s, char_cell(0x178)}, kFindRefs, {})), "\xC3\xBF");
  EXPECT_TRUE(call(ACT_FIND, {s, char_cell(0x178)}, kFindRefs, {"case"}).is(TYPE_NONE));
  Cell word = word::make(TYPE_WORD, 0, symbol::make("Y"), -1);
  EXPECT_EQ(text(call(ACT_FIND, {s, word}, kFindRefs, {})), "y\xC3\xBF");

  EXPECT_EQ(error_of([&] { (void)call(ACT_FIND, {s, str(v, "1")}, kFindRefs, {skip(0)}); }), ErrId::OUT_OF_RANGE);
  Cell other = str(v, "x12y");
  other.w1 = 2;
  EXPECT_EQ(error_of([&] { (void)call(ACT_FIND, {s, str(v, "1")}, kFindRefs, {Ref("part", other)}); }),
            ErrId::INVALID_REFINE_ARG);
  NodeId bin = alloc_bytes(2);
  node_buffer(bin)->tail = node_buffer(bin)->head + 2;
  Cell b = v.keep(series_cell(TYPE_BINARY, bin));
  EXPECT_EQ(error_of([&] { (void)call(ACT_FIND, {s, b}, kFindRefs, {}); }), ErrId::INVALID_ARG);

  // /part as a position in the same series.
  Cell at3 = s;
  at3.w1 = 3;
  EXPECT_EQ(text(call(ACT_FIND, {s, str(v, "2")}, kFindRefs, {Ref("part", at3)})), "2y\xC3\xBF");
  EXPECT_TRUE(call(ACT_FIND, {s, str(v, "y")}, kFindRefs, {Ref("part", at3)}).is(TYPE_NONE));
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

TEST(StringSelect, CharacterAfterTheMatch) {
  check_finds(
      {
          {"abc", 0, "b", {}, "c"},
          {"abc", 0, "c", {}, "<none>"},
          {"abcb", 0, "B", {"last"}, "<none>"},
          {"abcbd", 0, "B", {"last"}, "d"},
          {"abcbd", 0, "bc", {}, "b"},
          {"abcbd", 0, "b", {"tail", "match"}, "c"},  // neither applies to select
      },
      ACT_SELECT);
  Values v;
  Cell s = str(v, "a12b");
  Cell r = call(ACT_SELECT, {s, integer_cell(12)}, kFindRefs, {});
  ASSERT_TRUE(r.is(TYPE_CHAR));
  EXPECT_EQ(r.w2, uint32_t('b'));  // after the whole formed text
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
  EXPECT_EQ(error_of([&] { (void)string::eval_path(s, integer_cell(0), &z, path); }), ErrId::OUT_OF_RANGE);
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
