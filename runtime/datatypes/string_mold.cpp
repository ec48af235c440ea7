// string!: make, to, form and mold, and the escaping of molded characters.
#include <algorithm>
#include <cstring>

#include "action_frames.h"
#include "families.h"
#include "cycle.h"
#include "datatypes/series_actions.h"
#include "datatypes/char.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel::string {

using detail::View;

namespace {

// Appends one character in molded form (the caret escapes).
may_gc void escape_char(CharSink& out, uint32_t cp, bool all) {
  char text[CARET_ESCAPE_MAX];
  int n = caret_escape(cp, all, text);
  if (!n) return out.put(cp);
  for (int i = 0; i < n; i++) out.put(uint8_t(text[i]));
}

// The position of the first "{" (from the range start) whose nesting never
// returns to zero before the range's end, or n when every "{" closes.
// With P(t) the count of "{" minus "}" among the first t characters, the
// "{" at i closes exactly when some P(t), t > i, falls to P(i): one
// backward pass keeping the minimum of P over (i, n] answers every "{".
uint32_t first_unbalanced_brace(const View& v, uint32_t n) {
  int64_t p = 0;
  for (uint32_t i = 0; i < n; i++) {
    uint32_t c = v.at(i);
    p += (c == '{') - (c == '}');
  }
  int64_t suffix_min = p;  // min of P over (i, n]
  uint32_t first = n;
  for (uint32_t i = n; i-- > 0;) {
    uint32_t c = v.at(i);
    p -= (c == '{') - (c == '}');  // now P(i)
    if (c == '{' && suffix_min > p) first = i;
    suffix_min = std::min(suffix_min, p);
  }
  return first;
}

}  // namespace

void count_quotes_and_lines(const uint8_t* p, uint32_t n, uint32_t unit, uint32_t* quotes, uint32_t* lines) {
  uint32_t q = 0, l = 0;
  if (unit == 1) {
    for (uint32_t i = 0; i < n; i++) {
      q += p[i] == '"';
      l += p[i] == '\n';
    }
  } else {
    for (uint32_t i = 0; i < n; i++) {
      uint32_t c = get_char(p + size_t(i) * unit, unit);
      q += c == '"';
      l += c == '\n';
    }
  }
  *quotes = q;
  *lines = l;
}

int32_t form(Cell value, NodeId out, const Cell*, int32_t part) {
  RootedNode keep(out);
  RootedCell v(value);
  uint32_t index = detail::clamp_index(v.get());
  uint32_t len = node_buffer(v->node())->length() - index;
  uint32_t n = std::min<uint32_t>(len, uint32_t(std::max(part, 0)));
  append_chars(out, v->node(), index, n);
  return int32_t(int64_t(part) - len);
}

int32_t mold(Cell value, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t) {
  RootedNode keep(out);
  RootedCell v(value);
  uint32_t index = detail::clamp_index(v.get());
  View all_chars = detail::view_of(*v);
  uint32_t len = all_chars.len;
  uint32_t n = std::min<uint32_t>(len, uint32_t(std::max(part, 0)));
  uint32_t quotes, lines;
  count_quotes_and_lines(all_chars.p, n, all_chars.unit, &quotes, &lines);
  bool braces = lines >= 3 || quotes > 0 || len >= 50;
  bool all = flags & MOLD_ALL;
  uint32_t unbalanced = braces ? first_unbalanced_brace(all_chars, n) : n;

  CharSink sink(out);
  sink.put(braces ? '{' : '"');
  uint32_t depth = 0;
  // The sink allocates: read each character through the node again.
  for (uint32_t i = 0; i < n; i++) {
    Buffer* b = node_buffer(v->node());
    uint32_t c = get_char(b->head_ptr() + size_t(index + i) * b->unit(), b->unit());
    if (!braces) {
      escape_char(sink, c, all);
      continue;
    }
    switch (c) {
      case '{':
        if (i < unbalanced) {
          depth++;
        } else {
          sink.put('^');
        }
        sink.put('{');
        break;
      case '}':
        if (depth > 0) {
          depth--;
        } else {
          sink.put('^');
        }
        sink.put('}');
        break;
      case '"': sink.put('"'); break;
      default: escape_char(sink, c, all);
    }
  }
  sink.put(braces ? '}' : '"');
  sink.flush();
  return int32_t(int64_t(part) - n - 2);
}

