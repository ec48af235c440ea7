#include <gtest/gtest.h>

#include "gc_scope.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "collector.h"
#include "error_of.h"
#include "errors.h"
#include "datatypes/symbol.h"
#include "hashtable.h"
#include "memory.h"
#include "platform/random.h"
#include "roots.h"

using namespace vel;
namespace ht = vel::hash_table;

namespace {

// --- values -------------------------------------------------------------------

Cell int_cell(int32_t v) { return make_cell(TYPE_INTEGER, 0, uint32_t(v)); }

Cell f64_cell(double d) {
  Cell c = make_cell(TYPE_FLOAT);
  c.set_f64(d);
  return c;
}

Cell word_cell(uint32_t symbol, TypeId type = TYPE_WORD) { return make_cell(type, 0, symbol, 0); }

// A string series of the given unit holding the code points.
Cell string_cell(const std::vector<uint32_t>& cps, uint32_t unit = 1, TypeId type = TYPE_STRING) {
  NodeId n = alloc_series(cps.size() ? cps.size() : 1, unit, 0);
  Buffer* b = node_buffer(n);
  for (size_t i = 0; i < cps.size(); i++) std::memcpy(b->data() + i * unit, &cps[i], unit);
  b->tail = uint32_t(cps.size() * unit);
  return make_cell(type, 0, n);
}

Cell text(const char* s, uint32_t unit = 1) {
  std::vector<uint32_t> cps;
  for (const char* p = s; *p; p++) cps.push_back(uint8_t(*p));
  return string_cell(cps, unit);
}

NodeId block_of(const std::vector<Cell>& cells) {
  NodeId n = alloc_cells(cells.size() ? cells.size() : 1);
  Buffer* b = node_buffer(n);
  if (!cells.empty()) std::memcpy(b->data(), cells.data(), cells.size() * 16);
  b->tail = uint32_t(cells.size() * 16);
  return n;
}

uint32_t length(NodeId block) { return node_buffer(block)->length(); }
Cell& at(NodeId block, uint32_t i) { return node_buffer(block)->cells()[i]; }

// Appends a cell to a table's block and enters it.
ht::PutStatus append_put(NodeId t, const Cell& c) {
  NodeId block = ht::header(t)->block;
  Buffer* b = node_buffer(block);
  if (b->room() < 16) b = expand_series(block, 0);
  std::memcpy(b->tail_ptr(), &c, 16);
  b->tail += 16;
  return ht::put_status(t, length(block) - 1);
}

// Every cell of a hash! must be found at its own index searching forwards
// from it and backwards from just after it: each stored index names the cell
// it was made for.
void expect_indexes_name_their_cells(NodeId t) {
  NodeId block = ht::header(t)->block;
  for (uint32_t i = 0; i < length(block); i++) {
    Cell c = at(block, i);
    EXPECT_EQ(ht::get(t, c, int32_t(i)), int32_t(i)) << "forward at " << i;
    EXPECT_EQ(ht::get(t, c, int32_t(i) + 1, 1, CMP_EQUAL, true), int32_t(i)) << "backward at " << i;
  }
}

}  // namespace

// --- hashing --------------------------------------------------------------------

TEST(Murmur3, PublishedVectors) {
  struct Case {
    const char* data;
    size_t len;
    uint32_t seed, hash;
  } cases[] = {
      {"", 0, 0, 0},
      {"", 0, 1, 0x514E28B7},
      {"", 0, 0xFFFFFFFF, 0x81F16F39},
      {"\0\0\0\0", 4, 0, 0x2362F9DE},
      {"aaaa", 4, 0x9747B28C, 0x5A97808A},
      {"a", 1, 0x9747B28C, 0x7FA09EA6},
      {"ab", 2, 0x9747B28C, 0x74875592},
      {"abc", 3, 0, 0xB3DD93FA},
      {"abcd", 4, 0x9747B28C, 0xF0478627},
      {"Hello, world!", 13, 0x9747B28C, 0x24884CBA},
      {"The quick brown fox jumps over the lazy dog", 43, 0x9747B28C, 0x2FA826CD},
  };
  for (const Case& c : cases) EXPECT_EQ(ht::murmur3(c.data, c.len, c.seed), c.hash) << '"' << c.data << '"';
  // The empty input is the finaliser of the seed.
  EXPECT_EQ(ht::fmix32(1), 0x514E28B7u);
  EXPECT_EQ(ht::fmix32(0), 0u);
}

TEST(HashSeed, SecureSourceAndExplicitSeed) {
  uint8_t a[16] = {}, b[16] = {};
  ASSERT_TRUE(platform::secure_random(a, sizeof a));
  ASSERT_TRUE(platform::secure_random(b, sizeof b));
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);

  uint32_t saved = ht::seed();
  EXPECT_TRUE(ht::init_seed());
  ht::set_seed(0x9747B28C);
  EXPECT_EQ(ht::hash_bytes("Hello, world!", 13), 0x24884CBAu);
  ht::set_seed(1);
  EXPECT_NE(ht::hash_bytes("Hello, world!", 13), 0x24884CBAu);
  ht::set_seed(saved);
}

TEST(HashValue, StringsHashCodePointsWhateverTheUnit) {
  uint32_t saved = ht::seed();
  ht::set_seed(0x1234);
  // "hé" hashes as MurmurHash3 of its UTF-32LE form, from any unit.
  const uint8_t utf32[8] = {'h', 0, 0, 0, 0xE9, 0, 0, 0};
  uint32_t expected = ht::murmur3(utf32, 8, 0x1234);
  for (uint32_t unit : {1u, 2u, 4u}) {
    EXPECT_EQ(ht::hash_string(string_cell({'h', 0xE9}, unit), true), expected) << unit;
    EXPECT_EQ(ht::hash_value(string_cell({'H', 0xC9}, unit)), expected) << unit;  // folded
  }
  ht::set_seed(saved);

  // Case folds unless asked not to, also beyond ASCII; the index counts.
  EXPECT_EQ(ht::hash_value(string_cell({'A', 0xC9})), ht::hash_value(string_cell({'a', 0xE9}, 2)));
  EXPECT_NE(ht::hash_string(text("ABC"), true), ht::hash_string(text("abc"), true));
  Cell tail = text("xabc");
  tail.w1 = 1;
  EXPECT_EQ(ht::hash_value(tail), ht::hash_value(text("abc")));
  tail.w1 = 99;  // past the tail: nothing is read
  EXPECT_EQ(ht::hash_value(tail), ht::hash_value(text("")));
}

