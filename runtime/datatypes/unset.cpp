// unset!: the value of nothing. Every unset value equals every other; none
// orders.
#include "action_frames.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "series_ops.h"

namespace vel {

may_gc Cell* unset_make_in(NodeId block) {
  Cell* c = alloc_tail(block);
  *c = UNSET_VALUE;
  return c;
}

namespace {

// make and to: [type spec]. Whatever the spec, the value of the type.
Status unset_make(Cell* base) {
  using enum act::make::Frame;
  base[RESULT] = UNSET_VALUE;
  return Status::OK;
}

int32_t unset_form(Cell, NodeId, const Cell*, int32_t part) { return part; }

int32_t unset_mold(Cell, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t) {
  return append_fixed(out, (flags & MOLD_ALL) ? "#(unset)" : "unset", part);
}

int32_t unset_compare(const Cell*, const Cell* b, int op) {
  return b->is(TYPE_UNSET) ? all_equal_answer(op) : CMP_INCOMPARABLE;
}

}  // namespace

void register_type_UNSET() {
  TypeBuilder(TYPE_UNSET)
      .action(ACT_MAKE, unset_make)
      .action(ACT_TO, unset_make)
      .form(unset_form)
      .mold(unset_mold)
      .compare(unset_compare)
      .done();
}

}  // namespace vel
