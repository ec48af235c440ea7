// The parse engine. One Run per call of parse; a nested parse (from a paren)
// gets its own Run and shares only the depth budget.
//
// Matching answers a bool; the input position lives in the Run's rooted
// input cell. A non-local exit out of a paren (break, return, throw...) is
// carried to the native entry as a SignalOut exception and returned there
// as its Status; errors travel as VelError. Both unwind the Run's RAII
// state, so nothing is left behind.
#include "evaluator/parse.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "errors.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "io/lexer.h"
#include "roots.h"

namespace vel {

namespace {

constexpr uint32_t PARSE_STACK_LIMIT = 10000;
// Cells of the rule budget in use by all running parses.
uint32_t g_parse_cells = 0;

// Takes n cells of the budget for the life of a rule.
class StackUse {
 public:
  explicit StackUse(uint32_t n) : n_(n) {
    if (g_parse_cells + n > PARSE_STACK_LIMIT) fire(ErrId::PARSE_STACK);
    g_parse_cells += n;
  }
  ~StackUse() { g_parse_cells -= n_; }
  StackUse(const StackUse&) = delete;
  StackUse& operator=(const StackUse&) = delete;

 private:
  uint32_t n_;
};

struct SignalOut {
  Status status;
};

enum class Kw : uint8_t {
  NONE_KW, SKIP, END, NONE, FAIL, BREAK, REJECT, ANY, SOME, OPT, WHILE, TO, THRU, NOT, AHEAD,
  COPY, SET, IF, QUOTE, CASE, REMOVE, INSERT, CHANGE, INTO, COLLECT, KEEP, BAR,
};

struct KwEntry {
  SymId sym;
  Kw kw;
};
constexpr KwEntry kKeywords[] = {
    {SymId::SKIP, Kw::SKIP},       {SymId::END, Kw::END},       {SymId::NONE, Kw::NONE},
    {SymId::FAIL, Kw::FAIL},       {SymId::BREAK, Kw::BREAK},   {SymId::REJECT, Kw::REJECT},
    {SymId::ANY, Kw::ANY},         {SymId::SOME, Kw::SOME},     {SymId::OPT, Kw::OPT},
    {SymId::WHILE, Kw::WHILE},     {SymId::TO, Kw::TO},         {SymId::THRU, Kw::THRU},
    {SymId::NOT, Kw::NOT},         {SymId::AHEAD, Kw::AHEAD},   {SymId::COPY, Kw::COPY},
    {SymId::SET, Kw::SET},         {SymId::IF, Kw::IF},         {SymId::QUOTE, Kw::QUOTE},
    {SymId::CASE, Kw::CASE},       {SymId::REMOVE, Kw::REMOVE}, {SymId::INSERT, Kw::INSERT},
    {SymId::CHANGE, Kw::CHANGE},   {SymId::INTO, Kw::INTO},     {SymId::COLLECT, Kw::COLLECT},
    {SymId::KEEP, Kw::KEEP},       {SymId::BAR, Kw::BAR},
};

inline uint32_t canon(const Cell& w) { return symbol::resolve(w.w2); }

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

inline Kw keyword_of(const Cell& c) {
  if (!c.is(TYPE_WORD)) return Kw::NONE_KW;
  uint32_t s = canon(c);
  return s < g_kw_by_sym.size() ? g_kw_by_sym[s] : Kw::NONE_KW;
}

inline bool is_word_sym(const Cell& c, SymId s) { return c.is(TYPE_WORD) && canon(c) == sym(s); }

// Collect levels: how kept values reach their target.
enum class Target : uint8_t { BLOCK, SET, INTO, AFTER };

struct CollectLevel {
  Target kind;
  int64_t saved_index;  // the into/after target's index at the start
};

class Run {
 public:
  Run(const Cell& input, int mode, int64_t limit)
      : input_(input), mode_(mode), limit_(limit), text_(is_any_string(input.type())) {
    ensure_keyword_table();
    collects_->w2 = block::make_at(8).node();
    collects_->header = TYPE_BLOCK;
  }

  may_gc Cell run(const Cell& rules) {
    bool ok = sub_block(rules);
    ok = ok && completed_ && index() >= end_pos();
    if (!result_->is(TYPE_NONE)) return *result_;
    return logic_cell(ok);
  }

 private:
  mutable RootedCell input_;
  RootedCell collects_{none_cell()};  // per level: the collection block or the target word
  RootedCell result_{none_cell()};    // the block of a top-level collect
  int mode_;
  int64_t limit_;  // part limit as an input index, -1 for none
  bool text_;               // string input (any-string!): set with input_
  bool completed_ = false;
  bool loop_stop_ = false;  // break or reject seen, not yet taken by a loop
  bool pop_block_ = false;  // break or reject: the block around it ends
  std::vector<CollectLevel> levels_;
  // The keyword of each word met, by raw symbol id (direct-mapped): the
  // rule loops ask for the same few words again and again. Id 0 is never a
  // symbol, so the zeroed slots are empty.
  struct KwSlot {
    uint32_t id;
    Kw kw;
  };
  KwSlot kw_cache_[128] = {};

