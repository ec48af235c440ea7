// Callable values: native!, action!, op!, function! and routine!, the
// function constructors (spec checks, locals collection) and the routine
// registry.
#include "datatypes/function.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "action_frames.h"
#include "cycle.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "natives_table.h"
#include "families.h"
#include "roots.h"
#include "series_ops.h"

namespace vel::func {

Cell g_library_bodies = {};
StaticRoot g_library_bodies_root("function: library bodies while the boot code defines them", &g_library_bodies, 1);

namespace {

constexpr uint32_t MORE_CELLS = 5;

inline uint32_t length_of(NodeId n) { return node_buffer(n)->used() >> 4; }
inline Cell cell_at(NodeId n, uint32_t i) { return node_buffer(n)->cells()[i]; }
// A block's index clamped to [0, length].
inline uint32_t clamped_index(const Cell& b) {
  uint32_t len = length_of(b.node());
  return b.index() < 0 ? 0 : std::min<uint32_t>(uint32_t(b.index()), len);
}
inline uint32_t canon(const Cell& w) { return symbol::resolve(w.w2); }
inline bool is_sym(const Cell& w, SymId s) { return canon(w) == sym(s); }

// The block of a spec or body at index 0: a block at its head is used as
// it is, one at a later index is copied from there (shallow).
may_gc Cell at_head(const Cell& b) {
  Cell r = b;
  r.w1 = clamped_index(b);
  if (r.w1 != 0) r = block::clone(r, false, false);
  r.header = TYPE_BLOCK;
  return r;
}

// A five-cell more block: body, cache, code, op source, enclosing context.
may_gc NodeId make_more(const Cell& body, const Cell& code, const Cell& cell4) {
  NodeId more = alloc_unset_cells(MORE_CELLS);
  Buffer* b = node_buffer(more);
  b->tail = b->head + MORE_CELLS * sizeof(Cell);
  Cell* c = b->cells();
  c[MORE_BODY] = body;
  c[MORE_CODE] = code;
  c[MORE_CONTEXT] = cell4;
  return more;
}

// --- spec checks ------------------------------------------------------------------

// Entries of an argument's type block: datatypes, typesets, or words whose
// values are datatypes, typesets or words.
void check_type_block(const Cell& types) {
  NodeId n = types.node();
  for (uint32_t i = clamped_index(types); i < length_of(n); i++) {
    Cell e = cell_at(n, i);
    TypeId t = e.type();
    if (t == TYPE_DATATYPE || t == TYPE_TYPESET) continue;
    if (t == TYPE_WORD) {
      Cell v = word::get(e);
      if (v.is(TYPE_DATATYPE) || v.is(TYPE_TYPESET) || v.is(TYPE_WORD)) continue;
    }
    fire(ErrId::INVALID_TYPE_SPEC, e);
  }
}

// Repeated names among the spec's words and refinements.
void check_duplicates(const Cell& spec, uint32_t from) {
  NodeId n = spec.node();
  std::unordered_set<uint32_t> seen;
  for (uint32_t i = from; i < length_of(n); i++) {
    Cell c = cell_at(n, i);
    if (!is_arg_word(c.type()) && !c.is(TYPE_REFINEMENT)) continue;
    if (!seen.insert(canon(c)).second) fire(ErrId::DUP_VARS, c);
  }
}

// --- locals collection ---------------------------------------------------------------

struct LocalsWalk {
  std::unordered_set<uint32_t> ignore;  // canonical symbols not to collect
  NodeId result;

  may_gc void collect(const Cell& w) {
    if (!ignore.insert(canon(w)).second) return;
    Cell c = make_cell(TYPE_WORD, w.w1, w.w2, w.w3);
    block::rs_append(result, c);
  }

  // The loop words after foreach, remove-each or repeat at position i + 1.
  may_gc void loop_words(NodeId n, uint32_t i, bool block_allowed) {
    if (i + 1 >= length_of(n)) return;
    Cell next = cell_at(n, i + 1);
    if (next.is(TYPE_WORD) || next.is(TYPE_SET_WORD)) {
      collect(next);
    } else if (block_allowed && next.is(TYPE_BLOCK)) {
      RootedCell words(next);
      for (uint32_t k = clamped_index(*words); k < length_of(words->node()); k++) {
        Cell w = cell_at(words->node(), k);
        if (is_arg_word(w.type())) collect(w);
      }
    }
  }

