// string!: storage and widening, the character helpers, make and to, the
// inherited series actions on strings of every unit, and indexes left past
// the tail by an edit through another reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/series_actions.h"
#include "datatypes/string.h"
#include "string_test_util.h"

using namespace vel;
using namespace vel::strtest;

namespace {

Cell dt(TypeId t) { return datatype_cell(t); }

Cell binary_of(Values& v, const std::vector<uint8_t>& bytes) {
  NodeId n = alloc_bytes(bytes.size() ? bytes.size() : 1);
  Buffer* b = node_buffer(n);
  if (!bytes.empty()) std::memcpy(b->head_ptr(), bytes.data(), bytes.size());
  b->tail = b->head + uint32_t(bytes.size());
  return v.keep(series_cell(TYPE_BINARY, n));
}

}  // namespace

TEST(String, RegisteredWithTheSharingTypes) {
  for (TypeId t : {TYPE_STRING, TYPE_URL, TYPE_FILE, TYPE_TAG, TYPE_EMAIL, TYPE_REF}) {
    ASSERT_TRUE(g_types[t].registered) << type_name(t);
    EXPECT_EQ(g_types[t].actions[ACT_FIND], g_types[TYPE_STRING].actions[ACT_FIND]) << type_name(t);
    // Each writes its own literal form.
    if (t != TYPE_STRING) EXPECT_NE(g_types[t].mold, g_types[TYPE_STRING].mold) << type_name(t);
  }
  // Inherited from series!, and unsupported outside the listed slots.
  EXPECT_EQ(g_types[TYPE_STRING].actions[ACT_COPY], g_types[TYPE_SERIES].actions[ACT_COPY]);
  Values v;
  Cell s = str(v, "abc");
  EXPECT_EQ(error_of([&] { (void)call_action(ACT_ADD, {s, s}); }), ErrId::EXPECT_ARG);
}

TEST(String, AppendCharWidensOnlyAsFarAsNeeded) {
  struct Case {
    uint32_t cp;
    uint32_t unit;
  } cases[] = {{'a', 1}, {0xE9, 1}, {0xFF, 1}, {0x20AC, 2}, {0xFFFF, 2}, {0x1F600, 4}};
  for (const Case& c : cases) {
    RootedNode s(make_string(1));
    append_char(s, 'x');
    append_char(s, c.cp);
    EXPECT_EQ(node_buffer(s)->unit(), c.unit) << c.cp;
    EXPECT_EQ(get_char(node_buffer(s)->head_ptr() + c.unit, c.unit), c.cp);
    EXPECT_EQ(node_buffer(s)->length(), 2u);
  }
}

TEST(String, OneCharacterAtATimeGrowsGeometrically) {
  RootedNode s(make_string(1));
  uint32_t expansions = 0, cap = node_buffer(s)->capacity;
  for (int i = 0; i < 100000; i++) {
    append_char(s, 'a' + i % 26);
    if (node_buffer(s)->capacity != cap) expansions++, cap = node_buffer(s)->capacity;
  }
  EXPECT_EQ(node_buffer(s)->length(), 100000u);
  EXPECT_LT(expansions, 20u);
}

TEST(String, OverwriteAndInsertCharWidenInPlace) {
  Values v;
  Cell s = str(v, "abc");
  string::overwrite_char(s.node(), 1, 0xE9);
  EXPECT_EQ(unit_of(s), 1u);
  string::overwrite_char(s.node(), 3, 'd');  // at the tail: appends
  EXPECT_EQ(text(s), "a\xC3\xA9" "cd");
  string::insert_char(s.node(), 0, 0x1F600);
  EXPECT_EQ(unit_of(s), 4u);
  EXPECT_EQ(text(s), "\xF0\x9F\x98\x80" "a\xC3\xA9" "cd");
  string::insert_char(s.node(), 99, '!');  // past the tail: at the tail
  EXPECT_EQ(text(s), "\xF0\x9F\x98\x80" "a\xC3\xA9" "cd!");
}

