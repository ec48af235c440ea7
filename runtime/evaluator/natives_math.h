// Comparison and math natives (natives_math.cpp) and the series, set and
// text natives (natives_series.cpp): each module enters its natives in the
// natives table at start-up.
#pragma once

namespace vel {

void register_natives_math();
void register_natives_series();

}  // namespace vel
