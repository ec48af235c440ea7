// Comma-separated text to values and back.
//
// The reader works on a private copy of the text as code points, so the
// collector may move the source while fields are made; fields wait on a
// rooted cell stack until their line is complete. Quoting on output covers
// CR as well as LF: a CR left bare would end the line when read back.
#include "io/csv.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "action_frames.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "datatypes/word.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "routine_frames.h"
#include "roots.h"
#include "unicode.h"

namespace vel::csv {

namespace {

using Text = std::vector<uint32_t>;

may_gc Cell new_string(const uint32_t* cps, size_t n) {
  RootedCell s(string::cell_of(make_string(uint32_t(n))));
  append_code_points(s->node(), cps, n);
  return *s;
}

may_gc Cell new_string(const Text& t) { return new_string(t.data(), t.size()); }

// The characters of an any-string from its index.
Text chars_of(const Cell& s_in) {
  Cell s = s_in;
  int32_t n = string::rs_length(&s);
  const uint8_t* p = string::rs_head(&s);
  uint32_t unit = node_buffer(s.node())->unit();
  Text t(size_t(n > 0 ? n : 0));
  for (size_t i = 0; i < t.size(); i++) t[i] = get_char(p + i * unit, unit);
  return t;
}

// A delimiter argument: a character, or the characters of a string.
Text delimiter_of(const Cell& d) {
  if (d.is(TYPE_CHAR)) return Text{d.w2};
  return chars_of(d);
}

// An error! value made from a message (returned, not raised).
may_gc Cell error_value(const char* message) {
  RootedCell text(string::load(message));
  return call_action(act::make::SHAPE, {{act::make::TYPE, datatype_cell(TYPE_ERROR)}, {act::make::SPEC, *text}});
}

constexpr const char* NOT_ALIGNED = "Data are not aligned";

// The spreadsheet column after t: A to B, Z to AA, AZ to BA, ZZ to AAA.
Text next_name(Text t) {
  for (size_t i = t.size(); i-- > 0;) {
    if (t[i] != 'Z') {
      t[i]++;
      return t;
    }
    t[i] = 'A';
    if (i == 0) t.insert(t.begin(), 'A');
  }
  return t;
}

// The first n column names: A ... Z, AA ...
std::vector<Text> default_header(size_t n) {
  std::vector<Text> h;
  Text name{'A'};
  for (size_t i = 0; i < n; i++) {
    h.push_back(name);
    name = next_name(name);
  }
  return h;
}

// --- reading ---------------------------------------------------------------------------

class Reader {
 public:
  Reader(Text text, Text delimiter, const LoadOptions& o)
      : s_(std::move(text)), delim_(std::move(delimiter)), quote_(o.quote), trim_(o.trim) {}

  bool at_end() const { return pos_ >= s_.size(); }

  // The values of one line into fields: each a quoted or a plain value,
  // separated by the delimiter.
  // The fields' buffers are kept from line to line: answers how many of
  // them this line filled.
  size_t values(std::vector<Text>* fields) {
    size_t n = 0;
    for (;;) {
      if (n == fields->size()) fields->emplace_back();
      single_value(&(*fields)[n++]);
      if (!delimiter_here()) break;
      pos_ += delim_.size();
    }
    return n;
  }

  // CR LF, LF or CR.
  bool newline() {
    if (at_end()) return false;
    if (s_[pos_] == '\r') {
      pos_ += (pos_ + 1 < s_.size() && s_[pos_ + 1] == '\n') ? 2 : 1;
      return true;
    }
    if (s_[pos_] == '\n') {
      pos_++;
      return true;
    }
    return false;
  }

 private:
  bool delimiter_here() const {
    if (s_.size() - pos_ < delim_.size()) return false;
    return std::equal(delim_.begin(), delim_.end(), s_.begin() + std::ptrdiff_t(pos_));
  }
  bool in_delimiter(uint32_t c) const { return std::find(delim_.begin(), delim_.end(), c) != delim_.end(); }

  void single_value(Text* v) {
    if (!quoted_value(v)) {
      size_t p = pos_;
      while (p < s_.size() && s_[p] != '\n' && s_[p] != '\r' && !in_delimiter(s_[p])) p++;
      v->assign(s_.begin() + std::ptrdiff_t(pos_), s_.begin() + std::ptrdiff_t(p));
      pos_ = p;
    }
    if (trim_) trim(v);
  }

