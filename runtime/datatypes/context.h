// Contexts: the namespaces in which words are looked up.
//
// A context is named by its node: a series of two cells,
//   cell 0  the context! cell
//             header  type 14; bits 11-12 the kind; bit 22 values on the
//                     argument stack; bit 24 made for an object with self;
//                     bit 25 the word table is shared (below)
//             w1      the word table: a word-kind hash table whose backing
//                     block holds one word cell per word, in index order
//             w2      heap context: the node of the value series (cell n is
//                     the value of word n); stack context: the argument-stack
//                     cell index of the running call's first value, or
//                     NO_STACK_VALUES while no call runs
//             w3      with a shared table, the change flags (bit n: word n)
//   cell 1  the owner (object!, function! ...), what `self` yields; unset!
//           until the owner's constructor writes it.
//
// A word cell of a table is {word! header, context node, symbol id, value
// index}. The value index equals the word's position, except in the global
// context, where a case variant added by an exact lookup shares the value of
// the first case-insensitive match. Function contexts keep no values: one
// body bound once serves every call, recursive ones included, because the
// call machinery points the context at the call's cells (set_stack_values).
//
// Every access checks its index against the values that exist: a bad index
// raises an error rather than reading or writing past a series or a call.
#pragma once
#include <cstdint>

#include "cell.h"
#include "hashtable.h"
#include "memory.h"

