// Compiled forms of blocks: the compiler, which makes a block's form from
// its cells and the current values of its words, and the table of forms
// (made, kept by block, freed when their block dies or changes).
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

#include "action_frames.h"
#include "collector.h"
#include "datatypes/core_words.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "evaluator/arith.h"
#include "evaluator/compiled_form.h"
#include "evaluator/interp_detail.h"
#include "families.h"
#include "memory.h"
#include "roots.h"

namespace vel::interp {

using namespace detail;

namespace {

// A block compiled this many times (it keeps changing) stays with the walker.
constexpr uint32_t MAX_GENERATIONS = 8;

// Literal blocks compiled in place inside each other, at most.
constexpr uint32_t MAX_SUB_DEPTH = 8;

// A form's arrays while the compiler adds to them (the same names as in
// Form), and the compiler's scratch space. One draft is reused from
// compile to compile, so its vectors keep their capacity.
struct Draft {
  std::vector<Cell> snapshot;
  std::vector<Node> nodes;
  std::vector<uint32_t> kids;
  std::vector<int32_t> expr_at;
  std::vector<Cell> typesets;
  std::vector<PathRef> refs;
  std::vector<Cell> path_cells;
  std::vector<Cell> held;
  std::vector<Sub> subs;
  std::vector<Cell> sub_cells;
  std::vector<int32_t> sub_top;
  std::vector<uint32_t> choices;
  // Scratch: a literal block's cells and expressions, one pair per depth
  // of blocks compiled in place (sub at depth d uses level d + 1, and
  // finishes before the next sub at depth d starts); a path's elements.
  std::vector<Cell> sub_snap[MAX_SUB_DEPTH + 1];
  std::vector<int32_t> sub_tops[MAX_SUB_DEPTH + 1];
  std::vector<Cell> path_elems;

  void clear() {
    snapshot.clear();
    nodes.clear();
    kids.clear();
    expr_at.clear();
    typesets.clear();
    refs.clear();
    path_cells.clear();
    held.clear();
    subs.clear();
    sub_cells.clear();
    sub_top.clear();
    choices.clear();
  }
};

// The node numbers of an expression's children while it is compiled: on
// the machine stack up to a handful, as nearly all are.
class IdList {
 public:
  IdList() = default;
  IdList(std::initializer_list<uint32_t> ids) {
    for (uint32_t id : ids) push_back(id);
  }
  IdList(const IdList&) = delete;
  IdList& operator=(const IdList&) = delete;
  void push_back(uint32_t id) {
    if (n_ < INLINE) inline_[n_] = id;
    else {
      if (n_ == INLINE) more_.assign(inline_, inline_ + INLINE);
      more_.push_back(id);
    }
    n_++;
  }
  size_t size() const { return n_; }
  const uint32_t* begin() const { return n_ <= INLINE ? inline_ : more_.data(); }
  const uint32_t* end() const { return begin() + n_; }
  uint32_t operator[](size_t i) const { return begin()[i]; }

 private:
  static constexpr uint32_t INLINE = 8;
  uint32_t inline_[INLINE];
  uint32_t n_ = 0;
  std::vector<uint32_t> more_;
};

}  // namespace

namespace detail {

std::vector<Form*> g_forms{nullptr};  // by id; id 0 is none
uint64_t g_forms_released = 1;
std::vector<uint32_t> g_free_ids;
// VEL_COMPILE=eager compiles every block on its first evaluation, so that a
// test run takes the compiled path everywhere; VEL_COMPILE=walker compiles
// none, so that the differential test has the walker's answers to compare.
bool g_eager = false;
bool g_walker_only = false;
// VEL_COMPILE=verify (with eager, VEL_COMPILE=eager,verify) keeps each
// form's cells and stops the process when a block's cells differ from them
// under an unchanged stamp: a writer that forgot to bump it.
bool g_verify = false;

void verify_unchanged(NodeId node, uint32_t head, uint32_t len, const Cell* snap) {
  Buffer* b = node_buffer(node);
  uint32_t now_len = b->used() >> 4;
  if (now_len != len) {
    std::fprintf(stderr, "compiled forms: block %u changed length under an unchanged stamp: %u, was %u\n", unsigned(node),
                 unsigned(now_len), unsigned(len));
    std::abort();
  }
  const Cell* now = b->cells() + head;
  for (uint32_t i = 0; i < len - head; i++)
    if (std::memcmp(now + i, snap + i, sizeof(Cell)) != 0) {
      std::fprintf(stderr, "compiled forms: block %u changed under an unchanged stamp at %u: %08x %08x %08x %08x, was %08x %08x %08x %08x\n",
                   unsigned(node), unsigned(i), now[i].header, now[i].w1, now[i].w2, now[i].w3, snap[i].header, snap[i].w1,
                   snap[i].w2, snap[i].w3);
      std::abort();
    }
}

// The forms running now, innermost last: g_running[0, g_forms_top). A run
// takes its entry back on the way out; stack_restore drops the entries of
// the runs an error unwound, so no cleanup waits in the runner's frames.
std::vector<Form*> g_running;

bool is_running(const Form* f) {
  for (uint32_t i = 0; i < g_forms_top && i < g_running.size(); i++)
    if (g_running[i] == f) return true;
  return false;
}

}  // namespace detail

namespace {

// ---------------------------------------------------------------------------
// The compiler: one pass over the snapshot, asking the words' current
// values what each expression is.

struct Compiler {
  Draft& f;
  const Cell* cells;  // the snapshot, indexed by block position - head
  uint32_t head, len;
  uint32_t depth;     // of literal blocks compiled in place
  uint32_t nesting = 0;  // of expressions inside expressions
  // Words met without a value (the walker's to read): a loop body that
  // holds them was compiled before its loop set its words.
  uint32_t unset_words = 0;

