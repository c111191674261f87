// The full download's own steps on simulated chips: the serial number written
// into the programmed area, the record carried over from the chip for its one
// customer device, the reset options, and the ROM entry of the chip variants
// that need special handling.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <ostream>

#include "data/config_image.h"
#include "data/config_reader.h"
#include "device/cam_dev.h"
#include "flow/command_line_binding.h"
#include "flow/flash_flow.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "flow_fixture.h"
#include "data/image_fixture.h"
#include "platform/files.h"
#include "support/debug_lines.h"

namespace quillon {
namespace {

using testing::OpText;

using testing::FlowFixture;
using testing::IsCommandBlock;
using testing::RecordingWindow;

constexpr std::size_t kArea = 0xF000;

class FlashDownloadTest : public FlowFixture {
 protected:
  void TearDown() override {
    SetMainWindow(nullptr);
    FlowFixture::TearDown();
  }
  // A chip made from `config` whose flash holds `onChip` (running it when it
  // starts), opened, with `toWrite` bound as the command line binds a file.
  std::string Prepare(sim::ChipConfig config, const std::vector<std::uint8_t>& onChip,
                      const std::vector<std::uint8_t>& toWrite) {
    chip = &AddChipWith(config, onChip);
    const std::string path = WriteImageFile("image.rfw", toWrite);
    OpenFirst();
    EXPECT_EQ(BindCommandLineImage(path), 1);
    flow = TheFlow();
    return path;
  }
  std::span<const std::uint8_t> Flash() const { return chip->state().memory.bytes(); }
  std::span<const std::uint8_t> FlashArea() const { return Flash().subspan(kArea, 0x1000); }
  bool Erased() {
    const auto commands = WireCommands();
    return std::any_of(commands.begin(), commands.end(),
                       [](const auto& c) { return c.op == OpText(sim::Op::kSpiEraseChip); });
  }

  // The next run on the same chip: opened again, the file bound, written; it
  // passes with the record in the area and the kept copy gone.
  void RetryCarriesTheRecord(const std::string& path, const std::filesystem::path& kept,
                             std::span<const std::uint8_t> payload, std::vector<Answer> answers = {}) {
    flow->MP_CloseDevice();
    VxCam_CloseDevice();
    testing::RecordingPrompt prompt;
    prompt.answers = std::move(answers);
    OpenFirst();
    ASSERT_EQ(BindCommandLineImage(path), 1);
    flow = TheFlow();
    EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
    EXPECT_EQ(LastStatus(), 0u);
    EXPECT_TRUE(prompt.shown.empty()) << "no \"SPI code not exist.\"";
    std::vector<std::uint8_t> record = {0xFF, 0x50, static_cast<std::uint8_t>(payload.size() + 4), 0x00};
    record.insert(record.end(), payload.begin(), payload.end());
    EXPECT_NE(std::search(FlashArea().begin(), FlashArea().end(), record.begin(), record.end()), FlashArea().end());
    EXPECT_FALSE(std::filesystem::exists(kept));
    EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
  }

