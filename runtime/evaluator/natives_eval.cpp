// Natives for functions, words and evaluation.
#include "evaluator/natives_eval.h"

#include <algorithm>
#include <iterator>

#include "action_frames.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/ownership.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/trace.h"
#include "families.h"
#include "frame.h"
#include "native_frames.h"
#include "roots.h"
#include "series_ops.h"

namespace vel {


namespace {

using interp::Code;

inline uint32_t blen(NodeId n) { return node_buffer(n)->used() >> 4; }
inline Cell cell_at(NodeId n, uint32_t i) { return node_buffer(n)->cells()[i]; }
// The index clamped to [0, length].
inline Cell clamped(Cell b) {
  uint32_t len = blen(b.node());
  if (b.index() < 0) b.w1 = 0;
  else if (uint32_t(b.index()) > len) b.w1 = len;
  return b;
}
// The values whose elements set and reduce take one by one.
inline bool is_block_or_map(TypeId t) { return is_any_block(t) || t == TYPE_MAP; }

// The type checks of the natives' specs, repeated where a wrong value would
// be read as a series: callers from C++ pass frames unchecked.
inline void need_block(const Cell& v) {
  if (!is_any_block(v.type())) fire(ErrId::INVALID_ARG, v);
}
inline void need_word(const Cell& v) {
  if (!is_any_word(v.type())) fire(ErrId::INVALID_ARG, v);
}

// A value evaluated as a one-value expression: the value's own cell is the
// whole code, so a function a word refers to gets no arguments.
may_gc Status eval_one_value(const Cell& v, bool push_mode, bool passive) {
  Cell copy = v;
  RootedNode code_block(alloc_cells(1));
  *alloc_tail(code_block) = copy;
  Code code{code_block, 0, 1};
  return interp::eval_expression(code, false, push_mode, passive);
}

// Pops the value an evaluation in push mode left on top.
inline Cell pop_value() { return *--g_stack.top; }

// The value cell of a word, without raising: null when the word is unbound
// or its context has no such value now.
Cell* peek_word(const Cell& w) {
  if (!w.w1) return nullptr;
  if (w.i3() < 0) return w.w2 == sym_exact(SymId::SELF) ? &context::owner(w.w1) : nullptr;
  return context::value_at(w.w1, uint32_t(w.i3()));
}

// Where values built by reduce and compose go: a new block, or an /into
// target, appended at its tail when it was at its tail, else inserted at
// its position (which advances past each value).
class Collector {
 public:
  may_gc Collector(const Cell* into, uint32_t room) {
    if (into) {
      need_block(*into);
      *target_ = clamped(*into);
      into_ = true;
      start_len_ = blen(target_->node());
      append_ = uint32_t(target_->index()) >= start_len_;
    } else {
      *target_ = block::make_at(room);
    }
    *cursor_ = *target_;
  }

  may_gc void add(const Cell& v) {
    if (append_) {
      if (cursor_->is(TYPE_HASH)) {
        cursor_->w1 = blen(cursor_->node());
        block::insert_value(cursor_.get(), v, true, false);
      } else {
        block::rs_append(cursor_->node(), v);
      }
    } else {
      block::insert_value(cursor_.get(), v, true, false);
    }
    added_++;
  }

  // Adds the cells of a block from its index.
  may_gc void add_all(const Cell& blk) {
    RootedCell src(clamped(blk));
    // Splicing a block into itself reads a copy.
    if (src->node() == cursor_->node()) *src = block::clone(*src, false, false);
    for (uint32_t i = uint32_t(src->index()); i < blen(src->node()); i++) add(cell_at(src->node(), i));
  }

  // The new block; the target when appending; the target just past the
  // values when inserting.
  Cell result() { return append_ ? *target_ : *cursor_; }
  Cell target() { return *target_; }
  bool into() const { return into_; }
  bool appended() const { return append_; }
  int32_t start_len() const { return int32_t(start_len_); }
  int32_t added() const { return added_; }

