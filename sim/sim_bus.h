// The simulated USB bus: chips at distinct locations, the USB backend the tool
// talks to, and the things that happen between the tool and a chip: a reset
// that takes the chip off the bus for a while and brings it back as a new
// device, injected faults, the transfer log and the bus-time count.
//
// In a test:   sim::SimBus bus;  sim::SimChip& chip = bus.AddChip({.memory = sim::MemoryKind::kOtp});
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "proxy/usb_backend.h"
#include "sim/chip.h"
#include "sim/journal.h"
#include "sim/transfer_log.h"

namespace quillon::sim {

// Where the next chip of a bus of `count` chips sits.
std::string NextChipLocation(std::size_t count);

class SimBus final : public UsbBackend {
 public:
  SimBus() = default;
  // A new run with chips from a state file: a reset still under way completes
  // now, and a chip that lost power powers up again.
  explicit SimBus(std::vector<ChipState> chips);
  ~SimBus() override;

  // A chip at the next free location ("1-1", "1-2", ...), blank memory, powered
  // up (in its ROM loader while its memory holds nothing to start).
  SimChip& AddChip(const ChipConfig& config = {});
  // The same while the bus runs: the chip is plugged in, and listeners hear of
  // its arrival.
  SimChip& PlugChip(const ChipConfig& config = {});
  // The cable of chip `index` is pulled: it is off the bus (and powers up again
  // in the next run), and listeners hear of its removal.
  void UnplugChip(std::size_t index);
  // The unit is taken off the station: off the bus as with UnplugChip, and it
  // stays off (in later runs too) until ReplugChip. False for no such chip.
  bool PullChip(std::size_t index);
  // A pulled unit plugged back: it powers up and listeners hear of its arrival.
  bool ReplugChip(std::size_t index);

  std::size_t ChipCount() const;
  SimChip& Chip(std::size_t index);

  // Appends every transfer to `file` from now on.
  bool OpenTransferLog(const std::filesystem::path& file);

  // Called, from the transfer on, after every transfer that changed a chip's
  // memory or a field the next run sees, with the chip's fields as a save
  // would store them and the memory rows changed since the last call.
  using ChangeListener =
      std::function<void(const ChipState& chip, const ChipFields& fields, std::span<const std::uint32_t> rows)>;
  void SetChangeListener(ChangeListener listener);

  // The chips as they are now, for saving: faults armed for this run are spent,
  // and the run's counts are stored in each chip's lastRun.
  std::vector<ChipState> EndRun();

  // True while this thread is inside a transfer to a chip (a chip that makes
  // the host wait sleeps on the clock there): a clock that calls back into
  // the bus while sleeping must not do so then.
  static bool InTransferOnThisThread();

  // UsbBackend.
  std::uint32_t ListDevices(std::vector<UsbDeviceInfo>& out) override;
  std::uint32_t Open(const std::string& instance, UsbHandle& out) override;
  void Close(UsbHandle handle) override;
  TransferResult ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::uint32_t timeoutMs) override;
  void SetEventListener(UsbEventListener* listener) override;
  std::size_t HandleEvents() override;

 private:
  struct Slot {
    std::unique_ptr<SimChip> chip;
    ResetKind resetKind = ResetKind::kNone;  // under way while not kNone
    std::uint64_t backAtMs = 0;
    std::uint64_t notReadyUntilMs = 0;
    std::uint64_t transfers = 0;  // counted from 1 in this run
    RunStats stats;
    ChipFields reported;  // as the change listener last heard them
  };
  struct OpenHandle {
    std::size_t slot;
    std::uint32_t generation;
  };
  struct Event {
    bool arrived;
    UsbDeviceInfo device;
  };

  bool OnBus(const Slot& slot) const;
  // The chip's fields as a save now would store them.
  static ChipFields SavedFields(const Slot& slot);
  void ReportChangesLocked();
  UsbDeviceInfo InfoOf(const Slot& slot) const;
  void UpdateLocked(std::uint64_t nowMs);
  TransferResult TransferLocked(Slot& slot, const OpenHandle& handle, const SetupPacket& setup,
                                std::span<std::uint8_t> data, std::uint32_t timeoutMs);

  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
  std::map<UsbHandle, OpenHandle> handles_;
  UsbHandle nextHandle_ = 1;
  UsbEventListener* listener_ = nullptr;
  std::vector<Event> events_;
  TransferLog log_;
  ChangeListener changeListener_;
};

}  // namespace quillon::sim
