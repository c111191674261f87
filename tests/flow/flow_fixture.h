// A flow on simulated chips: virtual clock, the bus behind a hook that can
// fail or alter single transfers, the transfer log, settings from a text, the
// built-in profiles, and the current flow object.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "data/current_types.h"
#include "data/ic_type_ini.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "device/vxcam.h"
#include "flow/flow_factory.h"
#include "flow/chip_snapshot.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "image_maker.h"
#include "platform/virtual_clock.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "sim/commands.h"
#include "sim/sim_bus.h"
#include "support/temp_dir.h"

namespace quillon::testing {

// Passes every transfer to the bus unless `hook` answers it; the hook may also
// call `Forward` and change what came back.
class HookBus final : public UsbBackend {
 public:
  explicit HookBus(sim::SimBus& bus) : bus_(bus) {}
  using Hook = std::function<std::optional<TransferResult>(HookBus&, UsbHandle, const SetupPacket&, std::span<std::uint8_t>)>;

  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override {
    std::uint32_t result = bus_.ListDevices(out);
    if (hide) std::erase_if(out, hide);
    return result;
  }
  std::uint32_t Open(const std::string& instance, UsbHandle& out) override { return bus_.Open(instance, out); }
  void Close(UsbHandle handle) override { bus_.Close(handle); }
  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override {
    if (hook) {
      if (auto answer = hook(*this, handle, setup, data)) return *answer;
    }
    return Forward(handle, setup, data, timeoutMs);
  }
  TransferResult Forward(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                         std::uint32_t timeoutMs = 5000) {
    return bus_.ControlTransfer(handle, setup, data, timeoutMs);
  }
  void SetEventListener(UsbEventListener* listener) override { bus_.SetEventListener(listener); }
  std::size_t HandleEvents() override { return bus_.HandleEvents(); }

  Hook hook;
  std::function<bool(const UsbDeviceInfo&)> hide;

 private:
  sim::SimBus& bus_;
};

// A command block on the wire: class and opcode, address and length fields.
struct WireCommand {
  std::string op;  // class and opcode as hex text, e.g. "0282"; see OpText
  std::uint32_t address = 0;
  std::uint32_t length = 0;
};

// The class-and-opcode text of a simulator operation's command block, so that
// tests name the operation they look for.
inline const char* OpText(sim::Op op) {
  static const std::map<sim::Op, std::string> texts = [] {
    std::map<sim::Op, std::string> made;
    for (const sim::XuCommand& command : sim::kXuCommands) {
      char text[5];
      std::snprintf(text, sizeof text, "%02x%02x", unsigned{command.commandClass}, unsigned{command.opcode});
      made.emplace(command.op, text);
    }
    return made;
  }();
  const auto found = texts.find(op);
  return found != texts.end() ? found->second.c_str() : "";
}

// Records what the flows post, and can ask them to stop.
class RecordingWindow final : public FlowWindow {
 public:
  bool Post(std::uint32_t notification, std::uint32_t wParam, std::uint32_t, const ChipSnapshot&) override {
    posts.push_back({notification, wParam});
    return true;
  }
  bool CancelRequested() override { return cancel; }
  int Count(std::uint32_t notification) const {
    return static_cast<int>(std::count_if(posts.begin(), posts.end(), [&](auto& p) { return p.first == notification; }));
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> posts;
  bool cancel = false;
};

inline bool IsCommandBlock(const SetupPacket& s) { return s.bmRequestType == 0x21 && s.wValue == 0x0A00; }

// The operation a transfer starts: an extension-unit command block by its
// class and opcode ("00cd"), a vendor request as "vr" and its number ("vr25").
inline std::string OperationOf(const SetupPacket& s, std::span<const std::uint8_t> d) {
  char name[8] = "";
  if (IsCommandBlock(s) && d.size() >= 2) {
    std::snprintf(name, sizeof name, "%02x%02x", d[0], d[1]);
  } else if ((s.bmRequestType & 0x60) == 0x40) {
    std::snprintf(name, sizeof name, "vr%02x", s.bRequest);
  }
  return name;
}

// Lets the first `reads` SPI read commands through as they are; after them the
// data pieces come back with bit 0 of their first byte flipped (a read-back
// that passes but differs), or, with `fail`, the read commands are refused.
inline HookBus::Hook SpoilReadsAfter(int reads, bool fail) {
  return [reads, fail, seen = 0](HookBus& bus, UsbHandle h, const SetupPacket& s,
                                 std::span<std::uint8_t> d) mutable -> std::optional<TransferResult> {
    if (IsCommandBlock(s) && d.size() >= 2 && d[0] == 0x02 && d[1] == 0xC2) {
      if (++seen > reads && fail) return TransferResult{31, 0};
    }
    if (!fail && s.bmRequestType == 0xA1 && s.bRequest == 0x81 && s.wValue == 0x0B00 && seen > reads) {
      TransferResult r = bus.Forward(h, s, d);
      if (r.ok() && !d.empty()) d[0] ^= 0x01;
      return r;
    }
    return std::nullopt;
  };
}

class FlowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    UseSettings("");
    auto hooked = std::make_unique<HookBus>(bus);
    hookBus = hooked.get();
    backend = std::make_unique<ScopedUsbBackend>(std::move(hooked));
    SetUseFlagPath(temp.path() / "use.flag");
    ASSERT_TRUE(LibraryStartup());
    ASSERT_TRUE(bus.OpenTransferLog(temp.path() / "wire.log"));
    SetCurrentBusType(BusType::Usb);
    SetCurrentMemoryType(MemoryType::SpiFlash);
    SetWorkingMemorySize(0x10000);
    SetCurrentProfile(OpenProfileDocument());
    flow = RecreateFlow(false);
    ASSERT_NE(flow, nullptr);
    SetLastStatus(0);
  }
  void TearDown() override {
    if (TheFlow() != nullptr) TheFlow()->MP_CloseDevice();
    VxCam_CloseDevice();
    DestroyFlow();
    SetCurrentProfile(nullptr);
    LibraryShutdown();
    backend.reset();
    SetWorkingMemorySize(kDefaultWorkingMemorySize);
    TheSettings().LoadFromText("");
    SetLastStatus(0);
  }

