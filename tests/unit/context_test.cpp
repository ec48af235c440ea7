#include <gtest/gtest.h>

#include <string>

#include "cycle.h"
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

// A global word! of the text, of type t.
Cell gw(const char* text, TypeId t = TYPE_WORD) {
  Cell w = word::make_global(S(text));
  w.set_type(t);
  return w;
}

// A heap context holding the given words, each set to integer i + 1.
NodeId heap_context(std::initializer_list<const char*> names, context::Kind kind = context::KIND_PLAIN,
                    bool self = false) {
  RootedNode ctx(context::create(uint32_t(names.size()), false, self, 0, kind));
  int32_t i = 0;
  for (const char* n : names) context::put_value(ctx, S(n), integer_cell(++i));
  return ctx;
}

}  // namespace

TEST(Context, BindReachesEveryWordFormInsideBlocksAndPaths) {
  RootedNode ctx(heap_context({"cb-a", "cb-b", "cb-c"}));
  // [a b [c :a 'b] a/b c: /a #a d]
  RootedCell inner(block_of({gw("cb-c"), gw("cb-a", TYPE_GET_WORD), gw("cb-b", TYPE_LIT_WORD)}));
  RootedCell path(block_of({gw("cb-a"), gw("cb-b")}, TYPE_PATH));
  Cell issue = gw("cb-a", TYPE_ISSUE);
  Cell other = gw("cb-d");
  RootedCell blk(block_of({gw("cb-a"), gw("cb-b"), *inner, *path, gw("cb-c", TYPE_SET_WORD),
                           gw("cb-a", TYPE_REFINEMENT), issue, other}));
  context::bind(*blk, ctx, false);

  for (uint32_t i : {0u, 1u, 4u, 5u}) EXPECT_EQ(at(*blk, i).w1, ctx) << i;
  for (uint32_t i : {0u, 1u, 2u}) EXPECT_EQ(at(*inner, i).w1, ctx) << "inner " << i;
  for (uint32_t i : {0u, 1u}) EXPECT_EQ(at(*path, i).w1, ctx) << "path " << i;
  EXPECT_EQ(at(*blk, 0).i3(), 0);
  EXPECT_EQ(at(*blk, 4).i3(), 2);
  EXPECT_EQ(at(*blk, 6).w1, issue.w1);  // issue! is left alone
  EXPECT_EQ(at(*blk, 6).w3, issue.w3);
  EXPECT_EQ(at(*blk, 7).w1, context::g_global);  // unknown symbols keep their binding
  EXPECT_EQ(at(*blk, 7).w3, other.w3);
  // Bound words read the context's values.
  EXPECT_EQ(context::get(at(*inner, 0))->w2, 3u);
  // Case variants bind to the same word.
  RootedCell upper(block_of({gw("CB-A")}));
  context::bind(*upper, ctx, false);
  EXPECT_EQ(at(*upper, 0).w1, ctx);
  EXPECT_EQ(symbol::text(at(*upper, 0).w2), "CB-A");
}

TEST(Context, SelfBindsToTheOwner) {
  RootedNode obj(heap_context({"sb-x"}, context::KIND_OBJECT, true));
  context::owner(obj) = integer_cell(4242);  // stands for the owning object
  RootedCell blk(block_of({runtime_word(SymId::SELF), gw("sb-x")}));
  context::bind(*blk, obj, true);
  EXPECT_EQ(at(*blk, 0).w1, obj);
  EXPECT_EQ(at(*blk, 0).i3(), -1);
  EXPECT_EQ(context::get(at(*blk, 0))->w2, 4242u);
  // Without the flag, self is an ordinary word the context does not have.
  RootedCell plain(block_of({runtime_word(SymId::SELF)}));
  context::bind(*plain, obj, false);
  EXPECT_EQ(at(*plain, 0).w1, context::g_global);
  // An unresolved word that is not self has no value.
  Cell loose = word::make(TYPE_WORD, obj, S("sb-y"), -1);
  EXPECT_EQ(error_of([&] { context::get(loose); }), ErrId::NO_VALUE);
}

TEST(Context, SelfContainingBlockBindsOnceAndDeepNestingIsAnError) {
  RootedNode ctx(heap_context({"sc-a"}));
  RootedCell blk(block_of({gw("sc-a")}));
  *alloc_tail(blk->node()) = *blk;  // the block holds itself
  context::bind(*blk, ctx, false);
  EXPECT_EQ(at(*blk, 0).w1, ctx);
  EXPECT_EQ(cycles_depth(), 0u);

  // 100,000 nested blocks: an error, not a machine-stack overflow.
  RootedCell deep(block_of({gw("sc-a")}));
  for (int i = 0; i < 100000; i++) *deep = block_of({*deep});
  EXPECT_EQ(error_of([&] { context::bind(*deep, ctx, false); }), ErrId::TOO_DEEP);
  EXPECT_EQ(cycles_depth(), 0u);
  RootedCell flat(block_of({gw("sc-a")}));
  context::bind(*flat, ctx, false);
  EXPECT_EQ(at(*flat, 0).w1, ctx);
}

