// The vendor-command interface: every operation the tool performs on a chip.
// Two transports implement it, the extension unit (ext_unit.h) and the vendor
// requests (vendor_request_v2.h); an operation a transport does not carry
// answers kResultNotImplemented. Every operation returns a device result code
// (result.h).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "device/result.h"
#include "device/vendor_ops.h"

namespace quillon {

// Called after each piece that moved: (user value, bytes of that piece).
using ProgressFn = void (*)(void* user, std::uint32_t bytes);

using Bytes = std::span<std::uint8_t>;
using ConstBytes = std::span<const std::uint8_t>;

class CVendorCmdCommon {
 public:
  virtual ~CVendorCmdCommon() = default;

  // The buffer's size is the operation's length throughout.
  virtual std::uint32_t GetDevStatus(std::uint16_t first, Bytes buffer);
  virtual std::uint32_t ResetToUpdateFW(std::uint16_t value);
  virtual std::uint32_t ResetToNewCode(std::uint16_t value);
  virtual std::uint32_t ResetToRom();
  virtual std::uint32_t ReadIMem(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                                 void* user = nullptr);
  virtual std::uint32_t ReadMem(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                                void* user = nullptr);
  virtual std::uint32_t WriteMem(std::uint32_t address, ConstBytes buffer, ProgressFn progress = nullptr,
                                 void* user = nullptr);
  virtual std::uint32_t ReadCode(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                                 void* user = nullptr);
  virtual std::uint32_t ReadPhy(std::uint32_t address, Bytes buffer);
  virtual std::uint32_t WritePhy(std::uint32_t address, ConstBytes buffer);
  virtual std::uint32_t NorFlash_Erase();
  virtual std::uint32_t NorFlash_Read(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                                      void* user = nullptr);
  virtual std::uint32_t NorFlash_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress = nullptr,
                                       void* user = nullptr);
  virtual std::uint32_t NorFlash_WriteTag();
  virtual std::uint32_t SPI_SF_ReadID(std::span<std::uint8_t, 8> out);
  virtual std::uint32_t SPI_SF_Read(std::uint32_t address, Bytes buffer, std::uint8_t select,
                                    ProgressFn progress = nullptr, void* user = nullptr);
  virtual std::uint32_t SPI_SF_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress = nullptr,
                                     void* user = nullptr);
  virtual std::uint32_t SPI_SF_ReadSr(std::uint8_t& out);
  virtual std::uint32_t SPI_SF_WriteSr(std::uint8_t value);
  virtual std::uint32_t SPI_SF_EraseChip(std::uint32_t timeoutMs);
  virtual std::uint32_t SPI_SF_EraseSector(std::uint32_t address, std::uint32_t sectorSize);
  virtual std::uint32_t SPI_SF_WriteTag();
  virtual std::uint32_t I2C_EEP8_Erase(std::uint32_t size);
  virtual std::uint32_t I2C_EEP8_Read(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                                      void* user = nullptr);
  virtual std::uint32_t I2C_EEP8_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress = nullptr,
                                       void* user = nullptr);
  // Both transports: the tag is one byte 0xA5 at address 1, through their own write.
  virtual std::uint32_t I2C_EEP8_WriteTag();
  virtual std::uint32_t I2C_EEP16_Erase(std::uint32_t size);
  virtual std::uint32_t I2C_EEP16_Read(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                                       void* user = nullptr);
  virtual std::uint32_t I2C_EEP16_Write(std::uint32_t address, ConstBytes buffer, ProgressFn progress = nullptr,
                                        void* user = nullptr);
  virtual std::uint32_t I2C_EEP16_WriteTag();
  virtual std::uint32_t ExtMem_Erase(std::uint32_t size);
  virtual std::uint32_t ExtMem_Read(std::uint32_t address, Bytes buffer, std::uint8_t select,
                                    ProgressFn progress = nullptr, void* user = nullptr);
  virtual std::uint32_t ExtMem_Write(std::uint32_t address, ConstBytes buffer, std::uint8_t select,
                                     ProgressFn progress = nullptr, void* user = nullptr);
  virtual std::uint32_t ExtMem_WriteTag();
  // A short block from or to the I2C device at a 7-bit slave address.
  virtual std::uint32_t I2CRead(std::uint16_t slave, Bytes buffer);
  // One 8-bit (width 1) or 16-bit register.
  virtual std::uint32_t I2CRead(std::uint8_t width, std::uint32_t address, std::uint16_t& out);
  virtual std::uint32_t I2CWrite(std::uint16_t slave, ConstBytes buffer);
  virtual std::uint32_t I2CWrite(std::uint8_t width, std::uint32_t address, std::uint16_t value);
  virtual std::uint32_t I2CGenRead(std::uint16_t slave, Bytes buffer);
  virtual std::uint32_t I2CGenWrite(std::uint16_t slave, ConstBytes buffer);
  virtual std::uint32_t I2CRandomRead(std::uint16_t slave, Bytes buffer);
  virtual std::uint32_t I2CRandomWrite(std::uint16_t slave, ConstBytes buffer);
  virtual std::uint32_t I2CSuperRead(std::uint16_t slave, Bytes buffer);
  virtual std::uint32_t I2CSuperWrite(std::uint16_t slave, ConstBytes buffer);
  virtual std::uint32_t I2CLongRead(std::uint16_t slave, std::uint32_t address, Bytes buffer,
                                    ProgressFn progress = nullptr, void* user = nullptr);
  virtual std::uint32_t I2CLongWrite(std::uint16_t slave, std::uint32_t address, std::uint32_t reserved,
                                     ConstBytes buffer, ProgressFn progress = nullptr, void* user = nullptr);
  virtual std::uint32_t OTP_Write(std::uint32_t address, ConstBytes buffer, std::uint16_t mode,
                                  ProgressFn progress = nullptr, void* user = nullptr);
  virtual std::uint32_t OTP_Read(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                                 void* user = nullptr);
  virtual std::uint32_t OTP_BlankCheck(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                                       void* user = nullptr);
  virtual std::uint32_t OTP_AllBlankCheck(std::uint32_t address, Bytes buffer, ProgressFn progress = nullptr,
                                          void* user = nullptr);
  virtual std::uint32_t OTP_ReadProgramFailAdr(Bytes buffer);

 protected:
  // A transport's side of the operations that move a buffer of any length
  // (the memory reads and writes above, implemented here once): the longest
  // buffer it moves for `op` in one go, the size of the pieces a longer one
  // goes in, and the move of one such buffer, a read into a writable span or a
  // write from a const one (`select` picks a flash where the transport can).
  virtual std::size_t SplitLimit(VendorOp op) const;
  virtual std::size_t SplitPieceSize() const;
  virtual std::uint32_t MoveOne(VendorOp op, std::uint32_t at, Bytes buffer, std::uint8_t select, ProgressFn progress,
                                void* user);
  virtual std::uint32_t MoveOne(VendorOp op, std::uint32_t at, ConstBytes buffer, std::uint8_t select,
                                ProgressFn progress, void* user);
  // Runs one whole operation; the extension unit holds its command lock for it.
  virtual std::uint32_t Guarded(VendorOp op, const std::function<std::uint32_t()>& body);

  // A read or write of any length: longer than the transport moves at once,
  // it goes in pieces through `slot` (the operation's own, so each piece is a
  // whole operation of its own); the rest in one move.
  template <class Span, class Slot, class... Extra>
  std::uint32_t Split(VendorOp op, Slot slot, std::uint32_t address, Span buffer, ProgressFn progress = nullptr,
                      void* user = nullptr, Extra... extra) {
    return Guarded(op, [&]() -> std::uint32_t {
      return SplitRequest(address, buffer, SplitLimit(op), SplitPieceSize(),
                          Reentry(this, slot, progress, user, extra...), [&](std::uint32_t at, Span rest) {
                            return MoveOne(op, at, rest, static_cast<std::uint8_t>((0 + ... + extra)), progress, user);
                          });
    });
  }
};

inline constexpr std::uint8_t kEepromTagValue = 0xA5;
inline constexpr std::uint32_t kEepromTagAddress = 1;

}  // namespace quillon
