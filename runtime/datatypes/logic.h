// unset!, none! and logic!: the static values, their makers, the truth
// tests every conditional uses, and the comparison driver that turns a
// compare answer into a truth value.
//
// A logic! cell keeps 1 (true) or 0 (false) in data word 1. Every maker and
// decoder normalises the word, and the truth test and form both read it as
// "non-zero is true", so a cell can never print true and test false.
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"
#include "stack.h"

namespace vel {

// The four values that live for the whole run. They are constants: copy
// them, never write through them.
inline constexpr Cell UNSET_VALUE{TYPE_UNSET, 0, 0, 0};
inline constexpr Cell NONE_VALUE{TYPE_NONE, 0, 0, 0};
inline constexpr Cell TRUE_VALUE{TYPE_LOGIC, 1, 0, 0};
inline constexpr Cell FALSE_VALUE{TYPE_LOGIC, 0, 0, 0};

// --- makers ------------------------------------------------------------------------
// box: the current frame's result cell; make_in: a new cell at a block's
// tail.

may_gc Cell* unset_make_in(NodeId block);

may_gc Cell* none_make_in(NodeId block);

inline void logic_box(bool v) { set_last(logic_cell(v)); }
may_gc Cell* logic_make_in(NodeId block, bool v);
inline bool logic_get(const Cell& c) { return c.w1 != 0; }
// Puts a decoded logic! cell's word in canonical form (0 or 1).
inline void logic_normalize(Cell* c) { c->w1 = c->w1 != 0; }

// --- truth tests -----------------------------------------------------------------------
// none and false are false, everything else true; the tests differ only
// on unset.

inline bool truthy(const Cell& c) {
  if (c.is(TYPE_NONE)) return false;
  if (c.is(TYPE_LOGIC)) return c.w1 != 0;
  return true;
}

// The result cell; unset raises script/no-return (either, while, until, case).
bool logic_true_q();
// True when the result cell is none or false; unset counts as true (if,
// unless, all, not).
bool logic_false_q();
// The truth of c; with check, an unset c raises script/no-value naming arg.
bool logic_true_value_q(const Cell& c, bool check, const Cell& arg);
// The topmost cell of the argument stack, or the result cell when the
// frame has no cells above it; unset counts as true.
bool logic_top_true_q();

// --- comparison driver -------------------------------------------------------------------

// Compares a and b with a's compare action and answers the truth of the
// operator (0-6 and 9-12). An ordering operator on values that cannot be
// ordered raises script/invalid-compare; the equality operators never raise
// (incomparable values are simply not equal).
bool compare_values(const Cell* a, const Cell* b, int op);
// The same, answering 1 (true), 0 (false) or -1 where compare_values raises.
int compare_values_or_fail(const Cell* a, const Cell* b, int op);

}  // namespace vel
