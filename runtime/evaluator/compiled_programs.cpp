// Compiled forms of blocks: the frameless runs (either, if, unless, any,
// all and the natives computed in place, when no frame of theirs could be
// seen), the straight-line programs that do the same steps laid out once,
// and the pass programs that run a loop body's passes in one program.
#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "datatypes/symbol.h"
#include "evaluator/arith.h"
#include "evaluator/compiled_form.h"
#include "evaluator/interp_detail.h"
#include "evaluator/natives_control.h"
#include "evaluator/trace.h"
#include "families.h"
#include "memory.h"
#include "platform/platform.h"
#include "unicode.h"

namespace vel::interp {

using namespace detail;

namespace {

// --- calls whose frames no one sees --------------------------------------------
//
// either, if, unless, any and all whose arguments and chosen blocks hold
// only expressions that can neither fail nor call out (constants, plain
// words, operators on numbers, stores of such values into contexts that
// nothing watches) show nothing but their value and their stores: no
// error or signal can arise while they run, so their frames would never be
// looked at. They run here without frames. Every check comes before the
// one store an expression makes, so a check that fails (a word whose value
// changed type, a rebound operator) leaves everything as it was, and the
// general way runs the call from its start.

constexpr uint32_t PURE_DEPTH = 8;

// An expression with no effect at all: a quick value, or any or all over
// such expressions.
[[gnu::always_inline]] inline bool pure_cond(const Form& f, const Node& k, Cell* out, uint32_t depth) {
  if (!(k.flags & F_QUIET)) return false;
  if (k.kind == K_CALL) return depth < PURE_DEPTH && pure_call(f, k, out, depth + 1);
  if (k.kind == K_EXPR && k.count == 1 && k.kid[0]->kind == K_CALL)
    return no_operator_after(k) && depth < PURE_DEPTH && pure_call(f, *k.kid[0], out, depth + 1);
  return quick_value(f, k, out);
}

}  // namespace

namespace detail {

// An expression whose one effect, if any, is its last step: a store of a
// value without effects, or a call run here.
bool pure_expr(const Form& f, const Node& k, Cell* out, uint32_t depth) {
  if (!(k.flags & F_PURE)) return false;
  if (k.kind == K_SET_WORD) {
    if (!(k.flags & (F_STORE | F_STORE_OBJECT))) return false;
    // The word after the store is the stored one: the walker looks again
    // whether it has become an operator.
    if ((k.flags & F_TAIL_CHECK) && k.expect.w1 == k.cell.w1 && k.expect.w3 == k.cell.w3) return false;
    Cell v;
    if (!pure_cond(f, *k.kid[0], &v, depth) || v.is(TYPE_UNSET)) return false;
    Cell* slot = const_cast<Cell*>(slot_of(k, k.cell));
    if (!slot || ((k.flags & F_STORE_OBJECT) && !quiet_object_store(k.cell.w1, k.cell.w3))) return false;
    *slot = v;
    *out = v;
    return true;
  }
  if (k.kind == K_CALL && (k.flags & F_BRANCH)) return depth < PURE_DEPTH && pure_call(f, k, out, depth + 1);
  if (k.kind == K_EXPR && k.count == 1 && (k.kid[0]->flags & F_BRANCH))
    return no_operator_after(k) && pure_expr(f, *k.kid[0], out, depth);
  return pure_cond(f, k, out, depth);
}

}  // namespace detail

namespace {

// A call's argument gives the literal block compiled in place: a constant
// one always does (both are the cell compiled); one a word follows, while
// that word is no operator.
inline bool block_argument(const Form& f, const Node& arg, const Sub& s) {
  if (arg.kind == K_CONST) return true;
  Cell v;
  return quick_value(f, arg, &v) && same_cell(v, s.cell);
}

// The block a call's argument gives when it is the literal block compiled
// in place, unchanged since.
inline const Sub* pure_block(const Form& f, const Node& arg, uint32_t sub) {
  const Sub& s = f.subs[sub - 1];
  if (!block_argument(f, arg, s)) return nullptr;
  NodeId node = s.cell.node();
  if (!unchanged(node, s.head, s.len, s.stamp, f.sub_cells.data() + s.cells)) return nullptr;
  return &s;
}

// any or all over a block of expressions without effects.
bool pure_conds(const Form& f, const Sub& s, bool any, Cell* out, uint32_t depth) {
  const int32_t* top = &f.sub_top[s.top];
  Cell v = none_cell();
  for (uint32_t p = s.head; p < s.len;) {
    int32_t e = top[p - s.head];
    if (e < 0) return false;
    const Node& k = f.nodes[uint32_t(e)];
    if (!pure_cond(f, k, &v, depth)) return false;
    if (truthy(v) == any) {
      *out = any ? v : none_cell();
      return true;
    }
    p = k.end;
  }
  *out = any || s.len == s.head ? none_cell() : v;
  return true;
}

// --- natives computed in place ---------------------------------------------------
//
// tail? and pick on an any-block value (pick by an integer), and make of
// a block! with an integer room, whose arguments are expressions without
// effects that their typesets take: none of them can fail or call out
// then, so no frame pushed for the call would ever be seen. tail? and pick
// are quiet shapes (see pure_shape); make allocates, so the collector may
// run, and is computed only where a call is run (run_call, a set-word's
// store).

// make's room at most here: a bigger one goes the general way, where a
// failed allocation finds its frame.
constexpr int32_t DIRECT_ROOM = 1 << 16;

// The call's arguments, each an expression without effects whose value
// its typeset takes; false when one is not.
[[gnu::always_inline]] inline bool direct_args(const Form& f, const Node& n, Cell* a, uint32_t depth) {
  if (n.count != n.arity) return false;
  for (uint32_t i = 0; i < n.arity; i++) {
    const Node& k = *n.kid[i];
    // The commonest arguments, a constant (its typeset checked when
    // compiled) and a plain word's value, read here.
    if (k.kind == K_CONST && ((n.known >> i) & 1)) {
      a[i] = k.cell;
      continue;
    }
    if (k.kind == K_WORD) {
      const Cell* slot = slot_of(k, k.cell);
      if (!slot) return false;
      TypeId t = slot->type();
      if (t == TYPE_UNSET || t == TYPE_OP || is_callable(t) || !func::typeset_has(f.typesets[n.typesets + i], t))
        return false;
      a[i] = *slot;
      continue;
    }
    if (!pure_cond(f, k, &a[i], depth) || !func::typeset_has(f.typesets[n.typesets + i], a[i].type())) return false;
  }
  return true;
}

}  // namespace

namespace detail {

// tail? or pick of a call whose callee is the one compiled; false, having
// changed nothing, for other arguments.
bool direct_read(const Form& f, const Node& n, Cell* out, uint32_t depth) {
  Cell a[2];
  if (n.direct == D_FIND) {
    if (!direct_args(f, n, a, depth) || !a[0].is(TYPE_BITSET) || !a[1].is(TYPE_CHAR)) return false;
    *out = bitset::test_bit(a[0], a[1].w2) ? logic_cell(true) : none_cell();
    return true;
  }
  const Node& s = *n.kid[0];
  if (n.count == n.arity && s.kind == K_WORD && (n.arity == 1 || n.kid[1]->kind == K_CONST)) [[likely]] {
    // The commonest shape, a word's series and a constant index (its
    // typeset checked when compiled), read here.
    const Cell* slot = slot_of(s, s.cell);
    if (!slot || !is_any_block(slot->type()) || !func::typeset_has(f.typesets[n.typesets], slot->type())) return false;
    a[0] = *slot;
    if (n.arity == 2) {
      if (!((n.known >> 1) & 1)) return false;
      a[1] = n.kid[1]->cell;
    }
  } else if (!direct_args(f, n, a, depth) || !is_any_block(a[0].type())) {
    return false;
  }
  Buffer* b = node_buffer(a[0].node());
  int64_t total = b->used() >> 4;
  if (n.direct == D_TAIL_Q) {
    *out = logic_cell(a[0].index() >= total);
    return true;
  }
  if (!a[1].is(TYPE_INTEGER)) return false;
  // As series_pick: from the position (a position past the tail is the
  // tail), n > 0 the n-th, n < 0 the -n-th before it, 0 none.
  int64_t k = a[1].i2();
  int64_t at = std::min<int64_t>(a[0].index() < 0 ? 0 : a[0].index(), total) + (k > 0 ? k - 1 : k);
  *out = k == 0 || at < 0 || at >= total ? none_cell() : b->cells()[at];
  return true;
}

// A direct call whose callee is the one compiled, computed: false, having
// changed nothing, when the general way must run it.
[[gnu::noinline]] may_gc bool direct_call(const Form& f, const Node& n, Cell* out) {
  if (n.direct != D_MAKE) return direct_read(f, n, out, 0);
  Cell a[2];
  if (!direct_args(f, n, a, 0) || !a[0].is(TYPE_DATATYPE) || a[0].w1 != TYPE_BLOCK || !a[1].is(TYPE_INTEGER) ||
      a[1].i2() > DIRECT_ROOM)
    return false;
  *out = block::make_at(a[1].i2());
  return true;
}

// The value of such an expression; false, having changed nothing, when the
// general way must run it.
may_gc bool direct_value(const Form& f, const Node& k, Cell* out) {
  if (trace::g_trace.on) return false;
  const Node& n = k.kind == K_EXPR ? *k.kid[0] : k;
  return (k.kind != K_EXPR || no_operator_after(k)) && same_callee(n) && direct_call(f, n, out);
}

// An expression of a block run without frames that is, or stores, a call
// computed in place: its value, or false having changed nothing. The
// call may allocate: a caller holding a value of its own across it keeps
// that value rooted.
may_gc bool direct_step(const Form& f, const Node& k, Cell* out) {
  if (direct_expr(k)) return direct_value(f, k, out);
  if (k.kind != K_SET_WORD || !(k.flags & (F_STORE | F_STORE_OBJECT)) || !direct_expr(*k.kid[0])) return false;
  // As pure_expr: the word after the store is the stored one.
  if ((k.flags & F_TAIL_CHECK) && k.expect.w1 == k.cell.w1 && k.expect.w3 == k.cell.w3) return false;
  if (!slot_of(k, k.cell) || ((k.flags & F_STORE_OBJECT) && !quiet_object_store(k.cell.w1, k.cell.w3))) return false;
  Cell v;
  if (!direct_value(f, *k.kid[0], &v)) return false;
  Cell* slot = const_cast<Cell*>(slot_of(k, k.cell));
  if (!slot) return false;
  *slot = v;
  *out = v;
  return true;
}

// either, if, unless (a chosen block of one expression) or any and all,
// run here, or false having changed nothing. Given several, the chosen
// block is left to the caller: *several is the block, out the condition.
bool pure_call(const Form& f, const Node& n, Cell* out, uint32_t depth, const Sub** several) {
  if (!same_callee(n)) return false;
  if (n.direct) return n.direct != D_MAKE && direct_read(f, n, out, depth);
  if (n.flags & F_CONDS) {
    const Sub* s = pure_block(f, *n.kid[0], n.refs);
    return s && pure_conds(f, *s, n.expect.w1 == NAT_ANY, out, depth);
  }
  Cell cond;
  // Commonest condition: a comparison of plain operands, straight to the
  // operator kernel.
  const Node& c = *n.kid[0];
  bool got = c.kind == K_EXPR && (c.flags & (F_ARITH | F_PARENS | F_TAIL_CHECK)) == F_ARITH ? arith_plain(f, c, &cond)
                                                                                           : pure_cond(f, c, &cond, depth);
  if (!got || !func::typeset_has(f.typesets[n.typesets], cond.type())) return false;
  uint32_t sub;
  if (n.expect.w1 == NAT_EITHER) {
    sub = truthy(cond) ? n.refs : n.nrefs;
  } else if (truthy(cond) == (n.expect.w1 == NAT_IF)) {
    sub = n.refs;
  } else {
    // The block is not run, but its argument is still read.
    if (!block_argument(f, *n.kid[1], f.subs[n.refs - 1])) return false;
    *out = none_cell();
    return true;
  }
  // The other block of either is read too.
  if (n.arity == 3) {
    const Node& other = *n.kid[sub == n.refs ? 2 : 1];
    if (!block_argument(f, other, f.subs[(sub == n.refs ? n.nrefs : n.refs) - 1])) return false;
  }
  const Sub* s = pure_block(f, *n.kid[sub == n.refs ? 1 : 2], sub);
  if (!s) return false;
  if (s->single >= 0) {
    const Node& e = f.nodes[uint32_t(s->single)];
    // A block of one word, the commonest branch of a leaf, read in place.
    if (e.kind == K_WORD) {
      if (const Cell* slot = slot_of(e, e.cell)) {
        TypeId t = slot->type();
        if (t != TYPE_UNSET && t != TYPE_OP && !is_callable(t)) {
          *out = *slot;
          return true;
        }
      }
    } else if (pure_expr(f, e, out, depth)) {
      return true;
    }
  }
  // At the top the chosen block goes on from here whatever it holds, so
  // that the condition is not computed again.
  if (!several) return false;
  *several = s;
  *out = cond;
  return true;
}

}  // namespace detail

namespace {

// --- straight-line programs of the frameless shapes ------------------------------
//
// The frameless runs above walk the nodes and ask at each what it is. For
// an expression they accept, the same steps are laid out once as a short
// program: each step does the work and the checks of one node (a word's
// value, an operator still the one compiled, a block unchanged), with the
// shape decided when it was made. A check that fails ends the program
// having changed nothing, as the frameless run would fail; the one store
// comes last, as there.

// QOp::flags: the word of a (of b) is read through the base Q_BASE found.
constexpr uint8_t QF_A = 1;
constexpr uint8_t QF_B = 2;
// An operator step whose operator a check before the passes found (see
// hoist_checks).
constexpr uint8_t QF_OP_KNOWN = 4;

// Steps in a program, at most (a longer one is left to the node walk).
constexpr uint32_t QUICK_MAX = 256;
// Numbers pending in a chain, at most (parens inside parens).
constexpr uint32_t QUICK_NUMS = 8;

// A call of continue, or of break without its refinement, as the body
// holds it: the word that follows is never looked at, as the signal comes
// first.
const Node* exit_call(const Node& k, QCode* code) {
  const Node* c = &k;
  if (c->kind == K_EXPR && c->count == 1) c = c->kid[0];
  if (c->kind != K_CALL || !c->expect.is(TYPE_NATIVE)) return nullptr;
  if (c->flags & F_CONTINUE) {
    *code = Q_CONTINUE;
    return c;
  }
  if (c->expect.w1 == NAT_BREAK && c->arity == 0 && !(c->flags & F_FUNCTION)) {
    *code = Q_BREAK;
    return c;
  }
  return nullptr;
}

// Lays out a node's frameless run, as pure_expr, pure_cond, quick_value and
// pure_call take it: false where they would always fail, or the shape is
// one left to them.
struct QuickEmitter {
  const Form& f;
  std::vector<QOp>& out;
  uint32_t nums = 0;  // numbers pending
  // A loop body's pass program: a branch's block of continue or break
  // ends the pass or the loop, and a chosen block of several expressions
  // runs in the program, its expressions marked for the general way.
  bool exits = false;
  std::vector<PassMark>* marks = nullptr;
  uint32_t mark = 0;   // the mark of the expression being laid out
  uint32_t level = 0;  // blocks of several expressions the steps are inside

