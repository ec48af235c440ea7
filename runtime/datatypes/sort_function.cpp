// Comparator functions of sort: see sort_function.h.
#include "datatypes/sort_function.h"

#include <iterator>

#include <algorithm>

#include "frame.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "eval.h"
#include "datatypes/function.h"
#include "datatypes/series_actions.h"
#include "errors.h"
#include "families.h"
#include "roots.h"
#include "stack.h"

namespace vel {

may_gc void sort_function_shape(SortFunction* f, const Cell& fn) {
  RootedCell cache(interp::arguments_cache(fn));
  uint32_t args = 0, cells = 0;
  for (uint32_t i = 0; i < block::total(*cache); i++) {
    Cell e = block::buffer(*cache)->cells()[i];
    if (e.is(TYPE_INTEGER)) {
      f->locals = uint32_t(std::max(e.i2(), 0));
    } else if (e.is(TYPE_REFINEMENT)) {
      if (f->refinement_count == std::size(f->refinements)) fire_refine_arg("compare", fn);
      f->refinements[f->refinement_count++] = int32_t(cells++);
    } else if (e.is(TYPE_TYPESET) && func::arg_mode(e) != func::ARG_RETURN) {
      // The two elements go to the first two arguments before any refinement.
      if (f->refinement_count == 0) {
        if (args == 1) f->second_arg = cells;
        args++;
      }
      cells++;
    }
  }
  if (args < 2) fire_refine_arg("compare", fn);
  f->frame_cells = cells;
}

// The stack cells hold everything while the function runs.
may_gc Cell call_sort_function(const SortFunction& f, const Cell& x, const Cell& y) {
  uint32_t saved_top = cell_index(g_stack.top);
  const Cell fn = *f.fn;
  push(fn);
  bool is_fn = fn.is(TYPE_FUNCTION);
  Cell* fbase = stack_mark((is_fn ? FRAME_FUNCTION : FRAME_NATIVE) | FRAME_INTERPRETED,
                           sym_exact(SymId::COMPARE_CALLBACK_TAG), 0);
  if (is_fn) g_stack.frame_top[-1].func_ctx = func::context_of(fn);
  for (uint32_t i = 0; i < f.frame_cells; i++) push(none_cell());
  for (uint32_t i = 0; i < f.refinement_count; i++) fbase[f.refinements[i]] = logic_cell(false);
  fbase[FIRST] = x;
  fbase[f.second_arg] = y;
  func::init_locals(int32_t(f.locals));
  Status s = interp::call_with_frame(fn, fbase);
  if (s != Status::OK) throw SortSignal{s};
  Cell r = *fbase;
  stack_unwind();
  g_stack.top = g_stack.begin + saved_top;
  return r;
}

may_gc int sort_function_order(const SortFunction& f, const Cell& x_in, const Cell& y_in) {
  RootedCell x(x_in), y(y_in);
  auto order = [](const Cell& r, bool* truth) -> int {
    if (r.is(TYPE_INTEGER)) return r.i2() < 0 ? -1 : r.i2() > 0;
    if (r.is(TYPE_FLOAT)) return r.f64() < 0.0 ? -1 : r.f64() > 0.0;
    *truth = !(r.is(TYPE_NONE) || (r.is(TYPE_LOGIC) && r.w1 == 0));
    return 2;
  };
  bool truth = false;
  int o = order(call_sort_function(f, *x, *y), &truth);
  if (o != 2) return o;
  if (truth) return -1;
  o = order(call_sort_function(f, *y, *x), &truth);
  if (o != 2) return -o;
  return truth ? 1 : 0;
}

may_gc SortRecords sort_records(const Cell* skip, const Cell* compare, bool all, int64_t len, RootedCell& fn_value,
                                SortFunction* fn) {
  SortRecords r;
  if (skip) {
    if (!skip->is(TYPE_INTEGER)) fire_refine_arg("skip", *skip);
    r.record = skip->i2();
    if (r.record < 1 || len < r.record || len % r.record) fire_refine_arg("skip", *skip);
  }
  if (all && !skip) fire(ErrId::BAD_REFINES);
  if (compare) {
    const Cell& cmp = *compare;
    if (cmp.is(TYPE_INTEGER)) {
      if (all) fire(ErrId::BAD_REFINES);
      if (cmp.i2() < 1 || cmp.i2() > r.record) fire(ErrId::OUT_OF_RANGE, cmp);
      r.offset = cmp.i2() - 1;
    } else if (is_callable(cmp.type())) {
      *fn_value = cmp;
      sort_function_shape(fn, *fn_value);
      fn->fn = fn_value.get();
    } else {
      fire_refine_arg("compare", cmp);
    }
  }
  return r;
}

}  // namespace vel
