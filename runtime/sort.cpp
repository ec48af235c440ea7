#include "sort.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "errors.h"
#include "memory.h"
#include "roots.h"

namespace vel {

namespace {

// Swaps n bytes between non-overlapping or identical areas.
void swap_bytes(uint8_t* a, uint8_t* b, size_t n) {
  if (a == b) return;
  uint8_t t[64];
  while (n > sizeof t) {
    std::memcpy(t, a, sizeof t);
    std::memcpy(a, b, sizeof t);
    std::memcpy(b, t, sizeof t);
    a += sizeof t;
    b += sizeof t;
    n -= sizeof t;
  }
  std::memcpy(t, a, n);
  std::memcpy(a, b, n);
  std::memcpy(b, t, n);
}

template <size_t N>
inline void swap_fixed(uint8_t* a, uint8_t* b) {
  uint8_t t[N];
  std::memcpy(t, a, N);
  std::memcpy(a, b, N);
  std::memcpy(b, t, N);
}

// Element access by index. Every comparison re-reads the base address,
// since the comparator may have moved the buffer.
class Sorter {
 public:
  Sorter(const SortArray& a, void* arg, uint32_t flags, SortCompare cmp)
      : get_(a.base), ctx_(a.ctx), size_(a.size), arg_(arg), flags_(flags), cmp_(cmp) {
    reload();
  }

  size_t size() const { return size_; }
  uint8_t* at(size_t i) const { return base_ + i * size_; }

  // The base now, or null; for unwinding paths, so it never fires.
  uint8_t* current_base() const { return get_(ctx_); }

  int compare_ptr(const void* a, const void* b) {
    int c = cmp_(a, b, arg_, flags_);
    reload();
    return c;
  }
  int compare(size_t i, size_t j) { return compare_ptr(at(i), at(j)); }

  void swap(size_t i, size_t j) {
    uint8_t* a = at(i);
    uint8_t* b = at(j);
    if (a == b) return;
    switch (size_) {
      case 1: std::swap(*a, *b); break;
      case 2: swap_fixed<2>(a, b); break;
      case 4: swap_fixed<4>(a, b); break;
      case 8: swap_fixed<8>(a, b); break;
      case 16: swap_fixed<16>(a, b); break;
      default: swap_bytes(a, b, size_);
    }
  }
  // Swaps k elements at i with k at j; the two blocks do not overlap.
  void swap_block(size_t i, size_t j, size_t k) { swap_bytes(at(i), at(j), k * size_); }
  void copy(uint8_t* dst, const uint8_t* src) const { std::memcpy(dst, src, size_); }

  void reverse(size_t lo, size_t hi) {
    while (hi - lo > 1) swap(lo++, --hi);
  }
  // [lo, mid) [mid, hi) -> [mid, hi) [lo, mid), both keeping their order.
  void rotate(size_t lo, size_t mid, size_t hi) {
    reverse(lo, mid);
    reverse(mid, hi);
    reverse(lo, hi);
  }

  // Adjacent exchanges while the previous element compares greater; the
  // elements [lo, from) are already in order.
  void insertion_sort(size_t lo, size_t from, size_t hi) {
    for (size_t k = from; k < hi; ++k)
      for (size_t j = k; j > lo && compare(j - 1, j) > 0; --j) swap(j - 1, j);
  }

 private:
  void reload() {
    base_ = get_(ctx_);
    if (!base_) fire(ErrId::PROTECTED);
  }

  uint8_t* (*get_)(void*);
  void* ctx_;
  uint8_t* base_ = nullptr;
  size_t size_;
  void* arg_;
  uint32_t flags_;
  SortCompare cmp_;
};

// ---------------------------------------------------------------------------
// Merge sort

constexpr size_t MIN_RUN = 24;

// The run starting at lo: ascending (non-strict) or strictly descending,
// reversed; extended to MIN_RUN elements by insertion. Returns its end.
size_t next_run(Sorter& s, size_t lo, size_t n) {
  size_t end = lo + 1;
  if (end < n) {
    if (s.compare(lo, end) > 0) {
      for (++end; end < n && s.compare(end - 1, end) > 0; ++end) {
      }
      s.reverse(lo, end);
    } else {
      for (++end; end < n && s.compare(end - 1, end) <= 0; ++end) {
      }
    }
  }
  if (end - lo < MIN_RUN) {
    size_t ext = n - lo < MIN_RUN ? n : lo + MIN_RUN;
    s.insertion_sort(lo, end, ext);
    end = ext;
  }
  return end;
}

// The run copied out of the array lives only in the temporary buffer while
// a merge runs; the array has a gap of the same size. Leaving the merge by
// any path fills the gap with what remains of the copy, so a comparator
// that throws leaves a permutation; the normal path uses it for the tail.
struct MergeGap {
  Sorter& s;
  const uint8_t* tmp;
  RootedCells* root;
  size_t pos = 0;    // first element of the gap in the array
  size_t from = 0;   // first unplaced element in tmp
  size_t count = 0;  // unplaced elements = gap size

