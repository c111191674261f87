// The OTP tables and image parts as plain data: usage figures, the newest
// block, the ECC table applied to read-back bytes, the consumed length of a
// failed part, the parts cut from an image and joined again.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "data/config_reader.h"
#include "flow/otp_layout.h"
#include "otp_images.h"
#include "image_maker.h"

namespace quillon::otp {
namespace {

using testing::OtpImage;

struct VdRow {
  int index;
  std::uint16_t start;
  std::uint16_t length;
  std::uint8_t type;
};

std::vector<std::uint8_t> VdTable(std::initializer_list<VdRow> rows) {
  std::vector<std::uint8_t> table(kVdTableSize, 0);
  for (const VdRow& row : rows) {
    auto packed = VdEntry{row.start, row.length, row.type}.Pack();
    std::copy(packed.begin(), packed.end(), table.begin() + row.index * 5);
  }
  return table;
}

// The records a part holds, counted by walking it, against its header's number.
struct Counted {
  int declared;
  int walked;
};
Counted CountRecords(std::span<const std::uint8_t> part) {
  CDescGlobal reader;
  reader.SetCopy(part);
  int walked = 0;
  EXPECT_EQ(WalkConfigArea(reader, [&](CDescriptor&) { return ++walked, true; }), WalkResult::Done);
  const int specials = (reader.HasVersionRecord() ? 1 : 0) + (reader.EepromInfo() ? 1 : 0);
  return {part[5], walked + specials};
}

TEST(OtpLayoutTest, TableAddressesAndEntries) {
  EXPECT_EQ(VdEntryAddress(0), 0x3F70u);
  EXPECT_EQ(VdEntryAddress(15), 0x3FBBu);
  EXPECT_EQ(EccEntryAddress(1), 0x3FC0u);
  EXPECT_EQ(EccEntryAddress(16), 0x3FFCu);
  EXPECT_EQ(EccMarkerAddress(16), 0x3FFFu);
  const VdEntry vd{0x0417, 0x0123, kTypeConfig};
  EXPECT_EQ(vd.Pack(), (std::array<std::uint8_t, 5>{0x04, 0x17, 0x01, 0x23, 0xAA}));
  EXPECT_EQ(VdEntry::Unpack(vd.Pack()), vd);
  const EccEntry ecc{0x0102, 0x33, kMarkerInUse};
  EXPECT_EQ(ecc.Pack(), (std::array<std::uint8_t, 4>{0x01, 0x02, 0x33, 0x5A}));
  EXPECT_EQ(EccEntry::Unpack(ecc.Pack()), ecc);
}

struct SpaceCase {
  const char* name;
  std::vector<std::uint8_t> table;
  std::uint32_t used;
  std::uint32_t freeEntries;
  Block code;
  Block config;
};

TEST(OtpLayoutTest, SpaceFiguresAndNewestBlocks) {
  const SpaceCase cases[] = {
      {"blank", VdTable({}), 0, 16, {}, {}},
      {"code and config", VdTable({{0, 0, 100, 0x55}, {1, 100, 50, 0xAA}}), 150, 14, {0, 100}, {100, 50}},
      {"second download retired the first",
       VdTable({{0, 0, 100, 0xFF}, {1, 100, 50, 0xFF}, {2, 150, 100, 0x55}, {3, 250, 50, 0xAA}}), 300, 12, {150, 100},
       {250, 50}},
      {"dead entry on top", VdTable({{0, 0, 100, 0x55}, {1, 100, 30, 0xFF}}), 130, 14, {0, 100}, {}},
      // A config block of the same length above the code entry must not lend it its start.
      {"same length, other kind", VdTable({{0, 0, 60, 0x55}, {1, 60, 60, 0xAA}}), 120, 14, {0, 60}, {60, 60}},
      // The newest entry retired whole names no area: neither wrap nor 0.
      {"newest retired whole", VdTable({{0, 0, 100, 0x55}, {1, 0xFFFF, 0xFFFF, 0xFF}}), 100, 14, {0, 100}, {}},
      {"entry reaching into the tables", VdTable({{0, 0x3F00, 0x100, 0x55}}), 16224, 15, {}, {}},
      {"all entries used", [] {
         std::vector<std::uint8_t> t(kVdTableSize, 0xFF);
         return t;
       }(),
       0, 0, {}, {}},
  };
  for (const SpaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(UsedSpace(c.table), c.used);
    EXPECT_EQ(FreeSpace(c.table), kCodeAreaSize - c.used);
    EXPECT_EQ(FreeEntryCount(c.table), c.freeEntries);
    EXPECT_EQ(LatestBlock(c.table, PartKind::Code), c.code);
    EXPECT_EQ(LatestBlock(c.table, PartKind::Config), c.config);
  }
}

TEST(OtpLayoutTest, ConsumedLengthOfAFailedPart) {
  struct Case {
    std::uint16_t start, stop, length, consumed;
  };
  for (const Case& c : {Case{0x100, kNoAddress, 0x80, 0x80}, Case{0x100, 0x140, 0x80, 0x40},
                        Case{0x100, 0x100, 0x80, 0x00}, Case{0x100, 0x180, 0x80, 0x80},
                        Case{0x100, 0x0FF, 0x80, 0x80}, Case{0x100, 0x181, 0x80, 0x80},
                        Case{0x100, 0x3F00, 0x80, 0x80}}) {
    EXPECT_EQ(ConsumedLength(c.start, c.stop, c.length), c.consumed) << std::hex << c.stop;
  }
}

TEST(OtpLayoutTest, EccTableAppliedInOrderLaterEntriesWin) {
  std::vector<std::uint8_t> table(kEccTableSize, 0);
  auto put = [&](int n, EccEntry e) {
    auto p = e.Pack();
    std::copy(p.begin(), p.end(), table.begin() + (n - 1) * 4);
  };
  put(1, {0x0101, 0x11, kMarkerInUse});
  put(2, {0x0102, 0x22, kMarkerInvalid});  // invalidated: ignored
  put(3, {0x0101, 0x33, kMarkerInUse});    // later entry for the same byte wins
  put(4, {0x0103, 0x00, kMarkerInUse});    // a reserved value 0 is applied too
  put(5, {0x00FF, 0x44, kMarkerInUse});    // outside the bytes
  put(16, {0x0104, 0x55, kMarkerInUse});
  std::vector<std::uint8_t> bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4};
  ApplyEccTable(table, 0x0100, bytes);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0xA0, 0x33, 0xA2, 0x00, 0x55}));
}

