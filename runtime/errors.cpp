#include "errors.h"

#include <cstdio>

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

[[noreturn]] void raise(ErrId id, int n, const Cell* a1, const Cell* a2, const Cell* a3) {
  VelError e;
  e.id = id;
  e.nargs = n;
  e.args[0] = a1 ? *a1 : unset_cell();
  e.args[1] = a2 ? *a2 : unset_cell();
  e.args[2] = a3 ? *a3 : unset_cell();
  throw e;
}

}  // namespace

ErrType error_type_of(ErrId id) { return kErrors[size_t(id)].type; }
const char* error_type_name(ErrType t) { return kTypeNames[size_t(t)]; }
const char* error_id_name(ErrId id) { return kErrors[size_t(id)].name; }

const char* VelError::what() const noexcept { return error_id_name(id); }

void fire(ErrId id) { raise(id, 0, nullptr, nullptr, nullptr); }
void fire(ErrId id, const Cell& a1) { raise(id, 1, &a1, nullptr, nullptr); }
void fire(ErrId id, const Cell& a1, const Cell& a2) { raise(id, 2, &a1, &a2, nullptr); }
void fire(ErrId id, const Cell& a1, const Cell& a2, const Cell& a3) { raise(id, 3, &a1, &a2, &a3); }

}  // namespace vel
