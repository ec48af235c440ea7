// libFuzzer target: the inflater and the zlib and gzip decoders on
// arbitrary bytes, and the compressor's round trip on the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "io/deflate.h"

using namespace vel::compress;

namespace {

// What the input may expand to and still be checked against a full buffer.
constexpr size_t MAX_CHECKED = size_t(1) << 22;

void check_decoder(Method m, const uint8_t* data, size_t size) {
  // Measuring: a count of what decoding would produce, storing nothing.
  size_t need = 0;
  Result measured = decompress_with(m, nullptr, &need, data, size);
  if (measured == Result::OK && need != 0) std::abort();

  // A small buffer: success must fit; "too small" must say more than fits.
  std::vector<uint8_t> small(64);
  size_t len = small.size();
  Result r = decompress_with(m, small.data(), &len, data, size);
  if (r == Result::OK && len > small.size()) std::abort();
  if (r == Result::TOO_SMALL && len <= small.size()) std::abort();

  // Exactly the measured size: the decoders agree with their measurement.
  if (measured != Result::TOO_SMALL || need > MAX_CHECKED) return;
  std::vector<uint8_t> out(need);
  len = need;
  r = decompress_with(m, out.data(), &len, data, size);
  if (r == Result::OK) {
    if (len != need) std::abort();
  } else if (r == Result::TOO_SMALL || m == Method::DEFLATE) {
    std::abort();
  } else if (m == Method::ZLIB && r != Result::BAD_FRAME) {
    std::abort();  // measuring decoded it all; only the checksum is left
  }  // gzip measures by its trailer alone, so any fault may follow
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (Method m : {Method::DEFLATE, Method::ZLIB, Method::GZIP}) check_decoder(m, data, size);

  // Whatever the bytes, compressing them and decoding the result gives
  // them back, gzip-looking bytes included.
  Method m = size ? Method(data[0] % 3) : Method::ZLIB;
  if (size <= (size_t(1) << 16)) {
    size_t cap = size + (size >> 11) + 32;
    std::vector<uint8_t> packed(cap);
    if (compress_with(m, packed.data(), &cap, data, size) != Result::OK) std::abort();
    std::vector<uint8_t> back(size + 1);
    size_t len = back.size();
    if (decompress_with(m, back.data(), &len, packed.data(), cap) != Result::OK) std::abort();
    if (len != size || !std::equal(data, data + size, back.begin())) std::abort();
  }
  return 0;
}