TEST(OtpLayoutTest, WrittenRunOfEightNonZeroBytes) {
  std::vector<std::uint8_t> seven{1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_FALSE(FindWrittenRun(seven, 0x100, 0x200));
  std::vector<std::uint8_t> eight(12, 0);
  std::fill(eight.begin() + 3, eight.begin() + 11, 7);
  EXPECT_EQ(FindWrittenRun(eight, 0x100, 0x200), 0x103u);
  EXPECT_FALSE(FindWrittenRun(eight, 0x100, 0x10A)) << "a run must end before the end";
}

TEST(OtpLayoutTest, ImageWithCodeRecordGivesTwoPartsThatJoinBack) {
  const std::vector<std::uint8_t> image = OtpImage(1024);
  const std::uint16_t total = static_cast<std::uint16_t>(image[3] | image[4] << 8);
  ImageParts parts = BuildImageParts(image);
  ASSERT_TRUE(parts.valid);
  ASSERT_TRUE(parts.code && parts.config);
  const std::vector<std::uint8_t>& code = *parts.code;
  const std::vector<std::uint8_t>& config = *parts.config;
  const std::size_t r = 4 + 4 + 1024;  // extended header, offset and length words, data
  ASSERT_EQ(code.size(), 15 + r);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 2, code.begin()));
  EXPECT_EQ(code[2], 21 << 3 | 3);
  EXPECT_EQ(code[3] | code[4] << 8, static_cast<int>(code.size()));
  EXPECT_EQ(code[5], 3);
  EXPECT_TRUE(std::equal(image.begin() + 6, image.begin() + 15 + static_cast<std::ptrdiff_t>(r), code.begin() + 6));

  ASSERT_EQ(config.size(), total - r);
  EXPECT_EQ(config[2], 21 << 3 | 1);
  EXPECT_EQ(config[3] | config[4] << 8, static_cast<int>(config.size()));
  EXPECT_TRUE(std::equal(image.begin() + 15 + static_cast<std::ptrdiff_t>(r), image.begin() + total, config.begin() + 15));
  // The header's record number counts what the part holds, special records included.
  const Counted counted = CountRecords(config);
  EXPECT_EQ(counted.declared, counted.walked);
  EXPECT_EQ(counted.declared, image[5] - 1);

  auto joined = JoinBlocks(code, config);
  ASSERT_TRUE(joined);
  std::vector<std::uint8_t> expected(image.begin(), image.begin() + total);
  expected[2] = 21 << 3 | 2;
  EXPECT_EQ(*joined, expected) << "the original area, flags 2";
  EXPECT_EQ(JoinBlocks(code, {}), code);
  EXPECT_EQ(JoinBlocks({}, config), config);
  EXPECT_FALSE(JoinBlocks({}, {}));
  EXPECT_FALSE(JoinBlocks(code, std::span(config).first(10))) << "too short to carry a header";
}

