// The flash sequences against simulated chips: the order of the commands on the
// wire, the failure id of every step, what a failed write leaves in flash, and
// the read, verify, erase and dump operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "flow/command_line_binding.h"
#include "flow/eeprom_flow.h"
#include "flow/flash_flow.h"
#include "flow/flash_image_parts.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "flow_fixture.h"
#include "image_maker.h"
#include "platform/files.h"
#include "support/run_process.h"

namespace quillon {
namespace {

using testing::OpText;

using testing::FlowFixture;
using testing::HookBus;
using testing::IsCommandBlock;
using testing::RecordingWindow;

class FlashFlowTest : public FlowFixture {
 protected:
  void TearDown() override {
    SetMainWindow(nullptr);
    FlowFixture::TearDown();
  }
  // A 16 KB image with its area at 0 (the OTP-simulation layout on a blank
  // chip), on a blank chip opened and bound to it as the command line does;
  // its path, or empty when any of that failed.
  std::string BindSmallImageOnABlankChip() {
    mkimage::ImageSpec spec;
    spec.size = 0x4000;
    spec.configAt = 0;
    std::string error;
    const auto bytes = mkimage::MakeImage(spec, &error);
    if (!bytes) return {};
    chip = &AddChipWith({}, {});
    SetWorkingMemorySize(0x4000);
    const std::string path = WriteImageFile("small.rfw", *bytes);
    OpenFirst();
    if (BindCommandLineImage(path) != 1) return {};
    flow = TheFlow();
    return path;
  }
  // A running chip of `ic` with its image, opened and bound to `path` as the command line does.
  std::string Prepare(const std::string& ic) {
    const auto family = ic == "tq7702" ? sim::IcFamily::kTq7702 : sim::IcFamily::kTq7704;
    auto bytes = MakeImage(ic);
    chip = &AddChipWith({.ic = family}, bytes);
    const std::string path = WriteImageFile(ic + ".rfw", bytes);
    OpenFirst();
    EXPECT_EQ(BindCommandLineImage(path), 1);
    flow = TheFlow();
    return path;
  }
  // Steps of the sequence, one name per run of equal commands.
  std::vector<std::string> Steps() {
    std::vector<std::string> steps;
    for (const auto& c : WireCommands()) {
      std::string name;
      if (c.op == OpText(sim::Op::kResetToUpdate)) name = "reset-to-loader";
      if (c.op == OpText(sim::Op::kResetToRom)) name = "reset";
      if (c.op == OpText(sim::Op::kSpiWriteSr)) name = "status";
      if (c.op == OpText(sim::Op::kSpiEraseChip)) name = "erase";
      if (c.op == OpText(sim::Op::kSpiRead)) name = "read";
      if (c.op == OpText(sim::Op::kSpiWrite)) name = c.length == 2 ? "tag@" + std::to_string(c.address) : "write";
      if (!name.empty() && (steps.empty() || steps.back() != name)) steps.push_back(name);
    }
    return steps;
  }
  std::uint8_t Flash(std::uint32_t address) { return chip->state().memory.bytes()[address]; }

  sim::SimChip* chip = nullptr;
};

struct WireCase {
  const char* ic;
  std::vector<std::string> steps;
  std::array<std::uint8_t, 2> tagInFlash;
  std::string signatureInBulkWrite;  // first two bytes of the bulk write at 0xF000
  std::array<std::uint8_t, 2> signatureInFlash;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const WireCase& c, std::ostream* os) { *os << c.ic; }

class FlashWireOrderTest : public FlashFlowTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(FlashWireOrderTest, SequenceHoldsTheTagBackAndWritesItLastOnlyWithoutRomFlag) {
  const WireCase& c = GetParam();
  const std::string path = Prepare(c.ic);
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(LastStatus(), 0u);
  EXPECT_EQ(Steps(), c.steps);
  EXPECT_EQ(Flash(0xEFFE), c.tagInFlash[0]);
  EXPECT_EQ(Flash(0xEFFF), c.tagInFlash[1]);
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);

