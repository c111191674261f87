#include "app/batch_mode.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <span>

#include "app/batch_run_report.h"
#include "app/gang_mode.h"
#include "app/record_check.h"
#include "app/run_commit.h"
#include "data/current_types.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "app/usage.h"
#include "flow/chip_snapshot.h"
#include "flow/command_line_binding.h"
#include "flow/device_selection.h"
#include "flow/memory_probe.h"
#include "flow/flow_factory.h"
#include "flow/status.h"
#include "platform/prompt.h"

namespace quillon {
namespace {

constexpr std::size_t kConsoleLimit = 259;
constexpr std::size_t kBatchImageSize = 0x10000;

// Clears the front end when the run ends, however it ends.
class ScopedFrontEnd {
 public:
  explicit ScopedFrontEnd(FlowFrontEnd& frontEnd) { SetFrontEnd(&frontEnd); }
  ~ScopedFrontEnd() { SetFrontEnd(nullptr); }
  ScopedFrontEnd(const ScopedFrontEnd&) = delete;
  ScopedFrontEnd& operator=(const ScopedFrontEnd&) = delete;
};

// The console lines of the preparation step, for the ids the flows post.
struct ConsoleLine {
  std::uint32_t notification;
  std::uint32_t id;
  const char* text;
};
constexpr ConsoleLine kPrepareLines[] = {
    {WM_FLOW_FAIL, msg::kVidPidNotMatch, "Check VID/PID Mismatch!\n"},
    {WM_FLOW_FAIL, msg::kLoadFileDataFail, "Load File Data Fail!\n"},
};
// Only the settings' rule says so when no chip is on the bus at all.
constexpr ConsoleLine kOpenByRuleLines[] = {
    {WM_FLOW_INFO, msg::kDetectDeviceFail, "Cannot find Norvane USB Audio!\n"},
};

const char* ConsoleLineFor(std::span<const ConsoleLine> lines, std::uint32_t notification, std::uint32_t id) {
  for (const ConsoleLine& line : lines) {
    if (line.notification == notification && line.id == id) return line.text;
  }
  return nullptr;
}

}  // namespace

std::string FullCommandLine(const std::vector<std::string>& args) {
  // The program's own path is left out: a directory name such as
  // "build-flow" must not count as the "-f" of the arguments.
  return ArgumentPart(args);
}

void CParseArg::ConsoleWrite(std::string_view text) {
  if (!commandLineMode) return;
  progress_.Break();
  text = text.substr(0, kConsoleLimit);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void CParseArg::OnFlowMessage(std::uint32_t notification, std::uint32_t wParam, const ChipSnapshot&) {
  if (notification == WM_FLOW_PROGRESS) {
    progress_.Show(wParam);
    return;
  }
  if (!preparing_) return;
  const char* text = ConsoleLineFor(kPrepareLines, notification, wParam);
  if (text == nullptr && openingByRule_) text = ConsoleLineFor(kOpenByRuleLines, notification, wParam);
  if (text != nullptr) ConsoleWrite(text);
}

void CParseArg::ConsolePrompt() { ConsoleWrite(programDir.string() + ">"); }

int CParseArg::LoadICTypeIni() {
  ScopedTrace scope("CParseArg::LoadICTypeIni", kTraceApp);
  CDevFlow* flow = TheFlow();
  if (flow == nullptr) return 0;
  operationFile_ = fileArgument;
  const bool needsImage = commandLetter != 'D' && commandLetter != 'Z' && commandLetter != 'E' && commandLetter != 'Y';
  CommandLineImage named;
  if (needsImage) {
    // A named image that cannot be used is refused before any chip is opened.
    SetWorkingMemorySize(kBatchImageSize);
    named = NameCommandLineImage(fileArgument, commandLetter == 'W');
    if (CheckCommandLineImage(named) == 0) return 0;
    operationFile_ = named.path;
  }
  if (!OpenTargetChip(*flow)) return 0;
  switch (commandLetter) {
    case 'D':
      return 1;
    case 'Z':
    case 'E':
      // No image names the memory type here; the chip says which memory it has.
      return AdoptProbedMemoryType() ? 1 : 0;
    case 'Y':
      SetCurrentMemoryType(MemoryType::Otp);
      return RecreateFlow(true) != nullptr ? 1 : 0;
    default:
      break;
  }
  SetWorkingMemorySize(kBatchImageSize);
  return BindCommandLineImage(named);
}

int CParseArg::Prepare() {
  if (saveResultMode != 0) OpenResultFile();
  preparing_ = true;
  const int loaded = LoadICTypeIni();
  preparing_ = false;
  if (loaded != 0) {
    if (CDevFlow* flow = TheFlow()) flow->DEV_GetDeviceInfo();
    return 1;
  }
  WriteResult(false, false);
  ConsoleWrite("Get IC Info Fail\n");
  ConsolePrompt();
  return 0;
}

int CParseArg::Excute_Arg() {
  ScopedTrace scope("CParseArg::Excute_Arg", kTraceApp);
  CDevFlow* flow = TheFlow();
  if (flow != nullptr) flow->SetUpdateOptions();
  burnLogMode = static_cast<std::int32_t>(Setting(key::kLogType, 0));
  // The burn line and "Result.txt" are written by the caller with the run's
  // other records, in their one order.
  return Excute_Arg_Normal();
}

int CParseArg::Excute_Arg_Normal() {
  ScopedTrace scope("CParseArg::Excute_Arg_Normal", kTraceDevice);
  operationPassed = false;
  CDevFlow* flow = TheFlow();
  if (flow == nullptr) return 0;
  flow->chip.device.transportFlags = kFlagAudioSearch;
  if (std::optional<std::string> serial = UnitSerialFor("")) flow->chip.serialNumber = *serial;
  const char letter = static_cast<char>(commandLetter);
  const CommandTexts* texts = FindCommandTexts(letter);
  if (letter == 'D') {
    const ChipSnapshot chip = CurrentChipSnapshot();
    ConsoleWrite(texts->before);
    ConsoleWrite("Current FW Version: " + chip.versionText + "!\r\n");
    ConsolePrompt();
    // A version read is a pass in the exit code and in both result files
    // alike: a script must not see "fail" beside exit code 0.
    operationPassed = chip.open && !chip.versionText.empty() && chip.versionText != "N/A";
    return operationPassed ? 1 : 0;
  }
  if (letter == 'C') {
    const int result = flow->DEV_RunCommand(letter, operationFile_);
    if (result != 0) {
      ConsoleWrite("Begin to Check OTP Status!\r\n");
      ConsoleWrite(CurrentChipSnapshot().connectionText + "\r\n");
    }
    ConsolePrompt();
    operationPassed = result != 0;
    return result;
  }
  if (texts != nullptr && texts->before != nullptr) ConsoleWrite(texts->before);
  const int result = flow->DEV_RunCommand(letter, operationFile_);
  if (texts != nullptr) ConsoleWrite(result != 0 ? texts->pass : texts->fail);
  ConsolePrompt();
  operationPassed = result != 0 && texts != nullptr;
  return result;
}

void BatchModes::RunBatch(const std::vector<std::string>& args) {
  CParseArg& parse = parseArg_;
  passed_ = false;
  if (parse.Parse_Arg(FullCommandLine(args), args) == 0) {
    // A wrong argument gets its one line; only a request for the usage gets all of it.
    if (parse.usageProblem.empty()) {
      std::fputs(UsageText(), stderr);
    } else {
      std::fprintf(stderr, "quillon: %s; see quillon --help\n", parse.usageProblem.c_str());
    }
    return;
  }
  // "-dumpspi" reads this much; the flows read the working memory size.
  if (parse.dumpSize != 0) SetWorkingMemorySize(parse.dumpSize);
  if (StationRun* station = ProcessRun()) SettleInterruptedRuns(*station);
  if (parse.saveResultMode != 0) {
    if (auto problem = EmptyResultFile(parse.programDir / kResultFileName)) {
      // Left as it is, it would still say an earlier unit's result.
      std::fprintf(stderr, "quillon: cannot empty %s (it may hold an earlier run's result): %s; the chip was not touched\n",
                   (parse.programDir / kResultFileName).c_str(), problem->c_str());
      return;
    }
  }
  if (auto problem = FirstUnwritableRecord(KeptRecordTargets())) {
    // Refused before the chip is opened: it stays as it was, and no record
    // can claim a result for it.
    std::fprintf(stderr, "quillon: %s; the chip was not touched\n", problem->line.c_str());
    if (parse.saveResultMode != 0 && problem->target != parse.programDir / kResultFileName) {
      parse.OpenResultFile();
      parse.WriteResult(false, false);
    }
    return;
  }
  parse.commandLineMode = true;
  ScopedFrontEnd frontEnd(parse);
  parse.ConsoleWrite("\n");
  const auto started = std::chrono::steady_clock::now();
  std::optional<int> result;
  if (parse.Prepare() != 0) {
    // A gang's worker tells its gang which unit it opened, in case the
    // operator stops it before its own record is written.
    if (const char* unit = std::getenv(kGangUnitEnv); unit != nullptr && *unit != '\0') {
      const std::string text = SnapshotJson(CurrentChipSnapshot());
      std::ofstream(unit, std::ios::binary | std::ios::trunc) << text;
    }
    result = parse.Excute_Arg();
  }
  // The run record's verdict is the exit code's: a read version passes, a
  // record that does not take the run fails it.
  const RunRecord built = BuildBatchRecord(parse, parse.operationPassed && !parse.resultFileFailed, started);
  RunTexts texts;
  // A run that failed before its operation writes no burn line.
  texts.burnLog = result.has_value() && Setting(key::kLogType, 0) != 0;
  texts.burnSerial = BurnLogSerial(built, CurrentChipSnapshot());
  if (result && parse.saveResultMode > 0) {
    if (const char* text = ResultText(parse.saveResultMode, true, true)) texts.resultPass = text;
    if (const char* text = ResultText(parse.saveResultMode, false, true)) texts.resultFail = text;
  }
  const CommittedRun committed = CommitRun(built, texts, ProcessRun());
  if (committed.burnFailed) ThePrompt().Show("Can't Open burn_result.txt", "");
  passed_ = committed.record.passed && committed.kept;
  if (CDevFlow* flow = TheFlow()) flow->DEV_CloseDevice();
  parse.commandLineMode = false;
}

std::optional<int> BatchModes::ExitCode() const {
  if (!passed_) return std::nullopt;
  return *passed_ ? 0 : 1;
}

std::optional<std::string> UnitSerialFor(const std::string& typed) {
  if (!typed.empty()) return typed;
  const char* serial = std::getenv(kSerialEnvironment);
  if (serial == nullptr || *serial == '\0') return std::nullopt;
  return std::string(serial);
}

}  // namespace quillon