  sim::SimChip* chip = nullptr;
};

ConfigTexts TextsOf(std::span<const std::uint8_t> image) {
  ConfigAreaResults results;
  EXPECT_TRUE(ReadImageConfig(CurrentAreaContext(), image, results));
  return results.texts;
}

// The code bytes that the area's code-information record names.
std::vector<std::uint8_t> NamedCode(std::span<const std::uint8_t> area) {
  CDescGlobal reader;
  reader.SetCopy(area);
  std::vector<std::uint8_t> code;
  WalkConfigArea(reader, [&](CDescriptor& record) {
    if (auto* info = dynamic_cast<CDescCodeInfo*>(&record)) {
      code.assign(info->Code().begin(), info->Code().end());
      return false;
    }
    return true;
  });
  return code;
}

// ---- the serial number ----

struct SerialCase {
  const char* name;
  const char* ic;
  const char* settings;
  std::string serial;
  std::string manufacturer;  // expected texts of records 1 and 3 in the chip
  std::string serialRecord;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const SerialCase& c, std::ostream* os) { *os << c.name; }

class SerialNumberTest : public FlashDownloadTest, public ::testing::WithParamInterface<SerialCase> {};

// The serial number reaches the chip's area in the record the settings choose;
// the other string record and the code are what the file holds, and the chip
// starts the new image.
TEST_P(SerialNumberTest, LandsInTheChosenRecordOfTheProgrammedArea) {
  const SerialCase& c = GetParam();
  UseSettings(c.settings);
  const auto family = std::string(c.ic) == "tq7702" ? sim::IcFamily::kTq7702 : sim::IcFamily::kTq7704;
  auto old = MakeImage(c.ic);
  old[0x2000] ^= 0xFF;  // the chip holds another image
  const auto file = MakeImage(c.ic);
  const std::string path = Prepare({.ic = family}, old, file);

  EXPECT_EQ(flow->DEV_Silence_WriteSNBin(path, c.serial), 1);
  EXPECT_EQ(LastStatus(), 0u);
  const ConfigTexts texts = TextsOf(Flash());
  EXPECT_EQ(texts.manufacturer, c.manufacturer);
  EXPECT_EQ(texts.serialNumber, c.serialRecord);
  EXPECT_EQ(texts.vidPid, "VID_3A7C&PID_0011");
  const std::size_t area = CurrentAreaContext().configAddress;
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(area), Flash().begin()))
      << "code outside the area";
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
  // The file on disk is not rewritten.
  EXPECT_EQ(*ReadWholeFile(path), file);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SerialNumberTest,
    ::testing::Values(
        SerialCase{"Off", "tq7704", "SaveSN=0\r\nSN Address=1\r\n", "SN-42", "Quillon Audio", "QL0000000001"},
        SerialCase{"ManufacturerRecord", "tq7704", "SaveSN=1\r\nSN Address=0\r\nSN Function=1\r\n", "SN-42", "SN-42",
                   "QL0000000001"},
        SerialCase{"SerialRecord", "tq7704", "SaveSN=1\r\nSN Address=0x40\r\n", "SN-42", "Quillon Audio", "SN-42"},
        SerialCase{"SerialRecordWithBell", "tq7704", "SaveSN=1\r\nSN Address=1\r\nSN Function=1\r\n", "SN-42",
                   "Quillon Audio", "\x07SN-42"},
        SerialCase{"LongestSerial", "tq7704", "SaveSN=1\r\nSN Address=1\r\n", std::string(48, 'Q'), "Quillon Audio",
                   std::string(48, 'Q')},
        // The TQ7702 flow writes the tag last; it must still hold the serial number's area.
        SerialCase{"Tq7702", "tq7702", "SaveSN=1\r\nSN Address=1\r\n", "SN-7702", "Quillon Audio", "SN-7702"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashDownloadTest, Tq7702SerialNumberKeepsTheTagWrittenLast) {
  UseSettings("SaveSN=1\r\nSN Address=1\r\n");
  const auto file = MakeImage("tq7702");
  const std::string path = Prepare({.ic = sim::IcFamily::kTq7702}, {}, file);
  EXPECT_EQ(flow->DEV_Silence_WriteSNBin(path, "SN-1"), 1);
  EXPECT_EQ(Flash()[0xEFFE], 0x55);
  EXPECT_EQ(Flash()[0xEFFF], 0xAA);
  EXPECT_EQ(TextsOf(Flash()).serialNumber, "SN-1");
}

struct SerialFailure {
  const char* name;
  const char* settings;
  std::string serial;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const SerialFailure& c, std::ostream* os) { *os << c.name; }

class SerialNumberFailureTest : public FlashDownloadTest, public ::testing::WithParamInterface<SerialFailure> {};

// A serial number that cannot be stored stops the download before the chip is
// touched: 41713 once, the old image still in flash and running.
TEST_P(SerialNumberFailureTest, GivesSaveSnFailAndLeavesTheChipAlone) {
  const SerialFailure& c = GetParam();
  UseSettings(c.settings);
  auto old = MakeImage("tq7704");
  old[0x2000] ^= 0xFF;
  const std::string path = Prepare({}, old, MakeImage("tq7704"));
  RecordingWindow window;
  SetMainWindow(&window);
  MarkWire();
  EXPECT_EQ(flow->DEV_Silence_WriteSNBin(path, c.serial), 0);
  EXPECT_EQ(LastStatus(), msg::kSaveSnFail);
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 1);
  EXPECT_EQ(window.Count(WM_FLOW_PASS), 0);
  EXPECT_FALSE(Erased());
  EXPECT_TRUE(std::equal(old.begin(), old.end(), Flash().begin()));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialNumberFailureTest,
    ::testing::Values(SerialFailure{"TooLongForRecord1", "SaveSN=1\r\nSN Address=0\r\n", std::string(49, 'Q')},
                      SerialFailure{"TooLongForRecord3", "SaveSN=1\r\nSN Address=1\r\n", std::string(49, 'Q')},
                      // The leading U+0007 counts against the 48 characters.
                      SerialFailure{"BellMakesItTooLong", "SaveSN=1\r\nSN Address=1\r\nSN Function=1\r\n",
                                    std::string(48, 'Q')},
                      // No number at all must not blank the manufacturer or serial text.
                      SerialFailure{"NoSerialForRecord1", "SaveSN=1\r\nSN Address=0\r\n", ""},
                      SerialFailure{"NoSerialForRecord3", "SaveSN=1\r\nSN Address=1\r\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the preserved record ----

constexpr std::uint16_t kCustomerPid = 0x0022;
const std::vector<std::uint8_t> kPayload = {'C', 'A', 'L', '-', 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};

// The image with its area at 0xF000 replaced by a small one whose second record
// is the preserved record (0xFF, 0x50, u16 total length, payload).
std::vector<std::uint8_t> WithPreservedArea(std::vector<std::uint8_t> image, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> area = {0x55, 0xA5, 21 << 3, 0, 0, 3, 6, 0x2F, 0x04, 0x77, 0x60, 0x10};
  area.insert(area.end(), {0xFF, 0x50, static_cast<std::uint8_t>(payload.size() + 4), 0x00});
  area.insert(area.end(), payload.begin(), payload.end());
  area.insert(area.end(), {4, 0x02, 0xAB, 0xCD});  // a record behind it
  area[3] = static_cast<std::uint8_t>(area.size());
  std::fill(image.begin() + kArea, image.begin() + kArea + 0x1000, 0xFF);
  std::copy(area.begin(), area.end(), image.begin() + kArea);
  return image;
}

std::vector<std::uint8_t> PreservedRecord(std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> record = {0xFF, 0x50, static_cast<std::uint8_t>(payload.size() + 4), 0x00};
  record.insert(record.end(), payload.begin(), payload.end());
  return record;
}

// The customer's chip keeps its record: the new area holds everything of the
// file's area, the record behind the last one with the count raised, and the
// code that the area names is still the file's.
TEST_F(FlashDownloadTest, PreservedRecordIsAppendedToTheNewArea) {
  const auto file = MakeImage("tq7704", kCustomerPid);
  const std::string path = Prepare({.productId = kCustomerPid}, WithPreservedArea(file, kPayload), file);
  testing::RecordingPrompt prompt;

  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(LastStatus(), 0u);
  EXPECT_TRUE(prompt.shown.empty());
  const auto fileArea = std::span(file).subspan(kArea, 0x1000);
  const std::size_t end = fileArea[3] | fileArea[4] << 8;  // behind the file's last record
  const auto record = PreservedRecord(kPayload);
  EXPECT_EQ(FlashArea()[5], fileArea[5] + 1);
  const ConfigTexts texts = TextsOf(Flash());
  EXPECT_EQ(texts.vidPid, "VID_3A7C&PID_0022");
  EXPECT_EQ(texts.serialNumber, "QL0000000001");
  EXPECT_TRUE(std::equal(record.begin(), record.end(), FlashArea().begin() + static_cast<std::ptrdiff_t>(end)));
  EXPECT_EQ(NamedCode(FlashArea()), NamedCode(fileArea)) << "the code the area names";
  EXPECT_FALSE(NamedCode(fileArea).empty());
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + kArea, Flash().begin()));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
}

// A file that already has the record gets the chip's payload in its place.
TEST_F(FlashDownloadTest, PreservedRecordReplacesTheFilesOwn) {
  const std::vector<std::uint8_t> filePayload = {0xEE, 0xEE};
  const auto file = WithPreservedArea(MakeImage("tq7704", kCustomerPid), filePayload);
  const std::string path = Prepare({.productId = kCustomerPid}, WithPreservedArea(file, kPayload), file);
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  const auto expected = WithPreservedArea(file, kPayload);
  EXPECT_TRUE(std::equal(expected.begin() + kArea, expected.begin() + kArea + 0x1000, FlashArea().begin()));
}

struct NotCarried {
  const char* name;
  std::uint16_t pid;
  bool codeOnChip;
  std::size_t prompts;  // "SPI code not exist." shown
};
// Listings and failures name the case, not its bytes.
void PrintTo(const NotCarried& c, std::ostream* os) { *os << c.name; }

class PreservedRecordSkippedTest : public FlashDownloadTest, public ::testing::WithParamInterface<NotCarried> {};

// Another device, or a customer chip without code: the file is programmed as it is.
TEST_P(PreservedRecordSkippedTest, ProgramsTheFileUnchanged) {
  const NotCarried& c = GetParam();
  const auto file = MakeImage("tq7704", c.pid);
  const std::string path =
      Prepare({.productId = c.pid}, c.codeOnChip ? WithPreservedArea(file, kPayload) : std::vector<std::uint8_t>{}, file);
  testing::RecordingPrompt prompt;
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), Flash().begin()));
  ASSERT_EQ(prompt.shown.size(), c.prompts);
  if (c.prompts != 0) {
    EXPECT_EQ(prompt.shown[0], "SPI code not exist.");
  }
}

