// The series! actions from C++: what scripts cannot reach of them.
#include <gtest/gtest.h>

#include "block_test_util.h"
#include "datatypes/series_actions.h"
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
  EXPECT_EQ(error_of([&] { call_action(ACT_SKIP, {b, float_cell(1.0)}); }), ErrId::INVALID_ARG);
}

TEST(SeriesActions, PokeWidensAStringInPlace) {
  Cell s = text("abc");
  (void)call_action(ACT_POKE, {s, I(2), char_cell(0x1F600)});
  EXPECT_EQ(node_buffer(s.node())->unit(), 4u);
}

TEST(SeriesActions, HashTableFollowsEdits) {
  namespace ht = hash_table;
  Cell h = ints({10, 20, 30, 40});
  h.w3 = ht::make(4, h.node(), ht::KIND_HASH);
  h.set_type(TYPE_HASH);
  (void)call_action(ACT_POKE, {h, I(2), I(99)});
  EXPECT_EQ(ht::get(h.w3, I(99)), 1);
  EXPECT_EQ(ht::get(h.w3, I(20)), -1);
  (void)call_action(ACT_REMOVE, {h, F(), N(), F(), N()});  // removes 10
  EXPECT_EQ(ht::get(h.w3, I(99)), 0);
  EXPECT_EQ(ht::get(h.w3, I(40)), 2);
  (void)call_action(ACT_REVERSE, {h, F(), N(), F(), N()});  // [40 30 99]
  EXPECT_EQ(ht::get(h.w3, I(40)), 0);
  EXPECT_EQ(ht::get(h.w3, I(99)), 2);
  Cell other = ints({1, 2});
  (void)call_action(ACT_MOVE, {other, at_index(h, 1), F(), N()});  // [40 1 30 99]
  EXPECT_EQ(ht::get(h.w3, I(1)), 1);
  EXPECT_EQ(ht::get(h.w3, I(99)), 3);
  (void)call_action(ACT_CLEAR, {at_index(h, 2)});
  EXPECT_EQ(ht::get(h.w3, I(99)), -1);
  EXPECT_EQ(ht::get(h.w3, I(1)), 1);
}
