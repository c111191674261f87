#include "data/image_checks.h"

#include <cstdio>

#include "data/flow_set_bytes.h"
#include "data/image_match.h"
#include "platform/prompt.h"
#include "platform/trace.h"

namespace quillon {
namespace {
constexpr TraceScope kCheckScope{"CFirmwareImage::CheckImageBeforeWrite", 0, kTraceDevice};

bool IsEeprom(MemoryType memory) { return memory == MemoryType::Eeprom8 || memory == MemoryType::Eeprom16; }

// Refuses an image that the write could not put on the chip as it is.
std::uint32_t RefuseImage(const std::string& line) {
  ThePrompt().Show(line, "Error");
  TraceFailure(kCheckScope, "Parse FW File Fail!\n");
  return image_status::kParseFwFileFail;
}

std::optional<std::string> WriteProblem(const CFirmwareImage& image, std::size_t areaOffset, const AreaContext& context,
                                        const ImageCheckOptions& options) {
  if (!options.writeMemory) return std::nullopt;
  if (IsEeprom(*options.writeMemory) && !image.config.areaAtZero) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "EEPROM image with its configuration area at 0x%zX: an EEPROM image keeps it at offset 0",
                  areaOffset);
    return std::string(line);
  }
  FlowWriteFacts facts;
  facts.memory = *options.writeMemory;
  facts.length = image.fileData.size();
  facts.romFlag = options.romFlag;
  facts.areaAtZero = image.config.areaAtZero;
  facts.tagAddress = context.tagAddress;
  if (auto conflict = FlowSetConflict(image.fileData, BytesTheFlowSets(facts))) return conflict;
  return TagWordProblem(image.fileData, facts);
}

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
  if (auto problem = WriteProblem(image, *offset, context, options)) return RefuseImage(*problem);
  if (areaOffset != nullptr) *areaOffset = *offset;
  return image_status::kPassed;
}

}  // namespace quillon