  static constexpr uint32_t MAX_DEPTH = MAX_SUB_DEPTH;
  // Deeper expressions are left to the walker, whose stacks bound them.
  static constexpr uint32_t MAX_NESTING = 1000;

  // The expressions of a block from head to len, by position; the end
  // reached.
  may_gc uint32_t expressions(std::vector<int32_t>& top) {
    uint32_t p = head;
    while (p < len) {
      uint32_t e = expr(p, false);
      top[p - head] = int32_t(e);
      p = end_of(e);
      if (p == NO_END) break;
    }
    return p;
  }

  // A literal block compiled in place: its index in Form::subs, or -1.
  // blk is a copy: a cell of f.nodes would move as compiling adds nodes.
  may_gc int32_t sub(Cell blk) {
    if (depth >= MAX_DEPTH) return -1;
    NodeId bn = blk.node();
    uint32_t blen = node_buffer(bn)->used() >> 4;
    uint32_t bhead = blk.index() < 0 ? 0 : uint32_t(blk.index());
    if (bhead >= blen) return -1;
    uint32_t stamp = series_stamp(bn);
    if (stamp == STAMP_WORN) return -1;
    std::vector<Cell>& snap = f.sub_snap[depth + 1];
    std::vector<int32_t>& top = f.sub_tops[depth + 1];
    snap.assign(node_buffer(bn)->cells() + bhead, node_buffer(bn)->cells() + blen);
    top.assign(blen - bhead, -1);
    Compiler c{f, snap.data(), bhead, blen, depth + 1};
    c.expressions(top);
    unset_words += c.unset_words;
    Sub s{blk, bhead, blen, uint32_t(f.sub_cells.size()), uint32_t(f.sub_top.size()), -1, stamp};
    s.library = node_buffer(bn)->flags & BUF_LIBRARY;
    if (top[0] >= 0 && end_of(uint32_t(top[0])) == blen) s.single = top[0];
    if (g_verify) f.sub_cells.insert(f.sub_cells.end(), snap.begin(), snap.end());
    f.sub_top.insert(f.sub_top.end(), top.begin(), top.end());
    f.subs.push_back(s);
    return int32_t(f.subs.size() - 1);
  }

  const Cell& at(uint32_t pos) const { return cells[pos - head]; }

  uint32_t add(const Node& n, const IdList& kids) {
    Node m = n;
    m.kids = uint32_t(f.kids.size());
    m.count = uint16_t(kids.size());
    f.kids.insert(f.kids.end(), kids.begin(), kids.end());
    f.nodes.push_back(m);
    return uint32_t(f.nodes.size() - 1);
  }
  uint32_t leaf(Kind kind, uint32_t pos, const Cell& cell, uint32_t end) {
    Node n{};
    n.kind = kind;
    n.start = pos;
    n.end = end;
    n.cell = cell;
    if (kind == K_WORD || kind == K_GET_WORD) n.values = values_of(cell);
    return add(n, {});
  }

  // The values series of a word's context when it is not a stack context:
  // made with the context and never replaced, so a node can keep it.
  static NodeId values_of(const Cell& w) {
    if (!w.w1 || w.i3() < 0) return 0;
    const Cell& cc = node_buffer(w.w1)->cells()[0];
    return (cc.header & context::STACK_VALUES) ? 0 : cc.w2;
  }
  uint32_t walk(uint32_t pos, uint32_t end) { return leaf(K_WALK, pos, at(pos), end); }
  uint32_t end_of(uint32_t node) const { return f.nodes[node].end; }

  // An expression: a term, then the operators the walker would apply.
  may_gc uint32_t expr(uint32_t pos, bool no_infix) {
    if (nesting >= MAX_NESTING) return walk(pos, NO_END);
    nesting++;
    uint32_t e = expr_at_depth(pos, no_infix);
    nesting--;
    return e;
  }

  may_gc uint32_t expr_at_depth(uint32_t pos, bool no_infix) {
    uint32_t t = term(pos);
    if (no_infix) return t;
    if (end_of(t) == NO_END) {
      if (f.nodes[t].kind == K_WALK) f.nodes[t].flags |= F_INFIX;
      return t;
    }
    IdList kids{t};
    uint32_t p = end_of(t);
    while (p < len && at(p).is(TYPE_WORD)) {
      const Cell* v = word_slot(at(p));
      if (!v || !v->is(TYPE_OP)) break;
      TypeId src = func::op_source_type(*v);
      if ((src != TYPE_NATIVE && src != TYPE_ACTION) || p + 1 >= len) break;
      Cell op = *v;
      f.held.push_back(op);
      uint32_t r = expr(p + 1, true);
      Node n{};
      n.kind = K_OP;
      n.start = p;
      n.end = end_of(r);
      n.cell = at(p);
      n.values = values_of(n.cell);
      n.expect = op;
      n.arity = fast_op(op);
      kids.push_back(add(n, {r}));
      p = end_of(r);
      if (p == NO_END) break;
    }
    bool word_follows = p != NO_END && p < len && at(p).is(TYPE_WORD);
    if (kids.size() == 1 && !word_follows) return t;
    if (kids.size() == 1 && f.nodes[t].kind == K_SET_WORD) {
      // The set-word looks at the word after it itself: its expression
      // already did, so only the store can have changed it.
      Node& sw = f.nodes[t];
      sw.flags |= F_TAIL_CHECK;
      sw.expect = at(p);
      sw.tail_values = values_of(sw.expect);
      return t;
    }
    Node n{};
    n.kind = K_EXPR;
    n.flags = word_follows ? F_TAIL_CHECK : 0;
    n.start = pos;
    n.end = p;
    if (word_follows) {
      // The word after the expression, looked up at run time.
      n.expect = at(p);
      n.values = values_of(n.expect);
    }
    // Operators between constants, words and parens of such operators
    // only: the runner may compute them without pushing (an op node's
    // operand is its child in f.kids).
    auto plain = [&](uint32_t k) {
      const Node& m = f.nodes[k];
      if (m.kind == K_CONST || m.kind == K_WORD) return true;
      // A paren holding one such chain.
      if (m.kind != K_PAREN || !m.refs || f.subs[m.refs - 1].single < 0) return false;
      const Node& e = f.nodes[uint32_t(f.subs[m.refs - 1].single)];
      return e.kind == K_EXPR && (e.flags & F_ARITH) && !(e.flags & F_TAIL_CHECK);
    };
    bool arith = kids.size() >= 2 && plain(t);
    bool parens = f.nodes[t].kind == K_PAREN;
    for (size_t j = 1; arith && j < kids.size(); j++) {
      uint32_t operand = f.kids[f.nodes[kids[j]].kids];
      arith = plain(operand);
      parens |= f.nodes[operand].kind == K_PAREN;
    }
    if (arith) n.flags |= parens ? F_ARITH | F_PARENS : F_ARITH;
    return add(n, kids);
  }

