// The symbol table: every word text the system meets is interned once and
// named from then on by its symbol id.
//
// Symbols live in one global block of symbol! cells in id order (id n is
// cell n - 1; 0 is never a symbol), indexed by a word-kind hash table over
// the ASCII-folded text. A symbol! cell:
//
//   header  type 13
//   w1      alias: -1 for a canonical symbol, else the id of the first
//           interned text with the same letters (ASCII A-Z folded)
//   w2      0, or the node of the string! decoded from the text for display
//           (made on first demand, kept for good)
//   w3      node of a byte series holding the UTF-8 text, NUL after its tail
//
// Each written form keeps its own id, so Foo molds as Foo; lookups in
// contexts go through the canonical id, which makes words case-insensitive
// for ASCII letters only. Symbols are never removed and never change, and
// ids are full 32-bit values everywhere (no 16-bit fields).
#pragma once
#include <cstdint>
#include <string_view>

#include "cell.h"
#include "hashtable.h"
#include "memory.h"
#include "symbol_block.h"

namespace vel::symbol {

constexpr uint32_t INITIAL_SYMBOLS = 4000;

// The symbol block (symbol_block.h) has a hash table; 0 until start-up
// makes it. A collector root (registered by init_table).
extern NodeId g_table;

// Start-up, in this order: the block, before the global context; the hash,
// after the case-folding tables.
void init_block();
void init_table();

// Exact intern: the id of this written form (a new case variant records the
// canonical symbol as its alias).
may_gc uint32_t make(std::string_view utf8);
// Case-insensitive intern (symbol/make*): the id of any existing case
// variant, else a new canonical symbol.
may_gc uint32_t make_star(std::string_view utf8);
// The text of a string value from its index, at most `limit` characters
// (-1 for all), interned exactly.
may_gc uint32_t make_from_string(const Cell& string, int32_t limit = -1);

// The raw alias word: -1 for a canonical symbol (and for a non-symbol id).
int32_t get_alias(uint32_t id);

// A copy of the symbol! cell (an empty cell for a non-symbol id).
Cell get(uint32_t id);

// The UTF-8 text. The view points into a series buffer: it is valid only
// until the next allocation.
std::string_view text(uint32_t id);

// The node of the display string (string!, narrowest unit), made on first
// use (symbol/cache-text). 0 for a non-symbol id.
may_gc NodeId cached_text(uint32_t id);

// Compares two symbols' texts as strings under a comparison operator:
// characters folded to upper case except for operators 2 and 8; -1, 0 or 1.
// Does not allocate.
int32_t compare_text(uint32_t a, uint32_t b, int op);

// The same over two symbol! cells.
int32_t compare_cells_text(const Cell& a, const Cell& b, int op);

}  // namespace vel::symbol
