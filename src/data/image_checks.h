// The three checks every write step makes before it writes an image: the file
// loads, it has a configuration area, and the area's chip code is the
// profile's. Failures are reported as status ids for the flow layer to post.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "data/current_types.h"
#include "data/firmware_image.h"

namespace quillon {

// The flow layer's status ids for these failures (same values).
namespace image_status {
inline constexpr std::uint32_t kPassed = 0;
inline constexpr std::uint32_t kLoadFileDataFail = 41530;
inline constexpr std::uint32_t kParseFwFileFail = 41531;
inline constexpr std::uint32_t kFirmwareNotForDevice = 41715;
}  // namespace image_status

struct ImageCheckOptions {
  // The flash write without serial number goes on with file data it already
  // holds (a built-in image moved there) when the file cannot be loaded.
  bool keepHeldFullImage = false;
  // The two flash write steps take chip code 8 for 9 and 9 for 8.
  bool accept8For9 = false;
  // The memory the image is written to: the image must then agree with the
  // bytes that write sets itself, and an EEPROM image must keep its area at
  // offset 0 (the chip reads it there). Unset: neither is checked.
  std::optional<MemoryType> writeMemory;
  bool romFlag = false;  // the family's flash write never puts a tag down
};

// Runs the checks in order (load, area, chip code, then what the write sets
// itself) and returns image_status::kPassed or the failing
// step's status id (after tracing its failure text). `areaOffset` receives the
// area to program.
std::uint32_t CheckImageBeforeWrite(CFirmwareImage& image, std::uint8_t profileChipCode, const AreaContext& context,
                                    const ImageCheckOptions& options, std::size_t* areaOffset);

}  // namespace quillon
