// The time and date token kinds: the automaton has found the token's
// extent; these loaders read its fields, check them and build the value.
// Every fault is syntax/invalid naming time! or date!.
#include <cmath>
#include <string>

#include "datatypes/date.h"
#include "datatypes/time.h"
#include "floattext.h"
#include "io/lexer_internal.h"

namespace vel::lexer {

namespace {

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

struct Cursor {
  const uint8_t* p;
  const uint8_t* e;

  bool at_end() const { return p >= e; }
  bool peek(uint8_t c) const { return p < e && *p == c; }
  bool take(uint8_t c) {
    if (!peek(c)) return false;
    p++;
    return true;
  }
  bool digit() const { return p < e && is_digit(*p); }

  // Up to max digits (at least min); answers false when fewer are there.
  bool number(int min, int max, int64_t* v, int* count = nullptr) {
    int n = 0;
    int64_t x = 0;
    while (n < max && digit()) {
      if (x < 100000000000000000) x = x * 10 + (*p - '0');  // saturates: no field is that long
      p++, n++;
    }
    if (count) *count = n;
    *v = x;
    return n >= min;
  }

  // Digits with an optional "." and more digits, read as a float; at least
  // one digit first. `separators` lets single ' stand between digits.
  bool decimal(double* v, bool separators = false) {
    std::string text;
    if (!digit()) return false;
    while (digit() || (separators && peek('\'') && p + 1 < e && is_digit(p[1]) && !text.empty())) {
      if (*p != '\'') text.push_back(char(*p));
      p++;
    }
    if (take('.')) {
      text.push_back('.');
      while (digit()) text.push_back(char(*p++));
    }
    size_t rest = 0;
    *v = string_to_float(text.data(), text.data() + text.size(), 0, &rest);
    return rest == 0 && std::isfinite(*v);
  }
};

// hh:mm[:ss[.f]] then "Z" or a zone (+/-h[h][[:]m[m]]).
struct TimePart {
  double seconds = 0;
  int64_t zone_hours = 0, zone_minutes = 0;
};

bool read_time_part(Cursor& c, TimePart* out) {
  int64_t hour, minute;
  if (!c.number(1, 2, &hour) || !c.take(':') || !c.number(1, 2, &minute)) return false;
  double second = 0;
  if (c.take(':') && !c.decimal(&second)) return false;
  if (hour > 23 || minute > 59 || !(second < 60.0)) return false;
  out->seconds = double(hour) * 3600.0 + double(minute) * 60.0 + second;
  if (c.take('Z')) return true;
  if (c.peek('+') || c.peek('-')) {
    bool negative = *c.p++ == '-';
    int64_t zh, zm = 0;
    if (!c.number(1, 2, &zh)) return false;
    c.take(':');
    if (c.digit() && !c.number(1, 2, &zm)) return false;
    if (zh > 15 || zm > 59) return false;
    out->zone_hours = negative ? -zh : zh;
    out->zone_minutes = negative ? -zm : zm;
  }
  return true;
}

// The basic ISO form after a four-digit year: MMDDThhmm[ss[.f]] and "Z" or
// +/-hhmm.
bool read_basic_iso(Cursor& c, int64_t* month, int64_t* day, TimePart* tp) {
  int64_t hour, minute;
  if (!c.number(2, 2, month) || !c.number(2, 2, day) || !c.take('T')) return false;
  if (!c.number(2, 2, &hour) || !c.number(2, 2, &minute)) return false;
  double second = 0;
  if (c.digit() && !c.decimal(&second)) return false;
  if (hour > 23 || minute > 59 || !(second < 60.0)) return false;
  tp->seconds = double(hour) * 3600.0 + double(minute) * 60.0 + second;
  if (c.take('Z')) return true;
  if (c.peek('+') || c.peek('-')) {
    bool negative = *c.p++ == '-';
    int64_t zh, zm;
    if (!c.number(2, 2, &zh) || !c.number(2, 2, &zm) || zh > 15 || zm > 59) return false;
    tp->zone_hours = negative ? -zh : zh;
    tp->zone_minutes = negative ? -zm : zm;
  }
  return true;
}

// A month name of 3 to 9 letters: the beginning of one of the names, in
// any case. Answers 1-12, or 0.
int64_t read_month_name(Cursor& c) {
  static constexpr const char* kNames[12] = {"january", "february", "march",     "april",   "may",      "june",
                                             "july",    "august",   "september", "october", "november", "december"};
  const uint8_t* s = c.p;
  while (c.p < c.e && ((*c.p | 32) >= 'a' && (*c.p | 32) <= 'z')) c.p++;
  size_t n = size_t(c.p - s);
  if (n < 3 || n > 9) return 0;
  for (int m = 0; m < 12; m++) {
    size_t k = 0;
    while (k < n && kNames[m][k] && uint8_t(s[k] | 32) == uint8_t(kNames[m][k])) k++;
    if (k == n) return m + 1;
  }
  return 0;
}

struct DateText {
  int64_t year = 0, month = 1, day = 1;
  bool with_time = false;
  TimePart time;
  int64_t week = 0, weekday = 0, ordinal = 0;  // the ISO week and ordinal forms
};

bool read_date(Cursor& c, DateText* d) {
  bool negative = c.take('-');
  int64_t first;
  int first_digits;
  if (!c.number(1, 4, &first, &first_digits)) return false;
  if (negative) first = -first;
  if (first_digits == 4 && c.digit()) {
    if (negative) return false;
    d->year = first;
    d->with_time = true;
    return read_basic_iso(c, &d->month, &d->day, &d->time);
  }
  auto optional_time = [&](bool slash_too) {
    if (c.take('T') || (slash_too && c.take('/'))) {
      d->with_time = true;
      return read_time_part(c, &d->time);
    }
    return true;
  };
  if (first_digits == 4 && !negative && c.p + 1 < c.e && c.p[0] == '-' && c.p[1] == 'W') {
    c.p += 2;
    d->year = first;
    if (!c.number(2, 2, &d->week) || d->week < 1 || d->week > 53) return false;
    if (c.take('-') && (!c.number(1, 1, &d->weekday) || d->weekday < 1 || d->weekday > 7)) return false;
    return optional_time(false);
  }
  Cursor probe = c;
  int64_t ordinal;
  int n;
  if (probe.take('-') && probe.number(3, 3, &ordinal, &n) && !probe.digit() && (probe.at_end() || probe.peek('T'))) {
    c = probe;
    d->year = first;
    d->ordinal = ordinal;
    if (ordinal < 1 || ordinal > (date::leap_year_q(first) ? 366 : 365)) return false;
    return optional_time(false);
  }
  uint8_t sep = c.p < c.e ? *c.p : 0;
  if (sep != '-' && sep != '/') return false;
  c.p++;
  int64_t month;
  if (c.digit()) {
    if (!c.number(1, 2, &month)) return false;
  } else if (!(month = read_month_name(c))) {
    return false;
  }
  if (!c.take(sep)) return false;
  bool last_negative = c.take('-');
  int64_t last;
  int last_digits;
  if (!c.number(1, 4, &last, &last_digits)) return false;
  if (last_negative) last = -last;
  int year_digits;
  if (last_negative || last > 31 || first <= 99) {
    d->day = first;
    d->year = last;
    year_digits = last_negative ? 0 : last_digits;
  } else {
    d->year = first;
    d->day = last;
    year_digits = negative ? 0 : first_digits;
  }
  if (year_digits && year_digits <= 2) d->year += d->year < 50 ? 2000 : 1900;
  d->month = month;
  return optional_time(true);
}

}  // namespace

// Sign, hours (with ' separators), ":", minutes, then ":" and seconds with
// an optional fraction; or minutes ":" seconds "." fraction.
may_gc void load_time(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_TIME;
  Cursor c{t.start, t.end};
  bool negative = false;
  if (c.peek('+') || c.peek('-')) negative = *c.p++ == '-';
  double first, second, value;
  if (!c.decimal(&first, true) || !c.take(':')) fail_invalid(L, TYPE_TIME);
  Cursor probe = c;
  int64_t whole;
  (void)probe.number(1, 1 << 20, &whole);
  if (probe.peek('.')) {
    // minutes:seconds.fraction
    if (!c.decimal(&second)) fail_invalid(L, TYPE_TIME);
    value = first * 60.0 + second;
  } else {
    if (!c.decimal(&second)) fail_invalid(L, TYPE_TIME);
    value = first * 3600.0 + second * 60.0;
    if (c.take(':')) {
      double s;
      if (!c.decimal(&s)) fail_invalid(L, TYPE_TIME);
      value += s;
    }
  }
  // Fractions only in the seconds: a "." in the hours or minutes is no time.
  bool frac_in_hours = false;
  for (const uint8_t* p = t.start; p < t.end && *p != ':'; p++) frac_in_hours |= *p == '.';
  // Beyond 2^53 seconds the fields no longer read back exactly.
  if (!c.at_end() || frac_in_hours || !(value < 9007199254740992.0)) fail_invalid(L, TYPE_TIME);
  if (build) push_value(L, time_cell(negative ? -value : value));
}

may_gc void load_date(Lexer& L, bool build) {
  Token& t = L.tok;
  t.type = TYPE_DATE;
  Cursor c{t.start, t.end};
  DateText d;
  if (!read_date(c, &d) || !c.at_end()) fail_invalid(L, TYPE_DATE);
  bool iso_form = d.week || d.ordinal;
  if (!iso_form && (d.month < 1 || d.month > 12 || d.day < 1 || d.day > date::month_days(d.year, int32_t(d.month))))
    fail_invalid(L, TYPE_DATE);
  if (d.year < -9999 || d.year > 9999) fail_invalid(L, TYPE_DATE);
  if (!build) return;
  Cell v = make_cell(TYPE_DATE);
  date::make_at(&v, int32_t(d.year), int32_t(d.month), int32_t(d.day), d.time.seconds, int32_t(d.time.zone_hours),
                int32_t(d.time.zone_minutes), d.with_time);
  if (d.week) {
    date::set_week(&v, int32_t(d.week));
    if (d.weekday) date::set_weekday(&v, int32_t(d.weekday));
  }
  if (d.ordinal) date::set_yearday(&v, int32_t(d.ordinal));
  push_value(L, v);
}

}  // namespace vel::lexer
