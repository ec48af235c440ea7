// Compiled forms of blocks: the types the compiler, the frameless runs and
// their programs, and the runner share, and the helpers all of them use on
// their hot paths (a word's value cell, operator chains on numbers, a quick
// value), kept inline here so that no check becomes a call.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <vector>

#include "cell.h"
#include "evaluator/arith.h"
#include "evaluator/compiled.h"
#include "evaluator/interp_detail.h"
#include "evaluator/trace.h"
#include "memory.h"

namespace vel::interp {

// Buffer::spare of a block: 0 when never evaluated, SPARE_SEEN after its
// first evaluation, SPARE_NEVER when it stays with the walker, else the id
// of its form.
constexpr uint32_t SPARE_SEEN = 0x80000000;
constexpr uint32_t SPARE_NEVER = 0xFFFFFFFF;

constexpr uint32_t NO_END = UINT32_MAX;
constexpr uint8_t NO_UNUSED = 0xFF;

enum Kind : uint8_t {
  K_CONST,      // a value that yields itself
  K_WORD,       // a word whose value is no function
  K_GET_WORD,   // a get-word
  K_PAREN,      // a paren, run as a block
  K_CALL,       // a word naming a function, and its argument expressions
  K_PATH_CALL,  // a path naming a function and refinements
  K_SET_WORD,   // a set-word and the expression it takes
  K_SET_PATH,   // a set-path and the expression it takes
  K_PATH_GET,   // word/word through an object's field
  K_WALK,       // a term left to the walker
  K_EXPR,       // a term and the operators after it
  K_OP,         // one operator and its right operand
};

// Natives and actions the runner computes itself, given their common
// arguments (see direct_call).
enum Direct : uint8_t {
  D_NONE,
  D_TAIL_Q,  // tail? of an any-block value
  D_PICK,    // pick from an any-block value by an integer
  D_MAKE,    // make block! with an integer room
  D_FIND,    // find of a char in a bitset
};

enum : uint16_t {
  F_INFIX = 1,        // K_WALK: the walker applies the operators after the term
  F_TAIL_CHECK = 2,   // K_EXPR, K_SET_WORD: a word follows, which may have become an operator
  F_FUNCTION = 4,     // calls: the callee is a function!
  F_REFINEMENTS = 8,  // calls: the callee has refinements after its arguments
  F_BRANCH = 16,      // K_CALL: either, if or unless with literal blocks, run in place
  F_STORE = 32,       // K_SET_WORD: the context takes values in place (no object)
  F_ARITH = 64,       // K_EXPR: operators between constants and words only
  F_CONTINUE = 128,   // K_CALL: the continue native
  F_STORE_OBJECT = 256,  // K_SET_WORD: an object's context, in place while nothing watches it
  F_PARENS = 512,     // K_EXPR with F_ARITH: some operands are parens
  F_METHOD = 1024,    // K_PATH_CALL: object/field names the callee, refinements after it
  F_CONDS = 2048,     // K_CALL: any or all with a literal block, run in place
  F_LOOP = 4096,      // K_CALL: a loop native, its literal blocks run in place
  F_CHOICE = 8192,    // K_CALL: switch or case with a literal block, the blocks in it run in place
  F_QUIET = 16384,    // a shape that may run without effects or frames (see pure_cond)
  F_PURE = 32768,     // a shape that may run without frames, one store at most (see pure_expr)
};

struct Node {
  Kind kind;
  bool stepped;       // the call loop runs it (see mark_stepped)
  bool local_pair;    // K_EXPR: a stack context's word, one operator and an integer (see arith_here)
  uint8_t direct;     // K_CALL: a native the runner computes itself (see Direct)
  // Calls with F_REFINEMENTS: the cells pushed for the refinements a call
  // does not use, bit i set for a refinement's false and clear for an
  // argument's none (NO_UNUSED: more than fit, found in the cache).
  uint8_t unused;
  bool append;        // calls: append with its frame laid out as the library has it (see append_here)
  bool branch_here;   // F_BRANCH calls: literal blocks, a condition of operators on plain operands (see branch_quick)
  uint32_t unused_logic;
  uint16_t flags;
  uint16_t count;     // children
  uint32_t kids;      // the first child's entry in Form::kids
  uint32_t start;     // the block position of the node's first cell
  uint32_t end;       // the position after its last cell, NO_END when unknown
  uint32_t arity;     // calls: the leading arguments; K_OP: its FastOp
  uint32_t locals;    // calls: the local cells
  uint32_t typesets;  // calls: the first argument typeset in Form::typesets
  NodeId cache;       // calls: the callee's argument cache
  NodeId values;      // words of a context with values in a series: that series
  NodeId tail_values; // K_SET_WORD with F_TAIL_CHECK: the values of the word after it
  uint32_t known;     // calls: bit i, argument i's fast way gives a value its typeset takes
  uint32_t refs;      // K_PATH_CALL: its first refinement in Form::refs; K_PAREN,
                      //   F_BRANCH, F_CONDS and F_LOOP calls: its (first) block in
                      //   Form::subs, plus 1 (0: none); case: its block
  uint32_t nrefs;     //   and how many the path names; either: its second block;
                      //   while: its condition block
  uint32_t path;      // K_PATH_CALL: the path's elements in Form::path_cells;
                      //   F_CHOICE: its blocks' subs in Form::choices
  uint32_t path_len;  //   and their number
  const Node* const* kid;  // the children, linked once the form is complete
  Cell cell;          // the node's cell: a constant, a word, a path
  Cell expect;        // calls: the callee; K_OP: the op!
  // word/word paths through objects: the field found last time, by context,
  // and its word's symbol (a context id can come back as another object's).
  mutable NodeId field_ctx;
  mutable int32_t field_index;
  mutable uint32_t field_sym;
  uint32_t quick;     // its straight-line program in Form::quick, plus 1 (0: none)
  // The value cell of the node's word (of a path's head) in a context
  // with values in a series, found while g_buffer_moves was slot_moves
  // (see kept_slot).
  mutable uint64_t slot_moves;
  mutable const Cell* slot;
  // K_PATH_CALL with F_METHOD: the value cell of the field in the context
  // method_ctx, found while g_buffer_moves was field_moves.
  mutable uint64_t field_moves;
  mutable const Cell* field_slot;
  mutable NodeId method_ctx;
  // Calls the call loop enters: the callee's body and its compiled form,
  // found while g_forms_released was callee_released (see kept_callee).
  mutable uint64_t callee_released;
  mutable Form* callee_form;
  mutable Cell callee_body;
};

// A refinement named by a path call: its logic cell in the frame and the
// cache entry of the refinement (its arguments are the entries after it).
struct PathRef {
  uint32_t slot;
  uint32_t entry;
  uint32_t nargs;
};

// A literal block inside the code (a paren, a branch of either), compiled
// with the form and run in place while its cells are those compiled.
struct Sub {
  Cell cell;        // the block as the code holds it
  uint32_t head;    // its index
  uint32_t len;     // its tail when compiled
  uint32_t cells;   // its cells from head, in Form::sub_cells
  uint32_t top;     // its expressions by position from head, in Form::sub_top
  int32_t single;   // its one expression, or -1
  uint32_t stamp;   // the block's modification stamp when compiled
  // The library's own code (BUF_LIBRARY), as the block was when compiled:
  // the flag is set on a block with a bump of its stamp (see
  // mark_library_code) and never cleared, so it holds while the stamp does.
  bool library = false;
  // A loop body's pass program in Form::passes, plus 1 (0: not made yet,
  // NO_PASS: none), made when a loop first runs it.
  mutable uint32_t pass = 0;
};

struct QOp;
struct PassPrograms;

// One of a form's arrays: laid out once, when the form is complete, in the
// form's own block.
template <class T>
struct Packed {
  T* p = nullptr;
  uint32_t n = 0;
  T& operator[](size_t i) const { return p[i]; }
  T* data() const { return p; }
  size_t size() const { return n; }
  bool empty() const { return n == 0; }
};

// A form is one allocation: this header, then its arrays. The compiler
// builds them in a reused Draft, so compiling a small block costs one
// allocation and freeing it one free.
struct Form {
  NodeId node;
  uint32_t id = 0;
  uint32_t head = 0;  // the index the block is evaluated from
  uint32_t len = 0;   // the block's tail index when compiled
  bool running = false;  // on the list of running forms (set by the sweep)
  uint32_t misses = 0;
  uint32_t generation = 0;
  bool stale = false;
  uint32_t stamp = 0;          // the block's modification stamp when compiled
  bool library = false;        // the library's own code (as Sub::library)
  size_t bytes = 0;            // of the whole block
  Packed<Cell> snapshot;       // the cells from head to len (kept only to verify stamps)
  Packed<Node> nodes;
  Packed<uint32_t> kids;
  Packed<const Node*> links;   // kids as pointers, for the runner
  Packed<int32_t> expr_at;     // per position from head: its top-level expression
  int32_t single = -1;         // the one expression of a block that holds one
  Packed<Cell> typesets;
  Packed<PathRef> refs;
  Packed<Cell> path_cells;
  Packed<Cell> held;  // the callees the nodes check against
  Packed<Sub> subs;
  Packed<Cell> sub_cells;
  Packed<int32_t> sub_top;
  Packed<uint32_t> choices;  // the subs of the blocks inside switch's and case's blocks
  // The straight-line programs of the frameless shapes (see QOp), in a
  // block of their own made after the nodes are linked.
  QOp* quick = nullptr;
  uint32_t quick_len = 0;
  // The programs are made on the form's second run: a block compiled and
  // then dropped (one made fresh and run twice) never pays for them.
  bool quick_made = false;
  // A function body the call loop runs (see run_stepped), found with the
  // programs.
  bool stepped_body = false;
  // The pass programs of the loop bodies among the form's block and its
  // literal blocks (see run_passes), and the whole block's (see Sub::pass).
  PassPrograms* passes = nullptr;
  uint32_t pass = 0;
  // The most cells and frames the block's own code may take above its
  // result cell, the walker's way or the runner's (see stack_room): with
  // less room left the walker runs the block, so that a deep recursion
  // runs out of stack where the walker alone would.
  uint32_t room_cells = 0;
  uint32_t room_frames = 0;
};

// The steps of a straight-line program (see compiled_programs.cpp).
enum QCode : uint8_t {
  Q_END,        // the value is the result
  Q_CALLEE,     // a: call node; its word still holds the callee
  Q_CONST,      // a: K_CONST node; the value is its cell
  Q_WORD,       // a: K_WORD node; the value is its word's, a plain one
  Q_TAIL,       // a: node with F_TAIL_CHECK; the word after it is no operator
  Q_NCONST,     // a: K_CONST node of a number; pushed
  Q_NWORD,      // a: K_WORD node; its value, a number, pushed
  Q_OPCONST,    // a: K_OP node, b: K_CONST operand; top op= operand
  Q_OPWORD,     // a: K_OP node, b: K_WORD operand
  Q_OPPOP,      // a: K_OP node; the top popped is the operand of the one below
  Q_NVALUE,     // the top popped is the value
  Q_NRELOAD,    // the top is a number again as a cell of it would load
  Q_UNCHANGED,  // sub: a block compiled in place holds its cells
  Q_TYPESET,    // a: call node; its first argument's typeset takes the value
  Q_EITHER,     // a: call node; a false value goes to target
  Q_IFNOT,      // fop 1: if, 0: unless: the block is not run, go to target
  Q_JUMP,       // to target
  Q_NONE,       // the value is none
  Q_SEVERAL,    // sub: the chosen block of several expressions goes back to the caller
  Q_SHORT,      // fop 1: any, 0: all; a value that decides goes to target
  Q_CONDS_END,  // fop 1: the value is none
  Q_STORE,      // a: K_SET_WORD node; the value stored
  Q_BASE,       // first: the values series most words read (ia), target cells at least
  Q_NWOPK,      // a: K_OP node with a K_CONST operand, b: K_WORD node; b's number op the constant pushed
  Q_WOPK,       // the same for a chain of that one step: its value is the value
  Q_DIRECT,     // a: call node of tail?, pick or find (see direct_read); its value is the value
  // The steps of a loop body's pass program (see run_passes) only:
  Q_PASS,       // target: the first step of a pass; the pass ends with the value
  Q_CONTINUE,   // the same with the value unset
  Q_BREAK,      // the loop ends, its value unset
  Q_REST,       // the general way takes the pass up at the expression this step begins
  Q_ENTER,      // fop: a nesting level; the value is the condition of the call whose block runs next
  Q_TEST,       // while: the condition's value decides whether the body runs
  // a: K_OP node, b: K_WORD node, ia: another K_OP node's index; all [b a b ia]
  // of a char or integer compared with two constants of its type: the
  // value, then to target; other values go on with all's own steps.
  Q_RANGE,
};

// Where the general way takes a pass up when a step of a pass program
// fails: the first step of each expression and its block position; for an
// expression of a block run inside a call of the pass (a chosen branch of
// several expressions), the call, its block, the mark of the expression
// that holds the call, and how deep the block is.
struct PassMark {
  uint32_t step;
  uint32_t pos;
  uint32_t parent;
  uint32_t depth;
  const Node* call;
  const Sub* sub;
  bool in_cond = false;  // a statement of while's condition block
};

struct QOp {
  QCode code;
  uint8_t fop;
  uint8_t flags;
  uint32_t target;  // a program index, or a sub
  uint32_t ia, ib;  // with QF_A, QF_B: the words' indexes
  const Node* a;
  const Node* b;
};

struct PassProgram {
  uint32_t ops;    // its first step in PassPrograms::ops
  uint32_t marks;  // its first mark in PassPrograms::marks
  uint32_t nmarks;
  bool with_cond;  // while's: the condition block's statements, the test, the body's
};

struct PassPrograms {
  std::vector<QOp> ops;
  std::vector<PassMark> marks;
  std::vector<PassProgram> progs;
};

struct PassState;

// Defined in one of the files, used by the others.
namespace detail {

// The forms by id (see compiled_compiler.cpp).
extern std::vector<Form*> g_forms;
// Bumped whenever a form is released or goes stale: a Form* found while
// this had one value points at a live form, not stale, while it keeps it.
extern uint64_t g_forms_released;
extern bool g_verify;
// VEL_COMPILE=verify's check of a block whose stamp is the one a form (or
// one of its literal blocks) was made with: its length and cells from head
// are those kept; the process stops otherwise.
[[gnu::noinline, gnu::cold]] void verify_unchanged(NodeId node, uint32_t head, uint32_t len, const Cell* snap);

// The straight-line programs of a form, made on its second run (compiled_programs.cpp).
void make_quick(Form& f);

// The forms running now (see enter_form), and whether f is one of them.
extern std::vector<Form*> g_running;
bool is_running(const Form* f);

// The frameless runs and the programs (compiled_programs.cpp).
bool pure_call(const Form& f, const Node& n, Cell* out, uint32_t depth, const Sub** several = nullptr);
bool pure_expr(const Form& f, const Node& k, Cell* out, uint32_t depth);
bool direct_read(const Form& f, const Node& n, Cell* out, uint32_t depth);
may_gc bool direct_call(const Form& f, const Node& n, Cell* out);
may_gc bool direct_value(const Form& f, const Node& k, Cell* out);
may_gc bool direct_step(const Form& f, const Node& k, Cell* out);

// How a program ended. A pass program (see run_passes) ends in QE_FAIL and
// the last four: every pass run (QE_DONE), a break, a Ctrl+C pending
// before the next pass, the general way to take the pass up (QE_FAIL: at
// the expression the failed step belongs to; QE_REST: at the one the step
// begins), or until's test of an unset value left to the loop.
enum QuickEnd { QE_FAIL, QE_DONE, QE_SEVERAL, QE_BREAK, QE_STOP, QE_REST, QE_PASSED };

template <bool Pass>
QuickEnd run_quick_t(const Form& f, const QOp* prog, Cell* out, const Sub** several, PassState* st);

PassEnd run_pass_program(Form& f, uint32_t& slot, const int32_t* top, uint32_t head, uint32_t len, Passes& p,
                         const Sub* cond = nullptr);

// The nodes the call loop runs (compiled.cpp).
void mark_stepped(Form& f);

}  // namespace detail

// The checks and reads of the hot paths, inline in each file (with a copy
// of its own of the helpers they call out of line, whose registers the
// callers then know).
namespace {

using namespace detail;

// Two 8-byte compares: a memcmp the compiler leaves as a call in a large
// function costs a call for every check of a callee or an operator.
inline bool same_cell(const Cell& a, const Cell& b) {
  uint64_t x[2], y[2];
  std::memcpy(x, &a, sizeof(Cell));
  std::memcpy(y, &b, sizeof(Cell));
  return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
}

inline bool same_cells(const Cell* a, const Cell* b, uint32_t n) {
#if defined(__SSE2__)
  __m128i diff = _mm_setzero_si128();
  for (uint32_t i = 0; i < n; i++) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    diff = _mm_or_si128(diff, _mm_xor_si128(x, y));
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) == 0xFFFF;
#else
  return std::memcmp(a, b, size_t(n) * sizeof(Cell)) == 0;
#endif
}

// A block's cells from head to len, and its length, are those a form was
// made from: its stamp is that of then. Every change of a block's cells or
// length bumps its stamp, and a node's stamp goes on from its last value
// when the node is taken again, so the stamp alone tells.
[[gnu::always_inline]] inline bool unchanged(NodeId node, uint32_t head, uint32_t len, uint32_t stamp, const Cell* snap) {
  if (series_stamp(node) != stamp) return false;
  if (g_verify) [[unlikely]]
    verify_unchanged(node, head, len, snap);
  return true;
}

// A form entered again, with its straight-line programs.
[[gnu::always_inline]] inline Form* with_programs(Form* f) {
  if (!f->quick_made) [[unlikely]]
    make_quick(*f);
  return f;
}

// The block's form when it holds for its cells now (valid_form, inline for
// the runner's calls).
[[gnu::always_inline]] inline Form* form_now(const Cell& block) {
  Buffer* b = node_buffer(block.node());
  uint32_t sp = b->spare;
  if (sp - 1 >= SPARE_SEEN - 1) return nullptr;
  Form* f = g_forms[sp];
  uint32_t head = block.index() < 0 ? 0 : uint32_t(block.index());
  if (f->head != head || f->stale || !unchanged(block.node(), head, f->len, f->stamp, f->snapshot.data()))
    return nullptr;
  return with_programs(f);
}

// Stack room: an upper bound of what the code of a block takes on the two
// stacks while it runs, the walker's way (a frame and the set-word for a
// store, the callee's copy, arguments, refinements and locals for a call,
// a frame for each expression of any, all and case) or the runner's, not
// counting what the bodies of the functions it calls take (each checks its
// own room when it starts). Expressions run one after another, each from
// the block's result cell: a block takes what its largest one takes; an
// expression what its terms take together, with the literal blocks run in
// place inside its calls.
struct Room {
  uint32_t cells = 0;
  uint32_t frames = 0;
};
// Far more than any stack holds: a bound that reaches it only says that the
// walker runs the block.
constexpr uint32_t ROOM_LIMIT = 1u << 24;
inline uint32_t room_add(uint32_t a, uint64_t b) { return uint32_t(std::min<uint64_t>(a + b, ROOM_LIMIT)); }
inline Room room_max(Room a, Room b) { return Room{std::max(a.cells, b.cells), std::max(a.frames, b.frames)}; }
inline Room room_sum(Room a, Room b) { return Room{room_add(a.cells, b.cells), room_add(a.frames, b.frames)}; }

Room block_room(const Form& f, const int32_t* top, uint32_t size, uint32_t depth);

// Whether the stacks have the room the form's own code may take (see Room
// above): where they have not, the walker runs it, so that the stacks run
// out where they would with the walker alone.
[[gnu::always_inline]] inline bool room_for(const Form& f) {
  return g_stack.end - g_stack.top >= ptrdiff_t(f.room_cells) &&
         g_stack.frame_end - g_stack.frame_top >= ptrdiff_t(f.room_frames);
}

// The value cell of a word whose context keeps its values in the series
// values (0: a stack context, or one the general lookup must find).
[[gnu::noinline]] inline const Cell* slot_elsewhere(const Cell& w) { return word_slot(w); }

// ctx and base: the body whose cells are read in place (the running one's,
// or a body's that the call loop has not made the running one yet).
[[gnu::always_inline]] inline const Cell* slot_in(NodeId values, const Cell& w, NodeId ctx, const Cell* base) {
  if (values) [[likely]] {
    Buffer* b = node_buffer(values);
    uint32_t i = uint32_t(w.i3());
    return i < (b->used() >> 4) ? b->cells() + i : nullptr;
  }
  if (w.w1 == ctx && w.i3() >= 0) [[likely]] {
    const Cell* p = base + uint32_t(w.i3());
    return p < g_stack.top ? p : nullptr;
  }
  return slot_elsewhere(w);
}
[[gnu::always_inline]] inline const Cell* slot_in(NodeId values, const Cell& w) {
  return slot_in(values, w, g_body_ctx, g_body_base);
}

// The value cell of a node's word (w: the node's cell, or a path's head).
[[gnu::always_inline]] inline const Cell* slot_of(const Node& n, const Cell& w) { return slot_in(n.values, w); }

[[gnu::noinline]] inline const Cell* kept_slot_found(const Node& n, const Cell& w) {
  const Cell* s = slot_in(n.values, w);
  // A values series never shrinks: the cell stays while the buffer does.
  if (s && n.values) {
    n.slot = s;
    n.slot_moves = g_buffer_moves;
  }
  return s;
}

// slot_of, kept from one run to the next while no buffer moved, for the
// one word a node looks up: its own (a callee's, an operator's) or its
// path's head.
[[gnu::always_inline]] inline const Cell* kept_slot(const Node& n, const Cell& w) {
  if (n.slot_moves == g_buffer_moves) [[likely]]
    return n.slot;
  return kept_slot_found(n, w);
}

[[gnu::always_inline]] inline const Cell* own_slot(const Node& n) { return kept_slot(n, n.cell); }

inline bool paren_fast(const Form& f, const Node& n, Cell* out);

// An operand of an F_ARITH chain: its value, or null when the general way
// must take it.
template <bool Parens>
inline const Cell* arith_operand(const Form& f, const Node& b, Cell* tmp) {
  if (b.kind == K_CONST) return &b.cell;
  if (!Parens || b.kind == K_WORD) return slot_of(b, b.cell);
  return !trace::g_trace.on && paren_fast(f, b, tmp) ? tmp : nullptr;
}

// An F_ARITH chain computed by the operator kernel with no pushes and no
// calls; false, having changed nothing, for any other operand or a result
// the action must make (the general way then looks at everything again).
template <bool Parens>
inline bool arith_chain(const Form& f, const Node& n, Cell* out) {
  Cell tmp;
  const Cell* l = arith_operand<Parens>(f, *n.kid[0], &tmp);
  Num acc;
  if (!l || !num_load(*l, &acc)) return false;
  for (uint32_t j = 1; j < n.count; j++) {
    const Node& op = *n.kid[j];
    const Cell* r = arith_operand<Parens>(f, *op.kid[0], &tmp);
    const Cell* v = own_slot(op);
    if (!r || !v || !same_cell(*v, op.expect) || !num_op(op.arity, acc, *r)) return false;
  }
  store_cell(out, num_cell(acc));
  return true;
}

// Chains with parens (the parens' own chains computed in place) out of
// the way of the plain ones.
[[gnu::noinline]] inline bool arith_parens(const Form& f, const Node& n, Cell* out) { return arith_chain<true>(f, n, out); }

// One operator between two integers or two chars, the commonest chain
// (a comparison, a counter's step): PAIR_DONE with the value; PAIR_DECLINED
// when the kernel refused two integers where it could not do better as a
// chain (a division by zero: the action decides); PAIR_OTHER when the
// chain must go the whole way.
enum PairEnd { PAIR_DONE, PAIR_DECLINED, PAIR_OTHER };
inline PairEnd arith_pair(const Node& n, Cell* out) {
  const Node& a = *n.kid[0];
  const Node& op = *n.kid[1];
  const Node& b = *op.kid[0];
  const Cell* l = a.kind == K_CONST ? &a.cell : slot_of(a, a.cell);
  const Cell* r = b.kind == K_CONST ? &b.cell : slot_of(b, b.cell);
  const Cell* v = own_slot(op);
  if (!l || !r || !v || !same_cell(*v, op.expect)) return PAIR_OTHER;
  TypeId t = l->type();
  if (t != r->type() || (t != TYPE_INTEGER && (t != TYPE_CHAR || op.arity < FOP_EQ))) return PAIR_OTHER;
  IntResult z = int_op(op.arity, l->i2(), r->i2());
  // num_op turns only overflowing sums, differences and products of two
  // integers into floats.
  if (!z.ok) return t == TYPE_INTEGER && op.arity > FOP_MUL ? PAIR_DECLINED : PAIR_OTHER;
  store_cell(out, z.logic ? logic_cell(z.value != 0) : integer_cell(z.value));
  return PAIR_DONE;
}

[[gnu::noinline]] inline bool arith_plain(const Form& f, const Node& n, Cell* out) {
  if (n.count == 2) {
    PairEnd e = arith_pair(n, out);
    if (e != PAIR_OTHER) return e == PAIR_DONE;
  }
  return arith_chain<false>(f, n, out);
}

inline bool arith_fast(const Form& f, const Node& n, Cell* out) {
  if (n.flags & F_PARENS) return arith_parens(f, n, out);
  return arith_plain(f, n, out);
}

// A paren holding one such chain, while its cells are those compiled: its
// value without running it as a block (nothing in it can fail).
inline bool paren_fast(const Form& f, const Node& n, Cell* out) {
  if (!n.refs) return false;
  const Sub& s = f.subs[n.refs - 1];
  if (s.single < 0) return false;
  const Node& e = f.nodes[uint32_t(s.single)];
  if (e.kind != K_EXPR || !(e.flags & F_ARITH) || (e.flags & F_TAIL_CHECK)) return false;
  if (!unchanged(s.cell.node(), s.head, s.len, s.stamp, f.sub_cells.data() + s.cells)) return false;
  return arith_fast(f, e, out);
}

// The value of an expression in which nothing can fail or call out (a
// constant, a word holding a plain value, operators on numbers): no frame
// pushed for it would ever be seen. False, having changed nothing, when
// the node must run.
inline bool quick_value(const Form& f, const Node& k, Cell* v) {
  const Node* e = &k;
  if (k.kind == K_EXPR) {
    if (k.flags & F_ARITH) {
      if (!arith_fast(f, k, v)) return false;
      e = nullptr;
    } else if (k.count == 1) {
      e = k.kid[0];
    } else {
      return false;
    }
    if (k.flags & F_TAIL_CHECK) {
      const Cell* after = slot_of(k, k.expect);
      if (!after || after->is(TYPE_OP)) return false;
    }
  }
  if (!e) return true;
  if (e->kind == K_CONST) {
    *v = e->cell;
    return true;
  }
  if (e->kind != K_WORD) return false;
  const Cell* slot = slot_of(*e, e->cell);
  if (!slot) return false;
  TypeId t = slot->type();
  if (t == TYPE_UNSET || t == TYPE_OP || is_callable(t)) return false;
  *v = *slot;
  return true;
}

// The word after an expression, which ends it, is still no operator. A
// frameless run never stores an operator, so it is looked at first.
inline bool no_operator_after(const Node& k) {
  if (!(k.flags & F_TAIL_CHECK)) return true;
  const Cell* v = slot_of(k, k.expect);
  return v && !v->is(TYPE_OP);
}

// The callee of a call node, still the one compiled.
inline bool same_callee(const Node& n) {
  const Cell* slot = own_slot(n);
  return slot && same_cell(*slot, n.expect);
}

// A value that refers to nothing the collector keeps.
inline bool plain_value(const Cell& v) {
  TypeId t = v.type();
  return t == TYPE_LOGIC || t == TYPE_NONE || t == TYPE_INTEGER;
}

// A call computed in place, or one a word follows (no operator).
inline bool direct_expr(const Node& k) {
  return (k.kind == K_CALL && k.direct) ||
         (k.kind == K_EXPR && k.count == 1 && k.kid[0]->kind == K_CALL && k.kid[0]->direct);
}

inline QuickEnd run_quick(const Form& f, const QOp* prog, Cell* out, const Sub** several) {
  return run_quick_t<false>(f, prog, out, several, nullptr);
}

}  // namespace

}  // namespace vel::interp
