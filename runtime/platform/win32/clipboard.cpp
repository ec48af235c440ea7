// The Windows clipboard: text as CF_UNICODETEXT (LF written as CR LF),
// files as CF_HDROP. Data from other programs is checked against its
// block size before it is read.
#include <windows.h>
#include <shlobj.h>

#include <cstring>

#include "platform/clipboard.h"
#include "platform/win32/wide.h"

namespace vel::platform {

using win32::to_utf8;
using win32::to_wide;

namespace {

// The clipboard's owner. With no owner window, EmptyClipboard leaves the
// clipboard without an owner and SetClipboardData fails, so until the GUI
// has a main window a hidden message-only window stands in.
HWND owner_window() {
  static HWND hwnd = [] {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = inst;
    wc.lpszClassName = L"VelClipboardOwner";
    RegisterClassW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, inst, nullptr);
  }();
  return hwnd;
}

// Three attempts; between them the owner gets a moment to answer.
bool open_clipboard() {
  HWND owner = owner_window();
  for (int attempt = 0; attempt < 3; attempt++) {
    if (OpenClipboard(owner)) return true;
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    Sleep(1);
  }
  return false;
}

struct ClipboardSession {
  bool open = open_clipboard();
  ~ClipboardSession() {
    if (open) CloseClipboard();
  }
};

// A locked global block and its size.
struct Locked {
  HGLOBAL h;
  const uint8_t* p;
  size_t size;
  explicit Locked(HANDLE data)
      : h(static_cast<HGLOBAL>(data)), p(h ? static_cast<const uint8_t*>(GlobalLock(h)) : nullptr),
        size(p ? GlobalSize(h) : 0) {}
  ~Locked() {
    if (p) GlobalUnlock(h);
  }
};

// UTF-16 text up to its NUL (or the block's end), CR LF as LF.
std::string text_of(const wchar_t* w, size_t max_chars) {
  size_t n = 0;
  while (n < max_chars && w[n]) n++;
  std::wstring t;
  t.reserve(n);
  for (size_t i = 0; i < n; i++) {
    if (w[i] == L'\r' && i + 1 < n && w[i + 1] == L'\n') continue;
    t.push_back(w[i]);
  }
  return to_utf8(t.data(), t.size());
}

// The names of a DROPFILES block, each within the block.
bool files_of(const Locked& m, std::vector<std::string>& out) {
  if (m.size < sizeof(DROPFILES)) return false;
  DROPFILES df;
  std::memcpy(&df, m.p, sizeof df);
  if (df.pFiles < sizeof(DROPFILES) || df.pFiles >= m.size) return false;
  const uint8_t* p = m.p + df.pFiles;
  const uint8_t* end = m.p + m.size;
  if (df.fWide) {
    for (;;) {
      std::wstring name;
      for (;;) {
        if (end - p < 2) return false;
        wchar_t c;
        std::memcpy(&c, p, 2);
        p += 2;
        if (!c) break;
        name.push_back(c);
      }
      if (name.empty()) return true;
      out.push_back(to_utf8(name.data(), name.size()));
    }
  }
  for (;;) {
    std::string name;
    for (;;) {
      if (p >= end) return false;
      char c = char(*p++);
      if (!c) break;
      name.push_back(c);
    }
    if (name.empty()) return true;
    // Narrow names are in the ANSI code page.
    int n = MultiByteToWideChar(CP_ACP, 0, name.data(), int(name.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, name.data(), int(name.size()), w.data(), n);
    out.push_back(to_utf8(w.data(), w.size()));
  }
}

// A movable global block holding the bytes, or null.
HGLOBAL global_copy(const void* bytes, size_t n) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, n);
  if (!h) return nullptr;
  void* p = GlobalLock(h);
  if (!p) {
    GlobalFree(h);
    return nullptr;
  }
  std::memcpy(p, bytes, n);
  GlobalUnlock(h);
  return h;
}

}  // namespace

bool clipboard_read(ClipboardContent& out) {
  out = {};
  ClipboardSession session;
  if (!session.open) return false;
  if (IsClipboardFormatAvailable(CF_UNICODETEXT)) {
    Locked m(GetClipboardData(CF_UNICODETEXT));
    if (!m.p) return false;
    out.kind = ClipboardContent::Kind::TEXT;
    out.text = text_of(reinterpret_cast<const wchar_t*>(m.p), m.size / sizeof(wchar_t));
    return true;
  }
  if (IsClipboardFormatAvailable(CF_HDROP)) {
    Locked m(GetClipboardData(CF_HDROP));
    if (!m.p) return false;
    std::vector<std::string> files;
    if (!files_of(m, files)) return false;
    out.kind = ClipboardContent::Kind::FILES;
    out.files = std::move(files);
    return true;
  }
  return true;
}

bool clipboard_write(const ClipboardContent& in) {
  HGLOBAL data = nullptr;
  UINT format = 0;
  if (in.kind == ClipboardContent::Kind::TEXT) {
    std::wstring w;
    for (wchar_t c : to_wide(in.text)) {
      if (c == L'\n') w.push_back(L'\r');
      w.push_back(c);
    }
    w.push_back(L'\0');
    data = global_copy(w.data(), w.size() * sizeof(wchar_t));
    format = CF_UNICODETEXT;
    if (!data) return false;
  } else if (in.kind == ClipboardContent::Kind::FILES) {
    std::wstring names;
    for (const std::string& f : in.files) {
      names += to_wide(f);
      names.push_back(L'\0');
    }
    names.push_back(L'\0');
    DROPFILES df{};
    df.pFiles = sizeof(DROPFILES);
    df.fWide = TRUE;
    std::string block(reinterpret_cast<const char*>(&df), sizeof df);
    block.append(reinterpret_cast<const char*>(names.data()), names.size() * sizeof(wchar_t));
    data = global_copy(block.data(), block.size());
    format = CF_HDROP;
    if (!data) return false;
  }
  ClipboardSession session;
  if (!session.open) {
    if (data) GlobalFree(data);
    return false;
  }
  if (!EmptyClipboard()) {
    if (data) GlobalFree(data);
    return false;
  }
  if (!data) return true;
  // The clipboard owns the block once it is placed.
  if (!SetClipboardData(format, data)) {
    GlobalFree(data);
    return false;
  }
  return true;
}

}  // namespace vel::platform
