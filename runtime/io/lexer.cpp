// The lexer core: the token loop over the automaton, open and close of
// series on the value stack, the structural tokens, events and errors.
#include "families.h"
#include "io/lexer.h"

#include <cstdio>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "datatypes/map.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "io/lexer_internal.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel::lexer {

ValueStack g_values;
Lexer* g_active = nullptr;

namespace {

// A callback that keeps moving the input backwards gets this many rewinds
// (plus one per input byte) before the scan fails instead of looping.
constexpr uint64_t REWIND_ALLOWANCE = 100000;

// Bytes of the UTF-8 sequence starting at p (1 for anything malformed).
inline uint32_t seq_len(const uint8_t* p, const uint8_t* end) {
  uint32_t n = utf8_lead_length(p[0]);
  if (n < 2 || p + n > end) return 1;
  for (uint32_t i = 1; i < n; i++)
    if ((p[i] & 0xC0) != 0x80) return 1;
  return n;
}

}  // namespace

// --- state -------------------------------------------------------------------------------

Lexer::Lexer(const uint8_t* text, size_t len, const ScanOptions& o)
    : parent(g_active),
      begin(text),
      end(text + len),
      pos(text),
      mode(o.mode),
      build(o.mode == Mode::LOAD || o.mode == Mode::ONE),
      block_always(o.block_always),
      line(o.first_line),
      cb(o.callback && o.callback->fn ? o.callback : nullptr),
      filter(cb ? cb->filter : 0),
      input(o.input.type() ? o.input : none_cell()),
      char_positions(o.char_positions),
      cache_at(text),
      into(o.into) {
  if (!parent) {
    stack_root.emplace(g_values.cells.data(), g_values.cells.size());
    g_values.root = &*stack_root;
  }
  base = g_values.top();
  g_active = this;
}

Lexer::~Lexer() {
  g_values.truncate(base);
  g_active = parent;
  if (!parent) {
    g_values.root = nullptr;
    stack_root.reset();
  }
}

void push_value(Lexer& L, Cell v) {
  if (L.tok.lines > 0) v.header |= CELL_NEW_LINE;
  g_values.push(v);
}

// --- positions and events ------------------------------------------------------------

namespace {

// Input units (bytes, or characters for a string input) before p.
uint64_t units_at(Lexer& L, const uint8_t* p) {
  if (p > L.end) p = L.end;
  if (!L.char_positions) return uint64_t(p - L.begin);
  // Counted from the last conversion, so that a sequential scan stays linear.
  const uint8_t* q = L.cache_at;
  uint64_t n = L.cache_units;
  if (p >= q) {
    for (; q < p; q++) n += (*q & 0xC0) != 0x80;
  } else {
    for (; q > p; q--) n -= (q[-1] & 0xC0) != 0x80;
  }
  L.cache_at = p;
  L.cache_units = n;
  return n;
}

// The address of input unit u, clamped to the input.
const uint8_t* address_of(Lexer& L, uint64_t u) {
  if (!L.char_positions) return u >= uint64_t(L.end - L.begin) ? L.end : L.begin + u;
  const uint8_t* q = L.cache_at;
  uint64_t n = L.cache_units;
  while (n < u && q < L.end) {
    q++;
    while (q < L.end && (*q & 0xC0) == 0x80) q++;
    n++;
  }
  while (n > u && q > L.begin) {
    q--;
    while (q > L.begin && (*q & 0xC0) == 0x80) q--;
    n--;
  }
  L.cache_at = q;
  L.cache_units = n;
  return q;
}

}  // namespace

Cell token_pair(Lexer& L) {
  uint64_t a = units_at(L, L.tok.start) + 1;
  uint64_t b = units_at(L, L.tok.end) + 1;
  return make_cell(TYPE_PAIR, 0, uint32_t(a), uint32_t(b));
}

may_gc bool send(Lexer& L, Event e, const Cell& type, const Cell& token, bool at_start) {
  if (!L.wants(e)) return true;
  RootedCell in(*L.input);
  uint64_t index0 = 0;
  if (!in->is(TYPE_NONE)) {
    index0 = uint64_t(in->index()) + units_at(L, at_start ? L.tok.start : L.tok.end);
    in->w1 = uint32_t(index0);
  }
  RootedCell ty(type), tk(token);
  bool answer = L.cb->fn(L.cb->ctx, e, in.get(), *ty, L.line, *tk);
  if (!in->is(TYPE_NONE) && uint64_t(uint32_t(in->w1)) != index0) {
    int64_t to = int64_t(in->i1()) - L.input->i1();
    L.moved_to = address_of(L, to < 0 ? 0 : uint64_t(to));
  }
  return answer;
}

