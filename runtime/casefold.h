// Case mapping: one code point to one, for every case-insensitive operation
// (comparison, search, sorting, hashing, parse) and for uppercase/lowercase.
//
// The data is generated (tools/gen-casefold.py -> casefold_tables.cpp) and is
// constant: a two-level table of record ids over the mapped range, each
// record holding the upper, lower and fold deltas. A full mapping of several
// characters keeps its first one (U+00DF -> S), so no mapping changes the
// number of characters.
//
// Two foldings serve case-insensitive work:
//   - to_upper_cp orders: case-insensitive comparison compares upper cases.
//   - fold_lower names the class of upper(cp) by a lower-case member, so
//     fold_lower(a) == fold_lower(b) exactly when to_upper_cp(a) ==
//     to_upper_cp(b). Equality tests and hashes use it; they then agree with
//     comparison (ß, s and S are one class; the Kelvin sign is its own).
#pragma once
#include <cstddef>
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel {

namespace detail {
struct CaseRecord {
  int32_t upper, lower, fold;
};
constexpr uint32_t CASE_BLOCK_SHIFT = 7;
extern const uint32_t kCaseLimit;  // code points from here on map to themselves
extern const CaseRecord kCaseRecords[];
extern const uint8_t kCaseStage1[];
extern const uint8_t kCaseStage2[];

inline const CaseRecord& case_record(uint32_t cp) {
  uint32_t block = kCaseStage1[cp >> CASE_BLOCK_SHIFT];
  return kCaseRecords[kCaseStage2[(block << CASE_BLOCK_SHIFT) | (cp & ((1u << CASE_BLOCK_SHIFT) - 1))]];
}
}  // namespace detail

uint32_t to_upper_slow(uint32_t cp);
uint32_t to_lower_slow(uint32_t cp);
uint32_t fold_lower_slow(uint32_t cp);

inline uint32_t to_upper_cp(uint32_t cp) {
  if (cp < 0x80) return cp - ((cp - 'a' < 26u) ? 32u : 0u);
  return to_upper_slow(cp);
}

inline uint32_t to_lower_cp(uint32_t cp) {
  if (cp < 0x80) return cp + ((cp - 'A' < 26u) ? 32u : 0u);
  return to_lower_slow(cp);
}

// The case-insensitive key used by equality and hashing (see above).
inline uint32_t fold_lower(uint32_t cp) {
  if (cp < 0x80) return cp + ((cp - 'A' < 26u) ? 32u : 0u);
  return fold_lower_slow(cp);
}

// Mapping in one direction: upper when `upper` is set.
inline uint32_t change_case_cp(uint32_t cp, bool upper) { return upper ? to_upper_cp(cp) : to_lower_cp(cp); }

// Its upper case when that differs, else its lower case.
uint32_t swap_case_cp(uint32_t cp);

// Case-insensitive ordering of two code points: <0, 0, >0.
inline int compare_nocase_cp(uint32_t a, uint32_t b) {
  uint32_t x = to_upper_cp(a), y = to_upper_cp(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

// Changes the case of n characters of `unit` (1, 2 or 4) at p, in place.
// Answers the number changed: n, or the position of the first character
// whose mapping does not fit the unit (only U+00B5 and U+00FF upper-case
// beyond Latin-1). The caller widens the buffer and resumes from there;
// change_case below does exactly that.
size_t change_case_run(uint8_t* p, size_t n, uint32_t unit, bool upper);

// The count meaning "to the tail" for change_case.
constexpr int64_t CASE_TO_TAIL = INT64_MAX;

// uppercase/lowercase of a string series from character index `index`:
// the index is clamped to the tail; a negative count changes nothing and a
// count beyond the tail stops at the tail. The buffer widens when a mapping
// needs it (ÿ -> Ÿ turns a Latin-1 string into UCS-2). Telling an owner
// object about the change is the caller's part.
may_gc void change_case(NodeId series, int64_t index, int64_t count, bool upper);

// Nothing to build: the tables are constant data. Runs as the case-folding
// start-up step so that later steps may require it.
void case_folding_init();

}  // namespace vel
