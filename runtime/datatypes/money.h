// money!: an exact decimal amount with an optional currency, packed into
// the value cell.
//
//   cell bytes 0-3   header: type 49; bit 14 the sign (1 negative)
//   cell byte  4     currency index: 0 none, else the 1-based position of
//                    the code in system/locale/currencies/list
//   cell bytes 5-15  22 BCD digits, two a byte, most significant first:
//                    digit 1 (the 10^16 place) in the high nibble of byte
//                    5, digit 22 (the 10^-5 place) in the low nibble of
//                    byte 15
//
// Digits 1-17 are the integral part, 18-22 the fraction: every amount below
// 10^17 with at most 5 decimals is exact. The sign of an all-zero amount is
// ignored. The bytes are addressed through the data words in little-endian
// order (byte 4 is the low byte of w1), the same on both builds.
#pragma once
#include <cstdint>
#include <string_view>

#include "cell.h"
#include "memory.h"
#include "money_cell.h"
#include "stack.h"

namespace vel::money {

constexpr int DIGITS = 22;        // digits of an amount
constexpr int INT_DIGITS = 17;    // before the point
constexpr int FRAC_DIGITS = 5;    // after it
constexpr int WORK_DIGITS = 27;   // intermediate products and widened dividends
constexpr int WORK_BYTES = 14;    // 27 digits, two a byte
constexpr int WORK_BYTES_ALIGNED = 16;
constexpr int WORK_WORDS = 4;
constexpr int32_t FRACTION_MAX = 99999;
constexpr int AMOUNT_BYTES = 11;  // cell bytes 5-15
constexpr int CURRENCIES_MAX = 256;

// --- cell fields ------------------------------------------------------------------

inline uint32_t currency(const Cell& c) { return c.w1 & 0xFF; }
inline void set_currency(Cell* c, uint32_t index) { c->w1 = (c->w1 & ~0xFFu) | (index & 0xFF); }

// The 11 amount bytes (cell bytes 5-15) out of and into a cell.
void get_bytes(const Cell& c, uint8_t out[AMOUNT_BYTES]);
void set_bytes(Cell* c, const uint8_t in[AMOUNT_BYTES]);

// The magnitude in units of 10^-5 (below 10^22), and back; a magnitude of
// 10^22 or more raises script/type-limit naming money!.
using Units = unsigned __int128;
Units units(const Cell& c);
void set_units(Cell* c, Units u);

// A zero money cell without currency.
inline Cell zero_cell() { return make_cell(TYPE_MONEY); }
// A money cell of a signed magnitude and currency.
Cell cell_of(bool negative, Units u, uint32_t currency);

inline bool zero_q(const Cell& c) { return sign_of(c) == 0; }

// Significant digits of the amount: 22 less the leading zero digits, at
// least 1.
int significant_digits(const Cell& c);

// --- currencies ----------------------------------------------------------------------

// 1-based position of a code among the known currencies (letters compared
// without regard to case), or -1. The known currencies are
// system/locale/currencies/list, or the start-up list until the system
// object exists.
int32_t currency_index_of_text(std::string_view code);
// The same for a word's symbol.
int32_t currency_index(const Cell& word);
// The code of a currency index into out (3 characters and a NUL); answers
// the length (0 for index 0 or an index past the list).
int currency_code(uint32_t index, char out[8]);

// --- constructors and conversions ------------------------------------------------------

// Clears c and makes it money from texts: an optional currency code (empty
// for none), integral digits and fraction digits ("'" separators skipped;
// fraction digits past 5 dropped). Answers false, leaving c zero money,
// when the code is unknown, a character is no digit or the integral part
// has more than 17 significant digits.
bool make_at(Cell* c, bool negative, std::string_view code, std::string_view digits, std::string_view fraction);
// Every nibble a decimal digit and the currency index 0 or a known code
// (what a serialized amount must satisfy).
bool valid_q(const Cell& c);
// From the VELBIN form: sign, currency index and the 11 amount bytes.
Cell make_from_bytes(bool negative, uint32_t currency, const uint8_t bytes[AMOUNT_BYTES]);

Cell from_integer(int32_t n);
// script/type-limit naming integer! when the integral part does not fit.
int32_t to_integer(const Cell& c);
// NaN, infinities, |x| >= 1e17, 0 < |x| < 0.00001 and (strict) more than 5
// decimals raise script/bad-make-arg naming money! and the float.
Cell from_float(double x, bool strict);
double to_float(const Cell& c);
inline bool float_overflow_q(double x) { return !(x > -1e17 && x < 1e17); }
inline bool float_underflow_q(double x) { return x != 0.0 && x > -0.00001 && x < 0.00001; }

// --- arithmetic and text ------------------------------------------------------------------

// value1 op value2 on a math action's frame (0 add, 1 subtract, 2 multiply,
// 3 divide, 4 remainder), either operand money and the other money,
// integer!, float! or percent!. The result replaces value1.
Status do_math(Cell* base, int op);

// money vs other under a comparison operator: -1, 0, 1 or -2.
int32_t compare(const Cell* a, const Cell* b, int op);

// The text of the amount ("-", the code, "$", digits and the decimals that
// system/options/money-digits asks for, all 5 with all_decimals) appended
// to out. Answers the /part budget left.
may_gc int32_t format(const Cell& c, NodeId out, int32_t part, bool all_decimals);
// The same text into a buffer of at least 32 characters; answers its length.
int format_text(const Cell& c, bool all_decimals, char* out);

}  // namespace vel::money
