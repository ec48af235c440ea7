// tuple!: make and to, the dotted text, byte-wise saturating arithmetic,
// comparison with missing bytes as 0, bytes by path and pick, reverse.
#include "datatypes/tuple.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "action_frames.h"
#include "eval.h"
#include "datatypes/float.h"
#include "datatypes/logic.h"
#include "datatypes/series_actions.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/core_words.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "random.h"
#include "roots.h"
#include "series_ops.h"

namespace vel {

Cell tuple_from_bytes(int count, const uint8_t* bytes) {
  Cell c = tuple_cell(count, 0, 0, 0);
  for (int i = 0; i < count; i++) tuple_set_byte(&c, i, bytes[i]);
  return c;
}

bool tuple_all_zero_q(const Cell& t) { return (t.w1 | t.w2 | t.w3) == 0; }

namespace {

uint8_t saturate(int64_t v) { return uint8_t(std::clamp<int64_t>(v, 0, 255)); }

// The word naming subtract or divide, for not-related.
Cell math_word(MathOp op) {
  return runtime_word(op == MATH_SUBTRACT ? SymId::SUBTRACT : SymId::DIVIDE);
}

}  // namespace

Status tuple_do_math(Cell* base, MathOp op) {
  using enum act::add::Frame;
  if (!base[VALUE1].is(TYPE_TUPLE)) {
    if (op == MATH_SUBTRACT || op == MATH_DIVIDE)
      fire(ErrId::NOT_RELATED, math_word(op), datatype_cell(base[VALUE1].type()));
    std::swap(base[VALUE1], base[VALUE2]);
  }
  const Cell l = base[VALUE1], r = base[VALUE2];
  int count = tuple_count(l);
  uint8_t out[TUPLE_MAX] = {};
  switch (r.type()) {
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      double f = r.f64();
      for (int i = 0; i < count; i++) {
        double v = std::trunc(float_do_math_op(double(tuple_byte(l, i)), f, op));
        // No byte stands for a NaN (0 * inf, inf - inf): refused, not guessed.
        if (std::isnan(v)) fire(ErrId::INVALID_ARG, r);
        out[i] = v <= 0.0 ? 0 : v >= 255.0 ? 255 : uint8_t(v);
      }
      break;
    }
    case TYPE_INTEGER:
    case TYPE_TUPLE: {
      bool tuple = r.is(TYPE_TUPLE);
      if (tuple) count = std::max(count, tuple_count(r));
      for (int i = 0; i < count; i++) {
        int32_t a = i < tuple_count(l) ? tuple_byte(l, i) : 0;
        int32_t b = !tuple ? r.i2() : i < tuple_count(r) ? tuple_byte(r, i) : 0;
        if (op == MATH_DIVIDE) {
          out[i] = saturate(integer_do_math_op(a, b, op, nullptr));  // truncated quotient
          continue;
        }
        Cell v = integer_cell(0);
        integer_do_math_op(a, b, op, &v);
        out[i] = v.is(TYPE_INTEGER) ? saturate(v.i2()) : v.f64() > 0.0 ? 255 : 0;
      }
      break;
    }
    default:
      fire(ErrId::INVALID_TYPE, datatype_cell(r.type()));
  }
  Cell t = tuple_from_bytes(count, out);
  t.header |= base[VALUE1].header & CELL_NEW_LINE;
  base[RESULT] = t;
  return Status::OK;
}

bool tuple_max_min(Cell* t, const Cell& b, bool max) {
  int count = tuple_count(*t);
  uint8_t o[TUPLE_MAX];
  if (b.is(TYPE_INTEGER) || b.is(TYPE_FLOAT)) {
    int64_t n;
    if (b.is(TYPE_INTEGER)) {
      n = b.i2();
    } else {
      if (float_overflows_int(b.f64())) fire(ErrId::TYPE_LIMIT, datatype_cell(TYPE_INTEGER));
      n = int64_t(std::trunc(b.f64()));
    }
    std::fill(o, o + count, saturate(n));
  } else if (b.is(TYPE_TUPLE) && tuple_count(b) == count) {
    for (int i = 0; i < count; i++) o[i] = tuple_byte(b, i);
  } else {
    return false;
  }
  for (int i = 0; i < count; i++) {
    uint8_t c = tuple_byte(*t, i);
    if (max ? o[i] > c : o[i] < c) tuple_set_byte(t, i, o[i]);
  }
  return true;
}

namespace {

// --- actions -------------------------------------------------------------------------
[[noreturn]] void bad_spec(const Cell& spec) { fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_TUPLE), spec); }

