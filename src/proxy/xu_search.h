// Finding the chip's vendor extension unit in a configuration descriptor.
// Both searches only step inside the buffer and wTotalLength, so a malformed
// or hostile descriptor set yields -1, never a read past its end.
#pragma once

#include <cstdint>
#include <span>

namespace quillon {

// The chip maker's USB vendor id, carried in an audio extension unit's wExtensionCode.
inline constexpr std::uint16_t kChipVendorId = 0x3A7C;

// GUIDs in the descriptor's little-endian byte order.
inline constexpr std::uint8_t kVxExtensionUnitGuid[16] = {0x8C, 0xA7, 0x29, 0x12, 0xB4, 0x47, 0x94, 0x40,
                                                          0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9, 0x38};
inline constexpr std::uint8_t kIrExtensionUnitGuid[16] = {0x73, 0xDA, 0xB5, 0x45, 0xC1, 0x23, 0x3D, 0x4A,
                                                          0xA3, 0x68, 0x61, 0x0F, 0x07, 0x8C, 0x43, 0x97};

// Video-class device: the unit id of the validated extension unit of the
// video-control interface `interfaceNumber`, or -1. `irCamera` is set by the
// association pass when it decides, else left as the caller set it.
int FindUvcExtensionUnit(std::span<const std::uint8_t> config, int interfaceNumber, std::uint32_t& irCamera);

// Audio-class device: the unit id of the extension unit carrying the chip
// maker's vendor id behind the first interface descriptor, or -1.
int FindAudioExtensionUnit(std::span<const std::uint8_t> config);

}  // namespace quillon
