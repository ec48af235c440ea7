// Conditionals, loops, non-local exits and print: Vel code run at top level
// with the stacks checked after each run, plus direct calls through a frame
// to see a catcher put the stacks back.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "collector.h"
#include "control_test_util.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "datatypes/words.h"
#include "evaluator/natives_control.h"

namespace vel {
namespace {

using namespace evaltest;

class ControlTest : public ControlFixture {};

struct Case {
  const char* src;
  const char* molded;
};

void check_cases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    try {
      EXPECT_EQ(run_mold(c.src), c.molded) << c.src;
    } catch (const VelError& e) {
      stack_restore(StackMark{0, 0, 0});
      ADD_FAILURE() << c.src << "\n" << error::report(error::of(e));
    }
  }
}

struct ErrorCase {
  const char* src;
  ErrId id;
};

void check_errors(std::initializer_list<ErrorCase> cases) {
  for (const ErrorCase& c : cases) {
    std::optional<ErrId> got = error_id(c.src);
    ASSERT_TRUE(got.has_value()) << c.src;
    EXPECT_EQ(error_id_name(*got), std::string(error_id_name(c.id))) << c.src;
  }
}

// --- conditionals ------------------------------------------------------------------

TEST_F(ControlTest, Conditionals) {
  check_cases({
      {"if true [1]", "1"},
      {"if false [1]", "none"},
      {"if none [1]", "none"},
      {"if () [2]", "2"},  // unset counts as true
      {"if 0 [3]", "3"},
      {"unless false [1]", "1"},
      {"unless 1 [1]", "none"},
      {"either true [1] [2]", "1"},
      {"either none [1] [2]", "2"},
      {"either 0 [1] [2]", "1"},
      {"any []", "none"},
      {"all []", "none"},
      {"any [none false 3 4]", "3"},
      {"any [none false]", "none"},
      {"type? any [()]", "unset!"},
      {"all [1 2 3]", "3"},
      {"all [1 none 3]", "none"},
      {"all [1 false]", "none"},
      {"type? all [1 ()]", "unset!"},
      {"x: 0 all [false x: 1] x", "0"},  // stops at the first falsy value
      {"x: 0 any [1 x: 1] x", "0"},
  });
  check_errors({
      {"either () [1] [2]", ErrId::NO_RETURN},
      {"if true 5", ErrId::EXPECT_ARG},
  });
}

// --- loops -------------------------------------------------------------------------------

TEST_F(ControlTest, WhileUntilLoopForever) {
  check_cases({
      {"i: 0 while [less? i 3] [i: i + 1] i", "3"},
      {"i: 0 type? while [less? i 3] [i: i + 1]", "unset!"},
      {"type? while [true] [break]", "unset!"},
      {"type? while [true] [break/return 5]", "unset!"},  // while is always unset
      {"i: 0 n: 0 while [less? i 4] [i: i + 1 if less? i 3 [continue] n: n + 1] n", "2"},
      {"i: 0 until [i: i + 1 less? 2 i]", "true"},
      {"i: 0 until [i: i + 1 less? 2 i] i", "3"},
      {"until [break/return 7]", "7"},
      {"i: 0 until [i: i + 1 if less? i 3 [continue] i]", "3"},
      {"loop 3 [break/return 5]", "5"},
      {"type? loop 3 [break]", "unset!"},
      {"loop 0 [1]", "none"},
      {"loop -1 [1]", "none"},
      {"i: 0 loop 2.9 [i: i + 1] i", "2"},
      {"loop 1e20 [1]", "none"},  // beyond 32 bits: -2147483648
      {"loop -1e20 [1]", "none"},
      {"loop 3 [7]", "7"},
      {"n: 3 i: 0 loop n [n: 10 i: i + 1] i", "3"},  // the count is fixed at the start
      {"i: 0 forever [i: i + 1 if less? 4 i [break/return i]]", "5"},
      {"type? forever [break]", "unset!"},
  });
  check_errors({
      {"while [()] [1]", ErrId::NO_RETURN},
      {"while [break] [1]", ErrId::WHILE_COND},
      {"while [continue] [1]", ErrId::WHILE_COND},
      {"until [()]", ErrId::NO_RETURN},
  });
}

