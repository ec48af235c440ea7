// float!.
#include "datatypes/float.h"

#include <bit>
#include <climits>
#include <string_view>
#include <utility>

#include "action_frames.h"
#include "datatypes/logic.h"
#include "datatypes/money.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "families.h"
#include "numscan.h"
#include "random.h"
#include "series_ops.h"

namespace vel {

FloatOptions g_float_options;

may_gc Cell* float_make_in(NodeId block, double d) {
  Cell* c = alloc_tail(block);
  *c = float_cell(d);
  return c;
}

namespace {

// Maps the bits of a double onto unsigned integers in numeric order (-0.0
// and +0.0 adjacent), so that the distance of two keys counts the
// representable values between them.
uint64_t ordered_key(double d) {
  uint64_t u = std::bit_cast<uint64_t>(d);
  return (u >> 63) ? ~u : (u | (uint64_t(1) << 63));
}

uint32_t ordered_key32(float f) {
  uint32_t u = std::bit_cast<uint32_t>(f);
  return (u >> 31) ? ~u : (u | (1u << 31));
}

}  // namespace

bool float_almost_equal(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return false;
  if (a == b) return true;
  // An infinity sits one step above the largest finite value; it still
  // equals only itself.
  if (std::isinf(a) || std::isinf(b)) return false;
  if (std::fabs(a - b) < FLOAT_EPSILON) return true;
  uint64_t ka = ordered_key(a), kb = ordered_key(b);
  return (ka > kb ? ka - kb : kb - ka) <= 10;
}

bool float_almost_equal32(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return false;
  if (a == b) return true;
  if (std::isinf(a) || std::isinf(b)) return false;
  uint32_t ka = ordered_key32(a), kb = ordered_key32(b);
  return (ka > kb ? ka - kb : kb - ka) <= 10;
}

int float_form_text(double d, FloatTextKind kind, char* out) {
  return float_to_text(d, kind, g_float_options.pretty, out);
}

// --- arithmetic ------------------------------------------------------------------------

double float_do_math_op(double left, double right, MathOp op) {
  switch (op) {
    case MATH_ADD: return left + right;
    case MATH_SUBTRACT: return left - right;
    case MATH_MULTIPLY: return left * right;
    case MATH_DIVIDE: return left / right;
    case MATH_REMAINDER:
      if (!std::isfinite(right)) {
        if (std::isnan(left) || std::isnan(right) || std::isinf(left)) return std::nan("");
        return left;
      }
      return std::fmod(left, right);
    default:
      fire(ErrId::CANNOT_USE, datatype_cell(TYPE_FLOAT));
  }
}

Status float_do_math(Cell* base, MathOp op) {
  using enum act::add::Frame;
  TypeId lt = base[VALUE1].type(), rt = base[VALUE2].type();
  switch (rt) {
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      break;
    case TYPE_CHAR:
      if (lt == TYPE_PERCENT || lt == TYPE_TIME) fire(ErrId::INVALID_TYPE, datatype_cell(rt));
      break;
    default:
      return composite_math(base, op);
  }
  double v = float_do_math_op(number_as_float(base[VALUE1]), number_as_float(base[VALUE2]), op);
  TypeId t = (lt == TYPE_TIME || rt == TYPE_TIME) ? TYPE_TIME : lt == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT;
  float_make_typed(&base[RESULT], t, v);
  return Status::OK;
}

int32_t float_compare_values(double a, double b, int op) {
  switch (op) {
    case CMP_EQUAL:
    case CMP_NOT_EQUAL:
    case CMP_WORD_MATCH:
    case CMP_FIND:
      return float_almost_equal(a, b) ? 0 : 1;
    case CMP_STRICT_EQUAL:
    case CMP_WORD_MATCH_CASE:
      return a == b ? 0 : 1;
    case CMP_SAME:
      return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) ? 0 : 1;
    case CMP_LESSER:
    case CMP_LESSER_OR_EQUAL:
      if (std::isnan(a) || std::isnan(b)) return 1;  // read as "not lesser"
      break;
    case CMP_GREATER:
    case CMP_GREATER_OR_EQUAL:
      if (std::isnan(a) || std::isnan(b)) return -1;  // read as "not greater"
      break;
    case CMP_SORT:
    case CMP_CASE_SORT:
      // A total order for sorting: NaN after every number.
      if (std::isnan(a) || std::isnan(b)) return int32_t(std::isnan(a)) - int32_t(std::isnan(b));
      break;
    default:
      break;
  }
  return (a > b) - (a < b);
}

