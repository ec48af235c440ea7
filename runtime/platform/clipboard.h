// The system clipboard: text, lists of files and images. Windows: the real
// clipboard (CF_UNICODETEXT, CF_HDROP, the registered "PNG", "JFIF" and
// "GIF" formats, CF_DIBV5 and the bitmaps the system makes from it). Linux:
// a store inside the process that keeps the last content written (a text
// console has no desktop clipboard to rely on).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vel::platform {

struct ClipboardContent {
  enum class Kind { NONE, TEXT, FILES, IMAGE } kind = Kind::NONE;
  std::string text;                // TEXT: UTF-8, lines ended by LF
  std::vector<std::string> files;  // FILES: local paths, UTF-8
  // IMAGE: an image file (PNG, JPEG or GIF) and the pixels, either or both:
  // a read answers the first the clipboard holds, a write places both. The
  // pixels are B, G, R, A (A the opacity), rows top first, width * 4 bytes
  // each.
  std::vector<uint8_t> encoded;
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> pixels;
};

// The richest supported format present (text, then files, then an image
// file, then a bitmap); NONE when there is none. False when the clipboard
// cannot be opened or its data cannot be read.
bool clipboard_read(ClipboardContent& out);

// Empties the clipboard and places the content (NONE leaves it empty).
// False when the clipboard cannot be opened or a format was not placed.
bool clipboard_write(const ClipboardContent& in);

}  // namespace vel::platform
