// The one kernel of the types that are sets of bits (bitset!, typeset!):
// what and, or and xor (the math operator codes) and the set operations
// (string::SetOp) keep of two words of bits.
#pragma once
#include <cstdint>

#include "datatypes/integer.h"
#include "datatypes/string.h"

namespace vel {

// or and union join, and and intersect meet, xor and difference keep what
// only one side has, exclude what only the first has; unique keeps the
// first as it is.
constexpr uint32_t combine_bits(int op, uint32_t p, uint32_t q) {
  switch (op) {
    case MATH_OR:
    case string::SET_UNION: return p | q;
    case MATH_AND:
    case string::SET_INTERSECT: return p & q;
    case MATH_XOR:
    case string::SET_DIFFERENCE: return p ^ q;
    case string::SET_EXCLUDE: return p & ~q;
    default: return p;
  }
}

}  // namespace vel
