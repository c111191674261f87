// OTP downloads, reads and their failures on a simulated OTP chip, checked on
// the wire (the OTP write commands with their mode words) and in the OTP's
// final contents: blocks, VD table, ECC table and the block the chip boots.
#include <gtest/gtest.h>

#include <map>
#include <ostream>

#include "flow/chip_snapshot.h"
#include "flow/otp_flow.h"
#include "flow_fixture.h"
#include "otp_images.h"
#include "platform/prompt.h"
#include "sim/chip_model.h"

namespace quillon::testing {
namespace {

using namespace otp;

// One OTP write command on the wire.
struct OtpWrite {
  std::uint32_t address;
  std::uint32_t length;
  std::uint32_t mode;
  bool operator==(const OtpWrite&) const = default;
};
std::ostream& operator<<(std::ostream& out, const OtpWrite& w) {
  return out << std::hex << "{0x" << w.address << ", " << std::dec << w.length << ", mode " << w.mode << "}";
}

// Answers questions as told and remembers what it was shown.
class ScriptedPrompt final : public Prompt {
 public:
  void Show(std::string_view text, std::string_view) override { shown.emplace_back(text); }
  Answer Ask(std::string_view text, std::string_view, Answer) override {
    asked.emplace_back(text);
    return answer;
  }
  Answer answer = Answer::No;
  std::vector<std::string> shown;
  std::vector<std::string> asked;
};

class OtpFlowTest : public FlowFixture {
 protected:
  void SetUp() override {
    FlowFixture::SetUp();
    SetCurrentMemoryType(MemoryType::Otp);
    SetWorkingMemorySize(0x4000);
    flow = RecreateFlow(false);
    SetMainWindow(&window);
    SetPrompt(&prompt);
    image = OtpImage(1024);
    ImageParts parts = BuildImageParts(image);
    ASSERT_TRUE(parts.code && parts.config);
    code = *parts.code;
    config = *parts.config;
    L = static_cast<std::uint16_t>(code.size());
    C = static_cast<std::uint16_t>(config.size());
  }
  void TearDown() override {
    SetMainWindow(nullptr);
    SetPrompt(nullptr);
    FlowFixture::TearDown();
  }

  sim::SimChip& AddOtpChip() {
    sim::ChipConfig config;
    config.memory = sim::MemoryKind::kOtp;
    config.offBusMs = 20;
    sim::SimChip& made = bus.AddChip(config);
    made.PowerUp();
    chip = &made;
    return made;
  }
  void Open() {
    if (TheFlow()->chip.device.handle != 0) TheFlow()->MP_CloseDevice();
    OpenFirst();
    Otp().chip.image.fileData = image;
  }
  COTPInfo_USB& Otp() { return *static_cast<COTPInfo_USB*>(TheFlow()); }

  std::span<const std::uint8_t> Mem() const { return chip->state().memory.bytes(); }
  std::vector<std::uint8_t> Mem(std::uint32_t at, std::size_t n) const {
    return std::vector<std::uint8_t>(Mem().begin() + at, Mem().begin() + at + static_cast<std::ptrdiff_t>(n));
  }
  VdEntry Vd(std::uint32_t i) const { return VdEntry::Unpack(Mem().subspan(VdEntryAddress(i), 5)); }
  EccEntry Ecc(std::uint32_t n) const { return EccEntry::Unpack(Mem().subspan(EccEntryAddress(n), 4)); }
  void Put(std::uint32_t at, std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> all(Mem().begin(), Mem().end());
    std::copy(bytes.begin(), bytes.end(), all.begin() + at);
    chip->state().memory.Load(all);
  }
  void PutVd(std::uint32_t i, VdEntry e) { Put(VdEntryAddress(i), e.Pack()); }
  void PutEcc(std::uint32_t n, EccEntry e) { Put(EccEntryAddress(n), e.Pack()); }

  // The OTP write commands since the mark.
  std::vector<OtpWrite> Writes() {
    std::vector<OtpWrite> out;
    std::vector<std::string> lines = WireLines();
    for (std::size_t i = mark; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      if (line.rfind("21 01 0a00 0300 0008 0297", 0) != 0) continue;
      const std::string block = line.substr(21, 16);
      auto byte = [&](int n) { return static_cast<std::uint32_t>(std::stoul(block.substr(n * 2, 2), nullptr, 16)); };
      out.push_back({byte(2) | byte(3) << 8, byte(4) | byte(5) << 8, byte(6) | byte(7) << 8});
    }
    return out;
  }
  void Mark() { mark = WireLines().size(); }
  std::vector<std::uint32_t> Fails() const {
    std::vector<std::uint32_t> out;
    for (auto [what, id] : window.posts) {
      if (what == WM_FLOW_FAIL) out.push_back(id);
    }
    return out;
  }
  std::optional<sim::OtpBoot> Boot() const { return sim::OtpBootBlock(chip->state()); }
  bool OtpBlank() const { return std::all_of(Mem().begin(), Mem().end(), [](std::uint8_t b) { return b == 0; }); }
  // From blank the configuration part lies at 0 and the code part behind it.
  std::uint16_t CodeAt() const { return C; }
  // The OTP address of a byte of the code part's small-cache data (from
  // offset `from` on) that needs bits.
  std::uint16_t CodeByteNeedingBits(std::uint16_t from) const {
    while (code[from] == 0) ++from;
    return static_cast<std::uint16_t>(CodeAt() + from);
  }
  std::uint8_t CodeByte(std::uint16_t address) const { return code[address - CodeAt()]; }

