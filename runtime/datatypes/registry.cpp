#include "datatypes/registry.h"

#include <cassert>
#include <cstring>

#include "action_frames.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "roots.h"

namespace vel {

TypeEntry g_types[TYPE_COUNT];
int32_t g_last_type_id = 0;

namespace {

constexpr const char* kTypeNames[] = {
    nullptr,
#define VEL_X(id, cname, name, parent, families) name,
    VEL_DATATYPES(VEL_X)
#undef VEL_X
};
static_assert(sizeof(kTypeNames) / sizeof(kTypeNames[0]) == TYPE_LAST_BUILTIN + 1);

// Names and parents are indexed by id, so the list's ids must be its positions.
constexpr bool ids_are_dense() {
  int next = 1;
#define VEL_X(id, cname, name, parent, families) \
  if (id != next++) return false;
  VEL_DATATYPES(VEL_X)
#undef VEL_X
  next = 1;
#define VEL_X(n, cname, name) \
  if (n != next++) return false;
  VEL_ACTIONS(VEL_X)
#undef VEL_X
  return true;
}
static_assert(ids_are_dense(), "type and action ids must run 1, 2, 3 ... in list order");

// The parent of each type, as the type list declares it.
constexpr TypeId kParents[TYPE_COUNT] = {
    TYPE_NONE_ID,
#define VEL_X(id, cname, name, parent, families) TypeId(parent),
    VEL_DATATYPES(VEL_X)
#undef VEL_X
};

// The word of the first argument of the function a call's word refers to,
// or none. Read without raising: this runs while an error is being made.
Cell first_arg_word(const Cell& call) {
  if (!call.is(TYPE_WORD) || !call.w1 || call.i3() < 0) return none_cell();
  const Cell* fn = context::value_at(call.w1, uint32_t(call.i3()));
  if (!fn || !is_any_function(fn->type())) return none_cell();
  Buffer* spec = node_buffer(func::spec_node(*fn));
  for (uint32_t i = 0; i < spec->used() / sizeof(Cell); i++) {
    Cell c = spec->cells()[i];
    if (c.is(TYPE_REFINEMENT) || c.is(TYPE_SET_WORD)) break;
    if (is_arg_word(c.type())) {
      c.set_type(TYPE_WORD);
      return c;
    }
  }
  return none_cell();
}

// Unsupported slots: the action does not exist for the value's type. The
// error names the call, the datatype and the call's first argument.
[[noreturn]] void fire_unsupported(const Cell& value) {
  Cell call = error::get_call();
  fire(ErrId::EXPECT_ARG, call, datatype_cell(value.type()), first_arg_word(call));
}

Status unsupported_action(Cell* base) { fire_unsupported(base[FIRST]); }

int32_t unsupported_form(Cell value, NodeId, const Cell*, int32_t) { fire_unsupported(value); }

int32_t unsupported_mold(Cell value, NodeId, uint32_t, const Cell*, int32_t, int32_t) { fire_unsupported(value); }

int32_t unsupported_compare(const Cell*, const Cell*, int) { return CMP_INCOMPARABLE; }

may_gc Cell unsupported_to_block(const Cell& spec) { fire(ErrId::NOT_DONE, spec); }

may_gc bool unsupported_foreach_step(const Cell&, uint32_t, Cell*) { fire(ErrId::NOT_DONE); }

// A path through a value that takes none (x/1 where x is none): the error
// goes back to eval_path as a held error, as a missing object field does.
Cell unsupported_eval_path(const Cell& value, const Cell& selector, const Cell*, const PathStep& step) {
  if (!step.path) return fail_value(ErrId::BAD_PATH_TYPE2, selector, datatype_cell(value.type()));
  return fail_value(ErrId::BAD_PATH_TYPE, *step.path, datatype_cell(value.type()));
}

// The frame entries of form and mold: the typed slots write into a new
// string within the /part limit, and the string is cut to that limit.
//   form  0 value  1 /part  2 limit
//   mold  0 value  1 /only  2 /all  3 /flat  4 /part  5 limit

int32_t part_limit(const Cell& flag, const Cell& limit) {
  if (!used(flag)) return NO_PART_LIMIT;
  if (!limit.is(TYPE_INTEGER)) fire(ErrId::INVALID_ARG, limit);
  return limit.i2();
}

void cut_to(NodeId s, int32_t limit) {
  Buffer* b = node_buffer(s);
  if (limit < 0) limit = 0;
  if (b->length() > uint32_t(limit)) b->tail = b->head + uint32_t(limit) * b->unit();
}

may_gc Status form_frame(Cell* base) {
  using enum act::form::Frame;
  int32_t limit = part_limit(base[PART], base[LIMIT]);
  RootedNode out(make_string(16));
  if (limit > 0) form_value(base[VALUE], out, nullptr, limit);
  if (limit != NO_PART_LIMIT) cut_to(out, limit);
  base[RESULT] = series_cell(TYPE_STRING, out, 0);
  return Status::OK;
}

may_gc Status mold_frame(Cell* base) {
  using enum act::mold::Frame;
  int32_t limit = part_limit(base[PART], base[LIMIT]);
  uint32_t flags = 0;
  if (used(base[ONLY])) flags |= MOLD_ONLY;
  if (used(base[ALL])) flags |= MOLD_ALL;
  if (used(base[FLAT])) flags |= MOLD_FLAT;
  RootedNode out(make_string(16));
  if (limit > 0) mold_value(base[VALUE], out, flags, nullptr, limit, 0);
  if (limit != NO_PART_LIMIT) cut_to(out, limit);
  base[RESULT] = series_cell(TYPE_STRING, out, 0);
  return Status::OK;
}

}  // namespace

const char* type_name(TypeId t) { return kTypeNames[t] ? kTypeNames[t] : "?"; }

TypeBuilder::TypeBuilder(TypeId id) : id_(id), parent_(kParents[id]) {
  entry_.name = kTypeNames[id];
  entry_.name_len = int32_t(std::strlen(kTypeNames[id])) - 1;
  entry_.parent = parent_;
}

TypeBuilder& TypeBuilder::action(ActionId a, ActionFn f) {
  entry_.actions[a] = f;
  slots_[a] = Slot::OWN;
  return *this;
}

TypeBuilder& TypeBuilder::inherit(ActionId a) {
  slots_[a] = Slot::INHERIT;
  return *this;
}

TypeBuilder& TypeBuilder::inherit(std::span<const ActionId> actions) {
  for (ActionId a : actions) slots_[a] = Slot::INHERIT;
  return *this;
}

TypeBuilder& TypeBuilder::inherit_rest() {
  rest_inherits_ = true;
  return *this;
}

TypeBuilder& TypeBuilder::form(FormFn f) {
  entry_.form = f;
  slots_[ACT_FORM] = Slot::OWN;
  return *this;
}

TypeBuilder& TypeBuilder::mold(MoldFn f) {
  entry_.mold = f;
  slots_[ACT_MOLD] = Slot::OWN;
  return *this;
}

TypeBuilder& TypeBuilder::eval_path(EvalPathFn f) {
  entry_.eval_path = f;
  slots_[ACT_EVAL_PATH] = Slot::OWN;
  return *this;
}

TypeBuilder& TypeBuilder::to_block(ToBlockFn f) {
  entry_.to_block = f;
  return *this;
}

TypeBuilder& TypeBuilder::foreach_step(ForeachStepFn f) {
  entry_.foreach_step = f;
  return *this;
}

TypeBuilder& TypeBuilder::compare(CompareFn f) {
  entry_.compare = f;
  slots_[ACT_COMPARE] = Slot::OWN;
  return *this;
}

void set_action(TypeId t, ActionId a, ActionFn f) { g_types[t].actions[a] = f; }

void TypeBuilder::done() {
  const TypeEntry* parent = parent_ ? &g_types[parent_] : nullptr;
  if (parent && !parent->registered) fire(ErrId::INVALID_ARG);  // a registration-order fault of the build
  for (int a = 1; a <= ACTION_COUNT; a++) {
    Slot s = slots_[a];
    if (s == Slot::UNSUPPORTED && rest_inherits_) s = Slot::INHERIT;
    if (s == Slot::INHERIT && !parent) s = Slot::UNSUPPORTED;
    bool inherit = s == Slot::INHERIT;
    bool own = s == Slot::OWN;
    // Form, mold and compare are typed slots; the frame slot of those
    // actions is the generic entry and is never called per type.
    switch (a) {
      case ACT_FORM:
        if (inherit) entry_.form = parent->form;
        else if (!own) entry_.form = unsupported_form;
        entry_.actions[a] = form_frame;
        break;
      case ACT_MOLD:
        if (inherit) entry_.mold = parent->mold;
        else if (!own) entry_.mold = unsupported_mold;
        entry_.actions[a] = mold_frame;
        break;
      case ACT_EVAL_PATH:
        if (inherit) entry_.eval_path = parent->eval_path;
        else if (!own) entry_.eval_path = unsupported_eval_path;
        break;
      case ACT_COMPARE:
        if (inherit) entry_.compare = parent->compare;
        else if (!own) entry_.compare = unsupported_compare;
        break;
      default:
        if (inherit) entry_.actions[a] = parent->actions[a];
        else if (!own) entry_.actions[a] = unsupported_action;
    }
    if (!entry_.actions[a]) entry_.actions[a] = unsupported_action;
  }
  if (!entry_.to_block) entry_.to_block = unsupported_to_block;
  if (!entry_.foreach_step) entry_.foreach_step = unsupported_foreach_step;
  entry_.registered = true;
  g_types[id_] = entry_;
  if (id_ > g_last_type_id) g_last_type_id = id_;
}

namespace {

// The modifying actions of the any-block types bump the stamps of the
// series they change (see series_changed), wherever they are called from:
// each type's own entry stays in g_changing and the table holds a wrapper
// made for that type (a type may call another's entry with its own value).
ActionFn g_changing[TYPE_LAST_BUILTIN + 1][ACTION_COUNT + 1];
EvalPathFn g_changing_path[TYPE_LAST_BUILTIN + 1];

inline NodeId block_node(const Cell& c) { return is_any_block(c.type()) ? c.node() : 0; }

template <TypeId T, ActionId A>
Status changing_action(Cell* base) {
  // Taken before the action: its result replaces the first argument.
  SeriesChange first(block_node(base[FIRST]));
  // swap and move change their second series too.
  static_assert(act::swap::SERIES2 == act::move::TARGET);
  SeriesChange second((A == ACT_SWAP || A == ACT_MOVE) ? block_node(base[act::swap::SERIES2]) : 0);
  return g_changing[T][A](base);
}

template <TypeId T>
Cell changing_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  SeriesChange change(set_value ? block_node(value) : 0);
  return g_changing_path[T](value, selector, set_value, step);
}

template <TypeId T, ActionId A>
void wrap_changing() {
  TypeEntry& e = g_types[T];
  // Registering again (a fresh runtime in one process) must not wrap twice.
  if (e.actions[A] == unsupported_action || e.actions[A] == changing_action<T, A>) return;
  g_changing[T][A] = e.actions[A];
  e.actions[A] = changing_action<T, A>;
}

template <TypeId T>
void stamp_type_writers() {
  if constexpr (is_any_block(T)) {
    wrap_changing<T, ACT_RANDOM>();
    wrap_changing<T, ACT_APPEND>();
    wrap_changing<T, ACT_CHANGE>();
    wrap_changing<T, ACT_CLEAR>();
    wrap_changing<T, ACT_INSERT>();
    wrap_changing<T, ACT_MOVE>();
    wrap_changing<T, ACT_POKE>();
    wrap_changing<T, ACT_PUT>();
    wrap_changing<T, ACT_REMOVE>();
    wrap_changing<T, ACT_REVERSE>();
    wrap_changing<T, ACT_SORT>();
    wrap_changing<T, ACT_SWAP>();
    wrap_changing<T, ACT_TAKE>();
    wrap_changing<T, ACT_TRIM>();
    wrap_changing<T, ACT_SET_PATH>();
    wrap_changing<T, ACT_MODIFY>();
    wrap_changing<T, ACT_WRITE>();
    TypeEntry& e = g_types[T];
    if (e.eval_path != unsupported_eval_path && e.eval_path != changing_eval_path<T>) {
      g_changing_path[T] = e.eval_path;
      e.eval_path = changing_eval_path<T>;
    }
  }
}

void stamp_block_writers() {
#define VEL_X(id, cname, name, parent, families) stamp_type_writers<TYPE_##cname>();
  VEL_DATATYPES(VEL_X)
#undef VEL_X
}

}  // namespace

