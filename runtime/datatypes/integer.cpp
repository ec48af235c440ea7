// integer!.
#include "datatypes/core_words.h"
#include "families.h"
#include "datatypes/integer.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

#include "action_frames.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/vector.h"
#include "datatypes/logic.h"
#include "datatypes/money.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "numscan.h"
#include "random.h"
#include "series_ops.h"

namespace vel {

// --- cell routines ---------------------------------------------------------------

may_gc Cell* integer_make_in(NodeId block, int32_t v) {
  Cell* c = alloc_tail(block);
  *c = integer_cell(v);
  return c;
}

int32_t integer_abs(int32_t v) {
  if (v == INT32_MIN) fire(ErrId::OVERFLOW);
  return v < 0 ? -v : v;
}

bool float_overflows_int(double d) {
  double t = std::trunc(d);
  return !(t >= -2147483648.0 && t <= 2147483647.0);
}

int32_t float_to_int_checked(double d) {
  if (float_overflows_int(d)) fire(ErrId::TYPE_LIMIT, datatype_cell(TYPE_INTEGER));
  return int32_t(std::trunc(d));
}

int integer_form_signed(int32_t v, char* out) {
  auto r = std::to_chars(out, out + 11, v);
  *r.ptr = '\0';
  return int(r.ptr - out);
}

size_t binary_bytes_at(const Cell& bin, uint8_t* dst, size_t max) {
  if (!bin.node()) return 0;
  Buffer* b = node_buffer(bin.node());
  uint32_t len = b->used();
  uint32_t index = bin.index() < 0 ? 0 : uint32_t(bin.index());
  if (index >= len) return 0;
  size_t n = len - index < max ? len - index : max;
  std::memcpy(dst, b->head_ptr() + index, n);
  return n;
}

// --- kernel ------------------------------------------------------------------------

int32_t integer_do_math_op(int32_t left, int32_t right, MathOp op, Cell* result) {
  int32_t v = 0;
  bool overflow = false;
  switch (op) {
    case MATH_ADD:
      overflow = __builtin_add_overflow(left, right, &v);
      break;
    case MATH_SUBTRACT:
      overflow = __builtin_sub_overflow(left, right, &v);
      break;
    case MATH_MULTIPLY:
      overflow = __builtin_mul_overflow(left, right, &v);
      break;
    case MATH_DIVIDE:
    case MATH_REMAINDER:
      if (right == 0) fire(ErrId::ZERO_DIVIDE);
      // The one quotient that does not fit (and traps on x86).
      if (left == INT32_MIN && right == -1) fire(ErrId::OVERFLOW);
      if (op == MATH_REMAINDER) {
        v = left % right;
      } else {
        v = left / right;
        if (result && left % right != 0) {
          float_make_at(result, double(left) / double(right));
          return v;
        }
      }
      break;
    case MATH_OR:
      v = left | right;
      break;
    case MATH_AND:
      v = left & right;
      break;
    case MATH_XOR:
      v = left ^ right;
      break;
  }
  if (result) {
    if (overflow) {
      double l = left, r = right;
      float_make_at(result, op == MATH_ADD ? l + r : op == MATH_SUBTRACT ? l - r : l * r);
    } else {
      integer_make_at(result, v);
    }
  }
  return v;
}

namespace {
// The word naming a math action, for not-related errors.
Cell math_word(MathOp op) {
  switch (op) {
    case MATH_ADD: return runtime_word(SymId::ADD);
    case MATH_SUBTRACT: return runtime_word(SymId::SUBTRACT);
    case MATH_MULTIPLY: return runtime_word(SymId::MULTIPLY);
    case MATH_DIVIDE: return runtime_word(SymId::DIVIDE);
    default: return none_cell();
  }
}
}  // namespace

Status composite_math(Cell* base, MathOp op) {
  using enum act::add::Frame;
  TypeId left = base[VALUE1].type();
  TypeId t = base[VALUE2].type();
  ActionId a = math_action(op);
  const TypeEntry& e = g_types[t];
  switch (t) {
    case TYPE_VECTOR:
      // Element by element in the vector, the scalar staying on the left.
      std::swap(base[VALUE1], base[VALUE2]);
      return vector_do_math_op(base, op, true);
    case TYPE_PAIR:
    case TYPE_POINT2D:
    case TYPE_POINT3D:
      if (op == MATH_DIVIDE || (op == MATH_SUBTRACT && left != TYPE_INTEGER))
        fire(ErrId::NOT_RELATED, math_word(op), datatype_cell(left));
      std::swap(base[VALUE1], base[VALUE2]);
      if (op == MATH_SUBTRACT) {
        // n - p = (-p) + n
        VEL_TRY(e.actions[ACT_NEGATE](base));
        a = ACT_ADD;
      }
      return e.actions[a](base);
    case TYPE_TUPLE:
      if (op == MATH_DIVIDE || op == MATH_SUBTRACT) fire(ErrId::NOT_RELATED, math_word(op), datatype_cell(left));
      std::swap(base[VALUE1], base[VALUE2]);
      return e.actions[a](base);
    case TYPE_MONEY:
      // Money math converts a number on either side itself.
      return e.actions[a](base);
    case TYPE_DATE:
      if (left != TYPE_INTEGER) break;
      if (op != MATH_ADD) fire(ErrId::NOT_RELATED, math_word(op), datatype_cell(left));
      std::swap(base[VALUE1], base[VALUE2]);
      return e.actions[a](base);
    default:
      break;
  }
  fire(ErrId::INVALID_TYPE, datatype_cell(t));
}

Status integer_do_math(Cell* base, MathOp op) {
  using enum act::add::Frame;
  switch (base[VALUE2].type()) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
      if (op == MATH_DIVIDE || op == MATH_REMAINDER) {
        // The common errors of arithmetic, raised without unwinding where
        // the caller takes a status.
        int32_t r = base[VALUE2].i2();
        if (r == 0) return fail(ErrId::ZERO_DIVIDE);
        if (r == -1 && base[VALUE1].i2() == INT32_MIN) return fail(ErrId::OVERFLOW);
      }
      integer_do_math_op(base[VALUE1].i2(), base[VALUE2].i2(), op, &base[RESULT]);
      return Status::OK;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      return float_do_math(base, op);
    default:
      return composite_math(base, op);
  }
}

