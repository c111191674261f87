// quillon-mkimage as a command, and the images it makes.
#include <gtest/gtest.h>

#include "data/config_image.h"
#include "data/config_reader.h"
#include "data/image_version.h"
#include "image_maker.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(MkimageCommandTest, WritesTheImageOrFailsWithOneLine) {
  testing::TempDir dir;
  const std::string out = (dir.path() / "x.rfw").string();
  struct Case {
    std::vector<std::string> args;
    int exitCode;
  };
  const Case cases[] = {
      {{out, "--memory", "eeprom8", "--ic", "TQ7702", "--version", "1,2,3,4,5,6,7,8", "--serial", "S1"}, 0},
      {{out, "--size", "0x8000", "--config-at", "0", "--small-cache", "100", "--memory", "otp"}, 0},
      {{out, "--memory", "flash"}, 1},
      {{out, "--size", "12q"}, 1},
      {{out, "--version", "1,2,3"}, 1},
      {{out, "--serial", std::string(49, 'x')}, 1},
      {{out, "--config-at", "0x10000"}, 1},
      {{out, "--ic", "tq7702", "--small-cache", "600"}, 1},  // does not fit 512 bytes
      {{"--vid", "1"}, 1},
      {{out, "--bogus"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::filesystem::remove(out);
    auto result = testing::RunProgram("quillon-mkimage", c.args, {}, dir.path());
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_EQ(std::filesystem::exists(out), c.exitCode == 0);
    if (c.exitCode != 0) {
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
      EXPECT_EQ(result.err.rfind("quillon-mkimage: ", 0), 0u) << result.err;
    }
  }
  auto help = testing::RunProgram("quillon-mkimage", {"--help"}, {}, dir.path());
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--small-cache N"), std::string::npos);
}

TEST(MkimageTest, DefaultsAndOptionsLandWhereTheToolReadsThem) {
  struct Case {
    const char* name;
    mkimage::ImageSpec spec;
    std::size_t areaAt;
    std::uint8_t typeByte;
    std::uint8_t chipCode;
    std::array<std::uint8_t, 2> tag;
  };
  mkimage::ImageSpec tq7702;
  tq7702.ic = "tq7702";
  mkimage::ImageSpec tq7724;
  tq7724.ic = "tq7724";
  tq7724.chipCode = 9;
  mkimage::ImageSpec eeprom;
  eeprom.memory = mkimage::Memory::Eeprom16;
  eeprom.configAt = 0;
  eeprom.size = 0x8000;
  mkimage::ImageSpec eepromByDefault;  // the chip reads an EEPROM's area at 0
  eepromByDefault.memory = mkimage::Memory::Eeprom8;
  eepromByDefault.size = 0x2000;
  const Case cases[] = {
      {"defaults", {}, 0xF000, 0x55, 21, {0xFF, 0xFF}},
      {"TQ7702 flash carries its tag", tq7702, 0xAE00, 0x55, 17, {0x55, 0xAA}},
      {"TQ7724 with chip code 9", tq7724, 0xF000, 0x55, 9, {0xFF, 0xFF}},
      {"EEPROM16 area at 0, no tag", eeprom, 0, 0x12, 21, {0xFF, 0xFF}},
      {"EEPROM8 area at 0 by default", eepromByDefault, 0, 0x11, 21, {0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    auto image = mkimage::MakeImage(c.spec, &error);
    ASSERT_TRUE(image) << error;
    auto header = UnpackConfigHeader(std::span(*image).subspan(c.areaAt));
    ASSERT_TRUE(header);
    EXPECT_TRUE(header->HasSignature());
    EXPECT_EQ(header->typeByte, c.typeByte);
    EXPECT_EQ(header->chipCode, c.chipCode);
    if (c.spec.size >= 0x10000) {
      EXPECT_EQ((*image)[0xEFFE], c.tag[0]);
      EXPECT_EQ((*image)[0xEFFF], c.tag[1]);
    }
    std::string version;
    ASSERT_TRUE(ImageVersion(*image, &version, nullptr));
    EXPECT_EQ(version, "4.119.0000-0115.0000");
    // The generated code never looks like an area header where there is none.
    for (std::size_t i = 0; i + 1 < image->size(); ++i) {
      if ((*image)[i + 1] == kConfigSignature && i != c.areaAt) {
        ADD_FAILURE() << "0xA5 at " << i + 1;
        break;
      }
    }
    CDescGlobal reader;
    reader.SetCopy(std::span(*image).subspan(c.areaAt));
    std::vector<int> types;
    EXPECT_EQ(WalkConfigArea(reader,
                             [&](CDescriptor& record) {
                               EXPECT_STRNE(record.ClassName(), "CDescDummy") << int(record.Type());
                               types.push_back(record.Type());
                               return true;
                             }),
              WalkResult::Done);
    EXPECT_GE(types.size(), 5u);  // strings, ids, code info (+ audio records for known chips)
    EXPECT_TRUE(reader.HasVersionRecord());
    EXPECT_TRUE(reader.EepromInfo().has_value());
  }
}

// A raw binary becomes the program code: from the start of the code region,
// 0xFF after it, its own version record kept unless one is given, and refused
// when it would run into the tag or the configuration area.
TEST(MkimageTest, CodeFromARawBinary) {
  testing::TempDir dir;
  Bytes code(0x2000);
  for (std::size_t i = 0; i < code.size(); ++i) code[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const std::uint8_t record[8] = {0x52, 0x07, 0x00, 0x01, 0x02, 0x03, 0x00, 0x09};
  std::copy(std::begin(record), std::end(record), code.begin() + 0x100C);
  const auto codeFile = dir.Write("code.bin", std::string(code.begin(), code.end()));

  mkimage::ImageSpec spec;
  spec.ic = "tq7702";
  spec.codeFile = codeFile.string();
  std::string error;
  auto image = mkimage::MakeImage(spec, &error);
  ASSERT_TRUE(image) << error;
  EXPECT_TRUE(std::equal(code.begin(), code.end(), image->begin()));
  EXPECT_TRUE(std::all_of(image->begin() + 0x2000, image->begin() + 0xAE00, [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ((*image)[0xAE01], kConfigSignature);
  EXPECT_EQ((*image)[0xEFFE], 0x55) << "the TQ7702 tag is still written";
  std::string version;
  ASSERT_TRUE(ImageVersion(*image, &version, nullptr));
  EXPECT_EQ(version, "5.207.0001-0203.0009");

  spec.version = {0x41, 0x19, 0x00, 0x00, 0x01, 0x15, 0x00, 0x00};
  spec.versionGiven = true;
  image = mkimage::MakeImage(spec, &error);
  ASSERT_TRUE(image) << error;
  ImageVersion(*image, &version, nullptr);
  EXPECT_EQ(version, "4.119.0000-0115.0000");

  const struct {
    const char* name;
    std::size_t size;
    const char* ic;
    const char* error;
  } refusals[] = {
      {"into the area", 0xAE01, "tq7702", "holds 44545 bytes; the code region (0x0 to 0xAE00) holds 44544"},
      {"into the tag", 0xEFFF, "tq7704", "the code region (0x0 to 0xEFFE) holds 61438"},
      {"empty", 0, "tq7704", "cannot read the code file"},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.name);
    const auto file = dir.Write("big.bin", std::string(r.size, '\x11'));
    mkimage::ImageSpec big;
    big.ic = r.ic;
    big.codeFile = file.string();
    EXPECT_FALSE(mkimage::MakeImage(big, &error));
    EXPECT_NE(error.find(r.error), std::string::npos) << error;
  }
  spec.blank = true;
  EXPECT_FALSE(mkimage::MakeImage(spec, &error));
}

}  // namespace
}  // namespace quillon