  may_gc uint32_t term(uint32_t pos) {
    Cell c = at(pos);
    switch (c.type()) {
      case TYPE_WORD: {
        const Cell* slot = word_slot(c);
        if (!slot) {
          unset_words++;
          return walk(pos, NO_END);
        }
        Cell v = *slot;
        TypeId t = v.type();
        if (t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE) return call(pos, v);
        if (t == TYPE_UNSET) unset_words++;
        if (t == TYPE_UNSET || t == TYPE_OP) return walk(pos, NO_END);
        return leaf(K_WORD, pos, c, pos + 1);
      }
      case TYPE_GET_WORD:
        return leaf(K_GET_WORD, pos, c, pos + 1);
      case TYPE_LIT_WORD:
        c.header = TYPE_WORD;
        return leaf(K_CONST, pos, c, pos + 1);
      case TYPE_LIT_PATH:
        c.header = TYPE_PATH;
        c.w3 = 0;
        return leaf(K_CONST, pos, c, pos + 1);
      case TYPE_PAREN: {
        c.set_type(TYPE_BLOCK);
        int32_t s = sub(c);
        uint32_t k = leaf(K_PAREN, pos, c, pos + 1);
        f.nodes[k].refs = uint32_t(s + 1);
        return k;
      }
      case TYPE_SET_WORD:
      case TYPE_SET_PATH: {
        if (pos + 1 >= len) return walk(pos, NO_END);
        uint32_t k = expr(pos + 1, false);
        Node n{};
        n.kind = c.is(TYPE_SET_WORD) ? K_SET_WORD : K_SET_PATH;
        n.start = pos;
        n.end = end_of(k);
        n.cell = c;
        if (n.kind == K_SET_WORD && c.w1 && c.i3() >= 0) {
          n.values = values_of(c);
          if (context::kind(c.w1) != context::KIND_OBJECT || context::is_stack(c.w1)) n.flags = F_STORE;
          else if (n.values) n.flags = F_STORE_OBJECT;
        }
        if (n.kind == K_SET_PATH) {
          // word/word: kept to store into an object's field directly.
          Buffer* pb = node_buffer(c.node());
          uint32_t first = c.index() < 0 ? 0 : uint32_t(c.index());
          if ((pb->used() >> 4) == first + 2 && pb->cells()[first].is(TYPE_WORD) && pb->cells()[first + 1].is(TYPE_WORD)) {
            n.values = values_of(pb->cells()[first]);
            n.path = uint32_t(f.path_cells.size());
            n.path_len = 2;
            f.path_cells.insert(f.path_cells.end(), pb->cells() + first, pb->cells() + first + 2);
          }
        }
        return add(n, {k});
      }
      case TYPE_PATH:
        return path_call(pos);
      case TYPE_GET_PATH:
        return walk(pos, pos + 1);
      case TYPE_OP:
      case TYPE_NATIVE:
      case TYPE_ACTION:
      case TYPE_FUNCTION:
      case TYPE_ROUTINE:
        return walk(pos, NO_END);
      case TYPE_ISSUE:
        // #system before a block is refused by the walker.
        if (pos + 1 < len && at(pos + 1).is(TYPE_BLOCK)) return walk(pos, pos + 1);
        return leaf(K_CONST, pos, c, pos + 1);
      default:
        return leaf(K_CONST, pos, c, pos + 1);
    }
  }

  // What the runner computes itself of a call of fn (an action made with
  // another spec keeps its id: its arity and refinements are checked).
  static uint8_t direct_of(const Cell& fn, uint32_t arity, uint16_t flags) {
    if (!fn.is(TYPE_ACTION)) return D_NONE;
    // find's refinements mean nothing to a bitset.
    if (fn.w1 == ACT_FIND) return arity == 2 ? D_FIND : D_NONE;
    if (flags & F_REFINEMENTS) return D_NONE;
    switch (fn.w1) {
      case ACT_TAIL_Q: return arity == 1 ? D_TAIL_Q : D_NONE;
      case ACT_PICK: return arity == 2 ? D_PICK : D_NONE;
      case ACT_MAKE: return arity == 2 ? D_MAKE : D_NONE;
      default: return D_NONE;
    }
  }

