// string!: mold (escapes, the choice of delimiters, balanced braces, /part
// budget) and form, byte-exact, on strings of every unit.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/string.h"
#include "string_test_util.h"

using namespace vel;
using namespace vel::strtest;

namespace {

struct MoldCase {
  std::string in;
  std::string out;
  uint32_t flags = 0;
};

std::string repeat(const std::string& s, size_t n) {
  std::string r;
  for (size_t i = 0; i < n; i++) r += s;
  return r;
}

// Every case is molded from unit 1, 2 and 4 storage of the same text (as
// far as its characters allow): the unit must never show.
void check_molds(const std::vector<MoldCase>& cases) {
  for (const MoldCase& c : cases) {
    for (uint32_t unit : {1u, 2u, 4u}) {
      Values v;
      Cell s = str(v, c.in, unit);
      if (unit_of(s) != unit) continue;
      EXPECT_EQ(molded(s, c.flags), c.out) << "unit " << unit << " input " << c.in;
    }
  }
}

}  // namespace

TEST(StringMold, EscapesInDoubleQuotes) {
  check_molds({
      {"", "\"\""},
      {"abc", "\"abc\""},
      {"a\tb", "\"a^-b\""},
      {"a\nb\nc", "\"a^/b^/c\""},  // two line feeds: still quotes
      {std::string("\0", 1), "\"^@\""},
      {"\x7F", "\"^~\""},
      {"\x1E", "\"^(1E)\""},  // 30 takes the hex form, never "^^"
      {"\x1F\x1B\x1C\x1D\r", "\"^_^[^\\^]^M\""},
      {"a^b", "\"a^^b\""},
      {"\xC2\x85", "\"^(85)\""},
      {"\xC2\x9F", "\"^(9F)\""},
      {"\xC3\xA9", "\"\xC3\xA9\""},
      {"\xC3\xA9", "\"^(E9)\"", MOLD_ALL},
      {"\xE2\x82\xAC", "\"^(20AC)\"", MOLD_ALL},
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"\xF0\x9F\x98\x80", "\"^(1F600)\"", MOLD_ALL},
      {"a{b}c", "\"a{b}c\""},
      {"}{", "\"}{\""},
  });
}

TEST(StringMold, BracesForQuotesLinesAndLength) {
  check_molds({
      {"a\"b", "{a\"b}"},                          // a quote: braces, the quote plain
      {"a\nb\nc\nd", "{a^/b^/c^/d}"},               // three line feeds: braces, still escaped
      {repeat("a", 49), "\"" + repeat("a", 49) + "\""},
      {repeat("a", 50), "{" + repeat("a", 50) + "}"},
      {"\"^\t", "{\"^^^-}"},                        // caret doubled, tab escaped inside braces
      {"\"\xC3\xA9", "{\"^(E9)}", MOLD_ALL},
  });
}

TEST(StringMold, BracesBalancedOrEscaped) {
  check_molds({
      {"\"{b}", "{\"{b}}"},                  // a matched pair stays plain
      {"\"{b", "{\"^{b}"},                   // an unmatched opening brace
      {"\"}b", "{\"^}b}"},                   // an unmatched closing brace
      {"\"}{", "{\"^}^{}"},
      {"\"{{}}{", "{\"{{}}^{}"},
      {"\"{}}{{}", "{\"{}^}^{^{^}}"},        // after the first unbalanced "{", every "{" is escaped
      {"\"{{}", "{\"^{^{^}}"},
      {"\"{a{b}c}d}", "{\"{a{b}c}d^}}"},
  });
}

TEST(StringMold, DeeplyNestedBracesMoldInOnePass) {
  const size_t depth = 200000;
  std::string in = "\"" + repeat("{", depth) + repeat("}", depth);
  Values v;
  Cell s = str(v, in);
  EXPECT_EQ(molded(s), "{" + in + "}");
  // One more "{" in front never closes: it and every later "{" get a
  // caret, and the closing braces left without a plain opener do too.
  Cell t = str(v, "\"{" + repeat("{", 3) + repeat("}", 3));
  EXPECT_EQ(molded(t), "{\"^{^{^{^{^}^}^}}");
}

TEST(StringMold, FromTheIndexWithThePartBudget) {
  Values v;
  Cell s = str(v, "ab\"cd");
  s.w1 = 3;
  EXPECT_EQ(molded(s), "\"cd\"");  // the quote lies before the index
  RootedNode out(make_string(16));
  // The range stops after the budget; the length from the index chooses
  // braces even when the range is shorter.
  Cell long_one = str(v, repeat("x", 60));
  EXPECT_EQ(mold_value(long_one, out, 0, nullptr, 10), 10 - 10 - 2);
  EXPECT_EQ(string_text(out), "{xxxxxxxxxx}");
  RootedNode out2(make_string(16));
  Cell q = str(v, "a\"bcdef");
  EXPECT_EQ(mold_value(q, out2, 0, nullptr, 1), 1 - 1 - 2);
  EXPECT_EQ(string_text(out2), "\"a\"");  // no quote within the range
}

TEST(StringMold, MoldIntoAWiderOrNarrowerString) {
  Values v;
  RootedNode out(make_string(4));
  append_char(out, 0x1F600);  // the output is unit 4 already
  mold_value(str(v, "a\tb"), out);
  EXPECT_EQ(string_text(out), "\xF0\x9F\x98\x80\"a^-b\"");
  RootedNode out1(make_string(4));
  mold_value(str(v, "\xE2\x82\xAC", 2), out1);  // widens the output
  EXPECT_EQ(node_buffer(out1)->unit(), 2u);
  EXPECT_EQ(string_text(out1), "\"\xE2\x82\xAC\"");
}

TEST(StringForm, CharactersFromTheIndexWithinThePart) {
  Values v;
  Cell s = str(v, "hello \xF0\x9F\x98\x80!");
  EXPECT_EQ(formed(s), "hello \xF0\x9F\x98\x80!");
  s.w1 = 6;
  EXPECT_EQ(formed(s), "\xF0\x9F\x98\x80!");
  RootedNode out(make_string(4));
  EXPECT_EQ(form_value(s, out, nullptr, 1), 1 - 2);
  EXPECT_EQ(string_text(out), "\xF0\x9F\x98\x80");
  RootedNode none(make_string(4));
  EXPECT_EQ(form_value(s, none, nullptr, -3), -5);
  EXPECT_EQ(string_text(none), "");
}

TEST(StringMold, EscapeCharIsShared) {
  RootedNode out(make_string(4));
  for (uint32_t cp : {9u, 34u, 94u, 127u, 0x85u, 0xE9u}) string::escape_char(out, cp, false);
  EXPECT_EQ(string_text(out), "^-^\"^^^~^(85)\xC3\xA9");
}
