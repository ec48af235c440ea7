// Comparison and math natives: the seven comparisons through the
// comparison driver, same?, not, type?, the sign tests, max/min, shift, to-hex,
// the trigonometric and logarithmic functions, as-pair and the point
// builders, and as-money.
#include <cmath>
#include <cstdint>
#include <iterator>
#include <utility>

#include "frame.h"
#include "native_frames.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/logic.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/natives.h"
#include "floattext.h"

namespace vel {

namespace {

constexpr double PI = 3.141592653589793;

inline bool float_like(TypeId t) { return t == TYPE_FLOAT || t == TYPE_PERCENT || t == TYPE_TIME; }

// script/expect-arg naming the call, the value's datatype and the argument.
[[noreturn]] void fire_expect(const Cell& value, const char* arg) {
  Cell call = error::get_call();
  Cell word = word::load(arg);
  fire(ErrId::EXPECT_ARG, call, datatype_cell(value.type()), word);
}

// --- comparison -------------------------------------------------------------------------

// Values that cannot be ordered give their error as a status: comparisons
// in loops meet it under try.
template <int OP, typename Frame>
Status native_compare(Cell* base) {
  const Cell& a = base[Frame::VALUE1];
  const Cell& b = base[Frame::VALUE2];
  int r = compare_values_or_fail(&a, &b, OP);
  if (r < 0) [[unlikely]]
    return fail(ErrId::INVALID_COMPARE, a, b);
  base[RESULT] = logic_cell(r != 0);
  return Status::OK;
}

// Identity: the same datatype and the same data, by what each datatype's
// cell holds (for series: the same series at the same position).
bool same_values(const Cell& a, const Cell& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case TYPE_NONE:
    case TYPE_UNSET: return true;
    case TYPE_DATATYPE:
    case TYPE_LOGIC:
    case TYPE_OBJECT: return a.w1 == b.w1;
    case TYPE_CHAR:
    case TYPE_INTEGER:
    case TYPE_BITSET: return a.w2 == b.w2;
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH:
    case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_STRING: case TYPE_FILE: case TYPE_URL:
    case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: case TYPE_BINARY: case TYPE_VECTOR:
    case TYPE_IMAGE: case TYPE_NATIVE: case TYPE_ACTION: case TYPE_POINT2D:
      return a.w1 == b.w1 && a.w2 == b.w2;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_PAIR:
    case TYPE_TIME:
    case TYPE_OP: return a.w2 == b.w2 && a.w3 == b.w3;
    case TYPE_TUPLE: return tuple_count(a) == tuple_count(b) && a.w1 == b.w1 && a.w2 == b.w2 && a.w3 == b.w3;
    default: return a.w1 == b.w1 && a.w2 == b.w2 && a.w3 == b.w3;
  }
}

Status native_same_q(Cell* base) {
  using enum nat::same_q::Frame;
  base[RESULT] = logic_cell(same_values(base[VALUE1], base[VALUE2]));
  return Status::OK;
}

// Only none and false are falsy; unset gives false without an error.
Status native_not(Cell* base) {
  using enum nat::not_::Frame;
  base[RESULT] = logic_cell(!truthy(base[VALUE]));
  return Status::OK;
}

Status native_type_q(Cell* base) {
  using enum nat::type_q::Frame;
  TypeId t = base[VALUE].type();
  base[RESULT] = used(base[WORD]) ? g_types[t].name_word : datatype_cell(t);
  return Status::OK;
}

// --- sign tests ---------------------------------------------------------------------------

// -1, 0 or 1; a NaN is 0.
int32_t sign_of(const Cell& v) {
  if (v.is(TYPE_INTEGER)) return integer_sign(v.i2());
  if (float_like(v.type())) {
    double d = v.f64();
    return (d > 0.0) - (d < 0.0);
  }
  if (v.is(TYPE_MONEY)) return money::sign_of(v);
  fire_expect(v, "number");
}

Status native_negative_q(Cell* base) {
  using enum nat::negative_q::Frame;
  base[RESULT] = logic_cell(sign_of(base[NUMBER]) < 0);
  return Status::OK;
}
Status native_positive_q(Cell* base) {
  using enum nat::positive_q::Frame;
  base[RESULT] = logic_cell(sign_of(base[NUMBER]) > 0);
  return Status::OK;
}
Status native_sign_q(Cell* base) {
  using enum nat::sign_q::Frame;
  base[RESULT] = integer_cell(sign_of(base[NUMBER]));
  return Status::OK;
}

// Any datatype is accepted; one that is not a number is simply not zero.
Status native_zero_q(Cell* base) {
  using enum nat::zero_q::Frame;
  const Cell& v = base[VALUE];
  bool z = false;
  if (v.is(TYPE_INTEGER) || v.is(TYPE_CHAR)) z = v.w2 == 0;
  else if (float_like(v.type())) z = v.f64() == 0.0;
  else if (v.is(TYPE_PAIR)) z = v.w2 == 0 && v.w3 == 0;
  else if (v.is(TYPE_POINT2D) || v.is(TYPE_POINT3D))
    z = point_coord(v, 0) == 0.0f && point_coord(v, 1) == 0.0f && (v.is(TYPE_POINT2D) || point_coord(v, 2) == 0.0f);
  else if (v.is(TYPE_MONEY)) z = money::zero_q(v);
  else if (v.is(TYPE_TUPLE)) z = tuple_all_zero_q(v);
  base[RESULT] = logic_cell(z);
  return Status::OK;
}

// Only float-like cells carry a binary64; an integer's last word is not
// part of its value, so an integer is never NaN.
Status native_nan_q(Cell* base) {
  using enum nat::NaN_q::Frame;
  const Cell& v = base[VALUE];
  base[RESULT] = logic_cell((v.is(TYPE_FLOAT) || v.is(TYPE_PERCENT)) && std::isnan(v.f64()));
  return Status::OK;
}

// The currency code must be a known currency.
Status native_as_money(Cell* base) {
  using enum nat::as_money::Frame;
  int32_t k = base[CURRENCY].is(TYPE_WORD) ? money::currency_index(base[CURRENCY]) : -1;
  if (k < 1) fire(ErrId::BAD_DENOM, base[CURRENCY]);
  const Cell& amount = base[AMOUNT];
  Cell m;
  if (amount.is(TYPE_INTEGER)) m = money::from_integer(amount.i2());
  else if (amount.is(TYPE_FLOAT)) m = money::from_float(amount.f64(), false);
  else fire_expect(amount, "amount");
  money::set_currency(&m, uint32_t(k));
  base[RESULT] = m;
  return Status::OK;
}

// --- max and min -------------------------------------------------------------------------

inline bool scalar_number(TypeId t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }
inline bool nan_number(const Cell& c) { return (c.is(TYPE_FLOAT) || c.is(TYPE_PERCENT)) && std::isnan(c.f64()); }

inline bool composite(TypeId t) { return t == TYPE_PAIR || t == TYPE_POINT2D || t == TYPE_POINT3D || t == TYPE_TUPLE; }

// Points coordinate by coordinate against a number (as binary32), a pair
// (for point2D!) or a point of the same kind; a NaN on the other side
// always wins. Answers false when b gives no coordinates.
bool max_min_point(Cell* p, const Cell& b, bool max) {
  int n = p->is(TYPE_POINT3D) ? 3 : 2;
  float o[3];
  if (b.is(TYPE_INTEGER) || b.is(TYPE_FLOAT)) {
    o[0] = o[1] = o[2] = to_f32(number_as_float(b));
  } else if (b.is(TYPE_PAIR) && n == 2) {
    o[0] = float(pair_x(b));
    o[1] = float(pair_y(b));
  } else if (b.type() == p->type()) {
    for (int i = 0; i < n; i++) o[i] = point_coord(b, i);
  } else {
    return false;
  }
  for (int i = 0; i < n; i++) {
    float c = point_coord(*p, i);
    if (std::isnan(o[i]) || (max ? o[i] > c : o[i] < c)) point_set_coord(p, i, o[i]);
  }
  return true;
}

// Pairs component by component against an integer (a float that fits 32
// bits is truncated to one) or a pair; against a point, or a float no
// integer holds, the pair becomes a point2D! first.
bool max_min_pair(Cell* p, const Cell& b, bool max) {
  int32_t o[2];
  if (b.is(TYPE_INTEGER)) {
    o[0] = o[1] = b.i2();
  } else if (b.is(TYPE_FLOAT) && !float_overflows_int(b.f64())) {
    o[0] = o[1] = int32_t(std::trunc(b.f64()));
  } else if (b.is(TYPE_PAIR)) {
    o[0] = pair_x(b);
    o[1] = pair_y(b);
  } else if (b.is(TYPE_FLOAT) || b.is(TYPE_POINT2D)) {
    pair_to_point2D(p);
    return max_min_point(p, b, max);
  } else {
    return false;
  }
  int32_t x = pair_x(*p), y = pair_y(*p);
  if (max ? o[0] > x : o[0] < x) x = o[0];
  if (max ? o[1] > y : o[1] < y) y = o[1];
  pair_make_at(p, x, y);
  return true;
}

// One worker: max takes the second value when the first is lesser, min the
// first when it is lesser (so min of equal values is the second). A NaN
// against a number wins either way. Pairs and points go coordinate by
// coordinate, with a number on either side.
template <typename Frame>
Status max_min(Cell* base, bool max) {
  if (composite(base[Frame::VALUE2].type()) && (base[Frame::VALUE1].is(TYPE_INTEGER) || base[Frame::VALUE1].is(TYPE_FLOAT))) std::swap(base[Frame::VALUE1], base[Frame::VALUE2]);
  if (base[Frame::VALUE1].is(TYPE_PAIR) && max_min_pair(&base[Frame::VALUE1], base[Frame::VALUE2], max)) return Status::OK;
  if ((base[Frame::VALUE1].is(TYPE_POINT2D) || base[Frame::VALUE1].is(TYPE_POINT3D)) && max_min_point(&base[Frame::VALUE1], base[Frame::VALUE2], max))
    return Status::OK;
  if (base[Frame::VALUE1].is(TYPE_TUPLE) && tuple_max_min(&base[Frame::VALUE1], base[Frame::VALUE2], max)) return Status::OK;
  const Cell& a = base[Frame::VALUE1];
  const Cell& b = base[Frame::VALUE2];
  if (nan_number(a) && scalar_number(b.type())) return Status::OK;
  if (nan_number(b) && scalar_number(a.type())) {
    base[RESULT] = b;
    return Status::OK;
  }
  int lesser = compare_values_or_fail(&a, &b, CMP_LESSER);
  if (lesser < 0) [[unlikely]]
    return fail(ErrId::INVALID_COMPARE, a, b);
  if (max == (lesser != 0)) base[RESULT] = base[Frame::VALUE2];
  return Status::OK;
}

Status native_max(Cell* base) { return max_min<nat::max::Frame>(base, true); }
Status native_min(Cell* base) { return max_min<nat::min::Frame>(base, false); }

// --- bits and hexadecimal -------------------------------------------------------------------

// Counts of 32 or more are answered explicitly: a C++ shift by them is
// undefined.
Status native_shift(Cell* base) {
  using enum nat::shift::Frame;
  if (!base[DATA].is(TYPE_INTEGER)) fire_expect(base[DATA], "data");
  if (!base[BITS].is(TYPE_INTEGER)) fire_expect(base[BITS], "bits");
  uint32_t data = base[DATA].w2;
  int32_t bits = base[BITS].i2() < 0 ? 0 : base[BITS].i2();
  uint32_t r;
  if (used(base[LEFT])) r = bits >= 32 ? 0 : data << bits;
  else if (used(base[LOGICAL])) r = bits >= 32 ? 0 : data >> bits;
  else if (bits >= 32) r = int32_t(data) < 0 ? 0xFFFFFFFFu : 0;
  // An arithmetic shift written without relying on signed >>.
  else r = int32_t(data) < 0 ? ~(~data >> bits) : data >> bits;
  base[RESULT] = integer_cell(int32_t(r));
  return Status::OK;
}

Status native_to_hex(Cell* base) {
  using enum nat::to_hex::Frame;
  if (!base[VALUE].is(TYPE_INTEGER)) fire_expect(base[VALUE], "value");
  int32_t keep = 8;
  if (used(base[SIZE])) {
    if (!base[LENGTH].is(TYPE_INTEGER)) fire_expect(base[LENGTH], "length");
    if (base[LENGTH].i2() <= 0) fire(ErrId::INVALID_ARG, base[LENGTH]);
    if (base[LENGTH].i2() < 8) keep = base[LENGTH].i2();
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char text[8];
  uint32_t v = base[VALUE].w2;
  for (int i = 7; i >= 0; i--, v >>= 4) text[i] = kDigits[v & 15];
  uint32_t sym = symbol::make(std::string_view(text + 8 - keep, size_t(keep)));
  Cell issue = word::make_global(sym);
  issue.set_type(TYPE_ISSUE);
  base[RESULT] = issue;
  return Status::OK;
}

// --- trigonometry and logarithms -------------------------------------------------------------

// The argument as a double: an integer converted, a float or percent read.
double float_arg(const Cell& v, const char* arg) {
  if (v.is(TYPE_INTEGER)) return double(v.i2());
  if (v.is(TYPE_FLOAT) || v.is(TYPE_PERCENT)) return v.f64();
  fire_expect(v, arg);
}

inline Status float_result(Cell* base, double d) {
  base[RESULT] = float_cell(d);
  return Status::OK;
}

// Results this close to zero are the rounding noise of pi, not a value.
inline double snap_zero(double d) { return std::fabs(d) < FLOAT_EPSILON ? 0.0 : d; }

template <typename Frame>
inline double angle_in_radians(Cell* base, int fold_mode) {
  double x = float_arg(base[Frame::ANGLE], "angle");
  return used(base[Frame::RADIANS]) ? x : fold_degrees(x, fold_mode);
}

Status native_sine(Cell* base) {
  return float_result(base, snap_zero(std::sin(angle_in_radians<nat::sine::Frame>(base, 2))));
}
Status native_cosine(Cell* base) {
  return float_result(base, snap_zero(std::cos(angle_in_radians<nat::cosine::Frame>(base, 1))));
}

Status native_tangent(Cell* base) {
  double x = angle_in_radians<nat::tangent::Frame>(base, 0);
  if (x == PI / 2) return float_result(base, HUGE_VAL);
  if (x == -PI / 2) return float_result(base, -HUGE_VAL);
  return float_result(base, std::tan(x));
}

// No domain checks: outside -1..1 the platform answers NaN.
inline Status inverse_trig(Cell* base, const Cell& value, const Cell& radians, double (*fn)(double),
                           const char* arg) {
  double r = fn(float_arg(value, arg));
  return float_result(base, used(radians) ? r : r * 180.0 / PI);
}
Status native_arcsine(Cell* base) {
  using enum nat::arcsine::Frame;
  return inverse_trig(base, base[SINE], base[RADIANS], [](double x) { return std::asin(x); }, "sine");
}
Status native_arccosine(Cell* base) {
  using enum nat::arccosine::Frame;
  return inverse_trig(base, base[COSINE], base[RADIANS], [](double x) { return std::acos(x); }, "cosine");
}
Status native_arctangent(Cell* base) {
  using enum nat::arctangent::Frame;
  return inverse_trig(base, base[TANGENT], base[RADIANS], [](double x) { return std::atan(x); }, "tangent");
}

Status native_arctangent2(Cell* base) {
  using enum nat::arctangent2::Frame;
  double r = std::atan2(float_arg(base[Y], "y"), float_arg(base[X], "x"));
  return float_result(base, used(base[RADIANS]) ? r : r * 180.0 / PI);
}

// The logarithms, exp and square-root: a number in value, a float out.
template <typename Frame>
double value_arg(const Cell* base) {
  return float_arg(base[Frame::VALUE], "value");
}
Status native_log_2(Cell* base) {
  return float_result(base, std::log(value_arg<nat::log_2::Frame>(base)) / 0.6931471805599453);
}
Status native_log_10(Cell* base) { return float_result(base, std::log10(value_arg<nat::log_10::Frame>(base))); }
Status native_log_e(Cell* base) { return float_result(base, std::log(value_arg<nat::log_e::Frame>(base))); }
Status native_exp(Cell* base) {
  return float_result(base, std::pow(2.718281828459045, value_arg<nat::exp::Frame>(base)));
}
Status native_square_root(Cell* base) { return float_result(base, std::sqrt(value_arg<nat::square_root::Frame>(base))); }

// --- building values -------------------------------------------------------------------

// A float that no 32-bit integer holds (NaN and infinities included) is
// refused rather than truncated.
int32_t pair_component(const Cell& c) {
  if (c.is(TYPE_INTEGER)) return c.i2();
  if (float_overflows_int(c.f64())) fire(ErrId::INVALID_ARG, c);
  return int32_t(std::trunc(c.f64()));
}

Status native_as_pair(Cell* base) {
  using enum nat::as_pair::Frame;
  int32_t x = pair_component(base[X]);
  int32_t y = pair_component(base[Y]);
  base[RESULT] = pair_cell(x, y);
  return Status::OK;
}

Status native_as_point2D(Cell* base) {
  using enum nat::as_point2D::Frame;
  base[RESULT] = point2D_cell(to_f32(number_as_float(base[X])), to_f32(number_as_float(base[Y])));
  return Status::OK;
}

Status native_as_point3D(Cell* base) {
  using enum nat::as_point3D::Frame;
  base[RESULT] = point3D_cell(to_f32(number_as_float(base[X])), to_f32(number_as_float(base[Y])),
                         to_f32(number_as_float(base[Z])));
  return Status::OK;
}

constexpr NativeEntry kMathNatives[] = {
    {NAT_EQUAL_Q, native_compare<CMP_EQUAL, nat::equal_q::Frame>},
    {NAT_NOT_EQUAL_Q, native_compare<CMP_NOT_EQUAL, nat::not_equal_q::Frame>},
    {NAT_STRICT_EQUAL_Q, native_compare<CMP_STRICT_EQUAL, nat::strict_equal_q::Frame>},
    {NAT_LESSER_Q, native_compare<CMP_LESSER, nat::lesser_q::Frame>},
    {NAT_GREATER_Q, native_compare<CMP_GREATER, nat::greater_q::Frame>},
    {NAT_LESSER_OR_EQUAL_Q, native_compare<CMP_LESSER_OR_EQUAL, nat::lesser_or_equal_q::Frame>},
    {NAT_GREATER_OR_EQUAL_Q, native_compare<CMP_GREATER_OR_EQUAL, nat::greater_or_equal_q::Frame>},
    {NAT_SAME_Q, native_same_q},
    {NAT_NOT, native_not},
    {NAT_TYPE_Q, native_type_q},
    {NAT_NEGATIVE_Q, native_negative_q},
    {NAT_POSITIVE_Q, native_positive_q},
    {NAT_SIGN_Q, native_sign_q},
    {NAT_ZERO_Q, native_zero_q},
    {NAT_NAN_Q, native_nan_q},
    {NAT_AS_MONEY, native_as_money},
    {NAT_MAX, native_max},
    {NAT_MIN, native_min},
    {NAT_SHIFT, native_shift},
    {NAT_TO_HEX, native_to_hex},
    {NAT_SINE, native_sine},
    {NAT_COSINE, native_cosine},
    {NAT_TANGENT, native_tangent},
    {NAT_ARCSINE, native_arcsine},
    {NAT_ARCCOSINE, native_arccosine},
    {NAT_ARCTANGENT, native_arctangent},
    {NAT_ARCTANGENT2, native_arctangent2},
    {NAT_LOG_2, native_log_2},
    {NAT_LOG_10, native_log_10},
    {NAT_LOG_E, native_log_e},
    {NAT_EXP, native_exp},
    {NAT_SQUARE_ROOT, native_square_root},
    {NAT_AS_PAIR, native_as_pair},
    {NAT_AS_POINT2D, native_as_point2D},
    {NAT_AS_POINT3D, native_as_point3D},
};

}  // namespace

void register_natives_math() { register_natives(kMathNatives, std::size(kMathNatives)); }

}  // namespace vel
