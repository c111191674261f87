#include "proxy/xu_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "support/debug_lines.h"

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Builds a configuration descriptor; wTotalLength is filled in by Done().
class Config {
 public:
  Config() { data_ = {9, 2, 0, 0, 2, 1, 0, 0x80, 50}; }
  Config& Add(Bytes d) {
    data_.insert(data_.end(), d.begin(), d.end());
    return *this;
  }
  Config& Association(std::uint8_t firstInterface, std::uint8_t functionClass = 0x0E) {
    return Add({8, 0x0B, firstInterface, 2, functionClass, 3, 0, 0});
  }
  Config& Interface(std::uint8_t number, std::uint8_t cls, std::uint8_t sub, std::uint8_t protocol,
                    std::uint8_t alt = 0) {
    return Add({9, 4, number, alt, 0, cls, sub, protocol, 0});
  }
  Config& VideoHeader(std::uint16_t bcd) {
    return Add({13, 0x24, 1, static_cast<std::uint8_t>(bcd), static_cast<std::uint8_t>(bcd >> 8), 0, 0, 0, 0, 0, 0, 1, 1});
  }
  // A video extension unit: the GUID, bNumControls, the input pins, bControlSize and bmControls.
  Config& VideoUnit(std::uint8_t id, const std::uint8_t (&guid)[16], std::uint8_t numControls, std::uint8_t inPins,
                    std::uint8_t controlSize, Bytes controls) {
    Bytes d{0, 0x24, 6, id};
    d.insert(d.end(), guid, guid + 16);
    d.push_back(numControls);
    d.push_back(inPins);
    for (std::uint8_t i = 0; i < inPins; ++i) d.push_back(static_cast<std::uint8_t>(i + 1));
    d.push_back(controlSize);
    d.insert(d.end(), controls.begin(), controls.end());
    d.push_back(0);  // iExtension
    d[0] = static_cast<std::uint8_t>(d.size());
    return Add(d);
  }
  Config& AudioUnit(std::uint8_t subtype, std::uint8_t id, std::uint16_t code) {
    return Add({13, 0x24, subtype, id, static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(code >> 8), 1, 1, 2, 0, 0, 0, 0});
  }
  Bytes Done() const {
    Bytes out = data_;
    out[2] = static_cast<std::uint8_t>(out.size());
    out[3] = static_cast<std::uint8_t>(out.size() >> 8);
    return out;
  }

 private:
  Bytes data_;
};

Config Camera(std::uint16_t bcd = 0x0100, std::uint8_t protocol = 0) {
  Config c;
  c.Association(0).Interface(0, 0x0E, 0x01, protocol).VideoHeader(bcd);
  return c;
}

