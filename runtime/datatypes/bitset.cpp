#include "frame.h"
#include "datatypes/bitset.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "action_frames.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/set_bits.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "datatypes/ownership.h"
#include "roots.h"
#include "series_ops.h"

namespace vel::bitset {

namespace {

// The largest array: its bit count (length?) must stay a 32-bit integer.
constexpr uint64_t MAX_BYTES = (uint64_t(1) << 28) - 1;
constexpr int64_t MAX_BIT = int64_t(MAX_BYTES * 8 - 1);

inline uint8_t fill_of(const Buffer* b) { return complemented(b) ? 0xFF : 0; }

// A new bitset of n bytes, each `fill`.
may_gc Cell make_bytes(uint64_t n, uint8_t fill, bool flag) {
  NodeId node = alloc_bytes(n);
  Buffer* b = node_buffer(node);
  std::memset(b->data(), fill, n);
  b->head = 0;
  b->tail = uint32_t(n);
  if (flag) b->flags |= BUF_BITSET_NOT;
  return make_cell(TYPE_BITSET, 0, node);
}

// Makes the array at least n bytes long; the new bytes read as the bits
// past the end did (the flag).
may_gc void grow(Cell* bs, uint64_t n) {
  Buffer* b = buffer(*bs);
  uint32_t used = b->used();
  if (n <= used) return;
  if (n > MAX_BYTES) fire(ErrId::OUT_OF_RANGE, integer_cell(int32_t(std::min<uint64_t>(n * 8, INT32_MAX))));
  if (b->head + n > b->capacity) {
    uint64_t cap = std::min<uint64_t>(std::max<uint64_t>(n, uint64_t(b->capacity) * 2), MAX_BYTES + 15);
    b = expand_series(bs->node(), cap);
  }
  std::memset(b->data() + b->tail, fill_of(b), n - used);
  b->tail = b->head + uint32_t(n);
}

// The masks of bits lo..hi within their first and last bytes.
inline uint8_t first_mask(uint64_t lo) { return uint8_t(0xFFu >> (lo & 7)); }
inline uint8_t last_mask(uint64_t hi) { return uint8_t(0xFF00u >> ((hi & 7) + 1)); }

// Sets or clears bits lo..hi of the array at p (lo <= hi, all stored).
void write_bits(uint8_t* p, uint64_t lo, uint64_t hi, bool on) {
  uint64_t b0 = lo >> 3, b1 = hi >> 3;
  uint8_t m0 = first_mask(lo), m1 = last_mask(hi);
  auto put = [&](uint64_t i, uint8_t m) { p[i] = on ? uint8_t(p[i] | m) : uint8_t(p[i] & ~m); };
  if (b0 == b1) return put(b0, uint8_t(m0 & m1));
  put(b0, m0);
  std::memset(p + b0 + 1, on ? 0xFF : 0, b1 - b0 - 1);
  put(b1, m1);
}

// Whether bits lo..hi of the array at p are all set (lo <= hi, all stored).
bool all_set(const uint8_t* p, uint64_t lo, uint64_t hi) {
  uint64_t b0 = lo >> 3, b1 = hi >> 3;
  uint8_t m0 = first_mask(lo), m1 = last_mask(hi);
  if (b0 == b1) return (p[b0] & m0 & m1) == (m0 & m1);
  if ((p[b0] & m0) != m0 || (p[b1] & m1) != m1) return false;
  for (uint64_t i = b0 + 1; i < b1; i++)
    if (p[i] != 0xFF) return false;
  return true;
}

// Bits lo..hi: negative bits and bits past the array read as the flag.
bool test_bits(const Cell& bs, int64_t lo, int64_t hi) {
  Bits b(bs);
  int64_t stored = int64_t(b.count) * 8;
  if ((lo < 0 || hi >= stored) && !b.beyond) return false;
  int64_t l = std::max<int64_t>(lo, 0), h = std::min<int64_t>(hi, stored - 1);
  return l > h || all_set(b.bytes, uint64_t(l), uint64_t(h));
}

// Setting grows the array to cover hi. Clearing grows it only under the
// flag (past the array the bits read as 0 already without it).
may_gc void set_bits(Cell* bs, int64_t lo, int64_t hi) {
  grow(bs, uint64_t(hi >> 3) + 1);
  write_bits(buffer(*bs)->head_ptr(), uint64_t(lo), uint64_t(hi), true);
}

may_gc void clear_bits(Cell* bs, int64_t lo, int64_t hi) {
  if (complemented(*bs)) grow(bs, uint64_t(hi >> 3) + 1);
  int64_t stored = int64_t(buffer(*bs)->used()) * 8;
  hi = std::min(hi, stored - 1);
  if (lo <= hi) write_bits(buffer(*bs)->head_ptr(), uint64_t(lo), uint64_t(hi), false);
}

// --- the spec walker -----------------------------------------------------------------

enum class Op : uint8_t { MEASURE, SET, TEST, CLEAR };
enum class Caller : uint8_t { MAKE, TO, OTHER };

struct Walker {
  Cell* bs;  // rooted; null when measuring
  Op op;
  Caller caller;
};

[[noreturn]] void fire_bad_spec(Caller caller, const Cell& v) {
  if (caller == Caller::MAKE) fire(ErrId::BAD_MAKE_ARG, datatype_cell(TYPE_BITSET), v);
  if (caller == Caller::TO) fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_BITSET), v);
  fire(ErrId::INVALID_ARG, v);
}

