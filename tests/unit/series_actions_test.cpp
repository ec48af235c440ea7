// The series! actions through the action table, on blocks, strings and
// binaries: position clamping, element access, edits and the copy and take
// workers.
#include <gtest/gtest.h>

#include <climits>

#include "block_test_util.h"
#include "datatypes/core_words.h"
#include "datatypes/series_actions.h"
#include "hashtable.h"
#include "unicode.h"

using namespace vel;
using namespace vel::blocktest;

namespace {

// The whole block from its head, whatever its index.
std::string whole(Cell b) {
  b.w1 = 0;
  return molded(b);
}

Cell ucs2_text(std::initializer_list<uint16_t> cps) {
  NodeId n = alloc_series_unit(cps.size(), 2);
  Buffer* b = node_buffer(n);
  for (uint16_t cp : cps) {
    put_char(b->tail_ptr(), 2, cp);
    b->tail += 2;
  }
  return series_cell(TYPE_STRING, n, 0);
}

Cell binary(std::initializer_list<uint8_t> bytes) {
  NodeId n = alloc_bytes(bytes.size());
  Buffer* b = node_buffer(n);
  for (uint8_t x : bytes) b->data()[b->tail++] = x;
  return series_cell(TYPE_BINARY, n, 0);
}

}  // namespace

TEST(SeriesActions, AtAndSkipClampToTheSeries) {
  struct Case {
    int32_t n;
    int32_t at, skip;  // the resulting index from index 2 of five values
  } cases[] = {
      {0, 2, 2},        {1, 2, 3},       {-1, 1, 1},      {2, 3, 4},      {3, 4, 5},
      {4, 5, 5},        {100, 5, 5},     {-2, 0, 0},      {-3, 0, 0},     {INT_MAX, 5, 5},
      {INT_MIN, 0, 0},  {-INT_MAX, 0, 0},
  };
  Cell b = ints({10, 20, 30, 40, 50}, 2);
  for (const Case& c : cases) {
    EXPECT_EQ(call_action(ACT_AT, {b, I(c.n)}).index(), c.at) << "at " << c.n;
    EXPECT_EQ(call_action(ACT_SKIP, {b, I(c.n)}).index(), c.skip) << "skip " << c.n;
  }
  // A value already past its tail comes back to it.
  EXPECT_EQ(call_action(ACT_AT, {at_index(b, 9), I(1)}).index(), 5);
  EXPECT_EQ(error_of([&] { call_action(ACT_SKIP, {b, float_cell(1.0)}); }), ErrId::INVALID_ARG);
}

TEST(SeriesActions, PickAndPokeAddressFromThePosition) {
  struct Case {
    int32_t n;
    int32_t picked;  // 0 = none
  } cases[] = {
      {1, 30}, {2, 40}, {3, 50}, {4, 0},       {-1, 20},      {-2, 10},
      {-3, 0}, {0, 0},  {INT_MAX, 0}, {INT_MIN, 0}, {-INT_MAX, 0},
  };
  Cell b = ints({10, 20, 30, 40, 50}, 2);
  for (const Case& c : cases) {
    Cell r = call_action(ACT_PICK, {b, I(c.n)});
    if (c.picked) EXPECT_EQ(r.i2(), c.picked) << c.n;
    else EXPECT_TRUE(r.is(TYPE_NONE)) << c.n;
    Cell p = ints({10, 20, 30, 40, 50}, 2);
    if (c.picked) {
      EXPECT_EQ(call_action(ACT_POKE, {p, I(c.n), I(99)}).i2(), 99);
      EXPECT_EQ(series_pick(p, c.n).i2(), 99) << c.n;
    } else {
      EXPECT_EQ(error_of([&] { call_action(ACT_POKE, {p, I(c.n), I(99)}); }), ErrId::OUT_OF_RANGE) << c.n;
      EXPECT_EQ(whole(p), "[10 20 30 40 50]");
    }
  }
  // true and false pick the first and second values.
  EXPECT_EQ(call_action(ACT_PICK, {b, T()}).i2(), 30);
  EXPECT_EQ(call_action(ACT_PICK, {b, F()}).i2(), 40);
  // A position left past the tail is the tail: -1 is the last value.
  EXPECT_EQ(call_action(ACT_PICK, {at_index(b, 40), I(-1)}).i2(), 50);
}

