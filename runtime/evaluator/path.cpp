// Paths: a word followed by selectors, each step through the value's
// type; a callable met on the way is called with the rest as refinements.
#include <algorithm>
#include <optional>
#include <vector>

#include "datatypes/registry.h"
#include "errors.h"
#include "evaluator/interp_detail.h"
#include "families.h"
#include "roots.h"

namespace vel::interp {

using namespace detail;
using trace::Where;

may_gc Status eval_path(const Cell& path, Code* code, bool set, bool get, bool push_mode, bool case_sensitive) {
  RootedCell keep(path);
  NodeId pnode = path.node();
  uint32_t len = block_length(pnode);
  uint32_t head = path.index() < 0 ? 0 : std::min<uint32_t>(uint32_t(path.index()), len);
  if (head >= len) return fail_eval(ErrId::EMPTY_PATH);
  Cell first = node_buffer(pnode)->cells()[head];
  if (!first.is(TYPE_WORD)) return fail_eval(ErrId::WORD_FIRST, path);
  TypeId ptype = path.type();
  VEL_TRACE(trace::EV_ENTER, Where{pnode, ptype, int32_t(head)}, nullptr);
  VEL_TRACE(trace::EV_FETCH, Where{pnode, ptype, int32_t(head)}, &first);
  uint32_t start = cell_index(g_stack.top);
  Cell set_value = set ? *g_stack.base : unset_cell();
  RootedCell value(word_value(first));
  if (is_callable(value->type())) {
    if (set) return fail_eval(ErrId::INVALID_PATH_SET, path);
    if (get) return fail_eval(ErrId::INVALID_PATH_GET, path);
    PathRefs refs{keep.get(), head + 1};
    VEL_TRY(eval_call_refs(*value, path, code, push_mode, false, &refs));
    VEL_TRACE(trace::EV_EXIT, Where{pnode, ptype, int32_t(len)}, g_stack.top - 1);
    return Status::OK;
  }
  if (value->is(TYPE_UNSET)) return fail_eval(ErrId::UNSET_PATH, path, first);
  VEL_TRACE(trace::EV_PUSH, Where{pnode, ptype, int32_t(head) + 1}, value.get());
  RootedCell parent(none_cell());
  RootedCell prev(first);
  int32_t step = 0;
  // A set-path keeps every level's step, with its parent and element, for
  // scalars that store a changed copy back into the level above.
  std::vector<Cell> levels;
  std::vector<PathStep> steps;
  std::optional<RootedCells> levels_root;
  if (set) {
    levels.resize(2 * size_t(len - head));
    steps.resize(len - head);
    levels_root.emplace(levels.data(), levels.size());
  }
  for (uint32_t k = head + 1; k < len; k++) {
    Cell el = node_buffer(pnode)->cells()[k];
    VEL_TRACE(trace::EV_FETCH, Where{pnode, ptype, int32_t(k)}, &el);
    RootedCell selector(el);
    if (el.is(TYPE_GET_WORD)) {
      *selector = word_value(el);
    } else if (el.is(TYPE_PAREN)) {
      Cell blk = el;
      blk.set_type(TYPE_BLOCK);
      VEL_TRY(eval_block(blk, false));
      *selector = *(g_stack.top - 1);
    }
    if (selector->is(TYPE_UNSET)) return fail_eval(ErrId::INVALID_PATH, path, el);
    VEL_TRACE(trace::EV_PUSH, Where{pnode, ptype, int32_t(k) + 1}, selector.get());
    bool last = k + 1 >= len;
    PathStep ps{keep.get(), parent.get(), prev.get(), step, case_sensitive, get, last, false};
    if (set && last && k - head >= 2) {
      ps.owner = (parent->is(TYPE_OBJECT) && parent->w3 != 0 && prev->is(TYPE_WORD)) || is_any_block(parent->type());
    }
    if (set) {
      size_t i = size_t(step);
      levels[2 * i] = *parent;
      levels[2 * i + 1] = *prev;
      ps.parent = &levels[2 * i];
      ps.prev_elem = &levels[2 * i + 1];
      ps.outer = i > 0 ? &steps[i - 1] : nullptr;
      steps[i] = ps;
    }
    Cell next = eval_path_step(*value, *selector, (set && last) ? &set_value : nullptr, ps);
    if (take_value_failure()) [[unlikely]]
      return Status::RAISED;
    if (!set && !get && is_callable(next.type())) {
      g_stack.top = g_stack.begin + start;
      PathRefs refs{keep.get(), k + 1};
      VEL_TRY(eval_call_refs(next, path, code, push_mode, false, &refs));
      VEL_TRACE(trace::EV_EXIT, Where{pnode, ptype, int32_t(len)}, g_stack.top - 1);
      return Status::OK;
    }
    *parent = *value;
    *value = next;
    *prev = el;
    step++;
  }
  VEL_TRACE(trace::EV_EXIT, Where{pnode, ptype, int32_t(len)}, value.get());
  g_stack.top = g_stack.begin + start;
  place(*value, push_mode);
  return Status::OK;
}

}  // namespace vel::interp