may_gc Cell event_word(Event e) {
  static constexpr SymId kWords[] = {SymId::PRESCAN, SymId::SCAN, SymId::LOAD,
                                     SymId::OPEN, SymId::CLOSE, SymId::WORD_ERROR};
  return runtime_word(kWords[uint32_t(e)]);
}

uint32_t event_filter(const Cell& body) {
  if (!(body.is(TYPE_BLOCK) || body.is(TYPE_PAREN)) || !body.node()) return ALL_EVENTS;
  Buffer* b = node_buffer(body.node());
  uint32_t n = b->used() / sizeof(Cell);
  if (body.index() < 0 || uint32_t(body.index()) >= n) return ALL_EVENTS;
  const Cell& first = b->cells()[body.index()];
  if (!first.is(TYPE_BLOCK)) return ALL_EVENTS;
  static constexpr SymId kWords[] = {SymId::PRESCAN, SymId::SCAN, SymId::LOAD,
                                     SymId::OPEN, SymId::CLOSE, SymId::WORD_ERROR};
  uint32_t bits = 0;
  Buffer* fb = node_buffer(first.node());
  uint32_t m = fb->used() / sizeof(Cell);
  for (uint32_t i = first.index() < 0 ? 0 : uint32_t(first.index()); i < m; i++) {
    const Cell& w = fb->cells()[i];
    if (!w.is(TYPE_WORD)) continue;
    uint32_t canon = symbol::resolve(w.w2);
    for (uint32_t k = 0; k < 6; k++)
      if (canon == sym(kWords[k])) bits |= 1u << k;
  }
  return bits;
}

// --- errors ----------------------------------------------------------------------------------

namespace {

// "(line n)".
may_gc Cell line_text(int32_t line) {
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "(line %d)", line);
  RootedNode s(make_string(uint32_t(n)));
  append_latin1(s, std::string_view(buf, size_t(n)));
  return series_cell(TYPE_STRING, s);
}

// The input from `at`: at most 30 bytes, cut at a character boundary, up
// to the end of the line or of the input.
may_gc Cell excerpt(const uint8_t* at, const uint8_t* end) {
  const uint8_t* e = at;
  while (e < end && e - at < 30 && *e != '\n') e++;
  if (e < end && e - at == 30) {
    // Never leave half a UTF-8 sequence in the text.
    const uint8_t* lead = e;
    while (lead > at && (*lead & 0xC0) == 0x80) lead--;
    if (lead + seq_len(lead, end) > e) e = lead;
  }
  // Rooted: ill-formed bytes before a wide character make the string widen
  // and grow while it is built.
  RootedNode s(make_string(uint32_t(e - at)));
  append_utf8(s, std::string_view(reinterpret_cast<const char*>(at), size_t(e - at)));
  return series_cell(TYPE_STRING, s);
}

}  // namespace

[[noreturn]] may_gc void fail_raise(Lexer& L, ErrId id, const Cell& arg2, const uint8_t* at, TypeId event_type) {
  if (L.wants(Event::ERROR)) {
    if (!send(L, Event::ERROR, type_cell(event_type), token_pair(L), false)) throw Resume{};
  }
  if (!L.build) {
    L.errored = true;
    throw Stop{};
  }
  RootedCell a2(arg2);
  RootedCell a1(line_text(L.line));
  Cell a3 = excerpt(at, L.end);
  if (id == ErrId::INVALID || id == ErrId::MISSING) fire(id, *a1, *a2, a3);
  fire(id, *a1, a3);
}

[[noreturn]] may_gc void fail(Lexer& L, ErrId id, TypeId type, const uint8_t* at) {
  if (id == ErrId::INVALID && type == TYPE_NONE_ID) id = ErrId::BAD_CHAR;
  fail_raise(L, id, datatype_cell(type ? type : TYPE_ERROR), at, id == ErrId::INVALID ? type : TYPE_ERROR);
}

namespace {

// The closing delimiter of an open series.
uint32_t closer_of(TypeId t) { return (t == TYPE_BLOCK || t == TYPE_MAP) ? ']' : ')'; }

[[noreturn]] may_gc void fail_missing(Lexer& L, uint32_t delimiter, const uint8_t* at, TypeId type) {
  fail_raise(L, ErrId::MISSING, char_cell(delimiter), at, type);
}

}  // namespace

