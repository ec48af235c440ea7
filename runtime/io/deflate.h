// Deflate compression (RFC 1951) with zlib (RFC 1950) and gzip (RFC 1952)
// framing, and the compress and decompress natives.
//
// Every routine works on caller-owned memory: out/out_len is the output
// buffer and its capacity; on return out_len holds the bytes produced or,
// when the capacity was too small, the bytes needed (result TOO_SMALL; the
// bytes that did not fit were counted, not stored). A capacity of 0 with a
// null buffer therefore measures. The window is the output itself, so the
// inflater needs no memory of its own, and the compressor matches against
// the input in place.
//
// The input is untrusted: every fault of the data answers a result code,
// never a read outside the input, a write outside the output or a hang.
// Nothing here raises, except that a compressor whose scratch block cannot
// be had raises the memory manager's no-memory error.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cell.h"
#include "status.h"

namespace vel::compress {

enum class Result : uint8_t {
  OK = 0,
  TOO_SMALL = 1,      // out_len holds the size needed
  BAD_FRAME = 2,      // zlib or gzip header, trailer or checksum
  BAD_STORED = 3,     // a stored block runs past the input, or LEN != ~NLEN
  BAD_BLOCK_TYPE = 4, // block type 3
  BAD_DISTANCE = 5,   // a distance reaches before the start of the output
  BAD_CODE = 6,       // over-subscribed or incomplete code, a repeat past the
                      // code lengths, no end-of-block code, a symbol no code
                      // defines
  TRUNCATED = 7,      // the input ends before the final block does
};

// The most bytes a deflate stream of n bytes can produce: every symbol
// takes at least one bit, so a 258-byte copy costs at least two.
constexpr uint64_t MAX_EXPANSION = 1032;

// Raw deflate of the whole input.
Result deflate(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len);
// Raw inflate; input after the final block is ignored.
Result inflate(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len);
// zlib framing: 78 01, the deflate stream, the Adler-32 of the data
// (most significant byte first).
Result zlib_compress(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len);
Result zlib_uncompress(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len);
// gzip framing: a 10-byte header, the deflate stream, CRC-32 and length
// (least significant byte first). Data already starting with a gzip header
// is passed through unchanged.
Result gzip_compress(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len);
Result gzip_uncompress(uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len);

// The methods, by their words.
enum class Method : uint8_t { ZLIB, DEFLATE, GZIP };
Result compress_with(Method m, uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len);
Result decompress_with(Method m, uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len);

// compress:   [data method]
// decompress: [data method /size sz]
Status native_compress(Cell* base);
Status native_decompress(Cell* base);

}  // namespace vel::compress
