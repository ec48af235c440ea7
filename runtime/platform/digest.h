// Message digests: MD5, SHA-1, SHA-256, SHA-384, SHA-512.
//
// The Windows build asks CryptoAPI; the Linux build computes them itself
// (no crypto library). The input is a list of byte runs hashed as one
// message, so that HMAC can put its pads in front of the data without
// copying it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vel::platform {

enum class DigestAlg : uint8_t { MD5, SHA1, SHA256, SHA384, SHA512 };

constexpr size_t DIGEST_MAX = 64;

constexpr size_t digest_size(DigestAlg a) {
  constexpr size_t kSize[] = {16, 20, 32, 48, 64};
  return kSize[size_t(a)];
}
// The compression block: HMAC pads its key to this size.
constexpr size_t digest_block_size(DigestAlg a) { return a >= DigestAlg::SHA384 ? 128 : 64; }

struct ByteRun {
  const uint8_t* data;
  size_t size;
};

// Writes digest_size(alg) bytes of the digest of the runs, in order, to out.
// False when the system's digest service fails: out then holds no digest
// and the caller must not use it.
[[nodiscard]] bool digest(DigestAlg alg, const ByteRun* runs, size_t count, uint8_t* out);

}  // namespace vel::platform
