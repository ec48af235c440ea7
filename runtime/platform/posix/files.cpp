// Files and directories for the Linux build.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace vel::platform {

namespace {
inline int fd_of(FileHandle h) { return int(h); }
}  // namespace

FileHandle file_open(const std::string& path, uint32_t mode) {
  if (path.empty() || path.find('\0') != std::string::npos) return BAD_FILE;
  int flags = O_CLOEXEC;
  if (mode & OPEN_READ) flags |= O_RDONLY;
  else flags |= O_WRONLY | O_CREAT | ((mode & (OPEN_APPEND | OPEN_SEEK)) ? 0 : O_TRUNC);
  int fd = open(path.c_str(), flags, 0666);
  if (fd < 0) return BAD_FILE;
  // A directory opens for reading on POSIX; as a file it cannot be read.
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return BAD_FILE;
  }
  return fd;
}

int64_t file_size(FileHandle h) {
  struct stat st;
  if (fstat(fd_of(h), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return int64_t(st.st_size);
}

bool file_seek(FileHandle h, int64_t offset) { return lseek(fd_of(h), off_t(offset), SEEK_SET) >= 0; }
bool file_seek_end(FileHandle h) { return lseek(fd_of(h), 0, SEEK_END) >= 0; }

int64_t file_read(FileHandle h, void* buf, size_t n) {
  for (;;) {
    ssize_t r = ::read(fd_of(h), buf, n);
    if (r >= 0) return r;
    if (errno != EINTR) return -1;
  }
}

int64_t file_write(FileHandle h, const void* buf, size_t n) {
  for (;;) {
    ssize_t r = ::write(fd_of(h), buf, n);
    if (r >= 0) return r;
    if (errno != EINTR) return -1;
  }
}

bool file_close(FileHandle h) { return close(fd_of(h)) == 0; }

bool list_dir(const std::string& path, std::vector<DirEntry>& out) {
  DIR* d = opendir(path.empty() ? "." : path.c_str());
  if (!d) return false;
  int dfd = dirfd(d);
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    bool dir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st;
      dir = fstatat(dfd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    out.push_back(DirEntry{std::move(name), dir});
  }
  closedir(d);
  return true;
}

std::vector<std::string> list_drives() { return {}; }

bool make_dir(const std::string& path) { return !path.empty() && mkdir(path.c_str(), 0777) == 0; }
bool remove_file(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0; }
bool remove_dir(const std::string& path) { return !path.empty() && rmdir(path.c_str()) == 0; }
bool rename_path(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return false;
  // Like the Windows rename, an existing target is not replaced.
  if (access(to.c_str(), F_OK) == 0) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}
bool path_exists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

PathKind path_kind(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return PathKind::Missing;
  if (S_ISREG(st.st_mode)) return PathKind::File;
  if (S_ISDIR(st.st_mode)) return PathKind::Dir;
  return PathKind::Other;
}

bool replace_file(const std::string& from, const std::string& to) {
  struct stat st;
  if (stat(to.c_str(), &st) == 0) chmod(from.c_str(), st.st_mode & 07777);
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool file_mtime(const std::string& path, FileTime& out) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return false;
  time_t secs = st.st_mtim.tv_sec;
  tm t{};
  if (!gmtime_r(&secs, &t)) return false;
  out = FileTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                 int(st.st_mtim.tv_nsec / 1000000)};
  return true;
}

}  // namespace vel::platform
