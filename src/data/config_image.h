// Finding and reading the configuration area inside a whole firmware image:
// where it lies for the current profile, what it says (memory type, chip code,
// texts), and whether its records can all be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quillon {

class CICTypeIni;

// What the area functions take from the IC profile and the process.
struct AreaContext {
  std::uint32_t configAddress = 0;  // "ConfigAddress"
  std::uint32_t configSize = 0;     // "ConfigSize"
  std::uint32_t tagAddress = 0;     // "TagAddress"
  std::string icName;               // "Ic Name"
  std::size_t workingMemorySize = 0x20000;
  // "Project Type" names NOR flash ("NOR" or 1): a flash image is then for NOR.
  bool norFlash = false;
};

// The context of `profile` (zeros and an empty name for null) with the current
// working memory size.
AreaContext AreaContextOf(const CICTypeIni* profile);
// The same for the process's current profile.
AreaContext CurrentAreaContext();

// Texts read from the records.
struct ConfigTexts {
  std::string manufacturer;   // type 1
  std::string serialNumber;   // type 3
  std::string interfaceName;  // type 7
  std::string vidPid;         // type 4, "VID_%04X&PID_%04X"
  std::string release;        // type 4, "%04x"
  std::string codeSignature;  // image bytes 0x1003, 0x1005, 0x1004, 0x1007, 0x1006
};

// What LocateConfigArea finds, kept with the image record for the flows.
struct ConfigAreaResults {
  std::uint8_t imageChipCode = 0xFF;  // 0xFF: no area found
  bool areaAtZero = false;
  std::uint32_t blockAddress = 0;
  std::uint32_t blockLength = 0;
  std::uint16_t headerTotalLength = 0;
  // The record walk of the last read or check could not step over a record.
  bool corrupted = false;
  ConfigTexts texts;
};

// The offset of the area to program, or nothing when the image has no area or
// its record walk reports corruption (`results.corrupted`). Sets the results (and, through ReadImageConfig, the current memory type).
std::optional<std::size_t> LocateConfigArea(const AreaContext& context, std::span<const std::uint8_t> image,
                                            ConfigAreaResults& results);

// Reads the area's texts and memory type. False for an image of only 0xFF
// bytes, one without an area, or a corrupted area (shown to the operator).
bool ReadImageConfig(const AreaContext& context, std::span<const std::uint8_t> image, ConfigAreaResults& results);

// Checks that every record of the area at 0xF000 (0 for TQ7704 OTP and 16 KB
// images) can be read; a corrupted area is shown to the operator.
bool CheckImageConfig(const AreaContext& context, std::span<const std::uint8_t> image, ConfigAreaResults& results);

// The offset just behind the last small-cache code record (0 when there is
// none). False for an image of only 0xFF bytes, without an area, or corrupted.
bool FindSmallCacheEnd(const AreaContext& context, std::span<const std::uint8_t> image, std::size_t* end);

bool IsAllErased(std::span<const std::uint8_t> image);

}  // namespace quillon
