// Hash tables: 10^6 integer keys stored, found and deleted in an
// integer-keyed table (one value cell per entry). Prints the seconds of each
// phase; bench/peers/hash.py and hash.lua do the same with a dict and a table.
#include <chrono>
#include <cstdio>

#include "hashtable.h"
#include "runtime_init.h"

using namespace vel;
namespace ht = vel::hash_table;

int main() {
  runtime_init_for_tests();
  (void)ht::init_seed();
  using clock = std::chrono::steady_clock;
  const uint32_t n = 1000000;
  auto key_of = [](uint32_t i) { return i * 2654435761u; };

  auto t0 = clock::now();
  NodeId t = ht::make(0, 0, ht::KIND_INT, 1);
  for (uint32_t i = 0; i < n; i++) *ht::put_int(t, key_of(i)) = make_cell(TYPE_INTEGER, 0, i);
  auto t1 = clock::now();
  uint64_t sum = 0;
  for (uint32_t i = 0; i < n; i++) sum += ht::get_int(t, key_of(i))->w2;
  auto t2 = clock::now();
  for (uint32_t i = 0; i < n; i++) sum += ht::delete_int(t, key_of(i)) != nullptr;
  auto t3 = clock::now();
  auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
  std::printf("store %.3f\nfind %.3f\ndelete %.3f\ncheck %llu\n", secs(t0, t1), secs(t1, t2), secs(t2, t3),
              (unsigned long long)sum);
}
