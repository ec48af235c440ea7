// Deflate, inflate and the zlib and gzip framings: interchange with Python's
// zlib (fixtures made once by it), round trips, exact small outputs, every
// header rule, and hostile streams (truncated, bad codes, far distances,
// lying sizes).
#include "io/deflate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "checksum.h"

using namespace vel::compress;
using Bytes = std::vector<uint8_t>;

namespace {

// The generators the fixtures were made from (the same LCG in Python).
Bytes lcg_bytes(size_t n, uint32_t seed) {
  Bytes out;
  uint32_t x = seed;
  for (size_t i = 0; i < n; i++) {
    x = (x * 1103515245u + 12345u) & 0x7FFFFFFFu;
    out.push_back(uint8_t(x >> 16));
  }
  return out;
}

Bytes lcg_words(size_t n, uint32_t seed) {
  static const char* kWords[] = {"alpha", "beta", "gamma", "delta", "block", "word", "path", "series"};
  std::string s;
  uint32_t x = seed;
  for (size_t i = 0; i < n; i++) {
    x = (x * 1103515245u + 12345u) & 0x7FFFFFFFu;
    if (i) s += ' ';
    s += kWords[(x >> 16) & 7];
  }
  return Bytes(s.begin(), s.end());
}

Bytes text_bytes(const char* s) { return Bytes(s, s + std::strlen(s)); }

const char* kFox = "The quick brown fox jumps over the lazy dog; the quick brown fox.";

// Python: zlib.compress(fox, 6): one fixed-code block.
// Python: zlib.compress(lcg_words(400, 1), 9): a dynamic block.
// Python: zlib.compress(lcg_bytes(40, 2), 0): a stored block.
// Python: raw deflate (wbits -15, level 9) of A + 32440 zeros + A, A =
// lcg_bytes(64, 3): the second A is a copy from 32,504 bytes back.
// Python: gzip.compress(lcg_words(120, 5), 1, mtime=0).
// Python: fox in a gzip member with FEXTRA, FNAME, FCOMMENT and FHCRC set.
// 55 bytes
const uint8_t kFixedZlib[] = {
    0x78, 0x9c, 0x0b, 0xc9, 0x48, 0x55, 0x28, 0x2c, 0xcd, 0x4c, 0xce, 0x56, 0x48, 0x2a, 0xca, 0x2f,
    0xcf, 0x53, 0x48, 0xcb, 0xaf, 0x50, 0xc8, 0x2a, 0xcd, 0x2d, 0x28, 0x56, 0xc8, 0x2f, 0x4b, 0x2d,
    0x52, 0x28, 0x01, 0x4a, 0xe7, 0x24, 0x56, 0x55, 0x2a, 0xa4, 0xe4, 0xa7, 0x5b, 0x83, 0x79, 0x68,
    0x8a, 0xf5, 0x00, 0x0f, 0x44, 0x17, 0x96,
};
// 390 bytes
const uint8_t kDynamicZlib[] = {
    0x78, 0xda, 0x7d, 0x95, 0xe1, 0x6e, 0xc2, 0x40, 0x0c, 0x83, 0x5f, 0xa5, 0xaf, 0x56, 0x46, 0x35,
    0xa6, 0x15, 0x51, 0x01, 0xd2, 0x5e, 0x7f, 0x22, 0x29, 0xf3, 0x97, 0xf8, 0xba, 0x3f, 0xa1, 0x3a,
    0xd2, 0xc4, 0xb1, 0x9d, 0xeb, 0x36, 0x3f, 0x2f, 0xd3, 0xf6, 0x0a, 0xa7, 0xe5, 0x39, 0x4f, 0xe7,
    0x65, 0x6d, 0xf1, 0x73, 0xbe, 0x5e, 0xdf, 0xcf, 0xa7, 0xf5, 0xf6, 0xf1, 0x9d, 0xd9, 0x3f, 0xb7,
    0xfb, 0x79, 0x7a, 0x2c, 0xf7, 0xaf, 0xe5, 0xb1, 0x1f, 0xef, 0xf1, 0x55, 0xe5, 0x7d, 0xde, 0x9f,
    0xb7, 0xbf, 0x66, 0x59, 0x75, 0xff, 0xaf, 0xfe, 0xc4, 0xff, 0x7c, 0x2b, 0x73, 0xe7, 0x75, 0xbb,
    0xcc, 0x6c, 0x92, 0xc7, 0x91, 0xed, 0x78, 0x03, 0x5e, 0xa4, 0x95, 0xf7, 0x22, 0x12, 0x3a, 0x7b,
    0xc6, 0x39, 0x8b, 0x64, 0xb4, 0x2a, 0x4c, 0xd1, 0x44, 0x44, 0xcc, 0xc1, 0x07, 0x8d, 0x80, 0x39,
    0xeb, 0x46, 0xe7, 0x08, 0xbd, 0xea, 0x0e, 0x41, 0xbc, 0xa7, 0x54, 0x62, 0x21, 0xde, 0x22, 0x00,
    0x69, 0x99, 0xb5, 0x33, 0x66, 0x37, 0x62, 0x44, 0x67, 0x3c, 0x26, 0x7c, 0x8c, 0x09, 0x54, 0x44,
    0x0c, 0x05, 0x8c, 0x76, 0xa2, 0xc1, 0xb1, 0xe9, 0x65, 0x95, 0xe4, 0x91, 0x44, 0x50, 0x84, 0x17,
    0x30, 0x14, 0x12, 0x66, 0x36, 0x35, 0x26, 0x04, 0xcb, 0xbd, 0x04, 0x06, 0xf2, 0xa0, 0x9a, 0x5a,
    0x4b, 0x31, 0xee, 0x05, 0x74, 0x64, 0xb7, 0xf0, 0xdd, 0xdf, 0xef, 0xa2, 0x2b, 0xd0, 0xc8, 0x02,
    0x6d, 0xf2, 0x46, 0x20, 0x66, 0x7a, 0xa5, 0xaf, 0xb1, 0xf9, 0xb7, 0xa0, 0x22, 0x21, 0x98, 0xe5,
    0xc8, 0x2f, 0x45, 0x56, 0xe0, 0xa4, 0x48, 0xe0, 0x02, 0xc2, 0x23, 0xcd, 0x46, 0x41, 0xcb, 0x02,
    0xb1, 0x1b, 0x13, 0x63, 0x66, 0x36, 0x88, 0xc8, 0x38, 0xb0, 0x41, 0xbf, 0xb4, 0xdc, 0x02, 0xb4,
    0xa3, 0x0f, 0x4e, 0xd3, 0x1d, 0x71, 0x66, 0xbe, 0x1f, 0xdc, 0x31, 0x59, 0xc7, 0xfb, 0x72, 0x6e,
    0xdb, 0x11, 0x5b, 0xc5, 0xce, 0x83, 0xaf, 0x26, 0x8c, 0xd4, 0x2e, 0x5d, 0x8c, 0x63, 0xb7, 0x95,
    0x5d, 0x6a, 0xb6, 0xf8, 0x05, 0xbf, 0x36, 0xb5, 0x2d, 0x48, 0x19, 0x16, 0x8e, 0x1c, 0xac, 0x26,
    0x69, 0xd4, 0x6c, 0xe8, 0x3b, 0x30, 0xea, 0x98, 0x68, 0xdb, 0x07, 0x67, 0x42, 0xdb, 0x4c, 0x4a,
    0x0b, 0x5a, 0xdf, 0xd6, 0xff, 0xbe, 0x7d, 0xa2, 0xce, 0x2e, 0xdb, 0xa6, 0xbb, 0x9a, 0xf6, 0x45,
    0x2f, 0xe9, 0x14, 0x59, 0x68, 0x07, 0x8b, 0x2b, 0xde, 0x89, 0x8f, 0x7c, 0xf8, 0x47, 0xec, 0x48,
    0x48, 0xd5, 0xc2, 0xbd, 0x8b, 0xd9, 0xf9, 0xfd, 0x11, 0xd5, 0x63, 0xdb, 0x50, 0x67, 0xb3, 0x93,
    0x09, 0x40, 0xf5, 0x6d, 0x74, 0x3b, 0x26, 0x1a, 0x98, 0x07, 0xc2, 0x77, 0xe2, 0x84, 0x56, 0x05,
    0x7e, 0x01, 0xb0, 0x92, 0x3c, 0x8e,
};
// 51 bytes
const uint8_t kStoredZlib[] = {
    0x78, 0x01, 0x01, 0x28, 0x00, 0xd7, 0xff, 0x8c, 0x21, 0xff, 0x72, 0xed, 0xd7, 0x18, 0xd9, 0x4e,
    0x13, 0x95, 0x13, 0xdc, 0x1b, 0x63, 0xfc, 0x93, 0x06, 0xf6, 0xbf, 0x9c, 0xe5, 0x06, 0xe0, 0x6d,
    0xb0, 0x0a, 0x05, 0x9f, 0xf2, 0x75, 0x87, 0x8e, 0x34, 0xb3, 0xbc, 0xb3, 0x2b, 0xe2, 0x02, 0xac,
    0x12, 0x14, 0x94,
};
// 147 bytes
const uint8_t kFarRaw[] = {
    0xed, 0xdd, 0x21, 0x0e, 0x41, 0x01, 0x00, 0x00, 0x50, 0x0e, 0xa0, 0x68, 0x32, 0xf1, 0x6f, 0x4c,
    0xd0, 0x44, 0x26, 0x10, 0xec, 0xcf, 0x26, 0x68, 0xf2, 0xdf, 0x04, 0x41, 0x71, 0x03, 0x53, 0x4c,
    0xd0, 0xdc, 0x00, 0x1b, 0x13, 0x44, 0xc1, 0x6c, 0x8a, 0xae, 0x21, 0x08, 0x1c, 0xc0, 0x0c, 0x87,
    0x90, 0x6c, 0xef, 0x5d, 0xe4, 0x85, 0xdb, 0x7e, 0x6f, 0xb8, 0xac, 0xad, 0x2b, 0xd9, 0xa8, 0x5c,
    0x4c, 0x5d, 0x3b, 0x99, 0xea, 0x66, 0x7a, 0x6e, 0xbe, 0x7a, 0xdd, 0xe7, 0x60, 0x31, 0x6e, 0xcd,
    0x56, 0xf9, 0x64, 0xf8, 0x1e, 0x1d, 0xd3, 0x41, 0xe9, 0x5e, 0xbd, 0xed, 0x27, 0x89, 0xfe, 0xe7,
    0x14, 0xcf, 0xd5, 0x1b, 0x41, 0x7b, 0x3a, 0xdf, 0x45, 0x8f, 0xcb, 0xa1, 0x10, 0x03, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xe0, 0xaf, 0x85, 0x3f,
    0xbe, 0xf7, 0x5f,
};
// 190 bytes
const uint8_t kWordsGzip[] = {
    0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x03, 0x75, 0x52, 0x41, 0x0e, 0x83, 0x30,
    0x0c, 0xfb, 0x4a, 0xbf, 0x16, 0x46, 0x05, 0x68, 0x45, 0x20, 0x8a, 0xc4, 0xf7, 0x59, 0xed, 0x48,
    0x75, 0xb6, 0x71, 0xa1, 0x89, 0xe3, 0xc4, 0x71, 0x4b, 0xcd, 0xc7, 0x92, 0x6b, 0x1a, 0xf2, 0x69,
    0xc9, 0xca, 0x3e, 0x5b, 0xba, 0xb6, 0x63, 0x64, 0x3e, 0x94, 0xed, 0xf5, 0x76, 0x74, 0xcc, 0xe5,
    0xc3, 0x50, 0x84, 0x3c, 0x50, 0x10, 0x4a, 0x5f, 0x1b, 0xb6, 0xdb, 0x39, 0xeb, 0x98, 0xc9, 0xd6,
    0xd5, 0x52, 0xa5, 0x1c, 0xb8, 0x44, 0xbe, 0x95, 0x05, 0x75, 0x32, 0x18, 0x02, 0x33, 0xe4, 0xfc,
    0x87, 0x0d, 0x51, 0xa4, 0x1d, 0x84, 0x42, 0x56, 0x23, 0x8c, 0x3b, 0x03, 0x6b, 0xa9, 0x2a, 0x47,
    0x38, 0xf2, 0x27, 0xc1, 0x6a, 0xf8, 0x50, 0x21, 0x1a, 0x0f, 0x0d, 0x62, 0x20, 0xe0, 0x68, 0x0c,
    0x08, 0x13, 0xee, 0xe6, 0xd2, 0x6c, 0x26, 0xa4, 0x65, 0xbe, 0x87, 0x5a, 0xd2, 0x9b, 0xc5, 0xe5,
    0x68, 0x91, 0xb1, 0x28, 0xf2, 0xcd, 0xc0, 0xeb, 0xb7, 0xe0, 0x9a, 0xac, 0x35, 0x47, 0x61, 0x09,
    0xfd, 0x05, 0xba, 0xfd, 0x4e, 0xa6, 0x86, 0x28, 0xfd, 0x00, 0x3a, 0x01, 0x7d, 0xb2, 0x90, 0x9a,
    0x73, 0x59, 0x3f, 0x9a, 0xd6, 0x0d, 0x85, 0xcd, 0x65, 0x40, 0xad, 0x02, 0x00, 0x00,
};
// 95 bytes
const uint8_t kFullHeaderGzip[] = {
    0x1f, 0x8b, 0x08, 0x1e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x05, 0x00, 0x41, 0x42, 0x02, 0x00,
    0x7a, 0x6e, 0x61, 0x6d, 0x65, 0x2e, 0x74, 0x78, 0x74, 0x00, 0x61, 0x20, 0x63, 0x6f, 0x6d, 0x6d,
    0x65, 0x6e, 0x74, 0x00, 0xd7, 0x3d, 0x0b, 0xc9, 0x48, 0x55, 0x28, 0x2c, 0xcd, 0x4c, 0xce, 0x56,
    0x48, 0x2a, 0xca, 0x2f, 0xcf, 0x53, 0x48, 0xcb, 0xaf, 0x50, 0xc8, 0x2a, 0xcd, 0x2d, 0x28, 0x56,
    0xc8, 0x2f, 0x4b, 0x2d, 0x52, 0x28, 0x01, 0x4a, 0xe7, 0x24, 0x56, 0x55, 0x2a, 0xa4, 0xe4, 0xa7,
    0x5b, 0x83, 0x79, 0x68, 0x8a, 0xf5, 0x00, 0x04, 0x48, 0x78, 0x66, 0x41, 0x00, 0x00, 0x00,
};


template <size_t N>
Bytes of(const uint8_t (&a)[N]) {
  return Bytes(a, a + N);
}

Bytes far_data() {
  Bytes a = lcg_bytes(64, 3), d = a;
  d.resize(64 + 32440, 0);
  d.insert(d.end(), a.begin(), a.end());
  return d;
}

struct Decoded {
  Result r;
  Bytes out;
};

// Measures with no buffer, then decodes into exactly the size measured.
Decoded decode(Method m, const Bytes& in) {
  size_t len = 0;
  Result r = decompress_with(m, nullptr, &len, in.data(), in.size());
  if (r != Result::TOO_SMALL && r != Result::OK) return {r, {}};
  Bytes out(len);
  size_t cap = len;
  r = decompress_with(m, out.data(), &cap, in.data(), in.size());
  out.resize(r == Result::OK ? cap : 0);
  return {r, out};
}

Bytes encode(Method m, const Bytes& in) {
  size_t len = 0;
  EXPECT_EQ(compress_with(m, nullptr, &len, in.data(), in.size()), Result::TOO_SMALL);
  Bytes out(len);
  size_t cap = len;
  EXPECT_EQ(compress_with(m, out.data(), &cap, in.data(), in.size()), Result::OK);
  EXPECT_EQ(cap, len);
  return out;
}

// Writes a deflate stream bit by bit, for hand-made blocks.
struct BitStream {
  Bytes bytes;
  unsigned nbits = 0;
  void put(uint32_t v, unsigned n) {  // least significant bit first
    for (unsigned i = 0; i < n; i++, nbits++) {
      if (nbits % 8 == 0) bytes.push_back(0);
      bytes.back() |= uint8_t(((v >> i) & 1) << (nbits % 8));
    }
  }
  void code(uint32_t c, unsigned len) {  // a Huffman code, most significant bit first
    for (unsigned i = len; i-- > 0;) put((c >> i) & 1, 1);
  }
};

// Canonical codes for code lengths, as RFC 1951 assigns them.
std::vector<uint32_t> canonical(const std::vector<uint8_t>& lens) {
  unsigned count[16] = {}, next[16] = {};
  for (uint8_t l : lens) count[l]++;
  count[0] = 0;
  for (unsigned len = 1, c = 0; len < 16; len++) next[len] = c = (c + count[len - 1]) << 1;
  std::vector<uint32_t> codes(lens.size());
  for (size_t s = 0; s < lens.size(); s++)
    if (lens[s]) codes[s] = next[lens[s]]++;
  return codes;
}

constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A final dynamic block: the code-length code's lengths, then the given
// code-length symbols (each a symbol and its repeat bits' value), then the
// literal/length symbols of `data`, coded with the lengths `lens` (which
// the code-length symbols are expected to describe).
struct Dynamic {
  std::vector<uint8_t> cl_lens = std::vector<uint8_t>(19, 0);
  std::vector<std::pair<unsigned, unsigned>> cl_syms;
  unsigned nlit = 257, ndist = 1;
  std::vector<uint8_t> lens;  // nlit literal/length lengths
  std::vector<unsigned> data;

