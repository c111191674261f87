// The batch mode: one operation from the command line on the main thread,
// its console lines and result files; the window is not part of this build.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/parse_arg.h"
#include "app/quillon_app.h"

namespace quillon {

class BatchModes final : public RunModes {
 public:
  // Parse; when an operation is to run: console, preparation, execution, and
  // the device closed in every case.
  void RunBatch(const std::vector<std::string>& args) override;
  void RunWindow() override { UnavailableModes().RunWindow(); }
  // After a batch run: 0 exactly when the asked operation passed and every
  // result file the settings ask for was written.
  std::optional<int> ExitCode() const override;

  CParseArg& parseArg() { return parseArg_; }

 private:
  CParseArg parseArg_;
  std::optional<bool> passed_;
};

// The environment variable that gives a run its serial number.
inline constexpr const char* kSerialEnvironment = "QUILLON_SERIAL";
// The serial number a run puts into its unit ("SaveSN"): `typed` for this
// unit when there is one, else the environment's; nullopt without either.
std::optional<std::string> UnitSerialFor(const std::string& typed);

// The command line as the batch mode's "-f" test sees it: the arguments after
// the program, joined by blanks.
std::string FullCommandLine(const std::vector<std::string>& args);

}  // namespace quillon
