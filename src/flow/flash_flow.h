// The flash memory types: SPI flash with the full download, programming
// cores, read, erase, verify and dumps; and NOR flash with its download.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "flow/dev_flow.h"
#include "flow/flash_image_parts.h"
#include "flow/preserved_record.h"

namespace quillon {

class CSPIFlashInfo_USB : public CDevFlow {
 public:
  explicit CSPIFlashInfo_USB(ChipSession& session) : CDevFlow(MemoryType::SpiFlash, session) {}

  int DEV_Read() override;
  int DEV_Erase() override;
  int DEV_Update() override;
  int DEV_Download() override { return FFU_Download(); }
  int DEV_EraseEx(int resetAfter) override;

  int FFU_Download();
  int FF_UpdateEx(std::span<std::uint8_t> image);
  // The programming cores: 0 and the failing step's id, which the caller posts.
  int FF_UpdateEx_Standard(std::span<std::uint8_t> image, std::uint32_t& failure);
  int FF_UpdateEx_ForSimulateOTP(std::span<std::uint8_t> image, std::uint32_t& failure);

 private:
  // 0 (failure posted) when the chip's record cannot be read, kept or placed,
  // or a pending copy waits for the operator's word.
  int CarryPreservedRecord();
  int PreservedRecordFail(const char* line, std::uint32_t status);
  UnitIdentity ThisUnit() const;
  // 0 (posted) when the chip answers no SPI flash status: another memory kind.
  int HasSpiFlash();
  // Writes 0x00 over the type byte of the area at `address`, so the loader
  // does not start an image that failed its read-back.
  int SpoilArea(std::uint32_t address);
  int CheckEmptyInBulk();
  // Logs the first bytes a failed empty check saw; false.
  bool LogNotEmpty();
  // Writes the area signature that was held back, if one was.
  bool WriteHeldSignature(const HeldAreaSignature& signature);
  int WriteInBulk(std::span<const std::uint8_t> code);
  int VerifyInBulk();
  // Where the configuration area of the image being written starts in flash.
  std::uint32_t AreaAddress() const;

  PreservedRecordRun preservedRecord_;
};

class CNORFlashInfo_USB : public CDevFlow {
 public:
  explicit CNORFlashInfo_USB(ChipSession& session) : CDevFlow(MemoryType::NorFlash, session) {}

  // This flow has no read, erase or update of its own: answering success
  // without touching the chip would tell the caller a job was done.
  int DEV_Read() override { return NotSupported(); }
  int DEV_Erase() override { return NotSupported(); }
  int DEV_Update() override { return NotSupported(); }
  int DEV_Download() override;
  int DEV_Silence_WriteSNBin(const std::string&, const std::string&) override { return NotSupported(); }
  int DEV_Silence_VerifyBin(const std::string&) override { return NotSupported(); }
  int DEV_DumpBin(const std::string&) override { return NotSupported(); }
  int DEV_DumpText(const std::string&) override { return NotSupported(); }
  int DEV_Slot11() override { return 1; }

  // The programming steps after the ROM entry: 0 and the failing step's id.
  int NOR_UpdateSteps(std::span<std::uint8_t> code, std::uint32_t& failure);

 private:
  // 0 (posted) when the chip answers no NOR flash read: another memory kind.
  int HasNorFlash();
};

}  // namespace quillon