  static constexpr uint32_t NO_PARENT = UINT32_MAX;

  uint32_t emit(QCode c, const Node* a = nullptr, const Node* b = nullptr, uint8_t fop = 0, uint32_t target = 0) {
    out.push_back(QOp{c, fop, 0, target, 0, 0, a, b});
    return uint32_t(out.size() - 1);
  }
  bool room() const { return out.size() < QUICK_MAX; }

  // One expression of a pass program's block (several: a branch call's
  // chosen block of several expressions runs in the program).
  bool statement(const Node& k, uint32_t depth) {
    if (!(k.flags & F_PURE) || !room()) return false;
    if (k.kind == K_CALL) return call(k, depth, true);
    if (k.kind != K_SET_WORD && k.kind != K_EXPR) return false;
    return expr(k, depth, true);
  }

  bool expr(const Node& k, uint32_t depth, bool several = false) {
    if (!(k.flags & F_PURE) || !room()) return false;
    if (k.kind == K_SET_WORD) {
      if (!(k.flags & (F_STORE | F_STORE_OBJECT))) return false;
      if ((k.flags & F_TAIL_CHECK) && k.expect.w1 == k.cell.w1 && k.expect.w3 == k.cell.w3) return false;
      if (!cond(*k.kid[0], depth)) return false;
      emit(Q_STORE, &k);
      return true;
    }
    if (k.kind == K_CALL && (k.flags & F_BRANCH)) return depth < PURE_DEPTH && call(k, depth + 1, several);
    if (k.kind == K_EXPR && k.count == 1 && (k.kid[0]->flags & F_BRANCH)) {
      if (k.flags & F_TAIL_CHECK) emit(Q_TAIL, &k);
      return expr(*k.kid[0], depth, several);
    }
    return cond(k, depth);
  }

