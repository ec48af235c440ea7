#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "collector.h"
#include "gc_scope.h"
#include "memory.h"
#include "roots.h"
#include "series_ops.h"

using namespace vel;

namespace {


NodeId make_text(const std::string& s) {
  NodeId n = alloc_bytes(s.size());
  Buffer* b = node_buffer(n);
  std::memcpy(b->data(), s.data(), s.size());
  b->tail = uint32_t(s.size());
  return n;
}

std::string text_of(NodeId n) {
  Buffer* b = node_buffer(n);
  return std::string(reinterpret_cast<const char*>(b->head_ptr()), b->used());
}

bool node_alive(NodeId n) { return node_pool_of(n) && !node_is_free_link(g_node_slots[n]) && g_node_slots[n]; }

}  // namespace

TEST(Collector, KeepsWhatIsReachableAndFreesTheRest) {
  CollectingScope on;
  RootedCell root(series_cell(TYPE_BLOCK, alloc_cells(4)));
  NodeId kept = make_text("kept");
  *alloc_tail(root->node()) = series_cell(TYPE_STRING, kept);
  NodeId garbage = make_text("garbage");
  collector_run();
  EXPECT_TRUE(node_alive(kept));
  EXPECT_EQ(text_of(kept), "kept");
  EXPECT_FALSE(node_alive(garbage));
  heap_verify();
}

TEST(Collector, CompactionMovesBuffersAndKeepsContents) {
  CollectingScope on;
  RootedCell root(series_cell(TYPE_BLOCK, alloc_cells(64)));
  std::vector<std::string> texts;
  for (int i = 0; i < 200; i++) {
    make_text(std::string(100, 'x'));  // garbage between the survivors
    texts.push_back("text " + std::to_string(i));
    NodeId n = make_text(texts.back());
    *alloc_tail(root->node()) = series_cell(TYPE_STRING, n);
  }
  std::vector<Buffer*> before;
  Buffer* blk = node_buffer(root->node());
  for (uint32_t i = 0; i < blk->length(); i++) before.push_back(node_buffer(blk->cells()[i].node()));
  collector_run();
  blk = node_buffer(root->node());
  ASSERT_EQ(blk->length(), 200u);
  int moved = 0;
  for (uint32_t i = 0; i < 200; i++) {
    NodeId n = blk->cells()[i].node();
    EXPECT_EQ(text_of(n), texts[i]);
    moved += node_buffer(n) != before[i];
  }
  EXPECT_GT(moved, 0);
}

TEST(Collector, DeepNestingIsMarkedWithoutRecursion) {
  CollectingScope on;
  RootedCell root(series_cell(TYPE_BLOCK, alloc_cells(1)));
  NodeId inner = root->node();
  for (int i = 0; i < 200000; i++) {
    NodeId next = alloc_cells(1);
    *alloc_tail(inner) = series_cell(TYPE_BLOCK, next);
    inner = next;
  }
  *alloc_tail(inner) = series_cell(TYPE_STRING, make_text("deepest"));
  collector_run();
  NodeId n = root->node();
  for (int i = 0; i < 200000; i++) n = node_buffer(n)->cells()[0].node();
  EXPECT_EQ(text_of(node_buffer(n)->cells()[0].node()), "deepest");
}

TEST(Collector, CyclesAreCollectedAndKeptAlike) {
  CollectingScope on;
  NodeId a = alloc_cells(2), b = alloc_cells(2);
  *alloc_tail(a) = series_cell(TYPE_BLOCK, b);
  *alloc_tail(b) = series_cell(TYPE_BLOCK, a);
  {
    RootedNode keep(a);
    collector_run();
    EXPECT_TRUE(node_alive(a));
    EXPECT_TRUE(node_alive(b));
  }
  collector_run();
  EXPECT_FALSE(node_alive(a));
  EXPECT_FALSE(node_alive(b));
}

TEST(Collector, StressModeMovesEveryBufferAtAllocation) {
  CollectingScope on(1);
  RootedCell root(series_cell(TYPE_BLOCK, alloc_cells(4)));
  NodeId s = make_text("moving");
  *alloc_tail(root->node()) = series_cell(TYPE_STRING, s);
  for (int i = 0; i < 20; i++) {
    Buffer* before = node_buffer(s);
    alloc_bytes(8);  // every allocation collects and moves
    EXPECT_NE(node_buffer(s), before);
    EXPECT_EQ(text_of(s), "moving");
  }
}

TEST(Collector, AbandonedBuffersAndBigBuffersAreReclaimed) {
  CollectingScope on;
  RootedNode s(alloc_bytes(16));
  for (int i = 0; i < 6; i++) expand_series(s, 0);  // five abandoned buffers
  RootedNode big(alloc_bytes(3 << 20));
  NodeId dead_big = alloc_bytes(3 << 20);
  size_t bigs = 0;
  for (BigBuffer* b = g_mem.first_big; b; b = b->next) bigs++;
  collector_run();
  size_t after = 0;
  for (BigBuffer* b = g_mem.first_big; b; b = b->next) after++;
  EXPECT_EQ(after, bigs - 1);
  EXPECT_FALSE(node_alive(dead_big));
  EXPECT_TRUE(node_buffer(big)->flags & BUF_BIG);
  EXPECT_GT(g_gc.last_freed, 0u);
}

// A registered root lives for the rest of the run whatever the RAII roots
// around its registration do: a root kept in their LIFO list would leave
// it when the temporary below it went away.
TEST(Collector, RegisteredRootsOutliveTheTemporariesAroundThem) {
  CollectingScope on;
  static NodeId held = 0;
  static Cell cells[2] = {};
  {
    RootedCell temporary(series_cell(TYPE_BLOCK, alloc_cells(1)));
    register_root_node("test: a node", &held);
    register_root("test: two cells", cells, 2);
    register_root("test: two cells", cells, 2);  // again: still one root
  }
  held = make_text("held by a registered node");
  cells[1] = series_cell(TYPE_STRING, make_text("held by registered cells"));
  NodeId garbage = make_text("garbage");
  collector_run();
  EXPECT_EQ(text_of(held), "held by a registered node");
  EXPECT_EQ(text_of(cells[1].node()), "held by registered cells");
  EXPECT_FALSE(node_alive(garbage));

  struct Lister final : RootVisitor {
    std::vector<std::string> tags;
    void cells(const char* tag, Cell*, size_t) override { tags.emplace_back(tag); }
    void node(const char* tag, NodeId*) override { tags.emplace_back(tag); }
    void table(const char* tag, NodeId*) override { tags.emplace_back(tag); }
  } lister;
  visit_roots(lister);
  auto count = [&](const std::string& t) { return std::count(lister.tags.begin(), lister.tags.end(), t); };
  EXPECT_EQ(count("test: a node"), 1);
  EXPECT_EQ(count("test: two cells"), 1);
  for (const char* t : {"argument stack", "symbol block", "symbol hash table", "global context"})
    EXPECT_EQ(count(t), 1) << t;
  for (const std::string& t : lister.tags) EXPECT_FALSE(t.empty());
}
