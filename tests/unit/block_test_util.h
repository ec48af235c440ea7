// Helpers of the series and block tests: blocks built from cells, molded
// and formed text, and errors caught for inspection.
#pragma once
#include "error_of.h"
#include "gc_scope.h"
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "collector.h"
#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "roots.h"

namespace vel::blocktest {

inline Cell I(int32_t v) { return integer_cell(v); }
inline Cell F() { return logic_cell(false); }
inline Cell T() { return logic_cell(true); }
inline Cell N() { return none_cell(); }

// A new series of type t holding the cells, at index `at`. The cells must
// be reachable otherwise when the collector may run.
inline Cell make_block(std::initializer_list<Cell> cells, int32_t at = 0, TypeId t = TYPE_BLOCK) {
  RootedCell b(block::make_at(int64_t(cells.size()), t));
  for (const Cell& c : cells) block::rs_append(b->node(), c);
  b->w1 = uint32_t(at);
  return *b;
}

inline Cell ints(std::initializer_list<int32_t> vs, int32_t at = 0) {
  RootedCell b(block::make_at(int64_t(vs.size())));
  for (int32_t v : vs) block::rs_append(b->node(), integer_cell(v));
  b->w1 = uint32_t(at);
  return *b;
}

inline Cell at_index(Cell b, int32_t i) {
  b.w1 = uint32_t(i);
  return b;
}

inline Cell with_new_line(Cell c) {
  c.set_new_line(true);
  return c;
}

inline std::string molded(Cell v, uint32_t flags = 0) {
  RootedNode out(make_string(16));
  mold_value(v, out, flags);
  return string_text(out);
}

inline std::string formed(Cell v) {
  RootedNode out(make_string(16));
  form_value(v, out);
  return string_text(out);
}

// A string! value of ASCII text.
inline Cell text(const char* s) {
  RootedNode n(make_string(16));
  append_latin1(n, s);
  return series_cell(TYPE_STRING, n, 0);
}



}  // namespace vel::blocktest
