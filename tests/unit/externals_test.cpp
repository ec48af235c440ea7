#include "externals.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vel;

namespace {

// Handles released through the test class, in order.
std::vector<ExternalHandle> g_released;
void record_release(ExternalHandle h) { g_released.push_back(h); }

class Externals : public testing::Test {
 protected:
  void SetUp() override {
    g_released.clear();
    table.reset();
    cls = table.register_class("test-handle", record_release);
  }
  ExternalTable table;
  int cls = 0;
};

std::vector<ExternalHandle> handles_of(const ExternalTable& t, int cls) {
  std::vector<ExternalHandle> out;
  auto collect = [&](ExternalHandle h) { out.push_back(h); };
  t.for_each(cls, collect);
  return out;
}

}  // namespace

TEST_F(Externals, StartsWithAThousandFreeRecords) {
  EXPECT_EQ(table.capacity(), EXTERNAL_INITIAL_RECORDS);
  EXPECT_EQ(table.live_count(), 0);
  EXPECT_EQ(table.store(0x10, cls), 0);
  EXPECT_EQ(table.store(0x11, cls), 1);
  EXPECT_EQ(table.class_of(1), cls);
  EXPECT_EQ(table.handle(1), 0x11u);
}

TEST_F(Externals, TheThousandthStoreDoublesFirstAndIndexesStayValid) {
  for (int32_t i = 0; i < 999; i++) ASSERT_EQ(table.store(ExternalHandle(1000 + i), cls), i);
  EXPECT_EQ(table.capacity(), 1000);
  EXPECT_EQ(table.store(0xABC, cls), 999);
  EXPECT_EQ(table.capacity(), 2000);
  for (int32_t i = 0; i < 999; i++) ASSERT_EQ(table.handle(i), ExternalHandle(1000 + i));
  // The new half follows in index order.
  EXPECT_EQ(table.store(0xABD, cls), 1000);
  EXPECT_EQ(table.store(0xABE, cls), 1001);
  // And growth goes on: 4,000 after 1,999 stores.
  for (int32_t i = 1002; i < 1999; i++) table.store(ExternalHandle(i), cls);
  EXPECT_EQ(table.capacity(), 2000);
  EXPECT_EQ(table.store(1, cls), 1999);
  EXPECT_EQ(table.capacity(), 4000);
  EXPECT_EQ(table.live_count(), 2000);
}

TEST_F(Externals, ReplaceReleasesOnlyADifferentOldHandle) {
  int32_t i = table.store(0x50, cls);
  EXPECT_TRUE(table.replace(i, 0x50));
  EXPECT_TRUE(g_released.empty());
  EXPECT_TRUE(table.replace(i, 0x60));
  EXPECT_EQ(g_released, std::vector<ExternalHandle>{0x50});
  EXPECT_EQ(table.handle(i), 0x60u);
}

TEST_F(Externals, RemoveReleasesOnlyWhenAsked) {
  int32_t a = table.store(0x1, cls);
  int32_t b = table.store(0x2, cls);
  EXPECT_TRUE(table.remove(a, false));
  EXPECT_TRUE(g_released.empty());
  EXPECT_TRUE(table.remove(b, true));
  EXPECT_EQ(g_released, std::vector<ExternalHandle>{0x2});
  EXPECT_EQ(table.live_count(), 0);
  // A freed record goes to the front of the free list.
  EXPECT_EQ(table.store(0x3, cls), b);
  EXPECT_EQ(table.store(0x4, cls), a);
  // Records that are not live are refused, not corrupted.
  EXPECT_FALSE(table.remove(500, true));
  EXPECT_FALSE(table.remove(-1, true));
  EXPECT_FALSE(table.remove(table.capacity(), true));
  EXPECT_FALSE(table.replace(500, 0x9));
  EXPECT_FALSE(table.mark(500));
  EXPECT_EQ(g_released.size(), 1u);
}

