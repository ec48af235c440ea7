// Inflate (RFC 1951) and the zlib and gzip decoders around it.
//
// Codes are decoded through tables indexed by the next input bits: a
// primary table of 2^11 (literal/length) or 2^8 (distance) entries, and for
// longer codes a subtable per primary prefix. A table is built only from a
// complete code (or a lone one-bit code), so every lookup of a valid stream
// lands on a symbol; entries no code reaches say so.
//
// Bits come from a 64-bit buffer. While 8 or more input bytes remain it is
// refilled with one unaligned load (the bits above the count then already
// hold the next input bits, so a later refill ORs the same bits again);
// near the end it is refilled byte by byte, with zero bytes once the input
// runs out. Those zeros are counted, and a symbol that consumed any of
// them is a truncated stream.
#include <cstring>
#include <initializer_list>

#include "checksum.h"
#include "io/deflate.h"
#include "io/deflate_internal.h"

namespace vel::compress {

namespace {

// Table entry: value << 16 | kind << 8 | extra bits << 4 | code bits.
// A subtable pointer holds the subtable's start, its index bits and the
// primary bits; a subtable entry's code bits are those past the primary.
enum : uint32_t { K_LITERAL = 0, K_BASE = 1, K_END = 2, K_SUB = 3, K_INVALID = 4 };
constexpr uint32_t INVALID_ENTRY = K_INVALID << 8;

inline uint32_t kind_of(uint32_t e) { return (e >> 8) & 0xFF; }

constexpr unsigned LITLEN_PRIMARY = 11;
constexpr unsigned DIST_PRIMARY = 8;
constexpr unsigned CODELEN_PRIMARY = 7;
// A subtable serves one primary prefix of at least one longer code and
// holds at most 2^(15 - primary) entries.
constexpr size_t LITLEN_TABLE = (size_t(1) << LITLEN_PRIMARY) + LITLEN_SYMBOLS * (1 << (MAX_CODE_BITS - LITLEN_PRIMARY));
constexpr size_t DIST_TABLE = (size_t(1) << DIST_PRIMARY) + DIST_SYMBOLS * (1 << (MAX_CODE_BITS - DIST_PRIMARY));
constexpr size_t CODELEN_TABLE = size_t(1) << CODELEN_PRIMARY;

// What each symbol decodes to, before its code bits are added.
struct SymbolEntries {
  uint32_t litlen[LITLEN_SYMBOLS];
  uint32_t dist[DIST_SYMBOLS];
  uint32_t codelen[CODELEN_SYMBOLS];
  SymbolEntries() {
    for (unsigned s = 0; s < LITLEN_SYMBOLS; s++) {
      if (s < 256) litlen[s] = s << 16 | K_LITERAL << 8;
      else if (s == END_OF_BLOCK) litlen[s] = K_END << 8;
      else if (s < 286) litlen[s] = uint32_t(kLengthBase[s - 257]) << 16 | K_BASE << 8 | kLengthExtra[s - 257] << 4;
      else litlen[s] = INVALID_ENTRY;
    }
    for (unsigned s = 0; s < DIST_SYMBOLS; s++)
      dist[s] = s < 30 ? uint32_t(kDistBase[s]) << 16 | K_BASE << 8 | kDistExtra[s] << 4 : INVALID_ENTRY;
    for (unsigned s = 0; s < CODELEN_SYMBOLS; s++) codelen[s] = s << 16 | K_LITERAL << 8;
  }
};
const SymbolEntries kEntries;

// Fills a decode table for the code lengths lens[0..n). False for an
// over-subscribed code, or an incomplete one other than a single one-bit
// code (which a stream with one distance may use). No code at all gives a
// table of invalid entries.
bool build_table(uint32_t* table, unsigned primary, const uint8_t* lens, unsigned n, const uint32_t* entries) {
  unsigned count[MAX_CODE_BITS + 1] = {};
  for (unsigned s = 0; s < n; s++) count[lens[s]]++;
  count[0] = 0;
  int left = 1;
  unsigned used = 0, max_len = 0;
  for (unsigned len = 1; len <= MAX_CODE_BITS; len++) {
    left = 2 * left - int(count[len]);
    if (left < 0) return false;
    used += count[len];
    if (count[len]) max_len = len;
  }
  if (left > 0 && used != 0 && !(used == 1 && max_len == 1)) return false;

  const size_t primary_size = size_t(1) << primary;
  for (size_t i = 0; i < primary_size; i++) table[i] = INVALID_ENTRY;
  if (used == 0) return true;

  // Canonical codes, bit-reversed for the least-significant-first stream.
  uint32_t next[MAX_CODE_BITS + 2] = {};
  for (unsigned len = 1, code = 0; len <= MAX_CODE_BITS; len++) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  uint16_t rev[LITLEN_SYMBOLS];
  for (unsigned s = 0; s < n; s++)
    if (lens[s]) rev[s] = uint16_t(reverse_bits(next[lens[s]]++, lens[s]));

  // Subtables: sized by the longest code under each prefix.
  uint8_t longest[size_t(1) << LITLEN_PRIMARY];
  uint16_t start[size_t(1) << LITLEN_PRIMARY];
  const uint32_t pmask = uint32_t(primary_size - 1);
  if (max_len > primary) {
    std::memset(longest, 0, primary_size);
    for (unsigned s = 0; s < n; s++)
      if (lens[s] > primary && lens[s] > longest[rev[s] & pmask]) longest[rev[s] & pmask] = lens[s];
    size_t at = primary_size;
    for (size_t p = 0; p < primary_size; p++) {
      if (!longest[p]) continue;
      unsigned bits = longest[p] - primary;
      start[p] = uint16_t(at);
      table[p] = uint32_t(at) << 16 | K_SUB << 8 | bits << 4 | primary;
      for (size_t i = 0; i < (size_t(1) << bits); i++) table[at + i] = INVALID_ENTRY;
      at += size_t(1) << bits;
    }
  }

  for (unsigned s = 0; s < n; s++) {
    unsigned len = lens[s];
    if (!len) continue;
    if (len <= primary) {
      uint32_t e = entries[s] | len;
      for (size_t i = rev[s]; i < primary_size; i += size_t(1) << len) table[i] = e;
    } else {
      uint32_t p = rev[s] & pmask;
      unsigned bits = longest[p] - primary, sub_len = len - primary;
      uint32_t e = entries[s] | sub_len;
      for (size_t i = rev[s] >> primary; i < (size_t(1) << bits); i += size_t(1) << sub_len) table[start[p] + i] = e;
    }
  }
  return true;
}

struct FixedTables {
  uint32_t litlen[LITLEN_TABLE];
  uint32_t dist[DIST_TABLE];
  FixedTables() {
    uint8_t lens[LITLEN_SYMBOLS];
    for (unsigned s = 0; s < LITLEN_SYMBOLS; s++) lens[s] = fixed_litlen_bits(s);
    build_table(litlen, LITLEN_PRIMARY, lens, LITLEN_SYMBOLS, kEntries.litlen);
    std::memset(lens, FIXED_DIST_BITS, DIST_SYMBOLS);
    build_table(dist, DIST_PRIMARY, lens, DIST_SYMBOLS, kEntries.dist);
  }
};

const FixedTables& fixed_tables() {
  static const FixedTables t;
  return t;
}

inline uint64_t low_bits(uint64_t v, unsigned n) { return v & ((uint64_t(1) << n) - 1); }

// Room the fast loop keeps at the output's end: a longest copy plus the
// 8-byte steps that may overshoot it.
constexpr size_t FAST_OUT_MARGIN = MAX_MATCH + 8;
// Input the fast loop needs for one unaligned refill.
constexpr size_t FAST_IN_MARGIN = 8;

struct Inflater {
  const uint8_t* in;
  const uint8_t* in_end;
  uint8_t* out;
  size_t cap;
  size_t pos = 0;        // bytes produced, stored or only counted
  uint64_t buf = 0;
  unsigned count = 0;    // bits in buf
  unsigned zeros = 0;    // zero bytes appended past the input's end
  bool final_block = false;
  uint32_t litlen[LITLEN_TABLE];
  uint32_t dist[DIST_TABLE];

