// What scripts cannot reach of image!: the VELBIN records of images (byte
// layout, sharing, hostile records), the collector's release of image
// nodes through the external-resource table, and the backend's refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "collector.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/image.h"
#include "error_of.h"
#include "externals.h"
#include "gc_scope.h"
#include "io/velbin.h"
#include "roots.h"
#include "test_util.h"

namespace vel {
namespace {

using Bytes = std::vector<uint8_t>;
using test::run;

Bytes compact_image(const Bytes& payload) {
  Bytes img = {'V', 'E', 'L', 'B', 'I', 'N', 2, velbin::FLAG_COMPACT, 1};
  uint32_t n = uint32_t(payload.size());
  while (n >= 0x80) img.push_back(uint8_t(n | 0x80)), n >>= 7;
  img.push_back(uint8_t(n));
  img.insert(img.end(), payload.begin(), payload.end());
  return img;
}

Cell first_of(const Cell& block) { return *block::rs_abs_at(block, 0); }

}  // namespace

TEST(Image, VelbinRecordsRoundTripInBothForms) {
  for (const char* src : {"at make image! [3x2 1.2.3.4] 3", "make image! [2x1 #{0A0B0C 0D0E0F} #{00FF}]",
                          "make image! 0x5", "tail make image! [1x1 9.9.9]"}) {
    for (bool compact : {true, false}) {
      SCOPED_TRACE(std::string(src) + (compact ? " compact" : " fixed"));
      RootedCell v(run(src));
      Bytes bytes = velbin::encode(*v, compact);
      RootedCell out(velbin::decode(bytes));
      RootedCell back(first_of(*out));
      ASSERT_TRUE(back->is(TYPE_IMAGE));
      EXPECT_EQ(back->index(), v->index());
      EXPECT_EQ(img::size_of(*back).w, img::size_of(*v).w);
      EXPECT_EQ(img::size_of(*back).h, img::size_of(*v).h);
      EXPECT_EQ(img::pixels(*back), img::pixels(*v));
      EXPECT_EQ(velbin::encode(*back, compact), bytes);
    }
  }
}

TEST(Image, CompactRecordBytes) {
  // Tag 53, the variant flag for a head index, width, height, then B G R A.
  RootedCell v(run("next make image! [2x1 #{010203 040506} #{00 FF}]"));
  Bytes expected = compact_image({53 | 0x40, 1, 2, 1, 3, 2, 1, 255, 6, 5, 4, 0});
  EXPECT_EQ(velbin::encode(*v, true), expected);
}

TEST(Image, VelbinKeepsOneImageSharedByTwoCells) {
  RootedCell v(run("i: make image! [2x2 1.2.3] reduce [i next i]"));
  Bytes bytes = velbin::encode(*v, true);
  // The pixels are written once.
  EXPECT_LT(bytes.size(), 40u);
  RootedCell out(velbin::decode(bytes));
  RootedCell blk(first_of(*out));
  Cell a = *block::rs_abs_at(*blk, 0), b = *block::rs_abs_at(*blk, 1);
  EXPECT_EQ(a.w3, b.w3);
  EXPECT_EQ(a.index(), 0);
  EXPECT_EQ(b.index(), 1);
}

TEST(Image, VelbinRefusesBadImageRecords) {
  struct Case {
    const char* name;
    Bytes payload;
  } cases[] = {
      {"a side above 65535", {53, 0xF0, 0xA2, 0x04, 1}},                // 70000 x 1
      {"pixels missing", {53, 2, 2, 1, 2, 3, 4}},                       // 16 bytes announced, 4 given
      {"huge sides, no pixels", {53, 0xFF, 0xFF, 0x03, 0xFF, 0xFF, 0x03}},
      {"no size", {53}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_of([&] { (void)velbin::decode(compact_image(c.payload)); }), ErrId::RB_INVALID_RECORD);
  }
}

TEST(Image, CollectorReleasesUnreachableNodes) {
  (void)run("1");
  {
    CollectingScope gc;
    collector_run();
    int32_t before = g_externals.live_count();
    (void)run("kept: make image! 2x2 loop 200 [make image! [4x4 1.2.3]] none");
    collector_run();
    // The kept image holds its record; the 200 others are gone.
    EXPECT_EQ(g_externals.live_count(), before + 1);
    (void)run("kept: none");
    // Stack cells above the top may still hold the value through one
    // collection; by the second nothing does.
    collector_run();
    collector_run();
    EXPECT_EQ(g_externals.live_count(), before);
  }
}

TEST(Image, FailedDecodesLeaveNothingBehind) {
  (void)run("1");
  int32_t before = g_externals.live_count();
  for (int i = 0; i < 1000; i++) {
    EXPECT_EQ(error_of([] { (void)run("system/codecs/bmp/decode #{424D0000000000000000}"); }), ErrId::BAD_MEDIA);
  }
  EXPECT_EQ(g_externals.live_count(), before);
}

TEST(Image, UnknownEncoderFormatAnswersNone) {
  RootedCell v(run("make image! 1x1"));
  Cell r = img::encode(*v, 5);
  EXPECT_TRUE(r.is(TYPE_NONE));
}

TEST(Image, BackendRefusesSizesBeyondItsLimits) {
  EXPECT_EQ(error_of([] { (void)image::create(65536, 1); }), ErrId::NO_MEMORY);
  EXPECT_EQ(error_of([] { (void)image::create(40000, 40000); }), ErrId::NO_MEMORY);
  EXPECT_EQ(error_of([] { (void)image::create(0, 1); }), ErrId::NO_MEMORY);
}

}  // namespace vel
