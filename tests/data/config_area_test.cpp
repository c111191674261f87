// The configuration-area layouts, record classes, reader (walk) and builder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/config_builder.h"
#include "data/config_descriptor.h"
#include "data/config_reader.h"
#include "data/config_record.h"
#include "image_fixture.h"

namespace quillon {
namespace {

using testing::Area;
using testing::Bytes;
using testing::Cat;
using testing::StringRecord;

TEST(ConfigRecordTest, HeaderPacksAndUnpacks) {
  ConfigHeader header{0x55, 0xA5, 0x05, 24, 0x0123, 9};
  auto bytes = PackConfigHeader(header);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), (Bytes{0x55, 0xA5, 24 << 3 | 5, 0x23, 0x01, 9}));
  auto back = UnpackConfigHeader(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->chipCode, 24);
  EXPECT_EQ(back->flags, 5);
  EXPECT_EQ(back->totalLength, 0x0123);
  EXPECT_FALSE(UnpackConfigHeader(std::span(bytes).first(5)));
}

TEST(ConfigRecordTest, RecordHeaderForms) {
  struct Case {
    Bytes bytes;
    std::uint8_t chip;
    bool read;
    std::uint8_t type;
    std::uint16_t length;
    RecordForm form;
  };
  const Case cases[] = {
      {{0x08, 0x04}, 21, true, 4, 8, RecordForm::Normal},
      {{0xFF, 0xE7, 0x34, 0x12}, 21, true, 39, 0x1234, RecordForm::Extended},
      {{0xFF, 0xE7, 0x34}, 21, false, 0, 0, RecordForm::Normal},  // extended header cut short
      {{0xFE, 0xE7}, 21, true, 0xE7, 0xFE, RecordForm::Normal},   // 10-bit value not 0x3FF
      {{0xFF, 0xC5}, 21, true, 0xC5, 0xFF, RecordForm::Normal},   // bits 7..6 set, not type 39
      {{0x2C, 0x5B}, 17, true, 27, 0x12C, RecordForm::Codec10},   // codec record of 300 bytes
      {{0x2C, 0x5B}, 21, true, 0x5B, 0x2C, RecordForm::Normal},   // the same bytes under another chip
      {{0xFF, 0x50, 0x0E, 0x00}, 21, true, 0x50, 14, RecordForm::Prefixed},  // the carried-over record
      {{0xFF, 0x50, 0x0E}, 21, false, 0, 0, RecordForm::Normal},
      {{0x08}, 21, false, 0, 0, RecordForm::Normal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    auto header = UnpackRecordHeader(c.bytes, c.chip);
    ASSERT_EQ(header.has_value(), c.read);
    if (!c.read) continue;
    EXPECT_EQ(header->type, c.type);
    EXPECT_EQ(header->length, c.length);
    EXPECT_EQ(header->form, c.form);
    Bytes packed(c.bytes.size());
    ASSERT_EQ(PackRecordHeader(packed, *header), c.bytes.size());
    EXPECT_EQ(packed, c.bytes);
  }
}

// A valid record of every class the table gives `chip`, in table order.
std::vector<Bytes> KnownRecords(std::uint8_t chip) {
  std::vector<Bytes> records;
  for (std::uint8_t type : {1, 2, 3, 6, 7}) records.push_back(StringRecord(type, "Text " + std::to_string(type)));
  records.push_back({8, 4, 0x7C, 0x3A, 0x11, 0x00, 0x01, 0x00});
  for (int type = 8; type <= 74; ++type) {
    const std::size_t length = FixedRecordLength(static_cast<std::uint8_t>(type), chip);
    if (length == 0 || type == record_type::kVidPid || type == record_type::kCodeInfo) continue;
    Bytes record = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(type)};
    for (std::size_t i = 2; i < length; ++i) record.push_back(static_cast<std::uint8_t>(type * 7 + i));
    records.push_back(record);
  }
  if (chip == 17) {
    for (std::uint8_t type = 27; type <= 33; ++type) {
      const std::size_t length = type == 27 ? 300 : 10 + type;  // one needs the 10-bit length
      Bytes record = {static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>((length >> 8) << 6 | type)};
      for (std::size_t i = 2; i < length - 2; ++i) record.push_back(static_cast<std::uint8_t>(i));
      record.push_back(0xBE);
      record.push_back(0xEF);
      records.push_back(record);
    }
  }
  return records;
}

