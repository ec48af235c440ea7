// JSON text to values and back.
//
// The decoder reads a private copy of the text (the collector may move the
// source while values are made) in one pass without recursion: open arrays
// and objects keep their values on a rooted cell stack, so nesting is bound
// by a depth limit, not by the C++ stack. Where the text stops being JSON
// it reports the line, index and column of the last good token, as the
// grammar's marks place them.
//
// The encoder walks the value recursively under the walk-depth guard, with
// the containers being written on a rooted path so that a value holding
// itself is refused instead of written for ever.
#include "io/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "action_frames.h"
#include "cycle.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "eval.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "families.h"
#include "floattext.h"
#include "frame.h"
#include "routine_frames.h"
#include "numscan.h"
#include "roots.h"
#include "unicode.h"

namespace vel::json {

namespace {

// Deeper arrays and objects than this end the decoding with
// internal/stack-overflow: the result must stay within what mold, copy
// and compare can walk.
constexpr size_t MAX_NESTING = 3998;

// --- characters of the grammar ----------------------------------------------------

// Characters that may not appear in a word, and so keep a key a string.
bool not_word_char(uint32_t c) {
  switch (c) {
    case '/': case '\\': case '^': case ',': case '[': case ']': case '(': case ')':
    case '{': case '}': case '"': case '#': case '%': case '$': case '@': case ':':
    case ';': case '\n': case 0xA0: case ' ': case '\t': case '\r': case '<': case '>':
      return true;
    default:
      return false;
  }
}

bool is_digit(uint32_t c) { return c >= '0' && c <= '9'; }

int hex_value(uint32_t c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  return -1;
}

bool json_escape_char(uint32_t c) {
  switch (c) {
    case '"': case 't': case '\\': case '/': case 'n': case 'r': case 'b': case 'f': return true;
    default: return false;
  }
}

// A decoded key becomes a word when it reads as one: a first character
// that is neither a digit nor an apostrophe, then word characters.
bool word_like(const std::vector<uint32_t>& k) {
  if (k.empty() || not_word_char(k[0]) || is_digit(k[0]) || k[0] == '\'') return false;
  for (size_t i = 1; i < k.size(); i++)
    if (not_word_char(k[i])) return false;
  return true;
}

may_gc Cell new_string(const uint32_t* cps, size_t n) {
  RootedCell s(string::cell_of(make_string(uint32_t(n))));
  append_code_points(s->node(), cps, n);
  return *s;
}

std::string to_utf8_text(const std::vector<uint32_t>& cps) {
  std::string out;
  out.reserve(cps.size());
  uint8_t buf[4];
  for (uint32_t c : cps) out.append(reinterpret_cast<char*>(buf), encode_utf8_char(c, buf));
  return out;
}

// --- decoding ---------------------------------------------------------------------------

template <typename T>
class Decoder {
 public:
  Decoder(const T* text, size_t n) : s_(text), n_(n) {}

  // The value, or false with line_, mark_ and last_lf_ where the text
  // stopped being JSON.
  may_gc bool run(Cell* out);

  int32_t line_ = 1;
  size_t mark_ = 0, last_lf_ = 0;

 private:
  enum Kind : uint8_t { ARRAY, OBJECT };

  uint32_t at(size_t i) const { return i < n_ ? uint32_t(s_[i]) : 0xFFFFFFFFu; }
  bool literal(const char* word) {
    size_t len = std::strlen(word);
    if (n_ - pos_ < len) return false;
    for (size_t i = 0; i < len; i++)
      if (uint32_t(s_[pos_ + i]) != uint8_t(word[i])) return false;
    pos_ += len;
    return true;
  }
  void skip_ws() {
    for (; pos_ < n_; pos_++) {
      uint32_t c = s_[pos_];
      if (c == ' ' || c == '\t' || c == '\r') continue;
      if (c != '\n') return;
      line_++;
      last_lf_ = mark_ = pos_ + 1;
    }
  }
  bool scan_string(size_t* start, size_t* end, bool* escaped);
  bool scan_number();
  may_gc void push_string(size_t start, size_t end, bool escaped, bool key);
  may_gc void push_number(size_t start);
  may_gc void open(Kind k);
  may_gc void close();
  may_gc void unescape(size_t start, size_t end);

