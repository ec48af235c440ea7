// Garbage collector.
#include "collector.h"

#include <cstdlib>

#include "memory.h"

namespace vel {

CollectorState g_gc;

void collector_init() {
  const char* s = std::getenv("VEL_GC_STRESS");
  g_gc.stress = s && *s && *s != '0';
  g_gc.cycles = 0;
}

// Marking, sweeping and compaction arrive with the collector proper; until
// then a collection only counts itself and nothing is reclaimed.
void collector_run() {
  if (g_gc.active) return;
  g_gc.active = true;
  g_gc.cycles++;
  g_mem.collector_cycle = g_gc.cycles;
  g_gc.active = false;
}

void collector_run_if_enabled() {
  if (g_gc.enabled) collector_run();
}

}  // namespace vel