  ~MergeGap() {
    if (root) root->resize(root->cells(), 0);
    if (!count) return;
    uint8_t* base = s.current_base();
    if (base) std::memcpy(base + pos * s.size(), tmp + from * s.size(), count * s.size());
  }
};

// Merges the adjacent sorted runs [lo, mid) and [mid, hi), copying the
// shorter one out. Equal elements keep their order.
void merge(Sorter& s, uint8_t* tmp, RootedCells* root, size_t lo, size_t mid, size_t hi) {
  const size_t sz = s.size();
  const size_t n1 = mid - lo, n2 = hi - mid;
  MergeGap gap{s, tmp, root};
  if (n2 < n1) {
    // From the back; on ties the right run's element goes first.
    std::memcpy(tmp, s.at(mid), n2 * sz);
    if (root) root->resize(root->cells(), n2 * sz / sizeof(Cell));
    size_t i = mid, t = n2, d = hi;
    gap.pos = mid;
    gap.count = n2;
    while (i > lo && t > 0) {
      int c = s.compare_ptr(s.at(i - 1), tmp + (t - 1) * sz);
      if (c > 0)
        s.copy(s.at(--d), s.at(--i));
      else
        s.copy(s.at(--d), tmp + --t * sz);
      gap.pos = i;
      gap.count = t;
    }
  } else {
    // From the front; on ties the left run's element goes first.
    std::memcpy(tmp, s.at(lo), n1 * sz);
    if (root) root->resize(root->cells(), n1 * sz / sizeof(Cell));
    size_t t = 0, j = mid, d = lo;
    gap.pos = lo;
    gap.count = n1;
    while (t < n1 && j < hi) {
      int c = s.compare_ptr(tmp + t * sz, s.at(j));
      if (c > 0)
        s.copy(s.at(d++), s.at(j++));
      else
        s.copy(s.at(d++), tmp + t++ * sz);
      gap.pos = d;
      gap.from = t;
      gap.count = n1 - t;
    }
  }
}

}  // namespace

namespace detail {

int powersort_power(uint64_t s1, uint64_t n1, uint64_t n2, uint64_t n) {
  // Twice the midpoints; each doubling compares the next binary digit of
  // midpoint / n until the two differ.
  uint64_t a = 2 * s1 + n1;
  uint64_t b = a + n1 + n2;
  int power = 0;
  for (;;) {
    ++power;
    if (a >= n) {
      a -= n;
      b -= n;
    } else if (b >= n) {
      return power;
    }
    a <<= 1;
    b <<= 1;
  }
}

}  // namespace detail

may_gc void merge_sort(const SortArray& a, void* arg, uint32_t flags, SortCompare cmp) {
  const size_t n = a.count;
  if (n < 2 || a.size == 0) return;
  const size_t half = n / 2;
  if (half > 0x7FFFFFFFu / a.size) fire(ErrId::SIZE_LIMIT);
  std::unique_ptr<uint8_t[]> tmp(new (std::nothrow) uint8_t[half * a.size]);
  if (!tmp) fire(ErrId::NO_MEMORY);
  // Only the copied run of each merge is live; the root covers it then.
  RootedCells root(reinterpret_cast<Cell*>(tmp.get()), 0);
  RootedCells* rooted = a.cells ? &root : nullptr;

  Sorter s(a, arg, flags, cmp);
  // (run start, power) for runs waiting to be merged: powers strictly grow
  // towards the top and are at most the bit count of n plus one.
  struct Pending {
    size_t start;
    int power;
  } stack[66];
  int top = 0;

  size_t cur = 0;
  size_t cur_end = next_run(s, 0, n);
  while (cur_end < n) {
    size_t next_end = next_run(s, cur_end, n);
    int p = detail::powersort_power(cur, cur_end - cur, next_end - cur_end, n);
    while (top > 0 && stack[top - 1].power >= p) {
      merge(s, tmp.get(), rooted, stack[top - 1].start, cur, cur_end);
      cur = stack[--top].start;
    }
    stack[top++] = {cur, p};
    cur = cur_end;
    cur_end = next_end;
  }
  while (top > 0) {
    merge(s, tmp.get(), rooted, stack[top - 1].start, cur, n);
    cur = stack[--top].start;
  }
}

// ---------------------------------------------------------------------------
// Quicksort

namespace {

constexpr size_t INSERTION_MAX = 7;
constexpr size_t ENTRY_PAIR_STEP = 97;
constexpr size_t ENTRY_SAMPLE_STEP = 10;
constexpr size_t LARGE_PARTITION = 512;
constexpr size_t FIRST_WINDOW = 63;

class Quick {
 public:
  explicit Quick(Sorter& s) : s_(s) {}

