// string!: comparison, find, select, path access and the parse matchers.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "action_frames.h"
#include "casefold.h"
#include "datatypes/bitset.h"
#include "datatypes/series_actions.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel::string {

using detail::key_of;
using detail::View;

namespace {

constexpr uint8_t TYPE_TEXT_SLICE = 56;

inline bool equality_op(int op) {
  return op == CMP_EQUAL || op == CMP_NOT_EQUAL || op == CMP_STRICT_EQUAL || op == CMP_FIND;
}

// An operand of compare_text: a view of a string, or the decoded text of a
// symbol without a display string yet (decoded into C++ memory: comparing
// must not allocate series).
struct Operand {
  View v;
  std::u32string decoded;
  NodeId node = 0;
  int64_t index = 0;
};

void operand_of(const Cell& c, Operand* o) {
  if (c.is(TYPE_SYMBOL)) {
    if (c.w2) {
      Cell s = series_cell(TYPE_STRING, c.w2, 0);
      o->v = detail::view_of(s);
      o->node = c.w2;
      return;
    }
    Buffer* b = node_buffer(c.w3);
    const uint8_t* p = b->head_ptr();
    size_t n = b->used(), i = 0;
    while (i < n && p[i]) {
      uint32_t len = 0;
      int32_t cp = decode_utf8_checked(p + i, n - i, &len);
      if (cp < 0 || len == 0) {
        cp = p[i];
        len = 1;
      }
      o->decoded.push_back(char32_t(cp));
      i += len;
    }
    o->v = View{reinterpret_cast<const uint8_t*>(o->decoded.data()), 4, uint32_t(o->decoded.size())};
    o->node = c.w3;
    return;
  }
  o->v = detail::view_of(c);
  o->node = c.node();
  o->index = c.index() < 0 ? 0 : c.index();
  if (c.type() == TYPE_TEXT_SLICE && c.i3() >= 0) o->v.len = std::min<uint32_t>(o->v.len, c.w3);
}

// The first position below n where the two runs differ (keys folded or
// not), or n.
uint32_t first_difference(const View& a, const View& b, uint32_t n, bool fold) {
  if (!fold && a.unit == 1 && b.unit == 1) {
    uint32_t i = 0;
    while (i < n && a.p[i] == b.p[i]) i++;
    return i;
  }
  uint32_t i = 0;
  while (i < n && key_of(a.at(i), fold) == key_of(b.at(i), fold)) i++;
  return i;
}

}  // namespace

int32_t compare_text(const Cell& a, const Cell& b, int op, bool match) {
  Operand x, y;
  operand_of(a, &x);
  operand_of(b, &y);
  bool same_place = x.node == y.node && x.index == y.index && !a.is(TYPE_SYMBOL) && !b.is(TYPE_SYMBOL);
  if (op == CMP_SAME) return same_place ? 0 : -1;
  if (same_place && equality_op(op) && !b.is(TypeId(TYPE_TEXT_SLICE))) return 0;
  uint32_t l1 = x.v.len, l2 = y.v.len, n;
  if (match) {
    if (l2 == 0) return op == CMP_FIND ? 1 : 0;
    if (l1 < l2) return 1;
    n = l2;
  } else {
    if (l1 != l2) {
      if (equality_op(op) || l2 == 0) return 1;
    } else if (l1 == 0) {
      return 0;
    }
    n = std::min(l1, l2);
  }
  bool fold = op != CMP_STRICT_EQUAL && op != CMP_CASE_SORT;
  uint32_t i = first_difference(x.v, y.v, n, fold);
  if (i == n) {
    if (match) return 0;
    return l1 < l2 ? -1 : (l1 > l2 ? 1 : 0);
  }
  uint32_t c1 = key_of(x.v.at(i), fold), c2 = key_of(y.v.at(i), fold);
  return c1 < c2 ? -1 : 1;
}

int32_t compare(const Cell* a, const Cell* b, int op) {
  TypeId tb = b->type();
  if (a->type() != tb && tb != TypeId(TYPE_TEXT_SLICE) &&
      (!is_any_string(tb) || (op != CMP_EQUAL && op != CMP_NOT_EQUAL)))
    return CMP_INCOMPARABLE;
  return compare_text(*a, *b, op, false);
}

// --- find --------------------------------------------------------------------------------