  // The bulk write carried 0xFF 0xFF where the tag goes: the last data piece of the 0xE000 chunk.
  std::vector<std::string> lines = WireLines();
  auto block = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("21 01 0a00 0300 0008 028200e000100000", 0) == 0;
  });
  ASSERT_NE(block, lines.end());
  std::string lastPiece;
  for (auto it = block + 1; it != lines.end() && it->rfind("21 01 0b00", 0) == 0; ++it) lastPiece = *it;
  ASSERT_GE(lastPiece.size(), 4u);
  EXPECT_EQ(lastPiece.substr(lastPiece.size() - 4), "ffff") << lastPiece;

  // The first piece of the 0xF000 chunk: the area signature, held back as
  // 0xFF 0xFF where no tag guards the start, the image's own 55 A5 otherwise.
  block = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("21 01 0a00 0300 0008 028200f000100000", 0) == 0;
  });
  ASSERT_NE(block + 1, lines.end());
  EXPECT_EQ(block[1].substr(std::string("21 01 0b00 0300 0008 ").size(), 4), c.signatureInBulkWrite) << block[1];
  EXPECT_EQ(Flash(0xF000), c.signatureInFlash[0]);
  EXPECT_EQ(Flash(0xF001), c.signatureInFlash[1]);
}

const std::string kTagStep = "tag@" + std::to_string(0xEFFE);
const std::string kSignatureStep = "tag@" + std::to_string(0xF000);
INSTANTIATE_TEST_SUITE_P(
    Families, FlashWireOrderTest,
    ::testing::Values(
        // TQ7702 runs its code outside a ROM-loader mode: reset to the loader, tag written last.
        // Its area sits at 0xAE00, nothing at 0xF000 in the image.
        WireCase{"tq7702", {"reset-to-loader", "status", "erase", "read", "write", "read", kTagStep, "status", "reset"}, {0x55, 0xAA}, "ffff", {0xFF, 0xFF}},
        // TQ7704 reports a ROM-loader state; its flow never writes the tag, and
        // the area signature at 0xF000 goes in last instead.
        WireCase{"tq7704", {"reset-to-loader", "status", "erase", "read", "write", "read", kSignatureStep, "status", "reset"}, {0xFF, 0xFF}, "ffff", {0x55, 0xA5}}),
    [](const auto& info) { return std::string(info.param.ic); });

struct StepFailure {
  const char* name;
  const char* ic;
  std::string op;        // command blocks to refuse
  int after;             // ... after this many of them went through
  std::uint32_t length;  // ... only of this length (0: any)
  std::uint32_t id;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const StepFailure& c, std::ostream* os) { *os << c.name; }

class FlashStepFailureTest : public FlashFlowTest, public ::testing::WithParamInterface<StepFailure> {};

// Each step's failure gives its own id, posted once; the run does not pass.
TEST_P(FlashStepFailureTest, ReportsTheStepsId) {
  const StepFailure& c = GetParam();
  const std::string path = Prepare(c.ic);
  RecordingWindow window;
  SetMainWindow(&window);
  int seen = 0;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (!IsCommandBlock(s) || d.size() < 8) return std::nullopt;
    char op[5];
    std::snprintf(op, sizeof op, "%02x%02x", d[0], d[1]);
    const std::uint32_t length = d[4] | d[5] << 8;
    if (op != c.op || (c.length != 0 && length != c.length)) return std::nullopt;
    if (seen++ < c.after) return std::nullopt;
    return TransferResult{31, 0};
  };
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), c.id);
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 1);
  EXPECT_EQ(window.Count(WM_FLOW_PASS), 0);
  hookBus->hook = nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FlashStepFailureTest,
    ::testing::Values(
        StepFailure{"DisableProtection", "tq7704", OpText(sim::Op::kSpiWriteSr), 0, 0, msg::kDisableWriteProtectFail},
        StepFailure{"Erase", "tq7704", OpText(sim::Op::kSpiEraseChip), 0, 0, msg::kEraseFlashFail},
        // A read that never came back is no "not empty" verdict on the chip.
        StepFailure{"CheckEmpty", "tq7704", OpText(sim::Op::kSpiRead), 0, 0, msg::kLinkFail},
        StepFailure{"Write", "tq7704", OpText(sim::Op::kSpiWrite), 0, 0, msg::kUpdateFlashFail},
        StepFailure{"ReadBack", "tq7704", OpText(sim::Op::kSpiRead), 16, 0, msg::kReadFlashFail},
        StepFailure{"Tag", "tq7702", OpText(sim::Op::kSpiWrite), 0, 2, msg::kWriteTagFail},
        StepFailure{"AreaSignature", "tq7704", OpText(sim::Op::kSpiWrite), 0, 2, msg::kWriteTagFail},
        StepFailure{"EnableProtection", "tq7704", OpText(sim::Op::kSpiWriteSr), 1, 0, msg::kEnableWriteProtectFail},
        StepFailure{"Reset", "tq7704", OpText(sim::Op::kResetToRom), 0, 0, msg::kResetDeviceFail}),
    [](const auto& info) { return std::string(info.param.name); });