TEST(String, ConcatenateModesAcrossUnitsAndIntoItself) {
  Values v;
  Cell a = str(v, "abc");
  string::concatenate(a.node(), a.node(), 0, 3, 0, string::Concat::APPEND);
  EXPECT_EQ(text(a), "abcabc");

  Cell b = str(v, "abcd");
  string::concatenate(b.node(), b.node(), 1, 2, 1, string::Concat::INSERT);
  EXPECT_EQ(text(b), "abcbcd");

  Cell c = str(v, "abcd");
  Cell wide = str(v, "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC");  // three euro signs, unit 2
  string::concatenate(c.node(), wide.node(), 0, 99, 3, string::Concat::OVERWRITE);
  EXPECT_EQ(unit_of(c), 2u);
  EXPECT_EQ(text(c), "abc\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC");  // the tail only grows

  Cell d = str(v, "xyz", 4);
  Cell narrow = str(v, "ab");
  string::concatenate(d.node(), narrow.node(), 0, 2, 1, string::Concat::OVERWRITE);
  EXPECT_EQ(text(d), "xab");
  EXPECT_EQ(unit_of(d), 4u);
}

TEST(String, AccessHelpersClampAStaleIndex) {
  Values v;
  Cell s = str(v, "hello");
  Cell at4 = s;
  at4.w1 = 4;
  string::truncate(s.node(), 2);
  EXPECT_EQ(string::rs_length(&at4), 0);
  EXPECT_EQ(at4.index(), 2);
  EXPECT_TRUE(string::rs_tail_q(at4));
  Cell at9 = s;
  at9.w1 = 9;
  EXPECT_EQ(string::rs_head_index(&at9), 2u);
  EXPECT_EQ(at9.index(), 2);

  Cell t = str(v, "abcabc");
  EXPECT_EQ(string::rs_find_char(t, 'c'), 2);
  EXPECT_EQ(string::rs_find_char(t, 'z'), -1);
  EXPECT_EQ(string::rs_find_char(t, 0x100), -1);
  EXPECT_EQ(string::rs_abs_at(t, 4), uint32_t('b'));
  EXPECT_TRUE(string::starts_with(t, "abca"));
  EXPECT_FALSE(string::starts_with(t, "abcabcd"));
  string::remove_part(t.node(), 1, 2);
  EXPECT_EQ(text(t), "aabc");
  string::remove_char(t.node(), 3);
  EXPECT_EQ(text(t), "aab");

  Cell w = str(v, "xy", 4);
  string::rs_reset(&w);
  EXPECT_EQ(unit_of(w), 1u);
  EXPECT_EQ(text(w), "");
}

TEST(String, HexTexts) {
  EXPECT_EQ(string::to_hex(255, true), "FF");
  EXPECT_EQ(string::to_hex(255, false), "000000FF");
  EXPECT_EQ(string::to_hex(0, true), "00");
  EXPECT_EQ(string::to_hex(-1, false), "FFFFFFFF");
  EXPECT_EQ(string::to_hex(-1, true), "F");
  EXPECT_EQ(string::to_hex(0x1F600, true), "1F600");
  EXPECT_EQ(string::byte_to_hex(0x0A), "0A");
}

TEST(String, LoadUtf16WithSurrogatePairs) {
  const char16_t units[] = {u'a', 0xD83D, 0xDE00, u'b', 0};
  Cell s = string::load_at(units, -1, nullptr, string::LOAD_UTF16LE);
  RootedCell keep(s);
  EXPECT_EQ(text(s), "a\xF0\x9F\x98\x80" "b");
  EXPECT_EQ(unit_of(s), 4u);
  Cell more = string::load_at("\xC3\xA9!", 3, keep.get(), string::LOAD_UTF8);
  EXPECT_EQ(more.node(), s.node());
  EXPECT_EQ(text(s), "a\xF0\x9F\x98\x80" "b\xC3\xA9!");
  EXPECT_EQ(error_of([] { (void)string::load("a\xC3", TYPE_STRING); }), ErrId::INVALID_UTF8);
}

