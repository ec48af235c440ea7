// Helpers of the control-native and error tests: the conditionals, loops,
// exits, print, the comparisons and a few actions defined as the library
// defines them, an append of the tests' own (block editing belongs to
// another module), and print output captured from the value hooks.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "eval_test_util.h"
#include "evaluator/natives_control.h"
#include "output.h"

namespace vel::evaltest {

// A test native in a spare slot of the table.
constexpr uint32_t TEST_APPEND = 112;

// append of a value at a block's tail (the series actions are another
// module's).
inline may_gc Status test_append(Cell* base) {
  if (!base[0].is(TYPE_BLOCK)) fire(ErrId::INVALID_ARG, base[0]);
  block::rs_append(base[0].node(), base[1]);
  return Status::OK;
}

inline may_gc void setup_control_runtime() {
  static bool done = false;
  if (done) return;
  done = true;
  setup_eval_runtime();
  set_global("true", logic_cell(true));
  set_global("false", logic_cell(false));
  set_global("none", none_cell());
  const NativeEntry tests[] = {{TEST_APPEND, test_append}};
  register_natives(tests, 1);
  run(R"(
    if: make native! [[cond [any-type!] then-blk [block!]] 1]
    unless: make native! [[cond [any-type!] then-blk [block!]] 2]
    either: make native! [[cond [any-type!] true-blk [block!] false-blk [block!]] 3]
    any: make native! [[conds [block!]] 4]
    all: make native! [[conds [block!]] 5]
    while: make native! [[cond [block!] body [block!]] 6]
    until: make native! [[body [block!]] 7]
    loop: make native! [[count [integer! float!] body [block!]] 8]
    repeat: make native! [['word [word!] value [integer! float!] body [block!]] 9]
    forever: make native! [[body [block!]] 10]
    foreach: make native! [['word [word! block!] series body [block!]] 11]
    forall: make native! [['word [word!] body [block!]] 12]
    remove-each: make native! [['word [word! block!] data body [block!]] 13]
    switch: make native! [[value [any-type!] cases [block!] /default case [block!]] 18]
    case: make native! [[cases [block!] /all] 19]
    print: make native! [[value [any-type!]] 23]
    prin: make native! [[value [any-type!]] 24]
    try: make native! [[block [block!] /all /keep] 70]
    break: make native! [[/return value [any-type!]] 77]
    continue: make native! [[] 78]
    exit: make native! [[] 79]
    return: make native! [[value [any-type!]] 80]
    throw: make native! [[value [any-type!] /name word [word!]] 81]
    catch: make native! [[block [block!] /name word [word! block!]] 82]
    less?: make native! [[value1 [any-type!] value2 [any-type!]] 28]
    equal?: make native! [[value1 [any-type!] value2 [any-type!]] 25]
    append: make native! [[series value [any-type!]] 112]
    divide: make action! [[value1 value2] 12]
    /: make op! :divide
    pick: make action! [[series index] 39]
    next: make action! [[series] 38]
    tail: make action! [[series] 48]
    index?: make action! [[series] 34]
    even?: make action! [[value] 19]
  )");
}

class ControlFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setup_control_runtime(); }
  // Each test starts at the top level, as a script does, whatever a failed
  // test before it left on the stacks.
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

}  // namespace vel::evaltest
