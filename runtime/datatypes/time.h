// time!: a duration or time of day, a binary64 count of seconds in data
// words 2-3 (as float!, whose math it shares), written h:mm:ss.
//
// The fields of a time t:
//   hour    t / 3600 truncated toward zero (negative for negative times)
//   minute  floor((|t| mod 3600) / 60), always 0-59
//   second  t mod 60 as a float, with the sign of t
// date! keeps its time of day in the same form and uses these routines.
#pragma once
#include <cmath>
#include <cstdint>

#include "cell.h"
#include "datatypes/registry.h"
#include "memory.h"
#include "stack.h"

namespace vel {

inline Cell time_cell(double seconds) {
  Cell c = make_cell(TYPE_TIME);
  c.set_f64(seconds);
  return c;
}

inline double time_hour(double t) { return std::trunc(t / 3600.0); }
inline double time_minute(double t) { return std::floor(std::fmod(std::fabs(t), 3600.0) / 60.0); }
inline double time_second(double t) { return std::fmod(t, 60.0); }

// The field a path element or pick index names: 1 hour, 2 minute, 3 second
// (words compared case-insensitively); 0 for anything else.
int time_field_index(const Cell& element);

// The field as a path read gives it: hour and minute as integer!, second
// as float!. An hour that does not fit 32 bits raises script/type-limit.
Cell time_field(double t, int field);

// t with one field replaced (the path write rules). The value must be an
// integer! (a float! too for seconds), else script/invalid-arg.
double time_set_field(double t, int field, const Cell& value);

// The text of t (h:mm:ss, "-" in front of negative times) appended to out.
// Answers the /part budget left.
may_gc int32_t time_format(double t, NodeId out, int32_t part);

// Path writes into a scalar (time!, date!) build a new value; this stores
// it back where the scalar came from: the path's head word, or through the
// parent value's own path write (an object field tells its on-change*, an
// owned series its owner).
may_gc void store_scalar_back(const Cell& value, const PathStep& step);

}  // namespace vel
