// Random numbers: one process-wide generator behind every `random` action,
// and the system's secure source for /secure.
//
// The generator is MT19937 computed on signed 32-bit words with arithmetic
// right shifts. Seeding does not regenerate the state, so the first 624
// outputs after a seed temper the seeding words themselves; scripts depend
// on the exact sequences, so nothing here may change them. Every output,
// plain or secure, lies in 0..2147483647.
//
// Start-up seeds with 19650218, so an unseeded program sees the same
// numbers on every run. The state is not locked: one interpreter thread.
#pragma once
#include <cstdint>

namespace vel::random {

constexpr int32_t STARTUP_SEED = 19650218;

// Start-up: seeds the generator with STARTUP_SEED.
void init();
// Restarts the generator from s; the next output tempers s itself.
void seed(int32_t s);
// The next output of the generator, 0..2147483647.
int32_t next();
// Four bytes of the secure source as a little-endian word with the top bit
// cleared, 0..2147483647. internal/feature-na when the source fails: a
// secure draw never falls back to a guessable number.
int32_t secure_next();

// Uniform in 1..n for n > 0 (draws at or above the largest multiple of n
// below 2^31-1 are drawn again), -|n|..-1 for n < 0, 0 for 0; for
// -2147483648 the complement of one draw (-2147483648..-1).
int32_t int_uniform(int32_t n, bool secure);

// A float in the range of x: x times draw/(2^31-1) (0 and x both
// possible); secure, from two draws with finer steps, below x.
double float_random_unit(double x, bool secure);

}  // namespace vel::random
