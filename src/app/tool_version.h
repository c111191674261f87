// The short program version shown to the operator.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// Room of the version text, NUL included; longer results are cut.
inline constexpr std::size_t kToolVersionSize = 16;

// Keeps the file version up to and including its second dot, drops the third
// field and its dot and appends the fourth: "2.61.9600.32" gives "2.61.32". A
// missing second dot keeps the whole text; a missing third dot appends nothing.
std::string ToolVersionText(std::string_view fileVersion);

// What `--version` prints for each program of the project, line end included:
// "<program> 2.61.9600.32", the version its package and its run records carry,
// so that one version names one build wherever it is read.
std::string VersionLine(std::string_view program);

}  // namespace quillon
