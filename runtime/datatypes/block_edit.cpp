// block!: the actions that search (find, select), write by key (put),
// order (sort) and edit in place (append, insert, change, swap, trim).
// paren! and the path types reach them through inheritance (sort only
// paren!, trim neither).
//
// Every edit keeps a hash! table in step and reports itself to the series'
// owner before and after. An owner's report runs Vel code, so positions
// are read again after it.
#include <algorithm>
#include <cstring>
#include <vector>

#include "action_frames.h"
#include "frame.h"
#include "families.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "eval.h"
#include "datatypes/function.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/sort_function.h"
#include "datatypes/string_impl.h"
#include "errors.h"
#include "hashtable.h"
#include "datatypes/ownership.h"
#include "roots.h"
#include "series_ops.h"
#include "sort.h"
#include "stack.h"

namespace vel {

namespace {

inline NodeId hash_table_of(const Cell& s) { return s.is(TYPE_HASH) ? s.w3 : 0; }
inline int64_t total_of(const Cell& s) { return block::total(s); }

// The index clamped to [0, tail] and written back.
uint32_t clamp_index(Cell* s) {
  int64_t n = total_of(*s), i = s->index();
  i = i < 0 ? 0 : std::min(i, n);
  s->w1 = uint32_t(i);
  return uint32_t(i);
}

// Enters the cells [at, at + n) that were just inserted into a hash!.
may_gc void hash_inserted(const Cell& s, uint32_t at, uint32_t n) {
  NodeId table = hash_table_of(s);
  if (!table || n == 0) return;
  if (hash_table::shift_indexes(table, at, int32_t(n))) {
    hash_table::rebuild(table, uint32_t(total_of(s)));
    return;
  }
  for (uint32_t k = 0; k < n; k++)
    if (hash_table::put_status(table, at + k) == hash_table::PUT_REBUILT) return;
}

may_gc void hash_rebuild(const Cell& s) {
  if (NodeId table = hash_table_of(s)) hash_table::rebuild(table, uint32_t(total_of(s)));
}

// Refuses sizes that cannot be held: count x dup new cells in a series of
// `cells` cells of which `removed` go.
void check_size(uint64_t cells, uint64_t removed, uint64_t count, int64_t dup) {
  if (dup < 0) fire(ErrId::NO_MEMORY);
  constexpr uint64_t max_cells = MAX_CAPACITY / 16;
  uint64_t add = count * uint64_t(dup);  // both below 2^32: no overflow
  if (add > max_cells || cells - std::min(removed, cells) + add > max_cells) fire(ErrId::NO_MEMORY);
}

// Room for `need` cells; with doubling, twice that when it fits.
may_gc void ensure_cells(NodeId node, uint64_t need, bool doubling) {
  Buffer* b = node_buffer(node);
  uint64_t bytes = need * 16;
  if (b->head + bytes <= b->capacity) return;
  uint64_t cap = doubling ? std::min<uint64_t>(bytes * 2, MAX_CAPACITY) : bytes;
  expand_series(node, std::max(cap, bytes));
}

// --- find and select -------------------------------------------------------------------

enum class Match : uint8_t { VALUE, TYPE, TYPESET, SEQUENCE };

struct Found {
  int64_t at = -1;   // the matching cell, or -1
  int64_t span = 1;  // cells the match covers (a sequence's length)
  int64_t step = 1;
  bool backward = false;
  bool sequence = false;
};

// The search of find and select: the cells from the position (or before
// it, backward) that match the value.
Found search(const Cell& series, const Cell& value, const FindOptions& a) {
  Found f;
  int64_t n = total_of(series);
  int64_t index = series_index(series);
  f.backward = a.last || a.reverse;
  if (n == 0 || (!f.backward && index >= n)) return f;
  index = std::min(index, n);
  if (a.skip) {
    if (!a.skip->is(TYPE_INTEGER)) fire_refine_arg("skip", *a.skip);
    if (a.skip->i2() < 1) fire(ErrId::OUT_OF_RANGE, *a.skip);
    f.step = a.skip->i2();
  }
  // The last cell that may be examined.
  int64_t limit = n - 1;
  bool limited = false;
  if (a.part) {
    const Cell& p = *a.part;
    if (p.is(TYPE_INTEGER) || p.is(TYPE_FLOAT)) {
      int64_t c = p.is(TYPE_INTEGER) ? p.i2() : check_float_to_int(p);
      if (c < 1) return f;
      limit = index + c - 1;
    } else if (p.type() == series.type() && p.node() == series.node()) {
      if (p.index() <= index) return f;
      limit = int64_t(p.index()) - 1;
    } else {
      fire_refine_arg("part", p);
    }
    limit = std::min(limit, n - 1);
    limited = true;
  }
  Match mode = Match::VALUE;
  int64_t k = 1;
  if (!a.only) {
    if (value.is(TYPE_DATATYPE)) mode = Match::TYPE;
    else if (value.is(TYPE_TYPESET)) mode = Match::TYPESET;
    else if (is_any_block(value.type())) {
      mode = Match::SEQUENCE;
      k = series_length_of(value);
      if (k == 0) return f;
    }
  }
  int op = a.same ? CMP_SAME : a.case_sensitive ? CMP_STRICT_EQUAL : CMP_FIND;
  f.sequence = mode == Match::SEQUENCE;
  f.span = k;

  // A hash! answers single values from its table. Blocks hash by identity
  // and objects are matched by content, so those are scanned.
  NodeId table = hash_table_of(series);
  if (table && !a.match && mode == Match::VALUE && !(is_any_block(value.type()) && !a.same) &&
      !(value.is(TYPE_OBJECT) && !a.same)) {
    int64_t start = !f.backward ? index : limited ? limit + 1 : (a.last ? n : index);
    int32_t at = hash_table::get(table, value, int32_t(start), int32_t(f.step), op, a.last, a.reverse);
    if (at >= 0 && (f.backward || at <= limit)) f.at = at;
    return f;
  }
  int64_t vstart = series_index(value);

  // No allocation below: the cells are read in place.
  NoGcScope no_gc;
  auto matches = [&](int64_t i) -> bool {
    const Cell* c = block::buffer(series)->cells();
    switch (mode) {
      case Match::TYPE: return c[i].type() == TypeId(value.w1);
      case Match::TYPESET: return types_include(value, c[i].type());
      case Match::VALUE: return compare_cells(&value, &c[i], op) == 0;
      case Match::SEQUENCE: {
        if (i + k - 1 > limit) return false;
        const Cell* v = block::buffer(value)->cells() + vstart;
        for (int64_t j = 0; j < k; j++)
          if (compare_cells(&v[j], &c[i + j], op) != 0) return false;
        return true;
      }
    }
    return false;
  };

  if (!f.backward) {
    for (int64_t i = index; i <= limit; i += f.step) {
      if (matches(i)) {
        f.at = i;
        break;
      }
      if (a.match) break;
    }
  } else {
    int64_t start = limited ? limit : (a.last ? n : index) - std::max<int64_t>(k, 1);
    for (int64_t i = start; i >= 0; i -= f.step) {
      if (i <= limit && matches(i)) {
        f.at = i;
        break;
      }
      if (a.match) break;
    }
  }
  return f;
}

// find and select on blocks: /any and /with have no effect.
Status block_find(Cell* base) {
  using enum act::find::Frame;
  FindOptions a = find_options(base, true);
  Found f = search(base[SERIES], base[VALUE], a);
  if (f.at < 0) {
    base[RESULT] = none_cell();
    return Status::OK;
  }
  int64_t at = f.at;
  if (a.tail) at += f.sequence ? f.span : (f.backward ? 1 : f.step);
  at = std::min<int64_t>(at, total_of(base[SERIES]));
  base[SERIES].w1 = uint32_t(at);
  return Status::OK;
}

Status block_select(Cell* base) {
  using enum act::select::Frame;
  FindOptions a = find_options(base, false);
  Found f = search(base[SERIES], base[VALUE], a);
  int64_t after = f.at + f.span;
  base[RESULT] =
      (f.at < 0 || after >= total_of(base[SERIES])) ? none_cell() : block::buffer(base[SERIES])->cells()[after];
  return Status::OK;
}

// --- put -----------------------------------------------------------------------------------

// put: series key value /case. The value after the key is always written:
// a value that merely compares equal (another case, another number type)
// is still the value asked for.
Status block_put(Cell* base) {
  using enum act::put::Frame;
  RootedCell s(base[SERIES]), key(base[KEY]), value(base[VALUE]);
  FindOptions a;
  a.case_sensitive = used(base[CASE]);
  a.only = true;
  Found f = search(*s, *key, a);
  if (f.at < 0) {
    int32_t from = series_length_of(*s);
    bool told = report_change(*s, ChangeWord::PUT, *value, from, 1);
    uint32_t at = uint32_t(total_of(*s));
    check_size(at, 0, 2, 1);
    ensure_cells(s->node(), uint64_t(at) + 2, true);
    Buffer* b = block::buffer(*s);
    b->cells()[at] = *key;
    b->cells()[at + 1] = *value;
    b->tail += 32;
    hash_inserted(*s, at, 2);
    if (told) (void)ownership_check(*s, ChangeWord::PUT_ED, *value, from, 1);
  } else {
    int32_t at = int32_t(f.at + 1);
    bool told = report_change(*s, ChangeWord::PUT, *value, at, 1);
    if (at < total_of(*s)) {
      series_store(*s, uint32_t(at), *value);
    } else {
      uint32_t n = uint32_t(total_of(*s));
      ensure_cells(s->node(), uint64_t(n) + 1, true);
      Buffer* b = block::buffer(*s);
      b->cells()[n] = *value;
      b->tail += 16;
      hash_inserted(*s, n, 1);
    }
    if (told) (void)ownership_check(*s, ChangeWord::PUT_ED, *value, at, 1);
  }
  base[RESULT] = *value;
  return Status::OK;
}

// --- append, insert, change ------------------------------------------------------------------

// The cells a value contributes: `count` cells of `node` from `start`, or
// (node 0) the value itself.
struct Source {
  NodeId node = 0;
  uint32_t start = 0;
  uint32_t count = 1;
};

inline bool spliced(const Cell& v, bool only) { return !only && is_any_block(v.type()); }

// Types that may carry /part: values with a buffer.
bool holds_buffer(TypeId t) { return is_series_type(t) || t == TYPE_MAP; }

// The /dup count: 1 without /dup; a count below 1 adds nothing.
int64_t dup_count(const Cell& flag, const Cell& count) {
  if (!used(flag)) return 1;
  if (count.is(TYPE_INTEGER)) return std::max<int64_t>(0, count.i2());
  if (count.is(TYPE_FLOAT)) return std::max<int64_t>(0, check_float_to_int(count));
  fire_refine_arg("dup", count);
}

// Readies the source for the splice after the owner was told of the
// change: the owner may have shortened the source series, so the cells
// taken are clamped to what is left of it; cells taken from the series
// being edited are copied out, so that moving its cells cannot disturb them.
may_gc void settle_source(Source* src, NodeId series, RootedNode& keep) {
  if (src->node) {
    uint32_t vt = node_buffer(src->node)->used() >> 4;
    if (src->start > vt) src->start = vt;
    src->count = std::min(src->count, vt - src->start);
  }
  if (src->node != series || src->count == 0) return;
  keep = copy_part(series, src->start, src->count);
  src->node = keep;
  src->start = 0;
}

// Replaces `removed` cells at `at` by the source repeated dup times.
// Answers the number of cells written.
may_gc uint32_t splice(Cell* s, uint32_t at, uint32_t removed, const Cell& value, const Source& src, uint32_t dup,
                       bool doubling) {
  NodeId node = s->node();
  uint32_t len = uint32_t(total_of(*s));
  at = std::min(at, len);
  removed = std::min(removed, len - at);
  uint32_t add = src.count * dup;
  if (add > removed) ensure_cells(node, uint64_t(len) - removed + add, doubling);
  Buffer* b = node_buffer(node);
  Cell* c = b->cells();
  std::memmove(c + at + add, c + at + removed, size_t(len - at - removed) * 16);
  if (add) {
    if (src.node) std::memcpy(c + at, node_buffer(src.node)->cells() + src.start, size_t(src.count) * 16);
    else c[at] = value;
    repeat_in_place(reinterpret_cast<uint8_t*>(c + at), src.count * 16, dup);
  }
  b->tail = b->head + (len - removed + add) * 16;
  return add;
}

enum class Edit : uint8_t { APPEND, INSERT };

// append/insert: series value /part length /only /dup count.
may_gc Status add_cells(Cell* base, Edit how) {
  using enum act::append::Frame;
  // One value at the tail, the commonest edit: no part, no dup, nothing
  // spliced, no owner to tell and no hash to keep up.
  if (how == Edit::APPEND && !used(base[PART]) && !used(base[DUP]) && !spliced(base[VALUE], used(base[ONLY])) &&
      !hash_table_of(base[SERIES]) && !series_flagged_owned(base[SERIES])) {
    uint32_t len = uint32_t(total_of(base[SERIES]));
    check_size(len, 0, 1, 1);
    splice(&base[SERIES], len, 0, base[VALUE], Source{}, 1, true);
    base[SERIES].w1 = 0;
    return Status::OK;
  }
  RootedCell s(base[SERIES]), v(base[VALUE]);
  bool only = used(base[ONLY]);
  int64_t dup = dup_count(base[DUP], base[COUNT]);
  clamp_index(s.get());
  Source src;
  int64_t start = 0, count = 1;
  if (used(base[PART])) {
    if (!holds_buffer(v->type()) || !v->node()) fire(ErrId::INVALID_PART, base[LENGTH]);
    int64_t total = v->is(TYPE_MAP) ? 0 : int64_t(node_buffer(v->node())->length());
    if (!v->is(TYPE_MAP) && !part_range(*v, base[LENGTH], total, &start, &count)) {
      base[RESULT] = *s;
      return Status::OK;
    }
    if (!spliced(*v, only)) count = 1;
  } else if (spliced(*v, only)) {
    start = series_index(*v);
    count = series_length_of(*v);
  }
  if (spliced(*v, only)) {
    if (count == 0) {
      base[RESULT] = *s;
      return Status::OK;
    }
    src.node = v->node();
    src.start = uint32_t(start);
  }
  src.count = uint32_t(count);
  check_size(uint64_t(total_of(*s)), 0, src.count, dup);
  int32_t n = int32_t(uint64_t(src.count) * uint64_t(dup));
  uint32_t total = uint32_t(total_of(*s));
  bool append = how == Edit::APPEND || uint32_t(s->index()) >= total;
  uint32_t at = append ? total : uint32_t(s->index());
  bool told = report_change(*s, how == Edit::APPEND ? ChangeWord::APPEND : ChangeWord::INSERT, *v, int32_t(at), n);
  // The owner may have edited either series.
  total = uint32_t(total_of(*s));
  if (append || at > total) at = total;
  RootedNode keep;
  settle_source(&src, s->node(), keep);
  check_size(total, 0, src.count, dup);
  uint32_t added = splice(s.get(), at, 0, *v, src, uint32_t(dup), dup < 5);
  hash_inserted(*s, at, added);
  if (told)
    (void)ownership_check(*s, how == Edit::APPEND ? ChangeWord::APPENDED : ChangeWord::INSERTED, *v, int32_t(at), n);
  if (how == Edit::APPEND) s->w1 = 0;
  else s->w1 = std::min<uint32_t>(at + added, uint32_t(total_of(*s)));
  base[RESULT] = *s;
  return Status::OK;
}

Status block_append(Cell* base) { return add_cells(base, Edit::APPEND); }
Status block_insert(Cell* base) { return add_cells(base, Edit::INSERT); }

// change: series value /part range /only /dup count. Answers the position
// after the new cells.
Status block_change(Cell* base) {
  using enum act::change::Frame;
  RootedCell s(base[SERIES]), v(base[VALUE]);
  bool only = used(base[ONLY]);
  int64_t dup = dup_count(base[DUP], base[COUNT]);
  if (dup < 0) fire(ErrId::NO_MEMORY);
  uint32_t at = clamp_index(s.get());
  int64_t avail = total_of(*s) - at;
  Source src;
  if (spliced(*v, only)) {
    src.node = v->node();
    src.start = uint32_t(series_index(*v));
    src.count = uint32_t(series_length_of(*v));
  }
  int64_t replaced;
  if (used(base[PART])) {
    const Cell& p = base[RANGE];
    int64_t c;
    if (p.is(TYPE_INTEGER) || p.is(TYPE_FLOAT)) c = check_float_to_int(p);
    else if (p.type() == s->type() && p.node() == s->node()) c = int64_t(p.index()) - at;
    else fire_refine_arg("part", p);
    replaced = std::clamp<int64_t>(c, 0, avail);
  } else {
    replaced = std::min<int64_t>(int64_t(src.count) * dup, avail);
  }
  check_size(uint64_t(total_of(*s)), uint64_t(replaced), src.count, dup);
  int32_t n = int32_t(uint64_t(src.count) * uint64_t(dup));
  bool told = report_change(*s, ChangeWord::CHANGE, none_cell(), int32_t(at), int32_t(replaced));
  uint32_t total = uint32_t(total_of(*s));
  at = std::min(at, total);
  replaced = std::min<int64_t>(replaced, total - at);
  RootedNode keep;
  settle_source(&src, s->node(), keep);
  check_size(total, uint64_t(replaced), src.count, dup);
  uint32_t added = splice(s.get(), at, uint32_t(replaced), *v, src, uint32_t(dup), false);
  hash_rebuild(*s);
  if (told) (void)ownership_check(*s, ChangeWord::CHANGED, none_cell(), int32_t(at), n);
  s->w1 = std::min<uint32_t>(at + added, uint32_t(total_of(*s)));
  base[RESULT] = *s;
  return Status::OK;
}

// --- swap and trim ----------------------------------------------------------------------------

// swap: series1 series2. Exchanges the cells at the two positions.
Status block_swap(Cell* base) {
  using enum act::swap::Frame;
  if (!is_any_block(base[SERIES2].type())) fire(ErrId::INVALID_ARG, base[SERIES2]);
  RootedCell a(base[SERIES1]), b(base[SERIES2]);
  if (series_at_tail(*a) || series_at_tail(*b)) return Status::OK;
  uint32_t ia = uint32_t(series_index(*a)), ib = uint32_t(series_index(*b));
  bool told_a = report_change(*a, ChangeWord::SWAP, none_cell(), int32_t(ia), 1);
  bool told_b = report_change(*b, ChangeWord::SWAP, none_cell(), int32_t(ib), 1);
  // The owners may have shortened either side.
  if (ia < total_of(*a) && ib < total_of(*b)) {
    RootedCell ca(block::buffer(*a)->cells()[ia]), cb(block::buffer(*b)->cells()[ib]);
    series_store(*a, ia, *cb);
    series_store(*b, ib, *ca);
  }
  if (told_a) (void)ownership_check(*a, ChangeWord::SWAPED, none_cell(), int32_t(ia), 1);
  if (told_b) (void)ownership_check(*b, ChangeWord::SWAPED, none_cell(), int32_t(ib), 1);
  return Status::OK;
}

// trim: series /head /tail /auto /lines /all /with str. A block drops its
// none values from the position on; the refinements mean nothing here.
Status block_trim(Cell* base) {
  using enum act::trim::Frame;
  RootedCell s(base[SERIES]);
  uint32_t index = clamp_index(s.get());
  bool told = report_change(*s, ChangeWord::TRIM, none_cell(), int32_t(index), 0);
  index = clamp_index(s.get());
  Buffer* b = block::buffer(*s);
  Cell* c = b->cells();
  uint32_t n = b->used() >> 4, w = index;
  for (uint32_t r = index; r < n; r++)
    if (!c[r].is(TYPE_NONE)) c[w++] = c[r];
  b->tail = b->head + w * 16;
  if (w != n) hash_rebuild(*s);
  if (told) (void)ownership_check(*s, ChangeWord::TRIMMED, none_cell(), int32_t(index), 0);
  base[RESULT] = *s;
  return Status::OK;
}

// --- sort -------------------------------------------------------------------------------------

struct SortCtx {
  uint32_t record;       // cells per record
  uint32_t offset;       // the cell compared (without /all)
  int op;                // CMP_SORT or CMP_CASE_SORT
  bool all, reverse;
  // A comparator function and, for whole records, the two blocks that
  // carry them.
  SortFunction fn;
  NodeId records[2] = {0, 0};
  NodeId sorted = 0;  // the series being sorted
};

int compare_by_value(const void* pa, const void* pb, void* arg, uint32_t) {
  const SortCtx& c = *static_cast<const SortCtx*>(arg);
  auto a = static_cast<const Cell*>(pa), b = static_cast<const Cell*>(pb);
  if (c.reverse) std::swap(a, b);
  uint32_t from = c.all ? 0 : c.offset, to = c.all ? c.record : c.offset + 1;
  for (uint32_t i = from; i < to; i++) {
    int32_t r = compare_cells(&a[i], &b[i], c.op);
    // Values that do not compare group by type.
    if (r == CMP_INCOMPARABLE) r = int32_t(a[i].type()) - int32_t(b[i].type());
    if (r != 0) return r < 0 ? -1 : 1;
  }
  return 0;
}

// Sorting strings by value reads every operand through its node and buffer
// header; a key array holding each text's address saves those reads. No
// comparison without a function allocates, so the addresses stay valid for
// the whole sort, and the comparison is the string compare's own, so the
// order is the same as sorting the cells.
struct TextKey {
  uint64_t prefix;  // the first keys: eight of 8 bits or four of 16 bits, zero-padded
  const uint8_t* p;
  uint32_t len;
  uint32_t unit;
  uint32_t pos;     // the element's position in the sorted range
  uint32_t has_prefix;  // 0 none, 1 eight 8-bit keys, 2 four 16-bit keys
};
static_assert(sizeof(TextKey) % 8 == 0);

struct TextKeyCtx {
  bool fold;
  bool reverse;
};

// Most comparisons are settled by the first keys, which the key array holds
// inline; the text is read only when they are equal. The prefix orders as
// the full comparison does: keys compare in order, and a shorter text pads
// with 0, below every key but 0 itself (equal prefixes go the full way).
void set_prefix(TextKey* k, bool fold) {
  uint32_t keys[8];
  uint32_t widest = 0;
  for (uint32_t i = 0; i < 8; i++) {
    keys[i] = i < k->len ? string::detail::key_of(get_char(k->p + size_t(i) * k->unit, k->unit), fold) : 0;
    widest = std::max(widest, keys[i]);
  }
  uint64_t prefix = 0;
  if (widest <= 0xFF) {  // eight 8-bit keys
    for (uint32_t i = 0; i < 8; i++) prefix = (prefix << 8) | keys[i];
    k->has_prefix = 1;
  } else if (std::max({keys[0], keys[1], keys[2], keys[3]}) <= 0xFFFF) {  // four 16-bit keys
    for (uint32_t i = 0; i < 4; i++) prefix = (prefix << 16) | keys[i];
    k->has_prefix = 2;
  } else {
    k->has_prefix = 0;
  }
  k->prefix = prefix;
}

int compare_text_keys(const void* pa, const void* pb, void* arg, uint32_t) {
  const auto& c = *static_cast<const TextKeyCtx*>(arg);
  auto a = static_cast<const TextKey*>(pa), b = static_cast<const TextKey*>(pb);
  if (c.reverse) std::swap(a, b);
  if (a->has_prefix && a->has_prefix == b->has_prefix && a->prefix != b->prefix) return a->prefix < b->prefix ? -1 : 1;
  uint32_t l1 = a->len, l2 = b->len;
  if (l1 != l2 && l2 == 0) return 1;
  if (l1 == l2 && l1 == 0) return 0;
  uint32_t n = std::min(l1, l2), i = 0;
  if (!c.fold && a->unit == 1 && b->unit == 1) {
    if (std::memcmp(a->p, b->p, n) != 0) {
      while (a->p[i] == b->p[i]) i++;
      return a->p[i] < b->p[i] ? -1 : 1;
    }
    i = n;
  } else {
    for (; i < n; i++) {
      uint32_t x = string::detail::key_of(get_char(a->p + size_t(i) * a->unit, a->unit), c.fold);
      uint32_t y = string::detail::key_of(get_char(b->p + size_t(i) * b->unit, b->unit), c.fold);
      if (x != y) return x < y ? -1 : 1;
    }
  }
  return l1 < l2 ? -1 : (l1 > l2 ? 1 : 0);
}

// Sorts a range of strings of one type through a key array; answers false
// (nothing done) when the range holds other values.
bool sort_texts(NodeId node, uint32_t index, uint32_t count, int op, bool reverse, bool stable) {
  Cell* cells = node_buffer(node)->cells() + index;
  TypeId t = cells[0].type();
  if (!is_any_string(t)) return false;
  for (uint32_t i = 0; i < count; i++)
    if (!cells[i].is(t)) return false;
  std::vector<TextKey> keys(count);
  TextKeyCtx ctx{op != CMP_CASE_SORT, reverse};
  for (uint32_t i = 0; i < count; i++) {
    string::detail::View v = string::detail::view_of(cells[i]);
    keys[i] = TextKey{0, v.p, v.len, v.unit, i, 0};
    set_prefix(&keys[i], ctx.fold);
  }
  SortArray arr = fixed_sort_array(keys.data(), count, sizeof(TextKey));
  if (stable) merge_sort(arr, &ctx, 0, compare_text_keys);
  else quicksort(arr, &ctx, 0, compare_text_keys);
  std::vector<Cell> sorted(count);
  cells = node_buffer(node)->cells() + index;
  for (uint32_t i = 0; i < count; i++) sorted[i] = cells[keys[i].pos];
  std::memcpy(cells, sorted.data(), size_t(count) * sizeof(Cell));
  return true;
}

// Sorts a range of integers by value with a stable LSD radix sort of the
// cells on their 32-bit values (byte passes; a pass whose byte is the same
// in every value is skipped). Equal values keep their order, which the
// quicksort allows too; nothing runs Vel code or allocates a series, so
// nothing moves. Answers false (nothing done) when the range holds other
// values or is too short to gain.
bool sort_integers(NodeId node, uint32_t index, uint32_t count, bool reverse) {
  if (count < 64) return false;
  const Cell* cells = node_buffer(node)->cells() + index;
  for (uint32_t i = 0; i < count; i++)
    if (!cells[i].is(TYPE_INTEGER)) return false;
  // The value's order as unsigned keys; descending for /reverse.
  const uint32_t flip = reverse ? 0x7FFFFFFFu : 0x80000000u;
  std::vector<Cell> from(cells, cells + count), to(count);
  for (uint32_t shift = 0; shift < 32; shift += 8) {
    uint32_t start[256] = {};
    for (const Cell& c : from) start[((c.w2 ^ flip) >> shift) & 255]++;
    if (start[(from[0].w2 ^ flip) >> shift & 255] == count) continue;
    uint32_t sum = 0;
    for (uint32_t& s : start) {
      uint32_t n = s;
      s = sum;
      sum += n;
    }
    for (const Cell& c : from) to[start[((c.w2 ^ flip) >> shift) & 255]++] = c;
    from.swap(to);
  }
  std::memcpy(node_buffer(node)->cells() + index, from.data(), size_t(count) * sizeof(Cell));
  return true;
}

// The records as the comparator receives them: the first cells, or two
// blocks holding the whole records (with /all and /skip).
may_gc Cell comparator_arg(const SortCtx& c, const Cell* rec, int which) {
  if (!c.all) return rec[0];
  NodeId blk = c.records[which];
  Buffer* b = node_buffer(blk);
  // The comparator may have kept and edited the block: it is refilled.
  if (b->capacity - b->head < c.record * 16) b = expand_buffer(blk, uint64_t(c.record) * 16);
  std::memcpy(b->cells(), rec, size_t(c.record) * 16);
  b->tail = b->head + c.record * 16;
  series_changed(blk);
  return series_cell(TYPE_BLOCK, blk, 0);
}

// Asks the function; whole records travel in the two record blocks.
int compare_by_function(const void* pa, const void* pb, void* arg, uint32_t) {
  const SortCtx& c = *static_cast<const SortCtx*>(arg);
  auto a = static_cast<const Cell*>(pa), b = static_cast<const Cell*>(pb);
  if (c.reverse) std::swap(a, b);
  // a and b live in the sorted series, which the call may move: the
  // records are copied into the rooted argument cells first.
  RootedCell x(a[0]), y(b[0]);
  if (c.all) {
    std::vector<Cell> recs(a, a + c.record);
    recs.insert(recs.end(), b, b + c.record);
    RootedCells keep(recs.data(), recs.size());
    *x = comparator_arg(c, recs.data(), 0);
    *y = comparator_arg(c, recs.data() + c.record, 1);
  }
  // The comparator may read the series half sorted: its cells have moved
  // since the last call, and code compiled from it then no longer holds.
  series_changed(c.sorted);
  return sort_function_order(c.fn, *x, *y);
}

// sort: series /case /skip size /compare comparator /part length /all
// /reverse /stable. Answers the series.
Status block_sort(Cell* base) {
  using enum act::sort::Frame;
  RootedCell s(base[SERIES]);
  RootedCell fn(none_cell());
  int64_t index = clamp_index(s.get());
  int64_t len = total_of(*s) - index;
  if (used(base[PART])) {
    const Cell& p = base[LENGTH];
    int64_t c;
    if (p.is(TYPE_INTEGER) || p.is(TYPE_FLOAT)) c = check_float_to_int(p);
    else if (p.type() == s->type() && p.node() == s->node()) c = int64_t(p.index()) - index;
    else fire_refine_arg("part", p);
    sort_part_range(s.get(), c, &index, &len);
  }
  base[RESULT] = *s;
  if (len == 0) return Status::OK;
  bool all = used(base[ALL]);
  int64_t record = 1;
  if (used(base[SKIP])) {
    const Cell& r = base[SIZE];
    if (!r.is(TYPE_INTEGER) || r.i2() < 1 || r.i2() > len || len % r.i2()) fire_refine_arg("skip", r);
    record = r.i2();
  }
  if (all && !used(base[SKIP])) fire(ErrId::BAD_REFINES);
  SortCtx ctx{};
  ctx.record = uint32_t(record);
  ctx.op = used(base[CASE]) ? CMP_CASE_SORT : CMP_SORT;
  ctx.all = all;
  ctx.reverse = used(base[REVERSE]);
  ctx.sorted = s->node();
  SortCompare cmp = compare_by_value;
  RootedNode rec_a, rec_b;
  if (used(base[COMPARE])) {
    const Cell& k = base[COMPARATOR];
    if (k.is(TYPE_INTEGER)) {
      if (all || !used(base[SKIP])) fire(ErrId::BAD_REFINES);
      if (k.i2() < 1 || k.i2() > record) fire(ErrId::OUT_OF_RANGE, k);
      ctx.offset = uint32_t(k.i2() - 1);
    } else if (is_callable(k.type())) {
      *fn = k;
      sort_function_shape(&ctx.fn, *fn);
      ctx.fn.fn = fn.get();
      // Whole records travel in two blocks made once per sort.
      ctx.all = all;
      if (all) {
        rec_a = alloc_cells(uint64_t(record));
        rec_b = alloc_cells(uint64_t(record));
        ctx.records[0] = rec_a;
        ctx.records[1] = rec_b;
      }
      cmp = compare_by_function;
    } else {
      fire_refine_arg("compare", k);
    }
  }
  bool told = report_change(*s, ChangeWord::SORT, none_cell(), int32_t(index), 0);
  if (len / record > 1 && index + len <= total_of(*s)) {
    if (cmp == compare_by_value && record == 1 &&
        (sort_integers(s->node(), uint32_t(index), uint32_t(len), ctx.reverse) ||
         sort_texts(s->node(), uint32_t(index), uint32_t(len), ctx.op, ctx.reverse, used(base[STABLE])))) {
      if (told) (void)ownership_check(*s, ChangeWord::SORTED, none_cell(), int32_t(index), 0);
      return Status::OK;
    }
    SeriesSortRange range;
    SortArray arr = series_sort_array(&range, s->node(), uint32_t(index), size_t(len / record),
                                      uint32_t(record) * 16, true);
    try {
      if (used(base[STABLE])) merge_sort(arr, &ctx, 0, cmp);
      else quicksort(arr, &ctx, 0, cmp);
    } catch (const SortSignal& signal) {
      return signal.status;
    }
  }
  if (told) (void)ownership_check(*s, ChangeWord::SORTED, none_cell(), int32_t(index), 0);
  return Status::OK;
}

}  // namespace

// The searching and editing slots of block!, which its registration adds.
void register_block_edit(TypeBuilder& b) {
  b.action(ACT_FIND, block_find)
      .action(ACT_SELECT, block_select)
      .action(ACT_PUT, block_put)
      .action(ACT_SORT, block_sort)
      .action(ACT_APPEND, block_append)
      .action(ACT_INSERT, block_insert)
      .action(ACT_CHANGE, block_change)
      .action(ACT_SWAP, block_swap)
      .action(ACT_TRIM, block_trim);
}

}  // namespace vel
