#include "casefold.h"

#include <algorithm>

#include "fatal.h"
#include "roots.h"
#include "unicode.h"

namespace vel {

uint32_t to_upper_slow(uint32_t cp) {
  if (cp >= detail::kCaseLimit) return cp;
  return uint32_t(int64_t(cp) + detail::case_record(cp).upper);
}

uint32_t to_lower_slow(uint32_t cp) {
  if (cp >= detail::kCaseLimit) return cp;
  return uint32_t(int64_t(cp) + detail::case_record(cp).lower);
}

uint32_t fold_lower_slow(uint32_t cp) {
  if (cp >= detail::kCaseLimit) return cp;
  return uint32_t(int64_t(cp) + detail::case_record(cp).fold);
}

uint32_t swap_case_cp(uint32_t cp) {
  uint32_t up = to_upper_cp(cp);
  return up != cp ? up : to_lower_cp(cp);
}

namespace {

template <class T>
size_t change_case_elements(uint8_t* p, size_t n, bool upper) {
  constexpr uint32_t kMax = sizeof(T) == 1 ? 0xFF : (sizeof(T) == 2 ? 0xFFFF : 0xFFFFFFFF);
  for (size_t i = 0; i < n; i++) {
    T c;
    std::memcpy(&c, p + i * sizeof(T), sizeof c);
    uint32_t m = change_case_cp(c, upper);
    if (m == c) continue;
    if (m > kMax) return i;
    T w = T(m);
    std::memcpy(p + i * sizeof(T), &w, sizeof w);
  }
  return n;
}

}  // namespace

size_t change_case_run(uint8_t* p, size_t n, uint32_t unit, bool upper) {
  switch (unit) {
    case 1: return change_case_elements<uint8_t>(p, n, upper);
    case 2: return change_case_elements<uint16_t>(p, n, upper);
    case 4: return change_case_elements<uint32_t>(p, n, upper);
    default: fatal_error(101, 0);
  }
}

may_gc void change_case(NodeId series, int64_t index, int64_t count, bool upper) {
  RootedNode s(series);
  Buffer* b = node_buffer(s);
  uint64_t len = b->used() >> b->unit_shift();
  uint64_t at = index <= 0 ? 0 : std::min<uint64_t>(uint64_t(index), len);
  uint64_t n = count <= 0 ? 0 : std::min<uint64_t>(uint64_t(count), len - at);
  while (n) {
    b = node_buffer(s);
    uint32_t unit = b->unit();
    size_t done = change_case_run(b->head_ptr() + at * unit, size_t(n), unit, upper);
    at += done;
    n -= done;
    if (!n) break;
    // The character at `at` maps beyond the unit: widen, then go on there.
    widen(s, unit_for_cp(change_case_cp(get_char(b->head_ptr() + at * unit, unit), upper)));
  }
}

void case_folding_init() {}

}  // namespace vel
