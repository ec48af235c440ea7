#include "output.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <new>
#include <string>

#include "errors.h"
#include "memory.h"
#include "platform/platform.h"
#include "unicode.h"

namespace vel {

static_assert(std::endian::native == std::endian::little, "text units are read as little-endian");

// --- hooks ----------------------------------------------------------------

template <class Fn>
void HookTable<Fn>::init() {
  if (capacity_ > 0) return;
  items_.reset(new (std::nothrow) Fn[GROWTH]);
  if (!items_) fire(ErrId::NO_MEMORY);
  capacity_ = GROWTH;
}

template <class Fn>
void HookTable<Fn>::add(Fn f) {
  if (!f) return;
  if (count_ == capacity_) {
    std::unique_ptr<Fn[]> items(new (std::nothrow) Fn[capacity_ + GROWTH]);
    if (!items) fire(ErrId::NO_MEMORY);
    std::copy(items_.get(), items_.get() + count_, items.get());
    items_ = std::move(items);
    capacity_ += GROWTH;
  }
  items_[count_++] = f;
}

template <class Fn>
bool HookTable<Fn>::remove(Fn f) {
  if (!f) return false;
  for (size_t i = 0; i < count_; i++) {
    if (items_[i] != f) continue;
    std::copy(items_.get() + i + 1, items_.get() + count_, items_.get() + i);
    count_--;
    return true;
  }
  return false;
}

template class HookTable<ValueHook>;
template class HookTable<TextHook>;

namespace {
HookTable<ValueHook> g_value_hooks;
HookTable<TextHook> g_text_hooks;
}  // namespace

void dyn_print_init() {
  g_value_hooks.init();
  g_text_hooks.init();
}

void dyn_print_add(ValueHook value_hook, TextHook text_hook) {
  g_value_hooks.add(value_hook);
  g_text_hooks.add(text_hook);
}

void dyn_print_remove(ValueHook value_hook, TextHook text_hook) {
  (void)g_value_hooks.remove(value_hook);
  (void)g_text_hooks.remove(text_hook);
}

void dyn_print_call_value_hooks(const Cell* value, bool newline) { g_value_hooks.call(value, newline); }

void dyn_print_call_text_hooks(const char* text, size_t len, int flag) { g_text_hooks.call(text, len, flag); }

const HookTable<ValueHook>& value_hooks() { return g_value_hooks; }

void stdout_print_hook(const Cell* text, bool newline) {
  if (!text->is(TYPE_STRING)) return;
  const Buffer* b = node_buffer(text->node());
  uint32_t unit = b->unit(), len = b->length();
  uint32_t at = text->index() < 0 ? 0 : std::min<uint32_t>(uint32_t(text->index()), len);
  console_write(b->data() + b->head + size_t(at) * unit, size_t(len - at) * unit, int(unit), newline);
}

// --- text helpers -------------------------------------------------------------

namespace {

constexpr uint32_t REPLACEMENT = 0xFFFD;
constexpr size_t NEED_MORE = SIZE_MAX;  // the text ended inside an escape sequence
constexpr size_t SEQUENCE_MAX = 32;     // longer "sequences" are printed as text

template <class U>
U load(const uint8_t* text, size_t i) {
  U u;
  std::memcpy(&u, text + i * sizeof(U), sizeof(U));
  return u;
}

bool is_surrogate(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

size_t encode_utf8(uint32_t cp, char* out) {
  if (cp > MAX_CODE_POINT || is_surrogate(cp)) cp = REPLACEMENT;
  if (cp < 0x80) {
    out[0] = char(cp);
    return 1;
  }
  return encode_utf8_multi(cp, reinterpret_cast<uint8_t*>(out));
}

// One code point from s[i..n), advancing i. A malformed, overlong or
// truncated sequence, or an encoded surrogate, gives U+FFFD and skips one
// byte.
uint32_t decode_utf8(const uint8_t* s, size_t n, size_t& i) {
  uint32_t len;
  int32_t cp = decode_utf8_loading(s + i, n - i, &len);
  if (cp < 0) {
    i++;
    return REPLACEMENT;
  }
  i += len;
  return uint32_t(cp);
}

std::u16string utf8_to_utf16(const char* text, size_t n) {
  std::u16string out;
  out.reserve(n);
  auto* s = reinterpret_cast<const uint8_t*>(text);
  for (size_t i = 0; i < n;) {
    char16_t units[2];
    out.append(units, encode_utf16_char(decode_utf8(s, n, i), units));
  }
  return out;
}

// Console colour bits for the ANSI colours 0-7 (black, red, green, yellow,
// blue, magenta, cyan, white): the console numbers blue 1, green 2, red 4.
constexpr uint16_t ANSI_FG[8] = {0, 4, 2, 6, 1, 5, 3, 7};
constexpr uint16_t ANSI_BG[8] = {0, 64, 32, 96, 16, 80, 48, 112};

// One select-graphic-rendition code applied to attribute a. Colour codes
// replace only their colour bits, so an underscore (bit 15) survives them.
uint16_t apply_sgr(uint16_t a, uint32_t code, uint16_t def) {
  if (code == 0) return def;
  if (code == 1) return a | 0x88;
  if (code == 4) return a | CONSOLE_UNDERSCORE;
  if (code == 7) return uint16_t((a & 0xFF00) | ((a & 0x0F) << 4) | ((a & 0xF0) >> 4));
  if (code >= 30 && code <= 37) return uint16_t((a & 0xFFF8) | ANSI_FG[code - 30]);
  if (code == 39) return uint16_t((a & ~CONSOLE_FG_MASK) | (def & CONSOLE_FG_MASK));
  if (code >= 40 && code <= 47) return uint16_t((a & 0xFF8F) | ANSI_BG[code - 40]);
  if (code == 49) return uint16_t((a & ~CONSOLE_BG_MASK) | (def & CONSOLE_BG_MASK));
  return a;
}

void append_int(std::string& s, long long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  s.append(buf, r.ptr);
}

void append_hex(std::string& s, uint32_t v, int digits) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) s += HEX[(v >> shift) & 15];
}

}  // namespace

