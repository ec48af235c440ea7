#include <gtest/gtest.h>

#include "runtime_init.h"

// The unit tests run against an initialised runtime, as the executable does.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  vel::runtime_init_for_tests();
  return RUN_ALL_TESTS();
}
