// map!: make/to, paths, put/select/find/remove/clear/length?/copy, reflect,
// compare, form and mold, extend and the foreach step.
#include "datatypes/map.h"

#include <array>
#include <iterator>

#include "action_frames.h"
#include "cycle.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "native_frames.h"
#include "hashtable.h"
#include "natives_table.h"
#include "roots.h"
#include "series_ops.h"

namespace vel::map {

namespace {

constexpr std::array<bool, 256> make_key_table() {
  std::array<bool, 256> k{};
  for (TypeId t : {TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_CHAR, TYPE_INTEGER, TYPE_FLOAT, TYPE_WORD, TYPE_SET_WORD,
                   TYPE_LIT_WORD, TYPE_GET_WORD, TYPE_REFINEMENT, TYPE_ISSUE, TYPE_PAIR, TYPE_PERCENT, TYPE_TUPLE,
                   TYPE_BINARY, TYPE_TIME, TYPE_TAG, TYPE_EMAIL, TYPE_DATE, TYPE_MONEY, TYPE_REF, TYPE_POINT2D,
                   TYPE_POINT3D})
    k[t] = true;
  return k;
}
constexpr std::array<bool, 256> kValidKey = make_key_table();

inline Buffer* pairs(const Cell& m) { return node_buffer(m.w2); }
inline uint32_t cell_count(const Cell& m) { return pairs(m)->used() >> 4; }
inline Cell* cells(const Cell& m) { return pairs(m)->cells(); }
// Whether the pair whose key is cell k holds a value.
inline bool live_at(const Cell& m, uint32_t k) { return k + 1 < cell_count(m) && cells(m)[k + 1].header != 0; }

// A key as words-of and find give it back.
inline Cell outer_key(Cell k) {
  if (k.is(TYPE_SET_WORD)) k.set_type(TYPE_WORD);
  return k;
}

inline int lookup_op(bool cs) { return cs ? CMP_STRICT_EQUAL : CMP_EQUAL; }

// The index of the key cell equal to key, or -1. Types that cannot be keys
// are never stored, so they are not looked for.
// Without /case, "a" may find a removed "A" first while a live "a" is
// there too: the live one answers.
may_gc int32_t find_key(const Cell& m, const Cell& key, int op) {
  if (!kValidKey[key.type()]) return -1;
  int32_t k = hash_table::get(m.w3, key, 0, 1, op);
  if (k < 0 || live_at(m, uint32_t(k)) || op != CMP_EQUAL) return k;
  int32_t pos = -1;
  uint32_t start = 0, step = 0;
  for (;;) {
    int32_t j = hash_table::find_next(m.w3, key, &pos, &start, &step);
    if (j < 0) return k;
    if (live_at(m, uint32_t(j))) return j;
  }
}

// Every key of a block about to be indexed in its stored form; a dangling
// last key is left as it is, since the index leaves it out.
may_gc void prepare_keys(NodeId block_in) {
  RootedNode block(block_in);
  for (uint32_t i = 0; i + 1 < node_buffer(block)->used() >> 4; i += 2) {
    Cell key = node_buffer(block)->cells()[i];
    preprocess_key(&key, key);
    node_buffer(block)->cells()[i] = key;
  }
}

// Keys of pairs from cell `from` on must be storable.
void check_keys(NodeId block, uint32_t from, const Cell& where) {
  Buffer* b = node_buffer(block);
  uint32_t n = b->used() >> 4;
  for (uint32_t i = from; i < n; i += 2) {
    TypeId t = b->cells()[i].type();
    if (!kValidKey[t]) fire(ErrId::INVALID_PATH, where, datatype_cell(t));
  }
}

// A new map over a shallow copy of a block's cells from its index, without
// their new-line markers.
may_gc Cell from_block(const Cell& spec) {
  int32_t n = series_length_of(spec);
  if (n % 2) fire(ErrId::INVALID_ARG, spec);
  RootedCell copy(series_copy(spec, nullptr));
  Buffer* b = node_buffer(copy->node());
  for (uint32_t i = 0, len = b->used() >> 4; i < len; i++) b->cells()[i].clear_new_line();
  check_keys(copy->node(), 0, spec);
  return make_at(copy->node(), uint32_t(n ? n : 2));
}

may_gc Cell copy_map(const Cell& m_in, bool deep, const Cell* types_in) {
  RootedCell m(m_in);
  RootedCell types(types_in ? *types_in : none_cell());
  if (deep && types_in && cycles_find(m->w2)) {
    cycles_reset();
    fire(ErrId::NO_CYCLE);
  }
  RootedCell blk(series_cell(TYPE_BLOCK, m->w2, 0));
  RootedCell clone(block_copy(*blk, nullptr, deep, types_in ? types.get() : nullptr));
  clone->clear_new_line();
  NodeId t = hash_table::copy(m->w3, clone->node());
  return make_cell(TYPE_MAP, 0, clone->node(), t);
}

// The number spec of make: a count of pairs.
int32_t pair_count(const Cell& spec) {
  int32_t n = check_float_to_int(spec);
  if (n < 0) fire(ErrId::OUT_OF_RANGE, spec);
  return n;
}

may_gc Cell make_map(const Cell& spec, bool to) {
  switch (spec.type()) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: return from_block(spec);
    case TYPE_MAP: return copy_map(spec, false, nullptr);
    case TYPE_INTEGER:
    case TYPE_FLOAT:
      if (!to) {
        int64_t cells = 2 * int64_t(pair_count(spec));
        return make_at(0, uint32_t(cells ? cells : 2));
      }
      break;
    default: break;
  }
  fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_MAP), spec);
}

