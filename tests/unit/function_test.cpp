// native!, action!, op!, function! and routine!: construction, spec checks,
// locals collection, reflection, mold and comparison.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/symbol.h"
#include "eval_test_util.h"

namespace vel {
namespace {

using namespace evaltest;

class FunctionTest : public EvalFixture {};

// --- spec checks -----------------------------------------------------------------

struct SpecCase {
  const char* spec;
  std::optional<ErrId> error;  // nothing: valid
  uint32_t flags = 0;
};

TEST_F(FunctionTest, SpecChecks) {
  const SpecCase cases[] = {
      {"[]", std::nullopt},
      {"[a b]", std::nullopt},
      {"[a [integer!] \"doc\" 'b :c /ref d [block!] /local e f]", std::nullopt},
      {"[a return: [integer!] /local x]", std::nullopt},
      {"[return: [integer!] \"doc\"]", std::nullopt},
      {"[[trace] a]", std::nullopt, func::FN_TRACE},
      {"[[no-trace]]", std::nullopt, func::FN_NO_TRACE},
      {"[[trace no-trace other]]", std::nullopt, func::FN_TRACE | func::FN_NO_TRACE},
      {"[[1] a]", ErrId::BAD_FUNC_DEF},
      {"[a 1]", ErrId::BAD_FUNC_DEF},
      {"[/ref [integer!]]", ErrId::BAD_FUNC_DEF},
      {"[a \"doc\" [integer!]]", ErrId::BAD_FUNC_DEF},
      {"[return: /local x]", ErrId::BAD_FUNC_DEF},
      {"[return: [integer!] return: [integer!]]", ErrId::BAD_FUNC_DEF},
      {"[return: [integer!] a]", ErrId::BAD_FUNC_DEF},
      {"[x: [integer!]]", ErrId::BAD_FUNC_DEF},
      {"[/local 'a]", ErrId::BAD_FUNC_DEF},
      {"[/local a /ref]", ErrId::BAD_FUNC_DEF},
      {"[/local a return: [integer!]]", ErrId::BAD_FUNC_DEF},
      {"[a a]", ErrId::DUP_VARS},
      {"[a /a]", ErrId::DUP_VARS},
      {"[a :A]", ErrId::DUP_VARS},
      {"[a [1]]", ErrId::INVALID_TYPE_SPEC},
      {"[a [no-such-type!]]", ErrId::NO_VALUE},
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

TEST_F(FunctionTest, ErrorArgumentsNameTheEntry) {
  auto dup = run_error("func [a /b a] []");
  ASSERT_TRUE(dup);
  EXPECT_EQ(dup->id, ErrId::DUP_VARS);
  EXPECT_EQ(molded(dup->args[0]), "a");
  auto types = run_error("func [a [integer! 7]] []");
  ASSERT_TRUE(types);
  EXPECT_EQ(types->id, ErrId::INVALID_TYPE_SPEC);
  EXPECT_EQ(molded(types->args[0]), "7");
}

TEST_F(FunctionTest, AttributeFlagsReachTheHeader) {
  EXPECT_TRUE(run("func [[trace] a] [a]").header & func::FN_TRACE);
  EXPECT_TRUE(run("func [[no-trace]] []").header & func::FN_NO_TRACE);
  Cell plain = run("func [a] [a]");
  EXPECT_EQ(plain.header & (func::FN_TRACE | func::FN_NO_TRACE), 0u);
}

// --- locals -------------------------------------------------------------------------

TEST_F(FunctionTest, FunctionCollectsLocals) {
  struct Case {
    const char* src;
    const char* spec;
  } cases[] = {
      {"function [a] [x: 1 foreach [k v] [] [] repeat i 3 [] remove-each r [] [] [y: a]]",
       "[a /local x k v i r y]"},
      {"function [a] [a: 1 x: 2 x: 3 (z: 4)]", "[a /local x z]"},
      {"function [a] [local: 5 x: 1]", "[a /local x]"},
      {"function [a] [local: 5]", "[a]"},
      {"function [a /local b] [c: 1 b: 2]", "[a /local b c]"},
      {"function [a /extern b] [b: 1 c: 2]", "[a /local c]"},
      {"function [a /extern b /local d] [b: 1 c: 2 d: 3]", "[a /local d c]"},
      {"function [a return: [integer!]] [x: a]", "[a return: [integer!] /local x]"},
      {"function [] [foreach w [] [] repeat [j] 2 []]", "[/local w]"},
  };
  for (const Case& c : cases) {
    std::string src = std::string("reflect ") + c.src + " 'spec";
    EXPECT_EQ(run_mold(src), c.spec) << c.src;
  }
  EXPECT_EQ(error_id("function [a 1 /extern b] []"), ErrId::BAD_FUNC_EXTERN);
}

TEST_F(FunctionTest, FunctionLeavesTheGivenSpecAlone) {
  run("s: [a] f: function s [x: a]");
  EXPECT_EQ(molded(global_value("s")), "[a]");
  EXPECT_EQ(run_mold("reflect :f 'spec"), "[a /local x]");
}

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

TEST_F(FunctionTest, LocalsStartFalseAndNone) {
  EXPECT_EQ(run_mold("f: func [a /r b /local c d] [reduce [a r b local c d]] f 1"),
            "[1 false none false none none]");
  EXPECT_EQ(run_mold("f: has [a b] [reduce [a b]] f"), "[none none]");
}

// --- function! values -------------------------------------------------------------

TEST_F(FunctionTest, BodyIsCopiedAndBound) {
  run("b: [a + 1] f: func [a] b");
  // Changing the source block afterwards does not change the function.
  RootedCell src(global_value("b"));
  node_buffer(src->node())->cells()[1] = integer_cell(0);
  EXPECT_EQ(run("f 5").i2(), 6);
  // Nested blocks are copies too.
  RootedCell c(run("c: [[a]] g: func [a] c"));
  RootedCell body(run("reflect :g 'body"));
  EXPECT_NE(node_buffer(body->node())->cells()[0].node(), node_buffer(c->node())->cells()[0].node());
}

TEST_F(FunctionTest, MakeFunction) {
  EXPECT_EQ(run("f: make function! [[a b] [a * b]] f 6 7").i2(), 42);
  for (const char* bad : {"make function! [[a]]", "make function! [a [a]]", "make function! [[a] 1]",
                          "make function! 3", "make function! [[a 1] []]"}) {
    EXPECT_EQ(error_id(bad), ErrId::BAD_FUNC_DEF) << bad;
  }
}

TEST_F(FunctionTest, FunctionMoldFormAndReflect) {
  run("f: func [a /r b] [a + b]");
  EXPECT_EQ(run_mold(":f"), "func [a /r b] [a + b]");
  EXPECT_EQ(formed(run(":f")), "?function?");
  EXPECT_EQ(run_mold("reflect :f 'body"), "[a + b]");
  EXPECT_EQ(run_mold("reflect :f 'words"), "[a r b]");
  EXPECT_EQ(error_id("reflect :f 'type"), ErrId::NOT_DONE);
  // A function pushed without a body molds none in its place.
  RootedCell spec(load("[x]"));
  *spec = node_buffer(spec->node())->cells()[0];
  StackMark m = stack_save();
  func::function_push(*spec, none_cell(), 0, 0, nullptr, 0);
  RootedCell fn(g_stack.top[-1]);
  stack_restore(m);
  EXPECT_EQ(molded(*fn), "func [x] none");
  EXPECT_EQ(molded(func::more_cell(*fn, func::MORE_CODE)[0]), "unset");
}

TEST_F(FunctionTest, FunctionsCompareByIdentity) {
  RootedCell f(run("func [a] [a]"));
  RootedCell g(run("func [a] [a]"));
  EXPECT_NE(compare_cells(f.get(), g.get(), CMP_EQUAL), 0);
  EXPECT_EQ(compare_cells(f.get(), f.get(), CMP_SAME), 0);
  EXPECT_EQ(compare_cells(f.get(), f.get(), CMP_LESSER), CMP_INCOMPARABLE);
  Cell n = integer_cell(1);
  EXPECT_EQ(compare_cells(f.get(), &n, CMP_EQUAL), CMP_INCOMPARABLE);
}

TEST_F(FunctionTest, SpecPastTheTailMakesNoArguments) {
  RootedCell s(run("[a b]"));
  s->w1 = 5;
  set_global("s2", *s);
  EXPECT_EQ(run_mold("f: func s2 [7] reflect :f 'spec"), "[]");
  EXPECT_EQ(run("f").i2(), 7);
}

// A word bound to a function's context with no index, set while the
// function runs, raises not-in-context: it must not add a value past the
// call's cells.
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

TEST_F(FunctionTest, NativesFromNumbers) {
  RootedCell a(run("make native! [[spec body] 14]"));
  RootedCell b(run("make native! [[spec body] 14]"));
  RootedCell c(run("make native! [[body] 16]"));
  EXPECT_EQ(compare_cells(a.get(), b.get(), CMP_EQUAL), 0);
  EXPECT_EQ(compare_cells(a.get(), b.get(), CMP_SAME), 0);
  EXPECT_NE(compare_cells(a.get(), c.get(), CMP_EQUAL), 0);
  EXPECT_EQ(compare_cells(a.get(), c.get(), CMP_LESSER), CMP_INCOMPARABLE);
  RootedCell act(run(":add"));
  EXPECT_EQ(compare_cells(a.get(), act.get(), CMP_EQUAL), CMP_INCOMPARABLE);
  EXPECT_EQ(molded(*a), "make native! [[spec body]]");
  EXPECT_EQ(formed(*a), "?native?");
  EXPECT_EQ(molded(*act), "make action! [[value1 value2]]");
  EXPECT_EQ(formed(*act), "?action?");
  EXPECT_EQ(run_mold("reflect :func 'body"), "14");
  EXPECT_EQ(run_mold("reflect :add 'body"), "11");
  EXPECT_EQ(run_mold("reflect :add 'spec"), "[value1 value2]");
  EXPECT_EQ(error_id("reflect :add 'words"), ErrId::NOT_DONE);
}

TEST_F(FunctionTest, MakeNativeRefusesWhatItCannotCall) {
  for (const char* bad :
       {"make native! [[a] 0]", "make native! [[a] 108]", "make native! [[a] 120]", "make native! [[a] 121]",
        "make native! [[a] -1]", "make native! [x 14]", "make native! [[a] 14 15]", "make native! [[a]]",
        "make native! [[a] \"14\"]", "make native! 14", "make action! [[a] 0]", "make action! [[a] 63]"}) {
    EXPECT_EQ(error_id(bad), ErrId::BAD_MAKE_ARG) << bad;
  }
  // A number whose native is not built has nothing to call either.
  NativeFn saved = g_natives[NAT_COMPOSE];
  g_natives[NAT_COMPOSE] = nullptr;
  auto missing = error_id("make native! [[value] 36]");
  g_natives[NAT_COMPOSE] = saved;
  EXPECT_EQ(missing, ErrId::BAD_MAKE_ARG);
}

TEST_F(FunctionTest, OpSpecs) {
  EXPECT_EQ(run_mold("reflect make op! :add 'body"), "11");
  EXPECT_EQ(error_id("make op! func [a b c] []"), ErrId::BAD_OP_SPEC);
  EXPECT_EQ(error_id("make op! func ['a b] []"), ErrId::BAD_OP_SPEC);
  EXPECT_EQ(error_id("make op! func [a] []"), ErrId::BAD_OP_SPEC);
  EXPECT_EQ(error_id("make op! func [a b /r] []"), ErrId::BAD_OP_SPEC);
  EXPECT_EQ(error_id("make op! 1"), ErrId::INVALID_TYPE);
  EXPECT_EQ(error_id("make op! make op! :add"), ErrId::INVALID_TYPE);
  for (const char* ok : {"make op! func [a b /local c] []", "make op! func [a 'b] []", "make op! func [a :b] []",
                         "make op! func [a [integer!] b return: [integer!]] []", "make op! func [a b /extern c] []"})
    EXPECT_TRUE(run(ok).is(TYPE_OP)) << ok;
}

TEST_F(FunctionTest, OpsOverFunctions) {
  EXPECT_EQ(run("minus: func [a b] [a - b] ~: make op! :minus 10 ~ 3 ~ 2").i2(), 5);
  EXPECT_EQ(run_mold(":~"), "make op! func [a b] [a - b]");
  EXPECT_EQ(formed(run(":~")), "?op?");
  EXPECT_EQ(run_mold(":+"), "make op! [[value1 value2]]");
  EXPECT_EQ(run_mold("reflect :~ 'body"), "[a - b]");
  EXPECT_NE(run("reflect :~ 'body").node(), run("reflect :minus 'body").node());
  RootedCell p(run(":+"));
  RootedCell q(run("make op! :add"));
  RootedCell m(run(":-"));
  EXPECT_EQ(compare_cells(p.get(), q.get(), CMP_SAME), 0);
  EXPECT_NE(compare_cells(p.get(), m.get(), CMP_EQUAL), 0);
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
  EXPECT_EQ(run_mold("reflect :rsum 'spec"), "[a [integer!] b [integer!]]");
  // The result is converted by the return type.
  RootedCell truth(push_routine("[a [integer!] b [integer!]]", "test-sum", routine_sum, TYPE_LOGIC, false));
  set_global("rtrue", *truth);
  EXPECT_EQ(run_mold("reduce [rtrue 1 2 rtrue 1 -1]"), "[true false]");
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
