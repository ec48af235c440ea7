// Words: a symbol bound to a context. word!, set-word!, lit-word!,
// get-word!, refinement! (and issue!) share one cell:
//
//   header  type 15-20; bit 30 new line; in a context's word table bit 13
//           is the object change flag
//   w1      the node of the context the word is bound to, 0 when unbound
//   w2      symbol id: the word's own text (case variants keep their id)
//   w3      value index in the context, or -1 when not resolved
//
// Retyping between the word types keeps the three data words.
#pragma once
#include <cstdint>
#include <string_view>

#include "families.h"
#include "cell.h"
#include "hashtable.h"
#include "memory.h"

namespace vel::word {

inline Cell make(TypeId t, NodeId ctx, uint32_t symbol, int32_t index) {
  return make_cell(t, ctx, symbol, uint32_t(index));
}

// --- construction (bound to the global context) ----------------------------

// Interns the text exactly and finds or adds it in the global context
// case-insensitively: Print after print shares print's value and keeps its
// own text.
may_gc Cell load(std::string_view text);
// A word! for the symbol in the global context (found, or added with an
// unset! value).
may_gc Cell make_global(uint32_t symbol);
// An unbound refinement! (context 0, index -1).
may_gc Cell load_refinement(std::string_view text);

// --- positional access (natives: a context node and a fixed index) ----------

// Pushes word n of the context's table, retyped.
Cell* push_local(NodeId ctx, uint32_t n, TypeId as = TYPE_WORD);
// Pushes a copy of value n; a context without that value raises
// script/not-defined naming word n.
Cell* get_local(NodeId ctx, uint32_t n);
// Copies the argument stack's top cell into value n; in an object context
// sets the change flag of word n.
void set_local(NodeId ctx, uint32_t n);

// --- get and set -----------------------------------------------------------------

// The value of a word, as a word! evaluates: unset! raises script/no-value.
Cell get(const Cell& w);
// The value as a get-word! evaluates: no unset! check.
Cell get_any(const Cell& w);
// Sets a word, as `set` does: unset! raises script/need-value. `w` must
// not live in a series buffer (see context::set_in).
may_gc void set(Cell* w, const Cell& value);
// As set, without the unset! check (set-word! assignment).
may_gc void set_any(Cell* w, const Cell& value);

// --- conversions --------------------------------------------------------------------

// make and to of the word types (one routine for both): the result has the
// requested type and a fresh header.
may_gc Cell convert(TypeId target, const Cell& spec);
// Whether convert takes a spec of this type at all.
bool converts_from(TypeId t);

}  // namespace vel::word
