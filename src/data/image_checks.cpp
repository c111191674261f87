#include "data/image_checks.h"

#include "data/image_match.h"
#include "platform/trace.h"

namespace quillon {
namespace {
constexpr TraceScope kCheckScope{"CFirmwareImage::CheckImageBeforeWrite", 0, kTraceDevice};
}  // namespace

std::uint32_t CheckImageBeforeWrite(CFirmwareImage& image, std::uint8_t profileChipCode, const AreaContext& context,
                                    const ImageCheckOptions& options, std::size_t* areaOffset) {
  if (!LoadImageFile(image)) {
    const bool useHeld = options.keepHeldFullImage && image.fileData.size() >= kFullImageLength;
    if (!useHeld) {
      TraceFailure(kCheckScope, "Load File Data Fail!\n");
      return image_status::kLoadFileDataFail;
    }
  }
  auto offset = LocateConfigArea(context, image.fileData, image.config);
  image.fileArea = offset;
  if (!offset) {
    TraceFailure(kCheckScope, "Parse FW File Fail!\n");
    return image_status::kParseFwFileFail;
  }
  if (!ChipCodesMatch(profileChipCode, image.config.imageChipCode, options.accept8For9)) {
    TraceFailure(kCheckScope, "Firmware is not for this device\n");
    return image_status::kFirmwareNotForDevice;
  }
  if (areaOffset != nullptr) *areaOffset = *offset;
  return image_status::kPassed;
}

}  // namespace quillon
