// The EEPROM sequences against simulated 8- and 16-bit EEPROM chips: the order
// of the commands on the wire, the failure id of every step, what a failure
// leaves on the chip, the write-protect line, the empty check, the silent
// verify, the 16-bit erase and the serial-number pre-action.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>

#include "flow/command_line_binding.h"
#include "flow/eeprom_flow.h"
#include "flow/status.h"
#include "flow_fixture.h"

namespace quillon::sim {
// The parameterised EEPROM cases list and fail by the memory's name.
inline void PrintTo(MemoryKind kind, std::ostream* os) { *os << (kind == MemoryKind::kEeprom8 ? "Eeprom8" : "Eeprom16"); }
}  // namespace quillon::sim

namespace quillon {
namespace {

using testing::OpText;

using testing::FlowFixture;
using testing::HookBus;
using testing::IsCommandBlock;
using testing::RecordingWindow;

constexpr std::size_t kImageSize = 0x400;

class EepromFlowTest : public FlowFixture {
 protected:
  void TearDown() override {
    SetMainWindow(nullptr);
    FlowFixture::TearDown();
  }

  static std::vector<std::uint8_t> EepromImage(sim::MemoryKind kind, std::uint16_t pid = 0x0011,
                                               std::size_t size = kImageSize) {
    mkimage::ImageSpec spec;
    spec.memory = kind == sim::MemoryKind::kEeprom8 ? mkimage::Memory::Eeprom8 : mkimage::Memory::Eeprom16;
    spec.configAt = 0;
    spec.size = size;
    spec.pid = pid;
    std::string error;
    auto image = mkimage::MakeImage(spec, &error);
    EXPECT_TRUE(image.has_value()) << error;
    return image.value_or(std::vector<std::uint8_t>{});
  }

  // A chip of `kind` running `old` (nothing: blank), opened and bound to a file
  // holding `image` as the command line does. Returns the file's path.
  std::string Prepare(sim::MemoryKind kind, const std::vector<std::uint8_t>& image,
                      const std::vector<std::uint8_t>& old = {}) {
    chip = &AddChipWith({.memory = kind}, old);
    oldImage = old;
    newImage = image;
    const std::string path = WriteImageFile("eeprom.rfw", image);
    OpenFirst();
    EXPECT_EQ(BindCommandLineImage(path), 1);
    flow = TheFlow();
    EXPECT_EQ(flow->memoryType(), kind == sim::MemoryKind::kEeprom8 ? MemoryType::Eeprom8 : MemoryType::Eeprom16);
    return path;
  }

  // Steps of the sequence, one name per run of equal commands.
  std::vector<std::string> Steps() {
    std::vector<std::string> steps;
    for (const auto& c : WireCommands()) {
      std::string name;
      if (c.op == OpText(sim::Op::kResetToUpdate)) name = "reset-to-loader";
      if (c.op == OpText(sim::Op::kResetToRom)) name = "reset";
      if (c.op == OpText(sim::Op::kWriteMem) && c.address >= 0xFEA0 && c.address <= 0xFEA7) name = "pin";
      if (c.op == OpText(sim::Op::kEep8Write) || c.op == OpText(sim::Op::kEep16Write)) {
        name = c.address == 1 && c.length == 1                         ? "tag"
               : c.op == OpText(sim::Op::kEep8Write) && c.length == 64 ? "erase"
                                                                       : "write";
      }
      if (c.op == OpText(sim::Op::kEep8Read) || c.op == OpText(sim::Op::kEep16Read)) name = "read";
      if (!name.empty() && (steps.empty() || steps.back() != name)) steps.push_back(name);
    }
    return steps;
  }

  std::span<const std::uint8_t> Memory(std::size_t length) { return chip->state().memory.bytes().first(length); }

