#include "sim/commands.h"

namespace quillon::sim {
namespace {

std::uint16_t Word(const std::uint8_t (&block)[8], int at) {
  return static_cast<std::uint16_t>(block[at] | block[at + 1] << 8);
}

DataPhase PhaseOfOpcode(std::uint8_t opcode) {
  if ((opcode & 0x80) == 0) return DataPhase::kNone;
  return (opcode & 0x40) != 0 ? DataPhase::kIn : DataPhase::kOut;
}

}  // namespace

std::optional<Request> DecodeCommandBlock(const std::uint8_t (&block)[8], std::uint8_t& status) {
  const std::uint8_t commandClass = block[0];
  const std::uint8_t opcode = block[1];
  if (commandClass != kClassChip && commandClass != kClassStorage) {
    status = kStsUnknownCmd;
    return std::nullopt;
  }
  for (const XuCommand& row : kXuCommands) {
    if (row.commandClass != commandClass || row.opcode != opcode) continue;
    const std::uint16_t p1 = Word(block, 2), p2 = Word(block, 4), p3 = Word(block, 6);
    Request request;
    request.op = row.op;
    request.phase = PhaseOfOpcode(opcode);
    switch (row.fields) {
      case Fields::kAddr16: request.address = p1; request.length = p2; break;
      case Fields::kAddr32: request.address = p1 | static_cast<std::uint32_t>(p3) << 16; request.length = p2; break;
      case Fields::kPiece: request.address = 8u * p1; request.length = p2; break;
      case Fields::kAddrExtra: request.address = p1; request.length = p2; request.extra = p3; break;
      case Fields::kAddrLenInP3: request.address = p1; request.length = p3; break;
      case Fields::kValue: request.extra = p1; request.length = p2; break;
    }
    if (request.phase == DataPhase::kNone && row.op != Op::kSetDataSize) request.length = 0;
    return request;
  }
  status = kStsUnknownSubCmd;
  return std::nullopt;
}

std::optional<Request> DecodeVendorRequest(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue,
                                           std::uint16_t wIndex, std::uint16_t wLength) {
  const bool toHost = bmRequestType == 0xC0;
  if (!toHost && bmRequestType != 0x40) return std::nullopt;
  for (const VendorRequest& row : kVendorRequests) {
    if (row.bRequest != bRequest || row.toHost != toHost) continue;
    Request request;
    request.op = row.op;
    request.phase = toHost ? DataPhase::kIn : DataPhase::kOut;
    switch (row.packing) {
      case Packing::kGeneral: {
        request.address = static_cast<std::uint32_t>((wValue >> 8) & 0x0F) << 16 | wIndex;
        request.length = static_cast<std::uint32_t>(wValue >> 12) << 16 | wLength;
        request.extra = static_cast<std::uint16_t>(wValue & 0xFF);
        // One control transfer moves at most wLength bytes.
        if (request.length != wLength) return std::nullopt;
        break;
      }
      case Packing::kPiece:
        request.address = 8u * (wValue & 0xFF);
        request.length = wLength < 8 ? wLength : 8;
        break;
      case Packing::kValue:
        if (wLength != 0) return std::nullopt;
        request.extra = static_cast<std::uint16_t>(wValue & 0xFF);
        break;
      case Packing::kCommand:
        if (wLength != 0) return std::nullopt;
        request.extra = static_cast<std::uint16_t>(wValue & 0xFF);
        request.address = wIndex;
        break;
      case Packing::kFixed:
        request.length = wLength;
        break;
    }
    if (request.length == 0) request.phase = DataPhase::kNone;
    // I2C slave forms name the slave where the general form has its address.
    if (row.op == Op::kI2cSlaveRead || row.op == Op::kI2cSlaveWrite || row.op == Op::kI2cRandomRead ||
        row.op == Op::kI2cRandomWrite) {
      request.address &= 0xFF;
    }
    return request;
  }
  return std::nullopt;
}

}  // namespace quillon::sim
