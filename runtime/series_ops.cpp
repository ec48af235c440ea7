#include "series_ops.h"

#include <cmath>
#include <cstring>

#include "errors.h"

namespace vel {

may_gc Cell* alloc_tail(NodeId block) {
  Buffer* b = node_buffer(block);
  if (b->tail + sizeof(Cell) > b->capacity) b = expand_series(block, 0);
  Cell* c = b->cell_tail();
  c->header = TYPE_UNSET;
  b->tail += sizeof(Cell);
  series_changed(block);
  return c;
}

may_gc uint32_t reserve_tail(NodeId series, uint32_t n) {
  Buffer* b = node_buffer(series);
  if (uint64_t(b->tail) + n > b->capacity) {
    uint64_t want = b->capacity < n ? uint64_t(n) * 2 : uint64_t(b->capacity) * 2;
    // Twice the capacity may still be short when the head sits far in.
    if (want < uint64_t(b->used()) + n) want = (uint64_t(b->used()) + n) * 2;
    b = expand_series(series, want);
  }
  uint32_t old = b->tail;
  b->tail += n;
  series_changed(series);
  return old;
}

may_gc NodeId copy_part(NodeId series, uint32_t start, uint32_t count) {
  uint32_t unit = node_buffer(series)->unit();
  NodeId copy = alloc_series(count, unit, 0);
  Buffer* from = node_buffer(series);
  Buffer* to = node_buffer(copy);
  uint32_t len = from->length();
  if (start > len) start = len;
  if (count > len - start) count = len - start;
  std::memcpy(to->data(), from->head_ptr() + size_t(start) * unit, size_t(count) * unit);
  to->tail = count * unit;
  to->flags = (from->flags & ~(BUF_OWNED | BUF_BIG | BUF_MIDDLE | BUF_FIXED | BUF_MARK | BUF_LIBRARY)) |
              (to->flags & BUF_BIG) | BUF_IN_USE;
  return copy;
}

uint8_t* repeat_in_place(uint8_t* start, uint32_t elem_size, uint32_t count) {
  if (count == 0) return start;
  size_t total = size_t(elem_size) * count;
  size_t done = elem_size;
  while (done < total) {
    size_t n = done <= total - done ? done : total - done;
    std::memcpy(start + done, start, n);
    done += n;
  }
  return start + total;
}

may_gc void append_ascii(NodeId string, const char* text, uint32_t len) {
  uint32_t unit = node_buffer(string)->unit();
  uint32_t at = reserve_tail(string, len * unit);
  uint8_t* p = node_buffer(string)->data() + at;
  switch (unit) {
    case 1: std::memcpy(p, text, len); break;
    case 2:
      for (uint32_t i = 0; i < len; i++) {
        uint16_t c = uint8_t(text[i]);
        std::memcpy(p + 2 * i, &c, 2);
      }
      break;
    default:
      for (uint32_t i = 0; i < len; i++) {
        uint32_t c = uint8_t(text[i]);
        std::memcpy(p + 4 * i, &c, 4);
      }
      break;
  }
}

may_gc int32_t indent(NodeId string, int32_t n, int32_t width) {
  for (int32_t i = 0; i < n; i++) append_ascii(string, "    ", 4);
  return width - 4 * n;
}

int32_t check_float_to_int(const Cell& v) {
  if (!v.is(TYPE_FLOAT)) return v.i2();
  double d = v.f64();
  if (!(d >= -2147483648.0 && d <= 2147483647.0)) fire(ErrId::OUT_OF_RANGE, v);
  return int32_t(std::trunc(d));
}

}  // namespace vel
