// libFuzzer target: the LZ decoder on arbitrary records.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "lz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> rec(data, size);
  auto out = vel::lz_decompress(rec);
  if (out) {
    // Success means the header was honoured to the byte.
    auto h = vel::lz_read_header(rec);
    if (!h || out->size() != h->uncompressed_size) std::abort();
  }
  // The caller-buffer form must agree, and must never write past its
  // buffer (ASan catches that).
  std::vector<uint8_t> buf(out ? out->size() : 64);
  auto n = vel::lz_decompress_into(rec, buf);
  if (bool(n) != bool(out)) std::abort();
  if (n && !std::equal(buf.begin(), buf.end(), out->begin())) std::abort();
  return 0;
}