inline bool is_bit_value(const Cell& v) { return v.is(TYPE_CHAR) || v.is(TYPE_INTEGER) || v.is(TYPE_FLOAT); }

// The bit a char!, integer! or float! (truncated toward zero) names.
int64_t bit_of(const Cell& v) {
  if (v.is(TYPE_CHAR)) return int64_t(v.w2);
  return check_float_to_int(v);
}

// Applies the walker's operation to bits lo..hi (lo <= hi); `v` is named
// by the errors. Answers the test's result (1 or 0), else hi.
may_gc int64_t apply_range(const Walker& w, const Cell& v, int64_t lo, int64_t hi) {
  if (w.op == Op::TEST) return test_bits(*w.bs, lo, hi) ? 1 : 0;
  if (lo < 0) fire(ErrId::OUT_OF_RANGE, v);
  if (hi > MAX_BIT) fire(ErrId::OUT_OF_RANGE, v);
  if (w.op == Op::SET) set_bits(w.bs, lo, hi);
  else if (w.op == Op::CLEAR) clear_bits(w.bs, lo, hi);
  return hi;
}

// The code points of a string from its index, each one bit. Nothing is
// allocated once the array has been grown for the largest one.
may_gc int64_t walk_string(const Walker& w, const Cell& s_in) {
  RootedCell s(s_in);
  int32_t n = string::rs_length(s.get());
  uint32_t from = string::rs_head_index(s.get());
  int64_t largest = -1;
  for (int32_t i = 0; i < n; i++) largest = std::max<int64_t>(largest, string::rs_abs_at(*s, from + uint32_t(i)));
  if (w.op == Op::MEASURE || n == 0) return w.op == Op::TEST ? 1 : largest;
  if (w.op != Op::TEST && largest > MAX_BIT) fire(ErrId::OUT_OF_RANGE, char_cell(uint32_t(largest)));
  if (w.op == Op::SET || (w.op == Op::CLEAR && complemented(*w.bs))) grow(w.bs, uint64_t(largest >> 3) + 1);
  Buffer* b = buffer(*w.bs);
  uint8_t* bits = b->head_ptr();
  uint32_t count = b->used();
  bool beyond = complemented(b);
  for (int32_t i = 0; i < n; i++) {
    uint32_t cp = string::rs_abs_at(*s, from + uint32_t(i));
    uint32_t at = cp >> 3;
    uint8_t m = uint8_t(0x80u >> (cp & 7));
    switch (w.op) {
      case Op::SET: bits[at] |= m; break;
      case Op::TEST:
        if (at < count ? !(bits[at] & m) : !beyond) return 0;
        break;
      case Op::CLEAR:
        if (at < count) bits[at] &= uint8_t(~m);
        break;
      case Op::MEASURE: break;
    }
  }
  return w.op == Op::TEST ? 1 : largest;
}

