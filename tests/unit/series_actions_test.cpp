// The series! actions from C++: what scripts cannot reach of them.
#include "datatypes/series_actions.h"

#include <gtest/gtest.h>

#include "action_frames.h"
#include "block_test_util.h"
#include "hashtable.h"

using namespace vel;
using namespace vel::blocktest;

// What scripts see of the series actions (at and skip, pick and poke,
// navigation, clear, remove, reverse, move, copy, take, string and binary
// elements, reflect) is in tests/vel/datatypes/series_actions.vel. Here: the
// action's own refusal of a float count, which skip's argument check keeps
// scripts from reaching, the unit a wider character widens a string to in
// place, and the hash table of a hash! following the edits.
TEST(SeriesActions, SkipRefusesAFloatCount) {
  Cell b = ints({10, 20, 30, 40, 50}, 2);
  EXPECT_EQ(error_of([&] {
              call_action(act::skip::SHAPE, {{act::skip::SERIES, b}, {act::skip::OFFSET, float_cell(1.0)}});
            }),
            ErrId::INVALID_ARG);
}

TEST(SeriesActions, PokeWidensAStringInPlace) {
  Cell s = text("abc");
  (void)call_action(act::poke::SHAPE,
                    {{act::poke::SERIES, s}, {act::poke::INDEX, I(2)}, {act::poke::VALUE, char_cell(0x1F600)}});
  EXPECT_EQ(node_buffer(s.node())->unit(), 4u);
}

TEST(SeriesActions, HashTableFollowsEdits) {
  namespace ht = hash_table;
  Cell h = ints({10, 20, 30, 40});
  h.w3 = ht::make(4, h.node(), ht::KIND_HASH);
  h.set_type(TYPE_HASH);
  (void)call_action(act::poke::SHAPE, {{act::poke::SERIES, h}, {act::poke::INDEX, I(2)}, {act::poke::VALUE, I(99)}});
  EXPECT_EQ(ht::get(h.w3, I(99)), 1);
  EXPECT_EQ(ht::get(h.w3, I(20)), -1);
  (void)call_action(act::remove::SHAPE, {{act::remove::SERIES, h}});  // removes 10
  EXPECT_EQ(ht::get(h.w3, I(99)), 0);
  EXPECT_EQ(ht::get(h.w3, I(40)), 2);
  (void)call_action(act::reverse::SHAPE, {{act::reverse::SERIES, h}});  // [40 30 99]
  EXPECT_EQ(ht::get(h.w3, I(40)), 0);
  EXPECT_EQ(ht::get(h.w3, I(99)), 2);
  Cell other = ints({1, 2});
  (void)call_action(act::move::SHAPE,
                    {{act::move::ORIGIN, other}, {act::move::TARGET, at_index(h, 1)}});  // [40 1 30 99]
  EXPECT_EQ(ht::get(h.w3, I(1)), 1);
  EXPECT_EQ(ht::get(h.w3, I(99)), 3);
  (void)call_action(act::clear::SHAPE, {{act::clear::SERIES, at_index(h, 2)}});
  EXPECT_EQ(ht::get(h.w3, I(99)), -1);
  EXPECT_EQ(ht::get(h.w3, I(1)), 1);
}