  RecordingWindow window;
  ScriptedPrompt prompt;
  sim::SimChip* chip = nullptr;
  std::vector<std::uint8_t> image;
  std::vector<std::uint8_t> code;
  std::vector<std::uint8_t> config;
  std::uint16_t L = 0;
  std::uint16_t C = 0;
  std::size_t mark = 0;
};

TEST_F(OtpFlowTest, BlankOtpThenEachDownloadAppendsAndRetiresTheOlderBlocks) {
  AddOtpChip();
  Open();
  Mark();
  ASSERT_EQ(Otp().OTP_Download(), 1) << ::testing::PrintToString(Fails());
  EXPECT_EQ(LastStatus(), 0u);
  // The configuration part's data at 0 with the full budget, the code part's
  // behind it, then their entries back to back: the code entry, which makes
  // the chip start, is the last write.
  EXPECT_EQ(Writes(), (std::vector<OtpWrite>{{0, C, 8}, {C, L, 8}, {0x3F70, 5, 8}, {0x3F75, 5, 8}}));
  EXPECT_EQ(Mem(0, C), config);
  EXPECT_EQ(Mem(C, L), code);
  EXPECT_EQ(Vd(0), (VdEntry{0, C, 0xAA}));
  EXPECT_EQ(Vd(1), (VdEntry{C, L, 0x55}));
  EXPECT_TRUE(IsBlankVd(Mem().subspan(VdEntryAddress(2), 5)));
  EXPECT_TRUE(std::all_of(Mem().begin() + kEccTable, Mem().end(), [](auto b) { return b == 0; }));
  ASSERT_TRUE(Boot());
  EXPECT_EQ(Boot()->bytes, code);
  EXPECT_EQ(chip->state().mode, sim::RunMode::kOtpCode);

  Mark();
  ASSERT_EQ(Otp().OTP_Download(), 1);
  const std::uint16_t second = static_cast<std::uint16_t>(L + C);
  EXPECT_EQ(Writes(), (std::vector<OtpWrite>{{second, C, 8},
                                             {static_cast<std::uint32_t>(second + C), L, 8},
                                             {0x3F7A, 5, 8},
                                             {0x3F7F, 5, 8},
                                             {0x3F74, 1, 8},  // the first configuration entry's type retired
                                             {0x3F79, 1, 8}}));
  EXPECT_EQ(Vd(0), (VdEntry{0, C, 0xFF}));
  EXPECT_EQ(Vd(1), (VdEntry{C, L, 0xFF}));
  EXPECT_EQ(Vd(2), (VdEntry{second, C, 0xAA}));
  EXPECT_EQ(Vd(3), (VdEntry{static_cast<std::uint16_t>(second + C), L, 0x55}));
  EXPECT_EQ(Mem(second + C, L), code);

  ASSERT_EQ(Otp().OTP_Download(), 1);
  const std::uint16_t third = static_cast<std::uint16_t>(2 * second);
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Vd(i).type, 0xFF) << i;
  EXPECT_EQ(Vd(4), (VdEntry{third, C, 0xAA}));
  EXPECT_EQ(Vd(5), (VdEntry{static_cast<std::uint16_t>(third + C), L, 0x55}));
  EXPECT_EQ(Boot()->entry, 5);

  // The usage figures of the chip now: three downloads used, two entries each.
  std::string usage;
  ASSERT_EQ(Otp().OTP_UsageText(usage), 1);
  const std::uint32_t used = 3u * second;
  // Ten entries left: downloads go at 10, 8 and 6 free entries; at 4 the next is refused.
  const std::uint32_t times = 3;
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "Used OTP Space: %0.2f KB\nFree OTP Space: %0.2f KB\nRemaining Programmable Times: %d.",
                static_cast<float>(used) / 1024.0f, static_cast<float>(kCodeAreaSize - used) / 1024.0f,
                static_cast<int>(times));
  EXPECT_EQ(usage, expected);
  EXPECT_EQ(Otp().OTP_SpaceText(), used);
  EXPECT_EQ(Otp().chip.connectionText.rfind("Used OTP Space: ", 0), 0u);
}

TEST_F(OtpFlowTest, ReadGivesTheNewestBlocksJoinedWithTheEccTableApplied) {
  AddOtpChip();
  const std::uint16_t bad1 = CodeByteNeedingBits(100);
  const std::uint16_t bad2 = CodeByteNeedingBits(700);
  // Two data cells and the value cell of ECC entry 1 do not program.
  chip->state().faults.otpFail = {bad1, bad2, static_cast<std::uint16_t>(EccEntryAddress(1) + 2)};
  Open();
  Mark();
  ASSERT_EQ(Otp().OTP_Download(), 1) << ::testing::PrintToString(Fails());
  const std::vector<OtpWrite> writes = Writes();
  ASSERT_GE(writes.size(), 7u);
  EXPECT_EQ(writes[1], (OtpWrite{CodeAt(), L, 8}));
  // Entry 1 fails and is invalidated; entries 2 and 3 take the two bytes.
  EXPECT_EQ(std::vector<OtpWrite>(writes.begin() + 2, writes.begin() + 6),
            (std::vector<OtpWrite>{{0x3FC0, 4, 8}, {0x3FC3, 1, 8}, {0x3FC4, 4, 8}, {0x3FC8, 4, 8}}));
  EXPECT_EQ(Ecc(1).marker, 0xFF);
  EXPECT_EQ(Ecc(2), (EccEntry{bad1, CodeByte(bad1), 0x5A}));
  EXPECT_EQ(Ecc(3), (EccEntry{bad2, CodeByte(bad2), 0x5A}));
  EXPECT_EQ(Mem()[bad1], 0x00) << "the cell itself stays blank";
  EXPECT_EQ(Boot()->bytes, code) << "the chip boots the part as corrected";

  ASSERT_EQ(Otp().OTP_Read(), 1);
  std::vector<std::uint8_t> joined = *JoinBlocks(code, config);
  EXPECT_EQ(Otp().chip.readBuffer, joined);
  EXPECT_EQ(window.posts.back(), (std::pair<std::uint32_t, std::uint32_t>{WM_FLOW_PASS, 41929}));

  // A new download elsewhere retires the entries that corrected the old block.
  chip->state().faults.otpFail.clear();
  ASSERT_EQ(Otp().OTP_Download(), 1);
  EXPECT_EQ(Ecc(2).marker, 0xFF);
  EXPECT_EQ(Ecc(3).marker, 0xFF);
  EXPECT_EQ(Boot()->bytes, code);
  ASSERT_EQ(Otp().OTP_Read(), 1);
  EXPECT_EQ(Otp().chip.readBuffer, joined);
}

TEST_F(OtpFlowTest, AReservedEntryInsideTheNewBlockIsCompletedWithThePartsByte) {
  AddOtpChip();
  const std::uint16_t at = CodeByteNeedingBits(60);
  // A reserved entry (in use, value 0) for a cell that already holds a stray bit.
  PutEcc(1, {at, 0x00, 0x5A});
  const std::uint8_t stray = 0x01;
  Put(at, std::array<std::uint8_t, 1>{stray});
  Open();
  Mark();
  ASSERT_EQ(Otp().OTP_Download(), 1) << ::testing::PrintToString(Fails());
  const std::vector<OtpWrite> writes = Writes();
  // The configuration part before it keeps a slot for the reserved entry behind it (budget 7).
  EXPECT_EQ(writes.at(0), (OtpWrite{0, C, 7}));
  // Budget 8 (15 blank and 1 reserved entries, at most 8) less the byte already taken; then the
  // reserved entry completed.
  EXPECT_EQ(writes.at(1), (OtpWrite{CodeAt(), L, 7}));
  EXPECT_EQ(writes.at(2), (OtpWrite{0x3FC0, 4, 8}));
  EXPECT_EQ(Ecc(1), (EccEntry{at, CodeByte(at), 0x5A}));
  EXPECT_EQ(Mem()[at], static_cast<std::uint8_t>(CodeByte(at) | stray));
  EXPECT_EQ(Boot()->bytes, code);
}

