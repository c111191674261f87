// Window mode: the operator's window, shown modally until it is closed.
#pragma once

#include <string>

namespace quillon {

// Runs the window on the calling thread; the outcome is in the last status.
// Without a display it says so on stderr and reports "Not Support!".
void RunOperatorWindow(const std::string& toolVersionText);

}  // namespace quillon
