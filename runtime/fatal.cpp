#include "fatal.h"

#include <cstdio>
#include <string>

#include "memory.h"
#include "platform/platform.h"

namespace vel {

namespace {

struct ErrorText {
  int code;
  const char* text;
};

// The 40 fixed texts; codes 23-34 are never produced by the fault handlers
// but keep their texts.
constexpr ErrorText kTexts[] = {
    {1, "access violation"},
    {2, "invalid alignment"},
    {3, "breakpoint"},
    {4, "single step"},
    {5, "bounds exceeded"},
    {6, "float denormal operan"},
    {7, "float divide by zero"},
    {8, "float inexact result"},
    {9, "float invalid operation"},
    {10, "float overflow"},
    {11, "float stack check"},
    {12, "float underflow"},
    {13, "integer divide by zero"},
    {14, "integer overflow"},
    {15, "privileged instruction"},
    {16, "invalid virtual address"},
    {17, "illegal instruction"},
    {18, "non-continuable exception"},
    {19, "stack error or overflow"},
    {20, "invalid disposition"},
    {21, "guard page"},
    {22, "invalid handle"},
    {23, "illegal operand"},
    {24, "illegal addressing mode"},
    {25, "illegal trap"},
    {26, "coprocessor error"},
    {27, "non-existent physical address"},
    {28, "object specific hardware error"},
    {29, "hardware memory error consumed AR"},
    {30, "hardware memory error consumed AO"},
    {31, "privileged register"},
    {32, "segmentation fault"},
    {33, "FPU error"},
    {34, "Bus error"},
    {94, "out of memory"},
    {95, "no CATCH for THROW"},
    {98, "assertion failed"},
    {99, "unknown error"},
    {100, "no value matched in CASE"},
    {101, "no value matched in SWITCH"},
};
static_assert(sizeof(kTexts) / sizeof(kTexts[0]) == 40);

struct ExceptionMap {
  uint32_t exception;
  int number;
};

constexpr ExceptionMap kExceptions[] = {
    {0xC0000005, 1},  {0x80000002, 2},  {0x80000003, 3},  {0x80000004, 4},  {0xC000008C, 5},
    {0xC000008D, 6},  {0xC000008E, 7},  {0xC000008F, 8},  {0xC0000090, 9},  {0xC0000091, 10},
    {0xC0000092, 11}, {0xC0000093, 12}, {0xC0000094, 13}, {0xC0000095, 14}, {0xC0000096, 15},
    {0xC0000006, 16}, {0xC000001D, 17}, {0xC0000025, 18}, {0xC00000FD, 19}, {0xC0000026, 20},
    {0x80000001, 21}, {0xC0000008, 22}, {0xC000013A, 0},
};

}  // namespace

const char* fatal_error_text(int code) {
  for (const ErrorText& t : kTexts)
    if (t.code == code) return t.text;
  return "unknown error code!";
}

int exception_code_to_error(uint32_t exception_code) {
  for (const ExceptionMap& m : kExceptions)
    if (m.exception == exception_code) return m.number;
  return 99;
}

[[noreturn]] void fatal_error(int code, uint32_t address) {
  if (code != 0) {
    char text[512];
    std::snprintf(text, sizeof text, "*** Runtime Error %d: %s\n*** at: %08Xh", code, fatal_error_text(code),
                  address);
    platform::error_box("Vel App Error", text);
  }
  lowlevel_free_all();
  platform::exit_process(code);
}

[[noreturn]] void startup_fault(const char* text) {
  std::string line = std::string(text) + "\n";
  platform::write_stream(platform::Stream::Out, line.data(), line.size());
  platform::exit_process(1);
}

}  // namespace vel
