// Vel functions as lexer callbacks (transcode/trace): the lexer's events
// become calls under <lexer-callback>, and the kind words of structural
// tokens come from system/lexer/exit-states.
#include "datatypes/core_words.h"
#include "eval.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "io/lexer.h"
#include "roots.h"

namespace vel::lexer {

namespace {

// One event: the callback takes the event, the input, the type, the line
// and the token as its leading arguments.
may_gc bool call_callback(void* ctx, Event event, Cell* input, const Cell& type, int32_t line,
                          const Cell& token) {
  Cell args[5] = {event_word(event), *input, type, integer_cell(line), token};
  RootedCells keep(args, 5);
  RootedCell answer, moved(*input);
  Status s = interp::call_callback(*static_cast<const Cell*>(ctx), sym_exact(SymId::LEXER_CALLBACK_TAG),
                                   trace::CB_LEXER, args, 5, answer.get(), 1, moved.get());
  if (s != Status::OK) throw LexerSignal{s};
  // A callback that moved its input argument moves the scan.
  if (moved->type() == input->type() && moved->node() == input->node()) input->w1 = moved->w1;
  return truthy(*answer);
}

}  // namespace

may_gc bool callback_of(const Cell& callback, Callback* out) {
  if (!callback.is(TYPE_FUNCTION) && !callback.is(TYPE_ROUTINE)) return false;
  out->fn = call_callback;
  out->ctx = const_cast<Cell*>(&callback);
  out->filter =
      callback.is(TYPE_FUNCTION) ? event_filter(*func::more_cell(callback, func::MORE_BODY)) : ALL_EVENTS;
  return true;
}

may_gc Cell exit_state_word(int kind) {
  const Cell* states = system_field(SymId::LEXER, SymId::EXIT_STATES);
  if (!states || !states->is(TYPE_BLOCK) || kind <= 65) return none_cell();
  Buffer* b = node_buffer(states->node());
  uint32_t at = uint32_t(states->index() < 0 ? 0 : states->index()) + uint32_t(kind - 66);
  return at < (b->used() >> 4) ? b->cells()[at] : none_cell();
}

}  // namespace vel::lexer
