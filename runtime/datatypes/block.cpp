// block!, paren! and the four path types: the low-level block functions,
// and the actions that make, convert, print, compare, copy and take.
#include "datatypes/block.h"

#include <algorithm>
#include <cstring>

#include "action_frames.h"
#include "cycle.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "hashtable.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel {

uint32_t g_walk_depth = 0;

WalkDepth::WalkDepth() {
  if (++g_walk_depth > MAX_WALK_DEPTH) {
    g_walk_depth--;
    fire(ErrId::STACK_OVERFLOW);
  }
}

namespace {


inline NodeId hash_table_of(const Cell& s) { return s.is(TYPE_HASH) ? s.w3 : 0; }

inline Cell F() { return logic_cell(false); }
inline Cell T() { return logic_cell(true); }
inline Cell N() { return none_cell(); }


// The last character of a string series, or -1 when it is empty.
int64_t last_char(NodeId out) {
  Buffer* b = node_buffer(out);
  if (b->used() == 0) return -1;
  return get_char(b->tail_ptr() - b->unit(), b->unit());
}

// What copy/deep replaces by a copy of its own.
bool copied_deep(TypeId t) {
  ElemKind k = elem_kind(t);
  return k != ElemKind::NONE;
}

// What copy/types may replace, when the type is named.
bool copied_by_types(TypeId t) {
  return is_series_type(t) || t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_MAP;
}

}  // namespace

may_gc Cell copy_by_action(const Cell& v, bool deep, const Cell* types) {
  using namespace act::copy;
  Cell r = call_action(SHAPE, {{VALUE, v},
                               {DEEP, logic_cell(deep)},
                               {TYPES, logic_cell(types != nullptr)},
                               {KIND, types ? *types : none_cell()}});
  r.set_new_line(v.new_line());
  return r;
}

const Cell* copy_types_arg(Cell* base) {
  using enum act::copy::Frame;
  if (!used(base[TYPES])) return nullptr;
  const Cell* types = &base[KIND];
  if (!types->is(TYPE_TYPESET) && !types->is(TYPE_DATATYPE)) fire(ErrId::EXPECT_ARG, datatype_cell(types->type()));
  return types;
}

// ---------------------------------------------------------------------------
// Low-level block functions

