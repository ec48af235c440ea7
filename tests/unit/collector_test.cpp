#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "collector.h"
#include "gc_scope.h"
#include "memory.h"
#include "roots.h"
#include "series.h"

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

TEST(Collector, MarkersKeepTheirNodes) {
  CollectingScope on;
  static NodeId held = 0;
  held = make_text("held by a marker");
  Marker m = [](const MarkVisitor& v) { v.node(v.ctx, &held); };
  collector_register_marker(m);
  collector_run();
  EXPECT_EQ(text_of(held), "held by a marker");
  collector_unregister_marker(m);
  collector_run();
  EXPECT_FALSE(node_alive(held));
}
