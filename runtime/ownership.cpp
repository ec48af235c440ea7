// The ownership table is not built yet: nothing is owned, so no report has
// anyone to tell. The functions keep their final signatures so that the
// series actions already report at the right places.
#include "ownership.h"

namespace vel {

namespace {

constexpr const char* kChangeWordNames[] = {
#define VEL_X(cname, name) name,
    VEL_CHANGE_WORDS(VEL_X)
#undef VEL_X
};

}  // namespace

const char* change_word_name(ChangeWord w) { return kChangeWordNames[size_t(w)]; }

may_gc bool ownership_check(const Cell&, ChangeWord, const Cell&, int32_t, int32_t) { return false; }

bool ownership_get_owner(NodeId, Cell*) { return false; }

may_gc void ownership_bind(const Cell&, const Cell&, const Cell&) {}

may_gc void ownership_unbind(const Cell&) {}

}  // namespace vel