  // The callee's plain arguments: typesets, then one expression each.
  may_gc bool callee(Node& n, const Cell& fn) {
    Cell cache = args_cache(fn);
    uint32_t shape = cache.w3;
    if (!(shape & SHAPE_SIMPLE)) return false;
    n.expect = fn;
    n.arity = shape_arity(shape);
    n.locals = shape_locals(shape);
    n.cache = cache.node();
    n.flags = (fn.is(TYPE_FUNCTION) ? F_FUNCTION : 0) | ((shape & SHAPE_REFINEMENTS) ? F_REFINEMENTS : 0);
    n.typesets = uint32_t(f.typesets.size());
    for (uint32_t i = 0; i < n.arity; i++) f.typesets.push_back(node_buffer(n.cache)->cells()[i]);
    if (shape & SHAPE_REFINEMENTS) unused_cells(n);
    // An action made with another spec keeps its id: its frame is checked.
    n.append = fn.is(TYPE_ACTION) && fn.w1 == ACT_APPEND && n.arity == 2 && n.unused == 5 &&
               n.unused_logic == (act::append::SHAPE.refinements >> 2);
    f.held.push_back(fn);
    return true;
  }

  // The cells push_unused_refinements would push after n's arguments.
  static void unused_cells(Node& n) {
    Buffer* cb = node_buffer(n.cache);
    uint32_t count = 0, logic = 0;
    for (uint32_t i = n.arity, end = cb->used() >> 4; i < end; i++) {
      const Cell& e = cb->cells()[i];
      bool refinement = e.is(TYPE_REFINEMENT);
      if (!refinement && !(e.is(TYPE_TYPESET) && func::arg_mode(e) != func::ARG_RETURN)) continue;
      if (count == 32) {
        n.unused = NO_UNUSED;
        return;
      }
      if (refinement) logic |= 1u << count;
      count++;
    }
    n.unused = uint8_t(count);
    n.unused_logic = logic;
  }

  // Argument expressions from p, as many as given; the position after them.
  may_gc uint32_t arguments(uint32_t p, uint32_t count, IdList& kids) {
    for (uint32_t i = 0; i < count; i++) {
      if (p == NO_END || p >= len) return NO_END;
      uint32_t k = expr(p, false);
      kids.push_back(k);
      p = end_of(k);
    }
    return p;
  }

  // The arguments whose fast way (a constant; operators on numbers, which
  // give numbers or logic values) can only give what their typesets take.
  uint32_t known_arguments(const Node& n, const IdList& kids) const {
    uint32_t known = 0;
    for (uint32_t i = 0; i < kids.size() && i < 32; i++) {
      const Node& k = f.nodes[kids[i]];
      const Cell& ts = f.typesets[n.typesets + i];
      bool ok = k.kind == K_CONST ? func::typeset_has(ts, k.cell.type())
                                  : k.kind == K_EXPR && (k.flags & F_ARITH) && func::typeset_has(ts, TYPE_INTEGER) &&
                                        func::typeset_has(ts, TYPE_FLOAT) && func::typeset_has(ts, TYPE_LOGIC);
      if (ok) known |= 1u << i;
    }
    return known;
  }

  // An argument that is a literal block (its expression may end in a word
  // that the runner checks is still no operator): the block.
  bool literal_block(uint32_t k, Cell* out) const {
    const Node* m = &f.nodes[k];
    if (m->kind == K_EXPR && m->count == 1) m = &f.nodes[f.kids[m->kids]];
    if (m->kind != K_CONST || !m->cell.is(TYPE_BLOCK)) return false;
    *out = m->cell;
    return true;
  }

  // The loop natives the runner runs with their literal blocks in place:
  // the argument that is the body, and the condition block of while.
  static bool loop_blocks(const Cell& fn, int32_t* body, int32_t* cond) {
    *cond = -1;
    if (!fn.is(TYPE_NATIVE)) return false;
    switch (fn.w1) {
      case NAT_WHILE: *cond = 0; *body = 1; return true;
      case NAT_UNTIL:
      case NAT_FOREVER: *body = 0; return true;
      case NAT_LOOP: *body = 1; return true;
      case NAT_REPEAT:
      case NAT_FOREACH: *body = 2; return true;
      default: return false;
    }
  }

  // A loop native's call: its arguments (a leading literal argument taken
  // as the walker takes a word or block there), its blocks compiled in
  // place when they are literal.
  may_gc uint32_t loop_call(uint32_t pos, const Cell& fn, int32_t body, int32_t cond) {
    Cell cache = args_cache(fn);
    NodeId cn = cache.node();
    uint32_t entries = node_buffer(cn)->used() >> 4;
    Node n{};
    n.kind = K_CALL;
    n.flags = F_LOOP;
    n.start = pos;
    n.cell = at(pos);
    n.expect = fn;
    n.cache = cn;
    n.arity = entries;
    n.values = values_of(n.cell);
    n.typesets = uint32_t(f.typesets.size());
    bool lit = false;
    for (uint32_t i = 0; i < entries; i++) {
      Cell e = node_buffer(cn)->cells()[i];
      func::ArgMode mode = e.is(TYPE_TYPESET) ? func::arg_mode(e) : func::ARG_RETURN;
      if (mode == func::ARG_LIT && i == 0) lit = true;
      else if (mode != func::ARG_NORMAL) return walk(pos, NO_END);
      f.typesets.push_back(e);
    }
    IdList kids;
    uint32_t p = pos + 1;
    if (lit) {
      // Parens, get-words and get-paths there are evaluated: the walker's.
      if (p >= len) return walk(pos, NO_END);
      TypeId t = at(p).type();
      if (t == TYPE_PAREN || t == TYPE_GET_WORD || t == TYPE_GET_PATH || !func::typeset_has(f.typesets[n.typesets], t))
        return walk(pos, NO_END);
      kids.push_back(leaf(K_CONST, p, at(p), p + 1));
      p++;
    }
    n.end = arguments(p, entries - (lit ? 1 : 0), kids);
    n.known = known_arguments(n, kids);
    // A block whose words have no value yet (the loop's own word, mostly)
    // is left to run as a form of its own, made once they have one.
    Cell b;
    uint32_t before = unset_words;
    if (uint32_t(body) < kids.size() && literal_block(kids[uint32_t(body)], &b)) n.refs = uint32_t(sub(b) + 1);
    if (uint32_t(cond) < kids.size() && literal_block(kids[uint32_t(cond)], &b)) n.nrefs = uint32_t(sub(b) + 1);
    if (unset_words != before) n.refs = n.nrefs = 0;
    f.held.push_back(fn);
    return add(n, kids);
  }

