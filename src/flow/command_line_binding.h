// The command line's image: the file it names (or the built-in image for the
// device when the file cannot be read), and the IC profile that fits it and the
// open device. Runs on the current flow object, which it may re-create.
#pragma once

#include <string>

namespace quillon {

// 1 when a profile fits or the named file itself loaded; 0 otherwise (41530
// when not even a full built-in image was at hand).
int BindCommandLineImage(const std::string& fileArgument);

}  // namespace quillon
