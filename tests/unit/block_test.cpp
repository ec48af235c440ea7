// block!, paren! and the path types from C++: the low-level block functions,
// the mold and form budgets, the room make reserves and the walks' depth limits.
#include <gtest/gtest.h>

#include "action_frames.h"
#include "block_test_util.h"
#include "cycle.h"
#include "datatypes/series_actions.h"
#include "datatypes/word.h"
#include "hashtable.h"

using namespace vel;
using namespace vel::blocktest;

namespace {

Cell dt(TypeId t) { return datatype_cell(t); }

Cell make(TypeId t, Cell spec) {
  return call_action(act::make::SHAPE, {{act::make::TYPE, dt(t)}, {act::make::SPEC, spec}});
}
Cell to(TypeId t, Cell spec) { return call_action(act::to::SHAPE, {{act::to::TYPE, dt(t)}, {act::to::SPEC, spec}}); }
Cell copy(Cell v, bool deep = false, const Cell* types = nullptr) {
  return call_action(act::copy::SHAPE, {{act::copy::VALUE, v},
                                        {act::copy::DEEP, logic_cell(deep)},
                                        {act::copy::TYPES, logic_cell(types)},
                                        {act::copy::KIND, types ? *types : N()}});
}

// A block that holds itself as its last value.
Cell self_holding(std::initializer_list<Cell> cells, TypeId t = TYPE_BLOCK) {
  Cell b = make_block(cells, 0, t);
  block::rs_append(b.node(), b);
  return b;
}

// Blocks nested n deep: [[[...]]].
Cell nested(uint32_t n) {
  Cell b = block::make_at(1);
  for (uint32_t i = 1; i < n; i++) {
    Cell outer = block::make_at(1);
    block::rs_append(outer.node(), b);
    b = outer;
  }
  return b;
}

int32_t capacity_cells(const Cell& b) { return int32_t(node_buffer(b.node())->capacity / 16); }

struct BlockTest : ::testing::Test {
  void TearDown() override {
    // Every walk leaves the cycle guard and the depth count as it found them.
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_EQ(g_walk_depth, 0u);
  }
};

}  // namespace

TEST_F(BlockTest, LowLevelAppendHeadAndTail) {
  Cell b = block::make_at(1);
  for (int32_t i = 0; i < 100; i++) EXPECT_EQ(block::rs_append(b.node(), I(i)), uint32_t(i));
  EXPECT_EQ(block::rs_length(b), 100);
  EXPECT_EQ(block::rs_abs_at(b, 42)->i2(), 42);
  block::rs_append_block(b.node(), at_index(b, 98));
  EXPECT_EQ(block::total(b), 102u);
  EXPECT_EQ(block::rs_abs_at(b, 101)->i2(), 99);

  Cell past = b;
  past.w1 = 500;
  EXPECT_EQ(block::rs_length(past), 102 - 500);  // not clamped
  EXPECT_EQ(block::rs_head(&past), block::rs_tail(past));
  EXPECT_EQ(past.index(), 102);
  EXPECT_TRUE(block::rs_tail_q(past));
  EXPECT_TRUE(block::rs_next(&past));
  EXPECT_EQ(past.index(), 102);

  block::rs_remove_last(&past);
  EXPECT_EQ(past.index(), 101);
  Cell at2 = b;
  at2.w1 = 2;
  block::rs_clear(at2);
  EXPECT_EQ(molded(b), "[0 1]");
  block::rs_clear_from(b, 1);
  EXPECT_EQ(molded(b), "[0]");
}