TEST_F(ControlTest, Repeat) {
  check_cases({
      {"n: 0 repeat k 3 [n: n + k] n", "6"},
      // Setting the word changes neither the count nor the next value.
      {"out: make block! 4 repeat k 3 [append out k k: 10] out", "[1 2 3]"},
      {"repeat k 3 [k: 10] k", "10"},
      {"repeat k 3 [] k", "3"},
      {"k: 7 repeat k -1 [1]", "none"},
      {"k: 7 repeat k -1 [1] k", "7"},
      {"k: 7 repeat k 0 [1] k", "7"},
      {"n: 0 repeat k 2.7 [n: n + 1] n", "2"},
      {"repeat k 5 [if less? 2 k [break/return k]]", "3"},
      {"n: 0 repeat k 4 [if less? k 3 [continue] n: n + k] n", "7"},
  });
}

TEST_F(ControlTest, Foreach) {
  check_cases({
      {"out: make block! 4 foreach [a b] [1 2 3] [append out reduce [a b]] out", "[[1 2] [3 none]]"},
      {"n: 0 foreach [a b] [1 2 3] [n: n + 1] n", "2"},
      {"out: make block! 4 foreach x [1 2 3] [append out x] out", "[1 2 3]"},
      {"foreach x [1 2 3] [x]", "3"},
      {"type? foreach x [] [x]", "unset!"},
      {"b: reduce [()] foreach x b [type? :x]", "unset!"},  // no error for an unset element
      {"foreach x [1 2 3] [if equal? x 2 [break/return x]]", "2"},
      {"out: make block! 4 foreach x next [1 2 3] [append out x] out", "[2 3]"},
      {"out: make block! 4 foreach x [1 2 3] [if equal? x 2 [continue] append out x] out", "[1 3]"},
      {"out: make block! 4 foreach x \"ab\" [append out x] out", "[#\"a\" #\"b\"]"},
      {"out: make block! 4 foreach [x y] \"abc\" [append out reduce [x y]] out", "[[#\"a\" #\"b\"] [#\"c\" none]]"},
      {"out: make block! 4 foreach [a: :b] [1 2] [append out b] out", "[2]"},
  });
  check_errors({
      {"foreach [] [1 2] []", ErrId::INVALID_ARG},
      {"foreach [a 1] [1 2] []", ErrId::INVALID_ARG},
  });
}

TEST_F(ControlTest, RemoveEach) {
  check_cases({
      {"remove-each x [1 2 3 4] [even? x]", "[1 3]"},
      {"b: [1 2 3 4] remove-each x next b [even? x] b", "[1 3]"},
      {"remove-each x next [1 2 3 4] [even? x]", "[3]"},  // the data at the position given
      {"remove-each [] [1 2] [true]", "[1 2]"},
      {"remove-each [a b] [1 2 3 4 5] [less? a 2]", "[3 4 5]"},
      {"remove-each [a b] [1 2 3 4 5] [equal? a 5]", "[1 2 3 4]"},  // a partial last step
      {"remove-each x [1 2 3] [()]", "[]"},  // unset removes
      {"remove-each x [1 2 3] [if equal? x 2 [continue] false]", "[1 2 3]"},
      {"remove-each x [1 2 3] [if equal? x 2 [break] true]", "[2 3]"},
      {"remove-each x \"abc\" [equal? x #\"b\"]", "\"ac\""},
  });
}

