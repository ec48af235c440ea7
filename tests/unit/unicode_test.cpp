#include "unicode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "roots.h"
#include "text_test_util.h"

namespace vel {
namespace {

using texttest::ascii;
using texttest::bytes_of_binary;
using texttest::Chars;
using texttest::chars_of;
using texttest::make_string;
using Bytes = std::vector<uint8_t>;

NodeId load8(const Bytes& in, NodeId target = 0, uint64_t* remaining = nullptr, bool lines = false) {
  return load_utf8(ByteSource::memory(in.data()), in.size(), target, remaining, lines);
}

NodeId load16(const Bytes& in, NodeId target = 0, bool lines = false) {
  return load_utf16(ByteSource::memory(in.data()), int64_t(in.size() / 2), target, lines);
}

Bytes utf8_of(NodeId s, bool crlf = false) {
  std::string t = to_utf8(s, 0, -1, crlf);
  return Bytes(t.begin(), t.end());
}

TEST(Unicode, ByteOrderMarkIsSkipped) {
  RootedNode a(load8({0xEF, 0xBB, 0xBF}));
  EXPECT_EQ(chars_of(a), Chars{});
  RootedNode b(load8({0xEF, 0xBB, 0xBF, 0x41}));
  EXPECT_EQ(chars_of(b), Chars{'A'});
  // Only at the start.
  RootedNode c(load8({0x41, 0xEF, 0xBB, 0xBF}));
  EXPECT_EQ(chars_of(c), (Chars{'A', 0xFEFF}));
}

TEST(Unicode, LoadingWidensOneTwoFour) {
  RootedNode s(load8({0xC3, 0xA9}));
  EXPECT_EQ(node_buffer(s)->unit(), 1u);
  EXPECT_EQ(load8({0xE2, 0x82, 0xAC}, s), s.get());
  EXPECT_EQ(node_buffer(s)->unit(), 2u);
  load8({0xF0, 0x9F, 0x98, 0x80}, s);
  EXPECT_EQ(node_buffer(s)->unit(), 4u);
  EXPECT_EQ(chars_of(s), (Chars{0xE9, 0x20AC, 0x1F600}));
  // Widening in the middle of one input keeps what came before.
  RootedNode t(load8({'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 'b', 0xF0, 0x9F, 0x98, 0x80, 'c'}));
  EXPECT_EQ(chars_of(t), (Chars{'a', 0xE9, 0x20AC, 'b', 0x1F600, 'c'}));
  EXPECT_EQ(node_buffer(t)->unit(), 4u);
}

TEST(Unicode, TruncatedSequenceIsKeptOrRefused) {
  uint64_t remaining = 99;
  RootedNode s(load8({'x', 0xE2, 0x82}, 0, &remaining));
  EXPECT_EQ(remaining, 2u);
  EXPECT_EQ(chars_of(s), Chars{'x'});
  // Without a way to hand the bytes back, a cut sequence is an error whose
  // argument is the bytes that are there.
  VelError e = caught([] { load8({0xE2, 0x82}); });
  EXPECT_EQ(e.id, ErrId::INVALID_UTF8);
  EXPECT_EQ(bytes_of_binary(e.args[0]), (Bytes{0xE2, 0x82}));
  // A cut start that can no longer become well-formed is an error even
  // when streaming.
  e = caught([] {
    uint64_t r;
    load8({0xE0, 0x80}, 0, &r);
  });
  EXPECT_EQ(e.id, ErrId::INVALID_UTF8);
}

TEST(Unicode, IllFormedInputIsRefused) {
  // Each case: the input, and the bytes the error shows (from the bad
  // position, at most 4, never past the input).
  struct Case {
    Bytes in, shown;
  } cases[] = {
      {{0xC0, 0xAF}, {0xC0, 0xAF}},                          // overlong "/"
      {{'a', 0xC1, 0xBF, 'b', 'c', 'd'}, {0xC1, 0xBF, 'b', 'c'}},
      {{0xE0, 0x80, 0xAF}, {0xE0, 0x80, 0xAF}},              // overlong three-byte
      {{0xE0, 0x9F, 0xBF}, {0xE0, 0x9F, 0xBF}},
      {{0xF0, 0x80, 0x80, 0xAF}, {0xF0, 0x80, 0x80, 0xAF}},  // overlong four-byte
      {{0xF0, 0x8F, 0xBF, 0xBF}, {0xF0, 0x8F, 0xBF, 0xBF}},
      {{0xF4, 0x90, 0x80, 0x80}, {0xF4, 0x90, 0x80, 0x80}},  // above U+10FFFF
      {{0xF5, 0x80, 0x80, 0x80}, {0xF5, 0x80, 0x80, 0x80}},
      {{0xFF}, {0xFF}},
      {{'a', 0x80}, {0x80}},                                 // stray continuation
      {{0xC3, 0x41}, {0xC3, 0x41}},                          // missing continuation
      {{0xE2, 0x82, 0x41, 0x42, 0x43}, {0xE2, 0x82, 0x41, 0x42}},
      {{'a', 0xED, 0xA0, 0x80}, {0xED, 0xA0, 0x80}},         // surrogates: U+D800
      {{0xED, 0xB0, 0x80, 'b'}, {0xED, 0xB0, 0x80, 'b'}},    // U+DC00
      {{0xED, 0xBF, 0xBF}, {0xED, 0xBF, 0xBF}},              // U+DFFF
      {{0xED, 0xA0}, {0xED, 0xA0}},                          // cut, but never well-formed
  };
  for (const Case& c : cases) {
    VelError e = caught([&] { load8(c.in); });
    EXPECT_EQ(e.id, ErrId::INVALID_UTF8);
    ASSERT_EQ(e.nargs, 1);
    EXPECT_TRUE(e.args[0].is(TYPE_BINARY));
    EXPECT_EQ(bytes_of_binary(e.args[0]), c.shown);
  }
}

TEST(Unicode, FailedLoadLeavesTargetUnchanged) {
  RootedNode s(make_string(ascii("xy"), 1));
  VelError e = caught([&] { load8({'a', 'b', 0xC0, 0x80}, s); });
  EXPECT_EQ(e.id, ErrId::INVALID_UTF8);
  EXPECT_EQ(chars_of(s), ascii("xy"));
}

TEST(Unicode, NonCharactersLoad) {
  // The neighbours of the surrogates load; U+FFFE and U+FFFF are
  // characters, not markers.
  RootedNode s(load8({0xED, 0x9F, 0xBF, 0xEE, 0x80, 0x80}));
  EXPECT_EQ(chars_of(s), (Chars{0xD7FF, 0xE000}));
  RootedNode t(load8({0xEF, 0xBF, 0xBE, 0xEF, 0xBF, 0xBF}));
  EXPECT_EQ(chars_of(t), (Chars{0xFFFE, 0xFFFF}));
}

TEST(Unicode, LineConversionOnLoad) {
  RootedNode s(load8({'a', '\r', '\n', 'b', '\r', 'c', '\r'}, 0, nullptr, true));
  EXPECT_EQ(chars_of(s), ascii("a\nb\nc\n"));
  // Long ASCII runs take the word-at-a-time path; the CR inside must still be seen.
  std::string text = "0123456789abcdef\r\n0123456789abcdef\r0123456789";
  RootedNode t(load8(Bytes(text.begin(), text.end()), 0, nullptr, true));
  EXPECT_EQ(chars_of(t), ascii("0123456789abcdef\n0123456789abcdef\n0123456789"));
  RootedNode u(load8(Bytes(text.begin(), text.end())));
  EXPECT_EQ(chars_of(u), ascii(text.c_str()));
}

TEST(Unicode, LoadFromSeriesSource) {
  RootedNode bin(alloc_bytes(64));
  Buffer* b = node_buffer(bin);
  const char* text = "..h\xC3\xA9llo \xF0\x9F\x98\x80";
  std::memcpy(b->data(), text, std::strlen(text));
  b->tail = uint32_t(std::strlen(text));
  RootedNode s(load_utf8(ByteSource::series(bin, 2), std::strlen(text) - 2, 0, nullptr, false));
  EXPECT_EQ(chars_of(s), (Chars{'h', 0xE9, 'l', 'l', 'o', ' ', 0x1F600}));
}

TEST(Unicode, EveryScalarValueRoundTripsThroughUtf8) {
  // Every code point but the surrogates, which UTF-8 does not carry.
  Chars all;
  for (uint32_t cp = 0; cp <= MAX_CODE_POINT; cp++)
    if (cp < 0xD800 || cp > 0xDFFF) all.push_back(cp);
  RootedNode s(make_string(all, 4));
  Bytes u8 = utf8_of(s);
  RootedNode back(load8(u8));
  EXPECT_EQ(chars_of(back), all);
  // Narrower strings choose the narrowest unit on the way back.
  RootedNode latin(make_string(Chars(all.begin(), all.begin() + 256), 1));
  RootedNode latin_back(load8(utf8_of(latin)));
  EXPECT_EQ(node_buffer(latin_back)->unit(), 1u);
  EXPECT_EQ(chars_of(latin_back), chars_of(latin));
  RootedNode bmp(make_string(Chars(all.begin(), all.begin() + (0x10000 - 0x800)), 2));  // the BMP less the surrogates
  RootedNode bmp_back(load8(utf8_of(bmp)));
  EXPECT_EQ(node_buffer(bmp_back)->unit(), 2u);
  EXPECT_EQ(chars_of(bmp_back), chars_of(bmp));
}

TEST(Unicode, EveryCodePointRoundTripsThroughUtf16) {
  // Each code point stands alone (followed by 'x'): a high and a low
  // surrogate next to each other in a string are a pair in UTF-16.
  Chars all;
  for (uint32_t cp = 0; cp <= MAX_CODE_POINT; cp++) {
    all.push_back(cp);
    all.push_back('x');
  }
  RootedNode s(make_string(all, 4));
  std::u16string u16 = to_utf16(s, 0, -1, false);
  RootedNode back(load_utf16(ByteSource::memory(u16.data()), int64_t(u16.size()), 0, false));
  EXPECT_EQ(chars_of(back), all);
}

TEST(Unicode, FastDecoderAgreesWithValidatingDecoder) {
  // Every one- to three-byte start (then NUL), and four-byte starts with a
  // spread of last bytes: both decoders accept the same sequences with the
  // same code point and length.
  auto check = [](const uint8_t* p) {
    uint32_t len;
    int32_t want = decode_utf8_checked(p, 4, &len);
    int32_t got;
    const uint8_t* end = fast_decode_utf8_char(p, &got);
    if (want >= 0) {
      ASSERT_EQ(got, want) << std::hex << int(p[0]) << " " << int(p[1]) << " " << int(p[2]) << " " << int(p[3]);
      ASSERT_EQ(uint32_t(end - p), len);
    } else {
      ASSERT_EQ(got, -1) << std::hex << int(p[0]) << " " << int(p[1]) << " " << int(p[2]) << " " << int(p[3]);
      // Progress, and never past the NUL terminator.
      ASSERT_GE(end - p, 1);
      for (const uint8_t* q = p + 1; q < end; q++) ASSERT_NE(*q, 0);
    }
  };
  uint8_t buf[5] = {};
  for (int b0 = 1; b0 < 256; b0++)
    for (int b1 = 0; b1 < 256; b1++)
      for (int b2 = 0; b2 < 256; b2++) {
        buf[0] = uint8_t(b0), buf[1] = uint8_t(b1), buf[2] = uint8_t(b2), buf[3] = 0;
        check(buf);
      }
  for (int b0 = 0xF0; b0 <= 0xF7; b0++)
    for (int b1 = 0x70; b1 < 0xD0; b1++)
      for (int b2 = 0x70; b2 < 0xD0; b2++)
        for (int b3 : {0x00, 0x41, 0x80, 0x9F, 0xBF, 0xC0}) {
          buf[0] = uint8_t(b0), buf[1] = uint8_t(b1), buf[2] = uint8_t(b2), buf[3] = uint8_t(b3), buf[4] = 0;
          check(buf);
        }
}

TEST(Unicode, LexerHelpers) {
  const uint8_t text[] = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFF" "b";
  const uint8_t* end = text + sizeof text - 1;
  EXPECT_EQ(count_utf8_chars(text, end), 6u);  // the bad byte counts as one
  EXPECT_EQ(skip_utf8_chars(text, end, 3), text + 6);
  EXPECT_EQ(skip_utf8_chars(text, end, 100), end);
  struct Case {
    uint8_t b;
    uint32_t len;
  } leads[] = {{0x41, 0}, {0x80, 0}, {0xBF, 0}, {0xC0, 2}, {0xDF, 2}, {0xE0, 3}, {0xEF, 3}, {0xF0, 4}, {0xFF, 4}};
  for (const Case& c : leads) EXPECT_EQ(utf8_lead_length(c.b), c.len) << int(c.b);
}

TEST(Unicode, Utf8SizesAndLimits) {
  struct Case {
    uint32_t cp, size;
  } cases[] = {{0, 1}, {0x7F, 1}, {0x80, 2}, {0x7FF, 2}, {0x800, 3}, {0xD800, 3}, {0xFFFF, 3}, {0x10000, 4}, {0x10FFFF, 4}};
  for (const Case& c : cases) {
    EXPECT_EQ(utf8_char_size(c.cp), c.size);
    uint8_t buf[4];
    EXPECT_EQ(encode_utf8_char(c.cp, buf), c.size);
  }
  for (uint32_t bad : {0x110000u, 0xFFFFFFFFu}) {
    VelError e = caught([&] { utf8_char_size(bad); });
    EXPECT_EQ(e.id, ErrId::INVALID_CHAR);
    ASSERT_EQ(e.nargs, 1);
    EXPECT_TRUE(e.args[0].is(TYPE_INTEGER));
    EXPECT_EQ(e.args[0].w2, bad);
  }
  // Strings holding such a value cannot be encoded either way; no empty or
  // missing result stands in for the error.
  RootedNode s(make_string({'a', 0x110000}, 4));
  EXPECT_EQ(caught([&] { to_utf8(s, 0); }).id, ErrId::INVALID_CHAR);
  EXPECT_EQ(caught([&] { to_utf16(s, 0); }).id, ErrId::INVALID_CHAR);
  EXPECT_EQ(to_utf8(s, 0, 1), "a");
}

TEST(Unicode, Utf8Output) {
  RootedNode s(make_string({'a', '\n', 0xE9, '\n'}, 1));
  EXPECT_EQ(to_utf8(s, 0), "a\n\xC3\xA9\n");
  EXPECT_EQ(to_utf8(s, 0, -1, true), "a\r\n\xC3\xA9\r\n");
  EXPECT_EQ(utf8_size_of_run(node_buffer(s)->head_ptr(), 4, 1, true), 7u);
  EXPECT_EQ(to_utf8(s, 2, 1), "\xC3\xA9");
  EXPECT_EQ(to_utf8(s, 9), "");
  // Long Latin-1 runs go through the word-at-a-time paths.
  Chars long_text;
  std::string want;
  for (int i = 0; i < 100; i++) {
    long_text.push_back(i % 7 == 6 ? 0xE9 : (i % 11 == 10 ? '\n' : 'a' + i % 26));
    want += i % 7 == 6 ? "\xC3\xA9" : (i % 11 == 10 ? "\r\n" : std::string(1, char('a' + i % 26)));
  }
  RootedNode l(make_string(long_text, 1));
  EXPECT_EQ(to_utf8(l, 0, -1, true), want);
  EXPECT_EQ(utf8_size_of_run(node_buffer(l)->head_ptr(), 100, 1, true), want.size());
  // Long UCS-2 and UCS-4 runs take the vector size path.
  const Chars mix = {'a', '\n', 0xE9, 0x20AC, 0x7FF, 0x800, 0x1F600};
  const char* mix_utf8[] = {"a", "\r\n", "\xC3\xA9", "\xE2\x82\xAC", "\xDF\xBF", "\xE0\xA0\x80", "\xF0\x9F\x98\x80"};
  for (uint32_t unit : {2u, 4u}) {
    Chars t;
    std::string want_crlf;
    for (int i = 0; i < 301; i++) {
      size_t k = size_t(i * 7 + i / 5) % (unit == 2 ? 6 : 7);
      t.push_back(mix[k]);
      want_crlf += mix_utf8[k];
    }
    RootedNode x(make_string(t, unit));
    EXPECT_EQ(to_utf8(x, 0, -1, true), want_crlf) << unit;
    EXPECT_EQ(utf8_size_of_run(node_buffer(x)->head_ptr(), t.size(), unit, true), want_crlf.size());
    if (unit == 4) {
      t[250] = 0x200000;
      RootedNode bad(make_string(t, 4));
      VelError e = caught([&] { to_utf8(bad, 0); });
      EXPECT_EQ(e.id, ErrId::INVALID_CHAR);
      EXPECT_EQ(e.args[0].w2, 0x200000u);
    }
  }
  RootedNode w(make_string({0x20AC, 'b', 0x1F600}, 4));
  EXPECT_EQ(to_utf8(w, 0), "\xE2\x82\xAC" "b\xF0\x9F\x98\x80");
  // Bounded: only what fits, cut inside a sequence if need be.
  uint8_t buf[8];
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(to_utf8_binary(w, 0, -1, buf, 5), 5u);
  EXPECT_EQ(std::memcmp(buf, "\xE2\x82\xAC" "b\xF0\xEE", 6), 0);
  EXPECT_EQ(encode_utf8_char_bounded(0x20AC, buf, 0), 0u);
}

// The loaders and encoders take plain ASCII a block at a time; these cases
// put the one character that ends a block's run at every offset of inputs
// 0 to 64 bytes long, so sequences straddle every block edge.

// A plain reference encoder for the cases below.
std::string reference_utf8(const Chars& cps, bool crlf = false) {
  std::string out;
  for (uint32_t c : cps) {
    if (c < 0x80) {
      if (crlf && c == '\n') out += '\r';
      out += char(c);
    } else if (c < 0x800) {
      out += {char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
      out += {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
    } else {
      out += {char(0xF0 | (c >> 18)), char(0x80 | ((c >> 12) & 0x3F)), char(0x80 | ((c >> 6) & 0x3F)),
              char(0x80 | (c & 0x3F))};
    }
  }
  return out;
}

// ASCII filler of n characters, varied so that a misplaced copy shows.
Chars filler(size_t n) {
  Chars out;
  for (size_t i = 0; i < n; i++) out.push_back(uint32_t('!' + (i * 7) % 90));
  return out;
}

TEST(Unicode, DecodeSequenceAtEveryOffsetOfABlock) {
  for (uint32_t cp : {0xE9u, 0x20ACu, 0x1F600u}) {
    size_t seq = reference_utf8({cp}).size();
    for (size_t len = seq; len <= 64; len++) {
      for (size_t k = 0; k + seq <= len; k++) {
        Chars want = filler(len - seq + 1);
        want[k] = cp;
        std::string in = reference_utf8(want);
        ASSERT_EQ(in.size(), len);
        Bytes bytes(in.begin(), in.end());
        RootedNode s(load8(bytes));
        ASSERT_EQ(chars_of(s), want) << "cp " << cp << " len " << len << " at " << k;
        ASSERT_EQ(to_utf8(s, 0), in);
        // Appending to strings already wide stores the plain blocks widened.
        for (uint32_t unit : {2u, 4u}) {
          RootedNode t(make_string({0x20AC}, unit));
          load8(bytes, t);
          Chars with = want;
          with.insert(with.begin(), 0x20AC);
          ASSERT_EQ(chars_of(t), with) << "unit " << unit << " cp " << cp << " len " << len << " at " << k;
        }
      }
    }
  }
}

TEST(Unicode, LineEndsAtEveryOffsetOfABlock) {
  for (size_t len = 1; len <= 64; len++) {
    for (size_t k = 0; k < len; k++) {
      Chars text = filler(len);
      text[k] = '\r';
      Chars want = text;
      want[k] = '\n';
      std::string in = reference_utf8(text);
      RootedNode s(load8(Bytes(in.begin(), in.end()), 0, nullptr, true));
      ASSERT_EQ(chars_of(s), want) << len << " at " << k;
      if (k + 1 < len) {
        // CR LF is one line end.
        text[k + 1] = '\n';
        want.erase(want.begin() + long(k) + 1);
        in = reference_utf8(text);
        RootedNode t(load8(Bytes(in.begin(), in.end()), 0, nullptr, true));
        ASSERT_EQ(chars_of(t), want) << len << " at " << k;
      }
    }
  }
}

TEST(Unicode, IllFormedByteAtEveryOffsetOfABlock) {
  for (size_t len : {1u, 15u, 16u, 17u, 31u, 33u, 64u}) {
    for (size_t k = 0; k < len; k++) {
      for (uint8_t bad : {uint8_t(0x80), uint8_t(0xBF), uint8_t(0xC0), uint8_t(0xFF)}) {
        std::string in = reference_utf8(filler(len));
        in[k] = char(bad);
        RootedNode target(make_string(ascii("xy"), 2));
        VelError e = caught([&] { load8(Bytes(in.begin(), in.end()), target); });
        ASSERT_EQ(e.id, ErrId::INVALID_UTF8) << len << " at " << k;
        Bytes shown(in.begin() + long(k), in.begin() + long(std::min(len, k + 4)));
        ASSERT_EQ(bytes_of_binary(e.args[0]), shown) << len << " at " << k;
        ASSERT_EQ(chars_of(target), ascii("xy"));
      }
    }
    // A sequence cut by the end after a run of plain bytes is handed back.
    std::string in = reference_utf8(filler(len)) + "\xF0\x9F\x98";
    uint64_t remaining = 0;
    RootedNode s(load8(Bytes(in.begin(), in.end()), 0, &remaining));
    EXPECT_EQ(remaining, 3u);
    EXPECT_EQ(chars_of(s), filler(len));
  }
}

TEST(Unicode, EncodeCharacterAtEveryOffsetOfABlock) {
  // Per unit, characters that end a plain run. Some have a low byte or
  // 16-bit half that is plain or a line feed, so that narrowing a lane
  // cannot pass them for ASCII.
  const std::vector<uint32_t> by_unit[] = {
      {0x80, 0xE9, 0xFF},
      {0x80, 0x10A, 0x141, 0x7FF, 0x800, 0x8000, 0xFFFF},
      {0xE9, 0x20AC, 0x1000A, 0x10041, 0x10FFFF},
  };
  const uint32_t units[] = {1, 2, 4};
  // Longer inputs too: after a block that is not plain, blocks are looked
  // for again only some way on.
  std::vector<size_t> lengths;
  for (size_t len = 1; len <= 64; len++) lengths.push_back(len);
  for (size_t len : {100u, 150u, 200u}) lengths.push_back(len);
  for (int u = 0; u < 3; u++) {
    for (uint32_t cp : by_unit[u]) {
      for (size_t len : lengths) {
        for (size_t k = 0; k < len; k++) {
          Chars text = filler(len);
          text[k] = cp;
          RootedNode s(make_string(text, units[u]));
          ASSERT_EQ(to_utf8(s, 0), reference_utf8(text)) << units[u] << " " << cp << " " << len << " at " << k;
          text[len - 1 - k / 2] = '\n';
          RootedNode t(make_string(text, units[u]));
          std::string want = reference_utf8(text, true);
          ASSERT_EQ(to_utf8(t, 0, -1, true), want) << units[u] << " " << cp << " " << len << " at " << k;
          ASSERT_EQ(utf8_size_of_run(node_buffer(t)->head_ptr(), len, units[u], true), want.size());
        }
      }
    }
  }
  // Above U+10FFFF anywhere in a block, including values that are negative
  // as signed lanes.
  for (uint32_t bad : {0x110000u, 0x8000000Au, 0xFFFFFFFFu}) {
    for (size_t k = 0; k < 40; k++) {
      Chars text = filler(40);
      text[k] = bad;
      RootedNode s(make_string(text, 4));
      VelError e = caught([&] { to_utf8(s, 0); });
      ASSERT_EQ(e.id, ErrId::INVALID_CHAR) << bad << " at " << k;
      ASSERT_EQ(e.args[0].w2, bad);
      uint8_t out[200];
      ASSERT_EQ(caught([&] { encode_utf8_run(node_buffer(s)->head_ptr(), text.size(), 4, out); }).id,
                ErrId::INVALID_CHAR);
    }
  }
}

TEST(Unicode, Latin1SizeCountsLongRuns) {
  // More than 255 blocks of 16 bytes, every byte counted.
  for (uint32_t c : {0xE9u, uint32_t('\n'), uint32_t('a')}) {
    Chars text(16 * 300 + 5, c);
    RootedNode s(make_string(text, 1));
    std::string want = reference_utf8(text, true);
    EXPECT_EQ(utf8_size_of_run(node_buffer(s)->head_ptr(), text.size(), 1, true), want.size());
    EXPECT_EQ(utf8_size_of_run(node_buffer(s)->head_ptr(), text.size(), 1, false), reference_utf8(text).size());
    EXPECT_EQ(to_utf8(s, 0, -1, true), want);
  }
}

TEST(Unicode, Utf16Output) {
  RootedNode s(make_string(ascii("a\nb"), 1));
  std::u16string u = to_utf16(s, 0);
  ASSERT_EQ(u.size(), 4u);
  Bytes raw(reinterpret_cast<const uint8_t*>(u.c_str()), reinterpret_cast<const uint8_t*>(u.c_str()) + 10);
  EXPECT_EQ(raw, (Bytes{0x61, 0, 0x0D, 0, 0x0A, 0, 0x62, 0, 0, 0}));
  EXPECT_EQ(to_utf16(s, 0, -1, false), u"a\nb");
  EXPECT_EQ(to_utf16(s, 1, 1), u"\r\n");
  RootedNode w(make_string({0x1F600, 0xDC00, 0x10FFFF, 'z'}, 4));
  EXPECT_EQ(to_utf16(w, 0), (std::u16string{0xD83D, 0xDE00, 0xDC00, 0xDBFF, 0xDFFF, u'z'}));
  RootedNode m(make_string({0x20AC, '\n', 0xFFFF}, 2));
  EXPECT_EQ(to_utf16(m, 0, -1, false), (std::u16string{0x20AC, u'\n', 0xFFFF}));
  char16_t pair[2];
  EXPECT_EQ(encode_utf16_char(0x110000, pair), 0u);
  char16_t wide[6];
  ascii_to_utf16("ab\xE9", wide);
  EXPECT_EQ(std::u16string(wide, 5), (std::u16string{u'a', u'b', 0xE9, 0, 0}));
}

TEST(Unicode, Utf16Input) {
  struct Case {
    Bytes in;
    bool lines;
    Chars want;
    uint32_t unit;
  } cases[] = {
      {{0x3D, 0xD8, 0x00, 0xDE}, false, {0x1F600}, 4},
      // A surrogate outside a pair is stored as it is, wherever it stands.
      {{0x3D, 0xD8, 0x41, 0x00}, false, {0xD83D, 'A'}, 2},
      {{0x41, 0x00, 0x3D, 0xD8}, false, {'A', 0xD83D}, 2},
      {{0x00, 0xDE, 0x3D, 0xD8}, false, {0xDE00, 0xD83D}, 2},
      {{0x00, 0xDE, 0x3D, 0xD8, 0x00, 0xDE}, false, {0xDE00, 0x1F600}, 4},
      {{0x61, 0x00, 0xE9, 0x00}, false, {'a', 0xE9}, 1},
      {{0x61, 0x00, 0x0D, 0x00, 0x0A, 0x00, 0xAC, 0x20}, true, {'a', '\n', 0x20AC}, 2},
      {{0x61, 0x00, 0x0D, 0x00, 0x0A, 0x00}, false, {'a', '\r', '\n'}, 1},
      {{}, false, {}, 1},
  };
  for (const Case& c : cases) {
    RootedNode s(load16(c.in, 0, c.lines));
    EXPECT_EQ(chars_of(s), c.want);
    EXPECT_EQ(node_buffer(s)->unit(), c.unit);
  }
  // Up to a NUL unit; appended to a narrower target, which widens.
  const uint8_t z[] = {0x62, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0x00, 0x63, 0x00};
  RootedNode t(make_string(ascii("a"), 1));
  load_utf16(ByteSource::memory(z), -1, t, false);
  EXPECT_EQ(chars_of(t), (Chars{'a', 'b', 0x1F600}));
  EXPECT_EQ(node_buffer(t)->unit(), 4u);
}

TEST(Unicode, Cp1251Input) {
  const uint8_t text[] = {0xCF, 0xF0, 0xE8, 0xE2, 0xB3, 0xF2, '\r', '\n', 0xB9, 0x88, 0x98, 'A'};
  RootedNode s(load_cp1251(ByteSource::memory(text), sizeof text, 0, true));
  EXPECT_EQ(chars_of(s), (Chars{0x41F, 0x440, 0x438, 0x432, 0x456, 0x442, '\n', 0x2116, 0x20AC, 0x98, 'A'}));
  EXPECT_EQ(node_buffer(s)->unit(), 2u);
  RootedNode a(load_cp1251(ByteSource::memory("plain\r"), 6, 0, false));
  EXPECT_EQ(chars_of(a), ascii("plain\r"));
  EXPECT_EQ(node_buffer(a)->unit(), 1u);
}

TEST(Unicode, WidenInPlaceAndWhenShort) {
  // Head in the middle with room after the tail: widened in place.
  Chars text = {'a', 0xE9, 'z', 0xFF};
  RootedNode m(make_string(text, 1, -1, 64));
  Buffer* before = node_buffer(m);
  Buffer* after = widen(m, 2);
  EXPECT_EQ(after, before);
  EXPECT_EQ(after->unit(), 2u);
  EXPECT_EQ(chars_of(m), text);
  widen(m, 4);
  EXPECT_EQ(chars_of(m), text);
  EXPECT_EQ(node_buffer(m)->unit(), 4u);
  EXPECT_EQ(widen(m, 2), node_buffer(m));  // never narrows
  EXPECT_EQ(node_buffer(m)->unit(), 4u);

  // A full buffer is expanded first; the contents survive, with room for
  // the extra characters asked for.
  Chars many;
  for (uint32_t i = 0; i < 48; i++) many.push_back(0xA0 + i);
  RootedNode f(make_string(many, 1));
  ASSERT_EQ(node_buffer(f)->room(), 0u);
  Buffer* g = widen(f, 4, 10);
  EXPECT_EQ(chars_of(f), many);
  EXPECT_GE(g->room(), 40u);
  RootedNode u2(make_string({0x20AC, 0x41}, 2));
  widen(u2, 4);
  EXPECT_EQ(chars_of(u2), (Chars{0x20AC, 0x41}));
}

}  // namespace
}  // namespace vel