namespace block {

may_gc uint32_t rs_append(NodeId blk, Cell v) {
  Cell* c = alloc_tail(blk);
  *c = v;
  Buffer* b = node_buffer(blk);
  return (b->used() >> 4) - 1;
}

may_gc void rs_append_block(NodeId blk, Cell other) {
  RootedCell o(other);
  int64_t from = series_index(*o), n = int64_t(total(*o)) - from;
  if (n <= 0) return;
  uint32_t bytes = uint32_t(n) * 16;
  uint32_t at = reserve_tail(blk, bytes);
  // Appending a block to itself reads the cells where they are now.
  std::memmove(node_buffer(blk)->data() + at, buffer(*o)->cells() + from, bytes);
}

void rs_remove_last(Cell* b) {
  Buffer* buf = buffer(*b);
  if (buf->used() == 0) return;
  series_changed(b->node());
  buf->tail -= 16;
  uint32_t n = buf->used() >> 4;
  if (b->index() > int32_t(n)) b->w1 = n;
}

Cell rs_select(const Cell& b, const Cell& value_in) {
  Cell value = value_in;
  Buffer* buf = buffer(b);
  uint32_t n = buf->used() >> 4;
  for (int64_t i = series_index(b); i < n; i++) {
    const Cell* c = buf->cells() + i;
    if (compare_cells(&value, c, CMP_FIND) == 0) return i + 1 < n ? buf->cells()[i + 1] : none_cell();
  }
  return none_cell();
}

Cell select_word(const Cell& b, const Cell& word, bool strict) {
  uint32_t sym = word.w2;
  uint32_t want = strict ? sym : symbol::resolve(sym);
  Buffer* buf = buffer(b);
  uint32_t n = buf->used() >> 4;
  for (int64_t i = series_index(b); i < n; i++) {
    const Cell& c = buf->cells()[i];
    TypeId t = c.type();
    if (t < TYPE_WORD || t > TYPE_GET_WORD) continue;
    uint32_t s = strict ? c.w2 : symbol::resolve(c.w2);
    if (s == want) return i + 1 < n ? buf->cells()[i + 1] : none_cell();
  }
  return none_cell();
}

may_gc Removed remove_value(const Cell& b_in, const Cell& value_in, bool from_head) {
  Cell b = b_in, value = value_in;
  Buffer* buf = buffer(b);
  uint32_t n = buf->used() >> 4;
  for (int64_t i = from_head ? 0 : series_index(b); i < n; i++) {
    if (compare_cells(&value, buf->cells() + i, CMP_FIND) != 0) continue;
    RootedCell keep(b);
    if (NodeId table = hash_table_of(b)) hash_table::remove_range(table, uint32_t(i), 1);
    buf = buffer(b);
    Cell* c = buf->cells();
    std::memmove(c + i, c + i + 1, size_t(n - i - 1) * 16);
    buf->tail -= 16;
    series_changed(b.node());
    return i <= b.index() ? Removed::AT_OR_BEFORE_INDEX : Removed::AFTER_INDEX;
  }
  return Removed::NOT_FOUND;
}

may_gc void insert_value(Cell* b, Cell value, bool advance, bool at_head) {
  RootedCell v(value);
  NodeId node = b->node();
  Buffer* buf = node_buffer(node);
  uint32_t n = buf->used() >> 4;
  if (b->index() > int32_t(n)) b->w1 = n;
  uint32_t at = at_head ? 0 : uint32_t(series_index(*b));
  if (buf->room() < 16) buf = expand_series(node, 2 * (uint64_t(buf->used()) + 16));
  Cell* c = buf->cells();
  std::memmove(c + at + 1, c + at, size_t(n - at) * 16);
  c[at] = *v;
  buf->tail += 16;
  series_changed(node);
  if (NodeId table = hash_table_of(*b)) {
    if (hash_table::shift_indexes(table, at, 1)) hash_table::rebuild(table, n + 1);
    else hash_table::put(table, at);
  }
  if (advance) b->w1 = uint32_t(b->index() + 1);
}

may_gc void insert_block(Cell* b, Cell other) {
  RootedCell o(other);
  int64_t i = series_index(*o), n = int64_t(total(*o)) - i;
  bool same = o->node() == b->node();
  for (int64_t k = 0; k < n; k++, i++) {
    Cell c = buffer(*o)->cells()[i];
    insert_value(b, c, true, false);
    // Inserting a block into itself at or before the next cell to read
    // moves the cells still to read up by one.
    if (same && b->index() - 1 <= i + 1) i++;
  }
}

may_gc Cell make_at(int64_t n, TypeId t) {
  // An empty block made with no room costs its header alone (a tree's
  // leaves are such blocks); the first cell added gives it room.
  if (n < 0) n = 0;
  return series_cell(t, alloc_cells(uint64_t(n)), 0);
}

may_gc Cell preallocate(int64_t n, bool fixed) {
  if (n < 1) n = 1;
  if (fixed) return series_cell(TYPE_BLOCK, alloc_fixed_series(uint64_t(n), 16, 0), 0);
  NodeId node = alloc_unset_cells(uint64_t(n));
  Buffer* b = node_buffer(node);
  b->tail = b->head;
  return series_cell(TYPE_BLOCK, node, 0);
}

may_gc Cell make_fixed(NodeId parent, int64_t n) {
  if (n < 1) n = 1;
  NodeId node = alloc_fixed_series(uint64_t(n), 16, 0);
  Buffer* b = node_buffer(node);
  Cell* c = b->cells();
  for (int64_t i = 0; i < n; i++) c[i] = unset_cell();
  b->tail = b->head + uint32_t(n) * 16;
  Cell r = series_cell(TYPE_BLOCK, node, 0);
  if (parent) rs_append(parent, r);
  return r;
}

may_gc Cell clone(Cell b, bool deep, bool all_lists) {
  WalkDepth depth;
  RootedCell src(b);
  int64_t from = series_index(b), n = std::max<int64_t>(int64_t(total(b)) - from, 0);
  RootedNode out(alloc_cells(uint64_t(std::max<int64_t>(n, 1))));
  std::memcpy(node_buffer(out)->cells(), buffer(*src)->cells() + from, size_t(n) * 16);
  node_buffer(out)->tail = uint32_t(n) * 16;
  if (deep) {
    for (int64_t i = 0; i < n; i++) {
      Cell c = node_buffer(out)->cells()[i];
      TypeId t = c.type();
      if (!(t == TYPE_BLOCK || (all_lists && (t == TYPE_PAREN || is_any_path(t))))) continue;
      Cell copy = clone(c, true, all_lists);
      copy.header = c.header;
      node_buffer(out)->cells()[i] = copy;
    }
  }
  return series_cell(src->type(), out, 0);
}

}  // namespace block

