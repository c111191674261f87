#include "sim/sim_bus.h"

#include <algorithm>

#include "platform/clock.h"
#include "sim/bus_time.h"
#include "sim/chip_model.h"
#include "sim/descriptors.h"

namespace quillon::sim {
namespace {

bool Covers(const TransferFault& fault, std::uint64_t n) {
  return n >= fault.first && n - fault.first < fault.count;
}

thread_local bool inTransfer = false;

}  // namespace

std::string NextChipLocation(std::size_t count) { return "1-" + std::to_string(count + 1); }

SimBus::SimBus(std::vector<ChipState> chips) {
  for (ChipState& state : chips) {
    const bool powerUp = state.powerLost;
    const bool resetUnderWay = state.resetPending;
    Slot slot;
    slot.chip = std::make_unique<SimChip>(std::move(state));
    ChipState& s = slot.chip->state();
    if (powerUp) {
      s.powerLost = false;
      slot.chip->PowerUp();
    } else if (resetUnderWay) {
      // The reset's own outcome was settled when it was issued: s.mode holds it.
      const RunMode mode = s.mode;
      slot.chip->PowerUp();
      s.mode = mode;
      ++s.generation;
    }
    s.resetPending = false;
    slots_.push_back(std::move(slot));
  }
}

SimBus::~SimBus() = default;

bool SimBus::InTransferOnThisThread() { return inTransfer; }

SimChip& SimBus::AddChip(const ChipConfig& config) {
  std::lock_guard lock(mutex_);
  Slot slot;
  slot.chip = std::make_unique<SimChip>(ChipState(config, NextChipLocation(slots_.size())));
  slot.chip->PowerUp();
  slots_.push_back(std::move(slot));
  return *slots_.back().chip;
}

SimChip& SimBus::PlugChip(const ChipConfig& config) {
  SimChip& chip = AddChip(config);
  std::lock_guard lock(mutex_);
  events_.push_back({true, InfoOf(slots_.back())});
  return chip;
}

void SimBus::UnplugChip(std::size_t index) {
  std::lock_guard lock(mutex_);
  Slot& slot = slots_.at(index);
  if (OnBus(slot)) events_.push_back({false, InfoOf(slot)});
  slot.resetKind = ResetKind::kNone;
  slot.chip->PowerUp();  // pages still being programmed are lost
  slot.chip->state().powerLost = true;
  ReportChangesLocked();
}

bool SimBus::PullChip(std::size_t index) {
  if (index >= ChipCount()) return false;
  UnplugChip(index);
  std::lock_guard lock(mutex_);
  slots_[index].chip->state().pulled = true;
  return true;
}

bool SimBus::ReplugChip(std::size_t index) {
  std::lock_guard lock(mutex_);
  if (index >= slots_.size() || !slots_[index].chip->state().pulled) return false;
  Slot& slot = slots_[index];
  ChipState& state = slot.chip->state();
  state.pulled = false;
  state.powerLost = false;
  slot.chip->PowerUp();
  ++state.generation;
  slot.notReadyUntilMs = TheClock().NowMs() + state.config.notReadyMs;
  events_.push_back({true, InfoOf(slot)});
  ReportChangesLocked();
  return true;
}

std::size_t SimBus::ChipCount() const {
  std::lock_guard lock(mutex_);
  return slots_.size();
}

SimChip& SimBus::Chip(std::size_t index) {
  std::lock_guard lock(mutex_);
  return *slots_.at(index).chip;
}

bool SimBus::OpenTransferLog(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  return log_.Open(file);
}

std::vector<ChipState> SimBus::EndRun() {
  std::lock_guard lock(mutex_);
  std::vector<ChipState> states;
  for (Slot& slot : slots_) {
    ChipState state = slot.chip->state();
    state.faults.SpendRunFaults();
    state.lastRun = slot.stats;
    state.lastRun.memoryReads = slot.chip->MemoryReads();
    state.lastRun.otpReportReads = slot.chip->OtpReportReads();
    const ChipFields saved = SavedFields(slot);
    state.resetPending = saved.resetPending;
    state.mode = saved.mode;
    states.push_back(std::move(state));
  }
  return states;
}

ChipFields SimBus::SavedFields(const Slot& slot) {
  const ChipState& state = slot.chip->state();
  ChipFields fields = state.Fields();
  if (slot.resetKind != ResetKind::kNone) {
    // Saved mid-reset: the chip comes back, in the mode the reset gives, when
    // the state is loaded again.
    fields.resetPending = true;
    fields.mode = slot.resetKind == ResetKind::kToUpdate ? RunMode::kLoader : StartMode(state);
  }
  return fields;
}

void SimBus::SetChangeListener(ChangeListener listener) {
  std::lock_guard lock(mutex_);
  changeListener_ = std::move(listener);
  for (Slot& slot : slots_) {
    slot.chip->state().memory.TakeChangedRows();
    slot.reported = SavedFields(slot);
  }
}

void SimBus::ReportChangesLocked() {
  if (!changeListener_) return;
  for (Slot& slot : slots_) {
    ChipState& state = slot.chip->state();
    const std::vector<std::uint32_t> rows = state.memory.TakeChangedRows();
    ChipFields fields = SavedFields(slot);
    if (rows.empty() && fields == slot.reported) continue;
    changeListener_(state, fields, rows);
    slot.reported = std::move(fields);
  }
}

bool SimBus::OnBus(const Slot& slot) const {
  const ChipState& state = slot.chip->state();
  return !state.pulled && !state.powerLost && slot.resetKind == ResetKind::kNone;
}

UsbDeviceInfo SimBus::InfoOf(const Slot& slot) const {
  const ChipState& s = slot.chip->state();
  UsbDeviceInfo info;
  info.instance = s.InstanceName();
  info.location = s.location;
  info.kind = s.config.kind;
  info.vendorId = s.config.vendorId;
  info.productId = s.config.productId;
  info.bcdDevice = s.config.bcdDevice;
  info.interfaceNumber = kControlInterface;
  return info;
}

void SimBus::UpdateLocked(std::uint64_t nowMs) {
  for (Slot& slot : slots_) {
    if (slot.resetKind == ResetKind::kNone || nowMs < slot.backAtMs) continue;
    slot.chip->ComeBack(slot.resetKind);
    slot.resetKind = ResetKind::kNone;
    ++slot.chip->state().generation;
    slot.notReadyUntilMs = nowMs + slot.chip->state().config.notReadyMs;
    events_.push_back({true, InfoOf(slot)});
  }
}

std::uint32_t SimBus::ListDevices(std::vector<UsbDeviceInfo>& out) {
  std::lock_guard lock(mutex_);
  UpdateLocked(TheClock().NowMs());
  out.clear();
  for (const Slot& slot : slots_) {
    if (OnBus(slot)) out.push_back(InfoOf(slot));
  }
  return kUsbOk;
}

std::uint32_t SimBus::Open(const std::string& instance, UsbHandle& out) {
  std::lock_guard lock(mutex_);
  UpdateLocked(TheClock().NowMs());
  out = 0;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (!OnBus(slots_[i]) || slots_[i].chip->state().InstanceName() != instance) continue;
    out = nextHandle_++;
    handles_[out] = {i, slots_[i].chip->state().generation};
    return kUsbOk;
  }
  return kUsbErrorNotFound;
}

