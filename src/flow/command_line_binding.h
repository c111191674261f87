// The command line's image: the file it names, or the built-in image for the
// device when the operator asks for it by name, and the IC profile that fits
// it and the open device. Runs on the current flow object, which it may
// re-create. A named image that cannot be used is refused before any chip is
// written; nothing else is ever written in its place.
#pragma once

#include <string>

namespace quillon {

// The file argument that asks for the built-in image of the device.
inline constexpr const char* kBuiltinImageArgument = "builtin";

struct CommandLineImage {
  std::string path;      // absolute path of the named file; empty for the built-in image
  bool builtin = false;  // the built-in image for the device
  bool toWrite = false;  // the image is to be written (size limit, the note on stderr)
  std::string named;     // the file argument as given
};

// What the file argument names (see ResolveImageName for a bare file name).
CommandLineImage NameCommandLineImage(const std::string& fileArgument, bool toWrite);

// Before any chip is opened: the named file must load (41530 otherwise) and,
// when it is to be written, fit the working memory (41530 too). 1 or 0.
int CheckCommandLineImage(const CommandLineImage& image);

// With the device open: loads the image into the flow, refuses a corrupted
// configuration area (41531) and chooses the profile. 1 when a profile fits or
// the named file loaded; 0 otherwise.
int BindCommandLineImage(const CommandLineImage& image);
// The same for the image `fileArgument` names, to be written.
int BindCommandLineImage(const std::string& fileArgument);

}  // namespace quillon
