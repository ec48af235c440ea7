// float!: the IEEE 754 binary64 number, its text, the float arithmetic that
// percent! and time! share, tolerant equality and rounding.
//
// Texts never come from printf: floattext.h generates the digits, so both
// builds print the same.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cell.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "floattext.h"
#include "memory.h"
#include "stack.h"

namespace vel {

// The float formatting flags of system/options/float: pretty? (tiny
// magnitudes print as 0.0, a noisy last digit pair is rounded away) and
// full? (stored only).
struct FloatOptions {
  bool pretty = true;
  bool full = false;
};
extern FloatOptions g_float_options;

constexpr double FLOAT_EPSILON = 2.220446049250313e-16;

// --- cell routines -------------------------------------------------------------

// Makes c a cell of type t (float!, percent! or time!) holding d; keeps
// the header flags.
inline void float_make_typed(Cell* c, TypeId t, double d) {
  c->header = (c->header & ~CELL_TYPE_MASK) | t;
  c->set_f64(d);
}
inline void float_make_at(Cell* c, double d) { float_make_typed(c, TYPE_FLOAT, d); }
may_gc Cell* float_make_in(NodeId block, double d);

// Tolerant equality: never for NaN; equal values; a difference below the
// machine epsilon; or at most 10 units in the last place apart (an
// infinity is only equal to itself).
bool float_almost_equal(double a, double b);
bool float_almost_equal32(float a, float b);

// The text of d by kind under the pretty? flag; out holds FLOAT_TEXT_MAX.
int float_form_text(double d, FloatTextKind kind, char* out);

// The number of a float-like or integer-like cell (integer!, char!,
// float!, percent!, time!).
inline double number_as_float(const Cell& c) {
  return (c.is(TYPE_INTEGER) || c.is(TYPE_CHAR)) ? double(c.i2()) : c.f64();
}

// --- arithmetic -----------------------------------------------------------------

// left op right for the codes 0-4: IEEE results (a zero divisor gives an
// infinity or NaN, no error); remainder has the dividend's sign, and with a
// non-finite divisor is NaN when either operand is NaN or the dividend is
// infinite, else the dividend. The bitwise codes raise script/cannot-use.
double float_do_math_op(double left, double right, MathOp op);

// The math actions of float!, percent! and time! (and of integer! with such
// a right operand): the result is a time! when either operand is one, else
// a percent! when the left one is, else a float!. value1 of the frame is
// the left operand and the result.
Status float_do_math(Cell* base, MathOp op);

// The comparison of two binary64 values by operator: equality is tolerant,
// strict equality exact, same? by bits. With a NaN every ordering test is
// false (the answer is shaped so that the comparison driver says false),
// and the sort orders put NaN after every number.
int32_t float_compare_values(double a, double b, int op);

// --- rounding ----------------------------------------------------------------------

// The refinements of round other than /to, from a round frame.
struct RoundMode {
  bool even, down, half_down, floor, ceiling, half_ceiling;
};
// round frame: [value /to scale /even /down /half-down /floor /ceiling /half-ceiling]
RoundMode round_mode_of(const Cell* base);

// v rounded to a multiple of scale (> 0, finite or not); a scale at or
// below |v| * 2^-53 leaves v unchanged. An infinite result raises
// math/overflow.
double float_round(double v, double scale, RoundMode mode);

// The round action of float! (and of integer! with a non-integer scale):
// the value may be any number.
Status float_round_action(Cell* base);

}  // namespace vel