TEST(HashValue, NegativeZeroHashesAsZero) {
  EXPECT_EQ(ht::hash_value(f64_cell(-0.0)), ht::hash_value(f64_cell(0.0)));
  Cell p = make_cell(TYPE_PERCENT);
  p.set_f64(-0.0);
  Cell q = make_cell(TYPE_PERCENT);
  q.set_f64(0.0);
  EXPECT_EQ(ht::hash_value(p), ht::hash_value(q));
  uint32_t neg = 0x80000000u;
  EXPECT_EQ(ht::hash_value(make_cell(TYPE_POINT2D, neg, 0)), ht::hash_value(make_cell(TYPE_POINT2D, 0, 0)));
  EXPECT_NE(ht::hash_value(f64_cell(1.0)), ht::hash_value(f64_cell(-1.0)));
}

TEST(HashValue, ByType) {
  EXPECT_EQ(ht::hash_value(make_cell(TYPE_UNSET)), uint32_t(-2));
  EXPECT_EQ(ht::hash_value(make_cell(TYPE_NONE)), uint32_t(-1));
  EXPECT_EQ(ht::hash_value(int_cell(5)), ht::hash_int(5));
  EXPECT_EQ(ht::hash_value(make_cell(TYPE_CHAR, 0, 5)), ht::hash_int(5));
  // Word types hash their symbol: the same word in two contexts is one key.
  EXPECT_EQ(ht::hash_value(make_cell(TYPE_WORD, 7, 42, 1)), ht::hash_value(make_cell(TYPE_SET_WORD, 9, 42, 3)));
  // A tuple hashes only its length's bytes.
  Cell t3 = make_cell(TYPE_TUPLE, 0x030201, 0xFFFF);
  t3.header |= 3u << 19;
  Cell t3b = make_cell(TYPE_TUPLE, 0x030201, 0);
  t3b.header |= 3u << 19;
  EXPECT_EQ(ht::hash_value(t3), ht::hash_value(t3b));
  EXPECT_TRUE(ht::hashes_by_address(TYPE_BLOCK));
  EXPECT_FALSE(ht::hashes_by_address(TYPE_STRING));
}

// --- sizes and growth -----------------------------------------------------------

TEST(HashTable, Sizes) {
  struct Case {
    uint32_t size;
    ht::Kind kind;
    uint32_t buckets, bound;
  } cases[] = {
      {0, ht::KIND_MAP, 8, 6},        {0, ht::KIND_HASH, 8, 6},      {3, ht::KIND_INT, 8, 6},
      {4000, ht::KIND_WORDS, 16384, 12615}, {4000, ht::KIND_MAP, 8192, 6307}, {100, ht::KIND_INT, 256, 197},
  };
  for (const Case& c : cases) {
    NodeId t = ht::make(c.size, 0, c.kind);
    EXPECT_EQ(ht::header(t)->buckets, c.buckets) << c.size << " kind " << c.kind;
    EXPECT_EQ(ht::header(t)->bound, c.bound) << c.size << " kind " << c.kind;
    EXPECT_EQ(ht::header(t)->live, 0u);
  }
  EXPECT_EQ(error_of([] { (void)ht::make(4, 0, ht::Kind(5)); }), ErrId::INVALID_ARG);
  // Sizes whose bucket count passes 2^29 are refused before any allocation.
  EXPECT_EQ(error_of([] { (void)ht::make(0xFFFFFFFF, 0, ht::KIND_MAP); }), ErrId::NO_MEMORY);
  EXPECT_EQ(error_of([] { (void)ht::make(0x80000000, 0, ht::KIND_WORDS); }), ErrId::NO_MEMORY);
}

TEST(HashTable, SeventhKeyGrowsToSixteenBuckets) {
  NodeId map = ht::make(0, 0, ht::KIND_MAP);
  NodeId hash = ht::make(0, 0, ht::KIND_HASH);
  auto put_pair = [&](int i) {
    NodeId b = ht::header(map)->block;
    Buffer* buf = node_buffer(b);
    if (buf->room() < 32) buf = expand_series(b, 0);
    Cell pair[2] = {int_cell(i), int_cell(100 + i)};
    std::memcpy(buf->tail_ptr(), pair, 32);
    buf->tail += 32;
    ht::put(map, length(b) - 2);
  };
  for (int i = 0; i < 6; i++) {
    put_pair(i);
    ASSERT_EQ(append_put(hash, int_cell(i)), ht::PUT_DONE);
  }
  for (NodeId t : {map, hash}) {
    EXPECT_EQ(ht::header(t)->occupied, 6u);
    EXPECT_EQ(ht::header(t)->buckets, 8u);
  }
  put_pair(6);
  EXPECT_EQ(ht::header(map)->buckets, 16u);
  EXPECT_EQ(ht::header(map)->bound, 12u);  // after a resize the bound rounds
  // A hash! is rebuilt from its block instead and says so.
  EXPECT_EQ(append_put(hash, int_cell(6)), ht::PUT_REBUILT);
  EXPECT_EQ(ht::header(hash)->buckets, 16u);
  for (int i = 0; i <= 6; i++) {
    EXPECT_EQ(ht::get(map, int_cell(i)), 2 * i);
    EXPECT_EQ(ht::get(hash, int_cell(i)), i);
  }
}