// --- actions -------------------------------------------------------------------------

// make and to: type spec.
Status map_make(Cell* base) {
  using enum act::make::Frame;
  base[RESULT] = make_map(base[SPEC], false);
  return Status::OK;
}

Status map_to(Cell* base) {
  using enum act::to::Frame;
  base[RESULT] = make_map(base[SPEC], true);
  return Status::OK;
}

// reflect: value field.
Status map_reflect(Cell* base) {
  using enum act::reflect::Frame;
  const Cell& f = base[FIELD];
  uint32_t s = is_any_word(f.type()) ? symbol::resolve(f.w2) : 0;
  base[RESULT] = reflect(base[VALUE], s);
  return Status::OK;
}

// copy: value /part length /deep /types kind. /part is ignored.
Status map_copy(Cell* base) {
  using enum act::copy::Frame;
  const Cell* types = copy_types_arg(base);
  base[RESULT] = copy_map(base[VALUE], used(base[DEEP]), types);
  return Status::OK;
}

// select: series value /part length /only /case /same /any /with wild
// /skip size /last /reverse.
Status map_select(Cell* base) {
  using enum act::select::Frame;
  int op = used(base[SAME]) ? CMP_SAME : lookup_op(used(base[CASE]));
  int32_t k = find_key(base[SERIES], base[VALUE], op);
  base[RESULT] = (k >= 0 && live_at(base[SERIES], uint32_t(k))) ? cells(base[SERIES])[k + 1] : none_cell();
  return Status::OK;
}

// find: as select; answers the stored key (a set-word! as word!).
Status map_find(Cell* base) {
  using enum act::find::Frame;
  int op = used(base[SAME]) ? CMP_SAME : lookup_op(used(base[CASE]));
  int32_t k = find_key(base[SERIES], base[VALUE], op);
  base[RESULT] = (k >= 0 && live_at(base[SERIES], uint32_t(k))) ? outer_key(cells(base[SERIES])[k]) : none_cell();
  return Status::OK;
}

// put: series key value /case.
Status map_put(Cell* base) {
  using enum act::put::Frame;
  base[RESULT] = store(base[SERIES], base[KEY], base[VALUE], used(base[CASE]), none_cell());
  return Status::OK;
}

