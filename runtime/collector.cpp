// Garbage collector: mark from the roots, sweep dead nodes, compact the
// series pools, free empty pools and dead big buffers.
#include "collector.h"

#include <algorithm>
#include <initializer_list>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "eval.h"
#include "externals.h"
#include "fatal.h"
#include "hashtable.h"
#include "platform/platform.h"
#include "roots.h"
#include "stack.h"
#include "valpool.h"

namespace vel {

CollectorState g_gc;

namespace {

struct Root {
  const char* tag;
  enum Kind : uint8_t { CELLS, NODE, TABLE, WEAK_TABLE } kind;
  void* at;
  size_t count;
};
// Function-level so that roots registered at static initialisation find it.
std::vector<Root>& registered_roots() {
  static std::vector<Root> roots;
  return roots;
}
std::vector<NodeId> g_work;          // cell series waiting to be scanned
// Stress mode: the blocks of old pools, kept inaccessible for two cycles
// (the last cycle's, then the one before), then reused as fresh pools.
struct Quarantined {
  void* base;
  size_t size;
};
std::vector<Quarantined> g_quarantine;
std::vector<Quarantined> g_quarantine_older;

constexpr uint8_t POISON = 0xDB;

// A node handle that can be followed: inside a live node pool, in use.
inline bool valid_node(NodeId n) {
  NodePool* p = node_pool_of(n);
  return p && g_node_slots[n] && !node_is_free_link(g_node_slots[n]);
}

[[noreturn]] void heap_fault() { fatal_error(98, 0); }

void mark_node(void*, NodeId* slot) {
  NodeId n = *slot;
  if (!n) return;
  if (!valid_node(n)) {
    if (g_gc.verify) heap_fault();
    return;
  }
  Buffer* b = node_buffer(n);
  if (b->flags & BUF_MARK) return;
  b->flags |= BUF_MARK;
  if (b->unit() == 16) g_work.push_back(n);
}

void mark_table_slot(void* ctx, NodeId* slot, hash_table::Ref) { mark_node(ctx, slot); }

struct CellVisit {
  void (*visit)(void* ctx, NodeId* slot);
  void* ctx;
};

void table_visit(void* ctx, NodeId* slot, hash_table::Ref) {
  auto* v = static_cast<CellVisit*>(ctx);
  v->visit(v->ctx, slot);
}

void mark_cells(Cell* cells, size_t count) {
  for (size_t i = 0; i < count; i++) visit_cell_nodes(&cells[i], mark_node, nullptr);
}

void drain() {
  while (!g_work.empty()) {
    NodeId n = g_work.back();
    g_work.pop_back();
    Buffer* b = node_buffer(n);
    // The cells are read by index: visiting never allocates, so the buffer
    // stays where it is during marking.
    mark_cells(b->cells(), b->used() / sizeof(Cell));
    // A block's compiled form lives as long as the block, and so do the
    // values it checks against.
    if (b->spare) interp::forms_mark(b->spare, mark_cells);
  }
}

// Marks each root and what it reaches.
struct Marker final : RootVisitor {
  void cells(const char*, Cell* cells, size_t count) override {
    mark_cells(cells, count);
    drain();
  }
  void node(const char*, NodeId* slot) override {
    mark_node(nullptr, slot);
    drain();
  }
  void table(const char*, NodeId* slot) override {
    if (*slot) hash_table::mark(slot, mark_table_slot, nullptr);
    drain();
  }
};

bool node_marked(NodeId n) { return n && valid_node(n) && (node_buffer(n)->flags & BUF_MARK); }

inline void mark_only(NodeId n) {
  if (n && valid_node(n)) node_buffer(n)->flags |= BUF_MARK;
}

// An ownership table's entry whose key series or owner died goes; a key
// that outlives its entry is no longer owned by anyone.
bool sweep_owned(void*, uint32_t key, Cell* values) {
  bool key_live = node_marked(key);
  NodeId owner_ctx = values[hash_table::OWNED_BY].w1;
  if (key_live && owner_ctx && node_marked(owner_ctx)) return true;
  if (key_live) node_buffer(key)->flags &= ~BUF_OWNED;
  for (uint32_t i = 0; i < hash_table::OWNERSHIP_CELLS; i++) values[i] = unset_cell();
  return false;
}

bool keep_owned(void*, uint32_t, Cell* values) {
  mark_cells(values, hash_table::OWNERSHIP_CELLS);
  return true;
}

// After marking: the weak tables drop what died and mark what they keep.
void sweep_weak() {
  for (const Root& r : registered_roots()) {
    if (r.kind != Root::WEAK_TABLE) continue;
    NodeId table = *static_cast<NodeId*>(r.at);
    if (!table) continue;
    hash_table::Header* h = hash_table::header(table);
    for (NodeId n : {table, h->states, h->keys, h->block}) mark_only(n);
    hash_table::for_each_entry(table, sweep_owned, nullptr);
    hash_table::for_each_entry(table, keep_owned, nullptr);
    drain();
  }
}

inline size_t buffer_size(const Buffer* b) { return sizeof(Buffer) + b->capacity; }

inline bool is_live(const Buffer* b) { return (b->flags & BUF_IN_USE) && (b->flags & BUF_MARK); }

// A dead buffer that still owns its node gives the node back.
void release_node_of(Buffer* b) {
  if (!(b->flags & BUF_IN_USE) || !b->node) return;
  NodeId n = b->node;
  if (node_buffer(n) != b) return;
  if (NodePool* p = node_pool_of(n)) free_node(p, n);
  b->node = 0;
}

void unlink_series_pool(SeriesPool* p) {
  if (p->prev) p->prev->next = p->next;
  else g_mem.first_series_pool = p->next;
  if (p->next) p->next->prev = p->prev;
  else g_mem.last_series_pool = p->prev;
  if (g_mem.current_series_pool == p) g_mem.current_series_pool = g_mem.first_series_pool;
}

uint64_t compact_pools() {
  uint64_t freed = 0, live = 0;
  for (SeriesPool* p = g_mem.first_series_pool; p;) {
    SeriesPool* next = p->next;
    uint8_t* dst = p->start();
    for (uint8_t* at = p->start(); at < p->bump;) {
      auto* b = reinterpret_cast<Buffer*>(at);
      size_t size = buffer_size(b);
      if (is_live(b)) {
        b->flags &= ~BUF_MARK;
        if (dst != at) {
          std::memmove(dst, at, size);
          move_node_buffer(reinterpret_cast<Buffer*>(dst)->node, reinterpret_cast<Buffer*>(dst));
        }
        dst += size;
      } else {
        release_node_of(b);
        freed += size;
      }
      at += size;
    }
    if (g_gc.stress) std::memset(dst, POISON, size_t(p->bump - dst));
    p->bump = dst;
    live += uint64_t(dst - p->start());
    p = next;
  }
  // Empty pools are kept for what the next cycle allocates before it
  // collects (its pages are already there: mapping fresh ones faults on
  // every page); those beyond that go back to the system, the only pool
  // never.
  uint64_t reserve = collection_budget(live);
  uint64_t kept = 0;
  for (SeriesPool* p = g_mem.first_series_pool; p;) {
    SeriesPool* next = p->next;
    if (p->bump == p->start() && (p->prev || p->next)) {
      size_t room = size_t(p->end - p->start());
      if (kept + room <= reserve) {
        kept += room;
      } else {
        unlink_series_pool(p);
        free_virtual(p);
      }
    }
    p = next;
  }
  if (!g_mem.current_series_pool) g_mem.current_series_pool = g_mem.first_series_pool;
  return freed;
}

// A pool for the stress mode's moves: a block vacated two cycles ago when
// one is large enough (its pages are still there, so moving into it costs
// no page faults), otherwise a new one.
SeriesPool* evacuation_target(std::vector<Quarantined>& spare, std::vector<SeriesPool*>& reused, size_t size) {
  for (size_t i = spare.size(); i-- > 0;) {
    Quarantined q = spare[i];
    if (q.size < size + POOL_LOW_ROOM + sizeof(SeriesPool) + 16) continue;
    spare.erase(spare.begin() + ptrdiff_t(i));
    platform::protect_pages(q.base, q.size, true);
    reused.push_back(reuse_series_pool(q.base, q.size));
    return reused.back();
  }
  if (size + POOL_LOW_ROOM >= g_mem.next_series_pool_size) g_mem.next_series_pool_size = SERIES_POOL_CAP;
  return new_series_pool();
}

// Stress mode: every live buffer moves into other pools; the old pools stay
// inaccessible for the next two cycles, so a stale pointer faults.
uint64_t evacuate_pools() {
  std::vector<Quarantined> spare = std::move(g_quarantine_older);
  g_quarantine_older = std::move(g_quarantine);
  g_quarantine.clear();
  std::vector<SeriesPool*> reused;
  SeriesPool* old = g_mem.first_series_pool;
  g_mem.first_series_pool = g_mem.current_series_pool = g_mem.last_series_pool = nullptr;
  uint64_t freed = 0;
  SeriesPool* target = nullptr;
  for (SeriesPool* p = old; p; p = p->next) {
    for (uint8_t* at = p->start(); at < p->bump;) {
      auto* b = reinterpret_cast<Buffer*>(at);
      size_t size = buffer_size(b);
      if (is_live(b)) {
        b->flags &= ~BUF_MARK;
        if (!target || !(target->bump + size < target->end)) target = evacuation_target(spare, reused, size);
        std::memcpy(target->bump, at, size);
        move_node_buffer(b->node, reinterpret_cast<Buffer*>(target->bump));
        target->bump += size;
      } else {
        release_node_of(b);
        freed += size;
      }
      at += size;
    }
  }
  for (const Quarantined& q : spare) platform::release_pages(q.base, q.size);
  // A reused pool's free room still holds what it held two cycles ago: what
  // is allocated there reads poison, as it would read zeros in a new pool.
  for (SeriesPool* p : reused) std::memset(p->bump, POISON, size_t(p->end - p->bump));
  // The old blocks begin 16 bytes before their pool headers (allocate_virtual).
  // Inaccessible pages fault on any access, so they need no poison.
  for (SeriesPool* p = old; p;) {
    SeriesPool* next = p->next;
    auto* base = reinterpret_cast<uint8_t*>(p) - 16;
    size_t block = *reinterpret_cast<size_t*>(base);
    g_mem.total_virtual -= block;
    platform::protect_pages(base, block, false);
    g_quarantine.push_back({base, block});
    p = next;
  }
  if (!g_mem.first_series_pool) new_series_pool();
  g_mem.current_series_pool = g_mem.first_series_pool;
  return freed;
}

uint64_t sweep_big_buffers() {
  uint64_t freed = 0;
  BigBuffer* prev = nullptr;
  for (BigBuffer* big = g_mem.first_big; big;) {
    BigBuffer* next = big->next;
    Buffer* b = big->buffer();
    if (is_live(b)) {
      b->flags &= ~BUF_MARK;
      prev = big;
    } else {
      release_node_of(b);
      if (prev) prev->next = next;
      else g_mem.first_big = next;
      if (g_mem.last_big == big) g_mem.last_big = prev;
      freed += big->size;
      free_virtual(big);
    }
    big = next;
  }
  return freed;
}

void clear_fixed_marks() {
  for (Buffer* b : g_mem.fixed) b->flags &= ~BUF_MARK;
}

// Empty node pools are kept for as many nodes as the last cycle took (a new
// pool commits its pages and threads every slot again); the rest are
// released, the only pool never.
void release_empty_node_pools() {
  std::vector<NodePool*> pools = g_mem.node_pools;
  uint64_t reserve = g_mem.nodes_taken_since_gc, kept = 0;
  for (NodePool* p : pools) {
    if (p->used == 0 && g_mem.node_pools.size() > 1) {
      if (kept + p->slots > reserve) {
        release_node_pool(p);
        continue;
      }
      kept += p->slots;
    }
    p->history = (p->history << 1) | (p->used == p->prev_used ? 1u : 0u);
    p->prev_used = p->used;
  }
  g_mem.current_node_pool = nullptr;
  for (NodePool* p : g_mem.node_pools)
    if (p->used < p->slots) {
      g_mem.current_node_pool = p;
      break;
    }
  if (!g_mem.current_node_pool && !g_mem.node_pools.empty()) g_mem.current_node_pool = g_mem.node_pools.front();
}

}  // namespace

void visit_cell_nodes(Cell* c, void (*visit)(void* ctx, NodeId* slot), void* ctx) {
  auto node = [&](uint32_t* w) {
    if (*w) visit(ctx, w);
  };
  auto table = [&](uint32_t* w) {
    if (!*w) return;
    CellVisit cv{visit, ctx};
    hash_table::mark(w, table_visit, &cv);
  };
  switch (c->type()) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_PATH:
    case TYPE_LIT_PATH:
    case TYPE_SET_PATH:
    case TYPE_GET_PATH:
    case TYPE_STRING:
    case TYPE_FILE:
    case TYPE_URL:
    case TYPE_TAG:
    case TYPE_EMAIL:
    case TYPE_REF:
    case TYPE_BINARY:
    case TYPE_VECTOR:
    case TYPE_BITSET:
      node(&c->w2);
      break;
    case TYPE_HASH:
    case TYPE_MAP:
      node(&c->w2);
      table(&c->w3);
      break;
    case TYPE_IMAGE:
      node(&c->w2);
      if (int32_t(c->w3) >= 0) g_externals.mark(int32_t(c->w3));
      break;
    case TYPE_SYMBOL:
      node(&c->w2);
      node(&c->w3);
      break;
    case TYPE_CONTEXT:
      table(&c->w1);
      if (!(c->header & CELL_CONTEXT_STACK_VALUES)) node(&c->w2);
      break;
    case TYPE_WORD:
    case TYPE_SET_WORD:
    case TYPE_LIT_WORD:
    case TYPE_GET_WORD:
    case TYPE_REFINEMENT:
    case TYPE_ISSUE:
      node(&c->w1);
      break;
    case TYPE_NATIVE:
    case TYPE_ACTION:
      node(&c->w2);
      node(&c->w3);
      break;
    case TYPE_OP: {
      TypeId src = cell_op_source_type(*c);
      if (src == TYPE_FUNCTION || src == TYPE_ROUTINE) node(&c->w1);
      node(&c->w2);
      node(&c->w3);
      break;
    }
    case TYPE_FUNCTION:
    case TYPE_ROUTINE:
      node(&c->w1);
      node(&c->w2);
      node(&c->w3);
      break;
    case TYPE_OBJECT:
    case TYPE_ERROR:
    case TYPE_PORT:
      node(&c->w1);
      node(&c->w3);
      break;
    case TYPE_HANDLE:
      if (int32_t(c->w3) >= 0) g_externals.mark(int32_t(c->w3));
      break;
    case TYPE_EVENT:
      if ((c->header & (1u << 12)) && c->w2) node(&c->w2);
      break;
    default:
      break;
  }
}

