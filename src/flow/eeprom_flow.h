// The I2C EEPROM memory types: 8-bit and 16-bit word addresses. Both hold the
// boot tag 0xA5 at EEPROM address 1 (the area's signature byte), which is
// written only after the rest of the image has been read back and compared.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "flow/dev_flow.h"
#include "flow/step_table.h"

namespace quillon {

// Where the programming of the two widths parts ways; the steps are otherwise one list.
struct EepromProgramming {
  bool eraseHead;     // erase the 64-byte head first (the tag goes with it), and check it empty when asked
  bool verifyOnChip;  // the chip compares the written data itself instead of sending it back
  bool traceSteps;    // a failing step writes its line to the trace
  bool resetInCore;   // the reset into new code is the last step, not the caller's
};

// The commands of one EEPROM address width.
struct EepromWidth {
  int (*read)(DeviceHandle h, std::uint32_t address, Bytes buffer, std::uint32_t flags);
  int (*write)(DeviceHandle h, std::uint32_t address, ConstBytes buffer, std::uint32_t flags);
  int (*erase)(DeviceHandle h, std::uint32_t length, std::uint32_t flags);
  EepromProgramming programming;
};
const EepromWidth& EepromWidthOf(MemoryType memory);

// What both widths share: the step primitives, read and erase.
class CEepromInfo : public CDevFlow {
 public:
  CEepromInfo(MemoryType memory, ChipSession& session) : CDevFlow(memory, session), width_(EepromWidthOf(memory)) {}

  int DEV_Read() override;
  int DEV_Erase() override;
  int DEV_EraseEx(int resetAfter) override;

  // Step primitives (eeprom_primitives.cpp): cancellable, retried, 8-byte
  // chunks, each sending its step row's command in this chip's width.
  int MP_DisableEepromWriteProtect();
  int MP_EnableEepromWriteProtect();
  int MP_EraseEeprom(std::uint32_t length);
  int MP_WriteEeprom(std::span<const std::uint8_t> image);
  int MP_VerifyEeprom(std::span<std::uint8_t> buffer);
  int MP_ReadEeprom(std::span<std::uint8_t> buffer);
  // Reads the first 64 EEPROM bytes (into `buffer` as far as it reaches); 1 when all are 0xFF.
  int MP_CheckEepromEmpty(std::span<std::uint8_t> buffer);
  int MP_WriteEepromTag();

 protected:
  // The end of every download: the device's code version and the version text.
  void TakeDeviceVersion();
  // Protection off, (head erase), write with byte 1 held back, read back or
  // verify, compare, tag, protection on, (reset): 0 or the failing step's id.
  std::uint32_t ProgramCore(std::span<std::uint8_t> image, bool checkEmpty);

 private:
  // The row's command in this chip's width on one chunk.
  int EepromCommand(const StepRow& row, std::uint32_t address, std::span<const std::uint8_t> piece);
  int EepromCommand(const StepRow& row, std::uint32_t address, std::span<std::uint8_t> piece);
  template <class Buffer>
  int RunEepromData(Step step, Buffer buffer);

  const EepromWidth& width_;
};

class CEepromInfo8_USB final : public CEepromInfo {
 public:
  explicit CEepromInfo8_USB(ChipSession& session) : CEepromInfo(MemoryType::Eeprom8, session) {}

  int DEV_Update() override;
  int DEV_Download() override { return EEU8_Download(); }
  int DEV_Slot11() override { return 1; }

  int EEU8_Download();
};

class CEepromInfo16_USB final : public CEepromInfo {
 public:
  explicit CEepromInfo16_USB(ChipSession& session) : CEepromInfo(MemoryType::Eeprom16, session) {}

  int DEV_Update() override;
  int DEV_Download() override { return EEU16_Download(); }

  int EEU16_Download();
  // The programming core: 0 and the failing step's id, which the wrapper posts.
  int EE16_UpdateEx_Cmd2(std::span<std::uint8_t> image, std::uint32_t& failure);
  // The wrapper: buffer, cancel check, core, and on failure protection back on and one FAIL.
  int EE16_UpdateEx(std::span<std::uint8_t> image);
};

}  // namespace quillon
