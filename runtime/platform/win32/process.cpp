// Process services for the Windows build.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <float.h>

#include <cstdlib>
#include <string>

#include "fatal.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace vel::platform {

using win32::to_utf8;
using win32::to_wide;

std::atomic<int> g_interrupt_pending{0};

namespace {

LONG WINAPI exception_filter(EXCEPTION_POINTERS* info) {
  uint32_t code = info->ExceptionRecord->ExceptionCode;
  auto address = uint32_t(reinterpret_cast<uintptr_t>(info->ExceptionRecord->ExceptionAddress));
  fatal_error(exception_code_to_error(code), address);
}

std::atomic<bool> g_interrupt_halts{false};

BOOL WINAPI ctrl_handler(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
    if (type == CTRL_C_EVENT && g_interrupt_halts.load() && g_interrupt_pending.exchange(1) == 0) return TRUE;
    fatal_error(0, 0);
  }
  return FALSE;
}

}  // namespace

void* reserve_pages(size_t size) { return VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS); }

bool commit_pages(void* p, size_t size) { return VirtualAlloc(p, size, MEM_COMMIT, PAGE_READWRITE) != nullptr; }

void decommit_pages(void* p, size_t size) { VirtualFree(p, size, MEM_DECOMMIT); }

void protect_pages(void* p, size_t size, bool accessible) {
  DWORD was = 0;
  VirtualProtect(p, size, accessible ? PAGE_READWRITE : PAGE_NOACCESS, &was);
}

void release_pages(void* p, size_t) { VirtualFree(p, 0, MEM_RELEASE); }

void* alloc_pages(size_t size) { return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

bool free_pages(void* p, size_t) { return VirtualFree(p, 0, MEM_RELEASE) != 0; }

// Large pages need a privilege ordinary processes lack: no hint here.

void init_fpu() {
  // SSE2 arithmetic: IEEE double, round to nearest, every exception masked.
  _fpreset();
  unsigned int cw;
  _controlfp_s(&cw, _MCW_EM, _MCW_EM);
  _controlfp_s(&cw, _RC_NEAR, _MCW_RC);
}

void interrupt_halts(bool on) {
  g_interrupt_halts.store(on);
  g_interrupt_pending.store(0);
}

void install_fault_handlers() {
  SetUnhandledExceptionFilter(exception_filter);
  SetErrorMode(SEM_FAILCRITICALERRORS);
  SetConsoleCtrlHandler(ctrl_handler, TRUE);
}

void init() {
  static bool done = false;
  if (done) return;
  done = true;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

void set_args(int, char**) {}

std::vector<std::string> command_line_args(bool& ok) {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wargs = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wargs) {
    ok = false;
    return args;
  }
  ok = true;
  for (int i = 0; i < count; i++) args.push_back(to_utf8(wargs[i]));
  LocalFree(wargs);
  return args;
}

std::string command_line() { return to_utf8(GetCommandLineW()); }

bool test_mode() {
  wchar_t buf[8];
  return GetEnvironmentVariableW(L"VEL_TEST_MODE", buf, 8) > 0;
}

void write_stream(Stream s, const char* bytes, size_t n) {
  HANDLE h = GetStdHandle(s == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  while (n > 0) {
    DWORD chunk = n > (1u << 30) ? (1u << 30) : DWORD(n), written = 0;
    if (!WriteFile(h, bytes, chunk, &written, nullptr) || written == 0) return;
    bytes += written;
    n -= written;
  }
}

void error_box(const std::string& caption, const std::string& text) {
  if (test_mode()) {
    std::string msg = caption + ": " + text + "\n";
    write_stream(Stream::Err, msg.data(), msg.size());
    return;
  }
  MessageBoxW(nullptr, to_wide(text).c_str(), to_wide(caption).c_str(), MB_TASKMODAL | MB_ICONERROR);
}

void exit_process(int status) {
  std::exit(status);
}

bool read_file(const std::string& path, std::string& out) {
  HANDLE h = CreateFileW(to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  out.clear();
  char buf[65536];
  DWORD n = 0;
  bool ok = true;
  while (true) {
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
      ok = false;
      break;
    }
    if (n == 0) break;
    out.append(buf, n);
  }
  CloseHandle(h);
  return ok;
}

}  // namespace vel::platform
