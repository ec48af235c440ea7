// The lexer's private parts, shared by its source files: the tables
// (lexer_tables.cpp, generated), the core loop (lexer.cpp), the value
// loaders (lexer_load.cpp) and the entries (lexer_transcode.cpp).
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "families.h"
#include "cell.h"
#include "errors.h"
#include "io/lexer.h"
#include "memory.h"
#include "roots.h"

namespace vel::lexer {

// --- tables ---------------------------------------------------------------------------

constexpr int STATE_COUNT = 65;  // working states 0-64
constexpr int CLASS_COUNT = 40;
constexpr int KIND_FIRST = 66;   // final states name token kinds
constexpr int KIND_LAST = 101;
constexpr int KIND_COUNT = KIND_LAST - KIND_FIRST + 1;

enum Kind : uint8_t {
  K_END = 66, K_ERROR, K_BLOCK_OPEN, K_BLOCK_CLOSE, K_PAREN_OPEN, K_PAREN_CLOSE, K_BRACE_OPEN,
  K_BRACE_CLOSE, K_MAP_OPEN, K_PATH_START, K_CONSTRUCT, K_COMMENT, K_COMMA, K_STRING, K_WORD,
  K_ISSUE, K_INTEGER, K_REFINEMENT, K_CHAR, K_FILE, K_BINARY, K_PERCENT, K_FLOAT, K_NAN_INF,
  K_TUPLE, K_DATE, K_PAIR, K_POINT, K_TIME, K_MONEY, K_TAG, K_URL, K_EMAIL, K_HEX, K_RAW_STRING,
  K_REF,
};
static_assert(K_REF == KIND_LAST);

// Byte classes the code names.
enum Class : uint8_t {
  C_BLANK = 0, C_LF = 1, C_COLON = 13, C_SLASH = 21, C_BACKSLASH = 22, C_CTRL = 35, C_END = 39,
};
constexpr uint32_t CLASS_MASK = 0xFF;

// Byte flags (bits 18-31 of the class table), OR-ed over a token's bytes.
constexpr uint32_t F_PERCENT = 0x40000;
constexpr uint32_t F_GT = 0x80000;
constexpr uint32_t F_LT = 0x100000;
constexpr uint32_t F_SIGN = 0x200000;
constexpr uint32_t F_NUL = 0x400000;
constexpr uint32_t F_HASH = 0x800000;
constexpr uint32_t F_EXP = 0x1000000;
constexpr uint32_t F_QUOTE = 0x2000000;
constexpr uint32_t F_COLON = 0x4000000;
constexpr uint32_t F_COMMA = 0x8000000;
constexpr uint32_t F_DOT = 0x10000000;
constexpr uint32_t F_CARET = 0x20000000;
constexpr uint32_t F_UTF8_2 = 0x40000000;  // lead byte of a 2- or 3-byte sequence
constexpr uint32_t F_UTF8_4 = 0x80000000;  // lead byte of a 4-byte sequence
constexpr uint32_t F_UTF8 = F_UTF8_2 | F_UTF8_4;

extern const uint32_t kByteClass[256];
extern const uint8_t kTransitions[STATE_COUNT][CLASS_COUNT];
extern const uint8_t kGuessedType[KIND_LAST + 1];
extern const bool kPathEnd[CLASS_COUNT];

inline uint32_t class_of(uint8_t b) { return kByteClass[b] & CLASS_MASK; }

// Open series deeper than this raise internal/stack-overflow, so that every
// loaded value can still be molded, copied and bound whole.
constexpr size_t MAX_NESTING = 3998;

// --- state ------------------------------------------------------------------------------

// An open series. Its values are the value-stack cells from `start` on.
struct Marker {
  uint32_t start;
  uint32_t offset;  // of the opening byte in the input
  TypeId type;      // block!, paren!, map!, a path type; point2D! for a paren with a comma
  bool new_line;
};

struct Token {
  const uint8_t* start;
  const uint8_t* end;
  uint32_t flags;
  uint8_t kind;
  uint8_t state;   // the last working state before the final one
  int32_t lines;   // line feeds crossed since the round began
  TypeId type;     // the type recognised by the kind's routine
};

// The values of every active scan, innermost scan on top. A collector root
// while a scan runs; nested scans use the cells above their parent's.
struct ValueStack {
  std::vector<Cell> cells;
  RootedCells* root = nullptr;

  uint32_t top() const { return uint32_t(cells.size()); }
  void sync() {
    if (root) root->resize(cells.data(), cells.size());
  }
  void push(const Cell& c) {
    cells.push_back(c);
    sync();
  }
  void truncate(uint32_t n) {
    if (n < cells.size()) cells.resize(n);
    sync();
  }
};
extern ValueStack g_values;

struct Lexer;
extern Lexer* g_active;  // the innermost active scan

struct Lexer {
  Lexer* parent;
  const uint8_t* begin;
  const uint8_t* end;
  const uint8_t* pos;
  Mode mode;
  bool build;
  bool block_always;
  uint32_t base;  // first value-stack cell of this scan
  std::vector<Marker> open;
  int32_t line;
  Token tok{};
  TypeId last_type = TYPE_NONE_ID;
  bool typed = false;  // the token just handled had a type (one-value stop rule)
  bool done = false;
  bool entry_zero = false;  // a refused close: the next token starts in state 0
  bool errored = false;     // a scan that builds nothing met an error

