// Helpers shared by the symbol, context, word and typeset tests: blocks
// built from cells, form and mold to text, and errors caught by id.
#pragma once
#include "error_of.h"
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "memory.h"
#include "roots.h"
#include "series_ops.h"

namespace vel::wordtest {

// A series of type t holding copies of the cells.
inline Cell block_of(std::initializer_list<Cell> cells, TypeId t = TYPE_BLOCK) {
  RootedNode n(alloc_cells(cells.size() ? cells.size() : 1));
  for (const Cell& c : cells) {
    Cell copy = c;
    *alloc_tail(n) = copy;
  }
  return series_cell(t, n);
}

inline Cell& at(const Cell& block, uint32_t i) { return node_buffer(block.node())->cells()[i]; }

inline std::string formed(Cell v, int32_t part = NO_PART_LIMIT) {
  RootedNode out(make_string(16));
  form_value(v, out, nullptr, part);
  return string_text(out);
}

inline std::string molded(Cell v, uint32_t flags = 0, int32_t part = NO_PART_LIMIT) {
  RootedNode out(make_string(16));
  mold_value(v, out, flags, nullptr, part);
  return string_text(out);
}


}  // namespace vel::wordtest
