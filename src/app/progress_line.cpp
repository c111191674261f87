#include "app/progress_line.h"

#include <algorithm>

#include <unistd.h>

namespace quillon {

ProgressLine ProgressLine::ForStderr() { return ProgressLine(stderr, isatty(fileno(stderr)) != 0); }

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
    std::fprintf(out_, "Progress: %d%%\n", lastTenth_);
  }
  std::fflush(out_);
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