namespace {

// --- actions -------------------------------------------------------------------------
template <MathOp OP>
Status integer_math(Cell* base) {
  return integer_do_math(base, OP);
}

// The value is written back into data word 2 only, so char! (which
// inherits absolute, even? and odd?) keeps its type.
Status integer_absolute(Cell* base) {
  using enum act::absolute::Frame;
  base[VALUE].w2 = uint32_t(integer_abs(base[VALUE].i2()));
  return Status::OK;
}

Status integer_negate(Cell* base) {
  using enum act::negate::Frame;
  int32_t v = base[NUMBER].i2();
  if (v == INT32_MIN) fire(ErrId::OVERFLOW);
  base[NUMBER].w2 = uint32_t(-v);
  return Status::OK;
}

Status integer_complement(Cell* base) {
  using enum act::complement::Frame;
  base[VALUE].w2 = ~base[VALUE].w2;
  return Status::OK;
}

Status integer_even_q(Cell* base) {
  using enum act::even_q::Frame;
  base[RESULT] = logic_cell((base[NUMBER].w2 & 1) == 0);
  return Status::OK;
}

Status integer_odd_q(Cell* base) {
  using enum act::odd_q::Frame;
  base[RESULT] = logic_cell((base[NUMBER].w2 & 1) != 0);
  return Status::OK;
}

// Exact by squaring; a step that leaves 32 bits gives up and the power is
// taken in floating point.
Status integer_power(Cell* base) {
  using enum act::power::Frame;
  const Cell& e = base[EXPONENT];
  if (!e.is(TYPE_INTEGER) && !e.is(TYPE_FLOAT)) fire(ErrId::EXPECT_ARG, datatype_cell(e.type()));
  int32_t b = base[NUMBER].i2();
  if (e.is(TYPE_FLOAT) || e.i2() < 0) {
    float_make_at(&base[RESULT], std::pow(double(b), number_as_float(e)));
    return Status::OK;
  }
  uint32_t n = uint32_t(e.i2());
  int32_t result = 1, square = b;
  bool overflow = false;
  while (n) {
    if ((n & 1) && __builtin_mul_overflow(result, square, &result)) {
      overflow = true;
      break;
    }
    n >>= 1;
    if (n && __builtin_mul_overflow(square, square, &square)) {
      overflow = true;
      break;
    }
  }
  if (overflow)
    float_make_at(&base[RESULT], std::pow(double(b), double(e.i2())));
  else
    integer_make_at(&base[RESULT], result);
  return Status::OK;
}

Status integer_round(Cell* base) {
  using enum act::round::Frame;
  if (!truthy(base[TO])) return Status::OK;  // no scale: already whole
  const Cell& s = base[SCALE];
  switch (s.type()) {
    case TYPE_INTEGER:
      break;
    case TYPE_MONEY:
      fire(ErrId::NOT_RELATED, datatype_cell(TYPE_MONEY));
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      return float_round_action(base);
    default:
      fire(ErrId::EXPECT_ARG, datatype_cell(s.type()));
  }
  // 64-bit magnitudes: |INT_MIN| as a scale, and a rounded magnitude one
  // step past the 32-bit range, are both representable.
  int64_t scale = s.i2() < 0 ? -int64_t(s.i2()) : int64_t(s.i2());
  int64_t v = base[N].i2();
  if (scale == 0 || v % scale == 0) return Status::OK;
  RoundMode m = round_mode_of(base);
  bool neg = v < 0;
  int64_t a = neg ? -v : v;
  int64_t r = a % scale, d = scale - r;
  int64_t low = a - r, high = a + d;
  int64_t mag;
  if (m.down) mag = low;
  else if (m.floor) mag = neg ? high : low;
  else if (m.ceiling) mag = neg ? low : high;
  else if (r < d) mag = low;
  else if (r > d) mag = high;
  else if (m.even) mag = ((a / scale) & 1) ? high : low;
  else if (m.half_down) mag = low;
  else if (m.half_ceiling) mag = neg ? low : high;
  else mag = high;
  int64_t result = neg ? -mag : mag;
  if (result < INT32_MIN || result > INT32_MAX) fire(ErrId::OVERFLOW);
  integer_make_at(&base[RESULT], int32_t(result));
  return Status::OK;
}

// random: [value /seed /secure /only]. Only data word 2 is written, so
// char! (which inherits it) keeps its type.
Status integer_random(Cell* base) {
  using enum act::random::Frame;
  if (truthy(base[SEED])) {
    random::seed(base[VALUE].i2());
    base[RESULT] = UNSET_VALUE;
    return Status::OK;
  }
  base[VALUE].w2 = uint32_t(random::int_uniform(base[VALUE].i2(), truthy(base[SECURE])));
  return Status::OK;
}

// The whole text from the index through the number scanner; false for a
// malformed text and for one out of range (both bad-to-arg).
bool integer_from_text(const Cell& text, int32_t* out) {
  Buffer* b = node_buffer(text.node());
  uint32_t len = b->length();
  uint32_t index = text.index() < 0 ? 0 : uint32_t(text.index());
  int error = -1;
  if (index < len) *out = numscan::scan_integer(b->head_ptr() + (size_t(index) << b->unit_shift()), len - index, b->unit(), &error);
  return error == 0;
}

// An issue's text as 1 to 8 hexadecimal digits (#FF is 255, #FFFFFFFF -1);
// false when it is not one.
bool integer_from_issue(const Cell& issue, int32_t* out) {
  std::string_view text = symbol::text(issue.w2);
  if (text.empty() || text.size() > 8) return false;
  uint32_t u = 0;
  for (char c : text) {
    uint32_t d;
    if (c >= '0' && c <= '9') d = uint32_t(c - '0');
    else if (c >= 'a' && c <= 'f') d = uint32_t(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = uint32_t(c - 'A' + 10);
    else return false;
    u = u << 4 | d;
  }
  *out = int32_t(u);
  return true;
}

// The conversions' errors go back as a status (fail): scripts meet them in
// loops, under try, where a thrown error would cost far more than the work.
Status integer_to(Cell* base) {
  using enum act::to::Frame;
  const Cell spec = base[SPEC];
  int32_t v = 0;
  switch (spec.type()) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
      v = spec.i2();
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: {
      // times: the nearest second for times at or after midnight
      double d = spec.is(TYPE_TIME) ? spec.f64() + 0.5 : spec.f64();
      if (float_overflows_int(d)) return fail(ErrId::TYPE_LIMIT, datatype_cell(TYPE_INTEGER));
      v = int32_t(std::trunc(d));
      break;
    }
    case TYPE_BINARY: {
      uint8_t bytes[4];
      size_t n = binary_bytes_at(spec, bytes, 4);
      uint32_t u = 0;
      for (size_t i = 0; i < n; i++) u = (u << 8) | bytes[i];
      v = int32_t(u);
      break;
    }
    case TYPE_ISSUE:
      if (!integer_from_issue(spec, &v)) return fail(ErrId::INVALID_DATA, spec);
      break;
    case TYPE_DATE: {
      int64_t s = date::to_epoch(spec);
      if (s < INT32_MIN || s > INT32_MAX) return fail(ErrId::TYPE_LIMIT, datatype_cell(TYPE_INTEGER));
      v = int32_t(s);
      break;
    }
    case TYPE_MONEY:
      v = money::to_integer(spec);
      break;
    default:
      if (!is_any_string(spec.type()) || !integer_from_text(spec, &v))
        return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_INTEGER), spec);
  }
  base[RESULT] = integer_cell(v);
  return Status::OK;
}

