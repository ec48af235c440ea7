// The parse fast path: blocks without the machine.
// Without a trace callback nothing watches the machine's steps, so a
// block entered inside a run is first walked here, item by item, while
// its items are simple: literals (or words naming them), skip, end,
// none, fail, |, parens, any, some, opt or counts over a literal, and to
// or thru a literal or end.
// Each is matched by the same routines as in the machine, but no entry
// is pushed for the block or its rules. The first item of another kind
// hands the block over to the machine at that item, with the block entry
// the machine would have pushed at its start. While a paren runs, that
// entry is on the rule stack, so a nested parse (and its trace callback)
// sees the stack as the machine leaves it.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "evaluator/interp_detail.h"
#include "evaluator/parse_internal.h"

namespace vel::parse_engine {

// A value the machine matches as a literal when it stands as a rule
// (state 5 going to state 8); words, blocks, parens, counts, types and
// paths are rules of other kinds.
bool Run::literal_rule(TypeId t) {
  switch (t) {
    case TYPE_UNSET: case TYPE_WORD: case TYPE_BLOCK: case TYPE_DATATYPE: case TYPE_TYPESET:
    case TYPE_SET_WORD: case TYPE_GET_WORD: case TYPE_INTEGER: case TYPE_PAREN: case TYPE_PATH:
    case TYPE_GET_PATH: case TYPE_SET_PATH:
      return false;
    default:
      return true;
  }
}

// Runs the block in fb_, entered with the input at entry_index (its
// length from there entry_len) from its cell at rpos_ in rb_.
// `checked`: the stacks are known to have room for the block entry (a
// later round of a loop: they are as they were in the first).
may_gc Run::FastEnd Run::fast_block(bool checked, int32_t entry_index, int32_t entry_len) {
  if (!checked) {
    check_limits();
    rule_room_ = cells_of(rule_stack()) + 6 <= PARSE_STACK_LIMIT;
  }
  const int64_t at = rpos_;
  int64_t p = std::max(0, fb_->index());
  match_ = true;
  while (true) {
    // The block is read anew at every item: a paren may change it.
    Buffer* b = node_buffer(fb_->node());
    int64_t n = b->used() >> 4;
    if (p >= n) break;  // left through the tail: matched
    Cell c = b->cells()[p];
    if (c.is(TYPE_WORD)) {
      Kw kw = kw_of(c);
      switch (kw) {
        case Kw::NONE_KW: {
          Cell v = interp::detail::word_value(c);
          if (text_ && (v.is(TYPE_BITSET) || v.is(TYPE_CHAR))) {
            match_ = one_char(v);
            break;
          }
          if (!literal_rule(v.type())) return hand_off(p, at, entry_index, entry_len);
          *val_ = v;
          match_ = literal(*val_);
          break;
        }
        case Kw::SKIP: match_ = skip_one(); break;
        case Kw::END: match_ = at_end(); break;
        case Kw::NONE: match_ = true; break;
        case Kw::FAIL: match_ = false; break;
        case Kw::BAR: p = n; break;
        case Kw::ANY:
        case Kw::SOME:
        case Kw::OPT:
          if (!fast_repeat(p + 1, kw == Kw::SOME ? 1 : 0, kw == Kw::OPT ? 1 : -1))
            return hand_off(p, at, entry_index, entry_len);
          p++;
          break;
        case Kw::TO:
        case Kw::THRU:
          if (!fast_find(p + 1, kw == Kw::THRU)) return hand_off(p, at, entry_index, entry_len);
          p++;
          break;
        default:
          return hand_off(p, at, entry_index, entry_len);
      }
      if (p >= n) break;
    } else if (c.is(TYPE_PAREN)) {
      // The entry the machine has on the stack while the paren runs.
      uint32_t mark = rtop();
      push_block_entry(at, entry_index, entry_len);
      (void)eval_paren(c);
      cut_to(rule_stack(), mark);
      p = std::min(p, int64_t(block::total(*fb_)) - 1);
    } else if (c.is(TYPE_INTEGER)) {
      int64_t arg = fast_counts(c, p);
      if (arg < 0) return hand_off(p, at, entry_index, entry_len);
      p = arg;
    } else if (literal_rule(c.type())) {
      *val_ = c;
      match_ = literal(*val_);
    } else {
      return hand_off(p, at, entry_index, entry_len);
    }
    if (!match_) {
      // The next alternative, from the block's start in the input.
      set_index(entry_index);
      n = block::total(*fb_);
      int64_t q = std::max<int64_t>(p + 1, 0);
      while (q < n && kw_of(*block::rs_abs_at(*fb_, uint32_t(q))) != Kw::BAR) q++;
      if (q >= n) {
        completed_ = p >= n;
        return FAST_FAIL;
      }
      p = q;
      match_ = true;
    }
    p++;
  }
  completed_ = true;
  return FAST_MATCH;
}

// The machine takes the block over at the item at p (its next state is
// S_NEXT_ACTION).
may_gc Run::FastEnd Run::hand_off(int64_t p, int64_t at, int32_t entry_index, int32_t entry_len) {
  push_block_entry(at, entry_index, entry_len);
  *rb_ = *fb_;
  rpos_ = p - 1;
  match_ = true;
  return FAST_HANDED;
}

// any, some or opt (lo, hi) of the rule at arg, when it is a literal
// (or a word naming one) that fast_loop matches. Answers false, having
// matched nothing, for any other rule.
[[gnu::always_inline]] inline may_gc bool Run::fast_repeat(int64_t arg, int64_t lo, int64_t hi) {
  if (arg >= int64_t(block::total(*fb_))) return false;
  Cell a = *block::rs_abs_at(*fb_, uint32_t(arg));
  if (a.is(TYPE_WORD)) {
    if (kw_of(a) != Kw::NONE_KW) return false;
    a = interp::detail::word_value(a);
    if (a.is(TYPE_UNSET) || a.is(TYPE_WORD)) return false;
  }
  if (!rule_room_) check_limits(3);  // the machine pushes the rule entry over the block's
  if ((a.is(TYPE_BITSET) || a.is(TYPE_CHAR)) && (text_ || is_binary())) {
    int64_t count = scan_chars(a, hi);
    match_ = count >= lo;
    if (!match_) input_->w1 -= uint32_t(count);  // back to the run's start
    return true;
  }
  int64_t start = index();
  *val_ = a;
  int64_t count = fast_loop(*val_, hi);
  if (count < 0) return false;
  match_ = count >= lo;
  if (!match_) set_index(start);
  return true;
}

// to or thru the rule at arg, when it is end or a literal (or a word
// naming one) that find_token searches for. Answers false, having done
// nothing, for any other rule.
may_gc bool Run::fast_find(int64_t arg, bool thru) {
  if (arg >= int64_t(block::total(*fb_))) return false;
  Cell a = *block::rs_abs_at(*fb_, uint32_t(arg));
  if (a.is(TYPE_WORD)) {
    Kw kw = kw_of(a);
    if (kw == Kw::END) {
      set_index(end_pos());
      match_ = true;
      return true;
    }
    if (kw != Kw::NONE_KW) return false;
    a = interp::detail::word_value(a);
    if (a.is(TYPE_UNSET) || a.is(TYPE_WORD)) return false;
  }
  if (!literal_rule(a.type()) || is_any_path(a.type())) return false;
  if (!rule_room_) check_limits(3);  // the machine pushes the rule entry over the block's
  *val_ = a;
  match_ = find_token(*val_, thru);
  return true;
}

// A count (c at p) or two counts before a literal rule: the position of
// the rule matched, or -1 (nothing done) when the machine must take it.
may_gc int64_t Run::fast_counts(const Cell& c, int64_t p) {
  int64_t lo = c.i2(), hi = lo, kw = p;
  int64_t n = block::total(*fb_);
  if (lo < 0 || p + 1 >= n) return -1;
  Cell m = *block::rs_abs_at(*fb_, uint32_t(p + 1));
  if (m.is(TYPE_INTEGER)) {
    hi = m.i2();
    kw++;
    if (hi < lo || kw + 1 >= n) return -1;
  } else if (m.is(TYPE_WORD) && keyword_of(m) == Kw::NONE_KW &&
             interp::detail::word_value(m).is(TYPE_INTEGER)) {
    return -1;
  }
  if (hi == 0 || !fast_repeat(kw + 1, lo, hi)) return -1;
  return kw + 1;
}

}  // namespace vel::parse_engine
