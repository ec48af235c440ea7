// block!: the series of value cells in which code and most data live, and
// the low-level block functions that the whole runtime uses to build and
// walk blocks. paren!, the four path types and hash! share the cell:
//
//   header  type id; bit 30 = the value starts a new line when molded
//   w1      index: cells from the buffer head (0 = first)
//   w2      node of a series of 16-byte cells
//   w3      0; for hash! the node of its hash table, kept in step by
//           every edit made here
//
// The rs_ functions neither raise errors nor report changes; they answer
// cell pointers that are valid only until the next allocation, so callers
// that allocate between uses keep indexes and read the cell again.
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel {

// Recursive walks over values (mold, form, compare, copy/deep, clone) count
// their depth here and raise internal/stack-overflow beyond MAX_WALK_DEPTH,
// long before the machine stack runs out. Walks that push the cycle guard
// stop sooner, at its own limit (internal/too-deep).
constexpr uint32_t MAX_WALK_DEPTH = 4000;
extern uint32_t g_walk_depth;
class WalkDepth {
 public:
  WalkDepth();
  ~WalkDepth() { g_walk_depth--; }
  WalkDepth(const WalkDepth&) = delete;
  WalkDepth& operator=(const WalkDepth&) = delete;
};

namespace block {

inline Buffer* buffer(const Cell& b) { return node_buffer(b.node()); }
inline uint32_t total(const Cell& b) { return node_buffer(b.node())->used() >> 4; }

// Cells from the index to the tail, not clamped (negative past the tail).
inline int32_t rs_length(const Cell& b) { return int32_t(int64_t(total(b)) - b.index()); }
// The cell at the index; an index past the tail is first set to the tail.
inline Cell* rs_head(Cell* b) {
  Buffer* buf = buffer(*b);
  uint32_t n = buf->used() >> 4;
  if (b->index() > int32_t(n)) b->w1 = n;
  return buf->cells() + (b->index() < 0 ? 0 : b->index());
}
// Just past the last cell.
inline Cell* rs_tail(const Cell& b) { return buffer(b)->cell_tail(); }
inline bool rs_tail_q(const Cell& b) { return b.index() >= int32_t(total(b)); }
// Index + 1 unless at the tail; true when the new position is the tail.
inline bool rs_next(Cell* b) {
  int32_t n = int32_t(total(*b));
  if (b->index() < n) b->w1++;
  return b->index() >= n;
}
// Cell i from the buffer head, whatever the index.
inline Cell* rs_abs_at(const Cell& b, uint32_t i) { return buffer(b)->cells() + i; }
// Tail := the position.
inline void rs_clear(const Cell& b) {
  Buffer* buf = buffer(b);
  int32_t i = b.index();
  if (i >= 0 && uint32_t(i) < (buf->used() >> 4)) buf->tail = buf->head + uint32_t(i) * 16;
}
// Tail := head + n cells.
inline void rs_clear_from(const Cell& b, uint32_t n) {
  Buffer* buf = buffer(b);
  if (n < (buf->used() >> 4)) buf->tail = buf->head + n * 16;
}

// Appends a copy of v at the tail (the buffer doubles when full); answers
// the new cell's index from the head.
may_gc uint32_t rs_append(NodeId blk, Cell v);
// Appends copies of other's cells from its index to its tail.
may_gc void rs_append_block(NodeId blk, Cell other);
// Drops the last cell; an index left past the tail is set to the tail.
void rs_remove_last(Cell* b);

// The cell after the first cell from the position that equals value
// (find equality), or none when there is no match or the match is last.
Cell rs_select(const Cell& b, const Cell& value);
// The cell after the first word!, set-word!, lit-word! or get-word! with
// the word's symbol (exactly, when strict; else any case variant), or none.
Cell select_word(const Cell& b, const Cell& word, bool strict);

enum class Removed : uint8_t { NOT_FOUND, AFTER_INDEX, AT_OR_BEFORE_INDEX };
// Removes the first cell equal to value, searching from the position (from
// the head with from_head). Says where the removed cell lay against the
// block's index.
may_gc Removed remove_value(const Cell& b, const Cell& value, bool from_head);

// Inserts a copy of value at the position (at the head with at_head),
// growing the buffer to twice what it needs when full; a hash! enters the
// new cell. With advance the index moves past the new cell.
may_gc void insert_value(Cell* b, Cell value, bool advance, bool at_head);
// Inserts every cell of other from its index, in order, advancing.
may_gc void insert_block(Cell* b, Cell other);

// An empty block of type t (index 0) with room for n cells (none for
// n < 1).
may_gc Cell make_at(int64_t n, TypeId t = TYPE_BLOCK);
// An empty block with room for n cells: with fixed its buffer lives outside
// the collected pools for the whole run; otherwise its room is filled with
// unset! cells while its length stays 0.
may_gc Cell preallocate(int64_t n, bool fixed);
// A fixed block of n unset! cells, appended to the parent block when one
// is given (start-up root blocks give 0).
may_gc Cell make_fixed(NodeId parent, int64_t n);

// A new block of b's type (index 0) holding copies of b's cells from its
// position. With deep every nested block! (with all_lists also paren! and
// the paths) is cloned the same way, keeping its header.
may_gc Cell clone(Cell b, bool deep, bool all_lists);

}  // namespace block

// The block actions that other modules call directly.
//
// copy with /part (part non-null), /deep and /types (types non-null: a
// datatype! or typeset!). Raises internal/no-cycle for a deep copy of a
// block that holds itself.
may_gc Cell block_copy(Cell src, const Cell* part, bool deep, const Cell* types);
// A copy of any other value that copy takes, made by its own copy action.
may_gc Cell copy_by_action(const Cell& v, bool deep, const Cell* types);
// The kind argument of a copy frame (act::copy) when the call used /types,
// else null; anything but a datatype! or typeset! is an error.
const Cell* copy_types_arg(Cell* base);
// The cell walk of block and paren molding: new-line markers, indentation
// by four spaces a level, single spaces. Answers the /part budget left.
may_gc int32_t block_mold_each(Cell b, NodeId out, uint32_t flags, const Cell* arg, int32_t part, int32_t indent);
int32_t block_compare(const Cell* a, const Cell* b, int op);

// Whether a typeset! or datatype! value names type t.
bool types_include(const Cell& types, TypeId t);

}  // namespace vel
