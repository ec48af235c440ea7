// OS services for the Linux build.
#include <errno.h>
#include <stdlib.h>
#include <time.h>
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
    size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    out.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
  }
  return out;
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
