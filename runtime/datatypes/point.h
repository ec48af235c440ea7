// point2D! and point3D!: small vectors of binary32 coordinates, written
// (x, y) and (x, y, z). point2D! keeps x and y in data words 1-2, point3D!
// x, y and z in data words 1-3. Arithmetic runs in binary64 and each result
// is stored back as binary32.
//
// The two types share one implementation, parameterised by the coordinate
// count; pair! hands its mixed arithmetic and comparisons to point2D!.
#pragma once
#include <cstdint>
#include <cstring>

#include "cell.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "memory.h"
#include "stack.h"

namespace vel {

inline float point_coord(const Cell& c, int i) {
  float f;
  std::memcpy(&f, &c.w1 + i, sizeof f);
  return f;
}
inline void point_set_coord(Cell* c, int i, float f) { std::memcpy(&c->w1 + i, &f, sizeof f); }

// A binary64 as binary32; a finite value beyond the binary32 range becomes
// the infinity of its sign (no out-of-range conversion).
float to_f32(double d);

// Makes c a point2D! (or point3D!) and keeps its header flags.
inline Cell* point2D_make_at(Cell* c, float x, float y) {
  c->header = (c->header & ~CELL_TYPE_MASK) | TYPE_POINT2D;
  point_set_coord(c, 0, x);
  point_set_coord(c, 1, y);
  c->w3 = 0;
  return c;
}
inline Cell* point3D_make_at(Cell* c, float x, float y, float z) {
  c->header = (c->header & ~CELL_TYPE_MASK) | TYPE_POINT3D;
  point_set_coord(c, 0, x);
  point_set_coord(c, 1, y);
  point_set_coord(c, 2, z);
  return c;
}
inline Cell point2D_cell(float x, float y) {
  Cell c = make_cell(TYPE_POINT2D);
  return *point2D_make_at(&c, x, y);
}
inline Cell point3D_cell(float x, float y, float z) {
  Cell c = make_cell(TYPE_POINT3D);
  return *point3D_make_at(&c, x, y, z);
}
inline Cell* point2D_push(float x, float y) { return push(point2D_cell(x, y)); }

// The arithmetic of a point (value1 of a math action's frame) with the
// right operand value2 by operator code (add, subtract, multiply, divide,
// remainder); the result replaces value1. Also reached from the integer!, float! and pair! math.
Status point2D_do_math(Cell* base, MathOp op);
Status point3D_do_math(Cell* base, MathOp op);

// The comparison of point2D! a with b (a point2D! or a pair!).
int32_t point2D_compare(const Cell* a, const Cell* b, int op);

}  // namespace vel
