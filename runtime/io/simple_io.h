// The file layer: the one place where Vel values become file-system calls.
// Whole-file reads into binary!, string! or a block of lines; writes of
// values to files or standard output; directory listings; delete, rename,
// query, make-dir and exists. Sizes and offsets are 64-bit.
#pragma once
#include <cstdint>
#include <string>

#include "cell.h"
#include "memory.h"

namespace vel::simple_io {

// The operating-system path (UTF-8) of a file! or string! from its index:
// drive letters and backslashes on Windows, the path itself on POSIX.
may_gc std::string os_path(const Cell& file);

// Lexical: the name ends in "/" or "\", or is ".", "..", or ends in a
// separator followed by one of them.
bool dir_q(const Cell& file);

// part and seek are none, an integer! or a float!.
may_gc Cell read(const Cell& file, const Cell& part, const Cell& seek, bool binary, bool lines);
// Writes to standard output when file is none.
may_gc void write(const Cell& file, const Cell& data, const Cell& part, const Cell& seek, bool binary, bool append,
                  bool lines);
may_gc Cell query(const Cell& file);  // date! or none
may_gc bool remove(const Cell& file);
may_gc bool rename(const Cell& from, const Cell& to);
may_gc bool make_dir(const Cell& dir);
may_gc bool exists(const Cell& file);
// The size of a file: an integer!, a float! beyond the integer range, or
// none for a directory or a file that cannot be opened.
may_gc Cell size_of(const Cell& file);
// The current directory as a file! in the language's notation, ending in "/".
may_gc Cell current_dir();

// Bytes read as text: UTF-8 with a leading byte-order mark skipped, CR LF
// and a lone CR turned into LF (bytes is changed in place). Lines: split
// at each LF, a CR before it dropped.
may_gc Cell text_of(std::string& bytes);
may_gc Cell lines_of(const std::string& bytes);

// Natives and routines of the file layer, and file!'s read, write, query,
// delete and rename.
void register_natives();

}  // namespace vel::simple_io
