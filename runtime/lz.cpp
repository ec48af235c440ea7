#include "lz.h"

#include <new>

#include "byteorder.h"
namespace vel {

namespace {

// Bits LSB first, fetched one byte at a time and never past `end`, so a
// block consumes exactly the bytes its tokens touch.
struct BitReader {
  const uint8_t* p;
  const uint8_t* end;
  uint64_t bits = 0;
  unsigned count = 0;

  // Reads k (<= 17) bits into v; false when the input ends first.
  bool read(unsigned k, uint32_t& v) {
    while (count < k) {
      if (p == end) return false;
      bits |= uint64_t(*p++) << count;
      count += 8;
    }
    v = uint32_t(bits & ((uint64_t(1) << k) - 1));
    bits >>= k;
    count -= k;
    return true;
  }
};

// Length codes by the number of 0 bits before the first 1 (5 zeros: the
// last code, with no terminating 1).
struct LengthCode {
  uint8_t extra_bits;
  uint16_t base;
};
constexpr LengthCode kLengthCodes[6] = {{2, 0}, {2, 4}, {2, 8}, {3, 12}, {5, 20}, {9, 52}};

// Decodes one block of L bytes into out[0..L).
bool decode_block(BitReader& in, uint8_t* out, uint32_t L) {
  uint32_t i = 0;
  uint32_t v;
  while (i < L) {
    if (!in.read(1, v)) return false;
    if (v == 0) {
      if (!in.read(8, v)) return false;
      out[i++] = uint8_t(v);
      continue;
    }
    unsigned zeros = 0;
    for (; zeros < 5; zeros++) {
      if (!in.read(1, v)) return false;
      if (v) break;
    }
    const LengthCode& code = kLengthCodes[zeros];
    if (!in.read(code.extra_bits, v)) return false;
    uint32_t length = code.base + v + 3;

    uint32_t j;
    if (!in.read(4, j)) return false;
    j += 2;
    uint32_t d;
    if (j == 2) {
      if (!in.read(3, d)) return false;
    } else {
      if (!in.read(j, d)) return false;
      d += uint32_t(1) << j;
    }
    // The source must lie inside this block, and the copy must end in it.
    if (d >= i || length > L - i) return false;
    const uint8_t* src = out + (i - d - 1);
    uint8_t* dst = out + i;
    // Byte by byte: an overlapping copy repeats the last d + 1 bytes.
    for (uint32_t k = 0; k < length; k++) dst[k] = src[k];
    i += length;
  }
  return true;
}

// Where the blocks go: a growing vector or a fixed caller buffer.
struct Sink {
  std::vector<uint8_t>* vec;
  std::span<uint8_t> fixed;

  // Room for bytes [produced, produced + n), or null.
  uint8_t* reserve(size_t produced, uint32_t n) {
    if (vec) {
      // Grown block by block, so memory follows what the stream really
      // produces rather than what its header claims.
      vec->resize(produced + n);
      return vec->data() + produced;
    }
    if (n > fixed.size() || produced > fixed.size() - n) return nullptr;
    return fixed.data() + produced;
  }
};

std::optional<size_t> decode_record(std::span<const uint8_t> record, Sink sink) {
  std::optional<LzHeader> h = lz_read_header(record);
  if (!h) return std::nullopt;
  const uint8_t* stream = record.data() + LZ_HEADER_BYTES;
  const uint8_t* end = stream + h->compressed_size;
  const uint8_t* p = stream;
  size_t produced = 0;
  while (p != end) {
    if (size_t(end - p) < 4) return std::nullopt;
    uint32_t L = load_le32(p);
    p += 4;
    if (L < 1 || L > LZ_MAX_BLOCK) return std::nullopt;
    if (L > h->uncompressed_size - produced) return std::nullopt;
    uint8_t* out = sink.reserve(produced, L);
    if (!out) return std::nullopt;
    BitReader in{p, end};
    if (!decode_block(in, out, L)) return std::nullopt;
    p = in.p;  // the unused bits of the last byte are dropped
    produced += L;
  }
  if (produced != h->uncompressed_size) return std::nullopt;
  return produced;
}

}  // namespace

std::optional<LzHeader> lz_read_header(std::span<const uint8_t> record) {
  if (record.size() < LZ_HEADER_BYTES) return std::nullopt;
  LzHeader h{load_le32(record.data()), load_le32(record.data() + 4)};
  if (h.compressed_size > record.size() - LZ_HEADER_BYTES) return std::nullopt;
  if (uint64_t(h.uncompressed_size) > uint64_t(h.compressed_size) * LZ_MAX_RATIO) return std::nullopt;
  return h;
}

std::optional<std::vector<uint8_t>> lz_decompress(std::span<const uint8_t> record) {
  std::vector<uint8_t> out;
  try {
    if (!decode_record(record, Sink{&out, {}})) return std::nullopt;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return out;
}

std::optional<size_t> lz_decompress_into(std::span<const uint8_t> record, std::span<uint8_t> out) {
  return decode_record(record, Sink{nullptr, out});
}

}  // namespace vel