TEST(SeriesActions, NavigationStopsAtTheEnds) {
  Cell b = ints({1, 2});
  Cell tail = call_action(ACT_TAIL, {b});
  EXPECT_EQ(tail.index(), 2);
  EXPECT_EQ(call_action(ACT_NEXT, {tail}).index(), 2);
  EXPECT_EQ(call_action(ACT_BACK, {tail}).index(), 1);
  EXPECT_EQ(call_action(ACT_BACK, {b}).index(), 0);
  EXPECT_TRUE(call_action(ACT_TAIL_Q, {tail}).w1);
  EXPECT_FALSE(call_action(ACT_TAIL_Q, {b}).w1);
  EXPECT_TRUE(call_action(ACT_HEAD_Q, {b}).w1);
  EXPECT_EQ(call_action(ACT_INDEX_Q, {tail}).i2(), 3);
  EXPECT_EQ(call_action(ACT_HEAD, {tail}).index(), 0);
  EXPECT_TRUE(call_action(ACT_PICK, {tail, I(1)}).is(TYPE_NONE));
}

TEST(SeriesActions, LengthOfAValuePastItsTailIsZeroAndMovesIt) {
  Cell b = ints({1, 2, 3, 4}, 3);
  Cell other = b;
  other.w1 = 1;
  (void)call_action(ACT_CLEAR, {other});  // the series is now [1]
  EXPECT_EQ(call_action(ACT_LENGTH_Q, {b}).i2(), 0);
  EXPECT_TRUE(call_action(ACT_TAIL_Q, {b}).w1);
  EXPECT_EQ(series_length(&b), 0);
  EXPECT_EQ(b.index(), 1);
  EXPECT_EQ(call_action(ACT_LENGTH_Q, {other}).i2(), 0);
  EXPECT_EQ(call_action(ACT_LENGTH_Q, {at_index(other, 0)}).i2(), 1);
}

TEST(SeriesActions, ClearAndRemove) {
  Cell b = ints({1, 2, 3, 4, 5}, 2);
  (void)call_action(ACT_CLEAR, {b});
  EXPECT_EQ(whole(b), "[1 2]");
  (void)call_action(ACT_CLEAR, {b});  // at the tail: nothing
  EXPECT_EQ(whole(b), "[1 2]");

  struct Case {
    int32_t at;
    Cell part;  // unset: no /part
    const char* after;
  } cases[] = {
      {1, unset_cell(), "[1 3 4 5]"}, {1, I(2), "[1 4 5]"},   {3, I(10), "[1 2 3]"},
      {1, I(0), "[1 2 3 4 5]"},       {1, I(-1), "[1 2 3 4 5]"}, {5, unset_cell(), "[1 2 3 4 5]"},
  };
  for (const Case& c : cases) {
    Cell s = ints({1, 2, 3, 4, 5}, c.at);
    bool part = !c.part.is(TYPE_UNSET);
    Cell r = call_action(ACT_REMOVE, {s, part ? T() : F(), part ? c.part : N(), F(), N()});
    EXPECT_EQ(whole(s), c.after) << c.at;
    EXPECT_EQ(r.index(), c.at);
  }
  // /part up to a position of the same series; another series is refused.
  Cell s = ints({1, 2, 3, 4, 5}, 1);
  (void)call_action(ACT_REMOVE, {s, T(), at_index(s, 3), F(), N()});
  EXPECT_EQ(whole(s), "[1 4 5]");
  EXPECT_EQ(error_of([&] { call_action(ACT_REMOVE, {s, T(), ints({1}), F(), N()}); }), ErrId::INVALID_REFINE_ARG);
}

