#include "datatypes/symbol.h"

#include <cstring>

#include "casefold.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "roots.h"
#include "unicode.h"

namespace vel::symbol {

NodeId g_table = 0;

namespace {

inline Cell* cell_at(uint32_t id) { return &node_buffer(g_block)->cells()[id - 1]; }

// Makes the cell of a new symbol for the hash table, which appends it to the
// block. The block gets its room first, so that the append cannot allocate
// while the new text series is reachable from nothing but this cell.
may_gc Cell make_symbol_cell(void*, const uint8_t* text, uint32_t length, int32_t alias_index) {
  if (node_buffer(g_block)->room() < sizeof(Cell)) expand_series(g_block, 0);
  NodeId t = alloc_bytes(uint64_t(length) + 1);
  Buffer* b = node_buffer(t);
  if (length) std::memcpy(b->data(), text, length);
  b->data()[length] = 0;
  b->tail = length;
  int32_t alias = alias_index < 0 ? -1 : alias_index + 1;
  return make_cell(TYPE_SYMBOL, uint32_t(alias), 0, t);
}

may_gc uint32_t intern(std::string_view text, bool exact) {
  if (!g_table) fire(ErrId::INVALID_ARG);  // interning before start-up made the table
  if (text.size() > MAX_CAPACITY) fire(ErrId::SIZE_LIMIT);
  hash_table::InternResult r = hash_table::intern_symbol(
      g_table, reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), exact, make_symbol_cell, nullptr);
  return r.index + 1;
}

// Code points of UTF-8 text; an ill-formed byte stands for itself, as the
// display text shows it.
struct Utf8Reader {
  const uint8_t* p;
  const uint8_t* end;
  bool done() const { return p >= end; }
  uint32_t next() {
    if (*p < 0x80) return *p++;
    uint32_t len = 0;
    int32_t cp = decode_utf8_checked(p, size_t(end - p), &len);
    if (cp < 0 || len == 0) return *p++;
    p += len;
    return uint32_t(cp);
  }
};

int32_t compare_utf8(std::string_view a, std::string_view b, int op) {
  bool fold = op != CMP_STRICT_EQUAL && op != CMP_CASE_SORT;
  Utf8Reader x{reinterpret_cast<const uint8_t*>(a.data()), reinterpret_cast<const uint8_t*>(a.data()) + a.size()};
  Utf8Reader y{reinterpret_cast<const uint8_t*>(b.data()), reinterpret_cast<const uint8_t*>(b.data()) + b.size()};
  while (!x.done() && !y.done()) {
    uint32_t c = x.next(), d = y.next();
    if (fold) {
      c = to_upper_cp(c);
      d = to_upper_cp(d);
    }
    if (c != d) return c < d ? -1 : 1;
  }
  if (x.done() && y.done()) return 0;
  return x.done() ? -1 : 1;
}

std::string_view node_text(NodeId n) {
  if (!n) return {};
  Buffer* b = node_buffer(n);
  return {reinterpret_cast<const char*>(b->head_ptr()), b->used()};
}

// symbol! values compare by text; same? by identity of the text.
int32_t symbol_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_SYMBOL)) return CMP_INCOMPARABLE;
  return compare_cells_text(*a, *b, op);
}

}  // namespace

void init_block() {
  register_root_node("symbol block", &g_block);
  g_block = alloc_cells(INITIAL_SYMBOLS);
}

void init_table() {
  if (!g_block) init_block();
  register_root_table("symbol hash table", &g_table);
  g_table = hash_table::make(INITIAL_SYMBOLS, g_block, hash_table::KIND_WORDS);
}

may_gc uint32_t make(std::string_view utf8) { return intern(utf8, true); }

may_gc uint32_t make_star(std::string_view utf8) { return intern(utf8, false); }

may_gc uint32_t make_from_string(const Cell& string, int32_t limit) {
  if (!string.node()) fire(ErrId::INVALID_ARG, string);
  std::string text = to_utf8(string.node(), string.index() < 0 ? 0 : string.index(), limit < 0 ? -1 : limit);
  return make(text);
}

int32_t get_alias(uint32_t id) { return valid(id) ? int32_t(cell_at(id)->w1) : -1; }

Cell get(uint32_t id) { return valid(id) ? *cell_at(id) : Cell{}; }

std::string_view text(uint32_t id) { return valid(id) ? node_text(cell_at(id)->w3) : std::string_view{}; }

may_gc NodeId cached_text(uint32_t id) {
  if (!valid(id)) return 0;
  if (NodeId n = cell_at(id)->w2) return n;
  uint32_t len = node_buffer(cell_at(id)->w3)->used();
  RootedNode s(make_string(len));
  // The text is read again after each allocation: it lives in a series.
  std::string copy(text(id));
  append_utf8(s, copy);
  cell_at(id)->w2 = s;
  return s;
}

int32_t compare_text(uint32_t a, uint32_t b, int op) {
  if (op == CMP_SAME) return a == b ? 0 : -1;
  return compare_utf8(text(a), text(b), op);
}

int32_t compare_cells_text(const Cell& a, const Cell& b, int op) {
  if (op == CMP_SAME) return a.w3 == b.w3 ? 0 : -1;
  return compare_utf8(node_text(a.w3), node_text(b.w3), op);
}

}  // namespace vel::symbol

namespace vel {

void register_type_SYMBOL() { TypeBuilder(TYPE_SYMBOL).compare(symbol::symbol_compare).done(); }

}  // namespace vel