  // Sorts [lo, lo + n). A sorted sample of |h| elements lies at its front
  // (h > 0) or its end (h < 0).
  void sort(size_t lo, size_t n, ptrdiff_t h) {
    while (n > INSERTION_MAX) {
      size_t hs = h < 0 ? size_t(-h) : size_t(h);
      if (hs >= n) return;  // the sample is the whole partition
      size_t w;
      if (hs <= 2) {
        w = n >= LARGE_PARTITION ? FIRST_WINDOW : n;
        s_.swap(lo, median3(lo, lo + w / 2, lo + w - 1));
        hs = 1;
      } else {
        if (h < 0) to_front(lo, n, hs);
        w = n / 256 < hs ? n : 16 * hs - 1;
        if (w < n) gather(lo, n, hs, w);
      }
      Split sp = partition(lo, w, hs);
      if (w < n) {
        // Sort the window and go on with it as the partition's sample.
        sort(lo, sp.left_n, sp.left_h);
        sort(sp.right_lo, sp.right_n, sp.right_h);
        h = ptrdiff_t(w);
        continue;
      }
      // Recursion on the smaller side keeps the depth logarithmic.
      if (sp.left_n < sp.right_n) {
        sort(lo, sp.left_n, sp.left_h);
        lo = sp.right_lo;
        n = sp.right_n;
        h = sp.right_h;
      } else {
        sort(sp.right_lo, sp.right_n, sp.right_h);
        n = sp.left_n;
        h = sp.left_h;
      }
    }
    s_.insertion_sort(lo, lo + 1, lo + n);
  }

 private:
  struct Split {
    size_t left_n;
    ptrdiff_t left_h;
    size_t right_lo, right_n;
    ptrdiff_t right_h;
  };

  size_t median3(size_t x, size_t y, size_t z) {
    if (s_.compare(x, y) < 0) {
      if (s_.compare(y, z) <= 0) return y;
      return s_.compare(x, z) < 0 ? z : x;
    }
    if (s_.compare(y, z) >= 0) return y;
    return s_.compare(x, z) < 0 ? x : z;
  }

  // Moves the last k elements of [lo, lo + n) to its front, in order.
  void to_front(size_t lo, size_t n, size_t k) {
    if (n - k >= k)
      s_.swap_block(lo, lo + n - k, k);
    else
      s_.rotate(lo, lo + n - k, lo + n);
  }

  // Fills the window after the sample with elements spread over the whole
  // partition (every n / w-th), so a presorted partition still gives a
  // representative window.
  void gather(size_t lo, size_t n, size_t hs, size_t w) {
    size_t step = n / w;
    for (size_t i = hs; i < w; ++i) s_.swap(lo + i, lo + i * step);
  }

  // Partitions the window [lo, lo + w) whose sorted sample [lo, lo + hs)
  // gives the pivot (its median). The result is
  //   [sample low half | less] [pivot, equal] [greater | sample high half]
  // and each side keeps its half of the sample for its own pivots.
  Split partition(size_t lo, size_t w, size_t hs) {
    const size_t m = hs / 2;
    const size_t q = hs - m - 1;
    const size_t pv = lo + m;
    const size_t r = w - hs;
    // [S_lo p S_hi | R] -> [S_lo p | R' | S_hi]
    if (q) {
      if (r >= q)
        s_.swap_block(pv + 1, lo + w - q, q);
      else
        s_.rotate(pv + 1, lo + hs, lo + w);
    }
    size_t less, greater;
    partition3(pv, pv + 1, pv + 1 + r, &less, &greater);
    // The pivot joins the elements equal to it.
    if (less) s_.swap(pv, pv + less);
    size_t equal = r - less - greater;
    Split sp;
    sp.left_n = m + less;
    sp.left_h = ptrdiff_t(m);
    sp.right_lo = pv + less + 1 + equal;
    sp.right_n = greater + q;
    sp.right_h = -ptrdiff_t(q);
    return sp;
  }

