// The runtime's hash table: one open-addressing table in five kinds.
//
// It serves the symbol table, every context's word table, hash! and map!,
// find/select on those, the ownership table and the VELBIN encoder. A table
// is named by the node of a byte series holding a Header; every array it
// uses is a series too, so the collector moves tables like any other data.
//
//   kind 0 hash!      keys are the cells of a backing block; equal keys share
//                     one bucket through a duplicate list
//   kind 1 map!       keys are every second cell of the backing block
//   kind 2 words      symbol table and context word tables (cells of the
//                     backing block: symbol! or word cells)
//   kind 3 integer    32-bit keys (plain integers, or node handles) with
//                     value cells in an entry block
//   kind 4 ownership  as kind 3, keyed by series nodes
//
// Buckets hold 2-bit states, 16 to a word (2 empty, 1 deleted, 0 occupied),
// over a power-of-two count, probed with triangular steps. A table grows
// before an insertion that finds 77 % of its buckets occupied. Each bucket's
// slot keeps the key's hash beside its key word (kinds 3/4: the key itself
// beside the entry offset), so probes skip keys of another hash without
// reading their cells, texts or entries, and a resize re-enters keys by it.
//
// Indexes of key cells are 0-based positions from the backing block's
// buffer head (not from a series value's index).
//
// GC: every function marked may_gc can move buffers. Answers that are Cell
// pointers stay valid only until the next allocation; indexes stay valid
// until the block changes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cell.h"
#include "compare_ops.h"
#include "memory.h"

