// Helpers of the function and evaluation tests: Vel source loaded and
// evaluated at top level, results molded, errors caught with the stacks
// checked to be back where they were.
#pragma once
#include <gtest/gtest.h>
#include <pthread.h>

#include <optional>
#include <string>
#include <string_view>

#include "collector.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "io/lexer.h"
#include "roots.h"

namespace vel::evaltest {

// Source text as a block of values.
inline may_gc Cell load(std::string_view text) {
  std::string copy(text);
  lexer::ScanOptions o;
  return lexer::scan(reinterpret_cast<const uint8_t*>(copy.c_str()), copy.size(), o).value;
}

inline std::string molded(const Cell& v, uint32_t flags = 0) {
  RootedCell keep(v);
  RootedNode out(make_string(16));
  mold_value(*keep, out, flags);
  return string_text(out);
}

inline std::string formed(const Cell& v) {
  RootedCell keep(v);
  RootedNode out(make_string(16));
  form_value(*keep, out);
  return string_text(out);
}

// The stacks as a top-level evaluation must leave them.
struct StackState {
  uint32_t top, base, frames;
  static StackState now() { return {cell_index(g_stack.top), cell_index(g_stack.base), frame_depth()}; }
  bool operator==(const StackState&) const = default;
};

// Evaluates source text at top level; the value of its last expression.
// The stacks must be back at their marks afterwards.
inline may_gc Cell run(std::string_view src) {
  RootedCell code(load(src));
  StackState before = StackState::now();
  StackMark mark = stack_save();
  Status s = interp::eval_block(*code, false);
  Cell r = g_stack.top[-1];
  stack_restore(mark);
  EXPECT_EQ(s, Status::OK) << src;
  EXPECT_TRUE(StackState::now() == before);
  return r;
}

inline may_gc std::string run_mold(std::string_view src) { return molded(run(src)); }

// The error an evaluation raises (nothing when it raises none). As a
// top-level catcher does, the stacks are restored to the mark afterwards.
struct Raised {
  ErrId id;
  int nargs;
  Cell args[3];
};
inline may_gc std::optional<Raised> run_error(std::string_view src) {
  RootedCell code(load(src));
  StackMark mark = stack_save();
  try {
    Status s = interp::eval_block(*code, false);
    (void)s;
  } catch (const VelError& e) {
    stack_restore(mark);
    return Raised{e.id, e.nargs, {e.args[0], e.args[1], e.args[2]}};
  }
  stack_restore(mark);
  return std::nullopt;
}
inline may_gc std::optional<ErrId> error_id(std::string_view src) {
  auto r = run_error(src);
  if (!r) return std::nullopt;
  return r->id;
}

// The global word of a name, for reading what a script set.
inline may_gc Cell global_value(std::string_view name) { return word::get_any(word::load(name)); }

inline may_gc void set_global(std::string_view name, const Cell& v) {
  RootedCell keep(v);
  Cell w = word::load(name);
  context::set(&w, *keep);
}

// Runs f on a thread with a 256 MB stack, as the executables run the
// interpreter: evaluation that never ends in depth must stop at the Vel
// stacks' limits, not the machine's.
template <class F>
void on_big_stack(F&& f) {
  struct Box {
    F* f;
  } box{&f};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, size_t(256) << 20);
  pthread_t t;
  int made = pthread_create(
      &t, &attr,
      [](void* p) -> void* {
        (*static_cast<Box*>(p)->f)();
        return nullptr;
      },
      &box);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(made, 0);
  pthread_join(t, nullptr);
}

// The runtime a script needs for these tests: the natives table, the
// datatype words holding their datatypes, any-type!, `make`, the natives
// of this module and a few actions and ops made from their numbers (the
// boot data does the same with the library's specs).
inline may_gc void setup_eval_runtime() {
  static bool done = false;
  if (done) return;
  done = true;
  interp::interpreter_init();  // roots the current-code cell: call it with no other root live
  natives_init();
  lexer::init();
  for (int32_t t = 1; t <= g_last_type_id; t++) {
    if (!g_types[t].registered) continue;
    Cell w = word::load(g_types[t].name);
    context::set(&w, datatype_cell(TypeId(t)));
  }
  Cell all = typeset::empty();
  for (uint32_t t = 1; t <= uint32_t(g_last_type_id); t++) typeset::set_bit(&all, t);
  set_global("any-type!", all);
  // make itself, from C++: the rest is made by Vel code.
  RootedCell make_spec(load("[[type spec] 1]"));
  make_spec->w1 = 0;
  Cell inner = node_buffer(make_spec->node())->cells()[0];
  set_global("make", call_action(ACT_MAKE, {datatype_cell(TYPE_ACTION), inner}));
  run(R"(
    reflect: make action! [[value field] 3]
    add: make action! [[value1 value2] 11]
    subtract: make action! [[value1 value2] 18]
    multiply: make action! [[value1 value2] 13]
    copy: make action! [[value /part length /deep /types kind] 30]
    head: make action! [[series] 32]
    +: make op! :add
    -: make op! :subtract
    *: make op! :multiply
    func: make native! [[spec body] 14]
    function: make native! [[spec body /extern] 15]
    does: make native! [[body] 16]
    has: make native! [[vars body] 17]
    do: make native! [[value [any-type!] /expand /args arg /next position /trace callback] 20]
    get: make native! [[word /any /case] 21]
    set: make native! [[word value [any-type!] /any /case /only /some] 22]
    type?: make native! [[value [any-type!] /word] 34]
    reduce: make native! [[value [any-type!] /into out] 35]
    compose: make native! [[value /deep /only /into out] 36]
    bind: make native! [[word context /copy] 38]
    in: make native! [[object word] 39]
    construct: make native! [[block /with object /only] 68]
    value?: make native! [[value [any-type!]] 69]
    extend: make native! [[obj spec /case] 83]
    unset: make native! [[word] 88]
    context?: make native! [[word] 92]
    apply: make native! [[func args /all /safer] 107]
    loop: make native! [[count body] 8]
    break: make native! [[/return value] 77]
    return: make native! [[value [any-type!]] 80]
    try: make native! [[block /all /keep] 70]
  )");
}

// Every test runs with a collection (moving every buffer) at every
// allocation, so that a value held across an allocation without a root
// shows.
class EvalFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setup_eval_runtime(); }
  void SetUp() override {
    was_ = {g_gc.enabled, g_gc.stress, g_gc.verify};
    g_gc.enabled = true;
    g_gc.stress = 1;
    g_gc.verify = true;
  }
  void TearDown() override {
    g_gc.enabled = was_.enabled;
    g_gc.stress = was_.stress;
    g_gc.verify = was_.verify;
  }

 private:
  struct {
    bool enabled;
    uint32_t stress;
    bool verify;
  } was_{};
};

}  // namespace vel::evaltest
