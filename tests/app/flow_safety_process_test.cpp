// The flash flows' safety rules as a production script sees them: quillon run
// as a separate process on simulated chips, the chip's memory dumped before
// and after. The customer's preserved record is never lost and never written
// into a unit it did not come from, "SaveSN" without a serial number touches
// nothing, NOR flash chips are written and started, and a chip of the other
// flash kind is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "data/ic_type_ini.h"
#include "image_maker.h"
#include "platform/files.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace quillon {
namespace {

using testing::ProcessResult;

const char* const kShortWaits = "[Quillon Config]\r\nWait Time=50\r\nSaveResultToFile=1\r\n";
constexpr std::size_t kArea = 0xF000;
const std::vector<std::uint8_t> kPayload = {'C', 'A', 'L', '-', 0x11, 0x22, 0x33};

std::vector<std::uint8_t> Image(std::uint16_t pid) {
  mkimage::ImageSpec spec;
  spec.pid = pid;
  std::string error;
  auto image = mkimage::MakeImage(spec, &error);
  EXPECT_TRUE(image.has_value()) << error;
  return image.value_or(std::vector<std::uint8_t>(0x10000, 0xFF));
}

std::vector<std::uint8_t> PreservedRecord(const std::vector<std::uint8_t>& payload = kPayload) {
  std::vector<std::uint8_t> record = {0xFF, 0x50, static_cast<std::uint8_t>(payload.size() + 4), 0x00};
  record.insert(record.end(), payload.begin(), payload.end());
  return record;
}

// `image` with its area replaced by a small one that holds the preserved record.
std::vector<std::uint8_t> WithRecord(std::vector<std::uint8_t> image,
                                     const std::vector<std::uint8_t>& payload = kPayload) {
  std::vector<std::uint8_t> area = {0x55, 0xA5, 21 << 3, 0, 0, 3, 6, 0x2F, 0x04, 0x77, 0x60, 0x10};
  const auto record = PreservedRecord(payload);
  area.insert(area.end(), record.begin(), record.end());
  area.insert(area.end(), {4, 0x02, 0xAB, 0xCD});
  area[3] = static_cast<std::uint8_t>(area.size());
  std::fill(image.begin() + kArea, image.begin() + kArea + 0x1000, 0xFF);
  std::copy(area.begin(), area.end(), image.begin() + kArea);
  return image;
}

bool Holds(const std::vector<std::uint8_t>& memory, const std::vector<std::uint8_t>& bytes) {
  return std::search(memory.begin(), memory.end(), bytes.begin(), bytes.end()) != memory.end();
}

class FlowSafetyProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { state = (scratch.path() / "chip.state").string(); }

