// Literals: loads a generated 10 MB source dense in URLs (some with %XX
// escapes), e-mails, files, tags and issues, and a source of the same size
// of plain words. Prints the seconds of each load (collector on, as a
// script runs); bench/peers/literals.py tokenizes the same two sources in
// Python with one regular expression, building the same values.
//
// The items come from the Park-Miller generator (seed 12345): x mod 6
// picks the kind, x div 6 its contents.
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

uint64_t g_x = 12345;
uint64_t step() { return g_x = g_x * 48271 % 2147483647; }

void literal(std::string& out) {
  uint64_t x = step();
  uint64_t k = x % 6, q = x / 6;
  std::string a = std::to_string(q % 1000), b = std::to_string(q / 1000 % 100);
  switch (k) {
    case 0: out += "http://host" + b + ".example.com/path/" + a + "/page.html"; break;
    case 1: out += "https://h.org/a%20b" + a + "/%C3%A9t%C3%A9"; break;
    case 2: out += "user" + a + "@mail" + b + ".org"; break;
    case 3: out += "%dir" + b + "/file" + a + ".txt"; break;
    case 4: out += "<div class=c" + a + ">"; break;
    default: out += "#i" + a + "-" + b; break;
  }
}

void word(std::string& out) {
  static const char* const kStems[8] = {"alpha", "beta", "gamma", "delta", "series", "parse", "value", "index"};
  uint64_t x = step();
  out += kStems[x % 8];
  out += std::to_string(x / 8 % 1000);
}

std::string source(void (*item)(std::string&)) {
  std::string src;
  src.reserve(11u << 20);
  g_x = 12345;
  while (src.size() < 10000000) {
    item(src);
    src += (src.size() % 8 == 0) ? '\n' : ' ';
  }
  return src;
}

double seconds_to_load(const std::string& src, size_t* count) {
  auto t0 = std::chrono::steady_clock::now();
  RootedCell v(lexer::scan(src, lexer::ScanOptions{}).value);
  auto t1 = std::chrono::steady_clock::now();
  *count = size_t(block::rs_length(*v));
  return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main() {
  runtime_init_for_tests();
  g_gc.enabled = true;
  std::string lit = source(literal), words = source(word);
  size_t n = 0, m = 0;
  double tl = seconds_to_load(lit, &n);
  double tw = seconds_to_load(words, &m);
  std::printf("literals %.3f\nwords %.3f\nliteral-items %zu\nword-items %zu\n", tl, tw, n, m);
}
