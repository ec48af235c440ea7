// triple!: its text, the /part budget it spends, and the actions it lacks.
#include <gtest/gtest.h>

#include <climits>

#include "datatypes/triple.h"
#include "action_frames.h"
#include "io/velbin.h"
#include "roots.h"
#include "scalar_test_util.h"

using namespace vel;
using namespace vel::scalartest;

namespace {

TEST(Triple, FormAndMoldAreTheSameText) {
  struct Case {
    int32_t a, b, c;
    const char* text;
  } cases[] = {
      {1, -2, 0, "make triple! [1 -2 0]"},
      {0, 0, 0, "make triple! [0 0 0]"},
      {INT32_MIN, INT32_MAX, -1, "make triple! [-2147483648 2147483647 -1]"},
  };
  for (const Case& k : cases) {
    Cell t = triple_cell(k.a, k.b, k.c);
    EXPECT_EQ(formed(t), k.text);
    EXPECT_EQ(molded(t), k.text);
    EXPECT_EQ(molded(t, MOLD_ALL), k.text);
  }
}

TEST(Triple, PartBudgetFallsByTheNumbersPlusSixteen) {
  NodeId out = make_string(16);
  EXPECT_EQ(form_value(triple_cell(1, -2, 0), out, nullptr, 100), 100 - 4 - 16);
  out = make_string(16);
  EXPECT_EQ(mold_value(triple_cell(123, 4, 56), out, 0, nullptr, 100), 100 - 6 - 16);
}

TEST(Triple, NoOtherActionAndNoCodec) {
  Cell t = triple_cell(1, 2, 3);
  EXPECT_EQ(action_error(act::make::SHAPE, {t, BLOCK({I(1), I(2), I(3)})}), ErrId::EXPECT_ARG);
  EXPECT_EQ(action_error(act::to::SHAPE, {t, I(1)}), ErrId::EXPECT_ARG);
  EXPECT_EQ(action_error(act::add::SHAPE, {t, t}), ErrId::EXPECT_ARG);
  EXPECT_EQ(action_error(act::pick::SHAPE, {t, I(1)}), ErrId::EXPECT_ARG);
  RootedCell holder(BLOCK({t}));
  EXPECT_EQ(error_of([&] { (void)velbin::encode(*holder, true); }), ErrId::NO_CODEC);
}

}  // namespace
