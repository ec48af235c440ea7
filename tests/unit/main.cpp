#include <gtest/gtest.h>

#include <cstdlib>

#include "runtime_init.h"

// The unit tests run against an initialised runtime, as the executable does,
// and in test mode, so that fatal reports go to standard error instead of
// a message box.
int main(int argc, char** argv) {
#ifdef _WIN32
  _putenv_s("VEL_TEST_MODE", "1");
#else
  setenv("VEL_TEST_MODE", "1", 1);
#endif
  testing::InitGoogleTest(&argc, argv);
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  vel::runtime_init_for_tests();
  return RUN_ALL_TESTS();
}
