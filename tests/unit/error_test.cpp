// error!: the catalog, making errors, their fields, the formed report and
// mold, path access, comparison, and what fire and the top level make of
// errors.
#include <gtest/gtest.h>

#include <string>

#include "control_test_util.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "datatypes/words.h"

namespace vel {
namespace {

using namespace evaltest;

class ErrorTest : public ControlFixture {};

std::string text_of(uint32_t symbol) { return std::string(symbol::text(symbol)); }

// --- the catalog -----------------------------------------------------------------------

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

// --- make ----------------------------------------------------------------------------------

TEST_F(ErrorTest, MakeFromCodesBlocksAndStrings) {
  struct Case {
    const char* src;
    const char* molded;
  } cases[] = {
      {"e: make error! 300 reduce [e/code e/type e/id]", "[300 script no-value]"},
      {"e: make error! 0 e/id", "break"},
      {"e: make error! 393 e/id", "rb-invalid-record"},
      {"e: make error! 904 e/id", "stack-overflow"},
      {"e: make error! [script no-value] e/code", "300"},
      {"e: make error! [Math Zero-Divide] e/code", "400"},
      {"e: make error! [type: 'math id: 'overflow arg1: 5] reduce [e/code e/arg1]", "[401 5]"},
      {"e: make error! \"boom\" reduce [e/type e/id e/arg1 e/code]", "[user message \"boom\" 800]"},
      {"e: make error! 300 e/where", "none"},
  };
  for (const Case& c : cases) EXPECT_EQ(run_mold(c.src), c.molded) << c.src;

  struct ErrorCase {
    const char* src;
    ErrId id;
    const char* arg1;  // molded, or null
  } errors[] = {
      {"make error! -1", ErrId::OUT_OF_RANGE, "-1"},
      {"make error! 394", ErrId::OUT_OF_RANGE, "394"},
      {"make error! 600", ErrId::OUT_OF_RANGE, "600"},  // the reserved types have no ids
      {"make error! 1000", ErrId::OUT_OF_RANGE, "1000"},
      {"make error! [script]", ErrId::INVALID_SPEC_FIELD, "id"},
      {"make error! [bogus no-value]", ErrId::INVALID_SPEC_FIELD, "type"},
      {"make error! [script bogus]", ErrId::INVALID_SPEC_FIELD, "id"},
      {"make error! [script 1]", ErrId::INVALID_ARG, "1"},
      {"make error! [type: 'script id: 'bogus]", ErrId::INVALID_SPEC_FIELD, "id"},
      {"make error! [type: 'bogus]", ErrId::INVALID_SPEC_FIELD, "type"},
      {"make error! []", ErrId::INVALID_ERROR, nullptr},
      {"make error! [1 2]", ErrId::INVALID_ERROR, nullptr},
      {"make error! 1.5", ErrId::BAD_MAKE_ARG, "error!"},
  };
  for (const ErrorCase& c : errors) {
    auto r = run_error(c.src);
    ASSERT_TRUE(r.has_value()) << c.src;
    EXPECT_EQ(std::string(error_id_name(r->id)), error_id_name(c.id)) << c.src;
    if (c.arg1) {
      EXPECT_EQ(molded(r->args[0]), c.arg1) << c.src;
    }
  }
}

// --- the report ------------------------------------------------------------------------------

TEST_F(ErrorTest, FormedReportsAreExact) {
  struct Case {
    const char* src;
    const char* report;
  } cases[] = {
      {"e: try [divide 1 0] e",
       "*** Math Error: attempt to divide by zero\n*** Where: divide\n*** Near : divide 1 0"},
      {"e: try [if true [undefined-word-r]] e",
       "*** Script Error: undefined-word-r has no value\n*** Where: if\n*** Near : undefined-word-r"},
      {"e: try [if true 5] e",
       "*** Script Error: if does not allow integer! for its then-blk argument\n*** Where: if\n"
       "*** Near : if true 5"},
      {"e: try [catch/name [throw/name 1 'a] 'b] e",
       "*** Throw Error: no catch for throw: 1\n*** Where: throw\n*** Near : throw/name 1 'a"},
      {"e: make error! \"some text\" e", "*** User Error: some text\n*** Where: ???\n*** Near : e: make error! \"some text\" e"},
      // Syntax errors form their arguments; the others mold them.
      {"make error! [type: 'syntax id: 'invalid arg1: \"(line 1)\" arg2: \"x\" arg3: \"y\"]",
       "*** Syntax Error: (line 1) invalid x at y\n*** Where: ???\n*** Near : make error! [type: 'syntax id: 'invalid "},
      {"make error! [type: 'script id: 'invalid-arg arg1: \"x\" near: none]",
       "*** Script Error: invalid argument: \"x\"\n*** Where: ???\n*** Near : none"},
      // An unknown type or id is reported as invalid-error.
      {"e: make error! [type: 'script id: 'no-value near: none] e/type: 'bogus e",
       "*** Internal Error: invalid error object field value: bogus\n*** Where: ???\n*** Near : none"},
      {"e: make error! [type: 'script id: 'no-value near: none] e/id: 'bogus e",
       "*** Internal Error: invalid error object field value: bogus\n*** Where: ???\n*** Near : none"},
      // near is cut at 40 characters; where may be a string.
      {"make error! [type: 'math id: 'overflow where: \"here\" near: [aaaaaaaaaa bbbbbbbbbb cccccccccc dddddddddd]]",
       "*** Math Error: math or number overflow\n*** Where: here\n*** Near : aaaaaaaaaa bbbbbbbbbb cccccccccc ddddddd"},
      // A template value is cut at 80 characters.
      {"make error! [type: 'script id: 'invalid-arg near: none arg1: "
       "[aaaaaaaaaa bbbbbbbbbb cccccccccc dddddddddd eeeeeeeeee ffffffffff gggggggggg hhhhhhhhhh]]",
       "*** Script Error: invalid argument: [aaaaaaaaaa bbbbbbbbbb cccccccccc dddddddddd eeeeeeeeee ffffffffff "
       "gggggggggg hh\n*** Where: ???\n*** Near : none"},
  };
  for (const Case& c : cases) EXPECT_EQ(formed(run(c.src)), c.report) << c.src;
}

TEST_F(ErrorTest, TryKeepRecordsTheCallingFunctions) {
  std::string report = formed(run("g: func [] [divide 1 0] f: func [] [g] e: try/keep [f] e"));
  EXPECT_EQ(report,
            "*** Math Error: attempt to divide by zero\n*** Where: divide\n*** Near : divide 1 0\n*** Stack: f g");
  EXPECT_EQ(run_mold("e: try/keep [f] e/stack"), "[f g]");
  // Without /keep the frame depth is dropped: no stack line.
  EXPECT_EQ(run_mold("e: try [f] e/stack"), "none");
  EXPECT_EQ(error_id("e: try [1] e: try [f] e/stack: 1"), ErrId::INVALID_PATH_SET);
}

TEST_F(ErrorTest, UncaughtErrorsAreReportedWithTheirStack) {
  RootedCell code(load("h: func [] [divide 1 0] h"));
  StackMark mark = stack_save();
  std::string caption, text;
  try {
    (void)interp::eval_block(*code, false);
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
  try {
    fire(ErrId::EXPECT_ARG, word::load("f"), datatype_cell(TYPE_INTEGER), word::load("arg"));
  } catch (const VelError& e) {
    ASSERT_TRUE(e.error.is(TYPE_ERROR));
    EXPECT_EQ(molded(error::field(e.error, error::WHERE)), "my-native");
    EXPECT_EQ(error::field(e.error, error::STACK).i2(), int32_t(mark.frames + 2));
    EXPECT_EQ(molded(error::field(e.error, error::ARG2)), "integer!");
    EXPECT_EQ(e.id, ErrId::EXPECT_ARG);
    EXPECT_EQ(molded(e.args[0]), "f");
  }
  stack_restore(mark);
  // No frame at all: where stays none, the report says ???.
  try {
    fire(ErrId::NO_VALUE, word::load("zz"));
  } catch (const VelError& e) {
    EXPECT_TRUE(error::field(e.error, error::WHERE).is(TYPE_NONE));
  }
}

// --- mold, paths, compare --------------------------------------------------------------------

TEST_F(ErrorTest, MoldWritesTheFields) {
  EXPECT_EQ(run_mold("make error! [type: 'math id: 'overflow near: none arg1: \"a\"]"),
            "make error! [\n    code: 401\n    type: 'math\n    id: 'overflow\n    arg1: \"a\"\n    arg2: none\n"
            "    arg3: none\n    near: none\n    where: none\n    stack: none\n    files: none\n]");
  EXPECT_EQ(molded(run("make error! [type: 'math id: 'overflow near: none]"), MOLD_FLAT),
            "make error! [code: 401 type: 'math id: 'overflow arg1: none arg2: none arg3: none near: none "
            "where: none stack: none files: none]");
}

TEST_F(ErrorTest, PathAccess) {
  EXPECT_EQ(run_mold("e: make error! 300 e/arg1: 5 e/arg1"), "5");
  EXPECT_EQ(run_mold("e: make error! 300 e/ID"), "no-value");
  EXPECT_EQ(error_id("e: make error! 300 e/nothing"), ErrId::INVALID_PATH);
  EXPECT_EQ(error_id("e: make error! 300 e/1"), ErrId::INVALID_PATH);
  EXPECT_EQ(error_id("e: make error! 300 e/stack: []"), ErrId::INVALID_PATH_SET);
  EXPECT_EQ(error_id("e: make error! 300 e/arg1: () e/arg1"), ErrId::UNSET_PATH);
}

TEST_F(ErrorTest, CompareAsObjects) {
  RootedCell a(run("make error! [type: 'math id: 'overflow near: none]"));
  RootedCell b(run("make error! [type: 'math id: 'overflow near: none]"));
  RootedCell c(run("make error! [type: 'math id: 'zero-divide near: none]"));
  Cell i = integer_cell(1);
  EXPECT_EQ(compare_cells(a.get(), a.get(), CMP_SAME), 0);
  EXPECT_NE(compare_cells(a.get(), b.get(), CMP_SAME), 0);
  EXPECT_EQ(compare_cells(a.get(), b.get(), CMP_EQUAL), 0);
  EXPECT_NE(compare_cells(a.get(), c.get(), CMP_EQUAL), 0);
  EXPECT_EQ(compare_cells(a.get(), &i, CMP_EQUAL), CMP_INCOMPARABLE);
  EXPECT_FALSE(compare_values(a.get(), &i, CMP_EQUAL));
}

}  // namespace
}  // namespace vel