  may_gc uint32_t call(uint32_t pos, const Cell& fn) {
    int32_t body, cond;
    if (loop_blocks(fn, &body, &cond)) return loop_call(pos, fn, body, cond);
    Node n{};
    n.kind = K_CALL;
    n.start = pos;
    n.cell = at(pos);
    if (!callee(n, fn)) return walk(pos, NO_END);
    n.values = values_of(n.cell);
    if (fn.is(TYPE_NATIVE) && fn.w1 == NAT_CONTINUE && n.arity == 0 && !(n.flags & F_REFINEMENTS))
      n.flags |= F_CONTINUE;
    n.direct = direct_of(fn, n.arity, n.flags);
    IdList kids;
    n.end = arguments(pos + 1, n.arity, kids);
    n.known = known_arguments(n, kids);
    // either, if and unless with literal blocks run the chosen one in place.
    bool branch = fn.is(TYPE_NATIVE) && !(n.flags & F_REFINEMENTS) && kids.size() == n.arity &&
                  ((fn.w1 == NAT_EITHER && n.arity == 3) || ((fn.w1 == NAT_IF || fn.w1 == NAT_UNLESS) && n.arity == 2));
    Cell blocks[2];
    for (uint32_t i = 1; branch && i < n.arity; i++) branch = literal_block(kids[i], &blocks[i - 1]);
    if (branch) {
      int32_t yes = sub(blocks[0]);
      int32_t no = n.arity == 3 ? sub(blocks[1]) : -1;
      if (yes >= 0 && (n.arity == 2 || no >= 0)) {
        n.flags |= F_BRANCH;
        n.refs = uint32_t(yes + 1);
        n.nrefs = uint32_t(no + 1);
      }
    }
    // any and all with a literal block run its expressions in place.
    bool conds = fn.is(TYPE_NATIVE) && !(n.flags & F_REFINEMENTS) && n.arity == 1 && kids.size() == 1 &&
                 (fn.w1 == NAT_ANY || fn.w1 == NAT_ALL) && literal_block(kids[0], &blocks[0]);
    if (conds) {
      int32_t s = sub(blocks[0]);
      if (s >= 0) {
        n.flags |= F_CONDS;
        n.refs = uint32_t(s + 1);
      }
    }
    // switch and case with a literal block: the blocks in it, and case's
    // expressions, run in place.
    bool choice = fn.is(TYPE_NATIVE) && (fn.w1 == NAT_SWITCH || fn.w1 == NAT_CASE) && kids.size() == n.arity;
    uint32_t at = fn.w1 == NAT_SWITCH ? 1 : 0;
    if (choice && at < kids.size() && literal_block(kids[at], &blocks[0])) choices(n, blocks[0], fn.w1 == NAT_CASE);
    return add(n, kids);
  }

  // The blocks inside a block of switch or case compiled in place (the
  // first few), and case's block as code.
  static constexpr uint32_t MAX_CHOICES = 32;
  may_gc void choices(Node& n, Cell blk, bool code) {
    if (code) {
      int32_t s = sub(blk);
      if (s < 0) return;
      n.refs = uint32_t(s + 1);
    }
    n.flags |= F_CHOICE;
    IdList found;
    NodeId bn = blk.node();
    uint32_t i = blk.index() < 0 ? 0 : uint32_t(blk.index());
    for (; i < (node_buffer(bn)->used() >> 4) && found.size() < MAX_CHOICES; i++) {
      Cell c = node_buffer(bn)->cells()[i];
      if (!c.is(TYPE_BLOCK)) continue;
      int32_t s = sub(c);
      if (s >= 0) found.push_back(uint32_t(s));
    }
    n.path = uint32_t(f.choices.size());
    n.path_len = uint32_t(found.size());
    f.choices.insert(f.choices.end(), found.begin(), found.end());
  }

