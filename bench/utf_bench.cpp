// UTF-8 decode and encode of 100 MB: ASCII text, and text mixing Latin-1
// and CJK (a UCS-2 string). Prints the seconds of each part;
// bench/peers/utf.py does the same with bytes.decode and str.encode.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

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

}  // namespace

int main() {
  runtime_init_for_tests();
  using clock = std::chrono::steady_clock;
  auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
  const size_t size = 100u << 20;
  struct Part {
    const char* name;
    std::string line;
  } parts[] = {
      {"ascii", "The quick brown fox jumps over the lazy dog, 0123456789 times.\n"},
      {"mixed", "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e \xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE6\x9C\xAC" " and more words.\n"},
  };
  for (const Part& p : parts) {
    std::string text = make_text(p.line, size);
    double dec = 1e9, enc = 1e9;
    for (int run = 0; run < 3; run++) {  // the best of three
      auto t0 = clock::now();
      RootedNode s(load_utf8_buffer(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
      auto t1 = clock::now();
      std::string back = to_utf8(s, 0);
      auto t2 = clock::now();
      if (back != text) {
        std::fprintf(stderr, "round trip failed\n");
        return 1;
      }
      dec = std::min(dec, secs(t0, t1));
      enc = std::min(enc, secs(t1, t2));
      memory_free_all();  // nothing here needs the collector: start each run afresh
      memory_init();
      new_node_pool();
      g_mem.current_series_pool = new_series_pool();
    }
    std::printf("%s-decode %.3f\n%s-encode %.3f\n", p.name, dec, p.name, enc);
  }
}
