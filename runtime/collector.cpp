// Garbage collector: mark from the roots, sweep dead nodes, compact the
// series pools, free empty pools and dead big buffers.
#include "collector.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/symbol.h"
#include "datatypes/words.h"
#include "evaluator/compiled.h"
#include "externals.h"
#include "fatal.h"
#include "hashtable.h"
#include "ownership.h"
#include "platform/platform.h"
#include "roots.h"
#include "stack.h"
#include "valpool.h"

namespace vel {

CollectorState g_gc;

namespace {

std::vector<Marker> g_markers;
std::vector<NodeId> g_work;          // cell series waiting to be scanned
// Stress mode: the blocks of old pools, inaccessible until the next cycle.
struct Quarantined {
  void* base;
  size_t size;
};
std::vector<Quarantined> g_quarantine;

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

void root_node(void*, NodeId* slot) {
  mark_node(nullptr, slot);
  drain();
}
void root_cells(void*, Cell* cells, size_t count) {
  mark_cells(cells, count);
  drain();
}

void word_root(void*, NodeId* slot, RootKind kind, const char*) {
  if (kind == RootKind::TABLE) hash_table::mark(slot, mark_table_slot, nullptr);
  else mark_node(nullptr, slot);
  drain();
}

// Every root, each named by where it comes from.
void mark_roots() {
  // The argument stack: every cell up to the top.
  if (g_stack.begin) mark_cells(g_stack.begin, size_t(g_stack.top - g_stack.begin));
  drain();
  // The call frames: the contexts naming each call and of each function call.
  for (CallFrame* f = g_stack.frames; f && f < g_stack.frame_top; f++) {
    mark_node(nullptr, &f->naming_ctx);
    mark_node(nullptr, &f->func_ctx);
    mark_node(nullptr, &f->code);
  }
  drain();
  // C++ temporaries.
  for (const RootedCells* r = RootedCells::top(); r; r = r->prev()) mark_cells(r->cells(), r->count());
  for (RootedNode* r = RootedNode::top(); r; r = r->prev()) mark_node(nullptr, r->slot());
  drain();
  // Symbols, the global context and the datatype name words.
  visit_word_roots(word_root, nullptr);
  // The value-slot pool.
  if (g_value_pool.node()) mark_cells(g_value_pool.root_cell(), 1);
  drain();
  // Registered markers (lexer buffers, GUI backend ...).
  MarkVisitor v{root_node, root_cells, nullptr};
  for (Marker m : g_markers)
    if (m) m(v);
  drain();
  // The ownership table, weakly: its arrays and entry block live, but the
  // entries' cells are not followed; ownership_sweep decides after marking.
  if (NodeId t = ownership_table(); t && valid_node(t)) {
    mark_node(nullptr, &t);
    hash_table::Header* h = hash_table::header(t);
    mark_node(nullptr, &h->states);
    mark_node(nullptr, &h->keys);
    if (h->block && valid_node(h->block)) node_buffer(h->block)->flags |= BUF_MARK;
    drain();
  }
}

bool node_marked(NodeId n) { return n && valid_node(n) && (node_buffer(n)->flags & BUF_MARK); }

// After marking: drop the ownership entries whose series or owner died,
// then mark what the kept entries hold.
void sweep_ownership() {
  ownership_sweep(node_marked, [](Cell* cells, size_t count) { mark_cells(cells, count); });
  drain();
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
  uint64_t freed = 0;
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
          set_node_buffer(reinterpret_cast<Buffer*>(dst)->node, reinterpret_cast<Buffer*>(dst));
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
    // An empty pool goes back to the system unless it is the only one.
    if (dst == p->start() && (p->prev || p->next)) {
      unlink_series_pool(p);
      free_virtual(p);
    }
    p = next;
  }
  if (!g_mem.current_series_pool) g_mem.current_series_pool = g_mem.first_series_pool;
  return freed;
}

// Stress mode: every live buffer moves into fresh pools; the old pools stay
// reserved but inaccessible until the next cycle, so a stale pointer faults.
uint64_t evacuate_pools() {
  for (const Quarantined& q : g_quarantine) platform::release_pages(q.base, q.size);
  g_quarantine.clear();
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
        if (!target || !(target->bump + size < target->end)) {
          if (size + POOL_LOW_ROOM >= g_mem.next_series_pool_size) g_mem.next_series_pool_size = SERIES_POOL_CAP;
          target = new_series_pool();
        }
        std::memcpy(target->bump, at, size);
        set_node_buffer(b->node, reinterpret_cast<Buffer*>(target->bump));
        target->bump += size;
      } else {
        release_node_of(b);
        freed += size;
      }
      at += size;
    }
  }
  // The old blocks begin 16 bytes before their pool headers (allocate_virtual).
  for (SeriesPool* p = old; p;) {
    SeriesPool* next = p->next;
    auto* base = reinterpret_cast<uint8_t*>(p) - 16;
    size_t block = *reinterpret_cast<size_t*>(base);
    std::memset(base, POISON, block);
    g_mem.total_virtual -= block;
    platform::decommit_pages(base, block);
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

void release_empty_node_pools() {
  std::vector<NodePool*> pools = g_mem.node_pools;
  for (NodePool* p : pools) {
    if (p->used == 0 && g_mem.node_pools.size() > 1) {
      release_node_pool(p);
      continue;
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
      if (!(c->header & context::STACK_VALUES)) node(&c->w2);
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
      TypeId src = func::op_source_type(*c);
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
  g_gc.stress = (s && *s) ? uint32_t(std::strtoul(s, nullptr, 10)) : 0;
  const char* v = std::getenv("VEL_GC_VERIFY");
  g_gc.verify = (v && *v && *v != '0') || g_gc.stress;
  g_gc.cycles = 0;
}

void collector_register_marker(Marker m) { g_markers.push_back(m); }

void collector_unregister_marker(Marker m) {
  for (Marker& e : g_markers)
    if (e == m) e = nullptr;
}

void collector_run() {
  if (g_gc.active) return;
  g_gc.active = true;
  g_work.clear();
  mark_roots();
  sweep_ownership();
  g_externals.sweep();
  uint64_t freed = g_gc.stress ? evacuate_pools() : compact_pools();
  freed += sweep_big_buffers();
  clear_fixed_marks();
  release_empty_node_pools();
  g_gc.last_freed = freed;
  g_gc.live_after = memory_bytes_in_use();
  g_mem.allocated_since_gc = 0;
  g_gc.cycles++;
  g_mem.collector_cycle = g_gc.cycles;
  interp::forms_sweep();
  g_gc.active = false;
  if (g_gc.verify) heap_verify();
}

void collector_run_if_enabled() {
  if (!g_gc.enabled) return;
  uint64_t budget = std::max<uint64_t>(uint64_t(8) << 20, g_gc.live_after);
  if (g_mem.allocated_since_gc < budget) return;
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
