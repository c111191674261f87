// The vendor-request encodings: for each operation the transport carries, its
// request type, request code, how its arguments are packed into wValue, wIndex
// and wLength, and whether long requests go in pieces. The general packing of
// an (address, length, selector) request reaches 20 bits.
#pragma once

#include <array>
#include <cstdint>

#include "device/vendor_ops.h"
#include "proxy/vendor_wire.h"

namespace quillon {

inline constexpr std::uint32_t kVendorPiece = 4096;
// Addresses and lengths of the packed form.
inline constexpr std::uint32_t kVendorAddressLimit = 0x100000;

// How a request's fields are filled.
enum class VrForm : std::uint8_t {
  kNone,           // all zero, no data
  kValue,          // wValue = the value's low byte, no data
  kPiece,          // wValue = the status piece index's low byte, 8 bytes
  kFixed,          // no address; the operation's fixed number of bytes
  kGeneral,        // the packed address and length, no selector
  kGeneralSelect,  // the packed address and length, with the caller's selector
};

struct VendorRequestRow {
  VendorOp op;
  std::uint8_t requestType;  // kVendorOut host to device, kVendorIn device to host
  std::uint8_t request;
  VrForm form;
  bool pieces;  // moved in kVendorPiece pieces, else one request
};

// clang-format off
inline constexpr std::array<VendorRequestRow, 36> kVendorRequests = {{
  {VendorOp::kGetDevStatus, kVendorIn, kRequestDevStatus, VrForm::kPiece, false},
  {VendorOp::kResetToUpdateFW, kVendorOut, 0x20, VrForm::kValue, false},
  {VendorOp::kResetToNewCode, kVendorOut, 0x21, VrForm::kValue, false},
  {VendorOp::kResetToRom, kVendorOut, 0x22, VrForm::kNone, false},
  {VendorOp::kReadIMem, kVendorIn, 0x23, VrForm::kGeneral, true},
  {VendorOp::kReadMem, kVendorIn, 0x25, VrForm::kGeneral, true},
  {VendorOp::kWriteMem, kVendorOut, 0x24, VrForm::kGeneral, true},
  {VendorOp::kReadCode, kVendorIn, 0x26, VrForm::kGeneral, true},
  {VendorOp::kReadPhy, kVendorIn, 0x27, VrForm::kGeneral, false},
  {VendorOp::kWritePhy, kVendorOut, 0x28, VrForm::kGeneral, false},
  {VendorOp::kNorFlashErase, kVendorOut, 0x29, VrForm::kNone, false},
  {VendorOp::kNorFlashRead, kVendorIn, 0x2B, VrForm::kGeneral, true},
  {VendorOp::kNorFlashWrite, kVendorOut, 0x2A, VrForm::kGeneral, true},
  {VendorOp::kNorFlashWriteTag, kVendorOut, 0x2C, VrForm::kNone, false},
  {VendorOp::kSpiReadId, kVendorIn, 0x2D, VrForm::kFixed, false},
  {VendorOp::kSpiRead, kVendorIn, 0x2E, VrForm::kGeneralSelect, true},
  {VendorOp::kSpiWrite, kVendorOut, 0x2F, VrForm::kGeneral, true},
  {VendorOp::kSpiReadSr, kVendorIn, 0x30, VrForm::kFixed, false},
  {VendorOp::kSpiWriteSr, kVendorOut, 0x31, VrForm::kFixed, false},
  {VendorOp::kSpiEraseChip, kVendorOut, 0x32, VrForm::kNone, false},
  {VendorOp::kSpiEraseSector, kVendorOut, 0x33, VrForm::kGeneral, false},
  {VendorOp::kSpiWriteTag, kVendorOut, 0x34, VrForm::kNone, false},
  {VendorOp::kEep8Read, kVendorIn, 0x35, VrForm::kGeneral, true},
  {VendorOp::kEep8Write, kVendorOut, 0x36, VrForm::kGeneral, true},
  {VendorOp::kEep16Read, kVendorIn, 0x37, VrForm::kGeneral, true},
  {VendorOp::kEep16Write, kVendorOut, 0x38, VrForm::kGeneral, true},
  {VendorOp::kExtMemRead, kVendorIn, 0x39, VrForm::kGeneral, true},
  {VendorOp::kExtMemWrite, kVendorOut, 0x3A, VrForm::kGeneralSelect, true},
  {VendorOp::kI2CReadRegister, kVendorIn, 0x50, VrForm::kGeneral, false},
  {VendorOp::kI2CWriteRegister, kVendorOut, 0x51, VrForm::kGeneral, false},
  {VendorOp::kI2CGenRead, kVendorIn, 0x3D, VrForm::kGeneral, false},
  {VendorOp::kI2CGenWrite, kVendorOut, 0x3E, VrForm::kGeneral, false},
  {VendorOp::kI2CRandomRead, kVendorIn, 0x59, VrForm::kGeneral, false},
  {VendorOp::kI2CRandomWrite, kVendorOut, 0x58, VrForm::kGeneral, false},
  {VendorOp::kReadRequest6Byte, kVendorIn, kRequestAlive, VrForm::kFixed, false},
  {VendorOp::kSendRequest10, kVendorOut, 0x10, VrForm::kValue, false},
}};
// clang-format on

static_assert(OneRowPerOperation(kVendorRequests));
inline constexpr auto kVendorRowIndex = RowIndex(kVendorRequests);

constexpr bool VendorCarries(VendorOp op) { return kVendorRowIndex[static_cast<std::size_t>(op)] != kNoRow; }
// The row of an operation the vendor requests carry.
constexpr const VendorRequestRow& VendorRequest(VendorOp op) {
  return kVendorRequests[kVendorRowIndex[static_cast<std::size_t>(op)]];
}

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
