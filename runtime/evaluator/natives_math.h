// Comparison and math natives (natives_math.cpp): entered in the natives
// table at start-up.
#pragma once

namespace vel {

void register_natives_math();

}  // namespace vel