may_gc int64_t walk(const Walker& w, const Cell& spec);

inline bool is_dash(const Cell& c) { return c.is(TYPE_WORD) && symbol::resolve(c.w2) == sym(SymId::DASH); }

// The elements of a block from its index, in order; `a - b` is a range of
// chars or of integers.
may_gc int64_t walk_block(const Walker& w, const Cell& blk_in) {
  WalkDepth depth;
  RootedCell blk(blk_in);
  int64_t largest = -1;
  for (uint32_t i = uint32_t(std::max(0, blk->index()));;) {
    uint32_t n = block::total(*blk);
    if (i >= n) break;
    Cell e = *block::rs_abs_at(*blk, i);
    int64_t r;
    if ((e.is(TYPE_CHAR) || e.is(TYPE_INTEGER)) && i + 1 < n && is_dash(*block::rs_abs_at(*blk, i + 1))) {
      if (i + 2 >= n) fire(ErrId::PAST_END);
      Cell h = *block::rs_abs_at(*blk, i + 2);
      if (h.type() != e.type()) fire(ErrId::INVALID_ARG, h);
      int64_t lo = bit_of(e), hi = bit_of(h);
      if (lo > hi) fire(ErrId::PAST_END);
      r = apply_range(w, e, lo, hi);
      i += 3;
    } else {
      r = walk(w, e);
      i++;
    }
    if (w.op == Op::TEST) {
      if (!r) return 0;
    } else {
      largest = std::max(largest, r);
    }
  }
  return w.op == Op::TEST ? 1 : largest;
}

// One spec value: answers 1 or 0 for a test, else the largest bit met (-1
// for none).
may_gc int64_t walk(const Walker& w, const Cell& spec) {
  if (is_bit_value(spec)) {
    int64_t bit = bit_of(spec);
    if (w.op == Op::MEASURE) {
      if (bit < 0 || bit > MAX_BIT) fire(ErrId::OUT_OF_RANGE, spec);
      return bit;
    }
    return apply_range(w, spec, bit, bit);
  }
  switch (spec.type()) {
    case TYPE_STRING: return walk_string(w, spec);
    case TYPE_BLOCK: return walk_block(w, spec);
    case TYPE_BINARY: fire(ErrId::NOT_DONE);
    default: fire_bad_spec(w.caller, spec);
  }
}

// The outermost walk of a set: afterwards the array covers every member
// named, so the stored length grows to the largest of them.
may_gc void set_top(Cell* bs, const Cell& spec) {
  int64_t largest = walk(Walker{bs, Op::SET, Caller::OTHER}, spec);
  grow(bs, std::max<uint64_t>(1, uint64_t(largest + 8) >> 3));
}

inline bool is_not_word(const Cell& c) { return c.is(TYPE_WORD) && symbol::resolve(c.w2) == sym(SymId::NOT); }

}  // namespace

