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

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/symbol.h"
#include "datatypes/triple.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "errors.h"
#include "evaluator/interp_detail.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/trace.h"
#include "io/lexer.h"
#include "roots.h"

namespace vel {

namespace {

constexpr uint32_t PARSE_STACK_LIMIT = 10000;

// [0] the series stack, [1] the rule stack; each cell's index is the base
// of the running parse.
Cell g_parse_stacks[2];

struct SignalOut {
  Status status;
};
// A trace callback answered false.
struct CallbackStop {};

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

// Rule kinds, as the trace callback sees them in the pair of a rule entry.
enum Kind : int32_t {
  K_REPEAT = -1, K_TO = -2, K_THRU = -3, K_COPY = -4, K_SET = -5, K_NOT = -6, K_INTO = -7, K_REMOVE = -9,
  K_WHILE = -11, K_COLLECT = -12, K_KEEP = -13, K_KEEP_PAREN = -14, K_AHEAD = -16, K_CHANGE = -17,
  K_CHANGE_ONLY = -18, K_CASE = -19,
};

// The engine's states.
enum State : uint8_t {
  S_PUSH_BLOCK, S_POP_BLOCK, S_PUSH_RULE, S_POP_RULE, S_CHECK, S_DISPATCH, S_NEXT_INPUT, S_NEXT_ACTION,
  S_MATCH_VALUE, S_RULE_ARG, S_FIND_ALT, S_WORD, S_END, S_EXIT,
};

enum Event : uint8_t { EV_PUSH, EV_POP, EV_FETCH, EV_MATCH, EV_ITERATE, EV_PAREN, EV_END };
constexpr SymId kEventWords[] = {SymId::PUSH,    SymId::POP,   SymId::FETCH, SymId::MATCH,
                                 SymId::ITERATE, SymId::PAREN, SymId::END};

// Collect levels: how kept values reach their target.
enum class Target : uint8_t { BLOCK, SET, INTO, AFTER };

struct CollectLevel {
  Target kind;
  int64_t saved_index;  // the into/after target's index at the start
};

// --- the stacks --------------------------------------------------------------------------

inline Cell& series_stack() { return g_parse_stacks[0]; }
inline Cell& rule_stack() { return g_parse_stacks[1]; }
inline Buffer* rs_buf() { return node_buffer(rule_stack().node()); }
inline uint32_t cells_of(const Cell& stack) { return node_buffer(stack.node())->used() >> 4; }
inline void cut_to(const Cell& stack, uint32_t n) {
  Buffer* b = node_buffer(stack.node());
  if ((b->used() >> 4) > n) b->tail = b->head + (n << 4);
}

// A full stack grows as cells are appended one by one; the cells to push
// are held rooted meanwhile, as they may come from the stack itself.
[[gnu::noinline]] may_gc void grow_push_cells(Cell& stack, const Cell* cells, uint32_t n) {
  Cell hold[3];
  std::memcpy(hold, cells, n * sizeof(Cell));
  RootedCells root(hold, n);
  for (uint32_t i = 0; i < n; i++) block::rs_append(stack.node(), hold[i]);
}

inline may_gc void push_cells(Cell& stack, const Cell* cells, uint32_t n) {
  Buffer* b = node_buffer(stack.node());
  if (b->room() >= n * 16) [[likely]] {
    Cell* to = b->cell_tail();
    for (uint32_t i = 0; i < n; i++) to[i] = cells[i];
    b->tail += n * 16;
    return;
  }
  grow_push_cells(stack, cells, n);
}

// parser/enter and parser/leave: a run nested in another sees empty
// stacks, and every exit of a run clears what it pushed.
class StackScope {
 public:
  StackScope() {
    Cell& rs = rule_stack();
    Cell& ss = series_stack();
    nested_ = cells_of(rs) > uint32_t(rs.index());
    if (nested_) {
      if (cells_of(rs) + 1 > PARSE_STACK_LIMIT) fire(ErrId::PARSE_STACK);
      Cell marker = triple_cell(rs.index(), ss.index(), 0);
      push_cells(rs, &marker, 1);
      rs.w1 = cells_of(rs);
      ss.w1 = cells_of(ss);
    }
  }
  ~StackScope() {
    Cell& rs = rule_stack();
    Cell& ss = series_stack();
    cut_to(rs, uint32_t(rs.index()));
    cut_to(ss, uint32_t(ss.index()));
    if (nested_) {
      Cell marker = rs_buf()->cells()[rs.index() - 1];
      cut_to(rs, uint32_t(rs.index() - 1));
      rs.w1 = marker.w1;
      ss.w1 = marker.w2;
    }
  }
  StackScope(const StackScope&) = delete;
  StackScope& operator=(const StackScope&) = delete;

