// read and write of http and https URLs: Vel values to one HTTP request
// (platform/http.h) and its response back to values.
#pragma once
#include "cell.h"
#include "memory.h"

namespace vel::http {

// One request. method: a word; headers: a block of name/value pairs or
// none (none sends the default headers); data: none, a string! or a
// binary!. Answers the body (a binary! with binary, a block of lines with
// lines, else a string!), or with info the block [status headers body];
// none when the request failed. A body too large for memory raises
// internal/no-memory.
may_gc Cell request(const Cell& method, const Cell& url, const Cell& headers, const Cell& data, bool binary,
                    bool lines, bool info);

// Fills url!'s read and write slots.
void register_url_actions();

}  // namespace vel::http