  Kw kw_of(const Cell& c) {
    if (!c.is(TYPE_WORD)) return Kw::NONE_KW;
    KwSlot& e = kw_cache_[(c.w2 * 0x9E3779B1u) >> 25];
    if (e.id != c.w2) e = {c.w2, keyword_of(c)};
    return e.kw;
  }
  bool bar_at(const Cell& c) { return kw_of(c) == Kw::BAR; }

  // --- input ----------------------------------------------------------------------------

  bool is_string() const { return text_; }
  bool is_binary() const { return input_->is(TYPE_BINARY); }
  int64_t total() const { return series_total(*input_); }
  int64_t index() const { return std::min<int64_t>(series_index(*input_), total()); }
  int64_t end_pos() const { return limit_ >= 0 ? std::min(limit_, total()) : total(); }
  bool at_end() const { return index() >= end_pos(); }
  void set_index(int64_t i) { input_->w1 = uint32_t(std::clamp<int64_t>(i, 0, total())); }
  Cell input_at(int64_t i) const {
    Cell c = *input_;
    c.w1 = uint32_t(i);
    return c;
  }
  // The element at absolute index i as a value.
  Cell element(int64_t i) const {
    if (is_string()) return char_cell(string::rs_abs_at(*input_, uint32_t(i)));
    if (is_binary()) return integer_cell(int32_t(binary::get_byte(*input_, uint32_t(i))));
    return *block::rs_abs_at(*input_, uint32_t(i));
  }
  bool same_input(const Cell& v) const { return v.type() == input_->type() && v.node() == input_->node(); }

  // --- rules ----------------------------------------------------------------------------

  static uint32_t rlen(const Cell& rb) { return block::total(rb); }
  static Cell rule_at(const Cell& rb, uint32_t pos) {
    return pos < rlen(rb) ? *block::rs_abs_at(rb, pos) : none_cell();
  }
  [[noreturn]] static void fire_end(Kw kw, const Cell& word) {
    (void)kw;
    fire(ErrId::PARSE_END, word);
  }

  // The value a paren gives; rooted by the caller when it must live on.
  may_gc static Cell eval_paren(const Cell& paren) {
    Status s = interp::eval_block(paren, false);
    if (s != Status::OK) throw SignalOut{s};
    Cell v = *(g_stack.top - 1);
    g_stack.top--;
    return v;
  }

  // The value of a change/insert argument cell.
  may_gc static Cell value_of(const Cell& c) {
    if (is_any_path(c.type()) && !c.is(TYPE_LIT_PATH)) fire(ErrId::PARSE_RULE, c);
    if (c.is(TYPE_PAREN)) return eval_paren(c);
    if (c.is(TYPE_WORD)) {
      Cell v = word::get_any(c);
      if (v.is(TYPE_UNSET)) fire(ErrId::NO_VALUE, c);
      return v;
    }
    return c;
  }

  // A word or get-word whose value is the input series (at any index): the
  // position form of remove, insert and change. Answers the index or -1.
  int64_t position_word(const Cell& c) const {
    if (!(c.is(TYPE_WORD) || c.is(TYPE_GET_WORD)) || keyword_of(c) != Kw::NONE_KW) return -1;
    Cell v = word::get_any(c);
    if (!same_input(v)) return -1;
    return std::min<int64_t>(series_index(v), total());
  }

