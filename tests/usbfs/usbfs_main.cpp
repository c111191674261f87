// The tests' main: umockdev's preload must be in the process from its start
// (libc calls on /sys and /dev go through it), so a run without it starts the
// binary again with it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "usbfs/emulated_usbfs.h"

int main(int argc, char** argv) {
  if (!quillon::testing::PreloadActive()) {
    std::string preload = "libumockdev-preload.so.0";
    if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0') preload += std::string(":") + old;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    ::execv("/proc/self/exe", argv);
    std::perror("usbfs tests: cannot restart with umockdev's preload");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
