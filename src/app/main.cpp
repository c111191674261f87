// quillon: the production firmware programmer.
#include <cstdio>
#include <string>
#include <vector>

#include "app/batch_mode.h"
#include "app/chip_list.h"
#include "app/quillon_app.h"
#include "app/tool_version.h"
#include "app/version.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "sim/sim_session.h"
#ifdef QUILLON_HAS_WINDOW
#include "ui/run_window.h"
#endif

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
    "  quillon --list                   every connected chip: location, identity, transports, accepted\n"
    "  quillon --help                   this text\n"
    "  quillon --version                the program version\n"
    "\n"
    "The exit code is 0 when the operation passed and 1 otherwise.\n"
    "Environment: QUILLON_HOME (program directory: settings, result files, *.INI, *.rfw),\n"
    "QUILLON_SETTINGS (a settings file instead of the built-in settings),\n"
    "QUILLON_DEBUG=1 (echo every debug line to stderr),\n"
    "QUILLON_SIM=STATE (use the simulated chips of STATE, made by quillon-sim, instead of USB),\n"
    "QUILLON_SIM_TRACE=FILE (append every control transfer to the simulated chips to FILE),\n"
    "QUILLON_RESULT_JSON=FILE (append one JSON line per run to FILE; setting ResultJson does the same).\n";

int ListConnectedChips() {
  if (std::string problem = quillon::TheUsbBackend().Problem(); !problem.empty()) {
    std::fprintf(stderr, "quillon: cannot list chips: %s\n", problem.c_str());
    return 1;
  }
  if (!quillon::LibraryStartup()) {
    std::fprintf(stderr, "quillon: cannot list chips: the USB library did not start\n");
    return 1;
  }
  int listed = quillon::ListChips(stdout);
  quillon::LibraryShutdown();
  if (listed < 0) {
    std::fprintf(stderr, "quillon: cannot list chips: the bus could not be read\n");
    return 1;
  }
  return 0;
}

// The batch mode, and the operator's window when this build has one.
class AppModes final : public quillon::RunModes {
 public:
  void RunBatch(const std::vector<std::string>& args) override { batch_.RunBatch(args); }
  void RunWindow() override {
#ifdef QUILLON_HAS_WINDOW
    quillon::RunOperatorWindow(quillon::ToolVersionText(quillon::kFileVersion));
#else
    batch_.RunWindow();
#endif
  }

 private:
  quillon::BatchModes batch_;
};

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
  std::string error;
  auto backend = quillon::sim::MakeBackendFromEnvironment(error);
  if (!backend) {
    std::fprintf(stderr, "quillon: %s\n", error.c_str());
    return 1;
  }
  quillon::ScopedUsbBackend usb(std::move(backend));
  if (args.size() == 2 && args[1] == "--list") return ListConnectedChips();

  AppModes modes;
  quillon::CQuillonApp app(modes);
  app.InitInstance(args);
  return app.ExitInstance();
}
