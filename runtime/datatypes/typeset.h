// typeset!: a set of datatypes held in the cell itself.
//
//   header  type 33
//   w1..w3  96 type bits over the twelve data bytes in memory order: type t
//           is the bit 0x80 >> (t % 8) of byte t / 8 (most significant bit
//           first in each byte). The layout is shared with VELBIN.
//
// Bits beyond the registered type ids are carried along but never listed.
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel::typeset {

constexpr uint32_t BITS = 96;

inline Cell empty() { return make_cell(TYPE_TYPESET); }
// Every type but unset!: the accepted types of an argument without a type
// block.
Cell make_default();
inline Cell from_words(uint32_t w1, uint32_t w2, uint32_t w3) { return make_cell(TYPE_TYPESET, w1, w2, w3); }

bool has(const Cell& ts, uint32_t type);
void set_bit(Cell* ts, uint32_t type);
// Set bits among the registered type ids.
uint32_t count(const Cell& ts);

// Adds a datatype! (its bit) or a typeset! (or); a word! first becomes its
// value (unset raises no-value); anything else raises invalid-arg.
void add(Cell* ts, const Cell& value);
// make/to from a spec: a typeset is itself, a block adds each entry from
// its index; anything else raises bad-to-arg.
Cell make_from(const Cell& spec);
// The typeset of a function argument's type block: words are replaced by
// their values; datatypes and typesets add; a value that is itself a word!
// adds object!; nested blocks are skipped; anything else raises
// invalid-type-spec.
Cell from_spec(const Cell& spec);

// The set operations of combine_bits (set_bits.h), op a math operator code
// or a string::SetOp. The second must be a typeset! or a datatype! (a
// one-bit set), else invalid-arg.
Cell set_op(const Cell& a, const Cell& b, int op);
// All 96 bits inverted.
Cell complement(const Cell& ts);

// A block of the type-name words of the set bits, in type-id order.
may_gc Cell to_block(const Cell& ts);

}  // namespace vel::typeset
