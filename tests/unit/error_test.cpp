// error! from C++: the catalog against the runtime's ids, the report of an
// uncaught error, and what fire records. Making, reading, forming and
// molding errors is in the script suite.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/core_words.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "error_of.h"
#include "test_util.h"

namespace vel {
namespace {

using namespace test;

class ErrorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { boot_library_once(); }
  void SetUp() override { stack_restore(StackMark{0, 0, 0}); }
};

std::string text_of(uint32_t symbol) { return std::string(symbol::text(symbol)); }

TEST_F(ErrorTest, CatalogHoldsTheTypesInOrderAndEveryRuntimeId) {
  error::load_catalog();
  ASSERT_EQ(error::type_count(), 10u);
  const uint32_t ids[] = {5, 1, 7, 94, 3, 15, 0, 0, 1, 14};
  for (uint32_t t = 0; t < 10; t++) EXPECT_EQ(error::id_count(t), ids[t]) << t;
  // Every id the runtime raises is in its own type, so fire never makes an
  // invalid-error out of a runtime fault.
  for (size_t i = 0; i < ERROR_ID_COUNT; i++) {
    ErrId id = ErrId(i);
    RootedCell e(error::create(id, 0, nullptr));
    EXPECT_EQ(text_of(error::type_symbol(*e)), error_type_name(error_type_of(id))) << error_id_name(id);
    EXPECT_EQ(text_of(error::id_symbol(*e)), error_id_name(id));
  }
}

TEST_F(ErrorTest, UncaughtErrorsAreReportedWithTheirStack) {
  RootedCell code(load("h: func [] [divide 1 0] h"));
  StackMark mark = stack_save();
  std::string caption, text;
  try {
    // As the top level does: an error a status carried up is thrown there.
    (void)throw_if_error(interp::eval_block(*code, false));
    ADD_FAILURE() << "no error";
  } catch (const VelError& e) {
    EXPECT_EQ(e.id, ErrId::ZERO_DIVIDE);
    error::uncaught_report(e, &caption, &text);
  }
  stack_restore(mark);
  EXPECT_EQ(caption, "Vel NoName App");
  EXPECT_EQ(text,
            "*** Math Error: attempt to divide by zero\n*** Where: divide\n*** Near : divide 1 0\n*** Stack: h");
}

TEST_F(ErrorTest, FireFromCppNamesTheCallAndCarriesTheArguments) {
  StackMark mark = stack_save();
  stack_mark(FRAME_NATIVE, symbol::make("my-native"), 0);
  stack_mark(FRAME_EVAL, sym_exact(SymId::BODY_TAG), 0);
  VelError e = caught([] { fire(ErrId::EXPECT_ARG, word::load("f"), datatype_cell(TYPE_INTEGER), word::load("arg")); });
  stack_restore(mark);
  ASSERT_TRUE(e.error.is(TYPE_ERROR));
  EXPECT_EQ(molded(error::field(e.error, error::WHERE)), "my-native");
  EXPECT_EQ(error::field(e.error, error::STACK).i2(), int32_t(mark.frames + 2));
  EXPECT_EQ(molded(error::field(e.error, error::ARG2)), "integer!");
  EXPECT_EQ(e.id, ErrId::EXPECT_ARG);
  EXPECT_EQ(molded(e.args[0]), "f");
  // No frame at all: where stays none, the report says ???.
  e = caught([] { fire(ErrId::NO_VALUE, word::load("zz")); });
  EXPECT_EQ(e.id, ErrId::NO_VALUE);
  EXPECT_TRUE(error::field(e.error, error::WHERE).is(TYPE_NONE));
}

}  // namespace
}  // namespace vel
