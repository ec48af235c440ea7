// triple!: three signed 32-bit integers in data words 1, 2 and 3. Only the
// runtime makes them (the parse engine's rule stack); scripts can show one
// but not make one.
#pragma once
#include <cstdint>

#include "cell.h"

namespace vel {

inline Cell triple_cell(int32_t a, int32_t b, int32_t c) {
  return make_cell(TYPE_TRIPLE, uint32_t(a), uint32_t(b), uint32_t(c));
}

}  // namespace vel
