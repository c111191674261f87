#include "data/image_match.h"

#include <algorithm>
#include <initializer_list>
#include <memory>

#include "data/config_record.h"
#include "data/ic_type_ini.h"
#include "platform/files.h"

namespace quillon {
namespace {

bool Accepted(std::span<const std::uint8_t> data, std::size_t offset, std::initializer_list<std::uint8_t> types) {
  if (offset > data.size()) return false;
  auto header = UnpackConfigHeader(data.subspan(offset));
  return header && header->HasSignature() &&
         std::find(types.begin(), types.end(), header->typeByte) != types.end();
}

bool SignedAt(std::span<const std::uint8_t> data, std::size_t offset) {
  if (offset > data.size()) return false;
  auto header = UnpackConfigHeader(data.subspan(offset));
  return header && header->HasSignature();
}

}  // namespace

std::string DeviceFirmwareName(std::string_view identity) {
  std::string name(identity.substr(0, std::min(identity.rfind('&'), identity.size())));
  name.insert(0, "FFU");
  for (std::string_view cut : {std::string_view("VID"), std::string_view("&PID")}) {
    if (auto at = name.find(cut); at != std::string::npos) name.erase(at, cut.size());
  }
  return name;
}

bool ChipCodesMatch(std::uint8_t a, std::uint8_t b, bool accept8For9) {
  if (a == b) return true;
  return accept8For9 && ((a == 8 && b == 9) || (a == 9 && b == 8));
}

bool HasAcceptedHeader(std::span<const std::uint8_t> data, std::uint32_t configAddress, HeaderSearch search) {
  using namespace area_type;
  const auto common = {kFlash, kEeprom16, kEeprom8, kMtp, kOtp};
  if (data.size() < configAddress) {
    if (search == HeaderSearch::DirectorySearch) return Accepted(data, 0, {kFlash, kEeprom16, kEeprom8, kMtp, kOtp, kFlash61});
    return Accepted(data, 0, common);
  }
  const std::size_t at = SignedAt(data, configAddress) ? configAddress : 0;
  return Accepted(data, at, common);
}

bool SelectProfileForImage(CFirmwareImage& image, std::uint8_t reg1, std::uint8_t reg2, HeaderSearch search) {
  auto list = std::make_unique<CICTypeIni>();
  list->BuildProfileList();
  const int count = static_cast<int>(list->ProfileList().size());
  for (int i = 0; i < count; ++i) {
    auto profile = std::make_unique<CICTypeIni>();
    profile->BuildProfileList();
    if (!profile->SelectProfileAndMatch(reg1, reg2, i)) continue;
    std::uint32_t configAddress = 0;
    profile->GetVendorInfo("ConfigAddress", &configAddress);
    profile->ReadProfileHeader();
    if (!HasAcceptedHeader(image.fileData, configAddress, search)) continue;

    const std::uint8_t chipCode = profile->ChipInfo();
    SetCurrentProfile(std::move(profile));
    const bool parsed = ParseImageData(image, ImageBuffer::File, CurrentAreaContext());
    if (search == HeaderSearch::CommandLine) {
      if (parsed) return true;
      continue;
    }
    return parsed && ChipCodesMatch(image.config.imageChipCode, chipCode, true);
  }
  return false;
}

bool MatchImageToProfile(CFirmwareImage& image, std::uint8_t reg1, std::uint8_t reg2) {
  if (!LoadImageFile(image)) return false;
  return SelectProfileForImage(image, reg1, reg2, HeaderSearch::DirectorySearch);
}

bool FindImageForDevice(CFirmwareImage& image, std::uint8_t reg1, std::uint8_t reg2) {
  for (const std::string& name : ListFilesWithExtension(ConfigDir(), ".rfw")) {
    if (name == "." || name == "..") continue;
    image.mainFile = name;
    if (MatchImageToProfile(image, reg1, reg2)) return true;
  }
  image.mainFile.clear();
  return false;
}

void IdentifyDeviceFirmware(CFirmwareImage& image, std::uint8_t reg1, std::uint8_t reg2, std::string_view identity) {
  FindImageForDevice(image, reg1, reg2);
  image.deviceFirmwareFile = image.mainFile;

  const CICTypeIni* profile = CurrentProfile();
  int number = 0;
  if (profile != nullptr) profile->GetBuiltinFirmwareId(DeviceFirmwareName(identity), &number);
  if (number == 0 || !LoadBuiltinImage(image, number)) LoadDefaultImage(image, profile);

  std::string text;
  ImageVersion(image.BuiltinData(), &text, &image.versionFields);
  image.versionDisplay = kVersionDisplayPrefix + text;

  image.builtin.clear();
  image.builtinLength = 0;
  image.fileData.clear();
  image.fileCopy.clear();
  image.mainFile = image.versionDisplay;
}

}  // namespace quillon
