// port!: an object of system/standard/port's fields whose series and I/O
// actions are forwarded, by the action's own word, to the function of that
// name in the port's actor object, which the port's scheme supplies. The
// runtime implements no scheme itself.
//
// Cell: an object cell with type id 48 (w1 context, w2 class, w3 events).
#include <iterator>
#include <string_view>

#include "action_frames.h"
#include "eval.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "datatypes/port.h"
#include "roots.h"

namespace vel {

namespace {

constexpr std::string_view kActionNames[] = {
    "",
#define VEL_X(n, cname, name) name,
    VEL_ACTIONS(VEL_X)
#undef VEL_X
};

// A field of an object by name (case-insensitive); none when absent.
Cell field_of(const Cell& obj, std::string_view name) {
  int32_t i = context::find_word(obj.w1, symbol::make(name), true);
  if (i < 0) return none_cell();
  return *context::value_at(obj.w1, uint32_t(i));
}

void set_field_of(const Cell& obj, std::string_view name, const Cell& v) {
  int32_t i = context::find_word(obj.w1, symbol::make(name), true);
  if (i >= 0) *context::value_at(obj.w1, uint32_t(i)) = v;
}

may_gc Cell system_field(std::string_view outer, std::string_view inner) {
  Cell sys_word = word::load("system");
  Cell* sys = context::get(sys_word);
  if (!sys || !sys->is(TYPE_OBJECT)) fire(ErrId::INVALID_PORT);
  Cell v = field_of(*sys, outer);
  if (!inner.empty()) {
    if (!v.is(TYPE_OBJECT)) fire(ErrId::INVALID_PORT);
    v = field_of(v, inner);
  }
  return v;
}

// The value after the first entry of system/schemes equal to the word.
may_gc Cell find_scheme(const Cell& scheme_word) {
  Cell schemes = system_field("schemes", "");
  if (!schemes.is(TYPE_BLOCK)) return none_cell();
  Buffer* b = node_buffer(schemes.node());
  uint32_t n = b->length();
  for (uint32_t i = uint32_t(schemes.index() < 0 ? 0 : schemes.index()); i + 1 < n; i++) {
    const Cell& e = b->cells()[i];
    if (is_bindable_word(e.type()) && symbol::compare_text(e.w2, scheme_word.w2, CMP_EQUAL) == 0) return b->cells()[i + 1];
  }
  return none_cell();
}

// A port from its spec: an object of url-parts' fields, or a block that
// makes one.
may_gc Status make_port(const Cell& spec_in, Cell* out) {
  RootedCell given(spec_in);
  RootedCell spec;
  if (given->is(TYPE_OBJECT)) {
    *spec = object::copy(*given, false, nullptr);
  } else if (given->is(TYPE_BLOCK)) {
    RootedCell parts(system_field("standard", "url-parts"));
    if (!parts->is(TYPE_OBJECT)) fire(ErrId::INVALID_PORT);
    VEL_TRY(object::make(*parts, *given, spec.get()));
  } else {
    fire(ErrId::NO_SCHEME, *given);
  }
  RootedCell scheme_word(field_of(*spec, "scheme"));
  if (!scheme_word->is(TYPE_WORD)) fire(ErrId::NO_SCHEME, *given);
  RootedCell proto(system_field("standard", "port"));
  if (!proto->is(TYPE_OBJECT)) fire(ErrId::INVALID_PORT);
  RootedCell port(object::copy(*proto, false, nullptr));
  port->set_type(TYPE_PORT);
  set_field_of(*port, "spec", *spec);
  set_field_of(*port, "scheme", *scheme_word);
  RootedCell scheme(find_scheme(*scheme_word));
  if (!scheme->is(TYPE_OBJECT)) fire(ErrId::UNKNOWN_SCHEME, *scheme_word);
  Cell actor = field_of(*scheme, "actor");
  if (!actor.is(TYPE_OBJECT) && !actor.is(TYPE_HANDLE)) fire(ErrId::INVALID_ACTOR);
  set_field_of(*port, "actor", actor);
  *out = *port;
  return Status::OK;
}

// make port! spec
Status port_make(Cell* base) {
  using enum act::make::Frame;
  RootedCell port;
  VEL_TRY(make_port(base[SPEC], port.get()));
  base[RESULT] = *port;
  return Status::OK;
}

// Calls the actor's function named after the action with the port and the
// arguments; its result is the answer.
may_gc Status forward(ActionId a, const Cell& port, const Cell* args, uint32_t count, Cell* answer) {
  Cell actor = field_of(port, "actor");
  if (!actor.is(TYPE_OBJECT)) fire(ErrId::INVALID_PORT);
  uint32_t name = symbol::make(kActionNames[a]);
  int32_t i = context::find_word(actor.w1, name, true);
  Cell fn = i < 0 ? none_cell() : *context::value_at(actor.w1, uint32_t(i));
  if (!fn.is(TYPE_FUNCTION)) fire(ErrId::NO_PORT_ACTION);
  Cell all[20];
  all[0] = port;
  for (uint32_t k = 0; k < count; k++) all[k + 1] = args[k];
  RootedCells keep(all, count + 1);
  return interp::call_callback(fn, name, trace::CB_PORT, all, count + 1, answer);
}

// Which frame cells each action passes on, in the actor's order. A
// negative entry is a constant: -1 false, -2 the /dup flag (true when its
// count is above 1).
struct Plan {
  ActionId action;
  int8_t cells[16];
  uint8_t count;
};

constexpr int8_t F = -1, DUP = -2;
constexpr Plan kPlans[] = {
    {ACT_AT, {act::at::INDEX}, 1},
    {ACT_PICK, {act::pick::INDEX}, 1},
    {ACT_SKIP, {act::skip::OFFSET}, 1},
    {ACT_BACK, {}, 0},
    {ACT_CLEAR, {}, 0},
    {ACT_HEAD, {}, 0},
    {ACT_HEAD_Q, {}, 0},
    {ACT_INDEX_Q, {}, 0},
    {ACT_LENGTH_Q, {}, 0},
    {ACT_NEXT, {}, 0},
    {ACT_TAIL, {}, 0},
    {ACT_TAIL_Q, {}, 0},
    {ACT_CREATE, {}, 0},
    {ACT_CLOSE, {}, 0},
    {ACT_DELETE, {}, 0},
    {ACT_QUERY, {}, 0},
    {ACT_UPDATE, {}, 0},
    {ACT_APPEND,
     {act::append::VALUE, act::append::PART, act::append::LENGTH, act::append::ONLY, DUP, act::append::COUNT},
     6},
    {ACT_INSERT,
     {act::insert::VALUE, act::insert::PART, act::insert::LENGTH, act::insert::ONLY, DUP, act::insert::COUNT},
     6},
    {ACT_CHANGE,
     {act::change::VALUE, act::change::PART, act::change::RANGE, act::change::ONLY, DUP, act::change::COUNT},
     6},
    {ACT_COPY, {act::copy::PART, act::copy::LENGTH, act::copy::DEEP, act::copy::TYPES, act::copy::KIND}, 5},
    {ACT_FIND,
     {act::find::VALUE, act::find::PART, act::find::LENGTH, act::find::ONLY, act::find::CASE, act::find::SAME,
      act::find::ANY, act::find::WITH, act::find::WILD, act::find::SKIP, act::find::SIZE, act::find::LAST,
      act::find::REVERSE, act::find::TAIL, act::find::MATCH},
     15},
    {ACT_SELECT,
     {act::select::VALUE, act::select::PART, act::select::LENGTH, act::select::ONLY, act::select::CASE,
      act::select::SAME, act::select::ANY, act::select::WITH, act::select::WILD, act::select::SKIP, act::select::SIZE,
      act::select::LAST, act::select::REVERSE, F, F},
     15},
    {ACT_MOVE, {act::move::TARGET, act::move::PART, act::move::LENGTH}, 3},
    {ACT_MODIFY, {act::modify::FIELD, act::modify::VALUE, act::modify::CASE}, 3},
    {ACT_OPEN, {act::open::NEW, act::open::READ, act::open::WRITE, act::open::SEEK, act::open::ACCESS}, 5},
    {ACT_POKE, {act::poke::INDEX, act::poke::VALUE}, 2},
    {ACT_PUT, {act::put::KEY, act::put::VALUE, act::put::CASE}, 3},
    {ACT_REMOVE, {act::remove::PART, act::remove::LENGTH}, 2},
    {ACT_RENAME, {act::rename::TO}, 1},
    {ACT_REVERSE, {act::reverse::PART, act::reverse::LENGTH}, 2},
    {ACT_SORT,
     {act::sort::CASE, act::sort::SKIP, act::sort::SIZE, act::sort::COMPARE, act::sort::COMPARATOR, act::sort::PART,
      act::sort::LENGTH, act::sort::ALL, act::sort::REVERSE, act::sort::STABLE},
     10},
    {ACT_SWAP, {act::swap::SERIES2}, 1},
    {ACT_TAKE, {act::take::PART, act::take::LENGTH, act::take::DEEP, act::take::LAST}, 4},
    {ACT_TRIM,
     {act::trim::HEAD, act::trim::TAIL, act::trim::AUTO, act::trim::LINES, act::trim::ALL, act::trim::WITH,
      act::trim::STR},
     7},
};

constexpr const Plan* plan_of(ActionId a) {
  for (const Plan& p : kPlans)
    if (p.action == a) return &p;
  return nullptr;
}

// An action frame that a port routine builds for its actor: of the
// action's shape, every refinement unused and every other cell none, as
// call_action starts one.
struct PortFrame {
  Cell cells[32];
  explicit PortFrame(const ActionShape& shape) {
    for (uint32_t i = 0; i < shape.size; i++)
      cells[i] = (shape.refinements >> i) & 1 ? logic_cell(false) : none_cell();
  }
  Cell& operator[](int at) { return cells[at]; }
};

// Passes the cells of an action's frame to the actor in the plan's order.
// The part and count arguments of append, insert and change go on as
// integers or none.
template <ActionId A>
may_gc Status forward_frame(const Cell& port, const Cell* frame, Cell* answer) {
  constexpr const Plan* plan = plan_of(A);
  static_assert(plan != nullptr, "every forwarded action has a plan");
  static_assert(act::insert::LENGTH == act::append::LENGTH && act::change::RANGE == act::append::LENGTH &&
                act::insert::COUNT == act::append::COUNT && act::change::COUNT == act::append::COUNT &&
                act::insert::DUP == act::append::DUP && act::change::DUP == act::append::DUP);
  Cell args[16];
  for (uint32_t k = 0; k < plan->count; k++) {
    int8_t c = plan->cells[k];
    if (c == F) {
      args[k] = logic_cell(false);
    } else if (c == DUP) {
      const Cell& count = frame[act::append::COUNT];
      args[k] = logic_cell(used(frame[act::append::DUP]) && count.is(TYPE_INTEGER) && count.i2() > 1);
    } else if constexpr (A == ACT_APPEND || A == ACT_INSERT || A == ACT_CHANGE) {
      bool counted = c == act::append::LENGTH || c == act::append::COUNT;
      args[k] = counted && !frame[c].is(TYPE_INTEGER) ? none_cell() : frame[c];
    } else {
      args[k] = frame[c];
    }
  }
  RootedCells keep(args, plan->count);
  return forward(A, port, args, plan->count, answer);
}

template <ActionId A>
Status port_action(Cell* base) {
  Cell answer = none_cell();
  RootedCell port(base[FIRST]);
  Status s = forward_frame<A>(*port, base, &answer);
  if (s != Status::OK) return s;
  if constexpr (A == ACT_LENGTH_Q) {
    if (!answer.is(TYPE_INTEGER)) fire(ErrId::INVALID_ARG, answer);
  }
  base[RESULT] = answer;
  return Status::OK;
}

// The end of read and write: copy (/part as the call had it), then close;
// the copy is the answer, at base.
may_gc Status copy_and_close(const Cell& port, const Cell& part, const Cell& length, Cell* base) {
  PortFrame copy(act::copy::SHAPE);
  copy[act::copy::PART] = part;
  copy[act::copy::LENGTH] = length;
  RootedCell result;
  VEL_TRY(forward_frame<ACT_COPY>(port, copy.cells, result.get()));
  Cell scratch = none_cell();
  VEL_TRY(forward(ACT_CLOSE, port, nullptr, 0, &scratch));
  base[RESULT] = *result;
  return Status::OK;
}

// read port: open, copy, close; the copy is the answer.
Status port_read(Cell* base) {
  using enum act::read::Frame;
  RootedCell port(base[SOURCE]);
  Cell scratch = none_cell();
  PortFrame open(act::open::SHAPE);
  open[act::open::SEEK] = logic_cell(used(base[SEEK]));
  VEL_TRY(forward_frame<ACT_OPEN>(*port, open.cells, &scratch));
  return copy_and_close(*port, base[PART], base[LENGTH], base);
}

// write port data: open/write, insert, copy, close; the copy is the answer.
Status port_write(Cell* base) {
  using enum act::write::Frame;
  RootedCell port(base[DESTINATION]);
  Cell scratch = none_cell();
  PortFrame open(act::open::SHAPE);
  open[act::open::WRITE] = logic_cell(true);
  open[act::open::SEEK] = logic_cell(used(base[SEEK]));
  VEL_TRY(forward_frame<ACT_OPEN>(*port, open.cells, &scratch));
  bool part = base[LENGTH].is(TYPE_INTEGER);
  PortFrame insert(act::insert::SHAPE);
  insert[act::insert::VALUE] = base[DATA];
  insert[act::insert::PART] = logic_cell(part);
  insert[act::insert::LENGTH] = part ? base[LENGTH] : none_cell();
  insert[act::insert::COUNT] = integer_cell(1);
  VEL_TRY(forward_frame<ACT_INSERT>(*port, insert.cells, &scratch));
  return copy_and_close(*port, base[PART], base[LENGTH], base);
}

// "make port! [" and the fields, as an object molds them.
may_gc int32_t port_mold(Cell value, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  RootedNode out(out_in);
  RootedNode text(make_string(64));
  Cell as_object = value;
  as_object.set_type(TYPE_OBJECT);
  g_types[TYPE_OBJECT].mold(as_object, text, flags & ~uint32_t(MOLD_ONLY), arg, NO_PART_LIMIT, indent);
  constexpr std::string_view kObject = "make object! [";
  constexpr std::string_view kPort = "make port! [";
  uint32_t len = node_buffer(text)->length();
  uint32_t from = uint32_t(kObject.size()) > len ? len : uint32_t(kObject.size());
  if (part <= 0) return part;
  uint32_t head = uint32_t(kPort.size()) > uint32_t(part) ? uint32_t(part) : uint32_t(kPort.size());
  append_latin1(out, kPort.substr(0, head));
  part -= int32_t(head);
  uint32_t rest = len - from;
  if (uint32_t(part) < rest) rest = uint32_t(part);
  append_chars(out, text, from, rest);
  return part - int32_t(rest);
}

may_gc int32_t port_form(Cell value, NodeId out, const Cell* arg, int32_t part) {
  return port_mold(value, out, 0, arg, part, 0);
}

}  // namespace

namespace port {

may_gc Status of_url(const Cell& url_in, Cell* out) {
  RootedCell url(url_in);
  uint32_t name = symbol::make("parse-url");
  RootedCell parser(word::get_any(context::add_global(symbol::make("url-parser"))));
  Cell fn = parser->is(TYPE_OBJECT) ? field_of(*parser, "parse-url") : none_cell();
  if (!is_callable(fn.type())) fire(ErrId::NO_VALUE, word::load("parse-url"));
  RootedCell call(fn);
  RootedCell parts;
  Status s = interp::call_callback(*call, name, 0, url.get(), 1, parts.get());
  if (s != Status::OK) return s;
  if (!parts->is(TYPE_OBJECT)) fire(ErrId::INVALID_ARG, *url);
  return make_port(*parts, out);
}

}  // namespace port

void register_type_PORT() {
  TypeBuilder b(TYPE_PORT);
  b.action(ACT_MAKE, port_make)
      .action(ACT_READ, port_read)
      .action(ACT_WRITE, port_write)
      .inherit(ACT_REFLECT)
      .form(port_form)
      .mold(port_mold)
      .compare(g_types[TYPE_OBJECT].compare)
      .eval_path(g_types[TYPE_OBJECT].eval_path);
#define VEL_PORT_ACTION(a) b.action(a, port_action<a>);
  VEL_PORT_ACTION(ACT_AT)
  VEL_PORT_ACTION(ACT_PICK)
  VEL_PORT_ACTION(ACT_SKIP)
  VEL_PORT_ACTION(ACT_BACK)
  VEL_PORT_ACTION(ACT_CLEAR)
  VEL_PORT_ACTION(ACT_HEAD)
  VEL_PORT_ACTION(ACT_HEAD_Q)
  VEL_PORT_ACTION(ACT_INDEX_Q)
  VEL_PORT_ACTION(ACT_LENGTH_Q)
  VEL_PORT_ACTION(ACT_NEXT)
  VEL_PORT_ACTION(ACT_TAIL)
  VEL_PORT_ACTION(ACT_TAIL_Q)
  VEL_PORT_ACTION(ACT_CREATE)
  VEL_PORT_ACTION(ACT_CLOSE)
  VEL_PORT_ACTION(ACT_DELETE)
  VEL_PORT_ACTION(ACT_QUERY)
  VEL_PORT_ACTION(ACT_UPDATE)
  VEL_PORT_ACTION(ACT_APPEND)
  VEL_PORT_ACTION(ACT_INSERT)
  VEL_PORT_ACTION(ACT_CHANGE)
  VEL_PORT_ACTION(ACT_COPY)
  VEL_PORT_ACTION(ACT_FIND)
  VEL_PORT_ACTION(ACT_SELECT)
  VEL_PORT_ACTION(ACT_MOVE)
  VEL_PORT_ACTION(ACT_MODIFY)
  VEL_PORT_ACTION(ACT_OPEN)
  VEL_PORT_ACTION(ACT_POKE)
  VEL_PORT_ACTION(ACT_PUT)
  VEL_PORT_ACTION(ACT_REMOVE)
  VEL_PORT_ACTION(ACT_RENAME)
  VEL_PORT_ACTION(ACT_REVERSE)
  VEL_PORT_ACTION(ACT_SORT)
  VEL_PORT_ACTION(ACT_SWAP)
  VEL_PORT_ACTION(ACT_TAKE)
  VEL_PORT_ACTION(ACT_TRIM)
#undef VEL_PORT_ACTION
  b.done();
}

}  // namespace vel
