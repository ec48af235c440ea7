// float!: form against mold, tolerant and strict equality, NaN orderings,
// the kernel's non-finite rules, round, conversions and result typing.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "evaluator/arith.h"
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

TEST(Float, RemainderTable) {
  struct Case {
    Cell a, b;
    double expected;
  } cases[] = {
      {F(5.5), F(2.0), 1.5},  {F(-5.5), F(2.0), -1.5}, {F(5.5), F(-2.0), 1.5}, {F(1.0), F(INF), 1.0},
      {F(-1.0), F(-INF), -1.0}, {F(INF), F(2.0), NaN}, {F(NaN), F(INF), NaN},  {F(INF), F(INF), NaN},
      {F(1.0), F(NaN), NaN},  {F(1.0), F(0.0), NaN},   {F(5.5), I(2), 1.5},    {I(7), F(2.5), 2.0},
  };
  for (const Case& c : cases) {
    Cell r = act(ACT_REMAINDER, {c.a, c.b});
    ASSERT_TRUE(r.is(TYPE_FLOAT));
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(r.f64())) << molded(c.a) << " % " << molded(c.b);
    } else {
      EXPECT_EQ(r.f64(), c.expected) << molded(c.a) << " % " << molded(c.b);
    }
  }
}

TEST(Float, ArithmeticAndResultTypes) {
  struct Case {
    ActionId action;
    Cell a, b;
    const char* type;
    double expected;
  } cases[] = {
      {ACT_DIVIDE, F(1.0), F(0.0), "float!", INF},
      {ACT_DIVIDE, F(-1.0), I(0), "float!", -INF},
      {ACT_ADD, F(1.0), P(0.5), "float!", 1.5},
      {ACT_ADD, P(0.5), I(1), "percent!", 1.5},
      {ACT_MULTIPLY, P(0.5), P(0.5), "percent!", 0.25},
      {ACT_ADD, F(1.0), T(2.0), "time!", 3.0},
      {ACT_ADD, P(0.5), T(2.0), "time!", 2.5},
      {ACT_ADD, F(1.0), C('a'), "float!", 98.0},
      {ACT_SUBTRACT, F(0.5), F(0.25), "float!", 0.25},
  };
  for (const Case& c : cases) {
    Cell r = act(c.action, {c.a, c.b});
    EXPECT_STREQ(type_of(r), c.type);
    EXPECT_EQ(r.f64(), c.expected);
  }
  Cell nan = act(ACT_DIVIDE, {F(0.0), F(0.0)});
  EXPECT_TRUE(std::isnan(nan.f64()));

  EXPECT_EQ(act_error(ACT_ADD, {P(0.5), C('a')}), ErrId::INVALID_TYPE);
  EXPECT_EQ(act_error(ACT_ADD, {F(1.0), N()}), ErrId::INVALID_TYPE);
  EXPECT_EQ(act_error(ACT_ADD, {F(1.0), make_cell(TYPE_DATE)}), ErrId::INVALID_TYPE);
  EXPECT_EQ(act_error(ACT_SUBTRACT, {F(1.0), make_cell(TYPE_PAIR)}), ErrId::NOT_RELATED);
  EXPECT_EQ(act_error(ACT_AND_T, {F(1.0), F(1.0)}), ErrId::EXPECT_ARG);  // no bitwise actions
}

TEST(Float, UnaryActionsAndParity) {
  EXPECT_EQ(act(ACT_NEGATE, {F(1.5)}).f64(), -1.5);
  EXPECT_TRUE(std::signbit(act(ACT_NEGATE, {F(0.0)}).f64()));
  EXPECT_EQ(act(ACT_ABSOLUTE, {F(-INF)}).f64(), INF);
  EXPECT_STREQ(type_of(act(ACT_NEGATE, {P(0.5)})), "percent!");

  struct Parity {
    double v;
    bool even, odd;
  } parities[] = {
      {2.0, true, false},  {3.0, false, true}, {-3.7, false, true}, {2.5, true, false}, {-0.0, true, false},
      {1e300, true, false}, {9007199254740993.0, true, false}, {4294967297.0, false, true},
      {NaN, false, false}, {INF, false, false}, {-INF, false, false},
  };
  for (const Parity& p : parities) {
    EXPECT_EQ(act(ACT_EVEN_Q, {F(p.v)}).w1, p.even ? 1u : 0u) << p.v;
    EXPECT_EQ(act(ACT_ODD_Q, {F(p.v)}).w1, p.odd ? 1u : 0u) << p.v;
  }
}

