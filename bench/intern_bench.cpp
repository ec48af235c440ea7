// Symbol interning: 10^6 distinct words interned once, then 10^7 interns of
// words already present (ten passes over them). The texts are made before
// timing, as the peer's strings are. Prints the seconds of each phase;
// bench/peers/intern.py does the same with sys.intern.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "datatypes/symbol.h"
#include "runtime_init.h"

using namespace vel;

int main() {
  runtime_init_for_tests();
  using clock = std::chrono::steady_clock;
  const uint32_t n = 1000000, passes = 10;
  std::vector<std::string> texts;
  texts.reserve(n);
  for (uint32_t i = 0; i < n; i++) texts.push_back("word-" + std::to_string(i * 2654435761u));

  auto t0 = clock::now();
  uint64_t check = 0;
  for (const std::string& t : texts) check += symbol::make(t);
  auto t1 = clock::now();
  for (uint32_t p = 0; p < passes; p++)
    for (const std::string& t : texts) check += symbol::make(t);
  auto t2 = clock::now();
  auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
  std::printf("distinct %.3f\nrepeated %.3f\ncheck %llu\n", secs(t0, t1), secs(t1, t2), (unsigned long long)check);
}