TEST_F(Externals, RemovingFromTheMiddleKeepsTheChain) {
  int32_t idx[5];
  for (int k = 0; k < 5; k++) idx[k] = table.store(ExternalHandle(k + 1), cls);
  ASSERT_TRUE(table.remove(idx[2], false));  // middle
  ASSERT_TRUE(table.remove(idx[4], false));  // newest
  ASSERT_TRUE(table.remove(idx[0], false));  // oldest
  EXPECT_EQ(handles_of(table, cls), (std::vector<ExternalHandle>{4, 2}));
}

TEST_F(Externals, ForEachVisitsOneClassNewestFirst) {
  int other = table.register_class("other", nullptr);
  table.store(1, cls);
  table.store(100, other);
  table.store(2, cls);
  table.store(3, cls);
  EXPECT_EQ(handles_of(table, cls), (std::vector<ExternalHandle>{3, 2, 1}));
  EXPECT_EQ(handles_of(table, other), (std::vector<ExternalHandle>{100}));
}

TEST_F(Externals, SweepReleasesUnmarkedOnceAndReusesTheirIndex) {
  int32_t kept = table.store(0xA, cls);
  int32_t dropped = table.store(0xB, cls);
  EXPECT_TRUE(table.mark(kept));
  EXPECT_FALSE(table.mark(kept));  // already marked
  table.sweep();
  EXPECT_EQ(g_released, std::vector<ExternalHandle>{0xB});
  EXPECT_FALSE(table.is_live(dropped));
  EXPECT_TRUE(table.is_live(kept));
  EXPECT_FALSE(table.is_marked(kept));  // marks are cleared for the next cycle
  EXPECT_EQ(table.store(0xC, cls), dropped);

  // Nothing marked this time: both go, each released once.
  g_released.clear();
  table.sweep();
  EXPECT_EQ(g_released, (std::vector<ExternalHandle>{0xC, 0xA}));
  EXPECT_EQ(table.live_count(), 0);
  table.sweep();
  EXPECT_EQ(g_released.size(), 2u);
}

TEST_F(Externals, ClassesWithoutCallbackOrIdReleaseNothing) {
  int quiet = table.register_class("quiet", nullptr);
  int32_t a = table.store(0x1, quiet);
  int32_t b = table.store(0x2, 0);
  EXPECT_TRUE(table.remove(a, true));
  EXPECT_TRUE(table.remove(b, true));
  table.store(0x3, quiet);
  table.sweep();
  EXPECT_TRUE(g_released.empty());
}

TEST_F(Externals, MarkWithAHandleReplacesAReleasedOne) {
  int32_t i = table.store(0x70, cls);
  ASSERT_TRUE(table.release_handle(i));
  EXPECT_EQ(g_released, std::vector<ExternalHandle>{0x70});
  EXPECT_EQ(table.handle(i), 0u);
  EXPECT_TRUE(table.mark(i, 0x71));
  EXPECT_EQ(table.handle(i), 0x71u);
  EXPECT_EQ(g_released.size(), 1u);  // mark itself releases nothing
  table.sweep();
  EXPECT_TRUE(table.is_live(i));
}

TEST_F(Externals, TwentyClassesAndNoMore) {
  for (int k = table.class_count(); k < EXTERNAL_CLASS_MAX; k++) EXPECT_EQ(table.register_class("c", nullptr), k + 1);
  EXPECT_EQ(table.class_at(1).name, std::string("test-handle"));
  EXPECT_EXIT(table.register_class("one too many", nullptr), testing::ExitedWithCode(98), "assertion failed");
  // Storing with a class id that was never registered is refused the same way.
  ExternalTable fresh;
  fresh.reset();
  EXPECT_EXIT(fresh.store(1, 1), testing::ExitedWithCode(98), "assertion failed");
}

#ifndef NDEBUG
TEST_F(Externals, MarkOverAnUnreleasedHandleIsCaughtInDebugBuilds) {
  int32_t i = table.store(0x80, cls);
  EXPECT_EXIT(table.mark(i, 0x81), testing::ExitedWithCode(98), "assertion failed");
}
#endif
