// Change reports to the owners of series.
//
// An object that defines on-deep-change* is told when a series held in one
// of its fields is modified in place. Every modifying series action reports
// twice: before the change (the answer says whether an owner was told) and
// after it. The ownership table that answers these reports lives in
// ownership.cpp.
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel {

// The action words of the reports, in before/after pairs. The table maps
// them to their words when it calls the owner.
#define VEL_CHANGE_WORDS(X)                                                                \
  X(RANDOM, "random") X(RANDOMIZED, "randomized") X(MOVE, "move") X(MOVED, "moved")         \
  X(CLEAR, "clear") X(CLEARED, "cleared") X(POKE, "poke") X(POKED, "poked")                 \
  X(REMOVE, "remove") X(REMOVED, "removed") X(REVERSE, "reverse") X(REVERSED, "reversed")   \
  X(TAKE, "take") X(TAKEN, "taken") X(PUT, "put") X(PUT_ED, "put-ed") X(SORT, "sort")       \
  X(SORTED, "sorted") X(APPEND, "append") X(APPENDED, "appended") X(INSERT, "insert")       \
  X(INSERTED, "inserted") X(CHANGE, "change") X(CHANGED, "changed") X(SWAP, "swap")         \
  X(SWAPED, "swaped") X(TRIM, "trim") X(TRIMMED, "trimmed")

enum class ChangeWord : uint8_t {
#define VEL_X(cname, name) cname,
  VEL_CHANGE_WORDS(VEL_X)
#undef VEL_X
};

// The image! cell carries its owned flag itself; other series carry it in
// their buffer.
constexpr uint32_t CELL_IMAGE_OWNED = 1u << 16;

// Whether a series value may have an owner: the fast test before a report.
inline bool series_flagged_owned(const Cell& series) {
  if (series.is(TYPE_IMAGE)) return series.header & CELL_IMAGE_OWNED;
  NodeId n = series.node();
  return n && (node_buffer(n)->flags & BUF_OWNED);
}

// Tells the series' owner (its on-deep-change* runs, so anything may
// happen) and answers true when there was one to tell.
may_gc bool ownership_check(const Cell& series, ChangeWord action, const Cell& value, int32_t index,
                            int32_t count);

// The report as every modifying action makes it: free for a series that
// no object owns.
inline may_gc bool report_change(const Cell& series, ChangeWord action, const Cell& value, int32_t index,
                                 int32_t count) {
  return series_flagged_owned(series) && ownership_check(series, action, value, index, count);
}

// The owner recorded for a series node (the object) into *owner, or false.
may_gc bool ownership_get_owner(NodeId series, Cell* owner);
// The field word recorded with a series node into *word, or false.
may_gc bool ownership_get_word(NodeId series, Cell* word);
// Records owner and field word for the value and what is nested in it; the
// first owner of a series keeps it.
may_gc void ownership_bind(const Cell& value, const Cell& owner, const Cell& field_word);
// Binds what every field of the object holds to it (each under its own
// field word) and sets the owns-series flag of its context.
may_gc void ownership_bind_owner(const Cell& owner);
// Removes the ownership of the value and of what is nested in it.
may_gc void ownership_unbind(const Cell& value);

// The table: a kind 4 hash table keyed by series node (an object's context
// node), three value cells per entry {owned value, owner object, field
// word}; 0 until the first binding makes it, which registers it with the
// collector as a weak table (roots.h): an entry lives only while its series
// and its owner's context do.
NodeId ownership_table();

}  // namespace vel
