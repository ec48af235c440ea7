// VELBIN: the binary image of Vel values (boot data and the velbin codec).
//
// An image is a header ("VELBIN", version, flags), an optional symbol table
// and a payload of records, one per value, a container's record followed by
// its elements' records (a depth-first walk). Two record forms exist: the
// compact form (varints, zigzag integers, one tag byte per record) and the
// fixed form (32-bit little-endian words). Series met a second time are
// written as reference paths to their first occurrence, so sharing and
// cycles survive a round trip.
//
// The decoder takes untrusted bytes: every read is checked against the end
// of the input in 64-bit arithmetic, nesting is bounded, and every fault is
// a Vel error, never a read outside the input:
//   script/invalid-data       no magic, too short, bad packed payload
//   script/rb-invalid-record  a structural fault; arg1 is the 1-based byte
//                             offset (from the image start) being read
//   access/no-codec           routine!, triple!, handle!, port!, event!
//   internal/not-done         a record of a datatype (or a binding) this
//                             build cannot make yet; arg1 names the type
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "cell.h"
#include "memory.h"

namespace vel::velbin {

constexpr uint8_t FLAG_COMPACT = 1;
constexpr uint8_t FLAG_PACKED = 2;   // payload packed with the runtime's LZ format
constexpr uint8_t FLAG_SYMBOLS = 4;
constexpr uint8_t VERSION = 2;

// Containers nested deeper than this are refused (decoder: rb-invalid-record;
// encoder: internal/stack-overflow).
constexpr uint32_t MAX_DEPTH = 4000;
// Longest reference path.
constexpr uint32_t MAX_PATH = 65536;

// The image of one value and everything reachable from it (record count 1).
// Compact is the codec's encode-cp, fixed its encode. Values that cannot be
// written raise access/no-codec (or internal/not-done, see above); nothing is
// left behind, so the next call starts clean.
std::vector<uint8_t> encode(const Cell& value, bool compact);

// Appends the decoded top-level values to the block `target` (which roots
// them; reference paths start from it). Values appended before an error stay.
// `input` is what invalid-data names (none when null).
//
// In boot mode set records are read (compact: the 0xC4 prefix; fixed: a
// word header with bit 25), each setting its word to the value record that
// follows and leaving neither in the block; a word record that is not
// global names its context by a root cell, counted from the target's length
// when the decode began, and its index (-1: by symbol). Codec mode refuses
// set records.
may_gc void decode_into(std::span<const uint8_t> image, NodeId target, const Cell* input = nullptr,
                        bool boot = false);

// A new block! holding the decoded top-level values.
may_gc Cell decode(std::span<const uint8_t> image, const Cell* input = nullptr);

}  // namespace vel::velbin
