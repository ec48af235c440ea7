#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "error_of.h"
#include "errors.h"
#include "fake_console.h"
#include "output.h"

namespace vel {
namespace {

// --- hook tables ------------------------------------------------------------

std::vector<int> g_calls;
void v1(const Cell*, bool) { g_calls.push_back(1); }
void v2(const Cell*, bool) { g_calls.push_back(2); }
void v3(const Cell*, bool) { g_calls.push_back(3); }
void v4(const Cell*, bool) { g_calls.push_back(4); }
void v5(const Cell*, bool) { g_calls.push_back(5); }
void v6(const Cell*, bool) { g_calls.push_back(6); }
void v7(const Cell*, bool) { g_calls.push_back(7); }

TEST(OutputHooks, GrowByFiveKeepingOrder) {
  HookTable<ValueHook> t;
  t.init();
  EXPECT_EQ(t.capacity(), 5u);
  for (ValueHook h : {v1, v2, v3, v4, v5}) t.add(h);
  EXPECT_EQ(t.capacity(), 5u);
  t.add(v6);
  EXPECT_EQ(t.capacity(), 10u);
  EXPECT_EQ(t.count(), 6u);
  t.add(nullptr);
  EXPECT_EQ(t.count(), 6u);
  g_calls.clear();
  Cell c = unset_cell();
  t.call(&c, false);
  EXPECT_EQ(g_calls, (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

TEST(OutputHooks, AddWithoutInitStartsAtFive) {
  HookTable<ValueHook> t;
  t.add(v1);
  EXPECT_EQ(t.capacity(), 5u);
  EXPECT_EQ(t.count(), 1u);
}

TEST(OutputHooks, RemoveFirstEqualEntryAndCloseGap) {
  HookTable<ValueHook> t;
  for (ValueHook h : {v1, v2, v3, v2}) t.add(h);
  EXPECT_FALSE(t.remove(v7));  // not registered: nothing changes
  EXPECT_FALSE(t.remove(nullptr));
  ASSERT_EQ(t.count(), 4u);
  EXPECT_TRUE(t.remove(v2));
  ASSERT_EQ(t.count(), 3u);
  EXPECT_EQ(t.at(0), v1);
  EXPECT_EQ(t.at(1), v3);
  EXPECT_EQ(t.at(2), v2);
  g_calls.clear();
  Cell c = unset_cell();
  t.call(&c, true);
  EXPECT_EQ(g_calls, (std::vector<int>{1, 3, 2}));
}

// A writer whose bytes land in a string, standing in for standard output.
struct Capture {
  std::string bytes;
  std::vector<size_t> chunks;
  static void sink(void* ctx, const char* b, size_t n) {
    auto* c = static_cast<Capture*>(ctx);
    c->bytes.append(b, n);
    c->chunks.push_back(n);
  }
};

struct TextSeen {
  std::string text;
  int flags = 0;
};
TextSeen g_seen;
void text_hook(const char* t, size_t n, int flag) {
  g_seen.text.append(t, n);
  g_seen.flags += flag;
}
const Cell* g_value_seen = nullptr;
bool g_newline_seen = false;
void value_hook(const Cell* c, bool nl) {
  g_value_seen = c;
  g_newline_seen = nl;
}

// Redirects standard output into a Capture for the test's lifetime.
class CapturedStdout {
 public:
  CapturedStdout() : saved_(stdout_writer()) { stdout_writer() = ConsoleWriter(nullptr, Capture::sink, &cap); }
  ~CapturedStdout() { stdout_writer() = saved_; }
  Capture cap;

 private:
  ConsoleWriter saved_;
};

TEST(OutputHooks, GlobalWalkersReachRegisteredHooks) {
  dyn_print_init();
  size_t before = value_hooks().count();
  dyn_print_add(value_hook, text_hook);
  EXPECT_EQ(value_hooks().count(), before + 1);

  Cell c = make_cell(TYPE_INTEGER, 7);
  dyn_print_call_value_hooks(&c, true);
  EXPECT_EQ(g_value_seen, &c);
  EXPECT_TRUE(g_newline_seen);

  {
    CapturedStdout out;
    g_seen = {};
    print_cstring("héllo");
    EXPECT_EQ(out.cap.bytes, "héllo");
    EXPECT_EQ(g_seen.text, "héllo");
    EXPECT_EQ(g_seen.flags, 0);
  }

  dyn_print_remove(value_hook, text_hook);
  EXPECT_EQ(value_hooks().count(), before);
  g_seen = {};
  {
    CapturedStdout out;
    print_cstring("x");
  }
  EXPECT_EQ(g_seen.text, "");
}

TEST(OutputLowLevel, NumberFormats) {
  struct Case {
    void (*print)();
    const char* expect;
  };
  const Case cases[] = {
      {[] { print_integer(0); }, "0"},
      {[] { print_integer(-2147483647 - 1); }, "-2147483648"},
      {[] { print_integer(2147483647); }, "2147483647"},
      {[] { print_hex2(0x0A); }, "0A"},
      {[] { print_hex2(0xFF); }, "FF"},
      {[] { print_hex8(0x1F); }, "0000001F"},
      {[] { print_hex8(0xDEADBEEF); }, "DEADBEEF"},
      {[] { print_float(0.1); }, "0.1"},
      {[] { print_float(1.0 / 3.0); }, "0.3333333333333333"},
      {[] { print_float(100.0); }, "100"},
      {[] { print_float(1e21); }, "1e+21"},
      {[] { print_float(1.5e-7); }, "1.5e-07"},
      {[] { print_float(-0.0); }, "-0"},
      {[] { print_float(1e16); }, "1e+16"},
      {[] { print_float(123456789012345678.0); }, "1.234567890123457e+17"},
      {[] { print_float32(0.1f); }, "0.1"},
      {[] { print_float32(3.4028235e38f); }, "3.402823e+38"},
      {[] { print_float32(8388607.0f); }, "8388607"},
      {[] { print_float32(16777216.0f); }, "1.677722e+07"},
      {[] { print_float32(1.0f / 3.0f); }, "0.3333333"},
  };
  for (const Case& c : cases) {
    CapturedStdout out;
    c.print();
    EXPECT_EQ(out.cap.bytes, c.expect);
  }
}

// --- the console writer on a fake console ---------------------------------------

struct ConsoleFixture : testing::Test {
  FakeConsole con{20, 6, 0x17};  // grey on blue
  Capture unused;
  ConsoleWriter w{&con, Capture::sink, &unused};
  void SetUp() override { w.save_default_attributes(); }
  void put(const std::string& s, bool newline = false) { w.write(s.data(), s.size(), 1, newline); }
  void put16(const std::u16string& s, bool newline = false) { w.write(s.data(), s.size() * 2, 2, newline); }
};

using OutputConsole = ConsoleFixture;

TEST_F(OutputConsole, SgrRedForegroundKeepsBackground) {
  put("\x1b[31mX");
  EXPECT_EQ(con.char_at(0, 0), u'X');
  EXPECT_EQ(con.attr_at(0, 0), 0x14);
  EXPECT_EQ(con.row_text(0), "X");  // the sequence itself is not printed
}

TEST_F(OutputConsole, SgrCodes) {
  struct Case {
    uint16_t start;
    const char* seq;
    uint16_t expect;
  };
  const Case cases[] = {
      {0x2E, "\x1b[0m", 0x17},           // default
      {0x2E, "\x1b[m", 0x17},            // no number: reset
      {0x17, "\x1b[1m", 0x9F},           // OR 0x88
      {0x17, "\x1b[4m", 0x8017},         // underscore
      {0x1E, "\x1b[7m", 0xE1},           // swap
      {0x2C, "\x1b[39m", 0x27},          // default foreground
      {0x2C, "\x1b[49m", 0x1C},          // default background
      {0x1F, "\x1b[32m", 0x1A},          // intensity bit kept
      {0x17, "\x1b[42m", 0x27},          // background green
      {0x17, "\x1b[47m", 0x77},
      {0x17, "\x1b[30;41m", 0x40},       // several codes in turn
      {0x17, "\x1b[4;31m", 0x8014},      // colour keeps the underscore
      {0x17, "\x1b[5m", 0x17},           // unsupported: unchanged
      {0x17, "\x1b[65566m", 0x14},       // numbers wrap modulo 65535: 31
  };
  for (const Case& c : cases) {
    con.set_attribute(c.start);
    put(c.seq);
    EXPECT_EQ(con.attribute(), c.expect) << c.seq + 1;
  }
}

TEST_F(OutputConsole, EraseWholeScreenClearsAndHomes) {
  put("abc\r\ndef\r\nghi");
  con.set_attribute(0x4F);
  put("\x1b[2J");
  EXPECT_EQ(con.cursor().x, 0);
  EXPECT_EQ(con.cursor().y, 0);
  for (int y = 0; y < con.height(); y++) {
    EXPECT_EQ(con.row_text(y), "");
    EXPECT_EQ(con.attr_at(5, y), 0x17);  // the default attribute
  }
}

TEST_F(OutputConsole, CursorPositionIsRowFirstOneBasedAndClamped) {
  struct Case {
    const char* seq;
    int x, y;
  };
  const Case cases[] = {
      {"\x1b[3;5H", 4, 2}, {"\x1b[H", 0, 0},   {"\x1b[4f", 0, 3},
      {"\x1b[0;0H", 0, 0}, {"\x1b[99;99H", 19, 5}, {"\x1b[2;7f", 6, 1},
  };
  for (const Case& c : cases) {
    con.set_cursor({9, 4});
    put(c.seq);
    EXPECT_EQ(con.cursor().x, c.x) << c.seq + 1;
    EXPECT_EQ(con.cursor().y, c.y) << c.seq + 1;
  }
  put("\x1b[2;3HZ");
  EXPECT_EQ(con.char_at(2, 1), u'Z');
}

TEST_F(OutputConsole, CursorMovesStopAtTheEdges) {
  struct Case {
    const char* seq;
    int x, y;
  };
  const Case cases[] = {
      {"\x1b[2A", 10, 1},  {"\x1b[9A", 10, 0}, {"\x1b[1B", 10, 4},  {"\x1b[99B", 10, 5},
      {"\x1b[3C", 13, 3},  {"\x1b[99C", 19, 3}, {"\x1b[4D", 6, 3},  {"\x1b[99D", 0, 3},
  };
  for (const Case& c : cases) {
    con.set_cursor({10, 3});
    put(c.seq);
    EXPECT_EQ(con.cursor().x, c.x) << c.seq + 1;
    EXPECT_EQ(con.cursor().y, c.y) << c.seq + 1;
  }
  // Without a number these are not sequences we render: printed as text.
  con.set_cursor({0, 0});
  put("\x1b[A");
  EXPECT_EQ(con.char_at(0, 0), u'\x1b');
  EXPECT_EQ(con.char_at(1, 0), u'[');
  EXPECT_EQ(con.char_at(2, 0), u'A');
}

TEST_F(OutputConsole, SaveAndRestoreCursor) {
  con.set_cursor({7, 2});
  put("\x1b[s");
  put("\x1b[5;1H");
  put("\x1b[u");
  EXPECT_EQ(con.cursor().x, 7);
  EXPECT_EQ(con.cursor().y, 2);
}

TEST_F(OutputConsole, EraseInDisplayAndLine) {
  auto fill = [&] {
    put("\x1b[2J");
    for (int y = 0; y < con.height(); y++) con.fill_char(char16_t('a' + y), size_t(con.width()), {0, y});
    con.set_cursor({5, 2});
  };
  // ESC[J: from the cursor, inclusive, to the end.
  fill();
  put("\x1b[J");
  EXPECT_EQ(con.row_text(1), std::string(20, 'b'));
  EXPECT_EQ(con.row_text(2), "ccccc");
  EXPECT_EQ(con.row_text(3), "");
  EXPECT_EQ(con.cursor().x, 5);
  // ESC[1J: from the top left to the start of the cursor's line.
  fill();
  put("\x1b[1J");
  EXPECT_EQ(con.row_text(1), "");
  EXPECT_EQ(con.row_text(2), std::string(20, 'c'));
  // ESC[K: the cursor to the end of its line.
  fill();
  put("\x1b[K");
  EXPECT_EQ(con.row_text(2), "ccccc");
  EXPECT_EQ(con.row_text(3), std::string(20, 'd'));
  // ESC[1K: the line start up to the cursor; the cursor goes to the start.
  fill();
  put("\x1b[1K");
  EXPECT_EQ(con.row_text(2), "     " + std::string(15, 'c'));
  EXPECT_EQ(con.cursor().x, 0);
  // ESC[2K: the whole line.
  fill();
  put("\x1b[2K");
  EXPECT_EQ(con.row_text(2), "");
  EXPECT_EQ(con.row_text(1), std::string(20, 'b'));
  // Other parameters: consumed, nothing erased.
  fill();
  put("\x1b[3J\x1b[7K");
  EXPECT_EQ(con.row_text(2), std::string(20, 'c'));
}

TEST_F(OutputConsole, UnknownSequencesPrintTheEscape) {
  put("\x1b" "X\x1b[5n");
  EXPECT_EQ(con.written, u"\x1bX\x1b[5n");
}

TEST_F(OutputConsole, SequenceSplitAcrossWrites) {
  put("ab\x1b[3");
  EXPECT_EQ(con.row_text(0), "ab");
  put("1mX");
  EXPECT_EQ(con.char_at(2, 0), u'X');
  EXPECT_EQ(con.attr_at(2, 0), 0x14);
  // A newline ends an unfinished sequence: it is printed as it stands.
  put("\x1b[", true);
  EXPECT_EQ(con.written.substr(con.written.size() - 4), u"\x1b[\r\n");
}

TEST(OutputConsoleInfo, InfoSequencePrintsTheBufferFigures) {
  FakeConsole con(40, 20, 0x1E);
  ConsoleWriter w(&con, nullptr, nullptr);
  con.set_cursor({3, 1});
  w.write("\x1b[?", 3, 1, false);
  EXPECT_EQ(con.row_text(1), "   Screen buffer info:");
  EXPECT_EQ(con.row_text(2), "  size: 40 x 20");
  EXPECT_EQ(con.row_text(3), "  cursor: 3 x 1");
  EXPECT_EQ(con.row_text(4), "  attribute: 001Eh");
}

TEST_F(OutputConsole, WritesAreStagedIn510Units) {
  std::u16string text(1500, u'x');
  put16(text);
  EXPECT_EQ(con.write_sizes, (std::vector<size_t>{510, 510, 480}));
}

TEST_F(OutputConsole, NewlineAndUnits) {
  put("ab", true);
  EXPECT_EQ(con.cursor().x, 0);
  EXPECT_EQ(con.cursor().y, 1);
  EXPECT_EQ(con.written, u"ab\r\n");
  // Unit 1 is Latin-1: each byte one unit.
  put("\xE9");
  EXPECT_EQ(con.char_at(0, 1), u'\u00E9');
  // Unit 4: code points above 0xFFFF as a surrogate pair; escapes not
  // interpreted; newline is LF alone.
  con.written.clear();
  const char32_t cps[] = {0x1F600, 0x1B, U'[', U'2', U'J', 0x110000};
  w.write(cps, sizeof cps, 4, true);
  EXPECT_EQ(con.written, u"\U0001F600\x1b[2J\uFFFD\n");
}

TEST_F(OutputConsole, SurrogatePairNeverSplitBetweenWrites) {
  std::u16string text(509, u'x');
  text += u"\U0001F600";
  put16(text);
  ASSERT_EQ(con.write_sizes.size(), 2u);
  EXPECT_EQ(con.write_sizes[0], 509u);
  EXPECT_EQ(con.written, text);
}

TEST_F(OutputConsole, Utf8TextIsDecodedAndRendered) {
  std::string s = "\x1b[32m\xC3\xA9\xF0\x9F\x98\x80\xFF";
  w.write_utf8(s.data(), s.size(), false);
  EXPECT_EQ(con.written, u"\u00E9\U0001F600\uFFFD");
  EXPECT_EQ(con.attr_at(0, 0), 0x12);
  // Each byte an ill-formed sequence skips gives one U+FFFD: an overlong
  // form, an encoded surrogate, a bad continuation, a code point above
  // U+10FFFF and a sequence cut by the end.
  con.written.clear();
  std::string bad = "a" "\xC0\x80" "b" "\xED\xA0\x80" "c" "\xE2\x28\xA1" "\xF4\x90\x80\x80" "\xE2\x82";
  w.write_utf8(bad.data(), bad.size(), false);
  EXPECT_EQ(con.written, u"a\uFFFD\uFFFDb\uFFFD\uFFFD\uFFFDc\uFFFD(" + std::u16string(7, u'\uFFFD'));
}

TEST(OutputRedirected, EscapesPassThroughAsUtf8) {
  Capture cap;
  ConsoleWriter w(nullptr, Capture::sink, &cap);
  std::string latin1 = "\x1b[31m\xE9";
  w.write(latin1.data(), latin1.size(), 1, true);
  EXPECT_EQ(cap.bytes, std::string("\x1b[31m\xC3\xA9") + BYTE_NEWLINE);

  cap = {};
  std::u16string u16 = u"\x1b[0m\U0001F600";
  u16 += char16_t(0xD800);  // lone surrogate
  w.write(u16.data(), u16.size() * 2, 2, false);
  EXPECT_EQ(cap.bytes, "\x1b[0m\xF0\x9F\x98\x80\xEF\xBF\xBD");

  cap = {};
  const char32_t cps[] = {U'a', 0x20AC, 0x110000, 0xDC00};
  w.write(cps, sizeof cps, 4, false);
  EXPECT_EQ(cap.bytes, "a\xE2\x82\xAC\xEF\xBF\xBD\xEF\xBF\xBD");

  cap = {};
  w.write_utf8("\x1b[1mok", 6, true);
  EXPECT_EQ(cap.bytes, std::string("\x1b[1mok") + BYTE_NEWLINE);
}

TEST(OutputRedirected, StagedAndFlushedAbove1020Bytes) {
  Capture cap;
  ConsoleWriter w(nullptr, Capture::sink, &cap);
  std::u16string text(1000, u'\u00E9');  // 2,000 bytes of UTF-8
  w.write(text.data(), text.size() * 2, 2, false);
  EXPECT_EQ(cap.bytes.size(), 2000u);
  ASSERT_EQ(cap.chunks.size(), 2u);
  EXPECT_EQ(cap.chunks[0], 1022u);  // the first flush once past 1,020
  EXPECT_EQ(cap.chunks[1], 978u);
}

TEST(OutputRedirected, BadUnitIsAnError) {
  Capture cap;
  ConsoleWriter w(nullptr, Capture::sink, &cap);
  EXPECT_EQ(error_of([&] { w.write("ab", 2, 3, false); }), ErrId::INVALID_ARG);
  // A trailing partial unit is ignored, not read.
  w.write("abc", 3, 2, false);
  EXPECT_EQ(cap.bytes, "\xE6\x89\xA1");  // U+6261
}

}  // namespace
}  // namespace vel
