// integer!: the 32-bit signed integer, its cell routines and the arithmetic
// kernel shared with char!.
//
// add, subtract and multiply never wrap: a result outside 32 bits becomes a
// float!. An inexact divide also gives a float! (7 / 2 = 3.5).
#pragma once
#include <cstdint>

#include "cell.h"
#include "datatypes/registry.h"
#include "memory.h"
#include "stack.h"

namespace vel {

// Operator codes of every arithmetic kernel (integer, char, float and the
// composite types' math). The order is fixed: other modules pass the codes.
enum MathOp : int {
  MATH_ADD = 0,
  MATH_SUBTRACT = 1,
  MATH_MULTIPLY = 2,
  MATH_DIVIDE = 3,
  MATH_REMAINDER = 4,
  MATH_OR = 5,
  MATH_AND = 6,
  MATH_XOR = 7,
};

// The action that carries each operator code.
inline ActionId math_action(MathOp op) {
  static constexpr ActionId kActions[8] = {ACT_ADD,       ACT_SUBTRACT, ACT_MULTIPLY, ACT_DIVIDE,
                                           ACT_REMAINDER, ACT_OR_T,     ACT_AND_T,    ACT_XOR_T};
  return kActions[op & 7];
}

// --- cell routines -------------------------------------------------------------

// Makes c an integer! and keeps its header flags.
inline void integer_make_at(Cell* c, int32_t v) {
  c->header = (c->header & ~CELL_TYPE_MASK) | TYPE_INTEGER;
  c->w2 = uint32_t(v);
}
may_gc Cell* integer_make_in(NodeId block, int32_t v);
inline int32_t integer_sign(int32_t v) { return (v > 0) - (v < 0); }
// |v|; the minimum raises math/overflow.
int32_t integer_abs(int32_t v);
// True when d does not truncate to a 32-bit integer (NaN and infinities
// included).
bool float_overflows_int(double d);
// d truncated toward zero; script/type-limit naming integer! when it does
// not fit.
int32_t float_to_int_checked(double d);
// The decimal text of v into out (room for 12 chars with the NUL).
int integer_form_signed(int32_t v, char* out);

// --- kernel ----------------------------------------------------------------------

// left op right for the codes 0-7. With a result cell, an add, subtract or
// multiply that does not fit, or an inexact divide, makes *result a float!
// (flags kept); otherwise *result becomes the integer! answer. Without one,
// the wrapped or truncated value is the answer. A zero divisor raises
// math/zero-divide; the minimum divided by -1 (or its remainder by -1)
// raises math/overflow.
int32_t integer_do_math_op(int32_t left, int32_t right, MathOp op, Cell* result);

// The math actions of integer! by the right operand's type: integer and
// char operands through the kernel, float/percent/time through the float
// math, the composite types through their own actions. value1 of the
// frame is the left operand and the result.
Status integer_do_math(Cell* base, MathOp op);

// Math of a number (value1) with a composite right operand: vector!,
// pair!, point2D!, point3D!, tuple!, money! and, for an integer! left
// operand, date!. Each goes to that type's own action, with the operands
// swapped where its math expects itself on the left; any other right
// operand raises script/invalid-type.
Status composite_math(Cell* base, MathOp op);

// Copies up to max bytes of a binary! value from its index; answers the
// count copied (0 for an index at or past the tail).
size_t binary_bytes_at(const Cell& bin, uint8_t* dst, size_t max);

}  // namespace vel
