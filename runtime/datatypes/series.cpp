// series!: the abstract parent of every series type. Its actions reach
// block!, string!, binary! and their children through inheritance.
#include <algorithm>
#include <array>
#include <memory>
#include <cstring>

#include "action_frames.h"
#include "frame.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "hashtable.h"
#include "datatypes/ownership.h"
#include "random.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel {

namespace {

ElementAccess g_access[TYPE_COUNT] = {};

inline NodeId hash_table_of(const Cell& s) { return s.is(TYPE_HASH) ? s.w3 : 0; }

int32_t clamp_index(int64_t i, int64_t total) { return int32_t(i < 0 ? 0 : (i > total ? total : i)); }

// The /part count of remove and reverse: an integer!, or a position in the
// same series.
int64_t part_count(const Cell& s, const Cell& part) {
  if (part.is(TYPE_INTEGER)) return part.i2();
  if (part.type() == s.type() && part.node() == s.node()) return int64_t(part.index()) - s.index();
  fire_refine_arg("part", part);
}

// Byte offset of element i from the buffer's data start.
inline uint32_t elem_offset(const Buffer* b, uint64_t i) { return b->head + uint32_t(i << b->unit_shift()); }

// Moves the elements [from, total) down to `to` and lowers the tail.
void close_gap(Buffer* b, uint64_t to, uint64_t from) {
  uint32_t dst = elem_offset(b, to), src = elem_offset(b, from);
  std::memmove(b->data() + dst, b->data() + src, b->tail - src);
  b->tail -= src - dst;
  series_changed(b->node);
}

// Opens room for n elements at element i (the tail moves up), growing the
// buffer to twice what it needs when short. Answers the buffer.
may_gc Buffer* open_gap(NodeId node, uint64_t i, uint64_t n) {
  Buffer* b = node_buffer(node);
  uint64_t bytes = n << b->unit_shift();
  if (uint64_t(b->tail) + bytes > b->capacity) {
    uint64_t need = uint64_t(b->used()) + bytes;
    if (need > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
    b = expand_series(node, std::min<uint64_t>(need * 2, MAX_CAPACITY));
  }
  uint32_t at = elem_offset(b, i);
  std::memmove(b->data() + at + bytes, b->data() + at, b->tail - at);
  b->tail += uint32_t(bytes);
  series_changed(node);
  return b;
}

// Rotates the elements [first, last) left by k.
void rotate_elements(Buffer* b, uint64_t first, uint64_t last, uint64_t k) {
  uint32_t shift = b->unit_shift();
  uint8_t* p = b->head_ptr();
  std::rotate(p + (first << shift), p + ((first + k) << shift), p + (last << shift));
  series_changed(b->node);
}

// Keeps a hash! table in step after n cells were inserted at i.
may_gc void hash_inserted(NodeId table, uint32_t i, uint32_t n) {
  if (!table) return;
  if (hash_table::shift_indexes(table, i, int32_t(n))) {
    hash_table::rebuild(table, node_buffer(hash_table::header(table)->block)->length());
    return;
  }
  for (uint32_t k = 0; k < n; k++)
    if (hash_table::put_status(table, i + k) == hash_table::PUT_REBUILT) return;
}

}  // namespace


void set_element_access(TypeId t, ElementAccess access) { g_access[t] = access; }

FindOptions find_options(const Cell* base, bool with_tail_match) {
  using enum act::find::Frame;
  FindOptions o;
  if (used(base[PART])) o.part = &base[LENGTH];
  o.only = used(base[ONLY]);
  o.case_sensitive = used(base[CASE]);
  o.same = used(base[SAME]);
  if (used(base[SKIP])) o.skip = &base[SIZE];
  o.last = used(base[LAST]);
  o.reverse = used(base[REVERSE]);
  if (with_tail_match) {
    o.tail = used(base[TAIL]);
    o.match = used(base[MATCH]);
  }
  return o;
}

[[noreturn]] void fire_refine_arg(const char* refinement, const Cell& arg_in) {
  RootedCell arg(arg_in);
  Cell ref = word::load_refinement(refinement);
  fire(ErrId::INVALID_REFINE_ARG, ref, *arg);
}

bool part_range(const Cell& value, const Cell& part, int64_t total, int64_t* start, int64_t* count) {
  int64_t idx = std::clamp<int64_t>(value.index(), 0, total);
  int64_t c;
  if (part.is(TYPE_INTEGER) || part.is(TYPE_FLOAT)) c = check_float_to_int(part);
  else if (part.type() == value.type() && part.node() == value.node()) c = std::clamp<int64_t>(part.index(), 0, total) - idx;
  else fire_refine_arg("part", part);
  if (c == 0) return false;
  if (c < 0) {
    if (idx == 0) return false;
    *start = std::max<int64_t>(0, idx + c);
    *count = idx - *start;
  } else {
    *start = idx;
    *count = std::min(c, total - idx);
  }
  return true;
}

int32_t series_length(Cell* s) {
  int64_t total = series_total(*s);
  if (s->index() < 0) return int32_t(total);
  if (s->index() > total) {
    s->w1 = uint32_t(total);
    return 0;
  }
  return int32_t(total - s->index());
}

bool series_rs_skip(Cell* s, int32_t n) {
  int64_t total = series_total(*s), i = int64_t(s->index()) + n;
  if (i <= total) s->w1 = uint32_t(int32_t(i));
  return i >= total;
}

int32_t pick_index_arg(const Cell& arg) {
  switch (arg.type()) {
    case TYPE_INTEGER: return arg.i2();
    case TYPE_CHAR: return int32_t(arg.w2);
    case TYPE_LOGIC: return arg.w1 ? 1 : 2;
    default: return 0;
  }
}

Cell series_element(const Cell& s, uint32_t i) {
  Buffer* b = node_buffer(s.node());
  switch (elem_kind(s.type())) {
    case ElemKind::CELLS: return b->cells()[i];
    case ElemKind::CHARS: return char_cell(get_char(b->head_ptr() + (size_t(i) << b->unit_shift()), b->unit()));
    case ElemKind::BYTES: return integer_cell(b->head_ptr()[i]);
    default:
      if (!g_access[s.type()].get) fire(ErrId::NOT_DONE);
      return g_access[s.type()].get(s, i);
  }
}

may_gc void series_store(const Cell& s, uint32_t i, const Cell& value_in) {
  Cell v = value_in;  // the value may live in a buffer that widening moves
  NodeId node = s.node();
  switch (elem_kind(s.type())) {
    case ElemKind::CELLS: {
      NodeId table = hash_table_of(s);
      if (table) hash_table::remove(table, i);
      node_buffer(node)->cells()[i] = v;
      series_changed(node);
      if (table) hash_table::put(table, i);
      return;
    }
    case ElemKind::CHARS: {
      if (!v.is(TYPE_CHAR)) fire(ErrId::INVALID_ARG, v);
      uint32_t cp = v.w2;
      Buffer* b = node_buffer(node);
      if (unit_for_cp(cp) > b->unit()) b = widen(node, unit_for_cp(cp), 0);
      put_char(b->head_ptr() + (size_t(i) << b->unit_shift()), b->unit(), cp);
      return;
    }
    case ElemKind::BYTES: {
      int64_t byte;
      if (v.is(TYPE_INTEGER)) byte = v.i2();
      else if (v.is(TYPE_CHAR)) byte = v.w2;
      else fire(ErrId::INVALID_ARG, v);
      // One byte: the value's low 8 bits.
      node_buffer(node)->head_ptr()[i] = uint8_t(byte & 0xFF);
      return;
    }
    default:
      if (!g_access[s.type()].put) fire(ErrId::NOT_DONE);
      g_access[s.type()].put(s, i, v);
  }
}

int64_t picked_index(const Cell& s, int64_t n) {
  if (n == 0) return -1;
  // A position past the tail is the tail.
  int64_t total = series_total(s);
  int64_t e = std::min<int64_t>(series_index(s), total) + (n > 0 ? n - 1 : n);
  return (e < 0 || e >= total) ? -1 : e;
}

Cell series_pick(const Cell& s, int64_t n) {
  int64_t e = picked_index(s, n);
  return e < 0 ? none_cell() : series_element(s, uint32_t(e));
}

may_gc void series_poke(const Cell& s_in, int64_t n, const Cell& value_in) {
  RootedCell s(s_in), v(value_in);
  int64_t e = picked_index(*s, n);
  if (e < 0) fire(ErrId::OUT_OF_RANGE, integer_cell(int32_t(n)));
  bool told = report_change(*s, ChangeWord::POKE, *v, int32_t(e), 1);
  // The owner's handler may have shortened the series.
  if (e >= int64_t(series_total(*s))) fire(ErrId::OUT_OF_RANGE, integer_cell(int32_t(n)));
  series_store(*s, uint32_t(e), *v);
  if (told) (void)ownership_check(*s, ChangeWord::POKED, *v, int32_t(e), 1);
}

may_gc Cell series_copy(const Cell& s_in, const Cell* part) {
  const Cell s = s_in;  // s_in may live where the allocation below moves it
  int64_t total = series_total(s), index = series_index(s);
  int64_t start = index, count = index >= total ? 0 : total - index;
  if (part) {
    if (part->is(TYPE_INTEGER)) {
      count = part->i2();
    } else if (part->is(TYPE_PAIR)) {
      // x * y: from the x-th element of the position, y - x of them.
      int64_t x = pair_x(*part), y = pair_y(*part);
      start = std::max<int64_t>(0, x < 0 ? index + x : index + x - 1);
      count = y < x ? 0 : y - x;
    } else if (part->type() == s.type() && part->node() == s.node()) {
      count = int64_t(part->index()) - index;
    } else {
      fire_refine_arg("part", *part);
    }
    if (count < 0) {
      count = -count;
      start -= count;
      if (start < 0) {
        start = 0;
        count = index;
      }
    }
  }
  if (start > total) start = total, count = 0;
  if (count > total - start) count = total - start;
  NodeId copy = copy_part(s.node(), uint32_t(start), uint32_t(count));
  Cell r = series_cell(s.type(), copy, 0);
  r.header |= s.header & CELL_NEW_LINE;
  if (s.is(TYPE_VECTOR)) r.w3 = s.w3;
  return r;
}

may_gc Cell series_take(Cell* s, const Cell* part, bool last) {
  int64_t len = series_length(s);
  if (len == 0) return none_cell();
  int64_t index = series_index(*s);
  int64_t c = 1;
  if (part) {
    if (part->is(TYPE_INTEGER)) {
      c = part->i2();
    } else if (part->type() == s->type() && part->node() == s->node()) {
      if (!last) c = int64_t(part->index()) - index;
      else c = part->index() < index ? 0 : index + len - part->index();
    } else {
      fire_refine_arg("part", *part);
    }
  }
  bool before = c < 0;
  int64_t avail = len;
  if (before) {
    avail = index;
    c = last ? 1 : -c;
  }
  if (c > avail) c = avail;
  if (c == 0) c = 1;

  RootedCell src(*s);
  bool told = report_change(*src, ChangeWord::TAKE, none_cell(), int32_t(index), int32_t(c));
  RootedCell result(series_cell(src->type(), alloc_series(uint64_t(c), node_buffer(src->node())->unit(), 0), 0));
  if (src->is(TYPE_VECTOR)) result->w3 = src->w3;

  // The handler may have changed the series: take what is still there.
  Buffer* b = node_buffer(src->node());
  int64_t total = b->length();
  int64_t from = -1;
  if (before) {
    if (!last && index >= c && index <= total) from = index - c;
  } else if (last) {
    if (c <= total) from = total - c;
  } else if (index + c <= total) {
    from = index;
  }
  if (from >= 0) {
    uint32_t shift = b->unit_shift();
    Buffer* o = node_buffer(result->node());
    std::memcpy(o->data(), b->data() + elem_offset(b, uint64_t(from)), size_t(c) << shift);
    o->tail = uint32_t(c) << shift;
    NodeId table = hash_table_of(*src);
    if (table) hash_table::remove_range(table, uint32_t(from), uint32_t(c));
    b = node_buffer(src->node());
    if (last) b->tail = elem_offset(b, uint64_t(from));
    else close_gap(b, uint64_t(from), uint64_t(from + c));
    if (table) {
      NodeId t = hash_table::make(uint32_t(c), result->node(), hash_table::KIND_HASH);
      result->w3 = t;
    }
  }
  if (told) (void)ownership_check(*src, ChangeWord::TAKEN, none_cell(), int32_t(index), 0);
  return *result;
}

// --- navigation and queries ----------------------------------------------

// at / skip: series, index or offset.
static void offset_index(Cell* base, bool at) {
  using enum act::at::Frame;
  static_assert(act::skip::OFFSET == INDEX);
  const Cell& arg = base[INDEX];
  if (!arg.is(TYPE_INTEGER)) fire(ErrId::INVALID_ARG, arg);
  int64_t n = arg.i2(), i = base[SERIES].index();
  int64_t r = at ? (n >= 1 ? i + n - 1 : i + n) : i + n;
  base[SERIES].w1 = uint32_t(clamp_index(r, series_total(base[SERIES])));
}

Status series_at(Cell* base) {
  offset_index(base, true);
  return Status::OK;
}

Status series_skip(Cell* base) {
  offset_index(base, false);
  return Status::OK;
}

Status series_back(Cell* base) {
  using enum act::back::Frame;
  if (base[SERIES].index() > 0) base[SERIES].w1--;
  return Status::OK;
}

Status series_next(Cell* base) {
  (void)series_rs_skip(base, 1);
  return Status::OK;
}

Status series_head(Cell* base) {
  using enum act::head::Frame;
  base[SERIES].w1 = 0;
  return Status::OK;
}

Status series_tail(Cell* base) {
  using enum act::tail::Frame;
  base[SERIES].w1 = series_total(base[SERIES]);
  return Status::OK;
}

Status series_head_q(Cell* base) {
  using enum act::head_q::Frame;
  base[RESULT] = logic_cell(base[SERIES].index() == 0);
  return Status::OK;
}

Status series_tail_q(Cell* base) {
  using enum act::tail_q::Frame;
  base[RESULT] = logic_cell(series_at_tail(base[SERIES]));
  return Status::OK;
}

Status series_index_q(Cell* base) {
  using enum act::index_q::Frame;
  base[RESULT] = integer_cell(int32_t(uint32_t(base[SERIES].index()) + 1));
  return Status::OK;
}

Status series_length_q(Cell* base) {
  using enum act::length_q::Frame;
  base[RESULT] = integer_cell(series_length(&base[SERIES]));
  return Status::OK;
}

// pick: series, index.
Status series_pick_action(Cell* base) {
  using enum act::pick::Frame;
  base[RESULT] = series_pick(base[SERIES], pick_index_arg(base[INDEX]));
  return Status::OK;
}

// poke: series, index, value. Answers the value. An index outside the
// series goes back as a status, before anything is told of the change.
Status series_poke_action(Cell* base) {
  using enum act::poke::Frame;
  int32_t n = pick_index_arg(base[INDEX]);
  if (picked_index(base[SERIES], n) < 0) return fail(ErrId::OUT_OF_RANGE, integer_cell(n));
  series_poke(base[SERIES], n, base[VALUE]);
  base[RESULT] = base[VALUE];
  return Status::OK;
}

// --- edits ---------------------------------------------------------------------

// clear: series.
Status series_clear(Cell* base) {
  using enum act::clear::Frame;
  int64_t total = series_total(base[SERIES]), index = series_index(base[SERIES]);
  if (index >= total) return Status::OK;
  int32_t d = int32_t(total - index);
  (void)report_change(base[SERIES], ChangeWord::CLEAR, none_cell(), int32_t(index), d);
  Buffer* b = node_buffer(base[SERIES].node());
  if (index < b->length()) {
    if (NodeId table = hash_table_of(base[SERIES]))
      hash_table::remove_range(table, uint32_t(index), b->length() - uint32_t(index));
    b = node_buffer(base[SERIES].node());
    b->tail = elem_offset(b, uint64_t(index));
  }
  (void)report_change(base[SERIES], ChangeWord::CLEARED, none_cell(), int32_t(index), 0);
  return Status::OK;
}

// remove: series, /part, length, /key, key-arg.
Status series_remove(Cell* base) {
  using enum act::remove::Frame;
  int64_t c = 1;
  if (used(base[PART])) {
    c = part_count(base[SERIES], base[LENGTH]);
    if (c < 1) return Status::OK;
  }
  if (used(base[KEY])) {
    // find/case of the key from the position.
    Cell found = call_action(
        act::find::SHAPE,
        {{act::find::SERIES, base[SERIES]}, {act::find::VALUE, base[KEY_ARG]}, {act::find::CASE, logic_cell(true)}});
    if (!is_series_type(found.type())) {
      base[RESULT] = none_cell();
      return Status::OK;
    }
    base[SERIES].w1 = found.w1;
    c += 1;
  }
  int64_t total = series_total(base[SERIES]), index = series_index(base[SERIES]);
  if (index >= total) return Status::OK;
  (void)report_change(base[SERIES], ChangeWord::REMOVE, none_cell(), int32_t(index),
                      int32_t(std::min(c, total - index)));
  Buffer* b = node_buffer(base[SERIES].node());
  total = b->length();
  if (index < total) {
    int64_t n = std::min(c, total - index);
    if (NodeId table = hash_table_of(base[SERIES])) hash_table::remove_range(table, uint32_t(index), uint32_t(n));
    b = node_buffer(base[SERIES].node());
    if (index + n >= total) b->tail = elem_offset(b, uint64_t(index));
    else close_gap(b, uint64_t(index), uint64_t(index + n));
  }
  (void)report_change(base[SERIES], ChangeWord::REMOVED, none_cell(), int32_t(index), 0);
  return Status::OK;
}

// reverse: series, /part, length, /skip, size.
Status series_reverse(Cell* base) {
  using enum act::reverse::Frame;
  Cell& s = base[SERIES];
  int64_t total = series_total(s), index = series_index(s);
  if (index >= total) return Status::OK;
  int64_t count = total - index;
  if (used(base[PART])) {
    count = part_count(s, base[LENGTH]);
    if (count < 1) return Status::OK;
  }
  int64_t r = 1;
  if (used(base[SKIP])) {
    const Cell& size = base[SIZE];
    if (!size.is(TYPE_INTEGER)) fire_refine_arg("skip", size);
    r = size.i2();
    if (r == count) return Status::OK;
    if (r < 1) fire(ErrId::OUT_OF_RANGE, size);
    if (count < r || count % r) fire_refine_arg("skip", size);
  }
  bool told = report_change(s, ChangeWord::REVERSE, none_cell(), int32_t(index), int32_t(count));
  Buffer* b = node_buffer(s.node());
  total = b->length();
  NodeId table = hash_table_of(s);
  int64_t front = index, back = std::min(index + count, total) - r;
  uint32_t shift = b->unit_shift();
  size_t rec = size_t(r) << shift;
  uint8_t scratch[16];
  std::unique_ptr<uint8_t[]> big(rec <= sizeof scratch ? nullptr : new uint8_t[rec]);
  uint8_t* tmp = big ? big.get() : scratch;
  while (front < back) {
    if (table) {
      for (int64_t k = 0; k < r; k++) {
        hash_table::remove(table, uint32_t(front + k));
        hash_table::remove(table, uint32_t(back + k));
      }
      b = node_buffer(s.node());
    }
    uint8_t* f = b->data() + elem_offset(b, uint64_t(front));
    uint8_t* k = b->data() + elem_offset(b, uint64_t(back));
    std::memcpy(tmp, f, rec);
    std::memmove(f, k, rec);
    std::memcpy(k, tmp, rec);
    if (table) {
      for (int64_t j = 0; j < r; j++) {
        hash_table::put(table, uint32_t(front + j));
        hash_table::put(table, uint32_t(back + j));
      }
      b = node_buffer(s.node());
    }
    front += r;
    back -= r;
  }
  if (told) (void)ownership_check(s, ChangeWord::REVERSED, none_cell(), int32_t(index), int32_t(count));
  return Status::OK;
}

// Swaps elements i and j (i < j) of a series, keeping a hash! table in step.
static may_gc void swap_elements(const Cell& s, NodeId table, uint64_t i, uint64_t j) {
  if (table) {
    hash_table::remove(table, uint32_t(i));
    hash_table::remove(table, uint32_t(j));
  }
  Buffer* b = node_buffer(s.node());
  uint32_t unit = b->unit();
  uint8_t* a = b->data() + elem_offset(b, i);
  uint8_t* z = b->data() + elem_offset(b, j);
  uint8_t tmp[16];
  std::memcpy(tmp, a, unit);
  std::memcpy(a, z, unit);
  std::memcpy(z, tmp, unit);
  if (table) {
    hash_table::put(table, uint32_t(i));
    hash_table::put(table, uint32_t(j));
  }
}

// random: series, /seed, /secure, /only.
static Status series_random(Cell* base) {
  using enum act::random::Frame;
  Cell& s = base[VALUE];
  bool secure = used(base[SECURE]);
  if (used(base[SEED])) {
    // The bytes from the position are hashed with a fixed seed, not the
    // process's table seed, so that a seed from the same series repeats its
    // numbers in every run.
    Buffer* b = node_buffer(s.node());
    uint64_t total = b->length(), index = std::min<uint64_t>(uint64_t(series_index(s)), total);
    uint32_t shift = b->unit_shift();
    random::seed(int32_t(hash_table::murmur3(b->head_ptr() + (index << shift), size_t(total - index) << shift, 0)));
    s = unset_cell();
    return Status::OK;
  }
  int32_t c = series_length(&s);
  int64_t index = series_index(s);
  bool told = report_change(s, ChangeWord::RANDOM, none_cell(), int32_t(index), c);
  if (used(base[ONLY])) {
    // The owner's handler may have shortened the series: pick answers none
    // past the tail.
    s = c == 0 ? none_cell() : series_pick(s, random::int_uniform(c, secure));
    return Status::OK;
  }
  NodeId table = hash_table_of(s);
  int64_t n = std::min<int64_t>(c, int64_t(series_total(s)) - index);
  // The last element draws too (from 1..1): the sequence after a seed
  // depends on every draw.
  for (int64_t p = index, left = n; left >= 1; p++, left--) {
    int32_t k = random::int_uniform(int32_t(left), secure);
    if (k > 1) swap_elements(s, table, uint64_t(p), uint64_t(p + k - 1));
  }
  if (told) (void)ownership_check(s, ChangeWord::RANDOMIZED, none_cell(), int32_t(index), c);
  return Status::OK;
}

// Moves c elements from the source's position to the target's, in one series.
static may_gc void move_within(const Cell& src, const Cell& tgt, int64_t c) {
  Buffer* b = node_buffer(src.node());
  int64_t total = b->length(), from = series_index(src);
  int64_t to = std::min<int64_t>(series_index(tgt), total);
  // A target inside the moved range has no place to go: nothing moves.
  if (to == from || (to > from && to < from + c)) return;
  (void)report_change(src, ChangeWord::MOVE, none_cell(), int32_t(from), int32_t(c));
  b = node_buffer(src.node());
  total = b->length();
  if (from + c > total) return;  // the owner's handler shortened it
  to = std::min(to, total);
  int64_t lands;
  if (from < to) {
    // After the element at the target, or at the end for the tail.
    int64_t end = to == total ? total : to + 1;
    rotate_elements(b, uint64_t(from), uint64_t(end), uint64_t(c));
    lands = end - c;
  } else {
    rotate_elements(b, uint64_t(to), uint64_t(from + c), uint64_t(from - to));
    lands = to;
  }
  if (NodeId table = hash_table_of(src)) hash_table::move_indexes(table, uint32_t(from), uint32_t(lands), uint32_t(c));
  (void)report_change(tgt, ChangeWord::MOVED, none_cell(), int32_t(tgt.index() - c), int32_t(c));
}

// Moves c elements from the source's position into another series at the
// target's position.
static may_gc void move_across(const Cell& src_in, const Cell& tgt_in, int64_t c) {
  RootedCell src(src_in), tgt(tgt_in);
  ElemKind sk = elem_kind(src->type()), tk = elem_kind(tgt->type());
  if ((sk == ElemKind::CELLS) != (tk == ElemKind::CELLS)) fire(ErrId::MOVE_BAD, datatype_cell(tgt->type()), datatype_cell(src->type()));
  uint32_t su = node_buffer(src->node())->unit(), tu = node_buffer(tgt->node())->unit();
  if (su != tu && (sk != ElemKind::CHARS || tk != ElemKind::CHARS))
    fire(ErrId::MOVE_BAD, datatype_cell(tgt->type()), datatype_cell(src->type()));
  int64_t from = series_index(*src);
  (void)report_change(*src, ChangeWord::MOVE, none_cell(), int32_t(from), int32_t(c));
  int64_t stotal = series_total(*src);
  if (from >= stotal) return;
  c = std::min(c, stotal - from);

  // Characters wider than the target's unit widen it first.
  if (su > tu) widen(tgt->node(), su, uint64_t(c));
  int64_t to = std::min<int64_t>(series_index(*tgt), series_total(*tgt));
  Buffer* tb = open_gap(tgt->node(), uint64_t(to), uint64_t(c));
  Buffer* sb = node_buffer(src->node());
  const uint8_t* sp = sb->data() + elem_offset(sb, uint64_t(from));
  uint8_t* tp = tb->data() + elem_offset(tb, uint64_t(to));
  tu = tb->unit();
  if (su == tu) {
    std::memcpy(tp, sp, size_t(c) * su);
  } else {
    for (int64_t i = 0; i < c; i++) put_char(tp + i * tu, tu, get_char(sp + i * su, su));
  }
  if (NodeId table = hash_table_of(*src)) hash_table::remove_range(table, uint32_t(from), uint32_t(c));
  sb = node_buffer(src->node());
  close_gap(sb, uint64_t(from), uint64_t(from + c));
  hash_inserted(hash_table_of(*tgt), uint32_t(to), uint32_t(c));
  (void)report_change(*tgt, ChangeWord::MOVED, none_cell(), tgt->index(), int32_t(c));
}

// move: source, target, /part, length. Answers the target.
Status series_move(Cell* base) {
  using enum act::move::Frame;
  const Cell src = base[ORIGIN], tgt = base[TARGET];
  if (!is_series_type(tgt.type())) fire(ErrId::EXPECT_ARG, datatype_cell(tgt.type()));
  int64_t len = series_length_of(src);
  base[RESULT] = tgt;
  if (len == 0) return Status::OK;
  int64_t c = 1;
  if (used(base[PART])) {
    if (!base[LENGTH].is(TYPE_INTEGER)) fire_refine_arg("part", base[LENGTH]);
    c = base[LENGTH].i2();
    if (c < 1) return Status::OK;
    c = std::min(c, len);
  }
  if (src.node() == tgt.node()) move_within(src, tgt, c);
  else move_across(src, tgt, c);
  return Status::OK;
}

// copy: value, /part, length, /deep, /types, kind. Deep and types mean
// nothing for elements that are not values.
Status series_copy_action(Cell* base) {
  using enum act::copy::Frame;
  base[RESULT] = series_copy(base[VALUE], used(base[PART]) ? &base[LENGTH] : nullptr);
  return Status::OK;
}

// take: series, /part, length, /deep, /last. Answers the series of taken
// elements (the block and string takes turn it into their values).
Status series_take_action(Cell* base) {
  using enum act::take::Frame;
  base[RESULT] = series_take(&base[SERIES], used(base[PART]) ? &base[LENGTH] : nullptr, used(base[LAST]));
  return Status::OK;
}

// The field of reflect and modify, as a word of any case: only `owned` is
// known.
static bool is_owned_field(const Cell& field) {
  return is_any_word(field.type()) && symbol::resolve(field.w2) == sym(SymId::OWNED);
}

// reflect: value, field.
Status series_reflect(Cell* base) {
  using enum act::reflect::Frame;
  if (!is_owned_field(base[FIELD])) fire(ErrId::NOT_DONE, base[FIELD]);
  Cell owner;
  base[RESULT] = ownership_get_owner(base[VALUE].node(), &owner) ? owner : none_cell();
  return Status::OK;
}

// modify: value, field, new-value, /case. Answers the new value.
Status series_modify(Cell* base) {
  using enum act::modify::Frame;
  const Cell& v = base[VALUE];
  if (is_owned_field(base[FIELD])) {
    if (v.is(TYPE_NONE)) {
      ownership_unbind(base[TARGET]);
    } else if (v.is(TYPE_BLOCK) && series_length_of(v) >= 2) {
      Buffer* b = node_buffer(v.node());
      Cell owner = b->cells()[v.index()], word = b->cells()[v.index() + 1];
      ownership_bind(base[TARGET], owner, word);
    }
  }
  base[RESULT] = base[VALUE];
  return Status::OK;
}

// series! is abstract: no value has its id; its children take these slots.
void register_type_SERIES() {
  TypeBuilder(TYPE_SERIES)
      .action(ACT_RANDOM, series_random)
      .action(ACT_REFLECT, series_reflect)
      .action(ACT_AT, series_at)
      .action(ACT_BACK, series_back)
      .action(ACT_CLEAR, series_clear)
      .action(ACT_COPY, series_copy_action)
      .action(ACT_HEAD, series_head)
      .action(ACT_HEAD_Q, series_head_q)
      .action(ACT_INDEX_Q, series_index_q)
      .action(ACT_LENGTH_Q, series_length_q)
      .action(ACT_MOVE, series_move)
      .action(ACT_NEXT, series_next)
      .action(ACT_PICK, series_pick_action)
      .action(ACT_POKE, series_poke_action)
      .action(ACT_REMOVE, series_remove)
      .action(ACT_REVERSE, series_reverse)
      .action(ACT_SKIP, series_skip)
      .action(ACT_TAIL, series_tail)
      .action(ACT_TAIL_Q, series_tail_q)
      .action(ACT_TAKE, series_take_action)
      .action(ACT_MODIFY, series_modify)
      .done();
}

}  // namespace vel
