// Sorting with a comparator function written in Vel: the frame the function
// is called with, the call, and how its answer orders two elements. Shared
// by the sorts of blocks, strings and vectors.
//
// The function may run the collector, move the sorted buffer or change the
// series: callers copy the two elements into rooted cells before asking.
#pragma once
#include <algorithm>
#include <cstdint>

#include "cell.h"
#include "memory.h"
#include "roots.h"
#include "status.h"

namespace vel {

// A comparator function's non-local exit (break, throw ...) crossing the
// sort: the sort's frames are left for the signal's catcher to restore.
struct SortSignal {
  Status status;
};

struct SortFunction {
  const Cell* fn = nullptr;  // rooted by the caller for the whole sort
  uint32_t frame_cells = 0;  // argument and refinement cells
  uint32_t second_arg = 1;   // cell of the function's second argument
  uint32_t locals = 0;
  int32_t refinements[32];
  uint32_t refinement_count = 0;
};

// Reads the function's frame shape from its argument list; fewer than two
// arguments raise invalid-refine-arg for /compare.
may_gc void sort_function_shape(SortFunction* f, const Cell& fn);

// Calls the function with x and y and answers its result. A non-local exit
// throws SortSignal.
may_gc Cell call_sort_function(const SortFunction& f, const Cell& x, const Cell& y);

// The order of x before y by the function: a function answering truth
// when its first argument comes first sorts ascending. A logic-like answer
// is asked again the other way round when false, so that equal elements
// compare equal (a stable sort needs it); integer and float answers order
// by their sign.
may_gc int sort_function_order(const SortFunction& f, const Cell& x, const Cell& y);

// Sort's /skip, /all and /compare as strings, binaries and vectors read
// them: the record size (len elements must make whole records), the offset
// compared inside a record, and the comparator function, shaped into *fn
// with its value rooted in fn_value, when /compare gives one. skip and
// compare are null when their refinement is not used.
struct SortRecords {
  int64_t record = 1;
  int64_t offset = 0;
};
may_gc SortRecords sort_records(const Cell* skip, const Cell* compare, bool all, int64_t len, RootedCell& fn_value,
                                SortFunction* fn);

// Sort's /part as a count c from *index, *len elements being left to the
// end: at most c of them, or for a negative count the -c elements before
// the index, the series' index moving back to the first of them.
inline void sort_part_range(Cell* series, int64_t c, int64_t* index, int64_t* len) {
  if (c < 0) {
    int64_t from = std::max<int64_t>(0, *index + c);
    *len = *index - from;
    *index = from;
    series->w1 = uint32_t(from);
  } else {
    *len = std::min(c, *len);
  }
}

}  // namespace vel
