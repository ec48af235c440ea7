// The desktop shell for the Windows build.
#include "platform/shell.h"

#include <windows.h>
#include <shellapi.h>

namespace vel::platform {

bool shell_open(const std::string& target) {
  int n = MultiByteToWideChar(CP_UTF8, 0, target.data(), int(target.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  if (n) MultiByteToWideChar(CP_UTF8, 0, target.data(), int(target.size()), w.data(), n);
  // Values above 32 mean success.
  auto r = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", w.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return r > 32;
}

}  // namespace vel::platform