TEST_F(ControlTest, Forall) {
  check_cases({
      {"b: [1 2 3] forall b [if equal? pick b 1 2 [break]] index? b", "2"},
      {"b: next [1 2 3] forall b [] index? b", "2"},  // back where it started
      {"b: [1 2 3] forall b [pick b 1]", "3"},
      {"b: [1 2 3] forall b [if equal? pick b 1 2 [break/return 9]]", "9"},
      {"b: tail [1] type? forall b [1]", "unset!"},
      {"b: [1 2 3] n: 0 forall b [n: n + pick b 1] n", "6"},
      {"s: \"abc\" out: make block! 4 forall s [append out pick s 1] out", "[#\"a\" #\"b\" #\"c\"]"},
      {"b: [1 2 3] forall b [if equal? pick b 1 1 [continue] b] index? b", "1"},
  });
  check_errors({
      {"b: [1 2] forall b [b: [3 4]]", ErrId::BAD_LOOP_SERIES},
      {"forall no-such-word-here [1]", ErrId::NO_VALUE},
      {"x: 1 forall x [1]", ErrId::EXPECT_ARG},
  });
}

TEST_F(ControlTest, SwitchAndCase) {
  check_cases({
      {"switch 2 [1 [10] 2 [20]]", "20"},
      {"switch 3 [1 [10] 2 [20] 3]", "none"},  // the value is the last cell
      {"switch 1 [1 2 [20]]", "20"},            // the first block after the match
      {"switch/default 5 [1 [10]] [99]", "99"},
      {"switch 5 [1 [10]]", "none"},
      {"switch [1] [[1] [10]]", "none"},  // a block value never matches
      {"switch 1 [1.0 [10]]", "none"},    // the same datatype only
      {"switch \"b\" [\"a\" [1] \"B\" [2]]", "2"},
      {"switch/default 3 [1 [10] 3] [99]", "99"},  // a match without a block
      {"case [false [1] true 2 + 3]", "5"},
      {"case [false [1] true [2] true [3]]", "2"},
      {"case [false [1]]", "none"},
      {"case []", "none"},
      {"case/all [true [1] false [2]]", "none"},
      {"case/all [false [1] true [2]]", "2"},
      {"n: 0 case/all [true [n: n + 1] true [n: n + 10]] n", "11"},
      {"case [1 [3]]", "3"},
  });
  check_errors({
      {"case [true]", ErrId::NEED_VALUE},
      {"case [false [1] true]", ErrId::NEED_VALUE},
      {"case [() [1]]", ErrId::NO_RETURN},
  });
}

// --- non-local exits ---------------------------------------------------------------------

TEST_F(ControlTest, SignalsWithoutATarget) {
  check_errors({
      {"break", ErrId::BREAK},
      {"break/return 1", ErrId::BREAK},
      {"continue", ErrId::CONTINUE},
      {"return 1", ErrId::RETURN},
      {"exit", ErrId::RETURN},
      {"throw 1", ErrId::THROW},
      {"catch/name [throw/name 1 'a] 'b", ErrId::THROW},
  });
  // The errors carry what the catalog says of them.
  check_cases({
      {"e: try [break] e/id", "break"},
      {"e: try [throw 42] e/arg1", "42"},
      {"e: try [return 1] e/type", "throw"},
  });
}

TEST_F(ControlTest, BarrierOfTryAll) {
  check_cases({
      // try passes a break on to its loop; try/all turns it into an error and
      // the loop goes on.
      {"loop 3 [try [break/return 7]]", "7"},
      {"n: 0 loop 3 [n: n + 1 e: try/all [break]] reduce [n e/id]", "[3 break]"},
      {"loop 1 [e: try/all [continue]] e/id", "continue"},
      {"f: func [] [try/all [return 1]] e: f e/id", "return"},
      {"f: func [] [try/all [exit]] e: f e/id", "return"},
      {"catch [e: try/all [throw 1] e/id]", "throw"},  // the catch around it catches nothing
      {"catch [e: try/all [throw 1] e/arg1]", "1"},
      {"loop 2 [try/all [loop 3 [break]] 5]", "5"},  // a loop inside try/all is a target
  });
}