  const T* s_;
  size_t n_;
  size_t pos_ = 0;
  RootedCellStack values_;
  std::vector<size_t> opens_;  // first value of each open array or object
  std::vector<uint8_t> kinds_;
  std::vector<uint32_t> text_;  // the string being decoded
  // Keys seen before, by their text: the word or string made for them.
  std::unordered_map<std::string, size_t> key_index_;
  RootedCellStack keys_;
};

// A string literal from pos_ (at the opening quote): its content bounds.
template <typename T>
bool Decoder<T>::scan_string(size_t* start, size_t* end, bool* escaped) {
  size_t p = pos_ + 1;
  *start = p;
  *escaped = false;
  for (;;) {
    if (p >= n_) return false;
    uint32_t c = s_[p];
    if (c == '"') break;
    if (c < 32) return false;
    if (c == '\\') {
      uint32_t e = at(p + 1);
      if (e == 'u') {
        for (size_t i = 2; i < 6; i++)
          if (hex_value(at(p + i)) < 0) return false;
        p += 6;
      } else if (json_escape_char(e)) {
        p += 2;
      } else {
        return false;
      }
      *escaped = true;
      continue;
    }
    p++;
  }
  *end = p;
  pos_ = p + 1;
  return true;
}

// A number from pos_: optional minus, integer part without leading
// zeros, optional fraction, optional exponent; each optional part is taken
// only when it is whole.
template <typename T>
bool Decoder<T>::scan_number() {
  size_t p = pos_;
  if (at(p) == '-') p++;
  if (at(p) == '0') {
    p++;
  } else if (at(p) >= '1' && at(p) <= '9') {
    while (is_digit(at(p))) p++;
  } else {
    return false;
  }
  if (at(p) == '.' && is_digit(at(p + 1))) {
    p += 2;
    while (is_digit(at(p))) p++;
  }
  if (at(p) == 'e' || at(p) == 'E') {
    size_t q = p + 1;
    if (at(q) == '+' || at(q) == '-') q++;
    if (is_digit(at(q))) {
      while (is_digit(at(q))) q++;
      p = q;
    }
  }
  pos_ = p;
  return true;
}

// Decodes the escapes of the literal's content into text_. A surrogate
// must come as a high and low pair; either half alone is not text.
template <typename T>
may_gc void Decoder<T>::unescape(size_t start, size_t end) {
  text_.clear();
  for (size_t p = start; p < end;) {
    uint32_t c = s_[p];
    if (c != '\\') {
      text_.push_back(c);
      p++;
      continue;
    }
    uint32_t e = s_[p + 1];
    p += 2;
    switch (e) {
      case 'b': text_.push_back(8); continue;
      case 'f': text_.push_back(12); continue;
      case 'n': text_.push_back(10); continue;
      case 'r': text_.push_back(13); continue;
      case 't': text_.push_back(9); continue;
      case 'u': break;
      default: text_.push_back(e); continue;
    }
    auto hex4 = [&](size_t q) {
      uint32_t v = 0;
      for (size_t i = 0; i < 4; i++) {
        int h = q + i < end ? hex_value(s_[q + i]) : -1;
        if (h < 0) return 0xFFFFFFFFu;
        v = v * 16 + uint32_t(h);
      }
      return v;
    };
    uint32_t v = hex4(p);
    p += 4;
    bool bad = v >= 0xDC00 && v <= 0xDFFF;
    if (v >= 0xD800 && v <= 0xDBFF) {
      uint32_t low = (end - p >= 6 && s_[p] == '\\' && s_[p + 1] == 'u') ? hex4(p + 2) : 0xFFFFFFFFu;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
        p += 6;
      } else {
        bad = true;
      }
    }
    if (bad) {
      std::vector<uint32_t> raw(s_ + start, s_ + end);
      fire(ErrId::INVALID_DATA, new_string(raw.data(), raw.size()));
    }
    text_.push_back(v);
  }
}

template <typename T>
may_gc void Decoder<T>::push_string(size_t start, size_t end, bool escaped, bool key) {
  if (escaped) {
    unescape(start, end);
  } else {
    text_.assign(s_ + start, s_ + end);
  }
  if (!key) {
    values_.push(new_string(text_.data(), text_.size()));
    return;
  }
  if (!word_like(text_)) {
    values_.push(new_string(text_.data(), text_.size()));
    return;
  }
  // Objects of one kind repeat their keys: each word is made once.
  std::string k = to_utf8_text(text_);
  auto found = key_index_.find(k);
  if (found != key_index_.end()) {
    values_.push(keys_[found->second]);
    return;
  }
  Cell w = word::load(k);
  key_index_.emplace(std::move(k), keys_.size());
  keys_.push(w);
  values_.push(w);
}

// Integers of up to nine digits are read here; every other number is
// loaded by the lexer, which decides what too large a number becomes.
template <typename T>
may_gc void Decoder<T>::push_number(size_t start) {
  char buf[64];
  size_t len = pos_ - start;
  bool simple = len < sizeof buf;
  for (size_t i = 0; simple && i < len; i++) buf[i] = char(s_[start + i]);
  size_t digits = len - (s_[start] == '-' ? 1 : 0);
  bool integer = simple && std::find_if(buf, buf + len, [](char c) { return c == '.' || c == 'e' || c == 'E'; }) == buf + len;
  if (integer && digits <= 9) {
    int32_t v = 0;
    std::from_chars(buf, buf + len, v);
    values_.push(integer_cell(v));
    return;
  }
  if (simple && !integer) {
    int err = 0;
    double d = numscan::scan_float(buf, uint32_t(len), 1, &err);
    if (err == 0 && std::isfinite(d)) {
      values_.push(float_cell(d));
      return;
    }
  }
  std::vector<uint32_t> cps(s_ + start, s_ + pos_);
  RootedCell text(new_string(cps.data(), cps.size()));
  Cell v;
  if (!lexer::load_one_value(*text, &v)) v = *text;
  values_.push(v);
}

template <typename T>
may_gc void Decoder<T>::open(Kind k) {
  if (opens_.size() >= MAX_NESTING) fire(ErrId::STACK_OVERFLOW);
  opens_.push_back(values_.size());
  kinds_.push_back(k);
}

// Ends the innermost array (a block of its values) or object (a map of its
// keys and values, a repeated key keeping its first place and last value).
template <typename T>
may_gc void Decoder<T>::close() {
  size_t from = opens_.back();
  Kind k = Kind(kinds_.back());
  opens_.pop_back();
  kinds_.pop_back();
  size_t n = values_.size() - from;
  RootedCell blk(block::make_at(int64_t(n)));
  Buffer* b = node_buffer(blk->node());
  for (size_t i = 0; i < n; i++) b->cells()[i] = values_[from + i];
  b->tail = b->head + uint32_t(n * sizeof(Cell));
  Cell result = k == ARRAY ? *blk : map::make_at(blk->node(), uint32_t(n ? n : 2));
  values_.truncate(from);
  values_.push(result);
}

template <typename T>
may_gc bool Decoder<T>::run(Cell* out) {
  size_t start, end;
  bool escaped;
value:
  skip_ws();
  switch (at(pos_)) {
    case 't':
      if (!literal("true")) return false;
      values_.push(logic_cell(true));
      goto after_value;
    case 'f':
      if (!literal("false")) return false;
      values_.push(logic_cell(false));
      goto after_value;
    case 'n':
      if (!literal("null")) return false;
      values_.push(none_cell());
      goto after_value;
    case '{':
      pos_++;
      open(OBJECT);
      skip_ws();
      if (at(pos_) == '}') {
        pos_++;
        close();
        goto after_value;
      }
      goto key;
    case '[':
      pos_++;
      open(ARRAY);
      skip_ws();
      if (at(pos_) == ']') {
        pos_++;
        close();
        goto after_value;
      }
      goto value;
    case '"':
      if (!scan_string(&start, &end, &escaped)) return false;
      push_string(start, end, escaped, false);
      goto after_value;
    default: {
      size_t from = pos_;
      if (!scan_number()) return false;
      push_number(from);
      goto after_value;
    }
  }
after_value:
  mark_ = pos_;
  skip_ws();
  if (opens_.empty()) {
    if (pos_ != n_) return false;
    *out = values_.back();
    return true;
  }
  if (at(pos_) == ',') {
    pos_++;
    skip_ws();
    if (kinds_.back() == ARRAY) goto value;
    goto key;
  }
  if (at(pos_) != (kinds_.back() == ARRAY ? ']' : '}')) return false;
  pos_++;
  close();
  goto after_value;
key:
  skip_ws();
  if (at(pos_) != '"' || !scan_string(&start, &end, &escaped)) return false;
  skip_ws();
  if (at(pos_) != ':') return false;
  pos_++;
  mark_ = pos_;
  push_string(start, end, escaped, true);
  goto value;
}

// "Invalid JSON string. Line: l Index: i Column: c Near: ..." as an error!
// value (returned, not raised).
may_gc Cell invalid(const Cell& input, uint32_t index, int32_t line, size_t mark, size_t last_lf, size_t length) {
  RootedCell msg(string::cell_of(make_string(80)));
  std::string head = "Invalid JSON string. Line: " + std::to_string(line) +
                     " Index: " + std::to_string(index + mark + 1) +
                     " Column: " + std::to_string(mark - last_lf) + " Near: ";
  append_latin1(msg->node(), head);
  if (mark >= length) {
    append_latin1(msg->node(), "<end of input>");
  } else {
    uint32_t from = index + uint32_t(mark);
    uint32_t count = uint32_t(std::min<size_t>(40, length - mark));
    RootedCell near(string::cell_of(make_string(count)));
    append_chars(near->node(), input.node(), from, count);
    mold_value(*near, msg->node());
  }
  return call_action(act::make::SHAPE, {{act::make::TYPE, datatype_cell(TYPE_ERROR)}, {act::make::SPEC, *msg}});
}

template <typename T>
may_gc Cell decode_as(const Cell& input, uint32_t index, const uint8_t* p, size_t n) {
  std::vector<T> text(reinterpret_cast<const T*>(p), reinterpret_cast<const T*>(p) + n);
  Decoder<T> d(text.data(), n);
  RootedCell out;
  if (d.run(out.get())) return *out;
  return invalid(input, index, d.line_, d.mark_, d.last_lf_, n);
}

may_gc Status decode_routine(Cell* base) {
  using enum rtn::json_decode::Frame;
  base[RESULT] = decode(base[INPUT]);
  return Status::OK;
}

// --- encoding ----------------------------------------------------------------------------

class Encoder {
 public:
  Encoder(bool ascii, const Cell& indent) : ascii_(ascii), indent_(indent) {}

