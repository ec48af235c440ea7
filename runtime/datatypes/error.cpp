// error!: making, raising, forming and molding errors, the error catalog,
// and the call naming that error reports use.
#include "families.h"
#include "datatypes/error.h"

#include <algorithm>
#include <vector>

#include "action_frames.h"
#include "collector.h"
#include "cycle.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "eval.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "fatal.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"
#include "stack.h"

namespace vel::error {

namespace {

constexpr const char* kFieldNames[FIELD_COUNT] = {"code", "type", "id", "arg1", "arg2",
                                                   "arg3", "near", "where", "stack", "files"};
uint32_t g_field_sym[FIELD_COUNT] = {};  // exact ids of the field names

// Cells kept alive for the whole run: the prototype error, the loaded
// catalog block, and the word of a pinned call.
enum RootSlot { PROTO, CATALOG, PINNED, ROOT_COUNT };
Cell g_roots[ROOT_COUNT] = {};
StaticRoot g_roots_root("error: prototype, catalog and pinned word", g_roots, ROOT_COUNT);

// The catalog, indexed: each type's block (a node inside the catalog block,
// which nothing else reaches, so it never changes) and the positions of
// its title and messages in it.
struct IdEntry {
  uint32_t exact, canon;
  uint32_t message;  // cell index of the message in the type's block
};
struct TypeEntry {
  uint32_t exact, canon;
  NodeId body;
  uint32_t title;  // cell index of the title string
  std::vector<IdEntry> ids;
};
std::vector<TypeEntry> g_catalog;
bool g_loaded = false;

// Runtime id -> catalog position.
struct Position {
  uint16_t type, id;
  bool found;
};
std::vector<Position> g_positions;

inline Cell* values_of(const Cell& err) { return context::value_at(err.w1, 0); }
inline Cell& field_ref(const Cell& err, Field f) { return values_of(err)[f]; }

inline bool is_word_like(TypeId t) { return is_word_form(t) && t != TYPE_SET_WORD; }

inline uint32_t text_length(NodeId s) { return node_buffer(s)->length(); }

// --- the catalog -----------------------------------------------------------------------

[[noreturn]] void catalog_fault(const char* what) {
  std::string text = std::string("*** Error catalog: ") + what;
  startup_fault(text.c_str());
}

inline Cell cell_of(NodeId block, uint32_t i) { return node_buffer(block)->cells()[i]; }
inline uint32_t cells_in(NodeId block) { return node_buffer(block)->used() >> 4; }

// Reads one type's block: code, title, then id: message pairs.
TypeEntry read_type(const Cell& name, const Cell& body, uint32_t position) {
  TypeEntry t{name.w2, symbol::resolve(name.w2), body.node(), 0, {}};
  NodeId b = body.node();
  uint32_t n = cells_in(b);
  if (n < 4 || !cell_of(b, 0).is(TYPE_SET_WORD) || symbol::resolve(cell_of(b, 0).w2) != symbol::resolve(g_field_sym[CODE]) ||
      !cell_of(b, 1).is(TYPE_INTEGER) || !cell_of(b, 2).is(TYPE_SET_WORD) ||
      symbol::resolve(cell_of(b, 2).w2) != symbol::resolve(g_field_sym[TYPE]) || !cell_of(b, 3).is(TYPE_STRING))
    catalog_fault("a type must begin with code: and type:");
  if (cell_of(b, 1).i2() != int32_t(position * 100)) catalog_fault("a type's code is not its position x 100");
  t.title = 3;
  if (n % 2) catalog_fault("an id without a message");
  for (uint32_t i = 4; i < n; i += 2) {
    Cell id = cell_of(b, i), msg = cell_of(b, i + 1);
    if (!id.is(TYPE_SET_WORD)) catalog_fault("an id must be a set-word");
    TypeId mt = msg.type();
    if (mt != TYPE_STRING && mt != TYPE_BLOCK && mt != TYPE_LIT_WORD && mt != TYPE_WORD)
      catalog_fault("a message must be a string, a block or a field name");
    t.ids.push_back({id.w2, symbol::resolve(id.w2), i + 1});
  }
  if (t.ids.size() > 99) catalog_fault("a type holds more than 99 ids");
  return t;
}

int32_t find_type(uint32_t canon) {
  for (size_t i = 0; i < g_catalog.size(); i++)
    if (g_catalog[i].canon == canon) return int32_t(i);
  return -1;
}

int32_t find_id(uint32_t type, uint32_t canon) {
  const auto& ids = g_catalog[type].ids;
  for (size_t i = 0; i < ids.size(); i++)
    if (ids[i].canon == canon) return int32_t(i);
  return -1;
}

// Where each runtime id sits in the catalog: in its own type, or else in
// the first type that has an id of that name.
may_gc void map_runtime_ids() {
  g_positions.assign(ERROR_ID_COUNT, Position{0, 0, false});
  for (size_t i = 0; i < ERROR_ID_COUNT; i++) {
    ErrId e = ErrId(i);
    uint32_t id = symbol::resolve(symbol::make(error_id_name(e)));
    int32_t t = find_type(symbol::resolve(symbol::make(error_type_name(error_type_of(e)))));
    int32_t k = t >= 0 ? find_id(uint32_t(t), id) : -1;
    for (size_t j = 0; k < 0 && j < g_catalog.size(); j++) {
      k = find_id(uint32_t(j), id);
      t = int32_t(j);
    }
    if (k >= 0) g_positions[i] = Position{uint16_t(t), uint16_t(k), true};
  }
}

void fill_headings();

// --- building errors ---------------------------------------------------------------------

inline Cell unbound_word(uint32_t symbol) { return word::make(TYPE_WORD, 0, symbol, -1); }

Cell type_word(uint32_t type) { return unbound_word(g_catalog[type].exact); }
Cell id_word(uint32_t type, uint32_t id) { return unbound_word(g_catalog[type].ids[id].exact); }

// A fresh copy of the prototype, every field none. Errors share the
// prototype's word table: their fields never change.
may_gc Cell new_error() {
  RootedCell e(g_roots[PROTO]);
  NodeId ctx = context::clone_sharing(e.get(), context::KIND_OBJECT);
  Cell* v = context::value_at(ctx, 0);
  for (uint32_t i = 0; i < FIELD_COUNT; i++) v[i] = none_cell();
  context::owner(ctx) = *e;
  return *e;
}

Cell current_near() {
  const Cell& c = interp::g_current_code;
  return c.is(TYPE_BLOCK) || c.is(TYPE_PAREN) ? c : none_cell();
}

void set_type_and_id(const Cell& err, uint32_t type, uint32_t id) {
  Cell* v = values_of(err);
  v[CODE] = integer_cell(int32_t(type * 100 + id));
  v[TYPE] = type_word(type);
  v[ID] = id_word(type, id);
}

// Rewrites an error whose type or id the catalog lacks as
// internal/invalid-error, the unknown word becoming its first argument.
void rewrite_invalid(const Cell& err, const Cell& culprit) {
  uint32_t t = uint32_t(find_type(sym(SymId::INTERNAL)));
  uint32_t k = uint32_t(find_id(t, sym(SymId::INVALID_ERROR)));
  set_type_and_id(err, t, k);
  field_ref(err, ARG1) = culprit;
}

// The fields every error of a runtime id starts with: code, type and id
// (unbound words, so nothing here needs rooting). Filled with the catalog.
struct Heading {
  Cell code, type, id;
};
std::vector<Heading> g_headings;

void fill_headings() {
  g_headings.assign(ERROR_ID_COUNT, Heading{none_cell(), none_cell(), none_cell()});
  for (size_t i = 0; i < ERROR_ID_COUNT; i++) {
    const Position& p = g_positions[i];
    if (p.found) g_headings[i] = {integer_cell(int32_t(p.type * 100 + p.id)), type_word(p.type), id_word(p.type, p.id)};
  }
}

}  // namespace

// For every error the runtime raises: one context over the prototype's
// words, its fields written in place once nothing allocates any more.
may_gc bool make_raised(ErrId id, int nargs, const Cell* args, Cell* out) {
  if (!can_make_raised()) return false;
  uint32_t depth = frame_depth();
  Cell site[2];
  site[0] = current_near();
  site[1] = depth > 0 ? where_call() : none_cell();
  RootedCells keep(site, 2);
  return make_noted(id, nargs, args, site[0], site[1], depth, out);
}

bool can_make_raised() { return !g_gc.active && context::g_global && g_roots[PROTO].is(TYPE_ERROR); }

may_gc void note_raise(Cell* near, Cell* where, uint32_t* depth) {
  *depth = frame_depth();
  *near = current_near();
  *where = *depth > 0 ? where_call() : none_cell();
}

may_gc bool make_noted(ErrId id, int nargs, const Cell* args, const Cell& near, const Cell& where, uint32_t depth,
                       Cell* out) {
  // The arguments, near and where are rooted by the caller.
  load_catalog();
  if (!g_positions[size_t(id)].found) [[unlikely]] {
    RootedCell e(create(id, nargs, args));
    field_ref(*e, NEAR) = near;
    if (depth > 0) {
      set_where(*e, where);
      field_ref(*e, STACK) = integer_cell(int32_t(depth));
    }
    *out = *e;
    return true;
  }
  RootedCell e(g_roots[PROTO]);
  NodeId ctx = context::clone_sharing(e.get(), context::KIND_OBJECT);
  context::owner(ctx) = *e;
  const Heading& h = g_headings[size_t(id)];
  Cell* v = values_of(*e);
  v[CODE] = h.code;
  v[TYPE] = h.type;
  v[ID] = h.id;
  v[ARG1] = nargs > 0 ? args[0] : none_cell();
  v[ARG2] = nargs > 1 ? args[1] : none_cell();
  v[ARG3] = nargs > 2 ? args[2] : none_cell();
  v[NEAR] = near;
  v[WHERE] = where;
  v[STACK] = depth > 0 ? integer_cell(int32_t(depth)) : none_cell();
  v[FILES] = none_cell();
  *out = *e;
  return true;
}

namespace {

// --- call names ------------------------------------------------------------------------------

inline bool named(const CallFrame& f) {
  return f.symbol != 0 && f.symbol != sym_exact(SymId::BODY_TAG) && f.symbol != sym_exact(SymId::ANON_TAG);
}

// Calls the library's own code made stay out of an error's where and stack:
// the report names the calls the user made, as for a compiled library.
inline bool visible(const CallFrame& f) { return named(f) && !(f.header & FRAME_LIBRARY); }

// The last word frame_word found in a naming context. A word keeps its
// index while its context lives, and contexts die (and their nodes are
// reused) only in a collection, so the entry holds until the next one.
struct FoundWord {
  bool valid;
  uint32_t cycle;
  NodeId ctx;
  uint32_t symbol;
  int32_t index;
};
FoundWord g_found = {};

// The word a frame was named by: its naming context's own word, else the
// global context's, else an unbound word.
Cell frame_word(const CallFrame& f) {
  if (f.naming_ctx) {
    FoundWord& c = g_found;
    if (c.valid && c.cycle == g_gc.cycles && c.ctx == f.naming_ctx && c.symbol == f.symbol)
      return word::make(TYPE_WORD, c.ctx, c.symbol, c.index);
    int32_t i = context::find_word(f.naming_ctx, f.symbol, true);
    if (i >= 0) {
      c = FoundWord{true, g_gc.cycles, f.naming_ctx, f.symbol, i};
      return word::make(TYPE_WORD, f.naming_ctx, f.symbol, i);
    }
  }
  int32_t g = context::find_word(context::g_global, f.symbol, true);
  return g >= 0 ? word::make(TYPE_WORD, context::g_global, f.symbol, g) : unbound_word(f.symbol);
}

// Whether a frame belongs in a recorded call stack at this level: at level
// 1 only the calls of a function!, by the naming word's value. A function's
// own words (collect's keep, say) have no values once its call has been
// unwound, as it has when try captures the stack: such a call counts by
// the frame it opened, which says what it called.
bool traced(const CallFrame& f, int32_t level) {
  if (!visible(f)) return false;
  if (level >= 2) return true;
  if (f.naming_ctx && context::is_stack(f.naming_ctx)) return (f.header & FRAME_KIND_MASK) == FRAME_FUNCTION;
  Cell* v = context::word_value_cell(f.naming_ctx, f.symbol);
  return v && v->is(TYPE_FUNCTION);
}

// The frames below `end` (a depth) that are still on the stack.
inline uint32_t live_end(int32_t end) { return std::min<uint32_t>(uint32_t(std::max(end, 0)), frame_depth()); }

// stack/trace-string: the names of the traced calls below `end`, each
// followed by a blank, within the limit.
may_gc int32_t trace_string(int32_t level, int32_t end, NodeId out, int32_t limit) {
  uint32_t n = live_end(end);
  for (uint32_t i = 0; i < n && limit > 0; i++) {
    CallFrame f = g_stack.frames[i];
    if (!traced(f, level)) continue;
    limit = form_value(frame_word(f), out, nullptr, limit);
    append_char(out, ' ');
    limit = spend(limit, 1);
  }
  return limit;
}

// --- forming -------------------------------------------------------------------------------

// Appends at most `limit` characters of string node `from` (all of them
// when limit is negative); answers the count appended.
may_gc uint32_t append_cut(NodeId out, NodeId from, int32_t limit) {
  uint32_t n = text_length(from);
  if (limit >= 0) n = std::min<uint32_t>(n, uint32_t(limit));
  append_chars(out, from, 0, n);
  return n;
}

// A string value from its index, whole.
may_gc uint32_t append_string(NodeId out, const Cell& s) {
  uint32_t len = text_length(s.node());
  uint32_t at = s.index() < 0 ? 0 : std::min<uint32_t>(uint32_t(s.index()), len);
  append_chars(out, s.node(), at, len - at);
  return len - at;
}

// The field of the error a template word names, or null.
Cell* template_field(const Cell& err, const Cell& w) {
  int32_t i = context::find_word(err.w1, w.w2, true);
  return i < 0 ? nullptr : context::value_at(err.w1, uint32_t(i));
}

// Template expansion: strings whole, field words molded (formed for the
// syntax type) and cut at 80 characters, one blank between values.
may_gc int32_t expand(NodeId out, const Cell& err, const Cell& tmpl, bool syntax, int32_t limit) {
  RootedCell t(tmpl);
  uint32_t start = t->index() < 0 ? 0 : uint32_t(t->index());
  for (uint32_t i = start;; i++) {
    uint32_t n = cells_in(t->node());
    if (i >= n) break;
    Cell c = cell_of(t->node(), i);
    if (c.is(TYPE_STRING)) {
      limit = spend(limit, append_string(out, c));
    } else if (c.is(TYPE_WORD) || c.is(TYPE_GET_WORD)) {
      Cell* f = template_field(err, c);
      if (f) {
        RootedCell v(*f);
        RootedNode tmp(make_string(16));
        // A failure while forming the value names this frame.
        stack_mark(FRAME_NATIVE, sym_exact(SymId::BODY_TAG), 0);
        if (syntax) form_value(*v, tmp);
        else mold_value(*v, tmp);
        stack_unroll();
        limit = spend(limit, append_cut(out, tmp, 80));
      }
    }
    if (i + 1 < cells_in(t->node())) {
      append_char(out, ' ');
      limit = spend(limit, 1);
    }
  }
  return limit;
}

// The message cell of the error's id, rewriting the error as
// internal/invalid-error when its type or id is not in the catalog.
Cell message_of(const Cell& err, uint32_t* type_out) {
  for (int attempt = 0; attempt < 2; attempt++) {
    Cell tw = field_ref(err, TYPE);
    int32_t t = is_any_word(tw.type()) ? find_type(symbol::resolve(tw.w2)) : -1;
    if (t < 0) {
      rewrite_invalid(err, tw);
      continue;
    }
    Cell iw = field_ref(err, ID);
    int32_t k = is_any_word(iw.type()) ? find_id(uint32_t(t), symbol::resolve(iw.w2)) : -1;
    if (k < 0) {
      rewrite_invalid(err, iw);
      continue;
    }
    *type_out = uint32_t(t);
    return cell_of(g_catalog[size_t(t)].body, g_catalog[size_t(t)].ids[size_t(k)].message);
  }
  catalog_fault("internal/invalid-error is missing");
}

may_gc int32_t error_form(Cell value, NodeId out_in, const Cell*, int32_t part) {
  RootedNode out(out_in);
  RootedCell err(value);
  load_catalog();
  append_latin1(out, "*** ");
  part = spend(part, 4);
  uint32_t type = 0;
  RootedCell msg(message_of(*err, &type));
  if (is_word_like(msg->type())) {
    Cell* f = template_field(*err, *msg);
    *msg = f ? *f : none_cell();
  }
  Cell title = cell_of(g_catalog[type].body, g_catalog[type].title);
  uint32_t title_len = append_string(out, title);
  append_latin1(out, ": ");
  // What is left for the message: the limit less the title and 6.
  int32_t limit = spend(part, int64_t(title_len) + 2);
  bool syntax = g_catalog[type].canon == sym(SymId::SYNTAX);
  if (msg->is(TYPE_STRING)) {
    limit = spend(limit, append_string(out, *msg));
  } else if (msg->is(TYPE_BLOCK)) {
    limit = expand(out, *err, *msg, syntax, limit);
  } else {
    rewrite_invalid(*err, field_ref(*err, ID));
  }
  part = limit;

  append_latin1(out, "\n*** Where: ");
  part = spend(part, 12);
  RootedCell where(field_ref(*err, WHERE));
  if (where->is(TYPE_WORD)) part = form_value(*where, out, nullptr, part);
  else if (where->is(TYPE_STRING)) part = spend(part, append_string(out, *where));
  else {
    append_latin1(out, "???");
    part = spend(part, 3);
  }

  append_latin1(out, "\n*** Near : ");
  part = spend(part, 12);
  {
    RootedNode tmp(make_string(40));
    mold_value(field_ref(*err, NEAR), tmp, MOLD_ONLY | MOLD_FLAT);
    part = spend(part, append_cut(out, tmp, 40));
  }

  if (stack_trace_level() > 0) {
    RootedCell stack(field_ref(*err, STACK));
    if (stack->is(TYPE_INTEGER)) {
      append_latin1(out, "\n*** Stack: ");
      part = trace_string(stack_trace_level(), stack->i2(), out, spend(part, 12));
    } else if (stack->is(TYPE_BLOCK)) {
      append_latin1(out, "\n*** Stack: ");
      part = form_value(*stack, out, nullptr, spend(part, 12));
    }
  }

  RootedCell files(field_ref(*err, FILES));
  if (files->is(TYPE_BLOCK)) {
    append_latin1(out, "\n*** Files: ");
    RootedNode tmp(make_string(40));
    mold_value(*files, tmp, MOLD_ONLY | MOLD_FLAT);
    part = spend(part, 12 + int64_t(append_cut(out, tmp, 40)));
  }
  return part;
}

// mold: "make error! [" and the fields as an object writes them.
may_gc int32_t error_mold(Cell value, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t indent) {
  RootedNode out(out_in);
  RootedCell err(value);
  if (cycles_detect(*err, out, &part, true)) return part;
  CycleScope guard(err->w1);
  WalkDepth depth;
  bool only = flags & MOLD_ONLY, flat = flags & MOLD_FLAT;
  if (!only) {
    append_latin1(out, "make error! [");
    part = spend(part, 13);
  }
  int32_t level = only ? indent : indent + 1;
  for (uint32_t i = 0; i < FIELD_COUNT && part > 0; i++) {
    if (flat) {
      if (i > 0) {
        append_char(out, ' ');
        part = spend(part, 1);
      }
    } else {
      if (i > 0 || !only) {
        append_char(out, '\n');
        part = spend(part, 1);
      }
      part = vel::indent(out, level, part);
    }
    part = form_value(unbound_word(g_field_sym[i]), out, nullptr, part);
    append_latin1(out, ": ");
    part = spend(part, 2);
    Cell v = field_ref(*err, Field(i));
    if (v.is(TYPE_WORD)) {
      append_char(out, '\'');
      part = spend(part, 1);
    }
    part = mold_value(v, out, flags & ~uint32_t(MOLD_ONLY), arg, part, level);
  }
  if (!only) {
    if (!flat) {
      append_char(out, '\n');
      part = vel::indent(out, indent, spend(part, 1));
    }
    append_char(out, ']');
    part = spend(part, 1);
  }
  return part;
}

// Compared as objects: the same context is equal; otherwise field by field.
int32_t error_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_ERROR)) return CMP_INCOMPARABLE;
  return object::compare_fields(a, b, op);
}

