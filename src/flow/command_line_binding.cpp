#include "flow/command_line_binding.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "data/config_record.h"
#include "data/current_types.h"
#include "data/ic_type_ini.h"
#include "data/image_match.h"
#include "data/image_version.h"
#include "data/working_memory.h"
#include "flow/flow_factory.h"
#include "platform/debug_channel.h"
#include "flow/front_end.h"
#include "flow/status.h"
#include "platform/trace.h"

namespace quillon {
namespace {

constexpr TraceScope kBindScope{"CParseArg::LoadICTypeIni", 0, kTraceApp};

// Why a named file did not load, for the operator.
std::string LoadProblem(const CommandLineImage& named) {
  const std::filesystem::path path = named.path;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return "there is no such file (looked for " + TriedPathsText(named.named) + ")";
  if (std::filesystem::is_directory(path, error)) return "it is a directory";
  return "it cannot be read or is empty";
}

int RefuseLoad(const std::string& why) {
  std::fprintf(stderr, "quillon: %s\n", why.c_str());
  PostFlowMessage(WM_FLOW_FAIL, msg::kLoadFileDataFail);
  TraceFailure(kBindScope, "Load File Data Fail!\n");
  return 0;
}

// A longer image would not fit the chip's code memory: the flows would erase
// the chip and only then fail.
bool FitsWorkingMemory(std::size_t length, const std::string& name) {
  if (length <= WorkingMemorySize()) return true;
  RefuseLoad("image " + name + " is " + std::to_string(length) + " bytes; the chip's code memory holds " +
             std::to_string(WorkingMemorySize()));
  return false;
}

void NoteImage(const std::string& name, const std::vector<std::uint8_t>& data) {
  std::string version;
  if (!ImageVersion(data, &version, nullptr)) version = "unknown";
  std::fprintf(stderr, "quillon: image to write: %s, version %s\n", name.c_str(), version.c_str());
  DebugPrint("quillon: image to write: %s, version %s\n", name.c_str(), version.c_str());
}

// The built-in image for the open device, else the profile's default one.
bool LoadBuiltinForDevice(CDevFlow& flow, std::string& name) {
  CFirmwareImage& image = flow.chip.image;
  const CICTypeIni* profile = CurrentProfile();
  const std::string deviceImage = DeviceFirmwareName(flow.chip.fullIdText);
  int number = 0;
  if (profile != nullptr) profile->GetBuiltinFirmwareId(deviceImage, &number);
  name = "built-in " + deviceImage;
  if (number == 0 || !LoadBuiltinImage(image, number)) {
    LoadDefaultImage(image, profile);
    name = "built-in default image";
    if (profile != nullptr) name += " of " + profile->IcName();
  }
  MoveBuiltinToFileData(image);
  return image.fileData.size() >= kFullImageLength;
}

// An image whose area at offset 0 says EEPROM, but which the profile's area
// rules did not take as one: it would go to the flash flow, which fails on a
// chip without flash and names the wrong cause.
bool RefuseUnrecognisedEeprom(const CFirmwareImage& image, const std::string& name) {
  if (!image.config.areaAtZero || CurrentMemoryType() != MemoryType::SpiFlash) return false;
  const auto header = UnpackConfigHeader(image.fileData);
  if (!header || !header->HasSignature()) return false;
  const auto type = MemoryTypeOfTypeByte(header->typeByte);
  if (type != MemoryType::Eeprom8 && type != MemoryType::Eeprom16) return false;
  const CICTypeIni* profile = CurrentProfile();
  const std::string ic = profile != nullptr ? profile->IcName() : std::string("(none)");
  std::string why = "image " + name + " is an EEPROM image of " + std::to_string(image.fileData.size()) + " bytes, ";
  if (ic == "TQ7704") {
    why += "larger than the IC profile " + ic + " recognises as an EEPROM image (16384 bytes)";
  } else {
    why += "which the IC profile " + ic + " does not recognise as an EEPROM image";
  }
  std::fprintf(stderr, "quillon: %s\n", why.c_str());
  PostFlowMessage(WM_FLOW_FAIL, msg::kParseFwFileFail);
  TraceFailure(kBindScope, "Parse FW File Fail!\n");
  return true;
}

}  // namespace

CommandLineImage NameCommandLineImage(const std::string& fileArgument, bool toWrite) {
  CommandLineImage image;
  image.toWrite = toWrite;
  image.named = fileArgument;
  if (fileArgument == kBuiltinImageArgument) {
    image.builtin = true;
  } else {
    image.path = ResolveImageName(fileArgument).string();
  }
  return image;
}

int CheckCommandLineImage(const CommandLineImage& named) {
  if (named.builtin) return 1;
  CFirmwareImage image;
  image.mainFile = named.path;
  if (!LoadImageFile(image)) return RefuseLoad("cannot load image " + named.path + ": " + LoadProblem(named));
  if (named.toWrite && !FitsWorkingMemory(image.fileData.size(), named.path)) return 0;
  return 1;
}

int BindCommandLineImage(const CommandLineImage& named) {
  CDevFlow* flow = TheFlow();
  if (flow == nullptr) return 0;
  CFirmwareImage& image = flow->chip.image;
  std::string name = named.path;
  if (named.builtin) {
    if (!LoadBuiltinForDevice(*flow, name)) return RefuseLoad("no full built-in image for " + flow->chip.fullIdText);
  } else {
    image.mainFile = named.path;
    if (!LoadImageFile(image)) return RefuseLoad("cannot load image " + named.path + ": " + LoadProblem(named));
  }
  if (named.toWrite && !FitsWorkingMemory(image.fileData.size(), name)) return 0;

  image.config.corrupted = false;  // left from an earlier parse, e.g. the device's own firmware search
  if (!SelectProfileForImage(image, flow->chip.chipMode[0], flow->chip.chipMode[1], HeaderSearch::CommandLine)) {
    if (image.config.corrupted) {
      std::fprintf(stderr, "quillon: image %s: its configuration area is corrupted\n", name.c_str());
      PostFlowMessage(WM_FLOW_FAIL, msg::kParseFwFileFail);
      TraceFailure(kBindScope, "Parse FW File Fail!\n");
      return 0;
    }
    // No profile: the flow's own image check decides (and names the fault).
    if (named.toWrite) NoteImage(name, image.fileData);
    return named.builtin ? 0 : 1;
  }
  if (RefuseUnrecognisedEeprom(image, name)) return 0;
  if (named.toWrite) NoteImage(name, image.fileData);
  if (CurrentMemoryType() != flow->memoryType()) {
    // The image's profile names another memory than the flow object works on
    // (which an earlier listing may have chosen from another image): the new
    // object takes over the image with the rest of the flow's data.
    flow = RecreateFlow(true);
    if (flow == nullptr) return 0;
    if (!named.builtin) {
      flow->chip.image.mainFile = named.path;
      LoadImageFile(flow->chip.image);
    }
  }
  return 1;
}

int BindCommandLineImage(const std::string& fileArgument) {
  return BindCommandLineImage(NameCommandLineImage(fileArgument, true));
}

}  // namespace quillon