// --- series ----------------------------------------------------------------------------------

may_gc Cell make_series(Lexer& L, uint32_t from, TypeId type) {
  uint32_t n = g_values.top() - from;
  NodeId node = alloc_cells(n ? n : 1);
  Buffer* b = node_buffer(node);
  if (n) std::memcpy(b->cells(), g_values.cells.data() + from, size_t(n) * sizeof(Cell));
  b->tail = b->head + n * uint32_t(sizeof(Cell));
  return series_cell(type, node);
}

may_gc void open_series(Lexer& L, TypeId type) {
  if (L.open.size() >= MAX_NESTING) {
    if (!L.build) {
      L.errored = true;
      throw Stop{};
    }
    fire(ErrId::STACK_OVERFLOW);
  }
  if (!send(L, Event::OPEN, datatype_cell(type), token_pair(L), true)) return;
  L.open.push_back(Marker{g_values.top(), uint32_t(L.tok.start - L.begin), type, L.tok.lines > 0});
}

namespace {

// Whether the values from `start` are pairs whose keys a map accepts.
bool map_keys_valid(uint32_t start) {
  uint32_t top = g_values.top();
  if ((top - start) % 2) return false;
  for (uint32_t i = start; i < top; i += 2)
    if (!map::valid_key(g_values.cells[i].type())) return false;
  return true;
}

// Ends the innermost series as `type`: its values become a series in the
// place of its marker. A false close event keeps it open.
may_gc void close_series(Lexer& L, TypeId type) {
  Marker m = L.open.back();
  if (!send(L, Event::CLOSE, datatype_cell(m.type == TYPE_MAP ? TYPE_MAP : type), token_pair(L), false)) {
    L.entry_zero = true;
    return;
  }
  L.open.pop_back();
  if (L.build) {
    if (type == TYPE_MAP) {
      // Checked with the marker back in place, so that an error keeps the
      // values; a declined error dissolves the map.
      L.open.push_back(m);
      if (!map_keys_valid(m.start)) {
        try {
          fail(L, ErrId::INVALID, TYPE_MAP, L.begin + m.offset);
        } catch (const Resume&) {
          L.open.pop_back();
          throw;
        }
      }
      L.open.pop_back();
    }
    RootedCell s(make_series(L, m.start, type == TYPE_MAP ? TYPE_BLOCK : type));
    if (type == TYPE_MAP) *s = map::make_at(s->node(), block::total(*s));
    if (m.new_line) s->header |= CELL_NEW_LINE;
    g_values.truncate(m.start);
    g_values.push(*s);
  }
  L.last_type = type;
  L.typed = true;
}

// Before an error leaves a scan that builds: open blocks and parens become
// series in place, other open series dissolve into the enclosing one, and
// the values go to the /into block.
may_gc void close_all_in_place(Lexer& L) {
  while (!L.open.empty()) {
    Marker m = L.open.back();
    L.open.pop_back();
    if (m.type == TYPE_BLOCK || m.type == TYPE_PAREN || m.type == TYPE_POINT2D) {
      Cell s = make_series(L, m.start, m.type == TYPE_BLOCK ? TYPE_BLOCK : TYPE_PAREN);
      if (m.new_line) s.header |= CELL_NEW_LINE;
      g_values.truncate(m.start);
      g_values.push(s);
    }
  }
}

may_gc void flush_into(Lexer& L) {
  uint32_t n = g_values.top() - L.base;
  if (!L.into || !n) return;
  uint32_t off = reserve_tail(L.into, n * uint32_t(sizeof(Cell)));
  std::memcpy(node_buffer(L.into)->data() + off, g_values.cells.data() + L.base, size_t(n) * sizeof(Cell));
  g_values.truncate(L.base);
}

}  // namespace

// --- structural tokens -------------------------------------------------------------------

void scan_end(Lexer& L) {
  L.pos = L.end;
  // An open path here was left by a declined error: the end closes it.
  while (!L.open.empty() && is_any_path(L.open.back().type)) {
    size_t depth = L.open.size();
    close_series(L, L.open.back().type);
    if (L.open.size() == depth) L.open.pop_back();  // kept open by a callback: nothing follows
  }
  if (!L.open.empty()) {
    Marker& m = L.open.back();
    L.tok.start = L.tok.end = L.end;
    try {
      fail_missing(L, closer_of(m.type), L.begin + m.offset, m.type);
    } catch (const Resume&) {
      L.missing_none = true;
    }
  }
  L.done = true;
}