// ---------------------------------------------------------------------------
// Typesets and conversions

bool types_include(const Cell& types, TypeId t) {
  if (types.is(TYPE_DATATYPE)) return types.w1 == t;
  return types.is(TYPE_TYPESET) && typeset::has(types, t);
}

namespace {

// The target type of make and to: the datatype named, or the prototype's.
TypeId target_type(const Cell& proto) { return proto.is(TYPE_DATATYPE) ? TypeId(proto.w1) : proto.type(); }

// Conversions that belong to the module of the value's type.
may_gc Cell converted_by_module(const Cell& spec) { return g_types[spec.type()].to_block(spec); }

may_gc Cell retyped(Cell c, TypeId t) {
  c.header = t;
  return c;
}

// make: prototype or datatype, spec. Shared by block! and paren!.
Status block_make(Cell* base) {
  using enum act::make::Frame;
  TypeId t = target_type(base[TYPE]);
  const Cell spec = base[SPEC];
  TypeId st = spec.type();
  if (is_any_block(st)) {
    base[RESULT] = retyped(block::clone(spec, false, false), t);
  } else if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
    base[RESULT] = block::make_at(check_float_to_int(spec), t);
  } else if (st == TYPE_OBJECT || st == TYPE_MAP || st == TYPE_VECTOR) {
    base[RESULT] = retyped(converted_by_module(spec), t);
  } else {
    fire(ErrId::BAD_MAKE_ARG, datatype_cell(t), spec);
  }
  return Status::OK;
}

// to: prototype or datatype, spec.
Status block_to(Cell* base) {
  using enum act::to::Frame;
  TypeId t = target_type(base[TYPE]);
  const Cell spec = base[SPEC];
  TypeId st = spec.type();
  if (is_any_block(st)) {
    base[RESULT] = retyped(block::clone(spec, false, false), t);
  } else if (st == TYPE_OBJECT || st == TYPE_MAP || st == TYPE_VECTOR || st == TYPE_STRING) {
    base[RESULT] = retyped(converted_by_module(spec), t);
  } else if (st == TYPE_TYPESET) {
    base[RESULT] = retyped(typeset::to_block(spec), t);
  } else {
    RootedCell r(block::make_at(1, t));
    block::rs_append(r->node(), spec);
    base[RESULT] = *r;
  }
  return Status::OK;
}

// make for the path types: an any-block is cloned, a number gives the room.
Status path_make(Cell* base) {
  using enum act::make::Frame;
  TypeId t = target_type(base[TYPE]);
  const Cell spec = base[SPEC];
  TypeId st = spec.type();
  if (is_any_block(st)) {
    base[RESULT] = retyped(block::clone(spec, false, false), t);
  } else if (st == TYPE_INTEGER || st == TYPE_FLOAT || st == TYPE_PERCENT) {
    base[RESULT] = block::make_at(spec.is(TYPE_INTEGER) ? spec.i2() : check_float_to_int(float_cell(spec.f64())), t);
  } else {
    fire(ErrId::BAD_MAKE_ARG, datatype_cell(t), spec);
  }
  return Status::OK;
}

// to for the path types: objects, typesets and maps are held whole.
Status path_to(Cell* base) {
  using enum act::to::Frame;
  TypeId st = base[SPEC].type();
  if (st == TYPE_OBJECT || st == TYPE_TYPESET || st == TYPE_MAP) {
    RootedCell r(block::make_at(1, target_type(base[TYPE])));
    block::rs_append(r->node(), base[SPEC]);
    base[RESULT] = *r;
    return Status::OK;
  }
  return block_to(base);
}

}  // namespace

// ---------------------------------------------------------------------------
// form and mold

