// Set operations and find on blocks of 10^6 integers, run as Vel code over
// blocks made here: unique of one block, union of two, then find of the
// last value and of an absent one in a block of 10^6 distinct integers.
// Prints the best of three runs of each (and the results on stderr);
// bench/peers/sets.py does the same with set(), set.union and list.index.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/word.h"
#include "evaluator/script.h"
#include "roots.h"
#include "startup.h"

using namespace vel;

namespace {

const uint32_t kCount = 1000000;

// The peer's generator: x = x * 48271 mod (2^31 - 1).
struct Lcg {
  uint64_t x = 42;
  uint32_t next() { return uint32_t(x = x * 48271 % 2147483647); }
};

may_gc void define(const char* name, const Cell& value) {
  RootedCell v(value);
  Cell w = word::load(name);
  context::put_value(context::g_global, w.w2, *v);
}

may_gc Status run_text(const char* code) {
  RootedCell block(load_text(code));
  return run_code(*block);
}

double best_of_three(const char* code) {
  double best = 1e9;
  for (int r = 0; r < 3; r++) {
    auto t0 = std::chrono::steady_clock::now();
    (void)run_text(code);
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

int run() {
  start_runtime();
  Lcg g;
  {
    // Two blocks of values below 700000: about half of each repeats.
    RootedCell a(block::make_at(kCount)), b(block::make_at(kCount)), d(block::make_at(kCount));
    for (uint32_t i = 0; i < kCount; i++) block::rs_append(a->node(), integer_cell(int32_t(g.next() % 700000)));
    for (uint32_t i = 0; i < kCount; i++) block::rs_append(b->node(), integer_cell(int32_t(g.next() % 700000)));
    for (uint32_t i = 0; i < kCount; i++) block::rs_append(d->node(), integer_cell(int32_t(i * 7)));
    define("a", *a);
    define("b", *b);
    define("d", *d);
  }
  double unique = best_of_three("u: unique a");
  double onion = best_of_three("v: union a b");
  double find_last = best_of_three("f: find d 6999993");
  double find_absent = best_of_three("g: find d -1");
  std::printf("unique %.4f\nunion %.4f\nfind %.4f\nfind-absent %.4f\n", unique, onion, find_last, find_absent);
  // The results, on stderr, to hold against the peer's.
  (void)run_text("check: reduce [length? u length? v index? f g = none]");
  Cell check = *context::word_value_cell(context::g_global, word::load("check").w2);
  RootedNode text(make_string(64));
  form_value(check, text);
  std::fprintf(stderr, "check %s\n", string_text(text).c_str());
  return 0;
}

}  // namespace

int main() { return run_with_big_stack(run); }
