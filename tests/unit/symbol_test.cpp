#include <gtest/gtest.h>

#include <string>

#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "unicode.h"
#include "word_test_util.h"

using namespace vel;

namespace {

uint32_t unit_of(NodeId n) { return node_buffer(n)->unit(); }

}  // namespace

TEST(Symbol, CaseVariantsKeepTheirIdsAndAliasTheFirst) {
  uint32_t foo = symbol::make("SymFoo");
  uint32_t lower = symbol::make("symfoo");
  uint32_t upper = symbol::make("SYMFOO");
  EXPECT_NE(foo, lower);
  EXPECT_NE(lower, upper);
  EXPECT_EQ(symbol::get_alias(foo), -1);
  EXPECT_EQ(symbol::get_alias(lower), int32_t(foo));
  EXPECT_EQ(symbol::get_alias(upper), int32_t(foo));
  for (uint32_t id : {foo, lower, upper}) EXPECT_EQ(symbol::resolve(id), foo);
  // Exact interning finds each written form again.
  EXPECT_EQ(symbol::make("symfoo"), lower);
  EXPECT_EQ(symbol::make("SymFoo"), foo);
  EXPECT_EQ(symbol::text(upper), "SYMFOO");

  // make* answers an existing variant and makes nothing.
  uint32_t before = symbol::count();
  uint32_t any = symbol::make_star("sYmFoO");
  EXPECT_EQ(symbol::resolve(any), foo);
  EXPECT_EQ(symbol::count(), before);
  // ... and a new text becomes a canonical symbol.
  uint32_t fresh = symbol::make_star("SymFresh");
  EXPECT_EQ(symbol::count(), before + 1);
  EXPECT_EQ(symbol::get_alias(fresh), -1);
}

TEST(Symbol, LettersOutsideAsciiAreNotFolded) {
  uint32_t lower = symbol::make("sym\xC3\xA9t\xC3\xA9");  // symété
  uint32_t upper = symbol::make("sym\xC3\x89T\xC3\x89");  // symÉTÉ
  EXPECT_NE(lower, upper);
  EXPECT_EQ(symbol::get_alias(lower), -1);
  EXPECT_EQ(symbol::get_alias(upper), -1);
  EXPECT_NE(symbol::resolve(lower), symbol::resolve(upper));
  // ASCII letters around them still fold.
  uint32_t mixed = symbol::make("SYM\xC3\xA9T\xC3\xA9");
  EXPECT_EQ(symbol::resolve(mixed), lower);
}

TEST(Symbol, EmptyTextIsASymbol) {
  uint32_t e = symbol::make("");
  EXPECT_TRUE(symbol::valid(e));
  EXPECT_EQ(symbol::text(e), "");
  EXPECT_EQ(symbol::make(""), e);
  Cell c = symbol::get(e);
  EXPECT_EQ(node_buffer(c.w3)->used(), 0u);
  EXPECT_EQ(node_buffer(c.w3)->data()[0], 0);  // the NUL after the tail
}

TEST(Symbol, DisplayTextIsMadeOnceInTheNarrowestUnit) {
  uint32_t latin = symbol::make("sym-caf\xC3\xA9");   // é fits one byte
  uint32_t wide = symbol::make("sym-\xE2\x82\xAC");     // € needs two
  NodeId a = symbol::cached_text(latin);
  ASSERT_NE(a, 0u);
  EXPECT_EQ(symbol::cached_text(latin), a);
  EXPECT_EQ(symbol::get(latin).w2, a);
  EXPECT_EQ(unit_of(a), 1u);
  EXPECT_EQ(string_text(a), "sym-caf\xC3\xA9");
  NodeId b = symbol::cached_text(wide);
  EXPECT_EQ(unit_of(b), 2u);
  EXPECT_EQ(node_buffer(b)->length(), 5u);
  // A bad id has no text rather than a wild read.
  EXPECT_EQ(symbol::cached_text(symbol::count() + 5), 0u);
  EXPECT_EQ(symbol::text(0), "");
  EXPECT_EQ(symbol::resolve(0), 0u);
}

TEST(Symbol, FromStringWithALimit) {
  RootedNode s(make_string(8));
  append_utf8(s, "abc\xC3\xA9xyz");
  uint32_t all = symbol::make_from_string(series_cell(TYPE_STRING, s, 1));
  EXPECT_EQ(symbol::text(all), "bc\xC3\xA9xyz");
  uint32_t part = symbol::make_from_string(series_cell(TYPE_STRING, s, 1), 3);
  EXPECT_EQ(symbol::text(part), "bc\xC3\xA9");
}

TEST(Symbol, TextComparisonFoldsExceptForStrictAndCaseSort) {
  uint32_t a = symbol::make("apple"), A = symbol::make("Apple"), b = symbol::make("apricot");
  uint32_t ap = symbol::make("app");
  struct Case {
    uint32_t x, y;
    int op;
    int32_t want;
  } cases[] = {
      {a, b, CMP_LESSER, -1},     {b, a, CMP_LESSER, 1},      {a, A, CMP_LESSER, 0},
      {A, a, CMP_CASE_SORT, -1},  {A, a, CMP_STRICT_EQUAL, -1}, {ap, a, CMP_SORT, -1},
      {a, ap, CMP_SORT, 1},       {a, a, CMP_SAME, 0},          {a, A, CMP_SAME, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(symbol::compare_text(c.x, c.y, c.op), c.want) << symbol::text(c.x) << " " << symbol::text(c.y) << " " << c.op;
  // symbol! cells compare the same way through their registered action.
  Cell x = symbol::get(a), y = symbol::get(b), i = integer_cell(1);
  EXPECT_LT(compare_cells(&x, &y, CMP_LESSER), 0);
  EXPECT_EQ(compare_cells(&x, &i, CMP_EQUAL), CMP_INCOMPARABLE);
}

TEST(Symbol, GrowingPastSixteenBitIdsKeepsIdsAndAliases) {
  uint32_t first = symbol::make("big-sym-0");
  std::string text;
  for (uint32_t i = 1; i == 1 || symbol::count() < 70000; i++) {
    text = "big-sym-" + std::to_string(i);
    uint32_t id = symbol::make(text);
    ASSERT_EQ(id, symbol::count());  // ids are handed out in order
  }
  uint32_t canonical_high = symbol::make("BIG-HIGH-canonical");
  uint32_t variant_high = symbol::make("big-high-CANONICAL");
  EXPECT_GT(canonical_high, 65535u);
  EXPECT_EQ(symbol::get_alias(variant_high), int32_t(canonical_high));
  EXPECT_EQ(symbol::resolve(variant_high), canonical_high);
  // Everything interned before still resolves to itself by text.
  EXPECT_EQ(symbol::make("big-sym-0"), first);
  EXPECT_EQ(symbol::make(text), symbol::count() - 2);
  EXPECT_EQ(symbol::text(canonical_high), "BIG-HIGH-canonical");
}
