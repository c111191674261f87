// The extension-unit transport: every command is an 8-byte command block on
// control 10 of the chip's extension unit, followed by a data phase on control
// 11 in pieces of the current data-control size. A command sequence runs under
// the command lock that all running instances of the tool share.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "device/vendor_cmd_common.h"
#include "device/xu_commands.h"
#include "platform/process_lock.h"
#include "proxy/usb_backend.h"

namespace quillon {

inline constexpr std::size_t kScratchSize = 1024;
inline constexpr std::uint32_t kDefaultDataControlSize = 8;
// One command moves at most this much; longer requests go in pieces of kSplitPiece.
inline constexpr std::uint32_t kMaxCommandLength = 0xFFFF;
inline constexpr std::uint32_t kSplitPiece = 0x8000;
inline constexpr std::uint32_t kI2CLongPiece = 64;
inline constexpr std::size_t kStatusReadLength = 104;
inline constexpr std::uint8_t kNoStatus = 0xFF;

class CExtUnitBase : public CVendorCmdCommon {
 public:
  // `lockWaitMs`: how long a command waits for the shared command lock.
  CExtUnitBase(std::uint8_t unitId, CrossProcessLock& lock, std::uint32_t lockWaitMs);
  ~CExtUnitBase() override = default;
  CExtUnitBase(const CExtUnitBase&) = delete;
  CExtUnitBase& operator=(const CExtUnitBase&) = delete;

  // The interface's operations carried by the extension unit.
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
  std::uint32_t I2CRead(std::uint16_t slave, Bytes buffer) override;
  std::uint32_t I2CRead(std::uint8_t width, std::uint32_t address, std::uint16_t& out) override;
  std::uint32_t I2CWrite(std::uint16_t slave, ConstBytes buffer) override;
  std::uint32_t I2CWrite(std::uint8_t width, std::uint32_t address, std::uint16_t value) override;
  std::uint32_t I2CGenRead(std::uint16_t slave, Bytes buffer) override;
  std::uint32_t I2CGenWrite(std::uint16_t slave, ConstBytes buffer) override;
  std::uint32_t I2CRandomRead(std::uint16_t slave, Bytes buffer) override;
  std::uint32_t I2CRandomWrite(std::uint16_t slave, ConstBytes buffer) override;
  std::uint32_t I2CSuperRead(std::uint16_t slave, Bytes buffer) override;
  std::uint32_t I2CSuperWrite(std::uint16_t slave, ConstBytes buffer) override;
  std::uint32_t I2CLongRead(std::uint16_t slave, std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                            void* user = nullptr) override;
  std::uint32_t I2CLongWrite(std::uint16_t slave, std::uint32_t address, std::uint32_t reserved, ConstBytes buffer,
                             ProgressFn progress = nullptr, void* user = nullptr) override;
  std::uint32_t OTP_Write(std::uint32_t address, ConstBytes buffer, std::uint16_t mode, ProgressFn progress = nullptr,
                          void* user = nullptr) override;
  std::uint32_t OTP_Read(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr, void* user = nullptr) override;
  std::uint32_t OTP_BlankCheck(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr, void* user = nullptr) override;
  std::uint32_t OTP_AllBlankCheck(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr, void* user = nullptr) override;
  std::uint32_t OTP_ReadProgramFailAdr(Bytes buffer) override;
  using CVendorCmdCommon::I2C_EEP16_WriteTag;
  using CVendorCmdCommon::I2C_EEP8_WriteTag;

  // Logs a failed command with the chip's status for it, and aborts the
  // command on the chip when its status could be read.
  virtual void ReportCmdError(std::string_view prefix, std::uint32_t result);
  // The same for a failure of `op` at `at`, kept as the pending link failure when a transfer failed.
  void ReportFailure(VendorOp op, std::uint32_t at, std::string_view prefix, std::uint32_t result);
  // The extension unit answers the chip's signature.
  virtual bool DevQualify();
  // Asks for another data-control size; true when the chip took it. On false
  // `size` holds the size in force.
  virtual bool ChangeDataControlSize(std::uint32_t& size) = 0;
  virtual std::uint32_t OTPTestDec(std::uint32_t address, Bytes buffer);
  virtual std::uint32_t OTPWriteTest(std::uint32_t address, std::uint16_t testValue, ConstBytes buffer);

