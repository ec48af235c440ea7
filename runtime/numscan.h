// Number scanners of to and make, shared with the lexer: integers, floats
// and money amounts read from a string's storage at any unit, more leniently
// than the lexer reads literals (separators anywhere in integers, "," as the
// decimal point), and the float pattern of the lexer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace vel::numscan {

// Over `count` characters of unit 1, 2 or 4 bytes (string storage); they
// raise nothing and report through *error (0 success, -1 malformed, -2
// overflow).

// Optional sign, digits; ' is skipped anywhere. -2147483648 is accepted
// whatever its separators. No digit at all is malformed.
int32_t scan_integer(const void* text, uint32_t count, uint32_t unit, int* error);
// At most 312 characters; "," reads as "."; the float pattern of the
// lexer, then the correctly rounded conversion. NaN on failure.
double scan_float(const void* text, uint32_t count, uint32_t unit, int* error);

// A money amount split for money!'s constructor: optional sign, an optional
// three-letter currency code before "$" ("$" optional without a code),
// digits with ' separators and an optional fraction.
struct MoneyText {
  bool negative = false;
  std::string code;      // as written; empty without one
  std::string digits;    // integer digits without separators or leading zeros ("0" for none)
  std::string fraction;  // fraction digits as written
};
// Answers 0 and fills *out, or -1 when the text is not an amount.
int scan_money(const void* text, uint32_t count, uint32_t unit, MoneyText* out);

// The float pattern of the lexer over ASCII text: signs, digits with single
// ' separators, an optional "." and digits, an optional exponent.
bool float_pattern(const char* text, size_t len);
constexpr size_t FLOAT_TEXT_LIMIT = 312;
// The float that ASCII text of the float pattern stands for, its '
// separators skipped, correctly rounded (too large a magnitude reads as an
// infinity); false for text longer than FLOAT_TEXT_LIMIT or off the pattern.
bool float_text(const char* text, size_t len, double* out);

}  // namespace vel::numscan
