// handle!: an operating-system handle (a window, a font, a monitor, a text
// layout, a file descriptor) that the GUI backend hands to Vel code and
// takes back. Scripts can hold, compare, form and mold one, never make it.
//
// Cell: data word 1 the kind; words 2-3 the handle, 64 bits, because a
// rich-text handle is a COM pointer and truncating it to 32 bits would
// crash the call that takes it back.
#pragma once
#include <cstdint>

#include "cell.h"
#include "stack.h"
#include "memory.h"

namespace vel {

enum HandleKind : uint32_t {
  HANDLE_NULL = 0,
  HANDLE_FD = 1,
  HANDLE_MONITOR = 2,
  HANDLE_WINDOW = 3,
  HANDLE_FONT = 4,
  HANDLE_RICH_TEXT = 5,
};

inline Cell handle_cell(uint64_t handle, HandleKind kind) {
  Cell c = make_cell(TYPE_HANDLE, kind);
  c.set_u64(handle);
  return c;
}
inline uint64_t handle_value(const Cell& c) { return c.u64(); }
inline HandleKind handle_kind(const Cell& c) { return HandleKind(c.w1); }

// The kind's name ("window"), or null for a kind without one.
const char* handle_kind_name(HandleKind kind);

}  // namespace vel
