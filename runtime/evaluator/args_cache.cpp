// Argument caches: what the interpreter reads of a callable's spec on
// every call, built from the spec once.
#include "datatypes/core_words.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "errors.h"
#include "evaluator/interp_detail.h"
#include "roots.h"

namespace vel::interp {

using namespace detail;

namespace {

// Builds the argument cache of a callable from its spec (once).
may_gc Cell build_args_cache(const Cell& fn) {
  bool native = fn.is(TYPE_NATIVE) || fn.is(TYPE_ACTION);
  RootedCell keep(fn);
  Cell spec = series_cell(TYPE_BLOCK, func::spec_node(fn));
  uint32_t n = block_length(spec.node());
  RootedCell cache(series_cell(TYPE_BLOCK, alloc_cells(n + 2)));
  uint32_t refinements = 0, locals = 0;
  for (uint32_t i = 0; i < n; i++) {
    Cell item = node_buffer(spec.node())->cells()[i];
    auto append = [&](const Cell& c) {
      NodeId blk = cache->node();
      Buffer* b = node_buffer(blk);
      if (b->tail + 16 > b->capacity) b = expand_series(blk, 0);
      *b->cell_tail() = c;
      b->tail += 16;
    };
    auto arg_typeset = [&](uint32_t mode) {
      Cell ts;
      if (i + 1 < n && node_buffer(spec.node())->cells()[i + 1].is(TYPE_BLOCK) &&
          block_length(node_buffer(spec.node())->cells()[i + 1].node()) >
              uint32_t(node_buffer(spec.node())->cells()[i + 1].index())) {
        ts = typeset::from_spec(node_buffer(spec.node())->cells()[i + 1]);
      } else {
        ts = typeset::make_default();
      }
      ts.header = (ts.header & ~func::ARG_MODE_MASK) | (mode << func::ARG_MODE_SHIFT);
      append(ts);
    };
    switch (item.type()) {
      case TYPE_WORD:
        arg_typeset(func::ARG_NORMAL);
        break;
      case TYPE_GET_WORD:
        arg_typeset(func::ARG_GET);
        break;
      case TYPE_LIT_WORD:
        arg_typeset(func::ARG_LIT);
        break;
      case TYPE_SET_WORD:
        if (symbol::resolve(item.w2) != sym(SymId::RETURN)) fire(ErrId::BAD_FUNC_DEF, item);
        arg_typeset(func::ARG_RETURN);
        break;
      case TYPE_REFINEMENT: {
        if (symbol::resolve(item.w2) == sym(SymId::LOCAL)) {
          // The locals: /local and every word after it, up to return: or the end.
          locals = 1;
          for (i++; i < n; i++) {
            Cell l = node_buffer(spec.node())->cells()[i];
            if (l.is(TYPE_SET_WORD)) {
              i--;
              break;
            }
            if (l.is(TYPE_WORD)) locals++;
          }
          break;
        }
        Cell r = item;
        if (native) r.w3 = ++refinements;
        append(r);
        break;
      }
      default:
        break;
    }
  }
  NodeId blk = cache->node();
  if (locals > 0) {
    Buffer* b = node_buffer(blk);
    if (b->tail + 16 > b->capacity) b = expand_series(blk, 0);
    *b->cell_tail() = integer_cell(int32_t(locals));
    b->tail += 16;
  }
  // The call shape in the cache cell's spare word, so that calls without
  // path refinements can skip the general loop: the number of leading
  // plain arguments and the locals, when every entry before the first
  // refinement is a plain argument and there is no return: entry.
  bool simple = true, in_refinements = false, lead = true;
  uint32_t arity = 0;
  for (uint32_t i = 0, m = block_length(cache->node()); i < m; i++) {
    const Cell& e = node_buffer(cache->node())->cells()[i];
    if (e.is(TYPE_REFINEMENT)) {
      in_refinements = true;
      lead = false;
    } else if (e.is(TYPE_TYPESET)) {
      func::ArgMode mode = func::arg_mode(e);
      if (mode == func::ARG_RETURN) lead = false;
      else if (lead && mode == func::ARG_NORMAL) arity++;
      else if (!in_refinements) simple = false;
    }
  }
  Cell summary = *cache;
  summary.w3 = (simple && arity < 256 && locals < 32768)
                   ? (SHAPE_SIMPLE | (in_refinements ? SHAPE_REFINEMENTS : 0) | arity | (locals << 8))
                   : 0;
  *func::more_cell(*keep, func::MORE_CACHE) = summary;
  return summary;
}

}  // namespace

namespace detail {

Cell args_cache(const Cell& fn) {
  Cell* c = func::more_cell(fn, func::MORE_CACHE);
  if (c->is(TYPE_BLOCK)) return *c;
  return build_args_cache(fn);
}

// The error argument naming a call: the word, or the path.
Cell call_name(const Cell& name) { return name.is(TYPE_UNSET) ? runtime_word(SymId::ANON_TAG) : name; }

// The word of argument entry i (for errors): word i of the spec.
Cell arg_word(const Cell& fn, uint32_t entry) {
  // Entries index the spec's argument words in order; find the entry-th one.
  NodeId spec = func::spec_node(fn);
  uint32_t n = block_length(spec), k = 0;
  for (uint32_t i = 0; i < n; i++) {
    Cell c = node_buffer(spec)->cells()[i];
    TypeId t = c.type();
    if (t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD || t == TYPE_REFINEMENT || t == TYPE_SET_WORD) {
      if (k == entry) {
        c.set_type(TYPE_WORD);
        return c;
      }
      k++;
    }
  }
  return none_cell();
}

int32_t find_refinement(NodeId cache, uint32_t symbol, int32_t* slot) {
  uint32_t at = 0;
  Buffer* b = node_buffer(cache);
  for (uint32_t i = 0, n = b->used() >> 4; i < n; i++) {
    const Cell& e = b->cells()[i];
    if ((e.is(TYPE_TYPESET) && func::arg_mode(e) == func::ARG_RETURN) || e.is(TYPE_INTEGER)) continue;
    if (e.is(TYPE_REFINEMENT) && symbol::resolve(e.w2) == symbol) {
      *slot = int32_t(at);
      return int32_t(i);
    }
    at++;
  }
  return -1;
}

Status expect_arg(const Cell& fn, const Cell& name, const Cell& value, uint32_t entry) {
  return fail_eval(ErrId::EXPECT_ARG, call_name(name), datatype_cell(value.type()), arg_word(fn, entry));
}

// The refinements of a call that uses none of them: false, and none for
// their arguments.
[[gnu::noinline]] void push_unused_refinements(NodeId cache, uint32_t from) {
  Buffer* cb = node_buffer(cache);
  for (uint32_t i = from, n = cb->used() >> 4; i < n; i++) {
    TypeId t = cb->cells()[i].type();
    if (t == TYPE_REFINEMENT) push(logic_cell(false));
    else if (t == TYPE_TYPESET && func::arg_mode(cb->cells()[i]) != func::ARG_RETURN) push(none_cell());
  }
}

}  // namespace detail

may_gc Cell arguments_cache(const Cell& fn) { return args_cache(fn); }

may_gc uint32_t frame_size(const Cell& fn) {
  Cell cache = args_cache(fn);
  uint32_t n = block_length(cache.node()), size = 0;
  for (uint32_t i = 0; i < n; i++) {
    Cell e = node_buffer(cache.node())->cells()[i];
    if (e.is(TYPE_REFINEMENT) || (e.is(TYPE_TYPESET) && func::arg_mode(e) != func::ARG_RETURN)) size++;
    if (e.is(TYPE_INTEGER)) size += e.w2;
  }
  return size;
}

}  // namespace vel::interp
