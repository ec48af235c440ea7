// The hash table's private pieces, shared by its files: the generic table
// (hashtable.cpp), value hashing (hash_value.cpp), the hash! series' own
// index (hash_series.cpp) and word tables (word_table.cpp).
#pragma once
#include <algorithm>
#include <cstring>

#include "errors.h"
#include "families.h"
#include "hashtable.h"
#include "roots.h"

namespace vel::hash_table::detail {

bool symbol_texts_equal(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, bool fold);

constexpr uint32_t NO_BUCKET = 0xFFFFFFFFu;
constexpr uint32_t NOT_INDEXED = 0xFFFFFFFFu;
constexpr uint32_t FREE_LIST_BIT = 0x80000000u;  // a released duplicate-list slot
constexpr uint64_t MAX_BUCKETS = uint64_t(1) << 28;  // a slot array of 2 GB
constexpr uint32_t SHIFT_LIMIT = 30000;
constexpr uint32_t ENTRY_LIVE = TYPE_UNSET;  // head cell header of a live kind 3/4 entry

inline uint32_t* words_of(NodeId n) { return reinterpret_cast<uint32_t*>(node_buffer(n)->head_ptr()); }
inline uint32_t word_count(NodeId n) { return node_buffer(n)->used() / 4; }
inline Cell* cells_of(NodeId n) { return reinterpret_cast<Cell*>(node_buffer(n)->head_ptr()); }
inline uint32_t cell_count(NodeId n) { return node_buffer(n)->used() / 16; }

inline uint32_t state_at(const uint32_t* st, uint32_t i) { return (st[i >> 4] >> ((i & 15) << 1)) & 3; }
inline void set_state(uint32_t* st, uint32_t i, uint32_t v) {
  uint32_t shift = (i & 15) << 1;
  st[i >> 4] = (st[i >> 4] & ~(3u << shift)) | (v << shift);
}

inline uint32_t state_bytes(uint32_t buckets) { return ((buckets + 15) / 16) * 4; }

// A table that holds node handles of its own arrays is rooted as a hash!
// cell while it is being built: the collector marks such a cell's table
// through mark(), which a plain node root would not.
inline Cell table_root_cell(NodeId table, NodeId block) { return make_cell(TYPE_HASH, 0, block, table); }

inline uint32_t buckets_for(uint64_t request) {
  uint64_t p = 4;
  while (p < request) p <<= 1;
  if (p > MAX_BUCKETS) fire(ErrId::NO_MEMORY);
  return uint32_t(p);
}

inline uint32_t bound_made(uint32_t buckets) { return uint32_t(double(buckets) * 0.77); }
inline uint32_t bound_resized(uint32_t buckets) { return uint32_t(double(buckets) * 0.77 + 0.5); }

may_gc inline NodeId new_states(uint32_t buckets) {
  uint32_t bytes = state_bytes(buckets);
  NodeId n = alloc_series(bytes, 1, 0);
  Buffer* b = node_buffer(n);
  std::memset(b->data(), 0xAA, bytes);
  b->tail = bytes;
  return n;
}

may_gc inline NodeId new_words(uint32_t count, uint8_t fill, uint32_t capacity) {
  NodeId n = alloc_series(std::max(count, capacity), 4, 0);
  Buffer* b = node_buffer(n);
  std::memset(b->data(), fill, size_t(count) * 4);
  b->tail = count * 4;
  return n;
}

// Room for `bytes` more bytes at the tail of a series.
may_gc inline void reserve_bytes(NodeId n, uint32_t bytes) {
  Buffer* b = node_buffer(n);
  if (b->head + uint64_t(b->used()) + bytes <= b->capacity) return;
  uint64_t want = std::max<uint64_t>(uint64_t(b->capacity) * 2, uint64_t(b->used()) + bytes);
  expand_series(n, want);
}

may_gc inline void append_word(NodeId n, uint32_t v) {
  reserve_bytes(n, 4);
  Buffer* b = node_buffer(n);
  std::memcpy(b->tail_ptr(), &v, 4);
  b->tail += 4;
}

may_gc inline uint32_t append_cell(NodeId block, const Cell& c) {
  Cell copy = c;  // c may sit in a buffer that the growth moves
  reserve_bytes(block, 16);
  Buffer* b = node_buffer(block);
  uint32_t index = b->used() / 16;
  std::memcpy(b->tail_ptr(), &copy, 16);
  b->tail += 16;
  return index;
}

// The slot array holds two words per bucket: the key word and beside it
// the key's hash (kinds 3/4: the 32-bit key itself). A probe reads the
// bucket's state and its slot, and reads a key's cell (or text, or entry)
// only when the hashes agree; a resize re-enters keys by the stored hash.
struct View {
  Header* h;
  uint32_t* st;
  uint32_t* slots;
  uint32_t& key(uint32_t b) const { return slots[size_t(b) * 2]; }
  uint32_t& hash(uint32_t b) const { return slots[size_t(b) * 2 + 1]; }
};

inline View view(NodeId t) {
  Header* h = header(t);
  return {h, words_of(h->states), words_of(h->keys)};
}

// Starts the cache misses of a home bucket's state word and slot together.
inline void prefetch_bucket(const View& v, uint32_t b) {
  __builtin_prefetch(&v.st[b >> 4]);
  __builtin_prefetch(&v.slots[size_t(b) * 2]);
}

may_gc inline NodeId new_slots(uint32_t buckets) {
  NodeId n = alloc_series(uint64_t(buckets) * 2, 4, 0);
  Buffer* b = node_buffer(n);
  std::memset(b->data(), 0, size_t(buckets) * 8);
  b->tail = buckets * 8;
  return n;
}

inline bool block_backed(uint32_t kind) { return kind <= KIND_WORDS; }

inline void require_block_backed(NodeId t) {
  if (!t || !block_backed(header(t)->kind)) fire(ErrId::INVALID_ARG);
}
inline void require_int_keyed(NodeId t) {
  if (!t || block_backed(header(t)->kind)) fire(ErrId::INVALID_ARG);
}

// Whether a stored cell answers a search key: same type (a prefix key meets
// any type; a map folds the word types into set-word!) and equal under op.
inline bool key_matches(uint32_t kind, const Cell& stored, const Cell& key, int op) {
  Cell s = stored, k = key;
  if (kind == KIND_MAP) {
    if (is_word_form(s.type())) s.set_type(TYPE_SET_WORD);
    if (is_word_form(k.type())) k.set_type(TYPE_SET_WORD);
  }
  if (k.type() != TYPE_PREFIX_KEY && s.type() != k.type()) return false;
  return key_compare(&s, &k, op) == 0;
}

inline NodeId dup_list(const Header* h, uint32_t k) {
  if (!h->dup_lists || k == 0 || k >= word_count(h->dup_lists)) return 0;
  uint32_t v = words_of(h->dup_lists)[k];
  return (v & FREE_LIST_BIT) ? 0 : v;
}

// The first cell index a bucket's key word names, or NOT_INDEXED.
inline uint32_t first_index(const Header* h, int32_t key) {
  if (key >= 0) return uint32_t(key);
  NodeId list = dup_list(h, uint32_t(-int64_t(key)));
  if (!list || word_count(list) == 0) return NOT_INDEXED;
  return words_of(list)[0];
}

inline uint32_t cellidx_count(const Header* h) { return h->aux ? word_count(h->aux) : 0; }

// Takes bucket b for key word `key` of hash `hash`.
inline void occupy(View v, uint32_t b, uint32_t key, uint32_t hash) {
  if (state_at(v.st, b) == BUCKET_EMPTY) v.h->occupied++;
  set_state(v.st, b, BUCKET_OCCUPIED);
  v.key(b) = key;
  v.hash(b) = hash;
  v.h->live++;
}

// A key's probe sequence: from its home bucket (hash & mask) by triangular
// steps (+1, +2, +3 ...), which over a power-of-two count visits every
// bucket once in `buckets` steps.
struct ProbeSeq {
  uint32_t mask, bucket, step = 0;
  ProbeSeq(const View& v, uint32_t hash) : mask(v.h->buckets - 1), bucket(hash & mask) {}
  void next() { bucket = (bucket + ++step) & mask; }
};

// What a walk of a probe sequence met: the bucket its test accepted, and
// where an insertion of the key goes (the first deleted bucket met, else the
// empty one that ended the walk; NO_BUCKET when a full table had neither).
struct Probe {
  uint32_t found = NO_BUCKET;
  uint32_t free = NO_BUCKET;
};

// Walks the probe sequence of hash `home` until an empty bucket or a full
// turn. test(b) is asked about each occupied bucket, and a true answer ends
// the walk at b. The view's pointers are held throughout: nothing may
// allocate in test.
template <class Test>
inline Probe probe_occupied(View v, uint32_t home, Test&& test) {
  NoGcScope no_gc;
  Probe p;
  ProbeSeq seq(v, home);
  prefetch_bucket(v, seq.bucket);
  for (uint32_t n = v.h->buckets; n > 0; n--, seq.next()) {
    uint32_t b = seq.bucket, s = state_at(v.st, b);
    if (s == BUCKET_EMPTY) {
      if (p.free == NO_BUCKET) p.free = b;
      break;
    }
    if (s == BUCKET_OCCUPIED) {
      if (test(b)) {
        p.found = b;
        break;
      }
    } else if (p.free == NO_BUCKET) {
      p.free = b;
    }
  }
  return p;
}
// As probe_occupied, asking test only about buckets whose stored hash is
// `stored` (the key's hash; kinds 3/4 store the key itself).
template <class Test>
inline Probe probe(View v, uint32_t home, uint32_t stored, Test&& test) {
  return probe_occupied(v, home, [&test, v, stored](uint32_t b) { return v.hash(b) == stored && test(b); });
}
template <class Test>
inline Probe probe(View v, uint32_t hash, Test&& test) {
  return probe(v, hash, hash, test);
}

// The first empty bucket of a hash's probe sequence: where a resize
// re-enters a key it knows to be distinct (no deleted buckets yet).
inline uint32_t first_empty(const View& v, uint32_t hash) {
  ProbeSeq seq(v, hash);
  while (state_at(v.st, seq.bucket) != BUCKET_EMPTY) seq.next();
  return seq.bucket;
}

// hash_series.cpp
may_gc void cover_cells(NodeId t, uint32_t n);
void unindex_hash_cell(NodeId t, uint32_t i);
may_gc void enter_hash_cell(NodeId t, uint32_t i);
void unindex_range_scan(NodeId t, uint32_t from, uint32_t to);

// hashtable.cpp
may_gc void resize(NodeId t, uint64_t request, bool force);
may_gc void grow_if_full(NodeId t);
may_gc void rebuild_sized(NodeId t, uint32_t n);
void reset_buckets(NodeId t);

}  // namespace vel::hash_table::detail