TEST(SeriesActions, ReverseWithPartAndSkip) {
  auto letters = [] { return make_block({I(1), I(2), I(3), I(4), I(5), I(6)}); };
  struct Case {
    Cell part, skip;  // unset: not used
    const char* after;
  } cases[] = {
      {unset_cell(), unset_cell(), "[6 5 4 3 2 1]"},
      {unset_cell(), I(2), "[5 6 3 4 1 2]"},
      {unset_cell(), I(3), "[4 5 6 1 2 3]"},
      {unset_cell(), I(6), "[1 2 3 4 5 6]"},
      {I(3), unset_cell(), "[3 2 1 4 5 6]"},
      {I(4), I(2), "[3 4 1 2 5 6]"},
      {I(0), unset_cell(), "[1 2 3 4 5 6]"},
  };
  for (const Case& c : cases) {
    Cell b = letters();
    bool part = !c.part.is(TYPE_UNSET), skip = !c.skip.is(TYPE_UNSET);
    (void)call_action(ACT_REVERSE, {b, part ? T() : F(), part ? c.part : N(), skip ? T() : F(), skip ? c.skip : N()});
    EXPECT_EQ(whole(b), c.after);
  }
  Cell b = letters();
  EXPECT_EQ(error_of([&] { call_action(ACT_REVERSE, {b, F(), N(), T(), I(0)}); }), ErrId::OUT_OF_RANGE);
  EXPECT_EQ(error_of([&] { call_action(ACT_REVERSE, {b, F(), N(), T(), I(4)}); }), ErrId::INVALID_REFINE_ARG);
  EXPECT_EQ(error_of([&] { call_action(ACT_REVERSE, {b, F(), N(), T(), I(7)}); }), ErrId::INVALID_REFINE_ARG);
  EXPECT_EQ(whole(b), "[1 2 3 4 5 6]");
}

TEST(SeriesActions, MoveWithinOneSeries) {
  struct Case {
    int32_t from, to, part;
    const char* after;
  } cases[] = {
      {0, 2, 1, "[2 3 1 4 5]"},  // lands after the value at the target
      {0, 5, 1, "[2 3 4 5 1]"},  // the tail appends
      {0, 9, 2, "[3 4 5 1 2]"},  // a target past the tail is the tail
      {3, 1, 1, "[1 4 2 3 5]"},  // backwards: lands at the target
      {3, 0, 2, "[4 5 1 2 3]"},
      {0, 2, 2, "[3 1 2 4 5]"},  // just after the moved range
      {0, 1, 3, "[1 2 3 4 5]"},  // into its own range: unchanged
      {1, 3, 3, "[1 2 3 4 5]"},
      {2, 2, 1, "[1 2 3 4 5]"},  // onto itself
      {2, 0, 100, "[3 4 5 1 2]"},  // the count stops at the source's tail
  };
  for (const Case& c : cases) {
    Cell b = ints({1, 2, 3, 4, 5});
    Cell r = call_action(ACT_MOVE, {at_index(b, c.from), at_index(b, c.to), T(), I(c.part)});
    EXPECT_EQ(whole(b), c.after) << c.from << " -> " << c.to << " /part " << c.part;
    EXPECT_EQ(r.index(), c.to);
  }
}

TEST(SeriesActions, MoveAcrossSeries) {
  Cell src = ints({1, 2, 3, 4}, 1), dst = ints({8, 9}, 1);
  Cell r = call_action(ACT_MOVE, {src, dst, T(), I(2)});
  EXPECT_EQ(whole(src), "[1 4]");
  EXPECT_EQ(whole(dst), "[8 2 3 9]");
  EXPECT_EQ(r.node(), dst.node());
  EXPECT_EQ(r.index(), 1);
  // A source at its tail moves nothing.
  (void)call_action(ACT_MOVE, {at_index(src, 2), dst, F(), N()});
  EXPECT_EQ(whole(dst), "[8 2 3 9]");

  // Characters widen the target when they need to.
  Cell wide = ucs2_text({'x', 0x3B1});  // x alpha
  Cell narrow = text("ab");
  (void)call_action(ACT_MOVE, {wide, at_index(narrow, 1), T(), I(2)});
  EXPECT_EQ(string_text(narrow.node()), "ax\xCE\xB1"
                                        "b");
  EXPECT_EQ(string_text(wide.node()), "");

  EXPECT_EQ(error_of([&] { call_action(ACT_MOVE, {ints({1}), text("a"), F(), N()}); }), ErrId::MOVE_BAD);
  EXPECT_EQ(error_of([&] { call_action(ACT_MOVE, {ucs2_text({0x3B1}), binary({1, 2}), F(), N()}); }), ErrId::MOVE_BAD);
  EXPECT_EQ(error_of([&] { call_action(ACT_MOVE, {ints({1}), I(1), F(), N()}); }), ErrId::EXPECT_ARG);
}

