// OS services for the Linux build.
#include <errno.h>
#include <stdlib.h>
#include <time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/os.h"

extern char** environ;

namespace vel::platform {

std::string get_current_dir() {
  std::string buf(256, '\0');
  for (;;) {
    if (getcwd(buf.data(), buf.size())) {
      buf.resize(std::char_traits<char>::length(buf.data()));
      return buf;
    }
    if (errno != ERANGE || buf.size() >= (size_t(1) << 24)) return {};
    buf.resize(buf.size() * 2);
  }
}

bool set_current_dir(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  return chdir(path.c_str()) == 0;
}

void wait(double seconds) { std::this_thread::sleep_for(std::chrono::milliseconds(wait_milliseconds(seconds))); }

std::optional<std::string> get_env(const std::string& name) {
  if (!valid_env_name(name)) return std::nullopt;
  const char* v = getenv(name.c_str());
  if (!v) return std::nullopt;
  return std::string(v);
}

bool set_env(const std::string& name, const std::string& value) {
  if (!valid_env_name(name) || value.find('\0') != std::string::npos) return false;
  return setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool unset_env(const std::string& name) {
  if (!valid_env_name(name)) return false;
  return unsetenv(name.c_str()) == 0;
}

std::vector<std::pair<std::string, std::string>> list_env() {
  std::vector<std::pair<std::string, std::string>> out;
  for (char** e = environ; e && *e; e++) {
    std::string entry(*e);
    size_t eq = entry.empty() ? std::string::npos : entry.find('=', 1);
    if (eq == std::string::npos) continue;
    out.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
  }
  return out;
}

// Linux: the kernel's name and release from uname, the release's first
// three numbers as the version, build 0.
OsInfo os_info() {
  OsInfo info;
  utsname u{};
  if (uname(&u) != 0) {
    info.name = "Linux";
    info.arch = "Unknown";
    return info;
  }
  info.name = std::string(u.sysname) + " " + u.release;
  std::string m = u.machine;
  if (m == "x86_64") info.arch = "x86-64";
  else if (m == "aarch64" || m == "arm64") info.arch = "ARM64";
  else if (m.size() == 4 && m[0] == 'i' && m.substr(2) == "86") info.arch = "x86-32";
  else if (m.rfind("arm", 0) == 0) info.arch = "ARM";
  else if (m == "ia64") info.arch = "IA-64";
  else info.arch = "Unknown";
  int* parts[3] = {&info.major, &info.minor, &info.service_pack};
  const char* p = u.release;
  for (int i = 0; i < 3 && *p >= '0' && *p <= '9'; i++) {
    int v = 0;
    while (*p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
    *parts[i] = v > 255 ? 255 : v;
    if (*p != '.') break;
    p++;
  }
  return info;
}

Clock get_clock() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return Clock{int64_t(ts.tv_sec), uint32_t(ts.tv_nsec / 100)};
}

double get_time(bool precise) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return time_of_day(int64_t(ts.tv_sec), uint32_t(ts.tv_nsec / 100), precise);
}

uint32_t get_date(bool utc) {
  time_t now = time(nullptr);
  tm t{};
  if (utc ? !gmtime_r(&now, &t) : !localtime_r(&now, &t)) return 0;
  uint32_t zone = utc ? 0 : pack_zone(int(t.tm_gmtoff / 60));
  return pack_date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, zone);
}

}  // namespace vel::platform
