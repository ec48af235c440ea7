#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "errors.h"
#include "fatal.h"
#include "platform/platform.h"
#include "runtime_init.h"
#include "startup.h"

using namespace vel;

namespace {

// Exit statuses as the platform reports them: -2 is 254 on Linux and
// 0xFFFFFFFE on Windows.
testing::ExitedWithCode exited(int status) {
#ifdef _WIN32
  return testing::ExitedWithCode(status);
#else
  return testing::ExitedWithCode(status & 0xFF);
#endif
}

}  // namespace

TEST(StartupDeathTest, FatalReportsCarryCodeTextAndAddress) {
  EXPECT_EXIT(fatal_error(6, 0x1234), exited(6),
              "Vel App Error: \\*\\*\\* Runtime Error 6: float denormal operan\n\\*\\*\\* at: 00001234h");
  EXPECT_EXIT(fatal_error(50, 0), exited(50), "Runtime Error 50: unknown error code!");
  EXPECT_EXIT(fatal_error(94, 0), exited(94), "out of memory");
}

TEST(StartupDeathTest, CodeZeroEndsQuietly) {
  EXPECT_EXIT(fatal_error(0, 0), exited(0), "^$");
}

TEST(Startup, ExceptionCodesMapToRuntimeErrors) {
  struct Case {
    uint32_t exception;
    int number;
  } cases[] = {{0xC0000005, 1}, {0xC000008D, 6}, {0xC0000094, 13}, {0xC00000FD, 19},
               {0x80000001, 21}, {0xC0000008, 22}, {0xC000013A, 0}, {0x12345678, 99}, {0, 99}};
  for (const Case& c : cases) EXPECT_EQ(exception_code_to_error(c.exception), c.number) << std::hex << c.exception;
  EXPECT_STREQ(fatal_error_text(99), "unknown error");
  EXPECT_STREQ(fatal_error_text(101), "no value matched in SWITCH");
  EXPECT_STREQ(fatal_error_text(35), "unknown error code!");
}

TEST(StartupDeathTest, OutermostFrame) {
  EXPECT_EXIT(run_outermost([] { throw LowLevelThrow{0x7FFFFFFE}; }), exited(95), "no CATCH for THROW");
  EXPECT_EXIT(run_outermost([] { throw LowLevelThrow{QUIET_EXIT_MARKER}; }), exited(0), "^$");
  EXPECT_EXIT(run_outermost([] { fire(ErrId::INVALID_ARG); }), exited(EXIT_UNCAUGHT_ERROR),
              "Vel NoName App: \\*\\*\\* Script Error: invalid argument");
  EXPECT_EXIT(
      {
        run_outermost([] {});
        std::exit(7);
      },
      exited(7), "");
}

TEST(StartupDeathTest, StartupFaultsExitNonZero) {
  EXPECT_EXIT(startup_fault("Error: Not a Velbin file!"), exited(1), "");
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
TEST(StartupDeathTest, SignalsReportLikeExceptions) {
  EXPECT_EXIT(
      {
        platform::install_fault_handlers();
        raise(SIGSEGV);
      },
      exited(1), "access violation");
  EXPECT_EXIT(
      {
        platform::install_fault_handlers();
        raise(SIGINT);
      },
      exited(0), "^$");
}
#endif

TEST(Startup, InitRunsInTheFixedOrder) {
  std::vector<std::string> order;
#define VEL_X(cname, name) order.emplace_back(name);
  VEL_INIT_STEPS(VEL_X)
#undef VEL_X
  const std::vector<std::string>& log = init_log();
  ASSERT_FALSE(log.empty());
  // What ran is the fixed order with the missing modules left out.
  size_t at = 0;
  for (const std::string& step : log) {
    auto it = std::find(order.begin() + long(at), order.end(), step);
    ASSERT_NE(it, order.end()) << step << " ran out of order";
    at = size_t(it - order.begin()) + 1;
  }
  for (const char* step : {"platform", "memory manager", "first pools", "collector"})
    EXPECT_NE(std::find(log.begin(), log.end(), step), log.end()) << step;
  EXPECT_TRUE(init_ran(InitStep::MEMORY));
}