  // A chip that starts after power-up holds a whole image: the old one or the new one.
  void ExpectNoPartialImageStarts() {
    chip->PowerUp();
    if (chip->state().mode != sim::RunMode::kCode) return;
    auto now = Memory(newImage.size());
    const bool isNew = std::equal(now.begin(), now.end(), newImage.begin());
    const bool isOld = !oldImage.empty() && std::equal(now.begin(), now.end(), oldImage.begin());
    EXPECT_TRUE(isNew || isOld) << "a chip that starts a partial image";
  }

  // Refuses every command block `op` (of `length`, 0: any; at `address`, -1:
  // any) after `after` of them went through. Returns how many were refused.
  std::shared_ptr<int> RefuseCommand(const std::string& op, int after, std::uint32_t length, long address = -1) {
    auto refused = std::make_shared<int>(0);
    hookBus->hook = [=, seen = 0](HookBus&, UsbHandle, const SetupPacket& s,
                                  std::span<std::uint8_t> d) mutable -> std::optional<TransferResult> {
      if (!IsCommandBlock(s) || d.size() < 8) return std::nullopt;
      char name[5];
      std::snprintf(name, sizeof name, "%02x%02x", d[0], d[1]);
      const std::uint32_t blockLength = d[4] | d[5] << 8;
      const long blockAddress = d[2] | d[3] << 8;
      if (name != op || (length != 0 && blockLength != length) || (address >= 0 && blockAddress != address)) {
        return std::nullopt;
      }
      if (seen++ < after) return std::nullopt;
      ++*refused;
      return TransferResult{31, 0};
    };
    return refused;
  }

  sim::SimChip* chip = nullptr;
  std::vector<std::uint8_t> oldImage;
  std::vector<std::uint8_t> newImage;
};

struct WireCase {
  const char* name;
  sim::MemoryKind kind;
  std::string writeOp;
  std::vector<std::string> steps;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class EepromWireOrderTest : public EepromFlowTest, public ::testing::WithParamInterface<WireCase> {};

// Byte 1 goes out as 0xFF with the bulk data on both widths; the tag 0xA5 is the last write.
TEST_P(EepromWireOrderTest, HoldsByteOneBackAndWritesTheTagLast) {
  const WireCase& c = GetParam();
  const std::string path = Prepare(c.kind, EepromImage(c.kind), EepromImage(c.kind, 0x0022));
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1);
  EXPECT_EQ(LastStatus(), 0u);
  EXPECT_EQ(Steps(), c.steps);

  std::vector<std::string> lines = WireLines();
  const std::string firstChunk = "21 01 0a00 0300 0008 " + c.writeOp + "000008000000";
  auto block = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(firstChunk, 0) == 0; });
  ASSERT_NE(block, lines.end());
  ASSERT_LT(block + 1, lines.end());
  ASSERT_EQ(block[1].rfind("21 01 0b00 0300 0008 ", 0), 0u) << block[1];
  EXPECT_EQ(block[1].substr(23, 2), "ff") << "byte 1 of the first chunk: " << block[1];

