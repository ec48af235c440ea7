#include <gtest/gtest.h>

#include <string>

#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
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

TEST(Word, FormAndMoldOfTheFiveForms) {
  struct Case {
    TypeId type;
    const char* mold;
  } cases[] = {
      {TYPE_WORD, "foo"},        {TYPE_LIT_WORD, "'foo"},   {TYPE_GET_WORD, ":foo"},
      {TYPE_REFINEMENT, "/foo"}, {TYPE_SET_WORD, "foo:"},
  };
  for (const Case& c : cases) {
    Cell w = gw("foo", c.type);
    EXPECT_EQ(molded(w), c.mold) << type_name(c.type);
    EXPECT_EQ(formed(w), "foo") << type_name(c.type);
  }
  // Non-ASCII text comes out as its characters.
  EXPECT_EQ(molded(gw("caf\xC3\xA9", TYPE_LIT_WORD)), "'caf\xC3\xA9");
  // The /part budget cuts the text and answers what is left.
  RootedNode out(make_string(8));
  EXPECT_EQ(mold_value(gw("foo", TYPE_LIT_WORD), out, 0, nullptr, 3), -1);
  EXPECT_EQ(string_text(out), "'fo");
  RootedNode out2(make_string(8));
  EXPECT_EQ(form_value(gw("foo"), out2, nullptr, 10), 7);
}

TEST(Word, EqualityStrictnessAndSameness) {
  RootedNode other(context::create(1, false, false, 0, context::KIND_PLAIN));
  context::add_word(other, S("wa"));
  Cell a = gw("wa"), lit_a = gw("wa", TYPE_LIT_WORD), set_A = gw("WA", TYPE_SET_WORD);
  Cell A = gw("WA"), b = gw("wb");
  Cell a_other = word::make(TYPE_WORD, other, S("wa"), 0);
  Cell issue = gw("wa", TYPE_ISSUE), one = integer_cell(1);
  struct Case {
    const char* what;
    const Cell &x, &y;
    int op;
    int32_t want;  // 0 equal, 1 different, -2 not comparable
  } cases[] = {
      {"'a = A:", lit_a, set_A, CMP_EQUAL, 0},
      {"'a == A:", lit_a, set_A, CMP_STRICT_EQUAL, 1},
      {"a == a", a, a, CMP_STRICT_EQUAL, 0},
      {"a == A", a, A, CMP_STRICT_EQUAL, 1},
      {"a = A", a, A, CMP_EQUAL, 0},
      {"a = b", a, b, CMP_EQUAL, 1},
      {"a find A:", a, set_A, CMP_FIND, 0},
      {"same? a a", a, a, CMP_SAME, 0},
      {"same? a a-elsewhere", a, a_other, CMP_SAME, 1},
      {"a = a-elsewhere", a, a_other, CMP_EQUAL, 0},
      {"same? a 'a", a, lit_a, CMP_SAME, 1},
      {"word-match a 'a", a, lit_a, CMP_WORD_MATCH, 0},
      {"word-match A 'a", A, lit_a, CMP_WORD_MATCH, 1},
      {"word-match a A:", a, set_A, CMP_WORD_MATCH, 1},
      {"typed-match A 'a", A, lit_a, CMP_WORD_MATCH_CASE, 0},
      {"typed-match a A", a, A, CMP_WORD_MATCH_CASE, 0},
      {"typed-match a A:", a, set_A, CMP_WORD_MATCH_CASE, 1},
      {"a = 1", a, one, CMP_EQUAL, CMP_INCOMPARABLE},
      {"a = #a", a, issue, CMP_EQUAL, CMP_INCOMPARABLE},
  };
  for (const Case& c : cases) EXPECT_EQ(compare_cells(&c.x, &c.y, c.op), c.want) << c.what;
  // Orderings compare the texts, case-insensitively unless case-sorting.
  Cell apple = gw("apple"), Banana = gw("Banana"), Apple = gw("Apple");
  EXPECT_LT(compare_cells(&apple, &Banana, CMP_LESSER), 0);
  EXPECT_GT(compare_cells(&Banana, &apple, CMP_SORT), 0);
  EXPECT_EQ(compare_cells(&apple, &Apple, CMP_LESSER_OR_EQUAL), 0);
  EXPECT_GT(compare_cells(&apple, &Apple, CMP_CASE_SORT), 0);
}