// Path access: the fields by name; `stack` may be read, never set.
may_gc Cell error_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  Cell path = step.path ? *step.path : none_cell();
  TypeId t = selector.type();
  if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD)
    fire(ErrId::INVALID_PATH, path, selector);
  int32_t i = context::find_word(value.w1, selector.w2, true);
  if (i < 0) fire(ErrId::INVALID_PATH, path, selector);
  Cell* slot = context::value_at(value.w1, uint32_t(i));
  if (!slot) fire(ErrId::INVALID_PATH, path, selector);
  if (set_value) {
    if (symbol::resolve(selector.w2) == sym(SymId::STACK)) fire(ErrId::INVALID_PATH_SET, selector);
    *slot = *set_value;
    return *set_value;
  }
  if (slot->is(TYPE_UNSET)) fire(ErrId::UNSET_PATH, path, selector);
  return *slot;
}

// make from a set-word block: the block, bound to the new error, sets the
// fields; type and id must then name a catalog entry.
may_gc Status make_from_fields(const Cell& spec, Cell* out) {
  RootedCell blk(spec);
  RootedCell e(new_error());
  field_ref(*e, NEAR) = current_near();
  context::bind(*blk, e->w1, true);
  Cell* base = g_stack.top;
  Status s = interp::eval_block(*blk, false);
  g_stack.top = base;
  if (s != Status::OK) return s;
  Cell tw = field_ref(*e, TYPE);
  int32_t t = tw.is(TYPE_WORD) ? find_type(symbol::resolve(tw.w2)) : -1;
  if (t < 0) fire(ErrId::INVALID_SPEC_FIELD, runtime_word(SymId::TYPE));
  Cell iw = field_ref(*e, ID);
  int32_t k = iw.is(TYPE_WORD) ? find_id(uint32_t(t), symbol::resolve(iw.w2)) : -1;
  if (k < 0) fire(ErrId::INVALID_SPEC_FIELD, runtime_word(SymId::ID));
  field_ref(*e, CODE) = integer_cell(t * 100 + k);
  *out = *e;
  return Status::OK;
}

}  // namespace

