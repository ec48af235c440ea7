// object!: making, construct, set, the change handlers, path access,
// select/put/modify, reflect, copy, compare, form and mold.
#include "datatypes/object.h"

#include <algorithm>
#include <iterator>

#include "action_frames.h"
#include "cycle.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "eval.h"
#include "datatypes/function.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/ownership.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "native_frames.h"
#include "natives_table.h"
#include "roots.h"
#include "series_ops.h"

namespace vel::object {

namespace {

uint32_t g_class_counter = CLASS_BASE;



inline uint32_t field_count(const Cell& o) { return context::value_count(o.w1); }
inline Cell field(const Cell& o, uint32_t i) { return *context::value_at(o.w1, i); }
inline Cell field_word(const Cell& o, uint32_t i) {
  Cell w = context::word_of(o.w1, i);
  w.header = TYPE_WORD;
  return w;
}

// Writes the object into its context's owner cell (what `self` yields).
inline void publish(const Cell& o) { context::owner(o.w1) = o; }

// The argument stack cells of a function value's frame: args first, then
// refinements off and locals, as its argument cache lays them out.
may_gc void call_handler(const Cell& fn_in, SymId name, NodeId naming, const Cell* args, uint32_t nargs) {
  RootedCell fn(fn_in);
  RootedNode ctx(naming);
  RootedCell cache(interp::arguments_cache(*fn));
  uint32_t saved = cell_index(g_stack.top);
  // The arguments sit on the stack before the frame opens, so they stay
  // rooted while the frame is laid out.
  for (uint32_t i = 0; i < nargs; i++) push(args[i]);
  Cell* held = g_stack.top - nargs;
  push(*fn);
  Cell* base = stack_mark(FRAME_FUNCTION | FRAME_INTERPRETED | func::library_frame_bit(*fn), sym_exact(name), ctx);
  g_stack.frame_top[-1].func_ctx = func::context_of(*fn);
  uint32_t k = 0;
  int32_t locals = 0;
  bool in_refinements = false;
  NodeId cn = cache->node();
  for (uint32_t i = 0; i < (node_buffer(cn)->used() >> 4); i++) {
    Cell e = node_buffer(cn)->cells()[i];
    if (e.is(TYPE_INTEGER)) {
      locals = e.i2();
    } else if (e.is(TYPE_REFINEMENT)) {
      in_refinements = true;
      push(logic_cell(false));
    } else if (func::arg_mode(e) != func::ARG_RETURN) {
      push(!in_refinements && k < nargs ? held[k++] : none_cell());
    }
  }
  func::init_locals(locals);
  if (g_stack.top == base) push(none_cell());
  Status s = interp::call_with_frame(*fn, base);
  stack_unwind();
  g_stack.top = g_stack.begin + saved;
  // A handler is called where no signal can travel on: one that escapes it
  // becomes the error its target's absence would raise.
  switch (s) {
    case Status::OK: return;
    case Status::BREAK: fire(ErrId::BREAK);
    case Status::CONTINUE: fire(ErrId::CONTINUE);
    case Status::RETURN:
    case Status::EXIT: fire(ErrId::RETURN);
    default: fire(ErrId::THROW);
  }
}

inline Cell* events_cells(const Cell& o) { return node_buffer(o.w3)->cells(); }

// Gives the object an event record when it has a handler field; a handler
// field must hold a function. With on-deep-change* it owns its series.
may_gc void init_events(Cell* o) {
  NodeId ctx = o->w1;
  int32_t idx[2] = {context::find_word(ctx, sym(SymId::ON_CHANGE_STAR), true),
                    context::find_word(ctx, sym(SymId::ON_DEEP_CHANGE_STAR), true)};
  o->w3 = 0;
  if (idx[0] < 0 && idx[1] < 0) {
    publish(*o);
    return;
  }
  for (int32_t i : idx) {
    if (i < 0) continue;
    Cell v = *context::value_at(ctx, uint32_t(i));
    if (!v.is(TYPE_FUNCTION) && !v.is(TYPE_ROUTINE)) {
      Cell w = field_word(*o, uint32_t(i));
      fire(ErrId::BAD_FIELD_SET, w, datatype_cell(v.type()));
    }
  }
  NodeId rec = alloc_unset_cells(2);
  Buffer* b = node_buffer(rec);
  b->cells()[ON_CHANGE] = integer_cell(idx[0]);
  b->cells()[ON_DEEP_CHANGE] = integer_cell(idx[1]);
  b->tail = b->head + 2 * sizeof(Cell);
  o->w3 = rec;
  publish(*o);
  if (idx[1] >= 0) ownership_bind_owner(*o);
}

// A function in a field of `target` made again over the target: the same
// spec, its body copied deep and bound to the target (self included), then
// to a context of its own.
may_gc Cell rebind_function(const Cell& fn_in, NodeId target) {
  RootedCell fn(fn_in);
  RootedNode tgt(target);
  Cell body = *func::more_cell(*fn, func::MORE_BODY);
  if (!body.is(TYPE_BLOCK)) fire(ErrId::BAD_FUNC_DEF, *fn);
  RootedCell copy(block::clone(body, true, true));
  context::bind(*copy, tgt, true);
  Cell spec = series_cell(TYPE_BLOCK, func::spec_node(*fn), 0);
  uint32_t top = cell_index(g_stack.top);
  func::function_push(spec, *copy, 0, 0, nullptr, fn->header & (func::FN_TRACE | func::FN_NO_TRACE));
  Cell made = *(g_stack.top - 1);
  g_stack.top = g_stack.begin + top;
  return made;
}

// The fields of o after a make or copy: series copied (deep with deep),
// functions rebound to o.
may_gc void refresh_fields(const Cell& o_in, bool series, bool deep, const Cell* types) {
  RootedCell o(o_in);
  RootedCell ty(types ? *types : none_cell());
  for (uint32_t i = 0; i < field_count(*o); i++) {
    Cell v = field(*o, i);
    Cell r = v;
    TypeId t = v.type();
    if (t == TYPE_FUNCTION) {
      r = rebind_function(v, o->w1);
    } else if (types) {
      if (!types_include(*ty, t)) continue;
      if (is_any_object(t) && cycles_find(v.w1)) fire(ErrId::NO_CYCLE);
      r = is_any_block(t) ? block_copy(v, nullptr, deep, deep ? ty.get() : nullptr)
                           : copy_by_action(v, deep, deep ? ty.get() : nullptr);
    } else if (series && is_series_type(t)) {
      r = is_any_block(t) ? block_copy(v, nullptr, deep, nullptr) : copy_by_action(v, false, nullptr);
      if (is_any_block(t)) context::bind(r, o->w1, true);
    } else {
      continue;
    }
    *context::value_at(o->w1, i) = r;
  }
}

// The copy worker: a new context with the source's words, the values
// copied cell by cell, the same class and event record.
may_gc Cell shallow_copy(const Cell& src) {
  RootedCell s(src);
  RootedCell o(src);
  context::clone(o.get(), context::KIND_OBJECT);
  uint32_t n = std::min(field_count(*s), field_count(*o));
  for (uint32_t i = 0; i < n; i++) *context::value_at(o->w1, i) = field(*s, i);
  if (s->w3) {
    NodeId rec = alloc_unset_cells(2);
    Buffer* b = node_buffer(rec);
    b->cells()[0] = events_cells(*s)[0];
    b->cells()[1] = events_cells(*s)[1];
    b->tail = b->head + 2 * sizeof(Cell);
    o->w3 = rec;
  }
  publish(*o);
  return *o;
}

inline void clear_changes(NodeId ctx) { context::clear_changed(ctx); }

// A field is assigned: an owner's series leave with the old value and
// join with the new one.
may_gc void field_assigned(const Cell& o, const Cell& word, const Cell& old_value, const Cell& new_value) {
  if (!(node_buffer(o.w1)->flags & BUF_OWNS_SERIES)) return;
  RootedCell obj(o), w(word), nv(new_value);
  ownership_unbind(old_value);
  ownership_bind(*nv, *obj, *w);
}


}  // namespace

may_gc void on_context_change(NodeId ctx, const Cell& word, const Cell& old_value, const Cell& new_value) {
  if (silent_store(ctx)) return;
  RootedCell obj(context::owner(ctx)), w(word), old(old_value), nv(new_value);
  field_assigned(*obj, *w, *old, *nv);
  fire_on_change(*obj, *w, *old, *nv);
}

namespace {

// --- make ------------------------------------------------------------------------------

may_gc Status make_from_block(const Cell& proto_in, const Cell& spec_in, Cell* out) {
  RootedCell proto(proto_in), spec(spec_in);
  bool has_proto = proto->is(TYPE_OBJECT);
  RootedCell o(has_proto ? shallow_copy(*proto) : make_empty(4, false));
  bool added = context::collect_set_words(o->w1, *spec);
  context::bind(*spec, o->w1, true);
  if (has_proto) refresh_fields(*o, true, true, nullptr);
  // The handlers take effect once the object is complete.
  o->w3 = 0;
  publish(*o);
  uint32_t top = cell_index(g_stack.top);
  Status s = interp::eval_block(*spec, false);
  g_stack.top = g_stack.begin + top;
  if (s != Status::OK) return s;
  clear_changes(o->w1);
  for (uint32_t i = 0; i < field_count(*o); i++) context::value_at(o->w1, i)->clear_new_line();
  o->w2 = (added || !has_proto) ? new_class() : proto->w2;
  init_events(o.get());
  *out = *o;
  return Status::OK;
}

may_gc Cell make_from_object(const Cell& proto_in, const Cell& spec_in) {
  RootedCell proto(proto_in), spec(spec_in);
  bool has_proto = proto->is(TYPE_OBJECT);
  RootedCell o(has_proto ? shallow_copy(*proto) : make_empty(4, false));
  uint32_t before = field_count(*o);
  for (uint32_t i = 0; i < field_count(*spec); i++) {
    Cell w = field_word(*spec, i);
    context::put_value(o->w1, w.w2, field(*spec, i));
  }
  bool added = field_count(*o) > before;
  refresh_fields(*o, true, false, nullptr);
  o->w2 = (added || !has_proto) ? new_class() : proto->w2;
  init_events(o.get());
  return *o;
}

Status object_make(Cell* base) {
  using enum act::make::Frame;
  Cell proto = base[TYPE].is(TYPE_DATATYPE) ? none_cell() : base[TYPE];
  const Cell spec = base[SPEC];
  Cell out;
  if (spec.is(TYPE_BLOCK)) {
    VEL_TRY(make_from_block(proto, spec, &out));
  } else if (spec.is(TYPE_OBJECT)) {
    out = make_from_object(proto, spec);
  } else {
    return fail(ErrId::MALCONSTRUCT, spec);
  }
  base[RESULT] = out;
  return Status::OK;
}

// --- reflect ------------------------------------------------------------------------

may_gc Cell words_block(const Cell& o_in, bool changed_only) {
  RootedCell o(o_in);
  uint32_t n = context::word_count(o->w1);
  RootedCell blk(block::make_at(n));
  for (uint32_t i = 0; i < n; i++) {
    Cell w = context::word_of(o->w1, i);
    if (changed_only && !(w.header & context::WORD_CHANGED)) continue;
    w.header = TYPE_WORD;
    block::rs_append(blk->node(), w);
  }
  return *blk;
}

may_gc Cell values_block(const Cell& o_in) {
  RootedCell o(o_in);
  uint32_t n = field_count(*o);
  RootedCell blk(block::make_at(n));
  for (uint32_t i = 0; i < n; i++) block::rs_append(blk->node(), field(*o, i));
  return *blk;
}

may_gc Cell body_block(const Cell& o_in) {
  RootedCell o(o_in);
  uint32_t n = field_count(*o);
  RootedCell blk(block::make_at(int64_t(n) * 2));
  for (uint32_t i = 0; i < n; i++) {
    Cell w = field_word(*o, i);
    w.header = TYPE_SET_WORD | CELL_NEW_LINE;
    block::rs_append(blk->node(), w);
    Cell v = field(*o, i);
    if (v.is(TYPE_WORD)) v.set_type(TYPE_LIT_WORD);
    else if (v.is(TYPE_PATH)) v.set_type(TYPE_LIT_PATH);
    else if (is_series_type(v.type())) v = is_any_block(v.type()) ? block_copy(v, nullptr, false, nullptr)
                                                                      : copy_by_action(v, false, nullptr);
    block::rs_append(blk->node(), v);
  }
  return *blk;
}

may_gc Cell body_of(const Cell& o) { return body_block(o); }

// reflect: value field
Status object_reflect(Cell* base) {
  using enum act::reflect::Frame;
  Cell o = base[VALUE], f = base[FIELD];
  uint32_t s = is_any_word(f.type()) ? symbol::resolve(f.w2) : 0;
  Cell r;
  if (s == sym(SymId::CHANGED)) r = words_block(o, true);
  else if (s == sym(SymId::CLASS)) r = integer_cell(int32_t(o.w2));
  else if (s == sym(SymId::WORDS)) r = words_block(o, false);
  else if (s == sym(SymId::VALUES)) r = values_block(o);
  else if (s == sym(SymId::BODY)) r = body_block(o);
  else if (s == sym(SymId::OWNER)) r = logic_cell(node_buffer(o.w1)->flags & BUF_OWNS_SERIES);
  else if (s == sym(SymId::EVENTS_Q)) r = logic_cell(o.w3 != 0);
  else fire(ErrId::NOT_DONE, f);
  base[RESULT] = r;
  return Status::OK;
}

// --- select, put, modify -------------------------------------------------------------

// select: series value /part length /only /case /same /any /with wild /skip size /last /reverse
Status object_select(Cell* base) {
  using enum act::select::Frame;
  Cell o = base[SERIES], key = base[VALUE];
  if (!is_word_form(key.type())) fire(ErrId::INVALID_TYPE, datatype_cell(key.type()));
  int32_t i = context::find_word(o.w1, key.w2, true);
  Cell* v = i < 0 ? nullptr : context::value_at(o.w1, uint32_t(i));
  base[RESULT] = v ? *v : none_cell();
  return Status::OK;
}

// put: series key value /case
Status object_put(Cell* base) {
  using enum act::put::Frame;
  Cell o = base[SERIES], key = base[KEY], value = base[VALUE];
  if (!key.is(TYPE_WORD)) fire(ErrId::INVALID_KEY_TYPE, datatype_cell(key.type()));
  int32_t i = context::find_word(o.w1, key.w2, true);
  if (i < 0) fire(ErrId::INVALID_PATH, o, key);
  context::bind_word(o.w1, &key);
  set_field(o, key, i, value);
  base[RESULT] = value;
  return Status::OK;
}

// modify: target field value /case
Status object_modify(Cell* base) {
  using enum act::modify::Frame;
  Cell o = base[TARGET], f = base[FIELD], value = base[VALUE];
  uint32_t s = symbol::resolve(f.w2);
  if (s == sym(SymId::CHANGED)) {
    if (!value.is(TYPE_NONE)) fire(ErrId::INVALID_ARG, value);
    clear_changes(o.w1);
  } else if (s == sym(SymId::OWNER)) {
    ownership_bind_owner(o);
  } else if (s == sym(SymId::OWNED)) {
    RootedCell obj(o);
    if (value.is(TYPE_NONE)) {
      for (uint32_t i = 0; i < field_count(*obj); i++) ownership_unbind(field(*obj, i));
      node_buffer(obj->w1)->flags &= ~BUF_OWNS_SERIES;
    } else if (value.is(TYPE_BLOCK)) {
      RootedCell names(value);
      for (uint32_t k = uint32_t(std::max(0, names->index())); k < block::total(*names); k++) {
        Cell w = *block::rs_abs_at(*names, k);
        if (!is_any_word(w.type())) continue;
        int32_t i = context::find_word(obj->w1, w.w2, true);
        if (i < 0) continue;
        RootedCell fw(field_word(*obj, uint32_t(i)));
        ownership_bind(field(*obj, uint32_t(i)), *obj, *fw);
      }
      node_buffer(obj->w1)->flags |= BUF_OWNS_SERIES;
    } else {
      fire(ErrId::INVALID_ARG, value);
    }
  }
  base[RESULT] = value;
  return Status::OK;
}

// copy: value /part length /deep /types kind
Status object_copy(Cell* base) {
  using enum act::copy::Frame;
  if (used(base[PART])) fire(ErrId::INVALID_REFINE_ARG, refinement_cell(SymId::PART), base[LENGTH]);
  bool deep = used(base[DEEP]), types = used(base[TYPES]);
  base[RESULT] = copy(base[VALUE], deep, types ? &base[KIND] : nullptr);
  return Status::OK;
}

// --- compare ------------------------------------------------------------------------------

inline bool both_numbers(TypeId a, TypeId b) {
  auto num = [](TypeId t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; };
  return num(a) && num(b);
}

int32_t object_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_OBJECT)) return CMP_INCOMPARABLE;
  return compare_fields(a, b, op);
}

