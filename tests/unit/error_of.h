// The id of the Vel error a call raises, or nothing when it raises none.
#pragma once
#include <optional>

#include "errors.h"

namespace vel {

template <class F>
std::optional<ErrId> error_of(F&& f) {
  try {
    f();
  } catch (const VelError& e) {
    return e.id;
  }
  return std::nullopt;
}

}  // namespace vel