TEST(HashTable, WordTableGrowsSixteenfold) {
  NodeId t = ht::make(0, 0, ht::KIND_WORDS);
  ASSERT_EQ(ht::header(t)->buckets, 8u);
  Cell tmpl = make_cell(TYPE_WORD, 77);
  for (uint32_t sym = 1; sym <= 7; sym++) {
    int32_t index = -5;
    EXPECT_EQ(ht::find_or_add_word(t, sym, true, &tmpl, &index), -1);
    EXPECT_EQ(index, int32_t(sym - 1));
  }
  EXPECT_EQ(ht::header(t)->buckets, 256u);
  NodeId words = ht::header(t)->block;
  for (uint32_t sym = 1; sym <= 7; sym++) {
    EXPECT_EQ(ht::find_or_add_word(t, sym, true, nullptr, nullptr), int32_t(sym - 1));
    Cell w = at(words, sym - 1);
    EXPECT_EQ(w.type(), TYPE_WORD);
    EXPECT_EQ(w.w1, 77u);
    EXPECT_EQ(w.w2, sym);
    EXPECT_EQ(w.w3, sym - 1);
  }
  EXPECT_EQ(ht::find_or_add_word(t, 99, true, nullptr, nullptr), -1);
}

TEST(HashTable, WordTableCanonicalAndExactLookups) {
  // v is a case variant of s.
  uint32_t s = symbol::make("wordtablelookup"), v = symbol::make("WordTableLookup");
  ASSERT_EQ(symbol::resolve(v), s);
  NodeId t = ht::make(4, 0, ht::KIND_WORDS);
  Cell tmpl = make_cell(TYPE_WORD);
  int32_t index;
  EXPECT_EQ(ht::find_or_add_word(t, s, true, &tmpl, &index), -1);
  EXPECT_EQ(ht::find_or_add_word(t, v, true, &tmpl, &index), 0);  // found through its canonical symbol
  EXPECT_EQ(ht::find_or_add_word(t, v, false, nullptr, nullptr), -1);
  EXPECT_EQ(ht::find_or_add_word(t, v, false, &tmpl, &index), -1);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(ht::find_or_add_word(t, v, false, nullptr, nullptr), 1);
  EXPECT_EQ(ht::find_or_add_word(t, s, false, nullptr, nullptr), 0);
}

namespace {

// Symbol cells as the symbol table keeps them: {symbol!, alias, 0, text}.
Cell make_symbol(void* made, const uint8_t* text, uint32_t len, int32_t alias) {
  ++*static_cast<int*>(made);
  NodeId n = alloc_series(len + 1, 1, 0);
  Buffer* b = node_buffer(n);
  std::memcpy(b->data(), text, len);
  b->data()[len] = 0;
  b->tail = len;
  return make_cell(TYPE_SYMBOL, uint32_t(alias), 0, n);
}

ht::InternResult intern(NodeId t, const std::string& s, bool exact, int* made) {
  return ht::intern_symbol(t, reinterpret_cast<const uint8_t*>(s.data()), uint32_t(s.size()), exact, make_symbol,
                           made);
}

}  // namespace

TEST(HashTable, SymbolInterningKeepsCaseVariants) {
  NodeId t = ht::make(4000, 0, ht::KIND_WORDS);
  int made = 0;
  auto foo = intern(t, "Foo", true, &made);
  auto foo2 = intern(t, "foo", true, &made);
  auto foo3 = intern(t, "FOO", true, &made);
  EXPECT_TRUE(foo.added && foo2.added && foo3.added);
  EXPECT_NE(foo.index, foo2.index);
  EXPECT_NE(foo2.index, foo3.index);
  NodeId block = ht::header(t)->block;
  EXPECT_EQ(at(block, foo.index).i1(), -1);
  EXPECT_EQ(at(block, foo2.index).i1(), int32_t(foo.index));
  EXPECT_EQ(at(block, foo3.index).i1(), int32_t(foo.index));
  auto again = intern(t, "foo", true, &made);
  EXPECT_FALSE(again.added);
  EXPECT_EQ(again.index, foo2.index);
  auto loose = intern(t, "fOO", false, &made);
  EXPECT_FALSE(loose.added);
  EXPECT_EQ(loose.index, foo.index);
  auto empty = intern(t, "", true, &made);
  EXPECT_TRUE(empty.added);
  EXPECT_EQ(made, 4);
}

TEST(HashTable, SymbolTableGrowthKeepsEveryIndex) {
  NodeId t = ht::make(8, 0, ht::KIND_WORDS);
  int made = 0;
  std::vector<uint32_t> ids;
  for (int i = 0; i < 10000; i++) ids.push_back(intern(t, "sym-" + std::to_string(i), true, &made).index);
  EXPECT_GT(ht::header(t)->buckets, 10000u);
  EXPECT_LT(ht::header(t)->occupied, ht::header(t)->bound);
  for (int i = 0; i < 10000; i++) {
    auto r = intern(t, "SYM-" + std::to_string(i), false, &made);
    ASSERT_FALSE(r.added);
    ASSERT_EQ(r.index, ids[size_t(i)]);
  }
  EXPECT_EQ(made, 10000);
}

namespace {

// The three case forms of a word; `first` picks which is interned first.
std::vector<std::string> case_forms(int i, int first) {
  std::string w = "word-" + std::to_string(i);
  std::string cap = w, up = w;
  cap[0] = 'W';
  for (char& c : up) c = char(std::toupper(uint8_t(c)));
  std::vector<std::string> forms = {w, cap, up};
  std::rotate(forms.begin(), forms.begin() + first % 3, forms.end());
  return forms;
}

// As make_symbol, but makes room in the block first, as the runtime's symbol
// table does: a collection in the append would free the new text otherwise.
Cell make_symbol_rooted(void* root, const uint8_t* text, uint32_t len, int32_t alias) {
  NodeId block = ht::header(static_cast<RootedCell*>(root)->operator->()->w3)->block;
  if (node_buffer(block)->room() < 16) expand_series(block, 0);
  NodeId n = alloc_bytes(len);
  std::memcpy(node_buffer(n)->data(), text, len);
  node_buffer(n)->tail = len;
  return make_cell(TYPE_SYMBOL, uint32_t(alias), 0, n);
}

std::string symbol_text_at(NodeId t, uint32_t index) {
  Buffer* b = node_buffer(at(ht::header(t)->block, index).w3);
  return std::string(reinterpret_cast<const char*>(b->head_ptr()), b->used());
}

}  // namespace

