// The application: start-up, the choice between batch and window mode, and
// shutdown with the exit code taken from the last reported status.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/debug_capture.h"

namespace quillon {

// Batch mode when the argument part is not empty and is not "/forcerestart"
// (in any letter case).
bool IsWindowMode(const std::string& argumentPart);

// The argument part of a command line: the arguments after the program,
// joined by single blanks.
std::string ArgumentPart(const std::vector<std::string>& args);

struct OsVersionInfo {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t host64 = 0;  // a 32-bit process on a 64-bit host; never on this build
};

// The two ways to run, as the later layers provide them.
class RunModes {
 public:
  virtual ~RunModes() = default;
  // One batch operation; `args` holds the program path first.
  virtual void RunBatch(const std::vector<std::string>& args) = 0;
  virtual void RunWindow() = 0;
  // The exit code the mode decided itself; nothing leaves it to the last status.
  virtual std::optional<int> ExitCode() const { return std::nullopt; }
};

// The modes of a build that has neither the batch operations nor the window:
// each says so on stderr and reports "Not Support!", so a script never takes
// the run for a success.
class UnavailableModes final : public RunModes {
 public:
  void RunBatch(const std::vector<std::string>& args) override;
  void RunWindow() override;
};

class CQuillonApp {
 public:
  explicit CQuillonApp(RunModes& modes) : modes_(modes) {}

  // The whole start-up and the chosen mode; always false (no message loop follows).
  bool InitInstance(const std::vector<std::string>& args);
  // The shutdown; returns the exit code (the mode's own, else 1 when the last
  // status is not 0) and stores it as the last status.
  int ExitInstance();

  void PrepareSharedObjects();
  void ReleaseSharedObjects();

  const std::string& toolVersionText() const { return toolVersionText_; }
  const OsVersionInfo* osVersionInfo() const { return osVersionInfo_.get(); }
  bool windowMode() const { return windowMode_; }

 private:
  RunModes& modes_;
  std::string toolVersionText_;
  std::unique_ptr<OsVersionInfo> osVersionInfo_;
  DebugCapture capture_;
  bool windowMode_ = false;
};

}  // namespace quillon
