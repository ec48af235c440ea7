#include <gtest/gtest.h>

#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "error_of.h"
#include "errors.h"

using namespace vel;

namespace {

std::string formed(Cell v) {
  NodeId out = make_string(16);
  form_value(v, out);
  return string_text(out);
}

std::string molded(Cell v, uint32_t flags = 0) {
  NodeId out = make_string(16);
  mold_value(v, out, flags);
  return string_text(out);
}

Cell dt(TypeId t) { return make_cell(TYPE_DATATYPE, t); }

}  // namespace

TEST(Registry, EveryTypeIsRegisteredWithItsName) {
  EXPECT_EQ(g_last_type_id, 53);  // event! registers later, from the GUI module
  for (int t = 1; t <= 53; t++) {
    ASSERT_TRUE(g_types[t].registered) << t;
    EXPECT_EQ(g_types[t].name_len + 1, int32_t(std::strlen(g_types[t].name)));
    for (int a = 1; a <= ACTION_COUNT; a++) EXPECT_NE(g_types[t].actions[a], nullptr) << t << " " << a;
    EXPECT_NE(g_types[t].form, nullptr);
    EXPECT_NE(g_types[t].mold, nullptr);
    EXPECT_NE(g_types[t].compare, nullptr);
  }
  EXPECT_STREQ(type_name(TYPE_POINT2D), "point2D!");
  EXPECT_EQ(g_types[TYPE_PAREN].parent, TYPE_BLOCK);
}

TEST(Registry, DatatypeFormMoldCompare) {
  EXPECT_EQ(formed(dt(TYPE_INTEGER)), "integer");
  EXPECT_EQ(molded(dt(TYPE_INTEGER)), "integer!");
  EXPECT_EQ(molded(dt(TYPE_INTEGER), MOLD_ALL), "#(integer!)");
  NodeId out = make_string(4);
  EXPECT_EQ(mold_value(dt(TYPE_BLOCK), out, MOLD_ALL, nullptr, 100), 100 - 6 - 3);

  Cell i = dt(TYPE_INTEGER), f = dt(TYPE_FLOAT), one = make_cell(TYPE_INTEGER, 0, 1);
  EXPECT_EQ(compare_cells(&i, &i, CMP_EQUAL), 0);
  EXPECT_NE(compare_cells(&i, &f, CMP_EQUAL), 0);
  EXPECT_NE(compare_cells(&i, &one, CMP_EQUAL), 0);
  EXPECT_EQ(compare_cells(&i, &f, CMP_LESSER), CMP_INCOMPARABLE);
  EXPECT_EQ(compare_cells(&i, &i, CMP_SORT), CMP_INCOMPARABLE);
}

TEST(Registry, UnsupportedActionsRaiseExpectArg) {
  Cell base[2] = {dt(TYPE_INTEGER), dt(TYPE_FLOAT)};
  EXPECT_EQ(error_of([&] { (void)g_types[TYPE_DATATYPE].actions[ACT_APPEND](base); }), ErrId::EXPECT_ARG);
}
