// Writing a serial number into an image's configuration area.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "data/config_reader.h"
#include "data/serial_record.h"
#include "image_fixture.h"
#include "support/debug_lines.h"

namespace quillon {
namespace {

using testing::Area;
using testing::Bytes;
using testing::ImageWith;
using testing::MakeImage;
using testing::StringRecord;

// The records of the area at `at`: type and, for strings, the text.
std::vector<std::pair<int, std::string>> Records(const Bytes& image, std::size_t at) {
  CDescGlobal reader;
  reader.SetCopy(std::span(image).subspan(at));
  std::vector<std::pair<int, std::string>> out;
  WalkResult walk = WalkConfigArea(reader, [&](CDescriptor& record) {
    auto* string = dynamic_cast<CDescString*>(&record);
    out.emplace_back(record.Type(), string != nullptr ? string->Text() : std::string());
    return true;
  });
  EXPECT_EQ(walk, WalkResult::Done);
  return out;
}

std::string TextOf(const Bytes& image, int type) {
  for (const auto& [t, text] : Records(image, 0xF000)) {
    if (t == type) return text;
  }
  return "<none>";
}

TEST(SerialRecordTest, LengthLimitCountsTheBellCharacter) {
  const Bytes original = MakeImage({});
  struct Case {
    std::size_t length;
    std::uint8_t type;
    bool snFunction;
    bool written;
  };
  const Case cases[] = {
      {48, 3, false, true}, {49, 3, false, false}, {47, 3, true, true},
      {48, 3, true, false}, {48, 1, true, true},   {49, 1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.length << " chars, type " << int(c.type) << ", SN Function "
                                      << c.snFunction);
    Bytes image = original;
    const std::string serial(c.length, 'S');
    EXPECT_EQ(WriteSerialRecord(testing::Tq7704Context(), image, serial, c.type, c.snFunction, nullptr), c.written);
    if (!c.written) {
      EXPECT_EQ(image, original);
      continue;
    }
    const bool bell = c.snFunction && c.type == 3;
    EXPECT_EQ(TextOf(image, c.type), (bell ? "\x07" : "") + serial);
  }
}

TEST(SerialRecordTest, RewriteKeepsEveryOtherRecordAndSetsTypeAndTag) {
  mkimage::ImageSpec spec;
  spec.memory = mkimage::Memory::Eeprom8;  // type byte 0x11 becomes flash
  spec.configAt = 0xF000;
  const Bytes original = MakeImage(spec);
  Bytes image = original;
  std::uint16_t total = 0;
  testing::DebugLines lines;
  ASSERT_TRUE(WriteSerialRecord(testing::Tq7704Context(), image, "NEW-SERIAL", 3, false, &total));

  EXPECT_EQ(image[0xF000], 0x55);
  EXPECT_EQ(image[0xEFFE], 0x55);
  EXPECT_EQ(image[0xEFFF], 0xAA);
  auto before = Records(original, 0xF000);
  auto after = Records(image, 0xF000);
  ASSERT_EQ(before.size(), after.size());
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(before[i].first, after[i].first);
    if (before[i].first != 3) {
      EXPECT_EQ(before[i].second, after[i].second);
    }
  }
  EXPECT_EQ(TextOf(image, 3), "NEW-SERIAL");
  EXPECT_EQ(total, image[0xF003] | image[0xF004] << 8);
  // Code and everything outside the area block are untouched.
  EXPECT_TRUE(std::equal(original.begin(), original.begin() + 0xEFFE, image.begin()));
  ConfigAreaResults results;
  EXPECT_TRUE(ReadImageConfig(testing::Tq7704Context(), image, results));
  bool traced = false;
  for (const std::string& line : lines.texts()) traced |= line.find("|----- DownLoad length: 65536") != std::string::npos;
  EXPECT_TRUE(traced);
}

TEST(SerialRecordTest, MissingRecordIsAddedAndUnknownRecordsKeepTheirBytes) {
  const Bytes unknown = {7, 0x99, 1, 2, 3, 4, 5};
  const Bytes area = Area(0x55, 21, {{6, 0x2F, 0x04, 0x77, 0x61, 0x10}, StringRecord(2, "Prod"), unknown});
  Bytes image = ImageWith(0x10000, 0xF000, area);
  ASSERT_TRUE(WriteSerialRecord(testing::Tq7704Context(), image, "ADDED", 1, false, nullptr));
  auto records = Records(image, 0xF000);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2], (std::pair<int, std::string>{1, "ADDED"}));
  // The unknown record sits where it was, with its own bytes.
  const std::size_t at = 0xF000 + 6 + 6 + StringRecord(2, "Prod").size();
  EXPECT_TRUE(std::equal(unknown.begin(), unknown.end(), image.begin() + at));
}

// An unknown record of 200 bytes.
Bytes BigRecord() {
  Bytes record(200, 0);
  record[0] = 200;
  record[1] = 0x99;
  return record;
}

