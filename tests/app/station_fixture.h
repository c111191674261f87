// A station with one simulated TQ7704 (serial QA-0042) and two images: the
// demo image it takes and one built for another chip that it refuses.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon::testing {

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image = (home.path() / "TQ7704_SPI.rfw").string();
    std::filesystem::copy_file(BinDir().parent_path() / "demo" / "TQ7704_SPI.rfw", image);
    wrongImage = (home.path() / "wrong.rfw").string();
    ASSERT_EQ(RunProgram("quillon-mkimage", {wrongImage, "--ic", "tq7704", "--chip-code", "24"}, {}, scratch.path())
                  .exitCode,
              0);
    ASSERT_EQ(RunProgram("quillon-sim", {"new", state, "--off-bus-ms", "20", "--serial", "QA-0042"}, {},
                         scratch.path())
                  .exitCode,
              0);
  }

  ProcessResult Quillon(const std::vector<std::string>& args,
                        std::vector<std::pair<std::string, std::string>> env = {},
                        const std::string& settingsText = "") {
    const auto settings = scratch.Write("settings.ini", "[Quillon Config]\r\nWait Time=50\r\n" + settingsText);
    env.insert(env.begin(), {{"QUILLON_HOME", home.path().string()},
                             {"QUILLON_SETTINGS", settings.string()},
                             {"QUILLON_SIM", state}});
    // A run that hangs shows as exit code -1 instead of stopping the suite.
    return RunProgram("quillon", args, env, scratch.path(), 60);
  }

  // The chip's memory as the simulator holds it.
  std::string ChipMemory() {
    const auto file = scratch.path() / "memory.bin";
    EXPECT_EQ(RunProgram("quillon-sim", {"dump", state, file.string()}, {}, scratch.path()).exitCode, 0);
    return ReadText(file);
  }

  TempDir home;
  TempDir scratch;
  std::string state = (scratch.path() / "chip.state").string();
  std::string image;
  std::string wrongImage;
};

}  // namespace quillon::testing