namespace {

constexpr int64_t NOT_FOUND = -1;
constexpr int64_t FALL_BACK = -2;  // a fast scan that cannot take this needle

struct Hit {
  int64_t pos = NOT_FOUND;
  int64_t end = 0;  // after the matched characters
};

// The needle: the case keys of its characters.
struct Needle {
  std::vector<uint32_t> keys;
};

// The searched characters: a snapshot of the series from the buffer head,
// re-read by the caller after anything that allocates.
struct Hay {
  const uint8_t* p;
  uint32_t unit;
  bool fold;
  uint32_t key(int64_t i) const { return key_of(get_char(p + size_t(i) * unit, unit), fold); }
};

// Horspool over case keys of UCS-2 and UCS-4 text; the shift table is indexed by the low byte of a
// key, so a collision only shortens a shift.
template <uint32_t U, bool F>
int64_t horspool(const uint8_t* hay, int64_t from, int64_t end, const uint32_t* nk, uint32_t m) {
  auto key = [hay](int64_t i) -> uint32_t {
    uint32_t c = get_char(hay + size_t(i) * U, U);
    return F ? key_of(c, true) : c;
  };
  uint32_t shift[256];
  for (uint32_t& s : shift) s = m;
  for (uint32_t k = 0; k + 1 < m; k++) shift[nk[k] & 255] = m - 1 - k;
  uint32_t last = nk[m - 1];
  int64_t pos = from;
  while (pos + m <= end) {
    uint32_t c = key(pos + m - 1);
    if (c == last) {
      uint32_t k = 0;
      while (k + 1 < m && key(pos + k) == nk[k]) k++;
      if (k + 1 >= m) return pos;
    }
    pos += shift[c & 255];
  }
  return NOT_FOUND;
}

// Horspool over Latin-1 text: the key of every byte is folded into per-byte
// tables once, so the scan loop costs the same with and without folding.
int64_t horspool_latin1(const uint8_t* hay, int64_t from, int64_t end, const uint32_t* nk, uint32_t m, bool fold) {
  uint32_t key_shift[256];
  for (uint32_t& s : key_shift) s = m;
  for (uint32_t k = 0; k + 1 < m; k++) key_shift[nk[k] & 255] = m - 1 - k;
  uint32_t last = nk[m - 1];
  uint32_t shift[256];
  bool is_last[256];
  for (uint32_t b = 0; b < 256; b++) {
    uint32_t key = fold ? detail::kUpperLatin1[b] : b;
    shift[b] = key_shift[key & 255];
    is_last[b] = key == last;
  }
  const uint8_t* p = hay + from + (m - 1);
  const uint8_t* stop = hay + end;
  while (p < stop) {
    uint32_t c = *p;
    if (is_last[c]) {
      const uint8_t* w = p - (m - 1);
      uint32_t k = 0;
      if (fold) {
        while (k + 1 < m && detail::kUpperLatin1[w[k]] == nk[k]) k++;
      } else {
        while (k + 1 < m && w[k] == nk[k]) k++;
      }
      if (k + 1 >= m) return w - hay;
    }
    p += shift[c];
  }
  return NOT_FOUND;
}

#if defined(__SSE2__)
// The bytes whose key is `key` (at most 4 of them; Latin-1 letters have 2
// or 3, ß folding with s and S).
struct ByteClass {
  __m128i bytes[4];
  int n = 0;
};

// The bytes of each folded key, grouped once: a search asks for its
// needle's first and last keys every time it starts, and repeated searches
// (replace/all) start once per match.
struct FoldedBytes {
  struct Group {
    uint32_t key;
    uint8_t n;
    uint8_t bytes[4];
  };
  std::vector<Group> groups;  // in the order of their first byte
  int16_t by_key[256];        // the group of a key below 256, or -1
  FoldedBytes() {
    for (int16_t& g : by_key) g = -1;
    for (uint32_t b = 0; b < 256; b++) {
      uint32_t key = detail::kUpperLatin1[b];
      Group* g = nullptr;
      for (Group& x : groups)
        if (x.key == key) g = &x;
      if (!g) {
        groups.push_back(Group{key, 0, {}});
        g = &groups.back();
        if (key < 256) by_key[key] = int16_t(groups.size() - 1);
      }
      // A fifth byte makes the group too wide to test; it stays counted.
      if (g->n < 4) g->bytes[g->n] = uint8_t(b);
      if (g->n < 5) g->n++;
    }
  }
  const Group* find(uint32_t key) const {
    if (key < 256) return by_key[key] < 0 ? nullptr : &groups[size_t(by_key[key])];
    for (const Group& g : groups)
      if (g.key == key) return &g;
    return nullptr;
  }
};

bool byte_class(uint32_t key, bool fold, ByteClass* c) {
  if (!fold) {
    if (key < 256) c->bytes[c->n++] = _mm_set1_epi8(char(key));
    return true;
  }
  static const FoldedBytes folded;
  const FoldedBytes::Group* g = folded.find(key);
  if (!g) return true;
  if (g->n > 4) return false;
  for (int i = 0; i < g->n; i++) c->bytes[c->n++] = _mm_set1_epi8(char(g->bytes[i]));
  return true;
}

// N (1, 2 or 4) compares: a class of fewer bytes repeats its first one.
template <int N>
inline __m128i in_class(const ByteClass& c, __m128i x) {
  __m128i r = _mm_cmpeq_epi8(x, c.bytes[0]);
  for (int i = 1; i < N; i++) r = _mm_or_si128(r, _mm_cmpeq_epi8(x, c.bytes[i]));
  return r;
}

template <int N, class OnHit>
int64_t scan_latin1_simd_n(const uint8_t* hay, int64_t from, int64_t end, const uint32_t* nk, uint32_t m, bool fold,
                           ByteClass first, ByteClass last, OnHit on_hit);

// Stops at the first match: find's answer.
inline int64_t stop_at_hit(int64_t) { return -1; }

// Latin-1 text, 16 candidate positions at a time: a window can match only
// where both its first and its last byte have the needle's keys; only those
// candidates are compared in full. Each match calls on_hit(pos), which
// answers where to search on from, or a negative value to stop there and
// answer pos. Answers NOT_FOUND at the end, or FALL_BACK (before any match)
// when the needle's keys are not byte classes this handles (the caller
// falls back).
template <class OnHit = decltype(&stop_at_hit)>
int64_t scan_latin1_simd(const uint8_t* hay, int64_t from, int64_t end, const uint32_t* nk, uint32_t m, bool fold,
                         OnHit on_hit = stop_at_hit) {
  ByteClass first, last;
  if (!byte_class(nk[0], fold, &first) || !byte_class(nk[m - 1], fold, &last)) return FALL_BACK;
  if (first.n == 0 || last.n == 0) return NOT_FOUND;  // a key no Latin-1 byte has
  int n = std::max(first.n, last.n);
  for (ByteClass* c : {&first, &last})
    for (int i = c->n; i < 4; i++) c->bytes[i] = c->bytes[0];
  if (n == 1) return scan_latin1_simd_n<1>(hay, from, end, nk, m, fold, first, last, on_hit);
  if (n == 2) return scan_latin1_simd_n<2>(hay, from, end, nk, m, fold, first, last, on_hit);
  return scan_latin1_simd_n<4>(hay, from, end, nk, m, fold, first, last, on_hit);
}

template <int N, class OnHit>
int64_t scan_latin1_simd_n(const uint8_t* hay, int64_t from, int64_t end, const uint32_t* nk, uint32_t m, bool fold,
                           ByteClass first, ByteClass last, OnHit on_hit) {
  auto window_matches = [&](const uint8_t* w) {
    if (fold) {
      for (uint32_t k = 1; k + 1 < m; k++)
        if (detail::kUpperLatin1[w[k]] != nk[k]) return false;
      return true;
    }
    for (uint32_t k = 1; k + 1 < m; k++)
      if (w[k] != nk[k]) return false;
    return true;
  };
  int64_t i = from;
  while (i + int64_t(m) - 1 + 16 <= end) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i + m - 1));
    uint32_t mask = uint32_t(_mm_movemask_epi8(_mm_and_si128(in_class<N>(first, a), in_class<N>(last, b))));
    int64_t next = i + 16;
    while (mask) {
      int bit = __builtin_ctz(mask);
      if (window_matches(hay + i + bit)) {
        int64_t on = on_hit(i + bit);
        if (on < 0) return i + bit;
        next = on;
        break;
      }
      mask &= mask - 1;
    }
    i = next;
  }
  while (i + int64_t(m) <= end) {
    uint32_t c0 = fold ? detail::kUpperLatin1[hay[i]] : hay[i];
    uint32_t c1 = fold ? detail::kUpperLatin1[hay[i + m - 1]] : hay[i + m - 1];
    if (c0 == nk[0] && c1 == nk[m - 1] && window_matches(hay + i)) {
      int64_t on = on_hit(i);
      if (on < 0) return i;
      i = on;
    } else {
      i++;
    }
  }
  return NOT_FOUND;
}
#endif

