// The record of one finished run, for people and for line systems: a summary
// line on stderr and, when a results file is configured, one JSON object per
// line appended to it. Front ends fill a RunRecord and call ReportRun.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "data/current_types.h"
#include "data/settings.h"

namespace quillon {

inline constexpr const char* kResultJsonEnv = "QUILLON_RESULT_JSON";
inline constexpr const char* kStationNameKey = key::kStationName;

struct RunRecord {
  std::string runId;  // a random UUID; ReportRun fills it when empty
  // When the run ended.
  std::chrono::system_clock::time_point time{};
  std::string station;  // setting "StationName", else the host name; ReportRun fills it when empty
  std::string toolVersion;  // ReportRun fills it when empty
  std::string location;  // the chip's port, e.g. "3-1.4"; empty without a chip
  std::string identity;  // "VID_%04X&PID_%04X&REV_%04X"
  // Only a serial the chip holds: the one written with the image, else the one it reported.
  std::string serialNumber;
  std::string memoryType;  // "spi", "nor", "eeprom8", "eeprom16", "mtp", "otp"; empty without a chip
  std::string icFamily;    // the IC profile's name, e.g. "TQ7704"
  // The firmware version the chip reported after the run; empty when it was not read.
  std::string chipVersion;
  // The image file's path, or the name of the built-in image; empty when the
  // operation takes no image.
  std::string image;
  bool imageBuiltin = false;
  std::string imageVersion;
  std::string imageSha256;
  std::string operation;  // "write", "erase", "verify", ...
  bool passed = false;
  std::uint32_t statusId = 0;
  std::string statusText;
  std::uint64_t durationMs = 0;
};

// The name a record gives a memory type (the one quillon-mkimage takes).
std::string MemoryTypeText(MemoryType type);

// A random (version 4) UUID in its 36-character text form.
std::string NewRunId();

// Version text and SHA-256 of image bytes into the record.
void DescribeImage(RunRecord& record, std::span<const std::uint8_t> bytes);

// "2026-04-14T13:44:59+02:00": local time with its offset from UTC.
std::string IsoLocalTime(std::chrono::system_clock::time_point time);

// The JSON object of the record on one line, with its line end.
std::string RunRecordJson(const RunRecord& record);

// The summary line (with its line end): chip location and identity, image and
// its version, operation, PASS or FAIL, status id and text, duration.
std::string RunSummaryLine(const RunRecord& record);

// Appends the line with a single write under O_APPEND, so that lines of
// several processes sharing the file never mix. False (and errno set) when the
// file cannot be opened or the line was not written whole.
bool AppendLineAtomically(const std::filesystem::path& file, const std::string& line);

// Where JSON records go: $QUILLON_RESULT_JSON when set and not empty, else the
// setting "ResultJson" (a relative name is taken from the program directory);
// nothing when neither names a file.
std::optional<std::filesystem::path> ResultJsonPath();

// Prints the summary line on stderr, appends the JSON line when a results
// file is configured and stores the run at the station (history, fleet
// outbox). A record not kept is reported on stderr and makes it false.
bool ReportRun(RunRecord record);

}  // namespace quillon
