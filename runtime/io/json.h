// The kernels of load-json and to-json (library/codecs/json.vel): JSON text
// to blocks, maps, strings, numbers, logic values and none, and back.
#pragma once

#include "cell.h"
#include "memory.h"

namespace vel::json {

// The value of a JSON text (a string, from its index), or an error! value
// placing where it stops being JSON. Bad surrogate escapes raise
// script/invalid-data, nesting deeper than values can be walked raises
// internal/stack-overflow.
may_gc Cell decode(const Cell& text);

// The JSON text of a value: compact when indent is not a string, else
// indented by it; with ascii every character above 127 escaped. A value
// that holds itself raises internal/no-cycle.
may_gc Cell encode(const Cell& data, const Cell& indent, bool ascii);

// json-decode, json-encode and json-unescape in the routine registry.
void register_routines();

}  // namespace vel::json
