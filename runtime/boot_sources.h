// The Vel sources of the library, the GUI engine and the console, embedded
// in the executable in the order the manifest (library/manifest.txt) gives.
// Start-up loads and evaluates them in that order.
#pragma once
#include <cstddef>

namespace vel {

struct BootSource {
  const char* name;           // path from the source root
  const unsigned char* text;  // UTF-8, NUL-terminated
  size_t size;                // bytes, without the NUL
};

extern const BootSource g_boot_sources[];
extern const unsigned g_boot_source_count;

}  // namespace vel