void register_datatypes() {
#define VEL_X(cname) register_type_##cname();
  VEL_REGISTRATION_ORDER(VEL_X)
#undef VEL_X
  stamp_block_writers();
}

// Several types serve find and select, append and insert, or make and to
// with one routine that reads the first action's frame: the specs must
// keep those frames alike.
static_assert(act::select::VALUE == act::find::VALUE && act::select::LENGTH == act::find::LENGTH &&
              act::select::ONLY == act::find::ONLY && act::select::CASE == act::find::CASE &&
              act::select::SAME == act::find::SAME && act::select::ANY == act::find::ANY &&
              act::select::WILD == act::find::WILD && act::select::SIZE == act::find::SIZE &&
              act::select::LAST == act::find::LAST && act::select::REVERSE == act::find::REVERSE);
static_assert(act::insert::VALUE == act::append::VALUE && act::insert::LENGTH == act::append::LENGTH &&
              act::insert::ONLY == act::append::ONLY && act::insert::COUNT == act::append::COUNT);
static_assert(act::to::SPEC == act::make::SPEC);

Status dispatch_action(ActionId a, Cell* base) {
  const Cell& first = base[FIRST];
  TypeId t = first.type();
  if ((a == ACT_MAKE || a == ACT_TO) && t == TYPE_DATATYPE && first.w1 < TYPE_COUNT) t = TypeId(first.w1);
  return g_types[t].actions[a](base);
}

may_gc Cell call_action(const ActionShape& shape, std::span<const ActionArg> args) {
  Cell* base = stack_mark(FRAME_NATIVE, 0, 0);
  for (uint32_t i = 0; i < shape.size; i++) push((shape.refinements >> i) & 1 ? logic_cell(false) : none_cell());
  for (const ActionArg& a : args) {
    assert(a.at >= 0 && a.at < shape.size);
    base[a.at] = a.value;
  }
  StackMark guard{cell_index(base), cell_index(base), frame_depth()};
  Status s;
  try {
    s = throw_if_error(dispatch_action(shape.action, base));
  } catch (...) {
    stack_restore(guard);
    stack_unroll();
    throw;
  }
  (void)s;
  Cell result = *base;
  stack_unroll();
  return result;
}

may_gc int32_t form_value(Cell v, NodeId out, const Cell* arg, int32_t part) {
  return g_types[v.type()].form(v, out, arg, part);
}

may_gc int32_t mold_value(Cell v, NodeId out, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  return g_types[v.type()].mold(v, out, flags, arg, part, indent);
}

}  // namespace vel
