// Shared by the VELBIN encoder and decoder: byte primitives and type classes.
#pragma once
#include <cstdint>
#include <vector>

#include "families.h"
#include "cell.h"

namespace vel::velbin {

inline constexpr uint8_t MAGIC[6] = {'V', 'E', 'L', 'B', 'I', 'N'};

// Fixed-form header bits.
constexpr uint32_t FIXED_NEW_LINE = 1u << 31;
constexpr uint32_t FIXED_REF_BIT = 1u << 19;       // contents replaced by a reference record
constexpr uint32_t FIXED_WORD_GLOBAL = 1u << 25;   // codec words: bound to the global context
constexpr uint32_t FIXED_REFERENCE = 255;
constexpr uint32_t FIXED_BITSET_NOT = 1u << 23;    // bitset!: complemented
constexpr uint32_t FIXED_MONEY_NEGATIVE = 1u << 22;  // money!: the sign
constexpr uint32_t FIXED_EVENT = 1u << 24;         // object!: the event record follows          // header of a reference record

inline void put_varint(std::vector<uint8_t>& out, uint32_t v) {
  while (v >= 0x80) {
    out.push_back(uint8_t(v | 0x80));
    v >>= 7;
  }
  out.push_back(uint8_t(v));
}
inline uint32_t zigzag_encode(int32_t n) { return (uint32_t(n) << 1) ^ uint32_t(n >> 31); }
inline int32_t zigzag_decode(uint32_t v) { return int32_t((v >> 1) ^ (0u - (v & 1))); }
inline void put_le32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; i++) out.push_back(uint8_t(v >> (8 * i)));
}

// Types no image can hold.
inline bool is_no_codec(uint32_t t) {
  return t == TYPE_ROUTINE || t == TYPE_TRIPLE || t == TYPE_HANDLE || t == TYPE_PORT || t == TYPE_EVENT;
}

bool integral_form(TypeId t, double d, int32_t* n);
void typeset_bytes(const Cell& c, uint8_t out[12]);

}  // namespace vel::velbin
