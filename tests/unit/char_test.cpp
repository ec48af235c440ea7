// char!: range-checked arithmetic, conversions, the molded escapes and
// comparison by code point.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "datatypes/char.h"
#include "roots.h"
#include "scalar_test_util.h"

using namespace vel;
using namespace vel::scalartest;

TEST(Char, Arithmetic) {
  struct Case {
    ActionId action;
    Cell a, b;
    uint32_t expected;
  } cases[] = {
      {ACT_ADD, C('a'), I(1), 'b'},
      {ACT_SUBTRACT, C('a'), I(32), 'A'},
      {ACT_SUBTRACT, C('a'), C('a'), 0},
      {ACT_MULTIPLY, C('a'), I(2), 194},
      {ACT_DIVIDE, C('e'), I(2), '2'},  // truncating, never a float
      {ACT_REMAINDER, C('e'), I(10), 1},
      {ACT_ADD, C('a'), F(1.9), 'b'},
      {ACT_ADD, C(0x10FFFE), I(1), 0x10FFFF},
      {ACT_AND_T, C('a'), I(0xDF), 'A'},
      {ACT_OR_T, C('A'), I(0x20), 'a'},
      {ACT_XOR_T, C('a'), C(0x20), 'A'},
  };
  for (const Case& c : cases) {
    Cell r = act(c.action, {c.a, c.b});
    ASSERT_TRUE(r.is(TYPE_CHAR)) << molded(c.a) << " " << molded(c.b);
    EXPECT_EQ(r.w2, c.expected) << molded(c.a) << " " << molded(c.b);
  }
  // An integer on the left keeps its own type.
  EXPECT_STREQ(type_of(act(ACT_ADD, {I(1), C('a')})), "integer!");
}

TEST(Char, ArithmeticErrors) {
  struct Case {
    ActionId action;
    Cell a, b;
    ErrId error;
  } cases[] = {
      {ACT_ADD, C(0x10FFFF), I(1), ErrId::OVERFLOW},
      {ACT_SUBTRACT, C('a'), I(200), ErrId::OVERFLOW},
      {ACT_ADD, C('a'), I(INT_MAX), ErrId::OVERFLOW},
      {ACT_MULTIPLY, C(0x10FFFF), I(INT_MIN), ErrId::OVERFLOW},
      {ACT_ADD, C('a'), F(1e10), ErrId::OVERFLOW},
      {ACT_ADD, C('a'), F(std::nan("")), ErrId::OVERFLOW},
      {ACT_DIVIDE, C('a'), I(0), ErrId::ZERO_DIVIDE},
      {ACT_REMAINDER, C('a'), C(0), ErrId::ZERO_DIVIDE},
      {ACT_ADD, C('a'), N(), ErrId::INVALID_TYPE},
      {ACT_ADD, C('a'), P(0.5), ErrId::INVALID_TYPE},
      {ACT_XOR_T, C('a'), I(-1), ErrId::OVERFLOW},
  };
  for (const Case& c : cases) EXPECT_EQ(act_error(c.action, {c.a, c.b}), c.error) << molded(c.a) << " " << molded(c.b);
}

TEST(Char, ToAndMake) {
  struct Case {
    Cell spec;
    std::optional<uint32_t> expected;
    ErrId error;
  } cases[] = {
      {I(97), 'a', {}},
      {I(0x10FFFF), 0x10FFFF, {}},
      {I(1114112), {}, ErrId::OUT_OF_RANGE},
      {I(-1), {}, ErrId::OUT_OF_RANGE},
      {I(INT_MIN), {}, ErrId::OUT_OF_RANGE},
      {F(97.9), 'a', {}},
      {F(-0.5), 0, {}},
      {F(-1.0), {}, ErrId::OUT_OF_RANGE},
      {F(std::nan("")), {}, ErrId::OUT_OF_RANGE},
      {F(INFINITY), {}, ErrId::OUT_OF_RANGE},
      {P(0.5), 0, {}},
      {C(0x20AC), 0x20AC, {}},
      {S("xyz"), 'x', {}},
      {S("xyz", 2), 'z', {}},
      {S({0x20AC, 'a'}), 0x20AC, {}},
      {S({0x1F600}), 0x1F600, {}},
      {S(""), {}, ErrId::BAD_TO_ARG},
      {S("ab", 2), {}, ErrId::BAD_TO_ARG},
      {BIN({0xE2, 0x82, 0xAC, 0x41}), 0x20AC, {}},
      {BIN({0x41, 0xF0, 0x9F, 0x98, 0x80}, 1), 0x1F600, {}},
      {BIN({0xE2, 0x82}), {}, ErrId::INVALID_UTF8},
      {BIN({0xC0, 0x80}), {}, ErrId::INVALID_UTF8},
      {BIN({}), {}, ErrId::BAD_TO_ARG},
      {N(), {}, ErrId::BAD_TO_ARG},
      {L(true), {}, ErrId::BAD_TO_ARG},
  };
  for (ActionId a : {ACT_TO, ACT_MAKE}) {
    for (const Case& c : cases) {
      if (c.expected) {
        Cell r = act(a, {DT(TYPE_CHAR), c.spec});
        ASSERT_TRUE(r.is(TYPE_CHAR)) << molded(c.spec);
        EXPECT_EQ(r.w2, *c.expected) << molded(c.spec);
      } else {
        EXPECT_EQ(act_error(a, {DT(TYPE_CHAR), c.spec}), c.error) << molded(c.spec);
      }
    }
  }
}

