// The image record: the firmware image files and built-in image of one flow
// object, what was found in their configuration area, and their version; and
// how images are loaded into it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "data/config_image.h"
#include "data/image_version.h"

namespace quillon {

class CICTypeIni;

inline constexpr const char* kVersionDisplayPrefix = "Update FW version:";
// Built-in images must be at least this long to be written as a file image.
inline constexpr std::size_t kFullImageLength = 0x10000;

struct CFirmwareImage {
  std::string mainFile;
  // The download worker's second and third image.
  std::array<std::string, 2> furtherFiles;
  std::vector<std::uint8_t> fileData;  // exactly the file's bytes
  std::vector<std::uint8_t> builtin;   // working-memory sized, 0xFF behind the data
  std::size_t builtinLength = 0;
  std::vector<std::uint8_t> fileCopy;

  ConfigAreaResults config;
  // Offsets of the configuration area found by ParseImageData.
  std::optional<std::size_t> builtinArea;
  std::optional<std::size_t> fileArea;

  // The ".rfw" file that device identification found for the device (empty
  // when none matched); mainFile then holds the version display text.
  std::string deviceFirmwareFile;
  std::string versionDisplay;
  VersionFields versionFields{};

  std::span<const std::uint8_t> BuiltinData() const {
    return std::span(builtin).first(std::min(builtinLength, builtin.size()));
  }
};

// Loads the main image file. A name without "/" is taken from the program
// directory, any other against the current directory; the name becomes the
// full path. A name that is empty, missing or a directory fails and keeps the
// old data; an empty or unreadable file fails with the data released.
bool LoadImageFile(CFirmwareImage& image);

// Where an image name given on the command line points: a name with a "/" as
// given (against the current directory); a bare name in the current directory
// when it is there, else in the program directory. Always an absolute path.
std::filesystem::path ResolveImageName(const std::string& name);
// The absolute paths ResolveImageName considers for `name`, in its order.
std::vector<std::filesystem::path> ImageNameCandidates(const std::string& name);
// "A" or "A and B": the places an image name was looked for, for a message.
std::string TriedPathsText(const std::string& name);

// Loads built-in image `number` into the built-in buffer (0x20000 bytes on a
// MIPI bus, else the working memory size, never less than the image). False
// and nothing changed when there is no such image.
bool LoadBuiltinImage(CFirmwareImage& image, int number);

// Loads the profile's default built-in image when no further image file is
// named; without a profile list or default, empties the built-in buffer.
void LoadDefaultImage(CFirmwareImage& image, const CICTypeIni* profile);

// Moves the built-in image into the file-data slot (what the command-line
// binding writes when its file cannot be read).
void MoveBuiltinToFileData(CFirmwareImage& image);

enum class ImageBuffer { Builtin, File };

// Finds the configuration area of the built-in buffer or the file data and
// keeps its offset and results in the record.
bool ParseImageData(CFirmwareImage& image, ImageBuffer which, const AreaContext& context);

}  // namespace quillon