int64_t forward_text(const Hay& h, int64_t from, int64_t end, const Needle& n) {
  uint32_t m = uint32_t(n.keys.size());
  const uint32_t* nk = n.keys.data();
  if (m == 1) {
    uint32_t k0 = nk[0];
    if (h.unit == 1 && !h.fold) {
      if (k0 > 255 || from >= end) return NOT_FOUND;
      const void* hit = std::memchr(h.p + from, int(k0), size_t(end - from));
      return hit ? static_cast<const uint8_t*>(hit) - h.p : NOT_FOUND;
    }
    for (int64_t i = from; i < end; i++)
      if (h.key(i) == k0) return i;
    return NOT_FOUND;
  }
  switch (h.unit * 2 + h.fold) {
    case 2:
    case 3: {
#if defined(__SSE2__)
      int64_t r = scan_latin1_simd(h.p, from, end, nk, m, h.fold);
      if (r != FALL_BACK) return r;
#endif
      return horspool_latin1(h.p, from, end, nk, m, h.fold);
    }
    case 4: return horspool<2, false>(h.p, from, end, nk, m);
    case 5: return horspool<2, true>(h.p, from, end, nk, m);
    case 8: return horspool<4, false>(h.p, from, end, nk, m);
    default: return horspool<4, true>(h.p, from, end, nk, m);
  }
}

