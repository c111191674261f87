#include "sweep/sweep_harness.h"

#include <cstdio>
#include <fstream>
#include <memory>

#include "data/current_types.h"
#include "data/ic_type_ini.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "device/vxcam.h"
#include "flow/command_line_binding.h"
#include "flow/flow_factory.h"
#include "flow/front_end.h"
#include "flow/preserved_record.h"
#include "flow/status.h"
#include "platform/virtual_clock.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "sim/sim_bus.h"

namespace quillon::sweep {
namespace {

// The batch mode's view of the front end: no window, console lines dropped.
class QuietCommandLine final : public FlowFrontEnd {
 public:
  bool CommandLineMode() const override { return true; }
};

// Passes every transfer to the bus and notes which command it belongs to.
class RecordingBus final : public UsbBackend {
 public:
  RecordingBus(sim::SimBus& bus, std::vector<std::string>* commands) : bus_(bus), commands_(commands) {}

  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override { return bus_.ListDevices(out); }
  std::uint32_t Open(const std::string& instance, UsbHandle& out) override { return bus_.Open(instance, out); }
  void Close(UsbHandle handle) override { bus_.Close(handle); }
  void SetEventListener(UsbEventListener* listener) override { bus_.SetEventListener(listener); }
  std::size_t HandleEvents() override { return bus_.HandleEvents(); }
  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override {
    if (commands_ != nullptr) commands_->push_back(CommandOf(setup, data, current_));
    return bus_.ControlTransfer(handle, setup, data, timeoutMs);
  }

 private:
  sim::SimBus& bus_;
  std::vector<std::string>* commands_;
  std::string current_ = "std";
};

void UseNorProfile(const std::filesystem::path& home) {
  WriteNorProfile(home);
  TheSettings().LoadFromText("[Quillon Config]\r\nWait Time=50\r\nIni Type=1\r\n");
  SetStoredIniType(1);
}

}  // namespace

RunResult RunOperation(const Operation& op, std::vector<sim::ChipState> chips, const std::filesystem::path& home,
                       bool record) {
  RunResult run;
  const PreservedRecordStore copies(home);
  for (const PendingRecordCopy& copy : copies.Pending()) {
    if (op.recordCopy == Operation::RecordCopy::kDrop) copies.Remove(copy);
    if (op.recordCopy == Operation::RecordCopy::kRestore) SetRecordCopyInstruction({copy.location, {}});
  }
  VirtualClock clock;
  ScopedClockOverride useClock(clock);
  QuietCommandLine frontEnd;
  SetFrontEnd(&frontEnd);
  sim::SimBus bus(std::move(chips));
  {
    ScopedUsbBackend backend(std::make_unique<RecordingBus>(bus, record ? &run.commands : nullptr));
    SetUseFlagPath(home / "use.flag");
    TheSettings().LoadFromText("[Quillon Config]\r\nWait Time=50\r\n");
    if (op.norProfile) UseNorProfile(home);
    if (LibraryStartup()) {
      SetCurrentBusType(BusType::Usb);
      SetCurrentMemoryType(op.memory);
      SetWorkingMemorySize(0x10000);
      SetCurrentProfile(OpenProfileDocument());
      SetLastStatus(0);
      CDevFlow* flow = RecreateFlow(false);
      if (flow != nullptr && flow->DEV_OpenDeviceByICIni(0) == 1) {
        flow->DEV_GetDeviceInfo();
        flow->SetUpdateOptions();
        flow->chip.device.transportFlags = kFlagAudioSearch;
        const bool bound = op.letter == 'E' || BindCommandLineImage(op.file) == 1;
        if (bound && TheFlow() != nullptr) {
          TheFlow()->chip.device.transportFlags = kFlagAudioSearch;
          run.result = TheFlow()->DEV_RunCommand(op.letter, op.file);
        }
      }
      run.status = LastStatus();
      if (TheFlow() != nullptr) TheFlow()->MP_CloseDevice();
      VxCam_CloseDevice();
      DestroyFlow();
      SetCurrentProfile(nullptr);
      LibraryShutdown();
    }
    SetWorkingMemorySize(kDefaultWorkingMemorySize);
    SetStoredIniType(0);
  }
  for (const auto& p : bus.Chip(0).Programs()) run.programs.emplace_back(p.address, p.length);
  run.chips = bus.EndRun();
  SetFrontEnd(nullptr);
  SetRecordCopyInstruction({});
  return run;
}

std::string CommandOf(const SetupPacket& setup, std::span<const std::uint8_t> data, std::string& current) {
  char name[8] = "std";
  const bool commandBlock = setup.bmRequestType == 0x21 && setup.wValue == 0x0A00 && data.size() >= 2;
  if (commandBlock) {
    std::snprintf(name, sizeof name, "%02x%02x", data[0], data[1]);
    current = name;
  } else if ((setup.bmRequestType & 0x60) == 0x40) {
    std::snprintf(name, sizeof name, "vr%02x", setup.bRequest);
    current = name;
  } else if ((setup.bmRequestType & 0x60) == 0) {
    current = name;
  }
  return current;
}

// The TQ7704 profile with "Project Type=NOR".
void WriteNorProfile(const std::filesystem::path& home) {
  const std::filesystem::path file = home / "TQ7704.INI";
  if (std::filesystem::exists(file)) return;
  SetCurrentProfile(OpenProfileDocument());
  std::string text = CurrentProfile() != nullptr ? CurrentProfile()->RawResourceText() : std::string();
  SetCurrentProfile(nullptr);
  const std::string flash = "Project Type=FLASH";
  if (const std::size_t at = text.find(flash); at != std::string::npos) text.replace(at, flash.size(), "Project Type=NOR");
  std::ofstream(file, std::ios::binary) << text;
}

std::vector<sim::ChipState> PowerCycled(std::vector<sim::ChipState> chips) {
  for (sim::ChipState& chip : chips) chip.powerLost = true;
  sim::SimBus bus(std::move(chips));
  return bus.EndRun();
}

}  // namespace quillon::sweep
