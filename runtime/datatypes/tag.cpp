// tag!: a string! written between angle brackets (<a href>); form and mold
// give the same text. Everything else is string!'s.
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "roots.h"

namespace vel {

namespace {

// The /part budget counts each bracket.
may_gc int32_t tag_form(Cell value, NodeId out, const Cell*, int32_t part) {
  RootedNode keep(out);
  append_char(out, '<');
  int32_t left = string::form(value, out, nullptr, part - 1);
  append_char(out, '>');
  return left - 1;
}

may_gc int32_t tag_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return tag_form(value, out, nullptr, part);
}

}  // namespace

void register_type_TAG() {
  TypeBuilder b(TYPE_TAG);
  b.form(tag_form).mold(tag_mold);
  for (ActionId a : {ACT_MAKE, ACT_REFLECT, ACT_TO, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK,
                     ACT_CHANGE, ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT,
                     ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE, ACT_REVERSE, ACT_SELECT,
                     ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
    b.inherit(a);
  b.done();
}

}  // namespace vel