bool literal_at(const Hay& h, int64_t pos, const Needle& n) {
  for (size_t k = 0; k < n.keys.size(); k++)
    if (h.key(pos + int64_t(k)) != n.keys[k]) return false;
  return true;
}

// The value searched for, as the mode that finds it.
enum class Mode : uint8_t { CHAR, TEXT, BYTE, BITS };

struct Search {
  Mode mode = Mode::TEXT;
  Needle needle;
  int64_t byte = -1;  // BYTE mode: the value (-1: matches nothing)
  Cell bits{};        // BITS mode: the bitset! (membership, never folded)
};

void needle_from(const View& v, bool fold, Needle* n) {
  n->keys.resize(v.len);
  for (uint32_t i = 0; i < v.len; i++) n->keys[i] = key_of(v.at(i), fold);
}

// Builds the search for a value; may allocate (forming a value).
may_gc Search prepare(const Cell& series, const Cell& value, bool fold) {
  Search s;
  TypeId st = series.type(), vt = value.type();
  bool binary_series = st == TYPE_BINARY;
  switch (vt) {
    case TYPE_CHAR:
      s.mode = Mode::CHAR;
      s.needle.keys.push_back(key_of(value.w2, fold));
      return s;
    case TYPE_BITSET:
      s.mode = Mode::BITS;
      s.bits = value;
      return s;
    case TYPE_INTEGER:
    case TYPE_FLOAT:
      if (binary_series) {
        s.mode = Mode::BYTE;
        double d = vt == TYPE_INTEGER ? double(value.i2()) : value.f64();
        if (d >= 0.0 && d <= 255.0 && d == double(int64_t(d))) s.byte = int64_t(d);
        return s;
      }
      break;
    case TYPE_BINARY:
      if (!binary_series) fire(ErrId::INVALID_ARG, value);
      {
        View v = detail::view_of(value);
        needle_from(v, false, &s.needle);
      }
      return s;
    default:
      if (is_any_string(vt) && binary_series) {
        // Text in bytes is its UTF-8.
        std::string utf8 = to_utf8(value.node(), series_index(value));
        for (char c : utf8) s.needle.keys.push_back(uint8_t(c));
        return s;
      }
      if (is_any_string(vt)) {
        needle_from(detail::view_of(value), fold, &s.needle);
        return s;
      }
  }
  // Any other value: its form.
  RootedNode text(make_string(16));
  form_value(value, text);
  if (binary_series) {
    std::string utf8 = to_utf8(text, 0);
    for (char c : utf8) s.needle.keys.push_back(uint8_t(c));
    return s;
  }
  needle_from(detail::view_of(series_cell(TYPE_STRING, text)), fold, &s.needle);
  return s;
}

