// percent!: a float written with a trailing "%" (50%, 12.5%). It holds the
// fraction (50% is 0.5) in data words 2-3 and computes as float! does;
// float! math types a result as percent when the left operand is one.
#pragma once
#include <cstdint>

#include "cell.h"
#include "datatypes/float.h"
#include "stack.h"
#include "memory.h"

namespace vel {

inline Cell percent_cell(double fraction) {
  Cell c = make_cell(TYPE_PERCENT);
  c.set_f64(fraction);
  return c;
}
// Makes c a percent! and keeps its header flags.
inline Cell* percent_make_at(Cell* c, double fraction) {
  float_make_typed(c, TYPE_PERCENT, fraction);
  return c;
}
inline Cell* percent_push(double fraction) { return push(percent_cell(fraction)); }
// From the two 32-bit halves of the binary64.
inline Cell* percent_push_bits(uint32_t high, uint32_t low) { return push(make_cell(TYPE_PERCENT, 0, low, high)); }
may_gc Cell* percent_make_in(NodeId block, uint32_t high, uint32_t low);
inline double percent_get(const Cell& c) { return c.f64(); }

// The text of a fraction as a percent ("12.5%"); out holds FLOAT_TEXT_MAX.
int percent_text(double fraction, char* out);

}  // namespace vel