TEST(Float, Power) {
  EXPECT_EQ(molded(act(ACT_POWER, {F(2.0), F(0.5)})), "1.4142135623730951");
  EXPECT_EQ(act(ACT_POWER, {F(2.0), I(-1)}).f64(), 0.5);
  EXPECT_EQ(act(ACT_POWER, {F(0.0), I(-1)}).f64(), INF);
  EXPECT_STREQ(type_of(act(ACT_POWER, {P(0.5), I(2)})), "float!");
  EXPECT_EQ(act_error(ACT_POWER, {F(2.0), N()}), ErrId::EXPECT_ARG);
}

TEST(Float, RoundTable) {
  struct Case {
    Cell v;
    std::optional<Cell> scale;
    const char* mode;
    const char* mold;
    const char* type;
  } cases[] = {
      {F(1.25), F(0.1), "", "1.3", "float!"},
      {F(1.25), F(0.1), "even", "1.2", "float!"},
      {F(2.5), I(1), "", "3", "integer!"},
      {F(-2.7), {}, "down", "-2.0", "float!"},
      {F(-2.2), {}, "floor", "-3.0", "float!"},
      {F(2.1), {}, "ceiling", "3.0", "float!"},
      {F(2.5), {}, "", "3.0", "float!"},
      {F(-2.5), {}, "", "-3.0", "float!"},
      {F(2.5), {}, "even", "2.0", "float!"},
      {F(3.5), {}, "even", "4.0", "float!"},
      {F(2.5), {}, "half-down", "2.0", "float!"},
      {F(-2.5), {}, "half-ceiling", "-2.0", "float!"},
      {F(2.4), {}, "half-ceiling", "2.0", "float!"},
      {F(1234.5), I(100), "", "1200", "integer!"},
      {F(1234.5), I(-100), "", "1200", "integer!"},
      {F(0.125), F(0.01), "", "0.13", "float!"},
      {F(1e300), I(1), "", "1.0e300", "float!"},  // nothing to round at that scale
      {F(NaN), {}, "", "1.#NaN", "float!"},
      {F(INF), F(2.0), "", "1.#INF", "float!"},
      {F(7.0), F(0.0), "", "7.0", "float!"},
      {F(5e-324), F(5e-324), "", "5.0e-324", "float!"},
      {F(3e-323), F(2e-323), "", "4.0e-323", "float!"},  // a subnormal scale
      {F(1.26), P(0.1), "", "", "percent!"},
      {P(0.12345), {}, "", "", "percent!"},
  };
  for (const Case& c : cases) {
    Cell r = call_round(c.v, c.scale, c.mode);
    EXPECT_STREQ(type_of(r), c.type) << molded(c.v) << " " << c.mode;
    if (*c.mold) {
      EXPECT_EQ(molded(r), c.mold) << "round/" << c.mode << " " << molded(c.v) << " "
                                   << (c.scale ? molded(*c.scale) : "");
    }
  }
  // Percent values round in percent points; a percent scale is a fraction.
  EXPECT_DOUBLE_EQ(call_round(P(0.12345), std::nullopt).f64(), 0.12);
  EXPECT_DOUBLE_EQ(call_round(P(0.12345), F(0.1)).f64(), 0.123);
  EXPECT_DOUBLE_EQ(call_round(P(0.12345), P(0.01)).f64(), 0.12);
  EXPECT_DOUBLE_EQ(call_round(F(1.26), P(0.1)).f64(), 1.3);

  EXPECT_EQ(round_error(F(1.7e308), F(1e308)), ErrId::OVERFLOW);
  EXPECT_EQ(round_error(F(-1.7e308), F(1e308), "floor"), ErrId::OVERFLOW);
  EXPECT_EQ(round_error(F(1e10), I(1)), ErrId::OVERFLOW);  // no integer! holds it
  EXPECT_EQ(round_error(F(1.0), make_cell(TYPE_MONEY)), ErrId::NOT_RELATED);
  EXPECT_EQ(round_error(F(1.0), S("1")), ErrId::EXPECT_ARG);
}

