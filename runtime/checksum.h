// Checksums and digests: CRC-32, Adler-32, the internet (tcp) sum, the
// digests of platform/digest.h and HMAC over them. The checksum native is
// in evaluator/natives_checksum.h.
//
// The integer checksums are also the integrity checks of the zlib and gzip
// framings, so they take raw bytes and keep running values.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/digest.h"

namespace vel::checksum {

// Method ids, by their words. The first five are digests.
enum class Method : uint8_t { MD5, SHA1, SHA256, SHA384, SHA512, TCP, CRC32, ADLER32, HASH };
constexpr bool is_digest(Method m) { return m <= Method::SHA512; }
inline platform::DigestAlg digest_alg(Method m) { return platform::DigestAlg(uint8_t(m)); }

// Reflected CRC-32 (polynomial 0xEDB88320). `crc` is a previous result, so
// that data may come in pieces; 0 to start.
uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0);
// Adler-32 (RFC 1950); `adler` is a previous result, 1 to start.
uint32_t adler32(const uint8_t* p, size_t n, uint32_t adler = 1);
// The 16-bit one's-complement sum of big-endian words; an odd last byte
// counts as a low byte.
uint32_t tcp_sum(const uint8_t* p, size_t n);

// Digest of n bytes into out (digest_size bytes). A failing platform digest
// raises internal/feature-na: a digest is never made of stale bytes.
void digest(Method m, const uint8_t* p, size_t n, uint8_t* out);
// HMAC (RFC 2104) of the data under the key, into out (digest_size bytes).
// A method that is not a digest raises script/invalid-arg.
void hmac(Method m, const uint8_t* data, size_t n, const uint8_t* key, size_t key_len, uint8_t* out);

}  // namespace vel::checksum