// --- the console writer -----------------------------------------------------

ConsoleWriter::ConsoleWriter(ConsoleDevice* console, ByteSink sink, void* sink_ctx)
    : console_(console), sink_(sink), sink_ctx_(sink_ctx) {}

void ConsoleWriter::write(const void* text, size_t size_in_bytes, int unit, bool newline) {
  if (unit != 1 && unit != 2 && unit != 4) fire(ErrId::INVALID_ARG, make_cell(TYPE_INTEGER, uint32_t(unit)));
  auto* p = static_cast<const uint8_t*>(text);
  size_t n = p ? size_in_bytes / size_t(unit) : 0;
  if (!console_) {
    byte_units(p, n, unit, newline);
  } else if (unit == 1) {
    console_units<uint8_t>(p, n, newline);
  } else if (unit == 2) {
    console_units<char16_t>(p, n, newline);
  } else {
    flush_pending_literally();
    console_code_points(p, n, newline);
  }
}

void ConsoleWriter::write_utf8(const char* text, size_t n, bool newline) {
  if (!text) n = 0;
  if (console_) {
    std::u16string units = utf8_to_utf16(text, n);
    console_units<char16_t>(reinterpret_cast<const uint8_t*>(units.data()), units.size(), newline);
    return;
  }
  if (n > BYTE_FLUSH) {
    flush_bytes();
    sink_(sink_ctx_, text, n);
  } else {
    stage_bytes(text, n);
  }
  if (newline) stage_bytes(BYTE_NEWLINE, std::strlen(BYTE_NEWLINE));
  flush_bytes();
}

void ConsoleWriter::save_default_attributes() {
  ConsoleInfo ci;
  if (console_ && console_->info(ci)) default_attr_ = ci.attribute;
}

// Console mode, units 1 and 2: stage UTF-16, hand ESC sequences to the
// interpreter; what it does not take is printed as text.
template <class U>
void ConsoleWriter::console_units(const uint8_t* text, size_t n, bool newline) {
  if (npending_ > 0) {
    std::u16string joined(pending_, npending_);
    npending_ = 0;
    for (size_t i = 0; i < n; i++) joined.push_back(char16_t(load<U>(text, i)));
    console_units<char16_t>(reinterpret_cast<const uint8_t*>(joined.data()), joined.size(), newline);
    return;
  }
  for (size_t i = 0; i < n; i++) {
    auto u = char16_t(load<U>(text, i));
    if (u == 0x1B) {
      flush_units();
      size_t k = interpret_escape<U>(text + i * sizeof(U), n - i);
      if (k == NEED_MORE) {
        // The write ends inside a sequence: keep it for the next write,
        // unless a newline ends it here.
        if (!newline && n - i <= PENDING_MAX) {
          for (size_t j = 0; i + j < n; j++) pending_[j] = char16_t(load<U>(text, i + j));
          npending_ = n - i;
          return;
        }
        k = 0;
      }
      if (k > 0) {
        i += k - 1;
        continue;
      }
    }
    stage_unit(u);
  }
  if (newline) {
    stage_unit(u'\r');
    stage_unit(u'\n');
  }
  flush_units();
}