// An empty buffer, or (forwards) an index at or past the tail: no search
// can succeed, whatever the value and the other refinements.
bool nothing_to_search(const Cell& series, bool reverse) {
  int64_t total = node_buffer(series.node())->length();
  return total == 0 || (!reverse && series.index() >= total);
}

// Whether the element at i matches in CHAR, BYTE or BITS mode.
inline bool element_matches(const Search& s, const Hay& h, int64_t i) {
  if (s.mode == Mode::BITS) return bitset::test_bit(s.bits, get_char(h.p + size_t(i) * h.unit, h.unit));
  if (s.mode == Mode::BYTE) return s.byte >= 0 && get_char(h.p + size_t(i) * h.unit, h.unit) == uint32_t(s.byte);
  return h.key(i) == s.needle.keys[0];
}

// The search proper over the series' current buffer. Allocates nothing.
Hit run_search(const Cell& series, const Search& s, const FindOptions& o, bool fold) {
  Hit none;
  if (nothing_to_search(series, o.reverse)) return none;
  Buffer* b = node_buffer(series.node());
  int64_t total = b->length();
  int64_t index = std::clamp<int64_t>(series.index(), 0, total);

  int64_t step = 1;
  if (o.skip) {
    if (!o.skip->is(TYPE_INTEGER)) fire_refine_arg("skip", *o.skip);
    if (o.skip->i2() < 1) fire(ErrId::OUT_OF_RANGE, *o.skip);
    step = o.skip->i2();
  }

  // The range: forward and /last search [index, end); /reverse searches
  // back from index - step down to lower.
  int64_t end = total, lower = 0;
  if (o.part) {
    int64_t c = detail::part_count(series, *o.part);
    if (c < 1) return none;
    if (o.reverse) lower = std::max<int64_t>(0, index - c);
    else end = index + std::min(c, total - index);
  }
  if (o.reverse && o.match) return none;

  // An empty text is nowhere to be found.
  if (s.mode == Mode::TEXT && s.needle.keys.empty()) return none;

  Hay h{b->head_ptr(), b->unit(), fold};
  bool single = s.mode != Mode::TEXT;
  int64_t m = single ? 1 : int64_t(s.needle.keys.size());

  auto test = [&](int64_t pos) -> int64_t {  // the end of a match at pos, or < 0
    if (single) return element_matches(s, h, pos) ? pos + 1 : NOT_FOUND;
    return literal_at(h, pos, s.needle) ? pos + m : NOT_FOUND;
  };

  if (o.reverse || o.last) {
    int64_t limit = o.reverse ? total : end;  // a match must fit before it
    int64_t pos, floor;
    if (o.reverse) {
      pos = index - step;
      floor = lower;
      if (pos < floor) return none;
      while (pos + m > limit && pos >= floor) pos -= step;
    } else {
      floor = index;
      if (end - m < index) return none;
      pos = index + ((end - m - index) / step) * step;
    }
    for (; pos >= floor; pos -= step) {
      int64_t e = test(pos);
      if (e >= 0) return Hit{pos, e};
    }
    return none;
  }

  if (o.match) {
    if (index + m > end) return none;
    int64_t e = test(index);
    return e >= 0 ? Hit{index, e} : none;
  }

  if (step == 1) {
    int64_t pos;
    if (s.mode == Mode::TEXT) {
      pos = forward_text(h, index, end, s.needle);
    } else {
      pos = NOT_FOUND;
      for (int64_t i = index; i < end; i++)
        if (element_matches(s, h, i)) {
          pos = i;
          break;
        }
    }
    return pos >= 0 ? Hit{pos, pos + m} : none;
  }

  for (int64_t pos = index; pos + m <= end; pos += step) {
    int64_t e = test(pos);
    if (e >= 0) return Hit{pos, e};
  }
  return none;
}

