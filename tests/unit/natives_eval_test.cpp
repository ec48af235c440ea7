// construct hands its work to the object module through a hook; without
// the module there is nothing to do it. The natives'
// behaviour as scripts see it is in the script suite.
#include <gtest/gtest.h>

#include "datatypes/function.h"
#include "evaluator/natives_eval.h"
#include "test_util.h"

namespace vel {
namespace {

using namespace test;

Cell g_construct_spec, g_construct_proto;
bool g_construct_only = false;
may_gc Cell fake_construct(const Cell& spec, const Cell* proto, bool only) {
  g_construct_spec = spec;
  g_construct_proto = proto ? *proto : none_cell();
  g_construct_only = only;
  return integer_cell(77);
}

TEST(EvalNatives, ConstructNeedsTheObjectModule) {
  boot_library_once();
  ObjectNativeHooks saved = g_object_native_hooks;
  g_object_native_hooks.construct = nullptr;
  EXPECT_EQ(error_id("construct [a: 1]"), ErrId::NOT_DONE);
  g_object_native_hooks.construct = fake_construct;
  EXPECT_EQ(run("construct/with/only [a: 1] make object! [b: 2]").i2(), 77);
  EXPECT_EQ(molded(g_construct_spec), "[a: 1]");
  EXPECT_TRUE(g_construct_proto.is(TYPE_OBJECT));
  EXPECT_TRUE(g_construct_only);
  g_object_native_hooks = saved;
}

}  // namespace
}  // namespace vel
