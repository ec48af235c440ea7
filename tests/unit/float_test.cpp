// float!: form against mold and the pretty flag, tolerant and strict
// equality, NaN orderings, the action's own type error and the operator
// kernel.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "evaluator/arith.h"
#include "action_frames.h"
#include "scalar_test_util.h"

using namespace vel;
using namespace vel::scalartest;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

// Sets pretty? for one test and puts it back.
struct PrettyFlag {
  bool saved = g_float_options.pretty;
  explicit PrettyFlag(bool on) { g_float_options.pretty = on; }
  ~PrettyFlag() { g_float_options.pretty = saved; }
};

}  // namespace

TEST(Float, FormAgainstMold) {
  PrettyFlag pretty(true);
  struct Case {
    double v;
    const char* form;
    const char* mold;
  } cases[] = {
      {1e16, "1.0e16", "10000000000000000.0"},
      {1e17, "1.0e17", "1.0e17"},
      {3.0, "3.0", "3.0"},
      {1e-7, "1.0e-7", "0.0000001"},
      {0.1 + 0.2, "0.3", "0.30000000000000004"},
      {NaN, "1.#NaN", "1.#NaN"},
      {INF, "1.#INF", "1.#INF"},
      {-INF, "-1.#INF", "-1.#INF"},
      {-0.0, "0.0", "-0.0"},
      {0.0, "0.0", "0.0"},
      {-1.5, "-1.5", "-1.5"},
      {123456789.125, "123456789.125", "123456789.125"},
      {1.0 / 3.0, "0.3333333333333333", "0.3333333333333333"},
      {2.0 / 3.0, "0.6666666666666666", "0.6666666666666666"},
      {1e300, "1.0e300", "1.0e300"},
      {5e-324, "0.0", "5.0e-324"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formed(F(c.v)), c.form) << c.mold;
    EXPECT_EQ(molded(F(c.v)), c.mold);
    EXPECT_EQ(molded(F(c.v), MOLD_ALL), c.mold);
  }
  NodeId out = make_string(4);
  EXPECT_EQ(form_value(F(1e16), out, nullptr, 100), 94);
  EXPECT_EQ(mold_value(F(1e16), out, 0, nullptr, 100), 81);
}

TEST(Float, PrettyFlagDecidesTinyValues) {
  {
    PrettyFlag pretty(true);
    EXPECT_EQ(formed(F(1e-17)), "0.0");
  }
  {
    PrettyFlag pretty(false);
    EXPECT_EQ(formed(F(1e-17)), "1.0e-17");
  }
  EXPECT_EQ(molded(F(1e-17)), "1.0e-17");  // mold never rounds
}

TEST(Float, TolerantAndStrictEquality) {
  const double one = 1.0;
  struct Case {
    double a, b;
    bool equal, strict;
  } cases[] = {
      {0.1 + 0.2, 0.3, true, false},
      {one, std::nextafter(one, 2.0), true, false},
      {1e20, 1e20 + 10 * std::ldexp(1.0, 14), true, false},   // 10 units in the last place
      {1e20, 1e20 + 11 * std::ldexp(1.0, 14), false, false},  // 11
      {1e-300, -1e-300, true, false},                         // within epsilon of each other
      {0.0, -0.0, true, true},
      {NaN, NaN, false, false},
      {INF, INF, true, true},
      {INF, std::numeric_limits<double>::max(), false, false},
      {-INF, INF, false, false},
      {1.0, 1.5, false, false},
  };
  for (const Case& c : cases) {
    Cell a = F(c.a), b = F(c.b);
    EXPECT_EQ(compare_values(&a, &b, CMP_EQUAL), c.equal) << c.a << " = " << c.b;
    EXPECT_EQ(compare_values(&a, &b, CMP_NOT_EQUAL), !c.equal) << c.a << " <> " << c.b;
    EXPECT_EQ(compare_values(&a, &b, CMP_STRICT_EQUAL), c.strict) << c.a << " == " << c.b;
  }
  // same? compares bits: the zeros differ, a NaN is the same as itself.
  Cell z = F(0.0), nz = F(-0.0), n = F(NaN);
  EXPECT_FALSE(compare_values(&z, &nz, CMP_SAME));
  EXPECT_TRUE(compare_values(&n, &n, CMP_SAME));
  // Exact-type modes against another type.
  Cell i = I(1), f = F(1.0), p = P(1.0);
  EXPECT_TRUE(compare_values(&f, &i, CMP_EQUAL));
  EXPECT_FALSE(compare_values(&f, &i, CMP_STRICT_EQUAL));
  EXPECT_FALSE(compare_values(&f, &p, CMP_SAME));
  EXPECT_TRUE(compare_values(&f, &p, CMP_EQUAL));

  EXPECT_TRUE(float_almost_equal32(1.0f, std::nextafter(1.0f, 2.0f)));
  EXPECT_FALSE(float_almost_equal32(1.0f, 1.0001f));
  EXPECT_FALSE(float_almost_equal32(std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max()));
}

TEST(Float, NaNOrdersWithNothing) {
  const int orderings[] = {CMP_LESSER, CMP_LESSER_OR_EQUAL, CMP_GREATER, CMP_GREATER_OR_EQUAL};
  const Cell others[] = {F(1.0), F(NaN), F(INF), F(-INF), I(0), I(INT_MIN), P(0.5)};
  for (int op : orderings) {
    for (const Cell& other : others) {
      Cell n = F(NaN);
      EXPECT_FALSE(compare_values(&n, &other, op)) << "NaN op " << op << " " << molded(other);
      EXPECT_FALSE(compare_values(&other, &n, op)) << molded(other) << " op " << op << " NaN";
    }
  }
  // Sorting still has a total order: NaN after every number.
  Cell n = F(NaN), big = F(INF), i = I(5);
  EXPECT_GT(compare_cells(&n, &big, CMP_SORT), 0);
  EXPECT_LT(compare_cells(&big, &n, CMP_SORT), 0);
  EXPECT_EQ(compare_cells(&n, &n, CMP_SORT), 0);
  EXPECT_LT(compare_cells(&i, &n, CMP_SORT), 0);
  // And ordinary values order as IEEE says.
  Cell a = F(-0.0), b = F(0.0), c = F(1.5);
  EXPECT_TRUE(compare_values(&a, &b, CMP_LESSER_OR_EQUAL));
  EXPECT_FALSE(compare_values(&a, &b, CMP_LESSER));
  EXPECT_TRUE(compare_values(&c, &i, CMP_LESSER));
  EXPECT_EQ(compare_error(F(1.0), S("1"), CMP_LESSER), ErrId::INVALID_COMPARE);
}

// What scripts see of the arithmetic (remainder, result types, unary
// actions, parity, power, round and to/make) is in
// tests/vel/datatypes/float.vel. The action's own type error for none, which
// the operator's argument check keeps scripts from reaching, stays here.
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
