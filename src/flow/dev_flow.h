// The production-flow object: the operation table that each memory type fills,
// over the chip session it is given (chip_session.h). One object exists at a
// time (flow_factory.h); changing the memory type swaps it, the session stays.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/current_types.h"
#include "data/firmware_image.h"
#include "device/chip_mode.h"
#include "device/chip_registers.h"
#include "device/link_failure.h"
#include "device/reset_plan.h"
#include "device/vxcam.h"
#include "flow/chip_session.h"
#include "platform/trace.h"

namespace quillon {

constexpr bool IsRomLoaderState(std::uint16_t mode) { return mode == 0xB010 || mode == 0xC010 || mode == 0xF010; }
// The two variants whose ROM entry needs special handling (raw register value).
constexpr bool IsSpecialVariant(std::uint16_t raw) { return raw == 0xB013 || raw == 0xB014; }

ExtendedMode ExtendedModeOf(std::uint8_t value);
// "ROM", "SPI", "ROM&&OTP", "SPI&&OTP", "ROM&&SPI" or "Unknown", for display.
std::string_view ExtendedModeText(ExtendedMode mode);
std::string_view ExtendedModeText(std::uint8_t value);

// Which of the two code-version records of the status block is active, and
// what kind of version text it gives (0, 1 or 2).
struct ActiveCodeRecord {
  std::size_t offset = 64;
  int versionKind = 0;
};
ActiveCodeRecord ActiveRecordOf(std::span<const std::uint8_t, kDevStatusLength> status);
// True when the status block says the chip runs its own code.
bool StatusSaysCacheMode(std::span<const std::uint8_t, kDevStatusLength> status);

// The version text of a running chip from its status block (kind 0, 1 or 2),
// with "-VID%04X&&PID%04X" appended for the internal tool when `ids` is given.
struct VidPid {
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
};
std::string StatusVersionText(std::span<const std::uint8_t, kDevStatusLength> status, const VidPid* ids,
                              VersionFields* fields);
// The version text from the 32 status bytes at offset 128 (modes 16, 24, 32).
std::string ExtendedVersionText(std::span<const std::uint8_t, 32> bytes, const VidPid* ids, VersionFields* fields);

// Sets transport-flag bits for a scope; at its end clears again only the bits
// that were not set before.
class ScopedTransportFlags {
 public:
  ScopedTransportFlags(FlowDevice& device, std::uint32_t bits)
      : device_(device), added_(bits & ~device.transportFlags) {
    device_.transportFlags |= bits;
  }
  ~ScopedTransportFlags() { device_.transportFlags &= ~added_; }
  ScopedTransportFlags(const ScopedTransportFlags&) = delete;
  ScopedTransportFlags& operator=(const ScopedTransportFlags&) = delete;

 private:
  FlowDevice& device_;
  std::uint32_t added_;
};

// The flash flows' code memory: a longer image cannot be programmed whole.
inline constexpr std::size_t kFlashCodeMemory = 0x10000;

class CDevFlow : public CDumpStr {
 public:
  CDevFlow(MemoryType memoryType, ChipSession& session) : chip(session), memoryType_(memoryType) {}
  virtual ~CDevFlow() = default;
  CDevFlow(const CDevFlow&) = delete;
  CDevFlow& operator=(const CDevFlow&) = delete;

  MemoryType memoryType() const { return memoryType_; }

  // The open chip and what the flow carries across memory types; it outlives this object.
  ChipSession& chip;

  // The operation table. The base holds what every memory type shares (image
  // parsing, the checked write of a file, verify and dumps over DEV_Read);
  // a memory type without an operation answers NotSupported().
  virtual int DEV_ParseImage(std::span<const std::uint8_t> buffer);
  virtual int DEV_Read() { return 0; }
  virtual int DEV_Erase() { return 0; }
  virtual int DEV_Update() { return 0; }
  virtual int DEV_Download() { return 0; }
  virtual int DEV_Silence_WriteBin(const std::string& path);
  virtual int DEV_Silence_WriteSNBin(const std::string& path, const std::string& serial);
  virtual int DEV_DumpBin(const std::string& path);
  virtual int DEV_Silence_VerifyBin(const std::string& path);
  virtual int DEV_DumpText(const std::string& path);
  virtual int DEV_EraseEx(int resetAfter);
  virtual int DEV_Slot11() { return 0; }
  // The OTP usage text of the loaded image ("-detect"); only the OTP flow has one.
  virtual int OTP_UsageText(std::string& text);
  // OTP bytes in use, with the usage line in connectionText; 0 for other memories.
  virtual std::uint32_t OTP_SpaceText() { return 0; }
  // OTP bytes already programmed, as last counted; 0 for other memories.
  virtual std::uint32_t OtpBytesInUse() const { return 0; }
  // The last OTP download passed but could not retire every older block.
  virtual bool OtpOlderBlocksLive() const { return false; }

  // The command-line entry: clears the last status, then runs the operation of `letter`.
  int DEV_RunCommand(char letter, const std::string& text);
  void SetUpdateOptions();
  // The erase-with-reset slot's argument: whether the chip is reset after the erase.
  void SetResetAfter(bool reset) {
    if (reset) {
      chip.settings.updateOptions |= update_option::kResetAfter;
    } else {
      chip.settings.updateOptions &= ~update_option::kResetAfter;
    }
  }

