#include "stack.h"

#include "errors.h"

namespace vel {

ArgStack g_stack;
uint32_t g_library_code = 0;
uint32_t g_forms_top = 0;

void stack_init() {
  g_stack.cells_node = alloc_fixed_series(ARG_STACK_CELLS, sizeof(Cell));
  Buffer* b = node_buffer(g_stack.cells_node);
  g_stack.begin = g_stack.top = g_stack.base = reinterpret_cast<Cell*>(b->data());
  g_stack.end = g_stack.begin + ARG_STACK_CELLS;
  auto* frames = static_cast<CallFrame*>(lowlevel_allocate(sizeof(CallFrame) * FRAME_STACK_SIZE));
  g_stack.frames = g_stack.frame_top = frames;
  g_stack.frame_end = frames + FRAME_STACK_SIZE;
}

void stack_overflow() {
  // Leave room for the error's own work before raising it.
  g_stack.top = (g_stack.top - g_stack.begin > 5) ? g_stack.top - 5 : g_stack.begin;
  fire(ErrId::STACK_OVERFLOW);
}

}  // namespace vel
