// Entry of every test program: a registered child when started with --child, GoogleTest
// otherwise.
#include <gtest/gtest.h>

#include "common/testing/child.h"

int main(int argc, char** argv) {
  int exitCode = 0;
  if (testing_support::DispatchChild(&exitCode)) return exitCode;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