void SimBus::Close(UsbHandle handle) {
  std::lock_guard lock(mutex_);
  handles_.erase(handle);
}

TransferResult SimBus::ControlTransfer(UsbHandle handle, const SetupPacket& setup, std::span<std::uint8_t> data,
                                       std::uint32_t timeoutMs) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end()) return {kUsbErrorInvalidArgument, 0};
  UpdateLocked(TheClock().NowMs());
  Slot& slot = slots_[it->second.slot];
  TransferResult result;
  if (data.size() < setup.wLength) {
    result = {kUsbErrorInvalidArgument, 0};
  } else {
    inTransfer = true;
    result = TransferLocked(slot, it->second, setup, data, timeoutMs);
    inTransfer = false;
  }
  const bool out = !setup.DeviceToHost();
  const std::size_t moved = out ? (result.ok() ? setup.wLength : 0) : result.length;
  slot.stats.transfers++;
  slot.stats.bytes += moved;
  if (!result.ok()) slot.stats.failed++;
  const BusSpeed speed = slot.chip->state().config.speed;
  slot.stats.latencyUs += ControlTransferLatencyUs(speed, moved);
  slot.stats.occupancyNs += ControlTransferOccupancyNs(speed, moved);
  // A transfer to the host shows what came back; one from the host what was sent.
  const std::size_t shown = out ? std::min<std::size_t>(setup.wLength, data.size()) : result.length;
  log_.Write(setup, data.first(shown), result.error);
  ReportChangesLocked();
  return result;
}

