// A character-cell console as the output writer drives it: the Windows
// console API reduced to the calls that rendering ANSI sequences needs.
// The Windows build implements it over the process's console; tests use the
// in-memory FakeConsole (fake_console.h). Linux never has one: terminals
// render the escape bytes themselves.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vel {

// Attribute word bits, as the Windows console defines them.
constexpr uint16_t CONSOLE_FG_MASK = 0x000F;
constexpr uint16_t CONSOLE_BG_MASK = 0x00F0;
constexpr uint16_t CONSOLE_UNDERSCORE = 0x8000;

struct ConsoleCoord {
  int x = 0;  // column, 0-based
  int y = 0;  // row of the screen buffer, 0-based
};

struct ConsoleInfo {
  int width = 0, height = 0;  // screen buffer size
  ConsoleCoord cursor;
  uint16_t attribute = 0;
  int left = 0, top = 0, right = 0, bottom = 0;  // visible window, inclusive
  int max_width = 0, max_height = 0;             // largest window possible
};

class ConsoleDevice {
 public:
  virtual ~ConsoleDevice() = default;
  // Writes UTF-16 code units at the cursor in the current attribute.
  virtual bool write_units(const char16_t* units, size_t n) = 0;
  virtual bool info(ConsoleInfo& out) = 0;
  virtual bool set_cursor(ConsoleCoord at) = 0;
  virtual bool set_attribute(uint16_t attribute) = 0;
  // Fill `count` cells from `at` onwards, row after row; the cursor stays.
  virtual bool fill_char(char16_t ch, size_t count, ConsoleCoord at) = 0;
  virtual bool fill_attribute(uint16_t attribute, size_t count, ConsoleCoord at) = 0;
};

namespace platform {
// The console that standard output is attached to, or nullptr when output
// is redirected (to a file, a pipe, or nowhere, as in a GUI process).
// Detected once; always nullptr on Linux.
ConsoleDevice* stdout_console();
}  // namespace platform

}  // namespace vel
