#include "datatypes/strout.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "errors.h"
#include "unicode.h"

namespace vel {

may_gc Buffer* grow_chars(NodeId out, uint64_t extra) {
  Buffer* b = node_buffer(out);
  if (extra > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
  uint64_t need = uint64_t(b->tail) + extra * b->unit();
  if (need <= b->capacity) return b;
  uint64_t used = uint64_t(b->used()) + extra * b->unit();
  if (used > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
  uint64_t want = std::max<uint64_t>(used, uint64_t(b->capacity) * 2);
  return expand_series(out, std::min<uint64_t>(want, MAX_CAPACITY));
}

may_gc void append_char(NodeId out, uint32_t cp) {
  Buffer* b = node_buffer(out);
  uint32_t need = unit_for_cp(cp);
  if (need > b->unit()) widen(out, need, 1);
  b = grow_chars(out, 1);
  uint32_t unit = b->unit();
  put_char(b->tail_ptr(), unit, cp);
  b->tail += unit;
}

may_gc void append_latin1(NodeId out, std::string_view text) {
  if (text.empty()) return;
  Buffer* b = grow_chars(out, text.size());
  uint32_t unit = b->unit();
  uint8_t* p = b->tail_ptr();
  if (unit == 1) {
    std::memcpy(p, text.data(), text.size());
  } else {
    for (size_t i = 0; i < text.size(); i++) put_char(p + i * unit, unit, uint8_t(text[i]));
  }
  b->tail += uint32_t(text.size() * unit);
}

may_gc void append_utf8(NodeId out, std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  size_t n = text.size(), i = 0;
  while (i < n) {
    // Runs of ASCII go in one piece.
    size_t j = i;
    while (j < n && p[j] < 0x80) j++;
    if (j > i) {
      append_latin1(out, std::string_view(text.data() + i, j - i));
      i = j;
      continue;
    }
    uint32_t len = 0;
    int32_t cp = decode_utf8_checked(p + i, n - i, &len);
    if (cp < 0 || len == 0) {
      append_char(out, p[i]);
      i++;
    } else {
      append_char(out, uint32_t(cp));
      i += len;
    }
  }
}

may_gc void append_chars(NodeId out, NodeId from, uint32_t index, uint32_t count) {
  if (count == 0) return;
  uint32_t from_unit = node_buffer(from)->unit();
  if (from_unit > node_buffer(out)->unit()) widen(out, from_unit, count);
  Buffer* b = grow_chars(out, count);
  Buffer* f = node_buffer(from);  // after the allocation
  from_unit = f->unit();          // widening `out` widened `from` too when they are one series
  uint32_t unit = b->unit();
  const uint8_t* src = f->head_ptr() + size_t(index) * from_unit;
  uint8_t* dst = b->tail_ptr();
  if (unit == from_unit) {
    std::memmove(dst, src, size_t(count) * unit);
  } else {
    for (uint32_t i = 0; i < count; i++) put_char(dst + size_t(i) * unit, unit, get_char(src + size_t(i) * from_unit, from_unit));
  }
  b->tail += count * unit;
}

may_gc void append_code_points(NodeId out, const uint32_t* cps, size_t n) {
  if (n == 0) return;
  uint32_t widest = 0;
  for (size_t i = 0; i < n; i++) widest |= cps[i];
  uint32_t need = unit_for_cp(widest);
  if (need > node_buffer(out)->unit()) widen(out, need, n);
  Buffer* b = grow_chars(out, n);
  uint32_t unit = b->unit();
  uint8_t* dst = b->tail_ptr();
  switch (unit) {
    case 1:
      for (size_t i = 0; i < n; i++) dst[i] = uint8_t(cps[i]);
      break;
    case 2:
      for (size_t i = 0; i < n; i++) put_char(dst + 2 * i, 2, cps[i]);
      break;
    default:
      std::memcpy(dst, cps, n * 4);
  }
  b->tail += uint32_t(n * unit);
}

may_gc NodeId make_string(uint32_t n) { return alloc_series_unit(n, 1); }

std::string string_text(NodeId s) { return to_utf8(s, 0); }

}  // namespace vel
