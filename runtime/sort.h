// In-place sorts over arrays of fixed-size elements: characters of any
// unit, value cells and records of several cells.
//
// The comparator may run Vel code, which may run the collector and move the
// buffer being sorted. So the sorts hold element indexes, never addresses,
// across a comparison: after every comparator call they ask the array's
// base getter for the current address. A getter answering null means the
// series was changed under the sort, which then fails with script/protected
// instead of touching memory that is no longer the array.
//
// If the comparator throws, the array is left a permutation of its elements
// (partly sorted) and nothing leaks.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel {

// Below 0 when a sorts before b, 0 when equal, above 0 when after. arg and
// flags pass through unchanged. a and b are valid only until the comparator
// runs anything that may collect: copy the elements first.
using SortCompare = int (*)(const void* a, const void* b, void* arg, uint32_t flags);

struct SortArray {
  // The current address of element 0, or null when the array is no longer
  // what the sort started on. Must not throw.
  uint8_t* (*base)(void* ctx);
  void* ctx;
  size_t count;
  uint32_t size;  // bytes per element
  bool cells;     // elements are value cells (size a multiple of 16): copies are rooted
};

// Stable natural merge sort with the powersort merge policy.
// script/size-limit when half the array exceeds 31 bits of bytes,
// internal/no-memory when its temporary buffer cannot be had; the array is
// then unchanged.
may_gc void merge_sort(const SortArray& a, void* arg, uint32_t flags, SortCompare cmp);

// Quicksort with a presortedness pass, sampled pivots and three-way
// partitioning; not stable, allocates nothing.
may_gc void quicksort(const SortArray& a, void* arg, uint32_t flags, SortCompare cmp);

// An array in memory that never moves: ctx is its address.
uint8_t* fixed_sort_base(void* ctx);
inline SortArray fixed_sort_array(void* base, size_t count, uint32_t size, bool cells = false) {
  return SortArray{fixed_sort_base, base, count, size, cells};
}

// Elements from index (in units of the series) of a series. The getter
// re-resolves the node, and answers null once the series' length or unit
// differs from what it was when the range was made.
struct SeriesSortRange {
  NodeId node;
  uint32_t index;
  uint32_t length;
  uint32_t unit;
};
uint8_t* series_sort_base(void* ctx);
// Fills r from the series' current state; count elements of size bytes must
// lie within it (script/out-of-range otherwise).
SortArray series_sort_array(SeriesSortRange* r, NodeId node, uint32_t index, size_t count, uint32_t size,
                            bool cells);

namespace detail {
// The merge-tree depth of the boundary between adjacent runs [s1, s1+n1)
// and [s1+n1, s1+n1+n2) of an n-element array.
int powersort_power(uint64_t s1, uint64_t n1, uint64_t n2, uint64_t n);
}  // namespace detail

}  // namespace vel
