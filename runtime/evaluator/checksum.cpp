// Checksums and digests, and the checksum native.
//
// checksum's frame: [data method /with spec] = base[0..3].
#include "evaluator/checksum.h"

#include <array>
#include <cstring>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/series_actions.h"
#include "datatypes/symbol.h"
#include "datatypes/words.h"
#include "errors.h"
#include "memory.h"
#include "output.h"
#include "roots.h"
#include "unicode.h"

namespace vel::checksum {

namespace {

constexpr SymId kMethodWords[] = {SymId::MD5, SymId::SHA1,  SymId::SHA256,  SymId::SHA384, SymId::SHA512,
                                  SymId::TCP, SymId::CRC32, SymId::ADLER32, SymId::HASH};

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

inline bool used(const Cell& c) { return c.is(TYPE_LOGIC) && c.w1 != 0; }

using binary::Bytes;
using binary::bytes_of;

may_gc Cell make_binary(const uint8_t* p, size_t n) {
  NodeId node = alloc_bytes(n);
  Buffer* b = node_buffer(node);
  std::memcpy(b->head_ptr(), p, n);
  b->tail = b->head + uint32_t(n);
  return series_cell(TYPE_BINARY, node, 0);
}

}  // namespace

bool method_of(const Cell& word, Method* out) {
  if (!word.is(TYPE_WORD) && !word.is(TYPE_LIT_WORD) && !word.is(TYPE_GET_WORD)) return false;
  uint32_t s = symbol::resolve(word.w2);
  for (size_t i = 0; i < std::size(kMethodWords); i++) {
    if (sym(kMethodWords[i]) == s) {
      *out = Method(i);
      return true;
    }
  }
  return false;
}

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc) {
  const auto& t = crc_tables();
  crc = ~crc;
  for (; n >= 8; n -= 8, p += 8) {
    uint32_t lo = (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24) ^ crc;
    uint32_t hi = uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
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

Status native_checksum(Cell* base) {
  Cell& data = base[0];
  const Cell& method_word = base[1];
  bool with = used(base[2]);
  const Cell& spec = base[3];
  // A file's bytes need the file layer, which reads files whole as binary.
  if (data.is(TYPE_FILE)) fire(ErrId::NOT_DONE);
  if (!data.is(TYPE_BINARY) && !is_any_string(data.type())) fire(ErrId::INVALID_ARG, data);
  Method m;
  if (!method_of(method_word, &m)) fire(ErrId::INVALID_ARG, method_word);

  std::string text, key_text;
  if (!is_digest(m) && m != Method::HASH) {
    if (with) fire(ErrId::INVALID_REFINE_ARG, refinement_cell(SymId::WITH), method_word);
    Bytes b = bytes_of(data, text);
    uint32_t r = m == Method::CRC32 ? crc32(b.p, b.n) : m == Method::TCP ? tcp_sum(b.p, b.n) : adler32(b.p, b.n);
    data = integer_cell(int32_t(r));
    return Status::OK;
  }
  uint8_t out[platform::DIGEST_MAX];
  if (!with) {
    if (m == Method::HASH) fire(ErrId::INVALID_REFINE_ARG, refinement_cell(SymId::WITH), method_word);
    Bytes b = bytes_of(data, text);
    digest(m, b.p, b.n, out);
  } else if (spec.is(TYPE_INTEGER)) {
    // The hash-table variant has no algorithm yet: say so and refuse,
    // rather than answer an undefined integer.
    print_cstring("** /hash support not yet implemented; algorithm TBD.\n");
    fire(ErrId::NOT_DONE);
  } else if (spec.is(TYPE_BINARY) || is_any_string(spec.type())) {
    if (m == Method::HASH) fire(ErrId::INVALID_REFINE_ARG, refinement_cell(SymId::WITH), spec);
    Bytes b = bytes_of(data, text);
    Bytes k = bytes_of(spec, key_text);
    hmac(m, b.p, b.n, k.p, k.n, out);
  } else {
    fire(ErrId::INVALID_ARG, spec);
  }
  data = make_binary(out, platform::digest_size(digest_alg(m)));
  return Status::OK;
}

}  // namespace vel::checksum
