// The parse engine: one explicit state machine per run, with two private
// stacks instead of native recursion.
//
// The series stack holds the input of the run (at the run's base) and the
// outer inputs of `into`. The rule stack holds three cells per entry:
//   block entry: none; triple (cell of the sub-block in the enclosing
//                block, input index, input length); the enclosing block
//   rule entry:  triple (min, max, counter), or the target word of copy
//                and set; triple (position of the cell before the rule's
//                argument, input index and length at the round's start);
//                pair (kind, flags) whose spare word keeps the kind of the
//                last rule that finished directly inside it
// A run started while another is running (from a paren or the trace
// callback) pushes one triple (outer rule and series bases) and moves both
// bases past it, so it sees empty stacks; every exit clears the stacks
// back to the run's base. Both stacks are bounded by 10,000 cells, which
// bounds rule nesting (script/parse-stack).
//
// Decisions kept from earlier versions of the engine: a count of 0 skips
// the whole rule after it, keyword arguments included; a keyword with no
// argument raises parse-end whatever its kind; `keep (paren)` keeps at
// once without a rule entry.
//
// A non-local exit out of a paren or the callback (break, return,
// throw...) is carried to the native entry as a SignalOut exception and
// returned there as its Status; errors travel as VelError. Both unwind
// the run's RAII state, so nothing is left behind.
#include "evaluator/parse.h"
#include "evaluator/parse_internal.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "datatypes/function.h"
#include "datatypes/word.h"
#include "evaluator/interp_detail.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/trace.h"
#include "families.h"
#include "frame.h"
#include "native_frames.h"

