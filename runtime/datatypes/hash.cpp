// hash!: a block! with a hash table (kind hash) over its cells. It is a
// block for every series action; the block actions keep the table in step
// on every edit (block.cpp, block_edit.cpp, series.cpp) and find/select
// look values up through it. Its own actions make, convert, copy and mold.
#include "action_frames.h"
#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "frame.h"
#include "hashtable.h"
#include "roots.h"
#include "series_ops.h"

namespace vel {

namespace {

// Makes a block cell a hash! with a new table over its cells.
may_gc Cell hashed(const Cell& b_in) {
  RootedCell b(b_in);
  b->set_type(TYPE_HASH);
  uint32_t n = block::total(*b);
  b->w3 = 0;
  NodeId t = hash_table::make(n ? n : 1, b->node(), hash_table::KIND_HASH);
  b->w3 = t;
  return *b;
}

// copy with /part, /deep and /types as the block copy takes them. A whole
// copy from the head takes a copy of the source's table; any other builds
// one over the cells copied.
may_gc Cell hash_copy_of(const Cell& src_in, const Cell* part, bool deep, const Cell* types) {
  RootedCell src(src_in);
  RootedCell r(block_copy(*src, part, deep, types));
  r->set_type(TYPE_BLOCK);
  if (src->index() == 0 && !part && !deep && !types && src->w3) {
    NodeId t = hash_table::copy(src->w3, r->node());
    r->set_type(TYPE_HASH);
    r->w3 = t;
    return *r;
  }
  return hashed(*r);
}

// to: type spec. Every spec but a hash! goes through to block!.
Status hash_to(Cell* base) {
  using enum act::to::Frame;
  const Cell spec = base[SPEC];
  if (spec.is(TYPE_HASH)) {
    base[RESULT] = hash_copy_of(spec, nullptr, false, nullptr);
    return Status::OK;
  }
  RootedCell b(call_action(act::to::SHAPE, {{act::to::TYPE, datatype_cell(TYPE_BLOCK)}, {act::to::SPEC, spec}}));
  base[RESULT] = hashed(*b);
  return Status::OK;
}

// make: type spec. A number is the room; a block's cells from its index
// are copied; anything else is converted as to does.
Status hash_make(Cell* base) {
  using enum act::make::Frame;
  const Cell spec = base[SPEC];
  switch (spec.type()) {
    case TYPE_INTEGER:
    case TYPE_FLOAT: {
      int32_t n = check_float_to_int(spec);
      base[RESULT] = hashed(block::make_at(n < 1 ? 1 : n));
      return Status::OK;
    }
    case TYPE_BLOCK: base[RESULT] = hashed(series_copy(spec, nullptr)); return Status::OK;
    case TYPE_HASH: base[RESULT] = hash_copy_of(spec, nullptr, false, nullptr); return Status::OK;
    default: return hash_to(base);
  }
}

// copy: value /part length /deep /types kind.
Status hash_copy(Cell* base) {
  using enum act::copy::Frame;
  const Cell* part = used(base[PART]) ? &base[LENGTH] : nullptr;
  const Cell* types = copy_types_arg(base);
  base[RESULT] = hash_copy_of(base[VALUE], part, used(base[DEEP]), types);
  return Status::OK;
}

int32_t hash_mold(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  RootedNode out(out_in);
  if (!(flags & MOLD_ONLY)) {
    append_latin1(out, "make hash! ");
    part -= 11;
  }
  return g_types[TYPE_BLOCK].mold(v, out, flags, arg, part, indent);
}

// sort: the block's sort, then the cells from the position are entered
// again at their new places.
Status hash_sort(Cell* base) {
  using enum act::sort::Frame;
  Status st = action_of(TYPE_BLOCK, ACT_SORT)(base);
  if (st != Status::OK) return st;
  const Cell h = base[SERIES];
  int64_t from = series_index(h), total = block::total(h);
  if (h.w3 && from < total) {
    hash_table::remove_range(h.w3, uint32_t(from), uint32_t(total - from));
    hash_table::index_block(base[SERIES].w3, uint32_t(from), 1);
  }
  return Status::OK;
}

}  // namespace

// Everything but random (a shuffle would leave the table behind) and
// set-path comes from block!, whose edits keep the table in step (trim
// rebuilds it); sort is its own.
void register_type_HASH() {
  TypeBuilder b(TYPE_HASH);
  for (ActionId a : {ACT_REFLECT, ACT_EVAL_PATH, ACT_COMPARE, ACT_FORM, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE,
                     ACT_CLEAR, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE,
                     ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP,
                     ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY, ACT_TRIM})
    b.inherit(a);
  b.action(ACT_MAKE, hash_make)
      .action(ACT_TO, hash_to)
      .action(ACT_COPY, hash_copy)
      .action(ACT_SORT, hash_sort)
      .mold(hash_mold)
      .done();
}

}  // namespace vel
