#include "app/tool_version.h"

#include "app/version.h"

namespace quillon {

std::string ToolVersionText(std::string_view fileVersion) {
  std::string text;
  std::size_t first = fileVersion.find('.');
  std::size_t second = first == std::string_view::npos ? first : fileVersion.find('.', first + 1);
  if (second == std::string_view::npos) {
    text = fileVersion;
  } else {
    text = fileVersion.substr(0, second + 1);
    std::size_t third = fileVersion.find('.', second + 1);
    if (third != std::string_view::npos) text += fileVersion.substr(third + 1);
  }
  if (text.size() > kToolVersionSize - 1) text.resize(kToolVersionSize - 1);
  return text;
}

std::string VersionLine(std::string_view program) {
  return std::string(program) + " " + kFileVersion + "\n";
}

}  // namespace quillon
