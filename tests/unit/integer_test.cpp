// integer!: the kernel and its overflow rules, the dispatcher by operand
// type, unary actions, power, round, conversions, comparison and text.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/symbol.h"
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

TEST(Integer, ArithmeticTable) {
  struct Case {
    ActionId action;
    Cell a, b;
    const char* type;
    const char* mold;
  } cases[] = {
      {ACT_ADD, I(INT_MAX), I(1), "float!", "2147483648.0"},
      {ACT_SUBTRACT, I(INT_MIN), I(1), "float!", "-2147483649.0"},
      {ACT_MULTIPLY, I(65536), I(65536), "float!", "4294967296.0"},
      {ACT_MULTIPLY, I(INT_MIN), I(-1), "float!", "2147483648.0"},
      {ACT_MULTIPLY, I(-65536), I(32768), "integer!", "-2147483648"},
      {ACT_ADD, I(INT_MAX), I(INT_MIN), "integer!", "-1"},
      {ACT_DIVIDE, I(7), I(2), "float!", "3.5"},
      {ACT_DIVIDE, I(-7), I(2), "float!", "-3.5"},
      {ACT_DIVIDE, I(6), I(2), "integer!", "3"},
      {ACT_DIVIDE, I(INT_MIN), I(1), "integer!", "-2147483648"},
      {ACT_DIVIDE, I(1), I(3), "float!", "0.3333333333333333"},
      {ACT_REMAINDER, I(7), I(-2), "integer!", "1"},
      {ACT_REMAINDER, I(-7), I(2), "integer!", "-1"},
      {ACT_AND_T, I(12), I(10), "integer!", "8"},
      {ACT_OR_T, I(12), I(10), "integer!", "14"},
      {ACT_XOR_T, I(12), I(10), "integer!", "6"},
      {ACT_AND_T, I(-1), I(INT_MIN), "integer!", "-2147483648"},
      // a char operand counts as its code point; the result stays integer!
      {ACT_ADD, I(1), C('a'), "integer!", "98"},
      // float, percent and time operands take the float path
      {ACT_ADD, I(1), F(2.5), "float!", "3.5"},
      {ACT_DIVIDE, I(1), F(0.0), "float!", "1.#INF"},
      {ACT_MULTIPLY, I(3), P(0.5), "float!", "1.5"},
      {ACT_ADD, I(1), T(1.5), "time!", ""},
  };
  for (const Case& c : cases) {
    Cell r = act(c.action, {c.a, c.b});
    EXPECT_STREQ(type_of(r), c.type) << molded(c.a) << " " << action_name(c.action) << " " << molded(c.b);
    if (*c.mold) {
      EXPECT_EQ(molded(r), c.mold) << molded(c.a) << " " << action_name(c.action) << " " << molded(c.b);
    }
  }
  EXPECT_EQ(act(ACT_ADD, {I(1), T(1.5)}).f64(), 2.5);
}

TEST(Integer, ArithmeticErrors) {
  struct Case {
    ActionId action;
    Cell a, b;
    ErrId error;
  } cases[] = {
      {ACT_DIVIDE, I(1), I(0), ErrId::ZERO_DIVIDE},
      {ACT_REMAINDER, I(1), I(0), ErrId::ZERO_DIVIDE},
      {ACT_DIVIDE, I(INT_MIN), I(-1), ErrId::OVERFLOW},
      {ACT_REMAINDER, I(INT_MIN), I(-1), ErrId::OVERFLOW},
      {ACT_ADD, I(1), N(), ErrId::INVALID_TYPE},
      {ACT_ADD, I(1), S("2"), ErrId::INVALID_TYPE},
      {ACT_AND_T, I(1), F(1.0), ErrId::CANNOT_USE},
      {ACT_XOR_T, I(1), P(1.0), ErrId::CANNOT_USE},
  };
  for (const Case& c : cases)
    EXPECT_EQ(act_error(c.action, {c.a, c.b}), c.error) << molded(c.a) << " " << action_name(c.action) << " "
                                                        << molded(c.b);
}