TEST(StringConvert, MakeSizes) {
  Values v;
  Cell s = v.keep(call_action(ACT_MAKE, {dt(TYPE_STRING), integer_cell(10)}));
  EXPECT_TRUE(s.is(TYPE_STRING));
  EXPECT_EQ(text(s), "");
  EXPECT_GE(node_buffer(s.node())->capacity, 10u);
  Cell f = v.keep(call_action(ACT_MAKE, {dt(TYPE_FILE), float_cell(3.7)}));
  EXPECT_TRUE(f.is(TYPE_FILE));
  EXPECT_EQ(error_of([] { (void)call_action(ACT_MAKE, {dt(TYPE_STRING), integer_cell(-1)}); }), ErrId::OUT_OF_RANGE);
  EXPECT_EQ(error_of([] { (void)call_action(ACT_MAKE, {dt(TYPE_STRING), float_cell(1e12)}); }), ErrId::OUT_OF_RANGE);
  EXPECT_EQ(error_of([] { (void)call_action(ACT_MAKE, {dt(TYPE_STRING), float_cell(std::nan(""))}); }),
            ErrId::OUT_OF_RANGE);
  // Any other spec converts as `to` does.
  Cell m = v.keep(call_action(ACT_MAKE, {dt(TYPE_STRING), str(v, "xyz")}));
  EXPECT_EQ(text(m), "xyz");
}

TEST(StringConvert, ToFromValues) {
  Values v;
  // A block: each element formed, no separators.
  Cell blk = v.keep(block::make_at(4));
  block::rs_append(blk.node(), integer_cell(1));
  block::rs_append(blk.node(), str(v, "a"));
  block::rs_append(blk.node(), char_cell('b'));
  EXPECT_EQ(text(v.keep(call_action(ACT_TO, {dt(TYPE_STRING), blk}))), "1ab");
  Cell from2 = blk;
  from2.w1 = 1;
  EXPECT_EQ(text(v.keep(call_action(ACT_TO, {dt(TYPE_STRING), from2}))), "ab");

  // Any-strings: a copy from the index, of the target type.
  Cell src = str(v, "xy\xE2\x82\xACz");
  src.w1 = 1;
  Cell f = v.keep(call_action(ACT_TO, {dt(TYPE_FILE), src}));
  EXPECT_TRUE(f.is(TYPE_FILE));
  EXPECT_EQ(f.index(), 0);
  EXPECT_EQ(text(f), "y\xE2\x82\xACz");
  EXPECT_NE(f.node(), src.node());

  EXPECT_EQ(text(v.keep(call_action(ACT_TO, {dt(TYPE_STRING), integer_cell(-42)}))), "-42");
  EXPECT_EQ(text(v.keep(call_action(ACT_TO, {dt(TYPE_STRING), char_cell(0x1F600)}))), "\xF0\x9F\x98\x80");
  EXPECT_EQ(error_of([] { (void)call_action(ACT_TO, {dt(TYPE_STRING), none_cell()}); }), ErrId::BAD_TO_ARG);
}