Status integer_make(Cell* base) {
  using enum act::make::Frame;
  if (base[SPEC].is(TYPE_LOGIC)) {
    base[RESULT] = integer_cell(logic_get(base[SPEC]) ? 1 : 0);
    return Status::OK;
  }
  return integer_to(base);
}

int32_t integer_form(Cell v, NodeId out, const Cell*, int32_t part) {
  char text[12];
  int n = integer_form_signed(v.i2(), text);
  append_latin1(out, std::string_view(text, size_t(n)));
  return part - n;
}

int32_t integer_mold(Cell v, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return integer_form(v, out, nullptr, part);
}

int32_t integer_compare(const Cell* a, const Cell* b, int op) {
  TypeId bt = b->type();
  if ((op == CMP_STRICT_EQUAL || op == CMP_SAME) && bt != a->type()) return 1;
  switch (bt) {
    case TYPE_INTEGER:
    case TYPE_CHAR: {
      int32_t x = a->i2(), y = b->i2();
      return (x > y) - (x < y);
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      return float_compare_values(double(a->i2()), b->f64(), op);
    case TYPE_MONEY: {
      // Money compares itself against numbers; the answer is turned round.
      int32_t r = g_types[TYPE_MONEY].compare(b, a, op);
      return r == CMP_INCOMPARABLE ? r : -r;
    }
    default:
      return CMP_INCOMPARABLE;
  }
}

}  // namespace