void collector_init() {
  const char* s = std::getenv("VEL_GC_STRESS");
  g_gc.stress = g_gc.stress_after_boot = (s && *s) ? uint32_t(std::strtoul(s, nullptr, 10)) : 0;
  const char* b = std::getenv("VEL_GC_STRESS_BOOT");
  if (g_gc.stress && b && *b) g_gc.stress = uint32_t(std::strtoul(b, nullptr, 10));
  const char* v = std::getenv("VEL_GC_VERIFY");
  g_gc.verify = (v && *v && *v != '0') || g_gc.stress_after_boot;
  g_gc.cycles = 0;
}

void collector_boot_done() {
  g_gc.stress = g_gc.stress_after_boot;
  g_gc.stress_count = 0;
}

namespace {

void add_root(const char* tag, Root::Kind kind, void* at, size_t count) {
  for (Root& r : registered_roots())
    if (r.at == at) return;
  registered_roots().push_back({tag, kind, at, count});
}

}  // namespace

void register_root(const char* tag, Cell* cells, size_t count) { add_root(tag, Root::CELLS, cells, count); }
void register_root_node(const char* tag, NodeId* slot) { add_root(tag, Root::NODE, slot, 1); }
void register_root_table(const char* tag, NodeId* slot) { add_root(tag, Root::TABLE, slot, 1); }
void register_weak_table(const char* tag, NodeId* slot) { add_root(tag, Root::WEAK_TABLE, slot, 1); }

