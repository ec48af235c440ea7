// unset!, none! and logic!: makers, truth tests, actions and comparison.
#include <gtest/gtest.h>

#include "scalar_test_util.h"

using namespace vel;
using namespace vel::scalartest;

TEST(Logic, MakeAndToTable) {
  struct Case {
    ActionId action;
    Cell spec;
    bool expected;
  } cases[] = {
      // make looks at numbers: zero is false, anything else (NaN too) true
      {ACT_MAKE, I(0), false},
      {ACT_MAKE, I(2), true},
      {ACT_MAKE, I(-1), true},
      {ACT_MAKE, F(0.0), false},
      {ACT_MAKE, F(-0.0), false},
      {ACT_MAKE, P(0.0), false},
      {ACT_MAKE, F(std::nan("")), true},
      {ACT_MAKE, N(), false},
      {ACT_MAKE, L(false), false},
      {ACT_MAKE, S("false"), true},
      // to only knows logic and none
      {ACT_TO, I(0), true},
      {ACT_TO, F(0.0), true},
      {ACT_TO, N(), false},
      {ACT_TO, L(false), false},
      {ACT_TO, L(true), true},
      {ACT_TO, S("false"), true},
      {ACT_TO, UNSET_VALUE, true},
  };
  for (const Case& c : cases) {
    Cell r = act(c.action, {DT(TYPE_LOGIC), c.spec});
    ASSERT_TRUE(r.is(TYPE_LOGIC)) << molded(c.spec);
    EXPECT_EQ(r.w1, c.expected ? 1u : 0u) << (c.action == ACT_MAKE ? "make " : "to ") << molded(c.spec);
  }
}

TEST(Logic, UnsetAndNoneMakeWhateverTheSpec) {
  for (Cell spec : {I(1), N(), S("x"), L(true)}) {
    EXPECT_TRUE(act(ACT_MAKE, {DT(TYPE_UNSET), spec}).is(TYPE_UNSET));
    EXPECT_TRUE(act(ACT_TO, {DT(TYPE_NONE), spec}).is(TYPE_NONE));
  }
}

