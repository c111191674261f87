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

void DescribeBatchImage(RunRecord& record, const CParseArg& parse, const CDevFlow* flow) {
  const std::string path = flow != nullptr && !flow->chip.image.mainFile.empty() ? flow->chip.image.mainFile : parse.fileArgument;
  if (auto bytes = ReadWholeFile(path)) {
    record.image = path;
    DescribeImage(record, *bytes);
  } else if (parse.commandLetter == 'W' && flow != nullptr && !flow->chip.image.fileData.empty()) {
    // A write whose file cannot be read writes the device's built-in image.
    record.image = BuiltinImageName(flow->chip.fullIdText);
    record.imageBuiltin = true;
    DescribeImage(record, flow->chip.image.fileData);
  } else {
    record.image = path;
  }
}

}  // namespace

bool ReportBatchRun(const CParseArg& parse, bool passed, std::chrono::steady_clock::time_point started) {
  RunRecord record;
  record.time = std::chrono::system_clock::now();
  const char letter = static_cast<char>(parse.commandLetter);
  record.operation = OperationName(letter);
  record.passed = passed;
  record.statusId = LastStatus();
  if (auto text = MessageText(record.statusId)) record.statusText = *text;
  CDevFlow* flow = TheFlow();
  // What the chip runs now; "-version" has just read it.
  if (flow != nullptr && flow->chip.device.handle != 0 && letter != 'D') flow->MP_GetDeviceInfo();
  const ChipSnapshot chip = CurrentChipSnapshot();
  if (chip.open) {
    record.identity = chip.identity;
    record.location = chip.location;
    record.memoryType = MemoryTypeText(CurrentMemoryType());
    if (const CICTypeIni* profile = CurrentProfile()) record.icFamily = profile->IcName();
    if (chip.versionText != "N/A") record.chipVersion = chip.versionText;
  }
  if (flow != nullptr) {
    // The serial went into the chip only with a passed write that "SaveSN" asked for.
    const bool serialWritten = passed && letter == 'W' && Setting(key::kSaveSn, 0) != 0 && !chip.imageSerial.empty();
    record.serialNumber = serialWritten ? chip.imageSerial : chip.chipSerial;
  }
  if (TakesImage(letter)) DescribeBatchImage(record, parse, flow);
  record.durationMs = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
  return ReportRun(std::move(record));
}

}  // namespace quillon