namespace {

int32_t block_form(Cell v, NodeId out_in, const Cell* arg, int32_t part) {
  RootedNode out(out_in);
  RootedCell b(v);
  if (cycles_detect(*b, out, &part, false)) return part;
  WalkDepth depth;
  CycleScope guard(b->node());
  for (int64_t i = series_index(*b); i < block::total(*b); i++) {
    if (part < 1) break;
    part = form_value(block::buffer(*b)->cells()[i], out, arg, part);
    if (i + 1 < block::total(*b)) {
      int64_t last = last_char(out);
      if (last != '\t' && last != '\n' && last != '\r') {
        append_char(out, ' ');
        part = spend(part, 1);
      }
    }
  }
  return part;
}

// A block or paren between its brackets (none with /only).
int32_t list_mold(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t indent, char open,
                  char close) {
  RootedNode out(out_in);
  if (cycles_detect(v, out, &part, true)) return part;
  bool only = flags & MOLD_ONLY;
  if (!only) {
    append_char(out, open);
    part = spend(part, 1);
  }
  part = block_mold_each(v, out, flags, arg, part, indent);
  if (!only) {
    append_char(out, close);
    part = spend(part, 1);
  }
  return part;
}

int32_t block_mold(Cell v, NodeId out, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  return list_mold(v, out, flags, arg, part, indent, '[', ']');
}

int32_t paren_mold(Cell v, NodeId out, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  return list_mold(v, out, flags, arg, part, indent, '(', ')');
}

// Paths: elements with "/" between them, new-line markers ignored.
int32_t path_walk(Cell v, NodeId out_in, bool mold, uint32_t flags, const Cell* arg, int32_t part) {
  RootedNode out(out_in);
  RootedCell p(v);
  if (cycles_detect(*p, out, &part, mold)) return part;
  WalkDepth depth;
  CycleScope guard(p->node());
  int64_t first = series_index(*p);
  for (int64_t i = first; i < block::total(*p); i++) {
    if (part < 1) break;
    if (i > first) {
      append_char(out, '/');
      part = spend(part, 1);
    }
    Cell c = block::buffer(*p)->cells()[i];
    part = mold ? mold_value(c, out, flags, arg, part, 0) : form_value(c, out, arg, part);
  }
  return part;
}

int32_t path_form(Cell v, NodeId out, const Cell* arg, int32_t part) { return path_walk(v, out, false, 0, arg, part); }

int32_t path_mold(Cell v, NodeId out, uint32_t flags, const Cell* arg, int32_t part, int32_t) {
  return path_walk(v, out, true, flags, arg, part);
}

int32_t lit_path_mold(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t) {
  RootedNode out(out_in);
  append_char(out, '\'');
  return path_walk(v, out, true, flags, arg, spend(part, 1));
}

int32_t get_path_mold(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t) {
  RootedNode out(out_in);
  append_char(out, ':');
  return path_walk(v, out, true, flags, arg, spend(part, 1));
}

int32_t set_path_mold(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t) {
  RootedNode out(out_in);
  part = path_walk(v, out, true, flags, arg, part);
  append_char(out, ':');
  return spend(part, 1);
}

}  // namespace

may_gc int32_t block_mold_each(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  RootedNode out(out_in);
  RootedCell b(v);
  WalkDepth depth;
  CycleScope guard(b->node());
  bool only = flags & MOLD_ONLY, flat = flags & MOLD_FLAT;
  uint32_t inner = flags & ~uint32_t(MOLD_ONLY);
  bool opened = false;
  int64_t first = series_index(*b);
  for (int64_t i = first; i < block::total(*b); i++) {
    if (part < 1) return part;
    Cell c = block::buffer(*b)->cells()[i];
    if (!flat && c.new_line()) {
      if (!only && i == first) {
        opened = true;
        indent++;
      }
      if (!only || i != first) {
        append_char(out, '\n');
        part = spend(part, 1);
      }
      part = vel::indent(out, indent, part);
    } else if (i != first) {
      append_char(out, ' ');
      part = spend(part, 1);
    }
    part = mold_value(c, out, inner, arg, part, indent);
  }
  if (opened) {
    indent--;
    append_char(out, '\n');
    part = vel::indent(out, indent, spend(part, 1));
  }
  return part;
}

// ---------------------------------------------------------------------------
// compare

