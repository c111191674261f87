#include "app/progress_line.h"

#include <algorithm>
#include <cstdlib>

#include <unistd.h>

namespace quillon {

ProgressLine ProgressLine::ForStderr() {
  const char* gangChip = std::getenv("QUILLON_GANG_LOCATION");
  if (gangChip != nullptr && *gangChip != '\0') return ProgressLine(stderr, false, gangChip);
  return ProgressLine(stderr, isatty(fileno(stderr)) != 0);
}

void ProgressLine::Show(std::uint32_t percent) {
  const int value = static_cast<int>(std::min<std::uint32_t>(percent, 100));
  if (value < last_) {
    Break();
    lastTenth_ = 0;
  }
  if (value == last_) return;
  last_ = value;
  if (terminal_) {
    std::fprintf(out_, "\rProgress: %3d%%", value);
    open_ = true;
    if (value == 100) Break();
  } else if (value / 10 * 10 > lastTenth_) {
    lastTenth_ = value / 10 * 10;
    if (chip_.empty()) {
      std::fprintf(out_, "Progress: %d%%\n", lastTenth_);
    } else {
      std::fprintf(out_, "Progress %s: %d%%\n", chip_.c_str(), lastTenth_);
    }
  }
  std::fflush(out_);
}

std::optional<int> GangProgressPercent(std::string_view line, std::string_view location) {
  const std::string prefix = "Progress " + std::string(location) + ": ";
  if (location.empty() || line.substr(0, prefix.size()) != prefix) return std::nullopt;
  std::string_view rest = line.substr(prefix.size());
  int value = 0;
  std::size_t digits = 0;
  while (digits < rest.size() && digits < 3 && rest[digits] >= '0' && rest[digits] <= '9') {
    value = value * 10 + (rest[digits] - '0');
    ++digits;
  }
  if (digits == 0 || rest.substr(digits) != "%" || value > 100) return std::nullopt;
  return value;
}

void ProgressLine::Break() {
  if (open_) {
    std::fputc('\n', out_);
    std::fflush(out_);
  }
  open_ = false;
  last_ = -1;
}

}  // namespace quillon
