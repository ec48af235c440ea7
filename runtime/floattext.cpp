#include "floattext.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

namespace vel {

namespace {

constexpr double EPSILON = 2.220446049250313e-16;

int copy_text(char* out, const char* text) {
  size_t n = std::strlen(text);
  std::memcpy(out, text, n + 1);
  return int(n);
}

// "1.#INF", "-1.#INF" or "1.#NaN" for a non-finite value (NaN shows no sign).
const char* special_text(double v) {
  if (std::isnan(v)) return "1.#NaN";
  return std::signbit(v) ? "-1.#INF" : "1.#INF";
}

// Writes a decimal integer without leading zeros; returns the end.
char* put_int(char* p, int v) {
  if (v < 0) {
    *p++ = '-';
    v = -v;  // small: exponents of doubles and of reader texts
  }
  char tmp[12];
  int n = 0;
  do {
    tmp[n++] = char('0' + v % 10);
    v /= 10;
  } while (v);
  while (n) *p++ = tmp[--n];
  return p;
}

// A text ending in the point becomes "d.0" or "d".
char* finish_point(char* p, bool point_zero) {
  if (p[-1] == '.') {
    if (point_zero)
      *p++ = '0';
    else
      --p;
  }
  return p;
}

}  // namespace

void float_to_digits(double v, int ndigits, bool zero_form, FloatDigits* out) {
  out->negative = std::signbit(v);
  if (!std::isfinite(v)) {
    if (std::isnan(v)) out->negative = false;
    out->length = copy_text(out->text, special_text(v));
    out->point = FLOAT_POINT_SPECIAL;
    return;
  }
  if (v == 0.0) {
    static const char* const zeros[2][2] = {{"0", "-0"}, {"0.0", "-0.0"}};
    out->length = copy_text(out->text, zeros[zero_form][out->negative]);
    out->point = FLOAT_POINT_ZERO;
    return;
  }
  // Scientific form "d.ddde+XX" gives the digits and the exponent directly.
  char buf[FLOAT_DIGITS_MAX + 16];
  double a = std::fabs(v);
  std::to_chars_result r =
      ndigits <= 0 ? std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific)
                   : std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific,
                                   (ndigits > FLOAT_DIGITS_MAX ? FLOAT_DIGITS_MAX : ndigits) - 1);
  const char* p = buf;
  int n = 0;
  for (; p < r.ptr && *p != 'e'; ++p)
    if (*p != '.') out->text[n++] = *p;
  int exp = 0;
  bool exp_neg = false;
  for (++p; p < r.ptr; ++p) {
    if (*p == '-')
      exp_neg = true;
    else if (*p != '+')
      exp = exp * 10 + (*p - '0');
  }
  while (n > 1 && out->text[n - 1] == '0') --n;
  out->text[n] = '\0';
  out->length = n;
  out->point = (exp_neg ? -exp : exp) + 1;
}

int form_float(double v, int ndigits, bool point_zero, char* out) {
  FloatDigits d;
  float_to_digits(v, ndigits, point_zero, &d);
  if (d.point >= FLOAT_POINT_ZERO) {
    std::memcpy(out, d.text, size_t(d.length) + 1);
    return d.length;
  }
  char* p = out;
  if (d.negative) *p++ = '-';
  const int k = d.point, n = d.length;
  if (k >= 18 || k < -6) {
    *p++ = d.text[0];
    *p++ = '.';
    std::memcpy(p, d.text + 1, size_t(n - 1));
    p = finish_point(p + n - 1, point_zero);
    *p++ = 'e';
    p = put_int(p, k - 1);
  } else if (k < 1) {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', size_t(-k));
    p += -k;
    std::memcpy(p, d.text, size_t(n));
    p += n;
  } else if (k >= n) {
    std::memcpy(p, d.text, size_t(n));
    p += n;
    std::memset(p, '0', size_t(k - n));
    p += k - n;
    *p++ = '.';
    p = finish_point(p, point_zero);
  } else {
    std::memcpy(p, d.text, size_t(k));
    p += k;
    *p++ = '.';
    std::memcpy(p, d.text + k, size_t(n - k));
    p += n - k;
  }
  *p = '\0';
  return int(p - out);
}

