// The collector in fuzz runs. It is on for every input, so that memory a
// run no longer holds is reclaimed between inputs and long runs stop only
// for faults; every Nth input (FUZZ_GC_EVERY, default 16) runs with a
// collection that moves every live buffer at each allocation, so that a
// value held only by a C++ local across an allocation is found at once.
#pragma once
#include <cstdint>
#include <cstdlib>

#include "collector.h"

namespace fuzz_gc {

inline uint32_t g_every = 16;
inline uint32_t g_inputs = 0;

// After runtime_init_for_tests, which leaves the collector off.
inline void init() {
  if (const char* s = std::getenv("FUZZ_GC_EVERY"); s && *s) g_every = uint32_t(std::strtoul(s, nullptr, 10));
  vel::g_gc.enabled = true;
}

// One input's run; the stress mode lasts while it lives.
class Input {
 public:
  Input() : stress_(g_every && ++g_inputs % g_every == 0) {
    if (!stress_) return;
    vel::g_gc.stress = 1;
    vel::g_gc.stress_count = 0;
    vel::g_gc.verify = true;
  }
  ~Input() {
    if (!stress_) return;
    vel::g_gc.stress = 0;
    vel::g_gc.verify = false;
  }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

 private:
  bool stress_;
};

}  // namespace fuzz_gc