// --- form and mold --------------------------------------------------------------------

inline bool is_handler_word(uint32_t canon) {
  return canon == sym(SymId::ON_CHANGE_STAR) || canon == sym(SymId::ON_DEEP_CHANGE_STAR);
}

// The fields, one per line at `level` (or separated by spaces when flat).
may_gc int32_t serialize(const Cell& o_in, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part,
                         int32_t level, bool lines_around) {
  RootedNode out(out_in);
  RootedCell o(o_in);
  bool flat = flags & MOLD_FLAT, all = flags & MOLD_ALL;
  bool first = true;
  for (uint32_t i = 0; i < field_count(*o) && part > 0; i++) {
    Cell w = field_word(*o, i);
    if (!all && is_handler_word(symbol::resolve(w.w2))) continue;
    if (flat) {
      if (!first) {
        append_char(out, ' ');
        part = spend(part, 1);
      }
    } else {
      if (!first || lines_around) {
        append_char(out, '\n');
        part = spend(part, 1);
      }
      part = vel::indent(out, level, part);
    }
    first = false;
    part = form_value(w, out, nullptr, part);
    append_latin1(out, ": ");
    part = spend(part, 2);
    Cell v = field(*o, i);
    if (v.is(TYPE_WORD)) {
      append_char(out, '\'');
      part = spend(part, 1);
    }
    part = mold_value(v, out, flags & ~uint32_t(MOLD_ONLY), arg, part, level);
  }
  if (!first && !flat && lines_around) {
    append_char(out, '\n');
    part = spend(part, 1);
  }
  return part;
}

