#include "app/batch_mode.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "app/batch_run_report.h"
#include "data/current_types.h"
#include "data/settings.h"
#include "data/working_memory.h"
#include "flow/command_line_binding.h"
#include "flow/eeprom_flow.h"
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

}  // namespace

std::string FullCommandLine(const std::vector<std::string>& args) {
  // The program's own path is left out: a directory name such as
  // "build-flow" must not count as the "-f" of the arguments.
  return ArgumentPart(args);
}

void CParseArg::ConsoleWrite(std::string_view text) {
  if (!commandLineMode) return;
  text = text.substr(0, kConsoleLimit);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void CParseArg::ConsolePrompt() { ConsoleWrite(programDir.string() + ">"); }

int CParseArg::LoadICTypeIni() {
  ScopedTrace scope("CParseArg::LoadICTypeIni", kTraceApp);
  CDevFlow* flow = TheFlow();
  if (flow == nullptr) return 0;
  bool opened = false;
  if (Setting(key::kCheckVidPidIni, 0) != 0) {
    opened = flow->DEV_OpenDeviceByVIDPID() != 0;
  } else {
    for (int index = deviceIndex; index < deviceIndex + 3 && !opened; ++index) {
      opened = flow->DEV_OpenDeviceByICIni(index) != 0;
    }
  }
  if (!opened) return 0;
  switch (commandLetter) {
    case 'D':
      return 1;
    case 'Z':
    case 'E':
      // No image names the memory type here; an EEPROM chip says it itself.
      return AdoptProbedEepromType() ? 1 : 0;
    case 'Y':
      SetCurrentMemoryType(MemoryType::Otp);
      return RecreateFlow(true) != nullptr ? 1 : 0;
    default:
      break;
  }
  SetWorkingMemorySize(kBatchImageSize);
  return BindCommandLineImage(fileArgument);
}

int CParseArg::Prepare() {
  if (saveResultMode != 0) OpenResultFile();
  if (LoadICTypeIni() != 0) {
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
  const int result = Excute_Arg_Normal();
  if (saveResultMode > 0) WriteResult(result != 0, true);
  if (burnLogMode != 0) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    flow = TheFlow();
    const std::string line = BurnLogLine(local, flow != nullptr ? flow->deviceName : "", result != 0, LastStatus());
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    if (error || !AppendBurnLog(here, line)) ThePrompt().Show("Can't Open burn_result.txt", "");
  }
  return result;
}

int CParseArg::Excute_Arg_Normal() {
  ScopedTrace scope("CParseArg::Excute_Arg_Normal", kTraceDevice);
  CDevFlow* flow = TheFlow();
  if (flow == nullptr) return 0;
  flow->device.transportFlags = kFlagAudioSearch;
  const char letter = static_cast<char>(commandLetter);
  const CommandTexts* texts = FindCommandTexts(letter);
  if (letter == 'D') {
    ConsoleWrite(texts->before);
    ConsoleWrite("Current FW Version: " + flow->versionText + "!\r\n");
    ConsolePrompt();
    return 0;
  }
  if (letter == 'C') {
    const int result = flow->DEV_RunCommand(letter, fileArgument);
    if (result != 0) {
      ConsoleWrite("Begin to Check OTP Status!\r\n");
      ConsoleWrite(TheFlow()->connectionText + "\r\n");
    }
    ConsolePrompt();
    return result;
  }
  if (texts != nullptr && texts->before != nullptr) ConsoleWrite(texts->before);
  const int result = flow->DEV_RunCommand(letter, fileArgument);
  if (texts != nullptr) ConsoleWrite(result != 0 ? texts->pass : texts->fail);
  ConsolePrompt();
  return result;
}

void BatchModes::RunBatch(const std::vector<std::string>& args) {
  CParseArg& parse = parseArg_;
  if (parse.Parse_Arg(FullCommandLine(args), args) == 0) return;
  // "-dumpspi" reads this much; the flows read the working memory size.
  if (parse.dumpSize != 0) SetWorkingMemorySize(parse.dumpSize);
  parse.commandLineMode = true;
  ScopedFrontEnd frontEnd(parse);
  parse.ConsoleWrite("\n");
  const auto started = std::chrono::steady_clock::now();
  int passed = 0;
  if (parse.Prepare() != 0) passed = parse.Excute_Arg();
  ReportBatchRun(parse, passed != 0, started);
  if (CDevFlow* flow = TheFlow()) flow->DEV_CloseDevice();
  parse.commandLineMode = false;
}

}  // namespace quillon