int32_t block_compare(const Cell* a, const Cell* b, int op) {
  TypeId ta = a->type(), tb = b->type();
  if (ta != tb) {
    bool paths = (ta == TYPE_PATH || ta == TYPE_LIT_PATH) && (tb == TYPE_PATH || tb == TYPE_LIT_PATH);
    if (!(paths && (op == CMP_WORD_MATCH || op == CMP_WORD_MATCH_CASE))) return CMP_INCOMPARABLE;
  }
  bool same = a->node() == b->node() && a->index() == b->index();
  if (op == CMP_SAME) return same ? 0 : -1;
  if (same) return 0;
  if (cycles_find(a->node())) return cycles_find(b->node()) ? 0 : -1;
  int64_t l1 = series_length_of(*a), l2 = series_length_of(*b);
  bool equality = op == CMP_EQUAL || op == CMP_NOT_EQUAL || op == CMP_STRICT_EQUAL || op == CMP_WORD_MATCH ||
                  op == CMP_WORD_MATCH_CASE || op == CMP_FIND;
  if (l1 != l2 && equality) return 1;
  // An empty block orders before any other.
  if (l1 == 0) return l2 == 0 ? 0 : -1;
  WalkDepth depth;
  CycleScope guard_a(a->node());
  CycleScope guard_b(b->node());
  int64_t n = std::min(l1, l2);
  const Cell* ca = block::buffer(*a)->cells() + series_index(*a);
  const Cell* cb = block::buffer(*b)->cells() + series_index(*b);
  for (int64_t i = 0; i < n; i++) {
    TypeId x = ca[i].type(), y = cb[i].type();
    if (x != y && !(is_any_word(x) && is_any_word(y)) && !(is_any_number(x) && is_any_number(y)))
      return x < y ? -1 : 1;
    int32_t r = compare_cells(&ca[i], &cb[i], op);
    if (r != 0) return r;
  }
  return l1 < l2 ? -1 : (l1 > l2 ? 1 : 0);
}

// ---------------------------------------------------------------------------
// copy and take

may_gc Cell block_copy(Cell src_in, const Cell* part, bool deep, const Cell* types_in) {
  RootedCell src(src_in);
  RootedCell types(types_in ? *types_in : none_cell());
  RootedCell r(series_copy(*src, part));
  if (!deep && !types_in) return *r;
  if (src->is(TYPE_HASH)) r->set_type(TYPE_BLOCK);
  WalkDepth depth;
  if (deep && cycles_find(src->node())) {
    cycles_reset();
    fire(ErrId::NO_CYCLE);
  }
  struct MaybeGuard {
    bool on;
    explicit MaybeGuard(bool deep, NodeId key) : on(deep) {
      if (on) cycles_push(key);
    }
    ~MaybeGuard() {
      if (on) cycles_pop();
    }
  } guard(deep, src->node());
  for (uint32_t i = 0; i < block::total(*r); i++) {
    Cell c = block::buffer(*r)->cells()[i];
    TypeId t = c.type();
    Cell copy;
    if (!types_in) {
      if (!copied_deep(t)) continue;
      copy = is_any_block(t) ? block_copy(c, nullptr, true, nullptr) : copy_by_action(c, true, nullptr);
    } else {
      if (!copied_by_types(t) || !types_include(*types, t)) continue;
      const Cell* nested_types = deep ? types.get() : nullptr;
      copy = is_any_block(t) ? block_copy(c, nullptr, deep, nested_types) : copy_by_action(c, deep, nested_types);
    }
    block::buffer(*r)->cells()[i] = copy;
  }
  return *r;
}

