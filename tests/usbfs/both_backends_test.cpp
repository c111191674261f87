// The device layer on both backends: each scenario runs once on the simulator
// backend and once through libusb on the emulated usbfs, against the same
// chips. Both runs must end the same way and put the same bytes on the wire
// (the chip model's transfer log), so that what passes on the simulator is what
// a station does with real chips.
#include <gmock/gmock.h>

#include <array>
#include <fstream>
#include <functional>
#include <numeric>
#include <sstream>

#include "device/vxcam.h"
#include "proxy/device_record.h"
#include "proxy/library.h"
#include "support/temp_dir.h"
#include "usbfs/usbfs_fixture.h"

namespace quillon::testing {
namespace {

// The simulator bus as the process's backend, left owned by the test.
class SimulatorBackend final : public UsbBackend {
 public:
  explicit SimulatorBackend(sim::SimBus& bus) : bus_(bus) {}
  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override { return bus_.ListDevices(out); }
  std::uint32_t Open(const std::string& instance, UsbHandle& out) override { return bus_.Open(instance, out); }
  void Close(UsbHandle handle) override { bus_.Close(handle); }
  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override {
    return bus_.ControlTransfer(handle, setup, data, timeoutMs);
  }
  void SetEventListener(UsbEventListener* listener) override { bus_.SetEventListener(listener); }
  std::size_t HandleEvents() override { return bus_.HandleEvents(); }

 private:
  sim::SimBus& bus_;
};

// Hotplug reaching the device layer, as the window passes it on: an arrival
// wakes the reset sequence's wait.
class ArrivalForwarder final : public UsbEventListener {
 public:
  void OnDeviceArrived(const UsbDeviceInfo& device) override {
    VxCam_SignalArrival();
    heard.push_back("arrived " + device.location);
  }
  void OnDeviceRemoved(const UsbDeviceInfo& device) override { heard.push_back("removed " + device.location); }
  std::vector<std::string> heard;
};

enum class Path { kSimulator, kLibusb };

// What a scenario can reach while it runs.
struct ScenarioRun {
  sim::SimBus& bus;
  SyncingClock& clock;
  ArrivalForwarder& events;
  std::function<std::size_t()> wireCount;
};

struct Scenario {
  const char* name;
  std::vector<sim::ChipConfig> chips;
  std::function<std::string(ScenarioRun&)> body;
  const char* expected;
};

std::string Text(const char* label, int value) { return std::string(label) + "=" + std::to_string(value) + " "; }

std::string Probe(DeviceKind kind, std::size_t index = 0) {
  std::vector<ListEntry> entries;
  if (VxCam_ListDevice(entries, kind) != 0 || entries.size() <= index) return "nothing listed";
  DeviceRecord record;
  std::string out = Text("open", static_cast<int>(OpenVxCam(record, entries[index].instance)));
  out += Text("probe", ProbeDevice(record, true) ? 1 : 0);
  if (record.info) {
    const DeviceInfoRecord& info = *record.info;
    out += Text("supported", static_cast<int>(info.supported)) + Text("xu", static_cast<int>(info.xuTransport)) +
           Text("vendor", static_cast<int>(info.vendorTransport)) +
           Text("request6", static_cast<int>(info.vendorRequest6)) + Text("unit", static_cast<int>(info.xuUnitId)) +
           Text("pid", info.ProductId()) + "at " + record.location;
  }
  CloseDeviceRecord(record);
  return out;
}

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0x30});
  return bytes;
}

std::string WriteAndReadBack(std::uint32_t address, std::size_t length) {
  DeviceHandle h = VxCam_OpenDeviceByIndex(0);
  if (h == 0) return "not opened";
  const std::vector<std::uint8_t> data = Pattern(length);
  std::string out = Text("write", VxCam_SPI_SF_Write(h, address, data, 0));
  std::vector<std::uint8_t> back(length);
  out += Text("read", VxCam_SPI_SF_Read(h, address, back, 0));
  out += back == data ? "same" : "differs";
  return out;
}

std::string ChipCount() {
  std::vector<ListEntry> entries;
  VxCam_ListDevice(entries, DeviceKind::kAudio);
  return Text("chips", static_cast<int>(entries.size()));
}