may_gc Status make(const Cell& spec_in, Cell* out) {
  load_catalog();
  RootedCell spec(spec_in);
  switch (spec->type()) {
    case TYPE_INTEGER: {
      int32_t c = spec->i2();
      if (c < 0 || uint32_t(c / 100) >= g_catalog.size()) fire(ErrId::OUT_OF_RANGE, *spec);
      uint32_t t = uint32_t(c / 100), k = uint32_t(c % 100);
      if (k >= g_catalog[t].ids.size()) fire(ErrId::OUT_OF_RANGE, *spec);
      *out = create_at(t, k, nullptr, nullptr, nullptr);
      return Status::OK;
    }
    case TYPE_BLOCK: {
      int32_t len = block::rs_length(*spec);
      Cell first = len > 0 ? *block::rs_head(spec.get()) : none_cell();
      if (first.is(TYPE_SET_WORD)) return make_from_fields(*spec, out);
      if (!first.is(TYPE_WORD)) fire(ErrId::INVALID_ERROR, *spec);
      int32_t t = find_type(symbol::resolve(first.w2));
      if (t < 0) fire(ErrId::INVALID_SPEC_FIELD, runtime_word(SymId::TYPE));
      if (len < 2) fire(ErrId::INVALID_SPEC_FIELD, runtime_word(SymId::ID));
      Cell second = block::rs_head(spec.get())[1];
      if (!second.is(TYPE_WORD)) fire(ErrId::INVALID_ARG, second);
      int32_t k = find_id(uint32_t(t), symbol::resolve(second.w2));
      if (k < 0) fire(ErrId::INVALID_SPEC_FIELD, runtime_word(SymId::ID));
      *out = create_at(uint32_t(t), uint32_t(k), nullptr, nullptr, nullptr);
      return Status::OK;
    }
    case TYPE_STRING: {
      Cell arg = *spec;
      *out = create(ErrId::MESSAGE, 1, &arg);
      return Status::OK;
    }
    default:
      fire(ErrId::BAD_MAKE_ARG, datatype_cell(TYPE_ERROR), *spec);
  }
}