  ProcessResult Quillon(std::vector<std::string> args, const std::string& extraSettings = "",
                        std::vector<std::pair<std::string, std::string>> env = {}) {
    const auto settings = scratch.Write("settings.ini", std::string(kShortWaits) + extraSettings);
    env.insert(env.begin(), {{"QUILLON_HOME", home.path().string()},
                             {"QUILLON_SETTINGS", settings.string()},
                             {"QUILLON_SIM", state}});
    return testing::RunProgram("quillon", args, env, scratch.path());
  }
  ProcessResult Sim(std::vector<std::string> args) { return testing::RunProgram("quillon-sim", args, {}, scratch.path()); }
  void NewChip(std::vector<std::string> options) {
    std::vector<std::string> args{"new", state, "--off-bus-ms", "20"};
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_EQ(Sim(args).exitCode, 0);
  }
  void Load(const std::vector<std::uint8_t>& bytes, const char* chip = "0") {
    const auto file = scratch.Write("load.bin", std::string(bytes.begin(), bytes.end()));
    ASSERT_EQ(Sim({"load", state, file.string(), "--chip", chip}).exitCode, 0);
  }
  std::vector<std::uint8_t> Dump(const char* chip = "0") {
    const auto file = scratch.path() / "dump.bin";
    EXPECT_EQ(Sim({"dump", state, file.string(), "--chip", chip}).exitCode, 0);
    return ReadWholeFile(file).value_or(std::vector<std::uint8_t>{});
  }
  // The customer's unit at 1-1 holding `payload`, cut off after its flash was
  // erased by a write of `image`: the record is gone from the chip and its
  // copy is pending. The chip's contents after the cut are returned.
  std::vector<std::uint8_t> CutAfterTheErase(const std::string& image, const std::vector<std::uint8_t>& payload,
                                             std::vector<std::string> args = {}) {
    Load(WithRecord(Image(0x0022), payload));
    EXPECT_EQ(Sim({"fault", state, "power-loss-pages", "1", "3"}).exitCode, 0);
    args.insert(args.begin(), {"-f", "-write", image});
    EXPECT_EQ(Quillon(args).exitCode, 1);
    const auto erased = Dump();
    EXPECT_FALSE(Holds(erased, PreservedRecord(payload))) << "the chip lost the record";
    EXPECT_EQ(ReadWholeFile(KeptCopy()), payload);
    return erased;
  }
  std::filesystem::path KeptCopy() const { return home.path() / "PreservedRecord_1-1.bin"; }
  bool AreaHolds(const std::vector<std::uint8_t>& memory, const std::vector<std::uint8_t>& payload) {
    return memory.size() > kArea &&
           Holds(std::vector<std::uint8_t>(memory.begin() + kArea, memory.end()), PreservedRecord(payload));
  }
  std::string Show() { return Sim({"show", state}).out; }
  // The number of the chip's transfer that carries the erase command when
  // `args` run: a trial on a copy of the chip, with its transfer log.
  std::size_t EraseTransferOf(const std::vector<std::string>& args) {
    const std::string real = state;
    state = (scratch.path() / "trial.state").string();
    std::filesystem::copy_file(real, state, std::filesystem::copy_options::overwrite_existing);
    const auto trace = scratch.path() / "trial.trace";
    std::filesystem::remove(trace);
    // Up to the erase the run is the same without the final reset, which the
    // trial leaves out to save its wait.
    EXPECT_EQ(Quillon(args, "ResetToCache=0\r\n", {{"QUILLON_SIM_TRACE", trace.string()}}).exitCode, 0);
    state = real;
    std::ifstream in(trace);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);) {
      ++n;
      if (line.rfind("21 01 0a00 0300 0008 0204", 0) == 0) return n;
    }
    return 0;
  }
  std::string WriteImage(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    return home.Write(name, std::string(bytes.begin(), bytes.end())).string();
  }
  // Profiles from the program directory: the built-in TQ7704 one with `projectType`.
  std::string ProfileFiles(const std::string& projectType) {
    CICTypeIni builtin;
    EXPECT_TRUE(builtin.LoadProfileResource(2031));
    std::string text = builtin.RawResourceText();
    const std::string flash = "Project Type=FLASH";
    const std::size_t at = text.find(flash);
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos) text.replace(at, flash.size(), "Project Type=" + projectType);
    home.Write("TQ7704.INI", text);
    return "Ini Type=1\r\n";
  }

  testing::TempDir home;
  testing::TempDir scratch;
  std::string state;
};

// The customer's chip loses power once its flash is erased. The record it held
// is gone from the chip but kept in the program directory. A retry does not
// guess that the record-less unit is the same one: it names the pending copy
// and touches nothing; with the operator's word the copy goes into the new
// image and is dropped once the write passed.
TEST_F(FlowSafetyProcessTest, PreservedRecordAfterACutGoesBackOnTheOperatorsWord) {
  NewChip({"--pid", "0x22"});
  const auto file = Image(0x0022);
  const std::string image = WriteImage("customer.rfw", file);
  const auto erased = CutAfterTheErase(image, kPayload);

  ProcessResult retry = Quillon({"-f", "-write", image});
  EXPECT_EQ(retry.exitCode, 1);
  EXPECT_NE(retry.err.find("holds no preserved record while a copy is pending; PreservedRecord_1-1.bin (7 bytes), "
                           "taken from VID_3A7C&PID_0022&REV_0001"),
            std::string::npos)
      << retry.err;
  EXPECT_NE(retry.err.find("--restore-record 1-1"), std::string::npos) << retry.err;
  EXPECT_EQ(Dump(), erased) << "the chip is as it was";

  ProcessResult restored = Quillon({"-f", "-write", image, "--restore-record", "1-1"});
  EXPECT_EQ(restored.exitCode, 0) << restored.out << restored.err;
  const auto written = Dump();
  EXPECT_TRUE(AreaHolds(written, kPayload));
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + kArea, written.begin())) << "the code is the file's";
  EXPECT_FALSE(std::filesystem::exists(KeptCopy()));
  EXPECT_NE(Show().find("mode: code"), std::string::npos);
}

