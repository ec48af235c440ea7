// Message digests for the Linux build, computed here: MD5 (RFC 1321),
// SHA-1 and SHA-2 (FIPS 180-4). They cannot fail.
//
// SHA-256 is the one that carries bulk data (checksum of files): its rounds
// are written out so that the eight working variables stay in registers
// and the message schedule lives in a 16-word ring.
#include "platform/digest.h"

#include <bit>
#include <cstring>

#include "byteorder.h"

namespace vel::platform {

namespace {


// --- MD5 ----------------------------------------------------------------------------

struct Md5 {
  static constexpr size_t BLOCK = 64;
  static constexpr bool BIG_ENDIAN_LENGTH = false;
  uint32_t h[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

  void compress(const uint8_t* p, size_t blocks) {
    static constexpr uint32_t K[64] = {
    0xd76aa478u, 0xe8c7b756u, 0x242070dbu, 0xc1bdceeeu,
    0xf57c0fafu, 0x4787c62au, 0xa8304613u, 0xfd469501u,
    0x698098d8u, 0x8b44f7afu, 0xffff5bb1u, 0x895cd7beu,
    0x6b901122u, 0xfd987193u, 0xa679438eu, 0x49b40821u,
    0xf61e2562u, 0xc040b340u, 0x265e5a51u, 0xe9b6c7aau,
    0xd62f105du, 0x02441453u, 0xd8a1e681u, 0xe7d3fbc8u,
    0x21e1cde6u, 0xc33707d6u, 0xf4d50d87u, 0x455a14edu,
    0xa9e3e905u, 0xfcefa3f8u, 0x676f02d9u, 0x8d2a4c8au,
    0xfffa3942u, 0x8771f681u, 0x6d9d6122u, 0xfde5380cu,
    0xa4beea44u, 0x4bdecfa9u, 0xf6bb4b60u, 0xbebfbc70u,
    0x289b7ec6u, 0xeaa127fau, 0xd4ef3085u, 0x04881d05u,
    0xd9d4d039u, 0xe6db99e5u, 0x1fa27cf8u, 0xc4ac5665u,
    0xf4292244u, 0x432aff97u, 0xab9423a7u, 0xfc93a039u,
    0x655b59c3u, 0x8f0ccc92u, 0xffeff47du, 0x85845dd1u,
    0x6fa87e4fu, 0xfe2ce6e0u, 0xa3014314u, 0x4e0811a1u,
    0xf7537e82u, 0xbd3af235u, 0x2ad7d2bbu, 0xeb86d391u,
    };
    static constexpr uint8_t R[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};
    for (; blocks; blocks--, p += BLOCK) {
      uint32_t m[16];
      for (int i = 0; i < 16; i++) m[i] = load_le32(p + 4 * i);
      uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
      for (int i = 0; i < 64; i++) {
        uint32_t f;
        int g;
        switch (i >> 4) {
          case 0: f = (b & c) | (~b & d); g = i; break;
          case 1: f = (d & b) | (~d & c); g = (5 * i + 1) & 15; break;
          case 2: f = b ^ c ^ d; g = (3 * i + 5) & 15; break;
          default: f = c ^ (b | ~d); g = (7 * i) & 15; break;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + std::rotl(a + f + K[i] + m[g], R[(i >> 4) * 4 + (i & 3)]);
        a = t;
      }
      h[0] += a;
      h[1] += b;
      h[2] += c;
      h[3] += d;
    }
  }
  void output(uint8_t* out) const {
    for (int i = 0; i < 4; i++) store_le32(out + 4 * i, h[i]);
  }
};

// --- SHA-1 --------------------------------------------------------------------------

struct Sha1 {
  static constexpr size_t BLOCK = 64;
  static constexpr bool BIG_ENDIAN_LENGTH = true;
  uint32_t h[5] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u, 0xc3d2e1f0u};

  void compress(const uint8_t* p, size_t blocks) {
    for (; blocks; blocks--, p += BLOCK) {
      uint32_t w[80];
      for (int i = 0; i < 16; i++) w[i] = load_be32(p + 4 * i);
      for (int i = 16; i < 80; i++) w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
      uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
      for (int i = 0; i < 80; i++) {
        uint32_t f, k;
        if (i < 20) f = (b & c) | (~b & d), k = 0x5a827999u;
        else if (i < 40) f = b ^ c ^ d, k = 0x6ed9eba1u;
        else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8f1bbcdcu;
        else f = b ^ c ^ d, k = 0xca62c1d6u;
        uint32_t t = std::rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = t;
      }
      h[0] += a;
      h[1] += b;
      h[2] += c;
      h[3] += d;
      h[4] += e;
    }
  }
  void output(uint8_t* out) const {
    for (int i = 0; i < 5; i++) store_be32(out + 4 * i, h[i]);
  }
};

// --- SHA-256 ------------------------------------------------------------------------

constexpr uint32_t K256[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u,
    0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u,
    0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu,
    0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u,
    0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u,
    0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u,
    0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u,
    0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u,
    0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

// One round; the caller rotates the roles of the variables instead of
// moving their values.
#define VEL_SHA256_ROUND(a, b, c, d, e, f, g, h, i, w)                                      \
  do {                                                                                      \
    uint32_t t1 = h + (std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25)) +             \
                  (((f ^ g) & e) ^ g) + K256[i] + (w);                                      \
    uint32_t t2 = (std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22)) +                 \
                  ((a & b) | (c & (a | b)));                                                \
    d += t1;                                                                                \
    h = t1 + t2;                                                                            \
  } while (0)

// Schedule word i (16 and above) in the ring of the last sixteen.
#define VEL_SHA256_W(i)                                                                     \
  (w[(i) & 15] += (std::rotr(w[((i) - 2) & 15], 17) ^ std::rotr(w[((i) - 2) & 15], 19) ^   \
                   (w[((i) - 2) & 15] >> 10)) +                                             \
                  w[((i) - 7) & 15] +                                                       \
                  (std::rotr(w[((i) - 15) & 15], 7) ^ std::rotr(w[((i) - 15) & 15], 18) ^  \
                   (w[((i) - 15) & 15] >> 3)))

#define VEL_SHA256_EIGHT(i, W)                                 \
  VEL_SHA256_ROUND(a, b, c, d, e, f, g, h, (i) + 0, W((i) + 0)); \
  VEL_SHA256_ROUND(h, a, b, c, d, e, f, g, (i) + 1, W((i) + 1)); \
  VEL_SHA256_ROUND(g, h, a, b, c, d, e, f, (i) + 2, W((i) + 2)); \
  VEL_SHA256_ROUND(f, g, h, a, b, c, d, e, (i) + 3, W((i) + 3)); \
  VEL_SHA256_ROUND(e, f, g, h, a, b, c, d, (i) + 4, W((i) + 4)); \
  VEL_SHA256_ROUND(d, e, f, g, h, a, b, c, (i) + 5, W((i) + 5)); \
  VEL_SHA256_ROUND(c, d, e, f, g, h, a, b, (i) + 6, W((i) + 6)); \
  VEL_SHA256_ROUND(b, c, d, e, f, g, h, a, (i) + 7, W((i) + 7))

#define VEL_SHA256_LOADED(i) w[i]

struct Sha256 {
  static constexpr size_t BLOCK = 64;
  static constexpr bool BIG_ENDIAN_LENGTH = true;
  uint32_t s[8] = {
    0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
    0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u,
  };