struct SpoilCase {
  const char* name;
  const char* ic;
  bool areaAtZero;
  bool compare;  // the read-back passes but one bit differs; else the read-back fails
  std::uint32_t area;
  bool spoiled;
  std::uint32_t id;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const SpoilCase& c, std::ostream* os) { *os << c.name; }

class SpoiledAreaTest : public FlashFlowTest, public ::testing::WithParamInterface<SpoilCase> {};

// An image that did not read back right never starts: when the run writes no
// tag, its area's type byte is spoiled; the chip stays in its loader at the
// next power-up.
TEST_P(SpoiledAreaTest, FailedReadBackNeverStarts) {
  const SpoilCase& c = GetParam();
  const auto family = std::string(c.ic) == "tq7702" ? sim::IcFamily::kTq7702 : sim::IcFamily::kTq7704;
  mkimage::ImageSpec spec;
  spec.ic = c.ic;
  if (c.areaAtZero) spec.configAt = 0;
  std::string error;
  const auto bytes = mkimage::MakeImage(spec, &error);
  ASSERT_TRUE(bytes.has_value()) << error;
  chip = &AddChipWith({.ic = family}, *bytes);
  const std::string path = WriteImageFile("image.rfw", *bytes);
  OpenFirst();
  ASSERT_EQ(BindCommandLineImage(path), 1);
  flow = TheFlow();
  // The 17th read on is the read-back (16 reads check the erase).
  hookBus->hook = testing::SpoilReadsAfter(16, !c.compare);
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  hookBus->hook = nullptr;
  EXPECT_EQ(LastStatus(), c.id);
  EXPECT_EQ(flow->chip.configAtZero, c.areaAtZero ? 1u : 0u);
  EXPECT_EQ(Flash(c.area), c.spoiled ? 0x00 : 0x55);
  // Without a tag the area signature is held back until after the read-back.
  EXPECT_EQ(Flash(c.area + 1), c.spoiled ? 0xFF : 0xA5);
  const auto& image = TheFlow()->chip.image.fileData;
  ASSERT_GT(image.size(), c.area + 1);
  EXPECT_EQ(image[c.area + 1], 0xA5) << "the image in memory gets its signature back for the next download";
  chip->PowerUp();
  EXPECT_EQ(chip->state().mode, sim::RunMode::kLoader);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpoiledAreaTest,
    ::testing::Values(SpoilCase{"Tq7704Compare", "tq7704", false, true, 0xF000, true, msg::kCompareDataFail},
                      SpoilCase{"Tq7704ReadBack", "tq7704", false, false, 0xF000, true, msg::kReadFlashFail},
                      // No tag is written for an area at 0, though the chip has no ROM flag.
                      SpoilCase{"Tq7702AreaAtZeroReadBack", "tq7702", true, false, 0, true, msg::kReadFlashFail},
                      SpoilCase{"Tq7702AreaAtZeroCompare", "tq7702", true, true, 0, true, msg::kCompareDataFail},
                      // The held-back tag alone keeps the image from starting.
                      SpoilCase{"Tq7702TagHeldBack", "tq7702", false, true, 0xAE00, false, msg::kCompareDataFail}),
    [](const auto& info) { return std::string(info.param.name); });