  // Leaves 56 to 63 bits in buf: enough for any one symbol with its
  // distance, and below 64 so that the fast refill may follow.
  void refill_slow() {
    while (count < 56) {
      if (in < in_end) buf |= uint64_t(*in++) << count;
      else zeros++;
      count += 8;
    }
  }
  bool overran() const { return size_t(zeros) * 8 > count; }
  uint32_t take(unsigned n) {
    uint32_t v = uint32_t(low_bits(buf, n));
    buf >>= n;
    count -= n;
    return v;
  }
  // Looks up the next code of a table and its length in *n; consumes
  // nothing. For a hole of an incomplete code *n is the bits looked at.
  static uint32_t lookup(const uint32_t* table, unsigned primary, uint64_t bits, unsigned* n) {
    uint32_t e = table[bits & ((uint32_t(1) << primary) - 1)];
    if (kind_of(e) == K_SUB) {
      unsigned sub_bits = (e >> 4) & 15;
      e = table[(e >> 16) + low_bits(bits >> primary, sub_bits)];
      *n = primary + ((e & 15) ? (e & 15) : sub_bits);
    } else {
      *n = (e & 15) ? (e & 15) : primary;
    }
    return e;
  }
  // The same without the hole accounting, for the fast loop (whose input
  // is all real, so a hole is always bad data).
  static uint32_t lookup_fast(const uint32_t* table, unsigned primary, uint64_t bits, unsigned* n) {
    uint32_t e = table[bits & ((uint32_t(1) << primary) - 1)];
    *n = e & 15;
    if (kind_of(e) == K_SUB) {
      e = table[(e >> 16) + low_bits(bits >> primary, (e >> 4) & 15)];
      *n += e & 15;
    }
    return e;
  }
  // A code no symbol has: bad data, unless the bits looked at ran past
  // the input's end.
  Result invalid_code(unsigned n) const {
    return count - 8 * zeros >= n ? Result::BAD_CODE : Result::TRUNCATED;
  }

