// Series, set, text and output natives: the set operations, dehex/enhex,
// enbase/debase, case changes, as, the new-line markers, print/prin, and
// the entry of parse (its engine is parse.cpp).
#include "evaluator/natives_series.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "frame.h"
#include "native_frames.h"
#include "families.h"
#include "casefold.h"
#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/url.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/strout.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/natives.h"
#include "evaluator/interpreter.h"
#include "evaluator/parse.h"
#include "hashtable.h"
#include "output.h"
#include "roots.h"
#include "unicode.h"

namespace vel {

namespace {

inline bool is_block_set(TypeId t) { return t == TYPE_BLOCK || t == TYPE_HASH; }

[[noreturn]] void fire_expect(const Cell& value, const char* arg) {
  Cell call = error::get_call();
  Cell word = word::load(arg);
  fire(ErrId::EXPECT_ARG, call, datatype_cell(value.type()), word);
}

inline uint32_t blen(NodeId n) { return node_buffer(n)->used() >> 4; }
inline Cell cell_at(NodeId n, uint32_t i) { return node_buffer(n)->cells()[i]; }
// The index of a series value clamped to [0, length] (blocks and strings).
inline uint32_t clamped_index(const Cell& b) {
  uint32_t len = node_buffer(b.node())->length();
  return b.index() < 0 ? 0 : (uint32_t(b.index()) > len ? len : uint32_t(b.index()));
}

// --- block set operations ----------------------------------------------------------------

// The record keys of one block for the length of a set operation: open
// addressing over slots of (hash, cell index), linear probing, at most half
// full. A slot is 0 when empty, else hash << 32 | INT_KEY if the key is an
// integer! | (index + 1). An integer's hash is a bijection of its value, so
// two integer keys are equal exactly when their hashes are: those never read
// a cell. Keys that are any-blocks are kept in a list and compared one by
// one (a block's hash is its identity, not its content).
//
// The slots live in C++ memory and hold indexes, not addresses. The hashes
// of keys hashed by node handle go stale when the collector renumbers nodes,
// so every use checks the compaction count and rehashes after one.
class KeyTable {
 public:
  KeyTable(uint32_t records, bool case_sensitive)
      : op_(case_sensitive ? CMP_STRICT_EQUAL : CMP_EQUAL),
        block_op_(case_sensitive ? CMP_STRICT_EQUAL : CMP_EQUAL) {
    uint64_t cap = 16;
    while (cap < uint64_t(records) * 2) cap <<= 1;
    slots_.assign(size_t(cap), 0);
    mask_ = uint32_t(cap - 1);
    stamp_ = node_compactions();
  }

  // The hash and slot tag of a key cell.
  static uint64_t tag_of(const Cell& key) {
    if (key.is(TYPE_INTEGER)) return uint64_t(hash_table::hash_int(key.w2)) << 32 | INT_KEY;
    return uint64_t(hash_table::hash_value(key)) << 32;
  }

  void prefetch(uint64_t tag) const { __builtin_prefetch(&slots_[(tag >> 32) & mask_]); }

  // Whether the key (with its tag) is in the table, whose keys are the cells
  // of `block` at the stored indexes. Absent, with `add` >= 0, enters the key
  // as the cell at index `add`.
  bool find_or_add(NodeId block, const Cell& key, uint64_t tag, int64_t add) {
    if (stamp_ != node_compactions()) rehash(block);
    if (is_any_block(key.type())) {
      for (uint32_t i : blocks_) {
        Cell c = cell_at(block, i);
        if (c.type() == key.type() && compare_values(&c, &key, block_op_)) return true;
      }
      if (add >= 0) blocks_.push_back(uint32_t(add));
      return false;
    }
    const Cell* cells = node_buffer(block)->cells();
    uint32_t b = uint32_t(tag >> 32) & mask_;
    for (;;) {
      uint64_t s = slots_[b];
      if (s == 0) break;
      if ((s >> 32) == (tag >> 32)) {
        if (tag & INT_KEY) {
          if (s & INT_KEY) return true;
        } else if (!(s & INT_KEY) && hash_table::key_equal(cells[(s & INDEX_MASK) - 1], key, op_)) {
          return true;
        }
      }
      b = (b + 1) & mask_;
    }
    if (add >= 0) {
      slots_[b] = (tag & ~INDEX_MASK) | (uint64_t(add) + 1);
      if (++count_ * 2 > slots_.size()) grow();
    }
    return false;
  }