may_gc Cell make(const Cell& spec_in, bool to) {
  RootedCell spec(spec_in);
  Caller caller = to ? Caller::TO : Caller::MAKE;
  bool flag = false;
  if (spec->is(TYPE_BLOCK) && series_length_of(*spec) > 0 && is_not_word(*block::rs_abs_at(*spec, uint32_t(series_index(*spec))))) {
    flag = true;
    spec->w1 = uint32_t(series_index(*spec) + 1);
    if (series_length_of(*spec) > 0) {
      Cell next = *block::rs_abs_at(*spec, uint32_t(spec->index()));
      if (next.is(TYPE_BINARY)) *spec = next;
    }
  }
  switch (spec->type()) {
    case TYPE_INTEGER:
    case TYPE_FLOAT: {
      if (to) fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_BITSET), *spec);
      int64_t bits = check_float_to_int(*spec);
      if (bits < 0) fire(ErrId::OUT_OF_RANGE, *spec);
      uint64_t bytes = (uint64_t(bits) + 7) >> 3;
      if (bytes > MAX_BYTES) fire(ErrId::OUT_OF_RANGE, *spec);
      return make_bytes(bytes, 0, false);
    }
    case TYPE_BITSET: return copy(*spec);
    case TYPE_BINARY: {
      uint32_t n = uint32_t(series_length_of(*spec));
      if (n > MAX_BYTES) fire(ErrId::OUT_OF_RANGE, integer_cell(int32_t(n)));
      RootedCell bs(make_bytes(n, 0, flag));
      const uint8_t* src = node_buffer(spec->node())->head_ptr() + series_index(*spec);
      uint8_t* dst = rs_head(*bs);
      for (uint32_t i = 0; i < n; i++) dst[i] = flag ? uint8_t(~src[i]) : src[i];
      return *bs;
    }
    default: {
      int64_t largest = walk(Walker{nullptr, Op::MEASURE, caller}, *spec);
      uint64_t bytes = std::max<uint64_t>(1, uint64_t(largest + 8) >> 3);
      RootedCell bs(make_bytes(bytes, flag ? 0xFF : 0, flag));
      walk(Walker{bs.get(), flag ? Op::CLEAR : Op::SET, caller}, *spec);
      return *bs;
    }
  }
}

may_gc Cell copy(const Cell& bs) {
  NodeId n = copy_series(bs.node());
  node_buffer(n)->flags &= ~BUF_OWNED;
  return make_cell(TYPE_BITSET, 0, n);
}

may_gc Cell complement(const Cell& bs) {
  Cell r = copy(bs);
  Buffer* b = buffer(r);
  b->flags ^= BUF_BITSET_NOT;
  uint8_t* p = b->head_ptr();
  for (uint32_t i = 0, n = b->used(); i < n; i++) p[i] = uint8_t(~p[i]);
  return r;
}

bool test(const Cell& bs, const Cell& spec) {
  Cell b = bs;
  return walk(Walker{&b, Op::TEST, Caller::OTHER}, spec) > 0;
}

may_gc void set(Cell* bs, const Cell& spec) { set_top(bs, spec); }

may_gc void clear(Cell* bs, const Cell& spec) { walk(Walker{bs, Op::CLEAR, Caller::OTHER}, spec); }

may_gc Cell do_bitwise(const Cell& a, const Cell& b, int op) {
  if (!b.is(TYPE_BITSET)) fire(ErrId::INVALID_TYPE, datatype_cell(b.type()));
  if (op == string::SET_UNIQUE) return a;
  RootedCell x(a), y(b);
  uint32_t la = buffer(*x)->used(), lb = buffer(*y)->used();
  bool fa = complemented(*x), fb = complemented(*y);
  uint8_t ga = fa ? 0xFF : 0, gb = fb ? 0xFF : 0;
  auto combine = [op](uint32_t p, uint32_t q) { return combine_bits(op, p, q); };
  uint32_t len = std::max(la, lb);
  // and~ stops at the shorter operand when the rest could only be zeros.
  if (op == MATH_AND && ((la < lb && !fa) || (lb < la && !fb))) len = std::min(la, lb);
  RootedCell r(make_bytes(len, 0, combine(fa, fb) & 1));
  const uint8_t* pa = rs_head(*x);
  const uint8_t* pb = rs_head(*y);
  uint8_t* pr = rs_head(*r);
  for (uint32_t i = 0; i < len; i++) pr[i] = uint8_t(combine(i < la ? pa[i] : ga, i < lb ? pb[i] : gb));
  return *r;
}

}  // namespace vel::bitset

// --- actions --------------------------------------------------------------------------