namespace {

// make: type spec.
Status error_make_action(Cell* base) {
  using enum act::make::Frame;
  Cell out;
  VEL_TRY(make(base[SPEC], &out));
  base[RESULT] = out;
  return Status::OK;
}

}  // namespace

// --- catalog ------------------------------------------------------------------------------------

may_gc void load_catalog() {
  if (g_loaded) return;
  Cell code = catalog_code();
  g_roots[CATALOG] = code;
  if (!code.is(TYPE_BLOCK)) catalog_fault("the boot image holds no library/errors.vel");
  // The source: a header (Vel [...]), then the catalog block.
  NodeId src = code.node();
  uint32_t at = (cells_in(src) >= 1 && cell_of(src, 0).is(TYPE_WORD)) ? 2 : 0;
  if (cells_in(src) != at + 1 || !cell_of(src, at).is(TYPE_BLOCK)) catalog_fault("expected a header and one block");
  NodeId blk = cell_of(src, at).node();
  uint32_t n = cells_in(blk), i = 0;
  std::vector<TypeEntry> types;
  for (; i < n; i += 2) {
    if (i + 1 >= n || !cell_of(blk, i).is(TYPE_SET_WORD) || !cell_of(blk, i + 1).is(TYPE_BLOCK))
      catalog_fault("expected type-name: [...]");
    types.push_back(read_type(cell_of(blk, i), cell_of(blk, i + 1), uint32_t(types.size())));
  }
  g_catalog = std::move(types);
  if (find_type(sym(SymId::INTERNAL)) < 0 ||
      find_id(uint32_t(find_type(sym(SymId::INTERNAL))), sym(SymId::INVALID_ERROR)) < 0)
    catalog_fault("internal/invalid-error is missing");
  g_loaded = true;
  map_runtime_ids();
  fill_headings();
}