  bool cond(const Node& k, uint32_t depth) {
    if (!(k.flags & F_QUIET) || !room()) return false;
    if (k.kind == K_CALL) return depth < PURE_DEPTH && call(k, depth + 1, false);
    if (k.kind == K_EXPR && k.count == 1 && k.kid[0]->kind == K_CALL) {
      if (k.flags & F_TAIL_CHECK) emit(Q_TAIL, &k);
      return depth < PURE_DEPTH && call(*k.kid[0], depth + 1, false);
    }
    return value(k);
  }

  bool value(const Node& k) {
    const Node* e = &k;
    if (k.kind == K_EXPR) {
      if ((k.flags & F_ARITH) && word_op_constant(k) && k.count == 2) {
        emit(Q_WOPK, k.kid[1], k.kid[0]);
        e = nullptr;
      } else if (k.flags & F_ARITH) {
        if (!chain(k)) return false;
        emit(Q_NVALUE);
        nums--;
        e = nullptr;
      } else if (k.count == 1) {
        e = k.kid[0];
      } else {
        return false;
      }
      if (k.flags & F_TAIL_CHECK) emit(Q_TAIL, &k);
    }
    if (!e) return true;
    if (e->kind == K_CONST) {
      emit(Q_CONST, e);
      return true;
    }
    if (e->kind != K_WORD) return false;
    emit(Q_WORD, e);
    return true;
  }

  // An operand of a chain, pushed (a paren's own chain) or left for the
  // operator step (constants and words).
  bool operand(const Node& b) {
    if (b.kind == K_CONST || b.kind == K_WORD) return true;
    if (b.kind != K_PAREN || !b.refs) return false;
    const Sub& s = f.subs[b.refs - 1];
    if (s.single < 0) return false;
    const Node& e = f.nodes[uint32_t(s.single)];
    if (e.kind != K_EXPR || !(e.flags & F_ARITH) || (e.flags & F_TAIL_CHECK)) return false;
    emit(Q_UNCHANGED, nullptr, nullptr, 0, b.refs - 1);
    return chain(e);
  }

  // A chain's first number pushed: fop 1 when another is pending below it.
  bool push_number(QCode c, const Node& head) {
    if (nums >= QUICK_NUMS) return false;
    emit(c, &head, nullptr, nums > 0);
    nums++;
    return true;
  }

  // A chain that starts with a word and an operator on a constant.
  static bool word_op_constant(const Node& n) {
    return n.count >= 2 && n.kid[0]->kind == K_WORD && n.kid[1]->kid[0]->kind == K_CONST;
  }

  // An F_ARITH chain: its number pushed.
  bool chain(const Node& n) {
    if (!room()) return false;
    const Node& head = *n.kid[0];
    uint32_t first = 1;
    if (word_op_constant(n)) {
      if (nums >= QUICK_NUMS) return false;
      emit(Q_NWOPK, n.kid[1], &head, nums > 0);
      nums++;
      first = 2;
    } else if (head.kind == K_CONST) {
      Num probe;
      if (!num_load(head.cell, &probe) || !push_number(Q_NCONST, head)) return false;
    } else if (head.kind == K_WORD) {
      if (!push_number(Q_NWORD, head)) return false;
    } else if (operand(head)) {
      // A paren's value is taken as a cell is (a comparison's logic! is
      // no number).
      emit(Q_NRELOAD);
    } else {
      return false;
    }
    for (uint32_t j = first; j < n.count; j++) {
      const Node& op = *n.kid[j];
      const Node& r = *op.kid[0];
      if (r.kind == K_CONST) emit(Q_OPCONST, &op, &r);
      else if (r.kind == K_WORD) emit(Q_OPWORD, &op, &r);
      else if (operand(r)) {
        emit(Q_OPPOP, &op);
        nums--;
      } else {
        return false;
      }
    }
    return room();
  }

