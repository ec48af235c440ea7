// The Windows clipboard against data that other programs may leave there:
// blocks placed through the system calls directly, well-formed or not,
// must read as their content or as a failure, never past their end.
#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/clipboard.h"

namespace vel::platform {
namespace {

HWND test_owner() {
  static HWND hwnd = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VelClipboardTest";
    RegisterClassW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  }();
  return hwnd;
}

// Empties the clipboard and places each (format, bytes) pair as it is.
void place(const std::vector<std::pair<UINT, std::string>>& blocks) {
  ASSERT_TRUE(OpenClipboard(test_owner()));
  ASSERT_TRUE(EmptyClipboard());
  for (const auto& [format, bytes] : blocks) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    ASSERT_NE(h, nullptr);
    std::memcpy(GlobalLock(h), bytes.data(), bytes.size());
    GlobalUnlock(h);
    ASSERT_NE(SetClipboardData(format, h), nullptr);
  }
  CloseClipboard();
}

std::string wide_bytes(const std::wstring& w) {
  return std::string(reinterpret_cast<const char*>(w.data()), w.size() * sizeof(wchar_t));
}

// A DROPFILES header with the names at `offset`.
std::string drop_header(DWORD offset, bool wide) {
  DROPFILES df{};
  df.pFiles = offset;
  df.fWide = wide;
  return std::string(reinterpret_cast<const char*>(&df), sizeof df);
}

TEST(Clipboard, FileListsFromOtherPrograms) {
  using namespace std::string_literals;
  struct Case {
    const char* what;
    std::string block;
    bool ok;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"wide names", drop_header(20, true) + wide_bytes(L"C:\\a b.txt\0D:\\\u00e9\0\0"s), true,
       {"C:\\a b.txt", "D:\\\xc3\xa9"}},
      {"narrow names", drop_header(20, false) + "C:\\x\0C:\\y\0\0"s, true, {"C:\\x", "C:\\y"}},
      {"no names", drop_header(20, true) + wide_bytes(L"\0"s), true, {}},
      {"shorter than its header", std::string(12, '\0'), false, {}},
      {"names beyond the block", drop_header(4000, true) + wide_bytes(L"C:\\x\0\0"s), false, {}},
      {"names inside the header", drop_header(8, true) + wide_bytes(L"C:\\x\0\0"s), false, {}},
      {"list without its end", drop_header(20, true) + wide_bytes(L"C:\\abcdef"s), false, {}},
      {"narrow list without its end", drop_header(20, false) + "C:\\abcdefghij"s, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    place({{CF_HDROP, c.block}});
    ClipboardContent got;
    EXPECT_EQ(clipboard_read(got), c.ok);
    if (c.ok) {
      EXPECT_EQ(got.kind, ClipboardContent::Kind::FILES);
      EXPECT_EQ(got.files, c.files);
    }
  }
}

TEST(Clipboard, TextFromOtherPrograms) {
  using namespace std::string_literals;
  struct Case {
    const char* what;
    std::wstring block;
    std::string text;
  };
  const Case cases[] = {
      {"ended by NUL", L"a\r\nb\rc\n\0junk"s, "a\nb\rc\n"},
      {"empty", L"\0"s, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    place({{CF_UNICODETEXT, wide_bytes(c.block)}});
    ClipboardContent got;
    ASSERT_TRUE(clipboard_read(got));
    EXPECT_EQ(got.kind, ClipboardContent::Kind::TEXT);
    EXPECT_EQ(got.text, c.text);
  }
  // Text without its NUL ends with the block (Wine writes a NUL over the
  // block's last character of its own accord; Windows leaves it).
  {
    place({{CF_UNICODETEXT, wide_bytes(L"abcdefgh"s)}});
    ClipboardContent got;
    ASSERT_TRUE(clipboard_read(got));
    EXPECT_TRUE(got.text == "abcdefgh" || got.text == "abcdefg") << got.text;
  }
  // Text comes first when files are there too.
  place({{CF_HDROP, drop_header(20, true) + wide_bytes(L"C:\\x\0\0"s)}, {CF_UNICODETEXT, wide_bytes(L"t\0"s)}});
  ClipboardContent got;
  ASSERT_TRUE(clipboard_read(got));
  EXPECT_EQ(got.kind, ClipboardContent::Kind::TEXT);
  EXPECT_EQ(got.text, "t");
}

TEST(Clipboard, WrittenFormatsAsOtherProgramsSeeThem) {
  ClipboardContent text;
  text.kind = ClipboardContent::Kind::TEXT;
  text.text = "a\nb";
  ASSERT_TRUE(clipboard_write(text));
  ASSERT_TRUE(OpenClipboard(test_owner()));
  HANDLE h = GetClipboardData(CF_UNICODETEXT);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(GlobalLock(h))), L"a\r\nb");
  GlobalUnlock(h);
  CloseClipboard();

  ClipboardContent files;
  files.kind = ClipboardContent::Kind::FILES;
  files.files = {"C:\\a.txt", "C:\\dir"};
  ASSERT_TRUE(clipboard_write(files));
  ASSERT_TRUE(OpenClipboard(test_owner()));
  HDROP drop = static_cast<HDROP>(GetClipboardData(CF_HDROP));
  ASSERT_NE(drop, nullptr);
  ASSERT_EQ(DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0), 2u);
  wchar_t name[MAX_PATH];
  DragQueryFileW(drop, 1, name, MAX_PATH);
  EXPECT_EQ(std::wstring(name), L"C:\\dir");
  CloseClipboard();

  ASSERT_TRUE(clipboard_write(ClipboardContent{}));
  ClipboardContent got;
  ASSERT_TRUE(clipboard_read(got));
  EXPECT_EQ(got.kind, ClipboardContent::Kind::NONE);
}

