// Natives that make functions, evaluate code on demand, read and write
// words, build blocks by evaluation and bind words: func, function, does,
// has, do, get, set, reduce, compose, bind, in, construct, value?, extend,
// unset, context?, apply and type?.
#pragma once
#include "cell.h"
#include "memory.h"
#include "status.h"

namespace vel {

// The multiple-word setter of `set` with a block of words (and of the loop
// natives, which pass any and neither only nor some). Word i takes the
// value's i-th element when the value is block-like (none past its tail),
// else the whole value; with only always the whole value. Elements must be
// word!, set-word!, get-word! or lit-word! (script/invalid-arg); without
// any an unset element raises script/need-value; with some a none leaves
// its word unchanged.
may_gc void set_many_words(const Cell& words, const Cell& value, bool any, bool only, bool some);

// Enters these natives in the natives table.
void register_natives_eval();

}  // namespace vel