  void compress(const uint8_t* p, size_t blocks) {
    uint32_t s0 = s[0], s1 = s[1], s2 = s[2], s3 = s[3], s4 = s[4], s5 = s[5], s6 = s[6], s7 = s[7];
    for (; blocks; blocks--, p += BLOCK) {
      uint32_t w[16];
      for (int i = 0; i < 16; i++) w[i] = load_be32(p + 4 * i);
      uint32_t a = s0, b = s1, c = s2, d = s3, e = s4, f = s5, g = s6, h = s7;
      VEL_SHA256_EIGHT(0, VEL_SHA256_LOADED);
      VEL_SHA256_EIGHT(8, VEL_SHA256_LOADED);
      VEL_SHA256_EIGHT(16, VEL_SHA256_W);
      VEL_SHA256_EIGHT(24, VEL_SHA256_W);
      VEL_SHA256_EIGHT(32, VEL_SHA256_W);
      VEL_SHA256_EIGHT(40, VEL_SHA256_W);
      VEL_SHA256_EIGHT(48, VEL_SHA256_W);
      VEL_SHA256_EIGHT(56, VEL_SHA256_W);
      s0 += a;
      s1 += b;
      s2 += c;
      s3 += d;
      s4 += e;
      s5 += f;
      s6 += g;
      s7 += h;
    }
    s[0] = s0, s[1] = s1, s[2] = s2, s[3] = s3, s[4] = s4, s[5] = s5, s[6] = s6, s[7] = s7;
  }
  void output(uint8_t* out) const {
    for (int i = 0; i < 8; i++) store_be32(out + 4 * i, s[i]);
  }
};

#undef VEL_SHA256_LOADED
#undef VEL_SHA256_EIGHT
#undef VEL_SHA256_W
#undef VEL_SHA256_ROUND

// --- SHA-512 and SHA-384 ------------------------------------------------------------

constexpr uint64_t K512[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

struct Sha512 {
  static constexpr size_t BLOCK = 128;
  static constexpr bool BIG_ENDIAN_LENGTH = true;
  uint64_t s[8];
  size_t out_words;

  void compress(const uint8_t* p, size_t blocks) {
    for (; blocks; blocks--, p += BLOCK) {
      uint64_t w[80];
      for (int i = 0; i < 16; i++) w[i] = load_be64(p + 8 * i);
      for (int i = 16; i < 80; i++) {
        uint64_t x = w[i - 15], y = w[i - 2];
        w[i] = w[i - 16] + (std::rotr(x, 1) ^ std::rotr(x, 8) ^ (x >> 7)) + w[i - 7] +
               (std::rotr(y, 19) ^ std::rotr(y, 61) ^ (y >> 6));
      }
      uint64_t v[8];
      for (int i = 0; i < 8; i++) v[i] = s[i];
      for (int i = 0; i < 80; i++) {
        uint64_t a = v[0], e = v[4];
        uint64_t t1 = v[7] + (std::rotr(e, 14) ^ std::rotr(e, 18) ^ std::rotr(e, 41)) +
                      (((v[5] ^ v[6]) & e) ^ v[6]) + K512[i] + w[i];
        uint64_t t2 = (std::rotr(a, 28) ^ std::rotr(a, 34) ^ std::rotr(a, 39)) +
                      ((a & v[1]) | (v[2] & (a | v[1])));
        v[7] = v[6];
        v[6] = v[5];
        v[5] = v[4];
        v[4] = v[3] + t1;
        v[3] = v[2];
        v[2] = v[1];
        v[1] = v[0];
        v[0] = t1 + t2;
      }
      for (int i = 0; i < 8; i++) s[i] += v[i];
    }
  }
  void output(uint8_t* out) const {
    for (size_t i = 0; i < out_words; i++) store_be64(out + 8 * i, s[i]);
  }
};

constexpr uint64_t H512[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};
constexpr uint64_t H384[8] = {
    0xcbbb9d5dc1059ed8ULL, 0x629a292a367cd507ULL, 0x9159015a3070dd17ULL, 0x152fecd8f70e5939ULL,
    0x67332667ffc00b31ULL, 0x8eb44a8768581511ULL, 0xdb0c2e0d64f98fa7ULL, 0x47b5481dbefa4fa4ULL,
};

// --- the padding shared by all five -------------------------------------------------

template <class H>
void hash_runs(H& hash, const ByteRun* runs, size_t count, uint8_t* out) {
  constexpr size_t B = H::BLOCK;
  uint8_t buf[B];
  size_t fill = 0;
  uint64_t total = 0;
  for (size_t r = 0; r < count; r++) {
    const uint8_t* p = runs[r].data;
    size_t n = runs[r].size;
    total += n;
    if (fill) {
      size_t take = n < B - fill ? n : B - fill;
      std::memcpy(buf + fill, p, take);
      fill += take;
      p += take;
      n -= take;
      if (fill < B) continue;
      hash.compress(buf, 1);
      fill = 0;
    }
    if (n >= B) {
      hash.compress(p, n / B);
      p += n / B * B;
      n %= B;
    }
    if (n) {
      std::memcpy(buf, p, n);
      fill = n;
    }
  }
  // A 1 bit, zeros, then the message length in bits (128 bits for the
  // 128-byte block; its high part only holds what a 64-bit count overflows).
  constexpr size_t LEN = B == 128 ? 16 : 8;
  buf[fill++] = 0x80;
  if (fill > B - LEN) {
    std::memset(buf + fill, 0, B - fill);
    hash.compress(buf, 1);
    fill = 0;
  }
  std::memset(buf + fill, 0, B - fill);
  uint64_t bits = total << 3;
  if constexpr (H::BIG_ENDIAN_LENGTH) {
    store_be64(buf + B - 8, bits);
    if constexpr (LEN == 16) store_be64(buf + B - 16, total >> 61);
  } else {
    store_le32(buf + B - 8, uint32_t(bits));
    store_le32(buf + B - 4, uint32_t(bits >> 32));
  }
  hash.compress(buf, 1);
  hash.output(out);
}

}  // namespace

bool digest(DigestAlg alg, const ByteRun* runs, size_t count, uint8_t* out) {
  switch (alg) {
    case DigestAlg::MD5: {
      Md5 h;
      hash_runs(h, runs, count, out);
      return true;
    }
    case DigestAlg::SHA1: {
      Sha1 h;
      hash_runs(h, runs, count, out);
      return true;
    }
    case DigestAlg::SHA256: {
      Sha256 h;
      hash_runs(h, runs, count, out);
      return true;
    }
    case DigestAlg::SHA384:
    case DigestAlg::SHA512: {
      Sha512 h;
      bool is384 = alg == DigestAlg::SHA384;
      std::memcpy(h.s, is384 ? H384 : H512, sizeof h.s);
      h.out_words = is384 ? 6 : 8;
      hash_runs(h, runs, count, out);
      return true;
    }
  }
  return false;
}

}  // namespace vel::platform
