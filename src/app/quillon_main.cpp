#include "app/quillon_main.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/batch_mode.h"
#include "app/chip_list.h"
#include "app/gang_mode.h"
#include "app/history_commands.h"
#include "app/parse_arg.h"
#include "app/quillon_app.h"
#include "app/record_check.h"
#include "app/run_commit.h"
#include "app/record_copy_option.h"
#include "app/tool_version.h"
#include "app/usage.h"
#include "app/version.h"
#include "data/settings.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "proxy/backend_factory.h"
#include "proxy/library.h"
#include "proxy/location_filter.h"
#include "platform/run_locks.h"
#include "sim/sim_session.h"

namespace quillon {
namespace {

int ListConnectedChips(bool json) {
  if (std::string problem = TheUsbBackend().Problem(); !problem.empty()) {
    std::fprintf(stderr, "quillon: cannot list chips: %s\n", problem.c_str());
    return 1;
  }
  // "accepted" is what the batch mode would take, which the settings decide.
  if (LoadSettings(ProgramDir().string()) == SettingsLoad::kFileUnusable) return 1;
  if (!LibraryStartup()) {
    std::fprintf(stderr, "quillon: cannot list chips: the USB library did not start\n");
    return 1;
  }
  int listed = ListChips(stdout, json);
  LibraryShutdown();
  if (listed < 0) {
    std::fprintf(stderr, "quillon: cannot list chips: the bus could not be read\n");
    return 1;
  }
  return 0;
}

// The batch mode, and the operator's window when this program carries it.
class AppModes final : public RunModes {
 public:
  explicit AppModes(WindowRunner runWindow) : runWindow_(runWindow) {}
  void RunBatch(const std::vector<std::string>& args) override { batch_.RunBatch(args); }
  void RunWindow() override {
    if (runWindow_ != nullptr) {
      runWindow_(ToolVersionText(kFileVersion));
    } else {
      batch_.RunWindow();
    }
  }
  std::optional<int> ExitCode() const override { return batch_.ExitCode(); }