TEST_F(ControlTest, CatchAndThrow) {
  check_cases({
      {"catch [throw 5]", "5"},
      {"catch [1 2]", "2"},
      {"catch [loop 3 [throw 6] 1]", "6"},
      {"catch/name [throw/name 1 'a] 'a", "1"},
      {"catch [throw/name 3 'x]", "3"},                          // an unnamed catch takes named throws
      {"catch [catch/name [throw 4] 'x 9]", "4"},                // a named catch lets unnamed throws pass
      {"catch/name [catch/name [throw/name 1 'b] 'a 2] 'b", "1"},  // another name passes through
      {"catch/name [throw/name 6 'Foo] [bar foo]", "6"},         // any of a block, any case
      {"catch/name [throw/name 6 'foo] next [bar foo]", "6"},
      {"f: func [] [throw 8] catch [f]", "8"},
      {"catch [throw catch [throw 1]]", "1"},
      {"catch [x: 0 catch [throw 1] x: 2 x]", "2"},  // the catch took the throw; code goes on
  });
  check_errors({
      {"catch/name [throw/name 1 'z] [a 1]", ErrId::INVALID_REFINE_ARG},
      {"catch/name [throw/name 1 'c] next [c]", ErrId::THROW},
  });
}

TEST_F(ControlTest, ReturnAndExitInFunctions) {
  check_cases({
      {"f: func [] [loop 3 [return 9] 1] f", "9"},
      {"f: func [] [exit 1] type? f", "unset!"},
      {"f: func [x] [if x [return 1] 2] reduce [f true f false]", "[1 2]"},
      {"f: func [] [break/return 4] loop 2 [f]", "4"},  // break reaches the caller's loop
      {"f: func [] [repeat k 5 [if equal? k 3 [return k]]] f", "3"},
      {"f: func [] [foreach x [1 2 3] [if equal? x 2 [return x]]] f", "2"},
      {"f: func [] [catch [return 3] 4] f", "3"},
      {"f: func [] [try [return 3] 4] f", "3"},
  });
}

// --- errors from nested natives, stacks back at their marks --------------------------------

// Calls a native on a frame of its own, as the interpreter does.
struct DirectCall {
  StackMark before = stack_save();
  Cell* base;
  explicit DirectCall(const char* name) {
    base = stack_mark(FRAME_NATIVE | FRAME_INTERPRETED, symbol::make(name), 0);
  }
  ~DirectCall() { stack_restore(before); }
};

TEST_F(ControlTest, TryPutsTheStacksBackAfterErrorsInNestedNatives) {
  const char* sources[] = {
      "[loop 2 [if true [either true [divide 1 0] [2]]]]",
      "[foreach x [1 2] [case [true [remove-each y [1 2] [undefined-word-q]]]]]",
      "[catch [while [true] [until [switch 1 [1 [all [any [1 / 0]]]]]]]]",
      "[f: func [n] [if less? 0 n [f n - 1] divide 1 0] f 50]",
  };
  for (const char* src : sources) {
    RootedCell code(load(src));
    Cell inner = node_buffer(code->node())->cells()[0];
    DirectCall call("try");
    push(inner);
    push(logic_cell(false));
    push(logic_cell(false));
    Cell* top = g_stack.top;
    uint32_t depth = frame_depth();
    Cell saved_code = interp::g_current_code;
    Status s = native_try(call.base);
    EXPECT_EQ(s, Status::OK) << src;
    EXPECT_TRUE(call.base[0].is(TYPE_ERROR)) << src;
    EXPECT_EQ(frame_depth(), depth) << src;
    EXPECT_EQ(g_stack.base, call.base) << src;
    EXPECT_EQ(g_stack.top, top) << src;
    EXPECT_EQ(interp::g_current_code.w2, saved_code.w2) << src;
  }
  // And through the interpreter, the top level is back at its marks.
  check_cases({
      {"e: try [loop 2 [if true [divide 1 0]]] e/id", "zero-divide"},
      {"n: 0 loop 3 [n: n + 1 try [foreach x [1] [undefined-word-q]]] n", "3"},
  });
}

