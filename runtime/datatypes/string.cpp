// string!: character storage, the low-level character operations, and the
// registration of string!. The actions live in string_mold.cpp
// (conversion, form, mold), string_search.cpp (comparison, find, select,
// paths) and string_modify.cpp (editing). The types that share its cell
// (file!, url!, tag!, email!, ref!) register in files of their own.
#include "datatypes/string.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "eval.h"
#include "datatypes/series_actions.h"
#include "datatypes/string_impl.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "fatal.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel::string {

namespace detail {

namespace {
std::array<uint32_t, 256> make_upper_latin1() {
  std::array<uint32_t, 256> t{};
  for (uint32_t c = 0; c < 256; c++) t[c] = to_upper_cp(c);
  return t;
}
// Built on first use: the case tables are constant data, ready before any
// code runs.
const std::array<uint32_t, 256>& upper_latin1() {
  static const std::array<uint32_t, 256> t = make_upper_latin1();
  return t;
}
}  // namespace

const uint32_t* const kUpperLatin1 = upper_latin1().data();

int64_t part_count(const Cell& s, const Cell& part) {
  if (part.is(TYPE_INTEGER)) return part.i2();
  if (part.is(TYPE_FLOAT)) return check_float_to_int(part);
  if (part.type() == s.type() && part.node() == s.node()) {
    int64_t total = node_buffer(s.node())->length();
    int64_t pi = std::clamp<int64_t>(part.index(), 0, total);
    int64_t si = std::clamp<int64_t>(s.index(), 0, total);
    return pi - si;
  }
  fire_refine_arg("part", part);
}

}  // namespace detail

using detail::clamp_index;

// --- cells and access ----------------------------------------------------------------

may_gc Cell make_at_unit(Cell* c, uint32_t n, uint32_t unit, TypeId t) {
  NodeId node = alloc_series_unit(n ? n : 1, unit);
  *c = cell_of(node, 0, t);
  return *c;
}

may_gc Cell make_at(Cell* c, uint32_t n, TypeId t) { return make_at_unit(c, n, 1, t); }

may_gc Cell load(std::string_view utf8, TypeId t) {
  NodeId n = load_utf8_buffer(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size());
  return cell_of(n, 0, t);
}

may_gc Cell load_at(const void* src, int64_t length, const Cell* into, int encoding) {
  NodeId target = (into && is_any_string(into->type())) ? into->node() : 0;
  NodeId n;
  if (encoding == LOAD_UTF8) {
    n = load_utf8(ByteSource::memory(src), length < 0 ? 0 : uint64_t(length), target, nullptr, false);
  } else if (encoding == LOAD_UTF16LE) {
    n = load_utf16(ByteSource::memory(src), length, target, false);
  } else {
    startup_fault("*** Loading Error: input encoding unsupported");
  }
  return target ? *into : cell_of(n);
}

int32_t rs_length(Cell* s) { return series_length(s); }

uint32_t rs_head_index(Cell* s) { return clamp_index(s); }

uint8_t* rs_head(Cell* s) {
  uint32_t i = clamp_index(s);
  Buffer* b = node_buffer(s->node());
  return b->head_ptr() + size_t(i) * b->unit();
}

bool rs_tail_q(const Cell& s) { return series_at_tail(s); }

uint32_t rs_abs_at(const Cell& s, uint32_t i) {
  Buffer* b = node_buffer(s.node());
  return get_char(b->head_ptr() + size_t(i) * b->unit(), b->unit());
}

void rs_reset(Cell* s) {
  Buffer* b = node_buffer(s->node());
  b->flags = (b->flags & ~BUF_UNIT_MASK) | 1;
  b->tail = b->head;
  s->w1 = 0;
}

int32_t rs_find_char(const Cell& s, uint32_t cp) {
  detail::View v = detail::view_of(s);
  if (v.unit == 1) {
    if (cp > 0xFF || v.len == 0) return -1;
    const void* hit = std::memchr(v.p, int(cp), v.len);
    return hit ? int32_t(static_cast<const uint8_t*>(hit) - v.p) : -1;
  }
  for (uint32_t i = 0; i < v.len; i++)
    if (v.at(i) == cp) return int32_t(i);
  return -1;
}

bool starts_with(const Cell& s, std::string_view text) {
  detail::View v = detail::view_of(s);
  if (text.size() > v.len) return false;
  for (size_t i = 0; i < text.size(); i++)
    if (v.at(uint32_t(i)) != uint8_t(text[i])) return false;
  return true;
}

void truncate(NodeId s, uint32_t n) {
  Buffer* b = node_buffer(s);
  if (b->length() > n) b->tail = b->head + (n << b->unit_shift());
}

void remove_part(NodeId s, uint32_t i, uint32_t n) {
  Buffer* b = node_buffer(s);
  uint32_t len = b->length();
  if (i >= len || n == 0) return;
  n = std::min(n, len - i);
  uint32_t u = b->unit();
  uint8_t* p = b->head_ptr();
  std::memmove(p + size_t(i) * u, p + size_t(i + n) * u, size_t(len - i - n) * u);
  b->tail -= n * u;
}

