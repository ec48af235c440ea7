// The fixed tables of the deflate format (RFC 1951), shared by the
// compressor and the inflater.
#pragma once
#include <cstdint>

#include "byteorder.h"
namespace vel::compress {

constexpr unsigned LITLEN_SYMBOLS = 288;  // 286 used, 2 more in the fixed code
constexpr unsigned DIST_SYMBOLS = 32;     // 30 used, 2 more in the fixed code
constexpr unsigned CODELEN_SYMBOLS = 19;
constexpr unsigned MAX_CODE_BITS = 15;
constexpr unsigned END_OF_BLOCK = 256;
constexpr unsigned MIN_MATCH = 3;
constexpr unsigned MAX_MATCH = 258;

// Length symbols 257..285: base length and extra bits.
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// Distance symbols 0..29.
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,    65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block lists the code-length code's lengths.
constexpr uint8_t kCodeLengthOrder[CODELEN_SYMBOLS] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// The fixed code's lengths: literal/length 0-143 8 bits, 144-255 9,
// 256-279 7, 280-287 8; every distance 5.
inline uint8_t fixed_litlen_bits(unsigned sym) { return sym < 144 ? 8 : sym < 256 ? 9 : sym < 280 ? 7 : 8; }
constexpr uint8_t FIXED_DIST_BITS = 5;

// Reverses the low n bits of code: Huffman codes are sent most significant
// bit first into a stream read least significant bit first.
inline uint32_t reverse_bits(uint32_t code, unsigned n) {
  uint32_t r = 0;
  for (unsigned i = 0; i < n; i++, code >>= 1) r = r << 1 | (code & 1);
  return r;
}


}  // namespace vel::compress
