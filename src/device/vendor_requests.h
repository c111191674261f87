// The vendor-request encodings: for each operation its request type, request
// code and how its data moves; and the packing of an (address, length,
// selector) request into wValue, wIndex and wLength, which reaches 20 bits.
#pragma once

#include <array>
#include <cstdint>

namespace quillon {

enum class VrOp : std::uint8_t {
  kGetDevStatus,
  kResetToUpdateFW,
  kResetToNewCode,
  kResetToRom,
  kReadIMem,
  kReadMem,
  kWriteMem,
  kReadCode,
  kReadPhy,
  kWritePhy,
  kNorFlashErase,
  kNorFlashRead,
  kNorFlashWrite,
  kNorFlashWriteTag,
  kSpiReadId,
  kSpiRead,
  kSpiWrite,
  kSpiReadSr,
  kSpiWriteSr,
  kSpiEraseChip,
  kSpiEraseSector,
  kSpiWriteTag,
  kEep8Read,
  kEep8Write,
  kEep16Read,
  kEep16Write,
  kExtMemRead,
  kExtMemWrite,
  kI2CRead,
  kI2CWrite,
  kI2CGenRead,
  kI2CGenWrite,
  kI2CRandomRead,
  kI2CRandomWrite,
  kReadRequest6Byte,
  kSendRequest10,
  kCount,
};

inline constexpr std::uint8_t kVendorOut = 0x40;
inline constexpr std::uint8_t kVendorIn = 0xC0;
inline constexpr std::uint32_t kVendorPiece = 4096;
// Addresses and lengths of the packed form.
inline constexpr std::uint32_t kVendorAddressLimit = 0x100000;

struct VendorRequestRow {
  VrOp op;
  std::uint8_t requestType;  // 0x40 host to device, 0xC0 device to host
  std::uint8_t request;
  bool pieces;  // moved in kVendorPiece pieces, else one request
};

// clang-format off
inline constexpr std::array<VendorRequestRow, static_cast<std::size_t>(VrOp::kCount)> kVendorRequests = {{
  {VrOp::kGetDevStatus, kVendorIn, 0x07, false},
  {VrOp::kResetToUpdateFW, kVendorOut, 0x20, false},
  {VrOp::kResetToNewCode, kVendorOut, 0x21, false},
  {VrOp::kResetToRom, kVendorOut, 0x22, false},
  {VrOp::kReadIMem, kVendorIn, 0x23, true},
  {VrOp::kReadMem, kVendorIn, 0x25, true},
  {VrOp::kWriteMem, kVendorOut, 0x24, true},
  {VrOp::kReadCode, kVendorIn, 0x26, true},
  {VrOp::kReadPhy, kVendorIn, 0x27, false},
  {VrOp::kWritePhy, kVendorOut, 0x28, false},
  {VrOp::kNorFlashErase, kVendorOut, 0x29, false},
  {VrOp::kNorFlashRead, kVendorIn, 0x2B, true},
  {VrOp::kNorFlashWrite, kVendorOut, 0x2A, true},
  {VrOp::kNorFlashWriteTag, kVendorOut, 0x2C, false},
  {VrOp::kSpiReadId, kVendorIn, 0x2D, false},
  {VrOp::kSpiRead, kVendorIn, 0x2E, true},
  {VrOp::kSpiWrite, kVendorOut, 0x2F, true},
  {VrOp::kSpiReadSr, kVendorIn, 0x30, false},
  {VrOp::kSpiWriteSr, kVendorOut, 0x31, false},
  {VrOp::kSpiEraseChip, kVendorOut, 0x32, false},
  {VrOp::kSpiEraseSector, kVendorOut, 0x33, false},
  {VrOp::kSpiWriteTag, kVendorOut, 0x34, false},
  {VrOp::kEep8Read, kVendorIn, 0x35, true},
  {VrOp::kEep8Write, kVendorOut, 0x36, true},
  {VrOp::kEep16Read, kVendorIn, 0x37, true},
  {VrOp::kEep16Write, kVendorOut, 0x38, true},
  {VrOp::kExtMemRead, kVendorIn, 0x39, true},
  {VrOp::kExtMemWrite, kVendorOut, 0x3A, true},
  {VrOp::kI2CRead, kVendorIn, 0x50, false},
  {VrOp::kI2CWrite, kVendorOut, 0x51, false},
  {VrOp::kI2CGenRead, kVendorIn, 0x3D, false},
  {VrOp::kI2CGenWrite, kVendorOut, 0x3E, false},
  {VrOp::kI2CRandomRead, kVendorIn, 0x59, false},
  {VrOp::kI2CRandomWrite, kVendorOut, 0x58, false},
  {VrOp::kReadRequest6Byte, kVendorIn, 0x06, false},
  {VrOp::kSendRequest10, kVendorOut, 0x10, false},
}};
// clang-format on

constexpr const VendorRequestRow& VendorRequest(VrOp op) { return kVendorRequests[static_cast<std::size_t>(op)]; }

struct VendorFields {
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;
};

// wValue: length bits 19..16, address bits 19..16, selector; wIndex: address
// bits 15..0; wLength: length bits 15..0.
constexpr VendorFields PackGeneral(std::uint32_t address, std::uint32_t length, std::uint8_t selector) {
  return {static_cast<std::uint16_t>(((length >> 16) & 0xF) << 12 | ((address >> 16) & 0xF) << 8 | selector),
          static_cast<std::uint16_t>(address & 0xFFFF), static_cast<std::uint16_t>(length & 0xFFFF)};
}

// Whether a request at `address` moving `length` bytes in one transfer fits
// the packed form and one control transfer.
constexpr bool FitsOneRequest(std::uint32_t address, std::uint32_t length) {
  return address < kVendorAddressLimit && length <= 0xFFFF;
}

}  // namespace quillon
