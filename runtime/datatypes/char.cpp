// char!.
#include "families.h"
#include "datatypes/char.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "action_frames.h"
#include "datatypes/float.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel {

may_gc Cell* char_make_in(NodeId block, uint32_t cp) {
  Cell* c = alloc_tail(block);
  *c = char_cell(cp);
  return c;
}

namespace {

// The character written after a caret for code points below 95; 0 = none.
constexpr char kCaretTable[95] = {
    '@', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '-', '/', 'K', 'L', 'M', 'N', 'O',  // 0-15
    'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', '[', '\\', ']', '^', '_',  // 16-31
    0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 32-47
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 48-63
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 64-79
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '^',       // 80-94
};

}  // namespace

int caret_escape(uint32_t cp, bool all, char out[CARET_ESCAPE_MAX]) {
  // Code point 30 always takes the hex form: its caret letter is the caret.
  if (cp == 30 || (cp >= 128 && cp <= 159) || (all && cp > 127)) {
    int n = 0;
    out[n++] = '^';
    out[n++] = '(';
    char digits[8];
    int k = 0;
    do {
      digits[k++] = "0123456789ABCDEF"[cp & 15];
      cp >>= 4;
    } while (cp);
    while (k) out[n++] = digits[--k];
    out[n++] = ')';
    return n;
  }
  if (cp < 95 && kCaretTable[cp]) {
    out[0] = '^';
    out[1] = kCaretTable[cp];
    return 2;
  }
  if (cp == 127) {
    out[0] = '^';
    out[1] = '~';
    return 2;
  }
  return 0;
}

may_gc int32_t append_escaped_char(NodeId out, uint32_t cp, bool all) {
  char text[CARET_ESCAPE_MAX];
  int n = caret_escape(cp, all, text);
  if (n) {
    append_latin1(out, std::string_view(text, size_t(n)));
    return n;
  }
  append_char(out, cp);
  return 1;
}

Status char_do_math(Cell* base, MathOp op) {
  using enum act::add::Frame;
  const Cell& r = base[VALUE2];
  int32_t right;
  switch (r.type()) {
    case TYPE_CHAR:
    case TYPE_INTEGER:
      right = r.i2();
      break;
    case TYPE_FLOAT: {
      double d = r.f64();
      // No code point results from an operand that does not fit 32 bits.
      if (float_overflows_int(d)) fire(ErrId::OVERFLOW);
      right = int32_t(std::trunc(d));
      break;
    }
    case TYPE_VECTOR:
      std::swap(base[VALUE1], base[VALUE2]);
      return g_types[TYPE_VECTOR].actions[math_action(op)](base);
    default:
      fire(ErrId::INVALID_TYPE, datatype_cell(r.type()));
  }
  int32_t left = base[VALUE1].i2();
  int32_t v;
  if (op <= MATH_MULTIPLY) {
    Cell result = integer_cell(0);
    integer_do_math_op(left, right, op, &result);
    if (!result.is(TYPE_INTEGER)) fire(ErrId::OVERFLOW);
    v = result.i2();
  } else {
    v = integer_do_math_op(left, right, op, nullptr);  // divide truncates
  }
  if (v < 0 || v > CHAR_MAX_CODE) fire(ErrId::OVERFLOW);
  base[VALUE1].w2 = uint32_t(v);
  return Status::OK;
}

namespace {

// Frame layouts: make, to [type spec]; the math actions [value1 value2].

template <MathOp OP>
Status char_math(Cell* base) {
  return char_do_math(base, OP);
}

// The UTF-8 sequence at a binary's index.
may_gc uint32_t char_from_binary(const Cell& bin) {
  uint8_t bytes[4];
  size_t n = binary_bytes_at(bin, bytes, 4);
  if (n == 0) fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_CHAR), bin);
  uint32_t len = 0;
  int32_t cp = decode_utf8_loading(bytes, n, &len);
  if (cp < 0) {
    NodeId bad = alloc_bytes(n);
    Buffer* b = node_buffer(bad);
    std::memcpy(b->head_ptr(), bytes, n);
    b->tail = b->head + uint32_t(n);
    fire(ErrId::INVALID_UTF8, series_cell(TYPE_BINARY, bad));
  }
  return uint32_t(cp);
}

Status char_to(Cell* base) {
  using enum act::make::Frame;
  const Cell spec = base[SPEC];
  TypeId t = spec.type();
  uint32_t cp;
  switch (t) {
    case TYPE_CHAR:
    case TYPE_INTEGER:
      if (spec.i2() < 0 || spec.i2() > CHAR_MAX_CODE) return fail(ErrId::OUT_OF_RANGE, spec);
      cp = spec.w2;
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      double d = std::trunc(spec.f64());
      if (!(d >= 0.0 && d <= double(CHAR_MAX_CODE))) return fail(ErrId::OUT_OF_RANGE, spec);
      cp = uint32_t(d);
      break;
    }
    case TYPE_BINARY:
      cp = char_from_binary(spec);
      break;
    default: {
      if (!is_any_string(t) || !spec.node()) return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_CHAR), spec);
      Buffer* b = node_buffer(spec.node());
      if (spec.index() < 0 || uint32_t(spec.index()) >= b->length())
        return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_CHAR), spec);
      cp = get_char(b->head_ptr() + size_t(spec.index()) * b->unit(), b->unit());
    }
  }
  base[RESULT] = char_cell(cp);
  return Status::OK;
}

int32_t char_form(Cell v, NodeId out, const Cell*, int32_t part) {
  append_char(out, v.w2);
  return part - 1;
}

int32_t char_mold(Cell v, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  append_latin1(out, "#\"");
  int32_t n = append_escaped_char(out, v.w2, false);
  append_latin1(out, "\"");
  return part - 3 - n;
}

int32_t char_compare(const Cell* a, const Cell* b, int op) {
  TypeId bt = b->type();
  if ((op == CMP_STRICT_EQUAL || op == CMP_SAME) && bt != TYPE_CHAR) return 1;
  if (bt != TYPE_CHAR && bt != TYPE_INTEGER) return CMP_INCOMPARABLE;
  int32_t x = a->i2(), y = b->i2();
  return (x > y) - (x < y);
}

}  // namespace

// random, absolute, even? and odd? come from integer!.
void register_type_CHAR() {
  TypeBuilder(TYPE_CHAR)
      .action(ACT_MAKE, char_to)
      .action(ACT_TO, char_to)
      .form(char_form)
      .mold(char_mold)
      .compare(char_compare)
      .action(ACT_ADD, char_math<MATH_ADD>)
      .action(ACT_DIVIDE, char_math<MATH_DIVIDE>)
      .action(ACT_MULTIPLY, char_math<MATH_MULTIPLY>)
      .action(ACT_REMAINDER, char_math<MATH_REMAINDER>)
      .action(ACT_SUBTRACT, char_math<MATH_SUBTRACT>)
      .action(ACT_AND_T, char_math<MATH_AND>)
      .action(ACT_OR_T, char_math<MATH_OR>)
      .action(ACT_XOR_T, char_math<MATH_XOR>)
      .inherit(ACT_RANDOM)
      .inherit(ACT_ABSOLUTE)
      .inherit(ACT_EVEN_Q)
      .inherit(ACT_ODD_Q)
      .done();
}

}  // namespace vel
