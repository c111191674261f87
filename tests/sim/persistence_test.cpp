// Runs that see the same chip: the state file round-trips, a process-wide
// session saves its chips at the end, a reset under way when a run ends has
// completed in the next, and the transfer log has its exact line format.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "proxy/backend_factory.h"
#include "sim/bus_time.h"
#include "sim/journal.h"
#include "sim/sim_session.h"
#include "sim/state_file.h"
#include "sim/transfer_log.h"
#include "sim_fixture.h"
#include "support/temp_dir.h"

namespace quillon::sim::testing {
namespace {

using quillon::testing::ScopedEnv;
using quillon::testing::TempDir;

std::string ReadText(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

UsbHandle OpenFirst(UsbBackend& backend) {
  std::vector<UsbDeviceInfo> devices;
  backend.ListDevices(devices);
  UsbHandle h = 0;
  if (!devices.empty()) backend.Open(devices[0].instance, h);
  return h;
}

TEST(StateFile, RoundTripsEveryField) {
  SimBus bus;
  SimChip& a = bus.AddChip({.kind = DeviceKind::kCamera, .transport = Transport::kBoth, .request6 = true,
                            .ic = IcFamily::kTq7702, .variant = 3, .vendorId = 0x1234, .productId = 0xABCD,
                            .bcdDevice = 0x0102, .memory = MemoryKind::kNor, .memorySize = 0x2345,
                            .serial = "serial with spaces", .speed = BusSpeed::kFull, .offBusMs = 12,
                            .notReadyMs = 34, .statusWriteMs = 5});
  a.state().memory.ProgramFlash(0x2340, std::vector<std::uint8_t>{0x12, 0x34, 0x56, 0x00, 0x01});
  a.state().norTagged = true;
  a.state().registers[0xFEA0] = 0x21;
  a.state().faults.transfers.push_back({TransferFaultKind::kStall, 7, 3});
  a.state().faults.notReady = 2;
  a.state().faults.corruptRead = {0x10};
  a.state().faults.slowEraseMs = 900;
  SimChip& b = bus.AddChip({.memory = MemoryKind::kOtp});
  b.state().faults.otpFail = {0x3F70, 0x12};
  b.state().otpLock = 0x08;
  b.state().mode = RunMode::kOtpCode;
  std::vector<ChipState> original = {a.state(), b.state()};

  const std::string text = SerializeStates(original);
  std::vector<ChipState> parsed;
  std::string error;
  ASSERT_TRUE(ParseStates(text, parsed, error)) << error;
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(SerializeStates(parsed), text);
  EXPECT_EQ(parsed[0].config.serial, "serial with spaces");
  EXPECT_TRUE(std::equal(parsed[0].memory.bytes().begin(), parsed[0].memory.bytes().end(),
                         original[0].memory.bytes().begin()));
}

TEST(StateFile, RejectsWhatIsNotAState) {
  const std::string head = "quillon-sim-state 1\nchip\nlocation 1-1\nmemory spi\nsize 4096\n";
  const std::pair<const char*, std::string> cases[] = {
      {"other file", "hello\n"},
      {"empty", ""},
      {"data past the memory", head + "data 0xfc0 " + std::string(256, 'a') + "\nend\n"},
      {"odd hex", head + "data 0x0 abc\nend\n"},
      {"unknown key", head + "colour blue\nend\n"},
      {"bad mode", head + "mode 3\nend\n"},
      {"huge memory", "quillon-sim-state 1\nchip\nlocation 1-1\nsize 0xffffffff\nend\n"},
      {"no end", head},
      {"fault from 0", head + "fault-transfer fail 0 1\nend\n"},
  };
  for (const auto& [name, text] : cases) {
    std::vector<ChipState> chips;
    std::string error;
    EXPECT_FALSE(ParseStates(text, chips, error)) << name;
    EXPECT_FALSE(error.empty()) << name;
    EXPECT_TRUE(chips.empty()) << name;
  }
}

TEST(TransferLog, LineFormat) {
  const std::uint8_t block[8] = {0x02, 0xC2, 0x45, 0x23, 0x10, 0x00, 0x01, 0x00};
  EXPECT_EQ(TransferLogLine({0x21, 0x01, 0x0A00, 0x0300, 8}, block, 0), "21 01 0a00 0300 0008 02c2452310000100");
  EXPECT_EQ(TransferLogLine({0x40, 0x22, 0, 0, 0}, {}, 0), "40 22 0000 0000 0000 -");
  EXPECT_EQ(TransferLogLine({0xA1, 0x81, 0x0B00, 0x0300, 8}, {}, 31), "a1 81 0b00 0300 0008 - !31");
}

class Session : public ::testing::Test {
 protected:
  std::unique_ptr<UsbBackend> Open() {
    std::string error;
    auto backend = OpenSimSession(state, trace, error);
    EXPECT_NE(backend, nullptr) << error;
    return backend;
  }
  static std::uint32_t Send(UsbBackend& b, UsbHandle h, SetupPacket setup, std::vector<std::uint8_t> data = {}) {
    data.resize(setup.wLength);
    return b.ControlTransfer(h, setup, data, 5000).error;
  }

  VirtualClock clock;
  ScopedClockOverride clockOverride{clock};
  TempDir dir;
  std::filesystem::path state = dir.path() / "chip.state";
  std::filesystem::path trace = dir.path() / "transfers.log";
};

TEST_F(Session, EnvironmentChoosesTheSimulatorAndTheRunIsSavedAtTheEnd) {
  {
    SimBus bus;
    bus.AddChip({.transport = Transport::kBoth, .memorySize = 0x20000});
    std::string error;
    ASSERT_TRUE(SaveStateFile(state, bus.EndRun(), error)) << error;
  }
  {
    ScopedEnv sim(kSimStateVariable, state.string());
    ScopedEnv log(kSimTraceVariable, trace.string());
    std::string error;
    ScopedUsbBackend installed(MakeBackendFromEnvironment(error));
    ASSERT_TRUE(error.empty()) << error;
    UsbBackend& backend = TheUsbBackend();
    const UsbHandle h = OpenFirst(backend);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(Send(backend, h, {0x40, 0x2F, 0x0100, 0x2345, 2}, {0x12, 0x34}), kUsbOk);
    EXPECT_EQ(Send(backend, h, {0x21, 0x01, 0x0A00, 0x0300, 8}, {0x02, 0xC2, 0x45, 0x23, 0x10, 0x00, 0x01, 0x00}),
              kUsbOk);
    EXPECT_EQ(Send(backend, h, {0x21, 0x01, 0x0A00, 0x0300, 8}, {0x05, 0, 0, 0, 0, 0, 0, 0}), kUsbErrorIo);
    // A second process cannot take the state while this run holds it.
    std::string busy;
    EXPECT_EQ(OpenSimSession(state, "", busy), nullptr);
    EXPECT_NE(busy.find("in use"), std::string::npos);
  }
  EXPECT_EQ(ReadText(trace),
            "40 2f 0100 2345 0002 1234\n"
            "21 01 0a00 0300 0008 02c2452310000100\n"
            "21 01 0a00 0300 0008 0500000000000000 !31\n");
  std::vector<ChipState> chips;
  std::string error;
  ASSERT_TRUE(LoadStateFile(state, chips, error)) << error;
  EXPECT_EQ(chips[0].memory.bytes()[0x12345], 0x12);
  EXPECT_EQ(chips[0].memory.bytes()[0x12346], 0x34);
  EXPECT_EQ(chips[0].lastRun.transfers, 3u);
  EXPECT_EQ(chips[0].lastRun.failed, 1u);
  // The refused transfer moved no data.
  EXPECT_EQ(chips[0].lastRun.latencyUs, 3 * 125u + 3 * 125u + 2 * 125u);
  EXPECT_EQ(chips[0].lastRun.occupancyNs, ControlTransferOccupancyNs(BusSpeed::kHigh, 2) +
                                              ControlTransferOccupancyNs(BusSpeed::kHigh, 8) +
                                              ControlTransferOccupancyNs(BusSpeed::kHigh, 0));
}

TEST_F(Session, AResetUnderWayWhenTheRunEndsHasCompletedInTheNext) {
  {
    SimBus bus;
    SimChip& chip = bus.AddChip({.offBusMs = 60000});
    std::vector<std::uint8_t> tag(0x10000, 0xFF);
    tag[0xEFFE] = 0x55;
    tag[0xEFFF] = 0xAA;
    chip.state().memory.Load(tag);
    std::string error;
    ASSERT_TRUE(SaveStateFile(state, bus.EndRun(), error));
  }
  std::string firstInstance;
  {
    auto backend = Open();
    std::vector<UsbDeviceInfo> devices;
    backend->ListDevices(devices);
    ASSERT_EQ(devices.size(), 1u);
    firstInstance = devices[0].instance;
    UsbHandle h = 0;
    ASSERT_EQ(backend->Open(firstInstance, h), kUsbOk);
    ASSERT_EQ(Send(*backend, h, {0x21, 0x01, 0x0A00, 0x0300, 8}, {0x00, 0x09, 0, 0, 0, 0, 0, 0}), kUsbOk);
    backend->ListDevices(devices);
    EXPECT_TRUE(devices.empty());
  }
  auto backend = Open();
  std::vector<UsbDeviceInfo> devices;
  backend->ListDevices(devices);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].location, "1-1");
  EXPECT_NE(devices[0].instance, firstInstance);
  UsbHandle h = 0;
  ASSERT_EQ(backend->Open(devices[0].instance, h), kUsbOk);
  std::vector<std::uint8_t> where(1);
  ASSERT_EQ(Send(*backend, h, {0x21, 0x01, 0x0A00, 0x0300, 8}, {0x00, 0xC2, 0xA8, 0xC2, 1, 0, 0, 0}), kUsbOk);
  std::vector<std::uint8_t> piece(8);
  ASSERT_TRUE(backend->ControlTransfer(h, {0xA1, 0x81, 0x0B00, 0x0300, 8}, piece, 5000).ok());
  EXPECT_EQ(piece[0], 8) << "the reset to new code started the tagged code";
}

TEST_F(Session, AKilledProcessLeavesTheChipAsItWasAtTheKill) {
  {
    SimBus bus;
    SimChip& chip = bus.AddChip({.transport = Transport::kBoth, .memorySize = 0x20000});
    chip.state().faults.transfers.push_back({TransferFaultKind::kStall, 100, 1});
    std::string error;
    ASSERT_TRUE(SaveStateFile(state, bus.EndRun(), error)) << error;
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The run is killed after its second write: nothing of the session's end runs.
    std::string error;
    auto backend = OpenSimSession(state, "", error);
    const UsbHandle h = backend ? OpenFirst(*backend) : 0;
    const bool sent = h != 0 && Send(*backend, h, {0x40, 0x2F, 0x0100, 0x2345, 2}, {0x12, 0x34}) == kUsbOk &&
                      Send(*backend, h, {0x40, 0x2F, 0x0100, 0x3000, 1}, {0x56}) == kUsbOk;
    if (!sent) ::_exit(1);
    ::kill(::getpid(), SIGKILL);
    ::_exit(2);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child failed before the kill: " << WEXITSTATUS(status);

  auto loaded = [&] {
    std::vector<ChipState> chips;
    std::string error;
    EXPECT_TRUE(LoadStateFile(state, chips, error)) << error;
    return chips;
  };
  std::vector<ChipState> chips = loaded();
  ASSERT_EQ(chips.size(), 1u);
  EXPECT_EQ(chips[0].memory.bytes()[0x12345], 0x12);
  EXPECT_EQ(chips[0].memory.bytes()[0x12346], 0x34);
  EXPECT_EQ(chips[0].memory.bytes()[0x13000], 0x56);
  EXPECT_TRUE(chips[0].faults.transfers.empty()) << "the killed run spent its faults";

  // The next run starts from there, and a normal end leaves no journal behind.
  {
    auto backend = Open();
    const UsbHandle h = OpenFirst(*backend);
    EXPECT_EQ(Send(*backend, h, {0x40, 0x2F, 0x0100, 0x3001, 1}, {0x78}), kUsbOk);
  }
  EXPECT_FALSE(std::filesystem::exists(JournalPath(state, "1-1")));
  chips = loaded();
  EXPECT_EQ(chips[0].memory.bytes()[0x12345], 0x12);
  EXPECT_EQ(chips[0].memory.bytes()[0x13001], 0x78);
}

TEST(Journal, ReplaysCompleteRecordsAfterTheSavedOneAndStopsAtDamage) {
  ChipState source({.memorySize = 0x1000}, "1-1");
  source.memory.ProgramFlash(0x40, std::vector<std::uint8_t>{0x11});
  const std::uint32_t row[] = {0x40};
  const std::string first = JournalRecord(1, source.Fields(), source.memory, row);
  source.memory.ProgramFlash(0x40, std::vector<std::uint8_t>{0x01});
  source.mode = RunMode::kCode;
  const std::string second = JournalRecord(2, source.Fields(), source.memory, row);
  std::string damaged = second;
  damaged[damaged.size() / 2] ^= 0x01;

  struct Case {
    const char* name;
    std::uint32_t saved;  // the state's journal sequence
    std::string journal;
    std::uint8_t byte;
    RunMode mode;
  };
  const Case cases[] = {
      {"both records", 0, first + second, 0x01, RunMode::kCode},
      {"the second cut short by the kill", 0, first + second.substr(0, second.size() - 5), 0x11, RunMode::kLoader},
      {"the second damaged", 0, first + damaged, 0x11, RunMode::kLoader},
      {"the first already saved", 1, first + second, 0x01, RunMode::kCode},
      {"both already saved", 2, first + second, 0xFF, RunMode::kLoader},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChipState chip({.memorySize = 0x1000}, "1-1");
    chip.journalSequence = c.saved;
    ReplayJournal(c.journal, chip);
    EXPECT_EQ(chip.memory.bytes()[0x40], c.byte);
    EXPECT_EQ(chip.mode, c.mode);
  }
}

TEST_F(Session, MissingOrBrokenStateIsAOneLineError) {
  std::string error;
  EXPECT_EQ(OpenSimSession(state, "", error), nullptr);
  EXPECT_NE(error.find("cannot read"), std::string::npos);
  std::ofstream(state) << "quillon-sim-state 1\nchip\n";
  error.clear();
  EXPECT_EQ(OpenSimSession(state, "", error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace quillon::sim::testing
