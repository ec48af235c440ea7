// pair!: make and to, the 1x2 text, integer arithmetic that falls over to
// point2D!, comparison, axes by path and pick, round, random, reverse.
#include "datatypes/pair.h"

#include <cmath>
#include <string_view>
#include <utility>

#include "action_frames.h"
#include "datatypes/core_words.h"
#include "eval.h"
#include "datatypes/float.h"
#include "datatypes/logic.h"
#include "datatypes/point.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "errors.h"
#include "families.h"
#include "random.h"
#include "roots.h"
#include "series_ops.h"

namespace vel {

void pair_to_point2D(Cell* c) { point2D_make_at(c, float(pair_x(*c)), float(pair_y(*c))); }

int axis_of(const Cell& e, int count) {
  if (e.is(TYPE_INTEGER)) return e.i2() >= 1 && e.i2() <= count ? e.i2() : 0;
  if (!e.is(TYPE_WORD)) return 0;
  uint32_t s = symbol::resolve(e.w2);
  if (s == sym(SymId::AXIS_X)) return 1;
  if (s == sym(SymId::AXIS_Y)) return 2;
  if (count == 3 && s == sym(SymId::AXIS_Z)) return 3;
  return 0;
}

Status pair_do_math(Cell* base, MathOp op) {
  using enum act::add::Frame;
  const Cell r = base[VALUE2];
  int32_t x = pair_x(base[VALUE1]), y = pair_y(base[VALUE1]);
  int32_t rx, ry;
  switch (r.type()) {
    case TYPE_PAIR:
      rx = pair_x(r);
      ry = pair_y(r);
      break;
    case TYPE_INTEGER:
      rx = ry = r.i2();
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      double f = r.f64();
      if (op == MATH_MULTIPLY || op == MATH_DIVIDE) {
        bool bad = op == MATH_MULTIPLY ? !std::isfinite(f) : std::isnan(f);
        if (bad) fire(ErrId::INVALID_ARG, r);
        double px = op == MATH_MULTIPLY ? double(x) * f : double(x) / f;
        double py = op == MATH_MULTIPLY ? double(y) * f : double(y) / f;
        point2D_make_at(&base[RESULT], to_f32(px), to_f32(py));
        return Status::OK;
      }
      if (!std::isfinite(f)) fire(ErrId::INVALID_ARG, r);
      if (float_overflows_int(f)) {
        // No 32-bit integer stands for it: the float itself is the operand.
        pair_to_point2D(&base[RESULT]);
        return point2D_do_math(base, op);
      }
      rx = ry = int32_t(std::trunc(f));
      break;
    }
    case TYPE_POINT2D:
      pair_to_point2D(&base[RESULT]);
      return point2D_do_math(base, op);
    default:
      fire(ErrId::INVALID_TYPE, datatype_cell(r.type()));
  }
  Cell cx = integer_cell(0), cy = integer_cell(0);
  integer_do_math_op(x, rx, op, &cx);
  integer_do_math_op(y, ry, op, &cy);
  if (cx.is(TYPE_INTEGER) && cy.is(TYPE_INTEGER)) {
    pair_make_at(&base[RESULT], cx.i2(), cy.i2());
    return Status::OK;
  }
  // Not exact in integers: the same operation on points.
  pair_make_at(&base[RESULT], x, y);
  pair_to_point2D(&base[RESULT]);
  base[VALUE2] = pair_cell(rx, ry);
  pair_to_point2D(&base[VALUE2]);
  return point2D_do_math(base, op);
}

