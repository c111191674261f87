// Choosing the target device. A walk over the devices that open yields one
// plain value per device; each operation's choice is a pure rule over such a
// value, so the choices are tested without a bus.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "flow/front_end.h"

namespace quillon {

class CDevFlow;

// What one walk learned about a device that opened.
struct SeenDevice {
  int index = 0;          // enumeration index
  int ordinal = 0;        // among the devices that opened in this walk
  // The last entry of the window's device list so far: its own when listed;
  // -1 while the list is empty.
  int listIndex = -1;
  bool listed = false;    // in the built-in accepted list (what the window lists)
  std::string identity;   // "VID_%04X&PID_%04X&REV_%04X"
  RememberedLocation location;
  bool accepted = true;   // the configured check; true when none is configured
};

// The device an operation takes: the ordinal to remember and, when the rule
// sets one, the list entry to select.
struct DeviceChoice {
  int ordinal = -1;
  std::optional<int> listIndex;

  bool operator==(const DeviceChoice&) const = default;
};

// The window's default device: the first device that passes the configured
// check; without any check configured the first device, with no list entry.
std::optional<DeviceChoice> ChooseDefault(const SeenDevice& device, bool checkConfigured);

// The worker's listing, first pass: a listed device at the remembered location.
std::optional<DeviceChoice> ChooseAtLocation(const SeenDevice& device, const RememberedLocation& wanted);

// The worker's listing, second pass: the first device that passes the check,
// as list entry 0; without any check the first device, list entry unchanged.
std::optional<DeviceChoice> ChooseFirstAccepted(const SeenDevice& device, bool checkConfigured);

// After a reset: the device whose identity is the remembered selection text.
std::optional<DeviceChoice> ChooseByIdentity(const SeenDevice& device, const std::string& wanted);

// Reopening before a download: the device at the remembered location.
bool IsAtLocation(const SeenDevice& device, const RememberedLocation& wanted);

// Opening by the accepted list with port locking ("LockPort", "PortNo").
enum class PortLockDecision { Refuse, Take, TakeAndRememberPort };
PortLockDecision DecidePortLock(bool listed, std::uint32_t lockPort, std::uint32_t portNo, std::uint32_t portAddress);

// The first device of `devices` that `rule` chooses, as a walk that stops at
// its choice would find it.
template <class Rule>
std::optional<DeviceChoice> FirstChoice(std::span<const SeenDevice> devices, Rule rule) {
  for (const SeenDevice& device : devices) {
    if (auto choice = rule(device)) return choice;
  }
  return std::nullopt;
}

// One chip of a bus listing as the command line's selectors see it; read
// from the bus list alone, so picking sends nothing to any chip.
struct PresentChip {
  int index = -1;        // what "-d N" names; -1 for a chip the batch mode never opens
  std::string location;  // "1-2", as `quillon --list` prints it
  std::string identity;  // "VID_%04X&PID_%04X&REV_%04X"
  std::string whyNot;    // empty when the batch mode would take it
};

// "--location LOC": the index of the chip there, or why there is none to take.
struct LocationPick {
  std::optional<int> index;
  std::string refusal;  // set exactly when index is not
  bool present = false;  // a chip is at that location, taken or not

  bool operator==(const LocationPick&) const = default;
};
LocationPick PickByLocation(std::span<const PresentChip> chips, std::string_view location);

// A run without a selector takes a chip by the settings' rule only when it is
// the one accepted chip present: of several, the rule would pick one of its
// own choosing. The refusal lists the accepted chips and how to pick one
// (without a line end); empty when at most one chip is accepted.
std::string SeveralAcceptedRefusal(std::span<const PresentChip> chips);

// The command line's "-d N": opens exactly the device at enumeration index
// `index`; with "CheckVIDPID_INI" set it must also pass the accepted list and
// the port lock. Never another index. 1 with the device open; 0 with 41511
// (missing or not opening) or 41714 (not accepted).
int OpenNamedDevice(CDevFlow& flow, int index);

}  // namespace quillon