int format_g(double v, int precision, char* out) {
  if (!std::isfinite(v)) return copy_text(out, special_text(v));
  if (precision < 0)
    precision = 6;
  else if (precision == 0)
    precision = 1;
  else if (precision > FLOAT_DIGITS_MAX)
    precision = FLOAT_DIGITS_MAX;
  std::to_chars_result r = std::to_chars(out, out + FLOAT_TEXT_MAX - 1, v, std::chars_format::general, precision);
  *r.ptr = '\0';
  return int(r.ptr - out);
}

namespace {

struct KindRule {
  int8_t precision;  // 0: shortest round-trip
  int8_t retry;      // precision used to clean a noisy tail
  bool percent;
  bool point_zero;
};

// Indexed by FloatTextKind.
constexpr KindRule KIND_RULES[] = {
    {7, 5, false, true},   // SINGLE
    {16, 14, false, true}, // DOUBLE
    {7, 14, true, false},  // PERCENT_SINGLE
    {13, 14, true, false}, // PERCENT
    {0, 5, false, false},  // SHORTEST
    {7, 5, false, false},  // SINGLE_BARE
};

// A mantissa longer than the digits a double holds, ending in 01 or 99, is
// binary noise of a decimal value.
bool noisy_tail(const char* text, int len) {
  const char* m = text[0] == '-' ? text + 1 : text;
  const char* e = static_cast<const char*>(std::memchr(m, 'e', size_t(text + len - m)));
  int mlen = int((e ? e : text + len) - m);
  if (mlen <= (m[0] == '0' ? 17 : 16)) return false;
  const char* last = m + mlen - 2;
  return (last[0] == '0' && last[1] == '1') || (last[0] == '9' && last[1] == '9');
}

}  // namespace

int float_to_text(double v, FloatTextKind kind, bool pretty, char* out) {
  size_t ki = size_t(kind);
  const KindRule& rule = KIND_RULES[ki < std::size(KIND_RULES) ? ki : size_t(FloatTextKind::DOUBLE)];
  if (!std::isfinite(v)) return copy_text(out, special_text(v));
  if (pretty && std::fabs(v) < EPSILON) return copy_text(out, rule.percent ? "0%" : "0.0");

  char tmp[FLOAT_TEXT_MAX];
  int len = rule.precision ? format_g(v, rule.precision, tmp) : form_float(v, 0, false, tmp);
  if (pretty && noisy_tail(tmp, len)) len = format_g(v, rule.retry, tmp);

  // Copy the mantissa, then the exponent without "+" and leading zeros.
  const char* src = tmp;
  const char* end = tmp + len;
  char* p = out;
  bool has_point = false;
  for (; src < end && *src != 'e'; ++src) {
    has_point |= *src == '.';
    *p++ = *src;
  }
  if (!rule.percent && rule.point_zero && !has_point) {
    *p++ = '.';
    *p++ = '0';
  }
  if (src < end) {
    *p++ = *src++;  // 'e'
    if (src < end && (*src == '+' || *src == '-')) {
      if (*src == '-') *p++ = '-';
      ++src;
    }
    while (src + 1 < end && *src == '0') ++src;
    while (src < end) *p++ = *src++;
  }
  if (rule.percent) *p++ = '%';
  *p = '\0';
  return int(p - out);
}