// The write of the file without a serial number (the batch mode's "-write"):
// with "SaveSN" set it ends with 41713 before the chip is touched.
TEST_F(FlashDownloadTest, SaveSnWithoutASerialNumberStopsThePlainWrite) {
  UseSettings("SaveSN=1\r\n");
  auto old = MakeImage("tq7704");
  old[0x2000] ^= 0xFF;
  const std::string path = Prepare({}, old, MakeImage("tq7704"));
  flow->chip.serialNumber.clear();
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), msg::kSaveSnFail);
  EXPECT_TRUE(WireCommands().empty()) << "no command reached the chip";
  EXPECT_TRUE(std::equal(old.begin(), old.end(), Flash().begin()));
  // A serial the chip's string cannot carry as printable text is refused the
  // same way, with a line that names the byte.
  {
    testing::RecordingPrompt prompt;
    flow->chip.serialNumber = "SN-7\n";
    MarkWire();
    EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
    EXPECT_EQ(LastStatus(), msg::kSaveSnFail);
    EXPECT_TRUE(WireCommands().empty()) << "no command reached the chip";
    EXPECT_TRUE(std::equal(old.begin(), old.end(), Flash().begin()));
    ASSERT_EQ(prompt.shown.size(), 1u);
    EXPECT_EQ(prompt.shown[0],
              "serial number \"SN-7\\x0A\" holds byte 0x0A at 4; only printable ASCII (0x20 to 0x7E) is written");
  }
  // The serial number the flow was given is written.
  flow->chip.serialNumber = "SN-7";
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(TextsOf(Flash()).manufacturer, "SN-7");
}

