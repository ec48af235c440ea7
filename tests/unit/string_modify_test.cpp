// string!: append, insert, change (/part, /dup, widening, self-reference),
// take, trim, swap, sort and the set operations.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/string.h"
#include "string_test_util.h"

using namespace vel;
using namespace vel::strtest;

namespace {

Ref part(Cell c) { return Ref("part", c); }
Ref part(int n) { return Ref("part", integer_cell(n)); }
Ref dup_count(int n) { return Ref("dup", integer_cell(n)); }

const char* const kSmile = "\xF0\x9F\x98\x80";  // U+1F600, unit 4
const char* const kEuro = "\xE2\x82\xAC";       // U+20AC, unit 2

}  // namespace

TEST(StringAppend, ValuesAndWidening) {
  struct Case {
    const char* base;
    uint32_t base_unit;
    const char* add;  // a string value
    const char* expected;
    uint32_t unit;
  } cases[] = {
      {"abc", 1, "def", "abcdef", 1},
      {"abc", 1, "\xC3\xA9", "abc\xC3\xA9", 1},
      {"abc", 1, kEuro, "abc\xE2\x82\xAC", 2},
      {"abc", 1, kSmile, "abc\xF0\x9F\x98\x80", 4},
      {"abc", 2, kSmile, "abc\xF0\x9F\x98\x80", 4},
      {"abc", 4, "de", "abcde", 4},
      {"\xE2\x82\xAC", 2, "x\xC3\xA9", "\xE2\x82\xAC" "x\xC3\xA9", 2},
      {"", 1, "", "", 1},
  };
  for (const Case& c : cases) {
    Values v;
    Cell s = str(v, c.base, c.base_unit);
    s.w1 = 1 < node_buffer(s.node())->length() ? 1 : 0;
    Cell r = call(ACT_APPEND, {s, str(v, c.add)}, kInsertRefs, {});
    EXPECT_EQ(r.index(), s.index()) << "append keeps the index";
    EXPECT_EQ(whole(s), c.expected);
    EXPECT_EQ(unit_of(s), c.unit) << c.expected;
  }
}

TEST(StringAppend, WhatEachValueContributes) {
  Values v;
  Cell blk = v.keep(block::make_at(4));
  block::rs_append(blk.node(), integer_cell(1));
  block::rs_append(blk.node(), str(v, "x"));
  block::rs_append(blk.node(), char_cell(0x20AC));
  struct Case {
    Cell value;
    const char* expected;
  } cases[] = {
      {str(v, "tag", 1, TYPE_TAG), "a<tag>"},
      {char_cell(0xE9), "a\xC3\xA9"},
      {char_cell(0x1F600), "a\xF0\x9F\x98\x80"},
      {blk, "a1x\xE2\x82\xAC"},
      {integer_cell(-7), "a-7"},
      {str(v, "file", 1, TYPE_FILE), "afile"},
  };
  for (const Case& c : cases) {
    Values w;
    Cell s = str(w, "a");
    (void)call(ACT_APPEND, {s, c.value}, kInsertRefs, {});
    EXPECT_EQ(whole(s), c.expected);
  }
}

TEST(StringAppend, IntoItself) {
  Values v;
  Cell s = str(v, "ab");
  (void)call(ACT_APPEND, {s, s}, kInsertRefs, {});
  EXPECT_EQ(whole(s), "abab");
  Cell mid = s;
  mid.w1 = 1;
  Cell r = call(ACT_INSERT, {mid, s}, kInsertRefs, {});
  EXPECT_EQ(whole(s), "aababbab");
  EXPECT_EQ(r.index(), 5);
  Cell t = str(v, "abcd");
  Cell t2 = t;
  t2.w1 = 2;
  (void)call(ACT_CHANGE, {t, t2}, kInsertRefs, {});
  EXPECT_EQ(whole(t), "cdcd");
}

