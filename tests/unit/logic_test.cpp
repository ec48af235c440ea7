// unset!, none! and logic!: the mold budget, the truth tests and the makers.
#include <gtest/gtest.h>

#include "scalar_test_util.h"
#include "action_frames.h"

using namespace vel;
using namespace vel::scalartest;

// What scripts see of these types (make and to, form and mold, the series
// actions none answers, the logic operators, comparison and sorting) is in
// tests/vel/datatypes/logic.vel; here, the mold budget, the truth tests'
// frame conventions and the makers.
TEST(Logic, MoldBudget) {
  struct Case {
    Cell v;
    const char* mold_all;
  } cases[] = {{UNSET_VALUE, "#(unset)"}, {NONE_VALUE, "#(none)"}, {TRUE_VALUE, "#(true)"}, {FALSE_VALUE, "#(false)"}};
  for (const Case& c : cases) {
    NodeId out = make_string(8);
    EXPECT_EQ(mold_value(c.v, out, MOLD_ALL, nullptr, 100), 100 - int32_t(std::strlen(c.mold_all)));
    EXPECT_EQ(string_text(out), c.mold_all);
  }
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
  VelError e = caught([] { (void)logic_true_value_q(UNSET_VALUE, true, I(7)); });
  EXPECT_EQ(e.id, ErrId::NO_VALUE);
  EXPECT_EQ(e.args[0].i2(), 7);  // the argument it names
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
  EXPECT_EQ(run_action(act::make::SHAPE, {DT(TYPE_LOGIC), I(5)}).w1, 1u);
  EXPECT_EQ(run_action(act::to::SHAPE, {DT(TYPE_LOGIC), odd}).w1, 1u);
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