void scan_error(Lexer& L) {
  Token& t = L.tok;
  const uint8_t* at = t.start;
  TypeId type = TypeId(kGuessedType[t.state]);
  if (L.in_brace) {
    type = TYPE_STRING;
    at = t.start = L.brace_start;
  } else if (Marker* m = L.innermost(); m && is_any_path(m->type) && type == TYPE_PATH) {
    // A bad path item reports the path from its start.
    type = m->type;
    at = L.begin + m->offset;
  }
  if (t.state == 21) fail(L, ErrId::MALCONSTRUCT, TYPE_NONE_ID, at);
  fail(L, ErrId::INVALID, type, at);
}

void scan_block_open(Lexer& L) {
  L.pos = L.tok.end + 1;
  open_series(L, TYPE_BLOCK);
}

void scan_map_open(Lexer& L) {
  L.pos = L.tok.end + 1;
  open_series(L, TYPE_MAP);
}

namespace {

// A closing "]" or ")": the innermost series must have been opened by the
// matching delimiter.
may_gc void close_delimited(Lexer& L, uint32_t delimiter) {
  Marker* m = L.innermost();
  bool ok = m && (delimiter == ']' ? (m->type == TYPE_BLOCK || m->type == TYPE_MAP) : m->type == TYPE_PAREN);
  if (!ok) {
    // Name the delimiter the open series wants; the opener of the faulty
    // byte when it is that closer itself (a stray one, or a paren turned
    // into a point by a comma).
    uint32_t want = m && !is_any_path(m->type) ? closer_of(m->type) : 0;
    uint32_t name = (!want || want == delimiter) ? (delimiter == ']' ? '[' : '(') : want;
    fail_missing(L, name, L.tok.start, m ? m->type : TYPE_NONE_ID);
  }
  L.pos = L.tok.end + 1;
  close_series(L, m->type == TYPE_MAP ? TYPE_MAP : (delimiter == ']' ? TYPE_BLOCK : TYPE_PAREN));
}

}  // namespace

void scan_block_close(Lexer& L) { close_delimited(L, ']'); }
void scan_paren_close(Lexer& L) { close_delimited(L, ')'); }

namespace {

// Bytes that may stand in a point literal.
inline bool point_char(uint8_t b) {
  static constexpr const char kChars[] = "\t #+-.0123456789AEFINaefin";
  return b && std::memchr(kChars, b, sizeof kChars - 1);
}

// A "(" whose next bytes, up to the first byte outside the point-literal
// characters, end in a "," starts a point literal.
bool starts_point(Lexer& L) {
  const uint8_t* q = L.tok.end + 1;
  if (L.end - L.tok.end < 3) return false;
  while (q < L.end && point_char(*q)) q++;
  return q < L.end && *q == ',';
}

}  // namespace

void scan_paren_open(Lexer& L) {
  L.pos = L.tok.end + 1;
  if (L.in_point) fail(L, ErrId::INVALID, TYPE_POINT2D, L.tok.start);
  if (starts_point(L)) {
    L.in_point = true;
    L.point_start = L.tok.start;
    return;
  }
  open_series(L, TYPE_PAREN);
}

void scan_brace_open(Lexer& L) {
  L.pos = L.tok.end + 1;
  if (L.in_brace) {
    L.brace_level++;
    L.brace_flags |= L.tok.flags;
    return;
  }
  if (!send(L, Event::OPEN, datatype_cell(TYPE_STRING), token_pair(L), true)) return;
  L.in_brace = true;
  L.brace_level = 1;
  L.brace_start = L.tok.start;
  L.brace_flags = 0;
  L.brace_new_line = L.tok.lines > 0;
}