bool Logged(testing::DebugLines& debug, const std::string& text) {
  auto texts = debug.texts();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST(UvcExtensionUnitTest, ValidUnitOfTheVideoControlInterface) {
  testing::DebugLines debug;
  std::uint32_t ir = 7;
  auto config = Camera().VideoUnit(4, kVxExtensionUnitGuid, 2, 1, 2, {0x00, 0x06}).Done();
  EXPECT_EQ(FindUvcExtensionUnit(config, 0, ir), 4);
  EXPECT_EQ(ir, 0u);
  EXPECT_TRUE(Logged(debug, "Find UVC Camera Extension Unit"));
  EXPECT_TRUE(Logged(debug, "Check USB Camera Exist"));
}

TEST(UvcExtensionUnitTest, Uvc15HeaderNeedsProtocol1) {
  testing::DebugLines debug;
  std::uint32_t ir = 0;
  auto config = Camera(0x0150, 0).VideoUnit(4, kVxExtensionUnitGuid, 2, 1, 2, {0x00, 0x06}).Done();
  EXPECT_EQ(FindUvcExtensionUnit(config, 0, ir), -1);
  EXPECT_TRUE(Logged(debug, "can not get pVCInterface"));
  auto uvc15 = Camera(0x0150, 1).VideoUnit(4, kVxExtensionUnitGuid, 2, 1, 2, {0x00, 0x06}).Done();
  EXPECT_EQ(FindUvcExtensionUnit(uvc15, 0, ir), 4);
}

TEST(UvcExtensionUnitTest, ControlFieldsMoveWithTheNumberOfInputPins) {
  std::uint32_t ir = 0;
  // bNrInPins 2: bControlSize at offset 24, the tested bmControls byte at 26.
  auto config = Camera().VideoUnit(5, kVxExtensionUnitGuid, 2, 2, 2, {0x00, 0x06}).Done();
  EXPECT_EQ(config[config.size() - 28 + 24], 2);  // the unit is the last 28 bytes
  EXPECT_EQ(config[config.size() - 28 + 26], 0x06);
  EXPECT_EQ(FindUvcExtensionUnit(config, 0, ir), 5);
}

TEST(UvcExtensionUnitTest, UnitWithoutBothCommandControlsIsRejected) {
  struct Case {
    std::uint8_t numControls, controlSize;
    Bytes controls;
  };
  const Case cases[] = {{2, 2, {0xFF, 0x02}}, {2, 2, {0xFF, 0x04}}, {1, 2, {0xFF, 0x06}}, {2, 1, {0x06}}};
  for (const Case& c : cases) {
    testing::DebugLines debug;
    std::uint32_t ir = 0;
    auto config = Camera().VideoUnit(4, kVxExtensionUnitGuid, c.numControls, 1, c.controlSize, c.controls).Done();
    EXPECT_EQ(FindUvcExtensionUnit(config, 0, ir), -1);
    EXPECT_TRUE(Logged(debug, "Invalid VX extension unit definition"));
  }
  testing::DebugLines debug;
  std::uint32_t ir = 0;
  auto config = Camera().VideoUnit(4, kVxExtensionUnitGuid, 2, 1, 2, {0xFF, 0x02}).Done();
  FindUvcExtensionUnit(config, 0, ir);
  EXPECT_TRUE(Logged(debug, "bNumControls=2, bControlSize=2, bmControls[0]=255, bmControls[1]=2"));
}

TEST(UvcExtensionUnitTest, IrUnitBeforeTheMainUnitSkipsTheFirstAssociation) {
  testing::DebugLines debug;
  std::uint32_t ir = 9;
  Config c;
  c.Association(0).Interface(0, 0x0E, 0x01, 0).VideoHeader(0x0100);
  c.VideoUnit(3, kIrExtensionUnitGuid, 2, 1, 2, {0x00, 0x06});
  c.VideoUnit(4, kVxExtensionUnitGuid, 2, 1, 2, {0x00, 0x06});
  c.Association(2);
  EXPECT_EQ(FindUvcExtensionUnit(c.Done(), 0, ir), 4);
  EXPECT_EQ(ir, 1u) << "the second association, for interface 2, decides";
  EXPECT_TRUE(Logged(debug, "Find IR Camera Extension Unit"));
  EXPECT_TRUE(Logged(debug, "Continue to find next interface descriptor - condition6"));
  EXPECT_TRUE(Logged(debug, "Check IR Camera Exist"));
}

TEST(UvcExtensionUnitTest, UnitsMustFollowTheInterfaceDirectly) {
  testing::DebugLines debug;
  std::uint32_t ir = 0;
  Config c = Camera();
  c.Add({7, 5, 0x81, 3, 8, 0, 1});  // an endpoint ends the class-specific run
  c.VideoUnit(4, kVxExtensionUnitGuid, 2, 1, 2, {0x00, 0x06});
  EXPECT_EQ(FindUvcExtensionUnit(c.Done(), 0, ir), -1);
  EXPECT_TRUE(Logged(debug, "No VX extension unit found"));
  EXPECT_EQ(FindUvcExtensionUnit(Camera().VideoUnit(4, kVxExtensionUnitGuid, 2, 1, 2, {0, 6}).Done(), 1, ir), -1)
      << "another interface number";
}

TEST(AudioExtensionUnitTest, UnitWithTheChipVendorIdBehindTheFirstInterface) {
  struct Case {
    const char* what;
    Bytes config;
    int unit;
  };
  Config v1, v2, foreign, second, none;
  v1.Interface(0, 1, 1, 0).Add({9, 0x24, 1, 0, 1, 40, 0, 1, 1}).AudioUnit(8, 7, kChipVendorId);
  v2.Interface(0, 1, 1, 0x20).AudioUnit(4, 3, kChipVendorId).AudioUnit(9, 6, kChipVendorId);
  foreign.Interface(0, 1, 1, 0).AudioUnit(8, 7, 0x1234);
  second.Interface(0, 1, 1, 0).Interface(1, 1, 2, 0).AudioUnit(8, 7, kChipVendorId);
  const Case cases[] = {{"audio 1.0 unit", v1.Done(), 7},
                        {"audio 2.0 unit after another unit", v2.Done(), 6},
                        {"other vendor", foreign.Done(), -1},
                        {"behind the second interface", second.Done(), -1},
                        {"no interface at all", none.Done(), -1}};
  for (const Case& c : cases) EXPECT_EQ(FindAudioExtensionUnit(c.config), c.unit) << c.what;
}

TEST(ExtensionUnitSearchTest, MalformedDescriptorsNeverReadPastTheEnd) {
  auto good = Camera().VideoUnit(4, kVxExtensionUnitGuid, 2, 1, 2, {0x00, 0x06}).Done();
  std::uint32_t ir = 0;
  // Cut anywhere, wTotalLength still claiming the full length: the walk stops at the cut.
  for (std::size_t size = 0; size < good.size(); ++size) {
    std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_EQ(FindUvcExtensionUnit(cut, 0, ir), -1) << size;
    EXPECT_EQ(FindAudioExtensionUnit(cut), -1) << size;
  }
  auto zeroLength = good;
  zeroLength[9] = 0;  // the first descriptor after the configuration
  EXPECT_EQ(FindUvcExtensionUnit(zeroLength, 0, ir), -1);
  auto unitTooShort = good;
  unitTooShort[unitTooShort.size() - 27] = 20;  // the unit's bLength no longer covers its controls
  EXPECT_EQ(FindUvcExtensionUnit(unitTooShort, 0, ir), -1);

  std::mt19937 random(12345);
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::uint8_t> bytes = good;
    int flips = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < flips; ++i) bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
    bytes.resize(random() % (bytes.size() + 1));
    FindUvcExtensionUnit(bytes, static_cast<int>(random() % 3), ir);
    FindAudioExtensionUnit(bytes);
  }
}

}  // namespace
}  // namespace quillon