// Console mode, unit 4: code points, surrogate pairs above 0xFFFF, no
// escape sequences.
void ConsoleWriter::console_code_points(const uint8_t* text, size_t n, bool newline) {
  for (size_t i = 0; i < n; i++) {
    uint32_t cp = load<uint32_t>(text, i);
    if (cp > MAX_CODE_POINT || is_surrogate(cp)) cp = REPLACEMENT;
    char16_t units[2];
    for (uint32_t k = 0, m = encode_utf16_char(cp, units); k < m; k++) stage_unit(units[k]);
  }
  if (newline) stage_unit(u'\n');
  flush_units();
}

// Interprets the escape sequence at the start of text (text[0] is ESC):
// ESC "[" decimal parameters separated by ";" and a final character.
// Answers the units consumed, 0 when the sequence is not one we render, or
// NEED_MORE when the text ends before the final character.
template <class U>
size_t ConsoleWriter::interpret_escape(const uint8_t* text, size_t n) {
  constexpr int MAX_PARAMS = 16;
  uint32_t params[MAX_PARAMS];
  int np = 0;
  if (n < 2) return NEED_MORE;
  if (load<U>(text, 1) != '[') return 0;
  uint32_t acc = 0;
  bool any = false;
  size_t i = 2;
  char16_t final = 0;
  for (;; i++) {
    if (i >= SEQUENCE_MAX) return 0;
    if (i >= n) return NEED_MORE;
    auto c = char16_t(load<U>(text, i));
    if (c >= '0' && c <= '9') {
      acc = (acc * 10 + (c - '0')) % 65535;
      any = true;
    } else if (c == ';') {
      if (np < MAX_PARAMS) params[np++] = acc;
      acc = 0;
      any = true;
    } else {
      final = c;
      break;
    }
  }
  if (any && np < MAX_PARAMS) params[np++] = acc;
  size_t consumed = i + 1;

  ConsoleInfo ci;
  if (!console_->info(ci) || ci.width <= 0 || ci.height <= 0) return consumed;
  const int w = ci.width, h = ci.height, x = ci.cursor.x, y = ci.cursor.y;
  auto erase = [&](ConsoleCoord at, size_t count) {
    if (count == 0) return;
    console_->fill_char(u' ', count, at);
    console_->fill_attribute(default_attr_, count, at);
  };
  auto clamp_to_buffer = [&](int cx, int cy) {
    return ConsoleCoord{std::clamp(cx, 0, w - 1), std::clamp(cy, 0, h - 1)};
  };
  const int mode = np > 0 ? int(params[0]) : 0;

  switch (final) {
    case 'm': {
      uint16_t a = ci.attribute;
      if (np == 0) a = default_attr_;
      for (int k = 0; k < np; k++) a = apply_sgr(a, params[k], default_attr_);
      console_->set_attribute(a);
      break;
    }
    case 'H':
    case 'f': {
      // Row first, both 1-based; 0 or a missing number means 1.
      int row = np > 0 ? std::max(int(params[0]), 1) : 1;
      int col = np > 1 ? std::max(int(params[1]), 1) : 1;
      console_->set_cursor(clamp_to_buffer(col - 1, row - 1));
      break;
    }
    case 'A':
    case 'B':
    case 'C':
    case 'D': {
      if (np == 0) return 0;
      int d = int(params[0]);
      ConsoleCoord at = final == 'A'   ? clamp_to_buffer(x, y - d)
                        : final == 'B' ? clamp_to_buffer(x, y + d)
                        : final == 'C' ? clamp_to_buffer(x + d, y)
                                       : clamp_to_buffer(x - d, y);
      console_->set_cursor(at);
      break;
    }
    case 's':
      saved_cursor_ = ci.cursor;
      break;
    case 'u':
      console_->set_cursor(clamp_to_buffer(saved_cursor_.x, saved_cursor_.y));
      break;
    case 'J':
      if (mode == 0) {
        erase(ci.cursor, size_t(h - y) * size_t(w) - size_t(x));
      } else if (mode == 1) {
        erase({0, 0}, size_t(y) * size_t(w));
      } else if (mode == 2) {
        erase({0, 0}, size_t(h) * size_t(w));
        console_->set_cursor({0, 0});
      }
      break;
    case 'K':
      if (mode == 0) {
        erase(ci.cursor, size_t(w - x));
      } else if (mode == 1) {
        erase({0, y}, size_t(x));
        console_->set_cursor({0, y});
      } else if (mode == 2) {
        erase({0, y}, size_t(w));
        console_->set_cursor({0, y});
      }
      break;
    case '?':
      console_info_print();
      break;
    default:
      return 0;
  }
  return consumed;
}

