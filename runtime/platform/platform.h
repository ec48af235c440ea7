// The operating system as the runtime sees it. One implementation per OS:
// platform/win32/ (Windows, the product) and platform/posix/ (Linux).
// Everything here is thin: policy belongs to the callers.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vel::platform {

// --- virtual memory --------------------------------------------------------
constexpr size_t PAGE_SIZE = 4096;
void* reserve_pages(size_t size);               // address space only; nullptr on failure
bool commit_pages(void* p, size_t size);        // inside a reserved range
void decommit_pages(void* p, size_t size);
// Pages kept committed (with their contents) but made inaccessible, or
// accessible again.
void protect_pages(void* p, size_t size, bool accessible);
void release_pages(void* p, size_t size);       // a whole reserved range
void* alloc_pages(size_t size);                 // reserved and committed; nullptr on failure
bool free_pages(void* p, size_t size);

// --- process start ---------------------------------------------------------
// Floating point: IEEE double, round to nearest, every exception masked.
void init_fpu();
// Fault handling: faults end the process through fatal_error with the
// runtime error number of the fault.
void install_fault_handlers();
// Ctrl+C ends the process quietly, unless the console has asked for it to
// halt the evaluation under way (interrupt_halts(true)): then it only sets
// g_interrupt_pending, which the evaluator takes at its next block, and a
// second Ctrl+C before that ends the process as before (a native that runs
// long never looks). Switching either way drops a pending one.
void interrupt_halts(bool on);
extern std::atomic<int> g_interrupt_pending;
// Platform start of the runtime initialisation: COM, crypto provider,
// console detection. Idempotent.
void init();
// The Linux build takes its arguments from main; Windows reads the wide
// command line itself and ignores this.
void set_args(int argc, char** argv);
// Command-line arguments as UTF-8, program path first. `ok` is false when
// the system could not split the command line.
std::vector<std::string> command_line_args(bool& ok);
// The whole command line as typed (UTF-8).
std::string command_line();

// True when the GUI must not block on message boxes (tests, CI, no display).
bool test_mode();

// --- standard streams -------------------------------------------------------
enum class Stream { Out, Err };
void write_stream(Stream s, const char* bytes, size_t n);
// Shows a fatal or uncaught-error report: a task-modal message box on
// Windows, standard error in test mode and on Linux.
void error_box(const std::string& caption, const std::string& text);

[[noreturn]] void exit_process(int status);

// --- files (the minimum start-up needs; the file system layer is elsewhere) --
// Reads a whole file named by a UTF-8 path. False when it cannot be read.
bool read_file(const std::string& path, std::string& out);

}  // namespace vel::platform
