// Lexer: loads a generated 20 MB source (words, integers, floats, strings,
// blocks nested up to 4 deep, one top-level item per line). Prints the
// seconds of the load with the collector on, as a script runs, and off;
// bench/peers/lexer.py loads the same items as JSON with json.loads and
// bench/peers/lexer.lua as a table constructor with load.
//
// The items come from the Park-Miller generator (seed 12345): x mod 10
// picks the kind, x div 10 its contents.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "collector.h"
#include "datatypes/block.h"
#include "io/lexer.h"
#include "roots.h"
#include "runtime_init.h"

using namespace vel;

namespace {

const char* const kWords[16] = {"alpha", "beta",  "gamma", "delta", "block", "word",   "path",  "series",
                                "parse", "rule",  "vel",   "script", "Value", "String", "Map",  "Index"};

uint64_t g_x = 12345;
uint64_t step() { return g_x = g_x * 48271 % 2147483647; }

void item(std::string& out, int depth) {
  uint64_t x = step();
  uint64_t k = x % 10, q = x / 10;
  char buf[32];
  if (k <= 3 || (k >= 8 && depth >= 4)) {
    out += kWords[q % 16];
  } else if (k <= 5) {
    out += std::to_string(q % 100000);
  } else if (k == 6) {
    std::snprintf(buf, sizeof buf, "%llu.%02llu", (unsigned long long)(q % 1000), (unsigned long long)(q / 1000 % 100));
    out += buf;
  } else if (k == 7) {
    out += "\"s" + std::to_string(q % 10000) + "\"";
  } else {
    out += '[';
    for (uint64_t i = 0, n = 1 + q % 8; i < n; i++) {
      if (i) out += ' ';
      item(out, depth + 1);
    }
    out += ']';
  }
}

double seconds_to_load(const std::string& src, size_t* count) {
  auto t0 = std::chrono::steady_clock::now();
  lexer::ScanOptions o;
  RootedCell v(lexer::scan(src, o).value);
  auto t1 = std::chrono::steady_clock::now();
  *count = size_t(block::rs_length(*v));
  return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main() {
  runtime_init_for_tests();
  std::string src;
  src.reserve(21u << 20);
  while (src.size() < 20000000) {
    item(src, 0);
    src += '\n';
  }
  size_t n = 0, m = 0;
  g_gc.enabled = true;
  double on = seconds_to_load(src, &n);
  g_gc.enabled = false;
  double off = seconds_to_load(src, &m);
  std::printf("load %.3f\nload-no-gc %.3f\nbytes %zu\nitems %zu\ncollections %u\n", on, off, src.size(), m, g_gc.cycles);
}
