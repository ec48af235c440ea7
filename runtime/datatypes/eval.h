// What the datatypes and io layers may call above them: running Vel code
// (callbacks of block editing, object and error specs, paths into
// functions) and loading a text as one value (make and to from a string).
// Declared here, defined by the evaluator and the lexer; nothing else above
// these layers is reachable from below (tests/layers.sh checks the
// includes).
#pragma once
#include <string_view>

#include "cell.h"
#include "memory.h"
#include "status.h"

namespace vel::interp {

// The current code cell: the block and position of the innermost running
// evaluation, which errors take as their `near`. A collector root.
extern Cell g_current_code;

// Evaluates the block from its index; the value of the last expression is
// left as the one cell above the caller's cells, and with chain it also
// becomes the caller's result cell. An empty block yields unset.
may_gc Status eval_block(Cell block, bool chain);

// Calls a function value whose arguments the caller has pushed as the
// frame's cells (in the full layout: each refinement a logic cell and its
// arguments). The result lands in base[0].
may_gc Status call_with_frame(const Cell& fn, Cell* base);

// The argument cache of a callable (built on first use): per spec entry a
// typeset! (argument, mode in bits 20-21) or a refinement!, then an
// integer! with the local count when there are locals.
may_gc Cell arguments_cache(const Cell& fn);

}  // namespace vel::interp

namespace vel::lexer {

// The one value a string (from its index) scans as, when it scans whole as
// exactly one value; false otherwise (nothing raised for syntax errors).
may_gc bool load_one_value(const Cell& text, Cell* out);
// The type of the first value of UTF-8 text without loading it, or 0.
TypeId scan_type(std::string_view utf8);
// The values a string (from its index) scans as, in a new block.
may_gc Cell string_to_block(const Cell& text);

}  // namespace vel::lexer