namespace vel {
namespace {

// make and to.
Status bitset_make(Cell* base) {
  using enum act::make::Frame;
  base[RESULT] = bitset::make(base[SPEC], false);
  return Status::OK;
}
Status bitset_to(Cell* base) {
  using enum act::to::Frame;
  base[RESULT] = bitset::make(base[SPEC], true);
  return Status::OK;
}

Status bitset_and(Cell* base) {
  using enum act::and_t::Frame;
  base[RESULT] = bitset::do_bitwise(base[VALUE1], base[VALUE2], MATH_AND);
  return Status::OK;
}
Status bitset_or(Cell* base) {
  using enum act::or_t::Frame;
  base[RESULT] = bitset::do_bitwise(base[VALUE1], base[VALUE2], MATH_OR);
  return Status::OK;
}
Status bitset_xor(Cell* base) {
  using enum act::xor_t::Frame;
  base[RESULT] = bitset::do_bitwise(base[VALUE1], base[VALUE2], MATH_XOR);
  return Status::OK;
}

// complement and negate.
Status bitset_complement(Cell* base) {
  using enum act::complement::Frame;
  base[RESULT] = bitset::complement(base[VALUE]);
  return Status::OK;
}

// append and insert: series value /part length /only /dup count. The
// refinements mean nothing to a set.
Status bitset_append(Cell* base) {
  using enum act::append::Frame;
  RootedCell bs(base[SERIES]), v(base[VALUE]);
  bool told = report_change(*bs, ChangeWord::INSERT, *v, 0, 1);
  bitset::set(bs.get(), *v);
  if (told) (void)ownership_check(*bs, ChangeWord::INSERTED, *v, 0, 1);
  base[RESULT] = *bs;
  return Status::OK;
}

// find: series value and the refinements of find, which do not apply.
Status bitset_find(Cell* base) {
  using enum act::find::Frame;
  base[RESULT] = bitset::test(base[SERIES], base[VALUE]) ? logic_cell(true) : none_cell();
  return Status::OK;
}

Status bitset_pick(Cell* base) {
  using enum act::pick::Frame;
  base[RESULT] = logic_cell(bitset::test(base[SERIES], base[INDEX]));
  return Status::OK;
}

// none, false and zero clear the members; any other value sets them.
may_gc void poke(Cell* bs, const Cell& members, const Cell& value) {
  RootedCell m(members), v(value);
  bool off = v->is(TYPE_NONE) || (v->is(TYPE_LOGIC) && !v->w1) || (v->is(TYPE_INTEGER) && v->i2() == 0) ||
             (v->is(TYPE_FLOAT) && v->f64() == 0.0);
  bool told = report_change(*bs, ChangeWord::POKE, *v, 0, 1);
  if (off) bitset::clear(bs, *m);
  else bitset::set(bs, *m);
  if (told) (void)ownership_check(*bs, ChangeWord::POKED, *v, 0, 1);
}

// poke: series index value. Answers the value.
Status bitset_poke(Cell* base) {
  using enum act::poke::Frame;
  RootedCell bs(base[SERIES]);
  poke(bs.get(), base[INDEX], base[VALUE]);
  base[RESULT] = base[VALUE];
  return Status::OK;
}

// remove: series /part length /key key-arg. The members given by /part
// are cleared (under the flag too: the stored bits are the members).
Status bitset_remove(Cell* base) {
  using enum act::remove::Frame;
  if (!used(base[PART])) fire(ErrId::MISSING_ARG);
  RootedCell bs(base[SERIES]), m(base[LENGTH]);
  bool told = report_change(*bs, ChangeWord::REMOVE, *m, 0, 1);
  bitset::clear(bs.get(), *m);
  if (told) (void)ownership_check(*bs, ChangeWord::REMOVED, *m, 0, 1);
  base[RESULT] = *bs;
  return Status::OK;
}

// clear: every stored bit reads as the bits past the array; the length
// stays.
Status bitset_clear(Cell* base) {
  using enum act::clear::Frame;
  RootedCell bs(base[SERIES]);
  bool told = report_change(*bs, ChangeWord::CLEAR, none_cell(), 0, 0);
  Buffer* b = bitset::buffer(*bs);
  std::memset(b->head_ptr(), bitset::complemented(b) ? 0xFF : 0, b->used());
  if (told) (void)ownership_check(*bs, ChangeWord::CLEARED, none_cell(), 0, 0);
  base[RESULT] = *bs;
  return Status::OK;
}

// copy: /part, /deep and /types do not apply.
Status bitset_copy(Cell* base) {
  using enum act::copy::Frame;
  base[RESULT] = bitset::copy(base[VALUE]);
  return Status::OK;
}

Status bitset_length(Cell* base) {
  using enum act::length_q::Frame;
  base[RESULT] = integer_cell(int32_t(bitset::length(base[SERIES])));
  return Status::OK;
}

// A path element picks a bit, or pokes it when assigning.
may_gc Cell bitset_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep&) {
  if (!selector.is(TYPE_INTEGER) && !selector.is(TYPE_CHAR)) fire(ErrId::INVALID_TYPE, datatype_cell(selector.type()));
  if (!set_value) return logic_cell(bitset::test(value, selector));
  RootedCell bs(value), v(*set_value);
  poke(bs.get(), selector, *v);
  return *v;
}

// Form and mold write the same: "make bitset! #{...}", or
// "make bitset! [not #{...}]" with the flag, the bytes then inverted so
// that the digits show the members of the spec. The digits stop once the
// budget is used up.
may_gc int32_t bitset_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  static const char kDigits[] = "0123456789ABCDEF";
  const Buffer* b = bitset::buffer(value);
  bool flag = bitset::complemented(b);
  std::string text = flag ? "make bitset! [not #{" : "make bitset! #{";
  part -= int32_t(text.size());
  const uint8_t* p = b->data() + b->head;
  uint8_t inv = flag ? 0xFF : 0;
  for (uint32_t i = 0, n = b->used(); i < n && part > 0; i++, part -= 2) {
    uint8_t x = p[i] ^ inv;
    text += kDigits[x >> 4];
    text += kDigits[x & 15];
  }
  text += flag ? "}]" : "}";
  part -= flag ? 2 : 1;
  append_latin1(out, text);
  return part;
}

