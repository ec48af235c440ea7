// Child processes for the Windows build: CreateProcessW with inherited
// pipe ends, "cmd /s /c" as the shell, one thread per pipe so that input
// and both outputs move at the same time.
#include <windows.h>

#include <algorithm>
#include <climits>

#include "platform/spawn.h"
#include "platform/win32/wide.h"

namespace vel::platform {

using win32::to_utf8;
using win32::to_wide;

namespace {

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  bool ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  void reset(HANDLE n = INVALID_HANDLE_VALUE) {
    if (ok()) CloseHandle(h);
    h = n;
  }
};

// A pipe whose child end is inheritable and whose own end is not.
bool make_pipe(Handle& child_end, Handle& own_end, bool child_reads) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE r, w;
  if (!CreatePipe(&r, &w, &sa, 0)) return false;
  child_end.reset(child_reads ? r : w);
  own_end.reset(child_reads ? w : r);
  return SetHandleInformation(own_end.h, HANDLE_FLAG_INHERIT, 0) != 0;
}

struct Writer {
  HANDLE h;
  const std::string* bytes;
};
struct Reader {
  HANDLE h;
  std::string* into;
};

DWORD WINAPI write_all(void* arg) {
  auto* w = static_cast<Writer*>(arg);
  size_t done = 0;
  while (done < w->bytes->size()) {
    DWORD chunk = DWORD(std::min<size_t>(w->bytes->size() - done, 1 << 20)), n = 0;
    // A child that stops reading breaks the pipe: the rest is dropped.
    if (!WriteFile(w->h, w->bytes->data() + done, chunk, &n, nullptr)) break;
    done += n;
  }
  return 0;
}

DWORD WINAPI read_all(void* arg) {
  auto* r = static_cast<Reader*>(arg);
  char buf[65536];
  DWORD n;
  while (ReadFile(r->h, buf, sizeof buf, &n, nullptr) && n > 0) r->into->append(buf, n);
  return 0;
}

SpawnResult run(const SpawnRequest& rq, bool shell) {
  SpawnResult res;
  res.via_shell = shell;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  si.wShowWindow = WORD(rq.show ? SW_SHOWNORMAL : SW_HIDE);
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);

  Handle null_dev, in_child, in_own, out_child, out_own, err_child, err_own;
  null_dev.reset(CreateFileW(L"nul:", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));

  if (rq.input.kind == Redirect::Kind::File) {
    in_child.reset(CreateFileW(to_wide(rq.input.path).c_str(), GENERIC_READ, 0, &sa, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in_child.ok()) return res;
    si.hStdInput = in_child.h;
  } else if (rq.input.kind == Redirect::Kind::Data) {
    if (!make_pipe(in_child, in_own, true)) return res;
    si.hStdInput = in_child.h;
  }
  auto setup_out = [&](const Redirect& r, Handle& child, Handle& own, HANDLE& slot) {
    if (r.kind == Redirect::Kind::Data) {
      if (!make_pipe(child, own, false)) return false;
    } else if (r.kind == Redirect::Kind::File) {
      // Appending; a file that cannot be opened leaves the stream to the
      // null device and the call goes on.
      child.reset(CreateFileW(to_wide(r.path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (child.ok()) SetFilePointer(child.h, 0, nullptr, FILE_END);
    }
    slot = child.ok() ? child.h : null_dev.h;
    return true;
  };
  if (!setup_out(rq.output, out_child, out_own, si.hStdOutput)) return res;
  if (!setup_out(rq.error, err_child, err_own, si.hStdError)) return res;

  std::wstring line = shell ? L"cmd /s /c \"" + to_wide(rq.command) + L"\"" : to_wide(rq.command);
  line.push_back(L'\0');
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, rq.show ? 0 : CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
    DWORD e = GetLastError();
    res.status = !shell && (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) ? -2 : -1;
    return res;
  }
  Handle process, thread;
  process.reset(pi.hProcess);
  thread.reset(pi.hThread);
  // Only the child keeps its ends.
  in_child.reset();
  out_child.reset();
  err_child.reset();

  Writer writer{in_own.h, &rq.input.bytes};
  Reader out_reader{out_own.h, &res.output}, err_reader{err_own.h, &res.error};
  HANDLE threads[3];
  DWORD n = 0;
  if (in_own.ok()) threads[n++] = CreateThread(nullptr, 0, write_all, &writer, 0, nullptr);
  if (out_own.ok()) threads[n++] = CreateThread(nullptr, 0, read_all, &out_reader, 0, nullptr);
  if (err_own.ok()) threads[n++] = CreateThread(nullptr, 0, read_all, &err_reader, 0, nullptr);
  // The input pipe closes once the writer is done, so the child sees the
  // end of its input; the readers end when the child closes its outputs.
  if (in_own.ok()) {
    WaitForSingleObject(threads[0], INFINITE);
    in_own.reset();
  }
  for (DWORD i = 0; i < n; i++) {
    if (threads[i]) {
      WaitForSingleObject(threads[i], INFINITE);
      CloseHandle(threads[i]);
    }
  }
  bool wait = rq.wait || rq.input.kind != Redirect::Kind::None || rq.output.kind != Redirect::Kind::None ||
              rq.error.kind != Redirect::Kind::None;
  if (!wait) {
    res.status = int64_t(pi.dwProcessId);
    return res;
  }
  WaitForSingleObject(process.h, INFINITE);
  DWORD code = DWORD(-1);
  GetExitCodeProcess(process.h, &code);
  res.status = int64_t(int32_t(code));
  return res;
}

}  // namespace

SpawnResult spawn(const SpawnRequest& rq) {
  SpawnResult res = run(rq, rq.shell);
  if (res.status == -2) res = run(rq, true);
  return res;
}

std::string shell_text_to_utf8(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > size_t(INT_MAX)) return bytes;
  int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
  if (n <= 0) return bytes;
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), w.data(), n);
  int m = WideCharToMultiByte(CP_UTF8, 0, w.data(), n, nullptr, 0, nullptr, nullptr);
  std::string out(size_t(m > 0 ? m : 0), '\0');
  if (m > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}

}  // namespace vel::platform
