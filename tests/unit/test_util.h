// Helpers shared by the C++ unit tests: source text loaded into values,
// values molded and formed, and the shipped library for the few tests that
// call evaluation from C++.
#pragma once
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "collector.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/interpreter.h"
#include "evaluator/script.h"
#include "stack.h"
#include "roots.h"
#include "startup.h"

namespace vel::test {

// Source text as a block of values (unrooted).
inline may_gc Cell load(std::string_view text) { return load_text(text); }

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

// The boot library evaluated once in this process, as the executable does at
// start-up. Collections stay as the unit tests have them (off unless a test
// enables them).
inline void boot_library_once() {
  static bool done = false;
  if (done) return;
  done = true;
  run_boot_library();
}

// Evaluates source text at top level after the boot library; the value of
// its last expression. The stacks are back at their marks afterwards.
inline may_gc Cell run(std::string_view src) {
  boot_library_once();
  RootedCell code(load(src));
  StackMark mark = stack_save();
  // As the top level does: an error a status carried up is thrown here.
  Status s = throw_if_error(interp::eval_block(*code, false));
  Cell r = g_stack.top[-1];
  stack_restore(mark);
  EXPECT_EQ(s, Status::OK) << src;
  return r;
}

// The error an evaluation raises (nothing when it raises none), with its
// arguments; the stacks are put back as a top-level catcher does.
inline may_gc std::optional<VelError> run_error(std::string_view src) {
  StackMark mark = stack_save();
  try {
    (void)run(src);
  } catch (const VelError& e) {
    stack_restore(mark);
    return e;
  }
  return std::nullopt;
}
inline may_gc std::optional<ErrId> error_id(std::string_view src) {
  auto r = run_error(src);
  if (!r) return std::nullopt;
  return r->id;
}

// The global word of a name, and setting it.
inline may_gc Cell global_value(std::string_view name) { return word::get_any(word::load(name)); }
inline may_gc void set_global(std::string_view name, const Cell& v) {
  RootedCell keep(v);
  Cell w = word::load(name);
  word::set(&w, *keep);
}

}  // namespace vel::test