  // A braced string being scanned piece by piece.
  bool in_brace = false;
  uint32_t brace_level = 0;
  const uint8_t* brace_start = nullptr;
  uint32_t brace_flags = 0;
  bool brace_new_line = false;

  // A point literal "(x, y)": its "(" was consumed.
  bool in_point = false;
  const uint8_t* point_start = nullptr;

  // Callback.
  const Callback* cb;
  uint32_t filter;
  RootedCell input;      // the input series for events (none without one)
  bool char_positions;   // event positions count characters
  const uint8_t* cache_at;  // last position converted to units
  uint64_t cache_units = 0;
  const uint8_t* moved_to = nullptr;  // where a callback moved the input
  uint64_t rewinds = 0;

  RootedNode into;
  bool missing_none = false;
  std::optional<RootedCells> stack_root;

  Lexer(const uint8_t* text, size_t len, const ScanOptions& o);
  ~Lexer();
  Lexer(const Lexer&) = delete;
  Lexer& operator=(const Lexer&) = delete;

  bool wants(Event e) const { return cb && (filter & event_bit(e)); }
  Marker* innermost() { return open.empty() ? nullptr : &open.back(); }
};

// Control flow out of a token's routines.
struct Resume {};  // a callback declined an error: drop the token, go on
struct Stop {};    // an error in a scan that builds nothing: stop

// --- core services (lexer.cpp) ------------------------------------------------------------

// Pushes a built value; it carries the new-line flag when its token crossed
// a line feed.
void push_value(Lexer& L, Cell v);

// Syntax errors: the error event first (a false answer throws Resume), then
// Stop in a scan that builds nothing, else the Vel error. `at` starts the
// excerpt; type 0 makes invalid a bad-char.
[[noreturn]] may_gc void fail(Lexer& L, ErrId id, TypeId type, const uint8_t* at);
[[noreturn]] inline may_gc void fail_invalid(Lexer& L, TypeId type) { fail(L, ErrId::INVALID, type, L.tok.start); }

// Events.
may_gc bool send(Lexer& L, Event e, const Cell& type, const Cell& token, bool at_start);
Cell token_pair(Lexer& L);
inline Cell type_cell(TypeId t) { return t ? datatype_cell(t) : none_cell(); }

// Series.
may_gc void open_series(Lexer& L, TypeId type);
may_gc Cell make_series(Lexer& L, uint32_t from, TypeId type);

// --- kinds (lexer_load.cpp) -----------------------------------------------------------------

// Kinds 66-78 have a scanner that does everything; kinds 79-101 a loader
// that checks the token (build false) or builds and pushes its value and
// sets tok.type to the type recognised.
using Scanner = may_gc void (*)(Lexer& L);
using Loader = may_gc void (*)(Lexer& L, bool build);
struct KindInfo {
  const char* name;
  Scanner scanner;
  Loader loader;
};
extern const KindInfo kKinds[KIND_COUNT];
inline const KindInfo& kind_info(uint8_t kind) { return kKinds[kind - KIND_FIRST]; }

// Structural scanners (lexer.cpp).
void scan_end(Lexer& L);
void scan_error(Lexer& L);
void scan_block_open(Lexer& L);
void scan_block_close(Lexer& L);
void scan_paren_open(Lexer& L);
void scan_paren_close(Lexer& L);
void scan_brace_open(Lexer& L);
void scan_brace_close(Lexer& L);
void scan_map_open(Lexer& L);
void scan_path_start(Lexer& L);
void scan_construct(Lexer& L);
void scan_comment(Lexer& L);
void scan_comma(Lexer& L);

// Loaders used by the core.
may_gc void load_word_text(Lexer& L, const uint8_t* s, const uint8_t* e, bool build);
may_gc void load_braced_string(Lexer& L, bool build);
// Times and dates (lexer_dates.cpp).
may_gc void load_time(Lexer& L, bool build);
may_gc void load_date(Lexer& L, bool build);

// The extra white space that separates words: the length of the sequence
// at p when it is one of those 21 code points, else 0. p < end.
uint32_t extra_space_at(const uint8_t* p, const uint8_t* end);

// Decodes one escape after "^" at p (p < e); stores the code point and
// answers the address after the escape, or null when it is invalid.
const uint8_t* decode_escape(const uint8_t* p, const uint8_t* e, uint32_t* cp);

}  // namespace vel::lexer
