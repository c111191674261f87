#include "app/parse_arg.h"

#include <cstdio>
#include <cstdlib>

#include "data/settings.h"
#include "platform/files.h"

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
  programDir = ProgramDir();
  return Parse_Arg_Normal(fullCommandLine, args);
}

int CParseArg::Parse_Arg_Normal(std::string_view fullCommandLine, const std::vector<std::string>& args) {
  deviceIndex = 0;
  if (fullCommandLine.find("-f") == std::string_view::npos) {
    OpenResultFile();
    if (resultFile_ != nullptr) {
      std::fputs("fail", resultFile_);
      std::fclose(resultFile_);
      resultFile_ = nullptr;
    }
    return 0;
  }
  if (args.size() < 3 || args.size() > 6) {
    TraceInvalid();
    return 0;
  }
  bool known = false;
  for (const CommandTexts& c : kCommands) known = known || args[2] == c.argument;
  if (args[1] != "-f" || (!known && args[2].find(".rfw") == std::string::npos)) TraceInvalid();

  commandText = args[2];
  fileArgument = args.size() > 3 ? args[3] : std::string();
  commandLetter = 'W';
  bool isCommand = false;
  for (const CommandTexts& c : kCommands) {
    if (args[2] == c.argument) {
      commandLetter = static_cast<std::uint8_t>(c.letter);
      isCommand = true;
    }
  }
  if (!isCommand) fileArgument = args[2];
  if (commandLetter == 'Z') dumpSize = 0x10000;
  if (args.size() > 4 && args[4] == "-d") deviceIndex = args.size() > 5 ? std::atoi(args[5].c_str()) : 0;
  return 1;
}

void CParseArg::OpenResultFile() {
  if (resultFile_ != nullptr) std::fclose(resultFile_);
  if (programDir.empty()) programDir = ProgramDir();
  resultFile_ = std::fopen((programDir / kResultFileName).c_str(), "wb");
}

void CParseArg::WriteResult(bool pass, bool atExecute) {
  if (resultFile_ == nullptr) return;
  if (const char* text = ResultText(saveResultMode, pass, atExecute)) std::fputs(text, resultFile_);
  std::fclose(resultFile_);
  resultFile_ = nullptr;
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
  std::filesystem::path file = dir / kBurnLogFileName;
  bool exists = std::filesystem::exists(file);
  std::FILE* out = std::fopen(file.c_str(), exists ? "ab" : "wb");
  if (out == nullptr) return false;
  if (!exists) {
    std::fputs(kBurnLogHeader1, out);
    std::fputs(kBurnLogHeader2, out);
  }
  std::fputs(line.c_str(), out);
  std::fclose(out);
  return true;
}

}  // namespace quillon