  Result block();
  Result stored_block();
  Result dynamic_tables();
  Result codes(const uint32_t* lit, const uint32_t* dst);
  template <bool kStore>
  Result fast_codes(const uint32_t* lit, const uint32_t* dst, bool* ended);
};

Result Inflater::block() {
  refill_slow();
  final_block = take(1);
  uint32_t type = take(2);
  if (overran()) return Result::TRUNCATED;
  switch (type) {
    case 0: return stored_block();
    case 1: return codes(fixed_tables().litlen, fixed_tables().dist);
    case 2: {
      Result r = dynamic_tables();
      return r != Result::OK ? r : codes(litlen, dist);
    }
    default: return Result::BAD_BLOCK_TYPE;
  }
}

Result Inflater::stored_block() {
  // Back to the byte boundary, and the whole bytes still buffered go back
  // to the input.
  take(count & 7);
  size_t buffered = count / 8 - zeros;
  in -= buffered;
  buf = 0;
  count = 0;
  zeros = 0;
  if (in_end - in < 4) return Result::TRUNCATED;
  uint32_t len = load_le16(in);
  uint32_t nlen = load_le16(in + 2);
  in += 4;
  if ((len ^ 0xFFFF) != nlen) return Result::BAD_STORED;
  if (size_t(in_end - in) < len) return Result::BAD_STORED;
  if (pos < cap) std::memcpy(out + pos, in, len < cap - pos ? len : cap - pos);
  pos += len;
  in += len;
  return Result::OK;
}

Result Inflater::dynamic_tables() {
  refill_slow();
  unsigned nlit = take(5) + 257, ndist = take(5) + 1, nclen = take(4) + 4;
  if (nlit > 286 || ndist > 30) return Result::BAD_CODE;
  uint8_t lens[LITLEN_SYMBOLS + DIST_SYMBOLS] = {};
  for (unsigned i = 0; i < nclen; i++) {
    refill_slow();
    lens[kCodeLengthOrder[i]] = uint8_t(take(3));
  }
  if (overran()) return Result::TRUNCATED;
  uint32_t cl_table[CODELEN_TABLE];
  if (!build_table(cl_table, CODELEN_PRIMARY, lens, CODELEN_SYMBOLS, kEntries.codelen)) return Result::BAD_CODE;

  std::memset(lens, 0, sizeof lens);
  const unsigned total = nlit + ndist;
  for (unsigned i = 0; i < total;) {
    refill_slow();
    unsigned n;
    uint32_t e = lookup(cl_table, CODELEN_PRIMARY, buf, &n);
    if (kind_of(e) == K_INVALID) return invalid_code(n);
    take(n);
    unsigned sym = e >> 16;
    if (sym < 16) {
      lens[i++] = uint8_t(sym);
      continue;
    }
    uint8_t value = 0;
    unsigned repeat;
    if (sym == 16) {
      if (i == 0) return Result::BAD_CODE;
      value = lens[i - 1];
      repeat = 3 + take(2);
    } else if (sym == 17) {
      repeat = 3 + take(3);
    } else {
      repeat = 11 + take(7);
    }
    if (overran()) return Result::TRUNCATED;
    if (repeat > total - i) return Result::BAD_CODE;
    std::memset(lens + i, value, repeat);
    i += repeat;
  }
  if (overran()) return Result::TRUNCATED;
  if (lens[END_OF_BLOCK] == 0) return Result::BAD_CODE;
  if (!build_table(litlen, LITLEN_PRIMARY, lens, nlit, kEntries.litlen)) return Result::BAD_CODE;
  if (!build_table(dist, DIST_PRIMARY, lens + nlit, ndist, kEntries.dist)) return Result::BAD_CODE;
  return Result::OK;
}

// Decodes symbols while the input holds a refill's worth and, when
// storing, the output has room for a longest copy. Answers at the block's
// end (*ended), on a fault, or when the margins run out.
template <bool kStore>
Result Inflater::fast_codes(const uint32_t* lit, const uint32_t* dst, bool* ended) {
  const size_t out_limit = kStore ? cap - FAST_OUT_MARGIN : 0;
  uint8_t* op = kStore ? out + pos : nullptr;
  size_t n_out = pos;
  uint64_t b = buf;
  unsigned c = count;
  const uint8_t* ip = in;
  Result r = Result::OK;
  while (size_t(in_end - ip) >= FAST_IN_MARGIN && (!kStore || size_t(op - out) <= out_limit)) {
    b |= load_le64(ip) << c;
    ip += (63 - c) >> 3;
    c |= 56;
    unsigned n;
    uint32_t e = lookup_fast(lit, LITLEN_PRIMARY, b, &n);
    b >>= n;
    c -= n;
    uint32_t k = kind_of(e);
    if (k == K_LITERAL) {
      if (kStore) *op++ = uint8_t(e >> 16);
      else n_out++;
      continue;
    }
    if (k != K_BASE) {
      if (k == K_END) *ended = true;
      else r = Result::BAD_CODE;
      break;
    }
    unsigned x = (e >> 4) & 15;
    size_t len = (e >> 16) + low_bits(b, x);
    b >>= x;
    c -= x;
    e = lookup_fast(dst, DIST_PRIMARY, b, &n);
    b >>= n;
    c -= n;
    if (kind_of(e) != K_BASE) {
      r = Result::BAD_CODE;
      break;
    }
    x = (e >> 4) & 15;
    size_t d = (e >> 16) + low_bits(b, x);
    b >>= x;
    c -= x;
    if (!kStore) {
      if (d > n_out) {
        r = Result::BAD_DISTANCE;
        break;
      }
      n_out += len;
      continue;
    }
    if (d > size_t(op - out)) {
      r = Result::BAD_DISTANCE;
      break;
    }
    const uint8_t* src = op - d;
    uint8_t* const copy_end = op + len;
    if (d >= 8) {
      // Whole 8-byte steps: each reads bytes already written.
      do {
        std::memcpy(op, src, 8);
        op += 8;
        src += 8;
      } while (op < copy_end);
    } else if (d == 1) {
      std::memset(op, *src, len);
    } else {
      do *op++ = *src++;
      while (op < copy_end);
    }
    op = copy_end;
  }
  buf = b;
  count = c;
  in = ip;
  pos = kStore ? size_t(op - out) : n_out;
  return r;
}

Result Inflater::codes(const uint32_t* lit, const uint32_t* dst) {
  for (;;) {
    bool ended = false;
    Result r = Result::OK;
    if (pos >= cap) r = fast_codes<false>(lit, dst, &ended);
    else if (cap - pos >= FAST_OUT_MARGIN) r = fast_codes<true>(lit, dst, &ended);
    if (r != Result::OK) return r;
    if (ended) return Result::OK;

    // One symbol near the ends of the input or the output.
    refill_slow();
    unsigned n;
    uint32_t e = lookup(lit, LITLEN_PRIMARY, buf, &n);
    uint32_t k = kind_of(e);
    if (k == K_INVALID) return invalid_code(n);
    take(n);
    if (k == K_LITERAL) {
      if (overran()) return Result::TRUNCATED;
      if (pos < cap) out[pos] = uint8_t(e >> 16);
      pos++;
      continue;
    }
    if (k == K_END) return overran() ? Result::TRUNCATED : Result::OK;
    size_t len = (e >> 16) + take((e >> 4) & 15);
    e = lookup(dst, DIST_PRIMARY, buf, &n);
    if (kind_of(e) != K_BASE) return overran() ? Result::TRUNCATED : invalid_code(n);
    take(n);
    size_t d = (e >> 16) + take((e >> 4) & 15);
    if (overran()) return Result::TRUNCATED;
    if (d > pos) return Result::BAD_DISTANCE;
    size_t i = 0;
    for (; i < len && pos < cap; i++, pos++) out[pos] = out[pos - d];
    pos += len - i;  // what does not fit is counted
  }
}

}  // namespace

Result inflate(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len) {
  Inflater s;
  s.in = in;
  s.in_end = in + in_len;
  s.out = out;
  s.cap = out ? *out_len : 0;
  do {
    Result r = s.block();
    if (r != Result::OK) {
      *out_len = 0;
      return r;
    }
  } while (!s.final_block);
  *out_len = s.pos;
  return s.pos > s.cap ? Result::TOO_SMALL : Result::OK;
}

Result zlib_uncompress(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len) {
  if (in_len < 6) return *out_len = 0, Result::BAD_FRAME;
  uint32_t cmf = in[0], flg = in[1];
  // Deflate (method 8), a window of at most 32 KB, no preset dictionary.
  if ((cmf * 256 + flg) % 31 != 0 || (cmf & 15) != 8 || cmf >> 4 > 7 || flg & 0x20)
    return *out_len = 0, Result::BAD_FRAME;
  Result r = inflate(out, out_len, in + 2, in_len - 6);
  if (r != Result::OK) return r;
  if (checksum::adler32(out, *out_len) != load_be32(in + in_len - 4)) return *out_len = 0, Result::BAD_FRAME;
  return Result::OK;
}

Result gzip_uncompress(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len) {
  const size_t cap = out ? *out_len : 0;
  *out_len = 0;
  if (in_len <= 17 || in[0] != 0x1F || in[1] != 0x8B || in[2] != 8 || in[3] >= 32) return Result::BAD_FRAME;
  const uint8_t flags = in[3];
  size_t p = 10;
  if (flags & 4) {  // FEXTRA: a length and that many bytes
    size_t xlen = size_t(in[10]) | size_t(in[11]) << 8;
    if (xlen > in_len - 12) return Result::BAD_FRAME;
    p = 12 + xlen;
  }
  for (uint8_t text_flag : {uint8_t(8), uint8_t(16)}) {  // FNAME, FCOMMENT: zero-terminated
    if (!(flags & text_flag)) continue;
    const void* zero = p < in_len ? std::memchr(in + p, 0, in_len - p) : nullptr;
    if (!zero) return Result::BAD_FRAME;
    p = size_t(static_cast<const uint8_t*>(zero) - in) + 1;
  }
  if (flags & 2) {  // FHCRC: the low half of the header's CRC-32
    if (in_len - p < 2) return Result::BAD_FRAME;
    if ((checksum::crc32(in, p) & 0xFFFF) != (uint32_t(in[p]) | uint32_t(in[p + 1]) << 8)) return Result::BAD_FRAME;
    p += 2;
  }
  if (in_len - p < 8) return Result::BAD_FRAME;
  const size_t body = in_len - 8 - p;
  const uint32_t isize = load_le32(in + in_len - 4);
  if (isize > cap) {
    // A size the data cannot produce is a lie, not a request for memory.
    if (isize > MAX_EXPANSION * body) return Result::BAD_FRAME;
    *out_len = isize;
    return Result::TOO_SMALL;
  }
  // A member with no deflate data at all stands for empty data.
  size_t len = cap;
  Result r = body ? inflate(out, &len, in + p, body) : (len = 0, Result::OK);
  if (r == Result::TOO_SMALL) return Result::BAD_FRAME;  // more than the trailer says
  if (r != Result::OK) return r;
  if (len != isize || checksum::crc32(out, len) != load_le32(in + in_len - 8)) return Result::BAD_FRAME;
  *out_len = len;
  return Result::OK;
}

}  // namespace vel::compress