void register_type_INTEGER() {
  TypeBuilder(TYPE_INTEGER)
      .action(ACT_MAKE, integer_make)
      .action(ACT_RANDOM, integer_random)
      .action(ACT_TO, integer_to)
      .form(integer_form)
      .mold(integer_mold)
      .compare(integer_compare)
      .action(ACT_ABSOLUTE, integer_absolute)
      .action(ACT_ADD, integer_math<MATH_ADD>)
      .action(ACT_DIVIDE, integer_math<MATH_DIVIDE>)
      .action(ACT_MULTIPLY, integer_math<MATH_MULTIPLY>)
      .action(ACT_NEGATE, integer_negate)
      .action(ACT_POWER, integer_power)
      .action(ACT_REMAINDER, integer_math<MATH_REMAINDER>)
      .action(ACT_ROUND, integer_round)
      .action(ACT_SUBTRACT, integer_math<MATH_SUBTRACT>)
      .action(ACT_EVEN_Q, integer_even_q)
      .action(ACT_ODD_Q, integer_odd_q)
      .action(ACT_AND_T, integer_math<MATH_AND>)
      .action(ACT_COMPLEMENT, integer_complement)
      .action(ACT_OR_T, integer_math<MATH_OR>)
      .action(ACT_XOR_T, integer_math<MATH_XOR>)
      .done();
}

}  // namespace vel
