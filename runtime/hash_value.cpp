// Value hashing: MurmurHash3 over each type's identity, one method per
// type id, and the default hooks that compare keys and prepare them.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "byteorder.h"
#include "casefold.h"
#include "families.h"
#include "hashtable.h"
#include "hashtable_internal.h"
#include "money_cell.h"
#include "platform/random.h"
#include "symbol_block.h"

namespace vel::hash_table {

using namespace detail;

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
    case 2: return load_le16(p);
    default: return load_le32(p);
  }
}

constexpr bool is_stringish(uint8_t t) { return is_any_string(t) || t == TYPE_PREFIX_KEY; }

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
  m[TYPE_DATATYPE] = HM_W1;
  m[TYPE_LOGIC] = HM_W1;
  for (int t = 0; t < 256; t++) {
    if (is_any_object(t)) m[t] = HM_W1;
    if (is_any_block(t)) m[t] = HM_BYTES_W12;
    if (is_any_string(t)) m[t] = HM_STRING;
    if (is_any_word(t)) m[t] = HM_WORD;
  }
  m[TYPE_IMAGE] = HM_BYTES_W12;
  m[TYPE_POINT2D] = HM_POINT2D;
  m[TYPE_PREFIX_KEY] = HM_STRING;
  for (uint8_t t : {TYPE_CHAR, TYPE_INTEGER, TYPE_MAP, TYPE_HANDLE, TYPE_EVENT}) m[t] = HM_W2;
  for (uint8_t t : {TYPE_FLOAT, TYPE_PERCENT, TYPE_TIME}) m[t] = HM_FLOAT;
  m[TYPE_PAIR] = HM_BYTES_W23;
  m[TYPE_SYMBOL] = HM_SYMBOL;
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

}  // namespace

bool symbol_cell_text(const Cell* sym, const uint8_t** text, uint32_t* length) {
  NodeId n = sym->w3;
  if (!n) return false;
  Buffer* b = node_buffer(n);
  *text = b->head_ptr();
  *length = b->used();
  return true;
}

namespace detail {

bool symbol_texts_equal(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, bool fold) {
  if (la != lb) return false;
  if (!fold) return std::memcmp(a, b, la) == 0;
  for (uint32_t i = 0; i < la; i++)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

}  // namespace detail

namespace {

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

}  // namespace

int key_compare(const Cell* a, const Cell* b, int op) {
  uint8_t ta = a->type(), tb = b->type();
  bool fold = op != CMP_STRICT_EQUAL && op != CMP_CASE_SORT;
  if (is_stringish(ta) && is_stringish(tb)) {
    if (op == CMP_SAME) return a->w1 == b->w1 && a->w2 == b->w2 ? 0 : 1;
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
      if (op == CMP_SAME) return a->w1 == b->w1 && a->w2 == b->w2 ? 0 : 1;
      return compare_bytes(*a, *b);
    case TYPE_SYMBOL: {
      const uint8_t *x, *y;
      uint32_t lx, ly;
      if (!symbol_cell_text(a, &x, &lx) || !symbol_cell_text(b, &y, &ly)) return a->w3 == b->w3 ? 0 : 1;
      return symbol_texts_equal(x, lx, y, ly, fold) ? 0 : 1;
    }
    default: break;
  }
  if (is_any_word(ta)) {
    if (op == CMP_SAME) return a->w1 == b->w1 && a->w2 == b->w2 ? 0 : 1;
    if (!fold) return a->w2 == b->w2 ? 0 : 1;
    return symbol::resolve(a->w2) == symbol::resolve(b->w2) ? 0 : 1;
  }
  // Everything else by its bits; the new-line marker is layout, not value.
  return ((a->header ^ b->header) & ~CELL_NEW_LINE) == 0 && a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3
             ? 0
             : 1;
}

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
      if (!symbol_cell_text(&v, &text, &len)) return 0;
      return hash_symbol_text(text, len);
    }
    case HM_WORD: return hash_int(symbol::resolve(v.w2));
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
      money::canonical(&c);
      c.header &= ~CELL_NEW_LINE;
      return hash_bytes(&c, sizeof c);
    }
  }
  return 0;
}

}  // namespace vel::hash_table
