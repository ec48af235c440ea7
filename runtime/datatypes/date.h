// date!: a calendar date with an optional time of day and zone, in one
// cell:
//
//   w1      the packed date, from the high bits down:
//           bits 17-31 year, signed (read with an arithmetic shift)
//           bit  16    time flag: the date has a time of day and a zone
//           bits 12-15 month 1-12
//           bits 7-11  day 1-31
//           bit  6     zone sign, set behind UTC
//           bits 2-5   zone hours 0-15
//           bits 0-1   zone quarter hours
//   w2-w3   the time as a binary64 of seconds: UTC, counted from midnight of
//           the local date in w1, so that time + zone lies in [0, 86400)
//
// A date without the time flag has time 0 and its zone bits are ignored.
// The calendar is the proleptic Gregorian one, computed through day
// numbers (day 0 is 1 March of year 0).
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"
#include "stack.h"

namespace vel::date {

constexpr uint32_t TIME_FLAG = 1u << 16;
constexpr uint32_t ZONE_MASK = 0x7F;
constexpr uint32_t ZONE_SIGN = 0x40;
// The years the packed field holds.
constexpr int32_t YEAR_MIN = -16384;
constexpr int32_t YEAR_MAX = 16383;

inline int32_t year_of(uint32_t d) { return int32_t(d) >> 17; }
inline int32_t month_of(uint32_t d) { return int32_t((d >> 12) & 15); }
inline int32_t day_of(uint32_t d) { return int32_t((d >> 7) & 31); }
inline bool has_time(uint32_t d) { return d & TIME_FLAG; }
inline uint32_t zone_of(uint32_t d) { return d & ZONE_MASK; }
// The zone offset in seconds of the 7 zone bits.
inline int32_t zone_seconds(uint32_t zone) {
  int32_t s = int32_t((zone >> 2) & 15) * 3600 + int32_t(zone & 3) * 900;
  return zone & ZONE_SIGN ? -s : s;
}
// The zone bits for hours (-15..15, the sign giving the direction) and
// minutes (taken in quarters).
uint32_t zone_bits(int32_t hours, int32_t minutes);

inline Cell cell(uint32_t packed, double time) {
  Cell c = make_cell(TYPE_DATE, packed);
  c.set_f64(time);
  return c;
}

// --- calendar -----------------------------------------------------------------------

bool leap_year_q(int64_t year);
int32_t month_days(int64_t year, int32_t month);
// Day number of a date; a day or month outside its range gives another day
// (day 0 is the last day of the month before).
int64_t to_days(int64_t year, int64_t month, int64_t day);
inline int64_t to_days(uint32_t d) { return to_days(year_of(d), month_of(d), day_of(d)); }
// True when the day number's year fits the packed field.
bool days_in_range(int64_t days);
// The packed date of a day number with the zone bits and time flag given;
// a year beyond the field raises math/overflow.
uint32_t from_days(int64_t days, uint32_t zone_and_flag);
// 0 Monday .. 6 Sunday.
int32_t weekday_index(int64_t days);
int32_t yearday(uint32_t d);
int32_t week(uint32_t d);     // weeks from Sunday, week 1 holds 1 January
int32_t isoweek(uint32_t d);

// Moves whole days between the day number and the time so that the time in
// the zone lies within its day; answers the new day number.
int64_t carry_time(int64_t days, double* time, uint32_t zone);
// Carries the cell's time into its date (as_local: the time is first taken
// as local time and turned into UTC).
void normalize(Cell* d, double time, bool as_local);

// Constructors. make_at takes the seconds as local time (converted to UTC
// with the zone, no day carry); without `with_time` the time is 0.
void make_at(Cell* c, int32_t year, int32_t month, int32_t day, double seconds, int32_t zone_hours,
             int32_t zone_minutes, bool with_time);
// Zone 0, with the time flag (file times).
void make_from_parts(Cell* c, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                     int32_t second, int32_t nanoseconds);

// Lexer setters: the Monday of ISO week n of the date's year; weekday n
// (1 Monday .. 7 Sunday) of the date's week; day n of the year.
void set_week(Cell* d, int32_t n);
void set_weekday(Cell* d, int32_t n);
void set_yearday(Cell* d, int32_t n);
// Month m, years moved by floor((m - 1) / 12); the day kept.
void set_month(Cell* d, int64_t m);

// The accessors: 1 date, 2 year, 3 month, 4 day, 5 zone, 6 time, 7 hour,
// 8 minute, 9 second, 10 weekday, 11 yearday (julian), 12 timezone,
// 13 week, 14 isoweek. field_index answers 0 for other elements.
int field_index(const Cell& element);
Cell field(const Cell& d, int field);

// Seconds since 1970-01-01 (to integer!).
int64_t to_epoch(const Cell& d);
// The time! between two dates.
Cell difference(const Cell& a, const Cell& b);
// add (0) or subtract (1) on a frame whose value1 is a date.
Status do_math(Cell* base, int op);

}  // namespace vel::date
