// Collections in unit tests. The test main keeps the collector off, since
// most tests hold unrooted node handles; a test that wants collections runs
// them inside this scope: with stress N every Nth allocation collects and
// moves every live buffer, and with verify the heap is checked after each
// collection.
#pragma once
#include <cstdint>

#include "collector.h"

namespace vel {

class CollectingScope {
 public:
  explicit CollectingScope(uint32_t stress = 0, bool verify = true) {
    g_gc.enabled = true;
    g_gc.stress = stress;
    g_gc.verify = verify;
  }
  ~CollectingScope() {
    g_gc.enabled = was_enabled_;
    g_gc.stress = was_stress_;
    g_gc.verify = was_verify_;
  }
  CollectingScope(const CollectingScope&) = delete;
  CollectingScope& operator=(const CollectingScope&) = delete;

 private:
  bool was_enabled_ = g_gc.enabled;
  uint32_t was_stress_ = g_gc.stress;
  bool was_verify_ = g_gc.verify;
};

}  // namespace vel