// The OTP-simulation layout of a 16 KB image is never tagged either: a failed
// read-back spoils the header at 0 that the ROM would start it from.
TEST_F(FlashFlowTest, SimulatedOtpLayoutWithAFailedReadBackNeverStarts) {
  const std::string path = BindSmallImageOnABlankChip();
  ASSERT_FALSE(path.empty());
  ASSERT_EQ(flow->chip.romFlag, 1u);
  hookBus->hook = [](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    if (IsCommandBlock(s) && d.size() >= 2 && d[0] == 0x02 && d[1] == 0xC2) return TransferResult{31, 0};
    return std::nullopt;
  };
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  hookBus->hook = nullptr;
  EXPECT_EQ(LastStatus(), msg::kReadFlashFail);
  EXPECT_EQ(Flash(0x3FBF), 0xAA) << "the layout's block table names the configuration part";
  EXPECT_EQ(Flash(0), 0x00);
  EXPECT_EQ(Flash(1), 0xFF) << "the area signature was held back";
  chip->PowerUp();
  EXPECT_EQ(chip->state().mode, sim::RunMode::kLoader);
}

// A 64 KB image with its area at 0, cut to 16 KB, takes the OTP-simulation
// layout like any 16 KB image: that layout is built from the area alone (the
// rest of any 16 KB image is not written), so with the whole area inside the
// cut the chip holds exactly the layout of the named file. A cut through the
// area is refused before the chip is touched: the chip would miss part of it.
TEST_F(FlashFlowTest, A64KImageCutTo16KPassesAsTheLayoutOnlyWithItsWholeArea) {
  struct Case {
    const char* name;
    std::size_t smallCache;
    bool written;
  };
  const Case cases[] = {
      {"the whole area inside the cut", 1024, true},
      {"the area runs past the cut", 0x5000, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    mkimage::ImageSpec spec;
    spec.size = 0x10000;
    spec.configAt = 0;
    spec.smallCache = c.smallCache;
    std::string error;
    auto bytes = mkimage::MakeImage(spec, &error);
    ASSERT_TRUE(bytes.has_value()) << error;
    bytes->resize(0x4000);
    for (std::size_t n = 0; n < bus.ChipCount(); ++n) bus.UnplugChip(n);
    chip = &AddChipWith({}, {});
    SetWorkingMemorySize(0x4000);
    const std::string path = WriteImageFile("cut" + std::to_string(i) + ".rfw", *bytes);
    OpenFirst();
    const int bound = BindCommandLineImage(path);
    flow = TheFlow();
    const int wrote = bound == 1 ? flow->DEV_RunCommand('W', path) : 0;
    const auto flash = chip->state().memory.bytes();
    if (c.written) {
      ASSERT_EQ(bound, 1);
      EXPECT_EQ(wrote, 1) << LastStatus();
      std::vector<std::uint8_t> layout = *bytes;
      ASSERT_TRUE(RebuildForSimulatedOtp(layout, 21));
      EXPECT_TRUE(std::equal(layout.begin(), layout.end(), flash.begin())) << "the chip holds the file's layout";
      EXPECT_EQ(Flash(0x3FBF), 0x55) << "its block table names the code part";
    } else {
      EXPECT_EQ(wrote, 0);
      EXPECT_NE(LastStatus(), 0u);
      EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 0x4000, [](std::uint8_t b) { return b == 0xFF; }))
          << "nothing was erased or written";
    }
    flow->MP_CloseDevice();
    VxCam_CloseDevice();
  }
}

// Whether a blank chip gets the OTP-simulation layout follows from its mode
// registers. When the link fails under either read, the write must not go in
// on a guess (the plain layout, verified against itself, would pass with other
// bytes): it ends as the link failure with the flash untouched, and a fresh
// info read that succeeds lets the next write through.
class UnreadModeTest : public FlashFlowTest, public ::testing::WithParamInterface<std::uint16_t> {};