TEST(Float, ToAndMake) {
  struct Case {
    Cell spec;
    std::optional<double> expected;
    ErrId error;
  } cases[] = {
      {I(1), 1.0, {}},
      {I(INT_MIN), -2147483648.0, {}},
      {C('a'), 97.0, {}},
      {P(0.5), 0.5, {}},
      {T(90.5), 90.5, {}},
      {F(NaN), NaN, {}},
      {BLOCK({I(1), I(2)}), 100.0, {}},
      {BLOCK({I(15), I(-1)}), 1.5, {}},
      {BLOCK({F(1.5), I(-1)}), 0.15, {}},
      {BLOCK({F(-2.5), I(3)}), -2500.0, {}},
      {BLOCK({I(1), I(400)}), INF, {}},
      {BLOCK({I(1), I(INT_MIN)}), 0.0, {}},
      {BLOCK({I(4), F(0.5)}), 4.0 * std::pow(10.0, 0.5), {}},
      {BLOCK({F(INF), I(-400)}), INF, {}},
      {BLOCK({I(1)}), {}, ErrId::BAD_TO_ARG},
      {BLOCK({I(1), I(2), I(3)}), {}, ErrId::BAD_TO_ARG},
      {BLOCK({S("1"), I(2)}), {}, ErrId::BAD_TO_ARG},
      {BIN({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}), 1.0, {}},
      {BIN({0x40, 0x00, 0, 0, 0, 0, 0, 0, 0xFF}), 2.0, {}},
      {BIN({}), 0.0, {}},
      {N(), {}, ErrId::BAD_TO_ARG},
      {L(true), {}, ErrId::BAD_TO_ARG},
      // text: the whole of it from the index, through the number scanner
      {S("1.5"), 1.5, {}},
      {S("1,5"), 1.5, {}},
      {S("-12"), -12.0, {}},
      {S("007.50e+1"), 75.0, {}},
      {S("1'000.25"), 1000.25, {}},
      {S("x2.5", 1), 2.5, {}},
      {S({0x20AC, '0', '.', '1'}, 1), 0.1, {}},
      {S("1e308"), 1e308, {}},
      {S("1e400"), INF, {}},  // overflow rounds to infinity
      {S("-1e400"), -INF, {}},
      {S("1.5x"), {}, ErrId::BAD_TO_ARG},
      {S("1.5 "), {}, ErrId::BAD_TO_ARG},
      {S("1.#INF"), {}, ErrId::BAD_TO_ARG},
      {S(""), {}, ErrId::BAD_TO_ARG},
      {S("1", 1), {}, ErrId::BAD_TO_ARG},
      // the scanner's length limit: 312 characters
      {S(("0." + std::string(310, '1')).c_str()), 1.0 / 9.0, {}},
      {S(("0." + std::string(311, '1')).c_str()), {}, ErrId::BAD_TO_ARG},
  };
  for (ActionId a : {ACT_TO, ACT_MAKE}) {
    for (const Case& c : cases) {
      if (!c.expected) {
        EXPECT_EQ(act_error(a, {DT(TYPE_FLOAT), c.spec}), c.error) << molded(c.spec);
        continue;
      }
      Cell r = act(a, {DT(TYPE_FLOAT), c.spec});
      ASSERT_TRUE(r.is(TYPE_FLOAT)) << molded(c.spec);
      if (std::isnan(*c.expected)) {
        EXPECT_TRUE(std::isnan(r.f64()));
      } else {
        EXPECT_EQ(r.f64(), *c.expected) << molded(c.spec);
      }
    }
  }
  // percent! inherits them and keeps its own type.
  Cell p = act(ACT_TO, {DT(TYPE_PERCENT), I(50)});
  EXPECT_TRUE(p.is(TYPE_PERCENT));
  EXPECT_EQ(p.f64(), 50.0);
}

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
