#include "datatypes/typeset.h"

#include <cstring>

#include "action_frames.h"
#include "datatypes/registry.h"
#include "datatypes/set_bits.h"
#include "datatypes/strout.h"
#include "datatypes/word.h"
#include "errors.h"
#include "roots.h"
#include "series_ops.h"

namespace vel::typeset {

namespace {

// The twelve data bytes in memory order.
struct Bytes {
  uint8_t b[12];
};

inline Bytes bytes_of(const Cell& c) {
  Bytes x;
  std::memcpy(x.b, &c.w1, 12);
  return x;
}

inline Cell cell_of(const Bytes& x) {
  Cell c = make_cell(TYPE_TYPESET);
  std::memcpy(&c.w1, x.b, 12);
  return c;
}

inline void or_into(Cell* ts, const Cell& other) {
  ts->w1 |= other.w1;
  ts->w2 |= other.w2;
  ts->w3 |= other.w3;
}

}  // namespace

bool has(const Cell& ts, uint32_t type) {
  if (type >= BITS) return false;
  return bytes_of(ts).b[type >> 3] & (0x80u >> (type & 7));
}

void set_bit(Cell* ts, uint32_t type) {
  if (type >= BITS) return;
  Bytes x = bytes_of(*ts);
  x.b[type >> 3] |= uint8_t(0x80u >> (type & 7));
  std::memcpy(&ts->w1, x.b, 12);
}

Cell make_default() {
  Bytes x;
  std::memset(x.b, 0xFF, sizeof x.b);
  x.b[TYPE_UNSET >> 3] &= uint8_t(~(0x80u >> (TYPE_UNSET & 7)));
  return cell_of(x);
}

uint32_t count(const Cell& ts) {
  uint32_t n = 0;
  for (int32_t t = 1; t <= g_last_type_id; t++) n += has(ts, uint32_t(t));
  return n;
}

void add(Cell* ts, const Cell& value) {
  Cell v = value.is(TYPE_WORD) ? word::get(value) : value;
  if (v.is(TYPE_DATATYPE)) set_bit(ts, v.w1);
  else if (v.is(TYPE_TYPESET)) or_into(ts, v);
  else fire(ErrId::INVALID_ARG, v);
}

namespace {

// The cells of a block from its index (clamped), read again for each entry.
template <typename F>
void each_entry(const Cell& block, F f) {
  NodeId n = block.node();
  if (!n) return;
  for (uint32_t i = uint32_t(block.index() < 0 ? 0 : block.index());; i++) {
    Buffer* b = node_buffer(n);
    if (i >= b->used() / sizeof(Cell)) break;
    f(b->cells()[i]);
  }
}

}  // namespace

Cell make_from(const Cell& spec) {
  if (spec.is(TYPE_TYPESET)) return spec;
  if (!spec.is(TYPE_BLOCK)) fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_TYPESET), spec);
  Cell ts = empty();
  each_entry(spec, [&](Cell entry) { add(&ts, entry); });
  return ts;
}

Cell from_spec(const Cell& spec) {
  Cell ts = empty();
  each_entry(spec, [&](Cell entry) {
    Cell v = entry.is(TYPE_WORD) ? word::get(entry) : entry;
    switch (v.type()) {
      case TYPE_DATATYPE: set_bit(&ts, v.w1); break;
      case TYPE_TYPESET: or_into(&ts, v); break;
      case TYPE_WORD: set_bit(&ts, TYPE_OBJECT); break;
      case TYPE_BLOCK: break;
      default: fire(ErrId::INVALID_TYPE_SPEC, entry);
    }
  });
  return ts;
}

Cell set_op(const Cell& a, const Cell& b, int op) {
  Cell other;
  if (b.is(TYPE_TYPESET)) {
    other = b;
  } else if (b.is(TYPE_DATATYPE)) {
    other = empty();
    set_bit(&other, b.w1);
  } else {
    fire(ErrId::INVALID_ARG, b);
  }
  return from_words(combine_bits(op, a.w1, other.w1), combine_bits(op, a.w2, other.w2),
                    combine_bits(op, a.w3, other.w3));
}

Cell complement(const Cell& ts) { return from_words(~ts.w1, ~ts.w2, ~ts.w3); }

