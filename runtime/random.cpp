#include "random.h"

#include "byteorder.h"
#include "errors.h"
#include "platform/random.h"

namespace vel::random {

namespace {

constexpr int N = 624;
constexpr int M = 397;

// The words are kept unsigned so that the wrap-around of the seeding
// multiply is defined; the signed arithmetic of the shifts is spelt out.
uint32_t g_words[N];
int g_index = N;

// Right shift copying the sign bit (arithmetic in C++20 for int32_t).
inline uint32_t sar(uint32_t x, int k) { return uint32_t(int32_t(x) >> k); }

void regenerate() {
  for (int k = 0; k < N; k++) {
    uint32_t y = (g_words[k] & 0x80000000u) | (g_words[(k + 1) % N] & 0x7FFFFFFFu);
    g_words[k] = g_words[(k + M) % N] ^ sar(y, 1) ^ ((y & 1) ? 0x9908B0DFu : 0u);
  }
  g_index = 0;
}

int32_t draw(bool secure) { return secure ? secure_next() : next(); }

}  // namespace

void init() { seed(STARTUP_SEED); }

void seed(int32_t s) {
  g_words[0] = uint32_t(s);
  for (uint32_t i = 1; i < N; i++) {
    uint32_t p = g_words[i - 1];
    g_words[i] = i + 1812433253u * (p ^ sar(p, 30));
  }
  g_index = 0;
}

int32_t next() {
  if (g_index >= N) regenerate();
  uint32_t y = g_words[g_index++];
  y ^= sar(y, 11);
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= sar(y, 18);  // copies the sign bit onto itself: the top bit ends 0
  return int32_t(y);
}

int32_t secure_next() {
  uint8_t b[4];
  if (!platform::secure_random(b, sizeof b)) fire(ErrId::FEATURE_NA);
  uint32_t w = load_le32(b);
  return int32_t(w & 0x7FFFFFFFu);
}

int32_t int_uniform(int32_t n, bool secure) {
  if (n == 0) return 0;
  if (n == INT32_MIN) return ~draw(secure);
  int32_t m = n < 0 ? -n : n;
  int32_t limit = m * (INT32_MAX / m);  // at most 2^31-1: no overflow
  int32_t d;
  do d = draw(secure);
  while (d >= limit);
  int32_t r = d % m + 1;
  return n < 0 ? -r : r;
}

double float_random_unit(double x, bool secure) {
  if (!secure) return x * (double(next()) / 2147483647.0);
  double d1 = secure_next();
  double d2 = secure_next();
  return x * (d2 + d1 / 2147483647.0) / 2147483648.0;
}

}  // namespace vel::random
