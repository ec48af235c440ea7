#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>

#include "error_of.h"
#include "errors.h"
#include "platform/os.h"

namespace vel::platform {
namespace {

TEST(OsZone, PacksOffsets) {
  struct Case {
    int minutes;
    uint32_t zone;
  };
  const Case cases[] = {
      {0, 0},
      {5 * 60 + 30, (5 << 2) | 2},
      {-(3 * 60 + 30), ((3 | 16) << 2) | 2},
      {-(2 * 60 + 15), ((2 | 16) << 2) | 1},
      {-(9 * 60 + 45), ((9 | 16) << 2) | 3},
      {5 * 60 + 45, (5 << 2) | 3},
      {-8 * 60, (8 | 16) << 2},
      {14 * 60, 14 << 2},
      {12 * 60 + 45, (12 << 2) | 3},
      {-30, (16 << 2) | 2},           // behind UTC by less than an hour keeps its sign
      {-(4 * 60 + 56), ((4 | 16) << 2) | 3},  // minutes that are not quarters round down
      {17 * 60, (15 << 2) | 3},       // beyond the field: the largest zone
      {-17 * 60, ((15 | 16) << 2) | 3},
      {std::numeric_limits<int>::min(), ((15 | 16) << 2) | 3},
  };
  for (const Case& c : cases) EXPECT_EQ(pack_zone(c.minutes), c.zone) << c.minutes;
}

TEST(OsZone, PacksDates) {
  uint32_t d = pack_date(2024, 2, 29, pack_zone(-210));
  EXPECT_EQ(int32_t(d) >> 17, 2024);
  EXPECT_EQ((d >> 12) & 15, 2u);
  EXPECT_EQ((d >> 16) & 1, 0u);  // no time flag
  EXPECT_EQ((d >> 7) & 31, 29u);
  EXPECT_EQ(d & 0x7F, uint32_t(((3 | 16) << 2) | 2));
  EXPECT_EQ(int32_t(pack_date(-44, 3, 15, 0)) >> 17, -44);  // negative years survive
}

TEST(OsWait, MillisecondsAreTruncatedAndClamped) {
  struct Case {
    double seconds;
    uint32_t ms;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {0.0004, 1}, {2.5, 2500}, {0.0, 1},          {-3.0, 1},           {-inf, 1},
      {0.0019, 1}, {1.0, 1000}, {1e300, WAIT_MAX_MS}, {inf, WAIT_MAX_MS}, {2147483.647, 2147483647},
      {2147483.648, WAIT_MAX_MS},
  };
  for (const Case& c : cases) EXPECT_EQ(wait_milliseconds(c.seconds), c.ms) << c.seconds;
  EXPECT_EQ(error_of([] { (void)wait_milliseconds(std::nan("")); }), ErrId::INVALID_ARG);  // NaN refused
}

TEST(OsTime, TimeOfDay) {
  EXPECT_EQ(time_of_day(5 * 86400 + 3661, 5000000, false), 3661.0);
  EXPECT_EQ(time_of_day(5 * 86400 + 3661, 5000000, true), 3661.5);
  EXPECT_EQ(time_of_day(86399, 9999999, true), 86399.9999999);
  EXPECT_EQ(time_of_day(-1, 0, false), 86399.0);  // before the epoch
}

// The clock agrees with the C++ clock (allowing a second either side, and
// a day change between the two readings).
TEST(OsTime, NowMatchesSystemClock) {
  using namespace std::chrono;
  auto now = system_clock::now();
  double reference = double(duration_cast<milliseconds>(now.time_since_epoch()).count() % 86400000) / 1000.0;
  double t = get_time(true);
  double diff = std::fabs(t - reference);
  EXPECT_TRUE(diff < 2.0 || diff > 86398.0) << t << " vs " << reference;
  double whole = get_time(false);
  EXPECT_EQ(whole, std::floor(whole));
  EXPECT_GE(whole, 0.0);
  EXPECT_LT(whole, 86400.0);

  year_month_day before{floor<days>(system_clock::now())};
  uint32_t d = get_date(true);
  year_month_day after{floor<days>(system_clock::now())};
  year_month_day got{year{int32_t(d) >> 17}, month{(d >> 12) & 15}, day{(d >> 7) & 31}};
  EXPECT_TRUE(got == before || got == after);
  EXPECT_EQ(d & 0x7F, 0u);

  // The local date is within a day of the UTC date.
  uint32_t local = get_date(false);
  year_month_day lgot{year{int32_t(local) >> 17}, month{(local >> 12) & 15}, day{(local >> 7) & 31}};
  ASSERT_TRUE(lgot.ok());
  auto gap = sys_days(lgot) - sys_days(got);
  EXPECT_LE(std::abs(gap.count()), 1);
}

TEST(OsEnv, SetGetRoundTrip) {
  const std::string name = "VEL_OS_TEST_VAR";
  const std::string values[] = {"plain", "Grüße ✓ 𝄞 日本", std::string(5000, 'v')};
  for (const std::string& v : values) {
    ASSERT_TRUE(set_env(name, v));
    auto got = get_env(name);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, v);
  }
  bool listed = false;
  for (auto& [n, v] : list_env())
    if (n == name) listed = (v == values[2]);
  EXPECT_TRUE(listed);

