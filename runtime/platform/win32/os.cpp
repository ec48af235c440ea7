// OS services for the Windows build: the W functions, texts converted
// between UTF-8 and UTF-16 at this boundary.
#include <windows.h>


#include "platform/os.h"
#include "platform/win32/wide.h"

namespace vel::platform {

using win32::to_utf8;
using win32::to_wide;

namespace {

}  // namespace

// Asks for the size, then reads; the directory may change in between, so
// repeat until the text fits.
std::string get_current_dir() {
  std::wstring buf(MAX_PATH, L'\0');
  for (int tries = 0; tries < 8; tries++) {
    DWORD n = GetCurrentDirectoryW(DWORD(buf.size()), buf.data());
    if (n == 0) return {};
    if (n < buf.size()) return to_utf8(buf.data(), n);
    buf.assign(size_t(n) + 1, L'\0');  // n is the size needed, NUL included
  }
  return {};
}

bool set_current_dir(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  std::wstring w = to_wide(path);
  return !w.empty() && SetCurrentDirectoryW(w.c_str()) != 0;
}

void wait(double seconds) { Sleep(wait_milliseconds(seconds)); }

std::optional<std::string> get_env(const std::string& name) {
  if (!valid_env_name(name)) return std::nullopt;
  std::wstring wname = to_wide(name);
  if (wname.empty()) return std::nullopt;
  std::wstring buf(256, L'\0');
  for (int tries = 0; tries < 8; tries++) {
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableW(wname.c_str(), buf.data(), DWORD(buf.size()));
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();  // set, but empty
    }
    if (n < buf.size()) return to_utf8(buf.data(), n);
    buf.assign(n, L'\0');  // n is the size needed, NUL included
  }
  return std::nullopt;
}

bool set_env(const std::string& name, const std::string& value) {
  if (!valid_env_name(name) || value.find('\0') != std::string::npos) return false;
  std::wstring wname = to_wide(name), wvalue = to_wide(value);
  if (wname.empty()) return false;
  return SetEnvironmentVariableW(wname.c_str(), wvalue.c_str()) != 0;
}

bool unset_env(const std::string& name) {
  if (!valid_env_name(name)) return false;
  std::wstring wname = to_wide(name);
  if (wname.empty()) return false;
  return SetEnvironmentVariableW(wname.c_str(), nullptr) != 0;
}

std::vector<std::pair<std::string, std::string>> list_env() {
  std::vector<std::pair<std::string, std::string>> out;
  wchar_t* block = GetEnvironmentStringsW();
  if (!block) return out;
  for (const wchar_t* e = block; *e; e += wcslen(e) + 1) {
    // Split at the first "=" after the first character, so entries such
    // as "=C:=C:\dir" (per-drive directories) keep their "=" in the name.
    const wchar_t* eq = e[0] ? wcschr(e + 1, L'=') : nullptr;
    if (!eq) continue;
    out.emplace_back(to_utf8(e, size_t(eq - e)), to_utf8(eq + 1, wcslen(eq + 1)));
  }
  FreeEnvironmentStringsW(block);
  return out;
}

// The real version: RtlGetVersion answers it whatever the manifest says;
// GetVersionExW when ntdll lacks it.
OsInfo os_info() {
  OsInfo info;
  OSVERSIONINFOEXW v{};
  v.dwOSVersionInfoSize = sizeof v;
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto rtl = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                   : nullptr;
  if (!rtl || rtl(&v) != 0) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&v));
#pragma GCC diagnostic pop
  }
  std::string sp = to_utf8(v.szCSDVersion, wcslen(v.szCSDVersion));
  info.name = windows_name(int(v.dwMajorVersion), int(v.dwMinorVersion), int(v.dwBuildNumber),
                           v.wProductType != VER_NT_WORKSTATION, sp);
  SYSTEM_INFO si{};
  GetNativeSystemInfo(&si);
  info.arch = windows_arch(si.wProcessorArchitecture);
  info.major = int(v.dwMajorVersion);
  info.minor = int(v.dwMinorVersion);
  info.service_pack = int(v.wServicePackMajor);
  info.build = int(v.dwBuildNumber);
  return info;
}

Clock get_clock() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  // 100 ns ticks since 1601-01-01; 1970 is 11,644,473,600 seconds later.
  uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return Clock{int64_t(ticks / 10000000) - 11644473600, uint32_t(ticks % 10000000)};
}

double get_time(bool precise) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  // 100 ns ticks since 1601-01-01, a midnight in UTC.
  uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return time_of_day(int64_t(ticks / 10000000), uint32_t(ticks % 10000000), precise);
}

uint32_t get_date(bool utc) {
  SYSTEMTIME st;
  if (utc) {
    GetSystemTime(&st);
    return pack_date(st.wYear, st.wMonth, st.wDay, 0);
  }
  GetLocalTime(&st);
  TIME_ZONE_INFORMATION tz;
  DWORD which = GetTimeZoneInformation(&tz);
  // Bias is minutes to add to local time to get UTC.
  long bias = tz.Bias;
  if (which == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
  else if (which == TIME_ZONE_ID_STANDARD) bias += tz.StandardBias;
  uint32_t zone = which == TIME_ZONE_ID_INVALID ? 0 : pack_zone(int(-bias));
  return pack_date(st.wYear, st.wMonth, st.wDay, zone);
}

}  // namespace vel::platform
