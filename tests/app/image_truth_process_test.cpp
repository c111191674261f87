// A PASS means the chip holds the named file: whatever a write passes, a
// verify of the same file passes afterwards; an image the write could not put
// down as it is gets refused with one line before the chip is changed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using testing::ProcessResult;
using testing::ReadText;
using testing::RunIn;

const char* const kShortWaits = "[Quillon Config]\r\nWait Time=50\r\n";

struct TruthCase {
  const char* name;
  std::vector<std::string> chip;     // quillon-sim new options
  const char* oldImage;              // demo image the chip holds at the start
  std::vector<std::string> mkimage;  // quillon-mkimage options of the image to write
  std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> patches;
  const char* refusal;               // nullptr: write and verify pass
};

class ImageTruthProcessTest : public ::testing::Test {
 protected:
  ProcessResult Run(const char* program, std::vector<std::string> args) {
    const auto settings = scratch.Write("settings.ini", kShortWaits);
    return RunIn(home.path(), testing::BinDir() / program, std::move(args),
                 {{"QUILLON_HOME", home.path().string()},
                  {"QUILLON_SETTINGS", settings.string()},
                  {"QUILLON_SIM", state.string()}});
  }
  std::string Dump() {
    const auto file = scratch.path() / "dump.bin";
    EXPECT_EQ(Run("quillon-sim", {"dump", state.string(), file.string()}).exitCode, 0);
    return ReadText(file);
  }
  std::string MakeImage(const TruthCase& c) {
    const auto path = home.path() / "image.rfw";
    std::vector<std::string> args{path.string(), "--serial", "QL-NEW-IMAGE"};
    args.insert(args.end(), c.mkimage.begin(), c.mkimage.end());
    EXPECT_EQ(Run("quillon-mkimage", args).exitCode, 0);
    std::string bytes = ReadText(path);
    for (const auto& [offset, patch] : c.patches) {
      for (std::size_t i = 0; i < patch.size(); ++i) bytes.at(offset + i) = static_cast<char>(patch[i]);
    }
    return home.Write("image.rfw", bytes).string();
  }

  testing::TempDir home;
  testing::TempDir scratch;
  std::filesystem::path state = scratch.path() / "chip.state";
};

TEST_F(ImageTruthProcessTest, PassThenVerifyPassesOrTheImageIsRefusedUntouched) {
  const std::vector<std::string> tq7704{"--ic", "tq7704", "--off-bus-ms", "20"};
  auto chip = [&](const char* memory) {
    std::vector<std::string> options{"--memory", memory};
    options.insert(options.end(), tq7704.begin(), tq7704.end());
    return options;
  };
  const TruthCase cases[] = {
      {"TQ7704 flash image with FF FF at the tag word", chip("spi"), "TQ7704_SPI.rfw", {"--ic", "tq7704"}, {},
       nullptr},
      {"TQ7704 flash image with 12 34 at the tag word", chip("spi"), "TQ7704_SPI.rfw", {"--ic", "tq7704"},
       {{0xEFFE, {0x12, 0x34}}}, "image holds 12 34 at 0xEFFE (the tag word), where the write puts FF FF"},
      {"TQ7702 flash image, whose tag the write puts down",
       {"--memory", "spi", "--ic", "tq7702", "--off-bus-ms", "20"}, "TQ7702_SPI.rfw", {"--ic", "tq7702"}, {},
       nullptr},
      {"8-bit EEPROM image as quillon-mkimage makes it", chip("eeprom8"), "TQ7704_EEPROM8.rfw",
       {"--memory", "eeprom8"}, {}, nullptr},
      {"16-bit EEPROM image as quillon-mkimage makes it", chip("eeprom16"), "TQ7704_EEPROM16.rfw",
       {"--memory", "eeprom16"}, {}, nullptr},
      {"8-bit EEPROM image with its area at 0xF000", chip("eeprom8"), "TQ7704_EEPROM8.rfw",
       {"--memory", "eeprom8", "--config-at", "0xF000"}, {},
       "EEPROM image with its configuration area at 0xF000: an EEPROM image keeps it at offset 0"},
      {"16-bit EEPROM image of 32 KB", chip("eeprom16"), "TQ7704_EEPROM16.rfw",
       {"--memory", "eeprom16", "--size", "0x8000"}, {},
       "is an EEPROM image of 32768 bytes, larger than the IC profile TQ7704 recognises as an EEPROM image (16384 "
       "bytes)"},
  };
  for (const TruthCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> create{"new", state.string()};
    create.insert(create.end(), c.chip.begin(), c.chip.end());
    ASSERT_EQ(Run("quillon-sim", create).exitCode, 0);
    const auto old = testing::BinDir().parent_path() / "demo" / c.oldImage;
    ASSERT_EQ(Run("quillon-sim", {"load", state.string(), old.string()}).exitCode, 0);
    const std::string before = Dump();
    const std::string image = MakeImage(c);

    ProcessResult write = Run("quillon", {"-f", "-write", image});
    if (c.refusal != nullptr) {
      EXPECT_EQ(write.exitCode, 1);
      EXPECT_NE(write.err.find(c.refusal), std::string::npos) << write.err;
      EXPECT_EQ(Dump(), before) << "the chip is as it was";
      continue;
    }
    EXPECT_EQ(write.exitCode, 0) << write.out << write.err;
    ProcessResult verify = Run("quillon", {"-f", "-verify", image});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_EQ(Dump().substr(0, ReadText(image).size()), ReadText(image));
  }
}

}  // namespace
}  // namespace quillon