// Every edge value against every other through the five arithmetic
// actions, checked against exact 64-bit arithmetic: no wrap, no trap, and
// the float results are the correctly rounded ones.
TEST(Integer, EdgeValueSweep) {
  const int32_t values[] = {INT_MIN, INT_MIN + 1, -65536, -3, -2, -1, 0, 1, 2, 3, 65536, INT_MAX - 1, INT_MAX};
  for (int32_t a : values) {
    for (int32_t b : values) {
      int64_t exact[3] = {int64_t(a) + b, int64_t(a) - b, int64_t(a) * b};
      const ActionId ops[3] = {ACT_ADD, ACT_SUBTRACT, ACT_MULTIPLY};
      for (int k = 0; k < 3; k++) {
        Cell r = act(ops[k], {I(a), I(b)});
        if (exact[k] >= INT_MIN && exact[k] <= INT_MAX) {
          ASSERT_TRUE(r.is(TYPE_INTEGER)) << a << " " << action_name(ops[k]) << " " << b;
          EXPECT_EQ(r.i2(), exact[k]);
        } else {
          ASSERT_TRUE(r.is(TYPE_FLOAT)) << a << " " << action_name(ops[k]) << " " << b;
          EXPECT_EQ(r.f64(), double(exact[k]));
        }
      }
      if (b == 0) {
        EXPECT_EQ(act_error(ACT_DIVIDE, {I(a), I(b)}), ErrId::ZERO_DIVIDE);
        continue;
      }
      if (a == INT_MIN && b == -1) {
        EXPECT_EQ(act_error(ACT_DIVIDE, {I(a), I(b)}), ErrId::OVERFLOW);
        continue;
      }
      Cell q = act(ACT_DIVIDE, {I(a), I(b)});
      if (int64_t(a) % b == 0) {
        ASSERT_TRUE(q.is(TYPE_INTEGER)) << a << " / " << b;
        EXPECT_EQ(q.i2(), int64_t(a) / b);
      } else {
        ASSERT_TRUE(q.is(TYPE_FLOAT)) << a << " / " << b;
        EXPECT_EQ(q.f64(), double(a) / double(b));
      }
      EXPECT_EQ(act(ACT_REMAINDER, {I(a), I(b)}).i2(), int64_t(a) % b);
    }
  }
}

TEST(Integer, UnaryActions) {
  EXPECT_EQ(act(ACT_NEGATE, {I(5)}).i2(), -5);
  EXPECT_EQ(act(ACT_NEGATE, {I(INT_MAX)}).i2(), -INT_MAX);
  EXPECT_EQ(act(ACT_ABSOLUTE, {I(-5)}).i2(), 5);
  EXPECT_EQ(act(ACT_ABSOLUTE, {I(INT_MIN + 1)}).i2(), INT_MAX);
  EXPECT_EQ(act(ACT_COMPLEMENT, {I(0)}).i2(), -1);
  EXPECT_EQ(act(ACT_COMPLEMENT, {I(INT_MIN)}).i2(), INT_MAX);
  EXPECT_EQ(act_error(ACT_NEGATE, {I(INT_MIN)}), ErrId::OVERFLOW);
  EXPECT_EQ(act_error(ACT_ABSOLUTE, {I(INT_MIN)}), ErrId::OVERFLOW);

  struct Parity {
    int32_t v;
    bool even;
  } parities[] = {{0, true}, {-3, false}, {INT_MIN, true}, {INT_MAX, false}, {-2, true}};
  for (const Parity& p : parities) {
    EXPECT_EQ(act(ACT_EVEN_Q, {I(p.v)}).w1, p.even ? 1u : 0u) << p.v;
    EXPECT_EQ(act(ACT_ODD_Q, {I(p.v)}).w1, p.even ? 0u : 1u) << p.v;
  }
}

