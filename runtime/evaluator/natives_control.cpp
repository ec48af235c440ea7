// Conditionals, loops and the natives of non-local exit.
#include "evaluator/natives_control.h"

#include <algorithm>
#include <cmath>

#include "action_frames.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "datatypes/error.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/compiled.h"
#include "evaluator/interp_detail.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/trace.h"
#include "families.h"
#include "frame.h"
#include "native_frames.h"
#include "output.h"
#include "platform/platform.h"
#include "roots.h"

namespace vel {


namespace {

// Cells the natives keep for the whole run: a throw's value and name on
// their way to catch.
enum Slot { THROWN_VALUE, THROWN_NAME, SLOT_COUNT };
Cell g_slots[SLOT_COUNT] = {};
StaticRoot g_slots_root("control natives: thrown value and name, print buffer", g_slots, SLOT_COUNT);


// The natives trust the interpreter's type checks; a native made from a
// spec that lies about its arguments still must not read a non-block as a
// block.
inline const Cell& block_arg(const Cell& v) {
  if (!v.is(TYPE_BLOCK)) fire(ErrId::INVALID_ARG, v);
  return v;
}

// A condition's truth where unset is an error (either, while, until, case).
inline bool checked_truth(const Cell& v) {
  if (v.is(TYPE_UNSET)) fire(ErrId::NO_RETURN);
  return truthy(v);
}

// The series whose elements are not cells and that a loop walks one by one.
inline bool is_text_like(TypeId t) { return is_series_type(t) && !is_any_block(t) && t != TYPE_IMAGE; }

// The index of a series from the buffer head.
inline int64_t series_at(const Cell& s) { return s.index() < 0 ? 0 : s.index(); }

// Sets a word the way a loop does: any value, unset included.
may_gc void set_loop_word(const Cell& word, const Cell& value) {
  Cell w = word;
  w.set_type(TYPE_WORD);
  word::set_any(&w, value);
}

// --- the loop frame ------------------------------------------------------------------

// A loop's own frame, named <body>: its first cell is the loop's result (the
// last body value, a break/return value, or unset). break and continue find
// it and leave the stacks above it for the loop to restore.
class LoopFrame {
 public:
  LoopFrame() : code_(interp::g_current_code) {
    base_ = stack_mark(FRAME_LOOP, sym_exact(SymId::BODY_TAG), 0);
    push(unset_cell());
    mark_ = stack_save();
  }
  LoopFrame(const LoopFrame&) = delete;
  LoopFrame& operator=(const LoopFrame&) = delete;

  Cell& result() const { return *base_; }
  // The frame as it was before an evaluation.
  void reset() const { stack_restore(mark_); }
  // The same after a signal, which leaves the code cell at the inner code.
  void caught() const {
    stack_restore(mark_);
    interp::g_current_code = code_;
  }
  // Pops the frame; its first cell becomes the native's result.
  void end() const {
    stack_restore(mark_);
    stack_unwind_last();
  }