 private:
  RootedCell target_;
  RootedCell cursor_;
  bool into_ = false;
  bool append_ = true;
  uint32_t start_len_ = 0;
  int32_t added_ = 0;
};

// --- making functions ---------------------------------------------------------------

// function, does and has fill in func's frame and call it.
Status native_func(Cell* base) {
  using enum nat::func::Frame;
  need_block(base[SPEC]);
  need_block(base[BODY]);
  base[SPEC] = clamped(base[SPEC]);
  base[BODY] = clamped(base[BODY]);
  uint32_t flags = func::check_spec(base[SPEC]);
  func::function_push(base[SPEC], base[BODY], 0, 0, nullptr, flags);
  base[RESULT] = g_stack.top[-1];
  return Status::OK;
}

// Only an /extern written in the spec counts.
Status native_function(Cell* base) {
  using enum nat::function::Frame;
  static_assert(int(SPEC) == nat::func::SPEC && int(BODY) == nat::func::BODY);
  need_block(base[SPEC]);
  Cell spec = block::clone(clamped(base[SPEC]), false, false);
  spec.header = TYPE_BLOCK;
  base[SPEC] = spec;
  func::collect_locals(base[SPEC], base[BODY]);
  return native_func(base);
}

Status native_does(Cell* base) {
  using enum nat::does::Frame;
  // The body moves up one cell, to func's; the spec takes its place.
  static_assert(int(BODY) == nat::func::SPEC && int(BODY) + 1 == nat::func::BODY);
  g_stack.top = base + 1;
  push(base[BODY]);
  base[nat::func::SPEC] = block::make_at(1);
  return native_func(base);
}

// The variables become the spec's /local words.
Status native_has(Cell* base) {
  using enum nat::has::Frame;
  static_assert(int(VARS) == nat::func::SPEC && int(BODY) == nat::func::BODY);
  need_block(base[VARS]);
  Cell vars = block::clone(clamped(base[VARS]), false, false);
  vars.header = TYPE_BLOCK;
  base[VARS] = vars;
  block::insert_value(&base[VARS], refinement_cell(SymId::LOCAL), false, true);
  return native_func(base);
}

// --- do ------------------------------------------------------------------------------

// A block evaluated whole, or one expression of it with next (the position
// word then takes the block after that expression).
may_gc Status do_block(Cell* base, Cell blk, bool next, const Cell& position) {
  blk = clamped(blk);
  if (!next) return interp::eval_block(blk, true);
  need_word(position);
  RootedCell keep(blk);
  Code code{blk.node(), uint32_t(blk.index()), blen(blk.node())};
  if (code.at_end()) set_last(unset_cell());
  else VEL_TRY(interp::eval_next(code, false));
  Cell after = *keep;
  after.w1 = code.pos;
  Cell w = position;
  context::set(&w, after);
  return Status::OK;
}

// do/expand: the library's preprocessor rewrites the block in place first,
// with no job.
may_gc Status expand_block(const Cell& blk) {
  RootedCell block(blk);
  Cell w = context::add_global(symbol::make("preprocessor"));
  Cell obj = word::get_any(w);
  Cell* fn = obj.is(TYPE_OBJECT) ? context::word_value_cell(obj.w1, symbol::make("expand")) : nullptr;
  if (!fn || !is_callable(fn->type())) fire(ErrId::NO_VALUE, w);
  RootedCell expand(*fn);
  Cell args[2] = {*block, none_cell()};
  RootedCell answer;
  return interp::call_callback(*expand, symbol::make("expand"), 0, args, 2, answer.get());
}

// A file or url goes to the library's do-file, called as a function named
// do-file: the value as its first argument, and the value of /args either
// through an /args refinement of do-file or as its third argument
// (do-file file callback do-args); every other cell as a call without
// refinements has it.
may_gc Status do_file(Cell* base, bool args_used, const Cell& arg) {
  uint32_t name = symbol::make("do-file");
  uint32_t args_sym = symbol::resolve(symbol::make("args"));
  Cell w = context::add_global(name);
  RootedCell fn(word::get_any(w));
  if (!is_callable(fn->type())) fire(ErrId::NO_VALUE, w);
  RootedCell cache(interp::arguments_cache(*fn));
  push(*fn);
  // do-file is the inside of the user's do, as library code is: reports
  // leave its call out.
  Cell* fbase = stack_mark((fn->is(TYPE_FUNCTION) ? FRAME_FUNCTION : FRAME_NATIVE) | FRAME_INTERPRETED | FRAME_LIBRARY,
                           name, context::g_global);
  if (fn->is(TYPE_FUNCTION)) g_stack.frame_top[-1].func_ctx = func::context_of(*fn);
  int32_t locals = 0;
  int32_t flag_at = -1, arg_at = -1, third_at = -1, positional = 0;
  bool after_args = false, in_refinements = false;
  for (uint32_t i = 0; i < blen(cache->node()); i++) {
    Cell e = cell_at(cache->node(), i);
    if (e.is(TYPE_INTEGER)) {
      locals = e.i2();
    } else if (e.is(TYPE_REFINEMENT)) {
      in_refinements = true;
      after_args = flag_at < 0 && symbol::resolve(e.w2) == args_sym;
      if (after_args) flag_at = int32_t(g_stack.top - fbase);
      push(logic_cell(false));
    } else if (func::arg_mode(e) != func::ARG_RETURN) {
      if (after_args) arg_at = int32_t(g_stack.top - fbase);
      if (!in_refinements && ++positional == 3) third_at = int32_t(g_stack.top - fbase);
      after_args = false;
      push(none_cell());
    }
  }
  func::init_locals(locals);
  if (g_stack.top == fbase) push(none_cell());
  fbase[FIRST] = base[nat::do_::VALUE];  // do-file's first argument
  if (args_used && flag_at >= 0) {
    fbase[flag_at] = logic_cell(true);
    if (arg_at >= 0) fbase[arg_at] = arg;
  } else if (args_used && third_at >= 0) {
    fbase[third_at] = arg;  // do-file file callback do-args
  }
  VEL_TRY(interp::call_with_frame(*fn, fbase));
  Cell r = *fbase;
  stack_unwind();
  set_result(r);
  return Status::OK;
}

Status do_value(Cell* base);

// do/trace: unless a trace already runs, the callback receives the events
// of this evaluation, from init to end.
Status do_traced(Cell* base) {
  bool started = false;
  StackMark mark = stack_save();
  Status s;
  try {
    s = trace::start(base[nat::do_::CALLBACK_], &started);
    if (s == Status::OK) s = throw_if_error(do_value(base));
  } catch (const VelError&) {
    if (started) {
      // end is reported before the error passes on; an error of the
      // callback replaces it.
      stack_restore(mark);
      Status e = trace::finish();
      (void)e;
    }
    throw;
  }
  if (!started) return s;
  // A signal of the evaluation wins over one of the end callback.
  Status e = trace::finish();
  return s != Status::OK ? s : e;
}

Status native_do(Cell* base) {
  if (used(base[nat::do_::TRACE])) return do_traced(base);
  return do_value(base);
}

Status do_value(Cell* base) {
  bool next = used(base[nat::do_::NEXT]);
  RootedCell v(base[nat::do_::VALUE]);
  switch (v->type()) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH:
      if (used(base[nat::do_::EXPAND])) {
        *v = clamped(*v);
        VEL_TRY(expand_block(*v));
      }
      return do_block(base, *v, next, base[nat::do_::POSITION]);
    case TYPE_PATH:
      return interp::eval_path(*v, nullptr, false, false, false);
    case TYPE_STRING: {
      RootedCell blk(call_action(act::to::SHAPE, {{act::to::TYPE, datatype_cell(TYPE_BLOCK)}, {act::to::SPEC, *v}}));
      if (used(base[nat::do_::EXPAND])) VEL_TRY(expand_block(*blk));
      return do_block(base, *blk, next, base[nat::do_::POSITION]);
    }
    case TYPE_FILE:
    case TYPE_URL:
      return do_file(base, used(base[nat::do_::ARGS]), base[nat::do_::ARG]);
    case TYPE_ERROR:
      return error::fail_raise(*v);
    default:
      return eval_one_value(*v, false, true);
  }
}

// --- words ------------------------------------------------------------------------------

Status native_get(Cell* base) {
  using enum nat::get::Frame;
  Cell v = base[WORD];
  TypeId t = v.type();
  if (is_any_path(t)) return interp::eval_path(v, nullptr, false, true, false, used(base[CASE]));
  if (t == TYPE_OBJECT) {
    base[RESULT] = call_action(act::reflect::SHAPE,
                               {{act::reflect::VALUE, v}, {act::reflect::FIELD, runtime_word(SymId::VALUES)}});
    return Status::OK;
  }
  if (!is_any_word(t)) fire(ErrId::INVALID_ARG, v);
  Cell r = *context::get(v);
  if (r.is(TYPE_UNSET) && !used(base[ANY])) return fail(ErrId::NO_VALUE, v);
  base[RESULT] = r;
  return Status::OK;
}

Status native_set(Cell* base) {
  using enum nat::set::Frame;
  Cell w = base[WORD];
  Cell v = base[VALUE];
  bool any = used(base[ANY]), only = used(base[ONLY]), some = used(base[SOME]);
  if (!any && v.is(TYPE_UNSET)) return fail(ErrId::NEED_VALUE, w);
  TypeId t = w.type();
  if (t == TYPE_BLOCK) {
    set_many_words(w, v, any, only, some);
  } else if (is_any_path(t)) {
    // A set-path takes its value from the frame's result cell.
    base[RESULT] = v;
    VEL_TRY(interp::eval_path(w, nullptr, true, false, false, used(base[CASE])));
  } else if (t == TYPE_OBJECT) {
    object::set_many(w, v, any, only, some);
  } else if (is_any_word(t)) {
    context::set(&w, v);
  } else {
    fire(ErrId::INVALID_ARG, w);
  }
  set_result(v);
  return Status::OK;
}

Status native_unset(Cell* base) {
  using enum nat::unset::Frame;
  Cell v = base[WORD];
  if (v.is(TYPE_BLOCK)) {
    RootedCell blk(clamped(v));
    for (uint32_t i = uint32_t(blk->index()); i < blen(blk->node()); i++) {
      Cell w = cell_at(blk->node(), i);
      if (w.is(TYPE_WORD)) context::set(&w, unset_cell());
    }
  } else if (is_any_word(v.type())) {
    context::set(&v, unset_cell());
  }
  base[RESULT] = unset_cell();
  return Status::OK;
}

Status native_value_q(Cell* base) {
  using enum nat::value_q::Frame;
  const Cell& v = base[VALUE];
  bool r;
  if (is_word_form(v.type())) {
    Cell* slot = peek_word(v);
    r = slot && !slot->is(TYPE_UNSET);
  } else {
    r = !v.is(TYPE_UNSET);
  }
  base[RESULT] = logic_cell(r);
  return Status::OK;
}

// The owner of the word's context, unset when none was
// ever recorded.
Status native_context_q(Cell* base) {
  using enum nat::context_q::Frame;
  NodeId ctx = is_any_word(base[WORD].type()) ? base[WORD].w1 : 0;
  base[RESULT] = ctx ? context::owner(ctx) : unset_cell();
  return Status::OK;
}

Status native_in(Cell* base) {
  using enum nat::in::Frame;
  Cell o = base[OBJECT], w = base[WORD];
  need_word(w);
  TypeId t = o.type();
  if (is_any_object(t)) {
    if (context::bind_word(o.w1, &w) < 0) {
      base[RESULT] = none_cell();
      return Status::OK;
    }
    if (w.is(TYPE_REFINEMENT)) w.set_type(TYPE_WORD);
    base[RESULT] = w;
  } else if (is_any_function(t)) {
    base[RESULT] = func::bind_in_function(o, w);
  } else {
    fire(ErrId::INVALID_ARG, o);
  }
  return Status::OK;
}

Status native_bind(Cell* base) {
  using enum nat::bind::Frame;
  Cell target = base[CONTEXT];
  TypeId tt = target.type();
  NodeId ctx = 0;
  bool self = false;
  if (is_any_word(tt)) {
    ctx = target.w1;
  } else if (is_any_object(tt)) {
    ctx = target.w1;
    self = tt == TYPE_OBJECT;
  } else if (func::function_context(target)) {
    ctx = func::function_context(target);
  } else {
    fire(ErrId::INVALID_ARG, target);
  }
  if (!ctx) fire(ErrId::NOT_IN_CONTEXT, target);
  Cell v = base[WORD];
  if (is_any_block(v.type())) {
    if (used(base[COPY])) {
      v = block::clone(clamped(v), true, true);
      base[RESULT] = v;
    }
    context::bind(v, ctx, self);
  } else if (is_any_word(v.type())) {
    // A single word is found by its exact spelling.
    int32_t index = context::find_word(ctx, v.w2, false);
    if (index >= 0) {
      v.w1 = ctx;
      v.w3 = uint32_t(index);
    }
    base[RESULT] = v;
  } else {
    fire(ErrId::INVALID_ARG, v);
  }
  return Status::OK;
}

// --- reduce and compose ------------------------------------------------------------------

Status native_reduce(Cell* base) {
  using enum nat::reduce::Frame;
  Cell v = base[VALUE];
  bool into = used(base[INTO]);
  if (is_any_function(v.type())) {
    // Function values are values here: never called.
    if (into) {
      Collector out(&base[OUT_], 0);
      out.add(v);
      base[RESULT] = out.result();
    }
    return Status::OK;
  }
  if (!v.is(TYPE_BLOCK)) {
    VEL_TRY(eval_one_value(v, true, false));
    Cell r = pop_value();
    if (!into) {
      base[RESULT] = r;
      return Status::OK;
    }
    Collector out(&base[OUT_], 0);
    out.add(r);
    base[RESULT] = out.result();
    return Status::OK;
  }
  Cell blk = clamped(v);
  Code code{blk.node(), uint32_t(blk.index()), blen(blk.node())};
  Collector out(into ? &base[OUT_] : nullptr, code.end - code.pos);
  while (!code.at_end()) {
    VEL_TRY(interp::eval_next(code, true));
    Cell r = pop_value();
    r.clear_new_line();
    out.add(r);
  }
  // One report to an owner of the target for everything appended.
  if (out.into() && out.appended() && out.added() > 0)
    (void)report_change(out.target(), ChangeWord::INSERT, base[VALUE], out.start_len(), out.added());
  base[RESULT] = out.result();
  return Status::OK;
}

may_gc Status compose_into(const Cell& blk_in, bool deep, bool only, Collector& out) {
  WalkDepth depth;
  RootedCell blk(clamped(blk_in));
  for (uint32_t i = uint32_t(blk->index()); i < blen(blk->node()); i++) {
    Cell c = cell_at(blk->node(), i);
    if (c.is(TYPE_BLOCK)) {
      if (!deep) {
        out.add(c);
        continue;
      }
      Cell nested = clamped(c);
      Collector inner(nullptr, blen(nested.node()) - uint32_t(nested.index()));
      VEL_TRY(compose_into(nested, deep, only, inner));
      Cell r = inner.result();
      r.header = TYPE_BLOCK | (c.header & CELL_NEW_LINE);
      out.add(r);
    } else if (c.is(TYPE_PAREN)) {
      Cell code = clamped(c);
      if (uint32_t(code.index()) >= blen(code.node())) continue;
      code.set_type(TYPE_BLOCK);
      VEL_TRY(interp::eval_block(code, false));
      RootedCell r(pop_value());
      if (r->is(TYPE_UNSET)) continue;
      if (r->is(TYPE_BLOCK) && !only) out.add_all(*r);
      else out.add(*r);
    } else {
      out.add(c);
    }
  }
  return Status::OK;
}

Status native_compose(Cell* base) {
  using enum nat::compose::Frame;
  Cell v = base[VALUE];
  if (!v.is(TYPE_BLOCK)) fire(ErrId::EXPECT_VAL, datatype_cell(TYPE_BLOCK), datatype_cell(v.type()));
  Cell blk = clamped(v);
  Collector out(used(base[INTO]) ? &base[OUT_] : nullptr, blen(blk.node()) - uint32_t(blk.index()));
  VEL_TRY(compose_into(blk, used(base[DEEP]), used(base[ONLY]), out));
  base[RESULT] = out.result();
  return Status::OK;
}

// --- apply --------------------------------------------------------------------------------

// The spec word of argument-cache entry `entry` (for errors): entries
// follow the spec's words, refinements and return: in order.
Cell entry_word(const Cell& fn, uint32_t entry) {
  NodeId spec = func::spec_node(fn);
  uint32_t k = 0;
  for (uint32_t i = 0; i < blen(spec); i++) {
    Cell c = cell_at(spec, i);
    TypeId t = c.type();
    if (is_word_form(t) || t == TYPE_REFINEMENT) {
      if (k++ == entry) return make_cell(TYPE_WORD, c.w1, c.w2, c.w3);
    }
  }
  return none_cell();
}

struct ApplyCall {
  Cell fn;       // the callable, kept on the stack below the frame
  Cell name;     // the word naming the call, or <applied>
  Cell path;     // none, or the path whose elements are refinements
  uint32_t first_ref;
  bool all;
  bool safer;
};

// One argument of the args block, by the argument's mode. With safer an
// expression is exactly one value.
may_gc Status apply_fetch(Code& code, func::ArgMode mode, const ApplyCall& a, uint32_t entry) {
  if (code.at_end()) fire(ErrId::NO_ARG, a.name, entry_word(a.fn, entry));
  Cell v = *code.cell();
  switch (mode) {
    case func::ARG_GET:
      code.pos++;
      push(v);
      return Status::OK;
    case func::ARG_LIT:
      code.pos++;
      if (v.is(TYPE_PAREN)) {
        v.set_type(TYPE_BLOCK);
        return interp::eval_block(v, false);
      }
      if (v.is(TYPE_GET_WORD)) push(word::get_any(v));
      else if (v.is(TYPE_GET_PATH)) return interp::eval_path(v, nullptr, false, true, true);
      else push(v);
      return Status::OK;
    default:
      if (!a.safer) return interp::eval_expression(code, false, true);
      Code one{code.node, code.pos, code.pos + 1};
      VEL_TRY(interp::eval_expression(one, true, true));
      code.pos++;
      return Status::OK;
  }
}

inline void check_arg_type(const ApplyCall& a, const Cell& entry, const Cell& v, uint32_t i) {
  if (!func::typeset_has(entry, v.type()))
    fire(ErrId::EXPECT_ARG, a.name, datatype_cell(v.type()), entry_word(a.fn, i));
}

// Collects the frame's cells from the args block (and the path's
// refinements), as the interpreter's apply modes describe.
may_gc Status apply_arguments(const ApplyCall& a, Code& code, Cell* fbase) {
  RootedCell cache(interp::arguments_cache(a.fn));
  NodeId cn = cache->node();
  uint32_t n = blen(cn);
  bool has_path = !a.path.is(TYPE_NONE);
  bool active = true, has_refinements = false;
  int32_t locals = 0;

  // Every entry in order: arguments, refinement flags and their arguments.
  for (uint32_t i = 0; i < n; i++) {
    Cell e = cell_at(cn, i);
    if (e.is(TYPE_TYPESET)) {
      func::ArgMode mode = func::arg_mode(e);
      if (mode == func::ARG_RETURN) continue;
      if (active) {
        if (code.at_end()) {
          push(none_cell());
        } else {
          VEL_TRY(apply_fetch(code, mode, a, i));
          check_arg_type(a, e, g_stack.top[-1], i);
        }
      } else {
        push(none_cell());
        // apply/all still consumes an inactive refinement's arguments.
        if (a.all && !has_path && !code.at_end()) {
          if (a.safer) {
            code.pos++;
          } else {
            VEL_TRY(apply_fetch(code, mode, a, i));
            g_stack.top--;
          }
        }
      }
    } else if (e.is(TYPE_REFINEMENT)) {
      has_refinements = true;
      if (a.all && !has_path && !code.at_end()) {
        VEL_TRY(apply_fetch(code, func::ARG_NORMAL, a, i));
        Cell flag = g_stack.top[-1];
        if (!flag.is(TYPE_LOGIC)) fire(ErrId::EXPECT_ARG, a.name, datatype_cell(flag.type()), entry_word(a.fn, i));
        active = flag.w1 != 0;
      } else {
        push(logic_cell(false));
        active = false;
      }
    } else if (e.is(TYPE_INTEGER)) {
      locals = e.i2();
    }
  }

  // Refinements by name: the path's elements, or in the plain mode the
  // rest of the block (each refinement, its truth, then its arguments).
  if (has_path || !a.all) {
    uint32_t k = a.first_ref;
    NodeId pnode = has_path ? a.path.node() : 0;
    while (true) {
      Cell el;
      if (has_path) {
        if (k >= blen(pnode)) break;
        el = cell_at(pnode, k++);
      } else {
        if (code.at_end()) break;
        el = *code.cell();
      }
      TypeId want = has_path ? TYPE_WORD : TYPE_REFINEMENT;
      if (!el.is(want) && !el.is(TYPE_GET_WORD)) {
        if (!has_refinements) break;
        fire(ErrId::BAD_REFINE, el);
      }
      bool on = true;
      if (!has_path) {
        code.pos++;
        if (code.at_end()) {
          on = false;
        } else {
          VEL_TRY(interp::eval_expression(code, false, true));
          on = logic_true_value_q(pop_value(), true, el);
        }
      } else if (el.is(TYPE_GET_WORD)) {
        on = logic_true_value_q(word::get_any(el), true, el);
      }
      // The refinement's entry and its frame cell.
      uint32_t slot = 0, found = n;
      uint32_t canonical = symbol::resolve(el.w2);
      for (uint32_t i = 0; i < n; i++) {
        Cell e = cell_at(cn, i);
        if (e.is(TYPE_INTEGER) || (e.is(TYPE_TYPESET) && func::arg_mode(e) == func::ARG_RETURN)) continue;
        if (e.is(TYPE_REFINEMENT) &&
            (el.is(TYPE_GET_WORD) ? e.w2 == el.w2 : symbol::resolve(e.w2) == canonical)) {
          found = i;
          break;
        }
        slot++;
      }
      if (found == n) fire(ErrId::NO_REFINE, a.name, el);
      if (fbase[slot].is(TYPE_LOGIC) && fbase[slot].w1) fire(ErrId::DUP_REFINE, a.path);
      fbase[slot] = logic_cell(on);
      uint32_t arg_slot = slot + 1;
      for (uint32_t i = found + 1; i < n; i++, arg_slot++) {
        Cell e = cell_at(cn, i);
        if (!e.is(TYPE_TYPESET) || func::arg_mode(e) == func::ARG_RETURN) break;
        // A refinement left without its truth at the end takes nothing.
        if (!on && code.at_end()) continue;
        if (a.safer && !on) {
          code.pos++;
          continue;
        }
        VEL_TRY(apply_fetch(code, func::arg_mode(e), a, i));
        Cell v = pop_value();
        if (on) {
          check_arg_type(a, e, v, i);
          fbase[arg_slot] = v;
        }
      }
    }
  }
  func::init_locals(locals);
  return Status::OK;
}

Status native_apply(Cell* base) {
  using enum nat::apply::Frame;
  ApplyCall a{};
  a.path = none_cell();
  a.all = used(base[ALL]);
  a.safer = used(base[SAFER]);
  Cell f = base[FUNC];
  Cell fn;
  if (is_any_word(f.type())) {
    a.name = f;
    fn = word::get_any(f);
  } else if (is_any_path(f.type())) {
    Cell p = clamped(f);
    if (uint32_t(p.index()) >= blen(p.node()) || !cell_at(p.node(), uint32_t(p.index())).is(TYPE_WORD))
      fire(ErrId::INVALID_ARG, f);
    a.name = cell_at(p.node(), uint32_t(p.index()));
    a.path = p;
    a.first_ref = uint32_t(p.index()) + 1;
    fn = word::get_any(a.name);
  } else {
    a.name = runtime_word(SymId::APPLIED_TAG);
    fn = f;
  }
  if (!is_any_function(fn.type())) fire(ErrId::INVALID_ARG, f);
  if (fn.is(TYPE_OP)) {
    TypeId src = func::op_source_type(fn);
    if (src == TYPE_FUNCTION || src == TYPE_ROUTINE) fn = *func::more_cell(fn, func::MORE_OP_SOURCE);
    else fn.header = src;
  }
  need_block(base[ARGS]);
  a.fn = fn;
  RootedCell keep_name(a.name);
  RootedCell keep_path(a.path);
  Cell args = clamped(base[ARGS]);
  Code code{args.node(), uint32_t(args.index()), blen(args.node())};

  push(fn);
  bool is_fn = fn.is(TYPE_FUNCTION);
  Cell* fbase = stack_mark((is_fn ? FRAME_FUNCTION : FRAME_NATIVE) | FRAME_INTERPRETED, a.name.w2, a.name.w1);
  if (is_fn) g_stack.frame_top[-1].func_ctx = func::context_of(fn);
  VEL_TRY(apply_arguments(a, code, fbase));
  VEL_TRY(interp::call_with_frame(fn, fbase));
  Cell r = *fbase;
  stack_unwind();
  set_result(r);
  return Status::OK;
}

constexpr NativeEntry kEvalNatives[] = {
    {NAT_FUNC, native_func},
    {NAT_FUNCTION, native_function},
    {NAT_DOES, native_does},
    {NAT_HAS, native_has},
    {NAT_DO, native_do},
    {NAT_GET, native_get},
    {NAT_SET, native_set},
    {NAT_REDUCE, native_reduce},
    {NAT_COMPOSE, native_compose},
    {NAT_BIND, native_bind},
    {NAT_IN, native_in},
    {NAT_VALUE_Q, native_value_q},
    {NAT_UNSET, native_unset},
    {NAT_CONTEXT_Q, native_context_q},
    {NAT_APPLY, native_apply},
};

}  // namespace