may_gc void escape_char(NodeId out, uint32_t cp, bool all) {
  CharSink sink(out);
  escape_char(sink, cp, all);
  sink.flush();
}

namespace detail {

may_gc void form_cells_into(NodeId out, const Cell& block, uint32_t start, uint32_t count) {
  RootedNode keep(out);
  RootedCell blk(block);
  CycleScope guard(blk->node());
  for (uint32_t k = 0; k < count; k++) {
    Buffer* b = node_buffer(blk->node());
    if (start + k >= (b->used() >> 4)) break;  // a form changed the block
    Cell elem = b->cells()[start + k];
    int32_t unused = NO_PART_LIMIT;
    if (cycles_detect(elem, out, &unused, false)) continue;
    form_value(elem, out);
  }
}

}  // namespace detail

// --- make and to -----------------------------------------------------------------------

namespace {

// binary! targets go to binary!'s own conversion once it has one.
may_gc Cell to_binary(TypeId target, const Cell& value) {
  ActionFn f = g_types[TYPE_BINARY].actions[ACT_TO];
  if (f == detail::to_action || f == detail::make_action) fire(ErrId::NOT_DONE, datatype_cell(target));
  return call_action(act::to::SHAPE, {{act::to::TYPE, datatype_cell(TYPE_BINARY)}, {act::to::SPEC, value}});
}

// The UTF-8 bytes of a binary! from its index.
may_gc NodeId decode_binary(const Cell& bin) {
  Buffer* b = node_buffer(bin.node());
  uint32_t total = b->used();
  int64_t i = std::clamp<int64_t>(bin.index(), 0, total);
  return load_utf8(ByteSource::series(bin.node(), uint64_t(i)), uint64_t(total - i), 0, nullptr, false);
}

}  // namespace

may_gc Cell to(TypeId target, const Cell& value_in) {
  if (target == TYPE_BINARY) return to_binary(target, value_in);
  RootedCell value(value_in);
  TypeId t = value->type();
  if (t == TYPE_NONE) fire(ErrId::BAD_TO_ARG, datatype_cell(target), *value);
  RootedCell result;
  if (is_any_list(t)) {
    make_at(result.get(), 16, target);
    uint32_t total = node_buffer(value->node())->used() >> 4;
    int64_t i = std::clamp<int64_t>(value->index(), 0, total);
    detail::form_cells_into(result->node(), *value, uint32_t(i), uint32_t(total - i));
  } else if (is_any_string(t)) {
    *result = series_copy(*value, nullptr);
    result->set_type(target);
    result->clear_new_line();
  } else if (t == TYPE_BINARY) {
    *result = cell_of(decode_binary(*value), 0, target);
  } else if (t == TYPE_REFINEMENT && target != TYPE_STRING) {
    make_at(result.get(), 16, target);
    mold_value(*value, result->node());
  } else {
    make_at(result.get(), 16, target);
    form_value(*value, result->node());
  }
  return *result;
}

may_gc Cell make(TypeId target, const Cell& spec) {
  if (target == TYPE_BINARY) {
    if (spec.is(TYPE_MONEY)) fire(ErrId::BAD_MAKE_ARG, datatype_cell(target), spec);
    return to_binary(target, spec);
  }
  if (spec.is(TYPE_INTEGER) || spec.is(TYPE_FLOAT)) {
    int32_t n = check_float_to_int(spec);
    if (n < 0) fire(ErrId::OUT_OF_RANGE, spec);
    Cell c;
    return make_at(&c, uint32_t(n), target);
  }
  return to(target, spec);
}

namespace detail {

// The target type of make and to: the datatype named, or the prototype's.
static TypeId target_of(const Cell& c) {
  if (c.is(TYPE_DATATYPE) && c.w1 < TYPE_COUNT) return TypeId(c.w1);
  return c.type();
}

// make: type spec.
Status make_action(Cell* base) {
  using enum act::make::Frame;
  base[RESULT] = make(target_of(base[TYPE]), base[SPEC]);
  return Status::OK;
}

// to: type value.
Status to_action(Cell* base) {
  using enum act::to::Frame;
  base[RESULT] = to(target_of(base[TYPE]), base[SPEC]);
  return Status::OK;
}

}  // namespace detail

}  // namespace vel::string
