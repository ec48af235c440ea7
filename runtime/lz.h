// LZ decompressor for the runtime's own packed format (boot data and
// compressed VELBIN payloads).
//
// Record (32-bit little-endian words):
//   compressed size    bytes of the block stream after these two words
//   uncompressed size  bytes the whole record produces
//   block stream       blocks back to back: a word L (1..1,048,576, the bytes
//                      the block produces) and the block's token bits
//
// Token bits are read least significant bit first; a multi-bit field takes
// its first bit as its lowest. A block starts on a byte boundary and drops
// the unused bits of its last byte.
//   0 + 8 bits                      one literal byte
//   1 + length code + distance code copy n + 3 bytes from d + 1 bytes back
// Length code: 1 -> n = 2 bits; 01 -> 4 + 2 bits; 001 -> 8 + 2 bits;
// 0001 -> 12 + 3 bits; 00001 -> 20 + 5 bits; 00000 -> 52 + 9 bits.
// Distance code: j = 4 bits + 2; j = 2 -> d = 3 bits, else d = 2^j + j bits.
// Matches never reach before the start of their block.
//
// The input is untrusted: every read and write is checked, size fields are
// held against what the input could produce, and any fault answers failure
// (never a fatal error, never a read outside the input).
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vel {

constexpr uint32_t LZ_HEADER_BYTES = 8;
constexpr uint32_t LZ_MAX_BLOCK = 1u << 20;
// The most a valid stream can expand: a 566-byte match costs 22 bits, so no
// stream produces more than 206 bytes per byte of its block stream.
constexpr uint32_t LZ_MAX_RATIO = 206;

struct LzHeader {
  uint32_t compressed_size;
  uint32_t uncompressed_size;
};

// The header of a record, when the record is long enough to hold its block
// stream and the uncompressed size is one the stream could produce.
std::optional<LzHeader> lz_read_header(std::span<const uint8_t> record);

// Decodes a whole record. Bytes after the block stream are ignored. The
// output is exactly the uncompressed size; a stream that produces any other
// amount is corrupt.
std::optional<std::vector<uint8_t>> lz_decompress(std::span<const uint8_t> record);

// Decodes into a caller buffer, which must hold the uncompressed size.
// Answers the bytes produced, or nothing on any fault (the buffer's
// contents are then unspecified).
std::optional<size_t> lz_decompress_into(std::span<const uint8_t> record, std::span<uint8_t> out);

}  // namespace vel
