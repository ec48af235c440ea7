// An in-memory console: a grid of character cells with attributes and a
// cursor, behaving like a Windows console with processed output (CR goes to
// the line start, LF to the start of the next line, the buffer scrolls at
// the bottom). It records every write so tests can see the chunking.
#pragma once
#include <string>
#include <vector>

#include "platform/console.h"

namespace vel {

class FakeConsole final : public ConsoleDevice {
 public:
  FakeConsole(int width, int height, uint16_t attribute = 0x07);

  bool write_units(const char16_t* units, size_t n) override;
  bool info(ConsoleInfo& out) override;
  bool set_cursor(ConsoleCoord at) override;
  bool set_attribute(uint16_t attribute) override;
  bool fill_char(char16_t ch, size_t count, ConsoleCoord at) override;
  bool fill_attribute(uint16_t attribute, size_t count, ConsoleCoord at) override;

  char16_t char_at(int x, int y) const { return cells_[index(x, y)].ch; }
  uint16_t attr_at(int x, int y) const { return cells_[index(x, y)].attr; }
  // Row y as ASCII (units above 0x7F become '?'), trailing spaces removed.
  std::string row_text(int y) const;
  ConsoleCoord cursor() const { return cursor_; }
  uint16_t attribute() const { return attribute_; }
  int width() const { return width_; }
  int height() const { return height_; }

  // Every write_units call's length, in order, and all units written.
  std::vector<size_t> write_sizes;
  std::u16string written;

 private:
  struct CharCell {
    char16_t ch;
    uint16_t attr;
  };
  size_t index(int x, int y) const { return size_t(y) * size_t(width_) + size_t(x); }
  void next_line();

  int width_, height_;
  std::vector<CharCell> cells_;
  ConsoleCoord cursor_;
  uint16_t attribute_;
};

}  // namespace vel
