// The operator kernel: arithmetic and comparison on integer!, float! and
// char! values computed in place, shared by the block walker and the
// compiled forms. It answers only where the action or comparison native
// would give the same value; everything else (overflowing quotients, a zero
// divisor, float equality, other datatypes) it leaves to them.
#pragma once
#include <cstdint>

#include "cell.h"
#include "datatypes/function.h"
#include "datatypes/registry.h"
#include "natives_table.h"

namespace vel::interp {

// The operators the kernel knows.
enum FastOp : uint32_t {
  FOP_NONE, FOP_ADD, FOP_SUB, FOP_MUL, FOP_REM, FOP_DIV, FOP_EQ, FOP_NE, FOP_LT, FOP_GT, FOP_LE, FOP_GE,
};

// The operator an action or a comparison native computes: from the
// callable an op! was made from (its source type and id).
inline FastOp fast_op_of(TypeId src, uint32_t id) {
  if (src == TYPE_ACTION) {
    switch (id) {
      case ACT_ADD: return FOP_ADD;
      case ACT_SUBTRACT: return FOP_SUB;
      case ACT_MULTIPLY: return FOP_MUL;
      case ACT_REMAINDER: return FOP_REM;
      case ACT_DIVIDE: return FOP_DIV;
      default: return FOP_NONE;
    }
  }
  if (src != TYPE_NATIVE) return FOP_NONE;
  switch (id) {
    // Strict and plain equality agree wherever the kernel answers: on two
    // values of one type that are not floats.
    case NAT_EQUAL_Q:
    case NAT_STRICT_EQUAL_Q: return FOP_EQ;
    case NAT_NOT_EQUAL_Q: return FOP_NE;
    case NAT_LESSER_Q: return FOP_LT;
    case NAT_GREATER_Q: return FOP_GT;
    case NAT_LESSER_OR_EQUAL_Q: return FOP_LE;
    case NAT_GREATER_OR_EQUAL_Q: return FOP_GE;
    default: return FOP_NONE;
  }
}

inline FastOp fast_op(const Cell& op) { return fast_op_of(func::op_source_type(op), op.w1); }

// An integer operation: its value (a logic one for comparisons), or not ok
// when the action must decide (overflow, a zero divisor, an inexact
// quotient). The result comes back in registers.
struct IntResult {
  int32_t value;
  bool ok;
  bool logic;
};
[[gnu::always_inline]] inline IntResult int_op(uint32_t fop, int32_t a, int32_t b) {
  int32_t r;
  switch (fop) {
    case FOP_ADD:
      if (__builtin_add_overflow(a, b, &r)) return {0, false, false};
      return {r, true, false};
    case FOP_SUB:
      if (__builtin_sub_overflow(a, b, &r)) return {0, false, false};
      return {r, true, false};
    case FOP_MUL:
      if (__builtin_mul_overflow(a, b, &r)) return {0, false, false};
      return {r, true, false};
    case FOP_REM:
      if (b == 0 || b == -1) return {0, false, false};
      return {a % b, true, false};
    case FOP_DIV:
      if (b == 0 || b == -1 || a % b != 0) return {0, false, false};
      return {a / b, true, false};
    case FOP_EQ: return {a == b, true, true};
    case FOP_NE: return {a != b, true, true};
    case FOP_LT: return {a < b, true, true};
    case FOP_GT: return {a > b, true, true};
    case FOP_LE: return {a <= b, true, true};
    case FOP_GE: return {a >= b, true, true};
    default: return {0, false, false};
  }
}

// A value the kernel works on, kept as scalars (a compiler spills a
// cell-shaped accumulator in pieces and reads it back whole, which
// stalls): integer!, float!, char!, or logic! after a comparison.
struct Num {
  TypeId type;
  int32_t i;
  double f;
};

inline bool num_load(const Cell& c, Num* n) {
  TypeId t = c.type();
  if (t != TYPE_INTEGER && t != TYPE_FLOAT && t != TYPE_CHAR) return false;
  n->type = t;
  n->i = c.i2();
  n->f = t == TYPE_FLOAT ? c.f64() : 0.0;
  return true;
}

inline Cell num_cell(const Num& n) {
  switch (n.type) {
    case TYPE_FLOAT: return float_cell(n.f);
    case TYPE_LOGIC: return logic_cell(n.i != 0);
    case TYPE_CHAR: return make_cell(TYPE_CHAR, 0, uint32_t(n.i));
    default: return integer_cell(n.i);
  }
}

// a op r into a; false, leaving a as it was, when the action or native
// must decide.
//  - Two integers: exact results; sums, differences and products that
//    overflow are floats, as the actions make them.
//  - Integers and floats: sums, differences and products as floats, and
//    the order comparisons (a NaN is neither lesser nor greater). Float
//    equality is the native's (it allows for rounding).
//  - Two chars: the comparisons, by code point.
[[gnu::always_inline]] inline bool num_op(uint32_t fop, Num& a, const Cell& r) {
  TypeId rt = r.type();
  if (a.type == TYPE_INTEGER && rt == TYPE_INTEGER) [[likely]] {
    IntResult z = int_op(fop, a.i, r.i2());
    if (z.ok) [[likely]] {
      a.type = z.logic ? TYPE_LOGIC : TYPE_INTEGER;
      a.i = z.value;
      return true;
    }
    if (fop > FOP_MUL) return false;
  } else if (a.type == TYPE_CHAR) {
    if (rt != TYPE_CHAR || fop < FOP_EQ) return false;
    IntResult z = int_op(fop, a.i, r.i2());
    a.type = TYPE_LOGIC;
    a.i = z.value;
    return true;
  }
  bool af = a.type == TYPE_FLOAT, rf = rt == TYPE_FLOAT;
  if (!(af || a.type == TYPE_INTEGER) || !(rf || rt == TYPE_INTEGER)) return false;
  double x = af ? a.f : double(a.i), y = rf ? r.f64() : double(r.i2());
  switch (fop) {
    case FOP_ADD: a.f = x + y; break;
    case FOP_SUB: a.f = x - y; break;
    case FOP_MUL: a.f = x * y; break;
    case FOP_LT: a.i = x < y; a.type = TYPE_LOGIC; return true;
    case FOP_GT: a.i = x > y; a.type = TYPE_LOGIC; return true;
    case FOP_LE: a.i = x <= y; a.type = TYPE_LOGIC; return true;
    case FOP_GE: a.i = x >= y; a.type = TYPE_LOGIC; return true;
    default: return false;
  }
  a.type = TYPE_FLOAT;
  return true;
}

// The same on cells: l op r into out, or false having written nothing.
[[gnu::always_inline]] inline bool cell_op(uint32_t fop, const Cell& l, const Cell& r, Cell* out) {
  Num a;
  if (!num_load(l, &a) || !num_op(fop, a, r)) return false;
  *out = num_cell(a);
  return true;
}

}  // namespace vel::interp
