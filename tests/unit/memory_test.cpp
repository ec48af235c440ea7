#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "error_of.h"
#include "errors.h"
#include "memory.h"

using namespace vel;

TEST(Memory, SmallestRequestsGetSixteenBytes) {
  EXPECT_EQ(node_buffer(alloc_bytes(0))->capacity, 16u);
  for (uint32_t unit : {1u, 2u, 4u}) EXPECT_EQ(node_buffer(alloc_series_unit(0, unit))->capacity, 16u);
  EXPECT_EQ(node_buffer(alloc_cells(3))->capacity, 48u);
}

TEST(Memory, FreshBufferHeader) {
  NodeId n = alloc_series(10, 4, 0);
  Buffer* b = node_buffer(n);
  EXPECT_EQ(b->node, n);
  EXPECT_EQ(b->capacity, 48u);
  EXPECT_EQ(b->unit(), 4u);
  EXPECT_TRUE(b->flags & BUF_IN_USE);
  EXPECT_TRUE(b->flags & BUF_NEW);
  EXPECT_EQ(b->head, 0u);
  EXPECT_EQ(b->tail, 0u);
  EXPECT_EQ(b->length(), 0u);
}

TEST(Memory, HeadInTheMiddle) {
  NodeId n = alloc_series(64, 1, -1);
  Buffer* b = node_buffer(n);
  EXPECT_EQ(b->head, 32u);
  EXPECT_EQ(b->tail, 32u);
  EXPECT_TRUE(b->flags & BUF_MIDDLE);
  EXPECT_TRUE(b->flags & BUF_NEW);
}

TEST(Memory, BigBufferThreshold) {
  // A buffer costs its capacity plus 24 bytes; at 2 MB it gets a big buffer.
  const uint64_t limit = SERIES_POOL_CAP - sizeof(Buffer);
  EXPECT_TRUE(node_buffer(alloc_bytes(limit))->flags & BUF_BIG);
  EXPECT_FALSE(node_buffer(alloc_bytes(limit - 16))->flags & BUF_BIG);
}

TEST(Memory, ExpansionAbandonsTheOldBuffer) {
  NodeId n = alloc_series(4, 16, 0);
  Buffer* old = node_buffer(n);
  Cell* c = reinterpret_cast<Cell*>(old->data());
  for (int i = 0; i < 3; i++) c[i] = make_cell(TYPE_INTEGER, 0, uint32_t(i + 7));
  old->tail = 3 * 16;
  Buffer* nb = expand_series(n, 0);
  EXPECT_EQ(node_buffer(n), nb);
  EXPECT_EQ(nb->capacity, 128u);
  EXPECT_EQ(nb->length(), 3u);
  EXPECT_EQ(nb->node, n);
  EXPECT_EQ(old->node, 0u);
  EXPECT_FALSE(old->flags & BUF_IN_USE);
  EXPECT_EQ(nb->cells()[2].w2, 9u);
}

TEST(Memory, ExpansionCopiesOnlyTheUsedBytes) {
  // A head past the data start must not make the copy read past the buffer.
  NodeId n = alloc_series(64, 1, -1);
  Buffer* b = node_buffer(n);
  std::memcpy(b->tail_ptr(), "abcdefgh", 8);
  b->tail += 8;
  Buffer* nb = expand_series(n, 256);
  EXPECT_EQ(nb->head, 0u);
  EXPECT_EQ(nb->used(), 8u);
  EXPECT_EQ(std::memcmp(nb->data(), "abcdefgh", 8), 0);
}

TEST(Memory, CopySeries) {
  NodeId n = alloc_series(32, 1, 4);
  Buffer* b = node_buffer(n);
  std::memcpy(b->tail_ptr(), "hello", 5);
  b->tail += 5;
  NodeId c = copy_series(n);
  Buffer* cb = node_buffer(c);
  EXPECT_NE(c, n);
  EXPECT_EQ(cb->used(), 5u);
  EXPECT_EQ(std::memcmp(cb->head_ptr(), "hello", 5), 0);
  EXPECT_EQ(cb->node, c);
}

TEST(Memory, OversizedRequestsRaiseNoMemory) {
  EXPECT_EQ(error_of([] { alloc_series(uint64_t(1) << 31, 1); }), ErrId::NO_MEMORY);
  EXPECT_EQ(error_of([] { alloc_series(uint64_t(1) << 40, 16); }), ErrId::NO_MEMORY);
  EXPECT_EQ(error_of([] { alloc_series(0xFFFFFFFFull, 4); }), ErrId::NO_MEMORY);
  // Doubling a buffer of 2^30 bytes would pass the largest capacity.
  EXPECT_EQ(error_of([] {
              NodeId n = alloc_series(uint64_t(1) << 30, 1);
              expand_series(n, 0);
            }),
            ErrId::NO_MEMORY);
}