// A resize re-enters keys in bucket order, so a case variant that wrapped
// round past the last bucket comes before its canonical form in the new
// probe sequence. A later variant's alias must still be the canonical form.
TEST(HashTable, CaseVariantAliasIsCanonicalAfterAWrappingResize) {
  NodeId t = ht::make(0, 0, ht::KIND_WORDS);
  ASSERT_EQ(ht::header(t)->buckets, 8u);
  // A lower-case word whose home is the last bucket, and two other forms.
  std::string word;
  for (uint32_t i = 0; word.empty(); i++) {
    std::string w = "key";
    for (uint32_t x = i; x; x /= 26) w += char('a' + x % 26);
    if ((ht::hash_symbol_text(reinterpret_cast<const uint8_t*>(w.data()), w.size()) & 7) == 7) word = w;
  }
  std::string cap = word, up = word;
  cap[0] = 'K';
  for (char& c : up) c = char(std::toupper(uint8_t(c)));
  int made = 0;
  auto canonical = intern(t, word, true, &made);
  auto variant = intern(t, cap, true, &made);  // wraps round to bucket 0
  for (int i = 0; ht::header(t)->buckets == 8; i++) intern(t, "filler-" + std::to_string(i), true, &made);
  auto late = intern(t, up, true, &made);
  ASSERT_TRUE(late.added);
  NodeId block = ht::header(t)->block;
  EXPECT_EQ(at(block, variant.index).i1(), int32_t(canonical.index));
  EXPECT_EQ(at(block, late.index).i1(), int32_t(canonical.index));
}

// A symbol table grown from 8 buckets through several resizes while the
// collector moves every buffer (the key-hash array included) keeps each
// written form findable, and every case variant's alias names the form
// interned first.
TEST(HashTable, SymbolTableKeepsEveryFormThroughResizesAndMovingCollections) {
  CollectingScope on(5);
  RootedCell root(make_cell(TYPE_HASH));
  {
    NodeId t = ht::make(0, 0, ht::KIND_WORDS);
    root->w2 = ht::header(t)->block;
    root->w3 = t;
  }
  auto table = [&] { return root->w3; };  // node compaction may renumber it
  auto put = [&](const std::string& s, bool exact) {
    return ht::intern_symbol(table(), reinterpret_cast<const uint8_t*>(s.data()), uint32_t(s.size()), exact,
                             make_symbol_rooted, &root);
  };
  const int n = 2200;
  std::vector<std::array<uint32_t, 3>> ids(n);
  for (int i = 0; i < n; i++) {
    std::vector<std::string> forms = case_forms(i, i);
    for (int f = 0; f < 3; f++) {
      ht::InternResult r = put(forms[size_t(f)], true);
      ASSERT_TRUE(r.added) << forms[size_t(f)];
      ids[size_t(i)][size_t(f)] = r.index;
    }
  }
  EXPECT_EQ(ht::header(table())->buckets, 262144u);  // 8 -> 256 -> 8192 -> 262144
  EXPECT_EQ(ht::live_count(table()), uint32_t(3 * n));
  for (int i = 0; i < n; i++) {
    std::vector<std::string> forms = case_forms(i, i);
    uint32_t canonical = ids[size_t(i)][0];
    NodeId block = ht::header(table())->block;
    EXPECT_EQ(at(block, canonical).i1(), -1);
    EXPECT_EQ(at(block, ids[size_t(i)][1]).i1(), int32_t(canonical)) << forms[1];
    EXPECT_EQ(at(block, ids[size_t(i)][2]).i1(), int32_t(canonical)) << forms[2];
    for (int f = 0; f < 3; f++) {
      ht::InternResult r = put(forms[size_t(f)], true);
      EXPECT_FALSE(r.added);
      ASSERT_EQ(r.index, ids[size_t(i)][size_t(f)]) << forms[size_t(f)];
      EXPECT_EQ(symbol_text_at(table(), r.index), forms[size_t(f)]);
    }
    std::string mixed = "wOrD-" + std::to_string(i);
    ht::InternResult loose = put(mixed, false);
    EXPECT_FALSE(loose.added);
    EXPECT_TRUE(loose.index == ids[size_t(i)][0] || loose.index == ids[size_t(i)][1] ||
                loose.index == ids[size_t(i)][2])
        << mixed;
  }

  // A table made over the existing block hashes its keys the way interning
  // does; a copy owns its slot array.
  NodeId block = ht::header(table())->block;
  RootedCell made(make_cell(TYPE_HASH, 0, block, ht::make(0, block, ht::KIND_WORDS)));
  RootedCell copied(make_cell(TYPE_HASH, 0, block, ht::copy(table(), 0)));
  for (NodeId t : {made->w3, copied->w3}) {
    for (int i = 0; i < n; i += 7) {
      std::string form = case_forms(i, i)[2];
      ht::InternResult r = ht::intern_symbol(t, reinterpret_cast<const uint8_t*>(form.data()), uint32_t(form.size()),
                                             true, make_symbol, nullptr);
      EXPECT_FALSE(r.added);
      EXPECT_EQ(r.index, ids[size_t(i)][2]);
    }
  }
  EXPECT_NE(ht::header(copied->w3)->keys, ht::header(table())->keys);
}