TEST(OtpLayoutTest, ImageWithoutCodeRecordIsOneConfigurationPartUnchanged) {
  const std::vector<std::uint8_t> image = OtpImage(std::nullopt);
  const std::uint16_t total = static_cast<std::uint16_t>(image[3] | image[4] << 8);
  ImageParts parts = BuildImageParts(image);
  ASSERT_TRUE(parts.valid);
  EXPECT_FALSE(parts.code);
  ASSERT_TRUE(parts.config);
  EXPECT_EQ(*parts.config, std::vector<std::uint8_t>(image.begin(), image.begin() + total));
}

TEST(OtpLayoutTest, AreasThePartsCannotBeCutFromAreRefused) {
  const std::vector<std::uint8_t> good = OtpImage(64);
  struct Case {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> spoil;
  };
  const Case cases[] = {
      {"no signature", [](auto& a) { a[1] = 0x00; }},
      // Without the EEPROM-info record the first 15 bytes are not header and specials.
      {"no EEPROM-info record", [](auto& a) { a[12] = 0x07; }},
      {"code record not first", [](auto& a) {
         // The record behind the code record moved in front of it.
         const std::size_t at = 15 + 72;
         const std::size_t length = a[at];
         std::vector<std::uint8_t> moved(a.begin() + at, a.begin() + at + length);
         a.erase(a.begin() + at, a.begin() + at + length);
         a.insert(a.begin() + 15, moved.begin(), moved.end());
       }},
      {"more records declared than present", [](auto& a) { a[5] = 40; }},
      {"total length beyond the bytes", [](auto& a) { a.resize(40); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> area = good;
    c.spoil(area);
    EXPECT_FALSE(BuildImageParts(area).valid);
  }
}

TEST(OtpLayoutTest, UsageFiguresAndTexts) {
  struct Case {
    std::uint32_t used, freeEntries;
    PerDownload per;
    Usage usage;
  };
  // The times are the downloads the batch mode takes one after the other: each
  // needs more than four free entries and more than 5 KB free, and room for itself.
  for (const Case& c : {Case{0, 16, {1200, 2}, {0, 16224, 6}},         // two entries a download: at 16 .. 6
                        Case{0, 16, {1000, 1}, {0, 16224, 12}},        // one entry a download: at 16 .. 5
                        Case{10000, 16, {1000, 1}, {10000, 6224, 2}},  // at 6224 and 5224 bytes, not 4224
                        Case{0, 5, {100, 2}, {0, 16224, 1}},           // five entries: one download leaves three
                        Case{12000, 12, {1200, 2}, {12000, 4224, 0}},  // 5 KB or less is refused
                        Case{16224 - 5200, 16, {6000, 2}, {16224 - 5200, 5200, 0}},  // too big to fit
                        Case{0, 16, {0, 1}, {0, 16224, 0}},            // no image
                        Case{20000, 3, {100, 1}, {16224, 0, 0}}}) {     // never wraps
    const Usage u = UsageFigures(c.used, c.freeEntries, c.per);
    EXPECT_EQ(u.used, c.usage.used);
    EXPECT_EQ(u.free, c.usage.free);
    EXPECT_EQ(u.times, c.usage.times) << c.used << " " << c.per.bytes;
  }
  const Usage u{2088, 14136, 5};
  EXPECT_EQ(UsageLine(u, true), "Used OTP Space: 2.04 KB Free OTP Space: 13.80 KB Remaining Programmable Times: 5.");
  EXPECT_EQ(UsageLine(u, false), "Used OTP Space: 2.04 KB, Remain OTP Space: 13.80 KB.");
  EXPECT_EQ(UsageLines(u), "Used OTP Space: 2.04 KB\nFree OTP Space: 13.80 KB\nRemaining Programmable Times: 5.");
}

}  // namespace
}  // namespace quillon::otp
