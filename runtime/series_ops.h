// Small series and cell operations that every datatype uses (unrelated to
// datatypes/series.cpp, the series! datatype).
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel {

// Appends one unset! cell at the tail of a cell series, doubling the buffer
// when it is full. The pointer is valid until the next allocation.
may_gc Cell* alloc_tail(NodeId block);

// Makes room for n more bytes at the tail (growing to 2n bytes when the
// capacity is below n, else to twice the capacity) and moves the tail past
// them. Answers the offset of the old tail.
may_gc uint32_t reserve_tail(NodeId series, uint32_t n);

// A new series of count elements of the same unit, copied from element
// start on. Flags are copied except ownership.
may_gc NodeId copy_part(NodeId series, uint32_t start, uint32_t count);

// Copies the element at start count - 1 times after it by doubling copies.
// Answers one past the last element written.
uint8_t* repeat_in_place(uint8_t* start, uint32_t elem_size, uint32_t count);

// Appends 4 x n spaces to a string (mold indentation); answers width - 4n.
may_gc int32_t indent(NodeId string, int32_t n, int32_t width);

// Appends ASCII text to a string of any unit.
may_gc void append_ascii(NodeId string, const char* text, uint32_t len);

// The integer value of a cell for a 32-bit argument: a float! is truncated
// towards zero and must lie within the 32-bit range (else script
// out-of-range); any other value answers data word 2.
int32_t check_float_to_int(const Cell& v);

}  // namespace vel
