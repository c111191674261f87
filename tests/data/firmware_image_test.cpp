// Image loading, the version record, matching images to devices and profiles,
// and the checks before writing.
#include <gtest/gtest.h>

#include <fstream>

#include "data/config_record.h"
#include "data/current_types.h"
#include "data/ic_type_ini.h"
#include "data/image_checks.h"
#include "data/image_match.h"
#include "data/image_version.h"
#include "data/settings.h"
#include "image_fixture.h"
#include "platform/resources.h"
#include "support/debug_lines.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using testing::Bytes;
using testing::MakeImage;

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

TEST(ImageVersionTest, TextFieldsAndWhereTheRecordLies) {
  const Bytes record = {0x41, 0x19, 0x00, 0x00, 0x01, 0x15, 0x00, 0x00};
  struct Case {
    std::size_t size;
    std::size_t at;
  };
  for (Case c : {Case{0x10000, 0x100C}, Case{0xFFFF, 0x11B}, Case{0x20000, 0x100C}, Case{0x123, 0x11B}}) {
    SCOPED_TRACE(c.size);
    Bytes image(c.size, 0xEE);
    std::copy(record.begin(), record.end(), image.begin() + static_cast<std::ptrdiff_t>(c.at));
    std::string text;
    VersionFields fields{};
    ASSERT_TRUE(ImageVersion(image, &text, &fields));
    EXPECT_EQ(text, "4.119.0000-0115.0000");
    EXPECT_EQ(fields, (VersionFields{4, 1, 0x19, 0, 0x0115, 0}));
  }
  std::string text = "old";
  EXPECT_FALSE(ImageVersion(Bytes(0x122, 0), &text, nullptr));  // record would end past the data
  EXPECT_EQ(text, "");
}

TEST(ImageVersionTest, VersionEqualComparesAllBytesAndTracesEachPair) {
  const std::array<std::uint8_t, 8> a = {0x41, 0x19, 0, 0, 1, 0x15, 0, 0};
  auto b = a;
  testing::DebugLines lines;
  EXPECT_TRUE(VersionEqual(VersionRecord::FromBytes(a), VersionRecord::FromBytes(b)));
  const auto texts = lines.texts();
  ASSERT_EQ(texts.size(), 10u);
  EXPECT_NE(texts[0].find("START --->>>"), std::string::npos);
  EXPECT_NE(texts[1].find("v1.CodeType 41 v2.CodeType 41"), std::string::npos);
  EXPECT_NE(texts[6].find("v1.LibVer[1] 15 v2.LibVer[1] 15"), std::string::npos);
  EXPECT_NE(texts[9].find("EXIT <<<---"), std::string::npos);
  for (std::size_t i = 0; i < b.size(); ++i) {
    auto changed = a;
    changed[i] ^= 0x01;
    EXPECT_FALSE(VersionEqual(VersionRecord::FromBytes(a), VersionRecord::FromBytes(changed))) << i;
  }
}

TEST(DeviceFirmwareNameTest, FromIdentity) {
  EXPECT_EQ(DeviceFirmwareName("VID_3A7C&PID_0011&REV_0001"), "FFU_3A7C_0011");
  EXPECT_EQ(DeviceFirmwareName("VID_1BCF&PID_2C81&REV_0100"), "FFU_1BCF_2C81");
}

TEST(ChipCodeTest, EightAndNineCountAsEqualWhereAllowed) {
  EXPECT_TRUE(ChipCodesMatch(8, 9, true));
  EXPECT_TRUE(ChipCodesMatch(9, 8, true));
  EXPECT_FALSE(ChipCodesMatch(8, 9, false));
  EXPECT_FALSE(ChipCodesMatch(9, 10, true));
  EXPECT_TRUE(ChipCodesMatch(21, 21, false));
}

// A program directory with the built-in profiles selected.
class ImageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStoredIniType(0);
    SetCurrentProfile(OpenProfileDocument());
  }
  void TearDown() override { SetCurrentProfile(nullptr); }

  testing::TempDir dir_;
  testing::ScopedEnv home_{"QUILLON_HOME", dir_.path().string()};
  testing::ProcessStateGuard state_;
  testing::RecordingPrompt prompt_;
  CFirmwareImage image_;
};

