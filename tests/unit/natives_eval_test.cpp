// The natives for functions, words and evaluation, run as Vel code.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/strout.h"
#include "eval_test_util.h"
#include "evaluator/natives_eval.h"

namespace vel {
namespace {

using namespace evaltest;

class EvalNativesTest : public EvalFixture {
 protected:
  static void SetUpTestSuite() {
    EvalFixture::SetUpTestSuite();
    run(R"(
      tail: make action! [[series] 48]
      next: make action! [[series] 38]
      tail?: make action! [[series] 49]
      length?: make action! [[series] 36]
      f3: func [a b /r c] [reduce [a b r c]]
    )");
    set_global("none", none_cell());
    set_global("true", logic_cell(true));
    set_global("false", logic_cell(false));
  }
};

// A paren! value, for code that must receive one unevaluated.
may_gc Cell paren_of(const char* src) {
  RootedCell b(load(src));
  Cell p = node_buffer(b->node())->cells()[0];
  EXPECT_TRUE(p.is(TYPE_PAREN));
  return p;
}

TEST_F(EvalNativesTest, MakingFunctions) {
  EXPECT_EQ(run("f: func [a b] [a * b] f 3 4").i2(), 12);
  EXPECT_EQ(run_mold("reflect has [a b] [] 'spec"), "[/local a b]");
  EXPECT_EQ(run("f: does [1 + 2] f").i2(), 3);
  EXPECT_EQ(run_mold("reflect :f 'spec"), "[]");
  // The vars of has are copied from their position.
  RootedCell vars(run("[x a b]"));
  vars->w1 = 1;
  set_global("vars", *vars);
  EXPECT_EQ(run_mold("reflect has vars [] 'spec"), "[/local a b]");
  EXPECT_EQ(molded(global_value("vars")), "[a b]");
}

TEST_F(EvalNativesTest, Do) {
  EXPECT_EQ(run("do [1 2 3]").i2(), 3);
  EXPECT_TRUE(run("do []").is(TYPE_UNSET));
  EXPECT_EQ(run("do 5").i2(), 5);
  EXPECT_EQ(run_mold("do \"1 + 2 * 3\""), "9");
  // A function value is a value: not called.
  EXPECT_TRUE(run("do :add").is(TYPE_ACTION));
  EXPECT_EQ(run("g: func [] [8] do 'g").i2(), 8);
  auto no_arg = run_error("h: func [a] [a] do 'h");
  ASSERT_TRUE(no_arg);
  EXPECT_EQ(no_arg->id, ErrId::NO_ARG);
  set_global("p", paren_of("(1 + 2)"));
  EXPECT_EQ(run("do :p").i2(), 3);
  // A trace callback takes the six event arguments; g takes none.
  EXPECT_EQ(error_id("do/trace [1] :g"), ErrId::INVALID_ARG);
}

TEST_F(EvalNativesTest, DoNext) {
  EXPECT_EQ(run_mold("b: [1 + 2 3 * 4] r: do/next b 'pos reduce [r pos]"), "[3 [3 * 4]]");
  EXPECT_EQ(run_mold("r: do/next pos 'pos reduce [r tail? pos]"), "[12 true]");
  EXPECT_TRUE(run("do/next pos 'pos2").is(TYPE_UNSET));
  EXPECT_EQ(run("pos2").node(), global_value("pos").node());
  EXPECT_EQ(run("pos2").index(), global_value("pos").index());
}

// break, return and the rest pass through these natives to their targets.
TEST_F(EvalNativesTest, SignalsPassThrough) {
  struct Case {
    const char* src;
    const char* result;
  } cases[] = {
      {"f: func [] [do [return 5] 6] f", "5"},
      {"f: func [] [reduce [1 return 7 2]] f", "7"},
      {"f: func [] [compose [(return 8)]] f", "8"},
      {"f: func [] [apply :return [9] 10] f", "9"},
      {"g: func [a] [return a * 2 0] apply :g [4]", "8"},
      {"n: 0 loop 3 [n: n + 1 do [break]] n", "1"},
      {"loop 3 [reduce [break/return 4]]", "4"},
      {"n: 0 loop 2 [n: n + 1 g: does [n] set 'x apply :g []] x", "2"},
  };
  for (const Case& c : cases) EXPECT_EQ(run_mold(c.src), c.result) << c.src;
}

// Files and urls go to the library's do-file.
TEST_F(EvalNativesTest, DoFile) {
  RootedNode text(make_string(8));
  append_latin1(text, "x.vel");
  set_global("fx", series_cell(TYPE_FILE, text));
  run("do-file: func [f /other o /args a /more] [reduce [type? f other o args a more]]");
  EXPECT_EQ(formed(run("do/args fx 5")), "file false none true 5 false");
  EXPECT_EQ(formed(run("do fx")), "file false none false none false");
  EXPECT_EQ(error_id("unset 'do-file do fx"), ErrId::NO_VALUE);
}

TEST_F(EvalNativesTest, DoRaisesAnErrorValue) {
  EXPECT_EQ(error_id("do make error! \"boom\""), ErrId::MESSAGE);
}

TEST_F(EvalNativesTest, GetAndSet) {
  EXPECT_EQ(run("a: 5 get 'a").i2(), 5);
  auto unset_get = run_error("get 'never-set-word");
  ASSERT_TRUE(unset_get);
  EXPECT_EQ(unset_get->id, ErrId::NO_VALUE);
  EXPECT_EQ(molded(unset_get->args[0]), "never-set-word");
  EXPECT_TRUE(run("get/any 'never-set-word").is(TYPE_UNSET));
  EXPECT_EQ(run("set 'a 9 a").i2(), 9);
  EXPECT_EQ(run("set 'a 10").i2(), 10);
  EXPECT_EQ(error_id("set 'a ()"), ErrId::NEED_VALUE);
  EXPECT_TRUE(run("set/any 'a () get/any 'a").is(TYPE_UNSET));
}

TEST_F(EvalNativesTest, SetBlocksOfWords) {
  struct Case {
    const char* src;
    const char* result;
  } cases[] = {
      {"set [a b] [1] reduce [a b]", "[1 none]"},
      {"set [a b] [1 2 3] reduce [a b]", "[1 2]"},
      {"set/only [a b] [1] reduce [a b]", "[[1] [1]]"},
      {"set [a b] 5 reduce [a b]", "[5 5]"},
      {"a: 7 set/some [a b] reduce [none 2] reduce [a b]", "[7 2]"},
      {"set [a :b 'c d:] [1 2 3 4] reduce [a b c d]", "[1 2 3 4]"},
      {"set next [a b] [3] reduce [a b]", "[1 3]"},
  };
  run("a: 1");
  for (const Case& c : cases) EXPECT_EQ(run_mold(c.src), c.result) << c.src;
  // A bad element or an unset value is found before anything is set.
  run("a: 1 b: 2");
  EXPECT_EQ(error_id("set [a 1] [5 6]"), ErrId::INVALID_ARG);
  EXPECT_EQ(error_id("set [a b] reduce [5 ()]"), ErrId::NEED_VALUE);
  EXPECT_EQ(run_mold("reduce [a b]"), "[1 2]");
  EXPECT_TRUE(run("set/any [a b] reduce [5 ()] get/any 'b").is(TYPE_UNSET));
  // Without spreading, the bad element is met after the earlier words.
  EXPECT_EQ(error_id("set [a 1] 5"), ErrId::INVALID_ARG);
  EXPECT_EQ(run("a").i2(), 5);
}

TEST_F(EvalNativesTest, UnsetValueAndContext) {
  EXPECT_EQ(run_mold("a: 1 b: 2 unset [a b: c] reduce [value? 'a value? 'b]"), "[false true]");
  EXPECT_TRUE(run("unset 'b").is(TYPE_UNSET));
  EXPECT_EQ(run_mold("reduce [value? 'b value? 5 value? () value? 'f3]"), "[false true false true]");
  RootedCell own(run("f: func [a] [context? 'a] f 1"));
  EXPECT_TRUE(own->is(TYPE_FUNCTION));
  EXPECT_EQ(own->w3, global_value("f").w3);
  EXPECT_TRUE(run("context? 'a").is(TYPE_UNSET));
}

TEST_F(EvalNativesTest, InAndBind) {
  run("f: func [Foo /ref b] [Foo]");
  RootedCell fn(global_value("f"));
  NodeId ctx = func::context_of(*fn);
  Cell w = run("in :f /ref");
  EXPECT_TRUE(w.is(TYPE_WORD));
  EXPECT_EQ(w.w1, ctx);
  EXPECT_TRUE(run("in :f 'zz").is(TYPE_NONE));
  EXPECT_TRUE(run("in :f 'foo").is(TYPE_WORD));
  EXPECT_EQ(run_mold("in :add 'value2"), "value2");
  EXPECT_TRUE(run("in :add 'value3").is(TYPE_NONE));
  // A word is bound by its exact spelling; a block case-insensitively.
  EXPECT_NE(run("bind 'foo :f").w1, ctx);
  EXPECT_EQ(run("bind 'Foo :f").w1, ctx);
  EXPECT_EQ(run("bind 'zz :f").w1, run("'zz").w1);
  RootedCell blk(run("b: [foo [foo] zz] bind b :f"));
  Buffer* buf = node_buffer(blk->node());
  EXPECT_EQ(buf->cells()[0].w1, ctx);
  EXPECT_EQ(node_buffer(buf->cells()[1].node())->cells()[0].w1, ctx);
  EXPECT_NE(buf->cells()[2].w1, ctx);
  // /copy binds a deep copy and leaves the block alone.
  RootedCell orig(run("b2: [foo (foo)]"));
  RootedCell copy(run("bind/copy b2 :f"));
  EXPECT_NE(copy->node(), orig->node());
  EXPECT_EQ(node_buffer(copy->node())->cells()[0].w1, ctx);
  EXPECT_NE(node_buffer(orig->node())->cells()[0].w1, ctx);
  EXPECT_NE(node_buffer(node_buffer(orig->node())->cells()[1].node())->cells()[0].w1, ctx);
  // Bound to a word: that word's context.
  EXPECT_EQ(node_buffer(run("bind [foo] in :f 'b").node())->cells()[0].w1, ctx);
}

TEST_F(EvalNativesTest, Reduce) {
  EXPECT_EQ(run_mold("reduce [1 + 2 3 * 4]"), "[3 12]");
  EXPECT_EQ(run_mold("reduce []"), "[]");
  EXPECT_TRUE(run("reduce :add").is(TYPE_ACTION));
  EXPECT_EQ(run_mold("g: func [] [7] reduce [g]"), "[7]");
  EXPECT_EQ(run("reduce 5").i2(), 5);
  set_global("p", paren_of("(1 + 2)"));
  EXPECT_EQ(run("reduce :p").i2(), 3);
  // /into at the tail appends; elsewhere inserts each value as one value.
  EXPECT_EQ(run_mold("out: [x] reduce/into [1 2] tail out out"), "[x 1 2]");
  EXPECT_EQ(run_mold("out: [x y] r: reduce/into [[1] 1 + 1] next out reduce [out r]"), "[[x [1] 2 y] [y]]");
  EXPECT_EQ(run_mold("out: [] reduce/into :add out length? out"), "1");
  EXPECT_EQ(run_mold("out: [z] reduce/into 3 out"), "[z]");
  EXPECT_EQ(run_mold("out"), "[3 z]");
}

TEST_F(EvalNativesTest, Compose) {
  struct Case {
    const char* src;
    const char* result;
  } cases[] = {
      {"compose [a (1 + 2) (reduce [4 5]) [(6)]]", "[a 3 4 5 [(6)]]"},
      {"compose/deep [a [(1 + 2) [(3)]]]", "[a [3 [3]]]"},
      {"compose [(reduce []) x]", "[x]"},
      {"compose/only [(reduce []) x]", "[[] x]"},
      {"compose/only [(reduce [1 2])]", "[[1 2]]"},
      {"compose [() (()) x]", "[x]"},
      {"compose []", "[]"},
      {"out: [z] compose/into [(1) 2] out out", "[1 2 z]"},
      {"out: [z] r: compose/into [(1) 2] tail out reduce [out r]", "[[z 1 2] [1 2]]"},
      {"out: [] compose/deep/into [[(1)] (2)] out out", "[[1] 2]"},
      {"b: [1 2] r: compose/into [(b)] b reduce [b r]", "[[1 2 1 2] [1 2]]"},
  };
  for (const Case& c : cases) EXPECT_EQ(run_mold(c.src), c.result) << c.src;
  auto bad = run_error("compose 5");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->id, ErrId::EXPECT_VAL);
  EXPECT_EQ(molded(bad->args[0]), "block!");
  EXPECT_EQ(molded(bad->args[1]), "integer!");
}

TEST_F(EvalNativesTest, Apply) {
  struct Case {
    const char* src;
    const char* result;
  } cases[] = {
      {"apply :f3 [1 2]", "[1 2 false none]"},
      {"apply :f3 [1 + 1 2 * 3]", "[2 6 false none]"},
      {"apply :f3 [1]", "[1 none false none]"},
      {"apply :f3 [1 2 /r true 3]", "[1 2 true 3]"},
      {"apply :f3 [1 2 /r false 3]", "[1 2 false none]"},
      {"apply :f3 [1 2 /r]", "[1 2 false none]"},
      {"apply/all :f3 [1 2 true 3]", "[1 2 true 3]"},
      {"apply/all :f3 [1]", "[1 none false none]"},
      {"apply/all :f3 [1 2 false 3]", "[1 2 false none]"},
      {"apply 'f3/r [1 2 3]", "[1 2 true 3]"},
      {"apply 'f3 [1 2]", "[1 2 false none]"},
      {"apply :add [2 3]", "5"},
      {"apply :+ [2 3]", "5"},
      {"g: func [a] [a] apply :g [1 2]", "1"},
      {"apply/safer :f3 [(1 + 1) 2]", "[2 2 false none]"},
      {"x: 0 apply/all/safer :f3 [1 2 false (x: 9)] x", "0"},
      {"x: 0 apply/all :f3 [1 2 false (x: 9)] x", "9"},
  };
  for (const Case& c : cases) EXPECT_EQ(run_mold(c.src), c.result) << c.src;
  struct ErrCase {
    const char* src;
    ErrId id;
  } errors[] = {
      {"apply/all :f3 [1 2 5]", ErrId::EXPECT_ARG}, {"apply :f3 [1 2 /zz true]", ErrId::NO_REFINE},
      {"apply :f3 [1 2 5]", ErrId::BAD_REFINE},     {"apply :f3 [1 2 /r true 3 /r true 4]", ErrId::DUP_REFINE},
      {"apply 5 []", ErrId::INVALID_ARG},           {"apply 'never-set-word []", ErrId::INVALID_ARG},
      {"apply :f3 [1 2 /r ()]", ErrId::NO_VALUE},   {"apply :f3 [1 2 /r true]", ErrId::NO_ARG},
  };
  for (const ErrCase& c : errors) EXPECT_EQ(error_id(c.src), c.id) << c.src;
  auto named = run_error("apply/all 'f3 [1 2 5]");
  ASSERT_TRUE(named);
  EXPECT_EQ(molded(named->args[0]), "f3");
  EXPECT_EQ(molded(named->args[2]), "r");
}

// Natives called without their spec's type checks still refuse values
// they would misread.
TEST_F(EvalNativesTest, UncheckedArgumentsAreRefused) {
  for (const char* bad : {"func 1 []", "func [] 1", "function 1 []", "has 1 []", "reduce/into [1] 5",
                          "compose/into [1] 5", "apply :f3 5", "in :f3 5", "do/next [1] 5"})
    EXPECT_EQ(error_id(bad), ErrId::INVALID_ARG) << bad;
}

TEST_F(EvalNativesTest, TypeQ) {
  Cell t = run("type? 5");
  EXPECT_TRUE(t.is(TYPE_DATATYPE));
  EXPECT_EQ(t.w1, uint32_t(TYPE_INTEGER));
  Cell w = run("type?/word [a]");
  EXPECT_TRUE(w.is(TYPE_WORD));
  EXPECT_EQ(formed(w), "block!");
  EXPECT_EQ(run("type? ()").w1, uint32_t(TYPE_UNSET));
}

// construct and extend hand their work to the object and map modules.
Cell g_construct_spec, g_construct_proto;
bool g_construct_only = false;
may_gc Cell fake_construct(const Cell& spec, const Cell* proto, bool only) {
  g_construct_spec = spec;
  g_construct_proto = proto ? *proto : none_cell();
  g_construct_only = only;
  return integer_cell(77);
}

TEST_F(EvalNativesTest, ConstructAndExtendNeedTheirModules) {
  ObjectNativeHooks saved = g_object_native_hooks;
  g_object_native_hooks.construct = nullptr;
  EXPECT_EQ(error_id("construct [a: 1]"), ErrId::NOT_DONE);
  g_object_native_hooks.construct = fake_construct;
  EXPECT_EQ(run("construct/with/only [a: 1] 5").i2(), 77);
  EXPECT_EQ(molded(g_construct_spec), "[a: 1]");
  EXPECT_EQ(g_construct_proto.i2(), 5);
  EXPECT_TRUE(g_construct_only);
  g_object_native_hooks = saved;
  EXPECT_EQ(error_id("extend 1 [a 1]"), ErrId::NOT_DONE);
}

// Evaluation that never ends in depth must end in an error, with the
// stacks usable afterwards.
TEST_F(EvalNativesTest, DeepRecursionRaisesStackOverflow) {
  StackState before = StackState::now();
  std::optional<ErrId> direct, through_natives;
  on_big_stack([&] {
    direct = error_id("f: func [n] [depth: n f n + 1] f 1");
    through_natives = error_id("h: func [n] [do [apply :h [n + 1]]] h 1");
  });
  EXPECT_EQ(direct, ErrId::STACK_OVERFLOW);
  EXPECT_EQ(through_natives, ErrId::STACK_OVERFLOW);
  EXPECT_GT(run("depth").i2(), 1000);
  EXPECT_TRUE(StackState::now() == before);
  EXPECT_EQ(run("g: func [n] [n * 2] g 21").i2(), 42);
  // try catches it, and the same expression goes on.
  Cell caught;
  on_big_stack([&] { caught = run("r: try [f 1] reduce [type? :r 1 + 1]"); });
  EXPECT_EQ(molded(caught), "[error! 2]");
  EXPECT_TRUE(StackState::now() == before);
}

TEST_F(EvalNativesTest, DeeplyNestedParensRaiseStackOverflow) {
  // Built directly: the lexer refuses such nesting before evaluation. The
  // building needs no collection at every step.
  g_gc.enabled = false;
  RootedCell nest(block::make_at(1, TYPE_PAREN));
  block::rs_append(nest->node(), integer_cell(1));
  for (int i = 0; i < 100000; i++) {
    Cell outer = block::make_at(1, TYPE_PAREN);
    block::rs_append(outer.node(), *nest);
    *nest = outer;
  }
  RootedCell code(block::make_at(1));
  block::rs_append(code->node(), *nest);
  g_gc.enabled = true;
  StackState before = StackState::now();
  std::optional<ErrId> id;
  on_big_stack([&] {
    StackMark mark = stack_save();
    try {
      (void)interp::eval_block(*code, false);
    } catch (const VelError& e) {
      id = e.id;
    }
    stack_restore(mark);
  });
  EXPECT_EQ(id, ErrId::STACK_OVERFLOW);
  EXPECT_TRUE(StackState::now() == before);
  EXPECT_EQ(run("1 + 1").i2(), 2);
}

}  // namespace
}  // namespace vel
