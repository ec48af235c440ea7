// Checksum and digest kernels over raw bytes.
#include "checksum.h"

#include <array>
#include <cstring>

#include "byteorder.h"
#include "errors.h"

namespace vel::checksum {

namespace {

// Eight tables: t[0] is the byte-at-a-time table, t[k] advances a byte's
// contribution by k more bytes, so that eight bytes fold in at once.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

const CrcTables& crc_tables() {
  static const CrcTables tables = [] {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; n++) {
      uint32_t c = n;
      for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][n] = c;
    }
    for (int k = 1; k < 8; k++)
      for (uint32_t n = 0; n < 256; n++) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    return t;
  }();
  return tables;
}

}  // namespace

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc) {
  const auto& t = crc_tables();
  crc = ~crc;
  for (; n >= 8; n -= 8, p += 8) {
    uint32_t lo = load_le32(p) ^ crc;
    uint32_t hi = load_le32(p + 4);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
          t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; n > 0; n--, p++) crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint32_t adler32(const uint8_t* p, size_t n, uint32_t adler) {
  // 3854 bytes is well below the most that keeps b within 32 bits.
  constexpr uint32_t MOD = 65521, CHUNK = 3854;
  uint32_t a = adler & 0xFFFF, b = adler >> 16;
  while (n > 0) {
    size_t len = n < CHUNK ? n : CHUNK;
    n -= len;
    for (; len >= 16; len -= 16, p += 16)
      for (int i = 0; i < 16; i++) {
        a += p[i];
        b += a;
      }
    for (; len; len--) {
      a += *p++;
      b += a;
    }
    a %= MOD;
    b %= MOD;
  }
  return b << 16 | a;
}

uint32_t tcp_sum(const uint8_t* p, size_t n) {
  uint64_t sum = 0;
  size_t i = 0;
  for (; i + 1 < n; i += 2) sum += uint32_t(p[i]) << 8 | p[i + 1];
  if (i < n) sum += p[i];
  // Two folds bring any sum of up to 2^48 into 16 bits (carries included).
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return uint32_t(~sum) & 0xFFFF;
}

void digest(Method m, const uint8_t* p, size_t n, uint8_t* out) {
  if (!is_digest(m)) fire(ErrId::INVALID_ARG, integer_cell(int32_t(m)));
  platform::ByteRun run{p, n};
  if (!platform::digest(digest_alg(m), &run, 1, out)) fire(ErrId::FEATURE_NA);
}

void hmac(Method m, const uint8_t* data, size_t n, const uint8_t* key, size_t key_len, uint8_t* out) {
  if (!is_digest(m)) fire(ErrId::INVALID_ARG, integer_cell(int32_t(m)));
  platform::DigestAlg alg = digest_alg(m);
  size_t block = platform::digest_block_size(alg), size = platform::digest_size(alg);
  uint8_t k[128] = {};
  if (key_len > block) digest(m, key, key_len, k);  // a long key is replaced by its digest
  else if (key_len) std::memcpy(k, key, key_len);
  uint8_t pad[128], inner[platform::DIGEST_MAX];
  for (size_t i = 0; i < block; i++) pad[i] = k[i] ^ 0x36;
  platform::ByteRun runs[2] = {{pad, block}, {data, n}};
  if (!platform::digest(alg, runs, 2, inner)) fire(ErrId::FEATURE_NA);
  for (size_t i = 0; i < block; i++) pad[i] = k[i] ^ 0x5C;
  runs[1] = {inner, size};
  if (!platform::digest(alg, runs, 2, out)) fire(ErrId::FEATURE_NA);
}

}  // namespace vel::checksum
