// The lexer: UTF-8 source text into Vel values.
//
// One table-driven scanner (lexer_tables.cpp): an automaton over byte
// classes finds each token's extent and kind; one routine per kind checks
// the token and, when values are wanted, builds its value on the lexer's
// value stack. Blocks, parens, maps and paths are assembled on that stack
// and become series when they close, so nesting never recurses in C++.
//
// Scans nest: a callback or a loader may start another scan, which uses the
// value stack above the active one. Everything on the stack is a collector
// root while any scan runs.
//
// Syntax errors are syntax/invalid, syntax/missing, syntax/malconstruct and
// syntax/bad-char with the arguments "(line n)", the datatype (or the
// delimiter) and an excerpt of the text. Before one is raised every series
// still open is closed in place, so values appended to an /into block stay.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cell.h"
#include "eval.h"
#include "memory.h"
#include "status.h"

namespace vel::lexer {

// --- events ------------------------------------------------------------------------

enum class Event : uint8_t { PRESCAN = 0, SCAN = 1, LOAD = 2, OPEN = 3, CLOSE = 4, ERROR = 5 };
constexpr uint32_t event_bit(Event e) { return 1u << uint32_t(e); }
constexpr uint32_t ALL_EVENTS = 63;

// A lexer callback. The lexer calls fn for every event whose bit is in
// filter, with:
//   input  the input series (binary! or string!) with its index at the
//          token start (open events, prescan events naming a kind word) or
//          at the token end; a callback moves the scan by changing the
//          index (clamped to the input, in characters for a string)
//   type   a datatype!, none, or (prescan of a structural token) the word
//          that exit_state_word gives
//   line   the current line
//   token  the built value (load), else a pair! of the token's 1-based start
//          and end positions in the input's units
// and takes its answer: false skips a token, vetoes a value, cancels an
// open, keeps a series open or suppresses an error. fn may run Vel code (the
// collector, a nested scan) and may raise errors, which leave the scan.
//
// Vel callbacks (function! or routine!) are called under <lexer-callback>
// through callback_of.
struct Callback {
  using Fn = may_gc bool (*)(void* ctx, Event event, Cell* input, const Cell& type, int32_t line,
                             const Cell& token);
  Fn fn = nullptr;
  void* ctx = nullptr;
  uint32_t filter = ALL_EVENTS;
};

// The event word (prescan, scan, load, open, close, error).
may_gc Cell event_word(Event e);
// The filter of a callback whose body is `body`: when the body begins with a
// block, the OR of the bits of the event words in it (other values ignored);
// otherwise every event.
uint32_t event_filter(const Cell& body);

// Fills *out for a callback value (function! or routine!) and answers true;
// false for a value that cannot be a callback. The Callback it fills must
// stay valid while the scan runs (it points into the value, which the
// caller keeps rooted). A signal (break, throw, ...) out of the Vel function
// leaves the scan as a LexerSignal.
may_gc bool callback_of(const Cell& callback, Callback* out);
struct LexerSignal {
  Status status;
};

// The word naming token kind `kind` (66-101) in system/lexer/exit-states,
// or none (also while system/lexer does not exist).
may_gc Cell exit_state_word(int kind);

// --- scanning --------------------------------------------------------------------

enum class Mode : uint8_t {
  LOAD,     // every token checked and built
  ONE,      // stop after the first value completed outside any series
  SCAN,     // check tokens, build nothing; the answer is the type
  PRESCAN,  // automaton and structural tokens only; the answer is the guess
};

struct ScanOptions {
  Mode mode = Mode::LOAD;
  bool block_always = false;     // ONE mode still makes a block of the value
  NodeId into = 0;               // append the values to this block instead
  const Callback* callback = nullptr;
  int32_t first_line = 1;        // line number of the first line
  // Events only: the input series (binary! or string! at the scanned
  // text's start) and whether positions count characters (string input).
  Cell input = Cell{};
  bool char_positions = false;
};

struct ScanResult {
  TypeId type = TYPE_NONE_ID;  // of the last token (0 at the end of input)
  Cell value = Cell{};         // LOAD: the block (or into); ONE: the value or unset!
  uint64_t consumed = 0;       // bytes, or characters with char_positions
  bool missing_none = false;   // an unclosed series whose error a callback declined
};

// Scans len bytes of UTF-8 at text. text[len] must be a NUL byte and the
// text must not live in a series buffer (the collector may run during the
// scan): copy series bytes first, as scan_series does.
may_gc ScanResult scan(const uint8_t* text, size_t len, const ScanOptions& o);
inline may_gc ScanResult scan(std::string_view text, const ScanOptions& o) {
  return scan(reinterpret_cast<const uint8_t*>(text.data()), text.size(), o);
}

// Scans a string! (from its index, at most limit characters, -1 for all) or
// a binary! (from its index, at most limit bytes) whose bytes are UTF-8.
// Positions are in characters for strings and bytes for binaries; the input
// given to callbacks is this series.
may_gc ScanResult scan_series(const Cell& series, int64_t limit, ScanOptions o);

// --- transcode ------------------------------------------------------------------------

struct TranscodeOptions {
  bool next = false;
  bool one = false;
  bool prescan = false;
  bool scan = false;
  const Cell* part = nullptr;  // /part: integer! length, or a position in the source's series
  const Cell* into = nullptr;  // /into block
  const Callback* trace = nullptr;
  int32_t line = 1;            // number of the source's first line
};

// transcode on a binary! (UTF-8; a leading byte-order mark is skipped) or a
// string!: a block of the loaded values; with /next a block of the value and
// the source after it; with /one the value; with /scan or /prescan the
// datatype! recognised or guessed (none for empty input). With /into the
// values are appended to that block, which is the result.
may_gc Cell transcode(Cell src, const TranscodeOptions& o);

// The native's frame entry. Frame (spec order):
//   0 src  1 /next  2 /one  3 /prescan  4 /scan  5 /part  6 length
//   7 /into  8 dst  9 /trace  10 callback
Status transcode_native(Cell* base);

// --- conversions -----------------------------------------------------------------------

// load_one_value, scan_type and string_to_block are declared in eval.h.

// Start-up: installs the conversions above in the word and block modules.
void init();

}  // namespace vel::lexer
