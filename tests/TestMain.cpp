// The test executables' main: GoogleTest's, with the shared runtime stopped as
// it returns, as the programs do, so no job runs while static objects go.
#include <gtest/gtest.h>

#include "Platform/Dispatch/RuntimeExit.h"

int main(int argc, char** argv) {
  platform::RuntimeStopAtReturn stopRuntime;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