 private:
  Cell* base_;
  StackMark mark_;
  Cell code_;
};

enum class Flow { NEXT, CONTINUE, END, SIGNAL };

// A loop's block run as eval_block runs it, or by the runner compiled code
// gave.
inline may_gc Status run_loop_block(const BlockRunner* blocks, const Cell& block) {
  if (blocks) return blocks->run(blocks->ctx, block);
  return interp::run_body_block(block);
}

// What a body evaluation's status means for the loop: break ends it,
// continue skips to the next iteration, any other signal leaves the loop
// as it is.
inline Flow flow_of(const LoopFrame& lf, Status s, Status* signal) {
  switch (s) {
    case Status::OK: return Flow::NEXT;
    case Status::BREAK: lf.caught(); return Flow::END;
    case Status::CONTINUE: lf.caught(); return Flow::CONTINUE;
    default: *signal = s; return Flow::SIGNAL;
  }
}

// One body evaluation.
may_gc Flow run_body(const LoopFrame& lf, const Cell& body, Status* signal, const BlockRunner* blocks) {
  lf.reset();
  return flow_of(lf, run_loop_block(blocks, body), signal);
}

// The passes of a counting loop from p.counter that the body's program
// runs, and the rest of the pass it left, by the runner compiled code
// gave or the body's own form.
inline may_gc PassEnd run_passes(const BlockRunner* blocks, const Cell& body, Passes& p) {
  if (!blocks) return interp::run_passes(body, p);
  return blocks->passes ? blocks->passes(blocks->ctx, body, p) : PassEnd::NEVER;
}
inline may_gc Status run_pass_rest(const BlockRunner* blocks, const Cell& body, const Passes& p) {
  if (!blocks) return interp::run_body_rest(body, p);
  return blocks->rest(blocks->ctx, body, p);
}

// A while condition's run: break and continue there are errors.
inline may_gc Status cond_status(const LoopFrame& lf, Status s) {
  if (s == Status::BREAK || s == Status::CONTINUE) {
    lf.caught();
    fire(ErrId::WHILE_COND);
  }
  return s;
}

// What a loop does after a run of its body's program.
enum class Next {
  PASS,    // this pass runs the general way
  NEXT,    // on with the next pass
  END,     // the loop ends
  SIGNAL,  // the signal (or error) in *signal leaves the loop
};

// The loops' own ends of a run of the program: Tail::passed() after
// PassEnd::PASSED, Tail::rest_done(flow) after the rest of a pass ran
// (flow NEXT or CONTINUE), Tail::cond_done() after the rest of while's
// condition. This one is the plain loops' (loop, repeat, forever, foreach).
struct PlainTail {
  Next passed() const { return Next::PASS; }
  Next rest_done(Flow) const { return Next::NEXT; }
  Next cond_done() const { return Next::PASS; }
};

// The dispatch every loop makes on run_passes' answer e: END and BREAK end
// the loop, NEVER drops the program for the passes to come, BEFORE leaves
// the pass to the general way, REST hands the pass to run_pass_rest
// (inside while's condition, the condition's rest, with break and continue
// there errors) and maps its flow with flow_of; the rest is the loop's
// tail.
template <class Tail>
inline may_gc Next after_passes(PassEnd e, const LoopFrame& lf, const BlockRunner* blocks, const Cell& body,
                                const Passes& p, bool* through_program, Status* signal, const Tail& tail) {
  switch (e) {
    case PassEnd::END:
    case PassEnd::BREAK: return Next::END;
    case PassEnd::NEVER: *through_program = false; return Next::PASS;
    case PassEnd::BEFORE: return Next::PASS;
    case PassEnd::PASSED: return tail.passed();
    case PassEnd::REST: break;
  }
  if (p.in_cond) {
    Status s = cond_status(lf, run_pass_rest(blocks, *p.cond, p));
    if (s != Status::OK) {
      *signal = s;
      return Next::SIGNAL;
    }
    return tail.cond_done();
  }
  Flow f = flow_of(lf, run_pass_rest(blocks, body, p), signal);
  if (f == Flow::END) return Next::END;
  if (f == Flow::SIGNAL) return Next::SIGNAL;
  return tail.rest_done(f);
}

// Passes 1 to n of loop and forever (word null; forever's n the largest)
// or repeat: the value cell takes the number of each, and the word a copy
// of it, so that changing the word changes neither the count nor the next
// value. Runs of passes go through the body's program while it takes
// them; the others one by one.
may_gc Status counted_loop(const LoopFrame& lf, const Cell& body, const Cell* word, Cell* value, int64_t n,
                           const BlockRunner* blocks) {
  Status sig = Status::OK;
  bool through_program = true;
  for (int64_t counter = 1; counter <= n; counter++) {
    if (through_program) {
      lf.reset();
      Passes p{word, counter, n, &lf.result()};
      PassEnd e = run_passes(blocks, body, p);
      if (e != PassEnd::NEVER && word) *value = integer_cell(int32_t(p.counter));
      counter = p.counter;
      Next next = after_passes(e, lf, blocks, body, p, &through_program, &sig, PlainTail{});
      if (next == Next::END) return Status::OK;
      if (next == Next::SIGNAL) return sig;
      if (next == Next::NEXT) continue;
    }
    if (word) {
      *value = integer_cell(int32_t(counter));
      interp::detail::assign_word(*word, *value);
    }
    Flow f = run_body(lf, body, &sig, blocks);
    if (f == Flow::END) break;
    if (f == Flow::SIGNAL) return sig;
  }
  return Status::OK;
}

// --- signals -----------------------------------------------------------------------------

inline uint32_t kind_of(const CallFrame& f) { return f.header & FRAME_KIND_MASK; }

// The nearest frame at depth `from` or below that `is_target` accepts; null
// when a try/all frame or the bottom comes first.
template <class Target>
CallFrame* find_target(int64_t from, Target is_target) {
  for (int64_t i = from; i >= 0; i--) {
    CallFrame* f = g_stack.frames + i;
    if (kind_of(*f) == FRAME_TRY_ALL) return nullptr;
    if (is_target(*f)) return f;
  }
  return nullptr;
}

// Below the signalling native's own frame.
inline int64_t below_own_frame() { return int64_t(frame_depth()) - 2; }

CallFrame* loop_target() {
  return find_target(below_own_frame(), [](const CallFrame& f) { return kind_of(f) == FRAME_LOOP; });
}
CallFrame* body_target() {
  return find_target(below_own_frame(), [](const CallFrame& f) { return (f.header & FRAME_BODY) != 0; });
}
CallFrame* catch_target(int64_t from) {
  return find_target(from, [](const CallFrame& f) { return kind_of(f) == FRAME_CATCH; });
}

inline Cell& result_cell(const CallFrame& f) { return *f.base; }

void clear_throw() {
  g_slots[THROWN_VALUE] = unset_cell();
  g_slots[THROWN_NAME] = unset_cell();
  error::unpin();
}

// Whether a catch/name spec accepts the name a throw carries.
bool name_matches(const Cell& names, const Cell& thrown) {
  if (!thrown.is(TYPE_WORD)) return false;  // an unnamed throw passes every named catch
  uint32_t s = symbol::resolve(thrown.w2);
  if (names.is(TYPE_WORD)) return symbol::resolve(names.w2) == s;
  if (!names.is(TYPE_BLOCK)) fire(ErrId::INVALID_REFINE_ARG, runtime_word(SymId::NAME), names);
  RootedCell blk(names);
  for (int64_t i = series_at(*blk);; i++) {
    if (i >= series_total(*blk)) return false;
    Cell c = block::rs_abs_at(*blk, uint32_t(i))[0];
    if (!c.is(TYPE_WORD)) fire(ErrId::INVALID_REFINE_ARG, runtime_word(SymId::NAME), *blk);
    if (symbol::resolve(c.w2) == s) return true;
  }
}

// The throw-class error a signal becomes inside try/all when it reaches it
// without having met the barrier (a signal handed on by native code).
may_gc Cell signal_error(Status s) {
  switch (s) {
    case Status::BREAK: return error::create(ErrId::BREAK, 0, nullptr);
    case Status::CONTINUE: return error::create(ErrId::CONTINUE, 0, nullptr);
    case Status::THROW: {
      Cell v = g_slots[THROWN_VALUE];
      RootedCell keep(v);
      clear_throw();
      return error::create(ErrId::THROW, 1, keep.get());
    }
    default: return error::create(ErrId::RETURN, 0, nullptr);
  }
}

// --- loop steps ----------------------------------------------------------------------------

[[noreturn]] void not_done() { fire(ErrId::NOT_DONE); }

// The element at position i from the head of `it`'s series: the cell of a
// block-like series, else what pick answers.
may_gc Cell element_at(const Cell& it, int64_t i) {
  if (is_any_block(it.type())) {
    if (i >= series_total(it)) return none_cell();
    return block::rs_abs_at(it, uint32_t(i))[0];
  }
  // Chars and bytes as pick reads them.
  ElemKind kind = elem_kind(it.type());
  if ((kind == ElemKind::CHARS || kind == ElemKind::BYTES) && i < series_total(it)) return series_element(it, uint32_t(i));
  Cell at = it;
  at.w1 = uint32_t(i);
  return call_action(act::pick::SHAPE, {{act::pick::SERIES, at}, {act::pick::INDEX, integer_cell(1)}});
}

// Every element of a words block must be a word of some kind; checked
// before any word is set.
void check_loop_words(const Cell& words, uint32_t count) {
  int64_t at = series_at(words);
  for (uint32_t i = 0; i < count; i++) {
    Cell w = block::rs_abs_at(words, uint32_t(at + i))[0];
    if (!is_word_form(w.type())) fire(ErrId::INVALID_ARG, w);
  }
}

// A float! count in a frame cell, made an integer! in place.
void coerce_in_place(Cell* count) {
  if (count->is(TYPE_FLOAT)) *count = integer_cell(coerce_loop_count(*count));
}

// --- forall ------------------------------------------------------------------------


inline bool at_tail(const Cell& s) { return series_at(s) >= series_total(s); }

// --- case and switch -------------------------------------------------------------------

// The first block! after the cell of cases equal to value, or none.
Cell switch_find(const Cell& value, const Cell& cases) {
  if (value.is(TYPE_BLOCK)) return none_cell();
  int64_t n = series_total(cases);
  for (int64_t i = series_at(cases); i < n; i++) {
    const Cell* c = block::rs_abs_at(cases, uint32_t(i));
    if (c->type() != value.type() || !compare_values(c, &value, CMP_EQUAL)) continue;
    for (int64_t k = i + 1; k < n; k++) {
      Cell b = block::rs_abs_at(cases, uint32_t(k))[0];
      if (b.is(TYPE_BLOCK)) return b;
    }
    return none_cell();
  }
  return none_cell();
}

}  // namespace

// --- loop steps (public) ---------------------------------------------------------------

int32_t coerce_loop_count(const Cell& count) {
  if (count.is(TYPE_INTEGER)) return count.i2();
  if (!count.is(TYPE_FLOAT)) fire(ErrId::INVALID_ARG, count);
  double d = count.f64();
  if (!(d > -2147483649.0 && d < 2147483648.0)) return INT32_MIN;
  return int32_t(std::trunc(d));
}

may_gc bool foreach_next(const Cell& word, Cell* it) {
  TypeId t = it->type();
  if (t == TYPE_IMAGE) return g_types[t].foreach_step(word, 1, it);
  int64_t i = series_at(*it);
  if (i >= series_total(*it)) return false;
  ElemKind kind = elem_kind(t);
  if (kind == ElemKind::CHARS || kind == ElemKind::BYTES) {
    // A char or byte is never unset: the store of a set-word does.
    Cell v = series_element(*it, uint32_t(i));
    it->w1 = uint32_t(i + 1);
    interp::detail::assign_word(word, v);
    return true;
  }
  RootedCell v(element_at(*it, i));
  it->w1 = uint32_t(i + 1);
  set_loop_word(word, *v);
  return true;
}

may_gc bool foreach_next_block(const Cell& words_in, uint32_t count, Cell* it) {
  RootedCell words(words_in);
  TypeId t = it->type();
  if (count == 0) return false;
  if (t == TYPE_MAP) {
    if (count != 2) fire(ErrId::INVALID_ARG, *words);
    return g_types[t].foreach_step(*words, count, it);
  }
  if (t == TYPE_IMAGE) return g_types[t].foreach_step(*words, count, it);
  int64_t i = series_at(*it);
  if (i >= series_total(*it)) return false;
  check_loop_words(*words, count);
  for (uint32_t k = 0; k < count; k++) {
    RootedCell v(element_at(*it, i + k));
    Cell w = block::rs_abs_at(*words, uint32_t(series_at(*words) + k))[0];
    set_loop_word(w, *v);
  }
  it->w1 = uint32_t(i + count);
  return true;
}

may_gc void remove_each_step(Cell* it, uint32_t count) {
  int64_t at = series_at(*it) - int64_t(count);
  Cell s = *it;
  s.w1 = uint32_t(at < 0 ? 0 : at);
  bool part = count > 1;
  using namespace act::remove;
  Cell r = call_action(
      SHAPE, {{SERIES, s}, {PART, logic_cell(part)}, {LENGTH, part ? integer_cell(int32_t(count)) : none_cell()}});
  it->w1 = r.w1;
}

// --- conditionals ------------------------------------------------------------------------

Status native_if(Cell* base) {
  using enum nat::if_::Frame;
  if (!truthy(base[COND])) {
    base[RESULT] = none_cell();
    return Status::OK;
  }
  return interp::eval_block(block_arg(base[THEN_BLK]), true);
}

Status native_unless(Cell* base) {
  using enum nat::unless::Frame;
  if (truthy(base[COND])) {
    base[RESULT] = none_cell();
    return Status::OK;
  }
  return interp::eval_block(block_arg(base[THEN_BLK]), true);
}

Status native_either(Cell* base) {
  using enum nat::either::Frame;
  return interp::eval_block(block_arg(checked_truth(base[COND]) ? base[TRUE_BLK] : base[FALSE_BLK]), true);
}

Status native_any(Cell* base) {
  using enum nat::any::Frame;
  Cell* blk = push(block_arg(base[CONDS]));
  interp::Code code{blk->node(), uint32_t(std::min<int64_t>(series_at(*blk), series_total(*blk))),
                    uint32_t(series_total(*blk))};
  while (!code.at_end()) {
    g_stack.top = blk + 1;
    VEL_TRY(interp::eval_next(code, false));
    if (truthy(base[RESULT])) return Status::OK;
  }
  base[RESULT] = none_cell();
  return Status::OK;
}

Status native_all(Cell* base) {
  using enum nat::all::Frame;
  Cell* blk = push(block_arg(base[CONDS]));
  interp::Code code{blk->node(), uint32_t(std::min<int64_t>(series_at(*blk), series_total(*blk))),
                    uint32_t(series_total(*blk))};
  if (code.at_end()) {
    base[RESULT] = none_cell();
    return Status::OK;
  }
  while (!code.at_end()) {
    g_stack.top = blk + 1;
    VEL_TRY(interp::eval_next(code, false));
    if (!truthy(base[RESULT])) {
      base[RESULT] = none_cell();
      return Status::OK;
    }
  }
  return Status::OK;
}

// --- loops -----------------------------------------------------------------------------------

namespace {

// Passes go through the program of the condition and the body together
// while it takes them (see Passes), the others one by one.
Status while_loop(Cell* base, const BlockRunner* blocks) {
  using enum nat::while_::Frame;
  const Cell& cond = block_arg(base[COND]);
  const Cell& body = block_arg(base[BODY]);
  LoopFrame lf;
  Status sig = Status::OK;
  bool through_program = blocks && blocks->passes;
  for (;;) {
    lf.reset();
    bool tested = false;  // the condition ran, its value in the result cell
    if (through_program) {
      Passes p{nullptr, 0, INT64_MAX, &lf.result()};
      p.cond = &cond;
      PassEnd e = run_passes(blocks, body, p);
      // The condition ran (the passes stopped after it): its value is in
      // the result cell for the test below.
      struct WhileTail : PlainTail {
        bool* tested;
        Next passed() const {
          *tested = true;
          return Next::PASS;
        }
        Next cond_done() const { return passed(); }
      };
      Next next = after_passes(e, lf, blocks, body, p, &through_program, &sig, WhileTail{{}, &tested});
      if (next == Next::END) break;
      if (next == Next::SIGNAL) return sig;
      if (next == Next::NEXT) continue;
    }
    if (!tested) VEL_TRY(cond_status(lf, run_loop_block(blocks, cond)));
    if (!checked_truth(lf.result())) break;
    Flow f = run_body(lf, body, &sig, blocks);
    if (f == Flow::END) break;
    if (f == Flow::SIGNAL) return sig;
  }
  // Always unset, also after a break.
  lf.end();
  base[RESULT] = unset_cell();
  return Status::OK;
}

// Passes go through the body's program while it takes them (see Passes),
// the others one by one.
Status until_loop(Cell* base, const BlockRunner* blocks) {
  using enum nat::until::Frame;
  const Cell& body = block_arg(base[BODY]);
  LoopFrame lf;
  Status sig = Status::OK;
  bool through_program = true;
  for (;;) {
    if (through_program) {
      lf.reset();
      Passes p{nullptr, 0, 0, &lf.result()};
      p.until = true;
      PassEnd e = run_passes(blocks, body, p);
      // A pass that ran whole ends with until's test of its value; one
      // that continue ended goes on without it.
      struct UntilTail : PlainTail {
        const LoopFrame& lf;
        Next passed() const { return checked_truth(lf.result()) ? Next::END : Next::NEXT; }
        Next rest_done(Flow f) const { return f == Flow::CONTINUE ? Next::NEXT : passed(); }
      };
      Next next = after_passes(e, lf, blocks, body, p, &through_program, &sig, UntilTail{{}, lf});
      if (next == Next::END) break;
      if (next == Next::SIGNAL) return sig;
      if (next == Next::NEXT) continue;
    }
    Flow f = run_body(lf, body, &sig, blocks);
    if (f == Flow::END) break;
    if (f == Flow::SIGNAL) return sig;
    if (f == Flow::CONTINUE) continue;
    if (checked_truth(lf.result())) break;
  }
  lf.end();
  return Status::OK;
}

Status loop_loop(Cell* base, const BlockRunner* blocks) {
  using enum nat::loop::Frame;
  coerce_in_place(&base[COUNT]);
  int32_t n = coerce_loop_count(base[COUNT]);
  const Cell& body = block_arg(base[BODY]);
  if (n <= 0) {
    base[RESULT] = none_cell();
    return Status::OK;
  }
  LoopFrame lf;
  // A counter of our own: the body cannot change the number of iterations.
  VEL_TRY(counted_loop(lf, body, nullptr, nullptr, n, blocks));
  lf.end();
  return Status::OK;
}

Status repeat_loop(Cell* base, const BlockRunner* blocks) {
  using enum nat::repeat::Frame;
  if (!is_any_word(base[WORD].type())) fire(ErrId::INVALID_ARG, base[WORD]);
  coerce_in_place(&base[VALUE]);
  int32_t n = coerce_loop_count(base[VALUE]);
  const Cell& body = block_arg(base[BODY]);
  if (n <= 0) {
    base[RESULT] = none_cell();
    return Status::OK;
  }
  LoopFrame lf;
  VEL_TRY(counted_loop(lf, body, &base[WORD], &base[VALUE], n, blocks));
  lf.end();
  return Status::OK;
}

Status forever_loop(Cell* base, const BlockRunner* blocks) {
  using enum nat::forever::Frame;
  const Cell& body = block_arg(base[BODY]);
  LoopFrame lf;
  VEL_TRY(counted_loop(lf, body, nullptr, nullptr, INT64_MAX, blocks));
  lf.end();
  return Status::OK;
}

// The words of foreach and remove-each: one word, or a words block with
// its length.
struct LoopWords {
  bool block;
  uint32_t count;
};

LoopWords loop_words(const Cell& spec, const Cell& series, bool empty_ok) {
  if (spec.is(TYPE_BLOCK)) {
    int64_t n = block::rs_length(spec);
    if (n <= 0 && !empty_ok) fire(ErrId::INVALID_ARG, spec);
    return {true, uint32_t(n < 0 ? 0 : n)};
  }
  if (!is_any_word(spec.type())) fire(ErrId::INVALID_ARG, spec);
  if (series.is(TYPE_MAP)) fire(ErrId::INVALID_ARG, spec);
  return {false, 1};
}

inline may_gc bool loop_step(const Cell& spec, const LoopWords& lw, Cell* it) {
  return lw.block ? foreach_next_block(spec, lw.count, it) : foreach_next(spec, it);
}

// Whether foreach's passes may run through its body's program: one word
// over a series whose elements the program takes itself.
inline bool steps_in_program(const LoopWords& lw, const Cell& series) {
  if (lw.block) return false;
  ElemKind kind = elem_kind(series.type());
  return kind == ElemKind::CELLS || kind == ElemKind::CHARS || kind == ElemKind::BYTES;
}

// The loop of foreach and remove-each. With remove, a body value that is
// neither none nor false (unset counts as true) removes the elements just
// taken; continue skips the removal. foreach's passes go through the
// body's program while it takes them (see Passes), each taking the next
// element itself; the others one by one.
Status each_loop(Cell* base, bool remove, const BlockRunner* blocks) {
  using enum nat::foreach::Frame;
  const Cell& body = block_arg(base[BODY]);
  if (!is_series_type(base[SERIES].type()) && !base[SERIES].is(TYPE_MAP)) fire(ErrId::INVALID_ARG, base[SERIES]);
  LoopWords lw = loop_words(base[WORD], base[SERIES], remove);
  Cell* it = push(base[SERIES]);
  LoopFrame lf;
  Status sig = Status::OK;
  bool through_program = !remove && steps_in_program(lw, *it);
  for (;;) {
    lf.reset();
    if (!loop_step(base[WORD], lw, it)) break;
    if (through_program) {
      Passes p{&base[WORD], 0, 0, &lf.result(), it};
      PassEnd e = run_passes(blocks, body, p);
      Next next = after_passes(e, lf, blocks, body, p, &through_program, &sig, PlainTail{});
      if (next == Next::END) break;
      if (next == Next::SIGNAL) return sig;
      if (next == Next::NEXT) continue;
    }
    Flow f = run_body(lf, body, &sig, blocks);
    if (f == Flow::END) break;
    if (f == Flow::SIGNAL) return sig;
    if (remove && f == Flow::NEXT && truthy(lf.result())) remove_each_step(it, lw.count);
  }
  lf.end();
  return Status::OK;
}

}  // namespace

Status native_while(Cell* base) { return while_loop(base, nullptr); }
Status native_until(Cell* base) { return until_loop(base, nullptr); }
Status native_loop(Cell* base) { return loop_loop(base, nullptr); }
Status native_repeat(Cell* base) { return repeat_loop(base, nullptr); }
Status native_forever(Cell* base) { return forever_loop(base, nullptr); }
Status native_foreach(Cell* base) { return each_loop(base, false, nullptr); }

Status run_loop_native(uint32_t native, Cell* base, const BlockRunner& blocks) {
  switch (native) {
    case NAT_WHILE: return while_loop(base, &blocks);
    case NAT_UNTIL: return until_loop(base, &blocks);
    case NAT_LOOP: return loop_loop(base, &blocks);
    case NAT_REPEAT: return repeat_loop(base, &blocks);
    case NAT_FOREVER: return forever_loop(base, &blocks);
    case NAT_FOREACH: return each_loop(base, false, &blocks);
    default: not_done();
  }
}

// The result is the data at the position it was given.
Status native_remove_each(Cell* base) {
  using enum nat::remove_each::Frame;
  // each_loop reads foreach's frame: remove-each's data is foreach's series.
  static_assert(int(WORD) == nat::foreach::WORD && int(DATA) == nat::foreach::SERIES &&
                int(BODY) == nat::foreach::BODY);
  VEL_TRY(each_loop(base, true, nullptr));
  base[RESULT] = base[DATA];
  return Status::OK;
}

Status native_forall(Cell* base) {
  using enum nat::forall::Frame;
  Cell w = base[WORD];
  if (!is_any_word(w.type())) fire(ErrId::INVALID_ARG, w);
  w.set_type(TYPE_WORD);
  const Cell& body = block_arg(base[BODY]);
  Cell start = word::get(w);
  if (!is_series_type(start.type())) fire(ErrId::EXPECT_ARG, error::get_call(), datatype_cell(start.type()), w);
  if (start.is(TYPE_IMAGE)) not_done();
  Cell* kept = push(start);  // the series the word held at the start
  LoopFrame lf;
  Status sig = Status::OK;
  if (!at_tail(*kept)) {
    for (;;) {
      Flow f = run_body(lf, body, &sig, nullptr);
      if (f == Flow::END) {
        lf.end();  // the word keeps the position the break left
        return Status::OK;
      }
      if (f == Flow::SIGNAL) return sig;
      Cell* slot = context::get(w);
      if (!is_series_type(slot->type()) || slot->node() != kept->node()) fire(ErrId::BAD_LOOP_SERIES, *slot);
      slot->w1 = uint32_t(series_at(*slot) + 1);
      if (at_tail(*slot)) break;
    }
  }
  set_loop_word(w, *kept);
  lf.end();
  return Status::OK;
}

// --- switch and case ---------------------------------------------------------------------

namespace {

// One expression of case's block into the frame's result cell.
inline may_gc Status case_next(const BlockRunner* blocks, interp::Code& code) {
  if (blocks && blocks->next) return blocks->next(blocks->ctx, code);
  return interp::eval_next(code, false);
}

Status switch_run(Cell* base, const BlockRunner* blocks) {
  using enum nat::switch_::Frame;
  const Cell& cases = block_arg(base[CASES]);
  Cell found = switch_find(base[VALUE], cases);
  if (found.is(TYPE_BLOCK)) return run_loop_block(blocks, found);
  // A match with no block after it counts as no match.
  if (used(base[DEFAULT])) return run_loop_block(blocks, block_arg(base[CASE]));
  base[RESULT] = none_cell();
  return Status::OK;
}

Status case_run(Cell* base, const BlockRunner* blocks) {
  using enum nat::case_::Frame;
  Cell blk = block_arg(base[CASES]);
  bool all = used(base[ALL]);
  if (block::rs_length(blk) <= 0) {
    base[RESULT] = none_cell();
    return Status::OK;
  }
  Cell* keep = push(blk);
  Cell* frame = stack_mark(FRAME_NATIVE, sym_exact(SymId::ANON_TAG), 0);
  push(unset_cell());
  interp::Code code{keep->node(), uint32_t(series_at(*keep)), uint32_t(series_total(*keep))};
  bool taken = false;
  while (!code.at_end()) {
    if (all) taken = false;
    g_stack.top = frame + 1;
    VEL_TRY(case_next(blocks, code));
    if (code.at_end()) fire(ErrId::NEED_VALUE, runtime_word(SymId::CASE));
    if (checked_truth(*frame)) {
      if (code.cell()->is(TYPE_BLOCK)) {
        Cell branch = *code.cell();
        code.pos++;
        g_stack.top = frame + 1;
        VEL_TRY(run_loop_block(blocks, branch));
      } else {
        g_stack.top = frame + 1;
        VEL_TRY(case_next(blocks, code));
      }
      if (!all) {
        stack_unwind_last();
        return Status::OK;
      }
      taken = true;
    } else {
      code.pos++;
    }
  }
  g_stack.top = frame + 1;
  stack_unwind_last();
  if (!taken) base[RESULT] = none_cell();
  return Status::OK;
}

}  // namespace

Status native_switch(Cell* base) { return switch_run(base, nullptr); }
Status native_case(Cell* base) { return case_run(base, nullptr); }

Status run_choice_native(uint32_t native, Cell* base, const BlockRunner& blocks) {
  switch (native) {
    case NAT_SWITCH: return switch_run(base, &blocks);
    case NAT_CASE: return case_run(base, &blocks);
    default: not_done();
  }
}

// --- non-local exits --------------------------------------------------------------------------

Status native_break(Cell* base) {
  using enum nat::break_::Frame;
  CallFrame* loop = loop_target();
  if (!loop) fire(ErrId::BREAK);
  result_cell(*loop) = used(base[RETURN]) ? base[VALUE] : unset_cell();
  return Status::BREAK;
}

Status native_continue(Cell*) {
  CallFrame* loop = loop_target();
  if (!loop) fire(ErrId::CONTINUE);
  result_cell(*loop) = unset_cell();
  return Status::CONTINUE;
}

bool continue_without_frame_below() {
  CallFrame* loop =
      find_target(int64_t(frame_depth()) - 1, [](const CallFrame& f) { return kind_of(f) == FRAME_LOOP; });
  if (!loop) return false;
  result_cell(*loop) = unset_cell();
  return true;
}

Status native_return(Cell* base) {
  using enum nat::return_::Frame;
  CallFrame* fn = body_target();
  if (!fn) fire(ErrId::RETURN);
  result_cell(*fn) = base[VALUE];
  return Status::RETURN;
}

Status native_exit(Cell*) {
  CallFrame* fn = body_target();
  if (!fn) fire(ErrId::RETURN);
  result_cell(*fn) = unset_cell();
  return Status::EXIT;
}

Status native_throw(Cell* base) {
  using enum nat::throw_::Frame;
  // An error raised from here on names the throwing call.
  error::pin_top_frame();
  if (!catch_target(below_own_frame())) fire(ErrId::THROW, base[VALUE]);
  g_slots[THROWN_VALUE] = base[VALUE];
  g_slots[THROWN_NAME] = used(base[NAME]) ? base[WORD] : unset_cell();
  if (trace::g_trace.on) [[unlikely]] {
    Status s = trace::emit(trace::EV_THROW, trace::kNowhere, &base[VALUE]);
    if (s != Status::OK) return s;
  }
  return Status::THROW;
}

Status interrupted() {
  platform::g_interrupt_pending.store(0);
  if (!catch_target(int64_t(frame_depth()) - 1)) return Status::OK;
  g_slots[THROWN_VALUE] = word::load("halt-request");
  g_slots[THROWN_NAME] = word::load("console");
  return Status::THROW;
}

Status native_catch(Cell* base) {
  using enum nat::catch_::Frame;
  const Cell& blk = block_arg(base[BLOCK]);
  bool named = used(base[NAME]);
  int64_t own = below_own_frame();
  Cell code = interp::g_current_code;
  Cell* frame = stack_mark(FRAME_CATCH, sym_exact(SymId::BODY_TAG), 0);
  push(unset_cell());
  StackMark mark = stack_save();
  Status s = interp::eval_block(blk, true);
  if (s == Status::THROW) {
    if (named && !name_matches(base[WORD], g_slots[THROWN_NAME])) {
      // Not ours: on to the next catch past this call's own frames, which
      // restores the stacks; the error of a throw nothing else catches
      // names the throw and its code.
      if (!catch_target(own)) fire(ErrId::THROW, g_slots[THROWN_VALUE]);
      return Status::THROW;
    }
    stack_restore(mark);
    interp::g_current_code = code;
    *frame = g_slots[THROWN_VALUE];
    clear_throw();
    stack_unwind_last();
    if (trace::g_trace.on) [[unlikely]]
      return trace::emit(trace::EV_CATCH, trace::kNowhere, &base[RESULT]);
    return Status::OK;
  }
  if (s != Status::OK) return s;
  stack_unwind_last();
  return Status::OK;
}

namespace {

// try's answer for an error that reached it, thrown or carried by a status.
may_gc void caught_error(const VelError& e, bool keep, const StackMark& mark, const Cell& code, Cell* base) {
  RootedCell err(error::of(e));
  // The frames the error's stack depth counts are still in place here;
  // after the restore they are reused.
  if (keep) error::capture_stack(*err);
  else error::drop_stack(*err);
  stack_restore(mark);
  interp::g_current_code = code;
  base[RESULT] = *err;
}

}  // namespace

Status run_try(Cell* base, bool want_error, bool* caught) {
  using enum nat::try_::Frame;
  const Cell& blk = block_arg(base[BLOCK]);
  bool all = used(base[ALL]);
  bool keep = used(base[KEEP]);
  StackMark mark = stack_save();
  Cell code = interp::g_current_code;
  Status s;
  try {
    stack_mark(all ? FRAME_TRY_ALL : FRAME_TRY, sym_exact(SymId::TRY), 0);
    push(unset_cell());
    s = interp::eval_block(blk, true);
  } catch (const VelError& e) {
    *caught = true;
    if (want_error) {
      caught_error(e, keep, mark, code, base);
    } else {
      stack_restore(mark);
      interp::g_current_code = code;
      base[RESULT] = none_cell();
    }
    return Status::OK;
  }
  if (s == Status::OK) [[likely]] {
    stack_unwind_last();
    return Status::OK;
  }
  if (s == Status::RAISED) {
    *caught = true;
    if (want_error) {
      caught_error(take_held_error(), keep, mark, code, base);
    } else {
      (void)drop_held_error();
      stack_restore(mark);
      interp::g_current_code = code;
      base[RESULT] = none_cell();
    }
    return Status::OK;
  }
  // Without /all signals go on to their targets; try/all stops them all
  // (they normally became errors at the barrier already).
  if (!all || s == Status::HALT) return s;
  stack_restore(mark);
  interp::g_current_code = code;
  *caught = true;
  if (want_error) {
    base[RESULT] = signal_error(s);
  } else {
    if (s == Status::THROW) clear_throw();
    base[RESULT] = none_cell();
  }
  return Status::OK;
}

Status native_try(Cell* base) {
  bool caught = false;
  return run_try(base, true, &caught);
}

const Cell& thrown_value() { return g_slots[THROWN_VALUE]; }
const Cell& thrown_name() { return g_slots[THROWN_NAME]; }

// --- registration ----------------------------------------------------------------------------

namespace {

constexpr NativeEntry kControlNatives[] = {
    {NAT_IF, native_if},           {NAT_UNLESS, native_unless},     {NAT_EITHER, native_either},
    {NAT_ANY, native_any},         {NAT_ALL, native_all},           {NAT_WHILE, native_while},
    {NAT_UNTIL, native_until},     {NAT_LOOP, native_loop},         {NAT_REPEAT, native_repeat},
    {NAT_FOREVER, native_forever}, {NAT_FOREACH, native_foreach},   {NAT_FORALL, native_forall},
    {NAT_REMOVE_EACH, native_remove_each},                          {NAT_SWITCH, native_switch},
    {NAT_CASE, native_case},       {NAT_BREAK, native_break},       {NAT_CONTINUE, native_continue},
    {NAT_EXIT, native_exit},       {NAT_RETURN, native_return},     {NAT_THROW, native_throw},
    {NAT_CATCH, native_catch},     {NAT_TRY, native_try},
};

}  // namespace

void natives_control_init() {
  register_natives(kControlNatives, sizeof kControlNatives / sizeof kControlNatives[0]);
  error::init();
  clear_throw();
}

}  // namespace vel
