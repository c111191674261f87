// The batch mode's progress on stderr: on a terminal one line rewritten in
// place, otherwise one line per 10 %, so that a script's log stays short.
// stdout keeps only the batch mode's own texts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quillon {

class ProgressLine {
 public:
  // `chip` names the chip in every line (gang workers share one stderr).
  ProgressLine(std::FILE* out, bool terminal, std::string chip = {})
      : out_(out), terminal_(terminal), chip_(std::move(chip)) {}
  // On stderr, rewriting in place when stderr is a terminal; in a gang worker
  // one line per 10 % with the chip's location, since the workers share it.
  static ProgressLine ForStderr();

  // A new value of the running operation (0 to 100); a value below the last
  // one starts a new operation.
  void Show(std::uint32_t percent);
  // Ends a line left open on the terminal, so that other output starts on its own.
  void Break();

 private:
  std::FILE* out_;
  bool terminal_;
  std::string chip_;
  bool open_ = false;
  int last_ = -1;       // the last value shown
  int lastTenth_ = 0;   // the last multiple of 10 written as a line
};

// The percentage of a gang worker's progress line for the chip at `location`
// ("Progress 1-2: 40%"); nullopt for any other line.
std::optional<int> GangProgressPercent(std::string_view line, std::string_view location);

}  // namespace quillon
