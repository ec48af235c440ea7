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
//
// The spec context of a native! or action! is made from its spec block, so
// its words are the spec's arguments and refinements; `in`
// and refinement lookups can find them. Function contexts are stack
// contexts: their values are the running call's frame cells.
#pragma once
#include <cstdint>
#include <string_view>

#include "families.h"
#include "cell.h"
#include "memory.h"
#include "stack.h"

namespace vel::func {

constexpr uint32_t FN_NO_TRACE = 0x200;
constexpr uint32_t FN_TRACE = 0x400;
constexpr uint32_t ROUTINE_CELLS = 0x8000;
constexpr uint32_t ROUTINE_ANY_ARGS = 0x4000;  // no argument has a type to check

enum MoreCell : uint32_t { MORE_BODY = 0, MORE_CACHE = 1, MORE_CODE = 2, MORE_OP_SOURCE = 3, MORE_CONTEXT = 4 };

// The type an op! wraps.
inline TypeId op_source_type(const Cell& op) { return cell_op_source_type(op); }

inline NodeId spec_node(const Cell& f) { return f.w2; }
inline Cell* more_cell(const Cell& f, uint32_t n) { return node_buffer(f.w3)->cells() + n; }
inline NodeId context_of(const Cell& f) { return f.w1; }
// FRAME_LIBRARY for a function whose body is the library's own code, else
// 0: a call the runtime makes of it on the user's behalf (a change handler,
// a callback) is none the user made, and error reports leave it out.
inline uint32_t library_frame_bit(const Cell& f) {
  if (!f.is(TYPE_FUNCTION)) return 0;
  const Cell& body = *more_cell(f, MORE_BODY);
  return body.is(TYPE_BLOCK) && (node_buffer(body.node())->flags & BUF_LIBRARY) ? FRAME_LIBRARY : 0;
}

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

constexpr uint32_t ROUTINE_ARITY_SHIFT = 25;
constexpr uint32_t ROUTINE_MAX_ARITY = 31;
inline uint32_t routine_arity(const Cell& r) { return (r.header >> ROUTINE_ARITY_SHIFT) & ROUTINE_MAX_ARITY; }

// --- function! ----------------------------------------------------------------

// Validates a function spec from its index and answers its attribute flags
// (FN_TRACE, FN_NO_TRACE). A malformed spec raises script/bad-func-def with
// the whole spec; a repeated name script/dup-vars with the later entry; a
// bad type block entry script/invalid-type-spec (a type word without a
// value script/no-value).
may_gc uint32_t check_spec(const Cell& spec);

// Pushes a new function! on the argument stack and answers its context.
// Indexes past a tail count as the tail; a spec not at its head is copied
// from its index. The body (a block, or none for no body) is copied deeply.
// ctx 0 makes a stack context from the spec and binds the body copy to it;
// a given context is used as it is. code 0 leaves more cell 2 unset;
// enclosing null leaves more cell 4 unset. flags: FN_TRACE / FN_NO_TRACE.
may_gc NodeId function_push(const Cell& spec, const Cell& body, NodeId ctx, int32_t code, const Cell* enclosing,
                            uint32_t flags);

// The locals collection of the `function` native. spec is a block the
// caller owns (it is edited): an /extern list is cut off it, and the
// set-words of the body and the words of foreach, remove-each and repeat
// that the spec does not name are appended after /local (added when
// missing). Answers the block of collected words.
may_gc Cell collect_locals(const Cell& spec, const Cell& body);

// The cells to push for /local from position start of the spec: 1 for
// /local and 1 per word! after it; without /local 0, or -1 when required.
int32_t count_locals(NodeId spec, uint32_t start, bool required);

// Pushes the locals' cells: false for /local, then n - 1 none.
void init_locals(int32_t n);

// --- natives, actions and ops ------------------------------------------------------

// Whether a spec describes exactly two arguments, the shape an op! needs.
bool op_spec_ok(const Cell& spec);

// The word bound to a function value's context (its spec context for
// natives, actions and ops over them), found case-insensitively; a
// refinement! comes back as a word!. none when the context lacks it.
may_gc Cell bind_in_function(const Cell& fn, const Cell& word);

// The context node of a function!, routine! or an op! over one; 0 for the
// others.
NodeId function_context(const Cell& fn);

// --- routine! ----------------------------------------------------------------------

// A routine's C++ entry, on the frame convention of natives: base[0] is the
// first argument and the result cell.
using RoutineFn = Status (*)(Cell* base);

// The routine registry: C++ functions by name. Registering a name again
// replaces its entry and keeps its id. Ids start at 1.
uint32_t routine_register(std::string_view name, RoutineFn fn);
uint32_t routine_find(std::string_view name);  // 0 when absent

// Pushes a new routine! for registry id `id` and answers its context.
// return_type: -1 none (the routine writes its result), TYPE_LOGIC,
// TYPE_INTEGER or TYPE_FLOAT. cells: the routine takes its cells as they
// are (no type-block checks, no result conversion).
may_gc NodeId routine_push(const Cell& spec, const Cell& body, uint32_t id, int32_t return_type, bool cells);

// Calls a routine whose argument cells are the current frame's (base).
may_gc Status call_routine(const Cell& routine, Cell* base);

// While the boot code defines the library this is a block: each function
// made then gets no-trace and its body is appended here, for the library's
// seal to rebind. Outside that time it is not a block and nothing is kept.
extern Cell g_library_bodies;

}  // namespace vel::func