may_gc int32_t object_form(Cell value, NodeId out_in, const Cell* arg, int32_t part) {
  RootedNode out(out_in);
  RootedCell o(value);
  if (cycles_detect(*o, out, &part, false)) return part;
  CycleScope guard(o->w1);
  WalkDepth depth;
  return serialize(*o, out, 0, arg, part, 0, false);
}

may_gc int32_t object_mold(Cell value, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  RootedNode out(out_in);
  RootedCell o(value);
  if (cycles_detect(*o, out, &part, true)) return part;
  CycleScope guard(o->w1);
  WalkDepth depth;
  if (flags & MOLD_ONLY) return serialize(*o, out, flags, arg, part, indent, false);
  append_latin1(out, "make object! [");
  part = spend(part, 14);
  uint32_t len_before = node_buffer(out)->length();
  part = serialize(*o, out, flags, arg, part, indent + 1, true);
  if (node_buffer(out)->length() != len_before && !(flags & MOLD_FLAT)) part = vel::indent(out, indent, part);
  append_char(out, ']');
  return spend(part, 1);
}

// --- eval-path ------------------------------------------------------------------------------

// A field that is not there, read or set (the common error: obj/field
// under try or attempt), goes back to eval_path as a held error.
may_gc Cell object_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  Cell path = step.path ? *step.path : none_cell();
  if (!is_word_form(selector.type())) return fail_value(ErrId::INVALID_PATH, path, selector);
  Cell w = selector;
  int32_t i = path_field(value, w);
  if (i < 0) return fail_value(ErrId::INVALID_PATH, path, selector);
  w.w1 = value.w1;
  w.w3 = uint32_t(i);
  w.set_type(TYPE_WORD);
  if (set_value) {
    RootedCell v(*set_value);
    set_field(value, w, i, *v);
    return *v;
  }
  Cell r = *context::value_at(value.w1, uint32_t(i));
  if (r.is(TYPE_UNSET)) return fail_value(ErrId::UNSET_PATH, path, selector);
  return r;
}

