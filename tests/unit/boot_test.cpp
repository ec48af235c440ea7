// The boot image: what the host tool writes, what start-up accepts, and
// the corrupt images that must end start-up rather than crash it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "boot.h"
#include "datatypes/block.h"
#include "datatypes/strout.h"
#include "error_of.h"
#include "evaluator/natives.h"
#include "test_util.h"
#include "io/velbin.h"
#include "roots.h"

using namespace vel;
using Bytes = std::vector<uint8_t>;

namespace {

inline uint32_t cells_in(NodeId b) { return node_buffer(b)->used() >> 4; }
inline Cell at(const Cell& b, uint32_t i) { return node_buffer(b.node())->cells()[i]; }

Bytes embedded() {
  auto img = boot::embedded_image();
  return Bytes(img.begin(), img.end());
}

}  // namespace

TEST(Boot, ImageHoldsEachSourceAsLoadedCodeAfterItsHeader) {
  std::vector<boot::Source> sources = {
      {"library/a.vel", "; before the header\nVel [Title: \"a\"]\nx: 1 + 2\nr: routine [n [integer!]] [entry]\n"},
      {"library/b.vel", "Vel []\n[routine] routine [x]\no: [f: routine [] []]\n"},
  };
  Bytes img = boot::build_image(sources);
  RootedCell pairs(boot::load_image(img));
  ASSERT_EQ(cells_in(pairs->node()), 4u);
  EXPECT_EQ(string_text(at(*pairs, 0).node()), "library/a.vel");
  EXPECT_TRUE(at(*pairs, 0).is(TYPE_FILE));
  Cell a = at(*pairs, 1);
  EXPECT_EQ(a.index(), 2);  // evaluation starts after `Vel [...]`
  // `routine SPEC BODY` is marked for the start-up routine maker; a
  // `routine` not followed by two blocks is left alone.
  EXPECT_EQ(test::molded(a, MOLD_FLAT), "[x: 1 + 2 r: <routine> [n [integer!]] [entry]]");
  EXPECT_EQ(test::molded(at(*pairs, 3), MOLD_FLAT), "[[routine] routine [x] o: [f: <routine> [] []]]");
}

// The library's native definitions must agree with the runtime's natives
// table: the name that goes with each number, each number once, none left
// out. (The real library is checked this way when its image is built.)
TEST(Boot, NativeDefinitionsAreCheckedAgainstTheTable) {
  std::vector<boot::Source> sources = {
      {"library/n.vel",
       "Vel []\nif: make native! [[c b] 1]\nwhen: make native! [[c b] 2]\n"
       "either: make native! [[c t f] 1]\nany: make native! [[b]]\nall: make native! [[b] 9999]\n"},
  };
  std::vector<std::string> faults;
  boot::build_image(sources, &faults);
  auto has = [&](const std::string& line) { return std::find(faults.begin(), faults.end(), line) != faults.end(); };
  EXPECT_TRUE(has("library/n.vel: when: native 2 is unless"));
  EXPECT_TRUE(has("library/n.vel: either: native 1 is if"));
  EXPECT_TRUE(has("library/n.vel: either: native 1 defined again"));
  EXPECT_TRUE(has("library/n.vel: any: has no native number of the table"));
  EXPECT_TRUE(has("library/n.vel: all: has no native number of the table"));
  EXPECT_TRUE(has("native 3 (either) has no definition"));
  EXPECT_FALSE(has("native 1 (if) has no definition"));
  EXPECT_FALSE(has("native 2 (unless) has no definition"));
  // Nothing else: the five faults above and every other number missing.
  EXPECT_EQ(faults.size(), 5u + NATIVE_COUNT - 2);
}

TEST(Boot, TheEmbeddedImageHoldsTheManifestInOrder) {
  RootedCell pairs(boot::load_image(embedded()));
  ASSERT_GE(cells_in(pairs->node()), 4u);
  EXPECT_EQ(string_text(at(*pairs, 0).node()), "library/words.vel");
  EXPECT_EQ(string_text(at(*pairs, 2).node()), "library/errors.vel");
  EXPECT_TRUE(boot::source_code("library/errors.vel").is(TYPE_BLOCK));
  EXPECT_TRUE(boot::source_code("library/no-such.vel").is(TYPE_NONE));
}

// The image is untrusted bytes to the decoder like any other: every prefix
// of the real one is refused with an error.
TEST(Boot, EveryPrefixOfTheEmbeddedImageIsAnError) {
  Bytes img = embedded();
  for (size_t n = 0; n < img.size(); n++) {
    Bytes cut(img.begin(), img.begin() + n);
    auto err = error_of([&] { (void)velbin::decode(cut); });
    ASSERT_TRUE(err.has_value()) << "prefix of " << n << " bytes decoded";
    EXPECT_TRUE(*err == ErrId::INVALID_DATA || *err == ErrId::RB_INVALID_RECORD) << n;
  }
}

TEST(BootDeathTest, ACorruptImageEndsStartUpWithStatusOne) {
  Bytes img = embedded();
  Bytes magic = img;
  magic[5] = 'M';
  Bytes one_value = velbin::encode(integer_cell(1), true);  // a good image, not of the boot layout
  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"bad magic", magic},
      {"header only", Bytes(img.begin(), img.begin() + 8)},
      {"half", Bytes(img.begin(), img.begin() + img.size() / 2)},
      {"last byte cut", Bytes(img.begin(), img.end() - 1)},
      {"not the boot layout", one_value},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT((void)boot::load_image(c.bytes), testing::ExitedWithCode(1), "");
  }
}