may_gc int32_t bitset_form(Cell value, NodeId out, const Cell* arg, int32_t part) {
  return bitset_mold(value, out, 0, arg, part, 0);
}

int32_t bitset_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_BITSET)) return CMP_INCOMPARABLE;
  if (op == CMP_SAME) return a->node() == b->node() ? 0 : 1;
  const Buffer* x = bitset::buffer(*a);
  const Buffer* y = bitset::buffer(*b);
  uint32_t la = x->used(), lb = y->used();
  if (la != lb) return la < lb ? -1 : 1;
  if (la == 0) return 0;
  bool fa = bitset::complemented(x), fb = bitset::complemented(y);
  if (fa != fb) return fa ? 1 : -1;
  const uint8_t* pa = x->data() + x->head;
  const uint8_t* pb = y->data() + y->head;
  for (uint32_t i = la; i-- > 0;)
    if (pa[i] != pb[i]) return pa[i] < pb[i] ? -1 : 1;
  return 0;
}

}  // namespace

// reflect and modify know only `owned`, as for every series: bitset! takes
// series!'s entries, which register first.
void register_type_BITSET() {
  TypeBuilder(TYPE_BITSET)
      .action(ACT_MAKE, bitset_make)
      .action(ACT_TO, bitset_to)
      .action(ACT_REFLECT, g_types[TYPE_SERIES].actions[ACT_REFLECT])
      .form(bitset_form)
      .mold(bitset_mold)
      .eval_path(bitset_eval_path)
      .compare(bitset_compare)
      .action(ACT_NEGATE, bitset_complement)
      .action(ACT_AND_T, bitset_and)
      .action(ACT_COMPLEMENT, bitset_complement)
      .action(ACT_OR_T, bitset_or)
      .action(ACT_XOR_T, bitset_xor)
      .action(ACT_APPEND, bitset_append)
      .action(ACT_CLEAR, bitset_clear)
      .action(ACT_COPY, bitset_copy)
      .action(ACT_FIND, bitset_find)
      .action(ACT_INSERT, bitset_append)
      .action(ACT_LENGTH_Q, bitset_length)
      .action(ACT_PICK, bitset_pick)
      .action(ACT_POKE, bitset_poke)
      .action(ACT_REMOVE, bitset_remove)
      .action(ACT_MODIFY, g_types[TYPE_SERIES].actions[ACT_MODIFY])
      .done();
}

}  // namespace vel
