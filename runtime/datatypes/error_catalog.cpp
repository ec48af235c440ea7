// The error catalog's source: library/errors.vel, loaded into the boot
// image with the other boot sources.
#include "boot.h"
#include "datatypes/error.h"

namespace vel::error {

may_gc Cell catalog_code() { return boot::source_code("library/errors.vel"); }

}  // namespace vel::error