  // The cell just after the rule at pos, without matching anything (a
  // count of 0 skips a whole rule, keyword arguments included).
  static uint32_t rule_extent(const Cell& rb, uint32_t pos) {
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

  // --- blocks and alternatives ----------------------------------------------------------

  may_gc bool sub_block(const Cell& sub) {
    StackUse use(3);
    RootedCell rb(sub);
    int64_t start = index();
    uint32_t pos = uint32_t(std::max<int64_t>(0, sub.index()));
    while (true) {
      Buffer* b = block::buffer(*rb);
      if (pos >= (b->used() >> 4)) {
        completed_ = true;
        return true;
      }
      Cell c = b->cells()[pos];
      if (bar_at(c)) {
        completed_ = true;
        return true;
      }
      pos++;
      bool ok = value_rule(rb.get(), pos, c, false, false);
      if (pop_block_) {
        pop_block_ = false;
        completed_ = pos >= rlen(*rb);
        return ok;
      }
      if (ok) continue;
      set_index(start);
      uint32_t n = rlen(*rb);
      while (pos < n && !bar_at(rule_at(*rb, pos))) pos++;
      if (pos >= n) {
        completed_ = false;
        return false;
      }
      pos++;
    }
  }

  // Matches the rule at pos and moves pos past it. is_arg: the rule is the
  // argument of a keyword or count (a word whose value is a word is then
  // matched literally).
  may_gc bool rule(Cell* rb, uint32_t& pos, bool is_arg) {
    Cell c = rule_at(*rb, pos);
    pos++;
    return value_rule(rb, pos, c, is_arg, false);
  }

  // Words, blocks and parens are most of the rules met: they are taken
  // here, the other kinds out of line.
  [[gnu::always_inline]] may_gc bool value_rule(Cell* rb, uint32_t& pos, const Cell& v, bool is_arg, bool from_word) {
    if (v.is(TYPE_WORD)) {
      if (from_word) return word_value_rule(v, is_arg);
      Kw kw = kw_of(v);
      // The commonest keywords without the keyword dispatch.
      if (kw == Kw::SOME) return loop(rb, pos, 1, -1, false, v);
      if (kw == Kw::ANY) return loop(rb, pos, 0, -1, false, v);
      if (kw == Kw::SKIP) return skip_one();
      if (kw != Kw::NONE_KW) return keyword(rb, pos, kw, v);
      Cell val = word::get_any(v);
      if (val.is(TYPE_UNSET)) fire(ErrId::PARSE_RULE, v);
      if (val.is(TYPE_BITSET) || val.is(TYPE_CHAR)) return text_ ? one_char(val) : literal(val);
      return named_rule(rb, pos, val, is_arg);
    }
    if (v.is(TYPE_BLOCK)) return sub_block(v);
    if (v.is(TYPE_PAREN)) {
      eval_paren(v);
      return true;
    }
    return other_rule(rb, pos, v);
  }

  // The value of a rule word: a word there is matched literally as a
  // keyword's argument and refused elsewhere.
  [[gnu::noinline]] may_gc bool named_rule(Cell* rb, uint32_t& pos, const Cell& v, bool is_arg) {
    if (v.is(TYPE_WORD)) return word_value_rule(v, is_arg);
    return value_rule(rb, pos, v, is_arg, true);
  }

  may_gc bool word_value_rule(const Cell& v, bool is_arg) {
    if (!is_arg) fire(ErrId::PARSE_RULE, v);
    return literal(v);
  }

  [[gnu::noinline]] may_gc bool other_rule(Cell* rb, uint32_t& pos, const Cell& v) {
    switch (v.type()) {
      case TYPE_DATATYPE:
      case TYPE_TYPESET:
        return type_rule(v);
      case TYPE_SET_WORD: {
        Cell w = v;
        word::set_any(&w, input_at(index()));
        return true;
      }
      case TYPE_GET_WORD: {
        Cell s = word::get_any(v);
        if (!same_input(s)) fire(ErrId::PARSE_INVALID_REF, v);
        set_index(series_index(s));
        return true;
      }
      case TYPE_INTEGER:
        return count_rule(rb, pos, v);
      case TYPE_PATH:
      case TYPE_GET_PATH:
      case TYPE_SET_PATH:
        fire(ErrId::PARSE_RULE, v);
      default:
        return literal(v);
    }
  }

  may_gc bool type_rule(const Cell& t) {
    if (is_string()) fire(ErrId::PARSE_UNSUPPORTED);
    if (at_end()) return false;
    if (is_binary()) return bytes_type_rule(t);
    TypeId et = element(index()).type();
    bool ok = t.is(TYPE_DATATYPE) ? et == TypeId(t.w1) : typeset::has(t, et);
    if (ok) set_index(index() + 1);
    return ok;
  }

  // Binary input: the bytes from the index scanned as one value's source
  // text; a value of the type matches and the input moves past its text.
  may_gc bool bytes_type_rule(const Cell& t) {
    RootedCell rule(t);
    lexer::ScanOptions o;
    o.mode = lexer::Mode::SCAN;
    int64_t i = index();
    lexer::ScanResult r = lexer::scan_series(input_at(i), end_pos() - i, o);
    TypeId et = r.type;
    if (et == TYPE_NONE_ID || et == TYPE_ERROR) return false;
    bool ok = rule->is(TYPE_DATATYPE) ? et == TypeId(rule->w1) : typeset::has(*rule, et);
    if (ok) set_index(i + int64_t(r.consumed));
    return ok;
  }

  // A literal on binary input: a bitset tests the byte; a char, a text or
  // a binary compare bytes.
  bool bytes_literal(const Cell& v) {
    if (at_end()) return false;
    int64_t i = index(), adv = 1;
    if (v.is(TYPE_BITSET)) {
      if (!binary::match_bitset(input_at(i), v)) return false;
    } else if (!binary::match_value(input_at(i), v, mode_, &adv) || i + adv > end_pos()) {
      return false;
    }
    set_index(i + adv);
    return true;
  }

  // A literal value at the input position; advances past it on a match.
  // The code point at the input position of a string input, or -1 at the
  // end (or the part limit).
  int64_t char_here() const {
    const Buffer* b = node_buffer(input_->node());
    int64_t total = b->length(), i = series_index(*input_);
    if (i >= (limit_ >= 0 ? std::min(limit_, total) : total)) return -1;
    return get_char(b->data() + b->head + (size_t(i) << b->unit_shift()), b->unit());
  }

  // One character of a string input against a char (folded unless
  // case-sensitive) or a bitset (never folded): the commonest literals.
  bool one_char(const Cell& v) {
    int64_t c = char_here();
    if (c < 0) return false;
    bool fold = mode_ != CMP_STRICT_EQUAL;
    bool ok = v.is(TYPE_BITSET) ? bitset::test_bit(v, uint32_t(c))
                                : string::detail::key_of(uint32_t(c), fold) == string::detail::key_of(v.w2, fold);
    if (ok) input_->w1 = uint32_t(series_index(*input_) + 1);
    return ok;
  }

  may_gc bool literal(const Cell& v) {
    TypeId vt = v.type();
    if (is_string() && (vt == TYPE_CHAR || vt == TYPE_BITSET)) return one_char(v);
    if (is_binary()) return bytes_literal(v);
    int64_t i = index();
    if (is_string()) {
      if (at_end()) {
        bool empty_text = vt == TYPE_STRING || vt == TYPE_FILE || vt == TYPE_URL;
        return empty_text && series_length_of(v) <= 0;
      }
      if (!is_any_string(vt)) return false;
      Cell at = input_at(i);
      if (!string::match_q(at, v, mode_)) return false;
      int64_t next = i + advance_of(v);
      if (next > end_pos()) return false;
      set_index(next);
      return true;
    }
    if (at_end()) return false;
    Cell e = element(i);
    int op = (v.is(TYPE_LIT_WORD) || v.is(TYPE_LIT_PATH)) ? CMP_FIND : mode_;
    if (!compare_values(&e, &v, op)) return false;
    set_index(i + 1);
    return true;
  }

  // Characters a matched string-input literal covers.
  static int64_t advance_of(const Cell& v) {
    if (v.is(TYPE_CHAR) || v.is(TYPE_BITSET)) return 1;
    int64_t n = std::max(0, series_length_of(v));
    return v.is(TYPE_TAG) ? n + 2 : n;
  }

  // --- repetitions ----------------------------------------------------------------------

  may_gc bool count_rule(Cell* rb, uint32_t& pos, const Cell& n) {
    int64_t lo = int32_t(n.w2);
    if (lo < 0) fire(ErrId::OUT_OF_RANGE, n);
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_RULE, n);
    int64_t hi = lo;
    Cell m = rule_at(*rb, pos);
    if (m.is(TYPE_WORD) && keyword_of(m) == Kw::NONE_KW) {
      Cell val = word::get_any(m);
      if (val.is(TYPE_INTEGER)) m = val;
    }
    if (m.is(TYPE_INTEGER)) {
      hi = int32_t(m.w2);
      pos++;
      if (hi < 0) fire(ErrId::OUT_OF_RANGE, m);
      if (hi < lo || pos >= rlen(*rb)) fire(ErrId::PARSE_RULE, m);
    }
    if (hi == 0) {
      pos = rule_extent(*rb, pos);
      return true;
    }
    return loop(rb, pos, lo, hi, false, n);
  }