TEST_F(BlockTest, LowLevelInsertSelectRemove) {
  Cell b = ints({1, 2, 3}, 1);
  block::insert_value(&b, I(9), true, false);
  EXPECT_EQ(b.index(), 2);
  block::insert_value(&b, I(0), false, true);
  EXPECT_EQ(b.index(), 2);
  b.w1 = 0;
  EXPECT_EQ(molded(b), "[0 1 9 2 3]");

  // Inserting a block into itself keeps the cells in order, wherever.
  for (int32_t at : {0, 1, 2}) {
    Cell self = ints({1, 2}, at);
    block::insert_block(&self, at_index(self, 0));
    EXPECT_EQ(self.index(), at + 2);
    EXPECT_EQ(molded(at_index(self, 0)), at == 0 ? "[1 2 1 2]" : at == 1 ? "[1 1 2 2]" : "[1 2 1 2]");
  }

  Cell kv = ints({1, 10, 2, 20, 3});
  EXPECT_EQ(block::rs_select(kv, I(2)).i2(), 20);
  EXPECT_TRUE(block::rs_select(kv, I(3)).is(TYPE_NONE));  // the last value
  EXPECT_TRUE(block::rs_select(kv, I(7)).is(TYPE_NONE));

  Cell r = ints({5, 6, 7, 6}, 2);
  EXPECT_EQ(block::remove_value(r, I(6), false), block::Removed::AFTER_INDEX);
  EXPECT_EQ(block::remove_value(r, I(5), false), block::Removed::NOT_FOUND);
  EXPECT_EQ(block::remove_value(r, I(5), true), block::Removed::AT_OR_BEFORE_INDEX);
  r.w1 = 0;
  EXPECT_EQ(molded(r), "[6 7]");
}

TEST_F(BlockTest, SelectWordByCanonicalOrExactSymbol) {
  Cell b = make_block({word::load("Foo"), I(1), word::load("bar"), I(2), I(3)});
  EXPECT_EQ(block::select_word(b, word::load("foo"), false).i2(), 1);
  EXPECT_TRUE(block::select_word(b, word::load("foo"), true).is(TYPE_NONE));
  EXPECT_EQ(block::select_word(b, word::load("Foo"), true).i2(), 1);
  Cell set_bar = word::load("bar");
  set_bar.set_type(TYPE_SET_WORD);
  EXPECT_EQ(block::select_word(make_block({set_bar, I(7)}), word::load("BAR"), false).i2(), 7);
  EXPECT_TRUE(block::select_word(make_block({I(1), word::load("baz")}), word::load("baz"), false).is(TYPE_NONE));
}

TEST_F(BlockTest, LowLevelMakersAndClone) {
  Cell p = block::preallocate(4, false);
  EXPECT_EQ(block::total(p), 0u);
  EXPECT_TRUE(block::buffer(p)->cells()[3].is(TYPE_UNSET));
  Cell f = block::preallocate(-3, true);
  EXPECT_TRUE(block::buffer(f)->flags & BUF_FIXED);
  Cell parent = block::make_at(1);
  Cell fixed = block::make_fixed(parent.node(), 3);
  EXPECT_EQ(block::total(fixed), 3u);
  EXPECT_EQ(block::rs_abs_at(parent, 0)->node(), fixed.node());

  Cell inner = with_new_line(ints({2}));
  Cell par = make_block({I(3)}, 0, TYPE_PAREN);
  Cell src = with_new_line(make_block({I(1), inner, par}, 1));
  Cell shallow = block::clone(src, false, false);
  EXPECT_EQ(molded(shallow), "[\n    [2] (3)\n]");
  EXPECT_EQ(block::rs_abs_at(shallow, 0)->node(), inner.node());
  EXPECT_FALSE(shallow.new_line());
  Cell deep = block::clone(src, true, false);
  EXPECT_NE(block::rs_abs_at(deep, 0)->node(), inner.node());
  EXPECT_TRUE(block::rs_abs_at(deep, 0)->new_line());
  EXPECT_EQ(block::rs_abs_at(deep, 1)->node(), par.node());
  Cell all = block::clone(src, true, true);
  EXPECT_NE(block::rs_abs_at(all, 1)->node(), par.node());
  EXPECT_TRUE(block::rs_abs_at(all, 1)->is(TYPE_PAREN));
}

