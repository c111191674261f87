#include "device/cam_dev.h"

#include <utility>

#include "device/chip_registers.h"

#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/retry.h"
#include "proxy/link_steps.h"

namespace quillon {
namespace {

constexpr std::uint16_t kPinDirection = kProtectPinRegisters[0];
constexpr std::uint16_t kPinLevel = kProtectPinRegisters[1];
constexpr std::uint16_t kPinDirection2 = kFlashPin2Registers[0];
constexpr std::uint16_t kPinLevel2 = kFlashPin2Registers[1];
// The status bits a write sets; write-in-progress and write-enable are the flash's own.
constexpr std::uint8_t kSrWritableBits = 0xFC;
constexpr int kStatusPolls = 20;
constexpr std::uint32_t kStatusPollMs = 50;
constexpr std::uint16_t kSpiControl = 0xFCE0;
constexpr int kSpiPolls = 11;
constexpr std::uint32_t kSpiPollMs = 100;

std::uint8_t SetBit(std::uint8_t value, int bit, bool on) {
  return static_cast<std::uint8_t>(on ? value | (1u << bit) : value & ~(1u << bit));
}

}  // namespace

CCamDev::~CCamDev() { CloseDeviceRecord(record_); }

// The transports go before the record they send through is closed.
CVxtCam::~CVxtCam() {
  extUnit_.reset();
  vendorRequest_.reset();
}

int CVxtCam::GetChipInterfaceType() {
  const std::uint8_t type = info_.statusBlock[64];
  const std::uint16_t value = static_cast<std::uint16_t>(info_.statusBlock[4] | info_.statusBlock[5] << 8);
  switch (type) {
    case 0:
      if (value < 0x4000) return 0;
      if (value >= 0x8000 && value < 0xC000) return 1;
      return -1;
    case 17:
      return value >= 0x4000 && value <= 0x7FFF ? 3 : -1;
    case 18:
      return 2;
    default:
      return -1;
  }
}

CVendorCmdCommon* CVxtCam::SelectTransport() {
  if (!record_.info) {
    if (!ProbeDevice(record_, false)) return nullptr;
    info_ = *record_.info;
  }
  if (info_.vendorTransport != 0 && vendorRequest_) return vendorRequest_.get();
  if (info_.xuTransport != 0 && extUnit_) return extUnit_.get();
  return nullptr;
}

void CVxtCam::RebuildTransports() {
  if (!record_.info) {
    // The chip back from a reset keeps its transports: one that no longer
    // answers lost its one question on the link, and is asked again.
    const DeviceInfoRecord before = info_;
    const auto keptAll = [&] {
      return (before.vendorTransport == 0 || info_.vendorTransport != 0) &&
             (before.xuTransport == 0 || info_.xuTransport != 0);
    };
    bool again = false;
    TryAttempts(LinkStepOf(LinkStep::kChipOpen).attempts, NeverStopped, [&] {
      info_ = ProbeDevice(record_, std::exchange(again, true)) ? *record_.info : DeviceInfoRecord{};
      return keptAll();
    });
  }
  extUnit_.reset();
  vendorRequest_.reset();
  if (info_.xuTransport != 0) {
    extUnit_ = std::make_unique<CExtUnit>(record_.hVxProxyDev, static_cast<std::uint8_t>(record_.interfaceNumber),
                                          static_cast<std::uint8_t>(info_.xuUnitId));
  }
  if (info_.vendorTransport != 0) vendorRequest_ = std::make_unique<CVendorRequestV2>(record_.hVxProxyDev);
}

void CVxtCam::SignalArrival() { arrival_.Set(); }

std::uint32_t CVxtCam::ReadRegister(std::uint16_t address, std::uint8_t& value) {
  CVendorCmdCommon* transport = SelectTransport();
  if (transport == nullptr) return kResultFail;
  std::uint8_t byte[1] = {0};
  std::uint32_t result = transport->ReadMem(address, byte);
  if (result == kResultOk) value = byte[0];
  return result;
}

std::uint32_t CVxtCam::WriteRegister(std::uint16_t address, std::uint8_t value) {
  CVendorCmdCommon* transport = SelectTransport();
  if (transport == nullptr) return kResultFail;
  const std::uint8_t byte[1] = {value};
  return transport->WriteMem(address, byte);
}

// Polls the flash status until its write-in-progress bit clears.
std::uint32_t CVxtCam::WaitStatusIdle(std::uint32_t result, std::uint8_t& status) {
  CVendorCmdCommon* transport = SelectTransport();
  for (int poll = 0; poll < kStatusPolls; ++poll) {
    if (result != kResultOk) {
      DebugPrint("Waiting for failed\n");
      return result;
    }
    if ((status & 0x01) == 0) return kResultOk;
    DebugPrint("Waiting for SPI_SF_WriteSr\n");
    TheClock().SleepMs(kStatusPollMs);
    result = transport->SPI_SF_ReadSr(status);
  }
  // Still busy: the new status is not known to be in force.
  return result != kResultOk ? result : kResultFail;
}

std::uint32_t CVxtCam::SetProtection(bool protect) {
  CVendorCmdCommon* transport = SelectTransport();
  if (transport == nullptr) return kResultFail;
  std::uint8_t direction = 0;
  std::uint8_t level = 0;
  if (std::uint32_t r = ReadRegister(kPinDirection, direction); r != kResultOk) return r;
  if (std::uint32_t r = ReadRegister(kPinLevel, level); r != kResultOk) return r;
  direction = SetBit(direction, 0, true);
  level = SetBit(level, 0, !protect);
  if (std::uint32_t r = WriteRegister(kPinDirection, direction); r != kResultOk) return r;
  if (std::uint32_t r = WriteRegister(kPinLevel, level); r != kResultOk) return r;
  const std::uint8_t written = protect ? kProtectedStatus : 0;
  if (std::uint32_t r = transport->SPI_SF_WriteSr(written); r != kResultOk) return r;
  std::uint8_t status = 0;
  std::uint32_t result = transport->SPI_SF_ReadSr(status);
  result = WaitStatusIdle(result, status);
  if (result != kResultOk) return result;
  // A flash whose register lock holds ignores the write: it must not pass for
  // protected (or unprotected) when it is not.
  if ((status & kSrWritableBits) != (written & kSrWritableBits)) {
    DebugPrint("SPI_SF_WriteSr not taken, status %02X\n", status);
    return kResultFail;
  }
  return kResultOk;
}

std::uint32_t CVxtCam::ProtectFlash() { return SetProtection(true); }
std::uint32_t CVxtCam::UnprotectFlash() { return SetProtection(false); }

std::uint32_t CVxtCam::SetFlashPinsA() {
  std::uint8_t values[4] = {};
  const std::uint16_t registers[4] = {kPinDirection, kPinLevel, kPinDirection2, kPinLevel2};
  for (int i = 0; i < 4; ++i) {
    if (std::uint32_t r = ReadRegister(registers[i], values[i]); r != kResultOk) return r;
  }
  values[0] = SetBit(values[0], 5, false);
  values[1] = SetBit(values[1], 0, true);
  values[2] = SetBit(values[2], 1, false);
  values[3] = SetBit(values[3], 0, true);
  for (int i = 0; i < 4; ++i) {
    if (std::uint32_t r = WriteRegister(registers[i], values[i]); r != kResultOk) return r;
  }
  return kResultOk;
}

std::uint32_t CVxtCam::SetFlashPinsB() {
  std::uint8_t values[4] = {};
  const std::uint16_t registers[4] = {kPinDirection, kPinLevel, kPinDirection2, kPinLevel2};
  for (int i = 0; i < 4; ++i) {
    if (std::uint32_t r = ReadRegister(registers[i], values[i]); r != kResultOk) return r;
  }
  values[0] = SetBit(values[0], 5, true);
  values[1] = SetBit(values[1], 0, false);
  values[2] = SetBit(values[2], 1, true);
  values[3] = SetBit(values[3], 0, false);
  for (int i = 0; i < 4; ++i) {
    if (std::uint32_t r = WriteRegister(registers[i], values[i]); r != kResultOk) return r;
  }
  return kResultOk;
}

std::uint32_t CVxtCam::SpiControllerCommand(std::uint8_t opcode, std::uint32_t address) {
  const std::pair<std::uint16_t, std::uint8_t> writes[] = {
      {0xFCE2, 6},
      {0xFCE1, 0},
      {0xFCE8, opcode},
      {0xFCE9, static_cast<std::uint8_t>(address & 0xFF)},
      {0xFCEA, static_cast<std::uint8_t>((address >> 8) & 0xFF)},
      {0xFCEB, static_cast<std::uint8_t>((address >> 16) & 0xFF)},
      {0xFCE7, 1},
      {0xFCEE, 5},
      {0xFCED, 6},
      {0xFCFC, 0},
      {0xFCFB, 0xFF},
      {kSpiControl, 0x82},
  };
  std::uint32_t error = kResultOk;
  for (const auto& [reg, value] : writes) {
    error = WriteRegister(reg, value);
    if (error != kResultOk) break;
  }
  std::uint8_t control = 0;
  if (error == kResultOk) {
    error = ReadRegister(kSpiControl, control);
    for (int poll = 0; error == kResultOk && (control & 0x40) == 0 && poll < kSpiPolls; ++poll) {
      TheClock().SleepMs(kSpiPollMs);
      error = ReadRegister(kSpiControl, control);
    }
  }
  // A controller that never reported done has not done the command.
  const bool done = (control & 0x40) != 0;
  if (error == kResultOk) error = ReadRegister(kSpiControl, control);
  if (error == kResultOk && done && (control & 0x08) == 0) return UnprotectFlash();
  if (error == kResultOk) error = done ? kResultFail : ResultFromError(kUsbErrorTimeout);
  WriteRegister(kSpiControl, 4);
  UnprotectFlash();
  return error;
}

std::unique_ptr<CCamDev> CreateDeviceObject(DeviceRecord& record) {
  if (!ProbeDevice(record, false) || !record.info) return nullptr;
  std::unique_ptr<CCamDev> object;
  CVxtCam* cam = nullptr;
  if (record.info->supported != 0) {
    auto built = std::make_unique<CVxtCam>();
    cam = built.get();
    object = std::move(built);
  } else {
    object = std::make_unique<CCamDev>();
  }
  DeviceRecord& own = object->record();
  if (record.hVxProxyDev != 0 && !record.instance.empty()) {
    if (OpenVxCam(own, record.instance) != kUsbOk) return nullptr;
  }
  own.info = std::make_unique<DeviceInfoRecord>(*record.info);
  object->set_info(*record.info);
  if (cam != nullptr) cam->RebuildTransports();
  return object;
}

std::uint32_t OpenDeviceObject(const std::string& instance, std::unique_ptr<CCamDev>& out) {
  out.reset();
  DeviceRecord temporary;
  std::uint32_t error = OpenVxCam(temporary, instance);
  if (error != kUsbOk) return error;
  out = CreateDeviceObject(temporary);
  CloseDeviceRecord(temporary);
  return out ? kResultOk : kResultFail;
}

}  // namespace quillon
