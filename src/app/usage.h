// The usage text of `quillon --help`, also shown for a command line that
// does not parse.
#pragma once

namespace quillon {

const char* UsageText();

}  // namespace quillon
