// Compiled forms of blocks.
//
// A block evaluated a second time gets a compiled form: its expressions
// parsed once into a tree of nodes, so that later evaluations skip the
// walker's reading and dispatching of every cell. The form lives outside
// the collector's pools; the block's buffer names it (Buffer::spare).
//
// The shape of an expression depends on the values of its words (how many
// arguments a function takes, whether a word is an operator). Each node
// checks at run time what it assumed, where the walker would look, and
// hands the rest of its expression to the walker when an assumption fails.
// Nodes know the block positions they span, so a parent that finds the
// position elsewhere than planned goes on with the walker from there.
//
// A form is used only while the block holds exactly the cells it was made
// from (compared on entry). A block changed in place while it runs takes
// the change at its next evaluation.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cell.h"
#include "memory.h"
#include "status.h"

namespace vel {
struct Passes;
enum class PassEnd : uint8_t;
}

namespace vel::interp {

struct Form;

// The compiled form for evaluating the block from index head (its length
// len cells), or null when the walker must run it: the first evaluation
// of a block only marks it; the second compiles it.
may_gc Form* form_for(NodeId node, uint32_t head, uint32_t len);

// The block's form when it has one that holds for its cells now; never
// compiles.
Form* valid_form(const Cell& block);

// Evaluates a block through its form; as the walker's loop in eval_block,
// with result the block's cell on the stack, which takes the value.
may_gc Status run_form(Form& form, const Cell& block, Cell* result);

// A loop's body: as eval_block(block, true), with a pending Ctrl+C taken
// first; a body of one expression that its form runs without frames
// skips the rest of a block's run.
may_gc Status run_body_block(const Cell& block);

// A loop's passes through the program of the body's form, and the
// rest of a pass it left to the general way, as run_body_block would run
// it from there (see Passes in natives_control.h).
may_gc PassEnd run_passes(const Cell& block, Passes& p);
may_gc Status run_body_rest(const Cell& block, const Passes& p);

// Reads VEL_COMPILE (eager: compile blocks on their first evaluation).
// The collector holds the forms weakly (forms_mark, forms_sweep: eval.h).
void forms_init();

// How many compiled forms exist now.
size_t forms_live();

}  // namespace vel::interp
