// Non-local exits (break, continue, return, exit, throw, halt) travel as a
// Status returned by every evaluating function, with the payload in the
// interpreter state. Errors travel as VelError (errors.h), or as RAISED where
// the code that raises one knows its callers pass statuses on (see fail).
#pragma once
#include <cstdint>

namespace vel {

enum class [[nodiscard]] Status : uint8_t {
  OK = 0,
  BREAK,
  CONTINUE,
  RETURN,
  EXIT,
  THROW,
  HALT,
  RAISED,  // an error made and held by errors.cpp until try takes it or it is thrown
};

// Propagates any status but OK to the caller.
#define VEL_TRY(expr)                                  \
  do {                                                 \
    ::vel::Status vel_status_ = (expr);                \
    if (vel_status_ != ::vel::Status::OK) [[unlikely]] \
      return vel_status_;                              \
  } while (0)

}  // namespace vel
