// url!: a string naming a resource (http://host/path), and the
// percent-encoding that its mold, the lexer and dehex/enhex share.
#pragma once
#include <cstdint>
#include <vector>

#include "cell.h"
#include "memory.h"

namespace vel::url {

// The unreserved set: letters, digits and "-" "." "_" "~".
bool in_unreserved_set(uint32_t c);
// The URL set: the unreserved set and "!#$&'()*+,/:=?@".
bool in_url_set(uint32_t c);

enum class Decoded { OK, BAD_ESCAPE, BAD_UTF8 };

// Percent-decodes the UTF-8 bytes [s, e), appending code points to out. An
// escape's byte taken as a UTF-8 lead byte announces as many further
// escapes, decoded together with it; a "%" that starts no escape, or
// whose announced escapes are missing, stays as it is (with strict, a "%"
// not followed by two hex digits is BAD_ESCAPE instead). BAD_UTF8: an
// escaped sequence, or the raw text, is not well-formed UTF-8.
Decoded decode_bytes(const uint8_t* s, const uint8_t* e, bool strict, std::vector<uint32_t>* out);

// dehex: a new string! of the text from its index, percent-decoded. An
// escaped sequence that is not UTF-8 raises access/invalid-utf8.
may_gc Cell decode(const Cell& text);
// enhex: a new string! of the text's UTF-8 bytes, each outside the chosen
// set (the unreserved set, or the URL set) written as "%" and two
// upper-case hex digits.
may_gc Cell encode(const Cell& text, bool unreserved_only);

}  // namespace vel::url
