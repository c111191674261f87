// The pure parts of the flows: chip-mode and status-block decisions, version
// texts, the preserved record and the OTP-simulation layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "data/config_builder.h"
#include "flow/dev_flow.h"
#include "flow/first_mismatch.h"
#include "flow/flash_image_parts.h"
#include "image_maker.h"

namespace quillon {
namespace {

using Status = std::array<std::uint8_t, kDevStatusLength>;

// Every compare of a read-back names its first differing byte and counts the
// rest; a read that ended early counts its missing bytes as differing.
TEST(FlowPartsTest, FirstMismatch) {
  using Bytes = std::vector<std::uint8_t>;
  struct Case {
    const char* name;
    Bytes expected, found;
    bool differs;
    std::size_t offset;
    std::uint8_t want;
    int got;  // -1: nothing was read there
    std::size_t count;
  };
  const Case cases[] = {
      {"equal", {1, 2, 3}, {1, 2, 3}, false, 0, 0, 0, 0},
      {"both empty", {}, {}, false, 0, 0, 0, 0},
      {"longer read", {1, 2}, {1, 2, 9, 9}, false, 0, 0, 0, 0},
      {"first byte", {0x55, 2, 3}, {0x00, 2, 3}, true, 0, 0x55, 0x00, 1},
      {"last byte", {1, 2, 3}, {1, 2, 4}, true, 2, 3, 4, 1},
      {"two apart", {1, 2, 3, 4}, {1, 7, 3, 8}, true, 1, 2, 7, 2},
      {"short read", {1, 2, 3, 4}, {1, 2}, true, 2, 3, -1, 2},
      {"short and wrong", {1, 2, 3, 4}, {1, 9}, true, 1, 2, 9, 3},
      {"nothing read", {0xA5}, {}, true, 0, 0xA5, -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto mismatch = FirstMismatch(c.expected, c.found);
    ASSERT_EQ(mismatch.has_value(), c.differs);
    if (!mismatch) continue;
    EXPECT_EQ(mismatch->offset, c.offset);
    EXPECT_EQ(mismatch->expected, c.want);
    EXPECT_EQ(mismatch->found.has_value() ? int{*mismatch->found} : -1, c.got);
    EXPECT_EQ(mismatch->count, c.count);
  }
  EXPECT_EQ(MismatchText(Mismatch{0x1234, 0x5A, 0x00, 1}), "offset 0x1234: expected 0x5A, found 0x00 (1 byte differs)");
  EXPECT_EQ(MismatchText(Mismatch{0x10, 0xFF, std::nullopt, 3}),
            "offset 0x10: expected 0xFF, found nothing (3 bytes differ)");
}

TEST(FlowPartsTest, ActiveRecordAndVersionTexts) {
  struct Case {
    std::uint8_t b64, b72;
    std::size_t active;
    int kind;
    bool cache;
  };
  const Case cases[] = {
      {0x20, 0x31, 72, 2, true},  // byte 64's nibble is 0: the record at 72
      {0x00, 0x31, 72, 2, true},
      {0x00, 0x3B, 64, 0, false},  // 0xB at 72 does not count
      {0x00, 0x00, 64, 0, false},
      {0x21, 0x00, 64, 1, true},
  };
  for (const Case& c : cases) {
    Status s{};
    s[64] = c.b64;
    s[72] = c.b72;
    EXPECT_EQ(ActiveRecordOf(s).offset, c.active);
    EXPECT_EQ(ActiveRecordOf(s).versionKind, c.kind);
    EXPECT_EQ(StatusSaysCacheMode(s), c.cache);
  }

  Status s{};
  s[72] = 0x31;
  const std::array<std::uint8_t, 8> r{0x41, 0x19, 0x00, 0x00, 0x01, 0x15, 0x00, 0x00};  // as the image holds it
  const std::array<std::uint8_t, 8> order{3, 2, 1, 0, 7, 6, 5, 4};
  for (std::size_t i = 0; i < 8; ++i) s[76 + i] = r[order[i]];
  VersionFields fields{};
  EXPECT_EQ(StatusVersionText(s, nullptr, &fields), "4.119.0000-0115.0000");
  EXPECT_EQ(fields, (VersionFields{4, 1, 0x19, 0, 0x0115, 0}));
  const VidPid ids{0x3A7C, 0x11};
  EXPECT_EQ(StatusVersionText(s, &ids, nullptr), "4.119.0000-0115.0000-VID3A7C&&PID0011");

  Status k1{};
  k1[72] = 0x21;
  k1[76] = 0x34;
  k1[77] = 0x12;
  k1[78] = 0x78;
  k1[79] = 0x56;
  EXPECT_EQ(StatusVersionText(k1, nullptr, nullptr), "0x1234-5678");
  Status k0{};
  k0[64 + 3] = 0xAB;
  k0[64 + 6] = 0x01;
  k0[64 + 7] = 0x02;
  k0[4] = 0x00;
  k0[5] = 0x01;
  EXPECT_EQ(StatusVersionText(k0, nullptr, nullptr), "0xAB-0102-0100");
}

TEST(FlowPartsTest, ChipModes) {
  EXPECT_TRUE(IsRomLoaderState(ChipModeWord(0x10, 0xF0, ChipModeBits::kFamily)));
  EXPECT_FALSE(IsRomLoaderState(ChipModeWord(0x10, 0x70, ChipModeBits::kFamily)));
  EXPECT_TRUE(IsSpecialVariant(0xB013));
  EXPECT_FALSE(IsSpecialVariant(0xB010));
}

// Register 0xC2A8 decides through the enum; the text is only its display.
TEST(FlowPartsTest, ExtendedModeFromTheRegister) {
  struct Case {
    std::uint8_t value;
    ExtendedMode mode;
    const char* text;
  };
  const Case cases[] = {
      {0, ExtendedMode::kRom, "ROM"},          {8, ExtendedMode::kSpi, "SPI"},
      {16, ExtendedMode::kRomOtp, "ROM&&OTP"}, {24, ExtendedMode::kSpiOtp, "SPI&&OTP"},
      {32, ExtendedMode::kRomSpi, "ROM&&SPI"}, {5, ExtendedMode::kUnknown, "Unknown"},
      {0xFF, ExtendedMode::kUnknown, "Unknown"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExtendedModeOf(c.value), c.mode) << int{c.value};
    EXPECT_EQ(ExtendedModeText(c.mode), c.text) << int{c.value};
  }
}

// An area with a header, `count` records as given, then 0xFF.
std::vector<std::uint8_t> Area(std::vector<std::vector<std::uint8_t>> records) {
  std::vector<std::uint8_t> area{0x55, 0xA5, 0x00, 0, 0, static_cast<std::uint8_t>(records.size())};
  for (auto& r : records) area.insert(area.end(), r.begin(), r.end());
  const std::size_t total = area.size();
  area[3] = static_cast<std::uint8_t>(total);
  area[4] = static_cast<std::uint8_t>(total >> 8);
  area.resize(4096, 0xFF);
  return area;
}

TEST(FlowPartsTest, PreservedRecordIsFoundAndCarriedOver) {
  const std::vector<std::uint8_t> chip = Area({{4, 0x01, 0xAA, 0xBB}, {0xFF, 0x50, 7, 0, 1, 2, 3}});
  auto payload = FindPreservedRecord(chip);
  ASSERT_TRUE(payload);
  EXPECT_EQ(*payload, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_FALSE(FindPreservedRecord(Area({{4, 0x01, 0xAA, 0xBB}})));

  // Appended: count and total length grow.
  std::vector<std::uint8_t> image = Area({{4, 0x01, 0xAA, 0xBB}});
  ASSERT_TRUE(PutPreservedRecord(image, *payload));
  EXPECT_EQ(image[5], 2);
  EXPECT_EQ(image[3], 6 + 4 + 7);
  EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + 10, image.begin() + 17),
            (std::vector<std::uint8_t>{0xFF, 0x50, 7, 0, 1, 2, 3}));

  // Replaced by a longer one: what followed moves behind it.
  std::vector<std::uint8_t> replaced = Area({{0xFF, 0x50, 5, 0, 9}, {3, 0x02, 0xCC}});
  ASSERT_TRUE(PutPreservedRecord(replaced, *payload));
  EXPECT_EQ(replaced[5], 2);
  EXPECT_EQ(std::vector<std::uint8_t>(replaced.begin() + 6, replaced.begin() + 16),
            (std::vector<std::uint8_t>{0xFF, 0x50, 7, 0, 1, 2, 3, 3, 0x02, 0xCC}));
  EXPECT_EQ(replaced[3], 16);

  std::vector<std::uint8_t> tooSmall = Area({{4, 0x01, 0xAA, 0xBB}});
  tooSmall.resize(12);
  EXPECT_FALSE(PutPreservedRecord(tooSmall, *payload));
}

// A 16 KB image with a code record and configuration records becomes a code
// part and a configuration part, each with its block-table entry.
TEST(FlowPartsTest, SimulatedOtpLayout) {
  mkimage::ImageSpec spec;
  spec.memory = mkimage::Memory::Otp;
  spec.configAt = 0;
  spec.size = 0x4000;
  spec.smallCache = 1024;
  std::string error;
  auto made = mkimage::MakeImage(spec, &error);
  ASSERT_TRUE(made) << error;
  std::vector<std::uint8_t> image = *made;
  const std::uint16_t total = static_cast<std::uint16_t>(image[3] | image[4] << 8);
  ASSERT_TRUE(RebuildForSimulatedOtp(image, 21));

  const std::size_t codeLen = image[0x3FBD] << 8 | image[0x3FBE];
  EXPECT_EQ(image[0x3FBF], 0x55);
  EXPECT_EQ(image[0x3FBB], 0);
  EXPECT_EQ(static_cast<std::size_t>(image[3] | image[4] << 8), codeLen);
  EXPECT_EQ(image[5], 3);
  EXPECT_GT(codeLen, 1024u);
  // The configuration part starts where the code part ends.
  EXPECT_EQ(static_cast<std::size_t>(image[0x3FB6] << 8 | image[0x3FB7]), codeLen);
  const std::size_t configLen = image[0x3FB8] << 8 | image[0x3FB9];
  EXPECT_EQ(image[0x3FBA], 0xAA);
  EXPECT_EQ(configLen, std::size_t{total} + 15 - codeLen);
  EXPECT_EQ(image[codeLen + 1], 0xA5);
  EXPECT_EQ(static_cast<std::size_t>(image[codeLen + 3] | image[codeLen + 4] << 8), configLen);

  std::vector<std::uint8_t> blank(0x4000, 0xFF);
  EXPECT_FALSE(RebuildForSimulatedOtp(blank, 21));
  EXPECT_TRUE(std::all_of(blank.begin(), blank.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

}  // namespace
}  // namespace quillon