uint32_t type_count() { return uint32_t(g_catalog.size()); }
uint32_t id_count(uint32_t type) { return type < g_catalog.size() ? uint32_t(g_catalog[type].ids.size()) : 0; }

void init() {
  for (uint32_t i = 0; i < FIELD_COUNT; i++) g_field_sym[i] = symbol::make(kFieldNames[i]);
  // The prototype: a heap object context with the ten fields.
  RootedNode ctx(context::create(FIELD_COUNT, false, true, 0, context::KIND_OBJECT));
  for (uint32_t i = 0; i < FIELD_COUNT; i++) context::put_value(ctx, g_field_sym[i], none_cell());
  Cell proto = make_cell(TYPE_ERROR, ctx, ERROR_CLASS, 0);
  context::owner(ctx) = proto;
  g_roots[PROTO] = proto;
}

// --- making -------------------------------------------------------------------------------------

may_gc Cell create_at(uint32_t type, uint32_t id, const Cell* a1, const Cell* a2, const Cell* a3) {
  Cell args[3] = {a1 ? *a1 : none_cell(), a2 ? *a2 : none_cell(), a3 ? *a3 : none_cell()};
  RootedCells keep(args, 3);
  load_catalog();
  Cell e = new_error();
  set_type_and_id(e, type, id);
  Cell* v = values_of(e);
  v[ARG1] = args[0];
  v[ARG2] = args[1];
  v[ARG3] = args[2];
  v[NEAR] = current_near();
  return e;
}