TEST_P(UnreadModeTest, StopsTheWriteAsALinkFailure) {
  const std::uint16_t failing = GetParam();
  const std::string path = BindSmallImageOnABlankChip();
  ASSERT_FALSE(path.empty());
  RecordingWindow window;
  SetMainWindow(&window);
  hookBus->hook = [failing](HookBus&, UsbHandle, const SetupPacket& s,
                            std::span<std::uint8_t> d) -> std::optional<TransferResult> {
    const bool readMem = IsCommandBlock(s) && d.size() >= 4 && d[0] == 0x00 && d[1] == 0xC2;
    if (readMem && (d[2] | d[3] << 8) == failing) return TransferResult{31, 0};
    return std::nullopt;
  };
  flow->MP_GetDeviceInfo();
  hookBus->hook = nullptr;
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), msg::kLinkFail);
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 1);
  EXPECT_EQ(window.Count(WM_FLOW_PASS), 0);
  const auto& flash = chip->state().memory.bytes();
  EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 0x4000, [](std::uint8_t b) { return b == 0xFF; }))
      << "nothing was erased or written";

  flow->MP_GetDeviceInfo();
  EXPECT_EQ(flow->chip.romFlag, 1u);
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(Flash(0x3FBF), 0xAA) << "the OTP-simulation layout went in";
}

INSTANTIATE_TEST_SUITE_P(Registers, UnreadModeTest, ::testing::Values(kChipModeRegister, kExtendedModeRegister),
                         [](const auto& info) { return info.param == kChipModeRegister ? "ChipMode" : "ExtendedMode"; });

TEST_F(FlashFlowTest, NotInCacheModeAfterTheResetIsReportedAsResetFailure) {
  Prepare("tq7704");
  RecordingWindow window;
  SetMainWindow(&window);
  // Nothing the loader starts: no tag, no configuration header.
  std::vector<std::uint8_t> code(0x10000, 0x11);
  auto* spi = dynamic_cast<CSPIFlashInfo_USB*>(flow);
  ASSERT_NE(spi, nullptr);
  EXPECT_EQ(spi->FF_UpdateEx(code), 0);
  EXPECT_EQ(LastStatus(), msg::kResetDeviceFail);
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 2);
  EXPECT_EQ(window.posts[window.posts.size() - 2], std::make_pair(std::uint32_t{WM_FLOW_FAIL}, msg::kNotInCacheMode));
}

TEST_F(FlashFlowTest, CancelledDownloadIsRecordedAsACancelAndTouchesNothing) {
  const std::string path = Prepare("tq7704");
  RecordingWindow window;
  window.cancel = true;
  SetMainWindow(&window);
  MarkWire();
  auto* spi = dynamic_cast<CSPIFlashInfo_USB*>(flow);
  EXPECT_EQ(spi->FF_UpdateEx(flow->chip.image.fileData), 0);
  EXPECT_EQ(LastStatus(), msg::kRunCancelled) << "not a fault of the device";
  EXPECT_TRUE(WireCommands().empty() || WireCommands().front().op != OpText(sim::Op::kSpiEraseChip));
}

// The window's read saves its bytes where the operator asked: when that file
// cannot be written the read fails with the save id and never says PASS.
TEST_F(FlashFlowTest, ReadWhoseResultFileCannotBeWrittenFails) {
  Prepare("tq7704");
  RecordingWindow window;
  SetMainWindow(&window);
  ASSERT_FALSE(TheFrontEnd().CommandLineMode());
  flow->chip.settings.readResultPath = "/nonexistent-dir/read.bin";
  EXPECT_EQ(flow->DEV_Read(), 0);
  EXPECT_EQ(LastStatus(), msg::kSaveFileDataFail);
  EXPECT_EQ(window.Count(WM_FLOW_PASS), 0);
}

TEST_F(FlashFlowTest, VerifyReadsPassesThenComparesTheFile) {
  const std::string path = Prepare("tq7704");
  EXPECT_EQ(flow->DEV_RunCommand('V', path), 1);
  EXPECT_EQ(LastStatus(), 0u);

  auto other = MakeImage("tq7704");
  other.back() ^= 0xFF;
  const std::string changed = WriteImageFile("changed.rfw", other);
  RecordingWindow window;
  SetMainWindow(&window);
  EXPECT_EQ(flow->DEV_RunCommand('V', changed), 0);
  EXPECT_EQ(window.Count(WM_FLOW_PASS), 1) << "the read itself passed";
  EXPECT_EQ(LastStatus(), msg::kCompareDataFail);
}