// --- rounding ------------------------------------------------------------------------

RoundMode round_mode_of(const Cell* base) {
  using enum act::round::Frame;
  return RoundMode{truthy(base[EVEN]), truthy(base[DOWN]), truthy(base[HALF_DOWN]),
                   truthy(base[FLOOR]), truthy(base[CEILING]), truthy(base[HALF_CEILING])};
}

namespace {

// q rounded to a whole number by the mode, sign kept.
double round_quotient(double q, RoundMode m) {
  if (m.down) return std::trunc(q);
  if (m.floor) return std::floor(q);
  if (m.ceiling) return std::ceil(q);
  double a = std::fabs(q), f = std::floor(a);
  double mag;
  if (a < f + 0.5) {
    mag = f;
  } else if (a > f + 0.5) {
    mag = f + 1.0;
  } else {
    if (m.half_ceiling) return std::ceil(q);
    bool away = m.even ? std::fmod(f, 2.0) >= 1.0 : !m.half_down;
    mag = away ? f + 1.0 : f;
  }
  return std::copysign(mag, q);
}

}  // namespace

double float_round(double v, double scale, RoundMode mode) {
  if (!(scale > std::fabs(v) * 0x1p-53)) return v;  // no digits at that scale (NaN too)
  double result;
  if (scale >= 1.0) {
    result = round_quotient(v / scale, mode) * scale;
  } else {
    // Multiplying by the inverse keeps 1.25 / 0.1 at 12.5. A scale whose
    // inverse would overflow is brought into range first, with v along.
    int shift = 0;
    int e;
    std::frexp(scale, &e);
    if (e < -1021) {
      shift = 1021 + 53;
      scale = std::ldexp(scale, shift);
      v = std::ldexp(v, shift);
    }
    double inverse = 1.0 / scale;
    result = std::ldexp(round_quotient(v * inverse, mode) / inverse, -shift);
  }
  if (std::isinf(result)) fire(ErrId::OVERFLOW);
  return result;
}

Status float_round_action(Cell* base) {
  using enum act::round::Frame;
  const Cell& v = base[N];
  bool has_scale = truthy(base[TO]);
  const Cell& s = base[SCALE];
  TypeId result_type = v.is(TYPE_INTEGER) ? TYPE_FLOAT : v.type();
  double scale = 1.0;
  if (has_scale) {
    switch (s.type()) {
      case TYPE_MONEY:
        fire(ErrId::NOT_RELATED, datatype_cell(TYPE_MONEY));
      case TYPE_INTEGER:
        scale = double(s.i2());
        break;
      case TYPE_FLOAT:
      case TYPE_PERCENT:
      case TYPE_TIME:
        scale = s.f64();
        break;
      default:
        fire(ErrId::EXPECT_ARG, datatype_cell(s.type()));
    }
    scale = std::fabs(scale);
    result_type = s.type();
  }
  // A percent is rounded in percent points (a percent scale is already a
  // fraction) and stays a percent.
  if (v.is(TYPE_PERCENT)) {
    if (!s.is(TYPE_PERCENT) || !has_scale) scale /= 100.0;
    result_type = TYPE_PERCENT;
  }
  double x = number_as_float(v);
  if (!(scale > std::fabs(x) * 0x1p-53)) return Status::OK;
  double r = float_round(x, scale, round_mode_of(base));
  if (result_type == TYPE_INTEGER) {
    if (float_overflows_int(r)) fire(ErrId::OVERFLOW);
    integer_make_at(&base[RESULT], int32_t(r));
  } else {
    float_make_typed(&base[RESULT], result_type, r);
  }
  return Status::OK;
}

