// What start-up does after the runtime initialisation: the start-up flags
// and the top-level code of the boot sources.
#pragma once

namespace vel {

// Runtime initialisation, then the collector on, then every boot source
// evaluated in manifest order. An error in a boot source ends the process.
void start_runtime();

// Runs fn on a thread whose stack is 256 MB, as the Windows build's main
// thread is, so that depth guards rather than the machine decide how deep
// recursion may go. Answers fn's result.
int run_with_big_stack(int (*fn)());

}  // namespace vel
