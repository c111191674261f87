// The EEPROM steps, each reading its row of the step table (step_table.h):
// data moves in 8-byte chunks (one EEPROM page write or one read each) whose
// EEPROM address is their offset in the buffer, each chunk retried after a
// cancel check, 128 ms apart; progress is posted inside the step's band after
// every chunk. They return 1 or 0; the sequences
// decide which failure id that is.
#include <algorithm>
#include <array>
#include <vector>

#include "device/vxcam.h"
#include "flow/eeprom_flow.h"
#include "flow/status.h"
#include "flow/step_runner.h"
#include "platform/clock.h"

namespace quillon {
namespace {

constexpr std::uint32_t kEmptyCheckLength = 64;
constexpr std::uint32_t kTagAddress = 1;
constexpr std::uint8_t kTagValue = 0xA5;

// The write-protect pin of the EEPROM: direction and level registers, and the
// bit operations that release it and put it back, in the order they are written.
struct PinWrite {
  std::uint32_t address;
  std::uint8_t orMask;
  std::uint8_t andMask;
};
constexpr std::array<std::uint32_t, 4> kPinRegisters{0xFEA0, 0xFEA6, 0xFEA1, 0xFEA7};
constexpr std::array<PinWrite, 4> kReleasePin{
    {{0xFEA0, 0x20, 0xFF}, {0xFEA6, 0x00, 0xDF}, {0xFEA1, 0x02, 0xFF}, {0xFEA7, 0x00, 0xFD}}};
constexpr std::array<PinWrite, 4> kAssertPin{
    {{0xFEA0, 0x00, 0xDF}, {0xFEA6, 0x01, 0xFF}, {0xFEA1, 0x00, 0xFD}, {0xFEA7, 0x01, 0xFF}}};

int SetPin(CDevFlow& flow, const std::array<PinWrite, 4>& writes) {
  if (FlowCancelled()) return 0;
  std::array<std::uint8_t, 4> values{};
  for (std::size_t i = 0; i < kPinRegisters.size(); ++i) {
    std::array<std::uint8_t, 1> one{};
    if (!ReadRegister(flow.chip.device.handle, kPinRegisters[i], one, flow.chip.device.transportFlags)) return 0;
    values[i] = one[0];
  }
  for (const PinWrite& write : writes) {
    const auto at = static_cast<std::size_t>(std::find(kPinRegisters.begin(), kPinRegisters.end(), write.address) -
                                             kPinRegisters.begin());
    const std::array<std::uint8_t, 1> one{static_cast<std::uint8_t>((values[at] | write.orMask) & write.andMask)};
    if (!WriteRegister(flow.chip.device.handle, write.address, one, flow.chip.device.transportFlags)) return 0;
  }
  return 1;
}

}  // namespace

int CEepromInfo::MP_DisableEepromWriteProtect() { return SetPin(*this, kReleasePin); }
int CEepromInfo::MP_EnableEepromWriteProtect() { return SetPin(*this, kAssertPin); }

const EepromWidth& EepromWidthOf(MemoryType memory) {
  // The 16-bit erase and tag are plain writes: blank bytes from address 0, the tag byte at 1.
  static constexpr EepromWidth kWide{
      [](DeviceHandle h, std::uint32_t address, Bytes buffer, std::uint32_t flags) {
        return VxCam_I2C_EEP16_Read(h, address, buffer, flags);
      },
      [](DeviceHandle h, std::uint32_t address, ConstBytes buffer, std::uint32_t flags) {
        return VxCam_I2C_EEP16_Write(h, address, buffer, flags);
      },
      [](DeviceHandle h, std::uint32_t length, std::uint32_t flags) {
        const std::vector<std::uint8_t> blank(length, 0xFF);
        return VxCam_I2C_EEP16_Write(h, 0, blank, flags);
      },
      {.eraseHead = false, .verifyOnChip = true, .traceSteps = true, .resetInCore = true},
  };
  static constexpr EepromWidth kNarrow{
      VxCam_I2C_EEP8_Read, VxCam_I2C_EEP8_Write, VxCam_I2C_EEP8_Erase,
      {.eraseHead = true, .verifyOnChip = false, .traceSteps = false, .resetInCore = false}};
  return memory == MemoryType::Eeprom16 ? kWide : kNarrow;
}

int CEepromInfo::EepromCommand(const StepRow& row, std::uint32_t address, std::span<const std::uint8_t> piece) {
  switch (row.command) {
    case StepCommand::kEepromWrite:
    case StepCommand::kEepromWriteTag:
      return width_.write(chip.device.handle, address, piece, chip.device.transportFlags);
    case StepCommand::kEepromErase:
      return width_.erase(chip.device.handle, static_cast<std::uint32_t>(piece.size()), chip.device.transportFlags);
    default:
      return 0;
  }
}

int CEepromInfo::EepromCommand(const StepRow& row, std::uint32_t address, std::span<std::uint8_t> piece) {
  return row.command == StepCommand::kEepromRead
             ? width_.read(chip.device.handle, address, piece, chip.device.transportFlags)
             : 0;
}

template <class Buffer>
int CEepromInfo::RunEepromData(Step step, Buffer buffer) {
  const StepRow& row = StepOf(step);
  return RunChunked(row, buffer,
                    [&](std::uint32_t address, Buffer piece) { return EepromCommand(row, address, piece); });
}

int CEepromInfo::MP_EraseEeprom(std::uint32_t length) {
  const StepRow& row = StepOf(Step::kEraseEeprom);
  // The erase command takes the length only; the bytes stand for it.
  const std::vector<std::uint8_t> blank(length, 0xFF);
  const bool erased = Retried(row.attempts, [&] { return EepromCommand(row, 0, std::span<const std::uint8_t>(blank)); });
  PostFlowMessage(WM_FLOW_PROGRESS, row.base);
  return erased ? 1 : 0;
}

int CEepromInfo::MP_WriteEeprom(std::span<const std::uint8_t> image) {
  if (image.empty()) return 0;
  return RunEepromData(Step::kWriteEeprom, image);
}

int CEepromInfo::MP_VerifyEeprom(std::span<std::uint8_t> buffer) { return RunEepromData(Step::kVerifyEeprom, buffer); }

int CEepromInfo::MP_ReadEeprom(std::span<std::uint8_t> buffer) { return RunEepromData(Step::kReadEeprom, buffer); }

int CEepromInfo::MP_CheckEepromEmpty(std::span<std::uint8_t> buffer) {
  // The check always covers the 64 erased bytes; a shorter caller's buffer only
  // receives what fits.
  std::array<std::uint8_t, kEmptyCheckLength> head{};
  const int read = RunEepromData(Step::kCheckEepromEmpty, std::span<std::uint8_t>(head));
  std::copy_n(head.begin(), std::min<std::size_t>(head.size(), buffer.size()), buffer.begin());
  if (read == 0) return 0;
  return std::all_of(head.begin(), head.end(), [](std::uint8_t b) { return b == 0xFF; }) ? 1 : 0;
}

int CEepromInfo::MP_WriteEepromTag() {
  const StepRow& row = StepOf(Step::kWriteEepromTag);
  PostStepId(row);
  const std::array<std::uint8_t, 1> tag{kTagValue};
  return Retried(row.attempts, [&] { return EepromCommand(row, kTagAddress, std::span<const std::uint8_t>(tag)); })
             ? 1
             : 0;
}

}  // namespace quillon
