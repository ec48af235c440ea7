// The C loops that vector operations are measured against: an int32 add,
// a double multiply and a memcpy over 10^7 elements, in seconds per run.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

template <class F>
double per_run(F f) {
  auto t = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; i++) f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count() / 10;
}

}  // namespace

int main() {
  const size_t n = 10000000;
  std::vector<int32_t> v(n);
  std::vector<double> f(n, 1.0);
  std::printf("add %.6f\n", per_run([&] {
    for (size_t i = 0; i < n; i++) v[i] += 1;
  }));
  std::printf("mul %.6f\n", per_run([&] {
    for (size_t i = 0; i < n; i++) f[i] *= 2.0;
  }));
  // A copy is a new array: fresh pages from the system, as Vel's are.
  int32_t last = 0;
  std::printf("copy %.6f\n", per_run([&] {
    auto* w = static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
    std::memcpy(w, v.data(), n * sizeof(int32_t));
    asm volatile("" ::: "memory");
    last = w[n - 1];
    std::free(w);
  }));
  // The same bytes into an array already in use, for scale.
  std::vector<int32_t> warm(n);
  std::printf("memcpy-warm %.6f\n", per_run([&] {
    std::memcpy(warm.data(), v.data(), n * sizeof(int32_t));
    asm volatile("" ::: "memory");
  }));
  std::printf("check %d %d\n", int(v[0]), int(last));
}