INSTANTIATE_TEST_SUITE_P(Cases, PreservedRecordSkippedTest,
                         ::testing::Values(NotCarried{"OtherDevice", 0x0011, true, 0},
                                           NotCarried{"BlankCustomerChip", kCustomerPid, false, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// Where the run keeps the chip's record until a write passes.
std::filesystem::path KeptRecordFile(const std::string& location) {
  return ProgramDir() / ("PreservedRecord_" + location + ".bin");
}

struct RecordFailure {
  const char* name;
  bool unreadable;  // the area cannot be read; else the file's area has no room for the record
};
// Listings and failures name the case, not its bytes.
void PrintTo(const RecordFailure& c, std::ostream* os) { *os << c.name; }

class PreservedRecordFailureTest : public FlashDownloadTest, public ::testing::WithParamInterface<RecordFailure> {};

// A record that cannot be read or placed stops the run before the ROM entry:
// 41704, nothing reset or erased, the chip still holds and runs its image.
TEST_P(PreservedRecordFailureTest, StopsBeforeTheRomEntry) {
  const RecordFailure& c = GetParam();
  const auto file = MakeImage("tq7704", kCustomerPid);
  const auto onChip = WithPreservedArea(file, kPayload);
  const std::string path = Prepare({.productId = kCustomerPid}, onChip, file);
  RecordingWindow window;
  SetMainWindow(&window);
  testing::RecordingPrompt prompt;
  if (c.unreadable) {
    hookBus->hook = [](testing::HookBus&, UsbHandle, const SetupPacket& s,
                       std::span<std::uint8_t> d) -> std::optional<TransferResult> {
      if (IsCommandBlock(s) && d.size() >= 8 && d[0] == 0x02 && d[1] == 0xC2) return TransferResult{31, 0};
      return std::nullopt;
    };
  }
  auto* spi = dynamic_cast<CSPIFlashInfo_USB*>(flow);
  ASSERT_NE(spi, nullptr);
  ASSERT_EQ(spi->DEV_ParseImage(file), 1);
  spi->chip.image.fileData = file;
  if (!c.unreadable) {
    // One record that fills the area to its end.
    auto area = std::span(spi->chip.image.fileData).subspan(kArea, 0x1000);
    std::fill(area.begin(), area.end(), 0xEE);
    const std::uint8_t header[] = {0x55, 0xA5, 21 << 3, 0xF6, 0x0F, 1, 0xFF, 0x02, 0xF0, 0x0F};
    std::copy(std::begin(header), std::end(header), area.begin());
  }
  MarkWire();
  testing::DebugLines debug;
  EXPECT_EQ(spi->FFU_Download(), 0);
  hookBus->hook = nullptr;
  EXPECT_EQ(LastStatus(), msg::kReadFlashFail);
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 1);
  const auto commands = WireCommands();
  EXPECT_TRUE(std::none_of(commands.begin(), commands.end(), [](const auto& w) {
    return w.op == OpText(sim::Op::kResetToUpdate) || w.op == OpText(sim::Op::kResetToRom) ||
           w.op == OpText(sim::Op::kSpiEraseChip) || w.op == OpText(sim::Op::kSpiWrite);
  }));
  EXPECT_TRUE(std::equal(onChip.begin(), onChip.end(), Flash().begin()));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
  // A record without room is named to the operator; no copy of it is kept.
  EXPECT_EQ(prompt.shown.size(), c.unreadable ? 0u : 1u);
  EXPECT_FALSE(std::filesystem::exists(KeptRecordFile(chip->state().location)));
  const auto texts = debug.texts();
  const char* line = c.unreadable ? "Read Preserved Record Fail" : "the preserved record does not fit";
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(line) != std::string::npos; }))
      << line;
}

