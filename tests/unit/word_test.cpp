#include "datatypes/word.h"

#include <gtest/gtest.h>

#include <string>

#include "action_frames.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "datatypes/symbol.h"
#include "stack.h"
#include "word_test_util.h"

using namespace vel;
using namespace vel::wordtest;

namespace {

uint32_t S(const char* text) { return symbol::make(text); }

Cell gw(const char* text, TypeId t = TYPE_WORD) {
  Cell w = word::make_global(S(text));
  w.set_type(t);
  return w;
}

Cell dt(TypeId t) { return datatype_cell(t); }

}  // namespace

// What scripts see of words (the five forms molded and formed, equality,
// sameness and order, conversions, index?) is in tests/vel/datatypes/word.vel;
// here, the budgets, the word-matching operators, the header a conversion
// makes and the index of an unresolved word.
TEST(Word, MoldAndFormBudgets) {
  // The /part budget cuts the text and answers what is left.
  RootedNode out(make_string(8));
  EXPECT_EQ(mold_value(gw("foo", TYPE_LIT_WORD), out, 0, nullptr, 3), -1);
  EXPECT_EQ(string_text(out), "'fo");
  RootedNode out2(make_string(8));
  EXPECT_EQ(form_value(gw("foo"), out2, nullptr, 10), 7);
}

TEST(Word, WordMatchingOperators) {
  Cell a = gw("wa"), lit_a = gw("wa", TYPE_LIT_WORD), set_A = gw("WA", TYPE_SET_WORD);
  Cell A = gw("WA");
  struct Case {
    const char* what;
    const Cell &x, &y;
    int op;
    int32_t want;  // 0 equal, 1 different
  } cases[] = {
      {"word-match a 'a", a, lit_a, CMP_WORD_MATCH, 0},
      {"word-match A 'a", A, lit_a, CMP_WORD_MATCH, 1},
      {"word-match a A:", a, set_A, CMP_WORD_MATCH, 1},
      {"typed-match A 'a", A, lit_a, CMP_WORD_MATCH_CASE, 0},
      {"typed-match a A", a, A, CMP_WORD_MATCH_CASE, 0},
      {"typed-match a A:", a, set_A, CMP_WORD_MATCH_CASE, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(compare_cells(&c.x, &c.y, c.op), c.want) << c.what;
}

TEST(Word, ConversionMakesAFreshHeader) {
  Cell lit = gw("conv-abc", TYPE_LIT_WORD);
  lit.set_new_line(true);
  Cell r = call_action(act::to::SHAPE, {{act::to::TYPE, dt(TYPE_SET_WORD)}, {act::to::SPEC, lit}});
  EXPECT_EQ(r.header, uint32_t(TYPE_SET_WORD));
  EXPECT_EQ(r.w1, lit.w1);
  EXPECT_EQ(r.w2, lit.w2);
  EXPECT_EQ(r.w3, lit.w3);
  Cell from_type = call_action(act::to::SHAPE, {{act::to::TYPE, dt(TYPE_WORD)}, {act::to::SPEC, dt(TYPE_INTEGER)}});
  EXPECT_EQ(from_type.w1, context::g_global);
}

TEST(Word, IndexOfAnUnresolvedWordIsNone) {
  RootedNode ctx(context::create(2, false, false, 0, context::KIND_PLAIN));
  context::add_word(ctx, S("ix-a"));
  EXPECT_TRUE(call_action(act::index_q::SHAPE, {{act::index_q::SERIES, word::make(TYPE_WORD, ctx, S("ix-c"), -1)}})
                  .is(TYPE_NONE));
}

TEST(Word, LoadSharesTheValueOfAnExistingCaseVariant) {
  Cell print = word::load("ld-print");
  word::set(&print, integer_cell(5));
  Cell Print = word::load("LD-Print");
  EXPECT_EQ(Print.i3(), print.i3());
  EXPECT_EQ(word::get(Print).w2, 5u);
  EXPECT_EQ(molded(Print), "LD-Print");
  EXPECT_EQ(word::load("ld-print").w2, print.w2);  // the same text gives the same symbol
}

TEST(Word, GetAndSetCheckForUnset) {
  Cell w = word::load("gs-fresh");
  EXPECT_EQ(error_of([&] { word::get(w); }), ErrId::NO_VALUE);
  EXPECT_TRUE(word::get_any(w).is(TYPE_UNSET));
  EXPECT_EQ(error_of([&] { word::set(&w, unset_cell()); }), ErrId::NEED_VALUE);
  word::set_any(&w, unset_cell());
  word::set(&w, integer_cell(3));
  EXPECT_EQ(word::get(w).w2, 3u);
}

TEST(Word, PositionalAccess) {
  RootedNode obj(context::create(2, false, true, 0, context::KIND_OBJECT));
  context::put_value(obj, S("pa-a"), integer_cell(1));
  context::put_value(obj, S("pa-b"), integer_cell(2));
  StackMark m = stack_save();
  EXPECT_EQ(molded(*word::push_local(obj, 1, TYPE_LIT_WORD)), "'pa-b");
  EXPECT_EQ(word::get_local(obj, 1)->w2, 2u);
  push(integer_cell(9));
  context::word_at(obj, 0)->header &= ~context::WORD_CHANGED;
  word::set_local(obj, 0);
  EXPECT_EQ(context::value_at(obj, 0)->w2, 9u);
  EXPECT_TRUE(context::word_at(obj, 0)->header & context::WORD_CHANGED);
  EXPECT_EQ(error_of([&] { word::get_local(obj, 7); }), ErrId::OUT_OF_RANGE);

  RootedCell spec(block_of({gw("pa-x")}));
  RootedNode fn(context::from_spec(*spec, true, false, context::KIND_FUNCTION));
  EXPECT_EQ(error_of([&] { word::get_local(fn, 0); }), ErrId::NOT_DEFINED);
  stack_restore(m);
}

TEST(Word, RuntimeWordsAreInternedOnce) {
  EXPECT_EQ(symbol::text(sym_exact(SymId::SELF)), "self");
  EXPECT_EQ(symbol::text(sym_exact(SymId::BODY_TAG)), "<body>");
  EXPECT_EQ(symbol::text(sym_exact(SymId::PUT_ED)), "put-ed");
  EXPECT_EQ(symbol::make("local"), sym_exact(SymId::LOCAL));
  EXPECT_EQ(sym(SymId::MACOS), symbol::resolve(symbol::make("MACOS")));
  Cell local = refinement_cell(SymId::LOCAL);
  EXPECT_EQ(local.w1, 0u);
  EXPECT_EQ(molded(local), "/local");
  Cell ret = runtime_word(SymId::RETURN);
  EXPECT_EQ(ret.w1, context::g_global);
  EXPECT_EQ(ret.i3(), context::find_word(context::g_global, sym(SymId::RETURN)));
  // Every registered type has its name word.
  for (int32_t t = 1; t <= g_last_type_id; t++) {
    const Cell& w = g_types[t].name_word;
    ASSERT_TRUE(w.is(TYPE_WORD)) << t;
    EXPECT_EQ(symbol::text(w.w2), g_types[t].name);
    EXPECT_EQ(w.w1, context::g_global);
  }
}