  [[gnu::noinline]] may_gc bool loop(Cell* rb, uint32_t& pos, int64_t min, int64_t max, bool is_while,
                                     const Cell& kw) {
    StackUse use(3);
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    uint32_t arg = pos;
    if (int64_t n = fast_loop(*rb, arg, max); n >= 0) {
      pos = arg + 1;
      return n >= min;
    }
    uint32_t after = rule_extent(*rb, arg);
    int64_t count = 0;
    while (max < 0 || count < max) {
      int64_t start = index(), len = total() - start;
      uint32_t p = arg;
      bool ok = rule(rb, p, true);
      after = p;
      if (!ok) {
        loop_stop_ = false;
        set_index(start);
        break;
      }
      count++;
      if (loop_stop_) {
        loop_stop_ = false;
        break;
      }
      // Progress guard: a round that neither moved nor shortened the input
      // would repeat forever.
      if (!is_while && index() == start && total() - start >= len) break;
    }
    pos = after;
    return count >= min;
  }

  // A char, bitset or text repeated on string input, or a plain value
  // repeated on block input, without a step per round. On string input a
  // word naming such a value counts as the value. Answers the count
  // matched, or -1 when the argument is not such a literal.
  int64_t fast_loop(const Cell& rb, uint32_t arg, int64_t max) {
    Cell v = rule_at(rb, arg);
    if ((is_string() || is_binary()) && v.is(TYPE_WORD) && kw_of(v) == Kw::NONE_KW) {
      Cell val = word::get_any(v);
      if (val.is(TYPE_CHAR) || val.is(TYPE_BITSET) || is_any_string(val.type())) v = val;
    }
    if (v.is(TYPE_WORD) || v.is(TYPE_BLOCK) || v.is(TYPE_PAREN) || v.is(TYPE_INTEGER) || v.is(TYPE_DATATYPE) ||
        v.is(TYPE_TYPESET) || v.is(TYPE_SET_WORD) || v.is(TYPE_GET_WORD) || is_any_path(v.type()))
      return -1;
    if (is_string()) {
      if (v.is(TYPE_CHAR) || v.is(TYPE_BITSET)) return scan_chars(v, max);
      if (!is_any_string(v.type())) return -1;
      // An empty text matches at once without consuming anything.
      if (advance_of(v) == 0) return max < 0 ? INT32_MAX : max;
    }
    if (is_binary()) {
      if (v.is(TYPE_CHAR) || v.is(TYPE_BITSET)) return scan_chars(v, max);
      bool text = is_any_string(v.type()) || v.is(TYPE_BINARY);
      if (text && series_length_of(v) == 0) return max < 0 ? INT32_MAX : max;
    }
    int64_t count = 0;
    while ((max < 0 || count < max) && !at_end() && literal(v)) count++;
    return count;
  }

  // The run of characters from the index that match a char (folded unless
  // case-sensitive) or belong to a bitset, at most max of them (all when
  // max < 0); the input moves past the run. The buffer is read directly,
  // per character width: nothing here allocates. Binary input (bytes of
  // unit 1) takes the same loop.
  int64_t scan_chars(const Cell& v, int64_t max) {
    int64_t from = index(), end = end_pos();
    if (max >= 0) end = std::min(end, from + max);
    const Buffer* b = node_buffer(input_->node());
    const uint8_t* p = b->data() + b->head;
    int64_t j;
    switch (b->unit()) {
      case 1: j = scan_run<uint8_t>(p, from, end, v); break;
      case 2: j = scan_run<uint16_t>(p, from, end, v); break;
      default: j = scan_run<uint32_t>(p, from, end, v); break;
    }
    set_index(j);
    return j - from;
  }