  std::vector<testing::WireCommand> writes;
  for (const auto& w : WireCommands()) {
    if (w.op == c.writeOp) writes.push_back(w);
  }
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back().address, 1u);
  EXPECT_EQ(writes.back().length, 1u);
  EXPECT_EQ(writes.size(), kImageSize / 8 + 1 + (c.kind == sim::MemoryKind::kEeprom8 ? 1 : 0)) << "8-byte chunks";

  auto memory = Memory(kImageSize);
  EXPECT_TRUE(std::equal(memory.begin(), memory.end(), newImage.begin()));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, EepromWireOrderTest,
    ::testing::Values(WireCase{"Eeprom8",
                               sim::MemoryKind::kEeprom8,
                               OpText(sim::Op::kEep8Write),
                               {"reset-to-loader", "pin", "erase", "read", "write", "read", "tag", "pin", "reset"}},
                      WireCase{"Eeprom16",
                               sim::MemoryKind::kEeprom16,
                               OpText(sim::Op::kEep16Write),
                               {"reset-to-loader", "pin", "write", "read", "tag", "pin", "reset"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct StepFailure {
  const char* name;
  sim::MemoryKind kind;
  std::string op;        // command blocks to refuse
  int after;             // ... after this many of them went through
  std::uint32_t length;  // ... only of this length (0: any)
  std::uint32_t id;
  long address = -1;     // ... only at this address
};
// Listings and failures name the case, not its bytes.
void PrintTo(const StepFailure& c, std::ostream* os) { *os << c.name; }

class EepromStepFailureTest : public EepromFlowTest, public ::testing::WithParamInterface<StepFailure> {};

// Each step's failure gives its own id, posted once; the run does not pass and
// no chip is left that starts a partial image.
TEST_P(EepromStepFailureTest, ReportsTheStepsId) {
  const StepFailure& c = GetParam();
  const std::string path = Prepare(c.kind, EepromImage(c.kind), EepromImage(c.kind, 0x0022));
  RecordingWindow window;
  SetMainWindow(&window);
  if (c.op == "corrupt") {
    chip->state().faults.corruptRead = {0x40};
  } else {
    RefuseCommand(c.op, c.after, c.length, c.address);
  }
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), c.id);
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 1);
  EXPECT_EQ(window.Count(WM_FLOW_PASS), 0);
  hookBus->hook = nullptr;
  chip->state().faults.corruptRead.clear();
  ExpectNoPartialImageStarts();
}

constexpr auto k8 = sim::MemoryKind::kEeprom8;
constexpr auto k16 = sim::MemoryKind::kEeprom16;
INSTANTIATE_TEST_SUITE_P(
    Steps, EepromStepFailureTest,
    ::testing::Values(StepFailure{"Eeprom8DisableProtection", k8, OpText(sim::Op::kWriteMem), 0, 0,
                                  msg::kDisableWriteProtectFail, 0xFEA0},
                      StepFailure{"Eeprom8Erase", k8, OpText(sim::Op::kEep8Write), 0, 64, msg::kEraseEepromFail},
                      StepFailure{"Eeprom8CheckEmpty", k8, OpText(sim::Op::kEep8Read), 0, 0, msg::kLinkFail},
                      StepFailure{"Eeprom8Write", k8, OpText(sim::Op::kEep8Write), 3, 8, msg::kUpdateEepromFail},
                      StepFailure{"Eeprom8ReadBack", k8, OpText(sim::Op::kEep8Read), 8 + 3, 0, msg::kReadEepromFail},
                      StepFailure{"Eeprom8Compare", k8, "corrupt", 0, 0, msg::kCompareDataFail},
                      StepFailure{"Eeprom8Tag", k8, OpText(sim::Op::kEep8Write), 0, 1, msg::kWriteTagFail},
                      StepFailure{"Eeprom8EnableProtection", k8, OpText(sim::Op::kWriteMem), 1, 0,
                                  msg::kEnableWriteProtectFail, 0xFEA0},
                      StepFailure{"Eeprom8Reset", k8, OpText(sim::Op::kResetToRom), 0, 0, msg::kResetDeviceFail},
                      StepFailure{"Eeprom16DisableProtection", k16, OpText(sim::Op::kWriteMem), 0, 0,
                                  msg::kDisableWriteProtectFail, 0xFEA0},
                      StepFailure{"Eeprom16Write", k16, OpText(sim::Op::kEep16Write), 3, 8, msg::kUpdateEepromFail},
                      StepFailure{"Eeprom16Verify", k16, OpText(sim::Op::kEep16Read), 3, 0, msg::kReadEepromFail},
                      StepFailure{"Eeprom16Compare", k16, "corrupt", 0, 0, msg::kCompareDataFail},
                      StepFailure{"Eeprom16Tag", k16, OpText(sim::Op::kEep16Write), 0, 1, msg::kWriteTagFail},
                      StepFailure{"Eeprom16EnableProtection", k16, OpText(sim::Op::kWriteMem), 1, 0,
                                  msg::kEnableWriteProtectFail, 0xFEA0},
                      StepFailure{"Eeprom16Reset", k16, OpText(sim::Op::kResetToRom), 0, 0, msg::kResetDeviceFail}),
    [](const auto& info) { return std::string(info.param.name); });

