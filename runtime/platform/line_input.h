// Reading the console's input lines from standard input. On a terminal the
// line is edited in place and earlier lines are recalled (libedit on Linux);
// from a pipe or a file the lines are read as they come.
#pragma once
#include <string>
#include <string_view>

namespace vel::platform {

// True when standard input is a terminal that a person types on.
bool input_is_terminal();

// Shows `prompt` and reads one line, without its line end. A line that the
// user cancelled (the Escape key or Ctrl+C on a terminal) ends in the
// character 27, as the console expects of an escaped line. With `hide`
// the typed text is not echoed. False at the end of input (Ctrl+D on an
// empty terminal line, or the end of a pipe).
bool read_line(std::string_view prompt, bool hide, std::string& line);

// The terminal's size in characters; 0 for what is not known (no terminal).
void terminal_size(int& columns, int& rows);

// Sets the title of the process's text console; false when it cannot be
// set. Linux terminals keep their own titles: nothing to do there.
bool set_console_title(const std::string& title);

}  // namespace vel::platform