may_gc Cell create(ErrId id, int nargs, const Cell* args_in) {
  Cell args[3] = {none_cell(), none_cell(), none_cell()};
  for (int i = 0; i < nargs && i < 3; i++) args[i] = args_in[i];
  RootedCells keep(args, 3);
  load_catalog();
  const Position& p = g_positions[size_t(id)];
  if (!p.found) {
    Cell culprit = word::make_global(symbol::make(error_id_name(id)));
    RootedCell e(create_at(0, 0, &culprit, nullptr, nullptr));
    rewrite_invalid(*e, culprit);
    return *e;
  }
  return create_at(p.type, p.id, nargs > 0 ? &args[0] : nullptr, nargs > 1 ? &args[1] : nullptr,
                   nargs > 2 ? &args[2] : nullptr);
}

may_gc Cell of(const VelError& e) {
  if (e.error.is(TYPE_ERROR)) return e.error;
  Cell args[3] = {e.args[0], e.args[1], e.args[2]};
  RootedCells keep(args, 3);
  return create(e.id, e.nargs, args);
}

// --- fields ---------------------------------------------------------------------------------------

Cell field(const Cell& err, Field f) { return field_ref(err, f); }
void set_field(const Cell& err, Field f, const Cell& value) { field_ref(err, f) = value; }

