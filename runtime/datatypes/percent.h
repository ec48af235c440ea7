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

// The text of a fraction as a percent ("12.5%"); out holds FLOAT_TEXT_MAX.
int percent_text(double fraction, char* out);

}  // namespace vel