// The screen-buffer figures, printed as a low-level print would.
void ConsoleWriter::console_info_print() {
  ConsoleInfo ci;
  if (!console_->info(ci)) return;
  std::string s = "Screen buffer info:\r\n  size: ";
  append_int(s, ci.width);
  s += " x ";
  append_int(s, ci.height);
  s += "\r\n  cursor: ";
  append_int(s, ci.cursor.x);
  s += " x ";
  append_int(s, ci.cursor.y);
  s += "\r\n  attribute: ";
  append_hex(s, ci.attribute, 4);
  s += "h\r\n  top: ";
  append_int(s, ci.top);
  s += "\r\n  left: ";
  append_int(s, ci.left);
  s += "\r\n  bottom: ";
  append_int(s, ci.bottom);
  s += "\r\n  right: ";
  append_int(s, ci.right);
  s += "\r\n  max: ";
  append_int(s, ci.max_width);
  s += " x ";
  append_int(s, ci.max_height);
  s += "\r\n";
  console_units<uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size(), false);
  dyn_print_call_text_hooks(s.data(), s.size(), 0);
}

void ConsoleWriter::stage_unit(char16_t u) {
  // Never split a surrogate pair between two device writes.
  if (u >= 0xD800 && u <= 0xDBFF && nunits_ + 1 >= CONSOLE_CHUNK) flush_units();
  units_[nunits_++] = u;
  if (nunits_ >= CONSOLE_CHUNK) flush_units();
}

void ConsoleWriter::flush_units() {
  if (nunits_ == 0) return;
  console_->write_units(units_, nunits_);
  nunits_ = 0;
}

void ConsoleWriter::flush_pending_literally() {
  if (npending_ == 0) return;
  for (size_t i = 0; i < npending_; i++) stage_unit(pending_[i]);
  npending_ = 0;
  flush_units();
}

// Byte mode: every character as UTF-8, escapes included.
void ConsoleWriter::byte_units(const uint8_t* text, size_t n, int unit, bool newline) {
  for (size_t i = 0; i < n; i++) {
    uint32_t cp;
    if (unit == 1) {
      cp = text[i];
    } else if (unit == 2) {
      cp = load<char16_t>(text, i);
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n) {
        uint32_t lo = load<char16_t>(text, i + 1);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          i++;
        }
      }
    } else {
      cp = load<uint32_t>(text, i);
    }
    stage_code_point(cp);  // lone surrogates and out-of-range values become U+FFFD
  }
  if (newline) stage_bytes(BYTE_NEWLINE, std::strlen(BYTE_NEWLINE));
  flush_bytes();
}

void ConsoleWriter::stage_code_point(uint32_t cp) {
  nbytes_ += encode_utf8(cp, bytes_ + nbytes_);
  if (nbytes_ > BYTE_FLUSH) flush_bytes();
}

void ConsoleWriter::stage_bytes(const char* bytes, size_t n) {
  for (size_t i = 0; i < n; i++) {
    bytes_[nbytes_++] = bytes[i];
    if (nbytes_ > BYTE_FLUSH) flush_bytes();
  }
}

void ConsoleWriter::flush_bytes() {
  if (nbytes_ == 0) return;
  sink_(sink_ctx_, bytes_, nbytes_);
  nbytes_ = 0;
}

// --- standard output ----------------------------------------------------------

namespace {
void stdout_sink(void*, const char* bytes, size_t n) { platform::write_stream(platform::Stream::Out, bytes, n); }
}  // namespace

ConsoleWriter& stdout_writer() {
  static ConsoleWriter writer(nullptr, stdout_sink, nullptr);
  return writer;
}

void console_init() {
  stdout_writer() = ConsoleWriter(platform::stdout_console(), stdout_sink, nullptr);
  stdout_writer().save_default_attributes();
}

void console_write(const void* text, size_t size_in_bytes, int unit, bool newline) {
  stdout_writer().write(text, size_in_bytes, unit, newline);
}

// --- low-level prints -------------------------------------------------------

void print_utf8(const char* text, size_t n) {
  if (!text) return;
  stdout_writer().write_utf8(text, n, false);
  dyn_print_call_text_hooks(text, n, 0);
}

void print_cstring(const char* text) {
  if (text) print_utf8(text, std::strlen(text));
}

void print_integer(int32_t value) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  print_utf8(buf, size_t(r.ptr - buf));
}

void print_hex2(uint8_t value) {
  std::string s;
  append_hex(s, value, 2);
  print_utf8(s.data(), s.size());
}

void print_hex8(uint32_t value) {
  std::string s;
  append_hex(s, value, 8);
  print_utf8(s.data(), s.size());
}

// "%.Ng" through to_chars: the same digits on both builds, whatever the C
// library's printf does.
void print_float(double value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 16);
  print_utf8(buf, size_t(r.ptr - buf));
}

void print_float32(float value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, double(value), std::chars_format::general, 7);
  print_utf8(buf, size_t(r.ptr - buf));
}

}  // namespace vel
