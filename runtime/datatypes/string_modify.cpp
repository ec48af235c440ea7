// string!: the actions that change a string in place (append, insert,
// change, take, trim, swap, sort) and the set operations on strings.
#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "action_frames.h"
#include "families.h"
#include "datatypes/binary.h"
#include "datatypes/series_actions.h"
#include "datatypes/sort_function.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "datatypes/ownership.h"
#include "roots.h"
#include "series_ops.h"
#include "sort.h"
#include "unicode.h"

namespace vel::string {

using detail::key_of;
using detail::View;

namespace {

// --- what a value contributes ----------------------------------------------------------

// The text a value adds: count characters of a string series from index,
// or (node 0) the one code point cp. `replaces` is what change replaces
// without /part: the text's length, or the element count of a block.
struct Text {
  NodeId node = 0;
  uint32_t index = 0;
  uint32_t count = 0;
  uint32_t cp = 0;
  uint32_t replaces = 0;
};

// Types that may carry /part in append and insert: values with a buffer.
bool holds_buffer(TypeId t) { return is_series_type(t) || t == TYPE_MAP; }

uint32_t elements_of(const Cell& v) {
  Buffer* b = node_buffer(v.node());
  return is_any_block(v.type()) ? b->used() >> 4 : b->length();
}

// The /part range of the value's own elements, as buffer positions.
bool part_range(const Cell& value, const Cell& part, uint32_t* start, uint32_t* count) {
  int64_t s, n;
  if (!vel::part_range(value, part, elements_of(value), &s, &n)) return false;
  *start = uint32_t(s);
  *count = uint32_t(n);
  return true;
}

// Builds what the value contributes. temp receives a string made for it
// (tags, blocks, formed values). With a part (append and insert only) the
// value must hold a buffer. Answers false when /part leaves nothing.
may_gc bool contribution(const Cell& value_in, const Cell* part, RootedNode& temp, Text* t) {
  RootedCell value(value_in);
  TypeId vt = value->type();
  uint32_t start = 0, count = 0;
  if (part) {
    if (!holds_buffer(vt)) fire(ErrId::INVALID_PART, *part);
    if (vt != TYPE_MAP && !part_range(*value, *part, &start, &count)) return false;
  } else if (is_series_type(vt)) {
    uint32_t total = elements_of(*value);
    start = uint32_t(std::clamp<int64_t>(value->index(), 0, total));
    count = total - start;
  }
  if (vt == TYPE_CHAR) {
    t->cp = value->w2;
    t->count = t->replaces = 1;
    return true;
  }
  if (is_any_string(vt) && vt != TYPE_TAG) {
    t->node = value->node();
    t->index = start;
    t->count = t->replaces = count;
    return true;
  }
  temp = make_string(count + 2);
  if (vt == TYPE_TAG) {
    append_char(temp, '<');
    append_chars(temp, value->node(), start, count);
    append_char(temp, '>');
  } else if (is_any_list(vt)) {
    detail::form_cells_into(temp, *value, start, count);
  } else if (part && is_series_type(vt)) {
    Cell n = integer_cell(int32_t(count));
    Cell from = *value;
    from.w1 = start;
    RootedCell piece(series_copy(from, &n));
    form_value(*piece, temp);
  } else {
    form_value(*value, temp);
  }
  t->node = temp;
  t->index = 0;
  t->count = node_buffer(temp)->length();
  t->replaces = is_any_list(vt) ? count : t->count;
  return true;
}

// --- the splice ---------------------------------------------------------------------------

inline uint32_t text_unit(const Text& t) { return t.node ? node_buffer(t.node)->unit() : unit_for_cp(t.cp); }

// Raises internal/no-memory, before anything changes, when the series
// cannot hold its length with `removed` characters replaced by count x dup.
void check_size(NodeId s, uint64_t removed, const Text& t, int64_t dup) {
  if (dup < 0) fire(ErrId::NO_MEMORY);
  Buffer* b = node_buffer(s);
  uint64_t add = uint64_t(t.count) * uint64_t(dup);
  uint64_t len = uint64_t(b->length()) - std::min<uint64_t>(removed, b->length()) + add;
  uint32_t unit = std::max(b->unit(), add ? text_unit(t) : 1);
  if (add > MAX_CAPACITY || len * unit > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
}

// Replaces `removed` characters at `at` by the text repeated dup times.
// Answers the number of characters written.
may_gc uint32_t splice(NodeId s, uint32_t at, uint32_t removed, const Text& t, uint32_t dup) {
  check_size(s, removed, t, dup);
  Buffer* d = node_buffer(s);
  uint32_t len = d->length();
  at = std::min(at, len);
  removed = std::min(removed, len - at);
  uint32_t add = t.count * dup;
  uint32_t src_unit = add ? text_unit(t) : 1;
  // A text taken from this very series is read before anything moves.
  std::vector<uint8_t> saved;
  if (add && t.node == s) {
    const uint8_t* p = d->head_ptr() + size_t(t.index) * src_unit;
    saved.assign(p, p + size_t(t.count) * src_unit);
  }
  if (src_unit > d->unit()) widen(s, src_unit, add);
  if (add > removed) grow_chars(s, add - removed);
  d = node_buffer(s);
  uint32_t u = d->unit();
  uint8_t* base = d->head_ptr();
  std::memmove(base + size_t(at + add) * u, base + size_t(at + removed) * u, size_t(len - at - removed) * u);
  if (add) {
    uint8_t* dp = base + size_t(at) * u;
    if (!t.node) {
      put_char(dp, u, t.cp);
    } else {
      const uint8_t* sp = saved.empty() ? node_buffer(t.node)->head_ptr() + size_t(t.index) * src_unit : saved.data();
      if (src_unit == u) {
        std::memcpy(dp, sp, size_t(t.count) * u);
      } else {
        for (uint32_t k = 0; k < t.count; k++) put_char(dp + size_t(k) * u, u, get_char(sp + size_t(k) * src_unit, src_unit));
      }
    }
    repeat_in_place(dp, t.count * u, dup);
  }
  d->tail = d->head + (len - removed + add) * u;
  return add;
}

enum class Edit : uint8_t { APPEND, INSERT };

may_gc Cell add_text(const Cell& series, const Cell& value, const Cell* part, int32_t dup, Edit how) {
  RootedCell s(series), v(value), p(part ? *part : none_cell());
  if (dup < 0) fire(ErrId::NO_MEMORY);
  uint32_t index = detail::clamp_index(s.get());
  RootedNode temp;
  Text t;
  if (!contribution(*v, part ? p.get() : nullptr, temp, &t)) return *s;
  check_size(s->node(), 0, t, dup);
  int32_t n = int32_t(uint64_t(t.count) * uint32_t(dup));
  uint32_t total = node_buffer(s->node())->length();
  bool append = how == Edit::APPEND || index >= total;
  uint32_t at = append ? total : index;
  bool told = report_change(*s, how == Edit::APPEND ? ChangeWord::APPEND : ChangeWord::INSERT, *v, int32_t(at), n);
  // The owner may have edited the series: place the text where it now fits.
  total = node_buffer(s->node())->length();
  if (append || at > total) at = total;
  uint32_t added = splice(s->node(), at, 0, t, uint32_t(dup));
  if (how == Edit::INSERT) s->w1 = at + added;
  if (told)
    (void)ownership_check(*s, how == Edit::APPEND ? ChangeWord::APPENDED : ChangeWord::INSERTED, *v, int32_t(at), n);
  return *s;
}

}  // namespace

may_gc Cell append(const Cell& series, const Cell& value, const Cell* part, bool, int32_t dup) {
  return add_text(series, value, part, dup, Edit::APPEND);
}

may_gc Cell insert(const Cell& series, const Cell& value, const Cell* part, bool, int32_t dup) {
  return add_text(series, value, part, dup, Edit::INSERT);
}

may_gc Cell change(const Cell& series, const Cell& value, const Cell* part, bool, int32_t dup) {
  RootedCell s(series), v(value);
  if (dup < 0) fire(ErrId::NO_MEMORY);
  uint32_t at = detail::clamp_index(s.get());
  uint32_t len = node_buffer(s->node())->length();
  int64_t replaced;
  if (part) {
    replaced = std::clamp<int64_t>(detail::part_count(*s, *part), 0, len - at);
  }
  RootedNode temp;
  Text t;
  (void)contribution(*v, nullptr, temp, &t);
  if (!part) replaced = std::min<int64_t>(int64_t(t.replaces) * dup, len - at);
  check_size(s->node(), uint64_t(replaced), t, dup);
  int32_t n = int32_t(uint64_t(t.count) * uint32_t(dup));
  bool told = report_change(*s, ChangeWord::CHANGE, none_cell(), int32_t(at), int32_t(replaced));
  len = node_buffer(s->node())->length();
  at = std::min(at, len);
  uint32_t added = splice(s->node(), at, uint32_t(std::min<int64_t>(replaced, len - at)), t, uint32_t(dup));
  s->w1 = at + added;
  if (told) (void)ownership_check(*s, ChangeWord::CHANGED, none_cell(), int32_t(at), n);
  return *s;
}

may_gc Cell take(const Cell& series, const Cell* part, bool, bool last) {
  RootedCell s(series);
  Cell r = series_take(s.get(), part, last);
  if (r.is(TYPE_NONE) || part) return r;
  // One element: a char!, or an integer! byte of a binary.
  return node_buffer(r.node())->length() ? series_element(r, 0) : none_cell();
}

// --- trim ----------------------------------------------------------------------------------

bool is_white_space(uint32_t cp) {
  if (cp <= 32) return cp >= 1;
  if (cp < 0x85) return false;
  switch (cp) {
    case 0x85: case 0xA0: case 0x1680: case 0x180E: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

namespace {

// White space inside a line: all of it but the line feed.
inline bool line_space(uint32_t c) { return c != '\n' && is_white_space(c); }

// The characters to remove for /all and /with.
class CharSet {
 public:
  void add(uint32_t c) {
    if (c < 256) low_[c] = true;
    else high_.push_back(c);
  }
  bool has(uint32_t c) const {
    if (c < 256) return low_[c];
    return std::find(high_.begin(), high_.end(), c) != high_.end();
  }

 private:
  bool low_[256] = {};
  std::vector<uint32_t> high_;
};

CharSet trim_set(const Cell* with) {
  CharSet set;
  if (!with) {
    for (uint32_t c : {9u, 10u, 13u, 32u}) set.add(c);
    return set;
  }
  if (with->is(TYPE_CHAR) || with->is(TYPE_INTEGER)) {
    if (with->i2() >= 0) set.add(with->w2);
  } else if (is_any_string(with->type()) || with->is(TYPE_BINARY)) {
    View v = detail::view_of(*with);
    for (uint32_t i = 0; i < v.len; i++) set.add(v.at(i));
  } else {
    fire(ErrId::INVALID_ARG, *with);
  }
  return set;
}

// In-place editing of the characters [from, n) of one buffer: reads at r,
// writes at w <= r. Templated on the unit for the long scans.
template <uint32_t U>
struct Chars {
  uint8_t* p;
  uint32_t at(uint32_t i) const { return get_char(p + size_t(i) * U, U); }
  void put(uint32_t i, uint32_t c) { put_char(p + size_t(i) * U, U, c); }
  void move(uint32_t to, uint32_t from, uint32_t n) {
    if (to != from && n) std::memmove(p + size_t(to) * U, p + size_t(from) * U, size_t(n) * U);
  }
  // The next line feed at or after i, or n.
  uint32_t line_end(uint32_t i, uint32_t n) const {
    if constexpr (U == 1) {
      const void* hit = std::memchr(p + i, '\n', n - i);
      return hit ? uint32_t(static_cast<const uint8_t*>(hit) - p) : n;
    } else {
      while (i < n && at(i) != '\n') i++;
      return i;
    }
  }
};

// Each trim answers the new length of the range [0, n) (relative to p).
template <uint32_t U>
uint32_t trim_with(Chars<U> c, uint32_t n, const CharSet& set) {
  uint32_t w = 0;
  for (uint32_t r = 0; r < n; r++) {
    uint32_t ch = c.at(r);
    if (!set.has(ch)) c.put(w++, ch);
  }
  return w;
}

template <uint32_t U>
uint32_t trim_ends(Chars<U> c, uint32_t n, bool head, bool tail) {
  uint32_t a = 0, z = n;
  if (head)
    while (a < z && is_white_space(c.at(a))) a++;
  if (tail)
    while (z > a && is_white_space(c.at(z - 1))) z--;
  c.move(0, a, z - a);
  return z - a;
}

template <uint32_t U>
uint32_t trim_lines(Chars<U> c, uint32_t n) {
  uint32_t w = 0;
  bool pending_space = false;
  for (uint32_t r = 0; r < n; r++) {
    uint32_t ch = c.at(r);
    if (is_white_space(ch)) {
      pending_space = w > 0;
      continue;
    }
    if (pending_space) c.put(w++, ' ');
    pending_space = false;
    c.put(w++, ch);
  }
  return w;
}

template <uint32_t U>
uint32_t trim_default(Chars<U> c, uint32_t n) {
  uint32_t a = 0, z = n;
  while (a < z && is_white_space(c.at(a))) a++;
  while (z > a && is_white_space(c.at(z - 1))) z--;
  bool final_lf = false;
  for (uint32_t i = z; i < n && !final_lf; i++) final_lf = c.at(i) == '\n';
  uint32_t w = 0;
  for (uint32_t r = a; r < z;) {
    uint32_t e = c.line_end(r, z);
    uint32_t ls = r, le = e;
    while (ls < le && line_space(c.at(ls))) ls++;
    while (le > ls && line_space(c.at(le - 1))) le--;
    c.move(w, ls, le - ls);
    w += le - ls;
    if (e < z) c.put(w++, '\n');
    r = e + 1;
  }
  if (final_lf) c.put(w++, '\n');
  return w;
}

enum class TrimKind : uint8_t { WITH, LINES, ENDS, DEFAULT };

template <uint32_t U>
uint32_t trim_run(uint8_t* p, uint32_t n, TrimKind kind, const TrimOptions& o, const CharSet& set) {
  Chars<U> c{p};
  switch (kind) {
    case TrimKind::WITH: return trim_with(c, n, set);
    case TrimKind::LINES: return trim_lines(c, n);
    case TrimKind::ENDS: return trim_ends(c, n, o.head, o.tail);
    default: return trim_default(c, n);
  }
}

}  // namespace

may_gc Cell trim(const Cell& series, const TrimOptions& o) {
  if (o.automatic) fire(ErrId::NOT_DONE);
  RootedCell s(series);
  TrimKind kind = (o.all || o.with) ? TrimKind::WITH
                  : o.lines         ? TrimKind::LINES
                  : (o.head || o.tail) ? TrimKind::ENDS
                                       : TrimKind::DEFAULT;
  CharSet set;
  if (kind == TrimKind::WITH) set = trim_set(o.with);
  uint32_t index = detail::clamp_index(s.get());
  bool told = report_change(*s, ChangeWord::TRIM, none_cell(), int32_t(index), 0);
  index = detail::clamp_index(s.get());
  Buffer* b = node_buffer(s->node());
  uint32_t n = b->length() - index;
  uint8_t* p = b->head_ptr() + size_t(index) * b->unit();
  uint32_t kept;
  switch (b->unit()) {
    case 1: kept = trim_run<1>(p, n, kind, o, set); break;
    case 2: kept = trim_run<2>(p, n, kind, o, set); break;
    default: kept = trim_run<4>(p, n, kind, o, set); break;
  }
  b->tail = b->head + (index + kept) * b->unit();
  if (told) (void)ownership_check(*s, ChangeWord::TRIMMED, none_cell(), int32_t(index), 0);
  return *s;
}

// --- swap -----------------------------------------------------------------------------------

may_gc Cell swap(const Cell& series, const Cell& other) {
  if (!is_any_string(other.type()) && !other.is(TYPE_BINARY)) fire(ErrId::INVALID_ARG, other);
  RootedCell a(series), b(other);
  if (series_length_of(*a) == 0 || series_length_of(*b) == 0) return *a;
  uint32_t ia = uint32_t(series_index(*a)), ib = uint32_t(series_index(*b));
  uint32_t ca = series_element(*a, ia).w2, cb = series_element(*b, ib).w2;
  if (b->is(TYPE_BINARY) && ca > 255) fire(ErrId::OUT_OF_RANGE, char_cell(ca));
  bool told_a = report_change(*a, ChangeWord::SWAP, none_cell(), int32_t(ia), 1);
  bool told_b = report_change(*b, ChangeWord::SWAP, none_cell(), int32_t(ib), 1);
  // The owners may have shortened either side.
  if (ia < series_total(*a) && ib < series_total(*b)) {
    series_store(*a, ia, char_cell(cb));
    series_store(*b, ib, b->is(TYPE_BINARY) ? integer_cell(int32_t(ca)) : char_cell(ca));
  }
  if (told_a) (void)ownership_check(*a, ChangeWord::SWAPED, none_cell(), int32_t(ia), 1);
  if (told_b) (void)ownership_check(*b, ChangeWord::SWAPED, none_cell(), int32_t(ib), 1);
  return *a;
}

// --- sort -----------------------------------------------------------------------------------

namespace {

struct SortCtx {
  uint32_t unit;
  uint32_t record;  // characters per record
  uint32_t offset;  // the character compared (without /all)
  bool fold, all, reverse;
  TypeId type;                       // of the sorted series
  const SortFunction* fn = nullptr;  // a comparator function, or null
};

int compare_records(const void* pa, const void* pb, void* arg, uint32_t) {
  const SortCtx& c = *static_cast<const SortCtx*>(arg);
  auto a = static_cast<const uint8_t*>(pa), b = static_cast<const uint8_t*>(pb);
  uint32_t from = c.all ? 0 : c.offset, to = c.all ? c.record : c.offset + 1;
  int r = 0;
  for (uint32_t i = from; i < to && r == 0; i++) {
    uint32_t x = key_of(get_char(a + size_t(i) * c.unit, c.unit), c.fold);
    uint32_t y = key_of(get_char(b + size_t(i) * c.unit, c.unit), c.fold);
    r = (x > y) - (x < y);
  }
  return c.reverse ? -r : r;
}

// The function gets two characters (bytes as integers for a binary), or
// with /all two one-record series of the sorted type. The characters are
// copied out before anything runs: the call may move or change the series.
may_gc int compare_by_function(const void* pa, const void* pb, void* arg, uint32_t) {
  const SortCtx& c = *static_cast<const SortCtx*>(arg);
  auto a = static_cast<const uint8_t*>(pa), b = static_cast<const uint8_t*>(pb);
  if (c.reverse) std::swap(a, b);
  uint32_t from = c.all ? 0 : c.offset, n = c.all ? c.record : 1;
  std::vector<uint32_t> chars(size_t(n) * 2);
  for (uint32_t i = 0; i < n; i++) {
    chars[i] = get_char(a + size_t(from + i) * c.unit, c.unit);
    chars[n + i] = get_char(b + size_t(from + i) * c.unit, c.unit);
  }
  bool bytes = c.type == TYPE_BINARY;
  RootedCell x, y;
  if (!c.all) {
    *x = bytes ? integer_cell(int32_t(chars[0])) : char_cell(chars[0]);
    *y = bytes ? integer_cell(int32_t(chars[1])) : char_cell(chars[1]);
  } else if (bytes) {
    std::vector<uint8_t> raw(chars.begin(), chars.end());
    *x = binary::load(raw.data(), n);
    *y = binary::load(raw.data() + n, n);
  } else {
    make_at(x.get(), n, c.type);
    append_code_points(x->node(), chars.data(), n);
    make_at(y.get(), n, c.type);
    append_code_points(y->node(), chars.data() + n, n);
  }
  return sort_function_order(*c.fn, *x, *y);
}

}  // namespace

may_gc Cell sort(const Cell& series, const SortOptions& o) {
  RootedCell s(series);
  uint32_t total = node_buffer(s->node())->length();
  int64_t index = detail::clamp_index(s.get());
  int64_t len = total - index;
  if (o.part) {
    sort_part_range(s.get(), detail::part_count(*s, *o.part), &index, &len);
  }
  RootedCell fn_value;
  SortFunction fn;
  auto [record, offset] = sort_records(o.skip, o.compare, o.all, len, fn_value, &fn);
  bool told = report_change(*s, ChangeWord::SORT, none_cell(), int32_t(index), 0);
  Buffer* b = node_buffer(s->node());
  if (len > 1 && index + len <= b->length()) {
    // Bytes never fold.
    bool fold = !o.case_sensitive && is_any_string(s->type());
    SortCtx ctx{b->unit(), uint32_t(record), uint32_t(offset), fold, o.all, o.reverse, s->type(),
                fn.fn ? &fn : nullptr};
    SortCompare cmp = ctx.fn ? compare_by_function : compare_records;
    SeriesSortRange range;
    SortArray arr = series_sort_array(&range, s->node(), uint32_t(index), size_t(len / record),
                                      uint32_t(record) * b->unit(), false);
    if (o.stable) merge_sort(arr, &ctx, 0, cmp);
    else quicksort(arr, &ctx, 0, cmp);
  }
  if (told) (void)ownership_check(*s, ChangeWord::SORTED, none_cell(), int32_t(index), 0);
  return *s;
}

// --- set operations ---------------------------------------------------------------------

may_gc Cell do_set_op(const Cell& first, const Cell* second, bool case_sensitive, int32_t skip, SetOp op) {
  if (skip < 1) fire_refine_arg("skip", integer_cell(skip));
  bool fold = !case_sensitive;
  RootedCell a(first), b(second ? *second : none_cell());
  bool two = second != nullptr && op != SET_UNIQUE;
  // Keys of every skip-th character.
  auto keys_of = [&](const Cell& v) {
    std::unordered_set<uint32_t> k;
    View x = detail::view_of(v);
    for (uint32_t i = 0; i < x.len; i += uint32_t(skip)) k.insert(key_of(x.at(i), fold));
    return k;
  };
  std::unordered_set<uint32_t> in_a, in_b, seen;
  if (two) {
    in_b = keys_of(*b);
    if (op == SET_DIFFERENCE) in_a = keys_of(*a);
  }
  std::vector<uint32_t> out;
  auto pass = [&](const Cell& v, const std::unordered_set<uint32_t>* other) {
    View x = detail::view_of(v);
    for (uint32_t i = 0; i < x.len; i += uint32_t(skip)) {
      uint32_t k = key_of(x.at(i), fold);
      if (seen.count(k)) continue;
      bool keep = true;
      if (op == SET_INTERSECT) keep = other && other->count(k);
      else if (op == SET_EXCLUDE || op == SET_DIFFERENCE) keep = !other || !other->count(k);
      if (!keep) continue;
      seen.insert(k);
      for (uint32_t j = i; j < i + uint32_t(skip) && j < x.len; j++) out.push_back(x.at(j));
    }
  };
  pass(*a, two ? &in_b : nullptr);
  if (two && (op == SET_UNION || op == SET_DIFFERENCE)) pass(*b, &in_a);
  RootedCell r;
  make_at(r.get(), uint32_t(out.size()), first.type());
  append_code_points(r->node(), out.data(), out.size());
  return *r;
}

// --- frame entries --------------------------------------------------------------------------

namespace detail {

// The /dup count: 1 without /dup; a count below 1 adds nothing.
static int32_t dup_count(const Cell& flag, const Cell& count) {
  if (!used(flag)) return 1;
  if (count.is(TYPE_INTEGER) || count.is(TYPE_FLOAT)) return std::max<int32_t>(0, check_float_to_int(count));
  fire(ErrId::INVALID_ARG, count);
}

// append, insert, change: series value /part length /only /dup count.
Status append_action(Cell* base) {
  using enum act::append::Frame;
  base[RESULT] = append(base[SERIES], base[VALUE], used(base[PART]) ? &base[LENGTH] : nullptr, used(base[ONLY]),
                        dup_count(base[DUP], base[COUNT]));
  return Status::OK;
}

Status insert_action(Cell* base) {
  using enum act::insert::Frame;
  base[RESULT] = insert(base[SERIES], base[VALUE], used(base[PART]) ? &base[LENGTH] : nullptr, used(base[ONLY]),
                        dup_count(base[DUP], base[COUNT]));
  return Status::OK;
}

Status change_action(Cell* base) {
  using enum act::change::Frame;
  base[RESULT] = change(base[SERIES], base[VALUE], used(base[PART]) ? &base[RANGE] : nullptr, used(base[ONLY]),
                        dup_count(base[DUP], base[COUNT]));
  return Status::OK;
}

// take: series /part length /deep /last.
Status take_action(Cell* base) {
  using enum act::take::Frame;
  base[RESULT] = take(base[SERIES], used(base[PART]) ? &base[LENGTH] : nullptr, used(base[DEEP]), used(base[LAST]));
  return Status::OK;
}

// trim: series /head /tail /auto /lines /all /with str.
Status trim_action(Cell* base) {
  using enum act::trim::Frame;
  TrimOptions o;
  o.head = used(base[HEAD]);
  o.tail = used(base[TAIL]);
  o.automatic = used(base[AUTO]);
  o.lines = used(base[LINES]);
  o.all = used(base[ALL]);
  if (used(base[WITH])) o.with = &base[STR];
  base[RESULT] = trim(base[SERIES], o);
  return Status::OK;
}

// swap: series1 series2.
Status swap_action(Cell* base) {
  using enum act::swap::Frame;
  base[RESULT] = swap(base[SERIES1], base[SERIES2]);
  return Status::OK;
}

// sort: series /case /skip size /compare comparator /part length /all
// /reverse /stable.
Status sort_action(Cell* base) {
  using enum act::sort::Frame;
  SortOptions o;
  o.case_sensitive = used(base[CASE]);
  if (used(base[SKIP])) o.skip = &base[SIZE];
  if (used(base[COMPARE])) o.compare = &base[COMPARATOR];
  if (used(base[PART])) o.part = &base[LENGTH];
  o.all = used(base[ALL]);
  o.reverse = used(base[REVERSE]);
  o.stable = used(base[STABLE]);
  try {
    base[RESULT] = sort(base[SERIES], o);
  } catch (const SortSignal& signal) {
    return signal.status;
  }
  return Status::OK;
}

}  // namespace detail

}  // namespace vel::string
