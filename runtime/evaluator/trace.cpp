// Trace events: the trace state, the callback call and do/trace's start
// and end. The event sites live in the interpreter (and in fire, for the
// error event, which calls error_raised through eval.h).
#include "evaluator/trace.h"

#include "datatypes/core_words.h"
#include "datatypes/function.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "evaluator/interpreter.h"
#include "roots.h"

namespace vel::trace {

State g_trace = {false, false, false, 0, 0};
uint32_t g_callback_bits = 0;

namespace {

// Event words by bit number, in the order of the Event bits.
constexpr SymId kEventWords[] = {
    SymId::INIT,  SymId::END,    SymId::PROLOG,     SymId::EPILOG, SymId::ENTER, SymId::EXIT,
    SymId::OPEN,  SymId::RETURN, SymId::FETCH,      SymId::PUSH,   SymId::SET,   SymId::CALL,
    SymId::WORD_ERROR, SymId::THROW, SymId::CATCH, SymId::EXPR,
};
constexpr size_t kEvents = sizeof kEventWords / sizeof kEventWords[0];

// The callback and the event words, made once per run so that an event
// allocates nothing before the callback itself runs.
Cell g_cells[1 + kEvents] = {};
StaticRoot g_cells_root("trace: callback and event words", g_cells, 1 + kEvents);
Cell& g_callback = g_cells[0];

constexpr uint32_t kWithReference = EV_SET | EV_EPILOG | EV_PROLOG | EV_RETURN | EV_CALL;
constexpr int32_t kCallbackArgs = 6;

inline uint32_t block_length(NodeId n) { return node_buffer(n)->used() >> 4; }

uint32_t bit_number(uint32_t event) {
  uint32_t n = 0;
  while (!(event & 1)) event >>= 1, n++;
  return n;
}

}  // namespace

// A signal other than an error cannot leave through fire: the error being
// raised goes on in its place.
bool errors_traced() { return g_trace.on; }

void error_raised(ErrId id, const Cell& error) {
  // No Vel code runs for these: the memory or the stack is exhausted.
  if (!g_trace.on || id == ErrId::NO_MEMORY || id == ErrId::STACK_OVERFLOW) return;
  Status s = emit(EV_ERROR, kNowhere, &error);
  (void)s;
}

Status emit(uint32_t event, Where where, const Cell* value, const Cell* ref) {
  if (!(g_trace.mask & event) || !g_trace.user) return Status::OK;
  // Copies first: value and ref may lie in a buffer the callback moves.
  Cell val = value ? *value : none_cell();
  Cell rf = (ref && (event & kWithReference)) ? *ref : none_cell();
  Cell code = none_cell();
  int32_t pos = -1;
  if (where.node) {
    code = series_cell(where.type, where.node, 0);
    if (where.pos >= 0 && uint32_t(where.pos) <= block_length(where.node)) pos = where.pos;
  }
  StackMark mark = stack_save();
  Cell at = make_cell(TYPE_PAIR, 0, cell_index(g_stack.base), cell_index(g_stack.top));
  g_stack.top++;  // the cell being produced stays as it is
  Cell cb = g_callback;
  Cell* fbase = stack_mark(FRAME_FUNCTION | func::library_frame_bit(cb), sym_exact(SymId::INTERP_CALLBACK_TAG), 0);
  (g_stack.frame_top - 1)->func_ctx = func::context_of(cb);
  push(g_cells[1 + bit_number(event)]);
  push(code);
  push(integer_cell(pos));
  push(val);
  push(rf);
  push(at);
  if (g_trace.locals > 0) func::init_locals(g_trace.locals);
  g_trace.on = g_trace.user = false;
  // Errors pass on as they are; another signal is handed back, tracing
  // left off: the do/trace that began the run restores the state.
  Status s = interp::call_with_frame(cb, fbase);
  if (s != Status::OK) return s;
  g_trace.on = g_trace.user = true;
  stack_restore(mark);
  return Status::OK;
}

uint32_t mask_of(const Cell& callback) {
  Cell body = *func::more_cell(callback, func::MORE_BODY);
  if (!body.is(TYPE_BLOCK) || body.index() < 0 || uint32_t(body.index()) >= block_length(body.node()))
    return ALL_EVENTS;
  Cell first = node_buffer(body.node())->cells()[body.index()];
  if (!first.is(TYPE_BLOCK)) return ALL_EVENTS;
  uint32_t mask = 0;
  for (uint32_t i = first.index() < 0 ? 0 : uint32_t(first.index()); i < block_length(first.node()); i++) {
    Cell w = node_buffer(first.node())->cells()[i];
    if (!w.is(TYPE_WORD)) continue;
    uint32_t s = symbol::resolve(w.w2);
    for (size_t k = 0; k < kEvents; k++)
      if (s == sym(kEventWords[k])) mask |= 1u << k;
  }
  return mask;
}

Status start(const Cell& callback, bool* started) {
  *started = false;
  if (g_trace.run) return Status::OK;
  if (!callback.is(TYPE_FUNCTION)) fire(ErrId::INVALID_ARG, callback);
  RootedCell cb(callback);
  int32_t locals = func::count_locals(func::spec_node(callback), 0, false);
  if (locals < 0) locals = 0;
  // The callback takes exactly the six event arguments (and its locals).
  if (interp::frame_size(*cb) != uint32_t(kCallbackArgs + locals)) fire(ErrId::INVALID_ARG, *cb);
  for (size_t k = 0; k < kEvents; k++) g_cells[1 + k] = runtime_word(kEventWords[k]);
  g_callback = *cb;
  g_trace.locals = locals;
  g_trace.mask = mask_of(*cb);
  g_trace.on = g_trace.run = g_trace.user = true;
  *started = true;
  return emit(EV_INIT, kNowhere, nullptr);
}

Status finish() {
  struct Clear {
    ~Clear() { reset(); }
  } clear;
  // A run switched off by `trace false` still reports its end, so that
  // handlers can put their state back.
  if (g_trace.on) {
    g_trace.user = true;
    return emit(EV_END, kNowhere, nullptr);
  }
  return Status::OK;
}

void reset() {
  g_trace = State{false, false, false, 0, 0};
  g_callback = none_cell();
}

bool user_switch() { return g_trace.run && g_trace.user; }

void set_user_switch(bool on) {
  if (g_trace.run) g_trace.user = on;
}

void trace_init() { reset(); }

}  // namespace vel::trace
