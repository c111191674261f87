#include "data/firmware_image.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "data/current_types.h"
#include "data/ic_type_ini.h"
#include "data/working_memory.h"
#include "platform/files.h"
#include "platform/resources.h"

namespace quillon {
namespace {
constexpr std::size_t kMipiBufferSize = 0x20000;
}  // namespace

bool LoadImageFile(CFirmwareImage& image) {
  if (image.mainFile.empty()) return false;
  std::filesystem::path path(image.mainFile);
  if (image.mainFile.find('/') == std::string::npos) path = ConfigDir() / path;
  std::error_code error;
  path = std::filesystem::absolute(path, error);
  if (error || !std::filesystem::is_regular_file(path, error)) return false;
  image.mainFile = path.string();

  image.fileData.clear();
  image.fileCopy.clear();
  auto data = ReadWholeFile(path);
  if (!data || data->empty()) return false;
  image.fileData = std::move(*data);
  image.fileCopy = image.fileData;
  return true;
}

std::vector<std::filesystem::path> ImageNameCandidates(const std::string& name) {
  auto absolute = [](const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path full = std::filesystem::absolute(path, error);
    return error ? path : full;
  };
  std::vector<std::filesystem::path> candidates{absolute(name)};
  if (name.find('/') == std::string::npos) {
    std::filesystem::path inProgramDir = absolute(ConfigDir() / name);
    if (inProgramDir != candidates.front()) candidates.push_back(std::move(inProgramDir));
  }
  return candidates;
}

std::filesystem::path ResolveImageName(const std::string& name) {
  const auto candidates = ImageNameCandidates(name);
  std::error_code error;
  if (candidates.size() > 1 && !std::filesystem::exists(candidates.front(), error)) return candidates[1];
  return candidates.front();
}

std::string TriedPathsText(const std::string& name) {
  std::string text;
  const auto candidates = ImageNameCandidates(name);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    text += (i == 0 ? "" : " and ") + candidates[i].string();
  }
  return text;
}

bool LoadBuiltinImage(CFirmwareImage& image, int number) {
  auto resource = FindResource(number, "BINARY");
  if (!resource) return false;
  std::size_t size = WorkingMemorySize();
  if (CurrentBusType() == BusType::Mipi) {
    size = kMipiBufferSize;
    SetWorkingMemorySize(kMipiBufferSize);
  }
  // A working memory set smaller than the image must not cut it.
  size = std::max(size, resource->size());
  image.builtin.assign(size, 0xFF);
  std::copy(resource->begin(), resource->end(), image.builtin.begin());
  image.builtinLength = resource->size();
  return true;
}

void LoadDefaultImage(CFirmwareImage& image, const CICTypeIni* profile) {
  int number = 0;
  if (profile != nullptr && !profile->ProfileList().empty() && profile->GetDefaultFirmwareId(&number)) {
    if (image.furtherFiles[0].empty() && image.furtherFiles[1].empty()) LoadBuiltinImage(image, number);
    return;
  }
  const std::size_t used = std::min(image.builtinLength, image.builtin.size());
  std::fill_n(image.builtin.begin(), used, 0xFF);
  image.builtinLength = 0;
}

void MoveBuiltinToFileData(CFirmwareImage& image) {
  auto data = image.BuiltinData();
  image.fileData.assign(data.begin(), data.end());
  image.fileCopy = image.fileData;
  image.builtin.clear();
  image.builtinLength = 0;
}

bool ParseImageData(CFirmwareImage& image, ImageBuffer which, const AreaContext& context) {
  if (which == ImageBuffer::Builtin) {
    image.builtinArea = LocateConfigArea(context, image.BuiltinData(), image.config);
    return image.builtinArea.has_value();
  }
  image.fileArea = LocateConfigArea(context, image.fileData, image.config);
  return image.fileArea.has_value();
}

}  // namespace quillon
