// Allocation: one series grown to 10^7 cells by appends, and 10^6 small
// series. Prints the seconds of each part.
#include <chrono>
#include <cstdio>
#include <vector>

#include "memory.h"
#include "runtime_init.h"
#include "series_ops.h"

using namespace vel;

int main() {
  runtime_init_for_tests();
  using clock = std::chrono::steady_clock;

  auto t0 = clock::now();
  NodeId blk = alloc_cells(1);
  for (uint32_t i = 0; i < 10000000; i++) {
    Cell* c = alloc_tail(blk);
    *c = make_cell(TYPE_INTEGER, 0, i);
  }
  auto t1 = clock::now();
  std::vector<NodeId> small;
  small.reserve(1000000);
  for (uint32_t i = 0; i < 1000000; i++) {
    NodeId n = alloc_cells(1);
    *alloc_tail(n) = make_cell(TYPE_INTEGER, 0, i);
    small.push_back(n);
  }
  auto t2 = clock::now();
  // Use the results so nothing is optimised away.
  uint64_t sum = node_buffer(blk)->length();
  for (NodeId n : small) sum += node_buffer(n)->cells()[0].w2;
  std::printf("append %.3f\nsmall %.3f\ncheck %llu\n", std::chrono::duration<double>(t1 - t0).count(),
              std::chrono::duration<double>(t2 - t1).count(), (unsigned long long)sum);
}
