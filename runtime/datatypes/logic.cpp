// logic!: true and false, the truth tests every conditional uses, and the
// comparison driver. unset! and none! have their own files.
#include "datatypes/logic.h"

#include "action_frames.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "random.h"
#include "series_ops.h"

namespace vel {

// --- makers and truth tests -----------------------------------------------------

may_gc Cell* logic_make_in(NodeId block, bool v) {
  Cell* c = alloc_tail(block);
  *c = logic_cell(v);
  return c;
}

bool logic_true_q() {
  const Cell& c = *g_stack.base;
  if (c.is(TYPE_UNSET)) fire(ErrId::NO_RETURN);
  return truthy(c);
}

bool logic_false_q() { return !truthy(*g_stack.base); }

bool logic_true_value_q(const Cell& c, bool check, const Cell& arg) {
  if (check && c.is(TYPE_UNSET)) fire(ErrId::NO_VALUE, arg);
  return truthy(c);
}

bool logic_top_true_q() {
  const Cell& c = g_stack.top > g_stack.base ? g_stack.top[-1] : *g_stack.base;
  return truthy(c);
}

int compare_values_or_fail(const Cell* a, const Cell* b, int op) {
  int32_t r = compare_cells(a, b, op);
  switch (op) {
    case CMP_EQUAL:
    case CMP_STRICT_EQUAL:
    case CMP_SAME:
    case CMP_WORD_MATCH:
    case CMP_WORD_MATCH_CASE:
    case CMP_FIND:
      return r == 0;
    case CMP_NOT_EQUAL:
      return r != 0;
    default:
      break;
  }
  if (r == CMP_INCOMPARABLE) return -1;
  switch (op) {
    case CMP_LESSER: return r < 0;
    case CMP_LESSER_OR_EQUAL: return r < 1;
    case CMP_GREATER: return r >= 1;
    case CMP_GREATER_OR_EQUAL: return r >= 0;
    default: return r < 0;  // the sort orders: "a sorts first"
  }
}

bool compare_values(const Cell* a, const Cell* b, int op) {
  int r = compare_values_or_fail(a, b, op);
  if (r < 0) fire(ErrId::INVALID_COMPARE, *a, *b);
  return r;
}

namespace {

// make: [type spec]. Numbers are true unless zero (a NaN is true); any
// other spec as to.
Status logic_make(Cell* base) {
  using enum act::make::Frame;
  const Cell& spec = base[SPEC];
  switch (spec.type()) {
    case TYPE_INTEGER:
      base[RESULT] = logic_cell(spec.i2() != 0);
      return Status::OK;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
      base[RESULT] = logic_cell(!(spec.f64() == 0.0));
      return Status::OK;
    default:
      break;
  }
  base[RESULT] = spec.is(TYPE_LOGIC) ? logic_cell(logic_get(spec)) : logic_cell(!spec.is(TYPE_NONE));
  return Status::OK;
}

// to: [type spec]. A logic stays itself, none is false, anything else true.
Status logic_to(Cell* base) {
  using enum act::to::Frame;
  const Cell& spec = base[SPEC];
  base[RESULT] = spec.is(TYPE_LOGIC) ? logic_cell(logic_get(spec)) : logic_cell(!spec.is(TYPE_NONE));
  return Status::OK;
}

int32_t logic_form(Cell v, NodeId out, const Cell*, int32_t part) {
  return append_fixed(out, logic_get(v) ? "true" : "false", part);
}

int32_t logic_mold(Cell v, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t) {
  if (flags & MOLD_ALL) return append_fixed(out, logic_get(v) ? "#(true)" : "#(false)", part);
  return logic_form(v, out, nullptr, part);
}

// false sorts before true.
int32_t logic_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_LOGIC) || !is_equality_or_sort(op)) return CMP_INCOMPARABLE;
  return int32_t(logic_get(*a)) - int32_t(logic_get(*b));
}

// complement: [value].
Status logic_complement(Cell* base) {
  using enum act::complement::Frame;
  base[VALUE].w1 = !logic_get(base[VALUE]);
  return Status::OK;
}

// random: [value /seed /secure /only]. True when one draw is in the upper
// half of its range.
Status logic_random(Cell* base) {
  using enum act::random::Frame;
  if (truthy(base[SEED])) {
    random::seed(int32_t(logic_get(base[VALUE])));
    base[RESULT] = UNSET_VALUE;
    return Status::OK;
  }
  int32_t d = truthy(base[SECURE]) ? random::secure_next() : random::next();
  base[RESULT] = logic_cell(d > 0x3FFFFFFF);
  return Status::OK;
}

// and~, or~, xor~: [value1 value2].
template <MathOp OP>
Status logic_bitwise(Cell* base) {
  using enum act::and_t::Frame;
  if (!base[VALUE2].is(TYPE_LOGIC)) fire(ErrId::EXPECT_ARG, datatype_cell(base[VALUE2].type()));
  bool a = logic_get(base[VALUE1]), b = logic_get(base[VALUE2]);
  static_assert(OP == MATH_AND || OP == MATH_OR || OP == MATH_XOR);
  bool r = OP == MATH_AND ? (a && b) : OP == MATH_OR ? (a || b) : (a != b);
  base[VALUE1].w1 = r;
  return Status::OK;
}

}  // namespace

void register_type_LOGIC() {
  TypeBuilder(TYPE_LOGIC)
      .action(ACT_MAKE, logic_make)
      .action(ACT_RANDOM, logic_random)
      .action(ACT_TO, logic_to)
      .form(logic_form)
      .mold(logic_mold)
      .compare(logic_compare)
      .action(ACT_AND_T, logic_bitwise<MATH_AND>)
      .action(ACT_COMPLEMENT, logic_complement)
      .action(ACT_OR_T, logic_bitwise<MATH_OR>)
      .action(ACT_XOR_T, logic_bitwise<MATH_XOR>)
      .done();
}

}  // namespace vel
