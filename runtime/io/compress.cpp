// The compress and decompress natives and the method words.
//
// Both make a binary! of a first guess at the size and run the codec into
// it; a codec that answers "too small" has said what it needs, and gets
// one more attempt of that size.
#include <string>

#include "frame.h"
#include "native_frames.h"
#include "datatypes/binary.h"
#include "datatypes/core_words.h"
#include "datatypes/series_actions.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "io/deflate.h"
#include "memory.h"
#include "unicode.h"

namespace vel::compress {

namespace {

using binary::Bytes;
using binary::bytes_of;

using Codec = Result (*)(Method, uint8_t*, size_t*, const uint8_t*, size_t);

// The two attempts; the result replaces the data. A codec fault names the
// method.
template <typename Frame>
may_gc void run_into_binary(Cell* base, Method m, Codec codec, uint64_t size, std::string& text) {
  for (int attempt = 0; attempt < 2; attempt++) {
    if (size > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
    NodeId node = alloc_bytes(size);
    Bytes in = bytes_of(base[Frame::DATA], text);  // after the allocation, which may move it
    Buffer* out = node_buffer(node);
    size_t len = size_t(size);
    Result r = codec(m, out->head_ptr(), &len, in.p, in.n);
    if (r == Result::OK) {
      out->tail = out->head + uint32_t(len);
      base[RESULT] = series_cell(TYPE_BINARY, node, 0);
      return;
    }
    if (r != Result::TOO_SMALL) break;
    size = len;
  }
  fire(ErrId::INVALID_DATA, base[Frame::METHOD]);
}

constexpr SymId kMethodWords[] = {SymId::ZLIB, SymId::DEFLATE, SymId::GZIP};

}  // namespace

Result compress_with(Method m, uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len) {
  switch (m) {
    case Method::ZLIB: return zlib_compress(out, out_len, in, in_len);
    case Method::DEFLATE: return deflate(out, out_len, in, in_len);
    case Method::GZIP: return gzip_compress(out, out_len, in, in_len);
  }
  return Result::BAD_FRAME;
}

Result decompress_with(Method m, uint8_t* out, size_t* out_len, const uint8_t* in, size_t in_len) {
  switch (m) {
    case Method::ZLIB: return zlib_uncompress(out, out_len, in, in_len);
    case Method::DEFLATE: return inflate(out, out_len, in, in_len);
    case Method::GZIP: return gzip_uncompress(out, out_len, in, in_len);
  }
  return Result::BAD_FRAME;
}

Status native_compress(Cell* base) {
  using enum nat::compress::Frame;
  const Cell& data = base[DATA];
  if (!data.is(TYPE_BINARY) && !is_any_string(data.type())) fire(ErrId::INVALID_ARG, data);
  Method m;
  if (!method_of(base[METHOD], kMethodWords, &m)) fire(ErrId::INVALID_ARG, base[METHOD]);
  std::string text;
  uint64_t n = bytes_of(data, text).n;
  // Room for data that does not compress: stored blocks cost 5 bytes per
  // 16 KB at most.
  run_into_binary<nat::compress::Frame>(base, m, compress_with, n + (n >> 11) + 32, text);
  return Status::OK;
}

Status native_decompress(Cell* base) {
  using enum nat::decompress::Frame;
  const Cell& data = base[DATA];
  if (!data.is(TYPE_BINARY)) fire(ErrId::INVALID_ARG, data);
  Method m;
  if (!method_of(base[METHOD], kMethodWords, &m)) fire(ErrId::INVALID_ARG, base[METHOD]);
  std::string unused;
  Bytes in = bytes_of(data, unused);
  uint64_t size = 0;
  if (used(base[SIZE])) {
    const Cell& sz = base[SZ];
    if (!sz.is(TYPE_INTEGER) || sz.i2() < 0) fire(ErrId::INVALID_ARG, sz);
    // No stream produces more than this; a larger /size would only
    // reserve memory that stays unused.
    uint64_t most = MAX_EXPANSION * in.n;
    size = uint64_t(sz.i2()) < most ? uint64_t(sz.i2()) : most;
  }
  // The gzip trailer holds the size, so the sizing run is cheap there and
  // /size is not needed; for the others a small /size is taken as a hint
  // too unreliable to skip it.
  if (m == Method::GZIP || size <= in.n) {
    size_t len = 0;
    Result r = decompress_with(m, nullptr, &len, in.p, in.n);
    if (r == Result::TOO_SMALL) size = len;
    else if (r == Result::OK) size = 0;
    else fire(ErrId::INVALID_DATA, base[METHOD]);
  }
  run_into_binary<nat::decompress::Frame>(base, m, decompress_with, size, unused);
  return Status::OK;
}

}  // namespace vel::compress