// Word tables keep their stored hashes right through every edit: the
// bucket's hash belongs to the key, whatever its index becomes.
TEST(HashTable, WordTableFindsEveryWordAfterEachEdit) {
  // Symbols ids[k] and a case variant of each, variants[k].
  const uint32_t n = 300;
  std::vector<uint32_t> ids(n + 1), variants(n + 1);
  for (uint32_t k = 1; k <= n; k++) {
    ids[k] = symbol::make("tablefind" + std::to_string(k));
    variants[k] = symbol::make("TableFind" + std::to_string(k));
    ASSERT_EQ(symbol::resolve(variants[k]), ids[k]);
  }
  NodeId t = ht::make(0, 0, ht::KIND_WORDS);
  Cell tmpl = make_cell(TYPE_WORD);
  for (uint32_t k = 1; k <= n; k++) {
    int32_t index;
    ASSERT_EQ(ht::find_or_add_word(t, ids[k], true, &tmpl, &index), -1);
    ASSERT_EQ(index, int32_t(k - 1));
  }
  // Each symbol must be found at the index its cell now has, by canonical
  // (through a variant) and exact look-up; `gone` are absent.
  auto expect_all = [&](const char* step, const std::set<uint32_t>& gone) {
    NodeId block = ht::header(t)->block;
    std::map<uint32_t, int32_t> where;
    for (uint32_t i = 0; i < length(block); i++) where[at(block, i).w2] = int32_t(i);
    // The slot array (key word and key hash) covers every bucket.
    EXPECT_EQ(node_buffer(ht::header(t)->keys)->used(), ht::header(t)->buckets * 8) << step;
    for (uint32_t k = 1; k <= n; k++) {
      int32_t want = gone.count(ids[k]) ? -1 : where.at(ids[k]);
      EXPECT_EQ(ht::find_or_add_word(t, ids[k], false, nullptr, nullptr), want) << step << " " << k;
      EXPECT_EQ(ht::find_or_add_word(t, variants[k], true, nullptr, nullptr), want) << step << " " << k;
    }
  };
  expect_all("grown", {});

  ht::rebuild(t, 0);
  expect_all("rebuilt smaller", {});
  ht::rebuild(t, 20000);
  expect_all("rebuilt larger", {});

  // Cells 10..19 leave the block; the later ones move down.
  ht::remove_range(t, 10, 10);
  Buffer* b = node_buffer(ht::header(t)->block);
  std::memmove(b->cells() + 10, b->cells() + 20, size_t(n - 20) * 16);
  b->tail -= 10 * 16;
  std::set<uint32_t> gone;
  for (uint32_t k = 11; k <= 20; k++) gone.insert(ids[k]);
  expect_all("range removed", gone);

  // Two cells inserted at the head: every index shifts up.
  b = node_buffer(ht::header(t)->block);
  if (b->room() < 2 * 16) b = expand_series(ht::header(t)->block, 0);
  std::memmove(b->cells() + 2, b->cells(), size_t(length(ht::header(t)->block)) * 16);
  b->cells()[0] = b->cells()[1] = make_cell(TYPE_WORD, 0, 5000);
  b->tail += 2 * 16;
  ASSERT_EQ(ht::shift_indexes(t, 0, 2), 0);
  expect_all("shifted", gone);

  // The first real word moves to the end.
  uint32_t len = length(ht::header(t)->block);
  b = node_buffer(ht::header(t)->block);
  std::rotate(b->cells() + 2, b->cells() + 3, b->cells() + len);
  ht::move_indexes(t, 2, len - 1, 1);
  expect_all("moved", gone);

  ht::remove(t, len - 1);
  gone.insert(at(ht::header(t)->block, len - 1).w2);
  expect_all("removed", gone);

  // Re-adding the removed words reuses deleted buckets and stores new hashes.
  NodeId copy = ht::copy(t, 0);
  for (uint32_t sym : gone) {
    int32_t index;
    ASSERT_EQ(ht::find_or_add_word(t, sym, false, &tmpl, &index), -1);
  }
  expect_all("re-added", {});
  EXPECT_EQ(ht::find_or_add_word(copy, ids[11], false, nullptr, nullptr), -1);  // the copy is apart

  ht::clear(t);
  for (uint32_t k = 1; k <= n; k++) ASSERT_EQ(ht::find_or_add_word(t, ids[k], true, nullptr, nullptr), -1);
  int32_t index;
  EXPECT_EQ(ht::find_or_add_word(t, ids[7], true, &tmpl, &index), -1);
  EXPECT_EQ(ht::find_or_add_word(t, variants[7], true, nullptr, nullptr), index);
}

// --- hash! ------------------------------------------------------------------------