  // Character j of a buffer of Unit-sized characters.
  template <typename Unit>
  static uint32_t unit_at(const uint8_t* p, int64_t j) {
    Unit u;
    std::memcpy(&u, p + size_t(j) * sizeof(Unit), sizeof(Unit));
    return u;
  }

  // The position of the first character from j on that is in the bitset,
  // or end.
  template <typename Unit>
  static int64_t first_member(const uint8_t* p, int64_t j, int64_t end, const bitset::Bits& bits) {
    while (j < end && !bits.has(unit_at<Unit>(p, j))) j++;
    return j;
  }

  template <typename Unit>
  int64_t scan_run(const uint8_t* p, int64_t j, int64_t end, const Cell& v) const {
    if (v.is(TYPE_BITSET)) {
      const bitset::Bits bits(v);
      while (j < end && bits.has(unit_at<Unit>(p, j))) j++;
      return j;
    }
    bool fold = mode_ != CMP_STRICT_EQUAL && !is_binary();  // bytes never fold
    uint32_t key = string::detail::key_of(v.w2, fold);
    if (sizeof(Unit) > 1 || !fold || key >= 128) {
      while (j < end && string::detail::key_of(unit_at<Unit>(p, j), fold) == key) j++;
      return j;
    }
    // Within Latin-1 an ASCII key folds only with its other ASCII case.
    uint32_t other = (key >= 'A' && key <= 'Z') ? key + 32 : key;
    while (j < end && (p[j] == key || p[j] == other)) j++;
    return j;
  }

  bool skip_one() {
    int64_t i = index();
    if (i >= end_pos()) return false;
    input_->w1 = uint32_t(i + 1);
    return true;
  }

  // --- keywords -------------------------------------------------------------------------