may_gc Cell to_block(const Cell& ts) {
  Cell set = ts;
  RootedNode blk(alloc_cells(4));
  for (int32_t t = 1; t <= g_last_type_id; t++) {
    if (!has(set, uint32_t(t))) continue;
    Cell w = g_types[t].name_word;
    if (!w.is(TYPE_WORD)) w = word::load(g_types[t].name);
    *alloc_tail(blk) = w;
  }
  return series_cell(TYPE_BLOCK, blk);
}

}  // namespace vel::typeset

// --- actions --------------------------------------------------------------------------

namespace vel {
namespace {

Status typeset_make(Cell* base) {
  using enum act::make::Frame;
  base[RESULT] = typeset::make_from(base[SPEC]);
  return Status::OK;
}

Status typeset_and(Cell* base) {
  using enum act::and_t::Frame;
  base[RESULT] = typeset::set_op(base[VALUE1], base[VALUE2], MATH_AND);
  return Status::OK;
}
Status typeset_or(Cell* base) {
  using enum act::or_t::Frame;
  base[RESULT] = typeset::set_op(base[VALUE1], base[VALUE2], MATH_OR);
  return Status::OK;
}
Status typeset_xor(Cell* base) {
  using enum act::xor_t::Frame;
  base[RESULT] = typeset::set_op(base[VALUE1], base[VALUE2], MATH_XOR);
  return Status::OK;
}

Status typeset_complement(Cell* base) {
  using enum act::complement::Frame;
  base[RESULT] = typeset::complement(base[VALUE]);
  return Status::OK;
}

// find: the value is a datatype!; the refinements do not apply to
// typesets.
Status typeset_find(Cell* base) {
  using enum act::find::Frame;
  if (!base[VALUE].is(TYPE_DATATYPE)) fire(ErrId::INVALID_ARG, base[VALUE]);
  base[RESULT] = logic_cell(typeset::has(base[SERIES], base[VALUE].w1));
  return Status::OK;
}

// Form and mold write the same: "make typeset! [integer! float!]"; /only
// leaves the wrapper out. Writing stops once the budget is used up.
may_gc int32_t typeset_mold(Cell value, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t) {
  RootedNode o(out);
  bool only = flags & MOLD_ONLY;
  if (!only) {
    append_latin1(o, "make typeset! [");
    part -= 15;
  }
  bool listed = false;
  for (int32_t t = 1; t <= g_last_type_id && part > 0; t++) {
    if (!typeset::has(value, uint32_t(t))) continue;
    // Each name costs itself and one space; the last space becomes "]".
    if (listed) append_char(o, ' ');
    const TypeEntry& e = g_types[t];
    append_latin1(o, std::string_view(e.name, size_t(e.name_len) + 1));
    part -= e.name_len + 2;
    listed = true;
  }
  if (!only) {
    append_char(o, ']');
    if (!listed) part -= 1;
  }
  return part;
}

may_gc int32_t typeset_form(Cell value, NodeId out, const Cell* arg, int32_t part) {
  return typeset_mold(value, out, 0, arg, part, 0);
}

int32_t typeset_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_TYPESET)) return CMP_INCOMPARABLE;
  switch (op) {
    case CMP_EQUAL:
    case CMP_NOT_EQUAL:
    case CMP_STRICT_EQUAL:
    case CMP_SAME:
    case CMP_FIND: return (a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3) ? 0 : 1;
    case CMP_SORT:
    case CMP_CASE_SORT: {
      int64_t d = int64_t(typeset::count(*a)) - int64_t(typeset::count(*b));
      return d < 0 ? -1 : (d > 0 ? 1 : 0);
    }
    default: return CMP_INCOMPARABLE;
  }
}

}  // namespace

void register_type_TYPESET() {
  TypeBuilder(TYPE_TYPESET)
      .action(ACT_MAKE, typeset_make)
      .action(ACT_TO, typeset_make)
      .form(typeset_form)
      .mold(typeset_mold)
      .compare(typeset_compare)
      .action(ACT_AND_T, typeset_and)
      .action(ACT_COMPLEMENT, typeset_complement)
      .action(ACT_OR_T, typeset_or)
      .action(ACT_XOR_T, typeset_xor)
      .action(ACT_FIND, typeset_find)
      .done();
}

}  // namespace vel