TEST_F(OtpFlowTest, NoCorrectionBudgetFailsThePartAndBooksWhatItConsumed) {
  AddOtpChip();
  // Every ECC entry is in use for bytes outside the new block: nothing left to correct with.
  for (std::uint32_t n = 1; n <= 16; ++n) PutEcc(n, {static_cast<std::uint16_t>(0x3F60 + n - 1), 0x11, 0x5A});
  const std::uint16_t bad = CodeByteNeedingBits(300);
  chip->state().faults.otpFail = {bad};
  Open();
  Mark();
  EXPECT_EQ(Otp().OTP_Download(), 0);
  EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{41919}));
  EXPECT_EQ(LastStatus(), 41919u);
  // Mode word 0; one dead entry covers the configuration part's unbooked data
  // and the code part's up to the failure where the chip stopped.
  EXPECT_EQ(Writes(), (std::vector<OtpWrite>{{0, C, 0}, {CodeAt(), L, 0}, {0x3F70, 5, 8}}));
  EXPECT_EQ(Vd(0), (VdEntry{0, bad, 0xFF}));
  EXPECT_EQ(Mem(CodeAt(), bad - CodeAt()), std::vector<std::uint8_t>(code.begin(), code.begin() + (bad - CodeAt())));
  EXPECT_TRUE(std::all_of(Mem().begin() + bad, Mem().begin() + 0x3F60, [](auto b) { return b == 0; }));
  EXPECT_FALSE(Boot()) << "the configuration part alone starts nothing";

  // The next download starts behind the consumed bytes.
  chip->state().faults.otpFail.clear();
  for (std::uint32_t n = 1; n <= 16; ++n) Put(EccMarkerAddress(n), std::array<std::uint8_t, 1>{0xFF});
  Mark();
  // No blank ECC entry: the budget stays 0, but without bad cells the part passes.
  ASSERT_EQ(Otp().OTP_Download(), 1);
  EXPECT_EQ(Writes().front(), (OtpWrite{bad, C, 0}));
  EXPECT_EQ(Vd(2), (VdEntry{static_cast<std::uint16_t>(bad + C), L, 0x55}));
  EXPECT_EQ(Boot()->bytes, code);
}

TEST_F(OtpFlowTest, LockedOtpIsNeverProgrammed) {
  AddOtpChip();
  chip->state().otpLock = kLockBit;
  Open();
  Mark();
  EXPECT_EQ(Otp().OTP_Download(), 0);
  EXPECT_EQ(Fails().front(), 41918u);
  EXPECT_EQ(LastStatus(), 41918u);
  EXPECT_TRUE(Writes().empty());
  EXPECT_TRUE(OtpBlank());
}

struct SpaceCase {
  const char* name;
  std::vector<std::pair<std::uint32_t, VdEntry>> table;
  const char* question;  // null: none asked
};
// Listings and failures name the case, not its bytes.
void PrintTo(const SpaceCase& c, std::ostream* os) { *os << c.name; }

class OtpSpaceQuestionTest : public OtpFlowTest, public ::testing::WithParamInterface<SpaceCase> {};

std::vector<std::pair<std::uint32_t, VdEntry>> DeadEntries(std::uint32_t count) {
  std::vector<std::pair<std::uint32_t, VdEntry>> rows;
  for (std::uint32_t i = 0; i < count; ++i) rows.push_back({i, {static_cast<std::uint16_t>(10 * i), 10, 0xFF}});
  return rows;
}

TEST_P(OtpSpaceQuestionTest, AskedAtTheThresholdsAndANoLeavesTheOtpUnchanged) {
  const SpaceCase& c = GetParam();
  // One part, so that one question decides.
  image = OtpImage(std::nullopt);
  AddOtpChip();
  for (auto [i, e] : c.table) PutVd(i, e);
  const std::vector<std::uint8_t> before(Mem().begin(), Mem().end());
  Open();
  prompt.answer = Answer::No;
  Mark();
  const int first = Otp().OTP_Download();
  if (c.question == nullptr) {
    EXPECT_EQ(first, 1);
    EXPECT_TRUE(prompt.asked.empty()) << ::testing::PrintToString(prompt.asked) << ::testing::PrintToString(Fails());
    return;
  }
  EXPECT_EQ(first, 0);
  EXPECT_EQ(prompt.asked, std::vector<std::string>{c.question});
  EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{41914}));
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(std::vector<std::uint8_t>(Mem().begin(), Mem().end()), before);

  prompt.answer = Answer::Yes;
  EXPECT_EQ(Otp().OTP_Download(), 1);
  EXPECT_EQ(LastStatus(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, OtpSpaceQuestionTest,
    ::testing::Values(SpaceCase{"Bytes5120", {{0, {0, 16224 - 5120, 0xFF}}}, "OTP Code Size Less than 5K,\nContinue to Update!"},
                      SpaceCase{"Bytes5121", {{0, {0, 16224 - 5121, 0xFF}}}, nullptr},
                      SpaceCase{"FourEntries", DeadEntries(12), "OTP VD Block Less than 4,\nContinue to Update!"},
                      SpaceCase{"FiveEntries", DeadEntries(11), nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OtpFlowTest, NoFreeEntryAndAPartBeyondTheCodeAreaAreRefusedBeforeAnyWrite) {
  AddOtpChip();
  PutVd(15, {0, 10, 0xFF});
  Open();
  Mark();
  EXPECT_EQ(Otp().OTP_Download(), 0);
  EXPECT_EQ(prompt.shown, std::vector<std::string>{"No Available VD Block!"});
  EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{41914}));
  EXPECT_TRUE(Writes().empty());

  // 100 bytes left: the operator says go on, the end-of-space check refuses.
  sim::SimChip& other = AddOtpChip();
  bus.UnplugChip(0);
  PutVd(0, {0, 16224 - 100, 0xFF});
  const std::vector<std::uint8_t> before(Mem().begin(), Mem().end());
  Open();
  prompt.answer = Answer::Yes;
  window.posts.clear();
  Mark();
  EXPECT_EQ(Otp().OTP_Download(), 0);
  EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{41917}));
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(std::vector<std::uint8_t>(other.state().memory.bytes().begin(), other.state().memory.bytes().end()), before);
}

TEST_F(OtpFlowTest, ReadWithoutBlocksEndsWithOtpCodeNotExistAndNoDump) {
  AddOtpChip();
  Open();
  const std::string dump = (temp.path() / "otp.bin").string();
  EXPECT_EQ(Otp().DEV_DumpBin(dump), 0);
  EXPECT_EQ(LastStatus(), 41933u);
  EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{41933}));
  EXPECT_EQ(window.Count(WM_FLOW_PASS), 0);
  EXPECT_FALSE(std::filesystem::exists(dump));
  // The final reset still ran.
  EXPECT_NE(std::find(window.posts.begin(), window.posts.end(),
                      std::pair<std::uint32_t, std::uint32_t>{WM_FLOW_STEP, msg::kStepResetToNewCode}),
            window.posts.end());
}