INSTANTIATE_TEST_SUITE_P(Cases, PreservedRecordFailureTest,
                         ::testing::Values(RecordFailure{"UnreadableArea", true}, RecordFailure{"NoRoomInTheImage", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A variant chip whose first run failed after its ROM entry spoiled the area's
// type byte: the retry still finds the record on the chip (without the kept
// copy), and the pass removes the copy.
TEST_F(FlashDownloadTest, RetryOnASpoiledVariantChipKeepsTheRecord) {
  const auto file = MakeImage("tq7704", kCustomerPid);
  const std::string path = Prepare({.variant = 3, .productId = kCustomerPid}, WithPreservedArea(file, kPayload), file);
  const std::string location = chip->state().location;
  hookBus->hook = [](testing::HookBus&, UsbHandle, const SetupPacket& s,
                     std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (IsCommandBlock(s) && d.size() >= 8 && d[0] == 0x02 && d[1] == 0x04) return TransferResult{31, 0};
    return std::nullopt;
  };
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), msg::kEraseFlashFail);
  hookBus->hook = nullptr;
  ASSERT_EQ(FlashArea()[0], 0x00) << "the ROM entry spoiled the type byte";
  EXPECT_EQ(FlashArea()[1], 0xA5);
  ASSERT_TRUE(std::filesystem::exists(KeptRecordFile(location))) << "kept before the erase";
  std::filesystem::remove(KeptRecordFile(location));
  // The spoiled area still holds code, and its record.
  RetryCarriesTheRecord(path, KeptRecordFile(location), kPayload);
}

// The chip loses power once its flash is erased: the record is gone from the
// chip and kept as a copy. The retry does not guess that the record-less unit
// is the one the copy came from: it asks, and without a Yes it leaves the chip
// and the copy alone; with one the copy goes into the new image. Set aside,
// the copy keeps its bytes under another name.
TEST_F(FlashDownloadTest, PowerLossAfterTheEraseKeepsTheRecordForTheOperatorsWord) {
  const auto file = MakeImage("tq7704", kCustomerPid);
  const std::string path = Prepare({.productId = kCustomerPid}, WithPreservedArea(file, kPayload), file);
  const std::string location = chip->state().location;
  const auto blank = [&] { return std::all_of(Flash().begin(), Flash().end(), [](std::uint8_t b) { return b == 0xFF; }); };
  const auto cut = [&] {
    hookBus->hook = [erased = false](testing::HookBus& bus, UsbHandle h, const SetupPacket& s,
                                     std::span<std::uint8_t> d) mutable -> std::optional<TransferResult> {
      if (erased) return TransferResult{1167, 0};
      if (IsCommandBlock(s) && d.size() >= 8 && d[0] == 0x02 && d[1] == 0x04) {
        erased = true;
        return bus.Forward(h, s, d);
      }
      return std::nullopt;
    };
    EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
    hookBus->hook = nullptr;
    ASSERT_TRUE(blank());
    EXPECT_EQ(ReadWholeFile(KeptRecordFile(location)), kPayload);
    chip->PowerUp();
  };
  cut();
  {
    flow->MP_CloseDevice();
    VxCam_CloseDevice();
    testing::RecordingPrompt prompt;  // answers No, as the batch mode does
    OpenFirst();
    ASSERT_EQ(BindCommandLineImage(path), 1);
    flow = TheFlow();
    MarkWire();
    EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
    EXPECT_EQ(LastStatus(), msg::kRecordCopyPending);
    ASSERT_EQ(prompt.asked.size(), 2u);
    EXPECT_NE(prompt.asked[0].find("PreservedRecord_" + location + ".bin (10 bytes)"), std::string::npos);
    EXPECT_NE(prompt.asked[0].find("Write this copy into this unit?"), std::string::npos) << prompt.asked[0];
    EXPECT_NE(prompt.asked[1].find("Set the copy aside"), std::string::npos) << prompt.asked[1];
    const auto commands = WireCommands();
    EXPECT_TRUE(std::none_of(commands.begin(), commands.end(), [](const auto& w) {
      return w.op == "0007" || w.op == "0009" || w.op == "0204" || w.op == "0282";
    }));
    EXPECT_TRUE(blank());
    EXPECT_EQ(ReadWholeFile(KeptRecordFile(location)), kPayload);
  }
  RetryCarriesTheRecord(path, KeptRecordFile(location), kPayload, {Answer::Yes});

  // Cut once more; now the operator sets the copy aside: the unit is written
  // without the record, whose bytes stay in the renamed copy.
  cut();
  flow->MP_CloseDevice();
  VxCam_CloseDevice();
  testing::RecordingPrompt prompt;
  prompt.answers = {Answer::No, Answer::Yes};
  OpenFirst();
  ASSERT_EQ(BindCommandLineImage(path), 1);
  flow = TheFlow();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  const auto record = PreservedRecord(kPayload);
  EXPECT_EQ(std::search(FlashArea().begin(), FlashArea().end(), record.begin(), record.end()), FlashArea().end());
  EXPECT_FALSE(std::filesystem::exists(KeptRecordFile(location)));
  std::size_t setAside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ProgramDir())) {
    if (entry.path().filename().string().rfind(KeptRecordFile(location).filename().string() + ".aside-", 0) != 0) {
      continue;
    }
    ++setAside;
    EXPECT_EQ(ReadWholeFile(entry.path()), kPayload);
  }
  EXPECT_EQ(setAside, 1u);
}

