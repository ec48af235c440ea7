// The C++ entries of the start-up routines of the system object and the
// library, registered in the routine registry by name.
#pragma once

namespace vel {

void register_system_routines();

}  // namespace vel
