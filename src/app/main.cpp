// quillon: the production firmware programmer.
#include <cstdio>
#include <string>
#include <vector>

#include "app/quillon_app.h"
#include "app/tool_version.h"
#include "app/version.h"

namespace {

constexpr const char* kHelp =
    "Usage:\n"
    "  quillon                      open the operator's window\n"
    "  quillon /forcerestart        the same\n"
    "  quillon -f -write FILE [-d N]    write the image FILE into the chip's memory\n"
    "  quillon -f -erase [-d N]         erase the chip's memory\n"
    "  quillon -f -verify FILE [-d N]   compare the chip's memory with the image FILE\n"
    "  quillon -f -version [-d N]       print the running firmware version\n"
    "  quillon -f -detect FILE [-d N]   report the OTP usage for the image FILE\n"
    "  quillon -f -dumpotp FILE [-d N]  read the OTP content into FILE\n"
    "  quillon -f -dumpspi FILE [-d N]  read 64 KB of SPI flash into FILE\n"
    "  quillon -f IMAGE.rfw             write IMAGE.rfw\n"
    "  quillon --help                   this text\n"
    "  quillon --version                the program version\n"
    "\n"
    "The exit code is 0 when the operation passed and 1 otherwise.\n"
    "Environment: QUILLON_HOME (program directory: settings, result files, *.INI, *.rfw),\n"
    "QUILLON_SETTINGS (a settings file instead of the built-in settings),\n"
    "QUILLON_DEBUG=1 (echo every debug line to stderr).\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (args.size() == 2 && args[1] == "--help") {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (args.size() == 2 && args[1] == "--version") {
    std::printf("quillon %s (%s)\n", quillon::ToolVersionText(quillon::kFileVersion).c_str(), quillon::kFileVersion);
    return 0;
  }
  quillon::UnavailableModes modes;
  quillon::CQuillonApp app(modes);
  app.InitInstance(args);
  return app.ExitInstance();
}
