// Non-local exits other than errors (break, continue, return, exit, throw,
// halt) travel as a Status returned by every evaluating function, with the
// payload in the interpreter state; errors travel as VelError (errors.h).
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
};

// Propagates any status but OK to the caller.
#define VEL_TRY(expr)                                  \
  do {                                                 \
    ::vel::Status vel_status_ = (expr);                \
    if (vel_status_ != ::vel::Status::OK) [[unlikely]] \
      return vel_status_;                              \
  } while (0)

}  // namespace vel
