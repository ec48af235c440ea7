// vector!: a packed numeric array. Every element has one type, char!,
// integer!, float! or percent!, at a fixed width of 8, 16, 32 or 64 bits.
//
// Cell: data word 1 the index (in elements), word 2 the series node, word 3
// the element type id. The buffer's unit is the element size in bytes.
// 8- and 16-bit integer and char elements read unsigned, 32-bit ones
// signed; 32-bit float elements are single precision. A percent! element
// holds the fraction.
#pragma once
#include <cstdint>

#include "cell.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "memory.h"

namespace vel {

inline TypeId vector_elem_type(const Cell& v) { return TypeId(v.w3); }
inline bool vector_float_elems(TypeId t) { return t == TYPE_FLOAT || t == TYPE_PERCENT; }

// Sets c to an empty vector (index 0) with room for capacity elements.
// A capacity whose bytes exceed a buffer raises internal/no-memory.
may_gc Cell* vector_make_at(Cell* c, uint32_t capacity, TypeId elem_type, uint32_t elem_size);

// Elements from the position to the tail.
int32_t vector_rs_length(const Cell& v);
// Cuts the buffer at the value's position.
void vector_rs_clear(const Cell& v);
// Appends a 32-bit value at the tail as 4 bytes (the GUI's drawing data).
may_gc void vector_rs_append_int(const Cell& v, int32_t value);

// The element at p (elem_size bytes) as a value of the element type.
Cell vector_get_value(const uint8_t* p, uint32_t elem_size, TypeId elem_type);
// Stores a char!, integer!, float! or percent! value at p by the element
// rule (low bits of integers, single precision below 64 bits); any other
// type raises script/invalid-type.
void vector_set_value(uint8_t* p, const Cell& value, uint32_t elem_size);

// A block of one cell per element from the position, of the element type.
may_gc Cell vector_to_block(const Cell& v);

// Element-wise math with a scalar, in place. value1 of the frame is the
// vector and value2 the scalar; with scalar_left the scalar was the left
// operand (10 - v computes 10 - element). The vector is the result.
Status vector_do_math_op(Cell* base, MathOp op, bool scalar_left);

}  // namespace vel
