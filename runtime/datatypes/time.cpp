// time!: make and to, the h:mm:ss text, fields by path and pick, and the
// math that is not plain float math (date operands, time * time, ratios).
// random, compare, absolute, negate and remainder come from float!.
#include "datatypes/time.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "action_frames.h"
#include "datatypes/core_words.h"
#include "eval.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "families.h"
#include "floattext.h"
#include "roots.h"
#include "series_ops.h"

namespace vel {

int time_field_index(const Cell& e) {
  if (e.is(TYPE_INTEGER)) return e.i2() >= 1 && e.i2() <= 3 ? e.i2() : 0;
  if (!e.is(TYPE_WORD)) return 0;
  uint32_t s = symbol::resolve(e.w2);
  if (s == sym(SymId::HOUR)) return 1;
  if (s == sym(SymId::MINUTE)) return 2;
  if (s == sym(SymId::SECOND)) return 3;
  return 0;
}

Cell time_field(double t, int field) {
  switch (field) {
    case 1: return integer_cell(float_to_int_checked(time_hour(t)));
    case 2: return integer_cell(std::isfinite(t) ? int32_t(time_minute(t)) : 0);
    default: return float_cell(time_second(t));
  }
}

double time_set_field(double t, int field, const Cell& v) {
  bool number = v.is(TYPE_INTEGER) || (field == 3 && v.is(TYPE_FLOAT));
  if (!number) fire(ErrId::INVALID_ARG, v);
  double x = number_as_float(v);
  switch (field) {
    case 1: return t - (std::floor(t / 3600.0) - x) * 3600.0;
    case 2: return t - (std::floor(std::fmod(t, 3600.0) / 60.0) - x) * 60.0;
    default: return t - (std::fmod(t, 60.0) - x);
  }
}

may_gc int32_t time_format(double t, NodeId out, int32_t part) {
  char text[FLOAT_TEXT_MAX * 2 + 8];
  int n = 0;
  if (std::signbit(t) && t != 0.0) {
    text[n++] = '-';
    t = -t;
  }
  if (!std::isfinite(t)) {
    // No clock reading of its own: the float's text stands for it.
    n += form_float(t, 0, false, text + n);
  } else {
    double hours = std::floor(t / 3600.0);
    n += form_float(hours, 0, false, text + n);
    text[n++] = ':';
    int minutes = int(std::floor(std::fmod(t, 3600.0) / 60.0));
    text[n++] = char('0' + minutes / 10);
    text[n++] = char('0' + minutes % 10);
    text[n++] = ':';
    double s = std::fmod(t, 60.0);
    if (s < 0.000001) {
      text[n++] = '0';
      text[n++] = '0';
    } else {
      // The seconds of t - whole minutes carry the error of that
      // subtraction (9:50:02.05 leaves 2.0500000000029104): write the
      // fewest digits that, read back and added to the whole minutes,
      // give t again, as the clock text is read.
      double whole = t - s;
      char sec[FLOAT_TEXT_MAX];
      int k = 0;
      size_t rest = 0;
      for (int digits = 1; digits <= 17; digits++) {
        k = form_float(s, digits, false, sec);
        if (whole + string_to_float(sec, sec + k, 0, &rest) == t) break;
      }
      if (k == 1 || sec[1] == '.') text[n++] = '0';
      std::memcpy(text + n, sec, size_t(k));
      n += k;
    }
  }
  append_latin1(out, std::string_view(text, size_t(n)));
  return part - n;
}

namespace {

const Cell kNoneCell = none_cell();

}  // namespace

may_gc void store_scalar_back(const Cell& value, const PathStep& step) {
  if (step.step < 0 || !step.prev_elem) return;  // a write-back of a write-back: nowhere further
  if (step.step == 0) {
    Cell w = *step.prev_elem;
    if (is_any_word(w.type())) word::set_any(&w, value);
    return;
  }
  if (!step.parent) return;
  // The level above goes on storing back when it holds a scalar too (the
  // date of d/time/hour: 3); without one there is nowhere further.
  PathStep up = step.outer ? *step.outer : PathStep{step.path, &kNoneCell, &kNoneCell, -1, step.case_sensitive, false, true, false};
  up.get = false;
  up.last = true;
  up.owner = false;
  RootedCell parent(*step.parent), elem(*step.prev_elem), v(value);
  (void)eval_path_step(*parent, *elem, v.get(), up);
}

namespace {

// --- actions -------------------------------------------------------------------------
[[noreturn]] void bad_spec(const Cell& spec) { fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_TIME), spec); }

// [hours minutes seconds]: only the first may be negative, and then the
// whole sum is.
double time_from_block(const Cell& spec) {
  Buffer* b = spec.node() ? node_buffer(spec.node()) : nullptr;
  uint32_t len = b ? b->length() : 0;
  uint32_t index = spec.index() < 0 ? 0 : uint32_t(spec.index());
  uint32_t n = index < len ? len - index : 0;
  if (n > 3) bad_spec(spec);
  double parts[3] = {0, 0, 0};
  for (uint32_t i = 0; i < n; i++) {
    Cell c = b->cells()[index + i];
    bool ok = c.is(TYPE_INTEGER) || (i == 2 && c.is(TYPE_FLOAT));
    if (!ok) bad_spec(spec);
    parts[i] = number_as_float(c);
    if (i > 0 && parts[i] < 0) bad_spec(spec);
  }
  bool negative = parts[0] < 0;
  double t = std::fabs(parts[0]) * 3600.0 + parts[1] * 60.0 + parts[2];
  return negative ? -t : t;
}

