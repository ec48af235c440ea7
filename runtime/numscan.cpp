#include "numscan.h"

#include <cmath>
#include <string>

#include "floattext.h"
#include "unicode.h"

namespace vel::numscan {

namespace {

inline bool is_digit(uint32_t c) { return c >= '0' && c <= '9'; }
inline bool is_sign(uint32_t c) { return c == '+' || c == '-'; }
inline bool is_letter(uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

struct Chars {
  const uint8_t* p;
  uint32_t unit;
  uint32_t operator[](uint32_t i) const { return get_char(p + size_t(i) * unit, unit); }
};

}  // namespace

bool float_pattern(const char* text, size_t n) {
  size_t i = 0;
  if (i < n && is_sign(uint8_t(text[i]))) i++;
  size_t int_digits = 0;
  bool after_quote = false;
  for (; i < n; i++) {
    char c = text[i];
    if (is_digit(uint8_t(c))) {
      int_digits++;
      after_quote = false;
    } else if (c == '\'') {
      if (!int_digits || after_quote) return false;
      after_quote = true;
    } else {
      break;
    }
  }
  if (after_quote) return false;
  size_t frac_digits = 0;
  if (i < n && text[i] == '.') {
    for (i++; i < n && is_digit(uint8_t(text[i])); i++) frac_digits++;
  }
  if (!int_digits && !frac_digits) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    i++;
    if (i < n && is_sign(uint8_t(text[i]))) i++;
    size_t exp_digits = 0;
    for (; i < n && is_digit(uint8_t(text[i])); i++) exp_digits++;
    if (!exp_digits) return false;
  }
  return i == n;
}

int32_t scan_integer(const void* text, uint32_t count, uint32_t unit, int* error) {
  Chars s{static_cast<const uint8_t*>(text), unit};
  uint32_t i = 0;
  bool neg = false;
  if (count && is_sign(s[0])) neg = s[i++] == '-';
  uint64_t v = 0;
  uint32_t digits = 0;
  for (; i < count; i++) {
    uint32_t c = s[i];
    if (c == '\'') continue;
    if (!is_digit(c)) {
      *error = -1;
      return 0;
    }
    digits++;
    if (v <= 0x80000000ull) v = v * 10 + (c - '0');
  }
  // No digit at all is not a number, whatever the sign or separators.
  if (!digits) {
    *error = -1;
    return 0;
  }
  if (v > (neg ? 0x80000000ull : 0x7FFFFFFFull)) {
    *error = -2;
    return 0;
  }
  *error = 0;
  return neg ? int32_t(-int64_t(v)) : int32_t(v);
}

double scan_float(const void* text, uint32_t count, uint32_t unit, int* error) {
  *error = -1;
  double nan = std::nan("");
  if (count == 0 || count > FLOAT_TEXT_LIMIT) return nan;
  Chars s{static_cast<const uint8_t*>(text), unit};
  char buf[FLOAT_TEXT_LIMIT + 1];
  for (uint32_t i = 0; i < count; i++) {
    uint32_t c = s[i];
    if (c >= 0x80) return nan;
    buf[i] = c == ',' ? '.' : char(c);
  }
  double d;
  if (!float_text(buf, count, &d)) return nan;
  *error = 0;
  return d;
}

bool float_text(const char* text, size_t len, double* out) {
  if (len > FLOAT_TEXT_LIMIT || !float_pattern(text, len)) return false;
  char buf[FLOAT_TEXT_LIMIT + 1];
  size_t m = 0;
  for (size_t i = 0; i < len; i++)
    if (text[i] != '\'') buf[m++] = text[i];
  size_t rest = 0;
  // Too large a magnitude reads as an infinity, as the conversion rounds it.
  *out = string_to_float(buf, buf + m, 0, &rest);
  return rest == 0;
}

int scan_money(const void* text, uint32_t count, uint32_t unit, MoneyText* out) {
  Chars s{static_cast<const uint8_t*>(text), unit};
  *out = MoneyText{};
  uint32_t i = 0;
  if (i < count && is_sign(s[i])) out->negative = s[i++] == '-';
  // A currency code is three letters directly before "$".
  if (count - i >= 5 && is_letter(s[i]) && is_letter(s[i + 1]) && is_letter(s[i + 2]) && s[i + 3] == '$') {
    for (uint32_t k = 0; k < 3; k++) out->code += char(s[i + k]);
    i += 4;
  } else if (i < count && s[i] == '$') {
    i++;
  }
  if (i >= count) return -1;
  bool in_fraction = false;
  uint32_t prev = 0;  // the previous character of the amount, 0 at its start
  for (; i < count; i++) {
    uint32_t c = s[i];
    if (is_digit(c)) {
      (in_fraction ? out->fraction : out->digits) += char(c);
    } else if (c == '\'') {
      if (!prev || prev == '\'' || prev == '.' || in_fraction || i + 1 == count) return -1;
    } else if (c == '.') {
      if (in_fraction || !prev || prev == '\'' || i + 1 == count) return -1;
      in_fraction = true;
    } else {
      return -1;
    }
    prev = c;
  }
  size_t z = out->digits.find_first_not_of('0');
  out->digits = z == std::string::npos ? "0" : out->digits.substr(z);
  return 0;
}

}  // namespace vel::numscan