// --- natives' hooks ---------------------------------------------------------------------------


}  // namespace

uint32_t new_class() { return ++g_class_counter; }

uint32_t set_class_counter(uint32_t next) {
  uint32_t was = g_class_counter;
  g_class_counter = next;
  return was;
}

may_gc Cell make_empty(uint32_t slots, bool with_class) {
  NodeId ctx = context::create(slots, false, true, 0, context::KIND_OBJECT);
  // create leaves the value series with `slots` unset cells; a new
  // object has no fields yet.
  Buffer* v = node_buffer(context::cell(ctx).w2);
  v->tail = v->head;
  Cell o = make_cell(TYPE_OBJECT, ctx, with_class ? new_class() : 0, 0);
  publish(o);
  return o;
}

may_gc Status make(const Cell& prototype, const Cell& spec, Cell* out) {
  if (spec.is(TYPE_BLOCK)) return make_from_block(prototype, spec, out);
  if (spec.is(TYPE_OBJECT)) {
    *out = make_from_object(prototype, spec);
    return Status::OK;
  }
  fire(ErrId::MALCONSTRUCT, spec);
}

may_gc Cell construct(const Cell& spec_in, const Cell* prototype, bool only) {
  RootedCell spec(spec_in);
  if (!spec->is(TYPE_BLOCK)) fire(ErrId::MALCONSTRUCT, *spec);
  bool has_proto = prototype && prototype->is(TYPE_OBJECT);
  RootedCell o(has_proto ? shallow_copy(*prototype) : make_empty(4));
  uint32_t before = field_count(*o);
  uint32_t n = block::total(*spec);
  for (uint32_t i = uint32_t(std::max(0, spec->index())); i < n;) {
    Cell c = *block::rs_abs_at(*spec, i);
    if (!c.is(TYPE_SET_WORD)) {
      i++;
      continue;
    }
    // A run of set-words takes the first value after it.
    uint32_t j = i;
    while (j < n && block::rs_abs_at(*spec, j)->is(TYPE_SET_WORD)) j++;
    Cell v = j < n ? *block::rs_abs_at(*spec, j) : none_cell();
    if (!only && v.is(TYPE_WORD)) {
      uint32_t s = symbol::resolve(v.w2);
      if (s == sym(SymId::WORD_TRUE) || s == sym(SymId::ON) || s == sym(SymId::YES)) v = logic_cell(true);
      else if (s == sym(SymId::WORD_FALSE) || s == sym(SymId::OFF) || s == sym(SymId::NO)) v = logic_cell(false);
      else if (s == sym(SymId::NONE)) v = none_cell();
    }
    RootedCell val(v);
    for (uint32_t k = i; k < j; k++) context::put_value(o->w1, block::rs_abs_at(*spec, k)->w2, *val);
    i = j;
  }
  if (has_proto && field_count(*o) > before) o->w2 = new_class();
  publish(*o);
  return *o;
}

