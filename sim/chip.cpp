#include "sim/chip.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "sim/chip_model.h"
#include "sim/descriptors.h"

namespace quillon::sim {
namespace {

constexpr TransferResult kStall{kUsbErrorIo, 0};

TransferResult Answer(std::span<std::uint8_t> data, std::span<const std::uint8_t> bytes, std::uint16_t wLength) {
  const std::size_t n = std::min<std::size_t>(bytes.size(), wLength);
  std::copy_n(bytes.begin(), n, data.begin());
  return {kUsbOk, n};
}

}  // namespace

SimChip::SimChip(ChipState state) : state_(std::move(state)) {}

std::string SimChip::Serial() const {
  if (!state_.config.serial.empty()) return state_.config.serial;
  std::string serial = "QS";
  for (char c : state_.location) {
    if (c != '-' && c != '.') serial += c;
  }
  return serial;
}

ResetKind SimChip::TakeReset() { return std::exchange(pendingReset_, ResetKind::kNone); }

bool SimChip::TakePowerLoss() { return std::exchange(powerLost_, false); }

void SimChip::StallCurrentCommand() {
  xu_ = {};
  xu_.status = kStsHwErr;
}

void SimChip::PowerUp() {
  CutProgramming(PagesDone());
  xu_ = {};
  pendingReset_ = ResetKind::kNone;
  otpReport_ = {};
  statusWriteUntilMs_ = busyUntilMs_ = 0;
  phy_.clear();
  i2cRegisters_.clear();
  i2cDevices_.clear();
  state_.registers.clear();
  state_.dataControlSize = 8;
  state_.mode = StartMode(state_);
}

void SimChip::ComeBack(ResetKind kind) {
  PowerUp();
  if (kind == ResetKind::kToUpdate) state_.mode = RunMode::kLoader;
}

TransferResult SimChip::Handle(const SetupPacket& setup, std::span<std::uint8_t> data, std::uint32_t timeoutMs) {
  switch (setup.bmRequestType & 0x60) {
    case 0x00: return HandleStandard(setup, data);
    case 0x20: return HandleExtensionUnit(setup, data, timeoutMs);
    case 0x40: return HandleVendor(setup, data, timeoutMs);
    default: return kStall;
  }
}

TransferResult SimChip::HandleStandard(const SetupPacket& setup, std::span<std::uint8_t> data) {
  if (setup.bmRequestType == 0x80 && setup.bRequest == 6) {
    const std::uint8_t type = static_cast<std::uint8_t>(setup.wValue >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(setup.wValue & 0xFF);
    if (type == 1 && index == 0) return Answer(data, DeviceDescriptor(state_.config), setup.wLength);
    if (type == 2 && index == 0) return Answer(data, ConfigurationDescriptor(state_.config), setup.wLength);
    if (type == 3) {
      if (auto text = StringDescriptor(state_.config, index, Serial())) return Answer(data, *text, setup.wLength);
    }
    return kStall;
  }
  if (setup.bmRequestType == 0x80 && setup.bRequest == 0) {  // GET_STATUS: bus powered, no remote wake-up
    const std::uint8_t status[2] = {0, 0};
    return Answer(data, status, setup.wLength);
  }
  if (setup.bmRequestType == 0x80 && setup.bRequest == 8) {  // GET_CONFIGURATION
    const std::uint8_t value = 1;
    return Answer(data, {&value, 1}, setup.wLength);
  }
  if ((setup.bmRequestType == 0x00 && setup.bRequest == 9) || (setup.bmRequestType == 0x01 && setup.bRequest == 11)) {
    return {kUsbOk, 0};  // SET_CONFIGURATION, SET_INTERFACE
  }
  return kStall;
}

TransferResult SimChip::HandleExtensionUnit(const SetupPacket& setup, std::span<std::uint8_t> data,
                                            std::uint32_t timeoutMs) {
  if (!state_.config.HasXu()) return kStall;
  const bool toUnit = setup.bmRequestType == 0x21;
  const bool fromUnit = setup.bmRequestType == 0xA1;
  const std::uint8_t selector = static_cast<std::uint8_t>(setup.wValue >> 8);
  if ((!toUnit && !fromUnit) || setup.wIndex != (kExtensionUnitId << 8 | kControlInterface) ||
      (selector != kSelectorCommand && selector != kSelectorData)) {
    return kStall;
  }
  const std::uint16_t controlLength = selector == kSelectorCommand ? 8 : state_.dataControlSize;
  switch (setup.bRequest) {
    case 0x01:  // SET_CUR
      if (!toUnit) return kStall;
      if (selector == kSelectorData) return HandleDataPiece(setup, data);
      if (setup.wLength != 8) return FailCommand(kStsErrLen);
      return HandleCommandBlock(data.first(8), timeoutMs);
    case 0x81:  // GET_CUR
      if (!fromUnit) return kStall;
      if (selector == kSelectorData) return HandleDataPiece(setup, data);
      if (setup.wLength != 8) return kStall;
      std::fill_n(data.begin(), 8, 0);
      data[0] = xu_.status;
      return {kUsbOk, 8};
    case 0x85: {  // GET_LEN
      if (!fromUnit || setup.wLength != 2) return kStall;
      data[0] = static_cast<std::uint8_t>(controlLength & 0xFF);
      data[1] = static_cast<std::uint8_t>(controlLength >> 8);
      return {kUsbOk, 2};
    }
    case 0x86:  // GET_INFO: supports GET and SET
      if (!fromUnit || setup.wLength != 1) return kStall;
      data[0] = 0x03;
      return {kUsbOk, 1};
    case 0x82:
    case 0x83:
    case 0x84:
    case 0x87:  // GET_MIN, GET_MAX, GET_RES, GET_DEF: nothing to say
      if (!fromUnit || setup.wLength != controlLength) return kStall;
      std::fill_n(data.begin(), controlLength, 0);
      return {kUsbOk, controlLength};
    default:
      return kStall;
  }
}

TransferResult SimChip::FailCommand(std::uint8_t status) {
  xu_ = {};
  xu_.status = status;
  return kStall;
}

TransferResult SimChip::HandleCommandBlock(std::span<const std::uint8_t> bytes, std::uint32_t timeoutMs) {
  std::uint8_t block[8];
  std::copy_n(bytes.begin(), 8, block);
  if (block[0] == kClassAbort) {
    xu_ = {};
    return {kUsbOk, 8};
  }
  if (xu_.active) {
    // The host must finish or abort a data phase before the next command.
    xu_.status = kStsNotFinish;
    return kStall;
  }
  std::uint8_t status = kStsNoErr;
  std::optional<Request> request = DecodeCommandBlock(block, status);
  if (!request) return FailCommand(status);
  // The chip takes no flash command or reset before the last write's pages are programmed.
  if (WaitsForProgramming(request->op)) WaitForProgramming();
  if (std::uint8_t check = Check(*request); check != kStsNoErr) return FailCommand(check);

  xu_ = {};
  xu_.request = *request;
  if (request->phase == DataPhase::kIn && request->length > 0) {
    if (std::uint8_t read = Read(*request, xu_.buffer); read != kStsNoErr) return FailCommand(read);
    xu_.active = true;
    xu_.status = kStsDataIn;
  } else if (request->phase == DataPhase::kOut && request->length > 0) {
    xu_.buffer.reserve(request->length);
    xu_.active = true;
    xu_.status = kStsDataOut;
  } else if (request->phase == DataPhase::kNone) {
    bool timedOut = false;
    std::uint8_t result = Act(*request, timeoutMs, timedOut);
    if (timedOut) {
      xu_.status = result;
      return {kUsbErrorTimeout, 0};
    }
    if (result != kStsNoErr) return FailCommand(result);
    xu_.status = kStsNoErr;
  } else {
    xu_.status = kStsNoErr;  // a data command of length 0 has nothing to move
  }
  return {kUsbOk, 8};
}

TransferResult SimChip::HandleDataPiece(const SetupPacket& setup, std::span<std::uint8_t> data) {
  const bool in = setup.DeviceToHost();
  if (setup.wLength != state_.dataControlSize) return FailCommand(kStsErrLen);
  if (!xu_.active || (xu_.request.phase == DataPhase::kIn) != in) return FailCommand(kStsErrDir);

  const std::size_t piece = state_.dataControlSize;
  const std::size_t remaining = xu_.request.length - xu_.done;
  const std::size_t n = std::min(piece, remaining);
  if (in) {
    std::fill_n(data.begin(), piece, 0);
    std::copy_n(xu_.buffer.begin() + static_cast<std::ptrdiff_t>(xu_.done), n, data.begin());
    xu_.done += n;
    if (xu_.done == xu_.request.length) {
      xu_.active = false;
      xu_.status = kStsNoErr;
    }
    return {kUsbOk, piece};
  }
  // The padding of a short last piece is ignored.
  xu_.buffer.insert(xu_.buffer.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
  xu_.done += n;
  if (xu_.done == xu_.request.length) {
    // The range is programmed only once the whole data phase has arrived.
    const Request request = xu_.request;
    const std::vector<std::uint8_t> payload = std::move(xu_.buffer);
    xu_ = {};
    if (std::uint8_t result = Write(request, payload); result != kStsNoErr) return FailCommand(result);
    xu_.status = kStsNoErr;
  }
  return {kUsbOk, piece};
}

TransferResult SimChip::HandleVendor(const SetupPacket& setup, std::span<std::uint8_t> data,
                                     std::uint32_t timeoutMs) {
  const bool answersAll = state_.config.HasVendor();
  const bool request6Only = state_.config.request6 && (setup.bRequest == 0x06 || setup.bRequest == 0x01);
  if (!answersAll && !request6Only) return kStall;
  std::optional<Request> request =
      DecodeVendorRequest(setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength);
  if (!request) return kStall;
  if (WaitsForProgramming(request->op)) WaitForProgramming();
  if (Check(*request) != kStsNoErr) return kStall;
  switch (request->phase) {
    case DataPhase::kIn: {
      std::vector<std::uint8_t> out;
      if (Read(*request, out) != kStsNoErr) return kStall;
      const std::size_t n = std::min<std::size_t>(out.size(), setup.wLength);
      std::copy_n(out.begin(), n, data.begin());
      return {kUsbOk, n};
    }
    case DataPhase::kOut:
      if (Write(*request, data.first(setup.wLength)) != kStsNoErr) return kStall;
      return {kUsbOk, setup.wLength};
    case DataPhase::kNone: {
      bool timedOut = false;
      std::uint8_t result = Act(*request, timeoutMs, timedOut);
      if (timedOut) return {kUsbErrorTimeout, 0};
      return result == kStsNoErr ? TransferResult{kUsbOk, 0} : kStall;
    }
  }
  return kStall;
}

}  // namespace quillon::sim