class EepromWidthTest : public EepromFlowTest, public ::testing::WithParamInterface<sim::MemoryKind> {};

std::string WidthName(const ::testing::TestParamInfo<sim::MemoryKind>& info) {
  return info.param == sim::MemoryKind::kEeprom8 ? "Eeprom8" : "Eeprom16";
}

// The board pulls the write-protect line up: the flows release the pin before
// they write, so they pass; when the release leaves the pin an input, every
// write is dropped and the run fails without touching the old image.
TEST_P(EepromWidthTest, PulledUpWriteProtectLine) {
  const sim::MemoryKind kind = GetParam();
  const std::string path = Prepare(kind, EepromImage(kind), EepromImage(kind, 0x0022));
  chip->state().faults.wpPulledUp = true;
  // The pin-direction write of the release arrives without the output bit.
  hookBus->hook = [pending = false](HookBus&, UsbHandle, const SetupPacket& s,
                                    std::span<std::uint8_t> d) mutable -> std::optional<TransferResult> {
    if (IsCommandBlock(s) && d.size() >= 8) pending = d[1] == 0x82 && (d[2] | d[3] << 8) == 0xFEA1;
    if (pending && s.bmRequestType == 0x21 && s.wValue == 0x0B00 && !d.empty()) {
      d[0] &= 0xFD;
      pending = false;
    }
    return std::nullopt;
  };
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), kind == k8 ? msg::kCheckEmptyFail : msg::kCompareDataFail);
  auto memory = Memory(kImageSize);
  EXPECT_TRUE(std::equal(memory.begin(), memory.end(), oldImage.begin())) << "nothing was stored";

  hookBus->hook = nullptr;
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1) << LastStatus();
  memory = Memory(kImageSize);
  EXPECT_TRUE(std::equal(memory.begin(), memory.end(), newImage.begin()));
}

// The 8-bit erase releases the pin too: with a pulled-up line it would otherwise
// report a pass for a chip that kept its image.
TEST_F(EepromFlowTest, EightBitEraseWithPulledUpWriteProtectLine) {
  Prepare(k8, EepromImage(k8), EepromImage(k8, 0x0022));
  chip->state().faults.wpPulledUp = true;
  SetWorkingMemorySize(0x10000);
  EXPECT_EQ(flow->DEV_RunCommand('E', ""), 1);
  EXPECT_EQ(LastStatus(), msg::kEraseEepromSucceed);
  auto memory = Memory(0x10000);
  EXPECT_TRUE(std::all_of(memory.begin(), memory.end(), [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kLoader);
}

// The empty check reads exactly the 64 erased bytes, whatever the image length.
TEST_F(EepromFlowTest, EmptyCheckReadsTheFirst64Bytes) {
  const std::string path = Prepare(k8, EepromImage(k8));
  chip->state().faults.corruptRead = {63};
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), msg::kCheckEmptyFail);
  std::vector<std::uint32_t> reads;
  for (const auto& c : WireCommands()) {
    if (c.op == OpText(sim::Op::kEep8Read)) {
      EXPECT_EQ(c.length, 8u);
      reads.push_back(c.address);
    }
  }
  EXPECT_EQ(reads, (std::vector<std::uint32_t>{0, 8, 16, 24, 32, 40, 48, 56}));
}

// A 40-byte 8-bit image: shorter than the 64 bytes the empty check reads.
TEST_F(EepromFlowTest, FortyByteEightBitImage) {
  std::vector<std::uint8_t> image = {0x11, 0xA5, 0xA8, 20,   0,    2,    6,    0x2F, 0x04, 0x77,
                                     0x60, 0x10, 8,    4,    0x7C, 0x3A, 0x11, 0x00, 0x01, 0x00};
  for (std::uint8_t i = 0; image.size() < 40; ++i) image.push_back(i);
  const std::string path = Prepare(k8, image);
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 1) << LastStatus();
  auto memory = Memory(40);
  EXPECT_TRUE(std::equal(memory.begin(), memory.end(), image.begin()));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
  EXPECT_EQ(flow->DEV_RunCommand('V', path), 1) << LastStatus();
}

