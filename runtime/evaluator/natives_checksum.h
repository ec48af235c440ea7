// The checksum native and its method words.
#pragma once

#include "cell.h"
#include "checksum.h"
#include "status.h"

namespace vel::checksum {

// The method of a word (compared case-insensitively); false when the word
// names none.
bool method_of(const Cell& word, Method* out);

// checksum: [data method /with spec]
Status native_checksum(Cell* base);

}  // namespace vel::checksum
