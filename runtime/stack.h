// The argument stack and the call-frame stack.
//
// Every call runs on two preallocated stacks: cells (arguments, locals of
// function contexts, intermediate results) and call frames (one per active
// call: where its cells begin, what kind of call it is, which word named
// it). Both live outside the collector's pools and never move, so Cell*
// into the argument stack stay valid; they never grow.
//
// A native, action or function leaves its value in the first cell of its
// frame (the result cell, at base).
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"
#include "status.h"

namespace vel {

constexpr uint32_t ARG_STACK_CELLS = 20000;
constexpr uint32_t FRAME_STACK_SIZE = 15000;

// Frame kinds (bits 24-27 of the frame header) and flags.
enum FrameKind : uint32_t {
  FRAME_FUNCTION = 0x01000000,
  FRAME_NATIVE = 0x02000000,
  FRAME_TRY = 0x04000000,
  FRAME_TRY_ALL = 0x05000000,
  FRAME_CATCH = 0x06000000,
  FRAME_EVAL = 0x07000000,
  FRAME_LOOP = 0x08000000,
};
constexpr uint32_t FRAME_KIND_MASK = 0x0F000000;
constexpr uint32_t FRAME_BODY = 0x10000000;         // target of return and exit
constexpr uint32_t FRAME_INTERPRETED = 0x80000000;  // pushed by the interpreter
constexpr uint32_t FRAME_LIBRARY = 0x40000000;      // a call the library's own code made

// The bases are addresses in the argument stack, which never moves: a push
// writes them as they are and a pop reads them back without arithmetic.
// The naming word's context and symbol are in the order of a word cell's
// w1 and w2, so that a push copies them from the cell as one.
struct CallFrame {
  uint32_t header;      // kind and flags
  NodeId naming_ctx;    // context of the naming word
  uint32_t symbol;      // symbol id of the word naming the call (full 32 bits)
  NodeId func_ctx;      // function context of a function frame, else 0
  Cell* prev_base;      // the caller's base
  Cell* base;           // this call's own base (its result cell)
};

struct ArgStack {
  Cell* begin = nullptr;
  Cell* top = nullptr;
  Cell* end = nullptr;
  Cell* base = nullptr;
  CallFrame* frames = nullptr;
  CallFrame* frame_top = nullptr;
  CallFrame* frame_end = nullptr;
  NodeId cells_node = 0;  // the fixed series holding the cells
};
extern ArgStack g_stack;

void stack_init();

[[noreturn]] void stack_overflow();

// Cells of the current frame.
[[gnu::always_inline]] inline Cell* push_slot() {
  if (g_stack.top >= g_stack.end) [[unlikely]]
    stack_overflow();
  return g_stack.top++;
}
inline Cell* push(const Cell& v) {
  Cell* c = push_slot();
  *c = v;
  return c;
}
inline Cell* stack_get_top() { return g_stack.top > g_stack.begin ? g_stack.top - 1 : g_stack.begin; }
inline void set_last(const Cell& v) { *g_stack.base = v; }
inline void set_result(const Cell& v) {
  g_stack.top = g_stack.base + 1;
  *g_stack.base = v;
}
inline uint32_t cell_index(const Cell* c) { return uint32_t(c - g_stack.begin); }

// FRAME_LIBRARY while the block being evaluated is the library's own code,
// else 0: every frame pushed meanwhile carries it. Error reports leave such
// calls out, as they would the insides of a compiled library.
extern uint32_t g_library_code;

// Sets g_library_code for the evaluation of one block and puts the outer
// value back however the evaluation ends.
struct LibraryCodeScope {
  uint32_t saved;
  explicit LibraryCodeScope(bool library) : saved(g_library_code) { g_library_code = library ? FRAME_LIBRARY : 0; }
  ~LibraryCodeScope() { g_library_code = saved; }
  LibraryCodeScope(const LibraryCodeScope&) = delete;
  LibraryCodeScope& operator=(const LibraryCodeScope&) = delete;
};

// Frames. mark pushes a frame and makes top the new base.
inline Cell* stack_mark_at(Cell* at, uint32_t header, uint32_t symbol, NodeId naming_ctx);
inline Cell* stack_mark(uint32_t header, uint32_t symbol, NodeId naming_ctx) {
  return stack_mark_at(g_stack.top, header, symbol, naming_ctx);
}
// As stack_mark_at, for a caller that made sure the frame stack has room.
// Field by field: a frame built whole goes through vector registers.
inline Cell* stack_mark_at_unchecked(Cell* at, uint32_t header, uint32_t symbol, NodeId naming_ctx) {
  CallFrame* f = g_stack.frame_top++;
  f->header = header | g_library_code;
  f->naming_ctx = naming_ctx;
  f->symbol = symbol;
  f->func_ctx = 0;
  f->prev_base = g_stack.base;
  f->base = at;
  return g_stack.base = at;
}
// Pushes a frame whose cells begin at `at` (cells the caller already
// placed, at or above the current base) and makes it current.
inline Cell* stack_mark_at(Cell* at, uint32_t header, uint32_t symbol, NodeId naming_ctx) {
  if (g_stack.frame_top >= g_stack.frame_end) [[unlikely]]
    stack_overflow();
  return stack_mark_at_unchecked(at, header, symbol, naming_ctx);
}
// Pops the top frame, leaving its result cell as the one value above the
// caller's cells.
inline void stack_unwind() {
  CallFrame* f = --g_stack.frame_top;
  g_stack.top = g_stack.base + 1;
  g_stack.base = f->prev_base;
}
// As stack_unwind, and copies the result into the caller's result cell.
inline void stack_unwind_last() {
  Cell* result = g_stack.base;
  CallFrame* f = --g_stack.frame_top;
  g_stack.top = result + 1;
  g_stack.base = f->prev_base;
  *g_stack.base = *result;
}
// Pops the top frame and drops all its cells.
inline void stack_unroll() {
  CallFrame* f = --g_stack.frame_top;
  g_stack.top = g_stack.base;
  g_stack.base = f->prev_base;
}
inline uint32_t frame_depth() { return uint32_t(g_stack.frame_top - g_stack.frames); }

// How many compiled forms are running (the evaluator keeps the list): a
// stack like the others, so that a restore lets go of the forms an error
// unwound without their runs popping them.
extern uint32_t g_forms_top;

// Restores the stacks to a depth recorded before a call, after an error or
// signal left frames behind.
struct StackMark {
  uint32_t top, base, frames;
  uint32_t forms = g_forms_top;
};
inline StackMark stack_save() {
  return {cell_index(g_stack.top), cell_index(g_stack.base), frame_depth(), g_forms_top};
}
inline void stack_restore(const StackMark& m) {
  g_stack.top = g_stack.begin + m.top;
  g_stack.base = g_stack.begin + m.base;
  g_stack.frame_top = g_stack.frames + m.frames;
  g_forms_top = m.forms;
}

}  // namespace vel
