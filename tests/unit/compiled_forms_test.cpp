// Compiled forms live outside the collector's pools; the collector frees a
// form when its block dies and keeps it while the block lives. Scripts can
// see neither, so the count of forms is read here.
#include <gtest/gtest.h>

#include "evaluator/compiled.h"
#include "gc_scope.h"
#include "test_util.h"

using namespace vel;
using namespace vel::test;

TEST(CompiledForms, DieWithTheirBlocksAndLiveWithThem) {
  boot_library_once();
  CollectingScope on;
  collector_run();
  size_t before = interp::forms_live();
  {
    // Each fresh block is evaluated twice, which compiles it; one is kept.
    RootedCell kept(run("kept: compose [(6) * 7] do kept do kept "
                        "loop 2000 [b: compose/deep [either (1) > 0 [(2) + 3] [4]] do b do b] b: none "
                        "kept"));
    if (interp::forms_live() == before) GTEST_SKIP() << "no block was compiled (VEL_COMPILE=walker)";
    EXPECT_GE(interp::forms_live(), before + 2000);
    collector_run();
    EXPECT_LE(interp::forms_live(), before + 1);
    EXPECT_NE(interp::valid_form(*kept), nullptr);
    EXPECT_EQ(molded(run("do kept")), "42");
  }
  (void)run("kept: none");
  collector_run();
  EXPECT_LE(interp::forms_live(), before);
}
