#include "proxy/usb_location.h"

#include <charconv>

namespace quillon {

std::string LocationText(std::uint8_t bus, std::span<const std::uint8_t> ports) {
  if (ports.empty()) return "usb" + std::to_string(bus);
  std::string text = std::to_string(bus) + "-";
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) text += '.';
    text += std::to_string(ports[i]);
  }
  return text;
}

bool IsSameLocationText(std::string_view a, std::string_view b) { return !a.empty() && a == b; }

std::uint32_t PortAddress(std::string_view location) {
  std::size_t dash = location.find('-');
  if (dash == std::string_view::npos) return 0;
  std::size_t start = location.find_last_of(".-") + 1;
  std::uint32_t port = 0;
  auto [end, error] = std::from_chars(location.data() + start, location.data() + location.size(), port);
  if (error != std::errc() || end != location.data() + location.size()) return 0;
  return port;
}

std::string HubLocation(std::string_view location) {
  std::size_t dash = location.find('-');
  if (dash == std::string_view::npos || dash == 0) return "";
  std::size_t dot = location.rfind('.');
  if (dot != std::string_view::npos && dot > dash) return std::string(location.substr(0, dot));
  return "usb" + std::string(location.substr(0, dash));
}

}  // namespace quillon
