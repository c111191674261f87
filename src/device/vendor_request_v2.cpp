#include "device/vendor_request_v2.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <vector>

#include "device/link_failure.h"
#include "platform/debug_channel.h"

namespace quillon {
namespace {

constexpr std::uint8_t kExtMemSelect = 3;

std::uint32_t Progressed(std::uint32_t result, ProgressFn progress, void* user, std::size_t length) {
  if (result == kResultOk && progress != nullptr) progress(user, static_cast<std::uint32_t>(length));
  return result;
}

}  // namespace

// ---- requests ----

// The row's direction must be the span's: a writable span receives, a const one sends.
template <class Span>
std::uint32_t CVendorRequestV2::Send(VendorOp op, VendorFields fields, Span data, std::uint32_t timeoutMs) {
  const VendorRequestRow& row = VendorRequest(op);
  const std::uint32_t toHost = row.requestType >> 7;
  if (data.size() < fields.wLength) return kResultInvalidArgument;
  if (fields.wLength > 0 && std::is_const_v<typename Span::element_type> == (toHost != 0)) {
    return kResultInvalidArgument;
  }
  // The backend takes a writable span; what is sent goes from a copy, so the caller's bytes stay untouched.
  std::vector<std::uint8_t> copy;
  Bytes wire;
  if constexpr (std::is_const_v<typename Span::element_type>) {
    copy.assign(data.begin(), data.end());
    wire = copy;
  } else {
    wire = data;
  }
  UrbResult urb = UsbVendorRequest(device_, row.requestType, row.request, fields.wValue, fields.wIndex,
                                   wire.first(fields.wLength), toHost, timeoutMs);
  // A short answer would leave stale bytes behind in the caller's buffer.
  if (urb.ok && toHost != 0 && urb.length != fields.wLength) urb.ok = false;
  std::uint32_t result = ResultOf(urb);
  if (result != kResultOk) {
    DebugPrint("CVendorRequestV2 SendRequest failed: %08x\n", result);
    char name[32];
    std::snprintf(name, sizeof name, "vendor request 0x%02X", row.request);
    NoteLinkFailure(name, static_cast<std::uint32_t>((fields.wValue >> 8 & 0x0F) << 16 | fields.wIndex), result);
  }
  return result;
}

std::uint32_t CVendorRequestV2::Request(VendorOp op, std::uint16_t value, std::uint32_t timeoutMs) {
  const bool takesValue = VendorRequest(op).form == VrForm::kValue;
  return Send(op, {static_cast<std::uint16_t>(takesValue ? value & 0xFF : 0), 0, 0}, Bytes{}, timeoutMs);
}

template <class Span>
std::uint32_t CVendorRequestV2::Fixed(VendorOp op, Span bytes) {
  return Send(op, {0, 0, static_cast<std::uint16_t>(bytes.size())}, bytes);
}

// One byte back; `out` changes only when it arrived.
std::uint32_t CVendorRequestV2::ReadByte(VendorOp op, std::uint8_t& out) {
  std::array<std::uint8_t, 1> value{};
  const std::uint32_t result = Fixed(op, Bytes(value));
  if (result == kResultOk) out = value[0];
  return result;
}

// Addresses past 20 bits, or a single transfer past 64 KB, cannot be encoded:
// refused rather than sent to the wrong place.
template <class Span>
std::uint32_t CVendorRequestV2::At(VendorOp op, std::uint32_t address, Span buffer, std::uint8_t selector) {
  const auto length = static_cast<std::uint32_t>(buffer.size());
  if (buffer.size() > 0xFFFF || !FitsOneRequest(address, length)) return kResultInvalidArgument;
  if (VendorRequest(op).form != VrForm::kGeneralSelect) selector = 0;
  return Send(op, PackGeneral(address, length, selector), buffer);
}

std::size_t CVendorRequestV2::SplitLimit(VendorOp op) const {
  return VendorRequest(op).pieces ? kVendorPiece : std::numeric_limits<std::size_t>::max();
}
std::size_t CVendorRequestV2::SplitPieceSize() const { return kVendorPiece; }

// One request, after which the progress callback hears its length.
std::uint32_t CVendorRequestV2::MoveOne(VendorOp op, std::uint32_t at, Bytes rest, std::uint8_t select,
                                        ProgressFn progress, void* user) {
  return Progressed(At(op, at, rest, select), progress, user, rest.size());
}
std::uint32_t CVendorRequestV2::MoveOne(VendorOp op, std::uint32_t at, ConstBytes rest, std::uint8_t select,
                                        ProgressFn progress, void* user) {
  return Progressed(At(op, at, rest, select), progress, user, rest.size());
}

// ---- the operations ----

namespace {
using Op = VendorOp;
using Self = CVendorCmdCommon;  // each piece of a split re-enters through the interface's slot
}  // namespace

std::uint32_t CVendorRequestV2::GetDevStatus(std::uint16_t first, Bytes buffer) {
  for (std::size_t offset = 0; offset < buffer.size(); offset += 8) {
    std::array<std::uint8_t, 8> piece{};
    const auto index = static_cast<std::uint16_t>((first + offset / 8) & 0xFF);
    std::uint32_t result = Send(Op::kGetDevStatus, {index, 0, 8}, Bytes(piece));
    if (result != kResultOk) return result;
    std::copy_n(piece.begin(), std::min<std::size_t>(8, buffer.size() - offset), buffer.begin() + offset);
  }
  return kResultOk;
}

std::uint32_t CVendorRequestV2::ResetToUpdateFW(std::uint16_t value) { return Request(Op::kResetToUpdateFW, value); }
std::uint32_t CVendorRequestV2::ResetToNewCode(std::uint16_t value) { return Request(Op::kResetToNewCode, value); }
std::uint32_t CVendorRequestV2::ResetToRom() { return Request(Op::kResetToRom); }


std::uint32_t CVendorRequestV2::NorFlash_Erase() { return Request(Op::kNorFlashErase); }
std::uint32_t CVendorRequestV2::NorFlash_WriteTag() { return Request(Op::kNorFlashWriteTag); }

std::uint32_t CVendorRequestV2::SPI_SF_ReadID(std::span<std::uint8_t, 8> out) {
  return Fixed(Op::kSpiReadId, Bytes(out));
}
std::uint32_t CVendorRequestV2::SPI_SF_ReadSr(std::uint8_t& out) { return ReadByte(Op::kSpiReadSr, out); }
std::uint32_t CVendorRequestV2::SPI_SF_WriteSr(std::uint8_t value) {
  return Fixed(Op::kSpiWriteSr, ConstBytes(&value, 1));
}
// A whole-chip erase can outlast the usual time-out; the caller says how long.
std::uint32_t CVendorRequestV2::SPI_SF_EraseChip(std::uint32_t timeoutMs) {
  return Request(Op::kSpiEraseChip, 0, timeoutMs);
}
std::uint32_t CVendorRequestV2::SPI_SF_EraseSector(std::uint32_t address, std::uint32_t sectorSize) {
  if (sectorSize == 0 || address % sectorSize != 0 || address >= kVendorAddressLimit) return kResultInvalidArgument;
  return Send(Op::kSpiEraseSector, PackGeneral(address, 0, 0), Bytes{});
}
std::uint32_t CVendorRequestV2::SPI_SF_WriteTag() { return Request(Op::kSpiWriteTag); }

std::uint32_t CVendorRequestV2::I2C_EEP8_Erase(std::uint32_t size) {
  return I2C_EEP8_Write(0, std::vector<std::uint8_t>(size, 0xFF));
}
std::uint32_t CVendorRequestV2::I2C_EEP16_Erase(std::uint32_t size) {
  return I2C_EEP16_Write(0, std::vector<std::uint8_t>(size, 0xFF));
}

std::uint32_t CVendorRequestV2::ExtMem_Erase(std::uint32_t size) {
  return ExtMem_Write(0, std::vector<std::uint8_t>(size, 0xFF), kExtMemSelect);
}
// The read request carries no selector (its row says so).
std::uint32_t CVendorRequestV2::ExtMem_Read(std::uint32_t address, Bytes buffer, std::uint8_t select,
                                            ProgressFn progress, void* user) {
  return Split(Op::kExtMemRead, &Self::ExtMem_Read, address, buffer, progress, user, select);
}
std::uint32_t CVendorRequestV2::ExtMem_Write(std::uint32_t address, ConstBytes buffer, std::uint8_t select,
                                             ProgressFn progress, void* user) {
  return Split(Op::kExtMemWrite, &Self::ExtMem_Write, address, buffer, progress, user, select);
}
std::uint32_t CVendorRequestV2::ExtMem_WriteTag() {
  const std::uint8_t tag[1] = {kEepromTagValue};
  return ExtMem_Write(kEepromTagAddress, tag, kExtMemSelect);
}

// The register forms: two bytes; an 8-bit register (width 1) has no high byte.
std::uint32_t CVendorRequestV2::I2CRead(std::uint8_t width, std::uint32_t address, std::uint16_t& out) {
  std::array<std::uint8_t, 2> bytes{};
  std::uint32_t result = At(Op::kI2CReadRegister, address, Bytes(bytes));
  if (result == kResultOk) out = static_cast<std::uint16_t>(bytes[0] | (width == 1 ? 0 : bytes[1] << 8));
  return result;
}
std::uint32_t CVendorRequestV2::I2CWrite(std::uint8_t width, std::uint32_t address, std::uint16_t value) {
  if (width == 1) value &= 0xFF;
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
  return At(Op::kI2CWriteRegister, address, ConstBytes(bytes));
}
std::uint32_t CVendorRequestV2::I2CGenRead(std::uint16_t slave, Bytes buffer) {
  return At(Op::kI2CGenRead, slave & 0xFFu, buffer);
}
std::uint32_t CVendorRequestV2::I2CGenWrite(std::uint16_t slave, ConstBytes buffer) {
  return At(Op::kI2CGenWrite, slave & 0xFFu, buffer);
}
std::uint32_t CVendorRequestV2::I2CRandomRead(std::uint16_t slave, Bytes buffer) {
  return At(Op::kI2CRandomRead, slave & 0xFFu, buffer);
}
std::uint32_t CVendorRequestV2::I2CRandomWrite(std::uint16_t slave, ConstBytes buffer) {
  return At(Op::kI2CRandomWrite, slave & 0xFFu, buffer);
}

std::uint32_t CVendorRequestV2::ReadRequest6Byte(std::uint8_t& out) { return ReadByte(Op::kReadRequest6Byte, out); }
std::uint32_t CVendorRequestV2::SendRequest10(std::uint16_t value) { return Request(Op::kSendRequest10, value); }

}  // namespace quillon