TEST_F(OtpFlowTest, CancelDuringTheDataChunksBooksTheDeadEntryThenEndsAsACancel) {
  image = OtpImage(5000);
  code = *BuildImageParts(image).code;
  L = static_cast<std::uint16_t>(code.size());
  ASSERT_GT(L, 4096);
  AddOtpChip();
  Open();
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> data)
      -> std::optional<TransferResult> {
    // Cancelled while the code part's first chunk goes.
    if (IsCommandBlock(s) && data.size() >= 6 && data[0] == 0x02 && data[1] == 0x97 && (data[4] | data[5] << 8) == 4096) {
      window.cancel = true;
    }
    return std::nullopt;
  };
  Mark();
  EXPECT_EQ(Otp().OTP_Download(), 0);
  EXPECT_EQ(Writes(), (std::vector<OtpWrite>{{0, C, 8}, {C, 4096, 8}, {0x3F70, 5, 8}}));
  EXPECT_EQ(Vd(0), (VdEntry{0, static_cast<std::uint16_t>(C + L), 0xFF})) << "both parts' bytes, in one dead entry";
  EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{msg::kRunCancelled}));
  EXPECT_EQ(LastStatus(), msg::kRunCancelled);
  EXPECT_FALSE(Boot());
}

// The chip's report for the first data chunk replaced by `fake`.
struct ReportCase {
  const char* name;
  std::function<std::array<std::uint8_t, 19>(std::uint16_t L)> fake;
  std::uint32_t failure;
  std::function<std::uint16_t(std::uint16_t L)> consumed;
};
// Listings and failures name the case, not its bytes.
void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class OtpReportTest : public OtpFlowTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(OtpReportTest, ReportsTheToolCannotTrustFailThePart) {
  const ReportCase& c = GetParam();
  AddOtpChip();
  Open();
  bool armed = false;
  bool done = false;
  std::size_t offset = 0;
  // The first part written is the configuration part.
  const auto fake = c.fake(C);
  hookBus->hook = [&](HookBus& hb, UsbHandle h, const SetupPacket& s, std::span<std::uint8_t> data)
      -> std::optional<TransferResult> {
    if (IsCommandBlock(s) && data.size() >= 6 && data[0] == 0x02 && data[1] == 0x97 && (data[4] | data[5] << 8) > 5) {
      armed = !done;
    }
    if (IsCommandBlock(s) && data.size() >= 2 && data[0] == 0x02 && data[1] == 0xDC && armed) {
      offset = 0;
    }
    if (armed && s.bmRequestType == 0xA1 && s.bRequest == 0x81 && s.wValue == 0x0B00) {
      TransferResult result = hb.Forward(h, s, data);
      for (std::size_t i = 0; i < data.size() && offset < fake.size(); ++i) data[i] = fake[offset++];
      if (offset >= fake.size()) armed = false, done = true;
      return result;
    }
    return std::nullopt;
  };
  EXPECT_EQ(Otp().OTP_Download(), 0);
  EXPECT_EQ(Fails().front(), c.failure);
  EXPECT_EQ(Vd(0), (VdEntry{0, c.consumed(C), 0xFF}));
  EXPECT_FALSE(Boot());
}

std::array<std::uint8_t, 19> Report(std::uint8_t count, std::vector<std::uint16_t> addresses, std::uint16_t stop) {
  std::array<std::uint8_t, 19> r{};
  r[0] = count;
  for (std::size_t i = 0; i < addresses.size() && i < 8; ++i) {
    r[1 + 2 * i] = static_cast<std::uint8_t>(addresses[i] >> 8);
    r[2 + 2 * i] = static_cast<std::uint8_t>(addresses[i]);
  }
  r[17] = static_cast<std::uint8_t>(stop >> 8);
  r[18] = static_cast<std::uint8_t>(stop);
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Reports, OtpReportTest,
    ::testing::Values(
        ReportCase{"CountAboveEight",
                   [](std::uint16_t) { return Report(12, {10, 11, 12, 13, 14, 15, 16, 17}, 40); }, 41919,
                   [](std::uint16_t) -> std::uint16_t { return 40; }},
        ReportCase{"AddressOutsideThePart",
                   [](std::uint16_t L) { return Report(1, {static_cast<std::uint16_t>(L + 3)}, 0x1234); }, 41926,
                   [](std::uint16_t L) { return L; }},
        ReportCase{"StopBeyondThePart", [](std::uint16_t) { return Report(9, {1, 2, 3, 4, 5, 6, 7, 8}, 0x3000); },
                   41919, [](std::uint16_t L) { return L; }}),
    [](const auto& info) { return std::string(info.param.name); });

// A stall while a part's data goes is sent again: the same bytes to the same
// cells, which programming (an OR) takes as often as it is given them.
TEST_F(OtpFlowTest, AStalledDataPieceIsSentAgainAndLeavesNoUnbookedBytes) {
  for (int piece : {1, 3, 17}) {
    SCOPED_TRACE("stalled piece " + std::to_string(piece));
    for (std::size_t i = 0; i < bus.ChipCount(); ++i) bus.UnplugChip(i);
    window.posts.clear();
    AddOtpChip();
    Open();
    int pieces = -1;  // counting from the code part's command
    bool stalled = false;
    hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> data)
        -> std::optional<TransferResult> {
      if (IsCommandBlock(s) && data.size() >= 6 && data[0] == 0x02 && data[1] == 0x97 && (data[4] | data[5] << 8) == L) {
        pieces = 0;
      } else if (pieces >= 0 && s.bmRequestType == 0x21 && s.wValue == 0x0B00 && ++pieces == piece && !stalled) {
        stalled = true;
        return TransferResult{kUsbErrorIo, 0};
      }
      return std::nullopt;
    };
    Mark();
    EXPECT_EQ(Otp().OTP_Download(), 1) << ::testing::PrintToString(Fails());
    hookBus->hook = nullptr;
    EXPECT_TRUE(stalled);
    EXPECT_EQ(Vd(1), (VdEntry{C, L, 0x55}));
    ASSERT_TRUE(Boot());
    EXPECT_EQ(Boot()->bytes, code);
    // Nothing programmed behind what the table books.
    const std::uint32_t used = UsedSpace(Mem().subspan(kVdTable, kVdTableSize));
    EXPECT_TRUE(std::all_of(Mem().begin() + used, Mem().begin() + kCodeAreaSize, [](auto b) { return b == 0; }));
  }
}

// A stall on a booking's report read is read again: the entry it reports on
// was written, and moving on would spend an entry for nothing.
TEST_F(OtpFlowTest, AStalledReportOfAnEntryIsReadAgainAndSpendsNoEntry) {
  for (int stalled : {1, 4, 12}) {
    SCOPED_TRACE(std::to_string(stalled) + " transfers stalled");
    for (std::size_t i = 0; i < bus.ChipCount(); ++i) bus.UnplugChip(i);
    window.posts.clear();
    AddOtpChip();
    Open();
    // Reports: the two parts' data chunks, then the first VD entry's, whose
    // read stalls with the transfers after it.
    int reports = 0;
    int left = 0;
    hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> data)
        -> std::optional<TransferResult> {
      if (IsCommandBlock(s) && data.size() >= 2 && data[0] == 0x02 && data[1] == 0xDC && ++reports == 3) {
        left = stalled;
      }
      if (left > 0) {
        --left;
        return TransferResult{kUsbErrorIo, 0};
      }
      return std::nullopt;
    };
    ASSERT_EQ(Otp().OTP_Download(), 1) << ::testing::PrintToString(Fails());
    hookBus->hook = nullptr;
    EXPECT_EQ(Vd(0), (VdEntry{0, C, 0xAA}));
    EXPECT_EQ(Vd(1), (VdEntry{C, L, 0x55}));
    EXPECT_TRUE(IsBlankVd(Mem().subspan(VdEntryAddress(2), 5)));
    EXPECT_EQ(Boot()->bytes, code);
  }
}

