// Secure random bytes for the Linux build: getrandom, else /dev/urandom.
#include "platform/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace vel::platform {

namespace {

bool read_urandom(uint8_t* p, size_t n) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (n > 0) {
    ssize_t got = read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(fd);
      return false;
    }
    p += got;
    n -= size_t(got);
  }
  close(fd);
  return true;
}

}  // namespace

bool secure_random(void* out, size_t n) {
  auto* p = static_cast<uint8_t*>(out);
  while (n > 0) {
    // getrandom answers at most 32 MB per call and may be interrupted.
    ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      // Kernels without the call (ENOSYS) or sandboxes that forbid it.
      return read_urandom(p, n);
    }
    p += got;
    n -= size_t(got);
  }
  return true;
}

}  // namespace vel::platform