may_gc void set_many(const Cell& object_in, const Cell& value_in, bool any, bool only, bool some) {
  RootedCell o(object_in), value(value_in);
  uint32_t n = field_count(*o);
  int32_t skip[2] = {handler_index(*o, ON_CHANGE), handler_index(*o, ON_DEEP_CHANGE)};
  auto source = [&](uint32_t i, bool* present) -> Cell {
    *present = true;
    if (only || (!value->is(TYPE_BLOCK) && !value->is(TYPE_OBJECT))) return *value;
    if (value->is(TYPE_BLOCK)) {
      int32_t at = std::max(0, value->index()) + int32_t(i);
      return uint32_t(at) < block::total(*value) ? *block::rs_abs_at(*value, uint32_t(at)) : none_cell();
    }
    int32_t k = context::find_word(value->w1, context::word_at(o->w1, i)->w2, true);
    if (k < 0) {
      *present = false;
      return none_cell();
    }
    return field(*value, uint32_t(k));
  };
  auto skipped = [&](uint32_t i) { return o->w3 && (int32_t(i) == skip[0] || int32_t(i) == skip[1]); };
  // Nothing is stored when a value is missing.
  if (!any && !only && !some) {
    for (uint32_t i = 0; i < n; i++) {
      bool present;
      Cell v = source(i, &present);
      if (present && !skipped(i) && v.is(TYPE_UNSET)) fire(ErrId::NEED_VALUE, field_word(*o, i));
    }
  }
  for (uint32_t i = 0; i < std::min(n, field_count(*o)); i++) {
    bool present;
    Cell v = source(i, &present);
    if (!present || skipped(i) || (some && v.is(TYPE_NONE))) continue;
    RootedCell val(v);
    RootedCell w(field_word(*o, i));
    set_field(*o, *w, int32_t(i), *val);
  }
}

