// VELBIN: encodes a block of 10^6 mixed values in the compact form (the boot
// image's form) and decodes it back. Prints the best of three runs of each
// and the image size; bench/peers/velbin.py does the same with the same
// values through pickle and marshal.
//
// Value i of the block, by i mod 8: 0, 1 an integer (i * 7919 mod 10^6),
// 2 the float i + 0.25, 3 a new string "s" followed by i mod 10^4, 4, 5 one
// of 16 words, 6 a block of the three integers i, i + 1, i + 2, 7 the logic
// value of i mod 16 = 7.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "collector.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "io/velbin.h"
#include "roots.h"
#include "runtime_init.h"

using namespace vel;

namespace {

const char* const kWords[16] = {"alpha", "beta",  "gamma", "delta", "block", "word",   "path",  "series",
                                "parse", "rule",  "vel",   "script", "Value", "String", "Map",  "Index"};
constexpr int32_t kCount = 1000000;

may_gc Cell make_values() {
  RootedCell out(block::make_at(kCount));
  RootedCell words(block::make_at(16));
  for (const char* w : kWords) block::rs_append(words->node(), word::load(w));
  for (int32_t i = 0; i < kCount; i++) {
    Cell v;
    switch (i % 8) {
      case 0:
      case 1: v = integer_cell(int32_t(int64_t(i) * 7919 % 1000000)); break;
      case 2: v = float_cell(i + 0.25); break;
      case 3: v = string::load("s" + std::to_string(i % 10000)); break;
      case 4:
      case 5: v = node_buffer(words->node())->cells()[(i / 8) % 16]; break;
      case 6: {
        RootedCell b(block::make_at(3));
        for (int32_t k = 0; k < 3; k++) block::rs_append(b->node(), integer_cell(i + k));
        v = *b;
        break;
      }
      default: v = logic_cell(i % 16 == 7); break;
    }
    block::rs_append(out->node(), v);
  }
  return *out;
}

template <class F>
double best_of_three(F f) {
  double best = 1e9;
  for (int r = 0; r < 3; r++) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

}  // namespace

int main() {
  runtime_init_for_tests();
  g_gc.enabled = true;
  RootedCell values(make_values());
  std::vector<uint8_t> image;
  double enc = best_of_three([&] { image = velbin::encode(*values, true); });
  RootedCell back;
  double dec = best_of_three([&] {
    *back = unset_cell();
    *back = velbin::decode(image);
  });
  Cell top = node_buffer(back->node())->cells()[0];
  std::printf("encode %.3f\ndecode %.3f\nimage-bytes %zu\nvalues %d\n", enc, dec, image.size(), block::rs_length(top));
}
