// Operating-system services of the runtime core: the current directory,
// sleeping, environment variables, and the date and time. Texts cross this
// interface as UTF-8 on both builds; the Windows build converts to UTF-16.
// The pure conversions (wait clamping, zone packing, time of day) are here
// too, so that they are tested once for both builds.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vel::platform {

// --- current directory --------------------------------------------------------
// The current directory, or an empty string when the system cannot tell
// (for example when it was deleted).
std::string get_current_dir();
[[nodiscard]] bool set_current_dir(const std::string& path);

// --- sleeping ---------------------------------------------------------------
// The longest wait: about 24.8 days. Longer requests (and +inf) sleep this long.
constexpr uint32_t WAIT_MAX_MS = 0x7FFFFFFF;

// Paths of the operating system: drive letters and backslashes, or POSIX.
#ifdef _WIN32
constexpr bool kDrivePaths = true;
#else
constexpr bool kDrivePaths = false;
#endif
// Milliseconds for a wait of `seconds`: truncated, at least 1, at most
// WAIT_MAX_MS. NaN raises script/invalid-arg.
uint32_t wait_milliseconds(double seconds);
void wait(double seconds);

// --- environment ----------------------------------------------------------
// nullopt when the variable is unset or the name cannot be a variable name.
std::optional<std::string> get_env(const std::string& name);
// False for a name that is empty, contains '=' or NUL, or a value with NUL.
[[nodiscard]] bool set_env(const std::string& name, const std::string& value);
[[nodiscard]] bool unset_env(const std::string& name);
// Every variable as (name, value), in the system's order.
std::vector<std::pair<std::string, std::string>> list_env();
bool valid_env_name(const std::string& name);

// --- the operating system ---------------------------------------------------
struct OsInfo {
  std::string name;  // "Windows 10", "Linux 6.1.0-13-amd64"
  std::string arch;  // x86-32 ARM IA-64 x86-64 ARM64 Unknown
  int major = 0, minor = 0, service_pack = 0;
  int build = 0;
};
OsInfo os_info();
// The Windows product name for a version: "Windows " and the name of the
// version table, or "major.minor" for versions the table lacks, then the
// service-pack text when there is one.
std::string windows_name(int major, int minor, int build, bool server, const std::string& service_pack);
// The architecture's name for a native processor architecture code.
const char* windows_arch(int code);

// --- date and time ------------------------------------------------------------
// The current UTC time, read once: whole seconds since 1970-01-01 and the
// 100 ns ticks within the second.
struct Clock {
  int64_t seconds;
  uint32_t ticks_100ns;
};
Clock get_clock();
// The current UTC time of day in seconds; `precise` adds the fraction of the
// second at 100 ns resolution.
double get_time(bool precise);
// Today as a packed date (year << 17 | month << 12 | day << 7 | zone, no
// time flag): UTC with zone 0, or local with the system's zone.
uint32_t get_date(bool utc);

// Seconds of the day for a count of seconds since a midnight-aligned epoch
// (Unix or Windows file time) plus 100 ns ticks within the second.
double time_of_day(int64_t seconds, uint32_t ticks_100ns, bool precise);
// The 7-bit zone of a packed date for an offset east of UTC in minutes:
// bit 6 behind UTC, bits 2-5 hours (at most 15), bits 0-1 quarter hours.
uint32_t pack_zone(int offset_minutes);
uint32_t pack_date(int year, int month, int day, uint32_t zone);

}  // namespace vel::platform
