#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "errors.h"
#include "memory.h"
#include "roots.h"
#include "series_ops.h"
#include "sort.h"

using namespace vel;

namespace {

using SortFn = void (*)(const SortArray&, void*, uint32_t, SortCompare);

struct Algo {
  const char* name;
  SortFn fn;
};
const Algo ALGOS[] = {{"merge", merge_sort}, {"quick", quicksort}};

// Elements of every size the runtime sorts: 1, 2, 4 bytes (characters), 8
// (64-bit vector items), a cell, and a record of three cells. The key sits in the first bytes (in
// w2 of the first cell for cells); cells carry their original index in the
// last word so that stability and permutations can be checked.
uint32_t key_of(const uint8_t* e, uint32_t size) {
  switch (size) {
    case 1: return *e;
    case 2: {
      uint16_t k;
      std::memcpy(&k, e, 2);
      return k;
    }
    case 4:
    case 8: {
      uint32_t k;
      std::memcpy(&k, e, 4);
      return k;
    }
    default: {
      Cell c;
      std::memcpy(&c, e, sizeof c);
      return c.w2;
    }
  }
}

uint32_t tag_of(const uint8_t* e, uint32_t size) {
  uint32_t t;
  std::memcpy(&t, e + size - 4, 4);
  return t;
}

struct Stats {
  long calls = 0;
};

// Ascending by key; flags carry the element size.
int compare_keys(const void* a, const void* b, void* arg, uint32_t flags) {
  static_cast<Stats*>(arg)->calls++;
  uint32_t x = key_of(static_cast<const uint8_t*>(a), flags);
  uint32_t y = key_of(static_cast<const uint8_t*>(b), flags);
  return (x > y) - (x < y);
}

std::vector<uint8_t> make_elements(const std::vector<uint32_t>& keys, uint32_t size) {
  std::vector<uint8_t> v(keys.size() * size);
  for (size_t i = 0; i < keys.size(); ++i) {
    uint8_t* e = v.data() + i * size;
    if (size < 16) {
      uint32_t k = keys[i];
      std::memcpy(e, &k, size < 4 ? size : 4);  // little-endian: the low bytes
    } else {
      for (uint32_t c = 0; c < size / 16; ++c) {
        Cell cell = make_cell(TYPE_INTEGER, 0, c == 0 ? keys[i] : 0, uint32_t(i));
        std::memcpy(e + c * 16, &cell, 16);
      }
    }
  }
  return v;
}

std::vector<std::string> sorted_elements(const std::vector<uint8_t>& v, uint32_t size) {
  std::vector<std::string> out;
  for (size_t i = 0; i < v.size(); i += size) out.emplace_back(reinterpret_cast<const char*>(&v[i]), size);
  std::sort(out.begin(), out.end());
  return out;
}

// The array holds exactly the elements it started with.
void expect_permutation(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, uint32_t size) {
  ASSERT_EQ(before.size(), after.size());
  EXPECT_TRUE(sorted_elements(before, size) == sorted_elements(after, size)) << "elements lost or duplicated";
}

void expect_sorted(const std::vector<uint8_t>& v, uint32_t size, bool stable) {
  for (size_t i = size; i < v.size(); i += size) {
    uint32_t a = key_of(&v[i - size], size), b = key_of(&v[i], size);
    ASSERT_LE(a, b) << "at element " << i / size;
    if (stable && size >= 16 && a == b) {
      ASSERT_LT(tag_of(&v[i - size], size), tag_of(&v[i], size)) << "equal keys reordered at " << i / size;
    }
  }
}

enum class Shape { RANDOM, SORTED, REVERSED, SAWTOOTH, FEW_KEYS, ORGAN_PIPE, ALL_EQUAL, NEARLY_SORTED };
const char* const SHAPE_NAMES[] = {"random",   "sorted",     "reversed",  "sawtooth",
                                   "few-keys", "organ-pipe", "all-equal", "nearly-sorted"};

std::vector<uint32_t> make_keys(Shape shape, size_t n, uint32_t limit, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint32_t> k(n);
  for (size_t i = 0; i < n; ++i) {
    switch (shape) {
      case Shape::RANDOM: k[i] = uint32_t(rng()); break;
      case Shape::SORTED: k[i] = uint32_t(i); break;
      case Shape::REVERSED: k[i] = uint32_t(n - i); break;
      case Shape::SAWTOOTH: k[i] = uint32_t(i % 1000); break;
      case Shape::FEW_KEYS: k[i] = uint32_t(rng() % 4); break;
      case Shape::ORGAN_PIPE: k[i] = uint32_t(i < n / 2 ? i : n - i); break;
      case Shape::ALL_EQUAL: k[i] = 7; break;
      case Shape::NEARLY_SORTED: k[i] = uint32_t(i); break;
    }
  }
  if (shape == Shape::NEARLY_SORTED)
    for (size_t s = 0; s < n / 100 + 1; ++s) std::swap(k[rng() % n], k[rng() % n]);
  for (uint32_t& x : k) x %= limit;
  return k;
}

uint32_t key_limit(uint32_t size) { return size == 1 ? 256u : size == 2 ? 65536u : 0xFFFFFFFFu; }

}  // namespace