TEST(SeriesActions, CopyPart) {
  Cell b = ints({1, 2, 3, 4, 5, 6}, 2);
  struct Case {
    Cell part;  // unset: no /part
    const char* copied;
  } cases[] = {
      {unset_cell(), "[3 4 5 6]"}, {I(2), "[3 4]"},  {I(0), "[]"},           {I(100), "[3 4 5 6]"},
      {I(-1), "[2]"},              {I(-5), "[1 2]"}, {at_index(b, 5), "[3 4 5]"}, {at_index(b, 0), "[1 2]"},
      {I(INT_MIN), "[1 2]"},       {I(INT_MAX), "[3 4 5 6]"},
  };
  for (const Case& c : cases) {
    bool part = !c.part.is(TYPE_UNSET);
    Cell r = call_action(ACT_COPY, {b, part ? T() : F(), part ? c.part : N(), F(), F(), N()});
    EXPECT_EQ(molded(r), c.copied);
    EXPECT_NE(r.node(), b.node());
    EXPECT_EQ(r.index(), 0);
  }
  EXPECT_EQ(molded(call_action(ACT_COPY, {at_index(b, 50), F(), N(), F(), F(), N()})), "[]");
  EXPECT_EQ(error_of([&] { call_action(ACT_COPY, {b, T(), ints({1}), F(), F(), N()}); }), ErrId::INVALID_REFINE_ARG);

  // Strings copy through the same worker, characters and unit kept.
  Cell s = at_index(text("hello"), 1);
  Cell c = call_action(ACT_COPY, {s, T(), I(3), F(), F(), N()});
  EXPECT_TRUE(c.is(TYPE_STRING));
  EXPECT_EQ(string_text(c.node()), "ell");
}

TEST(SeriesActions, Take) {
  // take/part -2 at index 3 answers the two values before the position.
  Cell b = ints({1, 2, 3, 4, 5}, 3);
  EXPECT_EQ(molded(call_action(ACT_TAKE, {b, T(), I(-2), F(), F()})), "[2 3]");
  EXPECT_EQ(whole(b), "[1 4 5]");

  struct Case {
    int32_t at;
    Cell part;  // unset: no /part
    bool last;
    const char* taken;
    const char* left;
  } cases[] = {
      {1, unset_cell(), false, "2", "[1 3 4 5]"},
      {1, unset_cell(), true, "5", "[1 2 3 4]"},
      {1, I(2), false, "[2 3]", "[1 4 5]"},
      {1, I(2), true, "[4 5]", "[1 2 3]"},
      {1, I(9), false, "[2 3 4 5]", "[1]"},
      {1, I(0), false, "[2]", "[1 3 4 5]"},
      {4, I(-9), false, "[1 2 3 4]", "[5]"},
      {2, I(-2), true, "[]", "[1 2 3 4 5]"},
      {5, unset_cell(), false, "none", "[1 2 3 4 5]"},
  };
  for (size_t k = 0; k < std::size(cases); k++) {
    const Case& c = cases[k];
    Cell s = ints({1, 2, 3, 4, 5}, c.at);
    bool part = !c.part.is(TYPE_UNSET);
    Cell r = call_action(ACT_TAKE, {s, part ? T() : F(), part ? c.part : N(), F(), c.last ? T() : F()});
    EXPECT_EQ(r.is(TYPE_NONE) ? std::string("none") : molded(r), c.taken) << k;
    EXPECT_EQ(whole(s), c.left) << k;
  }

  // /part up to a position in the same series, and /deep copies what it takes.
  Cell inner = ints({7});
  Cell s = make_block({I(1), inner, I(3)});
  Cell r = call_action(ACT_TAKE, {s, T(), at_index(s, 2), T(), F()});
  EXPECT_EQ(molded(r), "[1 [7]]");
  EXPECT_NE(block::rs_abs_at(r, 1)->node(), inner.node());
  EXPECT_EQ(error_of([&] { call_action(ACT_TAKE, {s, T(), ints({1}), F(), F()}); }), ErrId::INVALID_REFINE_ARG);
}

