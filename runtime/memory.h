// Memory manager: nodes, series buffers, series pools and big buffers.
//
// A series value holds a 32-bit node handle; the node holds the address of
// the series buffer, so the collector can move a buffer by rewriting one
// node. All node slots live in one reserved address range, so resolving a
// handle is one indexed load (node_buffer). Node pools are 10,000 slots each,
// laid out at a fixed stride of NODE_POOL_STRIDE slots; handle 0 is never a
// node.
//
// Buffers come from series pools (bump allocation; 1 MB, then 2 MB pools)
// or, from 2 MB on, from a big buffer of their own. There is no free of a
// single buffer: the collector reclaims what is unreachable.
//
// GC hazard: any function marked `may_gc` can run the collector, which may
// move every buffer. Across such a call hold node handles (rooted when the
// series is not otherwise reachable), never Buffer* or data pointers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cell.h"

#define may_gc /* may run the collector and move buffers */

namespace vel {

// A region that holds raw buffer or cell pointers across calls. Debug builds
// count the open scopes, and an allocation or a collection inside one stops
// the process with the name of what allocated; release builds compile it to
// nothing. Raising a Vel error releases every open scope (the pointers are
// dead once the throw leaves them): the error is built without a false alarm.
#ifndef NDEBUG
extern uint32_t g_no_gc_scopes;
class NoGcScope {
 public:
  NoGcScope() : saved_(g_no_gc_scopes) { g_no_gc_scopes = saved_ + 1; }
  ~NoGcScope() { g_no_gc_scopes = saved_; }
  NoGcScope(const NoGcScope&) = delete;
  NoGcScope& operator=(const NoGcScope&) = delete;

 private:
  uint32_t saved_;
};
[[noreturn]] void no_gc_violation(const char* what);
inline void check_may_gc(const char* what) {
  if (g_no_gc_scopes) no_gc_violation(what);
}
inline void release_no_gc_scopes() { g_no_gc_scopes = 0; }
#else
class NoGcScope {
 public:
  NoGcScope() {}
  NoGcScope(const NoGcScope&) = delete;
  NoGcScope& operator=(const NoGcScope&) = delete;
};
inline void check_may_gc(const char*) {}
inline void release_no_gc_scopes() {}
#endif

// Buffer flags.
constexpr uint32_t BUF_UNIT_MASK = 0x1F;
constexpr uint32_t BUF_OWNS_SERIES = 1u << 16;  // an object's context: its series are bound to it
constexpr uint32_t BUF_OWNED = 1u << 17;        // owned by an object field
constexpr uint32_t BUF_FIXED = 1u << 20;        // outside the pools; never moved or swept
constexpr uint32_t BUF_LIBRARY = 1u << 21;      // the library's own code (see library.h)
constexpr uint32_t BUF_BIG = 1u << 24;          // lives in a big buffer
constexpr uint32_t BUF_MARK = 1u << 27;         // collector mark
constexpr uint32_t BUF_MIDDLE = 1u << 28;       // made with its head in the middle
constexpr uint32_t BUF_NEW = 1u << 29;          // set on every new buffer
constexpr uint32_t BUF_IN_USE = 1u << 31;       // cleared on a buffer abandoned by expansion

// The header of every series buffer; the data follows it directly. head and
// tail are byte offsets from the data start, so moving a buffer moves them.
struct Buffer {
  uint32_t flags;
  NodeId node;        // the node referring to this buffer; 0 once abandoned
  uint32_t capacity;  // bytes in the data area, a multiple of 16
  uint32_t head;      // offset of the first used byte
  uint32_t tail;      // offset one past the last used byte
  uint32_t spare;

  uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
  uint8_t* head_ptr() { return data() + head; }
  uint8_t* tail_ptr() { return data() + tail; }
  uint32_t unit() const { return flags & BUF_UNIT_MASK; }
  uint32_t unit_shift() const { return uint32_t(__builtin_ctz(flags & BUF_UNIT_MASK)); }
  uint32_t used() const { return tail - head; }
  uint32_t length() const { return used() >> unit_shift(); }
  // Room left after the tail, in bytes.
  uint32_t room() const { return capacity - tail; }
  Cell* cells() { return reinterpret_cast<Cell*>(data() + head); }
  Cell* cell_tail() { return reinterpret_cast<Cell*>(data() + tail); }
};
static_assert(sizeof(Buffer) == 24, "a buffer costs its capacity plus 24 bytes");

// Pool and threshold policy.
constexpr uint32_t NODE_POOL_SLOTS = 10000;
constexpr uint32_t NODE_POOL_STRIDE = 10240;  // 80 KiB of slots: a whole number of pages
constexpr uint32_t MAX_NODE_POOLS = (1u << 28) / NODE_POOL_STRIDE;
constexpr uint32_t SERIES_POOL_FIRST = 1u << 20;
constexpr uint32_t SERIES_POOL_CAP = 2u << 20;  // also the big-buffer threshold
constexpr uint32_t POOL_LOW_ROOM = 52428;       // 0xCCCC: below this a fresh pool is made
constexpr uint32_t MAX_CAPACITY = 0x7FFFFFF0;   // largest buffer data area

// Node slots: a used slot holds the buffer address; a free slot holds
// (next free handle << 1) | 1.
extern uintptr_t* g_node_slots;

inline Buffer* node_buffer(NodeId n) { return reinterpret_cast<Buffer*>(g_node_slots[n]); }
inline void set_node_buffer(NodeId n, Buffer* b) { g_node_slots[n] = reinterpret_cast<uintptr_t>(b); }

// Bumped whenever a live buffer moves (an expansion, the collector's
// compaction) and whenever a node is freed: a Cell* into a buffer, found
// while this had one value, points at the same cell while it keeps it.
extern uint64_t g_buffer_moves;
inline void move_node_buffer(NodeId n, Buffer* b) {
  set_node_buffer(n, b);
  g_buffer_moves++;
}
inline bool node_is_free_link(uintptr_t slot) { return slot & 1; }

// Every series has a modification stamp beside its node slot, bumped by
// each change to its elements or its length and when its node is freed
// (the collector's moves keep it), so that a compiled block is known
// unchanged by one comparison. A stamp that reached STAMP_WORN stays there
// and never proves a block unchanged.
extern uint32_t* g_node_stamps;
constexpr uint32_t STAMP_WORN = 0xFFFFFFFF;
inline uint32_t series_stamp(NodeId n) { return g_node_stamps[n]; }
inline void series_changed(NodeId n) {
  uint32_t& s = g_node_stamps[n];
  if (s != STAMP_WORN) s++;
}
// Bumps the stamp on entry and again on leaving (also by an exception), so
// that code compiled from the series while it was being changed (a sort's
// comparator, a callback) is not taken for the changed series.
struct SeriesChange {
  NodeId node;
  explicit SeriesChange(NodeId n) : node(n) { if (n) series_changed(n); }
  ~SeriesChange() { if (node) series_changed(node); }
  SeriesChange(const SeriesChange&) = delete;
  SeriesChange& operator=(const SeriesChange&) = delete;
};

struct NodePool {
  uint32_t index;      // pool number; its slots start at index * NODE_POOL_STRIDE + 1
  uint32_t slots;      // 10,000
  NodeId free_head;    // 0 when full
  uint32_t used;
  uint32_t made_at_cycle;
  uint32_t prev_used;  // used count at the previous collection
  uint32_t history;    // 1 bit per collection: used count unchanged
  bool evacuated;
  NodeId first() const { return index * NODE_POOL_STRIDE + 1; }
  bool contains(NodeId n) const { return n >= first() && n < first() + slots; }
};

struct SeriesPool {
  SeriesPool* next;
  SeriesPool* prev;  // the list is sorted by ascending address
  size_t total;      // bytes of the block, header included
  uint8_t* bump;     // next free byte
  uint8_t* end;      // one past the last byte
  uint8_t* start() { return reinterpret_cast<uint8_t*>(this + 1); }
};

struct BigBuffer {
  BigBuffer* next;
  BigBuffer* prev;
  size_t size;  // bytes of the block after this header (buffer header included)
  Buffer* buffer() { return reinterpret_cast<Buffer*>(this + 1); }
};

struct MemoryState {
  uint64_t total_virtual = 0;           // bytes of virtual memory held
  std::vector<NodePool*> node_pools;    // creation order
  NodePool* current_node_pool = nullptr;
  SeriesPool* first_series_pool = nullptr;
  SeriesPool* current_series_pool = nullptr;
  SeriesPool* last_series_pool = nullptr;
  uint32_t next_series_pool_size = SERIES_POOL_FIRST;
  BigBuffer* first_big = nullptr;
  BigBuffer* last_big = nullptr;
  uint64_t lowlevel_heap = 0;           // bytes from lowlevel_allocate
  std::vector<Buffer*> fixed;           // buffers outside the pools
  uint64_t allocated_since_gc = 0;      // bytes of buffers made since the last collection
  uint64_t nodes_taken_since_gc = 0;    // nodes taken since the last collection
  uint32_t collector_cycle = 0;         // mirrored by the collector
};
extern MemoryState g_mem;

// Figures for `stats`: mode 1 is bytes_in_use; the rest is the detailed report.
struct MemoryStats {
  struct Triple {
    uint64_t free, used, total;
  };
  uint64_t bytes_in_use;
  std::vector<Triple> node_pools;    // in nodes
  std::vector<Triple> series_pools;  // in bytes
  std::vector<uint64_t> big_buffers;
  uint64_t total_bytes;
  uint64_t heap_bytes;
};

// Low-level allocator: fixed runtime tables, chained so that all can be
// freed at exit. Running out is fatal (94 "out of memory").
void* lowlevel_allocate(size_t size);
void lowlevel_free(void* p);
void lowlevel_free_all();

void memory_init();
void memory_free_all();

// Virtual blocks for pools, big buffers and large scratch areas.
void* allocate_virtual(size_t size);
void free_virtual(void* p);

NodePool* new_node_pool();
void release_node_pool(NodePool* pool);
NodeId take_node();
void free_node(NodePool* pool, NodeId n);
NodePool* node_pool_of(NodeId n);

SeriesPool* new_series_pool();
// A pool over a block that allocate_virtual once gave (its base, 16 bytes
// before the pool header, and its size), taken back by the collector's
// stress mode.
SeriesPool* reuse_series_pool(void* base, size_t block);
SeriesPool* find_pool_room(size_t request);

// Allocation. head_offset is a byte offset for the empty series' head, or
// -1 for the middle of the buffer. These return node handles.
may_gc Buffer* alloc_buffer(uint64_t count, uint32_t unit, int32_t head_offset);
may_gc NodeId alloc_series(uint64_t count, uint32_t unit, int32_t head_offset = 0);
NodeId alloc_fixed_series(uint64_t count, uint32_t unit, int32_t head_offset = 0);
may_gc NodeId alloc_cells(uint64_t n);
may_gc NodeId alloc_unset_cells(uint64_t n);
may_gc NodeId alloc_bytes(uint64_t n);
may_gc NodeId alloc_series_unit(uint64_t count, uint32_t unit);

// Growth. new_capacity 0 doubles. The series keeps its node; the old buffer
// is abandoned (in-use bit cleared, node 0) for the collector to reclaim.
// expand_buffer copies nothing; expand_series copies the used bytes.
may_gc Buffer* expand_buffer(NodeId n, uint64_t new_capacity);
may_gc Buffer* expand_series(NodeId n, uint64_t new_capacity);
// expand_series where fill(new, old) writes the new buffer's bytes (and
// sets its tail) from the old buffer, which stays readable until fill
// returns; fill must not allocate.
may_gc Buffer* expand_series_with(NodeId n, uint64_t new_capacity, void (*fill)(Buffer*, Buffer*, void*), void* arg);
may_gc NodeId copy_series(NodeId n);

BigBuffer* alloc_big_buffer(size_t size);

uint64_t memory_bytes_in_use();
MemoryStats memory_stats();

// The collector hooks used by allocation; the collector module defines them.
void collector_run_if_enabled();
void collector_stress_point();

}  // namespace vel
