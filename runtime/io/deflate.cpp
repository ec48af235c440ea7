// The deflate compressor (RFC 1951) and the zlib and gzip encoders
// around it.
//
// One pass over the whole input, which stays in memory and is the window:
// positions are chained by a hash of their next 3 bytes, and matches are
// chosen lazily (a match is taken only when the match at the next position
// is not longer). Symbols gather in a buffer; each full buffer becomes one
// block, written as whichever of dynamic Huffman, fixed Huffman or stored
// takes the fewest bits.
#include <cstring>

#include "checksum.h"
#include "io/deflate.h"
#include "io/deflate_internal.h"
#include "memory.h"

namespace vel::compress {

namespace {

constexpr unsigned HASH_BITS_MAX = 15;
constexpr unsigned WINDOW = 32768;
constexpr uint32_t WINDOW_MASK = WINDOW - 1;
constexpr size_t MAX_DIST = WINDOW - 1;
constexpr unsigned SYM_BUFFER = 16384;
// Search effort: no search after a match this long (lazy evaluation),
// a quarter of the chain after one this long, a whole chain of this many
// steps, and a match this long ends the search.
constexpr unsigned MAX_LAZY = 16;
constexpr unsigned GOOD_MATCH = 8;
constexpr unsigned MAX_CHAIN = 128;
constexpr unsigned NICE_MATCH = 128;
// A 3-byte match farther back than this costs more than its literals.
constexpr size_t TOO_FAR = 4096;

constexpr unsigned LITLEN_USED = 286;
constexpr unsigned DIST_USED = 30;
constexpr unsigned CODELEN_MAX_BITS = 7;

// The length symbol (0-based from 257) of every match length, and the
// distance symbol of every distance: distances up to 256 directly, longer
// ones by (d - 1) >> 7 (their symbols all have 7 or more extra bits).
struct SymbolMaps {
  uint8_t length[MAX_MATCH + 1];
  uint8_t dist_low[256];
  uint8_t dist_high[256];
  SymbolMaps() {
    for (unsigned s = 0; s < 29; s++)
      for (unsigned len = kLengthBase[s]; len < kLengthBase[s] + (1u << kLengthExtra[s]) && len <= MAX_MATCH; len++)
        length[len] = uint8_t(s);
    length[MAX_MATCH] = 28;  // 258 has its own symbol, never 284 with 31
    for (unsigned s = 0; s < DIST_USED; s++)
      for (uint32_t d = kDistBase[s]; d < kDistBase[s] + (1u << kDistExtra[s]); d++) {
        if (d <= 256) dist_low[d - 1] = uint8_t(s);
        else dist_high[(d - 1) >> 7] = uint8_t(s);
      }
  }
};
const SymbolMaps kMaps;

inline unsigned dist_symbol(uint32_t d) { return d <= 256 ? kMaps.dist_low[d - 1] : kMaps.dist_high[(d - 1) >> 7]; }

inline uint16_t load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// Bits least significant first; whole bytes go out as they complete, and
// bytes past the capacity are counted, not stored.
struct BitWriter {
  uint8_t* out;
  size_t cap;
  size_t pos = 0;
  uint64_t buf = 0;
  unsigned count = 0;

