// Compiled forms of blocks: the runner, which evaluates a block through its
// form (nodes, calls, paths, loops and choices run in place, and calls as a
// loop), taking the frameless runs and their programs first.
#include "evaluator/compiled.h"

#include <cstdio>
#include <cstdlib>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

#include "action_frames.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "evaluator/arith.h"
#include "evaluator/compiled_form.h"
#include "evaluator/interp_detail.h"
#include "evaluator/library_bodies.h"
#include "evaluator/natives_control.h"
#include "evaluator/trace.h"
#include "families.h"
#include "memory.h"
#include "collector.h"
#include "platform/platform.h"
#include "roots.h"
#include "unicode.h"

namespace vel::interp {

using namespace detail;

namespace {

// Failed checks after which a form is made again on its next entry.
constexpr uint32_t MAX_MISSES = 256;

// A check of the form failed: a form that fails often goes stale and is
// made again at its next evaluation (the forms kept in nodes are looked up
// again, see g_forms_released).
inline void missed(Form& f) {
  if (++f.misses > MAX_MISSES && !f.stale) [[unlikely]] {
    f.stale = true;
    g_forms_released++;
  }
}

// ---------------------------------------------------------------------------
// The runner

may_gc Status run_node(Form& f, const Node& n, Code& code);
// A literal block compiled in place, as eval_block would run it.
may_gc Status run_sub(Form& f, const Sub& s, bool chain);
// The same, inline where a call runs its branch.
may_gc Status run_sub_here(Form& f, const Sub& s, bool chain);


// Whether the code's block still holds the cells its nodes were planned
// from. A node's run may call out (a function, a native running a block)
// to code that edits the running block; from then on the walker reads the
// cells as they are now: the next argument, the operator after a value,
// the next expression. Checked after whatever could have called out, not
// after constants, words and operators on numbers.
[[gnu::always_inline]] inline bool planned(const Code& code) { return series_stamp(code.node) == code.stamp; }

// clean: the block was found as planned since the last node that could
// call out; checked again only when it is false.
[[gnu::always_inline]] inline bool still_planned(const Code& code, bool& clean) {
  if (!clean) clean = planned(code);
  return clean;
}

// A check failed: the walker takes the term (or expression) from its first
// cell, and a form that fails often is made again.
[[gnu::noinline]] may_gc Status miss(Form& f, Code& code, bool infix) {
  missed(f);
  const Cell* c = code_cell(code);
  if (!c) fire(ErrId::NO_ARG);
  return eval_push_at(code, c, !infix, false);
}

// One expression with operators allowed. clean: whether the block is
// known to be as planned after it (false: not known).
[[gnu::always_inline]] inline may_gc Status run_expr(Form& f, const Node& n, Code& code, bool& clean) {
  Cell* left = g_stack.top;
  VEL_TRY(run_node(f, n, code));
  clean = false;
  // An expression node looks at what follows itself.
  if (n.kind == K_EXPR) return Status::OK;
  if (code.pos != n.end) [[unlikely]]
    return eval_infix(code, left);
  // No cell follows at the block's end, where the walker stops whatever
  // the block became.
  if (code.pos >= code.end) return Status::OK;
  clean = planned(code);
  if (!clean) [[unlikely]]
    return eval_infix(code, left);
  return Status::OK;
}

inline may_gc Status run_expr(Form& f, const Node& n, Code& code) {
  bool clean;
  return run_expr(f, n, code, clean);
}


[[gnu::noinline]] void grow_running(Form* f) { g_running.push_back(f); }

[[gnu::always_inline]] inline uint32_t enter_form(Form* f) {
  uint32_t mark = g_forms_top;
  if (mark < g_running.size()) [[likely]]
    g_running[mark] = f;
  else
    grow_running(f);
  g_forms_top = mark + 1;
  return mark;
}

// The current code while a block runs (near and where of an error made
// in it): the block at the position of the expression in progress.
[[gnu::always_inline]] inline void point_code(uint32_t header, NodeId node, uint32_t pos) {
  g_current_code.header = header;
  g_current_code.w1 = pos;
  g_current_code.w2 = node;
}

// A block's run begins: the outer current code is kept in saved (copied
// whole: field by field costs a load and a store per word), and the block
// becomes the current code unless it is the library's, whose code leaves
// the current code at its caller's so that an error made inside a library
// function is near the call.
[[gnu::always_inline]] inline void enter_code(Cell* saved, bool track, uint32_t header, NodeId node, uint32_t pos) {
  std::memcpy(saved, &g_current_code, sizeof(Cell));
  if (track) point_code(header, node, pos);
}

// The block's run ends: its value (the cell after its result cell) in its
// result cell, and the outer current code back.
[[gnu::always_inline]] inline void leave_code(const Cell& saved, Cell* result) {
  *result = result[1];
  std::memcpy(&g_current_code, &saved, sizeof(Cell));
}

// An expression that changes the block hands the rest of the run to the
// walker, which reads the cells as they are now. clean: the block is known
// to be as planned (see still_planned).
may_gc Status run_rest(Form& f, const int32_t* top, uint32_t size, uint32_t header, Cell* result, Code& code,
                       bool track, bool clean) {
  while (true) {
    if (track) point_code(header, code.node, code.pos);
    g_stack.top = result + 1;
    uint32_t at = code.pos - (code.end - size);
    int32_t e = at < size && still_planned(code, clean) ? top[at] : -1;
    if (e >= 0 && !trace::g_trace.on) [[likely]] {
      VEL_TRY(run_expr(f, f.nodes[uint32_t(e)], code, clean));
    } else {
      const Cell* c = code_cell(code);
      if (!c) break;
      clean = false;
      VEL_TRY(eval_push_at(code, c, false, false));
      if (trace::g_trace.on)
        VEL_TRY(trace::emit(trace::EV_EXPR, trace::Where{code.node, TYPE_BLOCK, int32_t(code.pos)}, result + 1));
    }
    if (code.at_end()) break;
  }
  return Status::OK;
}

// Expressions run in place from code.pos, while they can be, by a block's
// run before it sets up the tracking of its position (which only an error
// would read); how that ended.
enum PureEnd { PE_END, PE_CONTINUE, PE_REST, PE_SEVERAL };

// A call whose chosen block has several expressions, for run_several:
// run from its head, or taken up at from (a pass program left it there,
// inside the call of inner when given).
struct Several {
  const Node* call;
  const Sub* sub;
  Cell cond;
  uint32_t from;
  const Several* inner = nullptr;
};

may_gc Status run_several(Form& f, const Several& sv, Code& code);

// One expression of a frameless prefix: PE_END when it ran.
[[gnu::always_inline]] inline PureEnd pure_step(Form& f, const Node& k, Cell* v, Several* several) {
  if (k.quick) [[likely]] {
    const Sub* s = nullptr;
    switch (run_quick(f, &f.quick[k.quick - 1], v, &s)) {
      case QE_DONE: return PE_END;
      case QE_SEVERAL: *several = Several{&k, s, *v, s->head}; return PE_SEVERAL;
      default: return PE_REST;
    }
  }
  if (k.kind == K_CALL) {
    if (k.flags & F_PURE) {
      const Sub* s = nullptr;
      if (!pure_call(f, k, v, 0, &s)) return PE_REST;
      if (s) {
        *several = Several{&k, s, *v, s->head};
        return PE_SEVERAL;
      }
      return PE_END;
    }
    // As run_node's continue: the signal leaves the rest to the loop.
    if ((k.flags & F_CONTINUE) && same_callee(k) && continue_without_frame()) return PE_CONTINUE;
    return k.direct && direct_step(f, k, v) ? PE_END : PE_REST;
  }
  return pure_expr(f, k, v, 0) || direct_step(f, k, v) ? PE_END : PE_REST;
}

[[gnu::noinline]] PureEnd pure_prefix_loop(Form& f, const int32_t* top, uint32_t size, Code& code, Cell* v,
                                          Several* several) {
  const uint32_t head = code.end - size;
  while (code.pos < code.end) {
    int32_t e = top[code.pos - head];
    if (e < 0) return PE_REST;
    const Node& k = f.nodes[uint32_t(e)];
    PureEnd r = pure_step(f, k, v, several);
    if (r != PE_END) return r;
    code.pos = k.end;
  }
  return PE_END;
}

// A block of one expression (a function body, a branch) is tried in place.
[[gnu::always_inline]] inline PureEnd pure_prefix(Form& f, const int32_t* top, uint32_t size, int32_t single,
                                                  Code& code, Cell* v, Several* several) {
  if (single >= 0 && code.pos == code.end - size) {
    const Node& k = f.nodes[uint32_t(single)];
    PureEnd r = pure_step(f, k, v, several);
    if (r == PE_END) code.pos = k.end;
    return r;
  }
  return pure_prefix_loop(f, top, size, code, v, several);
}

// frameless: whether to try the frameless prefix (false when the caller
// found already that the expression at code.pos cannot take it).
[[gnu::always_inline]] inline may_gc Status run_block(Form& f, const int32_t* top, uint32_t size, int32_t single,
                                                    uint32_t header, Cell* result, Code& code,
                                                    bool frameless = true, const Several* given = nullptr) {
  const Several* several = given;
  Several found;
  // The frameless prefix leaves its value in result[1] unchecked: at the
  // stack's last cell the general way runs, whose push overflows.
  if (frameless && !given && !trace::g_trace.on && result + 1 < g_stack.end) [[likely]] {
    Cell v;
    switch (pure_prefix(f, top, size, single, code, &v, &found)) {
      case PE_END:
        *result = result[1] = v;
        g_stack.top = result + 2;
        return Status::OK;
      case PE_CONTINUE: return Status::CONTINUE;
      case PE_SEVERAL: several = &found; break;
      case PE_REST: break;
    }
  }
  Cell saved_code;
  bool track = !(node_buffer(code.node)->flags & BUF_LIBRARY);
  LibraryCodeScope library(!track);
  enter_code(&saved_code, track, header, code.node, code.pos);
  g_stack.top = result + 1;
  if (several) {
    VEL_TRY(run_several(f, *several, code));
    // The chosen block may have called out and changed this one: the
    // walker looks for an operator after the call's value.
    // (A call that ends its block, as most do, has nothing after it.)
    if (code.pos < code.end) {
      if (!planned(code) && !code.at_end()) VEL_TRY(eval_infix(code, result + 1));
      if (!code.at_end()) VEL_TRY(run_rest(f, top, size, header, result, code, track, false));
    }
  } else if (single >= 0 && code.pos == code.end - size) [[likely]] {
    // One expression: no loop, and no end to look for after it.
    VEL_TRY(run_expr(f, f.nodes[uint32_t(single)], code));
    if (code.pos < code.end && !code.at_end()) VEL_TRY(run_rest(f, top, size, header, result, code, track, false));
  } else {
    // Only expressions that change nothing ran before.
    VEL_TRY(run_rest(f, top, size, header, result, code, track, true));
  }
  leave_code(saved_code, result);
  return Status::OK;
}

// A form's whole block, listed as running meanwhile.
[[gnu::always_inline]] inline may_gc Status run_whole(Form& f, uint32_t header, Cell* result) {
  uint32_t mark = enter_form(&f);
  Code code{f.node, f.head, f.len, f.stamp};
  Status s = run_block(f, f.expr_at.data(), uint32_t(f.expr_at.size()), f.single, header, result, code);
  g_forms_top = mark;
  return s;
}

inline Status check_argument(const Form& f, const Node& n, uint32_t ts, const Cell& name, uint32_t entry) {
  const Cell& v = g_stack.top[-1];
  if (!func::typeset_has(f.typesets[n.typesets + ts], v.type())) [[unlikely]]
    return expect_arg(n.expect, name, v, entry);
  return Status::OK;
}

// Argument i of a call (entry: its cache entry), pushed and type-checked:
// its node when the code is where the node begins and the block is as
// planned (clean: the call's own, starting true, see still_planned), else
// the walker from where the code is. Constants and operators on numbers
// that can only give what the argument's typeset takes (call.known) skip
// the check.
[[gnu::always_inline]] inline may_gc Status run_argument(Form& f, const Node& call, uint32_t i, Code& code,
                                                         uint32_t entry, bool& clean) {
  bool known = false;
  if (i < call.count) [[likely]] {
    const Node& k = *call.kid[i];
    if (code.pos == k.start && still_planned(code, clean)) [[likely]] {
      Cell v;
      if (k.kind == K_CONST) {
        *push_slot() = k.cell;
        code.pos = k.end;
        known = (call.known >> i) & 1;
      } else if (k.kind == K_EXPR && (k.flags & (F_ARITH | F_PARENS | F_TAIL_CHECK)) == F_ARITH &&
                 arith_plain(f, k, &v)) {
        // Operators on numbers without the dispatch of a node.
        *push_slot() = v;
        code.pos = k.end;
        known = (call.known >> i) & 1;
      } else if (k.kind == K_WORD && quick_value(f, k, &v)) {
        // A word holding a plain value: no node to run.
        *push_slot() = v;
        code.pos = k.end;
      } else {
        VEL_TRY(run_expr(f, k, code, clean));
      }
      if (!known) VEL_TRY(check_argument(f, call, i, call.cell, entry));
      return Status::OK;
    }
  }
  const Cell* c = code_cell(code);
  if (!c) return fail_eval(ErrId::NO_ARG, call_name(call.cell), arg_word(call.expect, entry));
  VEL_TRY(eval_push_at(code, c, false, false));
  clean = false;
  return check_argument(f, call, i, call.cell, entry);
}

// The refinements a call does not use: false, and none for their
// arguments, as laid out when it was compiled.
inline void push_unused(const Node& n) {
  uint32_t count = n.unused;
  if (count == NO_UNUSED || g_stack.end - g_stack.top < ptrdiff_t(count)) [[unlikely]]
    return push_unused_refinements(n.cache, n.arity);
  Cell* c = g_stack.top;
  for (uint32_t i = 0; i < count; i++) c[i] = (n.unused_logic >> i) & 1 ? logic_cell(false) : none_cell();
  g_stack.top = c + count;
}

// Pushes the callee's copy and its frame; answers the frame's base.
inline Cell* open_call(const Node& n, const Cell& name) {
  push(n.expect);
  if (n.flags & F_FUNCTION) {
    Cell* base = stack_mark(FRAME_FUNCTION | FRAME_INTERPRETED, name.w2, name.w1);
    (g_stack.frame_top - 1)->func_ctx = func::context_of(n.expect);
    return base;
  }
  return stack_mark(FRAME_NATIVE | FRAME_INTERPRETED, name.w2, name.w1);
}

// A call's end: its frame goes and its result, in the frame's base cell,
// takes the place of the callee's copy below it as the top value.
inline void end_call(Cell* base) {
  stack_unwind();
  base[-1] = *base;
  g_stack.top = base;
}

// A function's context reads the call's cells while its body runs; the
// caller's cells come back when it ends, also when an error unwinds it.
struct StackValues {
  NodeId ctx;
  uint32_t saved;
  [[gnu::always_inline]] ~StackValues() { context::cell(ctx).w2 = saved; }
};

may_gc Status run_stepped(Form& form, const Cell& body, NodeId ctx, Cell* base);

// A function! body through its compiled form, as eval_function_body runs
// it when no trace is on (no-trace functions, the library's among them,
// then run as any other).
[[gnu::always_inline]] inline may_gc Status run_function(const Cell& fn, Cell* base) {
  if ((fn.header & func::FN_TRACE) || trace::g_trace.on) return eval_function_body(fn, base);
  Cell body = *func::more_cell(fn, func::MORE_BODY);
  Form* form = body.is(TYPE_BLOCK) ? form_now(body) : nullptr;
  NodeId ctx = func::context_of(fn);
  Cell& cc = context::cell(ctx);
  if (!form || !(cc.header & context::STACK_VALUES) || !room_for(*form)) return eval_function_body(fn, base);
  if (form->stepped_body && !form->library) return run_stepped(*form, body, ctx, base);
  StackValues restore{ctx, cc.w2};
  cc.w2 = cell_index(base);
  BodyScope scope(ctx, base);
  // The frame stack never moves: the call's frame stays at this address.
  CallFrame* frame = g_stack.frame_top - 1;
  frame->header |= FRAME_BODY;
  Cell* result = push(body);
  // A library function may have its body in C++ as well (library_bodies.h).
  const LibraryBody* cpp = (fn.header & func::FN_NO_TRACE) ? library_body(fn) : nullptr;
  Status s = cpp ? run_library_body(*cpp, base, result) : run_whole(*form, body.header, result);
  if (s == Status::OK) [[likely]] {
    *base = *result;
  } else if (s == Status::RETURN || s == Status::EXIT) {
    // The signal left the value in this frame's result cell.
    g_stack.frame_top = frame + 1;
    g_stack.base = base;
    g_stack.top = base + 1;
    s = Status::OK;
  }
  frame->header &= ~FRAME_BODY;
  return s;
}

// append of one value at the tail of a block! that no object owns, on
// its frame, as the action's commonest edit makes it, when the buffer has
// room for the cell (a growth, which may collect, is left to the action);
// false, having changed nothing, otherwise.
inline bool append_here(Cell* base) {
  using enum act::append::Frame;
  const Cell& s = base[SERIES];
  const Cell& v = base[VALUE];
  if (!s.is(TYPE_BLOCK) || used(base[PART]) || used(base[DUP]) || (is_any_block(v.type()) && !used(base[ONLY])))
    return false;
  NodeId node = s.node();
  Buffer* b = node_buffer(node);
  if ((b->flags & BUF_OWNED) || b->room() < sizeof(Cell)) return false;
  // The stamp moves before and after the edit, as for the action.
  series_changed(node);
  *b->cell_tail() = v;
  b->tail += sizeof(Cell);
  series_changed(node);
  base[SERIES].w1 = 0;
  return true;
}

// Runs the callee on its frame and leaves the result in the callee's copy.
[[gnu::always_inline]] inline may_gc Status close_call(const Node& n, Cell* base) {
  for (uint32_t i = 0; i < n.locals; i++) *push_slot() = i ? none_cell() : logic_cell(false);
  if (n.flags & F_FUNCTION) {
    VEL_TRY(run_function(n.expect, base));
  } else if (n.append && append_here(base)) {
    // Done in place.
  } else if (n.expect.is(TYPE_NATIVE) && n.expect.w1 <= NATIVE_SLOTS && g_natives[n.expect.w1]) {
    VEL_TRY(g_natives[n.expect.w1](base));
  } else {
    VEL_TRY(call_body(n.expect, base));
  }
  end_call(base);
  return Status::OK;
}


// any (or all) over a literal block compiled in place, by the native's
// steps: each expression in a <body> frame of its own, its value in the
// call's result cell, until one is true (false). Expressions that nothing
// can make fail or call out skip the frame, which no one would see; the
// walker takes over from where the block changed or a trace began.
[[gnu::noinline]] may_gc Status run_conds(Form& f, const Sub& s, Cell* base, bool any) {
  NodeId node = s.cell.node();
  Cell* blk = push(s.cell);
  Code code{node, s.head, s.len, s.stamp};
  LibraryCodeScope library(node_buffer(node)->flags & BUF_LIBRARY);
  const int32_t* top = &f.sub_top[s.top];
  if (code.at_end()) base[0] = none_cell();
  bool clean = false;  // see still_planned
  while (!code.at_end()) {
    g_stack.top = blk + 1;
    uint32_t at = code.pos - s.head;
    int32_t e = at < s.len - s.head ? top[at] : -1;
    if (e >= 0 && !trace::g_trace.on &&
        (clean || (clean = unchanged(node, s.head, s.len, s.stamp, f.sub_cells.data() + s.cells))))
        [[likely]] {
      const Node& k = f.nodes[uint32_t(e)];
      Cell v;
      if (quick_value(f, k, &v)) {
        code.pos = k.end;
        base[0] = v;
      } else {
        stack_mark(FRAME_NATIVE, sym_exact(SymId::BODY_TAG), 0);
        VEL_TRY(run_expr(f, k, code, clean));
        set_result(*(g_stack.top - 1));
        stack_unwind_last();
      }
    } else {
      clean = false;
      VEL_TRY(eval_next(code, false));
    }
    if (truthy(base[0]) == any) {
      if (!any) base[0] = none_cell();
      return Status::OK;
    }
  }
  if (any) base[0] = none_cell();
  return Status::OK;
}

// The blocks of a loop call compiled in place, for the loop native to run.
struct LoopBlocks {
  Form* f;
  const Sub* body;
  const Sub* cond;
};

// A loop's block: through its compiled form when it is one of the call's
// literal blocks (run_sub hands changed blocks and traces to eval_block),
// as eval_block runs it otherwise; a pending Ctrl+C is taken first, as
// eval_block takes it.
may_gc Status run_loop_block(void* ctx, const Cell& block) {
  auto* lb = static_cast<LoopBlocks*>(ctx);
  if (platform::g_interrupt_pending.load(std::memory_order_relaxed)) [[unlikely]]
    VEL_TRY(interrupted());
  if (lb->body && same_cell(block, lb->body->cell)) [[likely]] {
    const Sub& s = *lb->body;
    if (s.single >= 0 && !trace::g_trace.on) [[likely]] {
      const Node& k = lb->f->nodes[uint32_t(s.single)];
      NodeId node = s.cell.node();
      Cell v;
      const Sub* several;
      if (k.quick && unchanged(node, s.head, s.len, s.stamp, lb->f->sub_cells.data() + s.cells) &&
          run_quick(*lb->f, &lb->f->quick[k.quick - 1], &v, &several) == QE_DONE) [[likely]] {
        *g_stack.base = v;
        return Status::OK;
      }
    }
    return run_sub(*lb->f, s, true);
  }
  if (lb->cond && same_cell(block, lb->cond->cell)) return run_sub(*lb->f, *lb->cond, true);
  return eval_block(block, true);
}

// The rest of a pass the program left (see run_pass_program): from its
// position in the block whose expressions are top, inside the blocks of
// the calls there it was in, as the general way has it at that point:
// each call's frame made, its block going on from the mark's expression.
may_gc Status rest_of_pass(Form& f, const int32_t* top, uint32_t size, int32_t single, uint32_t header,
                           Cell* result, Code& code, const Passes& p) {
  if (!p.mark) return run_block(f, top, size, single, header, result, code, false);
  Several levels[PASS_LEVELS];
  const PassMark* m = &f.passes->marks[p.mark - 1];
  const uint32_t depth = m->depth;
  while (m->depth > 0) {
    uint32_t d = m->depth - 1;
    levels[d] = Several{m->call, m->sub, p.conds[d], m->pos, d + 1 < depth ? &levels[d + 1] : nullptr};
    m = &f.passes->marks[m->parent];
  }
  return run_block(f, top, size, single, header, result, code, false, &levels[0]);
}

// The rest of a pass from pos when the body's form no longer holds (its
// pass program left it at once, so this is for safety alone).
[[gnu::noinline]] may_gc Status rest_walked(const Cell& block, uint32_t pos) {
  Cell from = block;
  from.w1 = pos;
  return eval_block(from, true);
}

// A counting loop's passes when its body is the call's literal block,
// unchanged (see run_passes).
may_gc PassEnd run_loop_passes(void* ctx, const Cell& block, Passes& p) {
  auto* lb = static_cast<LoopBlocks*>(ctx);
  if (!lb->body || !same_cell(block, lb->body->cell)) return PassEnd::NEVER;
  if (p.cond && (!lb->cond || !same_cell(*p.cond, lb->cond->cell))) return PassEnd::NEVER;
  const Sub& s = *lb->body;
  NodeId node = s.cell.node();
  if (trace::g_trace.on || !unchanged(node, s.head, s.len, s.stamp, lb->f->sub_cells.data() + s.cells))
    return PassEnd::BEFORE;
  const Sub* c = p.cond ? lb->cond : nullptr;
  if (c && !unchanged(c->cell.node(), c->head, c->len, c->stamp,
                      lb->f->sub_cells.data() + c->cells))
    return PassEnd::BEFORE;
  return run_pass_program(*lb->f, s.pass, &lb->f->sub_top[s.top], s.head, s.len, p, c);
}

// The rest of a pass from pos, as run_sub runs the body from there after
// its frameless prefix.
may_gc Status run_loop_rest(void* ctx, const Cell& block, const Passes& p) {
  auto* lb = static_cast<LoopBlocks*>(ctx);
  const Sub& s = p.in_cond ? *lb->cond : *lb->body;
  NodeId node = s.cell.node();
  if (!same_cell(block, s.cell) || trace::g_trace.on ||
      !unchanged(node, s.head, s.len, s.stamp, lb->f->sub_cells.data() + s.cells)) [[unlikely]]
    return rest_walked(block, p.pos);
  Cell* result = push(s.cell);
  Code code{node, p.pos, s.len, s.stamp};
  VEL_TRY(rest_of_pass(*lb->f, &lb->f->sub_top[s.top], s.len - s.head, s.single, s.cell.header, result, code, p));
  g_stack.top = result + 1;
  *g_stack.base = *result;
  return Status::OK;
}

// A loop native on its frame, as close_call would call it, with its
// blocks run in place.
[[gnu::noinline]] may_gc Status run_loop(Form& f, const Node& n, Cell* base) {
  LoopBlocks lb{&f, n.refs ? &f.subs[n.refs - 1] : nullptr, n.nrefs ? &f.subs[n.nrefs - 1] : nullptr};
  VEL_TRY(run_loop_native(n.expect.w1, base,
                          BlockRunner{run_loop_block, &lb, nullptr, run_loop_passes, run_loop_rest}));
  end_call(base);
  return Status::OK;
}

// The blocks of a switch or case call compiled in place, for the native.
struct ChoiceBlocks {
  Form* f;
  const Node* n;
};

// A block switch or case chose: through its compiled form when it is one
// of those inside the call's literal block, as eval_block runs it
// otherwise.
may_gc Status run_choice_block(void* ctx, const Cell& block) {
  auto* cb = static_cast<ChoiceBlocks*>(ctx);
  const uint32_t* ids = &cb->f->choices[cb->n->path];
  for (uint32_t i = 0; i < cb->n->path_len; i++) {
    const Sub& s = cb->f->subs[ids[i]];
    if (same_cell(block, s.cell)) return run_sub(*cb->f, s, true);
  }
  return interp::eval_block(block, true);
}

// An expression of case's block, as eval_next(code, false) evaluates it:
// in a <body> frame of its own, which an expression that can neither fail
// nor call out skips; eval_next where the block is not the one compiled,
// changed, or traced, or the position no expression's start.
may_gc Status run_choice_next(void* ctx, Code& code) {
  auto* cb = static_cast<ChoiceBlocks*>(ctx);
  Form& f = *cb->f;
  const Node& n = *cb->n;
  if (n.refs && !trace::g_trace.on) {
    const Sub& s = f.subs[n.refs - 1];
    NodeId node = s.cell.node();
    if (code.node == node && code.pos >= s.head && code.pos < s.len && code.end == s.len &&
        unchanged(node, s.head, s.len, s.stamp, f.sub_cells.data() + s.cells)) {
      int32_t e = f.sub_top[s.top + (code.pos - s.head)];
      // The native's code: its nodes are planned from the block as it is.
      code.stamp = s.stamp;
      if (e >= 0) {
        const Node& k = f.nodes[uint32_t(e)];
        LibraryCodeScope library(node_buffer(node)->flags & BUF_LIBRARY);
        Cell v;
        if (quick_value(f, k, &v)) {
          code.pos = k.end;
          set_result(v);
          return Status::OK;
        }
        stack_mark(FRAME_NATIVE, sym_exact(SymId::BODY_TAG), 0);
        VEL_TRY(run_expr(f, k, code));
        set_result(*(g_stack.top - 1));
        stack_unwind_last();
        return Status::OK;
      }
    }
  }
  return eval_next(code, false);
}

// switch or case on its frame, as close_call would call it, with the
// blocks inside its block run in place.
[[gnu::noinline]] may_gc Status run_choice(Form& f, const Node& n, Cell* base) {
  for (uint32_t i = 0; i < n.locals; i++) *push_slot() = i ? none_cell() : logic_cell(false);
  ChoiceBlocks cb{&f, &n};
  VEL_TRY(run_choice_native(n.expect.w1, base, BlockRunner{run_choice_block, &cb, run_choice_next}));
  end_call(base);
  return Status::OK;
}

// A call of either, if, unless, any or all in place, when its frame would
// not be seen; false having changed nothing otherwise.
[[gnu::noinline]] may_gc bool run_pure(Form& f, const Node& n, Code& code, Status* st) {
  Cell v;
  const Sub* s = nullptr;
  if (n.quick) {
    QuickEnd e = run_quick(f, &f.quick[n.quick - 1], &v, &s);
    if (e == QE_FAIL) return false;
  } else if (!pure_call(f, n, &v, 0, &s)) {
    return false;
  }
  if (s) {
    *st = run_several(f, Several{&n, s, v, s->head}, code);
    return true;
  }
  *st = Status::OK;
  *push_slot() = v;
  code.pos = n.end;
  return true;
}

// The chosen block of several expressions of a call run_pure or run_block
// found: its expressions run here one by one while they can be; at the
// first that cannot, after others made their stores, the call's frame is
// made as the general way has it at that expression and the block goes on
// from there as run_sub runs it. The call's value is pushed.
may_gc Status run_several(Form& f, const Several& sv, Code& code) {
  const Node& n = *sv.call;
  const Sub& s = *sv.sub;
  const Cell& cond = sv.cond;
  code.pos = n.end;
  const int32_t* top = &f.sub_top[s.top];
  Cell v;
  uint32_t p = sv.from;
  // A call here that chose a block of several expressions: the block's
  // run below goes on with it as the general way would.
  Several inner;
  const Several* chosen = sv.inner;
  while (!chosen && p < s.len) {
    int32_t e = top[p - s.head];
    if (e < 0) break;
    const Node& k = f.nodes[uint32_t(e)];
    if (k.quick) {
      const Sub* several;
      QuickEnd end = run_quick(f, &f.quick[k.quick - 1], &v, &several);
      if (end == QE_SEVERAL) {
        inner = Several{&k, several, v, several->head};
        chosen = &inner;
      }
      if (end != QE_DONE) break;
    } else if (!pure_expr(f, k, &v, 1) && !(plain_value(cond) && direct_step(f, k, &v))) {
      // (A call computed in place may allocate: the condition, held
      // here, must need no rooting.)
      break;
    }
    p = k.end;
  }
  if (p == s.len) {
    *push_slot() = v;
    return Status::OK;
  }
  Cell* base = open_call(n, n.cell);
  push(cond);
  push(f.subs[n.refs - 1].cell);
  if (n.arity == 3) push(f.subs[n.nrefs - 1].cell);
  Cell* result = push(s.cell);
  Code rest{s.cell.node(), p, s.len, s.stamp};
  VEL_TRY(run_block(f, top, s.len - s.head, p == s.head ? s.single : -1, s.cell.header, result, rest, false, chosen));
  g_stack.top = result + 1;
  *base = *result;
  end_call(base);
  return Status::OK;
}

[[gnu::noinline]] may_gc Status run_call(Form& f, const Node& n, Code& code) {
  const Cell* slot = own_slot(n);
  if (!slot || !same_cell(*slot, n.expect)) [[unlikely]]
    return miss(f, code, false);
  if (n.direct && !trace::g_trace.on) {
    Cell v;
    if (direct_call(f, n, &v)) {
      *push_slot() = v;
      code.pos = n.end;
      return Status::OK;
    }
  }
  if ((n.flags & F_PURE) && !trace::g_trace.on) {
    Status s;
    if (run_pure(f, n, code, &s)) return s;
  }
  code.pos++;
  Cell* base = open_call(n, n.cell);
  bool clean = true;
  for (uint32_t i = 0; i < n.arity; i++) {
    VEL_TRY(run_argument(f, n, i, code, i, clean));
  }
  // A plain call (most are) takes one test to reach its callee.
  if (!(n.flags & (F_LOOP | F_REFINEMENTS | F_CHOICE | F_CONDS | F_BRANCH))) [[likely]]
    return close_call(n, base);
  if (n.flags & F_LOOP) return run_loop(f, n, base);
  if (n.flags & F_REFINEMENTS) push_unused(n);
  if (n.flags & F_CHOICE) return run_choice(f, n, base);
  if ((n.flags & F_CONDS) && same_cell(base[0], f.subs[n.refs - 1].cell)) {
    VEL_TRY(run_conds(f, f.subs[n.refs - 1], base, n.expect.w1 == NAT_ANY));
    end_call(base);
    return Status::OK;
  }
  if (n.flags & F_BRANCH) {
    // either, if, unless: the chosen block runs in place when it is the
    // one compiled; the frame stays the native's.
    bool run;
    uint32_t pick = 0;
    if (n.expect.w1 == NAT_EITHER) {
      if (base[0].is(TYPE_UNSET)) fire(ErrId::NO_RETURN);
      run = true;
      pick = truthy(base[0]) ? 0 : 1;
    } else {
      run = truthy(base[0]) == (n.expect.w1 == NAT_IF);
    }
    const Sub* s = run ? &f.subs[(pick ? n.nrefs : n.refs) - 1] : nullptr;
    if (!run) {
      base[0] = none_cell();
    } else if (same_cell(base[1 + pick], s->cell)) [[likely]] {
      VEL_TRY(run_sub_here(f, *s, true));
    } else {
      return close_call(n, base);
    }
    end_call(base);
    return Status::OK;
  }
  return close_call(n, base);
}

// The index of the field of object o that the word names, found through
// the node's cache; -1 when o has no such field.
inline int32_t field_of(const Node& n, const Cell& o, const Cell& word) {
  NodeId ctx = o.w1;
  if (ctx == n.field_ctx && uint32_t(n.field_index) < context::word_count(ctx) &&
      context::word_at(ctx, uint32_t(n.field_index))->w2 == n.field_sym) [[likely]]
    return n.field_index;
  int32_t i = object::path_field(o, word);
  if (i < 0) return -1;
  n.field_ctx = ctx;
  n.field_index = i;
  n.field_sym = context::word_at(ctx, uint32_t(i))->w2;
  return i;
}

// The value cell of the field of the object in head that a method call's
// path names, kept for the next run while no buffer moves (a freed
// context's node id coming back as another's counts as a move).
[[gnu::noinline]] const Cell* method_slot(const Node& n, const Cell* head, const Cell& word) {
  n.field_moves = 0;
  int32_t i = head && head->is(TYPE_OBJECT) ? field_of(n, *head, word) : -1;
  const Cell* v = i < 0 ? nullptr : context::value_at(head->w1, uint32_t(i));
  if (v && !context::is_stack(head->w1)) {
    n.method_ctx = head->w1;
    n.field_slot = v;
    n.field_moves = g_buffer_moves;
  }
  return v;
}

// The object field a word/word path node names now: the object's value
// cell and the field index, or null when the path is no longer one through
// an object field.
const Cell* path_object(const Form& f, const Node& n, int32_t* index) {
  Buffer* pb = node_buffer(n.cell.node());
  uint32_t first = n.cell.index() < 0 ? 0 : uint32_t(n.cell.index());
  const Cell* elems = &f.path_cells[n.path];
  if ((pb->used() >> 4) != first + 2 || !same_cells(pb->cells() + first, elems, 2)) return nullptr;
  const Cell* o = slot_of(n, elems[0]);
  if (!o || !o->is(TYPE_OBJECT)) return nullptr;
  *index = field_of(n, *o, elems[1]);
  return *index < 0 ? nullptr : o;
}

[[gnu::noinline]] may_gc Status run_path_get(Form& f, const Node& n, Code& code) {
  int32_t i;
  const Cell* o = path_object(f, n, &i);
  const Cell* v = o ? context::value_at(o->w1, uint32_t(i)) : nullptr;
  // Unset fields and methods: the walker raises or calls.
  if (!v || v->is(TYPE_UNSET) || is_callable(v->type())) [[unlikely]]
    return miss(f, code, false);
  *push_slot() = *v;
  code.pos++;
  return Status::OK;
}

[[gnu::noinline]] may_gc Status run_path_call(Form& f, const Node& n, Code& code) {
  // The path's elements must be those compiled, and its head the callee.
  Buffer* pb = node_buffer(n.cell.node());
  uint32_t first = n.cell.index() < 0 ? 0 : uint32_t(n.cell.index());
  const Cell* elems = &f.path_cells[n.path];
  if ((pb->used() >> 4) != first + n.path_len || !same_cells(pb->cells() + first, elems, n.path_len))
    return miss(f, code, false);
  const Cell* slot = kept_slot(n, elems[0]);
  if (n.flags & F_METHOD) {
    // The callee is the object's field.
    if (slot && slot->is(TYPE_OBJECT) && slot->w1 == n.method_ctx && n.field_moves == g_buffer_moves) [[likely]]
      slot = n.field_slot;
    else
      slot = method_slot(n, slot, elems[1]);
  }
  if (!slot || !same_cell(*slot, n.expect)) return miss(f, code, false);
  code.pos++;
  Cell* base = open_call(n, elems[0]);
  bool clean = true;
  uint32_t i = 0;
  for (; i < n.arity; i++) {
    VEL_TRY(run_argument(f, n, i, code, i, clean));
  }
  if (n.flags & F_REFINEMENTS) push_unused(n);
  for (uint32_t r = 0; r < n.nrefs; r++) {
    const PathRef& ref = f.refs[n.refs + r];
    base[ref.slot] = logic_cell(true);
    for (uint32_t j = 0; j < ref.nargs; j++, i++) {
      VEL_TRY(run_argument(f, n, i, code, ref.entry + 1 + j, clean));
      base[ref.slot + 1 + j] = *--g_stack.top;
    }
  }
  return close_call(n, base);
}


// After an expression: the word that follows ends it unless it has become
// an operator.
inline may_gc Status tail_check(const Node& n, Code& code, Cell* left) {
  if (n.flags & F_TAIL_CHECK) {
    const Cell* v = slot_of(n, n.expect);
    if (!v || v->is(TYPE_OP)) [[unlikely]]
      return eval_infix(code, left);
  }
  return Status::OK;
}

// An operator's right operand, when the code is where it begins and its
// value is one the operator kernel takes without running anything (a
// constant, a word's value, a paren's chain computed in place): true with
// the value in rv. The kernel may still decline the pair; the operand then
// needs no run, and goes straight to the action. (The call loop's chains
// never hold a paren of such a chain: Parens false.)
template <bool Parens>
[[gnu::always_inline]] inline bool kernel_operand(const Form& f, const Node& r, const Code& code, Cell* rv) {
  bool plain = false;
  if (r.kind == K_CONST) {
    plain = kernel_type(r.cell.type());
    *rv = r.cell;
  } else if (r.kind == K_WORD) {
    if (const Cell* s = slot_of(r, r.cell)) {
      plain = kernel_type(s->type());
      *rv = *s;
    }
  } else if (Parens && r.kind == K_PAREN) {
    plain = !trace::g_trace.on && paren_fast(f, r, rv);
  }
  return plain && code.pos == r.start;
}

[[gnu::noinline]] may_gc Status run_expr_node(Form& f, const Node& n, Code& code) {
  Cell* left = g_stack.top;
  // One operator whose operands the kernel just declined: the action's
  // call, without asking the kernel again.
  bool refused = false;
  if (n.flags & F_ARITH) {
    Cell acc;
    if (arith_fast(f, n, &acc)) [[likely]] {
      *push_slot() = acc;
      code.pos = n.end;
      return tail_check(n, code, left);
    }
    refused = n.count == 2;
  }
  VEL_TRY(run_node(f, *n.kid[0], code));
  if (n.count == 1) {
    // A term and the word after it, which may have become an operator.
    if (code.pos != n.end || !planned(code)) [[unlikely]]
      return eval_infix(code, left);
    return tail_check(n, code, left);
  }
  bool clean = n.kid[0]->kind == K_CONST;
  for (uint32_t j = 1; j < n.count; j++) {
    const Node& op = *n.kid[j];
    if (code.pos != op.start || !still_planned(code, clean)) [[unlikely]]
      return eval_infix(code, left);
    const Cell* v = own_slot(op);
    if (!v) [[unlikely]]
      return eval_infix(code, left);
    // No longer an operator: the expression ends before the word.
    if (!v->is(TYPE_OP)) [[unlikely]]
      return Status::OK;
    if (!same_cell(*v, op.expect)) [[unlikely]] {
      missed(f);
      return eval_infix(code, left);
    }
    code.pos++;
    TypeId src = func::op_source_type(op.expect);
    const Node& r = *op.kid[0];
    // Numbers on both sides: no call at all.
    Cell rv, out;
    bool declined = kernel_operand<true>(f, r, code, &rv);
    if (declined && !refused && cell_op(op.arity, *left, rv, &out)) {
      *left = out;
      code.pos = r.end;
      continue;
    }
    g_stack.top = left + 1;
    if (code.pos == r.start) {
      VEL_TRY(run_node(f, r, code));
    } else {
      const Cell* c = code_cell(code);
      if (!c) fire(ErrId::NO_ARG);
      VEL_TRY(eval_push_at(code, c, true, false));
    }
    // Operands the kernel declined go straight to the action.
    if (declined) VEL_TRY(infix_call(op.expect, src, op.cell, left));
    else VEL_TRY(infix_apply(op.expect, src, op.cell, left));
    clean = false;
  }
  if (code.pos != n.end || (code.pos < code.end && !still_planned(code, clean))) [[unlikely]]
    return eval_infix(code, left);
  return tail_check(n, code, left);
}

// The value a set-word or set-path takes: its node when the code is where
// the node begins, else the walker from where the code is.
inline may_gc Status run_assigned(Form& f, const Node& n, Code& code) {
  const Node& k = *n.kid[0];
  if (code.pos == k.start) return run_expr(f, k, code);
  const Cell* c = code_cell(code);
  if (!c) fire(ErrId::NEED_VALUE, n.cell);
  return eval_push_at(code, c, false, false);
}

// After a set-word's store: the word that follows ends the expression
// unless it has become an operator.
inline may_gc Status set_word_tail(const Node& n, Code& code, Cell* left) {
  const Cell* v = slot_in(n.tail_values, n.expect);
  if (!v || v->is(TYPE_OP)) [[unlikely]]
    return eval_infix(code, left);
  return Status::OK;
}

[[gnu::noinline]] may_gc Status run_set_word(Form& f, const Node& n, Code& code) {
  if (n.flags & (F_STORE | F_STORE_OBJECT)) {
    const Node& k = *n.kid[0];
    Cell v;
    bool got = quick_value(f, k, &v);
    // A call computed in place may allocate: the store is known possible
    // before it, and its cell found after it.
    if (!got && direct_expr(k) && slot_of(n, n.cell) &&
        (!(n.flags & F_STORE_OBJECT) || quiet_object_store(n.cell.w1, n.cell.w3)))
      got = direct_value(f, k, &v);
    Cell* slot = got && !v.is(TYPE_UNSET) ? const_cast<Cell*>(slot_of(n, n.cell)) : nullptr;
    if (slot && (n.flags & F_STORE_OBJECT) && !quiet_object_store(n.cell.w1, n.cell.w3)) slot = nullptr;
    if (slot) [[likely]] {
      *slot = v;
      Cell* left = push_slot();
      *left = v;
      code.pos = k.end;
      // The expression looked at the word after it; the store changed
      // only the set-word's own.
      if ((n.flags & F_TAIL_CHECK) && n.expect.w1 == n.cell.w1 && n.expect.w3 == n.cell.w3) [[unlikely]]
        return set_word_tail(n, code, left);
      return Status::OK;
    }
  }
  code.pos++;
  Cell* base = stack_mark(FRAME_NATIVE | FRAME_INTERPRETED, n.cell.w2, n.cell.w1);
  push(n.cell);
  VEL_TRY(run_assigned(f, n, code));
  Cell value = *stack_get_top();
  Cell* slot = (n.flags & F_STORE) && !value.is(TYPE_UNSET) ? const_cast<Cell*>(slot_of(n, n.cell)) : nullptr;
  if (slot) [[likely]]
    *slot = value;
  else
    assign_word(*base, value);
  *base = value;
  stack_unwind();
  if ((n.flags & F_TAIL_CHECK) && code.pos == n.end) return set_word_tail(n, code, base);
  return Status::OK;
}

[[gnu::noinline]] may_gc Status run_set_path(Form& f, const Node& n, Code& code) {
  code.pos++;
  RootedCell path(n.cell);
  stack_mark(FRAME_NATIVE | FRAME_INTERPRETED, sym_exact(SymId::SET_PATH), 0);
  VEL_TRY(run_assigned(f, n, code));
  Cell value = *stack_get_top();
  set_result(value);
  int32_t i;
  const Cell* o = n.path_len == 2 ? path_object(f, n, &i) : nullptr;
  if (o) {
    Cell w = f.path_cells[n.path + 1];
    w.w1 = o->w1;
    w.w3 = uint32_t(i);
    w.set_type(TYPE_WORD);
    object::set_field(*o, w, i, value);
  } else {
    VEL_TRY(eval_path(*path, nullptr, true, false, false));
  }
  set_result(value);
  stack_unwind();
  return Status::OK;
}

may_gc Status run_node(Form& f, const Node& n, Code& code) {
  // The commonest kinds by plain branches, which predict better than the
  // one indirect jump of the switch does.
  if (n.kind == K_CALL) {
    // continue signals its loop at once; its frame would never be seen.
    if (n.flags & F_CONTINUE) {
      const Cell* slot = own_slot(n);
      if (slot && same_cell(*slot, n.expect) && continue_without_frame()) {
        code.pos++;
        return Status::CONTINUE;
      }
    }
    return run_call(f, n, code);
  }
  if (n.kind == K_SET_WORD) return run_set_word(f, n, code);
  if (n.kind == K_EXPR) return run_expr_node(f, n, code);
  switch (n.kind) {
    case K_CONST:
      *push_slot() = n.cell;
      code.pos++;
      return Status::OK;
    case K_WORD: {
      if (const Cell* slot = slot_of(n, n.cell)) [[likely]] {
        TypeId t = slot->type();
        if (t != TYPE_UNSET && t != TYPE_OP && !is_callable(t)) [[likely]] {
          *push_slot() = *slot;
          code.pos++;
          return Status::OK;
        }
      }
      return miss(f, code, false);
    }
    case K_GET_WORD:
      if (const Cell* slot = slot_of(n, n.cell)) [[likely]]
        *push_slot() = *slot;
      else
        *push_slot() = word::get_any(n.cell);
      code.pos++;
      return Status::OK;
    case K_PAREN:
      code.pos++;
      if (n.refs) [[likely]]
        return run_sub(f, f.subs[n.refs - 1], false);
      return eval_block(n.cell, false);
    case K_CALL:
      return run_call(f, n, code);
    case K_PATH_CALL:
      return run_path_call(f, n, code);
    case K_PATH_GET:
      return run_path_get(f, n, code);
    case K_SET_WORD:
      return run_set_word(f, n, code);
    case K_SET_PATH:
      return run_set_path(f, n, code);
    case K_EXPR:
      return run_expr_node(f, n, code);
    case K_WALK: {
      const Cell* c = code_cell(code);
      if (!c) fire(ErrId::NO_ARG);
      return eval_push_at(code, c, !(n.flags & F_INFIX), false);
    }
    case K_OP:
      break;
  }
  fire(ErrId::NOT_DONE);
}

// ---------------------------------------------------------------------------
// Calls as a loop
//
// A function whose body is one expression of calls, parens and operators
// (fib's `either n < 2 [n] [(fib n - 1) + fib n - 2]`) runs here without a
// C++ call per Vel call: each call, block and operator chain in progress
// is a record on an explicit stack, and a callee's body starts in the same
// loop. Each step does what the node runner does at that node, in the same
// order: the same cells and frames on the stacks, the same current code,
// the same checks; the frames are those Stack lists, errors and the
// collector see. A check that fails hands the rest of that node (or of
// its block, or of the chain from the operator reached) to the node
// runner or the walker, as the node runner itself would, and the loop
// goes on with the value.

// Arguments of a call made here, at most.
constexpr uint32_t STEP_ARGS = 4;

// An argument that is tail?, pick or find computed in place (see direct_read).
inline bool read_argument(const Node& k) { return direct_expr(k) && (k.kind == K_EXPR ? *k.kid[0] : k).direct != D_MAKE; }

// A call the loop makes itself: a function given its leading arguments
// only, each a constant, a word, operators on numbers or tail? or pick
// computed in place (the fast ways of run_argument and run_call, which can
// neither fail nor call out).
bool stepped_call(const Node& n) {
  if (n.kind != K_CALL || !(n.flags & F_FUNCTION)) return false;
  if (n.flags & (F_LOOP | F_REFINEMENTS | F_CHOICE | F_CONDS | F_BRANCH | F_CONTINUE)) return false;
  if (n.arity > STEP_ARGS || n.count != n.arity || n.end == NO_END) return false;
  for (uint32_t i = 0; i < n.arity; i++) {
    const Node& k = *n.kid[i];
    bool fast = k.kind == K_CONST || k.kind == K_WORD ||
                (k.kind == K_EXPR && (k.flags & (F_ARITH | F_PARENS | F_TAIL_CHECK)) == F_ARITH) || read_argument(k);
    if (!fast) return false;
  }
  return true;
}

// A term of a chain the loop takes.
inline bool stepped_term(const Node& k) { return k.kind == K_CONST || k.kind == K_WORD || k.stepped; }

}  // namespace

namespace detail {

// The most cells a call the loop steps takes (the callee's copy, arguments
// and locals) and the most room a body it steps into may take (see
// room_for), over all forms made so far; the stacks' ends less those, below
// which the loop enters a body without looking at its own room.
uint32_t g_stepped_call_cells = 0;
Room g_stepped_room{};
Cell* g_stepped_cells_end = nullptr;
CallFrame* g_stepped_frames_end = nullptr;

void note_stepped(uint32_t call_cells, Room room) {
  if (call_cells <= g_stepped_call_cells && room.cells <= g_stepped_room.cells && room.frames <= g_stepped_room.frames)
    return;
  g_stepped_call_cells = std::max(g_stepped_call_cells, call_cells);
  g_stepped_room = room_max(g_stepped_room, room);
  uint64_t cells = uint64_t(g_stepped_call_cells) + g_stepped_room.cells;
  uint64_t frames = uint64_t(g_stepped_room.frames) + 1;
  g_stepped_cells_end = cells < uint64_t(g_stack.end - g_stack.begin) ? g_stack.end - cells : g_stack.begin;
  g_stepped_frames_end = frames < uint64_t(g_stack.frame_end - g_stack.frames) ? g_stack.frame_end - frames : g_stack.frames;
}

// Marks the nodes the loop runs (children come before their parents, and
// a block's nodes before the paren holding it), and whether the form is a
// body it runs: one expression that is such a node, or either, if or
// unless with a straight-line program whose chosen block may be one.
void mark_stepped(Form& f) {
  uint32_t call_cells = 0;
  for (uint32_t i = 0; i < f.nodes.n; i++) {
    Node& n = f.nodes[i];
    switch (n.kind) {
      case K_CALL:
        n.stepped = stepped_call(n);
        if ((n.flags & F_BRANCH) && n.count >= n.arity && n.arity >= 2) {
          const Node& c = *n.kid[0];
          n.branch_here = c.kind == K_EXPR && (c.flags & (F_ARITH | F_PARENS | F_TAIL_CHECK)) == F_ARITH &&
                          n.kid[1]->kind == K_CONST && (n.arity == 2 || n.kid[2]->kind == K_CONST);
        }
        if (n.stepped) call_cells = std::max(call_cells, uint32_t(std::min<uint64_t>(uint64_t(n.arity) + n.locals + 1, ROOM_LIMIT)));
        break;
      case K_PAREN:
        n.stepped = n.refs && f.subs[n.refs - 1].single >= 0 && f.nodes[uint32_t(f.subs[n.refs - 1].single)].stepped;
        break;
      case K_EXPR: {
        if (n.count == 2) {
          const Node& a = *n.kid[0];
          const Node& b = *n.kid[1]->kid[0];
          n.local_pair = a.kind == K_WORD && !a.values && a.cell.w1 && a.cell.i3() >= 0 && b.kind == K_CONST &&
                         b.cell.is(TYPE_INTEGER) && context::is_stack(a.cell.w1);
        }
        bool ok = n.count >= 2 && !(n.flags & (F_ARITH | F_TAIL_CHECK)) && n.end != NO_END && stepped_term(*n.kid[0]);
        for (uint32_t j = 1; ok && j < n.count; j++) ok = n.kid[j]->end != NO_END && stepped_term(*n.kid[j]->kid[0]);
        n.stepped = ok;
        break;
      }
      default: break;
    }
  }
  if (f.single < 0) {
    note_stepped(call_cells, Room{});
    return;
  }
  const Node& b = f.nodes[uint32_t(f.single)];
  auto chosen = [&](uint32_t sub) {
    return sub && f.subs[sub - 1].single >= 0 && f.nodes[uint32_t(f.subs[sub - 1].single)].stepped;
  };
  f.stepped_body = b.stepped || (b.kind == K_CALL && (b.flags & F_BRANCH) && b.quick && (chosen(b.refs) || chosen(b.nrefs)));
  note_stepped(call_cells, f.stepped_body ? Room{f.room_cells, f.room_frames} : Room{});
}

}  // namespace detail

namespace {

enum StepKind : uint8_t {
  S_CALL,   // a function's body running: its frame and what its end puts back
  S_BLOCK,  // a literal block of one expression run in place (a paren, either's chosen block)
  S_CHAIN,  // an operator chain: its value so far at left
};

struct Step {
  StepKind kind;
  bool chosen;     // S_BLOCK: either's chosen block, on the native's frame
  bool clean;      // S_CHAIN: see still_planned
  bool declined;   // S_CHAIN: the pending operand is one the kernel declined
  uint32_t j;      // S_CHAIN: the operator whose operand is pending, or the next one
  Form* f;         // the form of the nodes
  const Node* n;   // S_CALL, S_BLOCK: the block's one expression; S_CHAIN: the chain
  const Sub* s;    // S_BLOCK: the block
  Cell* result;    // S_CALL, S_BLOCK: the block's result cell
  Cell* base;      // S_CALL: the frame's base; S_BLOCK chosen: the native's; S_CHAIN: left
  Code code;       // S_BLOCK, and S_CALL of a body that is one such expression: the block's code
  Cell saved_code; // S_CALL, S_BLOCK: the current code before the block ran
  // S_CALL: what the body's end puts back.
  CallFrame* frame;
  Cell* saved_body_base;
  NodeId ctx;
  uint32_t saved_w2;
  NodeId saved_body_ctx;
  uint32_t saved_library;
  uint32_t form_mark;
  uint32_t header;  // of a body that is one such expression
  uint32_t unused[2];
};
// A power of two: the records are indexed on every step.
static_assert(sizeof(Step) == 128);

// The records, innermost last: g_steps[0, g_steps_top).
Step* g_steps = nullptr;
Step* g_steps_end = nullptr;
uint32_t g_steps_top = 0;

[[gnu::noinline]] void grow_steps() {
  uint32_t cap = uint32_t(g_steps_end - g_steps) * 2 + 64;
  auto* more = static_cast<Step*>(::operator new(sizeof(Step) * cap));
  if (g_steps_top) std::memcpy(static_cast<void*>(more), g_steps, sizeof(Step) * g_steps_top);
  ::operator delete(g_steps);
  g_steps = more;
  g_steps_end = more + cap;
}

// The loop keeps the records' end (one past the top record) in a local,
// sp: a store through a Cell* may alias the globals, which it would read
// again at every step otherwise. g_steps_top follows every push and pop,
// for an exception's unwinding and for the loops that nested calls run;
// those may move the records, so sp is found again after each call out.
[[gnu::always_inline]] inline Step* push_step(Step*& sp) {
  if (sp == g_steps_end) [[unlikely]] {
    grow_steps();
    sp = g_steps + g_steps_top;
  }
  g_steps_top++;
  return sp++;
}

[[gnu::always_inline]] inline void pop_step(Step*& sp) {
  sp--;
  g_steps_top--;
}

// sp again after a call out (see push_step).
[[gnu::always_inline]] inline Step* steps_now() { return g_steps + g_steps_top; }

// What a body's end puts back (run_function's scopes), also when an error
// unwinds it.
[[gnu::always_inline]] inline void leave_body(const Step& c) {
  g_body_ctx = c.saved_body_ctx;
  g_body_base = c.saved_body_base;
  context::cell(c.ctx).w2 = c.saved_w2;
  g_library_code = c.saved_library;
}

// An exception passing through the loop ends the bodies it was running as
// their scopes would.
struct StepsFloor {
  uint32_t floor;
  ~StepsFloor() {
    while (g_steps_top > floor) {
      const Step& c = g_steps[--g_steps_top];
      if (c.kind == S_CALL) leave_body(c);
    }
  }
};

// The block run that follows a block's one expression in run_expr and
// run_block, when the expression did not end where the block does.
[[gnu::noinline]] may_gc Status block_after(Form& f, const Node& e, Code& code, Cell* result, const int32_t* top,
                                            uint32_t size, uint32_t header) {
  Cell* left = result + 1;
  if (e.kind != K_EXPR) {
    if (code.pos != e.end) VEL_TRY(eval_infix(code, left));
    else if (code.pos < code.end && !planned(code)) VEL_TRY(eval_infix(code, left));
  }
  if (code.pos < code.end && !code.at_end()) VEL_TRY(run_rest(f, top, size, header, result, code, true, false));
  return Status::OK;
}

// arith_plain's commonest case: an argument of the body whose context is
// ctx with its cells at base, and an integer constant (n - 1, n < 2), as
// arith_pair computes it; false, having changed nothing, for any other.
[[gnu::always_inline]] inline bool arith_local(const Node& n, NodeId ctx, const Cell* base, Cell* out) {
  const Node& a = *n.kid[0];
  const Node& op = *n.kid[1];
  const Node& b = *op.kid[0];
  if (n.local_pair && a.cell.w1 == ctx) [[likely]] {
    const Cell* l = base + uint32_t(a.cell.i3());
    const Cell* g = own_slot(op);
    if (l < g_stack.top && l->is(TYPE_INTEGER) && g && same_cell(*g, op.expect)) [[likely]] {
      IntResult z = int_op(op.arity, l->i2(), b.cell.i2());
      if (z.ok) [[likely]] {
        *out = z.logic ? logic_cell(z.value != 0) : integer_cell(z.value);
        return true;
      }
    }
  }
  return false;
}

// arith_plain with its commonest case in line, in the running body.
[[gnu::always_inline]] inline bool arith_here(const Form& f, const Node& n, Cell* out) {
  return arith_local(n, g_body_ctx, g_body_base, out) || arith_plain(f, n, out);
}

// What branch_here found.
enum class Branch { UNDECIDED, VALUE, CHOSEN };

// A body's either, if or unless, as its straight-line program runs it (see
// pure_call), in its commonest shape (a comparison of plain operands,
// literal blocks, a chosen block of one word or of several expressions),
// before the body's scopes are set: its words are read in the context ctx
// with the call's cells at base. VALUE, the body's value in out; CHOSEN,
// the condition in out and the block of several expressions in chosen;
// UNDECIDED, having changed nothing, when the program must run.
[[gnu::always_inline]] inline Branch branch_here(const Form& f, const Node& b, NodeId ctx, const Cell* base, Cell* out,
                                                 const Sub** chosen) {
  const Node& c = *b.kid[0];
  Cell cond;
  if (b.branch_here && same_callee(b) && arith_local(c, ctx, base, &cond) &&
      ((b.known & 1) || func::typeset_has(f.typesets[b.typesets], cond.type()))) [[likely]] {
    uint32_t sub;
    if (b.expect.w1 == NAT_EITHER) {
      sub = truthy(cond) ? b.refs : b.nrefs;
    } else if (truthy(cond) == (b.expect.w1 == NAT_IF)) {
      sub = b.refs;
    } else {
      *out = none_cell();
      return Branch::VALUE;
    }
    const Sub& s = f.subs[sub - 1];
    NodeId node = s.cell.node();
    if (s.single >= 0 && unchanged(node, s.head, s.len, s.stamp, f.sub_cells.data() + s.cells)) {
      const Node& e = f.nodes[uint32_t(s.single)];
      if (e.kind == K_WORD) {
        if (const Cell* slot = slot_in(e.values, e.cell, ctx, base)) {
          TypeId t = slot->type();
          if (t != TYPE_UNSET && t != TYPE_OP && !is_callable(t)) {
            *out = *slot;
            return Branch::VALUE;
          }
        }
      } else if (e.stepped) {
        *out = cond;
        *chosen = &s;
        return Branch::CHOSEN;
      }
    }
  }
  return Branch::UNDECIDED;
}

[[gnu::noinline]] may_gc Status body_from_start(Form& f, uint32_t header, Cell* result, Code& code,
                                                const Several* given) {
  return run_block(f, f.expr_at.data(), uint32_t(f.expr_at.size()), f.single, header, result, code, true, given);
}

[[gnu::noinline]] may_gc Status chain_walked(Code& code, Cell* left) {
  const Cell* c = code_cell(code);
  if (!c) fire(ErrId::NO_ARG);
  return eval_push_at(code, c, true, false);
}

// The compiled form of a call's callee's body when the call loop can enter
// it (see kept_callee), found and kept in the node; null for a callee the
// general way runs.
[[gnu::noinline]] Form* callee_found(const Node& n) {
  const Cell& fn = n.expect;
  if (fn.header & func::FN_TRACE) return nullptr;
  Cell body = *func::more_cell(fn, func::MORE_BODY);
  Form* f = body.is(TYPE_BLOCK) ? form_now(body) : nullptr;
  if (!f || !f->stepped_body || !(context::cell(func::context_of(fn)).header & context::STACK_VALUES) || f->library)
    return nullptr;
  n.callee_form = f;
  n.callee_body = body;
  n.callee_released = g_forms_released;
  return f;
}

// The callee is the node's (the loop compared them): its body, its
// context's kind and its trace flag are fixed when a function is made, so
// the form found last time holds while it lives, is not stale and its
// block is unchanged, as form_now would find it (whether the block is the
// library's is fixed with its stamp).
[[gnu::always_inline]] inline Form* kept_callee(const Node& n) {
  Form* f = n.callee_form;
  if (n.callee_released == g_forms_released && unchanged(f->node, f->head, f->len, f->stamp, f->snapshot.data()))
      [[likely]]
    return f;
  return callee_found(n);
}

// close_call's call of a function whose frame, arguments and locals are
// in place, for callees the loop leaves to the general way.
[[gnu::noinline]] may_gc Status call_generic(const Cell& fn, Cell* base) { return run_function(fn, base); }

may_gc Status run_stepped(Form& form, const Cell& body_in, NodeId ctx_in, Cell* base_in) {
  const uint32_t floor = g_steps_top;
  StepsFloor unwind_floor{floor};
  Step* sp = steps_now();
  Status st = Status::OK;
  // The node to evaluate and the form it is in, for `eval`; the body and
  // frame for `enter`.
  Form* f = &form;
  const Node* e = nullptr;
  const Cell* body = &body_in;
  NodeId ctx = ctx_in;
  Cell* base = base_in;
  Form* callee = &form;
  Cell v;

enter: {
  f = callee;
  const Node& b = f->nodes[uint32_t(f->single)];
  const Sub* chosen = nullptr;
  QuickEnd qe = QE_FAIL;
  Branch branch = Branch::UNDECIDED;
  if (!b.stepped) {
    // either, if or unless, as its program would run it, before the rest
    // of the body's setup: a value ends the call at once. A program can
    // neither fail nor call out, so the body's result cell, its frame's
    // flag and the list of running forms would not be looked at; nor are
    // its scopes, when the loop decides it here.
    branch = branch_here(*f, b, ctx, base, &v, &chosen);
    if (branch == Branch::VALUE) [[likely]]
      goto leaf;
    qe = QE_SEVERAL;
  }
  // run_function's scopes: the body's words read the call's cells.
  Cell& cc = context::cell(ctx);
  const uint32_t saved_w2 = cc.w2;
  const NodeId saved_ctx = g_body_ctx;
  Cell* const saved_base = g_body_base;
  cc.w2 = cell_index(base);
  g_body_ctx = ctx;
  g_body_base = base;
  if (!b.stepped && branch == Branch::UNDECIDED) {
    qe = run_quick(*f, &f->quick[b.quick - 1], &v, &chosen);
    if (qe == QE_DONE) {
      g_body_ctx = saved_ctx;
      g_body_base = saved_base;
      cc.w2 = saved_w2;
      goto leaf;
    }
  }
  // run_function's and run_whole's: the frame is a body, its result cell,
  // the form listed as running.
  Step& c = *push_step(sp);
  c.kind = S_CALL;
  c.f = callee;
  c.base = base;
  c.frame = g_stack.frame_top - 1;
  c.ctx = ctx;
  c.saved_w2 = saved_w2;
  c.saved_body_ctx = saved_ctx;
  c.saved_body_base = saved_base;
  c.saved_library = g_library_code;
  c.frame->header |= FRAME_BODY;
  // Both ways here found room for the body's cell (see room_for).
  c.result = g_stack.top++;
  *c.result = *body;
  c.form_mark = enter_form(callee);
  if (b.stepped) {
    c.header = body->header;
    // The body's block is the level its expression runs in.
    c.n = &b;
    c.code = Code{f->node, f->head, f->len, f->stamp};
    // run_block: its expression, with the block as the current code.
    g_library_code = 0;
    enter_code(&c.saved_code, true, body->header, c.code.node, c.code.pos);
    g_stack.top = c.result + 1;
    e = &b;
    goto eval;
  }
  if (qe == QE_FAIL) {
    Code code{f->node, f->head, f->len, f->stamp};
    Cell* result = c.result;
    st = body_from_start(*f, body->header, result, code, nullptr);
    sp = steps_now();
    goto body_done;
  }
  const Node* k = chosen->single >= 0 ? &f->nodes[uint32_t(chosen->single)] : nullptr;
  if (!k || !k->stepped || chosen->library) {
    Several found{&b, chosen, v, chosen->head};
    Code code{f->node, f->head, f->len, f->stamp};
    Cell* result = c.result;
    st = body_from_start(*f, body->header, result, code, &found);
    sp = steps_now();
    goto body_done;
  }
  // run_block's run of the several expressions of the chosen block:
  // the body as the current code, then run_several's frame of the native
  // (its copy, the condition, the blocks, the chosen block's result cell).
  g_library_code = 0;
  Cell* nbase;
  Cell* result;
  if (g_stack.end - g_stack.top >= ptrdiff_t(b.arity + 2) && g_stack.frame_top < g_stack.frame_end &&
      !(b.flags & F_FUNCTION)) [[likely]] {
    // All fits: nothing can fail before the chosen block is the current
    // code, so the body never shows as it.
    std::memcpy(&c.saved_code, &g_current_code, sizeof(Cell));
    Cell* at = g_stack.top;
    at[0] = b.expect;
    nbase = at + 1;
    stack_mark_at_unchecked(nbase, FRAME_NATIVE | FRAME_INTERPRETED, b.cell.w2, b.cell.w1);
    nbase[0] = v;
    nbase[1] = f->subs[b.refs - 1].cell;
    if (b.arity == 3) nbase[2] = f->subs[b.nrefs - 1].cell;
    result = nbase + b.arity;
    *result = chosen->cell;
  } else {
    // One push at a time, so that the stack overflows where the general
    // way's would, with the body as the current code.
    enter_code(&c.saved_code, true, body->header, f->node, f->head);
    g_stack.top = c.result + 1;
    nbase = open_call(b, b.cell);
    push(v);
    push(f->subs[b.refs - 1].cell);
    if (b.arity == 3) push(f->subs[b.nrefs - 1].cell);
    result = push(chosen->cell);
  }
  Step& l = *push_step(sp);
  l.kind = S_BLOCK;
  l.chosen = true;
  l.f = f;
  l.n = k;
  l.s = chosen;
  l.result = result;
  l.base = nbase;
  l.code = Code{chosen->cell.node(), chosen->head, chosen->len, chosen->stamp};
  // Its end puts the caller's code back at once (the body's, saved):
  // the block's own saved code is never read.
  point_code(chosen->cell.header, chosen->cell.node(), chosen->head);
  g_stack.top = result + 1;
  e = k;
  goto eval;
}

leaf:
  // The body's value, with nothing of its setup to undo: close_call's end.
  *base = v;
  if (g_steps_top == floor) return Status::OK;
  end_call(base);
  goto value;

eval: {
  // The node e pushes its value, as run_node would; the code is that of
  // the block (or chain's block) on top.
  // The block's record: the chain's is the one below it.
  const int back = sp[-1].kind == S_CHAIN ? 2 : 1;
  Code& code = sp[-back].code;
  switch (e->kind) {
    case K_CONST:
      *push_slot() = e->cell;
      code.pos++;
      goto value;
    case K_WORD: {
      if (const Cell* slot = slot_of(*e, e->cell)) [[likely]] {
        TypeId t = slot->type();
        if (t != TYPE_UNSET && t != TYPE_OP && !is_callable(t)) [[likely]] {
          *push_slot() = *slot;
          code.pos++;
          goto value;
        }
      }
      Code here = code;
      st = miss(*f, here, false);
      sp = steps_now();
      sp[-back].code = here;
      goto generic_done;
    }
    case K_PAREN: {
      code.pos++;
      const Sub& s = f->subs[e->refs - 1];
      NodeId node = s.cell.node();
      if (trace::g_trace.on || s.library || !unchanged(node, s.head, s.len, s.stamp, f->sub_cells.data() + s.cells))
          [[unlikely]] {
        st = run_sub(*f, s, false);
        sp = steps_now();
        goto generic_done;
      }
      // run_sub_here and run_block (whose frameless try finds nothing to
      // run without frames).
      Cell* result = push(s.cell);
      Step& l = *push_step(sp);
      l.kind = S_BLOCK;
      l.chosen = false;
      l.f = f;
      l.n = &f->nodes[uint32_t(s.single)];
      l.s = &s;
      l.result = result;
      l.code = Code{node, s.head, s.len, s.stamp};
      enter_code(&l.saved_code, true, s.cell.header, node, s.head);
      g_stack.top = result + 1;
      e = l.n;
      goto eval;
    }
    case K_EXPR: {
      Step& ch = *push_step(sp);
      ch.kind = S_CHAIN;
      ch.f = f;
      ch.n = e;
      ch.j = 0;
      ch.base = g_stack.top;
      ch.clean = e->kid[0]->kind == K_CONST;
      e = e->kid[0];
      goto eval;
    }
    case K_CALL:
      break;
    default:
      // Not a node the loop marks.
      fire(ErrId::NOT_DONE);
  }
  // run_call, open_call, run_argument and close_call of a stepped call.
  const Node& n = *e;
  const Cell* slot = own_slot(n);
  Cell args[STEP_ARGS];
  bool fast = slot && same_cell(*slot, n.expect);
  for (uint32_t i = 0; fast && i < n.arity; i++) {
    const Node& k = *n.kid[i];
    bool known = (n.known >> i) & 1;
    if (k.kind == K_CONST) {
      args[i] = k.cell;
    } else if (k.kind == K_WORD) {
      fast = quick_value(*f, k, &args[i]);
      known = false;
    } else if (k.flags & F_ARITH) {
      fast = arith_here(*f, k, &args[i]);
    } else {
      // tail? or pick, as run_call computes it in place.
      const Node& r = k.kind == K_EXPR ? *k.kid[0] : k;
      fast = !trace::g_trace.on && (k.kind != K_EXPR || no_operator_after(k)) && same_callee(r) &&
             direct_read(*f, r, &args[i], 0);
      known = false;
    }
    if (fast && !known) fast = func::typeset_has(f->typesets[n.typesets + i], args[i].type());
  }
  if (!fast) [[unlikely]] {
    Code here = code;
    st = run_call(*f, n, here);
    sp = steps_now();
    sp[-back].code = here;
    goto generic_done;
  }
  code.pos = n.end;
  if (g_stack.end - g_stack.top > ptrdiff_t(n.arity + n.locals) && g_stack.frame_top < g_stack.frame_end) [[likely]] {
    // The callee's copy, the frame, the arguments and the locals fit.
    Cell* at = g_stack.top;
    at[0] = n.expect;
    base = at + 1;
    stack_mark_at_unchecked(base, FRAME_FUNCTION | FRAME_INTERPRETED, n.cell.w2, n.cell.w1);
    (g_stack.frame_top - 1)->func_ctx = func::context_of(n.expect);
    if (n.arity == 1) [[likely]]
      base[0] = args[0];
    else
      for (uint32_t i = 0; i < n.arity; i++) base[i] = args[i];
    Cell* l = base + n.arity;
    for (uint32_t i = 0; i < n.locals; i++) l[i] = i ? none_cell() : logic_cell(false);
    g_stack.top = l + n.locals;
  } else {
    // One push at a time: the stack overflows where the general way's
    // would.
    push(n.expect);
    base = stack_mark(FRAME_FUNCTION | FRAME_INTERPRETED, n.cell.w2, n.cell.w1);
    (g_stack.frame_top - 1)->func_ctx = func::context_of(n.expect);
    for (uint32_t i = 0; i < n.arity; i++) *push_slot() = args[i];
    for (uint32_t i = 0; i < n.locals; i++) *push_slot() = i ? none_cell() : logic_cell(false);
  }
  const Cell& fn = n.expect;
  ctx = func::context_of(fn);
  callee = trace::g_trace.on ? nullptr : kept_callee(n);
  // The body runs in the loop when the stacks have room for what it may
  // take (see room_for): one test far from the stacks' ends, lowered by
  // the largest such room; the callee's own room nearer to them.
  if (callee && ((g_stack.top < g_stepped_cells_end && g_stack.frame_top < g_stepped_frames_end) ||
                 room_for(*callee))) [[likely]] {
    body = &n.callee_body;
    goto enter;
  }
  st = call_generic(fn, base);
  sp = steps_now();
  if (st != Status::OK) goto unwind;
  end_call(base);
  goto value;
}

generic_done:
  if (st != Status::OK) [[unlikely]]
    goto unwind;
  // fall through: the node's value is pushed.

value: {
  // A node's value is pushed; the record on top goes on with it.
  Step& t = sp[-1];
  f = t.f;
  if (t.kind == S_CHAIN) {
    if (t.j == 0) {
      t.j = 1;
      goto chain_next;
    }
    // The pending operator applies to left and the operand's value.
    const Node& op = *t.n->kid[t.j];
    TypeId src = func::op_source_type(op.expect);
    Cell* left = t.base;
    Cell out;
    // infix_apply's kernel step (op.arity is the operator's FastOp).
    if (!t.declined && !trace::g_trace.on && cell_op(op.arity, *left, left[1], &out)) [[likely]] {
      *left = out;
      g_stack.top = left + 1;
      st = Status::OK;
    } else {
      st = t.declined ? infix_call(op.expect, src, op.cell, left) : infix_apply(op.expect, src, op.cell, left);
      sp = steps_now();
    }
    if (st != Status::OK) [[unlikely]]
      goto unwind;
    Step& t2 = sp[-1];
    t2.clean = false;
    t2.j++;
    goto chain_next;
  }
  // A block's one expression is done: the rest of run_expr and run_block.
  const Node& k = *t.n;
  if (t.code.pos != k.end || k.end != t.code.end) [[unlikely]] {
    Code code = t.code;
    Cell* result = t.result;
    if (t.kind == S_CALL) {
      st = block_after(*f, k, code, result, f->expr_at.data(), uint32_t(f->expr_at.size()), t.header);
    } else {
      const Sub& s = *t.s;
      st = block_after(*f, k, code, result, &f->sub_top[s.top], s.len - s.head, s.cell.header);
    }
    sp = steps_now();
    if (st != Status::OK) goto unwind;
    sp[-1].code = code;
  }
  Step& b = sp[-1];
  if (b.kind == S_CALL) {
    leave_code(b.saved_code, b.result);
    goto body_done;
  }
  pop_step(sp);
  if (!b.chosen) {
    leave_code(b.saved_code, b.result);
    g_stack.top = b.result + 1;
    goto value;
  }
  // run_several's end: the native's frame gives the block's value, and
  // the body's end follows, which puts back the caller's code.
  Cell* nbase = b.base;
  *nbase = b.result[1];
  end_call(nbase);
  // The rest of the body's run_block: the call is its one expression,
  // so nothing follows it.
  Step& c = sp[-1];
  leave_code(c.saved_code, c.result);
  goto body_done;
}

chain_next: {
  // run_expr_node's loop from operator j.
  Step& t = sp[-1];
  Code& code = sp[-2].code;
  const Node& n = *t.n;
  Cell* left = t.base;
  f = t.f;
  while (t.j < n.count) {
    const Node& op = *n.kid[t.j];
    if (code.pos != op.start || !still_planned(code, t.clean)) [[unlikely]]
      goto chain_infix;
    const Cell* g = own_slot(op);
    if (!g) [[unlikely]]
      goto chain_infix;
    // No longer an operator: the expression ends before the word.
    if (!g->is(TYPE_OP)) [[unlikely]]
      goto chain_done;
    if (!same_cell(*g, op.expect)) [[unlikely]] {
      missed(*f);
      goto chain_infix;
    }
    code.pos++;
    const Node& r = *op.kid[0];
    Cell rv, out;
    bool declined = kernel_operand<false>(*f, r, code, &rv);
    if (declined && cell_op(op.arity, *left, rv, &out)) {
      *left = out;
      code.pos = r.end;
      t.j++;
      continue;
    }
    g_stack.top = left + 1;
    t.declined = declined;
    if (code.pos == r.start) {
      e = &r;
      goto eval;
    }
    Code here = code;
    st = chain_walked(here, left);
    sp = steps_now();
    sp[-2].code = here;
    if (st != Status::OK) goto unwind;
    goto value;
  }
  if (code.pos != n.end || (code.pos < code.end && !still_planned(code, t.clean))) [[unlikely]]
    goto chain_infix;
  goto chain_done;
chain_infix: {
  Code here = code;
  st = eval_infix(here, left);
  sp = steps_now();
  sp[-2].code = here;
  if (st != Status::OK) goto unwind;
}
chain_done:
  pop_step(sp);
  goto value;
}

body_done: {
  // The rest of run_whole and run_function, and close_call's for a call
  // made here.
  Step& c = sp[-1];
  g_forms_top = c.form_mark;
  Cell* cbase = c.base;
  if (st == Status::OK) [[likely]] {
    *cbase = *c.result;
  } else if (st == Status::RETURN || st == Status::EXIT) {
    // The signal left the value in this frame's result cell.
    g_stack.frame_top = c.frame + 1;
    g_stack.base = cbase;
    g_stack.top = cbase + 1;
    st = Status::OK;
  }
  c.frame->header &= ~FRAME_BODY;
  leave_body(c);
  pop_step(sp);
  if (g_steps_top == floor) return st;
  if (st != Status::OK) [[unlikely]]
    goto unwind;
  end_call(cbase);
  goto value;
}

unwind:
  // A status other than OK ends the records of the body it arose in, as
  // VEL_TRY returns from the node runner's calls; the body takes it.
  while (sp[-1].kind != S_CALL) pop_step(sp);
  goto body_done;
}

}  // namespace


namespace {

[[gnu::always_inline]] inline may_gc Status run_sub_here(Form& f, const Sub& s, bool chain) {
  NodeId node = s.cell.node();
  if (trace::g_trace.on || !unchanged(node, s.head, s.len, s.stamp, f.sub_cells.data() + s.cells)) [[unlikely]]
    return eval_block(s.cell, chain);
  Cell* result = push(s.cell);
  Code code{node, s.head, s.len, s.stamp};
  VEL_TRY(run_block(f, &f.sub_top[s.top], s.len - s.head, s.single, s.cell.header, result, code));
  g_stack.top = result + 1;
  if (chain) *g_stack.base = *result;
  return Status::OK;
}

[[gnu::noinline]] may_gc Status run_sub(Form& f, const Sub& s, bool chain) { return run_sub_here(f, s, chain); }

}  // namespace

may_gc Status run_form(Form& f, const Cell& block, Cell* result) {
  if (!room_for(f)) [[unlikely]]
    return walk_block(block, result, f.head, f.len);
  return run_whole(f, block.header, result);
}

may_gc Status run_body_block(const Cell& block) {
  if (platform::g_interrupt_pending.load(std::memory_order_relaxed)) [[unlikely]]
    VEL_TRY(interrupted());
  if (!trace::g_trace.on) [[likely]] {
    Form* f = form_now(block);
    if (f && room_for(*f)) [[likely]] {
      // A body of one expression that runs without frames: nothing else
      // of the block's run would be seen.
      Several found{};
      bool chosen = false;
      if (f->single >= 0) [[likely]] {
        const Node& k = f->nodes[uint32_t(f->single)];
        Cell v;
        const Sub* several;
        if (k.quick) [[likely]] {
          QuickEnd e = run_quick(*f, &f->quick[k.quick - 1], &v, &several);
          if (e == QE_DONE) [[likely]] {
            *g_stack.base = v;
            return Status::OK;
          }
          // The chosen block of several expressions goes on without
          // computing the condition again.
          if (e == QE_SEVERAL) {
            found = Several{&k, several, v, several->head};
            chosen = true;
          }
        }
      }
      Cell* result = push(block);
      uint32_t mark = enter_form(f);
      Code code{f->node, f->head, f->len, f->stamp};
      Status s = run_block(*f, f->expr_at.data(), uint32_t(f->expr_at.size()), f->single, block.header, result, code,
                           true, chosen ? &found : nullptr);
      g_forms_top = mark;
      VEL_TRY(s);
      g_stack.top = result + 1;
      *g_stack.base = *result;
      return Status::OK;
    }
  }
  return eval_block(block, true);
}

may_gc PassEnd run_passes(const Cell& block, Passes& p) {
  // while's two blocks are one program only where they are a call's
  // literal blocks compiled in place.
  if (p.cond) return PassEnd::NEVER;
  if (trace::g_trace.on) return PassEnd::BEFORE;
  Form* f = form_now(block);
  if (!f || !room_for(*f)) return PassEnd::BEFORE;
  return run_pass_program(*f, f->pass, f->expr_at.data(), f->head, f->len, p);
}

may_gc Status run_body_rest(const Cell& block, const Passes& p) {
  Form* f = trace::g_trace.on ? nullptr : form_now(block);
  if (!f) [[unlikely]]
    return rest_walked(block, p.pos);
  Cell* result = push(block);
  uint32_t mark = enter_form(f);
  Code code{f->node, p.pos, f->len, f->stamp};
  Status s = rest_of_pass(*f, f->expr_at.data(), uint32_t(f->expr_at.size()), f->single, block.header, result, code, p);
  g_forms_top = mark;
  VEL_TRY(s);
  g_stack.top = result + 1;
  *g_stack.base = *result;
  return Status::OK;
}

}  // namespace vel::interp