// A report the link never delivers says nothing of the cells: the download
// stops as the link failure, books and retires nothing on a guess, and once
// the link is back the next download passes. Every report of a download from
// blank and of one over an older image, in turn.
TEST_F(OtpFlowTest, AReportLostPastTheRetriesStopsAsTheLinkFailureAndSpendsNoEntry) {
  for (bool over : {false, true}) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(over ? "over an older image" : "from blank") + ", report " + std::to_string(n));
      for (std::size_t i = 0; i < bus.ChipCount(); ++i) bus.UnplugChip(i);
      AddOtpChip();
      Open();
      if (over) {
        ASSERT_EQ(Otp().OTP_Download(), 1);
      }
      const std::vector<std::uint8_t> before(Mem().begin(), Mem().end());
      int reports = 0;
      hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> data)
          -> std::optional<TransferResult> {
        if (IsCommandBlock(s) && data.size() >= 2 && data[0] == 0x02 && data[1] == 0xDC && ++reports >= n) {
          return TransferResult{kUsbErrorIo, 0};
        }
        return std::nullopt;
      };
      window.posts.clear();
      ::testing::internal::CaptureStderr();
      const int result = Otp().OTP_Download();
      const std::string err = ::testing::internal::GetCapturedStderr();
      hookBus->hook = nullptr;
      if (reports < n) {
        EXPECT_EQ(result, 1) << "the download had fewer reports";
        EXPECT_GE(n, 5);
        break;
      }
      if (result == 1) {
        // Only the retirements' reports were lost: both entries are booked.
        EXPECT_TRUE(over);
        EXPECT_NE(err.find("older blocks could not all be retired"), std::string::npos) << err;
      } else {
        EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{msg::kLinkFail}));
        EXPECT_NE(err.find("link failure: "), std::string::npos) << err;
      }
      for (std::uint32_t i = 0; i < kVdEntries; ++i) {
        const auto was = std::span(before).subspan(VdEntryAddress(i), 5);
        const auto now = Mem().subspan(VdEntryAddress(i), 5);
        EXPECT_FALSE(IsRetiredWhole(now)) << "entry " << i;
        // A blank entry is left blank or holds a live block of this download.
        if (IsBlankVd(was)) {
          EXPECT_TRUE(IsBlankVd(now) || now[4] == kTypeCode || now[4] == kTypeConfig) << "entry " << i;
        }
      }
      window.posts.clear();
      EXPECT_EQ(Otp().OTP_Download(), 1) << ::testing::PrintToString(Fails());
      ASSERT_TRUE(Boot());
      EXPECT_EQ(Boot()->bytes, code);
    }
  }
}

// A read-back byte that differs once and then reads right was a bad read: the
// part passes and spends nothing. Cells that read wrong every time fail it.
TEST_F(OtpFlowTest, AFlakyReadBackIsReadAgainBeforeThePartIsJudged) {
  AddOtpChip();
  Open();
  int flips = 0;
  int flipsWanted = 1;
  bool armed = false;
  hookBus->hook = [&](HookBus& hb, UsbHandle h, const SetupPacket& s, std::span<std::uint8_t> data)
      -> std::optional<TransferResult> {
    // The data pieces of the configuration part's read-back (read from 0).
    if (IsCommandBlock(s) && data.size() >= 6 && data[0] == 0x02) {
      armed = data[1] == 0xD7 && (data[2] | data[3] << 8) == 0 && (data[4] | data[5] << 8) == C;
    }
    if (armed && flips < flipsWanted && s.bmRequestType == 0xA1 && s.bRequest == 0x81 && s.wValue == 0x0B00) {
      TransferResult result = hb.Forward(h, s, data);
      data[data.size() / 2] ^= 0x01;
      ++flips;
      armed = false;
      return result;
    }
    return std::nullopt;
  };
  Mark();
  ASSERT_EQ(Otp().OTP_Download(), 1) << ::testing::PrintToString(Fails());
  EXPECT_EQ(flips, 1);
  EXPECT_EQ(Vd(0), (VdEntry{0, C, 0xAA}));
  EXPECT_EQ(Vd(1), (VdEntry{C, L, 0x55}));

  // Every read of the next download's configuration part reads one bit wrong
  // in the same place: that is what the cells hold.
  for (std::size_t i = 0; i < bus.ChipCount(); ++i) bus.UnplugChip(i);
  AddOtpChip();
  Open();
  flips = 0;
  flipsWanted = 100;
  window.posts.clear();
  EXPECT_EQ(Otp().OTP_Download(), 0);
  EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{msg::kCompareDataFail}));
  EXPECT_EQ(flips, 2) << "read twice, the same both times";
}

// The remaining programmable times are the downloads the batch mode will
// take: each books two entries, and with four entries (or 5 KB) left the next
// one is refused before anything is programmed.
TEST_F(OtpFlowTest, TheRemainingTimesAreTheDownloadsTakenUntilTheRefusal) {
  AddOtpChip();
  Open();
  prompt.answer = Answer::No;
  std::vector<int> figures;
  for (int run = 0; run < 20; ++run) {
    std::string usage;
    ASSERT_EQ(Otp().OTP_UsageText(usage), 1);
    const std::size_t at = usage.find("Remaining Programmable Times: ");
    ASSERT_NE(at, std::string::npos) << usage;
    figures.push_back(std::stoi(usage.substr(at + 30)));
    window.posts.clear();
    Mark();
    if (Otp().OTP_Download() == 0) {
      EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{41914}));
      EXPECT_TRUE(Writes().empty());
      break;
    }
  }
  ASSERT_GE(figures.size(), 2u);
  for (std::size_t i = 0; i < figures.size(); ++i) {
    EXPECT_EQ(figures[i], static_cast<int>(figures.size() - 1 - i)) << "before download " << i + 1;
  }
}