TEST(Word, ConversionsBetweenForms) {
  Cell lit = gw("conv-abc", TYPE_LIT_WORD);
  lit.set_new_line(true);
  Cell r = call_action(ACT_TO, {dt(TYPE_SET_WORD), lit});
  EXPECT_EQ(r.header, uint32_t(TYPE_SET_WORD));  // a fresh header
  EXPECT_EQ(r.w1, lit.w1);
  EXPECT_EQ(r.w2, lit.w2);
  EXPECT_EQ(r.w3, lit.w3);
  EXPECT_EQ(molded(call_action(ACT_MAKE, {dt(TYPE_GET_WORD), lit})), ":conv-abc");

  Cell from_type = call_action(ACT_TO, {dt(TYPE_WORD), dt(TYPE_INTEGER)});
  EXPECT_EQ(molded(from_type), "integer!");
  EXPECT_EQ(from_type.w1, context::g_global);
  EXPECT_EQ(molded(call_action(ACT_TO, {dt(TYPE_LIT_WORD), logic_cell(true)})), "'true");
  EXPECT_EQ(molded(call_action(ACT_TO, {dt(TYPE_WORD), logic_cell(false)})), "false");

  for (Cell bad : {integer_cell(12), none_cell(), float_cell(1.5)})
    EXPECT_EQ(error_of([&] { call_action(ACT_TO, {dt(TYPE_WORD), bad}); }), ErrId::BAD_TO_ARG);
  // A prototype word names the target type.
  EXPECT_EQ(molded(call_action(ACT_MAKE, {gw("proto", TYPE_REFINEMENT), gw("conv-x")})), "/conv-x");
}

TEST(Word, ConversionsThroughTheScanner) {
  RootedNode s(make_string(4));
  append_latin1(s, "hook-w");
  Cell r = call_action(ACT_TO, {dt(TYPE_LIT_WORD), series_cell(TYPE_STRING, s)});
  EXPECT_EQ(molded(r), "'hook-w");
  EXPECT_EQ(molded(call_action(ACT_TO, {dt(TYPE_WORD), char_cell('q')})), "q");
  RootedNode one(make_string(4));
  append_latin1(one, "1");
  EXPECT_EQ(error_of([&] { call_action(ACT_TO, {dt(TYPE_WORD), series_cell(TYPE_STRING, one)}); }),
            ErrId::INVALID_CHARS);
  RootedNode two(make_string(4));
  append_latin1(two, "a b");
  EXPECT_EQ(error_of([&] { call_action(ACT_TO, {dt(TYPE_WORD), series_cell(TYPE_STRING, two)}); }),
            ErrId::INVALID_CHARS);
}

TEST(Word, IndexOf) {
  RootedNode ctx(context::create(2, false, false, 0, context::KIND_PLAIN));
  context::add_word(ctx, S("ix-a"));
  context::add_word(ctx, S("ix-b"));
  Cell b = word::make(TYPE_WORD, ctx, S("ix-b"), 1);
  EXPECT_EQ(call_action(ACT_INDEX_Q, {b}).w2, 2u);
  b.set_type(TYPE_GET_WORD);
  EXPECT_EQ(call_action(ACT_INDEX_Q, {b}).w2, 2u);
  EXPECT_TRUE(call_action(ACT_INDEX_Q, {word::make(TYPE_WORD, ctx, S("ix-c"), -1)}).is(TYPE_NONE));
  b.set_type(TYPE_REFINEMENT);
  EXPECT_EQ(error_of([&] { call_action(ACT_INDEX_Q, {b}); }), ErrId::EXPECT_ARG);
  // Actions no word supports.
  EXPECT_EQ(error_of([&] { call_action(ACT_APPEND, {gw("ix-a"), integer_cell(1)}); }), ErrId::EXPECT_ARG);
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

TEST(Word, AsStringIsACopy) {
  Cell w = word::load("as-str");
  Cell s = word::as_string(w);
  ASSERT_TRUE(s.is(TYPE_STRING));
  EXPECT_EQ(string_text(s.node()), "as-str");
  node_buffer(s.node())->head_ptr()[0] = 'X';
  EXPECT_EQ(string_text(s.node()), "Xs-str");
  EXPECT_EQ(molded(w), "as-str");
  EXPECT_EQ(symbol::text(w.w2), "as-str");
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
