// Float <-> decimal text.
//
// Digits come from std::to_chars (shortest round-trip, or a count of
// correctly rounded significant digits) and text is read back through
// std::from_chars, both correctly rounded and locale-free. The C runtime's
// printf/strtod family is never used: msvcrt writes exponents and specials
// differently, and every text here must be the same on both builds.
//
// Nothing allocates: results go to caller buffers of FLOAT_TEXT_MAX chars.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vel {

constexpr int FLOAT_DIGITS_MAX = 40;  // larger digit counts are taken as this
constexpr int FLOAT_TEXT_MAX = 64;    // room for any text below and its NUL

// Point positions marking the special digit texts.
constexpr int FLOAT_POINT_SPECIAL = 9999;  // "1.#INF", "-1.#INF", "1.#NaN"
constexpr int FLOAT_POINT_ZERO = 9998;     // "0", "-0", "0.0", "-0.0"

// The value is 0.d1 d2 ... dn x 10^point, with no trailing zero digits;
// for the special values text holds the whole text (sign included).
struct FloatDigits {
  char text[FLOAT_DIGITS_MAX + 8];
  int length;
  int point;
  bool negative;
};

// ndigits <= 0: the shortest digits that read back to the same value; else
// at most ndigits significant digits, correctly rounded (ties to even).
void float_to_digits(double v, int ndigits, bool zero_form, FloatDigits* out);

// The decimal text of v: plain positional form, or d.ddde<k> when the point
// position is 18 or more or below -6. point_zero writes "1.0" for "1.", and
// "0.0"/"-0.0" for zeros; without it "1" and "0"/"-0". Writes a NUL;
// returns the length.
int form_float(double v, int ndigits, bool point_zero, char* out);

// The molded text of a float: shortest round-trip digits with ".0".
inline int format_float(double v, char* out) { return form_float(v, 0, true, out); }

// printf "%.<precision>g" as glibc writes it ("1e+16", "1e-07", "0.1"),
// without printf. Precision 0 counts as 1, a negative one as 6, above
// FLOAT_DIGITS_MAX as that. Non-finite values give the texts above.
int format_g(double v, int precision, char* out);

// Text kinds of float values (form, percents, the 32-bit fields of points).
enum class FloatTextKind : uint8_t {
  SINGLE = 0,          // "%.7g", ".0" added
  DOUBLE = 1,          // "%.16g", ".0" added: form of float!
  PERCENT_SINGLE = 2,  // "%.7g", "%" appended
  PERCENT = 3,         // "%.13g", "%" appended
  SHORTEST = 4,        // shortest round-trip, no ".0" (time seconds)
  SINGLE_BARE = 5,     // "%.7g", no ".0"
};

// The text of v by kind. Percent callers pass the value already scaled by
// 100. pretty mirrors system/options/float/pretty?: tiny magnitudes show as
// zero and a noisy last digit pair ("...01", "...99") is rounded away.
int float_to_text(double v, FloatTextKind kind, bool pretty, char* out);

// Reads a decimal float from [start, end): optional sign, digits, optional
// "." and digits, optional e/E, sign and digits; or one digit, ".#" and a
// word starting with I/i (infinity, by sign) or N/n (NaN). exp_adjust is
// added to the decimal exponent before rounding. The result is correctly
// rounded; overflow gives an infinity, underflow a zero of the text's sign.
// *unconsumed receives the count of characters after the number read: the
// whole length when no number starts the text (the result is then 0.0).
double string_to_float(const char* start, const char* end, int32_t exp_adjust, size_t* unconsumed);

// The same over count characters of unit 1, 2 or 4 bytes (string storage).
double string_to_float_units(const void* text, uint32_t unit, size_t count, int32_t exp_adjust,
                             size_t* unconsumed);

// An angle in degrees folded into range for the trigonometric natives,
// returned in radians. mode 0: tangent, 1: cosine, 2: sine.
double fold_degrees(double degrees, int mode);

}  // namespace vel