TEST(HashTable, DuplicatesSearchForwardAndBackward) {
  std::vector<Cell> cells;
  for (int i = 0; i < 11; i++) cells.push_back(int_cell(i == 2 || i == 5 || i == 9 ? 7 : 100 + i));
  NodeId t = ht::make(11, block_of(cells), ht::KIND_HASH);
  EXPECT_EQ(ht::header(t)->live, 9u);  // 8 single keys and one group of three
  struct Case {
    int32_t start, skip;
    bool last, reverse;
    int32_t found;
  } cases[] = {
      {3, 1, false, false, 5}, {10, 1, false, false, -1}, {10, 1, true, false, 9}, {0, 1, false, false, 2},
      {9, 1, false, true, 5},  {2, 1, false, true, -1},   {1, 4, false, false, 5}, {1, 3, false, false, -1},
      {11, 2, true, false, 2}, {11, 3, true, false, -1}, {10, 5, false, true, 9}, {9, 4, false, true, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ht::get(t, int_cell(7), c.start, c.skip, CMP_EQUAL, c.last, c.reverse), c.found)
        << "start " << c.start << " skip " << c.skip;
  // Removing cells shrinks the group; the bucket goes when the group is empty.
  ht::remove(t, 5);
  EXPECT_EQ(ht::get(t, int_cell(7), 3), 9);
  ht::remove(t, 2);
  ht::remove(t, 9);
  EXPECT_EQ(ht::get(t, int_cell(7), 0), -1);
  EXPECT_EQ(ht::header(t)->live, 8u);
}

TEST(HashTable, CaseInsensitiveStringKeys) {
  NodeId t = ht::make(4, block_of({text("abc"), text("ABC", 2), text("xyz")}), ht::KIND_HASH);
  EXPECT_EQ(ht::get(t, text("Abc")), 0);
  EXPECT_EQ(ht::get(t, text("Abc"), 1), 1);
  EXPECT_EQ(ht::get(t, text("ABC"), 0, 1, CMP_STRICT_EQUAL), 1);
  EXPECT_EQ(ht::get(t, text("Abc"), 0, 1, CMP_STRICT_EQUAL), -1);
  EXPECT_EQ(ht::get(t, text("XYZ", 4)), 2);
  // Another string type with the same text is another key.
  Cell file = text("abc");
  file.set_type(TYPE_FILE);
  EXPECT_EQ(ht::get(t, file), -1);

  // A map keeps both spellings as keys (case-sensitive insertion) and finds
  // either through select/case.
  NodeId m = ht::make(0, block_of({text("Key"), int_cell(1), text("KEY"), int_cell(2)}), ht::KIND_MAP);
  EXPECT_EQ(ht::header(m)->live, 2u);
  EXPECT_EQ(ht::get(m, text("KEY"), 0, 1, CMP_STRICT_EQUAL), 2);
  EXPECT_EQ(ht::get(m, text("Key"), 0, 1, CMP_STRICT_EQUAL), 0);
  EXPECT_EQ(ht::get(m, text("key"), 0, 1, CMP_STRICT_EQUAL), -1);
  std::set<int32_t> seen;
  int32_t pos = -1;
  uint32_t start = 0, step = 0;
  for (int32_t i; (i = ht::find_next(m, text("key"), &pos, &start, &step)) >= 0;) seen.insert(i);
  EXPECT_EQ(seen, (std::set<int32_t>{0, 2}));
}

TEST(HashTable, NegativeZeroFindsZero) {
  NodeId t = ht::make(0, block_of({f64_cell(-0.0), int_cell(1), f64_cell(2.5), int_cell(2)}), ht::KIND_MAP);
  EXPECT_EQ(ht::get(t, f64_cell(0.0)), 0);
  EXPECT_EQ(ht::get(t, f64_cell(-0.0)), 0);
  EXPECT_EQ(ht::get(t, f64_cell(2.5)), 2);
  // As map keys they are one key: the later pair folds into the earlier one.
  NodeId m = ht::make(0, block_of({f64_cell(0.0), int_cell(1), f64_cell(-0.0), int_cell(2)}), ht::KIND_MAP);
  EXPECT_EQ(length(ht::header(m)->block), 2u);
  EXPECT_EQ(at(ht::header(m)->block, 1).w2, 2u);
}

// --- map! ---------------------------------------------------------------------------

// The keys' stored form (set-words, copied texts) is map!'s, before the
// table indexes them: tests/vel/datatypes/map.vel.
TEST(HashTable, MapFoldsRepeatedKeys) {
  // [a 1 a 2] keeps one key with the value 2.
  NodeId t = ht::make(0, block_of({word_cell(1), int_cell(1), word_cell(1), int_cell(2)}), ht::KIND_MAP);
  NodeId block = ht::header(t)->block;
  ASSERT_EQ(length(block), 2u);
  EXPECT_EQ(at(block, 1).w2, 2u);
  EXPECT_EQ(ht::header(t)->live, 1u);
  EXPECT_EQ(ht::get(t, word_cell(1, TYPE_LIT_WORD)), 0);

  // [a 1 b 2 a 3]: a with 3 first, then b; a dangling key is left out.
  NodeId t2 = ht::make(
      0, block_of({word_cell(1), int_cell(1), word_cell(2), int_cell(2), word_cell(1), int_cell(3), word_cell(3)}),
      ht::KIND_MAP);
  NodeId b2 = ht::header(t2)->block;
  ASSERT_EQ(length(b2), 5u);
  EXPECT_EQ(at(b2, 1).w2, 3u);
  EXPECT_EQ(at(b2, 2).w2, 2u);
  EXPECT_EQ(ht::header(t2)->live, 2u);
  EXPECT_EQ(ht::get(t2, word_cell(3)), -1);
}

TEST(HashTable, MapRemoveMarksThePairAndRevives) {
  NodeId t = ht::make(0, block_of({word_cell(1), int_cell(1), word_cell(2), int_cell(2)}), ht::KIND_MAP);
  ht::remove(t, 0);
  EXPECT_EQ(ht::header(t)->live, 1u);
  EXPECT_EQ(at(ht::header(t)->block, 1).header, 0u);
  ht::remove(t, 0);  // twice is once
  EXPECT_EQ(ht::header(t)->live, 1u);
  EXPECT_EQ(ht::get(t, word_cell(1)), 0);  // the key stays for revival
  ht::rebuild(t, 0);
  EXPECT_EQ(ht::header(t)->live, 1u);
  EXPECT_EQ(ht::get(t, word_cell(2)), 2);
}

// --- integer keys ---------------------------------------------------------------------

TEST(HashTable, MillionIntegerKeys) {
  NodeId t = ht::make(0, 0, ht::KIND_INT, 1);
  const uint32_t n = 1000000;
  auto key_of = [](uint32_t i) { return i * 2654435761u; };  // spread over the whole range, 0 included
  for (uint32_t i = 0; i < n; i++) {
    Cell* v = ht::put_int(t, key_of(i));
    ASSERT_EQ(v->type(), TYPE_UNSET);
    *v = int_cell(int32_t(i));
  }
  EXPECT_EQ(ht::live_count(t), n);
  EXPECT_LT(ht::header(t)->occupied, ht::header(t)->bound);
  for (uint32_t i = 0; i < n; i++) {
    Cell* v = ht::get_int(t, key_of(i));
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->w2, i);
  }
  EXPECT_EQ(ht::put_int(t, key_of(5))->w2, 5u);  // an existing key keeps its cells
  for (uint32_t i = 0; i < n; i++) {
    Cell* v = ht::delete_int(t, key_of(i));
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->w2, i);
  }
  EXPECT_EQ(ht::live_count(t), 0u);
  for (uint32_t i = 0; i < n; i += 997) EXPECT_EQ(ht::get_int(t, key_of(i)), nullptr);
  EXPECT_EQ(ht::delete_int(t, key_of(1)), nullptr);
}

