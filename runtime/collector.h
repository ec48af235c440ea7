// Garbage collector state shared with the allocator and start-up.
#pragma once
#include <cstdint>

namespace vel {

struct CollectorState {
  bool enabled = false;  // off until the start-up words and literals exist
  bool active = false;   // a collection is running
  bool stress = false;   // collect at every allocation (VEL_GC_STRESS=1)
  uint32_t cycles = 0;
};
extern CollectorState g_gc;

void collector_init();
void collector_run();

}  // namespace vel
