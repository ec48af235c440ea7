// date!: the calendar, make and to, the text form, comparison, date math,
// random dates and the fourteen accessors by path and pick.
#include "datatypes/date.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <string_view>

#include "action_frames.h"
#include "datatypes/core_words.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "errors.h"
#include "random.h"
#include "roots.h"
#include "series_ops.h"

namespace vel::date {

namespace {

// Floored division and modulo: the calendar runs on into negative years.
inline int64_t fdiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
inline int64_t fmod_floor(int64_t a, int64_t b) { return a - fdiv(a, b) * b; }

// Day number of 1 March of year y (the day before that is 29 February in
// a leap year).
inline int64_t year_start(int64_t y) { return 365 * y + fdiv(y, 4) - fdiv(y, 100) + fdiv(y, 400); }

const int64_t kMinDays = to_days(YEAR_MIN, 1, 1);
const int64_t kMaxDays = to_days(YEAR_MAX, 12, 31);
const int64_t kEpochDays = to_days(1970, 1, 1);

inline uint32_t keep_bits(uint32_t d) { return d & (ZONE_MASK | TIME_FLAG); }
inline uint32_t zone_in_force(uint32_t d) { return has_time(d) ? zone_of(d) : 0; }

}  // namespace

uint32_t zone_bits(int32_t hours, int32_t minutes) {
  bool negative = hours < 0 || (hours == 0 && minutes < 0);
  uint32_t h = uint32_t(hours < 0 ? -int64_t(hours) : hours) & 15;
  uint32_t q = (uint32_t(minutes < 0 ? -int64_t(minutes) : minutes) / 15) & 3;
  if (!h && !q) return 0;
  return (h << 2) | q | (negative ? ZONE_SIGN : 0);
}

// --- calendar ------------------------------------------------------------------------

bool leap_year_q(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int32_t month_days(int64_t year, int32_t month) {
  static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && leap_year_q(year) ? 29 : kDays[month - 1];
}

int64_t to_days(int64_t y, int64_t m, int64_t d) {
  // A month outside 1-12 moves the year, so every (y, m) names a real month.
  y += fdiv(m - 1, 12);
  m = fmod_floor(m - 1, 12) + 1;
  int64_t b = (m + 9) % 12;  // March 0 .. February 11
  int64_t c = y - b / 10;    // January and February count to the year before
  return year_start(c) + (306 * b + 5) / 10 + (d - 1);
}

bool days_in_range(int64_t days) { return days >= kMinDays && days <= kMaxDays; }

uint32_t from_days(int64_t n, uint32_t bits) {
  if (!days_in_range(n)) fire(ErrId::OVERFLOW);
  int64_t f = int64_t(std::floor((10000.0 * double(n) + 14780.0) / 3652425.0));
  int64_t g = n - year_start(f);
  while (g < 0) g = n - year_start(--f);
  while (g >= year_start(f + 1) - year_start(f)) g = n - year_start(++f);
  int64_t k = (100 * g + 52) / 3060;
  int64_t year = f + (k + 2) / 12;
  int64_t month = (k + 2) % 12 + 1;
  int64_t day = g - (306 * k + 5) / 10 + 1;
  return (uint32_t(year) << 17) | (uint32_t(month) << 12) | (uint32_t(day) << 7) | (bits & (ZONE_MASK | TIME_FLAG));
}

int32_t weekday_index(int64_t days) { return int32_t(fmod_floor(days + 2, 7)); }

int32_t yearday(uint32_t d) { return int32_t(to_days(d) - to_days(year_of(d), 1, 1) + 1); }

namespace {

// Weekday of 1 January counted from Sunday (0).
int32_t jan1_from_sunday(int64_t year) { return int32_t(fmod_floor(to_days(year, 1, 1) + 3, 7)); }

// The Monday that starts ISO week 1 of a year.
int64_t isoweek_start(int64_t year) {
  int64_t j = to_days(year, 1, 1);
  int32_t w = weekday_index(j);
  return j - w + (w >= 4 ? 7 : 0);
}

}  // namespace

int32_t week(uint32_t d) {
  int32_t e = jan1_from_sunday(year_of(d));
  int32_t yd = yearday(d);
  return yd <= 7 - e ? 1 : (yd + e - 1) / 7 + 1;
}

int32_t isoweek(uint32_t d) {
  int64_t days = to_days(d);
  int64_t y = year_of(d);
  int64_t start = isoweek_start(y);
  if (days < start) {
    switch (weekday_index(to_days(y, 1, 1))) {
      case 4: return 53;  // Friday
      case 5: return leap_year_q(y - 1) ? 53 : 52;
      default: return 52;
    }
  }
  if (days < isoweek_start(y + 1)) return int32_t((days - start) / 7 + 1);
  return 1;
}

int64_t carry_time(int64_t days, double* time, uint32_t zone) {
  double zh = zone_seconds(zone) / 3600.0;
  double m = std::trunc(std::trunc(*time / 3600.0 + zh) / 24.0);
  // Beyond any representable date (and NaN): refuse before converting.
  if (!(std::fabs(m) < 1e8)) fire(ErrId::OVERFLOW);
  days += int64_t(m);
  *time -= m * 24.0 * 3600.0;
  if (zh * 3600.0 + *time < 0) {
    *time += 86400.0;
    days -= 1;
  }
  return days;
}

void normalize(Cell* d, double time, bool as_local) {
  uint32_t zone = zone_in_force(d->w1);
  if (as_local) time -= zone_seconds(zone);
  int64_t days = carry_time(to_days(d->w1), &time, zone);
  d->w1 = from_days(days, keep_bits(d->w1));
  d->set_f64(time);
}

void make_at(Cell* c, int32_t year, int32_t month, int32_t day, double seconds, int32_t zone_hours,
             int32_t zone_minutes, bool with_time) {
  uint32_t zone = with_time ? zone_bits(zone_hours, zone_minutes) : 0;
  uint32_t w1 = (uint32_t(year) << 17) | ((uint32_t(month) & 15) << 12) | ((uint32_t(day) & 31) << 7) |
                (with_time ? TIME_FLAG | zone : 0);
  c->header = (c->header & ~CELL_TYPE_MASK) | TYPE_DATE;
  c->w1 = w1;
  c->set_f64(with_time ? seconds - zone_seconds(zone) : 0.0);
}

void make_from_parts(Cell* c, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                     int32_t second, int32_t nanoseconds) {
  double t = hour * 3600.0 + minute * 60.0 + second + nanoseconds * 1e-9;
  make_at(c, year, month, day, t, 0, 0, true);
}

namespace {

void set_days(Cell* d, int64_t days) { d->w1 = from_days(days, keep_bits(d->w1)); }

}  // namespace

void set_week(Cell* d, int32_t n) { set_days(d, isoweek_start(year_of(d->w1)) + 7 * (int64_t(n) - 1)); }

void set_weekday(Cell* d, int32_t n) {
  int64_t days = to_days(d->w1);
  set_days(d, days - weekday_index(days) + (int64_t(n) - 1));
}

void set_yearday(Cell* d, int32_t n) { set_days(d, to_days(year_of(d->w1), 1, 1) + int64_t(n) - 1); }

void set_month(Cell* d, int64_t m) { set_days(d, to_days(year_of(d->w1), m, day_of(d->w1))); }

// --- accessors -----------------------------------------------------------------------

namespace {

constexpr int FIELD_COUNT = 14;

constexpr SymId kFieldWords[FIELD_COUNT + 1] = {
    SymId::DATE,    SymId::DATE,    SymId::YEAR,    SymId::MONTH,    SymId::DAY,
    SymId::ZONE,    SymId::TIME,    SymId::HOUR,    SymId::MINUTE,   SymId::SECOND,
    SymId::WEEKDAY, SymId::YEARDAY, SymId::TIMEZONE, SymId::WEEK,   SymId::ISOWEEK,
};

double local_time(const Cell& d) { return has_time(d.w1) ? d.f64() + zone_seconds(zone_of(d.w1)) : 0.0; }

}  // namespace

int field_index(const Cell& e) {
  if (e.is(TYPE_INTEGER)) return e.i2() >= 1 && e.i2() <= FIELD_COUNT ? e.i2() : 0;
  if (!e.is(TYPE_WORD)) return 0;
  uint32_t s = symbol::resolve(e.w2);
  for (int f = 1; f <= FIELD_COUNT; f++)
    if (s == sym(kFieldWords[f])) return f;
  return s == sym(SymId::JULIAN) ? 11 : 0;
}

Cell field(const Cell& d, int f) {
  uint32_t w = d.w1;
  switch (f) {
    case 1: return cell(w & ~(ZONE_MASK | TIME_FLAG), 0.0);
    case 2: return integer_cell(year_of(w));
    case 3: return integer_cell(month_of(w));
    case 4: return integer_cell(day_of(w));
    case 5:
    case 12: return has_time(w) ? time_cell(zone_seconds(zone_of(w))) : none_cell();
    case 6: return has_time(w) ? time_cell(local_time(d)) : none_cell();
    case 7:
    case 8:
    case 9: return time_field(local_time(d), f - 6);
    case 10: return integer_cell(weekday_index(to_days(w)) + 1);
    case 11: return integer_cell(yearday(w));
    case 13: return integer_cell(week(w));
    default: return integer_cell(isoweek(w));
  }
}

namespace {

// A zone written as an integer (hours) or a time.
uint32_t zone_from(const Cell& v) {
  if (v.is(TYPE_INTEGER)) return zone_bits(v.i2() % 16, 0);
  if (!v.is(TYPE_TIME)) fire(ErrId::INVALID_ARG, v);
  double r = std::fmod(v.f64(), 57600.0);
  if (std::isnan(r)) fire(ErrId::INVALID_ARG, v);
  int32_t minutes = int32_t(time_minute(r));
  return zone_bits(int32_t(time_hour(r)), r < 0 ? -minutes : minutes);
}

// Writes one accessor of *d.
void set_field(Cell* d, int f, const Cell& v) {
  bool needs_integer = f == 2 || f == 3 || f == 4 || f == 10 || f == 11 || f == 13 || f == 14;
  if (needs_integer && !v.is(TYPE_INTEGER)) fire(ErrId::INVALID_ARG, v);
  int64_t n = v.i2();
  uint32_t w = d->w1;
  switch (f) {
    case 1:
      if (!v.is(TYPE_DATE)) fire(ErrId::INVALID_ARG, v);
      d->w1 = (v.w1 & ~(ZONE_MASK | TIME_FLAG)) | keep_bits(w);
      return;
    case 2: set_days(d, to_days(n, month_of(w), day_of(w))); return;
    case 3: set_month(d, n); return;
    case 4: set_days(d, to_days(year_of(w), month_of(w), 0) + n); return;
    case 5: {
      double local = local_time(*d);
      d->w1 = (w & ~ZONE_MASK) | zone_from(v) | TIME_FLAG;
      normalize(d, local, true);
      return;
    }
    case 6:
      if (v.is(TYPE_NONE)) {
        d->w1 = w & ~(ZONE_MASK | TIME_FLAG);
        d->set_f64(0.0);
        return;
      }
      if (!v.is(TYPE_TIME)) fire(ErrId::INVALID_ARG, v);
      d->w1 = w | TIME_FLAG;
      normalize(d, v.f64(), true);
      return;
    case 7:
    case 8:
    case 9: {
      // On the local time of day, so that a field keeps its local meaning
      // in any zone.
      double t = time_set_field(local_time(*d), f - 6, v);
      d->w1 = w | TIME_FLAG;
      normalize(d, t, true);
      return;
    }
    case 10: {
      int64_t days = to_days(w);
      set_days(d, days + (n - 1) - weekday_index(days));
      return;
    }
    case 11: set_days(d, to_days(year_of(w), 1, 1) + n - 1); return;
    case 12:
      d->w1 = (w & ~ZONE_MASK) | zone_from(v) | TIME_FLAG;
      normalize(d, d->f64(), false);
      return;
    case 13: {
      int64_t jan1 = to_days(year_of(w), 1, 1);
      set_days(d, n > 1 ? jan1 + 7 * n - jan1_from_sunday(year_of(w)) - 7 : jan1);
      return;
    }
    default: set_days(d, isoweek_start(year_of(w)) + 7 * (n - 1)); return;
  }
}

}  // namespace

// --- arithmetic ------------------------------------------------------------------------

int64_t to_epoch(const Cell& d) {
  double s = double(to_days(d.w1) - kEpochDays) * 86400.0 + std::trunc(d.f64() + 0.5);
  if (!(std::fabs(s) < 9.2e18)) fire(ErrId::OVERFLOW);
  return int64_t(s);
}

Cell difference(const Cell& a, const Cell& b) {
  double days = double(to_days(a.w1) - to_days(b.w1));
  return time_cell(days * 86400.0 + (a.f64() - b.f64()));
}

Status do_math(Cell* base, int op) {
  using enum act::add::Frame;
  Cell d = base[VALUE1];
  const Cell& r = base[VALUE2];
  int64_t days = to_days(d.w1);
  double time = d.f64();
  uint32_t bits = keep_bits(d.w1);
  switch (r.type()) {
    case TYPE_INTEGER:
      days += op == MATH_ADD ? int64_t(r.i2()) : -int64_t(r.i2());
      break;
    case TYPE_TIME:
      time += op == MATH_ADD ? r.f64() : -r.f64();
      bits |= TIME_FLAG;
      break;
    case TYPE_DATE: {
      if (op == MATH_ADD) fire(ErrId::NOT_RELATED, runtime_word(SymId::ADD), datatype_cell(TYPE_DATE));
      int64_t n = days - to_days(r.w1);
      double t = time - r.f64();
      n = carry_time(n, &t, zone_in_force(d.w1));
      base[RESULT] = integer_cell(int32_t(n));
      return Status::OK;
    }
    default:
      fire(ErrId::INVALID_TYPE, datatype_cell(r.type()));
  }
  days = carry_time(days, &time, (bits & TIME_FLAG) ? zone_of(bits) : 0);
  base[RESULT] = cell(from_days(days, bits), time);
  return Status::OK;
}

namespace {

// --- actions -------------------------------------------------------------------------
[[noreturn]] void bad_spec(const Cell& spec) { fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_DATE), spec); }

// The fields a block value can fill.
enum Field : uint8_t { F_NONE, F_DAY, F_MONTH, F_YEAR, F_HOUR, F_TIME, F_MINUTE, F_SECOND, F_ZONE_H, F_ZONE_T, F_ZONE_M };

struct Transition {
  int8_t next;
  Field field;
};

// By state and value class (integer!, time!, float!); next -1: refused.
constexpr Transition kSpecStates[14][3] = {
    {{1, F_DAY}, {-1, F_NONE}, {-1, F_NONE}},
    {{2, F_MONTH}, {-1, F_NONE}, {-1, F_NONE}},
    {{3, F_YEAR}, {-1, F_NONE}, {-1, F_NONE}},
    {{8, F_HOUR}, {4, F_TIME}, {-1, F_NONE}},
    {{6, F_ZONE_H}, {5, F_ZONE_T}, {-1, F_NONE}},
    {{-1, F_NONE}, {-1, F_NONE}, {-1, F_NONE}},
    {{7, F_ZONE_M}, {-1, F_NONE}, {-1, F_NONE}},
    {{-1, F_NONE}, {-1, F_NONE}, {-1, F_NONE}},
    {{9, F_MINUTE}, {-1, F_NONE}, {-1, F_NONE}},
    {{10, F_SECOND}, {-1, F_NONE}, {10, F_SECOND}},
    {{12, F_ZONE_H}, {11, F_ZONE_T}, {-1, F_NONE}},
    {{-1, F_NONE}, {-1, F_NONE}, {-1, F_NONE}},
    {{13, F_ZONE_M}, {-1, F_NONE}, {-1, F_NONE}},
    {{-1, F_NONE}, {-1, F_NONE}, {-1, F_NONE}},
};

// [day month year], then a time as hour minute second or a time!, then a
// zone as hours (and minutes) or a time!. to rolls fields over; make
// refuses a field out of its range.
Cell from_block(const Cell& spec, bool checked) {
  Buffer* b = spec.node() ? node_buffer(spec.node()) : nullptr;
  uint32_t len = b ? b->length() : 0;
  uint32_t index = spec.index() < 0 ? 0 : uint32_t(spec.index());
  uint32_t count = index < len ? len - index : 0;
  int64_t day = 0, month = 0, year = 0, hour = 0, minute = 0, zone_h = 0, zone_m = 0;
  double second = 0.0, time_value = 0.0, zone_time = 0.0;
  bool zone_is_time = false, time_given = false;
  int state = 0;
  for (uint32_t i = 0; i < count; i++) {
    Cell c = node_buffer(spec.node())->cells()[index + i];
    int cls = c.is(TYPE_INTEGER) ? 0 : c.is(TYPE_TIME) ? 1 : c.is(TYPE_FLOAT) ? 2 : -1;
    if (cls < 0) bad_spec(spec);
    Transition t = kSpecStates[state][cls];
    if (t.next < 0) bad_spec(spec);
    state = t.next;
    int64_t n = c.is(TYPE_INTEGER) ? c.i2() : 0;
    switch (t.field) {
      case F_DAY: day = n; break;
      case F_MONTH: month = n; break;
      case F_YEAR: year = n; break;
      case F_HOUR: hour = n; break;
      case F_MINUTE: minute = n; break;
      case F_SECOND: second = number_as_float(c); break;
      case F_TIME: time_value = c.f64(), time_given = true; break;
      case F_ZONE_H: zone_h = n; break;
      case F_ZONE_M: zone_m = n; break;
      case F_ZONE_T: zone_time = c.f64(), zone_is_time = true; break;
      case F_NONE: break;
    }
  }
  if (count < 3) bad_spec(spec);
  if (day > 99 && year < day) std::swap(day, year);
  if (zone_is_time) {
    if (!(std::fabs(zone_time) < 86400.0)) bad_spec(spec);
    zone_h = int64_t(time_hour(zone_time));
    zone_m = int64_t(time_minute(zone_time));
    if (zone_time < 0 && zone_h == 0) zone_m = -zone_m;
  }
  // The zone field holds 15 hours at most.
  if (zone_h < -15 || zone_h > 15) bad_spec(spec);
  double t = time_given ? time_value : double(hour) * 3600.0 + double(minute) * 60.0 + second;
  if (!(std::fabs(t) < 1e13)) bad_spec(spec);  // NaN too
  // Far outside the calendar either way: refused before any arithmetic.
  constexpr int64_t kFar = 100000000;
  if (year < -kFar || year > kFar || month < -kFar || month > kFar || day < -kFar || day > kFar) bad_spec(spec);
  int64_t y = year + fdiv(month - 1, 12);
  int64_t m = fmod_floor(month - 1, 12) + 1;
  int64_t days = to_days(y, m, 0) + day;
  if (!days_in_range(days)) bad_spec(spec);
  Cell d = cell(from_days(days, count > 3 ? TIME_FLAG : 0), 0.0);
  if (!days_in_range(days + int64_t(std::floor(t / 86400.0)))) bad_spec(spec);
  normalize(&d, t, false);
  if (checked) {
    bool same_day = year_of(d.w1) == year && month_of(d.w1) == month && day_of(d.w1) == day;
    double st = d.f64();
    bool time_ok;
    if (time_given) {
      time_ok = std::trunc(st / 3600.0) >= 0 && std::trunc(st / 3600.0) <= 23 && time_minute(st) == time_minute(t);
    } else {
      time_ok = time_hour(st) == double(hour) && time_minute(st) == double(minute);
    }
    if (!same_day || !time_ok) bad_spec(spec);
  }
  if (count > 3) {
    d.w1 |= zone_bits(int32_t(zone_h), int32_t(zone_m));
    normalize(&d, d.f64(), true);
  }
  return d;
}

Status date_make_to(Cell* base, bool checked) {
  using enum act::make::Frame;
  Cell spec = base[SPEC];
  switch (spec.type()) {
    case TYPE_DATE:
      base[RESULT] = spec;
      return Status::OK;
    case TYPE_INTEGER: {
      if (checked) return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_DATE), spec);
      int64_t n = spec.i2();
      Cell d = cell(from_days(kEpochDays + n / 86400, TIME_FLAG), 0.0);
      normalize(&d, double(n % 86400), false);
      base[RESULT] = d;
      return Status::OK;
    }
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH:
      base[RESULT] = from_block(spec, checked);
      return Status::OK;
    default:
      // Refused specs go back as a status: scripts meet them under try.
      return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_DATE), spec);
  }
}

