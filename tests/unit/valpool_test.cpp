#include "valpool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "error_of.h"
#include "errors.h"
#include "roots.h"

using namespace vel;

namespace {

Cell int_cell(int32_t v) { return make_cell(TYPE_INTEGER, 0, uint32_t(v)); }

// A pool of its own, rooted like the runtime's.
class ValuePoolTest : public testing::Test {
 protected:
  void SetUp() override { pool.reset(); }
  ValuePool pool;
  RootedCells root{pool.root_cell(), 1};
};

std::vector<int32_t> ints_of(NodeId a) {
  std::vector<int32_t> out;
  for (uint32_t n = 1; n <= array_length(a); n++) out.push_back(int_array_pick(a, n));
  return out;
}

}  // namespace

TEST_F(ValuePoolTest, HundredAndFirstStoreDoublesAndOldSlotsStayValid) {
  NodeId node = pool.node();
  for (uint32_t k = 1; k <= 100; k++) ASSERT_EQ(pool.store(int_cell(int32_t(k * 7))), k);
  EXPECT_EQ(pool.capacity(), 100u);
  // A series value, so the cell is copied whole, not just an integer.
  Cell block = make_cell(TYPE_BLOCK, 3, 0x1234, 0);
  EXPECT_EQ(pool.store(block), 101u);
  EXPECT_EQ(pool.capacity(), 200u);
  EXPECT_EQ(pool.node(), node);  // same series, bigger buffer
  EXPECT_EQ(node_buffer(node)->length(), 200u);  // the whole capacity is its length
  for (uint32_t k = 1; k <= 100; k++) ASSERT_EQ(pool.get(k).i2(), int32_t(k * 7)) << k;
  Cell back = pool.get(101);
  EXPECT_EQ(std::memcmp(&back, &block, sizeof(Cell)), 0);
  // The new half is free in index order.
  EXPECT_EQ(pool.store(int_cell(0)), 102u);
  EXPECT_EQ(pool.store(int_cell(0)), 103u);
  EXPECT_EQ(pool.used(), 103u);
}

TEST_F(ValuePoolTest, FreedSlotIsReusedFirst) {
  for (int k = 0; k < 5; k++) pool.store(int_cell(k));
  pool.free(2);
  pool.free(4);
  pool.free(0);  // nothing
  EXPECT_EQ(pool.used(), 3u);
  EXPECT_EQ(pool.store(int_cell(40)), 4u);  // last freed, first reused
  EXPECT_EQ(pool.store(int_cell(20)), 2u);
  EXPECT_EQ(pool.store(int_cell(60)), 6u);
  EXPECT_EQ(pool.get(4).i2(), 40);
  pool.at(4)->w2 = 41;
  EXPECT_EQ(pool.get(4).i2(), 41);
}

TEST_F(ValuePoolTest, OutOfRangeAndFreeSlotsAreRefused) {
  pool.store(int_cell(1));
  pool.store(int_cell(2));
  pool.free(2);
  for (uint32_t slot : {0u, 2u, 3u, 100u, 101u, 0xFFFFFFFFu}) {
    VelError e = caught([&] { pool.get(slot); });
    EXPECT_EQ(e.id, ErrId::OUT_OF_RANGE) << slot;
    EXPECT_EQ(e.args[0].w2, slot);
    EXPECT_TRUE(error_of([&] { pool.at(slot); })) << slot;
  }
  for (uint32_t slot : {3u, 101u}) EXPECT_TRUE(error_of([&] { pool.free(slot); })) << slot;
}

TEST_F(ValuePoolTest, DoubleFreeIsRefusedAndTheFreeListSurvives) {
  // A stored integer! looks exactly like a free cell; only the in-use bitmap
  // tells them apart.
  uint32_t a = pool.store(int_cell(-1));
  uint32_t b = pool.store(int_cell(0));
  pool.free(a);
  EXPECT_EQ(error_of([&] { pool.free(a); }), ErrId::OUT_OF_RANGE);
  EXPECT_TRUE(pool.in_use(b));
  // Had the second free gone through, a would be handed out twice.
  uint32_t c = pool.store(int_cell(5));
  uint32_t d = pool.store(int_cell(6));
  EXPECT_EQ(c, a);
  EXPECT_NE(d, a);
  EXPECT_NE(d, b);
}

TEST_F(ValuePoolTest, GrowthKeepsManyGenerationsOfSlots) {
  std::vector<uint32_t> slots;
  for (int32_t k = 0; k < 1000; k++) slots.push_back(pool.store(int_cell(k)));
  EXPECT_EQ(pool.capacity(), 1600u);
  for (int32_t k = 0; k < 1000; k += 2) pool.free(slots[size_t(k)]);
  for (int32_t k = 1; k < 1000; k += 2) ASSERT_EQ(pool.get(slots[size_t(k)]).i2(), k);
  for (int32_t k = 0; k < 500; k++) pool.store(int_cell(k));
  EXPECT_EQ(pool.capacity(), 1600u);  // the freed slots were enough
}

// --- arrays -------------------------------------------------------------------

TEST(Array, FindOnAnEmptyArrayGivesMinusOne) {
  NodeId a = array_make(0, 4);
  EXPECT_EQ(array_length(a), 0u);
  EXPECT_EQ(int_array_find_offset(a, 0), -1);
  EXPECT_FALSE(int_array_remove_value(a, 0));
}