may_gc Cell copy(const Cell& object_in, bool deep, const Cell* types) {
  RootedCell src(object_in);
  if (cycles_find(src->w1) && (deep || types)) fire(ErrId::NO_CYCLE);
  RootedCell o(shallow_copy(*src));
  CycleScope guard(src->w1);
  WalkDepth depth;
  if (types) refresh_fields(*o, true, deep, types);
  else refresh_fields(*o, deep, true, nullptr);
  if (o->w3 && handler_index(*o, ON_DEEP_CHANGE) >= 0) ownership_bind_owner(*o);
  return *o;
}

int32_t handler_index(const Cell& o, Event e) {
  if (!o.w3) return NO_HANDLER;
  return events_cells(o)[e].i2();
}

bool silent_store(NodeId ctx) {
  const Cell& o = context::owner(ctx);
  if (!is_any_object(o.type()) || o.w1 != ctx) return true;
  return !(node_buffer(ctx)->flags & BUF_OWNS_SERIES) && handler_index(o, ON_CHANGE) < 0;
}

may_gc void fire_on_change(const Cell& o_in, const Cell& word_in, const Cell& old_value, const Cell& new_value) {
  int32_t i = handler_index(o_in, ON_CHANGE);
  if (i < 0) return;
  Cell* slot = context::value_at(o_in.w1, uint32_t(i));
  if (!slot) return;
  Cell fn = *slot;
  if (!fn.is(TYPE_FUNCTION)) fire(ErrId::INVALID_OBJ_EVT, fn);
  Cell args[3] = {word_in, old_value, new_value};
  if (args[0].w1 != o_in.w1 || args[0].i3() < 0) {
    args[0].set_type(TYPE_WORD);
    context::bind_word(o_in.w1, &args[0]);
  }
  RootedCells keep(args, 3);
  call_handler(fn, SymId::ON_CHANGE_STAR, o_in.w1, args, 3);
}

