// Running Vel source text: script files and the boot sources.
#pragma once
#include <cstddef>
#include <string_view>

#include "cell.h"
#include "memory.h"
#include "status.h"

namespace vel {

// The byte offset of the script header: the first "Vel" (optionally
// "Vel/System") followed by white space and "[". npos when there is none.
size_t find_script_header(std::string_view text);

// Loads UTF-8 text into a block (the collector may run; the block is
// unrooted).
may_gc Cell load_text(std::string_view text);

// Runs a script's text: finds the header (syntax/no-header naming `name`
// when there is none), loads from it, skips the header word and block and
// evaluates the rest at top level. Errors travel as VelError.
may_gc Status run_script(std::string_view text, const Cell& name);

// Evaluates source text with no header at top level.
may_gc Status run_source(std::string_view text);

// Evaluates a block of loaded code (from its index) at top level.
may_gc Status run_code(const Cell& block);

}  // namespace vel
