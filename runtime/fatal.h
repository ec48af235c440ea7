// The process-level failure path: fatal runtime errors and exit statuses.
#pragma once
#include <cstdint>

namespace vel {

// Reports "*** Runtime Error %d: %s\n*** at: %08Xh" in the "Vel App Error"
// box (standard error in test mode) and ends the process with status =
// code. Code 0 ends it quietly with status 0.
[[noreturn]] void fatal_error(int code, uint32_t address);

// The text of a runtime error number ("unknown error code!" for codes
// without one).
const char* fatal_error_text(int code);

// Maps a Windows exception code to a runtime error number (99 when the code
// is not in the table; 0 for a Ctrl+C exit).
int exception_code_to_error(uint32_t exception_code);

// A start-up fault that cannot become a Vel error: prints the text on
// standard output and exits with status 1.
[[noreturn]] void startup_fault(const char* text);

// A low-level throw of a code that no Vel frame handles.
struct LowLevelThrow {
  uint32_t value;
};

// Status of the process when an uncaught Vel error ends it.
constexpr int EXIT_UNCAUGHT_ERROR = -2;
// The thrown value that ends the process quietly at the outermost frame.
constexpr uint32_t QUIET_EXIT_MARKER = 0x0BADCAFE;

}  // namespace vel