// An area holding every known record of `chip`, with the version and
// EEPROM-info records, a small-cache record (chips 21 and 24) and a code-info
// record whose code follows the records, laid out as the builder lays it out.
Bytes FullArea(std::uint8_t chip) {
  Bytes body = {6, 0x2F, 0, 0, 0x61, 0x10, 3, 8, 0x42};
  body[2] = static_cast<std::uint8_t>(IcNumberOfChipCode(chip) & 0xFF);
  body[3] = static_cast<std::uint8_t>(IcNumberOfChipCode(chip) >> 8);
  std::size_t count = 2;
  if (chip != 17) {
    const std::uint16_t dataOffset = 6 + 9 + 8;
    Bytes cache = {0xFF, 0xE7, 8 + 5, 0, dataOffset, 0, 5, 0, 1, 2, 3, 4, 5};
    body.insert(body.end(), cache.begin(), cache.end());
    ++count;
  }
  for (const Bytes& record : KnownRecords(chip)) {
    body.insert(body.end(), record.begin(), record.end());
    ++count;
  }
  const std::size_t codeInfoAt = body.size();
  body.insert(body.end(), {6, 15, 0, 0, 4, 0});
  ++count;
  const auto total = static_cast<std::uint16_t>(6 + body.size());
  body[codeInfoAt + 2] = static_cast<std::uint8_t>(total & 0xFF);
  body[codeInfoAt + 3] = static_cast<std::uint8_t>(total >> 8);
  Bytes area = {0x55, 0xA5, static_cast<std::uint8_t>(chip << 3 | 2), static_cast<std::uint8_t>(total & 0xFF),
                static_cast<std::uint8_t>(total >> 8), static_cast<std::uint8_t>(count)};
  area.insert(area.end(), body.begin(), body.end());
  area.insert(area.end(), {0xC0, 0xDE, 0xC0, 0xDE});  // the code bytes
  return area;
}

// Reads `area` and writes every record back through a builder.
Bytes Rebuild(const Bytes& area, std::vector<std::string>* classes = nullptr) {
  CDescGlobal reader;
  reader.SetCopy(area);
  reader.ParseHeader();
  const ConfigHeader header = *reader.ParseHeader();
  CDescBuilder builder;
  builder.InitFromHeader(reader, header, true);
  WalkResult walk = WalkConfigArea(reader, [&](CDescriptor& record) {
    if (classes != nullptr) classes->push_back(record.ClassName());
    return builder.AddDescriptor(record);
  });
  EXPECT_EQ(walk, WalkResult::Done);
  Bytes out(area.size() + 256, 0xFF);
  EXPECT_TRUE(builder.GetConfigData(out, out.size()));
  out.resize(builder.TotalLength() + builder.CodeLength());
  return out;
}

class RoundTripTest : public ::testing::TestWithParam<std::uint8_t> {};

TEST_P(RoundTripTest, EveryKnownRecordIsWrittenBackByteForByte) {
  const Bytes area = FullArea(GetParam());
  std::vector<std::string> classes;
  EXPECT_EQ(Rebuild(area, &classes), area);
  EXPECT_EQ(std::count(classes.begin(), classes.end(), "CDescDummy"), 0) << ::testing::PrintToString(classes);
  EXPECT_EQ(classes.size(), static_cast<std::size_t>(area[5]) - 2);
}

INSTANTIATE_TEST_SUITE_P(ChipCodes, RoundTripTest, ::testing::Values(17, 21, 24));

TEST(RoundTripTest, StringEndsAtItsEmbeddedLengthAndKeepsTheRest) {
  const Bytes record = {8, 3, 4, 3, 'a', 'b', 0, 0};
  const Bytes area = Area(0x55, 21, {{6, 0x2F, 0x04, 0x77, 0x60, 0x10}, record});
  CDescGlobal reader;
  reader.SetCopy(area);
  std::string text;
  WalkConfigArea(reader, [&](CDescriptor& r) {
    text = dynamic_cast<CDescString&>(r).Text();
    return true;
  });
  EXPECT_EQ(text, "ab");
  EXPECT_EQ(Rebuild(area), area);
}

