// vector!: the operations the GUI backend keeps its drawing data with,
// which scripts cannot reach.
#include <gtest/gtest.h>

#include "datatypes/vector.h"
#include "roots.h"
#include "scalar_test_util.h"

using namespace vel;
using namespace vel::scalartest;

namespace {

TEST(Vector, DrawingDataAppendsCutsAndEmpties) {
  RootedCell v;
  vector_make_at(v.get(), 1, TYPE_INTEGER, 4);
  // Past the first capacity, so the buffer grows (and may move).
  for (int32_t i = 0; i < 1000; i++) vector_rs_append_int(*v, i * 7 - 3);
  EXPECT_EQ(vector_rs_length(*v), 1000);
  v->w1 = 998;
  EXPECT_EQ(vector_rs_length(*v), 2);
  EXPECT_EQ(molded(*v), "make vector! [6983 6990]");
  v->w1 = 2;
  vector_rs_clear(*v);
  v->w1 = 0;
  EXPECT_EQ(molded(*v), "make vector! [-3 4]");
  vector_rs_clear(*v);
  EXPECT_EQ(vector_rs_length(*v), 0);
  EXPECT_EQ(molded(*v), "make vector! [integer! 32 []]");
  EXPECT_EQ(error_of([&] { vector_make_at(v.get(), 0x20000000, TYPE_FLOAT, 8); }), ErrId::NO_MEMORY);
}

TEST(Vector, ElementsAsValuesByTypeAndWidth) {
  uint8_t bytes[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
  EXPECT_EQ(vector_get_value(bytes, 1, TYPE_INTEGER).i2(), 255);
  EXPECT_EQ(vector_get_value(bytes, 2, TYPE_CHAR).w2, 0xFFFFu);
  EXPECT_EQ(vector_get_value(bytes, 4, TYPE_INTEGER).i2(), -1);
  vector_set_value(bytes, float_cell(0.5), 4);
  EXPECT_EQ(vector_get_value(bytes, 4, TYPE_FLOAT).f64(), 0.5);
  vector_set_value(bytes, P(0.125), 8);
  Cell p = vector_get_value(bytes, 8, TYPE_PERCENT);
  EXPECT_TRUE(p.is(TYPE_PERCENT));
  EXPECT_EQ(p.f64(), 0.125);
  EXPECT_EQ(error_of([&] { vector_set_value(bytes, N(), 4); }), ErrId::INVALID_TYPE);
}

}  // namespace