  may_gc bool keyword(Cell* rb, uint32_t& pos, Kw kw, const Cell& w) {
    switch (kw) {
      case Kw::SKIP: return skip_one();
      case Kw::END: return at_end();
      case Kw::NONE: return true;
      case Kw::FAIL: return false;
      case Kw::BREAK:
      case Kw::REJECT:
        loop_stop_ = pop_block_ = true;
        return kw == Kw::BREAK;
      case Kw::ANY: return loop(rb, pos, 0, -1, false, w);
      case Kw::SOME: return loop(rb, pos, 1, -1, false, w);
      case Kw::OPT: return loop(rb, pos, 0, 1, false, w);
      case Kw::WHILE: return loop(rb, pos, 0, -1, true, w);
      case Kw::TO:
      case Kw::THRU: return to_thru(rb, pos, kw == Kw::THRU, w);
      case Kw::NOT:
      case Kw::AHEAD: {
        StackUse use(3);
        if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, w);
        int64_t start = index();
        bool ok = rule(rb, pos, true);
        set_index(start);
        return kw == Kw::NOT ? !ok : ok;
      }
      case Kw::COPY:
      case Kw::SET: return copy_set(rb, pos, kw == Kw::COPY, w);
      case Kw::IF: {
        if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, w);
        Cell p = rule_at(*rb, pos++);
        if (!p.is(TYPE_PAREN)) fire(ErrId::PARSE_RULE, p);
        return truthy(eval_paren(p));
      }
      case Kw::QUOTE:
        if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, w);
        return literal(rule_at(*rb, pos++));
      case Kw::CASE: {
        if (pos + 1 >= rlen(*rb)) fire(ErrId::PARSE_END, w);
        Cell m = rule_at(*rb, pos++);
        if (!m.is(TYPE_WORD)) fire(ErrId::PARSE_RULE, m);
        StackUse use(3);
        int saved = mode_;
        mode_ = truthy(word::get_any(m)) ? CMP_STRICT_EQUAL : CMP_EQUAL;
        bool ok;
        try {
          ok = rule(rb, pos, true);
        } catch (...) {
          mode_ = saved;
          throw;
        }
        mode_ = saved;
        return ok;
      }
      case Kw::REMOVE: return remove(rb, pos, w);
      case Kw::INSERT: return insert(rb, pos, w);
      case Kw::CHANGE: return change(rb, pos, w);
      case Kw::INTO: return into(rb, pos, w);
      case Kw::COLLECT: return collect(rb, pos, w);
      case Kw::KEEP: return keep(rb, pos, w);
      case Kw::BAR:
      case Kw::NONE_KW: break;
    }
    fire(ErrId::PARSE_RULE, w);
  }

  may_gc bool to_thru(Cell* rb, uint32_t& pos, bool thru, const Cell& w) {
    StackUse use(3);
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, w);
    Cell a = rule_at(*rb, pos);
    if (keyword_of(a) == Kw::END) {
      pos++;
      set_index(end_pos());
      return true;
    }
    Cell v = a;
    bool word_arg = a.is(TYPE_WORD) && keyword_of(a) == Kw::NONE_KW;
    if (word_arg) {
      v = word::get_any(a);
      if (v.is(TYPE_UNSET)) fire(ErrId::PARSE_RULE, a);
    }
    bool sub_rule = v.is(TYPE_BLOCK) || v.is(TYPE_DATATYPE) || v.is(TYPE_TYPESET) || v.is(TYPE_PAREN) ||
                    v.is(TYPE_INTEGER) || (v.is(TYPE_WORD) && !word_arg);
    if (!sub_rule) {
      pos++;
      return find_token(v, thru);
    }
    // A sub-rule is tried at each position up to the tail itself (so that
    // `to [end]` matches).
    int64_t i = index();
    while (true) {
      set_index(i);
      uint32_t p = pos;
      bool ok = rule(rb, p, true);
      if (ok || i >= end_pos()) {
        pos = p;
        if (!ok) set_index(i);
        else if (!thru) set_index(i);
        return ok;
      }
      i++;
    }
  }

  may_gc bool find_token(const Cell& v, bool thru) {
    int64_t end = end_pos();
    if (is_binary()) return find_bytes(v, thru);
    if (is_string()) {
      if (v.is(TYPE_BITSET)) {
        const Buffer* b = node_buffer(input_->node());
        const uint8_t* p = b->data() + b->head;
        const bitset::Bits bits(v);
        int64_t i = index();
        switch (b->unit()) {
          case 1: i = first_member<uint8_t>(p, i, end, bits); break;
          case 2: i = first_member<uint16_t>(p, i, end, bits); break;
          default: i = first_member<uint32_t>(p, i, end, bits); break;
        }
        if (i >= end) return false;
        set_index(thru ? i + 1 : i);
        return true;
      }
      if (v.type() != TYPE_CHAR && !is_any_string(v.type())) fire(ErrId::PARSE_RULE, v);
      int64_t adv = advance_of(v);
      int64_t found = -1;
      if (v.is(TYPE_TAG)) {
        for (int64_t i = index(); i + adv <= end && found < 0; i++)
          if (string::match_q(input_at(i), v, mode_)) found = i;
      } else {
        string::FindOptions o;
        o.case_sensitive = mode_ == CMP_STRICT_EQUAL;
        Cell r = string::find(input_at(index()), v, o);
        if (r.is(TYPE_NONE)) return false;
        found = series_index(r);
        if (found + adv > end) return false;
      }
      if (found < 0) return false;
      set_index(thru ? found + adv : found);
      return true;
    }
    int op = (v.is(TYPE_LIT_WORD) || v.is(TYPE_LIT_PATH)) ? CMP_FIND : mode_;
    for (int64_t i = index(); i < end; i++) {
      Cell e = element(i);
      if (compare_values(&e, &v, op)) {
        set_index(thru ? i + 1 : i);
        return true;
      }
    }
    return false;
  }

  // to/thru a literal on binary input: the first byte in a bitset, the
  // first byte equal to a char's code, the first run of a text's UTF-8 or
  // of a binary's bytes.
  bool find_bytes(const Cell& v, bool thru) {
    int64_t from = index(), end = end_pos();
    const uint8_t* p = node_buffer(input_->node())->head_ptr();
    if (v.is(TYPE_BITSET) || v.is(TYPE_CHAR)) {
      const bitset::Bits* bits = nullptr;
      std::optional<bitset::Bits> hold;
      if (v.is(TYPE_BITSET)) bits = &hold.emplace(v);
      for (int64_t i = from; i < end; i++) {
        if (bits ? bits->has(p[i]) : p[i] == v.w2) {
          set_index(thru ? i + 1 : i);
          return true;
        }
      }
      return false;
    }
    if (!is_any_string(v.type()) && !v.is(TYPE_BINARY)) fire(ErrId::PARSE_RULE, v);
    std::string holder;
    binary::Bytes needle = binary::bytes_of(v, holder);
    const uint8_t* hit = std::search(p + from, p + end, needle.p, needle.p + needle.n);
    if (hit == p + end && needle.n) return false;
    int64_t at = hit - p;
    set_index(thru ? at + int64_t(needle.n) : at);
    return true;
  }

  may_gc bool copy_set(Cell* rb, uint32_t& pos, bool copy, const Cell& kw) {
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    RootedCell w(rule_at(*rb, pos++));
    if (!word::is_any_word(w->type())) fire(ErrId::PARSE_RULE, *w);
    w->header = (w->header & ~0xFFu) | TYPE_WORD;
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    StackUse use(3);
    int64_t start = index();
    bool ok = rule(rb, pos, true);
    if (!ok) return false;
    int64_t n = index() - start;
    if (copy) word::set_any(w.get(), copy_range(start, n));
    else word::set_any(w.get(), n > 0 ? element(start) : none_cell());
    return true;
  }

  may_gc Cell copy_range(int64_t start, int64_t n) {
    Cell part = integer_cell(int32_t(std::max<int64_t>(0, n)));
    return call_action(ACT_COPY, {input_at(start), logic_cell(true), part, logic_cell(false), logic_cell(false),
                                  none_cell()});
  }

  may_gc void remove_range(int64_t from, int64_t n) {
    if (n <= 0) return;
    call_action(ACT_REMOVE, {input_at(from), logic_cell(true), integer_cell(int32_t(n)), logic_cell(false),
                             none_cell()});
  }

  may_gc bool remove(Cell* rb, uint32_t& pos, const Cell& kw) {
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    int64_t at = position_word(rule_at(*rb, pos));
    if (at >= 0) {
      pos++;
      int64_t cur = index(), lo = std::min(at, cur);
      remove_range(lo, std::max(at, cur) - lo);
      set_index(lo);
      return true;
    }
    StackUse use(3);
    int64_t start = index();
    if (!rule(rb, pos, true)) return false;
    remove_range(start, index() - start);
    set_index(start);
    return true;
  }

  may_gc bool insert(Cell* rb, uint32_t& pos, const Cell& kw) {
    bool only = is_word_sym(rule_at(*rb, pos), SymId::ONLY);
    if (only) pos++;
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    int64_t at = index();
    Cell a = rule_at(*rb, pos);
    if (int64_t p = position_word(a); p >= 0) {
      if (pos + 1 >= rlen(*rb)) fire(ErrId::PARSE_RULE, a);
      at = p;
      pos++;
    }
    RootedCell v(value_of(rule_at(*rb, pos++)));
    int64_t before = total(), cur = index();
    call_action(ACT_INSERT, {input_at(at), *v, logic_cell(false), none_cell(), logic_cell(only), logic_cell(false),
                             none_cell()});
    if (at <= cur) set_index(cur + (total() - before));
    return true;
  }

  may_gc bool change(Cell* rb, uint32_t& pos, const Cell& kw) {
    bool only = is_word_sym(rule_at(*rb, pos), SymId::ONLY);
    if (only) pos++;
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_RULE, kw);
    Cell a = rule_at(*rb, pos);
    if (int64_t p = position_word(a); p >= 0) {
      if (pos + 1 >= rlen(*rb)) fire(ErrId::PARSE_RULE, a);
      pos++;
      RootedCell v(value_of(rule_at(*rb, pos++)));
      int64_t cur = index(), lo = std::min(p, cur);
      replace(lo, std::max(p, cur) - lo, *v, only);
      set_index(lo);
      return true;
    }
    StackUse use(3);
    int64_t start = index();
    bool ok = rule(rb, pos, true);
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    Cell vc = rule_at(*rb, pos++);
    if (is_any_path(vc.type()) && !vc.is(TYPE_LIT_PATH)) fire(ErrId::PARSE_RULE, vc);
    if (!ok) return false;
    RootedCell v(value_of(vc));
    int64_t end = replace(start, index() - start, *v, only);
    set_index(end);
    return true;
  }

  // Replaces n elements at `from` by the value; answers the index after it.
  may_gc int64_t replace(int64_t from, int64_t n, const Cell& v, bool only) {
    Cell r = call_action(ACT_CHANGE, {input_at(from), v, logic_cell(true), integer_cell(int32_t(n)),
                                      logic_cell(only), logic_cell(false), none_cell()});
    return series_index(r);
  }

  may_gc bool into(Cell* rb, uint32_t& pos, const Cell& kw) {
    if (!is_any_block(input_->type())) fire(ErrId::PARSE_BLOCK, *input_);
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    Cell a = rule_at(*rb, pos++);
    Cell sub = a;
    if (a.is(TYPE_WORD) && keyword_of(a) == Kw::NONE_KW) sub = word::get_any(a);
    if (!sub.is(TYPE_BLOCK)) fire(ErrId::PARSE_END, kw);
    if (at_end()) return false;
    Cell e = element(index());
    if (!is_any_block(e.type()) && !is_any_string(e.type()) && !e.is(TYPE_BINARY)) return false;
    StackUse use(3);
    RootedCell outer(*input_);
    int64_t outer_limit = limit_;
    *input_ = e;
    text_ = is_any_string(e.type());
    set_index(series_index(e));
    limit_ = -1;
    bool ok;
    try {
      ok = sub_block(sub) && completed_ && at_end();
    } catch (...) {
      *input_ = *outer;
      text_ = is_any_string(outer->type());
      limit_ = outer_limit;
      throw;
    }
    *input_ = *outer;
    text_ = is_any_string(outer->type());
    limit_ = outer_limit;
    if (ok) set_index(index() + 1);
    return ok;
  }

  // --- collect and keep -----------------------------------------------------------------

  may_gc bool collect(Cell* rb, uint32_t& pos, const Cell& kw) {
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    Target kind = Target::BLOCK;
    Cell m = rule_at(*rb, pos);
    RootedCell slot(none_cell());
    int64_t saved = 0;
    if (is_word_sym(m, SymId::SET) || is_word_sym(m, SymId::INTO) || is_word_sym(m, SymId::AFTER)) {
      kind = is_word_sym(m, SymId::SET) ? Target::SET : is_word_sym(m, SymId::INTO) ? Target::INTO : Target::AFTER;
      pos++;
      if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
      *slot = rule_at(*rb, pos++);
      if (!slot->is(TYPE_WORD)) fire(ErrId::PARSE_END, kw);
      if (kind != Target::SET) {
        Cell t = word::get_any(*slot);
        TypeId tt = t.type();
        bool fits = tt == input_->type() || is_any_block(tt) || (is_any_string(tt) && (is_string() || is_binary()));
        if (!is_series_type(tt) || elem_kind(tt) == ElemKind::OTHER || !fits) fire(ErrId::PARSE_INTO_TYPE);
        if (t.node() == input_->node()) fire(ErrId::PARSE_INTO_BAD);
        saved = series_index(t);
      }
    }
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    StackUse use(3);
    RootedCell collection(kind == Target::INTO || kind == Target::AFTER ? none_cell() : block::make_at(8));
    block::rs_append(collects_->node(), kind == Target::INTO || kind == Target::AFTER ? *slot : *collection);
    levels_.push_back({kind, saved});
    bool ok;
    try {
      ok = rule(rb, pos, true);
    } catch (...) {
      end_level();
      throw;
    }
    end_level();
    if (kind == Target::INTO || kind == Target::AFTER) {
      Cell t = word::get_any(*slot);
      if (is_series_type(t.type())) {
        t.w1 = uint32_t(saved);
        word::set_any(slot.get(), t);
      }
    } else if (kind == Target::SET) {
      word::set_any(slot.get(), *collection);
    } else if (!levels_.empty()) {
      keep_value(*collection, true);
    } else if (result_->is(TYPE_NONE)) {
      *result_ = *collection;
    } else {
      block::rs_append(result_->node(), *collection);
    }
    return ok;
  }

  void end_level() {
    levels_.pop_back();
    Cell c = *collects_;
    block::rs_remove_last(&c);
  }

  may_gc bool keep(Cell* rb, uint32_t& pos, const Cell& kw) {
    if (levels_.empty()) fire(ErrId::PARSE_KEEP);
    if (pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    bool pick = is_word_sym(rule_at(*rb, pos), SymId::PICK);
    if (pick && ++pos >= rlen(*rb)) fire(ErrId::PARSE_END, kw);
    Cell a = rule_at(*rb, pos);
    if (a.is(TYPE_PAREN)) {
      pos++;
      RootedCell v(eval_paren(a));
      if (pick && is_any_block(v->type())) {
        for (int64_t i = series_index(*v); i < int64_t(block::total(*v)); i++) keep_value(*block::rs_abs_at(*v, uint32_t(i)), true);
      } else {
        keep_value(*v, true);
      }
      return true;
    }
    StackUse use(3);
    uint32_t arg = pos;
    int64_t start = index();
    if (!rule(rb, pos, true)) return false;
    int64_t n = index() - start;
    if (keyword_of(a) == Kw::COPY) {
      Cell w = rule_at(*rb, arg + 1);
      keep_value(word::get_any(w), true);
    } else if (pick) {
      for (int64_t i = start; i < index(); i++) keep_value(element(i), true);
    } else if (n == 1) {
      keep_value(element(start), true);
    } else if (n > 1) {
      RootedCell piece(copy_range(start, n));
      keep_value(*piece, true);
    }
    return true;
  }

  // Adds one value to the innermost collection.
  may_gc void keep_value(const Cell& value, bool only) {
    RootedCell v(value);
    const CollectLevel& lv = levels_.back();
    Cell top = *block::rs_abs_at(*collects_, block::total(*collects_) - 1);
    if (lv.kind == Target::BLOCK || lv.kind == Target::SET) {
      block::rs_append(top.node(), *v);
      return;
    }
    RootedCell w(top);
    Cell t = word::get_any(*w);
    if (!is_series_type(t.type())) fire(ErrId::PARSE_INTO_TYPE);
    if (lv.kind == Target::AFTER) {
      call_action(ACT_APPEND, {t, *v, logic_cell(false), none_cell(), logic_cell(only), logic_cell(false),
                               none_cell()});
      return;
    }
    Cell r = call_action(ACT_INSERT, {t, *v, logic_cell(false), none_cell(), logic_cell(only), logic_cell(false),
                                      none_cell()});
    word::set_any(w.get(), r);
  }
};

}  // namespace

