// Start-up of the natives table (natives_table.h): the evaluator's
// natives modules register their entries.
#pragma once
#include "natives_table.h"

namespace vel {

// The system and service natives (natives_system.cpp).
void register_natives_system();

// Start-up step "natives": every natives module registers.
void natives_init();

}  // namespace vel
