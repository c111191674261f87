#include "data/accepted_devices.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/files.h"
#include "platform/resources.h"

namespace quillon {
namespace {

std::string_view Trim(std::string_view text) {
  auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  return ToUpperAscii(text).find(ToUpperAscii(part)) != std::string::npos;
}

}  // namespace

bool ListFileAccepts(std::string_view listText, std::string_view idText) {
  std::size_t start = 0;
  while (start < listText.size()) {
    std::size_t end = listText.find('\n', start);
    if (end == std::string_view::npos) end = listText.size();
    const std::string_view line = Trim(listText.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && ContainsIgnoringCase(idText, line) && ContainsIgnoringCase(line, "REV")) return true;
  }
  return false;
}

bool ListAcceptsIgnoringRevision(std::string_view listText, std::string_view idText) {
  std::size_t start = 0;
  while (start < listText.size()) {
    std::size_t end = listText.find('\n', start);
    if (end == std::string_view::npos) end = listText.size();
    std::string_view line = Trim(listText.substr(start, end - start));
    start = end + 1;
    if (line.empty()) continue;
    // VID_hhhh&PID_hhhh&REV_hhhh loses "&REV_hhhh": the character before "REV" and all after it.
    if (std::size_t rev = line.find("REV"); rev != std::string_view::npos) line = line.substr(0, rev == 0 ? 0 : rev - 1);
    if (line.empty()) continue;
    if (ContainsIgnoringCase(idText, line)) return true;
  }
  return false;
}

bool IsInBuiltInVidPidList(std::string_view idText) {
  auto list = FindTextResource(kAcceptedListResource);
  return list && ListAcceptsIgnoringRevision(*list, idText);
}

}  // namespace quillon