  // A block argument that gives the literal block compiled in place (see
  // block_argument): a constant, or one a word follows while that word is
  // no operator.
  bool constant_block(const Node& arg, uint32_t sub) {
    if (arg.kind == K_CONST) return true;
    if (arg.kind != K_EXPR || arg.count != 1 || (arg.flags & F_ARITH) || arg.kid[0]->kind != K_CONST ||
        !same_cell(arg.kid[0]->cell, f.subs[sub - 1].cell))
      return false;
    if (arg.flags & F_TAIL_CHECK) emit(Q_TAIL, &arg);
    return true;
  }

  // The chosen block of a branch: checked unchanged, then its one
  // expression, or handed back when it has several (at the top only).
  bool branch_block(const Node& n, uint32_t sub, uint32_t depth, bool several) {
    const Sub& s = f.subs[sub - 1];
    emit(Q_UNCHANGED, nullptr, nullptr, 0, sub - 1);
    // In a pass program every block a statement's call chooses is a level
    // of its own, so that the general way can take the pass up inside it.
    if (several && marks) return inline_block(n, s, depth);
    if (s.single >= 0) {
      QCode exit;
      if (const Node* c = exits ? exit_call(f.nodes[uint32_t(s.single)], &exit) : nullptr) {
        emit(Q_CALLEE, c);
        emit(exit, nullptr, nullptr, 0, 1);
        return true;
      }
      size_t at = out.size();
      uint32_t pending = nums;
      if (expr(f.nodes[uint32_t(s.single)], depth)) return true;
      // At the top the frameless run hands back a block whose one
      // expression it cannot take, as one of several.
      out.resize(at);
      nums = pending;
    }
    if (!several) return false;
    emit(Q_SEVERAL, nullptr, nullptr, 0, sub - 1);
    return true;
  }

  // A pass program's chosen block of several expressions, laid out in
  // the program: each expression's steps after a mark, the general way
  // taking the pass up at the first that has none; continue or break ends
  // it. The value is the block's last.
  bool inline_block(const Node& n, const Sub& s, uint32_t depth) {
    if (level >= PASS_LEVELS || nums) return false;
    emit(Q_ENTER, nullptr, nullptr, uint8_t(level));
    uint32_t holder = mark;
    level++;
    for (uint32_t p = s.head; p < s.len;) {
      int32_t x = f.sub_top[s.top + (p - s.head)];
      uint32_t start = uint32_t(out.size());
      marks->push_back(PassMark{start, p, holder, level, &n, &s, (*marks)[holder].in_cond});
      uint32_t mine = uint32_t(marks->size() - 1);
      if (x < 0) {
        emit(Q_REST);
        break;
      }
      const Node& k = f.nodes[uint32_t(x)];
      QCode exit;
      if (const Node* c = exits ? exit_call(k, &exit) : nullptr) {
        emit(Q_CALLEE, c);
        emit(exit, nullptr, nullptr, 0, 1);
        break;
      }
      mark = mine;
      bool ok = statement(k, depth) && room();
      mark = holder;
      if (!ok) {
        out.resize(start);
        marks->resize(mine + 1);
        nums = 0;
        emit(Q_REST);
        break;
      }
      p = k.end;
    }
    level--;
    // Steps after the block are the holder's again (those that can fail
    // run only where the block did not).
    PassMark again = (*marks)[holder];
    again.step = uint32_t(out.size());
    marks->push_back(again);
    return true;
  }

  // A comparison of a word with a constant: its operator node.
  static const Node* compare_step(const Node& k) {
    if (k.kind != K_EXPR || (k.flags & (F_ARITH | F_PARENS)) != F_ARITH || k.count != 2 || !word_op_constant(k))
      return nullptr;
    const Node* op = k.kid[1];
    TypeId t = op->kid[0]->cell.type();
    return op->arity >= FOP_EQ && (t == TYPE_CHAR || t == TYPE_INTEGER) ? op : nullptr;
  }

  // all over two comparisons of one word with constants of one type (a
  // range of chars): the checks of both steps, then Q_RANGE, whose target
  // is set after all's own steps; 0 for other blocks.
  uint32_t range_step(const Sub& s) {
    int32_t e1 = f.sub_top[s.top];
    if (e1 < 0) return 0;
    const Node& k1 = f.nodes[uint32_t(e1)];
    if (k1.end >= s.len) return 0;
    int32_t e2 = f.sub_top[s.top + (k1.end - s.head)];
    if (e2 < 0) return 0;
    const Node& k2 = f.nodes[uint32_t(e2)];
    const Node* lo = compare_step(k1);
    const Node* hi = compare_step(k2);
    if (!lo || !hi || k2.end != s.len) return 0;
    const Cell& w1 = k1.kid[0]->cell;
    const Cell& w2 = k2.kid[0]->cell;
    if (w1.w1 != w2.w1 || w1.w3 != w2.w3 || w1.w2 != w2.w2 || k1.kid[0]->values != k2.kid[0]->values ||
        lo->kid[0]->cell.type() != hi->kid[0]->cell.type())
      return 0;
    for (const Node* k : {&k1, &k2})
      if (k->flags & F_TAIL_CHECK) emit(Q_TAIL, k);
    emit(Q_CALLEE, lo);
    emit(Q_CALLEE, hi);
    uint32_t at = emit(Q_RANGE, lo, k1.kid[0]);
    out[at].ia = uint32_t(hi - f.nodes.data());
    return at;
  }

