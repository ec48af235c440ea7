// The ownership table: binding (first owner keeps a series, nested and
// self-containing blocks), unbinding, the owner check, and the collector's
// sweep of entries whose series or owner died.
#include <gtest/gtest.h>

#include "gc_scope.h"

#include "collector.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "datatypes/object.h"
#include "hashtable.h"
#include "datatypes/ownership.h"
#include "roots.h"
#include "test_util.h"

namespace vel {
namespace {

using namespace test;

// Every test runs with a collection (moving every buffer) at every
// allocation, so that a value held across an allocation without a root
// shows.
class OwnershipTest : public ::testing::Test {
 protected:
  CollectingScope stress_{1};
};

// The first value of source text.
may_gc Cell value(const char* src) {
  RootedCell b(load(src));
  return node_buffer(b->node())->cells()[0];
}

bool owned(const Cell& series) { return node_buffer(series.node())->flags & BUF_OWNED; }

// The word the table recorded for a series, as text ("" when none).
std::string recorded_word(NodeId n) {
  Cell w;
  if (!ownership_get_word(n, &w)) return "";
  return molded(w);
}

TEST_F(OwnershipTest, FirstOwnerKeepsEverySeriesNestedInAValue) {
  RootedCell a(object::make_empty(2)), b(object::make_empty(2));
  RootedCell inner(value("[x]"));
  RootedCell outer(block::make_at(4));
  block::rs_append(outer->node(), *inner);
  block::rs_append(outer->node(), *outer);  // holds itself: bound once, no endless walk
  RootedCell wa(value("one")), wb(value("two"));
  ownership_bind(*outer, *a, *wa);
  ownership_bind(*inner, *b, *wb);  // already owned: a keeps it
  EXPECT_TRUE(owned(*outer));
  EXPECT_TRUE(owned(*inner));
  Cell owner;
  ASSERT_TRUE(ownership_get_owner(inner->node(), &owner));
  EXPECT_EQ(owner.w1, a->w1);
  EXPECT_EQ(recorded_word(inner->node()), "one");

  // An owner without an event record is not told, and no error is raised.
  EXPECT_FALSE(report_change(*inner, ChangeWord::APPEND, none_cell(), 0, 1));

  ownership_unbind(*outer);
  EXPECT_FALSE(owned(*outer));
  EXPECT_FALSE(owned(*inner));
  EXPECT_FALSE(ownership_get_owner(outer->node(), &owner));
  EXPECT_FALSE(ownership_get_owner(inner->node(), &owner));
}

TEST_F(OwnershipTest, TheCollectorDropsEntriesOfDeadSeriesAndDeadOwners) {
  RootedCell owner(object::make_empty(2));
  RootedCell kept(value("[k]"));
  RootedCell w(value("f"));
  NodeId dead_series, table;
  uint32_t before;
  {
    RootedCell gone(value("[g]"));
    dead_series = gone->node();
    ownership_bind(*gone, *owner, *w);
    ownership_bind(*kept, *owner, *w);
    table = ownership_table();
    ASSERT_NE(table, 0u);
    before = hash_table::live_count(table);
  }

  // The series dies, the owner lives: its entry goes.
  {
    CollectingScope on;
    collector_run();
  }
  EXPECT_EQ(hash_table::live_count(table), before - 1);
  Cell o;
  EXPECT_TRUE(ownership_get_owner(kept->node(), &o));
  EXPECT_EQ(o.w1, owner->w1);
  EXPECT_EQ(recorded_word(kept->node()), "f");
  EXPECT_TRUE(owned(*kept));
  EXPECT_FALSE(ownership_get_owner(dead_series, &o));

  // The owner dies, the series lives: the entry goes and the series is no
  // longer flagged owned.
  *owner = none_cell();
  {
    CollectingScope on;
    collector_run();
  }
  EXPECT_FALSE(ownership_get_owner(kept->node(), &o));
  EXPECT_FALSE(owned(*kept));
  EXPECT_EQ(hash_table::live_count(table), before - 2);
  heap_verify();
}

}  // namespace
}  // namespace vel