// remove: series /part length /key key-arg. The key always matches
// case-sensitively.
Status map_remove(Cell* base) {
  using enum act::remove::Frame;
  if (!used(base[KEY])) fire(ErrId::MISSING_ARG);
  RootedCell m(base[SERIES]);
  int32_t k = find_key(*m, base[KEY_ARG], CMP_STRICT_EQUAL);
  if (k >= 0 && live_at(*m, uint32_t(k))) hash_table::remove(m->w3, uint32_t(k));
  base[RESULT] = *m;
  return Status::OK;
}

Status map_clear(Cell* base) {
  using enum act::clear::Frame;
  hash_table::clear(base[SERIES].w3);
  return Status::OK;
}

Status map_length(Cell* base) {
  using enum act::length_q::Frame;
  base[RESULT] = integer_cell(int32_t(rs_length(base[SERIES])));
  return Status::OK;
}

// --- paths ---------------------------------------------------------------------------

may_gc Cell map_eval_path(const Cell& m, const Cell& key, const Cell* set_value, const PathStep& step) {
  if (!set_value) return get(m, key, step.case_sensitive);
  return store(m, key, *set_value, step.case_sensitive, step.path ? *step.path : none_cell());
}

// --- compare -------------------------------------------------------------------------

// Whether some key of b equal to key (default comparison: "a" and "A" may
// both be keys) holds a value equal to v.
bool any_value_matches(const Cell& b, const Cell& key, const Cell& v) {
  int32_t pos = -1;
  uint32_t start = 0, step = 0;
  for (;;) {
    int32_t k = hash_table::find_next(b.w3, key, &pos, &start, &step);
    if (k < 0) return false;
    if (live_at(b, uint32_t(k)) && compare_cells(&v, &cells(b)[k + 1], CMP_EQUAL) == 0) return true;
  }
}

int32_t maps_equal(const Cell& a, const Cell& b, int op) {
  if (a.w2 == b.w2) return 0;
  if (op == CMP_SAME) return -1;
  if (cycles_find(a.w2)) return cycles_find(b.w2) ? 0 : 1;
  uint32_t na = rs_length(a), nb = rs_length(b);
  if (na != nb) return 1;
  if (na == 0) return 0;
  WalkDepth depth;
  CycleScope guard_a(a.w2);
  CycleScope guard_b(b.w2);
  for (uint32_t k = 0; k + 1 < cell_count(a); k += 2) {
    if (!live_at(a, k)) continue;
    Cell key = cells(a)[k], v = cells(a)[k + 1];
    if (op == CMP_STRICT_EQUAL) {
      int32_t j = hash_table::get(b.w3, key, 0, 1, CMP_STRICT_EQUAL);
      if (j < 0 || !live_at(b, uint32_t(j))) return 1;
      if (compare_cells(&v, &cells(b)[j + 1], CMP_STRICT_EQUAL) != 0) return 1;
    } else if (!any_value_matches(b, key, v)) {
      return 1;
    }
  }
  return 0;
}

int32_t map_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_MAP)) return CMP_INCOMPARABLE;
  switch (op) {
    case CMP_SORT:
    case CMP_CASE_SORT: return a->w2 == b->w2 ? 0 : (a->w2 < b->w2 ? -1 : 1);
    case CMP_EQUAL:
    case CMP_NOT_EQUAL:
    case CMP_STRICT_EQUAL:
    case CMP_SAME:
    case CMP_FIND: return maps_equal(*a, *b, op);
    default: return CMP_INCOMPARABLE;
  }
}

// --- form and mold -------------------------------------------------------------------