  bool call(const Node& n, uint32_t depth, bool several) {
    if (!room()) return false;
    emit(Q_CALLEE, &n);
    if (n.direct) {
      emit(Q_DIRECT, &n);
      return n.direct != D_MAKE && room();
    }
    if (n.flags & F_CONDS) {
      if (!constant_block(*n.kid[0], n.refs)) return false;
      const Sub& s = f.subs[n.refs - 1];
      emit(Q_UNCHANGED, nullptr, nullptr, 0, n.refs - 1);
      bool any = n.expect.w1 == NAT_ANY;
      uint32_t range = any ? 0 : range_step(s);
      std::vector<uint32_t> shorts;
      for (uint32_t p = s.head; p < s.len;) {
        int32_t e = f.sub_top[s.top + (p - s.head)];
        if (e < 0) return false;
        const Node& k = f.nodes[uint32_t(e)];
        if (!cond(k, depth)) return false;
        shorts.push_back(emit(Q_SHORT, nullptr, nullptr, any));
        p = k.end;
      }
      emit(Q_CONDS_END, nullptr, nullptr, any || s.len == s.head);
      for (uint32_t i : shorts) out[i].target = uint32_t(out.size());
      if (range) out[range].target = uint32_t(out.size());
      return room();
    }
    if (!(n.flags & F_BRANCH)) return false;
    if (!cond(*n.kid[0], depth)) return false;
    emit(Q_TYPESET, &n);
    if (n.expect.w1 == NAT_EITHER) {
      if (!constant_block(*n.kid[1], n.refs) || !constant_block(*n.kid[2], n.nrefs)) return false;
      uint32_t to_false = emit(Q_EITHER, &n);
      if (!branch_block(n, n.refs, depth, several)) return false;
      uint32_t to_end = emit(Q_JUMP);
      out[to_false].target = uint32_t(out.size());
      if (!branch_block(n, n.nrefs, depth, several)) return false;
      out[to_end].target = uint32_t(out.size());
      return room();
    }
    if (!constant_block(*n.kid[1], n.refs)) return false;
    uint32_t to_skip = emit(Q_IFNOT, &n, nullptr, n.expect.w1 == NAT_IF);
    if (!branch_block(n, n.refs, depth, several)) return false;
    uint32_t to_end = emit(Q_JUMP);
    out[to_skip].target = uint32_t(out.size());
    emit(Q_NONE);
    out[to_end].target = uint32_t(out.size());
    return room();
  }
};

}  // namespace

// The counter of a loop whose body's pass program runs (see run_passes).
struct PassState {
  Cell* slot;      // repeat's or foreach's word's value cell, or null
  int64_t counter; // the pass under way
  int64_t last;
  Cell* result;    // the loop's result cell
  uint32_t at;     // QE_FAIL, QE_REST: the index of the step
  Cell* series;    // foreach: its series at the next element, or null
  ElemKind kind;   //   and how its elements are kept
  bool watch_op = false;  // a check made once reads the word: an operator stored ends the passes
  bool until = false;     // a pass ends with until's test of its value
  Cell conds[PASS_LEVELS] = {};  // the conditions of the calls whose blocks run (see Q_ENTER)
};

namespace detail {

// Runs a node's program: its value in out (QE_DONE), or the chosen block
// of several expressions in several with the condition in out
// (QE_SEVERAL); QE_FAIL having changed nothing. Pass: the passes of a loop
// body's program, its counter in st.
template <bool Pass>
QuickEnd run_quick_t(const Form& f, const QOp* prog, Cell* out, const Sub** several, PassState* st) {
  // The number on top in acc, those below it in held.
  Num acc{TYPE_INTEGER, 0, 0.0};
  Num held[QUICK_NUMS];
  uint32_t below = 0;
  Cell v = none_cell();
  Cell* base = nullptr;
  bool continued = false;  // until: the pass ended by continue skips the test
  const QOp* pc = prog;
  // Each step jumps to the next one's code directly (one indirect jump a
  // step, predicted per step).
  static const void* const steps[] = {
      &&q_end, &&q_callee, &&q_const, &&q_word, &&q_tail, &&q_nconst, &&q_nword, &&q_opconst, &&q_opword,
      &&q_oppop, &&q_nvalue, &&q_nreload, &&q_unchanged, &&q_typeset, &&q_either, &&q_ifnot, &&q_jump,
      &&q_none, &&q_several, &&q_short, &&q_conds_end, &&q_store, &&q_base, &&q_nwopk, &&q_wopk, &&q_direct,
      &&q_pass, &&q_continue, &&q_break, &&q_rest, &&q_enter, &&q_test, &&q_range,
  };
  static_assert(sizeof(steps) / sizeof(steps[0]) == Q_RANGE + 1, "a step for each code, in QCode's order");
#define QFAIL()                                               \
  do {                                                        \
    if constexpr (Pass) st->at = uint32_t(pc - prog);         \
    return QE_FAIL;                                           \
  } while (0)
#define QNEXT() goto *steps[(++pc)->code]
#define QGO(to) \
  do {                                  \
    pc = prog + (to);                   \
    goto *steps[pc->code];              \
  } while (0)
  // The cell of the word of a (of b), or a failed program.
#define QSLOT_A(slot, w)                                      \
  if (pc->flags & QF_A) [[likely]] {                          \
    slot = base + pc->ia;                                     \
  } else {                                                    \
    slot = slot_of(*pc->a, pc->a->w);                         \
    if (!slot) QFAIL();                                \
  }
  // The operator a's word holds is still the one compiled.
#define QOP_CHECK(op)                                         \
  if (!(pc->flags & QF_OP_KNOWN)) {                           \
    const Cell* g;                                            \
    QSLOT_A(g, cell);                                         \
    if (!same_cell(*g, (op).expect)) QFAIL();                 \
  }
#define QSLOT_B(slot)                                         \
  if (pc->flags & QF_B) [[likely]] {                          \
    slot = base + pc->ib;                                     \
  } else {                                                    \
    slot = slot_of(*pc->b, pc->b->cell);                      \
    if (!slot) QFAIL();                                \
  }
  goto *steps[pc->code];

q_base:
  if (pc->ia) {
    Buffer* b = node_buffer(pc->ia);
    if ((b->used() >> 4) < pc->target) QFAIL();
    base = b->cells();
  }
  QNEXT();
q_end:
  *out = v;
  return QE_DONE;
q_callee: {
  const Cell* slot;
  QSLOT_A(slot, cell);
  if (!same_cell(*slot, pc->a->expect)) QFAIL();
  QNEXT();
}
q_const:
  v = pc->a->cell;
  QNEXT();
q_word: {
  const Cell* slot;
  QSLOT_A(slot, cell);
  TypeId t = slot->type();
  if (t == TYPE_UNSET || t == TYPE_OP || is_callable(t)) QFAIL();
  v = *slot;
  QNEXT();
}
q_tail: {
  const Cell* after;
  QSLOT_A(after, expect);
  if (after->is(TYPE_OP)) QFAIL();
  QNEXT();
}
q_nconst:
  if (pc->fop) held[below++] = acc;
  num_load(pc->a->cell, &acc);
  QNEXT();
q_nword: {
  if (pc->fop) held[below++] = acc;
  const Cell* slot;
  QSLOT_A(slot, cell);
  if (!num_load(*slot, &acc)) QFAIL();
  QNEXT();
}
q_opconst: {
  const Node& op = *pc->a;
  QOP_CHECK(op);
  if (!num_op(op.arity, acc, pc->b->cell)) QFAIL();
  QNEXT();
}
q_opword: {
  const Node& op = *pc->a;
  QOP_CHECK(op);
  const Cell* r;
  QSLOT_B(r);
  if (!num_op(op.arity, acc, *r)) QFAIL();
  QNEXT();
}
q_nwopk: {
  if (pc->fop) held[below++] = acc;
  const Node& op = *pc->a;
  QOP_CHECK(op);
  const Cell* w;
  QSLOT_B(w);
  if (!num_load(*w, &acc) || !num_op(op.arity, acc, op.kid[0]->cell)) QFAIL();
  QNEXT();
}
q_wopk: {
  const Node& op = *pc->a;
  QOP_CHECK(op);
  const Cell* w;
  QSLOT_B(w);
  const Cell& k = op.kid[0]->cell;
  TypeId t = w->type();
  // Two integers, or two chars compared: no number to load.
  if (t == k.type() && (t == TYPE_INTEGER || (t == TYPE_CHAR && op.arity >= FOP_EQ))) [[likely]] {
    IntResult z = int_op(op.arity, w->i2(), k.i2());
    if (z.ok) [[likely]] {
      v = z.logic ? logic_cell(z.value != 0) : integer_cell(z.value);
      QNEXT();
    }
  }
  Num n;
  if (!num_load(*w, &n) || !num_op(op.arity, n, k)) QFAIL();
  v = num_cell(n);
  QNEXT();
}
q_direct:
  if (!direct_read(f, *pc->a, &v, 1)) QFAIL();
  QNEXT();
q_oppop: {
  const Node& op = *pc->a;
  QOP_CHECK(op);
  Cell r = num_cell(acc);
  acc = held[--below];
  if (!num_op(op.arity, acc, r)) QFAIL();
  QNEXT();
}
q_nvalue:
  v = num_cell(acc);
  if (below) acc = held[--below];
  QNEXT();
q_nreload:
  if (!num_load(num_cell(acc), &acc)) QFAIL();
  QNEXT();
q_unchanged: {
  const Sub& s = f.subs[pc->target];
  NodeId node = s.cell.node();
  if (!unchanged(node, s.head, s.len, s.stamp, f.sub_cells.data() + s.cells)) QFAIL();
  QNEXT();
}
q_typeset:
  if (!func::typeset_has(f.typesets[pc->a->typesets], v.type())) QFAIL();
  QNEXT();
q_either:
  if (!truthy(v)) QGO(pc->target);
  QNEXT();
q_ifnot:
  if (truthy(v) != (pc->fop != 0)) QGO(pc->target);
  QNEXT();
q_jump:
  QGO(pc->target);
q_none:
  v = none_cell();
  QNEXT();
q_several:
  if constexpr (Pass) QFAIL();
  *several = &f.subs[pc->target];
  *out = v;
  return QE_SEVERAL;
q_short:
  if (truthy(v) == (pc->fop != 0)) {
    if (!pc->fop) v = none_cell();
    QGO(pc->target);
  }
  QNEXT();
q_conds_end:
  if (pc->fop) v = none_cell();
  QNEXT();
q_store: {
  const Node& k = *pc->a;
  // An operator stored would undo what a check before the passes found
  // (see hoist_checks): the general way stores it.
  if (v.is(TYPE_UNSET) || v.is(TYPE_OP)) QFAIL();
  const Cell* slot;
  QSLOT_A(slot, cell);
  if ((k.flags & F_STORE_OBJECT) && !quiet_object_store(k.cell.w1, k.cell.w3)) QFAIL();
  *const_cast<Cell*>(slot) = v;
  QNEXT();
}
q_continue:
  v = unset_cell();
  continued = true;
q_pass:
  if constexpr (Pass) {
    *st->result = v;
    if (st->until) {
      if (!continued) {
        if (v.is(TYPE_UNSET)) return QE_PASSED;
        if (truthy(v)) return QE_DONE;
      }
      continued = false;
    } else if (st->series) {
      // foreach's step (foreach_next), before the check for Ctrl+C as there.
      Cell* it = st->series;
      Buffer* b = node_buffer(it->node());
      uint32_t i = it->index() < 0 ? 0 : uint32_t(it->index());
      if (i >= b->length()) return QE_DONE;
      if (st->kind == ElemKind::CHARS) [[likely]]
        *st->slot = char_cell(get_char(b->head_ptr() + (size_t(i) << b->unit_shift()), b->unit()));
      else if (st->kind == ElemKind::CELLS)
        *st->slot = b->cells()[i];
      else
        *st->slot = integer_cell(b->head_ptr()[i]);
      it->w1 = i + 1;
      // The pass then runs the general way, which looks at the word again.
      if (st->watch_op && st->slot->is(TYPE_OP)) [[unlikely]]
        return QE_STOP;
    } else {
      if (st->counter >= st->last) return QE_DONE;
      st->counter++;
    }
    // Ctrl+C is taken where a body's run takes it, before the pass.
    if (platform::g_interrupt_pending.load(std::memory_order_relaxed)) [[unlikely]]
      return QE_STOP;
    if (st->slot && !st->series) *st->slot = integer_cell(int32_t(st->counter));
    QGO(pc->target);
  }
  QFAIL();
q_break:
  if constexpr (Pass) {
    *st->result = unset_cell();
    return QE_BREAK;
  }
  QFAIL();
q_rest:
  if constexpr (Pass) st->at = uint32_t(pc - prog);
  return QE_REST;
q_enter:
  if constexpr (Pass) {
    st->conds[pc->fop] = v;
    QNEXT();
  }
  QFAIL();
q_range: {
  const Cell* w;
  QSLOT_B(w);
  const Node& lo = *pc->a;
  const Node& hi = f.nodes[pc->ia];
  const Cell& k = lo.kid[0]->cell;
  if (w->type() != k.type()) [[unlikely]]
    QNEXT();
  // Comparisons of two integers or two chars always answer.
  bool in = int_op(lo.arity, w->i2(), k.i2()).value && int_op(hi.arity, w->i2(), hi.kid[0]->cell.i2()).value;
  v = in ? logic_cell(true) : none_cell();
  QGO(pc->target);
}
q_test:
  if constexpr (Pass) {
    // while's test: an unset value (its error), and the body's check for
    // Ctrl+C, left to the loop.
    *st->result = v;
    if (v.is(TYPE_UNSET)) return QE_PASSED;
    if (!truthy(v)) return QE_DONE;
    if (platform::g_interrupt_pending.load(std::memory_order_relaxed)) [[unlikely]]
      return QE_PASSED;
    QNEXT();
  }
  QFAIL();
#undef QNEXT
#undef QGO
#undef QFAIL
}

template QuickEnd run_quick_t<false>(const Form& f, const QOp* prog, Cell* out, const Sub** several,
                                     PassState* st);

#undef QSLOT_A
#undef QSLOT_B
#undef QOP_CHECK

}  // namespace detail

namespace {

// The word an op reads through a (through b): its node's values series and
// the word; false when it reads none.
bool op_word(const QOp& q, bool b, NodeId* values, const Cell** word) {
  const Node* n = b ? q.b : q.a;
  switch (q.code) {
    case Q_OPWORD:
    case Q_NWOPK:
    case Q_WOPK:
      break;
    case Q_RANGE:
      if (!b) return false;
      break;
    case Q_CALLEE:
    case Q_WORD:
    case Q_NWORD:
    case Q_OPCONST:
    case Q_OPPOP:
    case Q_STORE:
    case Q_TAIL:
      if (b) return false;
      break;
    default:
      return false;
  }
  *values = n->values;
  *word = q.code == Q_TAIL ? &n->expect : &n->cell;
  return *values != 0 && (*word)->i3() >= 0;
}

// The program's words in the values series most of them read are read
// from its cells found once, at the start (nothing a program does can
// move or shrink a series).
void use_base(std::vector<QOp>& prog) {
  NodeId best = 0;
  uint32_t best_count = 0;
  for (const QOp& q : prog)
    for (int b = 0; b < 2; b++) {
      NodeId values;
      const Cell* w;
      if (!op_word(q, b, &values, &w) || values == best) continue;
      uint32_t count = 0;
      for (const QOp& r : prog)
        for (int rb = 0; rb < 2; rb++) {
          NodeId rv;
          const Cell* rw;
          if (op_word(r, rb, &rv, &rw) && rv == values) count++;
        }
      if (count > best_count) {
        best = values;
        best_count = count;
      }
    }
  if (best_count < 2) return;
  uint32_t need = 0;
  for (QOp& q : prog)
    for (int b = 0; b < 2; b++) {
      NodeId values;
      const Cell* w;
      if (!op_word(q, b, &values, &w) || values != best) continue;
      uint32_t i = uint32_t(w->i3());
      if (b) {
        q.flags |= QF_B;
        q.ib = i;
      } else {
        q.flags |= QF_A;
        q.ia = i;
      }
      if (i + 1 > need) need = i + 1;
    }
  prog[0].ia = best;
  prog[0].target = need;
}

}  // namespace

namespace detail {

// The programs of a form's top-level frameless shapes: those the runs at
void make_quick(Form& f) {
  static std::vector<QOp> all;
  static std::vector<QOp> one;
  f.quick_made = true;
  all.clear();
  for (uint32_t i = 0; i < f.nodes.n; i++) {
    Node& n = f.nodes[i];
    if (!(n.flags & F_PURE)) continue;
    if (n.kind != K_CALL && n.kind != K_SET_WORD && n.kind != K_EXPR) continue;
    one.clear();
    QuickEmitter e{f, one};
    e.emit(Q_BASE);
    bool ok = n.kind == K_CALL ? e.call(n, 0, true) : e.expr(n, 0);
    if (!ok || one.size() >= QUICK_MAX) continue;
    e.emit(Q_END);
    use_base(one);
    uint32_t base = uint32_t(all.size());
    all.insert(all.end(), one.begin(), one.end());
    n.quick = base + 1;
  }
  mark_stepped(f);
  if (all.empty()) return;
  f.quick = static_cast<QOp*>(::operator new(all.size() * sizeof(QOp)));
  std::memcpy(static_cast<void*>(f.quick), all.data(), all.size() * sizeof(QOp));
  f.quick_len = uint32_t(all.size());
  // Counted towards the next collection as the form's own bytes are; the
  // collection itself waits for the next allocation.
  g_mem.allocated_since_gc += f.quick_len * sizeof(QOp);
}

}  // namespace detail

namespace {

// --- a loop body's passes in one program ---------------------------------------------
//
// A counting loop whose body's expressions have programs runs its passes
// in one program: the expressions' steps one after the other, then a step
// that ends the pass (Q_PASS: its value to the loop's result cell, the
// counter up and into repeat's word, back to the first step). continue
// and break there end the pass and the loop. Nothing a pass does calls
// out, allocates or moves a series, so the program runs pass after pass
// without looking again at what the loop native, the block's run or the
// first step (Q_BASE) found. A check that fails ends the run at the
// expression it belongs to, the expressions before it done: the general
// way takes the pass up from there, as a body's run does after its
// frameless prefix. An expression without a program hands the rest of
// each pass to the general way (Q_REST).

constexpr uint32_t NO_PASS = UINT32_MAX;
// The checks of a pass program that no pass can make fail, moved before
// the passes (after Q_BASE): a literal block unchanged, the word after an
// expression no operator (no store makes one), and the callee or operator
// a word holds when no store of the program is into that word (the loop's
// own word is stored before these checks run). A check that fails there
// leaves the pass to the general way before anything of it ran. Jumps and
// marks follow their steps.
void hoist_checks(std::vector<QOp>& prog, std::vector<PassMark>& marks) {
  auto stored = [&](const Cell& w) {
    for (const QOp& q : prog)
      if (q.code == Q_STORE && q.a->cell.w1 == w.w1 && q.a->cell.w3 == w.w3) return true;
    return false;
  };
  std::vector<QOp> before{prog[0]};
  std::vector<uint8_t> drop(prog.size(), 0);
  for (size_t i = 1; i < prog.size(); i++) {
    QOp& q = prog[i];
    switch (q.code) {
      case Q_UNCHANGED:
      case Q_TAIL:
        before.push_back(q);
        drop[i] = 1;
        break;
      case Q_CALLEE:
        if (!stored(q.a->cell)) {
          before.push_back(q);
          drop[i] = 1;
        }
        break;
      case Q_OPCONST:
      case Q_OPWORD:
      case Q_OPPOP:
      case Q_NWOPK:
      case Q_WOPK:
        if (!stored(q.a->cell)) {
          before.push_back(QOp{Q_CALLEE, 0, 0, 0, 0, 0, q.a, nullptr});
          q.flags |= QF_OP_KNOWN;
        }
        break;
      default:
        break;
    }
  }
  // at[i]: the new index of step i, or of the first kept step after it.
  std::vector<uint32_t> at(prog.size() + 1);
  uint32_t k = uint32_t(before.size());
  for (size_t i = 1; i < prog.size(); i++) {
    at[i] = k;
    if (!drop[i]) k++;
  }
  at[prog.size()] = k;
  std::vector<QOp> out = before;
  for (size_t i = 1; i < prog.size(); i++) {
    if (drop[i]) continue;
    QOp q = prog[i];
    switch (q.code) {
      case Q_EITHER:
      case Q_IFNOT:
      case Q_JUMP:
      case Q_SHORT:
      case Q_RANGE:
        q.target = at[q.target];
        break;
      case Q_PASS:
      case Q_CONTINUE:
        q.target = uint32_t(before.size());
        break;
      default:
        break;
    }
    out.push_back(q);
  }
  for (PassMark& m : marks) m.step = at[m.step];
  prog.swap(out);
}

// The statements of a block whose expressions are top (from head to len),
// laid out one after the other, each after its mark; true when the general
// way or a signal ends every pass there.
bool lay_statements(QuickEmitter& e, const int32_t* top, uint32_t head, uint32_t len, bool in_cond) {
  std::vector<QOp>& prog = e.out;
  std::vector<PassMark>& marks = *e.marks;
  for (uint32_t p = head; p < len;) {
    int32_t x = top[p - head];
    uint32_t start = uint32_t(prog.size());
    marks.push_back(PassMark{start, p, QuickEmitter::NO_PARENT, 0, nullptr, nullptr, in_cond});
    uint32_t mine = uint32_t(marks.size() - 1);
    if (x < 0) {
      e.emit(Q_REST);
      return true;
    }
    const Node& k = e.f.nodes[uint32_t(x)];
    QCode exit;
    if (const Node* c = e.exits ? exit_call(k, &exit) : nullptr) {
      e.emit(Q_CALLEE, c);
      e.emit(exit, nullptr, nullptr, 0, 1);
      return true;
    }
    e.mark = mine;
    bool ok = e.statement(k, 0) && prog.size() < QUICK_MAX;
    if (!ok) {
      prog.resize(start);
      marks.resize(mine + 1);
      e.nums = 0;
      e.emit(Q_REST);
      return true;
    }
    p = k.end;
  }
  return false;
}

// Lays out the pass program of the block whose expressions are top (from
// head to len), after while's condition block when cond is given, into
// f's pass programs: its number plus 1, or NO_PASS when its first
// expression has no program.
uint32_t make_pass(Form& f, const int32_t* top, uint32_t head, uint32_t len, const Sub* cond = nullptr) {
  static std::vector<QOp> prog;
  static std::vector<PassMark> marks;
  prog.clear();
  marks.clear();
  QuickEmitter e{f, prog};
  e.marks = &marks;
  e.emit(Q_BASE);
  // continue and break in while's condition are errors the general way
  // raises.
  bool ended = false;
  if (cond) {
    ended = lay_statements(e, &f.sub_top[cond->top], cond->head, cond->len, true);
    if (!ended) e.emit(Q_TEST);
  }
  e.exits = true;
  if (!ended) ended = lay_statements(e, top, head, len, false);
  // Only a body whose first expression runs here gains from the program.
  if (marks.empty() || prog[1].code == Q_REST) return NO_PASS;
  if (!ended) e.emit(Q_PASS, nullptr, nullptr, 0, 1);
  hoist_checks(prog, marks);
  use_base(prog);
  if (!f.passes) f.passes = new PassPrograms;
  PassPrograms& pp = *f.passes;
  uint32_t ops = uint32_t(pp.ops.size());
  // Jumps are by step index from the program's start; they stay so.
  pp.ops.insert(pp.ops.end(), prog.begin(), prog.end());
  pp.progs.push_back(PassProgram{ops, uint32_t(pp.marks.size()), uint32_t(marks.size()), cond != nullptr});
  // Holders by their index among all the form's marks.
  for (PassMark& m : marks)
    if (m.parent != QuickEmitter::NO_PARENT) m.parent += uint32_t(pp.marks.size());
  pp.marks.insert(pp.marks.end(), marks.begin(), marks.end());
  g_mem.allocated_since_gc += prog.size() * sizeof(QOp);
  return uint32_t(pp.progs.size());
}

// The store of repeat's counter into its word, found once for a run of
// passes: the word's value cell when the loop's store is that store alone
// (a context without change handling, or one whose change flag is then
// set, as assign_word sets it); null when it must go the general way.
Cell* counter_slot(const Cell& word) {
  Cell w = word;
  w.set_type(TYPE_WORD);
  Cell* slot = word_slot(w);
  if (!slot) return nullptr;
  NodeId ctx = w.w1;
  if (context::kind(ctx) != context::KIND_OBJECT || context::is_stack(ctx)) return slot;
  return quiet_object_store(ctx, w.w3) ? slot : nullptr;
}

// The checks made once before the passes that read the loop's word, which
// the loop stores into at every pass: Q_CALLEE when one looks for a callee
// or an operator there, Q_TAIL when one looks only that no operator is
// there, Q_END when none reads it.
QCode checks_loop_word(const PassPrograms& pp, const PassProgram& prog, const Cell& word) {
  const QOp* q = &pp.ops[prog.ops];
  uint32_t first = pp.marks[prog.marks].step;
  uint32_t sym = symbol::resolve(word.w2);
  QCode found = Q_END;
  for (uint32_t i = 1; i < first; i++) {
    if (q[i].code != Q_CALLEE && q[i].code != Q_TAIL) continue;
    const Cell& w = q[i].code == Q_TAIL ? q[i].a->expect : q[i].a->cell;
    if ((w.w1 == word.w1 && w.w3 == word.w3) || symbol::resolve(w.w2) == sym) {
      if (q[i].code == Q_CALLEE) return Q_CALLEE;
      found = Q_TAIL;
    }
  }
  return found;
}

}  // namespace

namespace detail {

// Passes of the body whose expressions are top, from p.counter on (foreach:
// its element taken), through its pass program (slot: where its number is
// kept).
PassEnd run_pass_program(Form& f, uint32_t& slot, const int32_t* top, uint32_t head, uint32_t len, Passes& p,
                         const Sub* cond) {
  if (!slot) slot = make_pass(f, top, head, len, cond);
  if (slot == NO_PASS) return PassEnd::NEVER;
  if (platform::g_interrupt_pending.load(std::memory_order_relaxed)) [[unlikely]]
    return PassEnd::BEFORE;
  const PassPrograms& pp = *f.passes;
  const PassProgram& prog = pp.progs[slot - 1];
  if (prog.with_cond != (cond != nullptr)) return PassEnd::NEVER;
  PassState st{nullptr, p.counter, p.last, p.result, 0, p.series, ElemKind::NONE};
  st.until = p.until;
  if (p.word) {
    // A counter or a char is never an operator; an element of a block
    // may be one (see Q_PASS).
    QCode read = checks_loop_word(pp, prog, *p.word);
    if (read == Q_CALLEE) return PassEnd::NEVER;
    st.watch_op = read == Q_TAIL;
    st.slot = counter_slot(*p.word);
    if (!st.slot) return PassEnd::NEVER;
    if (p.series) st.kind = elem_kind(p.series->type());
    else *st.slot = integer_cell(int32_t(p.counter));
  }
  Cell v;
  QuickEnd e = run_quick_t<true>(f, &pp.ops[prog.ops], &v, nullptr, &st);
  p.counter = st.counter;
  switch (e) {
    case QE_DONE: return PassEnd::END;
    case QE_BREAK: return PassEnd::BREAK;
    case QE_PASSED: return PassEnd::PASSED;
    case QE_FAIL:
    case QE_REST: {
      // At the expression the step belongs to; before the first, nothing
      // of the pass ran.
      const PassMark* marks = &pp.marks[prog.marks];
      if (st.at < marks[0].step) return PassEnd::BEFORE;
      uint32_t i = 0;
      while (i + 1 < prog.nmarks && marks[i + 1].step <= st.at) i++;
      const PassMark* m = &marks[i];
      if (m->depth == 0) {
        p.pos = m->pos;
        p.mark = 0;
        p.in_cond = m->in_cond;
        // At the first statement nothing of the pass ran.
        return m->pos == marks[0].pos && m->in_cond == marks[0].in_cond ? PassEnd::BEFORE : PassEnd::REST;
      }
      // Inside blocks of calls: the conditions they were chosen by.
      for (uint32_t d = 0; d < m->depth; d++) p.conds[d] = st.conds[d];
      while (m->depth > 0) m = &pp.marks[m->parent];
      p.pos = m->pos;
      p.in_cond = m->in_cond;
      p.mark = prog.marks + i + 1;
      return PassEnd::REST;
    }
    default: return PassEnd::BEFORE;
  }
}

}  // namespace detail

}  // namespace vel::interp
