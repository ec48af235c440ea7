// Collection pause: the wall time of one stop-the-world collection
// (mark, sweep, compact) with 10^6 small blocks alive, each holding two
// integers, all reachable from one rooted block. The first collection
// also frees 10^6 garbage blocks made between the live ones and slides
// the survivors down over them; the later ones find nothing to free and
// show the cost of marking and walking a steady heap. Prints each pause
// and "pause S", the longest, in seconds. The target is under 0.1 s.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "collector.h"
#include "memory.h"
#include "roots.h"
#include "runtime_init.h"
#include "series_ops.h"

using namespace vel;

int main() {
  runtime_init_for_tests();
  g_gc.enabled = true;  // automatic collections may also run while building
  g_gc.verify = false;
  g_gc.stress = 0;
  using clock = std::chrono::steady_clock;

  constexpr uint32_t live = 1000000;
  RootedCell root(series_cell(TYPE_BLOCK, alloc_cells(live)));
  for (uint32_t i = 0; i < live; i++) {
    NodeId garbage = alloc_cells(2);
    *alloc_tail(garbage) = make_cell(TYPE_INTEGER, 0, i);
    NodeId n = alloc_cells(2);
    *alloc_tail(n) = make_cell(TYPE_INTEGER, 0, i);
    *alloc_tail(n) = make_cell(TYPE_INTEGER, 0, i + 1);
    *alloc_tail(root->node()) = series_cell(TYPE_BLOCK, n);
  }

  double longest = 0;
  for (int run = 0; run < 5; run++) {
    auto t0 = clock::now();
    collector_run();
    double s = std::chrono::duration<double>(clock::now() - t0).count();
    longest = std::max(longest, s);
    std::printf("run%d %.4f (freed %llu bytes, %llu in use)\n", run, s, (unsigned long long)g_gc.last_freed,
                (unsigned long long)g_gc.live_after);
  }

  // The survivors must still be intact after the moves.
  Buffer* top = node_buffer(root->node());
  uint64_t sum = 0;
  for (uint32_t i = 0; i < top->length(); i++) sum += node_buffer(top->cells()[i].node())->cells()[1].w2;
  std::printf("blocks %u check %llu\npause %.4f\n", top->length(), (unsigned long long)sum, longest);
}
