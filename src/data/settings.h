// The application settings: one document built from the built-in settings text
// (or the file named by QUILLON_SETTINGS), read at the point of use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/ini_file.h"

namespace quillon {

inline constexpr const char* kConfigSection = "Quillon Config";
inline constexpr int kSettingsResource = 3032;
inline constexpr const char* kSettingsEnv = "QUILLON_SETTINGS";
// The station's settings file in the configuration directory (not "*.INI", so
// that it is never taken for an IC profile).
inline constexpr const char* kSettingsFileName = "quillon.conf";

// Keys of the settings catalogue.
namespace key {
inline constexpr const char* kDebugLog = "Debug Log";
inline constexpr const char* kIniType = "Ini Type";
inline constexpr const char* kLibType = "Lib Type";
inline constexpr const char* kLockPort = "LockPort";
inline constexpr const char* kPortNo = "PortNo";
inline constexpr const char* kAutoRun = "AutoRun";
inline constexpr const char* kAutoRunDelay = "AutoRunDelay";
inline constexpr const char* kCheckVidPidIni = "CheckVIDPID_INI";
inline constexpr const char* kCheckVidPidBin = "CheckVIDPID_BIN";
inline constexpr const char* kResetToCache = "ResetToCache";
inline constexpr const char* kNormalReset = "Normal Reset";
inline constexpr const char* kSaveSn = "SaveSN";
inline constexpr const char* kSnAddress = "SN Address";
inline constexpr const char* kSnFunction = "SN Function";
inline constexpr const char* kOtpPassword = "OTP Password";
inline constexpr const char* kEraseTimeOut = "EraseTimeOut";
inline constexpr const char* kEraseCommandTime = "EraseCommandTime";
inline constexpr const char* kWaitTime = "Wait Time";
inline constexpr const char* kSaveResultToFile = "SaveResultToFile";
inline constexpr const char* kLogType = "LogType";
inline constexpr const char* kLoopTest = "Loop Test";
inline constexpr const char* kRtd3 = "RTD3";
inline constexpr const char* kBcdType = "BCDType";
inline constexpr const char* kResultJson = "ResultJson";  // file for JSON run records (text)
inline constexpr const char* kResultDatabase = "ResultDatabase";  // PostgreSQL connection string (text)
inline constexpr const char* kStationName = "StationName";  // the station in run records (text; default the host name)
inline constexpr const char* kImageFile = "ImageFile";    // the window's image, relative to the program directory
inline constexpr const char* kGang = "Gang";  // 1: the window is a station panel writing every chip at once
inline constexpr const char* kShiftStarts = "ShiftStarts";  // when the station's shifts begin, for --report (text)

// Every key above: a key of the settings section that is not here is a typo.
inline constexpr const char* kAll[] = {
    kDebugLog,     kIniType,      kLibType,   kLockPort,         kPortNo,           kAutoRun,
    kAutoRunDelay, kCheckVidPidIni, kCheckVidPidBin, kResetToCache, kNormalReset,   kSaveSn,
    kSnAddress,    kSnFunction,   kOtpPassword, kEraseTimeOut,   kEraseCommandTime, kWaitTime,
    kSaveResultToFile, kLogType,  kLoopTest,  kRtd3,             kBcdType,          kResultJson,
    kResultDatabase,
    kStationName,
    kImageFile,
    kGang,
    kShiftStarts,
};
}  // namespace key

// A key of the settings section that no feature reads, with the line that
// set it and the known key it is most likely a typo of.
struct UnknownSetting {
  int line = 0;
  std::string key;
  std::string nearest;

  bool operator==(const UnknownSetting&) const = default;
};
std::vector<UnknownSetting> UnknownSettingKeys(const CIniFile& document);

// The settings mix-in: the settings document and the raw text it came from.
class CConfigIni {
 public:
  CIniFile& Document() { return document_; }
  const CIniFile& Document() const { return document_; }
  const std::string& RawText() const { return rawText_; }
  // Replaces the document by a parse of `text`.
  void LoadFromText(std::string text);

 private:
  CIniFile document_;
  std::string rawText_;
};

// The process's settings (empty until LoadSettings: every read gives its default).
CConfigIni& TheSettings();

// Start-up: makes an existing read-only "config.ini" in `programDir` writable
// (it is never read) and builds the settings from the file that
// QUILLON_SETTINGS names, else from "quillon.conf" in the configuration
// directory when it exists, else from the built-in text. A named file that
// cannot be read, holds no settings text, or gives a key that guards the run
// (records, the image, the chip check) a value it cannot mean leaves the
// settings empty, with a line on stderr: the caller ends the process. A UTF-8
// byte-order mark is skipped. With `nameUnknownKeys`, each unknown key and
// each value taken otherwise than written is named on stderr (a process
// started by another that already named them passes false).
enum class SettingsLoad { kBuiltIn, kFile, kFileUnusable };
SettingsLoad LoadSettings(const std::string& programDir, bool nameUnknownKeys = true);

std::uint32_t GetSettingInt(int def, std::string_view section, std::string_view key);
std::string GetSettingString(std::string_view def, std::string_view section, std::string_view key);
void SetSettingInt(std::string_view section, std::string_view key, std::uint32_t value);

// Convenience for the one section every setting lives in.
inline std::uint32_t Setting(std::string_view key, int def) { return GetSettingInt(def, kConfigSection, key); }

// "Ini Type" as read once at start-up; decides where IC profiles come from.
int StoredIniType();
void SetStoredIniType(int value);

}  // namespace quillon