namespace vel {

namespace parse_engine {

// [0] the series stack, [1] the rule stack; each cell's index is the base
// of the running parse.
Cell g_parse_stacks[2];

struct KwEntry {
  SymId sym;
  Kw kw;
};
constexpr KwEntry kKeywords[] = {
#define VEL_X(name) {SymId::name, Kw::name},
    VEL_PARSE_KEYWORDS(VEL_X)
#undef VEL_X
};

// Keywords by canonical symbol id. The runtime's words are interned first
// at start-up, so their ids are small; the table is rebuilt whenever they
// are found to have moved (a runtime started again).
std::vector<Kw> g_kw_by_sym;

void ensure_keyword_table() {
  uint32_t skip = sym(SymId::SKIP);
  if (skip < g_kw_by_sym.size() && g_kw_by_sym[skip] == Kw::SKIP) return;
  uint32_t top = 0;
  for (const KwEntry& e : kKeywords) top = std::max(top, sym(e.sym));
  g_kw_by_sym.assign(top + 1, Kw::NONE_KW);
  for (const KwEntry& e : kKeywords) g_kw_by_sym[sym(e.sym)] = e.kw;
}

[[gnu::noinline]] may_gc void grow_push_cells(Cell& stack, const Cell* cells, uint32_t n) {
  Cell hold[3];
  std::memcpy(hold, cells, n * sizeof(Cell));
  RootedCells root(hold, n);
  for (uint32_t i = 0; i < n; i++) block::rs_append(stack.node(), hold[i]);
}

// The value a paren gives; rooted by the caller when it must live on.
may_gc Cell Run::eval_paren(const Cell& paren) {
  Status s = throw_if_error(interp::eval_block(paren, false));
  if (s != Status::OK) throw SignalOut{s};
  Cell v = *(g_stack.top - 1);
  g_stack.top--;
  return v;
}

// The value of a change/insert argument cell.
may_gc Cell Run::value_of(const Cell& c) {
  if (is_any_path(c.type()) && !c.is(TYPE_LIT_PATH)) fire(ErrId::PARSE_RULE, c);
  if (c.is(TYPE_PAREN)) return eval_paren(c);
  if (c.is(TYPE_WORD)) {
    Cell v = interp::detail::word_value(c);
    if (v.is(TYPE_UNSET)) fire(ErrId::NO_VALUE, c);
    return v;
  }
  return c;
}

// A word or get-word whose value is the input series (at any index): the
// position form of remove, insert and change. Answers the index or -1.
int64_t Run::position_word(const Cell& c) const {
  if (!(c.is(TYPE_WORD) || c.is(TYPE_GET_WORD)) || keyword_of(c) != Kw::NONE_KW) return -1;
  Cell v = interp::detail::word_value(c);
  if (!same_input(v)) return -1;
  return std::min<int64_t>(series_index(v), total());
}

// The cell just after the rule at pos, without matching anything (a
// count of 0 skips a whole rule, keyword arguments included).
uint32_t Run::rule_extent(const Cell& rb, uint32_t pos) {
  uint32_t n = rlen(rb);
  if (pos >= n) return n;
  Cell c = rule_at(rb, pos);
  switch (keyword_of(c)) {
    case Kw::ANY: case Kw::SOME: case Kw::OPT: case Kw::WHILE: case Kw::NOT: case Kw::AHEAD:
    case Kw::TO: case Kw::THRU: case Kw::INTO: case Kw::REMOVE:
      return rule_extent(rb, pos + 1);
    case Kw::COPY: case Kw::SET: case Kw::CASE:
      return rule_extent(rb, pos + 2);
    case Kw::IF: case Kw::QUOTE:
      return std::min(pos + 2, n);
    case Kw::KEEP:
      return rule_extent(rb, is_word_sym(rule_at(rb, pos + 1), SymId::PICK) ? pos + 2 : pos + 1);
    case Kw::COLLECT: {
      Cell m = rule_at(rb, pos + 1);
      bool mod = is_word_sym(m, SymId::SET) || is_word_sym(m, SymId::INTO) || is_word_sym(m, SymId::AFTER);
      return rule_extent(rb, pos + (mod ? 3 : 1));
    }
    case Kw::INSERT: {
      uint32_t p = pos + 1;
      if (is_word_sym(rule_at(rb, p), SymId::ONLY)) p++;
      return std::min(p + 1, n);
    }
    case Kw::CHANGE: {
      uint32_t p = pos + 1;
      if (is_word_sym(rule_at(rb, p), SymId::ONLY)) p++;
      return std::min(rule_extent(rb, p) + 1, n);
    }
    default:
      break;
  }
  if (c.is(TYPE_INTEGER)) {
    Cell m = rule_at(rb, pos + 1);
    return rule_extent(rb, m.is(TYPE_INTEGER) ? pos + 2 : pos + 1);
  }
  return pos + 1;
}

// parser/check-limits; `pending` counts the cells of entries the fast
// path stands for without pushing them.
void Run::check_limits(uint32_t pending) {
  if (cells_of(rule_stack()) + pending + 3 > PARSE_STACK_LIMIT ||
      cells_of(series_stack()) + 1 > PARSE_STACK_LIMIT)
    fire(ErrId::PARSE_STACK);
}

// A block entry: the sub-block's cell in the current rule block, and the
// input index and length at the block's start.
may_gc void Run::push_block_entry(int64_t at, int32_t idx, int32_t len) {
  Cell e[3] = {none_cell(), triple_cell(int32_t(at), idx, len), *rb_};
  push_cells(rule_stack(), e, 3);
}

may_gc void Run::push_block_entry() {
  check_limits();
  push_block_entry(rpos_, int32_t(index()), in_len());
}

// A rule entry; `first` is the (min max counter) triple or the target word.
may_gc void Run::push_rule(const Cell& first, int64_t kwpos, int32_t kind, int32_t flags) {
  check_limits();
  Cell e[3] = {first, triple_cell(int32_t(kwpos), int32_t(index()), in_len()), pair_cell(kind, flags)};
  push_cells(rule_stack(), e, 3);
  rpos_ = kwpos;
}

// Drops the top rule entry and records its kind in the entry below.
void Run::drop_rule() {
  uint32_t t = rtop();
  int32_t kind = pair_x(rs_buf()->cells()[t - 1]);
  cut_to(rule_stack(), t - 3);
  if (top_is_rule()) rs_buf()->cells()[t - 4].w1 = uint32_t(kind);
}

// parser/fire-event: the callback gets (event match? rule input stack);
// a falsy answer ends the run. The stack it gets is a copy (whole, at
// the run's base): the engine's own cells would be read after anything
// the callback did to them.
may_gc void Run::fire_event(Event ev) {
  Cell head = rule_stack();
  head.w1 = 0;
  RootedCell stack(block_copy(head, nullptr, false, nullptr));
  stack->w1 = rule_stack().w1;
  uint32_t n = block::total(*rb_);
  Cell rule = *rb_;
  rule.w1 = uint32_t(std::clamp<int64_t>(rpos_, 0, n));
  Cell args[5] = {runtime_word(kEventWords[ev]), logic_cell(match_), rule, input_at(index()), *stack};
  RootedCells keep(args, 5);
  RootedCell answer;
  Status s = interp::call_callback(*callback_, sym_exact(SymId::PARSE_CALLBACK_TAG), trace::CB_PARSE, args, 5,
                                   answer.get());
  if (s != Status::OK) throw SignalOut{s};
  if (!truthy(*answer)) throw CallbackStop{};
}

// A paren action's value, the paren event fired.
may_gc Cell Run::paren_value(const Cell& paren) {
  RootedCell v(eval_paren(paren));
  if (traced_) fire_event(EV_PAREN);
  return *v;
}

may_gc void Run::process(const Cell& rules) {
  Cell base_in = *input_;
  push_cells(series_stack(), &base_in, 1);
  *rb_ = rules;
  *val_ = rules;
  rpos_ = -1;
  uint8_t state = S_PUSH_BLOCK;
  while (true) {
    switch (state) {
      case S_PUSH_BLOCK: {
        if (!traced_ && rtop() > rbase()) {
          *fb_ = *val_;
          FastEnd r = fast_block(false, int32_t(index()), in_len());
          // Ended in the fast path: as the machine goes on after popping it.
          state = r == FAST_HANDED ? S_NEXT_ACTION
                  : top_is_rule()  ? S_POP_RULE
                  : match_         ? S_NEXT_ACTION
                                   : S_FIND_ALT;
          break;
        }
        push_block_entry();
        *rb_ = *val_;
        int64_t head = std::min<int64_t>(std::max(0, rb_->index()), block::total(*rb_));
        rpos_ = head - 1;
        match_ = true;
        if (traced_) fire_event(EV_PUSH);
        state = S_NEXT_ACTION;
        break;
      }
      case S_POP_BLOCK: {
        if (rtop() > rbase() + 3) {
          completed_ = rpos_ >= int64_t(block::total(*rb_));
          if (traced_) fire_event(EV_POP);
          Cell* e = top_entry();
          rpos_ = e[1].i1();
          *rb_ = e[2];
          cut_to(rule_stack(), rtop() - 3);
          state = top_is_rule() ? S_POP_RULE : match_ ? S_NEXT_ACTION : S_FIND_ALT;
        } else {
          completed_ = rpos_ >= int64_t(block::total(*rb_));
          if (traced_) fire_event(EV_POP);
          state = S_END;
        }
        break;
      }
      case S_PUSH_RULE: {
        // The rule entry is pushed; the pointer steps to the argument.
        if (traced_) {
          rpos_++;
          fire_event(EV_PUSH);
          rpos_--;
        }
        rpos_++;
        if (rpos_ >= int64_t(block::total(*rb_))) {
          match_ = true;
          state = S_CHECK;
          break;
        }
        *val_ = *block::rs_abs_at(*rb_, uint32_t(rpos_));
        as_arg_ = false;
        state = S_RULE_ARG;
        break;
      }
      case S_POP_RULE: {
        if (!top_is_rule()) {
          if (pop_pending_) {
            pop_pending_ = false;
            state = S_POP_BLOCK;
          } else {
            state = S_NEXT_ACTION;
          }
          break;
        }
        pop_pending_ = true;
        state = S_CHECK;
        finish_rule(state);
        if (pop_pending_) {
          if (traced_) fire_event(EV_POP);
          drop_rule();
          state = S_CHECK;
        }
        break;
      }
      case S_CHECK:
        state = top_is_rule() ? S_POP_RULE : match_ ? S_NEXT_ACTION : S_FIND_ALT;
        break;
      case S_DISPATCH:
        state = dispatch();
        break;
      case S_NEXT_INPUT:
        set_index(index() + 1);
        state = S_CHECK;
        break;
      case S_NEXT_ACTION: {
        int64_t n = block::total(*rb_);
        if (rpos_ < n) rpos_++;
        if (rpos_ < n) {
          if (traced_) fire_event(EV_FETCH);
          *val_ = *block::rs_abs_at(*rb_, uint32_t(rpos_));
          as_arg_ = false;
          state = val_->is(TYPE_WORD) ? S_WORD : S_DISPATCH;
        } else {
          state = top_is_rule() ? S_POP_RULE : S_POP_BLOCK;
        }
        break;
      }
      case S_MATCH_VALUE:
        match_ = literal(*val_);
        if (traced_) fire_event(EV_MATCH);
        state = S_CHECK;
        break;
      case S_RULE_ARG:
        state = rule_arg();
        break;
      case S_FIND_ALT: {
        Cell* e = top_entry();
        set_index(e[1].i2());
        int64_t n = block::total(*rb_);
        int64_t p = std::max<int64_t>(rpos_ + 1, 0);
        while (p < n && kw_of(*block::rs_abs_at(*rb_, uint32_t(p))) != Kw::BAR) p++;
        if (p >= n) {
          state = S_POP_BLOCK;
        } else {
          rpos_ = p;
          match_ = true;
          state = S_NEXT_ACTION;
        }
        break;
      }
      case S_WORD:
        state = word_state();
        break;
      case S_END:
        if (match_) match_ = completed_ && at_end();
        if (traced_) fire_event(EV_END);
        return;
      default:
        return;
    }
  }
}

// State 5: the value in hand. A word here is a word's value.
may_gc uint8_t Run::dispatch() {
  Cell& v = *val_;
  switch (v.type()) {
    case TYPE_WORD:
      // A word's value that is itself a word: matched literally only as
      // the argument of the rule on top (a later round of a loop).
      if (top_is_rule() && rpos_ == top_entry()[1].i1() + 1) return S_MATCH_VALUE;
      fire(ErrId::PARSE_RULE, v);
    case TYPE_BLOCK:
      return S_PUSH_BLOCK;
    case TYPE_DATATYPE:
    case TYPE_TYPESET:
      if (is_string()) fire(ErrId::PARSE_UNSUPPORTED);
      if (at_end()) {
        match_ = false;
        return S_CHECK;
      }
      match_ = type_rule(v);
      if (traced_) fire_event(EV_MATCH);
      return S_CHECK;
    case TYPE_SET_WORD: {
      Cell w = v;
      word::set_any(&w, input_at(index()));
      return S_NEXT_ACTION;
    }
    case TYPE_GET_WORD: {
      Cell s = interp::detail::word_value(v);
      if (!same_input(s)) fire(ErrId::PARSE_INVALID_REF, v);
      set_index(series_index(s));
      match_ = true;
      return S_CHECK;
    }
    case TYPE_INTEGER:
      return count_rule();
    case TYPE_PAREN: {
      int64_t at = rpos_;
      (void)paren_value(v);
      int64_t n = block::total(*rb_);
      rpos_ = std::min(at, n - 1);
      return S_CHECK;
    }
    case TYPE_PATH:
    case TYPE_GET_PATH:
    case TYPE_SET_PATH:
      fire(ErrId::PARSE_RULE, v);
    default:
      return S_MATCH_VALUE;
  }
}

// A count (in hand) before a rule, or two counts.
may_gc uint8_t Run::count_rule() {
  Cell n = *val_;
  int64_t lo = n.i2();
  if (lo < 0) fire(ErrId::OUT_OF_RANGE, n);
  int64_t total = block::total(*rb_);
  int64_t kw = rpos_;
  if (kw + 1 >= total) fire(ErrId::PARSE_RULE, n);
  int64_t hi = lo;
  Cell m = *block::rs_abs_at(*rb_, uint32_t(kw + 1));
  if (m.is(TYPE_WORD) && keyword_of(m) == Kw::NONE_KW) {
    Cell v = interp::detail::word_value(m);
    if (v.is(TYPE_INTEGER)) m = v;
  }
  if (m.is(TYPE_INTEGER)) {
    hi = m.i2();
    kw++;
    if (hi < 0) fire(ErrId::OUT_OF_RANGE, m);
    if (hi < lo || kw + 1 >= total) fire(ErrId::PARSE_RULE, m);
  }
  if (hi == 0) {
    rpos_ = int64_t(rule_extent(*rb_, uint32_t(kw + 1))) - 1;
    match_ = true;
    return S_CHECK;
  }
  push_rule(triple_cell(int32_t(lo), int32_t(hi), 1), kw, K_REPEAT, 0);
  return S_PUSH_RULE;
}

// State 9: the argument of the rule on top, in hand.
may_gc uint8_t Run::rule_arg() {
  Cell& v = *val_;
  switch (v.type()) {
    case TYPE_BLOCK:
      return S_PUSH_BLOCK;
    case TYPE_WORD: {
      int32_t kind = pair_x(top_entry()[2]);
      as_arg_ = kind != K_COLLECT && kind != K_KEEP;
      return S_WORD;
    }
    case TYPE_INTEGER:
    case TYPE_PAREN:
    case TYPE_TYPESET:
    case TYPE_DATATYPE:
      return S_DISPATCH;
    default:
      break;
  }
  Cell* e = top_entry();
  int32_t kind = pair_x(e[2]);
  if (kind == K_REPEAT) {
    int64_t lo = e[0].i1(), hi = e[0].i2();
    int64_t start = index();
    int64_t count = fast_loop(v, hi);
    if (count >= 0) {
      match_ = count >= lo;
      if (!match_) set_index(start);
      if (traced_) fire_event(EV_MATCH);
      if (traced_) fire_event(EV_POP);
      drop_rule();
      return S_CHECK;
    }
  } else if (kind == K_TO || kind == K_THRU) {
    if (!v.is(TYPE_SET_WORD) && !v.is(TYPE_GET_WORD) && !is_any_path(v.type())) {
      match_ = find_token(v, kind == K_THRU);
      if (traced_) fire_event(EV_MATCH);
      if (traced_) fire_event(EV_POP);
      drop_rule();
      return S_CHECK;
    }
  }
  return S_DISPATCH;
}

// State 11: the word in hand (the cell at the rule pointer, or a rule
// argument's word).
may_gc uint8_t Run::word_state() {
  Cell w = *val_;
  Kw kw = kw_of(w);
  if (kw != Kw::NONE_KW) return keyword(kw, w);
  Cell v = interp::detail::word_value(w);
  if (v.is(TYPE_UNSET)) fire(ErrId::PARSE_RULE, w);
  *val_ = v;
  if (as_arg_) {
    as_arg_ = false;
    return v.is(TYPE_WORD) ? S_MATCH_VALUE : S_RULE_ARG;
  }
  if (v.is(TYPE_WORD)) return S_DISPATCH;
  // The commonest word values straight to their matching.
  if (v.is(TYPE_BITSET) || v.is(TYPE_CHAR)) return S_MATCH_VALUE;
  return v.is(TYPE_BLOCK) ? S_PUSH_BLOCK : S_DISPATCH;
}

// A keyword word at the rule pointer.
may_gc uint8_t Run::keyword(Kw kw, const Cell& w) {
  int64_t p = rpos_;
  switch (kw) {
    case Kw::SKIP:
      match_ = !at_end();
      if (match_) set_index(index() + 1);
      if (traced_) fire_event(EV_MATCH);
      return S_CHECK;
    case Kw::END:
      match_ = at_end();
      if (traced_) fire_event(EV_MATCH);
      return S_CHECK;
    case Kw::NONE:
      match_ = true;
      return S_CHECK;
    case Kw::FAIL:
      match_ = false;
      if (traced_) fire_event(EV_MATCH);
      return S_CHECK;
    case Kw::BREAK:
      match_ = true;
      loop_stop_ = pop_pending_ = true;
      rpos_ = p + 1;
      return S_POP_RULE;
    case Kw::REJECT:
      match_ = false;
      loop_stop_ = pop_pending_ = true;
      return S_POP_RULE;
    case Kw::BAR:
      rpos_ = block::total(*rb_);
      return top_is_rule() ? S_POP_RULE : S_POP_BLOCK;
    case Kw::KEEP:
      if (levels_.empty()) fire(ErrId::PARSE_KEEP);
      break;
    case Kw::CHANGE:
      return change(p, w);
    default:
      break;
  }
  if (!has_cell(p + 1)) fire(ErrId::PARSE_END, w);
  switch (kw) {
    case Kw::ANY: push_rule(triple_cell(0, -1, 1), p, K_REPEAT, 0); return S_PUSH_RULE;
    case Kw::SOME: push_rule(triple_cell(1, -1, 1), p, K_REPEAT, 0); return S_PUSH_RULE;
    case Kw::OPT: push_rule(triple_cell(0, 1, 1), p, K_REPEAT, 0); return S_PUSH_RULE;
    case Kw::WHILE: push_rule(triple_cell(0, -1, 1), p, K_WHILE, 0); return S_PUSH_RULE;
    case Kw::TO:
    case Kw::THRU:
      if (keyword_of(rule_cell(p + 1)) == Kw::END) {
        rpos_ = p + 1;
        set_index(end_pos());
        match_ = true;
        if (traced_) fire_event(EV_MATCH);
        return S_CHECK;
      }
      push_rule(triple_cell(-1, -1, 1), p, kw == Kw::TO ? K_TO : K_THRU, 0);
      return S_PUSH_RULE;
    case Kw::NOT: push_rule(triple_cell(-1, -1, 1), p, K_NOT, 0); return S_PUSH_RULE;
    case Kw::AHEAD: push_rule(triple_cell(-1, -1, 1), p, K_AHEAD, 0); return S_PUSH_RULE;
    case Kw::COPY:
    case Kw::SET: {
      Cell t = rule_cell(p + 1);
      if (!is_any_word(t.type())) fire(ErrId::PARSE_RULE, t);
      if (!has_cell(p + 2)) fire(ErrId::PARSE_END, w);
      t.header = (t.header & ~0xFFu) | TYPE_WORD;
      push_rule(t, p + 1, kw == Kw::COPY ? K_COPY : K_SET, 0);
      return S_PUSH_RULE;
    }
    case Kw::IF: {
      Cell c = rule_cell(p + 1);
      if (!c.is(TYPE_PAREN)) fire(ErrId::PARSE_RULE, c);
      rpos_ = p + 1;
      match_ = truthy(eval_paren(c));
      rpos_ = std::min<int64_t>(rpos_, int64_t(block::total(*rb_)) - 1);
      if (traced_) fire_event(EV_MATCH);
      return S_CHECK;
    }
    case Kw::QUOTE:
      rpos_ = p + 1;
      *val_ = rule_cell(p + 1);
      return S_MATCH_VALUE;
    case Kw::CASE: {
      if (!has_cell(p + 2)) fire(ErrId::PARSE_END, w);
      Cell m = rule_cell(p + 1);
      if (!m.is(TYPE_WORD)) fire(ErrId::PARSE_RULE, m);
      int saved = mode_;
      bool strict = truthy(interp::detail::word_value(m));
      push_rule(triple_cell(-1, -1, 1), p + 1, K_CASE, saved);
      mode_ = strict ? CMP_STRICT_EQUAL : CMP_EQUAL;
      return S_PUSH_RULE;
    }
    case Kw::REMOVE: {
      int64_t at = position_word(rule_cell(p + 1));
      if (at >= 0) {
        rpos_ = p + 1;
        int64_t cur = index(), lo = std::min(at, cur);
        remove_range(lo, std::max(at, cur) - lo);
        set_index(lo);
        match_ = true;
        return S_CHECK;
      }
      push_rule(triple_cell(-1, -1, 1), p, K_REMOVE, 0);
      return S_PUSH_RULE;
    }
    case Kw::INSERT: return insert(p, w);
    case Kw::CHANGE: return change(p, w);
    case Kw::INTO: return into(p, w);
    case Kw::COLLECT: return collect(p, w);
    case Kw::KEEP: return keep(p, w);
    default:
      break;
  }
  fire(ErrId::PARSE_RULE, w);
}

may_gc uint8_t Run::into(int64_t p, const Cell& kw) {
  if (!is_any_block(input_->type())) fire(ErrId::PARSE_BLOCK, *input_);
  Cell a = rule_cell(p + 1);
  Cell sub = a;
  if (a.is(TYPE_WORD) && keyword_of(a) == Kw::NONE_KW) sub = interp::detail::word_value(a);
  if (!sub.is(TYPE_BLOCK)) fire(ErrId::PARSE_END, kw);
  Cell e = at_end() ? none_cell() : element(index());
  if (!is_any_block(e.type()) && !is_any_string(e.type()) && !e.is(TYPE_BINARY)) {
    rpos_ = p + 1;
    match_ = false;
    if (traced_) fire_event(EV_MATCH);
    return S_CHECK;
  }
  check_limits();
  Cell outer = *input_;
  push_cells(series_stack(), &outer, 1);
  *input_ = e;
  text_ = is_any_string(e.type());
  set_index(series_index(e));
  limit_ = -1;
  push_rule(triple_cell(-1, -1, 1), p, K_INTO, 0);
  return S_PUSH_RULE;
}

// The end of a round of a loop rule: another round, or the rule's end.
// Without a trace, rounds over a block argument that the fast path
// completes follow one another here.
may_gc void Run::finish_loop(uint8_t& state, int32_t kind) {
  // Nothing but this loop writes its entry while it runs.
  Cell* e = top_entry();
  const int64_t lo = e[0].i1(), hi = e[0].i2(), kwpos = e[1].i1();
  int64_t counter = e[0].i3(), start = e[1].i2(), start_len = e[1].i3();
  bool checked = false;
  while (true) {
    int64_t i = index(), len = total() - i;
    bool go = match_ && (hi < 0 || counter < hi);
    // The progress guard: a round that neither moved nor shortened the
    // input ends the loop.
    if (go && kind == K_REPEAT && i == start && len >= start_len) go = false;
    if (loop_stop_) {
      loop_stop_ = false;
      go = false;
    }
    if (!go) {
      // Stopped by the guard, break or the maximum, the rounds that
      // matched count; after a failed round, those before it.
      if (match_) {
        match_ = counter >= lo;
      } else {
        set_index(start);
        match_ = counter - 1 >= lo || lo == 0;
      }
      state = S_CHECK;
      return;
    }
    counter++;
    start = i;
    start_len = len;
    e = top_entry();
    e[0].w3 = uint32_t(counter);
    e[1] = triple_cell(int32_t(kwpos), int32_t(start), int32_t(start_len));
    rpos_ = kwpos;
    pop_pending_ = false;
    state = S_NEXT_ACTION;
    if (traced_) {
      fire_event(EV_ITERATE);
      return;
    }
    // A block argument is entered at once (states 7 and 5 in one).
    Cell a = rule_cell(kwpos + 1);
    if (!a.is(TYPE_BLOCK)) return;
    rpos_ = kwpos + 1;
    *fb_ = a;
    as_arg_ = false;
    if (fast_block(checked, int32_t(start), int32_t(start_len)) == FAST_HANDED) return;
    // The round ended: back in state 3 for this loop.
    checked = true;
    pop_pending_ = true;
  }
}

may_gc void Run::finish_rule(uint8_t& state) {
  Cell* e = top_entry();
  int32_t kind = pair_x(e[2]);
  int32_t flags = pair_y(e[2]);
  int32_t last_inner = int32_t(e[2].w1);
  int64_t kwpos = e[1].i1(), start = e[1].i2();
  switch (kind) {
    case K_REPEAT:
    case K_WHILE:
      finish_loop(state, kind);
      return;
    case K_TO:
    case K_THRU: {
      if (!match_) {
        if (start >= end_pos()) {
          set_index(start);
          return;
        }
        int64_t next = start + 1;
        set_index(next);
        e = top_entry();
        e[1] = triple_cell(int32_t(kwpos), int32_t(next), in_len());
        rpos_ = kwpos;
        if (traced_) {
          fire_event(EV_POP);
          fire_event(EV_ITERATE);
        }
        pop_pending_ = false;
        match_ = true;
        state = S_NEXT_ACTION;
        return;
      }
      if (kind == K_TO) set_index(start);
      return;
    }
    case K_COPY:
    case K_SET: {
      if (!match_) return;
      RootedCell w(e[0]);
      int64_t n = index() - start;
      if (kind == K_COPY) word::set_any(w.get(), copy_range(start, n));
      else word::set_any(w.get(), n > 0 ? element(start) : none_cell());
      return;
    }
    case K_NOT:
      match_ = !match_;
      set_index(start);
      return;
    case K_AHEAD:
      set_index(start);
      return;
    case K_REMOVE:
      if (!match_) return;
      remove_range(start, index() - start);
      set_index(start);
      return;
    case K_CASE:
      mode_ = flags;
      return;
    case K_INTO: {
      bool ok = match_ && completed_ && at_end();
      uint32_t n = cells_of(series_stack());
      *input_ = node_buffer(series_stack().node())->cells()[n - 1];
      cut_to(series_stack(), n - 1);
      text_ = is_any_string(input_->type());
      limit_ = n - 1 == uint32_t(series_stack().index()) + 1 ? top_limit_ : -1;
      match_ = ok;
      if (ok) set_index(index() + 1);
      return;
    }
    case K_CHANGE:
    case K_CHANGE_ONLY: {
      int64_t vpos = rpos_ + 1;
      if (!has_cell(vpos)) fire(ErrId::PARSE_END, rule_cell(kind == K_CHANGE_ONLY ? kwpos - 1 : kwpos));
      Cell vc = rule_cell(vpos);
      if (is_any_path(vc.type()) && !vc.is(TYPE_LIT_PATH)) fire(ErrId::PARSE_RULE, vc);
      rpos_ = vpos;
      if (!match_) return;
      RootedCell v(arg_value(vc));
      int64_t end = replace(start, index() - start, *v, kind == K_CHANGE_ONLY);
      set_index(end);
      return;
    }
    case K_COLLECT:
      end_collect();
      return;
    case K_KEEP: {
      if (!match_) return;
      bool pick = flags & 1;
      int64_t n = index() - start;
      if (last_inner == K_COPY) {
        Cell w = rule_cell(kwpos + 2);
        keep_value(interp::detail::word_value(w), true);
      } else if (pick) {
        for (int64_t i = start; i < index(); i++) keep_value(element(i), true);
      } else if (n == 1) {
        keep_value(element(start), true);
      } else if (n > 1) {
        RootedCell piece(copy_range(start, n));
        keep_value(*piece, true);
      }
      return;
    }
    default:
      return;
  }
}

}  // namespace parse_engine

using namespace parse_engine;

Status native_parse(Cell* base) {
  using enum nat::parse::Frame;
  RootedCell input(base[INPUT]);
  TypeId t = input->type();
  if (!is_any_block(t) && !is_any_string(t) && t != TYPE_BINARY) fire(ErrId::NOT_DONE);
  if (!base[RULES].is(TYPE_BLOCK)) fire(ErrId::INVALID_ARG, base[RULES]);
  int mode = used(base[CASE]) ? CMP_STRICT_EQUAL : CMP_EQUAL;
  int64_t idx = std::min<int64_t>(series_index(*input), series_total(*input));
  input->w1 = uint32_t(idx);
  int64_t limit = -1;
  if (used(base[PART])) {
    const Cell& p = base[LENGTH];
    if (p.is(TYPE_INTEGER)) {
      limit = idx + int32_t(p.w2);
    } else if (p.type() == t && p.node() == input->node()) {
      limit = series_index(p);
    } else {
      fire(ErrId::INVALID_REFINE_ARG, refinement_cell(SymId::PART), p);
    }
    if (limit <= 0) {
      base[RESULT] = logic_cell(idx >= int64_t(series_total(*input)));
      return Status::OK;
    }
  }
  RootedCell rules(base[RULES]);
  Cell callback = used(base[TRACE]) ? base[CALLBACK_] : none_cell();
  try {
    Run run(*input, mode, limit, callback);
    Cell r = run.run(*rules);
    base[RESULT] = r;
  } catch (const SignalOut& s) {
    return s.status;
  }
  return Status::OK;
}

void parser_init() {
  register_root("parse: rule and collect stacks", g_parse_stacks, 2);
  g_parse_stacks[0] = block::make_at(8);
  g_parse_stacks[1] = block::make_at(100);
}

}  // namespace vel
