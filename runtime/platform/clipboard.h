// The system clipboard: text and lists of files. Windows: the real
// clipboard (CF_UNICODETEXT, CF_HDROP). Linux: a store inside the process
// that keeps the last content written (a text console has no desktop
// clipboard to rely on).
#pragma once
#include <string>
#include <vector>

namespace vel::platform {

struct ClipboardContent {
  enum class Kind { NONE, TEXT, FILES } kind = Kind::NONE;
  std::string text;                // TEXT: UTF-8, lines ended by LF
  std::vector<std::string> files;  // FILES: local paths, UTF-8
};

// The richest supported format present (text before files); NONE when
// there is none. False when the clipboard cannot be opened or its data
// cannot be read.
bool clipboard_read(ClipboardContent& out);

// Empties the clipboard and places the content (NONE leaves it empty).
// False when the clipboard cannot be opened or a format was not placed.
bool clipboard_write(const ClipboardContent& in);

}  // namespace vel::platform