TEST_F(ControlTest, BreakAndThrowCalledDirectlyFindTheirFrames) {
  // A loop frame with a break in it: the value lands in the loop's cell.
  StackMark mark = stack_save();
  Cell* loop = stack_mark(FRAME_LOOP, sym_exact(SymId::BODY_TAG), 0);
  push(unset_cell());
  {
    DirectCall call("break");
    push(logic_cell(true));
    push(integer_cell(5));
    EXPECT_EQ(native_break(call.base), Status::BREAK);
  }
  EXPECT_EQ(loop->i2(), 5);
  stack_restore(mark);
  // A try/all frame between the break and the loop is a barrier.
  stack_mark(FRAME_LOOP, sym_exact(SymId::BODY_TAG), 0);
  push(unset_cell());
  stack_mark(FRAME_TRY_ALL, sym_exact(SymId::TRY), 0);
  push(unset_cell());
  {
    DirectCall call("break");
    push(logic_cell(false));
    push(none_cell());
    try {
      (void)native_break(call.base);
      ADD_FAILURE() << "break crossed try/all";
    } catch (const VelError& e) {
      EXPECT_EQ(e.id, ErrId::BREAK);
    }
  }
  stack_restore(mark);
  EXPECT_EQ(frame_depth(), mark.frames);
}

// --- print -------------------------------------------------------------------------------------

TEST_F(ControlTest, PrintAndPrin) {
  {
    PrintCapture out;
    run("print 1 prin \"a\" prin [\"b\" 1 + 1] print [\"c\" [d e] 3]");
    EXPECT_EQ(out.text, "1\nab 2c d e 3\n");
    EXPECT_TRUE(last_print_newline());
  }
  {
    PrintCapture out;
    run("prin \"x\"");
    EXPECT_FALSE(last_print_newline());
    run("print next \"xyz\"");
    EXPECT_EQ(out.text, "xyz\n");
    EXPECT_TRUE(last_print_newline());
  }
  {
    // A reduction that fails prints nothing and leaves the buffer as it was.
    PrintCapture out;
    EXPECT_EQ(error_id("print [\"a\" divide 1 0]"), ErrId::ZERO_DIVIDE);
    run("print [\"b\" print [\"c\"] \"d\"]");
    EXPECT_EQ(out.text, "c\nb  d\n");  // the inner print's unset forms as nothing
  }
  {
    PrintCapture out;
    probe_value(integer_cell(3));
    RootedCell s(run("\"q\""));
    probe_value(*s);
    EXPECT_EQ(out.text, "3\n\"q\"\n");
  }
}

TEST_F(ControlTest, ErrorReportPrintsInsteadOfRaising) {
  PrintCapture out;
  Cell arg = integer_cell(7);
  StackMark before = stack_save();
  print_error_report(ErrId::OUT_OF_RANGE, 1, &arg);
  EXPECT_EQ(out.text.rfind("*** Script Error: value out of range: 7\n*** Where: ???\n*** Near : ", 0), 0u) << out.text;
  EXPECT_EQ(out.text.back(), '\n');
  EXPECT_EQ(frame_depth(), before.frames);
  EXPECT_EQ(cell_index(g_stack.top), before.top);
}

// --- the collector moving everything ------------------------------------------------------------

TEST_F(ControlTest, LoopsSurviveACollectorThatMovesEveryBuffer) {
  struct Stress {
    bool enabled = g_gc.enabled;
    uint32_t stress = g_gc.stress;
    Stress() {
      g_gc.enabled = true;
      g_gc.stress = 1;
    }
    ~Stress() {
      g_gc.enabled = enabled;
      g_gc.stress = stress;
    }
  } stress;
  check_cases({
      {"out: make block! 4 foreach [a b] [1 2 3] [append out reduce [a b]] out", "[[1 2] [3 none]]"},
      {"remove-each x [1 2 3 4] [even? x]", "[1 3]"},
      {"e: try [loop 2 [divide 1 0]] e/id", "zero-divide"},
      {"catch/name [throw/name copy \"v\" 'a] [b a]", "\"v\""},
  });
  PrintCapture out;
  run("print [\"s\" copy \"t\" 1 + 1]");
  EXPECT_EQ(out.text, "s t 2\n");
}

}  // namespace
}  // namespace vel
