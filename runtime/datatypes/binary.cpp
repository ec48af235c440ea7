// binary!: cells and byte access, conversion, form and mold, comparison,
// the bitwise actions, append/insert/change, trim, and the registration.
// The codecs of enbase and debase live in binary_codec.cpp.
//
// What a value contributes to a binary is gathered into C++ memory first
// (value_bytes): forming a value may run the collector, and a value may be
// the binary itself, so the target is only touched once every byte is known.
#include "frame.h"
#include "families.h"
#include "datatypes/binary.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "action_frames.h"
#include "cycle.h"
#include "datatypes/bitset.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "datatypes/ownership.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel::binary {

namespace {


// The index clamped to [0, total], written back.
uint32_t clamp_index(Cell* v) {
  uint32_t total = node_buffer(v->node())->used();
  int64_t i = v->index() < 0 ? 0 : v->index();
  if (i > total) i = total;
  v->w1 = uint32_t(i);
  return uint32_t(i);
}

// Elements of a series value from its (clamped) index.
uint32_t elements_from(const Cell& v, uint32_t* start) {
  Buffer* b = node_buffer(v.node());
  uint32_t total = is_any_block(v.type()) ? b->used() >> 4 : b->length();
  int64_t i = std::clamp<int64_t>(v.index(), 0, total);
  *start = uint32_t(i);
  return total - uint32_t(i);
}

}  // namespace

// --- cells and access ------------------------------------------------------------

may_gc Cell make_at(Cell* c, uint32_t n) {
  *c = series_cell(TYPE_BINARY, alloc_series(n ? n : 16, 1, 0), 0);
  return *c;
}

may_gc Cell load(const uint8_t* p, size_t n) {
  if (n > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
  NodeId node = alloc_series(n ? n : 1, 1, 0);
  Buffer* b = node_buffer(node);
  if (n) std::memcpy(b->head_ptr(), p, n);
  b->tail = b->head + uint32_t(n);
  return series_cell(TYPE_BINARY, node, 0);
}

int32_t rs_length(Cell* v) { return int32_t(node_buffer(v->node())->used() - clamp_index(v)); }

uint8_t* rs_head(Cell* v) {
  uint32_t i = clamp_index(v);
  return node_buffer(v->node())->head_ptr() + i;
}

Bytes bytes_of(const Cell& v, std::string& holder) {
  Buffer* b = node_buffer(v.node());
  if (v.is(TYPE_BINARY)) {
    uint32_t len = b->used();
    uint32_t i = uint32_t(std::clamp<int64_t>(v.index(), 0, len));
    return {b->head_ptr() + i, len - i};
  }
  uint32_t len = b->length();
  uint32_t i = uint32_t(std::clamp<int64_t>(v.index(), 0, len));
  // Latin-1 text that is all ASCII is its own UTF-8.
  if (b->unit() == 1) {
    const uint8_t* p = b->head_ptr() + i;
    uint32_t k = 0;
    while (k < len - i && p[k] < 0x80) k++;
    if (k == len - i) return {p, k};
  }
  holder = to_utf8(v.node(), i);
  return {reinterpret_cast<const uint8_t*>(holder.data()), holder.size()};
}

// --- comparison and matching ----------------------------------------------------------

int32_t compare_bytes(const Cell& a, const Cell& b, int op, bool match) {
  if (!is_text_or_binary(b.type())) return CMP_INCOMPARABLE;
  bool same_place = a.node() == b.node() && series_index(a) == series_index(b);
  if (op == CMP_SAME) return same_place ? 0 : -1;
  bool equality = op == CMP_EQUAL || op == CMP_NOT_EQUAL || op == CMP_STRICT_EQUAL || op == CMP_FIND;
  if (equality && same_place) return 0;
  std::string hold_a, hold_b;
  Bytes x = bytes_of(a, hold_a), y = bytes_of(b, hold_b);
  if (match) {
    if (y.n == 0) return (op == CMP_EQUAL || op == CMP_STRICT_EQUAL || op == CMP_FIND) ? 0 : 1;
    if (x.n < y.n) return 1;  // fewer bytes left than the other holds: no match
    return std::memcmp(x.p, y.p, y.n) == 0 ? 0 : 1;
  }
  if (equality && x.n != y.n) return 1;
  size_t n = std::min(x.n, y.n);
  int r = n ? std::memcmp(x.p, y.p, n) : 0;
  if (r) return r < 0 ? -1 : 1;
  return x.n < y.n ? -1 : (x.n > y.n ? 1 : 0);
}

namespace {

int32_t compare_slot(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_BINARY)) return CMP_INCOMPARABLE;
  return compare_bytes(*a, *b, op, false);
}

}  // namespace

