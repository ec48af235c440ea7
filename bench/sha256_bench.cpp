// SHA-256 of 100 MiB generated in memory (byte i = ((i*i + 7*i) >> 3) & 255,
// the sha256 peer's input), through the checksum module's digest. Prints
// the seconds taken and the digest.
#include <chrono>
#include <cstdio>
#include <vector>

#include "checksum.h"

int main(int argc, char** argv) {
  const size_t size = size_t(100) << 20;
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; i++) data[i] = uint8_t(((uint64_t(i) * i + 7 * uint64_t(i)) >> 3) & 255);
  // With a path, the bytes are also written there for sha256sum to read.
  if (argc > 1) {
    FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(data.data(), 1, size, f) != size) return 1;
    std::fclose(f);
  }
  uint8_t out[32];
  auto t0 = std::chrono::steady_clock::now();
  vel::checksum::digest(vel::checksum::Method::SHA256, data.data(), size, out);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("sha256 %.3f ", s);
  for (uint8_t b : out) std::printf("%02x", b);
  std::printf("\n");
  return 0;
}
