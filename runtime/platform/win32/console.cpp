// The Windows console behind standard output.
#include <windows.h>

#include "platform/console.h"

namespace vel::platform {

namespace {

COORD to_coord(ConsoleCoord c) { return COORD{SHORT(c.x), SHORT(c.y)}; }

DWORD clamp_count(size_t n) { return n > 0x7FFFFFFF ? DWORD(0x7FFFFFFF) : DWORD(n); }

class Win32Console final : public ConsoleDevice {
 public:
  explicit Win32Console(HANDLE h) : h_(h) {}

  bool write_units(const char16_t* units, size_t n) override {
    auto* p = reinterpret_cast<const wchar_t*>(units);
    while (n > 0) {
      DWORD written = 0;
      if (!WriteConsoleW(h_, p, clamp_count(n), &written, nullptr) || written == 0) return false;
      p += written;
      n -= written;
    }
    return true;
  }

  bool info(ConsoleInfo& out) override {
    CONSOLE_SCREEN_BUFFER_INFO csbi;
    if (!GetConsoleScreenBufferInfo(h_, &csbi)) return false;
    out.width = csbi.dwSize.X;
    out.height = csbi.dwSize.Y;
    out.cursor = {csbi.dwCursorPosition.X, csbi.dwCursorPosition.Y};
    out.attribute = csbi.wAttributes;
    out.left = csbi.srWindow.Left;
    out.top = csbi.srWindow.Top;
    out.right = csbi.srWindow.Right;
    out.bottom = csbi.srWindow.Bottom;
    out.max_width = csbi.dwMaximumWindowSize.X;
    out.max_height = csbi.dwMaximumWindowSize.Y;
    return true;
  }

  bool set_cursor(ConsoleCoord at) override { return SetConsoleCursorPosition(h_, to_coord(at)) != 0; }

  bool set_attribute(uint16_t attribute) override { return SetConsoleTextAttribute(h_, attribute) != 0; }

  bool fill_char(char16_t ch, size_t count, ConsoleCoord at) override {
    DWORD done = 0;
    return FillConsoleOutputCharacterW(h_, wchar_t(ch), clamp_count(count), to_coord(at), &done) != 0;
  }

  bool fill_attribute(uint16_t attribute, size_t count, ConsoleCoord at) override {
    DWORD done = 0;
    return FillConsoleOutputAttribute(h_, attribute, clamp_count(count), to_coord(at), &done) != 0;
  }

 private:
  HANDLE h_;
};

}  // namespace

ConsoleDevice* stdout_console() {
  static ConsoleDevice* console = []() -> ConsoleDevice* {
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return nullptr;
    static Win32Console device(h);
    return &device;
  }();
  return console;
}

}  // namespace vel::platform
