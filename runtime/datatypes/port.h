// What other types need of port!.
#pragma once
#include "cell.h"
#include "memory.h"
#include "status.h"

namespace vel::port {

// The port that open, read and write of a url! of a scheme other than http
// work through: the URL taken apart by the library's url-parser/parse-url,
// made into a port as `make port!` makes one. A URL that does not parse
// raises script/invalid-arg; a scheme not registered access/unknown-scheme.
// The port goes to *out (rooted by the caller).
may_gc Status of_url(const Cell& url, Cell* out);

}  // namespace vel::port
