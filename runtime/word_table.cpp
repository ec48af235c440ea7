// Word tables: a context's words by symbol, and the symbol table by text.
#include <string>

#include "errors.h"
#include "hashtable.h"
#include "hashtable_internal.h"
#include "symbol_block.h"

namespace vel::symbol {
NodeId g_block = 0;
}  // namespace vel::symbol

namespace vel::hash_table {

using namespace detail;

may_gc int32_t find_or_add_word(NodeId t, uint32_t symbol, bool canonical, const Cell* add, int32_t* index_out) {
  if (!t || header(t)->kind != KIND_WORDS) fire(ErrId::INVALID_ARG);
  Cell word = add ? *add : Cell{};
  if (add) grow_if_full(t);
  uint32_t csym = symbol::resolve(symbol);
  // Both matches (same canonical symbol, or this very symbol) imply the
  // stored hash of the canonical symbol.
  uint32_t hv = hash_int(csym);
  View v = view(t);
  const Cell* cells = cells_of(v.h->block);
  uint32_t ncells = cell_count(v.h->block);
  Probe p = probe(v, hv, [&, v](uint32_t b) {
    uint32_t k = v.key(b);
    if (k >= ncells) return false;
    uint32_t ws = cells[k].w2;
    return canonical ? symbol::resolve(ws) == csym : ws == symbol;
  });
  if (p.found != NO_BUCKET) return int32_t(v.key(p.found));
  uint32_t free_b = p.free;
  if (!add) return -1;
  if (free_b == NO_BUCKET) {
    resize(t, uint64_t(header(t)->buckets) * 2, true);
    return find_or_add_word(t, symbol, canonical, &word, index_out);
  }
  uint32_t index = cell_count(header(t)->block);
  word.w2 = symbol;
  word.w3 = index;
  append_cell(header(t)->block, word);
  occupy(view(t), free_b, index, hv);
  if (index_out) *index_out = int32_t(index);
  return -1;
}

may_gc InternResult intern_symbol(NodeId t, const uint8_t* text, uint32_t length, bool exact,
                                  MakeSymbolCell make_cell_fn, void* ctx) {
  if (!t || header(t)->kind != KIND_WORDS) fire(ErrId::INVALID_ARG);
  grow_if_full(t);
  uint32_t hv = hash_symbol_text(text, length);
  // One pass over the probe sequence; only buckets of the same hash (the
  // case variants and rare collisions) have their texts read. slot gets the
  // bucket where an insertion would go (first deleted, else the empty one
  // that ended the pass). Nothing allocates during the pass.
  uint32_t alias = NOT_INDEXED;
  View v = view(t);
  const Cell* cells = cells_of(v.h->block);
  uint32_t ncells = cell_count(v.h->block);
  // A new case variant's alias: the smallest index among its variants, which
  // is the canonical symbol (interned first). The first variant met in probe
  // order is not always it: resizes re-enter keys in bucket order.
  Probe p = probe(v, hv, [&, v](uint32_t b) {
    uint32_t k = v.key(b);
    const uint8_t* other;
    uint32_t olen;
    if (k >= ncells || !symbol_cell_text(&cells[k], &other, &olen)) return false;
    if (symbol_texts_equal(other, olen, text, length, !exact)) return true;
    if (exact && k < alias && symbol_texts_equal(other, olen, text, length, true)) alias = k;
    return false;
  });
  if (p.found != NO_BUCKET) return {v.key(p.found), false};
  uint32_t slot = p.free;
  if (slot == NO_BUCKET) {
    resize(t, uint64_t(header(t)->buckets) * 2, true);
    return intern_symbol(t, text, length, exact, make_cell_fn, ctx);
  }
  // The text may sit in a buffer that making the symbol moves.
  std::string copy(reinterpret_cast<const char*>(text), length);
  Cell sym = make_cell_fn(ctx, reinterpret_cast<const uint8_t*>(copy.data()), length,
                          alias == NOT_INDEXED ? -1 : int32_t(alias));
  uint32_t index = append_cell(header(t)->block, sym);
  occupy(view(t), slot, index, hv);
  return {index, true};
}

}  // namespace vel::hash_table