TEST(Sort, ShapesAndElementSizes) {
  for (const Algo& algo : ALGOS) {
    for (uint32_t size : {1u, 2u, 4u, 8u, 16u, 48u}) {
      for (int s = 0; s <= int(Shape::NEARLY_SORTED); ++s) {
        for (size_t n : {size_t(2), size_t(7), size_t(8), size_t(100), size_t(600), size_t(20000)}) {
          SCOPED_TRACE(std::string(algo.name) + " size " + std::to_string(size) + " " + SHAPE_NAMES[s] + " n " +
                       std::to_string(n));
          std::vector<uint8_t> v = make_elements(make_keys(Shape(s), n, key_limit(size), n * 31 + s), size);
          std::vector<uint8_t> before = v;
          Stats st;
          algo.fn(fixed_sort_array(v.data(), n, size, size >= 16), &st, size, compare_keys);
          expect_sorted(v, size, algo.fn == merge_sort);
          expect_permutation(before, v, size);
          if (HasFailure()) return;
        }
      }
    }
  }
}

TEST(Sort, MillionIntegers) {
  for (const Algo& algo : ALGOS) {
    for (Shape shape : {Shape::RANDOM, Shape::SORTED, Shape::REVERSED, Shape::SAWTOOTH, Shape::FEW_KEYS}) {
      SCOPED_TRACE(std::string(algo.name) + " " + SHAPE_NAMES[int(shape)]);
      std::vector<uint32_t> keys = make_keys(shape, 1000000, 0xFFFFFFFFu, 5);
      std::vector<uint8_t> v = make_elements(keys, 4);
      Stats st;
      algo.fn(fixed_sort_array(v.data(), keys.size(), 4), &st, 4, compare_keys);
      std::sort(keys.begin(), keys.end());
      ASSERT_EQ(std::memcmp(v.data(), keys.data(), v.size()), 0);
      // Far below the n^2 / 4 of a degenerate quicksort.
      EXPECT_LT(st.calls, 60L * 1000000);
    }
  }
}

TEST(Sort, TinyArraysCallNoComparator) {
  for (const Algo& algo : ALGOS) {
    uint32_t x = 5;
    Stats st;
    algo.fn(fixed_sort_array(&x, 0, 4), &st, 4, compare_keys);
    algo.fn(fixed_sort_array(&x, 1, 4), &st, 4, compare_keys);
    EXPECT_EQ(st.calls, 0) << algo.name;
  }
}

// Seven elements are finished by insertion alone: adjacent exchanges while
// the previous element is greater, so the calls are the inversions plus one
// per element that stops before the front.
TEST(Sort, SevenElementsByInsertionOnly) {
  std::vector<uint32_t> p = {0, 1, 2, 3, 4, 5, 6};
  do {
    long inversions = 0, stops = 0;
    for (size_t i = 1; i < p.size(); ++i) {
      size_t greater = 0;
      for (size_t j = 0; j < i; ++j) greater += p[j] > p[i];
      inversions += long(greater);
      stops += greater < i;
    }
    std::vector<uint32_t> v = p;
    Stats st;
    quicksort(fixed_sort_array(v.data(), 7, 4), &st, 4, compare_keys);
    ASSERT_TRUE(std::is_sorted(v.begin(), v.end()));
    ASSERT_EQ(st.calls, inversions + stops);
  } while (std::next_permutation(p.begin(), p.end()));
}