may_gc void fire_on_deep_change(const Cell& owner, const Cell& word, const Cell& series, const Cell& action,
                                const Cell& value, int32_t index, int32_t part) {
  if (!owner.w3) fire(ErrId::INVALID_OBJ_EVT, owner);
  int32_t i = handler_index(owner, ON_DEEP_CHANGE);
  if (i < 0) return;
  Cell* slot = context::value_at(owner.w1, uint32_t(i));
  if (!slot || !slot->is(TYPE_FUNCTION)) return;
  Cell fn = *slot;
  Cell args[7] = {owner, word, series, action, value, integer_cell(index), integer_cell(part)};
  RootedCells keep(args, 7);
  call_handler(fn, SymId::ON_DEEP_CHANGE_STAR, owner.w1, args, 7);
}

int32_t compare_fields(const Cell* a, const Cell* b, int op) {
  if (a->w1 == b->w1) return 0;
  if (op == CMP_SAME) return 1;
  if (cycles_find(a->w1)) return cycles_find(b->w1) ? 0 : -1;
  uint32_t na = field_count(*a), nb = field_count(*b);
  if (na != nb) return na < nb ? -1 : 1;
  if (na > context::word_count(a->w1) || nb > context::word_count(b->w1)) return na < nb ? -1 : 1;
  CycleScope guard(a->w1);
  WalkDepth depth;
  for (uint32_t i = 0; i < na; i++) {
    uint32_t sa = symbol::resolve(context::word_at(a->w1, i)->w2);
    uint32_t sb = symbol::resolve(context::word_at(b->w1, i)->w2);
    if (sa != sb) return sa < sb ? -1 : 1;
    const Cell* va = context::value_at(a->w1, i);
    const Cell* vb = context::value_at(b->w1, i);
    if (!va || !vb) {
      if (va != vb) return va ? 1 : -1;
      continue;
    }
    TypeId ta = va->type(), tb = vb->type();
    if (ta != tb && !(is_any_word(ta) && is_any_word(tb)) && !both_numbers(ta, tb))
      return ta < tb ? -1 : 1;
    int32_t r = compare_cells(va, vb, op);
    if (r == CMP_INCOMPARABLE) return ta < tb ? -1 : (ta > tb ? 1 : -1);
    if (r != 0) return r;
  }
  return 0;
}

