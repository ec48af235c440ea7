// integer!: the actions' own type errors, the form budget, the fast paths
// and the operator kernel the walker and the compiled forms share.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "datatypes/pair.h"
#include "action_frames.h"
#include "datatypes/point.h"
#include "evaluator/arith.h"
#include "scalar_test_util.h"

using namespace vel;
using namespace vel::scalartest;

namespace {

const char* action_name(ActionId a) {
  switch (a) {
    case ACT_ADD: return "add";
    case ACT_SUBTRACT: return "subtract";
    case ACT_MULTIPLY: return "multiply";
    case ACT_DIVIDE: return "divide";
    case ACT_REMAINDER: return "remainder";
    case ACT_AND_T: return "and~";
    case ACT_OR_T: return "or~";
    case ACT_XOR_T: return "xor~";
    default: return "?";
  }
}

}  // namespace

// What scripts see of integer! (the result types of the arithmetic, the
// edge-value sweep, unary actions, power, round, to and make, comparison and
// text) is in tests/vel/datatypes/integer.vel. Here: the type errors of the
// actions themselves, which the operators' argument checks keep scripts from
// reaching, the form budget, the fast paths and the operator kernel.
TEST(Integer, ActionTypeErrors) {
  struct Case {
    ActionShape action;
    Cell a, b;
    ErrId error;
  } cases[] = {
      {act::add::SHAPE, I(1), N(), ErrId::INVALID_TYPE},
      {act::add::SHAPE, I(1), S("2"), ErrId::INVALID_TYPE},
      {act::and_t::SHAPE, I(1), F(1.0), ErrId::CANNOT_USE},
      {act::xor_t::SHAPE, I(1), P(1.0), ErrId::CANNOT_USE},
  };
  for (const Case& c : cases)
    EXPECT_EQ(action_error(c.action, {c.a, c.b}), c.error)
        << molded(c.a) << " " << action_name(c.action.action) << " " << molded(c.b);
}

TEST(Integer, FormBudget) {
  for (int32_t v : {0, 42, -7, INT_MIN, INT_MAX}) {
    NodeId out = make_string(4);
    std::string text = std::to_string(v);
    EXPECT_EQ(form_value(I(v), out, nullptr, 20), 20 - int32_t(text.size()));
    EXPECT_EQ(string_text(out), text);
  }
}

// The operator kernel the walker and the compiled forms share: it answers
// only where the action or comparison native gives the same value.
TEST(Integer, OperatorKernel) {
  using namespace vel::interp;
  Cell out;
  ASSERT_TRUE(cell_op(FOP_ADD, I(1), I(2), &out));
  EXPECT_EQ(out.i2(), 3);
  ASSERT_TRUE(cell_op(FOP_MUL, F(1.5), F(2.0), &out));
  EXPECT_EQ(out.f64(), 3.0);
  // An integer beside a float is taken as a float, on either side.
  ASSERT_TRUE(cell_op(FOP_ADD, I(1), F(2.5), &out));
  EXPECT_TRUE(out.is(TYPE_FLOAT));
  EXPECT_EQ(out.f64(), 3.5);
  ASSERT_TRUE(cell_op(FOP_SUB, F(1e10), I(INT_MIN), &out));
  EXPECT_EQ(out.f64(), 1e10 + 2147483648.0);
  // Integer sums and products that overflow are floats.
  ASSERT_TRUE(cell_op(FOP_ADD, I(INT_MAX), I(1), &out));
  EXPECT_EQ(molded(out), "2147483648.0");
  ASSERT_TRUE(cell_op(FOP_MUL, I(INT_MIN), I(-1), &out));
  EXPECT_EQ(out.f64(), 2147483648.0);
  // Exact integer quotients only; the rest go through the action.
  ASSERT_TRUE(cell_op(FOP_DIV, I(6), I(3), &out));
  EXPECT_EQ(out.i2(), 2);
  EXPECT_FALSE(cell_op(FOP_DIV, I(7), I(2), &out));
  EXPECT_FALSE(cell_op(FOP_DIV, I(6), I(0), &out));
  EXPECT_FALSE(cell_op(FOP_REM, I(INT_MIN), I(-1), &out));
  EXPECT_FALSE(cell_op(FOP_DIV, I(6), F(3.0), &out));
  EXPECT_FALSE(cell_op(FOP_ADD, I(1), make_cell(TYPE_PERCENT), &out));

  ASSERT_TRUE(cell_op(FOP_LT, I(INT_MIN), I(0), &out));
  EXPECT_TRUE(out.is(TYPE_LOGIC) && out.w1 == 1);
  // Float equality allows for rounding: the native's to answer.
  EXPECT_FALSE(cell_op(FOP_EQ, I(1), F(1.0), &out));
  EXPECT_FALSE(cell_op(FOP_EQ, F(0.1), F(0.1), &out));
  ASSERT_TRUE(cell_op(FOP_GE, F(std::nan("")), I(0), &out));
  EXPECT_EQ(out.w1, 0u);
  // Chars compare by code point, with chars only.
  ASSERT_TRUE(cell_op(FOP_LT, char_cell('A'), char_cell('a'), &out));
  EXPECT_EQ(out.w1, 1u);
  EXPECT_FALSE(cell_op(FOP_EQ, char_cell('a'), I(97), &out));
  EXPECT_FALSE(cell_op(FOP_ADD, char_cell('a'), I(1), &out));
  // A comparison's logic value on the left is the native's to refuse.
  ASSERT_TRUE(cell_op(FOP_EQ, I(1), I(1), &out));
  EXPECT_FALSE(cell_op(FOP_EQ, out, I(1), &out));
}
