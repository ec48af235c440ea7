// point2D! and point3D!: make and to, the (x, y) text, arithmetic in
// binary64 stored as binary32, tolerant comparison, axes by path and pick,
// round, random, absolute, negate, reverse. One template serves both; N is
// the coordinate count.
#include "datatypes/point.h"

#include <cfloat>
#include <cmath>
#include <string_view>
#include <utility>

#include "action_frames.h"
#include "datatypes/core_words.h"
#include "eval.h"
#include "datatypes/float.h"
#include "datatypes/logic.h"
#include "datatypes/pair.h"
#include "datatypes/strout.h"
#include "datatypes/time.h"
#include "errors.h"
#include "families.h"
#include "hashtable.h"
#include "random.h"
#include "roots.h"

namespace vel {

float to_f32(double d) {
  if (std::isfinite(d) && std::fabs(d) > double(FLT_MAX)) {
    // Beyond the largest binary32 after rounding: the infinity of its sign.
    double limit = double(FLT_MAX) + std::ldexp(1.0, 103);  // halfway to the next binade step
    if (std::fabs(d) >= limit) return std::signbit(d) ? -HUGE_VALF : HUGE_VALF;
    return std::signbit(d) ? -FLT_MAX : FLT_MAX;
  }
  return float(d);
}

namespace {

template <int N>
constexpr TypeId kType = N == 2 ? TYPE_POINT2D : TYPE_POINT3D;

template <int N>
Cell point_of(const double* v) {
  Cell c = make_cell(kType<N>);
  for (int i = 0; i < N; i++) point_set_coord(&c, i, to_f32(v[i]));
  return c;
}

// Stores the coordinates into c as a point of N (flags kept).
template <int N>
void point_store(Cell* c, const double* v) {
  Cell p = point_of<N>(v);
  c->header = (c->header & ~CELL_TYPE_MASK) | kType<N>;
  c->w1 = p.w1;
  c->w2 = p.w2;
  c->w3 = p.w3;
}

// The coordinates another value gives a point of N, or false when it gives
// none: its own kind; for point2D! a pair!.
template <int N>
bool coords_of(const Cell& c, double* v) {
  if (c.is(kType<N>)) {
    for (int i = 0; i < N; i++) v[i] = point_coord(c, i);
    return true;
  }
  if (N == 2 && c.is(TYPE_PAIR)) {
    v[0] = pair_x(c);
    v[1] = pair_y(c);
    return true;
  }
  return false;
}

template <int N>
Status point_do_math(Cell* base, MathOp op) {
  using enum act::add::Frame;
  const Cell& r = base[VALUE2];
  double right[3] = {0, 0, 0};
  bool scale = false;
  switch (r.type()) {
    case TYPE_INTEGER:
      right[0] = right[1] = right[2] = r.i2();
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
      right[0] = right[1] = right[2] = r.f64();
      scale = op == MATH_MULTIPLY || op == MATH_DIVIDE;
      break;
    default:
      if (!coords_of<N>(r, right)) fire(ErrId::INVALID_TYPE, datatype_cell(r.type()));
  }
  double v[3];
  for (int i = 0; i < N; i++) {
    double c = point_coord(base[VALUE1], i);
    if (scale)
      v[i] = op == MATH_MULTIPLY ? c * right[i] : c / right[i];
    else
      v[i] = float_do_math_op(c, right[i], op);
  }
  point_store<N>(&base[RESULT], v);
  return Status::OK;
}

template <int N>
int32_t point_compare(const Cell* a, const Cell* b, int op) {
  double o[3];
  if (!coords_of<N>(*b, o)) return CMP_INCOMPARABLE;
  float x[3], y[3];
  for (int i = 0; i < N; i++) {
    x[i] = point_coord(*a, i);
    y[i] = float(o[i]);  // a pair's integers as binary32, like its conversion
  }
  switch (op) {
    case CMP_EQUAL:
    case CMP_NOT_EQUAL:
    case CMP_WORD_MATCH:
    case CMP_FIND:
      for (int i = 0; i < N; i++)
        if (!float_almost_equal32(x[i], y[i])) return 1;
      return 0;
    case CMP_STRICT_EQUAL:
    case CMP_WORD_MATCH_CASE:
      for (int i = 0; i < N; i++)
        if (!(x[i] == y[i])) return 1;
      return 0;
    case CMP_SAME:
      for (int i = 0; i < N; i++)
        if (std::memcmp(&x[i], &y[i], sizeof(float)) != 0) return 1;
      return 0;
    default:
      for (int i = 0; i < N; i++) {
        if (float_almost_equal32(x[i], y[i])) continue;
        double d = double(x[i]) - double(y[i]);
        return d < 0 ? -1 : d > 0 ? 1 : 0;
      }
      return 0;
  }
}

// --- actions -------------------------------------------------------------------------
template <int N>
Cell point_from_block(const Cell& spec) {
  Buffer* b = spec.node() ? node_buffer(spec.node()) : nullptr;
  uint32_t len = b ? b->length() : 0;
  uint32_t index = spec.index() < 0 ? 0 : uint32_t(spec.index());
  if (index >= len || len - index < uint32_t(N)) fire(ErrId::MALCONSTRUCT, spec);
  double v[3];
  for (int i = 0; i < N; i++) {
    Cell c = b->cells()[index + uint32_t(i)];
    if (!c.is(TYPE_INTEGER) && !c.is(TYPE_FLOAT)) fire(ErrId::MALCONSTRUCT, spec);
    v[i] = number_as_float(c);
  }
  return point_of<N>(v);
}

template <int N>
Status point_to(Cell* base) {
  using enum act::make::Frame;
  Cell spec = base[SPEC];
  double v[3] = {0, 0, 0};
  switch (conversion_case(spec.type())) {
    case TYPE_BLOCK:  // any-list
      base[RESULT] = point_from_block<N>(spec);
      return Status::OK;
    case TYPE_STRING: {  // any-string
      Cell loaded;
      if (!lexer::load_one_value(spec, &loaded) || !loaded.is(kType<N>))
        fire(ErrId::BAD_TO_ARG, datatype_cell(kType<N>), base[SPEC]);
      base[RESULT] = loaded;
      base[RESULT].header = kType<N>;
      return Status::OK;
    }
    case TYPE_INTEGER:
    case TYPE_FLOAT:
      v[0] = v[1] = v[2] = number_as_float(spec);
      break;
    case TYPE_PAIR:
      v[0] = pair_x(spec);
      v[1] = pair_y(spec);
      break;
    default:
      if (spec.is(kType<N>) || (N == 3 && spec.is(TYPE_POINT2D))) {
        int n = spec.is(TYPE_POINT2D) ? 2 : N;
        for (int i = 0; i < n; i++) v[i] = point_coord(spec, i);
        break;
      }
      fire(ErrId::BAD_TO_ARG, datatype_cell(kType<N>), spec);
  }
  base[RESULT] = point_of<N>(v);
  return Status::OK;
}

template <int N>
may_gc int32_t point_format(const Cell& v, NodeId out, int32_t part) {
  char text[3 * (FLOAT_TEXT_MAX + 2) + 4];
  int n = 0;
  text[n++] = '(';
  for (int i = 0; i < N; i++) {
    if (i) {
      text[n++] = ',';
      text[n++] = ' ';
    }
    n += float_form_text(double(point_coord(v, i)), FloatTextKind::SINGLE_BARE, text + n);
  }
  text[n++] = ')';
  append_latin1(out, std::string_view(text, size_t(n)));
  return part - n;
}

template <int N>
int32_t point_form(Cell v, NodeId out, const Cell*, int32_t part) {
  return point_format<N>(v, out, part);
}
template <int N>
int32_t point_mold(Cell v, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return point_format<N>(v, out, part);
}

template <int N, MathOp OP>
Status point_math(Cell* base) {
  return point_do_math<N>(base, OP);
}

template <int N>
Status point_absolute(Cell* base) {
  using enum act::absolute::Frame;
  base[VALUE].w1 &= 0x7FFFFFFFu;
  base[VALUE].w2 &= 0x7FFFFFFFu;
  if (N == 3) base[VALUE].w3 &= 0x7FFFFFFFu;
  return Status::OK;
}

template <int N>
Status point_negate(Cell* base) {
  using enum act::negate::Frame;
  for (int i = 0; i < N; i++) point_set_coord(&base[NUMBER], i, 0.0f - point_coord(base[NUMBER], i));
  return Status::OK;
}

// point2D! swaps x and y, point3D! x and z.
template <int N>
Status point_reverse(Cell* base) {
  using enum act::reverse::Frame;
  std::swap(base[SERIES].w1, N == 2 ? base[SERIES].w2 : base[SERIES].w3);
  return Status::OK;
}

template <int N>
Status point_round(Cell* base) {
  // Qualified names: round's first argument is n, like the template parameter.
  const Cell& s = base[act::round::SCALE];
  double scale[3] = {1.0, 1.0, 1.0};
  if (truthy(base[act::round::TO])) {
    switch (s.type()) {
      case TYPE_MONEY:
        fire(ErrId::NOT_RELATED, datatype_cell(TYPE_MONEY));
      case TYPE_INTEGER:
      case TYPE_FLOAT:
      case TYPE_PERCENT:
        scale[0] = scale[1] = scale[2] = number_as_float(s);
        break;
      case TYPE_PAIR:
        if (N == 3) fire(ErrId::EXPECT_ARG, datatype_cell(s.type()));
        scale[0] = pair_x(s);
        scale[1] = pair_y(s);
        break;
      case TYPE_POINT2D:
        scale[0] = point_coord(s, 0);
        scale[1] = point_coord(s, 1);
        scale[2] = 0.0;  // a missing z: left as it is
        break;
      case TYPE_POINT3D:
        for (int i = 0; i < 3; i++) scale[i] = point_coord(s, i);
        break;
      default:
        fire(ErrId::EXPECT_ARG, datatype_cell(s.type()));
    }
  }
  RoundMode mode = round_mode_of(base);
  double v[3];
  for (int i = 0; i < N; i++) v[i] = float_round(point_coord(base[act::round::N], i), std::fabs(scale[i]), mode);
  point_store<N>(&base[act::round::N], v);
  return Status::OK;
}

template <int N>
Status point_random(Cell* base) {
  using enum act::random::Frame;
  if (truthy(base[SEED])) {
    // A fixed hash seed, so that the same point always seeds alike.
    uint32_t bytes[3] = {base[VALUE].w1, base[VALUE].w2, base[VALUE].w3};
    random::seed(int32_t(hash_table::murmur3(bytes, sizeof(uint32_t) * N, 0)));
    base[RESULT] = unset_cell();
    return Status::OK;
  }
  bool secure = truthy(base[SECURE]);
  for (int i = 0; i < N; i++) {
    float c = point_coord(base[VALUE], i);
    if (c != 0.0f) point_set_coord(&base[VALUE], i, to_f32(random::float_random_unit(c, secure)));
  }
  return Status::OK;
}

template <int N>
Status point_pick(Cell* base) {
  using enum act::pick::Frame;
  const Cell& index = base[INDEX];
  int axis = axis_of(index, N);
  if (!axis) {
    if (index.is(TYPE_WORD)) fire(ErrId::CANNOT_USE, index, base[SERIES]);
    fire(ErrId::OUT_OF_RANGE, index);
  }
  base[RESULT] = float_cell(point_coord(base[SERIES], axis - 1));
  return Status::OK;
}

template <int N>
may_gc Cell point_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  int axis = axis_of(selector, N);
  if (!axis) fire(ErrId::INVALID_PATH, step.path ? *step.path : none_cell(), selector);
  if (!set_value) return float_cell(point_coord(value, axis - 1));
  if (!set_value->is(TYPE_INTEGER) && !set_value->is(TYPE_FLOAT))
    fire(ErrId::INVALID_TYPE, datatype_cell(set_value->type()));
  RootedCell v(*set_value);
  Cell p = value;
  point_set_coord(&p, axis - 1, to_f32(number_as_float(*v)));
  store_scalar_back(p, step);
  return *v;
}

template <int N>
void register_point() {
  TypeBuilder(kType<N>)
      .action(ACT_MAKE, point_to<N>)
      .action(ACT_RANDOM, point_random<N>)
      .action(ACT_TO, point_to<N>)
      .form(point_form<N>)
      .mold(point_mold<N>)
      .eval_path(point_eval_path<N>)
      .compare(point_compare<N>)
      .action(ACT_ABSOLUTE, point_absolute<N>)
      .action(ACT_ADD, point_math<N, MATH_ADD>)
      .action(ACT_DIVIDE, point_math<N, MATH_DIVIDE>)
      .action(ACT_MULTIPLY, point_math<N, MATH_MULTIPLY>)
      .action(ACT_NEGATE, point_negate<N>)
      .action(ACT_REMAINDER, point_math<N, MATH_REMAINDER>)
      .action(ACT_ROUND, point_round<N>)
      .action(ACT_SUBTRACT, point_math<N, MATH_SUBTRACT>)
      .action(ACT_PICK, point_pick<N>)
      .action(ACT_REVERSE, point_reverse<N>)
      .done();
}

}  // namespace

Status point2D_do_math(Cell* base, MathOp op) { return point_do_math<2>(base, op); }
Status point3D_do_math(Cell* base, MathOp op) { return point_do_math<3>(base, op); }
int32_t point2D_compare(const Cell* a, const Cell* b, int op) { return point_compare<2>(a, b, op); }

void register_type_POINT2D() { register_point<2>(); }
void register_type_POINT3D() { register_point<3>(); }

}  // namespace vel