TEST(StringAppend, PartCountsAndPositions) {
  Values v;
  Cell src = str(v, "defgh");
  Cell src_at3 = src;
  src_at3.w1 = 3;
  struct Case {
    Cell value;
    Ref p;
    const char* expected;
  } cases[] = {
      {src, part(2), "abcde"},
      {src, part(99), "abcdefgh"},
      {src, part(0), "abc"},
      {src, part(-2), "abc"},  // at the value's head: nothing before it
      {src_at3, part(-2), "abcef"},
      {src_at3, part(-9), "abcdef"},
      {src, part(src_at3), "abcdef"},
      {src_at3, part(src), "abcdef"},  // a position before the value: taken backwards
  };
  for (const Case& c : cases) {
    Values w;
    Cell s = str(w, "abc");
    (void)call(ACT_APPEND, {s, c.value}, kInsertRefs, {c.p});
    EXPECT_EQ(whole(s), c.expected);
  }
  // A block value's /part counts elements.
  Cell blk = v.keep(block::make_at(4));
  for (int i = 10; i < 14; i++) block::rs_append(blk.node(), integer_cell(i));
  Cell s = str(v, "");
  (void)call(ACT_INSERT, {s, blk}, kInsertRefs, {part(3)});
  EXPECT_EQ(whole(s), "101112");

  Cell other = str(v, "defgh");
  EXPECT_EQ(error_of([&] { (void)call(ACT_APPEND, {s, src}, kInsertRefs, {part(other)}); }),
            ErrId::INVALID_REFINE_ARG);
  EXPECT_EQ(error_of([&] { (void)call(ACT_APPEND, {s, char_cell('x')}, kInsertRefs, {part(1)}); }),
            ErrId::INVALID_PART);
  EXPECT_EQ(whole(s), "101112");
}

TEST(StringAppend, DupRepeatsAndRefusesBadCounts) {
  for (uint32_t unit : {1u, 4u}) {
    Values v;
    Cell s = str(v, "a", unit);
    (void)call(ACT_APPEND, {s, str(v, "xy")}, kInsertRefs, {dup_count(3)});
    EXPECT_EQ(whole(s), "axyxyxy");
    (void)call(ACT_APPEND, {s, str(v, "q")}, kInsertRefs, {dup_count(0)});
    EXPECT_EQ(whole(s), "axyxyxy");
    Cell at1 = s;
    at1.w1 = 1;
    Cell r = call(ACT_INSERT, {at1, char_cell(0x20AC)}, kInsertRefs, {dup_count(2)});
    EXPECT_EQ(whole(s), "a\xE2\x82\xAC\xE2\x82\xAC" "xyxyxy");
    EXPECT_EQ(r.index(), 3);

    // A negative count adds nothing; an overflowing one is refused; either
    // leaves the string as it was.
    std::string before = whole(s);
    uint32_t unit_before = unit_of(s);
    for (ActionId a : {ACT_APPEND, ACT_INSERT, ACT_CHANGE}) {
      (void)call(a, {s, str(v, kSmile)}, kInsertRefs, {dup_count(-1)});
      EXPECT_EQ(whole(s), before);
      EXPECT_EQ(error_of([&] { (void)call(a, {s, str(v, "abcd")}, kInsertRefs, {dup_count(0x40000000)}); }),
                ErrId::NO_MEMORY);
      EXPECT_EQ(error_of([&] { (void)call(a, {s, str(v, kSmile)}, kInsertRefs, {dup_count(0x7FFFFFFF)}); }),
                ErrId::NO_MEMORY);
      EXPECT_EQ(whole(s), before);
      EXPECT_EQ(unit_of(s), unit_before);  // not even widened
    }
  }
}

TEST(StringInsert, PositionsAndWidening) {
  Values v;
  Cell s = str(v, "abc");
  Cell tail = s;
  tail.w1 = 3;
  Cell r = call(ACT_INSERT, {tail, str(v, "de")}, kInsertRefs, {});
  EXPECT_EQ(r.index(), 5);  // at the tail: the index at the new tail
  EXPECT_EQ(whole(s), "abcde");
  Cell at1 = s;
  at1.w1 = 1;
  r = call(ACT_INSERT, {at1, str(v, kSmile)}, kInsertRefs, {});
  EXPECT_EQ(whole(s), std::string("a") + kSmile + "bcde");
  EXPECT_EQ(unit_of(s), 4u);
  EXPECT_EQ(r.index(), 2);
  r = call(ACT_INSERT, {r, str(v, "\xC3\xA9")}, kInsertRefs, {});  // a narrower text into unit 4
  EXPECT_EQ(whole(s), std::string("a") + kSmile + "\xC3\xA9" "bcde");
  EXPECT_EQ(r.index(), 3);
}