  Bytes build() const {
    BitStream b;
    b.put(1, 1);
    b.put(2, 2);
    b.put(nlit - 257, 5);
    b.put(ndist - 1, 5);
    b.put(19 - 4, 4);
    for (unsigned i = 0; i < 19; i++) b.put(cl_lens[kOrder[i]], 3);
    auto clc = canonical(cl_lens);
    for (auto [s, extra] : cl_syms) {
      b.code(clc[s], cl_lens[s]);
      if (s == 16) b.put(extra, 2);
      if (s == 17) b.put(extra, 3);
      if (s == 18) b.put(extra, 7);
    }
    auto lc = canonical(lens);
    for (unsigned s : data) b.code(lc[s], lens[s]);
    return b.bytes;
  }
};

// A code-length code giving eight symbols three bits each (complete).
Dynamic with_simple_cl_code() {
  Dynamic d;
  for (unsigned s : {0u, 1u, 2u, 3u, 8u, 16u, 17u, 18u}) d.cl_lens[s] = 3;
  return d;
}

// Zeros for n lengths with the 17 and 18 repeat symbols.
void zeros(Dynamic& d, unsigned n) {
  while (n >= 11) {
    unsigned r = n < 138 ? n : 138;
    d.cl_syms.push_back({18, r - 11});
    n -= r;
  }
  if (n >= 3) d.cl_syms.push_back({17, n - 3}), n = 0;
  for (; n; n--) d.cl_syms.push_back({0, 0});
}

// A block whose literal/length and distance lengths are sent as single
// lengths and runs of zeros; its data is 'a', 'a' and end-of-block.
Dynamic block_of(const std::vector<std::pair<unsigned, uint8_t>>& lit, const std::vector<uint8_t>& dist = {0}) {
  Dynamic d = with_simple_cl_code();
  d.lens.assign(257, 0);
  for (auto [s, len] : lit) d.lens[s] = len;
  d.ndist = unsigned(dist.size());
  std::vector<uint8_t> all = d.lens;
  all.insert(all.end(), dist.begin(), dist.end());
  for (size_t i = 0; i < all.size();) {
    size_t run = 0;
    while (i + run < all.size() && all[i + run] == 0) run++;
    if (run) {
      zeros(d, unsigned(run));
      i += run;
    } else {
      d.cl_syms.push_back({all[i++], 0});
    }
  }
  d.data = {'a', 'a', 256};
  return d;
}

Result inflate_all(const Bytes& in, Bytes* out = nullptr) {
  Bytes buf(1 << 16);
  size_t len = buf.size();
  Result r = inflate(buf.data(), &len, in.data(), in.size());
  if (out) *out = Bytes(buf.begin(), buf.begin() + (r == Result::OK ? len : 0));
  return r;
}

}  // namespace