// A copy at this port that holds other bytes than the chip's record is another
// unit's: keeping this unit's copy would replace it, so the run stops before
// the ROM entry. A copy of the chip's own bytes is this unit's and goes with
// the pass.
TEST_F(FlashDownloadTest, AnotherUnitsCopyAtThisPortIsNeverReplaced) {
  const auto file = MakeImage("tq7704", kCustomerPid);
  const auto onChip = WithPreservedArea(file, kPayload);
  const std::string path = Prepare({.productId = kCustomerPid}, onChip, file);
  const auto kept = KeptRecordFile(chip->state().location);
  temp.Write(kept.filename().string(), "\xAB\xCD");
  testing::RecordingPrompt prompt;
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), msg::kReadFlashFail);
  ASSERT_EQ(prompt.shown.size(), 1u);
  EXPECT_NE(prompt.shown[0].find(kept.filename().string() + " holds another unit's record"), std::string::npos)
      << prompt.shown[0];
  const auto commands = WireCommands();
  EXPECT_TRUE(std::none_of(commands.begin(), commands.end(), [](const auto& w) {
    return w.op == "0007" || w.op == "0009" || w.op == "0204" || w.op == "0282";
  }));
  EXPECT_TRUE(std::equal(onChip.begin(), onChip.end(), Flash().begin()));
  EXPECT_EQ(ReadWholeFile(kept), (std::vector<std::uint8_t>{0xAB, 0xCD}));

  temp.Write(kept.filename().string(), std::string(kPayload.begin(), kPayload.end()));
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  const auto record = PreservedRecord(kPayload);
  EXPECT_NE(std::search(FlashArea().begin(), FlashArea().end(), record.begin(), record.end()), FlashArea().end());
  EXPECT_FALSE(std::filesystem::exists(kept));
}

// ---- the reset options ----

struct ResetCase {
  const char* name;
  const char* ic;
  const char* settings;
  std::uint32_t romEntryValue;  // what the reset to the loader carries on the wire
  bool resetAfter;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const ResetCase& c, std::ostream* os) { *os << c.name; }

class ResetOptionTest : public FlashDownloadTest, public ::testing::WithParamInterface<ResetCase> {};

