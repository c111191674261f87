#include "app/parse_arg.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <system_error>

#include "app/gang_mode.h"
#include "data/firmware_image.h"
#include "data/settings.h"
#include "flow/command_line_binding.h"
#include "platform/files.h"
#include "platform/shared_file.h"

namespace quillon {
namespace {

constexpr CommandTexts kCommands[] = {
    {'W', "-write", "Begin to Write fw!\r\n", "Write fw pass!\r\n", "Write fw fail!\r\n"},
    {'E', "-erase", "Begin to Erase!\r\n", "Erase pass!\r\n", "Erase fail!\r\n"},
    {'V', "-verify", "Begin to Verify fw!\r\n", "Verify fw pass!\r\n", "Verify fw fail!\r\n"},
    {'D', "-version", "Begin to Get FW Ver!\r\n", nullptr, nullptr},
    {'C', "-detect", nullptr, nullptr, nullptr},
    {'Y', "-dumpotp", "Begin to Dump OTP!\r\n", "Dump OTP pass!\r\n", "Dump OTP fail!\r\n"},
    {'Z', "-dumpspi", "Begin to Dump SPI!\r\n", "Dump SPI pass!\r\n", "Dump SPI fail!\r\n"},
};

constexpr TraceScope kParseScope{"CParseArg::Parse_Arg", 0, kTraceApp};

void TraceInvalid() { TraceFailure(kParseScope, "Fail --- Invalid parameter!\r\n"); }

}  // namespace

const CommandTexts* FindCommandTexts(char letter) {
  for (const CommandTexts& c : kCommands) {
    if (c.letter == letter) return &c;
  }
  return nullptr;
}

int CParseArg::Parse_Arg(std::string_view fullCommandLine, const std::vector<std::string>& args) {
  saveResultMode = static_cast<std::int32_t>(Setting(key::kSaveResultToFile, 0));
  // A gang worker's result is its gang's to write, once, after every chip.
  if (const char* location = std::getenv(kGangLocationEnv); location != nullptr && *location != '\0') saveResultMode = 0;
  programDir = ProgramDir();
  return Parse_Arg_Normal(fullCommandLine, args);
}

int CParseArg::Parse_Arg_Normal(std::string_view fullCommandLine, const std::vector<std::string>& commandLine) {
  deviceIndex = 0;
  deviceIndexGiven = false;
  operationPassed = false;
  resultFileFailed = false;
  usageProblem.clear();
  locationSelector.clear();
  // "--location LOC" may stand anywhere after the program; the rest keeps its positions.
  std::vector<std::string> args = commandLine;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] != kLocationOption) continue;
    if (i + 1 >= args.size() || args[i + 1].empty() || !locationSelector.empty()) {
      usageProblem = std::string(kLocationOption) + " needs one port location, as quillon --list prints it";
      return 0;
    }
    locationSelector = args[i + 1];
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i + 2));
    --i;
  }
  if (fullCommandLine.find("-f") == std::string_view::npos) {
    OpenResultFile();
    if (!resultFile_.WriteAndClose("fail")) ResultFileProblem(programDir / kResultFileName);
    const bool askedForUsage = args.size() == 2 && (args[1] == "-h" || args[1] == "-help");
    if (!askedForUsage) usageProblem = "no -f: nothing to do";
    return 0;
  }
  if (args.size() < 3 || args.size() > 6) {
    TraceInvalid();
    usageProblem = "-f and one to four more arguments are needed";
    return 0;
  }
  if (args[1] != "-f") {
    TraceInvalid();
    usageProblem = "the first argument must be -f, not \"" + args[1] + "\"";
    return 0;
  }

  commandText = args[2];
  fileArgument = args.size() > 3 ? args[3] : std::string();
  const CommandTexts* command = nullptr;
  for (const CommandTexts& c : kCommands) {
    if (args[2] == c.argument) command = &c;
  }
  if (command != nullptr) {
    commandLetter = static_cast<std::uint8_t>(command->letter);
    // Erase and version work without a file; the others name the image or the output.
    const bool needsFile = command->letter != 'E' && command->letter != 'D';
    if (needsFile && args.size() < 4) {
      usageProblem = args[2] + " needs a file";
      return 0;
    }
    if (fileArgument == kBuiltinImageArgument && command->letter != 'W') {
      usageProblem = "only -write takes the built-in image";
      return 0;
    }
  } else {
    // A typo'd command word must not become a write of some other image.
    std::error_code error;
    const bool image = args[2].find(".rfw") != std::string::npos &&
                       std::filesystem::exists(ResolveImageName(args[2]), error);
    if (!image) {
      TraceInvalid();
      usageProblem = "\"" + args[2] + "\" is neither a command nor an existing .rfw image";
      if (args[2].find(".rfw") != std::string::npos) usageProblem += " (looked for " + TriedPathsText(args[2]) + ")";
      return 0;
    }
    commandLetter = 'W';
    fileArgument = args[2];
  }
  if (args.size() > 4) {
    if (args[4] != "-d") {
      usageProblem = "unknown option \"" + args[4] + "\" (-d N comes as the fourth argument)";
      return 0;
    }
    const auto index = args.size() == 6 ? ParseDeviceIndex(args[5]) : std::nullopt;
    if (!index) {
      usageProblem = "-d needs a device number 0, 1, 2, ...";
      return 0;
    }
    deviceIndex = *index;
    deviceIndexGiven = true;
    if (!locationSelector.empty()) {
      usageProblem = std::string("-d and ") + kLocationOption + " each pick a chip; give one of them";
      return 0;
    }
  }
  if (commandLetter == 'Z') dumpSize = 0x10000;
  return 1;
}