  // Discovery and opening (device_discovery.cpp).
  int MP_OpenDevice(int index);
  void MP_CloseDevice();
  int DEV_OpenDevice();
  int DEV_OpenDeviceByICIni();
  int DEV_OpenDeviceByICIni(int index);
  int DEV_OpenDeviceByVIDPID();
  void DEV_CloseDevice();
  void DEV_GetDeviceInfo();
  void DEV_GetDeviceInfoForInternalTool();
  void DEV_GetDefaultDeviceForTessaro();
  void DEV_GetDeviceListForTessaro();
  int DEV_GetDeviceListExist();
  int Dev_OpenDeviceForMultiCamera();
  int DEV_GetDeviceListAfterReset();
  void SelectFirmwareForDevice();
  bool ReadChipMode();  // false: the read failed (the mode is left 0xF0F0)
  // The configured accepted-device check into `accepted`; `afterReset` tests
  // the built-in list with idText instead of fullIdText.
  void ApplyConfiguredCheck(bool afterReset);
  bool MatchesFirmwareVidPid() const;

  // Device modes and resets (dev_flow.cpp).
  bool IsInCacheMode();
  void MP_GetDeviceInfo();
  void MP_GetDeviceInfoForInternalTool();
  void MP_RefreshVersionText();
  int MP_ResetDevice(ResetCode code, std::uint16_t argument);
  // The same by the command's number (7, 9 or 10); any other number returns 0.
  int MP_ResetDevice(int code, std::uint16_t argument);
  int MP_ResetToRomCode();
  int MP_OpenRomDevice();
  // Posts the reset step and resets the chip into the code it now holds;
  // `reuseTransports` keeps the transports of the open device across it.
  int ResetIntoNewCode(bool reuseTransports = false);
  // The end of an operation: its failure id posted as FAIL (0), or full
  // progress and its PASS id (1).
  int Finish(std::uint32_t failure, std::uint32_t passId);
  // The wrapper of a programming core: the read-back buffer of `length`
  // bytes, a cancel check, `prepare` (in-memory work that touches no chip),
  // then `core`; each gives 0 or its failure id. When the core fails,
  // `protectOn` puts the write protection back; one FAIL is posted either way.
  int RunProgrammingCore(std::size_t length, const std::function<std::uint32_t()>& prepare,
                         const std::function<std::uint32_t()>& core, const std::function<void()>& protectOn);

  // Step primitives (step_primitives.cpp): retried, paced, cancellable.
  int MP_DisableWriteProtect();
  int MP_EnableWriteProtect();
  int MP_EraseSPIFlash();
  int MP_CheckSPIFlashEmpty(std::span<std::uint8_t> buffer);
  int MP_WriteSPIFlash(std::span<const std::uint8_t> image);
  int MP_VerifySPIFlash(std::span<std::uint8_t> buffer);
  int MP_ReadSPIFlash(std::span<std::uint8_t> buffer);
  int MP_EraseNorFlash();
  int MP_CheckNorFlashEmpty(std::span<std::uint8_t> buffer);
  int MP_WriteNorFlash(std::span<const std::uint8_t> image);
  int MP_VerifyNorFlash(std::span<std::uint8_t> buffer);
  int MP_WriteNorTag();
  // A short SPI flash write, retried (tags and the spoiling bytes).
  int WriteFlashBytes(std::uint32_t address, std::span<const std::uint8_t> bytes);

 protected:
  // Identity, location and texts of the open device; false without one.
  bool ReadIdentity();
  void ReadLocation();
  void RefreshProfileHeader();
  // The trace scope of this memory type's lines.
  const TraceScope& Scope() const;
  // Writes the serial number into the image's area when "SaveSN" is set; with
  // no number, or no area to hold it, posts 41713 before the chip is touched.
  int PreActionForTessaro();
  // Writes `serialNumber` into the area of `bytes` where this memory type
  // keeps it; false (bytes unchanged) without a number or an area to hold it.
  bool PutSerialNumber(std::vector<std::uint8_t>& bytes) const;
  // The countdown the window shows after a download that saved a serial number.
  void SerialCountdown();
  // The window's read saves its bytes where the operator asked; 0 (posted) when that fails.
  int SaveReadResult();
  // Sets the write-protect pin through the register pair of the chip's mode; 0 when the mode or a pin access fails.
  int SetProtectPinsInMode(bool protect);
  // The chip mode for the reset and protection steps: a failed read counts as 0
  // (`read`, when given, says whether it was read).
  std::uint16_t StepChipMode(std::uint16_t* raw = nullptr, bool* read = nullptr);
  // Reads the chip-mode pair of the open device, for ReadChipModeWith.
  std::function<bool(std::span<std::uint8_t>)> ChipModeReader();
  // Sets the fields that parsing an image gives (chip code, area at zero, vendor/product text).
  void TakeParsedImage();
  // A line for the command line's console, and a 41500 ending for operations this type lacks.
  int NotSupported();
  // Loads `path` as the image to write and checks it against the profile;
  // posts the failure and gives 0 when it is refused. `withSerial`: for the
  // write that stores a serial number.
  int LoadCheckedImage(const std::string& path, bool withSerial);
  // True when `code` fits the code memory of `capacity` bytes; otherwise the
  // refusal is traced and posted (before the chip is touched).
  bool FitsCodeMemory(std::span<const std::uint8_t> code, std::size_t capacity);
  // Keeps the active code record of a status block as the device's code version.
  void StoreCodeVersion(std::span<const std::uint8_t, kDevStatusLength> status);
  // Reads the status block for it; false when it cannot be read.
  bool ReadCodeVersion();

 private:
  void GetDeviceInfo(bool internalTool);
  MemoryType memoryType_;
};

// The accepted-device test against "VidPidList.ini" of the program directory:
// a line must name the revision too. A missing or unreadable file is shown to
// the operator and accepts nothing.
bool IsInVidPidListFile(std::string_view text);

}  // namespace quillon