namespace vel::context {

enum Kind : uint32_t { KIND_PLAIN = 0, KIND_FUNCTION = 1, KIND_OBJECT = 2 };

constexpr uint32_t KIND_SHIFT = 11;
constexpr uint32_t KIND_MASK = 3u << KIND_SHIFT;
constexpr uint32_t STACK_VALUES = CELL_CONTEXT_STACK_VALUES;
constexpr uint32_t SELF_FLAG = 1u << 24;
constexpr uint32_t SHARED_WORDS = 1u << 25;
// The most words a shared table may hold: one change flag each in w3.
constexpr uint32_t SHARED_WORDS_MAX = 32;
constexpr uint32_t NO_STACK_VALUES = 0xFFFFFFFF;
// Set on a word cell of an object's table when its field is assigned.
constexpr uint32_t WORD_CHANGED = 1u << 13;

constexpr uint32_t GLOBAL_SLOTS = 4000;

// The global context; 0 until start-up makes it. A collector root.
extern NodeId g_global;

// Start-up step "global context": the symbol block, then the global context.
void init_global();

// --- the context cell ------------------------------------------------------

inline Cell& cell(NodeId ctx) { return node_buffer(ctx)->cells()[0]; }
inline Cell& owner(NodeId ctx) { return node_buffer(ctx)->cells()[1]; }
inline bool is_stack(NodeId ctx) { return cell(ctx).header & STACK_VALUES; }
inline Kind kind(NodeId ctx) { return Kind((cell(ctx).header & KIND_MASK) >> KIND_SHIFT); }
inline NodeId word_table(NodeId ctx) { return cell(ctx).w1; }
// The block of word cells.
inline NodeId words_block(NodeId ctx) { return hash_table::header(word_table(ctx))->block; }
inline uint32_t word_count(NodeId ctx) { return node_buffer(words_block(ctx))->used() / sizeof(Cell); }
inline bool shares_words(NodeId ctx) { return cell(ctx).header & SHARED_WORDS; }
// Word cell n of the table (n < word_count), as stored: its context is the
// table's first owner's, and its change flag is stale for a shared table.
// Valid until the next allocation.
inline Cell* word_at(NodeId ctx, uint32_t n) { return &node_buffer(words_block(ctx))->cells()[n]; }
// Whether field n of an object context was assigned.
inline bool changed(NodeId ctx, uint32_t n) {
  if (shares_words(ctx)) [[unlikely]]
    return (cell(ctx).w3 >> n) & 1;
  return word_at(ctx, n)->header & WORD_CHANGED;
}
// Word n of ctx bound to ctx, with its change flag (n < word_count).
inline Cell word_of(NodeId ctx, uint32_t n) {
  Cell w = *word_at(ctx, n);
  w.w1 = ctx;
  if (shares_words(ctx)) [[unlikely]]
    w.header = changed(ctx, n) ? (w.header | WORD_CHANGED) : (w.header & ~WORD_CHANGED);
  return w;
}
// Flags field n of an object context as assigned.
inline void mark_changed(NodeId ctx, uint32_t n) {
  if (n >= word_count(ctx)) return;
  if (shares_words(ctx)) [[unlikely]]
    cell(ctx).w3 |= 1u << n;
  else
    word_at(ctx, n)->header |= WORD_CHANGED;
}
// Clears every change flag of ctx.
void clear_changed(NodeId ctx);
// Number of value cells that exist now: the value series' length, or, for
// a stack context while a call runs, its word count; 0 without values.
uint32_t value_count(NodeId ctx);
// Value cell n, or null when it does not exist (no values, or n beyond
// them). Valid until the next allocation.
Cell* value_at(NodeId ctx, uint32_t n);

// Stack contexts: the argument-stack cell index of the running call's first
// value, or -1. The call machinery saves the old base, points the context at
// its call's cells, and restores the old base when the call ends.
int32_t stack_values(NodeId ctx);
void set_stack_values(NodeId ctx, int32_t base);

// --- word table ----------------------------------------------------------------

// The value index of a symbol: by canonical id when case_insensitive, else
// by exact id. -1 when absent.
int32_t find_word(NodeId ctx, uint32_t symbol, bool case_insensitive = true);
// As find_word; when absent, appends a word cell (no value cell is made),
// answers -1 and stores the new index in *added.
may_gc int32_t find_or_add(NodeId ctx, uint32_t symbol, bool case_insensitive, int32_t* added);
// Finds or adds a symbol (case-insensitive); a word added to a heap context
// gets one unset! value cell. Answers the index.
may_gc int32_t add_word(NodeId ctx, uint32_t symbol);
// Adds the symbol with a copy of the value only when it is absent; answers
// whether it was added (the value is not stored otherwise).
may_gc bool add_with(NodeId ctx, uint32_t symbol, const Cell& value);
// Finds or adds the symbol and stores a copy of the value.
may_gc void put_value(NodeId ctx, uint32_t symbol, const Cell& value);
// add_word for every set-word! of the block from its index (clamped) to its
// tail; answers whether the value series grew.
may_gc bool collect_set_words(NodeId ctx, const Cell& block);

// --- get and set -------------------------------------------------------------------

// The value cell of a word in ctx. An unresolved word (index -1) yields the
// owner of its own context when its symbol is exactly `self`, else raises
// script/no-value; a context without that value raises not-in-context.
// Valid until the next allocation.
Cell* get_in(const Cell& word, NodeId ctx);
inline Cell* get(const Cell& word) { return get_in(word, word.w1); }

// Stores a copy of value as the word's value in ctx and answers the value
// cell. An unresolved word is looked up and its index cached in *word; one
// still absent is added to a heap context (a stack context raises
// not-in-context: adding it would write past the call's cells). No value
// cell raises not-defined. In an object context the change flag is set and,
// with notify, the object's change protocol (object::on_context_change)
// runs once the new value is in place; the argument stack's top is restored
// after it.
// `word` must not live in a series buffer (the addition may move it): pass
// a local or an argument-stack cell.
may_gc Cell* set_in(Cell* word, const Cell& value, NodeId ctx, bool notify = true);
inline may_gc Cell* set(Cell* word, const Cell& value) { return set_in(word, value, word->w1, true); }

// --- making contexts -----------------------------------------------------------------

// A new context for `slots` words. With a source context the word table
// starts as a copy of the source's (its words still name the source).
may_gc NodeId create(uint32_t slots, bool stack, bool self, NodeId source, Kind kind);
// One word per word!, get-word!, lit-word! and refinement! of the spec block
// (from its head; repeated words once); set-words, blocks, strings and the
// rest are skipped. A heap context gets one unset! value per word.
may_gc NodeId from_spec(const Cell& spec, bool stack, bool self, Kind kind);
// A new context with the words of the object's context rebound to it and
// fresh unset! values; the object's context word (w1) is repointed to it.
// `object` must not live in a series buffer.
may_gc NodeId clone(Cell* object, Kind kind);
// As clone, but the new context shares the source's word table, which must
// never change afterwards (no word added to the source) and hold at most
// SHARED_WORDS_MAX words; the change flags start clear. Clones of the new
// context share the table too.
may_gc NodeId clone_sharing(Cell* object, Kind kind);

// --- binding -------------------------------------------------------------------------------

// Binds one word cell to ctx when the context has its symbol; answers the
// index or -1 (the word keeps its binding).
int32_t bind_word(NodeId ctx, Cell* word);
// Binds the block deeply from its index: blocks, parens, hash! and paths
// inside are walked (each series once: a self-containing block binds once);
// words, set-, lit-, get-words and refinements are bound; with self_flag a
// word! spelled exactly `self` gets ctx and index -1. issue! and other
// values are left alone. Too deep a nesting raises internal/too-deep.
may_gc void bind(const Cell& block, NodeId ctx, bool self_flag);

// --- global context ---------------------------------------------------------------

// Finds or adds the symbol in the global context and answers a word! cell
// for it. Found by a case-insensitive lookup with keep_text, the word keeps
// the requested symbol (its own text) and shares the found value. Added as
// a case variant, it shares the value of the first case-insensitive match.
may_gc Cell add_global_word(uint32_t symbol, bool case_insensitive, bool keep_text);
// The global word of a symbol, found or added by exact lookup.
inline may_gc Cell add_global(uint32_t symbol) { return add_global_word(symbol, false, false); }

// The value cell of a symbol in ctx (the global context for a stack
// context), case-insensitive, or null. Names call frames in reports.
Cell* word_value_cell(NodeId ctx, uint32_t symbol);

}  // namespace vel::context
