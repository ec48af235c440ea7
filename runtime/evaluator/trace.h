// Trace events of the interpreter and the do/trace callback.
//
// Every event site tests g_trace.on first, so with no trace running an
// event costs one predictable branch:
//   if (trace::g_trace.on) [[unlikely]] VEL_TRY(trace::emit(...));
// The callback runs with tracing off: its own evaluation reports nothing.
#pragma once
#include <cstdint>

#include "cell.h"
#include "eval.h"
#include "memory.h"
#include "status.h"

namespace vel::trace {

// Event bits, as a callback's event block selects them.
enum Event : uint32_t {
  EV_INIT = 0x1,
  EV_END = 0x2,
  EV_PROLOG = 0x4,
  EV_EPILOG = 0x8,
  EV_ENTER = 0x10,
  EV_EXIT = 0x20,
  EV_OPEN = 0x40,
  EV_RETURN = 0x80,
  EV_FETCH = 0x100,
  EV_PUSH = 0x200,
  EV_SET = 0x400,
  EV_CALL = 0x800,
  EV_ERROR = 0x1000,
  EV_THROW = 0x2000,
  EV_CATCH = 0x4000,
  EV_EXPR = 0x8000,
};
constexpr uint32_t ALL_EVENTS = 0x1FFFF;

struct State {
  bool on;         // tested by every event site; off while the callback runs
  bool run;        // a do/trace is active
  // The switch that `trace true`/`trace false` turn during a run: events
  // reach the callback only while it is set. It is kept apart from `on`,
  // which no-trace (library) bodies clear and restore around themselves,
  // so that a switch turned inside one outlives it.
  bool user;
  uint32_t mask;   // the events the callback asked for
  int32_t locals;  // local cells of the callback, pushed at each call
};
extern State g_trace;

extern uint32_t g_callback_bits;

// Switches tracing off around a runtime callback whose bit is not set,
// and back to its entry state afterwards.
struct CallbackScope {
  bool saved;
  explicit CallbackScope(uint32_t bit) : saved(g_trace.on) {
    if (saved && !(g_callback_bits & bit)) g_trace.on = false;
  }
  ~CallbackScope() { g_trace.on = saved; }
};

// The code an event points into: a block (or path) node and a cell index
// from its head; node 0 for none.
struct Where {
  NodeId node;
  TypeId type;
  int32_t pos;
};
constexpr Where kNowhere{0, TYPE_NONE, -1};

// Calls the callback for one event when the mask has its bit. value and
// ref may be null (none). A signal escaping the callback comes back as the
// status, with tracing left off; errors travel on as VelError.
[[nodiscard, gnu::cold]] may_gc Status emit(uint32_t event, Where where, const Cell* value, const Cell* ref = nullptr);

// The event mask a callback asks for: the event words of the block that
// opens its body, else every event.
uint32_t mask_of(const Cell& callback);

// Starts a trace run with callback (false when one is already running,
// which then keeps its own callback). Emits init.
[[nodiscard]] may_gc Status start(const Cell& callback, bool* started);
// Ends the run that start began: emits end (when tracing is on) and
// clears the state.
[[nodiscard]] may_gc Status finish();
// Clears the trace state without events (after an error).
void reset();

// The user switch: what `tracing?` answers, and what `trace` with a logic
// sets (only while a run is active; outside one it stays off).
bool user_switch();
void set_user_switch(bool on);

void trace_init();

}  // namespace vel::trace