TEST(StringChange, RangesAndResults) {
  struct Case {
    const char* base;
    int index;
    const char* value;
    std::vector<Ref> refs;
    const char* expected;
    int result_index;
  } cases[] = {
      {"abcdef", 1, "XY", {}, "aXYdef", 3},
      {"abcdef", 1, "X", {part(3)}, "aXef", 2},
      {"abcdef", 1, "XYZW", {part(1)}, "aXYZWcdef", 5},
      {"abcdef", 1, "X", {part(99)}, "aX", 2},
      {"abcdef", 1, "X", {part(-1)}, "aXbcdef", 2},  // nothing replaced
      {"abcdef", 6, "XY", {}, "abcdefXY", 8},         // at the tail: appends
      {"abcdef", 4, "XYZ", {}, "abcdXYZ", 7},          // longer than what is left
      {"abcdef", 0, "XY", {dup_count(2)}, "XYXYef", 4},
      {"abcdef", 0, "", {part(2)}, "cdef", 0},
      {"ab", 0, kSmile, {}, "\xF0\x9F\x98\x80" "b", 1},
  };
  for (const Case& c : cases) {
    for (uint32_t unit : {1u, 2u, 4u}) {
      Values v;
      Cell s = str(v, c.base, unit);
      s.w1 = uint32_t(c.index);
      Cell r = call(ACT_CHANGE, {s, str(v, c.value)}, kInsertRefs, c.refs);
      EXPECT_EQ(whole(s), c.expected) << c.base << " <- " << c.value << " unit " << unit;
      EXPECT_EQ(r.index(), c.result_index) << c.expected;
    }
  }
  // /part as a position in the same series; a position elsewhere is refused.
  Values v;
  Cell s = str(v, "abcdef");
  Cell at4 = s;
  at4.w1 = 4;
  (void)call(ACT_CHANGE, {s, char_cell('_')}, kInsertRefs, {part(at4)});
  EXPECT_EQ(whole(s), "_ef");
  EXPECT_EQ(error_of([&] { (void)call(ACT_CHANGE, {s, char_cell('_')}, kInsertRefs, {part(str(v, "ab"))}); }),
            ErrId::INVALID_REFINE_ARG);
  // A block replaces as many characters as it has elements.
  Cell blk = v.keep(block::make_at(2));
  block::rs_append(blk.node(), integer_cell(10));
  block::rs_append(blk.node(), integer_cell(20));
  Cell t = str(v, "abcdef");
  (void)call(ACT_CHANGE, {t, blk}, kInsertRefs, {});
  EXPECT_EQ(whole(t), "1020cdef");
}

TEST(StringTake, CharOrStringOrNone) {
  Values v;
  Cell s = str(v, "ab\xE2\x82\xAC" "cd");
  Cell r = call(ACT_TAKE, {s}, kTakeRefs, {});
  ASSERT_TRUE(r.is(TYPE_CHAR));
  EXPECT_EQ(r.w2, uint32_t('a'));
  r = call(ACT_TAKE, {s}, kTakeRefs, {"last"});
  EXPECT_EQ(r.w2, uint32_t('d'));
  r = v.keep(call(ACT_TAKE, {s}, kTakeRefs, {Ref("part", integer_cell(2))}));
  ASSERT_TRUE(r.is(TYPE_STRING));
  EXPECT_EQ(text(r), "b\xE2\x82\xAC");
  EXPECT_EQ(whole(s), "c");
  r = v.keep(call(ACT_TAKE, {s}, kTakeRefs, {Ref("part", integer_cell(1))}));
  EXPECT_TRUE(r.is(TYPE_STRING));  // with /part: a string even for one character
  EXPECT_TRUE(call(ACT_TAKE, {s}, kTakeRefs, {}).is(TYPE_NONE));
  Cell t = str(v, "abcdef");
  t.w1 = 3;
  r = v.keep(call(ACT_TAKE, {t}, kTakeRefs, {Ref("part", integer_cell(-2))}));
  EXPECT_EQ(text(r), "bc");
  EXPECT_EQ(whole(t), "adef");
}

