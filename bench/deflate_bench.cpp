// Compress and decompress of the deflate peer's text (~20 MB: the textscan
// chunk of 10,000 tokens, 320 times), with zlib framing as zlib.compress
// level 6 and zlib.decompress do, and with gzip framing as gzip -6 and
// gzip -d do. Prints the seconds of each part (the best of three runs) and
// the compressed sizes; bench/peers/deflate.py times Python's zlib on the
// same text, and with a path the text is written there for gzip(1).
//
//   compress         zlib_compress, output buffer of the natives' first guess
//   decompress       zlib_uncompress into a buffer of the known size
//   decompress-sized the decompress native's way: a measuring run, then the decode
//   gzip-compress    gzip_compress
//   gzip-decompress  gzip_uncompress (the size from the trailer)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "io/deflate.h"
#include "runtime_init.h"

using namespace vel::compress;

namespace {

std::string peer_text() {
  static const char* kWords[] = {"alpha", "beta",   "gamma", "delta",  "block", "word",   "path", "series",
                                 "parse", "rule",   "vel",   "script", "Value", "String", "Map",  "Index"};
  static const char* kSeps[] = {" ", " ", " ", ", ", ". ", "; ", "!\n", "?\n"};
  std::string chunk;
  uint64_t x = 12345;
  for (int i = 0; i < 10000; i++) {
    x = x * 48271 % 2147483647;
    uint64_t kind = x % 10;
    if (kind < 7) chunk += kWords[x / 10 % 16];
    else if (kind < 9) chunk += std::to_string(x / 10 % 100000);
    else chunk += std::string("(") + kWords[x / 10 % 16] + ")";
    x = x * 48271 % 2147483647;
    chunk += kSeps[x % 8];
  }
  std::string text;
  for (int i = 0; i < 320; i++) text += chunk;
  return text;
}

template <class F>
double best_of_3(F f) {
  double best = 1e9;
  for (int run = 0; run < 3; run++) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  vel::runtime_init_for_tests();
  std::string s = peer_text();
  const uint8_t* in = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  if (argc > 1) {
    FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(in, 1, n, f) != n) return 1;
    std::fclose(f);
  }
  std::vector<uint8_t> packed(n + (n >> 11) + 32), out(n);
  size_t packed_len = 0, gz_len = 0, len = 0;
  bool ok = true;

  double c = best_of_3([&] {
    packed_len = packed.size();
    ok &= zlib_compress(packed.data(), &packed_len, in, n) == Result::OK;
  });
  double d = best_of_3([&] {
    len = out.size();
    ok &= zlib_uncompress(out.data(), &len, packed.data(), packed_len) == Result::OK;
  });
  ok &= len == n && std::equal(out.begin(), out.end(), in);
  double ds = best_of_3([&] {
    len = 0;
    ok &= zlib_uncompress(nullptr, &len, packed.data(), packed_len) == Result::TOO_SMALL;
    std::vector<uint8_t> sized(len);
    ok &= zlib_uncompress(sized.data(), &len, packed.data(), packed_len) == Result::OK;
  });
  std::vector<uint8_t> gz(n + (n >> 11) + 32);
  double gc = best_of_3([&] {
    gz_len = gz.size();
    ok &= gzip_compress(gz.data(), &gz_len, in, n) == Result::OK;
  });
  double gd = best_of_3([&] {
    len = 0;
    ok &= gzip_uncompress(nullptr, &len, gz.data(), gz_len) == Result::TOO_SMALL;
    ok &= gzip_uncompress(out.data(), &len, gz.data(), gz_len) == Result::OK;
  });
  ok &= len == n && std::equal(out.begin(), out.end(), in);

  std::printf("compress %.3f\ndecompress %.3f\ndecompress-sized %.3f\n", c, d, ds);
  std::printf("gzip-compress %.3f\ngzip-decompress %.3f\n", gc, gd);
  std::printf("size %zu\nzlib-size %zu\ngzip-size %zu\n%s\n", n, packed_len, gz_len, ok ? "ok" : "MISMATCH");
  return ok ? 0 : 1;
}
