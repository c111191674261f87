// A simulated bus on a virtual clock, installed as the process's USB backend
// with the library started, a transfer log to read the wire from, and a
// recorder in front of the bus that sees every setup packet and time-out and
// can answer a transfer in the chip's place.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/virtual_clock.h"
#include "proxy/backend_factory.h"
#include "proxy/device_record.h"
#include "proxy/library.h"
#include "sim/sim_bus.h"
#include "support/temp_dir.h"

namespace quillon::testing {

struct SentTransfer {
  SetupPacket setup;
  std::uint32_t timeoutMs;
};

class RecordingBus final : public UsbBackend {
 public:
  explicit RecordingBus(sim::SimBus& bus) : bus_(bus) {}
  using Answer = std::function<std::optional<TransferResult>(const SetupPacket&, std::span<std::uint8_t>)>;

  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override { return bus_.ListDevices(out); }
  std::uint32_t Open(const std::string& instance, UsbHandle& out) override { return bus_.Open(instance, out); }
  void Close(UsbHandle handle) override { bus_.Close(handle); }
  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override {
    sent.push_back({setup, timeoutMs});
    if (answer) {
      if (std::optional<TransferResult> r = answer(setup, data)) return *r;
    }
    return bus_.ControlTransfer(handle, setup, data, timeoutMs);
  }
  void SetEventListener(UsbEventListener* listener) override { bus_.SetEventListener(listener); }
  std::size_t HandleEvents() override { return bus_.HandleEvents(); }

  std::vector<SentTransfer> sent;
  Answer answer;

 private:
  sim::SimBus& bus_;
};

// A virtual clock whose every sleep also runs `onSleep`: what happens elsewhere
// while the code under test waits (the window thread hearing of an arrival, a
// chip finishing its work). Install it over the fixture's clock.
class HookedClock final : public Clock {
 public:
  explicit HookedClock(VirtualClock& time) : time_(time) {}
  std::uint64_t NowMs() override { return time_.NowMs(); }
  void SleepMs(std::uint32_t ms) override {
    time_.SleepMs(ms);
    if (onSleep) onSleep(ms);
  }
  std::function<void(std::uint32_t)> onSleep;

 private:
  VirtualClock& time_;
};

class DeviceFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    auto recording = std::make_unique<RecordingBus>(bus);
    recorder = recording.get();
    backend = std::make_unique<ScopedUsbBackend>(std::move(recording));
    SetUseFlagPath(temp.path() / "use.flag");
    ASSERT_TRUE(LibraryStartup());
    ASSERT_TRUE(bus.OpenTransferLog(temp.path() / "wire.log"));
  }
  void TearDown() override {
    CloseDeviceRecord(record);
    LibraryShutdown();
    backend.reset();
  }

  // Adds a chip and opens it into `record`, probed.
  sim::SimChip& AddAndOpen(const sim::ChipConfig& config = {}) {
    sim::SimChip& chip = bus.AddChip(config);
    EXPECT_EQ(OpenVxCam(record, chip.state().InstanceName()), 0u);
    EXPECT_TRUE(ProbeDevice(record, true));
    return chip;
  }

  // The transfer log's lines from now on.
  void MarkWire() { mark_ = WireAll().size(); }
  std::vector<std::string> Wire() {
    std::vector<std::string> all = WireAll();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(mark_, all.size())), all.end()};
  }
  // The lines that start with `prefix` (e.g. "21 01 0a00": command blocks).
  std::vector<std::string> WireStarting(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : Wire()) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
  }

  VirtualClock clock;
  ScopedClockOverride clockOverride{clock};
  TempDir temp;
  sim::SimBus bus;
  RecordingBus* recorder = nullptr;
  std::unique_ptr<ScopedUsbBackend> backend;
  DeviceRecord record;

 private:
  std::vector<std::string> WireAll() {
    std::ifstream in(temp.path() / "wire.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::size_t mark_ = 0;
};

}  // namespace quillon::testing