Status date_make(Cell* base) { return date_make_to(base, true); }
Status date_to(Cell* base) { return date_make_to(base, false); }

constexpr const char* kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                         "July",    "August",   "September", "October", "November", "December"};

may_gc int32_t date_form(Cell v, NodeId out, const Cell*, int32_t part) {
  uint32_t w = v.w1;
  int32_t year = year_of(w);
  char sep = year < 0 ? '/' : '-';
  char text[48];
  int n = 0;
  auto number = [&](int64_t x, int width) {
    char digits[24];
    int k = 0;
    uint64_t u = uint64_t(x < 0 ? -x : x);
    do {
      digits[k++] = char('0' + u % 10);
      u /= 10;
    } while (u);
    while (k < width) digits[k++] = '0';
    if (x < 0) text[n++] = '-';
    while (k) text[n++] = digits[--k];
  };
  number(day_of(w), 1);
  text[n++] = sep;
  int32_t month = month_of(w);
  const char* name = month >= 1 && month <= 12 ? kMonthNames[month - 1] : "???";
  std::memcpy(text + n, name, 3);
  n += 3;
  text[n++] = sep;
  number(year, year >= 0 && year < 100 ? 4 : 1);
  if (has_time(w)) text[n++] = '/';
  append_latin1(out, std::string_view(text, size_t(n)));
  part -= n;
  if (!has_time(w)) return part;
  part = time_format(local_time(v), out, part);
  uint32_t zone = zone_of(w);
  if (!zone) return part;
  n = 0;
  text[n++] = zone & ZONE_SIGN ? '-' : '+';
  number((zone >> 2) & 15, 2);
  text[n++] = ':';
  number((zone & 3) * 15, 2);
  append_latin1(out, std::string_view(text, size_t(n)));
  return part - n;
}