struct VerifyCase {
  const char* name;
  sim::MemoryKind kind;
  bool failRead;
  std::uint32_t id;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

class EepromVerifyTest : public EepromFlowTest, public ::testing::WithParamInterface<VerifyCase> {};

// A failed read keeps its own id; a difference after a good read is 41709.
TEST_P(EepromVerifyTest, ReportsWhatWentWrong) {
  const VerifyCase& c = GetParam();
  auto image = EepromImage(c.kind);
  auto differs = image;
  differs.back() ^= 0x01;
  Prepare(c.kind, image, image);
  const std::string file = WriteImageFile("other.rfw", differs);
  RecordingWindow window;
  SetMainWindow(&window);
  // A buffer left from an earlier operation that would match.
  flow->chip.readBuffer = differs;
  if (c.failRead) RefuseCommand(c.kind == k8 ? OpText(sim::Op::kEep8Read) : OpText(sim::Op::kEep16Read), 0, 0);
  EXPECT_EQ(flow->DEV_RunCommand('V', file), 0);
  EXPECT_EQ(LastStatus(), c.id);
  EXPECT_EQ(window.Count(WM_FLOW_PASS), c.failRead ? 0 : 1) << "the read's own pass";
}

INSTANTIATE_TEST_SUITE_P(Cases, EepromVerifyTest,
                         ::testing::Values(VerifyCase{"Eeprom8ReadFails", k8, true, msg::kReadEepromFail},
                                           VerifyCase{"Eeprom16ReadFails", k16, true, msg::kReadEepromFail},
                                           VerifyCase{"Eeprom8LastByteDiffers", k8, false, msg::kCompareDataFail},
                                           VerifyCase{"Eeprom16LastByteDiffers", k16, false, msg::kCompareDataFail}),
                         [](const auto& info) { return std::string(info.param.name); });

// A failed 16-bit erase still puts the protection back, then reports 41803.
TEST_F(EepromFlowTest, SixteenBitEraseFailureReenablesProtection) {
  Prepare(k16, EepromImage(k16), EepromImage(k16, 0x0022));
  RecordingWindow window;
  SetMainWindow(&window);
  SetWorkingMemorySize(0x10000);
  auto refused = RefuseCommand(OpText(sim::Op::kEep16Write), 0, 0);
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('E', ""), 0);
  EXPECT_EQ(LastStatus(), msg::kEraseEepromFail);
  EXPECT_EQ(window.Count(WM_FLOW_FAIL), 1);
  EXPECT_NE(std::find(window.posts.begin(), window.posts.end(), std::pair<std::uint32_t, std::uint32_t>{WM_FLOW_PROGRESS, 30}),
            window.posts.end());
  EXPECT_EQ(*refused, 3) << "3 attempts";
  std::vector<std::uint32_t> pin;
  for (const auto& c : WireCommands()) {
    if (c.op == OpText(sim::Op::kWriteMem) && c.address >= 0xFEA0 && c.address <= 0xFEA7) pin.push_back(c.address);
  }
  // Released before the erase, put back after it.
  EXPECT_EQ(pin, (std::vector<std::uint32_t>{0xFEA0, 0xFEA6, 0xFEA1, 0xFEA7, 0xFEA0, 0xFEA6, 0xFEA1, 0xFEA7}));
  EXPECT_EQ(chip->state().registers[0xFEA1] & 0x02, 0) << "the pin is an input again";
}