TEST(Context, CaseVariantsShareOneGlobalValueAndKeepTheirText) {
  Cell lower = word::load("cv-share");
  Cell upper = word::load("CV-Share");
  EXPECT_EQ(lower.w1, context::g_global);
  EXPECT_EQ(lower.i3(), upper.i3());
  EXPECT_NE(lower.w2, upper.w2);
  word::set(&upper, integer_cell(7));
  EXPECT_EQ(word::get(lower).w2, 7u);
  EXPECT_EQ(molded(lower), "cv-share");
  EXPECT_EQ(molded(upper), "CV-Share");
  // The exact lookup adds the variant as its own entry, still sharing.
  uint32_t third = S("CV-SHARE");
  Cell exact = context::add_global(third);
  EXPECT_EQ(exact.w2, third);
  EXPECT_EQ(exact.i3(), lower.i3());
  EXPECT_EQ(word::get(exact).w2, 7u);
  // The global value series keeps one cell per table word.
  EXPECT_EQ(context::value_count(context::g_global), context::word_count(context::g_global));
}

TEST(Context, FunctionLocalsExistOnlyDuringACall) {
  RootedCell spec(block_of({gw("fl-a"), gw("fl-b", TYPE_REFINEMENT), gw("fl-c"), gw("fl-a"),
                            gw("return", TYPE_SET_WORD), block_of({gw("integer!")})}));
  RootedNode fn(context::from_spec(*spec, true, false, context::KIND_FUNCTION));
  ASSERT_EQ(context::word_count(fn), 3u);  // a repeated word once; return: and the type block skipped
  RootedCell body(block_of({gw("fl-a"), gw("fl-c")}));
  context::bind(*body, fn, false);
  Cell a = at(*body, 0), c = at(*body, 1);
  EXPECT_EQ(a.i3(), 0);
  EXPECT_EQ(c.i3(), 2);

  EXPECT_EQ(error_of([&] { context::get(a); }), ErrId::NOT_IN_CONTEXT);
  EXPECT_EQ(error_of([&] { context::set(&a, integer_cell(1)); }), ErrId::NOT_DEFINED);

  StackMark m = stack_save();
  Cell* base = push(integer_cell(10));
  push(none_cell());
  push(integer_cell(30));
  context::set_stack_values(fn, int32_t(cell_index(base)));
  EXPECT_EQ(context::get(a)->w2, 10u);
  EXPECT_EQ(context::get(c)->w2, 30u);
  context::set(&a, integer_cell(11));
  EXPECT_EQ(base[0].w2, 11u);

  // A word the spec does not have is refused, not written past the call.
  Cell stranger = word::make(TYPE_WORD, fn, S("fl-z"), -1);
  Cell guard = integer_cell(99);
  Cell* after = push(guard);
  EXPECT_EQ(error_of([&] { context::set(&stranger, integer_cell(5)); }), ErrId::NOT_IN_CONTEXT);
  EXPECT_EQ(after->w2, 99u);
  EXPECT_EQ(context::word_count(fn), 3u);
  // A forged index beyond the call's cells is refused too.
  Cell forged = word::make(TYPE_WORD, fn, S("fl-a"), 3);
  EXPECT_EQ(error_of([&] { context::get(forged); }), ErrId::NOT_IN_CONTEXT);
  EXPECT_EQ(error_of([&] { context::set(&forged, integer_cell(5)); }), ErrId::NOT_DEFINED);

  context::set_stack_values(fn, -1);
  stack_restore(m);
  EXPECT_EQ(error_of([&] { context::get(a); }), ErrId::NOT_IN_CONTEXT);
}

TEST(Context, HeapIndexesAreCheckedAndUnboundWordsAreAdded) {
  RootedNode ctx(heap_context({"hi-a"}));
  Cell forged = word::make(TYPE_WORD, ctx, S("hi-a"), 5);
  EXPECT_EQ(error_of([&] { context::get(forged); }), ErrId::NOT_IN_CONTEXT);
  EXPECT_EQ(error_of([&] { context::set(&forged, integer_cell(1)); }), ErrId::NOT_DEFINED);
  Cell nowhere = word::make(TYPE_WORD, 0, S("hi-a"), 0);
  EXPECT_EQ(error_of([&] { context::get(nowhere); }), ErrId::NOT_IN_CONTEXT);

  // Setting an unresolved word adds it and caches its index.
  Cell fresh = word::make(TYPE_WORD, ctx, S("hi-new"), -1);
  context::set(&fresh, integer_cell(8));
  EXPECT_EQ(fresh.i3(), 1);
  EXPECT_EQ(context::find_word(ctx, S("HI-NEW")), 1);
  EXPECT_EQ(context::get(fresh)->w2, 8u);
  EXPECT_EQ(context::value_count(ctx), 2u);
}