void remove_char(NodeId s, uint32_t i) { remove_part(s, i, 1); }

may_gc void overwrite_char(NodeId s, uint32_t i, uint32_t cp) {
  if (unit_for_cp(cp) > node_buffer(s)->unit()) widen(s, unit_for_cp(cp), 1);
  Buffer* b = node_buffer(s);
  uint32_t len = b->length();
  if (i >= len) {
    i = len;
    b = grow_chars(s, 1);
    b->tail += b->unit();
  }
  put_char(b->head_ptr() + size_t(i) * b->unit(), b->unit(), cp);
}

may_gc void insert_char(NodeId s, uint32_t i, uint32_t cp) {
  if (unit_for_cp(cp) > node_buffer(s)->unit()) widen(s, unit_for_cp(cp), 1);
  Buffer* b = grow_chars(s, 1);
  uint32_t len = b->length(), u = b->unit();
  if (i > len) i = len;
  uint8_t* p = b->head_ptr() + size_t(i) * u;
  std::memmove(p + u, p, size_t(len - i) * u);
  put_char(p, u, cp);
  b->tail += u;
}

may_gc void concatenate(NodeId dst, NodeId src, uint32_t src_index, uint32_t n, uint32_t at, Concat mode) {
  Buffer* s = node_buffer(src);
  uint32_t slen = s->length();
  if (src_index > slen) src_index = slen;
  n = std::min(n, slen - src_index);
  if (n == 0) return;
  uint32_t su = s->unit();
  // Inserting or overwriting a series with a part of itself reads the
  // source before it moves.
  std::vector<uint8_t> saved;
  bool same = dst == src && mode != Concat::APPEND;
  if (same) saved.assign(s->head_ptr() + size_t(src_index) * su, s->head_ptr() + size_t(src_index + n) * su);
  if (su > node_buffer(dst)->unit()) widen(dst, su, n);
  uint32_t dlen = node_buffer(dst)->length();
  if (mode == Concat::APPEND || at > dlen) at = dlen;
  uint64_t new_len = mode == Concat::OVERWRITE ? std::max<uint64_t>(dlen, uint64_t(at) + n) : uint64_t(dlen) + n;
  Buffer* d = grow_chars(dst, new_len - dlen);
  uint32_t du = d->unit();
  uint8_t* base = d->head_ptr();
  if (mode == Concat::INSERT) std::memmove(base + size_t(at + n) * du, base + size_t(at) * du, size_t(dlen - at) * du);
  su = node_buffer(src)->unit();  // one series: widening dst widened src
  const uint8_t* sp = same ? saved.data() : node_buffer(src)->head_ptr() + size_t(src_index) * su;
  if (same) su = uint32_t(saved.size() / n);
  uint8_t* dp = base + size_t(at) * du;
  if (su == du) {
    std::memmove(dp, sp, size_t(n) * du);
  } else {
    for (uint32_t k = 0; k < n; k++) put_char(dp + size_t(k) * du, du, get_char(sp + size_t(k) * su, su));
  }
  d->tail = d->head + uint32_t(new_len * du);
}

std::string byte_to_hex(uint8_t b) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{kDigits[b >> 4], kDigits[b & 15]};
}

std::string to_hex(int32_t v, bool trim) {
  static const char kDigits[] = "0123456789ABCDEF";
  uint32_t u = uint32_t(v);
  std::string s(8, '0');
  for (int i = 7; i >= 0; i--, u >>= 4) s[size_t(i)] = kDigits[u & 15];
  if (!trim) return s;
  char fill = v < 0 ? 'F' : '0';
  size_t k = 0;
  while (k < 7 && s[k] == fill) k++;
  s.erase(0, k);
  if (v == 0) return "00";
  return s;
}
}  // namespace vel::string

// --- registration ------------------------------------------------------------------

namespace vel {

using namespace string::detail;

// The own slots of string!; the series! ones listed after them are
// inherited; every other action is unsupported.
void register_type_STRING() {
  TypeBuilder(TYPE_STRING)
      .to_block(lexer::string_to_block)
      .action(ACT_MAKE, make_action)
      .action(ACT_TO, to_action)
      .form(string::form)
      .mold(string::mold)
      .eval_path(eval_path_slot)
      .compare(string::compare)
      .action(ACT_APPEND, append_action)
      .action(ACT_CHANGE, change_action)
      .action(ACT_FIND, find_action)
      .action(ACT_INSERT, insert_action)
      .action(ACT_SELECT, select_action)
      .action(ACT_SORT, sort_action)
      .action(ACT_SWAP, swap_action)
      .action(ACT_TAKE, take_action)
      .action(ACT_TRIM, trim_action)
      .inherit(kFromSeries)
      .inherit(ACT_COPY)
      .done();
}

}  // namespace vel
