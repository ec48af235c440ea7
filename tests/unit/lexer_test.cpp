// The lexer: source text into values, the automaton's rows, syntax errors,
// transcode, events and the number scanners.
#include <gtest/gtest.h>

#include "error_of.h"
#include "gc_scope.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "collector.h"
#include "datatypes/block.h"
#include "datatypes/core_words.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "io/lexer.h"
#include "io/lexer_internal.h"
#include "numscan.h"
#include "roots.h"
#include "unicode.h"

namespace vel {
namespace {

using lexer::Mode;

// system/lexer/exit-states while a test hides it.
Cell g_hidden_exit_states = {};
StaticRoot g_hidden_root("lexer tests: hidden exit-states", &g_hidden_exit_states, 1);

Cell* exit_states_slot() { return const_cast<Cell*>(system_field(SymId::LEXER, SymId::EXIT_STATES)); }

// The tests run without system/lexer/exit-states, whether or not a test
// before them booted the library; what it names is in
// tests/vel/evaluator/transcode.vel.
class LexerTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { lexer::init(); }
  void SetUp() override {
    if (Cell* slot = exit_states_slot()) {
      g_hidden_exit_states = *slot;
      *slot = none_cell();
    }
  }
  void TearDown() override {
    if (Cell* slot = exit_states_slot()) *slot = g_hidden_exit_states;
    g_hidden_exit_states = {};
  }
};

std::string molded(const Cell& v, uint32_t flags = 0) {
  RootedCell keep(v);
  RootedNode out(make_string(16));
  mold_value(*keep, out, flags);
  return string_text(out);
}

Cell text_value(std::string_view utf8) {
  RootedNode n(make_string(16));
  append_utf8(n, utf8);
  return series_cell(TYPE_STRING, n);
}

Cell binary_value(std::string_view bytes) {
  NodeId n = alloc_bytes(bytes.size());
  Buffer* b = node_buffer(n);
  std::memcpy(b->data(), bytes.data(), bytes.size());
  b->tail = b->head + uint32_t(bytes.size());
  return series_cell(TYPE_BINARY, n);
}

// A syntax error as "id arg2 arg3" (the line argument apart), or the
// molded block of the values.
std::string render_error(const VelError& e) {
  std::string s = "!" + std::string(error_id_name(e.id));
  for (int i = e.id == ErrId::NOT_DONE ? 0 : 1; i < e.nargs; i++) s += " " + molded(e.args[i]);
  return s;
}

std::string load(std::string_view src, Mode mode = Mode::LOAD) {
  try {
    lexer::ScanOptions o;
    o.mode = mode;
    lexer::ScanResult r = lexer::scan(std::string(src), o);
    return molded(r.value);
  } catch (const VelError& e) {
    return render_error(e);
  }
}

// The type a scan recognises (scan mode: checked, nothing built) and the
// bytes it took.
struct Scanned {
  TypeId type;
  uint64_t consumed;
};
Scanned scan_type(std::string_view src, Mode mode = Mode::SCAN) {
  lexer::ScanOptions o;
  o.mode = mode;
  lexer::ScanResult r = lexer::scan(std::string(src), o);
  return {r.type, r.consumed};
}

// --- loading -------------------------------------------------------------------------------------

struct Case {
  const char* src;
  const char* expected;
};

TEST_F(LexerTest, LoadsCoreKinds) {
  const Case cases[] = {
      {"", "[]"},
      {"  \t\r\n ", "[]"},
      {"a b c", "[a b c]"},
      {"[1 2 [3 4] (5)]", "[[1 2 [3 4] (5)]]"},
      {"'a :b c: /ref", "['a :b c: /ref]"},
      {"+ - . = < > << <> <= <- % / // ->", "[+ - . = < > << <> <= <- % / // ->]"},
      {"'+ :- '/ :/ /: '% '<=", "['+ :- '/ :/ /: '% '<=]"},
      {"a/b/c a/b: 'a/b :a/b a/:b a/1/\"s\"", "[a/b/c a/b: 'a/b :a/b a/:b a/1/\"s\"]"},
      {"a/(b c)/d [x/y]", "[a/(b c)/d [x/y]]"},
      {"\"abc\" \"\" \"a^\"b\"", "[\"abc\" \"\" {a\"b}]"},
      {"{a{b}c} {} {x^}y}", "[\"a{b}c\" \"\" \"x}y\"]"},
      {"\"^(tab)^-^/^(line)^@^~^(null)^A^[\"", "[\"^-^-^/^/^@^~^@^A^[\"]"},
      {"\"^(41)^(00E9)^(263A)^(1F600)^x^1\"", "[\"Aé☺😀^X1\"]"},
      {"\"é☺\" {😀}", "[\"é☺\" \"😀\"]"},
      // Tokens spanning lines carry the new-line flag.
      {"%{a}% %%{a}%}%% %{}% %{x\ny}%", "[\"a\" \"a}%\" \"\"\n\"x^/y\"]"},
      {"#\"a\" #\"^-\" #\"^(1F600)\" #\"é\" #\"^\"\" #\"\n\"", "[#\"a\" #\"^-\" #\"😀\" #\"é\" #\"^\"\"\n#\"^/\"]"},
      {"0 1 -1 +7 1'000'000 007", "[0 1 -1 7 1000000 7]"},
      {"2147483647 -2147483648 -2'147'483'648", "[2147483647 -2147483648 -2147483648]"},
      {"2147483648 12345678901 -2147483649", "[2147483648.0 12345678901.0 -2147483649.0]"},
      {"1.5 .5 -.5 1. 1e3 1.5E-3 1'000.5 5e+2", "[1.5 0.5 -0.5 1.0 1000.0 0.0015 1000.5 500.0]"},
      {"1.#INF -1.#inf 1.#NaN", "[1.#INF -1.#INF 1.#NaN]"},
      {"FFh 0Ah 7FFFFFFFh FFFFFFFFh 1E2h", "[255 10 2147483647 -1 482]"},
      {"ah -FFh Foo E", "[ah -FFh Foo E]"},
      {"#(true) #(FALSE) #(none) #(unset) #(integer!) #(integ) #(n)", "[true false none unset integer! integer! none!]"},
      {"a;comment\nb ; more\n", "[a\nb]"},
      {"é über 😀x", "[é über 😀x]"},
      {"a\xC2\xA0" "b \xE3\x80\x80" "c", "[a b c]"},
      {"(x y)", "[(x y)]"},
  };
  for (const Case& c : cases) EXPECT_EQ(load(c.src), c.expected) << c.src;
}

TEST_F(LexerTest, LoadedValuesHaveTheirTypes) {
  const struct {
    const char* src;
    TypeId type;
  } cases[] = {
      {"a", TYPE_WORD},       {"a:", TYPE_SET_WORD},      {":a", TYPE_GET_WORD},   {"'a", TYPE_LIT_WORD},
      {"/a", TYPE_REFINEMENT}, {"a/b", TYPE_PATH},        {"a/b:", TYPE_SET_PATH}, {"'a/b", TYPE_LIT_PATH},
      {":a/b", TYPE_GET_PATH}, {"(1)", TYPE_PAREN},       {"1", TYPE_INTEGER},     {"1.0", TYPE_FLOAT},
      {"99999999999", TYPE_FLOAT}, {"FFh", TYPE_INTEGER}, {"#\"a\"", TYPE_CHAR},   {"%{a}%", TYPE_STRING},
      {"{a}", TYPE_STRING},   {"#(block!)", TYPE_DATATYPE}, {"#(true)", TYPE_LOGIC},
  };
  for (const auto& c : cases) {
    lexer::ScanOptions o;
    o.mode = Mode::ONE;
    lexer::ScanResult r = lexer::scan(c.src, o);
    EXPECT_EQ(r.value.type(), c.type) << c.src;
    EXPECT_EQ(r.type, c.type) << c.src;
  }
}

TEST_F(LexerTest, StringsChooseTheNarrowestUnit) {
  const struct {
    const char* src;
    uint32_t unit;
  } cases[] = {{"\"abc\"", 1}, {"\"é\"", 1}, {"\"☺\"", 2}, {"\"^(1F600)\"", 4}, {"{a😀}", 4}, {"%{☺}%", 2}};
  for (const auto& c : cases) {
    lexer::ScanOptions o;
    o.mode = Mode::ONE;
    Cell v = lexer::scan(c.src, o).value;
    ASSERT_TRUE(v.is(TYPE_STRING)) << c.src;
    EXPECT_EQ(node_buffer(v.node())->unit(), c.unit) << c.src;
  }
}

TEST_F(LexerTest, NewLineMarkers) {
  // Bit 30 of a value that follows a line break, a comment line, a blank
  // line; on the block of a "[" that starts a line; on a braced string
  // exactly when its "{" did.
  lexer::ScanOptions o;
  lexer::ScanResult r = lexer::scan("a b\nc ; x\n\n[d\ne] {x\ny} z\n{p}", o);
  RootedCell blk(r.value);
  Buffer* b = node_buffer(blk->node());
  ASSERT_EQ(b->used() / sizeof(Cell), 7u);
  bool expected[] = {false, false, true, true, false, false, true};
  for (int i = 0; i < 7; i++) EXPECT_EQ(b->cells()[i].new_line(), expected[i]) << i;
  Cell inner = b->cells()[3];
  Buffer* ib = node_buffer(inner.node());
  EXPECT_FALSE(ib->cells()[0].new_line());
  EXPECT_TRUE(ib->cells()[1].new_line());
}

// --- the automaton, row class by row class -------------------------------------------------------
// Each test drives tokens through one group of states and checks the kind
// they end in (scan mode: recognised and checked, nothing built) and the
// bytes they take; kinds whose datatype has not landed are recognised too.

void expect_scans(std::initializer_list<std::pair<const char*, TypeId>> cases, Mode mode = Mode::SCAN) {
  for (const auto& [src, type] : cases) {
    Scanned s = scan_type(src, mode);
    EXPECT_EQ(int(s.type), int(type)) << src;
    if (type != TYPE_ERROR) {
      EXPECT_EQ(s.consumed, std::strlen(src)) << src;
    }
  }
}

TEST_F(LexerTest, RowsStartAndComment) {
  expect_scans({{" \t\x01\r\n a", TYPE_WORD}, {"; only a comment", TYPE_NONE_ID}, {";x\n 1", TYPE_INTEGER},
                {"}", TYPE_ERROR}, {"\\", TYPE_ERROR}, {"\x80", TYPE_ERROR}, {"\xFF", TYPE_ERROR}});
}

TEST_F(LexerTest, RowsStrings) {
  expect_scans({{"\"a b\"", TYPE_STRING}, {"\"a^\"b\"", TYPE_STRING}, {"\"a\nb\"", TYPE_ERROR},
                {"\"open", TYPE_ERROR}, {"{a\n{b}^}}", TYPE_STRING}, {"{open", TYPE_ERROR},
                {"%{a}%", TYPE_STRING}, {"%%{a}%}%%", TYPE_STRING}, {"%{a", TYPE_ERROR},
                {"%{a}%%", TYPE_ERROR}, {"%%x", TYPE_ERROR}});
}

TEST_F(LexerTest, RowsFilesAndPercentWords) {
  expect_scans({{"%a/b.txt", TYPE_FILE}, {"%\"a b\"", TYPE_FILE}, {"%\"a^\"b\"", TYPE_FILE}, {"%", TYPE_WORD},
                {"'%", TYPE_LIT_WORD}, {"%\"a\nb\"", TYPE_ERROR}, {"%a\"b", TYPE_ERROR}});
}

TEST_F(LexerTest, RowsSlashes) {
  expect_scans({{"/", TYPE_WORD}, {"//", TYPE_WORD}, {"/:", TYPE_SET_WORD}, {"/ref", TYPE_REFINEMENT},
                {"/a:", TYPE_ERROR}, {"/a,", TYPE_ERROR}});
  EXPECT_EQ(load("/a/b"), "[/a /b]");
}

TEST_F(LexerTest, RowsHashForms) {
  expect_scans({{"#abc", TYPE_ISSUE}, {"#\"x\"", TYPE_CHAR}, {"#\"^\"\"", TYPE_CHAR}, {"#{0A}", TYPE_BINARY},
                {"2#{0101 0101}", TYPE_BINARY}, {"#{0A ; c}\n 0B}", TYPE_BINARY}, {"64#{QUI=}", TYPE_BINARY},
                {"2#{0101}", TYPE_ERROR}, {"#{0A0}", TYPE_ERROR}, {"#{0G}", TYPE_ERROR}, {"8#{00}", TYPE_ERROR},
                {"64#{Q===}", TYPE_ERROR}, {"#(none)", TYPE_NONE},
                {"#[a 1]", TYPE_MAP}, {"# ", TYPE_ERROR}, {"#a:b", TYPE_ERROR}, {"#{0A", TYPE_ERROR},
                {"#(none", TYPE_ERROR}, {"#\"a", TYPE_ERROR}});
  EXPECT_EQ(load("2#{00001111} 64#{QUJD} #{0a 0B} #{}"), "[#{0F} #{414243} #{0A0B} #{}]");
}

TEST_F(LexerTest, RowsNumbers) {
  expect_scans({{"1'000", TYPE_INTEGER}, {"1.5", TYPE_FLOAT}, {"1e5", TYPE_FLOAT}, {"1E5", TYPE_FLOAT},
                {"1.5e-3", TYPE_FLOAT}, {"1.#INF", TYPE_FLOAT}, {"5%", TYPE_PERCENT}, {"1.5%", TYPE_PERCENT},
                {"1a", TYPE_ERROR}, {"1.5.", TYPE_ERROR}, {"1e", TYPE_ERROR}, {"1''0", TYPE_ERROR},
                {"1'", TYPE_ERROR}, {"2.#INF", TYPE_ERROR}, {"1.5x", TYPE_ERROR}});
}

TEST_F(LexerTest, RowsTuplesDatesTimesPairs) {
  expect_scans({{"1.2.3", TYPE_TUPLE}, {"1-Jan-2000", TYPE_DATE}, {"1/2/2020", TYPE_DATE},
                {"2020-01-01T10:00+02:00", TYPE_DATE}, {"1:30", TYPE_TIME}, {"1:2:3.5", TYPE_TIME},
                {"-0:30", TYPE_TIME}, {"1x2", TYPE_PAIR}, {"-1x-2", TYPE_PAIR}, {"1x", TYPE_ERROR},
                {"1:2e", TYPE_ERROR}, {"1.2.3a", TYPE_ERROR}});
}

TEST_F(LexerTest, RowsPointsAndMoney) {
  expect_scans({{"(1, 2)", TYPE_POINT2D}, {"(1.5, -2, 3)", TYPE_POINT3D}, {"(1.#INF, 0)", TYPE_POINT2D},
                {"$1", TYPE_MONEY}, {"-$1.50", TYPE_MONEY}, {"USD$1'000.50", TYPE_MONEY}, {"$", TYPE_ERROR},
                {"$.5", TYPE_ERROR}, {"(1, 2", TYPE_ERROR}, {"(1, (", TYPE_ERROR}});
}

TEST_F(LexerTest, RowsHexCandidates) {
  expect_scans({{"FFh", TYPE_INTEGER}, {"0Ah", TYPE_INTEGER}, {"1E2h", TYPE_INTEGER}, {"ABC", TYPE_WORD},
                {"ABh/x", TYPE_PATH}, {"Fh", TYPE_ERROR}, {"1Ah2", TYPE_ERROR}, {"1A", TYPE_ERROR},
                {"-1Ah", TYPE_ERROR}, {"1ah", TYPE_ERROR}});
}

TEST_F(LexerTest, RowsAngles) {
  expect_scans({{"<", TYPE_WORD}, {"<=", TYPE_WORD}, {"<a>", TYPE_TAG}, {"</a>", TYPE_TAG},
                {"<a href=\"x>y\">", TYPE_TAG}, {"<a b='>'>", TYPE_TAG}, {"<a\nb>", TYPE_TAG},
                {"<a", TYPE_ERROR}, {"<a \"b>", TYPE_ERROR}});
}

TEST_F(LexerTest, RowsSignsDotsQuotes) {
  expect_scans({{"-", TYPE_WORD}, {"-a", TYPE_WORD}, {"+1", TYPE_INTEGER}, {"-.5", TYPE_FLOAT},
                {".", TYPE_WORD}, {".a", TYPE_WORD}, {"..", TYPE_WORD}, {".5", TYPE_FLOAT},
                {"'a", TYPE_LIT_WORD}, {":a", TYPE_GET_WORD}, {"'1", TYPE_ERROR}, {"'", TYPE_ERROR},
                {"'a:", TYPE_ERROR}, {"-'", TYPE_WORD}});
}

TEST_F(LexerTest, RowsWordsUrlsEmailsRefs) {
  expect_scans({{"abc", TYPE_WORD}, {"a-b.c?", TYPE_WORD}, {"a:", TYPE_SET_WORD}, {"http://x.y/z", TYPE_URL},
                {"a@b.c", TYPE_EMAIL}, {"1@b", TYPE_EMAIL}, {"@ref", TYPE_REF}, {"=", TYPE_WORD},
                {"==", TYPE_WORD}, {"=>", TYPE_WORD}, {"a%b", TYPE_ERROR}, {"a@b@c", TYPE_ERROR},
                {"@a#b", TYPE_ERROR}, {"a:>", TYPE_ERROR}, {"a$", TYPE_ERROR}});
}

TEST_F(LexerTest, RowsPathItems) {
  expect_scans({{"a/1", TYPE_PATH},     {"a/b", TYPE_PATH},     {"a/-b", TYPE_PATH},  {"a/-", TYPE_PATH},
                {"a/#x", TYPE_PATH},    {"a/#\"c\"", TYPE_PATH}, {"a/\"s\"", TYPE_PATH}, {"a/(b)", TYPE_PATH},
                {"a/<t>", TYPE_PATH},   {"a/@r", TYPE_PATH},    {"a/'b", TYPE_PATH},  {"a/:b", TYPE_PATH},
                {"a/b:", TYPE_SET_PATH}, {"'a/b", TYPE_LIT_PATH}, {"a/", TYPE_ERROR}, {"a/ b", TYPE_ERROR},
                {"a/1.5", TYPE_ERROR},  {"a/[b]", TYPE_ERROR},  {"a/#", TYPE_ERROR},  {"a/b:/c", TYPE_ERROR}});
}

TEST_F(LexerTest, EveryStateHasAnEndOfInputExit) {
  // The automaton never reads past the terminating NUL: the end column of
  // every working state leads to a final state.
  for (int s = 0; s < lexer::STATE_COUNT; s++) EXPECT_GE(lexer::kTransitions[s][lexer::C_END], lexer::KIND_FIRST) << s;
  // The three rows the grammar spells out, cell by cell.
  const uint8_t row0[40] = {0,  0,  23, 23, 68, 69, 70, 71, 72, 67, 2,  16, 51, 51, 52, 52, 52, 52, 40, 52,
                            40, 13, 67, 43, 52, 58, 6,  78, 1,  57, 49, 36, 47, 47, 52, 0,  67, 52, 67, 66};
  const uint8_t row23[40] = {82, 82, 23, 23, 82, 82, 82, 82, 82, 82, 82, 16, 23, 31, 33, 30, 42, 26, 27, 67,
                             39, 30, 67, 82, 67, 67, 87, 82, 82, 56, 24, 67, 67, 30, 67, 82, 67, 67, 67, 82};
  for (int c = 0; c < 40; c++) {
    EXPECT_EQ(lexer::kTransitions[0][c], row0[c]) << c;
    EXPECT_EQ(lexer::kTransitions[23][c], row23[c]) << c;
  }
}

// --- syntax errors -------------------------------------------------------------------------------

TEST_F(LexerTest, SyntaxErrorsCarryIdTypeAndExcerpt) {
  const Case cases[] = {
      {"[", "!missing #\"]\" \"[\""},
      {"[1 2", "!missing #\"]\" \"[1 2\""},
      {"(a [b)", "!missing #\"]\" \")\""},
      {"]", "!missing #\"[\" \"]\""},
      {"a )", "!missing #\"(\" \")\""},
      {"(]", "!missing #\")\" \"]\""},
      {"(x, y)", "!missing #\"(\" \")\""},
      {"1,5", "!invalid point2D! \",5\""},
      {"x,y", "!invalid word! \"x,y\""},
      {"\"abc", "!invalid string! {\"abc}"},
      {"\"ab\ncd\"", "!invalid string! {\"ab}"},
      {"{ab{c}", "!invalid string! \"{ab{c}\""},
      {"%{a}%%", "!invalid string! \"%{a}%%\""},
      {"}", "!bad-char \"}\""},
      {"a \\b", "!bad-char \"\\b\""},
      {"\xC0\x80", "!bad-char \"À^(80)\""},
      {"a\xE9z", "!bad-char \"éz\""},
      {"\"\xE9\"", "!invalid string! {\"é\"}"},
      {"a/b:/c", "!invalid path! \":/c\""},
      {"a/", "!invalid path! \"a/\""},
      {"'a/b:", "!invalid lit-path! \":\""},
      {"'a:", "!invalid lit-word! \"'a:\""},
      {"'1", "!invalid lit-word! \"'1\""},
      {"1''0", "!invalid integer! \"1''0\""},
      {"-1Ah", "!invalid integer! \"-1Ah\""},
      {"Fh", "!invalid word! \"Fh\""},
      {"2.#INF", "!invalid float! \"2.#INF\""},
      {"#\"ab\"", "!invalid char! {#\"ab\"}"},
      {"#\"\"", "!invalid char! {#\"\"}"},
      {"#\"^(110000)\"", "!invalid char! {#\"^^(110000)\"}"},
      {"\"^(1234567)\"", "!invalid string! {\"^^(1234567)\"}"},
      {"\"^(zz)\"", "!invalid string! {\"^^(zz)\"}"},
      {"#(foo)", "!malconstruct \"#(foo)\""},
      {"#()", "!malconstruct \"#()\""},
      {"/a:", "!invalid refinement! \"/a:\""},
  };
  for (const Case& c : cases) EXPECT_EQ(load(c.src), c.expected) << c.src;
}

TEST_F(LexerTest, ErrorLineCountsLineFeedsOnly) {
  VelError e = caught([] { (void)lexer::scan("a\r\nb\rc\n\n  }", lexer::ScanOptions{}); });
  EXPECT_EQ(e.id, ErrId::BAD_CHAR);
  EXPECT_EQ(molded(e.args[0]), "\"(line 4)\"");
  lexer::ScanOptions o;
  o.first_line = 10;
  e = caught([&] { (void)lexer::scan("a\n\"x", o); });
  EXPECT_EQ(molded(e.args[0]), "\"(line 11)\"");
}

TEST_F(LexerTest, ExcerptStopsAtLineEndAndCharacterBoundary) {
  VelError e = caught([] { (void)lexer::scan("\"abc def\nmore", lexer::ScanOptions{}); });
  EXPECT_EQ(molded(e.args[2]), "{\"abc def}");
  // 29 ASCII bytes, then a 3-byte character the 30-byte cut would halve.
  std::string src = "\"" + std::string(28, 'x') + "☺☺";
  e = caught([&] { (void)lexer::scan(src, lexer::ScanOptions{}); });
  EXPECT_EQ(string_text(e.args[2].node()), "\"" + std::string(28, 'x'));
}

TEST_F(LexerTest, NulInsideTheSourceIsAnErrorWhereItStands) {
  std::string src("a b\0c d", 7);
  VelError e = caught([&] { (void)lexer::scan(src, lexer::ScanOptions{}); });
  EXPECT_EQ(e.id, ErrId::BAD_CHAR);
  EXPECT_EQ(string_text(e.args[1].node()), std::string("\0c d", 4));
  std::string in_string("\"a\0b\"", 5);
  e = caught([&] { (void)lexer::scan(in_string, lexer::ScanOptions{}); });
  EXPECT_EQ(e.id, ErrId::BAD_CHAR);
  EXPECT_EQ(scan_type(in_string).type, TYPE_ERROR);
}

TEST_F(LexerTest, DeepNestingFailsWithoutOverflowingTheStack) {
  std::string open(100000, '[');
  VelError e = caught([&] { (void)lexer::scan(open, lexer::ScanOptions{}); });
  EXPECT_EQ(e.id, ErrId::STACK_OVERFLOW);
  std::string balanced = open + std::string(100000, ']');
  e = caught([&] { (void)lexer::scan(balanced, lexer::ScanOptions{}); });
  EXPECT_EQ(e.id, ErrId::STACK_OVERFLOW);
  // Scans that build nothing stop at the same limit with error!.
  EXPECT_EQ(scan_type(balanced).type, TYPE_ERROR);
  // Nesting below the limit loads.
  std::string deep = std::string(lexer::MAX_NESTING, '(') + "1" + std::string(lexer::MAX_NESTING, ')');
  EXPECT_EQ(scan_type(deep).type, TYPE_PAREN);
  lexer::ScanOptions o;
  lexer::ScanResult r = lexer::scan(deep, o);
  EXPECT_EQ(block::rs_length(r.value), 1);
}

TEST_F(LexerTest, ErrorsCloseOpenSeriesIntoTheIntoBlock) {
  RootedCell dst(block::make_at(4));
  block::rs_append(dst->node(), integer_cell(0));
  lexer::ScanOptions o;
  o.into = dst->node();
  VelError e = caught([&] { (void)lexer::scan("1 [2 (3 a/b/c 4 #[x", o); });
  EXPECT_EQ(e.id, ErrId::MISSING);
  // Blocks and parens close in place; the open path and map dissolve.
  EXPECT_EQ(molded(*dst), "[0 1 [2 (3 a/b/c 4 x)]]");
  e = caught([&] { (void)lexer::scan("5 [6 }", o); });
  EXPECT_EQ(e.id, ErrId::BAD_CHAR);
  EXPECT_EQ(molded(*dst), "[0 1 [2 (3 a/b/c 4 x)] 5 [6]]");
}

// --- random input ----------------------------------------------------------------------------------

TEST_F(LexerTest, RandomBytesNeverCrash) {
  std::mt19937 rng(20240611);
  const char alphabet[] = "[](){}\"#':/\\<>=%,;@.$+-^ \n\t0123456789abcefhxEFTX\x80\xC3\xA9\xE2\x98\xBA\xF0\xFF";
  for (int round = 0; round < 4000; round++) {
    std::string src;
    size_t n = rng() % 64;
    for (size_t i = 0; i < n; i++) {
      src += (round & 1) ? char(rng() & 0xFF) : alphabet[rng() % (sizeof alphabet - 1)];
    }
    for (Mode m : {Mode::LOAD, Mode::ONE, Mode::SCAN, Mode::PRESCAN}) {
      lexer::ScanOptions o;
      o.mode = m;
      try {
        lexer::ScanResult r = lexer::scan(src, o);
        EXPECT_LE(r.consumed, src.size());
      } catch (const VelError&) {
      }
    }
  }
}

// --- modes and transcode ------------------------------------------------------------------------------

TEST_F(LexerTest, ModesStopAfterTheFirstValue) {
  const struct {
    const char* src;
    Mode mode;
    TypeId type;
    uint64_t consumed;
  } cases[] = {
      {"  [a b] c", Mode::ONE, TYPE_BLOCK, 7}, {"a/b c", Mode::ONE, TYPE_PATH, 3},
      {"; c\n 12 x", Mode::ONE, TYPE_INTEGER, 7}, {"{a}b", Mode::SCAN, TYPE_STRING, 3},
      {"x: 1", Mode::PRESCAN, TYPE_SET_WORD, 2}, {"12345678901 x", Mode::PRESCAN, TYPE_INTEGER, 11},
      {"12345678901 x", Mode::SCAN, TYPE_FLOAT, 11}, {"1-Jan-2000", Mode::PRESCAN, TYPE_DATE, 10},
      {"a/b:", Mode::PRESCAN, TYPE_SET_PATH, 4}, {"", Mode::SCAN, TYPE_NONE_ID, 0},
      {"\"open", Mode::PRESCAN, TYPE_ERROR, 0},
  };
  for (const auto& c : cases) {
    Scanned s = scan_type(c.src, c.mode);
    EXPECT_EQ(int(s.type), int(c.type)) << c.src;
    if (c.type != TYPE_ERROR) {
      EXPECT_EQ(s.consumed, c.consumed) << c.src;
    }
  }
}

TEST_F(LexerTest, OneValueOfALongInputReadsOnlyWhatItNeeds) {
  // The first value ends early, ends past the first piece read, or is a
  // string longer than it: each answer is the one of the whole input.
  std::string words;
  for (int i = 0; i < 3000; i++) words += "w ";
  const std::string cases[] = {"a " + words, "[" + words + "] x", "\"" + std::string(9000, 's') + "\" y",
                               std::string(5000, ' ') + "1.5 z", "%{" + std::string(5000, '}') + "}% q"};
  const TypeId types[] = {TYPE_WORD, TYPE_BLOCK, TYPE_STRING, TYPE_FLOAT, TYPE_STRING};
  for (size_t i = 0; i < 5; i++) {
    for (bool binary : {false, true}) {
      RootedCell src(binary ? binary_value(cases[i]) : text_value(cases[i]));
      lexer::ScanOptions o;
      o.mode = Mode::SCAN;
      lexer::ScanResult whole = lexer::scan(cases[i], o);
      lexer::ScanResult r = lexer::scan_series(*src, -1, o);
      EXPECT_EQ(int(r.type), int(types[i])) << i;
      EXPECT_EQ(r.consumed, whole.consumed) << i;
      o.mode = Mode::ONE;
      r = lexer::scan_series(*src, -1, o);
      EXPECT_EQ(r.value.type(), types[i]) << i;
      EXPECT_EQ(r.consumed, whole.consumed) << i;
    }
  }
}

lexer::TranscodeOptions opts() { return lexer::TranscodeOptions{}; }

// What the native cannot ask for (the refinements as scripts use them are in
// the script suite): a string position as /part, and a first line number
// other than 1.
TEST_F(LexerTest, TranscodeOptionsBeyondTheNative) {
  RootedCell src(text_value("a [b] 3"));
  lexer::TranscodeOptions o = opts();
  Cell at = *src;
  at.w1 = 2;
  o.part = &at;  // a position in the same series
  EXPECT_EQ(molded(lexer::transcode(*src, o)), "[a]");
  o = opts();
  o.line = 41;
  VelError e = caught([&] { (void)lexer::transcode(text_value("a\n]"), o); });
  EXPECT_EQ(molded(e.args[0]), "\"(line 42)\"");
}

TEST_F(LexerTest, ConversionsInstalledAtStartUp) {
  Cell out{};
  EXPECT_TRUE(lexer::load_one_value(text_value("abc"), &out));
  EXPECT_EQ(molded(out), "abc");
  EXPECT_TRUE(lexer::load_one_value(text_value(" a:"), &out));
  EXPECT_TRUE(out.is(TYPE_SET_WORD));
  EXPECT_FALSE(lexer::load_one_value(text_value("a b"), &out));
  EXPECT_FALSE(lexer::load_one_value(text_value(""), &out));
  EXPECT_FALSE(lexer::load_one_value(text_value("a]"), &out));
  EXPECT_EQ(lexer::scan_type("abc"), TYPE_WORD);
  EXPECT_EQ(lexer::scan_type("a b"), TYPE_NONE_ID);
  EXPECT_EQ(lexer::scan_type("1a"), TYPE_NONE_ID);
  EXPECT_EQ(molded(lexer::string_to_block(text_value("1 [2]"))), "[1 [2]]");
}

// --- events ----------------------------------------------------------------------------------------

struct Recorded {
  lexer::Event event;
  std::string type;
  int32_t line;
  std::string token;
  int32_t index;
};

struct Recorder {
  std::vector<Recorded> events;
  // What to answer, and where to move the input, per event.
  std::function<bool(const Recorded&, Cell* input)> steer;
};

bool record(void* ctx, lexer::Event ev, Cell* input, const Cell& type, int32_t line, const Cell& token) {
  auto* r = static_cast<Recorder*>(ctx);
  Recorded e{ev, molded(type), line, token.is(TYPE_PAIR) ? std::to_string(token.w2) + "x" + std::to_string(token.w3)
                                                           : molded(token),
             input->index()};
  r->events.push_back(e);
  return r->steer ? r->steer(e, input) : true;
}

std::string names(const Recorder& r) {
  static const char* kNames[] = {"prescan", "scan", "load", "open", "close", "error"};
  std::string s;
  for (const Recorded& e : r.events) s += std::string(s.empty() ? "" : " ") + kNames[int(e.event)] + ":" + e.token;
  return s;
}

Cell trace(const char* src, Recorder& rec, uint32_t filter = lexer::ALL_EVENTS) {
  lexer::Callback cb{record, &rec, filter};
  lexer::TranscodeOptions o;
  o.trace = &cb;
  return lexer::transcode(text_value(src), o);
}

TEST_F(LexerTest, EventSequence) {
  Recorder rec;
  Cell v = trace("a [1]", rec);
  EXPECT_EQ(molded(v), "[a [1]]");
  EXPECT_EQ(names(rec),
            "prescan:1x2 scan:1x2 load:a prescan:3x3 open:3x3 prescan:4x5 scan:4x5 load:1 prescan:5x5 close:5x5 "
            "prescan:6x6");
  // Types and input positions: token start for open, end otherwise.
  EXPECT_EQ(rec.events[0].type, "word!");
  EXPECT_EQ(rec.events[1].index, 1);
  EXPECT_EQ(rec.events[4].type, "block!");
  EXPECT_EQ(rec.events[4].index, 2);
  EXPECT_EQ(rec.events[3].type, "none");  // a structural token without exit-states
}

TEST_F(LexerTest, EventFilterFromTheBodyBlock) {
  lexer::ScanOptions o;
  o.mode = Mode::ONE;
  Cell body = lexer::scan("[[error open foo 1] print x]", o).value;
  EXPECT_EQ(lexer::event_filter(body), lexer::event_bit(lexer::Event::ERROR) | lexer::event_bit(lexer::Event::OPEN));
  EXPECT_EQ(lexer::event_filter(lexer::scan("[print x]", o).value), lexer::ALL_EVENTS);
}

// A callback's move past the tail is clamped to it (scripts cannot make such
// a position; their moves back and forth are in the script suite).
TEST_F(LexerTest, CallbackPositionBeyondTheInputIsClamped) {
  Recorder far;
  far.steer = [](const Recorded&, Cell* input) {
    input->w1 = 1000;
    return true;
  };
  EXPECT_EQ(molded(trace("a b c", far, lexer::event_bit(lexer::Event::LOAD))), "[a]");
}

TEST_F(LexerTest, CallbackErrorsLeaveTheScanIntact) {
  Recorder rec;
  rec.steer = [](const Recorded& e, Cell*) -> bool {
    if (e.token == "b") fire(ErrId::INVALID_ARG, integer_cell(7));
    return true;
  };
  VelError err = caught([&] { (void)trace("a b c", rec, lexer::event_bit(lexer::Event::LOAD)); });
  EXPECT_EQ(err.id, ErrId::INVALID_ARG);
  EXPECT_EQ(lexer::g_active, nullptr);
  EXPECT_EQ(lexer::g_values.top(), 0u);
  EXPECT_EQ(load("x y"), "[x y]");
}

TEST_F(LexerTest, NestedScansFromACallback) {
  // Each load of the outer scan loads a text of many values inside the
  // callback, growing the shared value stack under the outer values.
  std::string big;
  for (int i = 0; i < 5000; i++) big += "w" + std::to_string(i % 50) + " ";
  Recorder rec;
  int inner_lengths = 0;
  rec.steer = [&](const Recorded&, Cell*) {
    lexer::ScanOptions o;
    Cell v = lexer::scan(big, o).value;
    inner_lengths += block::rs_length(v);
    return true;
  };
  EXPECT_EQ(molded(trace("[a [b c]] d", rec, lexer::event_bit(lexer::Event::LOAD))), "[[a [b c]] d]");
  EXPECT_EQ(inner_lengths, 4 * 5000);
}

// --- the collector -----------------------------------------------------------------------------------


TEST_F(LexerTest, ValuesSurviveCollectionsWhileLoading) {
  const char* src =
      "a \"b\" [c \"d\" {e^(263A)} [x/y/(z \"w\")] 'p/q r/s: 12345678901] %{raw}% #\"c\" :g/h k: \"é😀\" 1.5";
  std::string quiet = load(src);
  ASSERT_EQ(quiet.substr(0, 6), "[a \"b\"");
  uint32_t cycles = g_gc.cycles;
  {
    CollectingScope on(1, false);
    EXPECT_EQ(load(src), quiet);
    // Into a block, through transcode of a string, with a callback that
    // scans again at every load.
    RootedCell dst(block::make_at(1));
    Recorder rec;
    rec.steer = [](const Recorded&, Cell*) {
      lexer::ScanOptions o;
      RootedCell inner(lexer::scan("[q \"r\" s/t]", o).value);
      return molded(*inner) == "[[q \"r\" s/t]]";
    };
    lexer::Callback cb{record, &rec, lexer::event_bit(lexer::Event::LOAD)};
    lexer::TranscodeOptions o;
    o.into = dst.get();
    o.trace = &cb;
    RootedCell text(text_value(src));
    (void)lexer::transcode(*text, o);
    EXPECT_EQ(molded(*dst), quiet);
  }
  EXPECT_GT(g_gc.cycles, cycles + 100);
}

// --- number scanners ----------------------------------------------------------------------------------

template <class T>
std::vector<T> units_of(std::u32string_view s) {
  return std::vector<T>(s.begin(), s.end());
}

TEST_F(LexerTest, ScanInteger) {
  const struct {
    std::u32string_view text;
    int32_t value;
    int error;
  } cases[] = {
      {U"0", 0, 0},          {U"-17", -17, 0},  {U"+5", 5, 0},         {U"1'0'0", 100, 0},
      {U"1''0", 10, 0},      {U"12a", 0, -1},   {U"2147483647", 2147483647, 0},
      {U"2147483648", 0, -2}, {U"-2147483648", INT32_MIN, 0}, {U"-2'147'483'648", INT32_MIN, 0},
      {U"-21474836480", 0, -2}, {U"", 0, -1},   {U"-", 0, -1},         {U"'", 0, -1},
      {U"1 ", 0, -1},        {U"٣", 0, -1},
  };
  for (const auto& c : cases) {
    for (uint32_t unit : {1u, 2u, 4u}) {
      if (unit == 1 && std::any_of(c.text.begin(), c.text.end(), [](char32_t ch) { return ch > 0xFF; })) continue;
      std::vector<uint8_t> buf(c.text.size() * unit + 1);
      for (size_t i = 0; i < c.text.size(); i++) put_char(buf.data() + i * unit, unit, c.text[i]);
      int err = 99;
      int32_t v = numscan::scan_integer(buf.data(), uint32_t(c.text.size()), unit, &err);
      EXPECT_EQ(err, c.error) << unit;
      if (!c.error) {
        EXPECT_EQ(v, c.value);
      }
    }
  }
}

TEST_F(LexerTest, ScanFloat) {
  auto f = [](const std::string& s, int* err) {
    return numscan::scan_float(s.data(), uint32_t(s.size()), 1, err);
  };
  int err;
  EXPECT_EQ(f("1,5", &err), 1.5);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(f("-1'000.25e1", &err), -10002.5);
  EXPECT_EQ(f(".5", &err), 0.5);
  EXPECT_EQ(f("-1e400", &err), -HUGE_VAL);  // overflow rounds to infinity
  EXPECT_EQ(err, 0);
  EXPECT_EQ(f("5.", &err), 5.0);
  for (const char* bad : {"", "abc", "1.5.", "1e", "1''0", "'1", "1 ", "+", "."}) {
    EXPECT_TRUE(std::isnan(f(bad, &err))) << bad;
    EXPECT_EQ(err, -1) << bad;
  }
  std::string longest = "1." + std::string(310, '0');
  EXPECT_EQ(f(longest, &err), 1.0);
  EXPECT_EQ(err, 0);
  (void)f(longest + "0", &err);
  EXPECT_EQ(err, -1);
  // Wider units read the same.
  std::u16string wide = u"2,25";
  EXPECT_EQ(numscan::scan_float(wide.data(), uint32_t(wide.size()), 2, &err), 2.25);
  EXPECT_EQ(err, 0);
}

TEST_F(LexerTest, ScanMoney) {
  numscan::MoneyText m;
  auto s = [&](const std::string& t) { return numscan::scan_money(t.data(), uint32_t(t.size()), 1, &m); };
  EXPECT_EQ(s("EUR$1'000.25"), 0);
  EXPECT_EQ(m.code, "EUR");
  EXPECT_EQ(m.digits, "1000");
  EXPECT_EQ(m.fraction, "25");
  EXPECT_EQ(s("1000"), 0);
  EXPECT_EQ(m.code, "");
  EXPECT_EQ(m.digits, "1000");
  EXPECT_EQ(s("-$007.5"), 0);
  EXPECT_TRUE(m.negative);
  EXPECT_EQ(m.digits, "7");
  for (const char* bad : {"EU$1", "$1.", "$", "$'1", "$1''0", "$1.'5", "$1.5'0", "$.5", "1'", "USD$", "$1.2.3"})
    EXPECT_EQ(s(bad), -1) << bad;
}

}  // namespace
}  // namespace vel
