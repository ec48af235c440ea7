// native!, action!, op!, function! and routine! from C++: the flags a spec
// sets, the locals count, a function without a body, a word bound to a
// slot its context lacks, a native number with no native, and routines
// registered by C++ entries. What scripts see of them is in the script suite.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/symbol.h"
#include "evaluator/natives.h"
#include "test_util.h"

namespace vel {
namespace {

using namespace test;

class FunctionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { boot_library_once(); }
  void SetUp() override { stack_restore(StackMark{0, 0, 0}); }
};

// --- spec checks -----------------------------------------------------------------

struct SpecCase {
  const char* spec;
  std::optional<ErrId> error;  // nothing: valid
  uint32_t flags = 0;
};

TEST_F(FunctionTest, SpecAttributesBecomeFlags) {
  const SpecCase cases[] = {
      {"[]", std::nullopt},
      {"[a [integer!] \"doc\" 'b :c /ref d [block!] /local e f]", std::nullopt},
      {"[[trace] a]", std::nullopt, func::FN_TRACE},
      {"[[no-trace]]", std::nullopt, func::FN_NO_TRACE},
      {"[[trace no-trace other]]", std::nullopt, func::FN_TRACE | func::FN_NO_TRACE},
      {"[a 1]", ErrId::BAD_FUNC_DEF},
  };
  for (const SpecCase& c : cases) {
    RootedCell spec(load(c.spec));
    *spec = node_buffer(spec->node())->cells()[0];
    std::optional<ErrId> got;
    uint32_t flags = 0;
    Cell arg = none_cell();
    try {
      flags = func::check_spec(*spec);
    } catch (const VelError& e) {
      got = e.id;
      arg = e.args[0];
    }
    EXPECT_EQ(got, c.error) << c.spec;
    if (!c.error) {
      EXPECT_EQ(flags, c.flags) << c.spec;
    }
    // bad-func-def names the whole spec, not the entry at fault.
    if (got == ErrId::BAD_FUNC_DEF) {
      EXPECT_EQ(arg.node(), spec->node()) << c.spec;
    }
  }
}

TEST_F(FunctionTest, AttributeFlagsReachTheHeader) {
  EXPECT_TRUE(run("func [[trace] a] [a]").header & func::FN_TRACE);
  EXPECT_TRUE(run("func [[no-trace]] []").header & func::FN_NO_TRACE);
  Cell plain = run("func [a] [a]");
  EXPECT_EQ(plain.header & (func::FN_TRACE | func::FN_NO_TRACE), 0u);
}

// --- locals -------------------------------------------------------------------------

TEST_F(FunctionTest, CountLocals) {
  struct Case {
    const char* spec;
    uint32_t start;
    bool required;
    int32_t count;
  } cases[] = {
      {"[a /local b c]", 0, false, 3}, {"[a b]", 0, false, 0},      {"[a b]", 0, true, -1},
      {"[/local]", 0, true, 1},        {"[a /local b c]", 2, true, -1},
  };
  for (const auto& c : cases) {
    RootedCell spec(load(c.spec));
    Cell inner = node_buffer(spec->node())->cells()[0];
    EXPECT_EQ(func::count_locals(inner.node(), c.start, c.required), c.count) << c.spec;
  }
}

// --- function! values -------------------------------------------------------------

// A function pushed without a body molds none in its place.
TEST_F(FunctionTest, FunctionWithoutABodyMoldsNone) {
  RootedCell spec(load("[x]"));
  *spec = node_buffer(spec->node())->cells()[0];
  StackMark m = stack_save();
  func::function_push(*spec, none_cell(), 0, 0, nullptr, 0);
  RootedCell fn(g_stack.top[-1]);
  stack_restore(m);
  EXPECT_EQ(molded(*fn), "func [x] none");
  EXPECT_EQ(molded(func::more_cell(*fn, func::MORE_CODE)[0]), "unset");
}

TEST_F(FunctionTest, UnresolvedFunctionWordNeverWritesOutside) {
  run("f: func [a] [set 'placeholder 99 a]");
  RootedCell fn(global_value("f"));
  NodeId ctx = func::context_of(*fn);
  uint32_t stranger = symbol::make("not-a-local");
  Cell body = *func::more_cell(*fn, func::MORE_BODY);
  Cell* lit = node_buffer(body.node())->cells() + 1;
  ASSERT_TRUE(lit->is(TYPE_LIT_WORD));
  lit->w1 = ctx;
  lit->w3 = uint32_t(-1);
  lit->w2 = stranger;
  uint32_t words = context::word_count(ctx);
  EXPECT_EQ(error_id("f 1"), ErrId::NOT_IN_CONTEXT);
  EXPECT_EQ(context::word_count(ctx), words);
  EXPECT_EQ(run("f: func [a] [a + 1] f 1").i2(), 2);
}

// --- native!, action!, op! -----------------------------------------------------------

// A number whose native is not built has nothing to call.
TEST_F(FunctionTest, MakeNativeRefusesANumberWithNoNative) {
  NativeFn saved = g_natives[NAT_COMPOSE];
  g_natives[NAT_COMPOSE] = nullptr;
  auto missing = error_id("make native! [[value] 36]");
  g_natives[NAT_COMPOSE] = saved;
  EXPECT_EQ(missing, ErrId::BAD_MAKE_ARG);
}

// --- routine! --------------------------------------------------------------------------

Status routine_sum(Cell* base) {
  base[0] = integer_cell(base[0].i2() + base[1].i2());
  return Status::OK;
}

Status routine_count_cells(Cell* base) {
  base[0] = integer_cell(base[0].is(TYPE_BLOCK) ? 1 : 0);
  return Status::OK;
}

may_gc Cell push_routine(const char* spec_text, const char* name, func::RoutineFn fn, int32_t ret, bool cells) {
  RootedCell spec(load(spec_text));
  *spec = node_buffer(spec->node())->cells()[0];
  StackMark m = stack_save();
  func::routine_push(*spec, none_cell(), func::routine_register(name, fn), ret, cells);
  Cell r = g_stack.top[-1];
  stack_restore(m);
  return r;
}

TEST_F(FunctionTest, RoutinesAreCalledByRegistryId) {
  RootedCell sum(push_routine("[a [integer!] b [integer!]]", "test-sum", routine_sum, -1, false));
  EXPECT_EQ(func::routine_arity(*sum), 2u);
  set_global("rsum", *sum);
  EXPECT_EQ(run("rsum 2 3").i2(), 5);
  EXPECT_EQ(run("1 + rsum 2 3").i2(), 6);
  auto bad = run_error("rsum 2 [x]");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->id, ErrId::EXPECT_ARG);
  EXPECT_EQ(molded(bad->args[0]), "rsum");
  EXPECT_EQ(molded(bad->args[2]), "b");
  EXPECT_EQ(molded(*sum), "routine [a [integer!] b [integer!]] none");
  EXPECT_EQ(formed(*sum), "?routine?");
  EXPECT_EQ(molded(run("reflect :rsum 'spec")), "[a [integer!] b [integer!]]");
  // The result is converted by the return type.
  RootedCell truth(push_routine("[a [integer!] b [integer!]]", "test-sum", routine_sum, TYPE_LOGIC, false));
  set_global("rtrue", *truth);
  EXPECT_EQ(molded(run("reduce [rtrue 1 2 rtrue 1 -1]")), "[true false]");
  // Cell-passing routines take whatever the interpreter admitted.
  RootedCell cells(push_routine("[a]", "test-cells", routine_count_cells, -1, true));
  EXPECT_TRUE(cells->header & func::ROUTINE_CELLS);
  set_global("rcells", *cells);
  EXPECT_EQ(run("rcells [1]").i2(), 1);
  EXPECT_EQ(func::routine_find("test-cells"), func::routine_register("test-cells", routine_count_cells));
  EXPECT_EQ(func::routine_find("no-such-routine"), 0u);
  // An op over a routine calls it.
  EXPECT_EQ(run("plus: make op! :rsum 4 plus 5").i2(), 9);
}

}  // namespace
}  // namespace vel
