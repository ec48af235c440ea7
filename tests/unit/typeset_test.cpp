// typeset! from C++: the bit layout, the mold budget, the set kernel with a
// datatype operand and typesets read from function specs. What scripts see
// of typesets is in the script suite.
#include "datatypes/typeset.h"

#include <gtest/gtest.h>

#include <string>

#include "action_frames.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "word_test_util.h"

using namespace vel;
using namespace vel::wordtest;

namespace {

Cell dt(TypeId t) { return datatype_cell(t); }

// The name word of a type, holding its datatype! as the library sets it.
Cell type_word(TypeId t) {
  Cell w = g_types[t].name_word;
  word::set(&w, dt(t));
  return w;
}

Cell ts_of(std::initializer_list<TypeId> types) {
  Cell ts = typeset::empty();
  for (TypeId t : types) typeset::set_bit(&ts, t);
  return ts;
}

}  // namespace

TEST(Typeset, BitLayoutIsMostSignificantFirstPerByte) {
  Cell ts = ts_of({TYPE_INTEGER});  // id 11: byte 1, bit 0x80 >> 3
  EXPECT_EQ(ts.w1, 0x1000u);
  EXPECT_EQ(ts.w2 | ts.w3, 0u);
  Cell hi = ts_of({TYPE_EVENT});  // id 54: byte 6, bit 0x80 >> 6
  EXPECT_EQ(hi.w2, 0x020000u);
  Cell d = typeset::make_default();
  EXPECT_FALSE(typeset::has(d, TYPE_UNSET));
  EXPECT_TRUE(typeset::has(d, TYPE_NONE));
  EXPECT_TRUE(typeset::has(d, 95));
  EXPECT_FALSE(typeset::has(d, 96));  // beyond the set: never a member, never a wild read
  Cell all = typeset::complement(typeset::empty());
  EXPECT_EQ(all.w1 & all.w2 & all.w3, 0xFFFFFFFFu);  // all 96 bits
  EXPECT_EQ(typeset::count(all), uint32_t(g_last_type_id));  // of which the registered types count
}

// The mold budget stops the listing after a whole type name and gives back
// what is left of it.
TEST(Typeset, MoldBudgetStopsAtAWholeName) {
  Cell ts = ts_of({TYPE_INTEGER, TYPE_FLOAT});
  RootedNode out(make_string(8));
  int32_t left = mold_value(ts, out, 0, nullptr, 20);
  EXPECT_EQ(string_text(out), "make typeset! [integer!]");
  EXPECT_EQ(left, 20 - 15 - 9);
}

// The set kernel and the logic actions take a datatype as a one-type set
// when C++ calls them (the natives' specs admit only typesets).
TEST(Typeset, DatatypeOperandIsAOneTypeSet) {
  Cell ts = ts_of({TYPE_INTEGER, TYPE_FLOAT});
  EXPECT_EQ(molded(typeset::set_op(ts, dt(TYPE_STRING), 9)), "make typeset! [string! integer! float!]");
  EXPECT_EQ(molded(typeset::set_op(ts, dt(TYPE_FLOAT), 10)), "make typeset! [float!]");
  EXPECT_EQ(molded(typeset::set_op(ts, dt(TYPE_FLOAT), 11)), "make typeset! [integer!]");
  EXPECT_EQ(molded(typeset::set_op(ts, dt(TYPE_CHAR), 12)), "make typeset! [char! integer! float!]");
  EXPECT_EQ(molded(call_action(act::or_t::SHAPE, {{act::or_t::VALUE1, ts}, {act::or_t::VALUE2, dt(TYPE_NONE)}})),
            "make typeset! [none! integer! float!]");
  EXPECT_EQ(error_of([&] { (void)typeset::set_op(ts, integer_cell(1), 9); }), ErrId::INVALID_ARG);
}

TEST(Typeset, FromASpecTypeBlock) {
  // A word whose value is a word stands for object!.
  Cell alias = word::load("ts-alias");
  word::set(&alias, word::load("ts-target"));
  RootedCell spec(block_of({type_word(TYPE_INTEGER), block_of({dt(TYPE_STRING)}), alias,
                            ts_of({TYPE_CHAR})}));
  EXPECT_EQ(molded(typeset::from_spec(*spec)), "make typeset! [char! integer! object!]");
  RootedCell with_string(block_of({dt(TYPE_INTEGER), series_cell(TYPE_STRING, make_string(1))}));
  EXPECT_EQ(error_of([&] { typeset::from_spec(*with_string); }), ErrId::INVALID_TYPE_SPEC);
  RootedCell unset_word(block_of({word::load("ts-never-set")}));
  EXPECT_EQ(error_of([&] { typeset::from_spec(*unset_word); }), ErrId::NO_VALUE);
}
