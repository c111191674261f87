// The USB descriptors of a simulated chip: an audio-class device whose audio
// extension unit carries the chip maker's vendor id, or a video-class
// interface-association device with the maker's extension unit (controls 10 and
// 11 present).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/chip_config.h"

namespace quillon::sim {

inline constexpr std::uint8_t kControlInterface = 0;
inline constexpr std::uint8_t kExtensionUnitId = 3;
inline constexpr std::uint16_t kMakerVendorId = 0x3A7C;
// {1229A78C-47B4-4094-B0CE-DB07386FB938} in the descriptor's byte order.
inline constexpr std::array<std::uint8_t, 16> kExtensionUnitGuid = {
    0x8C, 0xA7, 0x29, 0x12, 0xB4, 0x47, 0x94, 0x40, 0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9, 0x38};

inline constexpr std::uint8_t kManufacturerIndex = 1;
inline constexpr std::uint8_t kProductIndex = 2;
inline constexpr std::uint8_t kSerialIndex = 3;
inline constexpr const char* kManufacturerText = "KESTRAN";

std::vector<std::uint8_t> DeviceDescriptor(const ChipConfig& config);
std::vector<std::uint8_t> ConfigurationDescriptor(const ChipConfig& config);
// Index 0 is the language list (0x0409); 1..3 manufacturer, product, serial.
std::optional<std::vector<std::uint8_t>> StringDescriptor(const ChipConfig& config, std::uint8_t index,
                                                          const std::string& serial);

}  // namespace quillon::sim
