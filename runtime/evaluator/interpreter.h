// The interpreter: evaluation of blocks, expressions, calls and paths.
//
// A block under evaluation is named by its node and a cell index, never by
// a pointer: any expression may run the collector, which moves the block's
// buffer. Each read of the code re-reads the buffer and checks the index
// against the block's current length (the block may shrink while it runs).
//
// Results: in push mode an expression leaves its value as a new cell on the
// argument stack; in plain mode it becomes the current frame's result cell
// (the stack is cut to that cell).
//
// The entry points that lower layers call (eval_block, call_with_frame,
// arguments_cache, the current code cell) are declared in eval.h.
#pragma once
#include <cstdint>

#include "cell.h"
#include "eval.h"
#include "memory.h"
#include "status.h"

namespace vel::interp {

struct Code {
  NodeId node;    // the block's series
  uint32_t pos;   // index of the next cell, from the buffer head
  uint32_t end;   // index of the end (the block's tail when evaluation began)
  // The compiled runner's: the block's modification stamp its nodes were
  // planned from (the walker leaves it alone).
  uint32_t stamp = 0;

  bool at_end() const { return pos >= end || pos >= (node_buffer(node)->used() >> 4); }
  // The cell at pos. Valid until the next allocation; check at_end first.
  Cell* cell() const { return node_buffer(node)->cells() + pos; }
};

// Evaluates one expression at code.pos and moves code.pos past it.
may_gc Status eval_expression(Code& code, bool no_infix, bool push, bool passive = false);

// One expression inside a frame of its own named <body> (do/next, any,
// all, case, reduce).
may_gc Status eval_next(Code& code, bool push);

// Calls a function value with arguments taken from the code after it.
// name is the word (or path) naming the call, for frames and errors.
may_gc Status eval_call(const Cell& fn, const Cell& name, Code* code, bool push, bool infix = false);


// Path evaluation: path is a path!, get-path! or set-path! value. For a
// set-path the value to assign is the current frame's result cell.
may_gc Status eval_path(const Cell& path, Code* code, bool set, bool get, bool push, bool case_sensitive = false);

// The number of argument cells a callable takes in the full layout, and
// the position of a refinement's logic cell (-1 when it has none).
may_gc uint32_t frame_size(const Cell& fn);

void interpreter_init();

}  // namespace vel::interp
