// The boot image built into the executable: generated at build time by the
// host tool (boot.h), or empty in the host tool itself.
#pragma once
#include <cstddef>

namespace vel {

extern const unsigned char g_boot_image[];
extern const size_t g_boot_image_size;

}  // namespace vel
