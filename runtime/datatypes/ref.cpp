// ref!: a string! written after "@" (@name). It cannot be appended to, put
// into or walked by a path; everything else is string!'s.
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "roots.h"

namespace vel {

namespace {

may_gc int32_t ref_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  RootedNode keep(out);
  append_char(out, '@');
  return string::form(value, out, nullptr, part - 1);
}

}  // namespace

void register_type_REF() {
  TypeBuilder b(TYPE_REF);
  b.mold(ref_mold);
  for (ActionId a : {ACT_MAKE, ACT_REFLECT, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_AT, ACT_BACK, ACT_CHANGE, ACT_CLEAR,
                     ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE,
                     ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP, ACT_TAIL,
                     ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
    b.inherit(a);
  b.done();
}

}  // namespace vel
