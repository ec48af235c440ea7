#include "fake_console.h"

#include <algorithm>

namespace vel {

FakeConsole::FakeConsole(int width, int height, uint16_t attribute)
    : width_(std::max(width, 1)),
      height_(std::max(height, 1)),
      cells_(size_t(width_) * size_t(height_), CharCell{u' ', attribute}),
      attribute_(attribute) {}

void FakeConsole::next_line() {
  cursor_.x = 0;
  if (cursor_.y + 1 < height_) {
    cursor_.y++;
    return;
  }
  // Scroll: drop the top row, blank the bottom one.
  std::copy(cells_.begin() + width_, cells_.end(), cells_.begin());
  std::fill(cells_.end() - width_, cells_.end(), CharCell{u' ', attribute_});
}

bool FakeConsole::write_units(const char16_t* units, size_t n) {
  write_sizes.push_back(n);
  written.append(units, n);
  for (size_t i = 0; i < n; i++) {
    char16_t u = units[i];
    if (u == u'\r') {
      cursor_.x = 0;
    } else if (u == u'\n') {
      next_line();
    } else {
      cells_[index(cursor_.x, cursor_.y)] = CharCell{u, attribute_};
      if (++cursor_.x == width_) next_line();
    }
  }
  return true;
}

bool FakeConsole::info(ConsoleInfo& out) {
  out.width = width_;
  out.height = height_;
  out.cursor = cursor_;
  out.attribute = attribute_;
  out.left = 0;
  out.top = 0;
  out.right = width_ - 1;
  out.bottom = height_ - 1;
  out.max_width = width_;
  out.max_height = height_;
  return true;
}

bool FakeConsole::set_cursor(ConsoleCoord at) {
  if (at.x < 0 || at.y < 0 || at.x >= width_ || at.y >= height_) return false;
  cursor_ = at;
  return true;
}

bool FakeConsole::set_attribute(uint16_t attribute) {
  attribute_ = attribute;
  return true;
}

bool FakeConsole::fill_char(char16_t ch, size_t count, ConsoleCoord at) {
  if (at.x < 0 || at.y < 0 || at.x >= width_ || at.y >= height_) return false;
  size_t start = index(at.x, at.y), end = std::min(cells_.size(), start + std::min(count, cells_.size()));
  for (size_t i = start; i < end; i++) cells_[i].ch = ch;
  return true;
}

bool FakeConsole::fill_attribute(uint16_t attribute, size_t count, ConsoleCoord at) {
  if (at.x < 0 || at.y < 0 || at.x >= width_ || at.y >= height_) return false;
  size_t start = index(at.x, at.y), end = std::min(cells_.size(), start + std::min(count, cells_.size()));
  for (size_t i = start; i < end; i++) cells_[i].attr = attribute;
  return true;
}

std::string FakeConsole::row_text(int y) const {
  std::string s;
  for (int x = 0; x < width_; x++) {
    char16_t u = char_at(x, y);
    s += u < 0x80 ? char(u) : '?';
  }
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

}  // namespace vel