// The entries: each key and value molded with a space between. In mold
// mode (not flat, not only) a line feed comes first and every entry stands
// on its own line, indented; otherwise the separator stands between entries.
may_gc int32_t write_body(const Cell& m_in, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part,
                          int32_t level, bool mold) {
  RootedNode out(out_in);
  RootedCell m(m_in);
  if (rs_length(*m) == 0) return part;
  bool flat = flags & MOLD_FLAT;
  bool lines = mold && !flat && !(flags & MOLD_ONLY);
  uint32_t sep = flat ? ' ' : '\n';
  WalkDepth depth;
  CycleScope guard(m->w2);
  if (lines) {
    append_char(out, '\n');
    part = spend(part, 1);
  }
  bool first = true;
  for (uint32_t k = 0; k + 1 < cell_count(*m); k += 2) {
    if (!live_at(*m, k)) continue;
    if (!lines && !first) {
      append_char(out, sep);
      part = spend(part, 1);
    }
    first = false;
    if (lines) part = indent(out, level, part);
    part = mold_value(cells(*m)[k], out, flags, arg, part, level);
    append_char(out, ' ');
    part = spend(part, 1);
    // The key's mold may have run the collector: read the value afresh.
    if (k + 1 < cell_count(*m)) part = mold_value(cells(*m)[k + 1], out, flags, arg, part, level);
    if (lines) {
      append_char(out, sep);
      part = spend(part, 1);
    }
    if (part < 1) break;
  }
  return part;
}

// A map met again while it is written shows as "#[...]", in form too.
may_gc int32_t map_form(Cell v, NodeId out_in, const Cell* arg, int32_t part) {
  RootedNode out(out_in);
  if (cycles_detect(v, out, &part, true)) return part;
  return write_body(v, out, 0, arg, part, 0, false);
}

may_gc int32_t map_mold(Cell v, NodeId out_in, uint32_t flags, const Cell* arg, int32_t part, int32_t level) {
  RootedNode out(out_in);
  RootedCell m(v);
  if (cycles_detect(*m, out, &part, true)) return part;
  bool only = flags & MOLD_ONLY;
  if (!only) {
    append_latin1(out, "#[");
    part = spend(part, 2);
  }
  uint32_t before = node_buffer(out)->length();
  part = write_body(*m, out, flags, arg, part, level + 1, true);
  if (only) return part;
  if (node_buffer(out)->length() != before && level > 0 && !(flags & MOLD_FLAT)) part = indent(out, level, part);
  append_char(out, ']');
  return spend(part, 1);
}

// --- foreach -------------------------------------------------------------------------

// Sets the two loop words from the next live pair; removed pairs are
// skipped whole. Answers whether a word was set from the map.
may_gc bool foreach_step(const Cell& words_in, uint32_t count, Cell* it) {
  RootedCell words(words_in);
  for (uint32_t w = 0; w < count; w++) {
    Cell word = block::rs_abs_at(*words, uint32_t(series_index(*words) + w))[0];
    if (!is_word_form(word.type())) fire(ErrId::INVALID_ARG, word);
  }
  bool any = false;
  for (uint32_t w = 0; w < count; w++) {
    uint32_t i = uint32_t(series_index(*it));
    bool key_pos = i % 2 == 0;
    if (key_pos)
      while (i + 1 < cell_count(*it) && !live_at(*it, i)) i += 2;
    Cell v = none_cell();
    if (i < cell_count(*it)) {
      v = key_pos ? outer_key(cells(*it)[i]) : cells(*it)[i];
      i++;
      any = true;
    }
    it->w1 = i;
    Cell word = block::rs_abs_at(*words, uint32_t(series_index(*words) + w))[0];
    word.set_type(TYPE_WORD);
    word::set_any(&word, v);
  }
  return any;
}

may_gc Cell body_of(const Cell& m) { return reflect(m, sym(SymId::BODY)); }

}  // namespace

bool valid_key(TypeId t) { return kValidKey[t]; }

may_gc void preprocess_key(Cell* key, const Cell& where) {
  TypeId t = key->type();
  if (!kValidKey[t]) fire(ErrId::INVALID_PATH, where, datatype_cell(t));
  if (is_word_form(t)) key->set_type(TYPE_SET_WORD);
  else if (is_text_or_binary(t)) *key = series_copy(*key, nullptr);
}

uint32_t rs_length(const Cell& m) { return hash_table::header(m.w3)->live; }

may_gc Cell make_at(NodeId block_in, uint32_t size) {
  RootedCell m(make_cell(TYPE_MAP, 0, block_in));
  if (!m->w2) m->w2 = alloc_cells(size ? size : 2);
  prepare_keys(m->w2);
  // The table is sized for the keys: half the cells.
  NodeId t = hash_table::make(size / 2 + 1, m->w2, hash_table::KIND_MAP);
  m->w3 = t;
  return *m;
}

