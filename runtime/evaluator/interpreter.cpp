// The interpreter: blocks, expressions, infix operators, calls and argument
// fetching. Argument caches are built in args_cache.cpp, paths run in
// path.cpp.
#include "evaluator/interpreter.h"

#include <algorithm>

#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/compiled.h"
#include "evaluator/interp_detail.h"
#include "evaluator/library_bodies.h"
#include "evaluator/natives.h"
#include "evaluator/natives_control.h"
#include "evaluator/trace.h"
#include "families.h"
#include "platform/platform.h"
#include "roots.h"

namespace vel::interp {

using namespace detail;
using trace::Where;

namespace detail {
NodeId g_body_ctx = NO_BODY;
Cell* g_body_base = nullptr;
}  // namespace detail

Cell g_current_code = make_cell(TYPE_UNSET);

namespace {

// Is the cell at code.pos a word whose value is an op!? The value is
// returned through op.
bool infix_next(const Code& code, Cell* op) {
  if (code.at_end()) return false;
  Cell* c = code.cell();
  if (!c->is(TYPE_WORD) || c->w1 == 0) return false;
  NodeId ctx = c->w1;
  if (context::is_stack(ctx) && context::stack_values(ctx) < 0) return false;
  Cell* v = word_slot(*c);
  if (!v) {
    Cell w = *c;
    Cell val = word_value(w);
    if (!val.is(TYPE_OP)) return false;
    *op = val;
    return true;
  }
  if (!v->is(TYPE_OP)) return false;
  *op = *v;
  return true;
}

may_gc Status eval_push(Code& code, bool no_infix, bool passive);
may_gc Status call_prefix(const Cell& fn, const Cell& name, Code* code);

// ---------------------------------------------------------------------------
// Blocks and expressions

}  // namespace

namespace detail {

may_gc Status walk_block(const Cell& block, Cell* result, uint32_t head, uint32_t len) {
  NodeId node = block.node();
  Cell saved_code = g_current_code;
  Code code{node, head, len};
  bool track = !(node_buffer(node)->flags & BUF_LIBRARY);
  LibraryCodeScope library(!track);
  while (true) {
    // The whole cell: a signal caught inside the last expression (a loop's
    // break, a function's return) left it at the inner code.
    if (track) {
      g_current_code.header = block.header;
      g_current_code.w1 = code.pos;
      g_current_code.w2 = node;
    }
    g_stack.top = result + 1;
    VEL_TRY(eval_push(code, false, false));
    VEL_TRACE(trace::EV_EXPR, Where{code.node, TYPE_BLOCK, int32_t(code.pos)}, result + 1);
    if (code.at_end()) break;
  }
  *result = result[1];
  g_current_code = saved_code;
  return Status::OK;
}

}  // namespace detail

namespace {

// A block without a form that holds for it, or with a trace on.
[[gnu::noinline]] may_gc Status eval_block_walked(Cell block, bool chain) {
  NodeId node = block.node();
  uint32_t len = block_length(node);
  uint32_t head = block.index() < 0 ? 0 : std::min<uint32_t>(uint32_t(block.index()), len);
  // A block needs no call frame of its own (it would be an unnamed one):
  // its cell on the stack keeps it alive while it runs and then holds its
  // value; each expression's value lands just above it.
  Cell* result = push(block);
  VEL_TRACE(trace::EV_ENTER, Where{node, TYPE_BLOCK, int32_t(head)}, nullptr);
  if (head >= len) {
    *result = unset_cell();
  } else if (Form* form = trace::g_trace.on ? nullptr : form_for(node, head, len)) {
    VEL_TRY(run_form(*form, block, result));
  } else {
    VEL_TRY(walk_block(block, result, head, len));
  }
  g_stack.top = result + 1;
  VEL_TRACE(trace::EV_EXIT, Where{node, TYPE_BLOCK, int32_t(len)}, result);
  if (chain) *g_stack.base = *result;
  return Status::OK;
}

may_gc Status eval_set_word(Code& code, bool push_mode) {
  Cell sw = *code.cell();
  code.pos++;
  Cell* base = stack_mark(FRAME_NATIVE | FRAME_INTERPRETED, sw.w2, sw.w1);
  push(sw);
  VEL_TRACE(trace::EV_PUSH, Where{code.node, TYPE_BLOCK, int32_t(code.pos) - 1}, &sw);
  if (code.at_end()) fire(ErrId::NEED_VALUE, sw);
  VEL_TRY(eval_expression(code, false, true));
  Cell value = *stack_get_top();
  VEL_TRACE(trace::EV_SET, Where{code.node, TYPE_BLOCK, int32_t(code.pos)}, &value, &sw);
  assign_word(*base, value);  // the set-word, kept in the frame
  *base = value;
  if (push_mode) stack_unwind();
  else stack_unwind_last();
  return Status::OK;
}

may_gc Status eval_set_path(Code& code, bool push_mode) {
  Cell sp = *code.cell();
  code.pos++;
  VEL_TRACE(trace::EV_PUSH, Where{code.node, TYPE_BLOCK, int32_t(code.pos) - 1}, &sp);
  if (code.at_end()) fire(ErrId::NEED_VALUE, sp);
  RootedCell keep(sp);
  stack_mark(FRAME_NATIVE | FRAME_INTERPRETED, sym_exact(SymId::SET_PATH), 0);
  VEL_TRY(eval_expression(code, false, true));
  // The value to assign becomes the frame's result cell.
  Cell value = *stack_get_top();
  VEL_TRACE(trace::EV_SET, Where{code.node, TYPE_BLOCK, int32_t(code.pos)}, &value, keep.get());
  set_result(value);
  VEL_TRY(eval_path(sp, nullptr, true, false, false));
  set_result(value);
  if (push_mode) stack_unwind();
  else stack_unwind_last();
  return Status::OK;
}

// The k-th argument word of a callable's spec, as a word! (for errors).
Cell spec_arg_word(const Cell& fn, uint32_t k) {
  NodeId spec = func::spec_node(fn);
  for (uint32_t j = 0, m = node_buffer(spec)->used() >> 4, w = 0; j < m; j++) {
    Cell c = node_buffer(spec)->cells()[j];
    if ((c.is(TYPE_WORD) || c.is(TYPE_GET_WORD) || c.is(TYPE_LIT_WORD)) && w++ == k) {
      c.set_type(TYPE_WORD);
      return c;
    }
  }
  return none_cell();
}

// An operator over a native or action: the right operand is one value or
// prefix call (no infix of its own); the two operands are the call's
// cells, at the left operand's place.
[[gnu::noinline]] may_gc Status infix_native(const Cell& op, TypeId src, const Cell& name, Code& code, Cell* left) {
  g_stack.top = left + 1;
  if (!trace::g_trace.on) [[likely]] {
    // Numbers on both sides: no call at all.
    const Cell* c = code_cell(code);
    Cell right, out;
    if (c && plain_operand(c, &right) && infix_fast(op, src, *left, right, &out)) {
      code.pos++;
      *left = out;
      return Status::OK;
    }
  }
  VEL_TRACE(trace::EV_OPEN, Where{code.node, TYPE_BLOCK, int32_t(code.pos) - 1}, &name);
  if (code.at_end()) {
    Cell callee = op;
    callee.header = src;
    return fail_eval(ErrId::NO_ARG, name, spec_arg_word(callee, 1));
  }
  VEL_TRY(eval_expression(code, true, true));
  VEL_TRACE(trace::EV_CALL, trace::kNowhere, &op, &name);
  return infix_apply(op, src, name, left);
}

// The terms that are not a word or a literal.
[[gnu::noinline]] may_gc Status eval_other(Code& code, Cell v, bool passive) {
  switch (v.type()) {
    case TYPE_PAREN:
      v.set_type(TYPE_BLOCK);
      return eval_block(v, false);
    case TYPE_SET_WORD:
      code.pos--;
      return eval_set_word(code, true);
    case TYPE_SET_PATH:
      code.pos--;
      return eval_set_path(code, true);
    case TYPE_GET_WORD:
      push(word_value(v));
      return Status::OK;
    case TYPE_LIT_WORD:
      v.header = TYPE_WORD;
      push(v);
      return Status::OK;
    case TYPE_PATH:
      return eval_path(v, &code, false, false, true);
    case TYPE_GET_PATH:
      return eval_path(v, &code, false, true, true);
    case TYPE_LIT_PATH:
      v.header = TYPE_PATH;
      v.w3 = 0;
      push(v);
      return Status::OK;
    case TYPE_OP:
      fire(ErrId::NOT_DONE);
    case TYPE_NATIVE:
    case TYPE_ACTION:
    case TYPE_FUNCTION:
    case TYPE_ROUTINE:
      if (passive) {
        push(v);
        return Status::OK;
      }
      return call_prefix(v, unset_cell(), &code);
    case TYPE_ISSUE: {
      uint32_t s = symbol::resolve(v.w2);
      if (s == sym(SymId::SYSTEM) || s == sym(SymId::SYSTEM_GLOBAL)) {
        const Cell* next = code_cell(code);
        if (next && next->is(TYPE_BLOCK)) fire(ErrId::VEL_SYSTEM);
      }
      push(v);
      return Status::OK;
    }
    default:
      push(v);
      return Status::OK;
  }
}

// A word whose value the fast lookup could not give, or that names no plain
// value: unset, an op, or a callable.
[[gnu::noinline]] may_gc Status eval_word_slow(Code& code, const Cell& w, const Cell& val) {
  TypeId t = val.type();
  if (t == TYPE_UNSET) return fail_eval(ErrId::NO_VALUE, w);
  if (is_callable(t)) return call_prefix(val, w, &code);
  if (t == TYPE_OP) return fail_eval(ErrId::NO_OP_ARG, w);
  push(val);
  return Status::OK;
}

// The op! named by the word at code.pos, or false.
inline bool infix_at(const Code& code, Cell* op) {
  const Cell* c = code_cell(code);
  if (!c || !c->is(TYPE_WORD)) return false;
  if (const Cell* v = word_slot(*c)) [[likely]] {
    if (!v->is(TYPE_OP)) return false;
    *op = *v;
    return true;
  }
  return infix_next(code, op);
}

[[gnu::noinline]] may_gc Status trace_fetch(const Code& code) {
  return trace::emit(trace::EV_FETCH, Where{code.node, TYPE_BLOCK, int32_t(code.pos)}, code_cell(code));
}

may_gc Status eval_push(Code& code, bool no_infix, bool passive) {
  return eval_push_at(code, code_cell(code), no_infix, passive);
}

// ---------------------------------------------------------------------------
// Calls

// Fetches one argument by its mode and pushes it.
may_gc Status fetch_argument(const Cell& fn, const Cell& name, Code* code, uint32_t entry, func::ArgMode mode,
                             bool infix) {
  if (!code || code->at_end()) return fail_eval(ErrId::NO_ARG, call_name(name), arg_word(fn, entry));
  switch (mode) {
    case func::ARG_GET:
      push(*code->cell());
      code->pos++;
      VEL_TRACE(trace::EV_FETCH, Where{code->node, TYPE_BLOCK, int32_t(code->pos) - 1}, g_stack.top - 1);
      VEL_TRACE(trace::EV_PUSH, Where{code->node, TYPE_BLOCK, int32_t(code->pos)}, g_stack.top - 1);
      return Status::OK;
    case func::ARG_LIT: {
      Cell v = *code->cell();
      code->pos++;
      if (v.is(TYPE_PAREN)) {
        v.set_type(TYPE_BLOCK);
        stack_mark(FRAME_NATIVE, sym_exact(SymId::ANON_TAG), 0);
        VEL_TRY(eval_block(v, true));
        stack_unwind();
      } else if (v.is(TYPE_GET_WORD)) {
        push(word_value(v));
      } else if (v.is(TYPE_GET_PATH)) {
        VEL_TRY(eval_path(v, nullptr, false, true, true));
      } else {
        push(v);
      }
      VEL_TRACE(trace::EV_FETCH, Where{code->node, TYPE_BLOCK, int32_t(code->pos) - 1}, &v);
      VEL_TRACE(trace::EV_PUSH, Where{code->node, TYPE_BLOCK, int32_t(code->pos)}, g_stack.top - 1);
      return Status::OK;
    }
    default:
      return eval_expression(*code, infix, true);
  }
}

inline bool type_ok(const Cell& ts, const Cell& v) { return func::typeset_has(ts, v.type()); }

// Collects the arguments of a call into the current frame (base), then
// calls the function.
may_gc Status eval_arguments(const Cell& fn, const Cell& name, Code* code, const PathRefs* refs, bool infix,
                             Cell* base) {
  // The callable is rooted by the caller (a copy on the stack), and with
  // it its cache.
  Cell shape = args_cache(fn);
  NodeId cache = shape.node();
  uint32_t n = block_length(cache);
  bool active = true;
  uint32_t locals = 0;
  uint32_t cell_at = 0;  // frame cell of the next entry
  uint32_t first = 0;    // the first entry the general loop looks at
  if (infix) {
    g_stack.top++;  // the left operand is in place at base[0]
  } else if (shape.w3 & SHAPE_SIMPLE) {
    // The leading plain arguments, then every refinement unused; the path's
    // refinements below switch theirs on.
    uint32_t arity = shape.w3 & 0xFF;
    for (uint32_t i = 0; i < arity; i++) {
      const Cell* c = code ? code_cell(*code) : nullptr;
      if (!c) return fail_eval(ErrId::NO_ARG, call_name(name), arg_word(fn, i));
      VEL_TRY(eval_push_at(*code, c, false, false));
      if (!type_ok(node_buffer(cache)->cells()[i], g_stack.top[-1])) return expect_arg(fn, name, g_stack.top[-1], i);
    }
    if (shape.w3 & SHAPE_REFINEMENTS) push_unused_refinements(cache, arity);
    locals = (shape.w3 >> 8) & 0x7FFF;
    first = n;
  }
  for (uint32_t i = first; i < n; i++) {
    Cell e = node_buffer(cache)->cells()[i];
    if (e.is(TYPE_TYPESET)) {
      func::ArgMode mode = func::arg_mode(e);
      if (mode == func::ARG_NORMAL && active && !(infix && cell_at == 0)) [[likely]] {
        const Cell* c = code ? code_cell(*code) : nullptr;
        if (!c) return fail_eval(ErrId::NO_ARG, call_name(name), arg_word(fn, i));
        VEL_TRY(eval_push_at(*code, c, infix, false));
        if (!type_ok(e, g_stack.top[-1])) return expect_arg(fn, name, g_stack.top[-1], i);
        cell_at++;
        continue;
      }
      if (mode == func::ARG_RETURN) continue;
      if (infix && cell_at == 0) {
        if (!type_ok(e, base[0])) return expect_arg(fn, name, base[0], i);
      } else if (!active) {
        push(none_cell());
      } else if (mode == func::ARG_LIT && func::typeset_has(e, TYPE_UNSET) && (!code || code->at_end())) {
        push(unset_cell());
      } else {
        VEL_TRY(fetch_argument(fn, name, code, i, mode, infix));
        Cell* v = g_stack.top - 1;
        if (!type_ok(e, *v)) return expect_arg(fn, name, *v, i);
      }
      cell_at++;
    } else if (e.is(TYPE_REFINEMENT)) {
      push(logic_cell(false));
      active = false;
      cell_at++;
    } else if (e.is(TYPE_INTEGER)) {
      locals = e.w2;
    }
  }

  if (refs) {
    // Refinements named by the path's elements, in the order given.
    NodeId pnode = refs->path->node();
    uint32_t plen = block_length(pnode);
    for (uint32_t k = refs->first; k < plen; k++) {
      Cell el = node_buffer(pnode)->cells()[k];
      if (!el.is(TYPE_WORD) && !el.is(TYPE_GET_WORD)) fire(ErrId::BAD_REFINE, el);
      bool on = true;
      if (el.is(TYPE_GET_WORD)) {
        Cell v = word_value(el);
        if (v.is(TYPE_UNSET)) fire(ErrId::NO_VALUE, el);
        on = !(v.is(TYPE_NONE) || (v.is(TYPE_LOGIC) && v.w1 != 1));
      }
      int32_t found_slot = -1;
      int32_t found = find_refinement(cache, symbol::resolve(el.w2), &found_slot);
      if (found < 0) fire(ErrId::NO_REFINE, *refs->path, el);
      Cell* flag = base + found_slot;
      if (flag->is(TYPE_LOGIC) && flag->w1 == 1) fire(ErrId::DUP_REFINE, *refs->path);
      *flag = logic_cell(on);
      // Its arguments follow it in the cache and in the frame.
      uint32_t arg_slot = uint32_t(found_slot) + 1;
      for (uint32_t i = uint32_t(found) + 1; i < n; i++) {
        Cell e = node_buffer(cache)->cells()[i];
        if (!e.is(TYPE_TYPESET) || func::arg_mode(e) == func::ARG_RETURN) break;
        VEL_TRY(fetch_argument(fn, *refs->path, code, i, func::arg_mode(e), infix));
        Cell v = *(g_stack.top - 1);
        g_stack.top--;
        if (on) {
          if (!type_ok(e, v)) return expect_arg(fn, *refs->path, v, i);
          base[arg_slot] = v;
        }
        arg_slot++;
      }
    }
  }

  VEL_TRACE(trace::EV_CALL, trace::kNowhere, &fn, &name);
  if (locals > 0) {
    push(logic_cell(false));
    for (uint32_t i = 1; i < locals; i++) push(none_cell());
  }
  return call_body(fn, base);
}

// prolog and epilog: the body as code, the function and the word naming
// its frame.
[[gnu::noinline]] may_gc Status trace_prolog_epilog(uint32_t event, const Cell& fn, const Cell& body, uint32_t depth) {
  const CallFrame* frame = g_stack.frames + depth - 1;
  Cell name = word::make(TYPE_WORD, frame->naming_ctx, frame->symbol, -1);
  Where where = body.is(TYPE_BLOCK) ? Where{body.node(), TYPE_BLOCK, body.index()} : trace::kNowhere;
  return trace::emit(event, where, &fn, &name);
}

// The common call: named by a word or by nothing, arguments from the code,
// the result pushed in place of the callable's copy.
may_gc Status call_prefix(const Cell& fn, const Cell& name, Code* code) {
  if (trace::g_trace.on) [[unlikely]]
    return eval_call_refs(fn, name, code, true, false, nullptr);
  // The copy keeps the callable alive while it runs.
  Cell* fn_slot = push(fn);
  FrameName fname = frame_name(name);
  Cell* base;
  if (fn.is(TYPE_FUNCTION)) {
    base = stack_mark(FRAME_FUNCTION | FRAME_INTERPRETED, fname.symbol, fname.ctx);
    (g_stack.frame_top - 1)->func_ctx = func::context_of(fn);
  } else {
    base = stack_mark(FRAME_NATIVE | FRAME_INTERPRETED, fname.symbol, fname.ctx);
  }
  Cell cache = args_cache(fn);
  if (cache.w3 & SHAPE_SIMPLE) {
    // Plain arguments only: each one expression, type-checked.
    uint32_t arity = cache.w3 & 0xFF, locals = (cache.w3 >> 8) & 0x7FFF;
    for (uint32_t i = 0; i < arity; i++) {
      const Cell* c = code_cell(*code);
      if (!c) return fail_eval(ErrId::NO_ARG, call_name(name), arg_word(fn, i));
      VEL_TRY(eval_push_at(*code, c, false, false));
      if (!type_ok(node_buffer(cache.node())->cells()[i], g_stack.top[-1])) [[unlikely]]
        return expect_arg(fn, name, g_stack.top[-1], i);
    }
    if (cache.w3 & SHAPE_REFINEMENTS) push_unused_refinements(cache.node(), arity);
    if (locals > 0) {
      push(logic_cell(false));
      for (uint32_t i = 1; i < locals; i++) push(none_cell());
    }
    VEL_TRACE(trace::EV_CALL, trace::kNowhere, &fn, &name);
    VEL_TRY(call_body(fn, base));
  } else {
    VEL_TRY(eval_arguments(fn, name, code, nullptr, false, base));
  }
  stack_unwind();
  *fn_slot = *base;
  g_stack.top = base;
  VEL_TRACE(trace::EV_RETURN, trace::kNowhere, fn_slot, &name);
  return Status::OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Blocks and expressions

namespace detail {

FrameName frame_name(const Cell& name) {
  if (is_any_word(name.type())) return {name.w2, name.w1};
  // A call through a path (append/only) is named by the path's head word,
  // so that errors name the function.
  if (is_any_path(name.type()) && name.index() >= 0 &&
      uint32_t(name.index()) < block_length(name.node())) {
    Cell head = node_buffer(name.node())->cells()[name.index()];
    if (is_any_word(head.type())) return {head.w2, head.w1};
  }
  return {sym_exact(SymId::ANON_TAG), 0};
}

may_gc void assign_word(Cell w, const Cell& value) {
  w.set_type(TYPE_WORD);
  // A resolved word of a context without change handling takes the value
  // in place; watched objects (on-change*, owned series) and the rest go
  // the general way.
  Cell* slot = value.is(TYPE_UNSET) ? nullptr : word_slot(w);
  if (slot) {
    NodeId ctx = w.w1;
    if (context::kind(ctx) != context::KIND_OBJECT || context::is_stack(ctx)) {
      *slot = value;
      return;
    }
    // An object nobody watches: the global context, mostly.
    if (quiet_object_store(ctx, w.w3)) {
      *slot = value;
      return;
    }
  }
  word::set(&w, value);
}

may_gc Status infix_apply(const Cell& op, TypeId src, const Cell& name, Cell* left) {
  Cell out;
  if (infix_fast(op, src, *left, left[1], &out)) {
    *left = out;
    g_stack.top = left + 1;
    VEL_TRACE(trace::EV_RETURN, trace::kNowhere, left, &name);
    return Status::OK;
  }
  return infix_call(op, src, name, left);
}

may_gc Status infix_call(const Cell& op, TypeId src, const Cell& name, Cell* left) {
  Cell callee = op;
  callee.header = src;
  g_stack.top = left + 2;
  // The frame holds the two operands, so that errors name the operator.
  FrameName fname = frame_name(name);
  stack_mark_at(left, FRAME_NATIVE | FRAME_INTERPRETED, fname.symbol, fname.ctx);
  // Type checks against the first two argument entries.
  Cell cache = args_cache(callee);
  uint32_t k = 0;
  for (uint32_t i = 0, n = node_buffer(cache.node())->used() >> 4; i < n && k < 2; i++) {
    Cell e = node_buffer(cache.node())->cells()[i];
    if (!e.is(TYPE_TYPESET) || func::arg_mode(e) == func::ARG_RETURN) continue;
    Cell* v = left + k;
    if (!func::typeset_has(e, v->type()))
      return fail(ErrId::EXPECT_ARG, name, datatype_cell(v->type()), spec_arg_word(callee, k));
    k++;
  }
  VEL_TRY(call_body(callee, left));
  stack_unwind();
  VEL_TRACE(trace::EV_RETURN, trace::kNowhere, g_stack.top - 1, &name);
  return Status::OK;
}

// Operators after a value at `left`: no precedence, left to right.
[[gnu::noinline]] may_gc Status eval_infix(Code& code, Cell* left) {
  Cell op;
  while (infix_at(code, &op)) {
    Cell name = *code_cell(code);
    VEL_TRACE(trace::EV_FETCH, Where{code.node, TYPE_BLOCK, int32_t(code.pos)}, &name);
    code.pos++;
    // The left operand is the first argument, in place.
    TypeId src = func::op_source_type(op);
    if (src == TYPE_ACTION || src == TYPE_NATIVE) {
      VEL_TRY(infix_native(op, src, name, code, left));
      continue;
    }
    g_stack.top = left;
    // Nothing else may hold the function while its arguments run.
    RootedCell callee(*func::more_cell(op, func::MORE_OP_SOURCE));
    VEL_TRY(eval_call(*callee, name, &code, true, true));
  }
  return Status::OK;
}

// One expression from the cell c at code.pos (not at the end), its value
// pushed.
may_gc Status eval_push_at(Code& code, const Cell* c, bool no_infix, bool passive) {
  Cell* start = g_stack.top;
  if (trace::g_trace.on) [[unlikely]] {
    VEL_TRY(trace_fetch(code));
    c = code_cell(code);  // the callback may have run the collector
    if (!c) fire(ErrId::NO_ARG);
  }
  Cell v = *c;
  code.pos++;
  TypeId t = v.type();
  if (t == TYPE_WORD) {
    const Cell* slot = word_slot(v);
    Cell val = slot ? *slot : word::get_any(v);
    TypeId vt = val.type();
    if (vt == TYPE_NATIVE || vt == TYPE_ACTION || vt == TYPE_FUNCTION || vt == TYPE_ROUTINE) [[likely]] {
      VEL_TRY(call_prefix(val, v, &code));
    } else if (vt != TYPE_UNSET && vt != TYPE_OP) [[likely]] {
      *push_slot() = val;
    } else {
      VEL_TRY(eval_word_slow(code, v, val));
    }
  } else if (t == TYPE_INTEGER || t == TYPE_BLOCK || t == TYPE_FLOAT || t == TYPE_STRING || t == TYPE_LOGIC ||
             t == TYPE_NONE || t == TYPE_CHAR) {
    *push_slot() = v;
  } else {
    VEL_TRY(eval_other(code, v, passive));
  }
  if (no_infix) return Status::OK;
  // Most values are not followed by an operator word.
  const Cell* next = code_cell(code);
  if (!next || !next->is(TYPE_WORD)) [[likely]]
    return Status::OK;
  return eval_infix(code, start);
}

}  // namespace detail

may_gc Status eval_block(Cell block, bool chain) {
  // Every loop step and every block a native runs comes here: the place to
  // take a Ctrl+C that the console turned into a halt.
  if (platform::g_interrupt_pending.load(std::memory_order_relaxed)) [[unlikely]]
    VEL_TRY(interrupted());
  if (!trace::g_trace.on) [[likely]] {
    if (Form* form = valid_form(block)) [[likely]] {
      Cell* result = push(block);
      VEL_TRY(run_form(*form, block, result));
      g_stack.top = result + 1;
      if (chain) *g_stack.base = *result;
      return Status::OK;
    }
  }
  return eval_block_walked(block, chain);
}

may_gc Status eval_expression(Code& code, bool no_infix, bool push_mode, bool passive) {
  if (push_mode) return eval_push(code, no_infix, passive);
  VEL_TRY(eval_push(code, no_infix, passive));
  set_result(*(g_stack.top - 1));
  VEL_TRACE(trace::EV_EXPR, Where{code.node, TYPE_BLOCK, int32_t(code.pos)}, g_stack.base);
  return Status::OK;
}

may_gc Status eval_next(Code& code, bool push_mode) {
  LibraryCodeScope library(node_buffer(code.node)->flags & BUF_LIBRARY);
  stack_mark(FRAME_NATIVE, sym_exact(SymId::BODY_TAG), 0);
  VEL_TRY(eval_expression(code, false, push_mode));
  if (push_mode) stack_unwind();
  else stack_unwind_last();
  return Status::OK;
}

// ---------------------------------------------------------------------------
// Calls

namespace detail {

// A function! body run on the frame's cells.
may_gc Status eval_function_body(const Cell& fn, Cell* base) {
  NodeId ctx = func::context_of(fn);
  // The context's words read this call's cells; the caller's base (of an
  // outer call of the same function) comes back when the body ends.
  Cell& cc = context::cell(ctx);
  if (!(cc.header & context::STACK_VALUES)) [[unlikely]]
    fire(ErrId::INVALID_ARG);
  uint32_t saved = cc.w2;
  cc.w2 = cell_index(base);
  // Header flags: no-trace switches tracing off for the body, trace
  // switches it on while a trace runs; no-trace wins.
  uint32_t tflags = fn.header & (func::FN_TRACE | func::FN_NO_TRACE);
  struct Restore {
    NodeId ctx;
    uint32_t saved;
    uint32_t tflags;
    bool trace_on;
    ~Restore() {
      context::cell(ctx).w2 = saved;
      if (tflags) [[unlikely]] trace::g_trace.on = trace_on;
    }
  } restore{ctx, saved, tflags, trace::g_trace.on};
  BodyScope scope(ctx, base);
  if (tflags) [[unlikely]]
    trace::g_trace.on = (tflags & func::FN_NO_TRACE) ? false : trace::g_trace.run;
  CallFrame* frame = g_stack.frame_top - 1;
  uint32_t depth = frame_depth();
  frame->header |= FRAME_BODY;
  Cell body = *func::more_cell(fn, func::MORE_BODY);
  if (trace::g_trace.on) [[unlikely]] {
    Status ps = trace_prolog_epilog(trace::EV_PROLOG, fn, body, depth);
    if (ps != Status::OK) {
      (g_stack.frames + depth - 1)->header &= ~FRAME_BODY;
      return ps;
    }
  }
  Status s = Status::OK;
  const LibraryBody* cpp = nullptr;
  if ((fn.header & func::FN_NO_TRACE) && !restore.trace_on && (cpp = library_body(fn)) && valid_form(body)) {
    // The library's body in C++ (library_bodies.h), once the body is
    // compiled, and while no trace runs: with the walker alone it stays Vel.
    Cell* result = push(body);
    s = run_library_body(*cpp, base, result);
    if (s == Status::OK) {
      g_stack.top = result + 1;
      *g_stack.base = *result;
    }
  } else if (body.is(TYPE_BLOCK)) {
    s = eval_block(body, true);
  } else {
    set_last(none_cell());
  }
  if (s == Status::RETURN || s == Status::EXIT) {
    // The signal left the value in this frame's result cell; drop what the
    // body left above it.
    g_stack.frame_top = g_stack.frames + depth;
    g_stack.base = base;
    g_stack.top = base + 1;
    s = Status::OK;
  }
  if (trace::g_trace.on && s != Status::RAISED) [[unlikely]] {
    // A signal of the callback passes on in place of the body's; an error
    // ends the body without its epilog, as a thrown one does.
    Status es = trace_prolog_epilog(trace::EV_EPILOG, fn, body, depth);
    if (es != Status::OK) s = es;
  }
  (g_stack.frames + depth - 1)->header &= ~FRAME_BODY;
  return s;
}

may_gc Status call_body(const Cell& fn, Cell* base) {
  switch (fn.type()) {
    case TYPE_NATIVE: {
      NativeFn f = fn.w1 <= NATIVE_SLOTS ? g_natives[fn.w1] : nullptr;
      if (!f) fire(ErrId::NOT_DONE);
      return f(base);
    }
    case TYPE_ACTION:
      return dispatch_action(ActionId(fn.w1), base);
    case TYPE_FUNCTION:
      return eval_function_body(fn, base);
    case TYPE_ROUTINE:
      return func::call_routine(fn, base);
    default:
      fire(ErrId::NOT_DONE);
  }
}

may_gc Status eval_call_refs(const Cell& fn, const Cell& name, Code* code, bool push_mode, bool infix,
                             const PathRefs* refs) {
  if (trace::g_trace.on) [[unlikely]] {
    // Named by the word or path, or by the function value itself.
    Where where = code ? Where{code->node, TYPE_BLOCK, int32_t(code->pos) - 1} : trace::kNowhere;
    VEL_TRY(trace::emit(trace::EV_OPEN, where, name.is(TYPE_UNSET) ? &fn : &name));
  }
  // A copy of the callable stays on the stack while it runs.
  Cell* fn_slot = nullptr;
  if (!infix) fn_slot = push(fn);
  FrameName fname = frame_name(refs ? name : name);
  uint32_t kind = fn.is(TYPE_FUNCTION) ? FRAME_FUNCTION : FRAME_NATIVE;
  // In infix mode the left operand already lies at the first free cell.
  Cell* base = stack_mark(kind | FRAME_INTERPRETED, fname.symbol, fname.ctx);
  if (fn.is(TYPE_FUNCTION)) {
    (g_stack.frame_top - 1)->func_ctx = func::context_of(fn);
  }
  VEL_TRY(eval_arguments(fn, name, code, refs, infix, base));
  if (push_mode || fn_slot) stack_unwind();
  else stack_unwind_last();
  if (fn_slot) {
    // The result replaces the callable's copy.
    *fn_slot = *(g_stack.top - 1);
    g_stack.top = fn_slot + 1;
    if (!push_mode) set_result(*fn_slot);
  }
  VEL_TRACE(trace::EV_RETURN, trace::kNowhere, g_stack.top - 1, &name);
  return Status::OK;
}

}  // namespace detail

may_gc Status eval_call(const Cell& fn, const Cell& name, Code* code, bool push_mode, bool infix) {
  return eval_call_refs(fn, name, code, push_mode, infix, nullptr);
}

// Its callers are below the evaluator and take signals only.
may_gc Status call_with_frame(const Cell& fn, Cell* base) { return throw_if_error(call_body(fn, base)); }

may_gc Status call_callback(const Cell& fn_in, uint32_t name, uint32_t bit, const Cell* args, uint32_t count,
                            Cell* answer, uint32_t moved_arg, Cell* moved) {
  RootedCell fn(fn_in);
  Cell cache = args_cache(*fn);
  uint32_t saved_top = cell_index(g_stack.top);
  push(*fn);
  bool is_fn = fn->is(TYPE_FUNCTION);
  Cell* base = stack_mark((is_fn ? FRAME_FUNCTION : FRAME_NATIVE) | FRAME_INTERPRETED | func::library_frame_bit(*fn),
                          name, 0);
  if (is_fn) g_stack.frame_top[-1].func_ctx = func::context_of(*fn);
  uint32_t given = 0;
  int32_t moved_cell = -1;
  bool refinements = false;
  Buffer* cb = node_buffer(cache.node());
  for (uint32_t i = 0, n = cb->used() >> 4; i < n; i++) {
    const Cell& e = cb->cells()[i];
    if (e.is(TYPE_TYPESET) && func::arg_mode(e) != func::ARG_RETURN) {
      if (!refinements && given < count) {
        if (moved && given == moved_arg) moved_cell = int32_t(g_stack.top - base);
        push(args[given++]);
      } else {
        push(none_cell());
      }
    } else if (e.is(TYPE_REFINEMENT)) {
      refinements = true;
      push(logic_cell(false));
    } else if (e.is(TYPE_INTEGER)) {
      func::init_locals(int32_t(e.w2));
    }
  }
  Status s;
  {
    trace::CallbackScope scope(bit);
    s = call_body(*fn, base);
  }
  // Callbacks' callers take signals only.
  s = throw_if_error(s);
  *answer = *base;
  if (moved_cell >= 0) *moved = base[moved_cell];
  stack_unwind();
  g_stack.top = g_stack.begin + saved_top;
  return s;
}

void interpreter_init() {
  g_current_code = unset_cell();
  register_root("interpreter: current code", &g_current_code, 1);
  trace::trace_init();
  forms_init();
}

}  // namespace vel::interp