// Bytes a cut download left unbooked take an entry when they are booked; the
// questions come after that, so a download that will not get both its entries
// is refused before either part is programmed.
TEST_F(OtpFlowTest, ADownloadThatCannotBookBothPartsIsRefusedBeforeAnyData) {
  struct Case {
    const char* name;
    std::uint32_t dead;   // dead entries from 0
    Answer answer;
    std::uint32_t failure;
  };
  const Case cases[] = {
      {"five entries, one taken by the unbooked bytes: asked, No", 11, Answer::No, 41914},
      {"two entries, one taken by the unbooked bytes: one is not enough", 14, Answer::Yes, 41916},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t i = 0; i < bus.ChipCount(); ++i) bus.UnplugChip(i);
    AddOtpChip();
    for (std::uint32_t i = 0; i < c.dead; ++i) PutVd(i, {static_cast<std::uint16_t>(100 * i), 100, kTypeDead});
    const auto at = static_cast<std::uint16_t>(100 * c.dead);
    Put(at, std::vector<std::uint8_t>(40, 0x5C));
    prompt.answer = c.answer;
    window.posts.clear();
    Open();
    Mark();
    EXPECT_EQ(Otp().OTP_Download(), 0);
    EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{c.failure}));
    // Only the dead entry over the unbooked bytes was written.
    EXPECT_EQ(Writes(), (std::vector<OtpWrite>{{VdEntryAddress(c.dead), 5, 8}}));
    EXPECT_EQ(Vd(c.dead), (VdEntry{at, 40, kTypeDead}));
  }
}

// A retirement the link loses leaves the older blocks live: the run passes
// (the newest blocks start), says so, and the next download retires them.
TEST_F(OtpFlowTest, AnOutageWhileRetiringIsSaidAndTheNextDownloadRetires) {
  AddOtpChip();
  Open();
  ASSERT_EQ(Otp().OTP_Download(), 1);
  // The second download's writes: two data chunks, two entries, then the
  // retirements, whose writes fail from here on.
  int writes = 0;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> data)
      -> std::optional<TransferResult> {
    if (IsCommandBlock(s) && data.size() >= 2 && data[0] == 0x02 && data[1] == 0x97 && ++writes > 4) {
      return TransferResult{kUsbErrorIo, 0};
    }
    return std::nullopt;
  };
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Otp().OTP_Download(), 1) << ::testing::PrintToString(Fails());
  const std::string err = ::testing::internal::GetCapturedStderr();
  hookBus->hook = nullptr;
  EXPECT_NE(err.find("OTP: older blocks could not all be retired; the next download retires them"), std::string::npos)
      << err;
  EXPECT_TRUE(CurrentChipSnapshot().otpOlderBlocksLive);
  EXPECT_EQ(Vd(0).type, kTypeConfig) << "still live";
  EXPECT_EQ(Vd(1).type, kTypeCode) << "still live";
  EXPECT_EQ(Boot()->entry, 3);

  ::testing::internal::CaptureStderr();
  ASSERT_EQ(Otp().OTP_Download(), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr().find("older blocks"), std::string::npos);
  EXPECT_FALSE(CurrentChipSnapshot().otpOlderBlocksLive);
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Vd(i).type, kTypeDead) << i;
  EXPECT_EQ(Boot()->entry, 5);
}

// A cut while the read asks for the block table is the link's failure, named
// with its line; no "nothing in the OTP" and no failed reset for it.
TEST_F(OtpFlowTest, ALinkLostAtTheTableReadOfAReadIsTheLinkFailure) {
  AddOtpChip();
  Open();
  ASSERT_EQ(Otp().OTP_Download(), 1);
  window.posts.clear();
  bool cut = false;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> data)
      -> std::optional<TransferResult> {
    if (IsCommandBlock(s) && data.size() >= 6 && data[0] == 0x02 && data[1] == 0xD7 && (data[2] | data[3] << 8) == kVdTable) {
      cut = true;
    }
    if (cut) return TransferResult{kUsbErrorIo, 0};
    return std::nullopt;
  };
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Otp().OTP_Read(), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  hookBus->hook = nullptr;
  EXPECT_TRUE(cut);
  EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{msg::kLinkFail}));
  EXPECT_EQ(LastStatus(), msg::kLinkFail);
  EXPECT_NE(err.find("link failure: "), std::string::npos) << err;
}

// The same for a download cut while it reads the table back to retire the
// older blocks: the reset after it fails for that reason, and the run names
// the link, not the reset.
TEST_F(OtpFlowTest, ACutAtTheTableReadAfterTheBookingIsTheLinkFailure) {
  AddOtpChip();
  Open();
  int writes = 0;
  bool cut = false;
  hookBus->hook = [&](HookBus&, UsbHandle, const SetupPacket& s, std::span<std::uint8_t> data)
      -> std::optional<TransferResult> {
    if (IsCommandBlock(s) && data.size() >= 2 && data[0] == 0x02 && data[1] == 0x97) ++writes;
    // Both entries booked: the next OTP read is the table's, and the power goes.
    if (writes == 4 && IsCommandBlock(s) && data.size() >= 2 && data[0] == 0x02 && data[1] == 0xD7) cut = true;
    if (cut) return TransferResult{kUsbErrorIo, 0};
    return std::nullopt;
  };
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Otp().OTP_Download(), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  hookBus->hook = nullptr;
  ASSERT_TRUE(cut);
  EXPECT_EQ(LastStatus(), msg::kLinkFail);
  EXPECT_NE(err.find("link failure: OTP_Read at 0x3F70"), std::string::npos) << err;
  EXPECT_EQ(Boot()->bytes, code) << "both entries were booked";
}

TEST_F(OtpFlowTest, DeviceInformationCarriesTheUsageLine) {
  AddOtpChip();
  Open();
  Otp().chip.image.fileData.clear();
  Otp().SelectFirmwareForDevice();
  EXPECT_EQ(Otp().chip.connectionText, "Used OTP Space: 0.00 KB, Remain OTP Space: 15.84 KB.");
  EXPECT_EQ(Otp().otpUsedBytes, 0u);
  Otp().chip.image.fileData = image;
  ASSERT_EQ(Otp().OTP_Download(), 1);
  EXPECT_EQ(Otp().OTP_SpaceText(), std::uint32_t{L} + C);
  char line[128];
  std::snprintf(line, sizeof line, "Used OTP Space: %0.2f KB Free OTP Space: %0.2f KB Remaining Programmable Times: 5.",
                static_cast<float>(L + C) / 1024.0f, static_cast<float>(kCodeAreaSize - L - C) / 1024.0f);
  EXPECT_EQ(Otp().chip.connectionText, line);
  EXPECT_EQ(Otp().otpUsedBytes, std::uint32_t{L} + C);
}

TEST_F(OtpFlowTest, OperationsOtpLacksSay41500) {
  AddOtpChip();
  Open();
  const std::string file = (temp.path() / "x.bin").string();
  const std::function<int()> slots[] = {
      [&] { return Otp().DEV_Erase(); },
      [&] { return Otp().DEV_Silence_VerifyBin(file); },
      [&] { return Otp().DEV_DumpText(file); },
      [&] { return Otp().DEV_EraseEx(1); },
      [&] { return Otp().DEV_RunCommand('E', ""); },
  };
  for (const auto& slot : slots) {
    SetLastStatus(0);
    EXPECT_EQ(slot(), 0);
    EXPECT_EQ(LastStatus(), 41500u);
  }
  EXPECT_TRUE(OtpBlank());
}

