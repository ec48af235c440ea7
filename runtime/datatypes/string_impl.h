// Internals shared by the string modules: read-only views of character
// runs, case keys, /part normalisation and the frame entries that the
// registration in string.cpp installs.
#pragma once
#include <cstdint>

#include "frame.h"
#include "casefold.h"
#include "cell.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "memory.h"
#include "unicode.h"

namespace vel::string::detail {

// n characters of `unit` at p: a snapshot, valid until the next allocation.
struct View {
  const uint8_t* p = nullptr;
  uint32_t unit = 1;
  uint32_t len = 0;
  uint32_t at(uint32_t i) const { return get_char(p + size_t(i) * unit, unit); }
};

// The characters of a string value from its index (clamped) to the tail.
inline View view_of(const Cell& s) {
  Buffer* b = node_buffer(s.node());
  uint32_t total = b->length();
  int64_t i = s.index() < 0 ? 0 : s.index();
  if (i > total) i = total;
  return View{b->head_ptr() + size_t(i) * b->unit(), b->unit(), uint32_t(total - i)};
}

// Upper case for the 256 Latin-1 code points (two of them map beyond 255).
extern const uint32_t* const kUpperLatin1;
inline uint32_t key_of(uint32_t c, bool fold) {
  if (!fold) return c;
  return c < 256 ? kUpperLatin1[c] : to_upper_cp(c);
}

// The /part count against series s: an integer! (a float! truncated), or a
// position in the same series (same type and node: its index minus s's);
// else script/invalid-refine-arg with /part.
int64_t part_count(const Cell& s, const Cell& part);

// The series' index clamped to [0, total], written back into *s.
inline uint32_t clamp_index(Cell* s) {
  uint32_t total = node_buffer(s->node())->length();
  int64_t i = s->index() < 0 ? 0 : s->index();
  if (i > total) i = total;
  s->w1 = uint32_t(i);
  return uint32_t(i);
}

// Forms count cells of a block from start (no separators) onto out, with
// the block on the cycle guard.
may_gc void form_cells_into(NodeId out, const Cell& block, uint32_t start, uint32_t count);

// A refinement cell is used when it holds logic true.

// --- frame entries (layouts at their definitions) ----------------------------------

Status make_action(Cell* base);
Status to_action(Cell* base);
may_gc Cell eval_path_slot(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step);
Status find_action(Cell* base);
Status select_action(Cell* base);
Status append_action(Cell* base);
Status insert_action(Cell* base);
Status change_action(Cell* base);
Status take_action(Cell* base);
Status trim_action(Cell* base);
Status swap_action(Cell* base);
Status sort_action(Cell* base);

}  // namespace vel::string::detail
