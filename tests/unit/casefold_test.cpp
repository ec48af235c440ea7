#include "casefold.h"

#include <gtest/gtest.h>

#include <cstring>

#include "roots.h"
#include "text_test_util.h"

namespace vel {
namespace {

using texttest::Chars;
using texttest::chars_of;
using texttest::make_string;

TEST(CaseFold, MappingsOfNote) {
  struct Case {
    uint32_t cp, upper, lower;
  } cases[] = {
      {'a', 'A', 'a'},         {'Z', 'Z', 'z'},         {'5', '5', '5'},         {'_', '_', '_'},
      {0xE9, 0xC9, 0xE9},      {0xFF, 0x178, 0xFF},     {0xB5, 0x39C, 0xB5},     {0xDF, 'S', 0xDF},
      {0x149, 0x2BC, 0x149},   {0x1F0, 'J', 0x1F0},     {0x19B, 0x19B, 0x19B},   {0x130, 0x130, 'i'},
      {0x1C5, 0x1C4, 0x1C6},   {0x212A, 0x212A, 'k'},   {0x3C3, 0x3A3, 0x3C3},   {0xFF5A, 0xFF3A, 0xFF5A},
      {0x10428, 0x10400, 0x10428}, {0x10400, 0x10400, 0x10428},
      {0x1E922, 0x1E900, 0x1E922}, {0x1E943, 0x1E921, 0x1E943}, {0x1E900, 0x1E900, 0x1E922},
      {0x20000, 0x20000, 0x20000}, {0x10FFFF, 0x10FFFF, 0x10FFFF}, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
      // Vithkuqi came after the case repertoire the tables keep.
      {0x10597, 0x10597, 0x10597},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_upper_cp(c.cp), c.upper) << std::hex << c.cp;
    EXPECT_EQ(to_lower_cp(c.cp), c.lower) << std::hex << c.cp;
  }
}

TEST(CaseFold, PairCountsAndBounds) {
  // The tables hold 1,250 / 1,158 pairs up to U+FFFF and 225 of each above,
  // from U+10428 -> U+10400 to U+1E943 -> U+1E921.
  uint32_t up_bmp = 0, low_bmp = 0, up_high = 0, low_high = 0;
  uint32_t first_high = 0, last_high = 0;
  for (uint32_t cp = 0; cp <= MAX_CODE_POINT; cp++) {
    bool u = to_upper_cp(cp) != cp, l = to_lower_cp(cp) != cp;
    if (cp <= 0xFFFF) {
      up_bmp += u;
      low_bmp += l;
    } else {
      up_high += u;
      low_high += l;
      if (u && !first_high) first_high = cp;
      if (u) last_high = cp;
    }
    // No mapping crosses between 16-bit and wider code points.
    if (u) {
      ASSERT_EQ(cp <= 0xFFFF, to_upper_cp(cp) <= 0xFFFF) << std::hex << cp;
    }
    if (l) {
      ASSERT_EQ(cp <= 0xFFFF, to_lower_cp(cp) <= 0xFFFF) << std::hex << cp;
    }
  }
  EXPECT_EQ(up_bmp, 1250u);
  EXPECT_EQ(low_bmp, 1158u);
  EXPECT_EQ(up_high, 225u);
  EXPECT_EQ(low_high, 225u);
  EXPECT_EQ(first_high, 0x10428u);
  EXPECT_EQ(last_high, 0x1E943u);
}

TEST(CaseFold, FoldKeyMatchesUpperCaseComparison) {
  // fold_lower(a) == fold_lower(b) exactly when to_upper_cp(a) ==
  // to_upper_cp(b): fold keeps the upper-case class and names it by one
  // member. The fast ASCII paths agree with the tables.
  for (uint32_t cp = 0; cp <= MAX_CODE_POINT; cp++) {
    uint32_t f = fold_lower(cp);
    ASSERT_EQ(to_upper_cp(f), to_upper_cp(cp)) << std::hex << cp;
    ASSERT_EQ(fold_lower(to_upper_cp(cp)), f) << std::hex << cp;
    if (cp < 0x80) {
      ASSERT_EQ(to_upper_cp(cp), to_upper_slow(cp));
      ASSERT_EQ(to_lower_cp(cp), to_lower_slow(cp));
      ASSERT_EQ(f, fold_lower_slow(cp));
    }
  }
  EXPECT_EQ(fold_lower(0xE9), fold_lower(0xC9));
  EXPECT_EQ(compare_nocase_cp(0xE9, 0xC9), 0);
  EXPECT_EQ(fold_lower('S'), fold_lower(0xDF));   // ß upper-cases to S
  EXPECT_NE(fold_lower(0x212A), fold_lower('k'));  // the Kelvin sign upper-cases to itself
  EXPECT_EQ(fold_lower('Q'), uint32_t('q'));
  // Case-insensitive order compares upper cases: 'a' sorts before '_'.
  EXPECT_LT(compare_nocase_cp('a', '_'), 0);
}

TEST(CaseFold, SwapCase) {
  EXPECT_EQ(swap_case_cp('a'), uint32_t('A'));
  EXPECT_EQ(swap_case_cp('A'), uint32_t('a'));
  EXPECT_EQ(swap_case_cp('1'), uint32_t('1'));
  EXPECT_EQ(swap_case_cp(0x1E900), 0x1E922u);
}

TEST(CaseFold, RunStopsWhereTheUnitIsTooNarrow) {
  uint8_t text[] = {'a', 0xE9, 0xFF, 'b'};
  EXPECT_EQ(change_case_run(text, 4, 1, true), 2u);
  EXPECT_EQ(std::memcmp(text, "A\xC9\xFF" "b", 4), 0);
  EXPECT_EQ(change_case_run(text, 4, 1, false), 4u);
  EXPECT_EQ(std::memcmp(text, "a\xE9\xFF" "b", 4), 0);
}

TEST(CaseFold, ChangeCaseWidensLatin1) {
  RootedNode s(make_string({'a', 0xFF, 0xB5, 'z'}, 1));
  change_case(s, 0, CASE_TO_TAIL, true);
  EXPECT_EQ(node_buffer(s)->unit(), 2u);
  EXPECT_EQ(chars_of(s), (Chars{'A', 0x178, 0x39C, 'Z'}));
  change_case(s, 0, CASE_TO_TAIL, false);
  EXPECT_EQ(chars_of(s), (Chars{'a', 0xFF, 0x3BC, 'z'}));  // Greek mu now: no way back to U+00B5
}

TEST(CaseFold, ChangeCaseUnit4) {
  RootedNode s(make_string({0x1E922, 'x', 0x20000, 0x10428}, 4));
  change_case(s, 0, CASE_TO_TAIL, true);
  EXPECT_EQ(chars_of(s), (Chars{0x1E900, 'X', 0x20000, 0x10400}));
}

TEST(CaseFold, PartCountIsClampedToTheTail) {
  struct Case {
    int64_t index, count;
    const char* want;
  } cases[] = {
      {4, 10, "abcdEF"},         {4, CASE_TO_TAIL, "abcdEF"}, {0, -3, "abcdef"}, {0, 0, "abcdef"},
      {2, 2, "abCDef"},          {9, 5, "abcdef"},            {-4, 2, "ABcdef"},
  };
  for (const Case& c : cases) {
    // A buffer with spare room filled with a marker: nothing past the tail
    // may change.
    RootedNode s(alloc_series(32, 1, 0));
    Buffer* b = node_buffer(s);
    std::memset(b->data(), 'q', b->capacity);
    std::memcpy(b->data(), "abcdef", 6);
    b->tail = 6;
    change_case(s, c.index, c.count, true);
    b = node_buffer(s);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b->data()), 6), c.want) << c.index << " " << c.count;
    EXPECT_EQ(b->tail, 6u);
    for (uint32_t i = 6; i < b->capacity; i++) ASSERT_EQ(b->data()[i], 'q');
  }
}

}  // namespace
}  // namespace vel
