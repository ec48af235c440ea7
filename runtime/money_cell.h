// The sign of a money! cell, below the datatypes: hashing puts an amount in
// its canonical form by a direct call. datatypes/money.h describes the
// whole cell.
#pragma once
#include <cstdint>

#include "cell.h"

namespace vel::money {

constexpr uint32_t SIGN_BIT = 1u << 14;  // in the header: 1 negative

inline int get_sign(const Cell& c) { return (c.header & SIGN_BIT) ? 1 : 0; }
inline void set_sign(Cell* c, int negative) { c->header = negative ? (c->header | SIGN_BIT) : (c->header & ~SIGN_BIT); }

// -1, 0 or 1: 0 when every digit is 0, else by the sign bit.
inline int sign_of(const Cell& c) {
  if ((c.w1 >> 8) == 0 && c.w2 == 0 && c.w3 == 0) return 0;
  return get_sign(c) ? -1 : 1;
}

// The form an amount is hashed in: no header flag but the sign counts, and
// a zero amount has no sign.
inline void canonical(Cell* c) {
  c->header &= CELL_TYPE_MASK | SIGN_BIT;
  if (!sign_of(*c)) set_sign(c, 0);
}

}  // namespace vel::money
