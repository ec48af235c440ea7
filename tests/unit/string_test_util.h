// Helpers of the string tests: rooted values, strings of a chosen unit,
// action frames built from refinement names, and texts read back as UTF-8.
#pragma once
#include "error_of.h"
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "collector.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "roots.h"
#include "stack.h"
#include "unicode.h"

namespace vel::strtest {

// Values kept alive for the length of a test. When the suite runs in the
// collector's stress mode (VEL_GC_STRESS), collections are switched on
// while a Values scope lives, so every allocation of the code under test
// moves every buffer.
class Values {
 public:
  Values() : root_(pool_, 0) {
    if (g_gc.stress) g_gc.enabled = true;
  }
  ~Values() { g_gc.enabled = was_enabled_; }
  Values(const Values&) = delete;
  Values& operator=(const Values&) = delete;
  Cell& keep(const Cell& c) {
    if (n_ == kMax) ADD_FAILURE() << "too many values in one test";
    pool_[n_] = c;
    root_.resize(pool_, ++n_);
    return pool_[n_ - 1];
  }

 private:
  static constexpr size_t kMax = 512;
  bool was_enabled_ = g_gc.enabled;
  Cell pool_[kMax];
  size_t n_ = 0;
  RootedCells root_;
};

// A string of type t from UTF-8 text, widened to at least `unit`.
inline Cell str(Values& v, const std::string& utf8, uint32_t unit = 1, TypeId t = TYPE_STRING) {
  Cell& c = v.keep(string::load(utf8, t));
  if (unit > node_buffer(c.node())->unit()) widen(c.node(), unit, 0);
  return c;
}

inline uint32_t unit_of(const Cell& s) { return node_buffer(s.node())->unit(); }

// The characters of a string value from its index, as UTF-8.
inline std::string text(const Cell& s) {
  if (s.is(TYPE_NONE)) return "<none>";
  return to_utf8(s.node(), s.index() < 0 ? 0 : s.index());
}
// The whole series, whatever the index.
inline std::string whole(const Cell& s) { return to_utf8(s.node(), 0); }

inline std::string molded(Cell v, uint32_t flags = 0, int32_t part = NO_PART_LIMIT) {
  RootedNode out(make_string(16));
  mold_value(v, out, flags, nullptr, part);
  return string_text(out);
}

inline std::string formed(Cell v) {
  RootedNode out(make_string(16));
  form_value(v, out);
  return string_text(out);
}

// A refinement used in a call, with its arguments.
struct Ref {
  const char* name;
  std::vector<Cell> args;
  Ref(const char* n) : name(n) {}
  Ref(const char* n, Cell a) : name(n), args{a} {}
};

// An action's refinements in spec order, with their argument counts.
struct RefSpec {
  const char* name;
  int nargs;
};

// Builds the frame of an action from its arguments and the refinements
// used, then calls it.
inline Cell call(ActionId a, std::vector<Cell> args, const std::vector<RefSpec>& spec, const std::vector<Ref>& used) {
  std::vector<Cell> frame = std::move(args);
  for (const RefSpec& r : spec) {
    const Ref* u = nullptr;
    for (const Ref& x : used)
      if (std::string(x.name) == r.name) u = &x;
    frame.push_back(logic_cell(u != nullptr));
    for (int k = 0; k < r.nargs; k++) frame.push_back(u && k < int(u->args.size()) ? u->args[size_t(k)] : none_cell());
  }
  RootedCells keep(frame.data(), frame.size());
  Cell* base = stack_mark(FRAME_NATIVE, 0, 0);
  for (const Cell& c : frame) push(c);
  StackMark guard{cell_index(base), cell_index(base), frame_depth()};
  try {
    (void)dispatch_action(a, base);
  } catch (...) {
    stack_restore(guard);
    stack_unroll();
    throw;
  }
  Cell result = *base;
  stack_unroll();
  return result;
}

inline const std::vector<RefSpec> kFindRefs = {{"part", 1}, {"only", 0}, {"case", 0}, {"same", 0},
                                               {"any", 0},  {"with", 1}, {"skip", 1}, {"last", 0},
                                               {"reverse", 0}, {"tail", 0}, {"match", 0}};
inline const std::vector<RefSpec> kInsertRefs = {{"part", 1}, {"only", 0}, {"dup", 1}};
inline const std::vector<RefSpec> kTakeRefs = {{"part", 1}, {"deep", 0}, {"last", 0}};
inline const std::vector<RefSpec> kTrimRefs = {{"head", 0}, {"tail", 0}, {"auto", 0}, {"lines", 0},
                                               {"all", 0},  {"with", 1}};
inline const std::vector<RefSpec> kSortRefs = {{"case", 0}, {"skip", 1}, {"compare", 1}, {"part", 1},
                                               {"all", 0},  {"reverse", 0}, {"stable", 0}};
inline const std::vector<RefSpec> kCopyRefs = {{"part", 1}, {"deep", 0}, {"types", 1}};
inline const std::vector<RefSpec> kRemoveRefs = {{"part", 1}, {"key", 1}};
inline const std::vector<RefSpec> kReverseRefs = {{"part", 1}, {"skip", 1}};


}  // namespace vel::strtest
