#include "unicode.h"

#include <algorithm>
#include <bit>
#include <type_traits>

// SSE2 is part of x86-64, so both builds take the vector paths; anything
// else gets the word-at-a-time code.
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VEL_UTF_SSE2 1
#else
#define VEL_UTF_SSE2 0
#endif

#include "errors.h"
#include "fatal.h"
#include "roots.h"

namespace vel {

// The published economical UTF-8 automaton, with one change: the lead byte
// ED has class 3 (like E1-EC) instead of 4, so ED A0-BF (the surrogates)
// decode like any other three-byte form and the lexer accepts what the
// encoder writes. Row 60, reached only through class 4, is now unused.
const uint8_t kUtf8Dfa[364] = {
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,  // 00-1F
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,  // 20-3F
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,  // 40-5F
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,  // 60-7F
    1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,  // 80-9F
    7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,  // A0-BF
    8,8,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,  // C0-DF
    10,3,3,3,3,3,3,3,3,3,3,3,3,3,3,3,11,6,6,6,5,8,8,8,8,8,8,8,8,8,8,8,  // E0-FF
    // state + class -> state
    0,12,24,36,60,96,84,12,12,12,48,72,  // 0: start
    12,12,12,12,12,12,12,12,12,12,12,12,  // 12: reject
    12,0,12,12,12,12,12,0,12,0,12,12,     // 24: one continuation left
    12,24,12,12,12,12,12,24,12,24,12,12,  // 36: two left
    12,12,12,12,12,12,12,24,12,12,12,12,  // 48: after E0, A0-BF
    12,24,12,12,12,12,12,12,12,24,12,12,  // 60: (unused) after ED, 80-9F
    12,12,12,12,12,12,12,36,12,36,12,12,  // 72: after F0, 90-BF
    12,36,12,12,12,12,12,36,12,36,12,12,  // 84: after F1-F3
    12,36,12,12,12,12,12,12,12,12,12,12,  // 96: after F4, 80-8F
};

namespace {

// Windows-1251, bytes 80-FF. 98 is unassigned there; it maps to U+0098 so
// that every byte loads.
const uint16_t kCp1251[128] = {
    0x0402,0x0403,0x201A,0x0453,0x201E,0x2026,0x2020,0x2021,0x20AC,0x2030,0x0409,0x2039,0x040A,0x040C,0x040B,0x040F,
    0x0452,0x2018,0x2019,0x201C,0x201D,0x2022,0x2013,0x2014,0x0098,0x2122,0x0459,0x203A,0x045A,0x045C,0x045B,0x045F,
    0x00A0,0x040E,0x045E,0x0408,0x00A4,0x0490,0x00A6,0x00A7,0x0401,0x00A9,0x0404,0x00AB,0x00AC,0x00AD,0x00AE,0x0407,
    0x00B0,0x00B1,0x0406,0x0456,0x0491,0x00B5,0x00B6,0x00B7,0x0451,0x2116,0x0454,0x00BB,0x0458,0x0405,0x0455,0x0457,
    0x0410,0x0411,0x0412,0x0413,0x0414,0x0415,0x0416,0x0417,0x0418,0x0419,0x041A,0x041B,0x041C,0x041D,0x041E,0x041F,
    0x0420,0x0421,0x0422,0x0423,0x0424,0x0425,0x0426,0x0427,0x0428,0x0429,0x042A,0x042B,0x042C,0x042D,0x042E,0x042F,
    0x0430,0x0431,0x0432,0x0433,0x0434,0x0435,0x0436,0x0437,0x0438,0x0439,0x043A,0x043B,0x043C,0x043D,0x043E,0x043F,
    0x0440,0x0441,0x0442,0x0443,0x0444,0x0445,0x0446,0x0447,0x0448,0x0449,0x044A,0x044B,0x044C,0x044D,0x044E,0x044F,
};

// Multi-byte lead bytes: sequence length and the allowed range of the
// second byte, which is where overlong forms (E0 80-9F, F0 80-8F) and code
// points above U+10FFFF (F4 90-BF) are refused. C0, C1 and F5-FF never lead.
struct Lead {
  uint8_t len, lo, hi;
};

constexpr Lead lead_of(int b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

struct LeadTable {
  Lead t[256];
  constexpr LeadTable() : t{} {
    for (int b = 0; b < 256; b++) t[b] = lead_of(b);
  }
};
constexpr LeadTable kLeads;

inline int32_t decode_checked(const uint8_t* p, size_t avail, uint32_t* len) {
  *len = 1;
  if (avail == 0) return UTF8_INCOMPLETE;
  uint32_t b0 = p[0];
  if (b0 < 0x80) return int32_t(b0);
  Lead l = kLeads.t[b0];
  if (l.len == 0) return UTF8_INVALID;
  size_t have = std::min<size_t>(avail, l.len);
  // Bytes that are present are checked first, so a cut sequence is only
  // "incomplete" when what arrived could still become well-formed.
  if (have >= 2 && (p[1] < l.lo || p[1] > l.hi)) return UTF8_INVALID;
  for (size_t i = 2; i < have; i++)
    if ((p[i] & 0xC0) != 0x80) return UTF8_INVALID;
  if (have < l.len) return UTF8_INCOMPLETE;
  *len = l.len;
  if (l.len == 2) return int32_t(((b0 & 0x1F) << 6) | (p[1] & 0x3F));
  if (l.len == 3) return int32_t(((b0 & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3F));
  return int32_t(((b0 & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3F));
}

// ED A0-BF leads the three-byte form of a surrogate (U+D800-U+DFFF), which
// well-formed UTF-8 never holds: loading refuses it.
inline bool encodes_surrogate(const uint8_t* p, size_t avail) { return avail >= 2 && p[0] == 0xED && p[1] >= 0xA0; }

[[noreturn, gnu::noinline]] void fire_invalid_char(uint32_t cp) {
  fire(ErrId::INVALID_CHAR, make_cell(TYPE_INTEGER, 0, cp, 0));
}

// The error argument is a copy of the bad bytes, so it can neither read past
// the input nor depend on a source the allocation below might move.
[[noreturn, gnu::noinline]] void fire_invalid_utf8(const uint8_t* bad, size_t avail) {
  uint8_t bytes[4];
  size_t n = std::min<size_t>(avail, 4);
  std::memcpy(bytes, bad, n);
  NodeId node = alloc_bytes(n);
  Buffer* b = node_buffer(node);
  std::memcpy(b->data(), bytes, n);
  b->head = 0;
  b->tail = uint32_t(n);
  fire(ErrId::INVALID_UTF8, make_cell(TYPE_BINARY, 0, node, 0));
}

inline void check_unit(uint32_t unit) {
  if (unit != 1 && unit != 2 && unit != 4) fatal_error(101, 0);
}

inline uint64_t char_count(const Buffer* b) { return b->used() >> b->unit_shift(); }

// Byte size of `chars` characters of `unit`, refused before it can wrap.
inline uint64_t char_bytes(uint64_t chars, uint32_t unit) {
  if (chars > MAX_CAPACITY / unit) fire(ErrId::NO_MEMORY);
  return chars * unit;
}

constexpr uint64_t kHighBits = 0x8080808080808080ull;
constexpr uint64_t kOnes = 0x0101010101010101ull;

inline bool has_byte(uint64_t v, uint8_t b) {
  uint64_t x = v ^ (kOnes * b);
  return ((x - kOnes) & ~x & kHighBits) != 0;
}

#if VEL_UTF_SSE2
inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store16(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// The 16 bytes of v as 16 elements of T at d.
template <class T>
inline void store_widened(T* d, __m128i v) {
  if constexpr (sizeof(T) == 1) {
    store16(d, v);
  } else {
    const __m128i z = _mm_setzero_si128();
    __m128i lo = _mm_unpacklo_epi8(v, z), hi = _mm_unpackhi_epi8(v, z);
    if constexpr (sizeof(T) == 2) {
      store16(d, lo);
      store16(d + 8, hi);
    } else {
      store16(d, _mm_unpacklo_epi16(lo, z));
      store16(d + 4, _mm_unpackhi_epi16(lo, z));
      store16(d + 8, _mm_unpacklo_epi16(hi, z));
      store16(d + 12, _mm_unpackhi_epi16(hi, z));
    }
  }
}

// One bit per byte of v that ends a plain run: the high bit, or with Lines
// a CR.
template <bool Lines>
inline unsigned stop_bits(__m128i v) {
  if constexpr (Lines) v = _mm_or_si128(v, _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
  return unsigned(_mm_movemask_epi8(v));
}
#endif

// Plain bytes: below 0x80 and, with Lines, not CR.
template <bool Lines>
inline bool is_plain(uint32_t b) {
  return b < 0x80 && !(Lines && b == '\r');
}

// Copies whole blocks of plain bytes from s to d while they last and
// answers how many bytes that was; the caller copies the rest of the run one
// by one. A run shorter than a block (mixed text) costs one check. The
// advance depends only on branches, never on where in a block the run
// ends, so the processor can run ahead through mixed text.
template <class T, bool Lines>
inline size_t copy_plain_blocks(T* d, const uint8_t* s, size_t n) {
  size_t i = 0;
#if VEL_UTF_SSE2
  while (n - i >= 16) {
    __m128i v = load16(s + i);
    if (stop_bits<Lines>(v)) break;
    store_widened(d + i, v);
    i += 16;
  }
#else
  while (n - i >= 8) {
    uint64_t a;
    std::memcpy(&a, s + i, 8);
    if ((a & kHighBits) || (Lines && has_byte(a, '\r'))) break;
    if constexpr (sizeof(T) == 1) {
      std::memcpy(d + i, &a, 8);
    } else {
      for (size_t k = 0; k < 8; k++) d[i + k] = T(uint8_t(a >> (8 * k)));
    }
    i += 8;
  }
#endif
  return i;
}

// Where the loader input is now; a series source is re-read after every
// allocation.
struct Source {
  const uint8_t* raw;
  RootedNode node;
  uint64_t offset;
  explicit Source(const ByteSource& s) : raw(s.raw), node(s.node), offset(s.offset) {}
  const uint8_t* ptr() const { return node.get() ? node_buffer(node)->head_ptr() + offset : raw; }
};

// The target series: the given one (room made for `chars` more characters
// at `unit` or its own wider unit) or a new one of `chars` characters.
may_gc NodeId prepare_target(NodeId target, uint64_t chars, uint32_t unit) {
  if (!target) return alloc_series(std::max<uint64_t>(chars, 1), unit, 0);
  RootedNode t(target);
  check_unit(node_buffer(t)->unit());
  widen(t, unit, chars);
  reserve_chars(t, chars);
  return t;
}

inline void set_char_count(NodeId s, uint64_t n) {
  Buffer* b = node_buffer(s);
  b->tail = b->head + uint32_t(n << b->unit_shift());
}

enum class Stop { DONE, WIDEN, INCOMPLETE, INVALID };

struct DecodeResult {
  Stop stop;
  uint32_t cp;  // for WIDEN: the character that did not fit
};

// Decodes UTF-8 from s[pos] to s[end] into d[out...] until done or a code
// point above T's range. d has room for one character per input byte.
template <class T, bool Lines>
DecodeResult decode_utf8_into(const uint8_t* s, uint64_t& pos_ref, uint64_t end, T* d, uint64_t& out_ref) {
  constexpr uint32_t kMax = sizeof(T) == 1 ? 0xFF : (sizeof(T) == 2 ? 0xFFFF : 0xFFFFFFFF);
  // Locals: stores through d (bytes, for unit 1) could alias the references.
  uint64_t pos = pos_ref, out = out_ref;
  DecodeResult r = {Stop::DONE, 0};
  while (pos < end) {
    size_t run = copy_plain_blocks<T, Lines>(d + out, s + pos, size_t(end - pos));
    pos += run;
    out += run;
    while (pos < end && is_plain<Lines>(s[pos])) d[out++] = s[pos++];
    // Then the bytes that ended the run, up to the next plain byte.
    while (pos < end) {
      uint32_t b0 = s[pos];
      if (b0 < 0x80) {
        if (!(Lines && b0 == '\r')) break;
        d[out++] = '\n';
        pos++;
        if (pos < end && s[pos] == '\n') pos++;
        continue;
      }
      // Two- and three-byte forms inline; the rest, and every fault, through
      // the general decoder.
      uint32_t cp, len;
      if (encodes_surrogate(s + pos, size_t(end - pos))) {
        r.stop = Stop::INVALID;
        goto stop;
      }
      if (b0 >= 0xC2 && b0 <= 0xDF && end - pos >= 2 && (s[pos + 1] & 0xC0) == 0x80) {
        cp = ((b0 & 0x1F) << 6) | (s[pos + 1] & 0x3F);
        len = 2;
      } else if (b0 >= 0xE1 && b0 <= 0xEF && end - pos >= 3 && (s[pos + 1] & 0xC0) == 0x80 &&
                 (s[pos + 2] & 0xC0) == 0x80) {
        cp = ((b0 & 0x0F) << 12) | ((s[pos + 1] & 0x3Fu) << 6) | (s[pos + 2] & 0x3F);
        len = 3;
      } else {
        int32_t c = decode_checked(s + pos, size_t(end - pos), &len);
        if (c < 0) {
          r.stop = c == UTF8_INCOMPLETE ? Stop::INCOMPLETE : Stop::INVALID;
          goto stop;
        }
        cp = uint32_t(c);
      }
      if (cp > kMax) {
        r = {Stop::WIDEN, cp};
        goto stop;
      }
      d[out++] = T(cp);
      pos += len;
    }
  }
stop:
  pos_ref = pos;
  out_ref = out;
  return r;
}

template <class T>
DecodeResult decode_utf8_into(const uint8_t* s, uint64_t& pos, uint64_t end, T* d, uint64_t& out, bool lines) {
  return lines ? decode_utf8_into<T, true>(s, pos, end, d, out) : decode_utf8_into<T, false>(s, pos, end, d, out);
}

template <class T>
T* elements(Buffer* b) {
  return reinterpret_cast<T*>(b->head_ptr());
}

inline uint32_t read16(const uint8_t* s, uint64_t i) { return uint32_t(s[2 * i]) | (uint32_t(s[2 * i + 1]) << 8); }
inline bool is_high_surrogate(uint32_t u) { return (u & 0xFC00) == 0xD800; }
inline bool is_low_surrogate(uint32_t u) { return (u & 0xFC00) == 0xDC00; }

// Stores n UTF-16 units as characters of T from d[out]; pairs combine only
// when T is wide enough to hold them (the unit scan made sure of that).
template <class T>
void store_utf16(const uint8_t* s, uint64_t n, T* d, uint64_t& out, bool lines) {
  if constexpr (sizeof(T) == 2) {
    if (!lines) {
      std::memcpy(d + out, s, n * 2);
      out += n;
      return;
    }
  }
  for (uint64_t i = 0; i < n; i++) {
    uint32_t u = read16(s, i);
    if (lines && u == '\r') continue;
    if constexpr (sizeof(T) == 4) {
      if (is_high_surrogate(u) && i + 1 < n && is_low_surrogate(read16(s, i + 1))) {
        u = 0x10000 + (((u & 0x3FF) << 10) | (read16(s, i + 1) & 0x3FF));
        i++;
      }
    }
    d[out++] = T(u);
  }
}

template <class T>
void store_cp1251(const uint8_t* s, uint64_t n, T* d, uint64_t& out, bool lines) {
  for (uint64_t i = 0; i < n; i++) {
    uint32_t b = s[i];
    if (lines && b == '\r') {
      d[out++] = '\n';
      if (i + 1 < n && s[i + 1] == '\n') i++;
      continue;
    }
    d[out++] = T(b < 0x80 ? b : kCp1251[b - 0x80]);
  }
}

// The characters of a series from index (clamped) up to limit of them.
struct Run {
  const uint8_t* p;
  uint64_t n;
  uint32_t unit;
};

Run string_run(NodeId series, int64_t index, int64_t limit) {
  Buffer* b = node_buffer(series);
  uint32_t unit = b->unit();
  check_unit(unit);
  uint64_t len = char_count(b);
  uint64_t at = index <= 0 ? 0 : std::min<uint64_t>(uint64_t(index), len);
  uint64_t n = len - at;
  if (limit >= 0) n = std::min<uint64_t>(n, uint64_t(limit));
  return {b->head_ptr() + at * unit, n, unit};
}

template <class From, class To>
void spread_back_to_front(uint8_t* base, uint64_t n) {
  // memcpy per element: the two views overlap, so no typed pointers.
  for (uint64_t i = n; i-- > 0;) {
    From f;
    std::memcpy(&f, base + i * sizeof(From), sizeof f);
    To t = f;
    std::memcpy(base + i * sizeof(To), &t, sizeof t);
  }
}

template <class T>
inline uint32_t element(const uint8_t* p, size_t i) {
  T v;
  std::memcpy(&v, p + i * sizeof(T), sizeof v);
  return v;
}

// UTF-8 size of 16-bit and 32-bit elements, 16 bytes at a time in vector
// registers (GCC/Clang vector extensions; SSE2 on both builds). Lane
// counters are flushed before they can overflow.
using U16x8 = uint16_t __attribute__((vector_size(16)));
using U32x4 = uint32_t __attribute__((vector_size(16)));

template <class T>
uint64_t utf8_size_wide(const uint8_t* p, size_t n, bool crlf) {
  using V = std::conditional_t<sizeof(T) == 2, U16x8, U32x4>;
  constexpr size_t kLanes = 16 / sizeof(T);
  constexpr size_t kFlush = sizeof(T) == 2 ? 16384 : (size_t(1) << 28);  // blocks per flush
  uint64_t size = n;
  size_t i = 0;
  V bad = {};
  while (n - i >= kLanes) {
    V extra = {}, lf = {};
    for (size_t blocks = 0; blocks < kFlush && n - i >= kLanes; blocks++, i += kLanes) {
      V c;
      std::memcpy(&c, p + i * sizeof(T), 16);
      extra -= V(c > 0x7F) + V(c > 0x7FF);
      if constexpr (sizeof(T) == 4) {
        extra -= V(c > 0xFFFF);
        bad |= V(c > MAX_CODE_POINT);
      }
      lf -= V(c == '\n');
    }
    for (size_t k = 0; k < kLanes; k++) size += uint64_t(extra[k]) + (crlf ? uint64_t(lf[k]) : 0);
  }
  bool any_bad = false;
  for (size_t k = 0; k < kLanes; k++) any_bad |= bad[k] != 0;
  for (size_t j = any_bad ? 0 : i; j < n; j++) {
    uint32_t cp = element<T>(p, j);
    if (cp > MAX_CODE_POINT) fire_invalid_char(cp);
    if (j >= i) size += uint32_t(cp > 0x7F) + uint32_t(cp > 0x7FF) + uint32_t(cp > 0xFFFF) + (crlf && cp == '\n');
  }
  return size;
}

template <class T>
uint64_t utf8_size_t(const uint8_t* p, size_t n, bool crlf) {
  if constexpr (sizeof(T) != 1) {
    return utf8_size_wide<T>(p, n, crlf);
  } else {
    uint64_t size = n;
    size_t i = 0;
#if VEL_UTF_SSE2
    // Byte lanes count down (a compare gives -1) for at most 255 blocks, then
    // are summed.
    const __m128i z = _mm_setzero_si128(), lf = _mm_set1_epi8('\n');
    while (n - i >= 16) {
      __m128i acc = z;
      for (size_t blocks = 0; blocks < 255 && n - i >= 16; blocks++, i += 16) {
        __m128i v = load16(p + i);
        acc = _mm_add_epi8(acc, _mm_cmplt_epi8(v, z));
        if (crlf) acc = _mm_add_epi8(acc, _mm_cmpeq_epi8(v, lf));
      }
      __m128i sums = _mm_sad_epu8(_mm_sub_epi8(z, acc), z);
      size += uint64_t(_mm_cvtsi128_si32(sums)) + uint64_t(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; n - i >= 8; i += 8) {
      uint64_t v;
      std::memcpy(&v, p + i, 8);
      size += ((v & kHighBits) >> 7) * kOnes >> 56;  // bytes with the high bit set
      if (crlf && has_byte(v, '\n'))
        for (size_t k = 0; k < 8; k++) size += p[i + k] == '\n';
    }
    for (; i < n; i++) size += (p[i] >> 7) + (crlf && p[i] == '\n');
    return size;
  }
}

// Writes the 16 elements at p as 16 bytes to d when they are all below 0x80
// (and, with Crlf, none is LF), and answers whether it did.
template <class T, bool Crlf>
inline bool encode_plain_block(const uint8_t* p, uint8_t* d) {
#if VEL_UTF_SSE2
  const __m128i z = _mm_setzero_si128();
  __m128i bytes, plain;
  if constexpr (sizeof(T) == 1) {
    bytes = load16(p);
    plain = _mm_cmpgt_epi8(bytes, _mm_set1_epi8(-1));
  } else if constexpr (sizeof(T) == 2) {
    // A lane is plain when no bit above 0x7F is set.
    const __m128i high = _mm_set1_epi16(int16_t(0xFF80));
    __m128i a = load16(p), b = load16(p + 16);
    bytes = _mm_packus_epi16(a, b);
    plain = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(a, high), z), _mm_cmpeq_epi16(_mm_and_si128(b, high), z));
  } else {
    const __m128i high = _mm_set1_epi32(int32_t(0xFFFFFF80u));
    __m128i a = load16(p), b = load16(p + 16), c = load16(p + 32), e = load16(p + 48);
    // Plain lanes narrow exactly; a block with any other is not stored.
    bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, e));
    __m128i pa = _mm_cmpeq_epi32(_mm_and_si128(a, high), z), pb = _mm_cmpeq_epi32(_mm_and_si128(b, high), z);
    __m128i pc = _mm_cmpeq_epi32(_mm_and_si128(c, high), z), pe = _mm_cmpeq_epi32(_mm_and_si128(e, high), z);
    plain = _mm_packs_epi16(_mm_packs_epi32(pa, pb), _mm_packs_epi32(pc, pe));
  }
  if constexpr (Crlf) plain = _mm_andnot_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')), plain);
  if (_mm_movemask_epi8(plain) != 0xFFFF) return false;
  store16(d, bytes);
  return true;
#else
  if constexpr (sizeof(T) == 1) {
    uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    if (((a | b) & kHighBits) || (Crlf && (has_byte(a, '\n') || has_byte(b, '\n')))) return false;
    std::memcpy(d, p, 16);
    return true;
  } else {
    return false;
  }
#endif
}

// A plain block of 16 elements is stored whole; after any other block the
// next 64 elements go one by one, in a loop with one branch per element.
// Mixed text runs fastest that way: checking for blocks more often, or
// splitting runs by kind, adds branches that the processor then mispredicts.
constexpr size_t kMixedStretch = 64;

template <class T, bool Crlf>
size_t encode_t(const uint8_t* p, size_t n, uint8_t* dst) {
  uint8_t* d = dst;
  size_t i = 0;
  while (i < n) {
    size_t end = n;
    if (n - i >= 16) {
      if (encode_plain_block<T, Crlf>(p + i * sizeof(T), d)) {
        i += 16;
        d += 16;
        continue;
      }
      end = std::min(n, i + kMixedStretch);
    }
    for (; i < end; i++) {
      uint32_t cp = element<T>(p, i);
      if (cp < 0x80) {
        if (Crlf && cp == '\n') *d++ = '\r';
        *d++ = uint8_t(cp);
      } else if (cp < 0x800) {
        d[0] = uint8_t(0xC0 | (cp >> 6));
        d[1] = uint8_t(0x80 | (cp & 0x3F));
        d += 2;
      } else {
        if (sizeof(T) == 4 && cp > MAX_CODE_POINT) fire_invalid_char(cp);
        d += encode_utf8_multi(cp, d);
      }
    }
  }
  return size_t(d - dst);
}

template <class T>
size_t encode_t(const uint8_t* p, size_t n, uint8_t* dst, bool crlf) {
  return crlf ? encode_t<T, true>(p, n, dst) : encode_t<T, false>(p, n, dst);
}

}  // namespace

// ---------------------------------------------------------------------------
// Lexer decoding

size_t count_utf8_chars(const uint8_t* start, const uint8_t* end) {
  size_t n = 0;
  for (const uint8_t* p = start; p < end; n++) {
    int32_t cp;
    p = fast_decode_utf8_char(p, &cp);
  }
  return n;
}

const uint8_t* skip_utf8_chars(const uint8_t* p, const uint8_t* end, size_t n) {
  for (; n && p < end; n--) {
    int32_t cp;
    p = fast_decode_utf8_char(p, &cp);
  }
  return p;
}

int32_t decode_utf8_checked(const uint8_t* p, size_t avail, uint32_t* len) { return decode_checked(p, avail, len); }

int32_t decode_utf8_loading(const uint8_t* p, size_t avail, uint32_t* len) {
  if (encodes_surrogate(p, avail)) {
    *len = 1;
    return UTF8_INVALID;
  }
  return decode_checked(p, avail, len);
}

// ---------------------------------------------------------------------------
// UTF-8 encoding

uint32_t utf8_char_size(uint32_t cp) {
  if (cp < 0x80) return 1;
  if (cp < 0x800) return 2;
  if (cp < 0x10000) return 3;
  if (cp <= MAX_CODE_POINT) return 4;
  fire_invalid_char(cp);
}

uint64_t utf8_size_of_run(const uint8_t* p, size_t n, uint32_t unit, bool crlf) {
  switch (unit) {
    case 1: return utf8_size_t<uint8_t>(p, n, crlf);
    case 2: return utf8_size_t<uint16_t>(p, n, crlf);
    case 4: return utf8_size_t<uint32_t>(p, n, crlf);
    default: fatal_error(101, 0);
  }
}

uint32_t encode_utf8_char(uint32_t cp, uint8_t* dst) {
  if (cp < 0x80) {
    dst[0] = uint8_t(cp);
    return 1;
  }
  if (cp > MAX_CODE_POINT) fire_invalid_char(cp);
  return encode_utf8_multi(cp, dst);
}

uint32_t encode_utf8_char_bounded(uint32_t cp, uint8_t* dst, size_t room) {
  uint8_t tmp[4];
  uint32_t n = encode_utf8_char(cp, tmp);
  n = uint32_t(std::min<size_t>(n, room));
  std::memcpy(dst, tmp, n);
  return n;
}

size_t encode_utf8_run(const uint8_t* p, size_t n, uint32_t unit, uint8_t* dst, bool crlf) {
  switch (unit) {
    case 1: return encode_t<uint8_t>(p, n, dst, crlf);
    case 2: return encode_t<uint16_t>(p, n, dst, crlf);
    case 4: return encode_t<uint32_t>(p, n, dst, crlf);
    default: fatal_error(101, 0);
  }
}

std::string to_utf8(NodeId series, int64_t index, int64_t limit, bool crlf) {
  Run r = string_run(series, index, limit);
  uint64_t size = utf8_size_of_run(r.p, size_t(r.n), r.unit, crlf);
  std::string out;
  out.reserve(size_t(size));
  if (r.unit == 1 && size == r.n) {
    out.append(reinterpret_cast<const char*>(r.p), size_t(r.n));
    return out;
  }
  // Through a small buffer: std::string has no way to grow without zeroing.
  constexpr size_t kChunk = 16384;
  uint8_t buf[kChunk * 4];
  for (uint64_t i = 0; i < r.n; i += kChunk) {
    size_t k = size_t(std::min<uint64_t>(kChunk, r.n - i));
    size_t w = encode_utf8_run(r.p + i * r.unit, k, r.unit, buf, crlf);
    out.append(reinterpret_cast<const char*>(buf), w);
  }
  return out;
}

size_t to_utf8_binary(NodeId series, int64_t index, int64_t limit, uint8_t* dst, size_t room) {
  Run r = string_run(series, index, limit);
  size_t w = 0;
  for (uint64_t i = 0; i < r.n && w < room; i++)
    w += encode_utf8_char_bounded(get_char(r.p + i * r.unit, r.unit), dst + w, room - w);
  return w;
}

// ---------------------------------------------------------------------------
// UTF-16

uint32_t encode_utf16_char(uint32_t cp, char16_t* dst) {
  if (cp < 0x10000) {
    dst[0] = char16_t(cp);
    return 1;
  }
  if (cp > MAX_CODE_POINT) return 0;
  cp -= 0x10000;
  dst[0] = char16_t(0xD800 + (cp >> 10));
  dst[1] = char16_t(0xDC00 + (cp & 0x3FF));
  return 2;
}

std::u16string to_utf16(NodeId series, int64_t index, int64_t limit, bool crlf) {
  Run r = string_run(series, index, limit);
  uint64_t size = r.n;
  for (uint64_t i = 0; i < r.n; i++) {
    uint32_t cp = get_char(r.p + i * r.unit, r.unit);
    if (cp == '\n') size += crlf;
    else if (cp > 0xFFFF) {
      if (cp > MAX_CODE_POINT) fire_invalid_char(cp);
      size++;
    }
  }
  std::u16string out(size_t(size), u'\0');
  char16_t* d = out.data();
  if (r.unit == 2 && !crlf) {
    std::memcpy(d, r.p, size_t(r.n) * 2);
    return out;
  }
  for (uint64_t i = 0; i < r.n; i++) {
    uint32_t cp = get_char(r.p + i * r.unit, r.unit);
    if (crlf && cp == '\n') *d++ = u'\r';
    d += encode_utf16_char(cp, d);
  }
  return out;
}

void ascii_to_utf16(const char* text, char16_t* dst) {
  while (*text) *dst++ = char16_t(uint8_t(*text++));
  dst[0] = 0;
  dst[1] = 0;
}

// ---------------------------------------------------------------------------
// Loading

may_gc NodeId load_utf8(ByteSource in, uint64_t count, NodeId target, uint64_t* remaining, bool lines) {
  Source src(in);
  if (remaining) *remaining = 0;
  uint64_t pos = 0;
  const uint8_t* s = src.ptr();
  if (count >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) pos = 3;
  // Each input byte gives at most one character: room for count - pos of
  // them (at whatever unit) means no check per character.
  RootedNode t(target);
  uint64_t start_len = target ? char_count(node_buffer(target)) : 0;
  t = prepare_target(t, count - pos, 1);
  for (;;) {
    Buffer* b = node_buffer(t);
    s = src.ptr();
    uint64_t out = char_count(b);
    DecodeResult r;
    switch (b->unit()) {
      case 1: r = decode_utf8_into(s, pos, count, elements<uint8_t>(b), out, lines); break;
      case 2: r = decode_utf8_into(s, pos, count, elements<uint16_t>(b), out, lines); break;
      case 4: r = decode_utf8_into(s, pos, count, elements<uint32_t>(b), out, lines); break;
      default: fatal_error(101, 0);
    }
    set_char_count(t, out);
    switch (r.stop) {
      case Stop::DONE: return t;
      case Stop::WIDEN: widen(t, unit_for_cp(r.cp), count - pos); continue;
      case Stop::INCOMPLETE:
        if (remaining) {
          *remaining = count - pos;
          return t;
        }
        break;
      case Stop::INVALID: break;
    }
    set_char_count(t, start_len);
    fire_invalid_utf8(s + pos, size_t(count - pos));
  }
}

may_gc NodeId load_utf8_buffer(const uint8_t* src, uint64_t count) {
  return load_utf8(ByteSource::memory(src), count, 0, nullptr, false);
}

may_gc NodeId load_utf16(ByteSource in, int64_t units, NodeId target, bool lines) {
  Source src(in);
  const uint8_t* s = src.ptr();
  uint64_t n = 0;
  if (units < 0) {
    while (read16(s, n)) n++;
  } else {
    n = uint64_t(units);
  }
  uint32_t unit = 1;
  for (uint64_t i = 0; i < n; i++) {
    uint32_t u = read16(s, i);
    if (u > 0xFF) unit = 2;
    if (is_high_surrogate(u) && i + 1 < n && is_low_surrogate(read16(s, i + 1))) {
      unit = 4;
      break;
    }
  }
  RootedNode t(prepare_target(target, n, unit));
  Buffer* b = node_buffer(t);
  s = src.ptr();
  uint64_t out = char_count(b);
  switch (b->unit()) {
    case 1: store_utf16(s, n, elements<uint8_t>(b), out, lines); break;
    case 2: store_utf16(s, n, elements<uint16_t>(b), out, lines); break;
    default: store_utf16(s, n, elements<uint32_t>(b), out, lines); break;
  }
  set_char_count(t, out);
  return t;
}

may_gc NodeId load_cp1251(ByteSource in, uint64_t count, NodeId target, bool lines) {
  Source src(in);
  const uint8_t* s = src.ptr();
  uint32_t unit = 1;
  for (uint64_t i = 0; i < count && unit == 1; i++)
    if (s[i] >= 0x80) unit = unit_for_cp(kCp1251[s[i] - 0x80]);
  RootedNode t(prepare_target(target, count, unit));
  Buffer* b = node_buffer(t);
  s = src.ptr();
  uint64_t out = char_count(b);
  switch (b->unit()) {
    case 1: store_cp1251(s, count, elements<uint8_t>(b), out, lines); break;
    case 2: store_cp1251(s, count, elements<uint16_t>(b), out, lines); break;
    default: store_cp1251(s, count, elements<uint32_t>(b), out, lines); break;
  }
  set_char_count(t, out);
  return t;
}

// ---------------------------------------------------------------------------
// Widening and room

may_gc Buffer* reserve_chars(NodeId series, uint64_t extra) {
  Buffer* b = node_buffer(series);
  uint32_t unit = b->unit();
  check_unit(unit);
  uint64_t need = char_bytes(char_count(b) + std::min<uint64_t>(extra, MAX_CAPACITY), unit);
  if (uint64_t(b->head) + need <= b->capacity) return b;
  return expand_series(series, need);
}

may_gc Buffer* widen(NodeId series, uint32_t unit, uint64_t extra) {
  RootedNode s(series);
  Buffer* b = node_buffer(s);
  uint32_t old = b->unit();
  check_unit(old);
  check_unit(unit);
  if (unit <= old) return b;
  uint64_t n = char_count(b);
  uint64_t need = char_bytes(n + std::min<uint64_t>(extra, MAX_CAPACITY), unit);
  if (uint64_t(b->head) + need > b->capacity) b = expand_series(s, need);
  uint8_t* base = b->head_ptr();
  if (old == 1 && unit == 2) spread_back_to_front<uint8_t, uint16_t>(base, n);
  else if (old == 1) spread_back_to_front<uint8_t, uint32_t>(base, n);
  else spread_back_to_front<uint16_t, uint32_t>(base, n);
  b->flags = (b->flags & ~BUF_UNIT_MASK) | unit;
  b->tail = b->head + uint32_t(n * unit);
  return b;
}

}  // namespace vel