namespace {

// Significant digits kept when reading; the rest only decide rounding (a
// double's halfway points have at most 767 significant digits).
constexpr int READ_DIGITS_MAX = 780;

template <typename Ch>
bool is_digit(Ch c) {
  return c >= Ch('0') && c <= Ch('9');
}

template <typename Ch>
bool is_letter(Ch c) {
  return (c >= Ch('a') && c <= Ch('z')) || (c >= Ch('A') && c <= Ch('Z'));
}

template <typename Ch>
double read_float(const Ch* start, const Ch* end, int32_t exp_adjust, size_t* unconsumed) {
  const Ch* p = start;
  bool neg = false;
  if (p < end && (*p == Ch('+') || *p == Ch('-'))) {
    neg = *p == Ch('-');
    ++p;
  }

  // "1.#INF", "-1.#INF", "1.#NaN": one digit, ".#", then a word.
  if (end - p >= 4 && is_digit(p[0]) && p[1] == Ch('.') && p[2] == Ch('#')) {
    Ch c = p[3];
    bool inf = c == Ch('I') || c == Ch('i');
    if (inf || c == Ch('N') || c == Ch('n')) {
      const Ch* q = p + 4;
      while (q < end && is_letter(*q)) ++q;
      *unconsumed = size_t(end - q);
      if (!inf) return std::numeric_limits<double>::quiet_NaN();
      return neg ? -HUGE_VAL : HUGE_VAL;
    }
  }

  // The value is digits x 10^exp10, digits without leading zeros.
  char digits[READ_DIGITS_MAX + 32];
  int nd = 0;
  int64_t exp10 = 0;
  bool sticky = false;  // a dropped digit was not zero
  bool any = false;
  for (; p < end && is_digit(*p); ++p) {
    any = true;
    if (nd == 0 && *p == Ch('0')) continue;
    if (nd < READ_DIGITS_MAX) {
      digits[nd++] = char(*p);
    } else {
      ++exp10;
      sticky |= *p != Ch('0');
    }
  }
  if (p < end && *p == Ch('.')) {
    const Ch* q = p + 1;
    bool frac = false;
    for (; q < end && is_digit(*q); ++q) {
      frac = true;
      if (nd == 0 && *q == Ch('0')) {
        --exp10;
      } else if (nd < READ_DIGITS_MAX) {
        digits[nd++] = char(*q);
        --exp10;
      } else {
        sticky |= *q != Ch('0');
      }
    }
    if (any || frac) {
      any = true;
      p = q;
    }
  }
  if (!any) {
    *unconsumed = size_t(end - start);
    return 0.0;
  }
  if (p < end && (*p == Ch('e') || *p == Ch('E'))) {
    const Ch* q = p + 1;
    bool eneg = false;
    if (q < end && (*q == Ch('+') || *q == Ch('-'))) {
      eneg = *q == Ch('-');
      ++q;
    }
    if (q < end && is_digit(*q)) {
      int64_t e = 0;
      for (; q < end && is_digit(*q); ++q)
        if (e < 1000000000000) e = e * 10 + (*q - Ch('0'));  // saturates far beyond any double
      exp10 += eneg ? -e : e;
      p = q;
    }
  }
  *unconsumed = size_t(end - p);

  exp10 += exp_adjust;
  double zero = neg ? -0.0 : 0.0;
  if (nd == 0) return zero;
  if (sticky) {
    digits[nd++] = '1';
    --exp10;
  }
  // The value lies in [10^(mag-1), 10^mag).
  int64_t mag = exp10 + nd;
  if (mag > 310) return neg ? -HUGE_VAL : HUGE_VAL;
  if (mag < -330) return zero;

  char* t = digits + nd;
  *t++ = 'e';
  t = put_int(t, int(exp10));
  double v = 0.0;
  std::from_chars_result r = std::from_chars(digits, t, v, std::chars_format::scientific);
  if (r.ec == std::errc::result_out_of_range) v = mag > 0 ? HUGE_VAL : 0.0;
  return neg ? -v : v;
}

}  // namespace

double string_to_float(const char* start, const char* end, int32_t exp_adjust, size_t* unconsumed) {
  return read_float(start, end, exp_adjust, unconsumed);
}

double string_to_float_units(const void* text, uint32_t unit, size_t count, int32_t exp_adjust,
                             size_t* unconsumed) {
  switch (unit) {
    case 1: {
      auto s = static_cast<const uint8_t*>(text);
      return read_float(s, s + count, exp_adjust, unconsumed);
    }
    case 2: {
      auto s = static_cast<const uint16_t*>(text);
      return read_float(s, s + count, exp_adjust, unconsumed);
    }
    case 4: {
      auto s = static_cast<const uint32_t*>(text);
      return read_float(s, s + count, exp_adjust, unconsumed);
    }
    default:
      *unconsumed = count;
      return 0.0;
  }
}

double fold_degrees(double degrees, int mode) {
  constexpr double PI = 3.14159265358979323846;
  double x = std::fmod(degrees, 360.0);
  if (x > 180.0 || x < -180.0) x += x >= 0.0 ? -360.0 : 360.0;
  if (x > 90.0 || x < -90.0) {
    if (mode == 0)
      x += x >= 0.0 ? -180.0 : 180.0;
    else if (mode == 2)
      x = x >= 0.0 ? 180.0 - x : -180.0 - x;
  }
  return x * PI / 180.0;
}

}  // namespace vel
