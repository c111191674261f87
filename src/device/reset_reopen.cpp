#include "device/reset_reopen.h"

#include <algorithm>
#include <array>
#include <span>
#include <climits>
#include <string>
#include <vector>

#include "device/chip_mode.h"
#include "device/chip_registers.h"
#include "device/result.h"
#include "device/vendor_requests.h"
#include "device/xu_commands.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/process_lock.h"
#include "platform/retry.h"
#include "proxy/backend_factory.h"
#include "proxy/link_steps.h"
#include "proxy/transfers.h"
#include "proxy/usb_location.h"

namespace quillon {
namespace {

// The library's own extension-unit command with an 8-byte data piece. Takes the
// command lock, and goes on without it when it is not free in time.
std::uint32_t XuCommand8(const DeviceRecord& record, std::uint8_t unitId, const CommandBlock& block,
                         std::span<std::uint8_t, 8> piece, bool toHost) {
  ProcessLockGuard lock(CommandLock());
  return XuCommandWithPiece(record, unitId, block, piece, toHost);
}

// The memory request of the vendor transport, at `address` with the buffer's length.
std::uint32_t VendorMemRequest(const DeviceRecord& record, VendorOp op, std::uint32_t address,
                               std::span<std::uint8_t> buffer) {
  const VendorRequestRow& row = VendorRequest(op);
  const VendorFields fields = PackGeneral(address, static_cast<std::uint32_t>(buffer.size()), 0);
  return UsbVendorRequest(record.hVxProxyDev, row.requestType, row.request, fields.wValue, fields.wIndex, buffer,
                          row.requestType >> 7, kControlTimeoutMs)
      .error;
}

// Reads the chip-mode register pair and marks the chip for the reset, each
// access sent again when the link lost it. Failures leave the mode bytes at
// 0xFF: the reset goes ahead regardless.
std::uint16_t ReadChipModeAndPrepare(const DeviceRecord& record, std::uint8_t unitId, bool vendor) {
  std::array<std::uint8_t, 1> prepare = {kResetPrepareValue};
  const auto tried = [](LinkStep step, auto&& access) {
    std::uint32_t error = kUsbOk;
    TryAttempts(LinkStepOf(step).attempts, NeverStopped, [&] { return (error = access()) != kUsbErrorIo; });
    return error == kUsbOk;
  };
  const auto readMode = [&](std::span<std::uint8_t> mode) {
    if (vendor) {
      return tried(LinkStep::kRegisterRead,
                   [&] { return VendorMemRequest(record, VendorOp::kReadMem, kChipModeRegister, mode); });
    }
    std::array<std::uint8_t, 8> piece{};
    return tried(LinkStep::kRegisterRead, [&] {
      const std::uint32_t error =
          XuCommand8(record, unitId, CommandFor(VendorOp::kReadMem, kChipModeRegister, mode.size()), piece, true);
      if (error == kUsbOk) std::copy_n(piece.begin(), mode.size(), mode.begin());
      return error;
    });
  };
  const ChipModeReading mode = ReadChipModeWith(readMode, 0xFF, ChipModeBits::kVariant);
  if (vendor) {
    tried(LinkStep::kRegisterWrite,
          [&] { return VendorMemRequest(record, VendorOp::kWriteMem, kResetPrepareRegister, prepare); });
  } else {
    tried(LinkStep::kRegisterWrite, [&] {
      std::array<std::uint8_t, 8> write = {prepare[0], 0, 0, 0, 0, 0, 0, 0};
      return XuCommand8(record, unitId, CommandFor(VendorOp::kWriteMem, kResetPrepareRegister, prepare.size()), write,
                        false);
    });
  }
  return mode.value;
}

VendorOp ResetOp(ResetCode command) {
  switch (command) {
    case ResetCode::kToUpdateFW:
      return VendorOp::kResetToUpdateFW;
    case ResetCode::kToNewCode:
      return VendorOp::kResetToNewCode;
    default:
      return VendorOp::kResetToRom;
  }
}

std::uint32_t SendReset(const DeviceRecord& record, ResetCode command, std::uint8_t unitId,
                        const ResetValuePlan& plan) {
  std::array<std::uint8_t, 0> none{};
  const VendorOp op = ResetOp(command);
  if (plan.vendorTransport != 0) {
    return UsbVendorRequest(record.hVxProxyDev, kVendorOut, VendorRequest(op).request, plan.sent, 0, none, 0,
                            kControlTimeoutMs)
        .error;
  }
  if (plan.vendorRequest6 != 0) {
    return UsbVendorRequest(record.hVxProxyDev, kVendorOut, kRequestResetByCommand, plan.sent,
                            static_cast<std::uint8_t>(command), none, 0, kControlTimeoutMs)
        .error;
  }
  // The reset to ROM carries no value.
  CommandBlock block = CommandFor(op, plan.sent & 0xFF);
  ProcessLockGuard lock(CommandLock());
  return UvcControlRequest(record.hVxProxyDev, kClassOut, kSetCur, kXuSelectorCommand, unitId,
                           static_cast<std::uint8_t>(record.interfaceNumber), block, false, kControlTimeoutMs)
      .error;
}

// One question the new device must answer before it is used.
std::uint32_t AskNewDevice(const DeviceRecord& record, std::uint8_t unitId, const ResetValuePlan& plan) {
  if (plan.vendorTransport != 0 || plan.vendorRequest6 != 0) {
    std::array<std::uint8_t, 1> byte{};
    return UsbVendorRequest(record.hVxProxyDev, kVendorIn, kRequestAlive, plan.later, 0, byte, 1, kControlTimeoutMs)
        .error;
  }
  std::array<std::uint8_t, 8> piece{};
  return XuCommand8(record, unitId, CommandFor(VendorOp::kGetDevStatus, 0), piece, true);
}

// True when a device other than `oldInstance` is listed at the record's location.
bool BackOnTheBus(const DeviceRecord& record, const std::string& oldInstance) {
  std::vector<UsbDeviceInfo> devices;
  if (TheUsbBackend().ListDevices(devices) != kUsbOk) return false;
  return std::any_of(devices.begin(), devices.end(), [&](const UsbDeviceInfo& device) {
    return device.instance != oldInstance && IsSameLocationText(device.location, record.location);
  });
}

// The wait after the reset: at most `waitMs`, over as soon as an arrival is
// signalled or the chip is listed again at its place.
void WaitForReturn(const DeviceRecord& record, const std::string& oldInstance, ArrivalEvent* event,
                   std::uint32_t waitMs) {
  for (std::uint32_t waited = 0;;) {
    if (event != nullptr && event->IsSet()) return;
    if (BackOnTheBus(record, oldInstance)) {
      DebugPrint("Device back on the bus after %u ms\n", waited);
      return;
    }
    if (waited >= waitMs) return;
    const std::uint32_t step = std::min(kReturnPollMs, waitMs - waited);
    TheClock().SleepMs(step);
    waited += step;
  }
}

bool IsOpenRecord(const DeviceRecord& record) { return record.hVxProxyDev != 0 && !record.instance.empty(); }

}  // namespace

std::uint32_t ResetAndReopen(DeviceRecord& record, const ResetRequest& request) {
  if (!IsOpenRecord(record)) return kUsbErrorInvalidArgument;
  // Every wait of the sequence, the one after the reset and the opens' own
  // included, counts against the limit, so that no setting or chip can hold
  // the station past it.
  const bool limited = request.limitMs >= 1;
  const std::uint64_t start = TheClock().NowMs();
  auto elapsed = [&] { return TheClock().NowMs() - start; };
  auto pastLimit = [&] { return limited && elapsed() > request.limitMs; };
  auto remaining = [&]() -> std::uint32_t {
    if (!limited) return UINT32_MAX;
    return static_cast<std::uint32_t>(request.limitMs - std::min<std::uint64_t>(elapsed(), request.limitMs));
  };
  auto wait = [&](std::uint32_t ms) { TheClock().SleepMs(ms); };
  const std::string oldInstance = record.instance;

  ResetCode command = request.command;
  int unitId = request.unitId;
  ResetValuePlan plan{request.value, request.value, false, request.vendorRequest6, request.vendorTransport};
  std::string oldName;
  if (command == ResetCode::kToRomByRequest) {
    plan.vendorTransport = 1;
    plan.vendorRequest6 = 0;
  } else {
    std::uint32_t vendorRequest6 = request.vendorRequest6;
    std::uint32_t vendorTransport = request.vendorTransport;
    if (!request.given && !ProbeTransports(record, unitId, vendorRequest6, vendorTransport)) return kResultFail;
    plan = PlanResetValue(request.value, request.forceUnit, unitId, vendorRequest6, vendorTransport);
    oldName = record.instance;
  }
  const auto unit = static_cast<std::uint8_t>(unitId < 0 ? 0 : unitId);

  std::uint16_t chipMode = ChipModeWord(0xFF, 0xFF, ChipModeBits::kVariant);
  if (command != ResetCode::kToRomByRequest) {
    chipMode = ReadChipModeAndPrepare(record, unit, plan.vendorTransport != 0);
  } else {
    command = ResetCode::kToRom;
  }

  for (;;) {
    // A stalled reset left the chip where it was: it goes again. Any other
    // answer is the chip's own.
    std::uint32_t error = kUsbOk;
    TryAttempts(LinkStepOf(LinkStep::kResetSend).attempts, NeverStopped, [&] {
      error = SendReset(record, command, unit, plan);
      return error != kUsbErrorIo;
    });
    if (error == kUsbOk) break;
    if (error != kUsbErrorNotReady) {
      DebugPrint("Reset device failed %d\n", static_cast<int>(error));
      return error;
    }
    if (pastLimit()) return kUsbErrorTimeout;
    wait(kResetRetryMs);
  }

  // The old device is gone from the bus: let go of it, remember where it was.
  const auto oldContext = static_cast<unsigned>(record.hVxProxyDev & 0xFFFFFFFFu);
  VxProxy_Close(record.hVxProxyDev);
  record.hVxProxyDev = 0;

  if (!plan.fast) {
    if (request.event != nullptr) request.event->Reset();
    WaitForReturn(record, oldInstance, request.event, std::min(request.waitMs, remaining()));
    // These variants answer before they are ready: their extra time stays fixed.
    if (NeedsExtraWait(chipMode)) TheClock().SleepMs(std::min(kExtraResetWaitMs, remaining()));
  }

  const DeviceKind kind = ReopenKind(record.kind, command, chipMode);
  DeviceRecord found;
  for (int index = 0;;) {
    if (pastLimit()) {
      CloseDeviceRecord(record);
      DebugPrint("Re-open device timeout, return ERROR_TIMEOUT, Old device closed \n\n");
      return kUsbErrorTimeout;
    }
    // An open may itself wait for a chip that answers "not ready": no longer than the limit leaves.
    std::uint32_t error = kUsbOk;
    {
      ScopedWakeWaitLimit cap(std::min(kWakeWaitLimitMs, remaining()));
      error = VxCam_OpenDevice(found, index, kind);
    }
    DebugPrint("VxCam_OpenDevice return %d\n", static_cast<int>(error));
    const int opened = index++;
    if (error == kUsbErrorNoMoreItems) {
      index = 0;
      wait(kSearchNoDeviceMs);
      continue;
    }
    if (error != kUsbOk) {
      DebugPrint("Error while ReopenVxCam %d\n", static_cast<int>(error));
      if (error == kUsbErrorNotFound) {
        index = 0;
        wait(kSearchNotFoundMs);
      }
      continue;
    }
    DebugPrint("Checking new device %d\n", opened);
    if (!IsSameLocation(found, record)) {
      DebugPrint("Close device that is not match\n");
      CloseDeviceRecord(found);
      continue;
    }
    DebugPrint("Is same dev location\n");
    if (plan.fast) {
      DebugPrint("Fast reset mode, not checking old device disconnect\n");
      break;
    }
    // The same instance at the same port is the old device, not yet off the bus.
    if (found.instance.empty() || found.instance == oldName) {
      DebugPrint("Pdo device name still match, old device not completely disconnected\n");
      DebugPrint("Close device that is not match\n");
      CloseDeviceRecord(found);
      continue;
    }
    DebugPrint("Old device %s [0x%08X] disconnected, new device %s [0x%08X]\n", oldName.c_str(), oldContext,
               found.instance.c_str(), static_cast<unsigned>(found.hVxProxyDev & 0xFFFFFFFFu));
    break;
  }

  DebugPrint("Old device safe to be closed \n\n");
  while (AskNewDevice(found, unit, plan) == kUsbErrorDeviceGone) {
    DebugPrint("Waiting for device %08X reconnect...\n", static_cast<unsigned>(found.hVxProxyDev & 0xFFFFFFFFu));
    wait(kReconnectPollMs);
    if (pastLimit()) {
      CloseDeviceRecord(found);
      return kUsbErrorTimeout;
    }
  }

  DebugPrint("Device reset ok\n");
  CloseDeviceRecord(record);
  record = std::move(found);
  DebugPrint("New hVxProxyDev=%08X\n", static_cast<unsigned>(record.hVxProxyDev & 0xFFFFFFFFu));
  return kUsbOk;
}

}  // namespace quillon