TEST(Integer, Power) {
  struct Case {
    Cell base, exponent;
    const char* mold;
  } cases[] = {
      {I(2), I(31), "2147483648.0"},  {I(2), I(30), "1073741824"},   {I(-2), I(31), "-2147483648"},
      {I(2), I(-1), "0.5"},           {I(3), I(0), "1"},             {I(0), I(0), "1"},
      {I(0), I(-1), "1.#INF"},        {I(-1), I(INT_MAX), "-1"},     {I(10), I(9), "1000000000"},
      {I(10), I(10), "10000000000.0"}, {I(2), F(0.5), "1.4142135623730951"}, {I(INT_MIN), I(2), "4.611686018427388e18"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(molded(act(ACT_POWER, {c.base, c.exponent})), c.mold) << molded(c.base) << " ** " << molded(c.exponent);
  EXPECT_EQ(act_error(ACT_POWER, {I(2), P(0.5)}), ErrId::EXPECT_ARG);
  EXPECT_EQ(act_error(ACT_POWER, {I(2), N()}), ErrId::EXPECT_ARG);
}

TEST(Integer, RoundTable) {
  struct Case {
    int32_t v;
    std::optional<int32_t> scale;
    const char* mode;
    int32_t expected;
  } cases[] = {
      {15, 10, "", 20},
      {-15, 10, "", -20},
      {14, 10, "", 10},
      {16, -10, "", 20},  // the scale's magnitude counts
      {25, 10, "even", 20},
      {35, 10, "even", 40},
      {-15, 10, "half-ceiling", -10},
      {15, 10, "half-ceiling", 20},
      {-15, 10, "half-down", -10},
      {-11, 10, "floor", -20},
      {11, 10, "floor", 10},
      {-19, 10, "ceiling", -10},
      {11, 10, "ceiling", 20},
      {-19, 10, "down", -10},
      {7, std::nullopt, "", 7},
      {7, 0, "", 7},
      {INT_MAX, 10, "down", 2147483640},
      {INT_MIN, 10, "down", -2147483640},
      {INT_MIN, 2, "", INT_MIN},
      {-2147483647, 2, "", INT_MIN},  // rounds away from zero onto the minimum
      {INT_MAX, INT_MIN, "down", 0},
  };
  for (const Case& c : cases) {
    std::optional<Cell> scale;
    if (c.scale) scale = I(*c.scale);
    Cell r = call_round(I(c.v), scale, c.mode);
    ASSERT_TRUE(r.is(TYPE_INTEGER)) << c.v << " " << c.mode;
    EXPECT_EQ(r.i2(), c.expected) << "round/to/" << c.mode << " " << c.v << " " << c.scale.value_or(0);
  }
  // Results beyond 32 bits.
  EXPECT_EQ(round_error(I(INT_MAX), I(10)), ErrId::OVERFLOW);
  EXPECT_EQ(round_error(I(INT_MIN), I(10)), ErrId::OVERFLOW);
  EXPECT_EQ(round_error(I(INT_MAX), I(10), "ceiling"), ErrId::OVERFLOW);
  EXPECT_EQ(round_error(I(-2147483647), I(10), "floor"), ErrId::OVERFLOW);
  // A non-integer scale rounds as a float and takes the scale's type.
  Cell r = call_round(I(25), F(2.0));
  EXPECT_EQ(molded(r), "26.0");
  EXPECT_STREQ(type_of(call_round(I(25), P(0.5))), "percent!");
  EXPECT_EQ(round_error(I(25), S("10")), ErrId::EXPECT_ARG);
}

namespace {

Cell typed(TypeId t, Cell c) {
  c.header = t;
  return c;
}

Cell issue(const char* text) { return make_cell(TYPE_ISSUE, 0, symbol::make(text)); }

}  // namespace

TEST(Integer, ToAndMake) {
  struct Case {
    ActionId action;
    Cell spec;
    std::optional<int32_t> expected;
    ErrId error;
  } cases[] = {
      {ACT_TO, F(-1.9), -1, {}},
      {ACT_TO, F(1.9), 1, {}},
      {ACT_TO, F(2147483647.9), INT_MAX, {}},
      {ACT_TO, F(-2147483648.9), INT_MIN, {}},
      {ACT_TO, F(2147483648.0), {}, ErrId::TYPE_LIMIT},
      {ACT_TO, F(-2147483649.0), {}, ErrId::TYPE_LIMIT},
      {ACT_TO, F(std::nan("")), {}, ErrId::TYPE_LIMIT},
      {ACT_TO, F(INFINITY), {}, ErrId::TYPE_LIMIT},
      {ACT_TO, F(-INFINITY), {}, ErrId::TYPE_LIMIT},
      {ACT_TO, P(12.5), 12, {}},
      {ACT_TO, C('a'), 97, {}},
      {ACT_TO, I(INT_MIN), INT_MIN, {}},
      {ACT_TO, T(1.5), 2, {}},
      {ACT_TO, T(3e9), {}, ErrId::TYPE_LIMIT},
      {ACT_TO, BIN({0x01, 0x02}), 258, {}},
      {ACT_TO, BIN({0xFF, 0xFF, 0xFF, 0xFF, 0x05}), -1, {}},
      {ACT_TO, BIN({0x00, 0x01, 0x02}, 1), 258, {}},
      {ACT_TO, BIN({0x01}, 1), 0, {}},
      {ACT_MAKE, L(true), 1, {}},
      {ACT_MAKE, L(false), 0, {}},
      {ACT_TO, L(true), {}, ErrId::BAD_TO_ARG},
      {ACT_TO, N(), {}, ErrId::BAD_TO_ARG},
      {ACT_MAKE, BLOCK({I(1)}), {}, ErrId::BAD_TO_ARG},
      // text: the whole of it from the index, through the number scanner
      {ACT_TO, S("12"), 12, {}},
      {ACT_MAKE, S("-42"), -42, {}},
      {ACT_TO, S("+7"), 7, {}},
      {ACT_TO, S("1'000'000"), 1000000, {}},
      {ACT_TO, S("x12", 1), 12, {}},
      {ACT_TO, S({'1', '2', 0x20AC}), {}, ErrId::BAD_TO_ARG},
      {ACT_TO, S({0x20AC, '3', '4'}, 1), 34, {}},
      {ACT_TO, S("2147483647"), INT_MAX, {}},
      {ACT_TO, S("-2147483648"), INT_MIN, {}},
      {ACT_TO, S("2147483648"), {}, ErrId::BAD_TO_ARG},
      {ACT_TO, S("-21474836480"), {}, ErrId::BAD_TO_ARG},
      {ACT_TO, S("12a"), {}, ErrId::BAD_TO_ARG},
      {ACT_TO, S("1.5"), {}, ErrId::BAD_TO_ARG},
      {ACT_TO, S(" 1"), {}, ErrId::BAD_TO_ARG},
      {ACT_TO, S(""), {}, ErrId::BAD_TO_ARG},
      {ACT_TO, S("-"), {}, ErrId::BAD_TO_ARG},
      {ACT_TO, S("12", 2), {}, ErrId::BAD_TO_ARG},
      {ACT_TO, typed(TYPE_FILE, S("99")), 99, {}},
      {ACT_TO, typed(TYPE_TAG, S("9x")), {}, ErrId::BAD_TO_ARG},
      // issue!: hexadecimal digits, at most 8
      {ACT_TO, issue("FF"), 255, {}},
      {ACT_TO, issue("7fffffff"), INT_MAX, {}},
      {ACT_TO, issue("FFFFFFFF"), -1, {}},
      {ACT_TO, issue("100000000"), {}, ErrId::INVALID_DATA},
      {ACT_TO, issue("12G"), {}, ErrId::INVALID_DATA},
  };
  for (const Case& c : cases) {
    if (c.expected) {
      Cell r = act(c.action, {DT(TYPE_INTEGER), c.spec});
      ASSERT_TRUE(r.is(TYPE_INTEGER)) << molded(c.spec);
      EXPECT_EQ(r.i2(), *c.expected) << molded(c.spec);
    } else {
      EXPECT_EQ(act_error(c.action, {DT(TYPE_INTEGER), c.spec}), c.error) << molded(c.spec);
    }
  }
}

TEST(Integer, Compare) {
  struct Case {
    Cell a, b;
    int op;
    bool expected;
  } cases[] = {
      {I(1), F(1.0), CMP_EQUAL, true},
      {I(1), F(1.0), CMP_STRICT_EQUAL, false},
      {I(1), F(1.0), CMP_SAME, false},
      {I(1), I(1), CMP_STRICT_EQUAL, true},
      {I(97), C('a'), CMP_EQUAL, true},
      {I(97), C('a'), CMP_STRICT_EQUAL, false},
      {I(1), F(1.5), CMP_LESSER, true},
      {I(2), F(1.5), CMP_GREATER_OR_EQUAL, true},
      {I(INT_MIN), I(INT_MAX), CMP_LESSER, true},
      {I(INT_MAX), I(INT_MIN), CMP_LESSER_OR_EQUAL, false},
      {I(1), P(1.0), CMP_EQUAL, true},
      {I(1), N(), CMP_EQUAL, false},
      {I(1), N(), CMP_NOT_EQUAL, true},
      {I(1), F(std::nan("")), CMP_EQUAL, false},
      {I(1), F(std::nan("")), CMP_LESSER, false},
      {I(1), F(std::nan("")), CMP_GREATER_OR_EQUAL, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(compare_values(&c.a, &c.b, c.op), c.expected) << molded(c.a) << " op " << c.op << " " << molded(c.b);
  EXPECT_EQ(compare_error(I(1), N(), CMP_LESSER), ErrId::INVALID_COMPARE);
  EXPECT_EQ(compare_error(I(1), S("1"), CMP_GREATER), ErrId::INVALID_COMPARE);
}

TEST(Integer, FormAndMold) {
  struct Case {
    int32_t v;
    const char* text;
  } cases[] = {{0, "0"}, {42, "42"}, {-7, "-7"}, {INT_MIN, "-2147483648"}, {INT_MAX, "2147483647"}};
  for (const Case& c : cases) {
    EXPECT_EQ(formed(I(c.v)), c.text);
    EXPECT_EQ(molded(I(c.v), MOLD_ALL), c.text);
    NodeId out = make_string(4);
    EXPECT_EQ(form_value(I(c.v), out, nullptr, 20), 20 - int32_t(std::strlen(c.text)));
  }
}

TEST(Integer, OperatorFastPath) {
  Cell out;
  EXPECT_FALSE(int_add(1, INT_MAX, &out));
  EXPECT_EQ(molded(out), "2147483648.0");
  EXPECT_TRUE(int_sub(INT_MIN, -1, &out));
  EXPECT_EQ(out.i2(), INT_MIN + 1);
  EXPECT_FALSE(int_mul(INT_MIN, -1, &out));
  EXPECT_EQ(out.f64(), 2147483648.0);

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

TEST(Integer, CompositeOperandsReachTheirOwnTypes) {
  // Refused outright where the operation has no meaning with an integer on
  // the left; otherwise the composite is the left operand of its own math.
  Cell pair = pair_cell(1, 2);
  Cell tuple = make_cell(TYPE_TUPLE);
  EXPECT_EQ(act_error(ACT_DIVIDE, {I(1), pair}), ErrId::NOT_RELATED);
  EXPECT_EQ(act_error(ACT_SUBTRACT, {I(1), tuple}), ErrId::NOT_RELATED);
  EXPECT_EQ(act_error(ACT_MULTIPLY, {I(1), make_cell(TYPE_DATE)}), ErrId::NOT_RELATED);
  Cell sum = act(ACT_ADD, {I(1), pair});
  ASSERT_TRUE(sum.is(TYPE_PAIR));
  EXPECT_EQ(pair_x(sum), 2);
  EXPECT_EQ(pair_y(sum), 3);
  // n - p is (-p) + n.
  Cell diff = act(ACT_SUBTRACT, {I(10), pair});
  ASSERT_TRUE(diff.is(TYPE_PAIR));
  EXPECT_EQ(pair_x(diff), 9);
  EXPECT_EQ(pair_y(diff), 8);
  Cell scaled = act(ACT_MULTIPLY, {I(3), point2D_cell(0.5f, -1.0f)});
  ASSERT_TRUE(scaled.is(TYPE_POINT2D));
  EXPECT_EQ(point_coord(scaled, 0), 1.5f);
  EXPECT_EQ(point_coord(scaled, 1), -3.0f);
}