bool match_bitset(const Cell& v, const Cell& bs) {
  Buffer* b = node_buffer(v.node());
  int64_t i = series_index(v);
  if (i >= b->used()) return false;
  return bitset::test_bit(bs, b->head_ptr()[i]);
}

bool match_value(const Cell& v, const Cell& other, int op, int64_t* advance) {
  if (other.is(TYPE_CHAR)) {
    Buffer* b = node_buffer(v.node());
    int64_t i = series_index(v);
    *advance = 1;
    return i < b->used() && b->head_ptr()[i] == other.w2;
  }
  if (!is_text_or_binary(other.type())) return false;
  std::string holder;
  *advance = int64_t(bytes_of(other, holder).n);
  return compare_bytes(v, other, op, true) == 0;
}

// --- value to bytes ----------------------------------------------------------------------

namespace {

// Appends the bytes of a value to *out. limit (-1: none) cuts what one value
// gives: elements of a series value, bytes of any other. Blocks give their
// elements' bytes in turn; with form_mode any other value gives its formed
// text, else script/bad-to-arg.
may_gc void value_bytes(const Cell& value_in, int64_t limit, bool form_mode, std::string* out);

may_gc void block_bytes(const Cell& block_in, int64_t limit, bool form_mode, std::string* out) {
  RootedCell block(block_in);
  if (cycles_find(block->node())) fire(ErrId::NO_CYCLE);
  CycleScope guard(block->node());
  uint32_t start, n = elements_from(*block, &start);
  if (limit >= 0 && limit < n) n = uint32_t(limit);
  for (uint32_t k = 0; k < n; k++) {
    Buffer* b = node_buffer(block->node());
    if (start + k >= (b->used() >> 4)) break;  // a form shortened the block
    value_bytes(b->cells()[start + k], -1, form_mode, out);
  }
}

may_gc void value_bytes(const Cell& value_in, int64_t limit, bool form_mode, std::string* out) {
  const Cell v = value_in;
  TypeId t = v.type();
  auto put = [&](const uint8_t* p, size_t n) {
    if (limit >= 0 && uint64_t(limit) < n) n = size_t(limit);
    if (out->size() + n > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
    out->append(reinterpret_cast<const char*>(p), n);
  };
  switch (t) {
    case TYPE_CHAR: {
      uint8_t utf8[4];
      uint32_t n = encode_utf8_char(v.w2, utf8);
      put(utf8, n);
      return;
    }
    case TYPE_INTEGER: {
      int32_t i = v.i2();
      if (i < -128 || i > 255) fire(ErrId::INVALID_ARG, v);
      uint8_t byte = uint8_t(i);
      put(&byte, 1);
      return;
    }
    case TYPE_BINARY: {
      uint32_t start, n = elements_from(v, &start);
      put(node_buffer(v.node())->head_ptr() + start, n);
      return;
    }
    default: break;
  }
  if (is_any_list(t)) {
    block_bytes(v, limit, form_mode, out);
    return;
  }
  if (is_any_string(t)) {
    uint32_t start, n = elements_from(v, &start);
    if (limit >= 0 && limit < n) n = uint32_t(limit);
    std::string text = to_utf8(v.node(), start, n);
    out->append(text);
    if (out->size() > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
    return;
  }
  if (t == TYPE_BITSET && !form_mode) {
    Buffer* b = node_buffer(v.node());
    put(b->head_ptr(), b->used());
    return;
  }
  if (!form_mode) fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_BINARY), v);
  RootedNode text(make_string(16));
  form_value(v, text);
  std::string s = to_utf8(text, 0);
  put(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The /part range of a series value for append, insert and change: the
// value with its index moved to the range start, and the element count.
// False when the range is empty. A value without a buffer raises
// script/invalid-part.
bool part_range(const Cell& value, const Cell& part, Cell* from, int64_t* count) {
  if (!is_series_type(value.type()) || elem_kind(value.type()) == ElemKind::OTHER)
    fire(ErrId::INVALID_PART, part);
  uint32_t idx;
  int64_t total = elements_from(value, &idx) + int64_t(idx);
  int64_t start;
  *from = value;
  if (!vel::part_range(value, part, total, &start, count)) return false;
  from->w1 = uint32_t(start);
  return true;
}

// The bytes that /dup copies of the contribution add, checked against the
// largest buffer when `replaced` bytes of `len` go away.
uint32_t checked_size(size_t n, int32_t dup, uint32_t len, uint64_t replaced) {
  if (dup < 0) fire(ErrId::NO_MEMORY);
  uint64_t size = uint64_t(n) * uint64_t(dup);
  if (n && size / n != uint64_t(dup)) fire(ErrId::NO_MEMORY);
  if (size > MAX_CAPACITY || len - std::min<uint64_t>(replaced, len) + size > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
  return uint32_t(size);
}

// Writes dup copies of the bytes at `at`, replacing `removed` bytes there.
may_gc void splice(NodeId s, uint32_t at, uint32_t removed, const std::string& bytes, uint32_t dup) {
  uint32_t size = uint32_t(bytes.size()) * dup;
  Buffer* b = node_buffer(s);
  uint32_t len = b->used();
  at = std::min(at, len);
  removed = std::min(removed, len - at);
  if (size > removed) b = grow_chars(s, size - removed);
  uint8_t* p = b->head_ptr();
  std::memmove(p + at + size, p + at + removed, len - at - removed);
  if (size) {
    std::memcpy(p + at, bytes.data(), bytes.size());
    repeat_in_place(p + at, uint32_t(bytes.size()), dup);
  }
  b->tail = b->head + (len - removed + size);
}

// Gathers what a value contributes, with the /part range applied.
may_gc bool contribution(const Cell& value, const Cell* part, bool form_mode, std::string* bytes) {
  if (part) {
    Cell from;
    int64_t count;
    if (!part_range(value, *part, &from, &count)) return false;
    value_bytes(from, count, form_mode, bytes);
  } else {
    value_bytes(value, -1, form_mode, bytes);
  }
  return true;
}

}  // namespace

// --- conversion ------------------------------------------------------------------------

namespace {

// The issue's text read as hexadecimal digits.
may_gc Cell issue_to_binary(const Cell& issue) {
  std::string_view text = symbol::text(issue.w2);
  std::string bytes;
  if (!decode_16(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), 1, &bytes))
    fire(ErrId::INVALID_DATA, issue);
  return load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

may_gc Cell to(const Cell& value_in) {
  RootedCell value(value_in);
  uint8_t b[8];
  switch (value->type()) {
    case TYPE_INTEGER: {
      uint32_t u = value->w2;
      for (int i = 0; i < 4; i++) b[i] = uint8_t(u >> (24 - 8 * i));
      return load(b, 4);
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      uint64_t u = value->u64();
      for (int i = 0; i < 8; i++) b[i] = uint8_t(u >> (56 - 8 * i));
      return load(b, 8);
    }
    case TYPE_ISSUE: return issue_to_binary(*value);
    case TYPE_BITSET:
    case TYPE_BINARY:
    case TYPE_CHAR:
      break;
    default:
      if (!is_any_list(value->type()) && !is_any_string(value->type()))
        fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_BINARY), *value);
  }
  std::string bytes;
  value_bytes(*value, -1, false, &bytes);
  return load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// --- form and mold ---------------------------------------------------------------------

namespace {

constexpr uint32_t LINE_BYTES = 32;
constexpr uint32_t ONE_LINE_MAX = 30;

may_gc int32_t serialize(Cell value, NodeId out_in, bool only, bool flat, int32_t part, int32_t level) {
  static const char kDigits[] = "0123456789ABCDEF";
  RootedNode out(out_in);
  RootedCell v(value);
  uint32_t index = clamp_index(v.get());
  uint32_t n = node_buffer(v->node())->used() - index;
  bool limited = part != NO_PART_LIMIT;
  bool lines = n > ONE_LINE_MAX && !flat;
  std::string text;
  auto newline = [&](int32_t lv) {
    text += '\n';
    text.append(size_t(std::max(lv, 0)) * 4, ' ');
  };
  if (!only) {
    text += "#{";
    part -= 2;
  }
  level++;
  if (lines) newline(level);
  for (uint32_t i = 0; i < n; i++) {
    if (limited && part <= 0) {
      append_latin1(out, text);
      return part;
    }
    uint8_t x = node_buffer(v->node())->head_ptr()[index + i];
    text += kDigits[x >> 4];
    text += kDigits[x & 15];
    part -= 2;
    if (!flat && (i + 1) % LINE_BYTES == 0) newline(level);
    // Long values go out in pieces: the text above is C++ memory.
    if (text.size() >= 4096) {
      append_latin1(out, text);
      text.clear();
    }
  }
  level--;
  if (lines && n % LINE_BYTES) newline(level);
  if (!only) {
    text += '}';
    part -= 1;
  }
  append_latin1(out, text);
  return part;
}

int32_t form_slot(Cell value, NodeId out, const Cell*, int32_t part) {
  return serialize(value, out, false, false, part, 0);
}

int32_t mold_slot(Cell value, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t indent) {
  return serialize(value, out, flags & MOLD_ONLY, flags & MOLD_FLAT, part, indent);
}

// --- actions -----------------------------------------------------------------------

// to: type value.
Status to_action(Cell* base) {
  using enum act::to::Frame;
  base[RESULT] = to(base[SPEC]);
  return Status::OK;
}

// and~ or~ xor~: value1 value2. A new binary as long as the longer operand.
enum class BitOp : uint8_t { AND, OR, XOR };

Status bitwise(Cell* base, BitOp op) {
  using enum act::add::Frame;
  if (!base[VALUE2].is(TYPE_BINARY)) fire(ErrId::INVALID_ARG, base[VALUE2]);
  RootedCell a(base[VALUE1]), b(base[VALUE2]);
  uint32_t la = uint32_t(rs_length(a.get())), lb = uint32_t(rs_length(b.get()));
  uint32_t n = std::max(la, lb);
  RootedCell r;
  make_at(r.get(), n);
  const uint8_t* pa = rs_head(a.get());
  const uint8_t* pb = rs_head(b.get());
  Buffer* rb = node_buffer(r->node());
  uint8_t* d = rb->head_ptr();
  uint32_t common = std::min(la, lb);
  for (uint32_t i = 0; i < common; i++) {
    switch (op) {
      case BitOp::AND: d[i] = pa[i] & pb[i]; break;
      case BitOp::OR: d[i] = pa[i] | pb[i]; break;
      case BitOp::XOR: d[i] = pa[i] ^ pb[i]; break;
    }
  }
  const uint8_t* longer = la >= lb ? pa : pb;
  if (op == BitOp::AND) std::memset(d + common, 0, n - common);
  else std::memcpy(d + common, longer + common, n - common);
  rb->tail = rb->head + n;
  base[RESULT] = *r;
  return Status::OK;
}

Status and_action(Cell* base) { return bitwise(base, BitOp::AND); }
Status or_action(Cell* base) { return bitwise(base, BitOp::OR); }
Status xor_action(Cell* base) { return bitwise(base, BitOp::XOR); }

// complement: value. Inverts the bytes in place.
Status complement_action(Cell* base) {
  using enum act::complement::Frame;
  uint32_t n = uint32_t(rs_length(&base[VALUE]));
  uint8_t* p = rs_head(&base[VALUE]);
  for (uint32_t i = 0; i < n; i++) p[i] = uint8_t(~p[i]);
  return Status::OK;
}

// The /dup count: 1 without /dup; a count below 1 adds nothing.
int32_t dup_count(const Cell& flag, const Cell& count) {
  if (!used(flag)) return 1;
  if (count.is(TYPE_INTEGER) || count.is(TYPE_FLOAT)) return std::max<int32_t>(0, check_float_to_int(count));
  fire(ErrId::INVALID_ARG, count);
}

// insert and append: series value /part length /only /dup count. append
// answers the series at its head, insert the series after the new bytes.
may_gc Status add_bytes(Cell* base, bool append) {
  using enum act::append::Frame;
  RootedCell s(base[SERIES]), v(base[VALUE]);
  const Cell* part = used(base[PART]) ? &base[LENGTH] : nullptr;
  int32_t dup = dup_count(base[DUP], base[COUNT]);
  uint32_t index = clamp_index(s.get());
  std::string bytes;
  if (!contribution(*v, part, true, &bytes)) {
    if (append) s->w1 = 0;
    base[RESULT] = *s;
    return Status::OK;
  }
  uint32_t len = node_buffer(s->node())->used();
  uint32_t size = checked_size(bytes.size(), dup, len, 0);
  uint32_t at = append ? len : index;
  bool told = report_change(*s, append ? ChangeWord::APPEND : ChangeWord::INSERT, *v, int32_t(at), int32_t(size));
  // The owner may have edited the series: place the bytes where they now fit.
  len = node_buffer(s->node())->used();
  if (append || at > len) at = len;
  checked_size(bytes.size(), dup, len, 0);
  splice(s->node(), at, 0, bytes, uint32_t(dup));
  s->w1 = append ? 0 : at + size;
  if (told) (void)ownership_check(*s, append ? ChangeWord::APPENDED : ChangeWord::INSERTED, *v, int32_t(at), int32_t(size));
  base[RESULT] = *s;
  return Status::OK;
}

Status append_action(Cell* base) { return add_bytes(base, true); }
Status insert_action(Cell* base) { return add_bytes(base, false); }

// change: series value /part range /only /dup count. Answers the series
// after the new bytes.
Status change_action(Cell* base) {
  using enum act::change::Frame;
  RootedCell s(base[SERIES]), v(base[VALUE]);
  int32_t dup = dup_count(base[DUP], base[COUNT]);
  uint32_t at = clamp_index(s.get());
  uint32_t len = node_buffer(s->node())->used();
  std::string bytes;
  value_bytes(*v, -1, true, &bytes);
  uint32_t size = checked_size(bytes.size(), dup, len, 0);
  uint64_t replaced;
  if (used(base[PART])) {
    const Cell& part = base[RANGE];
    int64_t c;
    if (part.is(TYPE_INTEGER) || part.is(TYPE_FLOAT)) c = check_float_to_int(part);
    else if (part.type() == s->type() && part.node() == s->node()) c = std::clamp<int64_t>(part.index(), 0, len) - at;
    else fire_refine_arg("part", part);
    replaced = uint64_t(std::clamp<int64_t>(c, 0, len - at));
  } else {
    replaced = std::min<uint64_t>(size, len - at);
  }
  checked_size(bytes.size(), dup, len, replaced);
  bool told = report_change(*s, ChangeWord::CHANGE, none_cell(), int32_t(at), int32_t(replaced));
  len = node_buffer(s->node())->used();
  at = std::min(at, len);
  replaced = std::min<uint64_t>(replaced, len - at);
  checked_size(bytes.size(), dup, len, replaced);
  splice(s->node(), at, uint32_t(replaced), bytes, uint32_t(dup));
  s->w1 = at + size;
  if (told) (void)ownership_check(*s, ChangeWord::CHANGED, none_cell(), int32_t(at), int32_t(size));
  base[RESULT] = *s;
  return Status::OK;
}

// trim: series /head /tail /auto /lines /all /with str.
Status trim_action(Cell* base) {
  using enum act::trim::Frame;
  if (used(base[AUTO]) || used(base[LINES])) fire(ErrId::NOT_DONE);
  bool head = used(base[HEAD]), tail = used(base[TAIL]), all = used(base[ALL]), with = used(base[WITH]);
  if (all || with) {
    // The string trimmer removes every byte named (NUL without /with).
    string::TrimOptions o;
    o.all = true;
    Cell nul = integer_cell(0);
    o.with = with ? &base[STR] : &nul;
    base[RESULT] = string::trim(base[SERIES], o);
    return Status::OK;
  }
  RootedCell s(base[SERIES]);
  uint32_t index = clamp_index(s.get());
  bool told = report_change(*s, ChangeWord::TRIM, none_cell(), int32_t(index), 0);
  index = clamp_index(s.get());
  Buffer* b = node_buffer(s->node());
  uint8_t* p = b->head_ptr() + index;
  uint32_t a = 0, z = b->used() - index;
  if (head || !tail)
    while (a < z && p[a] == 0) a++;
  if (tail || !head)
    while (z > a && p[z - 1] == 0) z--;
  std::memmove(p, p + a, z - a);
  b->tail = b->head + index + (z - a);
  if (told) (void)ownership_check(*s, ChangeWord::TRIMMED, none_cell(), int32_t(index), 0);
  base[RESULT] = *s;
  return Status::OK;
}

}  // namespace

}  // namespace vel::binary

// --- registration ------------------------------------------------------------------

namespace vel {

// Own slots as listed; the string! slots that make sense for bytes are
// inherited; arithmetic, put and the port actions are unsupported.
void register_type_BINARY() {
  using namespace binary;
  TypeBuilder(TYPE_BINARY)
      .action(ACT_TO, to_action)
      .form(form_slot)
      .mold(mold_slot)
      .compare(compare_slot)
      .action(ACT_AND_T, and_action)
      .action(ACT_COMPLEMENT, complement_action)
      .action(ACT_OR_T, or_action)
      .action(ACT_XOR_T, xor_action)
      .action(ACT_APPEND, append_action)
      .action(ACT_CHANGE, change_action)
      .action(ACT_INSERT, insert_action)
      .action(ACT_TRIM, trim_action)
      .inherit(ACT_MAKE)
      .inherit(ACT_RANDOM)
      .inherit(ACT_REFLECT)
      .inherit(ACT_EVAL_PATH)
      .inherit(ACT_AT)
      .inherit(ACT_BACK)
      .inherit(ACT_CLEAR)
      .inherit(ACT_COPY)
      .inherit(ACT_FIND)
      .inherit(ACT_HEAD)
      .inherit(ACT_HEAD_Q)
      .inherit(ACT_INDEX_Q)
      .inherit(ACT_LENGTH_Q)
      .inherit(ACT_MOVE)
      .inherit(ACT_NEXT)
      .inherit(ACT_PICK)
      .inherit(ACT_POKE)
      .inherit(ACT_REMOVE)
      .inherit(ACT_REVERSE)
      .inherit(ACT_SELECT)
      .inherit(ACT_SORT)
      .inherit(ACT_SKIP)
      .inherit(ACT_SWAP)
      .inherit(ACT_TAIL)
      .inherit(ACT_TAIL_Q)
      .inherit(ACT_TAKE)
      .inherit(ACT_MODIFY)
      .done();
}

}  // namespace vel