may_gc Cell get(const Cell& m, const Cell& key, bool cs) {
  int32_t k = find_key(m, key, lookup_op(cs));
  return (k >= 0 && live_at(m, uint32_t(k))) ? cells(m)[k + 1] : none_cell();
}

may_gc Cell store(const Cell& m_in, const Cell& key_in, const Cell& value_in, bool cs, const Cell& where) {
  RootedCell m(m_in), key(key_in), value(value_in);
  int32_t k = find_key(*m, *key, lookup_op(cs));
  if (k >= 0) {
    Cell& slot = cells(*m)[k + 1];
    if (slot.header == 0) hash_table::revive(m->w3);
    slot = *value;
    return *value;
  }
  preprocess_key(key.get(), where);
  uint32_t at = block::rs_append(m->w2, *key);
  block::rs_append(m->w2, unset_cell());
  hash_table::put(m->w3, at);
  cells(*m)[at + 1] = *value;
  return *value;
}

may_gc void extend(const Cell& m_in, const Cell& spec_in, bool cs) {
  RootedCell m(m_in);
  RootedCell spec(spec_in.is(TYPE_MAP) ? body_of(spec_in) : spec_in);
  int32_t n = series_length_of(*spec);
  if (n % 2) fire(ErrId::INVALID_ARG, *spec);
  for (int64_t i = series_index(*spec), end = i + n; i < end; i += 2) {
    Cell* c = block::rs_abs_at(*spec, uint32_t(i));
    store(*m, c[0], c[1], cs, *spec);
  }
}

may_gc Cell reflect(const Cell& m_in, uint32_t field) {
  RootedCell m(m_in);
  bool words = field == sym(SymId::WORDS), values = field == sym(SymId::VALUES), body = field == sym(SymId::BODY);
  if (!words && !values && !body) fire(ErrId::NOT_DONE);
  uint32_t live = rs_length(*m);
  RootedCell r(block::make_at(int64_t(body ? 2 : 1) * live));
  for (uint32_t k = 0; k + 1 < cell_count(*m); k += 2) {
    if (!live_at(*m, k)) continue;
    Cell key = cells(*m)[k];
    if (words) {
      block::rs_append(r->node(), outer_key(key));
    } else if (values) {
      block::rs_append(r->node(), cells(*m)[k + 1]);
    } else {
      key.set_new_line(true);
      block::rs_append(r->node(), key);
      block::rs_append(r->node(), cells(*m)[k + 1]);
    }
  }
  return *r;
}

namespace {

// extend: obj spec /case. Objects do not grow.
Status native_extend(Cell* base) {
  using enum nat::extend::Frame;
  if (!base[OBJ].is(TYPE_MAP)) fire(ErrId::NOT_DONE);
  extend(base[OBJ], base[SPEC], used(base[CASE]));
  return Status::OK;
}

constexpr NativeEntry kMapNatives[] = {{NAT_EXTEND, native_extend}};

}  // namespace

void register_natives() { vel::register_natives(kMapNatives, std::size(kMapNatives)); }

}  // namespace vel::map

namespace vel {

void register_type_MAP() {
  using namespace map;
  TypeBuilder(TYPE_MAP)
      .to_block(body_of)
      .foreach_step(foreach_step)
      .action(ACT_MAKE, map_make)
      .action(ACT_TO, map_to)
      .action(ACT_REFLECT, map_reflect)
      .form(map_form)
      .mold(map_mold)
      .eval_path(map_eval_path)
      .compare(map_compare)
      .action(ACT_CLEAR, map_clear)
      .action(ACT_COPY, map_copy)
      .action(ACT_FIND, map_find)
      .action(ACT_LENGTH_Q, map_length)
      .action(ACT_PUT, map_put)
      .action(ACT_REMOVE, map_remove)
      .action(ACT_SELECT, map_select)
      .done();
}

}  // namespace vel