TEST(Logic, FormAndMold) {
  struct Case {
    Cell v;
    const char* form;
    const char* mold;
    const char* mold_all;
  } cases[] = {
      {UNSET_VALUE, "", "unset", "#(unset)"},
      {NONE_VALUE, "none", "none", "#(none)"},
      {TRUE_VALUE, "true", "true", "#(true)"},
      {FALSE_VALUE, "false", "false", "#(false)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formed(c.v), c.form);
    EXPECT_EQ(molded(c.v), c.mold);
    EXPECT_EQ(molded(c.v, MOLD_ALL), c.mold_all);
    NodeId out = make_string(8);
    EXPECT_EQ(mold_value(c.v, out, MOLD_ALL, nullptr, 100), 100 - int32_t(std::strlen(c.mold_all)));
  }
}

TEST(Logic, NoneAnswersNoneToSeriesActions) {
  // length?, clear [series]; find, select [series value + refinements];
  // remove [series /part range /key key]; take [series /part n /deep /last]
  EXPECT_TRUE(act(ACT_LENGTH_Q, {N()}).is(TYPE_NONE));
  EXPECT_TRUE(act(ACT_CLEAR, {N()}).is(TYPE_NONE));
  EXPECT_TRUE(act(ACT_FIND, {N(), I(1), L(false), N()}).is(TYPE_NONE));
  EXPECT_TRUE(act(ACT_SELECT, {N(), I(1), L(false), N()}).is(TYPE_NONE));
  EXPECT_TRUE(act(ACT_REMOVE, {N(), L(true), I(2), L(false), N()}).is(TYPE_NONE));
  EXPECT_TRUE(act(ACT_TAKE, {N(), L(false), N(), L(false), L(true)}).is(TYPE_NONE));
  // other series actions stay unsupported on none
  EXPECT_EQ(act_error(ACT_APPEND, {N(), I(1)}), ErrId::EXPECT_ARG);
}

TEST(Logic, BitwiseAndComplement) {
  struct Case {
    ActionId action;
    bool a, b, expected;
  } cases[] = {
      {ACT_AND_T, true, false, false}, {ACT_AND_T, true, true, true},    {ACT_OR_T, false, false, false},
      {ACT_OR_T, false, true, true},   {ACT_XOR_T, true, true, false},   {ACT_XOR_T, true, false, true},
  };
  for (const Case& c : cases) EXPECT_EQ(act(c.action, {L(c.a), L(c.b)}).w1, c.expected ? 1u : 0u);
  EXPECT_EQ(act(ACT_COMPLEMENT, {L(true)}).w1, 0u);
  EXPECT_EQ(act(ACT_COMPLEMENT, {L(false)}).w1, 1u);

  EXPECT_EQ(act_error(ACT_AND_T, {L(true), I(1)}), ErrId::EXPECT_ARG);
  EXPECT_EQ(act_error(ACT_XOR_T, {L(true), N()}), ErrId::EXPECT_ARG);
  try {
    (void)act(ACT_OR_T, {L(true), F(1.0)});
    ADD_FAILURE() << "no error";
  } catch (const VelError& e) {
    ASSERT_GE(e.nargs, 1);
    EXPECT_EQ(e.args[0].w1, uint32_t(TYPE_FLOAT));  // names the operand's type
  }
}

TEST(Logic, Compare) {
  struct Case {
    Cell a, b;
    int op;
    bool expected;
  } cases[] = {
      {N(), N(), CMP_EQUAL, true},          {N(), L(false), CMP_EQUAL, false},
      {N(), L(false), CMP_NOT_EQUAL, true}, {L(false), N(), CMP_EQUAL, false},
      {UNSET_VALUE, UNSET_VALUE, CMP_STRICT_EQUAL, true},
      {UNSET_VALUE, N(), CMP_EQUAL, false}, {L(true), L(true), CMP_SAME, true},
      {L(true), L(false), CMP_EQUAL, false}, {L(true), I(1), CMP_EQUAL, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compare_values(&c.a, &c.b, c.op), c.expected) << molded(c.a) << " op " << c.op << " " << molded(c.b);
  }
  // Orderings: none of the three types orders.
  EXPECT_EQ(compare_error(N(), N(), CMP_LESSER), ErrId::INVALID_COMPARE);
  EXPECT_EQ(compare_error(UNSET_VALUE, UNSET_VALUE, CMP_GREATER_OR_EQUAL), ErrId::INVALID_COMPARE);
  EXPECT_EQ(compare_error(L(false), L(true), CMP_LESSER), ErrId::INVALID_COMPARE);
  // Sorting puts false first; none values sort as equal.
  Cell f = L(false), t = L(true), n = N();
  EXPECT_LT(compare_cells(&f, &t, CMP_SORT), 0);
  EXPECT_GT(compare_cells(&t, &f, CMP_CASE_SORT), 0);
  EXPECT_EQ(compare_cells(&n, &n, CMP_SORT), 0);
}

namespace {

// Runs f in a fresh frame whose cells are the given values.
template <class Fn>
auto in_frame(std::initializer_list<Cell> cells, Fn&& f) {
  StackMark saved = stack_save();
  stack_mark(FRAME_NATIVE, 0, 0);
  for (const Cell& c : cells) push(c);
  struct Restore {
    StackMark m;
    ~Restore() { stack_restore(m); }
  } restore{saved};
  return f();
}

}  // namespace

TEST(Logic, TruthTestsDifferOnlyOnUnset) {
  // The values every test agrees on.
  struct Case {
    Cell v;
    bool truth;
  } cases[] = {{N(), false}, {L(false), false}, {L(true), true}, {I(0), true}, {S(""), true}, {F(0.0), true}};
  for (const Case& c : cases) {
    EXPECT_EQ(in_frame({c.v}, [] { return logic_true_q(); }), c.truth);
    EXPECT_EQ(in_frame({c.v}, [] { return logic_false_q(); }), !c.truth);
    EXPECT_EQ(logic_true_value_q(c.v, true, I(1)), c.truth);
    EXPECT_EQ(in_frame({c.v}, [] { return logic_top_true_q(); }), c.truth);
  }
  // Unset: an error for true?, true for false? and top-true?, an error for
  // true-value? only when checking.
  EXPECT_EQ(error_of([] { in_frame({UNSET_VALUE}, [] { return logic_true_q(); }); }), ErrId::NO_RETURN);
  EXPECT_FALSE(in_frame({UNSET_VALUE}, [] { return logic_false_q(); }));
  EXPECT_TRUE(in_frame({UNSET_VALUE}, [] { return logic_top_true_q(); }));
  EXPECT_TRUE(logic_true_value_q(UNSET_VALUE, false, I(1)));
  try {
    (void)logic_true_value_q(UNSET_VALUE, true, I(7));
    ADD_FAILURE() << "no error";
  } catch (const VelError& e) {
    EXPECT_EQ(e.id, ErrId::NO_VALUE);
    EXPECT_EQ(e.args[0].i2(), 7);  // the argument it names
  }
  // top-true? reads the topmost cell above the result cell.
  EXPECT_FALSE(in_frame({L(true), N()}, [] { return logic_top_true_q(); }));
  EXPECT_TRUE(in_frame({N(), L(true)}, [] { return logic_top_true_q(); }));
}

TEST(Logic, FormAndTruthAgreeOnAnOddDataWord) {
  Cell odd = make_cell(TYPE_LOGIC, 2);  // as a faulty decoder might build it
  EXPECT_TRUE(truthy(odd));
  EXPECT_EQ(formed(odd), "true");
  logic_normalize(&odd);
  EXPECT_EQ(odd.w1, 1u);
  // Anything made is already canonical.
  EXPECT_EQ(act(ACT_MAKE, {DT(TYPE_LOGIC), I(5)}).w1, 1u);
  EXPECT_EQ(act(ACT_TO, {DT(TYPE_LOGIC), odd}).w1, 1u);
}

TEST(Logic, MakersWriteWhereTheySay) {
  NodeId block = alloc_cells(4);
  unset_make_in(block);
  none_make_in(block);
  logic_make_in(block, true);
  Buffer* b = node_buffer(block);
  ASSERT_EQ(b->length(), 3u);
  EXPECT_TRUE(b->cells()[0].is(TYPE_UNSET));
  EXPECT_TRUE(b->cells()[1].is(TYPE_NONE));
  EXPECT_EQ(b->cells()[2].w1, 1u);

  Cell result = in_frame({I(9)}, [] {
    logic_box(true);
    return *g_stack.base;
  });
  EXPECT_TRUE(result.is(TYPE_LOGIC) && result.w1 == 1);
}