  // A quoted value, a doubled quote standing for one; false (and nothing
  // taken) when the closing quote is missing.
  bool quoted_value(Text* v) {
    if (at_end() || s_[pos_] != quote_) return false;
    v->clear();
    for (size_t p = pos_ + 1; p < s_.size(); p++) {
      if (s_[p] != quote_) {
        v->push_back(s_[p]);
      } else if (p + 1 < s_.size() && s_[p + 1] == quote_) {
        v->push_back(quote_);
        p++;
      } else {
        pos_ = p + 1;
        return true;
      }
    }
    v->clear();
    return false;
  }

  // Blanks off both ends, then the quotes around what is left.
  void trim(Text* v) const {
    size_t a = 0, b = v->size();
    while (a < b && string::is_white_space((*v)[a])) a++;
    while (b > a && string::is_white_space((*v)[b - 1])) b--;
    Text t(v->begin() + std::ptrdiff_t(a), v->begin() + std::ptrdiff_t(b));
    if (!t.empty() && t.front() == quote_ && t.back() == quote_) {
      t.erase(t.begin());
      if (!t.empty()) t.pop_back();
    }
    *v = std::move(t);
  }

  Text s_;
  Text delim_;
  uint32_t quote_;
  bool trim_;
  size_t pos_ = 0;
};

class Loader {
 public:
  explicit Loader(const LoadOptions& o) : o_(o) {}

  may_gc Cell run(Reader& r) {
    *out_ = block::make_at(64);
    if (o_.header) {
      std::vector<Text> names;
      names.resize(r.values(&names));
      if (!r.newline()) too_small();
      header_ = names;
    } else {
      header_ = default_header(1);
    }
    std::vector<Text> line;
    while (!r.at_end()) {
      size_t n = r.values(&line);
      if (!r.at_end() && !r.newline()) break;
      if (!add_line(line, n)) return error_value(NOT_ALIGNED);
    }
    if (o_.header && rows_ == 0) too_small();
    if (o_.shape == Shape::COLUMNS) return columns();
    return *out_;
  }

 private:
  [[noreturn]] void too_small() {
    fire(ErrId::MESSAGE, string::load("CSV data are too small to use /HEADER refinement"));
  }

  // Appends the line in the asked shape; false when it is not as long as
  // the first line.
  may_gc bool add_line(const std::vector<Text>& line, size_t count) {
    if (rows_ == 0) {
      width_ = count;
    } else if (count != width_) {
      return false;
    }
    rows_++;
    longest_ = std::max(longest_, count);
    size_t base = stack_.size();
    switch (o_.shape) {
      case Shape::FLAT:
        for (size_t i = 0; i < count; i++) {
          stack_.push(new_string(line[i]));
          block::rs_append(out_->node(), stack_[base]);
          stack_.truncate(base);
        }
        return true;
      case Shape::RECORDS:
        while (header_.size() < longest_) header_.push_back(next_name(header_.back()));
        for (size_t i = 0; i < count; i++) {
          stack_.push(new_string(header_[i]));
          stack_.push(new_string(line[i]));
        }
        append_from(base, true);
        return true;
      default:
        for (size_t i = 0; i < count; i++) stack_.push(new_string(line[i]));
        append_from(base, false);
        return true;
    }
  }

  // The stacked cells from base as one block (or map) appended to the output.
  may_gc void append_from(size_t base, bool as_map) {
    size_t n = stack_.size() - base;
    RootedCell blk(block::make_at(int64_t(n)));
    Buffer* b = node_buffer(blk->node());
    for (size_t i = 0; i < n; i++) b->cells()[i] = stack_[base + i];
    b->tail = b->head + uint32_t(n * sizeof(Cell));
    stack_.truncate(base);
    if (as_map) *blk = map::make_at(blk->node(), uint32_t(n ? n : 2));
    block::rs_append(out_->node(), *blk);
  }

