#include "app/run_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include <nlohmann/json.hpp>

#include "app/version.h"
#include "data/image_version.h"
#include "data/settings.h"
#include "flow/status.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "platform/shared_file.h"
#include "platform/sha256.h"

namespace quillon {
namespace {

std::string HostName() {
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) return "";
  return name.data();
}

std::string StationName() {
  std::string name = GetSettingString("", kConfigSection, kStationNameKey);
  return name.empty() ? HostName() : name;
}

}  // namespace

std::string MemoryTypeText(MemoryType type) {
  switch (type) {
    case MemoryType::SpiFlash: return "spi";
    case MemoryType::NorFlash: return "nor";
    case MemoryType::Eeprom8: return "eeprom8";
    case MemoryType::Eeprom16: return "eeprom16";
    case MemoryType::Mtp: return "mtp";
    case MemoryType::Otp: return "otp";
  }
  return std::to_string(static_cast<std::uint32_t>(type));
}

std::string RecordSerial(const ChipSnapshot& chip, const RunOutcome& verdict, const std::string& operation) {
  // The serial went into the chip only with a passed write that "SaveSN" asked for.
  const bool written =
      verdict.passed && operation == "write" && Setting(key::kSaveSn, 0) != 0 && !chip.imageSerial.empty();
  return written ? chip.imageSerial : chip.chipSerial;
}

RunRecord BuildRunRecord(const ChipSnapshot& chip, const RunOutcome& verdict, const RunWork& work) {
  RunRecord record;
  record.time = std::chrono::system_clock::now();
  // Chip fields only for the chip the run holds open; a chip refused at its
  // opening is none of the run's.
  if (chip.open && !chip.identity.empty()) {
    record.location = chip.location;
    record.identity = chip.identity;
    record.memoryType = MemoryTypeText(chip.memoryType);
    record.icFamily = chip.icFamily;
    if (chip.versionText != "N/A") record.chipVersion = chip.versionText;
  }
  record.serialNumber = RecordSerial(chip, verdict, work.operation);
  record.operation = work.operation;
  record.image = work.image;
  record.imageBuiltin = work.imageBuiltin;
  if (!work.imageBytes.empty()) DescribeImage(record, work.imageBytes);
  record.passed = verdict.passed;
  record.statusId = verdict.statusId;
  if (verdict.statusId != 0) record.statusText = std::string(MessageText(verdict.statusId).value_or(""));
  record.durationMs = work.durationMs;
  return record;
}

std::string BurnLogSerial(const RunRecord& record, const ChipSnapshot& chip) {
  if (!record.serialNumber.empty()) return record.serialNumber;
  return Setting(key::kSnAddress, 0) != 0 ? std::string() : chip.deviceName;
}

std::string NewRunId() {
  std::array<std::uint8_t, 16> bytes{};
  std::random_device random;
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    const std::uint32_t word = random();
    for (std::size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string text;
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return text;
}

void DescribeImage(RunRecord& record, std::span<const std::uint8_t> bytes) {
  record.imageVersion.clear();
  ImageVersion(bytes, &record.imageVersion, nullptr);
  record.imageSha256 = Sha256Hex(bytes);
}

std::string IsoLocalTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  // strftime's %z has no colon ("+0200"); ISO 8601's extended form wants one.
  const long offset = local.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  std::snprintf(text + length, sizeof text - length, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return text;
}

std::string RunRecordJson(const RunRecord& record) {
  const nlohmann::ordered_json object = {
      {"run_id", record.runId},
      {"time", IsoLocalTime(record.time)},
      {"station", record.station},
      {"tool_version", record.toolVersion},
      {"location", record.location},
      {"identity", record.identity},
      {"serial_number", record.serialNumber},
      {"memory_type", record.memoryType},
      {"ic_family", record.icFamily},
      {"chip_version", record.chipVersion},
      {"image", record.image},
      {"image_source", record.image.empty() ? "" : record.imageBuiltin ? "built-in" : "file"},
      {"image_version", record.imageVersion},
      {"image_sha256", record.imageSha256},
      {"operation", record.operation},
      {"verdict", record.passed ? "PASS" : "FAIL"},
      {"status_id", record.statusId},
      {"status_text", record.statusText},
      {"duration_ms", record.durationMs},
  };
  // Paths and device strings may hold bytes that are not UTF-8; replacing them
  // keeps the line valid JSON instead of throwing.
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string RunSummaryLine(const RunRecord& record) {
  std::string line = "quillon: chip ";
  line += record.location.empty() && record.identity.empty() ? "none" : record.location + " " + record.identity;
  line += ", image ";
  if (record.image.empty()) {
    line += "none";
  } else {
    line += (record.imageBuiltin ? "built-in " : "") + record.image;
    if (!record.imageVersion.empty()) line += " " + record.imageVersion;
  }
  line += ", " + record.operation + (record.passed ? " PASS" : " FAIL");
  line += ", status " + std::to_string(record.statusId);
  if (!record.statusText.empty()) line += " \"" + record.statusText + "\"";
  line += ", " + std::to_string(record.durationMs) + " ms\n";
  return line;
}

bool AppendLineAtomically(const std::filesystem::path& file, const std::string& line) {
  return AppendWhole(file, line).has_value();
}

std::optional<std::filesystem::path> ResultJsonPath() {
  if (const char* env = std::getenv(kResultJsonEnv); env != nullptr && *env != '\0') {
    return std::filesystem::path(env);
  }
  const std::string setting = GetSettingString("", kConfigSection, key::kResultJson);
  if (setting.empty()) return std::nullopt;
  std::filesystem::path path(setting);
  if (path.is_relative()) path = ProgramDir() / path;
  return path;
}

void CompleteRunRecord(RunRecord& record) {
  if (record.runId.empty()) record.runId = NewRunId();
  if (record.station.empty()) record.station = StationName();
  if (record.toolVersion.empty()) record.toolVersion = kFileVersion;
}

}  // namespace quillon