  // Short waits; `extra` adds settings lines.
  void UseSettings(const std::string& extra) {
    TheSettings().LoadFromText("[Quillon Config]\r\nWait Time=50\r\n" + extra);
  }

  static std::vector<std::uint8_t> MakeImage(const std::string& ic, std::uint16_t pid = 0x0011) {
    mkimage::ImageSpec spec;
    spec.ic = ic;
    spec.pid = pid;
    std::string error;
    auto image = mkimage::MakeImage(spec, &error);
    EXPECT_TRUE(image.has_value()) << error;
    return image.value_or(std::vector<std::uint8_t>{});
  }

  std::string WriteImageFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    return temp.Write(name, std::string(bytes.begin(), bytes.end())).string();
  }

  // A chip whose flash holds `image`, powered up (running it when it starts).
  sim::SimChip& AddChipWith(sim::ChipConfig config, const std::vector<std::uint8_t>& image) {
    config.offBusMs = 20;
    sim::SimChip& chip = bus.AddChip(config);
    if (!image.empty()) chip.state().memory.ProgramFlash(0, image);
    chip.PowerUp();
    return chip;
  }

  // Opens the first device the way the command line does with the default settings.
  void OpenFirst() {
    ASSERT_EQ(flow->DEV_OpenDeviceByICIni(0), 1);
    flow->DEV_GetDeviceInfo();
    flow->SetUpdateOptions();
    flow->chip.device.transportFlags = kFlagAudioSearch;
  }

  std::vector<std::string> WireLines() {
    std::ifstream in(temp.path() / "wire.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  void MarkWire() { mark_ = WireLines().size(); }
  // How many wire lines start with `prefix`.
  std::ptrdiff_t CountWire(const std::string& prefix) {
    const std::vector<std::string> lines = WireLines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
  // The data-control size raised to 64 and put back to 8 `phases` times, each
  // change with its GET_LEN answer; pieces of 64 moved; the chip left at 8.
  void ExpectBulkPhases(int phases, const sim::SimChip& chip) {
    EXPECT_EQ(CountWire("21 01 0a00 0300 0008 0016000040000000"), phases);
    EXPECT_EQ(CountWire("a1 85 0b00 0300 0002 4000"), phases);
    EXPECT_EQ(CountWire("21 01 0a00 0300 0008 0016000008000000"), phases);
    EXPECT_EQ(CountWire("a1 85 0b00 0300 0002 0800"), phases);
    EXPECT_GT(CountWire("21 01 0b00 0300 0040 "), 0);
    EXPECT_EQ(chip.state().dataControlSize, 8);
  }
  // The command blocks sent since the mark.
  std::vector<WireCommand> WireCommands() {
    std::vector<WireCommand> out;
    std::vector<std::string> lines = WireLines();
    for (std::size_t i = mark_; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      if (line.rfind("21 01 0a00 0300 0008 ", 0) != 0) continue;
      const std::string block = line.substr(21, 16);
      auto byte = [&](int n) { return static_cast<std::uint32_t>(std::stoul(block.substr(n * 2, 2), nullptr, 16)); };
      out.push_back({block.substr(0, 4), byte(2) | byte(3) << 8, byte(4) | byte(5) << 8});
    }
    return out;
  }

  VirtualClock clock;
  ScopedClockOverride clockOverride{clock};
  TempDir temp;
  ScopedEnv home{"QUILLON_HOME", temp.path().string()};
  sim::SimBus bus;
  HookBus* hookBus = nullptr;
  std::unique_ptr<ScopedUsbBackend> backend;
  CDevFlow* flow = nullptr;

 private:
  std::size_t mark_ = 0;
};

}  // namespace quillon::testing