  // One block per column, none where a row is shorter, under the header's
  // names (A, B ... when the rows are longer than the header).
  may_gc Cell columns() {
    if (longest_ > header_.size()) header_ = default_header(longest_);
    size_t base = stack_.size();
    for (size_t c = 0; c < header_.size(); c++) {
      stack_.push(new_string(header_[c]));
      RootedCell col(block::make_at(int64_t(rows_)));
      for (size_t r = 0; r < rows_; r++) {
        Cell row = *block::rs_abs_at(*out_, uint32_t(r));
        Cell v = c < block::total(row) ? *block::rs_abs_at(row, uint32_t(c)) : none_cell();
        block::rs_append(col->node(), v);
      }
      stack_.push(*col);
    }
    size_t n = stack_.size() - base;
    RootedCell blk(block::make_at(int64_t(n)));
    Buffer* b = node_buffer(blk->node());
    for (size_t i = 0; i < n; i++) b->cells()[i] = stack_[base + i];
    b->tail = b->head + uint32_t(n * sizeof(Cell));
    stack_.truncate(base);
    return map::make_at(blk->node(), uint32_t(n ? n : 2));
  }

  const LoadOptions& o_;
  RootedCell out_;
  RootedCellStack stack_;
  std::vector<Text> header_;
  size_t rows_ = 0, width_ = 0, longest_ = 0;
};

// --- writing ---------------------------------------------------------------------------

class Writer {
 public:
  Writer(Text delimiter, uint32_t quote) : delim_(std::move(delimiter)), quote_(quote) {}

  Text out_;

  // One value formed, its quotes doubled, and quoted when that changed it
  // or it holds a blank, a line break, the quote or a delimiter character.
  may_gc void field(const Cell& v) {
    if (v.is(TYPE_STRING)) {
      Cell s = v;
      int32_t n = string::rs_length(&s);
      const uint8_t* p = string::rs_head(&s);
      switch (node_buffer(s.node())->unit()) {
        case 1: escaped(p, size_t(n)); return;
        case 2: escaped(reinterpret_cast<const uint16_t*>(p), size_t(n)); return;
        default: escaped(reinterpret_cast<const uint32_t*>(p), size_t(n)); return;
      }
    }
    formed(v);
    escaped(buf_.data(), buf_.size());
  }
  void separator() { out_.insert(out_.end(), delim_.begin(), delim_.end()); }
  void end_line() { out_.push_back('\n'); }

  // The cells of a block from its index, as one line.
  may_gc void line_of(const Cell& blk_in, int64_t from, int64_t count) {
    RootedCell blk(blk_in);
    for (int64_t i = 0; i < count; i++) {
      if (i) separator();
      if (from + i >= int64_t(block::total(*blk))) break;
      field(*block::rs_abs_at(*blk, uint32_t(from + i)));
    }
    end_line();
  }

 private:
  template <typename T>
  void escaped(const T* p, size_t n) {
    bool quote = false;
    for (size_t i = 0; i < n && !quote; i++) {
      uint32_t c = p[i];
      quote = c == quote_ || c == ' ' || c == '\n' || c == '\r' ||
              std::find(delim_.begin(), delim_.end(), c) != delim_.end();
    }
    if (!quote) {
      out_.insert(out_.end(), p, p + n);
      return;
    }
    out_.push_back(quote_);
    for (size_t i = 0; i < n; i++) {
      if (p[i] == quote_) out_.push_back(quote_);
      out_.push_back(p[i]);
    }
    out_.push_back(quote_);
  }

  // The formed text of a value other than a string, in buf_.
  may_gc void formed(const Cell& v) {
    buf_.clear();
    if (v.is(TYPE_INTEGER)) {
      char digits[16];
      char* end = std::to_chars(digits, digits + sizeof digits, int32_t(v.w2)).ptr;
      buf_.assign(digits, end);
      return;
    }
    RootedCell keep(v);
    RootedCell text(string::cell_of(make_string(16)));
    form_value(*keep, text->node());
    buf_ = chars_of(*text);
  }