Status time_to(Cell* base) {
  using enum act::make::Frame;
  Cell spec = base[SPEC];
  double t;
  switch (conversion_case(spec.type())) {
    case TYPE_TIME:
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_PERCENT:
      t = number_as_float(spec);
      break;
    case TYPE_BLOCK:  // any-list
      t = time_from_block(spec);
      break;
    case TYPE_STRING: {  // any-string
      Cell v;
      if (!lexer::load_one_value(spec, &v) || !v.is(TYPE_TIME)) return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_TIME), spec);
      t = v.f64();
      break;
    }
    default:
      return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_TIME), spec);
  }
  base[RESULT] = time_cell(t);
  return Status::OK;
}

int32_t time_form(Cell v, NodeId out, const Cell*, int32_t part) { return time_format(v.f64(), out, part); }

int32_t time_mold(Cell v, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return time_format(v.f64(), out, part);
}

Status time_add(Cell* base) {
  using enum act::add::Frame;
  if (base[VALUE2].is(TYPE_DATE)) {
    std::swap(base[VALUE1], base[VALUE2]);
    return g_types[TYPE_DATE].actions[ACT_ADD](base);
  }
  return float_do_math(base, MATH_ADD);
}

Status time_subtract(Cell* base) {
  using enum act::subtract::Frame;
  if (base[VALUE2].is(TYPE_DATE)) fire(ErrId::NOT_RELATED, runtime_word(SymId::SUBTRACT), datatype_cell(TYPE_TIME));
  return float_do_math(base, MATH_SUBTRACT);
}

Status time_multiply(Cell* base) {
  using enum act::multiply::Frame;
  if (base[VALUE2].is(TYPE_TIME)) fire(ErrId::NOT_RELATED, runtime_word(SymId::MULTIPLY), datatype_cell(TYPE_TIME));
  return float_do_math(base, MATH_MULTIPLY);
}

// A time divided by a time is their ratio.
Status time_divide(Cell* base) {
  using enum act::divide::Frame;
  bool ratio = base[VALUE2].is(TYPE_TIME);
  VEL_TRY(float_do_math(base, MATH_DIVIDE));
  if (ratio && base[VALUE1].is(TYPE_TIME)) base[VALUE1].set_type(TYPE_FLOAT);
  return Status::OK;
}

Status time_round(Cell* base) {
  using enum act::round::Frame;
  VEL_TRY(float_round_action(base));
  double t = base[N].is(TYPE_INTEGER) ? double(base[N].i2()) : base[N].f64();
  base[RESULT] = time_cell(t);
  return Status::OK;
}

// Parity of the whole seconds, nudged so that 2.9999999 counts as 3.
int64_t whole_seconds(double t) {
  double s = t >= 0 ? t + 0.000001 : t - 0.000001;
  return int64_t(std::trunc(std::fmod(s, 60.0)));
}

Status time_even_q(Cell* base) {
  using enum act::even_q::Frame;
  double t = base[NUMBER].f64();
  base[RESULT] = logic_cell(std::isfinite(t) && whole_seconds(t) % 2 == 0);
  return Status::OK;
}

Status time_odd_q(Cell* base) {
  using enum act::odd_q::Frame;
  double t = base[NUMBER].f64();
  base[RESULT] = logic_cell(std::isfinite(t) && whole_seconds(t) % 2 != 0);
  return Status::OK;
}

Status time_pick(Cell* base) {
  using enum act::pick::Frame;
  const Cell& index = base[INDEX];
  int f = time_field_index(index);
  if (!f) fire(index.is(TYPE_WORD) ? ErrId::CANNOT_USE : ErrId::OUT_OF_RANGE, index, base[SERIES]);
  base[RESULT] = time_field(base[SERIES].f64(), f);
  return Status::OK;
}

may_gc Cell time_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  int f = time_field_index(selector);
  if (!f) fire(ErrId::INVALID_PATH, step.path ? *step.path : none_cell(), selector);
  if (!set_value) return time_field(value.f64(), f);
  RootedCell v(*set_value);
  store_scalar_back(time_cell(time_set_field(value.f64(), f, *v)), step);
  return *v;
}

}  // namespace

void register_type_TIME() {
  TypeBuilder(TYPE_TIME)
      .action(ACT_MAKE, time_to)
      .action(ACT_TO, time_to)
      .form(time_form)
      .mold(time_mold)
      .eval_path(time_eval_path)
      .action(ACT_ADD, time_add)
      .action(ACT_DIVIDE, time_divide)
      .action(ACT_MULTIPLY, time_multiply)
      .action(ACT_ROUND, time_round)
      .action(ACT_SUBTRACT, time_subtract)
      .action(ACT_EVEN_Q, time_even_q)
      .action(ACT_ODD_Q, time_odd_q)
      .action(ACT_PICK, time_pick)
      .inherit(ACT_RANDOM)
      .inherit(ACT_COMPARE)
      .inherit(ACT_ABSOLUTE)
      .inherit(ACT_NEGATE)
      .inherit(ACT_REMAINDER)
      .done();
}

}  // namespace vel
