// The chip session: everything the flow keeps about the open chip, apart from
// the memory type's own working state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "data/firmware_image.h"
#include "device/link_failure.h"
#include "device/vxcam.h"

namespace quillon {

// Bits of the update-options word.
namespace update_option {
inline constexpr std::uint32_t kResetAfter = 0x01;   // reset into the new code at the end
inline constexpr std::uint32_t kCheckEmpty = 0x02;   // the erased memory must read all 0xFF
inline constexpr std::uint32_t kRomSubMode2 = 0x04;  // ROM entry with sub-mode 2
inline constexpr std::uint32_t kProgram = 0x10;      // write, read back, compare, tag
inline constexpr std::uint32_t kInitial = 0x13;
}  // namespace update_option

// Where a chip in its ROM loader runs from (register 0xC2A8).
enum class ExtendedMode : std::uint8_t {
  kRom = 0,
  kSpi = 8,
  kRomOtp = 16,
  kSpiOtp = 24,
  kRomSpi = 32,
  kUnknown = 0xFF,
};

// Settings the flow keeps for itself; they outlive the session's chip.
struct FlowSettings {
  std::uint32_t updateOptions = update_option::kInitial;
  std::uint8_t resetModeByte = 0;  // 6 normally, 5 with "Normal Reset" 0, 0 before the options were set
  std::string firmwareVidPidText;  // "VID_%04X&PID_%04X" of the image last parsed
  std::string readResultPath;      // where a read from the window is saved (empty: nowhere)
};

// What the flow knows about the open chip and carries across memory types:
// the command port, identity, location, mode, version, the image it writes and
// the settings. One session lives in the flow factory; the memory type's flow
// object works on it and is swapped when the memory type changes.
struct ChipSession {
  // The command port: handle (0: none open) and the transports it is bound to.
  FlowDevice device;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t revision = 0;
  std::string deviceName;
  std::string idText;
  std::string fullIdText;
  std::string locationIdText;
  std::uint32_t portAddress = 0;
  std::string hubInstance;
  std::string foundAt;  // the port of the device last found, kept after it is closed
  std::int32_t selectedOrdinal = -1;
  std::int32_t selectedListIndex = -1;
  std::uint32_t accepted = 1;
  std::array<std::uint8_t, 2> chipMode{};     // register 0xFE21/0xFE22, each masked with 0xF0
  std::array<std::uint8_t, 2> chipModeRaw{};  // as read
  std::uint8_t firmwareIcId = 0;
  std::uint32_t modeF000Seen = 0;
  std::uint32_t mode1010Seen = 0;

  // Chip state and texts.
  std::uint32_t romFlag = 0;
  std::uint32_t notRunningFlag = 0;
  std::uint32_t plainRomFlag = 0;
  ExtendedMode extendedMode = ExtendedMode::kUnknown;  // decides; modeText displays it
  std::string modeText = "Unknown";
  // Set while the link failed under the last info read's reads of the mode
  // registers that the flags above come from; the chip is then not entered on a guess.
  std::optional<LinkFailure> modeReadFailure;
  std::string connectionText = "No USB Audio";
  std::string versionText = "N/A";
  std::string internalVersionText;
  VersionFields versionFields{};
  std::array<std::uint8_t, 8> codeVersion{};  // the active code record of the last status read

  // Image and buffers: the file data is the image to download, the built-in
  // buffer the update image.
  CFirmwareImage image;
  std::vector<std::uint8_t> readBuffer;
  std::uint32_t configAtZero = 0;
  std::string serialNumber;  // what the serial-number pre-action writes
  std::string usbSerial;     // the chip's serial-number string, as last read

  FlowSettings settings;
};

}  // namespace quillon