  Text buf_;
  Text delim_;
  uint32_t quote_;
};

// The keys and values of a map or an object, as two blocks.
may_gc void keys_and_values(const Cell& m, Cell* keys, Cell* values) {
  RootedCell v(m);
  if (v->is(TYPE_MAP)) {
    *keys = map::reflect(*v, sym(SymId::WORDS));
    RootedCell k(*keys);
    *values = map::reflect(*v, sym(SymId::VALUES));
    *keys = *k;
  } else {
    RootedCell k(call_action(act::reflect::SHAPE,
                             {{act::reflect::VALUE, *v}, {act::reflect::FIELD, runtime_word(SymId::WORDS)}}));
    *values = call_action(act::reflect::SHAPE,
                          {{act::reflect::VALUE, *v}, {act::reflect::FIELD, runtime_word(SymId::VALUES)}});
    *keys = *k;
  }
}

bool is_record_map(TypeId t) { return t == TYPE_MAP || t == TYPE_OBJECT; }

// A map or object of columns: a header line of its keys, then row i of
// the i-th value of every column.
may_gc Cell encode_columns(Writer& w, const Cell& data) {
  RootedCell keys, values;
  keys_and_values(data, keys.get(), values.get());
  int32_t n = series_length_of(*keys);
  w.line_of(*keys, series_index(*keys), n);
  if (n <= 0) return none_cell();
  int32_t rows = -1;
  for (int32_t c = 0; c < n; c++) {
    Cell col = *block::rs_abs_at(*values, uint32_t(c));
    if (!is_any_block(col.type())) fire(ErrId::INVALID_ARG, col);
    int32_t len = series_length_of(col);
    if (rows < 0) rows = len;
    if (len != rows) return error_value(NOT_ALIGNED);
  }
  for (int32_t r = 0; r < rows; r++) {
    for (int32_t c = 0; c < n; c++) {
      if (c) w.separator();
      Cell col = *block::rs_abs_at(*values, uint32_t(c));
      w.field(*block::rs_abs_at(col, uint32_t(series_index(col) + r)));
    }
    w.end_line();
  }
  return none_cell();
}

// Records that are all maps or all objects: the header gathers every key
// in the order first met; a missing, none or false value is an empty field.
may_gc Cell encode_maps(Writer& w, const Cell& data_in) {
  RootedCell data(data_in);
  int64_t from = series_index(*data);
  int32_t count = series_length_of(*data);
  RootedCell seen(map::make_at(0, 16));
  RootedCell columns(block::make_at(16));
  RootedCell keys, values, rec;
  for (int32_t i = 0; i < count; i++) {
    keys_and_values(*block::rs_abs_at(*data, uint32_t(from + i)), keys.get(), values.get());
    for (int32_t k = 0; k < series_length_of(*keys); k++) {
      Cell key = *block::rs_abs_at(*keys, uint32_t(k));
      if (!map::get(*seen, key, false).is(TYPE_NONE)) continue;
      map::store(*seen, key, logic_cell(true), false, none_cell());
      block::rs_append(columns->node(), *block::rs_abs_at(*keys, uint32_t(k)));
    }
  }
  int32_t n = series_length_of(*columns);
  w.line_of(*columns, 0, n);
  for (int32_t i = 0; i < count; i++) {
    *rec = *block::rs_abs_at(*data, uint32_t(from + i));
    if (!rec->is(TYPE_MAP)) {
      *rec = call_action(act::reflect::SHAPE,
                         {{act::reflect::VALUE, *rec}, {act::reflect::FIELD, runtime_word(SymId::BODY)}});
      *rec = call_action(act::make::SHAPE, {{act::make::TYPE, datatype_cell(TYPE_MAP)}, {act::make::SPEC, *rec}});
    }
    for (int32_t c = 0; c < n; c++) {
      if (c) w.separator();
      Cell key = *block::rs_abs_at(*columns, uint32_t(c));
      Cell v = map::get(*rec, key, false);
      if (v.is(TYPE_NONE) || (v.is(TYPE_LOGIC) && !truthy(v))) continue;
      w.field(v);
    }
    w.end_line();
  }
  return none_cell();
}

// Records as blocks (or maps and objects, by their values), each as long
// as the first.
may_gc Cell encode_blocks(Writer& w, const Cell& data_in) {
  RootedCell data(data_in);
  int64_t from = series_index(*data);
  int32_t count = series_length_of(*data);
  RootedCell rec, keys;
  int32_t width = -1;
  for (int32_t pass = 0; pass < 2; pass++) {
    for (int32_t i = 0; i < count; i++) {
      *rec = *block::rs_abs_at(*data, uint32_t(from + i));
      if (is_record_map(rec->type())) {
        keys_and_values(*rec, keys.get(), rec.get());
      } else if (!is_any_block(rec->type())) {
        fire(ErrId::INVALID_ARG, *rec);
      }
      int32_t len = series_length_of(*rec);
      if (pass == 0) {
        if (width < 0) width = len;
        if (len != width) return error_value(NOT_ALIGNED);
      } else {
        w.line_of(*rec, series_index(*rec), len);
      }
    }
  }
  return none_cell();
}

may_gc Cell encode_flat(Writer& w, const Cell& data_in, int32_t size) {
  RootedCell data(data_in);
  int32_t count = series_length_of(*data);
  if (count % size) return error_value(NOT_ALIGNED);
  for (int32_t i = 0; i < count; i += size) w.line_of(*data, series_index(*data) + i, size);
  return none_cell();
}

// --- routines --------------------------------------------------------------------------

// csv-load data delimiter quote trim header shape (0 rows, 1 flat,
// 2 records, 3 columns).
may_gc Status load_routine(Cell* base) {
  using enum rtn::csv_load::Frame;
  LoadOptions o;
  o.delimiter = base[DELIMITER];
  o.quote = base[QT].w2;
  o.trim = truthy(base[TRIM_Q]);
  o.header = truthy(base[HEADER_Q]);
  int32_t shape = int32_t(base[SHAPE].w2);
  o.shape = shape == 1 ? Shape::FLAT : shape == 2 ? Shape::RECORDS : shape == 3 ? Shape::COLUMNS : Shape::ROWS;
  base[RESULT] = load(base[DATA], o);
  return Status::OK;
}

// csv-encode data delimiter quote skip (an integer, or none).
may_gc Status encode_routine(Cell* base) {
  using enum rtn::csv_encode::Frame;
  const Cell& size = base[SIZE];
  int32_t skip = size.is(TYPE_INTEGER) ? int32_t(size.w2) : 0;
  if (size.is(TYPE_INTEGER) && skip < 1) fire(ErrId::OUT_OF_RANGE, size);
  base[RESULT] = encode(base[DATA], base[DELIMITER], base[QT].w2, skip);
  return Status::OK;
}

}  // namespace

may_gc Cell load(const Cell& text, const LoadOptions& o) {
  Text delimiter = delimiter_of(o.delimiter);
  // An empty delimiter would separate nothing from nothing for ever.
  if (delimiter.empty()) fire(ErrId::INVALID_ARG, o.delimiter);
  Reader r(chars_of(text), std::move(delimiter), o);
  Loader l(o);
  return l.run(r);
}

may_gc Cell encode(const Cell& data_in, const Cell& delimiter, uint32_t quote, int32_t skip) {
  RootedCell data(data_in);
  Writer w(delimiter_of(delimiter), quote);
  RootedCell result;
  if (is_record_map(data->type())) {
    *result = encode_columns(w, *data);
  } else if (skip > 0) {
    *result = encode_flat(w, *data, skip);
  } else {
    int32_t count = series_length_of(*data);
    int64_t from = series_index(*data);
    Cell first = count > 0 ? *block::rs_abs_at(*data, uint32_t(from)) : none_cell();
    if (!first.is(TYPE_BLOCK) && !is_record_map(first.type())) {
      // One record: the block itself.
      RootedCell one(block::make_at(1));
      block::rs_append(one->node(), *data);
      *result = encode_blocks(w, *one);
    } else {
      bool same = true;
      for (int32_t i = 1; i < count && same; i++) same = block::rs_abs_at(*data, uint32_t(from + i))->type() == first.type();
      *result = (same && is_record_map(first.type())) ? encode_maps(w, *data) : encode_blocks(w, *data);
    }
  }
  if (result->is(TYPE_ERROR)) return *result;
  RootedCell out(string::cell_of(make_string(uint32_t(w.out_.size()))));
  append_code_points(out->node(), w.out_.data(), w.out_.size());
  return *out;
}

void register_routines() {
  func::routine_register(rtn::csv_load::NAME, load_routine);
  func::routine_register(rtn::csv_encode::NAME, encode_routine);
}

}  // namespace vel::csv