TEST_F(BlockTest, InsertKeepsAHashTableInStep) {
  namespace ht = hash_table;
  Cell h = ints({10, 20});
  h.w3 = ht::make(2, h.node(), ht::KIND_HASH);
  h.set_type(TYPE_HASH);
  for (int32_t i = 0; i < 50; i++) block::insert_value(&h, I(100 + i), false, true);
  EXPECT_EQ(ht::get(h.w3, I(100)), 49);
  EXPECT_EQ(ht::get(h.w3, I(149)), 0);
  EXPECT_EQ(ht::get(h.w3, I(20)), 51);
  EXPECT_EQ(block::remove_value(h, I(120), true), block::Removed::AFTER_INDEX);
  EXPECT_EQ(ht::get(h.w3, I(120)), -1);
  EXPECT_EQ(ht::get(h.w3, I(20)), 50);
}

TEST_F(BlockTest, MoldNewLineMarkersAndFlags) {
  auto marked = [](std::initializer_list<bool> marks) {
    Cell b = block::make_at(3);
    int32_t i = 1;
    for (bool m : marks) {
      Cell c = I(i++);
      c.set_new_line(m);
      block::rs_append(b.node(), c);
    }
    return b;
  };
  struct Case {
    Cell v;
    uint32_t flags;
    const char* text;
  } cases[] = {
      {marked({false, false, false}), 0, "[1 2 3]"},
      {marked({true, false, false}), 0, "[\n    1 2 3\n]"},
      {marked({true, true, true}), 0, "[\n    1\n    2\n    3\n]"},
      {marked({false, true, false}), 0, "[1\n2 3]"},
      {marked({true, false, true}), MOLD_FLAT, "[1 2 3]"},
      {marked({true, false, false}), MOLD_ONLY, "1 2 3"},
      {marked({true, true, false}), MOLD_ONLY, "1\n2 3"},
      {make_block({marked({true, false})}), 0, "[[\n    1 2\n]]"},
      {with_new_line(make_block({with_new_line(marked({true, false}))})), 0, "[\n    [\n        1 2\n    ]\n]"},
      {make_block({with_new_line(I(1)), I(2)}, 0, TYPE_PAREN), 0, "(\n    1 2\n)"},
      {make_block({I(1), make_block({I(2)}, 0, TYPE_PAREN)}, 0, TYPE_PAREN), MOLD_ONLY, "1 (2)"},
      {block::make_at(0), 0, "[]"},
      {ints({1, 2, 3}, 1), 0, "[2 3]"},
      {ints({1, 2, 3}, 7), 0, "[]"},
  };
  for (const Case& c : cases) EXPECT_EQ(molded(c.v, c.flags), c.text);
}

TEST_F(BlockTest, MoldPartBudget) {
  Cell b = ints({1, 22, 333});
  struct Case {
    int32_t part;
    const char* text;
    int32_t left;
  } cases[] = {
      {100, "[1 22 333]", 90}, {5, "[1 22]", -1}, {4, "[1 22]", -2}, {3, "[1 22]", -3}, {2, "[1]", -1}, {1, "[]", -1},
  };
  for (const Case& c : cases) {
    RootedNode out(make_string(4));
    EXPECT_EQ(mold_value(b, out, 0, nullptr, c.part), c.left) << c.part;
    EXPECT_EQ(string_text(out), c.text) << c.part;
  }
  // Indentation counts four a level.
  RootedNode out(make_string(4));
  Cell two = make_block({with_new_line(make_block({with_new_line(I(1))}))});
  EXPECT_EQ(mold_value(two, out, 0, nullptr, 100), 100 - 25);
  EXPECT_EQ(string_text(out), "[\n    [\n        1\n    ]\n]");
}

// The separator after the last value within budget is written; the caller
// cuts the text to the count. What form gives is in block.vel.
TEST_F(BlockTest, FormBudget) {
  RootedNode out(make_string(4));
  EXPECT_EQ(form_value(ints({1, 2, 3}), out, nullptr, 3), -1);
  EXPECT_EQ(string_text(out), "1 2 ");
}

// How a self-holding block molds is in block.vel; here its budget.
TEST_F(BlockTest, SelfHoldingMoldBudget) {
  Cell b = self_holding({I(1)});
  RootedNode out(make_string(4));
  EXPECT_EQ(mold_value(b, out, 0, nullptr, 100), 100 - 9);
}