  // Three-way partition of [b, e) around the element at pv (outside it):
  // leaves [less | equal | greater]. Equal elements are first gathered at
  // both ends, then swapped to the middle. Every scan is bounded by the
  // indexes alone, so a comparator that lies cannot run it off the range.
  void partition3(size_t pv, size_t b, size_t e, size_t* less, size_t* greater) {
    size_t a = b, i = b;  // [b, a) equal, [a, i) less
    size_t j = e, d = e;  // [j, d) greater, [d, e) equal
    for (;;) {
      while (i < j) {
        int c = s_.compare(i, pv);
        if (c > 0) break;
        if (c == 0) s_.swap(a++, i);
        ++i;
      }
      while (i < j) {
        int c = s_.compare(j - 1, pv);
        if (c < 0) break;
        if (c == 0) s_.swap(j - 1, --d);
        --j;
      }
      if (i >= j) break;
      s_.swap(i++, --j);
    }
    size_t nl = i - a, ng = d - j;
    size_t k = a - b < nl ? a - b : nl;
    if (k) s_.swap_block(b, i - k, k);
    k = e - d < ng ? e - d : ng;
    if (k) s_.swap_block(j, e - k, k);
    *less = nl;
    *greater = ng;
  }

  Sorter& s_;
};

}  // namespace

may_gc void quicksort(const SortArray& a, void* arg, uint32_t flags, SortCompare cmp) {
  const size_t n = a.count;
  if (n < 2 || a.size == 0) return;
  Sorter s(a, arg, flags, cmp);
  if (n <= INSERTION_MAX) {
    s.insertion_sort(0, 1, n);
    return;
  }
  // Entry pass: the initial run (its direction set by the first unequal
  // pair), then every 97th adjacent pair after it.
  size_t run = 1;
  int dir = 0;
  for (; run < n; ++run) {
    int c = s.compare(run - 1, run);
    if (c == 0) continue;
    int sign = c < 0 ? 1 : -1;
    if (dir == 0)
      dir = sign;
    else if (sign != dir)
      break;
  }
  if (run == n) {  // one run: already in order, or reversed
    if (dir < 0) s.reverse(0, n);
    return;
  }
  int64_t score = dir < 0 ? -int64_t(run) : int64_t(run);
  for (size_t k = run + ENTRY_PAIR_STEP; k < n; k += ENTRY_PAIR_STEP) {
    int c = s.compare(k - 1, k);
    score += c < 0 ? 1 : c > 0 ? -1 : 0;
  }
  Quick q(s);
  if (uint64_t(score < 0 ? -score : score) > n / 512) {
    // Presorted: every 10th element, sorted, seeds the pivots.
    size_t h = n / ENTRY_SAMPLE_STEP;
    for (size_t i = 1; i < h; ++i) s.swap(i, i * ENTRY_SAMPLE_STEP);
    q.sort(0, h, 0);
    q.sort(0, n, ptrdiff_t(h));
  } else {
    q.sort(0, n, 0);
  }
}

// ---------------------------------------------------------------------------
// Array sources

uint8_t* fixed_sort_base(void* ctx) { return static_cast<uint8_t*>(ctx); }

uint8_t* series_sort_base(void* ctx) {
  auto* r = static_cast<SeriesSortRange*>(ctx);
  Buffer* b = node_buffer(r->node);
  if (b->unit() != r->unit || b->length() != r->length) return nullptr;
  return b->head_ptr() + size_t(r->index) * r->unit;
}

SortArray series_sort_array(SeriesSortRange* r, NodeId node, uint32_t index, size_t count, uint32_t size,
                            bool cells) {
  Buffer* b = node_buffer(node);
  r->node = node;
  r->index = index;
  r->length = b->length();
  r->unit = b->unit();
  uint64_t bytes = uint64_t(count) * size;
  if (index > r->length || bytes > uint64_t(r->length - index) * r->unit) fire(ErrId::OUT_OF_RANGE);
  return SortArray{series_sort_base, r, count, size, cells};
}

}  // namespace vel