 private:
  bool nested_;
};

class Run {
 public:
  Run(const Cell& input, int mode, int64_t limit, const Cell& callback)
      : input_(input), callback_(callback), mode_(mode), limit_(limit), top_limit_(limit),
        text_(is_any_string(input.type())), traced_(!callback.is(TYPE_NONE)) {
    ensure_keyword_table();
    collects_->w2 = block::make_at(8).node();
    collects_->header = TYPE_BLOCK;
  }

  may_gc Cell run(const Cell& rules) {
    try {
      process(rules);
    } catch (const CallbackStop&) {
      return logic_cell(match_);
    }
    if (!result_->is(TYPE_NONE)) return *result_;
    return logic_cell(match_);
  }

 private:
  StackScope scope_;
  mutable RootedCell input_;
  RootedCell rb_{none_cell()};        // the current rule block
  RootedCell val_{none_cell()};       // the value in hand
  RootedCell fb_{none_cell()};        // the block the fast path walks
  bool rule_room_ = false;            // and the stacks have room for a rule entry in it
  RootedCell callback_;
  RootedCell collects_{none_cell()};  // per level: the collection block or the target word
  RootedCell result_{none_cell()};    // the block of a top-level collect
  int mode_;
  int64_t limit_;      // part limit as an input index, -1 for none; only at the outermost input
  int64_t top_limit_;
  bool text_;          // string input (any-string!): set with input_
  bool traced_;
  bool match_ = true;
  bool completed_ = false;    // the last block popped was left through its tail
  bool loop_stop_ = false;    // break or reject seen, not yet taken by a loop
  bool pop_pending_ = false;
  bool as_arg_ = false;       // the word in hand stands as a rule's argument
  int64_t rpos_ = 0;          // the rule pointer, a cell index of rb_
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
      Cell v = interp::detail::word_value(c);
      if (v.is(TYPE_UNSET)) fire(ErrId::NO_VALUE, c);
      return v;
    }
    return c;
  }