  ASSERT_TRUE(unset_env(name));
  EXPECT_FALSE(get_env(name).has_value());
  EXPECT_FALSE(get_env("VEL_OS_TEST_NEVER_SET").has_value());
}

TEST(OsEnv, NonAsciiNameAndBadNames) {
  const std::string name = "VEL_ÉTÉ";
  ASSERT_TRUE(set_env(name, "chaud"));
  EXPECT_EQ(get_env(name).value_or(""), "chaud");
  ASSERT_TRUE(unset_env(name));

  for (const std::string& bad : {std::string(), std::string("A=B"), std::string("A\0B", 3)}) {
    EXPECT_FALSE(set_env(bad, "x"));
    EXPECT_FALSE(get_env(bad).has_value());
    EXPECT_FALSE(unset_env(bad));
  }
  EXPECT_FALSE(set_env("VEL_OS_TEST_VAR", std::string("a\0b", 3)));
}

std::string utf8_of(const std::filesystem::path& p) {
  std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

TEST(OsDir, CurrentDirectoryRoundTrip) {
  namespace fs = std::filesystem;
  const std::string original = get_current_dir();
  ASSERT_FALSE(original.empty());
  fs::path dir = fs::temp_directory_path() / fs::path(u8"vel_os_test_déjà");
  fs::create_directories(dir);

  ASSERT_TRUE(set_current_dir(utf8_of(dir)));
  std::string now = get_current_dir();
  const std::string leaf = "vel_os_test_déjà";
  ASSERT_GE(now.size(), leaf.size());
  EXPECT_EQ(now.substr(now.size() - leaf.size()), leaf);

  EXPECT_FALSE(set_current_dir(utf8_of(dir / "no-such-dir")));
  EXPECT_FALSE(set_current_dir(""));
  EXPECT_EQ(get_current_dir(), now);  // a failed change leaves it alone

  ASSERT_TRUE(set_current_dir(original));
  EXPECT_EQ(get_current_dir(), original);
  fs::remove(dir);

#ifdef _WIN32
  ASSERT_TRUE(set_current_dir("C:\\"));
  EXPECT_EQ(get_current_dir(), "C:\\");
  ASSERT_TRUE(set_current_dir(original));
#endif
}

// Every row of the version table, the build thresholds of the newer
// systems, and versions the table lacks.
TEST(OsInfo, WindowsNames) {
  struct Case {
    int major, minor, build;
    bool server;
    const char* sp;
    const char* name;
  };
  const Case cases[] = {
      {5, 0, 2195, false, "", "Windows 2000"},
      {5, 1, 2600, false, "Service Pack 3", "Windows XP Service Pack 3"},
      {5, 2, 3790, false, "", "Windows Server 2003"},
      {5, 2, 3790, true, "", "Windows Server 2003 R2"},
      {6, 0, 6002, false, "", "Windows Vista"},
      {6, 0, 6002, true, "", "Windows Server 2008"},
      {6, 1, 7601, false, "Service Pack 1", "Windows 7 Service Pack 1"},
      {6, 1, 7601, true, "", "Windows Server 2008 R2"},
      {6, 2, 9200, false, "", "Windows 8"},
      {6, 2, 9200, true, "", "Windows Server 2012"},
      {6, 3, 9600, false, "", "Windows 8.1"},
      {6, 3, 9600, true, "", "Windows Server 2012 R2"},
      {10, 0, 19045, false, "", "Windows 10"},
      {10, 0, 22000, false, "", "Windows 11"},
      {10, 0, 14393, true, "", "Windows Server 2016"},
      {10, 0, 17134, true, "", "Windows Server 2019"},
      {10, 0, 20348, true, "", "Windows Server 2022"},
      {5, 3, 1, false, "", "Windows 5.3"},
      {6, 4, 9841, true, "", "Windows 6.4"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(windows_name(c.major, c.minor, c.build, c.server, c.sp), c.name) << c.major << "." << c.minor;
  EXPECT_STREQ(windows_arch(9), "x86-64");
  EXPECT_STREQ(windows_arch(12), "ARM64");
  EXPECT_STREQ(windows_arch(0), "x86-32");
  EXPECT_STREQ(windows_arch(7), "Unknown");
}

}  // namespace
}  // namespace vel::platform
