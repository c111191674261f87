#include "flow/command_line_binding.h"

#include "data/current_types.h"
#include "data/ic_type_ini.h"
#include "data/image_match.h"
#include "flow/flow_factory.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "platform/trace.h"

namespace quillon {
namespace {
constexpr TraceScope kBindScope{"CParseArg::LoadICTypeIni", 0, kTraceApp};
}  // namespace

int BindCommandLineImage(const std::string& fileArgument) {
  CDevFlow* flow = TheFlow();
  if (flow == nullptr) return 0;
  CFirmwareImage& image = flow->image;
  image.mainFile = fileArgument;
  const bool loaded = LoadImageFile(image);
  if (!loaded) {
    const CICTypeIni* profile = CurrentProfile();
    int number = 0;
    if (profile != nullptr) profile->GetBuiltinFirmwareId(DeviceFirmwareName(flow->fullIdText), &number);
    if (number == 0 || !LoadBuiltinImage(image, number)) LoadDefaultImage(image, profile);
    MoveBuiltinToFileData(image);
    if (image.fileData.size() < kFullImageLength) {
      PostFlowMessage(WM_FLOW_FAIL, msg::kLoadFileDataFail);
      TraceFailure(kBindScope, "Load File Data Fail!\n");
      TheFrontEnd().ConsoleWrite("Load File Data Fail!\n");
      return 0;
    }
  }
  if (!SelectProfileForImage(image, flow->chipMode[0], flow->chipMode[1], HeaderSearch::CommandLine)) {
    return loaded ? 1 : 0;
  }
  if (CurrentMemoryType() != MemoryType::SpiFlash) {
    flow = RecreateFlow(true);
    if (flow == nullptr) return 0;
    flow->image.mainFile = fileArgument;
    LoadImageFile(flow->image);
  }
  return 1;
}

}  // namespace quillon