void scan_brace_close(Lexer& L) {
  L.pos = L.tok.end + 1;
  L.brace_flags |= L.tok.flags;
  if (--L.brace_level > 0) return;
  // The whole string is the token from here on.
  L.in_brace = false;
  L.tok.start = L.brace_start;
  L.tok.end = L.pos;
  L.tok.flags = L.brace_flags;
  L.tok.lines = L.brace_new_line ? 1 : 0;
  L.tok.type = TYPE_STRING;
  if (!send(L, Event::CLOSE, datatype_cell(TYPE_STRING), token_pair(L), false)) return;
  if (L.mode == Mode::PRESCAN) {
    L.last_type = TYPE_STRING;
    L.typed = true;
    return;
  }
  bool keep = true;
  if (!L.build || L.wants(Event::SCAN)) {
    load_braced_string(L, false);
    keep = send(L, Event::SCAN, datatype_cell(TYPE_STRING), token_pair(L), false);
  }
  if (keep && L.build) {
    load_braced_string(L, true);
    Cell v = g_values.cells.back();
    if (!send(L, Event::LOAD, datatype_cell(TYPE_STRING), v, false)) g_values.truncate(g_values.top() - 1);
  }
  L.last_type = TYPE_STRING;
  L.typed = true;
}

void scan_path_start(Lexer& L) {
  Token& t = L.tok;
  uint8_t first = *t.start;
  TypeId type = first == '\'' ? TYPE_LIT_PATH : first == ':' ? TYPE_GET_PATH : TYPE_PATH;
  open_series(L, type);
  // The word before the "/" is the first item, its prefix belonging to the path.
  const uint8_t* s = (type == TYPE_PATH) ? t.start : t.start + 1;
  bool keep = true;
  if (!L.build || L.wants(Event::SCAN)) {
    load_word_text(L, s, t.end, false);
    keep = send(L, Event::SCAN, datatype_cell(TYPE_WORD), token_pair(L), false);
  }
  if (keep && L.build) {
    load_word_text(L, s, t.end, true);
    Cell v = g_values.cells.back();
    if (!send(L, Event::LOAD, datatype_cell(TYPE_WORD), v, false)) g_values.truncate(g_values.top() - 1);
  }
  L.pos = t.end + 1;  // the separator
}

void scan_construct(Lexer& L);  // lexer_load.cpp

void scan_comment(Lexer& L) { L.pos = L.tok.end; }

void scan_comma(Lexer& L) {
  L.pos = L.tok.end + 1;
  Marker* m = L.innermost();
  if (!m || (m->type != TYPE_PAREN && m->type != TYPE_POINT2D)) fail(L, ErrId::INVALID, TYPE_POINT2D, L.tok.start);
  // A paren with a comma can only end as a point under construction.
  m->type = TYPE_POINT2D;
}

// --- the token loop --------------------------------------------------------------------------

