// The control natives from C++: the stacks after a catcher, break finding
// its loop's frame through a try/all barrier, and what print leaves for the
// console (its newline state, probe, error reports printed instead of
// raised). The natives' behaviour as scripts see it is in the script suite.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/core_words.h"
#include "datatypes/logic.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives_control.h"
#include "evaluator/natives_series.h"
#include "output.h"
#include "error_of.h"
#include "test_util.h"

namespace vel {
namespace {

using namespace test;

class ControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { boot_library_once(); }
  // Each test starts at the top level, whatever a failed test before it left
  // on the stacks.
  void SetUp() override { stack_restore(StackMark{0, 0, 0}); }
};

// Print output caught from the value hooks instead of standard output.
struct PrintCapture {
  std::string text;
  static inline PrintCapture* current = nullptr;
  static void hook(const Cell* s, bool newline) {
    std::string all = string_text(s->node());
    size_t at = s->index() < 0 ? 0 : size_t(s->index());
    current->text += all.substr(std::min(at, all.size()));
    if (newline) current->text += "\n";
  }
  PrintCapture() {
    current = this;
    dyn_print_remove(stdout_print_hook, nullptr);
    dyn_print_add(hook, nullptr);
  }
  ~PrintCapture() {
    dyn_print_remove(hook, nullptr);
    dyn_print_add(stdout_print_hook, nullptr);
    current = nullptr;
  }
  PrintCapture(const PrintCapture&) = delete;
  PrintCapture& operator=(const PrintCapture&) = delete;
};

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
      "[f: func [n] [if 0 < n [f n - 1] divide 1 0] f 50]",
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
}

TEST_F(ControlTest, BreakCalledDirectlyFindsItsLoopsFrame) {
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
    EXPECT_EQ(error_of([&] { (void)native_break(call.base); }), ErrId::BREAK);  // not across try/all
  }
  stack_restore(mark);
  EXPECT_EQ(frame_depth(), mark.frames);
}

TEST_F(ControlTest, PrintKeepsItsNewlineStateAndProbeMolds) {
  PrintCapture out;
  (void)run("print 1");
  EXPECT_TRUE(last_print_newline());
  (void)run("prin \"x\"");
  EXPECT_FALSE(last_print_newline());
  (void)run("print next \"xyz\"");
  EXPECT_TRUE(last_print_newline());
  probe_value(integer_cell(3));
  RootedCell s(run("\"q\""));
  probe_value(*s);
  EXPECT_EQ(out.text, "1\nxyz\n3\n\"q\"\n");
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

}  // namespace
}  // namespace vel
