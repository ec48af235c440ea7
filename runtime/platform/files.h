// Files and directories: the system calls under the file layer
// (io/simple_io). Paths are operating-system paths in UTF-8; the Windows
// build converts them to UTF-16 for the W calls. Sizes and offsets are
// 64-bit throughout.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vel::platform {

// Open modes (bits): read opens an existing file; anything else opens for
// writing, creating the file anew, or keeping its contents when append or
// seek is set.
constexpr uint32_t OPEN_READ = 1;
constexpr uint32_t OPEN_WRITE = 2;
constexpr uint32_t OPEN_APPEND = 4;
constexpr uint32_t OPEN_SEEK = 8;

using FileHandle = intptr_t;
constexpr FileHandle BAD_FILE = -1;

FileHandle file_open(const std::string& path, uint32_t mode);
// The size of a regular file; -1 for pipes, devices and other streams,
// which are read to their end instead.
int64_t file_size(FileHandle h);
bool file_seek(FileHandle h, int64_t offset);  // from the start
bool file_seek_end(FileHandle h);
// Bytes moved, 0 at the end of the file, -1 on failure. Short counts are
// retried by the callers.
int64_t file_read(FileHandle h, void* buf, size_t n);
int64_t file_write(FileHandle h, const void* buf, size_t n);
// False when the data could not be flushed (a full disk may only say so
// here).
bool file_close(FileHandle h);

struct DirEntry {
  std::string name;
  bool dir;
};
// The entries of a directory except "." and "..", in the system's order.
// False when the directory cannot be searched.
bool list_dir(const std::string& path, std::vector<DirEntry>& out);
// The drive letters ("C", "Z") in the system's order; the Linux build has
// no drives and answers none.
std::vector<std::string> list_drives();

bool make_dir(const std::string& path);
bool remove_file(const std::string& path);
bool remove_dir(const std::string& path);
bool rename_path(const std::string& from, const std::string& to);
bool path_exists(const std::string& path);

enum class PathKind : uint8_t { Missing, File, Dir, Other };
PathKind path_kind(const std::string& path);

// Replaces `to` by `from` in one step (both in the same directory); a
// file that existed at `to` keeps its permissions on the new contents.
bool replace_file(const std::string& from, const std::string& to);

// The time of the last write, in UTC.
struct FileTime {
  int year, month, day, hour, minute, second, millisecond;
};
bool file_mtime(const std::string& path, FileTime& out);

}  // namespace vel::platform
