// The parse dialect: matches a block-like or string series against a block
// of rules.
//
// Rules are matched by a recursive descent whose depth is counted, not left
// to the machine stack: every sub-block, keyword rule and `into` level takes
// three cells of a budget of 10,000 (shared by nested runs started from
// parens), and going past it raises script/parse-stack. The input and the
// rule blocks are held as node + index and re-read after anything that may
// run Vel code, since parens may change both.
#pragma once

#include "evaluator/stack.h"

namespace vel {

// parse: input rules /case /part length /trace callback
//        0     1     2     3     4      5      6
Status native_parse(Cell* base);

void register_natives_parse();

}  // namespace vel
