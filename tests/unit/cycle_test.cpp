#include "cycle.h"

#include <gtest/gtest.h>

#include <string>

#include "roots.h"
#include "text_test_util.h"

namespace vel {
namespace {

using texttest::Chars;
using texttest::chars_of;
using texttest::make_string;

struct CycleTest : ::testing::Test {
  void SetUp() override { cycles_reset(); }
  void TearDown() override { cycles_reset(); }
};

std::string text_of(NodeId s) {
  std::string out;
  for (uint32_t c : chars_of(s)) out += c < 0x80 ? char(c) : '?';
  return out;
}

void append_text(NodeId out, const std::string& t) {
  Buffer* b = reserve_chars(out, t.size());
  for (char c : t) {
    put_char(b->tail_ptr(), b->unit(), uint8_t(c));
    b->tail += b->unit();
  }
}

// A small mold/form of blocks, parens and integers in the way the real ones
// use the guard.
void walk(const Cell& v, NodeId out, int32_t* part, bool mold) {
  if (v.is(TYPE_INTEGER)) {
    append_text(out, std::to_string(v.i2()));
    return;
  }
  if (cycles_detect(v, out, part, mold)) return;
  CycleScope scope(cycle_key(v));
  bool paren = v.is(TYPE_PAREN);
  if (mold) append_text(out, paren ? "(" : "[");
  Buffer* b = node_buffer(v.node());
  uint32_t n = b->used() / 16;
  for (uint32_t i = uint32_t(v.index()); i < n; i++) {
    if (i > uint32_t(v.index())) append_text(out, " ");
    Cell item = node_buffer(v.node())->cells()[i];
    walk(item, out, part, mold);
  }
  if (mold) append_text(out, paren ? ")" : "]");
}

NodeId make_block(uint32_t slots) {
  NodeId n = alloc_cells(slots);
  node_buffer(n)->tail = slots * 16;
  return n;
}

std::string mold_of(const Cell& v, bool mold = true) {
  RootedNode out(make_string({}, 1));
  int32_t part = 1000;
  walk(v, out, &part, mold);
  return text_of(out);
}

TEST_F(CycleTest, StackOperations) {
  cycles_push(10);
  cycles_push(20);
  cycles_push(30);
  EXPECT_TRUE(cycles_find(20));
  EXPECT_FALSE(cycles_find(40));
  EXPECT_EQ(cycles_depth(), 3u);
  cycles_pop();
  EXPECT_FALSE(cycles_find(30));
  cycles_drop(5);
  EXPECT_EQ(cycles_depth(), 0u);
  cycles_pop();  // empty: nothing happens
  EXPECT_EQ(cycles_depth(), 0u);
  cycles_push(7);
  ASSERT_EQ(cycles_keys().size(), 1u);
  cycles_keys()[0] = 8;  // as the collector does when a node moves
  EXPECT_TRUE(cycles_find(8));
  cycles_reset();
  EXPECT_FALSE(cycles_find(8));
}

TEST_F(CycleTest, DepthLimitEmptiesTheStack) {
  for (uint32_t i = 1; i < CYCLE_STACK_SIZE; i++) cycles_push(i);
  EXPECT_EQ(cycles_depth(), CYCLE_STACK_SIZE - 1);
  EXPECT_EQ(caught([] { cycles_push(5000); }).id, ErrId::TOO_DEEP);
  EXPECT_EQ(cycles_depth(), 0u);
  EXPECT_FALSE(cycles_find(1));
  cycles_push(1);
  EXPECT_EQ(cycles_depth(), 1u);
}

TEST_F(CycleTest, ScopePopsWhenAnErrorPasses) {
  try {
    CycleScope a(1);
    CycleScope b(2);
    fire(ErrId::INVALID_ARG);
  } catch (const VelError&) {
  }
  EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(CycleTest, Markers) {
  struct Case {
    TypeId type;
    const char* mold;
  } cases[] = {{TYPE_BLOCK, "[...]"},    {TYPE_HASH, "[...]"},     {TYPE_PAREN, "(...)"},
               {TYPE_MAP, "#[...]"},     {TYPE_OBJECT, "make object! [...]"},
               {TYPE_PATH, "..."},       {TYPE_LIT_PATH, "..."},   {TYPE_SET_PATH, "..."},
               {TYPE_GET_PATH, "..."},   {TYPE_STRING, ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(cycle_marker(c.type, true), c.mold);
    EXPECT_EQ(cycle_marker(c.type, false), "...");
  }
}

TEST_F(CycleTest, DetectAppendsAndChargesThePart) {
  RootedNode out(make_string({0x20AC}, 2));  // a unit-2 output keeps its unit
  Cell obj = make_cell(TYPE_OBJECT, 77, 0, 0);
  Cell blk = make_cell(TYPE_BLOCK, 0, 88, 0);
  int32_t part = 40;
  EXPECT_FALSE(cycles_detect(obj, out, &part, true));
  EXPECT_EQ(part, 40);
  cycles_push(77);
  cycles_push(88);
  EXPECT_TRUE(cycles_detect(obj, out, &part, true));
  EXPECT_EQ(part, 22);
  EXPECT_TRUE(cycles_detect(blk, out, &part, false));
  EXPECT_EQ(part, 19);
  // Enough markers to make the buffer grow.
  for (int i = 0; i < 20; i++) ASSERT_TRUE(cycles_detect(blk, out, &part, true));
  EXPECT_EQ(part, 19 - 100);
  std::string want = "?make object! [...]...";
  for (int i = 0; i < 20; i++) want += "[...]";
  EXPECT_EQ(text_of(out), want);
  EXPECT_EQ(node_buffer(out)->unit(), 2u);
}

// A char or integer whose number is a node on the stack is a value, not the
// node recurring: its data word only looks like a key.
TEST_F(CycleTest, ValuesThatHoldNoOthersNeverRecur) {
  RootedNode out(make_string({}, 1));
  cycles_push(0x20AC);
  int32_t part = 40;
  for (Cell v : {char_cell(0x20AC), integer_cell(0x20AC), make_cell(TYPE_STRING, 0, 0x20AC, 0)})
    EXPECT_FALSE(cycles_detect(v, out, &part, false)) << int(v.type());
  EXPECT_EQ(part, 40);
  EXPECT_TRUE(cycles_detect(make_cell(TYPE_PAREN, 0, 0x20AC, 0), out, &part, true));
}

TEST_F(CycleTest, SelfContainingValues) {
  // b: [1 b]
  RootedNode b(make_block(2));
  Cell bc = make_cell(TYPE_BLOCK, 0, b, 0);
  node_buffer(b)->cells()[0] = make_cell(TYPE_INTEGER, 0, 1, 0);
  node_buffer(b)->cells()[1] = bc;
  EXPECT_EQ(mold_of(bc), "[1 [...]]");
  EXPECT_EQ(mold_of(bc, false), "1 ...");
  // p: (p 2)
  RootedNode p(make_block(2));
  Cell pc = make_cell(TYPE_PAREN, 0, p, 0);
  node_buffer(p)->cells()[0] = pc;
  node_buffer(p)->cells()[1] = make_cell(TYPE_INTEGER, 0, 2, 0);
  EXPECT_EQ(mold_of(pc), "((...) 2)");
  // The same block twice side by side is not a cycle.
  RootedNode inner(make_block(1));
  node_buffer(inner)->cells()[0] = make_cell(TYPE_INTEGER, 0, 3, 0);
  RootedNode twice(make_block(2));
  node_buffer(twice)->cells()[0] = make_cell(TYPE_BLOCK, 0, inner, 0);
  node_buffer(twice)->cells()[1] = make_cell(TYPE_BLOCK, 0, inner, 0);
  EXPECT_EQ(mold_of(make_cell(TYPE_BLOCK, 0, twice, 0)), "[[3] [3]]");
  EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(CycleTest, NestingTooDeepThenAFlatWalkWorks) {
  // 1,000 blocks, each holding the next.
  std::vector<Cell> chain(CYCLE_STACK_SIZE);
  RootedCells keep(chain.data(), chain.size());
  for (auto& c : chain) c = make_cell(TYPE_BLOCK, 0, make_block(1), 0);
  for (size_t i = 0; i + 1 < chain.size(); i++) node_buffer(chain[i].node())->cells()[0] = chain[i + 1];
  node_buffer(chain.back().node())->cells()[0] = make_cell(TYPE_INTEGER, 0, 0, 0);
  EXPECT_EQ(caught([&] { mold_of(chain[0]); }).id, ErrId::TOO_DEEP);
  EXPECT_EQ(cycles_depth(), 0u);
  // 999 levels are fine.
  std::string deep = mold_of(chain[1]);
  EXPECT_EQ(deep.size(), 2 * (CYCLE_STACK_SIZE - 1) + 1);
  EXPECT_EQ(mold_of(chain.back()), "[0]");
}

TEST(DisplayWidth, Characters) {
  struct Case {
    uint32_t cp;
    int width, cjk;
  } cases[] = {
      {0, 0, 0},         {7, 1, 1},           {'A', 1, 1},         {0x7F, 1, 1},        {0x9F, 1, 1},
      {0xAD, 1, 2},      {0x300, 0, 0},       {0x200B, 0, 0},      {0x1160, 0, 0},      {0xA1, 1, 2},
      {0x3B1, 1, 2},     {0x1100, 2, 2},      {0x4E00, 2, 2},      {0x3400, 2, 2},      {0xFF21, 2, 2},
      {0xFF61, 1, 1},    {0x1F600, 2, 2},     {0x20000, 2, 2},     {0x2FFFD, 2, 2},     {0x3FFFD, 2, 2},
      {0x3FFFE, 1, 1},   {0xE0001, 0, 0},     {0x10FFFF, 1, 1},    {0xFFFFFFFF, 1, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(char_width(c.cp), c.width) << std::hex << c.cp;
    EXPECT_EQ(char_width_cjk(c.cp), c.cjk) << std::hex << c.cp;
  }
}

TEST(DisplayWidth, RangeTables) {
  // in_ranges relies on ascending, disjoint ranges.
  struct Table {
    const CodeRange* t;
    uint32_t n;
  } tables[] = {{detail::kZeroWidth, detail::kZeroWidthCount},
                {detail::kWide, detail::kWideCount},
                {detail::kAmbiguous, detail::kAmbiguousCount}};
  for (const Table& t : tables) {
    ASSERT_GT(t.n, 0u);
    for (uint32_t i = 0; i < t.n; i++) {
      ASSERT_LE(t.t[i].first, t.t[i].last);
      if (i) {
        ASSERT_LT(t.t[i - 1].last + 1, t.t[i].first);
      }
      EXPECT_TRUE(in_ranges(t.t[i].first, t.t, t.n));
      EXPECT_TRUE(in_ranges(t.t[i].last, t.t, t.n));
      EXPECT_FALSE(in_ranges(t.t[i].last + 1, t.t, t.n));
      EXPECT_FALSE(in_ranges(t.t[i].first - 1, t.t, t.n));
    }
  }
  const CodeRange small[] = {{5, 9}, {20, 20}};
  EXPECT_FALSE(in_ranges(4, small, 2));
  EXPECT_TRUE(in_ranges(20, small, 2));
  EXPECT_FALSE(in_ranges(21, small, 2));
  EXPECT_FALSE(in_ranges(7, small, 0));
}

}  // namespace
}  // namespace vel