std::optional<std::int32_t> ParseDeviceIndex(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

bool ResultFile::Open(const std::filesystem::path& path) {
  file_.reset();
  const int fd = OpenStationFile(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) return false;
  file_.reset(::fdopen(fd, "wb"));
  if (!file_) ::close(fd);
  return file_ != nullptr;
}

bool ResultFile::WriteAndClose(const char* text) {
  if (!file_) return false;
  const bool written = text == nullptr || std::fputs(text, file_.get()) >= 0;
  return std::fclose(file_.release()) == 0 && written;
}

void CParseArg::ResultFileProblem(const std::filesystem::path& file) {
  // A stale "pass" from an earlier run must not be all a script sees.
  std::fprintf(stderr, "quillon: cannot write %s; it does not hold this run's result\n", file.c_str());
  resultFileFailed = true;
}

void CParseArg::OpenResultFile() {
  if (programDir.empty()) programDir = ProgramDir();
  resultFile_.Open(programDir / kResultFileName);
}

void CParseArg::WriteResult(bool pass, bool atExecute) {
  const char* text = ResultText(saveResultMode, pass, atExecute);
  if (!resultFile_.IsOpen()) {
    if (text != nullptr) ResultFileProblem(programDir / kResultFileName);
    return;
  }
  if (!resultFile_.WriteAndClose(text)) ResultFileProblem(programDir / kResultFileName);
}

const char* ResultText(std::int32_t mode, bool pass, bool atExecute) {
  if (mode <= 0) return nullptr;
  if (mode == 2) return pass ? "TestResult = pass" : "TestResult = fail";
  if (mode == 1 || atExecute) return pass ? "pass" : "fail";
  return nullptr;
}

std::string BurnLogLine(const std::tm& when, std::string_view deviceName, bool pass, std::uint32_t lastStatus) {
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d,       %H:%M:%S,         ", &when);
  std::string line = stamp;
  std::string name = std::string(deviceName) + ",";
  if (name.size() < 27) name.resize(27, ' ');
  line += name;
  std::string outcome = pass ? "Pass," : "Fail,";
  outcome.resize(9, ' ');
  line += outcome;
  line += std::to_string(static_cast<std::int32_t>(lastStatus)) + ":\r\n";
  return line;
}

bool AppendBurnLog(const std::filesystem::path& dir, const std::string& line) {
  return AppendWhole(dir / kBurnLogFileName, line, std::string(kBurnLogHeader1) + kBurnLogHeader2).has_value();
}

}  // namespace quillon
