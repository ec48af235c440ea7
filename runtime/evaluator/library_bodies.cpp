#include "evaluator/library_bodies.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string_view>
#include <vector>

#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "evaluator/natives_control.h"
#include "families.h"
#include "native_frames.h"
#include "routine_frames.h"
#include "natives_table.h"
#include "roots.h"
#include "stack.h"

namespace vel::interp {

namespace {

// The library words a C++ body stands in for: the names of its frames, and
// the values that must still be theirs.
constexpr uint32_t MAX_WORDS = 5;
// The most frame cells of the function the C++ reads.
constexpr uint32_t MAX_FRAME = 2;
// The blocks and paths of a body, its own block first. Both lists are
// checked whole at each call, the unused entries repeating the first.
constexpr uint32_t MAX_SERIES = 10;

}  // namespace

struct LibraryBody {
  Status (*run)(const LibraryBody& b, Cell* base, Cell* result);
  Cell body;                  // the body block cell
  NodeId lib;                 // the library context
  uint32_t nseries;
  NodeId series[MAX_SERIES];  // every block and path of the body
  uint32_t stamps[MAX_SERIES];
  uint64_t stamp_sum;         // theirs
  uint32_t nwords;
  Cell word[MAX_WORDS];       // the body's word naming each, bound to lib
  Cell value[MAX_WORDS];      // its value at start-up
  Cell extra[4];              // cells of the body the runner pushes
};

namespace {

// --- attempt -----------------------------------------------------------------------------

// Its body:
//   either safer [unless error? set/any 'value try/all code [:value]]
//                [unless error? set/any 'value try code [:value]]
enum AttemptWord { A_EITHER, A_UNLESS, A_ERROR_Q, A_SET, A_TRY, A_WORDS };
enum AttemptExtra { A_SAFER_BLOCK, A_PLAIN_BLOCK, A_VALUE_WORD };
// The cells of attempt's frame the body reads, in the order of the entry's
// frame words below: start-up checks them against the function's spec.
enum AttemptFrame { CODE, SAFER };

// The frames the body lays out on the stack hold these natives' arguments
// where their specs put them.
static_assert(nat::either::COND == 0 && nat::either::TRUE_BLK == 1 && nat::either::FALSE_BLK == 2);
static_assert(nat::set::WORD == 0 && nat::set::VALUE == 1);
static_assert(nat::try_::BLOCK == 0 && nat::try_::ALL == 1 && nat::try_::KEEP == 2);

// The frame of a native the body calls: its copy pushed, then its frame
// named by the body's word.
inline Cell* open_native(const LibraryBody& b, uint32_t w) {
  push(b.value[w]);
  return stack_mark(FRAME_NATIVE | FRAME_INTERPRETED, b.word[w].w2, b.word[w].w1);
}

// The frame of a native the body calls, written in place (the room is
// checked): its copy at cell `at`, its frame with its base after it.
inline void place_native(const LibraryBody& b, uint32_t w, CallFrame*& f, uint32_t at, uint32_t& base) {
  g_stack.begin[at] = b.value[w];
  *f++ = CallFrame{FRAME_NATIVE | FRAME_INTERPRETED | FRAME_LIBRARY, b.word[w].w1, b.word[w].w2, 0, g_stack.begin + base,
                   g_stack.begin + at + 1};
  base = at + 1;
}

// The stacks as the body has them when try runs the caller's block: either
// (its condition and blocks), the chosen block, unless, error?, set (the
// word value) and try (the block and its two refinements) each in a frame
// of its own; then try's own. The answer is try's, or none when an error
// came: that is unless error? of it. The frames above the call's are
// dropped as the body's run drops them; a signal leaves them to its target.
may_gc Status run_attempt(const LibraryBody& b, Cell* base, Cell* result) {
  constexpr uint32_t CELLS = 13, FRAMES = 5;
  LibraryCodeScope library(true);
  CallFrame* own = g_stack.frame_top;
  bool safer = truthy(base[SAFER]);
  const Cell& chosen = b.extra[safer ? A_SAFER_BLOCK : A_PLAIN_BLOCK];
  Cell* at;
  if (g_stack.top + CELLS <= g_stack.end && own + FRAMES <= g_stack.frame_end) [[likely]] {
    uint32_t t = cell_index(g_stack.top);
    uint32_t fb = cell_index(g_stack.base);
    CallFrame* f = own;
    Cell* c = g_stack.top;
    place_native(b, A_EITHER, f, t, fb);
    c[1] = base[SAFER];
    c[2] = b.extra[A_SAFER_BLOCK];
    c[3] = b.extra[A_PLAIN_BLOCK];
    c[4] = chosen;
    place_native(b, A_UNLESS, f, t + 5, fb);
    place_native(b, A_ERROR_Q, f, t + 6, fb);
    place_native(b, A_SET, f, t + 7, fb);
    c[8] = b.extra[A_VALUE_WORD];
    place_native(b, A_TRY, f, t + 9, fb);
    c[10] = base[CODE];
    c[11] = logic_cell(safer);
    c[12] = logic_cell(false);
    g_stack.frame_top = f;
    g_stack.top = c + CELLS;
    at = g_stack.base = c + 10;
  } else {
    // Near the end of a stack: pushed one by one, to overflow where the
    // body's own run would.
    open_native(b, A_EITHER);
    push(base[SAFER]);
    push(b.extra[A_SAFER_BLOCK]);
    push(b.extra[A_PLAIN_BLOCK]);
    push(chosen);
    open_native(b, A_UNLESS);
    open_native(b, A_ERROR_Q);
    open_native(b, A_SET);
    push(b.extra[A_VALUE_WORD]);
    at = open_native(b, A_TRY);
    push(base[CODE]);
    push(logic_cell(safer));
    push(logic_cell(false));
  }
  bool caught = false;
  VEL_TRY(run_try(at, false, &caught));
  Cell answer = at[0];
  g_stack.frame_top = own;
  g_stack.base = base;
  *result = caught || answer.is(TYPE_ERROR) ? none_cell() : answer;
  g_stack.top = result + 1;
  return Status::OK;
}

// --- the table -----------------------------------------------------------------------------

struct Entry {
  const char* name;      // the global word of the function
  const char* body;      // its body, molded flat
  const char* frame[MAX_FRAME];  // the words of the frame cells the C++ reads, from the first
  const char* words[MAX_WORDS];
  Status (*run)(const LibraryBody& b, Cell* base, Cell* result);
};

constexpr Entry kEntries[] = {
    {"attempt",
     "[either safer [unless error? set/any 'value try/all code [:value]] "
     "[unless error? set/any 'value try code [:value]]]",
     {"code", "safer"},
     {"either", "unless", "error?", "set", "try"},
     run_attempt},
};
constexpr uint32_t ENTRY_COUNT = sizeof kEntries / sizeof kEntries[0];

LibraryBody g_bodies[ENTRY_COUNT] = {};

inline uint32_t cells_in(NodeId n) { return node_buffer(n)->used() >> 4; }
inline const Cell& cell_at(NodeId n, uint32_t i) { return node_buffer(n)->cells()[i]; }

// The value the library word has now.
inline const Cell* lib_value(NodeId lib, const Cell& word) { return context::value_at(lib, word.w3); }

inline bool same_bits(const Cell& a, const Cell& b) { return std::memcmp(&a, &b, sizeof(Cell)) == 0; }

// What each word must hold at start-up for the C++ to stand in for it.
bool expected_value(std::string_view name, const Cell& v) {
  if (name == "error?") {
    return v.is(TYPE_ROUTINE) && func::more_cell(v, func::MORE_CODE)->is(TYPE_INTEGER) &&
           uint32_t(func::more_cell(v, func::MORE_CODE)->i2()) == func::routine_find(rtn::error_q::NAME);
  }
  NativeId number = name == "either" ? NAT_EITHER
                    : name == "unless" ? NAT_UNLESS
                    : name == "set"    ? NAT_SET
                    : name == "try"    ? NAT_TRY
                                       : NativeId(0);
  return number && v.is(TYPE_NATIVE) && v.w1 == number;
}

// Whether fn's frame has the entry's frame words at their cells: a spec
// that moved or renamed them leaves the body to the interpreter.
bool frame_matches(const Entry& e, const Cell& fn) {
  for (uint32_t k = 0; k < MAX_FRAME && e.frame[k]; k++)
    if (context::find_word(func::context_of(fn), symbol::make(e.frame[k])) != int32_t(k)) return false;
  return true;
}

// Fills b from fn's body when it is the entry's; false otherwise.
may_gc bool read_body(const Entry& e, const Cell& fn, NodeId lib, LibraryBody* b) {
  if (!frame_matches(e, fn)) return false;
  Cell body = *func::more_cell(fn, func::MORE_BODY);
  if (!body.is(TYPE_BLOCK) || body.index() != 0 || !(node_buffer(body.node())->flags & BUF_LIBRARY)) return false;
  {
    RootedCell keep(body);
    RootedNode text(make_string(128));
    mold_value(*keep, text, MOLD_FLAT);
    if (string_text(text) != e.body) return false;
  }
  *b = LibraryBody{};
  b->run = e.run;
  b->body = body;
  b->lib = lib;
  // Every block and path, and the entry's words in them: each occurrence
  // bound alike, to the library.
  std::vector<NodeId> work{body.node()};
  while (!work.empty()) {
    NodeId n = work.back();
    work.pop_back();
    if (b->nseries == MAX_SERIES) return false;
    if (series_stamp(n) == STAMP_WORN) return false;
    b->series[b->nseries] = n;
    b->stamps[b->nseries++] = series_stamp(n);
    for (uint32_t i = 0; i < cells_in(n); i++) {
      const Cell& c = cell_at(n, i);
      if (is_any_block(c.type())) {
        work.push_back(c.node());
        continue;
      }
      if (!c.is(TYPE_WORD)) continue;
      for (uint32_t w = 0; w < MAX_WORDS && e.words[w]; w++) {
        if (symbol::resolve(c.w2) != symbol::resolve(symbol::make(e.words[w]))) continue;
        if (c.w1 != lib) return false;
        if (b->word[w].is(TYPE_WORD) && (b->word[w].w1 != c.w1 || b->word[w].w3 != c.w3)) return false;
        b->word[w] = c;
      }
    }
  }
  for (uint32_t w = 0; w < MAX_WORDS && e.words[w]; w++) {
    if (!b->word[w].is(TYPE_WORD)) return false;
    const Cell* v = lib_value(lib, b->word[w]);
    if (!v || !expected_value(e.words[w], *v)) return false;
    b->value[w] = *v;
    b->nwords = w + 1;
  }
  for (uint32_t i = b->nseries; i < MAX_SERIES; i++) {
    b->series[i] = b->series[0];
    b->stamps[i] = b->stamps[0];
  }
  for (uint32_t i = 0; i < MAX_SERIES; i++) b->stamp_sum += b->stamps[i];
  for (uint32_t w = b->nwords; w < MAX_WORDS; w++) {
    b->word[w] = b->word[0];
    b->value[w] = b->value[0];
  }
  return true;
}

// attempt's cells: the blocks either chooses from, and 'value as the word
// it evaluates to.
void read_attempt_cells(LibraryBody* b) {
  NodeId n = b->body.node();
  b->extra[A_SAFER_BLOCK] = cell_at(n, 2);
  b->extra[A_PLAIN_BLOCK] = cell_at(n, 3);
  Cell w = cell_at(cell_at(n, 2).node(), 3);
  w.header = TYPE_WORD;
  b->extra[A_VALUE_WORD] = w;
}

}  // namespace

may_gc void install_library_bodies(NodeId lib) {
  if (!lib) return;
  for (uint32_t i = 0; i < ENTRY_COUNT; i++) {
    const Entry& e = kEntries[i];
    int32_t gi = context::find_word(context::g_global, symbol::make(e.name));
    if (gi < 0) continue;
    Cell fn = *context::value_at(context::g_global, uint32_t(gi));
    if (!fn.is(TYPE_FUNCTION) || !(fn.header & func::FN_NO_TRACE)) continue;
    RootedCell keep(fn);
    LibraryBody b;
    if (!read_body(e, *keep, lib, &b)) continue;
    if (e.run == run_attempt) read_attempt_cells(&b);
    g_bodies[i] = b;
    *func::more_cell(*keep, func::MORE_CODE) = integer_cell(int32_t(i + 1));
  }
}

const LibraryBody* library_body_checked(const Cell& fn) {
  const LibraryBody& b = g_bodies[func::more_cell(fn, func::MORE_CODE)->i2() - 1];
  // Stamps only grow while their series lives, so their sum shows any
  // change.
  const uint32_t* stamps = g_node_stamps;
  uint64_t sum = 0;
#pragma GCC unroll 16
  for (uint32_t i = 0; i < MAX_SERIES; i++) sum += stamps[b.series[i]];
  uint64_t changed = sum ^ b.stamp_sum;
  const Cell* values = node_buffer(context::cell(b.lib).w2)->cells();
#if defined(__SSE2__)
  __m128i diff = _mm_setzero_si128();
#pragma GCC unroll 8
  for (uint32_t w = 0; w < MAX_WORDS; w++) {
    __m128i now = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + b.word[w].w3));
    __m128i then = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.value + w));
    diff = _mm_or_si128(diff, _mm_xor_si128(now, then));
  }
  changed |= uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) ^ 0xFFFF);
#else
  for (uint32_t w = 0; w < MAX_WORDS; w++) changed |= !same_bits(values[b.word[w].w3], b.value[w]);
#endif
  if (changed || !same_bits(*func::more_cell(fn, func::MORE_BODY), b.body)) [[unlikely]]
    return nullptr;
  return &b;
}

may_gc Status run_library_body(const LibraryBody& b, Cell* base, Cell* result) { return b.run(b, base, result); }

}  // namespace vel::interp