TEST(HashTable, DeleteHeavyWorkloadRehashesAtTheSameSize) {
  NodeId t = ht::make(100, 0, ht::KIND_INT, 2);
  const uint32_t buckets = ht::header(t)->buckets;
  uint32_t next = 0;
  // Churn: the live count stays near 20 while deleted buckets pile up.
  for (; next < 20; next++) ht::put_int(t, next);
  bool rehashed = false;
  for (int round = 0; round < 2000; round++, next++) {
    uint32_t occupied_before = ht::header(t)->occupied;
    ht::put_int(t, next)[1] = int_cell(int32_t(next));
    ASSERT_NE(ht::delete_int(t, next - 20), nullptr);
    if (ht::header(t)->occupied < occupied_before) rehashed = true;
    ASSERT_EQ(ht::header(t)->buckets, buckets);
  }
  EXPECT_TRUE(rehashed);
  EXPECT_EQ(ht::live_count(t), 20u);
  for (uint32_t k = next - 20; k < next; k++) {
    Cell* v = ht::get_int(t, k);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v[1].w2, k);
  }
  // The rehash dropped dead entries, so the entry block did not grow with
  // the churn (2,000 rounds would be 96,000 bytes). Puts that reuse a
  // deleted bucket add entries without raising the occupied count, so the
  // block may reach about twice the bound between rehashes, whatever the
  // seed.
  EXPECT_LE(node_buffer(ht::header(t)->block)->used(), 3u * ht::header(t)->bound * 48u);
}

TEST(HashTable, SweepDeletesTheEntriesNotKept) {
  NodeId t = ht::make(0, 0, ht::KIND_OWNERSHIP, 3);
  for (uint32_t k = 1; k <= 100; k++) ht::put_int(t, k)[2] = int_cell(int32_t(k));
  ht::delete_int(t, 50);
  std::vector<uint32_t> visited;
  ht::for_each_entry(
      t,
      [](void* ctx, uint32_t key, Cell* values) {
        static_cast<std::vector<uint32_t>*>(ctx)->push_back(key);
        EXPECT_EQ(values[2].w2, key);
        return key % 3 != 0;
      },
      &visited);
  EXPECT_EQ(visited.size(), 99u);  // the deleted entry is not visited
  EXPECT_TRUE(std::is_sorted(visited.begin(), visited.end()));
  EXPECT_EQ(ht::live_count(t), 99u - 33u);
  for (uint32_t k = 1; k <= 100; k++) EXPECT_EQ(ht::get_int(t, k) != nullptr, k % 3 != 0 && k != 50) << k;
}

TEST(HashTable, IntegerTableCalls) {
  NodeId t = ht::make(0, 0, ht::KIND_INT);
  NodeId h = ht::make(0, 0, ht::KIND_HASH);
  EXPECT_EQ(error_of([&] { (void)ht::get(t, int_cell(1)); }), ErrId::INVALID_ARG);
  EXPECT_EQ(error_of([&] { (void)ht::put_int(h, 1); }), ErrId::INVALID_ARG);
  EXPECT_EQ(error_of([&] { ht::put(h, 0); }), ErrId::OUT_OF_RANGE);
}

// --- editing the backing block -----------------------------------------------------------

TEST(HashTable, ShiftAndMoveKeepIndexesOnTheirCells) {
  std::vector<Cell> cells;
  for (int i = 0; i < 40; i++) cells.push_back(int_cell(i % 7));
  NodeId block = block_of(cells);
  NodeId t = ht::make(40, block, ht::KIND_HASH);
  expect_indexes_name_their_cells(t);

  // Insert three cells at 10, then enter them.
  Buffer* b = expand_series(block, 0);
  Cell* c = b->cells();
  std::memmove(c + 13, c + 10, 30 * 16);
  for (int i = 0; i < 3; i++) c[10 + i] = int_cell(50 + i % 2);
  b->tail += 48;
  ASSERT_EQ(ht::shift_indexes(t, 10, 3), 0);
  for (uint32_t i = 10; i < 13; i++) ht::put(t, i);
  expect_indexes_name_their_cells(t);

  // Remove five cells at 20.
  ht::remove_range(t, 20, 5);
  c = node_buffer(block)->cells();
  std::memmove(c + 20, c + 25, 18 * 16);
  node_buffer(block)->tail -= 80;
  expect_indexes_name_their_cells(t);

  // Move cells both ways.
  struct Move {
    uint32_t from, to, count;
  } moves[] = {{3, 30, 4}, {30, 3, 4}, {0, 1, 1}, {35, 0, 3}, {5, 6, 10}};
  for (const Move& m : moves) {
    c = node_buffer(block)->cells();
    if (m.to < m.from) std::rotate(c + m.to, c + m.from, c + m.from + m.count);
    else std::rotate(c + m.from, c + m.from + m.count, c + m.to + m.count);
    ht::move_indexes(t, m.from, m.to, m.count);
    expect_indexes_name_their_cells(t);
  }
  EXPECT_EQ(error_of([&] { ht::move_indexes(t, 30, 36, 5); }), ErrId::OUT_OF_RANGE);

  // Removing cells before the position also drops their entries.
  c = node_buffer(block)->cells();
  std::memmove(c, c + 2, (length(block) - 2) * 16);
  node_buffer(block)->tail -= 32;
  ASSERT_EQ(ht::shift_indexes(t, 2, -2), 0);
  expect_indexes_name_their_cells(t);
}

TEST(HashTable, ShiftOverThirtyThousandCellsAsksForARebuild) {
  std::vector<Cell> cells;
  for (int i = 0; i < 30010; i++) cells.push_back(int_cell(i));
  NodeId t = ht::make(30010, block_of(cells), ht::KIND_HASH);
  EXPECT_EQ(ht::shift_indexes(t, 9, 1), 1);  // 30,001 cells: the caller rebuilds
  EXPECT_EQ(ht::get(t, int_cell(9)), 9);
  // Insert a cell at 10: 30,000 cells follow it, which is still shifted.
  NodeId block = ht::header(t)->block;
  Buffer* b = expand_series(block, 0);
  std::memmove(b->cells() + 11, b->cells() + 10, 30000 * 16);
  b->cells()[10] = int_cell(-1);
  b->tail += 16;
  EXPECT_EQ(ht::shift_indexes(t, 10, 1), 0);
  ht::put(t, 10);
  EXPECT_EQ(ht::get(t, int_cell(-1)), 10);
  EXPECT_EQ(ht::get(t, int_cell(10)), 11);
  EXPECT_EQ(ht::get(t, int_cell(30009)), 30010);
}