namespace vel {

// --- collector interface ----------------------------------------------------

// Collections that moved nodes. The collector increments it after a node-pool
// evacuation; tables that hash node handles rebuild on their next use.
extern uint32_t g_node_compaction_count;
inline uint32_t node_compactions() { return g_node_compaction_count; }

namespace hash_table {

enum Kind : uint32_t { KIND_HASH = 0, KIND_MAP = 1, KIND_WORDS = 2, KIND_INT = 3, KIND_OWNERSHIP = 4 };

// The entry of an ownership table (KIND_OWNERSHIP, keyed by series node):
// the owned value, the object that owns it (its context is the cell's w1)
// and the field word it is held under.
enum OwnershipCell : uint32_t { OWNED_VALUE, OWNED_BY, OWNED_AS, OWNERSHIP_CELLS };

// Bucket states.
constexpr uint32_t BUCKET_OCCUPIED = 0;
constexpr uint32_t BUCKET_DELETED = 1;
constexpr uint32_t BUCKET_EMPTY = 2;

// The pseudo type of a search key that is a string prefix: it matches a
// stored cell of any type and hashes only w3 characters when w3 >= 0.
constexpr uint8_t TYPE_PREFIX_KEY = 56;
static_assert(TYPE_PREFIX_KEY < TYPE_COUNT);

// The data of a table's header series: eleven 32-bit words.
struct Header {
  uint32_t live;          // keys present
  uint32_t aux;           // kind 0: node of the cell-index array; kinds 3/4: entry size in
                          // bytes; kinds 1/2: 0
  NodeId dup_lists;       // kind 0: node of the duplicate-list array
  NodeId states;          // node of the bucket-state array
  NodeId keys;            // node of the slot array: per bucket the key word, then the key's
                          // hash (kinds 3/4: the entry's byte offset, then the key)
  NodeId block;           // backing block (kinds 0-2) or entry block (kinds 3/4)
  uint32_t occupied;      // live plus deleted buckets
  uint32_t buckets;       // a power of two, at least 4
  uint32_t bound;         // grow when occupied reaches it
  uint32_t kind;
  uint32_t stamp;         // 0, or node_compactions() + 1 at the last (re)build
};
static_assert(sizeof(Header) == 44, "a table header is eleven words");

inline Header* header(NodeId table) { return reinterpret_cast<Header*>(node_buffer(table)->head_ptr()); }

// --- hashing ----------------------------------------------------------------

// MurmurHash3's 32-bit finaliser.
inline uint32_t fmix32(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

// MurmurHash3 x86_32.
uint32_t murmur3(const void* data, size_t len, uint32_t seed);

// The process-wide seed. Start-up sets it once from the secure random
// source, before any table exists: every stored bucket depends on it. Tests
// may set it explicitly around work that makes no table.
uint32_t seed();
void set_seed(uint32_t s);
// Seeds from platform::secure_random. Answers false when the source failed;
// the seed is then mixed from the clock and addresses, which is weaker, and
// the caller decides whether to go on.
[[nodiscard]] bool init_seed();

// MurmurHash3 of bytes with the process seed.
inline uint32_t hash_bytes(const void* data, size_t len) { return murmur3(data, len, seed()); }
// Integers, node handles and symbol ids: the finaliser over the seeded key.
inline uint32_t hash_int(uint32_t k) { return fmix32(k ^ seed()); }
// A symbol text: MurmurHash3 of the UTF-8 bytes with A-Z lowered.
uint32_t hash_symbol_text(const uint8_t* text, size_t len);
// A string value (any string type, or a prefix key): one 32-bit block per
// code point from the cell's index to the tail, case-folded unless asked.
uint32_t hash_string(const Cell& s, bool case_sensitive);
// The hash of a value by its type. Tables always hash case-folded: the
// comparison mode only decides equality, so case-sensitive and insensitive
// look-ups walk the same bucket sequence.
uint32_t hash_value(const Cell& v, bool case_sensitive = false);
// Types whose hash is a node handle or code id: a hash! holding one of them
// must rebuild after the collector renumbers nodes.
bool hashes_by_address(uint8_t type);
// Whether a stored cell answers a search key under op, as a hash! probe
// decides: the same type (a prefix key meets any) and equal by the compare
// hook. Keys that answer have the same hash_value.
bool key_equal(const Cell& stored, const Cell& key, int op);

// --- key text and equality --------------------------------------------------

// The UTF-8 text of a symbol! cell: the byte series in its w3. Answers
// false when it has none.
bool symbol_cell_text(const Cell* symbol_cell, const uint8_t** text, uint32_t* length);

// Key equality for every table: 0 when equal under op, else non-zero (-2
// not comparable). Integers, chars and logic by data word, floats by value
// so -0.0 == 0.0, strings by content (case-folded unless op is
// CMP_STRICT_EQUAL or CMP_CASE_SORT), words by symbol, anything else by
// its 16 bytes. Called with cells of the same type, except that a prefix
// key (type 56) meets any type. Never allocates.
int key_compare(const Cell* a, const Cell* b, int op);


// --- tables ------------------------------------------------------------------

// A new table for `size` keys. For kinds 0-2 `block` is the backing block
// (0 makes a new one of `size` cells); its cells are indexed from the head
// (every second cell for a map). Kinds 3/4 make their entry block and keep
// `value_cells` cells per entry; `node_keys` says that a kind 3 table's keys
// are node handles (always so for kind 4): they are then marked and the
// table rehashes after node compaction.
may_gc NodeId make(uint32_t size, NodeId block, Kind kind, uint32_t value_cells = 0, bool node_keys = false);

// Status of put: PUT_REBUILT when a hash! table was rebuilt from its block
// instead (the rebuild already holds the key and every cell after it).
enum PutStatus : int { PUT_DONE = 0, PUT_REBUILT = 2 };

// Enters block[index] (kinds 0-2). A hash! joins an equal key's duplicate
// list; a map or word table takes over the bucket of a strictly equal key.
[[nodiscard]] may_gc PutStatus put_status(NodeId table, uint32_t index);
may_gc void put(NodeId table, uint32_t index);

// Search for find/select (kinds 0-2): the index of a matching key cell, or
// -1. The key's type must equal the stored cell's (a prefix key matches
// any); a map compares the word types as set-word!. For a hash! with equal
// keys: forwards, the smallest index >= start whose distance from start is a
// multiple of skip; backwards (last or reverse), the largest index < start
// whose distance from start - 1 is a multiple of skip. Other kinds ignore
// start, skip and direction.
may_gc int32_t get(NodeId table, const Cell& key, int32_t start = 0, int32_t skip = 1, int op = CMP_EQUAL,
                   bool last = false, bool reverse = false);

// Continues the probe sequence of key (kinds 1 and 2): the next bucket after
// *pos (-1 to start) whose cell equals key under CMP_EQUAL. Answers its index
// and updates *pos, *start_bucket and *step, or -1 at an empty bucket or
// when the sequence is back at its start.
may_gc int32_t find_next(NodeId table, const Cell& key, int32_t* pos, uint32_t* start_bucket, uint32_t* step);

// Removes the entry of block[index]. A map only marks the pair removed: the
// value cell's header becomes 0 and the live count falls (revive() undoes).
may_gc void remove(NodeId table, uint32_t index);
// A map pair removed by remove() holds a value again.
void revive(NodeId table);

// Kinds 3/4. put_int answers the entry's first value cell (all unset! for a
// new entry; an existing key keeps its cells). delete_int answers the dead
// entry's cells or null; the entry stays in the entry block until the next
// resize drops it. Pointers are valid until the next allocation.
may_gc Cell* put_int(NodeId table, uint32_t key);
may_gc Cell* get_int(NodeId table, uint32_t key);
may_gc Cell* delete_int(NodeId table, uint32_t key);

// Walks the live entries of a kind 3/4 table in entry-block order; an entry
// for which `keep` answers false is deleted as by delete_int. `keep` must not
// allocate. The collector sweeps the ownership table with it.
using KeepEntry = bool (*)(void* ctx, uint32_t key, Cell* values);
void for_each_entry(NodeId table, KeepEntry keep, void* ctx);

// Empties a block-backed table and enters every key of its block again,
// sized for max(n, block length) keys.
may_gc void rebuild(NodeId table, uint32_t n);
// Enters the block's cells from `start` on: step 1 for hash! and word tables;
// step 2 for a map, which folds a repeated key (strictly equal) into the
// earlier pair: the later value overwrites it and the later pair leaves the
// block. Cells from `start` on must not be indexed yet.
may_gc void index_block(NodeId table, uint32_t start, uint32_t step);
// A copy of the table with every array duplicated, over new_block (0 copies
// the backing or entry block too).
may_gc NodeId copy(NodeId table, NodeId new_block);
// Empties the table and its backing or entry block.
void clear(NodeId table);
// Removes the entries of n cells from position and moves the indexes of the
// cells after them down by n (the cells are leaving the block). All cells:
// the table is emptied (the block is left alone).
may_gc void remove_range(NodeId table, uint32_t position, uint32_t n);
// After `shift` cells were inserted at position (shift > 0) or removed
// before it (shift < 0), adds shift to every stored index >= position. More
// than 30,000 cells known to the table from position on answers 1 and
// changes nothing: the caller rebuilds. Entries still held for removed cells
// are dropped first.
[[nodiscard]] may_gc int shift_indexes(NodeId table, uint32_t position, int32_t shift);
// After the cells [from, from + count) were moved so that they start at `to`
// in the changed block (the cells between shift over them), renumbers every
// stored index so that it names the same cell.
may_gc void move_indexes(NodeId table, uint32_t from, uint32_t to, uint32_t count);

// Number of cells the table knows (block length; kinds 3/4: live entries).
uint32_t live_count(NodeId table);

// --- word tables (kind 2) ------------------------------------------------------

// Context word tables: cells of the backing block are word cells {header,
// context, symbol (w2), index (w3)}. Probes by the canonical symbol. With
// `canonical` a word matches when its canonical symbol equals the symbol's,
// else when its symbol is exactly this one. Answers the index when found.
// Absent: with `add` null answers -1; else appends a copy of *add with w2 =
// symbol and w3 = the new index, answers -1 and stores that index in
// *index_out.
may_gc int32_t find_or_add_word(NodeId table, uint32_t symbol, bool canonical, const Cell* add,
                                int32_t* index_out);

// The symbol table: cells of the backing block are symbol! cells, hashed by
// their case-folded text. `exact` interns a written form of its own (a new
// case variant gets the canonical symbol's index as alias); otherwise the
// index of any case variant is the answer. `text` must not point into a
// series buffer: growing the table may move buffers before it is read.
struct InternResult {
  uint32_t index;  // of the symbol's cell in the block
  bool added;
};
// Makes the cell of a new symbol; alias is the index of its canonical symbol
// or -1 when it is canonical itself. May allocate (the text series).
using MakeSymbolCell = may_gc Cell (*)(void* ctx, const uint8_t* text, uint32_t length, int32_t alias);
may_gc InternResult intern_symbol(NodeId table, const uint8_t* text, uint32_t length, bool exact,
                                  MakeSymbolCell make_cell, void* ctx);

// --- collector -----------------------------------------------------------------

// What a referenced node is: a buffer private to the table, or a series whose
// cells are values (the backing or entry block, a node key of kind 3/4).
enum class Ref : uint8_t { Owned, Values };
// Called for each node slot; the callback may rewrite *slot (relocation) but
// must not allocate.
using Visitor = void (*)(void* ctx, NodeId* slot, Ref what);

// Reports the table's own node, then every node it references: the arrays
// (and each duplicate list), the node keys of live kind 3/4 entries, and last
// the backing or entry block. Marking, relocation and heap verification all
// walk a table through this.
void mark(NodeId* table, Visitor visit, void* ctx);

// Rebuilds a table whose stamp is out of date (node compaction happened),
// unless a collection is running. Every operation above does this first.
may_gc void refresh(NodeId table);

}  // namespace hash_table
}  // namespace vel