TEST(Sort, MergeRunsArePresortedInput) {
  const size_t n = 100000;
  // A strictly descending array is one run, reversed in place: n - 1 calls.
  std::vector<uint32_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint32_t(n - i);
  Stats st;
  merge_sort(fixed_sort_array(v.data(), n, 4), &st, 4, compare_keys);
  EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
  EXPECT_EQ(st.calls, long(n - 1));

  // Two interleaving ascending runs: found in n - 1 calls, one merge.
  for (size_t i = 0; i < n; ++i) v[i] = uint32_t(i < n / 2 ? 2 * i : 2 * (i - n / 2) + 1);
  st.calls = 0;
  merge_sort(fixed_sort_array(v.data(), n, 4), &st, 4, compare_keys);
  EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
  EXPECT_LE(st.calls, long(2 * n));

  // Descending runs with equal neighbours split at the ties (strictly
  // descending runs only), and records with equal keys keep their order.
  std::vector<uint32_t> keys;
  for (size_t i = 0; i < 3000; ++i) keys.push_back(uint32_t(3000 - i) / 3);
  std::vector<uint8_t> recs = make_elements(keys, 32);
  merge_sort(fixed_sort_array(recs.data(), keys.size(), 32, true), &st, 32, compare_keys);
  expect_sorted(recs, 32, true);
}

// The boundary power is the first binary digit at which the two runs'
// midpoints, as fractions of the array, differ.
TEST(Sort, PowersortPowers) {
  auto reference = [](uint64_t s1, uint64_t n1, uint64_t n2, uint64_t n) {
    // midpoints x2 over 2n, compared digit by digit in exact arithmetic
    unsigned __int128 a = 2 * s1 + n1, b = 2 * s1 + 2 * n1 + n2;
    for (int l = 1;; ++l) {
      unsigned __int128 da = (a << l) / (2 * n), db = (b << l) / (2 * n);
      if (da != db) return l;
    }
  };
  std::mt19937_64 rng(3);
  for (int i = 0; i < 20000; ++i) {
    uint64_t n = 2 + rng() % 1000000;
    uint64_t s1 = rng() % (n - 1);
    uint64_t n1 = 1 + rng() % (n - s1 - 1);
    uint64_t n2 = 1 + rng() % (n - s1 - n1);
    ASSERT_EQ(detail::powersort_power(s1, n1, n2, n), reference(s1, n1, n2, n))
        << s1 << " " << n1 << " " << n2 << " " << n;
  }
  // Halves of the array meet at the root.
  EXPECT_EQ(detail::powersort_power(0, 50, 50, 100), 1);
  EXPECT_EQ(detail::powersort_power(0, 25, 25, 100), 2);
  EXPECT_EQ(detail::powersort_power(50, 25, 25, 100), 2);
}

namespace {

// A comparator that throws after a number of calls; the exception kind
// alternates between a Vel error and any other C++ exception.
struct Thrower {
  long calls = 0;
  long throw_at;
  bool vel;
};

int compare_then_throw(const void* a, const void* b, void* arg, uint32_t flags) {
  auto* t = static_cast<Thrower*>(arg);
  if (++t->calls == t->throw_at) {
    if (t->vel) fire(ErrId::INVALID_ARG);
    throw std::runtime_error("comparator failed");
  }
  uint32_t x = key_of(static_cast<const uint8_t*>(a), flags);
  uint32_t y = key_of(static_cast<const uint8_t*>(b), flags);
  return (x > y) - (x < y);
}

}  // namespace

TEST(Sort, ThrowingComparatorLeavesPermutation) {
  const size_t n = 3000;
  for (const Algo& algo : ALGOS) {
    for (uint32_t size : {4u, 16u, 48u}) {
      std::vector<uint8_t> orig = make_elements(make_keys(Shape::RANDOM, n, 1000, 9), size);
      Stats st;
      std::vector<uint8_t> probe = orig;
      algo.fn(fixed_sort_array(probe.data(), n, size, size >= 16), &st, size, compare_keys);
      // Throw at points spread over the whole sort, merges included.
      for (long at = 1; at < st.calls; at = at * 3 / 2 + 1) {
        SCOPED_TRACE(std::string(algo.name) + " size " + std::to_string(size) + " throw at " + std::to_string(at));
        std::vector<uint8_t> v = orig;
        Thrower t{0, at, at % 2 == 0};
        const RootedCells* roots_before = RootedCells::top();
        bool thrown = false;
        try {
          algo.fn(fixed_sort_array(v.data(), n, size, size >= 16), &t, size, compare_then_throw);
        } catch (const VelError& e) {
          thrown = true;
          EXPECT_EQ(e.id, ErrId::INVALID_ARG);
        } catch (const std::runtime_error&) {
          thrown = true;
        }
        EXPECT_TRUE(thrown);
        EXPECT_EQ(RootedCells::top(), roots_before);
        expect_permutation(orig, v, size);
        if (HasFailure()) return;
      }
    }
  }
}