// ---------------------------------------------------------------------------

may_gc void set_many_words(const Cell& words_in, const Cell& value_in, bool any, bool only, bool some) {
  need_block(words_in);
  RootedCell words(clamped(words_in));
  RootedCell value(value_in);
  uint32_t start = uint32_t(words->index());
  uint32_t count = blen(words->node()) - start;
  bool spread = is_block_or_map(value->type()) && !only;

  auto word_i = [&](uint32_t i) {
    Cell w = i + start < blen(words->node()) ? cell_at(words->node(), start + i) : none_cell();
    if (!is_word_form(w.type())) fire(ErrId::INVALID_ARG, w);
    return w;
  };
  // The i-th element of a block-like value; none past its tail.
  auto value_i = [&](uint32_t i) -> Cell {
    if (value->is(TYPE_MAP))
      return call_action(act::pick::SHAPE,
                         {{act::pick::SERIES, *value}, {act::pick::INDEX, integer_cell(int32_t(i + 1))}});
    uint32_t at = uint32_t(series_index(*value)) + i;
    return at < blen(value->node()) ? cell_at(value->node(), at) : none_cell();
  };

  if (spread) {
    for (uint32_t i = 0; i < count; i++) {
      Cell w = word_i(i);
      if (!any && value_i(i).is(TYPE_UNSET)) fire(ErrId::NEED_VALUE, w);
    }
  }
  for (uint32_t i = 0; i < count; i++) {
    Cell w = word_i(i);
    Cell v = spread ? value_i(i) : *value;
    if (some && v.is(TYPE_NONE)) continue;
    context::set(&w, v);
  }
}

void register_natives_eval() { register_natives(kEvalNatives, std::size(kEvalNatives)); }

}  // namespace vel