TEST(Deflate, DecodesPythonZlibOutput) {
  struct Case {
    const char* what;
    Method m;
    Bytes in, want;
  } cases[] = {
      {"fixed", Method::ZLIB, of(kFixedZlib), text_bytes(kFox)},
      {"dynamic", Method::ZLIB, of(kDynamicZlib), lcg_words(400, 1)},
      {"stored", Method::ZLIB, of(kStoredZlib), lcg_bytes(40, 2)},
      {"far copy", Method::DEFLATE, of(kFarRaw), far_data()},
      {"gzip", Method::GZIP, of(kWordsGzip), lcg_words(120, 5)},
      {"gzip header fields", Method::GZIP, of(kFullHeaderGzip), text_bytes(kFox)},
  };
  for (auto& c : cases) {
    Decoded d = decode(c.m, c.in);
    EXPECT_EQ(d.r, Result::OK) << c.what;
    EXPECT_TRUE(d.out == c.want) << c.what;
  }
}

TEST(Deflate, RoundTripsEveryMethod) {
  Bytes runs;  // long runs and copies from 1 byte back
  for (int i = 0; i < 40; i++) runs.insert(runs.end(), size_t(300 + i * 7), uint8_t('a' + i % 3));
  Bytes window_edge = lcg_bytes(32767, 9);  // a repeat from exactly 32,767 bytes back
  window_edge.insert(window_edge.end(), window_edge.begin(), window_edge.begin() + 600);
  const Bytes inputs[] = {
      {},
      {0x42},
      text_bytes("abcabcabcabcabcabc"),
      runs,
      lcg_words(30000, 7),   // several blocks of dynamic codes
      lcg_bytes(150000, 8),  // incompressible: stored blocks, split into 65,535-byte pieces
      window_edge,
      far_data(),
  };
  for (Method m : {Method::DEFLATE, Method::ZLIB, Method::GZIP}) {
    for (const Bytes& in : inputs) {
      Bytes packed = encode(m, in);
      Decoded d = decode(m, packed);
      EXPECT_EQ(d.r, Result::OK) << int(m) << " size " << in.size();
      EXPECT_TRUE(d.out == in) << int(m) << " size " << in.size();
    }
  }
  // Random bytes fit the natives' first guess (n + n / 2048 + 32); words
  // compress well.
  EXPECT_LE(encode(Method::ZLIB, lcg_bytes(150000, 8)).size(), size_t(150000 + 150000 / 2048 + 32));
  EXPECT_LT(encode(Method::DEFLATE, lcg_words(30000, 7)).size(), size_t(30000 * 6 / 5));
}

