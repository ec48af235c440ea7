#include "platform/win32/wide.h"

#include <windows.h>

#include <climits>
#include <cwchar>

namespace vel::platform::win32 {

std::wstring to_wide(std::string_view s) {
  if (s.empty() || s.size() > size_t(INT_MAX)) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

std::string to_utf8(const wchar_t* w, size_t len) {
  if (len == 0 || len > size_t(INT_MAX)) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w, int(len), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, int(len), s.data(), n, nullptr, nullptr);
  return s;
}

std::string to_utf8(const wchar_t* w) { return w ? to_utf8(w, std::wcslen(w)) : std::string(); }

}  // namespace vel::platform::win32