TEST(HashTable, RemoveRangeOfEverythingEmpties) {
  NodeId t = ht::make(4, block_of({int_cell(1), int_cell(2), int_cell(1)}), ht::KIND_HASH);
  ht::remove_range(t, 0, 3);
  EXPECT_EQ(ht::header(t)->live, 0u);
  EXPECT_EQ(ht::get(t, int_cell(1)), -1);
  // The cells are still there (sort and trim enter them again).
  ht::index_block(t, 0, 1);
  EXPECT_EQ(ht::get(t, int_cell(1), 1), 2);
}

TEST(HashTable, CopyAndClear) {
  NodeId t = ht::make(4, block_of({text("a"), int_cell(1), text("A"), int_cell(2)}), ht::KIND_HASH);
  NodeId block2 = copy_series(ht::header(t)->block);
  NodeId c = ht::copy(t, block2);
  EXPECT_EQ(ht::header(c)->block, block2);
  ht::remove(t, 2);
  ht::clear(t);
  EXPECT_EQ(length(ht::header(t)->block), 0u);
  EXPECT_EQ(ht::get(t, text("a")), -1);
  // The copy has arrays of its own.
  EXPECT_EQ(ht::get(c, text("a"), 1), 2);
  EXPECT_EQ(ht::get(c, int_cell(2)), 3);

  NodeId it = ht::make(0, 0, ht::KIND_INT, 1);
  ht::put_int(it, 9)[0] = int_cell(90);
  NodeId ic = ht::copy(it, 0);
  ht::clear(it);
  EXPECT_EQ(ht::get_int(it, 9), nullptr);
  ASSERT_NE(ht::get_int(ic, 9), nullptr);
  EXPECT_EQ(ht::get_int(ic, 9)->w2, 90u);
}

// --- collector interface ---------------------------------------------------------------

namespace {

struct Seen {
  std::map<NodeId, ht::Ref> refs;
  std::map<NodeId, NodeId> relocate;  // old -> new handle
};

void record(void* ctx, NodeId* slot, ht::Ref what) {
  auto* s = static_cast<Seen*>(ctx);
  s->refs[*slot] = what;
  auto it = s->relocate.find(*slot);
  if (it != s->relocate.end()) *slot = it->second;
}

}  // namespace

TEST(HashTable, MarkReportsEveryNode) {
  NodeId block = block_of({int_cell(1), int_cell(1), int_cell(2)});
  NodeId t = ht::make(4, block, ht::KIND_HASH);
  Seen seen;
  ht::mark(&t, record, &seen);
  const ht::Header* h = ht::header(t);
  NodeId list = reinterpret_cast<uint32_t*>(node_buffer(h->dup_lists)->head_ptr())[1];
  std::map<NodeId, ht::Ref> expected = {
      {t, ht::Ref::Owned},      {h->aux, ht::Ref::Owned},  {h->dup_lists, ht::Ref::Owned}, {list, ht::Ref::Owned},
      {h->states, ht::Ref::Owned}, {h->keys, ht::Ref::Owned}, {block, ht::Ref::Values},
  };
  EXPECT_EQ(seen.refs, expected);

  // Node keys of an ownership table are reported; plain integer keys not.
  NodeId owned = alloc_cells(1);
  NodeId own = ht::make(0, 0, ht::KIND_OWNERSHIP, 3);
  ht::put_int(own, owned);
  NodeId ints = ht::make(0, 0, ht::KIND_INT, 1);
  ht::put_int(ints, owned);
  Seen a, b;
  ht::mark(&own, record, &a);
  ht::mark(&ints, record, &b);
  EXPECT_EQ(a.refs.count(owned), 1u);
  EXPECT_EQ(a.refs[owned], ht::Ref::Values);
  EXPECT_EQ(b.refs.count(owned), 0u);
}

TEST(HashTable, NodeCompactionRehashesAddressKeys) {
  // The collector rewrites node keys while marking and counts a compaction;
  // the table re-probes on its next use.
  NodeId old_node = alloc_cells(1), new_node = alloc_cells(1);
  NodeId own = ht::make(0, 0, ht::KIND_OWNERSHIP, 3);
  for (uint32_t k = 1; k < 50; k++) ht::put_int(own, old_node + k * 7919);
  ht::put_int(own, old_node)[0] = int_cell(42);
  Seen seen;
  seen.relocate[old_node] = new_node;
  ht::mark(&own, record, &seen);
  g_node_compaction_count++;
  ASSERT_NE(ht::get_int(own, new_node), nullptr);
  EXPECT_EQ(ht::get_int(own, new_node)->w2, 42u);
  EXPECT_EQ(ht::get_int(own, old_node), nullptr);
  EXPECT_EQ(ht::header(own)->stamp, node_compactions() + 1);

  // A hash! that holds a block key rebuilds the same way.
  NodeId inner = alloc_cells(1);
  NodeId block = block_of({make_cell(TYPE_BLOCK, 0, inner), int_cell(3)});
  NodeId t = ht::make(4, block, ht::KIND_HASH);
  EXPECT_NE(ht::header(t)->stamp, 0u);
  NodeId moved = alloc_cells(1);
  at(block, 0).w2 = moved;
  g_node_compaction_count++;
  EXPECT_EQ(ht::get(t, make_cell(TYPE_BLOCK, 0, moved)), 0);
  EXPECT_EQ(ht::get(t, int_cell(3)), 1);
  // A table without such keys has no stamp.
  EXPECT_EQ(ht::header(ht::make(4, block_of({int_cell(1)}), ht::KIND_HASH))->stamp, 0u);
}