void set_where(const Cell& err, const Cell& value) {
  Cell& w = field_ref(err, WHERE);
  if (w.is(TYPE_NONE)) w = value;
}

uint32_t type_symbol(const Cell& err) {
  Cell w = field_ref(err, TYPE);
  return is_any_word(w.type()) ? w.w2 : 0;
}

uint32_t id_symbol(const Cell& err) {
  Cell w = field_ref(err, ID);
  return is_any_word(w.type()) ? w.w2 : 0;
}

ErrId runtime_id(const Cell& err) {
  uint32_t t = type_symbol(err), i = id_symbol(err);
  ErrId out;
  if (t && i && error_id_by_name(symbol::text(t), symbol::text(i), &out)) return out;
  return ErrId::INVALID_ERROR;
}

// --- raising and call names -------------------------------------------------------------------------

namespace {

// What raising an error value records in it: where, and the depth of the
// stack unless a block of names is there. Answers the error.
may_gc Cell record_raise(const Cell& err_in) {
  RootedCell err(err_in);
  if (frame_depth() > 0) {
    Cell call = where_call();
    set_where(*err, call);
    if (!field_ref(*err, STACK).is(TYPE_BLOCK)) field_ref(*err, STACK) = integer_cell(int32_t(frame_depth()));
  }
  return *err;
}

}  // namespace