namespace {

inline uint8_t entry_state(Lexer& L) {
  if (L.in_brace) return 4;
  if (L.in_point) return 35;
  if (L.entry_zero) {
    L.entry_zero = false;
    return 0;
  }
  Marker* m = L.innermost();
  return (m && is_any_path(m->type)) ? 59 : 0;
}

// Runs the automaton from L.pos into L.tok. Bytes at `limit` and beyond
// count as the end of input (a word cut at extra white space).
void automaton(Lexer& L, uint8_t entry, const uint8_t* limit) {
  const uint8_t* p = L.pos;
  const uint8_t* start = p;
  uint32_t state = entry, flags = 0, next;
  int32_t line = L.line, line0 = L.line;
  // The loop is written twice on purpose: the common call has no limit to
  // compare with, and one loop for both (a lambda per byte source) made
  // GCC lay it out with a branch for the start mark, costing ~4.5% more
  // instructions here.
  if (!limit) {
    for (;;) {
      uint32_t cf = kByteClass[*p];
      next = kTransitions[state][cf & CLASS_MASK];
      if (next >= KIND_FIRST) break;
      flags |= cf;
      line += (cf & CLASS_MASK) == C_LF;
      state = next;
      ++p;
      if (state == 0) start = p;
    }
  } else {
    for (;;) {
      uint32_t cf = p < limit ? kByteClass[*p] : uint32_t(C_END);
      next = kTransitions[state][cf & CLASS_MASK];
      if (next >= KIND_FIRST) break;
      flags |= cf;
      line += (cf & CLASS_MASK) == C_LF;
      state = next;
      ++p;
      if (state == 0) start = p;
    }
  }
  L.line = line;
  L.tok = Token{start, p, flags & ~CLASS_MASK, uint8_t(next), uint8_t(state), line - line0, TYPE_NONE_ID};
}

// Kinds whose closing byte the automaton stops at but which belongs to the
// token.
inline uint8_t closing_byte(uint8_t kind) {
  switch (kind) {
    case K_CONSTRUCT: return ')';
    case K_STRING: return '"';
    case K_CHAR: return '"';
    case K_FILE: return '"';
    case K_BINARY: return '}';
    case K_POINT: return ')';
    case K_PERCENT: return '%';
    case K_TAG: return '>';
    default: return 0;
  }
}

// Extra white space in a word token: leading code points are skipped (the
// round starts again after them), one inside ends the word. Answers true
// when the round must start again.
bool split_word_at_space(Lexer& L, int32_t line0) {
  Token& t = L.tok;
  const uint8_t* q = t.start;
  while (q < t.end) {
    uint32_t n = extra_space_at(q, t.end);
    if (!n) break;
    q += n;
  }
  if (q > t.start) {
    L.pos = q;
    return true;
  }
  for (const uint8_t* r = t.start; r < t.end; r++) {
    if (*r < 0xC2) continue;
    if (extra_space_at(r, t.end)) {
      int32_t lines = t.lines;
      L.pos = t.start;
      L.line = line0 + lines;
      automaton(L, 0, r);
      L.tok.lines = lines;
      return false;
    }
  }
  return false;
}

// After an item of a path: a separator leads to the next item; a byte that
// ends paths closes it (":" as a set-path!).
may_gc void after_path_item(Lexer& L) {
  Marker& m = L.open.back();
  const uint8_t* p = L.pos;
  uint32_t c = p < L.end ? class_of(*p) : uint32_t(C_END);
  L.tok.start = L.tok.end = p;
  if (c == C_SLASH || c == C_BACKSLASH || c == C_CTRL) {
    L.pos = p + 1;
    if (L.pos >= L.end) fail(L, ErrId::INVALID, m.type, p);
    return;
  }
  if (!kPathEnd[c]) fail(L, ErrId::INVALID, m.type, p);
  TypeId type = m.type;
  if (c == C_COLON) {
    if (m.type != TYPE_PATH) fail(L, ErrId::INVALID, m.type, p);
    if (p + 1 < L.end && p[1] == '/') fail(L, ErrId::INVALID, m.type, p);
    type = TYPE_SET_PATH;
    L.pos = p + 1;
    L.tok.end = L.pos;
  }
  close_series(L, type);
}

// Where the scan goes on after an error a callback declined.
void resume_after_error(Lexer& L) {
  Token& t = L.tok;
  L.in_point = false;
  L.in_brace = false;
  if (L.moved_to) return;
  if (t.end > t.start) {
    L.pos = t.end;
  } else if (t.start < L.end) {
    L.pos = t.start + seq_len(t.start, L.end);
  } else {
    L.pos = L.end;
  }
  // A path cut by the end of the input would fail there again: it dissolves.
  while (L.pos >= L.end && !L.open.empty() && is_any_path(L.open.back().type)) L.open.pop_back();
}

// A position a callback set takes effect for the next token. Going back
// (or nowhere) is allowed, but only so often.
void apply_move(Lexer& L, const uint8_t* round_start) {
  if (!L.moved_to) return;
  const uint8_t* to = L.moved_to;
  L.moved_to = nullptr;
  if (to <= round_start && ++L.rewinds > REWIND_ALLOWANCE + uint64_t(L.end - L.begin)) {
    Cell in = *L.input;
    in.w1 = uint32_t(in.index() + int64_t(units_at(L, to)));
    fire(ErrId::INVALID_ARG, in);
  }
  // Lines are not counted backwards: a moved scan counts from where it is.
  // A braced string or point literal in progress does not survive a jump.
  L.pos = to;
  L.in_brace = false;
  L.in_point = false;
}

may_gc void handle_token(Lexer& L, int32_t line0, bool* restart) {
  Token& t = L.tok;
  uint8_t kind = t.kind;
  // A NUL inside the input is an error where it stands.
  if ((kind == K_END || kind == K_ERROR) && *t.end == 0 && t.end < L.end) {
    t.start = t.end;
    fail(L, ErrId::BAD_CHAR, TYPE_NONE_ID, t.end);
  }
  if (kind == K_WORD && (t.flags & F_UTF8_2)) {
    if (split_word_at_space(L, line0)) {
      *restart = true;
      return;
    }
    kind = t.kind;
  }
  if (uint8_t c = closing_byte(kind); c && t.end < L.end && *t.end == c) t.end++;
  if (kind == K_POINT) {
    // The literal is one token from its "(".
    t.start = L.point_start;
    L.in_point = false;
  }
  L.pos = t.end;
  L.typed = false;

  if (L.cb && !L.in_brace && !(kind == K_PAREN_OPEN && !L.in_point && starts_point(L))) {
    TypeId guess = TypeId(kGuessedType[t.state]);
    if (guess == TYPE_NONE_ID || guess == TYPE_PATH) guess = TypeId(kGuessedType[kind]);
    Cell type = type_cell(guess);
    bool word_type = false;
    if (kind < K_STRING && kind != K_BRACE_CLOSE) {
      type = exit_state_word(kind);
      word_type = type.is(TYPE_WORD);
    }
    if (!send(L, Event::PRESCAN, type, token_pair(L), word_type)) {
      // Skipped: a delimiter the automaton stopped at still goes.
      if (kind >= K_BLOCK_OPEN && kind <= K_MAP_OPEN) L.pos = t.end + 1;
      if (kind == K_COMMA) L.pos = t.end + 1;
      return;
    }
  }

  const KindInfo& k = kind_info(kind);
  if (k.scanner) {
    k.scanner(L);
    return;
  }
  if (L.mode == Mode::PRESCAN) {
    TypeId guess = TypeId(kGuessedType[t.state]);
    L.last_type = (guess == TYPE_NONE_ID || guess == TYPE_PATH) ? TypeId(kGuessedType[kind]) : guess;
    L.typed = true;
    if (kind == K_STRING) L.last_type = TYPE_STRING;
    return;
  }
  t.type = TypeId(kGuessedType[kind]);
  bool keep = true;
  if (!L.build || L.wants(Event::SCAN)) {
    k.loader(L, false);
    keep = send(L, Event::SCAN, type_cell(t.type), token_pair(L), false);
  }
  if (keep && L.build) {
    k.loader(L, true);
    Cell v = g_values.cells.back();
    if (!send(L, Event::LOAD, type_cell(t.type), v, false)) g_values.truncate(g_values.top() - 1);
  }
  L.pos = t.end;
  L.last_type = t.type;
  L.typed = true;
}

may_gc void run(Lexer& L) {
  while (!L.done) {
    const uint8_t* round_start = L.pos;
    int32_t line0 = L.line;
    size_t depth0 = L.open.size();
    automaton(L, entry_state(L), nullptr);
    uint8_t kind = L.tok.kind;
    try {
      bool restart = false;
      handle_token(L, line0, &restart);
      if (restart) continue;
      kind = L.tok.kind;
      Marker* m = L.innermost();
      if (m && is_any_path(m->type) && kind != K_PATH_START && kind != K_END && L.open.size() <= depth0 &&
          !L.in_point)
        after_path_item(L);
    } catch (const Resume&) {
      resume_after_error(L);
      L.typed = false;
    }
    apply_move(L, round_start);
    if (L.mode != Mode::LOAD && L.typed && L.open.empty() && !L.in_brace && !L.in_point &&
        g_values.top() - L.base <= 1)
      L.done = true;
    if (L.pos >= L.end && kind != K_END && !L.done && L.open.empty() && !L.in_brace && !L.in_point) {
      // Nothing left: the end token would only say so.
      L.pos = L.end;
      L.done = L.cb == nullptr;
    }
  }
}

}  // namespace

// --- entry -------------------------------------------------------------------------------------

may_gc ScanResult scan(const uint8_t* text, size_t len, const ScanOptions& o) {
  Lexer L(text, len, o);
  ScanResult r;
  try {
    run(L);
  } catch (const Stop&) {
    // A scan that builds nothing ends at its first error.
  } catch (...) {
    if (L.build && L.into) {
      close_all_in_place(L);
      flush_into(L);
    }
    throw;
  }
  r.type = L.errored ? TYPE_ERROR : L.last_type;
  r.consumed = units_at(L, L.pos);
  r.missing_none = L.missing_none;
  if (!L.build) return r;
  if (L.missing_none) {
    r.value = none_cell();
    return r;
  }
  uint32_t n = g_values.top() - L.base;
  if (L.mode == Mode::ONE && !L.block_always) {
    r.value = n ? g_values.cells[L.base] : unset_cell();
    r.value.clear_new_line();
  } else if (L.into) {
    flush_into(L);
    r.value = series_cell(TYPE_BLOCK, L.into);
  } else {
    r.value = make_series(L, L.base, TYPE_BLOCK);
  }
  return r;
}

}  // namespace vel::lexer
