// Appending text to a string series: the output side of form and mold.
// Each call widens the string when a character needs a wider unit.
#pragma once
#include <cstdint>
#include <string_view>

#include "memory.h"

namespace vel {

may_gc void append_char(NodeId out, uint32_t cp);
// ASCII or Latin-1 text (bytes are code points 0-255).
may_gc void append_latin1(NodeId out, std::string_view text);
// UTF-8 text; ill-formed bytes are appended as the code points of the bytes.
may_gc void append_utf8(NodeId out, std::string_view text);
// Characters from another string series (any unit), from element index on.
may_gc void append_chars(NodeId out, NodeId from, uint32_t index, uint32_t count);
// A new empty string (unit 1) with room for n characters.
may_gc NodeId make_string(uint32_t n);
// The text of a string series as UTF-8 (for tests and diagnostics).
std::string string_text(NodeId s);

}  // namespace vel
