// The datatype registry: one entry per type id with its name and its 62
// action slots, filled at start-up in a fixed order.
//
// Calling conventions of the action slots:
//
// - Frame entries (ActionFn) take the call's cells: base[0] is the first
//   argument and also the result cell; arguments follow in spec order; each
//   refinement has one cell (a logic!, true when used) followed by its
//   arguments (none when unused). The entry writes its result into base[0].
//   A status other than OK propagates a non-local exit out of code the
//   action evaluated.
// - form, mold and compare have typed slots of their own, because runtime
//   code calls them directly (form/mold of block elements, the comparison
//   driver). form and mold append to a string and answer the /part budget
//   left; they take the value by copy because appending may run the
//   collector. compare answers 0 for equal, a negative or positive order,
//   or -2 when the values cannot be compared under that operator; it must
//   not allocate. eval-path has a typed slot too (EvalPathFn).
//
// Inheritance is resolved once, at registration, by copying the parent's
// resolved slot: a parent registers before its children, and a child slot
// that inherits an unsupported slot stays unsupported. No slot is ever
// null: unsupported slots hold entries that raise the dispatcher's error.
#pragma once
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "cell.h"
#include "compare_ops.h"
#include "frame.h"
#include "memory.h"
#include "status.h"

namespace vel {


// The compare answer of a type whose values all equal one another (unset!,
// none!): equal under the equality, sort and find operators, incomparable
// under the orderings.
inline int32_t all_equal_answer(int op) { return is_equality_or_sort(op) ? 0 : CMP_INCOMPARABLE; }

// Mold flags (/only, /all, /flat).
enum MoldFlags : uint32_t {
  MOLD_ONLY = 1,
  MOLD_ALL = 2,
  MOLD_FLAT = 4,
};

// The /part budget when no limit is given.
constexpr int32_t NO_PART_LIMIT = 0x7FFFFFFF;
// The budget left after n more characters; it cannot overflow, whatever a
// nested mold answered.
inline int32_t spend(int32_t part, int64_t n) {
  int64_t r = int64_t(part) - n;
  return r < INT32_MIN ? INT32_MIN : int32_t(r);
}

using ActionFn = Status (*)(Cell* base);
using FormFn = int32_t (*)(Cell value, NodeId out, const Cell* arg, int32_t part);
using MoldFn = int32_t (*)(Cell value, NodeId out, uint32_t flags, const Cell* arg, int32_t part, int32_t indent);
using CompareFn = int32_t (*)(const Cell* a, const Cell* b, int op);

// One step of a path (a/b/c): `value` is the value reached so far and
// `selector` the next element (already evaluated for parens and
// get-words). set_value is the value to assign at the last element of a
// set-path, else null. Answers the value selected (or the one assigned).
struct PathStep {
  const Cell* path;       // the whole path, for error reports; may be null
  const Cell* parent;     // the value before `value`; none at the first step
  const Cell* prev_elem;  // the element that selected `value`
  int32_t step;           // 0 for the first element after the head
  bool case_sensitive;
  bool get;               // a get-path: functions are not called
  bool last;              // the path's last element
  bool owner;             // the set target is owned (change notification)
  // For a set-path, the step of the level above (whose value is `parent`),
  // so that a scalar changed in a copy can be stored back level by level.
  const PathStep* outer = nullptr;
};
using EvalPathFn = Cell (*)(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step);
// The block that make and to of a block type give from a value of this
// type, for the types whose module owns that conversion (object!, map!,
// string!: its source loaded).
using ToBlockFn = may_gc Cell (*)(const Cell& spec);
// One step of foreach over a value of this type that is no plain series
// (map!, image!): sets the count words from the next entry of `it`,
// advances it, and answers whether a step was made.
using ForeachStepFn = may_gc bool (*)(const Cell& words, uint32_t count, Cell* it);

struct TypeEntry {
  const char* name = nullptr;  // with its "!"
  int32_t name_len = 0;        // without the "!"
  TypeId parent = TYPE_NONE_ID;
  bool registered = false;
  Cell name_word{};            // the name's word, once words exist
  ActionFn actions[ACTION_COUNT + 1] = {};  // by action number; [0] unused
  FormFn form = nullptr;
  MoldFn mold = nullptr;
  CompareFn compare = nullptr;
  EvalPathFn eval_path = nullptr;
  ToBlockFn to_block = nullptr;          // internal/not-done unless the type sets it
  ForeachStepFn foreach_step = nullptr;  // internal/not-done unless the type sets it
};

extern TypeEntry g_types[TYPE_COUNT];
extern int32_t g_last_type_id;  // highest registered id

const char* type_name(TypeId t);  // "block!"

// Registration of one type: every slot starts unsupported; set the slots the
// type implements and the ones it inherits, then register.
class TypeBuilder {
 public:
  // The parent is the one the type list names.
  explicit TypeBuilder(TypeId id);
  TypeBuilder& action(ActionId a, ActionFn f);
  TypeBuilder& inherit(ActionId a);
  TypeBuilder& inherit(std::span<const ActionId> actions);
  // Inherits every action slot not set otherwise (the typed slots too).
  TypeBuilder& inherit_rest();
  TypeBuilder& form(FormFn f);
  TypeBuilder& mold(MoldFn f);
  TypeBuilder& compare(CompareFn f);
  TypeBuilder& eval_path(EvalPathFn f);
  // Not inherited: each type that has them sets them.
  TypeBuilder& to_block(ToBlockFn f);
  TypeBuilder& foreach_step(ForeachStepFn f);
  void done();

