// The value-slot pool and the growable byte and int32 arrays.
//
// The pool lets code outside the value world (the GUI backend behind native
// windows and callbacks) keep a Vel value alive and name it by a small
// number. It is one block of cells, a collector root; a free cell is an
// integer! whose w2 holds the 0-based index of the next free cell (-1 ends
// the list). The whole capacity is the block's length. Slot numbers are
// 1-based and stay valid until freed, also across growth.
//
// The arrays are plain series (unit 1 or 4) so that they move and grow like
// any other series: callers hold their node handle, never a data pointer,
// across calls marked may_gc. Positions: pick and set are 1-based, insert
// takes a 0-based position, find and remove work in byte offsets from the
// head.
#pragma once
#include <cstdint>
#include <vector>

#include "cell.h"
#include "memory.h"

namespace vel {

constexpr uint32_t VALUE_POOL_INITIAL = 100;

class ValuePool {
 public:
  // Makes a fresh block of `capacity` free cells (slots held before are gone).
  may_gc void reset(uint32_t capacity = VALUE_POOL_INITIAL);

  // Keeps a copy of the value; answers its slot number. A full pool doubles.
  may_gc uint32_t store(const Cell& value);
  // The value in a slot. A slot that is out of range or not in use raises
  // script/out-of-range.
  Cell get(uint32_t slot) const;
  // The cell of a slot in use, for updating it in place. The pointer is
  // valid until the next allocation.
  Cell* at(uint32_t slot);
  // Frees a slot; 0 does nothing. A slot out of range or already free raises
  // script/out-of-range (the in-use bitmap tells a free cell from a stored
  // integer!, which the free list alone cannot).
  void free(uint32_t slot);

  bool in_use(uint32_t slot) const { return slot >= 1 && slot <= capacity_ && in_use_[slot - 1]; }
  uint32_t capacity() const { return capacity_; }
  uint32_t used() const { return used_; }
  NodeId node() const { return block_.node(); }
  // The block! cell holding the pool: the collector marks it and rewrites
  // its node if it relocates nodes.
  Cell* root_cell() { return &block_; }

 private:
  may_gc void grow();
  Cell* cells() const { return reinterpret_cast<Cell*>(node_buffer(block_.node())->data()); }
  void thread_free(uint32_t from, uint32_t to);
  [[noreturn]] void refuse(uint32_t slot) const;

  Cell block_ = make_cell(TYPE_BLOCK);
  int32_t free_head_ = -1;
  uint32_t capacity_ = 0;
  uint32_t used_ = 0;
  std::vector<bool> in_use_;
};

// The runtime's pool.
extern ValuePool g_value_pool;

// Start-up step: near the end, after the interpreter roots.
may_gc void value_pool_init();

// --- growable arrays --------------------------------------------------------

// A series of count elements of unit 1 or 4 bytes (at least 16 bytes).
may_gc NodeId array_make(uint32_t count, uint32_t unit);
uint32_t array_length(NodeId a);
uint32_t array_flags(NodeId a);
void array_clear(NodeId a);
// Keeps the first `count` elements (count <= length, else out-of-range).
// The set-length callers ask for n and keep n - 1: they call this with n - 1.
void array_truncate_to_count(NodeId a, uint32_t count);
may_gc NodeId array_copy(NodeId a);
// Removes count bytes at a byte offset from the head; the rest moves down.
void array_remove_bytes(NodeId a, uint32_t byte_offset, uint32_t count);

may_gc void byte_array_append(NodeId a, uint8_t byte);
may_gc void byte_array_append_bytes(NodeId a, const uint8_t* src, uint32_t len);
uint8_t byte_array_pick(NodeId a, uint32_t n);  // 1-based

may_gc void int_array_append(NodeId a, int32_t value);
// Inserts before the element at 0-based `index` (index == length appends).
may_gc void int_array_insert_at(NodeId a, uint32_t index, int32_t value);
int32_t int_array_pick(NodeId a, uint32_t n);  // 1-based
void int_array_set(NodeId a, uint32_t n, int32_t value);  // 1-based
// Byte offset of the first equal element, or -1.
int32_t int_array_find_offset(NodeId a, int32_t value);
// Removes the first equal element; false when absent.
bool int_array_remove_value(NodeId a, int32_t value);

}  // namespace vel