may_gc Hit find_hit(const Cell& series, const Cell& value, const FindOptions& o) {
  if (series.is(TYPE_VECTOR)) fire(ErrId::NOT_DONE, series);  // vector! elements come with its module
  bool fold = is_any_string(series.type()) && !o.case_sensitive && !o.same;
  RootedCell s(series), v(value);
  Search search = prepare(*s, *v, fold);
  return run_search(*s, search, o, fold);
}

}  // namespace

may_gc Cell find(const Cell& series, const Cell& value, const FindOptions& o) {
  Hit hit = find_hit(series, value, o);
  if (hit.pos < 0) return none_cell();
  Cell r = series;
  r.w1 = uint32_t(o.tail ? hit.end : hit.pos);
  return r;
}

may_gc uint32_t replace_into(const Cell& series, const Cell& value, uint32_t size, bool case_sensitive, NodeId out,
                             const std::function<Cell()>& make_rep) {
  bool fold = is_any_string(series.type()) && !case_sensitive;
  RootedCell s(series), v(value), rep(none_cell());
  RootedNode o(out);
  Search search = prepare(*s, *v, fold);
  FindOptions plain;
  Cell at = *s;
  int64_t total = node_buffer(s->node())->length();
  int64_t start = std::clamp<int64_t>(s->index(), 0, total);
  at.w1 = uint32_t(start);
  uint32_t matches = 0;
  while (true) {
    Hit hit = run_search(at, search, plain, fold);
    if (hit.pos < 0) break;
    if (matches++ == 0) {
      *rep = make_rep();
      if (!is_any_string(rep->type()) && !rep->is(TYPE_BINARY)) fire(ErrId::INVALID_ARG, *rep);
      // Making it runs no user code; the series is measured again all the same.
      total = node_buffer(s->node())->length();
      if (hit.pos > total) break;
      start = std::min(start, hit.pos);
      // Room for the whole result when matches lie as close as they can,
      // unless that is more than twice the text.
      int64_t rest = total - start, rep_len = int64_t(node_buffer(rep->node())->length()) - rep->index();
      int64_t most = rep_len > int64_t(size) ? rest + (rest / int64_t(size)) * (rep_len - int64_t(size)) : rest;
      (void)grow_chars(o, uint64_t(std::min(most, 2 * rest) + 16));
    }
    // Nothing but out changes from here on, so the positions hold.
    append_chars(o, s->node(), uint32_t(start), uint32_t(hit.pos - start));
    int64_t rep_total = node_buffer(rep->node())->length();
    int64_t rep_at = std::clamp<int64_t>(rep->index(), 0, rep_total);
    append_chars(o, rep->node(), uint32_t(rep_at), uint32_t(rep_total - rep_at));
    start = std::min<int64_t>(hit.pos + size, total);
    at.w1 = uint32_t(start);
  }
  if (matches) append_chars(o, s->node(), uint32_t(start), uint32_t(total - start));
  return matches;
}

namespace {

// The matches of a search from start, each search going on size elements
// after the previous match's start (at most total): on_hit(pos) answers
// that position. Latin-1 text is scanned in one pass over hay; other text
// by repeated searches of the series.
// Answers true when the one-pass scan ran (the same search over the same
// unit always takes the same way).
template <class F>
bool walk_hits(const Cell& series, const uint8_t* hay, uint32_t unit, const Search& search, bool fold, int64_t start,
               int64_t total, F on_hit) {
#if defined(__SSE2__)
  const std::vector<uint32_t>& nk = search.needle.keys;
  if (search.mode == Mode::TEXT && unit == 1 && nk.size() >= 2 &&
      scan_latin1_simd(hay, start, total, nk.data(), uint32_t(nk.size()), fold, on_hit) != FALL_BACK)
    return true;
#endif
  FindOptions plain;
  Cell at = series;
  for (at.w1 = uint32_t(start);;) {
    Hit hit = run_search(at, search, plain, fold);
    if (hit.pos < 0) return false;
    at.w1 = uint32_t(on_hit(hit.pos));
  }
}

// Writes the text from `from` on, with each match (from hits, or found
// again by a scan of the same text) replaced: the pieces between matches
// and the replacement's units.
struct Rewrite {
  const uint8_t* src;
  uint8_t* dst;
  uint32_t u;
  int64_t total, size;
  const uint8_t* rep;
  size_t rep_bytes;
  int64_t read = 0, written = 0;  // elements

