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
}

TEST(Typeset, MakeFormAndMold) {
  RootedCell spec(block_of({type_word(TYPE_INTEGER), dt(TYPE_FLOAT)}));
  Cell ts = call_action(act::make::SHAPE, {{act::make::TYPE, dt(TYPE_TYPESET)}, {act::make::SPEC, *spec}});
  EXPECT_EQ(molded(ts), "make typeset! [integer! float!]");
  EXPECT_EQ(formed(ts), "make typeset! [integer! float!]");
  EXPECT_EQ(molded(ts, MOLD_ONLY), "integer! float!");
  EXPECT_EQ(molded(call_action(act::to::SHAPE, {{act::to::TYPE, dt(TYPE_TYPESET)}, {act::to::SPEC, ts}})), molded(ts));

  RootedCell none(block_of({}));
  Cell empty = call_action(act::make::SHAPE, {{act::make::TYPE, dt(TYPE_TYPESET)}, {act::make::SPEC, *none}});
  EXPECT_EQ(molded(empty), "make typeset! []");
  EXPECT_EQ(molded(empty, MOLD_ONLY), "");

  // A typeset in the block is or-ed in; other values are refused.
  RootedCell nested(block_of({ts, dt(TYPE_BLOCK)}));
  EXPECT_EQ(molded(call_action(act::make::SHAPE, {{act::make::TYPE, dt(TYPE_TYPESET)}, {act::make::SPEC, *nested}})),
            "make typeset! [block! integer! float!]");
  RootedCell bad(block_of({integer_cell(3)}));
  EXPECT_EQ(error_of([&] {
              call_action(act::make::SHAPE, {{act::make::TYPE, dt(TYPE_TYPESET)}, {act::make::SPEC, *bad}});
            }),
            ErrId::INVALID_ARG);
  EXPECT_EQ(error_of([&] {
              call_action(act::make::SHAPE, {{act::make::TYPE, dt(TYPE_TYPESET)}, {act::make::SPEC, integer_cell(12)}});
            }),
            ErrId::BAD_TO_ARG);

  // The /part budget stops the listing.
  RootedNode out(make_string(8));
  int32_t left = mold_value(ts, out, 0, nullptr, 20);
  EXPECT_EQ(string_text(out), "make typeset! [integer!]");
  EXPECT_EQ(left, 20 - 15 - 9);
}

TEST(Typeset, FindAndSetOperations) {
  Cell ts = ts_of({TYPE_INTEGER, TYPE_FLOAT});
  EXPECT_TRUE(call_action(act::find::SHAPE, {{act::find::SERIES, ts}, {act::find::VALUE, dt(TYPE_INTEGER)}}).w1);
  EXPECT_FALSE(call_action(act::find::SHAPE, {{act::find::SERIES, ts}, {act::find::VALUE, dt(TYPE_STRING)}}).w1);
  EXPECT_EQ(error_of([&] {
              call_action(act::find::SHAPE, {{act::find::SERIES, ts}, {act::find::VALUE, integer_cell(1)}});
            }),
            ErrId::INVALID_ARG);

  EXPECT_EQ(molded(typeset::set_op(ts, dt(TYPE_STRING), 9)), "make typeset! [string! integer! float!]");
  EXPECT_EQ(molded(typeset::set_op(ts, ts, 11)), "make typeset! []");
  EXPECT_EQ(molded(typeset::set_op(ts, dt(TYPE_FLOAT), 10)), "make typeset! [float!]");
  EXPECT_EQ(molded(typeset::set_op(ts, ts_of({TYPE_FLOAT, TYPE_CHAR}), 12)), "make typeset! [char! integer!]");
  EXPECT_EQ(molded(call_action(act::or_t::SHAPE, {{act::or_t::VALUE1, ts}, {act::or_t::VALUE2, dt(TYPE_NONE)}})),
            "make typeset! [none! integer! float!]");
  EXPECT_EQ(
      molded(call_action(act::and_t::SHAPE, {{act::and_t::VALUE1, ts}, {act::and_t::VALUE2, ts_of({TYPE_INTEGER})}})),
      "make typeset! [integer!]");
  EXPECT_EQ(
      molded(call_action(act::xor_t::SHAPE, {{act::xor_t::VALUE1, ts}, {act::xor_t::VALUE2, ts_of({TYPE_INTEGER})}})),
      "make typeset! [float!]");
  EXPECT_EQ(error_of([&] {
              call_action(act::or_t::SHAPE, {{act::or_t::VALUE1, ts}, {act::or_t::VALUE2, integer_cell(1)}});
            }),
            ErrId::INVALID_ARG);
}

TEST(Typeset, ComplementOfEmptyListsEveryRegisteredType) {
  Cell all = call_action(act::complement::SHAPE, {{act::complement::VALUE, typeset::empty()}});
  EXPECT_EQ(all.w1 & all.w2 & all.w3, 0xFFFFFFFFu);  // all 96 bits
  std::string want = "make typeset! [";
  for (int32_t t = 1; t <= g_last_type_id; t++) {
    want += g_types[t].name;
    want += t < g_last_type_id ? " " : "]";
  }
  EXPECT_EQ(molded(all), want);
  EXPECT_NE(want.find("unset!"), std::string::npos);
  EXPECT_EQ(typeset::count(all), uint32_t(g_last_type_id));
  Cell blk = typeset::to_block(ts_of({TYPE_INTEGER, TYPE_BLOCK}));
  ASSERT_EQ(node_buffer(blk.node())->length(), 2u);
  EXPECT_EQ(molded(at(blk, 0)), "block!");
  EXPECT_EQ(molded(at(blk, 1)), "integer!");
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

TEST(Typeset, EqualityAndOrderByCount) {
  Cell a = ts_of({TYPE_INTEGER, TYPE_FLOAT}), b = ts_of({TYPE_FLOAT, TYPE_INTEGER});
  Cell small = ts_of({TYPE_BLOCK}), i = integer_cell(1);
  EXPECT_EQ(compare_cells(&a, &b, CMP_EQUAL), 0);
  EXPECT_EQ(compare_cells(&a, &b, CMP_SAME), 0);
  EXPECT_NE(compare_cells(&a, &small, CMP_EQUAL), 0);
  EXPECT_LT(compare_cells(&small, &a, CMP_SORT), 0);
  EXPECT_GT(compare_cells(&a, &small, CMP_CASE_SORT), 0);
  EXPECT_EQ(compare_cells(&a, &small, CMP_LESSER), CMP_INCOMPARABLE);
  EXPECT_EQ(compare_cells(&a, &i, CMP_EQUAL), CMP_INCOMPARABLE);
}