 private:
  WindowRunner runWindow_;
  BatchModes batch_;
};

// Replaces this process with the window program beside it, with the same
// arguments and environment; returns only when that program cannot be started.
void HandOverToWindowProgram(const std::vector<std::string>& args) {
  const std::string path = (ExecutableDir() / kWindowProgram).string();
  std::vector<std::string> copies = args;
  copies[0] = path;
  std::vector<char*> argv;
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  ::execv(path.c_str(), argv.data());
  DebugPrint("%s cannot be started: %s\n", path.c_str(), std::strerror(errno));
}

// The window is a station panel with the setting "Gang", or when the bus
// holds more than one accepted chip.
bool StationPanelWanted() {
  if (LoadSettings(ProgramDir().string(), false) == SettingsLoad::kFileUnusable) return false;
  return Setting(key::kGang, 0) != 0 || ListChipsAfresh().size() > 1;
}

}  // namespace

std::vector<GangChip> ListChipsAfresh() {
  std::string error;
  auto backend = sim::MakeBackendFromEnvironment(error, {sim::SimScope::kReadOnly, {}});
  if (!backend) return {};
  ScopedUsbBackend usb(std::move(backend));
  const bool started = LibraryStarted();
  if (!started && !LibraryStartup()) return {};
  std::vector<GangChip> chips = ListAcceptedChips();
  if (!started) LibraryShutdown();
  return chips;
}

int QuillonMain(std::vector<std::string> args, ProgramKind kind) {
  // A record that outgrows a file-size limit is a failed append the run
  // reports, never a death with half a line written.
  std::signal(SIGXFSZ, SIG_IGN);
  if (args.size() == 2 && args[1] == "--help") {
    std::fputs(UsageText(), stdout);
    return 0;
  }
  if (args.size() == 2 && args[1] == "--version") {
    std::fputs(VersionLine(kind.name).c_str(), stdout);
    return 0;
  }
  const std::vector<std::string> asGiven = args;
  // Before anything a batch run does first (emptying Result.txt): these only read the history.
  if (auto exitCode = RunHistoryCommand(args)) return *exitCode;
  if (RecordCopyOption option = TakeRecordCopyOption(args); !option.problem.empty()) {
    std::fprintf(stderr, "quillon: %s; see quillon --help\n", option.problem.c_str());
    return 1;
  } else {
    SetRecordCopyInstruction(std::move(option.instruction));
  }
  // Before any lock or chip is taken: the window program takes its own.
  if (kind.runWindow == nullptr && IsWindowMode(ArgumentPart(args))) HandOverToWindowProgram(asGiven);
  const bool listing = (args.size() == 2 || (args.size() == 3 && args[2] == "--json")) && args[1] == "--list";
  const bool gang = IsGangCommand(args);
  const char* gangLocation = std::getenv(kGangLocationEnv);
  const bool worker = !gang && gangLocation != nullptr && *gangLocation != '\0';
  // Taken before the simulator's state is opened: a run waiting for another
  // kind of run must not hold the chips' state meanwhile.
  RunLocks runLocks;
  sim::SimSessionOptions simOptions;
  const bool batch = !listing && !worker && !IsWindowMode(ArgumentPart(args));
  // The panel only looks at the bus; its workers hold the chips they write.
  if (!listing && !worker && !gang && !batch && kind.runWindow != nullptr && StationPanelWanted()) {
    SetStationPanelLister(&ListChipsAfresh);
    simOptions.scope = sim::SimScope::kReadOnly;
  }
  struct EndRunAtReturn {
    bool active = false;
    ~EndRunAtReturn() {
      if (active) EndProcessRun();
    }
  } endRun;
  if (batch || gang) {
    // The run is under way before Result.txt is emptied: a run of the station
    // ending meanwhile then leaves no "pass" in it.
    BeginProcessRun();
    endRun.active = true;
    EmptyLeftoverResultFile(ProgramDir() / kResultFileName);
  }
  const std::uint32_t waitMs = RunLockWaitMs();
  if (gang) {
    if (runLocks.HoldForGang(waitMs) != RunLockResult::kHeld) {
      std::fprintf(stderr, "quillon: single-chip runs did not end in time; the gang did not start\n");
      return 1;
    }
    simOptions.scope = sim::SimScope::kReadOnly;
  } else if (worker) {
    switch (runLocks.HoldForGangWorker(gangLocation)) {
      case RunLockResult::kHeld: break;
      case RunLockResult::kBusy:
        std::fprintf(stderr, "quillon: chip %s is being written by another run\n", gangLocation);
        return kGangBusyExit;
      case RunLockResult::kFailed:
        std::fprintf(stderr, "quillon: the gang's command lock was not obtained\n");
        return 1;
    }
    simOptions = {sim::SimScope::kOneChip, gangLocation};
  } else if (batch) {
    // Waits for a running gang; each command sequence then takes the command lock as always.
    bool told = false;
    auto tell = [&told] {
      if (!told) std::fprintf(stderr, "quillon: waiting for another run on this station (a gang) to finish\n");
      told = true;
    };
    if (runLocks.HoldForSingleRun(waitMs, tell) != RunLockResult::kHeld) {
      // Carrying on would interleave with the gang's commands on a shared bus.
      std::fprintf(stderr, "quillon: a gang run did not end in time; this run did not start\n");
      return 1;
    }
  }
  std::string error;
  auto backend = sim::MakeBackendFromEnvironment(error, simOptions);
  if (!backend) {
    std::fprintf(stderr, "quillon: %s\n", error.c_str());
    return 1;
  }
  if (worker) backend = FilterToLocation(std::move(backend), gangLocation);
  ScopedUsbBackend usb(std::move(backend));
  if (listing) return ListConnectedChips(args.size() == 3);
  if (gang) return RunGang(args);

  AppModes modes(kind.runWindow);
  CQuillonApp app(modes);
  app.InitInstance(args);
  return app.ExitInstance();
}

}  // namespace quillon
