// The lexer's token kinds: one routine per kind in one table (kKinds at the
// end). Kinds 66-78 are structural and have scanners in lexer.cpp; kinds
// 79-101 have loaders here, which check their token (build false) or build
// its value and push it.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/context.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/percent.h"
#include "datatypes/point.h"
#include "datatypes/tuple.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "floattext.h"
#include "io/lexer_internal.h"
#include "numscan.h"
#include "unicode.h"

namespace vel::lexer {

namespace {

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
inline int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
inline uint8_t lower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }

bool equal_nocase(const uint8_t* s, size_t n, const char* word) {
  size_t m = std::strlen(word);
  if (n != m) return false;
  for (size_t i = 0; i < n; i++)
    if (lower(s[i]) != uint8_t(word[i])) return false;
  return true;
}

// Sets the token's end (a loader that finds its own end), keeping the line
// count in step with what the automaton counted.
void set_token_end(Lexer& L, const uint8_t* e) {
  Token& t = L.tok;
  int32_t d = 0;
  if (e > t.end) {
    for (const uint8_t* p = t.end; p < e; p++) d += *p == '\n';
  } else {
    for (const uint8_t* p = e; p < t.end; p++) d -= *p == '\n';
  }
  L.line += d;
  t.lines += d;
  t.end = e;
}

}  // namespace

// --- text ----------------------------------------------------------------------------------

