// The parse dialect: matches a block-like or string series against a block
// of rules.
//
// Rules are matched by an explicit state machine over two stacks (blocks
// made by parser_init and rooted for the life of the process): the rule
// stack takes three cells per entered block or pending rule, and nesting
// past 10,000 cells raises script/parse-stack. The input and the rule
// blocks are held as node + index and re-read after anything that may run
// Vel code, since parens may change both. /trace calls a function at each
// step under <parse-callback>.
#pragma once

#include "cell.h"
#include "status.h"

namespace vel {

// parse: input rules /case /part length /trace callback
//        0     1     2     3     4      5      6
Status native_parse(Cell* base);


// Makes the engine's two stacks (start-up).
void parser_init();

}  // namespace vel
