// The value cell: every Vel value in a block, a context, the argument stack
// or the boot image is one 16-byte cell.
//
//   header  bits 0-7   type id (typelist.h)
//           bits 8-31  per-type flags; bit 30 = starts a new line in a block
//   w1..w3  three 32-bit data words, meaning per datatype. Series values
//           keep their head index in w1 and their node handle in w2.
//
// Cells never hold a machine pointer: series are reached through 32-bit node
// handles (memory.h) so that the collector may move buffers, and native
// pointers live in side tables indexed by 32-bit ids.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "typelist.h"

namespace vel {

enum TypeId : uint8_t {
  TYPE_NONE_ID = 0,  // no datatype; never stored in a live cell
#define VEL_X(id, cname, name, parent, families) TYPE_##cname = id,
  VEL_DATATYPES(VEL_X)
#undef VEL_X
};

// The list's ids are dense from 1, so its length is the last id.
#define VEL_X(...) +1
constexpr int TYPE_LAST_BUILTIN = 0 VEL_DATATYPES(VEL_X);
#undef VEL_X
// Two pseudo types follow the datatypes: 55 (unused) and 56, the prefix key
// of hash look-ups (hashtable.h).
constexpr int TYPE_COUNT = TYPE_LAST_BUILTIN + 3;

enum ActionId : uint8_t {
#define VEL_X(n, cname, name) ACT_##cname = n,
  VEL_ACTIONS(VEL_X)
#undef VEL_X
};
#define VEL_X(...) +1
constexpr int ACTION_COUNT = 0 VEL_ACTIONS(VEL_X);
#undef VEL_X

constexpr uint32_t CELL_TYPE_MASK = 0xFF;
constexpr uint32_t CELL_NEW_LINE = 1u << 30;
// Two per-type header fields that decide which data words hold nodes (the
// collector reads them): a context! whose values live on the argument stack
// has no values node in w2; an op! names the type it wraps in bits 16-23.
constexpr uint32_t CELL_CONTEXT_STACK_VALUES = 1u << 22;
constexpr uint32_t CELL_OP_SOURCE_SHIFT = 16;

using NodeId = uint32_t;  // 0 = no series

struct Cell {
  uint32_t header;
  uint32_t w1, w2, w3;

  TypeId type() const { return TypeId(header & CELL_TYPE_MASK); }
  bool is(TypeId t) const { return (header & CELL_TYPE_MASK) == t; }
  // Replaces the type id and keeps every flag bit.
  void set_type(TypeId t) { header = (header & ~CELL_TYPE_MASK) | t; }
  bool new_line() const { return header & CELL_NEW_LINE; }
  void clear_new_line() { header &= ~CELL_NEW_LINE; }
  void set_new_line(bool on) { header = on ? (header | CELL_NEW_LINE) : (header & ~CELL_NEW_LINE); }

  int32_t i1() const { return int32_t(w1); }
  int32_t i2() const { return int32_t(w2); }
  int32_t i3() const { return int32_t(w3); }

  // A 64-bit payload in data words 2 and 3 (floats, percents, times).
  double f64() const {
    double d;
    std::memcpy(&d, &w2, sizeof d);
    return d;
  }
  void set_f64(double d) { std::memcpy(&w2, &d, sizeof d); }
  uint64_t u64() const { return uint64_t(w2) | (uint64_t(w3) << 32); }
  void set_u64(uint64_t v) {
    w2 = uint32_t(v);
    w3 = uint32_t(v >> 32);
  }

  // Series cells: head index and node.
  int32_t index() const { return int32_t(w1); }
  NodeId node() const { return w2; }
};

// The type an op! wraps.
inline TypeId cell_op_source_type(const Cell& op) { return TypeId((op.header >> CELL_OP_SOURCE_SHIFT) & 0xFF); }

static_assert(sizeof(Cell) == 16, "a value cell is 16 bytes on every build");
static_assert(alignof(Cell) == 4);
static_assert(std::is_trivially_copyable_v<Cell>);
static_assert(std::is_standard_layout_v<Cell>);
static_assert(offsetof(Cell, header) == 0 && offsetof(Cell, w1) == 4 && offsetof(Cell, w2) == 8 &&
              offsetof(Cell, w3) == 12);

// Stores a cell whose words are in registers with one 16-byte store. Four
// word stores would make the next whole-cell copy wait until they reach the
// cache: a wide load cannot take its bytes from several narrower stores.
inline void store_cell(Cell* dst, const Cell& v) {
#if defined(__SSE2__)
  uint64_t lo = uint64_t(v.header) | (uint64_t(v.w1) << 32), hi = uint64_t(v.w2) | (uint64_t(v.w3) << 32);
  __m128i x = _mm_unpacklo_epi64(_mm_cvtsi64_si128(int64_t(lo)), _mm_cvtsi64_si128(int64_t(hi)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), x);
#else
  *dst = v;
#endif
}

inline Cell make_cell(TypeId t, uint32_t w1 = 0, uint32_t w2 = 0, uint32_t w3 = 0) {
  return Cell{uint32_t(t), w1, w2, w3};
}
inline Cell unset_cell() { return make_cell(TYPE_UNSET); }
inline Cell none_cell() { return make_cell(TYPE_NONE); }
inline Cell logic_cell(bool v) { return make_cell(TYPE_LOGIC, v ? 1 : 0); }
inline Cell integer_cell(int32_t v) { return make_cell(TYPE_INTEGER, 0, uint32_t(v)); }
inline Cell char_cell(uint32_t cp) { return make_cell(TYPE_CHAR, 0, cp); }
inline Cell float_cell(double d) {
  Cell c = make_cell(TYPE_FLOAT);
  c.set_f64(d);
  return c;
}
inline Cell datatype_cell(TypeId t) { return make_cell(TYPE_DATATYPE, t); }
// A series value: head index and node.
inline Cell series_cell(TypeId t, NodeId node, int32_t index = 0) { return make_cell(t, uint32_t(index), node); }

}  // namespace vel