  void put(uint32_t bits, unsigned n) {  // n <= 32
    buf |= uint64_t(bits) << count;
    count += n;
    if (count >= 32) {
      if (pos + 4 <= cap) {
        store_le32(out + pos, uint32_t(buf));
        pos += 4;
      } else {
        for (int i = 0; i < 4; i++) put_byte(uint8_t(buf >> (8 * i)));
      }
      buf >>= 32;
      count -= 32;
    }
  }
  void put_byte(uint8_t b) {
    if (pos < cap) out[pos] = b;
    pos++;
  }
  // Pads with zero bits to the next byte boundary and writes out the bits.
  void align() {
    while (count > 0) {
      put_byte(uint8_t(buf));
      buf >>= 8;
      count = count > 8 ? count - 8 : 0;
    }
    buf = 0;
  }
  void put_bytes(const uint8_t* p, size_t n) {
    if (pos < cap) std::memcpy(out + pos, p, n < cap - pos ? n : cap - pos);
    pos += n;
  }
};

// Minimum-redundancy code lengths in place (Moffat and Katajainen): a[] holds
// n >= 2 weights in ascending order and receives the code lengths, longest
// first.
void minimum_redundancy(uint32_t* a, int n) {
  a[0] += a[1];
  int root = 0, leaf = 2;
  for (int next = 1; next < n - 1; next++) {
    // Each new internal node takes the two lightest of the remaining leaves
    // and internal nodes; internal nodes are replaced by their parent's index.
    if (leaf >= n || a[root] < a[leaf]) {
      a[next] = a[root];
      a[root++] = uint32_t(next);
    } else {
      a[next] = a[leaf++];
    }
    if (leaf >= n || (root < next && a[root] < a[leaf])) {
      a[next] += a[root];
      a[root++] = uint32_t(next);
    } else {
      a[next] += a[leaf++];
    }
  }
  // Depths of the internal nodes, root first.
  a[n - 2] = 0;
  for (int next = n - 3; next >= 0; next--) a[next] = a[a[next]] + 1;
  // Depths of the leaves: at each depth the nodes not used as internal
  // ones are leaves.
  int avail = 1, used = 0, depth = 0, next = n - 1;
  root = n - 2;
  while (avail > 0) {
    while (root >= 0 && int(a[root]) == depth) {
      used++;
      root--;
    }
    while (avail > used) {
      a[next--] = uint32_t(depth);
      avail--;
    }
    avail = 2 * used;
    depth++;
    used = 0;
  }
}

// Code lengths of at most max_bits for the n symbol frequencies. Fewer than
// two used symbols still get two one-bit codes, so that every code is
// complete.
void code_lengths(const uint32_t* freq, unsigned n, unsigned max_bits, uint8_t* lens) {
  std::memset(lens, 0, n);
  uint16_t syms[LITLEN_SYMBOLS];
  unsigned used = 0;
  for (unsigned s = 0; s < n; s++) {
    if (!freq[s]) continue;
    // Insertion by frequency; equal frequencies keep symbol order.
    unsigned j = used++;
    while (j > 0 && freq[syms[j - 1]] > freq[s]) {
      syms[j] = syms[j - 1];
      j--;
    }
    syms[j] = uint16_t(s);
  }
  if (used < 2) {
    unsigned other = used == 1 && syms[0] == 0 ? 1 : 0;
    lens[other] = 1;
    lens[used == 1 ? syms[0] : 1] = 1;
    return;
  }
  uint32_t a[LITLEN_SYMBOLS];
  for (unsigned i = 0; i < used; i++) a[i] = freq[syms[i]];
  minimum_redundancy(a, int(used));
  if (a[0] <= max_bits) {
    for (unsigned i = 0; i < used; i++) lens[syms[i]] = uint8_t(a[i]);
    return;
  }
  // Too long: clamp, then restore the Kraft sum one unit at a time by
  // splitting the deepest shorter leaf to make room for one clamped code.
  unsigned count[MAX_CODE_BITS + 1] = {};
  for (unsigned i = 0; i < used; i++) count[a[i] > max_bits ? max_bits : a[i]]++;
  uint64_t kraft = 0;
  for (unsigned len = 1; len <= max_bits; len++) kraft += uint64_t(count[len]) << (max_bits - len);
  while (kraft > (uint64_t(1) << max_bits)) {
    unsigned bits = max_bits - 1;
    while (count[bits] == 0) bits--;
    count[bits]--;
    count[bits + 1] += 2;
    count[max_bits]--;
    kraft--;
  }
  // The least frequent symbols take the longest codes.
  unsigned i = 0;
  for (unsigned len = max_bits; len >= 1; len--)
    for (unsigned k = 0; k < count[len]; k++) lens[syms[i++]] = uint8_t(len);
}

// Canonical codes (RFC 1951), bit-reversed for the stream.
void canonical_codes(const uint8_t* lens, unsigned n, uint16_t* codes) {
  unsigned count[MAX_CODE_BITS + 1] = {};
  for (unsigned s = 0; s < n; s++) count[lens[s]]++;
  count[0] = 0;
  uint32_t next[MAX_CODE_BITS + 1] = {};
  for (unsigned len = 1, code = 0; len <= MAX_CODE_BITS; len++) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  for (unsigned s = 0; s < n; s++)
    codes[s] = lens[s] ? uint16_t(reverse_bits(next[lens[s]]++, lens[s])) : 0;
}

struct Scratch {
  uint32_t head[size_t(1) << HASH_BITS_MAX];  // 1-based position of the newest string per hash, 0 none
  uint16_t prev[WINDOW];                      // distance back to the previous one, 0 none or too far
  uint32_t syms[SYM_BUFFER];                  // literal byte, or distance << 8 | (length - 3)
};

// The scratch block, from the memory manager's virtual blocks and released
// on every way out.
struct ScratchBlock {
  Scratch* s = static_cast<Scratch*>(allocate_virtual(sizeof(Scratch)));
  ScratchBlock() = default;
  ScratchBlock(const ScratchBlock&) = delete;
  ScratchBlock& operator=(const ScratchBlock&) = delete;
  ~ScratchBlock() {
    try {
      free_virtual(s);
    } catch (...) {
      // A block the platform will not take back stays held; nothing to do.
    }
  }
};

struct Deflater {
  const uint8_t* in;
  size_t n;
  Scratch& sc;
  BitWriter w;
  uint32_t hash = 0;
  uint32_t hash_mask = 0;
  size_t block_start = 0, block_end = 0;  // the input bytes of the buffered symbols
  unsigned nsyms = 0;
  uint32_t freq[LITLEN_SYMBOLS] = {};
  uint32_t dfreq[DIST_SYMBOLS] = {};