  // Most pieces are a few bytes: copied by hand, they cost less than a call.
  static void copy(uint8_t* d, const uint8_t* f, size_t bytes) {
    if (bytes > 16) std::memmove(d, f, bytes);
    else for (size_t k = 0; k < bytes; k++) d[k] = f[k];
  }
  int64_t hit(int64_t pos) {
    if (dst + size_t(written) * u != src + size_t(read) * u)
      copy(dst + size_t(written) * u, src + size_t(read) * u, size_t(pos - read) * u);
    written += pos - read;
    copy(dst + size_t(written) * u, rep, rep_bytes);
    written += int64_t(rep_bytes / u);
    read = std::min(pos + size, total);
    return read;
  }
  void finish() {
    if (dst + size_t(written) * u != src + size_t(read) * u)
      copy(dst + size_t(written) * u, src + size_t(read) * u, size_t(total - read) * u);
    written += total - read;
  }
};

}  // namespace

may_gc uint32_t replace_in_place(const Cell& series, const Cell& value, uint32_t size, bool case_sensitive,
                                 const std::function<Cell()>& make_rep) {
  bool fold = is_any_string(series.type()) && !case_sensitive;
  RootedCell s(series), v(value);
  Search search = prepare(*s, *v, fold);
  FindOptions plain;
  // The replacement is made (and may fail) only when there is a match.
  if (run_search(*s, search, plain, fold).pos < 0) return 0;
  RootedCell rep(make_rep());
  if (!is_any_string(rep->type()) && !rep->is(TYPE_BINARY)) fire(ErrId::INVALID_ARG, *rep);
  NodeId node = s->node();
  // The replacement's units at the series' unit, widened first when it
  // needs more.
  Buffer* rb = node_buffer(rep->node());
  int64_t rep_at = std::clamp<int64_t>(rep->index(), 0, rb->length());
  int64_t rep_len = rb->length() - rep_at;
  uint32_t rep_unit = rb->unit();
  if (rep_len && rep_unit > node_buffer(node)->unit()) widen(node, rep_unit, 1);
  Buffer* b = node_buffer(node);
  uint32_t u = b->unit();
  rb = node_buffer(rep->node());
  std::vector<uint8_t> r(size_t(rep_len) * u);
  for (int64_t k = 0; k < rep_len; k++)
    put_char(r.data() + size_t(k) * u, u, get_char(rb->head_ptr() + size_t(rep_at + k) * rep_unit, rep_unit));
  int64_t total = b->length();
  int64_t start = std::clamp<int64_t>(s->index(), 0, total);
  int64_t step = int64_t(size);
  // The matches, and the text they cover (the tail may cut the last).
  uint32_t count = 0;
  int64_t covered = 0;
  bool one_pass = walk_hits(*s, b->head_ptr(), u, search, fold, start, total, [&](int64_t pos) {
    int64_t e = std::min(pos + step, total);
    count++;
    covered += e - pos;
    return e;
  });
  uint64_t new_total = uint64_t(total - covered) + uint64_t(count) * uint64_t(rep_len);
  if (new_total * u > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
  Rewrite w{nullptr, nullptr, u, total, step, r.data(), r.size(), start, start};
  if (int64_t(new_total) <= total) {
    // Never longer: rewritten in place from the position on, each piece
    // written no further than the scan has read.
    b = node_buffer(node);
    w.src = w.dst = b->head_ptr();
    walk_hits(*s, w.src, u, search, fold, start, total, [&](int64_t pos) { return w.hit(pos); });
    w.finish();
    b->tail = b->head + uint32_t(new_total) * u;
    return count;
  }
  // Longer: written into a new buffer of the right size straight from the
  // old one. A scan that cannot run over the old buffer alone lists the
  // matches first.
  std::vector<int64_t> hits;
  bool listed = !one_pass;
  if (listed) {
    hits.reserve(count);
    walk_hits(*s, b->head_ptr(), u, search, fold, start, total, [&](int64_t pos) {
      hits.push_back(pos);
      return std::min(pos + step, total);
    });
  }
  struct Job {
    Rewrite* w;
    const Search* search;
    const std::vector<int64_t>* hits;
    bool listed, fold;
    int64_t start, total;
    Cell series;
  } job{&w, &search, &hits, listed, fold, start, total, *s};
  expand_series_with(
      node, new_total * u,
      [](Buffer* nb, Buffer* old, void* arg) {
        Job& j = *static_cast<Job*>(arg);
        Rewrite& w = *j.w;
        // The text before the position stays as it was.
        std::memcpy(nb->data(), old->head_ptr(), size_t(j.start) * w.u);
        w.src = old->head_ptr();
        w.dst = nb->data();
        if (j.listed) {
          for (int64_t pos : *j.hits) w.hit(pos);
        } else {
          walk_hits(j.series, w.src, w.u, *j.search, j.fold, j.start, j.total, [&](int64_t pos) { return w.hit(pos); });
        }
        w.finish();
        nb->tail = uint32_t(w.written) * w.u;
      },
      &job);
  return count;
}

may_gc Cell select(const Cell& series, const Cell& value, const FindOptions& o_in) {
  FindOptions o = o_in;
  o.tail = o.match = false;
  Hit hit = find_hit(series, value, o);
  if (hit.pos < 0) return none_cell();
  if (hit.end >= int64_t(series_total(series))) return none_cell();
  return series_element(series, uint32_t(hit.end));
}

may_gc Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const Cell& path,
                      bool case_sensitive) {
  if (element.is(TYPE_INTEGER)) {
    if (!value) return series_pick(parent, element.i2());
    if (picked_index(parent, element.i2()) < 0) return fail_value(ErrId::OUT_OF_RANGE, integer_cell(element.i2()));
    series_poke(parent, element.i2(), *value);
    return *value;
  }
  if (element.is(TYPE_WORD)) fire(ErrId::INVALID_PATH, path, element);
  FindOptions o;
  o.case_sensitive = case_sensitive;
  if (!value) return select(parent, element, o);
  RootedCell p(parent), e(element), v(*value), pa(path);
  Hit hit = find_hit(*p, *e, o);
  if (hit.pos < 0 || hit.end >= int64_t(series_total(*p))) fire(ErrId::BAD_PATH_SET, *pa, *e);
  series_poke(*p, hit.end - series_index(*p) + 1, *v);
  return *v;
}

