// What start-up does after the runtime initialisation: the start-up flags
// and the top-level code of the boot sources.
#pragma once
#include <string>

namespace vel {

// Runtime initialisation, then the collector on, then the boot image's
// code evaluated in manifest order (boot.h). An error in it ends the
// process.
void start_runtime();

// The boot image's part of start_runtime, for a runtime already
// initialised (the C++ unit tests that call into the library).
void run_boot_library();

// The host tool's work: runtime initialisation, then the boot image of the
// manifest's sources written to out (boot.h). Answers the exit status.
int write_boot_image(const std::string& out, const std::string& root, const std::string& manifest);

// Runs the program body at the outermost frame: a LowLevelThrow that gets
// here ends the process with 95 "no CATCH for THROW" (the quiet-exit
// marker ends it with 0), an escaping Vel error ends it with -2 after its
// report, exhausted memory with 94. Returns when the body returns.
void run_outermost(void (*body)());

// Runs fn on a thread whose stack is 256 MB, as the Windows build's main
// thread is, so that depth guards rather than the machine decide how deep
// recursion may go. Answers fn's result.
int run_with_big_stack(int (*fn)());

}  // namespace vel
