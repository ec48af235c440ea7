// Parse editing and collect: copy, remove, insert and change on the input,
// and collect/keep into their targets.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "action_frames.h"
#include "datatypes/series_actions.h"
#include "datatypes/word.h"
#include "evaluator/interp_detail.h"
#include "evaluator/parse_internal.h"

namespace vel::parse_engine {

may_gc Cell Run::copy_range(int64_t start, int64_t n) {
  using namespace act::copy;
  Cell part = integer_cell(int32_t(std::max<int64_t>(0, n)));
  return call_action(SHAPE, {{VALUE, input_at(start)}, {PART, logic_cell(true)}, {LENGTH, part}});
}

may_gc void Run::remove_range(int64_t from, int64_t n) {
  if (n <= 0) return;
  using namespace act::remove;
  call_action(SHAPE, {{SERIES, input_at(from)}, {PART, logic_cell(true)}, {LENGTH, integer_cell(int32_t(n))}});
}

// Replaces n elements at `from` by the value; answers the index after it.
may_gc int64_t Run::replace(int64_t from, int64_t n, const Cell& v, bool only) {
  using namespace act::change;
  Cell r = call_action(SHAPE, {{SERIES, input_at(from)},
                               {VALUE, v},
                               {PART, logic_cell(true)},
                               {RANGE, integer_cell(int32_t(n))},
                               {ONLY, logic_cell(only)}});
  return series_index(r);
}

// Adds one value to the innermost collection.
may_gc void Run::keep_value(const Cell& value, bool only) {
  RootedCell v(value);
  const CollectLevel& lv = levels_.back();
  Cell top = *block::rs_abs_at(*collects_, block::total(*collects_) - 2);
  if (lv.kind == Target::BLOCK || lv.kind == Target::SET) {
    block::rs_append(top.node(), *v);
    return;
  }
  RootedCell w(top);
  Cell t = interp::detail::word_value(*w);
  if (!is_series_type(t.type())) fire(ErrId::PARSE_INTO_TYPE);
  if (lv.kind == Target::AFTER) {
    using namespace act::append;
    call_action(SHAPE, {{SERIES, t}, {VALUE, *v}, {ONLY, logic_cell(only)}});
    return;
  }
  Cell r = call_action(act::insert::SHAPE,
                       {{act::insert::SERIES, t}, {act::insert::VALUE, *v}, {act::insert::ONLY, logic_cell(only)}});
  word::set_any(w.get(), r);
}

// The value of a change/insert argument cell (a paren fires its event).
may_gc Cell Run::arg_value(const Cell& c) {
  if (c.is(TYPE_PAREN)) return paren_value(c);
  return value_of(c);
}

may_gc uint8_t Run::insert(int64_t p, const Cell& kw) {
  int64_t pos = p + 1;
  bool only = is_word_sym(rule_cell(pos), SymId::ONLY);
  if (only) pos++;
  if (!has_cell(pos)) fire(ErrId::PARSE_END, kw);
  int64_t at = index();
  Cell a = rule_cell(pos);
  if (int64_t q = position_word(a); q >= 0) {
    if (!has_cell(pos + 1)) fire(ErrId::PARSE_RULE, a);
    at = q;
    pos++;
  }
  rpos_ = pos;
  RootedCell v(arg_value(rule_cell(pos)));
  int64_t before = total(), cur = index();
  call_action(act::insert::SHAPE,
              {{act::insert::SERIES, input_at(at)}, {act::insert::VALUE, *v}, {act::insert::ONLY, logic_cell(only)}});
  if (at <= cur) set_index(cur + (total() - before));
  match_ = true;
  return S_CHECK;
}

may_gc uint8_t Run::change(int64_t p, const Cell& kw) {
  int64_t pos = p + 1;
  bool only = is_word_sym(rule_cell(pos), SymId::ONLY);
  if (only) pos++;
  if (!has_cell(pos)) fire(ErrId::PARSE_RULE, kw);
  Cell a = rule_cell(pos);
  if (int64_t q = position_word(a); q >= 0) {
    if (!has_cell(pos + 1)) fire(ErrId::PARSE_RULE, a);
    rpos_ = pos + 1;
    RootedCell v(arg_value(rule_cell(pos + 1)));
    int64_t cur = index(), lo = std::min(q, cur);
    replace(lo, std::max(q, cur) - lo, *v, only);
    set_index(lo);
    match_ = true;
    return S_CHECK;
  }
  push_rule(triple_cell(-1, -1, 1), pos - 1, only ? K_CHANGE_ONLY : K_CHANGE, 0);
  return S_PUSH_RULE;
}

may_gc uint8_t Run::collect(int64_t p, const Cell& kw) {
  Target kind = Target::BLOCK;
  int64_t pos = p;
  Cell m = rule_cell(p + 1);
  RootedCell slot(none_cell());
  int64_t saved = 0;
  if (is_word_sym(m, SymId::SET) || is_word_sym(m, SymId::INTO) || is_word_sym(m, SymId::AFTER)) {
    kind = is_word_sym(m, SymId::SET) ? Target::SET : is_word_sym(m, SymId::INTO) ? Target::INTO : Target::AFTER;
    if (!has_cell(p + 2)) fire(ErrId::PARSE_END, kw);
    *slot = rule_cell(p + 2);
    if (!slot->is(TYPE_WORD)) fire(ErrId::PARSE_END, kw);
    if (kind != Target::SET) {
      Cell t = interp::detail::word_value(*slot);
      TypeId tt = t.type();
      bool fits = tt == input_->type() || is_any_block(tt) || (is_any_string(tt) && (is_string() || is_binary()));
      if (!is_series_type(tt) || elem_kind(tt) == ElemKind::OTHER || !fits) fire(ErrId::PARSE_INTO_TYPE);
      if (t.node() == input_->node()) fire(ErrId::PARSE_INTO_BAD);
      saved = series_index(t);
    }
    pos = p + 2;
  }
  if (!has_cell(pos + 1)) fire(ErrId::PARSE_END, kw);
  // Two cells per level: the collection block (or the into/after target
  // word) and the word of collect set.
  RootedCell first(kind == Target::INTO || kind == Target::AFTER ? *slot : block::make_at(8));
  block::rs_append(collects_->node(), *first);
  block::rs_append(collects_->node(), kind == Target::SET ? *slot : none_cell());
  levels_.push_back({kind, saved});
  push_rule(triple_cell(-1, -1, 1), pos, K_COLLECT, 0);
  return S_PUSH_RULE;
}

// The end of a collect rule.
may_gc void Run::end_collect() {
  CollectLevel lv = levels_.back();
  levels_.pop_back();
  uint32_t n = block::total(*collects_);
  RootedCell collection(*block::rs_abs_at(*collects_, n - 2));
  RootedCell slot(*block::rs_abs_at(*collects_, n - 1));
  cut_to(*collects_, n - 2);
  if (lv.kind == Target::INTO || lv.kind == Target::AFTER) {
    Cell t = interp::detail::word_value(*collection);
    if (is_series_type(t.type())) {
      t.w1 = uint32_t(lv.saved_index);
      word::set_any(collection.get(), t);
    }
  } else if (lv.kind == Target::SET) {
    word::set_any(slot.get(), *collection);
  } else if (!levels_.empty()) {
    keep_value(*collection, true);
  } else if (result_->is(TYPE_NONE)) {
    *result_ = *collection;
  } else {
    block::rs_append(result_->node(), *collection);
  }
}

may_gc uint8_t Run::keep(int64_t p, const Cell& kw) {
  if (levels_.empty()) fire(ErrId::PARSE_KEEP);
  int64_t pos = p;
  bool pick = is_word_sym(rule_cell(p + 1), SymId::PICK);
  if (pick) {
    pos++;
    if (!has_cell(pos + 1)) fire(ErrId::PARSE_END, kw);
  }
  Cell a = rule_cell(pos + 1);
  if (a.is(TYPE_PAREN)) {
    rpos_ = pos + 1;
    RootedCell v(paren_value(a));
    if (pick && is_any_block(v->type())) {
      for (int64_t i = series_index(*v); i < int64_t(block::total(*v)); i++)
        keep_value(*block::rs_abs_at(*v, uint32_t(i)), true);
    } else {
      keep_value(*v, true);
    }
    match_ = true;
    return S_CHECK;
  }
  push_rule(triple_cell(-1, -1, 1), pos, K_KEEP, pick ? 1 : 0);
  return S_PUSH_RULE;
}

}  // namespace vel::parse_engine
