// The desktop shell: opening a document or URL with the program the user
// chose for it (browse).
#pragma once
#include <string>

namespace vel::platform {

// Opens the UTF-8 target with the shell's "open" verb, without waiting.
// Windows: ShellExecuteW. Linux: xdg-open when it is on the PATH; without
// it there is no shell to ask and nothing happens. False when nothing was
// started.
bool shell_open(const std::string& target);

}  // namespace vel::platform
