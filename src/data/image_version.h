// The 8-byte version record of a firmware image, its six version fields and
// its text "%01X.%01X%02X.%04X-%04X.%04X".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quillon {

struct VersionRecord {
  std::uint8_t codeType = 0;
  std::uint8_t pid = 0;
  std::uint8_t projVer = 0;
  std::uint8_t cusId = 0;
  std::array<std::uint8_t, 2> libVer{};
  std::array<std::uint8_t, 2> cusVer{};

  static VersionRecord FromBytes(std::span<const std::uint8_t, 8> bytes);
  std::array<std::uint8_t, 8> ToBytes() const;
};

using VersionFields = std::array<std::uint32_t, 6>;

// Where the record lies: 0x100C in images of 0x10000 bytes or more, else 0x11B.
std::size_t VersionRecordOffset(std::size_t imageLength);

// The six fields: CodeType high and low nibble, PID, ProjVer*256+CusID,
// LibVer[0]*256+LibVer[1], CusVer[0]*256+CusVer[1].
VersionFields VersionFieldsOf(const VersionRecord& record);
std::string VersionText(const VersionFields& fields);

// The version of `image`. False (empty text, zero fields) when the image is
// too short to hold the record where it belongs.
bool ImageVersion(std::span<const std::uint8_t> image, std::string* text, VersionFields* fields);

// Equal when all eight bytes are; each byte pair is traced.
bool VersionEqual(const VersionRecord& v1, const VersionRecord& v2);

}  // namespace quillon