TEST(Memory, SeriesPoolSizesGrowToTwoMegabytes) {
  // Fill pools with 512 KB buffers and look at the sizes of the pools made:
  // 1 MB for the very first pool of the process, 2 MB for every later one.
  std::vector<SeriesPool*> before;
  for (SeriesPool* p = g_mem.first_series_pool; p; p = p->next) before.push_back(p);
  bool first_ever = g_mem.next_series_pool_size == SERIES_POOL_FIRST;
  for (int i = 0; i < 12; i++) alloc_bytes(512 * 1024);
  std::vector<size_t> made;
  for (SeriesPool* p = g_mem.first_series_pool; p; p = p->next)
    if (std::find(before.begin(), before.end(), p) == before.end()) made.push_back(size_t(p->end - p->start()));
  ASSERT_GE(made.size(), 2u);
  size_t ones = 0;
  for (size_t s : made) {
    EXPECT_TRUE(s == SERIES_POOL_FIRST || s == SERIES_POOL_CAP) << s;
    ones += s == SERIES_POOL_FIRST;
  }
  EXPECT_EQ(ones, first_ever ? 1u : 0u);
  EXPECT_EQ(g_mem.next_series_pool_size, SERIES_POOL_CAP);
}

TEST(Memory, NodesComeFromPoolsOfTenThousand) {
  NodePool* pool = new_node_pool();
  EXPECT_EQ(pool->slots, NODE_POOL_SLOTS);
  EXPECT_EQ(pool->used, 0u);
  NodeId first = pool->free_head;
  EXPECT_TRUE(pool->contains(first));
  EXPECT_EQ(node_pool_of(first), pool);
  // The free list is threaded in address order.
  EXPECT_EQ(NodeId(g_node_slots[first] >> 1), first + 1);
  NodePool* saved = g_mem.current_node_pool;
  g_mem.current_node_pool = pool;
  NodeId a = take_node();
  EXPECT_EQ(a, first);
  EXPECT_EQ(g_node_slots[a], 0u);
  EXPECT_EQ(pool->used, 1u);
  free_node(pool, a);
  EXPECT_EQ(pool->used, 0u);
  EXPECT_EQ(pool->free_head, a);
  g_mem.current_node_pool = saved;
  release_node_pool(pool);
}

TEST(Memory, StatsCountWhatIsHeld) {
  uint64_t before = memory_bytes_in_use();
  alloc_bytes(1000);
  EXPECT_GE(memory_bytes_in_use(), before + 1008 + 24);
  MemoryStats s = memory_stats();
  EXPECT_EQ(s.bytes_in_use, memory_bytes_in_use());
  EXPECT_FALSE(s.node_pools.empty());
  for (auto& t : s.node_pools) EXPECT_EQ(t.free + t.used, t.total);
  for (auto& t : s.series_pools) EXPECT_EQ(t.free + t.used, t.total);
  EXPECT_GT(s.total_bytes, s.heap_bytes);
}

TEST(Memory, LowLevelHeapIsCounted) {
  uint64_t before = g_mem.lowlevel_heap;
  void* p = lowlevel_allocate(100);
  EXPECT_EQ(g_mem.lowlevel_heap, before + 116);
  lowlevel_free(p);
  EXPECT_EQ(g_mem.lowlevel_heap, before);
}

TEST(Memory, AnEmptyBufferGrowsWhenDoubled) {
  NodeId n = alloc_series(0, 16, 0);
  EXPECT_EQ(node_buffer(n)->capacity, 0u);
  Buffer* b = expand_series(n, 0);
  EXPECT_EQ(b->capacity, 16u);
  EXPECT_EQ(b->used(), 0u);
}

// The no-collection scope is checked in debug builds only.
#ifndef NDEBUG
TEST(MemoryDeathTest, AllocationInsideANoGcScopeStops) {
  EXPECT_DEATH(
      {
        NoGcScope outer;
        { NoGcScope inner; }
        // The outer scope is still open after the inner one closed.
        alloc_bytes(16);
      },
      "allocation inside a no-collection scope");
}

TEST(Memory, NoGcScopeEndsWithItsRegionAndWithARaisedError) {
  { NoGcScope s; }
  EXPECT_NE(alloc_bytes(16), 0u);
  // Building the error allocates; the throw leaves the scope behind.
  EXPECT_EQ(error_of([] {
              NoGcScope s;
              fire(ErrId::OUT_OF_RANGE);
            }),
            ErrId::OUT_OF_RANGE);
  EXPECT_NE(alloc_bytes(16), 0u);
}
#endif