  // The transport primitives. SetCmd writes the given parameters into the block
  // and sends it.
  virtual std::uint32_t SetCmd(const CommandBlock& block, std::optional<std::uint16_t> p1,
                               std::optional<std::uint16_t> p2, std::optional<std::uint16_t> p3) = 0;
  std::uint32_t SetCmd(const CommandBlock& block) { return SetCmd(block, {}, {}, {}); }
  std::uint32_t SetCmd(const CommandBlock& block, std::uint16_t p1) { return SetCmd(block, p1, {}, {}); }
  std::uint32_t SetCmd(const CommandBlock& block, std::uint16_t p1, std::uint16_t p2) {
    return SetCmd(block, p1, p2, {});
  }
  virtual std::uint32_t GetCmdStatus(std::span<std::uint8_t, 8> out) = 0;
  // The whole buffer in data-control pieces; `done` counts the bytes of the
  // pieces that arrived. At most kMaxCommandLength bytes.
  virtual std::uint32_t GetData(Bytes buffer, std::uint32_t& done, ProgressFn progress, void* user) = 0;
  std::uint32_t GetData(Bytes buffer, std::uint32_t& done) { return GetData(buffer, done, nullptr, nullptr); }
  // One data-control transfer; the buffer holds at least dataControlSize() bytes.
  virtual std::uint32_t GetData(Bytes piece) = 0;
  virtual std::uint32_t SetData(ConstBytes buffer, std::uint32_t& done, ProgressFn progress, void* user) = 0;
  std::uint32_t SetData(ConstBytes buffer, std::uint32_t& done) { return SetData(buffer, done, nullptr, nullptr); }
  virtual std::uint32_t SetData(ConstBytes piece) = 0;

  std::uint32_t dataControlSize() const { return dataControlSize_; }
  std::uint8_t lastStatus() const { return lastStatus_; }
  std::uint8_t unitId() const { return unitId_; }

 protected:
  // Runs `body` under the command lock named for `op`; 1 when the lock was not taken.
  template <class Body>
  std::uint32_t Locked(VendorOp op, Body&& body);

  // One whole locked operation of the table: a command without data, a command
  // with one data-control transfer (read into or written from `bytes`), or a
  // command with a block of data (at most one command's length; `at` must fit
  // the command unless the row carries its high half).
  std::uint32_t Command(VendorOp op, std::uint32_t at = 0);
  template <class Span>
  std::uint32_t One(VendorOp op, Span bytes, std::uint32_t at = 0);
  template <class Span>
  std::uint32_t Block(VendorOp op, std::uint32_t at, Span buffer, std::uint16_t extra = 0);

  // The split operations' pieces: at most one command's length each, in kSplitPiece pieces when longer.
  std::size_t SplitLimit(VendorOp op) const override;
  std::size_t SplitPieceSize() const override;
  std::uint32_t MoveOne(VendorOp op, std::uint32_t at, Bytes rest, std::uint8_t select, ProgressFn progress,
                        void* user) override;
  std::uint32_t MoveOne(VendorOp op, std::uint32_t at, ConstBytes rest, std::uint8_t select, ProgressFn progress,
                        void* user) override;
  std::uint32_t Guarded(VendorOp op, const std::function<std::uint32_t()>& body) override;
  template <class Span>
  std::uint32_t MoveData(VendorOp op, std::uint32_t at, Span rest, ProgressFn progress, void* user);

  // The steps of the command sequence, inside the lock; each failure is
  // reported with the row's texts (`textBase`: the value the data text
  // carries). A read span receives data, a const span sends it.
  std::uint32_t RunNoData(VendorOp op, const CommandBlock& block);
  template <class Span>
  std::uint32_t RunData(VendorOp op, const CommandBlock& block, Span buffer, ProgressFn progress, void* user,
                        std::uint32_t textBase);
  template <class Span>
  std::uint32_t RunOne(VendorOp op, const CommandBlock& block, Span bytes, std::uint32_t textBase);
  std::uint32_t EepromErase(VendorOp op, std::uint32_t size);

  std::array<std::uint8_t, kScratchSize> scratch_{};
  std::uint32_t dataControlSize_ = kDefaultDataControlSize;
  std::uint8_t lastStatus_ = kNoStatus;
  CrossProcessLock& lock_;
  std::uint32_t lockWaitMs_;

 private:
  std::uint8_t unitId_;
};

// The concrete extension-unit transport on one open device.
class CExtUnit final : public CExtUnitBase {
 public:
  CExtUnit(UsbHandle device, std::uint8_t interfaceNumber, std::uint8_t unitId, CrossProcessLock& lock = CommandLock(),
           std::uint32_t lockWaitMs = kCommandLockWaitMs);

  bool ChangeDataControlSize(std::uint32_t& size) override;
  using CExtUnitBase::GetData;
  using CExtUnitBase::SetCmd;
  using CExtUnitBase::SetData;
  std::uint32_t SetCmd(const CommandBlock& block, std::optional<std::uint16_t> p1, std::optional<std::uint16_t> p2,
                       std::optional<std::uint16_t> p3) override;
  std::uint32_t GetCmdStatus(std::span<std::uint8_t, 8> out) override;
  std::uint32_t GetData(Bytes buffer, std::uint32_t& done, ProgressFn progress, void* user) override;
  std::uint32_t GetData(Bytes piece) override;
  std::uint32_t SetData(ConstBytes buffer, std::uint32_t& done, ProgressFn progress, void* user) override;
  std::uint32_t SetData(ConstBytes piece) override;

 private:
  UsbHandle device_;
  std::uint8_t interfaceNumber_;
};

}  // namespace quillon
