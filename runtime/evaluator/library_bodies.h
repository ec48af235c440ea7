// Library functions whose bodies also run as C++.
//
// The library was compiled code once, and a few of its functions are hot
// enough that their Vel bodies, even compiled into forms, cost several
// native calls where one would do (attempt: either, unless, error?, set and
// try around the caller's block). For these the runtime holds the body's
// work in C++ as well and runs it in place of the body's compiled form,
// for as long as the body is exactly the library's own: the same blocks
// and paths with the same cells (their stamps unchanged since start-up),
// and the library's words in it holding the values they held then. The
// C++ pushes the frames and cells the body's evaluation would have on the
// stacks while the caller's code runs inside it (collect-calls and
// stack-size? read them, a signal finds its target through them); what it
// leaves out is only what nothing can see: the local the body sets and the
// value of an error it drops unseen.
//
// A traced call, or any call while a trace runs, runs the Vel body (the
// compiled runner hands those to the walker before it asks for a form), so
// traces see the calls as before; so does the walker-only mode
// (VEL_COMPILE=walker), which runs no forms at all.
#pragma once
#include <cstdint>

#include "cell.h"
#include "datatypes/function.h"
#include "memory.h"
#include "status.h"

namespace vel::interp {

struct LibraryBody;

// Start-up, once the library's bodies are bound to its context lib: finds
// each function that has a C++ body by its global word, checks that its
// body is the one the C++ was written for (else leaves it to run as Vel),
// and marks the function for library_body.
may_gc void install_library_bodies(NodeId lib);

// The C++ body of a function made at start-up, when it has one and its
// body and the values it reads are still the library's own; null
// otherwise.
const LibraryBody* library_body_checked(const Cell& fn);
inline const LibraryBody* library_body(const Cell& fn) {
  if (!func::more_cell(fn, func::MORE_CODE)->is(TYPE_INTEGER)) [[likely]]
    return nullptr;
  return library_body_checked(fn);
}

// Runs the C++ body on the call's frame at base (its arguments, then its
// locals), with result the body block's cell above them, as the body's
// form would: the value goes to *result.
may_gc Status run_library_body(const LibraryBody& body, Cell* base, Cell* result);

}  // namespace vel::interp
