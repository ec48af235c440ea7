// The one way the unit tests expect Vel errors: error_of gives the id of
// the error a call raises (nothing when it raises none); caught gives the
// whole error, arguments and error! value included, and fails the test when
// the call raises none.
#pragma once
#include <gtest/gtest.h>

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

template <class F>
VelError caught(F&& f) {
  try {
    f();
  } catch (const VelError& e) {
    return e;
  }
  ADD_FAILURE() << "no Vel error raised";
  VelError none{};
  none.id = ErrId::INVALID_ERROR;
  none.nargs = -1;
  return none;
}

}  // namespace vel
