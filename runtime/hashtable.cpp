// The runtime's hash table. See hashtable.h for the model.
//
// Every array lives in a series. Code here re-reads Buffer pointers after
// anything that allocates and roots the nodes it has made but not yet stored
// in a reachable place; node handles never change, only buffers move.
#include "hashtable.h"

#include <algorithm>
#include <cstring>

#include "collector.h"
#include "errors.h"
#include "hashtable_internal.h"
#include "roots.h"

namespace vel {

uint32_t g_node_compaction_count = 0;

namespace hash_table {

using namespace detail;

bool key_equal(const Cell& stored, const Cell& key, int op) { return key_matches(KIND_HASH, stored, key, op); }

namespace detail {

// Enters block[i] of a map or word table; a strictly equal key's bucket is
// taken over. No growth check.
may_gc void enter_unique(NodeId t, uint32_t i) {
  Header* h = header(t);
  NodeId block = h->block;
  uint32_t kind = h->kind;
  Cell key = cells_of(block)[i];
  uint32_t hv = hash_value(key);
  View v = view(t);
  // The cell's own bucket ends the walk; strictly equal keys hash alike,
  // so only the same hash is compared.
  Probe p = probe_occupied(v, hv, [&, v](uint32_t b) {
    uint32_t k = v.key(b);
    return k == i || (v.hash(b) == hv && k < cell_count(block) &&
                      key_matches(kind, cells_of(block)[k], key, CMP_STRICT_EQUAL));
  });
  if (p.found != NO_BUCKET) {
    v.key(p.found) = i;
    return;
  }
  if (p.free == NO_BUCKET) {
    resize(t, uint64_t(header(t)->buckets) * 2, true);
    enter_unique(t, i);
    return;
  }
  occupy(view(t), p.free, i, hv);
}

// Finds the bucket of a 32-bit key in a kind 3/4 table, or NO_BUCKET; *slot
// gets the bucket an insertion would take.
uint32_t probe_int(NodeId t, uint32_t key, uint32_t* slot) {
  // The slot holds the key itself beside the entry's offset.
  Probe p = probe(view(t), hash_int(key), key, [](uint32_t) { return true; });
  if (slot) *slot = p.found != NO_BUCKET ? p.found : p.free;
  return p.found;
}

// Re-enters the live entries of a kind 3/4 table in place, dropping dead
// entries from the entry block. No allocation.
void reprobe_entries(NodeId t) {
  View v = view(t);
  std::memset(v.st, 0xAA, state_bytes(v.h->buckets));
  Buffer* eb = node_buffer(v.h->block);
  uint8_t* base = eb->head_ptr();
  uint32_t used = eb->used(), esz = v.h->aux, w = 0, count = 0;
  for (uint32_t off = 0; esz && off + esz <= used; off += esz) {
    Cell head;
    std::memcpy(&head, base + off, 16);
    if (head.header != ENTRY_LIVE) continue;
    if (w != off) std::memmove(base + w, base + off, esz);
    uint32_t b = first_empty(v, hash_int(head.w1));
    set_state(v.st, b, BUCKET_OCCUPIED);
    v.key(b) = w;
    v.hash(b) = head.w1;
    w += esz;
    count++;
  }
  eb->tail = eb->head + w;
  v.h->live = v.h->occupied = count;
}

// Resizes to next-power-of-two(request) buckets when the live keys fit
// below the new bound (always when forced). Kind 0 is rebuilt instead.
may_gc void rebuild_sized(NodeId t, uint32_t n);

may_gc void resize(NodeId t, uint64_t request, bool force) {
  Header* h = header(t);
  if (h->kind == KIND_HASH) {
    rebuild_sized(t, uint32_t(std::min<uint64_t>(request, MAX_BUCKETS)));
    return;
  }
  uint32_t p = buckets_for(request);
  uint32_t nb = bound_resized(p);
  if (h->live >= nb && !force) return;
  RootedNode old_st(h->states), old_slots(h->keys);
  uint32_t old_buckets = h->buckets;
  RootedNode st(new_states(p));
  RootedNode slots(new_slots(p));
  h = header(t);
  h->states = st;
  h->keys = slots;
  h->buckets = p;
  h->bound = nb;
  if (h->kind >= KIND_INT) {
    reprobe_entries(t);
    return;
  }
  // Re-enter every occupied bucket's key by its stored hash: keys are
  // distinct, so no compare, and their cells are not read at all.
  uint32_t ncells = cell_count(h->block), count = 0;
  View v = view(t);
  View o{v.h, words_of(old_st), words_of(old_slots)};
  for (uint32_t i = 0; i < old_buckets; i++) {
    if (state_at(o.st, i) != BUCKET_OCCUPIED || o.key(i) >= ncells) continue;
    uint32_t b = first_empty(v, o.hash(i));
    set_state(v.st, b, BUCKET_OCCUPIED);
    v.key(b) = o.key(i);
    v.hash(b) = o.hash(i);
    count++;
  }
  v.h->occupied = count;
  if (v.h->kind != KIND_MAP) v.h->live = count;
}

// The growth rule before an insertion (kinds 1-4).
may_gc void grow_if_full(NodeId t) {
  Header* h = header(t);
  if (h->occupied < h->bound) return;
  uint64_t request = (h->kind == KIND_MAP || uint64_t(h->live) * 2 >= h->buckets) ? uint64_t(h->buckets) + 1
                                                                                   : uint64_t(h->buckets) - 1;
  if (h->kind == KIND_WORDS) request *= 16;
  resize(t, request, false);
}

may_gc void reset_arrays(NodeId t, uint32_t buckets, uint32_t bound) {
  RootedNode st(new_states(buckets));
  RootedNode slots(new_slots(buckets));
  Header* h = header(t);
  h->states = st;
  h->keys = slots;
  h->buckets = buckets;
  h->bound = bound;
  h->live = h->occupied = 0;
}

may_gc void rebuild_sized(NodeId t, uint32_t n) {
  Header* h = header(t);
  uint32_t len = cell_count(h->block);
  n = std::max(n, len);
  uint32_t p = buckets_for(uint64_t(double(n) * 1.5));
  uint32_t kind = h->kind;
  if (kind == KIND_HASH) {
    RootedNode ci(new_words(len, 0xFF, len));
    RootedNode dups(new_words(1, 0, 4));
    h = header(t);
    h->aux = ci;
    h->dup_lists = dups;
  }
  reset_arrays(t, p, bound_made(p));
  header(t)->stamp = 0;
  if (kind == KIND_HASH) {
    for (uint32_t i = 0; i < len; i++) enter_hash_cell(t, i);
  } else if (kind == KIND_MAP) {
    for (uint32_t i = 0; i + 1 < len; i += 2) {
      enter_unique(t, i);
      // A removed pair keeps its key, but does not count as live.
      if (cells_of(header(t)->block)[i + 1].header == 0) header(t)->live--;
    }
  } else {
    for (uint32_t i = 0; i < len; i++) enter_unique(t, i);
  }
}

// Empties the buckets (and the cell-index entries) but keeps the block.
void reset_buckets(NodeId t) {
  View v = view(t);
  std::memset(v.st, 0xAA, state_bytes(v.h->buckets));
  v.h->live = v.h->occupied = 0;
  if (v.h->kind == KIND_HASH) {
    Buffer* ci = node_buffer(v.h->aux);
    std::memset(ci->head_ptr(), 0xFF, ci->used());
    Buffer* d = node_buffer(v.h->dup_lists);
    words_of(v.h->dup_lists)[0] = 0;
    d->tail = d->head + 4;
    v.h->stamp = 0;
  }
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Public operations

may_gc void refresh(NodeId t) {
  Header* h = header(t);
  if (!h->stamp || g_gc.active) return;
  uint32_t want = node_compactions() + 1;
  if (h->stamp == want) return;
  if (h->kind >= KIND_INT) {
    reprobe_entries(t);
    header(t)->stamp = want;
  } else {
    rebuild_sized(t, cell_count(h->block));
    // The rebuild set the stamp again if an address-hashed key remains.
  }
}

may_gc NodeId make(uint32_t size, NodeId block, Kind kind, uint32_t value_cells, bool node_keys) {
  if (kind > KIND_OWNERSHIP) fire(ErrId::INVALID_ARG);
  if (value_cells > 255) fire(ErrId::OUT_OF_RANGE);
  uint64_t n = size < 4 ? 4 : size;
  if (kind == KIND_WORDS && n >= 4000) n *= 2;
  uint32_t buckets = buckets_for(uint64_t(double(n) / 0.77));

  RootedNode blk(block);
  uint32_t entry_size = 16 * (1 + value_cells);
  if (kind >= KIND_INT) blk = alloc_series(n * (1 + value_cells), 16, 0);
  else if (!block) blk = alloc_cells(n);

  // The root keeps the arrays alive as they are stored.
  NodeId t = alloc_series(sizeof(Header), 1, 0);
  node_buffer(t)->tail = sizeof(Header);
  *header(t) = Header{};
  RootedCell root(table_root_cell(t, blk));
  Header* h = header(t);
  h->block = blk;
  h->kind = kind;
  h->buckets = buckets;
  h->bound = bound_made(buckets);
  if (kind >= KIND_INT) {
    h->aux = entry_size;
    if (kind == KIND_OWNERSHIP || node_keys) h->stamp = node_compactions() + 1;
  }
  NodeId st = new_states(buckets);
  header(t)->states = st;
  NodeId slots = new_slots(buckets);
  header(t)->keys = slots;
  if (kind == KIND_HASH) {
    NodeId ci = new_words(0, 0xFF, uint32_t(n));
    header(t)->aux = ci;
    NodeId dups = new_words(1, 0, 4);
    header(t)->dup_lists = dups;
  }
  if (block && block_backed(kind)) index_block(t, 0, kind == KIND_MAP ? 2 : 1);
  return t;
}

may_gc PutStatus put_status(NodeId t, uint32_t index) {
  require_block_backed(t);
  refresh(t);
  Header* h = header(t);
  if (index >= cell_count(h->block)) fire(ErrId::OUT_OF_RANGE);
  if (h->kind == KIND_HASH) {
    if (h->occupied >= h->bound) {
      rebuild_sized(t, cell_count(h->block));
      return PUT_REBUILT;
    }
    enter_hash_cell(t, index);
    return PUT_DONE;
  }
  grow_if_full(t);
  enter_unique(t, index);
  return PUT_DONE;
}

may_gc void put(NodeId t, uint32_t index) { (void)put_status(t, index); }

may_gc int32_t get(NodeId t, const Cell& key_in, int32_t start, int32_t skip, int op, bool last, bool reverse) {
  require_block_backed(t);
  Cell key = key_in;  // key_in may live in a buffer that a refresh moves
  refresh(t);
  if (skip < 1) skip = 1;
  bool backward = last || reverse;
  Header* h = header(t);
  uint32_t kind = h->kind;
  NodeId block = h->block;
  uint32_t hv = hash_value(key);
  int64_t best = -1;
  auto consider = [&](uint32_t idx) {
    if (idx >= cell_count(block) || !key_matches(kind, cells_of(block)[idx], key, op)) return;
    if (!backward) {
      if (int64_t(idx) >= start && (int64_t(idx) - start) % skip == 0 && (best < 0 || idx < best)) best = idx;
    } else {
      if (int64_t(idx) < start && (int64_t(start) - 1 - idx) % skip == 0 && int64_t(idx) > best) best = idx;
    }
  };
  View v = view(t);
  Probe p = probe(v, hv, [&, v](uint32_t b) {
    int32_t kw = int32_t(v.key(b));
    if (kind != KIND_HASH)
      return uint32_t(kw) < cell_count(block) && key_matches(kind, cells_of(block)[uint32_t(kw)], key, op);
    uint32_t first = first_index(v.h, kw);
    // A bucket holds one group of CMP_EQUAL-equal keys: once the key's group
    // is found, only its members can answer (a prefix key meets groups of
    // every type, and the walk goes on).
    if (first >= cell_count(block) || !key_matches(kind, cells_of(block)[first], key, CMP_EQUAL)) return false;
    if (kw >= 0) {
      consider(uint32_t(kw));
    } else {
      for (uint32_t i = 0;; i++) {
        NodeId list = dup_list(v.h, uint32_t(-int64_t(kw)));
        if (!list || i >= word_count(list)) break;
        consider(words_of(list)[i]);
      }
    }
    return key.type() != TYPE_PREFIX_KEY;
  });
  if (kind != KIND_HASH) return p.found != NO_BUCKET ? int32_t(v.key(p.found)) : -1;
  return int32_t(best);
}

may_gc int32_t find_next(NodeId t, const Cell& key_in, int32_t* pos, uint32_t* start_bucket, uint32_t* step) {
  require_block_backed(t);
  Cell key = key_in;
  refresh(t);
  // A call resumes the walk where the last one stopped: its bucket and step.
  uint32_t mask = header(t)->buckets - 1;
  bool fresh = *pos < 0 || uint32_t(*pos) > mask;
  if (fresh) *start_bucket = hash_value(key) & mask;
  NoGcScope no_gc;
  View v = view(t);
  ProbeSeq seq(v, fresh ? *start_bucket : uint32_t(*pos));
  if (!fresh) {
    seq.step = *step;
    seq.next();
    if (seq.bucket == *start_bucket) return -1;
  }
  // The sequence is back at its start after at most 2 x buckets steps.
  for (uint64_t n = uint64_t(v.h->buckets) * 2; n > 0; n--) {
    uint32_t b = seq.bucket, s = state_at(v.st, b);
    if (s == BUCKET_EMPTY) return -1;
    if (s == BUCKET_OCCUPIED) {
      uint32_t idx = first_index(v.h, int32_t(v.key(b)));
      if (idx < cell_count(v.h->block) && key_matches(v.h->kind, cells_of(v.h->block)[idx], key, CMP_EQUAL)) {
        *pos = int32_t(b);
        *step = seq.step;
        return int32_t(idx);
      }
    }
    seq.next();
    if (seq.bucket == *start_bucket) return -1;
  }
  return -1;
}

may_gc void remove(NodeId t, uint32_t index) {
  require_block_backed(t);
  refresh(t);
  Header* h = header(t);
  uint32_t ncells = cell_count(h->block);
  if (index >= ncells) fire(ErrId::OUT_OF_RANGE);
  if (h->kind == KIND_HASH) {
    unindex_hash_cell(t, index);
    return;
  }
  if (h->kind == KIND_MAP) {
    if (index + 1 >= ncells) fire(ErrId::OUT_OF_RANGE);
    Cell& value = cells_of(h->block)[index + 1];
    if (value.header != 0) {
      value.header = 0;
      if (h->live) h->live--;
    }
    return;
  }
  unindex_range_scan(t, index, index + 1);
}

void revive(NodeId t) {
  Header* h = header(t);
  if (h->kind == KIND_MAP) h->live++;
}

may_gc Cell* put_int(NodeId t, uint32_t key) {
  require_int_keyed(t);
  refresh(t);
  uint32_t b = probe_int(t, key, nullptr);
  if (b == NO_BUCKET) {
    grow_if_full(t);
    uint32_t slot;
    probe_int(t, key, &slot);
    if (slot == NO_BUCKET) {
      resize(t, uint64_t(header(t)->buckets) * 2, true);
      probe_int(t, key, &slot);
    }
    Header* h = header(t);
    uint32_t esz = h->aux;
    NodeId eb = h->block;
    reserve_bytes(eb, esz);
    Buffer* buf = node_buffer(eb);
    uint32_t off = buf->used();
    auto* c = reinterpret_cast<Cell*>(buf->tail_ptr());
    c[0] = make_cell(TypeId(ENTRY_LIVE), key);
    for (uint32_t i = 1; i < esz / 16; i++) c[i] = unset_cell();
    buf->tail += esz;
    occupy(view(t), slot, off, key);
    b = slot;
  }
  View v = view(t);
  return cells_of(v.h->block) + v.key(b) / 16 + 1;
}

may_gc Cell* get_int(NodeId t, uint32_t key) {
  require_int_keyed(t);
  refresh(t);
  uint32_t b = probe_int(t, key, nullptr);
  if (b == NO_BUCKET) return nullptr;
  View v = view(t);
  return cells_of(v.h->block) + v.key(b) / 16 + 1;
}

may_gc Cell* delete_int(NodeId t, uint32_t key) {
  require_int_keyed(t);
  refresh(t);
  uint32_t b = probe_int(t, key, nullptr);
  if (b == NO_BUCKET) return nullptr;
  View v = view(t);
  set_state(v.st, b, BUCKET_DELETED);
  v.h->live--;
  Cell* head = cells_of(v.h->block) + v.key(b) / 16;
  head->header = 0;
  return head + 1;
}

void for_each_entry(NodeId t, KeepEntry keep, void* ctx) {
  require_int_keyed(t);
  uint32_t esz = header(t)->aux;
  // Each entry's cells are handed to keep in place.
  NoGcScope no_gc;
  for (uint32_t off = 0; esz && off + esz <= node_buffer(header(t)->block)->used(); off += esz) {
    Cell* head = cells_of(header(t)->block) + off / 16;
    if (head->header != ENTRY_LIVE) continue;
    uint32_t key = head->w1;
    if (keep(ctx, key, head + 1)) continue;
    // Find the bucket that names this very entry (the key is unique).
    uint32_t b = probe_int(t, key, nullptr);
    View v = view(t);
    if (b != NO_BUCKET && v.key(b) == off) {
      set_state(v.st, b, BUCKET_DELETED);
      v.h->live--;
    }
    cells_of(v.h->block)[off / 16].header = 0;
  }
}

may_gc void rebuild(NodeId t, uint32_t n) {
  require_block_backed(t);
  rebuild_sized(t, n);
}

may_gc void index_block(NodeId t, uint32_t start, uint32_t step) {
  require_block_backed(t);
  refresh(t);
  if (step == 0) step = 1;
  uint32_t kind = header(t)->kind;
  if (kind == KIND_HASH) {
    for (uint32_t i = start; i < cell_count(header(t)->block); i += step)
      if (put_status(t, i) == PUT_REBUILT) break;
    return;
  }
  if (kind == KIND_WORDS) {
    for (uint32_t i = start; i < cell_count(header(t)->block); i += step) {
      grow_if_full(t);
      enter_unique(t, i);
    }
    return;
  }
  // A map: pairs from start on, their keys already in their stored form
  // (map! prepares them). A dangling last key (no value) is left out.
  // A key met again gives its value to the pair entered first, so a later
  // value wins; kept pairs slide down to a write cursor, which keeps the
  // whole pass linear however many duplicates there are.
  uint32_t w = start, i = start;
  for (;; i += 2) {
    NodeId block = header(t)->block;
    if (i + 1 >= cell_count(block)) break;
    Cell key = cells_of(block)[i];
    int32_t j = get(t, key, 0, 1, CMP_STRICT_EQUAL);
    if (j >= 0 && uint32_t(j) < w) {
      Cell* c = cells_of(block);
      if (c[j + 1].header == 0) header(t)->live++;
      c[j + 1] = c[i + 1];
      continue;
    }
    if (w != i) {
      Cell* c = cells_of(block);
      c[w] = c[i];
      c[w + 1] = c[i + 1];
    }
    grow_if_full(t);
    enter_unique(t, w);
    w += 2;
  }
  if (w != i) {
    // Close the gap the duplicates left, keeping a dangling last key.
    NodeId block = header(t)->block;
    uint32_t ncells = cell_count(block);
    Cell* c = cells_of(block);
    std::memmove(c + w, c + i, size_t(ncells - i) * 16);
    node_buffer(block)->tail -= (i - w) * 16;
  }
}

may_gc NodeId copy(NodeId t, NodeId new_block) {
  refresh(t);
  RootedNode src(t);
  RootedNode nb(new_block);
  // The copy starts as the source's header, so each of its fields names a
  // live array until it is replaced by its duplicate.
  RootedCell root(table_root_cell(copy_series(src), header(src)->block));
  auto dup_field = [&](uint32_t Header::*field) {
    NodeId n = header(root->w3)->*field;
    if (!n) return;
    NodeId c = copy_series(n);
    header(root->w3)->*field = c;
  };
  dup_field(&Header::states);
  dup_field(&Header::keys);
  uint32_t kind = header(src)->kind;
  if (kind == KIND_HASH) {
    dup_field(&Header::aux);
    dup_field(&Header::dup_lists);
    for (uint32_t k = 1; k < word_count(header(root->w3)->dup_lists); k++) {
      uint32_t v = words_of(header(root->w3)->dup_lists)[k];
      if (v & FREE_LIST_BIT) continue;
      NodeId c = copy_series(v);
      words_of(header(root->w3)->dup_lists)[k] = c;
    }
  }
  if (nb) {
    header(root->w3)->block = nb;
    root->w2 = nb;
  } else {
    dup_field(&Header::block);
  }
  return root->w3;
}

void clear(NodeId t) {
  if (!t) fire(ErrId::INVALID_ARG);
  reset_buckets(t);
  Header* h = header(t);
  Buffer* b = node_buffer(h->block);
  b->tail = b->head;
  if (h->kind == KIND_HASH) {
    Buffer* ci = node_buffer(h->aux);
    ci->tail = ci->head;
  }
}

uint32_t live_count(NodeId t) { return header(t)->live; }

// ---------------------------------------------------------------------------
// Collector

void mark(NodeId* table, Visitor visit, void* ctx) {
  if (!*table) return;
  visit(ctx, table, Ref::Owned);
  Header* h = header(*table);
  if (h->kind == KIND_HASH) {
    if (h->aux) visit(ctx, &h->aux, Ref::Owned);
    if (h->dup_lists) {
      visit(ctx, &h->dup_lists, Ref::Owned);
      uint32_t* d = words_of(h->dup_lists);
      for (uint32_t k = 1, n = word_count(h->dup_lists); k < n; k++)
        if (d[k] && !(d[k] & FREE_LIST_BIT)) visit(ctx, &d[k], Ref::Owned);
    }
  }
  if (h->states) visit(ctx, &h->states, Ref::Owned);
  if (h->keys) visit(ctx, &h->keys, Ref::Owned);
  if (h->kind >= KIND_INT && h->stamp && h->block && h->aux) {
    Buffer* eb = node_buffer(h->block);
    uint8_t* base = eb->head_ptr();
    for (uint32_t off = 0, used = eb->used(); off + h->aux <= used; off += h->aux) {
      auto* head = reinterpret_cast<Cell*>(base + off);
      if (head->header == ENTRY_LIVE && head->w1) visit(ctx, &head->w1, Ref::Values);
    }
  }
  if (h->block) visit(ctx, &h->block, Ref::Values);
}

}  // namespace hash_table
}  // namespace vel
