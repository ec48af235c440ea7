#include "errors.h"

#include <cstdio>

#include "eval.h"
#include "memory.h"
#include "roots.h"
#include "stack.h"

namespace vel {

namespace {

struct ErrorInfo {
  ErrType type;
  const char* name;
};

constexpr ErrorInfo kErrors[] = {
#define VEL_X(type, cname, name) {ErrType::type, name},
    VEL_ERROR_IDS(VEL_X)
#undef VEL_X
};

constexpr const char* kTypeNames[] = {
#define VEL_X(cname, name) name,
    VEL_ERROR_TYPES(VEL_X)
#undef VEL_X
};

// An error raised while another's value is being made goes bare.
bool g_building = false;

// Marks the making of an error value, for the guard's lifetime.
struct Building {
  bool was = g_building;
  Building() { g_building = true; }
  ~Building() { g_building = was; }
  Building(const Building&) = delete;
  Building& operator=(const Building&) = delete;
};

// The last few error values, rooted from fire to their catch: nothing but
// destructors runs between the two, so one slot per error in flight is
// plenty; the ring only guards catch handlers that raise and catch errors
// of their own before they use the one they hold.
constexpr size_t kRing = 16;
Cell g_ring[kRing] = {};
size_t g_ring_next = 0;
StaticRoot g_ring_root("errors in flight", g_ring, kRing);

Cell keep_in_ring(const Cell& error) {
  g_ring[g_ring_next] = error;
  g_ring_next = (g_ring_next + 1) % kRing;
  return error;
}

// Makes the error value of an error about to be raised (none when it
// cannot be made) and reports it to a trace. args are copies.
Cell raised_value(ErrId id, int n, Cell* args) {
  release_no_gc_scopes();
  Cell error = none_cell();
  if (!g_building) {
    RootedCells keep(args, 3);
    Building building;
    Cell made;
    bool ok = false;
    try {
      ok = error::make_raised(id, n, args, &made);
    } catch (const VelError&) {
      ok = false;  // the error's own construction failed: raise it bare
    }
    if (ok) error = keep_in_ring(made);
  }
  if (!g_building) {
    RootedCells keep(args, 3);
    trace::error_raised(id, error);
  }
  return error;
}

[[noreturn]] void raise(ErrId id, int n, const Cell* a1, const Cell* a2, const Cell* a3) {
  // Copies first: the arguments may lie in a series buffer that building
  // the error value moves.
  Cell args[3] = {a1 ? *a1 : unset_cell(), a2 ? *a2 : unset_cell(), a3 ? *a3 : unset_cell()};
  Cell error = raised_value(id, n, args);
  // Made in place by the throw: no local to destroy on the way out, so the
  // unwinding does not stop in this frame.
  throw VelError(id, n, args[0], args[1], args[2], error);
}

// The error Status::RAISED carries: its id and argument count, its
// argument cells and value, rooted until it is taken. An error raised while
// no trace runs is held without its value: the near and where it will take
// and the frame depth are noted instead, and the value is made only when
// the error is taken (try wants it, or it goes on as an exception), so
// that a catcher that only asks whether an error came never pays for it.
enum HeldSlot { HELD_ARG1, HELD_ARG2, HELD_ARG3, HELD_ERROR, HELD_NEAR, HELD_WHERE, HELD_SLOTS };
ErrId g_held_id{};
int g_held_nargs = 0;
bool g_held_noted = false;  // the value is still to be made from the notes
uint32_t g_held_depth = 0;
Cell g_held[HELD_SLOTS] = {};
StaticRoot g_held_root("error carried by a status", g_held, HELD_SLOTS);

// Whether the caller of the running native passes a status on: the
// evaluator called it on a frame it opened.
inline bool status_caller() {
  if (g_stack.frame_top <= g_stack.frames) return false;
  uint32_t h = g_stack.frame_top[-1].header;
  return (h & FRAME_INTERPRETED) && (h & FRAME_KIND_MASK) == FRAME_NATIVE;
}

// Keeps an error for Status::RAISED to carry.
Status hold(ErrId id, int n, const Cell* args, const Cell& error) {
  g_held_id = id;
  g_held_nargs = n;
  g_held_noted = false;
  for (int i = 0; i < 3; i++) g_held[i] = args[i];
  g_held[HELD_ERROR] = error;
  return Status::RAISED;
}

// Holds a new error: noted for later when nothing needs its value now,
// else made as fire makes it.
Status hold_new(ErrId id, int n, const Cell* a1, const Cell* a2, const Cell* a3) {
  Cell args[3] = {a1 ? *a1 : unset_cell(), a2 ? *a2 : unset_cell(), a3 ? *a3 : unset_cell()};
  if (!g_building && !trace::errors_traced() && error::can_make_raised()) [[likely]] {
    release_no_gc_scopes();
    (void)hold(id, n, args, none_cell());
    error::note_raise(&g_held[HELD_NEAR], &g_held[HELD_WHERE], &g_held_depth);
    g_held_noted = true;
    return Status::RAISED;
  }
  Cell error = raised_value(id, n, args);
  return hold(id, n, args, error);
}

// The held error's value, made now from its notes.
may_gc void make_held_value() {
  g_held_noted = false;
  Building building;
  Cell made;
  bool ok = false;
  try {
    ok = error::make_noted(g_held_id, g_held_nargs, g_held, g_held[HELD_NEAR], g_held[HELD_WHERE], g_held_depth, &made);
  } catch (const VelError&) {
    ok = false;  // the error's own construction failed: it goes bare
  }
  g_held[HELD_ERROR] = ok ? keep_in_ring(made) : none_cell();
}

Status fail_with(ErrId id, int n, const Cell* a1, const Cell* a2, const Cell* a3) {
  if (!status_caller()) raise(id, n, a1, a2, a3);
  return hold_new(id, n, a1, a2, a3);
}

}  // namespace

ErrType error_type_of(ErrId id) { return kErrors[size_t(id)].type; }
const char* error_type_name(ErrType t) { return kTypeNames[size_t(t)]; }
const char* error_id_name(ErrId id) { return kErrors[size_t(id)].name; }

const char* VelError::what() const noexcept { return error_id_name(id); }

bool error_id_by_name(std::string_view type, std::string_view name, ErrId* out) {
  for (size_t i = 0; i < sizeof kErrors / sizeof kErrors[0]; i++) {
    if (name != kErrors[i].name || type != kTypeNames[size_t(kErrors[i].type)]) continue;
    *out = ErrId(i);
    return true;
  }
  return false;
}

void throw_error_value(ErrId id, const Cell& error) {
  release_no_gc_scopes();
  throw VelError(id, 0, unset_cell(), unset_cell(), unset_cell(), keep_in_ring(error));
}

Status fail(ErrId id) { return fail_with(id, 0, nullptr, nullptr, nullptr); }
Status fail(ErrId id, const Cell& a1) { return fail_with(id, 1, &a1, nullptr, nullptr); }
Status fail(ErrId id, const Cell& a1, const Cell& a2) { return fail_with(id, 2, &a1, &a2, nullptr); }
Status fail(ErrId id, const Cell& a1, const Cell& a2, const Cell& a3) { return fail_with(id, 3, &a1, &a2, &a3); }

Status fail_eval(ErrId id) { return hold_new(id, 0, nullptr, nullptr, nullptr); }
Status fail_eval(ErrId id, const Cell& a1) { return hold_new(id, 1, &a1, nullptr, nullptr); }
Status fail_eval(ErrId id, const Cell& a1, const Cell& a2) { return hold_new(id, 2, &a1, &a2, nullptr); }
Status fail_eval(ErrId id, const Cell& a1, const Cell& a2, const Cell& a3) { return hold_new(id, 3, &a1, &a2, &a3); }

namespace {
bool g_value_failed = false;
}  // namespace

Cell fail_value(ErrId id, const Cell& a1) {
  (void)hold_new(id, 1, &a1, nullptr, nullptr);
  g_value_failed = true;
  return unset_cell();
}

Cell fail_value(ErrId id, const Cell& a1, const Cell& a2) {
  (void)hold_new(id, 2, &a1, &a2, nullptr);
  g_value_failed = true;
  return unset_cell();
}

bool take_value_failure() {
  bool failed = g_value_failed;
  g_value_failed = false;
  return failed;
}

Status fail_error_value(ErrId id, const Cell& error) {
  if (!status_caller()) throw_error_value(id, error);
  release_no_gc_scopes();
  Cell none[3] = {unset_cell(), unset_cell(), unset_cell()};
  return hold(id, 0, none, error);
}

VelError take_held_error() {
  if (g_held_noted) make_held_value();
  VelError e(g_held_id, g_held_nargs, g_held[0], g_held[1], g_held[2], g_held[HELD_ERROR]);
  // Nothing allocates before the taker roots the value.
  for (Cell& c : g_held) c = unset_cell();
  return e;
}

ErrId drop_held_error() {
  // The cells stay until the next error replaces them: they are rooted,
  // and nothing reads them unnoted.
  g_held_noted = false;
  g_held[HELD_ERROR] = none_cell();
  return g_held_id;
}

void throw_held_error() { throw take_held_error(); }

void fire(ErrId id) { raise(id, 0, nullptr, nullptr, nullptr); }
void fire(ErrId id, const Cell& a1) { raise(id, 1, &a1, nullptr, nullptr); }
void fire(ErrId id, const Cell& a1, const Cell& a2) { raise(id, 2, &a1, &a2, nullptr); }
void fire(ErrId id, const Cell& a1, const Cell& a2, const Cell& a3) { raise(id, 3, &a1, &a2, &a3); }

}  // namespace vel
