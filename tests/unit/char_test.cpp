// char!: the mold and form budgets, and the allocating paths under collector
// stress.
#include <gtest/gtest.h>


#include "datatypes/char.h"
#include "action_frames.h"
#include "roots.h"
#include "scalar_test_util.h"

using namespace vel;
using namespace vel::scalartest;

// What scripts see of char! (arithmetic, to and make, the molded escapes,
// comparison) is in tests/vel/datatypes/char.vel; here, the budgets of the
// mold and form writers and the escape with the all flag.
TEST(Char, MoldAndFormBudgets) {
  NodeId out = make_string(4);
  EXPECT_EQ(mold_value(C('\t'), out, 0, nullptr, 100), 95);
  EXPECT_EQ(mold_value(C(30), out, 0, nullptr, 100), 92);
  // The escape with the all flag writes every code point above 127 in hex.
  NodeId all = make_string(4);
  EXPECT_EQ(append_escaped_char(all, 0x20AC, true), 7);
  EXPECT_EQ(string_text(all), "^(20AC)");
  NodeId formed_out = make_string(4);
  EXPECT_EQ(form_value(C(0x20AC), formed_out, nullptr, 10), 9);
}

// The paths that allocate, with every buffer moving at every allocation:
// mold widening its output, the makers appending to a block, and the error
// of an invalid UTF-8 sequence building its binary.
TEST(Char, AllocatingPathsUnderCollectorStress) {
  const uint32_t cps[] = {'a', '\t', 0x20AC, 0x1F600, 159};
  std::string expected;
  for (uint32_t cp : cps) expected += molded(C(cp));

  CollectingScope collecting(1);
  uint32_t cycles = g_gc.cycles;
  RootedNode out(make_string(1));
  for (uint32_t cp : cps) mold_value(C(cp), out);
  EXPECT_EQ(string_text(out), expected);

  RootedNode block(alloc_cells(1));
  for (int i = 0; i < 40; i++) {
    char_make_in(block, uint32_t('a' + i % 26));
    integer_make_in(block, i);
    float_make_in(block, i + 0.5);
  }
  Buffer* b = node_buffer(block);
  ASSERT_EQ(b->length(), 120u);
  EXPECT_EQ(b->cells()[117].w2, uint32_t('a' + 39 % 26));
  EXPECT_EQ(b->cells()[118].i2(), 39);
  EXPECT_EQ(b->cells()[119].f64(), 39.5);

  RootedCell bin(BIN({0xE2, 0x28, 0xA1}));
  VelError e = caught([&] { (void)run_action(act::to::SHAPE, {DT(TYPE_CHAR), *bin}); });
  EXPECT_EQ(e.id, ErrId::INVALID_UTF8);
  ASSERT_TRUE(e.args[0].is(TYPE_BINARY));
  Buffer* bad = node_buffer(e.args[0].node());
  EXPECT_EQ(bad->used(), 3u);
  EXPECT_EQ(bad->head_ptr()[0], 0xE2);
  EXPECT_GT(g_gc.cycles, cycles + 10);  // it did run, at every growth
}
