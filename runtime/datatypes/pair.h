// pair!: two signed 32-bit integers x and y in data words 2 and 3, written
// 10x20. Arithmetic stays in integers while the results are exact; a float
// operand, an overflow or an inexact division turns the result into a
// point2D!.
#pragma once
#include <cstdint>

#include "cell.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "memory.h"
#include "stack.h"

namespace vel {

inline int32_t pair_x(const Cell& c) { return c.i2(); }
inline int32_t pair_y(const Cell& c) { return c.i3(); }

// Makes c a pair! and keeps its header flags.
inline Cell* pair_make_at(Cell* c, int32_t x, int32_t y) {
  c->header = (c->header & ~CELL_TYPE_MASK) | TYPE_PAIR;
  c->w1 = 0;
  c->w2 = uint32_t(x);
  c->w3 = uint32_t(y);
  return c;
}
inline Cell pair_cell(int32_t x, int32_t y) { return make_cell(TYPE_PAIR, 0, uint32_t(x), uint32_t(y)); }

// Turns the pair in c into a point2D! of the same coordinates (flags kept).
void pair_to_point2D(Cell* c);

// The arithmetic of a pair (value1 of a math action's frame) with the right
// operand value2 by operator code; the result replaces value1.
Status pair_do_math(Cell* base, MathOp op);

// The axis an index or path element selects: 1 x, 2 y, 3 z (up to count),
// from an integer or the words x, y, z (any case); 0 for anything else.
int axis_of(const Cell& element, int count);

}  // namespace vel