void visit_roots(RootVisitor& v) {
  if (g_stack.begin) v.cells("argument stack", g_stack.begin, size_t(g_stack.top - g_stack.begin));
  for (CallFrame* f = g_stack.frames; f && f < g_stack.frame_top; f++) {
    v.node("call frame: naming context", &f->naming_ctx);
    v.node("call frame: function context", &f->func_ctx);
  }
  for (const RootedCells* r = RootedCells::top(); r; r = r->prev()) v.cells("C++ temporary", r->cells(), r->count());
  for (RootedNode* r = RootedNode::top(); r; r = r->prev()) v.node("C++ temporary", r->slot());
  for (const Root& r : registered_roots()) {
    switch (r.kind) {
      case Root::CELLS: v.cells(r.tag, static_cast<Cell*>(r.at), r.count); break;
      case Root::NODE: v.node(r.tag, static_cast<NodeId*>(r.at)); break;
      case Root::TABLE: v.table(r.tag, static_cast<NodeId*>(r.at)); break;
      case Root::WEAK_TABLE: break;
    }
  }
  if (g_value_pool.node()) v.cells("value-slot pool", g_value_pool.root_cell(), 1);
}

void collector_run() {
  check_may_gc("collection");
  if (g_gc.active) return;
  g_gc.active = true;
  g_work.clear();
  Marker marker;
  visit_roots(marker);
  sweep_weak();
  g_externals.sweep();
  uint64_t freed = g_gc.stress ? evacuate_pools() : compact_pools();
  freed += sweep_big_buffers();
  clear_fixed_marks();
  release_empty_node_pools();
  g_gc.last_freed = freed;
  g_gc.live_after = memory_bytes_in_use();
  g_mem.allocated_since_gc = 0;
  g_mem.nodes_taken_since_gc = 0;
  g_gc.cycles++;
  g_mem.collector_cycle = g_gc.cycles;
  interp::forms_sweep();
  g_gc.active = false;
  if (g_gc.verify) heap_verify();
}

