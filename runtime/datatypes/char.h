// char!: one Unicode code point (0..0x10FFFF), a child of integer!.
#pragma once
#include <cstdint>

#include "cell.h"
#include "datatypes/integer.h"
#include "memory.h"
#include "stack.h"

namespace vel {

constexpr int32_t CHAR_MAX_CODE = 0x10FFFF;

may_gc Cell* char_make_in(NodeId block, uint32_t cp);

// char! arithmetic on the frame [value1 value2] through the integer kernel;
// a result outside 0..0x10FFFF raises math/overflow.
Status char_do_math(Cell* base, MathOp op);

// The caret escape of cp, as char and string mold write it: "^" and a letter
// for control characters, the double quote and the caret, "^~" for 127, and
// "^(hex)" for 30, 128-159 (and, with all, every code point above 127).
// Answers the characters written to out, 0 when cp needs no escape.
constexpr int CARET_ESCAPE_MAX = 12;
int caret_escape(uint32_t cp, bool all, char out[CARET_ESCAPE_MAX]);
// Appends cp in molded form. Answers the characters written.
may_gc int32_t append_escaped_char(NodeId out, uint32_t cp, bool all);

}  // namespace vel