int32_t date_mold(Cell v, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return date_form(v, out, nullptr, part);
}

// Dates compare as instants: the UTC day and time, so that one moment
// written in two zones is one value.
struct Instant {
  int64_t days;
  double time;
};

Instant instant_of(const Cell& d) {
  double t = d.f64();
  double shift = std::fabs(t) < 1e15 ? std::floor(t / 86400.0) : 0.0;
  return {to_days(d.w1) + int64_t(shift), t - shift * 86400.0};
}

int32_t date_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_DATE)) return CMP_INCOMPARABLE;
  if (op == CMP_SAME) {
    uint32_t mask = ~(ZONE_MASK | TIME_FLAG);
    return (a->w1 & mask) == (b->w1 & mask) && a->u64() == b->u64() ? 0 : 1;
  }
  Instant x = instant_of(*a), y = instant_of(*b);
  bool equal = x.days == y.days && float_almost_equal(x.time, y.time);
  switch (op) {
    case CMP_EQUAL:
    case CMP_NOT_EQUAL:
    case CMP_STRICT_EQUAL:
    case CMP_FIND:
    case CMP_WORD_MATCH:
    case CMP_WORD_MATCH_CASE:
      return equal ? 0 : 1;
    default:
      if (equal) return 0;
      if (x.days != y.days) return x.days < y.days ? -1 : 1;
      return x.time < y.time ? -1 : 1;
  }
}