TEST(Array, InsertTakesAZeroBasedPosition) {
  struct Case {
    uint32_t index;
    std::vector<int32_t> expected;
  };
  const Case cases[] = {
      {0, {9, 10, 20, 30}},
      {1, {10, 9, 20, 30}},
      {3, {10, 20, 30, 9}},
  };
  for (const Case& c : cases) {
    NodeId a = array_make(3, 4);  // exactly full: the insert must grow it
    for (int32_t v : {10, 20, 30}) int_array_append(a, v);
    int_array_insert_at(a, c.index, 9);
    EXPECT_EQ(ints_of(a), c.expected) << c.index;
  }
  NodeId a = array_make(0, 4);
  int_array_append(a, 1);
  EXPECT_EQ(error_of([&] { int_array_insert_at(a, 2, 9); }), ErrId::OUT_OF_RANGE);
  EXPECT_EQ(ints_of(a), std::vector<int32_t>{1});
}

TEST(Array, IntArraysGrowAndKeepTheirNode) {
  NodeId a = array_make(0, 4);
  EXPECT_EQ(node_buffer(a)->capacity, 16u);
  for (int32_t k = 0; k < 5000; k++) int_array_append(a, k * 3 - 7000);
  EXPECT_EQ(array_length(a), 5000u);
  EXPECT_EQ(node_buffer(a)->node, a);
  EXPECT_EQ(array_flags(a) & BUF_UNIT_MASK, 4u);
  for (int32_t k = 0; k < 5000; k += 499) ASSERT_EQ(int_array_pick(a, uint32_t(k + 1)), k * 3 - 7000);
  int_array_set(a, 5000, 77);
  EXPECT_EQ(int_array_pick(a, 5000), 77);
}

TEST(Array, FindAndRemoveWorkInByteOffsets) {
  NodeId a = array_make(0, 4);
  for (int32_t v : {5, 6, 7, 6}) int_array_append(a, v);
  EXPECT_EQ(int_array_find_offset(a, 7), 8);
  EXPECT_EQ(int_array_find_offset(a, 6), 4);  // the first one
  EXPECT_TRUE(int_array_remove_value(a, 6));
  EXPECT_EQ(ints_of(a), (std::vector<int32_t>{5, 7, 6}));
  array_remove_bytes(a, 0, 4);
  EXPECT_EQ(ints_of(a), (std::vector<int32_t>{7, 6}));
  for (std::pair<uint32_t, uint32_t> bad : {std::pair{0u, 12u}, {8u, 1u}, {0xFFFFFFFCu, 8u}}) {
    EXPECT_EQ(error_of([&] { array_remove_bytes(a, bad.first, bad.second); }), ErrId::OUT_OF_RANGE)
        << bad.first << "+" << bad.second;
  }
  EXPECT_EQ(ints_of(a), (std::vector<int32_t>{7, 6}));
}

TEST(Array, PositionsOutsideTheArrayAreRefused) {
  NodeId a = array_make(0, 4);
  int_array_append(a, 1);
  int_array_append(a, 2);
  NodeId bytes = array_make(0, 1);
  byte_array_append(bytes, 'x');
  struct Case {
    const char* what;
    std::function<void()> call;
  };
  const Case cases[] = {
      {"pick 0", [&] { int_array_pick(a, 0); }},
      {"pick past the tail", [&] { int_array_pick(a, 3); }},
      {"set past the tail", [&] { int_array_set(a, 3, 0); }},
      {"byte pick 0", [&] { byte_array_pick(bytes, 0); }},
      {"byte pick past the tail", [&] { byte_array_pick(bytes, 2); }},
      {"truncate to more than the length", [&] { array_truncate_to_count(a, 3); }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(c.call), ErrId::OUT_OF_RANGE) << c.what;
  }
}

TEST(Array, TruncateClearAndCopy) {
  NodeId a = array_make(0, 4);
  for (int32_t v : {1, 2, 3, 4}) int_array_append(a, v);
  NodeId c = array_copy(a);
  array_truncate_to_count(a, 2);
  EXPECT_EQ(ints_of(a), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(ints_of(c), (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(array_flags(c) & BUF_UNIT_MASK, 4u);
  array_clear(a);
  EXPECT_EQ(array_length(a), 0u);
  int_array_append(a, 8);
  EXPECT_EQ(ints_of(a), std::vector<int32_t>{8});
}

TEST(Array, ByteArraysAppendFromThemselves) {
  NodeId a = array_make(0, 1);
  byte_array_append_bytes(a, reinterpret_cast<const uint8_t*>("0123456789"), 10);
  // Appending an array to itself: the growth moves the source.
  for (int k = 0; k < 4; k++) {
    Buffer* b = node_buffer(a);
    byte_array_append_bytes(a, b->head_ptr(), b->used());
  }
  ASSERT_EQ(array_length(a), 160u);
  Buffer* b = node_buffer(a);
  std::string text(reinterpret_cast<const char*>(b->head_ptr()), b->used());
  for (size_t k = 0; k < 160; k += 10) ASSERT_EQ(text.substr(k, 10), "0123456789") << k;
  EXPECT_EQ(byte_array_pick(a, 1), '0');
  EXPECT_EQ(byte_array_pick(a, 160), '9');
  byte_array_append(a, 'z');
  EXPECT_EQ(byte_array_pick(a, 161), 'z');
}

TEST(Array, OperationsOfTheOtherUnitAreInternalFaults) {
  NodeId bytes = array_make(8, 1);
  EXPECT_EXIT(int_array_append(bytes, 1), testing::ExitedWithCode(98), "assertion failed");
}