TEST_F(OtpFlowTest, ImagesWithoutAPartOrWithACorruptAreaFailWith41925) {
  // Header, version and EEPROM-info records and nothing else: no part to write.
  std::vector<std::uint8_t> nothing{0x60, 0xA5, 21 << 3, 15, 0, 2, 6, 0x2F, 0x04, 0x77, 0x60, 0x10, 3, 8, 0};
  nothing.resize(0x4000, 0xFF);
  std::vector<std::uint8_t> corrupt = image;
  corrupt[5] = 60;  // more records than the area holds
  for (const auto& bad : {nothing, corrupt}) {
    AddOtpChip();
    for (std::size_t i = 0; i + 1 < bus.ChipCount(); ++i) bus.UnplugChip(i);
    Open();
    Otp().chip.image.fileData = bad;
    window.posts.clear();
    Mark();
    EXPECT_EQ(Otp().OTP_Download(), 0);
    EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{41925}));
    EXPECT_EQ(window.Count(WM_FLOW_PASS), 0);
    EXPECT_TRUE(Writes().empty());
    EXPECT_TRUE(OtpBlank());
  }
}

TEST_F(OtpFlowTest, SerialNumberOnAnImageShorterThanTheProfilesAreaFailsBeforeTheChip) {
  UseSettings("SaveSN=1\r\n");
  AddOtpChip();
  Open();
  Otp().chip.serialNumber = "QL0000000042";
  const std::vector<std::uint8_t> before = Otp().chip.image.fileData;
  Mark();
  EXPECT_EQ(Otp().OTP_Download(), 0);
  EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{41713}));
  EXPECT_EQ(LastStatus(), 41713u);
  EXPECT_EQ(Otp().chip.image.fileData, before);
  EXPECT_EQ(WireLines().size(), mark) << "nothing sent to the chip";
  EXPECT_TRUE(OtpBlank());
}

TEST_F(OtpFlowTest, UpdateWritesTheBuiltInImageAndEndsWith41930) {
  AddOtpChip();
  Open();
  Otp().chip.image.fileData.clear();
  Otp().chip.image.builtin = image;
  Otp().chip.image.builtinLength = image.size();
  ASSERT_EQ(Otp().OTP_Update(), 1);
  EXPECT_EQ(window.posts.back(), (std::pair<std::uint32_t, std::uint32_t>{WM_FLOW_PASS, 41930}));
  EXPECT_EQ(Vd(1), (VdEntry{C, L, 0x55}));
  EXPECT_EQ(Boot()->bytes, code);
}

TEST_F(OtpFlowTest, ReservedEntriesBeyondTheBlockNeverWrapTheBudget) {
  AddOtpChip();
  // Nine reserved entries behind the new block: more than the report's slots.
  for (std::uint32_t n = 1; n <= 9; ++n) PutEcc(n, {static_cast<std::uint16_t>(0x3000 + n), 0, 0x5A});
  Open();
  Mark();
  ASSERT_EQ(Otp().OTP_Download(), 1);
  EXPECT_EQ(Writes().front(), (OtpWrite{0, C, 0})) << "a budget of 0, not a wrapped one";
}

// A power loss at points spread over a download never leaves an entry that
// boots a partial part: the chip boots the whole code part or nothing (first
// download), or a whole code part (second download).
TEST_F(OtpFlowTest, PowerLossAnywhereNeverBootsAPartialPart) {
  AddOtpChip();
  Open();
  const std::size_t opened = WireLines().size();
  ASSERT_EQ(Otp().OTP_Download(), 1);
  const std::size_t firstRun = WireLines().size() - opened;
  const std::vector<std::uint8_t> afterFirst(Mem().begin(), Mem().end());

  int failedRuns = 0;
  for (bool second : {false, true}) {
    for (std::size_t point = 1; point <= firstRun; point += std::max<std::size_t>(firstRun / 24, 1)) {
      SCOPED_TRACE((second ? "second download, transfer " : "first download, transfer ") + std::to_string(point));
      for (std::size_t i = 0; i < bus.ChipCount(); ++i) bus.UnplugChip(i);
      AddOtpChip();
      if (second) chip->state().memory.Load(afterFirst);
      chip->PowerUp();
      const std::size_t before = WireLines().size();
      Open();
      // Counted from the chip's first transfer, some of which the open has used.
      const std::size_t used = WireLines().size() - before;
      chip->state().faults.transfers.push_back(
          {sim::TransferFaultKind::kPowerLoss, static_cast<std::uint32_t>(used + point), 1});
      // A loss after the PASS (the version refresh) leaves a passed run.
      if (Otp().OTP_Download() == 0) ++failedRuns;
      auto boot = Boot();
      if (boot) {
        EXPECT_EQ(boot->bytes, code);
      } else {
        EXPECT_FALSE(second) << "the first download's block stays bootable";
      }
    }
  }
  EXPECT_GE(failedRuns, 40) << "the losses fell inside the downloads";
}

// Bytes a cut download programmed but never booked are booked dead and the
// parts go behind them; with no room left behind them the run says so.
struct UnbookedCase {
  const char* name;
  std::vector<std::pair<std::uint32_t, VdEntry>> table;
  std::uint16_t at;      // where the unbooked bytes start (the next part's start)
  std::uint16_t length;  // up to their last non-zero byte
  std::uint32_t failure;  // 0: the download passes behind them
};
void PrintTo(const UnbookedCase& c, std::ostream* os) { *os << c.name; }

class OtpUnbookedTest : public OtpFlowTest, public ::testing::WithParamInterface<UnbookedCase> {};

TEST_P(OtpUnbookedTest, AreBookedDeadAndPassedOver) {
  const UnbookedCase& c = GetParam();
  AddOtpChip();
  for (auto [i, e] : c.table) PutVd(i, e);
  // Runs of data with blank cells between them, then blank to the end.
  std::vector<std::uint8_t> stray(c.length);
  for (std::size_t i = 0; i < stray.size(); ++i) stray[i] = i % 37 == 36 ? 0x00 : static_cast<std::uint8_t>(0x30 + i % 5);
  Put(c.at, stray);
  const std::uint32_t entry = static_cast<std::uint32_t>(c.table.size());
  prompt.answer = Answer::Yes;
  Open();
  const int result = Otp().OTP_Download();
  EXPECT_EQ(Vd(entry), (VdEntry{c.at, c.length, kTypeDead}));
  EXPECT_EQ(Mem(c.at, c.length), stray) << "nothing programmed over them";
  if (c.failure == 0) {
    EXPECT_EQ(result, 1) << ::testing::PrintToString(Fails());
    const auto behind = static_cast<std::uint16_t>(c.at + c.length);
    EXPECT_EQ(Vd(entry + 1), (VdEntry{behind, C, kTypeConfig}));
    EXPECT_EQ(Vd(entry + 2), (VdEntry{static_cast<std::uint16_t>(behind + C), L, kTypeCode}));
    ASSERT_TRUE(Boot());
    EXPECT_EQ(Boot()->bytes, code);
  } else {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Fails(), (std::vector<std::uint32_t>{c.failure}));
    EXPECT_FALSE(Boot());
    EXPECT_TRUE(std::all_of(Mem().begin() + c.at + c.length, Mem().begin() + kCodeAreaSize,
                            [](auto b) { return b == 0; }));
  }
}