sim::ChipConfig XuAudio() { return {}; }
sim::ChipConfig BothAudio() { return {.transport = sim::Transport::kBoth, .offBusMs = 400}; }
sim::ChipConfig BothCamera() {
  return {.kind = DeviceKind::kCamera, .transport = sim::Transport::kBoth, .productId = 0x0042};
}
sim::ChipConfig VendorCamera() {
  return {.kind = DeviceKind::kCamera, .transport = sim::Transport::kVendor, .productId = 0x0043};
}

const Scenario kScenarios[] = {
    {"ProbeAudioChipOnTheExtensionUnit", {XuAudio()}, [](ScenarioRun&) { return Probe(DeviceKind::kAudio); },
     "open=0 probe=1 supported=1 xu=1 vendor=0 request6=0 unit=3 pid=17 at 1-1"},
    {"ProbeCameraWithBothTransports", {BothCamera()}, [](ScenarioRun&) { return Probe(DeviceKind::kCamera); },
     "open=0 probe=1 supported=1 xu=1 vendor=1 request6=0 unit=3 pid=66 at 1-1"},
    {"ProbeCameraWithVendorRequestsOnly", {VendorCamera()}, [](ScenarioRun&) { return Probe(DeviceKind::kCamera); },
     "open=0 probe=1 supported=1 xu=0 vendor=1 request6=0 unit=0 pid=67 at 1-1"},
    {"WriteFlashAndReadItBack", {XuAudio()}, [](ScenarioRun&) { return WriteAndReadBack(0x1000, 300); },
     "write=1 read=1 same"},
    {"ResetToRomComesBackAndTheArrivalEndsTheWait",
     {BothAudio()},
     [](ScenarioRun& run) {
       FlowDevice flow;
       flow.handle = VxCam_OpenDeviceByIndex(0);
       const std::uint64_t before = run.clock.SleptMs();
       std::string out = Text("reset", VxCam_ResetToRomAndReopen(flow, kFlagAudioSearch, 5000));
       out += Text("handle", flow.handle == VxCam_GetDevInst() && flow.handle != 0 ? 1 : 0);
       out += Text("generation", static_cast<int>(run.bus.Chip(0).state().generation));
       out += Text("quick", run.clock.SleptMs() - before < 5000 ? 1 : 0);
       out += Text("qualify", VxCam_DevQualify(flow.handle));
       for (const std::string& line : run.events.heard) out += line + " ";
       return out;
     },
     "reset=1 handle=1 generation=2 quick=1 qualify=1 removed 1-1 arrived 1-1 "},
    {"ResetToUpdateThroughTheUnitAndFindTheChipAgain",
     {XuAudio()},
     [](ScenarioRun& run) {
       FlowDevice flow;
       flow.handle = VxCam_OpenDeviceByIndex(0);
       std::string out = Text("reset", VxCam_ResetToUpdateFWAndReopen(flow, 0, 0, 1500));
       std::array<std::uint8_t, 2> mode{};
       out += Text("read", VxCam_ReadMem(flow.handle, 0xFE21, mode, 0));
       out += Text("family", mode[1]);
       out += Text("generation", static_cast<int>(run.bus.Chip(0).state().generation));
       return out;
     },
     "reset=1 read=1 family=176 generation=2 "},
    {"AStallInTheMiddleOfAWriteFailsItAndTheChipCarriesOn",
     {XuAudio()},
     [](ScenarioRun& run) {
       DeviceHandle h = VxCam_OpenDeviceByIndex(0);
       run.bus.Chip(0).state().faults.transfers.push_back(
           {sim::TransferFaultKind::kStall, static_cast<std::uint32_t>(run.wireCount() + 6), 1});
       const std::vector<std::uint8_t> data = Pattern(256);
       std::string out = Text("write", VxCam_SPI_SF_Write(h, 0x2000, data, 0));
       std::array<std::uint8_t, 2> mode{};
       out += Text("then", VxCam_ReadMem(h, 0xFE21, mode, 0));
       return out;
     },
     "write=0 then=1 "},
    {"UnplugDuringAWrite",
     {XuAudio()},
     [](ScenarioRun& run) {
       DeviceHandle h = VxCam_OpenDeviceByIndex(0);
       run.bus.Chip(0).state().faults.transfers.push_back(
           {sim::TransferFaultKind::kPowerLoss, static_cast<std::uint32_t>(run.wireCount() + 10), 100000});
       const std::vector<std::uint8_t> data = Pattern(4096);
       std::string out = Text("write", VxCam_SPI_SF_Write(h, 0, data, 0));
       run.clock.SleepMs(10);
       out += ChipCount();
       for (const std::string& line : run.events.heard) out += line + " ";
       return out;
     },
     "write=0 chips=0 removed 1-1 "},
    {"HotplugReachesTheDeviceLayer",
     {XuAudio()},
     [](ScenarioRun& run) {
       run.bus.PlugChip(BothAudio());
       run.clock.SleepMs(10);
       std::string out = ChipCount() + Probe(DeviceKind::kAudio, 1) + " ";
       run.bus.UnplugChip(0);
       run.clock.SleepMs(10);
       out += ChipCount();
       for (const std::string& line : run.events.heard) out += line + " ";
       return out;
     },
     "chips=2 open=0 probe=1 supported=1 xu=1 vendor=1 request6=0 unit=3 pid=17 at 1-2 chips=1 arrived 1-2 "
     "removed 1-1 "},
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class BothBackendsTest : public ::testing::TestWithParam<Scenario> {
 protected:
  struct Outcome {
    std::string summary;
    std::string wire;
  };

  Outcome RunOn(Path path) {
    const Scenario& scenario = GetParam();
    TempDir temp;
    SyncingClock clock;
    ScopedClockOverride clockOverride(clock);
    sim::SimBus bus;
    for (const sim::ChipConfig& config : scenario.chips) bus.AddChip(config);
    const auto wireFile = temp.path() / "wire.log";
    EXPECT_TRUE(bus.OpenTransferLog(wireFile));

    std::unique_ptr<EmulatedUsbfs> usbfs;
    std::unique_ptr<UsbBackend> backend;
    if (path == Path::kLibusb) {
      usbfs = std::make_unique<EmulatedUsbfs>(bus);
      clock.Attach(usbfs.get());
      std::string why;
      backend = MakeLibusbBackend(why);
      EXPECT_TRUE(backend) << why;
      if (!backend) return {};
    } else {
      backend = std::make_unique<SimulatorBackend>(bus);
    }
    Outcome outcome;
    {
      ScopedUsbBackend installed(std::move(backend));
      ArrivalForwarder events;
      installed.backend().SetEventListener(&events);
      // The window's part: take in what the bus announced, pass it on.
      clock.afterSync = [&installed] {
        std::vector<UsbDeviceInfo> devices;
        installed.backend().ListDevices(devices);
        installed.backend().HandleEvents();
      };
      SetUseFlagPath(temp.path() / "use.flag");
      EXPECT_EQ(VxCam_Init(0), 1);
      ScenarioRun run{bus, clock, events, [&wireFile] {
                std::ifstream in(wireFile);
                std::string line;
                std::size_t n = 0;
                while (std::getline(in, line)) ++n;
                return n;
              }};
      outcome.summary = scenario.body(run);
      VxCam_Uninit();
      clock.afterSync = nullptr;
      installed.backend().SetEventListener(nullptr);
    }
    clock.Attach(nullptr);
    usbfs.reset();
    std::ifstream in(wireFile);
    std::ostringstream wire;
    wire << in.rdbuf();
    outcome.wire = wire.str();
    return outcome;
  }
};

TEST_P(BothBackendsTest, SameOutcomeAndSameBytesOnTheWire) {
  const Outcome simulator = RunOn(Path::kSimulator);
  const Outcome libusb = RunOn(Path::kLibusb);
  EXPECT_EQ(simulator.summary, GetParam().expected) << "on the simulator backend";
  EXPECT_EQ(libusb.summary, GetParam().expected) << "through libusb";
  EXPECT_FALSE(simulator.wire.empty());
  EXPECT_EQ(libusb.wire, simulator.wire);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, BothBackendsTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::testing
