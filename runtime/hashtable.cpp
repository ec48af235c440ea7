// The runtime's hash table. See hashtable.h for the model.
//
// Every array lives in a series. Code here re-reads Buffer pointers after
// anything that allocates, roots the nodes it has made but not yet stored in
// a reachable place, and pauses node compaction while keys are being entered,
// so that handles cannot change half-way through a resize.
#include "hashtable.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>

#include "casefold.h"
#include "collector.h"
#include "errors.h"
#include "platform/random.h"
#include "roots.h"

namespace vel {

uint32_t g_node_compaction_count = 0;

namespace {
uint32_t g_compaction_pauses = 0;

struct CompactionPause {
  CompactionPause() { g_compaction_pauses++; }
  ~CompactionPause() { g_compaction_pauses--; }
  CompactionPause(const CompactionPause&) = delete;
  CompactionPause& operator=(const CompactionPause&) = delete;
};
}  // namespace

bool node_compaction_paused() { return g_compaction_pauses != 0; }

namespace hash_table {

namespace {

uint32_t g_seed = 0;

// ---------------------------------------------------------------------------
// MurmurHash3 pieces

constexpr uint32_t MUR_C1 = 0xCC9E2D51u;
constexpr uint32_t MUR_C2 = 0x1B873593u;

inline uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

inline uint32_t mur_key(uint32_t k) {
  k *= MUR_C1;
  k = rotl32(k, 15);
  return k * MUR_C2;
}

inline uint32_t mur_block(uint32_t h, uint32_t k) {
  h ^= mur_key(k);
  h = rotl32(h, 13);
  return h * 5 + 0xE6546B64u;
}

inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline uint8_t ascii_lower(uint8_t b) { return uint8_t(b - 'A') < 26u ? uint8_t(b | 0x20) : b; }

// The bytes of a series value from its index to the tail, in elements of the
// buffer's unit. A node of 0 or an index past the tail gives no elements.
struct Elems {
  const uint8_t* p;
  uint32_t unit;
  uint32_t count;
};

Elems series_elems(const Cell& c) {
  if (!c.node()) return {nullptr, 1, 0};
  Buffer* b = node_buffer(c.node());
  uint32_t unit = b->unit();
  if (unit != 1 && unit != 2 && unit != 4) return {nullptr, 1, 0};
  uint32_t len = b->length();
  int32_t idx = c.index() < 0 ? 0 : c.index();
  if (uint32_t(idx) >= len) return {nullptr, unit, 0};
  uint32_t count = len - uint32_t(idx);
  if (c.type() == TYPE_PREFIX_KEY && c.i3() >= 0) count = std::min(count, uint32_t(c.i3()));
  return {b->head_ptr() + size_t(idx) * unit, unit, count};
}

inline uint32_t elem_at(const Elems& e, uint32_t i) {
  const uint8_t* p = e.p + size_t(i) * e.unit;
  switch (e.unit) {
    case 1: return *p;
    case 2: return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
    default: return load_le32(p);
  }
}

constexpr bool is_string_type(uint8_t t) {
  return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}
constexpr bool is_stringish(uint8_t t) { return is_string_type(t) || t == TYPE_PREFIX_KEY; }
constexpr bool is_word_type(uint8_t t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }
// The four word types that a map folds into set-word!.
constexpr bool is_map_word(uint8_t t) { return t >= TYPE_WORD && t <= TYPE_GET_WORD; }

// -0.0 and 0.0 are equal, so they must hash alike.
inline uint64_t float_bits(const Cell& c) {
  double d = c.f64();
  if (d == 0.0) d = 0.0;
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

inline uint32_t float32_word(uint32_t w) { return (w & 0x7FFFFFFFu) == 0 ? 0u : w; }

// ---------------------------------------------------------------------------
// The value hash, one method per type id.

enum HashMethod : uint8_t {
  HM_ZERO,
  HM_UNSET,
  HM_NONE,
  HM_W1,
  HM_W2,
  HM_W3,
  HM_BYTES_W12,
  HM_BYTES_W23,
  HM_BYTES_W123,
  HM_FLOAT,
  HM_POINT2D,
  HM_POINT3D,
  HM_STRING,
  HM_SYMBOL,
  HM_WORD,
  HM_TUPLE,
  HM_BINARY,
  HM_MONEY,
};

constexpr std::array<uint8_t, 256> make_method_table() {
  std::array<uint8_t, 256> m{};
  m[TYPE_UNSET] = HM_UNSET;
  m[TYPE_NONE] = HM_NONE;
  for (uint8_t t : {TYPE_DATATYPE, TYPE_LOGIC, TYPE_OBJECT, TYPE_ERROR, TYPE_PORT}) m[t] = HM_W1;
  for (uint8_t t : {TYPE_BLOCK, TYPE_PAREN, TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH, TYPE_HASH,
                    TYPE_IMAGE})
    m[t] = HM_BYTES_W12;
  m[TYPE_POINT2D] = HM_POINT2D;
  for (uint8_t t : {TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF}) m[t] = HM_STRING;
  m[TYPE_PREFIX_KEY] = HM_STRING;
  for (uint8_t t : {TYPE_CHAR, TYPE_INTEGER, TYPE_MAP, TYPE_HANDLE, TYPE_EVENT}) m[t] = HM_W2;
  for (uint8_t t : {TYPE_FLOAT, TYPE_PERCENT, TYPE_TIME}) m[t] = HM_FLOAT;
  m[TYPE_PAIR] = HM_BYTES_W23;
  m[TYPE_SYMBOL] = HM_SYMBOL;
  for (uint8_t t = TYPE_WORD; t <= TYPE_ISSUE; t++) m[t] = HM_WORD;
  m[TYPE_NATIVE] = HM_W3;
  m[TYPE_ACTION] = HM_W3;
  for (uint8_t t : {TYPE_OP, TYPE_FUNCTION, TYPE_TRIPLE, TYPE_TYPESET, TYPE_DATE}) m[t] = HM_BYTES_W123;
  m[TYPE_POINT3D] = HM_POINT3D;
  m[TYPE_TUPLE] = HM_TUPLE;
  m[TYPE_BINARY] = HM_BINARY;
  m[TYPE_MONEY] = HM_MONEY;
  return m;
}
constexpr std::array<uint8_t, 256> kHashMethod = make_method_table();

constexpr std::array<bool, 256> make_address_table() {
  std::array<bool, 256> a{};
  for (uint8_t t : {TYPE_BLOCK, TYPE_PAREN, TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH, TYPE_NATIVE,
                    TYPE_ACTION, TYPE_OP, TYPE_FUNCTION, TYPE_OBJECT, TYPE_ERROR, TYPE_HASH, TYPE_MAP, TYPE_PORT,
                    TYPE_IMAGE, TYPE_EVENT})
    a[t] = true;
  return a;
}
constexpr std::array<bool, 256> kByAddress = make_address_table();

inline uint32_t hash_words(const uint32_t* w, size_t n) {
  uint8_t bytes[12];
  for (size_t i = 0; i < n; i++) {
    bytes[i * 4] = uint8_t(w[i]);
    bytes[i * 4 + 1] = uint8_t(w[i] >> 8);
    bytes[i * 4 + 2] = uint8_t(w[i] >> 16);
    bytes[i * 4 + 3] = uint8_t(w[i] >> 24);
  }
  return hash_bytes(bytes, n * 4);
}

// ---------------------------------------------------------------------------
// Default hooks

uint32_t default_canonical(uint32_t symbol) { return symbol; }

bool default_symbol_text(const Cell* sym, const uint8_t** text, uint32_t* length) {
  NodeId n = sym->w3;
  if (!n) return false;
  Buffer* b = node_buffer(n);
  *text = b->head_ptr();
  *length = b->used();
  return true;
}

bool symbol_texts_equal(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, bool fold) {
  if (la != lb) return false;
  if (!fold) return std::memcmp(a, b, la) == 0;
  for (uint32_t i = 0; i < la; i++)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

int compare_strings(const Cell& a, const Cell& b, bool fold) {
  Elems x = series_elems(a), y = series_elems(b);
  if (x.count != y.count) return 1;
  for (uint32_t i = 0; i < x.count; i++) {
    uint32_t p = elem_at(x, i), q = elem_at(y, i);
    if (p != q && (!fold || fold_lower(p) != fold_lower(q))) return 1;
  }
  return 0;
}

int compare_bytes(const Cell& a, const Cell& b) {
  Elems x = series_elems(a), y = series_elems(b);
  if (x.count * x.unit != y.count * y.unit) return 1;
  return x.count && std::memcmp(x.p, y.p, size_t(x.count) * x.unit) != 0 ? 1 : 0;
}

inline bool same_f32(uint32_t a, uint32_t b) {
  float x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

int default_compare(const Cell* a, const Cell* b, int op) {
  uint8_t ta = a->type(), tb = b->type();
  bool fold = op != OP_STRICT && op != 8;
  if (is_stringish(ta) && is_stringish(tb)) {
    if (op == OP_SAME) return a->w1 == b->w1 && a->w2 == b->w2 ? 0 : 1;
    return compare_strings(*a, *b, fold);
  }
  if (ta != tb) return -2;
  switch (ta) {
    case TYPE_INTEGER:
    case TYPE_CHAR: return a->w2 == b->w2 ? 0 : 1;
    case TYPE_LOGIC: return a->w1 == b->w1 ? 0 : 1;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: return a->f64() == b->f64() ? 0 : 1;
    case TYPE_POINT2D: return same_f32(a->w1, b->w1) && same_f32(a->w2, b->w2) ? 0 : 1;
    case TYPE_POINT3D:
      return same_f32(a->w1, b->w1) && same_f32(a->w2, b->w2) && same_f32(a->w3, b->w3) ? 0 : 1;
    case TYPE_BINARY:
      if (op == OP_SAME) return a->w1 == b->w1 && a->w2 == b->w2 ? 0 : 1;
      return compare_bytes(*a, *b);
    case TYPE_SYMBOL: {
      const uint8_t *x, *y;
      uint32_t lx, ly;
      if (!g_hooks.symbol_text(a, &x, &lx) || !g_hooks.symbol_text(b, &y, &ly)) return a->w3 == b->w3 ? 0 : 1;
      return symbol_texts_equal(x, lx, y, ly, fold) ? 0 : 1;
    }
    default: break;
  }
  if (is_word_type(ta)) {
    if (op == OP_SAME) return a->w1 == b->w1 && a->w2 == b->w2 ? 0 : 1;
    if (!fold) return a->w2 == b->w2 ? 0 : 1;
    return g_hooks.canonical_symbol(a->w2) == g_hooks.canonical_symbol(b->w2) ? 0 : 1;
  }
  // Everything else by its bits; the new-line marker is layout, not value.
  return ((a->header ^ b->header) & ~CELL_NEW_LINE) == 0 && a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3
             ? 0
             : 1;
}

void default_money_canonical(Cell*) {}

may_gc void default_map_preprocess_key(NodeId block, uint32_t index) {
  Cell key = node_buffer(block)->cells()[index];
  uint8_t t = key.type();
  if (is_map_word(t)) {
    node_buffer(block)->cells()[index].set_type(TYPE_SET_WORD);
  } else if ((is_string_type(t) || t == TYPE_BINARY) && key.node()) {
    // The map keeps its own copy, so later edits of the caller's text do
    // not change a stored key's hash.
    NodeId copy = copy_series(key.node());
    node_buffer(block)->cells()[index].w2 = copy;
  }
}

}  // namespace

Hooks default_hooks() {
  return Hooks{default_canonical, default_symbol_text, default_compare, default_money_canonical,
               default_map_preprocess_key};
}

Hooks g_hooks = default_hooks();

// ---------------------------------------------------------------------------
// Hashing

uint32_t murmur3(const void* data, size_t len, uint32_t seed) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t h = seed;
  size_t blocks = len / 4;
  for (size_t i = 0; i < blocks; i++) h = mur_block(h, load_le32(p + i * 4));
  const uint8_t* tail = p + blocks * 4;
  uint32_t k = 0;
  switch (len & 3) {
    case 3: k ^= uint32_t(tail[2]) << 16; [[fallthrough]];
    case 2: k ^= uint32_t(tail[1]) << 8; [[fallthrough]];
    case 1:
      k ^= tail[0];
      h ^= mur_key(k);
      break;
    default: break;
  }
  h ^= uint32_t(len);
  return fmix32(h);
}

uint32_t seed() { return g_seed; }
void set_seed(uint32_t s) { g_seed = s; }

bool init_seed() {
  uint32_t s = 0;
  if (platform::secure_random(&s, sizeof s)) {
    g_seed = s;
    return true;
  }
  auto ticks = uint64_t(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  auto where = uint64_t(reinterpret_cast<uintptr_t>(&s));
  g_seed = fmix32(uint32_t(ticks) ^ fmix32(uint32_t(ticks >> 32) ^ fmix32(uint32_t(where) ^ uint32_t(where >> 32))));
  return false;
}

uint32_t hash_symbol_text(const uint8_t* text, size_t len) {
  uint32_t h = g_seed;
  size_t blocks = len / 4;
  for (size_t i = 0; i < blocks; i++) {
    const uint8_t* q = text + i * 4;
    uint8_t b[4] = {ascii_lower(q[0]), ascii_lower(q[1]), ascii_lower(q[2]), ascii_lower(q[3])};
    h = mur_block(h, load_le32(b));
  }
  const uint8_t* tail = text + blocks * 4;
  uint32_t k = 0;
  switch (len & 3) {
    case 3: k ^= uint32_t(ascii_lower(tail[2])) << 16; [[fallthrough]];
    case 2: k ^= uint32_t(ascii_lower(tail[1])) << 8; [[fallthrough]];
    case 1:
      k ^= ascii_lower(tail[0]);
      h ^= mur_key(k);
      break;
    default: break;
  }
  h ^= uint32_t(len);
  return fmix32(h);
}

uint32_t hash_string(const Cell& s, bool case_sensitive) {
  Elems e = series_elems(s);
  uint32_t h = g_seed;
  for (uint32_t i = 0; i < e.count; i++) {
    uint32_t cp = elem_at(e, i);
    h = mur_block(h, case_sensitive ? cp : fold_lower(cp));
  }
  h ^= e.count * 4u;  // the length in bytes of the 32-bit blocks fed
  return fmix32(h);
}

bool hashes_by_address(uint8_t type) { return kByAddress[type]; }

uint32_t hash_value(const Cell& v, bool case_sensitive) {
  switch (HashMethod(kHashMethod[v.type()])) {
    case HM_ZERO: return 0;
    case HM_UNSET: return uint32_t(-2);
    case HM_NONE: return uint32_t(-1);
    case HM_W1: return hash_int(v.w1);
    case HM_W2: return hash_int(v.w2);
    case HM_W3: return hash_int(v.w3);
    case HM_BYTES_W12: return hash_words(&v.w1, 2);
    case HM_BYTES_W23: return hash_words(&v.w2, 2);
    case HM_BYTES_W123: return hash_words(&v.w1, 3);
    case HM_FLOAT: {
      uint64_t u = float_bits(v);
      uint32_t w[2] = {uint32_t(u), uint32_t(u >> 32)};
      return hash_words(w, 2);
    }
    case HM_POINT2D: {
      uint32_t w[2] = {float32_word(v.w1), float32_word(v.w2)};
      return hash_words(w, 2);
    }
    case HM_POINT3D: {
      uint32_t w[3] = {float32_word(v.w1), float32_word(v.w2), float32_word(v.w3)};
      return hash_words(w, 3);
    }
    case HM_STRING: return hash_string(v, case_sensitive);
    case HM_SYMBOL: {
      const uint8_t* text;
      uint32_t len;
      if (!g_hooks.symbol_text(&v, &text, &len)) return 0;
      return hash_symbol_text(text, len);
    }
    case HM_WORD: return hash_int(g_hooks.canonical_symbol(v.w2));
    case HM_TUPLE: {
      // The byte count sits in header bits 19-22; a tuple holds at most 12.
      uint32_t n = std::min<uint32_t>((v.header >> 19) & 0xF, 12);
      uint8_t bytes[12];
      std::memcpy(bytes, &v.w1, 12);
      return hash_bytes(bytes, n);
    }
    case HM_BINARY: {
      Elems e = series_elems(v);
      return hash_bytes(e.p, size_t(e.count) * e.unit);
    }
    case HM_MONEY: {
      Cell c = v;
      g_hooks.money_canonical(&c);
      c.header &= ~CELL_NEW_LINE;
      return hash_bytes(&c, sizeof c);
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Table internals

namespace {

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

uint32_t buckets_for(uint64_t request) {
  uint64_t p = 4;
  while (p < request) p <<= 1;
  if (p > MAX_BUCKETS) fire(ErrId::NO_MEMORY);
  return uint32_t(p);
}

inline uint32_t bound_made(uint32_t buckets) { return uint32_t(double(buckets) * 0.77); }
inline uint32_t bound_resized(uint32_t buckets) { return uint32_t(double(buckets) * 0.77 + 0.5); }

may_gc NodeId new_states(uint32_t buckets) {
  uint32_t bytes = state_bytes(buckets);
  NodeId n = alloc_series(bytes, 1, 0);
  Buffer* b = node_buffer(n);
  std::memset(b->data(), 0xAA, bytes);
  b->tail = bytes;
  return n;
}

may_gc NodeId new_words(uint32_t count, uint8_t fill, uint32_t capacity) {
  NodeId n = alloc_series(std::max(count, capacity), 4, 0);
  Buffer* b = node_buffer(n);
  std::memset(b->data(), fill, size_t(count) * 4);
  b->tail = count * 4;
  return n;
}

// Room for `bytes` more bytes at the tail of a series.
may_gc void reserve_bytes(NodeId n, uint32_t bytes) {
  Buffer* b = node_buffer(n);
  if (b->head + uint64_t(b->used()) + bytes <= b->capacity) return;
  uint64_t want = std::max<uint64_t>(uint64_t(b->capacity) * 2, uint64_t(b->used()) + bytes);
  expand_series(n, want);
}

may_gc void append_word(NodeId n, uint32_t v) {
  reserve_bytes(n, 4);
  Buffer* b = node_buffer(n);
  std::memcpy(b->tail_ptr(), &v, 4);
  b->tail += 4;
}

may_gc uint32_t append_cell(NodeId block, const Cell& c) {
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

may_gc NodeId new_slots(uint32_t buckets) {
  NodeId n = alloc_series(uint64_t(buckets) * 2, 4, 0);
  Buffer* b = node_buffer(n);
  std::memset(b->data(), 0, size_t(buckets) * 8);
  b->tail = buckets * 8;
  return n;
}

inline bool block_backed(uint32_t kind) { return kind <= KIND_WORDS; }

void require_block_backed(NodeId t) {
  if (!t || !block_backed(header(t)->kind)) fire(ErrId::INVALID_ARG);
}
void require_int_keyed(NodeId t) {
  if (!t || block_backed(header(t)->kind)) fire(ErrId::INVALID_ARG);
}

// Whether a stored cell answers a search key: same type (a prefix key meets
// any type; a map folds the word types into set-word!) and equal under op.
bool key_matches(uint32_t kind, const Cell& stored, const Cell& key, int op) {
  Cell s = stored, k = key;
  if (kind == KIND_MAP) {
    if (is_map_word(s.type())) s.set_type(TYPE_SET_WORD);
    if (is_map_word(k.type())) k.set_type(TYPE_SET_WORD);
  }
  if (k.type() != TYPE_PREFIX_KEY && s.type() != k.type()) return false;
  return g_hooks.compare(&s, &k, op) == 0;
}

}  // namespace

bool key_equal(const Cell& stored, const Cell& key, int op) { return key_matches(KIND_HASH, stored, key, op); }

namespace {

// --- duplicate lists (kind 0) ----------------------------------------------
// The duplicate-list array holds the head of its free-slot chain in element 0
// and list k's node in element k; a released slot holds FREE_LIST_BIT | next.

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

// --- the cell-index array (kind 0) ------------------------------------------

inline uint32_t cellidx_count(const Header* h) { return h->aux ? word_count(h->aux) : 0; }

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

// --- probing ------------------------------------------------------------------

// Takes bucket b for key word `key` of hash `hash`.
inline void occupy(View v, uint32_t b, uint32_t key, uint32_t hash) {
  if (state_at(v.st, b) == BUCKET_EMPTY) v.h->occupied++;
  set_state(v.st, b, BUCKET_OCCUPIED);
  v.key(b) = key;
  v.hash(b) = hash;
  v.h->live++;
}

may_gc void resize(NodeId t, uint64_t request, bool force);

// Enters block[i] of a hash! table without any growth check.
may_gc void enter_hash_cell(NodeId t, uint32_t i) {
  cover_cells(t, i + 1);
  if (words_of(header(t)->aux)[i] != NOT_INDEXED) unindex_hash_cell(t, i);
  NodeId block = header(t)->block;
  Cell key = cells_of(block)[i];
  uint32_t hv = hash_value(key);
  uint32_t mask = header(t)->buckets - 1, b = hv & mask, step = 0, free_b = NO_BUCKET, group = NO_BUCKET;
  prefetch_bucket(view(t), b);
  for (uint32_t n = header(t)->buckets; n > 0; n--) {
    View v = view(t);
    uint32_t s = state_at(v.st, b);
    if (s == BUCKET_EMPTY) {
      if (free_b == NO_BUCKET) free_b = b;
      break;
    }
    // Equal keys hash alike: a bucket of another hash holds another group.
    if (s == BUCKET_OCCUPIED && v.hash(b) == hv) {
      uint32_t first = first_index(v.h, int32_t(v.key(b)));
      if (first < cell_count(block) && first != i && key_matches(KIND_HASH, cells_of(block)[first], key, OP_EQUAL)) {
        group = b;
        break;
      }
    } else if (s == BUCKET_DELETED && free_b == NO_BUCKET) {
      free_b = b;
    }
    step++;
    b = (b + step) & mask;
  }
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

// Enters block[i] of a map or word table; a strictly equal key's bucket is
// taken over. No growth check.
may_gc void enter_unique(NodeId t, uint32_t i) {
  Header* h = header(t);
  NodeId block = h->block;
  uint32_t kind = h->kind;
  Cell key = cells_of(block)[i];
  uint32_t hv = hash_value(key);
  uint32_t mask = h->buckets - 1, b = hv & mask, step = 0, free_b = NO_BUCKET;
  prefetch_bucket(view(t), b);
  for (uint32_t n = h->buckets; n > 0; n--) {
    View v = view(t);
    uint32_t s = state_at(v.st, b);
    if (s == BUCKET_EMPTY) {
      if (free_b == NO_BUCKET) free_b = b;
      break;
    }
    if (s == BUCKET_OCCUPIED) {
      uint32_t k = v.key(b);
      if (k == i) return;
      // Strictly equal keys hash alike: the hashes are compared first.
      if (v.hash(b) == hv && k < cell_count(block) && key_matches(kind, cells_of(block)[k], key, OP_STRICT)) {
        v.key(b) = i;
        return;
      }
    } else if (free_b == NO_BUCKET) {
      free_b = b;
    }
    step++;
    b = (b + step) & mask;
  }
  if (free_b == NO_BUCKET) {
    resize(t, uint64_t(header(t)->buckets) * 2, true);
    enter_unique(t, i);
    return;
  }
  occupy(view(t), free_b, i, hv);
}

// Finds the bucket of a 32-bit key in a kind 3/4 table, or NO_BUCKET; *slot
// gets the bucket an insertion would take.
uint32_t probe_int(NodeId t, uint32_t key, uint32_t* slot) {
  View v = view(t);
  uint32_t mask = v.h->buckets - 1, b = hash_int(key) & mask, step = 0, free_b = NO_BUCKET;
  prefetch_bucket(v, b);
  for (uint32_t n = v.h->buckets; n > 0; n--) {
    uint32_t s = state_at(v.st, b);
    if (s == BUCKET_EMPTY) {
      if (free_b == NO_BUCKET) free_b = b;
      break;
    }
    if (s == BUCKET_OCCUPIED) {
      // The slot holds the key beside the entry's offset.
      if (v.hash(b) == key) {
        if (slot) *slot = b;
        return b;
      }
    } else if (free_b == NO_BUCKET) {
      free_b = b;
    }
    step++;
    b = (b + step) & mask;
  }
  if (slot) *slot = free_b;
  return NO_BUCKET;
}

// Re-enters the live entries of a kind 3/4 table in place, dropping dead
// entries from the entry block. No allocation.
void reprobe_entries(NodeId t) {
  View v = view(t);
  std::memset(v.st, 0xAA, state_bytes(v.h->buckets));
  Buffer* eb = node_buffer(v.h->block);
  uint8_t* base = eb->head_ptr();
  uint32_t used = eb->used(), esz = v.h->aux, w = 0, count = 0;
  uint32_t mask = v.h->buckets - 1;
  for (uint32_t off = 0; esz && off + esz <= used; off += esz) {
    Cell head;
    std::memcpy(&head, base + off, 16);
    if (head.header != ENTRY_LIVE) continue;
    if (w != off) std::memmove(base + w, base + off, esz);
    uint32_t b = hash_int(head.w1) & mask, step = 0;
    while (state_at(v.st, b) != BUCKET_EMPTY) b = (b + ++step) & mask;
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
  CompactionPause pause;
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
  uint32_t ncells = cell_count(h->block), mask = p - 1, count = 0;
  View v = view(t);
  View o{v.h, words_of(old_st), words_of(old_slots)};
  for (uint32_t i = 0; i < old_buckets; i++) {
    if (state_at(o.st, i) != BUCKET_OCCUPIED || o.key(i) >= ncells) continue;
    uint32_t b = o.hash(i) & mask, step = 0;
    while (state_at(v.st, b) != BUCKET_EMPTY) b = (b + ++step) & mask;
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
  CompactionPause pause;
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

// ---------------------------------------------------------------------------
// Public operations

may_gc void refresh(NodeId t) {
  Header* h = header(t);
  if (!h->stamp || g_gc.active) return;
  uint32_t want = node_compactions() + 1;
  if (h->stamp == want) return;
  CompactionPause pause;
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
  CompactionPause pause;
  uint64_t n = size < 4 ? 4 : size;
  if (kind == KIND_WORDS && n >= 4000) n *= 2;
  uint32_t buckets = buckets_for(uint64_t(double(n) / 0.77));

  RootedNode blk(block);
  uint32_t entry_size = 16 * (1 + value_cells);
  if (kind >= KIND_INT) blk = alloc_series(n * (1 + value_cells), 16, 0);
  else if (!block) blk = alloc_cells(n);

  // Node compaction is paused, so t keeps its number; the root keeps the
  // arrays alive as they are stored.
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
  CompactionPause pause;
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
  CompactionPause pause;
  refresh(t);
  if (skip < 1) skip = 1;
  bool backward = last || reverse;
  Header* h = header(t);
  uint32_t kind = h->kind;
  NodeId block = h->block;
  uint32_t hv = hash_value(key);
  uint32_t mask = h->buckets - 1, b = hv & mask, step = 0;
  prefetch_bucket(view(t), b);
  int64_t best = -1;
  auto consider = [&](uint32_t idx) {
    if (idx >= cell_count(block) || !key_matches(kind, cells_of(block)[idx], key, op)) return;
    if (!backward) {
      if (int64_t(idx) >= start && (int64_t(idx) - start) % skip == 0 && (best < 0 || idx < best)) best = idx;
    } else {
      if (int64_t(idx) < start && (int64_t(start) - 1 - idx) % skip == 0 && int64_t(idx) > best) best = idx;
    }
  };
  for (uint32_t n = h->buckets; n > 0; n--) {
    View v = view(t);
    uint32_t s = state_at(v.st, b);
    if (s == BUCKET_EMPTY) break;
    if (s == BUCKET_OCCUPIED && v.hash(b) == hv) {
      int32_t kw = int32_t(v.key(b));
      if (kind != KIND_HASH) {
        if (uint32_t(kw) < cell_count(block) && key_matches(kind, cells_of(block)[uint32_t(kw)], key, op))
          return kw;
      } else {
        uint32_t first = first_index(v.h, kw);
        // A bucket holds one group of OP_EQUAL-equal keys: once the key's
        // group is found, only its members can answer.
        if (first < cell_count(block) && key_matches(kind, cells_of(block)[first], key, OP_EQUAL)) {
          if (kw >= 0) {
            consider(uint32_t(kw));
          } else {
            for (uint32_t i = 0;; i++) {
              NodeId list = dup_list(header(t), uint32_t(-int64_t(kw)));
              if (!list || i >= word_count(list)) break;
              consider(words_of(list)[i]);
            }
          }
          if (key.type() != TYPE_PREFIX_KEY) return int32_t(best);
        }
      }
    }
    step++;
    b = (b + step) & mask;
  }
  return int32_t(best);
}

may_gc int32_t find_next(NodeId t, const Cell& key_in, int32_t* pos, uint32_t* start_bucket, uint32_t* step) {
  require_block_backed(t);
  Cell key = key_in;
  CompactionPause pause;
  refresh(t);
  Header* h = header(t);
  uint32_t mask = h->buckets - 1, b;
  if (*pos < 0 || uint32_t(*pos) > mask) {
    b = hash_value(key) & mask;
    *start_bucket = b;
    *step = 0;
  } else {
    ++*step;
    b = (uint32_t(*pos) + *step) & mask;
    if (b == *start_bucket) return -1;
  }
  // The sequence is back at its start after at most 2 x buckets steps.
  for (uint64_t n = uint64_t(h->buckets) * 2; n > 0; n--) {
    View v = view(t);
    uint32_t s = state_at(v.st, b);
    if (s == BUCKET_EMPTY) return -1;
    if (s == BUCKET_OCCUPIED) {
      uint32_t idx = first_index(v.h, int32_t(v.key(b)));
      if (idx < cell_count(v.h->block) && key_matches(v.h->kind, cells_of(v.h->block)[idx], key, OP_EQUAL)) {
        *pos = int32_t(b);
        return int32_t(idx);
      }
    }
    ++*step;
    b = (b + *step) & mask;
    if (b == *start_bucket) return -1;
  }
  return -1;
}

may_gc void remove(NodeId t, uint32_t index) {
  require_block_backed(t);
  CompactionPause pause;
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
  CompactionPause pause;
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
  CompactionPause pause;
  refresh(t);
  uint32_t b = probe_int(t, key, nullptr);
  if (b == NO_BUCKET) return nullptr;
  View v = view(t);
  return cells_of(v.h->block) + v.key(b) / 16 + 1;
}

may_gc Cell* delete_int(NodeId t, uint32_t key) {
  require_int_keyed(t);
  CompactionPause pause;
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
  CompactionPause pause;
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
  // A map: pairs from start on. A dangling last key (no value) is left out.
  // A key met again gives its value to the pair entered first, so a later
  // value wins; kept pairs slide down to a write cursor, which keeps the
  // whole pass linear however many duplicates there are.
  uint32_t w = start, i = start;
  for (;; i += 2) {
    NodeId block = header(t)->block;
    if (i + 1 >= cell_count(block)) break;
    Cell key = cells_of(block)[i];
    int32_t j = get(t, key, 0, 1, OP_STRICT);
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
    g_hooks.map_preprocess_key(block, w);
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
  CompactionPause pause;
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

may_gc void remove_range(NodeId t, uint32_t position, uint32_t n) {
  require_block_backed(t);
  CompactionPause pause;
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
  CompactionPause pause;
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
  CompactionPause pause;
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

uint32_t live_count(NodeId t) { return header(t)->live; }

// ---------------------------------------------------------------------------
// Word tables

may_gc int32_t find_or_add_word(NodeId t, uint32_t symbol, bool canonical, const Cell* add, int32_t* index_out) {
  if (!t || header(t)->kind != KIND_WORDS) fire(ErrId::INVALID_ARG);
  Cell word = add ? *add : Cell{};
  CompactionPause pause;
  if (add) grow_if_full(t);
  uint32_t csym = g_hooks.canonical_symbol(symbol);
  // Both matches (same canonical symbol, or this very symbol) imply the
  // stored hash of the canonical symbol.
  uint32_t hv = hash_int(csym);
  // Nothing allocates during the probe.
  View v = view(t);
  const Cell* cells = cells_of(v.h->block);
  uint32_t ncells = cell_count(v.h->block);
  uint32_t mask = v.h->buckets - 1, b = hv & mask, step = 0, free_b = NO_BUCKET;
  prefetch_bucket(v, b);
  for (uint32_t n = v.h->buckets; n > 0; n--) {
    uint32_t s = state_at(v.st, b);
    if (s == BUCKET_EMPTY) {
      if (free_b == NO_BUCKET) free_b = b;
      break;
    }
    if (s == BUCKET_OCCUPIED) {
      uint32_t k = v.key(b);
      if (v.hash(b) == hv && k < ncells) {
        uint32_t ws = cells[k].w2;
        if (canonical ? g_hooks.canonical_symbol(ws) == csym : ws == symbol) return int32_t(k);
      }
    } else if (free_b == NO_BUCKET) {
      free_b = b;
    }
    step++;
    b = (b + step) & mask;
  }
  if (!add) return -1;
  if (free_b == NO_BUCKET) {
    resize(t, uint64_t(header(t)->buckets) * 2, true);
    return find_or_add_word(t, symbol, canonical, &word, index_out);
  }
  uint32_t index = cell_count(header(t)->block);
  word.w2 = symbol;
  word.w3 = index;
  append_cell(header(t)->block, word);
  occupy(view(t), free_b, index, hv);
  if (index_out) *index_out = int32_t(index);
  return -1;
}

may_gc InternResult intern_symbol(NodeId t, const uint8_t* text, uint32_t length, bool exact,
                                  MakeSymbolCell make_cell_fn, void* ctx) {
  if (!t || header(t)->kind != KIND_WORDS) fire(ErrId::INVALID_ARG);
  CompactionPause pause;
  grow_if_full(t);
  uint32_t hv = hash_symbol_text(text, length);
  // One pass over the probe sequence; only buckets of the same hash (the
  // case variants and rare collisions) have their texts read. slot gets the
  // bucket where an insertion would go (first deleted, else the empty one
  // that ended the pass). Nothing allocates during the pass.
  View v = view(t);
  const Cell* cells = cells_of(v.h->block);
  uint32_t ncells = cell_count(v.h->block);
  uint32_t mask = v.h->buckets - 1, b = hv & mask, step = 0, slot = NO_BUCKET;
  prefetch_bucket(v, b);
  // A new case variant's alias: the smallest index among its variants, which
  // is the canonical symbol (interned first). The first variant met in probe
  // order is not always it: resizes re-enter keys in bucket order.
  uint32_t alias = NOT_INDEXED;
  for (uint32_t n = v.h->buckets; n > 0; n--) {
    uint32_t s = state_at(v.st, b);
    if (s == BUCKET_EMPTY) {
      if (slot == NO_BUCKET) slot = b;
      break;
    }
    if (s == BUCKET_OCCUPIED) {
      uint32_t k = v.key(b);
      const uint8_t* other;
      uint32_t olen;
      if (v.hash(b) == hv && k < ncells && g_hooks.symbol_text(&cells[k], &other, &olen)) {
        if (symbol_texts_equal(other, olen, text, length, !exact)) return {k, false};
        if (exact && k < alias && symbol_texts_equal(other, olen, text, length, true)) alias = k;
      }
    } else if (slot == NO_BUCKET) {
      slot = b;
    }
    step++;
    b = (b + step) & mask;
  }
  if (slot == NO_BUCKET) {
    resize(t, uint64_t(header(t)->buckets) * 2, true);
    return intern_symbol(t, text, length, exact, make_cell_fn, ctx);
  }
  // The text may sit in a buffer that making the symbol moves.
  std::string copy(reinterpret_cast<const char*>(text), length);
  Cell sym = make_cell_fn(ctx, reinterpret_cast<const uint8_t*>(copy.data()), length,
                          alias == NOT_INDEXED ? -1 : int32_t(alias));
  uint32_t index = append_cell(header(t)->block, sym);
  occupy(view(t), slot, index, hv);
  return {index, true};
}

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
