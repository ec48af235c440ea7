// The ownership table: which object a series belongs to, and under which
// field. Entries are made only while the series' owned flag is clear, so
// the first owner of a series keeps it; the flag is the fast test every
// modifying action makes before asking the table.
#include "datatypes/ownership.h"

#include "collector.h"
#include "cycle.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "families.h"
#include "datatypes/object.h"
#include "hashtable.h"
#include "roots.h"

namespace vel {

namespace {

constexpr const char* kChangeWordNames[] = {
#define VEL_X(cname, name) name,
    VEL_CHANGE_WORDS(VEL_X)
#undef VEL_X
};

// The runtime words of the change words, in the same order.
constexpr SymId kChangeSyms[] = {
    SymId::RANDOM, SymId::RANDOMIZED, SymId::MOVE,   SymId::MOVED,    SymId::CLEAR,   SymId::CLEARED,
    SymId::POKE,   SymId::POKED,      SymId::REMOVE, SymId::REMOVED,  SymId::REVERSE, SymId::REVERSED,
    SymId::TAKE,   SymId::TAKEN,      SymId::PUT,    SymId::PUT_ED,   SymId::SORT,    SymId::SORTED,
    SymId::APPEND, SymId::APPENDED,   SymId::INSERT, SymId::INSERTED, SymId::CHANGE,  SymId::CHANGED,
    SymId::SWAP,   SymId::SWAPED,     SymId::TRIM,   SymId::TRIMMED,
};
static_assert(sizeof(kChangeSyms) / sizeof(kChangeSyms[0]) == sizeof(kChangeWordNames) / sizeof(kChangeWordNames[0]));

// Held weakly: the collector keeps the table's own arrays, and an entry
// while its series and its owner live (roots.h, register_weak_table).
NodeId g_table = 0;

enum EntryCell : uint32_t {
  E_VALUE = hash_table::OWNED_VALUE,
  E_OWNER = hash_table::OWNED_BY,
  E_WORD = hash_table::OWNED_AS,
  E_CELLS = hash_table::OWNERSHIP_CELLS,
};

// Series kinds that carry an owned flag.
inline bool is_ownable_series(TypeId t) { return is_series_type(t) || t == TYPE_BITSET; }

may_gc NodeId table() {
  if (!g_table) {
    g_table = hash_table::make(16, 0, hash_table::KIND_OWNERSHIP, E_CELLS, true);
    register_weak_table("ownership table", &g_table);
  }
  return g_table;
}

inline uint32_t cells_in(NodeId n) { return node_buffer(n)->used() >> 4; }

may_gc void bind_value(const Cell& v_in, const Cell& owner, const Cell& word);

may_gc void bind_object_fields(NodeId ctx, const Cell& owner, bool own_words, const Cell& word) {
  RootedNode keep(ctx);
  for (uint32_t i = 0; i < context::value_count(keep); i++) {
    Cell v = *context::value_at(keep, i);
    if (is_any_object(v.type()) && v.w1 == owner.w1) continue;
    Cell w = word;
    if (own_words) {
      w = context::word_of(keep, i);
      w.header = TYPE_WORD;
    }
    RootedCell field_word(w);
    bind_value(v, owner, *field_word);
  }
}

may_gc void bind_value(const Cell& v_in, const Cell& owner_in, const Cell& word_in) {
  RootedCell v(v_in), owner(owner_in), word(word_in);
  TypeId t = v->type();
  if (is_ownable_series(t)) {
    NodeId n = v->node();
    if (!n) return;
    if (!(node_buffer(n)->flags & BUF_OWNED)) {
      Cell* e = hash_table::put_int(table(), n);
      e[E_VALUE] = *v;
      e[E_OWNER] = *owner;
      e[E_WORD] = *word;
      node_buffer(n)->flags |= BUF_OWNED;
    }
    if (!is_any_block(t) || cycles_find(n)) return;
    CycleScope guard(n);
    WalkDepth depth;
    for (uint32_t i = 0; i < cells_in(n); i++) bind_value(node_buffer(n)->cells()[i], *owner, *word);
    return;
  }
  if (t == TYPE_OBJECT) {
    NodeId ctx = v->w1;
    if (!ctx || (node_buffer(ctx)->flags & BUF_OWNS_SERIES) || cycles_find(ctx)) return;
    CycleScope guard(ctx);
    WalkDepth depth;
    bind_object_fields(ctx, *owner, true, *word);
  }
}

may_gc void unbind_value(const Cell& v_in) {
  RootedCell v(v_in);
  TypeId t = v->type();
  if (is_ownable_series(t)) {
    NodeId n = v->node();
    if (!n) return;
    node_buffer(n)->flags &= ~BUF_OWNED;
    if (g_table) {
      if (Cell* e = hash_table::delete_int(g_table, n))
        for (uint32_t i = 0; i < E_CELLS; i++) e[i] = unset_cell();
    }
    if (!is_any_block(t) || cycles_find(n)) return;
    CycleScope guard(n);
    WalkDepth depth;
    for (uint32_t i = 0; i < cells_in(n); i++) unbind_value(node_buffer(n)->cells()[i]);
    return;
  }
  if (t == TYPE_OBJECT) {
    NodeId ctx = v->w1;
    if (!ctx || (node_buffer(ctx)->flags & BUF_OWNS_SERIES) || cycles_find(ctx)) return;
    CycleScope guard(ctx);
    WalkDepth depth;
    RootedNode keep(ctx);
    for (uint32_t i = 0; i < context::value_count(keep); i++) unbind_value(*context::value_at(keep, i));
  }
}

}  // namespace

NodeId ownership_table() { return g_table; }

may_gc bool ownership_check(const Cell& series_in, ChangeWord action, const Cell& value_in, int32_t index,
                            int32_t count) {
  if (!g_table) return false;
  NodeId key = is_any_object(series_in.type()) ? series_in.w1 : series_in.node();
  if (!key) return false;
  Cell* e = hash_table::get_int(g_table, key);
  if (!e || !e[E_OWNER].w3) return false;
  Cell owner = e[E_OWNER], word = e[E_WORD];
  RootedCell o(owner), w(word), s(series_in), v(value_in);
  RootedCell act(runtime_word(kChangeSyms[size_t(action)]));
  // The handler runs between the halves of a change: code compiled from
  // the series in one report is not taken for it in the next.
  if (!is_any_object(series_in.type())) series_changed(key);
  object::fire_on_deep_change(*o, *w, *s, *act, *v, index, count);
  return true;
}

may_gc bool ownership_get_owner(NodeId series, Cell* owner) {
  if (!g_table || !series) return false;
  Cell* e = hash_table::get_int(g_table, series);
  if (!e) return false;
  *owner = e[E_OWNER];
  return true;
}

may_gc bool ownership_get_word(NodeId series, Cell* word) {
  if (!g_table || !series) return false;
  Cell* e = hash_table::get_int(g_table, series);
  if (!e) return false;
  *word = e[E_WORD];
  return true;
}

may_gc void ownership_bind(const Cell& value, const Cell& owner, const Cell& field_word) {
  bind_value(value, owner, field_word);
}

may_gc void ownership_bind_owner(const Cell& owner_in) {
  RootedCell owner(owner_in);
  NodeId ctx = owner->w1;
  if (!ctx) return;
  {
    // The owner's own context is on the guard, so a field that leads back
    // to it is not walked again.
    CycleScope guard(ctx);
    bind_object_fields(ctx, *owner, true, none_cell());
  }
  node_buffer(owner->w1)->flags |= BUF_OWNS_SERIES;
}

may_gc void ownership_unbind(const Cell& value) { unbind_value(value); }

}  // namespace vel