int32_t path_field(const Cell& object, const Cell& word) {
  int32_t i = (word.w1 == object.w1 && word.i3() >= 0) ? word.i3() : context::find_word(object.w1, word.w2, true);
  return (i < 0 || !context::value_at(object.w1, uint32_t(i))) ? -1 : i;
}

// Sets field i of o with the protocol of a path assignment.
may_gc void set_field(const Cell& o_in, const Cell& word_in, int32_t i, const Cell& value) {
  RootedCell o(o_in), w(word_in), v(value);
  RootedCell old(field(*o, uint32_t(i)));
  *context::value_at(o->w1, uint32_t(i)) = *v;
  context::mark_changed(o->w1, uint32_t(i));
  field_assigned(*o, *w, *old, *v);
  fire_on_change(*o, *w, *old, *v);
}

namespace {

// construct: block /with object /only
Status native_construct(Cell* base) {
  using enum nat::construct::Frame;
  base[RESULT] = construct(base[BLOCK], used(base[WITH]) ? &base[OBJECT] : nullptr, used(base[ONLY]));
  return Status::OK;
}

constexpr NativeEntry kObjectNatives[] = {{NAT_CONSTRUCT, native_construct}};

}  // namespace

void register_natives() { vel::register_natives(kObjectNatives, std::size(kObjectNatives)); }

}  // namespace vel::object

namespace vel {

void register_type_OBJECT() {
  TypeBuilder(TYPE_OBJECT)
      .to_block(object::body_of)
      .action(ACT_MAKE, object::object_make)
      .action(ACT_REFLECT, object::object_reflect)
      .action(ACT_COPY, object::object_copy)
      .action(ACT_SELECT, object::object_select)
      .action(ACT_PUT, object::object_put)
      .action(ACT_MODIFY, object::object_modify)
      .form(object::object_form)
      .mold(object::object_mold)
      .compare(object::object_compare)
      .eval_path(object::object_eval_path)
      .done();
}

}  // namespace vel
