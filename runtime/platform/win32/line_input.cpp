// Console input on Windows: the GUI console reads its own lines, so this
// build only reads standard input as a stream (a pipe or a file), for
// scripts that ask and for a console session fed on standard input.
#include <windows.h>

#include "platform/line_input.h"
#include "platform/platform.h"

namespace vel::platform {

bool input_is_terminal() { return false; }

// Byte by byte, so that nothing past the line is taken from a shared pipe.
// `hide` needs no echo handling: a stream does not echo.
bool read_line(std::string_view prompt, bool, std::string& line) {
  if (!prompt.empty()) write_stream(Stream::Out, prompt.data(), prompt.size());
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  line.clear();
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return false;
  bool got = false;
  for (;;) {
    char b;
    DWORD n = 0;
    if (!ReadFile(in, &b, 1, &n, nullptr) || n == 0) break;
    got = true;
    if (b == '\n') break;
    line += b;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return got;
}

void terminal_size(int& columns, int& rows) { columns = rows = 0; }

bool set_console_title(const std::string& title) { return SetConsoleTitleA(title.c_str()) != 0; }

}  // namespace vel::platform
