#include "app/batch_run_report.h"

#include "app/run_record.h"
#include "data/ic_type_ini.h"
#include "data/settings.h"
#include "data/image_match.h"
#include "flow/chip_snapshot.h"
#include "flow/flow_factory.h"
#include "flow/status.h"
#include "platform/files.h"

namespace quillon {
namespace {

std::string OperationName(char letter) {
  const CommandTexts* texts = FindCommandTexts(letter);
  if (texts == nullptr || texts->argument == nullptr) return "unknown";
  std::string name = texts->argument;
  if (!name.empty() && name.front() == '-') name.erase(0, 1);
  return name;
}

// The operations that take an image file; the dumps name their output file.
bool TakesImage(char letter) { return letter == 'W' || letter == 'V' || letter == 'C'; }

// The built-in image the binding falls back on when the file cannot be read.
std::string BuiltinImageName(const std::string& identity) {
  const std::string name = DeviceFirmwareName(identity);
  int number = 0;
  if (const CICTypeIni* profile = CurrentProfile()) {
    profile->GetBuiltinFirmwareId(name, &number);
    if (number == 0) return profile->IcName().empty() ? "default" : "default for " + profile->IcName();
  }
  return name;
}

// The image the run used: the named file, or the built-in image the binding
// fell back on when a write's file cannot be read.
RunWork BatchWork(const CParseArg& parse, const CDevFlow* flow, std::optional<std::vector<std::uint8_t>>& bytes) {
  const char letter = static_cast<char>(parse.commandLetter);
  RunWork work;
  work.operation = OperationName(letter);
  if (!TakesImage(letter)) return work;
  const std::string path = flow != nullptr && !flow->chip.image.mainFile.empty() ? flow->chip.image.mainFile : parse.fileArgument;
  work.image = path;
  bytes = ReadWholeFile(path);
  if (bytes) {
    work.imageBytes = *bytes;
  } else if (letter == 'W' && flow != nullptr && !flow->chip.image.fileData.empty()) {
    work.image = BuiltinImageName(flow->chip.fullIdText);
    work.imageBuiltin = true;
    work.imageBytes = flow->chip.image.fileData;
  }
  return work;
}

}  // namespace

RunRecord BuildBatchRecord(const CParseArg& parse, bool passed, std::chrono::steady_clock::time_point started) {
  const char letter = static_cast<char>(parse.commandLetter);
  CDevFlow* flow = TheFlow();
  // What the chip runs now; "-version" has just read it.
  if (flow != nullptr && flow->chip.device.handle != 0 && letter != 'D') flow->MP_GetDeviceInfo();
  std::optional<std::vector<std::uint8_t>> bytes;
  RunWork work = BatchWork(parse, flow, bytes);
  work.durationMs = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
  return BuildRunRecord(CurrentChipSnapshot(), RunOutcome{passed, LastStatus()}, work);
}

}  // namespace quillon