TEST(Char, MoldEscapes) {
  struct Case {
    uint32_t cp;
    const char* mold;
  } cases[] = {
      {'a', "#\"a\""},        {'\t', "#\"^-\""},     {'\n', "#\"^/\""},      {'\r', "#\"^M\""},
      {0, "#\"^@\""},         {1, "#\"^A\""},        {27, "#\"^[\""},        {28, "#\"^\\\""},
      {29, "#\"^]\""},        {30, "#\"^(1E)\""},    {31, "#\"^_\""},        {'"', "#\"^\"\""},
      {'^', "#\"^^\""},       {127, "#\"^~\""},      {128, "#\"^(80)\""},    {159, "#\"^(9F)\""},
      {160, "#\"\u00A0\""},   {'{', "#\"{\""},       {0x20AC, "#\"\u20AC\""}, {0x1F600, "#\"\U0001F600\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(molded(C(c.cp)), c.mold) << c.cp;
    EXPECT_EQ(molded(C(c.cp), MOLD_ALL), c.mold) << c.cp;
  }
  NodeId out = make_string(4);
  EXPECT_EQ(mold_value(C('\t'), out, 0, nullptr, 100), 95);
  EXPECT_EQ(mold_value(C(30), out, 0, nullptr, 100), 92);
  // The escape with the all flag writes every code point above 127 in hex.
  NodeId all = make_string(4);
  EXPECT_EQ(append_escaped_char(all, 0x20AC, true), 7);
  EXPECT_EQ(string_text(all), "^(20AC)");
}

TEST(Char, Form) {
  EXPECT_EQ(formed(C('\t')), "\t");
  EXPECT_EQ(formed(C(0x1F600)), "\U0001F600");
  NodeId out = make_string(4);
  EXPECT_EQ(form_value(C(0x20AC), out, nullptr, 10), 9);
}

TEST(Char, Compare) {
  struct Case {
    Cell a, b;
    int op;
    bool expected;
  } cases[] = {
      {C('a'), I(97), CMP_EQUAL, true},        {C('a'), I(97), CMP_STRICT_EQUAL, false},
      {C('a'), C('a'), CMP_STRICT_EQUAL, true}, {C('a'), C('A'), CMP_EQUAL, false},
      {C('a'), C('b'), CMP_LESSER, true},      {C(0x10FFFF), I(-1), CMP_GREATER, true},
      {C('a'), F(97.0), CMP_EQUAL, false},     {C('a'), N(), CMP_NOT_EQUAL, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(compare_values(&c.a, &c.b, c.op), c.expected) << molded(c.a) << " op " << c.op << " " << molded(c.b);
  EXPECT_EQ(compare_error(C('a'), F(1.0), CMP_LESSER), ErrId::INVALID_COMPARE);
}

TEST(Char, InheritsIntegerUnaryActions) {
  Cell r = act(ACT_ABSOLUTE, {C('a')});
  EXPECT_TRUE(r.is(TYPE_CHAR) && r.w2 == 'a');
  EXPECT_EQ(act(ACT_EVEN_Q, {C('b')}).w1, 1u);
  EXPECT_EQ(act(ACT_ODD_Q, {C('b')}).w1, 0u);
  // Not listed for char!: unsupported.
  EXPECT_EQ(act_error(ACT_NEGATE, {C('a')}), ErrId::EXPECT_ARG);
  EXPECT_EQ(act_error(ACT_POWER, {C('a'), I(2)}), ErrId::EXPECT_ARG);
}

// The paths that allocate, with every buffer moving at every allocation:
// mold widening its output, the makers appending to a block, and the error
// of an invalid UTF-8 sequence building its binary.
TEST(Char, AllocatingPathsUnderCollectorStress) {
  const uint32_t cps[] = {'a', '\t', 0x20AC, 0x1F600, 159};
  std::string expected;
  for (uint32_t cp : cps) expected += molded(C(cp));

  CollectingScope collecting(1);
  uint32_t cycles = g_gc.cycles;
  RootedNode out(make_string(1));
  for (uint32_t cp : cps) mold_value(C(cp), out);
  EXPECT_EQ(string_text(out), expected);

  RootedNode block(alloc_cells(1));
  for (int i = 0; i < 40; i++) {
    char_make_in(block, uint32_t('a' + i % 26));
    integer_make_in(block, i);
    float_make_in(block, i + 0.5);
  }
  Buffer* b = node_buffer(block);
  ASSERT_EQ(b->length(), 120u);
  EXPECT_EQ(b->cells()[117].w2, uint32_t('a' + 39 % 26));
  EXPECT_EQ(b->cells()[118].i2(), 39);
  EXPECT_EQ(b->cells()[119].f64(), 39.5);

  RootedCell bin(BIN({0xE2, 0x28, 0xA1}));
  try {
    (void)act(ACT_TO, {DT(TYPE_CHAR), *bin});
    ADD_FAILURE() << "no error";
  } catch (const VelError& e) {
    EXPECT_EQ(e.id, ErrId::INVALID_UTF8);
    ASSERT_TRUE(e.args[0].is(TYPE_BINARY));
    Buffer* bad = node_buffer(e.args[0].node());
    EXPECT_EQ(bad->used(), 3u);
    EXPECT_EQ(bad->head_ptr()[0], 0xE2);
  }
  EXPECT_GT(g_gc.cycles, cycles + 10);  // it did run, at every growth
}