TEST(SeriesActions, StringAndBinaryElements) {
  Cell s = text("abc");
  EXPECT_EQ(call_action(ACT_PICK, {s, I(2)}).w2, uint32_t('b'));
  EXPECT_TRUE(call_action(ACT_PICK, {s, I(2)}).is(TYPE_CHAR));
  EXPECT_EQ(error_of([&] { call_action(ACT_POKE, {s, I(1), I(65)}); }), ErrId::INVALID_ARG);
  EXPECT_EQ(string_text(s.node()), "abc");
  // A wider character widens the string in place.
  (void)call_action(ACT_POKE, {s, I(2), char_cell(0x1F600)});
  EXPECT_EQ(node_buffer(s.node())->unit(), 4u);
  EXPECT_EQ(string_text(s.node()), "a\xF0\x9F\x98\x80"
                                   "c");
  (void)call_action(ACT_REVERSE, {s, F(), N(), F(), N()});
  EXPECT_EQ(string_text(s.node()), "c\xF0\x9F\x98\x80"
                                   "a");

  Cell bin = binary({1, 2, 255});
  Cell picked = call_action(ACT_PICK, {bin, I(3)});
  EXPECT_TRUE(picked.is(TYPE_INTEGER));
  EXPECT_EQ(picked.i2(), 255);
  (void)call_action(ACT_POKE, {bin, I(1), char_cell('A')});
  EXPECT_EQ(node_buffer(bin.node())->data()[0], 'A');
  (void)call_action(ACT_POKE, {bin, I(1), I(300)});
  EXPECT_EQ(node_buffer(bin.node())->data()[0], 300 & 0xFF);
  EXPECT_EQ(error_of([&] { call_action(ACT_POKE, {bin, I(1), ints({1})}); }), ErrId::INVALID_ARG);
}

TEST(SeriesActions, HashTableFollowsEdits) {
  namespace ht = hash_table;
  Cell h = ints({10, 20, 30, 40});
  h.w3 = ht::make(4, h.node(), ht::KIND_HASH);
  h.set_type(TYPE_HASH);
  (void)call_action(ACT_POKE, {h, I(2), I(99)});
  EXPECT_EQ(ht::get(h.w3, I(99)), 1);
  EXPECT_EQ(ht::get(h.w3, I(20)), -1);
  (void)call_action(ACT_REMOVE, {h, F(), N(), F(), N()});  // removes 10
  EXPECT_EQ(ht::get(h.w3, I(99)), 0);
  EXPECT_EQ(ht::get(h.w3, I(40)), 2);
  (void)call_action(ACT_REVERSE, {h, F(), N(), F(), N()});  // [40 30 99]
  EXPECT_EQ(ht::get(h.w3, I(40)), 0);
  EXPECT_EQ(ht::get(h.w3, I(99)), 2);
  Cell other = ints({1, 2});
  (void)call_action(ACT_MOVE, {other, at_index(h, 1), F(), N()});  // [40 1 30 99]
  EXPECT_EQ(ht::get(h.w3, I(1)), 1);
  EXPECT_EQ(ht::get(h.w3, I(99)), 3);
  (void)call_action(ACT_CLEAR, {at_index(h, 2)});
  EXPECT_EQ(ht::get(h.w3, I(99)), -1);
  EXPECT_EQ(ht::get(h.w3, I(1)), 1);
}

TEST(SeriesActions, ReflectAndModifyOwned) {
  Cell b = ints({1});
  // Nothing is owned until an object takes the series.
  EXPECT_TRUE(call_action(ACT_REFLECT, {b, runtime_word(SymId::OWNED)}).is(TYPE_NONE));
  EXPECT_EQ(error_of([&] { call_action(ACT_REFLECT, {b, runtime_word(SymId::SPEC)}); }), ErrId::NOT_DONE);
  EXPECT_EQ(call_action(ACT_MODIFY, {b, runtime_word(SymId::OWNED), N(), F()}).type(), TYPE_NONE);
}
