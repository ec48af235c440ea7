// The desktop shell for the Windows build.
#include "platform/shell.h"
#include "platform/win32/wide.h"

#include <windows.h>
#include <shellapi.h>

namespace vel::platform {

bool shell_open(const std::string& target) {
  std::wstring w = win32::to_wide(target);
  // Values above 32 mean success.
  auto r = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", w.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return r > 32;
}

}  // namespace vel::platform
