// Helpers shared by the text tests: strings built from code points and
// read back.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "error_of.h"
#include "errors.h"
#include "memory.h"
#include "unicode.h"

namespace vel::texttest {

using Chars = std::vector<uint32_t>;

// A string series of `unit` holding cps, with room for at least `room`
// characters; head_offset -1 puts the head in the middle of the buffer.
inline NodeId make_string(const Chars& cps, uint32_t unit, int32_t head_offset = 0, size_t room = 0) {
  NodeId n = alloc_series(std::max<size_t>({cps.size(), room, 1}), unit, head_offset);
  Buffer* b = node_buffer(n);
  for (size_t i = 0; i < cps.size(); i++) put_char(b->head_ptr() + i * unit, unit, cps[i]);
  b->tail = b->head + uint32_t(cps.size() * unit);
  return n;
}

inline Chars chars_of(NodeId s) {
  Buffer* b = node_buffer(s);
  Chars out;
  for (uint32_t i = 0, n = b->length(); i < n; i++) out.push_back(get_char(b->head_ptr() + i * b->unit(), b->unit()));
  return out;
}

inline Chars ascii(const char* s) {
  Chars out;
  while (*s) out.push_back(uint8_t(*s++));
  return out;
}

inline std::vector<uint8_t> bytes_of_binary(const Cell& c) {
  Buffer* b = node_buffer(c.node());
  return std::vector<uint8_t>(b->head_ptr() + c.index(), b->tail_ptr());
}

}  // namespace vel::texttest
