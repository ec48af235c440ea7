// The checksum native.
#pragma once

#include "cell.h"
#include "checksum.h"
#include "status.h"

namespace vel::checksum {

// checksum: [data method /with spec]
Status native_checksum(Cell* base);

}  // namespace vel::checksum