  // A path whose head word names a function, followed by refinement words.
  may_gc uint32_t path_call(uint32_t pos) {
    Cell p = at(pos);
    NodeId pnode = p.node();
    uint32_t plen = node_buffer(pnode)->used() >> 4;
    uint32_t first = p.index() < 0 ? 0 : uint32_t(p.index());
    if (first >= plen || !node_buffer(pnode)->cells()[first].is(TYPE_WORD)) return walk(pos, NO_END);
    // The draft's scratch: nothing below compiles another path before the
    // last use of elems (the arguments come after it).
    std::vector<Cell>& elems = f.path_elems;
    elems.assign(node_buffer(pnode)->cells() + first, node_buffer(pnode)->cells() + plen);
    const Cell* slot = word_slot(elems[0]);
    if (!slot) return walk(pos, NO_END);
    Cell fn = *slot;
    // object/field[/refinement...] where the field holds a function: a
    // method call, checked as the walker would find it.
    uint32_t fn_at = 0;
    if (fn.is(TYPE_OBJECT) && elems.size() >= 2 && elems[1].is(TYPE_WORD)) {
      int32_t i = object::path_field(fn, elems[1]);
      const Cell* field = i < 0 ? nullptr : context::value_at(fn.w1, uint32_t(i));
      if (field && (field->is(TYPE_FUNCTION) || field->is(TYPE_NATIVE) || field->is(TYPE_ACTION))) {
        fn = *field;
        fn_at = 1;
      }
    }
    // A path through a value: its end is a guess the parent checks. A
    // word/word path through an object reads the field directly.
    if (!fn_at && !is_callable(fn.type())) {
      if (!fn.is(TYPE_OBJECT) || elems.size() != 2 || !elems[1].is(TYPE_WORD)) return walk(pos, pos + 1);
      Node n{};
      n.kind = K_PATH_GET;
      n.start = pos;
      n.end = pos + 1;
      n.cell = p;
      n.values = values_of(elems[0]);
      n.path = uint32_t(f.path_cells.size());
      n.path_len = 2;
      f.path_cells.insert(f.path_cells.end(), elems.begin(), elems.end());
      return add(n, {});
    }
    if (fn.is(TYPE_ROUTINE)) return walk(pos, NO_END);
    Node n{};
    n.kind = K_PATH_CALL;
    n.start = pos;
    n.cell = p;
    if (!callee(n, fn)) return walk(pos, NO_END);
    n.values = values_of(elems[0]);
    if (fn_at) n.flags |= F_METHOD;
    n.refs = uint32_t(f.refs.size());
    n.nrefs = uint32_t(elems.size() - 1 - fn_at);
    // Each refinement's logic cell in the frame, found as the walker finds
    // it; its arguments must be plain ones.
    NodeId cache = n.cache;
    uint32_t entries = node_buffer(cache)->used() >> 4;
    IdList used_slots;
    for (size_t k = 1 + fn_at; k < elems.size(); k++) {
      if (!elems[k].is(TYPE_WORD)) return walk(pos, NO_END);
      int32_t found_slot = -1;
      int32_t found = find_refinement(cache, symbol::resolve(elems[k].w2), &found_slot);
      if (found < 0) return walk(pos, NO_END);
      for (uint32_t u : used_slots)
        if (u == uint32_t(found_slot)) return walk(pos, NO_END);
      used_slots.push_back(uint32_t(found_slot));
      uint32_t nargs = 0;
      for (uint32_t i = uint32_t(found) + 1; i < entries; i++) {
        Cell e = node_buffer(cache)->cells()[i];
        if (!e.is(TYPE_TYPESET) || func::arg_mode(e) == func::ARG_RETURN) break;
        if (func::arg_mode(e) != func::ARG_NORMAL) return walk(pos, NO_END);
        f.typesets.push_back(e);
        nargs++;
      }
      f.refs.push_back(PathRef{uint32_t(found_slot), uint32_t(found), nargs});
    }
    n.path = uint32_t(f.path_cells.size());
    n.path_len = uint32_t(elems.size());
    f.path_cells.insert(f.path_cells.end(), elems.begin(), elems.end());
    uint32_t total = n.arity;
    for (uint32_t r = 0; r < n.nrefs; r++) total += f.refs[n.refs + r].nargs;
    IdList kids;
    n.end = arguments(pos + 1, total, kids);
    n.known = known_arguments(n, kids);
    return add(n, kids);
  }
};

// ---------------------------------------------------------------------------
// The table

// Freed form blocks by size, in steps of FORM_STEP bytes, for the next
// forms of that size: handed back to malloc one by one after a collection,
// they made it trim its heap with a system call every few frees.
constexpr size_t FORM_STEP = 64;
constexpr size_t FORM_CLASSES = 128;
constexpr size_t MAX_KEPT_FORM_BYTES = size_t(8) << 20;
struct FreeForm {
  FreeForm* next;
};
FreeForm* g_kept_forms[FORM_CLASSES];
size_t g_kept_form_bytes = 0;

void* form_block(size_t bytes) {
  size_t c = bytes / FORM_STEP;
  if (c < FORM_CLASSES && g_kept_forms[c]) {
    FreeForm* f = g_kept_forms[c];
    g_kept_forms[c] = f->next;
    g_kept_form_bytes -= bytes;
    return f;
  }
  return ::operator new(bytes);
}

void release(Form* f) {
  g_forms_released++;
  g_forms[f->id] = nullptr;
  g_free_ids.push_back(f->id);
  size_t bytes = f->bytes;
  ::operator delete(f->quick);
  delete f->passes;
  f->~Form();
  size_t c = bytes / FORM_STEP;
  if (c < FORM_CLASSES && g_kept_form_bytes + bytes <= MAX_KEPT_FORM_BYTES) {
    auto* k = reinterpret_cast<FreeForm*>(f);
    k->next = g_kept_forms[c];
    g_kept_forms[c] = k;
    g_kept_form_bytes += bytes;
  } else {
    ::operator delete(f);
  }
}

Draft g_draft;
bool g_drafting = false;  // g_draft is in use (a compile inside a compile takes its own)

// Marks the draft in use for one compile.
struct DraftUse {
  Draft* local = nullptr;
  Draft& d;
  DraftUse() : local(g_drafting ? new Draft : nullptr), d(local ? *local : g_draft) {
    if (!local) g_drafting = true;
    d.clear();
  }
  ~DraftUse() {
    if (local) delete local;
    else g_drafting = false;
  }
  DraftUse(const DraftUse&) = delete;
  DraftUse& operator=(const DraftUse&) = delete;
};

constexpr size_t PACK_ALIGN = 16;
inline size_t pack_round(size_t n) { return (n + PACK_ALIGN - 1) & ~(PACK_ALIGN - 1); }

template <class T>
size_t packed_bytes(const std::vector<T>& v) {
  static_assert(std::is_trivially_copyable_v<T> && alignof(T) <= PACK_ALIGN);
  return pack_round(v.size() * sizeof(T));
}

template <class T>
void pack(Packed<T>& to, const std::vector<T>& from, uint8_t*& at) {
  to.p = reinterpret_cast<T*>(at);
  to.n = uint32_t(from.size());
  if (!from.empty()) std::memcpy(at, from.data(), from.size() * sizeof(T));
  at += packed_bytes(from);
}

Room sub_room(const Form& f, uint32_t sub, uint32_t depth) {
  if (sub == 0 || sub > f.subs.size()) return Room{};
  const Sub& s = f.subs[sub - 1];
  // A native's frame and its own cells around the block it runs.
  return room_sum(block_room(f, &f.sub_top[s.top], s.len - s.head, depth + 1), Room{8, 4});
}

Room node_room(const Form& f, const Node& n, uint32_t size, uint32_t depth) {
  Room r{3, 2};
  switch (n.kind) {
    case K_WALK: {
      uint64_t cells = n.end == NO_END || n.end < n.start ? size : n.end - n.start;
      // The walker's terms, whatever they call: refinements and locals.
      r = room_sum(r, Room{room_add(64, cells * 4), room_add(16, cells * 2)});
      break;
    }
    case K_PAREN: r = room_sum(r, sub_room(f, n.refs, depth)); break;
    case K_PATH_CALL: r = room_sum(r, Room{room_add(72, uint64_t(n.arity) + n.locals), 4}); break;
    case K_CALL: {
      uint64_t unused = n.unused == NO_UNUSED ? 64 : n.unused;
      r = room_sum(r, Room{room_add(8, uint64_t(n.arity) + n.locals + unused), 4});
      Room blocks{};
      if (n.flags & (F_BRANCH | F_CONDS | F_LOOP)) blocks = room_max(sub_room(f, n.refs, depth), sub_room(f, n.nrefs, depth));
      if (n.flags & F_CHOICE) {
        blocks = sub_room(f, n.refs, depth);
        for (uint32_t i = 0; i < n.path_len; i++)
          blocks = room_max(blocks, sub_room(f, f.choices[n.path + i] + 1, depth));
      }
      r = room_sum(r, blocks);
      break;
    }
    default: break;
  }
  for (uint32_t i = 0; i < n.count; i++) r = room_sum(r, node_room(f, *n.kid[i], size, depth));
  return r;
}

Room block_room(const Form& f, const int32_t* top, uint32_t size, uint32_t depth) {
  // Literal blocks nest at most MAX_SUB_DEPTH deep; the guard is for safety.
  if (depth > MAX_SUB_DEPTH + 1) return Room{ROOM_LIMIT, ROOM_LIMIT};
  Room r{};
  for (uint32_t i = 0; i < size; i++)
    if (top[i] >= 0) r = room_max(r, node_room(f, f.nodes[uint32_t(top[i])], size, depth));
  // The expression's value above the result cell, and the frames of a
  // pass taken up by the general way.
  return room_sum(r, Room{4, 2});
}

// The form of a complete draft, in one block.
Form* pack_form(const Draft& d, bool keep_snapshot) {
  size_t bytes = pack_round(sizeof(Form)) + (keep_snapshot ? packed_bytes(d.snapshot) : 0) + packed_bytes(d.nodes) +
                 packed_bytes(d.kids) + pack_round(d.kids.size() * sizeof(const Node*)) + packed_bytes(d.expr_at) +
                 packed_bytes(d.typesets) + packed_bytes(d.refs) + packed_bytes(d.path_cells) + packed_bytes(d.held) +
                 packed_bytes(d.subs) + packed_bytes(d.sub_cells) + packed_bytes(d.sub_top) + packed_bytes(d.choices);
  static_assert(PACK_ALIGN <= __STDCPP_DEFAULT_NEW_ALIGNMENT__ && FORM_STEP % PACK_ALIGN == 0);
  bytes = (bytes + FORM_STEP - 1) & ~(FORM_STEP - 1);
  auto* block = static_cast<uint8_t*>(form_block(bytes));
  auto* f = new (block) Form;
  f->bytes = bytes;
  uint8_t* at = block + pack_round(sizeof(Form));
  if (keep_snapshot) pack(f->snapshot, d.snapshot, at);
  pack(f->nodes, d.nodes, at);
  pack(f->kids, d.kids, at);
  pack(f->expr_at, d.expr_at, at);
  pack(f->typesets, d.typesets, at);
  pack(f->refs, d.refs, at);
  pack(f->path_cells, d.path_cells, at);
  pack(f->held, d.held, at);
  pack(f->subs, d.subs, at);
  pack(f->sub_cells, d.sub_cells, at);
  pack(f->sub_top, d.sub_top, at);
  pack(f->choices, d.choices, at);
  // The nodes no longer move: link each to its children.
  f->links.p = reinterpret_cast<const Node**>(at);
  f->links.n = f->kids.n;
  for (uint32_t i = 0; i < f->kids.n; i++) f->links[i] = &f->nodes[f->kids[i]];
  for (uint32_t i = 0; i < f->nodes.n; i++) f->nodes[i].kid = f->links.data() + f->nodes[i].kids;
  Room r = block_room(*f, f->expr_at.data(), uint32_t(f->expr_at.size()), 0);
  f->room_cells = r.cells;
  f->room_frames = r.frames;
  return f;
}

// The shapes the frameless runs take, from the nodes alone: F_QUIET for
// constants, words, operator chains and any or all over such; F_PURE for
// those, stores of them, and either, if or unless with such a condition.
uint16_t pure_shape(const Form& f, const Node& n) {
  auto quiet = [](const Node& k) { return (k.flags & F_QUIET) != 0; };
  switch (n.kind) {
    case K_CONST:
    case K_WORD: return F_QUIET | F_PURE;
    case K_EXPR:
      if ((n.flags & F_ARITH) || (n.count == 1 && (n.kid[0]->kind == K_CONST || n.kid[0]->kind == K_WORD)))
        return F_QUIET | F_PURE;
      // A call that a word follows.
      if (n.count == 1 && n.kid[0]->kind == K_CALL) return n.kid[0]->flags & (F_QUIET | F_PURE);
      return 0;
    case K_SET_WORD: return (n.flags & (F_STORE | F_STORE_OBJECT)) && quiet(*n.kid[0]) ? F_PURE : 0;
    case K_CALL:
      if (n.flags & F_CONDS) {
        const Sub& s = f.subs[n.refs - 1];
        for (uint32_t p = s.head; p < s.len;) {
          int32_t e = f.sub_top[s.top + (p - s.head)];
          if (e < 0 || !quiet(f.nodes[uint32_t(e)])) return 0;
          p = f.nodes[uint32_t(e)].end;
        }
        return F_QUIET | F_PURE;
      }
      if (n.direct == D_TAIL_Q || n.direct == D_PICK || n.direct == D_FIND) {
        for (uint32_t i = 0; i < n.count; i++)
          if (!quiet(*n.kid[i])) return 0;
        return F_QUIET | F_PURE;
      }
      return (n.flags & F_BRANCH) && quiet(*n.kid[0]) ? F_PURE : 0;
    default: return 0;
  }
}

may_gc Form* compile(NodeId node, uint32_t head, uint32_t len, uint32_t generation) {
  if (generation >= MAX_GENERATIONS) {
    node_buffer(node)->spare = SPARE_NEVER;
    return nullptr;
  }
  uint32_t stamp = series_stamp(node);
  if (stamp == STAMP_WORN) {
    node_buffer(node)->spare = SPARE_NEVER;
    return nullptr;
  }
  Form* f;
  {
    DraftUse use;
    Draft& d = use.d;
    const Cell* cells = node_buffer(node)->cells();
    d.snapshot.assign(cells + head, cells + len);
    d.expr_at.assign(len - head, -1);
    Compiler c{d, d.snapshot.data(), head, len, 0};
    c.expressions(d.expr_at);
    int32_t single = d.expr_at[0] >= 0 && c.end_of(uint32_t(d.expr_at[0])) == len ? d.expr_at[0] : -1;
    f = pack_form(d, g_verify);
    f->single = single;
  }
  // Children come before their parents, and a block's nodes before the
  // call that holds it.
  for (uint32_t i = 0; i < f->nodes.n; i++) f->nodes[i].flags |= pure_shape(*f, f->nodes[i]);
  f->node = node;
  f->head = head;
  f->len = len;
  f->generation = generation;
  f->stamp = stamp;
  f->library = node_buffer(node)->flags & BUF_LIBRARY;
  if (g_free_ids.empty()) {
    f->id = uint32_t(g_forms.size());
    g_forms.push_back(f);
  } else {
    f->id = g_free_ids.back();
    g_free_ids.pop_back();
    g_forms[f->id] = f;
  }
  node_buffer(node)->spare = f->id;
  // Forms live outside the pools, and only a collection frees those of dead
  // blocks: their bytes count towards the next one, or a program that makes
  // and runs many blocks would pile forms up between collections.
  g_mem.allocated_since_gc += f->bytes;
  collector_run_if_enabled();
  return f;
}

}  // namespace

Form* valid_form(const Cell& block) { return form_now(block); }

may_gc Form* form_for(NodeId node, uint32_t head, uint32_t len) {
  Buffer* b = node_buffer(node);
  uint32_t sp = b->spare;
  if (sp - 1 < SPARE_SEEN - 1) [[likely]] {
    Form* f = g_forms[sp];
    if (f->head == head && f->len == len && !f->stale && unchanged(node, head, len, f->stamp, f->snapshot.data()))
      [[likely]]
      return with_programs(f);
    // The block changed (or the form keeps failing): make it again. A
    // form still running stays until the collector finds it unused.
    uint32_t generation = f->generation + 1;
    b->spare = 0;
    if (!is_running(f)) release(f);
    return compile(node, head, len, generation);
  }
  if (g_walker_only) return nullptr;
  if (sp == 0 && !g_eager) {
    b->spare = SPARE_SEEN;
    return nullptr;
  }
  if (sp == SPARE_SEEN || sp == 0) return compile(node, head, len, 0);
  return nullptr;
}

void forms_init() {
  const char* e = std::getenv("VEL_COMPILE");
  g_eager = e && std::string_view(e) == "eager";
  g_walker_only = e && std::string_view(e) == "walker";
  g_verify = e && std::string_view(e).find("verify") != std::string_view::npos;
  if (e && std::string_view(e).find("eager") != std::string_view::npos) g_eager = true;
}

void forms_mark(uint32_t spare, void (*visit)(Cell* cells, size_t count)) {
  if (spare - 1 >= SPARE_SEEN - 1 || spare >= g_forms.size()) return;
  Form* f = g_forms[spare];
  if (f && !f->held.empty()) visit(f->held.data(), f->held.size());
}

void forms_sweep() {
  for (uint32_t i = 0; i < g_forms_top && i < g_running.size(); i++) g_running[i]->running = true;
  for (uint32_t id = 1; id < g_forms.size(); id++) {
    Form* f = g_forms[id];
    if (!f) continue;
    if (f->running) {
      f->running = false;
      continue;
    }
    NodeId n = f->node;
    bool live = node_pool_of(n) && g_node_slots[n] && !node_is_free_link(g_node_slots[n]) &&
                node_buffer(n)->spare == id;
    if (!live) release(f);
  }
}

size_t forms_live() { return g_forms.size() - 1 - g_free_ids.size(); }

}  // namespace vel::interp