// The copy cannot be kept (the program directory's disk is full): the run
// stops before the erase, and the chip keeps its record.
TEST_F(FlowSafetyProcessTest, PreservedRecordCopyThatCannotBeKeptStopsTheRunBeforeTheErase) {
  NewChip({"--pid", "0x22"});
  const std::string image = WriteImage("customer.rfw", Image(0x0022));
  Load(WithRecord(Image(0x0022)));
  const auto before = Dump();
  const auto full = home.path() / "PreservedRecord_1-1.bin.new";
  std::filesystem::create_symlink("/dev/full", full);

  ProcessResult run = Quillon({"-f", "-write", image});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("cannot keep the preserved record in " + KeptCopy().string() + ": No space left on device"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(Dump(), before) << "the chip is as it was";
  EXPECT_FALSE(std::filesystem::exists(KeptCopy()));

  std::filesystem::remove(full);
  ProcessResult retry = Quillon({"-f", "-write", image});
  EXPECT_EQ(retry.exitCode, 0) << retry.out << retry.err;
  EXPECT_TRUE(AreaHolds(Dump(), kPayload));
  EXPECT_FALSE(std::filesystem::exists(KeptCopy()));
}

// The cut unit comes back on another port: it gets its record only when the
// operator names the copy, and the copy then goes.
TEST_F(FlowSafetyProcessTest, PreservedRecordFollowsItsUnitToAnotherPort) {
  NewChip({"--pid", "0x22", "--chips", "2"});
  const std::string image = WriteImage("customer.rfw", Image(0x0022));
  const auto erased = CutAfterTheErase(image, kPayload, {"-d", "0"});
  Load(erased, "1");  // the same unit, now at 1-2

  ProcessResult elsewhere = Quillon({"-f", "-write", image, "-d", "1"});
  EXPECT_EQ(elsewhere.exitCode, 1);
  EXPECT_NE(elsewhere.err.find("at 1-2) holds no preserved record while a copy is pending; PreservedRecord_1-1.bin"),
            std::string::npos)
      << elsewhere.err;
  EXPECT_EQ(Dump("1"), erased) << "the chip is as it was";

  ProcessResult restored = Quillon({"-f", "-write", image, "-d", "1", "--restore-record", "1-1"});
  EXPECT_EQ(restored.exitCode, 0) << restored.out << restored.err;
  EXPECT_TRUE(AreaHolds(Dump("1"), kPayload));
  EXPECT_FALSE(std::filesystem::exists(KeptCopy()));
}

// Another unit is put on the port of the cut one. With a record of its own it
// is refused (its copy would replace the pending one); without one it is
// refused until the operator sets the pending copy aside, which keeps its bytes.
TEST_F(FlowSafetyProcessTest, PreservedRecordNeverGoesIntoAnotherUnitOnTheSamePort) {
  NewChip({"--pid", "0x22"});
  const std::string image = WriteImage("customer.rfw", Image(0x0022));
  CutAfterTheErase(image, kPayload);
  const std::vector<std::uint8_t> otherPayload = {'U', 'N', 'I', 'T', '-', 'B'};

  Load(WithRecord(Image(0x0022), otherPayload));
  const auto withOwnRecord = Dump();
  ProcessResult own = Quillon({"-f", "-write", image});
  EXPECT_EQ(own.exitCode, 1);
  EXPECT_NE(own.err.find("PreservedRecord_1-1.bin holds another unit's record and is pending for this port"),
            std::string::npos)
      << own.err;
  EXPECT_EQ(Dump(), withOwnRecord);
  EXPECT_EQ(ReadWholeFile(KeptCopy()), kPayload);

  Load(Image(0x0022));
  const auto withoutRecord = Dump();
  ProcessResult none = Quillon({"-f", "-write", image});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_EQ(Dump(), withoutRecord);
  ProcessResult wrongOption = Quillon({"-f", "-write", image, "--set-aside-record", "1-9"});
  EXPECT_EQ(wrongOption.exitCode, 1);
  EXPECT_NE(wrongOption.err.find("no preserved record copy is pending for 1-9"), std::string::npos) << wrongOption.err;
  EXPECT_EQ(Dump(), withoutRecord);

  ProcessResult aside = Quillon({"-f", "-write", image, "--set-aside-record", "1-1"});
  EXPECT_EQ(aside.exitCode, 0) << aside.out << aside.err;
  EXPECT_FALSE(AreaHolds(Dump(), kPayload));
  EXPECT_FALSE(std::filesystem::exists(KeptCopy()));
  std::vector<std::filesystem::path> setAside;
  for (const auto& entry : std::filesystem::directory_iterator(home.path())) {
    if (entry.path().filename().string().rfind("PreservedRecord_1-1.bin.aside-", 0) == 0) setAside.push_back(entry);
  }
  ASSERT_EQ(setAside.size(), 1u);
  EXPECT_EQ(ReadWholeFile(setAside[0]), kPayload);
}

// A variant chip (0xB013) whose first run failed at the erase, after its ROM
// entry spoiled the area's type byte: the retry still reads the record from
// the chip, with no kept copy to fall back on.
TEST_F(FlowSafetyProcessTest, PreservedRecordSurvivesARetryOnASpoiledVariantChip) {
  NewChip({"--pid", "0x22", "--variant", "3"});
  const auto file = Image(0x0022);
  Load(WithRecord(file));
  const std::string image = WriteImage("customer.rfw", file);
  const std::size_t erase = EraseTransferOf({"-f", "-write", image});
  ASSERT_NE(erase, 0u);
  ASSERT_EQ(Sim({"fault", state, "fail-transfer", std::to_string(erase), "40"}).exitCode, 0);

  ProcessResult failed = Quillon({"-f", "-write", image});
  EXPECT_EQ(failed.exitCode, 1);
  const auto spoiled = Dump();
  ASSERT_GT(spoiled.size(), kArea + 1);
  EXPECT_EQ(spoiled[kArea], 0x00) << "the ROM entry spoiled the type byte";
  EXPECT_TRUE(Holds(spoiled, PreservedRecord()));
  ASSERT_TRUE(std::filesystem::remove(home.path() / "PreservedRecord_1-1.bin")) << "kept before the erase";

  ProcessResult retry = Quillon({"-f", "-write", image});
  EXPECT_EQ(retry.exitCode, 0) << retry.out << retry.err;
  EXPECT_EQ(retry.err.find("SPI code not exist."), std::string::npos) << retry.err;
  const auto written = Dump();
  EXPECT_TRUE(Holds(std::vector<std::uint8_t>(written.begin() + kArea, written.end()), PreservedRecord()));
  EXPECT_EQ(written[kArea], 0x55);
  EXPECT_NE(Show().find("mode: code"), std::string::npos);
}

// "SaveSN" with no serial number: the write fails before the chip is touched.
TEST_F(FlowSafetyProcessTest, SaveSnWithoutASerialNumberTouchesNothing) {
  NewChip({});
  auto old = Image(0x0011);
  old[0x2000] ^= 0xFF;
  Load(old);
  const auto before = Dump();
  const std::string image = WriteImage("new.rfw", Image(0x0011));
  for (const char* address : {"0", "1"}) {
    SCOPED_TRACE(address);
    ProcessResult run = Quillon({"-f", "-write", image}, std::string("SaveSN=1\r\nSN Address=") + address + "\r\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("Write fw fail!"), std::string::npos) << run.out;
    EXPECT_EQ(Dump(), before);
    EXPECT_NE(Show().find("mode: code"), std::string::npos);
  }
}

// A NOR flash chip under a profile whose "Project Type" is NOR: written,
// tagged and started; the flash image file is the same as for SPI flash.
TEST_F(FlowSafetyProcessTest, NorChipIsWrittenAndStarted) {
  NewChip({"--memory", "nor"});
  const auto file = Image(0x0011);
  const std::string image = WriteImage("nor.rfw", file);
  ProcessResult run = Quillon({"-f", "-write", image}, ProfileFiles("NOR"));
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Write fw pass!"), std::string::npos) << run.out;
  const auto written = Dump();
  EXPECT_TRUE(std::equal(file.begin(), file.end(), written.begin()));
  const std::string shown = Show();
  EXPECT_NE(shown.find("mode: code"), std::string::npos) << shown;
  EXPECT_NE(shown.find("tagged: yes"), std::string::npos) << shown;
}

struct KindCase {
  const char* name;
  const char* memory;       // the chip's
  const char* projectType;  // the profile's
};
// Listings and failures name the case, not its bytes.
void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class FlashKindProcessTest : public FlowSafetyProcessTest, public ::testing::WithParamInterface<KindCase> {};

// A chip whose flash the chosen flow cannot program keeps its image and runs it.
TEST_P(FlashKindProcessTest, OtherFlashKindIsRefused) {
  const KindCase& c = GetParam();
  NewChip({"--memory", c.memory});
  auto old = Image(0x0011);
  old[0x2000] ^= 0xFF;
  Load(old);
  if (std::string(c.memory) == "nor") {
    ASSERT_EQ(Quillon({"-f", "-write", WriteImage("old.rfw", old)}, ProfileFiles("NOR")).exitCode, 0);
  }
  const auto before = Dump();
  ProcessResult run = Quillon({"-f", "-write", WriteImage("new.rfw", Image(0x0011))}, ProfileFiles(c.projectType));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("Write fw fail!"), std::string::npos) << run.out;
  EXPECT_EQ(Dump(), before);
  EXPECT_NE(Show().find("mode: code"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FlashKindProcessTest,
                         ::testing::Values(KindCase{"NorChipWithAFlashProfile", "nor", "FLASH"},
                                           KindCase{"SpiChipWithANorProfile", "spi", "NOR"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon
