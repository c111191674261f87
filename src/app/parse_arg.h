// The batch mode's command line and its two result files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/progress_line.h"
#include "flow/front_end.h"
#include "platform/trace.h"

namespace quillon {

class CDevFlow;

inline constexpr const char* kResultFileName = "Result.txt";
// "--location LOC": the chip at that port location and no other.
inline constexpr const char* kLocationOption = "--location";
inline constexpr const char* kBurnLogFileName = "burn_result.txt";
inline constexpr const char* kBurnLogHeader1 =
    "Update date       Update Time       Serial number              Result   ErrCode\r\n";
inline constexpr const char* kBurnLogHeader2 =
    "================  ================  =========================  =======  =======\r\n";

// What the console prints before and after each command.
struct CommandTexts {
  char letter;
  const char* argument;
  const char* before;   // null: nothing
  const char* pass;
  const char* fail;
};
const CommandTexts* FindCommandTexts(char letter);

// "Result.txt" for one run: opened (and so emptied) once, one text written,
// and closed when written or when the object goes.
class ResultFile {
 public:
  // Creates or empties the file; false when it cannot be opened for writing.
  bool Open(const std::filesystem::path& path);
  // Writes `text` (nothing for null) and closes the file; false when the file
  // was not open or the text did not reach it.
  bool WriteAndClose(const char* text);
  bool IsOpen() const { return file_ != nullptr; }

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
};

// The command line's object; while a batch operation runs it is also the
// flows' front end: it keeps the remembered device location and owns the console.
class CParseArg : public CDumpStr, public FlowFrontEnd {
 public:
  static constexpr std::uint8_t kNoCommand = 0xFF;

  // Reads "SaveResultToFile", notes the program directory and parses; 1 when
  // an operation is to run. On 0, `usageProblem` says what was wrong (empty
  // for a plain request for the usage, "-h" or "-help").
  int Parse_Arg(std::string_view fullCommandLine, const std::vector<std::string>& args);
  int Parse_Arg_Normal(std::string_view fullCommandLine, const std::vector<std::string>& args);

  // "Result.txt": opened (and so emptied) at the preparation step when the
  // save-result mode is not 0.
  void OpenResultFile();
  // Writes the outcome text for the mode and closes the file. `atExecute`:
  // the execute step (else the preparation step, which writes only for 1 and 2).
  // A text the mode asks for that cannot be written is said on stderr and
  // marks the run failed.
  void WriteResult(bool pass, bool atExecute);

  // The preparation step: opens "Result.txt" when it is kept, opens the device
  // and binds the image (LoadICTypeIni), reads the device information. On
  // failure the result file and the console say so.
  int Prepare();
  int LoadICTypeIni();
  // Opens the chip the command line names ("-d N", "--location LOC") or, with
  // neither, the one the settings' rule takes, telling on stderr when other
  // accepted chips are present. False with nothing written to any chip.
  bool OpenTargetChip(CDevFlow& flow);
  // Runs the operation, writes both result files; 1 when it passed.
  int Excute_Arg();
  int Excute_Arg_Normal();

  // The console of the command line (stdout), at most 259 characters a call.
  void ConsoleWrite(std::string_view text);
  // The program directory and ">".
  void ConsolePrompt();
  bool CommandLineMode() const override { return commandLineMode; }
  // Progress goes to stderr; the preparation step's failures get their console lines.
  void OnFlowMessage(std::uint32_t notification, std::uint32_t wParam, const ChipSnapshot& chip) override;

  bool commandLineMode = false;
  std::uint8_t commandLetter = kNoCommand;
  std::string fileArgument;
  std::string commandText;
  std::int32_t deviceIndex = 0;
  bool deviceIndexGiven = false;  // "-d N": that device and no other
  std::string locationSelector;   // "--location LOC"; empty when not given
  std::string usageProblem;
  std::int32_t saveResultMode = 0;
  std::int32_t burnLogMode = 0;
  std::filesystem::path programDir;
  // Bytes a dump reads; set for "-dumpspi".
  std::uint32_t dumpSize = 0;
  // The asked operation passed: its console "pass" line was written, or for
  // "-version" the version was read.
  bool operationPassed = false;
  // A result file the settings ask for could not be written.
  bool resultFileFailed = false;

 private:
  void ResultFileProblem(const std::filesystem::path& file);
  ResultFile resultFile_;
  // The file the operation is given: the resolved image path (empty for the
  // built-in image), or the output file of a dump as named.
  std::string operationFile_;
  ProgressLine progress_ = ProgressLine::ForStderr();
  // Which console lines the flows' notifications get: none outside the
  // preparation step; "no chip" only while the settings' rule picks the chip.
  bool preparing_ = false;
  bool openingByRule_ = false;
};

// The result text of "Result.txt" for a save-result mode, or null when that mode writes nothing.
const char* ResultText(std::int32_t mode, bool pass, bool atExecute);

// "-d"'s value: a decimal number from 0 to 2^31-1, nothing else.
std::optional<std::int32_t> ParseDeviceIndex(std::string_view text);

// One line of "burn_result.txt": local date and time, the device name, the
// outcome and the last status, in the columns of the header.
std::string BurnLogLine(const std::tm& when, std::string_view deviceName, bool pass, std::uint32_t lastStatus);

// Appends the line to "burn_result.txt" in `dir` whole or not at all, writing
// the header first when the file is new or empty. False when it was not appended.
bool AppendBurnLog(const std::filesystem::path& dir, const std::string& line);

}  // namespace quillon
