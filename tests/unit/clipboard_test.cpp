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

}  // namespace
}  // namespace vel::platform
#endif
