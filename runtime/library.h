// What keeps the library's functions the library's own after start-up.
//
// The library was once compiled code: its calls named their callees
// directly and its bodies reported no trace events. Interpreted from the
// boot image, it keeps both promises this way:
//   - every function made while the boot code runs gets the no-trace flag,
//     so nothing inside a library body reaches a do/trace callback;
//   - once the boot code has run, each word of a library body that names a
//     global function (word! or get-word!) is rebound to the library
//     context, a snapshot of those global values. A user who then sets
//     `print: none` or `append: 1` changes the global word only; library
//     functions keep calling the functions they were defined with.
// Words naming anything else stay global, so library code still reads and
// sets the globals that user code sees.
//   - the blocks of library bodies carry BUF_LIBRARY: evaluating them does
//     not move the current code, so an error made inside a library function
//     shows as near the caller's expression, as for compiled code.
//   - a few hot functions (attempt) also have their bodies in C++, run in
//     place of the Vel body while it is the library's own
//     (evaluator/library_bodies.h).
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel::library {

// Start of the boot code: from here to seal() the function module marks
// and records every function made (func::g_library_bodies).
may_gc void begin();
// End of the boot code: the library context is made and the recorded
// bodies rebound to it.
may_gc void seal();

// The library context (0 before seal).
NodeId context();

// Sets the word (not held in a series) to the start-up routine maker:
// `<routine> spec body` makes a routine! whose body's first value, a word,
// names its C++ entry in the routine registry; its result type comes from
// the spec's `return:` block (logic!, integer! or float!; else the entry
// writes its result).
may_gc void install_routine_maker(Cell* word);

}  // namespace vel::library