namespace {

// --- actions -------------------------------------------------------------------------

// A float coordinate truncated toward zero; one that no 32-bit integer
// holds (NaN and infinities included) is refused with `culprit`.
int32_t truncated(double f, ErrId id, const Cell& culprit) {
  if (float_overflows_int(f)) fire(id, culprit);
  return int32_t(std::trunc(f));
}

Cell pair_from_block(const Cell& spec) {
  Buffer* b = spec.node() ? node_buffer(spec.node()) : nullptr;
  uint32_t len = b ? b->length() : 0;
  uint32_t index = spec.index() < 0 ? 0 : uint32_t(spec.index());
  if (index >= len || len - index < 2) fire(ErrId::MALCONSTRUCT, spec);
  int32_t v[2];
  for (int i = 0; i < 2; i++) {
    Cell c = node_buffer(spec.node())->cells()[index + uint32_t(i)];
    if (c.is(TYPE_INTEGER))
      v[i] = c.i2();
    else if (c.is(TYPE_FLOAT))
      v[i] = truncated(c.f64(), ErrId::MALCONSTRUCT, spec);
    else
      fire(ErrId::MALCONSTRUCT, spec);
  }
  return pair_cell(v[0], v[1]);
}

Status pair_to(Cell* base) {
  using enum act::make::Frame;
  Cell spec = base[SPEC];
  Cell r;
  switch (conversion_case(spec.type())) {
    case TYPE_INTEGER:
      r = pair_cell(spec.i2(), spec.i2());
      break;
    case TYPE_FLOAT: {
      int32_t v = truncated(spec.f64(), ErrId::INVALID_ARG, spec);
      r = pair_cell(v, v);
      break;
    }
    case TYPE_BLOCK:  // any-list
      r = pair_from_block(spec);
      break;
    case TYPE_STRING: {  // any-string
      Cell v;
      if (!lexer::load_one_value(spec, &v) || !v.is(TYPE_PAIR)) return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_PAIR), spec);
      r = v;
      break;
    }
    case TYPE_PAIR:
      r = spec;
      break;
    case TYPE_POINT2D:
      r = pair_cell(truncated(point_coord(spec, 0), ErrId::INVALID_ARG, spec),
                    truncated(point_coord(spec, 1), ErrId::INVALID_ARG, spec));
      break;
    default:
      return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_PAIR), spec);
  }
  base[RESULT] = pair_cell(pair_x(r), pair_y(r));
  return Status::OK;
}

may_gc int32_t pair_format(const Cell& v, NodeId out, int32_t part) {
  char text[32];
  int n = integer_form_signed(pair_x(v), text);
  text[n++] = 'x';
  n += integer_form_signed(pair_y(v), text + n);
  append_latin1(out, std::string_view(text, size_t(n)));
  return part - n;
}

int32_t pair_form(Cell v, NodeId out, const Cell*, int32_t part) { return pair_format(v, out, part); }
int32_t pair_mold(Cell v, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return pair_format(v, out, part);
}

int32_t pair_compare(const Cell* a, const Cell* b, int op) {
  if (b->is(TYPE_POINT2D)) {
    Cell p = *a;
    pair_to_point2D(&p);
    return point2D_compare(&p, b, op);
  }
  if (!b->is(TYPE_PAIR)) return CMP_INCOMPARABLE;
  int32_t ax = pair_x(*a), bx = pair_x(*b);
  if (ax != bx) return ax < bx ? -1 : 1;
  int32_t ay = pair_y(*a), by = pair_y(*b);
  return (ay > by) - (ay < by);
}

template <MathOp OP>
Status pair_math(Cell* base) {
  return pair_do_math(base, OP);
}

Status pair_absolute(Cell* base) {
  using enum act::absolute::Frame;
  pair_make_at(&base[RESULT], integer_abs(pair_x(base[VALUE])), integer_abs(pair_y(base[VALUE])));
  return Status::OK;
}

// The minimum has no negation in 32 bits: an overflow, as for absolute,
// rather than a wrapped coordinate.
Status pair_negate(Cell* base) {
  using enum act::negate::Frame;
  if (pair_x(base[NUMBER]) == INT32_MIN || pair_y(base[NUMBER]) == INT32_MIN) fire(ErrId::OVERFLOW);
  pair_make_at(&base[RESULT], -pair_x(base[NUMBER]), -pair_y(base[NUMBER]));
  return Status::OK;
}

Status pair_reverse(Cell* base) {
  using enum act::reverse::Frame;
  std::swap(base[SERIES].w2, base[SERIES].w3);
  return Status::OK;
}

