// Text encodings: the runtime's character storage against UTF-8, UTF-16LE
// and Windows-1251, and in-place widening of string buffers.
//
// A string series has unit 1 (Latin-1), 2 (UCS-2: 16-bit code points, no
// surrogate pairs inside) or 4 (UCS-4), elements little-endian. A buffer
// only ever widens, in place, back to front.
//
// Surrogates: U+D800-U+DFFF are ordinary code points in strings. The lexer
// accepts their three-byte forms and the encoders write them, and a UTF-16
// surrogate that is not part of a pair is stored as it is, so molded text
// loads back. Loading UTF-8 bytes into a string or char refuses them, as
// UTF-8 itself does. Overlong UTF-8 forms are refused everywhere.
//
// Output conversions return std::string / std::u16string by value: they
// never hand out an address into a movable series, and a code point above
// U+10FFFF raises script/invalid-char instead of yielding no buffer.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "cell.h"
#include "memory.h"

namespace vel {

static_assert(std::endian::native == std::endian::little, "string elements are stored little-endian");

constexpr uint32_t MAX_CODE_POINT = 0x10FFFF;

// The narrowest unit that holds cp.
inline uint32_t unit_for_cp(uint32_t cp) { return cp <= 0xFF ? 1 : (cp <= 0xFFFF ? 2 : 4); }

inline uint32_t get_char(const uint8_t* p, uint32_t unit) {
  if (unit == 1) return *p;
  if (unit == 2) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  }
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// cp must fit the unit.
inline void put_char(uint8_t* p, uint32_t unit, uint32_t cp) {
  if (unit == 1) {
    *p = uint8_t(cp);
  } else if (unit == 2) {
    uint16_t v = uint16_t(cp);
    std::memcpy(p, &v, 2);
  } else {
    std::memcpy(p, &cp, 4);
  }
}

// ---------------------------------------------------------------------------
// Lexer decoding. The input must end with a NUL byte: the decoder does no
// length checks and the NUL (class 0) rejects any unfinished sequence.

// 256 byte classes, then 108 transitions indexed by state + class (states
// are multiples of 12: 0 accept, 12 reject).
extern const uint8_t kUtf8Dfa[364];
constexpr uint8_t UTF8_DFA_ACCEPT = 0;
constexpr uint8_t UTF8_DFA_REJECT = 12;

// Decodes one sequence at p into *cp and answers the address after it. On a
// bad sequence *cp is -1: a bad lead byte consumes one byte, a bad
// continuation consumes itself too, except the terminating NUL, so that the
// answer never points past the terminator.
inline const uint8_t* fast_decode_utf8_char(const uint8_t* p, int32_t* cp) {
  uint32_t c = kUtf8Dfa[*p];
  uint32_t v = (0xFFu >> c) & *p;
  uint32_t state = kUtf8Dfa[256 + c];
  p++;
  while (state != UTF8_DFA_ACCEPT) {
    if (state == UTF8_DFA_REJECT) {
      *cp = -1;
      return p - (p[-1] == 0);
    }
    c = kUtf8Dfa[*p];
    v = (*p & 0x3Fu) | (v << 6);
    p++;
    state = kUtf8Dfa[256 + state + c];
  }
  *cp = int32_t(v);
  return p;
}

// Sequences decoded from start until the address reaches end.
size_t count_utf8_chars(const uint8_t* start, const uint8_t* end);
// The address after n sequences, stopping early at end.
const uint8_t* skip_utf8_chars(const uint8_t* p, const uint8_t* end, size_t n);

// 4, 3 or 2 by the lead byte's top bits, else 0.
inline uint32_t utf8_lead_length(uint8_t b) {
  if ((b & 0xF0) == 0xF0) return 4;
  if ((b & 0xE0) == 0xE0) return 3;
  if ((b & 0xC0) == 0xC0) return 2;
  return 0;
}

// ---------------------------------------------------------------------------
// Validating decoder (loading). Answers the code point and stores the
// sequence length in *len, or one of these (kept out of the code-point
// range, so U+FFFE is an ordinary character):
constexpr int32_t UTF8_INCOMPLETE = -1;  // a well-formed start cut by the end of the input
constexpr int32_t UTF8_INVALID = -2;     // ill-formed (bad byte, overlong, above U+10FFFF)

int32_t decode_utf8_checked(const uint8_t* p, size_t avail, uint32_t* len);
// The same, refusing the encoded surrogates too, as loading UTF-8 into a
// string or char does.
int32_t decode_utf8_loading(const uint8_t* p, size_t avail, uint32_t* len);

// ---------------------------------------------------------------------------
// UTF-8 encoding. Code points above U+10FFFF raise script/invalid-char with
// the code point as an integer!.

// Two to four bytes for 0x80 <= cp <= U+10FFFF (checked by the caller).
inline uint32_t encode_utf8_multi(uint32_t cp, uint8_t* d) {
  if (cp < 0x800) {
    d[0] = uint8_t(0xC0 | (cp >> 6));
    d[1] = uint8_t(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    d[0] = uint8_t(0xE0 | (cp >> 12));
    d[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
    d[2] = uint8_t(0x80 | (cp & 0x3F));
    return 3;
  }
  d[0] = uint8_t(0xF0 | (cp >> 18));
  d[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
  d[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
  d[3] = uint8_t(0x80 | (cp & 0x3F));
  return 4;
}

uint32_t utf8_char_size(uint32_t cp);
// Bytes that n elements of `unit` at p take as UTF-8 (plus one per line
// feed with crlf).
uint64_t utf8_size_of_run(const uint8_t* p, size_t n, uint32_t unit, bool crlf = false);
// Writes 1-4 bytes.
uint32_t encode_utf8_char(uint32_t cp, uint8_t* dst);
// Writes only the leading bytes of the sequence that fit in room.
uint32_t encode_utf8_char_bounded(uint32_t cp, uint8_t* dst, size_t room);
// Encodes n elements; dst holds utf8_size_of_run bytes. Answers bytes written.
size_t encode_utf8_run(const uint8_t* p, size_t n, uint32_t unit, uint8_t* dst, bool crlf = false);

// The characters of a string series from index (clamped to the tail), at
// most limit of them (negative: to the tail), as UTF-8; crlf writes every
// line feed as CR LF.
std::string to_utf8(NodeId series, int64_t index, int64_t limit = -1, bool crlf = false);
// The same into dst through the bounded encoder: never more than room bytes.
size_t to_utf8_binary(NodeId series, int64_t index, int64_t limit, uint8_t* dst, size_t room);

// ---------------------------------------------------------------------------
// UTF-16LE.

// 1 unit up to U+FFFF, a surrogate pair up to U+10FFFF, 0 above.
uint32_t encode_utf16_char(uint32_t cp, char16_t* dst);
// The characters from index, at most limit (negative: all), as UTF-16;
// crlf writes a CR before every LF.
std::u16string to_utf16(NodeId series, int64_t index, int64_t limit = -1, bool crlf = true);
// Widens NUL-terminated bytes to dst, ending with two NUL units; dst holds
// strlen(text) + 2 units.
void ascii_to_utf16(const char* text, char16_t* dst);

// ---------------------------------------------------------------------------
// Loading into strings. The result is the series node; with a target the
// characters are appended at its tail (widening it as needed), else a new
// series of the narrowest unit is made. The returned node is unrooted: root
// it before the next allocation.

// Where loader input lives: C++ memory, or a series (read again after every
// allocation, because the collector may move it). A series must be rooted
// by the caller.
struct ByteSource {
  const uint8_t* raw = nullptr;
  NodeId node = 0;
  uint64_t offset = 0;  // bytes from the series head

  static ByteSource memory(const void* p) { return ByteSource{static_cast<const uint8_t*>(p), 0, 0}; }
  static ByteSource series(NodeId n, uint64_t offset) { return ByteSource{nullptr, n, offset}; }
};

// UTF-8: a leading byte-order mark is skipped; with lines, CR LF and a lone
// CR become LF. Ill-formed input raises access/invalid-utf8 with a binary!
// of the bytes from the bad position (at most 4, never past the input) and
// leaves a target unchanged. A sequence cut by the end of the input is kept
// for the next chunk when `remaining` is given (*remaining = its bytes; 0
// otherwise) and raises invalid-utf8 when it is not.
may_gc NodeId load_utf8(ByteSource src, uint64_t count, NodeId target, uint64_t* remaining, bool lines);
// A new string from complete UTF-8 text.
may_gc NodeId load_utf8_buffer(const uint8_t* src, uint64_t count);

// UTF-16LE, `units` 16-bit units (negative: up to a NUL unit). The unit is
// chosen by one scan; pairs combine; a surrogate outside a pair is stored as
// it is. With lines, every CR unit is dropped.
may_gc NodeId load_utf16(ByteSource src, int64_t units, NodeId target, bool lines);

// Windows-1251 (Cyrillic) bytes; with lines, CR LF and a lone CR become LF.
may_gc NodeId load_cp1251(ByteSource src, uint64_t count, NodeId target, bool lines);

// ---------------------------------------------------------------------------
// Widening a string series in place to `unit` (2 or 4; nothing happens when
// it is already that wide), leaving room for `extra` more characters after
// the tail: the buffer is expanded first when short. Answers the buffer.
may_gc Buffer* widen(NodeId series, uint32_t unit, uint64_t extra = 1);

// Makes room for `extra` more characters after the tail at the current unit.
may_gc Buffer* reserve_chars(NodeId series, uint64_t extra);

}  // namespace vel