namespace {

// --- actions -------------------------------------------------------------------------
// percent! inherits every action; unary results keep the value's type.

template <MathOp OP>
Status float_math(Cell* base) {
  return float_do_math(base, OP);
}

Status float_absolute(Cell* base) {
  using enum act::absolute::Frame;
  base[VALUE].set_f64(std::fabs(base[VALUE].f64()));
  return Status::OK;
}

Status float_negate(Cell* base) {
  using enum act::negate::Frame;
  base[NUMBER].set_f64(-base[NUMBER].f64());
  return Status::OK;
}

// Parity of the value truncated to a whole number. Every double beyond 2^53
// is even; infinities and NaN are neither even nor odd.
Status float_even_q(Cell* base) {
  using enum act::even_q::Frame;
  base[RESULT] = logic_cell(std::fmod(std::trunc(base[NUMBER].f64()), 2.0) == 0.0);
  return Status::OK;
}

Status float_odd_q(Cell* base) {
  using enum act::odd_q::Frame;
  base[RESULT] = logic_cell(std::fabs(std::fmod(std::trunc(base[NUMBER].f64()), 2.0)) == 1.0);
  return Status::OK;
}

// Seeds with the XOR of the two halves of the bit pattern. Only the double
// is written, so percent! and time! keep their type.
Status float_random(Cell* base) {
  using enum act::random::Frame;
  if (truthy(base[SEED])) {
    uint64_t bits = std::bit_cast<uint64_t>(base[VALUE].f64());
    random::seed(int32_t(uint32_t(bits) ^ uint32_t(bits >> 32)));
    base[RESULT] = UNSET_VALUE;
    return Status::OK;
  }
  base[VALUE].set_f64(random::float_random_unit(base[VALUE].f64(), truthy(base[SECURE])));
  return Status::OK;
}

Status float_power(Cell* base) {
  using enum act::power::Frame;
  const Cell& e = base[EXPONENT];
  if (!e.is(TYPE_INTEGER) && !e.is(TYPE_FLOAT)) fire(ErrId::EXPECT_ARG, datatype_cell(e.type()));
  float_make_typed(&base[RESULT], TYPE_FLOAT, std::pow(base[NUMBER].f64(), number_as_float(e)));
  return Status::OK;
}

// [m e]: m times ten to the power e, correctly rounded when e is an
// integer (the decimal digits of m are read back with e added to their
// exponent).
double float_from_block(const Cell& block) {
  Buffer* b = block.node() ? node_buffer(block.node()) : nullptr;
  uint32_t len = b ? b->length() : 0;
  uint32_t index = block.index() < 0 ? 0 : uint32_t(block.index());
  if (index > len || len - index != 2) fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_FLOAT), block);
  Cell m = b->cells()[index], e = b->cells()[index + 1];
  auto number = [](const Cell& c) { return c.is(TYPE_INTEGER) || c.is(TYPE_FLOAT); };
  if (!number(m) || !number(e)) fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_FLOAT), block);
  double mant = number_as_float(m);
  if (mant == 0.0 || !std::isfinite(mant)) return mant;
  if (e.is(TYPE_FLOAT)) return mant * std::pow(10.0, e.f64());
  FloatDigits digits;
  float_to_digits(mant, 0, false, &digits);
  // Far beyond any double's range either way; keeps the sum in 32 bits.
  int32_t exp = e.i2() < -100000 ? -100000 : e.i2() > 100000 ? 100000 : e.i2();
  size_t unconsumed = 0;
  double r = string_to_float(digits.text, digits.text + digits.length, digits.point - digits.length + exp, &unconsumed);
  return digits.negative ? -r : r;
}

// The whole text from the index through the number scanner; false for a
// malformed text (an empty text is refused before the scan).
bool float_from_text(const Cell& text, double* out) {
  Buffer* b = node_buffer(text.node());
  uint32_t len = b->length();
  uint32_t index = text.index() < 0 ? 0 : uint32_t(text.index());
  int error = -1;
  if (index < len) *out = numscan::scan_float(b->head_ptr() + (size_t(index) << b->unit_shift()), len - index, b->unit(), &error);
  return error == 0;
}