// What scripts see of comparison, make, to and copy is in block.vel. Here:
// the word-matching operator on paths, the room make reserves, and the
// new-line markers a deep copy keeps.
TEST_F(BlockTest, PathsMeetOnlyUnderWordMatching) {
  Cell p = make_block({I(1)}, 0, TYPE_PATH), lp = make_block({I(1)}, 0, TYPE_LIT_PATH);
  EXPECT_EQ(compare_cells(&p, &lp, CMP_WORD_MATCH), 0);
  EXPECT_EQ(compare_cells(&p, &lp, CMP_EQUAL), CMP_INCOMPARABLE);
}

// An empty block asked for no room gets none (a tree's leaves are such
// blocks): its header is all it costs until a cell is added.
TEST_F(BlockTest, MakeReservesRoom) {
  struct Size {
    Cell spec;
    int32_t room;
  } sizes[] = {{I(0), 0}, {I(-5), 0}, {I(10), 10}, {float_cell(2.5), 2}, {float_cell(-0.5), 0}};
  for (const Size& s : sizes) {
    int32_t room = capacity_cells(make(TYPE_BLOCK, s.spec));
    if (s.room == 0) EXPECT_EQ(room, 0);
    else EXPECT_GE(room, s.room);
  }
}

TEST_F(BlockTest, DeepCopyKeepsNewLineMarkers) {
  Cell src = make_block({ints({1}), with_new_line(ints({3}))});
  Cell deep = copy(src, true);
  EXPECT_FALSE(block::rs_abs_at(deep, 0)->new_line());
  EXPECT_TRUE(block::rs_abs_at(deep, 1)->new_line());
}

TEST_F(BlockTest, DeepNestingRaisesAnErrorNotACrash) {
  Cell a = nested(100000), b = nested(100000);
  // The walks that use the cycle guard stop at its limit.
  EXPECT_EQ(error_of([&] { molded(a); }), ErrId::TOO_DEEP);
  EXPECT_EQ(error_of([&] { formed(a); }), ErrId::TOO_DEEP);
  EXPECT_EQ(error_of([&] { compare_cells(&a, &b, CMP_EQUAL); }), ErrId::TOO_DEEP);
  EXPECT_EQ(error_of([&] { copy(a, true); }), ErrId::TOO_DEEP);
  // The clone of code blocks has only the depth limit.
  EXPECT_EQ(error_of([&] { block::clone(a, true, false); }), ErrId::STACK_OVERFLOW);
  // Nothing is left behind: the next walk works.
  EXPECT_EQ(molded(make_block({ints({1}), I(2)})), "[[1] 2]");
  EXPECT_EQ(molded(nested(3)), "[[[]]]");
}

TEST_F(BlockTest, PathStepsPickPokeAndSelectWords) {
  Cell none = N();
  PathStep step{nullptr, &none, &none, 0, false, false, true, false};
  Cell b = make_block({word::load("Key"), I(10), I(20)}, 1);
  EXPECT_EQ(eval_path_step(b, I(1), nullptr, step).i2(), 10);
  EXPECT_EQ(eval_path_step(b, I(-1), nullptr, step).type(), TYPE_WORD);
  EXPECT_TRUE(eval_path_step(b, I(0), nullptr, step).is(TYPE_NONE));
  Cell v = I(99);
  EXPECT_EQ(eval_path_step(b, I(2), &v, step).i2(), 99);
  EXPECT_EQ(molded(at_index(b, 1)), "[10 99]");
  // Past the end the step answers a held error for eval_path to raise.
  EXPECT_TRUE(eval_path_step(b, I(3), &v, step).is(TYPE_UNSET));
  EXPECT_TRUE(take_value_failure());
  EXPECT_EQ(take_held_error().id, ErrId::OUT_OF_RANGE);
  EXPECT_EQ(molded(at_index(b, 1)), "[10 99]");
  // Words select from the position, by any case unless the path is strict.
  Cell head = at_index(b, 0);
  EXPECT_EQ(eval_path_step(head, word::load("key"), nullptr, step).i2(), 10);
  EXPECT_TRUE(eval_path_step(b, word::load("key"), nullptr, step).is(TYPE_NONE));
  step.case_sensitive = true;
  EXPECT_TRUE(eval_path_step(head, word::load("key"), nullptr, step).is(TYPE_NONE));
  EXPECT_EQ(eval_path_step(head, word::load("Key"), nullptr, step).i2(), 10);
  // Parens and paths step the same way.
  EXPECT_EQ(eval_path_step(make_block({I(5)}, 0, TYPE_PAREN), I(1), nullptr, step).i2(), 5);
  EXPECT_EQ(eval_path_step(make_block({I(6)}, 0, TYPE_GET_PATH), I(1), nullptr, step).i2(), 6);
}

