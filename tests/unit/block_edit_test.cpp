// The block! editing actions on a hash!: what scripts cannot reach yet
// (hash! registers its own actions later) is whether every edit leaves the
// hash table answering what a linear search answers.
#include <gtest/gtest.h>

#include "block_test_util.h"
#include "datatypes/series_actions.h"
#include "hashtable.h"
#include "stack.h"

using namespace vel;
using namespace vel::blocktest;

namespace {

// Calls block!'s own entry of the action on a frame holding args.
Cell call_block_action(ActionId a, std::initializer_list<Cell> args) {
  Cell* base = stack_mark(FRAME_NATIVE, 0, 0);
  for (const Cell& c : args) push(c);
  StackMark guard{cell_index(base), cell_index(base), frame_depth()};
  try {
    (void)action_of(TYPE_BLOCK, a)(base);
  } catch (...) {
    stack_restore(guard);
    stack_unroll();
    throw;
  }
  Cell r = *base;
  stack_unroll();
  return r;
}

Cell make_hash(std::initializer_list<int32_t> vs) {
  RootedCell h(ints(vs));
  h->w3 = hash_table::make(uint32_t(vs.size()), h->node(), hash_table::KIND_HASH);
  h->set_type(TYPE_HASH);
  return *h;
}

// Every value 0..99 is found by the table where a linear search finds it.
void expect_table_in_step(const Cell& h) {
  for (int32_t v = 0; v < 100; v++) {
    Cell key = I(v);
    int32_t linear = -1;
    for (uint32_t i = 0; i < block::total(h) && linear < 0; i++)
      if (compare_cells(&key, block::rs_abs_at(h, i), CMP_FIND) == 0) linear = int32_t(i);
    ASSERT_EQ(hash_table::get(h.w3, key), linear) << "value " << v << " in " << molded(at_index(h, 0));
  }
}

struct BlockEditTest : ::testing::Test {
  void TearDown() override { EXPECT_EQ(g_walk_depth, 0u); }
};

TEST_F(BlockEditTest, HashTableFollowsEveryEdit) {
  RootedCell h(make_hash({1, 2, 3, 4, 5}));
  RootedCell src(ints({7, 8, 9}));
  CollectingScope on(1);
  // append, insert, change: series value /part length /only /dup count.
  (void)call_block_action(ACT_APPEND, {*h, *src, F(), N(), F(), T(), I(3)});
  expect_table_in_step(*h);
  (void)call_block_action(ACT_INSERT, {at_index(*h, 2), I(50), F(), N(), F(), T(), I(2)});
  expect_table_in_step(*h);
  (void)call_block_action(ACT_INSERT, {at_index(*h, 1), at_index(*h, 3), T(), I(4), F(), F(), N()});
  expect_table_in_step(*h);
  (void)call_block_action(ACT_CHANGE, {at_index(*h, 0), *src, T(), I(6), F(), F(), N()});
  expect_table_in_step(*h);
  (void)call_block_action(ACT_CHANGE, {at_index(*h, 4), I(60), F(), N(), F(), T(), I(5)});
  expect_table_in_step(*h);
  // put: series key value /case.
  (void)call_block_action(ACT_PUT, {at_index(*h, 0), I(60), I(61), F()});
  (void)call_block_action(ACT_PUT, {at_index(*h, 0), I(70), I(71), F()});
  expect_table_in_step(*h);
  // swap: series1 series2, the same series at two positions.
  (void)call_block_action(ACT_SWAP, {at_index(*h, 0), at_index(*h, int32_t(block::total(*h)) - 1)});
  expect_table_in_step(*h);
  EXPECT_EQ(molded(at_index(*h, 0)), "make hash! [71 8 9 50 60 61 60 60 60 8 9 7 8 9 7 8 9 70 7]");
}

}  // namespace
