// Which image belongs to a device: the built-in image named after it, the
// ".rfw" files of the program directory and the IC profile that fits a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "data/firmware_image.h"

namespace quillon {

// "VID_3A7C&PID_0011&REV_0001" gives "FFU_3A7C_0011".
std::string DeviceFirmwareName(std::string_view identity);

// Chip codes 8 and 9 name the same chip.
bool ChipCodesMatch(std::uint8_t a, std::uint8_t b, bool accept8For9);

// Which header type bytes select a profile: the directory search also takes
// 0x61 from a file shorter than "ConfigAddress"; the command-line binding not.
enum class HeaderSearch { DirectorySearch, CommandLine };

// Whether the file data holds an accepted configuration header for a profile
// whose area lies at `configAddress`.
bool HasAcceptedHeader(std::span<const std::uint8_t> data, std::uint32_t configAddress, HeaderSearch search);

// Tries the IC profiles in order for the loaded file data: the profile must
// match the registers and the data must hold an accepted header for it; that
// profile becomes the current profile and the data is parsed with it. The
// directory search stops at the first such profile and then requires its chip
// code; the command-line binding goes on to the next profile while parsing
// fails and does not compare chip codes.
bool SelectProfileForImage(CFirmwareImage& image, std::uint8_t reg1, std::uint8_t reg2, HeaderSearch search);

// Loads the main image file and finds the profile that fits it and the device.
bool MatchImageToProfile(CFirmwareImage& image, std::uint8_t reg1, std::uint8_t reg2);

// The first ".rfw" file of the program directory (in name order) that matches;
// it stays the main image file. None: the main image file name is emptied.
bool FindImageForDevice(CFirmwareImage& image, std::uint8_t reg1, std::uint8_t reg2);

// Device identification: the matching ".rfw" file (kept as the device's
// firmware file), the built-in image for the device or the profile's default
// image, its version fields and display text; the buffers are released and the
// main image file name becomes the display text.
void IdentifyDeviceFirmware(CFirmwareImage& image, std::uint8_t reg1, std::uint8_t reg2, std::string_view identity);

}  // namespace quillon
