// Secure random bytes for the Windows build: RtlGenRandom from advapi32,
// which needs no provider handle and no extra import library.
#include "platform/random.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cstdint>

namespace vel::platform {

bool secure_random(void* out, size_t n) {
  auto* p = static_cast<uint8_t*>(out);
  while (n > 0) {
    // The length is a ULONG: feed large requests in pieces.
    ULONG chunk = n > 0x10000000 ? 0x10000000 : ULONG(n);
    if (!RtlGenRandom(p, chunk)) return false;
    p += chunk;
    n -= chunk;
  }
  return true;
}

}  // namespace vel::platform
