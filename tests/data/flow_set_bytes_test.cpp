#include "data/flow_set_bytes.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillon {
namespace {

struct PlacesCase {
  const char* name;
  FlowWriteFacts facts;
  std::vector<FlowSetPlace> places;
};

TEST(BytesTheFlowSetsTest, ListsTheFixedBytesOfEachWrite) {
  const PlacesCase cases[] = {
      {"flash, family without a tag", {MemoryType::SpiFlash, 0x10000, true, false, 0xEFFE},
       {{0xEFFE, {0xFF, 0xFF}, "tag word"}}},
      {"flash, tagging family: the image's own tag goes down last", {MemoryType::SpiFlash, 0x10000, false, false, 0xEFFE},
       {}},
      {"flash, tagging family, area at 0: no tag write", {MemoryType::SpiFlash, 0x10000, false, true, 0xEFFE},
       {{0xEFFE, {0xFF, 0xFF}, "tag word"}}},
      {"flash, tag word past the image", {MemoryType::SpiFlash, 0xEFFF, true, false, 0xEFFE}, {}},
      {"flash, tag word the image's last two bytes", {MemoryType::SpiFlash, 0xF000, true, false, 0xEFFE},
       {{0xEFFE, {0xFF, 0xFF}, "tag word"}}},
      {"16 KB flash image rebuilt as a whole", {MemoryType::SpiFlash, 0x4000, true, true, 0x1FFE}, {}},
      {"16 KB flash image of a tagging family", {MemoryType::SpiFlash, 0x4000, false, false, 0x1FFE}, {}},
      {"NOR flash: its tag is no image byte", {MemoryType::NorFlash, 0x10000, false, false, 0xEFFE}, {}},
      {"8-bit EEPROM", {MemoryType::Eeprom8, 0x2000, true, true, 0xEFFE}, {{1, {0xA5}, "EEPROM tag byte"}}},
      {"16-bit EEPROM", {MemoryType::Eeprom16, 0x2000, true, true, 0xEFFE}, {{1, {0xA5}, "EEPROM tag byte"}}},
      {"EEPROM image of one byte", {MemoryType::Eeprom8, 1, true, true, 0}, {}},
      {"OTP keeps its own layout", {MemoryType::Otp, 0x4000, true, true, 0}, {}},
  };
  for (const PlacesCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BytesTheFlowSets(c.facts), c.places);
  }
}

TEST(FlowSetConflictTest, NamesOffsetImageBytesAndWrittenBytes) {
  std::vector<std::uint8_t> image(0x10000, 0xFF);
  const std::vector<FlowSetPlace> places{{1, {0xA5}, "EEPROM tag byte"}, {0xEFFE, {0xFF, 0xFF}, "tag word"}};
  image[1] = 0xA5;
  EXPECT_EQ(FlowSetConflict(image, places), std::nullopt);

  image[0xEFFF] = 0xAA;
  EXPECT_EQ(FlowSetConflict(image, places), "image holds FF AA at 0xEFFE (the tag word), where the write puts FF FF");
  image[1] = 0x3C;
  EXPECT_EQ(FlowSetConflict(image, places), "image holds 3C at 0x1 (the EEPROM tag byte), where the write puts A5")
      << "the first place in the list is named";
  // A place the image does not reach cannot disagree with it.
  EXPECT_EQ(FlowSetConflict(std::span(image).first(0xEFFF), std::span(places).subspan(1)), std::nullopt);
}

// A write that tags puts the image's own tag word down last: a word that is
// neither the tag nor blank is a damaged file, refused wherever the family
// keeps its tag; where no tag goes down, the word is not looked at.
TEST(TagWordProblemTest, ADamagedTagWordIsNamedWhereTheWriteTags) {
  struct Case {
    const char* name;
    FlowWriteFacts facts;
    std::uint8_t first, second;
    bool refused;
  };
  const Case cases[] = {
      {"tag 55 AA", {MemoryType::SpiFlash, 0x10000, false, false, 0xEFFE}, 0x55, 0xAA, false},
      {"blank FF FF", {MemoryType::SpiFlash, 0x10000, false, false, 0xEFFE}, 0xFF, 0xFF, false},
      {"first byte 00", {MemoryType::SpiFlash, 0x10000, false, false, 0xEFFE}, 0x00, 0xAA, true},
      {"second byte 00", {MemoryType::SpiFlash, 0x10000, false, false, 0xEFFE}, 0x55, 0x00, true},
      {"swapped", {MemoryType::SpiFlash, 0x10000, false, false, 0xEFFE}, 0xAA, 0x55, true},
      {"another family's tag place", {MemoryType::SpiFlash, 0x10000, false, false, 0x1FFE}, 0x00, 0xAA, true},
      {"a family that never tags", {MemoryType::SpiFlash, 0x10000, true, false, 0xEFFE}, 0x00, 0xAA, false},
      {"area at 0: no tag write", {MemoryType::SpiFlash, 0x10000, false, true, 0xEFFE}, 0x00, 0xAA, false},
      {"tag word past the image", {MemoryType::SpiFlash, 0xEFFF, false, false, 0xEFFE}, 0x00, 0xAA, false},
      {"NOR flash: its tag is no image byte", {MemoryType::NorFlash, 0x10000, false, false, 0xEFFE}, 0x00, 0xAA, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> image(0x10000, 0xFF);
    image[c.facts.tagAddress] = c.first;
    image[c.facts.tagAddress + 1] = c.second;
    image.resize(c.facts.length);
    const auto problem = TagWordProblem(image, c.facts);
    EXPECT_EQ(problem.has_value(), c.refused) << problem.value_or("");
  }
  std::vector<std::uint8_t> image(0x10000, 0xFF);
  image[0xEFFE] = 0x00;
  image[0xEFFF] = 0xAA;
  EXPECT_EQ(TagWordProblem(image, {MemoryType::SpiFlash, 0x10000, false, false, 0xEFFE}),
            "image holds 00 AA at 0xEFFE (the tag word), which is neither the tag 55 AA nor blank");
}

}  // namespace
}  // namespace quillon
