// Blocks: 10^7 integers appended one by one through the block API, then a
// 10^6-value block of integers, floats, words and two-value blocks molded.
// Prints the seconds of each phase; bench/peers/block_append.py and .lua do
// the same with a list (list.append, repr) and a table.
#include <chrono>
#include <cstdio>

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/word.h"
#include "roots.h"
#include "runtime_init.h"

using namespace vel;

int main() {
  runtime_init_for_tests();
  using clock = std::chrono::steady_clock;
  auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };

  auto t0 = clock::now();
  RootedCell big(block::make_at(1));
  for (int32_t i = 0; i < 10000000; i++) block::rs_append(big->node(), integer_cell(i));
  auto t1 = clock::now();

  const uint32_t n = 1000000;
  RootedCell mixed(block::make_at(n));
  RootedCell word(word::load("word"));
  for (uint32_t i = 0; i < n; i++) {
    int32_t v = int32_t(i);
    switch (i % 4) {
      case 0: block::rs_append(mixed->node(), integer_cell(v)); break;
      case 1: block::rs_append(mixed->node(), float_cell(v + 0.25)); break;
      case 2: block::rs_append(mixed->node(), *word); break;
      default: {
        Cell pair = block::make_at(2);
        block::rs_append(pair.node(), integer_cell(v));
        block::rs_append(pair.node(), integer_cell(v + 1));
        block::rs_append(mixed->node(), pair);
      }
    }
  }
  auto t2 = clock::now();
  RootedNode out(make_string(16));
  mold_value(*mixed, out);
  auto t3 = clock::now();
  std::printf("append %.3f\nmold %.3f\ncheck %u %u\n", secs(t0, t1), secs(t2, t3), block::total(*big),
              node_buffer(out)->length());
}