  Deflater(const uint8_t* in_, size_t n_, Scratch& sc_, uint8_t* out, size_t cap) : in(in_), n(n_), sc(sc_), w{out, cap} {
    unsigned bits = 8;
    while (bits < HASH_BITS_MAX && (size_t(1) << bits) < n) bits++;
    hash_mask = (uint32_t(1) << bits) - 1;
    std::memset(sc.head, 0, sizeof(uint32_t) << bits);
    if (n >= 2) hash = (uint32_t(in[0]) << 5 ^ in[1]) & hash_mask;
  }

  // Chains position i (which has 3 bytes ahead) and answers the previous
  // newest position with its hash, 1-based. Positions come in order.
  uint32_t insert(size_t i) {
    hash = ((hash << 5) ^ in[i + 2]) & hash_mask;
    uint32_t old = sc.head[hash];
    size_t back = i + 1 - old;
    sc.prev[i & WINDOW_MASK] = uint16_t(old && back <= MAX_DIST ? back : 0);
    sc.head[hash] = uint32_t(i + 1);
    return old;
  }

  unsigned match_length(const uint8_t* a, const uint8_t* b, unsigned max_len) const {
    unsigned len = 0;
    while (len + 8 <= max_len) {
      uint64_t x = load_le64(a + len) ^ load_le64(b + len);
      if (x) return len + unsigned(__builtin_ctzll(x) >> 3);
      len += 8;
    }
    while (len < max_len && a[len] == b[len]) len++;
    return len;
  }

  // The longest match at pos longer than best, walking the chain from the
  // candidate c (0-based); 0 distance when none was found.
  unsigned longest_match(size_t pos, size_t c, unsigned best, uint32_t* dist) const {
    const unsigned max_len = n - pos < MAX_MATCH ? unsigned(n - pos) : MAX_MATCH;
    if (best >= max_len) return best;
    const unsigned nice = max_len < NICE_MATCH ? max_len : NICE_MATCH;
    unsigned chain = best >= GOOD_MATCH ? MAX_CHAIN / 4 : MAX_CHAIN;
    const uint8_t* cur = in + pos;
    uint16_t head2 = load16(cur);
    uint16_t end2 = load16(cur + best - 1);
    for (;;) {
      const uint8_t* m = in + c;
      if (load16(m + best - 1) == end2 && load16(m) == head2) {
        unsigned len = match_length(cur, m, max_len);
        if (len > best) {
          best = len;
          *dist = uint32_t(pos - c);
          if (len >= nice) break;
          end2 = load16(cur + best - 1);
        }
      }
      uint32_t back = sc.prev[c & WINDOW_MASK];
      if (!back || --chain == 0) break;
      c -= back;
      if (pos - c > MAX_DIST) break;
    }
    return best;
  }

