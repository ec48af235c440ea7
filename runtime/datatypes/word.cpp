#include "datatypes/word.h"

#include <algorithm>
#include <string>

#include "action_frames.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "eval.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "families.h"
#include "roots.h"
#include "series_ops.h"
#include "stack.h"

namespace vel::word {

// --- construction ---------------------------------------------------------------

may_gc Cell load(std::string_view text) {
  return context::add_global_word(symbol::make(text), true, true);
}

may_gc Cell make_global(uint32_t sym) {
  int32_t index = context::add_word(context::g_global, sym);
  return make(TYPE_WORD, context::g_global, sym, index);
}

may_gc Cell load_refinement(std::string_view text) { return make(TYPE_REFINEMENT, 0, symbol::make(text), -1); }

// --- positional access ------------------------------------------------------------

Cell* push_local(NodeId ctx, uint32_t n, TypeId as) {
  if (n >= context::word_count(ctx)) fire(ErrId::OUT_OF_RANGE, integer_cell(int32_t(n)));
  Cell w = context::word_of(ctx, n);
  w.set_type(as);
  return push(w);
}

namespace {

// The value cell of the n-th word of a context: out-of-range past its
// words, not-defined for a word whose context holds no values now.
Cell* local_slot(NodeId ctx, uint32_t n) {
  Cell* v = context::value_at(ctx, n);
  if (v) return v;
  if (n >= context::word_count(ctx)) fire(ErrId::OUT_OF_RANGE, integer_cell(int32_t(n)));
  Cell w = context::word_of(ctx, n);
  w.header = TYPE_WORD;
  fire(ErrId::NOT_DEFINED, w);
}

}  // namespace

Cell* get_local(NodeId ctx, uint32_t n) {
  Cell copy = *local_slot(ctx, n);
  return push(copy);
}

void set_local(NodeId ctx, uint32_t n) {
  Cell* v = local_slot(ctx, n);
  *v = *stack_get_top();
  if (context::kind(ctx) == context::KIND_OBJECT) context::mark_changed(ctx, n);
}

// --- get and set -----------------------------------------------------------------

Cell get(const Cell& w) {
  Cell v = *context::get(w);
  if (v.is(TYPE_UNSET)) fire(ErrId::NO_VALUE, w);
  return v;
}

Cell get_any(const Cell& w) { return *context::get(w); }

may_gc void set(Cell* w, const Cell& value) {
  if (value.is(TYPE_UNSET)) fire(ErrId::NEED_VALUE, *w);
  context::set(w, value);
}

may_gc void set_any(Cell* w, const Cell& value) { context::set(w, value); }

// --- conversions --------------------------------------------------------------------

namespace {

[[noreturn]] void bad_to(TypeId target, const Cell& spec) { fire(ErrId::BAD_TO_ARG, datatype_cell(target), spec); }

// The text of a string or char value, loaded as one value that must be a word.
may_gc Cell load_word_text(const Cell& spec) {
  RootedCell text(spec);
  if (spec.is(TYPE_CHAR)) {
    NodeId s = make_string(1);
    RootedNode keep(s);
    append_char(s, spec.w2);
    *text = series_cell(TYPE_STRING, s);
  }
  RootedCell out;
  if (!lexer::load_one_value(*text, out.get()) || !is_any_word(out->type())) fire(ErrId::INVALID_CHARS, spec);
  return *out;
}

// A refinement or issue: its text must scan as a word of one of the four
// retypable forms, which is then bound into the global context if it has it.
Cell rescan_word(TypeId target, const Cell& spec) {
  std::string text(symbol::text(spec.w2));  // the view would not survive an allocation
  TypeId scanned = lexer::scan_type(text);
  if (!is_word_form(scanned)) bad_to(target, spec);
  Cell w = spec;
  context::bind_word(context::g_global, &w);
  return w;
}

}  // namespace

bool converts_from(TypeId t) {
  switch (t) {
    case TYPE_DATATYPE:
    case TYPE_LOGIC:
    case TYPE_STRING:
    case TYPE_CHAR:
    case TYPE_WORD:
    case TYPE_SET_WORD:
    case TYPE_LIT_WORD:
    case TYPE_GET_WORD:
    case TYPE_REFINEMENT:
    case TYPE_ISSUE: return true;
    default: return false;
  }
}

may_gc Cell convert(TypeId target, const Cell& spec) {
  Cell result;
  if (!converts_from(spec.type())) bad_to(target, spec);
  switch (spec.type()) {
    case TYPE_DATATYPE: {
      uint32_t t = spec.w1;
      if (t == 0 || t >= uint32_t(TYPE_COUNT) || !g_types[t].registered) bad_to(target, spec);
      result = g_types[t].name_word;
      if (!is_any_word(result.type())) result = load(g_types[t].name);
      break;
    }
    case TYPE_LOGIC: result = runtime_word(spec.w1 ? SymId::WORD_TRUE : SymId::WORD_FALSE); break;
    case TYPE_STRING:
    case TYPE_CHAR: result = load_word_text(spec); break;
    case TYPE_WORD:
    case TYPE_SET_WORD:
    case TYPE_LIT_WORD:
    case TYPE_GET_WORD: result = spec; break;
    case TYPE_REFINEMENT:
    case TYPE_ISSUE: result = rescan_word(target, spec); break;
    default: bad_to(target, spec);
  }
  result.header = target;
  return result;
}

}  // namespace vel::word

