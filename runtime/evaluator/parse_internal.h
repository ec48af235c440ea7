// The parse engine's pieces, shared by its files: the state machine and
// the native (parse.cpp), matching (parse_match.cpp), the fast path for
// simple blocks (parse_fast.cpp), and editing the input and collect
// (parse_edit.cpp). One Run is one parse call.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "datatypes/logic.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/symbol.h"
#include "datatypes/triple.h"
#include "errors.h"
#include "roots.h"
#include "stack.h"

namespace vel::parse_engine {

constexpr uint32_t PARSE_STACK_LIMIT = 10000;

// [0] the series stack, [1] the rule stack; each cell's index is the base
// of the running parse.
extern Cell g_parse_stacks[2];

struct SignalOut {
  Status status;
};
// A trace callback answered false.
struct CallbackStop {};

// The keywords of parse rules, each named by its runtime word (SymId).
#define VEL_PARSE_KEYWORDS(X)                                                                          \
  X(SKIP) X(END) X(NONE) X(FAIL) X(BREAK) X(REJECT) X(ANY) X(SOME) X(OPT) X(WHILE) X(TO) X(THRU) X(NOT) \
  X(AHEAD) X(COPY) X(SET) X(IF) X(QUOTE) X(CASE) X(REMOVE) X(INSERT) X(CHANGE) X(INTO) X(COLLECT)      \
  X(KEEP) X(BAR)

enum class Kw : uint8_t {
  NONE_KW,
#define VEL_X(name) name,
  VEL_PARSE_KEYWORDS(VEL_X)
#undef VEL_X
};

inline uint32_t canon(const Cell& w) { return symbol::resolve(w.w2); }

// Keywords by canonical symbol id. The runtime's words are interned first
// at start-up, so their ids are small; the table is rebuilt whenever they
// are found to have moved (a runtime started again).
extern std::vector<Kw> g_kw_by_sym;

void ensure_keyword_table();

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
[[gnu::noinline]] may_gc void grow_push_cells(Cell& stack, const Cell* cells, uint32_t n);

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

  may_gc static Cell eval_paren(const Cell& paren);
  may_gc static Cell value_of(const Cell& c);

  int64_t position_word(const Cell& c) const;

  static uint32_t rule_extent(const Cell& rb, uint32_t pos);

  // --- matching (parse_match.cpp) -----------------------------------------------------

  may_gc bool type_rule(const Cell& t);
  may_gc bool bytes_type_rule(const Cell& t);
  bool bytes_literal(const Cell& v);

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

  may_gc bool literal(const Cell& v);
  bool item_matches(const Cell& e, const Cell& v) const;
  static int64_t advance_of(const Cell& v);
  int64_t fast_loop(Cell v, int64_t max);
  int64_t scan_chars(const Cell& v, int64_t max);
  template <typename Unit>
  static uint32_t unit_at(const uint8_t* p, int64_t j);
  template <typename Unit>
  static int64_t first_member(const uint8_t* p, int64_t j, int64_t end, const bitset::Bits& bits);
  template <typename Unit>
  int64_t scan_run(const uint8_t* p, int64_t j, int64_t end, const Cell& v) const;

  bool skip_one() {
    int64_t i = index();
    if (i >= end_pos()) return false;
    input_->w1 = uint32_t(i + 1);
    return true;
  }

  may_gc bool find_token(const Cell& v, bool thru);
  bool find_bytes(const Cell& v, bool thru);
  // --- rule stack -----------------------------------------------------------------------

  static uint32_t rtop() { return rs_buf()->used() >> 4; }
  static uint32_t rbase() { return uint32_t(rule_stack().index()); }
  // The top entry's three cells; re-read after anything that may collect.
  static Cell* top_entry() { return rs_buf()->cells() + rtop() - 3; }
  static bool top_is_rule() {
    uint32_t t = rtop();
    return t >= rbase() + 3 && rs_buf()->cells()[t - 1].is(TYPE_PAIR);
  }

  static void check_limits(uint32_t pending = 0);

  int32_t in_len() const { return int32_t(total() - index()); }

  may_gc void push_block_entry(int64_t at, int32_t idx, int32_t len);
  may_gc void push_block_entry();
  may_gc void push_rule(const Cell& first, int64_t kwpos, int32_t kind, int32_t flags);
  void drop_rule();

  // --- trace ----------------------------------------------------------------------------

  may_gc void fire_event(Event ev);
  may_gc Cell paren_value(const Cell& paren);

  // --- the fast path (parse_fast.cpp) --------------------------------------------

  static bool literal_rule(TypeId t);

  // How a block run by the fast path ended: matched or failed as a whole
  // (the input back at its start), or handed over to the machine.
  enum FastEnd : uint8_t { FAST_MATCH, FAST_FAIL, FAST_HANDED };

  may_gc FastEnd fast_block(bool checked, int32_t entry_index, int32_t entry_len);
  may_gc FastEnd hand_off(int64_t p, int64_t at, int32_t entry_index, int32_t entry_len);
  [[gnu::always_inline]] may_gc bool fast_repeat(int64_t arg, int64_t lo, int64_t hi);
  may_gc bool fast_find(int64_t arg, bool thru);
  may_gc int64_t fast_counts(const Cell& c, int64_t p);

  // --- the state machine (parse.cpp) ---------------------------------------------------

  may_gc void process(const Cell& rules);
  may_gc uint8_t dispatch();
  may_gc uint8_t count_rule();
  may_gc uint8_t rule_arg();
  may_gc uint8_t word_state();

  Cell rule_cell(int64_t p) {
    return p >= 0 && p < int64_t(block::total(*rb_)) ? *block::rs_abs_at(*rb_, uint32_t(p)) : none_cell();
  }
  bool has_cell(int64_t p) { return p >= 0 && p < int64_t(block::total(*rb_)); }

  may_gc uint8_t keyword(Kw kw, const Cell& w);
  may_gc uint8_t into(int64_t p, const Cell& kw);

  // --- finishing a rule (state 3) ---------------------------------------------------------

  may_gc void finish_loop(uint8_t& state, int32_t kind);
  may_gc void finish_rule(uint8_t& state);

  // --- editing the input, collect and keep (parse_edit.cpp) -----------------------------

  may_gc Cell copy_range(int64_t start, int64_t n);
  may_gc void remove_range(int64_t from, int64_t n);
  may_gc int64_t replace(int64_t from, int64_t n, const Cell& v, bool only);
  may_gc void keep_value(const Cell& value, bool only);
  may_gc Cell arg_value(const Cell& c);
  may_gc uint8_t insert(int64_t p, const Cell& kw);
  may_gc uint8_t change(int64_t p, const Cell& kw);
  may_gc uint8_t collect(int64_t p, const Cell& kw);
  may_gc void end_collect();
  may_gc uint8_t keep(int64_t p, const Cell& kw);
};

}  // namespace vel::parse_engine