  // A word or get-word whose value is the input series (at any index): the
  // position form of remove, insert and change. Answers the index or -1.
  int64_t position_word(const Cell& c) const {
    if (!(c.is(TYPE_WORD) || c.is(TYPE_GET_WORD)) || keyword_of(c) != Kw::NONE_KW) return -1;
    Cell v = interp::detail::word_value(c);
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


  // --- matching -------------------------------------------------------------------------

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

  // The characters (or bytes) of a string or binary input from the index
  // to the end or the part limit, read once; valid until anything may
  // allocate or change the input.
  struct Chars {
    const uint8_t* p;  // the first character of the buffer
    int64_t i, end;
    uint32_t unit;
  };
  Chars chars() const {
    const Buffer* b = node_buffer(input_->node());
    int64_t total = b->length(), i = std::min<int64_t>(series_index(*input_), total);
    return {b->data() + b->head, i, limit_ >= 0 ? std::min(limit_, total) : total, b->unit()};
  }

  // One character of a string input against a char (folded unless
  // case-sensitive) or a bitset (never folded): the commonest literals.
  bool one_char(const Cell& v) {
    Chars t = chars();
    if (t.i >= t.end) return false;
    uint32_t c = get_char(t.p + size_t(t.i) * t.unit, t.unit);
    bool fold = mode_ != CMP_STRICT_EQUAL;
    bool ok = v.is(TYPE_BITSET) ? bitset::test_bit(v, c)
                                : string::detail::key_of(c, fold) == string::detail::key_of(v.w2, fold);
    if (ok) input_->w1 = uint32_t(t.i + 1);
    return ok;
  }

  // A literal value at the input position; advances past it on a match.
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


  // A char, bitset or text repeated on string input, or a plain value
  // repeated on block input, without a step per round. On string input a
  // word naming such a value counts as the value. Answers the count
  // matched, or -1 when the argument is not such a literal.
  int64_t fast_loop(Cell v, int64_t max) {
    if ((is_string() || is_binary()) && v.is(TYPE_WORD) && kw_of(v) == Kw::NONE_KW) {
      Cell val = interp::detail::word_value(v);
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
    Chars t = chars();
    int64_t end = max >= 0 ? std::min(t.end, t.i + max) : t.end;
    int64_t j;
    switch (t.unit) {
      case 1: j = scan_run<uint8_t>(t.p, t.i, end, v); break;
      case 2: j = scan_run<uint16_t>(t.p, t.i, end, v); break;
      default: j = scan_run<uint32_t>(t.p, t.i, end, v); break;
    }
    input_->w1 = uint32_t(j);
    return j - t.i;
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


  // Replaces n elements at `from` by the value; answers the index after it.
  may_gc int64_t replace(int64_t from, int64_t n, const Cell& v, bool only) {
    Cell r = call_action(ACT_CHANGE, {input_at(from), v, logic_cell(true), integer_cell(int32_t(n)),
                                      logic_cell(only), logic_cell(false), none_cell()});
    return series_index(r);
  }


  // Adds one value to the innermost collection.
  may_gc void keep_value(const Cell& value, bool only) {
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
      call_action(ACT_APPEND, {t, *v, logic_cell(false), none_cell(), logic_cell(only), logic_cell(false),
                               none_cell()});
      return;
    }
    Cell r = call_action(ACT_INSERT, {t, *v, logic_cell(false), none_cell(), logic_cell(only), logic_cell(false),
                                      none_cell()});
    word::set_any(w.get(), r);
  }

  // --- rule stack -----------------------------------------------------------------------

  static uint32_t rtop() { return rs_buf()->used() >> 4; }
  static uint32_t rbase() { return uint32_t(rule_stack().index()); }
  // The top entry's three cells; re-read after anything that may collect.
  static Cell* top_entry() { return rs_buf()->cells() + rtop() - 3; }
  static bool top_is_rule() {
    uint32_t t = rtop();
    return t >= rbase() + 3 && rs_buf()->cells()[t - 1].is(TYPE_PAIR);
  }
  static bool top_is_block() {
    uint32_t t = rtop();
    return t >= rbase() + 3 && !rs_buf()->cells()[t - 1].is(TYPE_PAIR);
  }

  // parser/check-limits; `pending` counts the cells of entries the fast
  // path stands for without pushing them.
  static void check_limits(uint32_t pending = 0) {
    if (cells_of(rule_stack()) + pending + 3 > PARSE_STACK_LIMIT ||
        cells_of(series_stack()) + 1 > PARSE_STACK_LIMIT)
      fire(ErrId::PARSE_STACK);
  }

  int32_t in_len() const { return int32_t(total() - index()); }

  // A block entry: the sub-block's cell in the current rule block, and the
  // input index and length at the block's start.
  may_gc void push_block_entry(int64_t at, int32_t idx, int32_t len) {
    Cell e[3] = {none_cell(), triple_cell(int32_t(at), idx, len), *rb_};
    push_cells(rule_stack(), e, 3);
  }
  may_gc void push_block_entry() {
    check_limits();
    push_block_entry(rpos_, int32_t(index()), in_len());
  }

  // A rule entry; `first` is the (min max counter) triple or the target word.
  may_gc void push_rule(const Cell& first, int64_t kwpos, int32_t kind, int32_t flags) {
    check_limits();
    Cell e[3] = {first, triple_cell(int32_t(kwpos), int32_t(index()), in_len()), pair_cell(kind, flags)};
    push_cells(rule_stack(), e, 3);
    rpos_ = kwpos;
  }

  // Drops the top rule entry and records its kind in the entry below.
  void drop_rule() {
    uint32_t t = rtop();
    int32_t kind = pair_x(rs_buf()->cells()[t - 1]);
    cut_to(rule_stack(), t - 3);
    if (top_is_rule()) rs_buf()->cells()[t - 4].w1 = uint32_t(kind);
  }

  // --- trace ----------------------------------------------------------------------------

  // parser/fire-event: the callback gets (event match? rule input stack);
  // a falsy answer ends the run. The stack it gets is a copy (whole, at
  // the run's base): the engine's own cells would be read after anything
  // the callback did to them.
  may_gc void fire_event(Event ev) {
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
  may_gc Cell paren_value(const Cell& paren) {
    RootedCell v(eval_paren(paren));
    if (traced_) fire_event(EV_PAREN);
    return *v;
  }

  // --- blocks without the machine -----------------------------------------------------
  //
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

  // A value the machine matches as a literal when it stands as a rule
  // (state 5 going to state 8); words, blocks, parens, counts, types and
  // paths are rules of other kinds.
  static bool literal_rule(TypeId t) {
    switch (t) {
      case TYPE_UNSET: case TYPE_WORD: case TYPE_BLOCK: case TYPE_DATATYPE: case TYPE_TYPESET:
      case TYPE_SET_WORD: case TYPE_GET_WORD: case TYPE_INTEGER: case TYPE_PAREN: case TYPE_PATH:
      case TYPE_GET_PATH: case TYPE_SET_PATH:
        return false;
      default:
        return true;
    }
  }

  // How a block run by the fast path ended: matched or failed as a whole
  // (the input back at its start), or handed over to the machine.
  enum FastEnd : uint8_t { FAST_MATCH, FAST_FAIL, FAST_HANDED };

  // Runs the block in fb_, entered with the input at entry_index (its
  // length from there entry_len) from its cell at rpos_ in rb_.
  // `checked`: the stacks are known to have room for the block entry (a
  // later round of a loop: they are as they were in the first).
  may_gc FastEnd fast_block(bool checked, int32_t entry_index, int32_t entry_len) {
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
  may_gc FastEnd hand_off(int64_t p, int64_t at, int32_t entry_index, int32_t entry_len) {
    push_block_entry(at, entry_index, entry_len);
    *rb_ = *fb_;
    rpos_ = p - 1;
    match_ = true;
    return FAST_HANDED;
  }

  // any, some or opt (lo, hi) of the rule at arg, when it is a literal
  // (or a word naming one) that fast_loop matches. Answers false, having
  // matched nothing, for any other rule.
  [[gnu::always_inline]] may_gc bool fast_repeat(int64_t arg, int64_t lo, int64_t hi) {
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
  may_gc bool fast_find(int64_t arg, bool thru) {
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
  may_gc int64_t fast_counts(const Cell& c, int64_t p) {
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

  // --- the state machine ----------------------------------------------------------------

  may_gc void process(const Cell& rules) {
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
  may_gc uint8_t dispatch() {
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
  may_gc uint8_t count_rule() {
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
  may_gc uint8_t rule_arg() {
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
  may_gc uint8_t word_state() {
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

  Cell rule_cell(int64_t p) {
    return p >= 0 && p < int64_t(block::total(*rb_)) ? *block::rs_abs_at(*rb_, uint32_t(p)) : none_cell();
  }
  bool has_cell(int64_t p) { return p >= 0 && p < int64_t(block::total(*rb_)); }

  // A keyword word at the rule pointer.
  may_gc uint8_t keyword(Kw kw, const Cell& w) {
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
        if (!word::is_any_word(t.type())) fire(ErrId::PARSE_RULE, t);
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

  // The value of a change/insert argument cell (a paren fires its event).
  may_gc Cell arg_value(const Cell& c) {
    if (c.is(TYPE_PAREN)) return paren_value(c);
    return value_of(c);
  }

  may_gc uint8_t insert(int64_t p, const Cell& kw) {
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
    call_action(ACT_INSERT, {input_at(at), *v, logic_cell(false), none_cell(), logic_cell(only), logic_cell(false),
                             none_cell()});
    if (at <= cur) set_index(cur + (total() - before));
    match_ = true;
    return S_CHECK;
  }

  may_gc uint8_t change(int64_t p, const Cell& kw) {
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

  may_gc uint8_t into(int64_t p, const Cell& kw) {
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

  // --- collect and keep -----------------------------------------------------------------

  may_gc uint8_t collect(int64_t p, const Cell& kw) {
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
  may_gc void end_collect() {
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

  may_gc uint8_t keep(int64_t p, const Cell& kw) {
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

  // The end of a round of a loop rule: another round, or the rule's end.
  // Without a trace, rounds over a block argument that the fast path
  // completes follow one another here.
  may_gc void finish_loop(uint8_t& state, int32_t kind) {
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

  // --- finishing a rule (state 3) ---------------------------------------------------------

  may_gc void finish_rule(uint8_t& state) {
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

};

}  // namespace

// parse: input rules /case /part length /trace callback
//        0     1     2     3     4      5      6
Status native_parse(Cell* base) {
  RootedCell input(base[0]);
  TypeId t = input->type();
  if (!is_any_block(t) && !is_any_string(t) && t != TYPE_BINARY) fire(ErrId::NOT_DONE);
  if (!base[1].is(TYPE_BLOCK)) fire(ErrId::INVALID_ARG, base[1]);
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
  Cell callback = refinement_used(base[5]) ? base[6] : none_cell();
  try {
    Run run(*input, mode, limit, callback);
    Cell r = run.run(*rules);
    base[0] = r;
  } catch (const SignalOut& s) {
    return s.status;
  }
  return Status::OK;
}

void parser_init() {
  static RootedCells roots(g_parse_stacks, 2);
  g_parse_stacks[0] = block::make_at(8);
  g_parse_stacks[1] = block::make_at(100);
}

void register_natives_parse() {
  static const NativeEntry kParse[] = {{NAT_PARSE, native_parse}};
  register_natives(kParse, 1);
}

}  // namespace vel
