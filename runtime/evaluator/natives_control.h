// Conditionals, loops and the natives of non-local exit.
//
// Non-local exits travel as Status: break/continue find their loop frame,
// return/exit the nearest function body, throw the nearest catch frame,
// and store what they carry where that catcher reads it; a try/all frame
// met first turns them into throw-class errors. The catcher restores the
// stacks to its own saved state. Errors travel as VelError and stop at try.
#pragma once
#include <cstdint>

#include "cell.h"
#include "errors.h"
#include "memory.h"
#include "stack.h"

namespace vel {

namespace interp {
struct Code;
}

// Start-up (step "natives"): registers these natives and makes the error
// prototype.
void natives_control_init();

// The natives, by the frame convention of natives.h. Each lists its frame
// cells in natives_control.cpp.
Status native_if(Cell* base);
Status native_unless(Cell* base);
Status native_either(Cell* base);
Status native_any(Cell* base);
Status native_all(Cell* base);
Status native_while(Cell* base);
Status native_until(Cell* base);
Status native_loop(Cell* base);
Status native_repeat(Cell* base);
Status native_forever(Cell* base);
Status native_foreach(Cell* base);
Status native_forall(Cell* base);
Status native_remove_each(Cell* base);
Status native_switch(Cell* base);
Status native_case(Cell* base);
Status native_break(Cell* base);
Status native_continue(Cell* base);
bool continue_without_frame_below();  // the search past the innermost frame
// continue as compiled code runs it, without a frame of its own: true when
// a loop takes the signal (its result set), false when none is there (the
// native then raises the error in its own frame).
inline bool continue_without_frame() {
  // Mostly the loop's own frame is the innermost one.
  CallFrame* top = g_stack.frame_top - 1;
  if (g_stack.frame_top > g_stack.frames && (top->header & FRAME_KIND_MASK) == FRAME_LOOP) {
    *top->base = unset_cell();
    return true;
  }
  return continue_without_frame_below();
}
// How a loop native, switch or case runs its blocks: as eval_block(block,
// true) does, the block's value in the frame's result cell; and how case
// evaluates the expression at code.pos of its block, as eval_next(code,
// false) does (null: eval_next). Compiled code that holds the natives'
// literal blocks compiled in place gives a runner of its own.
struct Passes;
enum class PassEnd : uint8_t;
struct BlockRunner {
  Status (*run)(void* ctx, const Cell& block);
  void* ctx;
  Status (*next)(void* ctx, interp::Code& code) = nullptr;
  // A counting loop's passes through its body's program, and the rest of
  // a pass the program left (see Passes); null: the passes run one by one.
  PassEnd (*passes)(void* ctx, const Cell& block, Passes& p) = nullptr;
  Status (*rest)(void* ctx, const Cell& block, const Passes& p) = nullptr;
};
// Nested blocks a pass program runs inside each other, at most, and whose
// conditions it keeps for the general way to take the pass up there.
constexpr uint32_t PASS_LEVELS = 8;
// The passes of a loop (loop, repeat, forever, foreach, until, while) that its body's
// compiled program runs one after the other without leaving it: each
// stores the counter into repeat's word, or steps foreach's series and
// stores its next element into foreach's word, as the loop does, and
// leaves its value in the loop's result cell; Ctrl+C is taken before each
// pass.
struct Passes {
  const Cell* word;  // repeat's or foreach's word, or null
  int64_t counter;   // in: the pass to run first; out: the pass where it stopped
  int64_t last;
  Cell* result;      // the loop's result cell
  Cell* series = nullptr;  // foreach: the series at the element after the word's
  bool until = false;      // until: a pass ends with the test of its value
  const Cell* cond = nullptr;  // while: its condition block, run first in each pass
  // PassEnd::REST: the block position the pass goes on from, and, when it
  // goes on inside a block of a call there (mark, the program's own
  // number plus 1; 0: none), the conditions of the calls it is inside.
  uint32_t pos = 0;
  bool in_cond = false;  // in while's condition block
  uint32_t mark = 0;
  Cell conds[PASS_LEVELS] = {};
};
enum class PassEnd : uint8_t {
  NEVER,   // the body has no program: the passes run one by one from now on
  BEFORE,  // nothing of pass counter ran: it runs as any other (foreach: its element taken)
  REST,    // pass counter ran up to pos (the word stored): the rest runs the general way
  END,     // every pass ran
  BREAK,   // a break ended the loop in pass counter
  PASSED,  // until: a pass ran whole, its value (unset) left to the loop's test; while:
           //   the condition ran, its value left to the loop's test, the body to the loop
};
// while, until, loop, repeat, forever or foreach (by native id) on its
// frame at base, its blocks run by the runner.
Status run_loop_native(uint32_t native, Cell* base, const BlockRunner& blocks);
// switch or case (by native id) on its frame at base, its blocks run by
// the runner.
Status run_choice_native(uint32_t native, Cell* base, const BlockRunner& blocks);
Status native_exit(Cell* base);
Status native_return(Cell* base);
Status native_throw(Cell* base);
Status native_catch(Cell* base);
Status native_try(Cell* base);
// try on its frame at base (block, /all, /keep). *caught tells whether an
// error (or, with /all, a signal) ended the block; without want_error its
// value is never made and base[0] gets none instead.
Status run_try(Cell* base, bool want_error, bool* caught);

// --- loop steps ------------------------------------------------------------------
// One step over the series cell `it` (advanced in place): answers false at
// the tail, else sets the word (or the words of the block, count of them)
// to the next element(s).

may_gc bool foreach_next(const Cell& word, Cell* it);
may_gc bool foreach_next_block(const Cell& words, uint32_t count, Cell* it);
// The removal after a remove-each body whose value asks for it: the count
// elements just visited are removed and `it` stays on the next one.
may_gc void remove_each_step(Cell* it, uint32_t count);
// A float! loop count truncated toward zero; NaN and values outside the
// 32-bit range give -2147483648. Other values answer their integer.
int32_t coerce_loop_count(const Cell& count);

// Ctrl+C at the console (platform::g_interrupt_pending): the evaluation
// under way stops as `halt` stops it, by the halt request thrown to the
// console's catch. Takes the pending interrupt; OK when no catch is there.
Status interrupted();

// --- thrown values -------------------------------------------------------------------

// The value and name (unset when unnamed) of a throw on its way to catch.
const Cell& thrown_value();
const Cell& thrown_name();

}  // namespace vel