TransferResult SimBus::TransferLocked(Slot& slot, const OpenHandle& handle, const SetupPacket& setup,
                                      std::span<std::uint8_t> data, std::uint32_t timeoutMs) {
  SimChip& chip = *slot.chip;
  ChipState& state = chip.state();
  const std::uint64_t n = ++slot.transfers;
  if (state.powerLost) return {kUsbErrorDeviceGone, 0};
  for (const TransferFault& fault : state.faults.transfers) {
    if (fault.kind != TransferFaultKind::kPowerLoss || !Covers(fault, n)) continue;
    // Gone mid-transfer: nothing of it reaches the memory, and whatever command
    // or reset was under way is lost with the power.
    if (OnBus(slot)) events_.push_back({false, InfoOf(slot)});
    slot.resetKind = ResetKind::kNone;
    chip.PowerUp();
    state.powerLost = true;
    return {kUsbErrorDeviceGone, 0};
  }
  if (!OnBus(slot) || handle.generation != state.generation) return {kUsbErrorDeviceGone, 0};
  if (state.faults.notReady > 0) {
    --state.faults.notReady;
    return {kUsbErrorNotReady, 0};
  }
  if (TheClock().NowMs() < slot.notReadyUntilMs) return {kUsbErrorNotReady, 0};
  for (const TransferFault& fault : state.faults.transfers) {
    if (!Covers(fault, n)) continue;
    if (fault.kind == TransferFaultKind::kFail) return {kUsbErrorIo, 0};
    if (fault.kind == TransferFaultKind::kStall) {
      chip.StallCurrentCommand();
      return {kUsbErrorIo, 0};
    }
  }
  const TransferResult result = chip.Handle(setup, data, timeoutMs);
  bool pulled = chip.TakePowerLoss();
  for (const TransferFault& fault : state.faults.transfers) {
    if (fault.kind == TransferFaultKind::kUnplug && Covers(fault, n)) pulled = true;
  }
  if (pulled) {
    // The answer got through; then the power went (a page-loss fault or the
    // cable), and with it whatever was still being programmed.
    events_.push_back({false, InfoOf(slot)});
    chip.TakeReset();
    chip.PowerUp();
    state.powerLost = true;
    return result;
  }
  if (ResetKind reset = chip.TakeReset(); reset != ResetKind::kNone) {
    events_.push_back({false, InfoOf(slot)});
    slot.resetKind = reset;
    slot.backAtMs = TheClock().NowMs() + state.config.offBusMs;
  }
  return result;
}

void SimBus::SetEventListener(UsbEventListener* listener) {
  std::lock_guard lock(mutex_);
  listener_ = listener;
}

std::size_t SimBus::HandleEvents() {
  std::vector<Event> events;
  UsbEventListener* listener = nullptr;
  {
    std::lock_guard lock(mutex_);
    UpdateLocked(TheClock().NowMs());
    events.swap(events_);
    listener = listener_;
  }
  if (listener != nullptr) {
    for (const Event& event : events) {
      if (event.arrived) {
        listener->OnDeviceArrived(event.device);
      } else {
        listener->OnDeviceRemoved(event.device);
      }
    }
  }
  return events.size();
}

}  // namespace quillon::sim
