#include "sim/chip_config.h"

#include <array>
#include <charconv>
#include <utility>

namespace quillon::sim {
namespace {

constexpr std::array<std::pair<std::string_view, MemoryKind>, 5> kMemoryNames{{
    {"spi", MemoryKind::kSpi},
    {"nor", MemoryKind::kNor},
    {"eeprom8", MemoryKind::kEeprom8},
    {"eeprom16", MemoryKind::kEeprom16},
    {"otp", MemoryKind::kOtp},
}};
constexpr std::array<std::pair<std::string_view, Transport>, 3> kTransportNames{{
    {"xu", Transport::kXu},
    {"vendor", Transport::kVendor},
    {"both", Transport::kBoth},
}};
constexpr std::array<std::pair<std::string_view, DeviceKind>, 2> kKindNames{{
    {"audio", DeviceKind::kAudio},
    {"camera", DeviceKind::kCamera},
}};
constexpr std::array<std::pair<std::string_view, BusSpeed>, 2> kSpeedNames{{
    {"full", BusSpeed::kFull},
    {"high", BusSpeed::kHigh},
}};

template <typename Table, typename Value>
std::string_view NameOf(const Table& table, Value value) {
  for (const auto& [name, v] : table) {
    if (v == value) return name;
  }
  return "?";
}

template <typename Value, typename Table>
std::optional<Value> ValueOf(const Table& table, std::string_view text) {
  for (const auto& [name, v] : table) {
    if (name == text) return v;
  }
  return std::nullopt;
}

}  // namespace

const IcFamilyInfo& FamilyInfo(IcFamily ic) {
  for (const auto& info : kIcFamilies) {
    if (info.ic == ic) return info;
  }
  return kIcFamilies[1];
}

std::string_view MemoryName(MemoryKind memory) { return NameOf(kMemoryNames, memory); }
std::string_view TransportName(Transport transport) { return NameOf(kTransportNames, transport); }
std::string_view KindName(DeviceKind kind) { return NameOf(kKindNames, kind); }
std::string_view SpeedName(BusSpeed speed) { return NameOf(kSpeedNames, speed); }
std::optional<MemoryKind> ParseMemory(std::string_view text) { return ValueOf<MemoryKind>(kMemoryNames, text); }
std::optional<Transport> ParseTransport(std::string_view text) { return ValueOf<Transport>(kTransportNames, text); }
std::optional<DeviceKind> ParseKind(std::string_view text) { return ValueOf<DeviceKind>(kKindNames, text); }
std::optional<BusSpeed> ParseSpeed(std::string_view text) { return ValueOf<BusSpeed>(kSpeedNames, text); }

std::optional<IcFamily> ParseIcFamily(std::string_view text) {
  for (const auto& info : kIcFamilies) {
    if (info.name == text) return info.ic;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace quillon::sim