// "SaveSN" with an 8 KB image, which ends before the profile's flash area: the
// number goes into the area at offset 0, where the chip reads it, and the code
// after the area stays the file's.
TEST_P(EepromWidthTest, SerialNumberGoesIntoTheAreaAtZero) {
  const sim::MemoryKind kind = GetParam();
  UseSettings("SaveSN=1\r\n");
  const auto image = EepromImage(kind, 0x0011, 0x2000);
  const std::string path = Prepare(kind, image, EepromImage(kind, 0x0022, 0x2000));
  EXPECT_EQ(flow->DEV_Silence_WriteSNBin(path, "QL0000000099"), 1);
  const auto memory = Memory(0x2000);
  EXPECT_NE(std::string(memory.begin(), memory.begin() + 0x100).find("QL0000000099"), std::string::npos);
  std::size_t lastDifference = 0;
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (memory[i] != image[i]) lastDifference = i;
  }
  EXPECT_LT(lastDifference, 0x100u);
}

// A number whose record would grow that area over the code after it fails
// before the chip is touched.
TEST_P(EepromWidthTest, SerialNumberThatWouldCoverTheCodeFails) {
  const sim::MemoryKind kind = GetParam();
  UseSettings("SaveSN=1\r\n");
  const std::string path = Prepare(kind, EepromImage(kind, 0x0011, 0x2000), EepromImage(kind, 0x0022, 0x2000));
  MarkWire();
  EXPECT_EQ(flow->DEV_Silence_WriteSNBin(path, std::string(48, 'Q')), 0);
  EXPECT_EQ(LastStatus(), msg::kSaveSnFail);
  EXPECT_EQ(Steps(), std::vector<std::string>{}) << "no reset, no pin, no write";
  auto memory = Memory(0x2000);
  EXPECT_TRUE(std::equal(memory.begin(), memory.end(), oldImage.begin()));
}

// The update programs the built-in image buffer and ends in the new code.
TEST_P(EepromWidthTest, UpdateProgramsTheBuiltInImage) {
  const sim::MemoryKind kind = GetParam();
  Prepare(kind, EepromImage(kind), EepromImage(kind, 0x0022));
  flow->chip.image.builtin = newImage;
  flow->chip.image.builtin.resize(0x2000, 0xFF);
  flow->chip.image.builtinLength = newImage.size();
  RecordingWindow window;
  SetMainWindow(&window);
  EXPECT_EQ(flow->DEV_Update(), 1);
  EXPECT_EQ(window.posts.back(), (std::pair<std::uint32_t, std::uint32_t>{WM_FLOW_PASS, msg::kUpdateEepromSucceed}));
  auto memory = Memory(kImageSize);
  EXPECT_TRUE(std::equal(memory.begin(), memory.end(), newImage.begin()));
  EXPECT_EQ(chip->state().mode, sim::RunMode::kCode);
}

// The text dump: two upper-case hex digits and a space per byte, CR LF after every 16.
TEST_P(EepromWidthTest, TextDumpOfWhatWasRead) {
  const sim::MemoryKind kind = GetParam();
  Prepare(kind, EepromImage(kind), EepromImage(kind));
  SetWorkingMemorySize(32);
  const auto out = temp.path() / "dump.txt";
  EXPECT_EQ(flow->DEV_RunCommand('T', out.string()), 1);
  std::string expected;
  char hex[4];
  for (std::size_t i = 0; i < 32; ++i) {
    std::snprintf(hex, sizeof hex, "%02X ", newImage[i]);
    expected += hex;
    if (i % 16 == 15) expected += "\r\n";
  }
  std::ifstream in(out, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), expected);
}

// A cancelled download stops at the ROM entry: a cancel, and nothing written.
TEST_P(EepromWidthTest, CancelledDownload) {
  const sim::MemoryKind kind = GetParam();
  const std::string path = Prepare(kind, EepromImage(kind), EepromImage(kind, 0x0022));
  RecordingWindow window;
  window.cancel = true;
  SetMainWindow(&window);
  MarkWire();
  EXPECT_EQ(flow->DEV_RunCommand('W', path), 0);
  EXPECT_EQ(LastStatus(), msg::kRunCancelled);
  EXPECT_EQ(Steps(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Widths, EepromWidthTest, ::testing::Values(k8, k16), WidthName);

}  // namespace
}  // namespace quillon
