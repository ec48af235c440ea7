#include "cycle.h"

#include <algorithm>

#include "errors.h"
#include "roots.h"
#include "unicode.h"

namespace vel {

namespace {

NodeId g_keys[CYCLE_STACK_SIZE];
uint32_t g_top = 0;

}  // namespace

NodeId cycle_key(const Cell& v) {
  switch (v.type()) {
    case TYPE_OBJECT:
    case TYPE_ERROR:
    case TYPE_PORT: return v.w1;
    default: return v.w2;
  }
}

void cycles_push(NodeId key) {
  g_keys[g_top++] = key;
  if (g_top == CYCLE_STACK_SIZE) {
    g_top = 0;
    fire(ErrId::TOO_DEEP);
  }
}

void cycles_pop() {
  if (g_top) g_top--;
}

void cycles_drop(uint32_t n) { g_top -= std::min(n, g_top); }

void cycles_reset() { g_top = 0; }

bool cycles_find(NodeId key) { return std::find(g_keys, g_keys + g_top, key) != g_keys + g_top; }

uint32_t cycles_depth() { return g_top; }

std::span<NodeId> cycles_keys() { return {g_keys, g_top}; }

std::string_view cycle_marker(TypeId type, bool mold) {
  if (!mold) return "...";
  switch (type) {
    case TYPE_BLOCK:
    case TYPE_HASH: return "[...]";
    case TYPE_PAREN: return "(...)";
    case TYPE_MAP: return "#[...]";
    case TYPE_OBJECT: return "make object! [...]";
    case TYPE_PATH:
    case TYPE_LIT_PATH:
    case TYPE_SET_PATH:
    case TYPE_GET_PATH: return "...";
    default: return "";
  }
}

namespace {

// Only values that hold other values can recur; the data word of any other
// value (a char's code point, an integer) may equal a node on the stack.
bool can_recur(TypeId t) {
  switch (t) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH:
    case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_MAP: case TYPE_OBJECT: case TYPE_ERROR:
    case TYPE_PORT:
      return true;
    default:
      return false;
  }
}

}  // namespace

may_gc bool cycles_detect(const Cell& v, NodeId out, int32_t* part, bool mold) {
  if (!can_recur(v.type()) || !cycles_find(cycle_key(v))) return false;
  std::string_view m = cycle_marker(v.type(), mold);
  if (!m.empty()) {
    // Ask for twice the room, so that markers appended one by one do not
    // grow the buffer each time.
    RootedNode s(out);
    Buffer* b = node_buffer(s);
    uint64_t len = b->used() >> b->unit_shift();
    if (b->room() < m.size() * b->unit()) b = reserve_chars(s, std::max<uint64_t>(m.size(), len));
    uint32_t unit = b->unit();
    uint8_t* d = b->tail_ptr();
    for (size_t i = 0; i < m.size(); i++) put_char(d + i * unit, unit, uint8_t(m[i]));
    b->tail += uint32_t(m.size() * unit);
  }
  *part -= int32_t(m.size());
  return true;
}

// ---------------------------------------------------------------------------
// Display width

bool in_ranges(uint32_t cp, const CodeRange* table, size_t count) {
  if (!count || cp < table[0].first || cp > table[count - 1].last) return false;
  // The first range ending at or after cp decides.
  const CodeRange* r =
      std::lower_bound(table, table + count, cp, [](const CodeRange& x, uint32_t c) { return x.last < c; });
  return r != table + count && r->first <= cp;
}

int char_width(uint32_t cp) {
  if (cp == 0) return 0;
  if (cp < 32 || (cp >= 127 && cp < 160)) return 1;
  if (in_ranges(cp, detail::kZeroWidth, detail::kZeroWidthCount)) return 0;
  if (in_ranges(cp, detail::kWide, detail::kWideCount)) return 2;
  return 1;
}

int char_width_cjk(uint32_t cp) {
  if (in_ranges(cp, detail::kAmbiguous, detail::kAmbiguousCount)) return 2;
  return char_width(cp);
}

}  // namespace vel
