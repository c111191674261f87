// The whole quillon command line, shared by the command-line program and the
// window program: they differ only in whether the window is part of them.
#pragma once

#include <string>
#include <vector>

#include "app/gang_mode.h"

namespace quillon {

// Draws the operator's window until it is closed; the outcome is in the last status.
using WindowRunner = void (*)(const std::string& toolVersionText);

// The program beside quillon that carries the window (its own package, so that
// a headless station installs no window toolkit).
inline constexpr const char* kWindowProgram = "quillon-window";

struct ProgramKind {
  const char* name;          // for --version
  WindowRunner runWindow;    // nullptr: hand window mode over to kWindowProgram
};

// The accepted chips on the bus as it is now, looked at without holding it
// (the station panel's workers write the chips meanwhile).
std::vector<GangChip> ListChipsAfresh();

// Runs one command line (`args` holds the program path first); returns the exit code.
int QuillonMain(std::vector<std::string> args, ProgramKind kind);

}  // namespace quillon
