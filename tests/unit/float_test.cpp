// float!: the form and mold budgets, the 32-bit tolerance, the action's own
// type error and the operator kernel.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "evaluator/arith.h"
#include "action_frames.h"
#include "scalar_test_util.h"

using namespace vel;
using namespace vel::scalartest;

// What scripts see of form and mold, equality and order (the tolerance of
// = and <>, same? by bits, NaN ordering with nothing and sorting last) is in
// tests/vel/datatypes/float.vel. Here: the budgets of form and mold, the
// 32-bit tolerance the point types use, the action's own type error and the
// operator kernel.
TEST(Float, FormAndMoldBudgets) {
  NodeId out = make_string(4);
  EXPECT_EQ(form_value(F(1e16), out, nullptr, 100), 94);
  EXPECT_EQ(mold_value(F(1e16), out, 0, nullptr, 100), 81);
}

TEST(Float, ThirtyTwoBitTolerance) {
  EXPECT_TRUE(float_almost_equal32(1.0f, std::nextafter(1.0f, 2.0f)));
  EXPECT_FALSE(float_almost_equal32(1.0f, 1.0001f));
  EXPECT_FALSE(float_almost_equal32(std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max()));
}

// The action's own type error for none, which the operator's argument check
// keeps scripts from reaching.
TEST(Float, ActionTypeError) { EXPECT_EQ(action_error(act::add::SHAPE, {F(1.0), N()}), ErrId::INVALID_TYPE); }

TEST(Float, OperatorKernel) {
  using namespace vel::interp;
  Cell out;
  ASSERT_TRUE(cell_op(FOP_SUB, F(0.5), F(0.25), &out));
  EXPECT_EQ(out.f64(), 0.25);
  ASSERT_TRUE(cell_op(FOP_ADD, F(0.1), F(0.2), &out));
  EXPECT_EQ(molded(out), "0.30000000000000004");
  EXPECT_FALSE(cell_op(FOP_ADD, F(1.0), P(1.0), &out));
  EXPECT_FALSE(cell_op(FOP_REM, F(1.0), F(1.0), &out));
}
