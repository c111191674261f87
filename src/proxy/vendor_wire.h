// The chip's control-transfer vocabulary: the two extension-unit controls and
// their class requests, the vendor request types, the command block and its
// packing, and the few commands that the probe sends on its own. The device
// layer's command tables build on these.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace quillon {

// Extension-unit controls: the 8-byte command block (and status answer), and
// the data pieces of the current data-control size.
inline constexpr std::uint8_t kXuSelectorCommand = 10;
inline constexpr std::uint8_t kXuSelectorData = 11;

// Class requests on those controls; the request type's direction bit follows the transfer.
inline constexpr std::uint8_t kClassOut = 0x21;
inline constexpr std::uint8_t kClassIn = 0xA1;
inline constexpr std::uint8_t kSetCur = 0x01;
inline constexpr std::uint8_t kGetCur = 0x81;
inline constexpr std::uint8_t kGetLen = 0x85;

// Vendor request types.
inline constexpr std::uint8_t kVendorOut = 0x40;
inline constexpr std::uint8_t kVendorIn = 0xC0;
// The vendor requests the probe and the reset sequence send themselves.
inline constexpr std::uint8_t kRequestResetByCommand = 0x01;  // wValue the value, wIndex the reset command
inline constexpr std::uint8_t kRequestAlive = 0x06;           // one byte back
inline constexpr std::uint8_t kRequestDevStatus = 0x07;       // one 8-byte status piece, wValue its index

using CommandBlock = std::array<std::uint8_t, 8>;

// The template with p1, p2, p3 (16 bits each, little-endian, bytes 2..7)
// written in where given.
constexpr CommandBlock BuildCommandBlock(const CommandBlock& block, std::optional<std::uint16_t> p1 = std::nullopt,
                                         std::optional<std::uint16_t> p2 = std::nullopt,
                                         std::optional<std::uint16_t> p3 = std::nullopt) {
  CommandBlock out = block;
  const std::optional<std::uint16_t> params[3] = {p1, p2, p3};
  for (std::size_t i = 0; i < 3; ++i) {
    if (!params[i]) continue;
    out[2 + 2 * i] = static_cast<std::uint8_t>(*params[i] & 0xFF);
    out[3 + 2 * i] = static_cast<std::uint8_t>(*params[i] >> 8);
  }
  return out;
}

// The signature the chip answers the signature read with: "KESTRAN" and a zero byte.
inline constexpr std::array<std::uint8_t, 8> kChipSignature = {'K', 'E', 'S', 'T', 'R', 'A', 'N', 0};
// Where the status block carries the same signature.
inline constexpr std::size_t kStatusSignatureOffset = 24;

// Command templates the probe sends itself: one 8-byte status piece (p1 its
// index) and the signature read.
inline constexpr CommandBlock kStatusPieceBlock = {0x00, 0xCD, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00};
inline constexpr CommandBlock kQualifyBlock = {0x00, 0xD0, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00};

}  // namespace quillon
