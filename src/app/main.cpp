// quillon: the production firmware programmer.
#include <cstdio>
#include <string>
#include <vector>

#include "app/batch_mode.h"
#include "app/chip_list.h"
#include "app/quillon_app.h"
#include "app/tool_version.h"
#include "app/usage.h"
#include "app/version.h"
#include "data/settings.h"
#include "platform/files.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "sim/sim_session.h"

namespace {

int ListConnectedChips() {
  if (std::string problem = quillon::TheUsbBackend().Problem(); !problem.empty()) {
    std::fprintf(stderr, "quillon: cannot list chips: %s\n", problem.c_str());
    return 1;
  }
  // "accepted" is what the batch mode would take, which the settings decide.
  if (quillon::LoadSettings(quillon::ProgramDir().string()) == quillon::SettingsLoad::kFileUnreadable) return 1;
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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (args.size() == 2 && args[1] == "--help") {
    std::fputs(quillon::UsageText(), stdout);
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

  quillon::BatchModes modes;
  quillon::CQuillonApp app(modes);
  app.InitInstance(args);
  return app.ExitInstance();
}
