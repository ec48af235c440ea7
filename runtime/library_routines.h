// The routines of the standard library and its type predicates.
#pragma once

namespace vel {

// Registers each routine's C++ entry under the name its library body gives.
void register_library_routines();

}  // namespace vel
