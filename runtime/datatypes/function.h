// Callable values: native!, action!, op!, function!, routine!.
//
//   native! / action!   w1 native or action number, w2 spec block node,
//                       w3 "more" block node: cell 0 the spec context's
//                       context! cell, cell 1 the argument cache
//   op!                 a copy of the cell it was made from, header
//                       23 + (source type << 16); for a function! or
//                       routine! source, more cell 3 holds the source
//   function!           w1 context node, w2 spec block node, w3 more block:
//                       cell 0 body block (or none), cell 1 argument cache,
//                       cell 2 code (unset!: interpreted), cell 3 the op!
//                       source, cell 4 the enclosing object's context
//                       (integer!) or unset!; header bit 9 no-trace,
//                       bit 10 trace
//   routine!            as function!, header bit 15 cell-passing, bits
//                       25-29 arity; more cell 2 the registry id of the C++
//                       routine, cell 4 the return type id
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel::func {

constexpr uint32_t FN_NO_TRACE = 0x200;
constexpr uint32_t FN_TRACE = 0x400;
constexpr uint32_t ROUTINE_CELLS = 0x8000;

enum MoreCell : uint32_t { MORE_BODY = 0, MORE_CACHE = 1, MORE_CODE = 2, MORE_OP_SOURCE = 3, MORE_CONTEXT = 4 };

inline bool is_callable(TypeId t) {
  return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}
inline bool is_any_function(TypeId t) { return is_callable(t) || t == TYPE_OP; }

// The type an op! wraps.
inline TypeId op_source_type(const Cell& op) { return TypeId((op.header >> 16) & 0xFF); }

inline NodeId spec_node(const Cell& f) { return f.w2; }
inline NodeId more_node(const Cell& f) { return f.w3; }
inline Cell* more_cell(const Cell& f, uint32_t n) { return node_buffer(f.w3)->cells() + n; }
inline NodeId context_of(const Cell& f) { return f.w1; }

// Argument cache entries (cells of the cache block).
constexpr uint32_t ARG_MODE_SHIFT = 20;
constexpr uint32_t ARG_MODE_MASK = 3u << ARG_MODE_SHIFT;
enum ArgMode : uint32_t { ARG_NORMAL = 0, ARG_GET = 1, ARG_LIT = 2, ARG_RETURN = 3 };
inline ArgMode arg_mode(const Cell& entry) { return ArgMode((entry.header & ARG_MODE_MASK) >> ARG_MODE_SHIFT); }

// Does a typeset cell admit a type? Bit t of the 96 bits, MSB first per byte.
inline bool typeset_has(const Cell& ts, uint32_t t) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&ts.w1);
  return t < 96 && (bytes[t >> 3] & (0x80u >> (t & 7)));
}

}  // namespace vel::func