// A bitmap block: a header of `header` bytes (40, or 124 for version 5),
// then `extra` (masks or a palette), then the pixel bytes as given.
std::string dib(uint32_t header, int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                const std::string& extra, const std::string& pixels, uint32_t colors = 0) {
  BITMAPV5HEADER h{};
  h.bV5Size = header;
  h.bV5Width = width;
  h.bV5Height = height;
  h.bV5Planes = 1;
  h.bV5BitCount = bits;
  h.bV5Compression = compression;
  h.bV5ClrUsed = colors;
  if (header >= 124) {
    h.bV5RedMask = 0x00FF0000;
    h.bV5GreenMask = 0x0000FF00;
    h.bV5BlueMask = 0x000000FF;
    h.bV5AlphaMask = 0xFF000000;
    h.bV5CSType = 0x57696E20;
  }
  return std::string(reinterpret_cast<const char*>(&h), header) + extra + pixels;
}

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(char(c));
  return s;
}

const std::string MASKS = bytes({0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0});

TEST(Clipboard, BitmapsFromOtherPrograms) {
  using Kind = ClipboardContent::Kind;
  struct Case {
    const char* what;
    UINT format;
    std::string block;
    bool ok;
    Kind kind;
    uint32_t width, height;
    std::string pixels;  // B, G, R, A top-down
  };
  // Rows of a 2x2 24-bit bitmap are padded to 8 bytes.
  std::string rows24 = bytes({1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0});
  const Case cases[] = {
      {"top-down with alpha", CF_DIBV5, dib(124, 2, -1, 32, BI_BITFIELDS, "", bytes({1, 2, 3, 0x80, 4, 5, 6, 0})),
       true, Kind::IMAGE, 2, 1, bytes({1, 2, 3, 0x80, 4, 5, 6, 0})},
      {"bottom-up rows come out top first", CF_DIBV5,
       dib(124, 1, 2, 32, BI_BITFIELDS, "", bytes({1, 2, 3, 255, 4, 5, 6, 9})), true, Kind::IMAGE, 1, 2,
       bytes({4, 5, 6, 9, 1, 2, 3, 255})},
      {"24 bits, padded rows, bottom-up", CF_DIB, dib(40, 2, 2, 24, BI_RGB, "", rows24), true, Kind::IMAGE, 2, 2,
       bytes({7, 8, 9, 255, 10, 11, 12, 255, 1, 2, 3, 255, 4, 5, 6, 255})},
      {"32 bits with the fourth byte unused", CF_DIB, dib(40, 2, -1, 32, BI_RGB, "", bytes({1, 2, 3, 0, 4, 5, 6, 0})),
       true, Kind::IMAGE, 2, 1, bytes({1, 2, 3, 255, 4, 5, 6, 255})},
      {"masks after a short header", CF_DIB, dib(40, 1, -1, 32, BI_BITFIELDS, MASKS, bytes({1, 2, 3, 0})), true,
       Kind::IMAGE, 1, 1, bytes({1, 2, 3, 255})},
      {"a palette before the pixels", CF_DIB,
       dib(40, 1, -1, 32, BI_RGB, bytes({9, 9, 9, 0}), bytes({1, 2, 3, 77}), 1), true, Kind::IMAGE, 1, 1,
       bytes({1, 2, 3, 77})},
      {"no pixels", CF_DIBV5, dib(124, 0, 0, 32, BI_BITFIELDS, "", ""), true, Kind::NONE, 0, 0, ""},
      {"rows beyond the block", CF_DIBV5, dib(124, 2, -3, 32, BI_BITFIELDS, "", bytes({1, 2, 3, 4})), false, Kind::NONE,
       0, 0, ""},
      {"a header longer than the block", CF_DIB, dib(40, 1, 1, 32, BI_RGB, "", "").substr(0, 30), false, Kind::NONE, 0,
       0, ""},
      {"a negative width", CF_DIB, dib(40, -1, 1, 32, BI_RGB, "", bytes({1, 2, 3, 4})), false, Kind::NONE, 0, 0, ""},
      {"a side beyond 16 bits", CF_DIB, dib(40, 70000, 1, 32, BI_RGB, "", std::string(280000, '\0')), false,
       Kind::NONE, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    place({{c.format, c.block}});
    ClipboardContent got;
    ASSERT_EQ(clipboard_read(got), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(got.kind, c.kind);
    EXPECT_EQ(got.width, c.width);
    EXPECT_EQ(got.height, c.height);
    EXPECT_EQ(std::string(got.pixels.begin(), got.pixels.end()), c.pixels);
    EXPECT_TRUE(got.encoded.empty());
  }

  // A bitmap of 8 bits with its palette reaches the reader through the
  // system's conversion, opaque.
  place({{CF_DIB, dib(40, 2, -1, 8, BI_RGB, bytes({10, 20, 30, 0, 40, 50, 60, 0}),
                      bytes({1, 0, 0, 0}), 2)}});
  ClipboardContent got;
  ASSERT_TRUE(clipboard_read(got));
  EXPECT_EQ(got.kind, ClipboardContent::Kind::IMAGE);
  EXPECT_EQ(std::string(got.pixels.begin(), got.pixels.end()), bytes({40, 50, 60, 255, 10, 20, 30, 255}));
}

TEST(Clipboard, ImageFormatsInTheirOrder) {
  UINT png = RegisterClipboardFormatW(L"PNG"), gif = RegisterClipboardFormatW(L"GIF");
  std::string bitmap = dib(124, 1, -1, 32, BI_BITFIELDS, "", bytes({1, 2, 3, 4}));
  // A file format comes before the bitmap, PNG before GIF, text before all.
  place({{CF_DIBV5, bitmap}, {gif, "GIF89a..."}, {png, "\x89PNG..."}});
  ClipboardContent got;
  ASSERT_TRUE(clipboard_read(got));
  EXPECT_EQ(got.kind, ClipboardContent::Kind::IMAGE);
  EXPECT_EQ(std::string(got.encoded.begin(), got.encoded.end()), "\x89PNG...");
  place({{CF_DIBV5, bitmap}, {gif, "GIF89a..."}});
  ASSERT_TRUE(clipboard_read(got));
  EXPECT_EQ(std::string(got.encoded.begin(), got.encoded.end()), "GIF89a...");
  place({{CF_DIBV5, bitmap}, {CF_UNICODETEXT, wide_bytes(std::wstring(L"t\0", 2))}});
  ASSERT_TRUE(clipboard_read(got));
  EXPECT_EQ(got.kind, ClipboardContent::Kind::TEXT);
}

TEST(Clipboard, WrittenImageAsOtherProgramsSeeIt) {
  ClipboardContent image;
  image.kind = ClipboardContent::Kind::IMAGE;
  image.encoded = {0x89, 'P', 'N', 'G', 1, 2};
  image.width = 1;
  image.height = 2;
  image.pixels = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE(clipboard_write(image));
  ASSERT_TRUE(OpenClipboard(test_owner()));
  HANDLE png = GetClipboardData(RegisterClipboardFormatW(L"PNG"));
  ASSERT_NE(png, nullptr);
  ASSERT_GE(GlobalSize(png), 6u);
  EXPECT_EQ(std::memcmp(GlobalLock(png), image.encoded.data(), 6), 0);
  GlobalUnlock(png);
  HANDLE v5 = GetClipboardData(CF_DIBV5);
  ASSERT_NE(v5, nullptr);
  ASSERT_GE(GlobalSize(v5), 124u + 8u);
  BITMAPV5HEADER h;
  const uint8_t* p = static_cast<const uint8_t*>(GlobalLock(v5));
  std::memcpy(&h, p, sizeof h);
  EXPECT_EQ(h.bV5Size, 124u);
  EXPECT_EQ(h.bV5Width, 1);
  EXPECT_EQ(h.bV5Height, -2);  // rows top-down
  EXPECT_EQ(h.bV5BitCount, 32);
  EXPECT_EQ(h.bV5Compression, DWORD(BI_BITFIELDS));
  EXPECT_EQ(h.bV5SizeImage, 8u);
  EXPECT_EQ(h.bV5AlphaMask, 0xFF000000u);
  EXPECT_EQ(h.bV5CSType, 0x57696E20u);  // LCS_WINDOWS_COLOR_SPACE
  EXPECT_EQ(h.bV5Intent, DWORD(LCS_GM_IMAGES));
  EXPECT_EQ(std::memcmp(p + 124, image.pixels.data(), 8), 0);
  GlobalUnlock(v5);
  CloseClipboard();
}

}  // namespace
}  // namespace vel::platform
#endif
