#include "library.h"

#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/library_bodies.h"
#include "evaluator/script.h"
#include "families.h"
#include "frame.h"
#include "roots.h"
#include "stack.h"

namespace vel::library {

namespace {

// The first class id of the boot code's objects less one: compiled objects
// had ids from 122 up.
constexpr uint32_t kBootClassBase = 121;
uint32_t g_run_time_classes = object::CLASS_BASE;

// The bodies of the functions made while defining (a block), until seal.
enum Slot { BODIES, SLOT_COUNT };
Cell g_slots[SLOT_COUNT] = {};
StaticRoot g_slots_root("library: function bodies while defining", g_slots, SLOT_COUNT);
// The library context, from seal on.
NodeId g_lib = 0;
StaticRoot g_lib_root("library context", &g_lib);

inline uint32_t cells_in(NodeId b) { return node_buffer(b)->used() >> 4; }

inline bool is_list(TypeId t) { return is_any_block(t) && t != TYPE_HASH; }

// Words of the bodies, deeply, that name a global function: f(node, index,
// word cell). Allocates nothing, so the node handles stay valid.
template <class F>
void each_library_word(F f) {
  std::vector<NodeId> work;
  std::unordered_set<NodeId> seen;
  NodeId bodies = g_slots[BODIES].node();
  for (uint32_t i = 0; i < cells_in(bodies); i++) work.push_back(node_buffer(bodies)->cells()[i].node());
  while (!work.empty()) {
    NodeId n = work.back();
    work.pop_back();
    if (!seen.insert(n).second) continue;
    for (uint32_t i = 0; i < cells_in(n); i++) {
      const Cell& c = node_buffer(n)->cells()[i];
      TypeId t = c.type();
      if (is_list(t)) {
        work.push_back(c.node());
      } else if ((t == TYPE_WORD || t == TYPE_GET_WORD) && c.w1 == context::g_global && c.i3() >= 0) {
        const Cell* v = context::value_at(context::g_global, uint32_t(c.i3()));
        if (v && is_any_function(v->type())) f(n, i, c, *v);
      }
    }
  }
}

// Marks every block and paren of the bodies, deeply, as library code. The
// stamps move with the flag: a form made from one of them before keeps
// whether it was the library's only while the stamp it was made with holds.
void mark_library_code() {
  std::vector<NodeId> work;
  NodeId bodies = g_slots[BODIES].node();
  for (uint32_t i = 0; i < cells_in(bodies); i++) work.push_back(node_buffer(bodies)->cells()[i].node());
  while (!work.empty()) {
    Buffer* b = node_buffer(work.back());
    work.pop_back();
    if (b->flags & BUF_LIBRARY) continue;
    b->flags |= BUF_LIBRARY;
    series_changed(b->node);
    for (uint32_t i = 0; i < cells_in(b->node); i++) {
      const Cell& c = b->cells()[i];
      if (c.is(TYPE_BLOCK) || c.is(TYPE_PAREN)) work.push_back(c.node());
    }
  }
}

// The start-up routine maker (see library.h): its spec, made here, and
// its frame in the same order.
constexpr char kMakerSpec[] = "spec [block!] body [block!]";
enum MakerFrame { SPEC, BODY };

Status make_routine(Cell* base) {
  Cell spec = base[SPEC], body = base[BODY];
  if (!spec.is(TYPE_BLOCK) || !body.is(TYPE_BLOCK)) fire(ErrId::BAD_FUNC_DEF, spec);
  uint32_t at = uint32_t(body.index() < 0 ? 0 : body.index());
  Cell entry = at < cells_in(body.node()) ? node_buffer(body.node())->cells()[at] : none_cell();
  if (!entry.is(TYPE_WORD)) fire(ErrId::BAD_FUNC_DEF, body);
  uint32_t id = func::routine_find(symbol::text(entry.w2));
  if (!id) fire(ErrId::NOT_DONE, entry);
  // return: [logic!] and the like.
  int32_t result = -1;
  NodeId s = spec.node();
  for (uint32_t i = 0; i + 1 < cells_in(s); i++) {
    Cell c = node_buffer(s)->cells()[i];
    if (!c.is(TYPE_SET_WORD) || symbol::text(symbol::resolve(c.w2)) != "return") continue;
    Cell types = node_buffer(s)->cells()[i + 1];
    if (!types.is(TYPE_BLOCK) || cells_in(types.node()) == 0) break;
    Cell t = node_buffer(types.node())->cells()[0];
    std::string_view name = t.is(TYPE_WORD) ? symbol::text(t.w2) : std::string_view();
    if (name == "logic!") result = TYPE_LOGIC;
    else if (name == "integer!") result = TYPE_INTEGER;
    else if (name == "float!") result = TYPE_FLOAT;
    break;
  }
  func::routine_push(spec, body, id, result, false);
  base[RESULT] = g_stack.top[-1];
  return Status::OK;
}

}  // namespace

may_gc void begin() {
  func::g_library_bodies = block::make_at(256);
  g_run_time_classes = object::set_class_counter(kBootClassBase);
}

may_gc void seal() {
  g_slots[BODIES] = func::g_library_bodies;
  func::g_library_bodies = none_cell();
  object::set_class_counter(g_run_time_classes);
  if (!g_slots[BODIES].is(TYPE_BLOCK)) return;
  // First the symbols, without allocating; then the context; then the
  // rebinding, again without allocating.
  std::vector<uint32_t> symbols;
  std::unordered_set<uint32_t> have;
  each_library_word([&](NodeId, uint32_t, const Cell& w, const Cell&) {
    if (have.insert(symbol::resolve(w.w2)).second) symbols.push_back(w.w2);
  });
  RootedNode lib(context::create(uint32_t(symbols.size()) + 1, false, false, 0, context::KIND_PLAIN));
  for (uint32_t s : symbols) {
    int32_t gi = context::find_word(context::g_global, s);
    Cell v = gi >= 0 ? *context::value_at(context::g_global, uint32_t(gi)) : unset_cell();
    context::put_value(lib, s, v);
  }
  each_library_word([&](NodeId n, uint32_t i, const Cell&, const Cell&) {
    Cell& c = node_buffer(n)->cells()[i];
    int32_t k = context::find_word(lib, c.w2);
    if (k < 0) return;
    c.w1 = lib;
    c.w3 = uint32_t(k);
    series_changed(n);
  });
  mark_library_code();
  g_lib = lib.get();
  interp::install_library_bodies(g_lib);
  g_slots[BODIES] = none_cell();
}

NodeId context() { return g_lib; }

may_gc void install_routine_maker(Cell* word) {
  RootedCell spec(load_text(kMakerSpec));
  func::routine_push(*spec, none_cell(), func::routine_register("<routine>", make_routine), -1, true);
  Cell r = g_stack.top[-1];
  g_stack.top--;
  word::set(word, r);
}

}  // namespace vel::library
