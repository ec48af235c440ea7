#include "datatypes/context.h"

#include <algorithm>

#include "cycle.h"
#include "datatypes/core_words.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "families.h"
#include "roots.h"
#include "series_ops.h"
#include "stack.h"

namespace vel::context {

NodeId g_global = 0;

namespace {

inline uint32_t series_length(NodeId n) { return node_buffer(n)->used() / sizeof(Cell); }

// Appends one cell to a value series.
may_gc void append_value(NodeId values, const Cell& v) {
  Cell copy = v;  // v may sit in a buffer that the growth moves
  *alloc_tail(values) = copy;
}

// Looks a symbol up in the word table: the table position of the matching
// word cell, or -1.
int32_t table_position(NodeId ctx, uint32_t symbol, bool case_insensitive) {
  return hash_table::find_or_add_word(word_table(ctx), symbol, case_insensitive, nullptr, nullptr);
}

// Gives a context that shares its word table a copy of its own, its words
// bound to it and flagged from w3.
may_gc void own_words(NodeId ctx_in) {
  RootedNode ctx(ctx_in);
  NodeId table = hash_table::copy(word_table(ctx), 0);
  Cell& c = cell(ctx);
  uint32_t flags = c.w3;
  c.w1 = table;
  c.w3 = 0;
  c.header &= ~SHARED_WORDS;
  for (uint32_t i = 0, n = word_count(ctx); i < n; i++) {
    Cell* w = word_at(ctx, i);
    w->w1 = ctx;
    w->header = ((flags >> i) & 1) ? (w->header | WORD_CHANGED) : (w->header & ~WORD_CHANGED);
  }
}

// A heap context with fresh unset! values over the source's shared table.
may_gc NodeId share_words_of(NodeId src_in, uint32_t flags, Kind k) {
  RootedNode src(src_in);
  uint32_t n = word_count(src);
  RootedNode node(alloc_unset_cells(2));
  node_buffer(node)->tail = 2 * sizeof(Cell);
  uint32_t header = TYPE_CONTEXT | (uint32_t(k) << KIND_SHIFT) | (cell(src).header & SELF_FLAG) | SHARED_WORDS;
  cell(node) = Cell{header, word_table(src), 0, flags};
  NodeId values = alloc_unset_cells(std::max<uint32_t>(n, 1));
  Buffer* v = node_buffer(values);
  v->tail = v->head + n * sizeof(Cell);
  cell(node).w2 = values;
  return node;
}


}  // namespace

void init_global() {
  symbol::init_block();
  register_root_node("global context", &g_global);
  g_global = create(GLOBAL_SLOTS, false, false, 0, KIND_PLAIN);
}

uint32_t value_count(NodeId ctx) {
  const Cell& c = cell(ctx);
  if (c.header & STACK_VALUES) {
    if (c.w2 == NO_STACK_VALUES) return 0;
    uint32_t live = cell_index(g_stack.top);
    uint32_t n = c.w2 < live ? live - c.w2 : 0;
    return std::min(n, word_count(ctx));
  }
  return c.w2 ? series_length(c.w2) : 0;
}

Cell* value_at(NodeId ctx, uint32_t n) {
  const Cell& c = cell(ctx);
  if (c.header & STACK_VALUES) {
    // Only the running call's own cells: below the stack top and within the
    // context's words.
    if (c.w2 == NO_STACK_VALUES || n >= word_count(ctx)) return nullptr;
    uint64_t at = uint64_t(c.w2) + n;
    if (at >= cell_index(g_stack.top)) return nullptr;
    return g_stack.begin + at;
  }
  if (!c.w2) return nullptr;
  Buffer* b = node_buffer(c.w2);
  if (n >= b->used() / sizeof(Cell)) return nullptr;
  return b->cells() + n;
}

int32_t stack_values(NodeId ctx) {
  const Cell& c = cell(ctx);
  if (!(c.header & STACK_VALUES) || c.w2 == NO_STACK_VALUES) return -1;
  return int32_t(c.w2);
}

void set_stack_values(NodeId ctx, int32_t base) {
  Cell& c = cell(ctx);
  if (!(c.header & STACK_VALUES)) fire(ErrId::INVALID_ARG);
  c.w2 = base < 0 ? NO_STACK_VALUES : uint32_t(base);
}

// --- word table --------------------------------------------------------------

int32_t find_word(NodeId ctx, uint32_t sym, bool case_insensitive) {
  int32_t k = table_position(ctx, sym, case_insensitive);
  return k < 0 ? -1 : word_at(ctx, uint32_t(k))->i3();
}

void clear_changed(NodeId ctx) {
  if (shares_words(ctx)) {
    cell(ctx).w3 = 0;
    return;
  }
  for (uint32_t i = 0, n = word_count(ctx); i < n; i++) word_at(ctx, i)->header &= ~WORD_CHANGED;
}

may_gc int32_t find_or_add(NodeId ctx, uint32_t sym, bool case_insensitive, int32_t* added) {
  if (shares_words(ctx)) [[unlikely]] {
    int32_t found = find_word(ctx, sym, case_insensitive);
    if (found >= 0) return found;
    own_words(ctx);
  }
  Cell proto = make_cell(TYPE_WORD, ctx);
  int32_t k = hash_table::find_or_add_word(word_table(ctx), sym, case_insensitive, &proto, added);
  return k < 0 ? -1 : word_at(ctx, uint32_t(k))->i3();
}

may_gc int32_t add_word(NodeId ctx, uint32_t sym) {
  RootedNode keep(ctx);
  int32_t added = -1;
  int32_t found = find_or_add(keep, sym, true, &added);
  if (found >= 0) return found;
  if (!is_stack(keep)) append_value(cell(keep).w2, unset_cell());
  return added;
}

may_gc bool add_with(NodeId ctx, uint32_t sym, const Cell& value) {
  RootedNode keep(ctx);
  RootedCell v(value);
  int32_t added = -1;
  if (find_or_add(keep, sym, true, &added) >= 0) return false;
  if (is_stack(keep)) fire(ErrId::NOT_IN_CONTEXT, make_cell(TYPE_WORD, keep, sym, uint32_t(added)));
  append_value(cell(keep).w2, *v);
  return true;
}

may_gc void put_value(NodeId ctx, uint32_t sym, const Cell& value) {
  RootedNode keep(ctx);
  RootedCell v(value);
  int32_t added = -1;
  int32_t found = find_or_add(keep, sym, true, &added);
  if (found >= 0) {
    Cell* slot = value_at(keep, uint32_t(found));
    if (!slot) fire(ErrId::NOT_DEFINED, make_cell(TYPE_WORD, keep, sym, uint32_t(found)));
    *slot = *v;
    return;
  }
  if (is_stack(keep)) fire(ErrId::NOT_IN_CONTEXT, make_cell(TYPE_WORD, keep, sym, uint32_t(added)));
  append_value(cell(keep).w2, *v);
}

may_gc bool collect_set_words(NodeId ctx, const Cell& block) {
  RootedNode keep(ctx);
  RootedNode blk(block.node());
  if (!blk) return false;
  uint32_t before = value_count(keep);
  for (uint32_t i = uint32_t(std::max(block.index(), 0));; i++) {
    Buffer* b = node_buffer(blk);
    if (i >= b->used() / sizeof(Cell)) break;
    const Cell& c = b->cells()[i];
    if (c.is(TYPE_SET_WORD)) add_word(keep, c.w2);
  }
  return value_count(keep) > before;
}

// --- get and set -------------------------------------------------------------------

Cell* get_in(const Cell& word, NodeId ctx) {
  int32_t index = word.i3();
  if (index < 0) {
    if (word.w1 && word.w2 == sym_exact(SymId::SELF)) return &owner(word.w1);
    fire(ErrId::NO_VALUE, word);
  }
  Cell* v = ctx ? value_at(ctx, uint32_t(index)) : nullptr;
  if (!v) fire(ErrId::NOT_IN_CONTEXT, word);
  return v;
}

may_gc Cell* set_in(Cell* word, const Cell& value, NodeId ctx, bool notify) {
  if (!ctx) fire(ErrId::NOT_IN_CONTEXT, *word);
  RootedNode keep(ctx);
  RootedCell v(value);
  int32_t index = word->i3();
  if (index < 0) {
    index = find_word(keep, word->w2, true);
    if (index < 0) {
      if (is_stack(keep)) fire(ErrId::NOT_IN_CONTEXT, *word);
      index = add_word(keep, word->w2);
    }
    word->w3 = uint32_t(index);
  }
  Cell* slot = value_at(keep, uint32_t(index));
  if (!slot) fire(ErrId::NOT_DEFINED, *word);
  if (kind(keep) != KIND_OBJECT || is_stack(keep)) {
    *slot = *v;
    return slot;
  }
  mark_changed(keep, uint32_t(index));
  if (!notify) {
    *slot = *v;
    return slot;
  }
  // The handler sees the new value in place and the old one as argument.
  RootedCell old(*slot);
  *slot = *v;
  RootedCell w(*word);
  Cell* top = g_stack.top;
  object::on_context_change(keep, *w, *old, *v);
  g_stack.top = top;
  slot = value_at(keep, uint32_t(index));
  if (!slot) fire(ErrId::NOT_DEFINED, *w);
  return slot;
}

// --- making contexts -----------------------------------------------------------------

may_gc NodeId create(uint32_t slots, bool stack, bool self, NodeId source, Kind k) {
  uint32_t n = std::max<uint32_t>(slots, 1);
  RootedNode src(source);
  RootedNode node(alloc_unset_cells(2));
  node_buffer(node)->tail = 2 * sizeof(Cell);
  uint32_t header = TYPE_CONTEXT | (uint32_t(k) << KIND_SHIFT) | (self ? SELF_FLAG : 0) | (stack ? STACK_VALUES : 0);
  // The cell is valid before each allocation that follows, so the new table
  // and values are reachable from the node as soon as they exist.
  cell(node) = Cell{header, 0, stack ? NO_STACK_VALUES : 0, 0};
  NodeId table = src ? hash_table::copy(word_table(src), 0) : hash_table::make(n, 0, hash_table::KIND_WORDS);
  cell(node).w1 = table;
  if (!stack) {
    NodeId values = alloc_unset_cells(n);
    cell(node).w2 = values;
  }
  return node;
}

may_gc NodeId from_spec(const Cell& spec, bool stack, bool self, Kind k) {
  RootedNode blk(spec.node());
  uint32_t ncells = blk ? series_length(blk) : 0;
  RootedNode ctx(create(ncells, stack, self, 0, k));
  uint32_t count = 0;
  for (uint32_t i = 0; blk; i++) {
    Buffer* b = node_buffer(blk);
    if (i >= b->used() / sizeof(Cell)) break;
    Cell c = b->cells()[i];
    switch (c.type()) {
      case TYPE_WORD:
      case TYPE_GET_WORD:
      case TYPE_LIT_WORD:
      case TYPE_REFINEMENT: {
        int32_t added = -1;
        if (find_or_add(ctx, c.w2, true, &added) < 0) count++;
        break;
      }
      default: break;
    }
  }
  if (!stack) {
    // The value series was made with room for every cell of the spec.
    Buffer* v = node_buffer(cell(ctx).w2);
    for (uint32_t i = 0; i < count; i++) v->cells()[i] = unset_cell();
    v->tail = v->head + count * sizeof(Cell);
  }
  return ctx;
}

may_gc NodeId clone_sharing(Cell* object, Kind k) {
  NodeId src = object->w1;
  if (!src || is_stack(src) || word_count(src) > SHARED_WORDS_MAX) fire(ErrId::INVALID_ARG, *object);
  NodeId ctx = share_words_of(src, 0, k);
  object->w1 = ctx;
  return ctx;
}

may_gc NodeId clone(Cell* object, Kind k) {
  NodeId src = object->w1;
  if (!src) fire(ErrId::INVALID_ARG, *object);
  if (shares_words(src)) {
    NodeId ctx = share_words_of(src, cell(src).w3, k);
    object->w1 = ctx;
    return ctx;
  }
  uint32_t flags = cell(src).header;
  RootedNode ctx(create(word_count(src), flags & STACK_VALUES, flags & SELF_FLAG, src, k));
  uint32_t n = word_count(ctx);
  for (uint32_t i = 0; i < n; i++) word_at(ctx, i)->w1 = ctx;
  if (!is_stack(ctx)) {
    // Fresh values, one per word, for the caller to fill.
    NodeId values = cell(ctx).w2;
    if (node_buffer(values)->capacity < uint64_t(n) * sizeof(Cell)) expand_series(values, uint64_t(n) * sizeof(Cell));
    Buffer* v = node_buffer(values);
    for (uint32_t i = 0; i < n; i++) v->cells()[i] = unset_cell();
    v->tail = v->head + n * sizeof(Cell);
  }
  object->w1 = ctx;
  return ctx;
}

// --- binding -------------------------------------------------------------------------------

int32_t bind_word(NodeId ctx, Cell* word) {
  int32_t index = find_word(ctx, word->w2, true);
  if (index >= 0) {
    word->w1 = ctx;
    word->w3 = uint32_t(index);
  }
  return index;
}

may_gc void bind(const Cell& block, NodeId ctx, bool self_flag) {
  NodeId n = block.node();
  if (!n || cycles_find(n)) return;
  CycleScope guard(n);
  uint32_t self_sym = sym_exact(SymId::SELF);
  for (uint32_t i = uint32_t(std::max(block.index(), 0));; i++) {
    Buffer* b = node_buffer(n);
    if (i >= b->used() / sizeof(Cell)) break;
    Cell c = b->cells()[i];
    TypeId t = c.type();
    if (is_any_block(t)) {
      bind(c, ctx, self_flag);
    } else if (is_bindable_word(t)) {
      if (self_flag && t == TYPE_WORD && c.w2 == self_sym) {
        c.w1 = ctx;
        c.w3 = uint32_t(-1);
      } else if (bind_word(ctx, &c) < 0) {
        continue;
      }
      node_buffer(n)->cells()[i] = c;
      series_changed(n);
    }
  }
}

// --- global context ---------------------------------------------------------------

may_gc Cell add_global_word(uint32_t sym, bool case_insensitive, bool keep_text) {
  NodeId g = g_global;
  int32_t added = -1;
  Cell proto = make_cell(TYPE_WORD, g);
  int32_t k = hash_table::find_or_add_word(word_table(g), sym, case_insensitive, &proto, &added);
  if (k >= 0) {
    Cell w = *word_at(g, uint32_t(k));
    w.header = TYPE_WORD;
    if (keep_text) w.w2 = sym;
    return w;
  }
  append_value(cell(g).w2, unset_cell());
  uint32_t index = uint32_t(added);
  if (symbol::get_alias(sym) > 0) {
    // A case variant shares the value of the first case-insensitive match
    // (itself when it is the only one).
    int32_t first = table_position(g, sym, true);
    if (first >= 0 && uint32_t(first) != uint32_t(added)) {
      index = word_at(g, uint32_t(first))->w3;
      word_at(g, uint32_t(added))->w3 = index;
    }
  }
  return make_cell(TYPE_WORD, g, sym, index);
}

Cell* word_value_cell(NodeId ctx, uint32_t sym) {
  if (!ctx || is_stack(ctx)) ctx = g_global;
  int32_t index = find_word(ctx, sym, true);
  return index < 0 ? nullptr : value_at(ctx, uint32_t(index));
}

}  // namespace vel::context

namespace vel {

// context! cells only head context nodes: no action applies to them.
void register_type_CONTEXT() { TypeBuilder(TYPE_CONTEXT).done(); }

}  // namespace vel
