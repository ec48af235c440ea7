// Datatypes registered by name only: every action unsupported until their
// modules land. Each module that lands removes its line here.
#include "datatypes/registry.h"

namespace vel {

#define VEL_PENDING(cname) \
  void register_type_##cname() { TypeBuilder(TYPE_##cname).inherit_rest().done(); }


}  // namespace vel
