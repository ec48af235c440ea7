// Appending text to a string series: the output side of form and mold.
// Each call widens the string when a character needs a wider unit, and
// grows the buffer geometrically, so that appending one character at a time
// costs amortised constant time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "memory.h"

namespace vel {

may_gc void append_char(NodeId out, uint32_t cp);
// ASCII or Latin-1 text (bytes are code points 0-255).
may_gc void append_latin1(NodeId out, std::string_view text);
// A fixed text of form or mold: appends it and answers what is left of
// the length budget `part`.
inline may_gc int32_t append_fixed(NodeId out, std::string_view text, int32_t part) {
  append_latin1(out, text);
  return part - int32_t(text.size());
}
// UTF-8 text; ill-formed bytes are appended as the code points of the bytes.
may_gc void append_utf8(NodeId out, std::string_view text);
// Characters from another string series (any unit), from element index on.
// `from` may be `out` itself.
may_gc void append_chars(NodeId out, NodeId from, uint32_t index, uint32_t count);
// n code points, widening once to the widest of them.
may_gc void append_code_points(NodeId out, const uint32_t* cps, size_t n);
// A new empty string (unit 1) with room for n characters.
may_gc NodeId make_string(uint32_t n);
// The text of a string series as UTF-8 (for tests and diagnostics).
std::string string_text(NodeId s);

// Room for `extra` more characters after the tail at the current unit: the
// buffer grows to at least twice its capacity when short. More than the
// largest buffer raises internal/no-memory. Answers the buffer.
may_gc Buffer* grow_chars(NodeId out, uint64_t extra);

// Collects code points and appends them in chunks: for writers that produce
// one character at a time (mold's escaping). The string must stay reachable
// (rooted) while the sink is used; nothing is written before flush() or a
// full chunk.
class CharSink {
 public:
  explicit CharSink(NodeId out) : out_(out) {}
  CharSink(const CharSink&) = delete;
  CharSink& operator=(const CharSink&) = delete;

  may_gc void put(uint32_t cp) {
    if (n_ == kChunk) flush();
    buf_[n_++] = cp;
  }
  may_gc void flush() {
    if (n_) append_code_points(out_, buf_, n_);
    n_ = 0;
  }
  NodeId out() const { return out_; }

 private:
  static constexpr size_t kChunk = 512;
  NodeId out_;
  size_t n_ = 0;
  uint32_t buf_[kChunk];
};

}  // namespace vel
