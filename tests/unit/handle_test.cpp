// handle!: scripts cannot make one, so its text, comparison and the actions
// it lacks are checked from the makers the GUI backend uses.
#include <gtest/gtest.h>

#include "datatypes/handle.h"
#include "action_frames.h"
#include "datatypes/logic.h"
#include "io/velbin.h"
#include "roots.h"
#include "scalar_test_util.h"

using namespace vel;
using namespace vel::scalartest;

namespace {

TEST(Handle, FormAndMoldByKind) {
  struct Case {
    uint64_t handle;
    HandleKind kind;
    const char* formed;
    const char* molded_all;
  } cases[] = {
      {0x1A2B, HANDLE_WINDOW, "00001A2Bh", "#[handle! 00001A2Bh window]"},
      {0, HANDLE_NULL, "00000000h", "#[handle! 00000000h]"},
      {0xFFFFFFFF, HANDLE_FD, "FFFFFFFFh", "#[handle! FFFFFFFFh fd]"},
      {0xABCDEF, HANDLE_MONITOR, "00ABCDEFh", "#[handle! 00ABCDEFh monitor]"},
      {0x12, HANDLE_FONT, "00000012h", "#[handle! 00000012h font]"},
      // A 64-bit text layout pointer keeps all its digits.
      {0x00007FF612345678, HANDLE_RICH_TEXT, "00007FF612345678h", "#[handle! 00007FF612345678h rich-text]"},
  };
  for (const Case& k : cases) {
    Cell h = handle_cell(k.handle, k.kind);
    EXPECT_EQ(formed(h), k.formed);
    EXPECT_EQ(molded(h), "handle!");
    EXPECT_EQ(molded(h, MOLD_ALL), k.molded_all);
  }
  NodeId out = make_string(16);
  EXPECT_EQ(form_value(handle_cell(1, HANDLE_WINDOW), out, nullptr, 20), 11);
}

TEST(Handle, ComparesTheHandlesNotTheKinds) {
  Cell a = handle_cell(0x1A2B, HANDLE_WINDOW), b = handle_cell(0x1A2B, HANDLE_FONT);
  EXPECT_TRUE(compare_values(&a, &b, CMP_EQUAL));
  Cell big = handle_cell(0x100000000ull, HANDLE_RICH_TEXT);
  EXPECT_FALSE(compare_values(&a, &big, CMP_EQUAL));  // equal in their low 32 bits only
  Cell zero = handle_cell(0, HANDLE_NULL);
  EXPECT_TRUE(compare_values(&zero, &a, CMP_LESSER));
  Cell i = integer_cell(0x1A2B);
  EXPECT_FALSE(compare_values(&a, &i, CMP_EQUAL));
}

TEST(Handle, NoMakeNoToNoOtherActionNoCodec) {
  Cell h = handle_cell(5, HANDLE_WINDOW);
  EXPECT_EQ(action_error(act::make::SHAPE, {DT(TYPE_HANDLE), I(1)}), ErrId::EXPECT_ARG);
  EXPECT_EQ(action_error(act::to::SHAPE, {DT(TYPE_HANDLE), I(1)}), ErrId::EXPECT_ARG);
  EXPECT_EQ(action_error(act::add::SHAPE, {h, I(1)}), ErrId::EXPECT_ARG);
  EXPECT_EQ(action_error(act::negate::SHAPE, {h}), ErrId::EXPECT_ARG);
  RootedCell holder(BLOCK({h}));
  EXPECT_EQ(error_of([&] { (void)velbin::encode(*holder, true); }), ErrId::NO_CODEC);
}

}  // namespace