template <int OP>
Status date_math(Cell* base) {
  return do_math(base, OP);
}

Status date_random(Cell* base) {
  using enum act::random::Frame;
  Cell d = base[VALUE];
  bool secure = truthy(base[SECURE]);
  if (truthy(base[SEED])) {
    double t = d.f64();
    int64_t whole = std::isfinite(t) && std::fabs(t) < 2e9 ? int64_t(t) : 0;
    random::seed(int32_t(uint32_t(d.w1) + uint32_t(whole)));
    base[RESULT] = unset_cell();
    return Status::OK;
  }
  int64_t days = to_days(d.w1);
  int32_t limit = days > INT32_MAX ? INT32_MAX : days < INT32_MIN ? INT32_MIN : int32_t(days);
  int32_t n = limit == 0 ? 1 : random::int_uniform(limit, secure);
  d.w1 = from_days(int64_t(n) - 1, keep_bits(d.w1));
  if (has_time(d.w1)) {
    int32_t raw = secure ? random::secure_next() : random::next();
    d.w1 = (d.w1 & ~ZONE_MASK) | (uint32_t(raw) & ZONE_MASK);
    double r;
    if (secure) {
      double first = random::secure_next(), second = random::secure_next();
      r = (first / 2147483647.0 + second) / (2147483648.0 / 3600.0);
    } else {
      r = double(random::next()) / 2147483647.0 * 3600.0;
    }
    normalize(&d, std::floor(r) / 3600.0 * 24.0 * 3600.0, true);
  }
  base[RESULT] = d;
  return Status::OK;
}

Status date_pick(Cell* base) {
  using enum act::pick::Frame;
  int f = field_index(base[INDEX]);
  if (!f) fire(ErrId::OUT_OF_RANGE, base[INDEX]);
  base[RESULT] = field(base[SERIES], f);
  return Status::OK;
}

may_gc Cell date_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  int f = field_index(selector);
  if (!f) fire(ErrId::INVALID_PATH, step.path ? *step.path : none_cell(), selector);
  if (!set_value) return field(value, f);
  RootedCell v(*set_value);
  Cell d = value;
  set_field(&d, f, *v);
  store_scalar_back(d, step);
  return *v;
}

}  // namespace

}  // namespace vel::date

namespace vel {

void register_type_DATE() {
  using namespace date;
  TypeBuilder(TYPE_DATE)
      .action(ACT_MAKE, date_make)
      .action(ACT_RANDOM, date_random)
      .action(ACT_TO, date_to)
      .form(date_form)
      .mold(date_mold)
      .eval_path(date_eval_path)
      .compare(date_compare)
      .action(ACT_ADD, date_math<MATH_ADD>)
      .action(ACT_SUBTRACT, date_math<MATH_SUBTRACT>)
      .action(ACT_PICK, date_pick)
      .done();
}

}  // namespace vel