std::vector<std::pair<std::uint32_t, VdEntry>> DeadChain(std::uint32_t count, std::uint16_t each) {
  std::vector<std::pair<std::uint32_t, VdEntry>> rows;
  for (std::uint32_t i = 0; i < count; ++i) rows.push_back({i, {static_cast<std::uint16_t>(i * each), each, kTypeDead}});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(
    Recovery, OtpUnbookedTest,
    ::testing::Values(UnbookedCase{"AtTheStartOfABlankOtp", {}, 0, 300, 0},
                      UnbookedCase{"InTheMiddle", {{0, {0, 8000, kTypeDead}}}, 8000, 300, 0},
                      UnbookedCase{"NearTheEnd", {{0, {0, 14000, kTypeDead}}}, 14000, 300, 0},
                      UnbookedCase{"ReachingTheEndLeavesNoRoom", {{0, {0, 15800, kTypeDead}}}, 15800, 424, 41917},
                      UnbookedCase{"InTheLastFreeEntryLeavesNoEntry", DeadChain(15, 100), 1500, 200, 41914}),
    [](const auto& info) { return std::string(info.param.name); });

// A cut at each stage of a download, from blank and over an older image: what
// the chip starts after the cut, and that the next download passes.
enum class Start { Loader, Old, New, OldCodeNewConfig };
const char* StartName(Start s) {
  switch (s) {
    case Start::Loader: return "loader";
    case Start::Old: return "old image";
    case Start::New: return "new image";
    case Start::OldCodeNewConfig: return "old code, new configuration";
  }
  return "?";
}

TEST_F(OtpFlowTest, ACutAtAnyStageLeavesAWholeImageOrTheLoaderAndTheNextDownloadPasses) {
  // An older image whose code and configuration parts both differ.
  const std::vector<std::uint8_t> older = OtpImage(600, [](mkimage::ImageSpec& spec) {
    spec.serial = "QL0000000000";
    spec.version = {0x41, 0x18, 0x00, 0x00, 0x01, 0x14, 0x00, 0x00};
  });
  const ImageParts olderParts = BuildImageParts(older);
  ASSERT_TRUE(olderParts.code && olderParts.config && *olderParts.config != config);

  // The chip with the older image, and the transfers of a download over it.
  AddOtpChip();
  Open();
  Otp().chip.image.fileData = older;
  ASSERT_EQ(Otp().OTP_Download(), 1);
  const std::vector<std::uint8_t> withOlder(Mem().begin(), Mem().end());
  const auto stateOf = [&](const sim::ChipState& state) {
    const auto boot = sim::OtpBootBlock(state);
    const auto cfg = sim::OtpConfigBlock(state);
    if (!boot) return Start::Loader;
    if (boot->bytes == code && cfg && cfg->bytes == config) return Start::New;
    if (boot->bytes == *olderParts.code && cfg && cfg->bytes == *olderParts.config) return Start::Old;
    if (boot->bytes == *olderParts.code && cfg && cfg->bytes == config) return Start::OldCodeNewConfig;
    ADD_FAILURE() << "the chip starts a mix no cut should leave";
    return Start::Loader;
  };

  for (bool fromBlank : {true, false}) {
    // One download without a fault, to find its stages on the wire.
    for (std::size_t i = 0; i < bus.ChipCount(); ++i) bus.UnplugChip(i);
    AddOtpChip();
    if (!fromBlank) chip->state().memory.Load(withOlder);
    chip->PowerUp();
    Open();
    const std::size_t opened = WireLines().size();
    ASSERT_EQ(Otp().OTP_Download(), 1);
    std::vector<std::string> lines = WireLines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(opened));
    const auto otpWrite = [&](std::size_t from, std::uint32_t length) {
      for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i].rfind("21 01 0a00 0300 0008 0297", 0) != 0) continue;
        const auto byte = [&](int n) { return std::stoul(lines[i].substr(21 + n * 2, 2), nullptr, 16); };
        if ((byte(4) | byte(5) << 8) == length) return i;
      }
      ADD_FAILURE() << "no OTP write of " << length << " bytes";
      return lines.size();
    };
    const std::size_t configData = otpWrite(0, C), codeData = otpWrite(configData, L);
    const std::size_t configEntry = otpWrite(codeData, 5), codeEntry = otpWrite(configEntry + 1, 5);
    std::size_t afterCodeEntry = codeEntry + 1;
    while (afterCodeEntry < lines.size() && lines[afterCodeEntry].rfind("21 01 0a00", 0) != 0) ++afterCodeEntry;

    struct Cut {
      const char* name;
      std::size_t line;  // the transfer the power is lost at
      Start blank, over;
    };
    const Cut cuts[] = {
        {"in the configuration part's data", configData + 3, Start::Loader, Start::Old},
        {"in the code part's data", codeData + 3, Start::Loader, Start::Old},
        {"between the data and the first entry", configEntry, Start::Loader, Start::Old},
        {"between the two entries", codeEntry, Start::Loader, Start::OldCodeNewConfig},
        {"after the code part's entry", afterCodeEntry, Start::New, Start::New},
    };
    for (const Cut& cut : cuts) {
      SCOPED_TRACE(std::string(fromBlank ? "from blank, cut " : "over an older image, cut ") + cut.name);
      for (std::size_t i = 0; i < bus.ChipCount(); ++i) bus.UnplugChip(i);
      AddOtpChip();
      if (!fromBlank) chip->state().memory.Load(withOlder);
      chip->PowerUp();
      const std::size_t before = WireLines().size();
      Open();
      const std::size_t used = WireLines().size() - before;
      chip->state().faults.transfers.push_back(
          {sim::TransferFaultKind::kPowerLoss, static_cast<std::uint32_t>(used + cut.line + 1), 1});
      Otp().OTP_Download();
      const std::vector<std::uint8_t> afterCut(Mem().begin(), Mem().end());
      EXPECT_EQ(std::string(StartName(stateOf(chip->state()))), StartName(fromBlank ? cut.blank : cut.over));

      for (std::size_t i = 0; i < bus.ChipCount(); ++i) bus.UnplugChip(i);
      AddOtpChip();
      chip->state().memory.Load(afterCut);
      chip->PowerUp();
      window.posts.clear();
      Open();
      EXPECT_EQ(Otp().OTP_Download(), 1) << ::testing::PrintToString(Fails());
      EXPECT_EQ(std::string(StartName(stateOf(chip->state()))), StartName(Start::New));
    }
  }
}

// Each part's data chunks and their read-back go in 64-byte pieces, raised
// with the chip's GET_LEN answer and put back to 8 afterwards.
TEST_F(OtpFlowTest, DataChunksGoIn64BytePiecesAndEndAt8) {
  AddOtpChip();
  Open();
  ASSERT_EQ(Otp().OTP_Download(), 1);
  // Two parts, each with a write and a read-back phase.
  ExpectBulkPhases(4, *chip);
}

}  // namespace
}  // namespace quillon::testing