TEST(StringTrim, EveryRefinement) {
  struct Case {
    const char* in;
    std::vector<Ref> refs;
    const char* out;
  } cases[] = {
      {"  abc  ", {}, "abc"},
      {"  a  b  \n  c  \n\n", {}, "a  b\nc\n"},  // a trailing line feed keeps exactly one
      {"\n\n  a\t\n", {}, "a\n"},
      {"a\n   \nb", {}, "a\n\nb"},
      {" \t\r\n ", {}, ""},
      {"\xE3\x80\x80" "a\xC2\xA0", {}, "a"},  // U+3000 and U+00A0 are white space
      {"  a  ", {"head"}, "a  "},
      {"  a  ", {"tail"}, "  a"},
      {"\n a \n", {"head", "tail"}, "a"},
      {"  a \n  b  ", {"lines"}, "a b"},
      {"\n\ta  b\n", {"lines"}, "a b"},
      {" a b\tc\n\r", {"all"}, "abc"},
      {"abcba", {Ref("with", char_cell('b'))}, "aca"},
      {"xaybzcwdve", {Ref("with", make_cell(TYPE_NONE))}, "abcde"},  // replaced below by a string
      {"a1b2", {Ref("with", integer_cell('2'))}, "a1b"},
  };
  for (const Case& c : cases) {
    for (uint32_t unit : {1u, 2u, 4u}) {
      Values v;
      Cell s = str(v, c.in, unit);
      std::vector<Ref> refs = c.refs;
      for (Ref& r : refs)
        if (std::string(r.name) == "with" && r.args[0].is(TYPE_NONE)) r.args[0] = str(v, "xyzwv");
      Cell r = call(ACT_TRIM, {s}, kTrimRefs, refs);
      EXPECT_EQ(text(r), c.out) << "[" << c.in << "] unit " << unit;
    }
  }
  Values v;
  Cell s = str(v, "xx  a  ");
  s.w1 = 2;
  (void)call(ACT_TRIM, {s}, kTrimRefs, {});
  EXPECT_EQ(whole(s), "xxa");  // from the index only
  EXPECT_EQ(error_of([&] { (void)call(ACT_TRIM, {s}, kTrimRefs, {"auto"}); }), ErrId::NOT_DONE);
}

TEST(StringSwap, FirstCharacters) {
  Values v;
  Cell a = str(v, "abc"), b = str(v, kSmile);
  Cell r = call_action(ACT_SWAP, {a, b});
  EXPECT_EQ(r.node(), a.node());
  EXPECT_EQ(whole(a), std::string(kSmile) + "bc");
  EXPECT_EQ(whole(b), "a");
  Cell empty = str(v, "");
  (void)call_action(ACT_SWAP, {a, empty});
  EXPECT_EQ(whole(a), std::string(kSmile) + "bc");
  Cell blk = v.keep(block::make_at(1));
  EXPECT_EQ(error_of([&] { (void)call_action(ACT_SWAP, {a, blk}); }), ErrId::INVALID_ARG);
}

