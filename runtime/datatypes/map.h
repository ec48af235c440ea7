// map!: key/value pairs in the order their keys were first stored, found
// through a hash table of kind map (hashtable.h).
//
//   header  type 40
//   w1      0
//   w2      node of the backing block: key and value cells alternate
//   w3      node of the hash table over that block
//
// A removed pair stays in the block: its value cell's header becomes 0 and
// the table's live count falls. Every walk skips such pairs, and storing
// under the key again revives the pair in place, so the order of keys never
// changes. Keys are normalised when stored: the four word types become
// set-word!, text keys are copied (later edits of the caller's text cannot
// change a stored key), scalar keys are kept.
//
// hash!: a block! whose w3 holds a hash table of kind hash over its cells,
// kept in step by every block edit, so find and select are look-ups.
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel::map {

// Whether values of the type may be keys (also the lexer's test for map
// literals).
bool valid_key(TypeId t);

// Normalises a key cell held by C++ (not in a series) before it is stored.
// A type that may not be a key raises script/invalid-path with `where` (the
// path or entry being evaluated) and the key's datatype.
may_gc void preprocess_key(Cell* key, const Cell& where);

// Live entries.
uint32_t rs_length(const Cell& m);

// A map over `block` (its cells from the head: pairs; a repeated key gives
// its later value to the earlier pair and leaves the block), or over a new
// empty block of `size` cells when block is 0. The keys must be valid.
may_gc Cell make_at(NodeId block, uint32_t size);

// The value stored under key (case-sensitive with cs), or none.
may_gc Cell get(const Cell& m, const Cell& key, bool cs);
// Stores value under key: a found key (revived when removed) takes the
// value, an absent one is normalised and appended. Answers the value.
may_gc Cell store(const Cell& m, const Cell& key, const Cell& value, bool cs, const Cell& where);

// extend: the key/value pairs of a block (from its index; an odd count
// raises script/invalid-arg) or of another map, stored in order.
may_gc void extend(const Cell& m, const Cell& spec, bool cs);
// The natives of maps: extend.
void register_natives();

// reflect with `words`, `values` or `body` (by canonical symbol): a new
// block; removed pairs are left out. Any other field: internal/not-done.
may_gc Cell reflect(const Cell& m, uint32_t field);

}  // namespace vel::map