TEST(RoundTripTest, RecordsThatDoNotFitTheirClassAreCarriedOverUnchanged) {
  const std::vector<Bytes> misfits = {
      {10, 4, 1, 2, 3, 4, 5, 6, 7, 8},        // vendor/product record of 10 bytes
      {7, 1, 9, 3, 'a', 'b', 'c'},            // embedded length longer than the record
      {7, 1, 1, 3, 'a', 'b', 'c'},            // embedded length below its own header
      {9, 39, 0, 0, 1, 0, 0xAA, 0xBB, 0xCC},  // small-cache record in the plain form
      {3, 64, 0x11},                          // audio record cut short
      {5, 0x99, 1, 2, 3},                     // unknown type
      {0xFF, 0x50, 6, 0, 'C', 'A'},           // the record the flash download carries over
  };
  for (const Bytes& misfit : misfits) {
    SCOPED_TRACE(::testing::PrintToString(misfit));
    const Bytes area = Area(0x55, 21, {{6, 0x2F, 0x04, 0x77, 0x60, 0x10}, misfit, StringRecord(2, "P")});
    std::vector<std::string> classes;
    EXPECT_EQ(Rebuild(area, &classes), area);
    EXPECT_EQ(classes.front(), "CDescDummy");
  }
}

struct WalkCase {
  const char* name;
  Bytes area;
  WalkResult result;
  int visited;
};

TEST(WalkTest, CountsAndCorruption) {
  const Bytes s1 = StringRecord(1, "M");
  const Bytes s2 = StringRecord(2, "P");
  const WalkCase cases[] = {
      {"exact number", Area(0x55, 21, {s1, s2}), WalkResult::Done, 2},
      {"number too large", Area(0x55, 21, {s1, s2}, 3), WalkResult::Corrupted, 2},
      {"number too small reads on", Area(0x55, 21, {s1, s2}, 1), WalkResult::Done, 2},
      {"record past the data", Cat({Area(0x55, 21, {s1}, 2, 6 + 5 + 8), {8, 2, 6}}), WalkResult::Corrupted, 1},
      {"zero length", Area(0x55, 21, {s1, {0, 2, 1, 1}}), WalkResult::Corrupted, 1},
      {"extended length under its header", Area(0x55, 21, {{0xFF, 0xE7, 2, 0}}), WalkResult::Corrupted, 0},
      {"total length ends the records", Area(0x55, 21, {s1, s2}, 1, 6 + 5), WalkResult::Done, 1},
      {"header only", Area(0x55, 21, {}), WalkResult::Done, 0},
      // Its length is in the two bytes behind the type, not in the 0xFF.
      {"carried-over record", Area(0x55, 21, {s1, {0xFF, 0x50, 6, 0, 1, 2}, s2}), WalkResult::Done, 3},
  };
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.name);
    CDescGlobal reader;
    reader.SetCopy(c.area);
    int visited = 0;
    EXPECT_EQ(WalkConfigArea(reader,
                             [&](CDescriptor&) {
                               ++visited;
                               return true;
                             }),
              c.result);
    EXPECT_EQ(visited, c.visited);
  }
  CDescGlobal tooShort;
  const Bytes five = {0x55, 0xA5, 0, 6, 0};
  tooShort.SetCopy(five);
  EXPECT_EQ(WalkConfigArea(tooShort, nullptr), WalkResult::NoHeader);
}