 private:
  static constexpr uint64_t INT_KEY = uint64_t(1) << 31;
  static constexpr uint64_t INDEX_MASK = INT_KEY - 1;

  void place(uint64_t s) {
    uint32_t b = uint32_t(s >> 32) & mask_;
    while (slots_[b]) b = (b + 1) & mask_;
    slots_[b] = s;
  }

  void grow() {
    std::vector<uint64_t> old;
    old.swap(slots_);
    slots_.assign(old.size() * 2, 0);
    mask_ = uint32_t(slots_.size() - 1);
    for (uint64_t s : old)
      if (s) place(s);
  }

  // New hashes for every key from its cell.
  void rehash(NodeId block) {
    std::vector<uint64_t> old;
    old.swap(slots_);
    slots_.assign(old.size(), 0);
    const Cell* cells = node_buffer(block)->cells();
    for (uint64_t s : old) {
      if (!s) continue;
      uint64_t index = s & INDEX_MASK;
      place((tag_of(cells[index - 1]) & ~INDEX_MASK) | index);
    }
    stamp_ = node_compactions();
  }

  std::vector<uint64_t> slots_;
  std::vector<uint32_t> blocks_;
  uint32_t mask_ = 0, count_ = 0, stamp_ = 0;
  int op_, block_op_;
};

// How far ahead of the record being handled the walks start the cache miss
// of a key's home slot.
constexpr uint32_t PREFETCH_AHEAD = 8;

// The keys of the records of a block from its index (the first key of
// equal ones). No allocation.
void collect_keys(KeyTable& keys, const Cell& set, uint32_t skip) {
  NodeId n = set.node();
  for (uint32_t i = clamped_index(set); i < blen(n); i += skip) {
    Cell key = cell_at(n, i);
    (void)keys.find_or_add(n, key, KeyTable::tag_of(key), i);
  }
}

// Records of `skip` cells keyed by their first cell; the first occurrence of
// a key wins. union and difference walk both sets, the others the first.
// The result has room for every record from the start, so appending to it
// does not allocate.
may_gc Cell block_set_op(const Cell& first, const Cell* second, bool cs, int32_t skip, string::SetOp op) {
  RootedCell a(first);
  RootedCell b(second ? *second : none_cell());
  a->w1 = clamped_index(*a);
  if (second) b->w1 = clamped_index(*b);
  uint32_t len_a = blen(a->node()) - uint32_t(a->index());
  uint32_t len_b = second ? blen(b->node()) - uint32_t(b->index()) : 0;
  bool both = op == string::SET_UNION || op == string::SET_DIFFERENCE;
  uint64_t room = uint64_t(len_a) + (both ? len_b : 0);
  bool hash = a->is(TYPE_HASH) || b->is(TYPE_HASH);
  RootedCell result(block::make_at(int64_t(room ? room : 1), a->is(TYPE_HASH) ? TYPE_BLOCK : a->type()));
  uint32_t step = uint32_t(skip);
  KeyTable seen(uint32_t(room / step + 1), cs);

  // One walk over `from`, testing membership in `other`'s keys when the
  // operation needs it (want: keep the records whose key is there).
  auto walk = [&](const Cell& from, KeyTable* other, const Cell* other_set, bool want) may_gc {
    NodeId src = from.node();
    uint32_t begin = uint32_t(from.index()), end = blen(src);
    for (uint32_t i = begin; i < end; i += step) {
      uint64_t ahead = uint64_t(i) + uint64_t(step) * PREFETCH_AHEAD;
      if (ahead < end) {
        uint64_t t = KeyTable::tag_of(cell_at(src, uint32_t(ahead)));
        seen.prefetch(t);
        if (other) other->prefetch(t);
      }
      Cell key = cell_at(src, i);
      uint64_t tag = KeyTable::tag_of(key);
      if (other && other->find_or_add(other_set->node(), key, tag, -1) != want) continue;
      NodeId out = result->node();
      if (seen.find_or_add(out, key, tag, blen(out))) continue;
      for (uint32_t j = i; j < i + step && j < blen(src); j++) block::rs_append(out, cell_at(src, j));
    }
  };

  switch (op) {
    case string::SET_UNIQUE: walk(*a, nullptr, nullptr, true); break;
    case string::SET_UNION:
      walk(*a, nullptr, nullptr, true);
      walk(*b, nullptr, nullptr, true);
      break;
    case string::SET_INTERSECT:
    case string::SET_EXCLUDE: {
      KeyTable other(len_b / step + 1, cs);
      collect_keys(other, *b, step);
      walk(*a, &other, b.get(), op == string::SET_INTERSECT);
      break;
    }
    case string::SET_DIFFERENCE: {
      KeyTable keys_b(len_b / step + 1, cs);
      collect_keys(keys_b, *b, step);
      walk(*a, &keys_b, b.get(), false);
      KeyTable keys_a(len_a / step + 1, cs);
      collect_keys(keys_a, *a, step);
      walk(*b, &keys_a, a.get(), false);
      break;
    }
  }
  // Any hash! argument makes the result a hash! with a table of its own.
  if (hash) {
    NodeId t = hash_table::make(block::total(*result), result->node(), hash_table::KIND_HASH);
    result->set_type(TYPE_HASH);
    result->w3 = t;
  }
  return *result;
}

// The /skip size: 1 without the refinement; below 1 is refused.
int32_t skip_size(const Cell& flag, const Cell& size) {
  if (!used(flag)) return 1;
  if (!size.is(TYPE_INTEGER) || size.i2() < 1) fire(ErrId::INVALID_REFINE_ARG, refinement_cell(SymId::SKIP), size);
  return size.i2();
}

// The workers by the first set's datatype (set1, or unique's set, in the
// result cell). second is null for unique.
may_gc Status set_op(Cell* base, const Cell& first, const Cell* second, const Cell& case_flag,
                     const Cell& skip_flag, const Cell& skip_cell, string::SetOp op) {
  TypeId t = first.type();
  if (second) {
    bool agree = is_block_set(t) ? is_block_set(second->type()) : second->type() == t;
    if (!agree) fire(ErrId::EXPECT_VAL, datatype_cell(second->type()), datatype_cell(t));
  }
  bool cs = used(case_flag);
  int32_t skip = skip_size(skip_flag, skip_cell);
  switch (t) {
    case TYPE_BLOCK:
    case TYPE_HASH: base[RESULT] = block_set_op(first, second, cs, skip, op); break;
    case TYPE_STRING: base[RESULT] = string::do_set_op(first, second, cs, skip, op); break;
    case TYPE_TYPESET:
      if (!second) fire_expect(first, "set");
      base[RESULT] = typeset::set_op(first, *second, op);
      break;
    case TYPE_BITSET:
      if (!second) fire_expect(first, "set");
      base[RESULT] = bitset::do_bitwise(first, *second, op);
      break;
    case TYPE_DATE:
      if (op != string::SET_DIFFERENCE || !second) fire_expect(first, second ? "set1" : "set");
      base[RESULT] = date::difference(first, *second);
      break;
    default: fire_expect(first, second ? "set1" : "set");
  }
  return Status::OK;
}

// union, intersect, difference and exclude, each through its own frame.
template <typename Frame>
may_gc Status two_set_op(Cell* base, string::SetOp op) {
  return set_op(base, base[Frame::SET1], &base[Frame::SET2], base[Frame::CASE], base[Frame::SKIP],
                base[Frame::SIZE], op);
}

Status native_union(Cell* base) { return two_set_op<nat::union_::Frame>(base, string::SET_UNION); }
Status native_intersect(Cell* base) { return two_set_op<nat::intersect::Frame>(base, string::SET_INTERSECT); }
Status native_difference(Cell* base) { return two_set_op<nat::difference::Frame>(base, string::SET_DIFFERENCE); }
Status native_exclude(Cell* base) { return two_set_op<nat::exclude::Frame>(base, string::SET_EXCLUDE); }

Status native_unique(Cell* base) {
  using enum nat::unique::Frame;
  return set_op(base, base[SET], nullptr, base[CASE], base[SKIP], base[SIZE], string::SET_UNIQUE);
}

// complement?: bits.
Status native_complement_q(Cell* base) {
  using enum nat::complement_q::Frame;
  if (!base[BITS].is(TYPE_BITSET)) fire_expect(base[BITS], "bits");
  base[RESULT] = logic_cell(bitset::complemented(base[BITS]));
  return Status::OK;
}

// --- %XX escapes -----------------------------------------------------------------------------

Status native_dehex(Cell* base) {
  using enum nat::dehex::Frame;
  if (!is_any_string(base[VALUE].type())) fire_expect(base[VALUE], "value");
  base[RESULT] = url::decode(base[VALUE]);
  return Status::OK;
}

// A string! keeps only the unreserved characters plain; the other string
// types keep the whole URL set.
Status native_enhex(Cell* base) {
  using enum nat::enhex::Frame;
  if (!is_any_string(base[VALUE].type())) fire_expect(base[VALUE], "value");
  base[RESULT] = url::encode(base[VALUE], base[VALUE].is(TYPE_STRING));
  return Status::OK;
}

// --- case -------------------------------------------------------------------------------------

template <typename Frame>
Status change_case_native(Cell* base, bool upper) {
  Cell& v = base[Frame::STRING];
  if (v.is(TYPE_CHAR)) {
    v.w2 = change_case_cp(v.w2, upper);
    return Status::OK;
  }
  if (!is_any_string(v.type())) fire_expect(v, "string");
  int64_t index = clamped_index(v);
  int64_t count = CASE_TO_TAIL;
  if (used(base[Frame::PART])) {
    count = string::detail::part_count(v, base[Frame::LIMIT]);
    // A /part position before the index names the range that ends there.
    if (count < 0) {
      index += count;
      if (index < 0) index = 0;
      count = int64_t(clamped_index(v)) - index;
    }
  }
  change_case(v.node(), index, count, upper);
  return Status::OK;
}

Status native_uppercase(Cell* base) { return change_case_native<nat::uppercase::Frame>(base, true); }
Status native_lowercase(Cell* base) { return change_case_native<nat::lowercase::Frame>(base, false); }

// --- as ---------------------------------------------------------------------------------------

inline int family_of(TypeId t) {
  if (is_any_block(t) && t != TYPE_HASH) return 1;
  if (is_any_string(t)) return 2;
  return 0;
}

// The spec relabelled: the same buffer and position under another datatype
// of its family.
Status native_as(Cell* base) {
  using enum nat::as::Frame;
  TypeId target = base[TYPE].is(TYPE_DATATYPE) ? TypeId(base[TYPE].w1) : base[TYPE].type();
  TypeId from = base[SPEC].type();
  int fam = family_of(target);
  if (fam == 0 || fam != family_of(from)) fire(ErrId::NOT_SAME_CLASS, datatype_cell(target), datatype_cell(from));
  Cell r = base[SPEC];
  r.set_type(target);
  base[RESULT] = r;
  return Status::OK;
}

// --- new-line markers ------------------------------------------------------------------------


Status native_new_line(Cell* base) {
  using enum nat::new_line::Frame;
  const Cell& pos = base[POSITION];
  if (!is_any_list(pos.type())) fire_expect(pos, "position");
  if (!base[VALUE].is(TYPE_LOGIC)) fire_expect(base[VALUE], "value");
  bool on = base[VALUE].w1 != 0;
  // Step 0: the one cell at the position.
  uint32_t step = 0;
  if (used(base[SKIP])) {
    if (!base[SIZE].is(TYPE_INTEGER) || base[SIZE].i2() <= 0) fire(ErrId::OUT_OF_RANGE, base[SIZE]);
    step = uint32_t(base[SIZE].i2());
  } else if (used(base[ALL])) {
    step = 1;
  }
  uint32_t start = clamped_index(pos);
  Buffer* b = node_buffer(pos.node());
  uint32_t len = b->used() >> 4;
  Cell* cells = b->cells();
  // The marker is part of the cell: compiled code holds cells as they were.
  series_changed(pos.node());
  if (step == 0) {
    if (start < len) cells[start].set_new_line(on);
  } else {
    for (uint32_t k = 0; start + k < len; k++) cells[start + k].set_new_line((k % step == 0) == on);
  }
  return Status::OK;
}

Status native_new_line_q(Cell* base) {
  using enum nat::new_line_q::Frame;
  const Cell& pos = base[POSITION];
  if (!is_any_list(pos.type())) fire_expect(pos, "position");
  uint32_t at = clamped_index(pos);
  base[RESULT] = logic_cell(at < blen(pos.node()) && cell_at(pos.node(), at).new_line());
  return Status::OK;
}

// A new string! holding the operating system's form of a path.
Status native_to_local_file(Cell* base) {
  using enum nat::to_local_file::Frame;
  if (!base[PATH].is(TYPE_FILE) && !base[PATH].is(TYPE_STRING)) fire_expect(base[PATH], "path");
  uint32_t len = string::detail::view_of(base[PATH]).len;
  RootedNode out(make_string(len + 3));
  file::to_local_path(base[PATH], out, used(base[FULL]));
  base[RESULT] = series_cell(TYPE_STRING, out);
  return Status::OK;
}

// --- base codecs ------------------------------------------------------------------------

// The base of enbase and debase: /base base-value, else 64.
template <typename Frame>
int32_t base_of(const Cell* base) {
  if (!used(base[Frame::BASE])) return 64;
  int32_t b = base[Frame::BASE_VALUE].i2();
  if (b != 2 && b != 16 && b != 58 && b != 64) fire(ErrId::INVALID_ARG, base[Frame::BASE_VALUE]);
  return b;
}

// none when the text does not decode.
Status native_debase(Cell* base) {
  using enum nat::debase::Frame;
  int32_t b = base_of<nat::debase::Frame>(base);
  Cell& v = base[VALUE];
  int32_t count = series_length(&v);
  Buffer* buf = node_buffer(v.node());
  const uint8_t* text = buf->head_ptr() + (size_t(v.index()) << buf->unit_shift());
  std::string bytes;
  bool ok;
  switch (b) {
    case 2: ok = binary::decode_2(text, uint32_t(count), buf->unit(), &bytes); break;
    case 16: ok = binary::decode_16(text, uint32_t(count), buf->unit(), &bytes, true); break;
    case 58: ok = binary::decode_58(text, uint32_t(count), buf->unit(), &bytes); break;
    default: ok = binary::decode_64(text, uint32_t(count), buf->unit(), &bytes); break;
  }
  if (!ok) {
    v = none_cell();
    return Status::OK;
  }
  v = binary::load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return Status::OK;
}

// A string is taken as its UTF-8 bytes.
Status native_enbase(Cell* base) {
  using enum nat::enbase::Frame;
  int32_t b = base_of<nat::enbase::Frame>(base);
  RootedCell v(base[VALUE]);
  std::string holder;
  uint64_t n = binary::bytes_of(*v, holder).n;
  uint64_t size = b == 2 ? 8 * n : b == 16 ? 2 * n : b == 58 ? 2 * n : (n + 2) / 3 * 4;
  if (size > MAX_CAPACITY) fire(ErrId::TOO_LONG);
  NodeId out = alloc_series(size ? size : 1, 1, 0);
  binary::Bytes in = binary::bytes_of(*v, holder);  // again: the allocation may have moved it
  char* dst = reinterpret_cast<char*>(node_buffer(out)->head_ptr());
  char* end;
  switch (b) {
    case 2: end = binary::encode_2(dst, in.p, in.n); break;
    case 16: end = binary::encode_16(dst, in.p, in.n); break;
    case 58: end = binary::encode_58(dst, in.p, in.n); break;
    default: end = binary::encode_64(dst, in.p, in.n); break;
  }
  Buffer* ob = node_buffer(out);
  ob->tail = ob->head + uint32_t(end - dst);
  base[RESULT] = series_cell(TYPE_STRING, out, 0);
  return Status::OK;
}

// --- print ---------------------------------------------------------------------------

// The block print reduces into, and whether the last print or prin ended
// its line.
Cell g_print_buffer = {};
StaticRoot g_print_buffer_root("print: the block print reduces into", &g_print_buffer, 1);
bool g_last_newline = false;

inline Cell& print_buffer() { return g_print_buffer; }
inline int64_t series_at(const Cell& s) { return s.index() < 0 ? 0 : s.index(); }

// Reduces the block into the print buffer after what it holds; answers the
// buffer at the first new value. On any exit the buffer is cut back.
may_gc Status reduce_for_print(const Cell& block, uint32_t mark, Cell* out) {
  Cell* keep = push(block);
  interp::Code code{block.node(), uint32_t(std::min<int64_t>(series_at(block), series_total(block))),
                    uint32_t(series_total(block))};
  while (!code.at_end()) {
    Cell* top = g_stack.top;
    VEL_TRY(interp::eval_next(code, true));
    // The value stays on the stack (rooted) while the append may collect.
    Cell v = *(g_stack.top - 1);
    block::rs_append(print_buffer().node(), v);
    g_stack.top = top;
  }
  g_stack.top = keep;
  *out = print_buffer();
  out->w1 = mark;
  return Status::OK;
}

// print/prin: a block is reduced, anything else formed (see print_value).
Status native_print(Cell* base) {
  using enum nat::print::Frame;
  VEL_TRY(print_value(base[VALUE], true));
  base[RESULT] = unset_cell();
  return Status::OK;
}

Status native_prin(Cell* base) {
  using enum nat::prin::Frame;
  VEL_TRY(print_value(base[VALUE], false));
  base[RESULT] = unset_cell();
  return Status::OK;
}

constexpr NativeEntry kSeriesNatives[] = {
    {NAT_TO_LOCAL_FILE, native_to_local_file},
    {NAT_UNION, native_union},         {NAT_INTERSECT, native_intersect}, {NAT_UNIQUE, native_unique},
    {NAT_DIFFERENCE, native_difference}, {NAT_EXCLUDE, native_exclude}, {NAT_DEHEX, native_dehex},
    {NAT_COMPLEMENT_Q, native_complement_q},
    {NAT_ENHEX, native_enhex},         {NAT_UPPERCASE, native_uppercase}, {NAT_LOWERCASE, native_lowercase},
    {NAT_AS, native_as},               {NAT_NEW_LINE, native_new_line},   {NAT_NEW_LINE_Q, native_new_line_q},
    {NAT_DEBASE, native_debase},       {NAT_ENBASE, native_enbase},       {NAT_PRINT, native_print},
    {NAT_PRIN, native_prin},           {NAT_PARSE, native_parse},
};

}  // namespace

// --- output ------------------------------------------------------------------------------------

may_gc Status print_value(const Cell& value_in, bool newline) {
  RootedCell value(value_in);
  bool reduced = false;
  uint32_t mark = 0;
  if (value->is(TYPE_BLOCK)) {
    mark = uint32_t(series_total(print_buffer()));
    reduced = true;
    Status s;
    try {
      s = reduce_for_print(*value, mark, value.get());
    } catch (...) {
      block::rs_clear_from(print_buffer(), mark);
      throw;
    }
    if (s != Status::OK) {
      block::rs_clear_from(print_buffer(), mark);
      return s;
    }
  }
  RootedCell text(*value);
  if (value->is(TYPE_STRING)) {
    int64_t n = series_total(*text);
    if (series_at(*text) > n) text->w1 = uint32_t(n);
  } else {
    NodeId out = make_string(16);
    *text = series_cell(TYPE_STRING, out, 0);
    form_value(*value, out);
  }
  dyn_print_call_value_hooks(text.get(), newline);
  if (reduced) block::rs_clear_from(print_buffer(), mark);
  g_last_newline = newline;
  return Status::OK;
}

bool last_print_newline() { return g_last_newline; }

may_gc void probe_value(const Cell& value) {
  RootedNode out(make_string(16));
  mold_value(value, out);
  Cell text = series_cell(TYPE_STRING, out, 0);
  dyn_print_call_value_hooks(&text, true);
  g_last_newline = true;
}

void print_error_report(ErrId id, int nargs, const Cell* args) {
  StackMark mark = stack_save();
  try {
    Cell copies[3] = {none_cell(), none_cell(), none_cell()};
    for (int i = 0; i < nargs && i < 3; i++) copies[i] = args[i];
    RootedCells keep(copies, 3);
    RootedCell err(error::create(id, nargs, copies));
    stack_mark(FRAME_NATIVE, sym_exact(SymId::BODY_TAG), 0);
    (void)print_value(*err, true);
  } catch (const VelError&) {
    // Nothing more can be said: the report itself failed.
  }
  stack_restore(mark);
}

void natives_series_init() {
  register_natives(kSeriesNatives, std::size(kSeriesNatives));
  print_buffer() = block::make_at(32);
  dyn_print_remove(stdout_print_hook, nullptr);
  dyn_print_add(stdout_print_hook, nullptr);
}

}  // namespace vel
