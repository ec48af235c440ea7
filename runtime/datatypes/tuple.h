// tuple!: 3 to 12 unsigned bytes written with dots (1.2.3, 255.0.0.128).
//
// The byte count sits in header bits 19-22; byte i (from 0) is byte i % 4
// of data word 1 + i / 4, little-endian from the cell's fourth byte on.
// random/seed folds the three words, so that packing is part of what a
// seeded program sees. Bytes past the count are always 0.
#pragma once
#include <cstdint>

#include "cell.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "stack.h"
#include "memory.h"

namespace vel {

constexpr int TUPLE_MIN = 3;
constexpr int TUPLE_MAX = 12;
constexpr int TUPLE_COUNT_SHIFT = 19;
constexpr uint32_t TUPLE_COUNT_MASK = 0xFu << TUPLE_COUNT_SHIFT;

inline int tuple_count(const Cell& c) { return int((c.header & TUPLE_COUNT_MASK) >> TUPLE_COUNT_SHIFT); }
inline uint8_t tuple_byte(const Cell& c, int i) { return uint8_t((&c.w1)[i >> 2] >> (8 * (i & 3))); }
inline void tuple_set_byte(Cell* c, int i, uint8_t b) {
  uint32_t& w = (&c->w1)[i >> 2];
  int s = 8 * (i & 3);
  w = (w & ~(0xFFu << s)) | (uint32_t(b) << s);
}

// A tuple of count bytes (raised to 3) from the three data words.
inline Cell tuple_cell(int count, uint32_t w1, uint32_t w2, uint32_t w3) {
  if (count < TUPLE_MIN) count = TUPLE_MIN;
  return Cell{uint32_t(count) << TUPLE_COUNT_SHIFT | TYPE_TUPLE, w1, w2, w3};
}
// A tuple of the first count bytes (count 0 to 12; missing bytes 0).
Cell tuple_from_bytes(int count, const uint8_t* bytes);

bool tuple_all_zero_q(const Cell& t);

// Byte-wise arithmetic on value1 op value2 (one of them a tuple), with
// saturation at 0 and 255; the result replaces value1.
Status tuple_do_math(Cell* base, MathOp op);

// max and min of a tuple against an integer, a float or a tuple of the same
// count, byte by byte. False when b is none of these (the general rule).
bool tuple_max_min(Cell* t, const Cell& b, bool max);

}  // namespace vel