 private:
  enum class Slot : uint8_t { UNSUPPORTED, OWN, INHERIT };
  TypeId id_;
  TypeId parent_;
  TypeEntry entry_;
  Slot slots_[ACTION_COUNT + 1] = {};
  bool rest_inherits_ = false;
};

// Registers every datatype in the start-up order.
void register_datatypes();

// Fills an action slot of a registered type from a layer above the
// datatypes: file!'s and url!'s input and output are the I/O layer's.
void set_action(TypeId t, ActionId a, ActionFn f);

// Dispatch.
may_gc inline Cell eval_path_step(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  return g_types[value.type()].eval_path(value, selector, set_value, step);
}
inline ActionFn action_of(TypeId t, ActionId a) { return g_types[t].actions[a]; }
inline int32_t compare_cells(const Cell* a, const Cell* b, int op) { return g_types[a->type()].compare(a, b, op); }
may_gc int32_t form_value(Cell v, NodeId out, const Cell* arg = nullptr, int32_t part = NO_PART_LIMIT);
may_gc int32_t mold_value(Cell v, NodeId out, uint32_t flags = 0, const Cell* arg = nullptr,
                          int32_t part = NO_PART_LIMIT, int32_t indent = 0);

// The generic entry of an action: finds the implementation by the type of
// the first argument (for make and to, by the datatype that a datatype!
// first argument names) and calls it on the current frame.
Status dispatch_action(ActionId a, Cell* base);

// One cell of an action frame that C++ code fills: its position, a name of
// the action's act::<name>::Frame, and the value.
struct ActionArg {
  int at;
  Cell value;
};

// Calls an action from C++ on a frame of its own, of the action's shape
// (act::<name>::SHAPE): every refinement starts unused and every other cell
// none, then each of args is written at its position. Answers the result
// cell.
may_gc Cell call_action(const ActionShape& shape, std::span<const ActionArg> args);
inline may_gc Cell call_action(const ActionShape& shape, std::initializer_list<ActionArg> args) {
  return call_action(shape, std::span<const ActionArg>(args.begin(), args.size()));
}

// The per-type registration functions, one per datatype module.
#define VEL_X(cname) void register_type_##cname();
VEL_REGISTRATION_ORDER(VEL_X)
#undef VEL_X

}  // namespace vel