uint64_t collection_budget(uint64_t live) { return std::max<uint64_t>(uint64_t(8) << 20, live / 2); }

void collector_run_if_enabled() {
  if (!g_gc.enabled) return;
  if (g_mem.allocated_since_gc < collection_budget(g_gc.live_after)) return;
  collector_run();
}

void collector_stress_point() {
  if (!g_gc.stress || !g_gc.enabled || g_gc.active) return;
  if (++g_gc.stress_count < g_gc.stress) return;
  g_gc.stress_count = 0;
  collector_run();
}

void heap_verify() {
  // Every used node leads to an in-use buffer that names it back.
  for (NodePool* p : g_mem.node_pools) {
    uint32_t used = 0;
    for (NodeId n = p->first(); n < p->first() + p->slots; n++) {
      uintptr_t slot = g_node_slots[n];
      if (node_is_free_link(slot)) continue;
      used++;
      if (!slot) continue;  // taken, buffer not yet attached
      auto* b = reinterpret_cast<Buffer*>(slot);
      if (!(b->flags & BUF_IN_USE) || b->node != n || (b->flags & BUF_MARK)) heap_fault();
      if (b->head > b->tail || b->tail > b->capacity) heap_fault();
    }
    if (used != p->used) heap_fault();
  }
  // Pools are sorted, and their buffers tile them exactly.
  for (SeriesPool* p = g_mem.first_series_pool; p; p = p->next) {
    if (p->next && p->next < p) heap_fault();
    if (p->bump > p->end) heap_fault();
    uint8_t* at = p->start();
    while (at < p->bump) {
      auto* b = reinterpret_cast<Buffer*>(at);
      if (b->capacity % 16 || b->flags & BUF_MARK) heap_fault();
      at += buffer_size(b);
    }
    if (at != p->bump) heap_fault();
  }
  // Live cells refer only to live nodes.
  for (NodePool* p : g_mem.node_pools)
    for (NodeId n = p->first(); n < p->first() + p->slots; n++) {
      uintptr_t slot = g_node_slots[n];
      if (!slot || node_is_free_link(slot)) continue;
      auto* b = reinterpret_cast<Buffer*>(slot);
      if (b->unit() != 16) continue;
      Cell* cells = b->cells();
      for (uint32_t i = 0, k = b->used() / 16; i < k; i++)
        visit_cell_nodes(
            &cells[i],
            [](void*, NodeId* s) {
              if (!valid_node(*s)) heap_fault();
            },
            nullptr);
    }
}

}  // namespace vel
