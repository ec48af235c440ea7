// error!: an object of ten fixed fields that describes one failure.
//
//   header  type 34
//   w1      node of the error's own context: heap values, self, object
//           kind, with the fields below in this order; cell 1 of the node
//           holds the error value itself (what `self` yields)
//   w2      class id: 1 for every error
//   w3      event record: always 0
//
// An error is a copy of the standard prototype with the fields
//   code  type  id  arg1  arg2  arg3  near  where  stack  files
// where code is type number x 100 + the id's position in its type, type
// and id are words, near is the code running when the error was made,
// where names the call it happened in, and stack holds the call-frame
// depth at the throw until a catcher records it as a block of names.
//
// The message texts live in the error catalog, library/errors.vel: Vel data
// embedded in the executable and loaded on first use.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "cell.h"
#include "errors.h"
#include "memory.h"
#include "stack.h"

namespace vel::error {

enum Field : uint32_t { CODE, TYPE, ID, ARG1, ARG2, ARG3, NEAR, WHERE, STACK, FILES, FIELD_COUNT };
constexpr uint32_t ERROR_CLASS = 1;

// Start-up (after the runtime words): the prototype, and fire's builder.
void init();

// The catalog, read from catalog_code() on first use. A catalog that
// does not load is a fault of the build: the process ends with a report.
may_gc void load_catalog();
// Types in catalog order, and a type's ids in catalog order.
uint32_t type_count();
uint32_t id_count(uint32_t type);

// --- making errors -------------------------------------------------------------

// error/create: type and id by their catalog positions, up to three
// arguments (null for none); near is the running code. where and stack stay
// none until the error is raised.
may_gc Cell create_at(uint32_t type, uint32_t id, const Cell* a1, const Cell* a2, const Cell* a3);
// The error of a runtime id with its arguments (what fire raises).
may_gc Cell create(ErrId id, int nargs, const Cell* args);
// make error! spec: an integer code, [type id], a set-word block
// (evaluated: a signal from it is answered), or a string (a user error).
may_gc Status make(const Cell& spec, Cell* out);
// The error a caught exception carries, made from its id and arguments when
// it came without one.
may_gc Cell of(const VelError& e);

// --- fields -------------------------------------------------------------------------

Cell field(const Cell& err, Field f);
void set_field(const Cell& err, Field f, const Cell& value);
// error/set-where: stores value in `where` only while it is none.
void set_where(const Cell& err, const Cell& value);
// The symbols (exact) of the type and id words, 0 when not words.
uint32_t type_symbol(const Cell& err);
uint32_t id_symbol(const Cell& err);
// The runtime id of an error value, INVALID_ERROR when it has none.
ErrId runtime_id(const Cell& err);

// --- raising and the call stack ------------------------------------------------------

// stack/throw-error: names `where` after the innermost call, keeps the
// frame depth in `stack` (unless it holds a block already), and throws.
[[noreturn]] void raise(const Cell& err);
// The same error carried by Status::RAISED when the running native's caller
// passes statuses on (see fail in errors.h).
[[nodiscard]] Status fail_raise(const Cell& err);

// stack/get-call: the word naming the innermost named call (from the pinned
// frame when one is pinned, which the call clears), skipping <body> and
// <anon> frames; <not-found> past the bottom.
may_gc Cell get_call();
// The same for an error's where: the innermost call the user made, leaving
// out the calls of the library's own code (FRAME_LIBRARY).
may_gc Cell where_call();
// Pins the innermost call for the next get_call, unless one is pinned (a
// throw names the throwing call even when the error comes later, from a
// catch passing it on); unpin forgets it.
void pin_top_frame();
void unpin();

// error/capture-stack: a `stack` holding a frame depth becomes a block of
// the names of the calls up to that depth (the frames must still be there:
// call it before unwinding). Any other value is left alone.
may_gc void capture_stack(const Cell& err);
// Forgets the frame depth (a catcher that unwinds without capturing: the
// frames the depth counts are about to be reused).
void drop_stack(const Cell& err);

// system/state/stack-trace: how much of the call stack errors record (0
// none, 1 function calls, 2 every named call). 1 until the system object
// exists.
int32_t stack_trace_level();
// The caption of the uncaught-error report: system/script/title when it is
// a string, else "Vel NoName App".
std::string report_caption();

// The formed error as UTF-8.
may_gc std::string report(const Cell& err);
// The report of an error that nothing caught, with its caption. Its call
// stack is recorded first, so call it before the frames are reused. Falls
// back to "*** <type> error: <id>" while errors cannot be made (before
// start-up).
void uncaught_report(const VelError& e, std::string* caption, std::string* text);

}  // namespace vel::error