TEST_F(ImageFileTest, LoadImageFileResolvesNamesAndKeepsACopy) {
  const Bytes data = MakeImage({});
  WriteFile(dir_.path() / "fw.rfw", data);
  image_.mainFile = "fw.rfw";
  ASSERT_TRUE(LoadImageFile(image_));
  EXPECT_EQ(image_.mainFile, (dir_.path() / "fw.rfw").string());
  EXPECT_EQ(image_.fileData, data);
  EXPECT_EQ(image_.fileCopy, data);

  // Names that fail: the held data stays for a missing name or a directory.
  std::filesystem::create_directory(dir_.path() / "dir.rfw");
  for (const char* name : {"", "missing.rfw", "dir.rfw"}) {
    image_.mainFile = name;
    EXPECT_FALSE(LoadImageFile(image_)) << name;
    EXPECT_EQ(image_.fileData, data) << name;
  }
  // An empty file releases the held data.
  WriteFile(dir_.path() / "empty.rfw", {});
  image_.mainFile = (dir_.path() / "empty.rfw").string();
  EXPECT_FALSE(LoadImageFile(image_));
  EXPECT_TRUE(image_.fileData.empty());
}

TEST_F(ImageFileTest, ChecksBeforeWriting) {
  mkimage::ImageSpec nine;
  nine.chipCode = 9;
  const Bytes chipNine = MakeImage(nine);
  WriteFile(dir_.path() / "nine.rfw", chipNine);
  WriteFile(dir_.path() / "noarea.rfw", Bytes(0x10000, 0x00));
  WriteFile(dir_.path() / "tq7704.rfw", MakeImage({}));
  Bytes tagged = MakeImage({});
  tagged[0xEFFE] = 0x55;
  tagged[0xEFFF] = 0xAA;
  WriteFile(dir_.path() / "tagged.rfw", tagged);
  mkimage::ImageSpec eepromAtF000;
  eepromAtF000.memory = mkimage::Memory::Eeprom8;
  eepromAtF000.configAt = 0xF000;
  WriteFile(dir_.path() / "eeprom-f000.rfw", MakeImage(eepromAtF000));
  mkimage::ImageSpec tq7702;
  tq7702.ic = "tq7702";
  Bytes damagedTag = MakeImage(tq7702);
  WriteFile(dir_.path() / "tq7702.rfw", damagedTag);
  damagedTag[0xEFFE] = 0x00;
  WriteFile(dir_.path() / "tq7702-damaged-tag.rfw", damagedTag);
  const ImageCheckOptions flashWrite{false, true, MemoryType::SpiFlash, true};
  const ImageCheckOptions taggingWrite{false, true, MemoryType::SpiFlash, false};
  const ImageCheckOptions eepromWrite{false, true, MemoryType::Eeprom8, true};

  struct Case {
    const char* file;
    std::uint8_t profileChip;
    ImageCheckOptions options;
    std::uint32_t status;
    const char* trace;
  };
  const Case cases[] = {
      {"tq7704.rfw", 21, {}, image_status::kPassed, nullptr},
      {"missing.rfw", 21, {}, image_status::kLoadFileDataFail, "Load File Data Fail!"},
      {"noarea.rfw", 21, {}, image_status::kParseFwFileFail, "Parse FW File Fail!"},
      {"tq7704.rfw", 24, {}, image_status::kFirmwareNotForDevice, "Firmware is not for this device"},
      {"nine.rfw", 8, {}, image_status::kFirmwareNotForDevice, "Firmware is not for this device"},
      {"nine.rfw", 8, {false, true, {}, false}, image_status::kPassed, nullptr},
      // What the write sets itself is checked only for a write that says where it goes.
      {"tagged.rfw", 21, {}, image_status::kPassed, nullptr},
      {"tagged.rfw", 21, flashWrite, image_status::kParseFwFileFail, "Parse FW File Fail!"},
      {"tq7704.rfw", 21, flashWrite, image_status::kPassed, nullptr},
      {"eeprom-f000.rfw", 21, eepromWrite, image_status::kParseFwFileFail, "Parse FW File Fail!"},
      {"tq7704.rfw", 21, taggingWrite, image_status::kPassed, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    testing::DebugLines lines;
    CFirmwareImage image;
    image.mainFile = c.file;
    std::size_t area = 0;
    EXPECT_EQ(CheckImageBeforeWrite(image, c.profileChip, testing::Tq7704Context(), c.options, &area), c.status);
    if (c.status == image_status::kPassed) {
      EXPECT_EQ(area, 0xF000u);
    }
    if (c.trace != nullptr) {
      const auto texts = lines.texts();
      ASSERT_GE(texts.size(), 2u);
      EXPECT_EQ(texts[texts.size() - 2], "----------------:");
      EXPECT_EQ(texts.back(), c.trace);
    }
  }

  // TQ7702 starts from its tag: a tag word that is neither the tag nor blank
  // would leave the unit in its loader after a write, so the file is refused.
  for (const char* file : {"tq7702.rfw", "tq7702-damaged-tag.rfw"}) {
    SCOPED_TRACE(file);
    CFirmwareImage image;
    image.mainFile = file;
    const bool damaged = std::string(file) != "tq7702.rfw";
    EXPECT_EQ(CheckImageBeforeWrite(image, 17, testing::Tq7702Context(), taggingWrite, nullptr),
              damaged ? image_status::kParseFwFileFail : image_status::kPassed);
  }

  // The flash write without serial number goes on with a full image it holds.
  CFirmwareImage held;
  held.mainFile = "missing.rfw";
  held.fileData = MakeImage({});
  EXPECT_EQ(CheckImageBeforeWrite(held, 21, testing::Tq7704Context(), {true, false, {}, false}, nullptr), image_status::kPassed);
  held.fileData.resize(0xFFFF);
  EXPECT_EQ(CheckImageBeforeWrite(held, 21, testing::Tq7704Context(), {true, false, {}, false}, nullptr),
            image_status::kLoadFileDataFail);
}

TEST_F(ImageFileTest, FindImageForDeviceTakesTheFirstMatchInNameOrder) {
  mkimage::ImageSpec tq7724;
  tq7724.ic = "tq7724";
  WriteFile(dir_.path() / "a_other_chip.RFW", MakeImage(tq7724));
  WriteFile(dir_.path() / "b_match.rfw", MakeImage({}));
  WriteFile(dir_.path() / "c_match.rfw", MakeImage({}));
  WriteFile(dir_.path() / "readme.txt", MakeImage({}));

  // TQ7704 registers (0x10, 0xB0): the TQ7724 file's chip code 24 is not 21.
  ASSERT_TRUE(FindImageForDevice(image_, 0x10, 0xB0));
  EXPECT_EQ(image_.mainFile, (dir_.path() / "b_match.rfw").string());
  EXPECT_EQ(CurrentProfile()->IcName(), "TQ7704");
  EXPECT_EQ(image_.config.imageChipCode, 21);

  // TQ7724 registers: the upper-case ".RFW" file matches first.
  ASSERT_TRUE(FindImageForDevice(image_, 0x10, 0xF0));
  EXPECT_EQ(image_.mainFile, (dir_.path() / "a_other_chip.RFW").string());

  // Unknown registers: nothing matches and the name is emptied.
  EXPECT_FALSE(FindImageForDevice(image_, 0x20, 0x20));
  EXPECT_EQ(image_.mainFile, "");
}

TEST_F(ImageFileTest, MatchAcceptsChipCodeNineForEight) {
  // A copy of the TQ7704 profile that expects chip code 8, read from files.
  SetStoredIniType(1);
  std::string profile(*FindTextResource(2031));
  profile.replace(profile.find("ChipInfo=21"), 11, "ChipInfo=8");
  testing::TempDir unused;
  dir_.Write("TQ7704.INI", profile);
  mkimage::ImageSpec nine;
  nine.chipCode = 9;
  WriteFile(dir_.path() / "nine.rfw", MakeImage(nine));
  image_.mainFile = "nine.rfw";
  EXPECT_TRUE(MatchImageToProfile(image_, 0x10, 0xB0));
  SetStoredIniType(0);
}

TEST_F(ImageFileTest, ShortImageWithTypeByte61MatchesOnlyInTheDirectorySearch) {
  mkimage::ImageSpec spec;
  spec.size = 0x8000;
  spec.configAt = 0;
  spec.typeByte = 0x61;
  const Bytes data = MakeImage(spec);
  EXPECT_TRUE(HasAcceptedHeader(data, 0xF000, HeaderSearch::DirectorySearch));
  EXPECT_FALSE(HasAcceptedHeader(data, 0xF000, HeaderSearch::CommandLine));
  WriteFile(dir_.path() / "short.rfw", data);
  image_.mainFile = "short.rfw";
  EXPECT_TRUE(MatchImageToProfile(image_, 0x10, 0xB0));
  ASSERT_TRUE(LoadImageFile(image_));
  EXPECT_FALSE(SelectProfileForImage(image_, 0x10, 0xB0, HeaderSearch::CommandLine));
}

TEST_F(ImageFileTest, BuiltinImagesAndDeviceIdentification) {
  SetWorkingMemorySize(0x10000);
  // The device-bound image wins over the profile's default (FFU_7704).
  IdentifyDeviceFirmware(image_, 0x10, 0xB0, "VID_3A7C&PID_0011&REV_0001");
  EXPECT_EQ(image_.versionDisplay, "Update FW version:4.119.0000-0115.0000");
  EXPECT_EQ(image_.mainFile, image_.versionDisplay);
  EXPECT_TRUE(image_.deviceFirmwareFile.empty());
  EXPECT_TRUE(image_.builtin.empty());

  ASSERT_TRUE(LoadBuiltinImage(image_, 3021));
  EXPECT_EQ(image_.builtinLength, 0x10000u);
  ConfigAreaResults results;
  EXPECT_EQ(LocateConfigArea(CurrentAreaContext(), image_.BuiltinData(), results), 0xF000u);
  EXPECT_EQ(results.imageChipCode, 21);

  // A working memory below the image size never cuts it.
  SetWorkingMemorySize(0x4000);
  ASSERT_TRUE(LoadBuiltinImage(image_, 3018));
  EXPECT_EQ(image_.builtin.size(), 0x10000u);
  EXPECT_FALSE(LoadBuiltinImage(image_, 4242));
  EXPECT_EQ(image_.builtinLength, 0x10000u);

  // No default while further images are named; none without a profile.
  image_.builtinLength = 0;
  image_.furtherFiles[0] = "second.rfw";
  LoadDefaultImage(image_, CurrentProfile());
  EXPECT_EQ(image_.builtinLength, 0u);
  image_.furtherFiles[0].clear();
  LoadDefaultImage(image_, CurrentProfile());
  EXPECT_EQ(image_.builtinLength, 0x10000u);
  LoadDefaultImage(image_, nullptr);
  EXPECT_EQ(image_.builtinLength, 0u);
}

TEST(BuiltinImageTest, TheFiveImagesAsTheTableGivesThem) {
  struct Case {
    int number;
    std::size_t areaAt;
    std::uint8_t typeByte;
    std::uint8_t chipCode;
  };
  const Case cases[] = {
      {3012, 0, 0x30, 17}, {3018, 0xF000, 0x55, 24}, {3020, 0xF000, 0x55, 24},
      {3021, 0xF000, 0x55, 21}, {3022, 0xF000, 0x55, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    auto data = FindResource(c.number, "BINARY");
    ASSERT_TRUE(data);
    ASSERT_EQ(data->size(), 0x10000u);
    auto header = UnpackConfigHeader(data->subspan(c.areaAt));
    ASSERT_TRUE(header);
    EXPECT_TRUE(header->HasSignature());
    EXPECT_EQ(header->typeByte, c.typeByte);
    EXPECT_EQ(header->chipCode, c.chipCode);
    if (c.number == 3012) {
      EXPECT_TRUE(std::equal(data->begin(), data->begin() + header->totalLength, data->begin() + 0xE000));
      EXPECT_EQ((*data)[0x100C], 0xFF);
    } else {
      EXPECT_EQ((*data)[0x100C], 0x41);
      EXPECT_NE((*data)[0], 0xFF);
    }
  }
}

}  // namespace
}  // namespace quillon
