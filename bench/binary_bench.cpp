// The text codecs of enbase and debase over 32 MB of bytes: base 64 and base
// 16 each way. Prints the seconds of each part (the best of five runs);
// bench/peers/binary.py does the same work with base64.b64encode/b64decode
// and bytes.hex/bytes.fromhex.
//
//   enbase-64  debase-64  enbase-16  debase-16
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "runtime_init.h"

using namespace vel;

int main() {
  runtime_init_for_tests();
  using clock = std::chrono::steady_clock;
  auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
  const size_t size = 32u << 20;
  std::vector<uint8_t> data(size);
  std::mt19937 rng(7);
  for (auto& b : data) b = uint8_t(rng());

  double best[4] = {1e9, 1e9, 1e9, 1e9};
  std::string text(2 * size + 8, '\0'), back;
  for (int run = 0; run < 5; run++) {
    for (int base : {64, 16}) {
      int k = base == 64 ? 0 : 2;
      auto t0 = clock::now();
      char* end = base == 64 ? binary::encode_64(text.data(), data.data(), size)
                             : binary::encode_16(text.data(), data.data(), size);
      auto t1 = clock::now();
      auto* p = reinterpret_cast<const uint8_t*>(text.data());
      uint32_t n = uint32_t(end - text.data());
      bool ok = base == 64 ? binary::decode_64(p, n, 1, &back) : binary::decode_16(p, n, 1, &back);
      auto t2 = clock::now();
      if (!ok || back.size() != size || std::memcmp(back.data(), data.data(), size) != 0) {
        std::fprintf(stderr, "base %d did not round-trip\n", base);
        return 1;
      }
      best[k] = std::min(best[k], secs(t0, t1));
      best[k + 1] = std::min(best[k + 1], secs(t1, t2));
    }
  }
  std::printf("enbase-64 %.4f\ndebase-64 %.4f\nenbase-16 %.4f\ndebase-16 %.4f\n", best[0], best[1], best[2], best[3]);
  return 0;
}
