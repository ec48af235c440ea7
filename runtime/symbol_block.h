// The symbol block's ids and case aliases. It sits below the datatypes so
// that the word tables fold a word to its canonical symbol by a direct
// read; the symbol! datatype (datatypes/symbol.h) fills the block and
// describes its cells.
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel::symbol {

// The symbol! cells in id order (id n is cell n - 1); 0 until start-up
// makes it. A collector root (registered by symbol::init_block).
extern NodeId g_block;

inline uint32_t count() { return g_block ? node_buffer(g_block)->used() / sizeof(Cell) : 0; }
inline bool valid(uint32_t id) { return id - 1 < count(); }

// The canonical id; an id that is not a symbol answers itself.
inline uint32_t resolve(uint32_t id) {
  if (!valid(id)) return id;
  int32_t alias = int32_t(node_buffer(g_block)->cells()[id - 1].w1);
  return alias > 0 ? uint32_t(alias) : id;
}

}  // namespace vel::symbol
