// object!: records of named fields over a heap context.
//
//   header  type 32 (error! 34 and port! 48 use the same cell)
//   w1      node of the object's context (heap values, self, object kind);
//           cell 1 of that node holds a copy of the object value, which is
//           what `self` yields
//   w2      class id: objects made at run time take ids from a counter
//           above 1,000,000 (the first is 1,000,001); errors have class 1
//   w3      0, or the node of the object's event record
//
// The event record is a series of two integer! cells: cell 0 for
// on-change*, cell 1 for on-deep-change*, each holding the handler's field
// index in w2, or -1 when the object has no such field. The call layout of
// a handler (its arguments, refinements and locals) is taken from the
// function's own argument cache when it is called, so the record keeps no
// copy of it that could go stale.
//
// An object with an on-deep-change* handler owns the series in its fields
// (ownership.h): every in-place change of one of them calls the handler,
// before and after, with the action's pair of words.
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"
#include "status.h"

namespace vel::object {

constexpr uint32_t CLASS_BASE = 1000000;
constexpr int32_t NO_HANDLER = -1;
enum Event : uint32_t { ON_CHANGE = 0, ON_DEEP_CHANGE = 1 };

// The next class id.
uint32_t new_class();
// Moves the class counter (the next id is next + 1) and answers where it
// was: the boot code's objects take ids below CLASS_BASE, as compiled
// objects did, so run-time ids still start at CLASS_BASE + 1.
uint32_t set_class_counter(uint32_t next);

// A new empty object (room for `slots` fields), with a new class id or
// class 0 (for a caller that assigns one when it is complete).
may_gc Cell make_empty(uint32_t slots, bool with_class = true);

// make: prototype (an object, or none) and spec (a block, evaluated; or an
// object). A signal out of the spec's evaluation is answered.
may_gc Status make(const Cell& prototype, const Cell& spec, Cell* out);

// construct: the spec's set-words become fields set to the value after
// them, unevaluated; logic words converted unless only.
may_gc Cell construct(const Cell& spec, const Cell* prototype, bool only);
// The natives of objects: construct.
void register_natives();

// set on an object.
may_gc void set_many(const Cell& object, const Cell& value, bool any, bool only, bool some);

// copy: a new object with the same words, class and event record; /deep
// copies the series in the fields deeply, /types the values of the types.
// Functions in fields are rebound to the copy.
may_gc Cell copy(const Cell& object, bool deep, const Cell* types);

// The field a path's word selects in an object (the word's own index when
// it is bound to the object), or -1 when the object has no such field.
int32_t path_field(const Cell& object, const Cell& word);
// Sets field i with the protocol of a path assignment: the change flag,
// ownership of series, on-change*.
may_gc void set_field(const Cell& object, const Cell& word, int32_t i, const Cell& value);

// A field of the object context ctx holds its new value (context::set_in):
// series ownership follows it and the on-change* protocol runs.
may_gc void on_context_change(NodeId ctx, const Cell& word, const Cell& old_value, const Cell& new_value);
// The on-change* protocol, called once the field holds the new value.
may_gc void fire_on_change(const Cell& object, const Cell& word, const Cell& old_value, const Cell& new_value);
// The on-deep-change* protocol (the ownership check calls it): owner, field
// word, the series, the action word, the new value (none when absent), the
// index and the part.
may_gc void fire_on_deep_change(const Cell& owner, const Cell& word, const Cell& series, const Cell& action,
                                const Cell& value, int32_t index, int32_t part);

// The field index of a handler, or NO_HANDLER.
int32_t handler_index(const Cell& object, Event e);

// Whether a store into the context is seen by its value cell alone: no
// object with an on-change* handler or owned series is made on it, so the
// store needs only the change flag.
bool silent_store(NodeId ctx);

// The compare of object-like values (object!, error!) whose types the
// caller has matched: the same context is equal; otherwise field count,
// then field names and values in order.
int32_t compare_fields(const Cell* a, const Cell* b, int op);

}  // namespace vel::object
