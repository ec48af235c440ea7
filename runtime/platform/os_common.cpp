// The platform-independent half of the OS services.
#include <cmath>

#include "errors.h"
#include "platform/os.h"

namespace vel::platform {

uint32_t wait_milliseconds(double seconds) {
  if (std::isnan(seconds)) {
    Cell arg = make_cell(TYPE_FLOAT);
    arg.set_f64(seconds);
    fire(ErrId::INVALID_ARG, arg);
  }
  double ms = std::trunc(seconds * 1000.0);
  if (ms < 1.0) return 1;
  if (ms >= double(WAIT_MAX_MS)) return WAIT_MAX_MS;  // checked before the cast: no UB
  return uint32_t(ms);
}

std::string windows_name(int major, int minor, int build, bool server, const std::string& service_pack) {
  struct Row {
    int major, minor;
    const char *workstation, *server;
  };
  // 6.1 server is Server 2008 R2: there never was an "R1".
  static constexpr Row kNames[] = {
      {5, 0, "2000", "2000"},         {5, 1, "XP", "XP"},           {5, 2, "Server 2003", "Server 2003 R2"},
      {6, 0, "Vista", "Server 2008"}, {6, 1, "7", "Server 2008 R2"}, {6, 2, "8", "Server 2012"},
      {6, 3, "8.1", "Server 2012 R2"},
  };
  std::string name;
  if (major >= 10 || major < 5) {
    if (server) name = build >= 20285 ? "Server 2022" : build >= 17134 ? "Server 2019" : "Server 2016";
    else name = build >= 22000 ? "11" : "10";
  } else {
    for (const Row& r : kNames)
      if (r.major == major && r.minor == minor) name = server ? r.server : r.workstation;
    if (name.empty()) name = std::to_string(major) + "." + std::to_string(minor);
  }
  name = "Windows " + name;
  if (!service_pack.empty()) name += " " + service_pack;
  return name;
}

const char* windows_arch(int code) {
  switch (code) {
    case 0: return "x86-32";
    case 5: return "ARM";
    case 6: return "IA-64";
    case 9: return "x86-64";
    case 12: return "ARM64";
    default: return "Unknown";
  }
}

bool valid_env_name(const std::string& name) {
  return !name.empty() && name.find('=') == std::string::npos && name.find('\0') == std::string::npos;
}

double time_of_day(int64_t seconds, uint32_t ticks_100ns, bool precise) {
  int64_t s = seconds % 86400;
  if (s < 0) s += 86400;
  double t = double(s);
  if (precise) t += double(ticks_100ns % 10000000) / 1e7;
  return t;
}

// The sign comes from the offset itself, so that zones between -0:59 and
// -0:01 stay behind UTC, and the quarters from its magnitude, so that -x:15
// and -x:45 keep their own quarter.
uint32_t pack_zone(int offset_minutes) {
  int64_t off = offset_minutes;
  uint64_t mag = uint64_t(off < 0 ? -off : off);
  uint64_t hours = mag / 60, quarters = (mag % 60) / 15;
  if (hours > 15) {  // beyond the field: keep the largest zone it can hold
    hours = 15;
    quarters = 3;
  }
  uint32_t sign = off < 0 ? 16 : 0;
  return ((uint32_t(hours) | sign) << 2) | uint32_t(quarters);
}

uint32_t pack_date(int year, int month, int day, uint32_t zone) {
  return (uint32_t(year) << 17) | ((uint32_t(month) & 15) << 12) | ((uint32_t(day) & 31) << 7) | (zone & 0x7F);
}

}  // namespace vel::platform
