// The one way up: what the layers below the evaluator may call above them.
// Declared here, at the bottom, and defined by the layers above; nothing
// else above a layer is reachable from it (tests/layers.sh checks the
// includes), and no layer installs a hook in one below to be called back.
//
// - for the datatypes and io layers: running Vel code (callbacks of block
//   editing, object and error specs, paths into functions) and loading a
//   text as one value (make and to from a string);
// - for the runtime itself: making the error value of an error being raised
//   and reporting it to a trace (fire, errors.cpp), and the compiled forms
//   of blocks, which the collector holds weakly;
// - for the error datatype: the error catalog's code, which start-up holds.
#pragma once
#include <string_view>

#include "cell.h"
#include "errors.h"
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

// Calls fn (a function! or routine!) as a callback of runtime code, in a
// frame named by the symbol: its leading arguments take args (count of
// them, rooted by the caller; arguments beyond them and after a refinement
// are none, refinements false), and tracing follows the callback bit (see
// trace::CallbackScope). The answer goes to *answer. With moved, the final
// value of argument `moved_arg` is copied there when the callback took it.
may_gc Status call_callback(const Cell& fn, uint32_t name, uint32_t bit, const Cell* args, uint32_t count,
                            Cell* answer, uint32_t moved_arg = 0, Cell* moved = nullptr);

}  // namespace vel::interp

namespace vel::trace {

// Callbacks that runtime code makes (lexer, parse, sort, on-change*,
// on-deep-change*, port actors) are traced only when their bit is set
// in g_callback_bits (evaluator/trace.h). It stands for system/state/callbacks/bits until the system object
// exists.
enum CallbackBit : uint32_t {
  CB_LEXER = 1,
  CB_PARSE = 2,
  CB_SORT = 4,
  CB_ON_CHANGE = 8,
  CB_ON_DEEP_CHANGE = 16,
  CB_PORT = 32,
};

}  // namespace vel::trace

namespace vel::lexer {

// The one value a string (from its index) scans as, when it scans whole as
// exactly one value; false otherwise (nothing raised for syntax errors).
may_gc bool load_one_value(const Cell& text, Cell* out);
// The type of the first value of UTF-8 text without loading it, or 0.
TypeId scan_type(std::string_view utf8);
// The values a string (from its index) scans as, in a new block.
may_gc Cell string_to_block(const Cell& text);

}  // namespace vel::lexer

// --- for the runtime ------------------------------------------------------------------

namespace vel::error {

// Makes the error! value of an error fire is raising: its catalog heading
// and arguments, and the near, where and stack depth of the evaluation
// running at this moment, which is why the value is made here and not by
// the code that catches it. Answers false when it cannot (before the error
// datatype is set up, during a collection). The arguments are rooted by
// the caller. Defined by the error datatype.
may_gc bool make_raised(ErrId id, int nargs, const Cell* args, Cell* out);

// make_raised in two steps, for an error whose value may never be asked
// for: note_raise takes what the value needs of this moment (near, where
// and the frame depth; the pinned call is used up as make_raised uses it)
// into cells the caller roots, and make_noted makes the value from them
// later (while it still can), as make_raised would have made it at the
// raise; the caller roots the arguments, near and where. can_make_raised:
// whether make_raised would make a value now.
bool can_make_raised();
may_gc void note_raise(Cell* near, Cell* where, uint32_t* depth);
may_gc bool make_noted(ErrId id, int nargs, const Cell* args, const Cell& near, const Cell& where, uint32_t depth,
                       Cell* out);

// The loaded code of library/errors.vel, the error catalog, which the error
// datatype reads on first use. Defined by start-up (boot.cpp), which holds
// the boot image's sources.
may_gc Cell catalog_code();

}  // namespace vel::error

namespace vel::trace {

// The error event of a trace, for each error fire is about to raise (the
// value made, or none), while the frames it was raised in are still there.
// Does nothing unless a trace runs; an error its callback raises replaces
// this one. Defined by the tracer.
void error_raised(ErrId id, const Cell& error);
// Whether error_raised would hear of an error now (a trace runs).
bool errors_traced();

}  // namespace vel::trace

namespace vel::interp {

// The compiled forms of blocks, a cache the collector holds weakly. While
// marking a block's buffer whose spare word is not 0: the cells the form it
// names holds on to go to visit. After a collection: the forms whose block
// died or changed buffer are released. Defined by the compiled-block runner.
void forms_mark(uint32_t spare, void (*visit)(Cell* cells, size_t count));
void forms_sweep();

}  // namespace vel::interp