TEST(SerialRecordTest, FailuresLeaveTheImageUnchanged) {
  struct Case {
    const char* name;
    Bytes image;
  };
  const Case cases[] = {
      {"no area at ConfigAddress", ImageWith(0x10000, 0, Area(0x55, 21, {StringRecord(1, "M")}))},
      {"image shorter than ConfigAddress", ImageWith(0x8000, 0, Area(0x55, 21, {StringRecord(1, "M")}))},
      {"corrupted area", ImageWith(0x10000, 0xF000, Area(0x55, 21, {StringRecord(1, "M")}, 4))},
      {"area too large for ConfigSize", ImageWith(0x10000, 0xF000, Area(0x55, 21, {BigRecord()}))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image = c.image;
    AreaContext context = testing::Tq7704Context();
    if (std::string(c.name) == "area too large for ConfigSize") context.configSize = 300;
    EXPECT_FALSE(WriteSerialRecord(context, image, "X", 1, false, nullptr));
    EXPECT_EQ(image, c.image);
  }
}

// A serial goes into the chip's string as it is and into the records as text:
// only printable ASCII reads back the same in both, anything else is refused
// before the image changes, and is named on one line.
TEST(SerialRecordTest, OnlyPrintableSerialsAreWritten) {
  const Bytes original = ImageWith(0x10000, 0xF000, Area(0x55, 21, {StringRecord(3, "OLD")}));
  const std::string tail = "; only printable ASCII (0x20 to 0x7E) is written";
  struct Case {
    std::string serial;
    std::string problem;  // empty: written
  };
  const Case cases[] = {
      {"SN-0042 ~!", ""},
      {"SN\\n0042", ""},  // a backslash is text like any other
      {"SN\n0042", "serial number \"SN\\x0A0042\" holds byte 0x0A at 2" + tail},
      {"SN0042\r", "serial number \"SN0042\\x0D\" holds byte 0x0D at 6" + tail},
      {std::string("SN\0" "1", 4), "serial number \"SN\\x001\" holds byte 0x00 at 2" + tail},
      {"\t1", "serial number \"\\x091\" holds byte 0x09 at 0" + tail},
      {"SN\x7F", "serial number \"SN\\x7F\" holds byte 0x7F at 2" + tail},
      {"\xFF\xFE", "serial number \"\\xFF\\xFE\" holds byte 0xFF at 0" + tail},
      {"S\xC3\xA9", "serial number \"S\\xC3\\xA9\" holds byte 0xC3 at 1" + tail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(EscapedSerial(c.serial));
    Bytes image = original;
    EXPECT_EQ(SerialTextProblem(c.serial).value_or(""), c.problem);
    EXPECT_EQ(WriteSerialRecord(testing::Tq7704Context(), image, c.serial, 3, false, nullptr), c.problem.empty());
    if (c.problem.empty()) {
      EXPECT_EQ(TextOf(image, 3), c.serial);
    } else {
      EXPECT_EQ(image, original);
    }
  }
}

// An area at offset 0 (an EEPROM image's) has the code right after it: the
// rebuilt area takes only the old area's bytes and erased bytes after them.
TEST(SerialRecordTest, AreaAtZeroNeverGrowsOverTheCodeAfterIt) {
  AreaContext context = testing::Tq7704Context();
  context.configAddress = 0;
  const Bytes area = Area(0x11, 21, {StringRecord(3, "OLD-SERIAL-NUMBER-OF-SOME-LENGTH")});
  struct Case {
    const char* name;
    std::size_t codeAt;  // code bytes from here to the end
    std::string serial;
    bool written;
  };
  const Case cases[] = {
      {"shorter serial: the rest of the old area is erased", area.size(), "S1", true},
      {"longer area, erased bytes after the old one", area.size() + 0x40, std::string(40, 'L'), true},
      {"longer area, code right after the old one", area.size(), std::string(40, 'L'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes original = ImageWith(0x400, 0, area);
    for (std::size_t i = c.codeAt; i < original.size(); ++i) original[i] = static_cast<std::uint8_t>(i * 7 + 1);
    Bytes image = original;
    EXPECT_EQ(WriteSerialRecord(context, image, c.serial, 3, false, nullptr), c.written);
    EXPECT_TRUE(std::equal(image.begin() + static_cast<std::ptrdiff_t>(c.codeAt), image.end(),
                           original.begin() + static_cast<std::ptrdiff_t>(c.codeAt)))
        << "the code is kept";
    if (!c.written) {
      EXPECT_EQ(image, original);
      continue;
    }
    EXPECT_EQ(image[0], 0x11) << "still an EEPROM area";
    EXPECT_EQ(Records(image, 0).back(), (std::pair<int, std::string>{3, c.serial}));
  }
}

}  // namespace
}  // namespace quillon
