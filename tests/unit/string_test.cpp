// string!: storage and widening, the character helpers and the storage
// widths behind the script cases (make and to, the series actions on every
// width and stale indexes are in the script suite).
#include "datatypes/string.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "action_frames.h"
#include "datatypes/block.h"
#include "datatypes/series_actions.h"
#include "string_test_util.h"
#include "test_util.h"

using namespace vel;
using namespace vel::strtest;

TEST(String, RegisteredWithTheSharingTypes) {
  for (TypeId t : {TYPE_STRING, TYPE_URL, TYPE_FILE, TYPE_TAG, TYPE_EMAIL, TYPE_REF}) {
    ASSERT_TRUE(g_types[t].registered) << type_name(t);
    EXPECT_EQ(g_types[t].actions[ACT_FIND], g_types[TYPE_STRING].actions[ACT_FIND]) << type_name(t);
    // Each writes its own literal form.
    if (t != TYPE_STRING) {
      EXPECT_NE(g_types[t].mold, g_types[TYPE_STRING].mold) << type_name(t);
    }
  }
  // Inherited from series!, and unsupported outside the listed slots.
  EXPECT_EQ(g_types[TYPE_STRING].actions[ACT_COPY], g_types[TYPE_SERIES].actions[ACT_COPY]);
  Values v;
  Cell s = str(v, "abc");
  EXPECT_EQ(error_of([&] {
              (void)call_action(act::add::SHAPE, {{act::add::VALUE1, s}, {act::add::VALUE2, s}});
            }),
            ErrId::EXPECT_ARG);
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

// Storage widths behind what the script cases see: make's capacity, the
// width a decoded binary needs, removal never narrowing the storage (the
// script cases of every width rely on it), a refused edit never widening it.
TEST(StringStorage, WidthsAndCapacityFromTheLibrary) {
  test::boot_library_once();  // before the values switch collections on
  Values v;
  Cell made = v.keep(test::run("make string! 10"));
  EXPECT_GE(node_buffer(made.node())->capacity, 10u);
  Cell decoded = v.keep(test::run("to string! #{78C3A9F09F9880}"));
  EXPECT_EQ(unit_of(decoded), 4u);
  Cell two = v.keep(test::run("s: copy \"abc\" insert s #\"\xE2\x82\xAC\" remove s s"));
  EXPECT_EQ(text(two), "abc");
  EXPECT_EQ(unit_of(two), 2u);
  Cell four = v.keep(test::run("s: copy \"abc\" insert s #\"\xF0\x9F\x98\x80\" remove s s"));
  EXPECT_EQ(unit_of(four), 4u);
  // A refused /dup leaves the storage as narrow as it was.
  Cell narrow = v.keep(test::run("s: copy \"abc\" try [append/dup s \"\xF0\x9F\x98\x80\" 2147483647] s"));
  EXPECT_EQ(text(narrow), "abc");
  EXPECT_EQ(unit_of(narrow), 1u);
}
