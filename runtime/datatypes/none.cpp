// none!: the value of no value. Every none equals every other; none
// orders. The series actions that look something up answer none on it.
#include "action_frames.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "series_ops.h"

namespace vel {

may_gc Cell* none_make_in(NodeId block) {
  Cell* c = alloc_tail(block);
  *c = NONE_VALUE;
  return c;
}

namespace {

// make and to: [type spec]. Whatever the spec, the value of the type.
Status none_make(Cell* base) {
  using enum act::make::Frame;
  base[RESULT] = NONE_VALUE;
  return Status::OK;
}

int32_t none_form(Cell, NodeId out, const Cell*, int32_t part) { return append_fixed(out, "none", part); }

int32_t none_mold(Cell, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t) {
  return append_fixed(out, (flags & MOLD_ALL) ? "#(none)" : "none", part);
}

int32_t none_compare(const Cell*, const Cell* b, int op) {
  return b->is(TYPE_NONE) ? all_equal_answer(op) : CMP_INCOMPARABLE;
}

// clear, find, length?, remove, select, take on none: none, whatever the
// refinements.
Status none_series_action(Cell* base) {
  base[RESULT] = NONE_VALUE;
  return Status::OK;
}

}  // namespace

void register_type_NONE() {
  TypeBuilder(TYPE_NONE)
      .action(ACT_MAKE, none_make)
      .action(ACT_TO, none_make)
      .form(none_form)
      .mold(none_mold)
      .compare(none_compare)
      .action(ACT_CLEAR, none_series_action)
      .action(ACT_FIND, none_series_action)
      .action(ACT_LENGTH_Q, none_series_action)
      .action(ACT_REMOVE, none_series_action)
      .action(ACT_SELECT, none_series_action)
      .action(ACT_TAKE, none_series_action)
      .done();
}

}  // namespace vel
