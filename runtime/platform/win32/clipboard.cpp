// The Windows clipboard: text as CF_UNICODETEXT (LF written as CR LF),
// files as CF_HDROP, images as the registered "PNG" format and CF_DIBV5.
// Data from other programs is checked against its block size before it is
// read.
#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
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

// The image file formats other programs place, in the order they are read.
UINT registered_format(const wchar_t* name) { return RegisterClipboardFormatW(name); }

constexpr uint32_t DIBV5_HEADER = 124;
constexpr uint32_t SIDE_MAX = 65535;  // an image's sides are 16-bit
constexpr DWORD WINDOWS_COLOR_SPACE = 0x57696E20;  // 'Win '
constexpr uint32_t MASK_R = 0x00FF0000, MASK_G = 0x0000FF00, MASK_B = 0x000000FF, MASK_A = 0xFF000000;

uint32_t u32_at(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A device-independent bitmap (CF_DIBV5 or CF_DIB: a header of 40 bytes or
// more, then the pixels) as top-down BGRA. Read here: 32 bits per pixel,
// plain or with the usual colour masks, and 24 bits. Others are left to
// the system's conversion (OTHER); a block too small for what its header
// declares is BAD.
enum class Dib { IMAGE, EMPTY, OTHER, BAD };

Dib pixels_of_dib(const Locked& m, ClipboardContent& out) {
  if (m.size < 40) return Dib::BAD;
  uint32_t header = u32_at(m.p);
  if (header < 40 || header > m.size) return Dib::BAD;
  int64_t width = int32_t(u32_at(m.p + 4)), height = int32_t(u32_at(m.p + 8));
  uint16_t bits;
  std::memcpy(&bits, m.p + 14, 2);
  uint32_t compression = u32_at(m.p + 16), colors_used = u32_at(m.p + 32);
  if (width < 0) return Dib::BAD;
  if (width == 0 || height == 0) return Dib::EMPTY;
  bool bottom_up = height > 0;
  height = std::abs(height);
  if (width > SIDE_MAX || height > SIDE_MAX) return Dib::BAD;
  uint64_t offset = header;
  bool alpha = false;
  if (compression == BI_BITFIELDS) {
    // The masks are in a larger header, else in 12 bytes after it.
    const uint8_t* masks = m.p + 40;
    if (header < 52) {
      if (m.size < 52) return Dib::BAD;
      offset += 12;
    }
    if (bits != 32 || u32_at(masks) != MASK_R || u32_at(masks + 4) != MASK_G || u32_at(masks + 8) != MASK_B)
      return Dib::OTHER;
    alpha = header >= 56 && u32_at(m.p + 52) == MASK_A;
  } else if (compression != BI_RGB || (bits != 32 && bits != 24)) {
    return Dib::OTHER;
  }
  offset += uint64_t(colors_used) * 4;
  uint64_t stride = bits == 32 ? uint64_t(width) * 4 : (uint64_t(width) * 3 + 3) & ~uint64_t(3);
  if (offset + stride * uint64_t(height) > m.size) return Dib::BAD;
  out.width = uint32_t(width);
  out.height = uint32_t(height);
  out.pixels.resize(size_t(width) * size_t(height) * 4);
  bool any_alpha = false;
  for (int64_t y = 0; y < height; y++) {
    const uint8_t* src = m.p + offset + stride * uint64_t(bottom_up ? height - 1 - y : y);
    uint8_t* dst = out.pixels.data() + size_t(y) * size_t(width) * 4;
    if (bits == 32) {
      std::memcpy(dst, src, size_t(width) * 4);
      for (int64_t x = 0; x < width; x++) any_alpha |= dst[4 * x + 3] != 0;
    } else {
      for (int64_t x = 0; x < width; x++) {
        dst[4 * x] = src[3 * x];
        dst[4 * x + 1] = src[3 * x + 1];
        dst[4 * x + 2] = src[3 * x + 2];
      }
    }
  }
  // Without an alpha mask the fourth byte is unused; writers that fill
  // it anyway are taken at their word unless it is zero throughout.
  if (!alpha && (bits == 24 || !any_alpha))
    for (size_t i = 3; i < out.pixels.size(); i += 4) out.pixels[i] = 255;
  return Dib::IMAGE;
}

// A GDI bitmap's pixels through GetDIBits, opaque: what the system makes of
// a bitmap in a form the reader above does not take.
bool pixels_of_bitmap(HBITMAP bitmap, ClipboardContent& out) {
  BITMAP bm{};
  if (!bitmap || !GetObjectW(bitmap, sizeof bm, &bm)) return false;
  if (bm.bmWidth <= 0 || bm.bmHeight <= 0 || uint32_t(bm.bmWidth) > SIDE_MAX || uint32_t(bm.bmHeight) > SIDE_MAX)
    return false;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = bm.bmWidth;
  info.bmiHeader.biHeight = -bm.bmHeight;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  std::vector<uint8_t> px(size_t(bm.bmWidth) * size_t(bm.bmHeight) * 4);
  HDC dc = GetDC(nullptr);
  int rows = GetDIBits(dc, bitmap, 0, UINT(bm.bmHeight), px.data(), &info, DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  if (rows != bm.bmHeight) return false;
  for (size_t i = 3; i < px.size(); i += 4) px[i] = 255;
  out.width = uint32_t(bm.bmWidth);
  out.height = uint32_t(bm.bmHeight);
  out.pixels = std::move(px);
  return true;
}

// The 124-byte version-5 header of top-down BGRA pixels with their alpha.
std::string dibv5_block(const ClipboardContent& in) {
  BITMAPV5HEADER h{};
  static_assert(sizeof h == DIBV5_HEADER);
  h.bV5Size = DIBV5_HEADER;
  h.bV5Width = LONG(in.width);
  h.bV5Height = -LONG(in.height);
  h.bV5Planes = 1;
  h.bV5BitCount = 32;
  h.bV5Compression = BI_BITFIELDS;
  h.bV5SizeImage = DWORD(in.pixels.size());
  h.bV5RedMask = MASK_R;
  h.bV5GreenMask = MASK_G;
  h.bV5BlueMask = MASK_B;
  h.bV5AlphaMask = MASK_A;
  h.bV5CSType = WINDOWS_COLOR_SPACE;
  h.bV5Intent = LCS_GM_IMAGES;
  std::string block(reinterpret_cast<const char*>(&h), sizeof h);
  block.append(reinterpret_cast<const char*>(in.pixels.data()), in.pixels.size());
  return block;
}

// An image's formats: the file of a registered format, else the bitmap.
bool image_of(ClipboardContent& out) {
  for (const wchar_t* name : {L"PNG", L"JFIF", L"GIF"}) {
    UINT format = registered_format(name);
    if (!format || !IsClipboardFormatAvailable(format)) continue;
    Locked m(GetClipboardData(format));
    if (!m.p) return false;
    out.kind = ClipboardContent::Kind::IMAGE;
    out.encoded.assign(m.p, m.p + m.size);
    return true;
  }
  // The bitmap as its program placed it: the system offers CF_DIB and
  // CF_DIBV5 made from each other too, after the formats placed.
  UINT placed = 0;
  for (UINT f = EnumClipboardFormats(0); f && !placed; f = EnumClipboardFormats(f))
    if (f == CF_DIBV5 || f == CF_DIB) placed = f;
  Dib got = Dib::OTHER;
  if (placed) {
    Locked m(GetClipboardData(placed));
    if (!m.p) return false;
    got = pixels_of_dib(m, out);
  }
  if (got == Dib::BAD) return false;
  if (got == Dib::EMPTY) return true;
  if (got == Dib::IMAGE) {
    out.kind = ClipboardContent::Kind::IMAGE;
    return true;
  }
  if (IsClipboardFormatAvailable(CF_BITMAP)) {
    if (!pixels_of_bitmap(static_cast<HBITMAP>(GetClipboardData(CF_BITMAP)), out)) return false;
    out.kind = ClipboardContent::Kind::IMAGE;
  }
  return true;
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
  return image_of(out);
}

bool clipboard_write(const ClipboardContent& in) {
  // Each format's block, made before the clipboard is opened.
  struct Block {
    UINT format;
    HGLOBAL data;
  };
  std::vector<Block> blocks;
  auto free_all = [&] {
    for (Block& b : blocks)
      if (b.data) GlobalFree(b.data);
  };
  auto add = [&](UINT format, const void* bytes, size_t n) {
    HGLOBAL h = global_copy(bytes, n);
    blocks.push_back({format, h});
    return h != nullptr;
  };
  bool made = true;
  if (in.kind == ClipboardContent::Kind::TEXT) {
    std::wstring w;
    for (wchar_t c : to_wide(in.text)) {
      if (c == L'\n') w.push_back(L'\r');
      w.push_back(c);
    }
    w.push_back(L'\0');
    made = add(CF_UNICODETEXT, w.data(), w.size() * sizeof(wchar_t));
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
    made = add(CF_HDROP, block.data(), block.size());
  } else if (in.kind == ClipboardContent::Kind::IMAGE) {
    UINT png = registered_format(L"PNG");
    std::string dib = dibv5_block(in);
    made = png && add(png, in.encoded.data(), in.encoded.size()) && add(CF_DIBV5, dib.data(), dib.size());
  }
  if (!made) {
    free_all();
    return false;
  }
  ClipboardSession session;
  if (!session.open || !EmptyClipboard()) {
    free_all();
    return false;
  }
  bool all = true;
  for (Block& b : blocks) {
    // The clipboard owns a block once it is placed.
    if (SetClipboardData(b.format, b.data)) b.data = nullptr;
    else all = false;
  }
  free_all();
  return all;
}

}  // namespace vel::platform
