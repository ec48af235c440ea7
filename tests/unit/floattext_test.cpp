#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "floattext.h"

using namespace vel;

namespace {

const double INF = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();

uint64_t bits_of(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

double from_bits(uint64_t b) {
  double v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

std::string form(double v, int ndigits, bool point_zero) {
  char buf[FLOAT_TEXT_MAX];
  int n = form_float(v, ndigits, point_zero, buf);
  EXPECT_EQ(size_t(n), std::strlen(buf));
  return std::string(buf, size_t(n));
}

std::string text(double v, FloatTextKind kind, bool pretty) {
  char buf[FLOAT_TEXT_MAX];
  int n = float_to_text(v, kind, pretty, buf);
  EXPECT_EQ(size_t(n), std::strlen(buf));
  return std::string(buf, size_t(n));
}

std::string gfmt(double v, int precision) {
  char buf[FLOAT_TEXT_MAX];
  int n = format_g(v, precision, buf);
  EXPECT_EQ(size_t(n), std::strlen(buf));
  return std::string(buf, size_t(n));
}

struct Read {
  double value;
  size_t unconsumed;
};

Read read(const std::string& s, int32_t adjust = 0) {
  Read r;
  r.value = string_to_float(s.data(), s.data() + s.size(), adjust, &r.unconsumed);
  return r;
}

// Formats with the molded form, reads back, and compares bit patterns.
void expect_round_trip(double v) {
  char buf[FLOAT_TEXT_MAX];
  int n = format_float(v, buf);
  size_t rest = 1;
  double back = string_to_float(buf, buf + n, 0, &rest);
  ASSERT_EQ(rest, 0u) << buf;
  ASSERT_EQ(bits_of(back), bits_of(v)) << buf;
}

// The doubles where formatting and reading are hardest.
std::vector<double> edge_doubles() {
  std::vector<double> v = {0.0,
                           from_bits(1),                       // smallest subnormal
                           from_bits(0x000FFFFFFFFFFFFFull),   // largest subnormal
                           DBL_MIN,
                           std::nextafter(DBL_MIN, 0.0),
                           DBL_MAX,
                           std::nextafter(DBL_MAX, 0.0),
                           9007199254740991.0,  // 2^53 - 1
                           9007199254740992.0,  // 2^53
                           9007199254740994.0,  // 2^53 + 2: 2^53 + 1 is not a double
                           std::nextafter(9007199254740992.0, 0.0),
                           0.1,
                           0.2,
                           0.3,
                           1.0 / 3.0,
                           2.0 / 3.0,
                           123.456,
                           5e-324,
                           2.2250738585072011e-308};
  for (int e = -323; e <= 308; ++e) {
    std::string s = "1e" + std::to_string(e);
    double p = read(s).value;
    v.push_back(p);
    v.push_back(std::nextafter(p, 0.0));
    v.push_back(std::nextafter(p, INF));
  }
  for (int e = -1074; e <= 1023; ++e) v.push_back(std::ldexp(1.0, e));
  size_t n = v.size();
  for (size_t i = 0; i < n; ++i) v.push_back(-v[i]);
  return v;
}

}  // namespace

TEST(FloatText, FormTable) {
  struct Case {
    double v;
    int ndigits;
    bool point_zero;
    const char* want;
  } cases[] = {
      {0.1, 0, true, "0.1"},
      {1e16, 0, true, "10000000000000000.0"},
      {1e17, 0, true, "1.0e17"},
      {1e-7, 0, true, "0.0000001"},
      {1e-8, 0, true, "1.0e-8"},
      {1e-6, 0, true, "0.000001"},
      {123.0, 0, true, "123.0"},
      {123.0, 0, false, "123"},
      {-0.0, 0, true, "-0.0"},
      {-0.0, 0, false, "-0"},
      {0.0, 0, true, "0.0"},
      {0.0, 0, false, "0"},
      {INF, 0, true, "1.#INF"},
      {-INF, 0, false, "-1.#INF"},
      {NaN, 0, true, "1.#NaN"},
      {-NaN, 0, true, "1.#NaN"},
      {1e25, 0, true, "1.0e25"},
      {1e25, 0, false, "1e25"},
      {1.5, 0, false, "1.5"},
      {-2.5e-10, 0, true, "-2.5e-10"},
      {123456789012345680.0, 0, true, "1.2345678901234568e17"},
      {12345678901234567.0, 0, true, "12345678901234568.0"},
      {9007199254740992.0, 0, true, "9007199254740992.0"},
      {5e-324, 0, true, "5.0e-324"},
      {DBL_MAX, 0, true, "1.7976931348623157e308"},
      {-1234.5678, 0, true, "-1234.5678"},
      // A count of significant digits, correctly rounded.
      {0.1, 25, true, "0.1000000000000000055511151"},
      {2.0 / 3.0, 3, true, "0.667"},
      {9.995, 3, true, "9.99"},  // the double lies below 9.995
      {9.9999, 2, true, "10.0"},
      {123456.0, 2, true, "120000.0"},
      {123456.0, 2, false, "120000"},
      {1e300, 5, true, "1.0e300"},
      {0.5, 1, true, "0.5"},
      {2.5, 1, true, "2.0"},  // ties to even
  };
  for (const Case& c : cases) EXPECT_EQ(form(c.v, c.ndigits, c.point_zero), c.want) << c.want;
}

TEST(FloatText, DigitsAndPointPosition) {
  FloatDigits d;
  float_to_digits(1234.5, 0, false, &d);
  EXPECT_STREQ(d.text, "12345");
  EXPECT_EQ(d.point, 4);
  EXPECT_FALSE(d.negative);
  float_to_digits(-0.00123, 0, false, &d);
  EXPECT_STREQ(d.text, "123");
  EXPECT_EQ(d.point, -2);
  EXPECT_TRUE(d.negative);
  float_to_digits(100.0, 0, false, &d);  // trailing zeros are not digits
  EXPECT_STREQ(d.text, "1");
  EXPECT_EQ(d.point, 3);
  float_to_digits(-INF, 0, false, &d);
  EXPECT_EQ(d.point, FLOAT_POINT_SPECIAL);
  EXPECT_STREQ(d.text, "-1.#INF");
  float_to_digits(-0.0, 0, true, &d);
  EXPECT_EQ(d.point, FLOAT_POINT_ZERO);
  EXPECT_STREQ(d.text, "-0.0");
}

TEST(FloatText, KindTexts) {
  using K = FloatTextKind;
  struct Case {
    double v;
    K kind;
    bool pretty;
    const char* want;
  } cases[] = {
      {1e16, K::DOUBLE, false, "1.0e16"},
      {3.0, K::DOUBLE, false, "3.0"},
      {1e-7, K::DOUBLE, false, "1.0e-7"},
      {-1e-7, K::DOUBLE, false, "-1.0e-7"},
      {1e100, K::DOUBLE, false, "1.0e100"},
      {1.5e300, K::DOUBLE, false, "1.5e300"},
      {1.23e-100, K::DOUBLE, false, "1.23e-100"},
      {123456789.0, K::DOUBLE, false, "123456789.0"},
      {0.1 + 0.2, K::DOUBLE, false, "0.3"},
      {NaN, K::DOUBLE, false, "1.#NaN"},
      {-INF, K::DOUBLE, true, "-1.#INF"},
      {-0.0, K::DOUBLE, false, "-0.0"},
      {-0.0, K::DOUBLE, true, "0.0"},
      // pretty: tiny magnitudes are zero; a noisy tail is rounded away.
      {1e-17, K::DOUBLE, true, "0.0"},
      {1e-17, K::DOUBLE, false, "1.0e-17"},
      {0.7999999999999999, K::DOUBLE, true, "0.8"},
      {0.7999999999999999, K::DOUBLE, false, "0.7999999999999999"},
      {0.30000000000000004, K::SHORTEST, false, "0.30000000000000004"},  // ends in 04: kept
      {0.30000000000000004, K::SHORTEST, true, "0.30000000000000004"},
      {0.7999999999999999, K::SHORTEST, true, "0.8"},
      {1.0000000000000002, K::SHORTEST, true, "1.0000000000000002"},
      // 32-bit fields, percents, the shortest form without ".0".
      {double(0.1f), K::SINGLE, false, "0.1"},
      {3.0, K::SINGLE, false, "3.0"},
      {3.0, K::SINGLE_BARE, false, "3"},
      {1e20, K::SINGLE, false, "1.0e20"},
      {1e20, K::SINGLE_BARE, false, "1e20"},
      {50.0, K::PERCENT, false, "50%"},
      {12.5, K::PERCENT, false, "12.5%"},
      {1e-20, K::PERCENT, true, "0%"},
      {100.0 / 3.0, K::PERCENT_SINGLE, false, "33.33333%"},
      {100.0 / 3.0, K::PERCENT, false, "33.33333333333%"},
      {3.0, K::SHORTEST, false, "3"},
      {1e16, K::SHORTEST, false, "10000000000000000"},
      {1e17, K::SHORTEST, false, "1e17"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(text(c.v, c.kind, c.pretty), c.want) << c.want << " kind " << int(c.kind);
}

TEST(FloatText, FormatGTable) {
  struct Case {
    double v;
    int precision;
    const char* want;
  } cases[] = {
      {1e16, 16, "1e+16"},      {1e-7, 16, "1e-07"},  {0.1, 17, "0.10000000000000001"},
      {123.456, 5, "123.46"},   {1e-4, 6, "0.0001"},  {1e-5, 6, "1e-05"},
      {-0.0, 16, "-0"},         {1e300, 1, "1e+300"}, {2.5, 0, "2"},
      {3.5, 0, "4"},            {100.0, -1, "100"},   {1234567.0, -1, "1.23457e+06"},
      {INF, 16, "1.#INF"},      {NaN, 7, "1.#NaN"},   {0.1, 100, "0.1000000000000000055511151231257827021182"},
      {DBL_MAX, 17, "1.7976931348623157e+308"},
  };
  for (const Case& c : cases) EXPECT_EQ(gfmt(c.v, c.precision), c.want) << c.want;
}

#if defined(__GLIBC__)
// glibc's printf is correctly rounded; format_g must agree with it.
TEST(FloatText, FormatGMatchesGlibcPrintf) {
  std::mt19937_64 rng(7);
  char want[128];
  for (int i = 0; i < 200000; ++i) {
    double v = from_bits(rng());
    if (!std::isfinite(v)) continue;
    int precision = int(rng() % 20) + 1;
    std::snprintf(want, sizeof want, "%.*g", precision, v);
    ASSERT_EQ(gfmt(v, precision), want) << precision;
  }
}

// The digits are the shortest that read back: no count of digits below
// theirs survives a round trip through glibc's correctly rounded texts.
TEST(FloatText, ShortestDigitsAreShortest) {
  std::mt19937_64 rng(11);
  char buf[64];
  for (int i = 0; i < 50000; ++i) {
    double v = std::fabs(from_bits(rng()));
    if (!std::isfinite(v) || v == 0.0) continue;
    FloatDigits d;
    float_to_digits(v, 0, false, &d);
    if (d.length > 1) {
      std::snprintf(buf, sizeof buf, "%.*e", d.length - 2, v);
      ASSERT_NE(std::strtod(buf, nullptr), v) << d.text;
    }
  }
}
#endif

TEST(FloatText, RandomDoublesRoundTrip) {
  std::mt19937_64 rng(20240601);
  for (int i = 0; i < 1000000; ++i) {
    double v = from_bits(rng());
    if (!std::isfinite(v)) continue;
    expect_round_trip(v);
    if (HasFatalFailure()) return;
  }
  // Also values of ordinary magnitudes, which take the positional form.
  std::uniform_real_distribution<double> unit(-1e6, 1e6);
  for (int i = 0; i < 200000; ++i) {
    expect_round_trip(unit(rng));
    if (HasFatalFailure()) return;
  }
}

TEST(FloatText, EdgeDoublesRoundTrip) {
  for (double v : edge_doubles()) {
    expect_round_trip(v);
    if (HasFatalFailure()) return;
    // The 17-digit "%g" text is exact too.
    char buf[FLOAT_TEXT_MAX];
    int n = format_g(v, 17, buf);
    size_t rest;
    ASSERT_EQ(bits_of(string_to_float(buf, buf + n, 0, &rest)), bits_of(v)) << buf;
  }
}

TEST(FloatText, ReaderTable) {
  struct Case {
    const char* text;
    int32_t adjust;
    double want;
    size_t unconsumed;
  } cases[] = {
      {"007.50e+1", 0, 75.0, 0},
      {"1e400", 0, INF, 0},
      {"-1e400", 0, -INF, 0},
      {"1e-400", 0, 0.0, 0},
      {"-1e-400", 0, -0.0, 0},
      {"1.#INF", 0, INF, 0},
      {"-1.#INF", 0, -INF, 0},
      {"+1.#INF", 0, INF, 0},
      {"5.#inf", 0, INF, 0},
      {"1.#INF xyz", 0, INF, 4},
      {"50", -2, 0.5, 0},
      {"12.5", 3, 12500.0, 0},
      {"1", 400, INF, 0},
      {"1", -400, 0.0, 0},
      {"1e99999999999999999999999", 0, INF, 0},
      {"1e-99999999999999999999999", 0, 0.0, 0},
      {".5", 0, 0.5, 0},
      {"5.", 0, 5.0, 0},
      {"-0", 0, -0.0, 0},
      {"+7", 0, 7.0, 0},
      {"0.000000000000000000000000000001e30", 0, 1.0, 0},
      {"1E2", 0, 100.0, 0},
      {"4.9406564584124654e-324", 0, 5e-324, 0},
      {"2.4703282292062327e-324", 0, 0.0, 0},  // just below half the smallest subnormal
      {"2.4703282292062328e-324", 0, 5e-324, 0},
      {"1.7976931348623158e308", 0, DBL_MAX, 0},
      {"1.7976931348623159e308", 0, INF, 0},
      {"9007199254740993", 0, 9007199254740992.0, 0},  // a tie goes to even
      {"9007199254740995", 0, 9007199254740996.0, 0},
      // Text after the number is left unconsumed.
      {"12abc", 0, 12.0, 3},
      {"1e", 0, 1.0, 1},
      {"1e+", 0, 1.0, 2},
      {"1.5e-x", 0, 1.5, 3},
      {"1.#", 0, 1.0, 1},
      {"1.#x", 0, 1.0, 2},
      {"1,5", 0, 1.0, 2},
      // No number at all: nothing is consumed.
      {"", 0, 0.0, 0},
      {"abc", 0, 0.0, 3},
      {".", 0, 0.0, 1},
      {"-", 0, 0.0, 1},
      {"+.e5", 0, 0.0, 4},
      {" 1", 0, 0.0, 2},
      {"#INF", 0, 0.0, 4},
  };
  for (const Case& c : cases) {
    Read r = read(c.text, c.adjust);
    EXPECT_EQ(bits_of(r.value), bits_of(c.want)) << c.text << " gave " << r.value;
    EXPECT_EQ(r.unconsumed, c.unconsumed) << c.text;
  }
  for (const char* t : {"1.#NaN", "1.#nan", "-1.#NaN", "3.#N"}) {
    Read r = read(t);
    EXPECT_TRUE(std::isnan(r.value)) << t;
    EXPECT_EQ(r.unconsumed, 0u) << t;
  }
}

// Texts longer than the digits the reader keeps: the dropped digits still
// decide a tie.
TEST(FloatText, ReaderLongTiesAreExact) {
  // 2^-1075, half the smallest subnormal, is 5^1075 x 10^-1075 exactly.
  std::vector<int> d = {1};  // little-endian decimal digits
  for (int i = 0; i < 1075; ++i) {
    int carry = 0;
    for (int& x : d) {
      x = x * 5 + carry;
      carry = x / 10;
      x %= 10;
    }
    while (carry) {
      d.push_back(carry % 10);
      carry /= 10;
    }
  }
  std::string half;
  for (size_t i = d.size(); i-- > 0;) half += char('0' + d[i]);
  ASSERT_GT(half.size(), 700u);
  // The exact tie rounds to even (zero); anything above it to the subnormal.
  EXPECT_EQ(bits_of(read(half + "e-1075").value), bits_of(0.0));
  std::string above = half + std::string(200, '0') + "1";
  EXPECT_EQ(read(above + "e-" + std::to_string(1075 + 201)).value, 5e-324);
  std::string below = half;
  below.back() = char(below.back() - 1);
  EXPECT_EQ(read(below + std::string(200, '9') + "e-" + std::to_string(1075 + 200)).value, 0.0);

  // 1 + 2^-53 is the tie between 1 and the next double.
  const std::string tie = "1.00000000000000011102230246251565404236316680908203125";
  EXPECT_EQ(read(tie).value, 1.0);
  EXPECT_EQ(read(tie + std::string(900, '0') + "1").value, std::nextafter(1.0, 2.0));
  // The same tie in the integer part: 2^53 + 1, then a far nonzero digit.
  EXPECT_EQ(read("9007199254740993" + std::string(900, '0') + "1e-901").value, 9007199254740994.0);
  EXPECT_EQ(read("9007199254740993." + std::string(900, '0') + "1").value, 9007199254740994.0);
  EXPECT_EQ(read("9007199254740993" + std::string(900, '0') + "e-900").value, 9007199254740992.0);
}

TEST(FloatText, ReaderWideUnits) {
  const uint16_t ucs2[] = {'-', '1', '.', '5', 'e', '3', 0x00B2};
  size_t rest;
  EXPECT_EQ(string_to_float_units(ucs2, 2, 7, 0, &rest), -1500.0);
  EXPECT_EQ(rest, 1u);
  // A character whose low 16 bits are a digit is not a digit.
  const uint32_t ucs4[] = {'2', '5', 0x10030, '1'};
  EXPECT_EQ(string_to_float_units(ucs4, 4, 4, 0, &rest), 25.0);
  EXPECT_EQ(rest, 2u);
  const uint8_t latin1[] = {'1', '.', '#', 'I', 'N', 'F'};
  EXPECT_EQ(string_to_float_units(latin1, 1, 6, 0, &rest), INF);
  EXPECT_EQ(rest, 0u);
  EXPECT_EQ(string_to_float_units(latin1, 3, 6, 0, &rest), 0.0);
  EXPECT_EQ(rest, 6u);
}

TEST(FloatText, FoldDegrees) {
  const double PI = 3.14159265358979323846;
  struct Case {
    double degrees;
    int mode;
    double want;  // degrees
  } cases[] = {
      {370, 0, 10},   {135, 0, -45},  {135, 2, 45},  {-135, 2, -45}, {-135, 0, 45},
      {135, 1, 135},  {200, 1, -160}, {-370, 0, -10}, {720, 2, 0},   {-200, 2, 20},
      {90, 0, 90},    {-90, 2, -90},  {180, 0, 0},
  };
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(fold_degrees(c.degrees, c.mode), c.want * PI / 180.0) << c.degrees << " mode " << c.mode;
  EXPECT_TRUE(std::isnan(fold_degrees(INF, 0)));
}
