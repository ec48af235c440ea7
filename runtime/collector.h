// The garbage collector: stop-the-world mark, sweep and compact.
//
// Marking starts from the roots listed in collector.cpp (mark_roots) and
// follows node handles through cells with an explicit work list, so deep
// nesting costs no machine stack. Every buffer of 16-byte units holds
// cells and is scanned; other buffers are only marked. Sweeping frees the
// nodes of dead buffers; compaction slides the live buffers of each series
// pool down over the dead ones and rewrites their nodes. Node handles never
// change: only buffers move.
//
// Stress mode (VEL_GC_STRESS=1, or =N for every Nth allocation) collects at
// allocations and moves every live buffer into fresh pools, poisoning and
// releasing the old ones, so a stale buffer pointer fails at once.
// VEL_GC_STRESS_BOOT=N sets another stride while the boot library runs (0:
// none), so that a test which starts the executable many times need not
// repeat the same boot under stress each time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel {

struct CollectorState {
  bool enabled = false;      // off until the start-up words and literals exist
  bool active = false;       // a collection is running
  uint32_t stress = 0;       // collect every Nth allocation (0: off)
  uint32_t stress_after_boot = 0;  // the stride once the boot library has run
  uint32_t stress_count = 0;
  bool verify = false;       // check the heap after each collection
  uint32_t cycles = 0;
  uint64_t last_freed = 0;   // bytes reclaimed by the last collection
  uint64_t live_after = 0;   // bytes in use after the last collection
};
extern CollectorState g_gc;

void collector_init();
// The boot library has run: stress mode takes its stride for what follows.
void collector_boot_done();
void collector_run();

// Called when the allocator runs short: a collection once the bytes made
// since the last one reach half the live heap (at least 8 MB), so that a
// growing heap is not marked again for every new pool, while the peak stays
// near one and a half times what is live.
void collector_run_if_enabled();
// The bytes allocated after a collection that left `live` bytes in use
// before the next one runs.
uint64_t collection_budget(uint64_t live);

// Called from allocation: a collection when stress mode asks for one.
void collector_stress_point();

// Every root, each under a tag that says where it comes from: the argument
// stack and call frames, the RAII roots of C++ code, the registered roots
// of roots.h and the value-slot pool. The collector marks through it.
struct RootVisitor {
  virtual void cells(const char* tag, Cell* cells, size_t count) = 0;
  virtual void node(const char* tag, NodeId* slot) = 0;
  // A hash table's header node: the table and its arrays live.
  virtual void table(const char* tag, NodeId* slot) = 0;

 protected:
  ~RootVisitor() = default;
};
void visit_roots(RootVisitor& v);

// The node slots a cell refers to, by its type. Marking, heap verification
// and serialization walks share it.
void visit_cell_nodes(Cell* c, void (*visit)(void* ctx, NodeId* slot), void* ctx);

// Checks every node, buffer and pool; ends the process with "assertion
// failed" (98) on the first inconsistency. Used after collections in
// verify mode and by tests.
void heap_verify();

}  // namespace vel