Cell tuple_from_block(const Cell& spec) {
  Buffer* b = spec.node() ? node_buffer(spec.node()) : nullptr;
  uint32_t len = b ? b->length() : 0;
  uint32_t index = spec.index() < 0 ? 0 : uint32_t(spec.index());
  uint32_t n = index < len ? len - index : 0;
  if (n > uint32_t(TUPLE_MAX)) bad_spec(spec);
  uint8_t bytes[TUPLE_MAX] = {};
  for (uint32_t i = 0; i < n; i++) {
    Cell c = node_buffer(spec.node())->cells()[index + i];
    double v;
    if (c.is(TYPE_INTEGER) || c.is(TYPE_CHAR)) v = c.is(TYPE_CHAR) ? double(c.w2) : double(c.i2());
    else if (c.is(TYPE_FLOAT)) v = std::trunc(c.f64());
    else bad_spec(spec);
    if (!(v >= 0.0 && v <= 255.0)) bad_spec(spec);  // NaN too
    bytes[i] = uint8_t(v);
  }
  return tuple_from_bytes(int(n), bytes);
}

// #RGB, #RRGGBB or #RRGGBBAA as a colour.
Cell tuple_from_issue(const Cell& issue) {
  std::string_view s = symbol::text(issue.w2);
  auto hex = [](unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // every byte of a character beyond ASCII lands here
  };
  size_t n = s.size();
  if (n != 3 && n != 6 && n != 8) fire(ErrId::INVALID_DATA, issue);
  int d[8];
  for (size_t i = 0; i < n; i++)
    if ((d[i] = hex(static_cast<unsigned char>(s[i]))) < 0) fire(ErrId::INVALID_DATA, issue);
  uint8_t bytes[4] = {};
  if (n == 3) {
    for (int i = 0; i < 3; i++) bytes[i] = uint8_t(d[i] * 17);
    return tuple_from_bytes(3, bytes);
  }
  for (size_t i = 0; i < n / 2; i++) bytes[i] = uint8_t(d[2 * i] * 16 + d[2 * i + 1]);
  return tuple_from_bytes(int(n / 2), bytes);
}

Status tuple_to(Cell* base) {
  using enum act::make::Frame;
  const Cell spec = base[SPEC];
  Cell r;
  switch (conversion_case(spec.type())) {
    case TYPE_BLOCK:  // any-list
      r = tuple_from_block(spec);
      break;
    case TYPE_STRING: {  // any-string
      Cell v;
      if (!lexer::load_one_value(spec, &v) || !v.is(TYPE_TUPLE)) return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_TUPLE), spec);
      r = v;
      r.clear_new_line();
      break;
    }
    case TYPE_ISSUE:
      r = tuple_from_issue(spec);
      break;
    case TYPE_BINARY: {
      uint8_t bytes[TUPLE_MAX] = {};
      size_t n = binary_bytes_at(spec, bytes, TUPLE_MAX);
      r = tuple_from_bytes(int(n), bytes);
      break;
    }
    case TYPE_TUPLE:
      r = spec;
      break;
    default:
      return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_TUPLE), spec);
  }
  base[RESULT] = r;
  return Status::OK;
}

may_gc int32_t tuple_format(const Cell& v, NodeId out, int32_t part) {
  char text[TUPLE_MAX * 4];
  int n = 0;
  for (int i = 0; i < tuple_count(v); i++) {
    if (i) text[n++] = '.';
    n += integer_form_signed(tuple_byte(v, i), text + n);
  }
  append_latin1(out, std::string_view(text, size_t(n)));
  return part - n;
}

int32_t tuple_form(Cell v, NodeId out, const Cell*, int32_t part) { return tuple_format(v, out, part); }
int32_t tuple_mold(Cell v, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return tuple_format(v, out, part);
}