TEST_F(FlashFlowTest, DumpsCarryWhatWasRead) {
  const std::string path = Prepare("tq7704");
  const auto image = *ReadWholeFile(path);
  // The built-in image is another one: the text dump must not carry it.
  ASSERT_TRUE(LoadBuiltinImage(flow->chip.image, 3018));
  EXPECT_EQ(flow->DEV_RunCommand('Z', (temp.path() / "dump.bin").string()), 1);
  EXPECT_EQ(*ReadWholeFile(temp.path() / "dump.bin"), image);
  EXPECT_EQ(flow->DEV_RunCommand('T', (temp.path() / "dump.txt").string()), 1);
  std::string expected;
  char hex[4];
  for (std::size_t i = 0; i < image.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02X ", image[i]);
    expected += hex;
    if (i % 16 == 15) expected += "\r\n";
  }
  EXPECT_EQ(testing::ReadText(temp.path() / "dump.txt"), expected);
}

TEST_F(FlashFlowTest, DumpToAnUnwritablePathFails) {
  Prepare("tq7704");
  // The read passed: the status names the file, not the chip.
  for (char letter : {'Z', 'T'}) {
    SetLastStatus(0);
    EXPECT_EQ(flow->DEV_RunCommand(letter, (temp.path() / "no" / "such" / "dir.bin").string()), 0);
    EXPECT_EQ(LastStatus(), msg::kSaveFileDataFail) << letter;
  }
}

TEST_F(FlashFlowTest, EraseLeavesItsOwnSuccessIdAndABlankChip) {
  Prepare("tq7704");
  EXPECT_EQ(flow->DEV_RunCommand('E', ""), 1);
  EXPECT_EQ(LastStatus(), msg::kEraseFlashSucceed);
  const auto bytes = chip->state().memory.bytes();
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kLoader);
}

TEST_F(FlashFlowTest, UnknownLetterIsNotSupported) {
  Prepare("tq7704");
  EXPECT_EQ(flow->DEV_RunCommand('Q', ""), 0);
  EXPECT_EQ(LastStatus(), msg::kNotSupport);
}

TEST_F(FlashFlowTest, WrongChipImageIsRefusedBeforeTheChipIsTouched) {
  Prepare("tq7704");
  mkimage::ImageSpec spec;
  spec.chipCode = 24;  // the TQ7724's code under the TQ7704's profile
  std::string error;
  const std::string path = WriteImageFile("wrong.rfw", *mkimage::MakeImage(spec, &error));
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), msg::kFirmwareNotForDevice);
  EXPECT_TRUE(WireCommands().empty() || std::none_of(WireCommands().begin(), WireCommands().end(), [](const auto& c) {
                return c.op == OpText(sim::Op::kSpiEraseChip);
              }));
}

// A flow that writes no tag: the power fails after the first page of the
// write that holds the configuration area. That page carries the area's
// header, but not its signature, so the chip stays in its loader.
TEST_F(FlashFlowTest, PowerLossAfterTheAreasFirstPageLeavesAChipInItsLoader) {
  struct Case {
    const char* name;
    std::size_t size;
    std::optional<std::uint32_t> configAt;
    std::uint32_t area;     // where the area lands in flash
    std::uint32_t program;  // the flash write that holds it
  };
  const Case cases[] = {
      {"area at 0xF000", 0x10000, std::nullopt, 0xF000, 16},
      {"area at offset 0", 0x10000, 0u, 0, 1},
      {"16 KB image, OTP-simulation layout", 0x4000, 0u, 0, 1},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    mkimage::ImageSpec spec;
    spec.size = c.size;
    spec.configAt = c.configAt;
    spec.smallCache = 512;  // an area of several pages
    std::string error;
    const auto bytes = mkimage::MakeImage(spec, &error);
    ASSERT_TRUE(bytes.has_value()) << error;
    sim::SimChip& target = AddChipWith({}, {});
    const std::string path = WriteImageFile("area" + std::to_string(i) + ".rfw", *bytes);
    // The chips of earlier cases lost their power: the new one is the only one on the bus.
    ASSERT_EQ(flow->DEV_OpenDeviceByICIni(0), 1);
    flow->DEV_GetDeviceInfo();
    flow->SetUpdateOptions();
    flow->chip.device.transportFlags = kFlagAudioSearch;
    ASSERT_EQ(BindCommandLineImage(path), 1);
    flow = TheFlow();
    target.state().faults.pageLoss.push_back({c.program, 1});
    EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
    ASSERT_TRUE(target.state().powerLost);
    target.PowerUp();
    const auto flash = target.state().memory.bytes();
    EXPECT_NE(flash[c.area + 2], 0xFF) << "the area's first page was programmed";
    EXPECT_EQ(flash[c.area + 1], 0xFF) << "but not its signature";
    EXPECT_EQ(flash[c.area + 0x100] & 0x55, 0x55) << "nor its second page: cut while under way, its even bits still erased";
    EXPECT_EQ(target.state().mode, sim::RunMode::kLoader);
    flow->MP_CloseDevice();
    VxCam_CloseDevice();
  }
}

