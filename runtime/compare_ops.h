// The comparison operator codes that the compare slot of every datatype
// takes: the comparison natives, sort, find and the hash tables all pass
// these, so each meaning has one code.
#pragma once
#include <cstdint>

namespace vel {

enum CompareOp : int {
  CMP_EQUAL = 0,
  CMP_NOT_EQUAL = 1,
  CMP_STRICT_EQUAL = 2,
  CMP_LESSER = 3,
  CMP_LESSER_OR_EQUAL = 4,
  CMP_GREATER = 5,
  CMP_GREATER_OR_EQUAL = 6,
  CMP_SORT = 7,
  CMP_CASE_SORT = 8,
  CMP_SAME = 9,
  CMP_WORD_MATCH = 10,
  CMP_WORD_MATCH_CASE = 11,
  CMP_FIND = 12,
};
constexpr int32_t CMP_INCOMPARABLE = -2;

// The operators every comparable pair answers, ordered or not: the
// equalities, sameness, sort order and find. The orderings (< <= > >=) and
// the word matches answer only where a type orders its values.
constexpr bool is_equality_or_sort(int op) {
  switch (op) {
    case CMP_EQUAL:
    case CMP_NOT_EQUAL:
    case CMP_STRICT_EQUAL:
    case CMP_SORT:
    case CMP_CASE_SORT:
    case CMP_SAME:
    case CMP_FIND:
      return true;
    default:
      return false;
  }
}

}  // namespace vel