// --- actions --------------------------------------------------------------------------

namespace vel {
namespace {

// make and to: the type may be a prototype value.
Status word_make(Cell* base) {
  using enum act::make::Frame;
  TypeId target = base[TYPE].is(TYPE_DATATYPE) ? TypeId(base[TYPE].w1) : base[TYPE].type();
  Cell spec = base[SPEC];
  // A spec of a type no word comes from goes back as a status.
  if (!word::converts_from(spec.type())) return fail(ErrId::BAD_TO_ARG, datatype_cell(target), spec);
  base[RESULT] = word::convert(target, spec);
  return Status::OK;
}

// The display text, cut at the /part budget; answers the budget left.
may_gc int32_t append_text(uint32_t sym, NodeId out, int32_t part) {
  RootedNode o(out);
  NodeId text = symbol::cached_text(sym);
  if (!text) return part;
  int32_t len = int32_t(node_buffer(text)->length());
  append_chars(o, text, 0, uint32_t(std::clamp(part, 0, len)));
  return part - len;
}

may_gc int32_t word_form(Cell value, NodeId out, const Cell*, int32_t part) { return append_text(value.w2, out, part); }

may_gc int32_t word_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return append_text(value.w2, out, part);
}

may_gc int32_t prefixed_mold(Cell value, NodeId out, char prefix, int32_t part) {
  RootedNode o(out);
  append_char(o, uint8_t(prefix));
  return append_text(value.w2, o, part - 1);
}

may_gc int32_t lit_word_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return prefixed_mold(value, out, '\'', part);
}

may_gc int32_t get_word_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return prefixed_mold(value, out, ':', part);
}

may_gc int32_t refinement_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return prefixed_mold(value, out, '/', part);
}

may_gc int32_t set_word_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  RootedNode o(out);
  int32_t left = append_text(value.w2, o, part - 1);
  append_char(o, ':');
  return left;
}

inline bool one_word_one_lit(TypeId a, TypeId b) {
  return (a == TYPE_WORD && b == TYPE_LIT_WORD) || (a == TYPE_LIT_WORD && b == TYPE_WORD);
}

int32_t word_compare(const Cell* a, const Cell* b, int op) {
  TypeId ta = a->type(), tb = b->type();
  if (!is_any_word(tb) || (tb == TYPE_ISSUE && ta != TYPE_ISSUE)) return CMP_INCOMPARABLE;
  auto same_canonical = [&] { return symbol::resolve(a->w2) == symbol::resolve(b->w2); };
  switch (op) {
    case CMP_SAME: return (a->w2 == b->w2 && a->w1 == b->w1 && ta == tb) ? 0 : 1;
    case CMP_STRICT_EQUAL: return (ta == tb && a->w2 == b->w2) ? 0 : 1;
    case CMP_WORD_MATCH:
      if (one_word_one_lit(ta, tb)) return a->w2 == b->w2 ? 0 : 1;
      return (ta == tb && a->w2 == b->w2) ? 0 : 1;
    case CMP_WORD_MATCH_CASE:
      if (one_word_one_lit(ta, tb)) return same_canonical() ? 0 : 1;
      return (ta == tb && same_canonical()) ? 0 : 1;
    case CMP_EQUAL:
    case CMP_NOT_EQUAL:
    case CMP_FIND: return same_canonical() ? 0 : 1;
    default: return symbol::compare_text(a->w2, b->w2, op);
  }
}

// index?: the word's index + 1, or none when it was never resolved.
Status word_index_q(Cell* base) {
  using enum act::index_q::Frame;
  int32_t i = base[SERIES].i3();
  base[RESULT] = i < 0 ? none_cell() : integer_cell(i + 1);
  return Status::OK;
}

}  // namespace

void register_type_WORD() {
  TypeBuilder(TYPE_WORD)
      .action(ACT_MAKE, word_make)
      .action(ACT_TO, word_make)
      .form(word_form)
      .mold(word_mold)
      .compare(word_compare)
      .action(ACT_INDEX_Q, word_index_q)
      .done();
}

namespace {
void register_prefixed(TypeId t, MoldFn mold, bool has_index) {
  TypeBuilder b(t);
  b.mold(mold).inherit(ACT_MAKE).inherit(ACT_TO).inherit(ACT_FORM).inherit(ACT_COMPARE);
  if (has_index) b.inherit(ACT_INDEX_Q);
  b.done();
}
}  // namespace

void register_type_SET_WORD() { register_prefixed(TYPE_SET_WORD, set_word_mold, true); }
void register_type_LIT_WORD() { register_prefixed(TYPE_LIT_WORD, lit_word_mold, true); }
void register_type_GET_WORD() { register_prefixed(TYPE_GET_WORD, get_word_mold, true); }
void register_type_REFINEMENT() { register_prefixed(TYPE_REFINEMENT, refinement_mold, false); }

}  // namespace vel