TEST(WalkTest, LeadingVersionRecordIsConsumedOnlyFirst) {
  // Chip code 17 knows type 0x2F as an 18-byte endpoint record; a first record
  // of length 6 is still the version record, a later one is walked.
  const Bytes version = {6, 0x2F, 0x02, 0x77, 0x34, 0x12};
  const Bytes eeprom = {3, 8, 0x5A};
  const Bytes area = Area(0x55, 17, {version, eeprom, StringRecord(1, "M"), version});
  CDescGlobal reader;
  reader.SetCopy(area);
  ASSERT_NE(reader.ParseHeader(), nullptr);
  ASSERT_NE(reader.ParseHeader(), nullptr);
  EXPECT_EQ(reader.RecordNumber(), 2);
  EXPECT_EQ(reader.VersionWord(), 0x1234);
  EXPECT_EQ(reader.EepromInfo(), 0x5A);
  std::vector<int> types;
  EXPECT_EQ(WalkConfigArea(reader,
                           [&](CDescriptor& record) {
                             types.push_back(record.Type());
                             return true;
                           }),
            WalkResult::Done);
  EXPECT_EQ(types, (std::vector<int>{1, 0x2F}));
}

TEST(WalkTest, ReaderNeverLooksPastItsLimit) {
  // Records are stepped over up to the end of the 0x20000-byte copy; the last
  // one would fit in the image but not in the copy.
  Bytes image(kConfigCopyLimit + 0x100, 0x00);
  const Bytes area = Area(0x55, 21, {}, 1, 6);
  std::copy(area.begin(), area.end(), image.begin());
  for (std::size_t at = 6; at + 2 <= kConfigCopyLimit; at += 0xFF) {
    image[at] = 0xFF;
    image[at + 1] = 0x99;
  }
  CDescGlobal reader;
  reader.SetCopy(image);
  EXPECT_EQ(reader.CopiedBytes(), kConfigCopyLimit);
  EXPECT_EQ(WalkConfigArea(reader, nullptr), WalkResult::Corrupted);
  EXPECT_LE(reader.Cursor(), kConfigCopyLimit);
}

TEST(BuilderTest, VersionRecordAndMargin) {
  ConfigHeader old{0x11, 0xA5, 1, 21, 0, 0};
  CDescBuilder builder;
  builder.InitFromHeader(old, true, 0, std::nullopt);  // old word 0 becomes 0x1060
  CDescString text(1, "CDescStringManu");
  ASSERT_TRUE(text.SetString("AB"));
  ASSERT_TRUE(builder.AddDescriptor(text));
  const std::size_t need = builder.TotalLength();
  Bytes out(need, 0);
  EXPECT_FALSE(builder.GetConfigData(out, need + kConfigDataMargin - 1));
  ASSERT_TRUE(builder.GetConfigData(out, need + kConfigDataMargin));
  EXPECT_EQ(out, (Bytes{0x11, 0xA5, 21 << 3 | 1, 18, 0, 2, 6, 0x2F, 0x04, 0x77, 0x60, 0x10, 6, 1, 4, 3, 'A', 'B'}));
}

TEST(BuilderTest, RecordsWithoutTheirBytesAreRefused) {
  CDescBuilder builder;
  builder.InitFromHeader(ConfigHeader{0x55, 0xA5, 0, 21, 0, 0}, true, 0x1060, std::nullopt);
  EXPECT_FALSE(builder.AddDescriptor(CDescCodeInfo()));
  EXPECT_FALSE(builder.AddDescriptor(CDescSmallCachecode()));
  CDescString text(3, "CDescStringSN");
  EXPECT_TRUE(text.SetString(std::string(48, 'x')));
  EXPECT_FALSE(text.SetString(std::string(49, 'x')));
  EXPECT_EQ(text.Text().size(), 48u);
}

TEST(BuilderTest, CodeNamedOutsideTheDataCannotBeWrittenBack) {
  const Bytes area = Area(0x55, 21, {{6, 15, 0x00, 0x10, 4, 0}});  // code at 0x1000, past the area
  CDescGlobal reader;
  reader.SetCopy(area);
  std::vector<bool> hasCode;
  EXPECT_EQ(WalkConfigArea(reader,
                           [&](CDescriptor& record) {
                             hasCode.push_back(dynamic_cast<CDescCodeInfo&>(record).HasCode());
                             return true;
                           }),
            WalkResult::Done);
  EXPECT_EQ(hasCode, std::vector<bool>{false});
}

}  // namespace
}  // namespace quillon
