// vector!: make, the make-vector text, element-wise math with scalars and
// vectors, comparison, and the series actions that need the element type
// (append, insert, change, find, select, sort, take, paths). The position
// actions come from series! and reach elements through set_element_access.
#include "datatypes/vector.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string_view>
#include <vector>

#include "action_frames.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/logic.h"
#include "datatypes/percent.h"
#include "datatypes/series_actions.h"
#include "datatypes/sort_function.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "ownership.h"
#include "roots.h"
#include "series_ops.h"
#include "sort.h"

namespace vel {

namespace {

inline uint32_t default_size(TypeId t) { return vector_float_elems(t) ? 8 : 4; }
inline bool elem_type_q(TypeId t) { return t == TYPE_CHAR || t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

inline int32_t read_int(const uint8_t* p, uint32_t size) {
  switch (size) {
    case 1: return *p;
    case 2: {
      uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    default: {
      int32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
  }
}

inline void write_int(uint8_t* p, uint32_t size, int32_t v) {
  switch (size) {
    case 1: *p = uint8_t(v); break;
    case 2: {
      uint16_t x = uint16_t(v);
      std::memcpy(p, &x, 2);
      break;
    }
    default: std::memcpy(p, &v, 4);
  }
}

inline double read_float(const uint8_t* p, uint32_t size) {
  if (size == 8) {
    double d;
    std::memcpy(&d, p, 8);
    return d;
  }
  float f;
  std::memcpy(&f, p, 4);
  return f;
}

inline void write_float(uint8_t* p, uint32_t size, double d) {
  if (size == 8) {
    std::memcpy(p, &d, 8);
  } else {
    float f = static_cast<float>(d);
    std::memcpy(p, &f, 4);
  }
}

inline int64_t clamp_index(const Cell& v, uint32_t total) {
  return v.index() < 0 ? 0 : std::min<int64_t>(v.index(), total);
}

// A value that may become an element of a vector of type et.
void check_elem(TypeId et, const Cell& value) {
  if (!elem_type_q(value.type())) fire(ErrId::INVALID_TYPE, datatype_cell(value.type()));
  if (value.type() != et) fire(ErrId::INVALID_ARG, value);
}

Cell access_get(const Cell& s, uint32_t i) {
  Buffer* b = node_buffer(s.node());
  return vector_get_value(b->head_ptr() + size_t(i) * b->unit(), b->unit(), vector_elem_type(s));
}

void access_put(const Cell& s, uint32_t i, const Cell& value) {
  check_elem(vector_elem_type(s), value);
  Buffer* b = node_buffer(s.node());
  vector_set_value(b->head_ptr() + size_t(i) * b->unit(), value, b->unit());
}

}  // namespace

// --- the module's operations -------------------------------------------------------

may_gc Cell* vector_make_at(Cell* c, uint32_t capacity, TypeId elem_type, uint32_t elem_size) {
  if (uint64_t(capacity) * elem_size > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
  NodeId n = alloc_series(capacity ? capacity : 1, elem_size);
  *c = series_cell(TYPE_VECTOR, n, 0);
  c->w3 = elem_type;
  return c;
}

int32_t vector_rs_length(const Cell& v) { return series_length_of(v); }

void vector_rs_clear(const Cell& v) {
  Buffer* b = node_buffer(v.node());
  b->tail = b->head + uint32_t(clamp_index(v, b->length()) * b->unit());
}

may_gc void vector_rs_append_int(const Cell& v, int32_t value) {
  NodeId n = v.node();
  Buffer* b = node_buffer(n);
  if (b->room() < 4) {
    if (uint64_t(b->used()) + 4 > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
    b = expand_series(n, std::min<uint64_t>((uint64_t(b->used()) + 4) * 2, MAX_CAPACITY));
  }
  std::memcpy(b->tail_ptr(), &value, 4);
  b->tail += 4;
}

Cell vector_get_value(const uint8_t* p, uint32_t elem_size, TypeId elem_type) {
  switch (elem_type) {
    case TYPE_CHAR: return char_cell(uint32_t(read_int(p, elem_size)));
    case TYPE_FLOAT: return float_cell(read_float(p, elem_size));
    case TYPE_PERCENT: return percent_cell(read_float(p, elem_size));
    default: return integer_cell(read_int(p, elem_size));
  }
}

void vector_set_value(uint8_t* p, const Cell& value, uint32_t elem_size) {
  switch (value.type()) {
    case TYPE_CHAR:
    case TYPE_INTEGER: write_int(p, elem_size, value.i2()); break;
    case TYPE_FLOAT:
    case TYPE_PERCENT: write_float(p, elem_size, value.f64()); break;
    default: fire(ErrId::INVALID_TYPE, datatype_cell(value.type()));
  }
}

may_gc Cell vector_to_block(const Cell& v_in) {
  RootedCell v(v_in);
  int32_t n = series_length_of(*v);
  RootedCell block(series_cell(TYPE_BLOCK, alloc_cells(uint64_t(n) + 1)));
  Buffer* vb = node_buffer(v->node());
  uint32_t size = vb->unit();
  int64_t start = clamp_index(*v, vb->length());
  Buffer* bb = node_buffer(block->node());
  for (int32_t i = 0; i < n; i++)
    bb->cells()[i] = vector_get_value(vb->head_ptr() + size_t(start + i) * size, size, vector_elem_type(*v));
  bb->tail = bb->head + uint32_t(n) * uint32_t(sizeof(Cell));
  return *block;
}

// --- element-wise math ---------------------------------------------------------------

namespace {

// Integer elements: 32-bit two's complement arithmetic that wraps instead
// of becoming a float; the store truncates to the width.
inline int32_t int_op(MathOp op, int32_t a, int32_t b) {
  switch (op) {
    case MATH_ADD: return int32_t(uint32_t(a) + uint32_t(b));
    case MATH_SUBTRACT: return int32_t(uint32_t(a) - uint32_t(b));
    case MATH_MULTIPLY: return int32_t(uint32_t(a) * uint32_t(b));
    case MATH_DIVIDE:
      if (b == 0) fire(ErrId::ZERO_DIVIDE);
      return b == -1 ? int32_t(0u - uint32_t(a)) : a / b;
    case MATH_REMAINDER:
      if (b == 0) fire(ErrId::ZERO_DIVIDE);
      return b == -1 ? 0 : a % b;
    case MATH_OR: return a | b;
    case MATH_AND: return a & b;
    default: return a ^ b;
  }
}

template <class S, class F>
void map_elems(uint8_t* p, size_t n, F f) {
  for (size_t i = 0; i < n; i++) {
    S x;
    std::memcpy(&x, p + i * sizeof(S), sizeof(S));
    x = f(x);
    std::memcpy(p + i * sizeof(S), &x, sizeof(S));
  }
}

template <class S>
void int_scalar(uint8_t* p, size_t n, MathOp op, int32_t s, bool left) {
  // The common operators get loops of their own so that they vectorize.
  if (!left && op == MATH_ADD) return map_elems<S>(p, n, [s](S x) { return S(uint32_t(int32_t(x)) + uint32_t(s)); });
  if (!left && op == MATH_MULTIPLY)
    return map_elems<S>(p, n, [s](S x) { return S(uint32_t(int32_t(x)) * uint32_t(s)); });
  if (left) return map_elems<S>(p, n, [op, s](S x) { return S(int_op(op, s, int32_t(x))); });
  map_elems<S>(p, n, [op, s](S x) { return S(int_op(op, int32_t(x), s)); });
}

template <class S>
void float_scalar(uint8_t* p, size_t n, MathOp op, double s, bool left) {
  switch (left ? MATH_REMAINDER : op) {
    case MATH_ADD: return map_elems<S>(p, n, [s](S x) { return S(double(x) + s); });
    case MATH_SUBTRACT: return map_elems<S>(p, n, [s](S x) { return S(double(x) - s); });
    case MATH_MULTIPLY: return map_elems<S>(p, n, [s](S x) { return S(double(x) * s); });
    case MATH_DIVIDE: return map_elems<S>(p, n, [s](S x) { return S(double(x) / s); });
    default: break;
  }
  if (left) return map_elems<S>(p, n, [op, s](S x) { return S(float_do_math_op(s, double(x), op)); });
  map_elems<S>(p, n, [op, s](S x) { return S(float_do_math_op(double(x), s, op)); });
}

// An identity the operation leaves alone: + 0, - 0, * 1, / 1 (and 0 + v,
// 1 * v with the scalar on the left).
bool identity(MathOp op, double s, bool left) {
  if (op == MATH_ADD) return s == 0.0;
  if (op == MATH_MULTIPLY) return s == 1.0;
  if (left) return false;
  return (op == MATH_SUBTRACT && s == 0.0) || (op == MATH_DIVIDE && s == 1.0);
}

Status vector_vector_math(Cell* base, MathOp op) {
  using enum act::add::Frame;
  const Cell l = base[VALUE1], r = base[VALUE2];
  TypeId et = vector_elem_type(l);
  if (vector_elem_type(r) != et) fire(ErrId::NOT_SAME_TYPE);
  bool floats = vector_float_elems(et);
  if (floats && op > MATH_REMAINDER) fire(ErrId::CANNOT_USE, datatype_cell(TYPE_FLOAT));
  uint32_t lsize = node_buffer(l.node())->unit(), rsize = node_buffer(r.node())->unit();
  uint32_t size = std::max(lsize, rsize);
  int32_t n = std::min(series_length_of(l), series_length_of(r));
  Cell result;
  vector_make_at(&result, uint32_t(n), et, size);
  Buffer* lb = node_buffer(l.node());
  Buffer* rb = node_buffer(r.node());
  Buffer* ob = node_buffer(result.node());
  const uint8_t* lp = lb->head_ptr() + size_t(clamp_index(l, lb->length())) * lsize;
  const uint8_t* rp = rb->head_ptr() + size_t(clamp_index(r, rb->length())) * rsize;
  uint8_t* op_out = ob->head_ptr();
  for (int32_t i = 0; i < n; i++) {
    if (floats)
      write_float(op_out + size_t(i) * size, size,
                  float_do_math_op(read_float(lp + size_t(i) * lsize, lsize), read_float(rp + size_t(i) * rsize, rsize), op));
    else
      write_int(op_out + size_t(i) * size, size,
                int_op(op, read_int(lp + size_t(i) * lsize, lsize), read_int(rp + size_t(i) * rsize, rsize)));
    ob->tail += size;
  }
  result.header |= l.header & CELL_NEW_LINE;
  base[RESULT] = result;
  return Status::OK;
}

}  // namespace

Status vector_do_math_op(Cell* base, MathOp op, bool left) {
  using enum act::add::Frame;
  const Cell v = base[VALUE1], s = base[VALUE2];
  if (!s.is(TYPE_INTEGER) && !s.is(TYPE_FLOAT) && !s.is(TYPE_PERCENT)) fire(ErrId::NOT_DONE);
  TypeId et = vector_elem_type(v);
  Buffer* b = node_buffer(v.node());
  uint32_t size = b->unit();
  int64_t start = clamp_index(v, b->length());
  size_t n = size_t(b->length() - start);
  uint8_t* p = b->head_ptr() + size_t(start) * size;
  if (vector_float_elems(et)) {
    if (op > MATH_REMAINDER) fire(ErrId::CANNOT_USE, datatype_cell(TYPE_FLOAT));
    double d = number_as_float(s);
    if (identity(op, d, left)) return Status::OK;
    if (size == 8) float_scalar<double>(p, n, op, d, left);
    else float_scalar<float>(p, n, op, d, left);
    return Status::OK;
  }
  int32_t k;
  if (s.is(TYPE_INTEGER)) {
    k = s.i2();
  } else {
    // Truncated toward zero; no 32-bit integer stands for NaN or infinities.
    if (float_overflows_int(s.f64())) fire(ErrId::OUT_OF_RANGE, s);
    k = int32_t(std::trunc(s.f64()));
  }
  if (identity(op, double(k), left)) return Status::OK;
  switch (size) {
    case 1: int_scalar<uint8_t>(p, n, op, k, left); break;
    case 2: int_scalar<uint16_t>(p, n, op, k, left); break;
    default: int_scalar<int32_t>(p, n, op, k, left); break;
  }
  return Status::OK;
}

namespace {

// --- actions -------------------------------------------------------------------------
template <MathOp OP>
Status vector_math(Cell* base) {
  using enum act::add::Frame;
  if (base[VALUE2].is(TYPE_VECTOR)) return vector_vector_math(base, OP);
  return vector_do_math_op(base, OP, false);
}

[[noreturn]] void bad_make(const Cell& spec) { fire(ErrId::BAD_MAKE_ARG, datatype_cell(TYPE_VECTOR), spec); }

// Whether value fits an element of type et and size bytes exactly: what a
// make spec holds is never stored wrapped.
bool fits(TypeId et, uint32_t size, const Cell& v) {
  if (vector_float_elems(et)) {
    double d = v.f64();
    return size == 8 || !std::isfinite(d) || std::fabs(d) <= double(std::numeric_limits<float>::max());
  }
  if (size == 4) return true;
  uint32_t max = size == 1 ? 0xFFu : 0xFFFFu;
  return v.is(TYPE_CHAR) ? v.w2 <= max : v.i2() >= 0 && uint32_t(v.i2()) <= max;
}

// The element count of a make spec: an integer, or a float within range.
uint32_t count_of(const Cell& c) {
  int32_t n;
  if (c.is(TYPE_FLOAT)) {
    if (float_overflows_int(c.f64())) fire(ErrId::OUT_OF_RANGE, c);
    n = int32_t(std::trunc(c.f64()));
  } else {
    n = c.i2();
  }
  if (n < 0) fire(ErrId::OUT_OF_RANGE, c);
  return uint32_t(n);
}

TypeId type_word(const Cell& w) {
  std::string_view s = symbol::text(w.w2);
  auto is = [&](std::string_view name) {
    if (s.size() != name.size()) return false;
    for (size_t i = 0; i < s.size(); i++)
      if ((s[i] >= 'A' && s[i] <= 'Z' ? s[i] + 32 : s[i]) != name[i]) return false;
    return true;
  };
  if (is("integer!")) return TYPE_INTEGER;
  if (is("char!")) return TYPE_CHAR;
  if (is("float!")) return TYPE_FLOAT;
  if (is("percent!")) return TYPE_PERCENT;
  return TYPE_NONE_ID;
}

Status vector_make(Cell* base) {
  using enum act::make::Frame;
  RootedCell spec(base[SPEC]);
  TypeId et = TYPE_INTEGER;
  uint32_t size = 4, count = 0;
  RootedCell values(none_cell());
  switch (spec->type()) {
    case TYPE_INTEGER:
    case TYPE_FLOAT:
      count = count_of(*spec);
      break;
    case TYPE_BLOCK: {
      Buffer* b = node_buffer(spec->node());
      uint32_t len = b->length(), at = uint32_t(clamp_index(*spec, len));
      const Cell* c = b->cells() + at;
      uint32_t n = len - at;
      if (n == 0) break;
      if (!c[0].is(TYPE_WORD)) {
        et = c[0].type();
        if (!elem_type_q(et)) fire(ErrId::INVALID_TYPE, datatype_cell(et));
        size = default_size(et);
        *values = *spec;
        break;
      }
      if (n < 2) bad_make(*spec);
      et = type_word(c[0]);
      if (et == TYPE_NONE_ID) bad_make(*spec);
      uint32_t i = 1;
      if (c[1].is(TYPE_INTEGER)) {
        int32_t bits = c[1].i2();
        bool ok = et == TYPE_PERCENT || (vector_float_elems(et) ? bits == 32 || bits == 64
                                                                 : bits == 8 || bits == 16 || bits == 32);
        if (!ok) bad_make(*spec);
        size = et == TYPE_PERCENT ? 8 : uint32_t(bits / 8);
        i = 2;
      } else if (et == TYPE_PERCENT) {
        size = 8;
      } else {
        fire(ErrId::INVALID_SPEC_FIELD, *spec);
      }
      if (i < n && c[i].is(TYPE_INTEGER)) count = count_of(c[i++]);
      if (i < n && c[i].is(TYPE_BLOCK)) *values = c[i++];
      if (i < n) fire(ErrId::INVALID_SPEC_FIELD, *spec);
      break;
    }
    default:
      fire(ErrId::NOT_DONE);
  }
  // Every value is checked before anything is built.
  uint32_t nv = 0;
  if (values->is(TYPE_BLOCK)) {
    Buffer* vb = node_buffer(values->node());
    uint32_t at = uint32_t(clamp_index(*values, vb->length()));
    nv = vb->length() - at;
    for (uint32_t i = 0; i < nv; i++) {
      const Cell& v = node_buffer(values->node())->cells()[at + i];
      if (v.type() != et) fire(ErrId::INVALID_ARG, v);
      if (!fits(et, size, v)) fire(ErrId::OUT_OF_RANGE, v);
    }
  }
  uint32_t capacity = std::max(count, nv);
  Cell v;
  vector_make_at(&v, capacity, et, size);
  Buffer* b = node_buffer(v.node());
  std::memset(b->head_ptr(), 0, size_t(capacity) * size);
  if (nv) {
    Buffer* vb = node_buffer(values->node());
    const Cell* c = vb->cells() + clamp_index(*values, vb->length());
    for (uint32_t i = 0; i < nv; i++) vector_set_value(b->head_ptr() + size_t(i) * size, c[i], size);
  }
  b->tail = b->head + capacity * size;
  base[RESULT] = v;
  return Status::OK;
}

// --- text ------------------------------------------------------------------------------

may_gc int32_t vector_text(const Cell& v_in, NodeId out, bool mold, uint32_t flags, int32_t part) {
  RootedCell v(v_in);
  Buffer* b = node_buffer(v->node());
  TypeId et = vector_elem_type(*v);
  uint32_t size = b->unit(), total = b->length();
  bool only = mold && (flags & MOLD_ONLY);
  bool frame = mold && !only;
  bool long_form = total == 0 || size != default_size(et);
  auto put = [&](std::string_view s) {
    append_latin1(out, s);
    part -= int32_t(s.size());
  };
  if (frame) {
    put("make vector! [");
    if (long_form) {
      put(type_name(et));
      put(" ");
      char bits[8];
      put(std::string_view(bits, size_t(integer_form_signed(int32_t(size * 8), bits))));
      put(" [");
    }
  }
  int64_t start = clamp_index(*v, total);
  for (int64_t i = start; i < total; i++) {
    if (part <= 0 && part != NO_PART_LIMIT) break;
    if (i > start) put(" ");
    Buffer* cb = node_buffer(v->node());
    const uint8_t* p = cb->head_ptr() + size_t(i) * size;
    char text[FLOAT_TEXT_MAX];
    switch (et) {
      case TYPE_CHAR: {
        uint32_t cp = uint32_t(read_int(p, size));
        if (!mold) {
          append_char(out, cp);
          part -= 1;
        } else {
          put("#\"");
          append_escaped_char(out, cp, false);
          put("\"");
          part -= 1;
        }
        break;
      }
      case TYPE_FLOAT:
        put(std::string_view(text, size_t(float_form_text(read_float(p, size), size == 8 ? FloatTextKind::DOUBLE
                                                                                              : FloatTextKind::SINGLE,
                                                          text))));
        break;
      case TYPE_PERCENT:
        put(std::string_view(text, size_t(float_form_text(read_float(p, size) * 100.0, FloatTextKind::PERCENT, text))));
        break;
      default:
        put(std::string_view(text, size_t(integer_form_signed(read_int(p, size), text))));
    }
  }
  if (frame) put(long_form ? "]]" : "]");
  return part;
}

int32_t vector_form(Cell v, NodeId out, const Cell*, int32_t part) { return vector_text(v, out, false, 0, part); }
int32_t vector_mold(Cell v, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t) {
  return vector_text(v, out, true, flags, part);
}

// --- comparison -------------------------------------------------------------------------

int32_t vector_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_VECTOR)) return CMP_INCOMPARABLE;
  if (vector_elem_type(*a) != vector_elem_type(*b)) fire(ErrId::NOT_SAME_TYPE);
  bool same = a->node() == b->node() && a->index() == b->index();
  if (op == CMP_SAME) return same ? 0 : -1;
  int32_t la = series_length_of(*a), lb = series_length_of(*b);
  bool equality = op == CMP_EQUAL || op == CMP_NOT_EQUAL || op == CMP_STRICT_EQUAL || op == CMP_FIND;
  if (equality) {
    if (same) return 0;
    if (la != lb) return 1;
  }
  Buffer* xa = node_buffer(a->node());
  Buffer* xb = node_buffer(b->node());
  uint32_t sa = xa->unit(), sb = xb->unit();
  const uint8_t* pa = xa->head_ptr() + size_t(clamp_index(*a, xa->length())) * sa;
  const uint8_t* pb = xb->head_ptr() + size_t(clamp_index(*b, xb->length())) * sb;
  bool floats = vector_float_elems(vector_elem_type(*a));
  for (int32_t i = 0, n = std::min(la, lb); i < n; i++) {
    if (floats) {
      double x = read_float(pa + size_t(i) * sa, sa), y = read_float(pb + size_t(i) * sb, sb);
      // NaN orders after every number, and equal to itself.
      if (std::isnan(x) || std::isnan(y)) {
        if (std::isnan(x) != std::isnan(y)) return std::isnan(x) ? 1 : -1;
        continue;
      }
      if (x != y) return x < y ? -1 : 1;
    } else {
      int32_t x = read_int(pa + size_t(i) * sa, sa), y = read_int(pb + size_t(i) * sb, sb);
      if (x != y) return x < y ? -1 : 1;
    }
  }
  return (la > lb) - (la < lb);
}

// --- modification ------------------------------------------------------------------------

// The bytes of the elements a value gives (a block's values from its
// position, a vector's elements, or the one value), repeated dup times.
may_gc std::vector<uint8_t> element_bytes(const Cell& series, const Cell& value, const Cell* part, int64_t dup,
                                          bool paths) {
  TypeId et = vector_elem_type(series);
  uint32_t size = node_buffer(series.node())->unit();
  std::vector<Cell> elems;
  TypeId vt = value.type();
  bool blockish = vt == TYPE_BLOCK || vt == TYPE_PAREN || vt == TYPE_HASH || (paths && is_any_path(vt));
  if (blockish) {
    Buffer* b = node_buffer(value.node());
    uint32_t len = b->length(), at = uint32_t(clamp_index(value, len));
    uint32_t n = len - at;
    if (part && part->is(TYPE_INTEGER) && part->i2() >= 1) n = std::min(n, uint32_t(part->i2()));
    elems.assign(b->cells() + at, b->cells() + at + n);
  } else if (vt == TYPE_VECTOR) {
    Buffer* b = node_buffer(value.node());
    uint32_t len = b->length();
    for (int64_t i = clamp_index(value, len); i < len; i++) elems.push_back(access_get(value, uint32_t(i)));
  } else {
    elems.push_back(value);
  }
  for (const Cell& c : elems) check_elem(et, c);
  if (dup < 0) dup = 0;
  if (uint64_t(elems.size()) * uint64_t(dup) * size > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
  std::vector<uint8_t> bytes(elems.size() * size);
  for (size_t i = 0; i < elems.size(); i++) vector_set_value(bytes.data() + i * size, elems[i], size);
  size_t one = bytes.size();
  bytes.resize(one * size_t(dup));
  for (int64_t k = 1; k < dup; k++) std::memcpy(bytes.data() + size_t(k) * one, bytes.data(), one);
  return bytes;
}

// Replaces the elements [at, at + removed) with bytes.
may_gc void splice(NodeId node, uint64_t at, uint64_t removed, const std::vector<uint8_t>& bytes) {
  Buffer* b = node_buffer(node);
  uint32_t size = b->unit();
  uint64_t old_bytes = removed * size;
  uint64_t used = uint64_t(b->used()) - old_bytes + bytes.size();
  if (used > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
  if (b->head + used > b->capacity) b = expand_series(node, std::min<uint64_t>(std::max<uint64_t>(used, uint64_t(b->capacity) * 2), MAX_CAPACITY));
  uint8_t* p = b->head_ptr() + at * size;
  std::memmove(p + bytes.size(), p + old_bytes, b->tail - (b->head + at * size + old_bytes));
  if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  b->tail = b->head + uint32_t(used);
}

Status vector_insert_at(Cell* base, bool append) {
  using enum act::append::Frame;
  RootedCell s(base[SERIES]);
  Buffer* b = node_buffer(s->node());
  int64_t index = clamp_index(*s, b->length());
  int64_t dup = used(base[DUP]) && base[COUNT].is(TYPE_INTEGER) ? base[COUNT].i2() : 1;
  std::vector<uint8_t> bytes =
      element_bytes(*s, base[VALUE], used(base[PART]) ? &base[LENGTH] : nullptr, dup, false);
  uint32_t size = b->unit();
  int64_t count = int64_t(bytes.size() / size);
  if (count == 0) return Status::OK;
  ChangeWord w = append ? ChangeWord::APPEND : ChangeWord::INSERT;
  bool told = report_change(*s, w, base[VALUE], int32_t(index), int32_t(count));
  b = node_buffer(s->node());
  int64_t at = append ? b->length() : std::min<int64_t>(index, b->length());
  splice(s->node(), uint64_t(at), 0, bytes);
  if (told)
    (void)ownership_check(*s, append ? ChangeWord::APPENDED : ChangeWord::INSERTED, base[VALUE], int32_t(at),
                          int32_t(count));
  if (!append) s->w1 = uint32_t(at + count);
  base[RESULT] = *s;
  return Status::OK;
}

Status vector_append(Cell* base) { return vector_insert_at(base, true); }
Status vector_insert(Cell* base) { return vector_insert_at(base, false); }

Status vector_change(Cell* base) {
  using enum act::change::Frame;
  RootedCell s(base[SERIES]);
  Buffer* b = node_buffer(s->node());
  int64_t total = b->length(), index = clamp_index(*s, total);
  int64_t dup = used(base[DUP]) && base[COUNT].is(TYPE_INTEGER) ? base[COUNT].i2() : 1;
  std::vector<uint8_t> bytes = element_bytes(*s, base[VALUE], nullptr, dup, true);
  uint32_t size = b->unit();
  int64_t count = int64_t(bytes.size() / size);
  int64_t replaced = count;
  if (used(base[PART])) {
    const Cell& range = base[RANGE];
    if (range.is(TYPE_INTEGER)) replaced = range.i2();
    else if (range.is(TYPE_VECTOR) && range.node() == s->node()) replaced = int64_t(range.index()) - index;
    else fire_refine_arg("part", range);
    if (replaced < 0) replaced = 0;
  }
  replaced = std::min(replaced, total - index);
  bool told = report_change(*s, ChangeWord::CHANGE, base[VALUE], int32_t(index), int32_t(count));
  b = node_buffer(s->node());
  index = std::min<int64_t>(index, b->length());
  replaced = std::min<int64_t>(replaced, b->length() - index);
  splice(s->node(), uint64_t(index), uint64_t(replaced), bytes);
  if (told) (void)ownership_check(*s, ChangeWord::CHANGED, base[VALUE], int32_t(index), int32_t(count));
  s->w1 = uint32_t(std::min<int64_t>(index + count, node_buffer(s->node())->length()));
  base[RESULT] = *s;
  return Status::OK;
}

// Without /part the element itself, else a vector of the elements taken.
Status vector_take(Cell* base) {
  using enum act::take::Frame;
  bool part = used(base[PART]);
  Cell r = series_take(&base[SERIES], part ? &base[LENGTH] : nullptr, used(base[LAST]));
  base[RESULT] = part || r.is(TYPE_NONE) ? r : access_get(r, 0);
  return Status::OK;
}

// --- search and sort ------------------------------------------------------------------------

// Whether the element at p equals the value (numbers compare by value).
bool elem_equal(const uint8_t* p, uint32_t size, TypeId et, const Cell& v) {
  if (vector_float_elems(et)) {
    if (!v.is(TYPE_FLOAT) && !v.is(TYPE_PERCENT) && !v.is(TYPE_INTEGER)) return false;
    return read_float(p, size) == number_as_float(v);
  }
  if (v.is(TYPE_INTEGER) || v.is(TYPE_CHAR)) return read_int(p, size) == v.i2();
  if (v.is(TYPE_FLOAT)) return double(read_int(p, size)) == v.f64();
  return false;
}

// The element index of a match, or -1. As for strings: an empty vector,
// or a position at the tail without /reverse, finds nothing before the
// refinements are looked at; wildcards (/any, /with) are not offered.
int64_t search(const Cell* base, bool tail_match) {
  using enum act::find::Frame;
  const Cell& s = base[SERIES];
  Buffer* b = node_buffer(s.node());
  int64_t total = b->length();
  bool last = used(base[LAST]), reverse = used(base[REVERSE]);
  bool match = tail_match && used(base[MATCH]);
  if (total == 0 || (!reverse && s.index() >= total)) return -1;
  if (used(base[ANY]) || used(base[WITH])) fire(ErrId::NOT_DONE);
  int64_t skip = 1;
  if (used(base[SKIP])) {
    const Cell& size = base[SIZE];
    if (!size.is(TYPE_INTEGER)) fire_refine_arg("skip", size);
    if (size.i2() < 1) fire(ErrId::OUT_OF_RANGE, size);
    skip = size.i2();
  }
  int64_t index = clamp_index(s, uint32_t(total));
  // Forward and /last search [index, end); /reverse goes back from
  // index - skip down to lower.
  int64_t end = total, lower = 0;
  if (used(base[PART])) {
    const Cell& part = base[LENGTH];
    int64_t n;
    if (part.is(TYPE_INTEGER)) n = part.i2();
    else if (part.is(TYPE_VECTOR) && part.node() == s.node()) n = int64_t(part.index()) - index;
    else fire_refine_arg("part", part);
    if (n < 1) return -1;
    if (reverse) lower = std::max<int64_t>(0, index - n);
    else end = index + std::min(n, total - index);
  }
  if (reverse && match) return -1;
  uint32_t unit = b->unit();
  TypeId et = vector_elem_type(s);
  auto at = [&](int64_t i) { return elem_equal(b->head_ptr() + size_t(i) * unit, unit, et, base[VALUE]); };
  if (match) return index < end && at(index) ? index : -1;
  if (reverse) {
    for (int64_t i = index - skip; i >= lower; i -= skip)
      if (at(i)) return i;
    return -1;
  }
  if (last) {
    if (end <= index) return -1;
    for (int64_t i = index + ((end - 1 - index) / skip) * skip; i >= index; i -= skip)
      if (at(i)) return i;
    return -1;
  }
  for (int64_t i = index; i < end; i += skip)
    if (at(i)) return i;
  return -1;
}

Status vector_find(Cell* base) {
  using enum act::find::Frame;
  int64_t i = search(base, true);
  if (i < 0) {
    base[RESULT] = none_cell();
    return Status::OK;
  }
  if (used(base[TAIL])) i++;
  base[SERIES].w1 = uint32_t(i);
  return Status::OK;
}

Status vector_select(Cell* base) {
  using enum act::select::Frame;
  int64_t i = search(base, false);
  base[RESULT] =
      i < 0 || i + 1 >= int64_t(series_total(base[SERIES])) ? none_cell() : access_get(base[SERIES], uint32_t(i + 1));
  return Status::OK;
}

struct VectorSortCtx {
  uint32_t size;    // bytes per element
  TypeId et;        // the element type
  uint32_t record;  // elements per record
  uint32_t offset;  // the element compared (without /all)
  bool all, reverse;
  const SortFunction* fn;
};

// Numbers by value; NaN after every number, either way.
int elem_order(const VectorSortCtx& c, const uint8_t* a, const uint8_t* b) {
  int r;
  if (vector_float_elems(c.et)) {
    double x = read_float(a, c.size), y = read_float(b, c.size);
    if (std::isnan(x) || std::isnan(y)) return int(std::isnan(x)) - int(std::isnan(y));
    r = (x > y) - (x < y);
  } else {
    int32_t x = read_int(a, c.size), y = read_int(b, c.size);
    r = (x > y) - (x < y);
  }
  return c.reverse ? -r : r;
}

int compare_vector_records(const void* pa, const void* pb, void* arg, uint32_t) {
  const VectorSortCtx& c = *static_cast<const VectorSortCtx*>(arg);
  auto a = static_cast<const uint8_t*>(pa), b = static_cast<const uint8_t*>(pb);
  uint32_t from = c.all ? 0 : c.offset, to = c.all ? c.record : c.offset + 1;
  for (uint32_t i = from; i < to; i++) {
    int r = elem_order(c, a + size_t(i) * c.size, b + size_t(i) * c.size);
    if (r) return r;
  }
  return 0;
}

// The function gets two elements, or with /all two one-record vectors of
// the same element type and width. The bytes are copied out first: the
// call may move or change the vector.
may_gc int compare_vector_by_function(const void* pa, const void* pb, void* arg, uint32_t) {
  const VectorSortCtx& c = *static_cast<const VectorSortCtx*>(arg);
  auto a = static_cast<const uint8_t*>(pa), b = static_cast<const uint8_t*>(pb);
  if (c.reverse) std::swap(a, b);
  uint32_t n = c.all ? c.record : 1;
  size_t from = size_t(c.all ? 0 : c.offset) * c.size, bytes = size_t(n) * c.size;
  std::vector<uint8_t> rec(a + from, a + from + bytes);
  rec.insert(rec.end(), b + from, b + from + bytes);
  RootedCell x, y;
  if (!c.all) {
    *x = vector_get_value(rec.data(), c.size, c.et);
    *y = vector_get_value(rec.data() + bytes, c.size, c.et);
  } else {
    for (int k = 0; k < 2; k++) {
      Cell* v = k ? y.get() : x.get();
      vector_make_at(v, n, c.et, c.size);
      Buffer* vb = node_buffer(v->node());
      std::memcpy(vb->head_ptr(), rec.data() + size_t(k) * bytes, bytes);
      vb->tail = vb->head + uint32_t(bytes);
    }
  }
  return sort_function_order(*c.fn, *x, *y);
}

// sort as for strings: /part counts (a negative count sorts before the
// position), /skip records, /compare an element offset or a function,
// /all whole records.
Status vector_sort(Cell* base) {
  using enum act::sort::Frame;
  RootedCell s(base[SERIES]);
  Buffer* b = node_buffer(s->node());
  int64_t total = b->length(), index = clamp_index(*s, uint32_t(total));
  int64_t n = total - index;
  if (used(base[PART])) {
    const Cell& part = base[LENGTH];
    int64_t c;
    if (part.is(TYPE_INTEGER)) c = part.i2();
    else if (part.is(TYPE_VECTOR) && part.node() == s->node()) c = int64_t(part.index()) - index;
    else fire_refine_arg("part", part);
    sort_part_range(s.get(), c, &index, &n);
  }
  bool all = used(base[ALL]), reverse = used(base[REVERSE]), stable = used(base[STABLE]);
  RootedCell fn_value;
  SortFunction fn;
  auto [record, offset] = sort_records(used(base[SKIP]) ? &base[SIZE] : nullptr,
                                       used(base[COMPARE]) ? &base[COMPARATOR] : nullptr, all, n, fn_value, &fn);
  bool told = report_change(*s, ChangeWord::SORT, none_cell(), int32_t(index), int32_t(n));
  b = node_buffer(s->node());
  if (n / record > 1 && index + n <= int64_t(b->length())) {
    uint32_t unit = b->unit();
    uint8_t* p = b->head_ptr() + size_t(index) * unit;
    if (record == 1 && !fn.fn && vector_float_elems(vector_elem_type(*s))) {
      std::vector<double> v(static_cast<size_t>(n));
      for (int64_t i = 0; i < n; i++) v[size_t(i)] = read_float(p + size_t(i) * unit, unit);
      auto less = [](double x, double y) { return std::isnan(y) ? !std::isnan(x) : x < y; };
      std::stable_sort(v.begin(), v.end(), less);
      if (reverse) std::stable_partition(v.begin(), v.end(), [](double x) { return !std::isnan(x); }),
                   std::reverse(v.begin(), std::find_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }));
      for (int64_t i = 0; i < n; i++) write_float(p + size_t(i) * unit, unit, v[size_t(i)]);
    } else if (record == 1 && !fn.fn) {
      std::vector<int32_t> v(static_cast<size_t>(n));
      for (int64_t i = 0; i < n; i++) v[size_t(i)] = read_int(p + size_t(i) * unit, unit);
      if (reverse) std::sort(v.begin(), v.end(), std::greater<>());
      else std::sort(v.begin(), v.end());
      for (int64_t i = 0; i < n; i++) write_int(p + size_t(i) * unit, unit, v[size_t(i)]);
    } else {
      VectorSortCtx ctx{unit, vector_elem_type(*s), uint32_t(record), uint32_t(offset), all, reverse,
                        fn.fn ? &fn : nullptr};
      SortCompare cmp = ctx.fn ? compare_vector_by_function : compare_vector_records;
      SeriesSortRange range;
      SortArray arr = series_sort_array(&range, s->node(), uint32_t(index), size_t(n / record),
                                        uint32_t(record) * unit, false);
      try {
        if (stable) merge_sort(arr, &ctx, 0, cmp);
        else quicksort(arr, &ctx, 0, cmp);
      } catch (const SortSignal& signal) {
        return signal.status;
      }
    }
  }
  if (told) (void)ownership_check(*s, ChangeWord::SORTED, none_cell(), int32_t(index), int32_t(n));
  base[RESULT] = *s;
  return Status::OK;
}

may_gc Cell vector_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  if (!selector.is(TYPE_INTEGER)) fire(ErrId::INVALID_PATH, step.path ? *step.path : none_cell(), selector);
  if (!set_value) return series_pick(value, selector.i2());
  RootedCell v(*set_value);
  series_poke(value, selector.i2(), *v);
  return *v;
}

}  // namespace

void register_type_VECTOR() {
  set_element_access(TYPE_VECTOR, ElementAccess{access_get, access_put});
  TypeBuilder(TYPE_VECTOR)
      .to_block(vector_to_block)
      .action(ACT_MAKE, vector_make)
      .form(vector_form)
      .mold(vector_mold)
      .compare(vector_compare)
      .eval_path(vector_eval_path)
      .action(ACT_ADD, vector_math<MATH_ADD>)
      .action(ACT_DIVIDE, vector_math<MATH_DIVIDE>)
      .action(ACT_MULTIPLY, vector_math<MATH_MULTIPLY>)
      .action(ACT_REMAINDER, vector_math<MATH_REMAINDER>)
      .action(ACT_SUBTRACT, vector_math<MATH_SUBTRACT>)
      .action(ACT_AND_T, vector_math<MATH_AND>)
      .action(ACT_OR_T, vector_math<MATH_OR>)
      .action(ACT_XOR_T, vector_math<MATH_XOR>)
      .action(ACT_APPEND, vector_append)
      .action(ACT_CHANGE, vector_change)
      .action(ACT_INSERT, vector_insert)
      .action(ACT_FIND, vector_find)
      .action(ACT_SELECT, vector_select)
      .action(ACT_SORT, vector_sort)
      .action(ACT_TAKE, vector_take)
      .inherit(kFromSeries)
      .inherit(ACT_COPY)
      .done();
}

}  // namespace vel
