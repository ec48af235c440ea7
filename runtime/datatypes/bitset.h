// bitset!: a set of non-negative integers (most often character codes) as
// an array of bits.
//
//   header  type 30
//   w2      node of a byte series (unit 1); w1 and w3 are 0
//
// Bit n lives in byte n >> 3 from the head, under the mask 0x80 >> (n & 7):
// the most significant bit of byte 0 is bit 0. The complement flag
// (BUF_BITSET_NOT) lives in the byte series' flags, so every cell of one
// bitset agrees on it. Stored bits are the members whatever the flag; every
// bit at or past the stored bytes reads as the flag, so a complemented set
// is infinite.
//
// The parse engine tests characters against a bitset in its inner loops:
// test_bit is one bounds compare, one load and a mask.
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel {

constexpr uint32_t BUF_BITSET_NOT = 1u << 19;

namespace bitset {

inline Buffer* buffer(const Cell& bs) { return node_buffer(bs.node()); }
inline bool complemented(const Buffer* b) { return b->flags & BUF_BITSET_NOT; }
inline bool complemented(const Cell& bs) { return complemented(buffer(bs)); }
// Address of the first byte of the bit array (valid until the next
// allocation).
inline uint8_t* rs_head(const Cell& bs) { return buffer(bs)->head_ptr(); }
// Stored bits: the stored bytes times 8.
inline uint64_t length(const Cell& bs) { return uint64_t(buffer(bs)->used()) * 8; }

// A bit array read once for many tests: no allocation may happen while it
// is in use.
struct Bits {
  const uint8_t* bytes;
  uint32_t count;  // stored bytes
  bool beyond;     // what bits past the array read as

  explicit Bits(const Cell& bs) {
    const Buffer* b = buffer(bs);
    bytes = b->data() + b->head;
    count = b->used();
    beyond = complemented(b);
  }
  bool has(uint32_t n) const {
    uint32_t i = n >> 3;
    return i < count ? (bytes[i] & (0x80u >> (n & 7))) != 0 : beyond;
  }
};

inline bool test_bit(const Cell& bs, uint32_t n) { return Bits(bs).has(n); }

// make bitset! and to bitset! of a spec (to refuses a number).
may_gc Cell make(const Cell& spec, bool to);
// A new bitset over a copy of the bytes, flag included, not owned.
may_gc Cell copy(const Cell& bs);
// The copy with every stored byte inverted and the flag toggled.
may_gc Cell complement(const Cell& bs);

// Whether every member of the spec value is in the set (pick and find).
bool test(const Cell& bs, const Cell& spec);
// Adds or removes the members of a spec value, growing the array as
// needed. bs is rooted by the caller.
may_gc void set(Cell* bs, const Cell& spec);
may_gc void clear(Cell* bs, const Cell& spec);

// The set operations of combine_bits (set_bits.h), op a math operator code
// or a string::SetOp; unique answers the first unchanged. The second must
// be a bitset (else script/invalid-type). The result is as long as the longer
// operand (and~ drops the tail when it can only hold zeros), and it holds
// exactly the members of the operation: the shorter operand's missing
// bytes read as its flag, and the result's flag is the operation applied
// to the two flags.
may_gc Cell do_bitwise(const Cell& a, const Cell& b, int op);

}  // namespace bitset
}  // namespace vel
