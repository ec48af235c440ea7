// Vel functions as lexer callbacks (transcode/trace): the lexer's events
// become calls under <lexer-callback>, and the kind words of structural
// tokens come from system/lexer/exit-states.
#include "evaluator/lexer_callback.h"

#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/words.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/trace.h"
#include "io/lexer.h"
#include "roots.h"

namespace vel {

namespace {

// A signal (break, throw, ...) out of a callback leaves the scan and passes
// on from the native that started it.
struct LexerSignal {
  Status status;
};

// One event: the callback's frame takes the event, the input, the type, the
// line and the token as its leading arguments (the rest of its cells unused,
// as in a call without refinements).
may_gc bool call_callback(void* ctx, lexer::Event event, Cell* input, const Cell& type, int32_t line,
                          const Cell& token) {
  RootedCell fn(*static_cast<const Cell*>(ctx));
  RootedCell args[5] = {RootedCell(lexer::event_word(event)), RootedCell(*input), RootedCell(type),
                        RootedCell(integer_cell(line)), RootedCell(token)};
  Cell cache = interp::arguments_cache(*fn);
  uint32_t saved_top = cell_index(g_stack.top);
  push(*fn);
  bool is_fn = fn->is(TYPE_FUNCTION);
  Cell* base = stack_mark((is_fn ? FRAME_FUNCTION : FRAME_NATIVE) | FRAME_INTERPRETED,
                          sym_exact(SymId::LEXER_CALLBACK_TAG), 0);
  if (is_fn) g_stack.frame_top[-1].func_ctx = func::context_of(*fn);
  uint32_t given = 0;
  int32_t input_cell = -1;
  bool refinements = false;
  Buffer* cb = node_buffer(cache.node());
  for (uint32_t i = 0, n = cb->used() >> 4; i < n; i++) {
    const Cell& e = cb->cells()[i];
    if (e.is(TYPE_TYPESET) && func::arg_mode(e) != func::ARG_RETURN) {
      if (!refinements && given < 5) {
        if (given == 1) input_cell = int32_t(g_stack.top - base);
        push(*args[given++]);
      } else {
        push(none_cell());
      }
    } else if (e.is(TYPE_REFINEMENT)) {
      refinements = true;
      push(logic_cell(false));
    } else if (e.is(TYPE_INTEGER)) {
      func::init_locals(int32_t(e.w2));
    }
  }
  Status s;
  {
    trace::CallbackScope scope(trace::CB_LEXER);
    s = interp::call_with_frame(*fn, base);
  }
  bool answer = truthy(*base);
  // A callback that moved its input argument moves the scan.
  if (input_cell > 0) {
    const Cell& moved = base[input_cell];
    if (moved.type() == input->type() && moved.node() == input->node()) input->w1 = moved.w1;
  }
  stack_unwind();
  g_stack.top = g_stack.begin + saved_top;
  if (s != Status::OK) throw LexerSignal{s};
  return answer;
}

may_gc bool adapt(const Cell& callback, lexer::Callback* out) {
  if (!callback.is(TYPE_FUNCTION) && !callback.is(TYPE_ROUTINE)) return false;
  out->fn = call_callback;
  out->ctx = const_cast<Cell*>(&callback);
  out->filter = callback.is(TYPE_FUNCTION) ? lexer::event_filter(*func::more_cell(callback, func::MORE_BODY))
                                           : lexer::ALL_EVENTS;
  return true;
}

// The word (or datatype) at position kind - 65 of system/lexer/exit-states.
may_gc Cell exit_state_word(int kind) {
  const Cell* states = system_field(SymId::LEXER, SymId::EXIT_STATES);
  if (!states || !states->is(TYPE_BLOCK) || kind <= 65) return none_cell();
  Buffer* b = node_buffer(states->node());
  uint32_t at = uint32_t(states->index() < 0 ? 0 : states->index()) + uint32_t(kind - 66);
  return at < (b->used() >> 4) ? b->cells()[at] : none_cell();
}

Status native_transcode(Cell* base) {
  try {
    return lexer::transcode_native(base);
  } catch (const LexerSignal& signal) {
    return signal.status;
  }
}

}  // namespace

void lexer_callbacks_init() {
  lexer::g_callback_adapter = adapt;
  lexer::g_exit_state_word = exit_state_word;
  static const NativeEntry kLexer[] = {{NAT_TRANSCODE, native_transcode}};
  register_natives(kLexer, 1);
}

}  // namespace vel
