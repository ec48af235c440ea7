// The interpreter's inner pieces, shared by the block walker
// (interpreter.cpp) and the compiled forms of blocks (compiled.cpp).
#pragma once
#include <cstdint>

#include "cell.h"
#include "datatypes/context.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/word.h"
#include "evaluator/arith.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/trace.h"

// A trace event site: with no trace running it costs one test of the flag.
#define VEL_TRACE(...)                                                   \
  do {                                                                   \
    if (trace::g_trace.on) [[unlikely]] VEL_TRY(trace::emit(__VA_ARGS__)); \
  } while (0)

namespace vel::interp::detail {

inline uint32_t block_length(NodeId n) { return node_buffer(n)->used() >> 4; }

// The name of a call for frames: the symbol and context of a word, or <anon>.
struct FrameName {
  uint32_t symbol;
  NodeId ctx;
};
FrameName frame_name(const Cell& name);

// The innermost running function body: its context and the call's cells.
// Words of that context read those cells without going through the
// context. NO_BODY when no body runs.
constexpr NodeId NO_BODY = 0xFFFFFFFF;
extern NodeId g_body_ctx;
extern Cell* g_body_base;

// Sets the innermost body for a function call and puts the previous one
// back when the call ends, also when an error unwinds it.
struct BodyScope {
  NodeId ctx;
  Cell* base;
  BodyScope(NodeId c, Cell* b) : ctx(g_body_ctx), base(g_body_base) {
    g_body_ctx = c;
    g_body_base = b;
  }
  ~BodyScope() {
    g_body_ctx = ctx;
    g_body_base = base;
  }
  BodyScope(const BodyScope&) = delete;
  BodyScope& operator=(const BodyScope&) = delete;
};

// The value cell of a bound, resolved word, or null when the general
// lookup must decide (unresolved words, self, a context without values).
inline Cell* word_slot(const Cell& w) {
  NodeId ctx = w.w1;
  int32_t index = w.i3();
  if (!ctx || index < 0) return nullptr;
  const Cell& cc = node_buffer(ctx)->cells()[0];
  if (cc.header & context::STACK_VALUES) {
    if (cc.w2 == context::NO_STACK_VALUES) return nullptr;
    Cell* p = g_stack.begin + cc.w2 + uint32_t(index);
    return p < g_stack.top ? p : nullptr;
  }
  if (!cc.w2) return nullptr;
  Buffer* b = node_buffer(cc.w2);
  return uint32_t(index) < (b->used() >> 4) ? b->cells() + index : nullptr;
}

// A store into an object's context that nothing watches (no on-change*,
// no owned series) is all that set would do there, with the field's change
// flag: sets the flag and answers true; false when the general way must
// store.
inline bool quiet_object_store(NodeId ctx, uint32_t index) {
  if (!object::silent_store(ctx)) return false;
  context::mark_changed(ctx, index);
  return true;
}

// A word's value as the evaluator reads it, without the unset check.
inline Cell word_value(const Cell& w) {
  if (Cell* p = word_slot(w)) [[likely]]
    return *p;
  return word::get_any(w);
}

// The cell at code.pos, or null at the end (the block may have shrunk while
// it ran). Valid until the next allocation.
inline const Cell* code_cell(const Code& code) {
  if (code.pos >= code.end) return nullptr;
  Buffer* b = node_buffer(code.node);
  return code.pos < (b->used() >> 4) ? b->cells() + code.pos : nullptr;
}

// Integer, float and char arithmetic and comparisons on the spot: the
// operator kernel, for an op! over src (its source type).
inline bool infix_fast(const Cell& op, TypeId src, const Cell& l, const Cell& r, Cell* out) {
  return cell_op(fast_op_of(src, op.w1), l, r, out);
}

// A right operand that needs no evaluation: a number or a char, or a word
// whose value is one. Answers false for anything else.
inline bool kernel_type(TypeId t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_CHAR; }
inline bool plain_operand(const Cell* c, Cell* out) {
  TypeId t = c->type();
  if (kernel_type(t)) {
    *out = *c;
    return true;
  }
  if (t != TYPE_WORD) return false;
  const Cell* v = word_slot(*c);
  if (!v || !kernel_type(v->type())) return false;
  *out = *v;
  return true;
}

// The call shape kept in the argument cache cell's spare word: calls whose
// leading entries are plain arguments skip the general argument loop.
constexpr uint32_t SHAPE_SIMPLE = 1u << 31;
constexpr uint32_t SHAPE_REFINEMENTS = 1u << 30;
inline uint32_t shape_arity(uint32_t shape) { return shape & 0xFF; }
inline uint32_t shape_locals(uint32_t shape) { return (shape >> 8) & 0x7FFF; }

// One expression from the cell c at code.pos (not at the end), its value
// pushed; the walker's entry.
may_gc Status eval_push_at(Code& code, const Cell* c, bool no_infix, bool passive);
// Operators after a value at `left`: no precedence, left to right.
may_gc Status eval_infix(Code& code, Cell* left);
// Applies an operator over a native or action to the operands at left and
// left + 1; the result replaces the left operand.
may_gc Status infix_apply(const Cell& op, TypeId src, const Cell& name, Cell* left);
// The same call once the operator kernel has declined the operands.
may_gc Status infix_call(const Cell& op, TypeId src, const Cell& name, Cell* left);
// A function! body run on the frame's cells at base.
may_gc Status eval_function_body(const Cell& fn, Cell* base);
// The walker's run of a block's expressions from head to len (head < len),
// with result the block's cell on the stack, which takes the value.
may_gc Status walk_block(const Cell& block, Cell* result, uint32_t head, uint32_t len);
// Runs a callable on the frame's cells at base (the result lands there).
may_gc Status call_body(const Cell& fn, Cell* base);
// The argument cache of a callable, built on first use; its w3 is the
// call shape.
Cell args_cache(const Cell& fn);
// The error argument naming a call, and the word of argument entry i.
Cell call_name(const Cell& name);
Cell arg_word(const Cell& fn, uint32_t entry);
// script/expect-arg for argument entry i refusing value, as a status.
[[nodiscard]] Status expect_arg(const Cell& fn, const Cell& name, const Cell& value, uint32_t entry);
// The cache entry of the refinement with the symbol (its frame cell
// through slot), or -1.
int32_t find_refinement(NodeId cache, uint32_t symbol, int32_t* slot);
// false for every refinement after the leading arguments, none for theirs.
void push_unused_refinements(NodeId cache, uint32_t from);
// The store of a set-word: w is the word (any word type).
may_gc void assign_word(Cell w, const Cell& value);

// An expression's value: pushed, or the frame's result.
inline void place(const Cell& v, bool push_mode) {
  if (push_mode) push(v);
  else set_result(v);
}

// Path refinements of a call: the path and the index of the first element
// after the one that named the callable.
struct PathRefs {
  const Cell* path;
  uint32_t first;
};
// A call with arguments from the code, and refinements from a path when
// refs is given.
may_gc Status eval_call_refs(const Cell& fn, const Cell& name, Code* code, bool push_mode, bool infix,
                             const PathRefs* refs);

}  // namespace vel::interp::detail