namespace {

// Answers that contradict each other: random, or constant whatever the
// arguments.
struct Liar {
  std::mt19937 rng;
  int mode;  // 0 random, 1 always -1, 2 always 1, 3 always 0, 4 true but 1 in 20 flipped
};

int lying_compare(const void* a, const void* b, void* arg, uint32_t flags) {
  auto* l = static_cast<Liar*>(arg);
  switch (l->mode) {
    case 0: return int(l->rng() % 3) - 1;
    case 1: return -1;
    case 2: return 1;
    case 3: return 0;
    default: {
      uint32_t x = key_of(static_cast<const uint8_t*>(a), flags);
      uint32_t y = key_of(static_cast<const uint8_t*>(b), flags);
      int c = (x > y) - (x < y);
      return l->rng() % 20 == 0 ? -c : c;
    }
  }
}

}  // namespace

TEST(Sort, LyingComparatorStaysInBounds) {
  for (const Algo& algo : ALGOS) {
    for (uint32_t size : {4u, 16u}) {
      for (int mode = 0; mode <= 4; ++mode) {
        for (size_t n : {size_t(8), size_t(100), size_t(600), size_t(5000), size_t(100000)}) {
          SCOPED_TRACE(std::string(algo.name) + " size " + std::to_string(size) + " mode " + std::to_string(mode) +
                       " n " + std::to_string(n));
          // Sorted input sends the quicksort down its presorted path.
          Shape shape = mode == 4 ? Shape::SORTED : Shape::RANDOM;
          std::vector<uint8_t> orig = make_elements(make_keys(shape, n, 1000000, n), size);
          // Guard elements on both sides catch writes past the array.
          std::vector<uint8_t> v(orig.size() + 2 * size, 0xA5);
          std::memcpy(v.data() + size, orig.data(), orig.size());
          Liar liar{std::mt19937(uint32_t(n + mode)), mode};
          algo.fn(fixed_sort_array(v.data() + size, n, size, size >= 16), &liar, size, lying_compare);
          for (uint32_t i = 0; i < size; ++i) {
            ASSERT_EQ(v[i], 0xA5);
            ASSERT_EQ(v[v.size() - 1 - i], 0xA5);
          }
          expect_permutation(orig, std::vector<uint8_t>(v.begin() + size, v.end() - size), size);
          if (HasFailure()) return;
        }
      }
    }
  }
}

namespace {

// An array that the "collector" moves at every comparison: the last old
// buffers are poisoned and kept, so an access through a stale address reads
// poison or writes where nobody looks (older ones are freed, for ASan). The comparator also checks that
// every cell it is handed lies in the array or in a rooted range.
struct MovingArray {
  std::vector<uint8_t> graveyard[8];
  std::vector<uint8_t> live;
  size_t expected_length;  // the getter answers null once this differs
  uint32_t size;
  long calls = 0;
  long grow_at = -1;  // the comparator appends an element at this call
  bool unrooted_arg = false;
};

uint8_t* moving_base(void* ctx) {
  auto* m = static_cast<MovingArray*>(ctx);
  if (m->live.size() != m->expected_length * m->size) return nullptr;
  return m->live.data();
}

bool rooted(const void* p) {
  for (const RootedCells* r = RootedCells::top(); r; r = r->prev()) {
    auto* c = reinterpret_cast<const Cell*>(p);
    if (c >= r->cells() && c < r->cells() + r->count()) return true;
  }
  return false;
}

int moving_compare(const void* a, const void* b, void* arg, uint32_t) {
  auto* m = static_cast<MovingArray*>(arg);
  const uint8_t* lo = m->live.data();
  const uint8_t* hi = lo + m->live.size();
  for (const void* p : {a, b}) {
    bool in_array = p >= lo && p < hi;
    if (!in_array && m->size >= 16 && !rooted(p)) m->unrooted_arg = true;
  }
  uint32_t x = key_of(static_cast<const uint8_t*>(a), m->size);
  uint32_t y = key_of(static_cast<const uint8_t*>(b), m->size);
  // Now the buffer moves, as a collection would move it.
  std::vector<uint8_t> moved(m->live);
  std::fill(m->live.begin(), m->live.end(), 0xEE);
  m->graveyard[m->calls % 8] = std::move(m->live);
  m->live = std::move(moved);
  if (++m->calls == m->grow_at) m->live.resize(m->live.size() + m->size);
  return (x > y) - (x < y);
}

}  // namespace