// parse: input rules /case /part length /trace callback
//        0     1     2     3     4      5      6
Status native_parse(Cell* base) {
  RootedCell input(base[0]);
  TypeId t = input->type();
  if (!is_any_block(t) && !is_any_string(t) && t != TYPE_BINARY) fire(ErrId::NOT_DONE);
  if (!base[1].is(TYPE_BLOCK)) fire(ErrId::INVALID_ARG, base[1]);
  if (refinement_used(base[5])) fire(ErrId::NOT_DONE);
  int mode = refinement_used(base[2]) ? CMP_STRICT_EQUAL : CMP_EQUAL;
  int64_t idx = std::min<int64_t>(series_index(*input), series_total(*input));
  input->w1 = uint32_t(idx);
  int64_t limit = -1;
  if (refinement_used(base[3])) {
    const Cell& p = base[4];
    if (p.is(TYPE_INTEGER)) {
      limit = idx + int32_t(p.w2);
    } else if (p.type() == t && p.node() == input->node()) {
      limit = series_index(p);
    } else {
      fire(ErrId::INVALID_REFINE_ARG, refinement_cell(SymId::PART), p);
    }
    if (limit <= 0) {
      base[0] = logic_cell(idx >= int64_t(series_total(*input)));
      return Status::OK;
    }
  }
  RootedCell rules(base[1]);
  try {
    Run run(*input, mode, limit);
    Cell r = run.run(*rules);
    base[0] = r;
  } catch (const SignalOut& s) {
    return s.status;
  }
  return Status::OK;
}

void register_natives_parse() {
  static const NativeEntry kParse[] = {{NAT_PARSE, native_parse}};
  register_natives(kParse, 1);
}

}  // namespace vel
