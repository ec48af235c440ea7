#include "natives_table.h"

namespace vel {

NativeFn g_natives[NATIVE_SLOTS + 1] = {};

namespace {

constexpr const char* kNativeNames[] = {
    nullptr,
#define VEL_X(n, cname, name) name,
    VEL_NATIVES(VEL_X)
#undef VEL_X
};

// Names are indexed by number, so the list's numbers must be its positions.
constexpr bool numbers_are_dense() {
  uint32_t next = 1;
#define VEL_X(n, cname, name) \
  if (n != next++) return false;
  VEL_NATIVES(VEL_X)
#undef VEL_X
  return true;
}
static_assert(numbers_are_dense(), "native numbers must run 1, 2, 3 ... in list order");

}  // namespace

const char* native_name(uint32_t n) { return n >= 1 && n <= NATIVE_COUNT ? kNativeNames[n] : "?"; }

void register_natives(const NativeEntry* entries, size_t count) {
  for (size_t i = 0; i < count; i++)
    if (entries[i].number >= 1 && entries[i].number <= NATIVE_SLOTS) g_natives[entries[i].number] = entries[i].fn;
}

}  // namespace vel