void raise(const Cell& err_in) {
  Cell err = record_raise(err_in);
  throw_error_value(runtime_id(err), err);
}

Status fail_raise(const Cell& err_in) {
  Cell err = record_raise(err_in);
  return fail_error_value(runtime_id(err), err);
}

namespace {

// The innermost named call's word (only the calls the user made when
// `user` is set), or none.
Cell innermost_call(bool user) {
  for (int64_t i = int64_t(frame_depth()) - 1; i >= 0; i--) {
    const CallFrame& f = g_stack.frames[i];
    if (user ? visible(f) : named(f)) return frame_word(f);
  }
  return none_cell();
}

may_gc Cell pinned_or_innermost(bool user) {
  // The pin holds the word itself: the pinned frame may be gone by now.
  Cell w = g_roots[PINNED].is(TYPE_WORD) ? g_roots[PINNED] : innermost_call(user);
  unpin();
  return w.is(TYPE_WORD) ? w : runtime_word(SymId::NOT_FOUND_TAG);
}

}  // namespace

may_gc Cell get_call() { return pinned_or_innermost(false); }

may_gc Cell where_call() { return pinned_or_innermost(true); }

void pin_top_frame() {
  if (!g_roots[PINNED].is(TYPE_WORD)) g_roots[PINNED] = innermost_call(true);
}

void unpin() { g_roots[PINNED] = none_cell(); }

may_gc void capture_stack(const Cell& err_in) {
  RootedCell err(err_in);
  Cell s = field_ref(*err, STACK);
  if (!s.is(TYPE_INTEGER)) return;
  int32_t level = stack_trace_level();
  if (level < 1) level = 1;
  RootedCell names(block::make_at(20));
  uint32_t n = live_end(s.i2());
  for (uint32_t i = 0; i < n; i++) {
    CallFrame f = g_stack.frames[i];
    if (!traced(f, level)) continue;
    Cell w = word::make_global(f.symbol);
    block::rs_append(names->node(), w);
  }
  field_ref(*err, STACK) = *names;
}

void drop_stack(const Cell& err) {
  Cell& s = field_ref(err, STACK);
  if (s.is(TYPE_INTEGER)) s = none_cell();
}

int32_t stack_trace_level() {
  const Cell* v = system_field(SymId::STATE, SymId::STACK_TRACE);
  if (!v) return 1;
  return v->is(TYPE_INTEGER) ? v->i2() : 0;
}

std::string report_caption() {
  const Cell* title = system_field(SymId::SCRIPT, SymId::TITLE);
  if (title && title->is(TYPE_STRING)) return to_utf8(title->node(), std::max<int64_t>(0, title->index()));
  return "Vel NoName App";
}

may_gc std::string report(const Cell& err) {
  RootedNode out(make_string(128));
  form_value(err, out);
  return string_text(out);
}

void uncaught_report(const VelError& e, std::string* caption, std::string* text) {
  *caption = report_caption();
  if (g_roots[PROTO].is(TYPE_ERROR) && !g_gc.active) {
    try {
      RootedCell err(of(e));
      capture_stack(*err);
      *text = report(*err);
      return;
    } catch (const VelError&) {
      // The report itself failed: fall back to the bare names.
    }
  }
  *text = std::string("*** ") + error_type_name(error_type_of(e.id)) + " error: " + error_id_name(e.id);
}

}  // namespace vel::error

namespace vel {

void register_type_ERROR() {
  TypeBuilder(TYPE_ERROR)
      .action(ACT_MAKE, error::error_make_action)
      .inherit(ACT_REFLECT)
      .inherit(ACT_COPY)
      .inherit(ACT_FIND)
      .inherit(ACT_SELECT)
      .form(error::error_form)
      .mold(error::error_mold)
      .compare(error::error_compare)
      .eval_path(error::error_eval_path)
      .done();
}

}  // namespace vel
