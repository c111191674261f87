// What a simulated chip is made of: its identity, its kind, its transports, its
// IC family and its code memory. A plain value; the names are those quillon-sim
// and the state file use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/usb_backend.h"

namespace quillon::sim {

enum class MemoryKind : std::uint8_t { kSpi, kNor, kEeprom8, kEeprom16, kOtp };
enum class Transport : std::uint8_t { kXu, kVendor, kBoth };
enum class IcFamily : std::uint8_t { kTq7702, kTq7704, kTq7724 };
enum class BusSpeed : std::uint8_t { kFull, kHigh };

inline constexpr std::uint32_t kOtpSize = 0x4000;

struct ChipConfig {
  DeviceKind kind = DeviceKind::kAudio;
  Transport transport = Transport::kXu;
  // Without the vendor transport: still answer vendor request 6 and the reset by
  // request 1.
  bool request6 = false;
  IcFamily ic = IcFamily::kTq7704;
  std::uint8_t variant = 0;  // low nibble of register 0xFE21
  std::uint16_t vendorId = 0x3A7C;
  std::uint16_t productId = 0x0011;
  std::uint16_t bcdDevice = 0x0001;
  MemoryKind memory = MemoryKind::kSpi;
  std::uint32_t memorySize = 0x10000;  // OTP is always 16 KB
  std::string serial = {};             // serial-number string; empty: made from the location
  BusSpeed speed = BusSpeed::kHigh;
  std::uint32_t offBusMs = 1000;     // how long a reset keeps the chip off the bus
  std::uint32_t notReadyMs = 0;      // after coming back, answer "not ready" this long
  std::uint32_t statusWriteMs = 15;  // write-in-progress time of a status-register write
  std::uint32_t pageProgramUs = 250;  // programming time of one 256-byte flash page

  bool HasXu() const { return transport != Transport::kVendor; }
  bool HasVendor() const { return transport != Transport::kXu; }
  bool AnswersRequest6() const { return HasVendor() || request6; }
  std::uint32_t EffectiveSize() const { return memory == MemoryKind::kOtp ? kOtpSize : memorySize; }
};

// Register 0xFE21/0xFE22 of each family and the register pair that drives the
// flash write-protect pin.
struct IcFamilyInfo {
  IcFamily ic;
  std::string_view name;
  std::uint8_t modeHigh;  // value of 0xFE22
  std::uint16_t pinDirection;
  std::uint16_t pinLevel;
};

inline constexpr IcFamilyInfo kIcFamilies[] = {
    {IcFamily::kTq7702, "tq7702", 0x70, 0xFEA0, 0xFEA6},
    {IcFamily::kTq7704, "tq7704", 0xB0, 0xFEC0, 0xFEC6},
    {IcFamily::kTq7724, "tq7724", 0xF0, 0xFEC0, 0xFEC6},
};

const IcFamilyInfo& FamilyInfo(IcFamily ic);

std::string_view MemoryName(MemoryKind memory);
std::string_view TransportName(Transport transport);
std::string_view KindName(DeviceKind kind);
std::string_view SpeedName(BusSpeed speed);
std::optional<MemoryKind> ParseMemory(std::string_view text);
std::optional<Transport> ParseTransport(std::string_view text);
std::optional<IcFamily> ParseIcFamily(std::string_view text);
std::optional<DeviceKind> ParseKind(std::string_view text);
std::optional<BusSpeed> ParseSpeed(std::string_view text);

// Decimal or 0x-prefixed hexadecimal, the whole text, within 32 bits.
std::optional<std::uint32_t> ParseNumber(std::string_view text);

}  // namespace quillon::sim
