// binary!: the byte series. A child of string! that shares its cell and
// most of its actions (the string code reads a binary as unit-1 text):
//
//   header  type 41; bit 30 = the value starts a new line when molded
//   w1      index: bytes from the buffer head
//   w2      node of a byte series (unit 1)
//
// Its own parts are conversion, form and mold, comparison, the bitwise
// actions, the editing actions (append, insert, change, trim), the byte
// tests of the parse engine and the text codecs of enbase and debase (base
// 2, 16, 58 and 64, binary_codec.cpp).
//
// Functions that answer addresses into a buffer are valid only until the
// next allocation (see memory.h); `may_gc` marks the ones that allocate.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "cell.h"
#include "memory.h"

namespace vel::binary {

// --- cells and access ------------------------------------------------------------

// *c made an empty binary! at index 0 with room for n bytes (16 for 0).
may_gc Cell make_at(Cell* c, uint32_t n);
// A new binary! holding a copy of n bytes.
may_gc Cell load(const uint8_t* p, size_t n);

// Bytes from the index to the tail; an index past the tail is written back
// as the tail.
int32_t rs_length(Cell* v);
// The byte at the (clamped) index.
uint8_t* rs_head(Cell* v);
// The byte at position i from the buffer head (i below the total length).
inline uint32_t get_byte(const Cell& v, uint32_t i) { return node_buffer(v.node())->head_ptr()[i]; }

// --- the byte tests of parse and find ----------------------------------------------

// The bytes a value compares with: a binary's from its index; a text's as
// UTF-8 (kept in holder). Valid until the next allocation.
struct Bytes {
  const uint8_t* p;
  size_t n;
};
Bytes bytes_of(const Cell& v, std::string& holder);

// The byte comparison of two values under a comparison operator: -1, 0 or
// 1, or -2 when the other is no binary or text. In match mode the other's
// bytes only have to begin the first's (0 for a match).
int32_t compare_bytes(const Cell& a, const Cell& b, int op, bool match);
// Whether the byte at the index is a member of the bitset (false at the
// tail).
bool match_bitset(const Cell& v, const Cell& bitset);
// Whether the bytes at the index match a text or binary (as a prefix), or
// the byte equals a char!'s code; *advance receives the bytes matched.
bool match_value(const Cell& v, const Cell& other, int op, int64_t* advance);

// --- conversion ----------------------------------------------------------------------

// to binary! of a value (a copy for a binary); script/bad-to-arg for
// values that have no bytes.
may_gc Cell to(const Cell& value);

// --- codecs (binary_codec.cpp) --------------------------------------------------------

// Encoders write the text of n bytes at out and answer its end. Sizes: base
// 2 8n, base 16 2n, base 64 4 * ceil(n / 3), base 58 at most 2n + 1.
char* encode_2(char* out, const uint8_t* in, size_t n);
char* encode_16(char* out, const uint8_t* in, size_t n);
char* encode_64(char* out, const uint8_t* in, size_t n);
char* encode_58(char* out, const uint8_t* in, size_t n);

// Decoders read count characters of `unit` (1, 2 or 4 bytes) at text into
// *out and answer false when the text is not valid in that base. ";"
// starts a comment up to the next line feed. They allocate nothing, so the
// text may live in a series buffer.
bool decode_2(const uint8_t* text, uint32_t count, uint32_t unit, std::string* out);
// Base 16 with an odd count of digits is invalid, or with drop_odd (as
// debase reads it) the last digit is dropped.
bool decode_16(const uint8_t* text, uint32_t count, uint32_t unit, std::string* out, bool drop_odd = false);
bool decode_64(const uint8_t* text, uint32_t count, uint32_t unit, std::string* out);
bool decode_58(const uint8_t* text, uint32_t count, uint32_t unit, std::string* out);


}  // namespace vel::binary
