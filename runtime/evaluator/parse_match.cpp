// Parse matching: literals, datatypes and character runs against the
// input at its position, and to/thru searches.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "datatypes/series_actions.h"
#include "datatypes/typeset.h"
#include "io/lexer.h"
#include "evaluator/interp_detail.h"
#include "evaluator/parse_internal.h"

namespace vel::parse_engine {

may_gc bool Run::type_rule(const Cell& t) {
  if (is_string()) fire(ErrId::PARSE_UNSUPPORTED);
  if (at_end()) return false;
  if (is_binary()) return bytes_type_rule(t);
  TypeId et = element(index()).type();
  bool ok = t.is(TYPE_DATATYPE) ? et == TypeId(t.w1) : typeset::has(t, et);
  if (ok) set_index(index() + 1);
  return ok;
}

// Binary input: the bytes from the index scanned as one value's source
// text; a value of the type matches and the input moves past its text.
may_gc bool Run::bytes_type_rule(const Cell& t) {
  RootedCell rule(t);
  lexer::ScanOptions o;
  o.mode = lexer::Mode::SCAN;
  int64_t i = index();
  lexer::ScanResult r = lexer::scan_series(input_at(i), end_pos() - i, o);
  TypeId et = r.type;
  if (et == TYPE_NONE_ID || et == TYPE_ERROR) return false;
  bool ok = rule->is(TYPE_DATATYPE) ? et == TypeId(rule->w1) : typeset::has(*rule, et);
  if (ok) set_index(i + int64_t(r.consumed));
  return ok;
}

// A literal on binary input: a bitset tests the byte; a char, a text or
// a binary compare bytes.
bool Run::bytes_literal(const Cell& v) {
  if (at_end()) return false;
  int64_t i = index(), adv = 1;
  if (v.is(TYPE_BITSET)) {
    if (!binary::match_bitset(input_at(i), v)) return false;
  } else if (!binary::match_value(input_at(i), v, mode_, &adv) || i + adv > end_pos()) {
    return false;
  }
  set_index(i + adv);
  return true;
}

// A literal value at the input position; advances past it on a match.
may_gc bool Run::literal(const Cell& v) {
  TypeId vt = v.type();
  if (is_string() && (vt == TYPE_CHAR || vt == TYPE_BITSET)) return one_char(v);
  if (is_binary()) return bytes_literal(v);
  int64_t i = index();
  if (is_string()) {
    if (at_end()) {
      bool empty_text = vt == TYPE_STRING || vt == TYPE_FILE || vt == TYPE_URL;
      return empty_text && series_length_of(v) <= 0;
    }
    if (!is_any_string(vt)) return false;
    Cell at = input_at(i);
    if (!string::match_q(at, v, mode_)) return false;
    int64_t next = i + advance_of(v);
    if (next > end_pos()) return false;
    set_index(next);
    return true;
  }
  if (at_end()) return false;
  Cell e = element(i);
  if (!item_matches(e, v)) return false;
  set_index(i + 1);
  return true;
}

// One element of block input against a rule value. A lit-word or lit-path
// matches in find mode (any word form of its symbol), telling letter case
// apart only under /case.
bool Run::item_matches(const Cell& e, const Cell& v) const {
  if (!v.is(TYPE_LIT_WORD) && !v.is(TYPE_LIT_PATH)) return compare_values(&e, &v, mode_);
  if (!compare_values(&e, &v, CMP_FIND)) return false;
  return mode_ != CMP_STRICT_EQUAL || !v.is(TYPE_LIT_WORD) || e.w2 == v.w2;
}

// Characters a matched string-input literal covers.
int64_t Run::advance_of(const Cell& v) {
  if (v.is(TYPE_CHAR) || v.is(TYPE_BITSET)) return 1;
  int64_t n = std::max(0, series_length_of(v));
  return v.is(TYPE_TAG) ? n + 2 : n;
}

// A char, bitset or text repeated on string input, or a plain value
// repeated on block input, without a step per round. On string input a
// word naming such a value counts as the value. Answers the count
// matched, or -1 when the argument is not such a literal.
int64_t Run::fast_loop(Cell v, int64_t max) {
  if ((is_string() || is_binary()) && v.is(TYPE_WORD) && kw_of(v) == Kw::NONE_KW) {
    Cell val = interp::detail::word_value(v);
    if (val.is(TYPE_CHAR) || val.is(TYPE_BITSET) || is_any_string(val.type())) v = val;
  }
  if (v.is(TYPE_WORD) || v.is(TYPE_BLOCK) || v.is(TYPE_PAREN) || v.is(TYPE_INTEGER) || v.is(TYPE_DATATYPE) ||
      v.is(TYPE_TYPESET) || v.is(TYPE_SET_WORD) || v.is(TYPE_GET_WORD) || is_any_path(v.type()))
    return -1;
  if (is_string()) {
    if (v.is(TYPE_CHAR) || v.is(TYPE_BITSET)) return scan_chars(v, max);
    if (!is_any_string(v.type())) return -1;
    // An empty text matches at once without consuming anything.
    if (advance_of(v) == 0) return max < 0 ? INT32_MAX : max;
  }
  if (is_binary()) {
    if (v.is(TYPE_CHAR) || v.is(TYPE_BITSET)) return scan_chars(v, max);
    bool text = is_any_string(v.type()) || v.is(TYPE_BINARY);
    if (text && series_length_of(v) == 0) return max < 0 ? INT32_MAX : max;
  }
  int64_t count = 0;
  while ((max < 0 || count < max) && !at_end() && literal(v)) count++;
  return count;
}

// The run of characters from the index that match a char (folded unless
// case-sensitive) or belong to a bitset, at most max of them (all when
// max < 0); the input moves past the run. The buffer is read directly,
// per character width: nothing here allocates. Binary input (bytes of
// unit 1) takes the same loop.
int64_t Run::scan_chars(const Cell& v, int64_t max) {
  Chars t = chars();
  int64_t end = max >= 0 ? std::min(t.end, t.i + max) : t.end;
  int64_t j;
  switch (t.unit) {
    case 1: j = scan_run<uint8_t>(t.p, t.i, end, v); break;
    case 2: j = scan_run<uint16_t>(t.p, t.i, end, v); break;
    default: j = scan_run<uint32_t>(t.p, t.i, end, v); break;
  }
  input_->w1 = uint32_t(j);
  return j - t.i;
}

// Character j of a buffer of Unit-sized characters.
template <typename Unit>
uint32_t Run::unit_at(const uint8_t* p, int64_t j) {
  Unit u;
  std::memcpy(&u, p + size_t(j) * sizeof(Unit), sizeof(Unit));
  return u;
}

// The position of the first character from j on that is in the bitset,
// or end.
template <typename Unit>
int64_t Run::first_member(const uint8_t* p, int64_t j, int64_t end, const bitset::Bits& bits) {
  while (j < end && !bits.has(unit_at<Unit>(p, j))) j++;
  return j;
}

template <typename Unit>
int64_t Run::scan_run(const uint8_t* p, int64_t j, int64_t end, const Cell& v) const {
  if (v.is(TYPE_BITSET)) {
    const bitset::Bits bits(v);
    while (j < end && bits.has(unit_at<Unit>(p, j))) j++;
    return j;
  }
  bool fold = mode_ != CMP_STRICT_EQUAL && !is_binary();  // bytes never fold
  uint32_t key = string::detail::key_of(v.w2, fold);
  if (sizeof(Unit) > 1 || !fold || key >= 128) {
    while (j < end && string::detail::key_of(unit_at<Unit>(p, j), fold) == key) j++;
    return j;
  }
  // Within Latin-1 an ASCII key folds only with its other ASCII case.
  uint32_t other = (key >= 'A' && key <= 'Z') ? key + 32 : key;
  while (j < end && (p[j] == key || p[j] == other)) j++;
  return j;
}

may_gc bool Run::find_token(const Cell& v, bool thru) {
  int64_t end = end_pos();
  if (is_binary()) return find_bytes(v, thru);
  if (is_string()) {
    if (v.is(TYPE_BITSET)) {
      const Buffer* b = node_buffer(input_->node());
      const uint8_t* p = b->data() + b->head;
      const bitset::Bits bits(v);
      int64_t i = index();
      switch (b->unit()) {
        case 1: i = first_member<uint8_t>(p, i, end, bits); break;
        case 2: i = first_member<uint16_t>(p, i, end, bits); break;
        default: i = first_member<uint32_t>(p, i, end, bits); break;
      }
      if (i >= end) return false;
      set_index(thru ? i + 1 : i);
      return true;
    }
    if (v.type() != TYPE_CHAR && !is_any_string(v.type())) fire(ErrId::PARSE_RULE, v);
    int64_t adv = advance_of(v);
    int64_t found = -1;
    if (v.is(TYPE_TAG)) {
      for (int64_t i = index(); i + adv <= end && found < 0; i++)
        if (string::match_q(input_at(i), v, mode_)) found = i;
    } else {
      string::FindOptions o;
      o.case_sensitive = mode_ == CMP_STRICT_EQUAL;
      Cell r = string::find(input_at(index()), v, o);
      if (r.is(TYPE_NONE)) return false;
      found = series_index(r);
      if (found + adv > end) return false;
    }
    if (found < 0) return false;
    set_index(thru ? found + adv : found);
    return true;
  }
  for (int64_t i = index(); i < end; i++) {
    Cell e = element(i);
    if (item_matches(e, v)) {
      set_index(thru ? i + 1 : i);
      return true;
    }
  }
  return false;
}

// to/thru a literal on binary input: the first byte in a bitset, the
// first byte equal to a char's code, the first run of a text's UTF-8 or
// of a binary's bytes.
bool Run::find_bytes(const Cell& v, bool thru) {
  int64_t from = index(), end = end_pos();
  const uint8_t* p = node_buffer(input_->node())->head_ptr();
  if (v.is(TYPE_BITSET) || v.is(TYPE_CHAR)) {
    const bitset::Bits* bits = nullptr;
    std::optional<bitset::Bits> hold;
    if (v.is(TYPE_BITSET)) bits = &hold.emplace(v);
    for (int64_t i = from; i < end; i++) {
      if (bits ? bits->has(p[i]) : p[i] == v.w2) {
        set_index(thru ? i + 1 : i);
        return true;
      }
    }
    return false;
  }
  if (!is_any_string(v.type()) && !v.is(TYPE_BINARY)) fire(ErrId::PARSE_RULE, v);
  std::string holder;
  binary::Bytes needle = binary::bytes_of(v, holder);
  const uint8_t* hit = std::search(p + from, p + end, needle.p, needle.p + needle.n);
  if (hit == p + end && needle.n) return false;
  int64_t at = hit - p;
  set_index(thru ? at + int64_t(needle.n) : at);
  return true;
}

}  // namespace vel::parse_engine