  void literal(uint8_t b) {
    sc.syms[nsyms++] = b;
    freq[b]++;
    block_end++;
  }
  void match(unsigned len, uint32_t d) {
    sc.syms[nsyms++] = d << 8 | (len - MIN_MATCH);
    freq[257 + kMaps.length[len]]++;
    dfreq[dist_symbol(d)]++;
    block_end += len;
  }

  void run();
  void flush_block(bool last);
  void write_symbols(const uint8_t* lens, const uint16_t* codes, const uint8_t* dlens, const uint16_t* dcodes);
};

void Deflater::run() {
  size_t pos = 0;
  unsigned prev_len = MIN_MATCH - 1;
  uint32_t prev_dist = 0;
  bool pending = false;  // the byte before pos is not yet emitted
  while (n - pos >= MIN_MATCH) {
    uint32_t head = insert(pos);
    unsigned len = MIN_MATCH - 1;
    uint32_t d = 0;
    if (head && prev_len < MAX_LAZY && pos + 1 - head <= MAX_DIST) {
      len = longest_match(pos, head - 1, prev_len, &d);
      if (!d || (len == MIN_MATCH && d > TOO_FAR)) len = MIN_MATCH - 1;
    }
    if (prev_len >= MIN_MATCH && len <= prev_len) {
      // The match found at the previous position wins.
      match(prev_len, prev_dist);
      size_t end = pos - 1 + prev_len;
      size_t last_insert = n - MIN_MATCH;
      for (size_t i = pos + 1; i < end && i <= last_insert; i++) insert(i);
      pos = end;
      pending = false;
      prev_len = MIN_MATCH - 1;
    } else {
      if (pending) literal(in[pos - 1]);
      pending = true;
      prev_len = len;
      prev_dist = d;
      pos++;
    }
    if (nsyms == SYM_BUFFER) flush_block(false);
  }
  if (pending) {
    if (prev_len >= MIN_MATCH) {
      match(prev_len, prev_dist);
      pos = pos - 1 + prev_len;
    } else {
      literal(in[pos - 1]);
    }
    if (nsyms == SYM_BUFFER) flush_block(false);
  }
  for (; pos < n; pos++) {
    literal(in[pos]);
    if (nsyms == SYM_BUFFER) flush_block(false);
  }
  flush_block(true);
  w.align();
}

void Deflater::write_symbols(const uint8_t* lens, const uint16_t* codes, const uint8_t* dlens, const uint16_t* dcodes) {
  for (unsigned i = 0; i < nsyms; i++) {
    uint32_t s = sc.syms[i];
    if (s < 256) {
      w.put(codes[s], lens[s]);
      continue;
    }
    unsigned len = (s & 0xFF) + MIN_MATCH;
    uint32_t d = s >> 8;
    unsigned ls = kMaps.length[len], ds = dist_symbol(d);
    w.put(codes[257 + ls] | uint32_t(len - kLengthBase[ls]) << lens[257 + ls], lens[257 + ls] + kLengthExtra[ls]);
    w.put(dcodes[ds] | uint32_t(d - kDistBase[ds]) << dlens[ds], dlens[ds] + kDistExtra[ds]);
  }
  w.put(codes[END_OF_BLOCK], lens[END_OF_BLOCK]);
}

void Deflater::flush_block(bool last) {
  freq[END_OF_BLOCK]++;
  uint8_t lens[LITLEN_SYMBOLS + DIST_SYMBOLS];
  uint8_t* dlens = lens + LITLEN_USED;  // one run of lengths, as the header sends them
  code_lengths(freq, LITLEN_USED, MAX_CODE_BITS, lens);
  code_lengths(dfreq, DIST_USED, MAX_CODE_BITS, dlens);
  unsigned nlit = LITLEN_USED, ndist = DIST_USED;
  while (nlit > 257 && lens[nlit - 1] == 0) nlit--;
  while (ndist > 1 && dlens[ndist - 1] == 0) ndist--;
  if (nlit < LITLEN_USED) std::memmove(lens + nlit, dlens, ndist);
  const uint8_t* all = lens;
  const unsigned total = nlit + ndist;

  // The lengths run-length coded with the code-length symbols 16-18.
  uint16_t rle[LITLEN_SYMBOLS + DIST_SYMBOLS];  // symbol | extra value << 5
  unsigned nrle = 0;
  uint32_t clfreq[CODELEN_SYMBOLS] = {};
  for (unsigned i = 0; i < total;) {
    uint8_t v = all[i];
    unsigned run = 1;
    while (i + run < total && all[i + run] == v) run++;
    i += run;
    if (v == 0) {
      while (run >= 11) {
        unsigned r = run < 138 ? run : 138;
        rle[nrle++] = uint16_t(18 | (r - 11) << 5);
        clfreq[18]++;
        run -= r;
      }
      if (run >= 3) {
        rle[nrle++] = uint16_t(17 | (run - 3) << 5);
        clfreq[17]++;
        run = 0;
      }
    } else {
      rle[nrle++] = v;
      clfreq[v]++;
      run--;
      while (run >= 3) {
        unsigned r = run < 6 ? run : 6;
        rle[nrle++] = uint16_t(16 | (r - 3) << 5);
        clfreq[16]++;
        run -= r;
      }
    }
    for (; run > 0; run--) {
      rle[nrle++] = v;
      clfreq[v]++;
    }
  }
  uint8_t cllens[CODELEN_SYMBOLS];
  code_lengths(clfreq, CODELEN_SYMBOLS, CODELEN_MAX_BITS, cllens);
  unsigned nclen = CODELEN_SYMBOLS;
  while (nclen > 4 && cllens[kCodeLengthOrder[nclen - 1]] == 0) nclen--;

  // The three sizes in bits.
  static constexpr uint8_t kRepeatBits[3] = {2, 3, 7};
  uint64_t extra = 0, dyn = 3 + 5 + 5 + 4 + 3 * uint64_t(nclen), fixed = 3;
  for (unsigned s = 0; s < 29; s++) extra += uint64_t(freq[257 + s]) * kLengthExtra[s];
  for (unsigned s = 0; s < DIST_USED; s++) extra += uint64_t(dfreq[s]) * kDistExtra[s];
  for (unsigned i = 0; i < nrle; i++) {
    unsigned s = rle[i] & 31;
    dyn += cllens[s] + (s >= 16 ? kRepeatBits[s - 16] : 0);
  }
  for (unsigned s = 0; s < nlit; s++) {
    dyn += uint64_t(freq[s]) * lens[s];
    fixed += uint64_t(freq[s]) * fixed_litlen_bits(s);
  }
  for (unsigned s = 0; s < ndist; s++) {
    dyn += uint64_t(dfreq[s]) * all[nlit + s];
    fixed += uint64_t(dfreq[s]) * FIXED_DIST_BITS;
  }
  dyn += extra;
  fixed += extra;
  const size_t bytes = block_end - block_start;
  const size_t pieces = bytes ? (bytes + 65534) / 65535 : 1;
  const uint64_t stored = 3 + (8 - (w.count + 3) % 8) % 8 + 32 + 8 * uint64_t(bytes) + 40 * uint64_t(pieces - 1);

  if (stored <= dyn && stored <= fixed) {
    const uint8_t* p = in + block_start;
    size_t left = bytes;
    do {
      size_t piece = left < 65535 ? left : 65535;
      left -= piece;
      w.put(last && left == 0 ? 1 : 0, 3);  // BTYPE 00
      w.align();
      uint8_t lenbytes[4] = {uint8_t(piece), uint8_t(piece >> 8), uint8_t(~piece), uint8_t(~piece >> 8)};
      w.put_bytes(lenbytes, 4);
      w.put_bytes(p, piece);
      p += piece;
    } while (left > 0);
  } else if (dyn < fixed) {
    w.put(last ? 1 | 2 << 1 : 2 << 1, 3);
    w.put(nlit - 257, 5);
    w.put(ndist - 1, 5);
    w.put(nclen - 4, 4);
    for (unsigned i = 0; i < nclen; i++) w.put(cllens[kCodeLengthOrder[i]], 3);
    uint16_t clcodes[CODELEN_SYMBOLS];
    canonical_codes(cllens, CODELEN_SYMBOLS, clcodes);
    for (unsigned i = 0; i < nrle; i++) {
      unsigned s = rle[i] & 31;
      w.put(clcodes[s], cllens[s]);
      if (s >= 16) w.put(rle[i] >> 5, kRepeatBits[s - 16]);
    }
    // The distance lengths sit right after the literal/length ones.
    uint8_t dl[DIST_SYMBOLS] = {};
    std::memcpy(dl, all + nlit, ndist);
    uint16_t codes[LITLEN_SYMBOLS], dcodes[DIST_SYMBOLS];
    canonical_codes(lens, nlit, codes);
    canonical_codes(dl, DIST_USED, dcodes);
    write_symbols(lens, codes, dl, dcodes);
  } else {
    struct Fixed {
      uint8_t lens[LITLEN_SYMBOLS], dlens[DIST_SYMBOLS];
      uint16_t codes[LITLEN_SYMBOLS], dcodes[DIST_SYMBOLS];
      Fixed() {
        for (unsigned s = 0; s < LITLEN_SYMBOLS; s++) lens[s] = fixed_litlen_bits(s);
        std::memset(dlens, FIXED_DIST_BITS, DIST_SYMBOLS);
        canonical_codes(lens, LITLEN_SYMBOLS, codes);
        canonical_codes(dlens, DIST_SYMBOLS, dcodes);
      }
    };
    static const Fixed f;
    w.put(last ? 1 | 1 << 1 : 1 << 1, 3);
    write_symbols(f.lens, f.codes, f.dlens, f.dcodes);
  }

  nsyms = 0;
  block_start = block_end;
  std::memset(freq, 0, sizeof freq);
  std::memset(dfreq, 0, sizeof dfreq);
}

}  // namespace

Result deflate(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len) {
  ScratchBlock scratch;
  Deflater d(in, in_len, *scratch.s, out, out ? *out_len : 0);
  d.run();
  *out_len = d.w.pos;
  return d.w.pos > d.w.cap ? Result::TOO_SMALL : Result::OK;
}

Result zlib_compress(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len) {
  const size_t cap = out ? *out_len : 0;
  size_t len = cap >= 6 ? cap - 6 : 0;
  Result r = deflate(cap >= 6 ? out + 2 : nullptr, &len, in, in_len);
  if (r != Result::OK || cap < 6 + len) {
    *out_len = len + 6;
    return Result::TOO_SMALL;
  }
  out[0] = 0x78;  // deflate, 32 KB window
  out[1] = 0x01;  // no dictionary; check bits make 0x7801 a multiple of 31
  uint32_t a = checksum::adler32(in, in_len);
  uint8_t* t = out + 2 + len;
  store_be32(t, a);
  *out_len = len + 6;
  return Result::OK;
}

Result gzip_compress(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len) {
  // Input that already looks like gzip is framed again like any other:
  // decompressing must give back exactly what was compressed.
  const size_t cap = out ? *out_len : 0;
  size_t len = cap >= 18 ? cap - 18 : 0;
  Result r = deflate(cap >= 18 ? out + 10 : nullptr, &len, in, in_len);
  if (r != Result::OK || cap < 18 + len) {
    *out_len = len + 18;
    return Result::TOO_SMALL;
  }
  // No flags, no time, XFL 4 (fastest), OS 4.
  static constexpr uint8_t kHeader[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 4};
  std::memcpy(out, kHeader, 10);
  uint32_t crc = checksum::crc32(in, in_len), size = uint32_t(in_len);
  uint8_t* t = out + 10 + len;
  store_le32(t, crc);
  store_le32(t + 4, size);
  *out_len = len + 18;
  return Result::OK;
}

}  // namespace vel::compress
