// Helpers of the string tests: rooted values, strings of a chosen unit,
// and texts read back as UTF-8.
#pragma once
#include "error_of.h"
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
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

}  // namespace vel::strtest
