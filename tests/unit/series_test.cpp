#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "error_of.h"
#include "errors.h"
#include "series_ops.h"

using namespace vel;

TEST(Series, ReserveTailGrowth) {
  NodeId a = alloc_bytes(32);
  EXPECT_EQ(reserve_tail(a, 100), 0u);
  // Twice the request: 200 bytes, in whole 16-byte units.
  EXPECT_EQ(node_buffer(a)->capacity, 208u);
  EXPECT_EQ(node_buffer(a)->tail, 100u);

  NodeId b = alloc_bytes(32);
  node_buffer(b)->tail = 32;
  EXPECT_EQ(reserve_tail(b, 8), 32u);
  EXPECT_EQ(node_buffer(b)->capacity, 64u);
  EXPECT_EQ(node_buffer(b)->tail, 40u);
}

TEST(Series, AllocTailAppendsUnsetCells) {
  NodeId blk = alloc_cells(1);
  for (int i = 0; i < 5; i++) alloc_tail(blk)->w2 = uint32_t(i);
  Buffer* b = node_buffer(blk);
  ASSERT_EQ(b->length(), 5u);
  for (int i = 0; i < 5; i++) {
    EXPECT_TRUE(b->cells()[i].is(TYPE_UNSET));
    EXPECT_EQ(b->cells()[i].w2, uint32_t(i));
  }
}

TEST(Series, CopyPartDropsOwnership) {
  NodeId s = alloc_bytes(16);
  Buffer* b = node_buffer(s);
  std::memcpy(b->data(), "abcdefgh", 8);
  b->tail = 8;
  b->flags |= BUF_OWNED;
  NodeId c = copy_part(s, 2, 3);
  Buffer* cb = node_buffer(c);
  EXPECT_EQ(cb->used(), 3u);
  EXPECT_EQ(std::memcmp(cb->head_ptr(), "cde", 3), 0);
  EXPECT_FALSE(cb->flags & BUF_OWNED);
  // A count past the end is cut to what is there.
  EXPECT_EQ(node_buffer(copy_part(s, 6, 10))->used(), 2u);
}

TEST(Series, RepeatInPlace) {
  for (uint32_t count : {0u, 1u, 2u, 5u, 8u, 13u}) {
    uint8_t buf[64] = {};
    buf[0] = 'x';
    buf[1] = 'y';
    uint8_t* end = repeat_in_place(buf, 2, count);
    EXPECT_EQ(end, buf + 2 * count);
    for (uint32_t i = 0; i < count; i++) EXPECT_TRUE(buf[2 * i] == 'x' && buf[2 * i + 1] == 'y') << count;
    EXPECT_EQ(buf[2 * count + (count ? 0 : 2)], 0);
  }
}

TEST(Series, IndentAppendsFourSpacesPerLevel) {
  NodeId s = alloc_series(4, 2, 0);
  EXPECT_EQ(indent(s, 0, 80), 80);
  EXPECT_EQ(node_buffer(s)->used(), 0u);
  EXPECT_EQ(indent(s, 2, 80), 72);
  Buffer* b = node_buffer(s);
  ASSERT_EQ(b->length(), 8u);
  for (uint32_t i = 0; i < 8; i++) {
    uint16_t c;
    std::memcpy(&c, b->head_ptr() + 2 * i, 2);
    EXPECT_EQ(c, ' ');
  }
}

TEST(Series, FloatToIntBounds) {
  auto f = [](double d) {
    Cell c = make_cell(TYPE_FLOAT);
    c.set_f64(d);
    return c;
  };
  EXPECT_EQ(check_float_to_int(f(2147483647.0)), 2147483647);
  EXPECT_EQ(check_float_to_int(f(-2147483648.0)), -2147483647 - 1);
  EXPECT_EQ(check_float_to_int(f(-2.9)), -2);
  EXPECT_EQ(check_float_to_int(make_cell(TYPE_INTEGER, 0, uint32_t(-5))), -5);
  for (double bad : {2147483648.0, -2147483649.0, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(error_of([&] { check_float_to_int(f(bad)); }), ErrId::OUT_OF_RANGE) << bad;
  }
}
