// The actions shared by every series type (series!, type 42), and the
// position rules they all follow.
//
// A series value holds an index (elements from the buffer head) and a node.
// The functions here work on element bytes and the buffer's unit, so one
// function serves cells (unit 16), characters (1, 2, 4) and bytes; only
// pick, poke and random/only turn an element into a value, by the kind of
// the series' datatype.
//
// Position rules: an index below 0 counts as 0; an index past the tail is
// written back as the tail by the length rule (series_length), which every
// action that defaults to "up to the tail" uses. Index arithmetic is 64-bit,
// so no integer argument can overflow it.
#pragma once
#include <cstdint>

#include "frame.h"
#include "families.h"
#include "cell.h"
#include "datatypes/registry.h"
#include "memory.h"

namespace vel {

// Element access for series whose elements are neither cells, characters
// nor bytes. get answers the element at abs_index (from the buffer head) as
// a value; put stores a value there, raising script/invalid-arg for a value
// the series cannot hold.
struct ElementAccess {
  Cell (*get)(const Cell& series, uint32_t abs_index);
  may_gc void (*put)(const Cell& series, uint32_t abs_index, const Cell& value);
};
void set_element_access(TypeId t, ElementAccess access);

// The refinements of find and select, for every series type; a null
// pointer is a refinement not used. Wildcards (/any, /with) are not
// offered: the action entries refuse them with internal/not-done.
struct FindOptions {
  const Cell* part = nullptr;  // /part: a count or a position in the series
  bool only = false;           // /only: no effect on strings
  bool case_sensitive = false; // /case
  bool same = false;           // /same: as /case for characters
  const Cell* skip = nullptr;  // /skip: an integer! record size, at least 1
  bool last = false;
  bool reverse = false;
  bool tail = false;
  bool match = false;
};

// The options of a find or select frame: series value /part length /only
// /case /same /any /with wild /skip size /last /reverse, then for find
// /tail /match (with_tail_match).
FindOptions find_options(const Cell* base, bool with_tail_match);

// The actions a series type takes from series!: moving, reading and
// writing by position, and the owner of a series.
inline constexpr ActionId kFromSeries[] = {ACT_RANDOM, ACT_REFLECT, ACT_AT,       ACT_BACK, ACT_CLEAR, ACT_HEAD,
                                           ACT_HEAD_Q, ACT_INDEX_Q, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT,  ACT_PICK,
                                           ACT_POKE,   ACT_REMOVE,  ACT_REVERSE,  ACT_SKIP, ACT_TAIL,  ACT_TAIL_Q,
                                           ACT_MODIFY};

// --- positions -----------------------------------------------------------

inline uint32_t series_total(const Cell& s) { return node_buffer(s.node())->length(); }
// The index with a negative one counted as 0.
inline int64_t series_index(const Cell& s) { return s.index() < 0 ? 0 : s.index(); }

// Elements from the position to the tail. An index past the tail is
// written back into *s as the tail (the length is then 0).
int32_t series_length(Cell* s);
// The same length without writing anything back.
inline int32_t series_length_of(const Cell& s) {
  int64_t total = series_total(s), i = series_index(s);
  return i >= total ? 0 : int32_t(total - i);
}
// Whether the position is at or past the tail.
inline bool series_at_tail(const Cell& s) { return s.index() >= int32_t(series_total(s)); }
// Moves the index by n (n >= 0) when the new position is not past the tail;
// answers true when the requested position is at or past the tail.
bool series_rs_skip(Cell* s, int32_t n);

// The index argument of pick and poke as an element count: an integer! its
// value, a char! its code, true 1 and false 2, any other value 0.
int32_t pick_index_arg(const Cell& arg);

// --- element values ------------------------------------------------------------

// The element at abs_index (from the buffer head) as a value.
Cell series_element(const Cell& s, uint32_t abs_index);
// Stores a value at abs_index, widening a string for a wider character and
// keeping a hash! table in step. Raises script/invalid-arg when the series
// cannot hold the value.
may_gc void series_store(const Cell& s, uint32_t abs_index, const Cell& value);

// The element index that pick and poke address, or -1 outside the series.
int64_t picked_index(const Cell& s, int64_t n);
// pick: the element n places from the position (n > 0: n - 1 after it;
// n < 0: -n before it), none for 0 or outside the series.
Cell series_pick(const Cell& s, int64_t n);
// poke: raises script/out-of-range (n as integer!) outside the series.
may_gc void series_poke(const Cell& s, int64_t n, const Cell& value);

// --- workers shared with the block and string actions ------------------------

// copy: a new series of the source's datatype (and new-line marker), index
// 0, with the elements from the position or the /part range. part is null
// when /part is not used.
may_gc Cell series_copy(const Cell& s, const Cell* part);

// take: removes and answers a new series (the source's datatype, index 0)
// of the taken elements, or none when the source has none from its position.
// part is null when /part is not used.
may_gc Cell series_take(Cell* s, const Cell* part, bool last);

// Raises script/invalid-refine-arg with the refinement (its name without
// the slash) and its argument.
[[noreturn]] void fire_refine_arg(const char* refinement, const Cell& arg);

// The range of a value's own elements (total of them) that a /part count
// or position selects, the value's index clamped first: the start and the
// count. False when nothing is taken: a count of 0, or a negative count at
// the value's head. A part of another kind raises invalid-refine-arg.
bool part_range(const Cell& value, const Cell& part, int64_t total, int64_t* start, int64_t* count);

// --- the action entries (frame layouts at their definitions) ----------------

Status series_at(Cell* base);
Status series_skip(Cell* base);
Status series_back(Cell* base);
Status series_next(Cell* base);
Status series_head(Cell* base);
Status series_tail(Cell* base);
Status series_head_q(Cell* base);
Status series_tail_q(Cell* base);
Status series_index_q(Cell* base);
Status series_length_q(Cell* base);
Status series_pick_action(Cell* base);
Status series_poke_action(Cell* base);
Status series_clear(Cell* base);
Status series_remove(Cell* base);
Status series_reverse(Cell* base);
Status series_move(Cell* base);
Status series_copy_action(Cell* base);
Status series_take_action(Cell* base);
Status series_reflect(Cell* base);
Status series_modify(Cell* base);

}  // namespace vel