TEST(StringSort, OrdersAndRefinements) {
  struct Case {
    const char* in;
    uint32_t unit;
    std::vector<Ref> refs;
    const char* out;
  } cases[] = {
      {"cbaCBA", 1, {"stable"}, "aAbBcC"},
      {"cbaCBA", 1, {"case"}, "ABCabc"},
      {"cbaCBA", 1, {"case", "reverse"}, "cbaCBA"},
      {"cbaCBA", 1, {"stable", "reverse"}, "cCbBaA"},
      {"\xC3\x89" "a\xC3\xA9" "A_", 1, {"stable"}, "aA_\xC3\x89\xC3\xA9"},  // one folding for every unit
      {"\xC3\x89" "a\xC3\xA9" "A_", 2, {"stable"}, "aA_\xC3\x89\xC3\xA9"},
      {"\xCF\x83\xCE\xB1\xCE\xA3\xCE\x91", 2, {"stable"}, "\xCE\xB1\xCE\x91\xCF\x83\xCE\xA3"},  // σαΣΑ
      {"c1a2b3", 1, {Ref("skip", integer_cell(2))}, "a2b3c1"},
      {"c3a1b2", 1, {Ref("skip", integer_cell(2)), Ref("compare", integer_cell(2))}, "a1b2c3"},
      {"b2a3a1", 1, {Ref("skip", integer_cell(2)), "all"}, "a1a3b2"},
      {"cbafed", 1, {Ref("part", integer_cell(3))}, "abcfed"},
      {"z\xF0\x9F\x98\x80" "a", 4, {}, "az\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    Values v;
    Cell s = str(v, c.in, c.unit);
    Cell r = call(ACT_SORT, {s}, kSortRefs, c.refs);
    EXPECT_EQ(whole(r), c.out) << c.in;
  }
  Values v;
  Cell s = str(v, "dcba");
  s.w1 = 3;
  Cell r = call(ACT_SORT, {s}, kSortRefs, {Ref("part", integer_cell(-2))});
  EXPECT_EQ(whole(s), "dbca");
  EXPECT_EQ(r.index(), 1);

  struct Bad {
    std::vector<Ref> refs;
    ErrId id;
  } bad[] = {
      {{Ref("skip", integer_cell(4))}, ErrId::INVALID_REFINE_ARG},  // 6 is no multiple of 4
      {{Ref("skip", integer_cell(0))}, ErrId::INVALID_REFINE_ARG},
      {{"all"}, ErrId::BAD_REFINES},
      {{Ref("skip", integer_cell(2)), "all", Ref("compare", integer_cell(1))}, ErrId::BAD_REFINES},
      {{Ref("skip", integer_cell(2)), Ref("compare", integer_cell(3))}, ErrId::OUT_OF_RANGE},
      {{Ref("compare", str(v, "x"))}, ErrId::INVALID_REFINE_ARG},
      {{Ref("part", str(v, "other"))}, ErrId::INVALID_REFINE_ARG},
  };
  for (const Bad& b : bad) {
    Cell t = str(v, "fedcba");
    EXPECT_EQ(error_of([&] { (void)call(ACT_SORT, {t}, kSortRefs, b.refs); }), b.id);
    EXPECT_EQ(whole(t), "fedcba");
  }
}

TEST(StringSetOps, FirstOccurrencesWin) {
  struct Case {
    const char* a;
    const char* b;
    string::SetOp op;
    bool case_sensitive;
    int skip;
    const char* out;
  } cases[] = {
      {"abc", "bcd", string::SET_UNION, false, 1, "abcd"},
      {"abc", "bcd", string::SET_DIFFERENCE, false, 1, "ad"},
      {"abc", "bcd", string::SET_INTERSECT, false, 1, "bc"},
      {"abc", "bcd", string::SET_EXCLUDE, false, 1, "a"},
      {"aAbBa", nullptr, string::SET_UNIQUE, false, 1, "ab"},
      {"aAbBa", nullptr, string::SET_UNIQUE, true, 1, "aAbB"},
      {"abC", "ABc", string::SET_INTERSECT, false, 1, "abC"},
      {"\xC3\xA9x", "\xC3\x89", string::SET_EXCLUDE, false, 1, "x"},
      {"a1a2b3", nullptr, string::SET_UNIQUE, false, 2, "a1b3"},
  };
  for (const Case& c : cases) {
    Values v;
    Cell a = str(v, c.a);
    Cell b = c.b ? str(v, c.b) : none_cell();
    Cell r = v.keep(string::do_set_op(a, c.b ? &b : nullptr, c.case_sensitive, c.skip, c.op));
    EXPECT_EQ(text(r), c.out);
  }
  Values v;
  Cell a = str(v, "abc");
  EXPECT_EQ(error_of([&] { (void)string::do_set_op(a, nullptr, false, 0, string::SET_UNIQUE); }),
            ErrId::INVALID_REFINE_ARG);
}
