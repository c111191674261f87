// Finding the configuration area in an image and reading what it says.
#include <gtest/gtest.h>

#include "data/config_image.h"
#include "data/config_reader.h"
#include "image_fixture.h"

namespace quillon {
namespace {

using testing::Area;
using testing::Bytes;
using testing::ImageWith;
using testing::MakeImage;
using testing::StringRecord;

class ConfigImageTest : public ::testing::Test {
 protected:
  testing::ProcessStateGuard state_;
  testing::RecordingPrompt prompt_;
  ConfigAreaResults results_;
};

TEST_F(ConfigImageTest, WhereTheAreaIsFound) {
  const Bytes area = Area(0x55, 21, {StringRecord(1, "Maker")});
  struct Case {
    const char* name;
    AreaContext context;
    std::size_t size;
    std::size_t at;
    std::optional<std::size_t> found;
    bool atZero;
    bool textsRead;
  };
  const Case cases[] = {
      {"at ConfigAddress, 64 KB: the last block", testing::Tq7704Context(), 0x10000, 0xF000, 0xF000, false, true},
      {"at ConfigAddress, 128 KB: still 0xF000", testing::Tq7704Context(), 0x20000, 0xF000, 0xF000, false, true},
      {"TQ7702 area at 0xAE00 of a 64 KB image", testing::Tq7702Context(), 0x10000, 0xAE00, 0xF000, false, true},
      {"TQ7702 area at 0xAE00 of a short image", testing::Tq7702Context(), 0xC000, 0xAE00, 0xAE00, false, true},
      // The texts are read only from images that reach "ConfigAddress".
      {"image shorter than ConfigAddress, area at 0", testing::Tq7704Context(), 0x8000, 0, 0, true, false},
      {"no area at ConfigAddress, one at 0, 64 KB", testing::Tq7704Context(), 0x10000, 0, 0xF000, true, true},
      {"16 KB working memory moves TQ7704 to 0", {0xF000, 4096, 0xEFFE, "TQ7704", 0x4000}, 0x4000, 0, 0, true,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    results_ = ConfigAreaResults{};
    SetCurrentMemoryType(MemoryType::SpiFlash);
    const Bytes image = ImageWith(c.size, c.at, area);
    EXPECT_EQ(LocateConfigArea(c.context, image, results_), c.found);
    EXPECT_EQ(results_.imageChipCode, 21);
    EXPECT_EQ(results_.areaAtZero, c.atZero);
    EXPECT_EQ(results_.texts.manufacturer, c.textsRead ? "Maker" : "");
  }
  EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(ConfigImageTest, NoAreaMeansNoPointer) {
  const Bytes noSignature = ImageWith(0x10000, 0xF000, {0x55, 0xA4, 0xA8, 6, 0, 0});
  results_.imageChipCode = 7;
  EXPECT_FALSE(LocateConfigArea(testing::Tq7704Context(), noSignature, results_));
  EXPECT_EQ(results_.imageChipCode, 0xFF);
  const Bytes erased(0x10000, 0xFF);
  EXPECT_FALSE(LocateConfigArea(testing::Tq7704Context(), erased, results_));
  EXPECT_FALSE(ReadImageConfig(testing::Tq7704Context(), erased, results_));
  EXPECT_FALSE(CheckImageConfig(testing::Tq7704Context(), erased, results_));
  std::size_t end = 1;
  EXPECT_FALSE(FindSmallCacheEnd(testing::Tq7704Context(), erased, &end));
  EXPECT_EQ(end, 0u);
  // A header cut off by the end of the image.
  const Bytes cut = ImageWith(0xF004, 0xF000, {0x55, 0xA5, 0xA8, 6});
  EXPECT_FALSE(LocateConfigArea(testing::Tq7704Context(), cut, results_));
}

TEST_F(ConfigImageTest, ReadsTextsMemoryTypeAndSignature) {
  mkimage::ImageSpec spec;
  spec.memory = mkimage::Memory::Eeprom16;
  spec.serial = "SN-42";
  spec.vid = 0x1BCF;
  spec.pid = 0x2C81;
  spec.rev = 0x0A0B;
  const Bytes image = MakeImage(spec);
  SetCurrentMemoryType(MemoryType::SpiFlash);
  ASSERT_TRUE(ReadImageConfig(testing::Tq7704Context(), image, results_));
  EXPECT_EQ(CurrentMemoryType(), MemoryType::Eeprom16);
  EXPECT_EQ(results_.texts.manufacturer, "Quillon Audio");
  EXPECT_EQ(results_.texts.serialNumber, "SN-42");
  EXPECT_EQ(results_.texts.vidPid, "VID_1BCF&PID_2C81");
  EXPECT_EQ(results_.texts.release, "0a0b");
  char expected[16];
  std::snprintf(expected, sizeof expected, "0x%02X%02X%02X%02X%02X", image[0x1003], image[0x1005], image[0x1004],
                image[0x1007], image[0x1006]);
  EXPECT_EQ(results_.texts.codeSignature, expected);
  EXPECT_GT(results_.headerTotalLength, 6);
}

TEST_F(ConfigImageTest, CorruptedAreaIsShownAndFails) {
  // Three records announced, two present.
  const Bytes image = ImageWith(0x10000, 0xF000, Area(0x55, 21, {StringRecord(1, "M"), StringRecord(2, "P")}, 3));
  EXPECT_FALSE(ReadImageConfig(testing::Tq7704Context(), image, results_));
  EXPECT_FALSE(CheckImageConfig(testing::Tq7704Context(), image, results_));
  EXPECT_EQ(prompt_.shown, (std::vector<std::string>{kConfigCorruptedText, kConfigCorruptedText}));
  EXPECT_TRUE(results_.corrupted);

  // A broken walk gives no area to write, wherever the area was found; an
  // intact image afterwards clears the mark.
  struct Case {
    const char* name;
    std::size_t size;
    std::size_t at;
  };
  const Bytes broken = Area(0x55, 21, {StringRecord(1, "M"), StringRecord(2, "P")}, 3);
  for (const Case& c : {Case{"at ConfigAddress", 0x10000, 0xF000}, Case{"at 0 only", 0x10000, 0},
                        Case{"short image, area at 0", 0x8000, 0}}) {
    SCOPED_TRACE(c.name);
    results_ = ConfigAreaResults{};
    EXPECT_FALSE(LocateConfigArea(testing::Tq7704Context(), ImageWith(c.size, c.at, broken), results_));
    EXPECT_TRUE(results_.corrupted);
    EXPECT_EQ(results_.imageChipCode, 21) << "the chip code is still known";
  }
  const Bytes intact = ImageWith(0x10000, 0xF000, Area(0x55, 21, {StringRecord(1, "M")}));
  EXPECT_EQ(LocateConfigArea(testing::Tq7704Context(), intact, results_), 0xF000u);
  EXPECT_FALSE(results_.corrupted);
}

TEST_F(ConfigImageTest, SmallCacheEnd) {
  mkimage::ImageSpec spec;
  spec.memory = mkimage::Memory::Otp;
  spec.size = 0x4000;
  spec.configAt = 0;
  spec.smallCache = 700;
  const Bytes image = MakeImage(spec);
  const AreaContext otp{0xF000, 4096, 0xEFFE, "TQ7704", 0x4000};
  std::size_t end = 0;
  ASSERT_TRUE(FindSmallCacheEnd(otp, image, &end));
  // Header, version and EEPROM-info records, then the record of 8 + 700 bytes.
  EXPECT_EQ(end, 6u + 6 + 3 + 8 + 700);
  results_.blockLength = 0x1000;
  EXPECT_EQ(LocateConfigArea(otp, image, results_), end);
  EXPECT_EQ(results_.blockAddress, end & ~0xFu);
  EXPECT_EQ(CurrentMemoryType(), MemoryType::Otp);

  // Without a small-cache record the end is 0 and the area is the image start.
  spec.smallCache.reset();
  ASSERT_TRUE(FindSmallCacheEnd(otp, MakeImage(spec), &end));
  EXPECT_EQ(end, 0u);
}

}  // namespace
}  // namespace quillon