TEST(Deflate, EmptyInputGivesTheShortestStreams) {
  EXPECT_TRUE(encode(Method::DEFLATE, {}) == (Bytes{0x03, 0x00}));
  EXPECT_TRUE(encode(Method::ZLIB, {}) == (Bytes{0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_TRUE(encode(Method::GZIP, {}) ==
              (Bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 4, 0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Deflate, SmallCapacityAnswersTheSizeNeeded) {
  Bytes data = lcg_words(2000, 4);
  Bytes packed = encode(Method::ZLIB, data);
  // One byte short: nothing claims success, and the size needed is exact.
  for (Method m : {Method::DEFLATE, Method::ZLIB, Method::GZIP}) {
    Bytes full = encode(m, data);
    Bytes out(full.size() - 1, 0xEE);
    size_t len = out.size();
    EXPECT_EQ(compress_with(m, out.data(), &len, data.data(), data.size()), Result::TOO_SMALL);
    EXPECT_EQ(len, full.size());
  }
  Bytes out(data.size() - 1);
  size_t len = out.size();
  EXPECT_EQ(zlib_uncompress(out.data(), &len, packed.data(), packed.size()), Result::TOO_SMALL);
  EXPECT_EQ(len, data.size());
  // The gzip trailer answers the size without decoding.
  Bytes gz = encode(Method::GZIP, data);
  len = 0;
  EXPECT_EQ(gzip_uncompress(nullptr, &len, gz.data(), gz.size()), Result::TOO_SMALL);
  EXPECT_EQ(len, data.size());
}

// Bytes that already look like gzip are framed again, so that they
// decompress to themselves.
TEST(Deflate, GzipDataIsFramedAgain) {
  Bytes gz = of(kWordsGzip);
  Bytes packed = encode(Method::GZIP, gz);
  EXPECT_FALSE(packed == gz);
  Decoded back = decode(Method::GZIP, packed);
  ASSERT_EQ(back.r, Result::OK);
  EXPECT_TRUE(back.out == gz);
}

TEST(Deflate, ZlibHeaderAndChecksumAreChecked) {
  const Bytes good = of(kFixedZlib);
  struct Case {
    const char* what;
    size_t at;
    uint8_t value;
  } cases[] = {
      {"check bits", 1, 0x9D},
      {"method 7", 0, 0x77},
      {"window of 64 KB", 0, 0x88},
      {"preset dictionary", 1, 0xBC},  // 0x78BC passes the check bits
      {"checksum", good.size() - 1, uint8_t(good.back() ^ 1)},
  };
  for (auto& c : cases) {
    Bytes bad = good;
    bad[c.at] = c.value;
    EXPECT_EQ(decode(Method::ZLIB, bad).r, Result::BAD_FRAME) << c.what;
  }
  EXPECT_EQ(decode(Method::ZLIB, Bytes{0x78, 0x01, 0x03, 0x00, 0x00}).r, Result::BAD_FRAME);
}

TEST(Deflate, GzipHeaderRules) {
  const Bytes good = of(kFullHeaderGzip);
  ASSERT_EQ(decode(Method::GZIP, good).r, Result::OK);
  auto with = [&](size_t at, uint8_t v) {
    Bytes b = good;
    b[at] = v;
    return b;
  };
  // Header layout: 10 bytes, XLEN 5 and 5 extra bytes (10..16), "name.txt\0"
  // (17..25), "a comment\0" (26..35), the header CRC (36, 37).
  EXPECT_EQ(decode(Method::GZIP, with(3, 0x20)).r, Result::BAD_FRAME) << "reserved flag";
  EXPECT_EQ(decode(Method::GZIP, with(2, 7)).r, Result::BAD_FRAME) << "method";
  EXPECT_EQ(decode(Method::GZIP, with(36, good[36] ^ 1)).r, Result::BAD_FRAME) << "header CRC";
  EXPECT_EQ(decode(Method::GZIP, with(10, 0xF0)).r, Result::BAD_FRAME) << "XLEN past the input";
  EXPECT_EQ(decode(Method::GZIP, with(good.size() - 8, good[good.size() - 8] ^ 1)).r, Result::BAD_FRAME) << "CRC";
  EXPECT_EQ(decode(Method::GZIP, with(good.size() - 4, good[good.size() - 4] + 1)).r, Result::BAD_FRAME) << "size";
  // A name that never ends.
  Bytes unterminated = {0x1F, 0x8B, 8, 8, 0, 0, 0, 0, 0, 3};
  unterminated.resize(40, 'n');
  EXPECT_EQ(decode(Method::GZIP, unterminated).r, Result::BAD_FRAME);
  // 18 bytes: no deflate data and an all-zero trailer stand for nothing.
  Bytes empty = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0};
  Decoded d = decode(Method::GZIP, empty);
  EXPECT_EQ(d.r, Result::OK);
  EXPECT_TRUE(d.out.empty());
  empty.pop_back();
  EXPECT_EQ(decode(Method::GZIP, empty).r, Result::BAD_FRAME) << "17 bytes";
}

TEST(Deflate, SizeClaimsBeyondWhatTheDataCanHoldAreRefused) {
  // A 4 GB claim from a few bytes of deflate data is refused before any
  // memory is asked for; a claim the data could hold is answered.
  Bytes gz = encode(Method::GZIP, text_bytes("bomb"));
  for (uint32_t claim : {0xFFFFFFFFu, 1u << 20}) {
    Bytes b = gz;
    for (int i = 0; i < 4; i++) b[b.size() - 4 + i] = uint8_t(claim >> (8 * i));
    size_t len = 0;
    EXPECT_EQ(gzip_uncompress(nullptr, &len, b.data(), b.size()), Result::BAD_FRAME) << claim;
  }
  Bytes b = gz;
  b[b.size() - 4] = 100;
  size_t len = 0;
  EXPECT_EQ(gzip_uncompress(nullptr, &len, b.data(), b.size()), Result::TOO_SMALL);
  EXPECT_EQ(len, 100u);
  Bytes out(100);
  len = out.size();
  EXPECT_EQ(gzip_uncompress(out.data(), &len, b.data(), b.size()), Result::BAD_FRAME) << "4 bytes, not 100";
}

TEST(Deflate, TruncatedStreamsFailAtEveryLength) {
  struct Case {
    Method m;
    Bytes full;
  } cases[] = {
      {Method::ZLIB, of(kDynamicZlib)},   {Method::ZLIB, of(kStoredZlib)},
      {Method::DEFLATE, of(kFarRaw)},     {Method::GZIP, of(kFullHeaderGzip)},
      {Method::ZLIB, of(kFixedZlib)},     {Method::DEFLATE, encode(Method::DEFLATE, lcg_bytes(70000, 1))},
  };
  for (auto& c : cases) {
    for (size_t n = 0; n < c.full.size(); n++) {
      Bytes cut(c.full.begin(), c.full.begin() + n);
      Result r = decode(c.m, cut).r;
      EXPECT_NE(r, Result::OK) << int(c.m) << " cut at " << n;
      if (c.m == Method::DEFLATE) EXPECT_TRUE(r == Result::TRUNCATED || r == Result::BAD_STORED) << n;
    }
  }
}

TEST(Deflate, HandMadeDynamicBlock) {
  Bytes out;
  EXPECT_EQ(inflate_all(block_of({{'a', 1}, {256, 1}}).build(), &out), Result::OK);
  EXPECT_TRUE(out == text_bytes("aa"));
  // A lone one-bit code is allowed: an empty block with only end-of-block.
  Dynamic d = block_of({{256, 1}});
  d.data = {256};
  EXPECT_EQ(inflate_all(d.build(), &out), Result::OK);
  EXPECT_TRUE(out.empty());
}

TEST(Deflate, InvalidCodesAreRefused) {
  struct Case {
    const char* what;
    Dynamic d;
  };
  std::vector<Case> cases = {
      {"over-subscribed literal code", block_of({{'a', 1}, {'b', 1}, {256, 1}})},
      {"incomplete literal code", block_of({{'a', 2}, {256, 2}})},
      {"no end-of-block code", block_of({{'a', 1}, {'b', 1}})},
      {"over-subscribed distance code", block_of({{'a', 1}, {256, 1}}, {1, 1, 1})},
      {"incomplete distance code", block_of({{'a', 1}, {256, 1}}, {2, 2})},
  };
  {
    Dynamic d = block_of({{'a', 1}, {256, 1}});
    d.cl_lens[3] = 0;  // seven three-bit codes
    cases.push_back({"incomplete code-length code", d});
    d.cl_lens[3] = d.cl_lens[4] = 3;  // nine
    cases.push_back({"over-subscribed code-length code", d});
  }
  {
    Dynamic d = block_of({{'a', 1}, {256, 1}});
    d.cl_syms.insert(d.cl_syms.begin(), {16, 0});
    cases.push_back({"repeat with no previous length", d});
  }
  {
    Dynamic d = block_of({{'a', 1}, {256, 1}});
    d.cl_syms.back() = {18, 0};  // 11 zeros where one length is left
    cases.push_back({"repeat past the last length", d});
  }
  {
    Dynamic d = block_of({{'a', 1}, {256, 1}});
    d.nlit = 287;
    cases.push_back({"287 literal/length codes", d});
  }
  for (auto& c : cases) EXPECT_EQ(inflate_all(c.d.build()), Result::BAD_CODE) << c.what;
}

TEST(Deflate, InvalidSymbolsAndDistances) {
  auto fixed_block = [](std::initializer_list<std::pair<uint32_t, unsigned>> fields) {
    BitStream b;
    b.put(1, 1);
    b.put(1, 2);
    for (auto [v, n] : fields) b.code(v, n);
    return b.bytes;
  };
  // Fixed codes: literals 0-143 are 0x30 + s in 8 bits, 256-279 are s - 256
  // in 7 bits, 280-287 are 0xC0 + (s - 280) in 8 bits; distances 5 bits.
  const std::pair<uint32_t, unsigned> lit_a = {0x30 + 'a', 8}, end = {0, 7}, len3 = {1, 7};
  // A copy of 3 bytes from 1 back, after one literal: "aaaa".
  Bytes out;
  EXPECT_EQ(inflate_all(fixed_block({lit_a, len3, {0, 5}, end}), &out), Result::OK);
  EXPECT_TRUE(out == text_bytes("aaaa"));
  EXPECT_EQ(inflate_all(fixed_block({lit_a, len3, {1, 5}, end})), Result::BAD_DISTANCE) << "2 back after 1 byte";
  EXPECT_EQ(inflate_all(fixed_block({len3, {0, 5}, end})), Result::BAD_DISTANCE) << "a copy before any byte";
  EXPECT_EQ(inflate_all(fixed_block({lit_a, {0xC0 + 6, 8}, end})), Result::BAD_CODE) << "length symbol 286";
  EXPECT_EQ(inflate_all(fixed_block({lit_a, len3, {30, 5}, end})), Result::BAD_CODE) << "distance symbol 30";
  EXPECT_EQ(inflate_all(Bytes{0x07}), Result::BAD_BLOCK_TYPE);
  // Stored: LEN must be the complement of NLEN, and the bytes must be there.
  EXPECT_EQ(inflate_all(Bytes{0x01, 0x02, 0x00, 0xFD, 0xFF, 'h', 'i'}, &out), Result::OK);
  EXPECT_TRUE(out == text_bytes("hi"));
  EXPECT_EQ(inflate_all(Bytes{0x01, 0x02, 0x00, 0xFD, 0xFE, 'h', 'i'}), Result::BAD_STORED);
  EXPECT_EQ(inflate_all(Bytes{0x01, 0x03, 0x00, 0xFC, 0xFF, 'h', 'i'}), Result::BAD_STORED);
}

TEST(Deflate, BytesPastTheCapacityAreCountedNotStored) {
  Bytes data = lcg_words(5000, 2);
  Bytes packed = encode(Method::DEFLATE, data);
  for (size_t cap : {size_t(0), size_t(1), size_t(300), data.size() - 1}) {
    Bytes out(cap + 16, 0xEE);
    size_t len = cap;
    EXPECT_EQ(inflate(out.data(), &len, packed.data(), packed.size()), Result::TOO_SMALL) << cap;
    EXPECT_EQ(len, data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + cap, out.begin())) << cap;
    for (size_t i = cap; i < out.size(); i++) ASSERT_EQ(out[i], 0xEE) << "byte " << i << " of capacity " << cap;
  }
}

TEST(Deflate, FuzzedStreamsNeverMisbehave) {
  // Random corruptions of valid streams: any answer but a crash, and what
  // a success claims must fit the buffer (ASan watches the accesses).
  std::mt19937 rng(11);
  const Bytes seeds[] = {of(kDynamicZlib), of(kFixedZlib), of(kFullHeaderGzip), encode(Method::ZLIB, lcg_words(3000, 3))};
  const Method methods[] = {Method::ZLIB, Method::ZLIB, Method::GZIP, Method::ZLIB};
  Bytes out(1 << 16);
  for (int round = 0; round < 3000; round++) {
    size_t which = rng() % 4;
    Bytes b = seeds[which];
    for (int k = 1 + rng() % 4; k > 0; k--) b[rng() % b.size()] ^= uint8_t(1 << (rng() % 8));
    for (Method m : {methods[which], Method::DEFLATE}) {
      size_t len = out.size();
      Result r = decompress_with(m, out.data(), &len, b.data(), b.size());
      if (r == Result::OK) EXPECT_LE(len, out.size());
    }
  }
}

TEST(Deflate, CrcAndAdlerMatchZlib) {
  // Python: zlib.crc32 / zlib.adler32 of lcg_bytes(100000, 6).
  Bytes d = lcg_bytes(100000, 6);
  EXPECT_EQ(vel::checksum::crc32(d.data(), d.size()), 910386508u);
  EXPECT_EQ(vel::checksum::adler32(d.data(), d.size()), 2185982208u);
  // In pieces of every alignment, as the eight-byte steps see them.
  uint32_t crc = 0;
  for (size_t at = 0, step = 1; at < d.size(); at += step, step = step % 13 + 1)
    crc = vel::checksum::crc32(d.data() + at, std::min(step, d.size() - at), crc);
  EXPECT_EQ(crc, 910386508u);
}
