// Cycle guard for recursive walks over values, and character display width.
//
// A block can hold itself and an object can refer back to itself. Every
// recursive walk (form, mold, deep copy, compare, serialisation, binding,
// ownership) pushes the key of the value it enters: the series node, or the
// context node for objects. Form and mold then print a short marker where a
// value recurs instead of walking it again.
//
// The stack holds CYCLE_STACK_SIZE entries; reaching that depth empties it
// and raises internal/too-deep, so the next walk starts clean. The
// evaluator empties it when it resets its stacks, so nothing stale survives
// an error. The entries are node handles: a collector that relocates nodes
// rewrites them through cycles_keys().
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "cell.h"
#include "memory.h"

namespace vel {

constexpr uint32_t CYCLE_STACK_SIZE = 1000;

// The key a value is walked under: the context node for object!, error! and
// port!, else the node in data word 2.
NodeId cycle_key(const Cell& v);

// Stores key on top; when the stack is then full it is emptied and
// internal/too-deep is raised.
void cycles_push(NodeId key);
// Removes the top entry when there is one.
void cycles_pop();
// Removes n entries (all there are when fewer).
void cycles_drop(uint32_t n);
void cycles_reset();
bool cycles_find(NodeId key);
uint32_t cycles_depth();
// The live entries, for the collector.
std::span<NodeId> cycles_keys();

// The marker printed where v recurs: with mold "[...]" for block!/hash!,
// "(...)" for paren!, "#[...]" for map!, "make object! [...]" for object!
// and "..." for the path types, nothing for other types; form always "...".
std::string_view cycle_marker(TypeId type, bool mold);

// When v (a value that can hold others) has its key on the stack already:
// appends v's marker to the string
// series `out`, subtracts its length from *part and answers true. Else
// false, with nothing changed.
may_gc bool cycles_detect(const Cell& v, NodeId out, int32_t* part, bool mold);

// Pushes on construction, pops on scope exit (errors included).
class CycleScope {
 public:
  explicit CycleScope(NodeId key) { cycles_push(key); }
  ~CycleScope() { cycles_pop(); }
  CycleScope(const CycleScope&) = delete;
  CycleScope& operator=(const CycleScope&) = delete;
};

// ---------------------------------------------------------------------------
// Display width of a character in a terminal cell grid (wcwidth): 0 for NUL
// and combining/format characters, 2 for wide East Asian characters, else 1
// (control characters included). The CJK variant also counts characters of
// ambiguous width as 2.

struct CodeRange {
  uint32_t first, last;
};

int char_width(uint32_t cp);
int char_width_cjk(uint32_t cp);
// Whether cp lies in one of the ascending (first, last) ranges.
bool in_ranges(uint32_t cp, const CodeRange* table, size_t count);

namespace detail {
extern const CodeRange kZeroWidth[];
extern const uint32_t kZeroWidthCount;
extern const CodeRange kWide[];
extern const uint32_t kWideCount;
extern const CodeRange kAmbiguous[];
extern const uint32_t kAmbiguousCount;
}  // namespace detail

}  // namespace vel
