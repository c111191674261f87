// Builds firmware images (".rfw") with generated program code, a version
// record and a configuration area, for tests, demos and the built-in images.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon::mkimage {

enum class Memory { Spi, Nor, Eeprom8, Eeprom16, Otp };

struct ImageSpec {
  Memory memory = Memory::Spi;
  std::string ic = "tq7704";  // tq7702, tq7704 or tq7724
  std::optional<std::uint8_t> chipCode;    // default: the profile's
  std::size_t size = 0x10000;
  std::optional<std::uint32_t> configAt;  // default: the profile's "ConfigAddress"
  std::uint16_t vid = 0x3A7C;
  std::uint16_t pid = 0x0011;
  std::uint16_t rev = 0x0001;
  std::array<std::uint8_t, 8> version = {0x41, 0x19, 0x00, 0x00, 0x01, 0x15, 0x00, 0x00};
  bool versionGiven = false;              // --version B0,...,B7 was given
  // Program code from a raw binary instead of generated code; its version
  // record stays unless --version is given.
  std::string codeFile;
  std::string serial = "QL0000000001";
  std::optional<std::size_t> smallCache;  // data bytes of a type-39 record
  std::optional<std::uint8_t> typeByte;   // default: from the memory
  std::optional<std::uint32_t> copyAt;    // a second copy of the area
  bool blank = false;                     // no code, version record or tag
};

// What an IC profile says about its images.
struct ProfileFacts {
  std::uint32_t configAddress = 0;
  std::uint32_t configSize = 0;
  std::uint32_t tagAddress = 0;
  std::uint8_t chipCode = 0;
};

// The facts of the built-in profile for `ic`; nothing for an unknown name.
std::optional<ProfileFacts> BuiltinProfileFacts(const std::string& ic);

std::uint8_t TypeByteOf(Memory memory);

// The image, or nothing with `error` set.
std::optional<std::vector<std::uint8_t>> MakeImage(const ImageSpec& spec, std::string* error);

// Parses the command line (without the program name). Returns the output path,
// or nothing with `error` set; `help` is set for --help.
std::optional<std::string> ParseArguments(const std::vector<std::string>& args, ImageSpec& spec, bool* help,
                                          std::string* error);

extern const char* const kUsage;

}  // namespace quillon::mkimage