// "Normal Reset" picks what the ROM entry sends; "ResetToCache" 0 leaves the
// programmed chip in its loader, with no reset step and still a pass.
TEST_P(ResetOptionTest, RomEntryAndFinalReset) {
  const ResetCase& c = GetParam();
  UseSettings(c.settings);
  const auto family = std::string(c.ic) == "tq7702" ? sim::IcFamily::kTq7702 : sim::IcFamily::kTq7704;
  const auto file = MakeImage(c.ic);
  const std::string path = Prepare({.ic = family}, file, file);
  RecordingWindow window;
  SetMainWindow(&window);
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(LastStatus(), 0u);
  ASSERT_FALSE(window.posts.empty());
  EXPECT_EQ(window.posts.back(), std::make_pair(std::uint32_t{WM_FLOW_PASS}, msg::kFirmwareUpdateSucceed));
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 0);

  const auto commands = WireCommands();
  auto entry = std::find_if(commands.begin(), commands.end(),
                            [](const auto& w) { return w.op == OpText(sim::Op::kResetToUpdate); });
  ASSERT_NE(entry, commands.end());
  EXPECT_EQ(entry->address & 0xFF, c.romEntryValue);
  const bool reset =
      std::any_of(commands.begin(), commands.end(), [](const auto& w) { return w.op == OpText(sim::Op::kResetToRom); });
  EXPECT_EQ(reset, c.resetAfter);
  const bool step = std::find(window.posts.begin(), window.posts.end(),
                              std::make_pair(std::uint32_t{WM_FLOW_STEP}, msg::kStepResetToNewCode)) != window.posts.end();
  EXPECT_EQ(step, c.resetAfter);

  EXPECT_TRUE(std::equal(file.begin(), file.begin() + 0xEFFE, Flash().begin()));
  EXPECT_EQ(chip->state().mode, c.resetAfter ? sim::RunMode::kCode : sim::RunMode::kLoader);
  chip->PowerUp();
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode) << "the programmed image starts";
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ResetOptionTest,
    ::testing::Values(
        // A TQ7704 is in a loader state: the entry carries the reset mode byte, 6 or 5.
        ResetCase{"Tq7704Default", "tq7704", "", 6, true},
        ResetCase{"Tq7704NormalReset0", "tq7704", "Normal Reset=0\r\n", 5, true},
        // A running TQ7702: memory type 0 (sent as 1 on the extension unit), or sub-mode 2.
        ResetCase{"Tq7702Default", "tq7702", "", 1, true},
        ResetCase{"Tq7702NormalReset0", "tq7702", "Normal Reset=0\r\n", 2, true},
        ResetCase{"Tq7704NoResetToCache", "tq7704", "ResetToCache=0\r\n", 6, false},
        ResetCase{"Tq7702NoResetToCache", "tq7702", "ResetToCache=0\r\nNormal Reset=0\r\n", 2, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- ROM entry of the chip variants ----

enum class OnChip { kBlank, kRunning, kConfigAtZero };

struct VariantCase {
  const char* name;
  std::uint8_t variant;
  OnChip onChip;
  sim::Transport transport;
  const char* reset;  // OpText(sim::Op::kResetToUpdate), OpText(sim::Op::kResetToRom) or "vr22" (vendor request 0x22)
  bool spoilsZero;    // one 0x00 written at flash address 0 first
};
// Listings and failures name the case, not its bytes.
void PrintTo(const VariantCase& c, std::ostream* os) { *os << c.name; }

class VariantRomEntryTest : public FlashDownloadTest, public ::testing::WithParamInterface<VariantCase> {};

std::vector<std::uint8_t> ConfigAtZeroImage() {
  mkimage::ImageSpec spec;
  spec.configAt = 0;
  std::string error;
  auto image = mkimage::MakeImage(spec, &error);
  EXPECT_TRUE(image.has_value()) << error;
  return image.value_or(std::vector<std::uint8_t>{});
}

TEST_P(VariantRomEntryTest, PicksTheResetForTheVariantAndMode) {
  const VariantCase& c = GetParam();
  const auto file = MakeImage("tq7704");
  const auto onChip = c.onChip == OnChip::kBlank     ? std::vector<std::uint8_t>{}
                      : c.onChip == OnChip::kRunning ? file
                                                     : ConfigAtZeroImage();
  Prepare({.transport = c.transport, .variant = c.variant}, onChip, file);
  MarkWire();
  const std::uint8_t before = Flash()[0];
  EXPECT_EQ(flow->MP_ResetToRomCode(), 1);

  const auto commands = WireCommands();
  const auto lines = WireLines();
  const bool byRequest = std::any_of(lines.begin(), lines.end(), [](const auto& l) { return l.rfind("40 22 ", 0) == 0; });
  const bool toLoader = std::any_of(commands.begin(), commands.end(),
                                    [](const auto& w) { return w.op == OpText(sim::Op::kResetToUpdate); });
  const bool toRom =
      std::any_of(commands.begin(), commands.end(), [](const auto& w) { return w.op == OpText(sim::Op::kResetToRom); });
  EXPECT_EQ(byRequest, std::string(c.reset) == "vr22");
  EXPECT_EQ(toLoader, std::string(c.reset) == OpText(sim::Op::kResetToUpdate));
  EXPECT_EQ(toRom, std::string(c.reset) == OpText(sim::Op::kResetToRom));
  EXPECT_EQ(Flash()[0], c.spoilsZero ? 0x00 : before);
  if (c.onChip == OnChip::kConfigAtZero) {
    EXPECT_EQ(chip->state().mode, sim::RunMode::kLoader);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, VariantRomEntryTest,
    // Resets on the extension unit where the chip has it alone; the reset by
    // vendor request needs a chip with the vendor transport.
    ::testing::Values(
        VariantCase{"Plain", 0, OnChip::kConfigAtZero, sim::Transport::kXu, OpText(sim::Op::kResetToUpdate), false},
        VariantCase{"B013RomAndSpi", 3, OnChip::kConfigAtZero, sim::Transport::kBoth, "vr22", true},
        VariantCase{"B014RomAndSpi", 4, OnChip::kConfigAtZero, sim::Transport::kBoth, "vr22", true},
        VariantCase{"B013Running", 3, OnChip::kRunning, sim::Transport::kXu, OpText(sim::Op::kResetToRom), false},
        VariantCase{"B014Blank", 4, OnChip::kBlank, sim::Transport::kXu, OpText(sim::Op::kResetToRom), false},
        VariantCase{"OtherVariant", 5, OnChip::kRunning, sim::Transport::kXu, OpText(sim::Op::kResetToUpdate), false}),
    [](const auto& info) { return std::string(info.param.name); });

// A running variant chip: its old area byte and tag are spoiled and a reset to
// ROM (not to update) brings it into the loader; the download then passes.
TEST_F(FlashDownloadTest, RunningVariantIsSpoiledThenResetAndProgrammed) {
  auto old = MakeImage("tq7704");
  old[0x2000] ^= 0xFF;
  const auto file = MakeImage("tq7704");
  const std::string path = Prepare({.variant = 4}, old, file);
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(LastStatus(), 0u);
  std::vector<std::string> before;
  for (const auto& w : WireCommands()) {
    if (w.op == OpText(sim::Op::kSpiEraseChip)) break;
    if (w.op == OpText(sim::Op::kSpiWrite))
      before.push_back("write@" + std::to_string(w.address) + "/" + std::to_string(w.length));
    if (w.op == OpText(sim::Op::kResetToUpdate) || w.op == OpText(sim::Op::kResetToRom)) before.push_back(w.op);
  }
  EXPECT_EQ(before, (std::vector<std::string>{"write@" + std::to_string(0xF000) + "/1",
                                              "write@" + std::to_string(0xEFFE) + "/2", OpText(sim::Op::kResetToRom)}));
  EXPECT_TRUE(std::equal(file.begin(), file.end(), Flash().begin()));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
}

// A variant chip that ROM code runs with an area at 0: the area is spoiled, the
// reset goes by vendor request, and the new image is written and started.
TEST_F(FlashDownloadTest, VariantWithAreaAtZeroIsProgrammed) {
  const auto file = MakeImage("tq7704");
  const std::string path = Prepare({.transport = sim::Transport::kBoth, .variant = 3}, ConfigAtZeroImage(), file);
  EXPECT_EQ(flow->chip.extendedMode, ExtendedMode::kRomSpi);
  EXPECT_EQ(flow->chip.modeText, "ROM&&SPI");
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(LastStatus(), 0u);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), Flash().begin()));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
}

