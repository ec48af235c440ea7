// string!: the set operations' kernel (first occurrences win, case and
// skip). append, insert, change, take, trim, swap and sort as scripts call
// them are in the script suite.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/string.h"
#include "string_test_util.h"

using namespace vel;
using namespace vel::strtest;

TEST(StringSetOps, FirstOccurrencesWin) {
  struct Case {
    const char* a;
    const char* b;
    string::SetOp op;
    bool case_sensitive;
    int skip;
    const char* out;
  } cases[] = {
      {"abc", "bcd", string::SET_UNION, false, 1, "abcd"},
      {"abc", "bcd", string::SET_DIFFERENCE, false, 1, "ad"},
      {"abc", "bcd", string::SET_INTERSECT, false, 1, "bc"},
      {"abc", "bcd", string::SET_EXCLUDE, false, 1, "a"},
      {"aAbBa", nullptr, string::SET_UNIQUE, false, 1, "ab"},
      {"aAbBa", nullptr, string::SET_UNIQUE, true, 1, "aAbB"},
      {"abC", "ABc", string::SET_INTERSECT, false, 1, "abC"},
      {"\xC3\xA9x", "\xC3\x89", string::SET_EXCLUDE, false, 1, "x"},
      {"a1a2b3", nullptr, string::SET_UNIQUE, false, 2, "a1b3"},
  };
  for (const Case& c : cases) {
    Values v;
    Cell a = str(v, c.a);
    Cell b = c.b ? str(v, c.b) : none_cell();
    Cell r = v.keep(string::do_set_op(a, c.b ? &b : nullptr, c.case_sensitive, c.skip, c.op));
    EXPECT_EQ(text(r), c.out);
  }
  Values v;
  Cell a = str(v, "abc");
  EXPECT_EQ(error_of([&] { (void)string::do_set_op(a, nullptr, false, 0, string::SET_UNIQUE); }),
            ErrId::INVALID_REFINE_ARG);
}