TEST(Context, TableOperations) {
  RootedNode ctx(context::create(2, false, false, 0, context::KIND_PLAIN));
  EXPECT_TRUE(context::add_with(ctx, S("to-a"), integer_cell(1)));
  EXPECT_FALSE(context::add_with(ctx, S("TO-A"), integer_cell(2)));  // present: the value is not stored
  EXPECT_EQ(context::value_at(ctx, 0)->w2, 1u);
  context::put_value(ctx, S("to-a"), integer_cell(3));
  context::put_value(ctx, S("to-b"), integer_cell(4));
  EXPECT_EQ(context::value_at(ctx, 0)->w2, 3u);
  EXPECT_EQ(context::value_at(ctx, 1)->w2, 4u);
  EXPECT_EQ(context::find_word(ctx, S("TO-B"), true), 1);
  EXPECT_EQ(context::find_word(ctx, S("TO-B"), false), -1);  // exact lookup

  RootedCell body(block_of({gw("to-b", TYPE_SET_WORD), integer_cell(1), gw("to-c", TYPE_SET_WORD),
                            gw("to-d"), gw("to-e", TYPE_SET_WORD)}));
  EXPECT_TRUE(context::collect_set_words(ctx, *body));
  EXPECT_EQ(context::word_count(ctx), 4u);  // to-c and to-e; to-b was there, to-d is no set-word
  EXPECT_FALSE(context::collect_set_words(ctx, *body));
  Cell tail = *body;
  tail.w1 = 99;  // past the tail: nothing to collect, no wild read
  EXPECT_FALSE(context::collect_set_words(ctx, tail));
}

TEST(Context, CloneRebindsTheWords) {
  RootedNode src(heap_context({"cl-a", "cl-b"}, context::KIND_OBJECT, true));
  Cell object = make_cell(TYPE_OBJECT, src);
  NodeId copy = context::clone(&object, context::KIND_OBJECT);
  EXPECT_EQ(object.w1, copy);
  EXPECT_NE(copy, src.get());
  EXPECT_EQ(context::word_count(copy), 2u);
  EXPECT_EQ(context::value_count(copy), 2u);
  for (uint32_t i = 0; i < 2; i++) {
    EXPECT_EQ(context::word_at(copy, i)->w1, copy);
    EXPECT_TRUE(context::value_at(copy, i)->is(TYPE_UNSET));
    EXPECT_EQ(context::word_at(src, i)->w1, src.get());  // the source is untouched
  }
  EXPECT_EQ(context::value_at(src, 1)->w2, 2u);
  EXPECT_TRUE(context::cell(copy).header & context::SELF_FLAG);
  EXPECT_EQ(context::kind(copy), context::KIND_OBJECT);
}

// What an object's on-change* handler sees (the old value, the new one in
// place, its result dropped) is in tests/vel/datatypes/object.vel.
TEST(Context, ObjectFieldsSetTheChangeFlag) {
  RootedNode obj(heap_context({"oc-x"}, context::KIND_OBJECT, true));
  Cell w = word::make(TYPE_WORD, obj, S("oc-x"), 0);
  context::word_at(obj, 0)->header &= ~context::WORD_CHANGED;
  Cell* top = g_stack.top;
  context::set(&w, integer_cell(20));
  EXPECT_EQ(g_stack.top, top);
  EXPECT_EQ(context::value_at(obj, 0)->w2, 20u);
  EXPECT_TRUE(context::word_at(obj, 0)->header & context::WORD_CHANGED);
  context::word_at(obj, 0)->header &= ~context::WORD_CHANGED;
  context::set_in(&w, integer_cell(21), obj, false);  // without notification
  EXPECT_EQ(context::value_at(obj, 0)->w2, 21u);
  EXPECT_TRUE(context::word_at(obj, 0)->header & context::WORD_CHANGED);

  // A plain context has no change flags.
  RootedNode plain(heap_context({"oc-y"}));
  Cell y = word::make(TYPE_WORD, plain, S("oc-y"), 0);
  context::set(&y, integer_cell(2));
  EXPECT_FALSE(context::word_at(plain, 0)->header & context::WORD_CHANGED);
}

TEST(Context, SymbolsBeyondSixteenBitsBindAndResolve) {
  for (uint32_t i = 0; symbol::count() <= 70000; i++) symbol::make("ctx-filler-" + std::to_string(i));
  uint32_t big = S("ctx-big-WORD");
  uint32_t variant = S("CTX-BIG-word");
  ASSERT_GT(big, 65535u);
  RootedNode ctx(heap_context({"ctx-big-WORD"}));
  RootedCell blk(block_of({word::make_global(variant)}));
  context::bind(*blk, ctx, false);
  EXPECT_EQ(at(*blk, 0).w1, ctx);
  EXPECT_EQ(at(*blk, 0).w2, variant);  // the id itself is kept whole
  EXPECT_EQ(context::get(at(*blk, 0))->w2, 1u);
  EXPECT_EQ(context::word_value_cell(ctx, big)->w2, 1u);
}
