// Where a device sits on the bus: the bus number and the chain of hub ports,
// written "3-1.4". A device that re-enumerates keeps its location.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quillon {

// "bus-port.port..."; a device on no port (a root hub) is "usb<bus>".
std::string LocationText(std::uint8_t bus, std::span<const std::uint8_t> ports);

// The two texts name the same physical port.
bool IsSameLocationText(std::string_view a, std::string_view b);

// The last port number of the chain (the port on its hub); 0 when there is none.
std::uint32_t PortAddress(std::string_view location);

// The location of the hub the device is plugged into: "3-1.4" gives "3-1",
// "3-1" gives the root hub "usb3". Empty for a text that is not a location.
std::string HubLocation(std::string_view location);

}  // namespace quillon