  may_gc void value(const Cell& v);
  std::vector<uint32_t> out_;

 private:
  bool normal(uint32_t c) const {
    if (c < 32 || c == '"' || c == '\\') return false;
    return !ascii_ || c <= 127;
  }
  void put(const char* s) {
    while (*s) out_.push_back(uint8_t(*s++));
  }
  void put(std::string_view s) {
    for (char c : s) out_.push_back(uint8_t(c));
  }
  void hex_group(uint32_t v) {
    static const char digits[] = "0123456789ABCDEF";
    put("\\u");
    for (int shift = 12; shift >= 0; shift -= 4) out_.push_back(uint8_t(digits[(v >> shift) & 15]));
  }
  void text_char(uint32_t c);
  void string_of(const Cell& s);
  may_gc void string_text(const Cell& v, bool mold);
  may_gc void float_of(double d);
  void newline_indent(int32_t change) {
    level_ += change;
    out_.push_back('\n');
    for (int32_t i = 0; i < level_; i++) string_of(*indent_);
  }
  may_gc void array(const Cell& v);
  may_gc void object(const Cell& v);
  may_gc void key(Cell k);
  may_gc void enter(const Cell& v);
  void leave() { path_.truncate(path_.size() - 1); }

  bool ascii_;
  RootedCell indent_;  // a string, or none for compact output
  int32_t level_ = 0;
  RootedCellStack path_;  // the arrays and objects being written
};

void Encoder::text_char(uint32_t c) {
  if (normal(c)) {
    out_.push_back(c);
    return;
  }
  switch (c) {
    case '"': put("\\\""); return;
    case '\\': put("\\\\"); return;
    case 8: put("\\b"); return;
    case 12: put("\\f"); return;
    case 10: put("\\n"); return;
    case 13: put("\\r"); return;
    case 9: put("\\t"); return;
    default: break;
  }
  if (c <= 0xFFFF) {
    hex_group(c);
  } else {
    hex_group(((c - 0x10000) >> 10) + 0xD800);
    hex_group(((c - 0x10000) & 1023) + 0xDC00);
  }
}

// The characters of an any-string from its index, as they are (no quotes).
void Encoder::string_of(const Cell& s_in) {
  Cell s = s_in;
  int32_t n = string::rs_length(&s);
  const uint8_t* p = string::rs_head(&s);
  uint32_t unit = node_buffer(s.node())->unit();
  for (int32_t i = 0; i < n; i++) out_.push_back(get_char(p + size_t(i) * unit, unit));
}

// A JSON string of a string's characters, or of another value's formed or
// molded text.
may_gc void Encoder::string_text(const Cell& v_in, bool mold) {
  RootedCell v(v_in);  // v_in may lie in a buffer that the next allocation moves
  Cell s = *v;
  RootedCell text;
  if (!v->is(TYPE_STRING)) {
    *text = string::cell_of(make_string(16));
    if (mold) {
      mold_value(*v, text->node());
    } else {
      form_value(*v, text->node());
    }
    s = *text;
  }
  out_.push_back('"');
  int32_t n = string::rs_length(&s);
  const uint8_t* p = string::rs_head(&s);
  uint32_t unit = node_buffer(s.node())->unit();
  for (int32_t i = 0; i < n; i++) text_char(get_char(p + size_t(i) * unit, unit));
  out_.push_back('"');
}

// A number that JSON cannot hold (NaN, an infinity) is written as null.
may_gc void Encoder::float_of(double d) {
  if (!std::isfinite(d)) {
    put("null");
    return;
  }
  char text[FLOAT_TEXT_MAX];
  int n = float_form_text(d, FloatTextKind::DOUBLE, text);
  put(std::string_view(text, size_t(n)));
}

may_gc void Encoder::enter(const Cell& v) {
  NodeId key = cycle_key(v);
  for (size_t i = 0; i < path_.size(); i++)
    if (cycle_key(path_[i]) == key) fire(ErrId::NO_CYCLE);
  path_.push(v);
}

may_gc void Encoder::array(const Cell& v_in) {
  RootedCell v(v_in);
  int32_t n = series_length_of(*v);
  if (n <= 0) {
    put("[]");
    return;
  }
  WalkDepth depth;
  enter(*v);
  out_.push_back('[');
  int64_t from = series_index(*v);
  for (int32_t i = 0; i < n; i++) {
    // The block may change length under a molded value's own code: read
    // each value afresh and stop at the tail.
    if (from + i >= int64_t(block::total(*v))) break;
    if (i) out_.push_back(',');
    if (indent_->is(TYPE_STRING)) newline_indent(i ? 0 : 1);
    Cell item = *block::rs_abs_at(*v, uint32_t(from + i));
    value(item);
  }
  if (indent_->is(TYPE_STRING)) newline_indent(-1);
  out_.push_back(']');
  leave();
}

// A key: a word by its name, a string as it is, any other key molded.
may_gc void Encoder::key(Cell k) {
  if (is_word_form(k.type())) {
    std::string_view name = symbol::text(k.w2);
    out_.push_back('"');
    for (size_t i = 0; i < name.size();) {
      uint32_t len = 0;
      int32_t cp = decode_utf8_checked(reinterpret_cast<const uint8_t*>(name.data()) + i, name.size() - i, &len);
      text_char(cp < 0 ? 0xFFFD : uint32_t(cp));
      i += len ? len : 1;
    }
    out_.push_back('"');
  } else if (k.is(TYPE_STRING)) {
    string_text(k, false);
  } else {
    string_text(k, !is_any_word(k.type()));
  }
  put(indent_->is(TYPE_STRING) ? ": " : ":");
}

// A map is read through its own pairs, where a removed pair has a value
// cell of header 0; an object through its words and values.
may_gc void Encoder::object(const Cell& v_in) {
  RootedCell v(v_in);
  RootedCell keys, values;
  uint32_t step = 1, count;
  if (v->is(TYPE_MAP)) {
    *keys = series_cell(TYPE_BLOCK, v->w2, 0);
    step = 2;
  } else {
    *keys = call_action(act::reflect::SHAPE,
                        {{act::reflect::VALUE, *v}, {act::reflect::FIELD, runtime_word(SymId::WORDS)}});
    *values = call_action(act::reflect::SHAPE,
                          {{act::reflect::VALUE, *v}, {act::reflect::FIELD, runtime_word(SymId::VALUES)}});
  }
  auto live = [&](uint32_t i) {
    if (step == 2) return i + 1 < block::total(*keys) && block::rs_abs_at(*keys, i + 1)->header != 0;
    return i < block::total(*values);
  };
  count = block::total(*keys);
  bool any = false;
  for (uint32_t i = 0; i < count && !any; i += step) any = live(i);
  if (!any) {
    put("{}");
    return;
  }
  WalkDepth depth;
  enter(*v);
  out_.push_back('{');
  bool first = true;
  for (uint32_t i = 0; i < block::total(*keys); i += step) {
    if (!live(i)) continue;
    Cell item = step == 2 ? *block::rs_abs_at(*keys, i + 1) : *block::rs_abs_at(*values, i);
    if (!first) out_.push_back(',');
    if (indent_->is(TYPE_STRING)) newline_indent(first ? 1 : 0);
    first = false;
    key(*block::rs_abs_at(*keys, i));
    value(item);
  }
  if (indent_->is(TYPE_STRING)) newline_indent(-1);
  out_.push_back('}');
  leave();
}

may_gc void Encoder::value(const Cell& v) {
  TypeId t = v.type();
  switch (t) {
    case TYPE_NONE: put("null"); return;
    case TYPE_LOGIC: put(truthy(v) ? "true" : "false"); return;
    case TYPE_INTEGER: {
      char buf[16];
      char* end = std::to_chars(buf, buf + sizeof buf, int32_t(v.w2)).ptr;
      put(std::string_view(buf, size_t(end - buf)));
      return;
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT: float_of(v.f64()); return;
    case TYPE_STRING: string_text(v, false); return;
    case TYPE_MAP:
    case TYPE_OBJECT: object(v); return;
    default: break;
  }
  if (is_any_block(t)) {
    array(v);
  } else if (is_any_string(t)) {
    string_text(v, false);
  } else {
    string_text(v, true);
  }
}

may_gc Status encode_routine(Cell* base) {
  using enum rtn::json_encode::Frame;
  base[RESULT] = encode(base[DATA], base[INDENT], truthy(base[ASCII]));
  return Status::OK;
}

}  // namespace

may_gc Cell decode(const Cell& text) {
  RootedCell input(text);
  Cell s = *input;
  int32_t n = string::rs_length(&s);
  uint32_t index = string::rs_head_index(&s);
  const uint8_t* p = string::rs_head(&s);
  switch (node_buffer(s.node())->unit()) {
    case 1: return decode_as<uint8_t>(*input, index, p, size_t(n));
    case 2: return decode_as<uint16_t>(*input, index, p, size_t(n));
    default: return decode_as<uint32_t>(*input, index, p, size_t(n));
  }
}

may_gc Cell encode(const Cell& data_in, const Cell& indent, bool ascii) {
  RootedCell data(data_in);
  Encoder e(ascii, indent);
  e.out_.reserve(4000);
  e.value(*data);
  RootedCell out(string::cell_of(make_string(uint32_t(e.out_.size()))));
  append_code_points(out->node(), e.out_.data(), e.out_.size());
  return *out;
}

void register_routines() {
  func::routine_register(rtn::json_decode::NAME, decode_routine);
  func::routine_register(rtn::json_encode::NAME, encode_routine);
}

}  // namespace vel::json