TEST(Sort, BufferMovedByEveryComparison) {
  for (const Algo& algo : ALGOS) {
    for (uint32_t size : {2u, 16u, 32u}) {
      const size_t n = 700;  // past 512: the quicksort's window path
      SCOPED_TRACE(std::string(algo.name) + " size " + std::to_string(size));
      MovingArray m;
      m.size = size;
      m.expected_length = n;
      m.live = make_elements(make_keys(Shape::FEW_KEYS, n, 50, 1), size);
      std::vector<uint8_t> before = m.live;
      algo.fn(SortArray{moving_base, &m, n, size, size >= 16}, &m, size, moving_compare);
      EXPECT_GT(m.calls, long(n));
      EXPECT_FALSE(m.unrooted_arg) << "a temporary copy of cells was not rooted";
      expect_sorted(m.live, size, algo.fn == merge_sort);
      expect_permutation(before, m.live, size);
    }
  }
}

TEST(Sort, ComparatorChangingTheSeriesIsAnError) {
  for (const Algo& algo : ALGOS) {
    for (long at : {1L, 50L, 2000L, 4000L}) {
      SCOPED_TRACE(std::string(algo.name) + " grows at call " + std::to_string(at));
      const size_t n = 1000;
      MovingArray m;
      m.size = 16;
      m.expected_length = n;
      m.grow_at = at;
      m.live = make_elements(make_keys(Shape::RANDOM, n, 1000, 2), 16);
      const RootedCells* roots_before = RootedCells::top();
      try {
        algo.fn(SortArray{moving_base, &m, n, 16, true}, &m, 16, moving_compare);
        ADD_FAILURE() << "no error";
      } catch (const VelError& e) {
        EXPECT_EQ(e.id, ErrId::PROTECTED);
      }
      EXPECT_EQ(m.calls, at) << "the sort went on after the change";
      EXPECT_EQ(RootedCells::top(), roots_before);
    }
  }
}

namespace {

// A comparator over cells of a real series that moves the series' buffer
// (as expansion or the collector does) before it answers.
struct SeriesCtx {
  NodeId node;
  long calls = 0;
  long append_at = -1;
};

int series_compare(const void* a, const void* b, void* arg, uint32_t) {
  auto* s = static_cast<SeriesCtx*>(arg);
  Cell x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  Buffer* old = node_buffer(s->node);
  uint8_t* old_head = old->head_ptr();
  uint32_t used = old->used();
  expand_series(s->node, old->capacity);
  std::memset(old_head, 0xEE, used);
  if (++s->calls == s->append_at) *alloc_tail(s->node) = make_cell(TYPE_INTEGER);
  return (x.w2 > y.w2) - (x.w2 < y.w2);
}

}  // namespace

TEST(Sort, SeriesRangeFollowsItsNode) {
  for (const Algo& algo : ALGOS) {
    const uint32_t n = 300;
    NodeId node = alloc_cells(n + 4);
    Buffer* b = node_buffer(node);
    for (uint32_t i = 0; i < n + 4; ++i) b->cells()[i] = make_cell(TYPE_INTEGER, 0, (i * 7919) % 101, i);
    b->tail = b->head + (n + 4) * 16;
    RootedNode keep(node);
    // Sort from index 2, leaving two cells on each side alone.
    SeriesSortRange range;
    SortArray arr = series_sort_array(&range, node, 2, n, 16, true);
    SeriesCtx ctx{node};
    algo.fn(arr, &ctx, 0, series_compare);
    b = node_buffer(node);
    ASSERT_EQ(b->length(), n + 4);
    for (uint32_t i : {0u, 1u, n + 2, n + 3}) EXPECT_EQ(b->cells()[i].w3, i) << algo.name;
    for (uint32_t i = 3; i < n + 2; ++i) ASSERT_LE(b->cells()[i - 1].w2, b->cells()[i].w2) << algo.name;

    // Appending to the series from the comparator ends the sort.
    arr = series_sort_array(&range, node, 0, n, 16, true);
    SeriesCtx grow{node, 0, 10};
    try {
      algo.fn(arr, &grow, 0, series_compare);
      ADD_FAILURE() << "no error";
    } catch (const VelError& e) {
      EXPECT_EQ(e.id, ErrId::PROTECTED);
    }
    EXPECT_EQ(grow.calls, 10);
  }
}

TEST(Sort, SeriesRangeMustLieInTheSeries) {
  NodeId node = alloc_cells(8);
  node_buffer(node)->tail = node_buffer(node)->head + 8 * 16;
  RootedNode keep(node);
  SeriesSortRange range;
  EXPECT_THROW(series_sort_array(&range, node, 2, 7, 16, true), VelError);
  EXPECT_THROW(series_sort_array(&range, node, 9, 0, 16, true), VelError);
  EXPECT_NO_THROW(series_sort_array(&range, node, 2, 3, 32, true));  // records of two cells
}
