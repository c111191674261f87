// The vendor-request transport: every operation is one or more USB vendor
// requests whose request code names the operation. No lock and no state
// between calls; the chip reports failure only by refusing the transfer.
#pragma once

#include <cstdint>

#include "device/vendor_cmd_common.h"
#include "device/vendor_requests.h"
#include "proxy/transfers.h"
#include "proxy/usb_backend.h"

namespace quillon {

class CVendorRequestV2 final : public CVendorCmdCommon {
 public:
  explicit CVendorRequestV2(UsbHandle device) : device_(device) {}

  std::uint32_t GetDevStatus(std::uint16_t first, Bytes buffer) override;
  std::uint32_t ResetToUpdateFW(std::uint16_t value) override;
  std::uint32_t ResetToNewCode(std::uint16_t value) override;
  std::uint32_t ResetToRom() override;
  std::uint32_t NorFlash_Erase() override;
  std::uint32_t NorFlash_WriteTag() override;
  std::uint32_t SPI_SF_ReadID(std::span<std::uint8_t, 8> out) override;
  std::uint32_t SPI_SF_ReadSr(std::uint8_t& out) override;
  std::uint32_t SPI_SF_WriteSr(std::uint8_t value) override;
  std::uint32_t SPI_SF_EraseChip(std::uint32_t timeoutMs) override;
  std::uint32_t SPI_SF_EraseSector(std::uint32_t address, std::uint32_t sectorSize) override;
  std::uint32_t SPI_SF_WriteTag() override;
  std::uint32_t I2C_EEP8_Erase(std::uint32_t size) override;
  std::uint32_t I2C_EEP16_Erase(std::uint32_t size) override;
  std::uint32_t ExtMem_Erase(std::uint32_t size) override;
  std::uint32_t ExtMem_Read(std::uint32_t address, Bytes buffer, std::uint8_t select, ProgressFn progress = nullptr,
                            void* user = nullptr) override;
  std::uint32_t ExtMem_Write(std::uint32_t address, ConstBytes buffer, std::uint8_t select,
                             ProgressFn progress = nullptr, void* user = nullptr) override;
  std::uint32_t ExtMem_WriteTag() override;
  using CVendorCmdCommon::I2CRead;
  using CVendorCmdCommon::I2CWrite;
  std::uint32_t I2CRead(std::uint8_t width, std::uint32_t address, std::uint16_t& out) override;
  std::uint32_t I2CWrite(std::uint8_t width, std::uint32_t address, std::uint16_t value) override;
  std::uint32_t I2CGenRead(std::uint16_t slave, Bytes buffer) override;
  std::uint32_t I2CGenWrite(std::uint16_t slave, ConstBytes buffer) override;
  std::uint32_t I2CRandomRead(std::uint16_t slave, Bytes buffer) override;
  std::uint32_t I2CRandomWrite(std::uint16_t slave, ConstBytes buffer) override;

  // Requests of this transport alone, which the flows do not use.
  virtual std::uint32_t ReadRequest6Byte(std::uint8_t& out);
  virtual std::uint32_t SendRequest10(std::uint16_t value);

 private:
  // One request of the row with these fields: a writable span receives the
  // answer (which must come back whole), a const one is sent.
  template <class Span>
  std::uint32_t Send(VendorOp op, VendorFields fields, Span data, std::uint32_t timeoutMs = kControlTimeoutMs);
  // The row's request without data; wValue carries the value where the row takes one.
  std::uint32_t Request(VendorOp op, std::uint16_t value = 0, std::uint32_t timeoutMs = kControlTimeoutMs);
  // The row's request with a fixed number of bytes and no address.
  template <class Span>
  std::uint32_t Fixed(VendorOp op, Span bytes);
  std::uint32_t ReadByte(VendorOp op, std::uint8_t& out);
  // One request in the packed form; the selector goes only where the row takes one.
  template <class Span>
  std::uint32_t At(VendorOp op, std::uint32_t address, Span buffer, std::uint8_t selector = 0);
  // The split operations' pieces: one request each, in kVendorPiece pieces where the row moves pieces.
  std::size_t SplitLimit(VendorOp op) const override;
  std::size_t SplitPieceSize() const override;
  std::uint32_t MoveOne(VendorOp op, std::uint32_t at, Bytes rest, std::uint8_t select, ProgressFn progress,
                        void* user) override;
  std::uint32_t MoveOne(VendorOp op, std::uint32_t at, ConstBytes rest, std::uint8_t select, ProgressFn progress,
                        void* user) override;

  UsbHandle device_;
};

}  // namespace quillon