bool tag_at_q(const Cell& series, const Cell& tag) {
  View s = detail::view_of(series), t = detail::view_of(tag);
  return s.len >= t.len + 2 && s.at(0) == '<' && s.at(t.len + 1) == '>';
}

may_gc bool match_q(const Cell& series, const Cell& value, int op) {
  TypeId vt = value.type();
  if (vt == TYPE_CHAR) {
    View s = detail::view_of(series);
    if (s.len == 0) return false;
    bool fold = op != CMP_STRICT_EQUAL;
    return key_of(s.at(0), fold) == key_of(value.w2, fold);
  }
  if (vt == TYPE_TAG) {
    if (!tag_at_q(series, value)) return false;
    Cell inner = series;
    inner.w1 = uint32_t(series_index(series) + 1);  // tag_at_q: the text holds "<" there
    return compare_text(inner, value, op, true) == 0;
  }
  if (is_any_string(vt)) return compare_text(series, value, op, true) == 0;
  return false;
}

// --- frame entries ---------------------------------------------------------------------

namespace detail {

// Wildcard matching (/any, /with) is not offered: internal/not-done, once
// the series has something to search (that case answers none first).
static void refuse_wildcards(const Cell* base) {
  using enum act::find::Frame;
  if ((used(base[ANY]) || used(base[WITH])) && !nothing_to_search(base[SERIES], used(base[REVERSE])))
    fire(ErrId::NOT_DONE);
}

Status find_action(Cell* base) {
  using enum act::find::Frame;
  refuse_wildcards(base);
  base[RESULT] = find(base[SERIES], base[VALUE], find_options(base, true));
  return Status::OK;
}

Status select_action(Cell* base) {
  using enum act::select::Frame;
  refuse_wildcards(base);
  base[RESULT] = select(base[SERIES], base[VALUE], find_options(base, false));
  return Status::OK;
}

// The typed eval-path slot.
Cell eval_path_slot(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  return eval_path(value, selector, set_value, step.path ? *step.path : none_cell(), step.case_sensitive);
}

}  // namespace detail

}  // namespace vel::string
