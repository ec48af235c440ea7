// The frame of an action, native or routine call: base[0] is the first
// argument and the result cell, the arguments follow in spec order, and each
// refinement has one logic cell (true when the call used it) followed by its
// own arguments (none when it was not used). The cells are named from the
// specs in the library: act::<name>::Frame (generated/action_frames.h),
// nat::<name>::Frame (native_frames.h) and rtn::<entry>::Frame
// (routine_frames.h); an entry reads its cells through those names.
#pragma once
#include "cell.h"

namespace vel {

// Where an entry leaves its result: the first argument's cell.
constexpr int RESULT = 0;
// The first argument, in the same cell: what an action dispatches on, and
// what code that serves any action (or calls a function) reads or writes.
constexpr int FIRST = 0;

// An action's frame as a whole: how many cells it has and, one bit a cell,
// which of them are refinements. Written for every action into
// act::<name>::SHAPE (generated/action_frames.h).
struct ActionShape {
  ActionId action;
  uint8_t size;
  uint32_t refinements;
};

// Whether a refinement's cell says the call used it.
inline bool used(const Cell& refinement) { return refinement.is(TYPE_LOGIC) && refinement.w1 != 0; }

}  // namespace vel
