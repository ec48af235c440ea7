// Memory manager: node pools, series pools, big buffers.
#include "memory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "errors.h"
#include "fatal.h"
#include "platform/platform.h"

namespace vel {

uintptr_t* g_node_slots = nullptr;
uint32_t* g_node_stamps = nullptr;
uint64_t g_buffer_moves = 1;
MemoryState g_mem;

namespace {

constexpr size_t NODE_RANGE_BYTES = size_t(MAX_NODE_POOLS) * NODE_POOL_STRIDE * sizeof(uintptr_t);
constexpr size_t STAMP_RANGE_BYTES = size_t(MAX_NODE_POOLS) * NODE_POOL_STRIDE * sizeof(uint32_t);

inline uint64_t round16(uint64_t n) { return (n + 15) & ~uint64_t(15); }
inline size_t round_page(size_t n) { return (n + platform::PAGE_SIZE - 1) & ~(platform::PAGE_SIZE - 1); }

// Low-level blocks are chained so that lowlevel_free_all can release them.
struct LowBlock {
  LowBlock* next;
  LowBlock* prev;
  size_t size;
  size_t pad;
};
LowBlock* g_low_blocks = nullptr;

std::vector<uint32_t> g_free_pool_indexes;  // pool numbers of freed pools, reused first
uint32_t g_next_pool_index = 0;
std::vector<NodePool*> g_pool_by_index;     // node pool number -> pool

}  // namespace

// ---------------------------------------------------------------------------
// Low-level allocator

void* lowlevel_allocate(size_t size) {
  if (size > (size_t(1) << 40)) fatal_error(94, 0);
  auto* b = static_cast<LowBlock*>(std::malloc(sizeof(LowBlock) + size));
  if (!b) fatal_error(94, 0);
  b->size = size;
  b->prev = nullptr;
  b->next = g_low_blocks;
  if (g_low_blocks) g_low_blocks->prev = b;
  g_low_blocks = b;
  g_mem.lowlevel_heap += size + 16;
  return b + 1;
}

void lowlevel_free(void* p) {
  if (!p) return;
  LowBlock* b = static_cast<LowBlock*>(p) - 1;
  if (b->prev) b->prev->next = b->next;
  else g_low_blocks = b->next;
  if (b->next) b->next->prev = b->prev;
  g_mem.lowlevel_heap -= b->size + 16;
  std::free(b);
}

void lowlevel_free_all() {
  while (g_low_blocks) {
    LowBlock* next = g_low_blocks->next;
    std::free(g_low_blocks);
    g_low_blocks = next;
  }
  g_mem.lowlevel_heap = 0;
}

// ---------------------------------------------------------------------------
// Virtual blocks: the block size is kept in the word before the address.

void* allocate_virtual(size_t size) {
  if (size > (size_t(1) << 40)) fire(ErrId::NO_MEMORY);
  size_t block = round_page(size + 16);
  void* p = platform::alloc_pages(block);
  if (!p) fire(ErrId::NO_MEMORY);
  // The total counts memory actually obtained, so a refused request leaves
  // the figures as they were.
  g_mem.total_virtual += block;
  *static_cast<size_t*>(p) = block;
  return static_cast<uint8_t*>(p) + 16;
}

void free_virtual(void* p) {
  if (!p) return;
  void* base = static_cast<uint8_t*>(p) - 16;
  size_t block = *static_cast<size_t*>(base);
  if (!platform::free_pages(base, block)) fire(ErrId::WRONG_MEM);
  g_mem.total_virtual -= block;
}

// ---------------------------------------------------------------------------
// Node pools

void memory_init() {
  if (!g_node_slots) {
    g_node_slots = static_cast<uintptr_t*>(platform::reserve_pages(NODE_RANGE_BYTES));
    if (!g_node_slots) fatal_error(94, 0);
    g_node_stamps = static_cast<uint32_t*>(platform::reserve_pages(STAMP_RANGE_BYTES));
    if (!g_node_stamps) fatal_error(94, 0);
  }
  g_mem = MemoryState{};
  g_free_pool_indexes.clear();
  g_next_pool_index = 0;
  g_pool_by_index.clear();
}

NodePool* new_node_pool() {
  uint32_t index;
  if (!g_free_pool_indexes.empty()) {
    index = g_free_pool_indexes.back();
    g_free_pool_indexes.pop_back();
  } else {
    if (g_next_pool_index >= MAX_NODE_POOLS) fire(ErrId::NO_MEMORY);
    index = g_next_pool_index++;
  }
  uintptr_t* slots = g_node_slots + size_t(index) * NODE_POOL_STRIDE;
  uint32_t* stamps = g_node_stamps + size_t(index) * NODE_POOL_STRIDE;
  if (!platform::commit_pages(slots, NODE_POOL_STRIDE * sizeof(uintptr_t))) {
    g_free_pool_indexes.push_back(index);
    fire(ErrId::NO_MEMORY);
  }
  if (!platform::commit_pages(stamps, NODE_POOL_STRIDE * sizeof(uint32_t))) {
    platform::decommit_pages(slots, NODE_POOL_STRIDE * sizeof(uintptr_t));
    g_free_pool_indexes.push_back(index);
    fire(ErrId::NO_MEMORY);
  }
  auto* pool = new (lowlevel_allocate(sizeof(NodePool))) NodePool{};
  pool->index = index;
  pool->slots = NODE_POOL_SLOTS;
  pool->made_at_cycle = g_mem.collector_cycle;
  // Thread every slot into the free list in address order.
  NodeId first = pool->first();
  for (uint32_t i = 0; i < NODE_POOL_SLOTS; i++) {
    NodeId next = (i + 1 < NODE_POOL_SLOTS) ? first + i + 1 : 0;
    g_node_slots[first + i] = (uintptr_t(next) << 1) | 1;
  }
  pool->free_head = first;
  g_mem.total_virtual += NODE_POOL_STRIDE * sizeof(uintptr_t);
  g_mem.node_pools.push_back(pool);
  if (g_pool_by_index.size() <= index) g_pool_by_index.resize(index + 1, nullptr);
  g_pool_by_index[index] = pool;
  if (!g_mem.current_node_pool) g_mem.current_node_pool = pool;
  return pool;
}

void release_node_pool(NodePool* pool) {
  auto& pools = g_mem.node_pools;
  pools.erase(std::find(pools.begin(), pools.end(), pool));
  platform::decommit_pages(g_node_slots + size_t(pool->index) * NODE_POOL_STRIDE,
                           NODE_POOL_STRIDE * sizeof(uintptr_t));
  platform::decommit_pages(g_node_stamps + size_t(pool->index) * NODE_POOL_STRIDE,
                           NODE_POOL_STRIDE * sizeof(uint32_t));
  g_mem.total_virtual -= NODE_POOL_STRIDE * sizeof(uintptr_t);
  g_free_pool_indexes.push_back(pool->index);
  g_pool_by_index[pool->index] = nullptr;
  if (g_mem.current_node_pool == pool) g_mem.current_node_pool = pools.empty() ? nullptr : pools.front();
  lowlevel_free(pool);
}

NodePool* node_pool_of(NodeId n) {
  if (n == 0) return nullptr;
  uint32_t index = (n - 1) / NODE_POOL_STRIDE;
  if (index >= g_pool_by_index.size()) return nullptr;
  NodePool* p = g_pool_by_index[index];
  return p && p->contains(n) ? p : nullptr;
}

NodeId take_node() {
  NodePool* pool = g_mem.current_node_pool;
  if (!pool || !pool->free_head) {
    pool = nullptr;
    for (NodePool* p : g_mem.node_pools)
      if (p->free_head && !p->evacuated) {
        pool = p;
        break;
      }
    if (!pool) pool = new_node_pool();
    g_mem.current_node_pool = pool;
  }
  NodeId n = pool->free_head;
  pool->free_head = NodeId(g_node_slots[n] >> 1);
  g_node_slots[n] = 0;
  pool->used++;
  g_mem.nodes_taken_since_gc++;
  return n;
}

void free_node(NodePool* pool, NodeId n) {
  // The stamp goes on from here when the node is taken again: no form made
  // from the block that held it can match the next one.
  series_changed(n);
  g_node_slots[n] = (uintptr_t(pool->free_head) << 1) | 1;
  g_buffer_moves++;
  pool->free_head = n;
  pool->used--;
}

// ---------------------------------------------------------------------------
// Series pools

namespace {

SeriesPool* link_series_pool(SeriesPool* pool, size_t n) {
  pool->total = n + sizeof(SeriesPool);
  pool->bump = pool->start();
  pool->end = pool->start() + n;
  pool->next = pool->prev = nullptr;

  // Insert into the address-sorted list.
  SeriesPool* p = g_mem.first_series_pool;
  if (!p) {
    g_mem.first_series_pool = g_mem.current_series_pool = g_mem.last_series_pool = pool;
    return pool;
  }
  if (pool < p) {
    pool->next = p;
    p->prev = pool;
    g_mem.first_series_pool = pool;
    return pool;
  }
  while (p->next && p < pool) p = p->next;
  if (!p->next && p < pool) {
    p->next = pool;
    pool->prev = p;
    g_mem.last_series_pool = pool;
  } else {
    pool->next = p;
    pool->prev = p->prev;
    if (p->prev) p->prev->next = pool;
    else g_mem.first_series_pool = pool;
    p->prev = pool;
  }
  return pool;
}

}  // namespace

SeriesPool* new_series_pool() {
  uint32_t n = g_mem.next_series_pool_size;
  if (n < SERIES_POOL_CAP) g_mem.next_series_pool_size = n * 2;
  return link_series_pool(static_cast<SeriesPool*>(allocate_virtual(n + sizeof(SeriesPool))), n);
}

SeriesPool* reuse_series_pool(void* base, size_t block) {
  g_mem.total_virtual += block;
  *static_cast<size_t*>(base) = block;
  return link_series_pool(reinterpret_cast<SeriesPool*>(static_cast<uint8_t*>(base) + 16), block - 16 - sizeof(SeriesPool));
}

SeriesPool* find_pool_room(size_t request) {
  for (SeriesPool* p = g_mem.first_series_pool; p; p = p->next)
    if (p->bump + request < p->end) return p;
  return nullptr;
}

BigBuffer* alloc_big_buffer(size_t size) {
  auto* big = static_cast<BigBuffer*>(allocate_virtual(size + sizeof(BigBuffer)));
  big->next = nullptr;
  big->prev = nullptr;
  big->size = size;
  if (g_mem.last_big) g_mem.last_big->next = big;
  else g_mem.first_big = big;
  g_mem.last_big = big;
  return big;
}

// ---------------------------------------------------------------------------
// Buffers

#ifndef NDEBUG
uint32_t g_no_gc_scopes = 0;

void no_gc_violation(const char* what) {
  std::fprintf(stderr, "*** %s inside a no-collection scope: raw buffer pointers would dangle\n", what);
  std::fflush(stderr);
  std::abort();
}
#endif

may_gc Buffer* alloc_buffer(uint64_t count, uint32_t unit, int32_t head_offset) {
  check_may_gc("allocation");
  collector_stress_point();
  // Sizes are computed in 64 bits, so a huge count cannot wrap into a small
  // buffer.
  if (count > MAX_CAPACITY / unit) fire(ErrId::NO_MEMORY);
  uint64_t size = round16(count * unit);
  uint64_t total = size + sizeof(Buffer);
  uint8_t* place;
  uint32_t big_flag = 0;
  if (total >= SERIES_POOL_CAP) {
    collector_run_if_enabled();
    place = reinterpret_cast<uint8_t*>(alloc_big_buffer(total)->buffer());
    big_flag = BUF_BIG;
  } else {
    SeriesPool* p = g_mem.current_series_pool;
    if (!p || !(p->bump + total < p->end)) {
      p = find_pool_room(total);
      if (!p) {
        collector_run_if_enabled();
        p = find_pool_room(total);
        if (!p || size_t(p->end - p->bump) < POOL_LOW_ROOM) {
          if (total >= g_mem.next_series_pool_size) g_mem.next_series_pool_size = SERIES_POOL_CAP;
          p = new_series_pool();
        }
      }
      g_mem.current_series_pool = p;
    }
    place = p->bump;
    p->bump += total;
  }
  g_mem.allocated_since_gc += total;
  auto* b = reinterpret_cast<Buffer*>(place);
  b->capacity = uint32_t(size);
  b->flags = unit | BUF_IN_USE | big_flag | BUF_NEW;
  b->node = 0;
  b->spare = 0;
  uint32_t offset = 0;
  if (head_offset < 0) {
    offset = uint32_t(size >> 1);
    b->flags |= BUF_MIDDLE;
  } else {
    offset = std::min<uint32_t>(uint32_t(head_offset), uint32_t(size));
  }
  b->head = b->tail = offset;
  return b;
}

may_gc NodeId alloc_series(uint64_t count, uint32_t unit, int32_t head_offset) {
  Buffer* b = alloc_buffer(count, unit, head_offset);
  NodeId n = take_node();
  set_node_buffer(n, b);
  b->node = n;
  return n;
}

NodeId alloc_fixed_series(uint64_t count, uint32_t unit, int32_t head_offset) {
  if (count > MAX_CAPACITY / unit) fire(ErrId::NO_MEMORY);
  uint64_t size = round16(count * unit);
  auto* b = static_cast<Buffer*>(lowlevel_allocate(sizeof(Buffer) + size));
  b->capacity = uint32_t(size);
  b->flags = unit | BUF_IN_USE | BUF_NEW | BUF_FIXED;
  b->spare = 0;
  b->head = b->tail = head_offset < 0 ? uint32_t(size >> 1) : std::min<uint32_t>(uint32_t(head_offset), uint32_t(size));
  g_mem.fixed.push_back(b);
  NodeId n = take_node();
  set_node_buffer(n, b);
  b->node = n;
  return n;
}

may_gc NodeId alloc_cells(uint64_t n) { return alloc_series(n, 16, 0); }

may_gc NodeId alloc_unset_cells(uint64_t n) {
  NodeId node = alloc_series(n, 16, 0);
  Buffer* b = node_buffer(node);
  Cell* c = reinterpret_cast<Cell*>(b->data());
  for (uint32_t i = 0, k = b->capacity / 16; i < k; i++) c[i] = unset_cell();
  return node;
}

may_gc NodeId alloc_bytes(uint64_t n) { return alloc_series(n ? n : 16, 1, 0); }

may_gc NodeId alloc_series_unit(uint64_t count, uint32_t unit) {
  if (count == 0) count = 16u >> (unit >> 1);
  return alloc_series(count, unit, 0);
}

namespace {

// Moves the series of node n into a new buffer of at least new_capacity
// bytes and answers the abandoned old buffer, still intact: no collection
// can run between the switch and the caller's copy.
may_gc Buffer* expand_move(NodeId n, uint64_t new_capacity, Buffer*& old_out) {
  Buffer* old = node_buffer(n);
  // Doubling an empty buffer (a copy of an empty series) gives it room for
  // one 16-byte unit.
  if (new_capacity == 0) new_capacity = old->capacity ? uint64_t(old->capacity) * 2 : 16;
  if (new_capacity > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
  uint32_t unit = old->unit();
  Buffer* nb = alloc_buffer((new_capacity + unit - 1) / unit, unit, 0);
  old = node_buffer(n);  // the allocation may have run the collector
  nb->flags = ((old->flags & ~(BUF_BIG | BUF_MIDDLE | BUF_FIXED)) | (nb->flags & BUF_BIG)) | BUF_IN_USE;
  nb->node = n;
  nb->head = 0;
  nb->tail = old->used();
  old->node = 0;
  old->flags &= ~BUF_IN_USE;
  move_node_buffer(n, nb);
  old_out = old;
  return nb;
}

}  // namespace

may_gc Buffer* expand_buffer(NodeId n, uint64_t new_capacity) {
  Buffer* old;
  return expand_move(n, new_capacity, old);
}

may_gc Buffer* expand_series_with(NodeId n, uint64_t new_capacity, void (*fill)(Buffer*, Buffer*, void*), void* arg) {
  Buffer* old;
  Buffer* nb = expand_move(n, new_capacity, old);
  fill(nb, old, arg);
  if (old->flags & BUF_FIXED) {
    auto& fixed = g_mem.fixed;
    fixed.erase(std::remove(fixed.begin(), fixed.end(), old), fixed.end());
    lowlevel_free(old);
  }
  return nb;
}

may_gc Buffer* expand_series(NodeId n, uint64_t new_capacity) {
  // Only the used bytes: the old head may sit past the old data start.
  return expand_series_with(
      n, new_capacity, [](Buffer* nb, Buffer* old, void*) { std::memcpy(nb->data(), old->head_ptr(), old->used()); },
      nullptr);
}

may_gc NodeId copy_series(NodeId n) {
  uint32_t cap = node_buffer(n)->capacity;
  NodeId copy = alloc_bytes(cap);
  Buffer* old = node_buffer(n);
  Buffer* nb = node_buffer(copy);
  nb->flags = (old->flags & ~(BUF_BIG | BUF_MIDDLE | BUF_FIXED | BUF_MARK)) | (nb->flags & BUF_BIG) | BUF_IN_USE;
  nb->head = 0;
  nb->tail = old->used();
  std::memcpy(nb->data(), old->head_ptr(), old->used());
  return copy;
}

// ---------------------------------------------------------------------------
// Figures and release

uint64_t memory_bytes_in_use() {
  uint64_t total = 0;
  for (NodePool* p : g_mem.node_pools) total += uint64_t(p->used) * 4;
  for (SeriesPool* p = g_mem.first_series_pool; p; p = p->next) total += uint64_t(p->bump - p->start());
  for (BigBuffer* b = g_mem.first_big; b; b = b->next) total += b->size;
  return total;
}

MemoryStats memory_stats() {
  MemoryStats s{};
  s.bytes_in_use = memory_bytes_in_use();
  uint64_t total = 0;
  for (NodePool* p : g_mem.node_pools) {
    s.node_pools.push_back({uint64_t(p->slots - p->used), p->used, p->slots});
    total += 36 + 4ull * p->slots;
  }
  for (SeriesPool* p = g_mem.first_series_pool; p; p = p->next) {
    uint64_t size = uint64_t(p->end - p->start());
    uint64_t used = uint64_t(p->bump - p->start());
    s.series_pools.push_back({size - used, used, size});
    total += p->total + 20;
  }
  for (BigBuffer* b = g_mem.first_big; b; b = b->next) {
    s.big_buffers.push_back(b->size);
    total += b->size + 12;
  }
  s.heap_bytes = g_mem.lowlevel_heap;
  s.total_bytes = total + s.heap_bytes;
  return s;
}

void memory_free_all() {
  while (!g_mem.node_pools.empty()) release_node_pool(g_mem.node_pools.back());
  for (SeriesPool* p = g_mem.first_series_pool; p;) {
    SeriesPool* next = p->next;
    free_virtual(p);
    p = next;
  }
  for (BigBuffer* b = g_mem.first_big; b;) {
    BigBuffer* next = b->next;
    free_virtual(b);
    b = next;
  }
  g_mem.first_series_pool = g_mem.current_series_pool = g_mem.last_series_pool = nullptr;
  g_mem.first_big = g_mem.last_big = nullptr;
  g_mem.next_series_pool_size = SERIES_POOL_FIRST;
}

}  // namespace vel