uint32_t extra_space_at(const uint8_t* p, const uint8_t* end) {
  if (p[0] == 0xC2 && p + 1 < end) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if (p + 2 >= end || (p[0] != 0xE1 && p[0] != 0xE2 && p[0] != 0xE3)) return 0;
  uint32_t cp = (uint32_t(p[0] & 0x0F) << 12) | (uint32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
  if ((p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return 0;
  bool space = cp == 0x1680 || cp == 0x180E || (cp >= 0x2000 && cp <= 0x200B) || cp == 0x2028 || cp == 0x2029 ||
               cp == 0x202F || cp == 0x205F || cp == 0x3000;
  return space ? 3 : 0;
}

const uint8_t* decode_escape(const uint8_t* p, const uint8_t* e, uint32_t* cp) {
  if (p >= e) return nullptr;
  uint8_t c = *p;
  if (c == '(') {
    const uint8_t* q = p + 1;
    const uint8_t* r = q;
    while (r < e && *r != ')' && r - q <= 8) r++;
    if (r >= e || *r != ')' || r == q) return nullptr;
    size_t n = size_t(r - q);
    bool hex = true;
    uint32_t v = 0;
    for (size_t i = 0; i < n; i++) {
      int h = hex_value(q[i]);
      if (h < 0) {
        hex = false;
        break;
      }
      v = v * 16 + uint32_t(h);
    }
    if (hex) {
      if (n > 6 || v > MAX_CODE_POINT) return nullptr;
      *cp = v;
      return r + 1;
    }
    static constexpr struct {
      const char* name;
      uint32_t code;
    } kNames[] = {{"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127}};
    for (const auto& nm : kNames) {
      if (equal_nocase(q, n, nm.name)) {
        *cp = nm.code;
        return r + 1;
      }
    }
    return nullptr;
  }
  switch (c) {
    case '"': *cp = '"'; return p + 1;
    case '-': *cp = 9; return p + 1;
    case '/': *cp = 10; return p + 1;
    case '@': *cp = 0; return p + 1;
    case '^': *cp = '^'; return p + 1;
    case '{': *cp = '{'; return p + 1;
    case '}': *cp = '}'; return p + 1;
    case '~': *cp = 0x7F; return p + 1;
    default: break;
  }
  if (c >= 'a' && c <= 'z') {
    *cp = uint32_t(c - 'a' + 1);
    return p + 1;
  }
  if (c >= 65 && c <= 95) {
    *cp = uint32_t(c - 64);
    return p + 1;
  }
  if (c < 0x80) {
    *cp = c;
    return p + 1;
  }
  uint32_t len = 0;
  int32_t v = decode_utf8_checked(p, size_t(e - p), &len);
  if (v < 0) return nullptr;
  *cp = uint32_t(v);
  return p + len;
}

namespace {

// Decoded characters of the text being built; reused.
std::vector<uint32_t> g_chars;

// Decodes UTF-8 text [s, e) (with "^" escapes when `escapes`) into g_chars;
// answers the largest code point, or -1 when the text is malformed.
int64_t decode_text(const uint8_t* s, const uint8_t* e, bool escapes) {
  g_chars.clear();
  uint32_t max = 0;
  for (const uint8_t* p = s; p < e;) {
    uint32_t cp;
    uint8_t b = *p;
    if (b < 0x80) {
      if (escapes && b == '^') {
        p = decode_escape(p + 1, e, &cp);
        if (!p) return -1;
      } else {
        cp = b;
        p++;
      }
    } else {
      uint32_t len = 0;
      int32_t v = decode_utf8_checked(p, size_t(e - p), &len);
      if (v < 0) return -1;
      cp = uint32_t(v);
      p += len;
    }
    g_chars.push_back(cp);
    if (cp > max) max = cp;
  }
  return max;
}

// Pushes a series of `type` holding g_chars, at the narrowest unit.
may_gc void push_chars(Lexer& L, TypeId type) {
  uint32_t max = 0;
  for (uint32_t c : g_chars) max = c > max ? c : max;
  uint32_t unit = unit_for_cp(max);
  NodeId node = alloc_series_unit(g_chars.size(), unit);
  Buffer* b = node_buffer(node);
  uint8_t* d = b->data();
  for (size_t i = 0; i < g_chars.size(); i++) put_char(d + i * unit, unit, g_chars[i]);
  b->tail = b->head + uint32_t(g_chars.size() * unit);
  push_value(L, series_cell(type, node));
}

// Checks, and when building pushes, a series of `type` (string! or a type
// sharing its cell) holding the text [s, e).
may_gc void load_text(Lexer& L, const uint8_t* s, const uint8_t* e, bool escapes, TypeId type, bool build) {
  size_t n = size_t(e - s);
  bool plain = true;
  for (size_t i = 0; i < n && plain; i++) plain = s[i] < 0x80 && !(escapes && s[i] == '^');
  if (plain) {
    if (!build) return;
    NodeId node = alloc_series_unit(n, 1);
    Buffer* b = node_buffer(node);
    std::memcpy(b->data(), s, n);
    b->tail = b->head + uint32_t(n);
    push_value(L, series_cell(type, node));
    return;
  }
  if (decode_text(s, e, escapes) < 0) fail(L, ErrId::INVALID, type, L.tok.start);
  if (build) push_chars(L, type);
}

// As load_text without "^" escapes, "%XX" escapes decoded (file! and url!
// tokens); with strict, a "%" that starts no escape is an error.
may_gc void load_percent_text(Lexer& L, const uint8_t* s, const uint8_t* e, bool strict, TypeId type, bool build) {
  if (!std::memchr(s, '%', size_t(e - s))) {
    load_text(L, s, e, false, type, build);
    return;
  }
  g_chars.clear();
  if (url::decode_bytes(s, e, strict, &g_chars) != url::Decoded::OK) fail(L, ErrId::INVALID, type, L.tok.start);
  if (build) push_chars(L, type);
}

// #{...} with an optional base (2, 16 or 64) before the "#"; the digits are
// checked whether or not the value is built.
may_gc void load_binary(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_BINARY;
  const uint8_t* hash = t.start;
  uint32_t base = 0;
  while (hash < t.end && is_digit(*hash) && base < 1000) base = base * 10 + uint32_t(*hash++ - '0');
  if (hash == t.start) base = 16;
  // The automaton ends the token with "}" after "#{".
  const uint8_t* s = hash + 2;
  const uint8_t* e = t.end - 1;
  std::string bytes;
  bool ok = false;
  uint32_t n = uint32_t(e - s);
  switch (base) {
    case 2: ok = binary::decode_2(s, n, 1, &bytes); break;
    case 16: ok = binary::decode_16(s, n, 1, &bytes); break;
    case 64: ok = binary::decode_64(s, n, 1, &bytes); break;
    default: break;
  }
  if (!ok) fail_invalid(L, TYPE_BINARY);
  if (build) push_value(L, binary::load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

// [-][CCC]$digits[.digits]: at most 17 integral digits after leading zeros
// and 1 to 5 decimals; the code must be a known currency.
may_gc void load_money(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_MONEY;
  numscan::MoneyText m;
  const uint8_t* dollar = t.start;
  while (dollar < t.end && *dollar != '$') dollar++;
  if (dollar == t.end || numscan::scan_money(t.start, uint32_t(t.end - t.start), 1, &m) != 0) fail_invalid(L, TYPE_MONEY);
  if (m.digits.size() > size_t(money::INT_DIGITS) || m.fraction.size() > size_t(money::FRAC_DIGITS))
    fail_invalid(L, TYPE_MONEY);
  Cell c;
  if (!money::make_at(&c, m.negative, m.code, m.digits, m.fraction)) fail_invalid(L, TYPE_MONEY);
  if (build) push_value(L, c);
}

// --- issues, files, URLs, e-mails, references and tags ----------------------------------------

may_gc void load_issue(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_ISSUE;
  const uint8_t* s = t.start + 1;
  for (const uint8_t* p = s; p < t.end;) {
    uint32_t len = 1;
    if (*p >= 0x80 && decode_utf8_checked(p, size_t(t.end - p), &len) < 0) fail_invalid(L, TYPE_ISSUE);
    p += len;
  }
  if (!build) return;
  push_value(L, word::make(TYPE_ISSUE, context::g_global,
                           symbol::make(std::string_view(reinterpret_cast<const char*>(s), size_t(t.end - s))), -1));
}

// %name: "%XX" escapes decoded; a "%" that starts none is an error.
// %"name": "^" escapes as in a string, no "%XX" decoding.
may_gc void load_file(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_FILE;
  if (t.end - t.start >= 3 && t.start[1] == '"' && t.end[-1] == '"')
    load_text(L, t.start + 2, t.end - 1, true, TYPE_FILE, build);
  else
    load_percent_text(L, t.start + 1, t.end, true, TYPE_FILE, build);
}

// scheme:rest, with "%XX" escapes decoded. A URL needs more after its
// scheme than slashes ("http://" names nothing).
may_gc void load_url(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_URL;
  const uint8_t* colon = static_cast<const uint8_t*>(std::memchr(t.start, ':', size_t(t.end - t.start)));
  const uint8_t* p = colon ? colon + 1 : t.end;
  while (p < t.end && *p == '/') p++;
  if (p == t.end) fail_invalid(L, TYPE_URL);
  load_percent_text(L, t.start, t.end, false, TYPE_URL, build);
}

// user@host: text on both sides of the "@".
may_gc void load_email(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_EMAIL;
  const uint8_t* at = static_cast<const uint8_t*>(std::memchr(t.start, '@', size_t(t.end - t.start)));
  if (!at || at == t.start || at + 1 == t.end) fail_invalid(L, TYPE_EMAIL);
  load_text(L, t.start, t.end, false, TYPE_EMAIL, build);
}

// @name: the name without the "@", not empty.
may_gc void load_ref(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_REF;
  if (t.end - t.start < 2) fail_invalid(L, TYPE_REF);
  load_text(L, t.start + 1, t.end, false, TYPE_REF, build);
}

// <text>: stored without the brackets.
may_gc void load_tag(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_TAG;
  load_text(L, t.start + 1, t.end - 1, false, TYPE_TAG, build);
}

// --- words -----------------------------------------------------------------------------------

// Word cells by text, so that a word met again skips interning. Words are
// never removed from the global context and keep their index, so a cached
// cell stays right for good.
struct WordCache {
  struct Slot {
    uint32_t hash = 0;
    uint32_t offset = 0;
    uint32_t length = 0;  // 0: empty
    Cell word{};
  };
  std::vector<Slot> slots = std::vector<Slot>(1024);
  std::string text;
  uint32_t used = 0;

  static uint32_t hash_of(const uint8_t* s, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; i++) h = (h ^ s[i]) * 16777619u;
    return h | 1;
  }

  Slot* find(const uint8_t* s, uint32_t n, uint32_t h) {
    size_t mask = slots.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      Slot& sl = slots[i];
      if (!sl.length) return &sl;
      if (sl.hash == h && sl.length == n && std::memcmp(text.data() + sl.offset, s, n) == 0) return &sl;
    }
  }

  void add(Slot* sl, const uint8_t* s, uint32_t n, uint32_t h, const Cell& w) {
    // Bounded: a source with very many distinct words starts afresh.
    if (used >= (1u << 18) || text.size() > (16u << 20)) {
      slots.assign(1024, Slot{});
      text.clear();
      used = 0;
      sl = find(s, n, h);
    }
    sl->hash = h;
    sl->offset = uint32_t(text.size());
    sl->length = n;
    sl->word = w;
    text.append(reinterpret_cast<const char*>(s), n);
    if (++used * 2 > slots.size()) grow();
  }

  void grow() {
    std::vector<Slot> old(slots.size() * 2);
    old.swap(slots);
    for (const Slot& sl : old) {
      if (!sl.length) continue;
      *find(reinterpret_cast<const uint8_t*>(text.data() + sl.offset), sl.length, sl.hash) = sl;
    }
  }
};
WordCache g_word_cache;

may_gc Cell global_word(const uint8_t* s, size_t n) {
  uint32_t h = WordCache::hash_of(s, n);
  WordCache::Slot* sl = g_word_cache.find(s, uint32_t(n), h);
  if (sl->length) return sl->word;
  Cell w = word::load(std::string_view(reinterpret_cast<const char*>(s), n));
  // The load may have run a nested scan that used the cache.
  g_word_cache.add(g_word_cache.find(s, uint32_t(n), h), s, uint32_t(n), h, w);
  return w;
}

// A word's name: non-empty, no ":" (the forms are taken off already), "%"
// only alone, no ","; not a number (refinements may be digits); well-formed
// UTF-8.
void check_name(Lexer& L, const uint8_t* a, const uint8_t* b, TypeId type) {
  if (a == b) fail(L, ErrId::INVALID, type, L.tok.start);
  bool wide = false;
  for (const uint8_t* p = a; p < b; p++) {
    uint8_t c = *p;
    if (c == ':' || c == ',' || (c == '%' && b - a > 1)) fail(L, ErrId::INVALID, type, L.tok.start);
    wide |= c >= 0x80;
  }
  uint8_t c0 = a[0];
  bool numeric = is_digit(c0) ||
                 ((c0 == '+' || c0 == '-' || c0 == '.') && b - a > 1 &&
                  (is_digit(a[1]) || (c0 != '.' && a[1] == '.' && b - a > 2 && is_digit(a[2]))));
  if (numeric && type != TYPE_REFINEMENT) fail(L, ErrId::INVALID, type, L.tok.start);
  if (wide) {
    for (const uint8_t* p = a; p < b;) {
      if (*p < 0x80) {
        p++;
        continue;
      }
      uint32_t len = 0;
      if (decode_utf8_checked(p, size_t(b - p), &len) < 0) fail(L, ErrId::BAD_CHAR, TYPE_NONE_ID, p);
      p += len;
    }
  }
}

}  // namespace

// Words of all forms: 'a lit-word, :a get-word, a: set-word.
may_gc void load_word_text(Lexer& L, const uint8_t* s, const uint8_t* e, bool build) {
  TypeId type = TYPE_WORD;
  const uint8_t* a = s;
  const uint8_t* b = e;
  if (a < b && *a == '\'') {
    type = TYPE_LIT_WORD;
    a++;
  } else if (a < b && *a == ':') {
    type = TYPE_GET_WORD;
    a++;
  }
  if (b > a && b[-1] == ':') {
    if (type != TYPE_WORD) fail(L, ErrId::INVALID, type, L.tok.start);
    type = TYPE_SET_WORD;
    b--;
  }
  L.tok.type = type;
  check_name(L, a, b, type);
  if (!build) return;
  Cell w = global_word(a, size_t(b - a));
  w.set_type(type);
  push_value(L, w);
}

namespace {

may_gc void load_word(Lexer& L, bool build) {
  // A comma ends a word only when a delimiter follows it: "x,y" is one bad word.
  const uint8_t* e = L.tok.end;
  if (e + 1 < L.end && *e == ',') {
    uint32_t c = class_of(e[1]);
    bool delimiter = c <= C_LF || (c >= 4 && c <= 10) || c == 28 || c == C_CTRL;
    if (!delimiter) fail(L, ErrId::INVALID, TYPE_WORD, L.tok.start);
  }
  load_word_text(L, L.tok.start, L.tok.end, build);
}

may_gc void load_refinement(Lexer& L, bool build) {
  const uint8_t* s = L.tok.start;
  L.tok.type = TYPE_REFINEMENT;
  if (*s != '/') fail(L, ErrId::INVALID, TYPE_REFINEMENT, s);
  check_name(L, s + 1, L.tok.end, TYPE_REFINEMENT);
  if (!build) return;
  push_value(L, word::load_refinement(std::string_view(reinterpret_cast<const char*>(s + 1), size_t(L.tok.end - s - 1))));
}

// --- strings and characters ---------------------------------------------------------------

may_gc void load_string(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_STRING;
  if (*t.start == '%') {  // %"..." is a file
    load_file(L, build);
    return;
  }
  load_text(L, t.start + 1, t.end - 1, true, TYPE_STRING, build);
}

// %{...}%, %%{...}%%: the text stands as written up to the first "}" that
// is followed by as many "%" as opened it.
may_gc void load_raw_string(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_STRING;
  const uint8_t* s = t.start;
  size_t n = 0;
  while (s + n < L.end && s[n] == '%') n++;
  const uint8_t* body = s + n + 1;
  const uint8_t* close = nullptr;
  for (const uint8_t* p = body; p < L.end; p++) {
    if (*p != '}' || size_t(L.end - p - 1) < n) continue;
    size_t k = 0;
    while (k < n && p[1 + k] == '%') k++;
    if (k == n) {
      close = p;
      break;
    }
  }
  if (!close) fail(L, ErrId::INVALID, TYPE_STRING, t.start);
  set_token_end(L, close + 1 + n);
  if (t.end < L.end && *t.end == '%') fail(L, ErrId::INVALID, TYPE_STRING, t.start);
  if (!L.build && L.cb) {
    // A scan that builds nothing still shows where the text opens and closes.
    (void)send(L, Event::OPEN, datatype_cell(TYPE_STRING), token_pair(L), true);
    (void)send(L, Event::CLOSE, datatype_cell(TYPE_STRING), token_pair(L), false);
  }
  load_text(L, body, close, false, TYPE_STRING, build);
}

may_gc void load_char(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_CHAR;
  const uint8_t* s = t.start + 2;  // after #"
  const uint8_t* e = t.end - 1;    // before the closing quote
  uint32_t cp = 0;
  const uint8_t* after = nullptr;
  if (s < e) {
    if (*s == '^') {
      after = decode_escape(s + 1, e, &cp);
    } else if (*s < 0x80) {
      cp = *s;
      after = s + 1;
    } else {
      uint32_t len = 0;
      int32_t v = decode_utf8_checked(s, size_t(e - s), &len);
      if (v >= 0) {
        cp = uint32_t(v);
        after = s + len;
      }
    }
  }
  if (!after || after != e) fail(L, ErrId::INVALID, TYPE_CHAR, t.start);
  if (build) push_value(L, char_cell(cp));
}

// --- numbers ---------------------------------------------------------------------------------

may_gc void load_float(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_FLOAT;
  size_t n = size_t(t.end - t.start);
  // A literal too large for a float reads as an infinity.
  double d;
  if (!numscan::float_text(reinterpret_cast<const char*>(t.start), n, &d)) fail(L, ErrId::INVALID, TYPE_FLOAT, t.start);
  if (build) push_value(L, float_cell(d));
}

// "12.5%": an integer or decimal checked as a float, divided by 100.
may_gc void load_percent(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_PERCENT;
  size_t n = size_t(t.end - t.start);
  if (n < 2 || t.end[-1] != '%') fail_invalid(L, TYPE_PERCENT);
  n--;
  double d;
  if (!numscan::float_text(reinterpret_cast<const char*>(t.start), n, &d) || !std::isfinite(d))
    fail_invalid(L, TYPE_PERCENT);
  if (build) push_value(L, percent_cell(d / 100.0));
}

// Digits with single ' separators between digits; beyond 32 bits the token
// is read as a float, except -2147483648.
may_gc void load_integer(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_INTEGER;
  const uint8_t* p = t.start;
  const uint8_t* e = t.end;
  if (e - p == 1 && is_digit(*p)) {
    if (build) push_value(L, integer_cell(*p - '0'));
    return;
  }
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  uint64_t v = 0;
  bool big = false;
  int digits = 0;
  for (const uint8_t* q = p; q < e; q++) {
    if (*q == '\'') {
      if (q == p || !is_digit(q[-1]) || q + 1 >= e || !is_digit(q[1])) fail(L, ErrId::INVALID, TYPE_INTEGER, t.start);
      continue;
    }
    if (!is_digit(*q)) fail(L, ErrId::INVALID, TYPE_INTEGER, t.start);
    digits++;
    if (!big) {
      v = v * 10 + uint64_t(*q - '0');
      big = v > 0xFFFFFFFFull;
    }
  }
  if (!digits) fail(L, ErrId::INVALID, TYPE_INTEGER, t.start);
  if (big || v > (neg ? 0x80000000ull : 0x7FFFFFFFull)) {
    load_float(L, build);
    return;
  }
  if (build) push_value(L, integer_cell(neg ? int32_t(-int64_t(v)) : int32_t(v)));
}

// One integer of a pair: sign, digits, single ' separators between digits;
// false when malformed or beyond 32 bits.
bool pair_component(const uint8_t* p, const uint8_t* e, int32_t* out) {
  bool neg = false;
  if (p < e && (*p == '+' || *p == '-')) neg = *p++ == '-';
  int64_t v = 0;
  int digits = 0;
  for (const uint8_t* q = p; q < e; q++) {
    if (*q == '\'') {
      if (q == p || !is_digit(q[-1]) || q + 1 >= e || !is_digit(q[1])) return false;
      continue;
    }
    if (!is_digit(*q)) return false;
    digits++;
    v = v * 10 + (*q - '0');
    if (v > 0x80000000ll) return false;
  }
  if (!digits || v > (neg ? 0x80000000ll : 0x7FFFFFFFll)) return false;
  *out = int32_t(neg ? -v : v);
  return true;
}

// "1.2.3": 3 to 12 numbers 0-255 joined by single dots.
may_gc void load_tuple(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_TUPLE;
  uint8_t bytes[TUPLE_MAX] = {};
  int n = 0;
  const uint8_t* p = t.start;
  for (;;) {
    int v = 0, digits = 0;
    for (; p < t.end && is_digit(*p); p++, digits++) {
      v = v * 10 + (*p - '0');
      if (v > 255) fail_invalid(L, TYPE_TUPLE);
    }
    if (!digits || n == TUPLE_MAX) fail_invalid(L, TYPE_TUPLE);
    bytes[n++] = uint8_t(v);
    if (p == t.end) break;
    if (*p++ != '.') fail_invalid(L, TYPE_TUPLE);
  }
  if (n < TUPLE_MIN) fail_invalid(L, TYPE_TUPLE);
  if (build) push_value(L, tuple_from_bytes(n, bytes));
}

// "1x2": two integers around x or X.
may_gc void load_pair(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_PAIR;
  const uint8_t* x = t.start;
  if (x < t.end && (*x == '+' || *x == '-')) x++;
  while (x < t.end && *x != 'x' && *x != 'X') x++;
  int32_t a, b;
  if (x >= t.end || !pair_component(t.start, x, &a) || !pair_component(x + 1, t.end, &b)) fail_invalid(L, TYPE_PAIR);
  if (build) push_value(L, pair_cell(a, b));
}

// One coordinate of a point literal, over [s, e) without blanks.
bool point_coordinate(const uint8_t* s, const uint8_t* e, double* out) {
  size_t n = size_t(e - s);
  if (!n || n > numscan::FLOAT_TEXT_LIMIT) return false;
  if (std::memchr(s, '#', n)) {
    const uint8_t* p = s;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    if (e - p != 6 || p[0] != '1' || p[1] != '.' || p[2] != '#') return false;
    if (equal_nocase(p + 3, 3, "nan"))
      *out = std::nan("");
    else if (equal_nocase(p + 3, 3, "inf"))
      *out = neg ? -HUGE_VAL : HUGE_VAL;
    else
      return false;
    return true;
  }
  size_t rest = 0;
  *out = string_to_float(reinterpret_cast<const char*>(s), reinterpret_cast<const char*>(e), 0, &rest);
  return rest == 0;
}

// "(x, y)" or "(x, y, z)" on one line, from its "(" to its ")".
may_gc void load_point(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_POINT2D;
  const uint8_t* p = t.start;
  const uint8_t* e = t.end;
  if (p < e && *p == '(') p++;
  auto blank = [](uint8_t c) { return c == ' ' || c == '\t'; };
  double v[3] = {0, 0, 0};
  int n = 0;
  for (;;) {
    while (p < e && blank(*p)) p++;
    const uint8_t* s = p;
    while (p < e && *p != ',' && *p != ')' && !blank(*p)) p++;
    if (size_t(p - s) > numscan::FLOAT_TEXT_LIMIT) fail_invalid(L, TYPE_FLOAT);
    if (!point_coordinate(s, p, &v[n])) fail_invalid(L, n == 2 ? TYPE_POINT3D : TYPE_POINT2D);
    n++;
    while (p < e && blank(*p)) p++;
    if (p < e && *p == ',' && n < 3) {
      p++;
      continue;
    }
    if (n == 1 || p >= e || *p != ')' || p + 1 != e) fail_invalid(L, n == 3 ? TYPE_POINT3D : TYPE_POINT2D);
    break;
  }
  if (n == 3) t.type = TYPE_POINT3D;
  if (!build) return;
  if (n == 3)
    push_value(L, point3D_cell(to_f32(v[0]), to_f32(v[1]), to_f32(v[2])));
  else
    push_value(L, point2D_cell(to_f32(v[0]), to_f32(v[1])));
}

// "1.#NaN", "1.#INF", "-1.#INF" in any case.
may_gc void load_nan_inf(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_FLOAT;
  const uint8_t* p = t.start;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  size_t n = size_t(t.end - p);
  if (n != 6 || p[0] != '1' || p[1] != '.' || p[2] != '#') fail(L, ErrId::INVALID, TYPE_FLOAT, t.start);
  double d;
  if (equal_nocase(p + 3, 3, "nan"))
    d = std::nan("");
  else if (equal_nocase(p + 3, 3, "inf"))
    d = neg ? -HUGE_VAL : HUGE_VAL;
  else
    fail(L, ErrId::INVALID, TYPE_FLOAT, t.start);
  if (build) push_value(L, float_cell(d));
}

// "FFh": 2 to 8 digits 0-9 and A-F, then h; an unsigned 32-bit value.
may_gc void load_hex(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_INTEGER;
  const uint8_t* s = t.start;
  size_t n = size_t(t.end - s) - 1;  // without the h
  if (n == 1 && !is_digit(*s)) fail(L, ErrId::INVALID, TYPE_WORD, s);
  uint32_t v = 0;
  bool ok = n >= 2 && n <= 8;
  for (size_t i = 0; i < n && ok; i++) {
    uint8_t c = s[i];
    ok = is_digit(c) || (c >= 'A' && c <= 'F');
    v = (v << 4) | uint32_t(hex_value(c) & 15);
  }
  if (!ok) fail(L, ErrId::INVALID, TYPE_INTEGER, s);
  if (build) push_value(L, integer_cell(int32_t(v)));
}

}  // namespace

// --- braced strings and constructions (called by lexer.cpp) ------------------------------------

may_gc void load_braced_string(Lexer& L, bool build) {
  L.tok.type = TYPE_STRING;
  load_text(L, L.tok.start + 1, L.tok.end - 1, true, TYPE_STRING, build);
}

// #(...): true, false, none, unset, or the first datatype in id order whose
// name begins with the text; case is ignored.
void scan_construct(Lexer& L) {
  Token& t = L.tok;
  L.pos = t.end;
  const uint8_t* s = t.start + 2;
  const uint8_t* e = t.end - 1;
  size_t n = size_t(e - s);
  Cell v{};
  if (equal_nocase(s, n, "true")) {
    v = logic_cell(true);
  } else if (equal_nocase(s, n, "false")) {
    v = logic_cell(false);
  } else if (equal_nocase(s, n, "none")) {
    v = none_cell();
  } else if (equal_nocase(s, n, "unset")) {
    v = unset_cell();
  } else if (n > 0) {
    static constexpr const char* kNames[] = {
#define VEL_X(id, cname, name, parent, families) name,
        VEL_DATATYPES(VEL_X)
#undef VEL_X
    };
    for (int i = 0; i < int(sizeof kNames / sizeof kNames[0]) && !v.header; i++) {
      size_t m = std::strlen(kNames[i]);
      bool prefix = n <= m;
      for (size_t k = 0; k < n && prefix; k++) prefix = lower(s[k]) == lower(uint8_t(kNames[i][k]));
      if (prefix) v = datatype_cell(TypeId(i + 1));
    }
  }
  if (!v.header) fail(L, ErrId::MALCONSTRUCT, TYPE_NONE_ID, t.start);
  L.last_type = v.type();
  L.typed = true;
  if (L.build) push_value(L, v);
}

// --- the kind table ----------------------------------------------------------------------------

const KindInfo kKinds[KIND_COUNT] = {
    {"end", scan_end, nullptr},                      // 66
    {"error", scan_error, nullptr},                  // 67
    {"block-open", scan_block_open, nullptr},        // 68 [
    {"block-close", scan_block_close, nullptr},      // 69 ]
    {"paren-open", scan_paren_open, nullptr},        // 70 (
    {"paren-close", scan_paren_close, nullptr},      // 71 )
    {"brace-open", scan_brace_open, nullptr},        // 72 {
    {"brace-close", scan_brace_close, nullptr},      // 73 } in a braced string
    {"map-open", scan_map_open, nullptr},            // 74 #[
    {"path-start", scan_path_start, nullptr},        // 75 word/
    {"construct", scan_construct, nullptr},          // 76 #(...)
    {"comment", scan_comment, nullptr},              // 77 ;
    {"comma", scan_comma, nullptr},                  // 78 ,
    {"string", nullptr, load_string},                // 79 "..."
    {"word", nullptr, load_word},                    // 80
    {"issue", nullptr, load_issue},      // 81 #name
    {"integer", nullptr, load_integer},              // 82
    {"refinement", nullptr, load_refinement},        // 83 /name
    {"char", nullptr, load_char},                    // 84 #"c"
    {"file", nullptr, load_file},        // 85 %name
    {"binary", nullptr, load_binary},                 // 86 #{...}
    {"percent", nullptr, load_percent},              // 87 n%
    {"float", nullptr, load_float},                  // 88
    {"nan-inf", nullptr, load_nan_inf},              // 89 1.#NaN 1.#INF
    {"tuple", nullptr, load_tuple},                  // 90 1.2.3
    {"date", nullptr, load_date},                    // 91
    {"pair", nullptr, load_pair},                    // 92 1x2
    {"point", nullptr, load_point},                  // 93 (x, y[, z])
    {"time", nullptr, load_time},                    // 94 1:30
    {"money", nullptr, load_money},                   // 95 $1
    {"tag", nullptr, load_tag},          // 96 <tag>
    {"url", nullptr, load_url},          // 97 scheme:rest
    {"email", nullptr, load_email},      // 98 a@b
    {"hex", nullptr, load_hex},                      // 99 FFh
    {"raw-string", nullptr, load_raw_string},        // 100 %{...}%
    {"ref", nullptr, load_ref},          // 101 @name
};

}  // namespace vel::lexer
