// Sorting a block of strings goes through a key array of text addresses;
// the order must be exactly the one the cell comparison gives, in every
// mode, widths mixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "action_frames.h"
#include "block_test_util.h"
#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "sort.h"

using namespace vel;
using namespace vel::blocktest;

namespace {

Cell random_text(std::mt19937& rng) {
  static const char32_t kChars[] = {U'a', U'B', U'b', U'A', U'z', U'é', U'É', U'€', U'_', U'1'};
  NodeId s = make_string(8);
  uint32_t n = rng() % 5;
  for (uint32_t i = 0; i < n; i++) append_char(s, kChars[rng() % 10]);
  return series_cell(TYPE_STRING, s);
}

// The block sort's result against a stable sort of the cells by the
// comparison itself (for the stable modes) or a check of the order.
void check_mode(bool case_sensitive, bool reverse, bool stable) {
  std::mt19937 rng(7);
  std::vector<Cell> values;
  for (int i = 0; i < 400; i++) values.push_back(random_text(rng));
  Cell blk = block::make_at(400);
  for (const Cell& v : values) block::rs_append(blk.node(), v);
  int op = case_sensitive ? CMP_CASE_SORT : CMP_SORT;
  // sort series /case /skip size /compare comparator /part length /all /reverse /stable
  call_action(act::sort::SHAPE, {{act::sort::SERIES, blk},
                                 {act::sort::CASE, logic_cell(case_sensitive)},
                                 {act::sort::REVERSE, logic_cell(reverse)},
                                 {act::sort::STABLE, logic_cell(stable)}});
  std::vector<Cell> expect = values;
  std::stable_sort(expect.begin(), expect.end(), [&](const Cell& a, const Cell& b) {
    return reverse ? compare_cells(&b, &a, op) < 0 : compare_cells(&a, &b, op) < 0;
  });
  const Cell* got = node_buffer(blk.node())->cells();
  for (size_t i = 0; i < expect.size(); i++) {
    if (stable) {
      EXPECT_EQ(got[i].node(), expect[i].node()) << i;
    } else if (i > 0) {
      const Cell& a = got[i - 1];
      const Cell& b = got[i];
      EXPECT_LE(reverse ? compare_cells(&b, &a, op) : compare_cells(&a, &b, op), 0) << i;
    }
  }
}

}  // namespace

TEST(BlockSort, StringsSortInEveryModeAsTheComparisonOrders) {
  for (bool cs : {false, true})
    for (bool rev : {false, true})
      for (bool stable : {false, true}) check_mode(cs, rev, stable);
}
