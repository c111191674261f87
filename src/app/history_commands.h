// The station-history commands of the command line: --history, --report and
// --flush-results, each with its own options.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon {

// The exit code when `args` (the whole command line) is one of these
// commands; nothing when it is not.
std::optional<int> RunHistoryCommand(const std::vector<std::string>& args);

}  // namespace quillon