// ---- a failed reset on a bus of several chips ----

struct FailedReset {
  const char* name;
  const char* op;  // the reset that fails
};
// Listings and failures name the case, not its bytes.
void PrintTo(const FailedReset& c, std::ostream* os) { *os << c.name; }

class FailedResetTest : public FlashDownloadTest, public ::testing::WithParamInterface<FailedReset> {};

// The reset of chip 1 fails: the flow is left without a device and fails; no
// other chip is opened in its place, protected or reset.
TEST_P(FailedResetTest, LeavesTheOtherChipsUntouched) {
  const auto file = MakeImage("tq7704");
  std::vector<sim::SimChip*> chips;
  for (int i = 0; i < 3; ++i) chips.push_back(&AddChipWith({}, file));
  struct Snapshot {
    std::uint32_t generation;
    std::map<std::uint16_t, std::uint8_t> registers;
    std::uint8_t statusRegister;
    std::vector<std::uint8_t> memory;
    bool operator==(const Snapshot&) const = default;
  };
  auto snapshot = [](sim::SimChip& c) {
    const auto bytes = c.state().memory.bytes();
    return Snapshot{c.state().generation, c.state().registers, c.state().statusRegister,
                    std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
  };
  const Snapshot first = snapshot(*chips[0]);
  const Snapshot third = snapshot(*chips[2]);

  ASSERT_EQ(flow->DEV_OpenDeviceByICIni(1), 1);
  flow->DEV_GetDeviceInfo();
  flow->SetUpdateOptions();
  flow->chip.device.transportFlags = kFlagAudioSearch;
  const std::string path = WriteImageFile("image.rfw", file);
  ASSERT_EQ(BindCommandLineImage(path), 1);
  flow = TheFlow();
  ASSERT_EQ(VxCam_CurrentDevice()->record().location, chips[1]->state().location);
  const std::string op = GetParam().op;
  hookBus->hook = [&](testing::HookBus&, UsbHandle, const SetupPacket& s,
                      std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    char code[5];
    if (IsCommandBlock(s) && d.size() >= 8) {
      std::snprintf(code, sizeof code, "%02x%02x", d[0], d[1]);
      if (code == op) return TransferResult{31, 0};
    }
    return std::nullopt;
  };
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  hookBus->hook = nullptr;
  EXPECT_EQ(LastStatus(), msg::kResetDeviceFail);
  EXPECT_EQ(flow->chip.device.handle, 0u);
  EXPECT_EQ(VxCam_CurrentDevice(), nullptr);
  EXPECT_TRUE(snapshot(*chips[0]) == first) << "chip 0";
  EXPECT_TRUE(snapshot(*chips[2]) == third) << "chip 2";
}

INSTANTIATE_TEST_SUITE_P(Resets, FailedResetTest,
                         ::testing::Values(FailedReset{"RomEntry", OpText(sim::Op::kResetToUpdate)},
                                           FailedReset{"IntoTheNewCode", OpText(sim::Op::kResetToRom)}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon
