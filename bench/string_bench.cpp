// find of a 20-character needle in a 50 MB string, and trim of a 50 MB
// string of indented lines. Prints the seconds of each part (the best of
// several runs); bench/peers/string.py does the same work with str.find and
// str.strip.
//
//   find       find (case-insensitive, as `find` is by default)
//   find-case  find/case
//   trim       trim: the ends of the text and of every line
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "datatypes/string.h"
#include "roots.h"
#include "runtime_init.h"
#include "unicode.h"

using namespace vel;

namespace {

std::string make_text(const std::string& line, size_t size) {
  std::string t;
  t.reserve(size + line.size());
  while (t.size() < size) t += line;
  return t;
}

// Frees everything between runs: nothing here needs the collector.
void fresh_memory() {
  memory_free_all();
  memory_init();
  new_node_pool();
  g_mem.current_series_pool = new_series_pool();
}

}  // namespace

int main() {
  runtime_init_for_tests();
  using clock = std::chrono::steady_clock;
  auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
  const size_t size = 50u << 20;

  const std::string needle = "needle in a haystack";  // 20 characters
  std::string hay = make_text("The quick brown fox jumps over the lazy dog, 0123456789 times.\n", size);
  hay += needle;
  double find = 1e9, find_case = 1e9;
  {
    RootedCell h(string::load(hay)), n(string::load(needle));
    for (int run = 0; run < 10; run++) {  // the best of ten
      for (bool case_sensitive : {false, true}) {
        string::FindOptions o;
        o.case_sensitive = case_sensitive;
        auto t0 = clock::now();
        Cell r = string::find(*h, *n, o);
        auto t1 = clock::now();
        if (r.index() != int32_t(hay.size() - needle.size())) {
          std::fprintf(stderr, "find answered the wrong place\n");
          return 1;
        }
        double& best = case_sensitive ? find_case : find;
        best = std::min(best, secs(t0, t1));
      }
    }
  }
  fresh_memory();

  std::string lines = "  \t" + make_text("    The quick brown fox jumps over the lazy dog.   \n", size) + "\n \n";
  double trim = 1e9;
  size_t trimmed = 0;
  for (int run = 0; run < 5; run++) {  // the best of five
    RootedCell s(string::load(lines));
    auto t0 = clock::now();
    (void)string::trim(*s, string::TrimOptions{});
    auto t1 = clock::now();
    trimmed = node_buffer(s->node())->length();
    trim = std::min(trim, secs(t0, t1));
    fresh_memory();
  }
  // Every line loses its indentation and trailing spaces; one line feed
  // stays at the end.
  const size_t indented = 52, kept = 45;
  if (trimmed != (lines.size() - 3 - 3) / indented * kept) {
    std::fprintf(stderr, "trim kept %zu characters\n", trimmed);
    return 1;
  }
  std::printf("find %.4f\nfind-case %.4f\ntrim %.4f\n", find, find_case, trim);
}
