// Sorting: a block of 10^6 integers and a block of 10^6 strings (4 to 19
// lowercase letters) through the sort action (quicksort for sort, the merge
// sort for sort/stable; a block of integers only takes the radix sort in
// both), and the C library's qsort over the same cells with the compare
// action as its comparator. Prints the best of three runs of each;
// bench/peers/sort.py sorts the same values with sorted.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "action_frames.h"
#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "roots.h"
#include "runtime_init.h"
#include "sort.h"

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

const uint32_t kCount = 1000000;

may_gc Cell make_ints() {
  SplitMix g{424242};
  RootedCell b(block::make_at(kCount));
  for (uint32_t i = 0; i < kCount; i++) block::rs_append(b->node(), integer_cell(int32_t(uint32_t(g.next() >> 32))));
  return *b;
}

may_gc Cell make_strings() {
  SplitMix g{515151};
  RootedCell b(block::make_at(kCount));
  std::string s;
  for (uint32_t i = 0; i < kCount; i++) {
    size_t len = 4 + (g.next() & 15);
    s.clear();
    while (s.size() < len) {
      uint64_t w = g.next();
      for (int k = 0; k < 12 && s.size() < len; k++) s += char('a' + ((w >> (5 * k)) & 31) % 26);
    }
    RootedNode text(make_string(uint32_t(len)));
    append_latin1(text, s);
    block::rs_append(b->node(), series_cell(TYPE_STRING, text));
  }
  return *b;
}

int compare_cells_sort(const void* a, const void* b, void*, uint32_t) {
  return compare_cells(static_cast<const Cell*>(a), static_cast<const Cell*>(b), CMP_SORT);
}

int compare_cells_qsort(const void* a, const void* b) { return compare_cells_sort(a, b, nullptr, 0); }

enum class Algo { QUICK, MERGE, QSORT };

// Best of three sorts of a fresh copy of the source block; checks the order.
may_gc double time_sort(const Cell& source, Algo algo) {
  using clock = std::chrono::steady_clock;
  RootedCell src(source);
  RootedCell work(block::make_at(kCount));
  double best = 1e9;
  for (int run = 0; run < 3; run++) {
    Buffer* w = node_buffer(work->node());
    std::memcpy(w->cells(), node_buffer(src->node())->cells(), size_t(kCount) * sizeof(Cell));
    w->tail = w->head + kCount * uint32_t(sizeof(Cell));
    auto t0 = clock::now();
    if (algo == Algo::QSORT) {
      std::qsort(node_buffer(work->node())->cells(), kCount, sizeof(Cell), compare_cells_qsort);
    } else {
      // The sort action, as `sort` and `sort/stable` run it on a block.
      if (algo == Algo::MERGE)
        call_action(act::sort::SHAPE, {{act::sort::SERIES, *work}, {act::sort::STABLE, logic_cell(true)}});
      else
        call_action(act::sort::SHAPE, {{act::sort::SERIES, *work}});
    }
    best = std::min(best, std::chrono::duration<double>(clock::now() - t0).count());
    const Cell* c = node_buffer(work->node())->cells();
    for (uint32_t i = 1; i < kCount; i++) {
      if (compare_cells(&c[i - 1], &c[i], CMP_SORT) > 0) {
        std::fprintf(stderr, "not sorted at %u\n", i);
        std::exit(1);
      }
    }
  }
  return best;
}

}  // namespace

int main() {
  runtime_init_for_tests();
  RootedCell ints(make_ints());
  RootedCell strings(make_strings());
  std::printf("ints %.3f\n", time_sort(*ints, Algo::QUICK));
  std::printf("strings %.3f\n", time_sort(*strings, Algo::QUICK));
  std::printf("ints-stable %.3f\n", time_sort(*ints, Algo::MERGE));
  std::printf("strings-stable %.3f\n", time_sort(*strings, Algo::MERGE));
  std::printf("qsort-ints %.3f\n", time_sort(*ints, Algo::QSORT));
  std::printf("qsort-strings %.3f\n", time_sort(*strings, Algo::QSORT));
}
