// Files and directories for the Windows build: the W calls, paths
// converted from UTF-8 at this boundary.
#include <windows.h>

#include <cwchar>
#include <iterator>

#include "platform/files.h"
#include "platform/win32/wide.h"

namespace vel::platform {

using win32::to_utf8;
using win32::to_wide;

namespace {

inline HANDLE handle_of(FileHandle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

FileHandle file_open(const std::string& path, uint32_t mode) {
  std::wstring w = to_wide(path);
  if (w.empty() || w.find(L'\0') != std::wstring::npos) return BAD_FILE;
  DWORD access = (mode & OPEN_READ) ? GENERIC_READ : GENERIC_WRITE;
  DWORD disposition = (mode & OPEN_READ) ? OPEN_EXISTING : (mode & (OPEN_APPEND | OPEN_SEEK)) ? OPEN_ALWAYS : CREATE_ALWAYS;
  HANDLE h = CreateFileW(w.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return BAD_FILE;
  return reinterpret_cast<FileHandle>(h);
}

int64_t file_size(FileHandle h) {
  if (GetFileType(handle_of(h)) != FILE_TYPE_DISK) return -1;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_of(h), &size)) return -1;
  return size.QuadPart;
}

bool file_seek(FileHandle h, int64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  return SetFilePointerEx(handle_of(h), to, nullptr, FILE_BEGIN) != 0;
}

bool file_seek_end(FileHandle h) {
  LARGE_INTEGER zero{};
  return SetFilePointerEx(handle_of(h), zero, nullptr, FILE_END) != 0;
}

int64_t file_read(FileHandle h, void* buf, size_t n) {
  DWORD got = 0;
  DWORD want = n > 0x40000000 ? 0x40000000 : DWORD(n);
  if (!ReadFile(handle_of(h), buf, want, &got, nullptr)) {
    // The writer of a pipe closing is the end of its data.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return got;
}

int64_t file_write(FileHandle h, const void* buf, size_t n) {
  DWORD put = 0;
  DWORD want = n > 0x40000000 ? 0x40000000 : DWORD(n);
  if (!WriteFile(handle_of(h), buf, want, &put, nullptr)) return -1;
  return put;
}

bool file_close(FileHandle h) { return CloseHandle(handle_of(h)) != 0; }

bool list_dir(const std::string& path, std::vector<DirEntry>& out) {
  std::wstring w = to_wide(path);
  if (!w.empty() && w.back() != L'\\' && w.back() != L'/') w += L'\\';
  w += L'*';
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(w.c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    if (!wcscmp(fd.cFileName, L".") || !wcscmp(fd.cFileName, L"..")) continue;
    out.push_back(DirEntry{to_utf8(fd.cFileName, wcslen(fd.cFileName)),
                           (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  return true;
}

std::vector<std::string> list_drives() {
  std::vector<std::string> out;
  wchar_t buf[512];
  DWORD n = GetLogicalDriveStringsW(DWORD(std::size(buf)), buf);
  if (n == 0 || n >= std::size(buf)) return out;
  for (const wchar_t* d = buf; *d; d += wcslen(d) + 1) out.push_back(to_utf8(d, 1));
  return out;
}

bool make_dir(const std::string& path) {
  std::wstring w = to_wide(path);
  return !w.empty() && CreateDirectoryW(w.c_str(), nullptr) != 0;
}

bool remove_file(const std::string& path) {
  std::wstring w = to_wide(path);
  return !w.empty() && DeleteFileW(w.c_str()) != 0;
}

bool remove_dir(const std::string& path) {
  std::wstring w = to_wide(path);
  return !w.empty() && RemoveDirectoryW(w.c_str()) != 0;
}

bool rename_path(const std::string& from, const std::string& to) {
  std::wstring a = to_wide(from), b = to_wide(to);
  return !a.empty() && !b.empty() && _wrename(a.c_str(), b.c_str()) == 0;
}

bool path_exists(const std::string& path) {
  std::wstring w = to_wide(path);
  return !w.empty() && GetFileAttributesW(w.c_str()) != INVALID_FILE_ATTRIBUTES;
}

PathKind path_kind(const std::string& path) {
  std::wstring w = to_wide(path);
  if (w.empty()) return PathKind::Missing;
  DWORD a = GetFileAttributesW(w.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Dir;
  if (a & FILE_ATTRIBUTE_DEVICE) return PathKind::Other;
  return PathKind::File;
}

bool replace_file(const std::string& from, const std::string& to) {
  std::wstring a = to_wide(from), b = to_wide(to);
  return !a.empty() && !b.empty() && MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool file_mtime(const std::string& path, FileTime& out) {
  std::wstring w = to_wide(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (w.empty() || !GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) return false;
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&data.ftLastWriteTime, &st)) return false;
  out = FileTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
  return true;
}

}  // namespace vel::platform