  may_gc void walk(const Cell& blk) {
    NodeId n = blk.node();
    if (cycles_find(n)) return;
    WalkDepth depth;
    CycleScope guard(n);
    RootedCell keep(blk);
    for (uint32_t i = clamped_index(blk); i < length_of(n); i++) {
      Cell c = cell_at(n, i);
      switch (c.type()) {
        case TYPE_BLOCK:
        case TYPE_PAREN:
          walk(c);
          break;
        case TYPE_SET_WORD:
          collect(c);
          break;
        case TYPE_WORD: {
          uint32_t s = canon(c);
          if (s == sym(SymId::FOREACH) || s == sym(SymId::REMOVE_EACH)) loop_words(n, i, true);
          else if (s == sym(SymId::REPEAT)) loop_words(n, i, false);
          break;
        }
        default:
          break;
      }
    }
  }
};

// --- routine registry ------------------------------------------------------------------

struct RoutineEntry {
  std::string name;
  RoutineFn fn;
};
std::vector<RoutineEntry>& routines() {
  static std::vector<RoutineEntry> table;
  return table;
}

// The name of the running call (the current frame's word), for errors.
Cell current_call_word() {
  if (g_stack.frame_top == g_stack.frames) return none_cell();
  const CallFrame& f = g_stack.frame_top[-1];
  return make_cell(TYPE_WORD, f.naming_ctx, f.symbol, uint32_t(-1));
}

// The first datatype of a typeset (the one an error names).
Cell first_type_of(const Cell& ts) {
  for (uint32_t t = 1; t < uint32_t(TYPE_COUNT); t++)
    if (typeset_has(ts, t)) return datatype_cell(TypeId(t));
  return none_cell();
}

// The type blocks of a typed routine's arguments, checked against the
// frame's argument cells: each block starts with a type word (any-type!
// admits everything).
void check_routine_args(const Cell& r, const Cell* base) {
  NodeId spec = spec_node(r);
  uint32_t arg = 0;
  for (uint32_t i = 0; i < length_of(spec); i++) {
    Cell c = cell_at(spec, i);
    if (c.is(TYPE_REFINEMENT) || c.is(TYPE_SET_WORD)) break;
    if (!c.is(TYPE_WORD)) continue;
    const Cell& v = base[arg++];
    if (i + 1 >= length_of(spec) || !cell_at(spec, i + 1).is(TYPE_BLOCK)) continue;
    Cell types = cell_at(spec, i + 1);
    if (clamped_index(types) >= length_of(types.node())) fire(ErrId::INVALID_TYPE_SPEC, types);
    Cell tw = cell_at(types.node(), clamped_index(types));
    if (!tw.is(TYPE_WORD)) fire(ErrId::INVALID_TYPE_SPEC, tw);
    if (is_sym(tw, SymId::ANY_TYPE_T)) continue;
    Cell expected = word::get_any(tw);
    bool ok = true;
    if (expected.is(TYPE_TYPESET)) {
      ok = typeset_has(expected, v.type());
      if (!ok) expected = first_type_of(expected);
    } else if (expected.is(TYPE_DATATYPE)) {
      ok = expected.w1 == v.type();
    }
    if (!ok) fire(ErrId::EXPECT_ARG, current_call_word(), expected, make_cell(TYPE_WORD, c.w1, c.w2, c.w3));
  }
}

// A typed routine's result converted by its return type.
void convert_routine_result(const Cell& r, Cell* result) {
  Cell rt = *more_cell(r, MORE_CONTEXT);
  if (!rt.is(TYPE_INTEGER)) return;
  switch (rt.i2()) {
    case TYPE_LOGIC:
      *result = logic_cell(truthy(*result) && !(result->is(TYPE_INTEGER) && result->i2() == 0));
      break;
    case TYPE_INTEGER:
      if (result->is(TYPE_FLOAT)) *result = integer_cell(check_float_to_int(*result));
      break;
    case TYPE_FLOAT:
      if (result->is(TYPE_INTEGER)) *result = float_cell(double(result->i2()));
      break;
    default:
      break;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// function! construction

may_gc uint32_t check_spec(const Cell& spec_in) {
  RootedCell spec(spec_in);
  NodeId n = spec->node();
  auto bad = [&]() { fire(ErrId::BAD_FUNC_DEF, *spec); };
  uint32_t i = clamped_index(*spec);
  uint32_t from = i;
  uint32_t flags = 0;
  if (i < length_of(n) && cell_at(n, i).is(TYPE_BLOCK)) {
    // The attribute block.
    Cell attrs = cell_at(n, i++);
    from = i;
    for (uint32_t k = clamped_index(attrs); k < length_of(attrs.node()); k++) {
      Cell a = cell_at(attrs.node(), k);
      if (!a.is(TYPE_WORD)) bad();
      if (is_sym(a, SymId::TRACE)) flags |= FN_TRACE;
      else if (is_sym(a, SymId::NO_TRACE)) flags |= FN_NO_TRACE;
    }
  }
  bool in_local = false, after_return = false;
  while (i < length_of(n)) {
    Cell c = cell_at(n, i++);
    TypeId t = c.type();
    switch (t) {
      case TYPE_WORD:
      case TYPE_LIT_WORD:
      case TYPE_GET_WORD:
        if (in_local ? t != TYPE_WORD : after_return) bad();
        // A type block comes before the doc string, not after it.
        if (i + 1 < length_of(n) && cell_at(n, i).is(TYPE_STRING) && cell_at(n, i + 1).is(TYPE_BLOCK)) bad();
        if (i < length_of(n) && cell_at(n, i).is(TYPE_BLOCK)) check_type_block(cell_at(n, i++));
        break;
      case TYPE_STRING:
        break;
      case TYPE_SET_WORD:
        if (!is_sym(c, SymId::RETURN) || after_return || in_local) bad();
        after_return = true;
        if (i >= length_of(n) || !cell_at(n, i).is(TYPE_BLOCK)) bad();
        i++;
        if (i < length_of(n) && !cell_at(n, i).is(TYPE_REFINEMENT) && !cell_at(n, i).is(TYPE_STRING)) bad();
        break;
      case TYPE_REFINEMENT: {
        if (is_sym(c, SymId::LOCAL)) in_local = true;
        else if (in_local || after_return) bad();
        if (i < length_of(n)) {
          TypeId nt = cell_at(n, i).type();
          if (!is_arg_word(nt) && nt != TYPE_REFINEMENT && nt != TYPE_SET_WORD && nt != TYPE_STRING) bad();
        }
        break;
      }
      default:
        bad();
    }
  }
  check_duplicates(*spec, from);
  return flags;
}

may_gc NodeId function_push(const Cell& spec_in, const Cell& body_in, NodeId ctx_in, int32_t code,
                            const Cell* enclosing, uint32_t flags) {
  RootedCell body(body_in);
  RootedCell spec(at_head(spec_in));
  RootedNode ctx(ctx_in);
  bool made = ctx == 0;
  if (made) ctx = context::from_spec(*spec, true, false, context::KIND_FUNCTION);
  NodeId more =
      make_more(none_cell(), code ? integer_cell(code) : unset_cell(), enclosing ? *enclosing : unset_cell());
  // On the stack before anything else is allocated: the stack keeps it.
  Cell* slot = push(make_cell(TYPE_FUNCTION, ctx, spec->node(), more));
  slot->header |= flags & (FN_TRACE | FN_NO_TRACE);
  context::owner(ctx) = *slot;
  uint32_t at = cell_index(slot);
  if (body->is(TYPE_BLOCK)) {
    Cell copy = *body;
    copy.w1 = clamped_index(copy);
    copy = block::clone(copy, true, true);
    copy.header = TYPE_BLOCK;
    *more_cell(g_stack.begin[at], MORE_BODY) = copy;
    if (made) context::bind(copy, ctx, false);
  }
  if (g_library_bodies.is(TYPE_BLOCK)) [[unlikely]] {
    Cell& fn = g_stack.begin[at];
    fn.header |= FN_NO_TRACE;
    Cell made_body = *more_cell(fn, MORE_BODY);
    if (made_body.is(TYPE_BLOCK)) block::rs_append(g_library_bodies.node(), made_body);
  }
  return ctx;
}

may_gc Cell collect_locals(const Cell& spec_in, const Cell& body_in) {
  RootedCell spec(spec_in), body(body_in);
  RootedCell result(block::make_at(8));
  NodeId n = spec->node();
  uint32_t start = clamped_index(*spec);
  LocalsWalk walk{{}, result->node()};

  int32_t extern_at = -1;
  for (uint32_t i = start; i < length_of(n); i++) {
    Cell c = cell_at(n, i);
    if (c.is(TYPE_SET_WORD) || is_arg_word(c.type()) || c.is(TYPE_REFINEMENT)) {
      walk.ignore.insert(canon(c));
      if (extern_at < 0 && c.is(TYPE_REFINEMENT) && is_sym(c, SymId::EXTERN)) extern_at = int32_t(i);
    }
  }
  if (extern_at >= 0) {
    for (uint32_t i = start; i < length_of(n); i++) {
      Cell c = cell_at(n, i);
      TypeId t = c.type();
      if (!(t == TYPE_SET_WORD || is_arg_word(t) || t == TYPE_REFINEMENT || t == TYPE_BLOCK || t == TYPE_STRING))
        fire(ErrId::BAD_FUNC_EXTERN, c);
    }
    // Locals declared after the extern list stay locals.
    bool local = false;
    for (uint32_t i = uint32_t(extern_at) + 1; i < length_of(n); i++) {
      Cell c = cell_at(n, i);
      if (c.is(TYPE_REFINEMENT) && is_sym(c, SymId::LOCAL)) local = true;
      else if (local && c.is(TYPE_WORD)) block::rs_append(result->node(), make_cell(TYPE_WORD, c.w1, c.w2, c.w3));
    }
    block::rs_clear_from(*spec, uint32_t(extern_at));
  }

  if (body->is(TYPE_BLOCK) || body->is(TYPE_PAREN)) walk.walk(*body);

  // `local` names the refinement: never a local of its own.
  NodeId r = result->node();
  for (uint32_t i = 0; i < length_of(r); i++) {
    if (is_sym(cell_at(r, i), SymId::LOCAL)) {
      Buffer* b = node_buffer(r);
      Cell* c = b->cells();
      std::copy(c + i + 1, c + length_of(r), c + i);
      b->tail -= sizeof(Cell);
      break;
    }
  }
  if (length_of(r) > 0) {
    if (count_locals(n, start, true) < 0) block::rs_append(n, refinement_cell(SymId::LOCAL));
    block::rs_append_block(n, *result);
  }
  return *result;
}

int32_t count_locals(NodeId spec, uint32_t start, bool required) {
  int32_t count = 0;
  bool found = false;
  for (uint32_t i = start; i < length_of(spec); i++) {
    Cell c = cell_at(spec, i);
    if (!found) {
      if (c.is(TYPE_REFINEMENT) && is_sym(c, SymId::LOCAL)) {
        found = true;
        count = 1;
      }
    } else if (c.is(TYPE_WORD)) {
      count++;
    }
  }
  if (found) return count;
  return required ? -1 : 0;
}

void init_locals(int32_t n) {
  if (n <= 0) return;
  push(logic_cell(false));
  for (int32_t i = 1; i < n; i++) push(none_cell());
}

// ---------------------------------------------------------------------------
// ops and lookups

bool op_spec_ok(const Cell& spec) {
  NodeId n = spec.node();
  int count = 0;
  bool word_seen = false;
  for (uint32_t i = 0; i < length_of(n); i++) {
    Cell c = cell_at(n, i);
    switch (c.type()) {
      case TYPE_WORD:
        word_seen = true;
        count++;
        break;
      case TYPE_LIT_WORD:
      case TYPE_GET_WORD:
        // The left operand is always evaluated.
        if (!word_seen) return false;
        count++;
        break;
      case TYPE_SET_WORD:
        return count == 2;
      case TYPE_REFINEMENT:
        return count == 2 && (is_sym(c, SymId::LOCAL) || is_sym(c, SymId::EXTERN));
      default:
        break;
    }
  }
  return count == 2;
}

NodeId function_context(const Cell& fn) {
  TypeId t = fn.is(TYPE_OP) ? op_source_type(fn) : fn.type();
  return (t == TYPE_FUNCTION || t == TYPE_ROUTINE) ? fn.w1 : 0;
}

may_gc Cell bind_in_function(const Cell& fn, const Cell& word_in) {
  Cell w = word_in;
  if (NodeId ctx = function_context(fn)) {
    if (context::bind_word(ctx, &w) < 0) return none_cell();
  } else {
    // A native's spec context: found through the word table kept in the
    // context! cell copy; the table's word cell is bound to the context.
    Cell ctx_cell = *more_cell(fn, MORE_BODY);
    if (!ctx_cell.is(TYPE_CONTEXT)) return none_cell();
    int32_t k = hash_table::find_or_add_word(ctx_cell.w1, w.w2, true, nullptr, nullptr);
    if (k < 0) return none_cell();
    Cell bound = node_buffer(hash_table::header(ctx_cell.w1)->block)->cells()[k];
    w.w1 = bound.w1;
    w.w3 = bound.w3;
  }
  if (w.is(TYPE_REFINEMENT)) w.set_type(TYPE_WORD);
  return w;
}

// ---------------------------------------------------------------------------
// routine!

uint32_t routine_register(std::string_view name, RoutineFn fn) {
  auto& t = routines();
  for (size_t i = 0; i < t.size(); i++) {
    if (t[i].name == name) {
      t[i].fn = fn;
      return uint32_t(i + 1);
    }
  }
  t.push_back({std::string(name), fn});
  return uint32_t(t.size());
}

uint32_t routine_find(std::string_view name) {
  auto& t = routines();
  for (size_t i = 0; i < t.size(); i++)
    if (t[i].name == name) return uint32_t(i + 1);
  return 0;
}

may_gc NodeId routine_push(const Cell& spec_in, const Cell& body, uint32_t id, int32_t return_type, bool cells) {
  RootedCell spec(at_head(spec_in));
  RootedCell keep_body(body);
  uint32_t arity = 0;
  for (uint32_t i = 0; i < length_of(spec->node()); i++)
    if (cell_at(spec->node(), i).is(TYPE_WORD)) arity++;
  // Arguments checked as check_routine_args checks them: the type
  // predicates take any value, and their calls check nothing.
  bool any_args = true;
  for (uint32_t i = 0; i < length_of(spec->node()); i++) {
    Cell c = cell_at(spec->node(), i);
    if (c.is(TYPE_REFINEMENT) || c.is(TYPE_SET_WORD)) break;
    if (!c.is(TYPE_WORD)) continue;
    if (i + 1 >= length_of(spec->node()) || !cell_at(spec->node(), i + 1).is(TYPE_BLOCK)) continue;
    Cell types = cell_at(spec->node(), i + 1);
    Cell first = clamped_index(types) < length_of(types.node()) ? cell_at(types.node(), clamped_index(types)) : none_cell();
    if (!first.is(TYPE_WORD) || !is_sym(first, SymId::ANY_TYPE_T)) any_args = false;
  }
  if (arity > ROUTINE_MAX_ARITY) fire(ErrId::BAD_FUNC_DEF, *spec);
  RootedNode ctx(context::from_spec(*spec, true, false, context::KIND_FUNCTION));
  NodeId more = make_more(*keep_body, integer_cell(int32_t(id)), integer_cell(return_type));
  Cell r = make_cell(TYPE_ROUTINE, ctx, spec->node(), more);
  r.header |= (cells ? ROUTINE_CELLS : 0) | (any_args ? ROUTINE_ANY_ARGS : 0) | (arity << ROUTINE_ARITY_SHIFT);
  push(r);
  return ctx;
}

may_gc Status call_routine(const Cell& r, Cell* base) {
  Cell id = *more_cell(r, MORE_CODE);
  auto& t = routines();
  if (!id.is(TYPE_INTEGER) || id.i2() < 1 || size_t(id.i2()) > t.size()) fire(ErrId::NOT_DONE);
  RoutineFn fn = t[size_t(id.i2()) - 1].fn;
  bool typed = !(r.header & ROUTINE_CELLS);
  if (typed && !(r.header & ROUTINE_ANY_ARGS)) check_routine_args(r, base);
  Cell keep = r;  // the routine may run the collector; the frame keeps it
  VEL_TRY(fn(base));
  if (typed) convert_routine_result(keep, base);
  return Status::OK;
}

}  // namespace vel::func

// ---------------------------------------------------------------------------
// Datatype actions

namespace vel {

using namespace func;

namespace {

may_gc int32_t put_text(NodeId out, std::string_view text, int32_t part) {
  append_latin1(out, text);
  return part - int32_t(text.size());
}

inline int32_t order(uint32_t a, uint32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// The field of reflect as a canonical symbol (0 for a non-word).
inline uint32_t field_symbol(const Cell& f) { return is_any_word(f.type()) ? symbol::resolve(f.w2) : 0; }

// --- native! and action! ---------------------------------------------------------

// make: [type spec]; spec is [spec-block number].
Status native_make(Cell* base) {
  using enum act::make::Frame;
  TypeId t = base[TYPE].is(TYPE_DATATYPE) ? TypeId(base[TYPE].w1) : base[TYPE].type();
  Cell spec = base[SPEC];
  auto bad = [&]() { fire(ErrId::BAD_MAKE_ARG, datatype_cell(t), spec); };
  if (!spec.is(TYPE_BLOCK)) bad();
  uint32_t at = spec.index() < 0 ? 0 : uint32_t(spec.index());
  NodeId n = spec.node();
  if (at > node_buffer(n)->used() >> 4 || (node_buffer(n)->used() >> 4) - at != 2) bad();
  Cell fspec = node_buffer(n)->cells()[at];
  Cell num = node_buffer(n)->cells()[at + 1];
  if (!fspec.is(TYPE_BLOCK) || !num.is(TYPE_INTEGER)) bad();
  int32_t k = num.i2();
  // Only numbers with an entry: a native that is not built has nothing to
  // call.
  bool ok = t == TYPE_NATIVE ? (k >= 1 && uint32_t(k) <= NATIVE_SLOTS && g_natives[k] != nullptr)
                             : (k >= 1 && k <= ACTION_COUNT);
  if (!ok) bad();
  RootedCell keep(fspec);
  fspec.w1 = 0;
  RootedNode ctx(context::from_spec(fspec, true, false, context::KIND_FUNCTION));
  NodeId more = alloc_unset_cells(2);
  Buffer* b = node_buffer(more);
  b->tail = b->head + 2 * sizeof(Cell);
  b->cells()[0] = context::cell(ctx);
  b->cells()[1] = none_cell();
  base[RESULT] = make_cell(t, uint32_t(k), keep->node(), more);
  return Status::OK;
}

// The number reflect answers as body: the native's or the action's.
Cell native_number(const Cell& v) { return integer_cell(int32_t(v.w1)); }

// reflect: value, field. spec and body for native!, action! and op!.
Status native_reflect(Cell* base) {
  using enum act::reflect::Frame;
  const Cell& v = base[VALUE];
  uint32_t f = field_symbol(base[FIELD]);
  if (f == sym(SymId::SPEC)) {
    base[RESULT] = series_cell(TYPE_BLOCK, spec_node(v), 0);
  } else if (f == sym(SymId::BODY)) {
    TypeId src = v.is(TYPE_OP) ? op_source_type(v) : v.type();
    if (src == TYPE_FUNCTION || src == TYPE_ROUTINE) {
      Cell body = *more_cell(v, MORE_BODY);
      base[RESULT] = body.is(TYPE_BLOCK) ? block::clone(body, false, false) : body;
    } else {
      base[RESULT] = native_number(v);
    }
  } else {
    fire(ErrId::NOT_DONE);
  }
  return Status::OK;
}

int32_t native_form(Cell, NodeId out, const Cell*, int32_t part) { return put_text(out, "?native?", part); }
int32_t action_form(Cell, NodeId out, const Cell*, int32_t part) { return put_text(out, "?action?", part); }
int32_t op_form(Cell, NodeId out, const Cell*, int32_t part) { return put_text(out, "?op?", part); }

may_gc int32_t mold_spec_in_brackets(const char* prefix, Cell v, NodeId out_in, uint32_t flags, const Cell* arg,
                                     int32_t part, int32_t indent) {
  RootedNode out(out_in);
  part = put_text(out, prefix, part);
  part = mold_value(series_cell(TYPE_BLOCK, spec_node(v), 0), out, flags, arg, part, indent);
  return put_text(out, "]", part);
}

may_gc int32_t function_mold_body(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part,
                                  int32_t indent);

may_gc int32_t native_mold(Cell v, NodeId out, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  return mold_spec_in_brackets("make native! [", v, out, flags, arg, part, indent);
}
may_gc int32_t action_mold(Cell v, NodeId out, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  return mold_spec_in_brackets("make action! [", v, out, flags, arg, part, indent);
}

// compare: natives and actions by number.
int32_t native_compare(const Cell* a, const Cell* b, int op) {
  if (b->type() != a->type() || !is_equality_or_sort(op)) return CMP_INCOMPARABLE;
  return order(a->w1, b->w1);
}

// --- op! ----------------------------------------------------------------------------

// make: [type spec]; spec is the function value.
Status op_make(Cell* base) {
  using enum act::make::Frame;
  Cell src = base[SPEC];
  TypeId t = src.type();
  if (!is_callable(t)) fire(ErrId::INVALID_TYPE, datatype_cell(t));
  if (!op_spec_ok(series_cell(TYPE_BLOCK, spec_node(src), 0))) fire(ErrId::BAD_OP_SPEC, src);
  if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) *more_cell(src, MORE_OP_SOURCE) = src;
  Cell op = src;
  op.header = TYPE_OP | (uint32_t(t) << 16);
  base[RESULT] = op;
  return Status::OK;
}

may_gc int32_t op_mold(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  RootedNode out(out_in);
  TypeId src = op_source_type(v);
  if (src == TYPE_FUNCTION || src == TYPE_ROUTINE) {
    part = put_text(out, "make op! func ", part);
    return function_mold_body(v, out, flags, arg, part, indent);
  }
  return mold_spec_in_brackets("make op! [", v, out, flags, arg, part, indent);
}

// Ops compare by what they wrap: the number of a native or action, the
// more block of a function or routine.
int32_t op_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_OP) || !is_equality_or_sort(op)) return CMP_INCOMPARABLE;
  TypeId sa = op_source_type(*a), sb = op_source_type(*b);
  if (sa != sb) return order(sa, sb);
  bool by_more = sa == TYPE_FUNCTION || sa == TYPE_ROUTINE;
  return by_more ? order(a->w3, b->w3) : order(a->w1, b->w1);
}

// --- function! and routine! -----------------------------------------------------

// make: [type spec]; spec is [spec-block body-block].
Status function_make(Cell* base) {
  using enum act::make::Frame;
  Cell spec = base[SPEC];
  auto bad = [&]() { fire(ErrId::BAD_FUNC_DEF, spec); };
  if (!spec.is(TYPE_BLOCK)) bad();
  NodeId n = spec.node();
  uint32_t at = spec.index() < 0 ? 0 : uint32_t(spec.index());
  uint32_t len = node_buffer(n)->used() >> 4;
  if (at >= len || len - at < 2) bad();
  Cell fspec = node_buffer(n)->cells()[at];
  Cell body = node_buffer(n)->cells()[at + 1];
  if (!fspec.is(TYPE_BLOCK) || !body.is(TYPE_BLOCK)) bad();
  RootedCell keep_spec(fspec), keep_body(body);
  uint32_t flags = check_spec(fspec);
  function_push(*keep_spec, *keep_body, 0, 0, nullptr, flags);
  base[RESULT] = g_stack.top[-1];
  return Status::OK;
}

// reflect: value, field. spec, body and words.
Status function_reflect(Cell* base) {
  using enum act::reflect::Frame;
  Cell v = base[VALUE];
  uint32_t f = field_symbol(base[FIELD]);
  if (f == sym(SymId::SPEC)) {
    base[RESULT] = series_cell(TYPE_BLOCK, spec_node(v), 0);
  } else if (f == sym(SymId::BODY)) {
    Cell body = *more_cell(v, MORE_BODY);
    base[RESULT] = body.is(TYPE_BLOCK) ? body : none_cell();
  } else if (f == sym(SymId::WORDS)) {
    NodeId ctx = context_of(v);
    uint32_t n = context::word_count(ctx);
    RootedCell keep(v);
    Cell r = block::make_at(n);
    Buffer* b = node_buffer(r.node());
    Cell* words = context::word_at(ctx, 0);
    for (uint32_t i = 0; i < n; i++) b->cells()[i] = make_cell(TYPE_WORD, ctx, words[i].w2, words[i].w3);
    b->tail = b->head + n * sizeof(Cell);
    base[RESULT] = r;
  } else {
    fire(ErrId::NOT_DONE);
  }
  return Status::OK;
}

int32_t function_form(Cell, NodeId out, const Cell*, int32_t part) { return put_text(out, "?function?", part); }
int32_t routine_form(Cell, NodeId out, const Cell*, int32_t part) { return put_text(out, "?routine?", part); }

// The spec and body of a function (or of the function an op wraps), always
// with their brackets.
may_gc int32_t function_mold_body(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part,
                                  int32_t indent) {
  RootedNode out(out_in);
  RootedCell fn(v);
  flags &= ~uint32_t(MOLD_ONLY);
  part = mold_value(series_cell(TYPE_BLOCK, spec_node(*fn), 0), out, flags, arg, part, indent);
  Cell body = *more_cell(*fn, MORE_BODY);
  // The body's bracket follows the spec's directly: "func [a][a + 1]".
  if (!body.is(TYPE_BLOCK)) return put_text(out, " none", part);
  return mold_value(body, out, flags, arg, part, indent);
}

may_gc int32_t function_mold(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  RootedNode out(out_in);
  part = put_text(out, "func ", part);
  return function_mold_body(v, out, flags, arg, part, indent);
}

// A routine passes /only on to its spec and body.
may_gc int32_t routine_mold(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  RootedNode out(out_in);
  RootedCell r(v);
  part = put_text(out, "routine ", part);
  part = mold_value(series_cell(TYPE_BLOCK, spec_node(*r), 0), out, flags, arg, part, indent);
  // Only a body that is not a block is set apart by a space.
  if (!more_cell(*r, MORE_BODY)->is(TYPE_BLOCK)) part = put_text(out, " ", part);
  return mold_value(*more_cell(*r, MORE_BODY), out, flags, arg, part, indent);
}

// Functions are equal only to themselves: the more block is their identity.
int32_t function_compare(const Cell* a, const Cell* b, int op) {
  if (b->type() != a->type() || !is_equality_or_sort(op)) return CMP_INCOMPARABLE;
  return order(a->w3, b->w3);
}

}  // namespace

void register_type_NATIVE() {
  TypeBuilder(TYPE_NATIVE)
      .action(ACT_MAKE, native_make)
      .action(ACT_REFLECT, native_reflect)
      .form(native_form)
      .mold(native_mold)
      .compare(native_compare)
      .done();
}

void register_type_ACTION() {
  TypeBuilder(TYPE_ACTION)
      .action(ACT_MAKE, native_make)
      .inherit(ACT_REFLECT)
      .form(action_form)
      .mold(action_mold)
      .compare(native_compare)
      .done();
}

void register_type_OP() {
  TypeBuilder(TYPE_OP)
      .action(ACT_MAKE, op_make)
      .inherit(ACT_REFLECT)
      .form(op_form)
      .mold(op_mold)
      .compare(op_compare)
      .done();
}

void register_type_FUNCTION() {
  TypeBuilder(TYPE_FUNCTION)
      .action(ACT_MAKE, function_make)
      .action(ACT_REFLECT, function_reflect)
      .form(function_form)
      .mold(function_mold)
      .compare(function_compare)
      .done();
}

void register_type_ROUTINE() {
  TypeBuilder(TYPE_ROUTINE)
      .inherit(ACT_REFLECT)
      .form(routine_form)
      .mold(routine_mold)
      .compare(function_compare)
      .done();
}

}  // namespace vel
