// The error catalog's source: library/errors.vel, embedded with the other
// boot sources.
#include <cstring>
#include <string_view>

#include "boot_sources.h"
#include "datatypes/error.h"

namespace vel::error {

std::string_view catalog_source() {
  for (unsigned i = 0; i < g_boot_source_count; i++)
    if (std::strcmp(g_boot_sources[i].name, "library/errors.vel") == 0)
      return {reinterpret_cast<const char*>(g_boot_sources[i].text), g_boot_sources[i].size};
  return {};
}

}  // namespace vel::error
