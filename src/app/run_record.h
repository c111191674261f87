// The record of one finished run, for people and for line systems: a summary
// line on stderr and, when a results file is configured, one JSON object per
// line appended to it. Every front end builds its RunRecord with BuildRunRecord
// from the chip snapshot and the run's verdict; CommitRun (run_commit.h)
// writes it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "data/current_types.h"
#include "data/settings.h"
#include "flow/chip_snapshot.h"

namespace quillon {

inline constexpr const char* kResultJsonEnv = "QUILLON_RESULT_JSON";
inline constexpr const char* kStationNameKey = key::kStationName;

struct RunRecord {
  std::string runId;  // a random UUID; CompleteRunRecord fills it when empty
  // When the run ended.
  std::chrono::system_clock::time_point time{};
  std::string station;  // setting "StationName", else the host name; CompleteRunRecord fills it when empty
  std::string toolVersion;  // CompleteRunRecord fills it when empty
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

// How a run ended: passed, or the status id it failed with (41599 for a
// run the operator stopped).
struct RunOutcome {
  bool passed = false;
  std::uint32_t statusId = 0;
};

// What the run did: the operation and the image it used.
struct RunWork {
  std::string operation;  // "write", "erase", "verify", ...
  // The image file's path, or the built-in image's name; empty without an image.
  std::string image;
  bool imageBuiltin = false;
  std::span<const std::uint8_t> imageBytes{};  // for its version and SHA-256; may be empty
  std::uint64_t durationMs = 0;
};

// The one record of a run, whatever the front end: chip fields from the
// snapshot of the chip the run holds open (none without one), the serial by RecordSerial, the verdict and the work as given,
// the time now.
RunRecord BuildRunRecord(const ChipSnapshot& chip, const RunOutcome& verdict, const RunWork& work);

// The unit's own serial: the one a passed write put into it ("SaveSN"), else
// the one the chip reported; empty when it has none.
std::string RecordSerial(const ChipSnapshot& chip, const RunOutcome& verdict, const std::string& operation);

// The serial column of "burn_result.txt": the record's serial, or for a unit
// without one the maker's product string (none when "SN Address" names the
// serial record).
std::string BurnLogSerial(const RunRecord& record, const ChipSnapshot& chip);

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

// Appends the line whole or not at all (AppendWhole), so that lines of
// several processes sharing the file never mix. False (and errno set) when the
// file cannot be opened or the line was not written whole.
bool AppendLineAtomically(const std::filesystem::path& file, const std::string& line);

// Where JSON records go: $QUILLON_RESULT_JSON when set and not empty, else the
// setting "ResultJson" (a relative name is taken from the program directory);
// nothing when neither names a file.
std::optional<std::filesystem::path> ResultJsonPath();

// Fills the run id, station and tool version when they are empty.
void CompleteRunRecord(RunRecord& record);

}  // namespace quillon