namespace {

// copy: value, /part, length, /deep, /types, kind.
Status block_copy_action(Cell* base) {
  using enum act::copy::Frame;
  const Cell* part = used(base[PART]) ? &base[LENGTH] : nullptr;
  const Cell* types = copy_types_arg(base);
  base[RESULT] = block_copy(base[VALUE], part, used(base[DEEP]), types);
  return Status::OK;
}

// take: series, /part, length, /deep, /last. Without /part the taken value
// itself, with /part the block of taken values.
Status block_take(Cell* base) {
  using enum act::take::Frame;
  bool part = used(base[PART]);
  RootedCell r(series_take(&base[SERIES], part ? &base[LENGTH] : nullptr, used(base[LAST])));
  if (r->is(TYPE_NONE)) {
    base[RESULT] = *r;
    return Status::OK;
  }
  if (used(base[DEEP])) {
    for (uint32_t i = 0; i < block::total(*r); i++) {
      Cell c = block::buffer(*r)->cells()[i];
      if (!copied_deep(c.type())) continue;
      Cell copy = is_any_block(c.type()) ? block_copy(c, nullptr, true, nullptr) : copy_by_action(c, true, nullptr);
      block::buffer(*r)->cells()[i] = copy;
    }
  }
  if (part) base[RESULT] = *r;
  else base[RESULT] = block::total(*r) ? block::buffer(*r)->cells()[0] : none_cell();
  return Status::OK;
}

// eval-path: one path step into a block. Integers pick and poke; a word
// selects the value after it; any other element goes through select/only
// and, to set, find (both with /case for a case-sensitive path).
may_gc Cell block_eval_path(const Cell& value_in, const Cell& selector_in, const Cell* set_value, const PathStep& step) {
  RootedCell value(value_in), selector(selector_in);
  RootedCell v(set_value ? *set_value : unset_cell());
  if (selector->is(TYPE_INTEGER)) {
    if (!set_value) return series_pick(*value, selector->i2());
    // b/5: x past the tail: a held error for eval_path, told to no owner.
    if (picked_index(*value, selector->i2()) < 0) return fail_value(ErrId::OUT_OF_RANGE, integer_cell(selector->i2()));
    series_poke(*value, selector->i2(), *v);
    return *v;
  }
  Cell c = logic_cell(step.case_sensitive);
  if (!set_value) {
    if (selector->is(TYPE_WORD) && !value->is(TYPE_HASH)) return block::select_word(*value, *selector, step.case_sensitive);
    using namespace act::select;
    return call_action(SHAPE, {{SERIES, *value}, {VALUE, *selector}, {ONLY, T()}, {CASE, c}});
  }
  Cell found =
      call_action(act::find::SHAPE, {{act::find::SERIES, *value}, {act::find::VALUE, *selector}, {act::find::CASE, c}});
  if (!is_any_block(found.type())) fire(ErrId::BAD_PATH_SET, step.path ? *step.path : *selector, found);
  series_poke(found, 2, *v);
  return *v;
}

// What path! takes from block!: everything but random, sort and trim, and
// the slots it has of its own.
constexpr ActionId kPathFromBlock[] = {ACT_REFLECT, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT,     ACT_BACK,
                                       ACT_CHANGE,  ACT_CLEAR,     ACT_FIND,    ACT_HEAD,   ACT_HEAD_Q, ACT_INDEX_Q,
                                       ACT_INSERT,  ACT_LENGTH_Q,  ACT_MOVE,    ACT_NEXT,   ACT_PICK,   ACT_POKE,
                                       ACT_PUT,     ACT_REMOVE,    ACT_REVERSE, ACT_SELECT, ACT_SKIP,   ACT_SWAP,
                                       ACT_TAIL,    ACT_TAIL_Q,    ACT_TAKE,    ACT_MODIFY};

}  // namespace

// The searching and editing actions (append, insert, change, find, put,
// select, sort, swap, trim) live in block_edit.cpp.
void register_block_edit(TypeBuilder& b);

void register_type_BLOCK() {
  TypeBuilder b(TYPE_BLOCK);
  b.inherit(kFromSeries);
  b.action(ACT_MAKE, block_make)
      .action(ACT_TO, block_to)
      .action(ACT_COPY, block_copy_action)
      .action(ACT_TAKE, block_take)
      .eval_path(block_eval_path)
      .form(block_form)
      .mold(block_mold)
      .compare(block_compare);
  register_block_edit(b);
  b.done();
}

// paren! is a block! in every action but trim, and molds in parentheses.
void register_type_PAREN() {
  TypeBuilder b(TYPE_PAREN);
  for (int a = 1; a <= ACTION_COUNT; a++)
    if (a != ACT_TRIM && a != ACT_MOLD) b.inherit(ActionId(a));
  b.mold(paren_mold).done();
}

void register_type_PATH() {
  TypeBuilder b(TYPE_PATH);
  for (ActionId a : kPathFromBlock) b.inherit(a);
  b.action(ACT_MAKE, path_make)
      .action(ACT_TO, path_to)
      .action(ACT_COPY, block_copy_action)
      .form(path_form)
      .mold(path_mold)
      .done();
}

void register_type_LIT_PATH() { TypeBuilder(TYPE_LIT_PATH).inherit_rest().mold(lit_path_mold).done(); }
void register_type_SET_PATH() { TypeBuilder(TYPE_SET_PATH).inherit_rest().mold(set_path_mold).done(); }
void register_type_GET_PATH() { TypeBuilder(TYPE_GET_PATH).inherit_rest().mold(get_path_mold).done(); }

}  // namespace vel
