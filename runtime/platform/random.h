// Secure random bytes from the operating system.
//
// Used where a value must not be guessable from outside the process: the
// hash seed (so crafted keys cannot flood one bucket chain) and the random
// generator's secure mode. One implementation per OS.
#pragma once
#include <cstddef>

namespace vel::platform {

// Fills n bytes at out. Answers false, with out in an unspecified state,
// when the system source fails; it never blocks once the system has seeded
// its own generator.
[[nodiscard]] bool secure_random(void* out, size_t n);

}  // namespace vel::platform
