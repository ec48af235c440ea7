#include "valpool.h"

#include <algorithm>
#include <cstring>

#include "errors.h"
#include "fatal.h"
#include "roots.h"

namespace vel {

ValuePool g_value_pool;

may_gc void value_pool_init() { g_value_pool.reset(); }

namespace {


// A free cell: an integer! holding the index of the next free cell.
Cell free_cell(int32_t next) { return make_cell(TYPE_INTEGER, 0, uint32_t(next)); }

}  // namespace

void ValuePool::thread_free(uint32_t from, uint32_t to) {
  Cell* c = cells();
  for (uint32_t i = from; i < to; i++) c[i] = free_cell(i + 1 < to ? int32_t(i + 1) : -1);
}

may_gc void ValuePool::reset(uint32_t capacity) {
  if (capacity == 0) capacity = VALUE_POOL_INITIAL;
  NodeId n = alloc_cells(capacity);
  Buffer* b = node_buffer(n);
  b->tail = capacity * uint32_t(sizeof(Cell));
  block_ = make_cell(TYPE_BLOCK, 0, n);
  capacity_ = capacity;
  used_ = 0;
  in_use_.assign(capacity, false);
  thread_free(0, capacity);
  free_head_ = 0;
}

may_gc void ValuePool::grow() {
  if (capacity_ == 0) return reset();
  if (capacity_ > MAX_CAPACITY / (2 * sizeof(Cell))) fire(ErrId::NO_MEMORY);
  uint32_t old = capacity_;
  uint32_t wanted = old * 2;
  Buffer* b = expand_series(block_.node(), uint64_t(wanted) * sizeof(Cell));
  b->tail = wanted * uint32_t(sizeof(Cell));
  capacity_ = wanted;
  in_use_.resize(wanted, false);
  thread_free(old, wanted);
  free_head_ = int32_t(old);
}

may_gc uint32_t ValuePool::store(const Cell& value) {
  // The value may sit in a buffer that growth moves, and may be reachable
  // from nowhere else while the collector runs.
  RootedCell keep(value);
  if (free_head_ < 0) grow();
  uint32_t i = uint32_t(free_head_);
  Cell* c = cells();
  free_head_ = c[i].i2();
  c[i] = *keep;
  in_use_[i] = true;
  used_++;
  return i + 1;
}

void ValuePool::refuse(uint32_t slot) const { fire(ErrId::OUT_OF_RANGE, integer_cell(slot)); }

Cell ValuePool::get(uint32_t slot) const {
  if (!in_use(slot)) refuse(slot);
  return cells()[slot - 1];
}

Cell* ValuePool::at(uint32_t slot) {
  if (!in_use(slot)) refuse(slot);
  return &cells()[slot - 1];
}

void ValuePool::free(uint32_t slot) {
  if (slot == 0) return;
  if (!in_use(slot)) refuse(slot);
  uint32_t i = slot - 1;
  cells()[i] = free_cell(free_head_);
  free_head_ = int32_t(i);
  in_use_[i] = false;
  used_--;
}

// ---------------------------------------------------------------------------
// Growable arrays

namespace {

// Element access goes through memcpy: a head moved by a byte removal may
// leave int32 elements unaligned.
int32_t load_i32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void store_i32(uint8_t* p, int32_t v) { std::memcpy(p, &v, 4); }

// Array operations on a series of the wrong unit are a runtime bug.
Buffer* array_of_unit(NodeId a, uint32_t unit) {
  Buffer* b = node_buffer(a);
  if (b->unit() != unit) fatal_error(98, 0);
  return b;
}

[[noreturn]] void out_of_range(int64_t position) { fire(ErrId::OUT_OF_RANGE, integer_cell(position)); }

// Room for n more bytes at the tail: grows to twice the request or twice
// the capacity, whichever is larger (always enough, since used <= capacity).
may_gc Buffer* reserve_tail_bytes(NodeId a, uint32_t n) {
  Buffer* b = node_buffer(a);
  if (uint64_t(b->tail) + n <= b->capacity) return b;
  return expand_series(a, std::max(2 * uint64_t(n), 2 * uint64_t(b->capacity)));
}

}  // namespace

may_gc NodeId array_make(uint32_t count, uint32_t unit) {
  if (unit != 1 && unit != 4) fatal_error(98, 0);
  return alloc_series_unit(count, unit);
}

uint32_t array_length(NodeId a) { return node_buffer(a)->length(); }
uint32_t array_flags(NodeId a) { return node_buffer(a)->flags; }
void array_clear(NodeId a) {
  Buffer* b = node_buffer(a);
  b->tail = b->head;
}

void array_truncate_to_count(NodeId a, uint32_t count) {
  Buffer* b = node_buffer(a);
  if (count > b->length()) out_of_range(count);
  b->tail = b->head + (count << b->unit_shift());
}

may_gc NodeId array_copy(NodeId a) { return copy_series(a); }

void array_remove_bytes(NodeId a, uint32_t byte_offset, uint32_t count) {
  Buffer* b = node_buffer(a);
  if (uint64_t(byte_offset) + count > b->used()) out_of_range(byte_offset);
  uint8_t* at = b->head_ptr() + byte_offset;
  std::memmove(at, at + count, b->used() - byte_offset - count);
  b->tail -= count;
}

may_gc void byte_array_append(NodeId a, uint8_t byte) {
  array_of_unit(a, 1);
  Buffer* b = reserve_tail_bytes(a, 1);
  b->data()[b->tail++] = byte;
}

may_gc void byte_array_append_bytes(NodeId a, const uint8_t* src, uint32_t len) {
  Buffer* b = array_of_unit(a, 1);
  if (len == 0) return;
  if (uint64_t(b->tail) + len > b->capacity) {
    // The source may lie in a buffer that growth moves (even this one).
    std::vector<uint8_t> copy(src, src + len);
    b = reserve_tail_bytes(a, len);
    std::memcpy(b->tail_ptr(), copy.data(), len);
  } else {
    std::memmove(b->tail_ptr(), src, len);
  }
  b->tail += len;
}

uint8_t byte_array_pick(NodeId a, uint32_t n) {
  Buffer* b = array_of_unit(a, 1);
  if (n < 1 || n > b->length()) out_of_range(n);
  return b->head_ptr()[n - 1];
}

may_gc void int_array_append(NodeId a, int32_t value) {
  array_of_unit(a, 4);
  Buffer* b = reserve_tail_bytes(a, 4);
  store_i32(b->tail_ptr(), value);
  b->tail += 4;
}

may_gc void int_array_insert_at(NodeId a, uint32_t index, int32_t value) {
  if (index > array_of_unit(a, 4)->length()) out_of_range(index);
  Buffer* b = reserve_tail_bytes(a, 4);
  uint8_t* at = b->head_ptr() + uint64_t(index) * 4;
  std::memmove(at + 4, at, size_t(b->tail_ptr() - at));
  store_i32(at, value);
  b->tail += 4;
}

int32_t int_array_pick(NodeId a, uint32_t n) {
  Buffer* b = array_of_unit(a, 4);
  if (n < 1 || n > b->length()) out_of_range(n);
  return load_i32(b->head_ptr() + uint64_t(n - 1) * 4);
}

void int_array_set(NodeId a, uint32_t n, int32_t value) {
  Buffer* b = array_of_unit(a, 4);
  if (n < 1 || n > b->length()) out_of_range(n);
  store_i32(b->head_ptr() + uint64_t(n - 1) * 4, value);
}

int32_t int_array_find_offset(NodeId a, int32_t value) {
  Buffer* b = array_of_unit(a, 4);
  const uint8_t* p = b->head_ptr();
  for (uint32_t off = 0, used = b->length() * 4; off < used; off += 4)
    if (load_i32(p + off) == value) return int32_t(off);
  return -1;
}

bool int_array_remove_value(NodeId a, int32_t value) {
  int32_t off = int_array_find_offset(a, value);
  if (off < 0) return false;
  array_remove_bytes(a, uint32_t(off), 4);
  return true;
}

}  // namespace vel
