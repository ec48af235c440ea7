// Float text: 10^6 doubles formatted with the shortest round-trip text (the
// molded form) and read back. Half of them are random bit patterns (every
// magnitude, mostly exponent forms), half lie in [0, 10^6). Prints the best
// of three runs of each part; bench/peers/floattext.py does the same with
// repr and float over the same doubles.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "floattext.h"

using namespace vel;

namespace {

// splitmix64: the generator the peer reproduces.
struct SplitMix {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

std::vector<double> make_doubles(size_t n) {
  SplitMix g{20260101};
  std::vector<double> out;
  out.reserve(n);
  while (out.size() < n) {
    uint64_t z = g.next();
    double d;
    if (out.size() % 2 == 0) {
      std::memcpy(&d, &z, sizeof d);
      if (!std::isfinite(d)) continue;
    } else {
      d = double(z >> 11) / 9007199254740992.0 * 1e6;
    }
    out.push_back(d);
  }
  return out;
}

}  // namespace

int main() {
  using clock = std::chrono::steady_clock;
  auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
  const size_t n = 1000000;
  std::vector<double> values = make_doubles(n);
  std::vector<char> text(n * FLOAT_TEXT_MAX);
  std::vector<uint32_t> ends(n);
  double format = 1e9, parse = 1e9;
  for (int run = 0; run < 3; run++) {
    auto t0 = clock::now();
    size_t pos = 0;
    for (size_t i = 0; i < n; i++) {
      pos += size_t(format_float(values[i], text.data() + pos));
      ends[i] = uint32_t(pos);
    }
    auto t1 = clock::now();
    size_t start = 0, bad = 0;
    for (size_t i = 0; i < n; i++) {
      size_t rest = 0;
      double back = string_to_float(text.data() + start, text.data() + ends[i], 0, &rest);
      bad += rest != 0 || std::memcmp(&back, &values[i], sizeof back) != 0;
      start = ends[i];
    }
    auto t2 = clock::now();
    if (bad) {
      std::fprintf(stderr, "%zu values did not read back\n", bad);
      return 1;
    }
    format = std::min(format, secs(t0, t1));
    parse = std::min(parse, secs(t1, t2));
  }
  std::printf("format %.3f\nparse %.3f\n", format, parse);
}
