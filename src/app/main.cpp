// quillon: the production firmware programmer.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/batch_mode.h"
#include "app/chip_list.h"
#include "app/gang_mode.h"
#include "app/history_commands.h"
#include "app/parse_arg.h"
#include "app/quillon_app.h"
#include "app/record_check.h"
#include "app/record_copy_option.h"
#include "app/tool_version.h"
#include "app/usage.h"
#include "app/version.h"
#include "data/settings.h"
#include "platform/files.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "proxy/location_filter.h"
#include "platform/run_locks.h"
#include "sim/sim_session.h"
#ifdef QUILLON_HAS_WINDOW
#include "ui/run_window.h"
#endif

namespace {

int ListConnectedChips(bool json) {
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
  int listed = quillon::ListChips(stdout, json);
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
  std::optional<int> ExitCode() const override { return batch_.ExitCode(); }

 private:
  quillon::BatchModes batch_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (args.size() == 2 && args[1] == "--help") {
    std::fputs(quillon::UsageText(), stdout);
    return 0;
  }
  if (args.size() == 2 && args[1] == "--version") {
    std::fputs(quillon::VersionLine("quillon").c_str(), stdout);
    return 0;
  }
  // Before anything a batch run does first (emptying Result.txt): these only read the history.
  if (auto exitCode = quillon::RunHistoryCommand(args)) return *exitCode;
  if (quillon::RecordCopyOption option = quillon::TakeRecordCopyOption(args); !option.problem.empty()) {
    std::fprintf(stderr, "quillon: %s; see quillon --help\n", option.problem.c_str());
    return 1;
  } else {
    quillon::SetRecordCopyInstruction(std::move(option.instruction));
  }
  const bool listing = (args.size() == 2 || (args.size() == 3 && args[2] == "--json")) && args[1] == "--list";
  const bool gang = quillon::IsGangCommand(args);
  const char* gangLocation = std::getenv(quillon::kGangLocationEnv);
  const bool worker = !gang && gangLocation != nullptr && *gangLocation != '\0';
  // Taken before the simulator's state is opened: a run waiting for another
  // kind of run must not hold the chips' state meanwhile.
  quillon::RunLocks runLocks;
  quillon::sim::SimSessionOptions simOptions;
  const bool batch = !listing && !worker && !quillon::IsWindowMode(quillon::ArgumentPart(args));
  if (batch) quillon::EmptyLeftoverResultFile(quillon::ProgramDir() / quillon::kResultFileName);
  const std::uint32_t waitMs = quillon::RunLockWaitMs();
  if (gang) {
    if (runLocks.HoldForGang(waitMs) != quillon::RunLockResult::kHeld) {
      std::fprintf(stderr, "quillon: single-chip runs did not end in time; the gang did not start\n");
      return 1;
    }
    simOptions.scope = quillon::sim::SimScope::kReadOnly;
  } else if (worker) {
    switch (runLocks.HoldForGangWorker(gangLocation)) {
      case quillon::RunLockResult::kHeld: break;
      case quillon::RunLockResult::kBusy:
        std::fprintf(stderr, "quillon: chip %s is being written by another run\n", gangLocation);
        return quillon::kGangBusyExit;
      case quillon::RunLockResult::kFailed:
        std::fprintf(stderr, "quillon: the gang's command lock was not obtained\n");
        return 1;
    }
    simOptions = {quillon::sim::SimScope::kOneChip, gangLocation};
  } else if (batch) {
    // Waits for a running gang; each command sequence then takes the command lock as always.
    bool told = false;
    auto tell = [&told] {
      if (!told) std::fprintf(stderr, "quillon: waiting for another run on this station (a gang) to finish\n");
      told = true;
    };
    if (runLocks.HoldForSingleRun(waitMs, tell) != quillon::RunLockResult::kHeld) {
      // Carrying on would interleave with the gang's commands on a shared bus.
      std::fprintf(stderr, "quillon: a gang run did not end in time; this run did not start\n");
      return 1;
    }
  }
  std::string error;
  auto backend = quillon::sim::MakeBackendFromEnvironment(error, simOptions);
  if (!backend) {
    std::fprintf(stderr, "quillon: %s\n", error.c_str());
    return 1;
  }
  if (worker) backend = quillon::FilterToLocation(std::move(backend), gangLocation);
  quillon::ScopedUsbBackend usb(std::move(backend));
  if (listing) return ListConnectedChips(args.size() == 3);
  if (gang) return quillon::RunGang(args);

  AppModes modes;
  quillon::CQuillonApp app(modes);
  app.InitInstance(args);
  return app.ExitInstance();
}