// Over the longer count, a missing byte counting as 0: 1.2.3 = 1.2.3.0.
int32_t tuple_compare(const Cell* a, const Cell* b, int) {
  if (!b->is(TYPE_TUPLE)) return CMP_INCOMPARABLE;
  int n = std::max(tuple_count(*a), tuple_count(*b));
  for (int i = 0; i < n; i++) {
    uint8_t x = tuple_byte(*a, i), y = tuple_byte(*b, i);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

template <MathOp OP>
Status tuple_math(Cell* base) {
  return tuple_do_math(base, OP);
}

Status tuple_complement(Cell* base) {
  using enum act::complement::Frame;
  Cell& t = base[VALUE];
  for (int i = 0; i < tuple_count(t); i++) tuple_set_byte(&t, i, uint8_t(~tuple_byte(t, i)));
  return Status::OK;
}

Status tuple_length_q(Cell* base) {
  using enum act::length_q::Frame;
  base[RESULT] = integer_cell(tuple_count(base[SERIES]));
  return Status::OK;
}

Status tuple_random(Cell* base) {
  using enum act::random::Frame;
  Cell& t = base[VALUE];
  if (truthy(base[SEED])) {
    random::seed(int32_t(t.w1 ^ t.w2 ^ t.w3));
    base[RESULT] = unset_cell();
    return Status::OK;
  }
  bool secure = truthy(base[SECURE]);
  for (int i = 0; i < tuple_count(t); i++)
    tuple_set_byte(&t, i, uint8_t(random::int_uniform(tuple_byte(t, i) + 1, secure) - 1));
  return Status::OK;
}

// The byte an index selects (1-based), or raises out-of-range.
int byte_index(const Cell& t, const Cell& index) {
  if (!index.is(TYPE_INTEGER) || index.i2() < 1 || index.i2() > tuple_count(t)) fire(ErrId::OUT_OF_RANGE, index);
  return index.i2() - 1;
}

Status tuple_pick(Cell* base) {
  using enum act::pick::Frame;
  base[RESULT] = integer_cell(tuple_byte(base[SERIES], byte_index(base[SERIES], base[INDEX])));
  return Status::OK;
}

may_gc Cell tuple_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  if (!selector.is(TYPE_INTEGER)) fire(ErrId::INVALID_TYPE, datatype_cell(selector.type()));
  if (!set_value) return integer_cell(tuple_byte(value, byte_index(value, selector)));
  if (!set_value->is(TYPE_INTEGER) && !set_value->is(TYPE_NONE))
    fire(ErrId::INVALID_TYPE, datatype_cell(set_value->type()));
  RootedCell v(*set_value);
  Cell t = value;
  int i = byte_index(t, selector);
  if (v->is(TYPE_INTEGER)) {
    tuple_set_byte(&t, i, saturate(v->i2()));
  } else {
    // none cuts the tuple at the index, never below 3 bytes.
    for (int k = i; k < TUPLE_MAX; k++) tuple_set_byte(&t, k, 0);
    int count = std::max(i, TUPLE_MIN);
    t.header = (t.header & ~TUPLE_COUNT_MASK) | uint32_t(count) << TUPLE_COUNT_SHIFT;
  }
  store_scalar_back(t, step);
  return *v;
}

Status tuple_reverse(Cell* base) {
  using enum act::reverse::Frame;
  Cell& t = base[SERIES];
  int count = tuple_count(t);
  int64_t len = count;
  if (used(base[PART])) {
    const Cell& part = base[LENGTH];
    if (!part.is(TYPE_INTEGER)) fire_refine_arg("part", part);
    if (part.i2() < 0) fire(ErrId::OUT_OF_RANGE, part);
    len = part.i2();
  }
  int64_t skip = 1;
  if (used(base[SKIP])) {
    const Cell& size = base[SIZE];
    if (!size.is(TYPE_INTEGER)) fire_refine_arg("skip", size);
    if (size.i2() < 1) fire(ErrId::OUT_OF_RANGE, size);
    skip = size.i2();
    if (skip == len) return Status::OK;
    if (len < skip || len % skip != 0) fire_refine_arg("skip", size);
  }
  len = std::min<int64_t>(len, count);
  uint8_t b[TUPLE_MAX];
  for (int i = 0; i < count; i++) b[i] = tuple_byte(t, i);
  // Groups of skip bytes change places from both ends; each keeps its order.
  int64_t groups = len / skip;
  for (int64_t g = 0; g < groups / 2; g++)
    std::swap_ranges(b + g * skip, b + (g + 1) * skip, b + (groups - 1 - g) * skip);
  for (int i = 0; i < count; i++) tuple_set_byte(&t, i, b[i]);
  return Status::OK;
}

}  // namespace

void register_type_TUPLE() {
  TypeBuilder(TYPE_TUPLE)
      .action(ACT_MAKE, tuple_to)
      .action(ACT_RANDOM, tuple_random)
      .action(ACT_TO, tuple_to)
      .form(tuple_form)
      .mold(tuple_mold)
      .eval_path(tuple_eval_path)
      .compare(tuple_compare)
      .action(ACT_ADD, tuple_math<MATH_ADD>)
      .action(ACT_DIVIDE, tuple_math<MATH_DIVIDE>)
      .action(ACT_MULTIPLY, tuple_math<MATH_MULTIPLY>)
      .action(ACT_REMAINDER, tuple_math<MATH_REMAINDER>)
      .action(ACT_SUBTRACT, tuple_math<MATH_SUBTRACT>)
      .action(ACT_AND_T, tuple_math<MATH_AND>)
      .action(ACT_COMPLEMENT, tuple_complement)
      .action(ACT_OR_T, tuple_math<MATH_OR>)
      .action(ACT_XOR_T, tuple_math<MATH_XOR>)
      .action(ACT_LENGTH_Q, tuple_length_q)
      .action(ACT_PICK, tuple_pick)
      .action(ACT_REVERSE, tuple_reverse)
      .done();
}

}  // namespace vel