TEST(StringConvert, ToFromBinaryDecodesUtf8) {
  Values v;
  Cell bin = binary_of(v, {'x', 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80});
  bin.w1 = 1;
  Cell s = v.keep(call_action(ACT_TO, {dt(TYPE_STRING), bin}));
  EXPECT_EQ(text(s), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(unit_of(s), 4u);
  Cell cut = binary_of(v, {'a', 0xE2, 0x82});
  EXPECT_EQ(error_of([&] { (void)call_action(ACT_TO, {dt(TYPE_STRING), cut}); }), ErrId::INVALID_UTF8);
  Cell bad = binary_of(v, {'a', 0xFF, 'b'});
  EXPECT_EQ(error_of([&] { (void)call_action(ACT_TO, {dt(TYPE_STRING), bad}); }), ErrId::INVALID_UTF8);
  // A surrogate's three-byte form is not UTF-8.
  Cell lone = binary_of(v, {0xED, 0xA0, 0x80});
  EXPECT_EQ(error_of([&] { (void)call_action(ACT_TO, {dt(TYPE_STRING), lone}); }), ErrId::INVALID_UTF8);
}

TEST(StringSeries, InheritedActionsOnEveryUnit) {
  for (uint32_t unit : {1u, 2u, 4u}) {
    Values v;
    Cell s = str(v, "abcdef", unit);
    Cell at2 = s;
    at2.w1 = 2;
    EXPECT_EQ(text(v.keep(call(ACT_COPY, {at2}, kCopyRefs, {{"part", integer_cell(2)}}))), "cd") << unit;
    Cell r = v.keep(call(ACT_REVERSE, {at2}, kReverseRefs, {}));
    EXPECT_EQ(whole(r), "abfedc") << unit;
    Cell pick = call_action(ACT_PICK, {s, integer_cell(3)});
    EXPECT_TRUE(pick.is(TYPE_CHAR));
    EXPECT_EQ(pick.w2, uint32_t('f'));
    (void)call_action(ACT_POKE, {s, integer_cell(1), char_cell(0x1F600)});
    EXPECT_EQ(unit_of(s), 4u);
    EXPECT_EQ(whole(s), "\xF0\x9F\x98\x80" "bfedc");
    (void)call(ACT_REMOVE, {at2}, kRemoveRefs, {{"part", integer_cell(2)}});
    EXPECT_EQ(whole(s), "\xF0\x9F\x98\x80" "bdc");
    (void)call_action(ACT_CLEAR, {at2});
    EXPECT_EQ(whole(s), "\xF0\x9F\x98\x80" "b");
    EXPECT_EQ(call_action(ACT_LENGTH_Q, {s}).i2(), 2);
  }
}

// Another reference shortened the series: every action clamps the stale
// index instead of reading or writing past the tail.
TEST(StringSeries, IndexPastTheTailAfterShortening) {
  Values v;
  Cell s = str(v, "abcdef");
  Cell stale = s;
  stale.w1 = 5;
  (void)call(ACT_REMOVE, {s}, kRemoveRefs, {{"part", integer_cell(4)}});  // "ef" left
  ASSERT_EQ(whole(s), "ef");

  EXPECT_EQ(molded(stale), "\"\"");
  EXPECT_EQ(formed(stale), "");
  EXPECT_TRUE(call(ACT_FIND, {stale, str(v, "e")}, kFindRefs, {}).is(TYPE_NONE));
  EXPECT_TRUE(call(ACT_SELECT, {stale, str(v, "e")}, kFindRefs, {}).is(TYPE_NONE));
  EXPECT_TRUE(call(ACT_TAKE, {stale}, kTakeRefs, {}).is(TYPE_NONE));
  EXPECT_EQ(text(v.keep(call(ACT_COPY, {stale}, kCopyRefs, {}))), "");
  EXPECT_EQ(text(call(ACT_FIND, {stale, str(v, "f")}, kFindRefs, {{"reverse"}})), "f");
  (void)call(ACT_TRIM, {stale}, kTrimRefs, {});
  (void)call(ACT_SORT, {stale}, kSortRefs, {});
  EXPECT_EQ(whole(s), "ef");

  Cell ins = call(ACT_INSERT, {stale, str(v, "X")}, kInsertRefs, {});
  EXPECT_EQ(whole(s), "efX");
  EXPECT_EQ(ins.index(), 3);
  stale.w1 = 7;
  Cell ch = call(ACT_CHANGE, {stale, str(v, "YZ")}, kInsertRefs, {});
  EXPECT_EQ(whole(s), "efXYZ");
  EXPECT_EQ(ch.index(), 5);
  stale.w1 = 9;
  Cell ap = call(ACT_APPEND, {stale, char_cell('!')}, kInsertRefs, {});
  EXPECT_EQ(whole(s), "efXYZ!");
  EXPECT_EQ(ap.index(), 5);
  stale.w1 = 9;
  EXPECT_TRUE(call_action(ACT_SWAP, {stale, str(v, "q")}).is(TYPE_STRING));
  EXPECT_EQ(whole(s), "efXYZ!");
}
