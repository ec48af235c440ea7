// The hash! series' own index: groups of equal keys in duplicate lists,
// the cell-index array from each cell to its bucket, and the indexes of a
// block-backed table kept in step with edits of its block.
#include <algorithm>
#include <cstring>

#include "errors.h"
#include "hashtable.h"
#include "hashtable_internal.h"
#include "roots.h"

namespace vel::hash_table {

using namespace detail;

namespace {

// --- duplicate lists (kind 0) ----------------------------------------------
// The duplicate-list array holds the head of its free-slot chain in element 0
// and list k's node in element k; a released slot holds FREE_LIST_BIT | next.
may_gc uint32_t new_dup_list(NodeId t, uint32_t a, uint32_t b) {
  RootedNode list(new_words(2, 0, 4));
  uint32_t* w = words_of(list);
  w[0] = a;
  w[1] = b;
  Header* h = header(t);
  uint32_t* d = words_of(h->dup_lists);
  uint32_t free = d[0];
  if (free) {
    d[0] = d[free] & ~FREE_LIST_BIT;
    d[free] = list;
    return free;
  }
  uint32_t k = word_count(h->dup_lists);
  append_word(h->dup_lists, list);
  return k;
}

void release_dup_list(Header* h, uint32_t k) {
  uint32_t* d = words_of(h->dup_lists);
  d[k] = FREE_LIST_BIT | d[0];
  d[0] = k;
}

}  // namespace

namespace detail {

// --- the cell-index array (kind 0) ------------------------------------------

// Makes the cell-index array cover n cells (new ones not indexed).
may_gc void cover_cells(NodeId t, uint32_t n) {
  NodeId ci = header(t)->aux;
  uint32_t have = word_count(ci);
  if (n <= have) return;
  reserve_bytes(ci, (n - have) * 4);
  Buffer* b = node_buffer(ci);
  std::memset(b->tail_ptr(), 0xFF, size_t(n - have) * 4);
  b->tail += (n - have) * 4;
}

// Drops the entry of cell i from a hash! table; no allocation.
void unindex_hash_cell(NodeId t, uint32_t i) {
  Header* h = header(t);
  if (i >= cellidx_count(h)) return;
  uint32_t* ci = words_of(h->aux);
  uint32_t e = ci[i];
  ci[i] = NOT_INDEXED;
  if (e == NOT_INDEXED || e == 0 || e - 1 >= h->buckets) return;
  uint32_t b = e - 1;
  View v = view(t);
  if (state_at(v.st, b) != BUCKET_OCCUPIED) return;
  int32_t key = int32_t(v.key(b));
  if (key >= 0) {
    if (uint32_t(key) != i) return;
  } else {
    uint32_t k = uint32_t(-int64_t(key));
    NodeId list = dup_list(h, k);
    if (!list) return;
    Buffer* lb = node_buffer(list);
    uint32_t n = lb->used() / 4;
    uint32_t* w = words_of(list);
    uint32_t* end = w + n;
    uint32_t* at = std::find(w, end, i);
    if (at == end) return;
    std::memmove(at, at + 1, size_t(end - at - 1) * 4);
    lb->tail -= 4;
    if (n > 1) return;
    release_dup_list(h, k);
  }
  set_state(v.st, b, BUCKET_DELETED);
  h->live--;
}

// Enters block[i] of a hash! table without any growth check.
may_gc void enter_hash_cell(NodeId t, uint32_t i) {
  cover_cells(t, i + 1);
  if (words_of(header(t)->aux)[i] != NOT_INDEXED) unindex_hash_cell(t, i);
  NodeId block = header(t)->block;
  Cell key = cells_of(block)[i];
  uint32_t hv = hash_value(key);
  // Equal keys hash alike: a bucket of another hash holds another group.
  View v = view(t);
  Probe p = probe(v, hv, [&, v](uint32_t b) {
    uint32_t first = first_index(v.h, int32_t(v.key(b)));
    return first < cell_count(block) && first != i && key_matches(KIND_HASH, cells_of(block)[first], key, CMP_EQUAL);
  });
  uint32_t group = p.found, free_b = p.free;
  if (group != NO_BUCKET) {
    int32_t kw = int32_t(view(t).key(group));
    if (kw >= 0) {
      uint32_t k = new_dup_list(t, uint32_t(kw), i);
      view(t).key(group) = uint32_t(-int64_t(k));
    } else {
      append_word(dup_list(header(t), uint32_t(-int64_t(kw))), i);
    }
    words_of(header(t)->aux)[i] = group + 1;
  } else {
    // Occupancy stays below 77 % here, so a free bucket exists; a corrupt
    // table is rebuilt rather than overfilled.
    if (free_b == NO_BUCKET) {
      resize(t, uint64_t(header(t)->buckets) * 2, true);
      return;
    }
    occupy(view(t), free_b, i, hv);
    words_of(header(t)->aux)[i] = free_b + 1;
  }
  Header* h = header(t);
  if (!h->stamp && hashes_by_address(key.type())) h->stamp = node_compactions() + 1;
}

// Drops the entries of cells [from, to) of a map or word table by a bucket
// scan (they have no cell-index array).
void unindex_range_scan(NodeId t, uint32_t from, uint32_t to) {
  View v = view(t);
  NodeId block = v.h->block;
  uint32_t ncells = cell_count(block);
  for (uint32_t b = 0; b < v.h->buckets; b++) {
    if (state_at(v.st, b) != BUCKET_OCCUPIED) continue;
    uint32_t k = v.key(b);
    if (k < from || k >= to) continue;
    set_state(v.st, b, BUCKET_DELETED);
    bool live = v.h->kind != KIND_MAP || (k + 1 < ncells && cells_of(block)[k + 1].header != 0);
    if (live && v.h->live) v.h->live--;
  }
}

}  // namespace detail

namespace {

// Applies f to every stored index of a block-backed table.
template <class F>
void for_each_index(NodeId t, F f) {
  View v = view(t);
  for (uint32_t b = 0; b < v.h->buckets; b++) {
    if (state_at(v.st, b) != BUCKET_OCCUPIED) continue;
    int32_t key = int32_t(v.key(b));
    if (key >= 0) {
      v.key(b) = f(uint32_t(key));
    } else if (NodeId list = dup_list(v.h, uint32_t(-int64_t(key)))) {
      uint32_t* w = words_of(list);
      for (uint32_t i = 0, n = word_count(list); i < n; i++) w[i] = f(w[i]);
    }
  }
}

// Adds shift to every stored index >= position; see shift_indexes.
may_gc void shift_all(NodeId t, uint32_t position, int32_t shift) {
  if (shift == 0) return;
  Header* h = header(t);
  bool hash = h->kind == KIND_HASH;
  if (shift < 0) {
    uint32_t m = uint32_t(-int64_t(shift));
    if (position < m) fire(ErrId::OUT_OF_RANGE);
    // Entries still held for the removed cells would name wrong cells.
    if (hash) {
      for (uint32_t i = position - m; i < position; i++) unindex_hash_cell(t, i);
    } else {
      unindex_range_scan(t, position - m, position);
    }
  } else if (hash && position < cellidx_count(h)) {
    cover_cells(t, cellidx_count(h) + uint32_t(shift));  // room first: it may allocate
    Buffer* cb = node_buffer(header(t)->aux);
    cb->tail -= uint32_t(shift) * 4;
  }
  h = header(t);
  // A hash! indexes only cells its cell-index array covers, so nothing at or
  // past the array's end needs renumbering: appending stays O(1) instead of
  // walking every bucket.
  if (!hash || position < cellidx_count(h))
    for_each_index(t, [&](uint32_t x) { return x >= position ? uint32_t(int64_t(x) + shift) : x; });
  if (!hash) return;
  h = header(t);
  uint32_t count = cellidx_count(h);
  if (position >= count) {
    if (shift < 0) {
      // Only cells past the array's end moved; cut it at the first removed one.
      uint32_t keep = std::min(count, position - uint32_t(-int64_t(shift)));
      Buffer* cb = node_buffer(h->aux);
      cb->tail = cb->head + keep * 4;
    }
    return;
  }
  Buffer* cb = node_buffer(h->aux);
  uint32_t* ci = words_of(h->aux);
  if (shift > 0) {
    std::memmove(ci + position + shift, ci + position, size_t(count - position) * 4);
    std::memset(ci + position, 0xFF, size_t(shift) * 4);
    cb->tail += uint32_t(shift) * 4;
  } else {
    uint32_t m = uint32_t(-int64_t(shift));
    std::memmove(ci + position - m, ci + position, size_t(count - position) * 4);
    cb->tail -= m * 4;
  }
}

}  // namespace

may_gc void remove_range(NodeId t, uint32_t position, uint32_t n) {
  require_block_backed(t);
  refresh(t);
  if (n == 0) return;
  Header* h = header(t);
  uint32_t ncells = std::max(cell_count(h->block), h->kind == KIND_HASH ? cellidx_count(h) : 0u);
  if (position == 0 && n >= ncells) {
    reset_buckets(t);
    if (h->kind == KIND_HASH) node_buffer(h->aux)->tail = node_buffer(h->aux)->head;
    return;
  }
  uint64_t end = std::min<uint64_t>(uint64_t(position) + n, ncells);
  if (position >= end) return;
  shift_all(t, uint32_t(end), -int32_t(end - position));
}

may_gc int shift_indexes(NodeId t, uint32_t position, int32_t shift) {
  require_block_backed(t);
  refresh(t);
  // The cells the table knows: a hash! records them in its cell-index array,
  // which the caller's insertion or removal has not changed yet.
  Header* h = header(t);
  uint32_t ncells = h->kind == KIND_HASH ? cellidx_count(h) : cell_count(h->block);
  if (position < ncells && ncells - position > SHIFT_LIMIT) return 1;
  shift_all(t, position, shift);
  return 0;
}

may_gc void move_indexes(NodeId t, uint32_t from, uint32_t to, uint32_t count) {
  require_block_backed(t);
  refresh(t);
  Header* h = header(t);
  uint32_t ncells = std::max(cell_count(h->block), h->kind == KIND_HASH ? cellidx_count(h) : 0u);
  if (uint64_t(from) + count > ncells || uint64_t(to) + count > ncells) fire(ErrId::OUT_OF_RANGE);
  if (count == 0 || from == to) return;
  if (h->kind == KIND_HASH) cover_cells(t, ncells);
  for_each_index(t, [&](uint32_t x) -> uint32_t {
    if (x >= from && x < from + count) return x - from + to;
    if (to < from && x >= to && x < from) return x + count;
    if (to > from && x >= from + count && x < to + count) return x - count;
    return x;
  });
  h = header(t);
  if (h->kind != KIND_HASH) return;
  uint32_t* ci = words_of(h->aux);
  if (to < from) std::rotate(ci + to, ci + from, ci + from + count);
  else std::rotate(ci + from, ci + from + count, ci + to + count);
}

}  // namespace vel::hash_table
