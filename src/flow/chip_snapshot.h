// What a front end may know of the chip a flow works on, copied on the thread
// that posts a notification (the one that owns the flow at that moment), so
// that no front end reads the flow object itself.
#pragma once

#include <cstdint>
#include <string>

#include "data/current_types.h"
#include "data/image_version.h"

namespace quillon {

class CDevFlow;

struct ChipSnapshot {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t revision = 0;
  std::string identity;        // "VID_vvvv&PID_pppp&REV_rrrr", empty before a chip was read
  std::string deviceName;      // the maker's product string
  std::string location;        // the open chip's port, empty when none is open
  std::string foundAt;         // the port the chip was last found at, open or not
  std::string versionText = "N/A";
  VersionFields versionWords{};  // the running code's version words, for the version questions
  std::string connectionText = "No USB Audio";
  std::string imageFile;       // the image the flow holds
  // The serial number written into the image, else the one the chip reported.
  std::string serial;
  std::string imageSerial;  // the serial the write puts into the image, empty when none
  std::string chipSerial;   // the serial-number string the chip reported
  MemoryType memoryType = MemoryType::SpiFlash;  // the memory the flow works on
  std::string icFamily;     // the IC profile's name, e.g. "TQ7704"
  std::uint32_t otpUsedBytes = 0;  // OTP bytes already programmed; 0 for other memories
  // The OTP download passed with older blocks still live (a retirement was
  // lost to the link); the next download retires them.
  bool otpOlderBlocksLive = false;
  std::uint32_t accepted = 1;      // the configured accepted-device check
  bool open = false;               // a device handle is open
};

ChipSnapshot SnapshotOf(const CDevFlow& flow);
// The snapshot of the current flow object; a blank one without it.
ChipSnapshot CurrentChipSnapshot();

}  // namespace quillon