// make and to: float! or percent!, as the first argument names (percent!
// inherits them). A text or value that does not convert goes back as a
// status, as integer_to's do.
Status float_to(Cell* base) {
  using enum act::make::Frame;
  TypeId target =
      base[TYPE].is(TYPE_DATATYPE) && base[TYPE].w1 < TYPE_COUNT ? TypeId(base[TYPE].w1) : base[TYPE].type();
  if (target != TYPE_PERCENT) target = TYPE_FLOAT;
  const Cell spec = base[SPEC];
  double d = 0.0;
  switch (conversion_case(spec.type())) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      d = number_as_float(spec);
      break;
    case TYPE_BLOCK:  // any-list
      d = float_from_block(spec);
      break;
    case TYPE_BINARY: {
      uint8_t bytes[8];
      size_t n = binary_bytes_at(spec, bytes, 8);
      uint64_t bits = 0;
      for (size_t i = 0; i < n; i++) bits = (bits << 8) | bytes[i];
      d = std::bit_cast<double>(bits);
      break;
    }
    case TYPE_MONEY:
      d = money::to_float(spec);
      break;
    case TYPE_STRING:  // any-string
      if (!float_from_text(spec, &d)) return fail(ErrId::BAD_TO_ARG, datatype_cell(target), spec);
      break;
    default:
      return fail(ErrId::BAD_TO_ARG, datatype_cell(target), spec);
  }
  base[RESULT] = make_cell(target);
  base[RESULT].set_f64(d);
  return Status::OK;
}

may_gc int32_t put_text(NodeId out, const char* text, int n, int32_t part) {
  append_latin1(out, std::string_view(text, size_t(n)));
  return part - n;
}

int32_t float_form(Cell v, NodeId out, const Cell*, int32_t part) {
  char text[FLOAT_TEXT_MAX];
  int n = float_form_text(v.f64(), FloatTextKind::DOUBLE, text);
  return put_text(out, text, n, part);
}

// Mold reads back to the same value: the shortest round-trip digits.
int32_t float_mold(Cell v, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  char text[FLOAT_TEXT_MAX];
  int n = format_float(v.f64(), text);
  return put_text(out, text, n, part);
}

int32_t float_compare(const Cell* a, const Cell* b, int op) {
  TypeId bt = b->type();
  if ((op == CMP_STRICT_EQUAL || op == CMP_SAME) && bt != a->type()) return 1;
  switch (bt) {
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      return float_compare_values(a->f64(), number_as_float(*b), op);
    case TYPE_MONEY: {
      int32_t r = g_types[TYPE_MONEY].compare(b, a, op);
      return r == CMP_INCOMPARABLE ? r : -r;
    }
    default:
      return CMP_INCOMPARABLE;
  }
}

}  // namespace

void register_type_FLOAT() {
  TypeBuilder(TYPE_FLOAT)
      .action(ACT_MAKE, float_to)
      .action(ACT_RANDOM, float_random)
      .action(ACT_TO, float_to)
      .form(float_form)
      .mold(float_mold)
      .compare(float_compare)
      .action(ACT_ABSOLUTE, float_absolute)
      .action(ACT_ADD, float_math<MATH_ADD>)
      .action(ACT_DIVIDE, float_math<MATH_DIVIDE>)
      .action(ACT_MULTIPLY, float_math<MATH_MULTIPLY>)
      .action(ACT_NEGATE, float_negate)
      .action(ACT_POWER, float_power)
      .action(ACT_REMAINDER, float_math<MATH_REMAINDER>)
      .action(ACT_ROUND, float_round_action)
      .action(ACT_SUBTRACT, float_math<MATH_SUBTRACT>)
      .action(ACT_EVEN_Q, float_even_q)
      .action(ACT_ODD_Q, float_odd_q)
      .done();
}

}  // namespace vel
