// Test-only LZ encoder: writes records that the runtime's decoder reads
// (see runtime/lz.h for the format). The runtime never compresses; this
// exists so that the decoder can be tested on round trips and on streams
// built token by token.
#pragma once
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "lz.h"

namespace vel::lztest {

// Builds a record token by token. Nothing is validated, so tests can write
// streams that the decoder must refuse.
class LzWriter {
 public:
  // Starts a block that claims to produce L bytes.
  void begin_block(uint32_t L) {
    flush_bits();
    for (int k = 0; k < 4; k++) stream_.push_back(uint8_t(L >> (8 * k)));
    claimed_ += L;
  }

  void literal(uint8_t byte) {
    put(0, 1);
    put(byte, 8);
  }

  // length 3..566, distance 1..262144.
  void match(uint32_t length, uint32_t distance) {
    put(1, 1);
    uint32_t n = length - 3;
    struct Code {
      uint32_t limit, base, extra;
    };
    static constexpr Code kCodes[6] = {{4, 0, 2}, {8, 4, 2}, {12, 8, 2}, {20, 12, 3}, {52, 20, 5}, {564, 52, 9}};
    for (uint32_t zeros = 0; zeros < 6; zeros++) {
      if (n < kCodes[zeros].limit) {
        put(0, zeros);
        if (zeros < 5) put(1, 1);
        put(n - kCodes[zeros].base, kCodes[zeros].extra);
        break;
      }
    }
    uint32_t d = distance - 1;
    if (d < 8) {
      put(0, 4);
      put(d, 3);
    } else {
      uint32_t j = 31 - uint32_t(__builtin_clz(d));
      put(j - 2, 4);
      put(d - (uint32_t(1) << j), j);
    }
  }

  // The record with the block stream so far; the uncompressed size is the
  // sum of the block lengths unless given.
  std::vector<uint8_t> finish() { return finish(claimed_); }
  std::vector<uint8_t> finish(uint32_t uncompressed_size) {
    flush_bits();
    std::vector<uint8_t> out;
    uint32_t cs = uint32_t(stream_.size());
    for (int k = 0; k < 4; k++) out.push_back(uint8_t(cs >> (8 * k)));
    for (int k = 0; k < 4; k++) out.push_back(uint8_t(uncompressed_size >> (8 * k)));
    out.insert(out.end(), stream_.begin(), stream_.end());
    return out;
  }

 private:
  void put(uint32_t v, uint32_t k) {
    bits_ |= uint64_t(v) << count_;
    count_ += k;
    while (count_ >= 8) {
      stream_.push_back(uint8_t(bits_));
      bits_ >>= 8;
      count_ -= 8;
    }
  }
  void flush_bits() {
    if (count_) stream_.push_back(uint8_t(bits_));
    bits_ = 0;
    count_ = 0;
  }

  std::vector<uint8_t> stream_;
  uint64_t bits_ = 0;
  uint32_t count_ = 0;
  uint32_t claimed_ = 0;
};

// Greedy compression with hash chains over 3-byte prefixes. block_size may
// exceed the format's limit so that tests can make over-long blocks.
inline std::vector<uint8_t> lz_encode(std::span<const uint8_t> in, uint32_t block_size = LZ_MAX_BLOCK) {
  constexpr uint32_t kMaxLength = 566;
  constexpr uint32_t kMaxDistance = 1u << 18;
  constexpr uint32_t kHashBits = 15;
  constexpr int kChainDepth = 32;
  LzWriter w;
  std::vector<int32_t> head(size_t(1) << kHashBits);
  std::vector<int32_t> prev;
  for (size_t start = 0; start < in.size(); start += block_size) {
    uint32_t L = uint32_t(std::min<size_t>(block_size, in.size() - start));
    const uint8_t* b = in.data() + start;
    w.begin_block(L);
    std::fill(head.begin(), head.end(), -1);
    prev.assign(L, -1);
    auto hash = [&](uint32_t i) {
      uint32_t x = uint32_t(b[i]) | uint32_t(b[i + 1]) << 8 | uint32_t(b[i + 2]) << 16;
      return (x * 2654435761u) >> (32 - kHashBits);
    };
    auto insert = [&](uint32_t i) {
      if (i + 3 > L) return;
      uint32_t h = hash(i);
      prev[i] = head[h];
      head[h] = int32_t(i);
    };
    uint32_t i = 0;
    while (i < L) {
      uint32_t best_len = 0, best_dist = 0;
      if (i + 3 <= L) {
        uint32_t limit = std::min(kMaxLength, L - i);
        int depth = kChainDepth;
        for (int32_t c = head[hash(i)]; c >= 0 && depth-- > 0; c = prev[c]) {
          uint32_t dist = i - uint32_t(c);
          if (dist > kMaxDistance) break;
          uint32_t len = 0;
          while (len < limit && b[uint32_t(c) + len] == b[i + len]) len++;
          if (len > best_len) {
            best_len = len;
            best_dist = dist;
          }
        }
      }
      if (best_len >= 3) {
        w.match(best_len, best_dist);
        for (uint32_t k = 0; k < best_len; k++) insert(i + k);
        i += best_len;
      } else {
        w.literal(b[i]);
        insert(i);
        i++;
      }
    }
  }
  return w.finish();
}

}  // namespace vel::lztest
