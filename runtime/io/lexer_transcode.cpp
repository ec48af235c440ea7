// Entries of the lexer for series input: transcode, the conversions that
// load text (to block!, to word!, load-one-value) and start-up.
//
// Series input is copied to a private NUL-terminated UTF-8 buffer first, so
// that the collector may move the source while values are built, and so
// that a nested scan never shares text with the scan it runs in.
#include <string>

#include "datatypes/block.h"
#include "datatypes/word.h"
#include "errors.h"
#include "frame.h"
#include "native_frames.h"
#include "io/lexer.h"
#include "roots.h"
#include "unicode.h"

namespace vel::lexer {

namespace {

// Elements of a series from its index (clamped) to its tail.
uint32_t length_from(const Cell& s, uint32_t* index) {
  Buffer* b = node_buffer(s.node());
  uint32_t total = b->length();
  int32_t i = s.index();
  *index = i < 0 ? 0 : (uint32_t(i) > total ? total : uint32_t(i));
  return total - *index;
}

}  // namespace

namespace {

// n units of a series from index as private UTF-8 text.
std::string text_of(const Cell& series, uint32_t index, uint32_t n) {
  if (!series.is(TYPE_BINARY)) return to_utf8(series.node(), index, n);
  Buffer* b = node_buffer(series.node());
  return std::string(reinterpret_cast<const char*>(b->head_ptr() + index), n);
}

// A one-value scan of a long input reads a short piece first (parse steps
// through a binary this way, one value at a time): its answer stands when
// it stopped clear of the cut, since a token's end is decided at most a few
// bytes past it.
constexpr uint32_t PIECE = 4096;
constexpr uint32_t PIECE_MARGIN = 8;

}  // namespace

may_gc ScanResult scan_series(const Cell& series, int64_t limit, ScanOptions o) {
  uint32_t index = 0;
  uint32_t n = length_from(series, &index);
  if (limit >= 0 && uint64_t(limit) < n) n = uint32_t(limit);
  o.char_positions = !series.is(TYPE_BINARY);
  o.input = series;
  o.input.w1 = index;
  if (o.mode != Mode::LOAD && !o.callback) {
    RootedCell keep(series);
    for (uint32_t piece = PIECE; piece < n; piece *= 8) {
      std::string text = text_of(*keep, index, piece);
      try {
        ScanResult r = scan(text, o);
        if (r.type != TYPE_ERROR && r.consumed + PIECE_MARGIN < piece) return r;
      } catch (const VelError&) {
        // Perhaps the cut; the whole input decides.
      }
    }
    return scan(text_of(*keep, index, n), o);
  }
  return scan(text_of(series, index, n), o);
}

may_gc Cell transcode(Cell src, const TranscodeOptions& o) {
  if (!src.is(TYPE_BINARY) && !src.is(TYPE_STRING)) fire(ErrId::INVALID_ARG, src);
  RootedCell source(src);
  uint32_t index = 0;
  uint32_t total = length_from(src, &index);
  source->w1 = index;
  int64_t length = total;
  if (o.part) {
    const Cell& p = *o.part;
    if (p.is(TYPE_INTEGER)) {
      length = p.i2();
    } else if (p.type() == src.type()) {
      length = int64_t(p.index()) - int64_t(index);
    } else {
      fire(ErrId::NOT_SAME_TYPE, src, p);
    }
    // A /part limit never reaches outside the source.
    length = length < 0 ? 0 : (length > total ? total : length);
  }
  if (src.is(TYPE_BINARY) && length >= 3) {
    const uint8_t* h = node_buffer(src.node())->head_ptr() + index;
    if (h[0] == 0xEF && h[1] == 0xBB && h[2] == 0xBF) {
      source->w1 += 3;
      length -= 3;
    }
  }

  ScanOptions so;
  so.mode = o.prescan ? Mode::PRESCAN : o.scan ? Mode::SCAN : (o.next || o.one) ? Mode::ONE : Mode::LOAD;
  so.callback = o.trace;
  so.first_line = o.line;
  bool into = o.into && o.into->is(TYPE_BLOCK);
  if (into && so.mode == Mode::LOAD) so.into = o.into->node();
  RootedCell dst(into ? *o.into : none_cell());
  ScanResult r = scan_series(*source, length, so);

  RootedCell value;
  if (o.prescan || o.scan) {
    *value = (length == 0 || !r.type) ? none_cell() : datatype_cell(r.type);
  } else {
    *value = r.value;
    if (into && so.mode == Mode::ONE && !r.value.is(TYPE_UNSET)) block::rs_append(dst->node(), r.value);
  }
  if (into) return *dst;
  if (o.next && !(o.one && !o.scan && !o.prescan)) {
    Cell rest = *source;
    rest.w1 = uint32_t(source->index() + int64_t(r.consumed));
    rest.w3 = 0;
    RootedCell keep(rest);
    Cell pair = block::make_at(2);
    Buffer* b = node_buffer(pair.node());
    b->cells()[0] = *value;
    b->cells()[1] = *keep;
    b->tail = b->head + 2 * uint32_t(sizeof(Cell));
    return pair;
  }
  return *value;
}

Status transcode_native(Cell* base) {
  using enum nat::transcode::Frame;
  TranscodeOptions o;
  o.next = used(base[NEXT]);
  o.one = used(base[ONE]);
  o.prescan = used(base[PRESCAN]);
  o.scan = used(base[SCAN]);
  if (used(base[PART])) o.part = &base[LENGTH];
  if (used(base[INTO])) o.into = &base[DST];
  Callback cb;
  if (used(base[TRACE])) {
    if (!callback_of(base[CALLBACK_], &cb)) fire(ErrId::INVALID_ARG, base[CALLBACK_]);
    o.trace = &cb;
  }
  base[RESULT] = transcode(base[SRC], o);
  return Status::OK;
}

// --- conversions -------------------------------------------------------------------------------

may_gc bool load_one_value(const Cell& text, Cell* out) {
  if (!text.is(TYPE_STRING) && !text.is(TYPE_BINARY)) return false;
  RootedCell src(text);
  uint32_t index = 0;
  uint32_t n = length_from(text, &index);
  ScanOptions o;
  o.mode = Mode::ONE;
  try {
    ScanResult r = scan_series(*src, -1, o);
    if (r.value.is(TYPE_UNSET) || r.consumed != n) return false;
    *out = r.value;
    return true;
  } catch (const VelError& e) {
    if (error_type_of(e.id) == ErrType::SYNTAX) return false;
    throw;
  }
}

TypeId scan_type(std::string_view utf8) {
  std::string text(utf8);  // NUL-terminated, private
  ScanOptions o;
  o.mode = Mode::SCAN;
  ScanResult r = scan(text, o);
  if (r.type == TYPE_ERROR || r.consumed != text.size()) return TYPE_NONE_ID;
  return r.type;
}

may_gc Cell string_to_block(const Cell& text) {
  ScanOptions o;
  return scan_series(text, -1, o).value;
}

void init() {
}

}  // namespace vel::lexer