// The image's vendor/product record decides "CheckVIDPID_BIN".
TEST_F(FlashFlowTest, FirmwareVidPidComesFromTheImage) {
  const std::string path = Prepare("tq7704");
  ASSERT_EQ(flow->DEV_ParseImage(flow->chip.image.fileData), 1);
  EXPECT_EQ(flow->chip.settings.firmwareVidPidText, "VID_3A7C&PID_0011");
  EXPECT_TRUE(flow->MatchesFirmwareVidPid());
  flow->chip.idText = "VID_3A7C&PID_0022";
  EXPECT_FALSE(flow->MatchesFirmwareVidPid());
}

TEST_F(FlashFlowTest, NorDownloadErasesWritesVerifiesAndSetsTheTag) {
  sim::SimChip& nor = AddChipWith({.memory = sim::MemoryKind::kNor}, {});
  OpenFirst();
  SetCurrentMemoryType(MemoryType::NorFlash);
  flow = RecreateFlow(true);
  ASSERT_NE(dynamic_cast<CNORFlashInfo_USB*>(flow), nullptr);
  flow->chip.image.fileData = MakeImage("tq7704");
  flow->chip.configAtZero = 0;
  EXPECT_EQ(flow->DEV_Download(), 1);
  EXPECT_EQ(LastStatus(), 0u);
  EXPECT_TRUE(nor.state().norTagged);
  EXPECT_TRUE(std::equal(flow->chip.image.fileData.begin(), flow->chip.image.fileData.end(), nor.state().memory.bytes().begin()));
  EXPECT_EQ(flow->DEV_Silence_VerifyBin("x"), 0);
  EXPECT_EQ(LastStatus(), msg::kNotSupport);
}

// A new memory type swaps the flow object over the same session; a fresh
// session keeps only the settings.
TEST_F(FlashFlowTest, MemoryTypeChangeSwapsTheObjectNotTheSession) {
  AddChipWith({}, {});
  OpenFirst();
  ChipSession* session = &flow->chip;
  const DeviceHandle handle = flow->chip.device.handle;
  ASSERT_NE(handle, 0u);
  flow->chip.image.fileData = {1, 2, 3};
  flow->chip.settings.readResultPath = "kept.bin";
  SetCurrentMemoryType(MemoryType::Eeprom16);
  flow = RecreateFlow(true);
  ASSERT_NE(dynamic_cast<CEepromInfo16_USB*>(flow), nullptr);
  EXPECT_EQ(&flow->chip, session);
  EXPECT_EQ(flow->chip.device.handle, handle);
  EXPECT_EQ(flow->chip.image.fileData, (std::vector<std::uint8_t>{1, 2, 3}));
  flow = RecreateFlow(false);
  EXPECT_EQ(flow->chip.device.handle, 0u);
  EXPECT_TRUE(flow->chip.image.fileData.empty());
  EXPECT_EQ(flow->chip.settings.readResultPath, "kept.bin");
}

}  // namespace
}  // namespace quillon