// Each component through integer! round with the same refinements.
Status pair_round(Cell* base) {
  using enum act::round::Frame;
  const Cell scale = base[SCALE];
  bool has_scale = truthy(base[TO]);
  if (has_scale && scale.is(TYPE_MONEY))
    fire(ErrId::NOT_RELATED, runtime_word(SymId::ROUND), datatype_cell(TYPE_MONEY));
  int32_t v[2] = {pair_x(base[N]), pair_y(base[N])};
  for (int i = 0; i < 2; i++) {
    Cell frame[act::round::SHAPE.size];
    for (int k = 0; k < act::round::SHAPE.size; k++) frame[k] = base[k];
    frame[N] = integer_cell(v[i]);
    if (has_scale && scale.is(TYPE_PAIR)) frame[SCALE] = integer_cell(i == 0 ? pair_x(scale) : pair_y(scale));
    VEL_TRY(g_types[TYPE_INTEGER].actions[ACT_ROUND](frame));
    if (frame[RESULT].is(TYPE_INTEGER))
      v[i] = frame[RESULT].i2();
    else
      v[i] = truncated(number_as_float(frame[RESULT]), ErrId::OVERFLOW, frame[RESULT]);
  }
  pair_make_at(&base[RESULT], v[0], v[1]);
  return Status::OK;
}

Status pair_random(Cell* base) {
  using enum act::random::Frame;
  int32_t x = pair_x(base[VALUE]), y = pair_y(base[VALUE]);
  if (truthy(base[SEED])) {
    random::seed(x ^ y);
    base[RESULT] = unset_cell();
    return Status::OK;
  }
  bool secure = truthy(base[SECURE]);
  int32_t rx = x ? random::int_uniform(x, secure) : 0;
  int32_t ry = y ? random::int_uniform(y, secure) : 0;
  pair_make_at(&base[RESULT], rx, ry);
  return Status::OK;
}

Status pair_pick(Cell* base) {
  using enum act::pick::Frame;
  const Cell& index = base[INDEX];
  int axis = axis_of(index, 2);
  if (!axis) {
    if (index.is(TYPE_WORD)) fire(ErrId::CANNOT_USE, index, base[SERIES]);
    fire(ErrId::OUT_OF_RANGE, index);
  }
  base[RESULT] = integer_cell(axis == 1 ? pair_x(base[SERIES]) : pair_y(base[SERIES]));
  return Status::OK;
}

may_gc Cell pair_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  int axis = axis_of(selector, 2);
  if (!axis) fire(ErrId::INVALID_PATH, step.path ? *step.path : none_cell(), selector);
  if (!set_value) return integer_cell(axis == 1 ? pair_x(value) : pair_y(value));
  if (!set_value->is(TYPE_INTEGER)) fire(ErrId::INVALID_TYPE, datatype_cell(set_value->type()));
  RootedCell v(*set_value);
  Cell p = value;
  if (axis == 1)
    p.w2 = v->w2;
  else
    p.w3 = v->w2;
  store_scalar_back(p, step);
  return *v;
}

}  // namespace

void register_type_PAIR() {
  TypeBuilder(TYPE_PAIR)
      .action(ACT_MAKE, pair_to)
      .action(ACT_RANDOM, pair_random)
      .action(ACT_TO, pair_to)
      .form(pair_form)
      .mold(pair_mold)
      .eval_path(pair_eval_path)
      .compare(pair_compare)
      .action(ACT_ABSOLUTE, pair_absolute)
      .action(ACT_ADD, pair_math<MATH_ADD>)
      .action(ACT_DIVIDE, pair_math<MATH_DIVIDE>)
      .action(ACT_MULTIPLY, pair_math<MATH_MULTIPLY>)
      .action(ACT_NEGATE, pair_negate)
      .action(ACT_REMAINDER, pair_math<MATH_REMAINDER>)
      .action(ACT_ROUND, pair_round)
      .action(ACT_SUBTRACT, pair_math<MATH_SUBTRACT>)
      .action(ACT_AND_T, pair_math<MATH_AND>)
      .action(ACT_OR_T, pair_math<MATH_OR>)
      .action(ACT_XOR_T, pair_math<MATH_XOR>)
      .action(ACT_PICK, pair_pick)
      .action(ACT_REVERSE, pair_reverse)
      .done();
}

}  // namespace vel
