// file!: a url! naming a file in the language's notation (%dir/file.txt),
// with "/" as the only separator.
#pragma once
#include "cell.h"
#include "memory.h"

namespace vel::file {

// Appends the operating-system form of a file! or string! path (from its
// index) to the string out. On Windows "/c/dir" becomes "c:\dir", "/c"
// "c:\", "/server/share" "\\server\share", "//x" "\x", and every other "/"
// a "\"; POSIX paths are written as they are. With full, a relative path
// gets the current directory and a separator in front.
may_gc void to_local_path(const Cell& path, NodeId out, bool full);

}  // namespace vel::file