// The paths that allocate, with every buffer moving at every allocation.
// Everything the test holds is rooted; the code under test must keep the
// rest alive and read buffers again after each allocation.
TEST_F(BlockTest, AllocatingPathsUnderCollectorStress) {
  RootedCell inner(with_new_line(ints({1, 2})));
  RootedCell str(text("ab"));
  RootedCell src(make_block({I(0), *inner, *str, make_block({*inner}, 0, TYPE_PAREN)}));
  RootedCell self(self_holding({I(1)}));
  RootedCell from(ints({1, 2, 3, 4, 5, 6, 7, 8}, 2));
  RootedCell into(ints({9}, 1));
  RootedCell grow(block::make_at(1));
  RootedCell h(ints({10, 20}));
  h->w3 = hash_table::make(2, h->node(), hash_table::KIND_HASH);
  h->set_type(TYPE_HASH);

  CollectingScope on(1);
  uint32_t cycles = g_gc.cycles;
  RootedCell deep(copy(*src, true));
  EXPECT_NE(block::rs_abs_at(*deep, 1)->node(), inner->node());
  EXPECT_NE(block::rs_abs_at(*deep, 2)->node(), str->node());
  EXPECT_EQ(molded(*block::rs_abs_at(*deep, 1)), "[1 2]");
  RootedCell cl(block::clone(*src, true, true));
  EXPECT_EQ(molded(*block::rs_abs_at(*cl, 3)), "(\n    [1 2]\n)");
  EXPECT_EQ(molded(*self), "[1 [...]]");
  EXPECT_EQ(molded(*inner, MOLD_ONLY), "1 2");
  EXPECT_EQ(formed(*self), "1 ...");

  for (int32_t i = 0; i < 40; i++) block::insert_value(grow.get(), I(i), i % 2 == 0, i % 3 == 0);
  EXPECT_EQ(block::total(*grow), 40u);
  block::insert_block(grow.get(), at_index(*grow, 0));
  block::rs_append_block(grow->node(), at_index(*grow, 0));
  EXPECT_EQ(block::total(*grow), 160u);
  for (int32_t i = 0; i < 30; i++) block::insert_value(h.get(), I(100 + i), false, true);
  EXPECT_EQ(hash_table::get(h->w3, I(100)), 29);

  (void)call_action(
      act::move::SHAPE,
      {{act::move::ORIGIN, *from}, {act::move::TARGET, *into}, {act::move::PART, T()}, {act::move::LENGTH, I(3)}});
  EXPECT_EQ(molded(at_index(*into, 0)), "[9 3 4 5]");
  RootedCell taken(call_action(
      act::take::SHAPE,
      {{act::take::SERIES, *from}, {act::take::PART, T()}, {act::take::LENGTH, I(-2)}, {act::take::DEEP, T()}}));
  EXPECT_EQ(molded(*taken), "[1 2]");
  EXPECT_EQ(molded(at_index(*from, 0)), "[6 7 8]");
  RootedCell made(make(TYPE_PAREN, *src));
  RootedCell wrapped(to(TYPE_BLOCK, I(7)));
  EXPECT_EQ(molded(*wrapped), "[7]");
  EXPECT_EQ(block::total(*made), 4u);
  EXPECT_GT(g_gc.cycles, cycles + 20);  // it did run, at every allocation
}

